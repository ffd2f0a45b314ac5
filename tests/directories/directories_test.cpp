// The "Directories…" dialog driven as a user drives it, against a private slapd: a server tree
// added and tested (right and wrong password, nothing listening, a certificate not trusted),
// its naming context picked, saved into a hand-written client.conf and reported on. And the
// keyring for real: gnome-keyring in a private D-Bus session holds the password that
// `korvanex --store-password` stored and an unattended report binds with.
#include "common/support.h"
#include "common/window.h"
#include "slapd_fixture.h"

#include "app/frmdirectories.h"
#include "directory/client/config_document.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>

namespace {

namespace fs = std::filesystem;
using namespace kvx::test;

const std::string kAcmeFolder = KVX_SOURCE_DIR "/data/trees/ACME";

kvx::testing::SlapdOptions acmeServer(bool tls) {
    kvx::testing::SlapdOptions o;
    o.treeFolder = kAcmeFolder;
    o.managerPassword = "right";
    o.tls = tls;
    return o;
}

// The SHA-256 fingerprint of a PEM certificate as openssl prints it ("AB:CD:...").
std::string fingerprint(const std::string& pem, const std::string& folder) {
    const std::string log = folder + "/fingerprint.txt";
    kvx::testing::run({kvx::testing::findProgram("openssl"), "x509", "-in", pem, "-noout",
                       "-fingerprint", "-sha256"},
                      log);
    std::string text = kvx::testing::readFile(log);
    std::size_t eq = text.find('=');
    if (eq == std::string::npos)
        return "<none>";
    text = text.substr(eq + 1);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

// A file written by hand on Windows: the dialog's edits change only the lines they must.
TEST(ConfigDocument, EditsKeepCommentsOrderUnknownKeysAndLineEnds) {
    kvx::client::ConfigDocument doc("; trees\r\n[Client]\r\nDefaultTree=OLD\r\n\r\n"
                                    "# the old server\r\n[Tree OLD]\r\nURL=ldap://old\r\n\r\n"
                                    "; the main one\r\n[tree corp]\r\nURL = ldap://a\r\n"
                                    "Colour=blue\r\nBindDN=cn=x\r\n\r\n; trailing note\r\n");
    kvx::client::TreeSource corp;
    corp.name = "CORP2";
    corp.url = "ldaps://b";
    corp.base = "o=Corp";
    corp.caCertificate = "/ca.pem";
    kvx::client::putTree(doc, corp, "CORP");
    doc.removeSection("Tree OLD");
    doc.removeKey("Client", "DefaultTree");
    kvx::client::TreeSource added;
    added.name = "NEW";
    added.folder = "/trees/NEW";
    kvx::client::putTree(doc, added, "");
    EXPECT_EQ(doc.text(), "; trees\r\n[Client]\r\n\r\n"
                          "; the main one\r\n[Tree CORP2]\r\nURL = ldaps://b\r\n"
                          "Colour=blue\r\nBase=o=Corp\r\nCACertificate=/ca.pem\r\n\r\n"
                          "; trailing note\r\n\r\n[Tree NEW]\r\nFolder=/trees/NEW\r\n");
    EXPECT_EQ(doc.value("tree corp2", "url"), "ldaps://b");
}

class DirectoriesDialogTest : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        // The user's own file, and no keyring: the test account's session is not used.
        ::unsetenv("KORVANEX_CLIENT_CONF");
        saved_ =
            std::getenv("DBUS_SESSION_BUS_ADDRESS") ? std::getenv("DBUS_SESSION_BUS_ADDRESS") : "";
        ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
        userFile_ = std::string(std::getenv("XDG_CONFIG_HOME")) + "/korvanex/client.conf";
        fs::create_directories(fs::path(userFile_).parent_path());
    }
    void TearDown() override {
        WindowTest::TearDown();
        std::error_code ec;
        fs::remove_all(fs::path(userFile_).parent_path(), ec);
        ::setenv("KORVANEX_CLIENT_CONF", "/nonexistent/korvanex-client.conf", 1);
        if (!saved_.empty())
            ::setenv("DBUS_SESSION_BUS_ADDRESS", saved_.c_str(), 1);
    }

