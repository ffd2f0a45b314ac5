#include "results/compare.h"

#include "report/datetime.h"

#include "directory/syntax.h"

#include <algorithm>
#include <cstdint>

namespace kvx {

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
    constexpr std::uint64_t cap = std::uint64_t{1} << 63; // saturates here
    std::uint64_t whole = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        whole =
            whole > cap / 10
                ? cap
                : std::min<std::uint64_t>(whole * 10u + static_cast<unsigned>(text[i] - '0'), cap);
    // Within 32 bits the accumulator wraps as it always has ("4294967295" is -1, the value
    // shown for -1); beyond them the number is read whole.
    if (negative ? whole <= 2147483648u : whole <= 4294967295u) {
        auto value = static_cast<std::uint32_t>(whole);
        if (negative)
            value = 0u - value;
        return static_cast<std::int32_t>(value);
    }
    if (negative)
        return whole >= cap ? INT64_MIN : -static_cast<std::int64_t>(whole);
    return whole >= cap ? INT64_MAX : static_cast<std::int64_t>(whole);
}

namespace {

unsigned char upperByte(char c) {
    const auto b = static_cast<unsigned char>(c);
    return b >= 'a' && b <= 'z' ? static_cast<unsigned char>(b - 'a' + 'A') : b;
}

int compareText(std::string_view a, std::string_view b) {
    const std::size_t n = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char x = upperByte(a[i]);
        const unsigned char y = upperByte(b[i]);
        if (x != y)
            return x < y ? -1 : 1;
    }
    if (a.size() == b.size())
        return 0;
    return a.size() < b.size() ? -1 : 1;
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
