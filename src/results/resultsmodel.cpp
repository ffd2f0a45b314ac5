#include "results/resultsmodel.h"

#include "directory/syntax.h"
#include "report/datetime.h"
#include "report/outputline.h"
#include "results/compare.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace kvx {

namespace {

constexpr std::size_t ChunkSize = std::size_t{4} << 20;
constexpr int OffsetBits = 40;
constexpr std::uint64_t OffsetMask = (std::uint64_t{1} << OffsetBits) - 1;

std::size_t cellSize(const std::string& s) {
    return s.size();
}
std::size_t cellSize(std::string_view s) {
    return s.size();
}

// Number of characters of UTF-8 text (continuation bytes not counted).
std::size_t utf8Length(std::string_view text) {
    std::size_t n = 0;
    for (char c : text) {
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80)
            ++n;
    }
    return n;
}

} // namespace

ResultsModel::ResultsModel(QObject* parent) : QAbstractTableModel(parent) {}

ResultsModel::~ResultsModel() = default;

int ResultsModel::rowCount(const QModelIndex& parent) const {
    if (parent.isValid())
        return 0;
    return static_cast<int>(std::min<std::size_t>(m_order.size(), std::numeric_limits<int>::max()));
}

int ResultsModel::columnCount(const QModelIndex& parent) const {
    if (parent.isValid())
        return 0;
    return static_cast<int>(m_columns.size());
}

QVariant ResultsModel::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole || !index.isValid() || index.row() < 0 || index.column() < 0 ||
        static_cast<std::size_t>(index.row()) >= m_order.size())
        return {};
    const std::string_view text =
        cell(static_cast<std::size_t>(index.row()), static_cast<std::size_t>(index.column()));
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QVariant ResultsModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 ||
        static_cast<std::size_t>(section) >= m_columns.size())
        return {};
    const ResultColumn& column = m_columns[static_cast<std::size_t>(section)];
    switch (role) {
    case Qt::DisplayRole:
        return QString::fromStdString(column.caption);
    case SortKindRole:
        return column.sortKind;
    case ColumnWidthRole:
        return column.width;
    default:
        return {};
    }
}

void ResultsModel::setColumns(std::vector<ResultColumn> columns) {
    beginResetModel();
    m_columns = std::move(columns);
    endResetModel();
}

int ResultsModel::sortKind(int column) const {
    if (column < 0 || static_cast<std::size_t>(column) >= m_columns.size())
        return SortKindText;
    return m_columns[static_cast<std::size_t>(column)].sortKind;
}

int ResultsModel::columnWidth(int column) const {
    if (column < 0 || static_cast<std::size_t>(column) >= m_columns.size())
        return 0;
    return m_columns[static_cast<std::size_t>(column)].width;
}

void ResultsModel::setColumnWidth(int column, int width) {
    if (column < 0 || static_cast<std::size_t>(column) >= m_columns.size())
        return;
    m_columns[static_cast<std::size_t>(column)].width = std::max(width, 0);
    emit headerDataChanged(Qt::Horizontal, column, column);
}

void ResultsModel::clear() {
    beginResetModel();
    m_chunks.clear();
    m_chunks.shrink_to_fit();
    m_rowLocation.clear();
    m_rowLocation.shrink_to_fit();
    m_rowFirstCell.clear();
    m_rowFirstCell.shrink_to_fit();
    m_cellEnd.clear();
    m_cellEnd.shrink_to_fit();
    m_order.clear();
    m_order.shrink_to_fit();
    endResetModel();
}

char* ResultsModel::allocateRowBytes(std::size_t size, std::uint64_t* location) {
    if (m_chunks.empty() || m_chunks.back().size - m_chunks.back().used < size) {
        // A row larger than a chunk gets a chunk of its own size.
        Chunk chunk;
        chunk.size = std::max(size, ChunkSize);
        chunk.bytes = std::make_unique_for_overwrite<char[]>(chunk.size);
        m_chunks.push_back(std::move(chunk));
    }
    Chunk& chunk = m_chunks.back();
    *location = (static_cast<std::uint64_t>(m_chunks.size() - 1) << OffsetBits) |
                static_cast<std::uint64_t>(chunk.used);
    char* at = chunk.bytes.get() + chunk.used;
    chunk.used += size;
    return at;
}

template <typename Cells> void ResultsModel::storeRow(const Cells& row) {
    std::size_t total = 0;
    for (const auto& text : row)
        total += cellSize(text);
    if (total > std::numeric_limits<std::uint32_t>::max())
        throw std::length_error("a result row of more than 4 GiB");
    if (m_rowLocation.size() >= std::numeric_limits<std::uint32_t>::max())
        throw std::length_error("too many result rows");
    if (m_rowFirstCell.empty())
        m_rowFirstCell.push_back(0);

    std::uint64_t location = 0;
    char* bytes = allocateRowBytes(total, &location);
    std::uint32_t end = 0;
    for (const auto& text : row) {
        if (!text.empty())
            std::memcpy(bytes + end, text.data(), text.size());
        end += static_cast<std::uint32_t>(text.size());
        m_cellEnd.push_back(end);
    }
    m_rowLocation.push_back(location);
    m_rowFirstCell.push_back(m_cellEnd.size());
}

