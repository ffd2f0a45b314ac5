#include "filter_match.h"

#include "../names.h"
#include "../values.h"

#include <cerrno>
#include <cstdlib>

namespace kvx::client::embedded {

namespace {

enum class Truth { False, True, Undefined };

// How the values of a syntax compare.
enum class Rule {
    Text,
    ExactText,
    Telephone,
    Number,
    Time,
    Timestamp,
    Boolean,
    Name,
    Class,
    Bytes
};

Rule ruleOf(nuint32 syntax) {
    switch (syntax) {
    case SYN_CI_STRING:
    case SYN_PR_STRING:
    case SYN_NU_STRING:
    case SYN_CI_LIST:
    case SYN_PO_ADDRESS:
    case SYN_EMAIL_ADDRESS:
        return Rule::Text;
    case SYN_CE_STRING:
        return Rule::ExactText;
    case SYN_TEL_NUMBER:
    case SYN_FAX_NUMBER:
        return Rule::Telephone;
    case SYN_INTEGER:
    case SYN_COUNTER:
    case SYN_INTERVAL:
        return Rule::Number;
    case SYN_TIME:
        return Rule::Time;
    case SYN_TIMESTAMP:
        return Rule::Timestamp;
    case SYN_BOOLEAN:
        return Rule::Boolean;
    case SYN_DIST_NAME:
        return Rule::Name;
    case SYN_CLASS_NAME:
        return Rule::Class;
    default:
        return Rule::Bytes;
    }
}

bool textLike(Rule r) {
    return r == Rule::Text || r == Rule::ExactText || r == Rule::Telephone;
}

bool numeric(Rule r) {
    return r == Rule::Number || r == Rule::Time || r == Rule::Timestamp || r == Rule::Class;
}

char lowerChar(char c) {
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

// The comparable form of a text value: case folded unless exact; blanks at the ends dropped
// and runs of blanks made one (`collapse`), or, for telephone numbers, blanks and hyphens gone.
void textKey(Rule r, std::string_view v, bool collapse, std::string& out) {
    out.clear();
    for (char c : v) {
        if (r == Rule::Telephone && (c == ' ' || c == '-'))
            continue;
        if (collapse && c == ' ' && (out.empty() || out.back() == ' '))
            continue;
        out.push_back(r == Rule::ExactText ? c : lowerChar(c));
    }
    if (collapse && !out.empty() && out.back() == ' ')
        out.pop_back();
}

bool readNumber(std::string_view v, long long& out) {
    std::string s(v);
    std::size_t b = s.find_first_not_of(' ');
    if (b == std::string::npos)
        return false;
    const char* start = s.c_str() + b;
    char* end = nullptr;
    errno = 0;
    out = std::strtoll(start, &end, 10);
    if (errno || end == start || (*start != '-' && (*start < '0' || *start > '9')))
        return false;
    while (*end == ' ')
        ++end;
    return *end == '\0';
}

} // namespace

struct FilterMatcher::Item {
    int attribute = -1;
    std::string name; // NDS name, as entries carry it
    Rule rule = Rule::Bytes;
    bool valid = false; // the assertion reads for the syntax
    std::string key;    // text-like, Boolean, Name, Bytes
    long long number = 0;
    std::vector<std::string> parts;
    int bitwise = 0; // Active Directory's bitwise rules: 1 every bit of the value, 2 any bit
};

struct FilterMatcher::Node {
    FilterNode::Kind kind = FilterNode::Kind::Equal;
    std::vector<Node> children;
    Item item;
};

namespace {

// The comparable form of a stored (normalised) or asserted value under `rule`.
bool valueKey(Rule rule, std::string_view v, bool assertion, const schema::Schema& schema,
              std::string& key, long long& number) {
    switch (rule) {
    case Rule::Text:
    case Rule::ExactText:
    case Rule::Telephone:
        textKey(rule, v, true, key);
        return true;
    case Rule::Number:
        return readNumber(v, number);
    case Rule::Time: {
        nuint32 seconds = 0;
        if (!parseGeneralizedTime(v, &seconds))
            return false;
        number = seconds;
        return true;
    }
    case Rule::Timestamp:
        return readNumber(v.substr(0, v.find('#')), number);
    case Rule::Boolean:
        textKey(Rule::Text, v, true, key);
        return key == "true" || key == "false";
    case Rule::Name: {
        std::string full;
        if (assertion && v.find('=') != std::string_view::npos && names::dnToTypeless(v, full)) {
            // an LDAP DN
        } else {
            full.assign(assertion && !v.empty() && v.front() == '.' ? v.substr(1) : v);
        }
        key = names::joinName(names::splitName(full));
        key = names::lowerAscii(key);
        return true;
    }
    case Rule::Class:
        number = schema.findClass(v);
        return number >= 0;
    case Rule::Bytes:
        key.assign(v);
        return true;
    }
    return false;
}

bool substringsMatch(std::string_view v, const std::vector<std::string>& parts) {
    const std::string& initial = parts.front();
    const std::string& final = parts.back();
    if (v.size() < initial.size() || v.substr(0, initial.size()) != initial)
        return false;
    std::size_t pos = initial.size();
    for (std::size_t i = 1; i + 1 < parts.size(); ++i) {
        const std::size_t at = v.find(parts[i], pos);
        if (at == std::string_view::npos)
            return false;
        pos = at + parts[i].size();
    }
    return v.size() - pos >= final.size() && v.substr(v.size() - final.size()) == final;
}

} // namespace

namespace {

void compile(const FilterNode& f, const schema::Schema& schema, FilterMatcher::Item& item);

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

namespace {

void compile(const FilterNode& f, const schema::Schema& schema, FilterMatcher::Item& item) {
    item.attribute = schema.findAttribute(f.attribute);
    if (item.attribute < 0)
        return;
    const auto& def = schema.attributes()[item.attribute];
    item.name = def.ndsName;
    item.rule = ruleOf(def.syntax);
    using K = FilterNode::Kind;
    switch (f.kind) {
    case K::Present:
        item.valid = true;
        break;
    case K::Substrings:
        item.valid = textLike(item.rule) && !def.substr.empty();
        for (const std::string& p : f.parts) {
            item.parts.emplace_back();
            textKey(item.rule, p, false, item.parts.back());
        }
        break;
    case K::GreaterOrEqual:
    case K::LessOrEqual:
        item.valid = !def.ordering.empty() && (textLike(item.rule) || numeric(item.rule)) &&
                     item.rule != Rule::Class &&
                     valueKey(item.rule, f.value, true, schema, item.key, item.number);
        break;
    default:
        item.valid = valueKey(item.rule, f.value, true, schema, item.key, item.number);
        if (!f.rule.empty()) {
            item.bitwise = f.rule == "1.2.840.113556.1.4.803"   ? 1
                           : f.rule == "1.2.840.113556.1.4.804" ? 2
                                                                : 0;
            item.valid = item.valid && item.bitwise && numeric(item.rule);
        }
        break;
    }
}

} // namespace

void FilterMatcher::markAttributes(std::vector<char>& wanted) const {
    struct Mark {
        std::vector<char>& w;
        void operator()(const Node& n) const {
            if (n.item.attribute >= 0 && static_cast<std::size_t>(n.item.attribute) < w.size())
                w[n.item.attribute] = 1;
            for (const Node& c : n.children)
                (*this)(c);
        }
    };
    Mark{wanted}(root_.front());
}

namespace {

Truth evaluateItem(FilterNode::Kind kind, const FilterMatcher::Item& item, const Entry& entry,
                   const schema::Schema& schema) {
    if (item.attribute < 0 || !item.valid)
        return Truth::Undefined;
    const EntryAttribute* at = nullptr;
    for (const EntryAttribute& a : entry.attributes)
        if (names::equalNoCase(a.name, item.name))
            at = &a;
    if (!at || at->values.empty())
        return Truth::False;
    if (kind == FilterNode::Kind::Present)
        return Truth::True;
    std::string key;
    long long number = 0;
    for (const std::string& v : at->values) {
        if (kind == FilterNode::Kind::Substrings) {
            textKey(item.rule, v, false, key);
            if (substringsMatch(key, item.parts))
                return Truth::True;
            continue;
        }
        if (!valueKey(item.rule, v, false, schema, key, number))
            continue;
        if (item.bitwise) {
            if (item.bitwise == 1 ? (number & item.number) == item.number
                                  : (number & item.number) != 0)
                return Truth::True;
            continue;
        }
        int order = 0;
        if (numeric(item.rule))
            order = number < item.number ? -1 : number > item.number ? 1 : 0;
        else
            order = key.compare(item.key) < 0 ? -1 : key.compare(item.key) > 0 ? 1 : 0;
        const bool hit = kind == FilterNode::Kind::GreaterOrEqual ? order >= 0
                         : kind == FilterNode::Kind::LessOrEqual  ? order <= 0
                                                                  : order == 0;
        if (hit)
            return Truth::True;
    }
    return Truth::False;
}

} // namespace

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
