// The LDAP backend against a private slapd loaded with the ACME sample tree: it must answer
// every question the way the embedded directory answers it for the same files, and report
// the server's failures as failures.
#include "slapd_fixture.h"

#include "directory/client/config.h"
#include "directory/client/embedded/embedded.h"
#include "directory/client/ldap/ldap_backend.h"
#include "directory/client/names.h"
#include "directory/client/registry.h"
#include "directory/client/testing.h"
#include "directory/schemaread.h"
#include "directory/treebrowse.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

namespace kvx::client {
namespace {

const std::string kAcmeFolder = KVX_SOURCE_DIR "/data/trees/ACME";

struct Drained {
    NWDSCCODE rc = 0;
    std::vector<Entry> entries;
};

Drained drain(std::unique_ptr<EntryCursor>& cursor, std::size_t limit = 1000000) {
    Drained d;
    for (std::size_t i = 0; i < limit; ++i) {
        Entry e;
        NWDSCCODE rc = cursor->next(e);
        if (rc == EntryCursor::kEndOfEntries)
            return d;
        if (rc != 0) {
            d.rc = rc;
            return d;
        }
        d.entries.push_back(std::move(e));
    }
    return d;
}

// An entry as text, its attributes in name order (servers need not keep the order of a file).
std::string describe(const Entry& e, bool withAttributes = true) {
    std::ostringstream s;
    s << e.name << " | " << e.typedName << " | flags " << e.objectFlags << " | " << e.baseClass
      << " | subordinates " << (e.subordinateCount > 0 ? "yes" : "no") << "\n";
    if (!withAttributes)
        return s.str();
    std::vector<const EntryAttribute*> attrs;
    for (const auto& a : e.attributes)
        attrs.push_back(&a);
    std::sort(attrs.begin(), attrs.end(),
              [](const EntryAttribute* a, const EntryAttribute* b) { return a->name < b->name; });
    for (const auto* a : attrs) {
        s << "  " << a->name << " (" << a->syntax << ")";
        for (const auto& v : a->values)
            s << " [" << v << "]";
        s << "\n";
    }
    return s.str();
}

// A temporary folder, removed with everything in it when the test ends, however it ends.
struct TempFolder {
    std::string path;
    explicit TempFolder(const char* prefix) {
        std::string tmpl = std::string("/tmp/") + prefix + "-XXXXXX";
        if (::mkdtemp(tmpl.data()))
            path = tmpl;
    }
    ~TempFolder() {
        std::error_code ec;
        if (!path.empty())
            std::filesystem::remove_all(path, ec);
    }
};

std::string writePasswordFile(const std::string& folder, const std::string& name,
                              const std::string& text) {
    std::string path = folder + "/" + name;
    std::ofstream(path) << text;
    std::filesystem::permissions(path, std::filesystem::perms::owner_read |
                                           std::filesystem::perms::owner_write);
    return path;
}

// One slapd with the ACME tree for the whole suite; a test fails (never skips) when it
// cannot be started.
class LdapServerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        server_ = new testing::Slapd;
        testing::SlapdOptions o;
        o.treeFolder = kAcmeFolder;
        o.managerPassword = "s3cret pass";
        started_ = server_->start(o, startError_);
    }
    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(started_) << startError_;
        embedded_ = makeEmbeddedBackend("ACME", kAcmeFolder);
        ASSERT_EQ(embedded_->open(), 0) << embedded_->lastError();
    }

    static TreeSource source(const std::string& url) {
        TreeSource t;
        t.name = "LDAPACME";
        t.url = url;
        return t;
    }
    std::unique_ptr<Backend> ldap(LdapTuning tuning = {}) {
        auto b = makeLdapBackend(source(server_->url()), tuning);
        EXPECT_EQ(b->open(), 0) << b->lastError();
        return b;
    }

    static testing::Slapd* server_;
    static bool started_;
    static std::string startError_;
    std::unique_ptr<Backend> embedded_;
};

testing::Slapd* LdapServerTest::server_ = nullptr;
bool LdapServerTest::started_ = false;
std::string LdapServerTest::startError_;

