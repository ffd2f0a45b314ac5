// The main window driven on the offscreen platform: start-up, page flow, the tree list, container
// browsing and the help windows, over trees served from texts through the real client calls.
#include "apptest.h"

#include "app/frmndsrep.h"
#include "directory/client/config.h"
#include "directory/client/embedded/embedded.h"
#include "directory/client/faults.h"
#include "directory/client/registry.h"
#include "help/frmabout.h"
#include "help/frmexplaintabular.h"
#include "help/frminstructions.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
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

#include <algorithm>
#include <functional>
#include <memory>

namespace kc = kvx::client;

namespace {

// Served in an order that is not sorted by name.
const std::string kAcmeLdif = R"(dn: o=Zeta
objectClass: top
objectClass: organization
o: Zeta

dn: c=GB
objectClass: top
objectClass: country
c: GB

dn: o=beta
objectClass: top
objectClass: organization
o: beta

dn: o=Acme
objectClass: top
objectClass: organization
o: Acme

dn: cn=Admin,o=Acme
objectClass: top
objectClass: person
cn: Admin
sn: Admin

dn: ou=Sales,o=Acme
objectClass: top
objectClass: organizationalUnit
ou: Sales

dn: ou=Dev,ou=Sales,o=Acme
objectClass: top
objectClass: organizationalUnit
ou: Dev

dn: ou=Marketing,o=Acme
objectClass: top
objectClass: organizationalUnit
ou: Marketing

dn: ou=Finance,o=Acme
objectClass: top
objectClass: organizationalUnit
ou: Finance

dn: ou=Archive,o=Acme
objectClass: top
objectClass: organizationalUnit
ou: Archive
)";

const std::string kBetaLdif = R"(dn: o=Beta Corp
objectClass: top
objectClass: organization
o: Beta Corp

dn: ou=Labs,o=Beta Corp
objectClass: top
objectClass: organizationalUnit
ou: Labs
)";

struct Tree {
    std::string name;
    std::string ldif;
    bool advertised = false;
};

QStringList childTexts(const QTreeWidgetItem* node) {
    QStringList texts;
    for (int i = 0; i < node->childCount(); ++i)
        texts << node->child(i)->text(0);
    return texts;
}

QStringList localeSorted(QStringList texts) {
    std::sort(texts.begin(), texts.end(), [](const QString& a, const QString& b) {
        return QString::localeAwareCompare(a, b) < 0;
    });
    return texts;
}

QTreeWidgetItem* childNamed(QTreeWidgetItem* node, const QString& text) {
    for (int i = 0; i < node->childCount(); ++i) {
        if (node->child(i)->text(0) == text)
            return node->child(i);
    }
    return nullptr;
}

// Runs `action` on the modal dialog as soon as it shows; the action must close it.
void whenModalShows(std::function<void(QDialog*)> action) {
    auto* timer = new QTimer;
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, [timer, action]() {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (dialog == nullptr)
            return;
        timer->stop();
        timer->deleteLater();
        action(dialog);
    });
    timer->start();
}

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        kvx::test::application();
        serve({{"ACME", kAcmeLdif}, {"BETA", kBetaLdif}}, "ACME");
        recorder = std::make_unique<kvx::test::MessageRecorder>();
    }

    void TearDown() override {
        frmInstruct.reset();
        frmExplain.reset();
        frmAbout.reset();
        window.reset();
        recorder.reset();
        kc::faults::clear();
        kc::installTreeProvider(nullptr);
        kc::resetClient();
    }

    void serve(const std::vector<Tree>& trees, const std::string& defaultTree) {
        kc::faults::clear();
        kc::resetClient();
        auto provider = std::make_unique<kc::StaticTreeProvider>();
        for (const auto& tree : trees)
            provider->add(kc::makeEmbeddedBackendFromText(tree.name, "", tree.ldif),
                          tree.advertised);
        provider->setDefaultTree(defaultTree);
        kc::installTreeProvider(std::move(provider));
    }

    // Creates the four windows in the program's order and shows the main one (start-up runs).
    void start() {
        window = std::make_unique<TfrmKorvanex>();
        frmAbout = std::make_unique<TfrmAbout>(window.get());
        frmExplain = std::make_unique<TfrmExplain>();
        frmInstruct = std::make_unique<TfrmInstruct>();
        window->setHelpWindows(frmAbout.get(), frmExplain.get(), frmInstruct.get());
        window->show();
    }

    template <class T> T* find(const char* name) const {
        T* widget = window->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }

    QTreeWidget* tree() const { return find<QTreeWidget>("tvwNDS"); }
    QTreeWidgetItem* root() const { return tree()->topLevelItem(0); }
    QTabWidget* pages() const { return find<QTabWidget>("PageControl1"); }

    QTreeWidgetItem* expand(QTreeWidgetItem* node) {
        EXPECT_NE(node, nullptr);
        if (node != nullptr)
            node->setExpanded(true);
        return node;
    }

    std::unique_ptr<kvx::test::MessageRecorder> recorder;
    std::unique_ptr<TfrmKorvanex> window;
    std::unique_ptr<TfrmAbout> frmAbout;
    std::unique_ptr<TfrmExplain> frmExplain;
    std::unique_ptr<TfrmInstruct> frmInstruct;
};

