// Start on the Output page over the sample tree: the checks of a run with their messages and what
// they leave behind, the output file byte for byte in each mode, failures of the search's client
// calls, and entries the client splits across batches.
#include "common/support.h"
#include "common/window.h"

#include "directory/client/faults.h"
#include "directory/client/testing.h"
#include "report/search.h"
#include "results/resultsmodel.h"

#include <QApplication>
#include <QFile>
#include <QListWidget>
#include <QLocale>
#include <QRadioButton>
#include <QTabWidget>
#include <QTreeWidget>

#include <cstdlib>
#include <string>

namespace {

using namespace kvx::test;
using ReportWindowTest = WindowTest;

// The four users below Dev.Sales.Acme in the sample tree, in the order the tree holds them.
const std::string kFrank = "Frank Miller.Dev.Sales.Acme";
const std::string kGrace = "Grace Lee.Dev.Sales.Acme";
const std::string kHiro = "Hiro Tanaka.Dev.Sales.Acme";
const std::string kTaro =
    "\xE7\x94\xB0\xE4\xB8\xAD \xE5\xA4\xAA\xE9\x83\x8E.Dev.Sales.Acme";            // 田中 太郎
const std::string kTanaka = "\xE7\x94\xB0\xE4\xB8\xAD";                            // 田中
const std::string kTaroTitle = "\xE5\x96\xB6\xE6\xA5\xAD\xE6\x8A\x80\xE8\xA1\x93"; // 営業技術

class SampleRunTest : public ReportWindowTest {
protected:
    void SetUp() override {
        ReportWindowTest::SetUp();
        serveSampleTree();
        start();
        walkTo({"Acme", "Sales", "Dev"});
        chooseClass("User");
        out = tempPath("report.txt");
        ASSERT_TRUE(messages.empty());
        // Times below are written in the C locale's formats, as the test environment pins it.
        ASSERT_EQ(QLocale::system().name(), "C");
    }

    int page() const { return find<QTabWidget>("PageControl1")->currentIndex(); }
    void chooseMode(const char* option) { find<QRadioButton>(option)->click(); }

