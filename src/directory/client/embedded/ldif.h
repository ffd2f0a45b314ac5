// LDIF (RFC 2849) content records, read straight from the file's text without copying it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kvx::client::ldif {

struct Line {
    enum Kind { Plain, Base64, Url };
    std::string_view name;    // attribute type, options (";binary") removed
    std::string_view options; // ";binary..." as written, empty when none
    Kind kind = Plain;
    std::string_view raw; // the value as written (may hold folds when `folded`)
    bool folded = false;
    std::size_t lineNo = 0;
};

// Splits an LDIF text into records: calls `record(text, firstLine)` for each (the text runs
// from the first line of the record up to, not including, the blank line after it). Checks the
// optional "version:" line (only 1 is known) and skips comments. Returns false with `error`
// ("<line>: <fault>" without the file name) and `errorLine` on a fault in the layout.
template <class F>
bool forEachRecord(std::string_view text, F&& record, std::string& error, std::size_t& errorLine);

// Reads the lines of one record (as handed out above) and calls `line(const Line&)` for each,
// folded lines joined, in order, until it returns false. `firstLine` numbers the first line.
// False with `why` and `errorLine` when a line does not read. Needs no memory of its own, so a
// record of a million lines costs no more than one of ten.
template <class F>
bool forEachLine(std::string_view record, std::size_t firstLine, F&& line, std::string& why,
                 std::size_t& errorLine);

// The same, into `out`.
bool parseRecord(std::string_view record, std::size_t firstLine, std::vector<Line>& out,
                 std::string& why, std::size_t& errorLine);

// Characters of attribute names and options.
inline bool isNameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_';
}

// The value of a Plain or Base64 line: a view of the file text when nothing needs undoing,
// otherwise the unfolded / decoded bytes in `scratch`. False for bad base64.
bool lineValue(const Line& line, std::string& scratch, std::string_view& value);

bool decodeBase64(std::string_view in, std::string& out);

// ---- implementation of the template ---------------------------------------------------------

template <class F>
bool forEachRecord(std::string_view text, F&& record, std::string& error, std::size_t& errorLine) {
    std::size_t pos = 0;
    std::size_t lineNo = 0;
    std::size_t recStart = std::string_view::npos;
    std::size_t recLine = 0;
    bool inComment = false;
    bool first = true;
    auto flush = [&](std::size_t end) {
        if (recStart == std::string_view::npos)
            return true;
        std::string_view rec = text.substr(recStart, end - recStart);
        std::size_t start = recStart;
        recStart = std::string_view::npos;
        (void)start;
        return record(rec, recLine);
    };
    if (text.size() >= 3 && static_cast<unsigned char>(text[0]) == 0xEF &&
        static_cast<unsigned char>(text[1]) == 0xBB && static_cast<unsigned char>(text[2]) == 0xBF)
        pos = 3;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        ++lineNo;
        std::size_t lineStart = pos;
        pos = end + 1;
        if (line.empty()) {
            inComment = false;
            if (!flush(lineStart))
                return false;
            continue;
        }
        if (line[0] == ' ' && inComment)
            continue; // folded comment
        inComment = false;
        if (line[0] == '#') {
            inComment = true;
            continue;
        }
        if (recStart == std::string_view::npos) {
            if (line[0] == ' ') {
                error = std::to_string(lineNo) + ": continuation line outside a record";
                errorLine = lineNo;
                return false;
            }
            if (first && line.size() >= 8 && line.substr(0, 8) == "version:") {
                std::string_view v = line.substr(8);
                while (!v.empty() && v[0] == ' ')
                    v.remove_prefix(1);
                while (!v.empty() && v.back() == ' ')
                    v.remove_suffix(1);
                if (v != "1") {
                    error = std::to_string(lineNo) + ": unsupported LDIF version \"" +
                            std::string(v) + "\"";
                    errorLine = lineNo;
                    return false;
                }
                first = false;
                continue;
            }
            first = false;
            recStart = lineStart;
            recLine = lineNo;
        }
    }
    return flush(text.size());
}

template <class F>
bool forEachLine(std::string_view rec, std::size_t firstLine, F&& line, std::string& why,
                 std::size_t& errorLine) {
    // A line is handed out once the next one shows it is not continued.
    Line pending;
    bool havePending = false;
    std::size_t pos = 0;
    std::size_t lineNo = firstLine - 1;
    while (pos < rec.size()) {
        std::size_t end = rec.find('\n', pos);
        if (end == std::string_view::npos)
            end = rec.size();
        ++lineNo;
        std::string_view text = rec.substr(pos, end - pos);
        std::size_t lineStart = pos;
        pos = end + 1;
        if (!text.empty() && text.back() == '\r')
            text.remove_suffix(1);
        if (text.empty())
            continue;
        if (text[0] == '#') {
            // A comment inside a record, with its own folded lines.
            while (pos < rec.size() && rec[pos] == ' ') {
                std::size_t e = rec.find('\n', pos);
                pos = e == std::string_view::npos ? rec.size() : e + 1;
                ++lineNo;
            }
            continue;
        }
        if (text[0] == ' ') {
            // Continuation of the previous line (only values are folded onto here).
            if (!havePending) {
                why = "continuation line without a line before it";
                errorLine = lineNo;
                return false;
            }
            const char* begin = pending.raw.data();
            // The raw view runs on to the end of the continuation line (not its line end).
            const char* stop = rec.data() + lineStart + text.size();
            pending.raw = std::string_view(begin, static_cast<std::size_t>(stop - begin));
            pending.folded = true;
            continue;
        }
        if (havePending && !line(static_cast<const Line&>(pending)))
            return true;
        Line l;
        l.lineNo = lineNo;
        std::size_t i = 0;
        while (i < text.size() && isNameChar(text[i]))
            ++i;
        l.name = text.substr(0, i);
        std::size_t optStart = i;
        while (i < text.size() && text[i] == ';') {
            ++i;
            while (i < text.size() && isNameChar(text[i]))
                ++i;
        }
        l.options = text.substr(optStart, i - optStart);
        if (l.name.empty() || i >= text.size() || text[i] != ':') {
            if (text == "-")
                why = "only \"changetype: add\" records are supported";
            else
                why = "expected \"attribute: value\"";
            errorLine = lineNo;
            return false;
        }
        ++i;
        if (i < text.size() && text[i] == ':') {
            l.kind = Line::Base64;
            ++i;
        } else if (i < text.size() && text[i] == '<') {
            l.kind = Line::Url;
            ++i;
        }
        while (i < text.size() && text[i] == ' ')
            ++i;
        l.raw = text.substr(i);
        pending = l;
        havePending = true;
    }
    if (havePending)
        line(static_cast<const Line&>(pending));
    return true;
}

} // namespace kvx::client::ldif
