#include "directory/syntax.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

TEST(SyntaxTable, EveryNumberHasItsOwnNameAndOnlyNumbersAndDatesSortSpecially) {
    std::set<std::string> names;
    for (nuint32 n = 0; n < kvx::SyntaxTableRows; ++n) {
        const std::string name = kvx::SyntaxName(n);
        EXPECT_FALSE(name.empty()) << n;
        names.insert(name);
        const int kind = kvx::SyntaxSortKind(n);
        if (n == SYN_INTEGER || n == SYN_COUNTER || n == SYN_INTERVAL)
            EXPECT_EQ(kind, kvx::SortKindNumber) << name;
        else if (n == SYN_TIMESTAMP || n == SYN_TIME)
            EXPECT_EQ(kind, kvx::SortKindDate) << name;
        else
            EXPECT_EQ(kind, kvx::SortKindText) << name;
    }
    EXPECT_EQ(names.size(), kvx::SyntaxTableRows);
}

TEST(SyntaxTable, NumbersOutsideTheTableGetANumberedNameAndSortAsText) {
    EXPECT_EQ(kvx::SyntaxTableRow(29), nullptr);
    EXPECT_EQ(kvx::SyntaxName(29), "Syntax 29");
    EXPECT_EQ(kvx::SyntaxName(4294967295u), "Syntax 4294967295");
    EXPECT_EQ(kvx::SyntaxSortKind(57), kvx::SortKindText);
}

} // namespace
