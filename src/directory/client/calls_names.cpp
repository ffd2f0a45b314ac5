// Names as the calls take and hand them back: resolution against a context's name context and
// the reverse, a full name made relative to it.
#include "calls_internal.h"

namespace kvx::client::calls {

namespace {

char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// The component that begins at starts[i], up to (not including) its separator.
std::string_view component(std::string_view name, const std::vector<std::size_t>& starts,
                           std::size_t i) {
    std::size_t b = starts[i];
    std::size_t e = i + 1 < starts.size() ? starts[i + 1] - 1 : name.size();
    return name.substr(b, e - b);
}

} // namespace

bool equalNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lowerAscii(a[i]) != lowerAscii(b[i]))
            return false;
    }
    return true;
}

bool isRootText(std::string_view name) {
    return name.empty() || equalNoCase(name, "[root]");
}

void componentStarts(std::string_view name, std::vector<std::size_t>& out) {
    out.clear();
    out.push_back(0);
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (name[i] == '\\') {
            ++i; // the escaped character, a period included, belongs to the component
        } else if (name[i] == '.') {
            out.push_back(i + 1);
        }
    }
}

std::string resolveName(std::string_view name, const std::string& nameContext) {
    if (!name.empty() && name.front() == '.')
        return std::string(name.substr(1));
    if (equalNoCase(name, "[root]"))
        return std::string();
    if (name.empty())
        return nameContext;
    if (nameContext.empty())
        return std::string(name);
    std::string full;
    full.reserve(name.size() + 1 + nameContext.size());
    full.append(name).append(1, '.').append(nameContext);
    return full;
}

std::string relativeName(std::string_view fullName, std::string_view typedName,
                         std::string_view nameContext) {
    std::string_view shown = typedName.empty() ? fullName : typedName;
    if (nameContext.empty())
        return std::string(shown);
    std::vector<std::size_t> fullStarts;
    std::vector<std::size_t> ctxStarts;
    componentStarts(fullName, fullStarts);
    componentStarts(nameContext, ctxStarts);
    const std::size_t n = fullStarts.size();
    const std::size_t k = ctxStarts.size();
    if (k > n || fullName.empty())
        return std::string(shown);
    for (std::size_t i = 0; i < k; ++i) {
        if (!equalNoCase(component(fullName, fullStarts, n - k + i),
                         component(nameContext, ctxStarts, i)))
            return std::string(shown);
    }
    // The name context itself is "" as seen from itself, which resolves back to it.
    if (k == n)
        return std::string();
    if (!typedName.empty()) {
        std::vector<std::size_t> typedStarts;
        componentStarts(typedName, typedStarts);
        if (typedStarts.size() == n)
            return std::string(typedName.substr(0, typedStarts[n - k] - 1));
    }
    return std::string(fullName.substr(0, fullStarts[n - k] - 1));
}

bool read32(Buf_T& buf, nuint32& v) {
    if (buf.pos > buf.end || buf.end - buf.pos < 4)
        return false;
    v = get32(buf.bytes.data() + buf.pos);
    buf.pos += 4;
    return true;
}

bool readText(Buf_T& buf, std::string_view& text) {
    std::size_t save = buf.pos;
    nuint32 len;
    if (!read32(buf, len))
        return false;
    if (buf.end - buf.pos < len) {
        buf.pos = save;
        return false;
    }
    text = std::string_view(reinterpret_cast<const char*>(buf.bytes.data()) + buf.pos, len);
    buf.pos += len;
    return true;
}

bool readValue(Buf_T& buf, std::string_view& value) {
    const std::size_t save = buf.pos;
    nuint32 len, index;
    if (!read32(buf, len))
        return false;
    if (len != kOutOfLine) {
        buf.pos = save;
        return readText(buf, value);
    }
    if (!read32(buf, index) || index >= buf.outOfLine.size()) {
        buf.pos = save;
        return false;
    }
    value = buf.outOfLine[index];
    return true;
}

} // namespace kvx::client::calls
