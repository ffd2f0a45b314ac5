// Korvanex: the program. Creates the application and its four windows and runs the message loop.
#include "app/frmndsrep.h"
#include "app/messages.h"
#include "help/frmabout.h"
#include "help/frmexplaintabular.h"
#include "help/frminstructions.h"

#include <exception>
#include <memory>

int main(int argc, char** argv) {
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
        return 0;
    }
    frmKorvanex->show();
    application->exec();
    return 0;
}
