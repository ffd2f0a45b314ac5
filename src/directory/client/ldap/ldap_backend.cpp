#include "ldap_backend.h"

#include "../names.h"
#include "../normalize.h"
#include "../schema_text.h"
#include "ldap_filter.h"
#include "ldap_support.h"

#include <ldap.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <unordered_map>

namespace kvx::client {

namespace {

using namespace ldapbk;
using Clock = std::chrono::steady_clock;

// One connection to the server. Cursors share it with the backend, so a reconnection of the
// backend never pulls a handle from under a search still being read.
struct Connection {
    LDAP* ld = nullptr;
    bool alive = true;
    Connection() = default;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection() {
        if (ld)
            ldap_unbind_ext_s(ld, nullptr, nullptr);
    }
};

std::string describe(LDAP* ld, int code, const char* diag = nullptr) {
    std::string text = ldap_err2string(code);
    std::string extra;
    if (diag && *diag) {
        extra = diag;
    } else if (ld) {
        char* msg = nullptr;
        if (ldap_get_option(ld, LDAP_OPT_DIAGNOSTIC_MESSAGE, &msg) == LDAP_OPT_SUCCESS && msg) {
            extra = msg;
            ldap_memfree(msg);
        }
    }
    if (!extra.empty())
        text += " (" + extra + ")";
    return text;
}

// Certificates of TLS servers are always verified. libldap keeps its TLS settings, and the
// context built from them, process-wide; a weaker setting (TLS_REQCERT never, allow or try in
// ldap.conf or the environment) is raised to "demand" before any connection is made. The CA
// is named the usual libldap way (TLS_CACERT in ldap.conf or LDAPTLS_CACERT).
void requireVerifiedCertificates() {
    int req = -1;
    if (ldap_get_option(nullptr, LDAP_OPT_X_TLS_REQUIRE_CERT, &req) == LDAP_OPT_SUCCESS &&
        (req == LDAP_OPT_X_TLS_DEMAND || req == LDAP_OPT_X_TLS_HARD))
        return;
    int demand = LDAP_OPT_X_TLS_DEMAND;
    ldap_set_option(nullptr, LDAP_OPT_X_TLS_REQUIRE_CERT, &demand);
    int isServer = 0;
    ldap_set_option(nullptr, LDAP_OPT_X_TLS_NEWCTX, &isServer); // rebuilt with the new setting
}

// A server that goes away leaves a socket whose next write raises SIGPIPE, which by default
// ends the whole program. libldap does not guard against it, so the client ignores the signal
// (unless the program has a handler of its own); the write then fails and is reported.
void ignoreBrokenPipes() {
    struct sigaction current {};
    if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        sigaction(SIGPIPE, &ignore, nullptr);
    }
}

int sessionCode(LDAP* ld) {
    int code = LDAP_OTHER;
    if (ldap_get_option(ld, LDAP_OPT_RESULT_CODE, &code) != LDAP_OPT_SUCCESS)
        code = LDAP_OTHER;
    return code;
}

// Attribute lists for libldap: pointers into strings the caller keeps.
struct AttrList {
    std::vector<std::string> names;
    std::vector<char*> ptrs;
    char** get() {
        ptrs.clear();
        for (auto& n : names)
            ptrs.push_back(n.data());
        ptrs.push_back(nullptr);
        return ptrs.data();
    }
};

constexpr const char* kStructural = "structuralObjectClass";
constexpr const char* kHasSubordinates = "hasSubordinates";
constexpr const char* kNumSubordinates = "numSubordinates";

class LdapBackend;

// What a search wants of each entry.
struct Wanted {
    bool withAttributes = false;  // false: names, flags and counts only (a list)
    bool all = false;             // every attribute the server returns
    std::vector<char> attributes; // by schema attribute index
};

// One paged search (or a sequence of them, for a search from the root over every naming
// context). The next page is asked for as soon as the previous one has arrived, so the server
// works on it while this side converts the entries already here.
class LdapCursor : public EntryCursor {
public:
    struct Job {
        std::string dn;
        int scope = LDAP_SCOPE_SUBTREE;
    };

    LdapCursor(LdapBackend& backend, std::shared_ptr<Connection> conn, std::vector<Job> jobs,
               std::string filter, AttrList attrs, Wanted wanted)
        : b_(backend), conn_(std::move(conn)), jobs_(std::move(jobs)), filter_(std::move(filter)),
          attrs_(std::move(attrs)), wanted_(std::move(wanted)) {}

    ~LdapCursor() override {
        if (page_)
            ldap_msgfree(page_);
        if (inFlight_ && conn_->alive)
            ldap_abandon_ext(conn_->ld, msgid_, nullptr, nullptr);
    }

    NWDSCCODE next(Entry& out) override;

private:
    NWDSCCODE request();
    NWDSCCODE receive();

