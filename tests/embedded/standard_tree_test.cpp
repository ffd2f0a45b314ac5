// Trees made of a directory server's own files: Debian's /etc/ldap/schema files beside the
// built-in definitions, and LDIF written as OpenLDAP's ldapsearch and slapcat write it.
#include "directory/client/embedded/embedded.h"
#include "directory/client/schema_text.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace kvx::client;

const char* kSchemaDir = "/etc/ldap/schema/";

struct Folder {
    fs::path dir = fs::temp_directory_path() / ("kvx-standard-" + std::to_string(::getpid()));
    Folder() {
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    ~Folder() { fs::remove_all(dir); }
    void write(const std::string& name, const std::string& text) const {
        std::ofstream(dir / name, std::ios::binary) << text;
    }
    void copySchemas(const std::vector<std::string>& names) const {
        for (const std::string& n : names)
            fs::copy_file(kSchemaDir + n + ".schema", dir / (n + ".schema"),
                          fs::copy_options::overwrite_existing);
    }
};

std::vector<Entry> drain(std::unique_ptr<EntryCursor>& c) {
    std::vector<Entry> out;
    Entry e;
    while (c && c->next(e) == 0)
        out.push_back(e);
    return out;
}

std::vector<std::string> namesUnder(Backend& b, const std::string& name) {
    std::unique_ptr<EntryCursor> c;
    EXPECT_EQ(b.list(name, c), 0);
    std::vector<std::string> out;
    for (const Entry& e : drain(c))
        out.push_back(e.name);
    return out;
}

// An ldapsearch export: comments, no version line, children before their parents, base64 and
// folded values, slapd's operational attributes, the closing search result.
const char* kExampleOrg = R"(# extended LDIF
#
# LDAPv3
# base <dc=example,dc=org> with scope subtree
#

# jdoe, people, example.org
dn: uid=jdoe,ou=people,dc=example,dc=org
objectClass: inetOrgPerson
objectClass: posixAccount
objectClass: shadowAccount
cn: John Doe
sn: Doe
uid: jdoe
uidNumber: 1000
gidNumber: 100
homeDirectory: /home/jdoe
mail: jdoe@example.org
labeledURI: http://example.org/~jdoe
description:: TGUgY2Fmw6kgZGUgbGEgZ2FyZSwgd2l0aCBhIGxpbmUgZm9sZGVkIGFjcm9zcyB0d28g
 bGluZXM=
title: Head of a department whose name is so long that the export folds it on
  to the next line
entryUUID: 5b8a4c6e-0d8b-103f-8b0c-7b6f3b3c1a01
createTimestamp: 20240102030405Z
structuralObjectClass: inetOrgPerson

# example.org
dn: dc=example,dc=org
objectClass: dcObject
objectClass: organization
dc: example
o: Example

# people, example.org
dn: ou=people,dc=example,dc=org
objectClass: organizationalUnit
ou: people

# admins, example.org
dn: cn=admins,dc=example,dc=org
objectClass: posixGroup
cn: admins
gidNumber: 100
memberUid: jdoe

# search result
search: 2
result: 0 Success

# numResponses: 5
# numEntries: 4
)";

// A second naming context of three components, as LDIF change records.
const char* kCorp = R"(version: 1

dn: dc=corp,dc=example,dc=com
changetype: add
objectClass: domain
dc: corp

dn: cn=printer,dc=corp,dc=example,dc=com
changetype: add
objectClass: device
cn: printer
)";

