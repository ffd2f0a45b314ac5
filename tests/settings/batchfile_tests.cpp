// Batch settings files: the keys a save writes and their order, what a load reads back, and
// files that are damaged, sparse or that name far more rows than they hold.
#include "settings/batchfile.h"
#include "settings/profile.h"
#include "settings_folder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

using namespace kvx::settings;
namespace fs = std::filesystem;
using kvx::settings::testing::slurp;
using kvx::settings::testing::spit;
using Strings = std::vector<std::string>;

namespace {

// The key names of a profile text, in order.
Strings keysOf(const std::string& text) {
    Strings keys;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        const auto eq = line.find('=');
        if (eq != std::string::npos)
            keys.push_back(line.substr(0, eq));
    }
    return keys;
}

BatchSettings sample() {
    BatchSettings s;
    s.treeName = "ACME";
    s.startingPoint = Strings{"Sales", "Acme"};
    s.className = "User";
    s.outputWindow = true;
    s.outputFile = true;
    s.hideEmptyColumns = false;
    s.outputFileName = "  users report.txt";
    s.outputSeparator = " | "; // blanks around values read back whole
    s.encloseQuotes = true;
    s.columnHeaders = true;
    s.tabularCross = true;
    s.expandedAttribute = 1;
    s.attributes = {{"Surname", "Multi", "CI_String"},
                    {"Given Name", "Multi", "CI_String"},
                    {"Group Membership", "Multi", "Dist_Name"}};
    return s;
}

class BatchFileTest : public kvx::settings::testing::SettingsFolderTest {
protected:
    const char* fileName() const override { return "report.kvx"; }
};

TEST_F(BatchFileTest, SaveWritesEveryKeyInTheFormatsOrder) {
    ASSERT_EQ(writeBatchSettings(file, sample()), BatchWriteResult::Written);
    const std::string text = slurp(file);
    EXPECT_EQ(text.rfind("[KORVANEX]\n", 0), 0u);
    EXPECT_EQ(keysOf(text), (Strings{"TreeName",
                                     "Context1",
                                     "Context2",
                                     "ContextCount",
                                     "classtype",
                                     "chkOutputWindow",
                                     "chkOutputFile",
                                     "chkHideEmptyColumns",
                                     "txtOutputFilename",
                                     "txtOutputSeparator",
                                     "chkOutputEncloseQuotes",
                                     "chkOutputColumnHeaders",
                                     "optResultsTabular",
                                     "optResultsTabularCross",
                                     "optResultsNonTabular",
                                     "cboAttributesMulti",
                                     "AttributeCount",
                                     "lvwSelectedeAttributes0",
                                     "lvwSelectedeAttributesSingle0",
                                     "lvwSelectedeAttributesSyntax0",
                                     "lvwSelectedeAttributes1",
                                     "lvwSelectedeAttributesSingle1",
                                     "lvwSelectedeAttributesSyntax1",
                                     "lvwSelectedeAttributes2",
                                     "lvwSelectedeAttributesSingle2",
                                     "lvwSelectedeAttributesSyntax2"}));
    EXPECT_NE(text.find("\nContext1=Sales\nContext2=Acme\nContextCount=2\n"), std::string::npos);
    EXPECT_NE(text.find("\nchkHideEmptyColumns=0\n"), std::string::npos);
    EXPECT_NE(text.find("\noptResultsTabularCross=1\n"), std::string::npos);
}

TEST_F(BatchFileTest, RoundTripsInEveryMode) {
    for (int mode = 0; mode < 3; ++mode) {
        BatchSettings s = sample();
        s.outputFileName = "users.txt";
        s.tabular = mode == 0;
        s.tabularCross = mode == 1;
        s.nonTabular = mode == 2;
        s.expandedAttribute = mode - 1; // -1 (none chosen) survives too
        writeBatchSettings(file, s);
        EXPECT_EQ(readBatchSettings(file), s) << "mode " << mode;
    }
}

TEST_F(BatchFileTest, RootIsOneEmptyPieceAndBlanksAroundValuesAreKept) {
    BatchSettings s = sample();
    s.startingPoint = Strings{};
    writeBatchSettings(file, s);
    EXPECT_NE(slurp(file).find("\nContext1=\nContextCount=1\n"), std::string::npos);
    const BatchSettings back = readBatchSettings(file);
    EXPECT_EQ(back.startingPoint, Strings{""});
    EXPECT_EQ(back.outputFileName, "  users report.txt");
    EXPECT_EQ(back.outputSeparator, " | ");
}

