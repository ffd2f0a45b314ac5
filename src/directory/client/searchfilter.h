// Search filters: the text form a user writes (RFC 4515, with one addition for directory-style
// attribute names), the tree it reads into, and the tokens of a filter expression
// (NWDSAddFilterToken) that carry it to NWDSSearch and back into a tree on the client's side.
//
// Text form:
//   An attribute name that holds anything but letters, digits, "-", "." and ";" (a blank, as in
//   the directory name "Login Disabled") is written in double quotes:
//       (&("Login Disabled"=TRUE)(!(telephoneNumber=*)))
//   Names are any of the attribute's names: its directory name ("Login Disabled"), its LDAP
//   name (loginDisabled) or its OID, without regard to case.
//   Operators: & | ! and the items  =value  >=value  <=value  ~=value  =*  and substrings
//   (=ab*cd*ef). In a value "\" starts two hexadecimal digits (\2a for "*", \28 "(", \29 ")",
//   \5c "\"). Blanks between the parts of a filter are allowed; blanks inside a value are kept.
//   A filter of one item may leave out its outer parentheses: Surname=Smith.
//
// Tokens (infix, AND binding tighter than OR, NOT tightest, parentheses as needed):
//   item        FTOK_ANAME name, FTOK_EQ | FTOK_GE | FTOK_LE | FTOK_APPROX, FTOK_AVAL value
//   presence    FTOK_PRESENT, FTOK_ANAME name
//   substrings  FTOK_ANAME name, FTOK_SUBSTRINGS, FTOK_AVAL initial, FTOK_AVAL any ...,
//               FTOK_AVAL final (at least two values; initial and final may be empty)
//   and / or    FTOK_LPAREN a FTOK_AND b ... FTOK_RPAREN
//   not         FTOK_NOT FTOK_LPAREN a FTOK_RPAREN
//   the whole   ... FTOK_END
#pragma once

#include "nwdsclient.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kvx::client {

struct FilterNode {
    enum class Kind {
        And,
        Or,
        Not,
        Equal,
        GreaterOrEqual,
        LessOrEqual,
        Approx,
        Present,
        Substrings
    };
    Kind kind = Kind::Equal;
    std::string attribute; // as written (quotes removed)
    std::string value;     // Equal, GreaterOrEqual, LessOrEqual, Approx
    // Equal with a matching rule (extensible match, "attr:rule:=value"): a numeric OID such as
    // Active Directory's bitwise rules 1.2.840.113556.1.4.803 (every bit) and .804 (any bit).
    std::string rule;
    std::vector<std::string> parts;   // Substrings: initial, any ..., final
    std::vector<FilterNode> children; // And, Or (one or more); Not (exactly one)
};

struct FilterParseError {
    std::size_t position = 0; // 1-based character (not byte) position of the fault
    std::string message;
};

// Reads a filter text. False with `error` filled when it does not read.
bool parseSearchFilter(std::string_view text, FilterNode& out, FilterParseError& error);

// The filter in RFC 4515 text form; names holding other characters than a descriptor's are
// quoted as above. parseSearchFilter(searchFilterText(f)) gives f back.
std::string searchFilterText(const FilterNode& filter);

// Adds the tokens of `filter` (without FTOK_END) to a filter expression. 0 or the failed call's
// code.
NWDSCCODE AddSearchFilterTokens(pFilter_Cursor_T cursor, const FilterNode& filter);

struct FilterTokenView {
    nuint16 tok = FTOK_END;
    std::string_view text;
};
// Reads a whole token list (ending with FTOK_END) back into a tree; false when the tokens do
// not form a filter.
bool filterFromTokens(const std::vector<FilterTokenView>& tokens, FilterNode& out);

} // namespace kvx::client
