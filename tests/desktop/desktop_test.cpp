// The program on a real X11 desktop: a private Xvfb server of 1024 x 768 pixels with the openbox
// window manager, which frames every window. The window must come back run after run exactly
// where and as large as it was closed, first centred on the screen, and on the screen even when
// its saved place is not; the help windows carry their own titles and nothing more. A report is
// built and run with the mouse and the keyboard alone, through real X events.
#include "app/frmndsrep.h"
#include "app/messages.h"
#include "help/frmabout.h"
#include "help/frmexplaintabular.h"
#include "help/frminstructions.h"
#include "results/resultsmodel.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QDir>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTabWidget>
#include <QThread>
#include <QTreeView>
#include <QTreeWidget>
#include <QWindow>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <string>

namespace fs = std::filesystem;

namespace {

constexpr int kScreenWidth = 1024;
constexpr int kScreenHeight = 768;

QProcess* xvfb = nullptr;
QProcess* windowManager = nullptr;
QString display;
QString startFailure;

QProcessEnvironment desktopEnvironment() {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", display);
    env.remove("WAYLAND_DISPLAY");
    env.remove("QT_QPA_PLATFORM");
    // The X11 keyboard library reads a string in a way strict string checks take for an overflow.
    env.insert("ASAN_OPTIONS", "detect_leaks=1:abort_on_error=0");
    return env;
}

QString tool(const QString& program, const QStringList& arguments, int milliseconds = 20000) {
    QProcess process;
    process.setProcessEnvironment(desktopEnvironment());
    process.start(program, arguments);
    if (!process.waitForFinished(milliseconds)) {
        process.kill();
        process.waitForFinished();
        return {};
    }
    return QString::fromLocal8Bit(process.readAllStandardOutput());
}

// The outer rectangle of a framed window: its inside as the X server has it, grown by the frame
// the window manager announces.
std::optional<QRect> outerRectangle(const QString& window) {
    const QString info = tool("xwininfo", {"-id", window});
    auto number = [&info](const char* label) {
        const QRegularExpressionMatch m =
            QRegularExpression(QString::fromLatin1(label) + ":\\s*(-?\\d+)").match(info);
        return m.hasMatch() ? std::optional<int>(m.captured(1).toInt()) : std::nullopt;
    };
    const QRegularExpressionMatch extents =
        QRegularExpression("= (\\d+), (\\d+), (\\d+), (\\d+)")
            .match(tool("xprop", {"-id", window, "_NET_FRAME_EXTENTS"}));
    const auto x = number("Absolute upper-left X");
    const auto y = number("Absolute upper-left Y");
    const auto w = number("Width");
    const auto h = number("Height");
    if (!x || !y || !w || !h || !extents.hasMatch())
        return std::nullopt;
    const int left = extents.captured(1).toInt();
    const int right = extents.captured(2).toInt();
    const int top = extents.captured(3).toInt();
    const int bottom = extents.captured(4).toInt();
    return QRect(*x - left, *y - top, *w + left + right, *h + top + bottom);
}

std::map<std::string, int> savedSize(const fs::path& home) {
    std::ifstream in(home / ".config" / "korvanex" / "KORVANEX.INI");
    std::map<std::string, int> keys;
    std::string line;
    bool inSize = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty() && line.front() == '[') {
            inSize = line == "[Size]";
        } else if (inSize && line.find('=') != std::string::npos) {
            keys[line.substr(0, line.find('='))] = std::stoi(line.substr(line.find('=') + 1));
        }
    }
    return keys;
}

QRect savedRectangle(const fs::path& home) {
    std::map<std::string, int> keys = savedSize(home);
    return {keys["Left"], keys["Top"], keys["Width"], keys["Height"]};
}

class DesktopTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        xvfb = new QProcess;
        xvfb->start("Xvfb",
                    {"-displayfd", "1", "-screen", "0",
                     QString("%1x%2x24").arg(kScreenWidth).arg(kScreenHeight), "-nolisten", "tcp"});
        if (!xvfb->waitForStarted(10000)) {
            startFailure = "Xvfb (package xvfb) is needed: scripts/install-deps.sh installs it";
            return;
        }
        QByteArray number;
        for (int i = 0; i < 100 && !number.contains('\n'); ++i) {
            xvfb->waitForReadyRead(100);
            number += xvfb->readAllStandardOutput();
        }
        if (!number.contains('\n')) {
            startFailure = "Xvfb gave no display number";
            return;
        }
        display = ":" + QString::fromLatin1(number.trimmed());
        windowManager = new QProcess;
        windowManager->setProcessEnvironment(desktopEnvironment());
        windowManager->start("openbox", {"--sm-disable"});
        if (!windowManager->waitForStarted(10000)) {
            startFailure = "openbox is needed: scripts/install-deps.sh installs it";
            return;
        }
        // The window manager is up once it names itself on the root window.
        for (int i = 0; i < 100; ++i) {
            if (tool("xprop", {"-root", "_NET_SUPPORTING_WM_CHECK"}).contains("window id"))
                return;
            QThread::msleep(100);
        }
        startFailure = "openbox did not start managing the display (is xprop, x11-utils, there?)";
    }

    static void TearDownTestSuite() {
        for (QProcess* process : {windowManager, xvfb}) {
            if (process == nullptr)
                continue;
            process->kill(); // by its process id
            process->waitForFinished();
            delete process;
        }
        windowManager = nullptr;
        xvfb = nullptr;
    }

    void SetUp() override {
        ASSERT_TRUE(startFailure.isEmpty()) << startFailure.toStdString();
        home = fs::temp_directory_path() /
               ("kvx-desktop-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(home);
        fs::create_directories(home / ".config" / "korvanex");
    }
    void TearDown() override { fs::remove_all(home); }

    void savePlacement(int left, int top, int width, int height) {
        std::ofstream(home / ".config" / "korvanex" / "KORVANEX.INI")
            << "[Size]\nState=0\nWidth=" << width << "\nHeight=" << height << "\nTop=" << top
            << "\nLeft=" << left << "\n";
    }

    // Starts the program, waits until its framed window has settled and returns where it lies;
    // then closes it with Alt+F4, as a user would.
    QRect startLookAndClose() {
        QProcess korvanex;
        QProcessEnvironment env = desktopEnvironment();
        env.insert("HOME", QString::fromStdString(home.string()));
        env.insert("XDG_CONFIG_HOME", QString::fromStdString((home / ".config").string()));
        korvanex.setProcessEnvironment(env);
        korvanex.setWorkingDirectory(QString::fromStdString(home.string()));
        korvanex.start(QStringLiteral(KORVANEX_EXE), {});
        EXPECT_TRUE(korvanex.waitForStarted(10000));
        const QString window =
            tool("xdotool", {"search", "--sync", "--onlyvisible", "--name", "^Korvanex$"})
                .split('\n')
                .value(0);
        EXPECT_FALSE(window.isEmpty()) << "no window titled Korvanex";
        std::optional<QRect> seen;
        int steady = 0;
        // Settled: the same for a second and a half (a loaded machine may leave the window
        // where it was first mapped for a while before the program places it).
        for (int i = 0; i < 150 && steady < 15; ++i) {
            QThread::msleep(100);
            const std::optional<QRect> now = outerRectangle(window);
            steady = now && now == seen ? steady + 1 : 0;
            seen = now;
        }
        tool("xdotool", {"windowactivate", "--sync", window, "key", "alt+F4"});
        if (!korvanex.waitForFinished(20000)) {
            korvanex.kill();
            korvanex.waitForFinished();
            ADD_FAILURE() << "Alt+F4 did not close the window";
        }
        EXPECT_EQ(korvanex.exitCode(), 0) << korvanex.readAllStandardError().toStdString();
        return seen.value_or(QRect());
    }

    fs::path home;
};

// The program's application in this process, on the private desktop.
std::unique_ptr<kvx::app::KvxApplication> desktopApplication() {
    qputenv("DISPLAY", display.toLocal8Bit());
    qputenv("QT_QPA_PLATFORM", "xcb");
    static int argc = 1;
    static char name[] = "desktop_tests";
    static char* argv[] = {name, nullptr};
    return std::make_unique<kvx::app::KvxApplication>(argc, argv);
}

