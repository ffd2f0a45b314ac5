#include "ldif.h"

namespace kvx::client::ldif {

namespace {

int base64Digit(unsigned char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

void unfold(std::string_view raw, std::string& out) {
    out.clear();
    out.reserve(raw.size());
    for (std::size_t i = 0; i < raw.size(); ++i) {
        char c = raw[i];
        if (c == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n')
            continue;
        if (c == '\n') {
            ++i; // skip the single space that begins the continuation line
            continue;
        }
        out.push_back(c);
    }
}

} // namespace

bool decodeBase64(std::string_view in, std::string& out) {
    out.clear();
    out.reserve(in.size() * 3 / 4);
    unsigned acc = 0;
    int bits = 0;
    std::size_t pad = 0;
    std::size_t count = 0;
    for (char ch : in) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c == ' ' || c == '\r' || c == '\n' || c == '\t')
            continue;
        if (c == '=') {
            ++pad;
            ++count;
            continue;
        }
        if (pad)
            return false; // data after padding
        int d = base64Digit(c);
        if (d < 0)
            return false;
        ++count;
        acc = (acc << 6) | static_cast<unsigned>(d);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<char>((acc >> bits) & 0xFF));
        }
    }
    if (count % 4 != 0 || pad > 2)
        return false;
    return true;
}

bool parseRecord(std::string_view rec, std::size_t firstLine, std::vector<Line>& out,
                 std::string& why, std::size_t& errorLine) {
    out.clear();
    return forEachLine(
        rec, firstLine,
        [&](const Line& l) {
            out.push_back(l);
            return true;
        },
        why, errorLine);
}

bool lineValue(const Line& line, std::string& scratch, std::string_view& value) {
    std::string_view raw = line.raw;
    if (line.kind == Line::Base64) {
        if (line.folded) {
            std::string unfolded;
            unfold(raw, unfolded);
            if (!decodeBase64(unfolded, scratch))
                return false;
        } else if (!decodeBase64(raw, scratch)) {
            return false;
        }
        value = scratch;
        return true;
    }
    if (line.folded) {
        unfold(raw, scratch);
        value = scratch;
        return true;
    }
    value = raw;
    return true;
}

} // namespace kvx::client::ldif
