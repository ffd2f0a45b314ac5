#include "report/datetime.h"
#include "report/decode.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace {

// A value area as the client lays it out: the record first, the texts and bytes it points to
// after it in the same pointer-aligned area.
class Area {
public:
    template <typename T> T* record() {
        used_ = sizeof(T);
        return new (bytes_.data()) T{};
    }
    char* text(const std::string& s) {
        char* at = reinterpret_cast<char*>(take(s.size() + 1));
        std::memcpy(at, s.c_str(), s.size() + 1);
        return at;
    }
    nuint8* bytes(const std::vector<nuint8>& b) {
        nuint8* at = take(b.size());
        if (!b.empty())
            std::memcpy(at, b.data(), b.size());
        return at;
    }
    const void* data() const { return bytes_.data(); }

private:
    nuint8* take(std::size_t n) {
        used_ = (used_ + alignof(void*) - 1) / alignof(void*) * alignof(void*);
        nuint8* at = bytes_.data() + used_;
        used_ += n;
        EXPECT_LE(used_, bytes_.size());
        return at;
    }
    alignas(alignof(std::max_align_t)) std::array<nuint8, 1024> bytes_{};
    std::size_t used_ = 0;
};

std::string render(const void* value, nuint32 syntax, std::string_view name = "Attr") {
    std::string out = "left over from the previous value";
    kvx::DecodeAttribute(name, value, syntax, out);
    return out;
}

std::vector<nuint8> sequence(int from, int count) {
    std::vector<nuint8> b;
    for (int i = 0; i < count; ++i)
        b.push_back(static_cast<nuint8>(from + i));
    return b;
}

std::string octetString(std::string_view name, const std::vector<nuint8>& bytes) {
    Area a;
    auto* rec = a.record<Octet_String_T>();
    rec->length = static_cast<nuint32>(bytes.size());
    rec->data = a.bytes(bytes);
    return render(a.data(), SYN_OCTET_STRING, name);
}

TEST(DecodeAttribute, TextSyntaxesShowTheirTextWhole) {
    for (nuint32 syntax : {SYN_DIST_NAME, SYN_CE_STRING, SYN_CI_STRING, SYN_PR_STRING,
                           SYN_NU_STRING, SYN_TEL_NUMBER, SYN_CLASS_NAME}) {
        EXPECT_EQ(render("Ann\\.B.Sales.Acme", syntax), "Ann\\.B.Sales.Acme") << syntax;
        EXPECT_EQ(render("", syntax), "") << syntax;
    }
    const std::string huge(100000, 'x'); // nothing is cut short
    EXPECT_EQ(render(huge.c_str(), SYN_CI_STRING), huge);
}

TEST(DecodeAttribute, NumbersAreUnsigned32BitAndWholeBeyond) {
    for (nuint32 syntax : {SYN_INTEGER, SYN_COUNTER, SYN_INTERVAL}) {
        std::int64_t v = static_cast<nuint32>(-1);
        EXPECT_EQ(render(&v, syntax), "4294967295");
        v = 42;
        EXPECT_EQ(render(&v, syntax), "42");
        v = 0;
        EXPECT_EQ(render(&v, syntax), "0");
        v = 134411751770642230LL; // an Active Directory time, as a number
        EXPECT_EQ(render(&v, syntax), "134411751770642230");
        v = -4294967296LL;
        EXPECT_EQ(render(&v, syntax), "-4294967296");
    }
}

TEST(DecodeAttribute, BooleanIsTrueForAnyNonZeroByte) {
    for (nuint8 b : {1, 2, 255}) {
        EXPECT_EQ(render(&b, SYN_BOOLEAN), "TRUE");
    }
    nuint8 zero = 0;
    EXPECT_EQ(render(&zero, SYN_BOOLEAN), "FALSE");
}

TEST(DecodeAttribute, OctetStringShowsAtMostSixteenBytesInLowerCaseHex) {
    EXPECT_EQ(octetString("Thumbprint", sequence(0xab, 3)), "ab ac ad ");
    EXPECT_EQ(octetString("Thumbprint", {}), "");
    const std::string twenty = octetString("Thumbprint", sequence(0, 20));
    EXPECT_EQ(twenty, "00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f ");
    EXPECT_EQ(octetString("Thumbprint", sequence(0xf0, 16)),
              "f0 f1 f2 f3 f4 f5 f6 f7 f8 f9 fa fb fc fd fe ff ");
}