TEST_F(LdapServerTest, SchemaDefinitionsMatchTheEmbeddedDirectory) {
    auto l = ldap();
    std::vector<std::string> embeddedClasses, ldapClasses;
    ASSERT_EQ(embedded_->classNames(embeddedClasses), 0);
    ASSERT_EQ(l->classNames(ldapClasses), 0);
    // The server has classes of its own (referral, subschema, ...) but every class of the
    // tree's files is there, with the same definition.
    for (const std::string& name : embeddedClasses) {
        SCOPED_TRACE(name);
        ClassDef e, d;
        ASSERT_EQ(embedded_->readClass(name, e), 0);
        ASSERT_EQ(l->readClass(name, d), 0);
        EXPECT_EQ(d.name, e.name);
        EXPECT_EQ(d.flags, e.flags);
        EXPECT_EQ(d.oid, e.oid);
        EXPECT_EQ(d.superClasses, e.superClasses);
        EXPECT_EQ(d.containmentClasses, e.containmentClasses);
        EXPECT_EQ(d.namingAttributes, e.namingAttributes);
        if (e.oid.rfind("2.16.840.1.113719.", 0) == 0) {
            EXPECT_EQ(d.mandatoryAttributes, e.mandatoryAttributes);
            EXPECT_EQ(d.optionalAttributes, e.optionalAttributes);
        }
        for (const auto* list : {&e.mandatoryAttributes, &e.optionalAttributes})
            for (const std::string& a : *list) {
                SCOPED_TRACE(a);
                AttrDef ea, la;
                ASSERT_EQ(embedded_->readAttribute(a, ea), 0);
                ASSERT_EQ(l->readAttribute(a, la), 0);
                EXPECT_EQ(la.name, ea.name);
                EXPECT_EQ(la.syntax, ea.syntax);
                EXPECT_EQ(la.flags, ea.flags);
                EXPECT_EQ(la.oid, ea.oid);
            }
    }
    // Server configuration classes are no directory data.
    for (const std::string& name : ldapClasses)
        EXPECT_NE(name.rfind("olc", 0), 0u) << name;
    ClassDef none;
    EXPECT_EQ(l->readClass("No Such Class", none), ERR_NO_SUCH_CLASS);
    AttrDef noAttr;
    EXPECT_EQ(l->readAttribute("No Such Attribute", noAttr), ERR_NO_SUCH_ATTRIBUTE);
}

TEST_F(LdapServerTest, EverySearchEntryMatchesTheEmbeddedDirectory) {
    auto l = ldap();
    struct Case {
        std::string base;
        std::string cls;
        bool all;
        std::vector<std::string> attrs;
        nint32 scope;
    };
    const std::vector<Case> cases = {
        {"", "Top", true, {}, DS_SEARCH_SUBTREE},
        {"Acme",
         "User",
         false,
         {"Surname", "Given Name", "Telephone Number", "Login Time", "Group Membership", "ACL",
          "GUID", "Postal Address"},
         DS_SEARCH_SUBTREE},
        {"Sales.Acme", "Organizational Person", false, {"CN", "Title"}, DS_SEARCH_SUBORDINATES},
        {"R\\.D.Acme", "Top", true, {}, DS_SEARCH_SUBTREE},
        {"Acme UK.GB", "Group", false, {"Member"}, DS_SEARCH_SUBTREE},
        {"", "Organization", false, {"O"}, DS_SEARCH_SUBORDINATES},
        {"Acme", "No Such Class", true, {}, DS_SEARCH_SUBTREE},
        {"Ann Smith.Sales.Acme", "Top", false, {"Surname"}, DS_SEARCH_ENTRY},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.base + " / " + c.cls);
        SearchRequest r;
        r.base = c.base;
        r.scope = c.scope;
        r.filterAttribute = "Object Class";
        r.filterValue = c.cls;
        r.allAttributes = c.all;
        r.attributes = c.attrs;
        std::unique_ptr<EntryCursor> ec, lc;
        ASSERT_EQ(embedded_->search(r, ec), 0);
        ASSERT_EQ(l->search(r, lc), 0);
        Drained e = drain(ec), d = drain(lc);
        EXPECT_EQ(d.rc, 0);
        ASSERT_EQ(e.rc, 0);
        if (c.cls != "No Such Class") {
            EXPECT_FALSE(e.entries.empty());
        }
        ASSERT_EQ(d.entries.size(), e.entries.size());
        for (std::size_t i = 0; i < e.entries.size(); ++i)
            EXPECT_EQ(describe(d.entries[i]), describe(e.entries[i]));
    }
}

