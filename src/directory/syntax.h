// The directory syntax table: the name of every syntax number and how a results column of that
// syntax sorts.
#pragma once

#include "directory/client/nwdsclient.h"

#include <cstddef>
#include <string>

namespace kvx {

// How a results column sorts. The value travels from the attribute row to the results column.
enum SortKind : int {
    SortKindText = 0,   // upper-cased bytes
    SortKindNumber = 1, // whole numbers (Integer, Counter, Interval)
    SortKindDate = 2,   // local date and time (Timestamp, Time)
};

struct SyntaxRow {
    const char* name;
    int sortKind;
};

// The table has one row for each syntax number from 0 ("Unknown") to 28 ("Syntax_Count").
constexpr std::size_t SyntaxTableRows = 29;

// The row of `syntax`; nullptr outside the table.
const SyntaxRow* SyntaxTableRow(nuint32 syntax);

// The table's name for `syntax`. A number outside the table is named "Syntax <number>", so an
// attribute row never shows an empty syntax column.
std::string SyntaxName(nuint32 syntax);

// The sort kind of `syntax`; text for a number outside the table.
int SyntaxSortKind(nuint32 syntax);

} // namespace kvx
