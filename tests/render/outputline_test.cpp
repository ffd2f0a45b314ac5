#include "common/support.h"
#include "report/outputline.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using kvx::ReportMode;
using Row = std::vector<std::string>;

TEST(ResultLine, QuotedFieldsJoinedBySeparatorWithCrLf) {
    const std::string line = kvx::ResultLine(Row{"a", "b", "c"}, ",", true);
    EXPECT_EQ(line, "\"a\",\"b\",\"c\"\r\n");
    EXPECT_EQ(line.size(), 13u);
    EXPECT_EQ(kvx::ResultLine(Row{"a", "b", "c"}, ",", false), "a,b,c\r\n");
}

TEST(ResultLine, SeparatorIsUsedWholeAndMayBeEmpty) {
    EXPECT_EQ(kvx::ResultLine(Row{"a", "b", "c"}, "", false), "abc\r\n");
    EXPECT_EQ(kvx::ResultLine(Row{"a", "b", "c"}, "", true), "\"a\"\"b\"\"c\"\r\n");
    EXPECT_EQ(kvx::ResultLine(Row{"a", "b", "c"}, " | ", false), "a | b | c\r\n");
}

TEST(ResultLine, EmptyTextsAndSingleFields) {
    EXPECT_EQ(kvx::ResultLine(Row{"a", "", "c"}, ",", true), "\"a\",\"\",\"c\"\r\n");
    EXPECT_EQ(kvx::ResultLine(Row{"a", "", "c"}, ",", false), "a,,c\r\n");
    EXPECT_EQ(kvx::ResultLine(Row{"only"}, ",", true), "\"only\"\r\n");
    EXPECT_EQ(kvx::ResultLine(Row{""}, ",", false), "\r\n");
    EXPECT_EQ(kvx::ResultLine(Row{}, ",", true), "");
}

TEST(ResultLine, FieldsAreEscapedAsRfc4180WantsOnlyWhereNeeded) {
    const Row row{"Ann Smith.Sales.Acme",
                  "Sales Director, EMEA",
                  "say \"hi\"",
                  "line\r\nbreak",
                  "lf\nonly",
                  "Zo\xc3\xab"};
    EXPECT_EQ(kvx::ResultLine(row, ",", false),
              "Ann Smith.Sales.Acme,\"Sales Director, EMEA\",\"say \"\"hi\"\"\","
              "\"line\r\nbreak\",\"lf\nonly\",Zo\xc3\xab\r\n");
    EXPECT_EQ(kvx::ResultLine(row, ",", true),
              "\"Ann Smith.Sales.Acme\",\"Sales Director, EMEA\",\"say \"\"hi\"\"\","
              "\"line\r\nbreak\",\"lf\nonly\",\"Zo\xc3\xab\"\r\n");
    // The separator as a whole decides: a part of it in a value is no separator.
    EXPECT_EQ(kvx::ResultLine(Row{"a|b", "a | b", "c"}, " | ", false), "a|b | \"a | b\" | c\r\n");
    EXPECT_EQ(kvx::ResultLine(Row{"a\tb", "c"}, "\t", false), "\"a\tb\"\tc\r\n");
    EXPECT_EQ(kvx::ResultLine(Row{"a,b"}, "", false), "a,b\r\n");
    // The header follows the same rule; a header that needs nothing stays as it was.
    EXPECT_EQ(kvx::HeaderLine(ReportMode::Tabular, ",", Row{"Title, EMEA", "Given Name"}),
              "Object,\"Title, EMEA\",Given Name\r\n");
    EXPECT_EQ(kvx::HeaderLine(ReportMode::NonTabular, "e", Row{}),
              "\"Object\"e\"Attribute\"e\"Value\"\r\n");
}

TEST(HeaderLine, ByReportMode) {
    const Row names{"Surname", "Given Name"};
    EXPECT_EQ(kvx::HeaderLine(ReportMode::NonTabular, ";", names), "Object;Attribute;Value\r\n");
    EXPECT_EQ(kvx::HeaderLine(ReportMode::Tabular, ",", names), "Object,Surname,Given Name\r\n");
    EXPECT_EQ(kvx::HeaderLine(ReportMode::TabularCross, " | ", names),
              "Object | Surname | Given Name\r\n");
    EXPECT_EQ(kvx::HeaderLine(ReportMode::Tabular, ",", Row{}), "Object\r\n");
    EXPECT_EQ(kvx::HeaderLine(ReportMode::NonTabular, "", Row{}), "ObjectAttributeValue\r\n");
}