TEST(StandardTree, DebianSchemaFilesAndOpenLdapExportsMakeOneTree) {
    Folder f;
    f.copySchemas({"core", "cosine", "inetorgperson", "nis", "misc"});
    f.write("a-example.ldif", kExampleOrg);
    f.write("b-corp.ldif", kCorp);
    auto b = makeEmbeddedBackend("STD", f.dir.string());
    ASSERT_EQ(b->open(), 0) << b->lastError();

    // Each naming context is one container below the root, named by all its components.
    EXPECT_EQ(namesUnder(*b, ""), (std::vector<std::string>{"example.org", "corp.example.com"}));
    EXPECT_EQ(namesUnder(*b, "example.org"),
              (std::vector<std::string>{"people.example.org", "admins.example.org"}));
    EXPECT_EQ(namesUnder(*b, "people.example.org"),
              std::vector<std::string>{"jdoe.people.example.org"});
    EXPECT_EQ(namesUnder(*b, "corp.example.com"),
              std::vector<std::string>{"printer.corp.example.com"});
    Entry e;
    ASSERT_EQ(b->lookup("DC=example.DC=org", e), 0);
    EXPECT_EQ(e.typedName, "DC=example.DC=org");
    EXPECT_EQ(e.objectFlags & DS_CONTAINER_ENTRY, DS_CONTAINER_ENTRY);
    EXPECT_EQ(e.subordinateCount, 2u);

    SearchRequest r;
    r.base = "example.org";
    r.filterAttribute = "Object Class";
    r.filterValue = "inetOrgPerson";
    r.attributes = {"Surname", "uidNumber", "description", "title", "labeledURI"};
    std::unique_ptr<EntryCursor> c;
    ASSERT_EQ(b->search(r, c), 0);
    auto found = drain(c);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].baseClass, "inetOrgPerson");
    std::map<std::string, std::vector<std::string>> values;
    for (const auto& a : found[0].attributes)
        values[a.name] = a.values;
    EXPECT_EQ(values["Surname"], std::vector<std::string>{"Doe"});
    EXPECT_EQ(values["uidNumber"], std::vector<std::string>{"1000"});
    EXPECT_EQ(values["Description"],
              std::vector<std::string>{"Le café de la gare, with a line folded across two lines"});
    EXPECT_EQ(values["Title"],
              std::vector<std::string>{"Head of a department whose name is so long that the "
                                       "export folds it on to the next line"});
    EXPECT_EQ(values["labeledURI"], std::vector<std::string>{"http://example.org/~jdoe"});
    AttrDef def;
    ASSERT_EQ(b->readAttribute("gidNumber", def), 0);
    EXPECT_EQ(def.syntax, SYN_INTEGER);
    ClassDef cls;
    ASSERT_EQ(b->readClass("organization", cls), 0);
    EXPECT_EQ(cls.namingAttributes, std::vector<std::string>{"O"}); // built-in rules kept
}

TEST(StandardTree, EachSchemaFileLoadsWhereSlapdWouldLoadIt) {
    // Alone, or with the files it depends on, and all together.
    const std::vector<std::vector<std::string>> sets = {
        {"core"},
        {"misc"},
        {"core", "cosine"},
        {"core", "cosine", "inetorgperson"},
        {"core", "cosine", "nis"},
        {"core", "cosine", "inetorgperson", "nis", "misc", "collective", "corba", "java",
         "openldap", "duaconf"},
    };
    for (const auto& set : sets) {
        Folder f;
        f.copySchemas(set);
        f.write("t.ldif", "dn: o=T\nobjectClass: organization\no: T\n");
        auto b = makeEmbeddedBackend("S", f.dir.string());
        EXPECT_EQ(b->open(), 0) << set.back() << ": " << b->lastError();
    }
}

TEST(StandardTree, TreeDefinitionsReplaceBuiltInOnesButNotEachOther) {
    Folder f;
    f.copySchemas({"core"});
    // The tree gives "Surname" to an attribute of its own: the standard sn keeps its LDAP name.
    f.write("own.schema", "attributetype ( 1.3.6.1.4.1.99999.9.1 NAME 'kvxSurname'\n"
                          "\tSUP name X-NDS_NAME 'Surname' )\n"
                          "objectclass ( 1.3.6.1.4.1.99999.9.2 NAME 'kvxPerson' SUP person\n"
                          "\tSTRUCTURAL MAY kvxSurname )\n");
    f.write("t.ldif", "dn: o=T\nobjectClass: organization\no: T\n\n"
                      "dn: cn=a,o=T\nobjectClass: kvxPerson\ncn: a\nsn: ldap\nkvxSurname: own\n");
    auto b = makeEmbeddedBackend("S", f.dir.string());
    ASSERT_EQ(b->open(), 0) << b->lastError();
    AttrDef def;
    ASSERT_EQ(b->readAttribute("Surname", def), 0);
    EXPECT_EQ(def.oid, "1.3.6.1.4.1.99999.9.1");
    ASSERT_EQ(b->readAttribute("2.5.4.4", def), 0);
    EXPECT_EQ(def.name, "sn");

    // One OID twice within the tree's own files stays a fault, with the second file and line.
    f.write("z-again.schema", "\nattributetype ( 2.5.4.4 NAME 'surname2' SUP name )\n");
    auto twice = makeEmbeddedBackend("S", f.dir.string());
    EXPECT_EQ(twice->open(), ERR_UNREACHABLE_SERVER);
    EXPECT_NE(twice->lastError().find("z-again.schema:2: duplicate attribute type OID"),
              std::string::npos)
        << twice->lastError();
}

} // namespace
