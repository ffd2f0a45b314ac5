#include "schema_text.h"

#include "names.h"

#include <algorithm>
#include <functional>

namespace kvx::client::schema {

namespace {

using names::equalNoCase;
using names::lowerAscii;

struct Token {
    enum Kind { Open, Close, Dollar, Word, Quoted } kind;
    std::string text;
};

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool tokenize(std::string_view s, std::vector<Token>& out, std::string& why) {
    out.clear();
    std::size_t i = 0;
    while (i < s.size()) {
        char c = s[i];
        if (isBlank(c)) {
            ++i;
        } else if (c == '(') {
            out.push_back({Token::Open, "("});
            ++i;
        } else if (c == ')') {
            out.push_back({Token::Close, ")"});
            ++i;
        } else if (c == '$') {
            out.push_back({Token::Dollar, "$"});
            ++i;
        } else if (c == '\'') {
            ++i;
            std::string text;
            bool closed = false;
            while (i < s.size()) {
                char d = s[i++];
                if (d == '\'') {
                    closed = true;
                    break;
                }
                // RFC 4512 escapes inside a qdstring: \27 for a quote, \5C for a backslash.
                if (d == '\\' && i + 1 < s.size()) {
                    std::string_view esc = s.substr(i, 2);
                    if (esc == "27") {
                        text.push_back('\'');
                        i += 2;
                        continue;
                    }
                    if (equalNoCase(esc, "5c")) {
                        text.push_back('\\');
                        i += 2;
                        continue;
                    }
                }
                text.push_back(d);
            }
            if (!closed) {
                why = "unterminated quoted string";
                return false;
            }
            out.push_back({Token::Quoted, std::move(text)});
        } else {
            std::size_t start = i;
            while (i < s.size() && !isBlank(s[i]) && s[i] != '(' && s[i] != ')' && s[i] != '$' &&
                   s[i] != '\'')
                ++i;
            out.push_back({Token::Word, std::string(s.substr(start, i - start))});
        }
    }
    return true;
}

// A cursor over the tokens of one definition.
class Reader {
public:
    explicit Reader(std::vector<Token> t) : t_(std::move(t)) {}
    bool atEnd() const { return pos_ >= t_.size(); }
    const Token* peek() const { return atEnd() ? nullptr : &t_[pos_]; }
    const Token* take() { return atEnd() ? nullptr : &t_[pos_++]; }

