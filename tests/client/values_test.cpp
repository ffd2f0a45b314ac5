// Value layouts by syntax, their lenient reading of bad text, and Generalized Time.
#include "directory/client/normalize.h"
#include "directory/client/values.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <random>
#include <string>

using namespace kvx::client;

namespace {

// A value laid out in an area of exactly the size the client asks for (malloc'd, so the
// sanitizer catches a byte written past it).
class Laid {
public:
    Laid(nuint32 syntax, std::string_view text) {
        size = layoutSize(syntax, text);
        area = std::malloc(size ? size : 1);
        rc = layoutValue(syntax, text, area, size);
    }
    ~Laid() { std::free(area); }
    Laid(const Laid&) = delete;
    Laid& operator=(const Laid&) = delete;

    template <class T> const T& as() const { return *static_cast<const T*>(area); }
    bool inside(const void* p) const {
        auto* b = static_cast<const unsigned char*>(area);
        auto* q = static_cast<const unsigned char*>(p);
        return q >= b && q < b + size;
    }

    std::size_t size = 0;
    void* area = nullptr;
    NWDSCCODE rc = 0;
};

std::string bytes(const nuint8* data, nuint32 length) {
    return data ? std::string(reinterpret_cast<const char*>(data), length) : std::string();
}

nuint32 utc(int y, int mo, int d, int h, int mi, int s) {
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    return static_cast<nuint32>(timegm(&tm));
}

} // namespace

TEST(ValueLayout, TextsAreZeroTerminatedCopies) {
    for (nuint32 syntax : {SYN_DIST_NAME, SYN_CE_STRING, SYN_CI_STRING, SYN_PR_STRING,
                           SYN_NU_STRING, SYN_TEL_NUMBER, SYN_CLASS_NAME}) {
        Laid v(syntax, "Ann Smith.Sales");
        ASSERT_EQ(v.rc, 0);
        EXPECT_EQ(v.size, 16u);
        EXPECT_STREQ(static_cast<const char*>(v.area), "Ann Smith.Sales");
        Laid empty(syntax, "");
        EXPECT_EQ(empty.size, 1u);
        EXPECT_STREQ(static_cast<const char*>(empty.area), "");
    }
}

TEST(ValueLayout, TooSmallOrMissingAreaIsRefused) {
    std::size_t size = layoutSize(SYN_PATH, "SYS#0#x");
    std::vector<void*> area(size / sizeof(void*) + 1);
    EXPECT_EQ(layoutValue(SYN_PATH, "SYS#0#x", area.data(), size - 1), ERR_BUFFER_FULL);
    EXPECT_EQ(layoutValue(SYN_PATH, "SYS#0#x", nullptr, size), ERR_INVALID_API_PARAMETER);
    EXPECT_EQ(layoutValue(SYN_PATH, "SYS#0#x", area.data(), size), 0);
}

TEST(ValueLayout, NumbersBooleansAndTime) {
    EXPECT_EQ(Laid(SYN_INTEGER, "42").as<nuint32>(), 42u);
    EXPECT_EQ(Laid(SYN_INTEGER, "-1").as<nuint32>(), 4294967295u);
    EXPECT_EQ(Laid(SYN_COUNTER, "4294967295").as<nuint32>(), 4294967295u);
    EXPECT_EQ(Laid(SYN_INTERVAL, "-2147483648").as<nuint32>(), 2147483648u);
    // Beyond 32 bits the number is kept whole (64-bit counters and times).
    EXPECT_EQ(Laid(SYN_INTEGER, "4294967296").as<std::int64_t>(), 4294967296LL);
    EXPECT_EQ(Laid(SYN_INTEGER, "-2147483649").as<std::int64_t>(), -2147483649LL);
    EXPECT_EQ(Laid(SYN_INTEGER, "9223372036854775807").as<std::int64_t>(), INT64_MAX);
    // Lenient: what does not read as a 64-bit number is 0.
    EXPECT_EQ(Laid(SYN_INTEGER, "9223372036854775808").as<std::int64_t>(), 0);
    EXPECT_EQ(Laid(SYN_INTEGER, "12abc").as<nuint32>(), 0u);
    EXPECT_EQ(Laid(SYN_INTEGER, "").as<nuint32>(), 0u);
    EXPECT_EQ(Laid(SYN_INTEGER, std::string(5000, '9')).as<nuint32>(), 0u);

    EXPECT_EQ(Laid(SYN_BOOLEAN, "TRUE").as<nuint8>(), 1);
    EXPECT_EQ(Laid(SYN_BOOLEAN, "true").as<nuint8>(), 1);
    EXPECT_EQ(Laid(SYN_BOOLEAN, "FALSE").as<nuint8>(), 0);
    EXPECT_EQ(Laid(SYN_BOOLEAN, "maybe").as<nuint8>(), 0);
    EXPECT_EQ(Laid(SYN_BOOLEAN, "TRUE").size, 1u);

    EXPECT_EQ(Laid(SYN_TIME, "20240229123456Z").as<nuint32>(), utc(2024, 2, 29, 12, 34, 56));
    EXPECT_EQ(Laid(SYN_TIME, "not a time").as<nuint32>(), 0u);
}

