// Container tree browsing without widgets: pictures, names, the tree list and branch listing
// through the real client calls on an embedded tree.
#include "directory/treebrowse.h"

#include "common/support.h"
#include "common/trees.h"
#include "directory/client/faults.h"
#include "directory/client/nwdsclient.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace kd = kvx::directory;
namespace kc = kvx::client;

namespace {

using kvx::test::container;
using kvx::test::entry;
using kvx::test::ldif;

// A small tree: containers and leaves mixed, handed out in no particular order.
const std::string kAcmeLdif =
    ldif({container("o=Acme"), entry("cn=Admin,o=Acme", "person", "sn: Admin\n"),
          container("ou=Sales,o=Acme"), container("ou=Dev,ou=Sales,o=Acme"),
          container("ou=Empty,o=Acme"), container("ou=Marketing,o=Acme"),
          entry("cn=Ann Smith,ou=Marketing,o=Acme", "person", "sn: Smith\n"), container("c=GB"),
          container("l=London,c=GB")});
const std::string kBetaLdif = container("o=Beta");

struct Failure {
    std::string text;
    NWDSCCODE code;
};

class TreeBrowseTest : public ::testing::Test {
protected:
    void SetUp() override { serve({{"ACME", kAcmeLdif}}, "ACME"); }
    void TearDown() override { kvx::test::resetClient(); }

    void serve(const std::vector<kvx::test::TextTree>& trees, const std::string& defaultTree) {
        kvx::test::serveTrees(trees, defaultTree);
        ASSERT_EQ(NWCallsInit(nullptr, nullptr), 0);
    }

    kd::FailureReporter recorder() {
        return [this](const std::string& text, NWDSCCODE code) {
            failures.push_back({text, code});
        };
    }

    std::vector<std::string> failureTexts() const {
        std::vector<std::string> texts;
        for (const auto& f : failures)
            texts.push_back(f.text);
        return texts;
    }

    static std::vector<std::string> names(const std::vector<kd::ChildEntry>& children) {
        std::vector<std::string> out;
        for (const auto& c : children)
            out.push_back(c.name);
        std::sort(out.begin(), out.end());
        return out;
    }

    std::vector<Failure> failures;
};

} // namespace

TEST(TreeBrowseNames, ImageIndexFollowsBaseClassWithoutRegardToCase) {
    const std::pair<const char*, int> table[] = {
        {"Volume", 0},
        {"Country", 1},
        {"Group", 2},
        {"Organization", 3},
        {"Organizational Role", 4},
        {"Organizational Unit", 5},
        {"Queue", 6},
        {"Root", 7},
        {"NCP Server", 8},
        {"NDS Tree", 9},
        {"User", 10},
        {"Alias", 11},
    };
    for (const auto& [cls, index] : table)
        EXPECT_EQ(kd::imageIndexForClass(cls), index) << cls;
    EXPECT_EQ(kd::imageIndexForClass("organizational unit"), 5);
    EXPECT_EQ(kd::imageIndexForClass("NCP SERVER"), 8);
    EXPECT_EQ(kd::imageIndexForClass("Locality"), 12);
    EXPECT_EQ(kd::imageIndexForClass(""), 12);
    EXPECT_EQ(kd::imageIndexForClass("Organizational"), 12);
    EXPECT_EQ(kd::imageIndexForClass("Organizational Unit "), 12);
}

TEST(TreeBrowseNames, NameContextIsTheNodeAndItsAncestorsBelowTheTop) {
    EXPECT_EQ(kd::nameContextOf(true, "[root]", {}), "[root]");
    EXPECT_EQ(kd::nameContextOf(false, "Acme", {}), "Acme");
    EXPECT_EQ(kd::nameContextOf(false, "Sales", {"Acme"}), "Sales.Acme");
    EXPECT_EQ(kd::nameContextOf(false, "Dev", {"Sales", "Acme"}), "Dev.Sales.Acme");
    // An escaped period inside a name stays escaped.
    EXPECT_EQ(kd::nameContextOf(false, "R\\.D", {"Acme"}), "R\\.D.Acme");
}

TEST(TreeBrowseNames, DistinguishedNameIsAbsolute) {
    EXPECT_EQ(kd::childDistinguishedName("Acme", "[root]"), ".Acme");
    EXPECT_EQ(kd::childDistinguishedName("Acme", "[ROOT]"), ".Acme");
    EXPECT_EQ(kd::childDistinguishedName("Sales", "Acme"), ".Sales.Acme");
    EXPECT_EQ(kd::childDistinguishedName("Dev", "Sales.Acme"), ".Dev.Sales.Acme");
    // Names of any length are kept whole.
    const std::string longName(3000, 'x');
    EXPECT_EQ(kd::childDistinguishedName(longName, "Acme"), "." + longName + ".Acme");
}

