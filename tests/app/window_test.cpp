// The main window driven on the offscreen platform: start-up, page flow, the tree list, container
// browsing and the help windows, over trees served from texts through the real client calls.
#include "common/support.h"
#include "common/window.h"

#include "directory/client/faults.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <QTreeWidget>

#include <gtest/gtest.h>

namespace kc = kvx::client;

namespace {

using namespace kvx::test;

// Served in an order that is not sorted by name.
const std::string kAcmeLdif =
    ldif({container("o=Zeta"), container("c=GB"), container("o=beta"), container("o=Acme"),
          entry("cn=Admin,o=Acme", "person", "sn: Admin\n"), container("ou=Sales,o=Acme"),
          container("ou=Dev,ou=Sales,o=Acme"), container("ou=Marketing,o=Acme"),
          container("ou=Finance,o=Acme"), container("ou=Archive,o=Acme")});
const std::string kBetaLdif = ldif({container("o=Beta Corp"), container("ou=Labs,o=Beta Corp")});

class MainWindowTest : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        serveTrees({{"ACME", kAcmeLdif}, {"BETA", kBetaLdif}}, "ACME");
    }

    QTreeWidgetItem* root() const { return tree()->topLevelItem(0); }
    QTabWidget* pages() const { return find<QTabWidget>("PageControl1"); }

    QTreeWidgetItem* expand(QTreeWidgetItem* node) {
        EXPECT_NE(node, nullptr);
        if (node != nullptr)
            node->setExpanded(true);
        return node;
    }
};

// The window started over the two trees.
class StartedWindowTest : public MainWindowTest {
protected:
    void SetUp() override {
        MainWindowTest::SetUp();
        start();
    }
};

TEST_F(MainWindowTest, ClientThatFailsToStartLeavesTheDesignDefaults) {
    kc::faults::failCall("NWCallsInit", 1, -601);
    start();
    EXPECT_EQ(messageTexts(), QStringList{"Cannot NWCallsInit\nCode : fffffda7"});
    EXPECT_EQ(messages[0].caption, "Korvanex");
    EXPECT_EQ(find<QComboBox>("cboNDSTree")->currentIndex(), -1);
    EXPECT_EQ(find<QComboBox>("cboNDSTree")->count(), 1);
    EXPECT_EQ(tree()->topLevelItemCount(), 0);
    EXPECT_EQ(find<QListWidget>("lstNDSClasses")->count(), 0);
    EXPECT_EQ(window->directoryContext(), 0);
    EXPECT_EQ(outputPage(), kDesignedOutputPage);
    EXPECT_TRUE(find<QRadioButton>("optResultsTabular")->isChecked());
    EXPECT_FALSE(find<QComboBox>("cboAttributeMulti")->isEnabled());
    EXPECT_FALSE(window->findChild<QTimer*>("Timer1")->isActive());
    EXPECT_TRUE(window->isVisible());
}

TEST_F(StartedWindowTest, StartUpChoosesDefaultAndRootsTheTree) {
    EXPECT_TRUE(messages.empty());
    auto* combo = find<QComboBox>("cboNDSTree");
    EXPECT_EQ(combo->currentIndex(), 0);
    EXPECT_EQ(combo->currentText(), "Default");
    EXPECT_EQ(pages()->currentIndex(), 0);
    EXPECT_EQ(window->windowTitle(), "Korvanex");
    ASSERT_EQ(tree()->topLevelItemCount(), 1);
    EXPECT_EQ(root()->text(0), "[root]");
    EXPECT_TRUE(root()->isExpanded());
    EXPECT_EQ(tree()->currentItem(), root());
    EXPECT_EQ(root()->data(0, TfrmKorvanex::ImageIndexRole).toInt(), 7);
    const auto* record = TfrmKorvanex::nodeRecord(root());
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->baseClass, "Root");
    EXPECT_EQ(record->distinguishedName, "");
    EXPECT_EQ(window->selectedDistinguishedName(), QString());
    EXPECT_GT(window->directoryContext(), 0);
}