TEST(DecodeAttribute, GuidNamedValuesUseTheGuidTextFormInAnyCase) {
    const std::string expected = "{03020100-0504-0706-0809-0A0B0C0D0E0F}";
    EXPECT_EQ(octetString("GUID", sequence(0, 16)), expected);
    EXPECT_EQ(octetString("guid", sequence(0, 16)), expected);
    EXPECT_EQ(octetString("Guid", sequence(0, 20)), expected); // bytes past 16 ignored
    std::vector<nuint8> b;
    for (int i = 0; i < 16; ++i)
        b.push_back(static_cast<nuint8>(i * 0x11));
    EXPECT_EQ(octetString("GUID", b), "{33221100-5544-7766-8899-AABBCCDDEEFF}");
    // Not the name GUID: an ordinary octet string.
    EXPECT_EQ(octetString("GUIDs", sequence(0, 2)), "00 01 ");
}

TEST(DecodeAttribute, ShortGuidIsShownAsTheBytesItHas) {
    EXPECT_EQ(octetString("GUID", sequence(1, 4)), "01 02 03 04 ");
    EXPECT_EQ(octetString("guid", sequence(0, 15)),
              "00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e ");
    EXPECT_EQ(octetString("GUID", {}), "");
}

std::string netAddress(nuint32 type, const std::vector<nuint8>& bytes) {
    Area a;
    auto* rec = a.record<Net_Address_T>();
    rec->addressType = type;
    rec->addressLength = static_cast<nuint32>(bytes.size());
    rec->address = a.bytes(bytes);
    return render(a.data(), SYN_NET_ADDRESS);
}

TEST(DecodeAttribute, NetworkAddressesByType) {
    EXPECT_EQ(netAddress(1, {10, 0, 0, 1}), "10.0.0.1");
    EXPECT_EQ(netAddress(1, {192, 168, 255, 254}), "192.168.255.254");
    EXPECT_EQ(netAddress(0, {0x00, 0x00, 0x12, 0x34, 0, 0, 0, 0, 0, 1, 0x04, 0x51}),
              "00001234:000000000001");
    EXPECT_EQ(netAddress(0, {0xde, 0xad, 0xbe, 0xef, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff}),
              "DEADBEEF:AABBCCDDEEFF");
    EXPECT_EQ(netAddress(2, {1, 2, 3, 4}), "Unknown Address Type");
    EXPECT_EQ(netAddress(9, {}), "Unknown Address Type");
}

TEST(DecodeAttribute, ShortNetworkAddressesReadMissingBytesAsZero) {
    EXPECT_EQ(netAddress(1, {10, 1}), "10.1.0.0");
    EXPECT_EQ(netAddress(0, {0x12}), "12000000:000000000000");
    Area a;
    auto* rec = a.record<Net_Address_T>();
    rec->addressType = 1;
    rec->addressLength = 4; // claims bytes but has none
    EXPECT_EQ(render(a.data(), SYN_NET_ADDRESS), "0.0.0.0");
}

