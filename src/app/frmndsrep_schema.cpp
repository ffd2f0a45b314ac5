// The window side of schema reading and attribute selection: the class list, the available
// attributes of the chosen class, the selected attributes and the expanded attribute.
#include "app/frmndsrep.h"

#include "app/messages.h"
#include "directory/client/names.h"
#include "directory/schemaread.h"
#include "directory/syntax.h"
#include "report/search.h"
#include "ui_frmndsrep.h"

#include <QApplication>

#include <algorithm>

namespace {

// The sort kind of an attribute row travels as data of its first column.
constexpr int kSortKindRole = Qt::UserRole;

// Captions match without regard to the case of a to z, as every name of the directory does.
bool sameCaption(const QString& a, const QString& b) {
    return kvx::client::names::equalNoCase(a.toStdString(), b.toStdString());
}

// A copy of an attribute row, field for field.
QTreeWidgetItem* copyRow(const QTreeWidgetItem* from) {
    auto* row = new KvxLocaleSortItem();
    for (int c = 0; c <= KvxAttributeList::LdapNameColumn; ++c) {
        row->setText(c, from->text(c));
    }
    row->setData(0, kSortKindRole, from->data(0, kSortKindRole));
    return row;
}

bool hasAttributeNamed(const std::vector<kvx::directory::AttributeRow>& rows,
                       const std::string& name) {
    return std::any_of(rows.begin(), rows.end(), [&name](const auto& row) {
        return kvx::client::names::equalNoCase(row.name, name);
    });
}

QTreeWidgetItem* chosenRow(QTreeWidget* list) {
    const QList<QTreeWidgetItem*> chosen = list->selectedItems();
    return chosen.isEmpty() ? nullptr : chosen.first();
}

} // namespace

int TfrmKorvanex::attributeSortKind(const QTreeWidgetItem* row) {
    return row == nullptr ? 0 : row->data(0, kSortKindRole).toInt();
}

void TfrmKorvanex::clearAttributePage() {
    ui->lvwAttributes->clear();
    ui->lvwSelectedAttributes->clear();
    ui->cboAttributeMulti->clear();
    loadedClass_.clear();
}

void TfrmKorvanex::LoadClasses() {
    ui->lstNDSClasses->clear();
    if (directoryContext_ == 0) {
        return; // the context could not be created, and that has been reported
    }
    std::vector<std::string> names = kvx::directory::readClassNames(
        directoryContext_,
        [this](const std::string& call, NWDSCCODE code) { reportFailure(call, code); });
    // The list keeps its items in alphabetical order, whatever order the client returns.
    QStringList items;
    items.reserve(static_cast<qsizetype>(names.size()));
    for (const std::string& name : names) {
        items.push_back(QString::fromStdString(name));
    }
    std::stable_sort(items.begin(), items.end(), [](const QString& a, const QString& b) {
        return QString::localeAwareCompare(a, b) < 0;
    });
    ui->lstNDSClasses->addItems(items);
}

void TfrmKorvanex::lstNDSClassesClick() {
    QListWidgetItem* chosen = ui->lstNDSClasses->currentItem();
    if (chosen == nullptr || !chosen->isSelected()) {
        loadedClass_.clear(); // no class chosen: choosing one again loads it afresh
        return;
    }
    if (chosen->text() == loadedClass_) {
        return; // the class already chosen keeps the selection built for it
    }
    ui->lvwAttributes->clear();
    LoadAttributes(chosen->text());
}

void TfrmKorvanex::LoadAttributes(const QString& className) {
    // Choosing a class starts the selection afresh.
    clearAttributePage();
    loadedClass_ = className;

    std::vector<kvx::directory::AttributeRow> rows;
    kvx::directory::gatherClassAttributes(
        directoryContext_, className.toStdString(), rows,
        [this](const std::string& call, NWDSCCODE code) { reportFailure(call, code); });

    // Every object has a full name: it is offered like a single-valued attribute of names.
    if (!rows.empty()) {
        kvx::directory::AttributeRow dn;
        dn.name = kvx::report::kDistinguishedNameColumn;
        dn.singleValued = true;
        dn.syntaxName = kvx::SyntaxName(SYN_DIST_NAME);
        dn.sortKind = kvx::SyntaxSortKind(SYN_DIST_NAME);
        if (!hasAttributeNamed(rows, dn.name)) {
            rows.push_back(std::move(dn));
        }
    }
    QList<QTreeWidgetItem*> items;
    items.reserve(static_cast<qsizetype>(rows.size()));
    for (const auto& row : rows) {
        auto* item = new KvxLocaleSortItem();
        item->setText(0, QString::fromStdString(row.name));
        item->setText(1, QString::fromLatin1(row.singleMulti()));
        item->setText(2, QString::fromStdString(row.syntaxName));
        item->setText(KvxAttributeList::LdapNameColumn, QString::fromStdString(row.ldapName));
        item->setData(0, kSortKindRole, row.sortKind);
        items.push_back(item);
    }
    ui->lvwAttributes->addTopLevelItems(items);
    ui->lvwAttributes->sortByColumn(0, Qt::AscendingOrder);
    // The names show whole, up to a third of a wide screen; the selected list has the same.
    for (int column : {0, KvxAttributeList::LdapNameColumn}) {
        const int fitted = std::min(ui->lvwAttributes->contentWidth(column) + 12, 320);
        for (QTreeWidget* list : {ui->lvwAttributes, ui->lvwSelectedAttributes}) {
            if (fitted > list->columnWidth(column)) {
                list->setColumnWidth(column, fitted);
            }
        }
    }
}

