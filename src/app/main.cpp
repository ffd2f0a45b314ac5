// Korvanex: the program. Creates the application and its four windows and runs the message loop.
//
// Without a display the program only runs unattended (/autorun and /autoclose, usually with
// /settings=FILE) on Qt's offscreen platform; every message then goes to standard error, counts
// as answered with OK, and a failure among them makes the exit status 1.
#include "app/frmndsrep.h"
#include "app/messages.h"
#include "help/frmabout.h"
#include "help/frmexplaintabular.h"
#include "help/frminstructions.h"

#include <cstdio>
#include <exception>
#include <memory>
#include <strings.h>

namespace {

bool hasDisplay() {
    // The platform Qt would use: an explicit choice, or an X11 or Wayland display.
    return !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") ||
           !qEnvironmentVariableIsEmpty("DISPLAY") ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

bool hasArgument(int argc, char** argv, const char* wanted) {
    for (int i = 1; i < argc; ++i) {
        if (strcasecmp(argv[i], wanted) == 0)
            return true;
    }
    return false;
}

bool failureShown = false;

void headlessMessage(QWidget* owner, const kvx::app::Message& message) {
    kvx::app::writeMessageToStderr(owner, message);
    if (message.kind != kvx::app::MessageKind::Notice)
        failureShown = true;
}

} // namespace

int main(int argc, char** argv) {
    const bool headless = !hasDisplay();
    if (headless) {
        if (!hasArgument(argc, argv, "/autorun") || !hasArgument(argc, argv, "/autoclose")) {
            std::fprintf(stderr,
                         "Korvanex: no display. Without one, run a saved report unattended:\n"
                         "  korvanex /settings=FILE.kvx /autorun /autoclose\n");
            return 2;
        }
        qputenv("QT_QPA_PLATFORM", "offscreen");
        kvx::app::setMessageHandler(headlessMessage);
    }

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
        return headless ? 1 : 0;
    }
    frmKorvanex->show();
    application->exec();
    return headless && failureShown ? 1 : 0;
}
