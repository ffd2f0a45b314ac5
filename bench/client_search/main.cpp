// kvx-bench-client-search: times a report-style search through the real client calls.
//
//   kvx-bench-client-search TREE_DIR [--class User] [--attrs "Surname,Given Name,..."]
//                           [--base NAME] [--print]
//
// Serves TREE_DIR (a folder of *.schema and *.ldif files) with the embedded directory, then
// searches the whole tree the way a report does: typeless names, name context "[root]", filter
// "Object Class" = class, the attributes asked for, batch after batch of 64512-byte buffers,
// every value measured and laid out. Prints the load time, the search time, objects and values
// per second and the peak resident set size.
#include "directory/client/config.h"
#include "directory/client/embedded/embedded.h"
#include "directory/client/nwdsclient.h"
#include "directory/client/registry.h"

#include <sys/resource.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace client = kvx::client;

namespace {

constexpr const char* kTreeName = "BENCH";
constexpr const char* kDefaultAttributes =
    "Surname,Given Name,Telephone Number,Internet EMail Address,Title";

struct Options {
    std::string folder;
    std::string className = "User";
    std::vector<std::string> attributes;
    std::string base; // "" searches from the root
    bool print = false;
};

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
        while (!item.empty() && item.back() == ' ')
            item.remove_suffix(1);
        if (!item.empty())
            out.emplace_back(item);
        start = end + 1;
    }
    return out;
}

void usage(std::FILE* to) {
    std::fprintf(to,
                 "usage: kvx-bench-client-search TREE_DIR [--class CLASS] [--attrs LIST]\n"
                 "                               [--base NAME] [--print]\n"
                 "  --class CLASS  object class to search for (default User)\n"
                 "  --attrs LIST   comma-separated attribute names (default \"%s\")\n"
                 "  --base NAME    typeless name of the container to search (default: the root)\n"
                 "  --print        print every object and value read (text syntaxes in full)\n",
                 kDefaultAttributes);
}

// 0: read; 1: --help shown; 2: bad command line (said why).
int parseOptions(int argc, char** argv, Options& o) {
    std::string attrs = kDefaultAttributes;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            usage(stdout);
            return 1;
        }
        if (arg == "--print") {
            o.print = true;
            continue;
        }
        if (arg == "--class" || arg == "--attrs" || arg == "--base") {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "kvx-bench-client-search: %s needs a value\n", argv[i]);
                return 2;
            }
            const char* value = argv[++i];
            if (arg == "--class")
                o.className = value;
            else if (arg == "--attrs")
                attrs = value;
            else
                o.base = value;
            continue;
        }
        if (!arg.empty() && arg.front() == '-') {
            std::fprintf(stderr, "kvx-bench-client-search: unknown option %s\n", argv[i]);
            usage(stderr);
            return 2;
        }
        if (!o.folder.empty()) {
            std::fputs("kvx-bench-client-search: one tree folder only\n", stderr);
            return 2;
        }
        o.folder = argv[i];
    }
    if (o.folder.empty() || o.className.empty()) {
        usage(stderr);
        return 2;
    }
    o.attributes = splitList(attrs);
    return 0;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

long peakRssKiB() {
    rusage usage{};
    if (getrusage(RUSAGE_SELF, &usage) != 0)
        return -1;
    return usage.ru_maxrss; // kilobytes on Linux
}

bool textSyntax(nuint32 syntax) {
    return (syntax >= SYN_DIST_NAME && syntax <= SYN_NU_STRING) || syntax == SYN_TEL_NUMBER ||
           syntax == SYN_CLASS_NAME;
}

// One value as --print shows it: texts, numbers and the main fields of structured values.
void printValue(const std::string& attr, nuint32 syntax, const void* area, std::size_t size) {
    const char* a = attr.c_str();
    if (textSyntax(syntax)) {
        std::printf("    %s: %s\n", a, static_cast<const char*>(area));
        return;
    }
    switch (syntax) {
    case SYN_BOOLEAN:
        std::printf("    %s: %s\n", a, *static_cast<const nuint8*>(area) ? "TRUE" : "FALSE");
        return;
    case SYN_INTEGER:
    case SYN_COUNTER:
    case SYN_INTERVAL:
    case SYN_TIME:
        std::printf("    %s: %lu\n", a,
                    static_cast<unsigned long>(*static_cast<const nuint32*>(area)));
        return;
    case SYN_CI_LIST:
        std::printf("    %s: %s ...\n", a, static_cast<const CI_List_T*>(area)->s);
        return;
    case SYN_NET_ADDRESS: {
        const auto* v = static_cast<const Net_Address_T*>(area);
        std::printf("    %s: type %lu, %lu bytes\n", a, static_cast<unsigned long>(v->addressType),
                    static_cast<unsigned long>(v->addressLength));
        return;
    }
    case SYN_EMAIL_ADDRESS:
        std::printf("    %s: %s\n", a, static_cast<const EMail_Address_T*>(area)->address);
        return;
    case SYN_PATH: {
        const auto* v = static_cast<const Path_T*>(area);
        std::printf("    %s: %s:%s\n", a, v->volumeName, v->path);
        return;
    }
    case SYN_OBJECT_ACL: {
        const auto* v = static_cast<const Object_ACL_T*>(area);
        std::printf("    %s: %s %lu %s\n", a, v->protectedAttrName,
                    static_cast<unsigned long>(v->privileges), v->subjectName);
        return;
    }
    case SYN_BACK_LINK:
        std::printf("    %s: %s\n", a, static_cast<const Back_Link_T*>(area)->objectName);
        return;
    case SYN_TYPED_NAME:
        std::printf("    %s: %s\n", a, static_cast<const Typed_Name_T*>(area)->objectName);
        return;
    case SYN_HOLD: {
        const auto* v = static_cast<const Hold_T*>(area);
        std::printf("    %s: %s  %lu\n", a, v->objectName, static_cast<unsigned long>(v->amount));
        return;
    }
    default:
        std::printf("    %s: <syntax %lu, %zu bytes>\n", a, static_cast<unsigned long>(syntax),
                    size);
    }
}

