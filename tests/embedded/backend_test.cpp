#include "directory/client/embedded/embedded.h"
#include "directory/client/testing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

using namespace kvx::client;

namespace {

const char* kSchema = R"(attributetype ( 1.3.6.1.4.1.99999.1.1 NAME 'loginGraceLimit'
	SYNTAX 1.3.6.1.4.1.1466.115.121.1.27 SINGLE-VALUE X-NDS_NAME 'Login Grace Limit' )
attributetype ( 1.3.6.1.4.1.99999.1.2 NAME 'kvxAcl'
	SYNTAX 2.16.840.1.113719.1.1.5.1.17 X-NDS_NAME 'ACL' )
attributetype ( 1.3.6.1.4.1.99999.1.3 NAME 'kvxGuid'
	SYNTAX 1.3.6.1.4.1.1466.115.121.1.40 SINGLE-VALUE X-NDS_NAME 'GUID' )
objectclass ( 1.3.6.1.4.1.99999.2.1 NAME 'kvxUser' SUP organizationalPerson STRUCTURAL
	MAY ( loginGraceLimit $ kvxAcl $ kvxGuid $ uid $ mail ) X-NDS_NAME 'User' )
objectclass ( 1.3.6.1.4.1.99999.2.2 NAME 'kvxVolume' SUP top STRUCTURAL MUST cn
	X-NDS_CONTAINER 'TRUE' X-NDS_NAME 'Volume' )
)";

// Three levels, a user listing its classes out of order, a folded value, base64 values, an
// option on an attribute name, an alias and a comment inside a record.
const char* kLdif = "version: 1\n"
                    "# the organisation\n"
                    "dn: o=Acme\n"
                    "objectClass: organization\n"
                    "o: Acme\n"
                    "\n"
                    "dn: ou=Sales,o=Acme\n"
                    "objectClass: organizationalUnit\n"
                    "ou: Sales\n"
                    "description: the sales depart\n"
                    " ment\n"
                    "\n\n"
                    "dn: cn=Ann Smith,ou=Sales,o=Acme\n"
                    "objectClass: kvxUser\n"
                    "objectClass: top\n"
                    "objectClass: organizationalPerson\n"
                    "objectClass: person\n"
                    "cn: Ann Smith\n"
                    "sn: Smith\n"
                    "# a comment between attributes\n"
                    "givenName: Ann\n"
                    "telephoneNumber: 1\n"
                    "telephoneNumber: 2\n"
                    "seeAlso: cn=Bob,ou=Sales,o=Acme\n"
                    "loginGraceLimit: 6\n"
                    "kvxAcl: 3#entry#cn=Bob,ou=Sales,o=Acme#givenName\n"
                    "kvxGuid;binary:: AAECAwQFBgcICQoLDA0ODw==\n"
                    "telephoneNumber: 3\n"
                    "\n"
                    "dn: cn=Bob,ou=Sales,o=Acme\n"
                    "objectClass: person\n"
                    "cn: Bob\n"
                    "sn:: QsO2aG0=\n"
                    "\n"
                    "dn: ou=Dev,ou=Sales,o=Acme\n"
                    "objectClass: organizationalUnit\n"
                    "ou: Dev\n"
                    "\n"
                    "dn: cn=Carl,ou=Dev,ou=Sales,o=Acme\n"
                    "objectClass: kvxUser\n"
                    "cn: Carl\n"
                    "sn: C\n"
                    "\n"
                    "dn: cn=Shortcut,o=Acme\n"
                    "objectClass: alias\n"
                    "aliasedObjectName: cn=Ann Smith,ou=Sales,o=Acme\n"
                    "\n"
                    "dn: cn=VOL1,o=Acme\n"
                    "objectClass: kvxVolume\n"
                    "cn: VOL1\n"
                    "\n"
                    "dn: o=Other\n"
                    "objectClass: organization\n"
                    "o: Other\n";

std::unique_ptr<Backend> sampleTree() {
    auto b = makeEmbeddedBackendFromText("TEST", kSchema, kLdif);
    EXPECT_EQ(b->open(), 0) << b->lastError();
    return b;
}

