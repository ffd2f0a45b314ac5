// Reports over a real Active Directory domain controller (Samba): the program run unattended
// agrees with ldapsearch object by object, the domain's containers browse, siblings that differ
// only by naming attribute keep their own subtrees, and a 2,000-member group is read whole
// whether the server sends every value or hands them out in ranges.
#include "common/support.h"
#include "samba_dc.h"
#include "slapd_fixture.h"

#include "directory/client/config.h"
#include "directory/client/ldap/ldap_backend.h"
#include "report/datetime.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace kvx::client;
using kvx::testing::readFile;
using kvx::testing::SambaDc;
using kvx::testing::writeFile;

constexpr int kBulk = 2000; // members of the big group

// One controller for the whole program; a test fails (never skips) when it cannot be had.
class Domain : public ::testing::Environment {
public:
    void SetUp() override {
        dc = new SambaDc;
        if (!dc->start(error))
            return;
        std::ostringstream ldif;
        auto entry = [&](const std::string& dn, const std::string& body) {
            ldif << "dn: " << dn << "\n" << body << "\n";
        };
        const std::string b = SambaDc::kBase;
        for (const char* ou : {"Sales", "Engineering", "Bulk"})
            entry(std::string("OU=") + ou + "," + b, "objectClass: organizationalUnit\n");
        entry("OU=Shared,OU=Engineering," + b, "objectClass: organizationalUnit\n");
        entry("CN=Shared,OU=Engineering," + b, "objectClass: container\n");
        // 544: a normal account that needs no password; 546 also disabled; 66080 also with a
        // password that never expires.
        auto user = [&](const std::string& cn, const std::string& parent, const char* sam, int uac,
                        const std::string& extra) {
            entry("CN=" + cn + "," + parent + b,
                  "objectClass: user\nsAMAccountName: " + std::string(sam) +
                      "\nuserAccountControl: " + std::to_string(uac) + "\n" + extra);
        };
        user("Ann Able", "OU=Sales,", "ann", 544,
             "sn: Able\ngivenName: Ann\nmail: ann@kvx.test\ntelephoneNumber: +1 555 0101\n"
             "accountExpires: 133500000000000000\n");
        user("Bob Bell", "OU=Sales,", "bob", 546, "sn: Bell\ngivenName: Bob\n");
        user("Cid Cole", "OU=Sales,", "cid", 66080, "sn: Cole\n");
        user("Dan Dale", "CN=Users,", "dan", 544, "sn: Dale\naccountExpires: 134000000000000000\n");
        user("Eve East", "OU=Shared,OU=Engineering,", "eve", 544, "sn: East\n");
        user("Fay Fox", "CN=Shared,OU=Engineering,", "fay", 544, "sn: Fox\n");
        entry("CN=WS01,CN=Computers," + b,
              "objectClass: computer\nsAMAccountName: WS01$\nuserAccountControl: 4096\n");
        entry("CN=Sales Team,OU=Sales," + b,
              "objectClass: group\nsAMAccountName: salesteam\nmember: CN=Ann Able,OU=Sales," + b +
                  "\nmember: CN=Bob Bell,OU=Sales," + b + "\n");
        entry("CN=Big Group,OU=Bulk," + b, "objectClass: group\nsAMAccountName: biggroup\n");
        for (int i = 0; i < kBulk; ++i)
            entry("CN=c" + std::to_string(10000 + i) + ",OU=Bulk," + b, "objectClass: contact\n");
        // Every member in one change.
        ldif << "dn: CN=Big Group,OU=Bulk," << b << "\nchangetype: modify\nadd: member\n";
        for (int i = 0; i < kBulk; ++i)
            ldif << "member: CN=c" << 10000 + i << ",OU=Bulk," << b << "\n";
        ldif << "-\n\n";
        filled = dc->modify(ldif.str(), error);
    }
    void TearDown() override {
        delete dc;
        dc = nullptr;
    }
    static SambaDc* dc;
    static bool filled;
    static std::string error;
};

