// The main window's saved defaults, window placement, batch settings files and command line,
// driven on the offscreen platform over the sample tree (and a second tree) through the real
// client calls, with the message seam recording and the file-dialog seam answering.
#include "common/support.h"
#include "common/window.h"

#include "results/resultsmodel.h"
#include "settings/batchfile.h"
#include "settings/profile.h"

#include <QCheckBox>
#include <QClipboard>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <QTreeWidget>

#include <filesystem>
#include <optional>
#include <stdexcept>

namespace ks = kvx::settings;
namespace fs = std::filesystem;

namespace {

using namespace kvx::test;

// A second tree, with no schema of its own: its class list differs from the sample tree's.
const std::string kBetaLdif = ldif({container("o=Beta Corp"), container("ou=Labs,o=Beta Corp"),
                                    container("ou=Bench,ou=Labs,o=Beta Corp")});

class SettingsWindowTest : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        root = fs::path(tempDir.toStdString());
        fs::create_directories(root / "prog");
        fs::create_directories(root / "config");
        ks::setProgramFolderForTesting((root / "prog").string());
        ks::setUserConfigFolderForTesting((root / "config").string());
        serveTrees({{"BETA", kBetaLdif}}, "ACME", true); // the sample tree ACME and BETA
    }

    void TearDown() override {
        WindowTest::TearDown();
        ks::setProgramFolderForTesting("");
        ks::setUserConfigFolderForTesting("");
    }

    // Closes the window as the user would (which saves the placement) and starts a new one,
    // after replacing the saved defaults with `profile` when one is given.
    void restart(const std::optional<std::string>& profile = std::nullopt) {
        window->close();
        closeWindows();
        if (profile)
            spit(ini(), *profile);
        start();
    }

    KvxDropDownComboBox* multi() const { return find<KvxDropDownComboBox>("cboAttributeMulti"); }
    QComboBox* trees() const { return find<QComboBox>("cboNDSTree"); }
    QTimer* timer() const { return find<QTimer>("Timer1"); }
    std::string ini() const { return (root / "config" / "KORVANEX.INI").string(); }
    QSize screenSize() const { return QGuiApplication::primaryScreen()->geometry().size(); }

    void save(const fs::path& file) {
        answerDialogs(QString::fromStdString(file.string()));
        window->cmdSaveClick();
    }
    void load(const fs::path& file) {
        answerDialogs(QString::fromStdString(file.string()));
        window->cmdLoadClick();
    }
    // Loads a batch settings file of the section [KORVANEX] with the lines `body`.
    void loadText(const std::string& body) {
        spit(root / "loaded.kvx", "[KORVANEX]\n" + body);
        load(root / "loaded.kvx");
    }

    fs::path root;
};

// The window started at once, as at start-up: no class chosen.
class StartedSettingsTest : public SettingsWindowTest {
protected:
    void SetUp() override {
        SettingsWindowTest::SetUp();
        start();
    }
};

// ---- Saved defaults and window placement ---------------------------------------------------

TEST_F(StartedSettingsTest, WithoutAProfileTheWindowIsCentredWithTheDesignedOutputPage) {
    const QSize screen = screenSize();
    const QRect outer = window->frameGeometry();
    EXPECT_EQ(window->size(), QSize(671, 455));
    EXPECT_EQ(outer.left(), (screen.width() - outer.width()) / 2);
    EXPECT_EQ(outer.top(), (screen.height() - outer.height()) / 2);
    EXPECT_FALSE(window->isMaximized() || window->isMinimized());
    EXPECT_EQ(outputPage(), kDesignedOutputPage);
    EXPECT_TRUE(messages.empty());
}

TEST_F(SettingsWindowTest, CentringATallerWindowTruncatesTowardZero) {
    const QSize screen = screenSize();
    const int height = screen.height() + 233; // an odd overhang: -116.5 must give -116
    spit(ini(), "[Size]\nHeight=" + std::to_string(height) + "\n");
    start();
    ASSERT_EQ(window->frameGeometry().height(), height);
    EXPECT_EQ(window->frameGeometry().top(), -116);
}

TEST_F(SettingsWindowTest, StoredOuterSizeIsKeptFromRunToRun) {
    spit(ini(), "[size]\nWIDTH=700\nHeight=500\nTop=37\nLeft=-1\n");
    start();
    const QRect outer = window->frameGeometry();
    EXPECT_EQ(outer.size(), QSize(700, 500));
    EXPECT_EQ(outer.top(), 37);
    EXPECT_EQ(outer.left(), (screenSize().width() - 700) / 2);
    // Closed and opened again, and again: the window does not grow by its frame each time.
    restart();
    restart();
    EXPECT_EQ(window->frameGeometry(), outer);
}