class OutputFileTest : public ::testing::Test {
protected:
    std::string path(const char* name) const { return (dir_ / name).string(); }
    static std::string contents(const std::string& path) { return kvx::test::slurp(path); }

    kvx::test::TempFolder dir_;
};

TEST_F(OutputFileTest, WritesHeaderAndRowsAsBytes) {
    kvx::OutputFile file;
    ASSERT_TRUE(file.open(path("report.csv")));
    file.writeHeader(ReportMode::Tabular, ",", Row{"Surname"});
    file.writeRow(Row{"Ann.Sales.Acme", "Smith"}, ",", true);
    file.writeRow(Row{"B\xff", ""}, ",", false);
    EXPECT_TRUE(file.close());
    EXPECT_EQ(contents(path("report.csv")),
              "Object,Surname\r\n\"Ann.Sales.Acme\",\"Smith\"\r\nB\xff,\r\n");
}

TEST_F(OutputFileTest, OpeningEmptiesAnExistingFileEveryRun) {
    const std::string p = path("again.csv");
    kvx::test::spit(p, std::string(5000, 'z'));
    for (int run = 0; run < 2; ++run) {
        kvx::OutputFile file;
        ASSERT_TRUE(file.open(p));
        file.writeRow(Row{"a", "b"}, ",", false);
        ASSERT_TRUE(file.close());
        EXPECT_EQ(contents(p), "a,b\r\n") << "run " << run;
    }
}

TEST_F(OutputFileTest, LargeOutputPassesThroughTheBufferIntact) {
    kvx::OutputFile file;
    ASSERT_TRUE(file.open(path("big.csv")));
    std::string expected;
    const std::string big(kvx::OutputFile::BufferSize + 12345, 'q');
    for (int i = 0; i < 30000; ++i) {
        const Row row{"Object " + std::to_string(i), std::to_string(i * 7)};
        file.writeRow(row, "\t", false);
        expected += kvx::ResultLine(row, "\t", false);
        if (i == 15000) { // one line longer than the whole buffer
            file.writeRow(Row{big}, ",", true);
            expected += "\"" + big + "\"\r\n";
        }
    }
    EXPECT_TRUE(file.close());
    EXPECT_EQ(contents(path("big.csv")), expected);
}

TEST_F(OutputFileTest, FilesThatCannotBeOpened) {
    kvx::OutputFile file;
    EXPECT_FALSE(file.open(""));
    EXPECT_FALSE(file.isOpen());
    EXPECT_FALSE(file.open(path("no/such/folder/report.csv")));
    EXPECT_FALSE(file.open(dir_.path().string())); // a folder
    EXPECT_FALSE(file.close());                    // nothing open
}

TEST_F(OutputFileTest, WriteFailureIsReportedOnClose) {
    if (!std::filesystem::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    kvx::OutputFile file;
    ASSERT_TRUE(file.open("/dev/full"));
    file.writeHeader(ReportMode::NonTabular, ",", Row{});
    file.writeRow(Row{"a"}, ",", false);
    EXPECT_FALSE(file.close());
    EXPECT_TRUE(file.failed());

    // A failure shows as soon as a full buffer is flushed.
    ASSERT_TRUE(file.open("/dev/full"));
    EXPECT_FALSE(file.failed());
    file.write(std::string(kvx::OutputFile::BufferSize + 1, 'x'));
    EXPECT_TRUE(file.failed());
    EXPECT_FALSE(file.close());

    // The same object writes a good file afterwards.
    ASSERT_TRUE(file.open(path("after.csv")));
    file.writeRow(Row{"ok"}, ",", false);
    EXPECT_TRUE(file.close());
    EXPECT_EQ(contents(path("after.csv")), "ok\r\n");
}

} // namespace
