// What an LDAP server hands over before any entry: the attributeTypes and objectClasses values
// of its subschema entry, built into the schema model the LDAP backend works with, and the
// escaping of assertion values in the search filters it sends back.
//
// Input: NUL-separated values; a value starting with "a" is an attributeTypes value (the rest of
// it), any other an objectClasses value (the rest of it). The whole input also goes through the
// filter escaping as one assertion value.
#include "directory/client/ldap/ldap_support.h"
#include "directory/client/names.h"
#include "fuzz_support.h"

#include <string>
#include <vector>

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// The escaped value holds no "*", "(", ")" or NUL, every "\" starts a two-digit escape, and
// undoing the escapes gives the value back.
void checkEscaping(std::string_view value) {
    const std::string escaped = kvx::client::ldapbk::escapeFilterValue(value);
    std::string undone;
    for (std::size_t i = 0; i < escaped.size(); ++i) {
        const char c = escaped[i];
        KVX_FUZZ_CHECK(c != '*' && c != '(' && c != ')' && c != '\0');
        if (c == '\\') {
            KVX_FUZZ_CHECK(i + 2 < escaped.size());
            const int hi = hexValue(escaped[i + 1]);
            const int lo = hexValue(escaped[i + 2]);
            KVX_FUZZ_CHECK(hi >= 0 && lo >= 0);
            undone.push_back(static_cast<char>(hi * 16 + lo));
            i += 2;
        } else {
            undone.push_back(c);
        }
    }
    KVX_FUZZ_CHECK(undone == value);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input = kvx::fuzz::asText(data, size);
    checkEscaping(input);

    std::string_view rest = input;
    std::vector<std::string> attributeTypes;
    std::vector<std::string> objectClasses;
    while (!rest.empty()) {
        std::string_view v = kvx::fuzz::takeField(rest);
        if (!v.empty() && v.front() == 'a')
            attributeTypes.emplace_back(v.substr(1));
        else if (!v.empty())
            objectClasses.emplace_back(v.substr(1));
    }
    kvx::client::schema::Schema schema;
    std::string error;
    std::vector<std::string> notes;
    if (!kvx::client::ldapbk::buildSchema(attributeTypes, objectClasses, schema, error, &notes)) {
        KVX_FUZZ_CHECK(!error.empty());
        return 0;
    }
    // Names are unique after the fall-backs: each class and attribute is found by its NDS name.
    for (std::size_t k = 0; k < schema.classes().size(); ++k) {
        const auto& def = schema.classes()[k];
        const int found = schema.findClass(def.ndsName);
        KVX_FUZZ_CHECK(found == static_cast<int>(k));
        const kvx::client::ClassDef cd = schema.classDef(static_cast<int>(k));
        for (const auto* list : {&cd.mandatoryAttributes, &cd.optionalAttributes})
            for (const std::string& a : *list)
                KVX_FUZZ_CHECK(schema.findAttribute(a) >= 0);
        kvx::client::ldapbk::namingFilter(def.naming, def.ndsName);
    }
    for (std::size_t k = 0; k < schema.attributes().size(); ++k) {
        const auto& def = schema.attributes()[k];
        KVX_FUZZ_CHECK(schema.findAttribute(def.ndsName) == static_cast<int>(k));
        KVX_FUZZ_CHECK(schema.attrDef(static_cast<int>(k)).syntax <= SYNTAX_COUNT);
    }
    return 0;
}
