#include "app/frmndsrep.h"
#include "app/frmdirectories.h"

#include "app/messages.h"
#include "app/waitcursor.h"
#include "directory/client/config.h"
#include "directory/client/names.h"
#include "directory/client/registry.h"
#include "help/frmabout.h"
#include "help/frmexplaintabular.h"
#include "help/frminstructions.h"
#include "report/changes.h"
#include "results/resultsmodel.h"
#include "ui_frmndsrep.h"

#include <QAction>
#include <QApplication>
#include <QBrush>
#include <QCloseEvent>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QTimer>
#include <QWindow>

#include <algorithm>
#include <exception>

namespace {

using kvx::directory::NodeRecord;

const char* const kImageFiles[kvx::directory::imageCount] = {
    "volume", "country",   "group",   "organization", "orgrole", "orgunit", "queue",
    "root",   "ncpserver", "ndstree", "user",         "alias",   "other",
};

} // namespace

// The pictures live in a static library, so their resource is registered by hand.
static void initImages() {
    Q_INIT_RESOURCE(images);
}

void KvxDropDownComboBox::showPopup() {
    emit dropDown();
    QComboBox::showPopup();
}

void KvxAttributeList::keyboardSearch(const QString& search) {
    if (search.isEmpty())
        return;
    // The letters typed within the keyboard interval make one search; a new search starts at
    // the row after the current one, a longer one at the current row.
    const bool continued =
        typedClock_.isValid() && typedClock_.elapsed() < QApplication::keyboardInputInterval();
    typed_ = continued ? typed_ + search : search;
    typedClock_.start();
    const int rows = topLevelItemCount();
    if (rows == 0)
        return;
    QTreeWidgetItem* current = currentItem();
    const int from = current != nullptr ? indexOfTopLevelItem(current) : 0;
    const int first = continued || current == nullptr ? from : from + 1;
    for (int k = 0; k < rows; ++k) {
        QTreeWidgetItem* row = topLevelItem((first + k) % rows);
        if (row->text(0).startsWith(typed_, Qt::CaseInsensitive) ||
            row->text(LdapNameColumn).startsWith(typed_, Qt::CaseInsensitive)) {
            setCurrentItem(row);
            scrollToItem(row);
            return;
        }
    }
}

bool KvxLocaleSortItem::operator<(const QTreeWidgetItem& other) const {
    int column = treeWidget() ? treeWidget()->sortColumn() : 0;
    if (column < 0)
        column = 0;
    return QString::localeAwareCompare(text(column), other.text(column)) < 0;
}

namespace {

// The change rows of a run: added, removed and changed rows each in a colour of their own.
class ChangeRowsModel : public kvx::ResultsModel {
public:
    using ResultsModel::ResultsModel;
    QVariant data(const QModelIndex& index, int role) const override {
        if (role == Qt::ForegroundRole && index.isValid()) {
            const std::string_view change = cell(static_cast<std::size_t>(index.row()), 0);
            if (change == "Added") {
                return QBrush(QColor(0, 120, 0));
            }
            if (change == "Removed") {
                return QBrush(QColor(180, 0, 0));
            }
            if (change == "Changed") {
                return QBrush(QColor(0, 70, 170));
            }
        }
        return ResultsModel::data(index, role);
    }
};

} // namespace

