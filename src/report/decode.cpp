#include "report/decode.h"

#include "report/datetime.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace kvx {

namespace {

// Values arrive in an area laid out by the client. Records are copied out rather than read in
// place, so an area that is not aligned as promised is still read safely.
template <typename T> T readRecord(const void* value) {
    T record;
    std::memcpy(&record, value, sizeof(T));
    return record;
}

std::string_view text(const char* s) {
    return s != nullptr ? std::string_view(s) : std::string_view();
}

void appendUnsigned(std::string& out, std::uint64_t n) {
    out += std::to_string(n);
}

bool sameLettersAscii(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto up = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
        if (up(a[i]) != up(b[i]))
            return false;
    }
    return true;
}

// Byte `i` of an address or octet string; bytes past its length read as zero.
nuint8 byteAt(const nuint8* data, nuint32 length, std::size_t i) {
    return data != nullptr && i < length ? data[i] : 0;
}

void renderOctetString(std::string_view attributeName, const Octet_String_T& octets,
                       std::string& rendered) {
    const nuint32 length = octets.data != nullptr ? octets.length : 0;
    char buf[64];
    // A GUID needs all 16 bytes; a shorter value named GUID is shown as the bytes it has.
    if (length >= 16 && sameLettersAscii(attributeName, "GUID")) {
        const nuint8* b = octets.data;
        const unsigned long data1 =
            static_cast<unsigned long>(b[0]) | static_cast<unsigned long>(b[1]) << 8 |
            static_cast<unsigned long>(b[2]) << 16 | static_cast<unsigned long>(b[3]) << 24;
        const unsigned data2 = static_cast<unsigned>(b[4] | b[5] << 8);
        const unsigned data3 = static_cast<unsigned>(b[6] | b[7] << 8);
        std::snprintf(buf, sizeof buf, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", data1,
                      data2, data3, b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
        rendered += buf;
        return;
    }
    const nuint32 shown = std::min<nuint32>(length, 16);
    for (nuint32 i = 0; i < shown; ++i) {
        std::snprintf(buf, sizeof buf, "%02x ", octets.data[i]);
        rendered += buf;
    }
}

void renderNetAddress(const Net_Address_T& address, std::string& rendered) {
    char buf[64];
    auto at = [&](std::size_t i) { return byteAt(address.address, address.addressLength, i); };
    switch (address.addressType) {
    case 1: // IP
        std::snprintf(buf, sizeof buf, "%d.%d.%d.%d", at(0), at(1), at(2), at(3));
        rendered += buf;
        break;
    case 0: // IPX: network number, node number; the socket is not shown
        std::snprintf(buf, sizeof buf, "%02X%02X%02X%02X:%02X%02X%02X%02X%02X%02X", at(0), at(1),
                      at(2), at(3), at(4), at(5), at(6), at(7), at(8), at(9));
        rendered += buf;
        break;
    default:
        rendered += "Unknown Address Type";
        break;
    }
}

} // namespace

void DecodeRights(std::string_view protectedAttrName, std::string& rights, nuint32 privileges) {
    struct Letter {
        nuint32 bit;
        char letter;
    };
    static constexpr Letter entryRights[] = {
        {0x01, 'B'}, {0x02, 'A'}, {0x04, 'D'}, {0x08, 'R'}, {0x10, 'S'}};
    static constexpr Letter smsRights[] = {{0x01, 'S'}, {0x02, 'B'}, {0x04, 'R'},
                                           {0x08, 'C'}, {0x10, 'D'}, {0x20, 'A'}};
    static constexpr Letter attributeRights[] = {
        {0x01, 'C'}, {0x02, 'R'}, {0x04, 'W'}, {0x08, 'A'}, {0x20, 'S'}};

    auto append = [&](const auto& letters) {
        for (const Letter& l : letters) {
            if ((privileges & l.bit) != 0)
                rights += l.letter;
        }
    };
    rights.assign(1, '['); // not = "[": GCC 12 warns wrongly about that (-Wrestrict)
    if (protectedAttrName == "[Entry Rights]")
        append(entryRights);
    else if (protectedAttrName == "[SMS Rights]")
        append(smsRights);
    else
        append(attributeRights);
    rights += ']';
}