    QString out;
};

// ---- The output file, byte for byte -------------------------------------------------------

TEST_F(SampleRunTest, TabularQuotedWithMultiCharacterSeparator) {
    chooseAttributes({"Surname", "Telephone Number", "Postal Address"});
    setOutput({.quotes = true, .separator = " | "}, out);
    pressStart();
    EXPECT_TRUE(messages.empty());
    // Grace has two telephone numbers: the first only. Her postal address has five lines, the
    // sixth shows empty; the address of 田中 has seven, the seventh joined to the sixth. Quotes
    // inside a text are doubled; the header needs no quotes, so it has none.
    const std::string expected =
        "Object | Surname | Telephone Number | Postal Address\r\n"
        "\"" +
        kFrank +
        "\" | \"Miller\" | \"+44 20 7946 0201\" | \"\"\r\n"
        "\"" +
        kGrace +
        "\" | \"Lee\" | \"+44 20 7946 0202\" | "
        "\"Acme Corporation Grace Lee 1 Harbour Exchange Square London E14 9GE \"\r\n"
        "\"" +
        kHiro +
        "\" | \"Tanaka\" | \"+81 3 1234 5678\" | \"\"\r\n"
        "\"" +
        kTaro + "\" | \"" + kTanaka +
        "\" | \"+81 3 1234 5679\" | "
        "\"\xE7\x94\xB0\xE4\xB8\xAD \xE5\xA4\xAA\xE9\x83\x8E c/o Acme, \"\"Building 7\"\" "
        "Cambridge "
        "Science Park Milton Road Cambridge CB4 0WS$United Kingdom\"\r\n";
    EXPECT_EQ(readFile(out), expected);
    EXPECT_EQ(page(), 3);
    EXPECT_EQ(window->statusText(0), "Finished");
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    // The window holds the same rows, unquoted.
    ASSERT_EQ(resultRows().size(), 4u);
    EXPECT_EQ(resultRows()[2], (std::vector<std::string>{kHiro, "Tanaka", "+81 3 1234 5678", ""}));
    EXPECT_EQ(resultCaptions(),
              (QStringList{"Object", "Surname", "Telephone Number", "Postal Address"}));
}

TEST_F(SampleRunTest, TabularCrossWritesARowPerExpandedValueWithEmptySeparator) {
    chooseAttributes({"Title", "Group Membership"});
    chooseMode("optResultsTabularCross");
    pickExpandedAttribute("Group Membership");
    setOutput({.quotes = true, .separator = ""}, out);
    pressStart();
    EXPECT_TRUE(messages.empty());
    std::string expected = "ObjectTitleGroup Membership\r\n";
    const std::pair<std::string, std::string> users[] = {{kFrank, "Sales Engineer"},
                                                         {kGrace, "Senior Sales Engineer"},
                                                         {kHiro, "Sales Engineer"},
                                                         {kTaro, kTaroTitle}};
    for (const auto& [name, title] : users) {
        for (const char* group :
             {"Everyone.Acme", "Sales Engineers.Dev.Sales.Acme", "Sales Team.Sales.Acme"}) {
            expected += "\"" + name + "\"\"" + title + "\"\"" + group + "\"\r\n";
        }
    }
    EXPECT_EQ(readFile(out), expected);
    EXPECT_EQ(resultRows().size(), 12u);
}

TEST_F(SampleRunTest, NonTabularWritesARowPerValueInTheOrderReturned) {
    chooseAttributes({"Title", "Telephone Number"});
    chooseMode("optResultsNonTabular");
    setOutput({.separator = ";"}, out);
    pressStart();
    EXPECT_TRUE(messages.empty());
    const std::string expected =
        "Object;Attribute;Value\r\n" + kFrank + ";Title;Sales Engineer\r\n" + kFrank +
        ";Telephone Number;+44 20 7946 0201\r\n" + kGrace + ";Title;Senior Sales Engineer\r\n" +
        kGrace + ";Telephone Number;+44 20 7946 0202\r\n" + kGrace +
        ";Telephone Number;+44 7700 900202\r\n" + kHiro + ";Title;Sales Engineer\r\n" + kHiro +
        ";Telephone Number;+81 3 1234 5678\r\n" + kTaro + ";Title;" + kTaroTitle + "\r\n" + kTaro +
        ";Telephone Number;+81 3 1234 5679\r\n";
    EXPECT_EQ(readFile(out), expected);
    EXPECT_EQ(resultCaptions(), (QStringList{"Object", "Attribute", "Value"}));
    for (int c = 0; c < 3; ++c)
        EXPECT_FALSE(sectionHidden(c));
}

TEST_F(SampleRunTest, ValuesWithCommasAndTimesOverTheWholeSubtree) {
    walkTo({"Acme", "Sales"});
    chooseAttributes({"Given Name", "Title", "Telephone Number", "Login Time"});
    setOutput({.headers = false}, out);
    pressStart();
    EXPECT_TRUE(messages.empty());
    // Dev comes first below Sales, as the tree holds it; a title with a comma is enclosed in
    // quotes, the rest are written as they are; Ann's first of three numbers; times as the C
    // locale's short date ("d MMM yyyy") and time in UTC.
    const std::string expected =
        kFrank + ",Frank,Sales Engineer,+44 20 7946 0201,23 Aug 2024 15:31:07\r\n" + kGrace +
        ",Grace,Senior Sales Engineer,+44 20 7946 0202,3 Sep 2024 16:44:08\r\n" + kHiro +
        ",Hiro,Sales Engineer,+81 3 1234 5678,10 Oct 2024 17:57:09\r\n" + kTaro +
        ",\xE5\xA4\xAA\xE9\x83\x8E," + kTaroTitle + ",+81 3 1234 5679,17 Nov 2024 08:10:10\r\n" +
        "Ann Smith.Sales.Acme,Ann,\"Sales Director, EMEA\",+44 20 7946 0101,8 Feb 2024 09:13:01\r\n"
        "Bob Jones.Sales.Acme,Bob,Account Manager,+44 20 7946 0102,15 Mar 2024 10:26:02\r\n"
        "Carol White.Sales.Acme,Carol,Account Manager,+44 20 7946 0103,22 Apr 2024 11:39:03\r\n"
        "David Brown.Sales.Acme,David,,+44 20 7946 0104,2 May 2024 12:52:04\r\n"
        "Eve Taylor.Sales.Acme,Eve,Inside Sales,,9 Jun 2024 13:05:05\r\n"
        "Jos\xC3\xA9 Garc\xC3\xAD"
        "a.Sales.Acme,Jos\xC3\xA9,\"Account Manager, Iberia\",+34 91 123 4567,16 Jul 2024 "
        "14:18:06\r\n"
        "Leo Martin.Sales.Acme,Leo,Account Manager,+44 20 7946 0105,5 Aug 2024 11:19:43\r\n";
    EXPECT_EQ(readFile(out), expected);
}

TEST_F(SampleRunTest, StartTwiceReplacesTheFileItNeverGrows) {
    chooseAttributes({"Surname"});
    setOutput({}, out);
    writeFile(out, std::string(5000, 'x')); // an older, longer report
    pressStart();
    const std::string first = readFile(out);
    pressStart();
    const std::string expected = "Object,Surname\r\n" + kFrank + ",Miller\r\n" + kGrace +
                                 ",Lee\r\n" + kHiro + ",Tanaka\r\n" + kTaro + "," + kTanaka +
                                 "\r\n";
    EXPECT_EQ(first, expected);
    EXPECT_EQ(readFile(out), expected);
    EXPECT_EQ(resultRows().size(), 4u);
}

// ---- The checks of Start ---------------------------------------------------------------------

TEST_F(SampleRunTest, NoContainerNoClassOrNoOutputStopsAndLeavesTheFileAlone) {
    chooseAttributes({"Surname"});
    setOutput({}, out);
    writeFile(out, "older report\r\n");

    find<QTreeWidget>("tvwNDS")->setCurrentItem(nullptr);
    pressStart();
    EXPECT_EQ(messageTexts(), QStringList{"Select the starting point in the NDS Tree"});
    walkTo({"Acme", "Sales", "Dev"});

    messages.clear();
    auto* classes = find<QListWidget>("lstNDSClasses");
    classes->setCurrentItem(nullptr);
    pressStart();
    EXPECT_EQ(messageTexts(), QStringList{"Select the Object Class  (User, Group, etc) to search"});
    chooseClass("User");
    EXPECT_EQ(captions(find<QTreeWidget>("lvwSelectedAttributes")), QStringList{});
    chooseAttributes({"Surname"});

    messages.clear();
    setOutput({.toWindow = false, .toFile = false}, out);
    pressStart();
    EXPECT_EQ(messageTexts(), QStringList{"You have not selected output to either File or Screen"});

    for (const auto& m : messages)
        EXPECT_EQ(m.caption, "Korvanex");
    EXPECT_EQ(readFile(out), "older report\r\n");
    EXPECT_EQ(page(), 2);
    EXPECT_EQ(window->resultsModel()->rowCount(), 0);
    EXPECT_EQ(window->statusText(0), "");
}

TEST_F(SampleRunTest, FileThatCannotBeOpenedLeavesPageAndResultsAsTheyWere) {
    chooseAttributes({"Surname"});
    setOutput({.toFile = false}, out);
    pressStart();
    ASSERT_EQ(resultRows().size(), 4u);
    const auto rowsBefore = resultRows();

    for (const QString& name : {QString(), tempPath("no-such-folder/report.txt")}) {
        messages.clear();
        setOutput({.separator = ";"}, name);
        chooseMode("optResultsNonTabular"); // would change the columns if the run went on
        pressStart();
        EXPECT_EQ(messageTexts(),
                  QStringList{"Cannot Open Output File. Check the filename and path."});
        EXPECT_EQ(page(), 2);
        EXPECT_EQ(resultRows(), rowsBefore);
        EXPECT_EQ(resultCaptions(), (QStringList{"Object", "Surname"}));
    }
    EXPECT_FALSE(QFile::exists(tempPath("no-such-folder")));
}

TEST_F(SampleRunTest, NoAttributesIsANoticeAndListsEveryObjectOnce) {
    setOutput({}, out);
    pressStart();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text,
              "No Attributes have been selected. Only object names will be listed");
    EXPECT_EQ(messages[0].kind, kvx::app::MessageKind::Notice);
    EXPECT_EQ(readFile(out),
              "Object\r\n" + kFrank + "\r\n" + kGrace + "\r\n" + kHiro + "\r\n" + kTaro + "\r\n");
    EXPECT_EQ(window->statusText(0), "Finished");