TfrmKorvanex::TfrmKorvanex(QWidget* parent)
    : QMainWindow(parent), ui(std::make_unique<Ui::TfrmKorvanex>()) {
    initImages();
    ui->setupUi(this);
    setObjectName(QStringLiteral("frmKorvanex"));

    setWindowIcon(QIcon(QStringLiteral(":/images/korvanex.svg")));
    for (const char* file : kImageFiles)
        ImageList1.emplace_back(QStringLiteral(":/images/%1.svg").arg(QLatin1String(file)));

    // Status bar: a 250-pixel progress panel, wider for a text that needs it, and a panel taking
    // the rest, whose text is shortened in its middle where the window is too narrow for it
    // (the whole text is its tool tip); the run's progress panel keeps its whole text.
    StatusBar1Panel1 = new QLabel(ui->StatusBar1);
    StatusBar1Panel1->setObjectName(QStringLiteral("StatusBar1Panel1"));
    StatusBar1Panel1->setMinimumWidth(250);
    StatusBar1Panel1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    StatusBar1Panel2 = new QLabel(ui->StatusBar1);
    StatusBar1Panel2->setObjectName(QStringLiteral("StatusBar1Panel2"));
    StatusBar1Panel2->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    StatusBar1Panel2->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    StatusBar1Panel2->installEventFilter(this);
    ui->StatusBar1->addWidget(StatusBar1Panel1);
    ui->StatusBar1->addWidget(StatusBar1Panel2, 1);
    ui->StatusBar1->setFixedHeight(23);

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(1000);

    // Nothing is chosen in the tree combo until start-up chooses "Default".
    ui->cboNDSTree->setCurrentIndex(-1);
    ui->cboAttributeMulti->setEnabled(false);

    ui->tvwNDS->setIconSize(QSize(16, 16));
    ui->tvwNDS->setSortingEnabled(false);

    // Both lists keep the alphabetical order of the user's language: the class list is sorted
    // when it is filled, the attribute list by its first column; neither re-sorts on a click.
    ui->lstNDSClasses->setSortingEnabled(false);
    ui->lvwAttributes->setSortingEnabled(false);
    ui->lvwAttributes->header()->setSectionsClickable(false);
    ui->lvwAttributes->sortByColumn(0, Qt::AscendingOrder);
    setUpAttributeColumns();
    ui->lblTreeStatus->hide();

    // The results list shows its design column until the first search builds its own.
    results_ = new kvx::ResultsModel(this);
    results_->setColumns({kvx::ResultColumn{"Object Name", 0, 100}});
    ui->lvwSearch->setModel(results_);
    ui->lvwSearch->setColumnWidth(0, 100);
    // The window sorts on a header click itself (lvwSearchColumnClick). The view's own sorting
    // stays off, and turning it off makes the header unclickable, so clicks are enabled after.
    ui->lvwSearch->setSortingEnabled(false);
    ui->lvwSearch->header()->setSectionsClickable(true);
    ui->lvwSearch->setUniformRowHeights(true);
    // A column the user drags shut counts as hidden (the clipboard copy leaves it out).
    // The model is the context of the connection, so nothing reaches it once it is gone.
    ui->lvwSearch->header()->setMinimumSectionSize(0);
    ui->lvwSearch->header()->setStretchLastSection(false);
    changes_ = new ChangeRowsModel(this);
    connect(ui->lvwSearch->header(), &QHeaderView::sectionResized, this,
            [this](int column, int, int newSize) {
                if (!swappingRows_) {
                    shownRows()->setColumnWidth(column, newSize);
                }
            });
    // The sorted column shows its direction; new columns of a run start unsorted.
    ui->lvwSearch->header()->setSortIndicatorShown(true);
    ui->lvwSearch->header()->setSortIndicator(-1, Qt::AscendingOrder);
    for (kvx::ResultsModel* rows : {results_, changes_}) {
        connect(rows, &QAbstractItemModel::modelReset, ui->lvwSearch->header(),
                [header = ui->lvwSearch->header()]() {
                    header->setSortIndicator(-1, Qt::AscendingOrder);
                });
    }

    // Enter and Space on a focused button press that button; Enter anywhere else presses the
    // "Next ->>" or "Start" button of the page that shows.
    for (QPushButton* button : findChildren<QPushButton*>())
        button->setAutoDefault(true);
    ui->Button2->setDefault(true);
    ui->cmdNextPage2->setDefault(true);
    ui->cmdStart->setDefault(true);

    // The keyboard: Ctrl+O and Ctrl+S load and save settings files from any page (the buttons
    // on the Batch Mode page do the same), Enter in the available attributes adds the one
    // chosen, Ctrl+C in the results list copies the rows selected.
    auto* loadShortcut = new QAction(this);
    loadShortcut->setObjectName(QStringLiteral("actLoadSettings"));
    loadShortcut->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    connect(loadShortcut, &QAction::triggered, this, [this]() {
        if (ui->cmdLoad->isEnabled())
            ui->cmdLoad->click();
    });
    auto* saveShortcut = new QAction(this);
    saveShortcut->setObjectName(QStringLiteral("actSaveSettings"));
    saveShortcut->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
    connect(saveShortcut, &QAction::triggered, this, [this]() {
        if (ui->cmdSave->isEnabled() && ui->TabSheet5->isEnabled())
            ui->cmdSave->click();
    });
    addAction(loadShortcut);
    addAction(saveShortcut);
    ui->cmdLoad->setToolTip(QStringLiteral("Ctrl+O"));
    ui->cmdSave->setToolTip(QStringLiteral("Ctrl+S"));
    ui->lvwAttributes->installEventFilter(this);
    ui->lvwSearch->installEventFilter(this);

    ui->PageControl1->setCurrentIndex(0);
    connectControls();
    showOutputFolder();
}

