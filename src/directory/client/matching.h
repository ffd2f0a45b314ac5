// Matching rules as an LDAP server applies them (RFC 4517, with the string preparation of
// RFC 4518): the prepared form of a stored or asserted value under a rule, substrings over
// prepared values, and ordering. The embedded directory's filters and its loader's name lookups
// both compare through here, so that a name and a filter agree with each other and with a server.
//
// Preparation of strings: Unicode NFKC with case folding for the case-ignoring rules (NFKC alone
// for the case-exact ones), then insignificant spaces: blanks at both ends dropped and runs of
// blanks taken as one (a value of blanks only is one blank). A substring keeps one blank where it
// meets a "*" (initial: at its end; any: at both ends; final: at its start), as the value it is
// looked for in may have one there.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kvx::client::matching {

enum class Rule {
    None,           // the schema names no rule
    Unsupported,    // a rule this directory does not evaluate
    CaseIgnore,     // caseIgnoreMatch and its substrings / ordering rules
    CaseExact,      // caseExactMatch ...
    CaseIgnoreIA5,  // caseIgnoreIA5Match ... (ASCII only)
    CaseExactIA5,   // caseExactIA5Match ...
    CaseIgnoreList, // caseIgnoreListMatch: lines separated by "$"
    NumericString,  // numericStringMatch ...: blanks do not count
    Telephone,      // telephoneNumberMatch ...: blanks and hyphens do not count
    Integer,        // integerMatch, integerOrderingMatch
    Time,           // generalizedTimeMatch, generalizedTimeOrderingMatch
    Boolean,        // booleanMatch
    Name,           // distinguishedNameMatch, uniqueMemberMatch
    Class,          // objectIdentifierMatch on object classes: a class and its subclasses
    Octets,         // octetStringMatch ...: byte for byte
};

// The rule a matching rule's name or OID stands for (equality, substrings and ordering rules
// of one family give the same Rule); "" gives None, a rule not listed Unsupported.
Rule ruleOf(std::string_view matchingRule);

// Whether values prepared under `rule` are compared as text (substrings apply).
bool textual(Rule rule);

// The prepared form of `value` under `rule` (Integer: canonical decimal; Time: the UTC time as
// YYYYMMDDHHMMSS and any fraction without trailing zeros; Boolean: TRUE or FALSE). False when
// the value does not read for the rule; `out` is then unspecified. Name and Class values are
// prepared by their callers, who know the schema: here they prepare as CaseIgnore.
bool prepare(Rule rule, std::string_view value, std::string& out);

enum class Piece { Initial, Any, Final };
// The prepared form of one piece of a substrings assertion.
bool prepareSubstring(Rule rule, std::string_view piece, Piece where, std::string& out);
// True when the prepared value holds the prepared pieces: initial (may be empty), any ...,
// final (may be empty), in that order without overlapping.
bool substringsMatch(std::string_view value, const std::vector<std::string>& pieces);

// Order of two prepared values: negative, zero or positive.
int compare(Rule rule, std::string_view a, std::string_view b);

// The form in which two naming values (RDN values) are the same name: CaseIgnore preparation.
// A value that does not read as UTF-8 is its own key.
void nameKey(std::string_view value, std::string& out);
// True when nameKey(value) is `value` lowered in ASCII: no prepared form needs to be built.
bool simpleName(std::string_view value);
bool sameName(std::string_view a, std::string_view b);

} // namespace kvx::client::matching