TEST_F(LdapServerTest, ListingAndLookupMatchTheEmbeddedDirectory) {
    auto l = ldap();
    // Walk every container from the root, as the tree browser does.
    std::vector<std::string> pending = {""};
    std::size_t listed = 0;
    while (!pending.empty()) {
        std::string name = pending.back();
        pending.pop_back();
        SCOPED_TRACE("list " + name);
        std::unique_ptr<EntryCursor> ec, lc;
        ASSERT_EQ(embedded_->list(name, ec), 0);
        ASSERT_EQ(l->list(name, lc), 0);
        Drained e = drain(ec), d = drain(lc);
        ASSERT_EQ(d.rc, 0);
        ASSERT_EQ(d.entries.size(), e.entries.size());
        for (std::size_t i = 0; i < e.entries.size(); ++i) {
            EXPECT_EQ(describe(d.entries[i], false), describe(e.entries[i], false));
            if (e.entries[i].objectFlags & DS_CONTAINER_ENTRY)
                pending.push_back(e.entries[i].name);
            ++listed;
        }
        Entry eb, lb;
        ASSERT_EQ(embedded_->lookup(name, eb), 0);
        ASSERT_EQ(l->lookup(name, lb), 0);
        EXPECT_EQ(describe(lb), describe(eb));
    }
    EXPECT_GT(listed, 20u);
}

TEST_F(LdapServerTest, NamesResolveLevelByLevel) {
    auto l = ldap();
    Entry e;
    // Escaped period, comma and quote in names, non-ASCII, typed names, any case.
    for (std::string name :
         {"R\\.D.Acme", "Smith, John.Finance.Acme",
          "jos\xC3\xA9 garc\xC3\xAD"
          "a.sales.acme",
          "CN=Ann Smith.OU=Sales.O=Acme", "Operations.Acme UK.GB", "Dev.Sales.Acme"}) {
        SCOPED_TRACE(name);
        Entry want;
        ASSERT_EQ(embedded_->lookup(name, want), 0);
        ASSERT_EQ(l->lookup(name, e), 0);
        EXPECT_EQ(e.name, want.name);
    }
    EXPECT_EQ(l->lookup("Nobody.Sales.Acme", e), ERR_NO_SUCH_ENTRY);
    EXPECT_EQ(l->lookup("Sales.Nowhere", e), ERR_NO_SUCH_ENTRY);
    EXPECT_EQ(l->lookup("R.D.Acme", e), ERR_NO_SUCH_ENTRY); // "R" below "D", which is not there
    std::unique_ptr<EntryCursor> c;
    EXPECT_EQ(l->list("Nobody.Acme", c), ERR_NO_SUCH_ENTRY);
    SearchRequest r;
    r.base = "Nobody.Acme";
    EXPECT_EQ(l->search(r, c), ERR_NO_SUCH_ENTRY);
}

