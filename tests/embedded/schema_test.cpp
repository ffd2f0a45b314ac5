#include "directory/client/schema_text.h"

#include <gtest/gtest.h>

using namespace kvx::client;
using namespace kvx::client::schema;

namespace {

// The builtin definitions plus `text`, resolved; `error` holds the first fault.
bool loadWithCore(Schema& s, const std::string& text, std::string& error) {
    return s.loadText(builtinCoreSchema(), "core", error) &&
           s.loadText(text, "tree.schema", error) && s.resolve(error);
}

const char* kTreeSchema = R"(# Korvanex test schema
objectidentifier KvxAttr 1.3.6.1.4.1.99999.1

attributetype ( KvxAttr:1 NAME 'loginGraceLimit'
	DESC 'grace logins, it\27s a count'
	SYNTAX 1.3.6.1.4.1.1466.115.121.1.27 SINGLE-VALUE
	X-NDS_NAME 'Login Grace Limit' )
attributetype ( KvxAttr:2 NAME 'kvxAcl'
  SYNTAX 2.16.840.1.113719.1.1.5.1.17
  X-NDS_NAME 'ACL' )
# a comment between definitions
attributetype ( KvxAttr:3 NAME ( 'kvxNick' 'nickname' ) SUP name )
attributetype ( KvxAttr:4 NAME 'kvxStamp' SYNTAX 1.3.6.1.4.1.1466.115.121.1.15{64}
	X-NDS_SYNTAX '19' X-NDS_NAME 'Stamp' )
attributetype ( KvxAttr:5 NAME 'kvxOdd' SYNTAX 1.2.3.4 X-SOMETHING-ELSE ( 'a' 'b' ) )
objectclass ( 1.3.6.1.4.1.99999.2.1 NAME 'kvxUser' SUP organizationalPerson STRUCTURAL
	MAY ( loginGraceLimit $ kvxAcl $ kvxNick )
	X-NDS_NAME 'User'
	X-NDS_NAMING ( 'cn' 'uid' )
	X-NDS_CONTAINMENT ( 'organization' 'organizationalUnit' ) )
objectclass ( 1.3.6.1.4.1.99999.2.2 NAME 'kvxBranch' SUP organizationalUnit
	X-NDS_NAME 'Branch' )
OBJECTCLASS ( 1.3.6.1.4.1.99999.2.3 NAME 'kvxVolume' SUP top STRUCTURAL MUST cn
	X-NDS_CONTAINER 'TRUE' X-NDS_NAME 'Volume' )
objectclass ( 1.3.6.1.4.1.99999.2.4 NAME 'kvxAux' SUP top AUXILIARY MAY kvxStamp )
)";

} // namespace

