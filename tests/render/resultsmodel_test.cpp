#include "directory/syntax.h"
#include "report/datetime.h"
#include "results/compare.h"
#include "results/resultsmodel.h"

#include <gtest/gtest.h>

#include <QPersistentModelIndex>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

using Row = std::vector<std::string>;
using kvx::ResultColumn;
using kvx::ResultsModel;

std::vector<ResultColumn>
columns(std::initializer_list<std::pair<const char*, int>> captionsAndKinds) {
    std::vector<ResultColumn> cols;
    for (const auto& [caption, kind] : captionsAndKinds)
        cols.push_back(ResultColumn{caption, kind, ResultColumn::DefaultWidth});
    return cols;
}

std::vector<std::string> column(const ResultsModel& model, std::size_t c) {
    std::vector<std::string> out;
    for (std::size_t r = 0; r < model.rows(); ++r)
        out.emplace_back(model.cell(r, c));
    return out;
}

using Cells = std::vector<std::string>;

TEST(ResultsModel, CellsHeadersAndShortRows) {
    ResultsModel model;
    model.setColumns(columns({{"Object", 0}, {"Surname", 0}, {"Login Time", 2}}));
    model.appendRow(Row{"Ann.Sales.Acme", "Smith", "x"});
    model.appendRow(Row{"Zo\xc3\xab.Acme"}); // shorter than the columns
    EXPECT_EQ(model.rowCount(), 2);
    EXPECT_EQ(model.columnCount(), 3);
    EXPECT_EQ(model.data(model.index(0, 1)).toString(), QStringLiteral("Smith"));
    EXPECT_EQ(model.data(model.index(1, 0)).toString(), QString::fromUtf8("Zo\xc3\xab.Acme"));
    EXPECT_EQ(model.data(model.index(1, 2)).toString(), QString());
    EXPECT_EQ(model.cellCount(1), 1u);
    EXPECT_EQ(model.headerData(1, Qt::Horizontal).toString(), QStringLiteral("Surname"));
    EXPECT_EQ(model.headerData(2, Qt::Horizontal, ResultsModel::SortKindRole).toInt(), 2);
    EXPECT_FALSE(model.headerData(3, Qt::Horizontal).isValid());
    EXPECT_EQ(model.rowTexts(0), (Row{"Ann.Sales.Acme", "Smith", "x"}));
    EXPECT_EQ(model.cell(7, 0), "");
}

TEST(ResultsModel, EmptyCellsAndHugeCellsAreKeptExactly) {
    ResultsModel model;
    model.setColumns(columns({{"Object", 0}, {"A", 0}, {"B", 0}}));
    const std::string huge(9u << 20, 'h'); // larger than a storage chunk
    model.appendRow(Row{"", "", "z"});
    model.appendRow(Row{"big", huge, "after"});
    model.appendRow(std::vector<std::string_view>{"v", "w"});
    EXPECT_EQ(model.rowTexts(0), (Row{"", "", "z"}));
    EXPECT_EQ(model.cell(1, 1), huge);
    EXPECT_EQ(model.cell(1, 2), "after");
    EXPECT_EQ(model.rowTexts(2), (Row{"v", "w"}));
    EXPECT_EQ(model.longestCell(1).size(), huge.size());
}

TEST(ResultsModel, SortsEachKindAndAlternates) {
    ResultsModel model;
    model.setColumns(columns({{"Object", 0}, {"Name", 0}, {"Count", 1}, {"When", 2}}));
    model.appendRow(Row{"o1", "beta", "10", kvx::FormatDirectoryTime(1000000000)});
    model.appendRow(Row{"o2", "Alpha", "9", ""});
    model.appendRow(Row{"o3", "alpha2", "100", kvx::FormatDirectoryTime(10)});

    kvx::ColumnSortState state;
    model.sortByParameter(state.click(1), model.sortKind(1));
    EXPECT_EQ(column(model, 1), (Cells{"Alpha", "alpha2", "beta"}));
    model.sortByParameter(state.click(1), model.sortKind(1));
    EXPECT_EQ(column(model, 1), (Cells{"beta", "alpha2", "Alpha"}));

    model.sort(2, Qt::AscendingOrder);
    EXPECT_EQ(column(model, 2), (Cells{"9", "10", "100"}));

    model.sort(3, Qt::AscendingOrder);
    EXPECT_EQ(column(model, 0), (Cells{"o2", "o3", "o1"}));
    model.sort(3, Qt::DescendingOrder);
    EXPECT_EQ(column(model, 0), (Cells{"o1", "o3", "o2"}));
}

