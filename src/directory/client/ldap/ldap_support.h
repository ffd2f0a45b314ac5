// The parts of the LDAP backend that need no server: result codes, search filters and the
// schema model built from a subschema entry's values.
#pragma once

#include "../nwdsclient.h"
#include "../schema_text.h"

#include <string>
#include <string_view>
#include <vector>

namespace kvx::client::ldapbk {

// The client code for an LDAP result code (RFC 4511) or a libldap API code (negative).
// `connecting`: the code came while connecting or binding, so a server that is down or cannot
// be reached is reported as unreachable rather than as a transport failure part-way.
NWDSCCODE clientCode(int ldapCode, bool connecting);

// An assertion value escaped for a search filter (RFC 4515 section 3): "*", "(", ")", "\" and
// NUL become "\2a", "\28", "\29", "\5c" and "\00".
std::string escapeFilterValue(std::string_view value);

// "(|(cn=v)(ou=v)...)": the entries below a container that a name component `value` may name,
// one equality assertion per naming attribute.
std::string namingFilter(const std::vector<std::string>& namingAttributes, std::string_view value);

// The schema model from the attributeTypes and objectClasses values of a subschema entry.
// Standard definitions (matched by OID) get the NDS names, naming attributes and containment
// of the client's own copy of the standard schema, as the embedded directory has them.
// A server hands out whatever it holds, so this never refuses the whole schema for one
// definition: a definition that does not read, one whose SUP is unknown, and the server's own
// configuration schema are left out; an unknown attribute in a class's lists is dropped from
// the list; an NDS name already taken falls back to the LDAP name, and to the OID after that.
// `notes` (may be nullptr) receives one line per definition left out or changed. False only
// when the model cannot be built at all (error says why).
bool buildSchema(const std::vector<std::string>& attributeTypes,
                 const std::vector<std::string>& objectClasses, schema::Schema& out,
                 std::string& error, std::vector<std::string>* notes = nullptr);

// Active Directory's binary values as its own tools show them. Each appends to `out` and
// returns false (appending nothing) when the bytes are not such a value.
// A security identifier: "S-1-5-21-3623811015-3361044348-30300820-1013".
bool appendSidText(std::string_view bytes, std::string& out);
// A GUID, braces and upper case: "{2B6E7F30-...}" (the first three fields little-endian).
bool appendGuidText(std::string_view bytes, std::string& out);
// A 64-bit time in 100 ns units since 1601-01-01 UTC as a Generalized Time "YYYYMMDDHHMMSSZ";
// false for 0 and 9223372036854775807 ("never"), for a time before 1970 or after 2105 (a Time
// value holds seconds since 1970 in 32 bits), and for text that is not such a number.
bool appendFileTimeAsGeneralized(std::string_view decimal, std::string& out);
// A UTC Time "YYMMDDHHMM[SS](Z|+hhmm|-hhmm)" as a Generalized Time (years 50-99 are 19xx);
// false when it does not read.
bool appendUtcAsGeneralized(std::string_view utc, std::string& out);

// userAccountControl as Active Directory's attribute editor shows it:
// "0x202 = ( ACCOUNTDISABLE | NORMAL_ACCOUNT )"; false for text that is not a 32-bit number.
bool appendAccountControlText(std::string_view decimal, std::string& out);

// The range option of an attribute description ("member;range=1500-2999" -> 1500 and 2999,
// "member;range=1500-*" -> 1500 and -1); false when it has none.
bool rangeOption(std::string_view description, long& first, long& last);

// The attribute description without its options: "userCertificate;binary" -> "userCertificate".
std::string_view stripOptions(std::string_view description);

} // namespace kvx::client::ldapbk
