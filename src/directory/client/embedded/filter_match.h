// Evaluation of a search filter over the embedded directory's entries as an LDAP server
// evaluates it (RFC 4511 section 4.5.1.7), with the matching rules the schema names for each
// attribute (EQUALITY, SUBSTR, ORDERING, inherited through SUP; matching.h prepares the values):
//   - an assertion on an attribute also holds for the values of its subtypes ((name=Ann) finds an
//     entry whose cn or sn is Ann);
//   - an object class assertion holds for the class and every class derived from it;
//   - a name (distinguishedNameMatch) compares the whole typed name when the assertion is a DN,
//     and the names' components when it is a dotted name ("Sales.Acme");
//   - Active Directory's bitwise rules (extensible match 1.2.840.113556.1.4.803 / .804) hold
//     for integers.
// An item is undefined (three-valued logic: it fails, and so does its negation) when the
// attribute is unknown, the schema names no rule for the operation (or one not evaluated here,
// such as an approximate match on text), or the assertion value does not read for the rule.
// filterFault() (filter_check.h) tells the user of those before a run.
#pragma once

#include "../backend.h"
#include "../schema_text.h"

#include <vector>

namespace kvx::client::embedded {

class FilterMatcher {
public:
    FilterMatcher(const FilterNode& filter, const schema::Schema& schema);
    ~FilterMatcher();
    FilterMatcher(const FilterMatcher&) = delete;
    FilterMatcher& operator=(const FilterMatcher&) = delete;

    // Marks the attributes the filter reads (by attribute index).
    void markAttributes(std::vector<char>& wanted) const;
    // True when `entry` (holding at least the marked attributes, values as stored) matches.
    bool matches(const Entry& entry) const;

    struct Item;

private:
    struct Node;
    const schema::Schema& schema_;
    std::vector<Node> root_; // one node
};

} // namespace kvx::client::embedded
