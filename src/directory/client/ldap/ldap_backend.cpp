#include "ldap_backend.h"

#include "../filter_check.h"
#include "../names.h"
#include "../normalize.h"
#include "../schema_text.h"
#include "ldap_filter.h"
#include "ldap_support.h"

#include <ldap.h>
#include <sasl/sasl.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <unordered_map>
#include <unordered_set>

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
// The root entry's supportedCapabilities value of an Active Directory server (Samba's too).
constexpr const char* kActiveDirectoryCapability = "1.2.840.113556.1.4.800";

class LdapBackend;

// What a search wants of each entry.
struct Wanted {
    bool withAttributes = false;  // false: names, flags and counts only (a list)
    bool all = false;             // every attribute the server returns
    std::vector<char> attributes; // by schema attribute index
};

// What a listing learnt about a whole page before its entries are converted.
struct PageHints {
    // DNs (as the server wrote them) of entries found to have subordinates by a one-level
    // probe: for servers that say neither hasSubordinates nor numSubordinates (Samba).
    bool probed = false;
    std::unordered_set<std::string> withSubordinates;
    // Lower-case naming values shared by siblings of the page ("cn=X" and "ou=X"): such an
    // entry is named with its typed component so that each sibling can be told apart.
    std::unordered_set<std::string> sharedValues;
};

// How the backend turns the values of an attribute into the normalised text of its syntax.
enum class ValueKind : char {
    Plain,
    Sid,      // binary security identifier: "S-1-5-21-..."
    Guid,     // 16 bytes: "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"
    FileTime, // 100 ns units since 1601 (Active Directory): a Time; 0 and "never" are left out
    UtcTime,  // "YYMMDDHHMMSSZ": rewritten as a Generalized Time
    AccountControl, // userAccountControl: its flags by name
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

    // `fromRoot`: the jobs are the naming contexts; one that cannot be read is passed over
    // (a listing shows it without subordinates) and the others still go out.
    LdapCursor(LdapBackend& backend, std::shared_ptr<Connection> conn, std::vector<Job> jobs,
               std::string filter, AttrList attrs, Wanted wanted, bool fromRoot = false)
        : b_(backend), conn_(std::move(conn)), jobs_(std::move(jobs)), filter_(std::move(filter)),
          attrs_(std::move(attrs)), wanted_(std::move(wanted)), fromRoot_(fromRoot) {}

    ~LdapCursor() override {
        if (page_)
            ldap_msgfree(page_);
        if (inFlight_ && conn_->alive)
            ldap_abandon_ext(conn_->ld, msgid_, nullptr, nullptr);
    }

    NWDSCCODE next(Entry& out) override;
    std::string failureText() const override { return failureText_; }

private:
    NWDSCCODE request();
    NWDSCCODE receive();
    void learnPage();

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
    NWDSCCODE failure_ = 0;   // the server ended the search: reported after the entries it sent
    std::string failureText_; // the server's reason for it
    bool done_ = false;
    bool fromRoot_ = false;
    std::string unreadable_; // DN of a naming context to hand out as one without subordinates
    PageHints hints_;
    // The job's search went out without paging and is read in the chunks that have arrived.
    bool unpaged_ = false;
    // DNs handed out by an unpaged search of the job: passed over when it goes on paged.
    std::unordered_set<std::string> handedOut_;
    bool pagedRestart_ = false; // it was stopped at a limit: pages follow this chunk
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
    std::string lastNotice() const override { return notice_; }

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

    NWDSCCODE checkFilter(const FilterNode& filter, FilterCheck& out) override {
        out = FilterCheck{};
        if (NWDSCCODE rc = open())
            return rc;
        out.fault = kvx::client::filterFault(filter, schema_, false);
        out.unordered = kvx::client::unorderedAttributes(filter, schema_);
        return 0;
    }