SambaDc* Domain::dc = nullptr;
bool Domain::filled = false;
std::string Domain::error;

const auto* const kDomain = ::testing::AddGlobalTestEnvironment(new Domain);

// A temporary folder with a client configuration naming the controller's domain as tree KVX.
struct Workspace {
    std::string path;
    Workspace() {
        char tmpl[] = "/tmp/kvx-ad-XXXXXX";
        path = ::mkdtemp(tmpl) ? tmpl : "";
        writeFile(path + "/client.conf",
                  "[Client]\nDefaultTree=KVX\n\n[Tree KVX]\nURL=" + Domain::dc->url() +
                      "\nBase=" + SambaDc::kBase + "\nBindDN=" + SambaDc::kAdmin +
                      "\nPasswordFile=" + Domain::dc->passwordFile() + "\n");
    }
    ~Workspace() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

class AdTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Domain::dc && Domain::filled) << Domain::error;
        ::setenv("LDAPTLS_CACERT", Domain::dc->caFile().c_str(), 1);
    }
    static std::unique_ptr<Backend> backend(const std::string& base = SambaDc::kBase,
                                            LdapTuning tuning = {}) {
        TreeSource t;
        t.name = "KVX";
        t.url = Domain::dc->url();
        t.base = base;
        t.bindDn = SambaDc::kAdmin;
        t.passwordFile = Domain::dc->passwordFile();
        auto b = makeLdapBackend(t, tuning);
        EXPECT_EQ(b->open(), 0) << b->lastError();
        return b;
    }
};

std::vector<Entry> drain(std::unique_ptr<EntryCursor>& cursor) {
    std::vector<Entry> out;
    Entry e;
    NWDSCCODE rc;
    while ((rc = cursor->next(e)) == 0)
        out.push_back(e);
    EXPECT_EQ(rc, EntryCursor::kEndOfEntries);
    return out;
}

const Entry* named(const std::vector<Entry>& entries, const std::string& name) {
    for (const auto& e : entries)
        if (e.name == name)
            return &e;
    return nullptr;
}

// Runs korvanex unattended without a display, as a scheduled job would; the exit status and
// what it wrote to standard error.
std::pair<int, std::string> runKorvanex(const Workspace& w, const std::string& kvx) {
    const kvx::test::HeadlessRun run = kvx::test::runHeadless(
        KVX_KORVANEX, w.path, kvx, w.path + "/client.conf", std::chrono::minutes(3));
    if (!run.finished)
        return {-1, "korvanex did not finish in three minutes"};
    return {run.status, run.err};
}

// A report's settings file. `context` is a full name ending in the domain ("Sales.kvx.test");
// the settings name it as the chain of tree nodes from it up to the domain's node "kvx.test".
std::string reportKvx(const std::string& context, const std::string& cls, int mode,
                      const std::vector<std::string>& attributes, const std::string& output) {
    std::vector<std::string> chain;
    std::string rest = context;
    for (std::size_t dot; (dot = rest.find('.')) != std::string::npos && rest != "kvx.test";) {
        chain.push_back(rest.substr(0, dot));
        rest = rest.substr(dot + 1);
    }
    chain.push_back(rest);
    std::ostringstream s;
    s << "[KORVANEX]\nTreeName=KVX\n";
    for (std::size_t i = 0; i < chain.size(); ++i)
        s << "Context" << i + 1 << "=" << chain[i] << "\n";
    s << "ContextCount=" << chain.size() << "\nclasstype=" << cls
      << "\nchkOutputWindow=0\nchkOutputFile=1\nchkHideEmptyColumns=0\ntxtOutputFilename=" << output
      << "\ntxtOutputSeparator=|\nchkOutputEncloseQuotes=0\nchkOutputColumnHeaders=1"
      << "\noptResultsTabular=" << (mode == 0) << "\noptResultsTabularCross=" << (mode == 1)
      << "\noptResultsNonTabular=" << (mode == 2)
      << "\ncboAttributesMulti=" << (mode == 1 ? static_cast<int>(attributes.size()) - 1 : -1)
      << "\nAttributeCount=" << attributes.size() << "\n";
    for (std::size_t i = 0; i < attributes.size(); ++i)
        s << "lvwSelectedeAttributes" << i << "=" << attributes[i]
          << "\nlvwSelectedeAttributesSingle" << i << "=Multi\n";
    return s.str();
}

