#include "normalize.h"

#include "names.h"
#include "schema_text.h"
#include "values.h"

#include <vector>

namespace kvx::client {

void NameMapper::appendName(std::string_view dn, std::string& out) const {
    if (!names::appendTypelessDn(dn, out))
        out += dn;
}

void NameMapper::appendClassName(std::string_view ldapName, std::string& out) const {
    std::string_view known = schema::wellKnownClassName(ldapName);
    out += known.empty() ? ldapName : known;
}

void NameMapper::appendAttributeName(std::string_view ldapName, std::string& out) const {
    std::string_view known = schema::wellKnownAttributeName(ldapName);
    out += known.empty() ? ldapName : known;
}

namespace {

// Splits at unescaped '#' (a backslash escapes the next character, as in DNs).
std::vector<std::string_view> splitHash(std::string_view s) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\') {
            ++i;
        } else if (s[i] == '#') {
            parts.push_back(s.substr(start, i - start));
            start = i + 1;
        }
    }
    parts.push_back(s.substr(start));
    return parts;
}

// Position of the n-th unescaped '#' from the start, or npos.
std::size_t hashAt(std::string_view s, int n) {
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\')
            ++i;
        else if (s[i] == '#' && n-- == 0)
            return i;
    }
    return std::string_view::npos;
}

std::size_t lastHash(std::string_view s) {
    std::size_t found = std::string_view::npos;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\')
            ++i;
        else if (s[i] == '#')
            found = i;
    }
    return found;
}

// A name inside a "#"-structured value: a "#" in it (from an escaped "\#" in the DN) is written
// "\#", so that it reads as part of the name and not as the next field.
void appendFieldName(const NameMapper& m, std::string_view dn, std::string& out) {
    const std::size_t start = out.size();
    m.appendName(dn, out);
    for (std::size_t i = start; i < out.size(); ++i) {
        if (out[i] == '\\')
            ++i;
        else if (out[i] == '#')
            out.insert(i++, 1, '\\');
    }
}

bool isDecimal(std::string_view s, bool allowMinus = false) {
    if (allowMinus && !s.empty() && s[0] == '-')
        s.remove_prefix(1);
    if (s.empty())
        return false;
    for (char c : s)
        if (c < '0' || c > '9')
            return false;
    return true;
}

bool isNumber32(std::string_view s) {
    if (!isDecimal(s, true))
        return false;
    bool neg = s[0] == '-';
    std::string_view digits = neg ? s.substr(1) : s;
    while (digits.size() > 1 && digits[0] == '0')
        digits.remove_prefix(1);
    if (digits.size() > 10)
        return false;
    unsigned long long v = 0;
    for (char c : digits)
        v = v * 10 + static_cast<unsigned>(c - '0');
    return neg ? v <= 2147483648ULL : v <= 4294967295ULL;
}

bool isHexOctets(std::string_view s) {
    if (s.size() % 2)
        return false;
    for (char c : s)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')))
            return false;
    return true;
}

bool isDn(std::string_view s) {
    return names::validDn(s);
}

bool twoDigits(std::string_view s, std::size_t at, int lo, int hi) {
    if (at + 2 > s.size() || s[at] < '0' || s[at] > '9' || s[at + 1] < '0' || s[at + 1] > '9')
        return false;
    int v = (s[at] - '0') * 10 + (s[at + 1] - '0');
    return v >= lo && v <= hi;
}

bool isGeneralizedTime(std::string_view s) {
    if (s.size() < 15 || !isDecimal(s.substr(0, 4)))
        return false;
    if (!twoDigits(s, 4, 1, 12) || !twoDigits(s, 6, 1, 31) || !twoDigits(s, 8, 0, 23) ||
        !twoDigits(s, 10, 0, 59) || !twoDigits(s, 12, 0, 60))
        return false;
    std::size_t i = 14;
    if (s[i] == '.' || s[i] == ',') {
        ++i;
        std::size_t start = i;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9')
            ++i;
        if (i == start)
            return false;
    }
    if (i < s.size() && s[i] == 'Z')
        return i + 1 == s.size();
    if (i < s.size() && (s[i] == '+' || s[i] == '-'))
        return i + 5 == s.size() && twoDigits(s, i + 1, 0, 23) && twoDigits(s, i + 3, 0, 59);
    return false;
}

bool fail(std::string* why, const char* text) {
    if (why)
        *why = text;
    return false;
}

} // namespace

void normalizeValue(nuint32 syntax, std::string_view v, const NameMapper& m, std::string& out) {
    out.clear();
    switch (syntax) {
    case SYN_DIST_NAME:
        m.appendName(v, out);
        return;
    case SYN_CLASS_NAME:
        m.appendClassName(v, out);
        return;
    case SYN_PATH:
    case SYN_REPLICA_POINTER: { // the first field is a DN
        std::size_t h = hashAt(v, 0);
        appendFieldName(m, v.substr(0, h), out);
        if (h != std::string_view::npos)
            out += v.substr(h);
        return;
    }
    case SYN_BACK_LINK:
    case SYN_HOLD: { // the second field is a DN
        std::size_t h = hashAt(v, 0);
        if (h == std::string_view::npos) {
            out += v;
            return;
        }
        out += v.substr(0, h + 1);
        appendFieldName(m, v.substr(h + 1), out);
        return;
    }
    case SYN_TYPED_NAME: { // object#level#interval: the DN is all before the last two fields
        std::size_t last = lastHash(v);
        std::size_t prev = last == std::string_view::npos ? last : lastHash(v.substr(0, last));
        if (prev == std::string_view::npos) {
            out += v;
            return;
        }
        appendFieldName(m, v.substr(0, prev), out);
        out += v.substr(prev);
        return;
    }
    case SYN_OBJECT_ACL: { // privileges#scope#subject#attribute
        std::size_t h2 = hashAt(v, 1);
        std::size_t last = lastHash(v);
        if (h2 == std::string_view::npos || last == h2) {
            out += v;
            return;
        }
        out += v.substr(0, h2 + 1);
        std::string_view subject = v.substr(h2 + 1, last - h2 - 1);
        std::string_view attr = v.substr(last + 1);
        if (!subject.empty() && subject[0] == '[')
            out += subject;
        else
            appendFieldName(m, subject, out);
        out.push_back('#');
        if (!attr.empty() && attr[0] == '[')
            out += attr;
        else
            m.appendAttributeName(attr, out);
        return;
    }
    default:
        out += v;
        return;
    }
}

