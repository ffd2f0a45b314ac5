#include "help/frminstructions.h"

#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStringList>
#include <QTabWidget>
#include <QVBoxLayout>

namespace {

const char* const kOverview[] = {
    "Korvanex is designed to be a general purpose reporting and extraction tool for NDS ",
    "based environments.",
    "",
    "It searches a container and everything below it for the objects of one class and reports "
    "the attributes you choose, one row per object or one row per value.",
    "",
    "A report is built in four steps, one page of the main window each:",
    "",
    "1. Select Tree, starting context and object type",
    "2. Select attributes to be returned and report mode",
    "3. Select the desired output method",
    "4. Run the report/extract",
    "",
    "The results can be shown on the screen, written to a delimited text file, or both.",
    "",
    "Batch mode saves a query to a settings file, so that it can be run again later, either "
    "interactively or unattended from a batch system or a scheduled job.",
};

const char* const kAttributes[] = {
    "Choosing an object class on the Select Criteria page loads all the attributes of that "
    "class, including those it inherits, into the list of available attributes on the "
    "Attributes page.",
    "",
    "The Syntax column gives the type of data the attribute holds (string, date, etc) and the "
    "Single/Multi column shows whether the attribute can hold more than one value.",
    "",
    "Move the attributes you want into the Selected Attributes list with the arrow buttons. "
    "They are reported in the order they were selected.",
    "",
    "The report mode decides how multi-valued attributes are handled. Choose Tabular when only "
    "single values, or only the first value of each attribute, matter. Tabular Cross spreads "
    "one multi-valued attribute out, one row per value, and Non Tabular gives one row for every "
    "value of every attribute.",
    "",
    "The ? boxes beside the report modes explain each mode with a sample.",
};

const char* const kOutput[] = {
    "By default the results are shown on the screen, with one row per object and one column per "
    "attribute.",
    "",
    "The results can also be written to a file, and the screen display turned off. This is "
    "recommended for reports of more than 5000 lines, as the screen display slows a large report "
    "down considerably.",
    "",
    "Hide Empty Columns leaves out every attribute that has no value in any of the objects "
    "found.",
    "",
    "The output filename can be either a full path or relative to the current working directory ",
    "(usually the directory that contains Korvanex.exe",
};

const char* const kResults[] = {
    "The results screen displays the data found by the search.",
    "",
    "Clicking on a column header will sort by that column. Clicking a second time will reverse ",
    "sort that column.",
    "",
    "All or part of the data can be copied to the clipboard with the Copy options of the Edit "
    "menu, ready to paste into a spreadsheet or another program.",
};

template <std::size_t N> QString joinLines(const char* const (&lines)[N]) {
    QStringList list;
    for (const char* line : lines)
        list << QString::fromLatin1(line);
    return list.join(QLatin1Char('\n'));
}

} // namespace

TfrmInstruct::TfrmInstruct(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("frmInstruct"));
    setWindowTitle(QStringLiteral("Korvanex - Instructions for use."));
    resize(468, 399);

    auto* layout = new QVBoxLayout(this);
    PageControl1 = new QTabWidget(this);
    PageControl1->setObjectName(QStringLiteral("PageControl1"));
    layout->addWidget(PageControl1);

    const QString texts[] = {joinLines(kOverview), QString(), joinLines(kAttributes),
                             joinLines(kOutput), joinLines(kResults)};
    const char* const captions[] = {"Overview", "Criteria", "Attributes", "Output", "Results"};
    for (int i = 0; i < 5; ++i) {
        auto* sheet = new QWidget(PageControl1);
        sheet->setObjectName(QStringLiteral("TabSheet%1").arg(i + 1));
        auto* sheetLayout = new QVBoxLayout(sheet);
        auto* memo = new QPlainTextEdit(sheet);
        memo->setObjectName(QStringLiteral("Memo%1").arg(i + 1));
        memo->setReadOnly(true);
        memo->setPlainText(texts[i]);
        memo->setVerticalScrollBarPolicy(i == pgCriteria ? Qt::ScrollBarAlwaysOn
                                                         : Qt::ScrollBarAsNeeded);
        sheetLayout->addWidget(memo);
        PageControl1->addTab(sheet, QString::fromLatin1(captions[i]));
    }
    PageControl1->setCurrentIndex(pgResults);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    auto* close = new QPushButton(QStringLiteral("Close"), this);
    close->setObjectName(QStringLiteral("cmdClose"));
    close->setDefault(true);
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
    buttons->addWidget(close);
    layout->addLayout(buttons);
}

int TfrmInstruct::activePage() const {
    return PageControl1->currentIndex();
}
