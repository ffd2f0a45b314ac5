// Value layouts: the normalised text of a value turned into the record NWDSGetAttrVal hands out.
//
// One builder per syntax runs twice: once counting (layoutSize) and once writing (layoutValue),
// so the size handed out and the bytes written can never disagree.
#include "values.h"

#include "names.h"

#include "calls_internal.h"

#include <cstdint>
#include <cstring>
#include <new>

namespace kvx::client {

namespace {

// Hands out consecutive pieces of the caller's area; with no area it only counts.
class Area {
public:
    Area() = default;
    Area(void* base, std::size_t capacity)
        : base_(static_cast<unsigned char*>(base)), capacity_(capacity) {}

    template <class T> T* records(std::size_t count) {
        void* p = take(sizeof(T) * count, alignof(T));
        if (!p)
            return nullptr;
        T* first = static_cast<T*>(p);
        for (std::size_t i = 0; i < count; ++i)
            new (first + i) T{};
        return first;
    }
    template <class T> T* record() { return records<T>(1); }

    unsigned char* bytes(std::size_t n) { return static_cast<unsigned char*>(take(n, 1)); }

    char* text(std::string_view s) {
        char* p = static_cast<char*>(take(s.size() + 1, 1));
        if (p) {
            if (!s.empty())
                std::memcpy(p, s.data(), s.size());
            p[s.size()] = '\0';
        }
        return p;
    }

    // A field of a "#"-structured value: "\#" stands for "#" (other escapes, such as "\." in
    // a name, stay as they are).
    char* field(std::string_view s) {
        std::size_t n = s.size();
        for (std::size_t i = 0; i + 1 < s.size(); ++i)
            if (s[i] == '\\' && s[i + 1] == '#')
                --n, ++i;
        char* p = static_cast<char*>(take(n + 1, 1));
        if (p) {
            std::size_t o = 0;
            for (std::size_t i = 0; i < s.size(); ++i) {
                if (s[i] == '\\' && i + 1 < s.size() && s[i + 1] == '#')
                    ++i;
                p[o++] = s[i];
            }
            p[o] = '\0';
        }
        return p;
    }

    std::size_t used() const { return used_; }

private:
    void* take(std::size_t n, std::size_t align) {
        std::size_t start = (used_ + align - 1) / align * align;
        used_ = start + n;
        if (!base_ || used_ > capacity_)
            return nullptr;
        return base_ + start;
    }

