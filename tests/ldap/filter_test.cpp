// Search filters over both backends: the same filter gives the same rows from the embedded ACME
// tree and from a slapd loaded with the same files, for every operator and the matching rules
// of each syntax, and the rows are the right ones, not merely the same; and random filters over
// generated standard-schema data give the same entries from both.
#include "slapd_fixture.h"

#include "directory/client/config.h"
#include "directory/client/embedded/embedded.h"
#include "directory/client/ldap/ldap_backend.h"
#include "directory/client/registry.h"
#include "directory/client/schema_text.h"
#include "directory/searchcriteria.h"
#include "report/search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <unistd.h>

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

// Rows of a Tabular report of `cls` below `base` with `filter`, from one tree, sorted.
std::vector<std::string> reportRows(const std::string& tree, const std::string& base,
                                    const std::string& cls,
                                    const std::vector<kvx::report::SelectedAttribute>& attributes,
                                    const std::string& filter) {
    NWDSContextHandle ctx = 0;
    EXPECT_EQ(NWDSCreateContextHandle(&ctx), 0);
    nuint32 flags = DCV_DEFAULT_FLAGS | DCV_TYPELESS_NAMES;
    NWDSSetContext(ctx, DCK_FLAGS, &flags);
    NWDSSetContext(ctx, DCK_TREE_NAME, &tree);
    kvx::report::SearchInput in;
    in.context = ctx;
    in.base = base;
    in.objectClass = cls;
    in.attributes = attributes;
    in.searchFilter = filter;
    RowSink sink;
    kvx::report::DoSearch(in, sink);
    NWDSFreeContext(ctx);
    EXPECT_TRUE(sink.failures.empty()) << tree << " " << filter << ": " << sink.failures[0];
    std::sort(sink.rows.begin(), sink.rows.end());
    return sink.rows;
}

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

    std::vector<std::string> rows(const std::string& tree, const std::string& base,
                                  const std::string& cls, const std::string& filter) {
        return reportRows(tree, base, cls, {{"Surname", 0}, {"Password Minimum Length", 1}},
                          filter);
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

// ---- The embedded tree against slapd on generated data and filters ----------------------------
//
// A tree over Debian's standard schema files (core, cosine, inetorgperson, nis), each entry
// listing only its most specific classes, with values of non-ASCII letters (in composed and
// decomposed form), runs of blanks, names of other entries, numbers and times; loaded into the
// embedded directory and into slapd. Random filters are made of the data's own attributes and
// values, by any of the attributes' names (LDAP names, aliases, OIDs, directory names,
// supertypes), with every operator, nesting and negation; each must give the same entries from
// both. KVX_DIFF_SEED and KVX_DIFF_FILTERS choose another seed and a longer run.
//
// Filters that the embedded tree refuses at Start (NWDSCheckSearchFilter: an ordering on an
// attribute the schema gives no ordering rule, an approximate match on text, substrings on an
// attribute without a substrings rule) are not compared: a server answers those by rules of its
// own, and the user is told at Start instead. Their share is checked to stay small.
//
// Letters whose case folding differs from their lower case (German sharp s, Greek final sigma)
// are left out of the data: RFC 4518 folds "ß" to "ss", where slapd keeps it.

class Generated : public ::testing::Test {
protected:
    struct Value {
        std::string attr; // LDAP name
        std::string value;
    };
    struct Record {
        std::string dn;
        std::vector<std::string> classes;
        std::vector<Value> values;
    };

    static std::uint32_t envNumber(const char* name, std::uint32_t fallback) {
        const char* v = std::getenv(name);
        return v && *v ? static_cast<std::uint32_t>(std::strtoul(v, nullptr, 10)) : fallback;
    }

    // Two spellings of a few letters: upper / lower case, composed / decomposed.
    static std::string recase(std::string s, bool up) {
        static const std::pair<const char*, const char*> pairs[] = {
            {"ä", "Ä"}, {"ö", "Ö"}, {"ü", "Ü"}, {"é", "É"}, {"ç", "Ç"}, {"ñ", "Ñ"}, {"ł", "Ł"},
            {"å", "Å"}, {"ż", "Ż"}, {"ж", "Ж"}, {"о", "О"}, {"р", "Р"}, {"а", "А"}};
        for (const auto& [lo, hi] : pairs) {
            const std::string from = up ? lo : hi, to = up ? hi : lo;
            for (std::size_t at; (at = s.find(from)) != std::string::npos;)
                s.replace(at, from.size(), to);
        }
        for (char& c : s) {
            if (up && c >= 'a' && c <= 'z')
                c = char(c - 'a' + 'A');
            else if (!up && c >= 'A' && c <= 'Z')
                c = char(c - 'A' + 'a');
        }
        return s;
    }
    static std::string upper(const std::string& s) { return recase(s, true); }
    static std::string lower(const std::string& s) { return recase(s, false); }
    static std::string decomposed(std::string s) {
        static const std::pair<const char*, const char*> pairs[] = {
            {"é", "e\xCC\x81"}, {"ö", "o\xCC\x88"}, {"Ä", "A\xCC\x88"}, {"ñ", "n\xCC\x83"}};
        for (const auto& [composed, parts] : pairs)
            for (std::size_t at; (at = s.find(composed)) != std::string::npos;)
                s.replace(at, std::strlen(composed), parts);
        return s;
    }

    template <class T> const T& pick(const std::vector<T>& v) { return v[rng_() % v.size()]; }
    bool chance(int percent) { return static_cast<int>(rng_() % 100) < percent; }

    void makeTree() {
        const std::vector<std::string> given = {"Ann",   "Björn", "Çelik", "José",  "Łukasz",
                                                "Núñez", "Åsa",   "Olga",  "Жанна", "Émile"};
        const std::vector<std::string> family = {"Öztürk", "Müller", "Smith",  "Ärzte",
                                                 "Orlov",  "Żak",    "Jensen", "Łopez"};
        const std::vector<std::string> units = {"Ärzte", "People", "Groups"};
        add({"o=Diff", {"organization"}, {{"o", "Diff"}, {"description", "The  tree"}}});
        for (const std::string& u : units)
            add({"ou=" + u + ",o=Diff", {"organizationalUnit"}, {{"ou", u}}});
        // A child written under another spelling of its parent's name.
        add({"cn=Nurse,ou=ärzte,o=Diff", {"organizationalRole"}, {{"cn", "Nurse"}}});
        std::vector<std::string> people;
        for (int i = 0; i < 60; ++i) {
            const std::string gn = pick(given), sn = pick(family);
            const std::string uid = "u" + std::to_string(i);
            const int kind = static_cast<int>(rng_() % 4);
            // Some named by uid, some by cn: a name's type is part of it.
            const bool byCn = kind < 2 || i % 3 == 0;
            const std::string cn = gn + (chance(30) ? "  " : " ") + sn + " " + std::to_string(i);
            const std::string dn =
                (byCn ? "cn=" + cn : "uid=" + uid) + "," + "ou=" + pick(units) + ",o=Diff";
            Record r{dn, {}, {}};
            r.classes = kind == 0   ? std::vector<std::string>{"person"}
                        : kind == 1 ? std::vector<std::string>{"organizationalPerson"}
                                    : std::vector<std::string>{"inetOrgPerson"};
            if (kind == 3) {
                r.classes.push_back("posixAccount");
                r.classes.push_back("shadowAccount");
            }
            r.values.push_back({"cn", cn});
            if (chance(30))
                r.values.push_back({"cn", decomposed(gn)});
            r.values.push_back({"sn", sn});
            if (chance(60))
                r.values.push_back({"description", (chance(50) ? " " : "") + gn + "  of   " +
                                                       pick(units) + (chance(30) ? " " : "")});
            r.values.push_back({"telephoneNumber", "+49 30 " + std::to_string(1000 + i * 7) + "-" +
                                                       std::to_string(i % 10)});
            if (kind >= 1 && chance(60))
                r.values.push_back({"title", chance(50) ? "Ärztin" : "Chief  Nurse"});
            if (!people.empty() && chance(50))
                r.values.push_back({"seeAlso", pick(people)});
            if (kind >= 2) {
                r.values.push_back({"uid", uid});
                r.values.push_back({"givenName", gn});
                r.values.push_back({"mail", lower(uid) + "@Example.ORG"});
                r.values.push_back({"employeeNumber", std::to_string(100 + i)});
                if (!people.empty() && chance(50))
                    r.values.push_back({"manager", pick(people)});
            }
            if (kind == 3) {
                r.values.push_back({"uidNumber", std::to_string(900 + i * 13)});
                r.values.push_back({"gidNumber", std::to_string(chance(50) ? 100 : 1000 + i)});
                r.values.push_back({"homeDirectory", "/home/" + uid});
                r.values.push_back({"shadowLastChange", std::to_string(19000 + i)});
            }
            char stamp[32];
            std::snprintf(stamp, sizeof stamp, "20%02u%02u%02u%02u%02u00Z", 20 + i % 6, 1 + i % 12,
                          1 + i % 28, i % 24, (i * 7) % 60);
            r.values.push_back({"createTimestamp", stamp});
            add(r);
            // How other entries name it: in another case, with blanks around the separators.
            people.push_back(chance(50) ? dn
                                        : upper(dn.substr(0, dn.find(','))) + " , " +
                                              dn.substr(dn.find(',') + 1));
        }
        for (int g = 0; g < 8; ++g) {
            Record r{"cn=Team " + std::to_string(g) + ",ou=Groups,o=Diff", {"groupOfNames"}, {}};
            r.values.push_back({"cn", "Team " + std::to_string(g)});
            for (int k = 0; k < 3; ++k)
                r.values.push_back({"member", pick(people)});
            add(r);
            Record p{"cn=posix" + std::to_string(g) + ",ou=Groups,o=Diff", {"posixGroup"}, {}};
            p.values.push_back({"cn", "posix" + std::to_string(g)});
            p.values.push_back({"gidNumber", std::to_string(1000 + g * 9)});
            p.values.push_back({"memberUid", "u" + std::to_string(g * 3)});
            add(p);
        }
        Record pilot{"uid=pilot,ou=People,o=Diff", {"pilotPerson"}, {}};
        pilot.values = {{"uid", "pilot"}, {"cn", "Pilot"}, {"sn", "Öztürk"}};
        add(pilot);
    }

    void add(Record r) {
        // Every entry has a time of creation (slapadd gives one to any that has none).
        if (std::none_of(r.values.begin(), r.values.end(),
                         [](const Value& v) { return v.attr == "createTimestamp"; })) {
            char stamp[32];
            std::snprintf(stamp, sizeof stamp, "2019%02u%02u%02u0000Z",
                          static_cast<unsigned>(1 + rng_() % 12),
                          static_cast<unsigned>(1 + rng_() % 28),
                          static_cast<unsigned>(rng_() % 24));
            r.values.push_back({"createTimestamp", stamp});
        }
        records_.push_back(r);
        ldif_ += "dn: " + r.dn + "\n";
        for (const std::string& c : r.classes)
            ldif_ += "objectClass: " + c + "\n";
        for (const Value& v : r.values) {
            const bool plain =
                std::all_of(v.value.begin(), v.value.end(),
                            [](char c) { return static_cast<unsigned char>(c) < 0x80; }) &&
                v.value.front() != ' ' && v.value.back() != ' ';
            ldif_ += v.attr + (plain ? ": " + v.value : ":: " + base64(v.value)) + "\n";
        }
        ldif_ += "\n";
    }

    static std::string base64(const std::string& s) {
        static const char* t = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        std::string out;
        for (std::size_t i = 0; i < s.size(); i += 3) {
            unsigned n = static_cast<unsigned char>(s[i]) << 16;
            if (i + 1 < s.size())
                n |= static_cast<unsigned char>(s[i + 1]) << 8;
            if (i + 2 < s.size())
                n |= static_cast<unsigned char>(s[i + 2]);
            out += t[(n >> 18) & 63];
            out += t[(n >> 12) & 63];
            out += i + 1 < s.size() ? t[(n >> 6) & 63] : '=';
            out += i + 2 < s.size() ? t[n & 63] : '=';
        }
        return out;
    }

    static std::string escape(const std::string& v) {
        std::string out;
        for (char c : v) {
            if (c == '*' || c == '(' || c == ')' || c == '\\') {
                char buf[4];
                std::snprintf(buf, sizeof buf, "\\%02x", static_cast<unsigned char>(c));
                out += buf;
            } else {
                out.push_back(c);
            }
        }
        return out;
    }

    // A name of the attribute `ldap` or of one of its supertypes.
    std::string nameOf(const std::string& ldap) {
        int a = schema_.findAttribute(ldap);
        const auto& attrs = schema_.attributes();
        while (chance(15) && !attrs[a].sup.empty())
            a = schema_.findAttribute(attrs[a].sup);
        const auto& def = attrs[a];
        std::vector<std::string> names = def.names;
        names.push_back(def.oid);
        names.push_back(def.ndsName);
        std::string n = pick(names);
        if (chance(20))
            n = upper(n);
        return n.find(' ') != std::string::npos ? "\"" + n + "\"" : n;
    }

    std::string mutate(std::string v) {
        switch (rng_() % 6) {
        case 0:
            return upper(v);
        case 1:
            return lower(v);
        case 2:
            return decomposed(v);
        case 3: {
            std::size_t at = v.find(' ');
            if (at != std::string::npos)
                v.insert(at, "  ");
            return chance(50) ? " " + v : v + " ";
        }
        default:
            return v;
        }
    }

    std::string item() {
        const Record& r = pick(records_);
        if (chance(12)) {
            const std::vector<std::string> classes = {
                "top",          "person",       "organizationalPerson", "inetOrgPerson",
                "pilotPerson",  "posixAccount", "groupOfNames",         "organizationalUnit",
                "organization", "2.5.6.6",      "organizationalRole",   "account"};
            return "(" + std::string(chance(50) ? "objectClass" : "2.5.4.0") + "=" +
                   (chance(30) ? upper(pick(classes)) : pick(classes)) + ")";
        }
        const Value& v = pick(r.values);
        const std::string name = nameOf(v.attr);
        // Mostly the operations the attribute's schema gives rules for; now and then any, which
        // the embedded tree refuses at Start.
        const auto& def = schema_.attributes()[schema_.findAttribute(v.attr)];
        const bool anyOperation = chance(4);
        const bool text = def.equality.find("case") != std::string::npos;
        const int op = static_cast<int>(rng_() % 10);
        if (op == 0)
            return "(" + name + "=*)";
        if (op <= 2 && (!def.substr.empty() || anyOperation)) { // substrings
            const std::string value = chance(70) ? mutate(v.value) : v.value;
            auto boundary = [&](std::size_t p) {
                while (p < value.size() && (static_cast<unsigned char>(value[p]) & 0xC0) == 0x80)
                    ++p;
                return p;
            };
            std::size_t a = boundary(rng_() % (value.size() + 1));
            std::size_t b = boundary(rng_() % (value.size() + 1));
            if (a > b)
                std::swap(a, b);
            const std::string initial = chance(60) ? value.substr(0, a) : "";
            const std::string any = chance(50) ? value.substr(a, b - a) : "";
            const std::string final = chance(60) ? value.substr(b) : "";
            return "(" + name + "=" + escape(initial) + "*" +
                   (any.empty() ? "" : escape(any) + "*") + escape(final) + ")";
        }
        const char* ops[] = {"=", "=", "=", ">=", "<=", "~="};
        const char* o = ops[rng_() % 6];
        if ((o[0] == '>' || o[0] == '<') && def.ordering.empty() && !anyOperation)
            o = "=";
        if (o[0] == '~' && text && !anyOperation)
            o = "=";
        std::string value = chance(60) && text ? mutate(v.value) : v.value;
        if (v.attr == "seeAlso" || v.attr == "manager" || v.attr == "member") {
            // Another name of the same type, or the same name with another type.
            if (chance(30))
                value = pick(records_).dn;
            else if (chance(30) && value.rfind("uid=", 0) == 0)
                value = "cn=" + value.substr(4);
        } else if (v.attr == "createTimestamp" && chance(40)) {
            // The same time written otherwise: with an offset, or without its seconds.
            value = chance(50) ? v.value.substr(0, 14) + "+0000" : v.value.substr(0, 12) + "Z";
        } else if (chance(20)) {
            // A value of the same attribute from another entry.
            const Record& other = pick(records_);
            for (const Value& w : other.values)
                if (w.attr == v.attr)
                    value = w.value;
        }
        if (value.empty() || value.find_first_not_of(' ') == std::string::npos)
            value = "x";
        return "(" + name + o + escape(value) + ")";
    }

    std::string filter(int depth) {
        if (depth >= 3 || chance(45))
            return item();
        const int kind = static_cast<int>(rng_() % 3);
        if (kind == 2)
            return "(!" + filter(depth + 1) + ")";
        std::string out = kind == 0 ? "(&" : "(|";
        const int n = 1 + static_cast<int>(rng_() % 3);
        for (int i = 0; i < n; ++i)
            out += filter(depth + 1);
        return out + ")";
    }

    // The entries below o=Diff that `filter` gives from `tree`, by name.
    std::vector<std::string> entries(const std::string& tree, const std::string& filter) {
        const std::vector<std::string> rows =
            reportRows(tree, "Diff", "Top", {{"Surname", 0}}, filter);
        std::vector<std::string> names; // compared in one case: slapd names an entry as it was
                                        // written, the embedded tree by its parent's name
        for (const std::string& row : rows)
            names.push_back(lower(row.substr(0, row.find('|'))));
        std::sort(names.begin(), names.end());
        return names;
    }

    std::string refusal(const std::string& filter) {
        NWDSContextHandle ctx = 0;
        EXPECT_EQ(NWDSCreateContextHandle(&ctx), 0);
        const std::string tree = "EMBEDDED";
        NWDSSetContext(ctx, DCK_TREE_NAME, &tree);
        const std::string fault = kvx::directory::CheckSearchFilter(ctx, filter);
        NWDSFreeContext(ctx);
        return fault;
    }

    std::mt19937 rng_;
    std::vector<Record> records_;
    std::string ldif_;
    schema::Schema schema_;
};

TEST_F(Generated, RandomFiltersGiveTheSameEntriesFromTheEmbeddedTreeAndSlapd) {
    const std::uint32_t seed = envNumber("KVX_DIFF_SEED", 2117);
    const std::uint32_t count = envNumber("KVX_DIFF_FILTERS", 2500);
    rng_.seed(seed);
    makeTree();

    char tmpl[] = "/tmp/kvx-diff-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    const std::string folder = tmpl;
    schema::Schema files;
    for (const char* s : {"core", "cosine", "inetorgperson", "nis"}) {
        const std::string text =
            kvx::testing::readFile(std::string("/etc/ldap/schema/") + s + ".schema");
        ASSERT_FALSE(text.empty()) << s;
        ASSERT_TRUE(kvx::testing::writeFile(folder + "/" + s + ".schema", text));
        std::string error;
        ASSERT_TRUE(files.loadText(text, s, error)) << error;
    }
    schema_ = schema::overBuiltinSchema(files);
    std::string error;
    ASSERT_TRUE(schema_.resolve(error)) << error;
    ASSERT_TRUE(kvx::testing::writeFile(folder + "/tree.ldif", ldif_));

    kvx::testing::Slapd server;
    kvx::testing::SlapdOptions o;
    o.treeFolder = folder;
    ASSERT_TRUE(server.start(o, error)) << error;
    TreeSource t;
    t.name = "SERVER";
    t.url = server.url();
    auto provider = std::make_unique<StaticTreeProvider>();
    provider->add(makeEmbeddedBackend("EMBEDDED", folder));
    provider->add(makeLdapBackend(t));
    resetClient();
    installTreeProvider(std::move(provider));
    ASSERT_EQ(NWCallsInit(nullptr, nullptr), 0);

    // The child written under "ou=ärzte" is below "Ärzte", in both.
    EXPECT_EQ(entries("EMBEDDED", "(cn=Nurse)"), std::vector<std::string>{"nurse.ärzte.diff"});
    EXPECT_EQ(entries("SERVER", "(cn=Nurse)"), std::vector<std::string>{"nurse.ärzte.diff"});

    std::uint32_t compared = 0, refused = 0, differing = 0;
    std::size_t found = 0;
    for (std::uint32_t i = 0; i < count && differing < 10; ++i) {
        const std::string f = filter(0);
        if (const std::string why = refusal(f); !why.empty()) {
            if (std::getenv("KVX_DIFF_VERBOSE"))
                std::printf("refused %s: %s\n", f.c_str(), why.c_str());
            ++refused;
            continue;
        }
        const auto embedded = entries("EMBEDDED", f);
        const auto server = entries("SERVER", f);
        ++compared;
        found += embedded.size();
        if (embedded != server) {
            ++differing;
            auto list = [](const std::vector<std::string>& v) {
                std::string s;
                for (const std::string& n : v)
                    s += "\n    " + n;
                return s;
            };
            ADD_FAILURE() << "filter " << f << " (seed " << seed << ", filter " << i
                          << ")\n  embedded:" << list(embedded) << "\n  slapd:" << list(server);
        }
    }
    // The filters were neither mostly refused nor mostly empty.
    EXPECT_LT(refused, count / 4) << refused << " of " << count << " refused";
    EXPECT_GT(found, compared * 3) << "filters found too little to compare";
    std::printf("%u filters compared, %u refused at Start (seed %u)\n", compared, refused, seed);

    resetClient();
    installTreeProvider(nullptr);
    server.stop();
    std::filesystem::remove_all(folder);
}

} // namespace