TEST_F(MainWindowTest, UnreachableDefaultTreeStillRootsTheTreeAndStartUpGoesOn) {
    serveTrees({{"ACME", kAcmeLdif}}, "GONE");
    start();
    ASSERT_EQ(tree()->topLevelItemCount(), 1);
    EXPECT_EQ(root()->text(0), "[root]");
    EXPECT_EQ(root()->childCount(), 0); // the placeholder went; nothing could be listed
    EXPECT_EQ(tree()->currentItem(), root());
    EXPECT_EQ(find<QComboBox>("cboNDSTree")->currentIndex(), 0);
    EXPECT_EQ(pages()->currentIndex(), 0);
}

TEST_F(MainWindowTest, ATreeThatCannotBeOpenedSaysWhyOnceBelowTheFirstFailedCall) {
    const QString reason = "ldif:3: unknown attribute type \"shoeSize\"";
    serveTrees(
        {{"ACME", kAcmeLdif}, {"BAD", "dn: o=Bad\nobjectClass: organization\nshoeSize: 9\n"}},
        "BAD");
    start();
    auto withReason = [&] {
        int n = 0;
        for (const QString& text : messageTexts())
            n += text.contains(reason);
        return n;
    };
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(withReason(), 1);
    EXPECT_TRUE(messageTexts().front().endsWith("\nCode : fffffd84\n" + reason))
        << messageTexts().front().toStdString();
    // The reason stays in the window once the message is closed, until the tree opens.
    auto* status = find<QLabel>("lblTreeStatus");
    EXPECT_EQ(status->text(), messageTexts().front());
    EXPECT_FALSE(status->isHidden());

    // Choosing the tree again fails again, without saying the same again; a tree the client
    // does not know says so.
    find<QPushButton>("cmdTreeReload")->click();
    auto* combo = find<QComboBox>("cboNDSTree");
    messages.clear();
    const int bad = combo->findText("BAD");
    combo->setCurrentIndex(bad);
    emit combo->activated(bad);
    EXPECT_FALSE(messages.empty());
    EXPECT_EQ(withReason(), 0);
    EXPECT_TRUE(status->text().endsWith(reason));
    serveTrees({{"ACME", kAcmeLdif}}, "ACME");
    messages.clear();
    emit combo->activated(bad);
    ASSERT_FALSE(messages.empty());
    EXPECT_TRUE(messageTexts().front().endsWith("fffffd50\nthe tree \"BAD\" is not configured"))
        << messageTexts().front().toStdString();
    EXPECT_EQ(status->text(), messageTexts().front());
    const int acme = combo->findText("ACME");
    combo->setCurrentIndex(acme);
    emit combo->activated(acme);
    EXPECT_TRUE(status->isHidden());
    EXPECT_TRUE(status->text().isEmpty());
}

TEST_F(MainWindowTest, ContextFailuresAreEachReportedAndTheTreeIsStillRebuilt) {
    kc::faults::failCall("NWDSGetContext", 1, -601);
    kc::faults::failCallFrom("NWDSSetContext", 1, -303);
    start();
    EXPECT_EQ(messageTexts(), (QStringList{"Cannot Get Context\nCode : fffffda7",
                                           "Cannot Set Context\nCode : fffffed1",
                                           "Cannot Set Context\nCode : fffffed1",
                                           "Cannot Set Context\nCode : fffffed1"}));
    ASSERT_EQ(tree()->topLevelItemCount(), 1);
    EXPECT_EQ(root()->text(0), "[root]");
    EXPECT_EQ(pages()->currentIndex(), 0);
}

TEST_F(MainWindowTest, FailedContextCreationGivesOneMessage) {
    kc::faults::failCall("NWDSCreateContextHandle", 1, -150);
    start();
    EXPECT_EQ(messageTexts(), (QStringList{"Cannot Create Context\nCode : ffffff6a"}));
    ASSERT_EQ(tree()->topLevelItemCount(), 1);
    EXPECT_EQ(root()->text(0), "[root]");
}

