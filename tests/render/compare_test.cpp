#include "directory/syntax.h"
#include "report/datetime.h"
#include "results/compare.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using Row = std::vector<std::string>;

TEST(UpperCaseAscii, ChangesOnlyLowerCaseAsciiLetters) {
    std::string text = "abz{`@AZ[ 09 \xc3\xa9\xe0\xff";
    kvx::UpperCaseAscii(text);
    EXPECT_EQ(text, "ABZ{`@AZ[ 09 \xc3\xa9\xe0\xff");
    char buffer[] = "mixed Case";
    kvx::UpperCaseAscii(buffer);
    EXPECT_STREQ(buffer, "MIXED CASE");
    kvx::UpperCaseAscii(static_cast<char*>(nullptr));
}

TEST(ReadWholeNumber, LeadingSpaceSignDigitsAndWrapping) {
    EXPECT_EQ(kvx::ReadWholeNumber("42"), 42);
    EXPECT_EQ(kvx::ReadWholeNumber(" \t\n 9"), 9);
    EXPECT_EQ(kvx::ReadWholeNumber("+7"), 7);
    EXPECT_EQ(kvx::ReadWholeNumber("-5"), -5);
    EXPECT_EQ(kvx::ReadWholeNumber("12abc"), 12);
    EXPECT_EQ(kvx::ReadWholeNumber(""), 0);
    EXPECT_EQ(kvx::ReadWholeNumber("abc"), 0);
    EXPECT_EQ(kvx::ReadWholeNumber("- 5"), 0);
    EXPECT_EQ(kvx::ReadWholeNumber("4294967295"), -1);
    EXPECT_EQ(kvx::ReadWholeNumber("2147483648"), -2147483647 - 1);
    // Beyond 32 bits: whole, so 64-bit counters sort as numbers.
    EXPECT_EQ(kvx::ReadWholeNumber("4294967296"), 4294967296LL);
    EXPECT_EQ(kvx::ReadWholeNumber("-99999999999"), -99999999999LL);
    EXPECT_EQ(kvx::ReadWholeNumber("9223372036854775807"), INT64_MAX);
    EXPECT_EQ(kvx::ReadWholeNumber("99999999999999999999999"), INT64_MAX);
    EXPECT_EQ(kvx::ReadWholeNumber(std::string(1000, '0') + "17"), 17);
}

TEST(SortParameter, ColumnAndDirectionForAnyNumberOfColumns) {
    EXPECT_EQ(kvx::MakeSortParameter(3, false), 3);
    EXPECT_EQ(kvx::MakeSortParameter(3, true), 259);
    EXPECT_EQ(kvx::SortParameterColumn(259), 3);
    EXPECT_TRUE(kvx::SortParameterDescending(259));
    EXPECT_FALSE(kvx::SortParameterDescending(255));
    for (int column : {0, 255, 256, 257, 511, 1023, 100000}) {
        for (bool descending : {false, true}) {
            const int p = kvx::MakeSortParameter(column, descending);
            EXPECT_EQ(kvx::SortParameterColumn(p), column);
            EXPECT_EQ(kvx::SortParameterDescending(p), descending);
        }
    }
}

std::vector<std::string> sortedColumn(std::vector<std::string> cells, int kind, bool descending) {
    std::vector<Row> rows;
    for (auto& c : cells)
        rows.push_back(Row{"obj", std::move(c)});
    const int p = kvx::MakeSortParameter(1, descending);
    std::stable_sort(rows.begin(), rows.end(), [&](const Row& a, const Row& b) {
        return kvx::CompareResultRows(a, b, p, kind) < 0;
    });
    std::vector<std::string> out;
    for (const Row& r : rows)
        out.push_back(r[1]);
    return out;
}

using Cells = std::vector<std::string>;

TEST(CompareResultRows, TextIgnoresCaseOfAsciiLettersOnly) {
    EXPECT_EQ(sortedColumn({"beta", "Alpha", "alpha2"}, kvx::SortKindText, false),
              (Cells{"Alpha", "alpha2", "beta"}));
    EXPECT_EQ(sortedColumn({"beta", "Alpha", "alpha2"}, kvx::SortKindText, true),
              (Cells{"beta", "alpha2", "Alpha"}));
    EXPECT_EQ(kvx::CompareCells("abc", "ABC", kvx::SortKindText), 0);
    EXPECT_EQ(kvx::CompareCells("ab", "ABC", kvx::SortKindText), -1); // shorter first
    EXPECT_EQ(kvx::CompareCells("", "a", kvx::SortKindText), -1);
    // Bytes from 128 sort after every ASCII character; accented letters keep their case.
    EXPECT_EQ(kvx::CompareCells("\xc3\xa9", "~", kvx::SortKindText), 1);
    EXPECT_EQ(kvx::CompareCells("\xc3\xa9", "\xc3\x89", kvx::SortKindText), 1);
    // '_' (0x5F) lies between upper- and lower-case letters: after "Z" once upper-cased.
    EXPECT_EQ(kvx::CompareCells("_", "z", kvx::SortKindText), 1);
}

