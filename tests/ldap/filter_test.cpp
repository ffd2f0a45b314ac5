// Search filters over both backends: the same filter gives the same rows from the embedded ACME
// tree and from a slapd loaded with the same files, for every operator and the matching rules
// of each syntax; and the rows are the right ones, not merely the same.
#include "slapd_fixture.h"

#include "directory/client/config.h"
#include "directory/client/embedded/embedded.h"
#include "directory/client/ldap/ldap_backend.h"
#include "directory/client/registry.h"
#include "report/search.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using namespace kvx::client;

class RowSink : public kvx::report::SearchSink {
public:
    void status(const std::string&) override {}
    void failure(const std::string& call, NWDSCCODE code) override {
        failures.push_back(call + " " + std::to_string(code));
    }
    void clearRows() override { rows.clear(); }
    void setColumns(const std::vector<kvx::report::SearchColumn>&) override {}
    void row(const kvx::report::ResultRow& cells) override {
        std::string line;
        for (const std::string& c : cells)
            line += c + "|";
        rows.push_back(line);
    }
    void searchComplete() override {}
    void fitColumn(int) override {}
    void hideColumn(int) override {}

    std::vector<std::string> rows;
    std::vector<std::string> failures;
};

class FilterOverBothBackends : public ::testing::Test {
protected:
    void SetUp() override {
        kvx::testing::SlapdOptions o;
        o.treeFolder = KVX_SOURCE_DIR "/data/trees/ACME";
        std::string error;
        ASSERT_TRUE(server_.start(o, error)) << error;
        TreeSource t;
        t.name = "SERVER";
        t.url = server_.url();
        auto provider = std::make_unique<StaticTreeProvider>();
        provider->add(makeEmbeddedBackend("EMBEDDED", KVX_SOURCE_DIR "/data/trees/ACME"));
        provider->add(makeLdapBackend(t));
        resetClient();
        installTreeProvider(std::move(provider));
        ASSERT_EQ(NWCallsInit(nullptr, nullptr), 0);
    }
    void TearDown() override {
        resetClient();
        installTreeProvider(nullptr);
        server_.stop();
    }

    // Rows of a Tabular report of `cls` below `base` with `filter`, from one tree.
    std::vector<std::string> rows(const std::string& tree, const std::string& base,
                                  const std::string& cls, const std::string& filter) {
        NWDSContextHandle ctx = 0;
        EXPECT_EQ(NWDSCreateContextHandle(&ctx), 0);
        nuint32 flags = DCV_DEFAULT_FLAGS | DCV_TYPELESS_NAMES;
        NWDSSetContext(ctx, DCK_FLAGS, &flags);
        NWDSSetContext(ctx, DCK_TREE_NAME, &tree);
        kvx::report::SearchInput in;
        in.context = ctx;
        in.base = base;
        in.objectClass = cls;
        in.attributes = {{"Surname", 0}, {"Password Minimum Length", 1}};
        in.searchFilter = filter;
        RowSink sink;
        kvx::report::DoSearch(in, sink);
        NWDSFreeContext(ctx);
        EXPECT_TRUE(sink.failures.empty()) << tree << " " << filter << ": " << sink.failures[0];
        std::sort(sink.rows.begin(), sink.rows.end());
        return sink.rows;
    }

    kvx::testing::Slapd server_;
};

TEST_F(FilterOverBothBackends, EveryOperatorGivesTheSameRightRowsFromBoth) {
    struct Case {
        std::string cls;
        std::string filter;
        std::size_t count;    // rows the filter gives over ACME's users below Acme
        std::string includes; // a row it must give ("" none)
    };
    const std::vector<Case> cases = {
        // Boolean, by either name, in any case.
        {"User", "(\"Login Disabled\"=TRUE)", 1, "Carol White.Sales.Acme|White|"},
        {"User", "(ndsLoginDisabled=true)", 1, "Carol White"},
        // Numbers as numbers: 10 and 12 are above 8, 6 and 8 are not ("6" > "10" as text).
        {"User", "(\"Password Minimum Length\">=10)", 15, "|12|"},
        {"User", "(ndsPasswordMinimumLength<=8)", 25, "|6|"},
        // Active Directory's bitwise rules: every bit of 8 (8, 10 and 12), any bit of 3 (6, 10).
        {"User", "(\"Password Minimum Length\":1.2.840.113556.1.4.803:=8)", 31, "|12|"},
        {"User", "(ndsPasswordMinimumLength:1.2.840.113556.1.4.804:=3)", 17, "|6|"},
        // Times as times, whatever form the assertion takes.
        {"User", "(\"Last Login Time\"<=20240301000000Z)", 8, ""},
        {"User", "(ndsLastLoginTime>=20240301010000+0100)", 22, ""},
        // Names of objects by name: as a DN or as a dotted name, in any case.
        {"User", "(ndsGroupMembership=cn=Finance Approvers,ou=Finance,o=Acme)", 5, ""},
        {"User", "(\"Group Membership\"=finance approvers.FINANCE.acme)", 5, ""},
        {"User", "(\"Group Membership\"=.Researchers.R\\5c.D.Acme)", 4, ""},
        {"User", "(\"Group Membership\"=Nobody.Acme)", 0, ""},
        // Presence and its negation.
        {"User", "(!(telephoneNumber=*))", 6, ""},
        {"User", "(ndsLoginDisabled=*)", 11, ""},
        // Strings without regard to case and with blanks taken as one; substrings.
        {"User", "(sn=WHITE)", 1, "White"},
        {"User", "(&(sn=W*)(givenName=*o*))", 2, ""},
        {"User", "(|(sn=white)(\"Given Name\"=  frank ))", 2, "Frank Miller"},
        {"User", "(telephoneNumber=+4420 7946-0103)", 1, "Carol White"},
        {"User", "(telephoneNumber=*79460103)", 1, "Carol White"},
        // Classes by any of their names; an OR across classes below the class searched.
        {"Top", "(|(objectClass=groupOfNames)(\"Object Class\"=Organizational Unit))", 0, ""},
        // Strings without an ordering rule, and unknown attributes, match nothing, negated or not.
        {"User", "(sn>=A)", 0, ""},
        {"User", "(!(noSuchAttribute=1))", 0, ""},
        {"User", "(!(sn>=A))", 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.filter);
        const std::vector<std::string> embedded = rows("EMBEDDED", "Acme", c.cls, c.filter);
        const std::vector<std::string> server = rows("SERVER", "Acme", c.cls, c.filter);
        EXPECT_EQ(embedded, server);
        if (c.cls == "User")
            EXPECT_EQ(embedded.size(), c.count);
        else
            EXPECT_GT(embedded.size(), 3u);
        if (!c.includes.empty()) {
            EXPECT_TRUE(std::any_of(embedded.begin(), embedded.end(), [&](const std::string& r) {
                return r.find(c.includes) != std::string::npos;
            })) << c.includes;
        }
    }
    // Without a filter every user is reported; each filter above narrowed that.
    EXPECT_EQ(rows("EMBEDDED", "Acme", "User", "").size(), 40u);
}

} // namespace