TEST(TreeBrowseNames, TreeListMergesWithoutCaseDuplicates) {
    std::vector<std::string> list{"Default"};
    EXPECT_TRUE(kd::mergeTreeName(list, "ACME"));
    EXPECT_FALSE(kd::mergeTreeName(list, "acme"));
    EXPECT_FALSE(kd::mergeTreeName(list, "DEFAULT"));
    EXPECT_FALSE(kd::mergeTreeName(list, "default"));
    EXPECT_FALSE(kd::mergeTreeName(list, ""));
    EXPECT_TRUE(kd::mergeTreeName(list, "Åbo"));
    EXPECT_FALSE(kd::mergeTreeName(list, "åBO"));
    EXPECT_TRUE(kd::mergeTreeName(list, "Defaults"));
    EXPECT_EQ(list, (std::vector<std::string>{"Default", "ACME", "Åbo", "Defaults"}));
}

TEST_F(TreeBrowseTest, RootListingHasOnlyContainersWithRecords) {
    const NWDSContextHandle ctx = kd::openDirectoryContext("Default", recorder());
    const auto children = kd::listContainers(ctx, "[root]", recorder());
    EXPECT_TRUE(failures.empty());
    ASSERT_EQ(names(children), (std::vector<std::string>{"Acme", "GB"}));
    for (const auto& child : children) {
        EXPECT_EQ(child.record.distinguishedName, "." + child.name);
        EXPECT_TRUE(child.hasPlaceholder) << child.name;
        if (child.name == "Acme") {
            EXPECT_EQ(child.record.baseClass, "Organization");
            EXPECT_EQ(child.imageIndex, kd::imgOrganization);
        } else {
            EXPECT_EQ(child.record.baseClass, "Country");
            EXPECT_EQ(child.imageIndex, kd::imgCountry);
        }
    }
}

TEST_F(TreeBrowseTest, BranchListingSkipsLeavesAndMarksExpandableContainers) {
    const NWDSContextHandle ctx = kd::openDirectoryContext("Default", recorder());
    const auto children = kd::listContainers(ctx, "Acme", recorder());
    EXPECT_TRUE(failures.empty());
    ASSERT_EQ(names(children), (std::vector<std::string>{"Empty", "Marketing", "Sales"}));
    for (const auto& child : children) {
        EXPECT_EQ(child.record.distinguishedName, "." + child.name + ".Acme");
        EXPECT_EQ(child.record.baseClass, "Organizational Unit");
        EXPECT_EQ(child.imageIndex, kd::imgOrganizationalUnit);
        // Marketing holds only a leaf, yet it has subordinates; Empty has none.
        EXPECT_EQ(child.hasPlaceholder, child.name != "Empty") << child.name;
    }
    const auto third = kd::listContainers(ctx, "Sales.Acme", recorder());
    ASSERT_EQ(third.size(), 1u);
    EXPECT_EQ(third[0].record.distinguishedName, ".Dev.Sales.Acme");
    EXPECT_FALSE(third[0].hasPlaceholder);
}

TEST_F(TreeBrowseTest, ListingThatFailsPartWayKeepsWhatItGotAndSaysNothing) {
    const NWDSContextHandle ctx = kd::openDirectoryContext("Default", recorder());
    // The third name read fails: whatever came before stays, with no message.
    kc::faults::failCall("NWDSGetObjectName", 3, ERR_TRANSPORT_FAILURE);
    const auto children = kd::listContainers(ctx, "Acme", recorder());
    EXPECT_TRUE(failures.empty());
    // Acme has five subordinates (one leaf); two names were read before the failure.
    EXPECT_GE(children.size(), 1u);
    EXPECT_LE(children.size(), 2u);

    kc::faults::failCall("NWDSList", 1, ERR_TRANSPORT_FAILURE);
    EXPECT_TRUE(kd::listContainers(ctx, "Acme", recorder()).empty());
    kc::faults::failCall("NWDSGetObjectCount", 1, ERR_BUFFER_EMPTY);
    EXPECT_TRUE(kd::listContainers(ctx, "Acme", recorder()).empty());
    EXPECT_TRUE(failures.empty());
}

TEST_F(TreeBrowseTest, BufferFailuresAreReported) {
    const NWDSContextHandle ctx = kd::openDirectoryContext("Default", recorder());
    kc::faults::failCall("NWDSAllocBuf", 1, ERR_NOT_ENOUGH_MEMORY);
    EXPECT_TRUE(kd::listContainers(ctx, "Acme", recorder()).empty());
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].text, "NWDSAllocBuf");
    EXPECT_EQ(failures[0].code, ERR_NOT_ENOUGH_MEMORY);

    failures.clear();
    kc::faults::failCall("NWDSFreeBuf", 1, ERR_INVALID_HANDLE);
    EXPECT_EQ(kd::listContainers(ctx, "Acme", recorder()).size(), 3u);
    EXPECT_EQ(failureTexts(), (std::vector<std::string>{"NWDSFreeBuf"}));
}