    NWDSCCODE readAttribute(const std::string& name, AttrDef& out) override {
        if (NWDSCCODE rc = open())
            return rc;
        int k = schema_.findAttribute(name);
        if (k < 0)
            return ERR_NO_SUCH_ATTRIBUTE;
        out = schema_.attrDef(k);
        out.syntax = syntax_[static_cast<std::size_t>(k)];
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
        if (!found)
            return ERR_NO_SUCH_ENTRY;
        std::string partly;
        if (NWDSCCODE ranged = takeRangeFailure(partly))
            return fail(ranged, partly);
        if (out.subordinateCount == 0 && !toldSubordinates_) {
            // A server that does not say (Samba): one subordinate is looked for.
            char noAttrs[] = "1.1";
            char* attrs[] = {noAttrs, nullptr};
            timeval tv{tuning_.resultTimeout, 0};
            LDAPMessage* res = nullptr;
            ldap_search_ext_s(conn_->ld, dn.c_str(), LDAP_SCOPE_ONELEVEL, "(objectClass=*)", attrs,
                              0, nullptr, nullptr, &tv, 1, &res);
            if (res && ldap_first_entry(conn_->ld, res)) {
                out.subordinateCount = 1;
                out.objectFlags |= DS_CONTAINER_ENTRY;
            }
            if (res)
                ldap_msgfree(res);
        }
        return 0;
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
        const bool fromRoot = names::isRootName(fullName);
        AttrList attrs;
        attrs.names = {"objectClass", kStructural, kHasSubordinates, kNumSubordinates};
        out = std::make_unique<LdapCursor>(*this, conn_, std::move(jobs), "(objectClass=*)",
                                           std::move(attrs), Wanted{}, fromRoot);
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
                if (tuning_.valueRange > 0 && !schema_.attributes()[a].singleValue)
                    attrs.names.back() += ";range=0-" + std::to_string(tuning_.valueRange - 1);
            }
            if (attrs.names.empty())
                attrs.names.push_back("1.1"); // no attributes, only the extras below
        }
        attrs.names.push_back(kStructural);
        if (containersPossible)
            attrs.names.push_back(kHasSubordinates);
        const bool fromRoot = names::isRootName(request.base);
        out = std::make_unique<LdapCursor>(*this, conn_, std::move(jobs), std::move(filter),
                                           std::move(attrs), std::move(wanted), fromRoot);
        return 0;
    }

    // The request's further condition in LDAP form; names of objects in it become DNs.
    std::string filterText(const FilterNode& f) {
        return ldapFilterText(
            f, schema_,
            [this](const std::string& name, std::string& dn) {
                return !names::isRootName(name) && resolve(name, dn) == 0;
            },
            [this](int a) {
                return a >= 0 && static_cast<std::size_t>(a) < kinds_.size() &&
                       kinds_[static_cast<std::size_t>(a)] == ValueKind::FileTime;
            });
    }

    // ---- used by the cursor --------------------------------------------------------------
    void connectionLost(Connection& c) {
        c.alive = false;
        if (conn_.get() == &c)
            lostConnection_ = true;
    }

    const LdapTuning& tuning() const { return tuning_; }

    // The failure of the last entry's range reads, once: 0 when they read every value.
    NWDSCCODE takeRangeFailure(std::string& text) {
        const NWDSCCODE rc = rangeFailure_;
        if (rc != 0)
            text = std::move(rangeFailureText_);
        rangeFailure_ = 0;
        rangeFailureText_.clear();
        return rc;
    }

    bool unpagedFirst() const {
        return tuning_.unpagedFirst == LdapTuning::Unpaged::Always ||
               (tuning_.unpagedFirst == LdapTuning::Unpaged::ActiveDirectory && activeDirectory_);
    }

    // A naming context that cannot be read; the reason is kept (lastError) once per context.
    void noteUnreadable(const std::string& dn, const std::string& why) {
        for (const auto& known : unreadable_)
            if (known == dn)
                return;
        unreadable_.push_back(dn);
        error_ = source_.url + ": the naming context \"" + dn + "\" cannot be read: " + why;
        notice_ = error_;
    }

    // The entry shown for such a naming context: a container with nothing below it.
    void unreadableEntry(const std::string& dn, Entry& out) {
        out = Entry{};
        if (!entryNames(dn, out, nullptr)) {
            out.name = dn;
            out.typedName = dn;
        }
        out.objectFlags = DS_CONTAINER_ENTRY;
        out.baseClass = "Top";
    }

    // Fills `out` from a search entry message. `hints` (may be nullptr) says what a listing
    // learnt about the entry's page.
    void convert(LDAP* ld, LDAPMessage* msg, Entry& out, const Wanted& wanted,
                 const PageHints* hints = nullptr) {
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
        if (!entryNames(dn, out, hints)) {
            out.name.assign(dn); // shown as the server wrote it rather than dropped
            out.typedName.assign(dn);
        }
        int hasSubs = -1;
        long numSubs = -1;
        bool structuralSeen = false;
        int structural = -1;  // most specific class of structuralObjectClass
        int fromClasses = -1; // most specific structural class among the objectClass values
        ranged_.clear();
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
                // One value (OpenLDAP), or the whole chain from "top" (Active Directory).
                for (std::size_t i = 0; vals[i].bv_val; ++i) {
                    int c = schema_.findClass(value(i));
                    if (c >= 0 && (structural < 0 || schema_.derivesFrom(c, structural)))
                        structural = c;
                    if (c >= 0)
                        out.objectFlags |= classFlags(c);
                }
                if (structural < 0)
                    out.baseClass = std::string(value(0));
                structuralSeen = true;
            } else if (names::equalNoCase(desc, kHasSubordinates) && vals && vals[0].bv_val) {
                hasSubs = names::equalNoCase(value(0), "TRUE") ? 1 : 0;
            } else if (names::equalNoCase(desc, kNumSubordinates) && vals && vals[0].bv_val) {
                numSubs = std::strtol(std::string(value(0)).c_str(), nullptr, 10);
            } else if (names::equalNoCase(desc, "objectClass") && vals) {
                for (std::size_t i = 0; vals[i].bv_val; ++i) {
                    int c = schema_.findClass(value(i));
                    if (c < 0)
                        continue;
                    out.objectFlags |= classFlags(c);
                    if (schema_.classes()[c].kind == schema::ObjectClassDef::Structural &&
                        (fromClasses < 0 ||
                         schema_.classes()[c].depth > schema_.classes()[fromClasses].depth))
                        fromClasses = c;
                }
            }
            if (deliver) {
                if (used == out.attributes.size())
                    out.attributes.emplace_back();
                EntryAttribute& ea = out.attributes[used++];
                ea.name = attrs[a].ndsName;
                ea.syntax = syntax_[static_cast<std::size_t>(a)];
                const ValueKind kind = kinds_[static_cast<std::size_t>(a)];
                std::size_t k = 0;
                for (std::size_t i = 0; vals && vals[i].bv_val; ++i) {
                    if (k == ea.values.size())
                        ea.values.emplace_back();
                    if (kind == ValueKind::Plain)
                        normalizeValue(ea.syntax, value(i), mapper_, ea.values[k]);
                    else if (!convertValue(kind, value(i), ea.values[k]))
                        continue; // a time that is not set ("never", 0): an empty cell
                    ++k;
                }
                ea.values.resize(k);
                // A server's value limit: the first range came; the rest is read below.
                long first = 0, last = 0;
                if (rangeOption(std::string_view(attrBv.bv_val, attrBv.bv_len), first, last) &&
                    last >= 0)
                    ranged_.push_back({used - 1, a, last + 1});
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
        if (structural >= 0)
            out.baseClass = schema_.classes()[structural].ndsName;
        else if (!structuralSeen)
            out.baseClass = fromClasses >= 0 ? schema_.classes()[fromClasses].ndsName : "Top";
        toldSubordinates_ = numSubs >= 0 || hasSubs >= 0;
        if (numSubs >= 0)
            out.subordinateCount = static_cast<nuint32>(std::min<long>(numSubs, 0x7FFFFFFF));
        else if (hasSubs >= 0)
            out.subordinateCount = static_cast<nuint32>(hasSubs);
        else if (hints && hints->probed)
            out.subordinateCount = hints->withSubordinates.count(std::string(dn)) ? 1 : 0;
        else
            out.subordinateCount = (out.objectFlags & DS_CONTAINER_ENTRY) ? 1 : 0;
        // Whatever holds entries is a container, whatever its class.
        if (out.subordinateCount > 0)
            out.objectFlags |= DS_CONTAINER_ENTRY;
        if (!ranged_.empty())
            readRanges(std::string(dn), out);
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

    static bool convertValue(ValueKind kind, std::string_view v, std::string& out) {
        out.clear();
        switch (kind) {
        case ValueKind::Sid:
            return appendSidText(v, out) || (out.assign(v), true);
        case ValueKind::Guid:
            return appendGuidText(v, out) || (out.assign(v), true);
        case ValueKind::FileTime:
            return appendFileTimeAsGeneralized(v, out);
        case ValueKind::UtcTime:
            return appendUtcAsGeneralized(v, out);
        case ValueKind::AccountControl:
            return appendAccountControlText(v, out) || (out.assign(v), true);
        default:
            out.assign(v);
            return true;
        }
    }

    // How each attribute's values are delivered. Active Directory's subschema gives SIDs and
    // GUIDs as octet strings and its times as 64-bit integers: those are known by name.
    void classifyAttributes() {
        const auto& attrs = schema_.attributes();
        kinds_.assign(attrs.size(), ValueKind::Plain);
        syntax_.assign(attrs.size(), SYN_UNKNOWN);
        static const char* const fileTimes[] = {"pwdlastset",
                                                "lastlogontimestamp",
                                                "lastlogon",
                                                "lastlogoff",
                                                "badpasswordtime",
                                                "accountexpires",
                                                "lockouttime",
                                                "msds-lastsuccessfulinteractivelogontime",
                                                "msds-lastfailedinteractivelogontime",
                                                "msds-userpasswordexpirytimecomputed"};
        auto endsWith = [](const std::string& s, std::string_view tail) {
            return s.size() >= tail.size() &&
                   s.compare(s.size() - tail.size(), tail.size(), tail.data(), tail.size()) == 0;
        };
        for (std::size_t a = 0; a < attrs.size(); ++a) {
            const auto& def = attrs[a];
            syntax_[a] = def.syntax;
            const std::string name = names::lowerAscii(ldapName(def));
            // Only Active Directory's own attributes (Microsoft's OID arc): another directory's
            // attribute named "GUID" keeps its syntax.
            const bool microsoft = def.oid.rfind("1.2.840.113556.", 0) == 0;
            const bool octets = microsoft && def.syntaxOid == "1.3.6.1.4.1.1466.115.121.1.40";
            ValueKind kind = ValueKind::Plain;
            if (def.syntaxOid == "1.3.6.1.4.1.1466.115.121.1.53")
                kind = ValueKind::UtcTime;
            else if (octets && (endsWith(name, "sid") || name == "sidhistory" ||
                                name.rfind("tokengroups", 0) == 0))
                kind = ValueKind::Sid;
            else if (octets && endsWith(name, "guid"))
                kind = ValueKind::Guid;
            else if (microsoft && def.syntax == SYN_INTEGER && name == "useraccountcontrol")
                kind = ValueKind::AccountControl;
            else if (microsoft && def.syntax == SYN_INTEGER)
                for (const char* t : fileTimes)
                    if (name == t)
                        kind = ValueKind::FileTime;
            kinds_[a] = kind;
            if (kind == ValueKind::Sid || kind == ValueKind::Guid ||
                kind == ValueKind::AccountControl)
                syntax_[a] = SYN_CI_STRING;
            else if (kind == ValueKind::FileTime || kind == ValueKind::UtcTime)
                syntax_[a] = SYN_TIME;
        }
    }

    // The values past a server's limit (Active Directory hands out 1500 at a time, as
    // "member;range=0-1499"): asked for range after range until the last ("range=N-*").
    void readRanges(const std::string& dn, Entry& out) {
        const std::vector<Ranged> pending = ranged_;
        ranged_.clear();
        for (const Ranged& r : pending) {
            EntryAttribute& ea = out.attributes[r.slot];
            const std::string base = ldapName(schema_.attributes()[r.attribute]);
            const ValueKind kind = kinds_[static_cast<std::size_t>(r.attribute)];
            long next = r.next;
            // Each round must move on: a server answering the same range again ends it.
            for (int round = 0; next >= 0 && round < 100000; ++round) {
                const std::string want = base + ";range=" + std::to_string(next) + "-*";
                long got = -2;
                std::string text;
                NWDSCCODE rc =
                    searchAll(dn, LDAP_SCOPE_BASE, "(objectClass=*)", {want}, [&](LDAPMessage* m) {
                        BerElement* ber = nullptr;
                        for (char* desc = ldap_first_attribute(conn_->ld, m, &ber); desc;
                             desc = ldap_next_attribute(conn_->ld, m, ber)) {
                            long first = 0, last = 0;
                            if (rangeOption(desc, first, last) &&
                                names::equalNoCase(stripOptions(desc), base)) {
                                berval** vals = ldap_get_values_len(conn_->ld, m, desc);
                                for (std::size_t i = 0; vals && vals[i]; ++i) {
                                    std::string_view v(vals[i]->bv_val, vals[i]->bv_len);
                                    if (kind == ValueKind::Plain)
                                        normalizeValue(ea.syntax, v, mapper_, text);
                                    else if (!convertValue(kind, v, text))
                                        continue;
                                    ea.values.push_back(text);
                                }
                                if (vals)
                                    ldap_value_free_len(vals);
                                got = last < 0 ? -1 : std::max(last + 1, next + 1);
                            }
                            ldap_memfree(desc);
                        }
                        if (ber)
                            ber_free(ber, 0);
                    });
                if (rc) {
                    // The server stopped the reading (a time or administrative limit, busy):
                    // the entry is not whole, and says why.
                    rangeFailure_ = rc;
                    rangeFailureText_ = ea.name +
                                        ": the server stopped handing out its values "
                                        "after " +
                                        std::to_string(ea.values.size()) + ": " + error_;
                    return;
                }
                if (got == -2)
                    break; // the server has no more to give
                next = got;
            }
        }
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

    // The typeless and typed full names of an entry's DN, read in one pass. An entry whose
    // naming value a sibling shares (`hints`) keeps its type in the typeless name: "OU=X".
    bool entryNames(std::string_view dn, Entry& out, const PageHints* hints) {
        if (!names::parseDn(dn, rdnScratch_) || rdnScratch_.empty())
            return false;
        for (std::size_t k = 0; k < rdnScratch_.size(); ++k) {
            const names::Rdn& rdn = rdnScratch_[k];
            if (k) {
                out.name.push_back('.');
                out.typedName.push_back('.');
            }
            if (k == 0 && hints && !hints->sharedValues.empty() &&
                hints->sharedValues.count(names::lowerAscii(rdn.value)))
                names::appendEscapedComponent(out.name, rdn.type + "=" + rdn.value);
            else
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
        if (!source_.bindDn.empty() && source_.sasl.empty()) {
            if (source_.passwordFile.empty())
                return fail(ERR_FAILED_AUTHENTICATION,
                            source_.name + ": a bind DN needs a PasswordFile= to read the "
                                           "password from");
            // As ssh refuses a private key others can read, a password file readable by others
            // than its owner is refused: the password is as good as known.
            struct stat st {};
            if (::stat(source_.passwordFile.c_str(), &st) == 0 &&
                (st.st_mode & (S_IRGRP | S_IROTH | S_IWGRP | S_IWOTH)) != 0) {
                char mode[8];
                std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
                return fail(ERR_FAILED_AUTHENTICATION,
                            source_.passwordFile +
                                ": the password file can be read by others "
                                "than its owner (permissions " +
                                std::string(mode) +
                                "); make it readable by its owner only (chmod 600)");
            }
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
        if (!source_.clientCertificate.empty() || !source_.clientKey.empty()) {
            // This connection's own TLS context, with the client certificate (SASL EXTERNAL);
            // the server's certificate is verified as for every connection. A new connection
            // starts without the process's CA settings (libldap keeps them for its shared
            // context only), so they are copied: without them no server could be trusted.
            for (int option : {LDAP_OPT_X_TLS_CACERTFILE, LDAP_OPT_X_TLS_CACERTDIR}) {
                char* value = nullptr;
                if (ldap_get_option(nullptr, option, &value) == LDAP_OPT_SUCCESS && value) {
                    ldap_set_option(ld, option, value);
                    ldap_memfree(value);
                }
            }
            ldap_set_option(ld, LDAP_OPT_X_TLS_CERTFILE, source_.clientCertificate.c_str());
            ldap_set_option(ld, LDAP_OPT_X_TLS_KEYFILE, source_.clientKey.c_str());
            int demand = LDAP_OPT_X_TLS_DEMAND;
            ldap_set_option(ld, LDAP_OPT_X_TLS_REQUIRE_CERT, &demand);
            int isServer = 0;
            ldap_set_option(ld, LDAP_OPT_X_TLS_NEWCTX, &isServer);
        }
        if (source_.startTls && source_.url.rfind("ldaps://", 0) != 0) {
            rc = ldap_start_tls_s(ld, nullptr, nullptr);
            if (rc != LDAP_SUCCESS)
                return fail(clientCode(rc, true),
                            source_.url + ": StartTLS failed: " + describe(ld, rc));
        }
        if (!source_.sasl.empty()) {
            // EXTERNAL: the identity of the connection (a client certificate, or the process's
            // user over ldapi://); GSSAPI: the user's Kerberos ticket. BindDN, when given, is
            // the identity asked for.
            rc = ldap_sasl_interactive_bind_s(
                ld, nullptr, source_.sasl.c_str(), nullptr, nullptr, LDAP_SASL_QUIET,
                [](LDAP*, unsigned, void* defaults, void* in) {
                    auto* authz = static_cast<const std::string*>(defaults);
                    for (auto* i = static_cast<sasl_interact_t*>(in); i->id != SASL_CB_LIST_END;
                         ++i) {
                        const char* v = i->id == SASL_CB_USER && !authz->empty() ? authz->c_str()
                                                                                 : i->defresult;
                        i->result = v ? v : "";
                        i->len =
                            static_cast<unsigned>(std::strlen(static_cast<const char*>(i->result)));
                    }
                    return LDAP_SUCCESS;
                },
                const_cast<std::string*>(&source_.bindDn));
            if (rc != LDAP_SUCCESS)
                return fail(clientCode(rc, true), source_.url + ": the SASL " + source_.sasl +
                                                      " bind failed: " + describe(ld, rc));
        } else if (!source_.bindDn.empty()) {
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
        activeDirectory_ = false;
        NWDSCCODE rc = searchAll(
            "", LDAP_SCOPE_BASE, "(objectClass=*)",
            {"namingContexts", "subschemaSubentry", "supportedCapabilities"}, [&](LDAPMessage* m) {
                collect(m, "namingContexts", contexts);
                std::vector<std::string> s;
                collect(m, "subschemaSubentry", s);
                if (!s.empty())
                    subschema_ = s.front();
                s.clear();
                collect(m, "supportedCapabilities", s);
                activeDirectory_ =
                    std::find(s.begin(), s.end(), kActiveDirectoryCapability) != s.end();
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
        classifyAttributes();
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
    std::string notice_; // the latest naming context found unreadable
    schema::Schema schema_;
    Mapper mapper_;
    bool schemaLoaded_ = false;
    std::string subschema_;
    bool activeDirectory_ = false; // the root entry names the Active Directory capability
    std::vector<Root> roots_;
    std::vector<std::string> namingAttrs_;
    std::unordered_map<std::string, std::string> nameCache_;
    std::vector<std::pair<std::string, int>> attrCache_;
    std::vector<names::Rdn> rdnScratch_;
    std::vector<std::string> unreadable_; // naming contexts found unreadable
    std::vector<ValueKind> kinds_;        // by attribute index
    std::vector<nuint32> syntax_;         // by attribute index: the syntax values are delivered in
    struct Ranged {
        std::size_t slot; // index in the entry's attributes
        int attribute;    // schema index
        long next;        // first value not yet read
    };
    std::vector<Ranged> ranged_;
    NWDSCCODE rangeFailure_ = 0; // the range reads of the last entry converted failed
    std::string rangeFailureText_;
    bool toldSubordinates_ = false; // the last entry converted said whether it has subordinates
};

NWDSCCODE LdapCursor::request() {
    LDAP* ld = conn_->ld;
    if (!conn_->alive)
        return ERR_TRANSPORT_FAILURE;
    LDAPControl* page = nullptr;
    int rc = LDAP_SUCCESS;
    if (!unpaged_) {
        berval cookieBv{static_cast<ber_len_t>(cookie_.size()), cookie_.data()};
        rc = ldap_create_page_control(ld, static_cast<ber_int_t>(b_.tuning().pageSize),
                                      cookie_.empty() ? nullptr : &cookieBv, 0, &page);
        if (rc != LDAP_SUCCESS)
            return ERR_NOT_ENOUGH_MEMORY;
    }
    LDAPControl* ctrls[] = {page, nullptr};
    const Job& job = jobs_[job_];
    rc = ldap_search_ext(ld, job.dn.c_str(), job.scope, filter_.c_str(), attrs_.get(), 0,
                         page ? ctrls : nullptr, nullptr, nullptr, 0, &msgid_);
    if (page)
        ldap_control_free(page);
    if (rc != LDAP_SUCCESS) {
        if (rc == LDAP_SERVER_DOWN || rc == LDAP_CONNECT_ERROR)
            b_.connectionLost(*conn_);
        failureText_ = describe(ld, rc);
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
    int got = ldap_result(ld, msgid_, unpaged_ ? LDAP_MSG_RECEIVED : LDAP_MSG_ALL, &tv, &res);
    if (got <= 0) {
        // No answer in time, or the connection is gone: either way this connection is done.
        int code = got == 0 ? LDAP_TIMEOUT : sessionCode(ld);
        failureText_ = got == 0 ? "the server did not answer within " +
                                      std::to_string(b_.tuning().resultTimeout) + " seconds"
                                : describe(ld, code == LDAP_SUCCESS ? LDAP_SERVER_DOWN : code);
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
    bool ended = false;
    std::string reason;
    for (LDAPMessage* m = at_; m; m = ldap_next_message(ld, m)) {
        if (ldap_msgtype(m) != LDAP_RES_SEARCH_RESULT)
            continue;
        ended = true;
        char* diag = nullptr;
        LDAPControl** ctrls = nullptr;
        if (ldap_parse_result(ld, m, &code, nullptr, &diag, nullptr, &ctrls, 0) != LDAP_SUCCESS)
            code = LDAP_DECODING_ERROR;
        if (code == LDAP_SUCCESS && ctrls && !unpaged_) {
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
        if (code != LDAP_SUCCESS)
            reason = describe(nullptr, code, diag);
        if (diag)
            ldap_memfree(diag);
        if (ctrls)
            ldap_controls_free(ctrls);
        break;
    }
    if (unpaged_ && !ended) {
        inFlight_ = true; // the entries that have arrived go out; the rest follows
        return 0;
    }
    if (unpaged_ && (code == LDAP_SIZELIMIT_EXCEEDED || code == LDAP_ADMINLIMIT_EXCEEDED ||
                     code == LDAP_TIMELIMIT_EXCEEDED)) {
        // The server limits what one search returns: once the entries of this last chunk are
        // out, the job starts again page by page.
        unpaged_ = false;
        pagedRestart_ = true;
        return 0;
    }
    if (code != LDAP_SUCCESS && fromRoot_ &&
        (code == LDAP_NO_SUCH_OBJECT || code == LDAP_INSUFFICIENT_ACCESS ||
         code == LDAP_UNWILLING_TO_PERFORM || code == LDAP_OPERATIONS_ERROR)) {
        // A naming context that cannot be read: said once, the others still go out.
        b_.noteUnreadable(jobs_[job_].dn, describe(ld, code));
        if (!wanted_.withAttributes && jobs_[job_].scope == LDAP_SCOPE_BASE)
            unreadable_ = jobs_[job_].dn;
        ++job_;
        jobStarted_ = false;
        return 0;
    }
    if (code != LDAP_SUCCESS) {
        // Entries of this page still go out; the failure follows them, with the server's
        // reason ("Size limit exceeded").
        failure_ = clientCode(code, false);
        failureText_ = std::move(reason);
        return 0;
    }
    if (!wanted_.withAttributes)
        learnPage();
    if (!cookie_.empty())
        return request();
    ++job_;
    jobStarted_ = false;
    return 0;
}

// Before a listed page goes out: which of its entries share a naming value, and, for a server
// that does not say whether an entry has subordinates, a one-level probe of each (sent all at
// once, then read).
void LdapCursor::learnPage() {
    LDAP* ld = conn_->ld;
    hints_.probed = false;
    hints_.withSubordinates.clear();
    hints_.sharedValues.clear();
    std::vector<std::string> dns;
    std::unordered_map<std::string, int> seen;
    bool told = false;
    for (LDAPMessage* m = ldap_first_entry(ld, page_); m; m = ldap_next_entry(ld, m)) {
        char* dn = ldap_get_dn(ld, m);
        if (!dn)
            continue;
        dns.emplace_back(dn);
        ldap_memfree(dn);
        std::vector<names::Rdn> rdns;
        if (names::parseDn(dns.back(), rdns) && !rdns.empty() &&
            ++seen[names::lowerAscii(rdns[0].value)] == 2)
            hints_.sharedValues.insert(names::lowerAscii(rdns[0].value));
        for (const char* a : {kHasSubordinates, kNumSubordinates}) {
            berval** v = ldap_get_values_len(ld, m, a);
            if (v) {
                told = true;
                ldap_value_free_len(v);
            }
        }
    }
    if (told || dns.empty())
        return;
    hints_.probed = true;
    char noAttrs[] = "1.1";
    char* attrs[] = {noAttrs, nullptr};
    std::vector<std::pair<int, std::size_t>> probes;
    for (std::size_t i = 0; i < dns.size(); ++i) {
        int id = -1;
        if (ldap_search_ext(ld, dns[i].c_str(), LDAP_SCOPE_ONELEVEL, "(objectClass=*)", attrs, 0,
                            nullptr, nullptr, nullptr, 1, &id) == LDAP_SUCCESS)
            probes.emplace_back(id, i);
    }
    for (const auto& [id, i] : probes) {
        timeval tv{b_.tuning().resultTimeout, 0};
        LDAPMessage* res = nullptr;
        if (ldap_result(ld, id, LDAP_MSG_ALL, &tv, &res) > 0 && ldap_first_entry(ld, res))
            hints_.withSubordinates.insert(dns[i]);
        if (res)
            ldap_msgfree(res);
    }
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
                if (unpaged_ || pagedRestart_ || !handedOut_.empty()) {
                    char* dn = ldap_get_dn(ld, m);
                    std::string key = dn ? dn : "";
                    if (dn)
                        ldap_memfree(dn);
                    if (unpaged_ || pagedRestart_)
                        handedOut_.insert(std::move(key));
                    else if (handedOut_.count(key))
                        continue;
                }
                b_.convert(ld, m, out, wanted_, wanted_.withAttributes ? nullptr : &hints_);
                if (NWDSCCODE rc = b_.takeRangeFailure(failureText_)) {
                    // An entry whose values the server stopped handing out does not go out
                    // cut short: the search fails with the server's reason.
                    failure_ = rc;
                    done_ = true;
                    return rc;
                }
                return 0;
            }
        }
        if (!unreadable_.empty()) {
            b_.unreadableEntry(unreadable_, out);
            unreadable_.clear();
            return 0;
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
        } else if (pagedRestart_) {
            pagedRestart_ = false;
            rc = request();
        } else if (job_ < jobs_.size() && !jobStarted_) {
            jobStarted_ = true;
            cookie_.clear();
            handedOut_.clear();
            unpaged_ = wanted_.withAttributes && b_.unpagedFirst();
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
