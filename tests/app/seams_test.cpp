// The message and file-dialog seams and the application's error display.
#include "common/window.h"

#include "app/filedialogs.h"
#include "settings/profile.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <vector>

#include <pwd.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

namespace {

using kvx::app::MessageKind;

TEST(MessageSeam, ErrorCodeIsUnsigned32BitLowerCaseHex) {
    EXPECT_EQ(kvx::app::formatErrorCode("NWDSList", -601), "NWDSList\nCode : fffffda7");
    EXPECT_EQ(kvx::app::formatErrorCode("Cannot NWCallsInit", 0x8801),
              "Cannot NWCallsInit\nCode : 8801");
    EXPECT_EQ(kvx::app::formatErrorCode("X", 0), "X\nCode : 0");
    EXPECT_EQ(kvx::app::formatErrorCode("X", -1), "X\nCode : ffffffff");
    EXPECT_EQ(kvx::app::formatErrorCode("X", INT32_MIN), "X\nCode : 80000000");
}

TEST(MessageSeam, EveryBoxGoesThroughTheInstalledHandler) {
    kvx::test::MessageRecorder recorder;
    kvx::app::ShowErrorCode(nullptr, "Cannot Set Context", -601);
    kvx::app::ShowMessage(nullptr, "Select Attribute to Add");
    kvx::app::ShowMessage(nullptr, "Only names", MessageKind::Notice);
    kvx::app::ShowFrameworkError(nullptr, "disk full");
    ASSERT_EQ(recorder.messages.size(), 4u);
    for (const auto& m : recorder.messages)
        EXPECT_EQ(m.caption, "Korvanex");
    EXPECT_EQ(recorder.messages[0].text, "Cannot Set Context\nCode : fffffda7");
    EXPECT_EQ(recorder.messages[0].kind, MessageKind::Failure);
    EXPECT_EQ(recorder.messages[1].kind, MessageKind::Failure);
    EXPECT_EQ(recorder.messages[2].kind, MessageKind::Notice);
    EXPECT_EQ(recorder.messages[3].kind, MessageKind::Error);
    EXPECT_EQ(recorder.messages[3].text, "disk full");
}

TEST(MessageSeam, LongTextsAreShownWhole) {
    kvx::test::MessageRecorder recorder;
    const QString longText(5000, QLatin1Char('n'));
    kvx::app::ShowErrorCode(nullptr, longText, -1);
    ASSERT_EQ(recorder.messages.size(), 1u);
    EXPECT_EQ(recorder.messages[0].text, longText + "\nCode : ffffffff");
}

class Thrower : public QObject {
public:
    bool event(QEvent* e) override {
        if (e->type() == QEvent::User)
            throw std::runtime_error("handler failed");
        return QObject::event(e);
    }
};

TEST(ApplicationErrors, ExceptionInAHandlerIsShownAndTheProgramGoesOn) {
    kvx::test::application();
    kvx::test::MessageRecorder recorder;
    Thrower thrower;
    QEvent event(QEvent::User);
    EXPECT_NO_THROW(QCoreApplication::sendEvent(&thrower, &event));
    ASSERT_EQ(recorder.messages.size(), 1u);
    EXPECT_EQ(recorder.messages[0].text, "handler failed");
    EXPECT_EQ(recorder.messages[0].kind, MessageKind::Error);
    EXPECT_EQ(QApplication::applicationName(), "Korvanex");
}

TEST(FileDialogs, SeamAnswersAndDialogsStartInTheFolderOfTheLastSettingsFile) {
    // Each dialog starts from the file last chosen in it; cancelling keeps that file.
    std::vector<QString> starts;
    bool cancel = false;
    auto previous =
        kvx::app::setFileDialogHandler([&starts, &cancel](QWidget*, kvx::app::FileDialogKind kind) {
            starts.push_back(kvx::app::dialogStartFile(kind));
            if (cancel)
                return QString();
            return kind == kvx::app::FileDialogKind::Save ? QStringLiteral("/tmp/save.kvx")
                                                          : QStringLiteral("/tmp/open.kvx");
        });
    EXPECT_EQ(kvx::app::getSaveSettingsFileName(nullptr), "/tmp/save.kvx");
    EXPECT_EQ(kvx::app::getOpenSettingsFileName(nullptr), "/tmp/open.kvx");
    cancel = true;
    EXPECT_EQ(kvx::app::getSaveSettingsFileName(nullptr), "");
    EXPECT_EQ(kvx::app::getSaveSettingsFileName(nullptr), "");
    EXPECT_EQ(kvx::app::getOpenSettingsFileName(nullptr), "");
    kvx::app::setFileDialogHandler(previous);
    ASSERT_EQ(starts.size(), 5u);
    EXPECT_EQ(starts[2], "/tmp/save.kvx");
    EXPECT_EQ(starts[3], "/tmp/save.kvx");
    EXPECT_EQ(starts[4], "/tmp/open.kvx");

    // The settings dialogs start in the folder of the last settings file used, read by a
    // dialog or by the command line, else in the documents folder: never the program's own.
    QTemporaryDir documents;
    ASSERT_TRUE(documents.isValid());
    EXPECT_EQ(kvx::app::initialDialogFolder("", documents.path(), "/home/x"), documents.path());
    EXPECT_EQ(kvx::app::initialDialogFolder("", "/nonexistent/Documents", "/home/x"), "/home/x");
    EXPECT_EQ(kvx::app::initialDialogFolder("/srv/reports/users.kvx", documents.path(), "/home/x"),
              "/srv/reports");
    EXPECT_EQ(kvx::app::settingsDialogFolder(), "/tmp"); // /tmp/open.kvx was the last one
    kvx::app::noteSettingsFileUsed("/srv/batch/nightly.kvx");
    EXPECT_EQ(kvx::app::settingsDialogFolder(), "/srv/batch");
    EXPECT_NE(kvx::app::settingsDialogFolder(), QCoreApplication::applicationDirPath());
}

// Saved defaults and placement written by any test land in a folder of the test program's own,
// never in the configuration of the account running the tests.
TEST(TestEnvironment, ConfigurationFolderIsPrivate) {
    const passwd* account = ::getpwuid(::getuid());
    ASSERT_NE(account, nullptr);
    const std::string accountFolder = std::string(account->pw_dir) + "/.config/korvanex";
    const std::string used = kvx::settings::userConfigFolder();
    EXPECT_NE(used, accountFolder);
    EXPECT_NE(kvx::settings::locateProfile("KORVANEX.INI"), accountFolder + "/KORVANEX.INI");
    EXPECT_NE(QDir::homePath().toStdString(), std::string(account->pw_dir));
    EXPECT_NE(used.find("kvx-test-home."), std::string::npos) << used;
}

} // namespace
