#include "ldap_filter.h"

#include "../names.h"
#include "../values.h"
#include "ldap_support.h"

namespace kvx::client::ldapbk {

namespace {

const char* kMatchesNothing = "(!(objectClass=*))";

bool isDescriptor(std::string_view s) {
    if (s.empty() || !((s[0] >= 'a' && s[0] <= 'z') || (s[0] >= 'A' && s[0] <= 'Z')))
        return false;
    for (char c : s)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '-'))
            return false;
    return true;
}

template <class Def> std::string ldapName(const Def& d) {
    return d.names.empty() ? d.oid : d.names.front();
}

// An equality or ordering item on a 64-bit time attribute (Active Directory's pwdLastSet,
// lastLogonTimestamp, accountExpires, ...) whose value is written as a Generalized Time
// ("20260901000000Z"): the server compares counts of 100 ns units since 1601, so the date
// becomes that count. The values shown as no date stay out of an ordering, as their cells are
// empty: 0 (not set) and 9223372036854775807 ("never"). False when the value is not a
// Generalized Time (a count written as such goes to the server as it is).
bool fileTimeItem(const std::string& attr, const FilterNode& f, std::string& out) {
    using K = FilterNode::Kind;
    if (f.kind != K::Equal && f.kind != K::GreaterOrEqual && f.kind != K::LessOrEqual)
        return false;
    if (!f.rule.empty())
        return false;
    std::size_t b = f.value.find_first_not_of(' '), e = f.value.find_last_not_of(' ');
    nuint32 seconds = 0;
    if (b == std::string::npos ||
        !parseGeneralizedTime(std::string_view(f.value).substr(b, e - b + 1), &seconds))
        return false;
    constexpr std::uint64_t kSeconds1601To1970 = 11644473600ULL;
    const std::string count =
        std::to_string((static_cast<std::uint64_t>(seconds) + kSeconds1601To1970) * 10000000ULL);
    if (f.kind == K::Equal) {
        out += "(" + attr + "=" + count + ")";
    } else if (f.kind == K::LessOrEqual) {
        out += "(&(" + attr + "<=" + count + ")(!(" + attr + "=0)))";
    } else {
        out += "(&(" + attr + ">=" + count + ")(!(" + attr + "=9223372036854775807)))";
    }
    return true;
}

void append(std::string& out, const FilterNode& f, const schema::Schema& schema,
            const DnOfName& dnOf, const IsFileTime& isFileTime) {
    using K = FilterNode::Kind;
    if (f.kind == K::And || f.kind == K::Or || f.kind == K::Not) {
        out += f.kind == K::And ? "(&" : f.kind == K::Or ? "(|" : "(!";
        for (const FilterNode& c : f.children)
            append(out, c, schema, dnOf, isFileTime);
        out += ")";
        return;
    }
    const int a = schema.findAttribute(f.attribute);
    nuint32 syntax = SYN_UNKNOWN;
    std::string attr;
    if (a >= 0) {
        attr = ldapName(schema.attributes()[a]);
        syntax = schema.attributes()[a].syntax;
    } else {
        // Unknown to the schema: a name the server may read as an unknown attribute type.
        attr = isDescriptor(f.attribute) ? f.attribute : "kvxUnknownAttribute";
    }
    if (a >= 0 && isFileTime && isFileTime(a) && fileTimeItem(attr, f, out))
        return;
    auto value = [&](const std::string& v, bool& none) {
        none = false;
        if (a < 0)
            return escapeFilterValue(v);
        if (syntax == SYN_DIST_NAME) {
            std::string dn;
            if (v.find('=') != std::string::npos && names::validDn(v))
                return escapeFilterValue(v);
            if (!dnOf(v.size() && v[0] == '.' ? v.substr(1) : v, dn)) {
                none = true;
                return std::string();
            }
            return escapeFilterValue(dn);
        }
        if (syntax == SYN_CLASS_NAME) {
            const int c = schema.findClass(v);
            return escapeFilterValue(c >= 0 ? ldapName(schema.classes()[c]) : v);
        }
        if (syntax == SYN_BOOLEAN) {
            std::string up(v);
            for (char& ch : up)
                ch = (ch >= 'a' && ch <= 'z') ? char(ch - 'a' + 'A') : ch;
            const std::size_t b = up.find_first_not_of(' '), e = up.find_last_not_of(' ');
            return escapeFilterValue(b == std::string::npos ? up : up.substr(b, e - b + 1));
        }
        return escapeFilterValue(v);
    };
    std::string item = "(" + attr;
    bool none = false;
    switch (f.kind) {
    case K::Present:
        item += "=*";
        break;
    case K::Substrings:
        item += "=";
        for (std::size_t i = 0; i < f.parts.size(); ++i) {
            if (i)
                item += "*";
            item += escapeFilterValue(f.parts[i]);
        }
        break;
    default:
        item += f.kind == K::GreaterOrEqual ? ">="
                : f.kind == K::LessOrEqual  ? "<="
                : f.kind == K::Approx       ? "~="
                : !f.rule.empty()           ? ":" + f.rule + ":="
                                            : "=";
        item += value(f.value, none);
        break;
    }
    out += none ? std::string(kMatchesNothing) : item + ")";
}

} // namespace

std::string ldapFilterText(const FilterNode& filter, const schema::Schema& schema,
                           const DnOfName& dnOf, const IsFileTime& isFileTime) {
    std::string out;
    append(out, filter, schema, dnOf, isFileTime);
    return out;
}

} // namespace kvx::client::ldapbk