void TfrmKorvanex::setUpAttributeColumns() {
    // The designed widths, each widened to its caption where the font needs more; the LDAP name
    // shows beside the attribute's own name.
    const int designed[] = {120, 70, 90, 90};
    for (QTreeWidget* list : {ui->lvwAttributes, ui->lvwSelectedAttributes}) {
        QHeaderView* header = list->header();
        const QFontMetrics metrics(header->font());
        for (int c = 0; c < list->columnCount(); ++c) {
            const int caption = metrics.horizontalAdvance(list->headerItem()->text(c)) + 24;
            list->setColumnWidth(c, std::max(designed[std::min(c, 3)], caption));
        }
        header->moveSection(header->visualIndex(KvxAttributeList::LdapNameColumn), 1);
        header->setStretchLastSection(true);
    }
}

TfrmKorvanex::~TfrmKorvanex() = default;

void TfrmKorvanex::setHelpWindows(TfrmAbout* about, TfrmExplain* explain, TfrmInstruct* instruct) {
    frmAbout_ = about;
    frmExplain_ = explain;
    frmInstruct_ = instruct;
}

void TfrmKorvanex::connectControls() {
    connect(ui->Exit1, &QAction::triggered, this, &TfrmKorvanex::Exit1Click);
    connect(ui->CopyResultstoClipboard1, &QAction::triggered, this,
            &TfrmKorvanex::CopyResultstoClipboard1Click);
    connect(ui->InstructionsforUse1, &QAction::triggered, this,
            &TfrmKorvanex::InstructionsforUse1Click);
    connect(ui->About1, &QAction::triggered, this, &TfrmKorvanex::About1Click);

    connect(ui->Button2, &QPushButton::clicked, this, &TfrmKorvanex::Button2Click);
    connect(ui->cmdNextPage2, &QPushButton::clicked, this, &TfrmKorvanex::cmdNextPage2Click);
    connect(ui->cmdStart, &QPushButton::clicked, this, [this]() {
        beginUserAction();
        Button3Click();
    });
    connect(ui->cmdShowChanges, &QPushButton::toggled, this, &TfrmKorvanex::cmdShowChangesClick);
    // The option handlers follow every choice, whether the user's or made from code.
    connect(ui->optResultsTabular, &QRadioButton::toggled, this, [this](bool on) {
        if (on)
            optResultsTabularClick();
    });
    connect(ui->optResultsTabularCross, &QRadioButton::toggled, this, [this](bool on) {
        if (on)
            optResultsTabularCrossClick();
    });
    connect(ui->optResultsNonTabular, &QRadioButton::toggled, this, [this](bool on) {
        if (on)
            optResultsNonTabularClick();
    });
    connect(ui->cmdExplainTabular, &QPushButton::clicked, this,
            &TfrmKorvanex::cmdExplainTabularClick);
    connect(ui->cmdExplainTabularCross, &QPushButton::clicked, this,
            &TfrmKorvanex::cmdExplainTabularCrossClick);
    connect(ui->cmdExplainNonTabular, &QPushButton::clicked, this,
            &TfrmKorvanex::cmdExplainNonTabularClick);

    // Each action of the user may hear once that a tree cannot be opened.
    connect(ui->cmdTreeReload, &QPushButton::clicked, this, &TfrmKorvanex::beginUserAction);
    connect(ui->cboNDSTree, &QComboBox::activated, this, &TfrmKorvanex::beginUserAction);
    connect(ui->cmdLoad, &QPushButton::clicked, this, &TfrmKorvanex::beginUserAction);
    connect(ui->cmdTreeReload, &QPushButton::clicked, this, &TfrmKorvanex::cmdTreeReloadClick);
    connect(ui->Directories1, &QAction::triggered, this, &TfrmKorvanex::Directories1Click);
    connect(ui->cmdDirectories, &QPushButton::clicked, this, &TfrmKorvanex::Directories1Click);
    connect(ui->lblAddDirectoryHint, &QLabel::linkActivated, this,
            &TfrmKorvanex::Directories1Click);
    connect(ui->cboNDSTree, &QComboBox::activated, this, &TfrmKorvanex::cboNDSTreeChange);
    connect(ui->tvwNDS, &QTreeWidget::itemExpanded, this, &TfrmKorvanex::tvwNDSExpanding);
    connect(ui->tvwNDS, &QTreeWidget::currentItemChanged, this, &TfrmKorvanex::tvwNDSChange);

    // A class chosen by mouse, arrow keys or typing loads its attributes; choosing the class
    // already chosen changes nothing.
    connect(ui->lstNDSClasses, &QListWidget::itemSelectionChanged, this,
            &TfrmKorvanex::lstNDSClassesClick);
    connect(ui->cmdAttributeAdd, &QPushButton::clicked, this, &TfrmKorvanex::cmdAttributeAddClick);
    connect(ui->cmdAttributeAddAll, &QPushButton::clicked, this,
            &TfrmKorvanex::cmdAttributeAddAllClick);
    connect(ui->cmdAttributeRemove, &QPushButton::clicked, this,
            &TfrmKorvanex::cmdAttributeRemoveClick);
    connect(ui->cmdAttributeRemoveAll, &QPushButton::clicked, this,
            &TfrmKorvanex::cmdAttributeRemoveAllClick);
    connect(ui->cboAttributeMulti, &KvxDropDownComboBox::dropDown, this,
            &TfrmKorvanex::cboAttributeMultiDropDown);

    connect(ui->lvwSearch->header(), &QHeaderView::sectionClicked, this,
            &TfrmKorvanex::lvwSearchColumnClick);
    connect(ui->Button1, &QPushButton::clicked, this, &TfrmKorvanex::Button1Click);
    connect(ui->cmdSave, &QPushButton::clicked, this, &TfrmKorvanex::cmdSaveClick);
    connect(ui->cmdLoad, &QPushButton::clicked, this, &TfrmKorvanex::cmdLoadClick);
    connect(ui->cmdOutputBrowse, &QPushButton::clicked, this, &TfrmKorvanex::cmdOutputBrowseClick);
    connect(ui->txtOutputFilename, &QLineEdit::textChanged, this, &TfrmKorvanex::showOutputFolder);
    connect(ui->lvwAttributes, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* row) {
        ui->lvwAttributes->setCurrentItem(row); // the row double-clicked is the one added
        cmdAttributeAddClick();
    });
    connect(Timer1, &QTimer::timeout, this, &TfrmKorvanex::Timer1Timer);
    connect(ui->txtOutputFilename, &QLineEdit::textChanged, this,
            &TfrmKorvanex::outputFileNameChanged);
    outputFileNameChanged(ui->txtOutputFilename->text());
}

