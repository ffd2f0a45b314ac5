#include "directory/client/normalize.h"

#include <gtest/gtest.h>

using namespace kvx::client;

namespace {

std::string norm(nuint32 syntax, std::string_view v) {
    static const NameMapper mapper;
    return normalizeValue(syntax, v, mapper);
}

} // namespace

TEST(Normalize, NamesInsideValuesBecomeTypelessNames) {
    EXPECT_EQ(norm(SYN_DIST_NAME, "cn=Ann,ou=Sales,o=Acme"), "Ann.Sales.Acme");
    EXPECT_EQ(norm(SYN_DIST_NAME, "cn=J.R.,o=Acme"), "J\\.R\\..Acme");
    EXPECT_EQ(norm(SYN_CLASS_NAME, "organizationalUnit"), "Organizational Unit");
    EXPECT_EQ(norm(SYN_CLASS_NAME, "someOtherClass"), "someOtherClass");
    EXPECT_EQ(norm(SYN_PATH, "cn=VOL1,o=Acme#0#/home/ann#1"), "VOL1.Acme#0#/home/ann#1");
    EXPECT_EQ(norm(SYN_REPLICA_POINTER, "cn=FS1,o=Acme#0#1#1#1#0A000001"),
              "FS1.Acme#0#1#1#1#0A000001");
    EXPECT_EQ(norm(SYN_BACK_LINK, "7#cn=FS1,o=Acme"), "7#FS1.Acme");
    EXPECT_EQ(norm(SYN_HOLD, "25#cn=Ann,o=Acme"), "25#Ann.Acme");
    // A "#" inside the object's DN stays escaped: it does not shift the level and interval.
    EXPECT_EQ(norm(SYN_TYPED_NAME, "cn=Q\\#1,o=Acme#3#60"), "Q\\#1.Acme#3#60");
}

TEST(Normalize, AccessControlEntriesKeepSpecialNames) {
    EXPECT_EQ(norm(SYN_OBJECT_ACL, "31#entry#[Public]#[Entry Rights]"),
              "31#entry#[Public]#[Entry Rights]");
    EXPECT_EQ(norm(SYN_OBJECT_ACL, "2#subtree#cn=Admin,o=Acme#givenName"),
              "2#subtree#Admin.Acme#Given Name");
    EXPECT_EQ(norm(SYN_OBJECT_ACL, "2#subtree#cn=Admin,o=Acme#[All Attributes Rights]"),
              "2#subtree#Admin.Acme#[All Attributes Rights]");
}

TEST(Normalize, OtherSyntaxesAreHandedOutAsStored) {
    for (nuint32 syntax :
         std::initializer_list<nuint32>{SYN_CE_STRING, SYN_CI_STRING, SYN_CI_LIST, SYN_INTEGER,
                                        SYN_OCTET_STRING, SYN_NET_ADDRESS, SYN_TIME, SYN_TIMESTAMP,
                                        SYN_PO_ADDRESS, SYN_UNKNOWN, static_cast<nuint32>(99)})
        EXPECT_EQ(norm(syntax, "cn=x,o=y#1$2"), "cn=x,o=y#1$2") << syntax;
    std::string bytes("\0\xff#\n", 4);
    EXPECT_EQ(norm(SYN_OCTET_STRING, bytes), bytes);
}

TEST(Normalize, StoredValuesAreCheckedForTheirSyntax) {
    struct Case {
        nuint32 syntax;
        const char* value;
        bool ok;
    };
    const Case cases[] = {
        {SYN_INTEGER, "42", true},
        {SYN_INTEGER, "-2147483648", true},
        {SYN_INTEGER, "-2147483649", true},
        {SYN_INTEGER, "4294967295", true},
        {SYN_INTEGER, "9223372036854775807", true},
        {SYN_INTEGER, "9223372036854775808", false},
        {SYN_INTEGER, "000000000000042", true},
        {SYN_INTEGER, "4x", false},
        {SYN_INTEGER, "", false},
        {SYN_COUNTER, "-", false},
        {SYN_BOOLEAN, "true", true},
        {SYN_BOOLEAN, "FALSE", true},
        {SYN_BOOLEAN, "yes", false},
        {SYN_TIME, "20240131235959Z", true},
        {SYN_TIME, "20240131235959.123+0100", true},
        {SYN_TIME, "20241331235959Z", false},
        {SYN_TIME, "20240131235959", false},
        {SYN_TIME, "2024013123", false},
        {SYN_DIST_NAME, "cn=a,o=b", true},
        {SYN_DIST_NAME, "not a dn", false},
        {SYN_DIST_NAME, "", false},
        {SYN_NET_ADDRESS, "1#0A000001", true},
        {SYN_NET_ADDRESS, "1#0A00001", false},
        {SYN_NET_ADDRESS, "ip#0A000001", false},
        {SYN_OCTET_LIST, "0A0B$FF", true},
        {SYN_OCTET_LIST, "0A0B$F", false},
        {SYN_EMAIL_ADDRESS, "0#ann@acme.example", true},
        {SYN_EMAIL_ADDRESS, "ann@acme.example", false},
        {SYN_PATH, "cn=VOL1,o=Acme#0#/a#b", true},
        {SYN_PATH, "cn=VOL1,o=Acme#/a", false},
        {SYN_REPLICA_POINTER, "cn=FS1,o=Acme#0#1#1#1#0A000001", true},
        {SYN_REPLICA_POINTER, "cn=FS1,o=Acme#0#1#1#1", false},
        {SYN_OBJECT_ACL, "31#entry#[Public]#[Entry Rights]", true},
        {SYN_OBJECT_ACL, "31#7#cn=a,o=b#cn", true},
        {SYN_OBJECT_ACL, "31#everywhere#[Public]#cn", false},
        {SYN_OBJECT_ACL, "all#entry#[Public]#cn", false},
        {SYN_OBJECT_ACL, "31#entry#nobody#cn", false},
        {SYN_OBJECT_ACL, "31#entry#[Public]", false},
        {SYN_TIMESTAMP, "1700000000#1#5", true},
        {SYN_TIMESTAMP, "1700000000#1", false},
        {SYN_BACK_LINK, "7#cn=FS1,o=Acme", true},
        {SYN_BACK_LINK, "cn=FS1,o=Acme", false},
        {SYN_TYPED_NAME, "cn=a,o=b#1#2", true},
        {SYN_TYPED_NAME, "cn=a,o=b#1", false},
        {SYN_HOLD, "10#cn=a,o=b", true},
        {SYN_HOLD, "ten#cn=a,o=b", false},
        {SYN_CI_STRING, "", true},
        {SYN_OCTET_STRING, "\x01\x02", true},
    };
    for (const Case& c : cases) {
        std::string why;
        EXPECT_EQ(checkStoredValue(c.syntax, c.value, &why), c.ok)
            << "syntax " << c.syntax << " value \"" << c.value << "\"";
        EXPECT_EQ(why.empty(), c.ok) << c.value;
    }
}