std::vector<Entry> drain(std::unique_ptr<EntryCursor>& c) {
    std::vector<Entry> out;
    Entry e;
    NWDSCCODE rc;
    while ((rc = c->next(e)) == 0)
        out.push_back(e);
    EXPECT_EQ(rc, EntryCursor::kEndOfEntries);
    return out;
}

std::vector<std::string> namesOf(const std::vector<Entry>& entries) {
    std::vector<std::string> out;
    for (const Entry& e : entries)
        out.push_back(e.name);
    return out;
}

std::vector<Entry> search(Backend& b, const std::string& base, nint32 scope, const std::string& cls,
                          std::vector<std::string> attrs = {}, bool all = false,
                          bool values = true) {
    SearchRequest r;
    r.base = base;
    r.scope = scope;
    if (!cls.empty()) {
        r.filterAttribute = "Object Class";
        r.filterValue = cls;
    }
    r.attributes = std::move(attrs);
    r.allAttributes = all;
    r.valuesWanted = values;
    std::unique_ptr<EntryCursor> c;
    EXPECT_EQ(b.search(r, c), 0);
    return c ? drain(c) : std::vector<Entry>{};
}

// Loads a tree from schema text + LDIF text and returns lastError() (empty when it loaded).
std::string loadError(const std::string& ldif, const std::string& schema = kSchema) {
    auto b = makeEmbeddedBackendFromText("BAD", schema, ldif);
    NWDSCCODE rc = b->open();
    if (rc == 0)
        return {};
    EXPECT_EQ(rc, ERR_UNREACHABLE_SERVER);
    // Nothing of a damaged tree is served, whatever is asked.
    Entry e;
    EXPECT_EQ(b->lookup("Acme", e), ERR_UNREACHABLE_SERVER);
    std::vector<std::string> classes;
    EXPECT_EQ(b->classNames(classes), ERR_UNREACHABLE_SERVER);
    std::unique_ptr<EntryCursor> c;
    EXPECT_EQ(b->search(SearchRequest{}, c), ERR_UNREACHABLE_SERVER);
    EXPECT_EQ(b->open(), ERR_UNREACHABLE_SERVER);
    return b->lastError();
}

} // namespace

TEST(Embedded, EntriesCarryNamesFlagsCountsAndBaseClass) {
    auto b = sampleTree();
    Entry e;
    ASSERT_EQ(b->lookup("ann smith.SALES.acme", e), 0);
    EXPECT_EQ(e.name, "Ann Smith.Sales.Acme");
    EXPECT_EQ(e.typedName, "CN=Ann Smith.OU=Sales.O=Acme");
    EXPECT_EQ(e.baseClass, "User"); // the most derived structural class, whatever the order
    EXPECT_EQ(e.objectFlags, 0u);
    EXPECT_EQ(e.subordinateCount, 0u);

    ASSERT_EQ(b->lookup("Sales.Acme", e), 0);
    EXPECT_EQ(e.baseClass, "Organizational Unit");
    EXPECT_EQ(e.objectFlags, DS_CONTAINER_ENTRY);
    EXPECT_EQ(e.subordinateCount, 3u);
    ASSERT_EQ(b->lookup("OU=Sales.O=Acme", e), 0); // typed names find the same entry
    EXPECT_EQ(e.name, "Sales.Acme");
    EXPECT_EQ(b->lookup("CN=Sales.O=Acme", e), ERR_NO_SUCH_ENTRY);

    ASSERT_EQ(b->lookup("VOL1.Acme", e), 0);
    EXPECT_EQ(e.objectFlags, DS_CONTAINER_ENTRY); // X-NDS_CONTAINER class
    ASSERT_EQ(b->lookup("Shortcut.Acme", e), 0);
    EXPECT_EQ(e.objectFlags, DS_ALIAS_ENTRY);
    EXPECT_EQ(e.baseClass, "Alias");

    ASSERT_EQ(b->lookup("", e), 0);
    EXPECT_EQ(e.subordinateCount, 2u);
    EXPECT_EQ(b->lookup("Nobody.Sales.Acme", e), ERR_NO_SUCH_ENTRY);
    EXPECT_EQ(b->lookup("Ann Smith.Acme", e), ERR_NO_SUCH_ENTRY);
}

