// Unattended reports over a generated tree of 200,000 users that do not complete: stopped
// part-way by SIGTERM or SIGINT, or failed by a directory call. The last good report stays as it
// was, the rows found are in `<name>.partial` up to the last whole row, standard error says so
// with both names, and the exit status is 1.
#include "common/support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

using kvx::test::slurp;

class StopSignalTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/kvx-stop-signal-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root_ = pattern;
        const std::string command = std::string(KVX_GENTREE_EXE) +
                                    " --users 200000 --seed 7 --out " + (root_ / "tree").string() +
                                    " >/dev/null";
        ASSERT_EQ(std::system(command.c_str()), 0);
        kvx::test::spit(root_ / "client.conf", "[Client]\nDefaultTree=GEN\n\n[Tree GEN]\nFolder=" +
                                                   (root_ / "tree").string() + "\n");
        kvx::test::spit(
            root_ / "users.kvx",
            "[KORVANEX]\nTreeName=GEN\nContext1=Gen\nContextCount=1\nclasstype=User\n"
            "chkOutputWindow=1\nchkOutputFile=1\nchkHideEmptyColumns=1\n"
            "txtOutputFilename=users.txt\ntxtOutputSeparator=,\nchkOutputEncloseQuotes=1\n"
            "chkOutputColumnHeaders=1\noptResultsTabular=1\noptResultsTabularCross=0\n"
            "optResultsNonTabular=0\ncboAttributesMulti=-1\nAttributeCount=3\n"
            "lvwSelectedeAttributes0=Surname\nlvwSelectedeAttributesSingle0=Multi\n"
            "lvwSelectedeAttributesSyntax0=CI_String\n"
            "lvwSelectedeAttributes1=Telephone Number\nlvwSelectedeAttributesSingle1=Multi\n"
            "lvwSelectedeAttributesSyntax1=Tel_Number\n"
            "lvwSelectedeAttributes2=Login Time\nlvwSelectedeAttributesSingle2=Single\n"
            "lvwSelectedeAttributesSyntax2=Time\n");
    }
    static void TearDownTestSuite() {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    struct Stopped {
        int status = -1;
        std::string err;
        std::string file;              // users.txt after the run
        std::string partial;           // users.txt.partial
        std::vector<std::string> left; // every file of the folder after the run
    };

    // The last good report, there before each run.
    static constexpr const char* kGoodReport = "Object,Surname,Telephone Number,Login Time\r\n"
                                               "\"Ann.Gen\",\"Lee\",\"\",\"\"\r\n";

    // Runs the report headless over the last good report; sends `signal` (when not 0) once a
    // megabyte of rows is written, and waits.
    static Stopped run(const std::string& name, int signal) {
        const fs::path work = root_ / name;
        fs::create_directories(work);
        kvx::test::spit(work / "users.txt", kGoodReport);
        bool sent = false;
        const kvx::test::HeadlessRun run =
            kvx::test::runHeadless(KORVANEX_EXE, work, root_ / "users.kvx", root_ / "client.conf",
                                   std::chrono::minutes(5), [&](pid_t pid) {
                                       std::error_code ec;
                                       for (const auto& file : fs::directory_iterator(work, ec)) {
                                           if (signal != 0 && !sent && file.is_regular_file(ec) &&
                                               file.file_size(ec) > (1u << 20)) {
                                               ::kill(pid, signal);
                                               sent = true;
                                           }
                                       }
                                   });
        EXPECT_TRUE(run.finished) << "the run did not end";
        EXPECT_EQ(sent, signal != 0) << "the run ended before a megabyte was written";
        Stopped r{run.finished ? run.status : -1,
                  run.err,
                  slurp(work / "users.txt"),
                  slurp(work / "users.txt.partial"),
                  {}};
        for (const auto& file : fs::directory_iterator(work)) {
            r.left.push_back(file.path().filename().string());
        }
        std::sort(r.left.begin(), r.left.end());
        return r;
    }

    // The rows of a report that did not complete: the header, then more than `least` rows but
    // not every user, each line whole (four quoted cells), the last one ended like the others.
    static void expectWholeRows(const std::string& file, long least) {
        ASSERT_GT(file.size(), 2u);
        ASSERT_EQ(file.substr(file.size() - 2), "\r\n");
        std::istringstream lines(file);
        std::string line;
        std::getline(lines, line);
        EXPECT_EQ(line, "Object,Surname,Telephone Number,Login Time\r");
        long rows = 0;
        while (std::getline(lines, line)) {
            ++rows;
            ASSERT_EQ(std::count(line.begin(), line.end(), '"'), 8)
                << "row " << rows << ": " << line;
            ASSERT_EQ(line.back(), '\r');
        }
        EXPECT_GT(rows, least);
        EXPECT_LT(rows, 200000);
    }

    static fs::path root_;
};

fs::path StopSignalTest::root_;

TEST_F(StopSignalTest, ASignalEndsTheRunKeepingTheLastReportAndTheRowsFoundInPartial) {
    for (int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal);
        const std::string name = signal == SIGTERM ? "SIGTERM" : "SIGINT";
        const Stopped r = run(name, signal);
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_EQ(r.err, "Korvanex: The report was stopped by " + name +
                             ". The rows found before the stop are in users.txt.partial; "
                             "users.txt is left as it was.\n");
        EXPECT_EQ(r.file, kGoodReport);
        ASSERT_GT(r.partial.size(), 1u << 20);
        expectWholeRows(r.partial, 1000);
        EXPECT_EQ(r.left, (std::vector<std::string>{"home", "stderr.txt", "users.txt",
                                                    "users.txt.partial"}));
    }
}

// The directory goes away part-way (a later batch of the search fails): the failure is
// reported, then what became of the file; nothing of the run is left but the .partial.
TEST_F(StopSignalTest, AFailedSearchKeepsTheLastReportAndTheRowsFoundInPartial) {
    ::setenv("KORVANEX_CLIENT_FAULTS", "NWDSSearch:4:-625", 1);
    const Stopped r = run("failed", 0);
    ::unsetenv("KORVANEX_CLIENT_FAULTS");
    EXPECT_EQ(r.status, 1) << r.err;
    const std::vector<std::string> err = kvx::test::lines(r.err);
    ASSERT_EQ(err.size(), 3u) << r.err;
    EXPECT_EQ(err[1], "Code : fffffd8f");
    EXPECT_EQ(err[2], "Korvanex: The report did not finish. The rows found before the failure "
                      "are in users.txt.partial; users.txt is left as it was.");
    EXPECT_EQ(r.file, kGoodReport);
    expectWholeRows(r.partial, 100);
    EXPECT_EQ(r.left,
              (std::vector<std::string>{"home", "stderr.txt", "users.txt", "users.txt.partial"}));
}

} // namespace