    // `quotedToo`: a quoted word is taken as well (Active Directory quotes its SYNTAX OIDs).
    bool word(std::string& out, std::string& why, const char* what, bool quotedToo = false) {
        const Token* t = take();
        if (!t || (t->kind != Token::Word && !(quotedToo && t->kind == Token::Quoted))) {
            why = std::string("expected ") + what;
            return false;
        }
        out = t->text;
        return true;
    }
    // qdescrs / qdstrings: 'a' or ( 'a' 'b' )
    bool quotedList(std::vector<std::string>& out, std::string& why, const char* keyword) {
        out.clear();
        const Token* t = take();
        if (t && t->kind == Token::Quoted) {
            out.push_back(t->text);
            return true;
        }
        if (!t || t->kind != Token::Open) {
            why = std::string("expected a quoted name after ") + keyword;
            return false;
        }
        while (true) {
            t = take();
            if (!t) {
                why = std::string("unterminated list after ") + keyword;
                return false;
            }
            if (t->kind == Token::Close)
                return true;
            if (t->kind != Token::Quoted) {
                why = std::string("expected quoted names in the list after ") + keyword;
                return false;
            }
            out.push_back(t->text);
        }
    }
    // oids: a or ( a $ b )
    bool oidList(std::vector<std::string>& out, std::string& why, const char* keyword) {
        out.clear();
        const Token* t = take();
        if (t && t->kind == Token::Word) {
            out.push_back(t->text);
            return true;
        }
        if (!t || t->kind != Token::Open) {
            why = std::string("expected a name after ") + keyword;
            return false;
        }
        bool wantName = true;
        while (true) {
            t = take();
            if (!t) {
                why = std::string("unterminated list after ") + keyword;
                return false;
            }
            if (t->kind == Token::Close && !wantName && !out.empty())
                return true;
            if (wantName && t->kind == Token::Word) {
                out.push_back(t->text);
                wantName = false;
            } else if (!wantName && t->kind == Token::Dollar) {
                wantName = true;
            } else {
                why = std::string("malformed list after ") + keyword;
                return false;
            }
        }
    }
    // Skips an unknown extension's value (qdstring or list of them).
    bool skipExtension(std::string& why, const std::string& keyword) {
        std::vector<std::string> ignored;
        return quotedList(ignored, why, keyword.c_str());
    }

private:
    std::vector<Token> t_;
    std::size_t pos_ = 0;
};

bool openDefinition(std::string_view text, Reader*& reader, std::vector<Token>& tokens,
                    std::string& oid, std::string& why) {
    (void)reader;
    if (!tokenize(text, tokens, why))
        return false;
    if (tokens.size() < 2 || tokens.front().kind != Token::Open ||
        tokens.back().kind != Token::Close) {
        why = "a definition must be enclosed in parentheses";
        return false;
    }
    if (tokens[1].kind != Token::Word) {
        why = "a definition must begin with its OID";
        return false;
    }
    oid = tokens[1].text;
    tokens.erase(tokens.begin(), tokens.begin() + 2);
    tokens.pop_back();
    return true;
}

bool parseNdsSyntax(const std::string& text, int& out) {
    if (text.empty() || text.size() > 3)
        return false;
    int v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (c - '0');
    }
    if (v > static_cast<int>(SYNTAX_COUNT))
        return false;
    out = v;
    return true;
}

bool isTrue(const std::string& s) {
    return equalNoCase(s, "TRUE");
}

} // namespace

bool parseAttributeType(std::string_view text, AttributeTypeDef& out, std::string& why) {
    out = AttributeTypeDef{};
    std::vector<Token> tokens;
    Reader* unused = nullptr;
    if (!openDefinition(text, unused, tokens, out.oid, why))
        return false;
    Reader r(std::move(tokens));
    while (!r.atEnd()) {
        const Token* t = r.take();
        if (t->kind != Token::Word) {
            why = "expected a keyword, found \"" + t->text + "\"";
            return false;
        }
        std::string kw = t->text;
        std::string value;
        std::vector<std::string> list;
        if (equalNoCase(kw, "NAME")) {
            if (!r.quotedList(out.names, why, "NAME"))
                return false;
        } else if (equalNoCase(kw, "DESC")) {
            if (!r.quotedList(list, why, "DESC") || list.size() != 1) {
                why = "DESC takes one quoted string";
                return false;
            }
        } else if (equalNoCase(kw, "SUP")) {
            if (!r.word(out.sup, why, "a name after SUP"))
                return false;
        } else if (equalNoCase(kw, "EQUALITY") || equalNoCase(kw, "ORDERING") ||
                   equalNoCase(kw, "SUBSTR") || equalNoCase(kw, "USAGE")) {
            if (!r.word(value, why, ("a value after " + kw).c_str()))
                return false;
            if (equalNoCase(kw, "EQUALITY"))
                out.equality = value;
            else if (equalNoCase(kw, "ORDERING"))
                out.ordering = value;
            else if (equalNoCase(kw, "SUBSTR"))
                out.substr = value;
        } else if (equalNoCase(kw, "SYNTAX")) {
            if (!r.word(value, why, "an OID after SYNTAX", true))
                return false;
            std::size_t brace = value.find('{');
            if (brace != std::string::npos) {
                if (value.back() != '}') {
                    why = "malformed length after the SYNTAX OID";
                    return false;
                }
                value.resize(brace);
            }
            out.syntaxOid = value;
        } else if (equalNoCase(kw, "SINGLE-VALUE")) {
            out.singleValue = true;
        } else if (equalNoCase(kw, "OBSOLETE") || equalNoCase(kw, "COLLECTIVE") ||
                   equalNoCase(kw, "NO-USER-MODIFICATION")) {
        } else if (equalNoCase(kw, "X-NDS_NAME")) {
            if (!r.quotedList(list, why, "X-NDS_NAME"))
                return false;
            if (list.size() != 1 || list[0].empty()) {
                why = "X-NDS_NAME takes one non-empty name";
                return false;
            }
            out.ndsName = list[0];
        } else if (equalNoCase(kw, "X-NDS_SYNTAX")) {
            if (!r.quotedList(list, why, "X-NDS_SYNTAX"))
                return false;
            if (list.size() != 1 || !parseNdsSyntax(list[0], out.ndsSyntaxExt)) {
                why = "X-NDS_SYNTAX takes one syntax number from 0 to 28";
                return false;
            }
        } else if (kw.size() > 2 && (kw[0] == 'X' || kw[0] == 'x') && kw[1] == '-') {
            if (!r.skipExtension(why, kw))
                return false;
        } else {
            why = "unknown keyword \"" + kw + "\" in an attribute type";
            return false;
        }
    }
    if (out.syntaxOid.empty() && out.sup.empty()) {
        why = "an attribute type needs SYNTAX or SUP";
        return false;
    }
    return true;
}

