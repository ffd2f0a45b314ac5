#include "help/frmexplaintabular.h"

#include <QHeaderView>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStringList>
#include <QTabWidget>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <initializer_list>

namespace {

using Row = QStringList;

QPlainTextEdit* makeTextBox(const QStringList& lines, QWidget* parent) {
    auto* box = new QPlainTextEdit(parent);
    box->setReadOnly(true);
    box->setFrameShape(QFrame::NoFrame);
    box->setPlainText(lines.join(QLatin1Char('\n')));
    // The text sits on the window's own colour, like a caption rather than an edit box.
    QPalette palette = box->palette();
    palette.setColor(QPalette::Base, palette.color(QPalette::Window));
    box->setPalette(palette);
    box->setFocusPolicy(Qt::NoFocus);
    return box;
}

QTreeWidget* makeSample(const QStringList& columns, std::initializer_list<Row> rows,
                        QWidget* parent) {
    auto* list = new QTreeWidget(parent);
    list->setObjectName(QStringLiteral("lvwSample"));
    list->setRootIsDecorated(false);
    list->setHeaderLabels(columns);
    list->setSelectionMode(QAbstractItemView::NoSelection);
    list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    for (const Row& row : rows)
        list->addTopLevelItem(new QTreeWidgetItem(row));
    for (int c = 0; c < columns.size(); ++c)
        list->resizeColumnToContents(c);
    return list;
}

} // namespace

TfrmExplain::TfrmExplain(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("frmExplain"));
    setWindowTitle(QStringLiteral("Explaination of Tabular Terms"));
    resize(640, 408);

    auto* layout = new QVBoxLayout(this);
    PageControl1 = new QTabWidget(this);
    PageControl1->setObjectName(QStringLiteral("PageControl1"));
    layout->addWidget(PageControl1);

    struct PageText {
        const char* caption;
        QStringList text;
        QTreeWidget* (*sample)(QWidget*);
    };

    const PageText pages[] = {
        {"Tabular",
         {"The Tabular report style is a traditional report.",
          "There is one row per object and one column per attribute.", "",
          "If multi valued attributes are selected, only the first value in each multivalued ",
          "attribute will be displayed", "", "Examples of using this report style :", "",
          "1. List Object, Surname, Given name and phone number",
          "2. List Object, Last login date, Password minimum length and password expiry date.", "",
          "Sample Output :"},
         [](QWidget* p) {
             return makeSample(
                 {"Object", "Surname", "Given Name", "Password Required", "Password Minimum Legth"},
                 {{"AHolt.Sales.Acme", "Holt", "Anna", "True", "8"},
                  {"BKerr.Sales.Acme", "Kerr", "Brian", "True", "8"},
                  {"CLund.Dev.Sales.Acme", "Lund", "Clara", "False", ""},
                  {"DMoss.Dev.Sales.Acme", "Moss", "Daniel", "True", "10"},
                  {"EVang.Admin.Acme", "Vang", "Erika", "True", "6"},
                  {"", "", "", "", ""},
                  {"", "", "", "", ""}},
                 p);
         }},
        {"Tabular Cross",
         {"The Tabular Cross report enables one Multi Valued attribute to be fully enumerated.", "",
          "You select which attribute is to be fully enumerated, and when the report is run, one "
          "row is produced for ",
          "each value within that attribute for each object.",
          "Other Attributes (both single and muti-valued) are treated as per the standard "
          "Tabular report.",
          "", "Examples of using this report style :", "",
          "1. List Object, Group Membership.  One row is produced for each group the user is in.",
          "2. List Object, Assigned Applications.  One row per Zenworks App the user is "
          "assigned.",
          "", "Sample Output :"},
         [](QWidget* p) {
             return makeSample(
                 {"Object", "Surname", "Given Name", "Group Membership"},
                 {{"AHolt.Sales.Acme", "Holt", "Anna", "SalesStaff.Sales.Acme"},
                  {"AHolt.Sales.Acme", "Holt", "Anna", "Printing.Acme"},
                  {"AHolt.Sales.Acme", "Holt", "Anna", "VPNUsers.Acme"},
                  {"BKerr.Sales.Acme", "Kerr", "Brian", "SalesStaff.Sales.Acme"},
                  {"CLund.Dev.Sales.Acme", "Lund", "Clara", "Developers.Dev.Sales.Acme"},
                  {"CLund.Dev.Sales.Acme", "Lund", "Clara", "VPNUsers.Acme"}},
                 p);
         }},
        {"Non Tabular",
         {"The Non-Tabular report is designed to be used when you wish to extract multiple, "
          "multi-valued attributes per record.",
          "It would also be used to extract all values from all attributes from each object.", "",
          "The Non-Tabular report will always contain 3 columns, Object Name, Attribute Name and "
          "Value.",
          "There will be one row in the report for each value within each attribute. Only one "
          "attribute value is defined in each row.",
          "", "Examples of using this report style :", "",
          "1. You wish to extract Group Membership and Security Equal To - to ensure your NDS "
          "security is healthy.",
          "2. You want a full extract of the NDS for another reporting system (e.g. MS Access) or "
          "for archival purposes.",
          "", "Sample Output :"},
         [](QWidget* p) {
             return makeSample({"Object", "Attribute", "Value"},
                               {{"AHolt.Sales.Acme", "Surname", "Holt"},
                                {"AHolt.Sales.Acme", "Given Name", "Anna"},
                                {"AHolt.Sales.Acme", "Group Membership", "SalesStaff.Sales.Acme"},
                                {"AHolt.Sales.Acme", "Group Membership", "VPNUsers.Acme"},
                                {"AHolt.Sales.Acme", "Login Time", "14/03/2024 08:47:12"},
                                {"BKerr.Sales.Acme", "Surname", "Kerr"}},
                               p);
         }},
    };

    int number = 1;
    for (const PageText& page : pages) {
        auto* sheet = new QWidget(PageControl1);
        sheet->setObjectName(QStringLiteral("TabSheet%1").arg(number++));
        auto* sheetLayout = new QVBoxLayout(sheet);
        sheetLayout->addWidget(makeTextBox(page.text, sheet), 3);
        sheetLayout->addWidget(page.sample(sheet), 2);
        auto* close = new QPushButton(QStringLiteral("Close"), sheet);
        close->setObjectName(QStringLiteral("cmdClose"));
        close->setDefault(true);
        connect(close, &QPushButton::clicked, this, &QDialog::accept);
        sheetLayout->addWidget(close, 0, Qt::AlignRight);
        PageControl1->addTab(sheet, QString::fromLatin1(page.caption));
    }
}

void TfrmExplain::setActivePage(int page) {
    PageControl1->setCurrentIndex(page);
}

int TfrmExplain::activePage() const {
    return PageControl1->currentIndex();
}