TEST_F(BatchFileTest, NoStartingPointWritesTreeNameAlone) {
    writeBatchSettings(file, sample()); // an earlier, complete save to the same name
    BatchSettings s = sample();
    s.startingPoint.reset();
    EXPECT_EQ(writeBatchSettings(file, s), BatchWriteResult::NoStartingPoint);
    EXPECT_EQ(slurp(file), "[KORVANEX]\nTreeName=ACME\n");
}

TEST_F(BatchFileTest, SecondSaveLeavesOnlyItsOwnKeys) {
    writeBatchSettings(file, sample());
    BatchSettings fewer = sample();
    fewer.outputFileName = "users.txt";
    fewer.attributes.resize(1);
    writeBatchSettings(file, fewer);
    const std::string text = slurp(file);
    EXPECT_EQ(text.find("lvwSelectedeAttributes1"), std::string::npos);
    EXPECT_EQ(readBatchSettings(file), fewer);
}

TEST_F(BatchFileTest, RelativeNameBesideTheProgramIsTheCopyRemovedAndWritten) {
    spit(dir / "prog" / "beside.kvx", "[KORVANEX]\nStale=1\n");
    BatchSettings s = sample();
    s.outputFileName = "users.txt";
    writeBatchSettings("beside.kvx", s);
    const std::string text = slurp(dir / "prog" / "beside.kvx");
    EXPECT_EQ(text.find("Stale"), std::string::npos);
    EXPECT_FALSE(fs::exists(dir / "config" / "beside.kvx"));
    EXPECT_EQ(readBatchSettings("beside.kvx"), s);
}

TEST_F(BatchFileTest, MissingOrDamagedFileGivesTheDefaults) {
    const BatchSettings defaults = readBatchSettings((dir / "none.kvx").string());
    BatchSettings expected;
    expected.startingPoint = Strings{};
    EXPECT_EQ(defaults, expected);

    std::string junk;
    for (int i = 0; i < 4096; ++i)
        junk.push_back(static_cast<char>((i * 7919) % 256));
    spit(file, junk);
    EXPECT_EQ(readBatchSettings(file), expected);

    fs::create_directory(dir / "folder.kvx"); // a folder where a file is expected
    EXPECT_EQ(readBatchSettings((dir / "folder.kvx").string()), expected);
}

TEST_F(BatchFileTest, FlagsAreSetByAnyWholeNumberButZero) {
    spit(file, "[korvanex]\nCHKOUTPUTWINDOW=5\nchkOutputFile=-1\nchkHideEmptyColumns=yes\n"
               "optResultsTabular=0\noptResultsNonTabular= 2 \n");
    const BatchSettings s = readBatchSettings(file);
    EXPECT_TRUE(s.outputWindow);
    EXPECT_TRUE(s.outputFile);
    EXPECT_FALSE(s.hideEmptyColumns); // not a number: the default
    EXPECT_FALSE(s.tabular);
    EXPECT_TRUE(s.nonTabular);
    EXPECT_EQ(s.expandedAttribute, 0); // absent: the first entry is asked for
}

TEST_F(BatchFileTest, AttributeCountDecidesTheRows) {
    std::string rows;
    for (int i = 0; i < 5; ++i) {
        const std::string n = std::to_string(i);
        rows += "lvwSelectedeAttributes" + n + "=Attr" + n + "\nlvwSelectedeAttributesSingle" + n +
                "=Single\nlvwSelectedeAttributesSyntax" + n + "=CI_String\n";
    }
    spit(file, "[KORVANEX]\nAttributeCount=2\n" + rows);
    const BatchSettings fewer = readBatchSettings(file);
    ASSERT_EQ(fewer.attributes.size(), 2u);
    EXPECT_EQ(fewer.attributes[1].name, "Attr1");

    spit(file, "[KORVANEX]\nAttributeCount=7\n" + rows);
    const BatchSettings more = readBatchSettings(file);
    ASSERT_EQ(more.attributes.size(), 7u);
    EXPECT_EQ(more.attributes[4], (SelectedAttributeRow{"Attr4", "Single", "CI_String"}));
    EXPECT_EQ(more.attributes[5], SelectedAttributeRow{});
    EXPECT_EQ(more.attributes[6], SelectedAttributeRow{});

    spit(file, "[KORVANEX]\nAttributeCount=-3\n" + rows);
    EXPECT_TRUE(readBatchSettings(file).attributes.empty());
}

