// RFC 4512 schema definitions as slapd.conf-style schema files write them, with Korvanex's X-NDS
// extensions, and the schema model built from them: NDS names, NDS syntax numbers, container
// classes and class inheritance.
//
// The single-definition parsers take the text inside "attributetype ..." / "objectclass ..."
// (the parenthesised definition), which is also what a server's subschema entry holds in its
// attributeTypes / objectClasses values.
#pragma once

#include "backend.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kvx::client::schema {

struct AttributeTypeDef {
    std::string oid;
    std::vector<std::string> names; // LDAP names, first is the primary one
    std::string ndsName;            // from X-NDS_NAME, else filled by Schema::resolve()
    std::string sup;
    std::string syntaxOid; // without any "{length}" suffix
    int ndsSyntaxExt = -1; // X-NDS_SYNTAX, -1 when absent
    bool singleValue = false;
    // Matching rules (EQUALITY, ORDERING, SUBSTR), "" when none; inherited from SUP.
    std::string equality, ordering, substr;
    // Resolved by Schema::resolve().
    nuint32 syntax = SYN_UNKNOWN;
    // Where it was defined, for messages.
    std::string file;
    std::size_t line = 0;
};

struct ObjectClassDef {
    enum Kind { Abstract, Structural, Auxiliary };
    std::string oid;
    std::vector<std::string> names;
    std::string ndsName;
    std::vector<std::string> sups;
    Kind kind = Structural;
    std::vector<std::string> must;
    std::vector<std::string> may;
    bool containerExt = false; // X-NDS_CONTAINER 'TRUE'
    std::vector<std::string> naming;
    std::vector<std::string> containment;
    // Resolved by Schema::resolve().
    bool container = false;
    bool alias = false;
    int depth = 0; // length of the longest SUP chain down from a root class
    std::string file;
    std::size_t line = 0;
};

// Parse one definition: "( 2.5.4.3 NAME 'cn' SUP name ... )". False with `why` when it does
// not read.
bool parseAttributeType(std::string_view text, AttributeTypeDef& out, std::string& why);
bool parseObjectClass(std::string_view text, ObjectClassDef& out, std::string& why);

// The NDS syntax number of a syntax OID (Korvanex's own 2.16.840.1.113719.1.1.5.1.N or a
// standard LDAP syntax); 0 for any other OID.
nuint32 syntaxFromOid(std::string_view oid);

// The NDS name of a well-known LDAP attribute type / class, or "" when it has none.
std::string_view wellKnownAttributeName(std::string_view ldapName);
std::string_view wellKnownClassName(std::string_view ldapName);

// The standard definitions (RFC 4519 / 4512) the embedded directory loads before a tree's own
// schema files.
std::string_view builtinCoreSchema();

class Schema;
// The definitions of a tree's schema files over the built-in ones (unresolved): a built-in
// definition gives way to a tree's definition with its OID or one of its LDAP names, so that
// standard schema files (core.schema, ...) load beside them. Two definitions of one OID within
// the tree's own files stay a fault for resolve().
Schema overBuiltinSchema(const Schema& tree);

class Schema {
public:
    // Reads a schema file's text: attributetype / objectclass / ldapsyntax / objectidentifier
    // definitions. On a fault returns false with error "<file>:<line>: <fault>".
    bool loadText(std::string_view text, const std::string& fileName, std::string& error);
    void addAttributeType(AttributeTypeDef def) { attrs_.push_back(std::move(def)); }
    void addObjectClass(ObjectClassDef def) { classes_.push_back(std::move(def)); }

    // After every definition is in: checks names and references, fills NDS names, syntaxes,
    // container flags and depths. False with "<file>:<line>: <fault>" on the first fault.
    bool resolve(std::string& error);

    // Index of a definition by its NDS name, any LDAP name or its OID, without regard to case;
    // -1 when none.
    int findAttribute(std::string_view name) const;
    int findClass(std::string_view name) const;

    const std::vector<AttributeTypeDef>& attributes() const { return attrs_; }
    const std::vector<ObjectClassDef>& classes() const { return classes_; }

    // True when class `cls` is `ancestor` or derives from it.
    bool derivesFrom(int cls, int ancestor) const;

    ClassDef classDef(int index) const;
    AttrDef attrDef(int index) const;

private:
    std::vector<AttributeTypeDef> attrs_;
    std::vector<ObjectClassDef> classes_;
    std::unordered_map<std::string, int> attrIndex_;  // lower-case name/OID -> index
    std::unordered_map<std::string, int> classIndex_; // lower-case name/OID -> index
    std::unordered_map<std::string, std::string> oidMacros_;
    std::vector<std::vector<bool>> derives_; // derives_[cls][ancestor]
};

} // namespace kvx::client::schema
