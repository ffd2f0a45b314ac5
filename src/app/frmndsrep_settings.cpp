// The window side of what is kept between runs: saved defaults and window placement, batch
// settings files, and the command line with its unattended run.
#include "app/frmndsrep.h"

#include "app/filedialogs.h"
#include "app/messages.h"
#include "results/resultsmodel.h"
#include "settings/commandline.h"
#include "settings/profile.h"
#include "ui_frmndsrep.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QTimer>

#include <cstdio>

using kvx::settings::ReadIniInteger;
using kvx::settings::ReadIniString;
using kvx::settings::WriteIniInteger;
using kvx::settings::WriteIniString;

namespace {

const std::string kDefaultsFile = "KORVANEX.INI";
const std::string kSizeSection = "Size";
const std::string kSection = "KORVANEX";

std::string text(const QString& s) {
    return s.toStdString();
}
QString qtext(const std::string& s) {
    return QString::fromStdString(s);
}

bool sameName(const QString& a, const std::string& b) {
    return kvx::settings::equalIgnoringAsciiCase(a.toStdString(), b);
}

// Chooses or clears an option button from code. Choosing one that is not chosen runs its click
// handling; clearing runs nothing, and may leave no mode chosen at all.
void setOption(QRadioButton* option, bool chosen) {
    if (chosen) {
        option->setChecked(true);
    } else if (option->isChecked()) {
        option->setAutoExclusive(false);
        option->setChecked(false);
        option->setAutoExclusive(true);
    }
}

} // namespace

// ---- Saved defaults and window placement ---------------------------------------------------