TEST_F(WindowTest, ClientThatFailsToStartLeavesTheDesignDefaults) {
    kc::faults::failCall("NWCallsInit", 1, -601);
    start();
    EXPECT_EQ(recorder->texts(), std::vector<QString>{"Cannot NWCallsInit\nCode : fffffda7"});
    EXPECT_EQ(recorder->messages[0].caption, "Korvanex");
    EXPECT_EQ(find<QComboBox>("cboNDSTree")->currentIndex(), -1);
    EXPECT_EQ(find<QComboBox>("cboNDSTree")->count(), 1);
    EXPECT_EQ(tree()->topLevelItemCount(), 0);
    EXPECT_EQ(find<QListWidget>("lstNDSClasses")->count(), 0);
    EXPECT_EQ(window->directoryContext(), 0);
    EXPECT_TRUE(find<QCheckBox>("chkOutputWindow")->isChecked());
    EXPECT_FALSE(find<QCheckBox>("chkOutputFile")->isChecked());
    EXPECT_TRUE(find<QCheckBox>("chkHideEmptyColumns")->isChecked());
    EXPECT_FALSE(find<QCheckBox>("chkOutputEncloseQuotes")->isChecked());
    EXPECT_FALSE(find<QCheckBox>("chkOutputColumnHeaders")->isChecked());
    EXPECT_EQ(find<QLineEdit>("txtOutputFilename")->text(), "NDSReport.txt");
    EXPECT_EQ(find<QLineEdit>("txtOutputSeparator")->text(), ",");
    EXPECT_TRUE(find<QRadioButton>("optResultsTabular")->isChecked());
    EXPECT_FALSE(find<QComboBox>("cboAttributeMulti")->isEnabled());
    EXPECT_FALSE(window->findChild<QTimer*>("Timer1")->isActive());
    EXPECT_TRUE(window->isVisible());
}