    // Presses Test (or Naming Contexts...) and waits for the result text.
    static QString test(QDialog* dialog, const char* button = "cmdTest") {
        auto* result = dialog->findChild<QPlainTextEdit*>("txtTestResult");
        QTest::mouseClick(dialog->findChild<QPushButton*>(button), Qt::LeftButton);
        EXPECT_TRUE(waitFor(
            [&]() { return dialog->findChild<QPushButton*>("cmdTest")->isEnabled(); }, 15000));
        return result->toPlainText();
    }

    std::string userFile_;
    std::string saved_;
};

TEST_F(DirectoriesDialogTest, AServerTreeIsAddedTestedSavedAndReportedOn) {
    kvx::testing::Slapd server;
    std::string error;
    ASSERT_TRUE(server.start(acmeServer(true), error)) << error;
    const std::string handWritten = "# My trees, written by hand.\n"
                                    "[Client]\n"
                                    "; the sample tree stays the default\n"
                                    "DefaultTree=SAMPLE\n"
                                    "\n"
                                    "[Tree SAMPLE]\n"
                                    "Folder=" +
                                    kAcmeFolder + "\n";
    spit(userFile_, handWritten);
    const std::string passwordFile = tempPath("corp.password").toStdString();
    const std::string expectedFingerprint =
        fingerprint(server.folder() + "/server.pem", tempDir.toStdString());
    std::map<std::string, QString> results;
    QStringList contexts;

    start();
    EXPECT_FALSE(find<QLabel>("lblAddDirectoryHint")->isVisible()); // a configuration exists
    whenModalShows([&](QDialog* dialog) {
        auto edit = [&](const char* name, const std::string& text) {
            auto* line = dialog->findChild<QLineEdit*>(name);
            line->clear();
            QTest::keyClicks(line, QString::fromStdString(text));
        };
        results["folder"] = test(dialog); // the hand-written folder tree, chosen first
        QTest::mouseClick(dialog->findChild<QPushButton*>("cmdDirectoryAdd"), Qt::LeftButton);
        edit("txtDirectoryName", "CORP");
        edit("txtServerUrl", server.url());
        dialog->findChild<QComboBox*>("cboBindKind")->setCurrentIndex(1);
        edit("txtBindDn", "cn=Manager,c=GB");
        edit("txtPassword", "wrong");
        results["wrong"] = test(dialog);
        edit("txtPassword", "right");
        results["good"] = test(dialog);
        // A server that does not answer: Cancel Test gives the dialog back at once; the next
        // Test waits for the abandoned one, which ends by its own time limit.
        server.pause();
        QTest::mouseClick(dialog->findChild<QPushButton*>("cmdTest"), Qt::LeftButton);
        QTest::qWait(300);
        QTest::mouseClick(dialog->findChild<QPushButton*>("cmdTestCancel"), Qt::LeftButton);
        results["cancelled"] = dialog->findChild<QPlainTextEdit*>("txtTestResult")->toPlainText();
        results["enabled"] = dialog->findChild<QPushButton*>("cmdTest")->isEnabled() ? "yes" : "no";
        server.resume();
        edit("txtServerUrl", "ldap://127.0.0.1:" + std::to_string(kvx::testing::freePort()));
        results["nothing"] = test(dialog);
        edit("txtServerUrl", server.tlsUrl());
        results["untrusted"] = test(dialog);
        edit("txtCaCertificate", server.caFile());
        results["trusted"] = test(dialog);
        const std::string port = server.tlsUrl().substr(server.tlsUrl().rfind(':'));
        edit("txtServerUrl", "ldaps://localhost" + port);
        results["misnamed"] = test(dialog);
        edit("txtServerUrl", "ldaps://no-such-host.invalid" + port);
        results["unknown"] = test(dialog);
        edit("txtServerUrl", server.tlsUrl());
        results["contexts"] = test(dialog, "cmdListContexts");
        auto* list = dialog->findChild<QListWidget*>("lstNamingContexts");
        for (int i = 0; i < list->count(); ++i)
            contexts << list->item(i)->text();
        const auto found = list->findItems(QStringLiteral("o=Acme"), Qt::MatchFixedString);
        if (!found.isEmpty())
            QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                              list->visualItemRect(found.front()).center());
        // No keyring is reachable: OK says so and the dialog stays; a password file does.
        QTest::mouseClick(dialog->findChild<QPushButton*>("cmdOK"), Qt::LeftButton);
        results["keyring"] = messageTexts().join(QStringLiteral("|"));
        dialog->findChild<QComboBox*>("cboPasswordStore")->setCurrentIndex(1);
        edit("txtPasswordFile", passwordFile);
        QTest::mouseClick(dialog->findChild<QPushButton*>("cmdOK"), Qt::LeftButton);
        if (dialog->isVisible())
            dialog->reject();
    });
    QTest::mouseClick(find<QPushButton>("cmdDirectories"), Qt::LeftButton);

    EXPECT_TRUE(results["folder"].contains("holds 96 entries in 2 naming contexts: GB, Acme"))
        << results["folder"].toStdString();
    EXPECT_TRUE(results["wrong"].contains("password is wrong")) << results["wrong"].toStdString();
    EXPECT_TRUE(results["good"].contains("Connected to OpenLDAP")) << results["good"].toStdString();
    EXPECT_TRUE(results["good"].contains("o=Acme") && results["good"].contains("c=GB"))
        << results["good"].toStdString();
    EXPECT_TRUE(results["good"].contains("The schema can be read"));
    EXPECT_EQ(results["cancelled"], QStringLiteral("The test was cancelled."));
    EXPECT_EQ(results["enabled"], QStringLiteral("yes"));
    EXPECT_TRUE(results["nothing"].contains("was refused: nothing listens there"))
        << results["nothing"].toStdString();
    EXPECT_TRUE(results["untrusted"].contains("certificate is not trusted"))
        << results["untrusted"].toStdString();
    EXPECT_TRUE(results["untrusted"].contains(QString::fromStdString(expectedFingerprint)))
        << results["untrusted"].toStdString() << "\nwanted " << expectedFingerprint;
    EXPECT_TRUE(results["trusted"].contains("Connected to OpenLDAP"))
        << results["trusted"].toStdString();
    // libldap checks "localhost" against the name of this computer, which the certificate of
    // 127.0.0.1 and localhost does not name.
    EXPECT_TRUE(results["misnamed"].contains("certificate") &&
                results["misnamed"].contains("is not made out to"))
        << results["misnamed"].toStdString();
    EXPECT_TRUE(results["unknown"].contains("the host name \"no-such-host.invalid\" is not known"))
        << results["unknown"].toStdString();
    EXPECT_EQ(contexts, (QStringList{"c=GB", "o=Acme"}));
    EXPECT_TRUE(results["keyring"].contains("cannot be kept in the keyring"))
        << results["keyring"].toStdString();

    // The file: the hand-written lines as they were, the new tree after them, no password.
    const std::string conf = slurp(userFile_);
    EXPECT_EQ(conf.rfind(handWritten, 0), 0u) << conf;
    EXPECT_NE(conf.find("[Tree CORP]\nURL=" + server.tlsUrl() +
                        "\nBase=o=Acme\n"
                        "BindDN=cn=Manager,c=GB\nPasswordFile=" +
                        passwordFile + "\nCACertificate=" + server.caFile() + "\n"),
              std::string::npos)
        << conf;
    EXPECT_EQ(conf.find("right"), std::string::npos) << conf;
    struct stat st {};
    ASSERT_EQ(::stat(passwordFile.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(slurp(passwordFile), "right\n");

    // The window opened the new tree at once, showing its one naming context; a report on it.
    EXPECT_EQ(find<QComboBox>("cboNDSTree")->currentText(), QStringLiteral("CORP"));
    EXPECT_EQ(childTexts(tree()->topLevelItem(0)), QStringList{"Acme"});
    const QString out = tempPath("corp-users.txt");
    runReport({"Acme"}, "User", {"Surname"}, Output{}, out);
    EXPECT_TRUE(waitFor([&]() { return window->statusText(0) == "Finished"; }, 20000))
        << window->statusText(0).toStdString() << messageTexts().join("|").toStdString();
    EXPECT_GE(resultRows().size(), 5u);
    EXPECT_NE(readFile(out).find("Object,Surname"), std::string::npos);
}

// An unattended run, with standard error to a file, under `shell` (sh -c).
int shell(const std::string& script, const std::string& log) {
    return kvx::testing::run({"/bin/sh", "-c", script}, log);
}

TEST(Keyring, StoredPasswordBindsAnUnattendedRunAndItsAbsenceIsExplained) {
    for (const char* program : {"dbus-run-session", "gnome-keyring-daemon"})
        ASSERT_FALSE(kvx::testing::findProgram(program).empty()) << program << " is missing";
    kvx::testing::Slapd server;
    std::string error;
    kvx::testing::SlapdOptions options = acmeServer(false);
    // People are hidden from anonymous users, as many servers hide them.
    options.access["o=Acme"] =
        "access to filter=(objectClass=person) by users read by * none\naccess to * by * read";
    ASSERT_TRUE(server.start(options, error)) << error;
    TempFolder folder;
    const std::string dir = folder.path().string();
    spit(folder / "client.conf",
         "[Client]\nDefaultTree=ANON\n\n[Tree KEYED]\nURL=" + server.url() +
             "\nBindDN=cn=Manager,c=GB\n\n[Tree ANON]\nURL=" + server.url() + "\n");
    std::string kvx = slurp(KVX_SOURCE_DIR "/examples/acme-users.kvx");
    kvx.replace(kvx.find("TreeName=ACME"), 13, "TreeName=KEYED");
    kvx.replace(kvx.find("txtOutputFilename=acme-users.txt"), 32,
                "txtOutputFilename=" + dir + "/keyed.txt");
    spit(folder / "keyed.kvx", kvx);
    std::string anon = kvx;
    anon.replace(anon.find("TreeName=KEYED"), 14, "TreeName=ANON");
    anon.replace(anon.find(dir + "/keyed.txt"), dir.size() + 10, dir + "/anon.txt");
    spit(folder / "anon.kvx", anon);
    const std::string exe = KVX_KORVANEX;
    const std::string env = "cd " + dir + " && export KORVANEX_CLIENT_CONF=" + dir +
                            "/client.conf HOME=" + dir + " XDG_DATA_HOME=" + dir +
                            "/data XDG_CONFIG_HOME=" + dir +
                            "/config && unset DISPLAY "
                            "WAYLAND_DISPLAY QT_QPA_PLATFORM && ";
    const std::string run = exe + " /settings=" + dir + "/keyed.kvx /autorun /autoclose";

    // No session bus: --store-password says how to do without, and so does the run.
    EXPECT_EQ(shell(env + "unset DBUS_SESSION_BUS_ADDRESS; echo right | " + exe +
                        " --store-password KEYED",
                    dir + "/nobus.txt"),
              1);
    const std::string nobus = slurp(folder / "nobus.txt");
    EXPECT_NE(nobus.find("no keyring is available"), std::string::npos) << nobus;
    EXPECT_NE(nobus.find("PasswordFile="), std::string::npos) << nobus;
    EXPECT_EQ(shell(env + "unset DBUS_SESSION_BUS_ADDRESS; " + run, dir + "/norun.txt"), 1);
    const std::string norun = slurp(folder / "norun.txt");
    EXPECT_NE(norun.find("no password to bind as \"cn=Manager,c=GB\""), std::string::npos) << norun;
    EXPECT_NE(norun.find("korvanex --store-password KEYED"), std::string::npos) << norun;
    // One failure, one message: no "container not found" or "class not found" after it.
    EXPECT_EQ(norun.find("was not found"), std::string::npos) << norun;
    std::size_t said = 0;
    for (std::size_t at = norun.find("Korvanex: "); at != std::string::npos;
         at = norun.find("Korvanex: ", at + 1))
        ++said;
    EXPECT_EQ(said, 1u) << norun;

    // An anonymous bind that finds nothing says why that may be, and is no failure.
    const int anonStatus = shell(env + exe + " /settings=" + dir + "/anon.kvx /autorun /autoclose",
                                 dir + "/anon-run.txt");
    const std::string anonRun = slurp(folder / "anon-run.txt");
    EXPECT_EQ(anonStatus, 0) << anonRun;
    EXPECT_NE(anonRun.find("read with an anonymous bind, and servers often hide entries from "
                           "anonymous users"),
              std::string::npos)
        << anonRun;

    // A private session with an unlocked keyring: the password stored there binds the run.
    const int status =
        shell("dbus-run-session -- /bin/sh -c '" + env +
                  "echo -n unlock | gnome-keyring-daemon --unlock --components=secrets "
                  ">/dev/null && echo right | " +
                  exe + " --store-password KEYED && " + run + "'",
              dir + "/session.txt");
    const std::string session = slurp(folder / "session.txt");
    EXPECT_EQ(status, 0) << session;
    EXPECT_NE(session.find("is in the keyring"), std::string::npos) << session;
    const std::string report = slurp(folder / "keyed.txt");
    EXPECT_EQ(report.rfind("Object,Surname,Given Name", 0), 0u) << report;
    EXPECT_GE(lines(report).size(), 6u) << report;
}

} // namespace
