#include "searchfilter.h"

#include "names.h"

namespace kvx::client {

namespace {

bool isDescriptorChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == ';';
}

struct Fault {
    std::size_t at;
    const char* message;
};

class Parser {
public:
    explicit Parser(std::string_view text) : s_(text) {}

    // The whole text: one filter, blanks around it.
    void whole(FilterNode& out) {
        blanks();
        if (pos_ < s_.size() && s_[pos_] != '(') {
            item(out, false); // a single item without its parentheses
        } else {
            filter(out);
        }
        blanks();
        if (pos_ < s_.size())
            throw Fault{pos_, "unexpected text after the end of the filter"};
    }

private:
    void blanks() {
        while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t'))
            ++pos_;
    }
    void expect(char c, const char* message) {
        blanks();
        if (pos_ >= s_.size() || s_[pos_] != c)
            throw Fault{pos_, message};
        ++pos_;
    }

    void filter(FilterNode& out) {
        expect('(', "\"(\" expected");
        if (++depth_ > 200) // deeper than any filter a person writes; keeps the stack bounded
            throw Fault{pos_ - 1, "the filter is nested too deeply"};
        blanks();
        if (pos_ >= s_.size())
            throw Fault{pos_, "the filter ends too early"};
        const char c = s_[pos_];
        if (c == '&' || c == '|') {
            out.kind = c == '&' ? FilterNode::Kind::And : FilterNode::Kind::Or;
            ++pos_;
            blanks();
            if (pos_ >= s_.size() || s_[pos_] != '(')
                throw Fault{pos_, "\"&\" and \"|\" take one or more filters, each in parentheses"};
            while (true) {
                blanks();
                if (pos_ >= s_.size() || s_[pos_] != '(')
                    break;
                out.children.emplace_back();
                filter(out.children.back());
            }
        } else if (c == '!') {
            out.kind = FilterNode::Kind::Not;
            ++pos_;
            blanks();
            if (pos_ >= s_.size() || s_[pos_] != '(')
                throw Fault{pos_, "\"!\" takes one filter in parentheses"};
            out.children.emplace_back();
            filter(out.children.back());
        } else {
            item(out, true);
        }
        expect(')', "\")\" expected");
        --depth_;
    }

    void attribute(std::string& name) {
        blanks();
        const std::size_t start = pos_;
        if (pos_ < s_.size() && s_[pos_] == '"') {
            const std::size_t close = s_.find('"', pos_ + 1);
            if (close == std::string_view::npos)
                throw Fault{start, "the quoted attribute name has no closing double quote"};
            name.assign(s_.substr(pos_ + 1, close - pos_ - 1));
            if (name.find_first_not_of(' ') == std::string::npos)
                throw Fault{start, "the attribute name is empty"};
            pos_ = close + 1;
            return;
        }
        while (pos_ < s_.size() && isDescriptorChar(s_[pos_]))
            ++pos_;
        if (pos_ < s_.size() &&
            std::string_view(" \t=<>~:()").find(s_[pos_]) == std::string_view::npos)
            throw Fault{pos_, "an attribute name holds letters, digits, \"-\", \".\" and \";\"; "
                              "write other names in double quotes"};
        if (pos_ == start)
            throw Fault{start, "an attribute name is expected"};
        name.assign(s_.substr(start, pos_ - start));
        const std::size_t afterName = pos_;
        blanks();
        if (pos_ < s_.size() && pos_ > afterName && isDescriptorChar(s_[pos_]))
            throw Fault{start, "an attribute name with blanks is written in double quotes, as in "
                               "(\"Login Disabled\"=TRUE)"};
    }