TEST_F(SettingsWindowTest, StoredWidthBelowTheMinimumGivesTheSmallestWindow) {
    spit(ini(), "[Size]\nWidth=100\nHeight=10\nTop=5\nLeft=6\n");
    start();
    EXPECT_EQ(window->size(), QSize(671, 455));
    EXPECT_EQ(window->frameGeometry().topLeft(), QPoint(6, 5));
}

TEST_F(SettingsWindowTest, ExtremeStoredPlacementStillGivesADrawableWindow) {
    spit(ini(), "[Size]\nWidth=2147483647\nHeight=-2147483648\nTop=-2147483648\n"
                "Left=2147483647\n");
    start();
    EXPECT_LE(window->width(), std::max(2 * screenSize().width(), 4096));
    EXPECT_EQ(window->height(), 455);
    QTest::qWait(50); // painted without trouble
    window->close();
    EXPECT_TRUE(messages.empty());
}

TEST_F(SettingsWindowTest, StoredStatesAndCheckBoxValues) {
    spit(ini(), "[Size]\nState=2\n[KORVANEX]\nOutputWindow=0\nOutputFile=5\nHideEmptyColumns=0\n"
                "OutputEncloseQuotes=-1\nOutputColumnHeaders=x\nOutputFileName=\"  out.txt  \"\n");
    start();
    EXPECT_TRUE(window->isMaximized());
    // OutputColumnHeaders is not a number.
    EXPECT_EQ(outputPage(),
              "OutputWindow=0 OutputFile=1 OutputColumnHeaders=0 OutputEncloseQuotes=1 "
              "HideEmptyColumns=0 separator=[,] name=[  out.txt  ]");

    restart("[Size]\nState=1\n");
    EXPECT_TRUE(window->windowState() & Qt::WindowMinimized);
    restart("[Size]\nState=7\n"); // no such state: the normal one
    EXPECT_EQ(window->windowState(), Qt::WindowNoState);
}

TEST_F(StartedSettingsTest, SetAsDefaultWithEmptyAndBlankSeparators) {
    setOutput({.toWindow = false, .toFile = false, .separator = ""}, "report.csv");
    const std::string page = outputPage();
    find<QPushButton>("Button1")->click();
    EXPECT_NE(slurp(ini()).find("\nOutputSeparator=\n"), std::string::npos);
    EXPECT_EQ(slurp(ini()).find("Width"), std::string::npos); // placement is not written here
    restart();
    EXPECT_EQ(outputPage(), page); // the separator empty, not the default ","

    find<QLineEdit>("txtOutputSeparator")->setText(" ");
    find<QPushButton>("Button1")->click();
    restart();
    EXPECT_EQ(find<QLineEdit>("txtOutputSeparator")->text(), " "); // blanks are kept
    EXPECT_TRUE(messages.empty());
}

TEST_F(StartedSettingsTest, SetAsDefaultThatCannotWriteShowsTheError) {
    ks::setUserConfigFolderForTesting("/proc/korvanex-no-such-folder");
    find<QPushButton>("Button1")->click();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, "Unable to write to /proc/korvanex-no-such-folder/KORVANEX.INI");
    EXPECT_EQ(messages[0].kind, kvx::app::MessageKind::Error);
}

TEST_F(SettingsWindowTest, ClosingWritesPlacementOnlyInTheNormalState) {
    spit(ini(), "[Size]\nWidth=700\nHeight=480\nTop=20\nLeft=30\n");
    start();
    window->move(40, 50);
    window->close();
    EXPECT_EQ(ks::ReadIniInteger(ini(), "Size", "State", -5), 0);
    EXPECT_EQ(ks::ReadIniInteger(ini(), "Size", "Left", -5), 40);
    EXPECT_EQ(ks::ReadIniInteger(ini(), "Size", "Top", -5), 50);
    EXPECT_EQ(ks::ReadIniInteger(ini(), "Size", "Width", -5), 700);
    EXPECT_EQ(ks::ReadIniInteger(ini(), "Size", "Height", -5), 480);

    restart();
    window->setWindowState(Qt::WindowMaximized);
    window->close();
    EXPECT_EQ(ks::ReadIniInteger(ini(), "Size", "State", -5), 2);
    EXPECT_EQ(ks::ReadIniInteger(ini(), "Size", "Left", -5), 40); // the last normal placement
    EXPECT_EQ(ks::ReadIniInteger(ini(), "Size", "Width", -5), 700);

    restart(); // starts maximised, over the last normal placement
    EXPECT_TRUE(window->isMaximized());
    window->setWindowState(Qt::WindowNoState);
    EXPECT_EQ(window->frameGeometry(), QRect(40, 50, 700, 480));
    window->setWindowState(Qt::WindowMinimized);
    window->close();
    EXPECT_EQ(ks::ReadIniInteger(ini(), "Size", "State", -5), 1);
    EXPECT_EQ(ks::ReadIniInteger(ini(), "Size", "Top", -5), 50);
    EXPECT_TRUE(messages.empty());
}

