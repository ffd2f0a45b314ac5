// Stored attribute values (LDIF / LDAP text) to the normalised text form of values.h: the same
// text, except that distinguished names become typeless full names and LDAP class and attribute
// names become NDS names. Also the check that a stored value reads for its syntax.
#pragma once

#include "nwdsclient.h"

#include <string>
#include <string_view>

namespace kvx::client {

// How names inside values are translated; a backend supplies its own.
class NameMapper {
public:
    virtual ~NameMapper() = default;
    // Appends the typeless full name of an LDAP DN to `out` (a DN that does not read is appended
    // as it stands).
    virtual void appendName(std::string_view dn, std::string& out) const;
    // Appends the NDS name of an LDAP class / attribute name (unknown names as they stand).
    virtual void appendClassName(std::string_view ldapName, std::string& out) const;
    virtual void appendAttributeName(std::string_view ldapName, std::string& out) const;
};

// Writes the normalised form of `stored` of `syntax` into `out` (replacing its content; the
// string's capacity is reused, so a caller that keeps `out` allocates nothing per value).
void normalizeValue(nuint32 syntax, std::string_view stored, const NameMapper& mapper,
                    std::string& out);
std::string normalizeValue(nuint32 syntax, std::string_view stored, const NameMapper& mapper);

// True when `stored` reads as a stored value of `syntax` (the forms listed in values.h); `why`
// says what is wrong. Used by loaders to refuse damaged data.
bool checkStoredValue(nuint32 syntax, std::string_view stored, std::string* why = nullptr);

} // namespace kvx::client
