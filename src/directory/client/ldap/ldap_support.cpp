#include "ldap_support.h"

#include "../names.h"

#include <ldap.h>

#include <cstdint>
#include <cstdio>
#include <unordered_set>
#include <utility>

namespace kvx::client::ldapbk {

NWDSCCODE clientCode(int code, bool connecting) {
    switch (code) {
    case LDAP_SUCCESS:
        return 0;
    case LDAP_NO_SUCH_OBJECT:
        return ERR_NO_SUCH_ENTRY;
    case LDAP_NO_SUCH_ATTRIBUTE:
        return ERR_NO_SUCH_ATTRIBUTE;
    case LDAP_INSUFFICIENT_ACCESS:
    case LDAP_CONFIDENTIALITY_REQUIRED:
        return ERR_NO_ACCESS;
    case LDAP_INVALID_CREDENTIALS:
    case LDAP_INAPPROPRIATE_AUTH:
    case LDAP_STRONG_AUTH_REQUIRED:
    case LDAP_AUTH_UNKNOWN:
    case LDAP_AUTH_METHOD_NOT_SUPPORTED:
        return ERR_FAILED_AUTHENTICATION;
    case LDAP_SIZELIMIT_EXCEEDED:
    case LDAP_ADMINLIMIT_EXCEEDED:
        return ERR_SIZE_LIMIT_EXCEEDED;
    case LDAP_TIMELIMIT_EXCEEDED:
        return ERR_TIME_LIMIT_EXCEEDED;
    case LDAP_INVALID_DN_SYNTAX:
    case LDAP_NAMING_VIOLATION:
        return ERR_INVALID_OBJECT_NAME;
    case LDAP_REFERRAL:
    case LDAP_PARTIAL_RESULTS:
        return ERR_ALL_REFERRALS_FAILED;
    case LDAP_UNWILLING_TO_PERFORM:
    case LDAP_PROTOCOL_ERROR:
    case LDAP_FILTER_ERROR:
    case LDAP_UNAVAILABLE_CRITICAL_EXTENSION:
    case LDAP_INAPPROPRIATE_MATCHING:
    case LDAP_UNDEFINED_TYPE:
        return ERR_INVALID_REQUEST;
    case LDAP_NO_MEMORY:
        return ERR_NOT_ENOUGH_MEMORY;
    case LDAP_BUSY:
    case LDAP_UNAVAILABLE:
    case LDAP_CONNECT_ERROR:
        return ERR_UNREACHABLE_SERVER;
    case LDAP_SERVER_DOWN:
    case LDAP_TIMEOUT:
        return connecting ? ERR_UNREACHABLE_SERVER : ERR_TRANSPORT_FAILURE;
    case LDAP_DECODING_ERROR:
    case LDAP_ENCODING_ERROR:
    case LDAP_LOCAL_ERROR:
        return ERR_TRANSPORT_FAILURE;
    default:
        return ERR_SYSTEM_FAILURE;
    }
}

std::string escapeFilterValue(std::string_view value) {
    static const char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        if (c == '*' || c == '(' || c == ')' || c == '\\' || c == '\0') {
            const auto u = static_cast<unsigned char>(c);
            out.push_back('\\');
            out.push_back(hex[u >> 4]);
            out.push_back(hex[u & 15]);
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::string namingFilter(const std::vector<std::string>& namingAttributes, std::string_view value) {
    const std::string v = escapeFilterValue(value);
    std::string out = "(|";
    for (const std::string& a : namingAttributes)
        out += "(" + a + "=" + v + ")";
    out += ")";
    return out;
}

bool appendSidText(std::string_view b, std::string& out) {
    // revision, count of sub-authorities, 48-bit authority (big-endian), sub-authorities
    // (32-bit little-endian each).
    if (b.size() < 8)
        return false;
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(b[i]); };
    const std::size_t count = byte(1);
    if (byte(0) != 1 || b.size() != 8 + 4 * count)
        return false;
    std::uint64_t authority = 0;
    for (std::size_t i = 2; i < 8; ++i)
        authority = authority << 8 | byte(i);
    out += "S-1-";
    out += std::to_string(authority);
    for (std::size_t k = 0; k < count; ++k) {
        const std::size_t at = 8 + 4 * k;
        const std::uint32_t sub = byte(at) | byte(at + 1) << 8 | byte(at + 2) << 16 |
                                  static_cast<std::uint32_t>(byte(at + 3)) << 24;
        out += '-';
        out += std::to_string(sub);
    }
    return true;
}

bool appendGuidText(std::string_view b, std::string& out) {
    if (b.size() != 16)
        return false;
    static const char hex[] = "0123456789ABCDEF";
    // Data1, Data2 and Data3 are stored little-endian; the last eight bytes in order.
    static constexpr int order[] = {3,  2, 1, 0,  -1, 5,  4,  -1, 7,  6,
                                    -1, 8, 9, -1, 10, 11, 12, 13, 14, 15};
    out += '{';
    for (int i : order) {
        if (i < 0) {
            out += '-';
            continue;
        }
        const auto c = static_cast<unsigned char>(b[static_cast<std::size_t>(i)]);
        out += hex[c >> 4];
        out += hex[c & 15];
    }
    out += '}';
    return true;
}

namespace {

void appendTwo(std::string& out, long v) {
    out += static_cast<char>('0' + v / 10 % 10);
    out += static_cast<char>('0' + v % 10);
}

// Civil date of a day count since 1970-01-01 (proleptic Gregorian).
void civilFromDays(long long z, long& y, long& m, long& d) {
    z += 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const long long doe = z - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153;
    d = static_cast<long>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<long>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<long>(yoe + era * 400 + (m <= 2 ? 1 : 0));
}

// Unsigned decimal digits of at most `maxDigits`; false for anything else.
bool readDecimal(std::string_view text, std::size_t maxDigits, std::uint64_t& v) {
    if (text.empty() || text.size() > maxDigits)
        return false;
    v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + static_cast<unsigned>(c - '0');
    }
    return true;
}

} // namespace

bool appendFileTimeAsGeneralized(std::string_view text, std::string& out) {
    std::uint64_t v = 0;
    if (!readDecimal(text, 19, v))
        return false;
    constexpr std::uint64_t epochDiff = 11644473600ULL; // seconds from 1601 to 1970
    const std::uint64_t seconds1601 = v / 10000000ULL;
    if (v == 0 || v >= 9223372036854775807ULL || seconds1601 < epochDiff ||
        seconds1601 - epochDiff > 4294967295ULL)
        return false;
    const long long t = static_cast<long long>(seconds1601 - epochDiff);
    long y = 0, m = 0, d = 0;
    civilFromDays(t / 86400, y, m, d);
    const long secs = static_cast<long>(t % 86400);
    appendTwo(out, y / 100);
    appendTwo(out, y % 100);
    appendTwo(out, m);
    appendTwo(out, d);
    appendTwo(out, secs / 3600);
    appendTwo(out, secs / 60 % 60);
    appendTwo(out, secs % 60);
    out += 'Z';
    return true;
}

bool appendUtcAsGeneralized(std::string_view utc, std::string& out) {
    if (utc.size() < 11 || utc[0] < '0' || utc[0] > '9' || utc[1] < '0' || utc[1] > '9')
        return false;
    const int yy = (utc[0] - '0') * 10 + (utc[1] - '0');
    out += yy < 50 ? "20" : "19";
    out += utc;
    return true;
}

bool appendAccountControlText(std::string_view text, std::string& out) {
    std::uint64_t v = 0;
    if (!readDecimal(text, 10, v) || v > 0xFFFFFFFFu)
        return false;
    static constexpr std::pair<std::uint32_t, const char*> flags[] = {
        {0x1, "SCRIPT"},
        {0x2, "ACCOUNTDISABLE"},
        {0x8, "HOMEDIR_REQUIRED"},
        {0x10, "LOCKOUT"},
        {0x20, "PASSWD_NOTREQD"},
        {0x40, "PASSWD_CANT_CHANGE"},
        {0x80, "ENCRYPTED_TEXT_PWD_ALLOWED"},
        {0x100, "TEMP_DUPLICATE_ACCOUNT"},
        {0x200, "NORMAL_ACCOUNT"},
        {0x800, "INTERDOMAIN_TRUST_ACCOUNT"},
        {0x1000, "WORKSTATION_TRUST_ACCOUNT"},
        {0x2000, "SERVER_TRUST_ACCOUNT"},
        {0x10000, "DONT_EXPIRE_PASSWORD"},
        {0x20000, "MNS_LOGON_ACCOUNT"},
        {0x40000, "SMARTCARD_REQUIRED"},
        {0x80000, "TRUSTED_FOR_DELEGATION"},
        {0x100000, "NOT_DELEGATED"},
        {0x200000, "USE_DES_KEY_ONLY"},
        {0x400000, "DONT_REQ_PREAUTH"},
        {0x800000, "PASSWORD_EXPIRED"},
        {0x1000000, "TRUSTED_TO_AUTH_FOR_DELEGATION"},
        {0x4000000, "PARTIAL_SECRETS_ACCOUNT"},
    };
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%X", static_cast<unsigned>(v));
    out += hex;
    const std::size_t start = out.size();
    for (const auto& [bit, name] : flags) {
        if ((v & bit) == 0)
            continue;
        out += out.size() == start ? " = ( " : " | ";
        out += name;
    }
    if (out.size() != start)
        out += " )";
    return true;
}

bool rangeOption(std::string_view description, long& first, long& last) {
    std::size_t at = 0;
    while ((at = description.find(';', at)) != std::string_view::npos) {
        ++at;
        std::string_view option = description.substr(at, description.find(';', at) - at);
        if (option.size() < 8 || !names::equalNoCase(option.substr(0, 6), "range="))
            continue;
        option.remove_prefix(6);
        const std::size_t dash = option.find('-');
        if (dash == std::string_view::npos || dash == 0)
            return false;
        auto number = [](std::string_view s, long& v) {
            std::uint64_t n = 0;
            if (!readDecimal(s, 9, n))
                return false;
            v = static_cast<long>(n);
            return true;
        };
        if (!number(option.substr(0, dash), first))
            return false;
        const std::string_view tail = option.substr(dash + 1);
        if (tail == "*") {
            last = -1;
            return true;
        }
        return number(tail, last);
    }
    return false;
}

std::string_view stripOptions(std::string_view description) {
    return description.substr(0, description.find(';'));
}

namespace {

// The server's own configuration schema (OpenLDAP's cn=config): not directory data.
bool serverConfigurationOid(std::string_view oid) {
    constexpr std::string_view arc = "1.3.6.1.4.1.4203.1.12.2";
    return oid.size() > arc.size() && oid.substr(0, arc.size()) == arc && oid[arc.size()] == '.';
}

// Keys under which a definition can be found: OID, LDAP names, NDS name (lower case).
struct Keys {
    std::unordered_set<std::string> taken;
    bool free(const std::string& k) const { return !taken.count(names::lowerAscii(k)); }
    void take(const std::string& k) { taken.insert(names::lowerAscii(k)); }
};

template <class Def, class WellKnown>
bool claimNames(Def& d, Keys& keys, WellKnown wellKnown, std::string& note) {
    if (!keys.free(d.oid))
        return false;
    std::vector<std::string> ldapNames;
    for (const std::string& n : d.names)
        if (keys.free(n))
            ldapNames.push_back(n);
    if (ldapNames.size() != d.names.size())
        note = "a name of " + d.oid + " is taken by another definition";
    d.names = ldapNames;
    // NDS name: its own extension, the well-known table, the LDAP name, the OID: the first
    // that no other definition has.
    std::vector<std::string> choices;
    if (!d.ndsName.empty())
        choices.push_back(d.ndsName);
    if (!d.names.empty()) {
        std::string_view known = wellKnown(d.names[0]);
        if (!known.empty())
            choices.emplace_back(known);
        choices.push_back(d.names[0]);
    }
    choices.push_back(d.oid);
    std::string chosen;
    for (const std::string& c : choices) {
        // A definition may keep a key it holds itself (the NDS name equal to its LDAP name).
        bool own = names::equalNoCase(c, d.oid);
        for (const std::string& n : d.names)
            own = own || names::equalNoCase(c, n);
        if (own || keys.free(c)) {
            chosen = c;
            break;
        }
    }
    if (chosen.empty())
        return false;
    if (!d.ndsName.empty() && chosen != d.ndsName)
        note = "the NDS name \"" + d.ndsName + "\" of " + d.oid + " is taken; it is \"" + chosen +
               "\" here";
    d.ndsName = chosen;
    keys.take(d.oid);
    for (const std::string& n : d.names)
        keys.take(n);
    keys.take(d.ndsName);
    return true;
}

// The client's own copy of the standard definitions, which carries the NDS extensions (naming
// attributes, containment, NDS names) that a server's standard schema does not.
const schema::Schema& builtinStandardSchema() {
    static const schema::Schema built = [] {
        schema::Schema s;
        std::string error;
        if (s.loadText(schema::builtinCoreSchema(), "builtin core schema", error))
            s.resolve(error);
        return s;
    }();
    return built;
}

// Fills in the NDS extensions of a standard definition that the server hands out without them.
void addStandardExtensions(schema::AttributeTypeDef& d) {
    const schema::Schema& core = builtinStandardSchema();
    int k = core.findAttribute(d.oid);
    if (k < 0 || core.attributes()[k].oid != d.oid)
        return;
    const auto& b = core.attributes()[k];
    if (d.ndsName.empty())
        d.ndsName = b.ndsName;
    if (d.ndsSyntaxExt < 0)
        d.ndsSyntaxExt = b.ndsSyntaxExt;
}

void addStandardExtensions(schema::ObjectClassDef& d) {
    const schema::Schema& core = builtinStandardSchema();
    int k = core.findClass(d.oid);
    if (k < 0 || core.classes()[k].oid != d.oid)
        return;
    const auto& b = core.classes()[k];
    if (d.ndsName.empty())
        d.ndsName = b.ndsName;
    if (d.naming.empty())
        d.naming = b.naming;
    if (d.containment.empty())
        d.containment = b.containment;
    d.containerExt = d.containerExt || b.containerExt;
}

} // namespace

bool buildSchema(const std::vector<std::string>& attributeTypes,
                 const std::vector<std::string>& objectClasses, schema::Schema& out,
                 std::string& error, std::vector<std::string>* notes) {
    auto noteThat = [&](const std::string& text) {
        if (notes)
            notes->push_back(text);
    };
    std::string why;

    // Attribute types: parse, then keep those whose SUP chain reaches known types.
    std::vector<schema::AttributeTypeDef> attrs;
    for (std::size_t i = 0; i < attributeTypes.size(); ++i) {
        schema::AttributeTypeDef d;
        if (!schema::parseAttributeType(attributeTypes[i], d, why)) {
            noteThat("attribute type left out (" + why + "): " + attributeTypes[i]);
            continue;
        }
        if (serverConfigurationOid(d.oid))
            continue;
        addStandardExtensions(d);
        d.file = "subschema attributeTypes";
        d.line = i + 1;
        attrs.push_back(std::move(d));
    }
    std::vector<schema::ObjectClassDef> classes;
    for (std::size_t i = 0; i < objectClasses.size(); ++i) {
        schema::ObjectClassDef d;
        if (!schema::parseObjectClass(objectClasses[i], d, why)) {
            noteThat("object class left out (" + why + "): " + objectClasses[i]);
            continue;
        }
        if (serverConfigurationOid(d.oid))
            continue;
        addStandardExtensions(d);
        d.file = "subschema objectClasses";
        d.line = i + 1;
        classes.push_back(std::move(d));
    }

    // Names: every key names one definition.
    Keys attrKeys;
    std::vector<schema::AttributeTypeDef> keptAttrs;
    for (auto& d : attrs) {
        std::string note;
        if (!claimNames(d, attrKeys, schema::wellKnownAttributeName, note)) {
            noteThat("attribute type " + d.oid + " left out: its OID or names are taken");
            continue;
        }
        if (!note.empty())
            noteThat(note);
        keptAttrs.push_back(std::move(d));
    }
    // Classes and attribute types are looked up apart; only an OID may not be shared.
    Keys classKeys;
    for (const auto& a : keptAttrs)
        classKeys.take(a.oid);
    std::vector<schema::ObjectClassDef> keptClasses;
    for (auto& d : classes) {
        std::string note;
        if (!claimNames(d, classKeys, schema::wellKnownClassName, note)) {
            noteThat("object class " + d.oid + " left out: its OID or names are taken");
            continue;
        }
        if (!note.empty())
            noteThat(note);
        keptClasses.push_back(std::move(d));
    }

    // SUP references: drop what refers to something unknown, pass after pass until nothing
    // changes (a removal can orphan what derives from it). Names are looked up in sets, so a
    // server with thousands of definitions is read quickly.
    auto keysOf = [](const auto& defs) {
        std::unordered_set<std::string> keys;
        for (const auto& d : defs) {
            keys.insert(names::lowerAscii(d.oid));
            keys.insert(names::lowerAscii(d.ndsName));
            for (const auto& n : d.names)
                keys.insert(names::lowerAscii(n));
        }
        return keys;
    };
    std::unordered_set<std::string> attrNames = keysOf(keptAttrs);
    for (bool changed = true; changed;) {
        changed = false;
        std::vector<schema::AttributeTypeDef> next;
        for (auto& a : keptAttrs) {
            if (!a.sup.empty() && !attrNames.count(names::lowerAscii(a.sup))) {
                noteThat("attribute type " + a.oid + " left out: unknown SUP \"" + a.sup + "\"");
                changed = true;
            } else {
                next.push_back(std::move(a));
            }
        }
        keptAttrs = std::move(next);
        if (changed)
            attrNames = keysOf(keptAttrs);
    }
    std::unordered_set<std::string> classNames = keysOf(keptClasses);
    for (bool changed = true; changed;) {
        changed = false;
        std::vector<schema::ObjectClassDef> next;
        for (auto& c : keptClasses) {
            std::string missing;
            for (const auto& sup : c.sups)
                if (missing.empty() && !classNames.count(names::lowerAscii(sup)))
                    missing = sup;
            if (!missing.empty()) {
                noteThat("object class " + c.oid + " left out: unknown SUP \"" + missing + "\"");
                changed = true;
            } else {
                next.push_back(std::move(c));
            }
        }
        keptClasses = std::move(next);
        if (changed)
            classNames = keysOf(keptClasses);
    }
    for (auto& c : keptClasses) {
        for (auto* list : {&c.must, &c.may, &c.naming}) {
            std::vector<std::string> kept;
            for (const auto& a : *list) {
                if (attrNames.count(names::lowerAscii(a)))
                    kept.push_back(a);
                else
                    noteThat("object class " + c.ndsName + ": unknown attribute type \"" + a +
                             "\" dropped from its lists");
            }
            *list = std::move(kept);
        }
        std::vector<std::string> containment;
        for (const auto& k : c.containment)
            if (classNames.count(names::lowerAscii(k)))
                containment.push_back(k);
        c.containment = std::move(containment);
    }

    out = schema::Schema();
    for (auto& a : keptAttrs)
        out.addAttributeType(std::move(a));
    for (auto& c : keptClasses)
        out.addObjectClass(std::move(c));
    return out.resolve(error);
}

} // namespace kvx::client::ldapbk