std::vector<std::string> split(const std::string& text, char by) {
    std::vector<std::string> out;
    std::string cur;
    std::istringstream in(text);
    while (std::getline(in, cur, by)) {
        if (!cur.empty() && cur.back() == '\r') // report files end their lines with CR LF
            cur.pop_back();
        out.push_back(cur);
    }
    return out;
}

// ---- ldapsearch's values converted as Active Directory's tools show them ------------------

std::string base64Decode(const std::string& in) {
    static const std::string chars =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    int bits = 0, acc = 0;
    for (char c : in) {
        const auto p = chars.find(c);
        if (p == std::string::npos)
            continue;
        acc = acc << 6 | static_cast<int>(p);
        if ((bits += 6) >= 8) {
            bits -= 8;
            out += static_cast<char>((acc >> bits) & 0xFF);
        }
    }
    return out;
}

std::string expectedValue(const std::string& attribute, const std::string& raw) {
    auto u = [&](std::size_t i) { return static_cast<unsigned char>(raw[i]); };
    char buf[64];
    if (attribute == "objectSid") {
        std::string t = "S-1-" + std::to_string(u(7));
        for (std::size_t i = 8; i + 4 <= raw.size(); i += 4)
            t += "-" + std::to_string(u(i) | u(i + 1) << 8 | u(i + 2) << 16 |
                                      static_cast<unsigned long>(u(i + 3)) << 24);
        return t;
    }
    if (attribute == "objectGUID") {
        std::snprintf(buf, sizeof buf, "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-", u(3), u(2),
                      u(1), u(0), u(5), u(4), u(7), u(6), u(8), u(9));
        std::string t = buf;
        for (std::size_t i = 10; i < 16; ++i) {
            std::snprintf(buf, sizeof buf, "%02X", u(i));
            t += buf;
        }
        return t + "}";
    }
    if (attribute == "pwdLastSet" || attribute == "accountExpires") {
        const long long v = std::stoll(raw);
        if (v == 0 || v == 9223372036854775807LL)
            return "";
        return kvx::FormatDirectoryTime(v / 10000000 - 11644473600LL);
    }
    if (attribute == "whenCreated") {
        std::tm tm{};
        ::strptime(raw.c_str(), "%Y%m%d%H%M%S", &tm);
        return kvx::FormatDirectoryTime(::timegm(&tm));
    }
    return raw;
}

// Entries of ldapsearch's LDIF by typeless name ("Ann Able.Sales.kvx.test"), each attribute's
// values in order, binary values decoded.
std::map<std::string, std::map<std::string, std::vector<std::string>>>
readLdif(const std::string& text) {
    std::map<std::string, std::map<std::string, std::vector<std::string>>> out;
    std::string current;
    for (const std::string& line : split(text, '\n')) {
        const auto colon = line.find(':');
        if (line.empty() || line[0] == '#' || colon == std::string::npos)
            continue;
        const std::string name = line.substr(0, colon);
        const bool binary = colon + 1 < line.size() && line[colon + 1] == ':';
        std::string value = line.substr(colon + (binary ? 3 : 2));
        if (binary)
            value = base64Decode(value);
        if (name == "dn") {
            current.clear();
            for (const std::string& rdn : split(value, ',')) {
                if (!current.empty())
                    current += '.';
                current += rdn.substr(rdn.find('=') + 1);
            }
            out[current];
            continue;
        }
        out[current][name].push_back(expectedValue(name, value));
    }
    return out;
}

