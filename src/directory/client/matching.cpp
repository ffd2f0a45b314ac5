#include "matching.h"

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>

namespace kvx::client::matching {

namespace {

char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool sameNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return lowerAscii(x) == lowerAscii(y);
           });
}

bool ascii(std::string_view s) {
    return std::all_of(s.begin(), s.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// NFKC (with case folding when `fold`) of UTF-8 text; false when it is not UTF-8.
bool normalizeUnicode(std::string_view v, bool fold, std::string& out) {
    out.clear();
    if (ascii(v)) {
        out.reserve(v.size());
        for (char c : v)
            out.push_back(fold ? lowerAscii(c) : c);
        return true;
    }
    for (std::int32_t i = 0, n = static_cast<std::int32_t>(v.size()); i < n;) {
        UChar32 c = 0;
        U8_NEXT(reinterpret_cast<const std::uint8_t*>(v.data()), i, n, c);
        if (c < 0)
            return false;
    }
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* n = fold ? icu::Normalizer2::getNFKCCasefoldInstance(status)
                                     : icu::Normalizer2::getNFKCInstance(status);
    if (U_FAILURE(status))
        return false;
    const icu::UnicodeString text = icu::UnicodeString::fromUTF8(
        icu::StringPiece(v.data(), static_cast<std::int32_t>(v.size())));
    const icu::UnicodeString prepared = n->normalize(text, status);
    if (U_FAILURE(status))
        return false;
    prepared.toUTF8String(out);
    return true;
}

enum class Blanks { Equality, Initial, Any, Final };

// Insignificant blanks: runs made one, and dropped at the ends a piece does not keep.
void handleBlanks(std::string& s, Blanks mode) {
    const bool hadText = !s.empty();
    bool wasBlank = mode == Blanks::Equality || mode == Blanks::Initial; // drops leading blanks
    std::size_t o = 0;
    for (char c : s) {
        if (c == ' ') {
            if (!wasBlank)
                s[o++] = ' ';
            wasBlank = true;
        } else {
            wasBlank = false;
            s[o++] = c;
        }
    }
    s.resize(o);
    if (s.empty()) {
        if (hadText)
            s = " "; // a value of blanks only is one blank
        return;
    }
    if (s.back() == ' ' && (mode == Blanks::Equality || mode == Blanks::Final))
        s.pop_back();
}

bool prepareText(Rule rule, std::string_view v, Blanks mode, std::string& out) {
    switch (rule) {
    case Rule::CaseIgnoreIA5:
    case Rule::CaseExactIA5:
        // IA5 strings lose their outer blanks wherever they stand, substrings too (as slapd
        // prepares them): a piece of blanks only asks for nothing.
        if (!ascii(v))
            return false;
        normalizeUnicode(v, rule == Rule::CaseIgnoreIA5, out);
        handleBlanks(out, Blanks::Equality);
        if (out == " ")
            out.clear();
        return true;
    case Rule::CaseIgnore:
    case Rule::CaseExact:
    case Rule::Name:
    case Rule::Class:
        if (!normalizeUnicode(v, rule != Rule::CaseExact && rule != Rule::CaseExactIA5, out))
            return false;
        handleBlanks(out, mode);
        return true;
    case Rule::CaseIgnoreList: {
        // Each line prepared on its own.
        out.clear();
        std::string line;
        std::size_t start = 0;
        while (true) {
            const std::size_t d = v.find('$', start);
            if (!normalizeUnicode(v.substr(start, d == std::string_view::npos ? d : d - start),
                                  true, line))
                return false;
            handleBlanks(line, d == std::string_view::npos && start == 0 ? mode : Blanks::Equality);
            out += line;
            if (d == std::string_view::npos)
                return true;
            out.push_back('$');
            start = d + 1;
        }
    }
    case Rule::NumericString:
        out.clear();
        for (char c : v) {
            if (c == ' ')
                continue;
            if (c < '0' || c > '9')
                return false;
            out.push_back(c);
        }
        return !out.empty() || !v.empty();
    case Rule::Telephone:
        // A Printable String (RFC 4517 3.2), without its blanks and hyphens.
        out.clear();
        for (char c : v) {
            const bool printable =
                (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                std::string_view(" '()+,-./:=?").find(c) != std::string_view::npos;
            if (!printable)
                return false;
            if (c != ' ' && c != '-')
                out.push_back(c);
        }
        if (out.empty() && !v.empty())
            out = " ";
        return !v.empty();
    default:
        out.assign(v);
        return true;
    }
}

bool digits(std::string_view s, std::size_t at, std::size_t count, int& value) {
    if (at + count > s.size())
        return false;
    value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (s[i] < '0' || s[i] > '9')
            return false;
        value = value * 10 + (s[i] - '0');
    }
    return true;
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
long long daysFromCivil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}

void civilFromDays(long long z, int& y, int& m, int& d) {
    z += 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(static_cast<long long>(yoe) + era * 400 + (m <= 2));
}

// GeneralizedTime (RFC 4517 3.3.13): YYYYMMDDHH[MM[SS]][(.|,)fraction](Z|(+|-)HH[MM]), as UTC
// "YYYYMMDDHHMMSS" and the fraction's digits without trailing zeros. A fraction of an hour or a
// minute is not kept as such: such values are rare and compare by their whole part.
bool prepareTime(std::string_view s, std::string& out) {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (!digits(s, 0, 4, year) || !digits(s, 4, 2, month) || !digits(s, 6, 2, day) ||
        !digits(s, 8, 2, hour))
        return false;
    std::size_t i = 10;
    if (digits(s, i, 2, minute)) {
        i += 2;
        if (digits(s, i, 2, second))
            i += 2;
    }
    static const int mdays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (month < 1 || month > 12 || day < 1 || day > mdays[month - 1] ||
        (month == 2 && day == 29 && !leap) || hour > 23 || minute > 59 || second > 60)
        return false;
    std::string fraction;
    if (i < s.size() && (s[i] == '.' || s[i] == ',')) {
        ++i;
        const std::size_t start = i;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9')
            ++i;
        if (i == start)
            return false;
        fraction.assign(s.substr(start, i - start));
        while (!fraction.empty() && fraction.back() == '0')
            fraction.pop_back();
    }
    if (i >= s.size())
        return false;
    long long offset = 0; // minutes east of UTC
    if (s[i] == 'Z') {
        ++i;
    } else if (s[i] == '+' || s[i] == '-') {
        int oh = 0, om = 0;
        const bool west = s[i] == '-';
        if (!digits(s, i + 1, 2, oh) || oh > 23)
            return false;
        i += 3;
        if (digits(s, i, 2, om)) {
            if (om > 59)
                return false;
            i += 2;
        }
        offset = (oh * 60 + om) * (west ? -1 : 1);
    } else {
        return false;
    }
    if (i != s.size())
        return false;
    long long minutes =
        (daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 24 +
         hour) *
            60 +
        minute - offset;
    const long long days = minutes >= 0 ? minutes / 1440 : -((-minutes + 1439) / 1440);
    minutes -= days * 1440;
    int y = 0, m = 0, d = 0;
    civilFromDays(days, y, m, d);
    if (y < 0 || y > 9999)
        return false;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d%02d%02d%02d%02d%02d", y, m, d,
                  static_cast<int>(minutes / 60), static_cast<int>(minutes % 60), second);
    out = buf;
    out += fraction;
    return true;
}

// INTEGER (RFC 4517 3.3.16): an optional "-" and digits without leading zeros.
bool prepareInteger(std::string_view s, std::string& out) {
    std::string_view body = s;
    if (!body.empty() && body.front() == '-')
        body.remove_prefix(1);
    if (body.empty() ||
        !std::all_of(body.begin(), body.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    if (body.front() == '0' && (body.size() > 1 || body.size() != s.size()))
        return false;
    out.assign(s);
    return true;
}

} // namespace

Rule ruleOf(std::string_view r) {
    if (r.empty())
        return Rule::None;
    struct Entry {
        std::string_view name;
        std::string_view oid;
        Rule rule;
    };
    static const Entry table[] = {
        {"objectIdentifierMatch", "2.5.13.0", Rule::Class},
        {"distinguishedNameMatch", "2.5.13.1", Rule::Name},
        {"caseIgnoreMatch", "2.5.13.2", Rule::CaseIgnore},
        {"caseIgnoreOrderingMatch", "2.5.13.3", Rule::CaseIgnore},
        {"caseIgnoreSubstringsMatch", "2.5.13.4", Rule::CaseIgnore},
        {"caseExactMatch", "2.5.13.5", Rule::CaseExact},
        {"caseExactOrderingMatch", "2.5.13.6", Rule::CaseExact},
        {"caseExactSubstringsMatch", "2.5.13.7", Rule::CaseExact},
        {"numericStringMatch", "2.5.13.8", Rule::NumericString},
        {"numericStringOrderingMatch", "2.5.13.9", Rule::NumericString},
        {"numericStringSubstringsMatch", "2.5.13.10", Rule::NumericString},
        {"caseIgnoreListMatch", "2.5.13.11", Rule::CaseIgnoreList},
        {"caseIgnoreListSubstringsMatch", "2.5.13.12", Rule::CaseIgnoreList},
        {"booleanMatch", "2.5.13.13", Rule::Boolean},
        {"integerMatch", "2.5.13.14", Rule::Integer},
        {"integerOrderingMatch", "2.5.13.15", Rule::Integer},
        {"octetStringMatch", "2.5.13.17", Rule::Octets},
        {"octetStringOrderingMatch", "2.5.13.18", Rule::Octets},
        {"telephoneNumberMatch", "2.5.13.20", Rule::Telephone},
        {"telephoneNumberSubstringsMatch", "2.5.13.21", Rule::Telephone},
        {"uniqueMemberMatch", "2.5.13.23", Rule::Name},
        {"generalizedTimeMatch", "2.5.13.27", Rule::Time},
        {"generalizedTimeOrderingMatch", "2.5.13.28", Rule::Time},
        {"caseExactIA5Match", "1.3.6.1.4.1.1466.109.114.1", Rule::CaseExactIA5},
        {"caseIgnoreIA5Match", "1.3.6.1.4.1.1466.109.114.2", Rule::CaseIgnoreIA5},
        {"caseIgnoreIA5SubstringsMatch", "1.3.6.1.4.1.1466.109.114.3", Rule::CaseIgnoreIA5},
        {"caseExactIA5SubstringsMatch", "1.3.6.1.4.1.4203.1.2.1", Rule::CaseExactIA5},
    };
    for (const Entry& e : table)
        if (sameNoCase(r, e.name) || r == e.oid)
            return e.rule;
    return Rule::Unsupported;
}

bool textual(Rule rule) {
    switch (rule) {
    case Rule::CaseIgnore:
    case Rule::CaseExact:
    case Rule::CaseIgnoreIA5:
    case Rule::CaseExactIA5:
    case Rule::CaseIgnoreList:
    case Rule::NumericString:
    case Rule::Telephone:
    case Rule::Octets:
        return true;
    default:
        return false;
    }
}

bool prepare(Rule rule, std::string_view value, std::string& out) {
    switch (rule) {
    case Rule::Integer:
        return prepareInteger(value, out);
    case Rule::Time:
        return prepareTime(value, out);
    case Rule::Boolean: {
        // TRUE / FALSE; the client takes them in any case and sends them in capitals.
        std::string_view v = value;
        while (!v.empty() && v.front() == ' ')
            v.remove_prefix(1);
        while (!v.empty() && v.back() == ' ')
            v.remove_suffix(1);
        if (sameNoCase(v, "TRUE"))
            out = "TRUE";
        else if (sameNoCase(v, "FALSE"))
            out = "FALSE";
        else
            return false;
        return true;
    }
    case Rule::None:
    case Rule::Unsupported:
        return false;
    default:
        return prepareText(rule, value, Blanks::Equality, out);
    }
}

bool prepareSubstring(Rule rule, std::string_view piece, Piece where, std::string& out) {
    if (!textual(rule))
        return false;
    if (piece.empty()) {
        out.clear();
        return true;
    }
    return prepareText(rule, piece,
                       where == Piece::Initial ? Blanks::Initial
                       : where == Piece::Any   ? Blanks::Any
                                               : Blanks::Final,
                       out);
}

bool substringsMatch(std::string_view v, const std::vector<std::string>& pieces) {
    if (pieces.size() < 2)
        return false;
    const std::string& initial = pieces.front();
    const std::string& final = pieces.back();
    if (v.size() < initial.size() || v.substr(0, initial.size()) != initial)
        return false;
    std::size_t pos = initial.size();
    std::size_t end = v.size();
    if (end - pos < final.size() || v.substr(end - final.size()) != final)
        return false;
    end -= final.size();
    for (std::size_t i = 1; i + 1 < pieces.size(); ++i) {
        if (pieces[i].empty())
            continue;
        const std::size_t at = v.substr(0, end).find(pieces[i], pos);
        if (at == std::string_view::npos)
            return false;
        pos = at + pieces[i].size();
    }
    return true;
}

int compare(Rule rule, std::string_view a, std::string_view b) {
    if (rule == Rule::Integer) {
        const bool na = !a.empty() && a.front() == '-', nb = !b.empty() && b.front() == '-';
        if (na != nb)
            return na ? -1 : 1;
        const std::string_view da = na ? a.substr(1) : a, db = nb ? b.substr(1) : b;
        int magnitude = da.size() != db.size() ? (da.size() < db.size() ? -1 : 1)
                        : da.compare(db) < 0   ? -1
                        : da.compare(db) > 0   ? 1
                                               : 0;
        return na ? -magnitude : magnitude;
    }
    const int c = a.compare(b);
    return c < 0 ? -1 : c > 0 ? 1 : 0;
}

bool simpleName(std::string_view v) {
    if (v.empty() || v.front() == ' ' || v.back() == ' ')
        return false;
    char before = 0;
    for (char c : v) {
        if (static_cast<unsigned char>(c) >= 0x80 || (c == ' ' && before == ' '))
            return false;
        before = c;
    }
    return true;
}

void nameKey(std::string_view value, std::string& out) {
    if (!prepareText(Rule::CaseIgnore, value, Blanks::Equality, out)) {
        out.clear();
        for (char c : value)
            out.push_back(lowerAscii(c));
    }
}

bool sameName(std::string_view a, std::string_view b) {
    if (simpleName(a) && simpleName(b))
        return sameNoCase(a, b);
    std::string ka, kb;
    nameKey(a, ka);
    nameKey(b, kb);
    return ka == kb;
}

} // namespace kvx::client::matching