bool parseObjectClass(std::string_view text, ObjectClassDef& out, std::string& why) {
    out = ObjectClassDef{};
    std::vector<Token> tokens;
    Reader* unused = nullptr;
    if (!openDefinition(text, unused, tokens, out.oid, why))
        return false;
    Reader r(std::move(tokens));
    bool kindSeen = false;
    while (!r.atEnd()) {
        const Token* t = r.take();
        if (t->kind != Token::Word) {
            why = "expected a keyword, found \"" + t->text + "\"";
            return false;
        }
        std::string kw = t->text;
        std::vector<std::string> list;
        auto setKind = [&](ObjectClassDef::Kind k) {
            if (kindSeen) {
                why = "more than one of ABSTRACT, STRUCTURAL, AUXILIARY";
                return false;
            }
            kindSeen = true;
            out.kind = k;
            return true;
        };
        if (equalNoCase(kw, "NAME")) {
            if (!r.quotedList(out.names, why, "NAME"))
                return false;
        } else if (equalNoCase(kw, "DESC")) {
            if (!r.quotedList(list, why, "DESC") || list.size() != 1) {
                why = "DESC takes one quoted string";
                return false;
            }
        } else if (equalNoCase(kw, "OBSOLETE")) {
        } else if (equalNoCase(kw, "SUP")) {
            if (!r.oidList(out.sups, why, "SUP"))
                return false;
        } else if (equalNoCase(kw, "ABSTRACT")) {
            if (!setKind(ObjectClassDef::Abstract))
                return false;
        } else if (equalNoCase(kw, "STRUCTURAL")) {
            if (!setKind(ObjectClassDef::Structural))
                return false;
        } else if (equalNoCase(kw, "AUXILIARY")) {
            if (!setKind(ObjectClassDef::Auxiliary))
                return false;
        } else if (equalNoCase(kw, "MUST")) {
            if (!r.oidList(out.must, why, "MUST"))
                return false;
        } else if (equalNoCase(kw, "MAY")) {
            if (!r.oidList(out.may, why, "MAY"))
                return false;
        } else if (equalNoCase(kw, "X-NDS_NAME")) {
            if (!r.quotedList(list, why, "X-NDS_NAME"))
                return false;
            if (list.size() != 1 || list[0].empty()) {
                why = "X-NDS_NAME takes one non-empty name";
                return false;
            }
            out.ndsName = list[0];
        } else if (equalNoCase(kw, "X-NDS_CONTAINER")) {
            if (!r.quotedList(list, why, "X-NDS_CONTAINER"))
                return false;
            if (list.size() != 1 || (!isTrue(list[0]) && !equalNoCase(list[0], "FALSE"))) {
                why = "X-NDS_CONTAINER takes 'TRUE' or 'FALSE'";
                return false;
            }
            out.containerExt = isTrue(list[0]);
        } else if (equalNoCase(kw, "X-NDS_NAMING")) {
            if (!r.quotedList(out.naming, why, "X-NDS_NAMING"))
                return false;
        } else if (equalNoCase(kw, "X-NDS_CONTAINMENT")) {
            if (!r.quotedList(out.containment, why, "X-NDS_CONTAINMENT"))
                return false;
        } else if (kw.size() > 2 && (kw[0] == 'X' || kw[0] == 'x') && kw[1] == '-') {
            if (!r.skipExtension(why, kw))
                return false;
        } else {
            why = "unknown keyword \"" + kw + "\" in an object class";
            return false;
        }
    }
    return true;
}