// ---- Helpers -------------------------------------------------------------------------------

const NodeRecord* TfrmKorvanex::nodeRecord(const QTreeWidgetItem* node) {
    const auto* treeNode = dynamic_cast<const KvxTreeNode*>(node);
    if (treeNode == nullptr || !treeNode->record)
        return nullptr;
    return &*treeNode->record;
}

std::optional<QString> TfrmKorvanex::selectedDistinguishedName() const {
    const NodeRecord* record = nodeRecord(ui->tvwNDS->currentItem());
    if (record == nullptr)
        return std::nullopt;
    return QString::fromStdString(record->distinguishedName);
}

const QIcon& TfrmKorvanex::containerImage(int index) const {
    if (index < 0 || index >= static_cast<int>(ImageList1.size()))
        index = kvx::directory::imgOther;
    return ImageList1[static_cast<std::size_t>(index)];
}

void TfrmKorvanex::reportFailure(const std::string& text, NWDSCCODE code,
                                 NWDSContextHandle context) {
    const bool own = context <= 0 || context == directoryContext_;
    if (own)
        context = directoryContext_;
    // A list or search that the server ended says why ("Size limit exceeded"), every time.
    std::string reason;
    if ((text == "NWDSSearch" || text == "NWDSList") && context > 0 &&
        NWDSGetFailureText(context, reason) == 0 && !reason.empty()) {
        kvx::app::ShowErrorCode(this, QString::fromStdString(text), code,
                                QString::fromStdString(reason));
        return;
    }
    // Why the tree cannot be opened follows the first failed call that it causes, once.
    if (context > 0 && NWDSGetTreeErrorText(context, reason) == 0 && !reason.empty()) {
        // The window keeps saying why, in the words of the first message that said it.
        if (own && ui->lblTreeStatus->text().isEmpty()) {
            setTreeStatus(kvx::app::formatErrorCode(QString::fromStdString(text), code) +
                          QLatin1Char('\n') + QString::fromStdString(reason));
        }
        // One failure gives one message: the calls of the same action that fail after it for
        // the same cause (the classes, the container of a settings file) say nothing more.
        if (treeFailureShownInAction_)
            return;
        treeFailureShownInAction_ = true;
        std::string tree;
        NWDSGetContext(context, DCK_TREE_NAME, &tree);
        std::string& shown =
            treeReasonsShown_[QString::fromStdString(tree).toLower().toStdString()];
        if (shown == reason)
            reason.clear();
        else
            shown = reason;
    }
    kvx::app::ShowErrorCode(this, QString::fromStdString(text), code,
                            QString::fromStdString(reason));
}