void TfrmKorvanex::LoadDefaults() {
    const int width = ReadIniInteger(kDefaultsFile, kSizeSection, "Width", -1);
    if (width != -1) {
        resize(width, height()); // the smallest size still applies
    }
    const int height_ = ReadIniInteger(kDefaultsFile, kSizeSection, "Height", -1);
    if (height_ != -1) {
        resize(this->width(), height_);
    }
    const QScreen* screen = QGuiApplication::primaryScreen();
    const QSize screenSize = screen != nullptr ? screen->geometry().size() : QSize(0, 0);
    const QSize outer = frameGeometry().size();
    int top = ReadIniInteger(kDefaultsFile, kSizeSection, "Top", -1);
    if (top == -1) {
        top = (screenSize.height() - outer.height()) / 2; // truncated toward zero
    }
    int left = ReadIniInteger(kDefaultsFile, kSizeSection, "Left", -1);
    if (left == -1) {
        left = (screenSize.width() - outer.width()) / 2;
    }
    move(left, top);
    switch (ReadIniInteger(kDefaultsFile, kSizeSection, "State", 0)) {
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

    ui->chkOutputWindow->setChecked(ReadIniInteger(kDefaultsFile, kSection, "OutputWindow", 1) !=
                                    0);
    ui->chkOutputFile->setChecked(ReadIniInteger(kDefaultsFile, kSection, "OutputFile", 0) != 0);
    ui->chkHideEmptyColumns->setChecked(
        ReadIniInteger(kDefaultsFile, kSection, "HideEmptyColumns", 1) != 0);
    ui->chkOutputEncloseQuotes->setChecked(
        ReadIniInteger(kDefaultsFile, kSection, "OutputEncloseQuotes", 0) != 0);
    ui->chkOutputColumnHeaders->setChecked(
        ReadIniInteger(kDefaultsFile, kSection, "OutputColumnHeaders", 0) != 0);
    ui->txtOutputFilename->setText(
        qtext(ReadIniString(kDefaultsFile, kSection, "OutputFileName", "NDSReport.txt")));
    ui->txtOutputSeparator->setText(
        qtext(ReadIniString(kDefaultsFile, kSection, "OutputSeparator", ",")));
}

void TfrmKorvanex::Button1Click() {
    try {
        WriteIniInteger(kDefaultsFile, kSection, "OutputWindow", ui->chkOutputWindow->isChecked());
        WriteIniInteger(kDefaultsFile, kSection, "OutputFile", ui->chkOutputFile->isChecked());
        WriteIniInteger(kDefaultsFile, kSection, "HideEmptyColumns",
                        ui->chkHideEmptyColumns->isChecked());
        WriteIniInteger(kDefaultsFile, kSection, "OutputEncloseQuotes",
                        ui->chkOutputEncloseQuotes->isChecked());
        WriteIniInteger(kDefaultsFile, kSection, "OutputColumnHeaders",
                        ui->chkOutputColumnHeaders->isChecked());
        WriteIniString(kDefaultsFile, kSection, "OutputFileName",
                       text(ui->txtOutputFilename->text()));
        WriteIniString(kDefaultsFile, kSection, "OutputSeparator",
                       text(ui->txtOutputSeparator->text()));
    } catch (const kvx::settings::ProfileWriteError& error) {
        kvx::app::ShowFrameworkError(this, QString::fromStdString(error.what()));
    }
}

void TfrmKorvanex::FormClose() {
    // A placement that cannot be written is shown, and the window still closes.
    try {
        int state = 0;
        if (isMinimized()) {
            state = 1;
        } else if (isMaximized()) {
            state = 2;
        }
        WriteIniInteger(kDefaultsFile, kSizeSection, "State", state);
        if (state != 0) {
            return;
        }
        const QRect outer = frameGeometry();
        WriteIniInteger(kDefaultsFile, kSizeSection, "Width", outer.width());
        WriteIniInteger(kDefaultsFile, kSizeSection, "Height", outer.height());
        WriteIniInteger(kDefaultsFile, kSizeSection, "Top", outer.top());
        WriteIniInteger(kDefaultsFile, kSizeSection, "Left", outer.left());
    } catch (const kvx::settings::ProfileWriteError& error) {
        kvx::app::ShowFrameworkError(this, QString::fromStdString(error.what()));
    }
}

// ---- Batch settings files ------------------------------------------------------------------

void TfrmKorvanex::cmdSaveClick() {
    const QString chosen = kvx::app::getSaveSettingsFileName(this);
    if (chosen.isEmpty()) {
        return;
    }
    const std::string path = text(chosen);
    std::remove(path.c_str()); // the file holds exactly the keys of this save
    try {
        WriteIniString(path, kSection, "TreeName", text(ui->cboNDSTree->currentText()));
        const std::optional<QString> start = selectedDistinguishedName();
        if (!start) {
            kvx::app::ShowMessage(this,
                                  QStringLiteral("Select the starting point in the NDS Tree"));
            return;
        }
        const std::vector<std::string> chain = kvx::settings::startingPointChain(text(*start));
        for (std::size_t i = 0; i < chain.size(); ++i) {
            WriteIniString(path, kSection, "Context" + std::to_string(i + 1), chain[i]);
        }
        WriteIniInteger(path, kSection, "ContextCount", static_cast<std::int32_t>(chain.size()));
        const QListWidgetItem* cls = ui->lstNDSClasses->currentItem();
        WriteIniString(path, kSection, "classtype",
                       cls != nullptr && cls->isSelected() ? text(cls->text()) : std::string());
        WriteIniInteger(path, kSection, "chkOutputWindow", ui->chkOutputWindow->isChecked());
        WriteIniInteger(path, kSection, "chkOutputFile", ui->chkOutputFile->isChecked());
        WriteIniInteger(path, kSection, "chkHideEmptyColumns",
                        ui->chkHideEmptyColumns->isChecked());
        WriteIniString(path, kSection, "txtOutputFilename", text(ui->txtOutputFilename->text()));
        WriteIniString(path, kSection, "txtOutputSeparator", text(ui->txtOutputSeparator->text()));
        WriteIniInteger(path, kSection, "chkOutputEncloseQuotes",
                        ui->chkOutputEncloseQuotes->isChecked());
        WriteIniInteger(path, kSection, "chkOutputColumnHeaders",
                        ui->chkOutputColumnHeaders->isChecked());
        WriteIniInteger(path, kSection, "optResultsTabular", ui->optResultsTabular->isChecked());
        WriteIniInteger(path, kSection, "optResultsTabularCross",
                        ui->optResultsTabularCross->isChecked());
        WriteIniInteger(path, kSection, "optResultsNonTabular",
                        ui->optResultsNonTabular->isChecked());
        WriteIniInteger(path, kSection, "cboAttributesMulti",
                        ui->cboAttributeMulti->currentIndex());
        const int rows = ui->lvwSelectedAttributes->topLevelItemCount();
        WriteIniInteger(path, kSection, "AttributeCount", rows);
        for (int i = 0; i < rows; ++i) {
            const QTreeWidgetItem* row = ui->lvwSelectedAttributes->topLevelItem(i);
            const std::string n = std::to_string(i);
            WriteIniString(path, kSection, "lvwSelectedeAttributes" + n, text(row->text(0)));
            WriteIniString(path, kSection, "lvwSelectedeAttributesSingle" + n, text(row->text(1)));
            WriteIniString(path, kSection, "lvwSelectedeAttributesSyntax" + n, text(row->text(2)));
        }
    } catch (const kvx::settings::ProfileWriteError& error) {
        kvx::app::ShowFrameworkError(this, QString::fromStdString(error.what()));
    }
}

void TfrmKorvanex::cmdLoadClick() {
    const QString chosen = kvx::app::getOpenSettingsFileName(this);
    if (chosen.isEmpty()) {
        return;
    }
    LoadDetailsFromFile(chosen);
}

void TfrmKorvanex::LoadDetailsFromFile(const QString& fileName) {
    const std::string path = text(fileName);
    auto readText = [&path](const std::string& key) {
        return ReadIniString(path, kSection, key, std::string());
    };
    auto readFlag = [&path](const std::string& key) {
        return ReadIniInteger(path, kSection, key, 0) != 0;
    };

    // 1. The lists start empty; the results list keeps its columns.
    ui->lvwSelectedAttributes->clear();
    ui->lvwAttributes->clear();
    results_->clear();
    ui->cboNDSTree->setCurrentIndex(-1);

    // 2-3. The tree.
    const std::string treeName = readText("TreeName");
    if (!kvx::settings::equalIgnoringAsciiCase(treeName, "Default")) {
        cmdTreeReloadClick();
    }
    for (int i = 0; i < ui->cboNDSTree->count(); ++i) {
        if (sameName(ui->cboNDSTree->itemText(i), treeName)) {
            ui->cboNDSTree->setCurrentIndex(i);
        }
    }
    // A file saved for another tree than the one open is loaded into that tree: it is opened
    // first, as the user's own choice of the tree would open it.
    if (ui->cboNDSTree->currentIndex() >= 0 &&
        !sameName(ui->cboNDSTree->currentText(), openedTreeName_)) {
        InitNDS();
        LoadClasses();
    }

    // 4. The container walk, from "[root]" down the stored chain.
    if (QTreeWidgetItem* current = ui->tvwNDS->topLevelItem(0)) {
        const int count = ReadIniInteger(path, kSection, "ContextCount", 0);
        for (int k = count; k >= 1 || k == count; --k) {
            const std::string name = readText("Context" + std::to_string(k));
            for (int c = 0; c < current->childCount(); ++c) {
                QTreeWidgetItem* child = current->child(c);
                if (nodeRecord(child) != nullptr && sameName(child->text(0), name)) {
                    child->setExpanded(true); // lists its children and selects it
                    ui->tvwNDS->setCurrentItem(child);
                    current = child;
                    break;
                }
            }
            if (k < 1) {
                break;
            }
        }
    }

    // 5-6. The class and its attributes.
    const std::string className = readText("classtype");
    for (int i = 0; i < ui->lstNDSClasses->count(); ++i) {
        if (sameName(ui->lstNDSClasses->item(i)->text(), className)) {
            ui->lstNDSClasses->setCurrentRow(i);
        }
    }
    const QListWidgetItem* chosenClass = ui->lstNDSClasses->currentItem();
    if (chosenClass != nullptr && chosenClass->isSelected()) {
        ui->lvwAttributes->clear();
        LoadAttributes(chosenClass->text());
    }
    // With no class chosen there are no attributes to load; the rest of the file still applies.

    // 7. The output options.
    ui->chkOutputWindow->setChecked(readFlag("chkOutputWindow"));
    ui->chkOutputFile->setChecked(readFlag("chkOutputFile"));
    ui->chkHideEmptyColumns->setChecked(readFlag("chkHideEmptyColumns"));
    ui->txtOutputFilename->setText(qtext(readText("txtOutputFilename")));
    ui->txtOutputSeparator->setText(qtext(readText("txtOutputSeparator")));
    ui->chkOutputEncloseQuotes->setChecked(readFlag("chkOutputEncloseQuotes"));
    ui->chkOutputColumnHeaders->setChecked(readFlag("chkOutputColumnHeaders"));

    // 8. The selected attributes, as the file has them; restored rows sort as text.
    ui->lvwSelectedAttributes->clear();
    const int rows = ReadIniInteger(path, kSection, "AttributeCount", 0);
    QList<QTreeWidgetItem*> items;
    for (int i = 0; i < rows; ++i) {
        const std::string n = std::to_string(i);
        auto* row = new KvxLocaleSortItem();
        row->setText(0, qtext(readText("lvwSelectedeAttributes" + n)));
        row->setText(1, qtext(readText("lvwSelectedeAttributesSingle" + n)));
        row->setText(2, qtext(readText("lvwSelectedeAttributesSyntax" + n)));
        row->setData(0, Qt::UserRole, 0);
        items.push_back(row);
    }
    ui->lvwSelectedAttributes->addTopLevelItems(items);

    // 9-11. The expanded attribute's list, the report mode and the expanded attribute.
    rebuildExpandedAttributeItems();
    setOption(ui->optResultsTabular, readFlag("optResultsTabular"));
    setOption(ui->optResultsTabularCross, readFlag("optResultsTabularCross"));
    setOption(ui->optResultsNonTabular, readFlag("optResultsNonTabular"));
    const int expanded = ReadIniInteger(path, kSection, "cboAttributesMulti", 0);
    ui->cboAttributeMulti->setCurrentIndex(
        expanded >= 0 && expanded < ui->cboAttributeMulti->count() ? expanded : -1);
}

// ---- Command line and unattended run -------------------------------------------------------

void TfrmKorvanex::LoadParameters() {
    autorun_ = false;
    autoclose_ = false;
    QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() <= 1) {
        return;
    }
    arguments.removeFirst();
    std::vector<std::string> args;
    for (const QString& a : arguments) {
        args.push_back(a.toStdString());
    }
    const kvx::settings::CommandLine line = kvx::settings::parseCommandLine(args);
    for (const std::string& file : line.settingsFiles) {
        batchSettingsFileName_ = qtext(file);
        LoadDetailsFromFile(batchSettingsFileName_);
    }
    autorun_ = line.autorun;
    autoclose_ = line.autoclose;
}

void TfrmKorvanex::Timer1Timer() {
    Timer1->stop();
    if (autorun_) {
        QString notice = QStringLiteral("Auto Running %1").arg(batchSettingsFileName_);
        if (autoclose_) {
            notice += QStringLiteral(" - Will close when complete");
        }
        StatusBar1Panel2->setText(notice);
        repaintWindow();
        RunProcess();
    }
    StatusBar1Panel2->setText(QString());
    if (autoclose_) {
        close();
    }
}
