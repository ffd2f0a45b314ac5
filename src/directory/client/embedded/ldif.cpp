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

bool isNameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_';
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
    std::size_t pos = 0;
    std::size_t lineNo = firstLine - 1;
    while (pos < rec.size()) {
        std::size_t end = rec.find('\n', pos);
        if (end == std::string_view::npos)
            end = rec.size();
        ++lineNo;
        std::string_view line = rec.substr(pos, end - pos);
        std::size_t lineStart = pos;
        pos = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.empty())
            continue;
        if (line[0] == '#') {
            // A comment inside a record, with its own folded lines.
            while (pos < rec.size() && rec[pos] == ' ') {
                std::size_t e = rec.find('\n', pos);
                pos = e == std::string_view::npos ? rec.size() : e + 1;
                ++lineNo;
            }
            continue;
        }
        if (line[0] == ' ') {
            // Continuation of the previous line (only values are folded onto here).
            if (out.empty()) {
                why = "continuation line without a line before it";
                errorLine = lineNo;
                return false;
            }
            Line& prev = out.back();
            const char* begin = prev.raw.data();
            // The raw view runs on to the end of the continuation line (not its line end).
            const char* stop = rec.data() + lineStart + line.size();
            prev.raw = std::string_view(begin, static_cast<std::size_t>(stop - begin));
            prev.folded = true;
            continue;
        }
        Line l;
        l.lineNo = lineNo;
        std::size_t i = 0;
        while (i < line.size() && isNameChar(line[i]))
            ++i;
        l.name = line.substr(0, i);
        std::size_t optStart = i;
        while (i < line.size() && line[i] == ';') {
            ++i;
            while (i < line.size() && isNameChar(line[i]))
                ++i;
        }
        l.options = line.substr(optStart, i - optStart);
        if (l.name.empty() || i >= line.size() || line[i] != ':') {
            if (line == "-")
                why = "only \"changetype: add\" records are supported";
            else
                why = "expected \"attribute: value\"";
            errorLine = lineNo;
            return false;
        }
        ++i;
        if (i < line.size() && line[i] == ':') {
            l.kind = Line::Base64;
            ++i;
        } else if (i < line.size() && line[i] == '<') {
            l.kind = Line::Url;
            ++i;
        }
        while (i < line.size() && line[i] == ' ')
            ++i;
        l.raw = line.substr(i);
        out.push_back(l);
    }
    return true;
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