TEST_F(WindowTest, StartUpChoosesDefaultAndRootsTheTree) {
    start();
    EXPECT_TRUE(recorder->messages.empty());
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

TEST_F(WindowTest, UnreachableDefaultTreeStillRootsTheTreeAndStartUpGoesOn) {
    serve({{"ACME", kAcmeLdif}}, "GONE");
    start();
    ASSERT_EQ(tree()->topLevelItemCount(), 1);
    EXPECT_EQ(root()->text(0), "[root]");
    EXPECT_EQ(root()->childCount(), 0); // the placeholder went; nothing could be listed
    EXPECT_EQ(tree()->currentItem(), root());
    EXPECT_EQ(find<QComboBox>("cboNDSTree")->currentIndex(), 0);
    EXPECT_EQ(pages()->currentIndex(), 0);
}

TEST_F(WindowTest, ATreeThatCannotBeOpenedSaysWhyOnceBelowTheFirstFailedCall) {
    const QString reason = "ldif:3: unknown attribute type \"shoeSize\"";
    serve({{"ACME", kAcmeLdif}, {"BAD", "dn: o=Bad\nobjectClass: organization\nshoeSize: 9\n"}},
          "BAD");
    start();
    auto withReason = [&] {
        int n = 0;
        for (const QString& text : recorder->texts())
            n += text.contains(reason);
        return n;
    };
    ASSERT_FALSE(recorder->messages.empty());
    EXPECT_EQ(withReason(), 1);
    EXPECT_TRUE(recorder->texts().front().endsWith("\nCode : fffffd84\n" + reason))
        << recorder->texts().front().toStdString();

    // Choosing the tree again fails again, without saying the same again; a tree the client
    // does not know says so.
    find<QPushButton>("cmdTreeReload")->click();
    auto* combo = find<QComboBox>("cboNDSTree");
    recorder->messages.clear();
    const int bad = combo->findText("BAD");
    combo->setCurrentIndex(bad);
    emit combo->activated(bad);
    EXPECT_FALSE(recorder->messages.empty());
    EXPECT_EQ(withReason(), 0);
    serve({{"ACME", kAcmeLdif}}, "ACME");
    recorder->messages.clear();
    emit combo->activated(bad);
    ASSERT_FALSE(recorder->messages.empty());
    EXPECT_TRUE(recorder->texts().front().endsWith("fffffd50\nthe tree \"BAD\" is not configured"))
        << recorder->texts().front().toStdString();
}

TEST_F(WindowTest, ContextFailuresAreEachReportedAndTheTreeIsStillRebuilt) {
    kc::faults::failCall("NWDSGetContext", 1, -601);
    kc::faults::failCallFrom("NWDSSetContext", 1, -303);
    start();
    EXPECT_EQ(recorder->texts(), (std::vector<QString>{"Cannot Get Context\nCode : fffffda7",
                                                       "Cannot Set Context\nCode : fffffed1",
                                                       "Cannot Set Context\nCode : fffffed1",
                                                       "Cannot Set Context\nCode : fffffed1"}));
    ASSERT_EQ(tree()->topLevelItemCount(), 1);
    EXPECT_EQ(root()->text(0), "[root]");
    EXPECT_EQ(pages()->currentIndex(), 0);
}

TEST_F(WindowTest, RootListsOnlyContainersSortedWithTheirPictures) {
    start();
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

TEST_F(WindowTest, ExpandingSelectsTheNodeAndDoesNotListItAgain) {
    start();
    QTreeWidgetItem* acme = expand(childNamed(root(), "Acme"));
    EXPECT_EQ(tree()->currentItem(), acme);
    const QStringList before = childTexts(acme);

    // A second listing would fail visibly here; none may happen.
    kc::faults::failCall("NWDSAllocBuf", 1, -301);
    acme->setExpanded(false);
    tree()->setCurrentItem(root());
    acme->setExpanded(true);
    EXPECT_TRUE(recorder->messages.empty());
    EXPECT_EQ(childTexts(acme), before);
    EXPECT_EQ(tree()->currentItem(), acme);
}

TEST_F(WindowTest, NodesCarryAbsoluteDistinguishedNames) {
    start();
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

TEST_F(WindowTest, BranchWhoseListingFailsPartWayKeepsWhatItGot) {
    start();
    QTreeWidgetItem* acme = childNamed(root(), "Acme");
    ASSERT_NE(acme, nullptr);
    // Acme has five subordinates; the third name read fails.
    kc::faults::failCall("NWDSGetObjectName", 3, -625);
    expand(acme);
    EXPECT_TRUE(recorder->messages.empty());
    const QStringList kept = childTexts(acme);
    EXPECT_GE(kept.size(), 1);
    EXPECT_LE(kept.size(), 2);
    for (const QString& name : kept)
        EXPECT_TRUE(QStringList({"Sales", "Marketing", "Finance", "Archive"}).contains(name));
    EXPECT_FALSE(kept.contains("Loading..."));
    EXPECT_EQ(tree()->currentItem(), acme);
}

TEST_F(WindowTest, TreeListHasDefaultFirstAndEachTreeOnce) {
    serve({{"ACME", kAcmeLdif},
           {"DEFAULT", kBetaLdif},
           {"BETA", kBetaLdif},
           {"acme", kBetaLdif, true},
           {"Gamma", kBetaLdif, true}},
          "ACME");
    start();
    QTreeWidgetItem* rootBefore = root();
    find<QPushButton>("cmdTreeReload")->click();
    auto* combo = find<QComboBox>("cboNDSTree");
    QStringList items;
    for (int i = 0; i < combo->count(); ++i)
        items << combo->itemText(i);
    EXPECT_EQ(items, (QStringList{"Default", "ACME", "BETA", "Gamma"}));
    EXPECT_EQ(combo->currentIndex(), -1);
    EXPECT_EQ(root(), rootBefore); // the container tree waits for the user's choice
    EXPECT_TRUE(recorder->messages.empty());
}

TEST_F(WindowTest, TreeListFailureLeavesTheListAsItWas) {
    start();
    kc::faults::failCall("NWCCOpenConnByRef", 1, -625);
    find<QPushButton>("cmdTreeReload")->click();
    EXPECT_EQ(recorder->texts(), std::vector<QString>{"Cannot NWCCOpenConnByRef\nCode : fffffd8f"});
    auto* combo = find<QComboBox>("cboNDSTree");
    EXPECT_EQ(combo->count(), 1);
    EXPECT_EQ(combo->currentText(), "Default");
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST_F(WindowTest, ChoosingATreeRebuildsOnlyOnTheUsersChoice) {
    start();
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
    EXPECT_TRUE(recorder->messages.empty());
}

TEST_F(WindowTest, PageFlowByButtonsAndEnter) {
    start();
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
    // Enter on a page without a default button changes nothing.
    tabs->setCurrentIndex(4);
    QTest::keyClick(find<QPushButton>("cmdSave"), Qt::Key_Return);
    EXPECT_EQ(tabs->currentIndex(), 4);
    EXPECT_TRUE(recorder->messages.empty());
}

TEST_F(WindowTest, TabularCrossAloneEnablesTheExpandedAttributeCombo) {
    start();
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

TEST_F(WindowTest, ExplanationOpensOnThePageOfItsButton) {
    start();
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

TEST_F(WindowTest, InstructionsOpenOnResultsThenOnTheLastPageShown) {
    start();
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

TEST_F(WindowTest, AboutBoxSetsItsTextsOnEveryShowing) {
    start();
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

TEST_F(WindowTest, MenusStatusBarAndControlsAreAsDesigned) {
    start();
    QStringList menus;
    for (QAction* action : window->findChild<QMenuBar*>("MainMenu1")->actions())
        menus << action->text();
    EXPECT_EQ(menus, (QStringList{"File", "Edit", "Help"}));
    auto items = [&](const char* menu) {
        QStringList texts;
        for (QAction* action : window->findChild<QMenu*>(menu)->actions()) {
            texts << (action->isSeparator() ? QStringLiteral("-") : action->text());
            EXPECT_TRUE(action->shortcut().isEmpty());
        }
        return texts;
    };
    EXPECT_EQ(items("File1"), (QStringList{"-", "Exit"}));
    EXPECT_EQ(items("Edit1"), (QStringList{"Copy Results to Clipboard"}));
    EXPECT_EQ(items("Help1"), (QStringList{"Instructions for Use", "-", "About"}));

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

TEST_F(WindowTest, AvailableAttributesSortByCaptionWhateverTheOrderAdded) {
    start();
    auto* attributes = find<QTreeWidget>("lvwAttributes");
    for (const char* name : {"Surname", "CN", "Given Name", "aliased", "Zone"})
        new KvxLocaleSortItem(attributes, QStringList{name, "Single", "CI_String"});
    QStringList shown;
    for (int i = 0; i < attributes->topLevelItemCount(); ++i)
        shown << attributes->topLevelItem(i)->text(0);
    EXPECT_EQ(shown, localeSorted(shown));
    EXPECT_EQ(shown.size(), 5);
}

TEST_F(WindowTest, ResizingKeepsControlsToTheirEdges) {
    start();
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
    EXPECT_EQ(classes->width(), 245);
    EXPECT_GT(geometryIn(classes).right(), 1100 - 40);
    auto* next = find<QPushButton>("Button2");
    EXPECT_GT(geometryIn(next).right(), 1100 - 40);
    EXPECT_GT(geometryIn(next).bottom(), treeLarge.bottom() - 40);
}

TEST_F(WindowTest, ExitClosesTheWindowLikeItsCloseBox) {
    start();
    window->findChild<QAction*>("Exit1")->trigger();
    EXPECT_FALSE(window->isVisible());
    EXPECT_TRUE(recorder->messages.empty());
}

} // namespace