    unsigned char* base_ = nullptr;
    std::size_t capacity_ = 0;
    std::size_t used_ = 0;
};

// Separators of structured values: a "#" (or a "$" in lists) after a backslash belongs to the
// text, as the loaders read it.
std::size_t findSeparator(std::string_view s, char separator, std::size_t from = 0) {
    for (std::size_t i = from; i < s.size(); ++i) {
        if (s[i] == '\\')
            ++i;
        else if (s[i] == separator)
            return i;
    }
    return std::string_view::npos;
}
std::size_t findLastHash(std::string_view s) {
    std::size_t found = std::string_view::npos;
    for (std::size_t i = findSeparator(s, '#'); i != std::string_view::npos;
         i = findSeparator(s, '#', i + 1))
        found = i;
    return found;
}

// Splits "a#b#c" one field at a time.
class Fields {
public:
    explicit Fields(std::string_view s) : s_(s) {}
    std::string_view next() {
        if (done_)
            return {};
        std::size_t c = findSeparator(s_, '#', pos_);
        if (c == std::string_view::npos)
            return rest();
        std::string_view r = s_.substr(pos_, c - pos_);
        pos_ = c + 1;
        return r;
    }
    std::string_view rest() {
        if (done_)
            return {};
        done_ = true;
        std::string_view r = s_.substr(pos_);
        pos_ = s_.size();
        return r;
    }
    bool more() const { return !done_; }

private:
    std::string_view s_;
    std::size_t pos_ = 0;
    bool done_ = false;
};

using names::hexDigit;

bool isDigits(std::string_view s) {
    if (s.empty())
        return false;
    for (char c : s) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

// Decimal with an optional "-", in -2147483648 .. 4294967295; false otherwise.
bool readNumber(std::string_view s, nuint32* out) {
    bool negative = !s.empty() && s.front() == '-';
    if (negative)
        s.remove_prefix(1);
    if (!isDigits(s) || s.size() > 10)
        return false;
    std::uint64_t v = 0;
    for (char c : s)
        v = v * 10 + static_cast<unsigned>(c - '0');
    if (negative ? v > 2147483648ULL : v > 4294967295ULL)
        return false;
    if (out)
        *out =
            negative ? static_cast<nuint32>(0U - static_cast<nuint32>(v)) : static_cast<nuint32>(v);
    return true;
}

// Decimal with an optional "-" within 64 bits (Active Directory's counters and times); false
// otherwise.
bool readNumber64(std::string_view s, std::int64_t* out) {
    bool negative = !s.empty() && s.front() == '-';
    if (negative)
        s.remove_prefix(1);
    while (s.size() > 1 && s.front() == '0')
        s.remove_prefix(1);
    if (!isDigits(s) || s.size() > 19)
        return false;
    std::uint64_t v = 0;
    for (char c : s)
        v = v * 10 + static_cast<unsigned>(c - '0');
    constexpr std::uint64_t top = std::uint64_t{1} << 63;
    if (negative ? v > top : v >= top)
        return false;
    if (out)
        *out = negative ? static_cast<std::int64_t>(0 - v) : static_cast<std::int64_t>(v);
    return true;
}

// Lenient reading: the number, or 0 when the text is not one.
nuint32 numberOrZero(std::string_view s) {
    nuint32 v = 0;
    return readNumber(s, &v) ? v : 0;
}

nuint16 smallNumberOrZero(std::string_view s) {
    nuint32 v = numberOrZero(s);
    return v <= 0xFFFF ? static_cast<nuint16>(v) : 0;
}

bool isHex(std::string_view s) {
    if (s.size() % 2 != 0)
        return false;
    for (char c : s) {
        if (hexDigit(c) < 0)
            return false;
    }
    return true;
}

// Hex octets: an odd last digit gives its high nibble, a character that is not a digit zero.
std::size_t hexLength(std::string_view s) {
    return (s.size() + 1) / 2;
}
void hexInto(std::string_view s, unsigned char* out) {
    for (std::size_t i = 0; i < s.size(); i += 2) {
        int hi = hexDigit(s[i]);
        int lo = i + 1 < s.size() ? hexDigit(s[i + 1]) : 0;
        out[i / 2] = static_cast<unsigned char>(((hi < 0 ? 0 : hi) << 4) | (lo < 0 ? 0 : lo));
    }
}
unsigned char* hexBytes(Area& a, std::string_view s) {
    unsigned char* p = a.bytes(hexLength(s));
    if (p)
        hexInto(s, p);
    return p;
}

// "$"-list items: "\XX" (two hex digits, "\24" for "$", "\5C" for "\") stands for that byte,
// "\$" and "\#" for that character; any other backslash is kept as it is.
bool escapedSeparator(std::string_view s, std::size_t i) {
    return s[i] == '\\' && i + 1 < s.size() && (s[i + 1] == '$' || s[i + 1] == '#');
}
std::size_t unescapedLength(std::string_view s) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < s.size(); ++i, ++n) {
        if (s[i] == '\\' && i + 2 < s.size() && hexDigit(s[i + 1]) >= 0 && hexDigit(s[i + 2]) >= 0)
            i += 2;
        else if (escapedSeparator(s, i))
            ++i;
    }
    return n;
}
char* unescapedText(Area& a, std::string_view s) {
    const std::size_t n = unescapedLength(s);
    char* p = static_cast<char*>(static_cast<void*>(a.bytes(n + 1)));
    if (!p)
        return nullptr;
    std::size_t o = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 2 < s.size() && hexDigit(s[i + 1]) >= 0 &&
            hexDigit(s[i + 2]) >= 0) {
            p[o++] = static_cast<char>((hexDigit(s[i + 1]) << 4) | hexDigit(s[i + 2]));
            i += 2;
        } else if (escapedSeparator(s, i)) {
            p[o++] = s[++i];
        } else {
            p[o++] = s[i];
        }
    }
    p[o] = '\0';
    return p;
}