TEST_F(StartedSettingsTest, ClosingWhenThePlacementCannotBeWrittenStillCloses) {
    ks::setUserConfigFolderForTesting("/proc/korvanex-no-such-folder");
    window->close();
    EXPECT_FALSE(window->isVisible());
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, "Unable to write to /proc/korvanex-no-such-folder/KORVANEX.INI");
}

// ---- Batch settings files ------------------------------------------------------------------

TEST_F(SettingsWindowTest, SaveThenLoadRoundTripsInEveryMode) {
    const char* modes[] = {"optResultsTabular", "optResultsTabularCross", "optResultsNonTabular"};
    start();
    for (int m = 0; m < 3; ++m) {
        SCOPED_TRACE(modes[m]);
        walkTo({"Acme", "Sales", "Dev"});
        chooseClass("User");
        chooseAttributes({"Surname", "Given Name", "Login Disabled", "Group Membership"});
        ASSERT_EQ(selected()->topLevelItemCount(), 4);
        find<QRadioButton>(modes[m])->setChecked(true);
        window->cboAttributeMultiDropDown();
        multi()->setCurrentIndex(multi()->count() - 1);
        const int expandedIndex = multi()->currentIndex();
        const QStringList rows[3] = {column(selected(), 0), column(selected(), 1),
                                     column(selected(), 2)};
        // A tab separator is written so that it reads back whole.
        setOutput({.toWindow = m != 0,
                   .toFile = m != 1,
                   .headers = m != 2,
                   .quotes = m == 0,
                   .separator = m == 1 ? "\t" : ";",
                   .hideEmpty = m == 2},
                  QString("mode %1.txt").arg(m));
        const std::string page = outputPage();
        const fs::path file = root / ("mode" + std::to_string(m) + ".kvx");
        save(file);
        ASSERT_TRUE(fs::exists(file));

        // Everything changes before the load.
        walkTo({"Acme", "Marketing"});
        chooseClass("Group");
        find<QRadioButton>(modes[(m + 1) % 3])->setChecked(true);
        for (const char* box : {"chkOutputWindow", "chkOutputFile", "chkHideEmptyColumns",
                                "chkOutputEncloseQuotes", "chkOutputColumnHeaders"})
            find<QCheckBox>(box)->toggle();
        find<QLineEdit>("txtOutputFilename")->setText("other");
        find<QLineEdit>("txtOutputSeparator")->setText("|");

        load(file);
        EXPECT_EQ(pathOf(tree()->currentItem()), "Dev.Sales.Acme");
        EXPECT_EQ(classes()->currentItem()->text(), "User");
        EXPECT_TRUE(classes()->currentItem()->isSelected());
        EXPECT_EQ(column(selected(), 0), rows[0]);
        EXPECT_EQ(column(selected(), 1), rows[1]);
        EXPECT_EQ(column(selected(), 2), rows[2]);
        // Restored rows sort as their syntax does: Login Disabled (Boolean) as text, ...
        for (int i = 0; i < selected()->topLevelItemCount(); ++i)
            EXPECT_EQ(TfrmKorvanex::attributeSortKind(selected()->topLevelItem(i)), 0);
        for (int o = 0; o < 3; ++o)
            EXPECT_EQ(find<QRadioButton>(modes[o])->isChecked(), o == m) << modes[o];
        EXPECT_EQ(multi()->isEnabled(), m == 1);
        EXPECT_EQ(multi()->currentIndex(), expandedIndex);
        EXPECT_EQ(outputPage(), page);
    }
    EXPECT_TRUE(messageTexts().isEmpty()) << messageTexts().join(" | ").toStdString();
}

TEST_F(StartedSettingsTest, SaveCancelledOrWithoutAStartingPoint) {
    const fs::path file = root / "none.kvx";
    const auto kinds = answerDialogs(QString());
    window->cmdSaveClick();
    window->cmdLoadClick();
    EXPECT_EQ(*kinds,
              (std::vector{kvx::app::FileDialogKind::Save, kvx::app::FileDialogKind::Open}));
    EXPECT_TRUE(messages.empty());

    tree()->setCurrentItem(nullptr);
    spit(file, "[KORVANEX]\nclasstype=Old\n");
    save(file);
    EXPECT_EQ(slurp(file), "[KORVANEX]\nTreeName=Default\n");
    EXPECT_EQ(messageTexts(), QStringList{"Select the starting point in the NDS Tree"});
}