TEST(Embedded, ListGivesDirectChildrenInDocumentOrder) {
    auto b = sampleTree();
    std::unique_ptr<EntryCursor> c;
    ASSERT_EQ(b->list("", c), 0);
    EXPECT_EQ(namesOf(drain(c)), (std::vector<std::string>{"Acme", "Other"}));
    ASSERT_EQ(b->list("[Root]", c), 0);
    EXPECT_EQ(drain(c).size(), 2u);
    ASSERT_EQ(b->list("acme", c), 0);
    auto kids = drain(c);
    EXPECT_EQ(namesOf(kids),
              (std::vector<std::string>{"Sales.Acme", "Shortcut.Acme", "VOL1.Acme"}));
    EXPECT_TRUE(kids[0].attributes.empty());
    ASSERT_EQ(b->list("Carl.Dev.Sales.Acme", c), 0);
    EXPECT_TRUE(drain(c).empty());
    EXPECT_EQ(b->list("Gone.Acme", c), ERR_NO_SUCH_ENTRY);
}

TEST(Embedded, SearchScopesAndClassHierarchy) {
    auto b = sampleTree();
    // Subtree from the root: every person-derived entry, depth first in document order.
    EXPECT_EQ(namesOf(search(*b, "", DS_SEARCH_SUBTREE, "person")),
              (std::vector<std::string>{"Ann Smith.Sales.Acme", "Bob.Sales.Acme",
                                        "Carl.Dev.Sales.Acme"}));
    EXPECT_EQ(namesOf(search(*b, "Sales.Acme", DS_SEARCH_SUBTREE, "USER")),
              (std::vector<std::string>{"Ann Smith.Sales.Acme", "Carl.Dev.Sales.Acme"}));
    EXPECT_EQ(namesOf(search(*b, "Sales.Acme", DS_SEARCH_SUBTREE, "organizational person")),
              (std::vector<std::string>{"Ann Smith.Sales.Acme", "Carl.Dev.Sales.Acme"}));
    // The base itself is part of a subtree search; one level is its children only.
    EXPECT_EQ(namesOf(search(*b, "Sales.Acme", DS_SEARCH_SUBTREE, "Organizational Unit")),
              (std::vector<std::string>{"Sales.Acme", "Dev.Sales.Acme"}));
    EXPECT_EQ(namesOf(search(*b, "Sales.Acme", DS_SEARCH_SUBORDINATES, "Person")),
              (std::vector<std::string>{"Ann Smith.Sales.Acme", "Bob.Sales.Acme"}));
    EXPECT_EQ(namesOf(search(*b, "Sales.Acme", DS_SEARCH_ENTRY, "")),
              std::vector<std::string>{"Sales.Acme"});
    EXPECT_TRUE(search(*b, "", DS_SEARCH_ENTRY, "").empty()); // the root is never returned
    EXPECT_EQ(search(*b, "", DS_SEARCH_SUBTREE, "Top").size(), 9u);
    EXPECT_TRUE(search(*b, "", DS_SEARCH_SUBTREE, "No Such Class").empty());
    // Aliases are not followed.
    EXPECT_EQ(namesOf(search(*b, "Shortcut.Acme", DS_SEARCH_SUBTREE, "")),
              std::vector<std::string>{"Shortcut.Acme"});

    SearchRequest r;
    std::unique_ptr<EntryCursor> c;
    r.base = "Missing.Acme";
    EXPECT_EQ(b->search(r, c), ERR_NO_SUCH_ENTRY);
    r.base = "";
    r.filterAttribute = "Surname";
    r.filterValue = "Smith";
    EXPECT_EQ(b->search(r, c), ERR_INVALID_REQUEST);
}

