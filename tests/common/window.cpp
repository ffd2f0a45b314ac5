#include "common/window.h"

#include "results/resultsmodel.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QHeaderView>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <QTreeWidget>

#include <algorithm>

namespace kvx::test {

namespace {

// The application's argument vector stays ours, so that a test can hand the window the command
// line it wants: Qt reads the arguments from it whenever they are asked for.
int g_argc = 1;
char g_programName[] = "kvx_window_tests";
char* g_argv[64] = {g_programName, nullptr};
std::vector<std::string> g_argStore;

QTemporaryDir* currentTempDir = nullptr;

} // namespace

kvx::app::KvxApplication& application() {
    // Kept until the process ends: Qt's own objects must not outlive a static application. Saved
    // defaults come from the program's private configuration folder (tests/common).
    static auto* app = new kvx::app::KvxApplication(g_argc, g_argv);
    return *app;
}

void setArguments(const std::vector<std::string>& args) {
    g_argStore = args;
    g_argc = 1;
    for (std::string& a : g_argStore) {
        if (g_argc < 62)
            g_argv[g_argc++] = a.data();
    }
    g_argv[g_argc] = nullptr;
}

MessageRecorder::MessageRecorder() {
    previous_ = kvx::app::setMessageHandler(
        [this](QWidget*, const kvx::app::Message& message) { messages.push_back(message); });
}

MessageRecorder::~MessageRecorder() {
    kvx::app::setMessageHandler(previous_);
}

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

bool waitFor(const std::function<bool()>& done, int ms) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < ms)
        QTest::qWait(20);
    return done();
}

QStringList column(const QTreeWidget* list, int c) {
    QStringList texts;
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        texts << list->topLevelItem(i)->text(c);
    return texts;
}

QStringList listTexts(const QListWidget* list) {
    QStringList texts;
    for (int i = 0; i < list->count(); ++i)
        texts << list->item(i)->text();
    return texts;
}

QStringList comboTexts(const QComboBox* combo) {
    QStringList texts;
    for (int i = 0; i < combo->count(); ++i)
        texts << combo->itemText(i);
    return texts;
}

QStringList childTexts(const QTreeWidgetItem* node) {
    QStringList texts;
    for (int i = 0; i < node->childCount(); ++i)
        texts << node->child(i)->text(0);
    return texts;
}

QTreeWidgetItem* childNamed(QTreeWidgetItem* node, const QString& text) {
    for (int i = 0; node != nullptr && i < node->childCount(); ++i) {
        if (node->child(i)->text(0) == text)
            return node->child(i);
    }
    return nullptr;
}

QStringList localeSorted(QStringList texts) {
    std::sort(texts.begin(), texts.end(), [](const QString& a, const QString& b) {
        return QString::localeAwareCompare(a, b) < 0;
    });
    return texts;
}

QString pathOf(const QTreeWidgetItem* node) {
    QStringList parts;
    for (; node != nullptr && node->parent() != nullptr; node = node->parent())
        parts << node->text(0);
    return parts.join('.');
}

void WindowTest::SetUp() {
    application();
    currentTempDir = new QTemporaryDir;
    ASSERT_TRUE(currentTempDir->isValid());
    tempDir = currentTempDir->path();
    previousHandler_ =
        kvx::app::setMessageHandler([this](QWidget*, const kvx::app::Message& message) {
            messages.push_back(message);
            panels.push_back(window ? window->statusText(1) : QString());
        });
    kvx::app::setQuestionHandler([this](QWidget*, const kvx::app::Question& question,
                                        const std::function<void(bool)>& answered) {
        questions.push_back(question);
        answered(questionAnswer);
    });
}

void WindowTest::TearDown() {
    closeWindows();
    kvx::app::setMessageHandler(previousHandler_);
    kvx::app::setQuestionHandler(nullptr);
    kvx::app::setFileDialogHandler(nullptr);
    setArguments({});
    resetClient();
    delete currentTempDir;
    currentTempDir = nullptr;
    QApplication::restoreOverrideCursor(); // in case a failed test left one behind
}

