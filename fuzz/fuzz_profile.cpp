// Profile files: any text as a profile file; the keys it holds are read, one key is written and
// read back, and every other key must read as before (a write loses nothing of the file).
//
// Input: "section NUL key NUL value NUL file text". The written value's line ends are turned
// into blanks as WriteIniString does; the value then reads back by the reading rules (blanks
// around it dropped, one pair of enclosing quotes removed). Section and key names that a file
// cannot hold (line ends, "=", a key starting with "[", a section name with "]", blanks around
// them) are cleaned the same way first: callers only use plain names.
#include "fuzz_support.h"
#include "settings/profile.h"

#include <string>
#include <utility>
#include <vector>

namespace {

bool blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string trimmed(std::string_view s) {
    while (!s.empty() && blank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && blank(s.back()))
        s.remove_suffix(1);
    return std::string(s);
}

// A name a profile file can hold: no line ends, "=" or "]", and no blanks around it.
std::string plainName(std::string_view s) {
    std::string out;
    for (char c : s)
        if (c != '\r' && c != '\n' && c != '=' && c != ']' && c != '[')
            out.push_back(c);
    return trimmed(out);
}

// The value as the reading rules give it back.
std::string readsAs(std::string value) {
    for (char& c : value)
        if (c == '\r' || c == '\n')
            c = ' ';
    std::string v = trimmed(value);
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        v = v.substr(1, v.size() - 2);
    return v;
}

bool sameNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

// (section, key) pairs named in the text, as a reader would look them up.
std::vector<std::pair<std::string, std::string>> namedKeys(std::string_view text) {
    std::vector<std::pair<std::string, std::string>> keys;
    std::string section;
    while (!text.empty() && keys.size() < 64) {
        std::size_t nl = text.find('\n');
        std::string line = trimmed(text.substr(0, nl));
        text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
        if (!line.empty() && line.front() == '[' && line.find(']') != std::string::npos) {
            section = trimmed(std::string_view(line).substr(1, line.find(']') - 1));
            continue;
        }
        std::size_t eq = line.find('=');
        if (eq != std::string::npos)
            keys.emplace_back(section, trimmed(std::string_view(line).substr(0, eq)));
    }
    return keys;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view rest = kvx::fuzz::asText(data, size);
    const std::string section = plainName(kvx::fuzz::takeField(rest));
    const std::string key = plainName(kvx::fuzz::takeField(rest));
    const std::string value(kvx::fuzz::takeField(rest));
    const std::string text(rest);

    std::string oneLine = value;
    for (char& c : oneLine)
        if (c == '\r' || c == '\n')
            c = ' ';

    // Every key the file names, read before the write.
    const auto keys = namedKeys(text);
    std::vector<std::pair<bool, std::string>> before;
    for (const auto& [s, k] : keys) {
        std::string v;
        const bool found = kvx::settings::lookupProfileValue(text, s, k, v);
        before.emplace_back(found, v);
    }
    auto othersUnchanged = [&](const std::string& after) {
        for (std::size_t i = 0; i < keys.size(); ++i) {
            if (sameNoCase(keys[i].first, section) && sameNoCase(keys[i].second, key))
                continue;
            std::string v;
            const bool found =
                kvx::settings::lookupProfileValue(after, keys[i].first, keys[i].second, v);
            KVX_FUZZ_CHECK(found == before[i].first);
            KVX_FUZZ_CHECK(v == before[i].second);
        }
    };

    const std::string written = kvx::settings::setProfileValue(text, section, key, oneLine);
    std::string back;
    KVX_FUZZ_CHECK(kvx::settings::lookupProfileValue(written, section, key, back));
    KVX_FUZZ_CHECK(back == readsAs(value));
    othersUnchanged(written);

    // Writing it again (the key now exists: replaced in place) keeps all of that.
    const std::string twice = kvx::settings::setProfileValue(written, section, key, oneLine);
    back.clear();
    KVX_FUZZ_CHECK(kvx::settings::lookupProfileValue(twice, section, key, back));
    KVX_FUZZ_CHECK(back == readsAs(value));
    othersUnchanged(twice);
    return 0;
}
