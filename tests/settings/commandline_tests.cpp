// The command line's arguments and the stored starting-point chain.
#include "settings/commandline.h"

#include <gtest/gtest.h>

using namespace kvx::settings;
using Strings = std::vector<std::string>;

TEST(CommandLine, SampleLineOfTheBatchPage) {
    auto line =
        parseCommandLine({"/settings=c:\\korvanex\\scanusers.kvx", "/autorun", "/autoclose"});
    EXPECT_EQ(line.settingsFiles, Strings{"c:\\korvanex\\scanusers.kvx"});
    EXPECT_TRUE(line.autorun);
    EXPECT_TRUE(line.autoclose);
}

TEST(CommandLine, MatchingRules) {
    EXPECT_TRUE(parseCommandLine({"/AUTORUN"}).autorun);
    EXPECT_FALSE(parseCommandLine({"/autorunx"}).autorun);
    EXPECT_FALSE(parseCommandLine({"autorun"}).autorun);
    EXPECT_EQ(parseCommandLine({"/settings=a=b.kvx"}).settingsFiles, Strings{"a=b.kvx"});
    // The nine-character prefix alone decides.
    EXPECT_EQ(parseCommandLine({"/SETTINGS=x.kvx", "/settingsfile=y.kvx"}).settingsFiles,
              (Strings{"x.kvx", "y.kvx"}));
    // No name: ignored, never an empty load.
    EXPECT_TRUE(parseCommandLine({"/settings", "/settings="}).settingsFiles.empty());
    auto line = parseCommandLine({"--settings=/tmp/a b.kvx", "--autorun", "--autoclose"});
    EXPECT_EQ(line.settingsFiles, Strings{"/tmp/a b.kvx"});
    EXPECT_TRUE(line.autorun && line.autoclose);
    EXPECT_TRUE(parseCommandLine({"--help"}).help);
    EXPECT_TRUE(parseCommandLine({"--version"}).version);
    auto close = parseCommandLine({"/autoclose"});
    EXPECT_TRUE(close.autoclose);
    EXPECT_FALSE(close.autorun);
}

TEST(StartingPointChain, SplitsAtUnescapedPeriods) {
    EXPECT_EQ(startingPointChain(".Sales.Acme"), (Strings{"Sales", "Acme"}));
    EXPECT_EQ(startingPointChain(".Dev.Sales.Acme"), (Strings{"Dev", "Sales", "Acme"}));
    EXPECT_EQ(startingPointChain(""), Strings{""});
    // An escaped period belongs to its name.
    EXPECT_EQ(startingPointChain(".R\\.D.Acme"), (Strings{"R\\.D", "Acme"}));
    EXPECT_EQ(startingPointChain(".Lab.R\\.D\\..Acme"), (Strings{"Lab", "R\\.D\\.", "Acme"}));
}

TEST(StartingPointChain, NameComparisonFoldsOnlyAtoZ) {
    EXPECT_TRUE(equalIgnoringAsciiCase("Sales", "SALES"));
    EXPECT_FALSE(equalIgnoringAsciiCase("Zoë", "ZOË"));
    EXPECT_FALSE(equalIgnoringAsciiCase("Sales", "Sale"));
}
