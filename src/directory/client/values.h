// Attribute values: their text forms and their layouts.
//
// Directory data on disk (LDIF) and over LDAP holds every value as a string. The backends turn
// that stored form into the *normalised text form* below (the same as the stored form, except
// that distinguished names become typeless full names and LDAP class and attribute names become
// NDS names), the result buffers carry the normalised text, and NWDSGetAttrVal lays it out for
// the caller (nwdsclient.h lists the layouts).
//
// Stored / normalised forms, by syntax:
//   1  Dist_Name        stored: an LDAP DN ("cn=Ann,ou=Sales,o=Acme"); normalised: "Ann.Sales.Acme"
//   2-5, 10 strings     the text
//   20 Class_Name       stored: LDAP class name; normalised: NDS class name
//   6  CI_List          items separated by "$"; "\24" stands for "$" and "\5C" for "\" in an item
//   7  Boolean          "TRUE" or "FALSE" (any case)
//   8, 22, 27 numbers   decimal, optional leading "-"; any 64-bit signed number
//   9  Octet_String     the bytes themselves (LDIF gives them base64-encoded with "::")
//   11 Fax_Number       telephone number, optionally "$" and parameter names (RFC 4517)
//   12 Net_Address      "type#hexoctets": "1#0A000001" is IP 10.0.0.1; type 0 is IPX
//   13 Octet_List       hex octet strings separated by "$"
//   14 Email_Address    "type#address"
//   15 Path             "volume#namespace#path"; the volume is a DN (normalised: a name)
//   16 Replica_Pointer  "server#replicaType#replicaNumber#count", then for each address hint
//                       "#type#hexoctets"; the server is a DN (normalised: a name)
//   17 Object_Acl       "privileges#scope#subject#protectedAttribute": privileges decimal,
//                       scope "entry" or "subtree" (or a number), subject a DN or a bracketed
//                       special name such as "[Public]", protected attribute "[Entry Rights]",
//                       "[All Attributes Rights]", "[SMS Rights]" or an attribute name
//                       (normalised: NDS name)
//   18 PO_Address       up to six lines separated by "$", escapes as in CI_List; lines past the
//                       sixth are joined to the sixth with "$" so nothing is lost
//   19 Timestamp        "seconds#replicaNumber#eventID"
//   21 Stream           the bytes themselves
//   23 Back_Link        "remoteID#object" (remoteID decimal; object a DN / name)
//   24 Time             Generalized Time "YYYYMMDDHHMMSS[.fff](Z|+hhmm|-hhmm)"; laid out as
//                       seconds since 1970 UTC
//   25 Typed_Name       "object#level#interval" (object a DN / name)
//   26 Hold             "amount#object" (object a DN / name)
//   0 and others        the bytes themselves
// Inside a part of a "#"-structured value, "\#" stands for "#" (a name that holds one is written
// so when normalised); inside an item of a "$"-list, "\$" stands for "$". Both lay out as the
// character.
//
// Layout is lenient: a normalised value that does not read well for its syntax (a number that
// is not a number, odd hex digits) is still laid out, with what could be read and zeros for the
// rest, so a report shows something and goes on; it never reads or writes out of bounds.
#pragma once

#include "nwdsclient.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace kvx::client {

// Size of the area NWDSGetAttrVal needs for `text` of `syntax` (what NWDSComputeAttrValSize
// returns), including the record, every text's terminator and alignment padding.
std::size_t layoutSize(nuint32 syntax, std::string_view text);

// Lays `text` out in `area` (at least layoutSize() bytes, aligned for a pointer). Returns 0, or
// ERR_INSUFFICIENT_BUFFER-like ERR_BUFFER_FULL when `areaSize` is too small.
NWDSCCODE layoutValue(nuint32 syntax, std::string_view text, void* area, std::size_t areaSize);

// True when `text` is a well-formed stored/normalised value of `syntax` (used by the LDIF
// loader to refuse damaged data with a line number). `why` says what is wrong.
bool validValue(nuint32 syntax, std::string_view text, std::string* why = nullptr);

// Generalized Time to seconds since 1970 UTC; false when it does not read or is out of the
// 32-bit unsigned range.
bool parseGeneralizedTime(std::string_view text, nuint32* seconds);

} // namespace kvx::client