void ResultsModel::appendRow(std::span<const std::string> row) {
    storeRow(row);
    if (m_bulkDepth == 0)
        announcePendingRows();
}

void ResultsModel::appendRow(std::span<const std::string_view> row) {
    storeRow(row);
    if (m_bulkDepth == 0)
        announcePendingRows();
}

void ResultsModel::beginBulk() {
    ++m_bulkDepth;
}

void ResultsModel::endBulk() {
    if (m_bulkDepth > 0 && --m_bulkDepth == 0)
        announcePendingRows();
}

void ResultsModel::announcePendingRows() {
    const std::size_t shown = m_order.size();
    const std::size_t stored = m_rowLocation.size();
    if (stored <= shown)
        return;
    beginInsertRows(QModelIndex(), static_cast<int>(shown), static_cast<int>(stored - 1));
    m_order.reserve(stored);
    for (std::size_t r = shown; r < stored; ++r)
        m_order.push_back(static_cast<std::uint32_t>(r));
    endInsertRows();
}

const char* ResultsModel::rowBytes(std::size_t storedRow) const {
    const std::uint64_t location = m_rowLocation[storedRow];
    return m_chunks[location >> OffsetBits].bytes.get() + (location & OffsetMask);
}

std::string_view ResultsModel::storedCell(std::size_t storedRow, std::size_t column) const {
    const std::uint64_t first = m_rowFirstCell[storedRow];
    const std::uint64_t count = m_rowFirstCell[storedRow + 1] - first;
    if (column >= count)
        return {};
    const std::uint32_t begin = column == 0 ? 0 : m_cellEnd[first + column - 1];
    const std::uint32_t end = m_cellEnd[first + column];
    return {rowBytes(storedRow) + begin, end - begin};
}

std::size_t ResultsModel::cellCount(std::size_t row) const {
    if (row >= m_order.size())
        return 0;
    const std::uint32_t stored = m_order[row];
    return m_rowFirstCell[stored + 1] - m_rowFirstCell[stored];
}

std::string_view ResultsModel::cell(std::size_t row, std::size_t column) const {
    if (row >= m_order.size())
        return {};
    return storedCell(m_order[row], column);
}

std::vector<std::string> ResultsModel::rowTexts(std::size_t row) const {
    std::vector<std::string> texts;
    const std::size_t n = cellCount(row);
    texts.reserve(n);
    for (std::size_t c = 0; c < n; ++c)
        texts.emplace_back(cell(row, c));
    return texts;
}

std::string_view ResultsModel::longestCell(int column) const {
    if (column < 0)
        return {};
    std::string_view longest;
    std::size_t longestChars = 0;
    for (std::uint32_t stored : m_order) {
        const std::string_view text = storedCell(stored, static_cast<std::size_t>(column));
        if (text.size() <= longestChars) // never more characters than bytes
            continue;
        const std::size_t chars = utf8Length(text);
        if (chars > longestChars || longest.empty()) {
            longest = text;
            longestChars = chars;
        }
    }
    return longest;
}

void ResultsModel::sort(int column, Qt::SortOrder order) {
    if (column < 0)
        return;
    sortByParameter(MakeSortParameter(column, order == Qt::DescendingOrder), sortKind(column));
}

namespace {

template <typename Key> void sortKeys(std::vector<Key>& keys, bool descending) {
    if (descending)
        std::stable_sort(keys.begin(), keys.end(),
                         [](const Key& a, const Key& b) { return b.key < a.key; });
    else
        std::stable_sort(keys.begin(), keys.end(),
                         [](const Key& a, const Key& b) { return a.key < b.key; });
}

template <typename Key>
std::vector<std::uint32_t> sortedRows(std::vector<Key>& keys, bool descending) {
    sortKeys(keys, descending);
    std::vector<std::uint32_t> rows(keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i)
        rows[i] = keys[i].row;
    return rows;
}

} // namespace