TEST(Embedded, SearchHandsOutRequestedAttributesInStoredOrderNormalised) {
    auto b = sampleTree();
    auto found = search(*b, "Ann Smith.Sales.Acme", DS_SEARCH_ENTRY, "",
                        {"telephoneNumber", "GUID", "see also", "Object Class", "kvxacl",
                         "Login Grace Limit", "NoSuchAttribute"});
    ASSERT_EQ(found.size(), 1u);
    const auto& attrs = found[0].attributes;
    ASSERT_EQ(attrs.size(), 6u);
    EXPECT_EQ(attrs[0].name, "Object Class");
    EXPECT_EQ(attrs[0].syntax, SYN_CLASS_NAME);
    EXPECT_EQ(attrs[0].values,
              (std::vector<std::string>{"User", "Top", "Organizational Person", "Person"}));
    EXPECT_EQ(attrs[1].name, "Telephone Number");
    EXPECT_EQ(attrs[1].values, (std::vector<std::string>{"1", "2", "3"}));
    EXPECT_EQ(attrs[2].name, "See Also");
    EXPECT_EQ(attrs[2].values, std::vector<std::string>{"Bob.Sales.Acme"});
    EXPECT_EQ(attrs[3].name, "Login Grace Limit");
    EXPECT_EQ(attrs[3].syntax, SYN_INTEGER);
    EXPECT_EQ(attrs[4].name, "ACL");
    EXPECT_EQ(attrs[4].values, std::vector<std::string>{"3#entry#Bob.Sales.Acme#Given Name"});
    EXPECT_EQ(attrs[5].name, "GUID");
    std::string guid;
    for (int i = 0; i < 16; ++i)
        guid.push_back(static_cast<char>(i));
    EXPECT_EQ(attrs[5].values, std::vector<std::string>{guid});

    // Folded and base64 text values come back whole.
    auto sales = search(*b, "Sales.Acme", DS_SEARCH_ENTRY, "", {"Description"});
    ASSERT_EQ(sales.size(), 1u);
    ASSERT_EQ(sales[0].attributes.size(), 1u);
    EXPECT_EQ(sales[0].attributes[0].values, std::vector<std::string>{"the sales department"});
    auto bob = search(*b, "Bob.Sales.Acme", DS_SEARCH_ENTRY, "", {"sn"});
    ASSERT_EQ(bob.size(), 1u);
    EXPECT_EQ(bob[0].attributes.at(0).values, std::vector<std::string>{"B\xc3\xb6hm"});

    // Names only; and every attribute.
    auto namesOnly =
        search(*b, "Ann Smith.Sales.Acme", DS_SEARCH_ENTRY, "", {"cn", "sn"}, false, false);
    ASSERT_EQ(namesOnly.at(0).attributes.size(), 2u);
    EXPECT_EQ(namesOnly[0].attributes[0].name, "CN");
    EXPECT_TRUE(namesOnly[0].attributes[0].values.empty());
    auto all = search(*b, "Ann Smith.Sales.Acme", DS_SEARCH_ENTRY, "", {}, true);
    ASSERT_EQ(all.at(0).attributes.size(), 9u);
    EXPECT_EQ(all[0].attributes[1].name, "CN");
    EXPECT_EQ(all[0].attributes[3].name, "Given Name");
}

TEST(Embedded, ReusedEntryDoesNotKeepStaleAttributes) {
    auto b = sampleTree();
    SearchRequest r;
    r.scope = DS_SEARCH_SUBTREE;
    r.attributes = {"telephoneNumber", "cn"};
    std::unique_ptr<EntryCursor> c;
    ASSERT_EQ(b->search(r, c), 0);
    Entry e;
    std::size_t phones = 0;
    while (c->next(e) == 0) {
        for (const auto& a : e.attributes)
            if (a.name == "Telephone Number")
                phones += a.values.size();
        if (e.name == "Bob.Sales.Acme") {
            ASSERT_EQ(e.attributes.size(), 1u); // after Ann, who had three phones
            EXPECT_EQ(e.attributes[0].values, std::vector<std::string>{"Bob"});
        }
    }
    EXPECT_EQ(phones, 3u);
}