TEST(DecodeAttribute, StructuredTextValuesShowTheirNamedParts) {
    {
        Area a;
        auto* first = a.record<CI_List_T>();
        first->s = a.text("English");
        auto* second = reinterpret_cast<CI_List_T*>(a.bytes(std::vector<nuint8>(64)));
        second->s = a.text("French");
        first->next = second;
        EXPECT_EQ(render(a.data(), SYN_CI_LIST), "English");
    }
    {
        Area a;
        auto* fax = a.record<Fax_Number_T>();
        fax->telephoneNumber = a.text("+44 20 7946 0000");
        fax->parameters.numOfBits = 8;
        fax->parameters.data = a.bytes({0xff});
        EXPECT_EQ(render(a.data(), SYN_FAX_NUMBER), "+44 20 7946 0000");
    }
    {
        Area a;
        auto* mail = a.record<EMail_Address_T>();
        mail->type = 3;
        mail->address = a.text("ann@acme.example");
        EXPECT_EQ(render(a.data(), SYN_EMAIL_ADDRESS), "ann@acme.example");
    }
    {
        Area a;
        auto* path = a.record<Path_T>();
        path->nameSpaceType = 4;
        path->volumeName = a.text("FS1_SYS.Acme");
        path->path = a.text("USERS\\ANN");
        EXPECT_EQ(render(a.data(), SYN_PATH), "FS1_SYS.Acme:USERS\\ANN");
    }
    {
        Area a;
        auto* link = a.record<Back_Link_T>();
        link->remoteID = 77;
        link->objectName = a.text("FS1.Acme");
        EXPECT_EQ(render(a.data(), SYN_BACK_LINK), "FS1.Acme");
    }
    {
        Area a;
        auto* typed = a.record<Typed_Name_T>();
        typed->objectName = a.text("Admins.Acme");
        typed->level = 5;
        typed->interval = 60;
        EXPECT_EQ(render(a.data(), SYN_TYPED_NAME), "Admins.Acme");
    }
}

TEST(DecodeAttribute, HoldHasTwoBlanksBeforeTheAmount) {
    Area a;
    auto* hold = a.record<Hold_T>();
    hold->objectName = a.text("Ann.Sales.Acme");
    hold->amount = 4294967295u;
    EXPECT_EQ(render(a.data(), SYN_HOLD), "Ann.Sales.Acme  4294967295");
}

TEST(DecodeAttribute, ReplicaPointerShowsNumbersUnsignedAndNoHints) {
    Area a;
    auto* replica = a.record<Replica_Pointer_T>();
    replica->serverName = a.text("FS1.Acme");
    replica->replicaType = -1;
    replica->replicaNumber = 3;
    replica->count = 1;
    auto* hint = reinterpret_cast<Net_Address_T*>(a.bytes(std::vector<nuint8>(32)));
    hint->addressType = 1;
    replica->replicaAddressHint = hint;
    EXPECT_EQ(render(a.data(), SYN_REPLICA_POINTER),
              "serverName: FS1.Acme replicaType: 4294967295 replicaNumber: 3 count: 1");
}

TEST(DecodeAttribute, AclShowsAttributeRightsAndSubject) {
    Area a;
    auto* acl = a.record<Object_ACL_T>();
    acl->protectedAttrName = a.text("[Entry Rights]");
    acl->subjectName = a.text("[Public]");
    acl->privileges = 0x1F;
    EXPECT_EQ(render(a.data(), SYN_OBJECT_ACL), "[Entry Rights] [BADRS] [Public]");
    acl->protectedAttrName = a.text("Surname");
    acl->privileges = 0x02;
    EXPECT_EQ(render(a.data(), SYN_OBJECT_ACL), "Surname [R] [Public]");
}

TEST(DecodeAttribute, PostalAddressSixLinesJoinedByOneBlank) {
    Area a;
    auto* lines = a.record<std::array<char*, 6>>(); // Postal_Address_T
    const char* texts[6] = {"Acme Ltd", "1 Main St", "", "Leeds", "LS1", "UK"};
    for (int i = 0; i < 6; ++i)
        (*lines)[i] = a.text(texts[i]);
    EXPECT_EQ(render(a.data(), SYN_PO_ADDRESS), "Acme Ltd 1 Main St  Leeds LS1 UK");
    (*lines)[5] = nullptr; // a missing line reads as empty
    (*lines)[4] = nullptr;
    EXPECT_EQ(render(a.data(), SYN_PO_ADDRESS), "Acme Ltd 1 Main St  Leeds  ");
}

TEST(DecodeAttribute, ContentHiddenSyntaxesSayPresent) {
    Area a;
    auto* list = a.record<Octet_List_T>();
    list->length = 2;
    list->data = a.bytes({1, 2});
    EXPECT_EQ(render(a.data(), SYN_OCTET_LIST), "Present");
    Area s;
    auto* stream = s.record<Octet_String_T>();
    stream->length = 3;
    stream->data = s.bytes({'a', 'b', 'c'});
    EXPECT_EQ(render(s.data(), SYN_STREAM), "Present");
}