// Every report mode over the domain: the values of each object as Active Directory's own
// tools show them (SIDs, GUIDs, 64-bit times, Generalized Times, 64-bit numbers), agreeing
// with ldapsearch object by object; from the domain, from an organizational unit and from a
// container of class "container", for users, groups and computers.
TEST_F(AdTest, ReportsAgreeWithLdapsearchObjectByObject) {
    Workspace w;
    const std::vector<std::string> attrs = {"objectSid",   "objectGUID", "pwdLastSet",
                                            "whenCreated", "uSNChanged", "accountExpires",
                                            "Surname"};
    const auto ldif = readLdif(Domain::dc->search(
        SambaDc::kBase, "sub", "(objectClass=user)",
        "objectSid objectGUID pwdLastSet whenCreated uSNChanged accountExpires sn"));
    ASSERT_GE(ldif.size(), 8u); // the built-in accounts, the six users, the computers
    writeFile(w.path + "/users.kvx", reportKvx("kvx.test", "user", 0, attrs, "users.txt"));
    auto [status, messages] = runKorvanex(w, w.path + "/users.kvx");
    ASSERT_EQ(status, 0) << messages;
    const auto lines = split(readFile(w.path + "/users.txt"), '\n');
    ASSERT_EQ(lines.size(), ldif.size() + 1) << readFile(w.path + "/users.txt");
    EXPECT_EQ(lines[0], "Object|objectSid|objectGUID|pwdLastSet|whenCreated|uSNChanged|"
                        "accountExpires|Surname");
    const char* ldapNames[] = {"objectSid",  "objectGUID",     "pwdLastSet", "whenCreated",
                               "uSNChanged", "accountExpires", "sn"};
    bool sawExpiry = false;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const auto cells = split(lines[i] + "|", '|');
        ASSERT_EQ(cells.size(), attrs.size() + 1) << lines[i];
        auto found = ldif.find(cells[0]);
        ASSERT_NE(found, ldif.end()) << cells[0];
        for (std::size_t k = 0; k < attrs.size(); ++k) {
            auto values = found->second.find(ldapNames[k]);
            const std::string expected =
                values == found->second.end() ? "" : values->second.front();
            EXPECT_EQ(cells[k + 1], expected) << cells[0] << " " << attrs[k];
        }
        sawExpiry |= cells[6].find("2024") != std::string::npos;
    }
    EXPECT_TRUE(sawExpiry);

    // Other classes, modes and starting points: the objects below the start, and only them.
    struct Case {
        std::string context, cls;
        int mode;
        std::vector<std::string> attrs, objects;
    };
    const std::vector<Case> cases = {
        {"Sales.kvx.test",
         "user",
         2,
         {"Surname", "Given Name"},
         {"Ann Able.Sales.kvx.test", "Bob Bell.Sales.kvx.test", "Cid Cole.Sales.kvx.test"}},
        {"Users.kvx.test", "user", 1, {"memberOf"}, {}},
        {"Sales.kvx.test", "group", 1, {"Member"}, {"Sales Team.Sales.kvx.test"}},
        {"kvx.test", "computer", 0, {"sAMAccountName"}, {}},
        {"kvx.test", "Organizational Unit", 0, {"OU"}, {"Sales.kvx.test"}},
    };
    for (const Case& c : cases) {
        writeFile(w.path + "/r.kvx", reportKvx(c.context, c.cls, c.mode, c.attrs, "r.txt"));
        auto [rc, text] = runKorvanex(w, w.path + "/r.kvx");
        ASSERT_EQ(rc, 0) << c.context << " " << c.cls << ": " << text;
        const std::string out = readFile(w.path + "/r.txt");
        for (const auto& o : c.objects)
            EXPECT_NE(out.find(o + "|"), std::string::npos) << out;
        // The objects of each report are ldapsearch's below the same start: all of them in
        // Tabular, those with values in the other modes.
        std::string dnBase = SambaDc::kBase;
        const auto parts = split(c.context, '.');
        for (std::size_t p = parts.size() - 2; p-- > 0;)
            dnBase = (c.context.rfind("Users", 0) == 0 ? "CN=" : "OU=") + parts[p] + "," + dnBase;
        std::set<std::string> objects;
        for (const auto& line : split(out, '\n'))
            objects.insert(line.substr(0, line.find('|')));
        objects.erase("Object");
        const std::string ldapClass = c.cls == "Organizational Unit" ? "organizationalUnit" : c.cls;
        std::set<std::string> expected;
        for (const auto& [name, attributes] :
             readLdif(Domain::dc->search(dnBase, "sub", "(objectClass=" + ldapClass + ")", "1.1")))
            expected.insert(name);
        if (c.mode == 0) {
            EXPECT_EQ(objects, expected) << c.context << " " << c.cls << "\n" << out;
        }
        EXPECT_FALSE(objects.empty()) << c.context << " " << c.cls;
        for (const auto& o : objects)
            EXPECT_TRUE(expected.count(o)) << o << " below " << c.context;
    }
    // A 64-bit number that is no time (the domain's maximum password age, negative) whole.
    writeFile(w.path + "/d.kvx", reportKvx("kvx.test", "domainDNS", 0, {"maxPwdAge"}, "d.txt"));
    auto [dStatus, dMessages] = runKorvanex(w, w.path + "/d.kvx");
    ASSERT_EQ(dStatus, 0) << dMessages;
    const auto domain =
        readLdif(Domain::dc->search(SambaDc::kBase, "base", "(objectClass=*)", "maxPwdAge"));
    ASSERT_EQ(domain.count("kvx.test"), 1u);
    const std::string maxPwdAge = domain.at("kvx.test").at("maxPwdAge").front();
    EXPECT_LT(std::stoll(maxPwdAge), -4294967296LL);
    EXPECT_EQ(readFile(w.path + "/d.txt"), "Object|maxPwdAge\r\nkvx.test|" + maxPwdAge + "\r\n");

    // The big group in Tabular Cross: one row per member, all of them.
    writeFile(w.path + "/big.kvx", reportKvx("Bulk.kvx.test", "group", 1, {"Member"}, "big.txt"));
    auto [bigStatus, bigMessages] = runKorvanex(w, w.path + "/big.kvx");
    ASSERT_EQ(bigStatus, 0) << bigMessages;
    EXPECT_EQ(split(readFile(w.path + "/big.txt"), '\n').size(), 1u + kBulk);
}

