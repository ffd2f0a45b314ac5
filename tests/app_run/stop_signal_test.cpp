// SIGTERM and SIGINT stop an unattended report over a generated tree of 200,000 users part-way:
// the output file is complete up to its last row, the reason is on standard error, and the exit
// status is 1.
#include "common/support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>

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
        std::string file;
    };

    // Runs the report headless, sends `signal` once a megabyte of rows is written, waits.
    static Stopped runAndStop(int signal) {
        const fs::path work = root_ / ("run" + std::to_string(signal));
        const fs::path out = work / "users.txt";
        bool sent = false;
        const kvx::test::HeadlessRun run = kvx::test::runHeadless(
            KORVANEX_EXE, work, root_ / "users.kvx", root_ / "client.conf", std::chrono::minutes(5),
            [&](pid_t pid) {
                std::error_code ec;
                if (!sent && fs::exists(out, ec) && fs::file_size(out, ec) > (1u << 20)) {
                    ::kill(pid, signal);
                    sent = true;
                }
            });
        EXPECT_TRUE(run.finished) << "the run did not end";
        EXPECT_TRUE(sent) << "the run ended before a megabyte was written";
        return {run.finished ? run.status : -1, run.err, slurp(out)};
    }

    static fs::path root_;
};

fs::path StopSignalTest::root_;

TEST_F(StopSignalTest, ASignalEndsTheRunWithTheFileWholeToItsLastRowAndStatusOne) {
    for (int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal);
        const Stopped r = runAndStop(signal);
        EXPECT_EQ(r.status, 1) << r.err;
        const std::string name = signal == SIGTERM ? "SIGTERM" : "SIGINT";
        EXPECT_EQ(r.err, "Korvanex: The report was stopped by " + name +
                             ". The output file holds every row found before the stop.\n");
        // Every line whole: the header's four cells, each row four quoted cells, the last one
        // ended like the others; far from all 200,000 users.
        ASSERT_GT(r.file.size(), 1u << 20);
        ASSERT_EQ(r.file.substr(r.file.size() - 2), "\r\n");
        std::istringstream lines(r.file);
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
        EXPECT_GT(rows, 1000);
        EXPECT_LT(rows, 200000);
    }
}

} // namespace