TEST(ResultsModel, EqualKeysKeepTheirPreviousOrder) {
    ResultsModel model;
    model.setColumns(columns({{"Object", 0}, {"Dept", 0}}));
    for (const char* name : {"d", "b", "e", "a", "c"})
        model.appendRow(Row{name, std::string(name) < "c" ? "Sales" : "dev"});
    model.sort(0, Qt::DescendingOrder);
    model.sort(1, Qt::AscendingOrder); // "DEV" < "SALES"; within each, descending names stay
    EXPECT_EQ(column(model, 0), (Cells{"e", "d", "c", "b", "a"}));
    model.sort(1, Qt::DescendingOrder);
    EXPECT_EQ(column(model, 0), (Cells{"b", "a", "e", "d", "c"}));

    // Enough rows that an unstable sort would mix up equal keys.
    ResultsModel big;
    big.setColumns(columns({{"Object", 0}, {"Group", 1}}));
    for (int i = 0; i < 300; ++i) {
        char name[8];
        std::snprintf(name, sizeof name, "r%03d", i);
        big.appendRow(Row{name, std::to_string((i * 7) % 3)});
    }
    big.sort(0, Qt::DescendingOrder);
    for (Qt::SortOrder order : {Qt::AscendingOrder, Qt::DescendingOrder}) {
        big.sort(1, order);
        for (std::size_t r = 1; r < big.rows(); ++r) {
            if (big.cell(r, 1) == big.cell(r - 1, 1)) {
                ASSERT_GT(big.cell(r - 1, 0), big.cell(r, 0)) << "row " << r;
            }
        }
    }
}

// The model's fast sort orders rows exactly as the row comparison does.
TEST(ResultsModel, SortAgreesWithCompareResultRows) {
    std::mt19937 random(1234);
    auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    const std::vector<std::string> texts = {"",         "a",  "A",          "ab",    "aB ",
                                            "\xc3\xa9", "_x", "Zz",         "zZ",    "~",
                                            " 42",      "-7", "4294967295", "12abc", "0"};
    ResultsModel model;
    model.setColumns(columns({{"Object", 0}, {"Text", 0}, {"Number", 1}, {"Date", 2}}));
    for (int i = 0; i < 400; ++i) {
        Row row{texts[static_cast<std::size_t>(pick(static_cast<int>(texts.size())))],
                texts[static_cast<std::size_t>(pick(static_cast<int>(texts.size())))],
                texts[static_cast<std::size_t>(pick(static_cast<int>(texts.size())))]};
        const int d = pick(4);
        row.push_back(d == 0 ? "" : d == 1 ? "junk" : kvx::FormatDirectoryTime(pick(100000)));
        if (pick(5) == 0)
            row.resize(static_cast<std::size_t>(pick(4))); // rows of any length
        model.appendRow(row);
    }
    for (int c = 0; c < 5; ++c) {
        for (int kind : {kvx::SortKindText, kvx::SortKindNumber, kvx::SortKindDate}) {
            for (bool descending : {false, true}) {
                const int p = kvx::MakeSortParameter(c, descending);
                model.sortByParameter(p, kind);
                for (std::size_t r = 1; r < model.rows(); ++r) {
                    ASSERT_LE(
                        kvx::CompareResultRows(model.rowTexts(r - 1), model.rowTexts(r), p, kind),
                        0)
                        << "column " << c << " kind " << kind << " row " << r;
                }
            }
        }
    }
}

TEST(ResultsModel, PersistentIndexesFollowTheirRowsThroughASort) {
    ResultsModel model;
    model.setColumns(columns({{"Object", 0}, {"N", 1}}));
    model.appendRow(Row{"c", "3"});
    model.appendRow(Row{"a", "1"});
    model.appendRow(Row{"b", "2"});
    const QPersistentModelIndex tracked(model.index(0, 1)); // "c", "3"
    model.sort(1, Qt::AscendingOrder);
    ASSERT_TRUE(tracked.isValid());
    EXPECT_EQ(tracked.row(), 2);
    EXPECT_EQ(tracked.data().toString(), QStringLiteral("3"));
}

