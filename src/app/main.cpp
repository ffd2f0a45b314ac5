// Korvanex: the program. Creates the application and its four windows and runs the message loop.
//
// --help and --version are answered on standard output without starting the windows.
//
// Without a display (none set, or Qt's offscreen or minimal platform asked for) the program only
// runs unattended (/autorun and /autoclose, usually with /settings=FILE) on Qt's offscreen
// platform; every message then goes to standard error and counts as answered with OK, and the
// saved window placement is left alone. With a display, an unattended run (/autorun) shows its
// messages and writes them to standard error too. Exit status of an unattended run: 0 when the
// report ran, 1 when a message stopped the run or reported a failure up to the window's close
// (a settings file that cannot be read or does not match the directory included); 2 without a
// display and without both flags.
#include "app/frmndsrep.h"
#include "app/messages.h"
#include "directory/client/config.h"
#include "directory/client/names.h"
#include "directory/keyring.h"
#include "help/frmabout.h"
#include "help/frmexplaintabular.h"
#include "help/frminstructions.h"
#include "settings/commandline.h"

#include <QCoreApplication>

#include <QEvent>
#include <QObject>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <termios.h>
#include <unistd.h>

namespace {

bool hasDisplay() {
    // The platform Qt would use: an explicit choice, or an X11 or Wayland display. The offscreen
    // and minimal platforms show nothing, so nobody could answer a message there.
    const QString platform =
        qEnvironmentVariable("QT_QPA_PLATFORM").section(QLatin1Char(':'), 0, 0);
    if (!platform.isEmpty())
        return platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
    return !qEnvironmentVariableIsEmpty("DISPLAY") ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

bool failureShown = false;

void noteFailure(const kvx::app::Message& message) {
    if (message.kind != kvx::app::MessageKind::Notice)
        failureShown = true;
}

void headlessMessage(QWidget* owner, const kvx::app::Message& message) {
    kvx::app::writeMessageToStderr(owner, message);
    noteFailure(message);
}

// An unattended run on a desktop: the message is shown as usual and also written to standard
// error, for the log of whatever started the run.
void unattendedMessage(QWidget* owner, const kvx::app::Message& message) {
    kvx::app::writeMessageToStderr(owner, message);
    noteFailure(message);
    kvx::app::showMessageBox(owner, message);
}

// Takes the outcome of the run when the window starts to close: a failure to save the window
// placement on the way out does not turn a good report into a failed one.
class RunOutcome : public QObject {
public:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Close && !taken_) {
            taken_ = true;
            failed_ = failureShown;
        }
        return QObject::eventFilter(watched, event);
    }
    bool failed() const { return taken_ ? failed_ : failureShown; }

private:
    bool taken_ = false;
    bool failed_ = false;
};

// Qt wants a private runtime folder and warns without one; a machine with no session (cron, a
// service) often has none. The folder lives as long as the run.
class PrivateRuntimeFolder {
public:
    PrivateRuntimeFolder() {
        if (!qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR"))
            return;
        std::string pattern =
            (std::filesystem::temp_directory_path() / "korvanex-runtime-XXXXXX").string();
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        if (::mkdtemp(name.data()) == nullptr) // mode 0700, as Qt requires
            return;
        folder_ = name.data();
        qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString(folder_));
    }
    ~PrivateRuntimeFolder() {
        if (folder_.empty())
            return;
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    PrivateRuntimeFolder(const PrivateRuntimeFolder&) = delete;
    PrivateRuntimeFolder& operator=(const PrivateRuntimeFolder&) = delete;

private:
    std::string folder_;
};

// A line of standard input; on a terminal it is asked for and not shown as it is typed.
bool readSecretLine(const std::string& prompt, std::string& out) {
    const bool terminal = ::isatty(STDIN_FILENO) != 0;
    termios saved{};
    if (terminal) {
        std::fputs(prompt.c_str(), stderr);
        std::fflush(stderr);
        if (::tcgetattr(STDIN_FILENO, &saved) == 0) {
            termios quiet = saved;
            quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
            ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
        }
    }
    out.clear();
    int c = 0;
    bool any = false;
    while ((c = std::fgetc(stdin)) != EOF && c != '\n') {
        any = true;
        out.push_back(static_cast<char>(c));
    }
    if (!out.empty() && out.back() == '\r')
        out.pop_back();
    if (terminal) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::fputc('\n', stderr);
    }
    return any || c == '\n';
}