// The domain's whole container tree: class "container" and "builtinDomain" entries hold
// entries, so they are containers; base classes are the most specific structural class.
TEST_F(AdTest, ContainersAreWhatHoldsEntries) {
    auto b = backend();
    std::unique_ptr<EntryCursor> cursor;
    ASSERT_EQ(b->list("kvx.test", cursor), 0);
    const auto children = drain(cursor);
    struct Want {
        const char* name;
        const char* baseClass;
    };
    for (const Want& want :
         {Want{"Users.kvx.test", "container"}, Want{"Computers.kvx.test", "container"},
          Want{"Builtin.kvx.test", "builtinDomain"},
          Want{"Sales.kvx.test", "Organizational Unit"}}) {
        const Entry* e = named(children, want.name);
        ASSERT_NE(e, nullptr) << want.name;
        EXPECT_EQ(e->baseClass, want.baseClass);
        EXPECT_TRUE(e->objectFlags & DS_CONTAINER_ENTRY) << want.name;
        EXPECT_GT(e->subordinateCount, 0u) << want.name;
    }
    ASSERT_EQ(b->list("Sales.kvx.test", cursor), 0);
    const auto sales = drain(cursor);
    const Entry* ann = named(sales, "Ann Able.Sales.kvx.test");
    ASSERT_NE(ann, nullptr);
    EXPECT_EQ(ann->baseClass, "user");
    EXPECT_EQ(ann->subordinateCount, 0u);
    EXPECT_FALSE(ann->objectFlags & DS_CONTAINER_ENTRY);
    Entry looked;
    ASSERT_EQ(b->lookup("Computers.kvx.test", looked), 0);
    EXPECT_EQ(looked.baseClass, "container");
    EXPECT_GT(looked.subordinateCount, 0u);

    // Siblings "CN=Shared" and "OU=Shared": each is named with its type and holds its own.
    ASSERT_EQ(b->list("Engineering.kvx.test", cursor), 0);
    const auto eng = drain(cursor);
    ASSERT_NE(named(eng, "CN=Shared.Engineering.kvx.test"), nullptr);
    ASSERT_NE(named(eng, "OU=Shared.Engineering.kvx.test"), nullptr);
    for (const auto& [start, only] :
         {std::pair<std::string, std::string>{"CN=Shared", "Fay Fox"}, {"OU=Shared", "Eve East"}}) {
        SearchRequest r;
        r.base = start + ".Engineering.kvx.test";
        r.filterAttribute = "Object Class";
        r.filterValue = "user";
        ASSERT_EQ(b->search(r, cursor), 0) << start;
        const auto found = drain(cursor);
        ASSERT_EQ(found.size(), 1u) << start;
        EXPECT_EQ(found[0].name.substr(0, only.size()), only);
    }

    // Without a configured base every naming context is a root: the domain, its configuration
    // and its schema partitions.
    auto all = backend("");
    ASSERT_EQ(all->list("", cursor), 0);
    std::set<std::string> roots;
    for (const auto& e : drain(cursor))
        roots.insert(e.name);
    EXPECT_EQ(roots, (std::set<std::string>{"kvx.test", "Configuration.kvx.test",
                                            "Schema.Configuration.kvx.test"}));
}

