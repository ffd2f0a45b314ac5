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

// Appends the sort key of a text cell to `key`: keys compare as unsigned bytes (memcmp, the
// shorter first) in the order of the system locale's language without regard to case, as the
// class and attribute lists of the window order their names (ICU collation at secondary
// strength: "é" and "É" are equal, "é" sorts between "e" and "f"). In the C locale the key is
// the case-folded text, ordered by character.
void AppendTextSortKey(std::string& key, std::string_view utf8);

// Changes a-z to A-Z in place; every other byte is left as it is.
void UpperCaseAscii(std::string& text);
void UpperCaseAscii(char* text); // zero-terminated; null is ignored

// Reads a whole number as the results sort does: leading white space, an optional sign, then
// decimal digits up to the first other character; no digits read as 0. The value is the number
// the cell shows ("4294967295" is four thousand million, not -1); one beyond 64 bits reads as
// the largest (or smallest) 64-bit number.
std::int64_t ReadWholeNumber(std::string_view text);

// Ascending comparison of two cells of a column of `sortKind`: -1, 0 or +1. Text compares as
// the user's language orders words, without regard to case ("é" and "É" are equal, "é" comes
// between "e" and "f"); numbers as ReadWholeNumber; dates as the local date and time they show,
// a cell that is empty, "0" or not a date coming before every date.
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