// Through the client calls, pages of a few entries and batches of a few hundred bytes give
// the same objects in the same order as the embedded tree in whole batches.
TEST_F(LdapServerTest, SmallPagesAndSmallBatchesHandOutTheSameObjects) {
    auto runSearch = [](const std::string& tree, std::vector<std::string>& names) {
        NWDSContextHandle ctx = 0;
        EXPECT_EQ(NWDSCreateContextHandle(&ctx), 0);
        EXPECT_EQ(NWDSSetContext(ctx, DCK_TREE_NAME, &tree), 0);
        nuint32 flags = DCV_DEFAULT_FLAGS | DCV_TYPELESS_NAMES;
        EXPECT_EQ(NWDSSetContext(ctx, DCK_FLAGS, &flags), 0);
        pBuf_T filterBuf = nullptr, attrs = nullptr, result = nullptr;
        pFilter_Cursor_T cur = nullptr;
        NWDSAllocBuf(DEFAULT_MESSAGE_LEN, &filterBuf);
        NWDSAllocBuf(DEFAULT_MESSAGE_LEN, &attrs);
        NWDSAllocBuf(DEFAULT_MESSAGE_LEN, &result);
        NWDSInitBuf(ctx, DSV_SEARCH_FILTER, filterBuf);
        NWDSInitBuf(ctx, DSV_SEARCH, attrs);
        NWDSPutAttrName(ctx, attrs, "Description");
        NWDSPutAttrName(ctx, attrs, "Telephone Number");
        NWDSAllocFilter(&cur);
        NWDSAddFilterToken(cur, FTOK_ANAME, "Object Class", SYN_CLASS_NAME);
        NWDSAddFilterToken(cur, FTOK_EQ, nullptr, 0);
        NWDSAddFilterToken(cur, FTOK_AVAL, "Top", SYN_CLASS_NAME);
        NWDSAddFilterToken(cur, FTOK_END, nullptr, 0);
        NWDSPutFilter(ctx, filterBuf, cur, nullptr);
        nint32 iter = -1;
        int batches = 0;
        NWDSCCODE rc = 0;
        do {
            nint32 searched = 0;
            rc = NWDSSearch(ctx, "[root]", DS_SEARCH_SUBTREE, 0, filterBuf, DS_ATTRIBUTE_VALUES, 0,
                            attrs, &iter, 0, &searched, result);
            if (rc)
                break;
            ++batches;
            nuint32 count = 0;
            NWDSGetObjectCount(ctx, result, &count);
            for (nuint32 i = 0; i < count; ++i) {
                std::string name;
                nuint32 attrCount = 0;
                EXPECT_EQ(NWDSGetObjectName(ctx, result, name, &attrCount, nullptr), 0);
                std::string attrName;
                for (nuint32 a = 0; a < attrCount; ++a) {
                    nuint32 values = 0, syntax = 0;
                    EXPECT_EQ(NWDSGetAttrName(ctx, result, attrName, &values, &syntax), 0);
                    name += "|" + attrName + "=" + std::to_string(values);
                    for (nuint32 v = 0; v < values; ++v) {
                        std::size_t size = 0;
                        NWDSComputeAttrValSize(ctx, result, syntax, &size);
                        std::vector<void*> area(size / sizeof(void*) + 1);
                        EXPECT_EQ(NWDSGetAttrVal(ctx, result, syntax, area.data()), 0);
                    }
                }
                names.push_back(name);
            }
        } while (iter != -1);
        NWDSFreeBuf(filterBuf);
        NWDSFreeBuf(attrs);
        NWDSFreeBuf(result);
        NWDSFreeContext(ctx);
        EXPECT_EQ(rc, 0);
        return batches;
    };
    auto provider = std::make_unique<StaticTreeProvider>();
    provider->add(makeEmbeddedBackend("ACME", kAcmeFolder));
    LdapTuning tiny;
    tiny.pageSize = 3;
    provider->add(makeLdapBackend(source(server_->url()), tiny));
    resetClient();
    installTreeProvider(std::move(provider));
    ASSERT_EQ(NWCallsInit(nullptr, nullptr), 0);
    std::vector<std::string> fromFiles, fromServer;
    int wholeBatches = runSearch("ACME", fromFiles);
    setResultBufferCapacityForTesting(2000);
    int smallBatches = runSearch("LDAPACME", fromServer);
    setResultBufferCapacityForTesting(0);
    resetClient();
    installTreeProvider(nullptr);
    EXPECT_GT(smallBatches, wholeBatches);
    ASSERT_GT(fromFiles.size(), 90u);
    // An entry split over batches shows up once per piece, an attribute split over pieces
    // once in each: add the pieces up to compare.
    auto join = [](const std::vector<std::string>& pieces) {
        std::vector<std::pair<std::string, std::map<std::string, int>>> out;
        for (const std::string& p : pieces) {
            std::vector<std::string> parts;
            std::stringstream in(p);
            for (std::string part; std::getline(in, part, '|');)
                parts.push_back(part);
            if (out.empty() || out.back().first != parts[0])
                out.emplace_back(parts[0], std::map<std::string, int>{});
            for (std::size_t i = 1; i < parts.size(); ++i) {
                auto eq = parts[i].rfind('=');
                out.back().second[parts[i].substr(0, eq)] += std::stoi(parts[i].substr(eq + 1));
            }
        }
        return out;
    };
    EXPECT_EQ(join(fromServer), join(fromFiles));
}