TEST(CompareResultRows, LongKeysCompareWhole) {
    const std::string prefix(300, 'k');
    EXPECT_EQ(kvx::CompareCells(prefix + "a", prefix + "B", kvx::SortKindText), -1);
    EXPECT_EQ(kvx::CompareCells(prefix + "b", prefix + "A", kvx::SortKindText), 1);
    EXPECT_EQ(kvx::CompareCells(prefix, prefix + "A", kvx::SortKindText), -1);
}

TEST(CompareResultRows, WholeNumbers) {
    EXPECT_EQ(sortedColumn({"10", "9", "100"}, kvx::SortKindNumber, false),
              (Cells{"9", "10", "100"}));
    EXPECT_EQ(sortedColumn({"10", "9", "100"}, kvx::SortKindNumber, true),
              (Cells{"100", "10", "9"}));
    EXPECT_EQ(sortedColumn({"5", "4294967295"}, kvx::SortKindNumber, false),
              (Cells{"4294967295", "5"}));
    EXPECT_EQ(kvx::CompareCells("", "0", kvx::SortKindNumber), 0);
    EXPECT_EQ(kvx::CompareCells("abc", "0", kvx::SortKindNumber), 0);
    EXPECT_EQ(kvx::CompareCells("-3", "", kvx::SortKindNumber), -1);
}

TEST(CompareResultRows, DatesWithEmptyAndUnreadableCells) {
    const std::string early = kvx::FormatDirectoryTime(1000000000);
    const std::string late = kvx::FormatDirectoryTime(1000000060);
    const std::string epoch = kvx::FormatDirectoryTime(0);
    EXPECT_EQ(sortedColumn({late, "", early, epoch}, kvx::SortKindDate, false),
              (Cells{"", epoch, early, late}));
    EXPECT_EQ(sortedColumn({late, "", early, epoch}, kvx::SortKindDate, true),
              (Cells{late, early, epoch, ""}));
    // Not read as text: "9 Sep" is later than "14 Nov" of an earlier year.
    EXPECT_EQ(kvx::CompareCells(kvx::FormatDirectoryTime(1700000000), early, kvx::SortKindDate), 1);
    EXPECT_EQ(kvx::CompareCells("garbage", "", kvx::SortKindDate), 0);
    EXPECT_EQ(kvx::CompareCells("0", "", kvx::SortKindDate), 0);
    EXPECT_EQ(kvx::CompareCells("garbage", epoch, kvx::SortKindDate), -1);
}

TEST(CompareResultRows, ColumnZeroDirectionAndMissingCells) {
    const Row a{"a.Acme", "x"};
    const Row b{"B.Acme"};
    EXPECT_EQ(kvx::CompareResultRows(a, b, 0, kvx::SortKindText), -1);
    EXPECT_EQ(kvx::CompareResultRows(a, b, kvx::SortDescending, kvx::SortKindText), 1);
    // b has no column 1: it reads as empty.
    EXPECT_EQ(kvx::CompareResultRows(a, b, 1, kvx::SortKindText), 1);
    EXPECT_EQ(kvx::CompareResultRows(b, b, 1 + kvx::SortDescending, kvx::SortKindText), 0);
    EXPECT_EQ(kvx::CompareResultRows(a, b, 5, kvx::SortKindNumber), 0);
}

TEST(ColumnSortState, EachColumnAlternatesOnItsOwnAcrossRuns) {
    kvx::ColumnSortState state;
    EXPECT_EQ(state.click(2), 2);
    EXPECT_EQ(state.click(3), 3);
    EXPECT_EQ(state.click(2), 2 + kvx::SortDescending);
    EXPECT_EQ(state.click(2), 2);
    // Column 3 was last sorted ascending: its next click (in any later run) is descending.
    EXPECT_EQ(state.state(3), kvx::SortDescending);
    EXPECT_EQ(state.click(3), 3 + kvx::SortDescending);
    // Wide lists: column 700 has a state of its own and does not disturb column 700 - 256.
    EXPECT_EQ(kvx::SortParameterColumn(state.click(700)), 700);
    EXPECT_EQ(state.state(444), 0);
    const int p = state.click(700);
    EXPECT_EQ(kvx::SortParameterColumn(p), 700);
    EXPECT_TRUE(kvx::SortParameterDescending(p));
    EXPECT_EQ(state.state(-1), 0);
}

} // namespace