void ResultsModel::sortByParameter(int sortParameter, int sortKind) {
    const auto column = static_cast<std::size_t>(SortParameterColumn(sortParameter));
    const bool descending = SortParameterDescending(sortParameter);
    const std::size_t n = m_order.size();
    if (n < 2)
        return;

    // Keys are made once per row, then the rows are ordered by a stable sort of the keys.
    std::vector<std::uint32_t> newOrder;
    if (sortKind == SortKindNumber) {
        struct Key {
            std::int64_t key;
            std::uint32_t row;
        };
        std::vector<Key> keys(n);
        for (std::size_t i = 0; i < n; ++i)
            keys[i] = {ReadWholeNumber(storedCell(m_order[i], column)), m_order[i]};
        newOrder = sortedRows(keys, descending);
    } else if (sortKind == SortKindDate) {
        struct Key {
            std::int64_t key;
            std::uint32_t row;
        };
        const DirectoryTimeFormat& format = DirectoryTimeFormat::system();
        std::vector<Key> keys(n);
        std::string_view previousText;
        std::int64_t previousKey = TimeZeroKey;
        for (std::size_t i = 0; i < n; ++i) {
            const std::string_view text = storedCell(m_order[i], column);
            if (i == 0 || text != previousText) {
                previousKey = format.sortKey(text);
                previousText = text;
            }
            keys[i] = {previousKey, m_order[i]};
        }
        newOrder = sortedRows(keys, descending);
    } else {
        // Every cell's collation key goes into one buffer; rows are ordered by their keys' first
        // sixteen bytes as two numbers and, where those are equal, by the whole keys.
        std::string keyBytes;
        std::vector<std::size_t> keyEnd(n);
        for (std::size_t i = 0; i < n; ++i) {
            AppendTextSortKey(keyBytes, storedCell(m_order[i], column));
            keyEnd[i] = keyBytes.size();
        }
        struct Key {
            std::uint64_t prefix[2];
            std::string_view bytes;
            std::uint32_t row;
            bool operator<(const Key& other) const {
                if (prefix[0] != other.prefix[0])
                    return prefix[0] < other.prefix[0];
                if (prefix[1] != other.prefix[1])
                    return prefix[1] < other.prefix[1];
                return bytes < other.bytes;
            }
        };
        std::vector<Key> keys(n);
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t begin = i == 0 ? 0 : keyEnd[i - 1];
            const std::string_view bytes =
                std::string_view(keyBytes).substr(begin, keyEnd[i] - begin);
            Key key{{0, 0}, bytes, m_order[i]};
            for (std::size_t b = 0; b < 16; ++b)
                key.prefix[b / 8] = key.prefix[b / 8] << 8 |
                                    (b < bytes.size() ? static_cast<unsigned char>(bytes[b]) : 0u);
            keys[i] = key;
        }
        keyEnd = {};
        if (descending)
            std::stable_sort(keys.begin(), keys.end(),
                             [](const Key& a, const Key& b) { return b < a; });
        else
            std::stable_sort(keys.begin(), keys.end());
        newOrder.resize(n);
        for (std::size_t i = 0; i < n; ++i)
            newOrder[i] = keys[i].row;
    }

    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    const QModelIndexList persistent = persistentIndexList();
    if (!persistent.isEmpty()) {
        std::vector<std::uint32_t> shownAt(m_rowLocation.size(), 0);
        for (std::size_t i = 0; i < n; ++i)
            shownAt[newOrder[i]] = static_cast<std::uint32_t>(i);
        QModelIndexList moved;
        moved.reserve(persistent.size());
        for (const QModelIndex& index : persistent) {
            if (!index.isValid() || static_cast<std::size_t>(index.row()) >= n) {
                moved.append(index);
                continue;
            }
            const std::uint32_t stored = m_order[static_cast<std::size_t>(index.row())];
            moved.append(this->index(static_cast<int>(shownAt[stored]), index.column()));
        }
        changePersistentIndexList(persistent, moved);
    }
    m_order = std::move(newOrder);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

std::string ResultsModel::clipboardText(std::span<const int> columnOrder,
                                        const std::function<void(std::size_t row)>& progress,
                                        std::size_t progressStep,
                                        std::span<const std::size_t> rows) const {
    if (progressStep == 0)
        progressStep = 1;
    const std::size_t n = rows.empty() ? m_order.size() : rows.size();
    // The columns in the order shown: the object's column always, every other unless shut.
    std::vector<std::size_t> shownColumns;
    auto addColumn = [&](std::size_t c) {
        if (c < m_columns.size() && (c == 0 || m_columns[c].width != 0) &&
            std::find(shownColumns.begin(), shownColumns.end(), c) == shownColumns.end())
            shownColumns.push_back(c);
    };
    for (int c : columnOrder) {
        if (c >= 0)
            addColumn(static_cast<std::size_t>(c));
    }
    for (std::size_t c = 0; c < m_columns.size(); ++c)
        addColumn(c);
    if (m_columns.empty())
        shownColumns.push_back(0);
    std::size_t estimate = 0;
    if (rows.empty()) { // a few rows of a long list are not worth the whole list's room
        for (const Chunk& chunk : m_chunks)
            estimate += chunk.used;
    }
    std::string text;
    text.reserve(estimate + n * (shownColumns.size() + 2));
    for (std::size_t row = 0; row < n; ++row) {
        const std::size_t shown = rows.empty() ? row : rows[row];
        if (shown >= m_order.size())
            continue;
        const std::uint32_t stored = m_order[shown];
        for (std::size_t i = 0; i < shownColumns.size(); ++i) {
            if (i > 0)
                text += '\t';
            AppendDelimitedField(text, storedCell(stored, shownColumns[i]), "\t", false);
        }
        text += "\r\n";
        if (progress && (row % progressStep == 0 || row + 1 == n))
            progress(row);
    }
    return text;
}

} // namespace kvx
