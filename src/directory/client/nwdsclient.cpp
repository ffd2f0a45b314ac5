// Client start-up, connections, tree and advertisement scans, and directory contexts.
#include "nwdsclient.h"

#include "calls_internal.h"
#include "config.h"
#include "faults.h"

#include <cstdio>
#include <cstdlib>

using namespace kvx::client;
using namespace kvx::client::calls;

namespace {

// Wildcard match of a tree name against a scan pattern: "*" any run, "?" any one character,
// letters without regard to case. An empty pattern matches every name.
bool matchesPattern(std::string_view name, std::string_view pattern) {
    if (pattern.empty())
        return true;
    std::size_t n = 0, p = 0, starP = std::string_view::npos, starN = 0;
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || lower(pattern[p]) == lower(name[n]))) {
            ++p;
            ++n;
        } else if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starN = n;
        } else if (starP != std::string_view::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

constexpr nuint32 kPrimaryConnRef = 1;

} // namespace

NWCCODE NWCallsInit(void*, void*) {
    auto& s = state();
    if (!s.initialised) {
        // Faults are armed once per client start, before this call's own check, so that the
        // start-up itself can be made to fail.
        if (const char* text = std::getenv("KORVANEX_CLIENT_FAULTS")) {
            if (!faults::armFromText(text))
                std::fprintf(stderr,
                             "Korvanex client: KORVANEX_CLIENT_FAULTS is malformed and "
                             "was ignored: %s\n",
                             text);
        }
        s.initialised = true;
    }
    if (auto rc = faults::check("NWCallsInit"))
        return rc;
    if (!s.provider)
        s.provider = makeConfiguredTreeProvider(loadClientConfig());
    return 0;
}

NWCCODE NWCCGetPrimConnRef(nuint32* connRef) {
    if (auto rc = faults::check("NWCCGetPrimConnRef"))
        return rc;
    if (!connRef)
        return ERR_INVALID_API_PARAMETER;
    if (!state().provider)
        return ERR_UNREACHABLE_SERVER;
    *connRef = kPrimaryConnRef;
    return 0;
}

NWCCODE NWCCOpenConnByRef(nuint32 connRef, nuint32, nuint32, NWCONN_HANDLE* conn) {
    if (auto rc = faults::check("NWCCOpenConnByRef"))
        return rc;
    if (!conn)
        return ERR_INVALID_API_PARAMETER;
    auto& s = state();
    if (connRef != kPrimaryConnRef)
        return NWE_BAD_CONNECTION;
    if (!s.provider)
        return ERR_UNREACHABLE_SERVER;
    NWCONN_HANDLE h = s.nextConnection++;
    if (s.nextConnection == 0)
        s.nextConnection = 1;
    s.connections[h] = true;
    *conn = h;
    return 0;
}

NWCCODE NWCCCloseConn(NWCONN_HANDLE conn) {
    if (auto rc = faults::check("NWCCCloseConn"))
        return rc;
    return state().connections.erase(conn) ? 0 : NWE_BAD_CONNECTION;
}

NWDSCCODE NWDSScanForAvailableTrees(NWDSContextHandle context, NWCONN_HANDLE conn,
                                    const std::string& scanFilter, nint32* scanIndex,
                                    std::string& treeName) {
    if (auto rc = faults::check("NWDSScanForAvailableTrees"))
        return rc;
    auto& s = state();
    if (!findContext(context))
        return ERR_BAD_CONTEXT;
    if (!s.connections.count(conn))
        return NWE_BAD_CONNECTION;
    if (!scanIndex)
        return ERR_INVALID_API_PARAMETER;
    if (!s.provider)
        return ERR_UNREACHABLE_SERVER;
    // The index is the position of the tree handed out last; -1 before the first call.
    const auto trees = s.provider->configuredTrees();
    std::size_t i = *scanIndex < 0 ? 0 : static_cast<std::size_t>(*scanIndex) + 1;
    for (; i < trees.size(); ++i) {
        if (matchesPattern(trees[i], scanFilter == "*" ? std::string_view() : scanFilter)) {
            treeName = trees[i];
            *scanIndex = static_cast<nint32>(i);
            return 0;
        }
    }
    return NWE_NO_MORE_ENTRIES;
}

NWCCODE NWAdvScanOpen(nuint16 serviceType, nuint32* scanHandle) {
    if (auto rc = faults::check("NWAdvScanOpen"))
        return rc;
    if (!scanHandle)
        return ERR_INVALID_API_PARAMETER;
    auto& s = state();
    if (!s.provider)
        return ERR_UNREACHABLE_SERVER;
    // Directory trees (service 0x0278, in network byte order) are the only service advertised.
    if (serviceType != 0x7802)
        return NWE_NO_MORE_ENTRIES;
    nuint32 h = s.nextScan++;
    if (s.nextScan == 0)
        s.nextScan = 1;
    s.advScans[h] = AdvScan{s.provider->advertisedTrees(), 0};
    *scanHandle = h;
    return 0;
}

NWCCODE NWAdvScanNext(nuint32 scanHandle, nuint16, std::string& name) {
    if (auto rc = faults::check("NWAdvScanNext"))
        return rc;
    auto& scans = state().advScans;
    auto it = scans.find(scanHandle);
    if (it == scans.end())
        return NWE_BAD_SCAN_HANDLE;
    // Names are handed out whole: the length the caller gives limits nothing.
    if (it->second.next >= it->second.names.size())
        return NWE_NO_MORE_ENTRIES;
    name = it->second.names[it->second.next++];
    return 0;
}

NWCCODE NWAdvScanClose(nuint32 scanHandle) {
    if (auto rc = faults::check("NWAdvScanClose"))
        return rc;
    return state().advScans.erase(scanHandle) ? 0 : NWE_BAD_SCAN_HANDLE;
}

