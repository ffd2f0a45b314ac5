#include "ldap_filter.h"

#include "../names.h"
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

void append(std::string& out, const FilterNode& f, const schema::Schema& schema,
            const DnOfName& dnOf) {
    using K = FilterNode::Kind;
    if (f.kind == K::And || f.kind == K::Or || f.kind == K::Not) {
        out += f.kind == K::And ? "(&" : f.kind == K::Or ? "(|" : "(!";
        for (const FilterNode& c : f.children)
            append(out, c, schema, dnOf);
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
                           const DnOfName& dnOf) {
    std::string out;
    append(out, filter, schema, dnOf);
    return out;
}

} // namespace kvx::client::ldapbk