TEST(SchemaText, SyntaxOidsMapToDirectorySyntaxes) {
    EXPECT_EQ(syntaxFromOid("1.3.6.1.4.1.1466.115.121.1.12"), SYN_DIST_NAME);
    EXPECT_EQ(syntaxFromOid("1.3.6.1.4.1.1466.115.121.1.34"), SYN_DIST_NAME);
    EXPECT_EQ(syntaxFromOid("1.3.6.1.4.1.1466.115.121.1.15"), SYN_CI_STRING);
    EXPECT_EQ(syntaxFromOid("1.3.6.1.4.1.1466.115.121.1.26"), SYN_CE_STRING);
    EXPECT_EQ(syntaxFromOid("1.3.6.1.4.1.1466.115.121.1.11"), SYN_PR_STRING);
    EXPECT_EQ(syntaxFromOid("1.3.6.1.4.1.1466.115.121.1.36"), SYN_NU_STRING);
    EXPECT_EQ(syntaxFromOid("1.3.6.1.4.1.1466.115.121.1.22"), SYN_FAX_NUMBER);
    EXPECT_EQ(syntaxFromOid("1.3.6.1.4.1.1466.115.121.1.27"), SYN_INTEGER);
    EXPECT_EQ(syntaxFromOid("1.3.6.1.4.1.1466.115.121.1.28"), SYN_OCTET_STRING);
    EXPECT_EQ(syntaxFromOid("1.3.6.1.4.1.1466.115.121.1.24"), SYN_TIME);
    EXPECT_EQ(syntaxFromOid("1.3.6.1.4.1.1466.115.121.1.41"), SYN_PO_ADDRESS);
    EXPECT_EQ(syntaxFromOid("1.3.6.1.4.1.1466.115.121.1.38"), SYN_CLASS_NAME);
    // Guide, UTC Time, UUID and Active Directory's own syntaxes: the nearest syntax.
    EXPECT_EQ(syntaxFromOid("1.3.6.1.4.1.1466.115.121.1.25"), SYN_CI_STRING);
    EXPECT_EQ(syntaxFromOid("1.3.6.1.4.1.1466.115.121.1.53"), SYN_TIME);
    EXPECT_EQ(syntaxFromOid("1.3.6.1.1.16.1"), SYN_CI_STRING);
    EXPECT_EQ(syntaxFromOid("1.2.840.113556.1.4.906"), SYN_INTEGER);
    EXPECT_EQ(syntaxFromOid("1.2.840.113556.1.4.903"), SYN_CE_STRING);
    EXPECT_EQ(syntaxFromOid("1.2.840.113556.1.4.999"), SYN_UNKNOWN);
    EXPECT_EQ(syntaxFromOid("2.16.840.1.113719.1.1.5.1.26"), SYN_HOLD);
    EXPECT_EQ(syntaxFromOid("2.16.840.1.113719.1.1.5.1.99"), SYN_UNKNOWN);
    EXPECT_EQ(syntaxFromOid("2.16.840.1.113719.1.1.5.1.1x"), SYN_UNKNOWN);
    EXPECT_EQ(syntaxFromOid("1.3.6.1.4.1.1466.115.121.1.150"), SYN_UNKNOWN);
}

TEST(SchemaText, DefinitionsReadWithExtensionsAndInheritance) {
    Schema s;
    std::string error;
    ASSERT_TRUE(loadWithCore(s, kTreeSchema, error)) << error;

    int grace = s.findAttribute("login grace LIMIT");
    ASSERT_GE(grace, 0);
    EXPECT_EQ(grace, s.findAttribute("logingracelimit"));
    EXPECT_EQ(grace, s.findAttribute("1.3.6.1.4.1.99999.1.1")); // OID macro expanded
    AttrDef a = s.attrDef(grace);
    EXPECT_EQ(a.name, "Login Grace Limit");
    EXPECT_EQ(a.syntax, SYN_INTEGER);
    EXPECT_EQ(a.flags & DS_SINGLE_VALUED_ATTR, DS_SINGLE_VALUED_ATTR);

    EXPECT_EQ(s.attrDef(s.findAttribute("ACL")).syntax, SYN_OBJECT_ACL);
    // No SYNTAX: the SUP chain (kvxNick -> name) gives Directory String.
    AttrDef nick = s.attrDef(s.findAttribute("nickname"));
    EXPECT_EQ(nick.name, "kvxNick");
    EXPECT_EQ(nick.syntax, SYN_CI_STRING);
    EXPECT_EQ(nick.flags & DS_SINGLE_VALUED_ATTR, 0u);
    // X-NDS_SYNTAX wins over SYNTAX; unknown OIDs give 0; other X- extensions are skipped.
    EXPECT_EQ(s.attrDef(s.findAttribute("Stamp")).syntax, SYN_TIMESTAMP);
    EXPECT_EQ(s.attrDef(s.findAttribute("kvxOdd")).syntax, SYN_UNKNOWN);
    // Well-known NDS names of the core attributes, and syntaxes through SUP.
    EXPECT_EQ(s.attrDef(s.findAttribute("givenName")).name, "Given Name");
    EXPECT_EQ(s.attrDef(s.findAttribute("Given Name")).syntax, SYN_CI_STRING);
    EXPECT_EQ(s.attrDef(s.findAttribute("member")).syntax, SYN_DIST_NAME);
    EXPECT_EQ(s.attrDef(s.findAttribute("objectClass")).name, "Object Class");
    EXPECT_EQ(s.attrDef(s.findAttribute("c")).flags & DS_SINGLE_VALUED_ATTR, DS_SINGLE_VALUED_ATTR);

    ClassDef user = s.classDef(s.findClass("USER"));
    EXPECT_EQ(user.name, "User");
    EXPECT_EQ(user.flags, DS_EFFECTIVE_CLASS);
    EXPECT_EQ(user.superClasses, std::vector<std::string>{"Organizational Person"});
    EXPECT_EQ(user.containmentClasses,
              (std::vector<std::string>{"Organization", "Organizational Unit"}));
    EXPECT_EQ(user.namingAttributes, (std::vector<std::string>{"CN", "uniqueID"}));
    EXPECT_TRUE(user.mandatoryAttributes.empty());
    EXPECT_EQ(user.optionalAttributes,
              (std::vector<std::string>{"Login Grace Limit", "ACL", "kvxNick"}));

    ClassDef person = s.classDef(s.findClass("person"));
    EXPECT_EQ(person.mandatoryAttributes, (std::vector<std::string>{"Surname", "CN"}));
    EXPECT_EQ(person.superClasses, std::vector<std::string>{"Top"});

    // Containers: derived from organizationalUnit, or marked by the extension.
    EXPECT_EQ(s.classDef(s.findClass("Branch")).flags, DS_EFFECTIVE_CLASS | DS_CONTAINER_CLASS);
    EXPECT_EQ(s.classDef(s.findClass("Volume")).flags, DS_EFFECTIVE_CLASS | DS_CONTAINER_CLASS);
    EXPECT_EQ(s.classDef(s.findClass("Top")).flags, 0u);
    EXPECT_EQ(s.classDef(s.findClass("kvxAux")).flags, 0u);

    EXPECT_TRUE(s.derivesFrom(s.findClass("User"), s.findClass("Person")));
    EXPECT_TRUE(s.derivesFrom(s.findClass("User"), s.findClass("top")));
    EXPECT_FALSE(s.derivesFrom(s.findClass("Person"), s.findClass("User")));
    EXPECT_FALSE(s.derivesFrom(s.findClass("Branch"), s.findClass("Organization")));
}