TEST_F(BatchFileTest, RowKeysAreFoundInAnyCaseButNotUnderOtherNumbers) {
    spit(file, "[KORVANEX]\nAttributeCount=3\nLVWSELECTEDEATTRIBUTES0=Surname\n"
               "lvwselectedeattributessyntax0=CI_String\nlvwSelectedeAttributes01=Padded\n"
               "lvwSelectedeAttributesSingle2=Multi\nlvwSelectedeAttributes0=Second copy\n");
    const BatchSettings s = readBatchSettings(file);
    ASSERT_EQ(s.attributes.size(), 3u);
    EXPECT_EQ(s.attributes[0], (SelectedAttributeRow{"Surname", "", "CI_String"}));
    EXPECT_EQ(s.attributes[1], SelectedAttributeRow{}); // "01" is not row 1's key
    EXPECT_EQ(s.attributes[2], (SelectedAttributeRow{"", "Multi", ""}));
}

TEST_F(BatchFileTest, HugeCountsStayCheapAndKeepWhatTheFileHolds) {
    spit(file, "[KORVANEX]\nContextCount=2147483647\nContext2147483647=Acme\nContext7=Sales\n"
               "Context0=never\nAttributeCount=2147483647\nlvwSelectedeAttributes3=Title\n"
               "lvwSelectedeAttributes2147483646=Beyond\n");
    const auto started = std::chrono::steady_clock::now();
    const BatchSettings s = readBatchSettings(file);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
    EXPECT_EQ(s.startingPoint, (Strings{"Sales", "Acme"}));
    ASSERT_EQ(s.attributes.size(), static_cast<std::size_t>(kMaxBatchAttributeRows));
    EXPECT_EQ(s.attributes[3].name, "Title");
}

TEST_F(BatchFileTest, ContextCountBelowOneLooksAtItsOwnNumberOnce) {
    spit(file, "[KORVANEX]\nContext1=Acme\nContext0=Zero\n");
    EXPECT_EQ(readBatchSettings(file).startingPoint, Strings{"Zero"}); // no count: 0
    spit(file, "[KORVANEX]\nContextCount=-2\nContext1=Acme\nCONTEXT-2=Minus\n");
    EXPECT_EQ(readBatchSettings(file).startingPoint, Strings{"Minus"});
    spit(file, "[KORVANEX]\nContextCount=0\nContext1=Acme\n");
    EXPECT_EQ(readBatchSettings(file).startingPoint, Strings{});
}

TEST_F(BatchFileTest, ContextKeysMissingFromTheChainAreLeftOut) {
    spit(file, "[KORVANEX]\nContextCount=3\nContext1=Dev\nContext3=Acme\nContext4=Ignored\n");
    EXPECT_EQ(readBatchSettings(file).startingPoint, (Strings{"Dev", "Acme"}));
}

TEST_F(BatchFileTest, LongValuesAreKeptWhole) {
    BatchSettings s = sample();
    s.outputFileName = std::string(3000, 'f') + ".txt";
    s.startingPoint = Strings{std::string(1000, 'c'), "Acme"};
    s.attributes[0].name = std::string(600, 'a');
    writeBatchSettings(file, s);
    EXPECT_EQ(readBatchSettings(file), s);
}

TEST_F(BatchFileTest, UnwritableFileRaisesTheProfileError) {
    const std::string bad = (dir / "no-such-folder" / "x.kvx").string();
    try {
        writeBatchSettings(bad, sample());
        FAIL() << "expected an error";
    } catch (const ProfileWriteError& e) {
        EXPECT_EQ(std::string(e.what()), "Unable to write to " + bad);
    }
    EXPECT_THROW(writeBatchSettings("/proc/korvanex-report.kvx", sample()), ProfileWriteError);
}

TEST_F(BatchFileTest, SearchFilterIsSavedOnlyWhenThereIsOneAndReadsBackWhole) {
    // No filter: the file holds exactly the keys it always held.
    BatchSettings s = sample();
    s.outputFileName = "users.txt";
    writeBatchSettings(file, s);
    EXPECT_EQ(slurp(file).find("txtSearchFilter"), std::string::npos);
    EXPECT_EQ(readBatchSettings(file).searchFilter, "");

    // A filter goes after the class; filters that begin and end with a quote keep their quotes.
    for (const std::string filter : {"(&(\"Login Disabled\"=TRUE)(!(telephoneNumber=*)))",
                                     "\"Title\"=Chief \"Boss\"", "'x'=y'", "(sn=a=b;c)"}) {
        SCOPED_TRACE(filter);
        s.searchFilter = filter;
        writeBatchSettings(file, s);
        const Strings keys = keysOf(slurp(file));
        const auto at = std::find(keys.begin(), keys.end(), "txtSearchFilter");
        ASSERT_NE(at, keys.end());
        EXPECT_EQ(*(at - 1), "classtype");
        const BatchSettings back = readBatchSettings(file);
        EXPECT_EQ(back.searchFilter, filter);
        EXPECT_EQ(back, s);
    }
}

} // namespace