TEST(ValueLayout, OctetStringsStreamsAndUnknownSyntaxesCarryTheRawBytes) {
    const std::string raw("a\0b\xff", 4);
    for (nuint32 syntax :
         std::vector<nuint32>{SYN_OCTET_STRING, SYN_STREAM, SYN_UNKNOWN, 28, 999}) {
        Laid v(syntax, raw);
        ASSERT_EQ(v.rc, 0);
        const auto& o = v.as<Octet_String_T>();
        EXPECT_EQ(o.length, 4u);
        EXPECT_TRUE(v.inside(o.data));
        EXPECT_EQ(bytes(o.data, o.length), raw);
    }
    Laid empty(SYN_OCTET_STRING, "");
    EXPECT_EQ(empty.as<Octet_String_T>().length, 0u);
}

TEST(ValueLayout, ListsFollowTheirLinksInsideTheArea) {
    Laid list(SYN_CI_LIST, "one$tw\\24o$th\\5Cree$$bad\\zz");
    ASSERT_EQ(list.rc, 0);
    std::vector<std::string> items;
    for (const CI_List_T* i = &list.as<CI_List_T>(); i; i = i->next) {
        ASSERT_TRUE(list.inside(i));
        ASSERT_TRUE(list.inside(i->s));
        items.push_back(i->s);
    }
    EXPECT_EQ(items, (std::vector<std::string>{"one", "tw$o", "th\\ree", "", "bad\\zz"}));

    Laid octets(SYN_OCTET_LIST, "0102$$FF");
    std::vector<std::string> got;
    for (const Octet_List_T* i = &octets.as<Octet_List_T>(); i; i = i->next) {
        ASSERT_TRUE(octets.inside(i));
        got.push_back(bytes(i->data, i->length));
    }
    EXPECT_EQ(got, (std::vector<std::string>{"\x01\x02", "", "\xff"}));
}

TEST(ValueLayout, FaxNumberAndNetworkAddresses) {
    Laid fax(SYN_FAX_NUMBER, "+1 555 0100$fineResolution$twoDimensional$nonsense");
    const auto& f = fax.as<Fax_Number_T>();
    EXPECT_STREQ(f.telephoneNumber, "+1 555 0100");
    EXPECT_EQ(f.parameters.numOfBits, 32u);
    ASSERT_TRUE(fax.inside(f.parameters.data));
    EXPECT_EQ(f.parameters.data[1], 0xC0); // bits 8 and 9, first bit most significant
    EXPECT_EQ(f.parameters.data[0] | f.parameters.data[2] | f.parameters.data[3], 0);
    Laid plain(SYN_FAX_NUMBER, "+1 555 0199");
    EXPECT_EQ(plain.as<Fax_Number_T>().parameters.numOfBits, 0u);
    EXPECT_STREQ(plain.as<Fax_Number_T>().telephoneNumber, "+1 555 0199");

    Laid ip(SYN_NET_ADDRESS, "1#0A000001");
    const auto& a = ip.as<Net_Address_T>();
    EXPECT_EQ(a.addressType, 1u);
    EXPECT_EQ(bytes(a.address, a.addressLength), std::string("\x0a\x00\x00\x01", 4));
    // Odd digits and characters that are not hex still give bytes, never a read past the text.
    Laid odd(SYN_NET_ADDRESS, "0#ABC");
    EXPECT_EQ(bytes(odd.as<Net_Address_T>().address, odd.as<Net_Address_T>().addressLength),
              "\xab\xc0");
    Laid junk(SYN_NET_ADDRESS, "x#zz");
    EXPECT_EQ(junk.as<Net_Address_T>().addressType, 0u);
    EXPECT_EQ(bytes(junk.as<Net_Address_T>().address, 1), std::string(1, '\0'));
}

