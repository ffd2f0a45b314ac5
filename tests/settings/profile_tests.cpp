// Profile files: the reading and writing rules, the location rule, and safe replacement.
#include "settings/profile.h"
#include "settings_folder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

using namespace kvx::settings;
namespace fs = std::filesystem;
using kvx::settings::testing::slurp;
using kvx::settings::testing::spit;

namespace {

class ProfileTest : public kvx::settings::testing::SettingsFolderTest {
protected:
    const char* fileName() const override { return "batch.kvx"; }
};

TEST_F(ProfileTest, ReadingRules) {
    spit(file, "[Other]\nKey=wrong\n"
               "[korvanex]\n"
               "  Spaced  =   padded value   \n"
               "Quoted=\"  kept inside  \"\n"
               "Single='x'\n"
               "Half=\"open\n"
               "Empty=\n"
               "Eq=a=b\n"
               "Number= -12 \n"
               "Bad=12abc\n"
               "[Third]\nSpaced=other\n");
    EXPECT_EQ(ReadIniString(file, "KORVANEX", "spaced", "d"), "padded value");
    EXPECT_EQ(ReadIniString(file, "KORVANEX", "Quoted", "d"), "  kept inside  ");
    EXPECT_EQ(ReadIniString(file, "KORVANEX", "Single", "d"), "x");
    EXPECT_EQ(ReadIniString(file, "KORVANEX", "Half", "d"), "\"open");
    EXPECT_EQ(ReadIniString(file, "KORVANEX", "Empty", "d"), "");
    EXPECT_EQ(ReadIniString(file, "KORVANEX", "Eq", "d"), "a=b");
    EXPECT_EQ(ReadIniString(file, "KORVANEX", "Missing", "d"), "d");
    EXPECT_EQ(ReadIniString(file, "Nowhere", "Key", "d"), "d");
    EXPECT_EQ(ReadIniInteger(file, "KORVANEX", "Number", 7), -12);
    EXPECT_EQ(ReadIniInteger(file, "KORVANEX", "Bad", 7), 7);
    EXPECT_EQ(ReadIniInteger(file, "KORVANEX", "Empty", 7), 7);
    EXPECT_EQ(ReadIniString((dir / "none.ini").string(), "A", "B", "dflt"), "dflt");
}

TEST_F(ProfileTest, CarriageReturnLineFeedFilesReadAndKeepTheirLineEnds) {
    spit(file, "[KORVANEX]\r\nA=1\r\nB=2\r\n");
    EXPECT_EQ(ReadIniString(file, "KORVANEX", "A", ""), "1");
    WriteIniString(file, "KORVANEX", "A", "one");
    WriteIniString(file, "KORVANEX", "C", "3");
    EXPECT_EQ(slurp(file), "[KORVANEX]\r\nA=one\r\nB=2\r\nC=3\r\n");
}

TEST_F(ProfileTest, WritingRules) {
    WriteIniString(file, "KORVANEX", "TreeName", "ACME"); // creates the file
    EXPECT_EQ(slurp(file), "[KORVANEX]\nTreeName=ACME\n");
    WriteIniInteger(file, "KORVANEX", "Count", -1);
    WriteIniString(file, "Size", "Width", "700");          // new section at the end
    WriteIniString(file, "korvanex", "treename", "Other"); // in place, any case
    WriteIniString(file, "KORVANEX", "Empty", "");
    EXPECT_EQ(slurp(file), "[KORVANEX]\ntreename=Other\nCount=-1\nEmpty=\n[Size]\nWidth=700\n");
    EXPECT_EQ(ReadIniInteger(file, "KORVANEX", "Count", 0), -1);
    EXPECT_EQ(ReadIniString(file, "KORVANEX", "Empty", "d"), "");
    EXPECT_EQ(ReadIniInteger(file, "KORVANEX", "Empty", 5), 5);
}

TEST_F(ProfileTest, NewKeyGoesAfterTheLastLineOfItsSection) {
    spit(file, "[A]\nx=1\n\n[B]\ny=2\n");
    WriteIniString(file, "A", "z", "3");
    EXPECT_EQ(slurp(file), "[A]\nx=1\nz=3\n\n[B]\ny=2\n");
}

TEST_F(ProfileTest, LongValuesAndLineEndsInValues) {
    const std::string longValue(5000, 'v');
    WriteIniString(file, "S", "Long", longValue);
    EXPECT_EQ(ReadIniString(file, "S", "Long", ""), longValue);
    WriteIniString(file, "S", "Multi", "a\nb");
    EXPECT_EQ(ReadIniString(file, "S", "Multi", ""), "a b");
    EXPECT_EQ(ReadIniString(file, "S", "Long", ""), longValue); // the file still reads
}

TEST_F(ProfileTest, LocationRule) {
    // A bare name goes to the per-user folder until a copy lies beside the program.
    WriteIniString("KORVANEX.INI", "Size", "State", "2");
    EXPECT_TRUE(fs::exists(dir / "config" / "KORVANEX.INI"));
    spit(dir / "prog" / "KORVANEX.INI", "[Size]\nState=1\n");
    EXPECT_EQ(ReadIniInteger("KORVANEX.INI", "Size", "State", 0), 1);
    WriteIniInteger("KORVANEX.INI", "Size", "State", 0);
    EXPECT_EQ(slurp(dir / "prog" / "KORVANEX.INI"), "[Size]\nState=0\n");
    fs::remove(dir / "prog" / "KORVANEX.INI");
    EXPECT_EQ(ReadIniInteger("KORVANEX.INI", "Size", "State", 0), 2);
    // A full path is used as it stands even with a file of that name beside the program.
    spit(dir / "prog" / "batch.kvx", "[KORVANEX]\nA=beside\n");
    spit(file, "[KORVANEX]\nA=full\n");
    EXPECT_EQ(ReadIniString(file, "KORVANEX", "A", ""), "full");
    EXPECT_EQ(locateProfile(file), file);
}

TEST_F(ProfileTest, UnwritablePathRaisesAndKeepsWhatWasWritten) {
    const std::string bad = (dir / "no-such-folder" / "x.kvx").string();
    try {
        WriteIniString(bad, "S", "K", "v");
        FAIL() << "expected an error";
    } catch (const ProfileWriteError& e) {
        EXPECT_EQ(std::string(e.what()), "Unable to write to " + bad);
    }
    EXPECT_THROW(WriteIniString("/proc/version-korvanex", "S", "K", "v"), ProfileWriteError);

    WriteIniString(file, "S", "First", "1");
    fs::permissions(dir, fs::perms::owner_all); // keep the folder; make the file itself a folder
    fs::remove(file);
    fs::create_directory(file);
    EXPECT_THROW(WriteIniString(file, "S", "Second", "2"), ProfileWriteError);
    EXPECT_TRUE(fs::is_directory(file)); // nothing replaced it
}

TEST_F(ProfileTest, ReplacementLeavesNoTemporaryCopyBehind) {
    const std::string text = "[S]\nK=old\n";
    spit(file, text);
    WriteIniString(file, "S", "K", "new");
    EXPECT_EQ(slurp(file), "[S]\nK=new\n");
    for (const auto& entry : fs::directory_iterator(dir)) {
        EXPECT_EQ(entry.path().string().find(".kvx-new-"), std::string::npos)
            << "a temporary copy was left behind: " << entry.path();
    }
}

TEST_F(ProfileTest, FirstOfRepeatedSectionsAndKeysIsTheOneReadAndWritten) {
    spit(file, "Stray=before any section\n[S]\nK=first\nK=second\n[S]\nK=third\nOnly=later\n");
    EXPECT_EQ(ReadIniString(file, "S", "K", "d"), "first");
    EXPECT_EQ(ReadIniString(file, "S", "Only", "d"), "d"); // in the second [S], never read
    EXPECT_EQ(ReadIniString(file, "S", "Stray", "d"), "d");
    EXPECT_EQ(ReadIniKeys(file, "s"), (std::vector<std::string>{"K", "K"}));
    WriteIniString(file, "S", "K", "new");
    WriteIniString(file, "S", "Only", "added");
    EXPECT_EQ(slurp(file), "Stray=before any section\n[S]\nK=new\nK=second\nOnly=added\n"
                           "[S]\nK=third\nOnly=later\n");
}

TEST_F(ProfileTest, HeadersKeysAndQuotesAtTheirEdges) {
    spit(file, "; a comment line\n[ Padded ] trailing words\n  Key With Blanks  = v \n"
               "Empty=\"\"\nMixed='x\"\nOne=\"\nNoEquals\n=nameless\n[Broken\nAfter=1\n");
    EXPECT_EQ(ReadIniString(file, "padded", "key with blanks", "d"), "v");
    EXPECT_EQ(ReadIniString(file, "Padded", "Empty", "d"), "");
    EXPECT_EQ(ReadIniString(file, "Padded", "Mixed", "d"), "'x\"");
    EXPECT_EQ(ReadIniString(file, "Padded", "One", "d"), "\"");
    EXPECT_EQ(ReadIniString(file, "Padded", "NoEquals", "d"), "d");
    // "[Broken" opens no section, so After still belongs to [ Padded ].
    EXPECT_EQ(ReadIniString(file, "Padded", "After", "d"), "1");
    // A write keeps the comment, the odd lines and the other keys as they stand.
    WriteIniString(file, "Padded", "Key With Blanks", "w");
    EXPECT_EQ(slurp(file), "; a comment line\n[ Padded ] trailing words\nKey With Blanks=w\n"
                           "Empty=\"\"\nMixed='x\"\nOne=\"\nNoEquals\n=nameless\n[Broken\n"
                           "After=1\n");
}

TEST_F(ProfileTest, WholeNumbersOutOfRangeOrMalformedGiveTheDefault) {
    spit(file, "[N]\nBig=2147483648\nSmall=-2147483649\nMax=2147483647\nMin=-2147483648\n"
               "Plus=+7\nHex=0x10\nSpace=1 2\nQuoted=\"42\"\n");
    EXPECT_EQ(ReadIniInteger(file, "N", "Big", 3), 3);
    EXPECT_EQ(ReadIniInteger(file, "N", "Small", 3), 3);
    EXPECT_EQ(ReadIniInteger(file, "N", "Max", 3), 2147483647);
    EXPECT_EQ(ReadIniInteger(file, "N", "Min", 3), INT32_MIN);
    EXPECT_EQ(ReadIniInteger(file, "N", "Plus", 3), 7);
    EXPECT_EQ(ReadIniInteger(file, "N", "Hex", 3), 3);
    EXPECT_EQ(ReadIniInteger(file, "N", "Space", 3), 3);
    EXPECT_EQ(ReadIniInteger(file, "N", "Quoted", 3), 42);
    WriteIniInteger(file, "N", "Min", INT32_MIN);
    EXPECT_EQ(ReadIniString(file, "N", "Min", ""), "-2147483648");
}

TEST_F(ProfileTest, RewriteKeepsTheFilesPermissions) {
    spit(file, "[S]\nK=1\n");
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
    WriteIniString(file, "S", "K", "2");
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
}

// A save keeps what the owner set on the file: its group and mode, its extended attributes
// (ACLs are some), its other names (hard links); and a colleague who may write the file but not
// give a new one its owner writes it in place, so it stays the owner's. Run as root, which may
// give files away and become the colleague.
TEST_F(ProfileTest, SavingKeepsOwnerGroupModeAttributesAndLinks) {
    constexpr gid_t kTeam = 4242;
    spit(file, "[KORVANEX]\nTreeName=ACME\n");
    ASSERT_EQ(::chown(file.c_str(), 0, kTeam), 0) << "needs root";
    ASSERT_EQ(::chmod(file.c_str(), 0664), 0);
    ASSERT_EQ(::setxattr(file.c_str(), "user.kvx.note", "kept", 4, 0), 0);
    const fs::path other = dir / "other-name.kvx";
    auto check = [&](const std::string& classType, const char* when) {
        SCOPED_TRACE(when);
        struct stat st {};
        ASSERT_EQ(::stat(file.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 0u);
        EXPECT_EQ(st.st_gid, kTeam);
        EXPECT_EQ(st.st_mode & 07777, 0664u);
        char note[16] = {};
        EXPECT_EQ(::getxattr(file.c_str(), "user.kvx.note", note, sizeof note), 4);
        EXPECT_STREQ(note, "kept");
        EXPECT_EQ(slurp(file), "[KORVANEX]\nTreeName=ACME\nclasstype=" + classType + "\n");
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        const std::vector<std::string> expected =
            fs::exists(other)
                ? std::vector<std::string>{"batch.kvx", "config", "other-name.kvx", "prog"}
                : std::vector<std::string>{"batch.kvx", "config", "prog"};
        EXPECT_EQ(names, expected); // no copy left behind
    };
    WriteIniString(file, "KORVANEX", "classtype", "User");
    check("User", "replaced");

    fs::create_hard_link(file, other);
    WriteIniString(file, "KORVANEX", "classtype", "Group");
    check("Group", "hard link");
    EXPECT_EQ(slurp(other), slurp(file));
    EXPECT_EQ(fs::hard_link_count(file), 2u);
    fs::remove(other);

    fs::permissions(dir, fs::perms::all); // the colleague may make files beside it
    const pid_t colleague = ::fork();
    if (colleague == 0) {
        bool saved = ::setgroups(0, nullptr) == 0 && ::setgid(kTeam) == 0 && ::setuid(65534) == 0;
        try {
            WriteIniString(file, "KORVANEX", "classtype", "Organizational Unit");
        } catch (...) {
            saved = false;
        }
        ::_exit(saved ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(colleague, &status, 0), colleague);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    check("Organizational Unit", "saved by a colleague");
}

TEST_F(ProfileTest, KeysOfAMissingFileOrSectionAreNone) {
    EXPECT_TRUE(ReadIniKeys((dir / "none.ini").string(), "S").empty());
    spit(file, "[A]\nx=1\n");
    EXPECT_TRUE(ReadIniKeys(file, "B").empty());
    EXPECT_EQ(ReadIniKeys(file, "A"), std::vector<std::string>{"x"});
}

// Values that reading would change (blanks around them, a pair of enclosing quotes) are written
// so that they read back whole; values that need nothing are written as they are. (Whole-section
// writes share the rule: a batch file's separator of blanks is run through the program.)
TEST_F(ProfileTest, EveryValueReadsBackAsItWasWritten) {
    const std::vector<std::string> values{"\t",  " ",  " | ",       "  lead", "trail ", "\"q\"",
                                          "'s'", "\"", "a \"b\" c", "plain",  ""};
    for (std::size_t i = 0; i < values.size(); ++i)
        WriteIniString(file, "S", "K" + std::to_string(i), values[i]);
    for (std::size_t i = 0; i < values.size(); ++i)
        EXPECT_EQ(ReadIniString(file, "S", "K" + std::to_string(i), "d"), values[i]) << i;
    EXPECT_NE(slurp(file).find("\nK8=a \"b\" c\nK9=plain\nK10=\n"), std::string::npos);
}

// A byte-order mark at the start is no part of the first section's header, and a write keeps it.
TEST_F(ProfileTest, FileWithAByteOrderMarkReadsAndKeepsIt) {
    const std::string bom = "\xEF\xBB\xBF";
    spit(file, bom + "[KORVANEX]\r\nTreeName=ACME\r\n");
    EXPECT_EQ(ReadIniString(file, "KORVANEX", "TreeName", "d"), "ACME");
    EXPECT_EQ(ReadIniKeys(file, "KORVANEX"), std::vector<std::string>{"TreeName"});
    EXPECT_EQ(ProfileSection::read(file, "KORVANEX").text("TreeName", "d"), "ACME");
    WriteIniString(file, "KORVANEX", "classtype", "User");
    EXPECT_EQ(slurp(file), bom + "[KORVANEX]\r\nTreeName=ACME\r\nclasstype=User\r\n");
    ProfileSectionWriter whole("KORVANEX");
    whole.set("TreeName", "Other");
    whole.commit(file);
    EXPECT_EQ(slurp(file), bom + "[KORVANEX]\nTreeName=Other\n");
}

// A file the user may not write stays as it is; a link is written through to the file it names,
// and stays a link.
TEST_F(ProfileTest, ReadOnlyFilesAreNotReplacedAndLinksAreWrittenThrough) {
    spit(file, "[S]\nK=old\n");
    fs::permissions(file, fs::perms::owner_read | fs::perms::group_read);
    EXPECT_THROW(WriteIniString(file, "S", "K", "new"), ProfileWriteError);
    EXPECT_THROW(ProfileSectionWriter("S").commit(file), ProfileWriteError);
    EXPECT_EQ(slurp(file), "[S]\nK=old\n");
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);

    fs::create_directory(dir / "real");
    const fs::path target = dir / "real" / "target.kvx";
    spit(target, "[S]\nK=old\n");
    const fs::path link = dir / "link.kvx";
    fs::create_symlink("real/target.kvx", link);
    WriteIniString(link.string(), "S", "K", "new");
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(slurp(target), "[S]\nK=new\n");
    ProfileSectionWriter whole("S");
    whole.set("K", "whole");
    whole.commit(link.string());
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(slurp(target), "[S]\nK=whole\n");
}

} // namespace
