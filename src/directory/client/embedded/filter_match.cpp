#include "filter_match.h"

#include "../filter_check.h"
#include "../matching.h"
#include "../names.h"

#include <cerrno>
#include <cstdlib>

namespace kvx::client::embedded {

namespace {

using matching::Rule;

enum class Truth { False, True, Undefined };

// A DN's prepared form: each component's type as its attribute's OID and its value prepared by
// that attribute's equality rule. False when it does not read or names an unknown type.
bool prepareDn(std::string_view dn, const schema::Schema& schema, std::string& out) {
    std::vector<names::Rdn> rdns;
    if (!names::parseDn(dn, rdns) || rdns.empty())
        return false;
    out.clear();
    std::string value;
    for (const names::Rdn& rdn : rdns) {
        const int a = schema.findAttribute(rdn.type);
        Rule rule = Rule::CaseIgnore;
        if (a >= 0) {
            rule = matching::ruleOf(schema.attributes()[a].equality);
            if (!matching::textual(rule) && rule != Rule::Integer && rule != Rule::Time &&
                rule != Rule::Boolean)
                rule = Rule::CaseIgnore;
            out += schema.attributes()[a].oid;
        } else if (rdn.type.find('+') != std::string::npos) {
            out += names::lowerAscii(rdn.type); // several values: compared as written
        } else {
            return false;
        }
        if (!matching::prepare(rule, rdn.value, value))
            return false;
        out.push_back('\x01');
        out += value;
        out.push_back('\x02');
    }
    return true;
}

// The name keys of the components of a dotted name, or of a DN's values (`dn`).
bool componentKeys(std::string_view name, bool dn, std::vector<std::string>& out) {
    out.clear();
    if (dn) {
        std::vector<names::Rdn> rdns;
        if (!names::parseDn(name, rdns))
            return false;
        for (const names::Rdn& r : rdns) {
            out.emplace_back();
            matching::nameKey(r.value, out.back());
        }
        return true;
    }
    for (const std::string& c : names::splitName(name)) {
        out.emplace_back();
        matching::nameKey(c, out.back());
    }
    return !out.empty();
}

bool readNumber(std::string_view v, long long& out) {
    std::string s(v);
    if (s.empty() || (s[0] != '-' && (s[0] < '0' || s[0] > '9')))
        return false;
    char* end = nullptr;
    errno = 0;
    out = std::strtoll(s.c_str(), &end, 10);
    return errno == 0 && *end == '\0';
}

} // namespace

struct FilterMatcher::Item {
    std::vector<int> attributes;    // the attribute and its subtypes
    std::vector<std::string> names; // their NDS names, as entries carry them
    Rule rule = Rule::None;
    bool valid = false;             // the item can be evaluated
    std::string key;                // the prepared assertion
    std::vector<std::string> parts; // substrings; a dotted name's component keys
    bool dottedName = false;        // Name: the assertion is a dotted name, not a DN
    int cls = -1;                   // Class: the asserted class (-1: an unknown OID, never true)
    long long number = 0;
    int bitwise = 0; // Active Directory's bitwise rules: 1 every bit of the value, 2 any bit
};

struct FilterMatcher::Node {
    FilterNode::Kind kind = FilterNode::Kind::Equal;
    std::vector<Node> children;
    Item item;
};

namespace {

void compile(const FilterNode& f, const schema::Schema& schema, FilterMatcher::Item& item) {
    const int a = schema.findAttribute(f.attribute);
    if (a < 0)
        return;
    const auto& attrs = schema.attributes();
    // The attribute and every attribute whose SUP chain reaches it.
    for (int i = 0; i < static_cast<int>(attrs.size()); ++i) {
        int k = i;
        for (int depth = 0; k >= 0 && k != a && depth < 256; ++depth)
            k = attrs[k].sup.empty() ? -1 : schema.findAttribute(attrs[k].sup);
        if (k == a) {
            item.attributes.push_back(i);
            item.names.push_back(attrs[i].ndsName);
        }
    }
    const auto& def = attrs[a];
    item.rule = itemRule(f, def);
    using K = FilterNode::Kind;
    switch (f.kind) {
    case K::Present:
        item.valid = true;
        return;
    case K::Substrings: {
        if (!matching::textual(item.rule) || f.parts.size() < 2)
            return;
        item.valid = true;
        for (std::size_t i = 0; i < f.parts.size(); ++i) {
            const auto where = i == 0                    ? matching::Piece::Initial
                               : i + 1 == f.parts.size() ? matching::Piece::Final
                                                         : matching::Piece::Any;
            item.parts.emplace_back();
            item.valid = item.valid && matching::prepareSubstring(item.rule, f.parts[i], where,
                                                                  item.parts.back());
        }
        return;
    }
    case K::GreaterOrEqual:
    case K::LessOrEqual:
        item.valid = item.rule != Rule::Name && item.rule != Rule::Class &&
                     item.rule != Rule::Boolean && matching::prepare(item.rule, f.value, item.key);
        return;
    default:
        break;
    }
    if (f.kind == K::Approx && !approxAsEquality(item.rule))
        return;
    if (!f.rule.empty()) {
        item.bitwise = f.rule == "1.2.840.113556.1.4.803"   ? 1
                       : f.rule == "1.2.840.113556.1.4.804" ? 2
                                                            : 0;
        item.valid = item.bitwise && item.rule == Rule::Integer && readNumber(f.value, item.number);
        return;
    }
    switch (item.rule) {
    case Rule::Class: {
        item.cls = schema.findClass(f.value);
        const bool oidForm = !f.value.empty() && f.value[0] >= '0' && f.value[0] <= '9';
        item.valid = item.cls >= 0 || oidForm; // an unknown name is undefined, as on a server
        return;
    }
    case Rule::Name:
        if (f.value.find('=') != std::string::npos && names::validDn(f.value)) {
            item.valid = prepareDn(f.value, schema, item.key);
        } else {
            item.dottedName = true;
            item.valid = componentKeys(f.value, false, item.parts);
        }
        return;
    default:
        item.valid = matching::prepare(item.rule, f.value, item.key);
        return;
    }
}

Truth evaluateValue(FilterNode::Kind kind, const FilterMatcher::Item& item, std::string_view v,
                    const schema::Schema& schema, std::string& key,
                    std::vector<std::string>& keys) {
    using K = FilterNode::Kind;
    if (kind == K::Substrings) {
        return matching::prepare(item.rule, v, key) && matching::substringsMatch(key, item.parts)
                   ? Truth::True
                   : Truth::False;
    }
    if (item.bitwise) {
        long long number = 0;
        if (!readNumber(v, number))
            return Truth::False;
        return (item.bitwise == 1 ? (number & item.number) == item.number
                                  : (number & item.number) != 0)
                   ? Truth::True
                   : Truth::False;
    }
    switch (item.rule) {
    case Rule::Class: {
        const int c = schema.findClass(v);
        return item.cls >= 0 && c >= 0 && schema.derivesFrom(c, item.cls) ? Truth::True
                                                                          : Truth::False;
    }
    case Rule::Name:
        if (item.dottedName)
            return componentKeys(v, true, keys) && keys == item.parts ? Truth::True : Truth::False;
        return prepareDn(v, schema, key) && key == item.key ? Truth::True : Truth::False;
    default:
        break;
    }
    if (!matching::prepare(item.rule, v, key))
        return Truth::False;
    const int order = matching::compare(item.rule, key, item.key);
    const bool hit = kind == K::GreaterOrEqual ? order >= 0
                     : kind == K::LessOrEqual  ? order <= 0
                                               : order == 0;
    return hit ? Truth::True : Truth::False;
}

Truth evaluateItem(FilterNode::Kind kind, const FilterMatcher::Item& item, const Entry& entry,
                   const schema::Schema& schema) {
    if (item.attributes.empty() || !item.valid)
        return Truth::Undefined;
    std::string key;
    std::vector<std::string> keys;
    for (const EntryAttribute& a : entry.attributes) {
        if (a.values.empty())
            continue;
        bool ours = false;
        for (const std::string& n : item.names)
            ours = ours || names::equalNoCase(a.name, n);
        if (!ours)
            continue;
        if (kind == FilterNode::Kind::Present)
            return Truth::True;
        for (const std::string& v : a.values)
            if (evaluateValue(kind, item, v, schema, key, keys) == Truth::True)
                return Truth::True;
    }
    return Truth::False;
}

} // namespace

FilterMatcher::FilterMatcher(const FilterNode& filter, const schema::Schema& schema)
    : schema_(schema) {
    struct Build {
        const schema::Schema& s;
        Node operator()(const FilterNode& f) const {
            Node n;
            n.kind = f.kind;
            for (const FilterNode& c : f.children)
                n.children.push_back((*this)(c));
            if (f.kind != FilterNode::Kind::And && f.kind != FilterNode::Kind::Or &&
                f.kind != FilterNode::Kind::Not)
                compile(f, s, n.item);
            return n;
        }
    };
    root_.push_back(Build{schema}(filter));
}

FilterMatcher::~FilterMatcher() = default;

void FilterMatcher::markAttributes(std::vector<char>& wanted) const {
    struct Mark {
        std::vector<char>& w;
        void operator()(const Node& n) const {
            for (int a : n.item.attributes)
                if (static_cast<std::size_t>(a) < w.size())
                    w[a] = 1;
            for (const Node& c : n.children)
                (*this)(c);
        }
    };
    Mark{wanted}(root_.front());
}

bool FilterMatcher::matches(const Entry& entry) const {
    struct Eval {
        const Entry& e;
        const schema::Schema& s;
        Truth operator()(const Node& n) const {
            using K = FilterNode::Kind;
            switch (n.kind) {
            case K::And:
            case K::Or: {
                const Truth decisive = n.kind == K::And ? Truth::False : Truth::True;
                Truth result = n.kind == K::And ? Truth::True : Truth::False;
                for (const Node& c : n.children) {
                    const Truth t = (*this)(c);
                    if (t == decisive)
                        return decisive;
                    if (t == Truth::Undefined)
                        result = Truth::Undefined;
                }
                return result;
            }
            case K::Not: {
                const Truth t = (*this)(n.children.front());
                return t == Truth::Undefined ? t : t == Truth::True ? Truth::False : Truth::True;
            }
            default:
                return evaluateItem(n.kind, n.item, e, s);
            }
        }
    };
    return Eval{entry, schema_}(root_.front()) == Truth::True;
}

} // namespace kvx::client::embedded