TEST(ValueLayout, StructuredValuesWithNames) {
    Laid mail(SYN_EMAIL_ADDRESS, "1#ann@acme.example");
    EXPECT_EQ(mail.as<EMail_Address_T>().type, 1u);
    EXPECT_STREQ(mail.as<EMail_Address_T>().address, "ann@acme.example");
    Laid bare(SYN_EMAIL_ADDRESS, "ann@acme.example");
    EXPECT_STREQ(bare.as<EMail_Address_T>().address, "ann@acme.example");

    Laid path(SYN_PATH, "SYS.Acme#4#\\public\\a#b");
    EXPECT_STREQ(path.as<Path_T>().volumeName, "SYS.Acme");
    EXPECT_EQ(path.as<Path_T>().nameSpaceType, 4u);
    EXPECT_STREQ(path.as<Path_T>().path, "\\public\\a#b");

    Laid acl(SYN_OBJECT_ACL, "31#entry#Ann#Smith.Acme#[Entry Rights]");
    EXPECT_EQ(acl.as<Object_ACL_T>().privileges, 31u);
    EXPECT_STREQ(acl.as<Object_ACL_T>().subjectName, "Ann#Smith.Acme");
    EXPECT_STREQ(acl.as<Object_ACL_T>().protectedAttrName, "[Entry Rights]");
    Laid shortAcl(SYN_OBJECT_ACL, "7");
    EXPECT_STREQ(shortAcl.as<Object_ACL_T>().subjectName, "");
    EXPECT_STREQ(shortAcl.as<Object_ACL_T>().protectedAttrName, "");

    Laid link(SYN_BACK_LINK, "77#Srv.Acme");
    EXPECT_EQ(link.as<Back_Link_T>().remoteID, 77u);
    EXPECT_STREQ(link.as<Back_Link_T>().objectName, "Srv.Acme");

    Laid typed(SYN_TYPED_NAME, "Job#1.Acme#3#60");
    EXPECT_STREQ(typed.as<Typed_Name_T>().objectName, "Job#1.Acme");
    EXPECT_EQ(typed.as<Typed_Name_T>().level, 3u);
    EXPECT_EQ(typed.as<Typed_Name_T>().interval, 60u);

    Laid hold(SYN_HOLD, "500#Ann.Acme");
    EXPECT_EQ(hold.as<Hold_T>().amount, 500u);
    EXPECT_STREQ(hold.as<Hold_T>().objectName, "Ann.Acme");

    Laid stamp(SYN_TIMESTAMP, "1000#2#3");
    EXPECT_EQ(stamp.as<NWDS_TimeStamp_T>().wholeSeconds, 1000u);
    EXPECT_EQ(stamp.as<NWDS_TimeStamp_T>().replicaNum, 2);
    EXPECT_EQ(stamp.as<NWDS_TimeStamp_T>().eventID, 3);
    EXPECT_EQ(Laid(SYN_TIMESTAMP, "1#70000#1").as<NWDS_TimeStamp_T>().replicaNum, 0);
}

