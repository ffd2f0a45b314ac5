// The built program run as a scheduler runs it: no display, a saved report, /autorun /autoclose.
// Checks the exit statuses, the messages on standard error, the report files of the examples,
// and the answers to --help and --version.
#include "settings/batchfile.h"

#include <QCoreApplication>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

namespace fs = std::filesystem;
namespace ks = kvx::settings;

namespace {

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void spit(const fs::path& p, const std::string& text) {
    std::ofstream out(p, std::ios::binary);
    out << text;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        out.push_back(line);
    }
    return out;
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

    // Runs the program in root/work with no display and a home folder of its own.
    Outcome run(const QStringList& args,
                const std::function<void(QProcessEnvironment&)>& adjust = {}) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_CONFIG_HOME",
                                 "XDG_RUNTIME_DIR"})
            env.remove(QString::fromLatin1(name));
        env.insert("HOME", QString::fromStdString((root / "home").string()));
        env.insert("KORVANEX_CLIENT_CONF", "/nonexistent/korvanex-client.conf");
        env.insert("KORVANEX_DATA_DIR", KVX_SOURCE_DIR "/data");
        if (adjust)
            adjust(env);
        QProcess process;
        process.setProcessEnvironment(env);
        process.setWorkingDirectory(QString::fromStdString((root / "work").string()));
        process.start(QStringLiteral(KORVANEX_EXE), args);
        Outcome result;
        if (!process.waitForFinished(120000)) {
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

    Outcome runSettings(const fs::path& file) {
        return run(
            {QString::fromStdString("/settings=" + file.string()), "/autorun", "/autoclose"});
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
        EXPECT_EQ(r.err.find("Korvanex:"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("XDG_RUNTIME_DIR"), std::string::npos) << r.err;
        ASSERT_TRUE(fs::exists(report));
        const std::vector<std::string> rows = lines(slurp(report));
        ASSERT_GT(rows.size(), 2u);
        const std::string body = slurp(report);
        if (settings.nonTabular) {
            // One line per value: every selected attribute shows up in the attribute column.
            for (const auto& attribute : settings.attributes)
                EXPECT_NE(body.find(",\"" + attribute.name + "\","), std::string::npos)
                    << attribute.name;
        } else {
            // The header names the object and every selected attribute, in order.
            std::string header = "Object";
            for (const auto& attribute : settings.attributes)
                header += settings.outputSeparator + attribute.name;
            EXPECT_EQ(rows[0], header);
        }
        // Users of the starting container are there, under their full names.
        EXPECT_NE(body.find("\"Ann Smith.Sales.Acme\","), std::string::npos);
        if (!settings.startingPoint->empty() && settings.startingPoint->front() == "Sales") {
            EXPECT_EQ(body.find(".IT.Acme\","), std::string::npos);
        }
        // The unattended close saved the window placement in the user's own folder.
        EXPECT_TRUE(fs::exists(root / "home" / ".config" / "korvanex" / "KORVANEX.INI"));
    }
    EXPECT_EQ(seen, 4);
}

TEST_F(HeadlessTest, SettingsWithoutAClassPrintTheMessageAndExitOne) {
    const fs::path file = root / "noclass.kvx";
    spit(file, "[KORVANEX]\nTreeName=Default\nContext1=Acme\nContextCount=1\n"
               "chkOutputWindow=1\n");
    const Outcome r = runSettings(file);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Korvanex: Select the Object Class  (User, Group, etc) to search\n"),
              std::string::npos)
        << r.err;
}

TEST_F(HeadlessTest, MissingSettingsFileExitsOne) {
    const Outcome r = runSettings(root / "no-such.kvx");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Korvanex: "), std::string::npos);
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

TEST_F(HeadlessTest, UnreachableTreeStillRunsAndReportsTheFailure) {
    const fs::path conf = root / "client.conf";
    spit(conf, "[Client]\nDefaultTree=NOWHERE\n[Tree NOWHERE]\nFolder=/nonexistent/tree\n");
    const fs::path file = root / "report.kvx";
    spit(file, "[KORVANEX]\nTreeName=Default\nclasstype=User\nchkOutputWindow=1\n");
    const Outcome r =
        run({QString::fromStdString("/settings=" + file.string()), "/autorun", "/autoclose"},
            [&](QProcessEnvironment& env) {
                env.insert("KORVANEX_CLIENT_CONF", QString::fromStdString(conf.string()));
            });
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Korvanex: "), std::string::npos);
}

TEST_F(HeadlessTest, ClientThatCannotStartEndsTheRunInsteadOfWaiting) {
    // Start-up stops before the unattended run is scheduled: nothing would ever close the
    // window, so the program must end by itself.
    const fs::path file = root / "report.kvx";
    spit(file, "[KORVANEX]\nTreeName=Default\nclasstype=User\nchkOutputWindow=1\n");
    const Outcome r =
        run({QString::fromStdString("/settings=" + file.string()), "/autorun", "/autoclose"},
            [&](QProcessEnvironment& env) {
                env.insert("KORVANEX_CLIENT_FAULTS", "NWCallsInit:1:-601");
            });
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Korvanex: Cannot NWCallsInit\nCode : fffffda7\n"), std::string::npos)
        << r.err;
}

} // namespace