// What the Attributes page shows belongs to the open tree: choosing another tree empties it.
TEST_F(StartedWindowTest, ChangingTreesEmptiesTheAttributesPage) {
    auto* classes = find<QListWidget>("lstNDSClasses");
    classes->setCurrentRow(0);
    auto* available = find<QTreeWidget>("lvwAttributes");
    ASSERT_GT(available->topLevelItemCount(), 0);
    available->setCurrentItem(available->topLevelItem(0));
    find<QPushButton>("cmdAttributeAdd")->click();
    auto* combo = find<QComboBox>("cboAttributeMulti");
    combo->addItem("Group Membership");
    combo->setCurrentIndex(0);
    find<QPushButton>("cmdTreeReload")->click();
    auto* trees = find<QComboBox>("cboNDSTree");
    trees->setCurrentIndex(trees->findText("BETA"));
    emit trees->activated(trees->currentIndex());
    EXPECT_EQ(available->topLevelItemCount(), 0);
    EXPECT_EQ(find<QTreeWidget>("lvwSelectedAttributes")->topLevelItemCount(), 0);
    EXPECT_EQ(combo->count(), 0);
    EXPECT_EQ(classes->selectedItems().size(), 0);
    EXPECT_TRUE(messages.empty());
}

TEST_F(StartedWindowTest, RootListsOnlyContainersSortedWithTheirPictures) {
    const QStringList texts = childTexts(root());
    EXPECT_EQ(localeSorted(texts), texts);
    EXPECT_EQ(localeSorted(texts), localeSorted({"Acme", "GB", "Zeta", "beta"}));
    QTreeWidgetItem* acme = childNamed(root(), "Acme");
    QTreeWidgetItem* gb = childNamed(root(), "GB");
    ASSERT_TRUE(acme && gb);
    EXPECT_EQ(acme->data(0, TfrmKorvanex::ImageIndexRole).toInt(), 3);
    EXPECT_EQ(gb->data(0, TfrmKorvanex::ImageIndexRole).toInt(), 1);
    EXPECT_FALSE(acme->icon(0).isNull());
    // Acme has subordinates and is not loaded yet; GB has none and cannot be expanded.
    EXPECT_EQ(childTexts(acme), QStringList{"Loading..."});
    EXPECT_EQ(TfrmKorvanex::nodeRecord(acme->child(0)), nullptr);
    EXPECT_EQ(gb->childCount(), 0);

    expand(acme);
    const QStringList acmeChildren = childTexts(acme);
    EXPECT_EQ(acmeChildren, localeSorted({"Archive", "Finance", "Marketing", "Sales"}));
    EXPECT_FALSE(acmeChildren.contains("Admin"));
}

TEST_F(StartedWindowTest, ExpandingSelectsTheNodeAndDoesNotListItAgain) {
    QTreeWidgetItem* acme = expand(childNamed(root(), "Acme"));
    EXPECT_EQ(tree()->currentItem(), acme);
    const QStringList before = childTexts(acme);

    // A second listing would fail visibly here; none may happen.
    kc::faults::failCall("NWDSAllocBuf", 1, -301);
    acme->setExpanded(false);
    tree()->setCurrentItem(root());
    acme->setExpanded(true);
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(childTexts(acme), before);
    EXPECT_EQ(tree()->currentItem(), acme);
}

