// A profile write that fails part-way (a full disk, a file-size limit) leaves the file as it was:
// the new text goes to a copy beside it, which only replaces it once completely written.
#include "common/support.h"
#include "settings/batchfile.h"
#include "settings/profile.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

using namespace kvx::settings;
namespace fs = std::filesystem;

namespace {

using kvx::test::slurp;

// Files in `dir` other than `keep`: a failed write must leave no half-written copy behind.
std::vector<std::string> strays(const fs::path& dir, const std::string& keep) {
    std::vector<std::string> found;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.path().filename() != keep)
            found.push_back(e.path().filename().string());
    return found;
}

class ProfileFailureTest : public ::testing::Test {
protected:
    void SetUp() override { setProgramFolderForTesting((dir / "no-program-folder").string()); }
    void TearDown() override { setProgramFolderForTesting(""); }
    kvx::test::TempFolder temp;
    fs::path dir = temp.path();
};

// The process may not write files past a size limit: the write of the copy fails with EFBIG.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &old_);
        oldHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = old_;
        limit.rlim_cur = bytes;
        ok_ = ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &old_);
        std::signal(SIGXFSZ, oldHandler_);
    }
    bool ok() const { return ok_; }

private:
    rlimit old_{};
    void (*oldHandler_)(int) = SIG_DFL;
    bool ok_ = false;
};

TEST_F(ProfileFailureTest, WriteBeyondTheFileSizeLimitKeepsTheOldFileWhole) {
    const fs::path file = dir / "batch.kvx";
    WriteIniString(file.string(), "KORVANEX", "TreeName", "ACME");
    WriteIniString(file.string(), "KORVANEX", "classtype", "User");
    const std::string before = slurp(file);
    ASSERT_EQ(before, "[KORVANEX]\nTreeName=ACME\nclasstype=User\n");

    {
        FileSizeLimit limit(4096);
        ASSERT_TRUE(limit.ok());
        // Within the limit the write goes through, so the limit alone does not fail writes.
        EXPECT_NO_THROW(WriteIniString(file.string(), "KORVANEX", "classtype", "Group"));
        const std::string within = slurp(file);
        EXPECT_EQ(within, "[KORVANEX]\nTreeName=ACME\nclasstype=Group\n");
        EXPECT_THROW(WriteIniString(file.string(), "KORVANEX", "txtOutputFilename",
                                    std::string(100000, 'x')),
                     ProfileWriteError);
        EXPECT_EQ(slurp(file), within);
    }
    EXPECT_TRUE(strays(dir, "batch.kvx").empty());
    EXPECT_EQ(ReadIniString(file.string(), "KORVANEX", "classtype", "?"), "Group");
    EXPECT_EQ(ReadIniString(file.string(), "KORVANEX", "txtOutputFilename", "absent"), "absent");
}

// A real full file system: a 64 KiB tmpfs, filled up, then a write that needs more room. Needs
// the right to mount (root in a sandbox or CI container); skipped where that is not given.
TEST_F(ProfileFailureTest, WriteToAFullFileSystemKeepsTheOldFileWhole) {
    const fs::path mnt = dir / "small";
    fs::create_directories(mnt);
    if (::mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here (not permitted)";
    struct Unmount {
        const fs::path& p;
        ~Unmount() { ::umount2(p.c_str(), MNT_DETACH); }
    } unmount{mnt};

    const fs::path file = mnt / "defaults.ini";
    WriteIniString(file.string(), "Defaults", "chkOutputWindow", "1");
    WriteIniString(file.string(), "Defaults", "txtOutputFilename", std::string(20000, 'a'));
    const std::string before = slurp(file);
    ASSERT_GT(before.size(), 20000u);

    // Fill what is left, so that no second copy of the file fits.
    {
        std::FILE* filler = std::fopen((mnt / "filler").c_str(), "wb");
        ASSERT_NE(filler, nullptr);
        std::string block(4096, 'f');
        while (std::fwrite(block.data(), 1, block.size(), filler) == block.size()) {
        }
        std::fclose(filler);
    }
    // A tmpfs may hold back a page or two: make sure the next copy cannot fit.
    ASSERT_LT(fs::space(mnt).available, before.size());

    EXPECT_THROW(WriteIniString(file.string(), "Defaults", "chkOutputWindow", "0"),
                 ProfileWriteError);
    EXPECT_EQ(slurp(file), before);
    EXPECT_EQ(ReadIniString(file.string(), "Defaults", "chkOutputWindow", "?"), "1");
    fs::remove(mnt / "filler");
    EXPECT_EQ(strays(mnt, "defaults.ini"), std::vector<std::string>{});

    // With room again, the same write goes through.
    EXPECT_NO_THROW(WriteIniString(file.string(), "Defaults", "chkOutputWindow", "0"));
    EXPECT_EQ(ReadIniString(file.string(), "Defaults", "chkOutputWindow", "?"), "0");
}

BatchSettings sampleSettings(const std::string& outputFile) {
    BatchSettings s;
    s.treeName = "ACME";
    s.startingPoint = std::vector<std::string>{"Sales", "Acme"};
    s.className = "User";
    s.outputFileName = outputFile;
    s.outputSeparator = ",";
    s.tabular = true;
    s.attributes.push_back({"Surname", "Multi", "CI_String"});
    return s;
}

} // namespace

// A batch save is one replacement of the whole file: a save that fails part-way leaves the
// previous settings as they were, instead of a file cut short after its first keys.
TEST_F(ProfileFailureTest, FailedBatchSaveKeepsThePreviousFileWhole) {
    const fs::path file = dir / "report.kvx";
    ASSERT_EQ(writeBatchSettings(file.string(), sampleSettings("first.txt")),
              BatchWriteResult::Written);
    const std::string before = slurp(file);
    {
        FileSizeLimit limit(4096);
        ASSERT_TRUE(limit.ok());
        EXPECT_THROW(writeBatchSettings(file.string(), sampleSettings(std::string(100000, 'x'))),
                     ProfileWriteError);
    }
    EXPECT_EQ(slurp(file), before);
    EXPECT_TRUE(strays(dir, "report.kvx").empty());
    EXPECT_EQ(readBatchSettings(file.string()).outputFileName, "first.txt");
}

// A file of thousands of rows is read once, not once per key, and every row comes back.
TEST_F(ProfileFailureTest, BatchFileOfManyRowsLoadsWhole) {
    BatchSettings s = sampleSettings("out.txt");
    s.attributes.clear();
    for (int i = 0; i < 10000; ++i)
        s.attributes.push_back(
            {"Attribute " + std::to_string(i), i % 2 ? "Multi" : "Single", "CI_String"});
    const fs::path file = dir / "wide.kvx";
    ASSERT_EQ(writeBatchSettings(file.string(), s), BatchWriteResult::Written);
    const BatchSettings back = readBatchSettings(file.string());
    ASSERT_EQ(back.attributes.size(), 10000u);
    EXPECT_EQ(back.attributes[9999].name, "Attribute 9999");
    EXPECT_EQ(back.attributes[9998].singleMulti, "Single");
    EXPECT_EQ(back.startingPoint, s.startingPoint);
}