std::string text(const QRect& r) {
    std::ostringstream out;
    out << r.left() << "," << r.top() << " " << r.width() << "x" << r.height();
    return out.str();
}

TEST_F(DesktopTest, WindowComesBackWhereAndAsLargeAsItWasClosed) {
    // A fresh profile: the designed size, centred on the screen.
    const QRect first = startLookAndClose();
    const QRect saved = savedRectangle(home);
    EXPECT_EQ(text(first), text(saved));
    EXPECT_EQ(saved.left(), (kScreenWidth - saved.width()) / 2);
    EXPECT_EQ(saved.top(), (kScreenHeight - saved.height()) / 2);
    EXPECT_GE(saved.width(), 671);
    EXPECT_GE(saved.height(), 455);
    for (int run = 2; run <= 3; ++run) {
        EXPECT_EQ(text(startLookAndClose()), text(saved)) << "run " << run;
        EXPECT_EQ(text(savedRectangle(home)), text(saved)) << "run " << run;
    }

    // A placement the user chose comes back as it was.
    savePlacement(10, 20, 800, 600);
    for (int run = 1; run <= 2; ++run) {
        EXPECT_EQ(text(startLookAndClose()), "10,20 800x600") << "run " << run;
        EXPECT_EQ(text(savedRectangle(home)), "10,20 800x600") << "run " << run;
    }
}

// A placement saved with a screen that is no longer there (the window's title bar lies off every
// present screen) brings the window back onto the screen, at its size.
TEST_F(DesktopTest, PlacementOffEveryScreenComesBackOntoOne) {
    savePlacement(5000, 3000, 800, 600);
    const QRect shown = startLookAndClose();
    EXPECT_TRUE(QRect(0, 0, kScreenWidth, kScreenHeight).contains(shown)) << text(shown);
    EXPECT_EQ(shown.size(), QSize(800, 600));
    savePlacement(-790, 100, 800, 600); // only its last 10 pixels on the screen
    EXPECT_GE(startLookAndClose().left(), 0);
}

// The window manager shows each help window's own title: the application's name is not added.
TEST_F(DesktopTest, HelpWindowsCarryTheirOwnTitles) {
    const std::unique_ptr<kvx::app::KvxApplication> app = desktopApplication();
    QWidget owner;
    TfrmAbout about(&owner);
    TfrmExplain explain;
    TfrmInstruct instruct;
    const std::vector<std::pair<QWidget*, QString>> windows = {
        {&explain, "Explaination of Tabular Terms"},
        {&instruct, "Korvanex - Instructions for use."},
        {&about, "About Korvanex"}};
    for (const auto& [window, title] : windows) {
        window->show();
        for (int i = 0; i < 50 && !window->isVisible(); ++i)
            QApplication::processEvents(QEventLoop::AllEvents, 100);
        QApplication::processEvents(QEventLoop::AllEvents, 200);
        QApplication::sync();
        const QString shown =
            tool("xprop", {"-id", QString::number(window->winId()), "_NET_WM_NAME"});
        EXPECT_EQ(shown.trimmed().toStdString(),
                  ("_NET_WM_NAME(UTF8_STRING) = \"" + title + "\"").toStdString());
        window->hide();
    }
}

