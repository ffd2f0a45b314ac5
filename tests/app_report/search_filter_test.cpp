// The search filter of the Select Criteria page: checked at Start (a filter that does not read,
// names an attribute the tree does not know, or cannot mean what it says, runs nothing),
// combined with the class, and
// saved to and loaded from batch settings files.
#include "common/window.h"

#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTabWidget>

namespace {

using namespace kvx::test;
using ReportWindowTest = WindowTest;

class SearchFilterTest : public ReportWindowTest {
protected:
    void SetUp() override {
        ReportWindowTest::SetUp();
        serveSampleTree();
        start();
        walkTo({"Acme", "Sales", "Dev"});
        chooseClass("User");
        chooseAttributes({"Surname"});
        out = tempPath("report.txt");
        setOutput({}, out);
        filter = find<QLineEdit>("txtSearchFilter");
    }
    QString out;
    QLineEdit* filter = nullptr;
};

TEST_F(SearchFilterTest, AFaultyFilterRunsNothingAndAGoodOneNarrowsTheClass) {
    EXPECT_EQ(filter->text(), ""); // no filter until one is entered
    writeFile(out, "older report\r\n");

    filter->setText("(&(sn=Lee)(Login Disabled=FALSE))");
    pressStart();
    filter->setText("(|(sn=Lee)(\"Login Disabld\"=FALSE))");
    pressStart();
    // Filters that would quietly match nothing: a value not of its attribute's form, an order
    // the schema has no rule for.
    filter->setText("(&(sn=Lee)(!(\"Login Disabled\"=yes)))");
    pressStart();
    filter->setText("(|(uid=glee)(Surname>=M))");
    pressStart();
    EXPECT_EQ(
        messageTexts(),
        (QStringList{"The search filter cannot be read at position 12: an attribute name with "
                     "blanks is written in double quotes, as in (\"Login Disabled\"=TRUE).",
                     "The search filter names an attribute the directory does not know: Login "
                     "Disabld",
                     "The search filter compares \"Login Disabled\" with \"yes\", which is not of "
                     "its form: TRUE or FALSE.",
                     "The search filter orders by \"Surname\", which has no ordering rule in the "
                     "directory's schema."}));
    EXPECT_EQ(readFile(out), "older report\r\n");
    EXPECT_EQ(find<QTabWidget>("PageControl1")->currentIndex(), 0); // back to the filter

    // Only the users below Dev.Sales.Acme that match: Grace by surname, Hiro by telephone.
    messages.clear();
    filter->setText("(|(sn=LEE)(\"Telephone Number\"=+81 3 1234 5678))");
    pressStart();
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(readFile(out), "Object,Surname\r\nGrace Lee.Dev.Sales.Acme,Lee\r\n"
                             "Hiro Tanaka.Dev.Sales.Acme,Tanaka\r\n");
    EXPECT_EQ(window->statusText(0), "Finished");
}

TEST_F(SearchFilterTest, BatchFilesKeepTheFilterAndFilesWithoutOneClearIt) {
    const QString saved = tempPath("filtered.kvx");
    answerDialogs(saved);
    filter->setText("(\"Login Disabled\"=TRUE)");
    find<QPushButton>("cmdSave")->click();
    EXPECT_NE(readFile(saved).find("\ntxtSearchFilter=(\"Login Disabled\"=TRUE)\n"),
              std::string::npos);

    filter->clear();
    find<QPushButton>("cmdLoad")->click();
    EXPECT_EQ(filter->text(), "(\"Login Disabled\"=TRUE)");

    // A file saved before filters existed loads with no filter.
    std::string older = readFile(saved);
    older.erase(older.find("txtSearchFilter="), older.find('\n', older.find("txtSearchFilter=")) -
                                                    older.find("txtSearchFilter=") + 1);
    writeFile(saved, older);
    find<QPushButton>("cmdLoad")->click();
    EXPECT_EQ(filter->text(), "");
    EXPECT_TRUE(messages.empty());
}

} // namespace
