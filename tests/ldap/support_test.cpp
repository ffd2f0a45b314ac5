// The LDAP backend's server-free parts: result codes, filters and the schema model built from
// whatever a server's subschema entry holds.
#include "directory/client/ldap/ldap_support.h"

#include <gtest/gtest.h>

#include <ldap.h>

#include <chrono>

namespace kvx::client::ldapbk {
namespace {

TEST(LdapCodes, ServerResultsBecomeClientCodes) {
    EXPECT_EQ(clientCode(LDAP_SUCCESS, false), 0);
    EXPECT_EQ(clientCode(LDAP_NO_SUCH_OBJECT, false), ERR_NO_SUCH_ENTRY);
    EXPECT_EQ(clientCode(LDAP_INSUFFICIENT_ACCESS, false), ERR_NO_ACCESS);
    EXPECT_EQ(clientCode(LDAP_INVALID_CREDENTIALS, true), ERR_FAILED_AUTHENTICATION);
    EXPECT_EQ(clientCode(LDAP_SIZELIMIT_EXCEEDED, false), ERR_SIZE_LIMIT_EXCEEDED);
    EXPECT_EQ(clientCode(LDAP_ADMINLIMIT_EXCEEDED, false), ERR_SIZE_LIMIT_EXCEEDED);
    EXPECT_EQ(clientCode(LDAP_TIMELIMIT_EXCEEDED, false), ERR_TIME_LIMIT_EXCEEDED);
    // A server that is not there at start is unreachable; one lost part-way is a transport
    // failure of the call that was running.
    EXPECT_EQ(clientCode(LDAP_SERVER_DOWN, true), ERR_UNREACHABLE_SERVER);
    EXPECT_EQ(clientCode(LDAP_SERVER_DOWN, false), ERR_TRANSPORT_FAILURE);
    EXPECT_EQ(clientCode(LDAP_TIMEOUT, false), ERR_TRANSPORT_FAILURE);
    EXPECT_EQ(clientCode(LDAP_CONNECT_ERROR, false), ERR_UNREACHABLE_SERVER);
    // Nothing unknown passes for success.
    for (int code : {LDAP_OTHER, 4711, -4711, LDAP_LOOP_DETECT})
        EXPECT_LT(clientCode(code, false), 0) << code;
}

TEST(LdapFilters, AssertionValuesAreEscaped) {
    EXPECT_EQ(escapeFilterValue("Smith, John"), "Smith, John");
    EXPECT_EQ(escapeFilterValue("a*(b)\\c"), "a\\2a\\28b\\29\\5cc");
    EXPECT_EQ(escapeFilterValue(std::string("x\0y", 3)), "x\\00y");
    EXPECT_EQ(escapeFilterValue("Jos\xC3\xA9"), "Jos\xC3\xA9");
    EXPECT_EQ(namingFilter({"cn", "ou"}, "R*D"), "(|(cn=R\\2aD)(ou=R\\2aD))");
    EXPECT_EQ(stripOptions("userCertificate;binary"), "userCertificate");
    EXPECT_EQ(stripOptions("cn"), "cn");
}

const char* kString = "1.3.6.1.4.1.1466.115.121.1.15";

TEST(LdapSchema, WhateverTheServerHoldsGivesAUsableModel) {
    std::vector<std::string> types = {
        "( 2.5.4.0 NAME 'objectClass' EQUALITY objectIdentifierMatch "
        "SYNTAX 1.3.6.1.4.1.1466.115.121.1.38 )",
        std::string("( 2.5.4.41 NAME 'name' SYNTAX ") + kString + "{32768} )",
        "( 2.5.4.3 NAME ( 'cn' 'commonName' ) SUP name )",
        "( 2.5.4.11 NAME ( 'ou' 'organizationalUnitName' ) SUP name )",
        "( 2.16.840.1.113719.1.1.4.1.99 NAME 'ndsLoginTime' "
        "SYNTAX 1.3.6.1.4.1.1466.115.121.1.24 SINGLE-VALUE X-NDS_NAME 'Login Time' )",
        "( this does not read",
        "( 1.2.3.4 NAME 'orphan' SUP notThere )",
        std::string("( 1.3.6.1.4.1.4203.1.12.2.3.0.1 NAME 'olcAccess' SYNTAX ") + kString + " )",
        // Wants an NDS name another type has: keeps its LDAP name instead.
        std::string("( 9.9.9.1 NAME 'fooBar' SYNTAX ") + kString + " X-NDS_NAME 'CN' )",
        // The same OID twice: the second is left out.
        std::string("( 2.5.4.3 NAME 'cnAgain' SYNTAX ") + kString + " )",
    };
    std::vector<std::string> classes = {
        "( 2.5.6.0 NAME 'top' ABSTRACT MUST objectClass )",
        "( 2.5.6.6 NAME 'person' SUP top STRUCTURAL MUST ( sn $ cn ) MAY ( orphan $ name ) )",
        "( 2.5.6.5 NAME 'organizationalUnit' SUP top STRUCTURAL MUST ou )",
        "( 9.9.9.2 NAME 'department' SUP organizationalUnit STRUCTURAL )",
        "( 9.9.9.3 NAME 'lost' SUP missingClass STRUCTURAL )",
        "( 9.9.9.4 NAME 'lostChild' SUP lost STRUCTURAL )",
        "( 1.3.6.1.4.1.4203.1.12.2.4.0.1 NAME 'olcGlobal' SUP top STRUCTURAL )",
        "( broken",
    };
    schema::Schema s;
    std::string error;
    std::vector<std::string> notes;
    ASSERT_TRUE(buildSchema(types, classes, s, error, &notes)) << error;
    EXPECT_GE(notes.size(), 6u);

    int cn = s.findAttribute("CN");
    ASSERT_GE(cn, 0);
    EXPECT_EQ(s.attributes()[cn].names.front(), "cn");
    EXPECT_EQ(s.attributes()[cn].syntax, SYN_CI_STRING); // through SUP name
    EXPECT_EQ(s.findAttribute("commonName"), cn);
    EXPECT_EQ(s.findAttribute("cnAgain"), -1);
    int foo = s.findAttribute("fooBar");
    ASSERT_GE(foo, 0);
    EXPECT_EQ(s.attributes()[foo].ndsName, "fooBar");
    int login = s.findAttribute("Login Time");
    ASSERT_GE(login, 0);
    EXPECT_EQ(s.attributes()[login].syntax, SYN_TIME);
    EXPECT_TRUE(s.attributes()[login].singleValue);
    EXPECT_EQ(s.findAttribute("orphan"), -1);
    EXPECT_EQ(s.findAttribute("olcAccess"), -1);

    int person = s.findClass("Person");
    ASSERT_GE(person, 0);
    EXPECT_EQ(s.classes()[person].must, std::vector<std::string>{"cn"}); // sn unknown here
    EXPECT_EQ(s.classes()[person].may, std::vector<std::string>{"name"});
    int dept = s.findClass("department");
    ASSERT_GE(dept, 0);
    EXPECT_TRUE(s.classes()[dept].container); // derived from a container class
    EXPECT_TRUE(s.derivesFrom(dept, s.findClass("Organizational Unit")));
    EXPECT_EQ(s.findClass("lost"), -1);
    EXPECT_EQ(s.findClass("lostChild"), -1);
    EXPECT_EQ(s.findClass("olcGlobal"), -1);
}

// Servers publish thousands of definitions; reading them must not take time that grows with
// the square of their number.
TEST(LdapSchema, ALargeSchemaIsReadQuickly) {
    std::vector<std::string> types = {std::string("( 2.5.4.41 NAME 'name' SYNTAX ") + kString +
                                      " )"};
    for (int i = 0; i < 4000; ++i)
        types.push_back("( 9.1." + std::to_string(i) + " NAME 'attr" + std::to_string(i) +
                        "' SUP name )");
    std::vector<std::string> classes = {"( 2.5.6.0 NAME 'top' ABSTRACT )"};
    for (int c = 0; c < 800; ++c) {
        std::string may;
        for (int k = 0; k < 150; ++k)
            may += (k ? " $ attr" : "attr") + std::to_string((c * 7 + k) % 4000);
        classes.push_back("( 9.2." + std::to_string(c) + " NAME 'class" + std::to_string(c) +
                          "' SUP top STRUCTURAL MAY ( " + may + " ) )");
    }
    schema::Schema s;
    std::string error;
    auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(buildSchema(types, classes, s, error)) << error;
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
    int last = s.findClass("class799");
    ASSERT_GE(last, 0);
    EXPECT_EQ(s.classes()[last].may.size(), 150u);
}

TEST(LdapSchema, NothingUsableIsAFailureNotACrash) {
    schema::Schema s;
    std::string error;
    EXPECT_TRUE(buildSchema({}, {}, s, error));
    EXPECT_EQ(s.findClass("top"), -1);
    // A class list whose every entry loops on itself.
    EXPECT_TRUE(buildSchema({}, {"( 1.1 NAME 'a' SUP b )", "( 1.2 NAME 'b' SUP a )"}, s, error) ==
                false);
    EXPECT_FALSE(error.empty());
}

// Active Directory's subschema quotes its syntax OIDs and uses its own syntaxes: every
// definition is read (a missing objectClass attribute made every search a bad request).
TEST(LdapSchema, ActiveDirectoryDefinitionsRead) {
    schema::Schema s;
    std::string error;
    ASSERT_TRUE(buildSchema(
        {"( 2.5.4.0 NAME 'objectClass' SYNTAX '1.3.6.1.4.1.1466.115.121.1.38' "
         "NO-USER-MODIFICATION )",
         "( 2.5.4.3 NAME 'cn' SYNTAX '1.3.6.1.4.1.1466.115.121.1.15' SINGLE-VALUE )",
         "( 1.2.840.113556.1.4.96 NAME 'pwdLastSet' SYNTAX '1.2.840.113556.1.4.906' "
         "SINGLE-VALUE )",
         "( 1.2.840.113556.1.2.83 NAME 'repsTo' SYNTAX '1.3.6.1.4.1.1466.115.121.1.53' )"},
        {"( 2.5.6.0 NAME 'top' ABSTRACT MUST (objectClass ) MAY (cn ) )",
         "( 1.2.840.113556.1.3.23 NAME 'container' SUP top STRUCTURAL MUST (cn ) )"},
        s, error))
        << error;
    ASSERT_GE(s.findAttribute("objectClass"), 0);
    EXPECT_EQ(s.attributes()[s.findAttribute("pwdLastSet")].syntax, SYN_INTEGER);
    EXPECT_EQ(s.attributes()[s.findAttribute("repsTo")].syntax, SYN_TIME);
    EXPECT_GE(s.findClass("container"), 0);
}

// Active Directory's values as its own tools show them, and what is not such a value.
TEST(LdapActiveDirectoryValues, TextForms) {
    std::string out;
    // S-1-5-21-1-2-3-500: revision 1, four sub-authorities, authority 5.
    const std::string sid("\x01\x04\x00\x00\x00\x00\x00\x05\x15\x00\x00\x00\x01\x00\x00\x00"
                          "\x02\x00\x00\x00\xF4\x01\x00\x00",
                          24);
    EXPECT_TRUE(appendSidText(sid, out));
    EXPECT_EQ(out, "S-1-5-21-1-2-500");
    out.clear();
    EXPECT_FALSE(appendSidText(sid.substr(0, 23), out)); // a count its length does not hold
    EXPECT_TRUE(out.empty());

    EXPECT_TRUE(appendFileTimeAsGeneralized("116444736000000000", out)); // 1970-01-01
    EXPECT_EQ(out, "19700101000000Z");
    out.clear();
    EXPECT_TRUE(appendFileTimeAsGeneralized("133500000000000000", out));
    EXPECT_EQ(out, "20240117212000Z");
    out.clear();
    for (const char* none : {"0", "9223372036854775807", "116444735990000000", "-1", "12a"})
        EXPECT_FALSE(appendFileTimeAsGeneralized(none, out)) << none;
    EXPECT_TRUE(out.empty());

    EXPECT_TRUE(appendUtcAsGeneralized("491231235959Z", out));
    EXPECT_EQ(out, "20491231235959Z");
    out.clear();
    EXPECT_TRUE(appendUtcAsGeneralized("500101000000Z", out));
    EXPECT_EQ(out, "19500101000000Z");
    out.clear();

    EXPECT_TRUE(appendAccountControlText("66050", out));
    EXPECT_EQ(out, "0x10202 = ( ACCOUNTDISABLE | NORMAL_ACCOUNT | DONT_EXPIRE_PASSWORD )");
    out.clear();
    EXPECT_TRUE(appendAccountControlText("0", out));
    EXPECT_EQ(out, "0x0");
    out.clear();
    EXPECT_FALSE(appendAccountControlText("4294967296", out));

    long first = 0, last = 0;
    EXPECT_TRUE(rangeOption("member;range=1500-2999", first, last));
    EXPECT_EQ(first, 1500);
    EXPECT_EQ(last, 2999);
    EXPECT_TRUE(rangeOption("member;binary;Range=3000-*", first, last));
    EXPECT_EQ(first, 3000);
    EXPECT_EQ(last, -1);
    EXPECT_FALSE(rangeOption("member", first, last));
    EXPECT_FALSE(rangeOption("member;range=x-*", first, last));
}

} // namespace
} // namespace kvx::client::ldapbk
