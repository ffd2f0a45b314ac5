// The report search over a small embedded tree: rows of each mode, column building and sizing,
// split entries, and every client failure stopping the search cleanly.
#include "common/support.h"
#include "common/trees.h"
#include "directory/client/faults.h"
#include "directory/client/testing.h"
#include "report/search.h"

#include <gtest/gtest.h>

using namespace kvx::report;

namespace {

using kvx::test::container;
using kvx::test::entry;

const std::string kLdif = kvx::test::ldif(
    {container("o=Acme"), container("ou=Sales,o=Acme"),
     entry("cn=Ann,ou=Sales,o=Acme", "person organizationalPerson",
           "sn: Smith\ntelephoneNumber: 111\ntelephoneNumber: 222\ntelephoneNumber: 333\n"),
     entry("cn=Bob,o=Acme", "person", "sn: Jones\n"), container("ou=Empty,o=Acme")},
    true);

struct RecordingSink : SearchSink {
    std::vector<std::string> statuses;
    std::vector<std::pair<std::string, NWDSCCODE>> failures;
    std::vector<SearchColumn> columns;
    std::vector<ResultRow> rows;
    std::vector<int> fitted;
    std::vector<int> hidden;
    int clears = 0;
    bool complete = false;

    void status(const std::string& text) override { statuses.push_back(text); }
    void failure(const std::string& call, NWDSCCODE code) override {
        failures.emplace_back(call, code);
    }
    void clearRows() override {
        ++clears;
        rows.clear();
    }
    void setColumns(const std::vector<SearchColumn>& c) override { columns = c; }
    void row(const ResultRow& cells) override { rows.push_back(cells); }
    void searchComplete() override { complete = true; }
    void fitColumn(int c) override { fitted.push_back(c); }
    void hideColumn(int c) override { hidden.push_back(c); }
};

class SearchTest : public ::testing::Test {
protected:
    void SetUp() override {
        kvx::test::serveText("", kLdif);
        ASSERT_EQ(NWCallsInit(nullptr, nullptr), 0);
        ASSERT_EQ(NWDSCreateContextHandle(&ctx), 0);
        nuint32 flags = 0;
        ASSERT_EQ(NWDSGetContext(ctx, DCK_FLAGS, &flags), 0);
        flags |= DCV_TYPELESS_NAMES;
        ASSERT_EQ(NWDSSetContext(ctx, DCK_FLAGS, &flags), 0);
    }
    void TearDown() override { kvx::test::resetClient(); }

    SearchInput input(ReportMode mode, std::vector<std::string> attrs) {
        SearchInput in;
        in.context = ctx;
        in.base = "";
        in.objectClass = "Person";
        in.mode = mode;
        for (auto& a : attrs) {
            in.attributes.push_back({a, 0});
        }
        return in;
    }