    // Non Tabular lists each object once as well: its name and two empty cells.
    messages.clear();
    chooseMode("optResultsNonTabular");
    pressStart();
    EXPECT_EQ(messages.size(), 1u);
    EXPECT_EQ(readFile(out), "Object,Attribute,Value\r\n" + kFrank + ",,\r\n" + kGrace + ",,\r\n" +
                                 kHiro + ",,\r\n" + kTaro + ",,\r\n");
    EXPECT_EQ(resultRows().size(), 4u);
}

TEST_F(SampleRunTest, TabularCrossWithoutAnAttributeLeavesTheLastReport) {
    chooseAttributes({"Title", "Group Membership"});
    setOutput({.toFile = false}, out);
    pressStart(); // a Tabular run fills the list first
    const auto rowsBefore = resultRows();
    ASSERT_EQ(rowsBefore.size(), 4u);

    writeFile(out, "older report\r\n");
    setOutput({.quotes = true}, out);
    chooseMode("optResultsTabularCross");
    dropDownCombo(); // opened and closed without a choice
    pressStart();
    EXPECT_EQ(messageTexts(),
              QStringList{"An Attribute must be selected for a Tabular Cross report"});
    EXPECT_EQ(readFile(out), "older report\r\n"); // the check comes before the file is opened
    EXPECT_EQ(page(), 2);
    EXPECT_EQ(resultRows(), rowsBefore);
}

