// The built program run as a scheduler runs it: no display, a saved report, /autorun /autoclose.
// Checks the exit statuses, the messages on standard error, the report files of the examples,
// and the answers to --help and --version.
#include "common/support.h"

#include "settings/batchfile.h"
#include "settings/commandline.h"

#include <QCoreApplication>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>

namespace fs = std::filesystem;
namespace ks = kvx::settings;

namespace {

using kvx::test::lines;
using kvx::test::slurp;
using kvx::test::spit;

// A Tabular report of the users below `start` (".Sales.Acme") of the sample tree, to a file.
ks::BatchSettings userReport(const std::string& start, const std::string& output,
                             const std::string& separator) {
    ks::BatchSettings saved;
    saved.treeName = "ACME";
    saved.startingPoint = ks::startingPointChain(start);
    saved.className = "User";
    saved.outputFile = true;
    saved.outputFileName = output;
    saved.outputSeparator = separator;
    saved.tabular = true;
    return saved;
}

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

class HeadlessTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(temp.isValid());
        root = fs::path(temp.path().toStdString());
        fs::create_directories(root / "home");
        fs::create_directories(root / "work");
    }

    // No display, a home folder of its own, the sample tree.
    QProcessEnvironment environment() const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_CONFIG_HOME",
                                 "XDG_RUNTIME_DIR"})
            env.remove(QString::fromLatin1(name));
        env.insert("HOME", QString::fromStdString((root / "home").string()));
        env.insert("KORVANEX_CLIENT_CONF", "/nonexistent/korvanex-client.conf");
        env.insert("KORVANEX_DATA_DIR", KVX_SOURCE_DIR "/data");
        return env;
    }

    // Runs the program in root/work with environment().
    Outcome run(const QStringList& args,
                const std::function<void(QProcessEnvironment&)>& adjust = {},
                int timeoutMs = 120000) {
        QProcessEnvironment env = environment();
        if (adjust)
            adjust(env);
        QProcess process;
        process.setProcessEnvironment(env);
        process.setWorkingDirectory(QString::fromStdString((root / "work").string()));
        process.start(QStringLiteral(KORVANEX_EXE), args);
        Outcome result;
        if (!process.waitForFinished(timeoutMs)) {
            process.kill();
            process.waitForFinished();
            ADD_FAILURE() << "korvanex did not finish";
            return result;
        }
        result.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        result.out = process.readAllStandardOutput().toStdString();
        result.err = process.readAllStandardError().toStdString();
        return result;
    }

    Outcome runSettings(const fs::path& file,
                        const std::function<void(QProcessEnvironment&)>& adjust = {},
                        int timeoutMs = 120000) {
        return run({QString::fromStdString("/settings=" + file.string()), "/autorun", "/autoclose"},
                   adjust, timeoutMs);
    }

    QTemporaryDir temp;
    fs::path root;
};