void DecodeAttribute(std::string_view attributeName, const void* value, nuint32 syntaxId,
                     std::string& rendered) {
    rendered.clear();
    if (syntaxId == SYN_UNKNOWN || syntaxId >= SYNTAX_COUNT) {
        rendered = "Unrecognized Syntax";
        return;
    }
    if (value == nullptr)
        return;

    switch (syntaxId) {
    case SYN_DIST_NAME:
    case SYN_CE_STRING:
    case SYN_CI_STRING:
    case SYN_PR_STRING:
    case SYN_NU_STRING:
    case SYN_TEL_NUMBER:
    case SYN_CLASS_NAME:
        rendered = static_cast<const char*>(value);
        break;
    case SYN_CI_LIST:
        rendered = text(readRecord<CI_List_T>(value).s);
        break;
    case SYN_BOOLEAN:
        rendered = *static_cast<const nuint8*>(value) != 0 ? "TRUE" : "FALSE";
        break;
    case SYN_INTEGER:
    case SYN_COUNTER:
    case SYN_INTERVAL: {
        // Within 32 bits the value shows unsigned, as always; beyond them it shows whole.
        const auto whole = readRecord<std::int64_t>(value);
        if (whole >= 0 && whole <= 0xFFFFFFFFLL)
            appendUnsigned(rendered, static_cast<std::uint64_t>(whole));
        else
            rendered = std::to_string(whole);
        break;
    }
    case SYN_OCTET_STRING:
        renderOctetString(attributeName, readRecord<Octet_String_T>(value), rendered);
        break;
    case SYN_FAX_NUMBER:
        rendered = text(readRecord<Fax_Number_T>(value).telephoneNumber);
        break;
    case SYN_NET_ADDRESS:
        renderNetAddress(readRecord<Net_Address_T>(value), rendered);
        break;
    case SYN_OCTET_LIST:
    case SYN_STREAM:
        rendered = "Present";
        break;
    case SYN_EMAIL_ADDRESS:
        rendered = text(readRecord<EMail_Address_T>(value).address);
        break;
    case SYN_PATH: {
        const auto path = readRecord<Path_T>(value);
        rendered = text(path.volumeName);
        rendered += ':';
        rendered += text(path.path);
        break;
    }
    case SYN_REPLICA_POINTER: {
        const auto replica = readRecord<Replica_Pointer_T>(value);
        rendered = "serverName: ";
        rendered += text(replica.serverName);
        rendered += " replicaType: ";
        appendUnsigned(rendered, static_cast<nuint32>(replica.replicaType));
        rendered += " replicaNumber: ";
        appendUnsigned(rendered, static_cast<nuint32>(replica.replicaNumber));
        rendered += " count: ";
        appendUnsigned(rendered, replica.count);
        break;
    }
    case SYN_OBJECT_ACL: {
        const auto acl = readRecord<Object_ACL_T>(value);
        std::string rights;
        DecodeRights(text(acl.protectedAttrName), rights, acl.privileges);
        rendered = text(acl.protectedAttrName);
        rendered += ' ';
        rendered += rights;
        rendered += ' ';
        rendered += text(acl.subjectName);
        break;
    }
    case SYN_PO_ADDRESS: {
        char* lines[6];
        std::memcpy(lines, value, sizeof lines);
        for (int i = 0; i < 6; ++i) {
            if (i > 0)
                rendered += ' ';
            rendered += text(lines[i]);
        }
        break;
    }
    case SYN_TIMESTAMP:
        // Shown like a Time value, so the column reads back as dates when sorted.
        rendered = FormatDirectoryTime(readRecord<NWDS_TimeStamp_T>(value).wholeSeconds);
        break;
    case SYN_TIME:
        // Every value gets the same rendering, those before 1980 (and 0, shown as the local time
        // of 1970-01-01 00:00:00 UTC) included: the text always reads back as the date it holds.
        rendered = FormatDirectoryTime(readRecord<nuint32>(value));
        break;
    case SYN_BACK_LINK:
        rendered = text(readRecord<Back_Link_T>(value).objectName);
        break;
    case SYN_TYPED_NAME:
        rendered = text(readRecord<Typed_Name_T>(value).objectName);
        break;
    case SYN_HOLD: {
        const auto hold = readRecord<Hold_T>(value);
        rendered = text(hold.objectName);
        rendered += "  ";
        appendUnsigned(rendered, hold.amount);
        break;
    }
    default:
        rendered = "Unrecognized Syntax";
        break;
    }
}

} // namespace kvx
