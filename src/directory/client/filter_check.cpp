#include "filter_check.h"

#include "names.h"

#include <algorithm>
#include <iterator>

namespace kvx::client {

using matching::Rule;

matching::Rule itemRule(const FilterNode& item, const schema::AttributeTypeDef& def) {
    switch (item.kind) {
    case FilterNode::Kind::Substrings:
        return matching::ruleOf(def.substr);
    case FilterNode::Kind::GreaterOrEqual:
    case FilterNode::Kind::LessOrEqual:
        return matching::ruleOf(def.ordering);
    default:
        return matching::ruleOf(def.equality);
    }
}

bool approxAsEquality(matching::Rule rule) {
    // A server's approximate rules for text (sound-alike words) have no standard definition.
    static const Rule text[] = {Rule::CaseIgnore,   Rule::CaseExact,      Rule::CaseIgnoreIA5,
                                Rule::CaseExactIA5, Rule::CaseIgnoreList, Rule::None,
                                Rule::Unsupported};
    return std::find(std::begin(text), std::end(text), rule) == std::end(text);
}

namespace {

// The rule by which an assertion value must read: the equality rule, or where the schema names
// none, the one the attribute's syntax implies for Boolean and time values.
Rule formRule(const schema::AttributeTypeDef& def) {
    const Rule rule = matching::ruleOf(def.equality);
    // Active Directory's 64-bit numbers (Large Integer) also take times, which the client
    // turns into the number the attribute holds.
    if (rule == Rule::Integer && def.syntaxOid == "1.2.840.113556.1.4.906")
        return Rule::None;
    if (rule != Rule::None)
        return rule;
    return def.syntax == SYN_BOOLEAN ? Rule::Boolean : def.syntax == SYN_TIME ? Rule::Time : rule;
}

const char* formText(Rule rule) {
    switch (rule) {
    case Rule::Boolean:
        return "TRUE or FALSE";
    case Rule::Time:
        return "a time as YYYYMMDDHHMMSSZ";
    case Rule::Integer:
        return "a whole number";
    default:
        return nullptr;
    }
}

std::string quoted(const std::string& s) {
    return "\"" + s + "\"";
}

std::string itemFault(const FilterNode& f, const schema::Schema& schema, bool here) {
    const int a = schema.findAttribute(f.attribute);
    if (a < 0 || f.kind == FilterNode::Kind::Present)
        return {};
    const schema::AttributeTypeDef& def = schema.attributes()[a];
    const Rule rule = itemRule(f, def);
    using K = FilterNode::Kind;
    const std::string name = quoted(f.attribute);
    if (f.kind != K::Substrings && f.rule.empty()) {
        const Rule form = formRule(def);
        std::string prepared;
        if (formText(form) && !matching::prepare(form, f.value, prepared))
            return "The search filter compares " + name + " with " + quoted(f.value) +
                   ", which is not of its form: " + formText(form);
    }
    if (!here)
        return {};
    switch (f.kind) {
    case K::Substrings:
        if (!matching::textual(rule))
            return "The search filter looks for part of a value of " + name +
                   ", which has no substrings matching rule in the directory's schema";
        return {};
    case K::GreaterOrEqual:
    case K::LessOrEqual:
        if (rule == Rule::None || rule == Rule::Unsupported || rule == Rule::Name ||
            rule == Rule::Class || rule == Rule::Boolean)
            return "The search filter orders by " + name +
                   ", which has no ordering rule in the directory's schema";
        return {};
    default:
        break;
    }
    if (!f.rule.empty()) {
        const bool bitwise =
            f.rule == "1.2.840.113556.1.4.803" || f.rule == "1.2.840.113556.1.4.804";
        if (!bitwise || matching::ruleOf(def.equality) != Rule::Integer)
            return "The search filter uses the matching rule " + f.rule + " on " + name +
                   ", which this directory does not evaluate";
        return {};
    }
    if (rule == Rule::None || rule == Rule::Unsupported)
        return "The search filter compares " + name +
               ", which has no equality matching rule in the directory's schema";
    if (f.kind == K::Approx && !approxAsEquality(rule))
        return "The search filter asks for an approximate match (~=) on " + name +
               ", which this directory does not evaluate";
    return {};
}

} // namespace

std::string filterFault(const FilterNode& filter, const schema::Schema& schema,
                        bool evaluatedHere) {
    for (const FilterNode& c : filter.children) {
        std::string fault = filterFault(c, schema, evaluatedHere);
        if (!fault.empty())
            return fault;
    }
    return filter.attribute.empty() ? std::string() : itemFault(filter, schema, evaluatedHere);
}

std::vector<std::string> unorderedAttributes(const FilterNode& filter,
                                             const schema::Schema& schema) {
    std::vector<std::string> out;
    struct Walk {
        const schema::Schema& s;
        std::vector<std::string>& out;
        void operator()(const FilterNode& f) const {
            for (const FilterNode& c : f.children)
                (*this)(c);
            if (f.kind != FilterNode::Kind::GreaterOrEqual &&
                f.kind != FilterNode::Kind::LessOrEqual)
                return;
            const int a = s.findAttribute(f.attribute);
            if (a < 0 || matching::ruleOf(s.attributes()[a].ordering) != Rule::None)
                return;
            if (std::none_of(out.begin(), out.end(), [&](const std::string& n) {
                    return names::equalNoCase(n, f.attribute);
                }))
                out.push_back(f.attribute);
        }
    };
    Walk{schema, out}(filter);
    return out;
}

} // namespace kvx::client