bool TfrmKorvanex::treeCannotBeOpened(NWDSContextHandle context) const {
    if (context <= 0)
        context = directoryContext_;
    std::string reason;
    return context > 0 && NWDSGetTreeErrorText(context, reason) == 0 && !reason.empty();
}

void TfrmKorvanex::beginUserAction() {
    treeFailureShownInAction_ = false;
}

void TfrmKorvanex::setTreeStatus(const QString& text) {
    ui->lblTreeStatus->setText(text);
    ui->lblTreeStatus->setVisible(!text.isEmpty());
}

void TfrmKorvanex::showFilterFault(const QString& message, std::size_t position) {
    kvx::app::ShowMessage(this, message);
    ui->PageControl1->setCurrentWidget(ui->TabSheet1);
    QLineEdit* filter = ui->txtSearchFilter;
    filter->setFocus(Qt::OtherFocusReason);
    if (position == 0) {
        filter->selectAll();
        return;
    }
    // The position counts characters; the field counts UTF-16 units.
    const QString text = filter->text();
    int at = 0;
    for (std::size_t characters = 1; characters < position && at < text.size(); ++characters)
        at += text.at(at).isHighSurrogate() && at + 1 < text.size() ? 2 : 1;
    filter->deselect();
    filter->setCursorPosition(at);
}

void TfrmKorvanex::noteTreeReason() {
    // Part of a tree that could not be read while the rest was served (a naming context closed
    // to this account): the user hears of it once, without it stopping anything.
    std::string notice;
    if (directoryContext_ <= 0 || NWDSGetTreeNoticeText(directoryContext_, notice) != 0 ||
        notice.empty())
        return;
    std::string tree;
    NWDSGetContext(directoryContext_, DCK_TREE_NAME, &tree);
    const std::string key = QString::fromStdString(tree).toLower().toStdString();
    if (!treeNoticesShown_[key].insert(notice).second || treeReasonsShown_[key] == notice)
        return;
    kvx::app::ShowMessage(this, QString::fromStdString(notice), kvx::app::MessageKind::Notice);
}

void TfrmKorvanex::repaintWindow() {
    if (isVisible())
        repaint();
}

QTreeWidgetItem* TfrmKorvanex::addPlaceholder(QTreeWidgetItem* parent) {
    auto* placeholder = new KvxTreeNode(parent);
    placeholder->setText(0, QString::fromLatin1(kvx::directory::kPlaceholderText));
    return placeholder;
}

void TfrmKorvanex::deleteNode(QTreeWidgetItem* node) {
    // Every node of the branch gives up its record before the branch goes.
    std::vector<QTreeWidgetItem*> pending{node};
    while (!pending.empty()) {
        QTreeWidgetItem* current = pending.back();
        pending.pop_back();
        tvwNDSDeletion(current);
        for (int i = 0; i < current->childCount(); ++i)
            pending.push_back(current->child(i));
    }
    delete node;
}

void TfrmKorvanex::clearContainerTree() {
    QTreeWidget* tree = ui->tvwNDS;
    while (tree->topLevelItemCount() > 0)
        deleteNode(tree->takeTopLevelItem(0));
}

// ---- Start-up and close --------------------------------------------------------------------

void TfrmKorvanex::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (firstShowDone_)
        return;
    firstShowDone_ = true;
    try {
        FormShow();
    } catch (const std::exception& error) {
        // The rest of the start-up is skipped; the window stays and the program goes on.
        kvx::app::ShowFrameworkError(this, QString::fromLocal8Bit(error.what()));
    }
}

