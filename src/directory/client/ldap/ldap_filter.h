// A search filter as an LDAP server reads it: RFC 4515 text with the server's attribute names.
#pragma once

#include "../schema_text.h"
#include "../searchfilter.h"

#include <functional>
#include <string>

namespace kvx::client::ldapbk {

// The DN of a typeless full name, or false when no entry has that name.
using DnOfName = std::function<bool(const std::string& fullName, std::string& dn)>;
// Whether the attribute (schema index) holds Active Directory's 64-bit time (100 ns units
// since 1601), which is shown as a date.
using IsFileTime = std::function<bool(int attribute)>;

// `filter` in LDAP form: attributes under their LDAP names, class names as LDAP names, Boolean
// values in capitals, names of objects (Dist_Name values) as DNs. An item over an object name
// that no entry has matches nothing; an attribute the schema does not know stays an unknown
// attribute, which the server takes as undefined, as the embedded directory does. A date
// compared with a 64-bit time attribute (`isFileTime`) goes to the server as the count of
// 100 ns units it holds, and never matches the values shown as no date (0, "never").
std::string ldapFilterText(const FilterNode& filter, const schema::Schema& schema,
                           const DnOfName& dnOf, const IsFileTime& isFileTime = {});

} // namespace kvx::client::ldapbk
