// Reading the schema of the chosen tree: the class list and the attributes a class can carry.
//
// Widget-free: failures go to a callback with the failed call's name and its code, and what was
// read before a failure is kept, so the window shows the same lists and messages either way.
#pragma once

#include "directory/client/nwdsclient.h"

#include <functional>
#include <string>
#include <vector>

namespace kvx::directory {

using FailureFn = std::function<void(const std::string& callName, NWDSCCODE code)>;

// One row of the available (or selected) attribute list.
struct AttributeRow {
    std::string name;
    bool singleValued = false;
    std::string syntaxName;
    int sortKind = 0;
    // The attribute's LDAP name where it differs from `name` ("mail" for "Internet EMail
    // Address"), else "".
    std::string ldapName;

    const char* singleMulti() const { return singleValued ? "Single" : "Multi"; }
};

// Every class name of the schema, in the order the client returns them.
std::vector<std::string> readClassNames(NWDSContextHandle context, const FailureFn& failure);

// Reads one attribute definition. False after a failure (already reported).
bool GetAttributeDetails(NWDSContextHandle context, const std::string& attributeName,
                         Attr_Info_T& info, const FailureFn& failure);

// The name the directory gives an attribute named by any of its names (an LDAP name or OID);
// "" when the schema has no such attribute or cannot be read.
std::string AttributeOwnName(NWDSContextHandle context, const std::string& attributeName);

// Appends to `rows` every attribute the class can carry: those of its super classes first
// (recursively), then its naming, mandatory and optional attributes, each name once (compared
// without regard to case). A failure inside a super class's read ends that read only.
void gatherClassAttributes(NWDSContextHandle context, const std::string& className,
                           std::vector<AttributeRow>& rows, const FailureFn& failure);

} // namespace kvx::directory