void TfrmKorvanex::FormShow() {
    const NWCCODE rc = NWCallsInit(nullptr, nullptr);
    if (rc != 0) {
        kvx::app::ShowErrorCode(this, QStringLiteral("Cannot NWCallsInit"), rc);
        return;
    }
    ui->cboNDSTree->setCurrentIndex(0);
    ui->PageControl1->setCurrentIndex(0);
    // First start: only the sample trees; the page says how to add a directory of one's own.
    ui->lblAddDirectoryHint->setVisible(kvx::client::loadClientConfig().file.empty());
    LoadDefaults();
    InitNDS();
    LoadClasses();
    LoadParameters();
    if (autorun_)
        Timer1->start();
}

void TfrmKorvanex::restorePlacement(const kvx::app::StoredPlacement& stored, int state) {
    pendingPlacement_ = stored;
    designedInside_ = size();
    placedFrame_ = currentFrame();
    applyPlacement();
    switch (state) {
    case 1:
        setWindowState(Qt::WindowMinimized);
        break;
    case 2:
        setWindowState(Qt::WindowMaximized);
        break;
    default: // 0, and any value the window has no state for
        setWindowState(Qt::WindowNoState);
        break;
    }
    // A window manager frames the window within moments of its showing, or never; the frame is
    // looked at until it is known, for three seconds at most.
    auto* watch = new QTimer(this);
    watch->setInterval(50);
    connect(watch, &QTimer::timeout, this, [this, watch, ticks = 0]() mutable {
        settlePlacement();
        if (++ticks >= 60 || !pendingPlacement_) {
            pendingPlacement_.reset();
            watch->deleteLater();
        }
    });
    watch->start();
}

void TfrmKorvanex::applyPlacement() {
    QList<QRect> areas;
    for (const QScreen* screen : QGuiApplication::screens())
        areas.push_back(screen->availableGeometry());
    const QScreen* primary = QGuiApplication::primaryScreen();
    const QRect primaryArea = primary != nullptr ? primary->availableGeometry() : QRect();
    const QRect outer = kvx::app::placeMainWindow(
        *pendingPlacement_, designedInside_.grownBy(placedFrame_), primaryArea, areas);
    setGeometry(kvx::app::insideOf(outer, placedFrame_)); // the smallest size still applies
}

QMargins TfrmKorvanex::currentFrame() const {
    // Asked of the window system each time: the widget's own idea of its frame is updated only
    // when the window moves, and a window manager may frame it without moving it.
    const QWindow* window = windowHandle();
    return window != nullptr ? window->frameMargins() : QMargins();
}

void TfrmKorvanex::settlePlacement() {
    if (!pendingPlacement_ || !isVisible() || windowState() != Qt::WindowNoState)
        return;
    const QMargins frame = currentFrame();
    if (frame == placedFrame_)
        return;
    placedFrame_ = frame;
    applyPlacement();
    pendingPlacement_.reset(); // placed; from now on the window is the user's to move
}

void TfrmKorvanex::closeEvent(QCloseEvent* event) {
    if (runActive_) {
        // The run holds an open output file and the directory: it is stopped first, if the user
        // says so. The run goes on while the question shows.
        event->ignore();
        if (closeAsked_)
            return;
        closeAsked_ = true;
        kvx::app::AskQuestion(
            this,
            {QStringLiteral("Stop the report and quit?"), QStringLiteral("Stop and quit"),
             QStringLiteral("Continue")},
            [window = QPointer<TfrmKorvanex>(this)](bool stop) {
                if (window == nullptr)
                    return;
                window->closeAsked_ = false;
                if (!stop)
                    return;
                window->quitAfterRun_ = true;
                if (window->runActive_)
                    window->cmdCancelClick(); // the run ends at its next entry, then closes
                else
                    QTimer::singleShot(0, window, [window]() { window->close(); });
            });
        return;
    }
    FormClose();
    event->accept();
}

void TfrmKorvanex::Exit1Click() {
    close();
}

void TfrmKorvanex::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        QPushButton* defaultButton = nullptr;
        switch (ui->PageControl1->currentIndex()) {
        case 0:
            defaultButton = ui->Button2;
            break;
        case 1:
            defaultButton = ui->cmdNextPage2;
            break;
        case 2:
            defaultButton = ui->cmdStart;
            break;
        default:
            break;
        }
        if (defaultButton != nullptr && defaultButton->isEnabled()) {
            defaultButton->click();
            event->accept();
            return;
        }
    }
    QMainWindow::keyPressEvent(event);
}