TEST_F(StartedSettingsTest, RootFileSelectsTheRoot) {
    tree()->setCurrentItem(tree()->topLevelItem(0));
    const fs::path file = root / "root.kvx";
    save(file);
    EXPECT_NE(slurp(file).find("\nContext1=\nContextCount=1\n"), std::string::npos);
    walkTo({"Acme", "Finance"});
    load(file);
    EXPECT_EQ(tree()->currentItem(), tree()->topLevelItem(0));
    EXPECT_TRUE(messages.empty());
}

TEST_F(StartedSettingsTest, MissingFileSaysSoAndLeavesTheWindowAsItWas) {
    walkTo({"Acme", "Sales"});
    chooseClass("User");
    chooseAttributes({"Surname"});
    find<QRadioButton>("optResultsTabular")->setChecked(true);
    const fs::path missing = root / "missing.kvx";
    load(missing);
    EXPECT_EQ(messageTexts(),
              QStringList{QString("Cannot read the settings file %1").arg(missing.c_str())});
    EXPECT_EQ(pathOf(tree()->currentItem()), "Sales.Acme");
    EXPECT_EQ(classes()->currentItem()->text(), "User");
    EXPECT_EQ(column(selected(), 0), QStringList{"Surname"});
    EXPECT_TRUE(find<QRadioButton>("optResultsTabular")->isChecked());
}

// A Load that cannot restore the tree, the container or the class names what it did not find
// and changes nothing else: a Start after it writes the same report as before, to the same file.
TEST_F(StartedSettingsTest, LoadThatMissesTheTreeContainerOrClassChangesNothing) {
    walkTo({"Acme", "Sales"});
    chooseClass("User");
    chooseAttributes({"Surname"});
    find<QRadioButton>("optResultsTabular")->setChecked(true);
    setOutput({.toWindow = false}, "mine.txt");
    const std::string page = outputPage();
    auto unchanged = [&](const char* what) {
        EXPECT_EQ(trees()->currentText(), "Default") << what;
        EXPECT_EQ(pathOf(tree()->currentItem()), "Sales.Acme") << what;
        EXPECT_EQ(classes()->currentItem()->text(), "User") << what;
        EXPECT_EQ(column(selected(), 0), QStringList{"Surname"}) << what;
        EXPECT_EQ(outputPage(), page) << what;
        EXPECT_TRUE(find<QRadioButton>("optResultsTabular")->isChecked()) << what;
        EXPECT_TRUE(listTexts(classes()).contains("User")) << what; // the tree stayed open
    };
    const std::string rest = "chkOutputFile=1\nchkOutputWindow=1\ntxtOutputFilename=other.txt\n"
                             "optResultsNonTabular=1\nAttributeCount=1\n"
                             "lvwSelectedeAttributes0=Given Name\n"
                             "lvwSelectedeAttributesSingle0=Multi\n"
                             "lvwSelectedeAttributesSyntax0=CI_String\n";
    loadText("TreeName=Default\nContext1=Dev\nContext2=Gone\nContext3=acme\n"
             "ContextCount=3\nclasstype=Vanished Class\n" +
             rest);
    EXPECT_EQ(
        messageTexts(),
        (QStringList{"The container \"Dev.Gone.acme\" named in the settings file was not found",
                     "The class \"Vanished Class\" named in the settings file was not found"}));
    unchanged("container and class");

    messages.clear();
    loadText("TreeName=Nowhere\nContext1=Acme\nContextCount=1\nclasstype=User\n" + rest);
    EXPECT_EQ(messageTexts(),
              QStringList{"The tree \"Nowhere\" named in the settings file was not found"});
    unchanged("tree");

    // BETA is there, but has no class User: its tree is not opened in the window.
    messages.clear();
    loadText("TreeName=beta\nContext1=Labs\nContext2=Beta Corp\nContextCount=2\n"
             "classtype=User\n" +
             rest);
    EXPECT_EQ(messageTexts(),
              QStringList{"The class \"User\" named in the settings file was not found"});
    unchanged("class of another tree");
}

TEST_F(StartedSettingsTest, NamesMatchIgnoringTheCaseOfAToZOnly) {
    loadText("TreeName=default\nContext1=SALES\nContext2=aCmE\nContextCount=2\nclasstype=uSER\n");
    EXPECT_EQ(trees()->currentText(), "Default");
    EXPECT_EQ(pathOf(tree()->currentItem()), "Sales.Acme");
    EXPECT_EQ(classes()->currentItem()->text(), "User");
}