    // An item; `inParens` tells whether a ")" ends it (else the end of the text does).
    void item(FilterNode& out, bool inParens) {
        attribute(out.attribute);
        blanks();
        if (pos_ >= s_.size())
            throw Fault{pos_, "the filter ends too early: =, >=, <= or ~= expected"};
        const char c = s_[pos_];
        if (c == '=') {
            ++pos_;
            out.kind = FilterNode::Kind::Equal;
        } else if ((c == '>' || c == '<' || c == '~') && pos_ + 1 < s_.size() &&
                   s_[pos_ + 1] == '=') {
            pos_ += 2;
            out.kind = c == '>'   ? FilterNode::Kind::GreaterOrEqual
                       : c == '<' ? FilterNode::Kind::LessOrEqual
                                  : FilterNode::Kind::Approx;
        } else if (c == ':') {
            // A matching rule by its OID: attr:1.2.840.113556.1.4.803:=2
            std::size_t end = pos_ + 1;
            while (end < s_.size() && ((s_[end] >= '0' && s_[end] <= '9') || s_[end] == '.'))
                ++end;
            if (end == pos_ + 1 || end + 1 >= s_.size() || s_[end] != ':' || s_[end + 1] != '=')
                throw Fault{pos_, "extensible matching is written attribute:rule-OID:=value, as in "
                                  "(userAccountControl:1.2.840.113556.1.4.803:=2)"};
            out.rule.assign(s_.substr(pos_ + 1, end - pos_ - 1));
            pos_ = end + 2;
            out.kind = FilterNode::Kind::Equal;
        } else {
            throw Fault{pos_, "=, >=, <= or ~= expected after the attribute name"};
        }
        // The value, split at unescaped stars.
        std::vector<std::string> pieces(1);
        std::vector<std::size_t> starAt;
        while (pos_ < s_.size()) {
            const char v = s_[pos_];
            if (v == ')' && inParens)
                break;
            if (v == '(' || v == ')')
                throw Fault{pos_, "a parenthesis inside a value is written \\28 or \\29"};
            if (v == '\\') {
                const int hi = pos_ + 1 < s_.size() ? names::hexDigit(s_[pos_ + 1]) : -1;
                const int lo = pos_ + 2 < s_.size() ? names::hexDigit(s_[pos_ + 2]) : -1;
                if (hi < 0 || lo < 0)
                    throw Fault{pos_, "\"\\\" in a value starts two hexadecimal digits, such as "
                                      "\\2a for \"*\" or \\5c for \"\\\""};
                if (hi == 0 && lo == 0)
                    throw Fault{pos_, "a value cannot hold the character \\00"};
                pieces.back().push_back(static_cast<char>(hi * 16 + lo));
                pos_ += 3;
                continue;
            }
            if (v == '*') {
                if (out.kind != FilterNode::Kind::Equal || !out.rule.empty())
                    throw Fault{pos_, "\"*\" is allowed after \"=\" only; write \\2a for a star"};
                if (!starAt.empty() && starAt.back() + 1 == pos_)
                    throw Fault{pos_, "two \"*\" in a row"};
                starAt.push_back(pos_);
                pieces.emplace_back();
                ++pos_;
                continue;
            }
            pieces.back().push_back(v);
            ++pos_;
        }
        if (pieces.size() == 1) {
            out.value = std::move(pieces.front());
        } else if (pieces.size() == 2 && pieces[0].empty() && pieces[1].empty()) {
            out.kind = FilterNode::Kind::Present;
        } else {
            out.kind = FilterNode::Kind::Substrings;
            out.parts = std::move(pieces);
        }
    }

    std::string_view s_;
    std::size_t pos_ = 0;
    int depth_ = 0;
};

std::size_t characterPosition(std::string_view text, std::size_t byteOffset) {
    std::size_t chars = 1;
    for (std::size_t i = 0; i < byteOffset && i < text.size(); ++i)
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80)
            ++chars;
    return chars;
}

void appendEscapedValue(std::string& out, std::string_view value) {
    static const char* hex = "0123456789abcdef";
    for (char c : value) {
        if (c == '*' || c == '(' || c == ')' || c == '\\') {
            out.push_back('\\');
            out.push_back(hex[(static_cast<unsigned char>(c) >> 4) & 15]);
            out.push_back(hex[static_cast<unsigned char>(c) & 15]);
        } else {
            out.push_back(c);
        }
    }
}

