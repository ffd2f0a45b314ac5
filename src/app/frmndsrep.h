// TfrmKorvanex, the main window: start-up and close, the five pages and their flow, the tree list
// and container tree, and the window side of every other subsystem.
#pragma once

#include "app/placement.h"
#include "directory/client/nwdsclient.h"
#include "directory/treebrowse.h"
#include "report/outputline.h"
#include "report/reportfile.h"
#include "results/compare.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QIcon>
#include <QMainWindow>
#include <QStringList>
#include <QTreeWidgetItem>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <vector>

class QLabel;
class QTimer;
class TfrmAbout;
class TfrmExplain;
class TfrmInstruct;

namespace kvx {
class ResultsModel;
namespace report {
class ChangeSink;
}
} // namespace kvx

namespace Ui {
class TfrmKorvanex;
}

// A combo box that says when its list is about to drop down, so the list can be rebuilt first.
class KvxDropDownComboBox : public QComboBox {
    Q_OBJECT
public:
    using QComboBox::QComboBox;
    void showPopup() override;

signals:
    void dropDown();
};

// An attribute list. Typing finds an attribute by its directory name (column 0) or by its LDAP
// name (the last column), whichever starts with the letters typed.
class KvxAttributeList : public QTreeWidget {
    Q_OBJECT
public:
    // The column of the LDAP name, shown beside the directory name when the two differ.
    static constexpr int LdapNameColumn = 3;
    using QTreeWidget::QTreeWidget;
    void keyboardSearch(const QString& search) override;
    // The width the texts of `column` need.
    int contentWidth(int column) const { return sizeHintForColumn(column); }

private:
    QString typed_;
    QElapsedTimer typedClock_;
};

// A row that sorts by its text with the locale-aware comparison.
class KvxLocaleSortItem : public QTreeWidgetItem {
public:
    using QTreeWidgetItem::QTreeWidgetItem;
    bool operator<(const QTreeWidgetItem& other) const override;
};

// A node of the container tree. It owns its record; the placeholder node has none.
class KvxTreeNode : public KvxLocaleSortItem {
public:
    using KvxLocaleSortItem::KvxLocaleSortItem;
    std::optional<kvx::directory::NodeRecord> record;
};

class TfrmKorvanex : public QMainWindow {
    Q_OBJECT
public:
    // Item data role holding a container node's picture number.
    static constexpr int ImageIndexRole = Qt::UserRole + 1;

    explicit TfrmKorvanex(QWidget* parent = nullptr);
    ~TfrmKorvanex() override;

    // The help windows are created after the main window and shown from its menus and buttons.
    void setHelpWindows(TfrmAbout* about, TfrmExplain* explain, TfrmInstruct* instruct);

    // The one directory context of the window (0 before the first InitNDS).
    NWDSContextHandle directoryContext() const { return directoryContext_; }
    // The record of a container node; nullptr for the placeholder or a foreign item.
    static const kvx::directory::NodeRecord* nodeRecord(const QTreeWidgetItem* node);
    // The distinguished name of the selected container node ("" for "[root]"), or nullopt when
    // no node is selected.
    std::optional<QString> selectedDistinguishedName() const;
    const QIcon& containerImage(int index) const;
    // The rows and columns of the results list.
    kvx::ResultsModel* resultsModel() const { return results_; }
    // The sort kind an attribute row carries.
    static int attributeSortKind(const QTreeWidgetItem* row);
    // Texts of the status bar's two panels.
    QString statusText(int panel) const;

    // ---- Start-up and close
    void FormShow();
    void FormClose();
    void Exit1Click();

    // ---- Page flow and help
    void Button2Click();
    void cmdNextPage2Click();
    void Button3Click();
    void optResultsTabularClick();
    void optResultsTabularCrossClick();
    void optResultsNonTabularClick();
    void cmdExplainTabularClick();
    void cmdExplainTabularCrossClick();
    void cmdExplainNonTabularClick();
    void About1Click();
    void InstructionsforUse1Click();

    // ---- Command line and unattended run
    // True once the command line asked for an unattended run (the timer then starts it).
    bool autorunRequested() const { return autorun_; }
    // How long after start-up the unattended run begins: a second, so the window is painted
    // first; a run with no display has nothing to paint and may start at once.
    void setUnattendedDelay(int milliseconds);
    // A run with no display: nobody saw the window, so closing it leaves the saved placement alone.
    void leaveSavedPlacement() { leaveSavedPlacement_ = true; }
    void LoadParameters();
    void Timer1Timer();

