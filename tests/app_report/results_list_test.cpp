// The results list after a run over the sample tree: sort kinds of the columns, sorting by column
// clicks, columns fitted or hidden, and the clipboard copy.
#include "common/support.h"
#include "common/window.h"

#include "results/resultsmodel.h"

#include <QAction>
#include <QClipboard>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLocale>
#include <QPushButton>
#include <QTreeView>
#include <QTreeWidget>

#include <cstdio>
#include <string>

namespace {

using namespace kvx::test;
using ReportWindowTest = WindowTest;

const QString kTaro = QString::fromUtf8("\xE7\x94\xB0\xE4\xB8\xAD \xE5\xA4\xAA\xE9\x83\x8E");
const QString kTaroGiven = QString::fromUtf8("\xE5\xA4\xAA\xE9\x83\x8E");

class ResultsListTest : public ReportWindowTest {
protected:
    void SetUp() override {
        ReportWindowTest::SetUp();
        serveSampleTree();
        start();
        ASSERT_TRUE(messages.empty());
        ASSERT_EQ(QLocale::system().name(), "C"); // as the test environment pins it
    }
    void clickColumn(int column) { clickHeader(column); }
    // Object names without their container part.
    QStringList shortNames() const {
        QStringList names;
        for (const QString& n : resultColumn(0))
            names << n.section('.', 0, 0);
        return names;
    }
    QString copy() {
        window->findChild<QAction*>("CopyResultstoClipboard1")->trigger();
        return QGuiApplication::clipboard()->text();
    }
};

TEST_F(ResultsListTest, ColumnsCarryTheSortKindsOfTheirSyntaxes) {
    runReport({"Acme", "Sales", "Dev"}, "User",
              {"Given Name", "Password Minimum Length", "Login Time", "Last Referenced Time",
               "Revision", "Password Expiration Interval"},
              {.toFile = false}, QString());
    EXPECT_TRUE(messages.empty());
    const kvx::ResultsModel* model = window->resultsModel();
    ASSERT_EQ(model->columnCount(), 7);
    const int expected[] = {0, 0, 1, 2, 2, 1, 1};
    for (int c = 0; c < 7; ++c)
        EXPECT_EQ(model->sortKind(c), expected[c]) << c;
    // A Timestamp renders like a Time, so that it sorts as one: Frank's last reference was
    // 1724414820 seconds, 2024-08-23 12:07:00 UTC.
    EXPECT_EQ(resultColumn(4).first(), "23 Aug 2024 12:07:00");
}

TEST_F(ResultsListTest, ColumnClicksSortByKindAndEachColumnKeepsItsDirectionAcrossRuns) {
    runReport({"Acme", "Sales"}, "User", {"Given Name", "Password Minimum Length", "Login Time"},
              {.toFile = false}, QString());
    ASSERT_EQ(resultColumn(0).size(), 11);

    clickColumn(2); // whole numbers, not text: 6 before 10
    EXPECT_EQ(resultColumn(2),
              (QStringList{"6", "6", "6", "8", "8", "8", "8", "10", "10", "12", "12"}));
    clickColumn(3); // dates, not text: "15 Mar 2024" after "8 Feb 2024"
    const QStringList byLogin{"Ann Smith",  "Bob Jones",   "Carol White", "David Brown",
                              "Eve Taylor", "José García", "Leo Martin",  "Frank Miller",
                              "Grace Lee",  "Hiro Tanaka", kTaro};
    EXPECT_EQ(shortNames(), byLogin);
    clickColumn(2); // its second click: descending, whatever came in between
    EXPECT_EQ(resultColumn(2),
              (QStringList{"12", "12", "10", "10", "8", "8", "8", "8", "6", "6", "6"}));
    clickColumn(1); // text: upper-cased ASCII byte order, other bytes after it
    EXPECT_EQ(resultColumn(1), (QStringList{"Ann", "Bob", "Carol", "David", "Eve", "Frank", "Grace",
                                            "Hiro", "José", "Leo", kTaroGiven}));

    // A new run keeps each column's direction: columns 1 and 3 were last sorted ascending.
    pressStart();
    clickColumn(3);
    QStringList reversed;
    for (const QString& n : byLogin)
        reversed.prepend(n);
    EXPECT_EQ(shortNames(), reversed);
    clickColumn(1);
    EXPECT_EQ(resultColumn(1), (QStringList{kTaroGiven, "Leo", "José", "Hiro", "Grace", "Frank",
                                            "Eve", "David", "Carol", "Bob", "Ann"}));
    clickColumn(1);
    EXPECT_EQ(resultColumn(1).first(), "Ann");
}

// The sorted column shows its direction, and the copy gives the columns in the order the user
// has dragged them into.
TEST_F(ResultsListTest, SortIndicatorAndCopyInTheOrderShown) {
    runReport({"Acme", "Sales", "Dev"}, "User",
              {"Given Name", "Surname", "Password Minimum Length"}, {.toFile = false}, QString());
    QHeaderView* header = find<QTreeView>("lvwSearch")->header();
    EXPECT_EQ(header->sortIndicatorSection(), -1); // a new run is not sorted
    clickColumn(2);
    EXPECT_TRUE(header->isSortIndicatorShown());
    EXPECT_EQ(header->sortIndicatorSection(), 2);
    EXPECT_EQ(header->sortIndicatorOrder(), Qt::AscendingOrder);
    clickColumn(2);
    EXPECT_EQ(header->sortIndicatorOrder(), Qt::DescendingOrder);

    header->moveSection(header->visualIndex(3), 0); // the number column first
    header->moveSection(header->visualIndex(2), 1);
    const QStringList lines = copy().split("\r\n", Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), resultColumn(0).size());
    const std::vector<std::string> first = resultRows().front();
    EXPECT_EQ(lines.first().toStdString(),
              first[3] + "\t" + first[2] + "\t" + first[0] + "\t" + first[1]);
    pressStart();
    EXPECT_EQ(header->sortIndicatorSection(), -1);
}