TEST(Embedded, SchemaReadsAnswerInDirectoryTerms) {
    auto b = sampleTree();
    std::vector<std::string> classes;
    ASSERT_EQ(b->classNames(classes), 0);
    EXPECT_NE(std::find(classes.begin(), classes.end(), "User"), classes.end());
    EXPECT_NE(std::find(classes.begin(), classes.end(), "Organizational Unit"), classes.end());
    ClassDef cls;
    ASSERT_EQ(b->readClass("kvxuser", cls), 0);
    EXPECT_EQ(cls.name, "User");
    EXPECT_EQ(cls.superClasses, std::vector<std::string>{"Organizational Person"});
    EXPECT_EQ(b->readClass("Nothing", cls), ERR_NO_SUCH_CLASS);
    AttrDef attr;
    ASSERT_EQ(b->readAttribute("login grace limit", attr), 0);
    EXPECT_EQ(attr.flags, DS_SINGLE_VALUED_ATTR);
    EXPECT_EQ(attr.syntax, SYN_INTEGER);
    EXPECT_EQ(b->readAttribute("Nothing", attr), ERR_NO_SUCH_ATTRIBUTE);
}

TEST(Embedded, DamagedLdifIsRefusedWithFileLineAndFault) {
    const std::string org = "dn: o=Acme\nobjectClass: organization\no: Acme\n\n";
    struct Case {
        std::string ldif;
        const char* expect;
    };
    const Case cases[] = {
        {"version: 2\n" + org, "ldif:1: unsupported LDIF version"},
        {org + "dn: cn=A,o=Acme\nobjectClass: person\ncn: A\nsn:: QQ=!\n", "ldif:8: bad base64"},
        {org + "dn: O=ACME\nobjectClass: organization\n", "ldif:5: duplicate entry"},
        {org + "dn: cn=A,o=Acme\nobjectClass: person\nshoeSize: 9\n",
         "ldif:7: unknown attribute type \"shoeSize\""},
        {org + "dn: cn=A,o=Acme\nobjectClass: martian\n", "ldif:6: unknown object class"},
        {org + "dn: cn=A,o=Acme\nobjectClass: kvxUser\nloginGraceLimit: six\n",
         "ldif:7: bad value of \"loginGraceLimit\""},
        {org + "dn: cn=A,o=Acme\nobjectClass: kvxUser\nloginGraceLimit: 1\nloginGraceLimit: 2\n",
         "ldif:8: more than one value"},
        {org + "dn: cn=A,o=Acme\nchangetype: modify\nreplace: cn\n",
         "ldif:6: only \"changetype: add\" records"},
        {org + "dn: cn=A,ou=X,o=Acme\nobjectClass: person\n\ndn: cn=a,ou=x,o=acme\n"
               "objectClass: person\n",
         "ldif:8: duplicate entry"},
        {org + "dn: cn=A,o=Acme\nobjectClass person\n", "ldif:6: expected"},
        {org + "dn: cn=A,o=Acme\ncn: A\n", "ldif:5: entry \"cn=A,o=Acme\" has no objectClass"},
        {org + "dn: cn=A,o=Acme\nobjectClass: person\ndn: cn=B,o=Acme\n",
         "ldif:7: a second \"dn:\""},
        {org + "objectClass: person\ndn: cn=A,o=Acme\n", "ldif:5: a record must begin"},
        {" folded: start\n" + org, "ldif:1: continuation line"},
        {org + "dn: cn=A,,o=Acme\nobjectClass: person\n", "ldif:5: bad DN"},
        {org + "dn: cn=A,o=Acme\nobjectClass: person\nseeAlso: nonsense\n",
         "ldif:7: bad value of \"seeAlso\""},
        {org + "dn: c=G\xc3\x9c\nobjectClass: country\nc: G\xc3\x9c\n",
         "ldif:7: bad value of \"c\""},
        {org + "dn: cn=A,o=Acme\nobjectClass: person\ndescription:< http://example.com/x\n",
         "ldif:7: only file: URLs"},
        {org + "dn: cn=A,o=Acme\nobjectClass: person\ndescription:< file:///dev/zero\n",
         "ldif:7: \"/dev/zero\" is not a readable file"},
        {org + "dn: cn=A,o=Acme\nobjectClass: person\ndescription:< file:no-such-file\n",
         "ldif:7: \"./no-such-file\" is not a readable file"},
    };
    for (const Case& c : cases) {
        std::string error = loadError(c.ldif);
        EXPECT_EQ(error.rfind(c.expect, 0), 0u) << "expected " << c.expect << "\ngot " << error;
    }
    EXPECT_EQ(
        loadError(org, "attributetype ( 9.9 NAME 'x'\n SUP nothing )\n").rfind("schema:1: ", 0),
        0u);
    EXPECT_EQ(loadError(org), ""); // the good part alone loads
}