// The window's tree browser and schema reader, run over both backends through the calls.
TEST_F(LdapServerTest, TreeBrowserAndSchemaReaderSeeTheSameTree) {
    auto provider = std::make_unique<StaticTreeProvider>();
    provider->add(makeEmbeddedBackend("ACME", kAcmeFolder));
    provider->add(makeLdapBackend(source(server_->url())));
    resetClient();
    installTreeProvider(std::move(provider));
    ASSERT_EQ(NWCallsInit(nullptr, nullptr), 0);
    std::vector<std::string> failures;
    auto report = [&](const std::string& text, NWDSCCODE code) {
        failures.push_back(text + " " + std::to_string(code));
    };
    auto failure = [&](const std::string& call, NWDSCCODE code) { report(call, code); };

    struct Seen {
        std::vector<std::string> containers;
        std::vector<std::string> classes;
        std::map<std::string, std::vector<std::string>> attributes;
    };
    auto look = [&](const std::string& tree) {
        Seen seen;
        NWDSContextHandle ctx = directory::openDirectoryContext(tree, report);
        EXPECT_NE(ctx, 0);
        std::vector<std::string> pending = {directory::kRootText};
        while (!pending.empty()) {
            std::string nameContext = pending.back();
            pending.pop_back();
            for (const auto& child : directory::listContainers(ctx, nameContext, report)) {
                seen.containers.push_back(
                    child.record.distinguishedName + " " + child.record.baseClass + " " +
                    std::to_string(child.imageIndex) + (child.hasPlaceholder ? " +" : ""));
                if (child.hasPlaceholder)
                    pending.push_back(child.record.distinguishedName.substr(1));
            }
        }
        seen.classes = directory::readClassNames(ctx, failure);
        for (const char* cls : {"User", "Group", "Organizational Unit", "Alias", "Printer"}) {
            std::vector<directory::AttributeRow> rows;
            directory::gatherClassAttributes(ctx, cls, rows, failure);
            for (const auto& r : rows)
                seen.attributes[cls].push_back(r.name + " " + r.singleMulti() + " " + r.syntaxName);
        }
        NWDSFreeContext(ctx);
        return seen;
    };
    Seen files = look("ACME");
    Seen server = look("LDAPACME");
    resetClient();
    installTreeProvider(nullptr);
    EXPECT_TRUE(failures.empty()) << failures.front();
    EXPECT_GT(files.containers.size(), 10u);
    EXPECT_EQ(server.containers, files.containers);
    for (const std::string& c : files.classes)
        EXPECT_NE(std::find(server.classes.begin(), server.classes.end(), c), server.classes.end())
            << c;
    EXPECT_FALSE(files.attributes["User"].empty());
    EXPECT_EQ(server.attributes, files.attributes);
}

TEST_F(LdapServerTest, BindsWithThePasswordFileOnly) {
    TempFolder temp("kvx-ldap-pw");
    ASSERT_FALSE(temp.path.empty());
    const std::string dir = temp.path;
    TreeSource t = source(server_->url());
    t.bindDn = "cn=Manager,c=GB";

    t.passwordFile = writePasswordFile(dir, "good", "s3cret pass\n");
    auto good = makeLdapBackend(t);
    EXPECT_EQ(good->open(), 0) << good->lastError();

    t.passwordFile = writePasswordFile(dir, "bad", "not the password\n");
    auto bad = makeLdapBackend(t);
    EXPECT_EQ(bad->open(), ERR_FAILED_AUTHENTICATION);
    EXPECT_NE(bad->lastError().find("cn=Manager,c=GB"), std::string::npos) << bad->lastError();
    Entry e;
    EXPECT_EQ(bad->lookup("Acme", e), ERR_FAILED_AUTHENTICATION);

    // A bind DN with a missing or empty password file is refused before anything is sent:
    // an empty password would make the bind anonymous without a word.
    t.passwordFile = dir + "/missing";
    auto missing = makeLdapBackend(t);
    EXPECT_EQ(missing->open(), ERR_FAILED_AUTHENTICATION);
    EXPECT_NE(missing->lastError().find(dir + "/missing"), std::string::npos);
    t.passwordFile = writePasswordFile(dir, "empty", "\n");
    auto empty = makeLdapBackend(t);
    EXPECT_EQ(empty->open(), ERR_FAILED_AUTHENTICATION);
    t.passwordFile.clear();
    auto none = makeLdapBackend(t);
    EXPECT_EQ(none->open(), ERR_FAILED_AUTHENTICATION);

    // The right password in a file others can read is refused, with the reason.
    t.passwordFile = writePasswordFile(dir, "open", "s3cret pass\n");
    std::filesystem::permissions(t.passwordFile, std::filesystem::perms::group_read,
                                 std::filesystem::perm_options::add);
    auto open = makeLdapBackend(t);
    EXPECT_EQ(open->open(), ERR_FAILED_AUTHENTICATION);
    EXPECT_NE(open->lastError().find("0640"), std::string::npos) << open->lastError();
}