void TfrmKorvanex::setPanel2(const QString& text) {
    panel2Text_ = text;
    StatusBar1Panel2->setToolTip(text);
    const int room = StatusBar1Panel2->contentsRect().width() - 4;
    StatusBar1Panel2->setText(
        StatusBar1Panel2->fontMetrics().elidedText(text, Qt::ElideMiddle, std::max(room, 0)));
}

bool TfrmKorvanex::eventFilter(QObject* watched, QEvent* event) {
    if (watched == StatusBar1Panel2 && event->type() == QEvent::Resize)
        setPanel2(panel2Text_);
    const bool shortcut = event->type() == QEvent::ShortcutOverride;
    if (shortcut || event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (watched == ui->lvwSearch && key->matches(QKeySequence::Copy)) {
            // The list's own copy takes one cell, the menu's all rows: here the rows selected.
            event->accept();
            if (!shortcut)
                copySelectedResults();
            return true;
        }
        // With no attribute to add, Enter presses the page's "Next ->>" as elsewhere.
        if (watched == ui->lvwAttributes && ui->lvwAttributes->currentItem() != nullptr &&
            (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) &&
            key->modifiers() == Qt::NoModifier) {
            event->accept();
            if (!shortcut)
                cmdAttributeAddClick();
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

// ---- Page flow and help --------------------------------------------------------------------

void TfrmKorvanex::Button2Click() {
    ui->PageControl1->setCurrentIndex(1);
}

void TfrmKorvanex::cmdNextPage2Click() {
    ui->PageControl1->setCurrentIndex(2);
}

void TfrmKorvanex::Button3Click() {
    RunProcess();
}

void TfrmKorvanex::optResultsTabularClick() {
    ui->cboAttributeMulti->setEnabled(false);
}

void TfrmKorvanex::optResultsTabularCrossClick() {
    ui->cboAttributeMulti->setEnabled(true);
}

void TfrmKorvanex::optResultsNonTabularClick() {
    ui->cboAttributeMulti->setEnabled(false);
}

void TfrmKorvanex::cmdExplainTabularClick() {
    if (frmExplain_ == nullptr)
        return;
    frmExplain_->setActivePage(TfrmExplain::pgTabular);
    frmExplain_->exec();
}

void TfrmKorvanex::cmdExplainTabularCrossClick() {
    if (frmExplain_ == nullptr)
        return;
    frmExplain_->setActivePage(TfrmExplain::pgTabularCross);
    frmExplain_->exec();
}

void TfrmKorvanex::cmdExplainNonTabularClick() {
    if (frmExplain_ == nullptr)
        return;
    frmExplain_->setActivePage(TfrmExplain::pgNonTabular);
    frmExplain_->exec();
}

void TfrmKorvanex::About1Click() {
    if (frmAbout_ != nullptr)
        frmAbout_->exec();
}

void TfrmKorvanex::InstructionsforUse1Click() {
    if (frmInstruct_ != nullptr)
        frmInstruct_->exec();
}

// ---- Tree list and container tree ----------------------------------------------------------

void TfrmKorvanex::cmdTreeReloadClick() {
    std::optional<std::vector<std::string>> trees;
    {
        kvx::app::WaitCursor wait;
        repaintWindow();
        trees = kvx::directory::gatherTreeList(
            [this](const std::string& text, NWDSCCODE code) { reportFailure(text, code); });
        if (trees) {
            ui->cboNDSTree->clear();
            for (const auto& name : *trees)
                ui->cboNDSTree->addItem(QString::fromStdString(name));
            // The tree that is open stays the chosen one (a save names it); another is opened
            // only when the user picks it.
            ui->cboNDSTree->setCurrentIndex(-1);
            for (int i = 0; i < ui->cboNDSTree->count(); ++i) {
                if (kvx::client::names::equalNoCase(ui->cboNDSTree->itemText(i).toStdString(),
                                                    openedTreeName_)) {
                    ui->cboNDSTree->setCurrentIndex(i);
                    break;
                }
            }
        }
    }
    repaintWindow();
}

void TfrmKorvanex::Directories1Click() {
    TfrmDirectories dialog(this);
    if (dialog.exec() != QDialog::Accepted)
        return;
    // Every context, buffer and iteration of the old configuration goes with it.
    kvx::client::installTreeProvider(nullptr);
    directoryContext_ = 0;
    treeReasonsShown_.clear();
    treeNoticesShown_.clear();
    beginUserAction();
    const NWCCODE rc = NWCallsInit(nullptr, nullptr);
    if (rc != 0) {
        kvx::app::ShowErrorCode(this, QStringLiteral("Cannot NWCallsInit"), rc);
        return;
    }
    ui->lblAddDirectoryHint->setVisible(false);
    openedTreeName_ = dialog.chosenTree().toStdString();
    cmdTreeReloadClick();
    if (ui->cboNDSTree->currentIndex() < 0 && ui->cboNDSTree->count() > 0)
        ui->cboNDSTree->setCurrentIndex(0);
    cboNDSTreeChange();
}

void TfrmKorvanex::cboNDSTreeChange() {
    InitNDS();
    LoadClasses();
}

void TfrmKorvanex::InitNDS() {
    const std::string treeName = ui->cboNDSTree->currentText().toStdString();
    setTreeStatus(QString()); // a tree that cannot be opened says why again below
    openedTreeName_ = treeName;
    const NWDSContextHandle previous = directoryContext_;
    directoryContext_ = kvx::directory::openDirectoryContext(
        treeName, [this](const std::string& text, NWDSCCODE code) { reportFailure(text, code); });
    // The context of the previous tree is not used again.
    if (previous > 0 && previous != directoryContext_)
        NWDSFreeContext(previous);

    // The Attributes page showed the previous tree's class; it starts empty for this one.
    clearAttributePage();
    clearContainerTree();
    ui->tvwNDS->setSortingEnabled(false);
    auto* root = new KvxTreeNode(ui->tvwNDS);
    root->setText(0, QString::fromLatin1(kvx::directory::kRootText));
    root->record = NodeRecord{kvx::directory::kRootClass, std::string()};
    root->setIcon(0, containerImage(kvx::directory::imgRoot));
    root->setData(0, ImageIndexRole, static_cast<int>(kvx::directory::imgRoot));
    addPlaceholder(root);
    root->setExpanded(true); // lists the first level at once and selects "[root]"
}

void TfrmKorvanex::tvwNDSExpanding(QTreeWidgetItem* node) {
    if (node == nullptr)
        return;
    ui->tvwNDS->setCursor(Qt::WaitCursor);
    repaintWindow();
    do_Expand(node);
    ui->tvwNDS->sortItems(0, Qt::AscendingOrder);
    ui->tvwNDS->setCurrentItem(node);
    ui->tvwNDS->setCursor(Qt::ArrowCursor);
}

void TfrmKorvanex::do_Expand(QTreeWidgetItem* node) {
    if (node->childCount() == 0)
        return;
    QTreeWidgetItem* first = node->child(0);
    if (first->text(0) != QLatin1String(kvx::directory::kPlaceholderText) ||
        nodeRecord(first) != nullptr)
        return;
    deleteNode(node->takeChild(0));
    LoadBranch(node);
}

void TfrmKorvanex::LoadBranch(QTreeWidgetItem* node) {
    std::vector<std::string> ancestors;
    for (QTreeWidgetItem* up = node->parent(); up != nullptr && up->parent() != nullptr;
         up = up->parent())
        ancestors.push_back(up->text(0).toStdString());
    const std::string nameContext = kvx::directory::nameContextOf(
        node->parent() == nullptr, node->text(0).toStdString(), ancestors);

    if (directoryContext_ == 0)
        return; // the context could not be created, and that has been reported
    const std::vector<kvx::directory::ChildEntry> children = kvx::directory::listContainers(
        directoryContext_, nameContext,
        [this](const std::string& text, NWDSCCODE code) { reportFailure(text, code); });

    for (const auto& child : children) {
        auto* item = new KvxTreeNode(node);
        item->setText(0, QString::fromStdString(child.name));
        item->record = child.record;
        if (child.hasPlaceholder)
            addPlaceholder(item);
        item->setIcon(0, containerImage(child.imageIndex));
        item->setData(0, ImageIndexRole, child.imageIndex);
    }
    if (!children.empty())
        repaintWindow();
    noteTreeReason();
}

void TfrmKorvanex::tvwNDSChange() {
    // The selected node is read only when a report or a settings file needs it.
}

void TfrmKorvanex::tvwNDSDeletion(QTreeWidgetItem* node) {
    if (auto* treeNode = dynamic_cast<KvxTreeNode*>(node))
        treeNode->record.reset();
}