TEST_F(StartedSettingsTest, FileForAnotherTreeOpensThatTreeFirst) {
    ASSERT_TRUE(listTexts(classes()).contains("User"));
    loadText("TreeName=beta\nContext1=Bench\nContext2=Labs\nContext3=Beta Corp\n"
             "ContextCount=3\nclasstype=Organizational Unit\n");
    EXPECT_EQ(trees()->currentText(), "BETA");
    EXPECT_EQ(pathOf(tree()->currentItem()), "Bench.Labs.Beta Corp");
    EXPECT_FALSE(listTexts(classes()).contains("User")); // BETA's own class list
    ASSERT_NE(classes()->currentItem(), nullptr);
    EXPECT_EQ(classes()->currentItem()->text(), "Organizational Unit");
    EXPECT_TRUE(messages.empty()) << messageTexts().join(" | ").toStdString();

    // And back: a file for the sample tree reopens it.
    loadText("TreeName=ACME\nContext1=IT\nContext2=Acme\nContextCount=2\nclasstype=User\n");
    EXPECT_EQ(pathOf(tree()->currentItem()), "IT.Acme");
    EXPECT_EQ(classes()->currentItem()->text(), "User");
}

TEST_F(SettingsWindowTest, RowsAsTheFileHasThemDuplicatesAndCounts) {
    const std::string rows =
        "lvwSelectedeAttributes0=Surname\nlvwSelectedeAttributesSingle0=Multi\n"
        "lvwSelectedeAttributesSyntax0=CI_String\n"
        "lvwSelectedeAttributes1=Surname\nlvwSelectedeAttributesSingle1=Multi\n"
        "lvwSelectedeAttributesSyntax1=CI_String\n"
        "lvwSelectedeAttributes2=Login Time\n"
        "lvwSelectedeAttributesSingle2=Single\n"
        "lvwSelectedeAttributesSyntax2=Time\n";
    start();
    loadText("classtype=User\nAttributeCount=3\n" + rows);
    EXPECT_EQ(column(selected(), 0), (QStringList{"Surname", "Surname", "Login Time"}));
    // A restored date row sorts as a date, as one added by hand does.
    auto* available = find<QTreeWidget>("lvwAttributes");
    const int dateKind =
        TfrmKorvanex::attributeSortKind(available->findItems("Login Time", Qt::MatchExactly)[0]);
    EXPECT_NE(dateKind, 0);
    EXPECT_EQ(TfrmKorvanex::attributeSortKind(selected()->topLevelItem(2)), dateKind);

    loadText("classtype=User\nAttributeCount=1\n" + rows);
    EXPECT_EQ(column(selected(), 0), QStringList{"Surname"});

    loadText("classtype=User\nAttributeCount=5\n" + rows);
    EXPECT_EQ(column(selected(), 0), (QStringList{"Surname", "Surname", "Login Time", "", ""}));
    EXPECT_EQ(column(selected(), 1), (QStringList{"Multi", "Multi", "Single", "", ""}));
}

TEST_F(SettingsWindowTest, ExpandedAttributeIndexAmongTheMultiRows) {
    const std::string body = "classtype=User\noptResultsTabularCross=1\n"
                             "AttributeCount=3\nlvwSelectedeAttributes0=Surname\n"
                             "lvwSelectedeAttributesSingle0=multi\n"
                             "lvwSelectedeAttributes1=Login Time\n"
                             "lvwSelectedeAttributesSingle1=Single\n"
                             "lvwSelectedeAttributes2=Group Membership\n"
                             "lvwSelectedeAttributesSingle2=Multi\n";
    start();
    loadText(body + "cboAttributesMulti=1\n");
    ASSERT_EQ(comboItems(), (QStringList{"Surname", "Group Membership"}));
    EXPECT_EQ(multi()->currentText(), "Group Membership");
    loadText(body);
    EXPECT_EQ(multi()->currentText(), "Surname"); // no key: the first entry
    loadText(body + "cboAttributesMulti=2\n");
    EXPECT_EQ(multi()->currentIndex(), -1); // beyond the entries: none
    loadText(body + "cboAttributesMulti=-1\n");
    EXPECT_EQ(multi()->currentIndex(), -1);
}

TEST_F(StartedSettingsTest, OptionButtonsRunTheirHandlingOnlyWhenChosen) {
    find<QRadioButton>("optResultsTabular")->setChecked(true);
    ASSERT_FALSE(multi()->isEnabled());
    loadText("optResultsTabularCross=1\n");
    EXPECT_TRUE(find<QRadioButton>("optResultsTabularCross")->isChecked());
    EXPECT_FALSE(find<QRadioButton>("optResultsTabular")->isChecked());
    EXPECT_TRUE(multi()->isEnabled());

    loadText("optResultsTabular=1\n");
    EXPECT_FALSE(multi()->isEnabled());

    // All three cleared: no mode, and the combo keeps the state it had.
    find<QRadioButton>("optResultsTabularCross")->setChecked(true);
    loadText("");
    for (const char* option :
         {"optResultsTabular", "optResultsTabularCross", "optResultsNonTabular"})
        EXPECT_FALSE(find<QRadioButton>(option)->isChecked()) << option;
    EXPECT_TRUE(multi()->isEnabled());

    // More than one set: the last of them in the file's order wins.
    loadText("optResultsTabular=1\noptResultsTabularCross=1\noptResultsNonTabular=3\n");
    EXPECT_TRUE(find<QRadioButton>("optResultsNonTabular")->isChecked());
    EXPECT_FALSE(find<QRadioButton>("optResultsTabularCross")->isChecked());
    EXPECT_FALSE(multi()->isEnabled());
}