TEST(ValueLayout, EscapedSeparatorsInsideAPartAreTheirCharacters) {
    // As stored (LDIF or LDAP), normalised as a backend hands it out, then laid out.
    NameMapper names;
    auto laid = [&](nuint32 syntax, std::string_view stored) {
        return std::make_unique<Laid>(syntax, normalizeValue(syntax, stored, names));
    };
    auto path = laid(SYN_PATH, "cn=VOL\\#1,o=Acme#4#\\data\\#2");
    EXPECT_STREQ(path->as<Path_T>().volumeName, "VOL#1.Acme");
    EXPECT_EQ(path->as<Path_T>().nameSpaceType, 4u);
    EXPECT_STREQ(path->as<Path_T>().path, "\\data#2");
    auto replica = laid(SYN_REPLICA_POINTER, "cn=SRV\\#2,o=Acme#1#2#1#1#0A000001");
    EXPECT_STREQ(replica->as<Replica_Pointer_T>().serverName, "SRV#2.Acme");
    EXPECT_EQ(replica->as<Replica_Pointer_T>().count, 1u);
    auto mail = laid(SYN_EMAIL_ADDRESS, "1#odd\\#box@acme.example");
    EXPECT_STREQ(mail->as<EMail_Address_T>().address, "odd#box@acme.example");
    auto acl = laid(SYN_OBJECT_ACL, "3#entry#cn=A\\#B,o=Acme#[Entry Rights]");
    EXPECT_STREQ(acl->as<Object_ACL_T>().subjectName, "A#B.Acme");
    EXPECT_STREQ(acl->as<Object_ACL_T>().protectedAttrName, "[Entry Rights]");
    auto typed = laid(SYN_TYPED_NAME, "cn=Job\\#9,o=Acme#3#60");
    EXPECT_STREQ(typed->as<Typed_Name_T>().objectName, "Job#9.Acme");
    EXPECT_EQ(typed->as<Typed_Name_T>().level, 3u);
    auto hold = laid(SYN_HOLD, "5#cn=H\\#1,o=Acme");
    EXPECT_STREQ(hold->as<Hold_T>().objectName, "H#1.Acme");
    auto postal = laid(SYN_PO_ADDRESS, "Box \\$5$Main St");
    EXPECT_STREQ(postal->as<Postal_Address_T>()[0], "Box $5");
    EXPECT_STREQ(postal->as<Postal_Address_T>()[1], "Main St");
    auto list = laid(SYN_CI_LIST, "a\\$b$c");
    EXPECT_STREQ(list->as<CI_List_T>().s, "a$b");
    ASSERT_NE(list->as<CI_List_T>().next, nullptr);
    EXPECT_STREQ(list->as<CI_List_T>().next->s, "c");
}

TEST(ValueLayout, ReplicaPointerCountsTheHintsItLaysOut) {
    Laid r(SYN_REPLICA_POINTER, "Srv.Acme#1#2#2#1#0A000001#0#00001234000000000001");
    const auto& p = r.as<Replica_Pointer_T>();
    EXPECT_STREQ(p.serverName, "Srv.Acme");
    EXPECT_EQ(p.replicaType, 1);
    EXPECT_EQ(p.replicaNumber, 2);
    ASSERT_EQ(p.count, 2u);
    ASSERT_TRUE(r.inside(p.replicaAddressHint));
    EXPECT_EQ(p.replicaAddressHint[0].addressType, 1u);
    EXPECT_EQ(p.replicaAddressHint[1].addressType, 0u);
    EXPECT_EQ(p.replicaAddressHint[1].addressLength, 10u);
    // A stated count larger than the hints present is never trusted.
    Laid lying(SYN_REPLICA_POINTER, "Srv#0#1#4000000000");
    EXPECT_EQ(lying.as<Replica_Pointer_T>().count, 0u);
    EXPECT_EQ(lying.as<Replica_Pointer_T>().replicaAddressHint, nullptr);
}

TEST(ValueLayout, PostalAddressHasSixLinesAndKeepsTheRest) {
    Laid a(SYN_PO_ADDRESS, "Acme Inc\\24$1 Main St");
    const auto& lines = a.as<Postal_Address_T>();
    EXPECT_STREQ(lines[0], "Acme Inc$");
    EXPECT_STREQ(lines[1], "1 Main St");
    for (int i = 2; i < 6; ++i) {
        ASSERT_NE(lines[i], nullptr);
        EXPECT_STREQ(lines[i], "");
    }
    Laid many(SYN_PO_ADDRESS, "1$2$3$4$5$6$7$8");
    EXPECT_STREQ(many.as<Postal_Address_T>()[4], "5");
    EXPECT_STREQ(many.as<Postal_Address_T>()[5], "6$7$8");
}

TEST(ValueLayout, AnyTextOfAnySyntaxStaysInsideItsArea) {
    std::mt19937 rng(7);
    const std::string alphabet = "#$\\0123456789abcdefABCDEFxyz .[]-+Z";
    for (int round = 0; round < 300; ++round) {
        std::string text(rng() % 40, ' ');
        for (auto& c : text)
            c = alphabet[rng() % alphabet.size()];
        for (nuint32 syntax = 0; syntax <= 30; ++syntax) {
            Laid v(syntax, text);
            ASSERT_EQ(v.rc, 0) << syntax << " " << text;
        }
    }
    const std::string huge(1 << 20, '#');
    for (nuint32 syntax = 0; syntax <= 30; ++syntax)
        EXPECT_EQ(Laid(syntax, huge).rc, 0) << syntax;
}