// The groups below `base` with their members.
SearchRequest groupMembers(const std::string& base) {
    SearchRequest r;
    r.base = base;
    r.filterAttribute = "Object Class";
    r.filterValue = "group";
    r.attributes = {"Member"};
    return r;
}

// A group larger than the value limit is read whole: Samba sends every value when the request
// names no range, and answers ranged requests ("member;range=0-499", then "range=500-*") as
// Active Directory does; both give the same 2,000 members.
TEST_F(AdTest, RangeRetrievalReadsEveryValue) {
    for (int range : {0, 500}) {
        LdapTuning tuning;
        tuning.valueRange = range;
        auto b = backend(SambaDc::kBase, tuning);
        std::unique_ptr<EntryCursor> cursor;
        ASSERT_EQ(b->search(groupMembers("Bulk.kvx.test"), cursor), 0);
        const auto groups = drain(cursor);
        ASSERT_EQ(groups.size(), 1u);
        ASSERT_EQ(groups[0].attributes.size(), 1u);
        const auto& members = groups[0].attributes[0].values;
        EXPECT_EQ(members.size(), static_cast<std::size_t>(kBulk)) << range;
        std::set<std::string> distinct(members.begin(), members.end());
        EXPECT_EQ(distinct.size(), static_cast<std::size_t>(kBulk)) << range;
        EXPECT_TRUE(distinct.count("c10000.Bulk.kvx.test") &&
                    distinct.count("c11999.Bulk.kvx.test"));
    }
}