TEST_F(StartedSettingsTest, ExamplesLoadWithRowsOfTheirClass) {
    const fs::path examples = fs::path(KVX_SOURCE_DIR) / "examples";
    int seen = 0;
    for (const auto& entry : fs::directory_iterator(examples)) {
        if (entry.path().extension() != ".kvx")
            continue;
        ++seen;
        SCOPED_TRACE(entry.path().filename().string());
        const ks::BatchSettings file = ks::readBatchSettings(entry.path().string());
        load(entry.path());
        EXPECT_EQ(trees()->currentText(), QString::fromStdString(file.treeName));
        ASSERT_NE(tree()->currentItem(), nullptr);
        QStringList chain;
        for (const std::string& piece : *file.startingPoint)
            chain << QString::fromStdString(piece);
        EXPECT_EQ(pathOf(tree()->currentItem()), chain.join('.'));
        ASSERT_NE(classes()->currentItem(), nullptr);
        EXPECT_EQ(classes()->currentItem()->text(), QString::fromStdString(file.className));
        // Every saved row is an attribute of the class, with its own columns.
        auto* available = find<QTreeWidget>("lvwAttributes");
        for (const auto& row : file.attributes) {
            const auto found =
                available->findItems(QString::fromStdString(row.name), Qt::MatchExactly);
            ASSERT_EQ(found.size(), 1) << row.name;
            EXPECT_EQ(found[0]->text(1).toStdString(), row.singleMulti) << row.name;
            EXPECT_EQ(found[0]->text(2).toStdString(), row.syntax) << row.name;
        }
        EXPECT_EQ(selected()->topLevelItemCount(), static_cast<int>(file.attributes.size()));
        EXPECT_TRUE(find<QCheckBox>("chkOutputColumnHeaders")->isChecked());
        EXPECT_TRUE(file.tabularCross ? !multi()->currentText().isEmpty()
                                      : multi()->currentIndex() == -1);
        EXPECT_FALSE(fs::path(file.outputFileName).has_parent_path());
    }
    EXPECT_EQ(seen, 6);
    EXPECT_TRUE(messages.empty()) << messageTexts().join(" | ").toStdString();
}

// ---- Command line and unattended run -------------------------------------------------------

TEST_F(SettingsWindowTest, SampleCommandLineLoadsRunsAndCloses) {
    const fs::path file = root / "scanusers.kvx";
    // No attributes: the run shows its notice, which lets the test look at the panel mid-run.
    spit(file, "[KORVANEX]\nTreeName=Default\nContext1=Sales\nContext2=Acme\nContextCount=2\n"
               "classtype=User\nchkOutputWindow=1\noptResultsTabular=1\n");
    setArguments({"/settings=" + file.string(), "/autorun", "/autoclose"});
    start();
    EXPECT_EQ(pathOf(tree()->currentItem()), "Sales.Acme");
    EXPECT_TRUE(timer()->isActive());
    EXPECT_EQ(timer()->interval(), 1000);
    ASSERT_TRUE(waitFor([&] { return !window->isVisible(); }));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].kind, kvx::app::MessageKind::Notice);
    EXPECT_EQ(panels[0], QString("Auto Running %1 - Will close when complete").arg(file.c_str()));
    EXPECT_EQ(window->statusText(1), "");
    EXPECT_FALSE(timer()->isActive());
    EXPECT_GT(window->resultsModel()->rowCount(), 0);
    EXPECT_EQ(ks::ReadIniInteger(ini(), "Size", "State", -5), 0); // the close saved placement
}

TEST_F(SettingsWindowTest, AutorunAloneStopsAtTheClassCheckAndStaysOpen) {
    setArguments({"/AUTORUN"});
    start();
    ASSERT_TRUE(waitFor([&] { return !messages.empty(); }));
    EXPECT_EQ(messages[0].text, "Select the Object Class  (User, Group, etc) to search");
    EXPECT_EQ(panels[0], "Auto Running ");
    EXPECT_TRUE(waitFor([&] { return window->statusText(1).isEmpty(); }));
    EXPECT_TRUE(window->isVisible());
}