    // ---- Tree list and container tree
    void cmdTreeReloadClick();
    // The "Directories…" dialog (File menu, the button beside the tree list and the first-start
    // hint); after OK the client configuration is read again, the tree list reloads and the
    // tree chosen in the dialog opens.
    void Directories1Click();
    void cboNDSTreeChange();
    void InitNDS();
    void tvwNDSExpanding(QTreeWidgetItem* node);
    void do_Expand(QTreeWidgetItem* node);
    void LoadBranch(QTreeWidgetItem* node);
    void tvwNDSChange();
    void tvwNDSDeletion(QTreeWidgetItem* node);

    // ---- Schema
    void LoadClasses();
    void lstNDSClassesClick();
    void LoadAttributes(const QString& className);
    void GetAttributeDetails(const QString& attributeName, Attr_Info_T* info);

    // ---- Attribute selection
    void cmdAttributeAddClick();
    void cmdAttributeAddAllClick();
    void cmdAttributeRemoveClick();
    void cmdAttributeRemoveAllClick();
    void cboAttributeMultiDropDown();

    // ---- Report run, search and results
    void RunProcess();
    void DoSearch();
    // Stops the run under way at the next entry (the Cancel button and Esc); nothing without one.
    void cmdCancelClick();
    bool runActive() const { return runActive_; }
    void OutputLineItem(const std::vector<std::string>& row);
    // A workbook has cells, not separators and quotes: their controls rest while the output
    // file's name ends in .xlsx.
    void outputFileNameChanged(const QString& name);
    void lvwSearchColumnClick(int column);
    void CopyResultstoClipboard1Click();
    // Copies the selected rows of the results list (Ctrl+C in the list), as the menu copies all.
    void copySelectedResults();
    // The Output page's "Browse…" button and the folder a relative file name resolves to.
    void cmdOutputBrowseClick();
    void showOutputFolder();
    // Shows the change rows of the last run in the results list, or the report's rows again.
    void cmdShowChangesClick(bool show);
    // The rows the results list shows: the report's, or the changes since the previous run.
    kvx::ResultsModel* shownRows() const;
    kvx::ResultsModel* changeRows() const { return changes_; }

    // ---- Saved defaults and batch settings
    void LoadDefaults();
    void Button1Click();
    void cmdSaveClick();
    void cmdLoadClick();
    void LoadDetailsFromFile(const QString& fileName);

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void connectControls();
    // `context`: the context whose tree the failed call was made on, when it is not the window's
    // own (a tree opened aside to check a settings file).
    void reportFailure(const std::string& text, NWDSCCODE code, NWDSContextHandle context = 0);
    // The tree's status line: why the tree could not be opened, kept until it opens.
    void setTreeStatus(const QString& text);
    // A search filter that cannot be used: said, then the filter is shown with the cursor at
    // the fault (1-based character position; 0 selects the whole filter).
    void showFilterFault(const QString& message, std::size_t position);
    // Lays out the attribute lists' columns: each caption whole, the LDAP name beside the name.
    void setUpAttributeColumns();
    // Shows, as a notice, a reason the tree gives while serving the rest (once per reason).
    void noteTreeReason();
    // Whether the open tree could not be opened (its reason has been shown).
    bool treeCannotBeOpened(NWDSContextHandle context = 0) const;
    // A new action of the user: it may hear once that a tree cannot be opened.
    void beginUserAction();
    // A completed run that found nothing over an anonymous bind says that the server may hide
    // entries from anonymous users.
    void noteAnonymousEmptyRun();
    void clearContainerTree();
    void deleteNode(QTreeWidgetItem* node);
    void repaintWindow();
    static QTreeWidgetItem* addPlaceholder(QTreeWidgetItem* parent);
    void rebuildExpandedAttributeItems();
    void setStatus(const QString& text);
    // The second status panel's text (shortened to the panel, whole in its tool tip).
    void setPanel2(const QString& text);
    void fitResultColumn(int column);
    int fittedWidth(const kvx::ResultsModel& rows, int column) const;
    // Change reports: the change sink of a run with "Changes since the previous run" on, and
    // what the window shows of a completed one (summary, change rows, messages).
    std::unique_ptr<kvx::report::ChangeSink> makeChangeSink();
    void showChangeSummary();
    void showRows(kvx::ResultsModel* rows);
    void clearAttributePage();
    // Lays the window out at a saved placement (or centred) and in the saved state.
    void restorePlacement(const kvx::app::StoredPlacement& stored, int state);
    // Once the window manager has framed the window, its inside is fitted to the saved outer
    // placement (the frame is unknown until the window is first shown).
    void settlePlacement();
    void applyPlacement();
    QMargins currentFrame() const;
    // A run in the user's hands: controls that would change it disabled, Cancel enabled, stop
    // signals caught; progress shown and window events handled while it goes (runProceed).
    void beginRun();
    void endRun();
    bool runProceed(std::int32_t objects, const std::function<void()>& publishRows);
    // A Cancel or a stop signal has come during the run.
    bool runStopRequested() const;
    // Tells every sink how the run ended, and the user where the report file's rows are.
    void endRunSinks(kvx::report::RunEnd how);