TEST_F(ResultsListTest, HiddenEmptyColumnIsLeftOutOfTheCopyButNotOutOfTheFile) {
    walkTo({"Acme", "Sales", "Dev"});
    chooseClass("User");
    // Nobody in Dev has initials.
    chooseAttributes({"Surname", "Initials", "Title", "Given Name"});
    const QString out = tempPath("hidden.txt");
    setOutput({}, out);
    pressStart();
    EXPECT_TRUE(messages.empty());

    EXPECT_TRUE(sectionHidden(2));
    EXPECT_EQ(window->resultsModel()->columnWidth(2), 0);
    const QFontMetrics metrics(find<QTreeView>("lvwSearch")->font());
    const QFontMetrics headerMetrics(find<QTreeView>("lvwSearch")->header()->font());
    for (int c : {0, 1, 3, 4}) {
        EXPECT_FALSE(sectionHidden(c)) << c;
        // Fitted: as wide as the wider of the caption and the widest cell.
        EXPECT_GE(sectionWidth(c), headerMetrics.horizontalAdvance(resultCaptions()[c])) << c;
        for (const QString& cell : resultColumn(c))
            EXPECT_GE(sectionWidth(c), metrics.horizontalAdvance(cell)) << c;
    }

    const std::string taro = kTaro.toStdString();
    EXPECT_EQ(readFile(out), "Object,Surname,Initials,Title,Given Name\r\n"
                             "Frank Miller.Dev.Sales.Acme,Miller,,Sales Engineer,Frank\r\n"
                             "Grace Lee.Dev.Sales.Acme,Lee,,Senior Sales Engineer,Grace\r\n"
                             "Hiro Tanaka.Dev.Sales.Acme,Tanaka,,Sales Engineer,Hiro\r\n" +
                                 taro +
                                 ".Dev.Sales.Acme,\xE7\x94\xB0\xE4\xB8\xAD,,"
                                 "\xE5\x96\xB6\xE6\xA5\xAD\xE6\x8A\x80\xE8\xA1\x93,"
                                 "\xE5\xA4\xAA\xE9\x83\x8E\r\n");

    const QString taroRow = kTaro + ".Dev.Sales.Acme\t" +
                            QString::fromUtf8("\xE7\x94\xB0\xE4\xB8\xAD") + "\t" +
                            QString::fromUtf8("\xE5\x96\xB6\xE6\xA5\xAD\xE6\x8A\x80\xE8\xA1\x93") +
                            "\t" + kTaroGiven + "\r\n";
    EXPECT_EQ(copy(), "Frank Miller.Dev.Sales.Acme\tMiller\tSales Engineer\tFrank\r\n"
                      "Grace Lee.Dev.Sales.Acme\tLee\tSenior Sales Engineer\tGrace\r\n"
                      "Hiro Tanaka.Dev.Sales.Acme\tTanaka\tSales Engineer\tHiro\r\n" +
                          taroRow);
    EXPECT_EQ(window->statusText(0), "Copying Row 3");
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);

    // The copy follows the current order.
    clickColumn(3); // Title ascending: Senior... after Sales Engineer; 営業技術 last
    clickColumn(3); // descending
    EXPECT_TRUE(copy().startsWith(taroRow + "Grace Lee.Dev.Sales.Acme\tLee\t"));

    // With hiding off the empty column is fitted and copied.
    setOutput({.toFile = false, .hideEmpty = false}, out);
    pressStart();
    EXPECT_FALSE(sectionHidden(2));
    EXPECT_GT(window->resultsModel()->columnWidth(2), 0);
    EXPECT_TRUE(
        copy().startsWith("Frank Miller.Dev.Sales.Acme\tMiller\t\tSales Engineer\tFrank\r\n"));
}