// SASL binds chosen in the tree's configuration: EXTERNAL over ldapi:// binds as the user of
// this process and reads the tree; a mechanism that cannot bind (GSSAPI without a Kerberos
// ticket) says so with the mechanism's name.
TEST_F(LdapServerTest, SaslBinds) {
    TreeSource t = source(server_->ldapiUrl());
    t.sasl = "EXTERNAL";
    auto external = makeLdapBackend(t);
    ASSERT_EQ(external->open(), 0) << external->lastError();
    Entry e;
    EXPECT_EQ(external->lookup("Acme", e), 0);
    EXPECT_EQ(e.baseClass, "Organization");

    ::setenv("KRB5CCNAME", "FILE:/nonexistent/kvx-no-ticket", 1);
    t.url = server_->url();
    t.sasl = "GSSAPI";
    auto gssapi = makeLdapBackend(t);
    EXPECT_NE(gssapi->open(), 0);
    EXPECT_NE(gssapi->lastError().find("SASL GSSAPI"), std::string::npos) << gssapi->lastError();
    EXPECT_NE(gssapi->lastError().find("no usable Kerberos ticket. Get one with kinit"),
              std::string::npos)
        << gssapi->lastError();
    ::unsetenv("KRB5CCNAME");
}

// A tree whose top has several components (which the embedded directory does not serve) and
// whose names use other naming attributes than the usual ones, several values, "." and ",".
TEST(LdapServerNames, UnusualNamesResolveAsInTheEmbeddedDirectory) {
    TempFolder temp("kvx-ldap-names");
    ASSERT_FALSE(temp.path.empty());
    const std::string folder = temp.path;
    std::ofstream(folder + "/example.ldif")
        << "dn: dc=example,dc=com\n"
           "objectClass: top\nobjectClass: organization\n"
           "objectClass: dcObject\ndc: example\no: Example\n\n"
           "dn: ou=People,dc=example,dc=com\n"
           "objectClass: top\nobjectClass: organizationalUnit\n"
           "ou: People\n\n"
           "dn: telephoneNumber=555 0100,ou=People,dc=example,dc=com\n"
           "objectClass: top\nobjectClass: person\n"
           "cn: Front Desk\nsn: Desk\ntelephoneNumber: 555 0100\n\n"
           "dn: cn=Ann+sn=Lee,ou=People,dc=example,dc=com\n"
           "objectClass: top\nobjectClass: person\n"
           "cn: Ann\nsn: Lee\n\n"
           "dn: cn=a.b \\2C c,ou=People,dc=example,dc=com\n"
           "objectClass: top\nobjectClass: person\n"
           "cn: a.b , c\nsn: B\n";
    testing::Slapd server;
    testing::SlapdOptions o;
    o.treeFolder = folder;
    std::string error;
    ASSERT_TRUE(server.start(o, error)) << error;
    TreeSource t;
    t.name = "SERVER";
    t.url = server.url();
    auto ldap = makeLdapBackend(t);
    ASSERT_EQ(ldap->open(), 0) << ldap->lastError();

    // A naming context of two components is one object below the root.
    std::unique_ptr<EntryCursor> lc;
    ASSERT_EQ(ldap->list("", lc), 0);
    Drained top = drain(lc);
    ASSERT_EQ(top.entries.size(), 1u);
    EXPECT_EQ(top.entries[0].name, "example.com");
    EXPECT_EQ(top.entries[0].typedName, "DC=example.DC=com");
    EXPECT_EQ(top.entries[0].baseClass, "Organization");
    EXPECT_TRUE(top.entries[0].objectFlags & DS_CONTAINER_ENTRY);
    EXPECT_EQ(top.entries[0].subordinateCount, 1u);

    // Each name, typeless or typed, finds its entry, whose names come back as the DN gives them.
    struct Case {
        std::string asked, name, typed;
    };
    const std::vector<Case> cases = {
        {"People.example.com", "People.example.com", "OU=People.DC=example.DC=com"},
        {"555 0100.People.example.com", "555 0100.People.example.com",
         "TELEPHONENUMBER=555 0100.OU=People.DC=example.DC=com"},
        {"TelephoneNumber=555 0100.People.example.com", "555 0100.People.example.com",
         "TELEPHONENUMBER=555 0100.OU=People.DC=example.DC=com"},
        {"ann+lee.people.EXAMPLE.com", "Ann+Lee.People.example.com",
         "CN=Ann+SN=Lee.OU=People.DC=example.DC=com"},
        {"a\\.b , c.People.example.com", "a\\.b , c.People.example.com",
         "CN=a\\.b , c.OU=People.DC=example.DC=com"},
        {"OU=People.DC=example.DC=com", "People.example.com", "OU=People.DC=example.DC=com"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.asked);
        Entry got;
        ASSERT_EQ(ldap->lookup(c.asked, got), 0);
        EXPECT_EQ(got.name, c.name);
        EXPECT_EQ(got.typedName, c.typed);
    }
    Entry none;
    EXPECT_EQ(ldap->lookup("Nobody.People.example.com", none), ERR_NO_SUCH_ENTRY);
    EXPECT_EQ(ldap->lookup("example", none), ERR_NO_SUCH_ENTRY);
    server.stop();
}