TEST_F(TreeBrowseTest, NameContextFailureIsReportedAndListingGoesOn) {
    const NWDSContextHandle ctx = kd::openDirectoryContext("Default", recorder());
    kc::faults::failCall("NWDSSetContext", 1, ERR_BAD_CONTEXT);
    // The name context stays "[root]", so the top level is what gets listed.
    const auto children = kd::listContainers(ctx, "Acme", recorder());
    EXPECT_EQ(failureTexts(), (std::vector<std::string>{"Cannot Set Context"}));
    EXPECT_EQ(failures[0].code, ERR_BAD_CONTEXT);
    EXPECT_EQ(names(children), (std::vector<std::string>{"Acme", "GB"}));
}

TEST_F(TreeBrowseTest, FailedContextCreationIsReportedOnce) {
    kc::faults::failCall("NWDSCreateContextHandle", 1, ERR_NOT_ENOUGH_MEMORY);
    const NWDSContextHandle ctx = kd::openDirectoryContext("Beta", recorder());
    EXPECT_EQ(ctx, 0);
    EXPECT_EQ(failureTexts(), (std::vector<std::string>{"Cannot Create Context"}));
    EXPECT_EQ(failures[0].code, ERR_NOT_ENOUGH_MEMORY);
}

TEST_F(TreeBrowseTest, DefaultChoiceBrowsesTheDefaultTreeAndOtherChoicesSetTheName) {
    serve({{"ALPHA", kAcmeLdif}, {"BETA", kBetaLdif}}, "ALPHA");

    const NWDSContextHandle byDefault = kd::openDirectoryContext("dEFAULT", recorder());
    EXPECT_EQ(names(kd::listContainers(byDefault, "[root]", recorder())),
              (std::vector<std::string>{"Acme", "GB"}));

    const NWDSContextHandle beta = kd::openDirectoryContext("beta", recorder());
    EXPECT_EQ(names(kd::listContainers(beta, "[root]", recorder())),
              (std::vector<std::string>{"Beta"}));
    nuint32 flags = 0;
    ASSERT_EQ(NWDSGetContext(beta, DCK_FLAGS, &flags), 0);
    EXPECT_NE(flags & DCV_TYPELESS_NAMES, 0u);
    std::string nameContext;
    ASSERT_EQ(NWDSGetContext(beta, DCK_NAME_CONTEXT, &nameContext), 0);
    EXPECT_EQ(nameContext, "[root]");
    EXPECT_TRUE(failures.empty());
}

TEST_F(TreeBrowseTest, LongContainerNamesAreKeptWhole) {
    const std::string longName(600, 'L');
    serve({{"ACME", kAcmeLdif + "\n" + container("ou=" + longName + ",o=Acme")}}, "ACME");
    const NWDSContextHandle ctx = kd::openDirectoryContext("Default", recorder());
    const auto children = kd::listContainers(ctx, "Acme", recorder());
    const auto it = std::find_if(children.begin(), children.end(),
                                 [&](const kd::ChildEntry& c) { return c.name == longName; });
    ASSERT_NE(it, children.end());
    EXPECT_EQ(it->record.distinguishedName, "." + longName + ".Acme");
}

TEST_F(TreeBrowseTest, TreeListGathersBothScansOnceEach) {
    serve({{"ACME", kAcmeLdif},
           {"DEFAULT", kBetaLdif},
           {"Beta", kBetaLdif},
           {"acme", kBetaLdif, "", true},
           {"Gamma", kBetaLdif, "", true}},
          "ACME");
    const auto trees = kd::gatherTreeList(recorder());
    ASSERT_TRUE(trees.has_value());
    EXPECT_EQ(*trees, (std::vector<std::string>{"Default", "ACME", "Beta", "Gamma"}));
    EXPECT_TRUE(failures.empty());
}

TEST_F(TreeBrowseTest, TreeListStopsAtTheFirstFailingOpeningCall) {
    const std::pair<const char*, const char*> calls[] = {
        {"NWDSCreateContextHandle", "Cannot NWDSCreateContextHandle"},
        {"NWCCGetPrimConnRef", "Cannot NWCCGetPrimConnRef"},
        {"NWCCOpenConnByRef", "Cannot NWCCOpenConnByRef"},
    };
    for (const auto& [call, text] : calls) {
        failures.clear();
        kc::faults::failCall(call, 1, ERR_TRANSPORT_FAILURE);
        EXPECT_FALSE(kd::gatherTreeList(recorder()).has_value()) << call;
        EXPECT_EQ(failureTexts(), (std::vector<std::string>{text}));
        kc::faults::clear();
    }
    // A scan that fails at once simply ends it.
    kc::faults::failCall("NWDSScanForAvailableTrees", 1, ERR_TRANSPORT_FAILURE);
    kc::faults::failCall("NWAdvScanOpen", 1, ERR_TRANSPORT_FAILURE);
    failures.clear();
    const auto trees = kd::gatherTreeList(recorder());
    ASSERT_TRUE(trees.has_value());
    EXPECT_EQ(*trees, (std::vector<std::string>{"Default"}));
    EXPECT_TRUE(failures.empty());
}