    LdapBackend& b_;
    std::shared_ptr<Connection> conn_;
    std::vector<Job> jobs_;
    std::size_t job_ = 0;
    bool jobStarted_ = false;
    std::string filter_;
    AttrList attrs_;
    Wanted wanted_;
    std::string cookie_;
    bool inFlight_ = false;
    int msgid_ = -1;
    LDAPMessage* page_ = nullptr;
    LDAPMessage* at_ = nullptr;
    NWDSCCODE failure_ = 0; // the server ended the search: reported after the entries it sent
    bool done_ = false;
};

class LdapBackend : public Backend {
public:
    LdapBackend(TreeSource source, LdapTuning tuning)
        : source_(std::move(source)), tuning_(tuning), mapper_(schema_) {}

    const std::string& treeName() const override { return source_.name; }

    NWDSCCODE open() override {
        if (conn_ && conn_->alive && schemaLoaded_)
            return 0;
        // A failed attempt is not repeated at once: every call of a window would wait for it.
        if (tried_ && lastCode_ && !lostConnection_ &&
            Clock::now() - lastAttempt_ < std::chrono::seconds(tuning_.retryAfter))
            return lastCode_;
        tried_ = true;
        lostConnection_ = false;
        lastAttempt_ = Clock::now();
        lastCode_ = connect();
        return lastCode_;
    }

    std::string lastError() const override { return error_; }

    NWDSCCODE classNames(std::vector<std::string>& out) override {
        if (NWDSCCODE rc = open())
            return rc;
        out.clear();
        for (const auto& c : schema_.classes())
            out.push_back(c.ndsName);
        return 0;
    }

    NWDSCCODE readClass(const std::string& name, ClassDef& out) override {
        if (NWDSCCODE rc = open())
            return rc;
        int k = schema_.findClass(name);
        if (k < 0)
            return ERR_NO_SUCH_CLASS;
        out = schema_.classDef(k);
        return 0;
    }

    NWDSCCODE readAttribute(const std::string& name, AttrDef& out) override {
        if (NWDSCCODE rc = open())
            return rc;
        int k = schema_.findAttribute(name);
        if (k < 0)
            return ERR_NO_SUCH_ATTRIBUTE;
        out = schema_.attrDef(k);
        return 0;
    }

    NWDSCCODE lookup(const std::string& fullName, Entry& out) override {
        if (NWDSCCODE rc = open())
            return rc;
        if (names::isRootName(fullName)) {
            out = Entry{};
            out.objectFlags = DS_CONTAINER_ENTRY;
            out.subordinateCount = static_cast<nuint32>(roots_.size());
            out.baseClass = "Top";
            return 0;
        }
        std::string dn;
        if (NWDSCCODE rc = resolve(fullName, dn))
            return rc;
        Wanted all;
        all.withAttributes = true;
        all.all = true;
        bool found = false;
        NWDSCCODE rc =
            searchAll(dn, LDAP_SCOPE_BASE, "(objectClass=*)",
                      {"*", kStructural, kHasSubordinates, kNumSubordinates}, [&](LDAPMessage* m) {
                          convert(conn_->ld, m, out, all);
                          found = true;
                      });
        if (rc == ERR_NO_SUCH_ENTRY)
            forget(fullName);
        if (rc)
            return rc;
        return found ? 0 : ERR_NO_SUCH_ENTRY;
    }

    NWDSCCODE list(const std::string& fullName, std::unique_ptr<EntryCursor>& out) override {
        if (NWDSCCODE rc = open())
            return rc;
        std::vector<LdapCursor::Job> jobs;
        if (names::isRootName(fullName)) {
            for (const Root& r : roots_)
                jobs.push_back({r.dn, LDAP_SCOPE_BASE});
        } else {
            std::string dn;
            if (NWDSCCODE rc = resolve(fullName, dn))
                return rc;
            jobs.push_back({dn, LDAP_SCOPE_ONELEVEL});
        }
        AttrList attrs;
        attrs.names = {"objectClass", kStructural, kHasSubordinates, kNumSubordinates};
        out = std::make_unique<LdapCursor>(*this, conn_, std::move(jobs), "(objectClass=*)",
                                           std::move(attrs), Wanted{});
        return 0;
    }