TEST(LdapServerFaults, UnreachableServerIsReportedAtOnceAndNotRetriedOnEveryCall) {
    TreeSource t;
    t.name = "GONE";
    t.url = "ldap://127.0.0.1:" + std::to_string(testing::freePort());
    auto b = makeLdapBackend(t);
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(b->open(), ERR_UNREACHABLE_SERVER);
    EXPECT_NE(b->lastError().find(t.url), std::string::npos) << b->lastError();
    std::vector<std::string> classes;
    EXPECT_EQ(b->classNames(classes), ERR_UNREACHABLE_SERVER);
    std::unique_ptr<EntryCursor> c;
    EXPECT_EQ(b->list("", c), ERR_UNREACHABLE_SERVER);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
}

TEST_F(LdapServerTest, AConfiguredBaseIsTheOnlyTreeShown) {
    TreeSource t = source(server_->url());
    t.base = "ou=Sales,o=Acme";
    auto b = makeLdapBackend(t);
    ASSERT_EQ(b->open(), 0) << b->lastError();
    std::unique_ptr<EntryCursor> c;
    ASSERT_EQ(b->list("", c), 0);
    Drained top = drain(c);
    ASSERT_EQ(top.rc, 0);
    ASSERT_EQ(top.entries.size(), 1u);
    EXPECT_EQ(top.entries[0].name, "Sales.Acme");
    Entry e;
    EXPECT_EQ(b->lookup("Ann Smith.Sales.Acme", e), 0);
    EXPECT_EQ(b->lookup("Finance.Acme", e), ERR_NO_SUCH_ENTRY); // outside the base
}

TEST(LdapServerFaults, AServerThatStopsAnsweringTimesOut) {
    testing::Slapd server;
    testing::SlapdOptions o;
    o.treeFolder = kAcmeFolder;
    std::string error;
    ASSERT_TRUE(server.start(o, error)) << error;
    TreeSource t;
    t.name = "HUNG";
    t.url = server.url();
    LdapTuning tuning;
    tuning.pageSize = 2;
    tuning.resultTimeout = 2;
    auto b = makeLdapBackend(t, tuning);
    ASSERT_EQ(b->open(), 0) << b->lastError();
    SearchRequest r;
    r.base = "Acme";
    r.filterAttribute = "Object Class";
    r.filterValue = "User";
    std::unique_ptr<EntryCursor> c;
    ASSERT_EQ(b->search(r, c), 0);
    Drained first = drain(c, 1);
    ASSERT_EQ(first.rc, 0);
    server.pause();
    auto started = std::chrono::steady_clock::now();
    Drained rest = drain(c);
    auto waited = std::chrono::steady_clock::now() - started;
    server.resume();
    EXPECT_EQ(rest.rc, ERR_TRANSPORT_FAILURE);
    EXPECT_LT(waited, std::chrono::seconds(8));
    server.stop();
}

// The users below Acme with their surnames, searched on the server at `url`; the backend and
// its cursor are left for more calls.
Drained searchUsers(const std::string& url, LdapTuning tuning, std::unique_ptr<Backend>& b,
                    std::unique_ptr<EntryCursor>& c) {
    TreeSource t;
    t.name = "LIMITED";
    t.url = url;
    b = makeLdapBackend(t, tuning);
    Drained d;
    d.rc = b->open();
    if (d.rc)
        return d;
    SearchRequest r;
    r.base = "Acme";
    r.filterAttribute = "Object Class";
    r.filterValue = "User";
    r.attributes = {"Surname"};
    d.rc = b->search(r, c);
    return d.rc ? d : drain(c);
}

