// The rows and columns of the results list, kept compactly so a million rows stay fast.
//
// Cell texts are UTF-8 bytes packed into large chunks; each row records where its bytes start
// and where each of its cells ends, so there is no heap object per cell. Rows are shown through
// an order vector, which sorting rearranges without moving any text.
#pragma once

#include <QAbstractTableModel>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kvx {

struct ResultColumn {
    static constexpr int DefaultWidth = 50;

    std::string caption;
    int sortKind = 0;         // SortKind of directory/syntax.h
    int width = DefaultWidth; // pixels; 0 hides the column (and leaves it out of copies)
};

class ResultsModel : public QAbstractTableModel {
    Q_OBJECT

public:
    enum Role {
        SortKindRole = Qt::UserRole + 1, // headerData: the column's sort kind
        ColumnWidthRole,                 // headerData: the column's recorded width
    };

    explicit ResultsModel(QObject* parent = nullptr);
    ~ResultsModel() override;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    // Sorts by `column` with that column's sort kind.
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

    // Columns. Replacing them keeps the rows.
    void setColumns(std::vector<ResultColumn> columns);
    const std::vector<ResultColumn>& columns() const { return m_columns; }
    int sortKind(int column) const;
    int columnWidth(int column) const;
    void setColumnWidth(int column, int width);

    // Rows. Cell 0 is the object's name; a row may have fewer cells than there are columns
    // (the missing ones read as empty) or more (they are kept but not shown).
    void clear();
    void appendRow(std::span<const std::string> row);
    void appendRow(std::span<const std::string_view> row);
    // Between beginBulk and endBulk appended rows are stored at once but announced to views
    // in one insertion at endBulk. Calls nest.
    void beginBulk();
    void endBulk();

    std::size_t rows() const { return m_order.size(); } // rows shown (all but pending bulk rows)
    std::size_t cellCount(std::size_t row) const;
    std::string_view cell(std::size_t row, std::size_t column) const;
    std::vector<std::string> rowTexts(std::size_t row) const;
    // The cell of `column` with the most characters (for sizing a column to its contents).
    std::string_view longestCell(int column) const;

    // Sorts with the semantics of CompareResultRows (results/compare.h): `sortParameter` gives
    // the column and direction, `sortKind` how cells compare. Rows that compare equal keep
    // their current order.
    void sortByParameter(int sortParameter, int sortKind);

    // The clipboard text: every row in the current order, its cells in `columnOrder` (the
    // columns as the list shows them, left to right; columns it leaves out follow in their own
    // order), leaving out every column but the object's whose width is 0. Cells are separated by
    // a tab, rows ended by carriage return and line feed. Spreadsheets read pasted text as
    // tab-separated values with the double quote as text delimiter, so a cell holding a tab, a
    // line break or a double quote is enclosed in double quotes with its own ones doubled
    // (AppendDelimitedField) and pastes into one cell; any other cell is copied as it is.
    // `progress` is told the index of a row every `progressStep` rows and of the last row.
    // `rows`, when not empty, copies only those rows (indexes in the order shown), in its order.
    std::string clipboardText(std::span<const int> columnOrder = {},
                              const std::function<void(std::size_t row)>& progress = {},
                              std::size_t progressStep = 1024,
                              std::span<const std::size_t> rows = {}) const;

private:
    struct Chunk {
        std::unique_ptr<char[]> bytes;
        std::size_t size = 0;
        std::size_t used = 0;
    };

    template <typename Cells> void storeRow(const Cells& row);
    char* allocateRowBytes(std::size_t size, std::uint64_t* location);
    const char* rowBytes(std::size_t storedRow) const;
    std::string_view storedCell(std::size_t storedRow, std::size_t column) const;
    void announcePendingRows();

    std::vector<ResultColumn> m_columns;
    std::vector<Chunk> m_chunks;
    std::vector<std::uint64_t> m_rowLocation;  // chunk index << 40 | offset in the chunk
    std::vector<std::uint64_t> m_rowFirstCell; // stored rows + 1 entries, into m_cellEnd
    std::vector<std::uint32_t> m_cellEnd;      // end of each cell, from its row's first byte
    std::vector<std::uint32_t> m_order;        // shown row -> stored row
    int m_bulkDepth = 0;
};

} // namespace kvx
