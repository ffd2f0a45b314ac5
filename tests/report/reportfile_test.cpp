// The report file in its workbook form, read back by real spreadsheet programs (LibreOffice's
// converter for the values, openpyxl for types and layout): typed cells, text that looks like a
// formula, the header, sheets that continue when one is full, runs that do not complete and a
// disk that fills up. Both forms keep the last good report unless a run completed.
#include "common/support.h"

#include "report/datetime.h"
#include "report/reportfile.h"
#include "report/writerthread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <sys/mount.h>

namespace {

namespace fs = std::filesystem;
using kvx::report::CellKind;
using kvx::report::FileLayout;
using kvx::report::OutputColumn;
using kvx::report::ReportFile;
using kvx::report::RunEnd;
using kvx::report::TableWriter;
using Row = std::vector<std::string>;

void writeReport(ReportFile& file, const std::vector<OutputColumn>& columns,
                 const std::vector<Row>& rows, RunEnd how) {
    ASSERT_TRUE(file.open());
    file.columns(columns);
    for (const Row& row : rows)
        file.row(row);
    file.end(how);
}

std::vector<std::string> filesIn(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& file : fs::directory_iterator(folder))
        names.push_back(file.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(WorkbookFile, TypedCellsFormulaLookingTextAndABoldFrozenFilteredHeader) {
    kvx::test::TempFolder dir;
    const std::vector<OutputColumn> columns{{"Object", CellKind::Text},
                                            {"Employee ID", CellKind::Text},
                                            {"Logins", CellKind::Number},
                                            {"Last Login Time", CellKind::DateTime},
                                            {"Login Disabled", CellKind::Boolean},
                                            {"Description", CellKind::Text}};
    // 2024-03-01 09:30:05 UTC, as the text file shows it (TZ=UTC in the tests).
    const std::string loginTime = kvx::FormatDirectoryTime(1709285405);
    const std::string longDescription(40000, 'x');
    const std::vector<Row> rows{
        {"Ann.Sales.Acme", "00123", "42", loginTime, "TRUE", "=SUM(A1:A2)"},
        {"Bob.Sales.Acme", "", "1234567890123456", "0", "FALSE", "+44 20 7946 0201"},
        {"Cy, \"Jr\".Sales.Acme", "-7", "-4294967296", "", "", "@home"},
        {"Dee.Sales.Acme", "", "", "", "", "-rf " + longDescription}};
    ReportFile file((dir / "users.xlsx").string(), FileLayout{});
    writeReport(file, columns, rows, RunEnd::Completed);
    ASSERT_EQ(file.outcome(), ReportFile::Outcome::Written);
    EXPECT_EQ(file.sheets(), 1);
    EXPECT_EQ(file.shortenedCells(), 1u); // a cell holds 32,767 characters
    EXPECT_EQ(filesIn(dir.path()), std::vector<std::string>{"users.xlsx"}); // nothing else left

    // Numbers of up to 15 digits are numbers, a longer one stays text so no digit is lost; the
    // time is a date cell in the text file's time zone; "0" is no date. Every text that looks
    // like a formula is a text cell.
    const std::string cells = kvx::test::workbookCells(dir / "users.xlsx");
    const std::string expectedStart = "sheet Sheet1 freeze=A2 filter=A1:F5\n"
                                      "width A 22\nwidth B 16\nwidth C 19\nwidth D 22\n"
                                      "width E 19\nwidth F 61\n"
                                      "A1 s bold Object\nB1 s bold Employee ID\nC1 s bold Logins\n"
                                      "D1 s bold Last Login Time\nE1 s bold Login Disabled\n"
                                      "F1 s bold Description\n"
                                      "A2 s Ann.Sales.Acme\nB2 s 00123\nC2 n 42\n"
                                      "D2 d 2024-03-01 09:30:05\nE2 b True\nF2 s =SUM(A1:A2)\n"
                                      "A3 s Bob.Sales.Acme\nC3 s 1234567890123456\nD3 s 0\n"
                                      "E3 b False\nF3 s +44 20 7946 0201\n"
                                      "A4 s Cy, \"Jr\".Sales.Acme\nB4 s -7\nC4 n -4294967296\n"
                                      "F4 s @home\n"
                                      "A5 s Dee.Sales.Acme\nF5 s -rf ";
    EXPECT_EQ(cells.substr(0, expectedStart.size()), expectedStart) << cells.substr(0, 2000);
    EXPECT_EQ(cells.size(), expectedStart.size() + 32767 - 4 + 1); // "-rf " and the line end

    // LibreOffice shows the same values; the date as yyyy-mm-dd hh:mm:ss.
    const std::vector<std::string> sheets = kvx::test::workbookSheetsAsCsv(dir / "users.xlsx");
    ASSERT_EQ(sheets.size(), 1u) << sheets[0].substr(0, 2000);
    const std::vector<std::string> lines = kvx::test::lines(sheets[0]);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "Object,Employee ID,Logins,Last Login Time,Login Disabled,Description");
    EXPECT_EQ(lines[1], "Ann.Sales.Acme,00123,42,2024-03-01 09:30:05,TRUE,=SUM(A1:A2)");
    EXPECT_EQ(lines[2], "Bob.Sales.Acme,,1234567890123456,0,FALSE,+44 20 7946 0201");
    EXPECT_EQ(lines[3], "\"Cy, \"\"Jr\"\".Sales.Acme\",-7,-4294967296,,,@home");

    // Compressed at zlib's fastest level (a million-row sheet is written in a third of the time
    // of the default level): minizip marks that in each entry's flags, bits 1 and 2 both set.
    const std::string zip = kvx::test::slurp(dir / "users.xlsx");
    ASSERT_EQ(zip.substr(0, 4), std::string("PK\3\4", 4));
    EXPECT_EQ(static_cast<unsigned char>(zip[6]) & 6, 6);
}

// Rows written on the writer's own thread reach it whole and in order, over many batches and
// around a change of columns, and the writer's close() answer is the caller's.
TEST(WriterOnThread, RowsArriveWholeInOrderAndTheWritersCloseAnswers) {
    struct Recorder : TableWriter {
        explicit Recorder(std::vector<std::string>* log) : log(log) {}
        void columns(const std::vector<OutputColumn>& columns) override {
            log->push_back("columns " + columns.front().caption);
        }
        void row(std::span<const std::string> cells) override {
            std::string line;
            for (const std::string& cell : cells)
                line += cell + "|";
            log->push_back(line);
        }
        bool close() override {
            log->push_back("close");
            return false;
        }
        std::vector<std::string>* log;
    };
    std::vector<std::string> log;
    std::vector<std::string> expected{"columns A"};
    auto writer = kvx::report::WriteOnThread(std::make_unique<Recorder>(&log));
    writer->columns({{"A", CellKind::Text}});
    for (int i = 0; i < 5000; ++i) {
        const Row row(static_cast<std::size_t>(i % 4),
                      std::to_string(i) + std::string(i % 40, 'x'));
        writer->row(row);
        std::string line;
        for (const std::string& cell : row)
            line += cell + "|";
        expected.push_back(line);
        if (i == 3000) {
            writer->columns({{"B", CellKind::Text}});
            expected.push_back("columns B");
        }
    }
    EXPECT_FALSE(writer->close());
    expected.push_back("close");
    EXPECT_EQ(log, expected);
}

// A run fills sheets of four rows (a test-sized limit): each further sheet starts with the
// header. A stopped run keeps the last report and leaves a whole workbook in the .partial; the
// next completed run replaces the report and clears the .partial.
TEST(WorkbookFile, FullSheetsContinueOnTheNextAndOnlyACompletedRunReplacesTheReport) {
    kvx::test::TempFolder dir;
    const fs::path target = dir / "Users.XLSX";
    kvx::test::spit(target, "last good report");
    const std::vector<OutputColumn> columns{{"Object", CellKind::Text},
                                            {"Logins", CellKind::Number}};
    std::vector<Row> rows;
    for (int i = 1; i <= 10; ++i)
        rows.push_back({"User " + std::to_string(i), std::to_string(i)});
    const FileLayout layout{.headers = true, .sheetRows = 4};

    ReportFile stopped(target.string(), layout);
    writeReport(stopped, columns, {rows.begin(), rows.begin() + 7}, RunEnd::Stopped);
    EXPECT_EQ(stopped.outcome(), ReportFile::Outcome::Partial);
    EXPECT_EQ(kvx::test::slurp(target), "last good report");
    EXPECT_EQ(filesIn(dir.path()), (std::vector<std::string>{"Users.XLSX", "Users.XLSX.partial"}));
    EXPECT_EQ(kvx::test::workbookSheetsAsCsv(stopped.partialName()),
              (std::vector<std::string>{"Object,Logins\nUser 1,1\nUser 2,2\nUser 3,3\n",
                                        "Object,Logins\nUser 4,4\nUser 5,5\nUser 6,6\n",
                                        "Object,Logins\nUser 7,7\n"}));

    ReportFile completed(target.string(), layout);
    writeReport(completed, columns, rows, RunEnd::Completed);
    EXPECT_EQ(completed.outcome(), ReportFile::Outcome::Written);
    EXPECT_EQ(completed.sheets(), 4);
    EXPECT_EQ(filesIn(dir.path()), std::vector<std::string>{"Users.XLSX"});
    const std::string cells = kvx::test::workbookCells(target);
    for (const char* sheet :
         {"sheet Sheet1 freeze=A2 filter=A1:B4\n", "sheet Sheet3 freeze=A2 filter=A1:B4\n",
          "sheet Sheet4 freeze=A2 filter=A1:B2\nwidth A 11\nwidth B 11\n"
          "A1 s bold Object\nB1 s bold Logins\nA2 s User 10\nB2 n 10\n"}) {
        EXPECT_NE(cells.find(sheet), std::string::npos) << sheet << "\nin\n" << cells;
    }
}

// A real full disk: a small file system of its own holds the last report. Neither form of a run
// that cannot be written whole replaces it; delimited text keeps what was written in the
// .partial, a workbook that could not be put together is not kept.
TEST(ReportFileOnAFullDisk, TheLastReportStaysAndNoBrokenFileIsLeft) {
    kvx::test::TempFolder dir;
    ASSERT_EQ(::mount("tmpfs", dir.path().c_str(), "tmpfs", 0, "size=256k"), 0)
        << "mounting a small tmpfs needs root: " << std::strerror(errno);
    struct Unmount {
        const fs::path& at;
        ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
    } unmount{dir.path()};

    const std::vector<OutputColumn> columns{{"Object", CellKind::Text},
                                            {"Description", CellKind::Text}};
    std::vector<Row> rows;
    for (int i = 0; i < 20000; ++i)
        rows.push_back({"User " + std::to_string(i), "Value " + std::to_string(i * 7919)});
    for (const char* name : {"users.txt", "users.xlsx"}) {
        SCOPED_TRACE(name);
        const fs::path target = dir / name;
        kvx::test::spit(target, "last good report");
        ReportFile file(target.string(), FileLayout{.separator = ","});
        writeReport(file, columns, rows, RunEnd::Completed);
        EXPECT_EQ(file.outcome(), ReportFile::Outcome::WriteFailed);
        EXPECT_EQ(kvx::test::slurp(target), "last good report");
        const bool text = kvx::report::FileFormOfName(name) == kvx::report::FileForm::Delimited;
        EXPECT_EQ(file.partialKept(), text);
        if (text) {
            const std::string partial = kvx::test::slurp(file.partialName());
            EXPECT_EQ(partial.rfind("Object,Description\r\nUser 0,Value 0\r\n", 0), 0u);
            fs::remove(file.partialName());
        }
        EXPECT_EQ(filesIn(dir.path()), (std::vector<std::string>{name}));
        fs::remove(target);
    }
}

} // namespace