TEST(LdapServerFaults, ASizeLimitBelowTheResultCountFailsTheSearch) {
    testing::Slapd server;
    testing::SlapdOptions o;
    o.treeFolder = kAcmeFolder;
    o.sizeLimit = "5";
    std::string error;
    ASSERT_TRUE(server.start(o, error)) << error;
    for (int pageSize : {1000, 2}) {
        SCOPED_TRACE(pageSize);
        LdapTuning tuning;
        tuning.pageSize = pageSize;
        std::unique_ptr<Backend> b;
        std::unique_ptr<EntryCursor> c;
        Drained d = searchUsers(server.url(), tuning, b, c);
        EXPECT_EQ(d.rc, ERR_SIZE_LIMIT_EXCEEDED);
        EXPECT_LE(d.entries.size(), 5u);
        Entry e;
        ASSERT_TRUE(c);
        EXPECT_EQ(c->next(e), ERR_SIZE_LIMIT_EXCEEDED); // stays failed
    }
    server.stop();
}

// A server that stops a whole search at a few entries but lets a paged one run (Active
// Directory's MaxPageSize): the search goes on page by page and every entry comes once.
TEST(LdapServerFaults, ASearchStoppedAtALimitGoesOnPageByPage) {
    testing::Slapd server;
    testing::SlapdOptions o;
    o.treeFolder = kAcmeFolder;
    o.sizeLimit = "size=5 size.prtotal=unlimited";
    std::string error;
    ASSERT_TRUE(server.start(o, error)) << error;
    std::vector<std::string> names[2];
    for (bool unpagedFirst : {false, true}) {
        LdapTuning tuning;
        tuning.pageSize = 2;
        tuning.unpagedFirst =
            unpagedFirst ? LdapTuning::Unpaged::Always : LdapTuning::Unpaged::Never;
        std::unique_ptr<Backend> b;
        std::unique_ptr<EntryCursor> c;
        Drained d = searchUsers(server.url(), tuning, b, c);
        EXPECT_EQ(d.rc, 0) << unpagedFirst;
        for (const Entry& e : d.entries)
            names[unpagedFirst].push_back(e.name);
        std::sort(names[unpagedFirst].begin(), names[unpagedFirst].end());
    }
    EXPECT_GT(names[0].size(), 5u);
    EXPECT_EQ(names[1], names[0]); // each once, none lost
    server.stop();
}

TEST(LdapServerFaults, AServerStoppedMidSearchFailsTheSearchWithoutHanging) {
    testing::Slapd server;
    testing::SlapdOptions o;
    o.treeFolder = kAcmeFolder;
    std::string error;
    ASSERT_TRUE(server.start(o, error)) << error;
    TreeSource t;
    t.name = "STOPPING";
    t.url = server.url();
    LdapTuning tuning;
    tuning.pageSize = 2;
    tuning.resultTimeout = 20;
    tuning.retryAfter = 0;
    auto b = makeLdapBackend(t, tuning);
    ASSERT_EQ(b->open(), 0) << b->lastError();
    SearchRequest r;
    r.base = "Acme";
    r.filterAttribute = "Object Class";
    r.filterValue = "Top";
    r.allAttributes = true;
    std::unique_ptr<EntryCursor> c;
    ASSERT_EQ(b->search(r, c), 0);
    Drained first = drain(c, 3);
    ASSERT_EQ(first.rc, 0);
    ASSERT_EQ(first.entries.size(), 3u);
    EXPECT_EQ(first.entries[0].name, "Acme");
    // Writing to the lost server must fail the call, not end the program with SIGPIPE.
    struct sigaction pipe {};
    ASSERT_EQ(sigaction(SIGPIPE, nullptr, &pipe), 0);
    EXPECT_EQ(pipe.sa_handler, SIG_IGN);
    server.kill();
    auto started = std::chrono::steady_clock::now();
    Drained rest = drain(c);
    EXPECT_EQ(rest.rc, ERR_TRANSPORT_FAILURE);
    // At most what had already arrived: the rest of the page at hand and the next one.
    EXPECT_LE(rest.entries.size(), 4u);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    // The next use tries to connect again and finds nothing there.
    Entry e;
    EXPECT_EQ(b->lookup("Acme", e), ERR_UNREACHABLE_SERVER);
    server.stop();
}

} // namespace
} // namespace kvx::client