// Frees what the run allocated, whichever way it ends.
struct Resources {
    NWDSContextHandle context = 0;
    pBuf_T result = nullptr;
    pBuf_T names = nullptr;
    pBuf_T filter = nullptr;
    pFilter_Cursor_T cursor = nullptr;
    ~Resources() {
        if (cursor)
            NWDSFreeFilter(cursor, nullptr);
        for (pBuf_T b : {result, names, filter})
            if (b)
                NWDSFreeBuf(b);
        if (context > 0)
            NWDSFreeContext(context);
    }
};

bool failed(NWDSCCODE rc, const char* call) {
    if (rc == 0)
        return false;
    std::fprintf(stderr, "kvx-bench-client-search: %s failed, code %ld (0x%lx)\n", call,
                 static_cast<long>(rc), static_cast<unsigned long>(static_cast<nuint32>(rc)));
    return true;
}

struct Totals {
    std::uint64_t batches = 0;
    std::uint64_t entries = 0; // pieces of objects, as the batches carry them
    std::uint64_t objects = 0; // distinct objects (a continued piece is not counted again)
    std::uint64_t attributes = 0;
    std::uint64_t values = 0;
    std::uint64_t layoutBytes = 0;
};

int run(const Options& o) {
    // Load the tree outside the timed search, so the two costs are reported apart.
    const auto loadStart = std::chrono::steady_clock::now();
    std::unique_ptr<client::Backend> backend = client::makeEmbeddedBackend(kTreeName, o.folder);
    if (const NWDSCCODE rc = backend->open(); rc != 0) {
        std::fprintf(stderr, "kvx-bench-client-search: cannot load %s (code %ld): %s\n",
                     o.folder.c_str(), static_cast<long>(rc), backend->lastError().c_str());
        return 1;
    }
    const double loadSeconds = secondsSince(loadStart);
    const long rssAfterLoad = peakRssKiB();

    auto provider = std::make_unique<client::StaticTreeProvider>();
    provider->add(std::move(backend));
    provider->setDefaultTree(kTreeName);
    client::installTreeProvider(std::move(provider));

    if (failed(NWCallsInit(nullptr, nullptr), "NWCallsInit"))
        return 1;

    Resources r;
    Totals t;
    const auto searchStart = std::chrono::steady_clock::now();
    {
        if (failed(NWDSCreateContextHandle(&r.context), "NWDSCreateContextHandle"))
            return 1;
        const std::string tree = kTreeName;
        if (failed(NWDSSetContext(r.context, DCK_TREE_NAME, &tree), "NWDSSetContext tree name"))
            return 1;
        nuint32 flags = 0;
        if (failed(NWDSGetContext(r.context, DCK_FLAGS, &flags), "NWDSGetContext flags"))
            return 1;
        flags |= DCV_TYPELESS_NAMES;
        if (failed(NWDSSetContext(r.context, DCK_FLAGS, &flags), "NWDSSetContext flags"))
            return 1;
        const std::string root = "[root]";
        if (failed(NWDSSetContext(r.context, DCK_NAME_CONTEXT, &root), "NWDSSetContext context"))
            return 1;

        if (failed(NWDSAllocBuf(DEFAULT_MESSAGE_LEN, &r.result), "NWDSAllocBuf") ||
            failed(NWDSAllocBuf(DEFAULT_MESSAGE_LEN, &r.names), "NWDSAllocBuf") ||
            failed(NWDSAllocBuf(DEFAULT_MESSAGE_LEN, &r.filter), "NWDSAllocBuf"))
            return 1;
        if (failed(NWDSInitBuf(r.context, DSV_SEARCH, r.names), "NWDSInitBuf") ||
            failed(NWDSInitBuf(r.context, DSV_SEARCH_FILTER, r.filter), "NWDSInitBuf"))
            return 1;
        for (const std::string& a : o.attributes)
            if (failed(NWDSPutAttrName(r.context, r.names, a), "NWDSPutAttrName"))
                return 1;

        if (failed(NWDSAllocFilter(&r.cursor), "NWDSAllocFilter"))
            return 1;
        const std::string objectClass = "Object Class";
        if (failed(NWDSAddFilterToken(r.cursor, FTOK_ANAME, objectClass.c_str(), SYN_CLASS_NAME),
                   "NWDSAddFilterToken") ||
            failed(NWDSAddFilterToken(r.cursor, FTOK_EQ, nullptr, 0), "NWDSAddFilterToken") ||
            failed(NWDSAddFilterToken(r.cursor, FTOK_AVAL, o.className.c_str(), SYN_CLASS_NAME),
                   "NWDSAddFilterToken") ||
            failed(NWDSAddFilterToken(r.cursor, FTOK_END, nullptr, 0), "NWDSAddFilterToken"))
            return 1;
        if (failed(NWDSPutFilter(r.context, r.filter, r.cursor, nullptr), "NWDSPutFilter"))
            return 1;
        r.cursor = nullptr; // the buffer owns the expression now

        const std::string base = o.base.empty() ? std::string() : "." + o.base;
        std::vector<std::max_align_t> area;
        std::string lastName;
        std::string name;
        std::string attrName;
        nint32 iteration = -1;
        do {
            nint32 searched = 0;
            if (failed(NWDSSearch(r.context, base, DS_SEARCH_SUBTREE, 0, r.filter,
                                  DS_ATTRIBUTE_VALUES, 0, r.names, &iteration, 0, &searched,
                                  r.result),
                       "NWDSSearch"))
                return 1;
            ++t.batches;
            nuint32 objects = 0;
            if (failed(NWDSGetObjectCount(r.context, r.result, &objects), "NWDSGetObjectCount"))
                return 1;
            for (nuint32 i = 0; i < objects; ++i) {
                nuint32 attrCount = 0;
                Object_Info_T info;
                if (failed(NWDSGetObjectName(r.context, r.result, name, &attrCount, &info),
                           "NWDSGetObjectName"))
                    return 1;
                ++t.entries;
                if (t.entries == 1 || name != lastName) {
                    ++t.objects;
                    lastName = name;
                }
                if (o.print)
                    std::printf("%s (%s)\n", name.c_str(), info.baseClass.c_str());
                for (nuint32 a = 0; a < attrCount; ++a) {
                    nuint32 valueCount = 0;
                    nuint32 syntax = 0;
                    if (failed(NWDSGetAttrName(r.context, r.result, attrName, &valueCount, &syntax),
                               "NWDSGetAttrName"))
                        return 1;
                    ++t.attributes;
                    for (nuint32 v = 0; v < valueCount; ++v) {
                        std::size_t size = 0;
                        if (failed(NWDSComputeAttrValSize(r.context, r.result, syntax, &size),
                                   "NWDSComputeAttrValSize"))
                            return 1;
                        const std::size_t cells =
                            (size + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t);
                        if (area.size() < cells + 1)
                            area.resize(cells + 1);
                        if (failed(NWDSGetAttrVal(r.context, r.result, syntax, area.data()),
                                   "NWDSGetAttrVal"))
                            return 1;
                        ++t.values;
                        t.layoutBytes += size;
                        if (o.print)
                            printValue(attrName, syntax, area.data(), size);
                    }
                }
            }
        } while (iteration != -1);
    }
    const double searchSeconds = secondsSince(searchStart);
    const long rssPeak = peakRssKiB();

    std::printf("tree folder      %s\n", o.folder.c_str());
    std::printf("class            %s\n", o.className.c_str());
    std::printf("attributes       %zu asked\n", o.attributes.size());
    std::printf("load time        %.3f s\n", loadSeconds);
    std::printf("search time      %.3f s\n", searchSeconds);
    std::printf("batches          %llu\n", static_cast<unsigned long long>(t.batches));
    std::printf("objects          %llu (%llu pieces)\n", static_cast<unsigned long long>(t.objects),
                static_cast<unsigned long long>(t.entries));
    std::printf("attributes read  %llu\n", static_cast<unsigned long long>(t.attributes));
    std::printf("values           %llu (%llu bytes laid out)\n",
                static_cast<unsigned long long>(t.values),
                static_cast<unsigned long long>(t.layoutBytes));
    const double s = searchSeconds > 0 ? searchSeconds : 1e-9;
    std::printf("objects/s        %.0f\n", static_cast<double>(t.objects) / s);
    std::printf("values/s         %.0f\n", static_cast<double>(t.values) / s);
    std::printf("peak RSS         %ld KiB after load, %ld KiB at the end\n", rssAfterLoad, rssPeak);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    if (const int rc = parseOptions(argc, argv, o); rc != 0)
        return rc == 1 ? 0 : rc;
    const int rc = run(o);
    client::installTreeProvider(nullptr);
    return rc;
}