TEST_F(StartedWindowTest, NodesCarryAbsoluteDistinguishedNames) {
    QTreeWidgetItem* acme = expand(childNamed(root(), "Acme"));
    QTreeWidgetItem* sales = expand(childNamed(acme, "Sales"));
    QTreeWidgetItem* dev = childNamed(sales, "Dev");
    ASSERT_TRUE(acme && sales && dev);
    EXPECT_EQ(TfrmKorvanex::nodeRecord(acme)->distinguishedName, ".Acme");
    EXPECT_EQ(TfrmKorvanex::nodeRecord(sales)->distinguishedName, ".Sales.Acme");
    EXPECT_EQ(TfrmKorvanex::nodeRecord(dev)->distinguishedName, ".Dev.Sales.Acme");
    EXPECT_EQ(TfrmKorvanex::nodeRecord(dev)->baseClass, "Organizational Unit");
    EXPECT_EQ(dev->data(0, TfrmKorvanex::ImageIndexRole).toInt(), 5);
    EXPECT_EQ(window->selectedDistinguishedName(), ".Sales.Acme");
    tree()->setCurrentItem(dev);
    EXPECT_EQ(window->selectedDistinguishedName(), ".Dev.Sales.Acme");
    EXPECT_EQ(TfrmKorvanex::nodeRecord(root())->distinguishedName, "");
}

TEST_F(StartedWindowTest, BranchWhoseListingFailsPartWayKeepsWhatItGot) {
    QTreeWidgetItem* acme = childNamed(root(), "Acme");
    ASSERT_NE(acme, nullptr);
    // Acme has five subordinates; the third name read fails.
    kc::faults::failCall("NWDSGetObjectName", 3, -625);
    expand(acme);
    EXPECT_TRUE(messages.empty());
    const QStringList kept = childTexts(acme);
    EXPECT_GE(kept.size(), 1);
    EXPECT_LE(kept.size(), 2);
    for (const QString& name : kept)
        EXPECT_TRUE(QStringList({"Sales", "Marketing", "Finance", "Archive"}).contains(name));
    EXPECT_FALSE(kept.contains("Loading..."));
    EXPECT_EQ(tree()->currentItem(), acme);
}

TEST_F(MainWindowTest, TreeListHasDefaultFirstAndEachTreeOnce) {
    serveTrees({{"ACME", kAcmeLdif},
                {"DEFAULT", kBetaLdif},
                {"BETA", kBetaLdif},
                {"acme", kBetaLdif, "", true},
                {"Gamma", kBetaLdif, "", true}},
               "ACME");
    start();
    QTreeWidgetItem* rootBefore = root();
    find<QPushButton>("cmdTreeReload")->click();
    auto* combo = find<QComboBox>("cboNDSTree");
    EXPECT_EQ(comboTexts(combo), (QStringList{"Default", "ACME", "BETA", "Gamma"}));
    EXPECT_EQ(combo->currentIndex(), 0); // the tree still open stays chosen
    EXPECT_EQ(root(), rootBefore);       // the container tree waits for the user's choice
    EXPECT_TRUE(messages.empty());
}

