// Schema files: any text as a tree's schema file, read after the builtin core schema and
// resolved (names, SUP chains, syntaxes, container flags), then every class and attribute read
// back as the client calls hand them out. The same text also goes through the single-definition
// parsers a server's subschema entry is read with.
#include "directory/client/embedded/embedded.h"
#include "directory/client/names.h"
#include "directory/client/schema_text.h"
#include "fuzz_support.h"

#include <string>

namespace {

void readEverything(const kvx::client::schema::Schema& schema) {
    const int classes = static_cast<int>(schema.classes().size());
    for (int k = 0; k < classes; ++k) {
        const auto& def = schema.classes()[static_cast<std::size_t>(k)];
        // Every class is found again by the name the client shows it under.
        const int found = schema.findClass(def.ndsName);
        KVX_FUZZ_CHECK(found >= 0);
        KVX_FUZZ_CHECK(kvx::client::names::equalNoCase(
            schema.classes()[static_cast<std::size_t>(found)].ndsName, def.ndsName));
        KVX_FUZZ_CHECK(schema.derivesFrom(k, k));
        kvx::client::ClassDef cd = schema.classDef(k);
        KVX_FUZZ_CHECK(cd.name == def.ndsName);
    }
    const int attrs = static_cast<int>(schema.attributes().size());
    for (int k = 0; k < attrs; ++k) {
        const auto& def = schema.attributes()[static_cast<std::size_t>(k)];
        KVX_FUZZ_CHECK(schema.findAttribute(def.ndsName) >= 0);
        kvx::client::AttrDef ad = schema.attrDef(k);
        // The program's syntax table covers 0 to 28; whatever a file says stays inside it.
        KVX_FUZZ_CHECK(ad.syntax <= SYNTAX_COUNT);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = kvx::fuzz::asText(data, size);

    kvx::client::schema::AttributeTypeDef attr;
    kvx::client::schema::ObjectClassDef cls;
    std::string why;
    kvx::client::schema::parseAttributeType(text, attr, why);
    kvx::client::schema::parseObjectClass(text, cls, why);

    kvx::client::schema::Schema schema;
    std::string error;
    KVX_FUZZ_CHECK(
        schema.loadText(kvx::client::schema::builtinCoreSchema(), "builtin core schema", error));
    if (schema.loadText(text, "fuzz.schema", error) && schema.resolve(error))
        readEverything(schema);

    // The embedded directory loads the same file before its entries.
    auto backend = kvx::client::makeEmbeddedBackendFromText(
        "FUZZ", std::string(text), "dn: o=Fuzz\nobjectClass: organization\no: Fuzz\n");
    if (backend->open() == 0) {
        std::vector<std::string> names;
        KVX_FUZZ_CHECK(backend->classNames(names) == 0);
        for (const std::string& name : names) {
            kvx::client::ClassDef def;
            KVX_FUZZ_CHECK(backend->readClass(name, def) == 0);
            for (const auto& list : {def.mandatoryAttributes, def.optionalAttributes}) {
                for (const std::string& a : list) {
                    kvx::client::AttrDef ad;
                    backend->readAttribute(a, ad);
                }
            }
        }
    } else {
        KVX_FUZZ_CHECK(!backend->lastError().empty());
    }
    return 0;
}