void WindowTest::serveSampleTree() {
    ASSERT_TRUE(QFile::exists(QString::fromStdString(dataDir()) + "/trees/ACME/acme.ldif"));
    resetClient();
}

void WindowTest::start() {
    window = std::make_unique<TfrmKorvanex>();
    frmAbout = std::make_unique<TfrmAbout>(window.get());
    frmExplain = std::make_unique<TfrmExplain>();
    frmInstruct = std::make_unique<TfrmInstruct>();
    window->setHelpWindows(frmAbout.get(), frmExplain.get(), frmInstruct.get());
    window->show();
}

void WindowTest::closeWindows() {
    frmInstruct.reset();
    frmExplain.reset();
    frmAbout.reset();
    window.reset();
}

QTreeWidget* WindowTest::tree() const {
    return find<QTreeWidget>("tvwNDS");
}

QListWidget* WindowTest::classes() const {
    return find<QListWidget>("lstNDSClasses");
}

QTreeWidget* WindowTest::selected() const {
    return find<QTreeWidget>("lvwSelectedAttributes");
}

QTreeWidgetItem* WindowTest::walkTo(const QStringList& path) {
    QTreeWidgetItem* node = tree()->topLevelItem(0);
    for (const QString& name : path) {
        if (node == nullptr)
            break;
        node->setExpanded(true);
        QTreeWidgetItem* next = childNamed(node, name);
        EXPECT_NE(next, nullptr) << name.toStdString();
        node = next;
    }
    if (node != nullptr)
        tree()->setCurrentItem(node);
    return node;
}

void WindowTest::chooseClass(const QString& name) {
    auto* list = classes();
    const QList<QListWidgetItem*> found = list->findItems(name, Qt::MatchExactly);
    ASSERT_EQ(found.size(), 1) << name.toStdString();
    // The class list is on the first page; show it so the click lands on the item.
    find<QTabWidget>("PageControl1")->setCurrentIndex(0);
    list->scrollToItem(found.first());
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                      list->visualItemRect(found.first()).center());
    ASSERT_EQ(list->currentItem(), found.first());
}

QTreeWidgetItem* WindowTest::rowNamed(QTreeWidget* list, const QString& caption) const {
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        if (list->topLevelItem(i)->text(0) == caption)
            return list->topLevelItem(i);
    }
    return nullptr;
}

void WindowTest::chooseRow(QTreeWidget* list, const QString& caption) {
    if (caption.isNull()) {
        list->clearSelection();
        list->setCurrentItem(nullptr);
        return;
    }
    QTreeWidgetItem* row = rowNamed(list, caption);
    ASSERT_NE(row, nullptr) << caption.toStdString();
    list->setCurrentItem(row);
}

void WindowTest::chooseAttributes(const QStringList& names) {
    auto* available = find<QTreeWidget>("lvwAttributes");
    for (const QString& name : names) {
        chooseRow(available, name);
        find<QPushButton>("cmdAttributeAdd")->click();
    }
}

QStringList WindowTest::comboItems() const {
    return comboTexts(find<KvxDropDownComboBox>("cboAttributeMulti"));
}

void WindowTest::dropDownCombo() {
    auto* combo = find<KvxDropDownComboBox>("cboAttributeMulti");
    combo->showPopup();
    combo->hidePopup();
}

void WindowTest::pickExpandedAttribute(const QString& item) {
    auto* combo = find<KvxDropDownComboBox>("cboAttributeMulti");
    combo->showPopup();
    const int index = combo->findText(item);
    ASSERT_GE(index, 0) << item.toStdString();
    combo->setCurrentIndex(index);
    combo->hidePopup();
}

void WindowTest::setOutput(const Output& output, const QString& fileName) {
    find<QCheckBox>("chkOutputWindow")->setChecked(output.toWindow);
    find<QCheckBox>("chkOutputFile")->setChecked(output.toFile);
    find<QCheckBox>("chkOutputColumnHeaders")->setChecked(output.headers);
    find<QCheckBox>("chkOutputEncloseQuotes")->setChecked(output.quotes);
    find<QCheckBox>("chkHideEmptyColumns")->setChecked(output.hideEmpty);
    find<QLineEdit>("txtOutputSeparator")->setText(output.separator);
    find<QLineEdit>("txtOutputFilename")->setText(fileName);
}

