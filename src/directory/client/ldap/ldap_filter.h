// A search filter as an LDAP server reads it: RFC 4515 text with the server's attribute names.
#pragma once

#include "../schema_text.h"
#include "../searchfilter.h"

#include <functional>
#include <string>

namespace kvx::client::ldapbk {

// The DN of a typeless full name, or false when no entry has that name.
using DnOfName = std::function<bool(const std::string& fullName, std::string& dn)>;

// `filter` in LDAP form: attributes under their LDAP names, class names as LDAP names, Boolean
// values in capitals, names of objects (Dist_Name values) as DNs. An item over an object name
// that no entry has matches nothing; an attribute the schema does not know stays an unknown
// attribute, which the server takes as undefined, as the embedded directory does.
std::string ldapFilterText(const FilterNode& filter, const schema::Schema& schema,
                           const DnOfName& dnOf);

} // namespace kvx::client::ldapbk