void appendText(std::string& out, const FilterNode& f) {
    using K = FilterNode::Kind;
    out.push_back('(');
    switch (f.kind) {
    case K::And:
    case K::Or:
    case K::Not:
        out.push_back(f.kind == K::And ? '&' : f.kind == K::Or ? '|' : '!');
        for (const FilterNode& c : f.children)
            appendText(out, c);
        out.push_back(')');
        return;
    default:
        break;
    }
    bool plain = !f.attribute.empty();
    for (char c : f.attribute)
        plain = plain && isDescriptorChar(c);
    if (plain)
        out += f.attribute;
    else
        out += "\"" + f.attribute + "\"";
    switch (f.kind) {
    case K::GreaterOrEqual:
        out += ">=";
        break;
    case K::LessOrEqual:
        out += "<=";
        break;
    case K::Approx:
        out += "~=";
        break;
    default:
        out += f.rule.empty() ? "=" : ":" + f.rule + ":=";
        break;
    }
    if (f.kind == K::Present) {
        out.push_back('*');
    } else if (f.kind == K::Substrings) {
        for (std::size_t i = 0; i < f.parts.size(); ++i) {
            if (i)
                out.push_back('*');
            appendEscapedValue(out, f.parts[i]);
        }
    } else {
        appendEscapedValue(out, f.value);
    }
    out.push_back(')');
}

// Reads the infix token list: or := and (OR and)*; and := unary (AND unary)*;
// unary := NOT unary | LPAREN or RPAREN | item.
class TokenReader {
public:
    explicit TokenReader(const std::vector<FilterTokenView>& t) : t_(t) {}

    bool whole(FilterNode& out) { return orList(out, 0) && at(FTOK_END) && pos_ + 1 == t_.size(); }

private:
    bool at(nuint16 tok) const { return pos_ < t_.size() && t_[pos_].tok == tok; }

    bool list(FilterNode& out, int depth, nuint16 op, FilterNode::Kind kind) {
        FilterNode first;
        if (!(op == FTOK_OR ? list(first, depth, FTOK_AND, FilterNode::Kind::And)
                            : unary(first, depth)))
            return false;
        if (!at(op)) {
            out = std::move(first);
            return true;
        }
        out = FilterNode{};
        out.kind = kind;
        out.children.push_back(std::move(first));
        while (at(op)) {
            ++pos_;
            out.children.emplace_back();
            if (!(op == FTOK_OR ? list(out.children.back(), depth, FTOK_AND, FilterNode::Kind::And)
                                : unary(out.children.back(), depth)))
                return false;
        }
        return true;
    }
    bool orList(FilterNode& out, int depth) {
        return list(out, depth, FTOK_OR, FilterNode::Kind::Or);
    }

    bool unary(FilterNode& out, int depth) {
        if (depth > 200) // deeper than any filter a person writes; keeps the stack bounded
            return false;
        if (at(FTOK_NOT)) {
            ++pos_;
            out = FilterNode{};
            out.kind = FilterNode::Kind::Not;
            out.children.emplace_back();
            return unary(out.children.back(), depth + 1);
        }
        if (at(FTOK_LPAREN)) {
            ++pos_;
            if (!orList(out, depth + 1) || !at(FTOK_RPAREN))
                return false;
            ++pos_;
            return true;
        }
        out = FilterNode{};
        if (at(FTOK_PRESENT)) {
            ++pos_;
            if (!at(FTOK_ANAME))
                return false;
            out.kind = FilterNode::Kind::Present;
            out.attribute.assign(t_[pos_++].text);
            return true;
        }
        if (!at(FTOK_ANAME))
            return false;
        out.attribute.assign(t_[pos_++].text);
        // A matching rule travels in the name token: "attr:rule".
        if (const auto colon = out.attribute.rfind(':');
            colon != std::string::npos && colon + 1 < out.attribute.size() &&
            out.attribute.find_first_not_of("0123456789.", colon + 1) == std::string::npos) {
            out.rule = out.attribute.substr(colon + 1);
            out.attribute.resize(colon);
        }
        if (pos_ >= t_.size())
            return false;
        switch (t_[pos_].tok) {
        case FTOK_EQ:
            out.kind = FilterNode::Kind::Equal;
            break;
        case FTOK_GE:
            out.kind = FilterNode::Kind::GreaterOrEqual;
            break;
        case FTOK_LE:
            out.kind = FilterNode::Kind::LessOrEqual;
            break;
        case FTOK_APPROX:
            out.kind = FilterNode::Kind::Approx;
            break;
        case FTOK_SUBSTRINGS:
            out.kind = FilterNode::Kind::Substrings;
            ++pos_;
            while (at(FTOK_AVAL))
                out.parts.emplace_back(t_[pos_++].text);
            return out.parts.size() >= 2;
        default:
            return false;
        }
        ++pos_;
        if (!at(FTOK_AVAL))
            return false;
        out.value.assign(t_[pos_++].text);
        return true;
    }

