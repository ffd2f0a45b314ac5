// The window side of what is kept between runs: saved defaults and window placement, batch
// settings files, and the command line with its unattended run.
#include "app/frmndsrep.h"

#include "app/filedialogs.h"
#include "app/messages.h"
#include "directory/schemaread.h"
#include "directory/syntax.h"
#include "directory/treebrowse.h"
#include "results/resultsmodel.h"
#include "settings/batchfile.h"
#include "settings/commandline.h"
#include "settings/profile.h"
#include "ui_frmndsrep.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QTimer>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <optional>

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

bool nameWithin(const std::string& wanted, const kvx::directory::NodeRecord* node, bool exactly) {
    return node != nullptr &&
           kvx::directory::containerNameWithin(wanted, node->distinguishedName, exactly);
}

// The row of the list captioned `name`, nullptr when there is none.
const QTreeWidgetItem* rowNamed(const QTreeWidget& list, const std::string& name) {
    for (int i = 0; i < list.topLevelItemCount(); ++i) {
        if (sameName(list.topLevelItem(i)->text(0), name)) {
            return list.topLevelItem(i);
        }
    }
    return nullptr;
}

// How a column of the syntax a batch file names sorts; text for a name the table does not have.
int sortKindOfSyntax(const std::string& syntaxName) {
    for (nuint32 syntax = 0; syntax < kvx::SyntaxTableRows; ++syntax) {
        const kvx::SyntaxRow* row = kvx::SyntaxTableRow(syntax);
        if (row != nullptr && kvx::settings::equalIgnoringAsciiCase(row->name, syntaxName)) {
            return row->sortKind;
        }
    }
    return kvx::SortKindText;
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
    // The saved outer placement, laid out on the screens present (TfrmKorvanex::restorePlacement).
    kvx::app::StoredPlacement stored;
    stored.width = ReadIniInteger(kDefaultsFile, kSizeSection, "Width", -1);
    stored.height = ReadIniInteger(kDefaultsFile, kSizeSection, "Height", -1);
    stored.top = ReadIniInteger(kDefaultsFile, kSizeSection, "Top", -1);
    stored.left = ReadIniInteger(kDefaultsFile, kSizeSection, "Left", -1);
    restorePlacement(stored, ReadIniInteger(kDefaultsFile, kSizeSection, "State", 0));

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
    if (leaveSavedPlacement_) {
        return; // a window nobody saw: the user's placement stays as it is
    }
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
    kvx::settings::BatchSettings settings;
    settings.treeName = text(ui->cboNDSTree->currentText());
    if (const std::optional<QString> start = selectedDistinguishedName()) {
        settings.startingPoint = kvx::settings::startingPointChain(text(*start));
    }
    const QListWidgetItem* cls = ui->lstNDSClasses->currentItem();
    settings.className = cls != nullptr && cls->isSelected() ? text(cls->text()) : std::string();
    settings.searchFilter = text(ui->txtSearchFilter->text());
    settings.outputWindow = ui->chkOutputWindow->isChecked();
    settings.outputFile = ui->chkOutputFile->isChecked();
    settings.hideEmptyColumns = ui->chkHideEmptyColumns->isChecked();
    settings.outputFileName = text(ui->txtOutputFilename->text());
    settings.outputSeparator = text(ui->txtOutputSeparator->text());
    settings.encloseQuotes = ui->chkOutputEncloseQuotes->isChecked();
    settings.columnHeaders = ui->chkOutputColumnHeaders->isChecked();
    settings.outputChanges = ui->chkOutputChanges->isChecked();
    settings.tabular = ui->optResultsTabular->isChecked();
    settings.tabularCross = ui->optResultsTabularCross->isChecked();
    settings.nonTabular = ui->optResultsNonTabular->isChecked();
    settings.expandedAttribute = ui->cboAttributeMulti->currentIndex();
    for (int i = 0; i < ui->lvwSelectedAttributes->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* row = ui->lvwSelectedAttributes->topLevelItem(i);
        settings.attributes.push_back({text(row->text(0)), text(row->text(1)), text(row->text(2))});
    }
    try {
        if (kvx::settings::writeBatchSettings(text(chosen), settings) ==
            kvx::settings::BatchWriteResult::NoStartingPoint) {
            kvx::app::ShowMessage(this,
                                  QStringLiteral("Select the starting point in the NDS Tree"));
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
    // A file that cannot be read says so; loading every default instead would run some other
    // report without a word.
    const std::optional<std::string> path = kvx::settings::locateBatchSettingsFile(text(fileName));
    if (!path) {
        loadFailed_ = true;
        kvx::app::ShowMessage(this,
                              QStringLiteral("Cannot read the settings file %1").arg(fileName));
        return;
    }
    // Reading has no side effects, so the whole file is read first and then applied.
    const kvx::settings::BatchSettings file = kvx::settings::readBatchSettings(*path);
    kvx::app::noteSettingsFileUsed(qtext(*path));
    // A Load that cannot restore the tree, the container or the class changes nothing: each is
    // looked for first, and what was not found is named. A run from whatever the window held
    // instead would be a different report.
    std::vector<QString> missing;
    NWDSContextHandle checked = 0; // the context the file's tree is looked at through
    bool treeBroken = false;       // that tree cannot be opened, and has said why
    auto notFound = [&missing](const char* what, const std::string& name) {
        missing.push_back(QStringLiteral("The %1 \"%2\" named in the settings file was not found")
                              .arg(QLatin1String(what), qtext(name)));
    };
    const std::vector<std::string> chain = file.startingPoint.value_or(std::vector<std::string>());
    std::string wanted; // ".Sales.Acme"; "" for "[root]"
    for (const std::string& piece : chain) {
        if (!piece.empty()) {
            wanted += '.' + piece;
        }
    }

    // The tree: the tree list is gathered afresh (the tree that is open stays chosen in it).
    const bool defaultTree = kvx::settings::equalIgnoringAsciiCase(file.treeName, "Default");
    if (!defaultTree) {
        cmdTreeReloadClick();
    }
    int treeIndex = -1;
    for (int i = 0; i < ui->cboNDSTree->count(); ++i) {
        if (sameName(ui->cboNDSTree->itemText(i), file.treeName)) {
            treeIndex = i;
        }
    }
    const bool treeFound = defaultTree || file.treeName.empty() || treeIndex >= 0;
    if (!treeFound) {
        notFound("tree", file.treeName);
    } else {
        // The container and the class, looked for in the file's tree; a tree other than the
        // open one is opened aside for that, the window's own stays as it is.
        std::string tree = openedTreeName_; // a file naming no tree loads into the open one
        if (treeIndex >= 0) {
            tree = text(ui->cboNDSTree->itemText(treeIndex));
        } else if (defaultTree) {
            tree = kvx::directory::kDefaultTree;
        }
        const auto report = [this, &checked](const std::string& what, NWDSCCODE code) {
            reportFailure(what, code, checked);
        };
        const bool openTree = sameName(qtext(tree), openedTreeName_) && directoryContext_ > 0;
        const NWDSContextHandle context =
            openTree ? directoryContext_ : kvx::directory::openDirectoryContext(tree, report);
        checked = context;
        if (!chain.empty() &&
            (context <= 0 || !kvx::directory::containerExists(context, wanted, report))) {
            notFound("container",
                     wanted.empty() ? std::string(kvx::directory::kRootText) : wanted.substr(1));
        }
        if (!file.className.empty()) {
            bool classFound = false;
            if (context > 0) {
                for (const std::string& name : kvx::directory::readClassNames(context, report)) {
                    classFound = classFound || sameName(qtext(name), file.className);
                }
            }
            if (!classFound) {
                notFound("class", file.className);
            }
        }
        treeBroken = treeCannotBeOpened(context);
        if (!openTree && context > 0) {
            NWDSFreeContext(context);
        }
    }
    if (!missing.empty()) {
        loadFailed_ = true;
        // A tree that cannot be opened has said why; that its containers and classes are not
        // found follows from it and is not a second fault.
        for (const QString& message : treeBroken ? std::vector<QString>() : missing) {
            kvx::app::ShowMessage(this, message);
        }
        return;
    }

    // The lists start empty; the results list keeps its columns.
    ui->lvwSelectedAttributes->clear();
    ui->lvwAttributes->clear();
    results_->clear();
    ui->cboNDSTree->setCurrentIndex(treeIndex);
    // A file saved for another tree than the one open is loaded into that tree: it is opened
    // first, as the user's own choice of the tree would open it.
    if (ui->cboNDSTree->currentIndex() >= 0 &&
        !sameName(ui->cboNDSTree->currentText(), openedTreeName_)) {
        InitNDS();
        LoadClasses();
    }

    // The container: walked to from "[root]" by its whole name, so that a name holding an
    // escaped period ("R\.D") and a top container of several components (a naming context
    // "example.com") are found as they were saved.
    if (!chain.empty()) {
        QTreeWidgetItem* current = ui->tvwNDS->topLevelItem(0);
        if (current != nullptr) {
            ui->tvwNDS->setCurrentItem(current);
        }
        while (current != nullptr && !nameWithin(wanted, nodeRecord(current), true)) {
            QTreeWidgetItem* next = nullptr;
            for (int c = 0; c < current->childCount() && next == nullptr; ++c) {
                QTreeWidgetItem* child = current->child(c);
                if (nameWithin(wanted, nodeRecord(child), false)) {
                    next = child;
                }
            }
            if (next != nullptr) {
                next->setExpanded(true); // lists its children and selects it
                ui->tvwNDS->setCurrentItem(next);
            }
            current = next;
        }
        if (current == nullptr) {
            loadFailed_ = true; // found a moment ago; the tree changed under the load
        }
    }

    // The class and its attributes.
    bool classFound = false;
    for (int i = 0; i < ui->lstNDSClasses->count(); ++i) {
        if (sameName(ui->lstNDSClasses->item(i)->text(), file.className)) {
            ui->lstNDSClasses->setCurrentRow(i);
            classFound = true;
        }
    }
    if (!classFound && !file.className.empty()) {
        loadFailed_ = true; // found a moment ago; the schema changed under the load
    }
    const QListWidgetItem* chosenClass = ui->lstNDSClasses->currentItem();
    if (chosenClass != nullptr && chosenClass->isSelected()) {
        ui->lvwAttributes->clear();
        LoadAttributes(chosenClass->text());
    }
    // With no class chosen there are no attributes to load; the rest of the file still applies.
    ui->txtSearchFilter->setText(qtext(file.searchFilter));

    // The output options.
    ui->chkOutputWindow->setChecked(file.outputWindow);
    ui->chkOutputFile->setChecked(file.outputFile);
    ui->chkHideEmptyColumns->setChecked(file.hideEmptyColumns);
    ui->txtOutputFilename->setText(qtext(file.outputFileName));
    ui->txtOutputSeparator->setText(qtext(file.outputSeparator));
    ui->chkOutputEncloseQuotes->setChecked(file.encloseQuotes);
    ui->chkOutputColumnHeaders->setChecked(file.columnHeaders);
    ui->chkOutputChanges->setChecked(file.outputChanges);

    // The selected attributes, as the file has them, each sorting as its syntax does. One the
    // class does not have is named; the run still goes on, with its column empty.
    ui->lvwSelectedAttributes->clear();
    QList<QTreeWidgetItem*> items;
    items.reserve(static_cast<qsizetype>(file.attributes.size()));
    for (const kvx::settings::SelectedAttributeRow& saved : file.attributes) {
        auto* row = new KvxLocaleSortItem();
        row->setText(0, qtext(saved.name));
        row->setText(1, qtext(saved.singleMulti));
        row->setText(2, qtext(saved.syntax));
        row->setData(0, Qt::UserRole, sortKindOfSyntax(saved.syntax));
        // The LDAP name is the schema's: taken from the class's own row where it has one.
        const QTreeWidgetItem* own = rowNamed(*ui->lvwAttributes, saved.name);
        if (own != nullptr) {
            row->setText(KvxAttributeList::LdapNameColumn,
                         own->text(KvxAttributeList::LdapNameColumn));
        }
        items.push_back(row);
        // The file may name an attribute by any of its names (sn for "Surname"); every class
        // has the object class attribute.
        bool lacking = classFound && !saved.name.empty() && own == nullptr;
        if (lacking) {
            const std::string ownName =
                kvx::directory::AttributeOwnName(directoryContext_, saved.name);
            lacking =
                ownName.empty() ||
                !(rowNamed(*ui->lvwAttributes, ownName) != nullptr ||
                  ownName == kvx::directory::AttributeOwnName(directoryContext_, "objectClass"));
        }
        if (lacking) {
            kvx::app::ShowMessage(
                this,
                QStringLiteral("The attribute \"%1\" named in the settings file is not an "
                               "attribute of the class \"%2\"; its column stays empty")
                    .arg(qtext(saved.name), chosenClass->text()),
                kvx::app::MessageKind::Notice);
        }
    }
    ui->lvwSelectedAttributes->addTopLevelItems(items);

    // The expanded attribute's list, the report mode and the expanded attribute.
    rebuildExpandedAttributeItems();
    setOption(ui->optResultsTabular, file.tabular);
    setOption(ui->optResultsTabularCross, file.tabularCross);
    setOption(ui->optResultsNonTabular, file.nonTabular);
    const int expanded = file.expandedAttribute;
    ui->cboAttributeMulti->setCurrentIndex(
        expanded >= 0 && expanded < ui->cboAttributeMulti->count() ? expanded : -1);
}

// ---- Command line and unattended run -------------------------------------------------------

void TfrmKorvanex::LoadParameters() {
    autorun_ = false;
    autoclose_ = false;
    loadFailed_ = false;
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

void TfrmKorvanex::setUnattendedDelay(int milliseconds) {
    Timer1->setInterval(milliseconds);
}

void TfrmKorvanex::Timer1Timer() {
    Timer1->stop();
    if (autorun_) {
        QString notice = QStringLiteral("Auto Running %1").arg(batchSettingsFileName_);
        if (autoclose_) {
            notice += QStringLiteral(" - Will close when complete");
        }
        setPanel2(notice);
        repaintWindow();
        // A report that does not match its settings file is not run at all (the load named
        // what was missing). Whatever ends the run, the unattended close follows.
        if (!loadFailed_) {
            try {
                runUnattended_ = true;
                RunProcess();
                runUnattended_ = false;
            } catch (const std::exception& error) {
                runUnattended_ = false;
                kvx::app::ShowFrameworkError(this, QString::fromLocal8Bit(error.what()));
            } catch (...) {
                runUnattended_ = false;
                kvx::app::ShowFrameworkError(this, QStringLiteral("Unknown error"));
            }
        }
        // The notice goes; a change summary the run left there stays.
        if (statusText(1) == notice) {
            setPanel2(QString());
        }
    }
    if (autoclose_) {
        close();
    }
}
