// Renders every page of the main window and of the help windows to PNG files, on the offscreen
// platform, with the sample trees: korvanex_screenshots <output folder>. The Attributes and
// Results pages show the example report of users, run for real.
#include "app/frmdirectories.h"
#include "app/frmndsrep.h"
#include "app/messages.h"
#include "help/frmabout.h"
#include "help/frmexplaintabular.h"
#include "help/frminstructions.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidget>

#include <cstdio>

namespace {

bool save(QWidget* widget, const QString& path) {
    QApplication::processEvents(); // laid out as the user would see it
    const bool ok = widget->grab().save(path);
    std::fprintf(stderr, "%s %s\n", ok ? "wrote" : "FAILED", qPrintable(path));
    return ok;
}

// The Directories dialog over a client configuration of two trees: the sample tree, tested, and
// a server tree whose test names what is wrong.
bool saveDirectoriesDialog(const QString& folder) {
    QTemporaryDir home;
    const QString conf = home.filePath(QStringLiteral("client.conf"));
    QFile file(conf);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write("# Trees of the reporting account.\n[Client]\nDefaultTree=ACME\n\n[Tree ACME]\n"
               "Folder=" KVX_SOURCE_DIR "/data/trees/ACME\n\n[Tree CORP]\n"
               "URL=ldaps://ldap.corp.example\nBase=o=Corp\nBindDN=cn=reporter,o=Corp\n");
    file.close();
    qputenv("KORVANEX_CLIENT_CONF", conf.toLocal8Bit());
    TfrmDirectories dialog;
    dialog.show();
    auto* list = dialog.findChild<QListWidget*>(QStringLiteral("lstDirectories"));
    auto* test = dialog.findChild<QPushButton*>(QStringLiteral("cmdTest"));
    auto runTest = [&]() {
        test->click();
        QElapsedTimer clock;
        clock.start();
        while (!test->isEnabled() && clock.elapsed() < 15000) {
            QEventLoop loop;
            QTimer::singleShot(20, &loop, &QEventLoop::quit);
            loop.exec();
        }
    };
    bool ok = true;
    list->setCurrentRow(0);
    runTest();
    ok &= save(&dialog, folder + QStringLiteral("/directories-folder.png"));
    list->setCurrentRow(1);
    dialog.findChild<QLineEdit*>(QStringLiteral("txtPassword"))->setText(QStringLiteral("secret"));
    runTest();
    ok &= save(&dialog, folder + QStringLiteral("/directories-dialog.png"));
    dialog.reject();
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    kvx::app::KvxApplication app(argc, argv);
    const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
    QDir().mkpath(folder);
    kvx::app::setMessageHandler(kvx::app::writeMessageToStderr);

    TfrmKorvanex window;
    TfrmAbout about(&window);
    TfrmExplain explain;
    TfrmInstruct instruct;
    window.setHelpWindows(&about, &explain, &instruct);
    window.show();

    // Open the first organisation and its first unit so the tree shows some depth.
    auto* tree = window.findChild<QTreeWidget*>(QStringLiteral("tvwNDS"));
    if (QTreeWidgetItem* root = tree->topLevelItem(0)) {
        for (int i = 0; i < root->childCount(); ++i) {
            QTreeWidgetItem* child = root->child(i);
            if (child->childCount() > 0) {
                child->setExpanded(true);
                if (child->childCount() > 0)
                    child->child(0)->setExpanded(true);
                tree->setCurrentItem(child);
                break;
            }
        }
    }

    // The example report of users, loaded as a user loads it and run into the results list, so
    // the Attributes page shows a selection and the Results page a real report.
    window.LoadDetailsFromFile(QStringLiteral(KVX_SOURCE_DIR "/examples/acme-users.kvx"));
    window.findChild<QCheckBox*>(QStringLiteral("chkOutputFile"))->setChecked(false);
    window.findChild<QCheckBox*>(QStringLiteral("chkOutputWindow"))->setChecked(true);
    window.RunProcess();
    if (auto* selected = window.findChild<QTreeWidget*>(QStringLiteral("lvwSelectedAttributes")))
        selected->setCurrentItem(selected->topLevelItem(0));

    bool ok = true;
    auto* pages = window.findChild<QTabWidget*>(QStringLiteral("PageControl1"));
    for (int i = 0; i < pages->count(); ++i) {
        pages->setCurrentIndex(i);
        ok &= save(&window, QStringLiteral("%1/main-page%2.png").arg(folder).arg(i + 1));
    }
    pages->setCurrentIndex(1);
    ok &= save(&window, folder + QStringLiteral("/attributes-page.png"));
    pages->setCurrentIndex(3);
    ok &= save(&window, folder + QStringLiteral("/results-page.png"));
    pages->setCurrentIndex(0);
    ok &= save(&window, folder + QStringLiteral("/main-window.png"));

    explain.show();
    for (int i = 0; i < explain.pageControl()->count(); ++i) {
        explain.setActivePage(i);
        ok &= save(&explain, QStringLiteral("%1/explain-page%2.png").arg(folder).arg(i + 1));
    }
    explain.hide();
    instruct.show();
    for (int i = 0; i < instruct.pageControl()->count(); ++i) {
        instruct.pageControl()->setCurrentIndex(i);
        ok &= save(&instruct, QStringLiteral("%1/instructions-page%2.png").arg(folder).arg(i + 1));
    }
    instruct.hide();
    about.show();
    ok &= save(&about, folder + QStringLiteral("/about.png"));
    about.hide();
    ok &= saveDirectoriesDialog(folder);
    return ok ? 0 : 1;
}