TEST(Embedded, CrLfLinesAndCommentsBeforeVersion) {
    std::string ldif = "# exported\r\nversion: 1\r\n\r\ndn: o=Acme\r\nobjectClass: organization\r\n"
                       "o: Acme\r\ndescription: one\r\n  two\r\n";
    auto b = makeEmbeddedBackendFromText("T", "", ldif);
    ASSERT_EQ(b->open(), 0) << b->lastError();
    auto found = search(*b, "Acme", DS_SEARCH_ENTRY, "", {"description"});
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].attributes.at(0).values, std::vector<std::string>{"one two"});
}

TEST(Embedded, FolderTreesLoadFilesInNameOrderWithFileUrls) {
    namespace fs = std::filesystem;
    fs::path dir = fs::temp_directory_path() / ("kvx-embedded-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "blobs");
    auto write = [&](const fs::path& p, const std::string& text) {
        std::ofstream(p, std::ios::binary) << text;
    };
    write(dir / "tree.schema", kSchema);
    write(dir / "b.ldif", "dn: cn=A,o=Acme\nobjectClass: kvxUser\ncn: A\nsn: A\n"
                          "description:< file:blobs/desc.txt\n");
    write(dir / "a.ldif", "dn: o=Acme\nobjectClass: organization\no: Acme\n");
    write(dir / "blobs" / "desc.txt", "read from a file");
    write(dir / "notes.txt", "not part of the tree");
    auto b = makeEmbeddedBackend("FOLDER", dir.string());
    ASSERT_EQ(b->open(), 0) << b->lastError();
    auto found = search(*b, "", DS_SEARCH_SUBTREE, "User", {"description"});
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].attributes.at(0).values, std::vector<std::string>{"read from a file"});

    // Children before parents across files ("c.ldif" is read after "b.ldif"), and an entry
    // whose parent is in no file: a naming context of its own, below the root.
    write(dir / "b.ldif", "dn: cn=Z,ou=Later,o=Acme\nobjectClass: person\ncn: Z\nsn: Z\n\n"
                          "dn: cn=B,ou=Nowhere,o=Acme\nobjectClass: person\ncn: B\nsn: B\n\n"
                          "dn: cn=A,ou=Later,o=Acme\nobjectClass: person\ncn: A\nsn: A\n");
    write(dir / "c.ldif", "\n\ndn: ou=Later,o=Acme\nobjectClass: organizationalUnit\n\n"
                          "dn: cn=M,ou=Later,o=Acme\nobjectClass: person\ncn: M\nsn: M\n");
    auto late = makeEmbeddedBackend("FOLDER", dir.string());
    ASSERT_EQ(late->open(), 0) << late->lastError();
    std::unique_ptr<EntryCursor> c;
    ASSERT_EQ(late->list("", c), 0);
    EXPECT_EQ(namesOf(drain(c)), (std::vector<std::string>{"Acme", "B.Nowhere.Acme"}));
    // The unit's members, early and late, in the order of the files.
    ASSERT_EQ(late->list("Later.Acme", c), 0);
    EXPECT_EQ(namesOf(drain(c)),
              (std::vector<std::string>{"Z.Later.Acme", "A.Later.Acme", "M.Later.Acme"}));
    Entry e;
    ASSERT_EQ(late->lookup("A.Later.Acme", e), 0);
    EXPECT_EQ(e.typedName, "CN=A.OU=Later.O=Acme");
    ASSERT_EQ(late->lookup("Later.Acme", e), 0);
    EXPECT_EQ(e.subordinateCount, 3u);

    auto missing = makeEmbeddedBackend("GONE", (dir / "nowhere").string());
    EXPECT_EQ(missing->open(), ERR_UNREACHABLE_SERVER);
    EXPECT_FALSE(missing->lastError().empty());
    fs::remove_all(dir);
}

