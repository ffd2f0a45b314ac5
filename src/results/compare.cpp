#include "results/compare.h"

#include "report/datetime.h"

#include "directory/syntax.h"

#include <QLocale>
#include <QString>

#include <unicode/ucol.h>

#include <limits>
#include <memory>

namespace kvx {

namespace {

// The collator of the system locale at secondary strength (case ignored), opened once; null in
// the C locale or where ICU has no collator to offer.
UCollator* textCollator() {
    static const std::unique_ptr<UCollator, void (*)(UCollator*)> collator = [] {
        std::unique_ptr<UCollator, void (*)(UCollator*)> c(nullptr, ucol_close);
        const QLocale locale = QLocale::system();
        if (locale.language() == QLocale::C)
            return c;
        UErrorCode status = U_ZERO_ERROR;
        c.reset(ucol_open(locale.name().toLatin1().constData(), &status));
        if (U_FAILURE(status)) {
            c.reset();
            return c;
        }
        ucol_setStrength(c.get(), UCOL_SECONDARY);
        return c;
    }();
    return collator.get();
}

} // namespace

void AppendTextSortKey(std::string& key, std::string_view utf8) {
    bool ascii = true;
    for (char c : utf8)
        ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    UCollator* collator = textCollator();
    if (collator == nullptr) {
        if (!ascii) {
            const QString text =
                QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
            key += text.toCaseFolded().toStdString();
            return;
        }
        for (char c : utf8) // ASCII folds to its small letters
            key += c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        return;
    }
    // Most cells are ASCII: widened in a buffer kept between calls, with no text object made.
    thread_local std::u16string wide;
    if (ascii) {
        wide.assign(utf8.begin(), utf8.end());
    } else {
        const QString text = QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
        wide.assign(reinterpret_cast<const char16_t*>(text.utf16()),
                    static_cast<std::size_t>(text.size()));
    }
    const auto* chars = reinterpret_cast<const UChar*>(wide.data());
    const auto length = static_cast<int32_t>(wide.size());
    const std::size_t start = key.size();
    key.resize(start + 32 + 3 * wide.size());
    int32_t needed =
        ucol_getSortKey(collator, chars, length, reinterpret_cast<uint8_t*>(key.data() + start),
                        static_cast<int32_t>(key.size() - start));
    if (needed > static_cast<int32_t>(key.size() - start)) {
        key.resize(start + static_cast<std::size_t>(needed));
        needed = ucol_getSortKey(collator, chars, length,
                                 reinterpret_cast<uint8_t*>(key.data() + start), needed);
    }
    // The key ends with a zero byte, which adds nothing to the order.
    key.resize(start + static_cast<std::size_t>(needed > 0 ? needed - 1 : 0));
}

int MakeSortParameter(int column, bool descending) {
    if (column < 0)
        column = 0;
    return (column & 0xFF) | ((column >> 8) << 9) | (descending ? SortDescending : 0);
}

int SortParameterColumn(int sortParameter) {
    const auto p = static_cast<unsigned>(sortParameter);
    return static_cast<int>((p & 0xFFu) | ((p >> 9) << 8));
}

bool SortParameterDescending(int sortParameter) {
    return (static_cast<unsigned>(sortParameter) & SortDescending) != 0;
}

void UpperCaseAscii(std::string& text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
}

void UpperCaseAscii(char* text) {
    if (text == nullptr)
        return;
    for (; *text != '\0'; ++text) {
        if (*text >= 'a' && *text <= 'z')
            *text = static_cast<char>(*text - 'a' + 'A');
    }
}

std::int64_t ReadWholeNumber(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    // Accumulated as a negative number, whose range reaches one further than the positive one.
    constexpr std::int64_t lowest = std::numeric_limits<std::int64_t>::min();
    std::int64_t value = 0;
    bool overflow = false;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        const int digit = text[i] - '0';
        if (value < (lowest + digit) / 10)
            overflow = true;
        else
            value = value * 10 - digit;
    }
    if (overflow)
        return negative ? lowest : std::numeric_limits<std::int64_t>::max();
    if (negative)
        return value;
    return value == lowest ? std::numeric_limits<std::int64_t>::max() : -value;
}

namespace {

int compareText(std::string_view a, std::string_view b) {
    std::string keyA;
    std::string keyB;
    AppendTextSortKey(keyA, a);
    AppendTextSortKey(keyB, b);
    const int order = keyA.compare(keyB); // char_traits<char> compares as unsigned bytes
    return order < 0 ? -1 : (order > 0 ? 1 : 0);
}

template <typename T> int compareValues(T a, T b) {
    return a < b ? -1 : (b < a ? 1 : 0);
}

} // namespace

int CompareCells(std::string_view cell1, std::string_view cell2, int sortKind) {
    switch (sortKind) {
    case SortKindNumber:
        return compareValues(ReadWholeNumber(cell1), ReadWholeNumber(cell2));
    case SortKindDate:
        return compareValues(DateSortKey(cell1), DateSortKey(cell2));
    default:
        return compareText(cell1, cell2);
    }
}

int CompareResultRows(std::span<const std::string> row1, std::span<const std::string> row2,
                      int sortParameter, int currentSortKind) {
    const auto column = static_cast<std::size_t>(SortParameterColumn(sortParameter));
    const int direction = SortParameterDescending(sortParameter) ? -1 : 1;
    const std::string_view key1 = column < row1.size() ? std::string_view(row1[column]) : "";
    const std::string_view key2 = column < row2.size() ? std::string_view(row2[column]) : "";
    return CompareCells(key1, key2, currentSortKind) * direction;
}

int ColumnSortState::state(int column) const {
    if (column < 0 || static_cast<std::size_t>(column) >= m_states.size())
        return 0;
    return m_states[static_cast<std::size_t>(column)];
}

void ColumnSortState::toggle(int column) {
    if (column < 0)
        return;
    const auto index = static_cast<std::size_t>(column);
    if (index >= m_states.size())
        m_states.resize(index + 1, 0);
    m_states[index] = m_states[index] == 0 ? SortDescending : 0;
}

int ColumnSortState::click(int column) {
    const int parameter = MakeSortParameter(column, state(column) != 0);
    toggle(column);
    return parameter;
}

} // namespace kvx
