// Turning attribute values into the text shown in the results list and the output file.
#pragma once

#include "directory/client/nwdsclient.h"

#include <string>
#include <string_view>

namespace kvx {

// Writes the text of one attribute value into `rendered`, replacing what was there. `value` is
// laid out as NWDSGetAttrVal lays out a value of `syntaxId` (nwdsclient.h); a null value, or a
// null text inside a structured value, reads as empty. The rendering depends only on the syntax,
// the value and, for octet strings, the attribute's name ("GUID" in any case).
void DecodeAttribute(std::string_view attributeName, const void* value, nuint32 syntaxId,
                     std::string& rendered);

// Writes the rights of one access control entry as bracketed letters into `rights`. The letters
// depend on the protected attribute name, compared exactly: "[Entry Rights]", "[SMS Rights]" or
// any other name (attribute rights).
void DecodeRights(std::string_view protectedAttrName, std::string& rights, nuint32 privileges);

} // namespace kvx
