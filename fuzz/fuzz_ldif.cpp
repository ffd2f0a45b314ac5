// LDIF files: any text as a tree's LDIF file, loaded by the embedded directory over a fixed
// schema, then read as the program reads it: every entry of the subtree search with all
// its values laid out and rendered, every entry looked up again by the name it was handed out
// under, and its children listed.
#include "directory/client/embedded/embedded.h"
#include "directory/client/values.h"
#include "fuzz_support.h"
#include "report/decode.h"

#include <cstdlib>
#include <string>

namespace {

// A small fixed schema over the builtin core one: an attribute type of every NDS syntax
// ("fzSyn<N>"), a single-valued one and a counter, a container class, a leaf class and an
// auxiliary class that may hold them all. Kept small so that a run spends its time on the LDIF.
const std::string& fixedSchema() {
    static const std::string text = [] {
        std::string s;
        std::string may;
        for (int n = 0; n <= 27; ++n) {
            const std::string k = std::to_string(n);
            s += "attributetype ( 1.3.6.1.4.1.99999.1." + k + " NAME 'fzSyn" + k +
                 "' SYNTAX 2.16.840.1.113719.1.1.5.1." + k + " X-NDS_NAME 'Fuzz Syntax " + k +
                 "' )\n";
            may += "fzSyn" + k + " $ ";
        }
        s += "attributetype ( 1.3.6.1.4.1.99999.1.100 NAME 'fzOne'"
             " SYNTAX 1.3.6.1.4.1.1466.115.121.1.15 SINGLE-VALUE )\n"
             "attributetype ( 1.3.6.1.4.1.99999.1.101 NAME 'fzCounter'"
             " SYNTAX 1.3.6.1.4.1.1466.115.121.1.27 X-NDS_SYNTAX '22' )\n";
        may += "fzOne $ fzCounter";
        s += "objectclass ( 1.3.6.1.4.1.99999.2.1 NAME 'fzAux' AUXILIARY MAY ( " + may + " ) )\n";
        s += "objectclass ( 1.3.6.1.4.1.99999.2.2 NAME 'fzContainer' SUP top STRUCTURAL MAY ( " +
             may + " $ cn ) X-NDS_CONTAINER 'TRUE' X-NDS_NAME 'Fuzz Container' )\n";
        s += "objectclass ( 1.3.6.1.4.1.99999.2.3 NAME 'fzLeaf' SUP top STRUCTURAL MUST cn MAY ( " +
             may + " ) X-NDS_NAME 'Fuzz Leaf' )\n";
        return s;
    }();
    return text;
}

void renderValues(const kvx::client::Entry& entry) {
    std::string rendered;
    for (const auto& attribute : entry.attributes) {
        for (const std::string& value : attribute.values) {
            const std::size_t need = kvx::client::layoutSize(attribute.syntax, value);
            void* area = std::malloc(need);
            KVX_FUZZ_CHECK(area != nullptr);
            KVX_FUZZ_CHECK(kvx::client::layoutValue(attribute.syntax, value, area, need) == 0);
            kvx::DecodeAttribute(attribute.name, area, attribute.syntax, rendered);
            std::free(area);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto backend = kvx::client::makeEmbeddedBackendFromText(
        "FUZZ", fixedSchema(), std::string(kvx::fuzz::asText(data, size)));
    if (backend->open() != 0) {
        KVX_FUZZ_CHECK(!backend->lastError().empty()); // a refused file always says why
        return 0;
    }
    kvx::client::SearchRequest request;
    request.base = "";
    request.scope = DS_SEARCH_SUBTREE;
    request.allAttributes = true;
    std::unique_ptr<kvx::client::EntryCursor> cursor;
    KVX_FUZZ_CHECK(backend->search(request, cursor) == 0);
    kvx::client::Entry entry;
    kvx::client::Entry again;
    std::size_t count = 0;
    NWDSCCODE rc;
    while ((rc = cursor->next(entry)) == 0) {
        ++count;
        renderValues(entry);
        // The name an entry is handed out under leads back to that entry.
        KVX_FUZZ_CHECK(backend->lookup(entry.name, again) == 0);
        KVX_FUZZ_CHECK(again.name == entry.name);
        std::unique_ptr<kvx::client::EntryCursor> children;
        KVX_FUZZ_CHECK(backend->list(entry.name, children) == 0);
        std::size_t listed = 0;
        while (children->next(again) == 0)
            ++listed;
        KVX_FUZZ_CHECK(listed == entry.subordinateCount);
    }
    KVX_FUZZ_CHECK(rc == kvx::client::EntryCursor::kEndOfEntries);
    // The root counts its top-level entries; a search finds no fewer entries than those.
    KVX_FUZZ_CHECK(backend->lookup("", again) == 0);
    std::unique_ptr<kvx::client::EntryCursor> top;
    KVX_FUZZ_CHECK(backend->list("", top) == 0);
    std::size_t listed = 0;
    while (top->next(entry) == 0)
        ++listed;
    KVX_FUZZ_CHECK(listed == again.subordinateCount);
    KVX_FUZZ_CHECK(count >= listed);
    return 0;
}