// Items of a "$"-separated list (at least one, possibly empty).
std::size_t itemCount(std::string_view s) {
    std::size_t n = 1;
    for (std::size_t c = findSeparator(s, '$'); c != std::string_view::npos;
         c = findSeparator(s, '$', c + 1))
        ++n;
    return n;
}
std::string_view itemAt(std::string_view s, std::size_t& pos) {
    std::size_t c = findSeparator(s, '$', pos);
    std::string_view r = s.substr(pos, c == std::string_view::npos ? s.size() - pos : c - pos);
    pos = c == std::string_view::npos ? s.size() + 1 : c + 1;
    return r;
}

void octets(Area& a, std::string_view bytes) {
    auto* r = a.record<Octet_String_T>();
    unsigned char* p = a.bytes(bytes.size());
    if (r) {
        r->length = static_cast<nuint32>(bytes.size());
        r->data = bytes.empty() ? nullptr : p;
        if (p && !bytes.empty())
            std::memcpy(p, bytes.data(), bytes.size());
    }
}

void ciList(Area& a, std::string_view s) {
    const std::size_t n = itemCount(s);
    auto* nodes = a.records<CI_List_T>(n);
    std::size_t pos = 0;
    for (std::size_t i = 0; i < n; ++i) {
        char* t = unescapedText(a, itemAt(s, pos));
        if (nodes) {
            nodes[i].s = t;
            nodes[i].next = i + 1 < n ? &nodes[i + 1] : nullptr;
        }
    }
}

void octetList(Area& a, std::string_view s) {
    const std::size_t n = itemCount(s);
    auto* nodes = a.records<Octet_List_T>(n);
    std::size_t pos = 0;
    for (std::size_t i = 0; i < n; ++i) {
        std::string_view item = itemAt(s, pos);
        unsigned char* p = hexBytes(a, item);
        if (nodes) {
            nodes[i].next = i + 1 < n ? &nodes[i + 1] : nullptr;
            nodes[i].length = static_cast<nuint32>(hexLength(item));
            nodes[i].data = item.empty() ? nullptr : p;
        }
    }
}

// Fax parameters (RFC 4517) and their bit numbers in the G3 non-basic parameters.
int faxParameterBit(std::string_view name) {
    struct P {
        std::string_view name;
        int bit;
    };
    static constexpr P table[] = {
        {"twoDimensional", 8}, {"fineResolution", 9}, {"unlimitedLength", 20}, {"b4Length", 21},
        {"a3Width", 22},       {"b4Width", 23},       {"uncompressed", 30}};
    for (const auto& p : table) {
        if (calls::equalNoCase(p.name, name))
            return p.bit;
    }
    return -1;
}

void faxNumber(Area& a, std::string_view s) {
    auto* r = a.record<Fax_Number_T>();
    std::size_t pos = 0;
    char* number = a.text(itemAt(s, pos));
    unsigned char bits[4] = {0, 0, 0, 0};
    bool any = false;
    while (pos <= s.size()) {
        int bit = faxParameterBit(itemAt(s, pos));
        if (bit >= 0) {
            bits[bit / 8] |= static_cast<unsigned char>(0x80 >> (bit % 8));
            any = true;
        }
    }
    unsigned char* data = any ? a.bytes(4) : nullptr;
    if (r) {
        r->telephoneNumber = number;
        r->parameters.numOfBits = any ? 32 : 0;
        r->parameters.data = data;
        if (data)
            std::memcpy(data, bits, 4);
    }
}