TEST(SchemaText, SingleDefinitionsAsServersHandThemOut) {
    AttributeTypeDef a;
    std::string why;
    ASSERT_TRUE(parseAttributeType("( 2.5.4.3 NAME ( 'cn' 'commonName' ) SUP name )", a, why));
    EXPECT_EQ(a.oid, "2.5.4.3");
    EXPECT_EQ(a.names, (std::vector<std::string>{"cn", "commonName"}));
    EXPECT_EQ(a.sup, "name");
    ObjectClassDef c;
    ASSERT_TRUE(parseObjectClass("( 2.5.6.6 NAME 'person' SUP top STRUCTURAL MUST ( sn $ cn ) "
                                 "MAY userPassword )",
                                 c, why));
    EXPECT_EQ(c.must, (std::vector<std::string>{"sn", "cn"}));
    EXPECT_EQ(c.may, std::vector<std::string>{"userPassword"});
    EXPECT_EQ(c.kind, ObjectClassDef::Structural);

    for (const char* bad :
         {"2.5.4.3 NAME 'cn' SUP name", "( 2.5.4.3 NAME 'cn' )", "( 2.5.4.3 NAME 'cn SUP name )",
          "( 2.5.4.3 NAME cn SUP name )", "( 2.5.4.3 BOGUS 'x' SUP name )",
          "( 2.5.4.3 SUP name X-NDS_SYNTAX '29' )", "( 'x' SUP name )"})
        EXPECT_FALSE(parseAttributeType(bad, a, why)) << bad;
    for (const char* bad :
         {"( 1.2 MUST ( a $ ) )", "( 1.2 MUST ( a b ) )", "( 1.2 ABSTRACT AUXILIARY )",
          "( 1.2 X-NDS_CONTAINER 'maybe' )", "( 1.2 MAY )"})
        EXPECT_FALSE(parseObjectClass(bad, c, why)) << bad;
}

