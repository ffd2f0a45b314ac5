// Failure on demand for the client calls.
#include "faults.h"

#include <cctype>
#include <chrono>
#include <cstdint>
#include <string_view>
#include <thread>
#include <vector>

namespace kvx::client::faults {

namespace {

struct Rule {
    std::string call;
    long seen = 0; // calls of `call` counted since the rule was armed
    long occurrence = 1;
    NWDSCCODE code = 0;
    bool fromThenOn = false;
    int delayMs = 0; // a slow call rather than a failed one
};

std::vector<Rule>& rules() {
    static std::vector<Rule> r;
    return r;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front())))
        s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back())))
        s.remove_suffix(1);
    return s;
}

// A signed decimal or "0x" hexadecimal number that fits 32 bits; false for anything else.
bool parseNumber(std::string_view s, long long& out) {
    s = trim(s);
    bool negative = false;
    if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
        negative = s[0] == '-';
        s.remove_prefix(1);
    }
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    }
    if (s.empty() || s.size() > 10)
        return false;
    long long v = 0;
    for (char c : s) {
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (base == 16 && std::isxdigit(static_cast<unsigned char>(c)))
            d = std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
        else
            return false;
        v = v * base + d;
    }
    out = negative ? -v : v;
    return out >= INT32_MIN && out <= static_cast<long long>(UINT32_MAX);
}

void arm(const std::string& call, int occurrence, NWDSCCODE code, bool fromThenOn) {
    if (call.empty() || occurrence < 1)
        return;
    Rule r;
    r.call = call;
    r.occurrence = occurrence;
    r.code = code;
    r.fromThenOn = fromThenOn;
    rules().push_back(std::move(r));
}

} // namespace

void failCall(const std::string& callName, int occurrence, NWDSCCODE code) {
    arm(callName, occurrence, code, false);
}

void failCallFrom(const std::string& callName, int occurrence, NWDSCCODE code) {
    arm(callName, occurrence, code, true);
}

void delayCall(const std::string& callName, int milliseconds) {
    if (callName.empty() || milliseconds <= 0)
        return;
    Rule r;
    r.call = callName;
    r.fromThenOn = true;
    r.delayMs = milliseconds;
    rules().push_back(std::move(r));
}

void clear() {
    rules().clear();
}

NWDSCCODE check(const char* callName) {
    auto& r = rules();
    if (r.empty()) // the common case: nothing armed, nothing counted
        return 0;
    NWDSCCODE result = 0;
    for (auto it = r.begin(); it != r.end();) {
        if (it->call != callName) {
            ++it;
            continue;
        }
        ++it->seen;
        bool fires = it->fromThenOn ? it->seen >= it->occurrence : it->seen == it->occurrence;
        if (fires && it->delayMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(it->delayMs));
        if (fires && result == 0)
            result = it->code;
        if (fires && !it->fromThenOn) {
            it = r.erase(it);
            continue;
        }
        ++it;
    }
    return result;
}

// Text: rules separated by "," or ";", each "call:occurrence:code"; an occurrence written with
// a trailing "+" ("NWDSGetAttrVal:3+:-625") fails that call and every later one, and "delay" in
// its place ("NWDSSearch:delay:200") makes every call of it that many milliseconds slower.
bool armFromText(const std::string& text) {
    struct Parsed {
        std::string call;
        int occurrence;
        NWDSCCODE code;
        bool from;
        int delayMs = 0;
    };
    std::vector<Parsed> parsed;
    std::string_view rest = text;
    while (!trim(rest).empty()) {
        std::size_t cut = rest.find_first_of(",;");
        std::string_view item = trim(rest.substr(0, cut));
        rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
        if (item.empty())
            continue;
        std::size_t c1 = item.find(':');
        std::size_t c2 = c1 == std::string_view::npos ? c1 : item.find(':', c1 + 1);
        if (c2 == std::string_view::npos || item.find(':', c2 + 1) != std::string_view::npos)
            return false;
        std::string_view call = trim(item.substr(0, c1));
        std::string_view occ = trim(item.substr(c1 + 1, c2 - c1 - 1));
        long long ms = 0;
        if (occ == "delay") { // "NWDSSearch:delay:200": every call takes 200 ms longer
            if (call.empty() || !parseNumber(item.substr(c2 + 1), ms) || ms < 1 || ms > 60000)
                return false;
            parsed.push_back({std::string(call), 0, 0, true, static_cast<int>(ms)});
            continue;
        }
        bool from = !occ.empty() && occ.back() == '+';
        if (from)
            occ.remove_suffix(1);
        long long occurrence = 0;
        long long code = 0;
        if (call.empty() || !parseNumber(occ, occurrence) || occurrence < 1 ||
            occurrence > INT32_MAX || !parseNumber(item.substr(c2 + 1), code) || code == 0)
            return false;
        parsed.push_back({std::string(call), static_cast<int>(occurrence),
                          static_cast<NWDSCCODE>(static_cast<std::uint32_t>(code)), from, 0});
    }
    for (const auto& p : parsed) {
        if (p.delayMs > 0)
            delayCall(p.call, p.delayMs);
        else
            arm(p.call, p.occurrence, p.code, p.from);
    }
    return true;
}

} // namespace kvx::client::faults
