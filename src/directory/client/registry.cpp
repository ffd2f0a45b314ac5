// The client's registries: the installed tree provider and every live handle.
#include "registry.h"

#include "calls_internal.h"
#include "testing.h"

#include <limits>

namespace kvx::client {

namespace calls {

State& state() {
    static State s;
    return s;
}

void forgetHandles(State& s) {
    // Iterations first: their cursors may point into backends that the provider owns.
    s.iterations.clear();
    s.contexts.clear();
    s.buffers.clear();
    s.filters.clear();
    s.advScans.clear();
    s.connections.clear();
}

Context* findContext(NWDSContextHandle handle) {
    auto& s = state();
    auto it = s.contexts.find(handle);
    return it == s.contexts.end() ? nullptr : &it->second;
}

Buf_T* findBuffer(pBuf_T buf) {
    // The pointer is only used as a key; it is never followed unless the registry owns it.
    auto& s = state();
    auto it = s.buffers.find(buf);
    return it == s.buffers.end() ? nullptr : it->second.get();
}

NWDSCCODE backendFor(const Context& ctx, Backend*& out) {
    out = nullptr;
    auto& s = state();
    if (!s.provider)
        return ERR_UNREACHABLE_SERVER;
    // A tree name set on the context that the configuration does not know is reported when the
    // context is used, not silently replaced by the default tree: a report must never show
    // another tree's objects under the name the user chose.
    Backend* b = s.provider->backend(ctx.treeSet ? ctx.tree : s.provider->defaultTree());
    if (!b)
        return ctx.treeSet ? ERR_INVALID_TREE_NAME : ERR_UNREACHABLE_SERVER;
    if (NWDSCCODE rc = b->open())
        return rc;
    out = b;
    return 0;
}

nint32 takeIterationId(State& s) {
    for (;;) {
        nint32 id = s.nextIteration;
        s.nextIteration = id == std::numeric_limits<nint32>::max() ? 1 : id + 1;
        if (!s.iterations.count(id))
            return id;
    }
}

void releaseIteration(nint32 id) {
    state().iterations.erase(id);
}

void releaseIterationsOf(NWDSContextHandle context) {
    auto& its = state().iterations;
    for (auto it = its.begin(); it != its.end();) {
        if (it->second->context == context)
            it = its.erase(it);
        else
            ++it;
    }
}

} // namespace calls

void installTreeProvider(std::unique_ptr<TreeProvider> provider) {
    auto& s = calls::state();
    calls::forgetHandles(s);
    s.provider = std::move(provider);
}

TreeProvider* treeProvider() {
    return calls::state().provider.get();
}

void resetClient() {
    auto& s = calls::state();
    calls::forgetHandles(s);
    s.initialised = false;
    s.nextContext = 1;
    s.nextIteration = 1;
    s.nextScan = 1;
    s.nextConnection = 1;
    s.capacityForTesting = 0;
}

void setResultBufferCapacityForTesting(std::size_t capacity) {
    calls::state().capacityForTesting = capacity;
}

} // namespace kvx::client