// ---- Contexts ----------------------------------------------------------------------------

NWDSCCODE NWDSCreateContextHandle(NWDSContextHandle* newHandle) {
    if (auto rc = faults::check("NWDSCreateContextHandle"))
        return rc;
    if (!newHandle)
        return ERR_INVALID_API_PARAMETER;
    auto& s = state();
    while (s.contexts.count(s.nextContext) || s.nextContext <= 0)
        s.nextContext = s.nextContext <= 0 ? 1 : s.nextContext + 1;
    NWDSContextHandle h = s.nextContext++;
    s.contexts[h] = Context{};
    *newHandle = h;
    return 0;
}

NWDSCCODE NWDSFreeContext(NWDSContextHandle context) {
    if (auto rc = faults::check("NWDSFreeContext"))
        return rc;
    auto& s = state();
    if (!s.contexts.count(context))
        return ERR_BAD_CONTEXT;
    releaseIterationsOf(context);
    s.contexts.erase(context);
    return 0;
}

NWDSCCODE NWDSGetContext(NWDSContextHandle context, int key, void* value) {
    if (auto rc = faults::check("NWDSGetContext"))
        return rc;
    Context* ctx = findContext(context);
    if (!ctx)
        return ERR_BAD_CONTEXT;
    if (!value)
        return ERR_INVALID_API_PARAMETER;
    switch (key) {
    case DCK_FLAGS:
        *static_cast<nuint32*>(value) = ctx->flags;
        return 0;
    case DCK_CONFIDENCE:
        *static_cast<nuint32*>(value) = ctx->confidence;
        return 0;
    case DCK_NAME_CONTEXT:
        *static_cast<std::string*>(value) = ctx->nameContext.empty() ? "[root]" : ctx->nameContext;
        return 0;
    case DCK_TREE_NAME: {
        auto& s = state();
        *static_cast<std::string*>(value) =
            ctx->treeSet ? ctx->tree : (s.provider ? s.provider->defaultTree() : std::string());
        return 0;
    }
    default:
        return ERR_BAD_KEY;
    }
}

namespace {

// The backend of the context's tree (nullptr when there is none), and the tree's name.
NWDSCCODE treeBackend(NWDSContextHandle context, const char* call, Backend*& backend,
                      std::string& tree) {
    if (auto rc = faults::check(call))
        return rc;
    backend = nullptr;
    Context* ctx = findContext(context);
    if (!ctx)
        return ERR_BAD_CONTEXT;
    auto& s = state();
    if (s.provider) {
        tree = ctx->treeSet ? ctx->tree : s.provider->defaultTree();
        backend = s.provider->backend(tree);
    }
    return 0;
}

} // namespace

NWDSCCODE NWDSGetTreeNoticeText(NWDSContextHandle context, std::string& text) {
    text.clear();
    Backend* b = nullptr;
    std::string tree;
    NWDSCCODE rc = treeBackend(context, "NWDSGetTreeNoticeText", b, tree);
    if (rc == 0 && b)
        text = b->lastNotice();
    return rc;
}

NWDSCCODE NWDSCheckSearchFilter(NWDSContextHandle context, const FilterNode& filter,
                                std::string& fault, std::vector<std::string>* unordered) {
    fault.clear();
    if (unordered)
        unordered->clear();
    Backend* b = nullptr;
    std::string tree;
    NWDSCCODE rc = treeBackend(context, "NWDSCheckSearchFilter", b, tree);
    FilterCheck check;
    if (rc == 0 && b)
        rc = b->checkFilter(filter, check);
    fault = std::move(check.fault);
    if (unordered)
        *unordered = std::move(check.unordered);
    return rc;
}

NWDSCCODE NWDSGetTreeErrorText(NWDSContextHandle context, std::string& text) {
    text.clear();
    Backend* b = nullptr;
    std::string tree;
    if (NWDSCCODE rc = treeBackend(context, "NWDSGetTreeErrorText", b, tree))
        return rc;
    auto& s = state();
    if (!s.provider)
        return 0;
    if (b) {
        text = b->lastError();
        return 0;
    }
    text = s.provider->configurationError();
    if (text.empty())
        text = tree.empty() ? std::string("no directory tree is configured")
                            : "the tree \"" + tree + "\" is not configured";
    return 0;
}

NWDSCCODE NWDSSetContext(NWDSContextHandle context, int key, const void* value) {
    if (auto rc = faults::check("NWDSSetContext"))
        return rc;
    Context* ctx = findContext(context);
    if (!ctx)
        return ERR_BAD_CONTEXT;
    if (!value)
        return ERR_INVALID_API_PARAMETER;
    switch (key) {
    case DCK_FLAGS:
        ctx->flags = *static_cast<const nuint32*>(value);
        return 0;
    case DCK_CONFIDENCE:
        ctx->confidence = *static_cast<const nuint32*>(value);
        return 0;
    case DCK_NAME_CONTEXT: {
        // Any name is taken; one that does not exist fails the calls that use it (-601).
        std::string_view name = *static_cast<const std::string*>(value);
        if (!name.empty() && name.front() == '.')
            name.remove_prefix(1);
        ctx->nameContext = isRootText(name) ? std::string() : std::string(name);
        return 0;
    }
    case DCK_TREE_NAME: {
        // An unknown tree name is kept and reported by the calls that need the tree
        // (ERR_INVALID_TREE_NAME): falling back to another tree would show its objects under
        // the name the user chose. An empty name goes back to the default tree.
        const auto& name = *static_cast<const std::string*>(value);
        ctx->treeSet = !name.empty();
        ctx->tree = name;
        releaseIterationsOf(context);
        return 0;
    }
    default:
        return ERR_BAD_KEY;
    }
}