void netAddressInto(Area& a, Net_Address_T* r, std::string_view type, std::string_view hex) {
    unsigned char* p = hexBytes(a, hex);
    if (r) {
        r->addressType = numberOrZero(type);
        r->addressLength = static_cast<nuint32>(hexLength(hex));
        r->address = hex.empty() ? nullptr : p;
    }
}

void netAddress(Area& a, std::string_view s) {
    auto* r = a.record<Net_Address_T>();
    Fields f(s);
    std::string_view type = f.next();
    netAddressInto(a, r, type, f.rest());
}

void emailAddress(Area& a, std::string_view s) {
    auto* r = a.record<EMail_Address_T>();
    std::size_t c = findSeparator(s, '#');
    // Without a type the whole text is the address, so nothing is lost.
    std::string_view type = c == std::string_view::npos ? std::string_view() : s.substr(0, c);
    std::string_view address = c == std::string_view::npos ? s : s.substr(c + 1);
    char* t = a.field(address);
    if (r) {
        r->type = numberOrZero(type);
        r->address = t;
    }
}

void path(Area& a, std::string_view s) {
    auto* r = a.record<Path_T>();
    Fields f(s);
    std::string_view volume = f.next();
    std::string_view space = f.next();
    std::string_view rest = f.rest();
    char* v = a.field(volume);
    char* p = a.field(rest);
    if (r) {
        r->nameSpaceType = numberOrZero(space);
        r->volumeName = v;
        r->path = p;
    }
}

void replicaPointer(Area& a, std::string_view s) {
    auto* r = a.record<Replica_Pointer_T>();
    Fields f(s);
    std::string_view server = f.next();
    std::string_view type = f.next();
    std::string_view number = f.next();
    f.next(); // the stated count: the hints present are what is laid out and counted
    std::size_t hints = 0;
    {
        Fields g = f;
        while (g.more()) {
            g.next();
            g.next();
            ++hints;
        }
    }
    auto* addrs = hints ? a.records<Net_Address_T>(hints) : nullptr;
    for (std::size_t i = 0; i < hints; ++i) {
        std::string_view t = f.next();
        std::string_view h = f.next();
        netAddressInto(a, addrs ? &addrs[i] : nullptr, t, h);
    }
    char* name = a.field(server);
    if (r) {
        r->serverName = name;
        r->replicaType = static_cast<nint32>(numberOrZero(type));
        r->replicaNumber = static_cast<nint32>(numberOrZero(number));
        r->count = static_cast<nuint32>(hints);
        r->replicaAddressHint = addrs;
    }
}

// "privileges#scope#subject#protectedAttribute": the subject may hold "#", the attribute not.
void aclParts(std::string_view s, std::string_view& privileges, std::string_view& subject,
              std::string_view& attribute) {
    Fields f(s);
    privileges = f.next();
    f.next(); // scope: not part of the record
    std::string_view rest = f.rest();
    std::size_t c = findLastHash(rest);
    subject = c == std::string_view::npos ? rest : rest.substr(0, c);
    attribute = c == std::string_view::npos ? std::string_view() : rest.substr(c + 1);
}

void objectAcl(Area& a, std::string_view s) {
    auto* r = a.record<Object_ACL_T>();
    std::string_view privileges, subject, attribute;
    aclParts(s, privileges, subject, attribute);
    char* at = a.field(attribute);
    char* su = a.field(subject);
    if (r) {
        r->protectedAttrName = at;
        r->subjectName = su;
        r->privileges = numberOrZero(privileges);
    }
}