TEST(ResultsModel, BulkAppendAnnouncesRowsOnceAtTheEnd) {
    ResultsModel model;
    model.setColumns(columns({{"Object", 0}}));
    std::vector<std::pair<int, int>> inserted;
    QObject::connect(&model, &QAbstractItemModel::rowsInserted,
                     [&](const QModelIndex&, int first, int last) {
                         inserted.emplace_back(first, last);
                         EXPECT_EQ(model.rowCount(), last + 1);
                     });
    model.appendRow(Row{"first"});
    model.beginBulk();
    model.beginBulk();
    for (int i = 0; i < 1000; ++i)
        model.appendRow(Row{"r" + std::to_string(i)});
    model.endBulk();
    EXPECT_EQ(model.rowCount(), 1); // nested: still pending
    model.endBulk();
    EXPECT_EQ(model.rowCount(), 1001);
    EXPECT_EQ(inserted, (std::vector<std::pair<int, int>>{{0, 0}, {1, 1000}}));
    EXPECT_EQ(model.cell(1000, 0), "r999");
}

TEST(ResultsModel, ClearRemovesRowsAndNewColumnsKeepThem) {
    ResultsModel model;
    model.setColumns(columns({{"Object", 0}}));
    model.appendRow(Row{"a", "b"});
    model.setColumns(columns({{"Object", 0}, {"Attribute", 0}, {"Value", 0}}));
    EXPECT_EQ(model.rowCount(), 1);
    EXPECT_EQ(model.data(model.index(0, 1)).toString(), QStringLiteral("b"));
    model.clear();
    EXPECT_EQ(model.rowCount(), 0);
    EXPECT_EQ(model.columnCount(), 3);
    model.appendRow(Row{"again"});
    EXPECT_EQ(model.cell(0, 0), "again");
}

TEST(ResultsModel, ClipboardTextLeavesOutHiddenColumns) {
    ResultsModel model;
    model.setColumns(columns({{"Object", 0}, {"A", 0}, {"B", 0}, {"C", 0}, {"D", 0}}));
    model.appendRow(Row{"o2", "a2", "hidden2", "c2", "d2"});
    model.appendRow(Row{"o1", "a1", "hidden1", "c1"});
    model.setColumnWidth(2, 0);
    EXPECT_EQ(model.headerData(2, Qt::Horizontal, ResultsModel::ColumnWidthRole).toInt(), 0);
    model.sort(0, Qt::AscendingOrder);
    const std::string text = model.clipboardText();
    EXPECT_EQ(text, "o1\ta1\tc1\t\r\no2\ta2\tc2\td2\r\n");
    EXPECT_EQ(std::count(text.begin(), text.end(), '\t'), 6); // three per row of five columns

    // Column 0 is always copied, even with width 0.
    model.setColumnWidth(0, 0);
    EXPECT_EQ(model.clipboardText().substr(0, 2), "o1");

    ResultsModel empty;
    EXPECT_EQ(empty.clipboardText(), "");
}

// Columns come in the order shown (here dragged to D, Object, B, A; C left out of the order
// follows); a cell with a tab, a line break or a double quote is quoted so that a spreadsheet
// pastes it into one cell.
TEST(ResultsModel, ClipboardTextFollowsTheShownOrderAndQuotesCellsThatWouldSplit) {
    ResultsModel model;
    model.setColumns(columns({{"Object", 0}, {"A", 0}, {"B", 0}, {"C", 0}, {"D", 0}}));
    model.appendRow(Row{"o", "two\tcells", "two\r\nlines", "5\" disk", "plain"});
    const std::vector<int> shown{4, 0, 2, 1};
    EXPECT_EQ(model.clipboardText(shown),
              "plain\to\t\"two\r\nlines\"\t\"two\tcells\"\t\"5\"\" disk\"\r\n");
}

TEST(ResultsModel, ClipboardProgressReportsStepsAndTheLastRow) {
    ResultsModel model;
    model.setColumns(columns({{"Object", 0}}));
    for (int i = 0; i < 5; ++i)
        model.appendRow(Row{std::to_string(i)});
    std::vector<std::size_t> seen;
    model.clipboardText(
        {}, [&](std::size_t row) { seen.push_back(row); }, 2);
    EXPECT_EQ(seen, (std::vector<std::size_t>{0, 2, 4}));
    seen.clear();
    model.clipboardText(
        {}, [&](std::size_t row) { seen.push_back(row); }, 3);
    EXPECT_EQ(seen, (std::vector<std::size_t>{0, 3, 4}));
}

} // namespace
