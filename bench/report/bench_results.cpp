// Fills the results list of the real main window by running a saved report, then times a sort
// of each column and a copy to the clipboard, as a user's clicks would run them.
//
//   kvx-bench-results SETTINGS.kvx [--sort-columns 1,2,5]
//   kvx-bench-results --open-only
//
// With --open-only it stops as soon as the window shows the tree's top containers and prints
// how long that took from the start of main(); the process ends at once, without freeing the
// tree, so that its wall time under /usr/bin/time is the time a user waits for the window.
//
// Run it with the client pointed at the tree (KORVANEX_CLIENT_CONF) on the offscreen platform.
// It prints the wall time of the report, of each column click and of the copy, and the peak
// resident set size.
#include "app/frmndsrep.h"
#include "app/messages.h"
#include "directory/syntax.h"
#include "results/resultsmodel.h"

#include <QApplication>
#include <QClipboard>
#include <QTimer>
#include <QTreeWidget>

#include <cstdlib>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace {

double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

long peakMegabytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024;
}

} // namespace

int main(int argc, char** argv) {
    const auto processStart = std::chrono::steady_clock::now();
    if (argc < 2) {
        std::fprintf(stderr, "usage: kvx-bench-results SETTINGS.kvx [--sort-columns 1,2]\n"
                             "       kvx-bench-results --open-only\n");
        return 2;
    }
    const bool openOnly = std::strcmp(argv[1], "--open-only") == 0;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    std::vector<int> columns = {0, 1, 5};
    for (int i = 2; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--sort-columns") == 0) {
            columns.clear();
            for (const QString& c : QString::fromLocal8Bit(argv[i + 1]).split(QLatin1Char(','))) {
                columns.push_back(c.toInt());
            }
        }
    }
    int qtArgc = 1;
    kvx::app::KvxApplication app(qtArgc, argv);
    kvx::app::setMessageHandler([](QWidget*, const kvx::app::Message& m) {
        std::fprintf(stderr, "message: %s\n", m.text.toLocal8Bit().constData());
    });
    TfrmKorvanex window;
    window.show(); // start-up: client, tree, classes
    QApplication::processEvents();
    if (openOnly) {
        auto* tree = window.findChild<QTreeWidget*>(QStringLiteral("tvwNDS"));
        const QTreeWidgetItem* root = tree ? tree->topLevelItem(0) : nullptr;
        std::printf("window shows the tree: %.2f s (%d top containers)\npeak RSS: %ld MB\n",
                    seconds(processStart), root ? root->childCount() : -1, peakMegabytes());
        std::fflush(stdout);
        std::_Exit(0);
    }
    const long before = peakMegabytes();

    window.LoadDetailsFromFile(QString::fromLocal8Bit(argv[1]));
    // Rows restored from a settings file sort as text; give them the sort kind of their syntax,
    // as rows chosen by hand carry, so number and date columns are measured too.
    if (auto* selected = window.findChild<QTreeWidget*>(QStringLiteral("lvwSelectedAttributes"))) {
        for (int i = 0; i < selected->topLevelItemCount(); ++i) {
            QTreeWidgetItem* row = selected->topLevelItem(i);
            for (nuint32 syntax = 0; syntax < kvx::SyntaxTableRows; ++syntax) {
                if (row->text(2) == QString::fromStdString(kvx::SyntaxName(syntax)))
                    row->setData(0, Qt::UserRole, kvx::SyntaxSortKind(syntax));
            }
        }
    }
    auto start = std::chrono::steady_clock::now();
    window.RunProcess();
    const double run = seconds(start);
    kvx::ResultsModel* model = window.resultsModel();
    std::printf("rows: %zu\nreport to window: %.2f s\npeak RSS before the run: %ld MB\n",
                model->rows(), run, before);
    std::printf("peak RSS after the run: %ld MB\n", peakMegabytes());

    for (int column : columns) {
        start = std::chrono::steady_clock::now();
        window.lvwSearchColumnClick(column);
        std::printf("sort column %d (kind %d): %.2f s\n", column, model->sortKind(column),
                    seconds(start));
    }
    start = std::chrono::steady_clock::now();
    window.CopyResultstoClipboard1Click();
    const double copy = seconds(start);
    std::printf("copy to clipboard: %.2f s (%lld characters)\n", copy,
                static_cast<long long>(QGuiApplication::clipboard()->text().size()));
    std::printf("peak RSS at the end: %ld MB\n", peakMegabytes());
    return 0;
}