void postalAddress(Area& a, std::string_view s) {
    auto* lines = a.records<char*>(6);
    std::size_t pos = 0;
    for (int i = 0; i < 6; ++i) {
        std::string_view line;
        if (pos <= s.size()) {
            // The sixth line keeps every line after it, joined with "$".
            line = i < 5 ? itemAt(s, pos) : s.substr(pos);
            if (i == 5)
                pos = s.size() + 1;
        }
        char* t = unescapedText(a, line);
        if (lines)
            lines[i] = t;
    }
}

void timeStamp(Area& a, std::string_view s) {
    auto* r = a.record<NWDS_TimeStamp_T>();
    Fields f(s);
    std::string_view seconds = f.next();
    std::string_view replica = f.next();
    std::string_view event = f.next();
    if (r) {
        r->wholeSeconds = numberOrZero(seconds);
        r->replicaNum = smallNumberOrZero(replica);
        r->eventID = smallNumberOrZero(event);
    }
}

// "number#name" (Back_Link, Hold): without a "#" the whole text is the name.
void numberAndName(std::string_view s, std::string_view& number, std::string_view& name) {
    std::size_t c = findSeparator(s, '#');
    number = c == std::string_view::npos ? std::string_view() : s.substr(0, c);
    name = c == std::string_view::npos ? s : s.substr(c + 1);
}

void backLink(Area& a, std::string_view s) {
    auto* r = a.record<Back_Link_T>();
    std::string_view id, name;
    numberAndName(s, id, name);
    char* t = a.field(name);
    if (r) {
        r->remoteID = numberOrZero(id);
        r->objectName = t;
    }
}

void hold(Area& a, std::string_view s) {
    auto* r = a.record<Hold_T>();
    std::string_view amount, name;
    numberAndName(s, amount, name);
    char* t = a.field(name);
    if (r) {
        r->amount = numberOrZero(amount);
        r->objectName = t;
    }
}

// "object#level#interval": the object may hold "#", the two numbers are read from the right.
void typedNameParts(std::string_view s, std::string_view& object, std::string_view& level,
                    std::string_view& interval) {
    object = s;
    level = interval = std::string_view();
    std::size_t c2 = findLastHash(s);
    if (c2 == std::string_view::npos)
        return;
    std::size_t c1 = findLastHash(s.substr(0, c2));
    if (c1 == std::string_view::npos) {
        object = s.substr(0, c2);
        level = s.substr(c2 + 1);
        return;
    }
    object = s.substr(0, c1);
    level = s.substr(c1 + 1, c2 - c1 - 1);
    interval = s.substr(c2 + 1);
}

void typedName(Area& a, std::string_view s) {
    auto* r = a.record<Typed_Name_T>();
    std::string_view object, level, interval;
    typedNameParts(s, object, level, interval);
    char* t = a.field(object);
    if (r) {
        r->objectName = t;
        r->level = numberOrZero(level);
        r->interval = numberOrZero(interval);
    }
}

void number32(Area& a, nuint32 v) {
    auto* r = a.record<nuint32>();
    if (r)
        *r = v;
}