    NWDSCCODE search(const SearchRequest& request, std::unique_ptr<EntryCursor>& out) override {
        if (NWDSCCODE rc = open())
            return rc;
        int scope;
        switch (request.scope) {
        case DS_SEARCH_ENTRY:
            scope = LDAP_SCOPE_BASE;
            break;
        case DS_SEARCH_SUBORDINATES:
            scope = LDAP_SCOPE_ONELEVEL;
            break;
        case DS_SEARCH_SUBTREE:
            scope = LDAP_SCOPE_SUBTREE;
            break;
        default:
            return ERR_INVALID_REQUEST;
        }
        std::vector<LdapCursor::Job> jobs;
        if (names::isRootName(request.base)) {
            // The root is no entry of the server: its subordinates are the naming contexts.
            if (scope != LDAP_SCOPE_BASE)
                for (const Root& r : roots_)
                    jobs.push_back({r.dn, scope == LDAP_SCOPE_ONELEVEL ? LDAP_SCOPE_BASE
                                                                       : LDAP_SCOPE_SUBTREE});
        } else {
            std::string dn;
            if (NWDSCCODE rc = resolve(request.base, dn))
                return rc;
            jobs.push_back({dn, scope});
        }
        std::string filter = "(objectClass=*)";
        // Whether the entries found may be containers: only then is the server asked whether
        // each has subordinates (work for it on every entry). Other objects have none.
        bool containersPossible = true;
        if (!request.filterAttribute.empty()) {
            int fa = schema_.findAttribute(request.filterAttribute);
            if (fa < 0 || fa != schema_.findAttribute("objectClass"))
                return ERR_INVALID_REQUEST;
            int cls = schema_.findClass(request.filterValue);
            if (cls < 0)
                jobs.clear(); // a class the server does not have: nothing matches
            else
                filter =
                    "(objectClass=" + escapeFilterValue(ldapName(schema_.classes()[cls])) + ")";
            containersPossible = false;
            for (int k = 0; cls >= 0 && k < static_cast<int>(schema_.classes().size()); ++k)
                if (schema_.classes()[k].container && schema_.derivesFrom(k, cls))
                    containersPossible = true;
        }
        if (request.filter)
            filter = "(&" + filter + filterText(*request.filter) + ")";
        Wanted wanted;
        wanted.withAttributes = true;
        wanted.all = request.allAttributes;
        wanted.attributes.assign(schema_.attributes().size(), 0);
        AttrList attrs;
        if (request.allAttributes) {
            attrs.names.push_back("*");
        } else {
            for (const std::string& name : request.attributes) {
                int a = schema_.findAttribute(name);
                if (a < 0 || wanted.attributes[a])
                    continue;
                wanted.attributes[a] = 1;
                attrs.names.push_back(ldapName(schema_.attributes()[a]));
            }
            if (attrs.names.empty())
                attrs.names.push_back("1.1"); // no attributes, only the extras below
        }
        attrs.names.push_back(kStructural);
        if (containersPossible)
            attrs.names.push_back(kHasSubordinates);
        out = std::make_unique<LdapCursor>(*this, conn_, std::move(jobs), std::move(filter),
                                           std::move(attrs), std::move(wanted));
        return 0;
    }

    // The request's further condition in LDAP form; names of objects in it become DNs.
    std::string filterText(const FilterNode& f) {
        return ldapFilterText(f, schema_, [this](const std::string& name, std::string& dn) {
            return !names::isRootName(name) && resolve(name, dn) == 0;
        });
    }

    // ---- used by the cursor --------------------------------------------------------------
    void connectionLost(Connection& c) {
        c.alive = false;
        if (conn_.get() == &c)
            lostConnection_ = true;
    }

    const LdapTuning& tuning() const { return tuning_; }

    // Fills `out` from a search entry message.
    void convert(LDAP* ld, LDAPMessage* msg, Entry& out, const Wanted& wanted) {
        BerElement* ber = nullptr;
        berval dnBv{0, nullptr};
        out.name.clear();
        out.typedName.clear();
        out.objectFlags = 0;
        out.subordinateCount = 0;
        out.modificationTime = 0;
        out.baseClass.clear();
        std::size_t used = 0;
        if (ldap_get_dn_ber(ld, msg, &ber, &dnBv) != LDAP_SUCCESS) {
            out.attributes.clear();
            if (ber)
                ber_free(ber, 0);
            return;
        }
        std::string_view dn(dnBv.bv_val ? dnBv.bv_val : "", dnBv.bv_len);
        if (!entryNames(dn, out)) {
            out.name.assign(dn); // shown as the server wrote it rather than dropped
            out.typedName.assign(dn);
        }
        int hasSubs = -1;
        long numSubs = -1;
        bool structuralSeen = false;
        const auto& attrs = schema_.attributes();
        berval attrBv{0, nullptr};
        BerVarray vals = nullptr;
        for (int rc = ldap_get_attribute_ber(ld, msg, ber, &attrBv, &vals);
             rc == LDAP_SUCCESS && attrBv.bv_val;
             rc = ldap_get_attribute_ber(ld, msg, ber, &attrBv, &vals)) {
            std::string_view desc = stripOptions(std::string_view(attrBv.bv_val, attrBv.bv_len));
            auto value = [&](std::size_t i) {
                return std::string_view(vals[i].bv_val ? vals[i].bv_val : "", vals[i].bv_len);
            };
            const int a = attributeIndex(desc);
            bool deliver = wanted.withAttributes && a >= 0 &&
                           (wanted.all ? !isExtra(desc) : wanted.attributes[a] != 0);
            if (names::equalNoCase(desc, kStructural) && vals && vals[0].bv_val) {
                int c = schema_.findClass(value(0));
                out.baseClass = c >= 0 ? schema_.classes()[c].ndsName : std::string(value(0));
                if (c >= 0)
                    out.objectFlags |= classFlags(c);
                structuralSeen = true;
            } else if (names::equalNoCase(desc, kHasSubordinates) && vals && vals[0].bv_val) {
                hasSubs = names::equalNoCase(value(0), "TRUE") ? 1 : 0;
            } else if (names::equalNoCase(desc, kNumSubordinates) && vals && vals[0].bv_val) {
                numSubs = std::strtol(std::string(value(0)).c_str(), nullptr, 10);
            } else if (names::equalNoCase(desc, "objectClass") && vals) {
                for (std::size_t i = 0; vals[i].bv_val; ++i) {
                    int c = schema_.findClass(value(i));
                    if (c >= 0)
                        out.objectFlags |= classFlags(c);
                }
            }
            if (deliver) {
                if (used == out.attributes.size())
                    out.attributes.emplace_back();
                EntryAttribute& ea = out.attributes[used++];
                ea.name = attrs[a].ndsName;
                ea.syntax = attrs[a].syntax;
                std::size_t k = 0;
                for (; vals && vals[k].bv_val; ++k) {
                    if (k == ea.values.size())
                        ea.values.emplace_back();
                    normalizeValue(ea.syntax, value(k), mapper_, ea.values[k]);
                }
                ea.values.resize(k);
            } else if (wanted.withAttributes && a < 0 && wanted.all && !isExtra(desc)) {
                // A type the subschema does not describe: its values as they are, as octets.
                if (used == out.attributes.size())
                    out.attributes.emplace_back();
                EntryAttribute& ea = out.attributes[used++];
                ea.name.assign(desc);
                ea.syntax = SYN_UNKNOWN;
                ea.values.clear();
                for (std::size_t k = 0; vals && vals[k].bv_val; ++k)
                    ea.values.emplace_back(value(k));
            }
            if (vals)
                ber_memfree(vals); // the values point into the message
            vals = nullptr;
        }
        if (ber)
            ber_free(ber, 0);
        out.attributes.resize(used);
        if (!structuralSeen)
            out.baseClass = "Top";
        if (numSubs >= 0)
            out.subordinateCount = static_cast<nuint32>(std::min<long>(numSubs, 0x7FFFFFFF));
        else if (hasSubs >= 0)
            out.subordinateCount = static_cast<nuint32>(hasSubs);
        else
            out.subordinateCount = (out.objectFlags & DS_CONTAINER_ENTRY) ? 1 : 0;
        if (!wanted.withAttributes)
            remember(out.name, dn);
    }

private:
    struct Root {
        std::string dn;
        std::vector<names::Rdn> rdns; // most specific first, escapes undone
    };