TEST_F(ResultsListTest, NoMatchStillBuildsTheColumnsAndCopiesNothing) {
    runReport({"Acme", "Sales", "Dev"}, "Printer", {"Status"}, {.toFile = false}, QString());
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(window->resultsModel()->rowCount(), 0);
    EXPECT_EQ(resultCaptions(), (QStringList{"Object", "Status"}));
    EXPECT_TRUE(sectionHidden(1));
    EXPECT_FALSE(sectionHidden(0));
    QGuiApplication::clipboard()->setText("left over");
    EXPECT_EQ(copy(), "");
    EXPECT_EQ(window->statusText(0), "Finished");
}

// A class with 300 attributes of its own: more columns than a sort parameter's low eight bits
// can name.
std::string wideSchema() {
    std::string schema;
    std::string may;
    for (int i = 0; i < 300; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "A%03d", i);
        schema += "attributetype ( 1.3.6.1.4.1.99999.3." + std::to_string(i) + " NAME 'kvx" + name +
                  "' SYNTAX 1.3.6.1.4.1.1466.115.121.1.27 SINGLE-VALUE X-NDS_NAME '" + name +
                  "' )\n";
        may += (i == 0 ? "" : " $ ") + std::string("kvx") + name;
    }
    schema += "objectclass ( 1.3.6.1.4.1.99999.4.1 NAME 'kvxWideObject' SUP top STRUCTURAL "
              "MUST cn MAY ( " +
              may + " ) X-NDS_NAMING 'cn' X-NDS_NAME 'Wide Object' )\n";
    return schema;
}

std::string wideEntry(const char* cn, const char* a024, const char* a280) {
    return entry(std::string("cn=") + cn + ",o=Org", "kvxWideObject",
                 std::string("kvxA024: ") + a024 + "\nkvxA280: " + a280 + "\n");
}
const std::string kWideLdif = ldif({container("o=Org"), wideEntry("One", "7", "30"),
                                    wideEntry("Two", "8", "4"), wideEntry("Three", "9", "100")},
                                   true);

