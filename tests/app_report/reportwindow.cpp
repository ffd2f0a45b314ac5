#include "reportwindow.h"

#include "directory/client/config.h"
#include "directory/client/embedded/embedded.h"
#include "directory/client/faults.h"
#include "directory/client/registry.h"
#include "directory/client/testing.h"
#include "help/frmabout.h"
#include "help/frmexplaintabular.h"
#include "help/frminstructions.h"
#include "results/resultsmodel.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>
#include <QTreeWidget>

#include <cstdlib>

namespace kc = kvx::client;

namespace kvx::reporttest {

namespace {

kvx::app::KvxApplication& application() {
    static int argc = 1;
    static char name[] = "app_report_tests";
    static char* argv[] = {name, nullptr};
    // Kept until the process ends: Qt's own objects must not outlive a static application. Saved
    // defaults come from the program's private configuration folder (tests/common).
    static auto* app = new kvx::app::KvxApplication(argc, argv);
    return *app;
}

QTemporaryDir* currentTempDir = nullptr;

} // namespace

void ReportWindowTest::SetUp() {
    application();
    currentTempDir = new QTemporaryDir;
    ASSERT_TRUE(currentTempDir->isValid());
    tempDir = currentTempDir->path();
    previousHandler_ = kvx::app::setMessageHandler(
        [this](QWidget*, const kvx::app::Message& message) { messages.push_back(message); });
}

void ReportWindowTest::TearDown() {
    frmInstruct.reset();
    frmExplain.reset();
    frmAbout.reset();
    window.reset();
    kvx::app::setMessageHandler(previousHandler_);
    kc::faults::clear();
    kc::setResultBufferCapacityForTesting(0);
    kc::installTreeProvider(nullptr);
    kc::resetClient();
    delete currentTempDir;
    currentTempDir = nullptr;
    QApplication::restoreOverrideCursor(); // in case a failed test left one behind
}

void ReportWindowTest::serveSampleTree() {
    const char* data = std::getenv("KORVANEX_DATA_DIR");
    ASSERT_NE(data, nullptr) << "the test environment names the data folder";
    ASSERT_TRUE(QFile::exists(QString::fromLocal8Bit(data) + "/trees/ACME/acme.ldif"));
    kc::faults::clear();
    kc::installTreeProvider(nullptr);
    kc::resetClient();
}

void ReportWindowTest::serveText(const std::string& schema, const std::string& ldif) {
    kc::faults::clear();
    kc::resetClient();
    auto provider = std::make_unique<kc::StaticTreeProvider>();
    provider->add(kc::makeEmbeddedBackendFromText("T", schema, ldif));
    provider->setDefaultTree("T");
    kc::installTreeProvider(std::move(provider));
}

void ReportWindowTest::start() {
    window = std::make_unique<TfrmKorvanex>();
    frmAbout = std::make_unique<TfrmAbout>(window.get());
    frmExplain = std::make_unique<TfrmExplain>();
    frmInstruct = std::make_unique<TfrmInstruct>();
    window->setHelpWindows(frmAbout.get(), frmExplain.get(), frmInstruct.get());
    window->show();
}

QTreeWidgetItem* ReportWindowTest::walkTo(const QStringList& path) {
    auto* tree = find<QTreeWidget>("tvwNDS");
    QTreeWidgetItem* node = tree->topLevelItem(0);
    for (const QString& name : path) {
        if (node == nullptr) {
            break;
        }
        node->setExpanded(true);
        QTreeWidgetItem* next = nullptr;
        for (int i = 0; i < node->childCount(); ++i) {
            if (node->child(i)->text(0) == name) {
                next = node->child(i);
            }
        }
        EXPECT_NE(next, nullptr) << name.toStdString();
        node = next;
    }
    if (node != nullptr) {
        tree->setCurrentItem(node);
    }
    return node;
}

void ReportWindowTest::chooseClass(const QString& name) {
    auto* list = find<QListWidget>("lstNDSClasses");
    const QList<QListWidgetItem*> found = list->findItems(name, Qt::MatchExactly);
    ASSERT_EQ(found.size(), 1) << name.toStdString();
    // The class list is on the first page; show it so the click lands on the item.
    find<QTabWidget>("PageControl1")->setCurrentIndex(0);
    list->scrollToItem(found.first());
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                      list->visualItemRect(found.first()).center());
    ASSERT_EQ(list->currentItem(), found.first());
}

QTreeWidgetItem* ReportWindowTest::rowNamed(QTreeWidget* list, const QString& caption) const {
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        if (list->topLevelItem(i)->text(0) == caption) {
            return list->topLevelItem(i);
        }
    }
    return nullptr;
}