TEST_F(StartedWindowTest, TreeListFailureLeavesTheListAsItWas) {
    kc::faults::failCall("NWCCOpenConnByRef", 1, -625);
    find<QPushButton>("cmdTreeReload")->click();
    EXPECT_EQ(messageTexts(), QStringList{"Cannot NWCCOpenConnByRef\nCode : fffffd8f"});
    auto* combo = find<QComboBox>("cboNDSTree");
    EXPECT_EQ(combo->count(), 1);
    EXPECT_EQ(combo->currentText(), "Default");
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST_F(StartedWindowTest, ChoosingATreeRebuildsOnlyOnTheUsersChoice) {
    find<QPushButton>("cmdTreeReload")->click();
    auto* combo = find<QComboBox>("cboNDSTree");
    const int beta = combo->findText("BETA");
    ASSERT_GT(beta, 0);

    combo->setCurrentIndex(beta); // from code: nothing happens
    EXPECT_TRUE(childTexts(root()).contains("Acme"));

    emit combo->activated(beta); // the user's choice
    EXPECT_EQ(childTexts(root()), QStringList{"Beta Corp"});
    EXPECT_EQ(tree()->currentItem(), root());
    QTreeWidgetItem* corp = expand(childNamed(root(), "Beta Corp"));
    EXPECT_EQ(childTexts(corp), QStringList{"Labs"});
    EXPECT_EQ(TfrmKorvanex::nodeRecord(corp->child(0))->distinguishedName, ".Labs.Beta Corp");
    EXPECT_TRUE(messages.empty());
}

TEST_F(StartedWindowTest, PageFlowByButtonsAndEnter) {
    auto* tabs = pages();
    QTest::keyClick(tree(), Qt::Key_Return);
    EXPECT_EQ(tabs->currentIndex(), 1);
    QTest::keyClick(find<QTreeWidget>("lvwAttributes"), Qt::Key_Enter);
    EXPECT_EQ(tabs->currentIndex(), 2);
    tabs->setCurrentIndex(0);
    find<QPushButton>("Button2")->click();
    EXPECT_EQ(tabs->currentIndex(), 1);
    find<QPushButton>("cmdNextPage2")->click();
    EXPECT_EQ(tabs->currentIndex(), 2);
    // Enter and Space on a focused button press that button, not the page's default one.
    const auto asked = answerDialogs(QString()); // cancelled
    tabs->setCurrentIndex(4);
    QTest::keyClick(find<QPushButton>("cmdSave"), Qt::Key_Return);
    QTest::keyClick(find<QPushButton>("cmdLoad"), Qt::Key_Space);
    EXPECT_EQ(*asked, (std::vector<kvx::app::FileDialogKind>{kvx::app::FileDialogKind::Save,
                                                             kvx::app::FileDialogKind::Open}));
    EXPECT_EQ(tabs->currentIndex(), 4);
    // "Set As Default" with Enter saves the defaults; it does not start a report (which, with
    // no class chosen, would stop at its first check with a message).
    tabs->setCurrentIndex(2);
    auto* setAsDefault = find<QPushButton>("Button1");
    setAsDefault->setFocus();
    QTest::keyClick(setAsDefault, Qt::Key_Enter);
    QTest::keyClick(find<QCheckBox>("chkOutputFile"), Qt::Key_Space); // toggles, no run
    EXPECT_EQ(tabs->currentIndex(), 2);
    EXPECT_TRUE(messages.empty());
    // Enter on a check box of the page still presses "Start".
    QTest::keyClick(find<QCheckBox>("chkOutputFile"), Qt::Key_Return);
    EXPECT_EQ(messages.size(), 1u);
}

TEST_F(StartedWindowTest, TabularCrossAloneEnablesTheExpandedAttributeCombo) {
    auto* combo = find<QComboBox>("cboAttributeMulti");
    auto* tabular = find<QRadioButton>("optResultsTabular");
    auto* cross = find<QRadioButton>("optResultsTabularCross");
    auto* nonTabular = find<QRadioButton>("optResultsNonTabular");
    EXPECT_FALSE(combo->isEnabled());
    combo->addItem("Group Membership");
    cross->click();
    EXPECT_TRUE(combo->isEnabled());
    EXPECT_FALSE(tabular->isChecked());
    tabular->click();
    EXPECT_FALSE(combo->isEnabled());
    cross->setChecked(true); // a choice made from code follows the same rule
    EXPECT_TRUE(combo->isEnabled());
    nonTabular->click();
    EXPECT_FALSE(combo->isEnabled());
    EXPECT_EQ(combo->currentText(), "Group Membership");
}

TEST_F(StartedWindowTest, ExplanationOpensOnThePageOfItsButton) {
    const std::pair<const char*, int> buttons[] = {
        {"cmdExplainTabularCross", 1}, {"cmdExplainNonTabular", 2}, {"cmdExplainTabular", 0}};
    frmExplain->setActivePage(TfrmExplain::pgNonTabular);
    for (const auto& [button, page] : buttons) {
        int shown = -1;
        whenModalShows([&](QDialog* dialog) {
            EXPECT_EQ(dialog, frmExplain.get());
            shown = frmExplain->activePage();
            // Leave it on another page: the next button must choose its own.
            frmExplain->setActivePage((page + 1) % 3);
            dialog->findChild<QPushButton*>("cmdClose")->click();
        });
        find<QPushButton>(button)->click();
        EXPECT_EQ(shown, page) << button;
        EXPECT_FALSE(frmExplain->isVisible());
    }
    EXPECT_EQ(frmExplain->windowTitle(), "Explaination of Tabular Terms");
    EXPECT_EQ(frmExplain->pageControl()->tabText(1), "Tabular Cross");
}

TEST_F(StartedWindowTest, InstructionsOpenOnResultsThenOnTheLastPageShown) {
    QAction* instructions = window->findChild<QAction*>("InstructionsforUse1");
    ASSERT_NE(instructions, nullptr);
    int shown = -1;
    whenModalShows([&](QDialog* dialog) {
        shown = frmInstruct->activePage();
        frmInstruct->pageControl()->setCurrentIndex(TfrmInstruct::pgAttributes);
        dialog->accept();
    });
    instructions->trigger();
    EXPECT_EQ(shown, TfrmInstruct::pgResults);
    EXPECT_EQ(frmInstruct->pageControl()->tabText(shown), "Results");

    whenModalShows([&](QDialog* dialog) {
        shown = frmInstruct->activePage();
        dialog->findChild<QPushButton*>("cmdClose")->click();
    });
    instructions->trigger();
    EXPECT_EQ(shown, TfrmInstruct::pgAttributes);
    EXPECT_EQ(frmInstruct->windowTitle(), "Korvanex - Instructions for use.");
}

TEST_F(StartedWindowTest, AboutBoxSetsItsTextsOnEveryShowing) {
    EXPECT_TRUE(frmAbout->productLabel()->text().isEmpty());
    QString product;
    QString caption;
    bool hasPicture = false;
    whenModalShows([&](QDialog* dialog) {
        product = frmAbout->productLabel()->text();
        caption = dialog->windowTitle();
        hasPicture = !frmAbout->programIcon()->pixmap().isNull();
        frmAbout->productLabel()->setText("changed");
        dialog->findChild<QPushButton*>("OKButton")->click();
    });
    window->findChild<QAction*>("About1")->trigger();
    EXPECT_EQ(product, "Korvanex Verion 1.6");
    EXPECT_EQ(caption, "About Korvanex");
    EXPECT_TRUE(hasPicture);

    whenModalShows([&](QDialog* dialog) {
        product = frmAbout->productLabel()->text();
        dialog->accept();
    });
    window->findChild<QAction*>("About1")->trigger();
    EXPECT_EQ(product, "Korvanex Verion 1.6");
}

TEST_F(StartedWindowTest, MenusStatusBarAndControlsAreAsDesigned) {
    QStringList menus;
    for (QAction* action : window->findChild<QMenuBar*>("MainMenu1")->actions())
        menus << action->text();
    // Each menu and item opens by its underlined letter; the standard keys reach the items.
    EXPECT_EQ(menus, (QStringList{"&File", "&Edit", "&Help"}));
    auto items = [&](const char* menu) {
        QStringList texts;
        for (QAction* action : window->findChild<QMenu*>(menu)->actions()) {
            texts << (action->isSeparator() ? QStringLiteral("-")
                                            : action->text() + " " + action->shortcut().toString());
        }
        return texts;
    };
    EXPECT_EQ(items("File1"), (QStringList{"&Directories… ", "-", "E&xit Ctrl+Q"}));
    EXPECT_EQ(items("Edit1"), (QStringList{"&Copy Results to Clipboard Ctrl+C"}));
    EXPECT_EQ(items("Help1"), (QStringList{"&Instructions for Use F1", "-", "&About "}));

    auto* panel1 = find<QLabel>("StatusBar1Panel1");
    auto* panel2 = find<QLabel>("StatusBar1Panel2");
    EXPECT_EQ(panel1->width(), 250);
    EXPECT_TRUE(panel1->text().isEmpty());
    EXPECT_TRUE(panel2->text().isEmpty());

    QStringList tabs;
    for (int i = 0; i < pages()->count(); ++i)
        tabs << pages()->tabText(i);
    EXPECT_EQ(tabs,
              (QStringList{"Select Criteria", "Attributes", "Output", "Results", "Batch Mode"}));
    auto* timer = window->findChild<QTimer*>("Timer1");
    ASSERT_NE(timer, nullptr);
    EXPECT_EQ(timer->interval(), 1000);
    EXPECT_FALSE(timer->isActive());
    auto* attributes = find<QTreeWidget>("lvwAttributes");
    EXPECT_EQ(attributes->headerItem()->text(1), "Single/Multi");
    EXPECT_EQ(attributes->columnWidth(0), 120);
    EXPECT_EQ(find<QTreeWidget>("lvwSelectedAttributes")->columnWidth(2), 90);
    EXPECT_EQ(find<QLabel>("Label16")->text(),
              "/settings=filename  This will load a kvx file into Korvanex (e.g. "
              "/settings=c:\\korvanex\\scanusers.kvx)");
}

// The available attributes stay in alphabetical order: a click on a header does not re-sort
// them (">>" copies them in the order shown).
TEST_F(StartedWindowTest, AvailableAttributesKeepTheirOrderWhenAHeaderIsClicked) {
    auto* attributes = find<QTreeWidget>("lvwAttributes");
    for (const char* name : {"Surname", "CN", "Given Name", "aliased", "Zone"})
        new KvxLocaleSortItem(attributes, QStringList{name, name[0] == 'Z' ? "Multi" : "Single",
                                                      name[0] == 'C' ? "Dist_Name" : "CI_String"});
    attributes->sortByColumn(0, Qt::AscendingOrder);
    const QStringList before = captions(attributes);
    ASSERT_EQ(before, localeSorted(before));
    pages()->setCurrentIndex(1);
    for (int section : {1, 2, 0, 0}) {
        QHeaderView* header = attributes->header();
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                          QPoint(header->sectionViewportPosition(section) + 5, 5));
    }
    EXPECT_EQ(captions(attributes), before);
}