void TfrmKorvanex::GetAttributeDetails(const QString& attributeName, Attr_Info_T* info) {
    if (info == nullptr) {
        return;
    }
    kvx::directory::GetAttributeDetails(
        directoryContext_, attributeName.toStdString(), *info,
        [this](const std::string& call, NWDSCCODE code) { reportFailure(call, code); });
}

void TfrmKorvanex::cmdAttributeAddClick() {
    const QTreeWidgetItem* chosen = chosenRow(ui->lvwAttributes);
    if (chosen == nullptr) {
        kvx::app::ShowMessage(this, QStringLiteral("Select Attribute to Add"));
        return;
    }
    QTreeWidget* selected = ui->lvwSelectedAttributes;
    for (int i = 0; i < selected->topLevelItemCount(); ++i) {
        if (sameCaption(selected->topLevelItem(i)->text(0), chosen->text(0))) {
            return; // already selected
        }
    }
    selected->addTopLevelItem(copyRow(chosen));
}

void TfrmKorvanex::cmdAttributeAddAllClick() {
    QTreeWidget* selected = ui->lvwSelectedAttributes;
    selected->clear();
    // Every attribute of the class; the object's full name is one more column only when chosen
    // by itself, so ">>" gives the same report as it always has.
    QList<QTreeWidgetItem*> rows;
    for (int i = 0; i < ui->lvwAttributes->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* row = ui->lvwAttributes->topLevelItem(i);
        if (!sameCaption(row->text(0),
                         QString::fromLatin1(kvx::report::kDistinguishedNameColumn))) {
            rows.push_back(copyRow(row));
        }
    }
    selected->addTopLevelItems(rows);
}

void TfrmKorvanex::cmdAttributeRemoveClick() {
    QTreeWidgetItem* chosen = chosenRow(ui->lvwSelectedAttributes);
    if (chosen == nullptr) {
        kvx::app::ShowMessage(this, QStringLiteral("Select Attribute to Remove"));
        return;
    }
    const QString removed = chosen->text(0);
    delete chosen;
    // The expanded attribute is one of the selected ones: removed from them, it is no longer
    // offered nor chosen.
    QComboBox* expanded = ui->cboAttributeMulti;
    const bool wasChosen =
        expanded->currentIndex() >= 0 && sameCaption(expanded->currentText(), removed);
    for (int i = expanded->count() - 1; i >= 0; --i) {
        if (sameCaption(expanded->itemText(i), removed)) {
            expanded->removeItem(i); // another item chosen keeps being chosen
        }
    }
    if (wasChosen) {
        expanded->setCurrentIndex(-1);
    }
}

void TfrmKorvanex::cmdAttributeRemoveAllClick() {
    ui->lvwSelectedAttributes->clear();
    ui->cboAttributeMulti->clear();
}

void TfrmKorvanex::rebuildExpandedAttributeItems() {
    ui->cboAttributeMulti->clear();
    for (int i = 0; i < ui->lvwSelectedAttributes->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* row = ui->lvwSelectedAttributes->topLevelItem(i);
        if (sameCaption(row->text(1), QStringLiteral("Multi"))) {
            ui->cboAttributeMulti->addItem(row->text(0));
        }
    }
    ui->cboAttributeMulti->setCurrentIndex(-1);
}

void TfrmKorvanex::cboAttributeMultiDropDown() {
    // The items are rebuilt each time the list opens; the earlier choice is cleared with them.
    rebuildExpandedAttributeItems();
}