    // A component of a name as the caller wrote it ("Acme", or typed "O=Acme") against a
    // component of a DN.
    static bool sameComponent(const std::string& part, const names::Rdn& rdn) {
        if (names::equalNoCase(part, rdn.value))
            return true;
        std::string type, value;
        return names::splitTypedComponent(part, type, value) &&
               names::equalNoCase(type, rdn.type) && names::equalNoCase(value, rdn.value);
    }

    class Mapper : public NameMapper {
    public:
        explicit Mapper(const schema::Schema& s) : s_(s) {}
        void appendClassName(std::string_view ldapName, std::string& out) const override {
            int k = s_.findClass(ldapName);
            if (k < 0)
                NameMapper::appendClassName(ldapName, out);
            else
                out += s_.classes()[k].ndsName;
        }
        void appendAttributeName(std::string_view ldapName, std::string& out) const override {
            int k = s_.findAttribute(ldapName);
            if (k < 0)
                NameMapper::appendAttributeName(ldapName, out);
            else
                out += s_.attributes()[k].ndsName;
        }

    private:
        const schema::Schema& s_;
    };

    template <class Def> static std::string ldapName(const Def& d) {
        return d.names.empty() ? d.oid : d.names.front();
    }

    static bool isExtra(std::string_view desc) {
        return names::equalNoCase(desc, kStructural) ||
               names::equalNoCase(desc, kHasSubordinates) ||
               names::equalNoCase(desc, kNumSubordinates);
    }

    nuint32 classFlags(int c) const {
        const auto& def = schema_.classes()[c];
        return (def.container ? DS_CONTAINER_ENTRY : 0u) | (def.alias ? DS_ALIAS_ENTRY : 0u);
    }

    // Attribute index of an attribute description. The entries of a search repeat the same
    // few descriptions over and over, written the same way: those are remembered.
    int attributeIndex(std::string_view desc) {
        for (const auto& [text, index] : attrCache_)
            if (text == desc)
                return index;
        int a = schema_.findAttribute(desc);
        if (attrCache_.size() < 64)
            attrCache_.emplace_back(std::string(desc), a);
        return a;
    }

    // The typeless and typed full names of an entry's DN, read in one pass.
    bool entryNames(std::string_view dn, Entry& out) {
        if (!names::parseDn(dn, rdnScratch_) || rdnScratch_.empty())
            return false;
        for (std::size_t k = 0; k < rdnScratch_.size(); ++k) {
            const names::Rdn& rdn = rdnScratch_[k];
            if (k) {
                out.name.push_back('.');
                out.typedName.push_back('.');
            }
            names::appendEscapedComponent(out.name, rdn.value);
            // A multi-valued component keeps its pairs: "CN=a+UID=b".
            std::string_view t = rdn.type, v = rdn.value;
            while (true) {
                std::size_t tp = t.find('+');
                std::size_t vp = tp == std::string_view::npos ? tp : v.find('+');
                for (char c : t.substr(0, vp == std::string_view::npos ? t.size() : tp))
                    out.typedName.push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c);
                out.typedName.push_back('=');
                if (vp == std::string_view::npos) {
                    names::appendEscapedComponent(out.typedName, v);
                    break;
                }
                names::appendEscapedComponent(out.typedName, v.substr(0, vp));
                out.typedName.push_back('+');
                t.remove_prefix(tp + 1);
                v.remove_prefix(vp + 1);
            }
        }
        return true;
    }

