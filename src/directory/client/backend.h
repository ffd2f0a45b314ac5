// The seam between the client calls (nwdsclient.h) and the places a tree is served from.
//
// The calls layer owns contexts, buffers, packing into batches and iteration handles; a backend
// only answers questions about one tree, in NDS terms:
//   - names are typeless dotted full names counted from the root ("Sales.Acme"), periods inside
//     a name component escaped as "\."; the root itself is the empty name;
//   - class and attribute names are NDS names ("Organizational Unit", "Given Name");
//   - values are the normalised text form of their syntax (values.h), which NWDSGetAttrVal
//     turns into the caller's layout.
// Every operation returns 0 or a client code from nwdsclient.h; nothing throws across this seam.
#pragma once

#include "nwdsclient.h"
#include "searchfilter.h"

#include <memory>
#include <string>
#include <vector>

namespace kvx::client {

struct ClassDef {
    std::string name;
    nuint32 flags = 0; // DS_CONTAINER_CLASS, DS_EFFECTIVE_CLASS
    std::string oid;
    // The five item lists, in the order a class definition read hands them out.
    std::vector<std::string> superClasses;
    std::vector<std::string> containmentClasses;
    std::vector<std::string> namingAttributes;
    std::vector<std::string> mandatoryAttributes;
    std::vector<std::string> optionalAttributes;
};

struct AttrDef {
    std::string name;
    nuint32 flags = 0; // DS_SINGLE_VALUED_ATTR, ...
    nuint32 syntax = SYN_UNKNOWN;
    nuint32 lower = 0;
    nuint32 upper = 0;
    std::string oid;
    std::string ldapName; // the primary LDAP name ("mail"), "" when the tree has none
};

struct EntryAttribute {
    std::string name; // NDS attribute name
    nuint32 syntax = SYN_UNKNOWN;
    std::vector<std::string> values; // normalised text form, in the directory's order
};

struct Entry {
    std::string name;      // typeless full name, e.g. "jsmith.Sales.Acme"
    std::string typedName; // typed full name, e.g. "CN=jsmith.OU=Sales.O=Acme"
    nuint32 objectFlags = 0;
    nuint32 subordinateCount = 0;
    nuint32 modificationTime = 0;
    std::string baseClass; // NDS name of the object's structural class
    std::vector<EntryAttribute> attributes;
};

// A stream of entries. next() returns 0 and fills `out` while there are entries, kEndOfEntries
// after the last one, and a negative client code when the source fails part-way (a server that
// went away, a size limit): entries handed out before a failure stay valid.
class EntryCursor {
public:
    static constexpr NWDSCCODE kEndOfEntries = 1;
    virtual ~EntryCursor() = default;
    virtual NWDSCCODE next(Entry& out) = 0;
    // True when next() sets every field of `out`, so that the storage of one entry may be
    // handed to it again; otherwise it is given a new entry each time.
    virtual bool overwritesEntries() const { return false; }
    // What the source said of the failure next() returned last (a server's "Size limit
    // exceeded"), empty when it said nothing.
    virtual std::string failureText() const { return {}; }
};

struct SearchRequest {
    std::string base; // full name of the base object; "" for the root
    nint32 scope = DS_SEARCH_SUBTREE;
    std::string filterAttribute; // NDS attribute name; only "Object Class" equality is served
    std::string filterValue;     // the class name; matches the class and every class derived
                                 // from it, without regard to case
    // A further condition the entries must meet as well (attributes by any of their names);
    // nullptr when there is none.
    std::shared_ptr<const FilterNode> filter;
    bool allAttributes = false;
    std::vector<std::string> attributes; // NDS names, in the order requested
    bool valuesWanted = true;            // false: attribute names only
};

struct FilterCheck {
    std::string fault;                  // "" when the tree can answer the filter as written
    std::vector<std::string> unordered; // attributes ordered (>=, <=) without an ordering rule
};

class Backend {
public:
    virtual ~Backend() = default;

    virtual const std::string& treeName() const = 0;

    // Loads or connects on first use; a tree whose files are damaged or whose server cannot be
    // reached answers ERR_UNREACHABLE_SERVER (or a more precise code) here and on every call.
    virtual NWDSCCODE open() = 0;
    // A human-readable reason for the last failure of open() (file, line and fault for a
    // damaged file), empty when there is none.
    virtual std::string lastError() const = 0;
    // What the tree could not serve while it served the rest (a naming context this account
    // may not read), the latest such note; empty when there is none.
    virtual std::string lastNotice() const { return {}; }
    // Whether the tree is read without an identity (an anonymous LDAP bind): a server may then
    // hide entries, so an empty result may not mean there are none.
    virtual bool anonymousBind() const { return false; }
    // Why `filter` cannot be answered as written, and which of its orderings have no rule (see
    // NWDSCheckSearchFilter).
    virtual NWDSCCODE checkFilter(const FilterNode& filter, FilterCheck& out) {
        (void)filter;
        out = FilterCheck{};
        return 0;
    }

    // Schema.
    virtual NWDSCCODE classNames(std::vector<std::string>& out) = 0;
    virtual NWDSCCODE readClass(const std::string& name, ClassDef& out) = 0;    // -604 if none
    virtual NWDSCCODE readAttribute(const std::string& name, AttrDef& out) = 0; // -603 if none

    // Objects. `fullName` "" is the root.
    virtual NWDSCCODE lookup(const std::string& fullName, Entry& out) = 0; // -601 if none
    virtual NWDSCCODE list(const std::string& fullName, std::unique_ptr<EntryCursor>& out) = 0;
    virtual NWDSCCODE search(const SearchRequest& request, std::unique_ptr<EntryCursor>& out) = 0;
};

} // namespace kvx::client