// The example report (examples/acme-users.kvx) built and run in the window with the mouse and
// the keyboard only, as X events: the menus open by their letters, a header click sorts, and
// Ctrl+C copies the rows selected. The report written is the one the example writes unattended.
TEST_F(DesktopTest, ExampleReportBuiltAndRunWithMouseAndKeyboardOnly) {
    const std::unique_ptr<kvx::app::KvxApplication> app = desktopApplication();
    QStringList messages;
    const auto previous = kvx::app::setMessageHandler(
        [&messages](QWidget*, const kvx::app::Message& m) { messages << m.text; });
    const QString folder = QString::fromStdString(home.string());
    const QString workingFolder = QDir::currentPath();
    QDir::setCurrent(folder);

    auto pump = [](int ms) {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < ms)
            QApplication::processEvents(QEventLoop::AllEvents, 20);
    };
    auto until = [&pump](const std::function<bool()>& done, int ms = 10000) {
        QElapsedTimer clock;
        clock.start();
        while (!done() && clock.elapsed() < ms)
            pump(50);
        return done();
    };
    // xdotool sends its events and returns; the window handles them as the events are pumped.
    auto xdo = [&pump](const QStringList& arguments, int settle = 300) {
        tool("xdotool", arguments);
        pump(settle);
    };
    auto click = [&xdo](QWidget* widget, QPoint at, const QStringList& modifiers = {}) {
        const QPoint p = widget->mapToGlobal(at);
        QStringList args{"mousemove", QString::number(p.x()), QString::number(p.y())};
        for (const QString& m : modifiers)
            args << "keydown" << m;
        args << "click"
             << "1";
        for (const QString& m : modifiers)
            args << "keyup" << m;
        xdo(args);
    };

    TfrmKorvanex window;
    TfrmAbout about(&window);
    TfrmExplain explain;
    TfrmInstruct instruct;
    window.setHelpWindows(&about, &explain, &instruct);
    window.show();
    ASSERT_TRUE(until([&] { return window.isVisible() && window.windowHandle()->isExposed(); }));
    xdo({"windowactivate", QString::number(window.winId())}, 500);
    ASSERT_TRUE(until([&] { return window.isActiveWindow(); }));
    pump(1500); // the placement settles

    // The menus open by their underlined letters.
    for (const auto& [key, menu] : std::vector<std::pair<QString, const char*>>{
             {"alt+f", "File1"}, {"alt+e", "Edit1"}, {"alt+h", "Help1"}}) {
        xdo({"key", key});
        EXPECT_TRUE(until([&] { return window.findChild<QMenu*>(menu)->isVisible(); }, 3000))
            << menu;
        xdo({"key", "Escape", "Escape"});
    }

    // Select Criteria: a click on Acme, the class typed.
    auto* tree = window.findChild<QTreeWidget*>("tvwNDS");
    QTreeWidgetItem* acme = nullptr;
    for (int i = 0; i < tree->topLevelItem(0)->childCount(); ++i) {
        if (tree->topLevelItem(0)->child(i)->text(0) == "Acme")
            acme = tree->topLevelItem(0)->child(i);
    }
    ASSERT_NE(acme, nullptr);
    click(tree->viewport(), tree->visualItemRect(acme).center());
    EXPECT_EQ(tree->currentItem(), acme);
    auto* classes = window.findChild<QListWidget*>("lstNDSClasses");
    click(classes->viewport(), classes->visualItemRect(classes->item(0)).center());
    xdo({"type", "--delay", "40", "User"});
    ASSERT_NE(classes->currentItem(), nullptr);
    EXPECT_EQ(classes->currentItem()->text(), "User");
    xdo({"key", "Return"}); // "Next ->>"
    auto* pages = window.findChild<QTabWidget*>("PageControl1");
    EXPECT_EQ(pages->currentIndex(), 1);

    // Attributes: typed (the last by its LDAP name) and added with Enter.
    auto* available = window.findChild<QTreeWidget*>("lvwAttributes");
    click(available->viewport(),
          QPoint(20, available->visualItemRect(available->topLevelItem(0)).center().y()));
    for (const char* typed : {"Surname", "Given Name", "Telephone Number", "mail"}) {
        xdo({"type", "--delay", "40", typed});
        xdo({"key", "Return"}, 600); // and a pause, so the next word is a new search
    }
    auto* selected = window.findChild<QTreeWidget*>("lvwSelectedAttributes");
    QStringList chosen;
    for (int i = 0; i < selected->topLevelItemCount(); ++i)
        chosen << selected->topLevelItem(i)->text(0);
    EXPECT_EQ(chosen,
              (QStringList{"Surname", "Given Name", "Telephone Number", "Internet EMail Address"}));
    auto* next = window.findChild<QPushButton*>("cmdNextPage2");
    click(next, next->rect().center());
    EXPECT_EQ(pages->currentIndex(), 2);

    // Output: to the window and a file, with headers and quotes; Enter starts.
    for (const char* box : {"chkOutputFile", "chkOutputColumnHeaders", "chkOutputEncloseQuotes"}) {
        auto* check = window.findChild<QCheckBox*>(box);
        if (!check->isChecked())
            click(check, QPoint(8, check->height() / 2));
        EXPECT_TRUE(check->isChecked()) << box;
    }
    auto* fileName = window.findChild<QLineEdit*>("txtOutputFilename");
    click(fileName, fileName->rect().center());
    xdo({"key", "ctrl+a"});
    xdo({"type", "--delay", "20", "acme-users.txt"});
    EXPECT_EQ(fileName->text(), "acme-users.txt");
    xdo({"key", "Return"});
    ASSERT_TRUE(until([&] { return window.statusText(0) == "Finished"; }, 30000))
        << window.statusText(0).toStdString();
    EXPECT_EQ(pages->currentIndex(), 3);
    EXPECT_TRUE(messages.isEmpty()) << messages.join('|').toStdString();
    EXPECT_EQ(window.statusText(1), "Written to " + folder + "/acme-users.txt");

    // The same report as the example writes unattended.
    const fs::path unattended = home / "unattended";
    fs::create_directories(unattended);
    QProcess headless;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("DISPLAY"); // run as a scheduler runs it
    env.remove("QT_QPA_PLATFORM");
    env.insert("HOME", folder);
    headless.setProcessEnvironment(env);
    headless.setWorkingDirectory(QString::fromStdString(unattended.string()));
    headless.start(
        QStringLiteral(KORVANEX_EXE),
        {"/settings=" KVX_SOURCE_DIR "/examples/acme-users.kvx", "/autorun", "/autoclose"});
    ASSERT_TRUE(headless.waitForFinished(60000));
    auto slurp = [](const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    const std::string written = slurp(home / "acme-users.txt");
    EXPECT_FALSE(written.empty());
    EXPECT_EQ(written, slurp(unattended / "acme-users.txt"));

    // A click on the Surname header sorts by it, a second click the other way.
    auto* results = window.findChild<QTreeView*>("lvwSearch");
    kvx::ResultsModel* model = window.resultsModel();
    ASSERT_GT(model->rowCount(), 10);
    auto surnames = [&] {
        QStringList texts;
        for (int r = 0; r < model->rowCount(); ++r)
            texts << model->data(model->index(r, 1)).toString();
        return texts;
    };
    auto sortedBy = [](QStringList texts, bool descending) {
        std::stable_sort(texts.begin(), texts.end(),
                         [descending](const QString& a, const QString& b) {
                             const int order = QString::localeAwareCompare(a, b);
                             return descending ? order > 0 : order < 0;
                         });
        return texts;
    };
    QHeaderView* header = results->header();
    const QPoint surnameHeader(header->sectionViewportPosition(1) + header->sectionSize(1) / 2,
                               header->height() / 2);
    click(header->viewport(), surnameHeader);
    EXPECT_EQ(surnames(), sortedBy(surnames(), false));
    EXPECT_EQ(header->sortIndicatorSection(), 1);
    click(header->viewport(), surnameHeader);
    EXPECT_EQ(surnames(), sortedBy(surnames(), true));
    EXPECT_EQ(header->sortIndicatorOrder(), Qt::DescendingOrder);

    // Rows 2 and 4 chosen with the mouse, copied with Ctrl+C: those rows, tab-separated.
    auto rowText = [&](int r) {
        QStringList cells;
        for (int c = 0; c < model->columnCount(); ++c)
            cells << model->data(model->index(r, c)).toString();
        return cells.join('\t') + "\r\n";
    };
    click(results->viewport(), results->visualRect(model->index(1, 0)).center());
    click(results->viewport(), results->visualRect(model->index(3, 0)).center(), {"ctrl"});
    xdo({"key", "ctrl+c"});
    EXPECT_EQ(QGuiApplication::clipboard()->text(), rowText(1) + rowText(3));

    // Ctrl+Q quits.
    xdo({"key", "ctrl+q"});
    EXPECT_TRUE(until([&] { return !window.isVisible(); }, 5000));
    EXPECT_TRUE(messages.isEmpty()) << messages.join('|').toStdString();
    kvx::app::setMessageHandler(previous);
    QDir::setCurrent(workingFolder);
}

} // namespace