TEST(SchemaText, DamagedFilesNameTheLineOfTheFault) {
    struct Case {
        const char* text;
        const char* expect; // start of the error text
    };
    const Case cases[] = {
        {"\n\nattributetype ( 9.9.1 NAME 'x'\n  SUP nosuch )\n", "tree.schema:3: unknown SUP"},
        {"attributetype ( 9.9.1 NAME 'x' SUP name )\n\nobjectclass ( 9.9.2 NAME 'y' MUST nosuch "
         ")\n",
         "tree.schema:3: unknown attribute type \"nosuch\""},
        {"objectclass ( 9.9.2 NAME 'y' SUP nosuch )\n", "tree.schema:1: unknown SUP object class"},
        {"attributetype ( 9.9.1 NAME 'cn' SUP name )\n", "tree.schema:1: duplicate attribute"},
        {"attributetype ( 2.5.4.3 NAME 'other' SUP name )\n", "tree.schema:1: duplicate attribute"},
        {"attributetype ( 9.9.1 NAME 'x' SUP name X-NDS_NAME 'Same' )\n"
         "attributetype ( 9.9.2 NAME 'y' SUP name X-NDS_NAME 'same' )\n",
         "tree.schema:2: duplicate attribute"},
        {"objectclass ( 9.9.2 NAME 'person' )\n", "tree.schema:1: duplicate object class"},
        {"attributetype ( 9.9.1 NAME 'a' SUP b )\nattributetype ( 9.9.2 NAME 'b' SUP a )\n",
         "tree.schema:1: SUP chain"},
        {"objectclass ( 9.9.2 NAME 'y' SUP z )\nobjectclass ( 9.9.3 NAME 'z' SUP y )\n",
         "tree.schema:1: SUP chain"},
        {"  ( 9.9.1 NAME 'x' SUP name )\n", "tree.schema:1: continuation"},
        {"# fine\nattributetypo ( 9.9.1 NAME 'x' SUP name )\n",
         "tree.schema:2: unknown schema keyword"},
        {"attributetype ( 9.9.1 NAME 'x'\n\tSUP name\n",
         "tree.schema:1: a definition must be enclosed"},
        {"objectclass ( 9.9.2 NAME 'y' X-NDS_CONTAINMENT 'nowhere' )\n",
         "tree.schema:1: unknown containment class"},
    };
    for (const Case& c : cases) {
        Schema s;
        std::string error;
        EXPECT_FALSE(loadWithCore(s, c.text, error)) << c.text;
        EXPECT_EQ(error.rfind(c.expect, 0), 0u) << "got: " << error;
    }
}

TEST(SchemaText, BuiltinCoreSchemaLoadsAlone) {
    Schema s;
    std::string error;
    ASSERT_TRUE(s.loadText(builtinCoreSchema(), "core", error) && s.resolve(error)) << error;
    for (const char* cls :
         {"top", "alias", "country", "locality", "organization", "organizationalUnit", "person",
          "organizationalPerson", "organizationalRole", "groupOfNames"})
        EXPECT_GE(s.findClass(cls), 0) << cls;
    EXPECT_EQ(s.classDef(s.findClass("organizationalUnit")).flags,
              DS_CONTAINER_CLASS | DS_EFFECTIVE_CLASS);
    EXPECT_EQ(s.classDef(s.findClass("Organizational Role")).flags, DS_EFFECTIVE_CLASS);
    EXPECT_EQ(s.attributes()[s.findAttribute("telephoneNumber")].syntax, SYN_TEL_NUMBER);
    EXPECT_EQ(s.attributes()[s.findAttribute("postalAddress")].syntax, SYN_PO_ADDRESS);
}

TEST(SchemaText, VeryLongSupChainsAreRefusedNotFollowedToTheEnd) {
    // Written most derived first, so resolving the first definition walks the whole chain.
    auto chain = [](int n) {
        std::string text;
        for (int i = n - 1; i > 0; --i)
            text += "attributetype ( 9.9." + std::to_string(i) + " NAME 'a" + std::to_string(i) +
                    "' SUP a" + std::to_string(i - 1) + " )\n";
        return text + "attributetype ( 9.9.0 NAME 'a0' SUP name )\n";
    };
    Schema ok;
    std::string error;
    ASSERT_TRUE(loadWithCore(ok, chain(100), error)) << error;
    EXPECT_EQ(ok.attributes()[ok.findAttribute("a99")].syntax, SYN_CI_STRING);
    Schema tooLong;
    EXPECT_FALSE(loadWithCore(tooLong, chain(5000), error));
    EXPECT_NE(error.find("is too long"), std::string::npos) << error;
}
