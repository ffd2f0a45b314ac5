// Ordering of result rows by one column, as the results list sorts them.
//
// A sort parameter names the column and the direction: bit 8 (SortDescending) set means
// descending. For columns 0 to 255 the parameter is the column index plus that bit; wider lists
// carry the higher bits of the column index above bit 8 (see MakeSortParameter), so any number of
// columns can be sorted while the usual parameters keep their values.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kvx {

constexpr int SortDescending = 256;

int MakeSortParameter(int column, bool descending);
int SortParameterColumn(int sortParameter);
bool SortParameterDescending(int sortParameter);

// Changes a-z to A-Z in place; every other byte is left as it is.
void UpperCaseAscii(std::string& text);
void UpperCaseAscii(char* text); // zero-terminated; null is ignored

// Reads a whole number as the results sort does: leading white space, an optional sign, then
// decimal digits; no digits read as 0. Numbers within 32 bits wrap as a 32-bit accumulator does
// ("4294967295", the text of -1, reads as -1); numbers beyond 32 bits (Active Directory's
// 64-bit counters) read whole, up to the limits of 64 bits.
std::int64_t ReadWholeNumber(std::string_view text);

// Ascending comparison of two cells of a column of `sortKind`: -1, 0 or +1. Text compares the
// upper-cased bytes as unsigned values, the shorter first when one is the start of the other;
// numbers as ReadWholeNumber; dates as the local date and time they show, a cell that is empty,
// "0" or not a date coming before every date.
int CompareCells(std::string_view cell1, std::string_view cell2, int sortKind);

// Compares two rows by the column and direction of `sortParameter` under `currentSortKind`:
// negative when row 1 comes first. A row without a text in that column reads as empty.
int CompareResultRows(std::span<const std::string> row1, std::span<const std::string> row2,
                      int sortParameter, int currentSortKind);

// Per-column alternation of sort direction: each column's next click sorts ascending (0) or
// descending (SortDescending). Every column starts ascending; the state is kept for a column
// index across runs, for any number of columns.
class ColumnSortState {
public:
    int state(int column) const;
    // The sort parameter for a click on `column`, then the column's state is reversed.
    int click(int column);
    void toggle(int column);

private:
    std::vector<int> m_states;
};

} // namespace kvx
