#include "names.h"

#include <cstddef>

namespace kvx::client::names {

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

namespace {

char lowerChar(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
char upperChar(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool isSpace(char c) {
    return c == ' ';
}

// Appends one attribute value starting at `i` (up to an unescaped ',', ';' or '+') to `value`,
// escapes undone.
bool readValue(std::string_view dn, std::size_t& i, std::string& value, std::string* why) {
    const std::size_t base = value.size();
    while (i < dn.size() && isSpace(dn[i]))
        ++i;
    if (i < dn.size() && dn[i] == '"') {
        // Quoted value (RFC 2253 legacy form).
        ++i;
        bool closed = false;
        while (i < dn.size()) {
            char c = dn[i++];
            if (c == '\\' && i < dn.size()) {
                value.push_back(dn[i++]);
            } else if (c == '"') {
                closed = true;
                break;
            } else {
                value.push_back(c);
            }
        }
        if (!closed) {
            if (why)
                *why = "unterminated quoted value";
            return false;
        }
        while (i < dn.size() && isSpace(dn[i]))
            ++i;
        return true;
    }
    std::size_t keep = base; // length up to the last escaped or non-blank character
    while (i < dn.size()) {
        char c = dn[i];
        if (c == ',' || c == ';' || c == '+')
            break;
        ++i;
        if (c == '\\') {
            if (i >= dn.size()) {
                if (why)
                    *why = "a backslash ends the name";
                return false;
            }
            int h1 = hexDigit(dn[i]);
            int h2 = i + 1 < dn.size() ? hexDigit(dn[i + 1]) : -1;
            if (h1 >= 0 && h2 >= 0) {
                value.push_back(static_cast<char>(h1 * 16 + h2));
                i += 2;
            } else {
                value.push_back(dn[i++]);
            }
            keep = value.size();
        } else {
            value.push_back(c);
            if (!isSpace(c))
                keep = value.size();
        }
    }
    value.resize(keep);
    return true;
}

// Appends the attribute type starting at `i` to `type` and moves past its '='.
bool readType(std::string_view dn, std::size_t& i, std::string& type, std::string* why) {
    const std::size_t base = type.size();
    while (i < dn.size() && isSpace(dn[i]))
        ++i;
    while (i < dn.size() && dn[i] != '=') {
        char c = dn[i];
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '-' || c == '.';
        if (isSpace(c)) {
            ++i;
            continue;
        }
        if (!ok) {
            if (why)
                *why = "bad character in an attribute type";
            return false;
        }
        type.push_back(c);
        ++i;
    }
    if (i >= dn.size() || type.size() == base) {
        if (why)
            *why = type.size() == base ? "a name component has no attribute type"
                                       : "a name component has no \"=\"";
        return false;
    }
    ++i; // '='
    return true;
}

} // namespace

bool parseDn(std::string_view dn, std::vector<Rdn>& out, std::string* why) {
    // The strings of `out` are reused, so a caller that keeps the vector allocates little.
    std::size_t n = 0;
    std::size_t i = 0;
    while (i < dn.size() && isSpace(dn[i]))
        ++i;
    bool newRdn = true;
    while (i < dn.size()) {
        if (newRdn) {
            if (n == out.size())
                out.emplace_back();
            out[n].type.clear();
            out[n].value.clear();
            ++n;
        } else {
            out[n - 1].type.push_back('+');
            out[n - 1].value.push_back('+');
        }
        Rdn& rdn = out[n - 1];
        if (!readType(dn, i, rdn.type, why) || !readValue(dn, i, rdn.value, why)) {
            out.resize(n);
            return false;
        }
        if (i >= dn.size())
            break;
        char sep = dn[i++];
        newRdn = sep != '+';
        if (i >= dn.size()) {
            if (why)
                *why = "the name ends with a separator";
            out.resize(n);
            return false;
        }
    }
    out.resize(n);
    return true;
}

bool parseFirstRdn(std::string_view dn, Rdn& out, std::string_view& rest, std::string* why) {
    out.type.clear();
    out.value.clear();
    rest = {};
    std::size_t i = 0;
    while (i < dn.size() && isSpace(dn[i]))
        ++i;
    if (i >= dn.size()) {
        if (why)
            *why = "the name is empty";
        return false;
    }
    while (true) {
        if (!readType(dn, i, out.type, why) || !readValue(dn, i, out.value, why))
            return false;
        if (i >= dn.size())
            return true;
        char sep = dn[i++];
        if (i >= dn.size()) {
            if (why)
                *why = "the name ends with a separator";
            return false;
        }
        if (sep != '+') {
            rest = dn.substr(i);
            return true;
        }
        out.type.push_back('+');
        out.value.push_back('+');
    }
}

bool appendTypelessDn(std::string_view dn, std::string& out) {
    // Values are read straight into `out` and escaped in place.
    const std::size_t start = out.size();
    std::size_t i = 0;
    std::string type; // short: stays in the string's own storage
    while (i < dn.size() && isSpace(dn[i]))
        ++i;
    while (i < dn.size()) {
        type.clear();
        if (!readType(dn, i, type, nullptr)) {
            out.resize(start);
            return false;
        }
        std::size_t valueStart = out.size();
        if (!readValue(dn, i, out, nullptr)) {
            out.resize(start);
            return false;
        }
        // Escape the periods and backslashes of the value just read.
        std::size_t extra = 0;
        for (std::size_t k = valueStart; k < out.size(); ++k)
            extra += out[k] == '.' || out[k] == '\\';
        if (extra) {
            std::size_t k = out.size();
            out.resize(out.size() + extra);
            std::size_t w = out.size();
            while (k > valueStart) {
                char c = out[--k];
                out[--w] = c;
                if (c == '.' || c == '\\')
                    out[--w] = '\\';
            }
        }
        if (i >= dn.size())
            return true;
        char sep = dn[i++];
        if (i >= dn.size()) {
            out.resize(start);
            return false;
        }
        out.push_back(sep == '+' ? '+' : '.');
    }
    return true;
}

bool validDn(std::string_view dn) {
    if (dn.find_first_not_of(' ') == std::string_view::npos)
        return false;
    std::string scratch;
    return appendTypelessDn(dn, scratch);
}

void appendEscapedComponent(std::string& out, std::string_view value) {
    for (char c : value) {
        if (c == '.' || c == '\\')
            out.push_back('\\');
        out.push_back(c);
    }
}

std::string escapeComponent(std::string_view value) {
    std::string out;
    out.reserve(value.size() + 2);
    appendEscapedComponent(out, value);
    return out;
}

bool dnToTypeless(std::string_view dn, std::string& out) {
    out.clear();
    return appendTypelessDn(dn, out);
}

std::string dnToTypeless(std::string_view dn) {
    std::string out;
    if (!dnToTypeless(dn, out))
        return std::string(dn);
    return out;
}

bool dnToTyped(std::string_view dn, std::string& out) {
    out.clear();
    std::vector<Rdn> rdns;
    if (!parseDn(dn, rdns))
        return false;
    for (std::size_t k = 0; k < rdns.size(); ++k) {
        if (k)
            out.push_back('.');
        // A multi-valued component: "CN=a+UID=b".
        const std::string& t = rdns[k].type;
        const std::string& v = rdns[k].value;
        std::size_t ts = 0, vs = 0;
        while (true) {
            std::size_t te = t.find('+', ts);
            std::size_t ve = te == std::string::npos ? std::string::npos : v.find('+', vs);
            for (std::size_t j = ts; j < (te == std::string::npos ? t.size() : te); ++j)
                out.push_back(upperChar(t[j]));
            out.push_back('=');
            appendEscapedComponent(out, std::string_view(v).substr(vs, ve == std::string::npos
                                                                           ? std::string::npos
                                                                           : ve - vs));
            if (te == std::string::npos || ve == std::string::npos)
                break;
            out.push_back('+');
            ts = te + 1;
            vs = ve + 1;
        }
    }
    return true;
}

std::string escapeDnValue(std::string_view value) {
    std::string out;
    out.reserve(value.size() + 4);
    for (std::size_t k = 0; k < value.size(); ++k) {
        unsigned char c = static_cast<unsigned char>(value[k]);
        bool special = c == ',' || c == '+' || c == '"' || c == '\\' || c == '<' || c == '>' ||
                       c == ';' || c == '=';
        if ((k == 0 && (c == ' ' || c == '#')) || (k + 1 == value.size() && c == ' ') || special) {
            out.push_back('\\');
            out.push_back(static_cast<char>(c));
        } else if (c == 0) {
            out += "\\00";
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out;
}

std::vector<std::string> splitName(std::string_view name) {
    std::vector<std::string> parts;
    std::size_t i = 0;
    if (!name.empty() && name[0] == '.')
        i = 1;
    if (i >= name.size())
        return parts;
    std::string cur;
    for (; i < name.size(); ++i) {
        char c = name[i];
        if (c == '\\' && i + 1 < name.size()) {
            cur.push_back(name[++i]);
        } else if (c == '.') {
            parts.push_back(std::move(cur));
            cur.clear();
        } else {
            cur.push_back(c);
        }
    }
    parts.push_back(std::move(cur));
    return parts;
}

std::string joinName(const std::vector<std::string>& components) {
    std::string out;
    for (std::size_t k = 0; k < components.size(); ++k) {
        if (k)
            out.push_back('.');
        appendEscapedComponent(out, components[k]);
    }
    return out;
}

bool splitTypedComponent(std::string_view component, std::string& type, std::string& value) {
    std::size_t eq = component.find('=');
    if (eq == std::string_view::npos || eq == 0)
        return false;
    type.assign(component.substr(0, eq));
    value.assign(component.substr(eq + 1));
    return true;
}

std::string toDn(const std::vector<Rdn>& rdns) {
    std::string out;
    for (std::size_t k = 0; k < rdns.size(); ++k) {
        if (k)
            out.push_back(',');
        out += rdns[k].type;
        out.push_back('=');
        out += escapeDnValue(rdns[k].value);
    }
    return out;
}

bool typedToTypelessAndDn(std::string_view typed, std::string& typeless, std::string& dn) {
    typeless.clear();
    dn.clear();
    const std::vector<std::string> components = splitName(typed);
    std::string type;
    std::string value;
    for (std::size_t k = 0; k < components.size(); ++k) {
        const std::string& component = components[k];
        if (k) {
            typeless.push_back('.');
            dn.push_back(',');
        }
        // "CN=a+UID=b": a "+" starts another pair only where a type and "=" follow it.
        std::vector<std::string_view> pairs;
        std::size_t start = 0;
        for (std::size_t i = 0; i <= component.size(); ++i) {
            if (i < component.size() && component[i] != '+')
                continue;
            const std::string_view next =
                std::string_view(component).substr(i + (i < component.size()));
            const std::size_t eq = next.find('=');
            const bool pairFollows =
                i == component.size() ||
                (eq != std::string_view::npos && eq > 0 &&
                 next.substr(0, eq).find_first_not_of(
                     "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-.;") ==
                     std::string_view::npos);
            if (pairFollows) {
                pairs.push_back(std::string_view(component).substr(start, i - start));
                start = i + 1;
            }
        }
        for (std::size_t p = 0; p < pairs.size(); ++p) {
            if (!splitTypedComponent(pairs[p], type, value)) {
                typeless.clear();
                dn.clear();
                return false;
            }
            if (p) {
                typeless.push_back('+');
                dn.push_back('+');
            }
            appendEscapedComponent(typeless, value);
            dn += lowerAscii(type);
            dn.push_back('=');
            dn += escapeDnValue(value);
        }
    }
    return !components.empty();
}

bool equalNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t k = 0; k < a.size(); ++k)
        if (lowerChar(a[k]) != lowerChar(b[k]))
            return false;
    return true;
}

std::string lowerAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = lowerChar(c);
    return out;
}

bool isRootName(std::string_view name) {
    return name.empty() || name == "." || equalNoCase(name, "[root]");
}

std::string resolveName(std::string_view name, std::string_view nameContext) {
    if (!name.empty() && name[0] == '.')
        return std::string(name.substr(1));
    if (isRootName(nameContext))
        return std::string(name);
    std::string_view ctx = nameContext[0] == '.' ? nameContext.substr(1) : nameContext;
    if (name.empty())
        return std::string(ctx);
    std::string out(name);
    out.push_back('.');
    out += ctx;
    return out;
}

std::string relativeName(std::string_view fullName, std::string_view nameContext) {
    if (isRootName(nameContext))
        return std::string(fullName);
    std::vector<std::string> full = splitName(fullName);
    std::vector<std::string> ctx = splitName(nameContext);
    if (ctx.size() > full.size())
        return std::string(fullName);
    std::size_t off = full.size() - ctx.size();
    for (std::size_t k = 0; k < ctx.size(); ++k)
        if (!equalNoCase(full[off + k], ctx[k]))
            return std::string(fullName);
    full.resize(off);
    return joinName(full);
}

} // namespace kvx::client::names