std::string normalizeValue(nuint32 syntax, std::string_view stored, const NameMapper& mapper) {
    std::string out;
    normalizeValue(syntax, stored, mapper, out);
    return out;
}

bool checkStoredValue(nuint32 syntax, std::string_view v, std::string* why) {
    switch (syntax) {
    case SYN_DIST_NAME:
        return isDn(v) || fail(why, "not a distinguished name");
    case SYN_CLASS_NAME:
        return !v.empty() || fail(why, "empty class name");
    case SYN_BOOLEAN:
        return names::equalNoCase(v, "TRUE") || names::equalNoCase(v, "FALSE") ||
               fail(why, "not TRUE or FALSE");
    case SYN_INTEGER:
    case SYN_COUNTER:
    case SYN_INTERVAL:
        return validValue(syntax, v, why); // 64-bit numbers, as the layout holds them
    case SYN_TIME:
        return isGeneralizedTime(v) || fail(why, "not a generalized time");
    case SYN_NET_ADDRESS: {
        auto f = splitHash(v);
        return (f.size() == 2 && isNumber32(f[0]) && isHexOctets(f[1])) ||
               fail(why, "not \"type#hexoctets\"");
    }
    case SYN_OCTET_LIST: {
        std::size_t start = 0;
        while (true) {
            std::size_t d = v.find('$', start);
            if (!isHexOctets(v.substr(start, d == std::string_view::npos ? d : d - start)))
                return fail(why, "not hex octet strings separated by \"$\"");
            if (d == std::string_view::npos)
                return true;
            start = d + 1;
        }
    }
    case SYN_EMAIL_ADDRESS: {
        std::size_t h = hashAt(v, 0);
        return (h != std::string_view::npos && isNumber32(v.substr(0, h))) ||
               fail(why, "not \"type#address\"");
    }
    case SYN_PATH: {
        std::size_t h1 = hashAt(v, 0), h2 = hashAt(v, 1);
        return (h2 != std::string_view::npos && isDn(v.substr(0, h1)) &&
                isNumber32(v.substr(h1 + 1, h2 - h1 - 1))) ||
               fail(why, "not \"volume#namespace#path\"");
    }
    case SYN_REPLICA_POINTER: {
        auto f = splitHash(v);
        if (f.size() < 4 || (f.size() - 4) % 2 || !isDn(f[0]) || !isNumber32(f[1]) ||
            !isNumber32(f[2]) || !isNumber32(f[3]))
            return fail(why, "not \"server#type#number#count[#addrtype#hexoctets...]\"");
        for (std::size_t k = 4; k < f.size(); k += 2)
            if (!isNumber32(f[k]) || !isHexOctets(f[k + 1]))
                return fail(why, "bad address hint in a replica pointer");
        return true;
    }
    case SYN_OBJECT_ACL: {
        std::size_t h1 = hashAt(v, 0), h2 = hashAt(v, 1), last = lastHash(v);
        if (h2 == std::string_view::npos || last == h2)
            return fail(why, "not \"privileges#scope#subject#attribute\"");
        std::string_view scope = v.substr(h1 + 1, h2 - h1 - 1);
        std::string_view subject = v.substr(h2 + 1, last - h2 - 1);
        std::string_view attr = v.substr(last + 1);
        if (!isNumber32(v.substr(0, h1)))
            return fail(why, "ACL privileges are not a number");
        if (!names::equalNoCase(scope, "entry") && !names::equalNoCase(scope, "subtree") &&
            !isNumber32(scope))
            return fail(why, "ACL scope is not entry, subtree or a number");
        bool special = subject.size() >= 2 && subject.front() == '[' && subject.back() == ']';
        if (!special && !isDn(subject))
            return fail(why, "ACL subject is not a DN or a bracketed name");
        if (attr.empty())
            return fail(why, "ACL has no protected attribute");
        return true;
    }
    case SYN_TIMESTAMP: {
        auto f = splitHash(v);
        return (f.size() == 3 && isNumber32(f[0]) && isNumber32(f[1]) && isNumber32(f[2])) ||
               fail(why, "not \"seconds#replica#event\"");
    }
    case SYN_BACK_LINK:
    case SYN_HOLD: {
        std::size_t h = hashAt(v, 0);
        return (h != std::string_view::npos && isNumber32(v.substr(0, h)) &&
                isDn(v.substr(h + 1))) ||
               fail(why, syntax == SYN_HOLD ? "not \"amount#object\"" : "not \"remoteID#object\"");
    }
    case SYN_TYPED_NAME: {
        std::size_t last = lastHash(v);
        std::size_t prev = last == std::string_view::npos ? last : lastHash(v.substr(0, last));
        return (prev != std::string_view::npos && isDn(v.substr(0, prev)) &&
                isNumber32(v.substr(prev + 1, last - prev - 1)) &&
                isNumber32(v.substr(last + 1))) ||
               fail(why, "not \"object#level#interval\"");
    }
    default:
        return true;
    }
}

} // namespace kvx::client