TEST(DecodeAttribute, UnknownSyntaxes) {
    Area a;
    auto* raw = a.record<Octet_String_T>();
    raw->length = 1;
    raw->data = a.bytes({7});
    EXPECT_EQ(render(a.data(), SYN_UNKNOWN), "Unrecognized Syntax");
    EXPECT_EQ(render(a.data(), SYNTAX_COUNT), "Unrecognized Syntax");
    EXPECT_EQ(render(a.data(), 1000), "Unrecognized Syntax");
}

// LC_ALL=C.UTF-8 and TZ=UTC (the test environment): "d MMM yyyy HH:mm:ss".
TEST(DecodeAttribute, TimeAndTimestampRenderAsLocalDateAndTime) {
    nuint32 seconds = 1000000000; // 2001-09-09 01:46:40 UTC
    EXPECT_EQ(render(&seconds, SYN_TIME), "9 Sep 2001 01:46:40");
    seconds = 0;
    EXPECT_EQ(render(&seconds, SYN_TIME), "1 Jan 1970 00:00:00");
    seconds = 4294967295u;
    EXPECT_EQ(render(&seconds, SYN_TIME), "7 Feb 2106 06:28:15");

    Area a;
    auto* stamp = a.record<NWDS_TimeStamp_T>();
    stamp->wholeSeconds = 1000000000;
    stamp->replicaNum = 2;
    stamp->eventID = 9;
    EXPECT_EQ(render(a.data(), SYN_TIMESTAMP), "9 Sep 2001 01:46:40");
    EXPECT_NE(kvx::DateSortKey(render(a.data(), SYN_TIMESTAMP)), kvx::TimeZeroKey);
}

TEST(DecodeAttribute, NullValuesAndNullTextsDoNotCrash) {
    for (nuint32 syntax = 1; syntax < SYNTAX_COUNT; ++syntax)
        EXPECT_EQ(render(nullptr, syntax), "") << syntax;
    Area a;
    a.record<Object_ACL_T>(); // both names null
    EXPECT_EQ(render(a.data(), SYN_OBJECT_ACL), " [] ");
    Area b;
    auto* octets = b.record<Octet_String_T>();
    octets->length = 16; // claims bytes it does not point to
    EXPECT_EQ(render(b.data(), SYN_OCTET_STRING, "GUID"), "");
    Area c;
    c.record<Path_T>();
    EXPECT_EQ(render(c.data(), SYN_PATH), ":");
}

TEST(DecodeRights, LettersByExactProtectedAttributeName) {
    std::string rights = "stale";
    kvx::DecodeRights("[Entry Rights]", rights, 0x1F);
    EXPECT_EQ(rights, "[BADRS]");
    kvx::DecodeRights("[Entry Rights]", rights, 0x03);
    EXPECT_EQ(rights, "[BA]");
    kvx::DecodeRights("[Entry Rights]", rights, 0x40);
    EXPECT_EQ(rights, "[]");
    kvx::DecodeRights("[Entry Rights]", rights, 0x20);
    EXPECT_EQ(rights, "[]");

    kvx::DecodeRights("[SMS Rights]", rights, 0x1F);
    EXPECT_EQ(rights, "[SBRCD]");
    kvx::DecodeRights("[SMS Rights]", rights, 0x3F);
    EXPECT_EQ(rights, "[SBRCDA]");

    for (const char* other : {"Surname", "[All Attributes Rights]", "[entry rights]",
                              "[ENTRY RIGHTS]", "[sms rights]", ""}) {
        kvx::DecodeRights(other, rights, 0x1F);
        EXPECT_EQ(rights, "[CRWA]") << other;
        kvx::DecodeRights(other, rights, 0x2F);
        EXPECT_EQ(rights, "[CRWAS]") << other;
    }
    // Bits above the eighth and 0x40/0x80 never show.
    kvx::DecodeRights("Surname", rights, 0xFFFFFFC0u);
    EXPECT_EQ(rights, "[]");
}

} // namespace