TEST(Embedded, LongNamesAndValuesAreKeptWhole) {
    std::string longValue(100000, 'x');
    std::string longName(5000, 'n');
    std::string ldif = "dn: o=" + longName + "\nobjectClass: organization\no: " + longName +
                       "\ndescription: " + longValue + "\n";
    auto b = makeEmbeddedBackendFromText("T", "", ldif);
    ASSERT_EQ(b->open(), 0) << b->lastError();
    auto found = search(*b, longName, DS_SEARCH_ENTRY, "", {"description"});
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].name, longName);
    EXPECT_EQ(found[0].attributes.at(0).values.at(0), longValue);
}

TEST(Embedded, ShippedAcmeSampleTreeLoads) {
    auto b = makeEmbeddedBackend("ACME", KVX_SOURCE_DIR "/data/trees/ACME");
    ASSERT_EQ(b->open(), 0) << b->lastError();
    EXPECT_EQ(search(*b, "", DS_SEARCH_SUBTREE, "").size(), 96u);
    std::unique_ptr<EntryCursor> c;
    ASSERT_EQ(b->list("", c), 0);
    auto top = namesOf(drain(c));
    EXPECT_NE(std::find(top.begin(), top.end(), "Acme"), top.end());
    EXPECT_NE(std::find(top.begin(), top.end(), "GB"), top.end());
    Entry e;
    ASSERT_EQ(b->lookup("R\\.D.Acme", e), 0);
    EXPECT_EQ(e.objectFlags & DS_CONTAINER_ENTRY, DS_CONTAINER_ENTRY);
    ASSERT_EQ(b->lookup("Smith, John.Finance.Acme", e), 0);
    EXPECT_EQ(e.baseClass, "User");
    auto wendy = search(*b, "Wendy King.IT.Acme", DS_SEARCH_ENTRY, "", {"Group Membership"});
    ASSERT_EQ(wendy.size(), 1u);
    ASSERT_EQ(wendy[0].attributes.size(), 1u);
    EXPECT_EQ(wendy[0].attributes[0].syntax, SYN_DIST_NAME);
    EXPECT_EQ(wendy[0].attributes[0].values.size(), 13u);
    EXPECT_EQ(search(*b, "Acme", DS_SEARCH_SUBTREE, "User").size() +
                  search(*b, "GB", DS_SEARCH_SUBTREE, "User").size(),
              44u);
}

TEST(Embedded, SiblingsWithTheSameParentTextStillCheckTheirOwnParent) {
    // The second and third entries share their parent's spelling; the fourth spells the same
    // parent differently; the last names a parent that does not exist though it looks alike.
    std::string ldif = "dn: o=Acme\nobjectClass: organization\n\n"
                       "dn: ou=A,o=Acme\nobjectClass: organizationalUnit\n\n"
                       "dn: ou=B,o=Acme\nobjectClass: organizationalUnit\n\n"
                       "dn: ou=C, O=ACME\nobjectClass: organizationalUnit\n\n"
                       "dn: cn=x,ou=B,o=Acme\nobjectClass: person\n\n"
                       "dn: cn=y,ou=D,o=Acme\nobjectClass: person\n";
    auto b = makeEmbeddedBackendFromText("T", "", ldif);
    ASSERT_EQ(b->open(), 0) << b->lastError();
    Entry e;
    ASSERT_EQ(b->lookup("Acme", e), 0);
    EXPECT_EQ(e.subordinateCount, 3u);
    ASSERT_EQ(b->lookup("x.B.Acme", e), 0);
    EXPECT_EQ(b->lookup("y.D.Acme", e), 0);
}