// korvanex --store-password TREE: the password read from standard input goes to the keyring.
int storePassword(int argc, char** argv, const std::string& tree) {
    if (tree.empty()) {
        std::fprintf(stderr, "Korvanex: --store-password needs the name of a tree\n");
        return 2;
    }
    QCoreApplication application(argc, argv);
    const kvx::client::ClientConfig config = kvx::client::loadClientConfig();
    bool known = false;
    for (const auto& t : config.trees)
        known = known || kvx::client::names::equalNoCase(t.name, tree);
    if (!known)
        std::fprintf(stderr,
                     "Korvanex: note: the client configuration names no tree \"%s\" yet; the "
                     "password is kept for it all the same\n",
                     tree.c_str());
    std::string password;
    if (!readSecretLine("Password for the tree " + tree + ": ", password) || password.empty()) {
        std::fprintf(stderr, "Korvanex: no password was given; nothing was stored\n");
        return 1;
    }
    std::string error;
    auto keyring = kvx::directory::makeDesktopKeyring();
    const bool stored = keyring->write(tree, password, error);
    std::fill(password.begin(), password.end(), '\0');
    if (!stored) {
        std::fprintf(stderr, "Korvanex: the password was not stored: %s.\n%s\n", error.c_str(),
                     kvx::directory::noKeyringAdvice(tree).c_str());
        return 1;
    }
    std::fprintf(stderr, "Korvanex: the password of the tree %s is in the keyring\n", tree.c_str());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i)
        args.emplace_back(argv[i]);
    const kvx::settings::CommandLine line = kvx::settings::parseCommandLine(args);
    if (line.help) {
        std::fputs(kvx::settings::usageText().c_str(), stdout);
        return 0;
    }
    if (line.version) {
        std::printf("korvanex %s\n", kvx::settings::programVersion());
        return 0;
    }
    if (line.storePassword)
        return storePassword(argc, argv, line.storePasswordTree);
    // Trees without a password file bind with the password the desktop's keyring keeps.
    kvx::directory::useKeyringForPasswords(kvx::directory::makeDesktopKeyring());

    const bool headless = !hasDisplay();
    std::unique_ptr<PrivateRuntimeFolder> runtimeFolder;
    if (headless) {
        if (!line.autorun || !line.autoclose) {
            std::fprintf(stderr,
                         "Korvanex: no display. Without one, run a saved report unattended:\n"
                         "  korvanex /settings=FILE.kvx /autorun /autoclose\n");
            return 2;
        }
        runtimeFolder = std::make_unique<PrivateRuntimeFolder>();
        qputenv("QT_QPA_PLATFORM", "offscreen");
        kvx::app::setMessageHandler(headlessMessage);
    } else if (line.autorun) {
        kvx::app::setMessageHandler(unattendedMessage);
    }
    const bool unattended = headless || line.autorun;
    RunOutcome outcome;

    int status = 0;
    {
        std::unique_ptr<kvx::app::KvxApplication> application;
        std::unique_ptr<TfrmKorvanex> frmKorvanex;
        std::unique_ptr<TfrmAbout> frmAbout;
        std::unique_ptr<TfrmExplain> frmExplain;
        std::unique_ptr<TfrmInstruct> frmInstruct;
        try {
            application = std::make_unique<kvx::app::KvxApplication>(argc, argv);
            frmKorvanex = std::make_unique<TfrmKorvanex>();
            frmAbout = std::make_unique<TfrmAbout>(frmKorvanex.get());
            frmExplain = std::make_unique<TfrmExplain>();
            frmInstruct = std::make_unique<TfrmInstruct>();
            frmKorvanex->setHelpWindows(frmAbout.get(), frmExplain.get(), frmInstruct.get());
        } catch (const std::exception& error) {
            if (application)
                kvx::app::ShowFrameworkError(nullptr, QString::fromLocal8Bit(error.what()));
            else
                std::fprintf(stderr, "Korvanex: %s\n", error.what());
            return 1;
        }
        if (headless) {
            frmKorvanex->setUnattendedDelay(0);
            frmKorvanex->leaveSavedPlacement();
        }
        frmKorvanex->installEventFilter(&outcome);
        frmKorvanex->show();
        if (headless) {
            // When start-up stopped before the unattended run was scheduled (the client could not
            // start, a settings file raised an error), nobody is there to close the window: end
            // the program instead of waiting for ever.
            QTimer::singleShot(0, frmKorvanex.get(), [window = frmKorvanex.get()]() {
                if (window->autorunRequested())
                    return;
                if (!failureShown)
                    kvx::app::ShowMessage(window,
                                          QStringLiteral("The unattended run could not start"));
                failureShown = true;
                window->close();
            });
        }
        application->exec();
        status = unattended && outcome.failed() ? 1 : 0;
    }
    return status;
}