TEST_F(SettingsWindowTest, UnattendedRunThatStopsAtACheckStillCloses) {
    const fs::path file = root / "nooutput.kvx";
    spit(file, "[KORVANEX]\nTreeName=Default\nContext1=Acme\nContextCount=1\nclasstype=User\n"
               "optResultsTabular=1\n");
    setArguments({"/settings=" + file.string(), "/autoclose", "/autorun"});
    start();
    ASSERT_TRUE(waitFor([&] { return !window->isVisible(); }));
    EXPECT_EQ(messageTexts(), QStringList{"You have not selected output to either File or Screen"});
    EXPECT_EQ(window->resultsModel()->rowCount(), 0);
}

TEST_F(SettingsWindowTest, FlagsThatAreNotQuiteFlagsAndAutocloseAloneDoNothing) {
    setArguments({"/autorunx", "autorun", "--autorun=1", "/autoclose"});
    start();
    EXPECT_FALSE(timer()->isActive());
    QTest::qWait(1200);
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(messages.empty());
}

TEST_F(SettingsWindowTest, SettingsNamesAfterTheFirstEqualsAndBesideTheProgram) {
    spit(root / "prog" / "a=b.kvx", "[KORVANEX]\nclasstype=Group\n");
    setArguments({"/settingsfile=a=b.kvx"});
    start();
    ASSERT_NE(classes()->currentItem(), nullptr);
    EXPECT_EQ(classes()->currentItem()->text(), "Group");
}

TEST_F(SettingsWindowTest, SettingsWithoutANameLoadNothing) {
    setArguments({"/settings", "/SETTINGS=", "--settings="});
    start();
    // A load would have reloaded the tree list and left no tree chosen.
    EXPECT_EQ(trees()->currentText(), "Default");
    EXPECT_EQ(trees()->count(), 1);
}

TEST_F(SettingsWindowTest, SeveralSettingsFilesLoadInOrderAndTheLastNameIsKept) {
    const fs::path first = root / "first.kvx";
    const fs::path second = root / "second.kvx";
    spit(first, "[KORVANEX]\nclasstype=User\ntxtOutputSeparator=;\nchkOutputWindow=1\n");
    spit(second, "[KORVANEX]\ntxtOutputSeparator=|\nchkOutputWindow=1\n");
    setArguments({"--autorun", "/settings=" + first.string(), "--settings=" + second.string()});
    start();
    EXPECT_EQ(classes()->currentItem()->text(), "User"); // the second file names no class
    EXPECT_EQ(find<QLineEdit>("txtOutputSeparator")->text(), "|");
    ASSERT_TRUE(waitFor([&] { return !messages.empty(); }));
    // [root] is the starting point, User the class, no attributes: the run's notice.
    EXPECT_EQ(panels[0], QString("Auto Running %1").arg(second.c_str()));
    EXPECT_TRUE(window->isVisible());
}

// ---- The run's output file ---------------------------------------------------------------

// Whatever ends a run (here an error raised while the run's notice shows), the output file is
// closed with what was written and kept as the .partial; the last report stays where it was.
TEST_F(StartedSettingsTest, RunEndedByAnErrorKeepsTheLastReportAndWhatWasWrittenInPartial) {
    walkTo({"Acme", "Sales"});
    chooseClass("User");
    const fs::path report = root / "report.txt";
    spit(report, "last good report\r\n");
    setOutput({.toWindow = false}, QString::fromStdString(report.string()));
    find<QRadioButton>("optResultsTabular")->setChecked(true);
    kvx::app::setMessageHandler([this](QWidget*, const kvx::app::Message& message) {
        messages.push_back(message);
        if (message.kind == kvx::app::MessageKind::Notice)
            throw std::runtime_error("out of memory");
    });
    EXPECT_NO_THROW(window->RunProcess());
    const QString name = QString::fromStdString(report.string());
    EXPECT_EQ(messageTexts(),
              (QStringList{"No Attributes have been selected. Only object names will be listed",
                           "out of memory",
                           "The report did not finish. The rows found before the failure are in " +
                               name + ".partial; " + name + " is left as it was."}));
    EXPECT_EQ(slurp(report.string() + ".partial"), "Object\r\n"); // written out, not buffered
    EXPECT_EQ(slurp(report), "last good report\r\n");
    EXPECT_EQ(window->statusText(0), "Failed");
}

} // namespace

