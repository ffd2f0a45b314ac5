// Failure on demand, client start-up, connections, tree and advertisement scans.
#include "client_fixture.h"

#include <cstdlib>

using namespace kvx::client;
using namespace kvx::client::testing;

class FaultTest : public ClientTest {};

TEST_F(FaultTest, NthCallFailsOnceAndOnlyThatCall) {
    faults::failCall("NWDSAllocBuf", 2, ERR_NOT_ENOUGH_MEMORY);
    pBuf_T a = nullptr, b = nullptr, c = nullptr;
    EXPECT_EQ(NWDSAllocBuf(DEFAULT_MESSAGE_LEN, &a), 0);
    EXPECT_EQ(NWDSAllocBuf(DEFAULT_MESSAGE_LEN, &b), ERR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(b, nullptr); // nothing else happened
    EXPECT_EQ(NWDSAllocBuf(DEFAULT_MESSAGE_LEN, &c), 0);
    EXPECT_EQ(NWDSFreeBuf(a), 0);
    EXPECT_EQ(NWDSFreeBuf(c), 0);
}

TEST_F(FaultTest, FromNthOnEveryCallFails) {
    faults::failCallFrom("NWDSGetAttrVal", 2, ERR_TRANSPORT_FAILURE);
    // Other calls do not count towards the rule.
    EXPECT_EQ(faults::check("NWDSGetAttrName"), 0);
    char area[8];
    EXPECT_EQ(NWDSGetAttrVal(ctx, nullptr, SYN_CI_STRING, area), ERR_INVALID_HANDLE);
    for (int i = 0; i < 5; ++i) // the fault comes before any other check of the call
        EXPECT_EQ(NWDSGetAttrVal(ctx, nullptr, SYN_CI_STRING, area), ERR_TRANSPORT_FAILURE);
    faults::clear();
    EXPECT_EQ(NWDSGetAttrVal(ctx, nullptr, SYN_CI_STRING, area), ERR_INVALID_HANDLE);
}

TEST_F(FaultTest, FailingSearchCallStopsTheSearchWithItsCode) {
    faults::failCall("NWDSSearch", 1, ERR_SIZE_LIMIT_EXCEEDED);
    SearchRun run = search("", "User", {});
    EXPECT_EQ(run.rc, ERR_SIZE_LIMIT_EXCEEDED);
    EXPECT_TRUE(run.entries.empty());
    run = search("", "User", {});
    EXPECT_EQ(run.rc, 0);
    EXPECT_EQ(run.entries.size(), 2u);
}

TEST_F(FaultTest, SeveralRulesForOneCall) {
    faults::failCall("NWDSFreeContext", 1, -1);
    faults::failCall("NWDSFreeContext", 3, -3);
    EXPECT_EQ(faults::check("NWDSFreeContext"), -1);
    EXPECT_EQ(faults::check("NWDSFreeContext"), 0);
    EXPECT_EQ(faults::check("NWDSFreeContext"), -3);
    EXPECT_EQ(faults::check("NWDSFreeContext"), 0);
    EXPECT_EQ(faults::check("nwdsfreecontext"), 0);
}

TEST_F(FaultTest, TextRulesAreParsedWhollyOrNotAtAll) {
    EXPECT_TRUE(faults::armFromText(" NWDSSearch:2:-625 , NWDSList:1+:0x88FF; "));
    EXPECT_EQ(faults::check("NWDSSearch"), 0);
    EXPECT_EQ(faults::check("NWDSSearch"), ERR_TRANSPORT_FAILURE);
    EXPECT_EQ(faults::check("NWDSSearch"), 0);
    EXPECT_EQ(faults::check("NWDSList"), NWE_NO_MORE_ENTRIES);
    EXPECT_EQ(faults::check("NWDSList"), NWE_NO_MORE_ENTRIES);
    faults::clear();

    for (const char* bad : {"NWDSSearch", "NWDSSearch:1", "NWDSSearch:x:-625", ":1:-625",
                            "NWDSSearch:0:-625", "NWDSSearch:1:0", "NWDSSearch:1:-625:9",
                            "NWDSSearch:1:99999999999", "NWDSList:1:-601,NWDSSearch:1:"}) {
        EXPECT_FALSE(faults::armFromText(bad)) << bad;
        EXPECT_EQ(faults::check("NWDSList"), 0) << bad; // nothing half-armed
        EXPECT_EQ(faults::check("NWDSSearch"), 0) << bad;
    }
    EXPECT_TRUE(faults::armFromText(""));
}

TEST_F(FaultTest, StartUpArmsFaultsFromTheEnvironmentOnce) {
    resetClient();
    ::setenv("KORVANEX_CLIENT_FAULTS", "NWCallsInit:1:-632,NWDSCreateContextHandle:1:-301", 1);
    EXPECT_EQ(NWCallsInit(nullptr, nullptr), ERR_SYSTEM_FAILURE);
    // A second start-up does not arm the rules again.
    EXPECT_EQ(NWCallsInit(nullptr, nullptr), 0);
    ::unsetenv("KORVANEX_CLIENT_FAULTS");
    NWDSContextHandle c;
    EXPECT_EQ(NWDSCreateContextHandle(&c), ERR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(NWDSCreateContextHandle(&c), 0);
    // The provider installed before start-up is kept.
    std::string tree;
    ASSERT_EQ(NWDSGetContext(c, DCK_TREE_NAME, &tree), 0);
    EXPECT_EQ(tree, "ACME");
}

// ---- Connections and scans ----------------------------------------------------------------

class ScanTest : public ClientTest {
protected:
    void SetUp() override {
        ClientTest::SetUp();
        provider->addTree("CORP");
        provider->addTree("Archive");
        provider->advertised = {"SAMPLE", "DEMO"};
        ASSERT_EQ(NWCCGetPrimConnRef(&ref), 0);
        ASSERT_EQ(NWCCOpenConnByRef(ref, 1, 0, &conn), 0);
    }
    std::vector<std::string> scanTrees(const std::string& pattern, NWCCODE* end) {
        std::vector<std::string> out;
        nint32 index = -1;
        std::string name;
        NWCCODE rc;
        while ((rc = NWDSScanForAvailableTrees(ctx, conn, pattern, &index, name)) == 0) {
            out.push_back(name);
            if (out.size() > 10)
                break;
        }
        *end = rc;
        return out;
    }
    nuint32 ref = 0;
    NWCONN_HANDLE conn = 0;
};

TEST_F(ScanTest, TreeScanGivesEachConfiguredTreeThenEnds) {
    NWCCODE end = 0;
    EXPECT_EQ(scanTrees("*", &end), (std::vector<std::string>{"ACME", "CORP", "Archive"}));
    EXPECT_EQ(end, NWE_NO_MORE_ENTRIES);
    EXPECT_EQ(scanTrees("a*", &end), (std::vector<std::string>{"ACME", "Archive"}));
    EXPECT_EQ(scanTrees("?ORP", &end), (std::vector<std::string>{"CORP"}));
    EXPECT_EQ(scanTrees("X*", &end), std::vector<std::string>{});
    EXPECT_EQ(end, NWE_NO_MORE_ENTRIES);

    nint32 index = -1;
    std::string name;
    EXPECT_EQ(NWDSScanForAvailableTrees(777, conn, "*", &index, name), ERR_BAD_CONTEXT);
    EXPECT_EQ(NWDSScanForAvailableTrees(ctx, conn + 100, "*", &index, name), NWE_BAD_CONNECTION);
    ASSERT_EQ(NWCCCloseConn(conn), 0);
    EXPECT_EQ(NWCCCloseConn(conn), NWE_BAD_CONNECTION);
    EXPECT_EQ(NWDSScanForAvailableTrees(ctx, conn, "*", &index, name), NWE_BAD_CONNECTION);
    NWCONN_HANDLE other;
    EXPECT_EQ(NWCCOpenConnByRef(ref + 5, 1, 0, &other), NWE_BAD_CONNECTION);
}

TEST_F(ScanTest, AdvertisementScanOfTreesOnly) {
    nuint32 scan = 0;
    ASSERT_EQ(NWAdvScanOpen(0x7802, &scan), 0);
    std::vector<std::string> names;
    std::string name;
    NWCCODE rc;
    while ((rc = NWAdvScanNext(scan, 255, name)) == 0 && names.size() < 10)
        names.push_back(name);
    EXPECT_EQ(rc, NWE_NO_MORE_ENTRIES);
    EXPECT_EQ(names, provider->advertised);
    EXPECT_EQ(NWAdvScanNext(scan, 255, name), NWE_NO_MORE_ENTRIES);
    ASSERT_EQ(NWAdvScanClose(scan), 0);
    EXPECT_EQ(NWAdvScanClose(scan), NWE_BAD_SCAN_HANDLE);
    EXPECT_EQ(NWAdvScanNext(scan, 255, name), NWE_BAD_SCAN_HANDLE);

    nuint32 other = 0;
    EXPECT_NE(NWAdvScanOpen(0x0278, &other), 0); // host byte order: another service
    EXPECT_NE(NWAdvScanOpen(0x0004, &other), 0);
    EXPECT_EQ(NWAdvScanNext(other, 255, name), NWE_BAD_SCAN_HANDLE);
}