TEST(GeneralizedTime, ReadsOffsetsFractionsAndOptionalParts) {
    nuint32 s = 0;
    ASSERT_TRUE(parseGeneralizedTime("20240229123456Z", &s));
    EXPECT_EQ(s, utc(2024, 2, 29, 12, 34, 56));
    ASSERT_TRUE(parseGeneralizedTime("20240229143456+0200", &s));
    EXPECT_EQ(s, utc(2024, 2, 29, 12, 34, 56));
    ASSERT_TRUE(parseGeneralizedTime("20240229073456-0530", &s));
    EXPECT_EQ(s, utc(2024, 2, 29, 13, 4, 56));
    ASSERT_TRUE(parseGeneralizedTime("20240229123456.999Z", &s));
    EXPECT_EQ(s, utc(2024, 2, 29, 12, 34, 56)); // fraction truncated
    ASSERT_TRUE(parseGeneralizedTime("202402291230.5Z", &s));
    EXPECT_EQ(s, utc(2024, 2, 29, 12, 30, 30)); // half a minute
    ASSERT_TRUE(parseGeneralizedTime("2024022912,25+01", &s));
    EXPECT_EQ(s, utc(2024, 2, 29, 11, 15, 0)); // quarter of an hour, one hour east
    ASSERT_TRUE(parseGeneralizedTime("1970010100Z", &s));
    EXPECT_EQ(s, 0u);
    ASSERT_TRUE(parseGeneralizedTime("21060207062815Z", &s));
    EXPECT_EQ(s, 4294967295u);
}

TEST(GeneralizedTime, RefusesWhatDoesNotReadOrDoesNotFit) {
    nuint32 s = 12345;
    for (const char* bad :
         {"", "2024", "20240229123456", "20240229123456z", "20240229123456Zjunk", "20230229000000Z",
          "20241301000000Z", "20240100000000Z", "20240101240000Z", "20240101006000Z",
          "20240101000061Z", "20240101000000+2400", "20240101000000+0160", "20240101000000.Z",
          "19691231235959Z", "21060207062816Z", "2024-01-01T00:00:00Z"}) {
        EXPECT_FALSE(parseGeneralizedTime(bad, &s)) << bad;
    }
    EXPECT_EQ(s, 12345u);                                          // untouched on failure
    EXPECT_TRUE(parseGeneralizedTime("20240101000060Z", nullptr)); // leap second
}

TEST(ValueCheck, RefusesDamagedStoredValues) {
    struct Case {
        nuint32 syntax;
        const char* good;
        const char* bad;
    };
    const Case cases[] = {
        {SYN_DIST_NAME, "Ann.Acme", ""},
        {SYN_NU_STRING, "12 34", "12a"},
        {SYN_PR_STRING, "Acme (UK) Ltd.", "Acme_Ltd"},
        {SYN_BOOLEAN, "false", "yes"},
        {SYN_INTEGER, "-9223372036854775808", "9223372036854775808"},
        {SYN_TIME, "20240101000000Z", "20240101"},
        {SYN_NET_ADDRESS, "1#0A000001", "1#0A00001"},
        {SYN_OCTET_LIST, "01$ff", "01$f"},
        {SYN_EMAIL_ADDRESS, "0#a@b", "a@b"},
        {SYN_PATH, "SYS.Acme#0#/x", "SYS.Acme#x#/x"},
        {SYN_REPLICA_POINTER, "Srv#0#1#1#1#0A000001", "Srv#0#1#2#1#0A000001"},
        {SYN_OBJECT_ACL, "3#entry#[Public]#CN", "3#sideways#[Public]#CN"},
        {SYN_TIMESTAMP, "1#2#3", "1#2#70000"},
        {SYN_BACK_LINK, "1#Srv.Acme", "Srv.Acme"},
        {SYN_TYPED_NAME, "Job.Acme#1#2", "Job.Acme#1"},
        {SYN_HOLD, "10#Ann.Acme", "ten#Ann.Acme"},
    };
    for (const auto& c : cases) {
        std::string why;
        EXPECT_TRUE(validValue(c.syntax, c.good, &why)) << c.syntax << " " << why;
        EXPECT_FALSE(validValue(c.syntax, c.bad, &why)) << c.syntax;
        EXPECT_FALSE(why.empty());
    }
    EXPECT_TRUE(validValue(SYN_OCTET_STRING, std::string("\0\1", 2)));
    EXPECT_TRUE(validValue(SYN_CI_STRING, ""));
}