// A group read by ranges whose reading the server stops (here: the group is deleted between
// the search and the range reads) is not handed out with the members read so far: the search
// fails there with the server's reason, after the entries before it.
TEST_F(AdTest, ARangeReadTheServerStopsFailsTheSearchWithItsReason) {
    const std::string b = SambaDc::kBase;
    std::ostringstream ldif;
    ldif << "dn: OU=Doomed," << b << "\nobjectClass: organizationalUnit\n\n";
    for (const char* g : {"A", "B"}) {
        ldif << "dn: CN=Doomed " << g << ",OU=Doomed," << b
             << "\nobjectClass: group\nsAMAccountName: doomed" << g << "\n";
        for (int i = 0; i < 600; ++i)
            ldif << "member: CN=c" << 10000 + i << ",OU=Bulk," << b << "\n";
        ldif << "\n";
    }
    std::string error;
    ASSERT_TRUE(Domain::dc->modify(ldif.str(), error)) << error;
    LdapTuning tuning;
    tuning.valueRange = 500;
    tuning.unpagedFirst = LdapTuning::Unpaged::Never; // one page: both groups arrive at once
    auto be = backend(b, tuning);
    std::unique_ptr<EntryCursor> cursor;
    ASSERT_EQ(be->search(groupMembers("Doomed.kvx.test"), cursor), 0);
    Entry first;
    ASSERT_EQ(cursor->next(first), 0);
    ASSERT_EQ(first.attributes.size(), 1u);
    EXPECT_EQ(first.attributes[0].values.size(), 600u);
    const std::string other = first.name.rfind("Doomed A", 0) == 0 ? "Doomed B" : "Doomed A";
    ASSERT_TRUE(
        Domain::dc->modify("dn: CN=" + other + ",OU=Doomed," + b + "\nchangetype: delete\n", error))
        << error;
    Entry second;
    EXPECT_EQ(cursor->next(second), ERR_NO_SUCH_ENTRY);
    EXPECT_NE(cursor->failureText().find("the server stopped handing out its values after 500"),
              std::string::npos)
        << cursor->failureText();
}

// A Kerberos bind: the administrator's ticket from the controller's own KDC (kinit into a
// private cache) and SASL GSSAPI over ldap:// (sealed by Kerberos). The rows are only there
// for a bound user; with no ticket the run fails and says so.
TEST_F(AdTest, GssapiBindsWithTheUsersTicket) {
    Workspace w;
    ::setenv("KRB5_CONFIG", Domain::dc->krb5Conf().c_str(), 1);
    ::setenv("KRB5CCNAME", ("FILE:" + w.path + "/ccache").c_str(), 1);
    ::setenv("LDAPSASL_NOCANON", "on", 1); // the service is asked for by the URL's address
    const int kinit = kvx::testing::run(
        {"/bin/sh", "-c",
         "kinit " + std::string(SambaDc::kAdmin) + " <" + Domain::dc->passwordFile()},
        w.path + "/kinit.log");
    ASSERT_EQ(kinit, 0) << readFile(w.path + "/kinit.log");
    writeFile(w.path + "/client.conf",
              "[Client]\nDefaultTree=KVX\n\n[Tree KVX]\nURL=" + Domain::dc->plainUrl() +
                  "\nBase=" + SambaDc::kBase + "\nSASL=GSSAPI\n");
    writeFile(w.path + "/k.kvx", reportKvx("Sales.kvx.test", "user", 0, {"Surname"}, "k.txt"));
    auto [status, messages] = runKorvanex(w, w.path + "/k.kvx");
    EXPECT_EQ(status, 0) << messages;
    auto rows = split(readFile(w.path + "/k.txt"), '\n');
    std::sort(rows.begin(), rows.end());
    EXPECT_EQ(rows, (std::vector<std::string>{"Ann Able.Sales.kvx.test|Able",
                                              "Bob Bell.Sales.kvx.test|Bell",
                                              "Cid Cole.Sales.kvx.test|Cole", "Object|Surname"}));

    ::setenv("KRB5CCNAME", ("FILE:" + w.path + "/none").c_str(), 1);
    fs::remove(w.path + "/k.txt");
    auto [noTicket, why] = runKorvanex(w, w.path + "/k.kvx");
    EXPECT_NE(noTicket, 0);
    EXPECT_NE(why.find("GSSAPI"), std::string::npos) << why;
    EXPECT_FALSE(fs::exists(w.path + "/k.txt")) << readFile(w.path + "/k.txt");
    for (const char* name : {"KRB5_CONFIG", "KRB5CCNAME", "LDAPSASL_NOCANON"})
        ::unsetenv(name);
}