void ReportWindowTest::chooseRow(QTreeWidget* list, const QString& caption) {
    if (caption.isNull()) {
        list->clearSelection();
        list->setCurrentItem(nullptr);
        return;
    }
    QTreeWidgetItem* row = rowNamed(list, caption);
    ASSERT_NE(row, nullptr) << caption.toStdString();
    list->setCurrentItem(row);
}

void ReportWindowTest::chooseAttributes(const QStringList& names) {
    auto* available = find<QTreeWidget>("lvwAttributes");
    for (const QString& name : names) {
        chooseRow(available, name);
        find<QPushButton>("cmdAttributeAdd")->click();
    }
}

QStringList ReportWindowTest::captions(const QTreeWidget* list) {
    return column(list, 0);
}

QStringList ReportWindowTest::column(const QTreeWidget* list, int c) {
    QStringList texts;
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        texts << list->topLevelItem(i)->text(c);
    }
    return texts;
}

QStringList ReportWindowTest::comboItems() const {
    auto* combo = find<KvxDropDownComboBox>("cboAttributeMulti");
    QStringList items;
    for (int i = 0; i < combo->count(); ++i) {
        items << combo->itemText(i);
    }
    return items;
}

void ReportWindowTest::dropDownCombo() {
    auto* combo = find<KvxDropDownComboBox>("cboAttributeMulti");
    combo->showPopup();
    combo->hidePopup();
}

void ReportWindowTest::pickExpandedAttribute(const QString& item) {
    auto* combo = find<KvxDropDownComboBox>("cboAttributeMulti");
    combo->showPopup();
    const int index = combo->findText(item);
    ASSERT_GE(index, 0) << item.toStdString();
    combo->setCurrentIndex(index);
    combo->hidePopup();
}

void ReportWindowTest::setOutput(const Output& output, const QString& fileName) {
    find<QCheckBox>("chkOutputWindow")->setChecked(output.toWindow);
    find<QCheckBox>("chkOutputFile")->setChecked(output.toFile);
    find<QCheckBox>("chkOutputColumnHeaders")->setChecked(output.headers);
    find<QCheckBox>("chkOutputEncloseQuotes")->setChecked(output.quotes);
    find<QCheckBox>("chkHideEmptyColumns")->setChecked(output.hideEmpty);
    find<QLineEdit>("txtOutputSeparator")->setText(output.separator);
    find<QLineEdit>("txtOutputFilename")->setText(fileName);
}

void ReportWindowTest::pressStart() {
    find<QTabWidget>("PageControl1")->setCurrentIndex(2);
    find<QPushButton>("cmdStart")->click();
}

QStringList ReportWindowTest::resultCaptions() const {
    QStringList texts;
    const kvx::ResultsModel* model = window->resultsModel();
    for (int c = 0; c < model->columnCount(); ++c) {
        texts << model->headerData(c, Qt::Horizontal).toString();
    }
    return texts;
}

QStringList ReportWindowTest::resultColumn(int c) const {
    QStringList texts;
    const kvx::ResultsModel* model = window->resultsModel();
    for (int r = 0; r < model->rowCount(); ++r) {
        texts << model->data(model->index(r, c)).toString();
    }
    return texts;
}

std::vector<std::vector<std::string>> ReportWindowTest::resultRows() const {
    std::vector<std::vector<std::string>> rows;
    const kvx::ResultsModel* model = window->resultsModel();
    for (int r = 0; r < model->rowCount(); ++r) {
        std::vector<std::string> row;
        for (int c = 0; c < model->columnCount(); ++c) {
            row.push_back(model->data(model->index(r, c)).toString().toStdString());
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

int ReportWindowTest::sectionWidth(int c) const {
    return find<QTreeView>("lvwSearch")->header()->sectionSize(c);
}

bool ReportWindowTest::sectionHidden(int c) const {
    return find<QTreeView>("lvwSearch")->isColumnHidden(c);
}

std::string ReportWindowTest::readFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return "<missing>";
    }
    return file.readAll().toStdString();
}

void ReportWindowTest::writeFile(const QString& path, const std::string& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(file.write(bytes.data(), static_cast<qint64>(bytes.size())),
              static_cast<qint64>(bytes.size()));
}

QString ReportWindowTest::tempPath(const char* name) const {
    return tempDir + QLatin1Char('/') + QString::fromUtf8(name);
}

std::vector<QString> ReportWindowTest::messageTexts() const {
    std::vector<QString> texts;
    for (const auto& m : messages) {
        texts.push_back(m.text);
    }
    return texts;
}

} // namespace kvx::reporttest