nuint32 syntaxFromOid(std::string_view oid) {
    constexpr std::string_view nds = "2.16.840.1.113719.1.1.5.1.";
    constexpr std::string_view std = "1.3.6.1.4.1.1466.115.121.1.";
    auto number = [](std::string_view s, unsigned& v) {
        if (s.empty() || s.size() > 4)
            return false;
        v = 0;
        for (char c : s) {
            if (c < '0' || c > '9')
                return false;
            v = v * 10 + static_cast<unsigned>(c - '0');
        }
        return true;
    };
    unsigned n = 0;
    if (oid.substr(0, nds.size()) == nds) {
        if (number(oid.substr(nds.size()), n) && n <= SYNTAX_COUNT)
            return n;
        return SYN_UNKNOWN;
    }
    // Active Directory's own syntaxes: DN-Binary, DN-String, Teletex string, Large Integer
    // (64-bit), security descriptor, Access-Point, case-sensitive string.
    constexpr std::string_view ad = "1.2.840.113556.1.4.";
    if (oid.substr(0, ad.size()) == ad && number(oid.substr(ad.size()), n)) {
        switch (n) {
        case 903:
        case 904:
        case 1221:
            return SYN_CE_STRING;
        case 905:
            return SYN_CI_STRING;
        case 906:
            return SYN_INTEGER;
        case 907:
            return SYN_OCTET_STRING;
        case 1362:
            return SYN_CE_STRING;
        default:
            return SYN_UNKNOWN;
        }
    }
    if (oid == "1.3.6.1.1.16.1") // UUID, in its text form
        return SYN_CI_STRING;
    if (oid.substr(0, std.size()) != std || !number(oid.substr(std.size()), n))
        return SYN_UNKNOWN;
    switch (n) {
    case 53: // UTC Time: the LDAP backend rewrites it as a Generalized Time
        return SYN_TIME;
    case 14: // Delivery Method
    case 21: // Enhanced Guide
    case 25: // Guide
    case 39: // Other Mailbox
    case 43: // Presentation Address
    case 51: // Teletex Terminal Identifier
    case 52: // Telex Number
        return SYN_CI_STRING;
    case 12:
    case 34:
        return SYN_DIST_NAME;
    case 15:
        return SYN_CI_STRING;
    case 26:
        return SYN_CE_STRING;
    case 44:
    case 11:
        return SYN_PR_STRING;
    case 36:
        return SYN_NU_STRING;
    case 50:
        return SYN_TEL_NUMBER;
    case 22:
        return SYN_FAX_NUMBER;
    case 7:
        return SYN_BOOLEAN;
    case 27:
        return SYN_INTEGER;
    case 40:
    case 5:
    case 28:
    case 6:
        return SYN_OCTET_STRING;
    case 24:
        return SYN_TIME;
    case 41:
        return SYN_PO_ADDRESS;
    case 38:
        return SYN_CLASS_NAME;
    default:
        return SYN_UNKNOWN;
    }
}