    NWDSContextHandle ctx = 0;
    RecordingSink sink;
};

using Rows = std::vector<ResultRow>;

TEST_F(SearchTest, TabularTakesFirstValueAndLeavesMissingCellsEmpty) {
    auto in = input(ReportMode::Tabular, {"Surname", "Telephone Number", "Title"});
    in.hideEmptyColumns = true;
    SearchOutcome out = DoSearch(in, sink);
    ASSERT_TRUE(out.completed);
    EXPECT_TRUE(sink.failures.empty());
    EXPECT_EQ(sink.rows,
              (Rows{{"Ann.Sales.Acme", "Smith", "111", ""}, {"Bob.Acme", "Jones", "", ""}}));
    ASSERT_EQ(sink.columns.size(), 4u);
    EXPECT_EQ(sink.columns[0].caption, "Object");
    EXPECT_EQ(sink.columns[2].caption, "Telephone Number");
    EXPECT_EQ(sink.hidden, (std::vector<int>{3})); // nobody has a Title
    EXPECT_EQ(sink.fitted, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(out.objects, 2);
    EXPECT_EQ(out.values, 5); // Ann: a surname and three numbers; Bob: a surname
}

TEST_F(SearchTest, HidingOffFitsEveryColumn) {
    auto in = input(ReportMode::Tabular, {"Title"});
    in.hideEmptyColumns = false;
    DoSearch(in, sink);
    EXPECT_TRUE(sink.hidden.empty());
    EXPECT_EQ(sink.fitted, (std::vector<int>{0, 1}));
    EXPECT_EQ(sink.rows, (Rows{{"Ann.Sales.Acme", ""}, {"Bob.Acme", ""}}));
}

TEST_F(SearchTest, TabularCrossGivesOneRowPerExpandedValue) {
    auto in = input(ReportMode::TabularCross, {"Surname", "Telephone Number"});
    in.expandedAttribute = "telephone number"; // matched without regard to case
    DoSearch(in, sink);
    EXPECT_EQ(sink.rows, (Rows{{"Ann.Sales.Acme", "Smith", "111"},
                               {"Ann.Sales.Acme", "Smith", "222"},
                               {"Ann.Sales.Acme", "Smith", "333"}}));
}

TEST_F(SearchTest, TabularCrossWithUnselectedExpandedAttributeHasNoRows) {
    auto in = input(ReportMode::TabularCross, {"Surname"});
    in.expandedAttribute = "Telephone Number";
    DoSearch(in, sink);
    EXPECT_TRUE(sink.rows.empty());
    EXPECT_EQ(sink.hidden, (std::vector<int>{1})); // Bob's and Ann's surnames set no flag
}

TEST_F(SearchTest, NonTabularGivesOneRowPerValue) {
    auto in = input(ReportMode::NonTabular, {"Surname", "Telephone Number"});
    DoSearch(in, sink);
    EXPECT_EQ(sink.rows, (Rows{{"Ann.Sales.Acme", "Surname", "Smith"},
                               {"Ann.Sales.Acme", "Telephone Number", "111"},
                               {"Ann.Sales.Acme", "Telephone Number", "222"},
                               {"Ann.Sales.Acme", "Telephone Number", "333"},
                               {"Bob.Acme", "Surname", "Jones"}}));
    ASSERT_EQ(sink.columns.size(), 3u);
    EXPECT_EQ(sink.columns[1].caption, "Attribute");
    EXPECT_EQ(sink.fitted, (std::vector<int>{0, 1, 2}));
}

TEST_F(SearchTest, NoAttributesListsEachObjectOnceInEveryMode) {
    DoSearch(input(ReportMode::Tabular, {}), sink);
    EXPECT_EQ(sink.rows, (Rows{{"Ann.Sales.Acme"}, {"Bob.Acme"}}));
    DoSearch(input(ReportMode::NonTabular, {}), sink);
    EXPECT_EQ(sink.rows, (Rows{{"Ann.Sales.Acme", "", ""}, {"Bob.Acme", "", ""}}));
}

TEST_F(SearchTest, SearchFromContainerAndNoMatches) {
    auto in = input(ReportMode::Tabular, {"Surname"});
    in.base = ".Sales.Acme";
    DoSearch(in, sink);
    EXPECT_EQ(sink.rows, (Rows{{"Ann.Sales.Acme", "Smith"}}));

    in.base = ".Empty.Acme";
    SearchOutcome out = DoSearch(in, sink);
    EXPECT_TRUE(out.completed);
    EXPECT_TRUE(sink.rows.empty());
    EXPECT_EQ(sink.hidden, (std::vector<int>{1}));
}

TEST_F(SearchTest, StatusTextsFollowTheSearch) {
    DoSearch(input(ReportMode::Tabular, {"Surname"}), sink);
    ASSERT_GE(sink.statuses.size(), 6u);
    EXPECT_EQ(sink.statuses[0], "Clear Old Search Results");
    EXPECT_EQ(sink.statuses[1], "Initialising Search");
    EXPECT_EQ(sink.statuses[2], "Adding Columns");
    EXPECT_EQ(sink.statuses[3], "Adding Search Criteria");
    EXPECT_EQ(sink.statuses[4], "Search Iteration 1 Objects 0 Values 0");
    EXPECT_EQ(sink.statuses.back(), "Resizing Column 1");
}

// Objects found counts each object of the report once, however many batches carry it.
TEST_F(SearchTest, SplitEntryStaysOneObjectAndKeepsFirstValues) {
    // Batches so small that Ann's entry is carried over several of them.
    kvx::client::setResultBufferCapacityForTesting(140);
    auto in = input(ReportMode::Tabular, {"Surname", "Telephone Number"});
    SearchOutcome out = DoSearch(in, sink);
    ASSERT_TRUE(out.completed) << (sink.failures.empty() ? "" : sink.failures[0].first);
    EXPECT_GT(out.iterations, 2);
    EXPECT_EQ(out.objects, 2);
    EXPECT_EQ(sink.rows, (Rows{{"Ann.Sales.Acme", "Smith", "111"}, {"Bob.Acme", "Jones", ""}}));

    in.mode = ReportMode::TabularCross;
    in.expandedAttribute = "Telephone Number";
    out = DoSearch(in, sink);
    EXPECT_EQ(sink.rows, (Rows{{"Ann.Sales.Acme", "Smith", "111"},
                               {"Ann.Sales.Acme", "Smith", "222"},
                               {"Ann.Sales.Acme", "Smith", "333"}}));
    EXPECT_EQ(out.objects, 1); // Bob has no number: no row, not in the report

    in.mode = ReportMode::NonTabular;
    out = DoSearch(in, sink);
    EXPECT_EQ(sink.rows.size(), 5u);
    EXPECT_EQ(out.objects, 2);
}

// Every client call of the search, failed at its first use: the failure is reported with the
// call's name, the search stops, nothing is handed out and nothing leaks (ASan would tell).
TEST_F(SearchTest, EachFailingCallStopsTheSearch) {
    const std::vector<std::pair<std::string, std::string>> calls = {
        {"NWDSAllocBuf", "NWDSAllocBuf"},
        {"NWDSInitBuf", "NWDSInitBuf"},
        {"NWDSPutAttrName", "NWDSPutAttrName"},
        {"NWDSAllocFilter", "NWDSAllocFilter"},
        {"NWDSAddFilterToken", "NWDSAddFilterToken"},
        {"NWDSPutFilter", "NWDSAddFilterToken"},
        {"NWDSSearch", "NWDSSearch"},
        {"NWDSGetObjectCount", "NWDSGetObjectCount"},
        {"NWDSGetObjectName", "NWDSGetObjectName"},
        {"NWDSGetAttrName", "NWDSGetAttrName"},
        {"NWDSComputeAttrValSize", "NWDSComputeAttrValSize"},
        {"NWDSGetAttrVal", "NWDSGetAttrVal"},
    };
    for (const auto& [call, shown] : calls) {
        SCOPED_TRACE(call);
        RecordingSink s;
        kvx::client::faults::clear();
        kvx::client::faults::failCall(call, 1, ERR_TRANSPORT_FAILURE);
        SearchOutcome out = DoSearch(input(ReportMode::Tabular, {"Surname"}), s);
        EXPECT_FALSE(out.completed);
        ASSERT_EQ(s.failures.size(), 1u);
        EXPECT_EQ(s.failures[0].first, shown);
        EXPECT_EQ(s.failures[0].second, ERR_TRANSPORT_FAILURE);
        EXPECT_TRUE(s.rows.empty());
        EXPECT_TRUE(s.fitted.empty());
        EXPECT_FALSE(s.complete);
    }
}

TEST_F(SearchTest, FailureLaterKeepsRowsAlreadyOutButDropsThePendingObject) {
    // Bob's surname is the fifth value read; the fifth value read fails.
    kvx::client::faults::failCall("NWDSGetAttrVal", 5, ERR_TRANSPORT_FAILURE);
    DoSearch(input(ReportMode::Tabular, {"Surname", "Telephone Number"}), sink);
    EXPECT_EQ(sink.rows, (Rows{{"Ann.Sales.Acme", "Smith", "111"}}));
    EXPECT_TRUE(sink.fitted.empty());
}

} // namespace