TEST_F(SampleRunTest, OutputToFileOffCreatesNoFile) {
    chooseAttributes({"Surname"});
    setOutput({.toFile = false}, out);
    pressStart();
    EXPECT_TRUE(messages.empty());
    EXPECT_FALSE(QFile::exists(out));
    EXPECT_EQ(resultRows().size(), 4u);
    EXPECT_EQ(window->statusText(0), "Finished");
}

TEST_F(SampleRunTest, WriteFailureIsReportedAndNotCoveredByFinished) {
    if (!QFile::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full on this system";
    chooseAttributes({"Surname"});
    setOutput({}, "/dev/full");
    pressStart();
    EXPECT_EQ(messageTexts(),
              QStringList{"Cannot write the output file. The report in it is incomplete."});
    EXPECT_NE(window->statusText(0), "Finished");
    EXPECT_EQ(resultRows().size(), 4u); // the list is complete; only the file is not
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

// ---- The workbook form ----------------------------------------------------------------------

// A name ending in .xlsx writes a workbook holding, in every mode, the rows of the text file as
// LibreOffice reads them; the separator and quote controls rest while such a name is chosen.
TEST_F(SampleRunTest, AWorkbookHoldsTheTextFilesRowsInEveryMode) {
    struct Mode {
        const char* option;
        QStringList attributes;
        QString expanded;
    };
    const Mode modes[] = {
        {"optResultsTabular",
         {"Surname", "Telephone Number", "Postal Address", "Login Disabled"},
         {}},
        {"optResultsTabularCross", {"Title", "Group Membership"}, "Group Membership"},
        {"optResultsNonTabular", {"Title", "Telephone Number", "Login Grace Remaining"}, {}}};
    auto* separator = find<QWidget>("txtOutputSeparator");
    auto* quotes = find<QWidget>("chkOutputEncloseQuotes");
    for (const Mode& mode : modes) {
        SCOPED_TRACE(mode.option);
        chooseMode(mode.option);
        chooseAttributes(mode.attributes);
        if (!mode.expanded.isEmpty())
            pickExpandedAttribute(mode.expanded);
        setOutput({.toWindow = false}, out);
        EXPECT_TRUE(separator->isEnabled());
        pressStart();
        const QString workbook = tempPath("report.XLSX");
        setOutput({.toWindow = false}, workbook);
        EXPECT_FALSE(separator->isEnabled());
        EXPECT_FALSE(quotes->isEnabled());
        pressStart();
        EXPECT_TRUE(messages.empty()) << messageTexts().join("\n").toStdString();
        EXPECT_EQ(window->statusText(0), "Finished");

        std::string text;
        for (char c : readFile(out))
            if (c != '\r')
                text += c;
        ASSERT_GT(lines(text).size(), 3u);
        EXPECT_EQ(workbookSheetsAsCsv(workbook.toStdString()), std::vector<std::string>{text});
    }
    // Non Tabular's values are typed by the attribute each row names (the selection has grown
    // over the modes): Frank's title is text, his Login Grace Remaining a number.
    const std::string cells = workbookCells(tempPath("report.XLSX").toStdString());
    EXPECT_NE(cells.find("\nB3 s Title\nC3 s Sales Engineer\n"), std::string::npos) << cells;
    EXPECT_NE(cells.find("\nB8 s Login Grace Remaining\nC8 n 6\n"), std::string::npos) << cells;
}

// ---- Failures of the search's client calls -------------------------------------------------

struct CallFailure {
    const char* call;
    int occurrence;
    const char* reportedAs;
    bool columnsBuilt; // the failure comes after the new columns were set up
    bool firstRowKept; // Frank's row was handed out before the failure
};

void PrintTo(const CallFailure& f, std::ostream* os) {
    *os << f.call << "#" << f.occurrence;
}

class SearchCallFailureTest : public SampleRunTest,
                              public ::testing::WithParamInterface<CallFailure> {};

TEST_P(SearchCallFailureTest, ReportsKeepsRowsSoFarInPartialAndSaysFailed) {
    const CallFailure f = GetParam();
    chooseAttributes({"Title", "Telephone Number"});
    // A first run leaves Non Tabular's columns behind.
    chooseMode("optResultsNonTabular");
    setOutput({.toFile = false}, out);
    pressStart();
    ASSERT_TRUE(messages.empty());

    chooseMode("optResultsTabular");
    setOutput({}, out);
    kvx::client::faults::failCall(f.call, f.occurrence, -601);
    pressStart();
    EXPECT_EQ(messageTexts(),
              (QStringList{QString::fromLatin1(f.reportedAs) + "\nCode : fffffda7",
                           "The report did not finish. The rows found before the failure are in " +
                               out + ".partial; " + out + " is left as it was."}));
    EXPECT_EQ(window->statusText(0), "Failed");
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_EQ(page(), 3);

    std::string expected = "Object,Title,Telephone Number\r\n";
    if (f.firstRowKept)
        expected += kFrank + ",Sales Engineer,+44 20 7946 0201\r\n";
    EXPECT_EQ(readFile(out + ".partial"), expected); // every line whole
    EXPECT_FALSE(QFile::exists(out));
    const auto rows = resultRows();
    ASSERT_EQ(rows.size(), f.firstRowKept ? 1u : 0u);
    if (f.columnsBuilt) {
        EXPECT_EQ(resultCaptions(), (QStringList{"Object", "Title", "Telephone Number"}));
        if (f.firstRowKept) {
            EXPECT_EQ(rows[0],
                      (std::vector<std::string>{kFrank, "Sales Engineer", "+44 20 7946 0201"}));
        }
        // Left unsized at the default width (the view stretches its last section to the
        // edge, so that one is checked in the model only).
        for (int c = 0; c < 3; ++c) {
            if (c < 2) {
                EXPECT_EQ(sectionWidth(c), kvx::ResultColumn::DefaultWidth) << c;
            }
            EXPECT_EQ(window->resultsModel()->columnWidth(c), kvx::ResultColumn::DefaultWidth);
            EXPECT_FALSE(sectionHidden(c));
        }
    } else {
        EXPECT_EQ(resultCaptions(), (QStringList{"Object", "Attribute", "Value"}));
    }

    // The client is left in order: the next run goes through.
    messages.clear();
    pressStart();
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(resultRows().size(), 4u);
}

INSTANTIATE_TEST_SUITE_P(
    EveryCall, SearchCallFailureTest,
    ::testing::Values(
        CallFailure{"NWDSAllocBuf", 1, "NWDSAllocBuf", false, false},
        CallFailure{"NWDSInitBuf", 1, "NWDSInitBuf", false, false},
        CallFailure{"NWDSAllocBuf", 2, "NWDSAllocBuf", false, false},
        CallFailure{"NWDSInitBuf", 2, "NWDSInitBuf", false, false},
        CallFailure{"NWDSPutAttrName", 2, "NWDSPutAttrName", false, false},
        CallFailure{"NWDSAllocFilter", 1, "NWDSAllocFilter", true, false},
        CallFailure{"NWDSAddFilterToken", 1, "NWDSAddFilterToken", true, false},
        CallFailure{"NWDSAddFilterToken", 4, "NWDSAddFilterToken", true, false},
        CallFailure{"NWDSPutFilter", 1, "NWDSAddFilterToken", true, false},
        CallFailure{"NWDSAllocBuf", 3, "NWDSAllocBuf", true, false},
        CallFailure{"NWDSSearch", 1, "NWDSSearch", true, false},
        CallFailure{"NWDSGetObjectCount", 1, "NWDSGetObjectCount", true, false},
        CallFailure{"NWDSGetObjectName", 1, "NWDSGetObjectName", true, false},
        // Hiro's name: Frank went out when Grace's began; Grace, still pending, never does.
        CallFailure{"NWDSGetObjectName", 3, "NWDSGetObjectName", true, true},
        CallFailure{"NWDSGetAttrName", 1, "NWDSGetAttrName", true, false},
        // Frank has a title and one number; the third value is Grace's.
        CallFailure{"NWDSGetAttrName", 3, "NWDSGetAttrName", true, true},
        CallFailure{"NWDSComputeAttrValSize", 3, "NWDSComputeAttrValSize", true, true},
        CallFailure{"NWDSGetAttrVal", 3, "NWDSGetAttrVal", true, true}),
    [](const ::testing::TestParamInfo<CallFailure>& info) {
        return std::string(info.param.call) + "_" + std::to_string(info.param.occurrence);
    });

// ---- Entries split across batches ----------------------------------------------------------

// Beta's i-th telephone number.
std::string betaNumber(int i) {
    return "+44 20 7946 10" + std::string(i < 10 ? "0" : "") + std::to_string(i);
}

std::string splitLdif() {
    // Forty numbers after the description, then a second description: Beta's entry cannot fit one
    // small batch, and a later piece begins again with the telephone numbers.
    std::string beta = "sn: Second\ndescription: Beta's first note\n";
    for (int i = 0; i < 40; ++i)
        beta += "telephoneNumber: " + betaNumber(i) + "\n";
    beta += "description: Beta's second note\n";
    return ldif(
        {container("o=Org"), entry("cn=Alpha,o=Org", "person", "sn: First\ntelephoneNumber: 100\n"),
         entry("cn=Beta,o=Org", "person", beta), entry("cn=Gamma,o=Org", "person", "sn: Third\n")},
        true);
}

class SplitEntryTest : public ReportWindowTest {
protected:
    void SetUp() override {
        ReportWindowTest::SetUp();
        serveText("", splitLdif());
        start();
        walkTo({"Org"});
        chooseClass("Person");
        chooseAttributes({"Surname", "Telephone Number", "Description"});
        out = tempPath("split.txt");
        setOutput({}, out);
        kvx::client::setResultBufferCapacityForTesting(300);
        expectSplit();
    }
    // The same search through the search core on the window's own context, counting: more
    // entries than objects means an object came in several pieces, still counted once.
    void expectSplit() const {
        struct Counter : kvx::report::SearchSink {
            void status(const std::string&) override {}
            void failure(const std::string&, NWDSCCODE) override {}
            void clearRows() override {}
            void setColumns(const std::vector<kvx::report::SearchColumn>&) override {}
            void row(const kvx::report::ResultRow&) override {}
            void searchComplete() override {}
            void fitColumn(int) override {}
            void hideColumn(int) override {}
            bool proceed(std::int32_t) override { return ++entries > 0; }
            int entries = 0; // asked after every entry read
        } counter;
        kvx::report::SearchInput input;
        input.context = window->directoryContext();
        input.objectClass = "Person";
        input.attributes = {{"Surname", 0}, {"Telephone Number", 0}, {"Description", 0}};
        const kvx::report::SearchOutcome outcome = kvx::report::DoSearch(input, counter);
        EXPECT_TRUE(outcome.completed);
        EXPECT_GT(outcome.iterations, 2);
        EXPECT_GT(counter.entries, 3);
        EXPECT_EQ(outcome.objects, 3); // each object counted once
    }
    QString out;
};

TEST_F(SplitEntryTest, TabularKeepsOneRowPerObjectWithItsFirstValues) {
    pressStart();
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(readFile(out), "Object,Surname,Telephone Number,Description\r\n"
                             "Alpha.Org,First,100,\r\n"
                             "Beta.Org,Second,+44 20 7946 1000,Beta's first note\r\n"
                             "Gamma.Org,Third,,\r\n");
    ASSERT_EQ(resultRows().size(), 3u);
    EXPECT_EQ(resultRows()[1], (std::vector<std::string>{"Beta.Org", "Second", "+44 20 7946 1000",
                                                         "Beta's first note"}));
}

TEST_F(SplitEntryTest, TabularCrossKeepsEveryExpandedValueOfEveryPiece) {
    find<QRadioButton>("optResultsTabularCross")->click();
    pickExpandedAttribute("Telephone Number");
    pressStart();
    EXPECT_TRUE(messages.empty());
    std::string expected = "Object,Surname,Telephone Number,Description\r\n"
                           "Alpha.Org,First,100,\r\n";
    for (int i = 0; i < 40; ++i)
        expected += "Beta.Org,Second," + betaNumber(i) + ",Beta's first note\r\n";
    EXPECT_EQ(readFile(out), expected);
    EXPECT_EQ(resultRows().size(), 41u);
}

TEST_F(SplitEntryTest, NonTabularListsEveryValueOnce) {
    find<QRadioButton>("optResultsNonTabular")->click();
    pressStart();
    std::string expected = "Object,Attribute,Value\r\n"
                           "Alpha.Org,Surname,First\r\n"
                           "Alpha.Org,Telephone Number,100\r\n"
                           "Beta.Org,Surname,Second\r\n"
                           "Beta.Org,Description,Beta's first note\r\n"
                           "Beta.Org,Description,Beta's second note\r\n";
    for (int i = 0; i < 40; ++i)
        expected += "Beta.Org,Telephone Number," + betaNumber(i) + "\r\n";
    expected += "Gamma.Org,Surname,Third\r\n";
    EXPECT_EQ(readFile(out), expected);
}

// The value of the first "<attribute>: " line of the record `dn` in an LDIF file, with its
// continuation lines joined (RFC 2849 folding: a line beginning with one blank continues the one
// before it).
std::string ldifValue(const QString& file, const std::string& dn, const std::string& attribute) {
    QFile in(file);
    if (!in.open(QIODevice::ReadOnly))
        return "<cannot read " + file.toStdString() + ">";
    const std::string text = in.readAll().toStdString();
    std::size_t record = text.find("dn: " + dn + "\n");
    if (record == std::string::npos)
        return "<no such record>";
    std::size_t line = text.find("\n" + attribute + ": ", record);
    if (line == std::string::npos)
        return "<no such attribute>";
    line += attribute.size() + 3;
    std::string value;
    while (true) {
        const std::size_t end = text.find('\n', line);
        value += text.substr(line, end - line);
        if (end == std::string::npos || end + 1 >= text.size() || text[end + 1] != ' ')
            break;
        line = end + 2;
    }
    return value;
}

TEST_F(SampleRunTest, LongValueIsWrittenWhole) {
    const char* data = std::getenv("KORVANEX_DATA_DIR");
    ASSERT_NE(data, nullptr);
    const std::string description =
        ldifValue(QString::fromLocal8Bit(data) + "/trees/ACME/acme.ldif",
                  "cn=Olivia Thomas,ou=Engineering,o=Acme", "description");
    ASSERT_GT(description.size(), 1023u) << description;

    walkTo({"Acme", "Engineering"});
    chooseAttributes({"Description"});
    chooseMode("optResultsNonTabular");
    setOutput({.headers = false}, out);
    pressStart();
    EXPECT_TRUE(messages.empty());
    // Its commas make it one quoted field.
    ASSERT_EQ(description.find('"'), std::string::npos);
    const std::string line =
        "Olivia Thomas.Engineering.Acme,Description,\"" + description + "\"\r\n";
    EXPECT_NE(readFile(out).find(line), std::string::npos);
}

TEST_F(ReportWindowTest, NamesAndValuesOfAnyLengthAreWrittenWhole) {
    const std::string name(600, 'n');
    std::string title;
    for (int i = 0; i < 500; ++i)
        title += "t" + std::to_string(i) + ", \"q\" ";
    serveText(
        "", ldif({container("o=Org"), entry("cn=" + name + ",o=Org", "person organizationalPerson",
                                            "sn: S\ntitle: " + title + "\n")},
                 true));
    start();
    walkTo({"Org"});
    chooseClass("Organizational Person");
    chooseAttributes({"Title"});
    const QString out = tempPath("long.txt");
    setOutput({.quotes = true, .separator = "<->"}, out);
    pressStart();
    EXPECT_TRUE(messages.empty());
    std::string doubled; // the title with its quotes doubled
    for (int i = 0; i < 500; ++i)
        doubled += "t" + std::to_string(i) + ", \"\"q\"\" ";
    EXPECT_EQ(readFile(out), "Object<->Title\r\n\"" + name + ".Org\"<->\"" + doubled + "\"\r\n");
    ASSERT_EQ(resultRows().size(), 1u);
    EXPECT_EQ(resultRows()[0][1], title);
}

TEST_F(SampleRunTest, RootOfTheTreeSearchesEveryContainer) {
    runReport({}, "Organization", {"Description", "Telephone Number"},
              {.headers = false, .quotes = true}, out);
    EXPECT_TRUE(messages.empty());
    // acme-uk.ldif loads before acme.ldif, so GB (with Acme UK) comes first below the root.
    EXPECT_EQ(readFile(out), "\"Acme UK.GB\",\"Acme UK Ltd.\",\"+44 161 496 0000\"\r\n"
                             "\"Acme\",\"Acme Corporation, head office\",\"+44 20 7946 0000\"\r\n");

    // Access control entries of the two partition roots, GB and Acme: protected attribute,
    // rights letters by that name, subject.
    chooseClass("Partition");
    chooseAttributes({"ACL"});
    chooseMode("optResultsNonTabular");
    setOutput({.headers = false}, out);
    pressStart();
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(readFile(out), "GB,ACL,[Entry Rights] [BADRS] Admin.Acme\r\n"
                             "Acme,ACL,[Entry Rights] [BADRS] Admin.Acme\r\n"
                             "Acme,ACL,[SMS Rights] [SBRCDA] Admin.Acme\r\n"
                             "Acme,ACL,[All Attributes Rights] [CRWAS] Admin.Acme\r\n"
                             "Acme,ACL,[Entry Rights] [B] [Public]\r\n"
                             "Acme,ACL,Login Script [R] [Root]\r\n"
                             "Acme,ACL,Telephone Number [CR] Help Desk Manager.Support.Acme\r\n");
}

} // namespace
