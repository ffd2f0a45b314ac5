// Evaluation of a search filter over the embedded directory's entries, with the matching rules
// of each syntax, as an LDAP server evaluates it (RFC 4511 section 4.5.1.7):
//   strings          case-insensitive (Case Exact String: case-sensitive), blanks at both ends
//                    dropped and runs of blanks taken as one; telephone and fax numbers without
//                    their blanks and hyphens
//   numbers          as numbers (Integer, Counter, Interval)
//   times            as times (Time: Generalized Time; Timestamp: its seconds)
//   Boolean          TRUE / FALSE in any case
//   Dist_Name        by name: an LDAP DN or a dotted full name, compared without regard to case
//   Class_Name       by class: any of the class's names
//   anything else    byte for byte
// An item is undefined (three-valued logic: it fails, and so does its negation) when the
// attribute is unknown, the assertion value does not read for the syntax, or the attribute's
// schema names no ORDERING (for >= and <=) or SUBSTR rule (for substrings).
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
    // True when `entry` (holding at least the marked attributes, values normalised) matches.
    bool matches(const Entry& entry) const;

    struct Item;

private:
    struct Node;
    const schema::Schema& schema_;
    std::vector<Node> root_; // one node
};

} // namespace kvx::client::embedded