void build(nuint32 syntax, std::string_view s, Area& a) {
    switch (syntax) {
    case SYN_DIST_NAME:
    case SYN_CE_STRING:
    case SYN_CI_STRING:
    case SYN_PR_STRING:
    case SYN_NU_STRING:
    case SYN_TEL_NUMBER:
    case SYN_CLASS_NAME:
        a.text(s);
        return;
    case SYN_CI_LIST:
        ciList(a, s);
        return;
    case SYN_BOOLEAN: {
        unsigned char* b = a.bytes(1);
        if (b)
            *b = (calls::equalNoCase(s, "TRUE") || s == "1") ? 1 : 0;
        return;
    }
    case SYN_INTEGER:
    case SYN_COUNTER:
    case SYN_INTERVAL: {
        // 64 bits, so a number beyond 32 bits is kept whole; within 32 bits the first four
        // bytes hold the nuint32 of the value as they always have.
        std::int64_t v = 0;
        if (!readNumber64(s, &v))
            v = 0;
        if (v >= -2147483648LL && v < 0)
            v = static_cast<nuint32>(v); // "-1" is laid out as 4294967295, as before
        if (auto* r = a.record<std::int64_t>())
            *r = v;
        return;
    }
    case SYN_TIME: {
        nuint32 seconds = 0;
        if (!parseGeneralizedTime(s, &seconds))
            seconds = 0;
        number32(a, seconds);
        return;
    }
    case SYN_FAX_NUMBER:
        faxNumber(a, s);
        return;
    case SYN_NET_ADDRESS:
        netAddress(a, s);
        return;
    case SYN_OCTET_LIST:
        octetList(a, s);
        return;
    case SYN_EMAIL_ADDRESS:
        emailAddress(a, s);
        return;
    case SYN_PATH:
        path(a, s);
        return;
    case SYN_REPLICA_POINTER:
        replicaPointer(a, s);
        return;
    case SYN_OBJECT_ACL:
        objectAcl(a, s);
        return;
    case SYN_PO_ADDRESS:
        postalAddress(a, s);
        return;
    case SYN_TIMESTAMP:
        timeStamp(a, s);
        return;
    case SYN_BACK_LINK:
        backLink(a, s);
        return;
    case SYN_TYPED_NAME:
        typedName(a, s);
        return;
    case SYN_HOLD:
        hold(a, s);
        return;
    default: // Octet_String, Stream, Unknown and numbers past the table: the raw bytes
        octets(a, s);
        return;
    }
}

bool two(std::string_view t, std::size_t at, int& out) {
    if (at + 2 > t.size() || t[at] < '0' || t[at] > '9' || t[at + 1] < '0' || t[at + 1] > '9')
        return false;
    out = (t[at] - '0') * 10 + (t[at + 1] - '0');
    return true;
}

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

bool leapYear(int y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

bool why(std::string* out, const char* text) {
    if (out)
        *out = text;
    return false;
}

} // namespace

std::size_t layoutSize(nuint32 syntax, std::string_view text) {
    Area counting;
    build(syntax, text, counting);
    return counting.used();
}

NWDSCCODE layoutValue(nuint32 syntax, std::string_view text, void* area, std::size_t areaSize) {
    if (!area)
        return ERR_INVALID_API_PARAMETER;
    if (areaSize < layoutSize(syntax, text))
        return ERR_BUFFER_FULL;
    Area writing(area, areaSize);
    build(syntax, text, writing);
    return 0;
}

bool parseGeneralizedTime(std::string_view t, nuint32* seconds) {
    // YYYYMMDDHH[MM[SS]][(.|,)fraction](Z|+hh[mm]|-hh[mm]) (RFC 4517 3.3.13)
    int c1, c2, month, day, hour, minute = 0, second = 0;
    if (!two(t, 0, c1) || !two(t, 2, c2) || !two(t, 4, month) || !two(t, 6, day) ||
        !two(t, 8, hour))
        return false;
    const int year = c1 * 100 + c2;
    std::size_t i = 10;
    int lastUnit = 3600;
    if (two(t, i, minute)) {
        i += 2;
        lastUnit = 60;
        if (two(t, i, second)) {
            i += 2;
            lastUnit = 1;
        }
    }
    static constexpr int monthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || day < 1 || hour > 23 || minute > 59 || second > 60)
        return false;
    if (day > monthDays[month - 1] + (month == 2 && leapYear(year) ? 1 : 0))
        return false;
    std::int64_t fraction = 0; // seconds carried by the fraction, truncated
    if (i < t.size() && (t[i] == '.' || t[i] == ',')) {
        ++i;
        std::int64_t num = 0, den = 1;
        std::size_t digits = 0;
        while (i < t.size() && t[i] >= '0' && t[i] <= '9') {
            if (digits < 9) {
                num = num * 10 + (t[i] - '0');
                den *= 10;
            }
            ++digits;
            ++i;
        }
        if (digits == 0)
            return false;
        fraction = num * lastUnit / den;
    }
    if (i >= t.size())
        return false; // the time zone is required
    std::int64_t offset = 0;
    if (t[i] == 'Z') {
        ++i;
    } else if (t[i] == '+' || t[i] == '-') {
        const int sign = t[i] == '-' ? -1 : 1;
        int oh, om = 0;
        if (!two(t, i + 1, oh) || oh > 23)
            return false;
        i += 3;
        if (two(t, i, om)) {
            if (om > 59)
                return false;
            i += 2;
        }
        offset = sign * (oh * 3600 + om * 60);
    } else {
        return false;
    }
    if (i != t.size())
        return false;
    const std::int64_t total =
        daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 +
        hour * 3600 + minute * 60 + second + fraction - offset;
    if (total < 0 || total > 4294967295LL)
        return false;
    if (seconds)
        *seconds = static_cast<nuint32>(total);
    return true;
}