std::string_view wellKnownAttributeName(std::string_view n) {
    static const std::pair<std::string_view, std::string_view> table[] = {
        {"objectClass", "Object Class"},
        {"cn", "CN"},
        {"sn", "Surname"},
        {"givenName", "Given Name"},
        {"initials", "Initials"},
        {"title", "Title"},
        {"description", "Description"},
        {"o", "O"},
        {"ou", "OU"},
        {"c", "C"},
        {"l", "L"},
        {"st", "S"},
        {"street", "SA"},
        {"postalAddress", "Postal Address"},
        {"postalCode", "Postal Code"},
        {"postOfficeBox", "Postal Office Box"},
        {"physicalDeliveryOfficeName", "Physical Delivery Office Name"},
        {"telephoneNumber", "Telephone Number"},
        {"facsimileTelephoneNumber", "Facsimile Telephone Number"},
        {"mail", "Internet EMail Address"},
        {"member", "Member"},
        {"seeAlso", "See Also"},
        {"aliasedObjectName", "Aliased Object Name"},
        {"roleOccupant", "Role Occupant"},
        {"uid", "uniqueID"},
        {"businessCategory", "Business Category"},
        {"owner", "Owner"},
    };
    for (const auto& [ldap, nds] : table)
        if (equalNoCase(ldap, n))
            return nds;
    return {};
}

std::string_view wellKnownClassName(std::string_view n) {
    static const std::pair<std::string_view, std::string_view> table[] = {
        {"top", "Top"},
        {"country", "Country"},
        {"locality", "Locality"},
        {"organization", "Organization"},
        {"organizationalUnit", "Organizational Unit"},
        {"organizationalRole", "Organizational Role"},
        {"person", "Person"},
        {"organizationalPerson", "Organizational Person"},
        {"alias", "Alias"},
    };
    for (const auto& [ldap, nds] : table)
        if (equalNoCase(ldap, n))
            return nds;
    return {};
}

bool Schema::loadText(std::string_view text, const std::string& fileName, std::string& error) {
    std::size_t lineNo = 0;
    std::size_t pos = 0;
    std::string keyword;
    std::string body;
    std::size_t defLine = 0;

    auto fail = [&](std::size_t line, const std::string& why) {
        error = fileName + ":" + std::to_string(line) + ": " + why;
        return false;
    };
    auto expandOid = [&](std::string& oid) {
        std::size_t colon = oid.find(':');
        std::string head = lowerAscii(oid.substr(0, colon));
        auto it = oidMacros_.find(head);
        if (it != oidMacros_.end())
            oid = it->second + (colon == std::string::npos ? "" : "." + oid.substr(colon + 1));
    };
    auto finish = [&]() {
        if (keyword.empty())
            return true;
        std::string kw = lowerAscii(keyword);
        std::string why;
        if (kw == "attributetype" || kw == "attributetypes" || kw == "attributetypes:") {
            AttributeTypeDef def;
            if (!parseAttributeType(body, def, why))
                return fail(defLine, why);
            expandOid(def.oid);
            expandOid(def.syntaxOid);
            def.file = fileName;
            def.line = defLine;
            attrs_.push_back(std::move(def));
        } else if (kw == "objectclass" || kw == "objectclasses" || kw == "objectclasses:") {
            ObjectClassDef def;
            if (!parseObjectClass(body, def, why))
                return fail(defLine, why);
            expandOid(def.oid);
            def.file = fileName;
            def.line = defLine;
            classes_.push_back(std::move(def));
        } else if (kw == "ldapsyntax" || kw == "ldapsyntaxes") {
            std::vector<Token> tokens;
            if (!tokenize(body, tokens, why))
                return fail(defLine, why);
            if (tokens.size() < 3 || tokens.front().kind != Token::Open ||
                tokens.back().kind != Token::Close || tokens[1].kind != Token::Word)
                return fail(defLine, "malformed ldapsyntax definition");
        } else if (kw == "objectidentifier") {
            std::vector<Token> tokens;
            if (!tokenize(body, tokens, why))
                return fail(defLine, why);
            if (tokens.size() != 2 || tokens[0].kind != Token::Word ||
                tokens[1].kind != Token::Word)
                return fail(defLine, "objectidentifier takes a name and an OID");
            std::string oid = tokens[1].text;
            expandOid(oid);
            oidMacros_[lowerAscii(tokens[0].text)] = oid;
        } else {
            return fail(defLine, "unknown schema keyword \"" + keyword + "\"");
        }
        keyword.clear();
        body.clear();
        return true;
    };

    while (pos <= text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        ++lineNo;
        pos = end + 1;
        std::size_t firstNonBlank = line.find_first_not_of(" \t");
        if (firstNonBlank == std::string_view::npos)
            continue;
        if (line[0] == '#')
            continue;
        if (line[0] == ' ' || line[0] == '\t') {
            if (keyword.empty())
                return fail(lineNo, "continuation line without a definition before it");
            body.push_back(' ');
            body.append(line.substr(firstNonBlank));
            continue;
        }
        if (!finish())
            return false;
        std::size_t kwEnd = line.find_first_of(" \t");
        keyword = std::string(line.substr(0, kwEnd));
        body = kwEnd == std::string_view::npos ? std::string() : std::string(line.substr(kwEnd));
        defLine = lineNo;
    }
    return finish();
}

