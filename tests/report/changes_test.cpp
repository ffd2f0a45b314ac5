// The change recorder's baseline: columns that come and go between runs, and baselines that are
// damaged or belong to another report. Whole runs with real trees are tested in app_settings.
#include "common/support.h"
#include "report/changes.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace kvx::report;

namespace {

using Rows = std::vector<std::vector<std::string>>;

BaselineIdentity identity(const std::string& report = "settings /r.kvx") {
    return {report, "ACME", "Acme", "User", "Tabular", ""};
}

// One completed run of a Tabular report over `rows`; its change rows go to `changes`.
ChangeSummary run(const std::string& baseline, const std::vector<std::string>& captions,
                  const Rows& rows, Rows& changes, std::int64_t now,
                  const BaselineIdentity& id = identity()) {
    std::vector<ChangeColumn> columns;
    for (const std::string& caption : captions) {
        columns.push_back({caption, false});
    }
    ChangeRecorder recorder(id, kvx::ReportMode::Tabular, "", columns);
    for (const auto& row : rows) {
        recorder.row(row);
    }
    changes.clear();
    return recorder.finish(baseline, now, [&](std::span<const std::string> row) {
        changes.emplace_back(row.begin(), row.end());
    });
}

TEST(ChangeBaseline, ColumnsAddedOrGoneAreNamedAndNeverCountAsChanges) {
    kvx::test::TempFolder dir;
    const std::string baseline = (dir / "state" / "r.baseline").string();
    Rows changes;
    ChangeSummary first =
        run(baseline, {"Surname", "Title"},
            {{"Ann.Sales.Acme", "Smith", "Boss"}, {"bob.Acme", "Jones", "Clerk"}}, changes, 100);
    EXPECT_FALSE(first.compared);
    EXPECT_TRUE(first.baselineWritten) << first.baselineError;
    EXPECT_EQ(first.text(), "No previous run to compare with: this run is the baseline");
    EXPECT_TRUE(changes.empty());

    // Title dropped, Telephone Number added, Ann's surname changed, Bob's name in other case.
    ChangeSummary second =
        run(baseline, {"Telephone Number", "Surname"},
            {{"BOB.acme", "555", "Jones"}, {"Ann.Sales.Acme", "1", "Smyth"}}, changes, 200);
    ASSERT_TRUE(second.compared) << second.refused;
    EXPECT_EQ(changes, (Rows{{"Changed", "Ann.Sales.Acme", "Surname", "Smith", "Smyth"}}));
    EXPECT_EQ(second.newColumns, std::vector<std::string>{"Telephone Number"});
    EXPECT_EQ(second.goneColumns, std::vector<std::string>{"Title"});
    EXPECT_EQ(second.added + second.removed, 0);
    EXPECT_EQ(second.changed, 1);
    EXPECT_EQ(second.previous, 100);
}

TEST(ChangeBaseline, DamagedOrForeignBaselineIsRefusedAndReplacedByAFreshOne) {
    kvx::test::TempFolder dir;
    const std::string baseline = (dir / "r.baseline").string();
    const Rows rows{{"Ann.Acme", "Smith"}, {"Bob.Acme", "Jones"}, {"Cid.Acme", "Kay"}};
    Rows changes;
    run(baseline, {"Surname"}, rows, changes, 100);
    const std::string sound = kvx::test::slurp(baseline);
    ASSERT_FALSE(sound.empty());

    // Every kind of damage: a byte changed anywhere, the file cut anywhere, bytes appended.
    std::vector<std::string> damaged;
    for (std::size_t at = 0; at < sound.size(); at += 7) {
        std::string flipped = sound;
        flipped[at] = static_cast<char>(flipped[at] ^ 0x20);
        damaged.push_back(flipped);
        damaged.push_back(sound.substr(0, at));
    }
    damaged.push_back(sound + "x");
    for (const std::string& bytes : damaged) {
        kvx::test::spit(baseline, bytes);
        const ChangeSummary summary =
            run(baseline, {"Surname"}, {{"Ann.Acme", "Other"}}, changes, 200);
        ASSERT_FALSE(summary.compared);
        EXPECT_TRUE(changes.empty());
        EXPECT_NE(summary.refused.find("is damaged and is not used"), std::string::npos)
            << summary.refused;
        // The refused file gave way to this run's baseline, which the next run compares with.
        const ChangeSummary next =
            run(baseline, {"Surname"}, {{"Ann.Acme", "Other"}}, changes, 300);
        ASSERT_TRUE(next.compared) << next.refused;
        EXPECT_TRUE(changes.empty());
        kvx::test::spit(baseline, sound);
    }

    const ChangeSummary foreign =
        run(baseline, {"Surname"}, rows, changes, 400, identity("settings /other.kvx"));
    EXPECT_FALSE(foreign.compared);
    EXPECT_NE(foreign.refused.find("belongs to another report"), std::string::npos);
    EXPECT_TRUE(changes.empty());
}

} // namespace