bool validValue(nuint32 syntax, std::string_view s, std::string* whyNot) {
    switch (syntax) {
    case SYN_DIST_NAME:
    case SYN_CLASS_NAME:
        return !s.empty() || why(whyNot, "empty name");
    case SYN_NU_STRING:
        for (char c : s) {
            if ((c < '0' || c > '9') && c != ' ')
                return why(whyNot, "a numeric string holds only digits and spaces");
        }
        return true;
    case SYN_PR_STRING:
        for (char c : s) {
            const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                            (c >= '0' && c <= '9') ||
                            std::string_view(" '()+,-./:=?").find(c) != std::string_view::npos;
            if (!ok)
                return why(whyNot, "character not allowed in a printable string");
        }
        return true;
    case SYN_BOOLEAN:
        return calls::equalNoCase(s, "TRUE") || calls::equalNoCase(s, "FALSE") ||
               why(whyNot, "a boolean is TRUE or FALSE");
    case SYN_INTEGER:
    case SYN_COUNTER:
    case SYN_INTERVAL:
        return readNumber64(s, nullptr) || why(whyNot, "not a 64-bit number");
    case SYN_TIME:
        return parseGeneralizedTime(s, nullptr) ||
               why(whyNot, "not a generalized time (YYYYMMDDHHMMSSZ) from 1970 to 2106");
    case SYN_NET_ADDRESS: {
        Fields f(s);
        std::string_view type = f.next();
        if (!f.more() || !readNumber(type, nullptr) || type.front() == '-' || !isHex(f.rest()))
            return why(whyNot, "a network address is type#hexoctets");
        return true;
    }
    case SYN_OCTET_LIST: {
        std::size_t pos = 0;
        while (pos <= s.size()) {
            if (!isHex(itemAt(s, pos)))
                return why(whyNot, "an octet list holds hex octets separated by $");
        }
        return true;
    }
    case SYN_EMAIL_ADDRESS: {
        std::size_t c = findSeparator(s, '#');
        if (c == std::string_view::npos || !isDigits(s.substr(0, c)) ||
            !readNumber(s.substr(0, c), nullptr))
            return why(whyNot, "an e-mail address is type#address");
        return true;
    }
    case SYN_PATH: {
        Fields f(s);
        std::string_view volume = f.next();
        std::string_view space = f.next();
        if (!f.more() || volume.empty() || !isDigits(space) || !readNumber(space, nullptr))
            return why(whyNot, "a path is volume#namespace#path");
        return true;
    }
    case SYN_REPLICA_POINTER: {
        Fields f(s);
        std::string_view server = f.next();
        std::string_view type = f.next();
        std::string_view number = f.next();
        std::string_view count = f.next();
        nuint32 stated = 0;
        if (server.empty() || !readNumber(type, nullptr) || !readNumber(number, nullptr) ||
            !isDigits(count) || !readNumber(count, &stated))
            return why(whyNot, "a replica pointer is server#type#number#count[#type#hex...]");
        nuint32 hints = 0;
        while (f.more()) {
            std::string_view t = f.next();
            if (!f.more() || !isDigits(t) || !readNumber(t, nullptr) || !isHex(f.next()))
                return why(whyNot, "a replica address hint is type#hexoctets");
            ++hints;
        }
        return hints == stated || why(whyNot, "replica pointer count and address hints differ");
    }
    case SYN_OBJECT_ACL: {
        Fields f(s);
        std::string_view privileges = f.next();
        std::string_view scope = f.next();
        if (!f.more() || !isDigits(privileges) || !readNumber(privileges, nullptr))
            return why(whyNot, "an ACL is privileges#scope#subject#attribute");
        if (!calls::equalNoCase(scope, "entry") && !calls::equalNoCase(scope, "subtree") &&
            !isDigits(scope))
            return why(whyNot, "an ACL scope is entry, subtree or a number");
        std::string_view rest = f.rest();
        std::size_t c = findLastHash(rest);
        if (c == std::string_view::npos || c == 0 || c + 1 == rest.size())
            return why(whyNot, "an ACL needs a subject and a protected attribute");
        return true;
    }
    case SYN_TIMESTAMP: {
        Fields f(s);
        std::string_view sec = f.next();
        std::string_view rep = f.next();
        std::string_view ev = f.rest();
        nuint32 r = 0, e = 0;
        if (!isDigits(sec) || !readNumber(sec, nullptr) || !isDigits(rep) || !readNumber(rep, &r) ||
            !isDigits(ev) || !readNumber(ev, &e) || r > 0xFFFF || e > 0xFFFF)
            return why(whyNot, "a timestamp is seconds#replica#event");
        return true;
    }
    case SYN_BACK_LINK:
    case SYN_HOLD: {
        std::size_t c = findSeparator(s, '#');
        if (c == std::string_view::npos || !isDigits(s.substr(0, c)) ||
            !readNumber(s.substr(0, c), nullptr) || c + 1 == s.size())
            return why(whyNot, syntax == SYN_HOLD ? "a hold is amount#object"
                                                  : "a back link is remoteID#object");
        return true;
    }
    case SYN_TYPED_NAME: {
        std::string_view object, level, interval;
        typedNameParts(s, object, level, interval);
        if (object.empty() || !isDigits(level) || !readNumber(level, nullptr) ||
            !isDigits(interval) || !readNumber(interval, nullptr))
            return why(whyNot, "a typed name is object#level#interval");
        return true;
    }
    default: // texts, lists, addresses, bytes: every text is a value
        return true;
    }
}