bool Schema::resolve(std::string& error) {
    attrIndex_.clear();
    classIndex_.clear();
    auto where = [](const std::string& file, std::size_t line) {
        return file + ":" + std::to_string(line) + ": ";
    };

    // Names and OIDs: each may name one definition only.
    auto index = [&](std::unordered_map<std::string, int>& map, const std::string& key, int i,
                     const std::string& file, std::size_t line, const char* what) {
        std::string k = lowerAscii(key);
        auto [it, inserted] = map.emplace(k, i);
        if (!inserted && it->second != i) {
            error = where(file, line) + "duplicate " + what + " \"" + key + "\"";
            return false;
        }
        return true;
    };
    // A name given with X-NDS_NAME is kept by its definition: a standard definition whose
    // directory-style name would only be derived (sn -> "Surname") keeps its LDAP name instead.
    std::unordered_map<std::string, int> explicitAttr, explicitClass;
    for (const AttributeTypeDef& a : attrs_)
        if (!a.ndsName.empty())
            explicitAttr.emplace(lowerAscii(a.ndsName), 0);
    for (const ObjectClassDef& c : classes_)
        if (!c.ndsName.empty())
            explicitClass.emplace(lowerAscii(c.ndsName), 0);
    auto derived = [](std::string_view known, const auto& def, const auto& taken) {
        if (!known.empty() && !taken.count(lowerAscii(known)))
            return std::string(known);
        return def.names.empty() ? def.oid : def.names[0];
    };
    // An LDAP name (an alias such as 'surname') that another definition's X-NDS_NAME gives to
    // that definition names that one.
    auto givenToAnother = [](const std::string& name, const std::string& own, const auto& taken) {
        return taken.count(lowerAscii(name)) && !equalNoCase(name, own);
    };
    for (int i = 0; i < static_cast<int>(attrs_.size()); ++i) {
        AttributeTypeDef& a = attrs_[i];
        if (a.ndsName.empty())
            a.ndsName =
                derived(a.names.empty() ? std::string_view{} : wellKnownAttributeName(a.names[0]),
                        a, explicitAttr);
        if (!index(attrIndex_, a.oid, i, a.file, a.line, "attribute type OID"))
            return false;
        for (const std::string& n : a.names)
            if (!givenToAnother(n, a.ndsName, explicitAttr) &&
                !index(attrIndex_, n, i, a.file, a.line, "attribute type name"))
                return false;
        if (!index(attrIndex_, a.ndsName, i, a.file, a.line, "attribute type name"))
            return false;
    }
    for (int i = 0; i < static_cast<int>(classes_.size()); ++i) {
        ObjectClassDef& c = classes_[i];
        if (c.ndsName.empty())
            c.ndsName =
                derived(c.names.empty() ? std::string_view{} : wellKnownClassName(c.names[0]), c,
                        explicitClass);
        if (attrIndex_.count(lowerAscii(c.oid)) &&
            attrs_[attrIndex_[lowerAscii(c.oid)]].oid == c.oid) {
            error = where(c.file, c.line) + "duplicate OID \"" + c.oid + "\"";
            return false;
        }
        if (!index(classIndex_, c.oid, i, c.file, c.line, "object class OID"))
            return false;
        for (const std::string& n : c.names)
            if (!givenToAnother(n, c.ndsName, explicitClass) &&
                !index(classIndex_, n, i, c.file, c.line, "object class name"))
                return false;
        if (!index(classIndex_, c.ndsName, i, c.file, c.line, "object class name"))
            return false;
    }

    // Attribute syntaxes, following SUP chains.
    std::vector<int> state(attrs_.size(), 0); // 0 new, 1 in progress, 2 done
    // SUP chains are followed recursively; a chain longer than any real schema has is refused
    // rather than allowed to exhaust the stack.
    constexpr int kMaxChain = 256;
    int chain = 0;
    std::function<bool(int)> resolveAttr = [&](int i) {
        AttributeTypeDef& a = attrs_[i];
        if (state[i] == 2)
            return true;
        if (state[i] == 1) {
            error = where(a.file, a.line) + "SUP chain of \"" + a.ndsName + "\" loops";
            return false;
        }
        if (++chain > kMaxChain) {
            error = where(a.file, a.line) + "SUP chain of \"" + a.ndsName + "\" is too long";
            return false;
        }
        state[i] = 1;
        int sup = -1;
        if (!a.sup.empty()) {
            sup = findAttribute(a.sup);
            if (sup < 0) {
                error = where(a.file, a.line) + "unknown SUP attribute type \"" + a.sup + "\"";
                return false;
            }
            if (!resolveAttr(sup))
                return false;
        }
        if (a.ndsSyntaxExt >= 0)
            a.syntax = static_cast<nuint32>(a.ndsSyntaxExt);
        else if (!a.syntaxOid.empty())
            a.syntax = syntaxFromOid(a.syntaxOid);
        else
            a.syntax = attrs_[sup].syntax;
        if (sup >= 0) { // matching rules are inherited where not given
            for (auto rule : {&AttributeTypeDef::equality, &AttributeTypeDef::ordering,
                              &AttributeTypeDef::substr})
                if ((a.*rule).empty())
                    a.*rule = attrs_[sup].*rule;
        }
        state[i] = 2;
        --chain;
        return true;
    };
    for (int i = 0; i < static_cast<int>(attrs_.size()); ++i)
        if (!resolveAttr(i))
            return false;

    // Classes: references, depth, inheritance.
    const std::size_t n = classes_.size();
    std::vector<std::vector<int>> supIdx(n);
    for (std::size_t i = 0; i < n; ++i) {
        ObjectClassDef& c = classes_[i];
        for (const std::string& s : c.sups) {
            int k = findClass(s);
            if (k < 0) {
                error = where(c.file, c.line) + "unknown SUP object class \"" + s + "\"";
                return false;
            }
            supIdx[i].push_back(k);
        }
        for (const auto* list : {&c.must, &c.may, &c.naming})
            for (const std::string& a : *list)
                if (findAttribute(a) < 0) {
                    error = where(c.file, c.line) + "unknown attribute type \"" + a +
                            "\" in object class \"" + c.ndsName + "\"";
                    return false;
                }
        for (const std::string& k : c.containment)
            if (findClass(k) < 0) {
                error = where(c.file, c.line) + "unknown containment class \"" + k +
                        "\" in object class \"" + c.ndsName + "\"";
                return false;
            }
    }
    derives_.assign(n, std::vector<bool>(n, false));
    std::vector<int> cstate(n, 0);
    std::function<bool(int)> resolveClass = [&](int i) {
        ObjectClassDef& c = classes_[i];
        if (cstate[i] == 2)
            return true;
        if (cstate[i] == 1) {
            error = where(c.file, c.line) + "SUP chain of \"" + c.ndsName + "\" loops";
            return false;
        }
        if (++chain > kMaxChain) {
            error = where(c.file, c.line) + "SUP chain of \"" + c.ndsName + "\" is too long";
            return false;
        }
        cstate[i] = 1;
        derives_[i][i] = true;
        std::string lower = c.names.empty() ? std::string() : lowerAscii(c.names[0]);
        c.container = c.containerExt || lower == "country" || lower == "locality" ||
                      lower == "organization" || lower == "organizationalunit" || lower == "domain";
        c.alias = lower == "alias";
        c.depth = 0;
        for (int s : supIdx[i]) {
            if (!resolveClass(s))
                return false;
            const ObjectClassDef& sc = classes_[s];
            c.container = c.container || sc.container;
            c.alias = c.alias || sc.alias;
            c.depth = std::max(c.depth, sc.depth + 1);
            for (std::size_t k = 0; k < n; ++k)
                if (derives_[s][k])
                    derives_[i][k] = true;
        }
        cstate[i] = 2;
        --chain;
        return true;
    };
    for (std::size_t i = 0; i < n; ++i)
        if (!resolveClass(static_cast<int>(i)))
            return false;
    return true;
}

