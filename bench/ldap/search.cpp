// kvx-bench-ldap-search: a report-style search through the client calls over an LDAP server,
// without the program around it (the window, the report rows, the output file).
//
//   kvx-bench-ldap-search URL [--base NAME] [--class User] [--attrs "Surname,..."] [--page N]
//
// Connects anonymously to URL, then searches below NAME (typeless; default: every naming
// context) as a report does: typeless names, filter "Object Class" = class, the attributes
// asked for, batch after batch of 64512-byte buffers, every value laid out. Prints the time
// from NWCallsInit to the last value, batches, objects and values.
#include "directory/client/config.h"
#include "directory/client/ldap/ldap_backend.h"
#include "directory/client/nwdsclient.h"
#include "directory/client/registry.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace client = kvx::client;

namespace {

std::vector<std::string> splitList(std::string_view text) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(',', start);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view item = text.substr(start, end - start);
        while (!item.empty() && item.front() == ' ')
            item.remove_prefix(1);
        if (!item.empty())
            out.emplace_back(item);
        start = end + 1;
    }
    return out;
}

int usage() {
    std::fputs("usage: kvx-bench-ldap-search URL [--base NAME] [--class CLASS] "
               "[--attrs \"A,B,...\"] [--page N]\n",
               stderr);
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        return usage();
    client::TreeSource source;
    source.name = "BENCH";
    source.url = argv[1];
    std::string base;
    std::string cls = "User";
    std::vector<std::string> attrs =
        splitList("Surname,Given Name,Telephone Number,Internet EMail Address,Title");
    client::LdapTuning tuning;
    for (int i = 2; i + 1 < argc; i += 2) {
        std::string_view opt = argv[i];
        if (opt == "--base")
            base = argv[i + 1];
        else if (opt == "--class")
            cls = argv[i + 1];
        else if (opt == "--attrs")
            attrs = splitList(argv[i + 1]);
        else if (opt == "--page")
            tuning.pageSize = std::atoi(argv[i + 1]);
        else
            return usage();
    }
    if (argc % 2 != 0 || tuning.pageSize < 1)
        return usage();

    auto started = std::chrono::steady_clock::now();
    auto provider = std::make_unique<client::StaticTreeProvider>();
    provider->add(client::makeLdapBackend(source, tuning));
    client::installTreeProvider(std::move(provider));
    NWCallsInit(nullptr, nullptr);
    NWDSContextHandle ctx = 0;
    NWDSCreateContextHandle(&ctx);
    nuint32 flags = DCV_DEFAULT_FLAGS | DCV_TYPELESS_NAMES;
    NWDSSetContext(ctx, DCK_FLAGS, &flags);
    pBuf_T filterBuf = nullptr, names = nullptr, result = nullptr;
    pFilter_Cursor_T cur = nullptr;
    NWDSAllocBuf(DEFAULT_MESSAGE_LEN, &filterBuf);
    NWDSAllocBuf(DEFAULT_MESSAGE_LEN, &names);
    NWDSAllocBuf(DEFAULT_MESSAGE_LEN, &result);
    NWDSInitBuf(ctx, DSV_SEARCH_FILTER, filterBuf);
    NWDSInitBuf(ctx, DSV_SEARCH, names);
    for (const auto& a : attrs)
        NWDSPutAttrName(ctx, names, a);
    NWDSAllocFilter(&cur);
    NWDSAddFilterToken(cur, FTOK_ANAME, "Object Class", SYN_CLASS_NAME);
    NWDSAddFilterToken(cur, FTOK_EQ, nullptr, 0);
    NWDSAddFilterToken(cur, FTOK_AVAL, cls.c_str(), SYN_CLASS_NAME);
    NWDSAddFilterToken(cur, FTOK_END, nullptr, 0);
    NWDSPutFilter(ctx, filterBuf, cur, nullptr);

    nint32 iter = -1;
    unsigned long long batches = 0, objects = 0, values = 0;
    std::vector<void*> area(64);
    NWDSCCODE rc = 0;
    do {
        nint32 searched = 0;
        rc = NWDSSearch(ctx, base.empty() ? "[root]" : base, DS_SEARCH_SUBTREE, 0, filterBuf,
                        DS_ATTRIBUTE_VALUES, 0, names, &iter, 0, &searched, result);
        if (rc)
            break;
        ++batches;
        nuint32 count = 0;
        NWDSGetObjectCount(ctx, result, &count);
        for (nuint32 i = 0; i < count; ++i) {
            std::string name;
            nuint32 attrCount = 0;
            NWDSGetObjectName(ctx, result, name, &attrCount, nullptr);
            ++objects;
            for (nuint32 a = 0; a < attrCount; ++a) {
                std::string attrName;
                nuint32 valCount = 0, syntax = 0;
                NWDSGetAttrName(ctx, result, attrName, &valCount, &syntax);
                for (nuint32 v = 0; v < valCount; ++v) {
                    std::size_t size = 0;
                    NWDSComputeAttrValSize(ctx, result, syntax, &size);
                    if (area.size() * sizeof(void*) < size)
                        area.resize(size / sizeof(void*) + 1);
                    NWDSGetAttrVal(ctx, result, syntax, area.data());
                    ++values;
                }
            }
        }
    } while (iter != -1);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    NWDSFreeBuf(filterBuf);
    NWDSFreeBuf(names);
    NWDSFreeBuf(result);
    NWDSFreeFilter(cur, nullptr);
    NWDSFreeContext(ctx);
    if (rc) {
        std::fprintf(stderr, "NWDSSearch failed: %d\n", rc);
        return 1;
    }
    std::printf("search %.3f s: %llu batches, %llu objects, %llu values\n", seconds, batches,
                objects, values);
    return 0;
}
