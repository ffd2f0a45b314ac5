// The window as a desktop user drives it: keys and shortcuts, Ctrl+C in the results list, a
// filter fault shown in the filter, lists and texts that fit and grow, where the report went,
// and LDAP names beside the directory's own.
#include "common/window.h"

#include "results/resultsmodel.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFileInfo>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRegularExpression>
#include <QTabWidget>
#include <QTest>
#include <QTreeView>
#include <QTreeWidget>

namespace {

using namespace kvx::test;

class DesktopHabitsTest : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        serveSampleTree();
        start();
        QApplication::setActiveWindow(window.get());
        ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
        ASSERT_TRUE(messages.empty());
    }
    QTabWidget* pages() const { return find<QTabWidget>("PageControl1"); }
    QTreeWidget* available() const { return find<QTreeWidget>("lvwAttributes"); }
};

TEST_F(DesktopHabitsTest, KeysReachTheControlsInPageOrderAndEnterAddsAnAttribute) {
    // Ctrl+O and Ctrl+S open the settings dialogs from any page.
    const auto asked = answerDialogs(QString());
    QTest::keyClick(window.get(), Qt::Key_O, Qt::ControlModifier);
    QTest::keyClick(window.get(), Qt::Key_S, Qt::ControlModifier);
    EXPECT_EQ(*asked,
              (std::vector{kvx::app::FileDialogKind::Open, kvx::app::FileDialogKind::Save}));

    // The Output page, top left to bottom right, Start last.
    pages()->setCurrentIndex(2);
    find<QWidget>("chkOutputWindow")->setFocus();
    QStringList order{QApplication::focusWidget()->objectName()};
    for (int i = 0; i < 10; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        order << QApplication::focusWidget()->objectName();
    }
    EXPECT_EQ(order, (QStringList{"chkOutputWindow", "chkOutputFile", "chkOutputColumnHeaders",
                                  "Button1", "chkHideEmptyColumns", "chkOutputChanges",
                                  "txtOutputFilename", "cmdOutputBrowse", "txtOutputSeparator",
                                  "chkOutputEncloseQuotes", "cmdStart"}));

    // Enter in the available attributes adds the current one, as a double-click does; Enter
    // elsewhere on the page presses "Next ->>".
    chooseClass("User");
    pages()->setCurrentIndex(1);
    chooseRow(available(), "Surname");
    available()->setFocus();
    QTest::keyClick(available(), Qt::Key_Return);
    EXPECT_EQ(pages()->currentIndex(), 1);
    QTreeWidgetItem* given = rowNamed(available(), "Given Name");
    ASSERT_NE(given, nullptr);
    available()->scrollToItem(given);
    QApplication::processEvents(); // the page shows and the list lays out its rows
    const QPoint at(20, available()->visualItemRect(given).center().y());
    // A double-click as the window system delivers it: press, release, then the second press
    // as a double-click.
    QTest::mouseClick(available()->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(available()->viewport(), Qt::LeftButton, {}, at);
    EXPECT_EQ(captions(selected()), (QStringList{"Surname", "Given Name"}));
    selected()->setFocus();
    QTest::keyClick(selected(), Qt::Key_Return);
    EXPECT_EQ(pages()->currentIndex(), 2);
}

TEST_F(DesktopHabitsTest, CtrlCInTheResultsCopiesTheSelectedRowsAndTheMenuAllRows) {
    runReport({"Acme", "Sales"}, "User", {"Given Name", "Surname"}, {.toFile = false}, QString());
    ASSERT_GE(window->resultsModel()->rowCount(), 4);
    window->findChild<QAction*>("CopyResultstoClipboard1")->trigger();
    const QStringList all = QGuiApplication::clipboard()->text().split("\r\n");
    ASSERT_GE(all.size(), 5);

    auto* list = find<QTreeView>("lvwSearch");
    list->setFocus();
    list->selectionModel()->clearSelection();
    for (int row : {3, 1}) {
        list->selectionModel()->select(list->model()->index(row, 0),
                                       QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
    QTest::keyClick(list, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), all[1] + "\r\n" + all[3] + "\r\n");
    EXPECT_EQ(all[1].count('\t'), 2);
}

TEST_F(DesktopHabitsTest, AFilterFaultPutsTheCursorInTheFilterAtTheFault) {
    auto* filter = find<QLineEdit>("txtSearchFilter");
    for (const auto& [text, at] : std::vector<std::pair<QString, int>>{
             {"(&(sn=Smith)(givenName=Ann)", 28}, {"(&(sn=Smith)(noSuchThing=1))", 13}}) {
        messages.clear();
        walkTo({"Acme"});
        chooseClass("User");
        filter->setText(text);
        filter->setCursorPosition(0);
        setOutput({.toFile = false}, QString());
        pressStart();
        ASSERT_EQ(messages.size(), 1u) << text.toStdString();
        EXPECT_EQ(pages()->currentIndex(), 0) << text.toStdString();
        EXPECT_EQ(QApplication::focusWidget(), filter) << text.toStdString();
        // At the position the message names where it names one, else at the name.
        const QRegularExpressionMatch named =
            QRegularExpression("at position (\\d+)").match(messageTexts().front());
        const int expected = named.hasMatch() ? named.captured(1).toInt() - 1 : at;
        EXPECT_EQ(filter->cursorPosition(), expected) << messageTexts().front().toStdString();
    }
}

TEST_F(DesktopHabitsTest, ListsAndTextsFitAtTheDefaultSizeAndGrowWithTheWindow) {
    for (const char* name : {"lvwAttributes", "lvwSelectedAttributes"}) {
        auto* list = find<QTreeWidget>(name);
        const QFontMetrics metrics(list->header()->font());
        for (int c = 0; c < list->columnCount(); ++c) {
            EXPECT_GT(list->header()->sectionSize(c),
                      metrics.horizontalAdvance(list->headerItem()->text(c)) + 8)
                << name << " " << c;
        }
    }
    auto widths = [&] {
        std::vector<int> w;
        for (const char* name : {"lstNDSClasses", "txtSearchFilter", "lvwAttributes",
                                 "lvwSelectedAttributes", "lvwSearch"}) {
            w.push_back(find<QWidget>(name)->width());
        }
        return w;
    };
    for (int page = 0; page < 4; ++page) { // each page laid out at both sizes
        pages()->setCurrentIndex(page);
        QApplication::processEvents();
    }
    const std::vector<int> before = widths();
    window->resize(window->width() + 300, window->height());
    for (int page = 0; page < 4; ++page) {
        pages()->setCurrentIndex(page);
        QApplication::processEvents();
    }
    const std::vector<int> after = widths();
    for (std::size_t i = 0; i < before.size(); ++i)
        EXPECT_GT(after[i], before[i] + 50) << i;
}

TEST_F(DesktopHabitsTest, BrowseChoosesTheFileAndTheStatusBarSaysWhereTheReportWent) {
    const QString chosen = tempPath("chosen.csv");
    const auto asked = answerDialogs(chosen);
    pages()->setCurrentIndex(2);
    find<QPushButton>("cmdOutputBrowse")->click();
    EXPECT_EQ(*asked, std::vector{kvx::app::FileDialogKind::Output});
    EXPECT_EQ(find<QLineEdit>("txtOutputFilename")->text(), chosen);
    EXPECT_TRUE(find<QLabel>("lblOutputFolder")->text().isEmpty()); // a full name says it all

    // A relative name shows the folder it is written in; the run says the whole name.
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(tempDir));
    runReport({"Acme", "Sales"}, "User", {"Surname"}, {}, "relative.txt");
    const QString full = QFileInfo(QDir(tempDir), "relative.txt").absoluteFilePath();
    EXPECT_EQ(find<QLabel>("lblOutputFolder")->toolTip(),
              "Folder: " + QFileInfo(full).absolutePath());
    EXPECT_EQ(window->statusText(1), "Written to " + full);
    EXPECT_NE(readFile(full), "<missing>");
    // The panels' texts show whole at the default size; a name too long for the window is
    // shortened in its middle, the whole of it in the tool tip.
    QApplication::processEvents(); // the status bar lays out its panels anew
    for (const char* name : {"StatusBar1Panel1", "StatusBar1Panel2", "StatusBar1Panel3"}) {
        auto* panel = find<QLabel>(name);
        EXPECT_GE(panel->contentsRect().width(),
                  panel->fontMetrics().horizontalAdvance(panel->text()))
            << name << " " << panel->text().toStdString();
    }
    EXPECT_EQ(find<QLabel>("StatusBar1Panel2")->toolTip(), "Written to " + full);
    QDir::setCurrent(previous);
}

TEST_F(DesktopHabitsTest, LdapNamesBesideTheDirectoryNamesAndTheDistinguishedNameColumn) {
    chooseClass("User");
    QTreeWidgetItem* mail = rowNamed(available(), "Internet EMail Address");
    ASSERT_NE(mail, nullptr);
    EXPECT_EQ(mail->text(3), "mail");
    EXPECT_EQ(available()->header()->visualIndex(3), 1); // beside the name
    EXPECT_EQ(rowNamed(available(), "CN")->text(3), ""); // the same but for case: nothing
    // Type-ahead finds an attribute by either name.
    pages()->setCurrentIndex(1);
    available()->setFocus();
    QTest::keyClicks(available(), "mai");
    EXPECT_EQ(available()->currentItem(), mail);

    chooseAttributes({"Distinguished Name", "Surname"});
    walkTo({"Acme", "Sales"});
    const QString out = tempPath("dn.txt");
    setOutput({}, out);
    pressStart();
    ASSERT_TRUE(messages.empty()) << messageTexts().join('|').toStdString();
    EXPECT_EQ(resultCaptions(), (QStringList{"Object", "Distinguished Name", "Surname"}));
    const int ann = resultColumn(0).indexOf("Ann Smith.Sales.Acme");
    ASSERT_GE(ann, 0) << resultColumn(0).join('|').toStdString();
    EXPECT_EQ(resultColumn(1)[ann], "cn=Ann Smith,ou=Sales,o=Acme");
    EXPECT_NE(readFile(out).find("Ann Smith.Sales.Acme,\"cn=Ann Smith,ou=Sales,o=Acme\",Smith"),
              std::string::npos)
        << readFile(out);

    // Saved and loaded back like any attribute.
    const QString kvx = tempPath("dn.kvx");
    answerDialogs(kvx);
    window->cmdSaveClick();
    EXPECT_NE(readFile(kvx).find("=Distinguished Name\n"), std::string::npos) << readFile(kvx);
    find<QPushButton>("cmdAttributeRemoveAll")->click();
    window->cmdLoadClick();
    EXPECT_TRUE(messages.empty()) << messageTexts().join('|').toStdString();
    EXPECT_EQ(captions(selected()), (QStringList{"Distinguished Name", "Surname"}));
}

} // namespace