int Schema::findAttribute(std::string_view name) const {
    auto it = attrIndex_.find(lowerAscii(name));
    return it == attrIndex_.end() ? -1 : it->second;
}

int Schema::findClass(std::string_view name) const {
    auto it = classIndex_.find(lowerAscii(name));
    return it == classIndex_.end() ? -1 : it->second;
}

bool Schema::derivesFrom(int cls, int ancestor) const {
    if (cls < 0 || ancestor < 0 || static_cast<std::size_t>(cls) >= derives_.size() ||
        static_cast<std::size_t>(ancestor) >= derives_.size())
        return false;
    return derives_[cls][ancestor];
}

ClassDef Schema::classDef(int index) const {
    const ObjectClassDef& c = classes_.at(index);
    ClassDef out;
    out.name = c.ndsName;
    out.oid = c.oid;
    if (c.container)
        out.flags |= DS_CONTAINER_CLASS;
    if (c.kind == ObjectClassDef::Structural)
        out.flags |= DS_EFFECTIVE_CLASS;
    auto className = [&](const std::string& n) {
        int k = findClass(n);
        return k < 0 ? n : classes_[k].ndsName;
    };
    auto attrName = [&](const std::string& n) {
        int k = findAttribute(n);
        return k < 0 ? n : attrs_[k].ndsName;
    };
    for (const std::string& s : c.sups)
        out.superClasses.push_back(className(s));
    for (const std::string& s : c.containment)
        out.containmentClasses.push_back(className(s));
    for (const std::string& s : c.naming)
        out.namingAttributes.push_back(attrName(s));
    for (const std::string& s : c.must)
        out.mandatoryAttributes.push_back(attrName(s));
    for (const std::string& s : c.may)
        out.optionalAttributes.push_back(attrName(s));
    return out;
}

AttrDef Schema::attrDef(int index) const {
    const AttributeTypeDef& a = attrs_.at(index);
    AttrDef out;
    out.name = a.ndsName;
    out.oid = a.oid;
    if (!a.names.empty())
        out.ldapName = a.names.front();
    out.syntax = a.syntax;
    if (a.singleValue)
        out.flags |= DS_SINGLE_VALUED_ATTR;
    return out;
}

} // namespace kvx::client::schema