TEST_F(HeadlessTest, EveryExampleWritesItsReportAndExitsZero) {
    int seen = 0;
    for (const auto& entry : fs::directory_iterator(fs::path(KVX_SOURCE_DIR) / "examples")) {
        if (entry.path().extension() != ".kvx")
            continue;
        ++seen;
        SCOPED_TRACE(entry.path().filename().string());
        const ks::BatchSettings settings = ks::readBatchSettings(entry.path().string());
        const fs::path report = root / "work" / settings.outputFileName;
        const Outcome r = runSettings(entry.path());
        EXPECT_EQ(r.status, 0) << r.err;
        if (settings.outputChanges) {
            // Its first run is the baseline of the next: it says so, and no change is listed.
            EXPECT_EQ(r.err,
                      "Korvanex: No previous run to compare with: this run is the baseline\n");
            const fs::path changes = report.parent_path() / (report.stem().string() + "-changes" +
                                                             report.extension().string());
            EXPECT_EQ(slurp(changes), "Change,Object,Attribute,Old Value,New Value\r\n");
        }
        EXPECT_EQ(r.err.find("Korvanex:"), settings.outputChanges ? 0 : std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("XDG_RUNTIME_DIR"), std::string::npos) << r.err;
        ASSERT_TRUE(fs::exists(report));
        // A workbook is read back as LibreOffice shows it: comma-separated, quotes only where a
        // value needs them.
        const bool workbook = report.extension() == ".xlsx";
        const std::string body =
            workbook ? kvx::test::workbookSheetsAsCsv(report).front() : slurp(report);
        const std::string separator = workbook ? "," : settings.outputSeparator;
        const std::string q = workbook ? "" : "\"";
        const std::vector<std::string> rows = lines(body);
        ASSERT_GT(rows.size(), 2u) << body;
        if (settings.nonTabular) {
            // One line per value: every selected attribute shows up in the attribute column.
            for (const auto& attribute : settings.attributes)
                EXPECT_NE(body.find("," + q + attribute.name + q + ","), std::string::npos)
                    << attribute.name;
        } else {
            // The header names the object and every selected attribute, in order.
            std::string header = "Object";
            for (const auto& attribute : settings.attributes)
                header += separator + attribute.name;
            EXPECT_EQ(rows[0], header);
        }
        // Users of the starting container are there, under their full names.
        const std::string end = settings.className == "Group" ? "\r\n" : ",";
        EXPECT_NE(body.find(q + "Ann Smith.Sales.Acme" + q + end), std::string::npos);
        if (!settings.startingPoint->empty() && settings.startingPoint->front() == "Sales") {
            EXPECT_EQ(body.find(".IT.Acme" + q + ","), std::string::npos);
        }
        // Nobody saw the window: no placement of it was saved.
        EXPECT_FALSE(fs::exists(root / "home" / ".config" / "korvanex" / "KORVANEX.INI"));
    }
    EXPECT_EQ(seen, 6);
}

// A settings file that cannot be read, or that names a tree, container or class the directory
// does not have, stops the unattended run before it starts, saying which; an attribute the class
// lacks is named and the report still runs with its column empty, and one it has by another
// name (sn, objectClass) is filled without a word.
TEST_F(HeadlessTest, SavedReportThatDoesNotMatchTheDirectoryDoesNotRun) {
    const std::string rest =
        "classtype=User\nchkOutputFile=1\ntxtOutputFilename=out.txt\ntxtOutputSeparator=,\n"
        "optResultsTabular=1\nAttributeCount=4\n"
        "lvwSelectedeAttributes0=Title\nlvwSelectedeAttributes1=Shoe Size\n"
        "lvwSelectedeAttributes2=sn\nlvwSelectedeAttributes3=objectClass\n";
    const struct {
        std::string file;
        std::string message;
    } cases[] = {
        {"[KORVANEX]\nTreeName=NOWHERE\nContext1=Acme\nContextCount=1\n" + rest,
         "Korvanex: The tree \"NOWHERE\" named in the settings file was not found\n"},
        {"[KORVANEX]\nTreeName=ACME\nContext1=Nowhere\nContext2=Acme\nContextCount=2\n" + rest,
         "Korvanex: The container \"Nowhere.Acme\" named in the settings file was not found\n"},
        {"[KORVANEX]\nTreeName=ACME\nContext1=Acme\nContextCount=1\nclasstype=Usr\n" + rest,
         "Korvanex: The class \"Usr\" named in the settings file was not found\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        spit(root / "report.kvx", c.file);
        const Outcome r = runSettings(root / "report.kvx");
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(root / "work" / "out.txt"));
    }

    const Outcome missing = runSettings(root / "no-such.kvx");
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err,
              "Korvanex: Cannot read the settings file " + (root / "no-such.kvx").string() + "\n");

    // A bare name is looked for in the current folder first.
    spit(root / "work" / "local.kvx",
         "[KORVANEX]\nTreeName=ACME\nContext1=Sales\nContext2=Acme\nContextCount=2\n" + rest);
    const Outcome local = run({"/settings=local.kvx", "/autorun", "/autoclose"});
    EXPECT_EQ(local.status, 0) << local.err;
    EXPECT_EQ(local.err, "Korvanex: The attribute \"Shoe Size\" named in the settings file is "
                         "not an attribute of the class \"User\"; its column stays empty\n");
    // Attributes the class has, named by their LDAP names, are filled without a notice.
    EXPECT_NE(slurp(root / "work" / "out.txt")
                  .find("Ann Smith.Sales.Acme,\"Sales Director, EMEA\",,Smith,"),
              std::string::npos)
        << slurp(root / "work" / "out.txt");
}