TEST_F(ReportWindowTest, WideReportSortsSizesAndCopiesEveryColumn) {
    serveText(wideSchema(), kWideLdif);
    start();
    walkTo({"Org"});
    chooseClass("Wide Object");
    find<QPushButton>("cmdAttributeAddAll")->click();
    // A000 to A299, then CN and Object Class.
    ASSERT_EQ(find<QTreeWidget>("lvwSelectedAttributes")->topLevelItemCount(), 302);
    setOutput({.toFile = false}, QString());
    pressStart();
    EXPECT_TRUE(messages.empty());
    ASSERT_EQ(resultCaptions().size(), 303);
    ASSERT_EQ(resultCaptions()[281], "A280");
    ASSERT_EQ(resultCaptions()[25], "A024");

    // Filled flags beyond the 255th column: A280, CN and Object Class stay, A281 is hidden.
    EXPECT_FALSE(sectionHidden(281));
    EXPECT_TRUE(sectionHidden(282));
    EXPECT_FALSE(sectionHidden(301));
    EXPECT_FALSE(sectionHidden(302));
    EXPECT_FALSE(sectionHidden(25));
    EXPECT_TRUE(sectionHidden(1));

    // Column 281 sorts by its own numbers; it is not taken for column 25 descending.
    clickHeader(281);
    EXPECT_EQ(resultColumn(281), (QStringList{"4", "30", "100"}));
    clickHeader(281);
    EXPECT_EQ(resultColumn(281), (QStringList{"100", "30", "4"}));

    // Object, then A024, A280, CN and Object Class: four tabs a row.
    window->findChild<QAction*>("CopyResultstoClipboard1")->trigger();
    const QString copied = QGuiApplication::clipboard()->text();
    EXPECT_TRUE(copied.startsWith("Three.Org\t9\t100\tThree\t")) << copied.toStdString();
    const QStringList lines = copied.split("\r\n");
    ASSERT_EQ(lines.size(), 4); // three rows and the empty text after the last line end
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(lines[i].count('\t'), 4) << lines[i].toStdString();
}

// Texts with more characters are not always the wider ones: twenty narrow letters against
// fourteen wide ones.
const std::string kWidthLdif =
    ldif({container("o=Org"),
          entry("cn=iiiiiiiiiiiiiiiiiiiiiiii,o=Org", "person organizationalPerson",
                "sn: Narrow\ntitle: iiiiiiiiiiiiiiiiiiii\n"),
          entry("cn=WWWWWWWWWWWWWWWW,o=Org", "person organizationalPerson",
                "sn: Wide\ntitle: WWWWWWWWWWWWWW\n")},
         true);

TEST_F(ReportWindowTest, FittedColumnIsAsWideAsItsWidestCellNotItsLongest) {
    serveText("", kWidthLdif);
    start();
    runReport({"Org"}, "Organizational Person", {"Title", "Surname"}, {.toFile = false}, QString());
    ASSERT_TRUE(messages.empty());
    const QFontMetrics metrics(find<QTreeView>("lvwSearch")->font());
    ASSERT_GT(metrics.horizontalAdvance("WWWWWWWWWWWWWW"),
              metrics.horizontalAdvance("iiiiiiiiiiiiiiiiiiii"));
    EXPECT_GE(sectionWidth(0), metrics.horizontalAdvance("WWWWWWWWWWWWWWWW.Org"));
    EXPECT_GE(sectionWidth(1), metrics.horizontalAdvance("WWWWWWWWWWWWWW"));
    EXPECT_EQ(window->resultsModel()->columnWidth(1), sectionWidth(1));
}

TEST_F(ReportWindowTest, ValueRenderedEmptyStillKeepsItsColumnShown) {
    serveText("",
              ldif({container("o=Org"), entry("cn=Blank,o=Org", "person", "sn: B\ndescription:\n")},
                   true));

    start();
    walkTo({"Org"});
    chooseClass("Person");
    chooseAttributes({"Description", "Telephone Number", "Surname"});
    const QString out = tempPath("blank.txt");
    setOutput({}, out);
    pressStart();
    ASSERT_TRUE(messages.empty());
    EXPECT_EQ(readFile(out), "Object,Description,Telephone Number,Surname\r\nBlank.Org,,,B\r\n");
    EXPECT_FALSE(sectionHidden(1)); // a value, though an empty one
    EXPECT_TRUE(sectionHidden(2));  // no value at all
    EXPECT_FALSE(sectionHidden(3));
}

} // namespace
