// LDIF files: any text as a tree's LDIF file, loaded by the embedded directory over a fixed
// schema, then read as the program reads it: every entry of the subtree search with all
// its values laid out and rendered, every entry looked up again by the name it was handed out
// under, and its children listed. Then the same search through the client calls a report makes
// (NWDSSearch batches, NWDSComputeAttrValSize, NWDSGetAttrVal into an area of exactly that
// size, DecodeAttribute), once with whole buffers and once with small ones, so that entries
// continue across batches.
#include "directory/client/embedded/embedded.h"
#include "directory/client/registry.h"
#include "directory/client/testing.h"
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

// Serves the one fuzzed tree to the client calls.
class OneTree : public kvx::client::TreeProvider {
public:
    explicit OneTree(kvx::client::Backend& b) : b_(b) {}
    std::vector<std::string> configuredTrees() const override { return {"FUZZ"}; }
    std::vector<std::string> advertisedTrees() const override { return {}; }
    std::string defaultTree() const override { return "FUZZ"; }
    kvx::client::Backend* backend(const std::string&) override { return &b_; }

private:
    kvx::client::Backend& b_;
};

// Drains a subtree search of every object through the calls; returns the search's code and
// counts the entries (pieces of one entry continued across batches count once).
NWDSCCODE searchThroughCalls(std::size_t& entries) {
    using namespace kvx::client;
    NWDSContextHandle ctx = 0;
    KVX_FUZZ_CHECK(NWDSCreateContextHandle(&ctx) == 0);
    nuint32 flags = 0;
    KVX_FUZZ_CHECK(NWDSGetContext(ctx, DCK_FLAGS, &flags) == 0);
    flags |= DCV_TYPELESS_NAMES;
    KVX_FUZZ_CHECK(NWDSSetContext(ctx, DCK_FLAGS, &flags) == 0);
    pBuf_T filterBuf = nullptr, names = nullptr, result = nullptr;
    pFilter_Cursor_T cur = nullptr;
    KVX_FUZZ_CHECK(NWDSAllocBuf(DEFAULT_MESSAGE_LEN, &filterBuf) == 0);
    KVX_FUZZ_CHECK(NWDSAllocBuf(DEFAULT_MESSAGE_LEN, &names) == 0);
    KVX_FUZZ_CHECK(NWDSAllocBuf(DEFAULT_MESSAGE_LEN, &result) == 0);
    KVX_FUZZ_CHECK(NWDSInitBuf(ctx, DSV_SEARCH_FILTER, filterBuf) == 0);
    KVX_FUZZ_CHECK(NWDSInitBuf(ctx, DSV_SEARCH, names) == 0);
    KVX_FUZZ_CHECK(NWDSAllocFilter(&cur) == 0);
    KVX_FUZZ_CHECK(NWDSAddFilterToken(cur, FTOK_ANAME, "Object Class", SYN_CLASS_NAME) == 0);
    KVX_FUZZ_CHECK(NWDSAddFilterToken(cur, FTOK_EQ, nullptr, 0) == 0);
    KVX_FUZZ_CHECK(NWDSAddFilterToken(cur, FTOK_AVAL, "Top", SYN_CLASS_NAME) == 0);
    KVX_FUZZ_CHECK(NWDSAddFilterToken(cur, FTOK_END, nullptr, 0) == 0);
    KVX_FUZZ_CHECK(NWDSPutFilter(ctx, filterBuf, cur, nullptr) == 0);
    NWDSCCODE rc = 0;
    nint32 iter = -1;
    std::string last;
    std::string rendered;
    entries = 0;
    do {
        nint32 searched = 0;
        rc = NWDSSearch(ctx, "", DS_SEARCH_SUBTREE, 0, filterBuf, DS_ATTRIBUTE_VALUES, 1, names,
                        &iter, 0, &searched, result);
        if (rc != 0)
            break;
        nuint32 count = 0;
        KVX_FUZZ_CHECK(NWDSGetObjectCount(ctx, result, &count) == 0);
        for (nuint32 i = 0; i < count; ++i) {
            std::string name;
            nuint32 attrCount = 0;
            KVX_FUZZ_CHECK(NWDSGetObjectName(ctx, result, name, &attrCount, nullptr) == 0);
            if (entries == 0 || name != last)
                ++entries;
            last = name;
            for (nuint32 a = 0; a < attrCount; ++a) {
                std::string attrName;
                nuint32 valCount = 0, syntax = 0;
                KVX_FUZZ_CHECK(NWDSGetAttrName(ctx, result, attrName, &valCount, &syntax) == 0);
                for (nuint32 v = 0; v < valCount; ++v) {
                    std::size_t size = 0;
                    KVX_FUZZ_CHECK(NWDSComputeAttrValSize(ctx, result, syntax, &size) == 0);
                    void* area = std::malloc(size > 0 ? size : 1);
                    KVX_FUZZ_CHECK(area != nullptr);
                    KVX_FUZZ_CHECK(NWDSGetAttrVal(ctx, result, syntax, area) == 0);
                    kvx::DecodeAttribute(attrName, area, syntax, rendered);
                    std::free(area);
                }
            }
        }
    } while (iter != -1);
    KVX_FUZZ_CHECK(NWDSFreeBuf(result) == 0);
    KVX_FUZZ_CHECK(NWDSFreeBuf(names) == 0);
    KVX_FUZZ_CHECK(NWDSFreeBuf(filterBuf) == 0);
    NWDSFreeContext(ctx);
    return rc;
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
    NWDSCCODE next;
    while ((next = cursor->next(entry)) == 0) {
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
    KVX_FUZZ_CHECK(next == kvx::client::EntryCursor::kEndOfEntries);
    // The root counts its top-level entries; a search finds no fewer entries than those.
    KVX_FUZZ_CHECK(backend->lookup("", again) == 0);
    std::unique_ptr<kvx::client::EntryCursor> top;
    KVX_FUZZ_CHECK(backend->list("", top) == 0);
    std::size_t listed = 0;
    while (top->next(entry) == 0)
        ++listed;
    KVX_FUZZ_CHECK(listed == again.subordinateCount);
    KVX_FUZZ_CHECK(count >= listed);

    // The client calls hand out every entry the backend has, whatever the buffer size. With
    // small buffers a single value may not fit at all, which the search reports as such.
    request.filterAttribute = "Object Class";
    request.filterValue = "Top";
    KVX_FUZZ_CHECK(backend->search(request, cursor) == 0);
    std::size_t ofTop = 0;
    while (cursor->next(entry) == 0)
        ++ofTop;
    kvx::client::resetClient();
    kvx::client::installTreeProvider(std::make_unique<OneTree>(*backend));
    std::size_t viaCalls = 0;
    KVX_FUZZ_CHECK(searchThroughCalls(viaCalls) == 0);
    KVX_FUZZ_CHECK(viaCalls == ofTop);
    kvx::client::setResultBufferCapacityForTesting(700);
    const NWDSCCODE rc = searchThroughCalls(viaCalls);
    KVX_FUZZ_CHECK(rc == 0 || rc == ERR_BUFFER_FULL);
    if (rc == 0)
        KVX_FUZZ_CHECK(viaCalls == ofTop);
    kvx::client::installTreeProvider(nullptr);
    kvx::client::resetClient();
    return 0;
}