TEST_F(HeadlessTest, ReportFileThatCannotBeOpenedExitsOne) {
    const fs::path file = root / "badout.kvx";
    spit(file, "[KORVANEX]\nTreeName=Default\nContext1=Acme\nContextCount=1\nclasstype=User\n"
               "chkOutputFile=1\ntxtOutputFilename=/proc/korvanex/report.txt\n"
               "optResultsTabular=1\n");
    const Outcome r = runSettings(file);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Korvanex: Cannot Open Output File. Check the filename and path."),
              std::string::npos)
        << r.err;
}

TEST_F(HeadlessTest, OnlyNamesNoticeIsNotAFailure) {
    const fs::path file = root / "names.kvx";
    spit(file, "[KORVANEX]\nTreeName=Default\nContext1=Sales\nContext2=Acme\nContextCount=2\n"
               "classtype=User\nchkOutputFile=1\ntxtOutputFilename=names.txt\n"
               "optResultsNonTabular=1\n");
    const Outcome r = runSettings(file);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("Korvanex: No Attributes have been selected. Only object names will be "
                         "listed"),
              std::string::npos);
    EXPECT_NE(slurp(root / "work" / "names.txt").find("Ann Smith.Sales.Acme"), std::string::npos);
}

TEST_F(HeadlessTest, WithoutBothFlagsThereIsNothingToDo) {
    for (const QStringList& args :
         {QStringList{}, QStringList{"/autorun"}, QStringList{"/settings=x.kvx", "/autoclose"}}) {
        const Outcome r = run(args);
        EXPECT_EQ(r.status, 2) << args.join(' ').toStdString();
        EXPECT_NE(r.err.find("korvanex /settings=FILE.kvx /autorun /autoclose"), std::string::npos);
    }
    // The Linux spellings count as the flags.
    const fs::path file = root / "noclass.kvx";
    spit(file, "[KORVANEX]\n");
    const Outcome r =
        run({QString::fromStdString("--settings=" + file.string()), "--AUTORUN", "--autoclose"});
    EXPECT_EQ(r.status, 1); // it ran, and stopped at the class check
    EXPECT_NE(r.err.find("Select the Object Class"), std::string::npos) << r.err;
}