    std::unique_ptr<Ui::TfrmKorvanex> ui;
    QLabel* StatusBar1Panel1 = nullptr;
    QLabel* StatusBar1Panel2 = nullptr;
    QString panel2Text_; // the whole text of the second panel
    QTimer* Timer1 = nullptr;
    kvx::ResultsModel* results_ = nullptr;
    std::vector<QIcon> ImageList1;

    TfrmAbout* frmAbout_ = nullptr;
    TfrmExplain* frmExplain_ = nullptr;
    TfrmInstruct* frmInstruct_ = nullptr;

    NWDSContextHandle directoryContext_ = 0;
    std::string openedTreeName_; // the tree the directory context was opened for
    std::map<std::string, std::string> treeReasonsShown_; // by tree: why it could not be opened
    std::map<std::string, std::set<std::string>> treeNoticesShown_; // by tree: notes shown
    bool treeFailureShownInAction_ = false; // this action said that the tree cannot be opened
    bool firstShowDone_ = false;
    QString loadedClass_; // the class whose attributes the Attributes page shows
    // The saved placement, kept until the window manager's frame is known, and what it was laid
    // out with: the designed inside size and the frame.
    std::optional<kvx::app::StoredPlacement> pendingPlacement_;
    QSize designedInside_;
    QMargins placedFrame_;

    // Command line and unattended run.
    bool autorun_ = false;
    bool autoclose_ = false;
    QString batchSettingsFileName_;
    // A settings file of the command line could not be read, or named a tree, container or class
    // that was not found: the unattended run does not start.
    bool loadFailed_ = false;
    bool leaveSavedPlacement_ = false;

    // Report run: the settings of the run under way (or the last one) and its output file.
    bool runOutputToWindow_ = false;
    bool runOutputToFile_ = false;
    bool runColumnHeaders_ = false;
    // Where the run's rows go besides the results list, each sink told how the run ended; the
    // report file is one of them (runFile_, null without output to a file), the change recorder
    // another (runChanges_, null without "Changes since the previous run").
    std::vector<std::unique_ptr<kvx::report::ReportSink>> runSinks_;
    kvx::report::ReportFile* runFile_ = nullptr;
    kvx::report::ChangeSink* runChanges_ = nullptr;
    bool runCompleted_ = false;            // the last search went to its end
    kvx::ResultsModel* changes_ = nullptr; // change rows of the last run
    kvx::ColumnSortState changesSortState_;
    bool runUnattended_ = false;  // the run was started by /autorun
    bool swappingRows_ = false;   // the results list is changing the rows it shows
    QElapsedTimer statusPainted_; // when the progress panel was last painted
    bool runActive_ = false;
    bool cancelRequested_ = false;
    bool closeAsked_ = false;     // the question whether to stop the run and quit is showing
    bool quitAfterRun_ = false;   // answered "Stop and quit": the window closes once it stopped
    bool runCancelled_ = false;   // the last search stopped before its end by a cancel
    std::int32_t runObjects_ = 0; // objects the last search read
    int runStoppedBySignal_ = 0;  // the signal that stopped the last run, 0 when none
    QElapsedTimer runClock_;      // since the run began
    QElapsedTimer runPumped_;     // since window events were last handled
    QLabel* StatusBar1Panel3 = nullptr; // objects found and elapsed time
    // Direction of the next sort of each results column, kept from run to run.
    kvx::ColumnSortState columnSortState_;
};