    NWDSCCODE fail(NWDSCCODE code, std::string text) {
        error_ = std::move(text);
        return code;
    }

    NWDSCCODE connect() {
        ignoreBrokenPipes();
        requireVerifiedCertificates();
        conn_.reset();
        nameCache_.clear();
        std::string password;
        if (!source_.bindDn.empty()) {
            if (source_.passwordFile.empty())
                return fail(ERR_FAILED_AUTHENTICATION,
                            source_.name + ": a bind DN needs a PasswordFile= to read the "
                                           "password from");
            std::ifstream in(source_.passwordFile, std::ios::binary);
            std::ostringstream text;
            text << in.rdbuf();
            if (!in)
                return fail(ERR_FAILED_AUTHENTICATION,
                            source_.passwordFile + ": the password file cannot be read");
            password = text.str();
            while (!password.empty() && (password.back() == '\n' || password.back() == '\r'))
                password.pop_back();
            if (password.empty())
                return fail(ERR_FAILED_AUTHENTICATION,
                            source_.passwordFile + ": the password file is empty");
        }
        auto conn = std::make_shared<Connection>();
        int rc = ldap_initialize(&conn->ld, source_.url.c_str());
        if (rc != LDAP_SUCCESS || !conn->ld)
            return fail(ERR_UNREACHABLE_SERVER,
                        source_.url + ": " + std::string(ldap_err2string(rc)));
        LDAP* ld = conn->ld;
        int version = LDAP_VERSION3;
        ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
        ldap_set_option(ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
        timeval net{tuning_.networkTimeout, 0};
        ldap_set_option(ld, LDAP_OPT_NETWORK_TIMEOUT, &net);
        timeval op{tuning_.resultTimeout, 0};
        ldap_set_option(ld, LDAP_OPT_TIMEOUT, &op);
        if (source_.startTls && source_.url.rfind("ldaps://", 0) != 0) {
            rc = ldap_start_tls_s(ld, nullptr, nullptr);
            if (rc != LDAP_SUCCESS)
                return fail(clientCode(rc, true),
                            source_.url + ": StartTLS failed: " + describe(ld, rc));
        }
        if (!source_.bindDn.empty()) {
            berval cred{static_cast<ber_len_t>(password.size()), password.data()};
            rc = ldap_sasl_bind_s(ld, source_.bindDn.c_str(), LDAP_SASL_SIMPLE, &cred, nullptr,
                                  nullptr, nullptr);
            std::fill(password.begin(), password.end(), '\0');
            if (rc != LDAP_SUCCESS)
                return fail(clientCode(rc, true), source_.url + ": cannot bind as \"" +
                                                      source_.bindDn + "\": " + describe(ld, rc));
        } else {
            // Anonymous: no bind is needed, but a server that is not there must show now,
            // not at the first search.
            rc = ldap_connect(ld);
            if (rc != LDAP_SUCCESS)
                return fail(clientCode(rc, true), source_.url + ": " + describe(ld, rc));
        }
        // libldap reads each message from the socket with reads of its own (two per entry);
        // a read-ahead layer under it fetches what has arrived in large pieces instead.
        Sockbuf* sb = nullptr;
        if (ldap_get_option(ld, LDAP_OPT_SOCKBUF, &sb) == LDAP_OPT_SUCCESS && sb)
            ber_sockbuf_add_io(sb, &ber_sockbuf_io_readahead, LBER_SBIOD_LEVEL_PROVIDER, nullptr);
        conn_ = std::move(conn);
        NWDSCCODE code = readRootDse();
        if (!code && !schemaLoaded_)
            code = readSchema();
        if (code) {
            conn_.reset();
            return code;
        }
        error_.clear();
        return 0;
    }

    // A synchronous paged search; `each` gets every entry.
    NWDSCCODE searchAll(const std::string& base, int scope, const std::string& filter,
                        std::vector<std::string> attrNames,
                        const std::function<void(LDAPMessage*)>& each) {
        AttrList attrs;
        attrs.names = std::move(attrNames);
        LdapCursor::Job job{base, scope};
        // The cursor does the paging; its entries come back as raw messages here.
        LDAP* ld = conn_->ld;
        std::string cookie;
        for (;;) {
            LDAPControl* page = nullptr;
            berval cookieBv{static_cast<ber_len_t>(cookie.size()), cookie.data()};
            int rc = ldap_create_page_control(ld, static_cast<ber_int_t>(tuning_.pageSize),
                                              cookie.empty() ? nullptr : &cookieBv, 0, &page);
            if (rc != LDAP_SUCCESS)
                return fail(ERR_NOT_ENOUGH_MEMORY, describe(ld, rc));
            LDAPControl* ctrls[] = {page, nullptr};
            timeval tv{tuning_.resultTimeout, 0};
            LDAPMessage* res = nullptr;
            rc = ldap_search_ext_s(ld, job.dn.c_str(), job.scope, filter.c_str(), attrs.get(), 0,
                                   ctrls, nullptr, &tv, 0, &res);
            ldap_control_free(page);
            if (rc == LDAP_SERVER_DOWN || rc == LDAP_TIMEOUT || rc == LDAP_CONNECT_ERROR) {
                if (res)
                    ldap_msgfree(res);
                connectionLost(*conn_);
                return fail(clientCode(rc, false), describe(ld, rc));
            }
            for (LDAPMessage* m = ldap_first_entry(ld, res); m; m = ldap_next_entry(ld, m))
                each(m);
            cookie.clear();
            LDAPMessage* done = res ? ldap_first_message(ld, res) : nullptr;
            while (done && ldap_msgtype(done) != LDAP_RES_SEARCH_RESULT)
                done = ldap_next_message(ld, done);
            if (done) {
                int err = LDAP_SUCCESS;
                char* diag = nullptr;
                LDAPControl** got = nullptr;
                ldap_parse_result(ld, done, &err, nullptr, &diag, nullptr, &got, 0);
                rc = err;
                if (rc == LDAP_SUCCESS && got) {
                    if (LDAPControl* c =
                            ldap_control_find(LDAP_CONTROL_PAGEDRESULTS, got, nullptr)) {
                        ber_int_t estimate = 0;
                        berval next{0, nullptr};
                        if (ldap_parse_pageresponse_control(ld, c, &estimate, &next) ==
                                LDAP_SUCCESS &&
                            next.bv_val) {
                            cookie.assign(next.bv_val, next.bv_len);
                            ber_memfree(next.bv_val);
                        }
                    }
                }
                if (rc != LDAP_SUCCESS)
                    error_ = describe(ld, rc, diag);
                if (diag)
                    ldap_memfree(diag);
                if (got)
                    ldap_controls_free(got);
            }
            if (res)
                ldap_msgfree(res);
            if (rc != LDAP_SUCCESS)
                return clientCode(rc, false);
            if (cookie.empty())
                return 0;
        }
    }

    NWDSCCODE readRootDse() {
        roots_.clear();
        std::vector<std::string> contexts;
        subschema_.clear();
        NWDSCCODE rc = searchAll("", LDAP_SCOPE_BASE, "(objectClass=*)",
                                 {"namingContexts", "subschemaSubentry"}, [&](LDAPMessage* m) {
                                     collect(m, "namingContexts", contexts);
                                     std::vector<std::string> s;
                                     collect(m, "subschemaSubentry", s);
                                     if (!s.empty())
                                         subschema_ = s.front();
                                 });
        if (rc && source_.base.empty())
            return fail(rc, source_.url + ": the server's root entry cannot be read: " + error_);
        // A configured base is the one tree shown; otherwise every naming context is.
        if (!source_.base.empty())
            contexts = {source_.base};
        for (const std::string& dn : contexts) {
            if (dn.empty())
                continue;
            std::vector<names::Rdn> rdns;
            if (!names::parseDn(dn, rdns) || rdns.empty())
                continue;
            roots_.push_back(Root{dn, std::move(rdns)});
        }
        if (subschema_.empty() && !roots_.empty()) {
            std::vector<std::string> s;
            searchAll(roots_.front().dn, LDAP_SCOPE_BASE, "(objectClass=*)", {"subschemaSubentry"},
                      [&](LDAPMessage* m) { collect(m, "subschemaSubentry", s); });
            if (!s.empty())
                subschema_ = s.front();
        }
        if (subschema_.empty())
            subschema_ = "cn=Subschema";
        return 0;
    }

    NWDSCCODE readSchema() {
        std::vector<std::string> types, classes;
        NWDSCCODE rc = searchAll(subschema_, LDAP_SCOPE_BASE, "(objectClass=subschema)",
                                 {"attributeTypes", "objectClasses"}, [&](LDAPMessage* m) {
                                     collect(m, "attributeTypes", types);
                                     collect(m, "objectClasses", classes);
                                 });
        if (rc)
            return fail(rc, source_.url + ": the schema (" + subschema_ +
                                ") cannot be read: " + error_);
        if (types.empty() || classes.empty())
            return fail(ERR_NO_ACCESS, source_.url + ": the schema entry " + subschema_ +
                                           " hands out no definitions");
        std::string why;
        if (!buildSchema(types, classes, schema_, why))
            return fail(ERR_SYSTEM_FAILURE, source_.url + ": the server's schema: " + why);
        schemaLoaded_ = true;
        attrCache_.clear();
        // Naming attributes the one-level name search asks for: the usual ones and every
        // naming attribute a class of the schema declares.
        namingAttrs_.clear();
        auto addNaming = [&](const std::string& n) {
            int a = schema_.findAttribute(n);
            if (a < 0)
                return;
            std::string name = ldapName(schema_.attributes()[a]);
            for (const auto& have : namingAttrs_)
                if (names::equalNoCase(have, name))
                    return;
            namingAttrs_.push_back(name);
        };
        for (const char* n : {"cn", "ou", "o", "l", "c", "st", "dc", "uid"})
            addNaming(n);
        for (const auto& c : schema_.classes())
            for (const auto& n : c.naming)
                addNaming(n);
        return 0;
    }

    void collect(LDAPMessage* m, const char* attr, std::vector<std::string>& out) {
        berval** vals = ldap_get_values_len(conn_->ld, m, attr);
        if (!vals)
            return;
        for (std::size_t i = 0; vals[i]; ++i)
            out.emplace_back(vals[i]->bv_val ? vals[i]->bv_val : "", vals[i]->bv_len);
        ldap_value_free_len(vals);
    }

    // ---- names ---------------------------------------------------------------------------
    static std::string cacheKey(const std::vector<std::string>& components, std::size_t from) {
        std::string key;
        for (std::size_t i = from; i < components.size(); ++i) {
            if (i > from)
                key.push_back('.');
            names::appendEscapedComponent(key, names::lowerAscii(components[i]));
        }
        return key;
    }

    void remember(const std::string& typeless, std::string_view dn) {
        if (typeless.empty())
            return;
        if (nameCache_.size() > 200000)
            nameCache_.clear();
        nameCache_[cacheKey(names::splitName(typeless), 0)] = std::string(dn);
    }

    void forget(const std::string& typeless) {
        nameCache_.erase(cacheKey(names::splitName(typeless), 0));
    }

    // The DN of a typeless (or typed) full name, found level by level from a naming context:
    // for each component below it, a one-level search finds the entry it names.
    NWDSCCODE resolve(const std::string& fullName, std::string& dn) {
        std::vector<std::string> parts = names::splitName(fullName);
        const Root* root = nullptr;
        for (const Root& r : roots_) {
            const std::size_t n = r.rdns.size();
            if (n > parts.size() || (root && root->rdns.size() >= n))
                continue;
            bool match = true;
            for (std::size_t i = 0; i < n && match; ++i)
                match = sameComponent(parts[parts.size() - n + i], r.rdns[i]);
            if (match)
                root = &r;
        }
        if (!root)
            return ERR_NO_SUCH_ENTRY;
        std::string cur = root->dn;
        for (std::size_t i = parts.size() - root->rdns.size(); i-- > 0;) {
            std::string key = cacheKey(parts, i);
            auto hit = nameCache_.find(key);
            if (hit != nameCache_.end()) {
                cur = hit->second;
                continue;
            }
            std::string child;
            if (NWDSCCODE rc = findChild(cur, parts[i], child))
                return rc;
            nameCache_[key] = child;
            cur = std::move(child);
        }
        dn = cur;
        return 0;
    }

    NWDSCCODE findChild(const std::string& parent, const std::string& value, std::string& out) {
        out.clear();
        std::vector<names::Rdn> rdns;
        auto take = [&](LDAPMessage* m) {
            if (!out.empty())
                return;
            char* dn = ldap_get_dn(conn_->ld, m);
            if (!dn)
                return;
            if (names::parseDn(dn, rdns) && !rdns.empty() &&
                names::equalNoCase(rdns[0].value, value))
                out = dn;
            ldap_memfree(dn);
        };
        NWDSCCODE rc = searchAll(parent, LDAP_SCOPE_ONELEVEL, namingFilter(namingAttrs_, value),
                                 {"1.1"}, take);
        if (rc && rc != ERR_INVALID_REQUEST)
            return rc;
        if (!out.empty())
            return 0;
        std::string type, typedValue;
        if (names::splitTypedComponent(value, type, typedValue)) {
            std::string candidate = type + "=" + names::escapeDnValue(typedValue) + "," + parent;
            bool found = false;
            rc = searchAll(candidate, LDAP_SCOPE_BASE, "(objectClass=*)", {"1.1"},
                           [&](LDAPMessage*) { found = true; });
            if (rc == 0 && found) {
                out = candidate;
                return 0;
            }
        }
        // A name under an attribute no filter above asks for: look at every subordinate.
        rc = searchAll(parent, LDAP_SCOPE_ONELEVEL, "(objectClass=*)", {"1.1"}, take);
        if (rc)
            return rc;
        return out.empty() ? ERR_NO_SUCH_ENTRY : 0;
    }

    TreeSource source_;
    LdapTuning tuning_;
    std::shared_ptr<Connection> conn_;
    bool tried_ = false;
    bool lostConnection_ = false;
    Clock::time_point lastAttempt_{};
    NWDSCCODE lastCode_ = 0;
    std::string error_;
    schema::Schema schema_;
    Mapper mapper_;
    bool schemaLoaded_ = false;
    std::string subschema_;
    std::vector<Root> roots_;
    std::vector<std::string> namingAttrs_;
    std::unordered_map<std::string, std::string> nameCache_;
    std::vector<std::pair<std::string, int>> attrCache_;
    std::vector<names::Rdn> rdnScratch_;
};

NWDSCCODE LdapCursor::request() {
    LDAP* ld = conn_->ld;
    if (!conn_->alive)
        return ERR_TRANSPORT_FAILURE;
    LDAPControl* page = nullptr;
    berval cookieBv{static_cast<ber_len_t>(cookie_.size()), cookie_.data()};
    int rc = ldap_create_page_control(ld, static_cast<ber_int_t>(b_.tuning().pageSize),
                                      cookie_.empty() ? nullptr : &cookieBv, 0, &page);
    if (rc != LDAP_SUCCESS)
        return ERR_NOT_ENOUGH_MEMORY;
    LDAPControl* ctrls[] = {page, nullptr};
    const Job& job = jobs_[job_];
    rc = ldap_search_ext(ld, job.dn.c_str(), job.scope, filter_.c_str(), attrs_.get(), 0, ctrls,
                         nullptr, nullptr, 0, &msgid_);
    ldap_control_free(page);
    if (rc != LDAP_SUCCESS) {
        if (rc == LDAP_SERVER_DOWN || rc == LDAP_CONNECT_ERROR)
            b_.connectionLost(*conn_);
        return clientCode(rc, false);
    }
    inFlight_ = true;
    return 0;
}

// Waits for the page in flight, asks for the one after it, and keeps the entries to hand out.
NWDSCCODE LdapCursor::receive() {
    LDAP* ld = conn_->ld;
    timeval tv{b_.tuning().resultTimeout, 0};
    LDAPMessage* res = nullptr;
    int got = ldap_result(ld, msgid_, LDAP_MSG_ALL, &tv, &res);
    if (got <= 0) {
        // No answer in time, or the connection is gone: either way this connection is done.
        int code = got == 0 ? LDAP_TIMEOUT : sessionCode(ld);
        if (got == 0)
            ldap_abandon_ext(ld, msgid_, nullptr, nullptr);
        inFlight_ = false;
        b_.connectionLost(*conn_);
        if (res)
            ldap_msgfree(res);
        return clientCode(code == LDAP_SUCCESS ? LDAP_SERVER_DOWN : code, false);
    }
    inFlight_ = false;
    page_ = res;
    at_ = ldap_first_message(ld, res);
    cookie_.clear();
    int code = LDAP_OTHER;
    for (LDAPMessage* m = at_; m; m = ldap_next_message(ld, m)) {
        if (ldap_msgtype(m) != LDAP_RES_SEARCH_RESULT)
            continue;
        char* diag = nullptr;
        LDAPControl** ctrls = nullptr;
        if (ldap_parse_result(ld, m, &code, nullptr, &diag, nullptr, &ctrls, 0) != LDAP_SUCCESS)
            code = LDAP_DECODING_ERROR;
        if (code == LDAP_SUCCESS && ctrls) {
            if (LDAPControl* c = ldap_control_find(LDAP_CONTROL_PAGEDRESULTS, ctrls, nullptr)) {
                ber_int_t estimate = 0;
                berval next{0, nullptr};
                if (ldap_parse_pageresponse_control(ld, c, &estimate, &next) == LDAP_SUCCESS &&
                    next.bv_val) {
                    cookie_.assign(next.bv_val, next.bv_len);
                    ber_memfree(next.bv_val);
                }
            }
        }
        if (diag)
            ldap_memfree(diag);
        if (ctrls)
            ldap_controls_free(ctrls);
        break;
    }
    if (code != LDAP_SUCCESS) {
        // Entries of this page still go out; the failure follows them.
        failure_ = clientCode(code, false);
        return 0;
    }
    if (!cookie_.empty())
        return request();
    ++job_;
    jobStarted_ = false;
    return 0;
}

NWDSCCODE LdapCursor::next(Entry& out) {
    if (done_)
        return failure_ ? failure_ : kEndOfEntries;
    LDAP* ld = conn_->ld;
    for (;;) {
        while (at_) {
            LDAPMessage* m = at_;
            at_ = ldap_next_message(ld, at_);
            if (ldap_msgtype(m) == LDAP_RES_SEARCH_ENTRY) {
                b_.convert(ld, m, out, wanted_);
                return 0;
            }
        }
        if (page_) {
            ldap_msgfree(page_);
            page_ = nullptr;
        }
        if (failure_) {
            done_ = true;
            return failure_;
        }
        NWDSCCODE rc = 0;
        if (inFlight_) {
            rc = receive();
        } else if (job_ < jobs_.size() && !jobStarted_) {
            jobStarted_ = true;
            cookie_.clear();
            rc = request();
        } else {
            done_ = true;
            return kEndOfEntries;
        }
        if (rc) {
            failure_ = rc;
            done_ = true;
            return rc;
        }
    }
}

} // namespace

std::unique_ptr<Backend> makeLdapBackend(const TreeSource& source, LdapTuning tuning) {
    return std::make_unique<LdapBackend>(source, tuning);
}

} // namespace kvx::client
