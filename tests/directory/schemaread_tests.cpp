// Reading classes and gathering the attributes of a class through its super classes.
#include "common/trees.h"
#include "directory/client/faults.h"
#include "directory/client/nwdsclient.h"
#include "directory/schemaread.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace kvx::directory;

namespace {

const char* kSchema = R"(
attributetype ( 1.3.6.1.4.1.99999.1.1 NAME 'kvxAge'
    SYNTAX 1.3.6.1.4.1.1466.115.121.1.27 SINGLE-VALUE X-NDS_NAME 'Age' )
attributetype ( 1.3.6.1.4.1.99999.1.2 NAME 'kvxLoginTime'
    SYNTAX 1.3.6.1.4.1.1466.115.121.1.24 X-NDS_NAME 'Login Time' )
objectclass ( 1.3.6.1.4.1.99999.2.1 NAME 'kvxBase' SUP top STRUCTURAL
    MUST cn MAY description X-NDS_NAMING 'cn' X-NDS_NAME 'Base' )
objectclass ( 1.3.6.1.4.1.99999.2.2 NAME 'kvxMixin' SUP top AUXILIARY
    MAY kvxAge X-NDS_NAME 'Mixin' )
objectclass ( 1.3.6.1.4.1.99999.2.3 NAME 'kvxDerived' SUP ( kvxBase $ kvxMixin ) STRUCTURAL
    MAY ( kvxLoginTime $ description $ CN ) X-NDS_NAME 'Derived' )
objectclass ( 1.3.6.1.4.1.99999.2.4 NAME 'kvxLone' STRUCTURAL
    MUST cn MAY kvxAge X-NDS_NAMING 'cn' X-NDS_NAME 'Lone' )
)";

std::vector<std::string> namesOf(const std::vector<AttributeRow>& rows) {
    std::vector<std::string> names;
    for (const auto& r : rows) {
        names.push_back(r.name);
    }
    return names;
}

class SchemaReadTest : public ::testing::Test {
protected:
    void SetUp() override {
        kvx::test::serveText(kSchema, "version: 1\n");
        ASSERT_EQ(NWCallsInit(nullptr, nullptr), 0);
        ASSERT_EQ(NWDSCreateContextHandle(&ctx), 0);
    }
    void TearDown() override { kvx::test::resetClient(); }
    FailureFn recorder() {
        return
            [this](const std::string& call, NWDSCCODE code) { failures.emplace_back(call, code); };
    }

    NWDSContextHandle ctx = 0;
    std::vector<std::pair<std::string, NWDSCCODE>> failures;
};

TEST_F(SchemaReadTest, ClassWithoutSuperClassListsNamingAttributeOnce) {
    std::vector<AttributeRow> rows;
    gatherClassAttributes(ctx, "Lone", rows, recorder());
    EXPECT_TRUE(failures.empty());
    EXPECT_EQ(namesOf(rows), (std::vector<std::string>{"CN", "Age"}));
    EXPECT_STREQ(rows[0].singleMulti(), "Multi");
    EXPECT_STREQ(rows[1].singleMulti(), "Single");
    EXPECT_EQ(rows[1].syntaxName, "Integer");
    EXPECT_EQ(rows[1].sortKind, 1);
}

TEST_F(SchemaReadTest, SuperClassesComeFirstAndEachAttributeOnce) {
    std::vector<AttributeRow> rows;
    gatherClassAttributes(ctx, "derived", rows, recorder()); // class names in any case
    EXPECT_TRUE(failures.empty());
    EXPECT_EQ(namesOf(rows),
              (std::vector<std::string>{"Object Class", "CN", "Description", "Age", "Login Time"}));
    auto login = std::find_if(rows.begin(), rows.end(),
                              [](const AttributeRow& r) { return r.name == "Login Time"; });
    ASSERT_NE(login, rows.end());
    EXPECT_EQ(login->syntaxName, "Time");
    EXPECT_EQ(login->sortKind, 2);
}

TEST_F(SchemaReadTest, FailureInsideSuperClassEndsOnlyThatRead) {
    // The second class-definition read is that of the first super class, "Base".
    kvx::client::faults::failCall("NWDSReadClassDef", 2, ERR_TRANSPORT_FAILURE);
    std::vector<AttributeRow> rows;
    gatherClassAttributes(ctx, "Derived", rows, recorder());
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].first, "NWDSReadClassDef");
    // Base and its attributes are missing; Mixin and Top, and the class's own, are all there.
    EXPECT_EQ(namesOf(rows),
              (std::vector<std::string>{"Object Class", "Age", "Login Time", "Description", "CN"}));
}

TEST_F(SchemaReadTest, UnknownClassReportsAndAddsNothing) {
    std::vector<AttributeRow> rows;
    gatherClassAttributes(ctx, "No Such Class", rows, recorder());
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0], std::make_pair(std::string("NWDSReadClassDef"),
                                          static_cast<NWDSCCODE>(ERR_NO_SUCH_CLASS)));
    EXPECT_TRUE(rows.empty());
}

TEST_F(SchemaReadTest, AttributeWhoseDefinitionFailsIsStillListed) {
    kvx::client::faults::failCall("NWDSReadAttrDef", 1, ERR_NO_ACCESS);
    std::vector<AttributeRow> rows;
    gatherClassAttributes(ctx, "Lone", rows, recorder());
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].first, "NWDSReadAttrDef");
    EXPECT_EQ(namesOf(rows), (std::vector<std::string>{"CN", "Age"}));
    EXPECT_EQ(rows[0].syntaxName, "Unknown");
}

TEST_F(SchemaReadTest, ClassNamesSkipAnItemThatFailsAndGoOn) {
    auto all = readClassNames(ctx, recorder());
    EXPECT_TRUE(failures.empty());
    for (const char* name : {"Base", "Mixin", "Derived", "Lone", "Top", "Organization"}) {
        EXPECT_NE(std::find(all.begin(), all.end(), name), all.end()) << name;
    }
    kvx::client::faults::failCall("NWDSGetClassItem", 2, ERR_BUFFER_EMPTY);
    auto fewer = readClassNames(ctx, recorder());
    EXPECT_EQ(failures.size(), 1u);
    EXPECT_EQ(fewer.size() + 1, all.size());
}

TEST_F(SchemaReadTest, BuffersAreReleasedOnEveryWayOut) {
    // A failure at each step of a named read; AddressSanitizer's leak check catches a buffer
    // that is not freed, and the client must still hand out buffers afterwards.
    for (const char* call : {"NWDSAllocBuf", "NWDSInitBuf", "NWDSPutClassName", "NWDSGetClassDef",
                             "NWDSGetClassItemCount", "NWDSGetAttrCount", "NWDSGetAttrDef"}) {
        SCOPED_TRACE(call);
        kvx::client::faults::clear();
        kvx::client::faults::failCall(call, 1, ERR_SYSTEM_FAILURE);
        std::vector<AttributeRow> rows;
        failures.clear();
        gatherClassAttributes(ctx, "Lone", rows, recorder());
        EXPECT_FALSE(failures.empty());
        EXPECT_EQ(failures[0].first, call);
    }
    Attr_Info_T info;
    failures.clear();
    kvx::client::faults::clear();
    EXPECT_TRUE(GetAttributeDetails(ctx, "Age", info, recorder()));
    EXPECT_EQ(info.attrSyntaxID, SYN_INTEGER);
}

} // namespace