std::string WindowTest::outputPage() const {
    std::string page;
    for (const char* box : {"chkOutputWindow", "chkOutputFile", "chkOutputColumnHeaders",
                            "chkOutputEncloseQuotes", "chkHideEmptyColumns"})
        page += std::string(box + 3) + "=" + (find<QCheckBox>(box)->isChecked() ? "1 " : "0 ");
    return page + "separator=[" + find<QLineEdit>("txtOutputSeparator")->text().toStdString() +
           "] name=[" + find<QLineEdit>("txtOutputFilename")->text().toStdString() + "]";
}

void WindowTest::pressStart() {
    find<QTabWidget>("PageControl1")->setCurrentIndex(2);
    find<QPushButton>("cmdStart")->click();
}

void WindowTest::runReport(const QStringList& path, const QString& className,
                           const QStringList& attributes, const Output& output,
                           const QString& fileName) {
    walkTo(path);
    chooseClass(className);
    chooseAttributes(attributes);
    setOutput(output, fileName);
    pressStart();
}

QStringList WindowTest::resultCaptions() const {
    QStringList texts;
    const kvx::ResultsModel* model = window->resultsModel();
    for (int c = 0; c < model->columnCount(); ++c)
        texts << model->headerData(c, Qt::Horizontal).toString();
    return texts;
}

QStringList WindowTest::resultColumn(int c) const {
    QStringList texts;
    const kvx::ResultsModel* model = window->resultsModel();
    for (int r = 0; r < model->rowCount(); ++r)
        texts << model->data(model->index(r, c)).toString();
    return texts;
}

std::vector<std::vector<std::string>> WindowTest::resultRows() const {
    std::vector<std::vector<std::string>> rows;
    const kvx::ResultsModel* model = window->resultsModel();
    for (int r = 0; r < model->rowCount(); ++r) {
        std::vector<std::string> row;
        for (int c = 0; c < model->columnCount(); ++c)
            row.push_back(model->data(model->index(r, c)).toString().toStdString());
        rows.push_back(std::move(row));
    }
    return rows;
}

void WindowTest::clickHeader(int c) {
    auto* view = find<QTreeView>("lvwSearch");
    QHeaderView* header = view->header();
    // The section is scrolled into view first, as a user would, then clicked in its middle.
    view->scrollTo(view->model()->index(0, c));
    const int x = header->sectionViewportPosition(c) + header->sectionSize(c) / 2;
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, QPoint(x, header->height() / 2));
}

int WindowTest::sectionWidth(int c) const {
    return find<QTreeView>("lvwSearch")->header()->sectionSize(c);
}

bool WindowTest::sectionHidden(int c) const {
    return find<QTreeView>("lvwSearch")->isColumnHidden(c);
}

std::shared_ptr<std::vector<kvx::app::FileDialogKind>>
WindowTest::answerDialogs(const QString& path) {
    auto kinds = std::make_shared<std::vector<kvx::app::FileDialogKind>>();
    kvx::app::setFileDialogHandler([kinds, path](QWidget*, kvx::app::FileDialogKind kind) {
        kinds->push_back(kind);
        return path;
    });
    return kinds;
}

std::string WindowTest::readFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return "<missing>";
    return file.readAll().toStdString();
}

void WindowTest::writeFile(const QString& path, const std::string& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(file.write(bytes.data(), static_cast<qint64>(bytes.size())),
              static_cast<qint64>(bytes.size()));
}

QString WindowTest::tempPath(const char* name) const {
    return tempDir + QLatin1Char('/') + QString::fromUtf8(name);
}

QStringList WindowTest::messageTexts() const {
    QStringList texts;
    for (const auto& m : messages)
        texts << m.text;
    return texts;
}

} // namespace kvx::test