// The value of `key` in a settings file's text ("" when absent).
std::string readKvxKey(const std::string& text, const std::string& key) {
    for (const std::string& line : split(text, '\n'))
        if (line.rfind(key + "=", 0) == 0)
            return line.substr(key.size() + 1);
    return {};
}

// The example reports for Active Directory administrators run over the test domain; those
// with a search filter report exactly the accounts ldapsearch finds with it (a date on a 64-bit
// time written as the count of 100 ns units since 1601 that the server holds, set dates only).
TEST_F(AdTest, ExamplesRun) {
    Workspace w;
    const std::map<std::string, std::pair<std::string, std::string>> filtered = {
        {"ad-disabled-accounts",
         {"(userAccountControl:1.2.840.113556.1.4.803:=2)",
          "(userAccountControl:1.2.840.113556.1.4.803:=2)"}},
        {"ad-password-never-expires",
         {"(userAccountControl:1.2.840.113556.1.4.803:=65536)",
          "(userAccountControl:1.2.840.113556.1.4.803:=65536)"}},
        {"ad-accounts-expiring",
         {"(accountExpires<=20270101000000Z)",
          "(&(accountExpires<=134432352000000000)(!(accountExpires=0)))"}}};
    int ran = 0;
    for (const auto& file : fs::directory_iterator(KVX_SOURCE_DIR "/examples/active-directory")) {
        const std::string name = file.path().stem().string();
        if (name.rfind("ad-", 0) != 0)
            continue;
        ++ran;
        auto [status, messages] = runKorvanex(w, file.path().string());
        ASSERT_EQ(status, 0) << name << ": " << messages;
        const std::string output = readFile(w.path + "/" + name + ".txt");
        const auto lines = split(output, '\n');
        EXPECT_GE(lines.size(), 3u) << name << ": " << output;
        const auto filter = filtered.find(name);
        if (filter == filtered.end())
            continue;
        EXPECT_EQ(readKvxKey(readFile(file.path().string()), "txtSearchFilter"),
                  filter->second.first);
        std::set<std::string> objects, expected;
        for (std::size_t i = 1; i < lines.size(); ++i) // "name","...": the first cell unquoted
            objects.insert(lines[i].substr(1, lines[i].find("\",") - 1));
        for (const auto& [object, attributes] : readLdif(
                 Domain::dc->search(SambaDc::kBase, "sub",
                                    "(&(objectClass=user)" + filter->second.second + ")", "1.1")))
            expected.insert(object);
        EXPECT_EQ(objects, expected) << name << ": " << output;
    }
    EXPECT_EQ(ran, 5);
    // The accounts the test made: Bob is disabled, Cid's password never expires, Ann is neither;
    // Ann's account expired in January 2024, Dan's in August 2025, the others' never do.
    const std::string disabled = readFile(w.path + "/ad-disabled-accounts.txt");
    const std::string neverExpires = readFile(w.path + "/ad-password-never-expires.txt");
    const std::string expiring = readFile(w.path + "/ad-accounts-expiring.txt");
    EXPECT_NE(disabled.find("\"Bob Bell.Sales.kvx.test\""), std::string::npos) << disabled;
    EXPECT_NE(neverExpires.find("\"Cid Cole.Sales.kvx.test\""), std::string::npos) << neverExpires;
    EXPECT_EQ((disabled + neverExpires).find("Ann Able"), std::string::npos);
    EXPECT_EQ(split(expiring, '\n').size(), 3u) << expiring;
    EXPECT_NE(expiring.find("\"Ann Able.Sales.kvx.test\",\"ann\""), std::string::npos) << expiring;
    EXPECT_NE(expiring.find("\"Dan Dale.Users.kvx.test\",\"dan\""), std::string::npos) << expiring;
}

} // namespace