TEST_F(HeadlessTest, HelpAndVersionAnswerOnStandardOutput) {
    const Outcome version = run({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "korvanex " KVX_VERSION_TEXT "\n");
    const Outcome help = run({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("/settings=FILE"), std::string::npos);
    EXPECT_NE(help.out.find("/autorun"), std::string::npos);
    EXPECT_TRUE(help.err.empty()) << help.err;
}

// A tree that cannot be opened, or a client that cannot start (start-up stops before the
// unattended run is scheduled, so nothing would ever close the window): the program ends by
// itself with status 1 and says why.
TEST_F(HeadlessTest, UnreachableTreeOrClientThatCannotStartEndsTheRunWithOne) {
    const fs::path conf = root / "client.conf";
    spit(conf, "[Client]\nDefaultTree=NOWHERE\n[Tree NOWHERE]\nFolder=/nonexistent/tree\n");
    spit(root / "report.kvx", "[KORVANEX]\nTreeName=Default\nclasstype=User\nchkOutputWindow=1\n");
    const struct {
        const char* variable;
        std::string value;
        std::string message;
    } cases[] = {
        {"KORVANEX_CLIENT_CONF", conf.string(), "Korvanex: "},
        {"KORVANEX_CLIENT_FAULTS", "NWCallsInit:1:-601",
         "Korvanex: Cannot NWCallsInit\nCode : fffffda7\n"},
    };
    for (const auto& c : cases) {
        const Outcome r = runSettings(root / "report.kvx", [&](QProcessEnvironment& env) {
            env.insert(c.variable, QString::fromStdString(c.value));
        });
        EXPECT_EQ(r.status, 1) << c.variable;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
}

// A container whose name holds an escaped period runs where it was saved: from a file saved now,
// and from one saved before, which split the name at the escaped period too.
TEST_F(HeadlessTest, ContainerWithAnEscapedPeriodRunsWhereSaved) {
    ks::writeBatchSettings((root / "new.kvx").string(), userReport(".R\\.D.Acme", "rd.txt", ","));
    spit(root / "old.kvx", "[KORVANEX]\nTreeName=ACME\nContext1=R\\\nContext2=D\nContext3=Acme\n"
                           "ContextCount=3\nclasstype=User\nchkOutputFile=1\n"
                           "txtOutputFilename=rd.txt\noptResultsTabular=1\n");
    for (const char* name : {"new.kvx", "old.kvx"}) {
        SCOPED_TRACE(name);
        fs::remove(root / "work" / "rd.txt");
        const Outcome r = runSettings(root / name);
        EXPECT_EQ(r.status, 0) << r.err;
        const std::vector<std::string> rows = lines(slurp(root / "work" / "rd.txt"));
        EXPECT_EQ(rows, (std::vector<std::string>{"Ella Fisher.R\\.D.Acme", "Finn Gray.R\\.D.Acme",
                                                  "Gemma Hughes.R\\.D.Acme"}));
    }
}

// A separator with blanks around it is saved and read back whole, and a value that holds it is
// enclosed in quotes, so every value stays one field.
TEST_F(HeadlessTest, SeparatorOfBlanksAndValuesHoldingItStayApart) {
    ks::BatchSettings saved = userReport(".Sales.Acme", "sales.txt", ", ");
    saved.columnHeaders = true;
    saved.attributes = {{"Title", "Multi", "CI_String"}, {"Surname", "Multi", "CI_String"}};
    ks::writeBatchSettings((root / "sales.kvx").string(), saved);
    const Outcome r = runSettings(root / "sales.kvx");
    EXPECT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> rows = lines(slurp(root / "work" / "sales.txt"));
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(rows[0], "Object, Title, Surname");
    EXPECT_NE(std::find(rows.begin(), rows.end(),
                        "Ann Smith.Sales.Acme, \"Sales Director, EMEA\", Smith"),
              rows.end());
}

// Qt's offscreen and minimal platforms show nothing: a run there is a run without a display,
// whose messages go to standard error instead of waiting for an OK nobody can give.
TEST_F(HeadlessTest, PlatformsThatShowNothingCountAsNoDisplay) {
    spit(root / "noclass.kvx", "[KORVANEX]\nTreeName=ACME\nContext1=Acme\nContextCount=1\n"
                               "chkOutputWindow=1\n");
    for (const char* platform : {"", "offscreen", "minimal"}) { // "": no platform named
        SCOPED_TRACE(platform);
        const auto onPlatform = [platform](QProcessEnvironment& env) {
            if (*platform != '\0')
                env.insert("QT_QPA_PLATFORM", platform);
        };
        const Outcome r = runSettings(root / "noclass.kvx", onPlatform, 30000);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("Korvanex: Select the Object Class  (User, Group, etc) to search\n"),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(run({"/autorun"}, onPlatform, 30000).status, 2);
    }
}

// The saved placement belongs to the user's own window: a headless run neither changes it nor
// fails a good report because the file cannot be written.
TEST_F(HeadlessTest, HeadlessRunLeavesTheSavedPlacementAlone) {
    const fs::path config = root / "home" / ".config" / "korvanex";
    fs::create_directories(config);
    const std::string placement = "[Size]\nState=0\nWidth=1000\nHeight=700\nTop=5\nLeft=7\n";
    spit(config / "KORVANEX.INI", placement);
    fs::permissions(config, fs::perms::owner_read | fs::perms::owner_exec);
    const Outcome r = runSettings(fs::path(KVX_SOURCE_DIR) / "examples" / "acme-users.kvx");
    fs::permissions(config, fs::perms::owner_all);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.err.empty()) << r.err;
    EXPECT_EQ(slurp(config / "KORVANEX.INI"), placement);
}

// On a desktop (a private Xvfb with openbox) an unattended run shows its messages as usual and
// exits with the same statuses as one without a display, so a job started on a logged-in
// desktop can tell a failure too. The message is answered by pressing Enter.
TEST_F(HeadlessTest, DesktopRunGivesTheSameExitStatus) {
    QProcess xvfb;
    xvfb.start("Xvfb", {"-displayfd", "1", "-screen", "0", "1280x1024x24", "-nolisten", "tcp"});
    ASSERT_TRUE(xvfb.waitForStarted(10000)) << "Xvfb is needed (scripts/install-deps.sh)";
    QByteArray number;
    for (int i = 0; i < 100 && !number.contains('\n'); ++i) {
        xvfb.waitForReadyRead(100);
        number += xvfb.readAllStandardOutput();
    }
    ASSERT_TRUE(number.contains('\n')) << "Xvfb gave no display number";
    const QString display = ":" + QString::fromLatin1(number.trimmed());
    QProcessEnvironment desktop = QProcessEnvironment::systemEnvironment();
    desktop.insert("DISPLAY", display);
    QProcess openbox;
    openbox.setProcessEnvironment(desktop);
    openbox.start("openbox", {});
    ASSERT_TRUE(openbox.waitForStarted(10000)) << "openbox is needed (scripts/install-deps.sh)";

    spit(root / "noclass.kvx", "[KORVANEX]\nTreeName=ACME\nContext1=Acme\nContextCount=1\n"
                               "chkOutputWindow=1\n");
    QProcessEnvironment env = environment();
    env.insert("DISPLAY", display);
    // The X11 keyboard library reads a string in a way strict string checks take for an overflow.
    env.insert("ASAN_OPTIONS", "detect_leaks=1:abort_on_error=0");
    // Runs `file` on the desktop; Enter answers each message box once it has the focus.
    const auto runOnDesktop = [&](const fs::path& file) {
        QProcess korvanex;
        korvanex.setProcessEnvironment(env);
        korvanex.setWorkingDirectory(QString::fromStdString((root / "work").string()));
        korvanex.start(
            QStringLiteral(KORVANEX_EXE),
            {QString::fromStdString("/settings=" + file.string()), "/autorun", "/autoclose"});
        for (int i = 0; i < 120 && !korvanex.waitForFinished(500); ++i) {
            QProcess key;
            key.setProcessEnvironment(desktop);
            key.start("xdotool", {"key", "Return"});
            key.waitForFinished(5000);
        }
        Outcome result;
        if (korvanex.state() != QProcess::NotRunning) {
            korvanex.kill();
            korvanex.waitForFinished();
            ADD_FAILURE() << "the message was never answered";
            return result;
        }
        result.status = korvanex.exitStatus() == QProcess::NormalExit ? korvanex.exitCode() : -1;
        result.err = korvanex.readAllStandardError().toStdString();
        return result;
    };
    const Outcome failed = runOnDesktop(root / "noclass.kvx");
    // A good report whose window placement cannot be saved on the way out still succeeded.
    // (A file where the configuration folder should be: no account can write there.)
    fs::remove_all(root / "home" / ".config" / "korvanex"); // the first run saved its placement
    spit(root / "home" / ".config" / "korvanex", "");
    const Outcome good = runOnDesktop(fs::path(KVX_SOURCE_DIR) / "examples" / "acme-users.kvx");
    openbox.kill();
    openbox.waitForFinished();
    xvfb.kill();
    xvfb.waitForFinished();

    EXPECT_EQ(failed.status, 1) << failed.err;
    EXPECT_NE(failed.err.find("Korvanex: Select the Object Class  (User, Group, etc) to search\n"),
              std::string::npos)
        << failed.err;
    EXPECT_EQ(good.status, 0) << good.err;
    EXPECT_NE(good.err.find("Korvanex: Unable to write to "), std::string::npos) << good.err;
    EXPECT_TRUE(fs::exists(root / "work" / "acme-users.txt"));
}

} // namespace