namespace calls {

bool valueNameSpan(nuint32 syntax, std::string_view s, std::size_t* begin, std::size_t* end) {
    std::size_t b = 0, e = s.size();
    switch (syntax) {
    case SYN_DIST_NAME:
        break;
    case SYN_PATH:
    case SYN_REPLICA_POINTER: {
        std::size_t c = findSeparator(s, '#');
        e = c == std::string_view::npos ? s.size() : c;
        break;
    }
    case SYN_OBJECT_ACL: {
        std::string_view privileges, subject, attribute;
        aclParts(s, privileges, subject, attribute);
        if (subject.empty() || subject.front() == '[') // "[Public]" and the like
            return false;
        b = static_cast<std::size_t>(subject.data() - s.data());
        e = b + subject.size();
        break;
    }
    case SYN_BACK_LINK:
    case SYN_HOLD: {
        std::string_view number, name;
        numberAndName(s, number, name);
        b = static_cast<std::size_t>(name.data() - s.data());
        e = b + name.size();
        break;
    }
    case SYN_TYPED_NAME: {
        std::string_view object, level, interval;
        typedNameParts(s, object, level, interval);
        e = object.size();
        break;
    }
    default:
        return false;
    }
    *begin = b;
    *end = e;
    return true;
}

} // namespace calls

} // namespace kvx::client