namespace {

// "Changes since the previous run" from the window: saved and loaded with the report, the
// summary on the status bar and the Results page, and the change rows shown in the results list
// (sortable, copyable, each kind in a colour of its own).
TEST_F(SettingsWindowTest, ChangesSinceThePreviousRunSavedLoadedSummarisedAndListed) {
    const auto tree = [](const std::string& ann, bool withCid, bool withDan) {
        std::vector<std::string> records{container("o=Chg")};
        records.push_back(entry("cn=Ann,o=Chg", "person organizationalPerson",
                                "sn: A\ntelephoneNumber: " + ann + "\n"));
        records.push_back(entry("cn=Bob,o=Chg", "person organizationalPerson", "sn: B\n"));
        if (withCid)
            records.push_back(entry("cn=Cid,o=Chg", "person organizationalPerson", "sn: C\n"));
        if (withDan)
            records.push_back(entry("cn=Dan,o=Chg", "person organizationalPerson", "sn: D\n"));
        return ldif(records, true);
    };
    serveTrees({{"CHG", tree("111", true, false)}}, "CHG");
    start();
    const QString out = tempPath("people.csv");
    const auto runReport = [&] {
        walkTo({"Chg"});
        chooseClass("Organizational Person");
        chooseAttributes({"Telephone Number"});
        setOutput({}, out);
        find<QCheckBox>("chkOutputChanges")->setChecked(true);
        pressStart();
    };
    runReport();
    EXPECT_EQ(window->statusText(1).toStdString(),
              "No previous run to compare with: this run is the baseline");
    auto* show = find<QPushButton>("cmdShowChanges");
    EXPECT_TRUE(show->isVisible());

    // Saved with the report and loaded back.
    const fs::path file = root / "people.kvx";
    save(file);
    EXPECT_NE(slurp(file).find("chkOutputChanges=1\n"), std::string::npos);
    find<QCheckBox>("chkOutputChanges")->setChecked(false);
    load(file);
    EXPECT_TRUE(find<QCheckBox>("chkOutputChanges")->isChecked());

    // The directory changes; the user opens the tree again and runs the same report.
    serveTrees({{"CHG", tree("222", false, true)}}, "CHG");
    find<QPushButton>("cmdTreeReload")->click();
    window->cboNDSTreeChange();
    runReport();
    ASSERT_TRUE(messageTexts().isEmpty()) << messageTexts().join(" | ").toStdString();
    const QString summary = window->statusText(1);
    EXPECT_TRUE(summary.startsWith("Compared with the run of ")) << summary.toStdString();
    EXPECT_TRUE(summary.endsWith(": 1 added, 1 removed, 1 changed")) << summary.toStdString();
    EXPECT_EQ(find<QLabel>("lblChangeSummary")->text(), summary);
    const std::vector<std::vector<std::string>> reportRows = resultRows();

    QTest::mouseClick(show, Qt::LeftButton);
    auto* list = find<QTreeView>("lvwSearch");
    ASSERT_EQ(list->model(), window->changeRows());
    EXPECT_EQ(window->shownRows(), window->changeRows());
    const kvx::ResultsModel* rows = window->changeRows();
    const auto shown = [&] {
        std::vector<std::string> texts;
        for (int r = 0; r < rows->rowCount(); ++r) {
            std::string line;
            for (int c = 0; c < rows->columnCount(); ++c)
                line += (c ? "|" : "") + rows->data(rows->index(r, c)).toString().toStdString();
            texts.push_back(line);
        }
        return texts;
    };
    EXPECT_EQ(shown(), (std::vector<std::string>{"Changed|Ann.Chg|Telephone Number|111|222",
                                                 "Removed|Cid.Chg|||", "Added|Dan.Chg|||"}));
    // Each kind of change stands out in a colour of its own.
    const auto colour = [&](int r) { return rows->data(rows->index(r, 1), Qt::ForegroundRole); };
    EXPECT_TRUE(colour(0).isValid());
    EXPECT_NE(colour(0), colour(1));
    EXPECT_NE(colour(1), colour(2));
    EXPECT_NE(colour(0), colour(2));

    // Sorted by the Change column with a click on its header, and copied as shown.
    QHeaderView* header = list->header();
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                      QPoint(header->sectionViewportPosition(0) + 5, header->height() / 2));
    EXPECT_EQ(shown(), (std::vector<std::string>{"Added|Dan.Chg|||",
                                                 "Changed|Ann.Chg|Telephone Number|111|222",
                                                 "Removed|Cid.Chg|||"}));
    window->CopyResultstoClipboard1Click();
    EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(),
              "Added\tDan.Chg\t\t\t\r\nChanged\tAnn.Chg\tTelephone Number\t111\t222\r\n"
              "Removed\tCid.Chg\t\t\t\r\n");
    EXPECT_EQ(slurp(fs::path(tempPath("people-changes.csv").toStdString())),
              "Change,Object,Attribute,Old Value,New Value\r\n"
              "Changed,Ann.Chg,Telephone Number,111,222\r\nRemoved,Cid.Chg,,,\r\n"
              "Added,Dan.Chg,,,\r\n");

    // And back to the report's own rows, as they were.
    QTest::mouseClick(show, Qt::LeftButton);
    EXPECT_EQ(list->model(), window->resultsModel());
    EXPECT_EQ(resultRows(), reportRows);
}

} // namespace