    const std::vector<FilterTokenView>& t_;
    std::size_t pos_ = 0;
};

NWDSCCODE addTokens(pFilter_Cursor_T cur, const FilterNode& f) {
    using K = FilterNode::Kind;
    auto add = [&](nuint16 tok, const std::string* text) {
        return NWDSAddFilterToken(cur, tok, text ? text->c_str() : nullptr, 0);
    };
    NWDSCCODE rc = 0;
    switch (f.kind) {
    case K::And:
    case K::Or:
        if ((rc = add(FTOK_LPAREN, nullptr)))
            return rc;
        for (std::size_t i = 0; i < f.children.size(); ++i) {
            if (i && (rc = add(f.kind == K::And ? FTOK_AND : FTOK_OR, nullptr)))
                return rc;
            if ((rc = addTokens(cur, f.children[i])))
                return rc;
        }
        return add(FTOK_RPAREN, nullptr);
    case K::Not:
        if ((rc = add(FTOK_NOT, nullptr)) || (rc = add(FTOK_LPAREN, nullptr)))
            return rc;
        if (f.children.size() != 1)
            return ERR_BAD_SYNTAX;
        if ((rc = addTokens(cur, f.children.front())))
            return rc;
        return add(FTOK_RPAREN, nullptr);
    case K::Present:
        if ((rc = add(FTOK_PRESENT, nullptr)))
            return rc;
        return add(FTOK_ANAME, &f.attribute);
    case K::Substrings:
        if ((rc = add(FTOK_ANAME, &f.attribute)) || (rc = add(FTOK_SUBSTRINGS, nullptr)))
            return rc;
        for (const std::string& p : f.parts)
            if ((rc = add(FTOK_AVAL, &p)))
                return rc;
        return 0;
    default:
        break;
    }
    const nuint16 op = f.kind == K::GreaterOrEqual ? FTOK_GE
                       : f.kind == K::LessOrEqual  ? FTOK_LE
                       : f.kind == K::Approx       ? FTOK_APPROX
                                                   : FTOK_EQ;
    const std::string name = f.rule.empty() ? f.attribute : f.attribute + ":" + f.rule;
    if ((rc = add(FTOK_ANAME, &name)) || (rc = add(op, nullptr)))
        return rc;
    return add(FTOK_AVAL, &f.value);
}

} // namespace

bool parseSearchFilter(std::string_view text, FilterNode& out, FilterParseError& error) {
    out = FilterNode{};
    Parser p(text);
    try {
        p.whole(out);
    } catch (const Fault& f) {
        error.position = characterPosition(text, f.at);
        error.message = f.message;
        out = FilterNode{};
        return false;
    }
    return true;
}

std::string searchFilterText(const FilterNode& filter) {
    std::string out;
    appendText(out, filter);
    return out;
}

NWDSCCODE AddSearchFilterTokens(pFilter_Cursor_T cursor, const FilterNode& filter) {
    return addTokens(cursor, filter);
}

bool filterFromTokens(const std::vector<FilterTokenView>& tokens, FilterNode& out) {
    TokenReader r(tokens);
    return r.whole(out);
}

} // namespace kvx::client