// Large trees are read in two halves at once and have their values checked while they are in
// use: they must serve what a small tree serves, report the first fault of the file with its
// line in the whole file, and never end a search as if a damaged tree were whole.
TEST(Embedded, LargeTreesServeTheSameAndAreNeverPassedOffWhole) {
    std::string ldif = "dn: o=Acme\nobjectClass: organization\n\n"
                       "dn: ou=A,o=Acme\nobjectClass: organizationalUnit\n\n"
                       "dn: ou=B,o=Acme\nobjectClass: organizationalUnit\n";
    for (int i = 0; i < 300; ++i)
        ldif += "\ndn: cn=u" + std::to_string(i) + ",ou=" + (i % 2 ? "A" : "B") +
                ",o=Acme\nobjectClass: kvxUser\nsn: S" + std::to_string(i) +
                "\ntelephoneNumber: 1\n telephoneNumber: folded\nloginGraceLimit: " +
                std::to_string(i) + "\n";
    auto entries = [&](const std::string& text) {
        auto b = makeEmbeddedBackendFromText("T", kSchema, text);
        EXPECT_EQ(b->open(), 0) << b->lastError();
        std::vector<std::string> out;
        for (const Entry& e : search(*b, "Acme", DS_SEARCH_SUBTREE, "", {}, true)) {
            out.push_back(e.typedName);
            for (const EntryAttribute& a : e.attributes)
                for (const std::string& v : a.values)
                    out.push_back(a.name + "=" + v);
        }
        return out;
    };
    const std::vector<std::string> small = entries(ldif);
    ASSERT_GT(small.size(), 1200u);
    const std::size_t lines = static_cast<std::size_t>(std::count(ldif.begin(), ldif.end(), '\n'));
    const std::string early = "dn: cn=e,o=Acme\nobjectClass: kvxUser\nloginGraceLimit: x\n\n";
    const std::string late = "\ndn: cn=z,o=Acme\nobjectClass: kvxUser\nloginGraceLimit: x\n";

    setEmbeddedLargeTreeForTesting(1);
    EXPECT_EQ(entries(ldif), small);
    // A fault of the layout or of the names in the second half, with its line in the file.
    EXPECT_EQ(loadError(ldif + "\ndn: cn=q,o=Acme\nobjectClass person\n"),
              "ldif:" + std::to_string(lines + 3) + ": expected \"attribute: value\"");
    EXPECT_EQ(loadError(ldif + "\ndn: ou=B,o=Acme\nobjectClass: organizationalUnit\n")
                  .rfind("ldif:" + std::to_string(lines + 2) + ": duplicate entry", 0),
              0u);
    // Faults of values: the tree opens at once; a search hands out entries but ends with the
    // fault instead of its end, and the tree is refused from then on. The first fault of the
    // file is the one named.
    for (const std::string& text : {ldif + late, early + ldif + late}) {
        auto b = makeEmbeddedBackendFromText("T", kSchema, text);
        ASSERT_EQ(b->open(), 0) << b->lastError();
        SearchRequest r;
        r.base = "Acme";
        r.allAttributes = true;
        std::unique_ptr<EntryCursor> c;
        ASSERT_EQ(b->search(r, c), 0);
        Entry e;
        NWDSCCODE rc;
        while ((rc = c->next(e)) == 0) {
        }
        EXPECT_EQ(rc, ERR_UNREACHABLE_SERVER);
        const std::string line = std::to_string(text == early + ldif + late ? 3 : lines + 4);
        EXPECT_EQ(b->lastError(),
                  "ldif:" + line + ": bad value of \"loginGraceLimit\": not a 64-bit number")
            << b->lastError();
        EXPECT_EQ(b->lookup("Acme", e), ERR_UNREACHABLE_SERVER);
    }
    setEmbeddedLargeTreeForTesting(0);
    EXPECT_EQ(loadError(ldif + late).rfind("ldif:" + std::to_string(lines + 4) + ": bad value", 0),
              0u);
}