TEST_F(StartedWindowTest, ResizingKeepsControlsToTheirEdges) {
    EXPECT_GE(window->minimumSize().width(), 671);
    EXPECT_GE(window->minimumSize().height(), 455);
    window->resize(200, 200);
    EXPECT_GE(window->width(), 671);
    EXPECT_GE(window->height(), 455);

    auto geometryIn = [](QWidget* w) {
        return QRect(w->mapTo(w->window(), QPoint(0, 0)), w->size());
    };
    QApplication::processEvents();
    const QRect treeSmall = geometryIn(tree());
    window->resize(1100, 800);
    QApplication::processEvents();
    const QRect treeLarge = geometryIn(tree());
    EXPECT_GT(treeLarge.width(), treeSmall.width());
    EXPECT_GT(treeLarge.height(), treeSmall.height());
    auto* classes = find<QListWidget>("lstNDSClasses");
    EXPECT_GT(classes->width(), 245); // the class list grows with the window too
    EXPECT_GT(geometryIn(classes).right(), 1100 - 40);
    auto* next = find<QPushButton>("Button2");
    EXPECT_GT(geometryIn(next).right(), 1100 - 40);
    EXPECT_GT(geometryIn(next).bottom(), treeLarge.bottom() - 40);
}

TEST_F(StartedWindowTest, ExitClosesTheWindowLikeItsCloseBox) {
    window->findChild<QAction*>("Exit1")->trigger();
    EXPECT_FALSE(window->isVisible());
    EXPECT_TRUE(messages.empty());
}

} // namespace
