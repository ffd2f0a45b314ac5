// The reading calls: list, search and the schema reads, each packing its results into the
// caller's buffer batch by batch behind an iteration handle.
//
// Batch layout (all numbers u32, texts u32 length + bytes):
//   kind, count, then per entry
//   list/search object: name, object ID, flags, subordinate count, modification time, base
//                       class, attribute count, then per attribute: name, syntax, value count,
//                       values
//   class name:         name
//   class definition:   name, flags, oid, then five lists (count + names)
//   attribute name:     name
//   attribute def:      name, flags, syntax, lower, upper, oid
//
// An object too large for the rest of a batch is split: what fits goes into this batch and the
// rest continues in the next one as an entry under the same name and object ID; an attribute
// whose values are split repeats its name with the remaining values.
#include "nwdsclient.h"

#include "calls_internal.h"
#include "faults.h"
#include "names.h"

#include <algorithm>
#include <set>

using namespace kvx::client;
using namespace kvx::client::calls;

namespace {

std::size_t textSize(std::string_view s) {
    return 4 + s.size();
}

class Writer {
public:
    Writer(Buf_T& buf, std::size_t capacity, nuint32 kind) : buf_(buf), cap_(capacity) {
        clearResult(buf_);
        buf_.operation = 0;
        put32(buf_.bytes.data(), kind);
        put32(buf_.bytes.data() + 4, 0);
        len_ = kBatchHeader;
        kind_ = kind;
    }
    std::size_t room() const { return cap_ - len_; }
    std::size_t mark() const { return len_; }
    void rewind(std::size_t mark) { len_ = mark; }
    void u32(nuint32 v) {
        put32(buf_.bytes.data() + len_, v);
        len_ += 4;
    }
    void patch(std::size_t at, nuint32 v) { put32(buf_.bytes.data() + at, v); }
    void text(std::string_view s) {
        u32(static_cast<nuint32>(s.size()));
        raw(s);
    }
    // A value no batch could hold: carried beside this one, the batch holds its place.
    void outOfLine(std::string&& value) {
        u32(kOutOfLine);
        u32(static_cast<nuint32>(buf_.outOfLine.size()));
        buf_.outOfLine.push_back(std::move(value));
    }
    std::size_t capacity() const { return cap_; }
    void raw(std::string_view s) {
        if (!s.empty())
            std::memcpy(buf_.bytes.data() + len_, s.data(), s.size());
        len_ += s.size();
    }
    // Makes the batch readable: `count` entries from the start.
    void finish(nuint32 count) {
        patch(4, count);
        buf_.resultKind = kind_;
        buf_.pos = kBatchHeader;
        buf_.end = len_;
        buf_.entriesLeft = count;
    }

private:
    Buf_T& buf_;
    std::size_t cap_;
    std::size_t len_ = 0;
    nuint32 kind_;
};

std::size_t batchCapacity(const Buf_T& buf) {
    std::size_t cap = buf.bytes.size();
    const std::size_t test = state().capacityForTesting;
    if (test && test < cap)
        cap = std::max(test, kBatchHeader + 8);
    return cap;
}

// Serialization of records kept whole (schema reads).
void appendU32(std::string& out, nuint32 v) {
    char b[4];
    std::memcpy(b, &v, 4);
    out.append(b, 4);
}
void appendText(std::string& out, std::string_view s) {
    appendU32(out, static_cast<nuint32>(s.size()));
    out.append(s);
}
void appendList(std::string& out, const std::vector<std::string>& items) {
    appendU32(out, static_cast<nuint32>(items.size()));
    for (const auto& i : items)
        appendText(out, i);
}

enum class Piece { Done, Partial, None };

// Writes the next piece of `it.pending` into the batch.
Piece packPiece(Writer& w, Iteration& it) {
    const Entry& e = it.pending;
    const std::size_t head = textSize(e.name) + 16 + textSize(e.baseClass) + 4;
    if (w.room() < head)
        return Piece::None;
    const std::size_t start = w.mark();
    w.text(e.name);
    w.u32(it.entriesRead);
    w.u32(e.objectFlags);
    w.u32(e.subordinateCount);
    w.u32(e.modificationTime);
    w.text(e.baseClass);
    const std::size_t attrCountAt = w.mark();
    w.u32(0);

    nuint32 attrs = 0;
    std::size_t a = it.attrIndex;
    std::size_t v = it.valueIndex;
    bool complete = true;
    for (; a < e.attributes.size(); ++a, v = 0) {
        EntryAttribute& at = it.pending.attributes[a];
        const std::size_t values = it.valuesWanted ? at.values.size() : 0;
        // A value larger than the most an empty batch holds after this entry's and this
        // attribute's headers travels beside the batch, whole, in 8 bytes of it.
        const std::size_t headers = kBatchHeader + head + textSize(at.name) + 8;
        const std::size_t most = w.capacity() > headers ? w.capacity() - headers : 0;
        auto valueSize = [&](const std::string& value) {
            return textSize(value) > most ? std::size_t{8} : textSize(value);
        };
        const std::size_t need = textSize(at.name) + 8 + (v < values ? valueSize(at.values[v]) : 0);
        if (w.room() < need) {
            complete = false;
            break;
        }
        w.text(at.name);
        w.u32(at.syntax);
        const std::size_t countAt = w.mark();
        w.u32(0);
        nuint32 written = 0;
        for (; v < values && w.room() >= valueSize(at.values[v]); ++v, ++written) {
            if (textSize(at.values[v]) > most)
                w.outOfLine(std::move(at.values[v]));
            else
                w.text(at.values[v]);
        }
        w.patch(countAt, written);
        ++attrs;
        if (v < values) {
            complete = false;
            break;
        }
    }
    if (!complete && attrs == 0) {
        w.rewind(start);
        return Piece::None;
    }
    w.patch(attrCountAt, attrs);
    it.attrIndex = a;
    it.valueIndex = v;
    return complete ? Piece::Done : Piece::Partial;
}

// Relative names in values: Dist_Name and the name parts of structured values.
void relativeValue(nuint32 syntax, std::string& value, const std::string& nameContext) {
    std::size_t b, e;
    if (!valueNameSpan(syntax, value, &b, &e))
        return;
    std::string rel = relativeName(std::string_view(value).substr(b, e - b), {}, nameContext);
    value.replace(b, e - b, rel);
}

// Attributes handed back under the names the caller asked for them by; an attribute asked for
// under two names comes back under each.
void renameAttributes(Entry& e, const Iteration& it) {
    for (std::size_t i = 0; i < e.attributes.size(); ++i) {
        auto found = it.askedAs.find(names::lowerAscii(e.attributes[i].name));
        if (found == it.askedAs.end())
            continue;
        const std::vector<std::string>& asked = found->second;
        for (std::size_t k = 1; k < asked.size(); ++k) {
            EntryAttribute copy = e.attributes[i];
            copy.name = asked[k];
            e.attributes.insert(e.attributes.begin() + static_cast<std::ptrdiff_t>(i + k),
                                std::move(copy));
        }
        e.attributes[i].name = asked[0];
        i += asked.size() - 1;
    }
}

// An entry as the caller sees it: names typed or typeless, relative to the name context.
void present(Entry& e, const Context& ctx, const Iteration& it) {
    const bool typeless = (ctx.flags & DCV_TYPELESS_NAMES) != 0;
    if (!typeless || !ctx.nameContext.empty())
        e.name = relativeName(e.name, typeless ? std::string_view() : e.typedName, ctx.nameContext);
    if (it.stripAttributes) {
        e.attributes.clear();
        return;
    }
    if (!it.askedAs.empty())
        renameAttributes(e, it);
    if (ctx.nameContext.empty())
        return;
    for (auto& at : e.attributes) {
        std::size_t b, end;
        if (at.values.empty() || !valueNameSpan(at.syntax, at.values.front(), &b, &end))
            continue;
        for (auto& v : at.values)
            relativeValue(at.syntax, v, ctx.nameContext);
    }
}

// Fills one batch from the iteration's cursor. `more` tells whether another batch follows.
NWDSCCODE fillEntries(Iteration& it, Buf_T& buf, const Context& ctx, nuint32 kind, bool& more) {
    Writer w(buf, batchCapacity(buf), kind);
    nuint32 count = 0;
    for (;;) {
        if (!it.hasPending) {
            if (it.deferred || it.cursorDone)
                break;
            // The entry is read into the storage of the one handed out before it, so that a
            // long search does not allocate its strings anew for every entry.
            Entry& e = it.spare;
            if (!it.cursor->overwritesEntries())
                e = Entry{};
            NWDSCCODE rc = it.cursor->next(e);
            if (rc == EntryCursor::kEndOfEntries) {
                it.cursorDone = true;
                break;
            }
            if (rc != 0) {
                it.failureText = it.cursor->failureText();
                if (count == 0) {
                    clearResult(buf);
                    return rc;
                }
                // Hand out what this batch already holds; the failure ends the next call.
                it.deferred = rc;
                break;
            }
            present(e, ctx, it);
            std::swap(it.pending, e);
            it.hasPending = true;
            ++it.entriesRead;
            it.attrIndex = it.valueIndex = 0;
        }
        Piece p = packPiece(w, it);
        if (p == Piece::None) {
            if (count == 0) {
                // Not even an empty batch holds the next piece: a value (or name) too large
                // for any buffer. Failing is better than cutting the entry short unnoticed.
                clearResult(buf);
                return ERR_BUFFER_FULL;
            }
            break;
        }
        ++count;
        ++it.delivered;
        if (p == Piece::Partial)
            break;
        it.hasPending = false;
    }
    w.finish(count);
    more = it.hasPending || it.deferred != 0;
    return 0;
}

// Fills one batch with whole records.
NWDSCCODE fillRecords(Iteration& it, Buf_T& buf, bool& more) {
    Writer w(buf, batchCapacity(buf), it.resultKind);
    nuint32 count = 0;
    while (it.next < it.records.size()) {
        const std::string& r = it.records[it.next];
        if (w.room() < r.size()) {
            if (count == 0) {
                clearResult(buf);
                return ERR_BUFFER_FULL;
            }
            break;
        }
        w.raw(r);
        ++count;
        ++it.next;
    }
    w.finish(count);
    more = it.next < it.records.size();
    return 0;
}

// The iteration a call continues, or a new one for handle -1.
NWDSCCODE iterationFor(nint32* handle, NWDSContextHandle context, IterationKind kind,
                       Iteration*& out, bool& fresh) {
    out = nullptr;
    fresh = *handle == -1;
    if (fresh)
        return 0;
    auto& its = state().iterations;
    auto found = its.find(*handle);
    if (found == its.end() || found->second->kind != kind || found->second->context != context)
        return ERR_INVALID_ITERATION;
    out = found->second.get();
    return 0;
}

// Keeps a fresh iteration that has more to give, or drops a finished one, and sets the handle.
NWDSCCODE settle(nint32* handle, bool fresh, std::unique_ptr<Iteration>& created, NWDSCCODE rc,
                 bool more) {
    auto& s = state();
    if (rc != 0 || !more) {
        if (!fresh)
            releaseIteration(*handle);
        if (rc == 0)
            *handle = -1;
        return rc;
    }
    if (fresh) {
        const nint32 id = takeIterationId(s);
        s.iterations.emplace(id, std::move(created));
        *handle = id;
    }
    return 0;
}

NWDSCCODE checkCommon(NWDSContextHandle context, nint32* iterationHandle, pBuf_T result,
                      Context*& ctx, Buf_T*& buf) {
    ctx = findContext(context);
    if (!ctx)
        return ERR_BAD_CONTEXT;
    if (!iterationHandle)
        return ERR_INVALID_API_PARAMETER;
    buf = findBuffer(result);
    if (!buf)
        return ERR_INVALID_HANDLE;
    return 0;
}

// Runs one call of an entry iteration (list or search).
NWDSCCODE entryCall(NWDSContextHandle context, nint32* iterationHandle, Buf_T& buf, Context& ctx,
                    IterationKind kind, nuint32 resultKind,
                    NWDSCCODE (*start)(Backend&, Iteration&, void*), void* request,
                    nuint32* delivered) {
    Iteration* it = nullptr;
    bool fresh = false;
    ctx.failureText.clear();
    if (auto rc = iterationFor(iterationHandle, context, kind, it, fresh))
        return rc;
    std::unique_ptr<Iteration> created;
    if (fresh) {
        Backend* backend = nullptr;
        clearResult(buf);
        if (auto rc = backendFor(ctx, backend))
            return rc;
        created = std::make_unique<Iteration>();
        created->kind = kind;
        created->context = context;
        if (auto rc = start(*backend, *created, request))
            return rc;
        if (!created->cursor)
            return ERR_SYSTEM_FAILURE;
        it = created.get();
    } else if (it->deferred && !it->hasPending) {
        const NWDSCCODE rc = it->deferred;
        ctx.failureText = std::move(it->failureText);
        clearResult(buf);
        releaseIteration(*iterationHandle);
        return rc;
    }
    bool more = false;
    NWDSCCODE rc = fillEntries(*it, buf, ctx, resultKind, more);
    if (rc != 0)
        ctx.failureText = std::move(it->failureText);
    if (delivered && rc == 0)
        *delivered = it->delivered;
    return settle(iterationHandle, fresh, created, rc, more);
}

struct ListRequest {
    std::string fullName;
};

NWDSCCODE startList(Backend& backend, Iteration& it, void* request) {
    const auto& r = *static_cast<ListRequest*>(request);
    if (!r.fullName.empty()) {
        Entry base;
        if (auto rc = backend.lookup(r.fullName, base))
            return rc;
    }
    it.valuesWanted = false;
    return backend.list(r.fullName, it.cursor);
}

NWDSCCODE startSearch(Backend& backend, Iteration& it, void* request) {
    auto& r = *static_cast<SearchRequest*>(request);
    if (!r.base.empty()) {
        Entry base;
        if (auto rc = backend.lookup(r.base, base))
            return rc;
    }
    it.valuesWanted = r.valuesWanted;
    it.stripAttributes = !r.allAttributes && r.attributes.empty();
    // An attribute may be asked for by any of its names: the backend is asked by its own name
    // and the values come back under the name asked.
    if (!r.allAttributes) {
        std::vector<std::string> own;
        bool renamed = false;
        for (const std::string& asked : r.attributes) {
            AttrDef def;
            std::string name = backend.readAttribute(asked, def) == 0 ? def.name : asked;
            auto& as = it.askedAs[names::lowerAscii(name)];
            if (as.empty())
                own.push_back(name);
            as.push_back(asked);
            renamed = renamed || as.size() > 1 || name != asked;
        }
        if (renamed)
            r.attributes = std::move(own);
        else
            it.askedAs.clear();
    }
    return backend.search(r, it.cursor);
}

bool isObjectClassEquality(const FilterNode& f) {
    return f.kind == FilterNode::Kind::Equal &&
           (equalNoCase(f.attribute, "Object Class") || equalNoCase(f.attribute, "objectClass"));
}

// The request's filter from the filter buffer's tokens: an "Object Class" equality at the top
// (alone or as a term of an AND) becomes the class the backends search for; whatever else the
// filter asks goes along as the request's further condition.
NWDSCCODE searchFilter(const Buf_T& buf, SearchRequest& request) {
    std::vector<FilterToken> tokens;
    if (!requestFilter(buf, tokens))
        return ERR_INVALID_REQUEST;
    std::vector<FilterTokenView> views;
    views.reserve(tokens.size());
    for (const FilterToken& t : tokens)
        views.push_back({t.tok, t.text});
    auto tree = std::make_shared<FilterNode>();
    if (!filterFromTokens(views, *tree))
        return ERR_INVALID_REQUEST;
    const FilterNode* classItem = nullptr;
    if (isObjectClassEquality(*tree)) {
        classItem = tree.get();
    } else if (tree->kind == FilterNode::Kind::And) {
        auto& terms = tree->children;
        for (auto it = terms.begin(); it != terms.end(); ++it) {
            if (!isObjectClassEquality(*it))
                continue;
            request.filterAttribute = it->attribute;
            request.filterValue = it->value;
            terms.erase(it);
            if (terms.size() == 1) {
                FilterNode only = std::move(terms.front());
                *tree = std::move(only);
            }
            request.filter = std::move(tree);
            return 0;
        }
    }
    if (classItem) {
        request.filterAttribute = classItem->attribute;
        request.filterValue = classItem->value;
    } else {
        request.filter = std::move(tree);
    }
    return 0;
}

} // namespace

NWDSCCODE NWDSList(NWDSContextHandle context, const std::string& object, nint32* iterationHandle,
                   pBuf_T subordinates) {
    if (auto rc = faults::check("NWDSList"))
        return rc;
    Context* ctx;
    Buf_T* buf;
    if (auto rc = checkCommon(context, iterationHandle, subordinates, ctx, buf))
        return rc;
    ListRequest request{resolveName(object, ctx->nameContext)};
    return entryCall(context, iterationHandle, *buf, *ctx, IterationKind::List, kListResult,
                     startList, &request, nullptr);
}

NWDSCCODE NWDSSearch(NWDSContextHandle context, const std::string& baseObjectName, nint32 scope,
                     nbool8, pBuf_T filter, nuint32 infoType, nbool8 allAttrs, pBuf_T attrNames,
                     nint32* iterationHandle, nint32, nint32* countObjectsSearched,
                     pBuf_T objectInfo) {
    if (auto rc = faults::check("NWDSSearch"))
        return rc;
    Context* ctx;
    Buf_T* buf;
    if (auto rc = checkCommon(context, iterationHandle, objectInfo, ctx, buf))
        return rc;
    SearchRequest request;
    if (*iterationHandle == -1) {
        if (scope != DS_SEARCH_ENTRY && scope != DS_SEARCH_SUBORDINATES &&
            scope != DS_SEARCH_SUBTREE)
            return ERR_INVALID_API_PARAMETER;
        if (infoType != DS_ATTRIBUTE_NAMES && infoType != DS_ATTRIBUTE_VALUES)
            return ERR_INVALID_API_PARAMETER;
        Buf_T* filterBuf = findBuffer(filter);
        if (!filterBuf)
            return ERR_INVALID_HANDLE;
        if (auto rc = searchFilter(*filterBuf, request))
            return rc;
        request.base = resolveName(baseObjectName, ctx->nameContext);
        request.scope = scope;
        request.valuesWanted = infoType == DS_ATTRIBUTE_VALUES;
        request.allAttributes = allAttrs != 0;
        if (!request.allAttributes && attrNames) {
            Buf_T* names = findBuffer(attrNames);
            if (!names)
                return ERR_INVALID_HANDLE;
            if (auto rc = requestNames(*names, request.attributes))
                return rc;
        }
    }
    nuint32 delivered = 0;
    NWDSCCODE rc = entryCall(context, iterationHandle, *buf, *ctx, IterationKind::Search,
                             kSearchResult, startSearch, &request, &delivered);
    if (rc == 0 && countObjectsSearched)
        *countObjectsSearched = static_cast<nint32>(delivered);
    return rc;
}

NWDSCCODE NWDSGetFailureText(NWDSContextHandle context, std::string& text) {
    text.clear();
    const Context* ctx = findContext(context);
    if (!ctx)
        return ERR_BAD_CONTEXT;
    text = ctx->failureText;
    return 0;
}

NWDSCCODE NWDSCloseIteration(NWDSContextHandle context, nint32 iterationHandle, nuint32 operation) {
    if (auto rc = faults::check("NWDSCloseIteration"))
        return rc;
    if (!findContext(context))
        return ERR_BAD_CONTEXT;
    IterationKind kind;
    switch (operation) {
    case DSV_SEARCH:
        kind = IterationKind::Search;
        break;
    case DSV_LIST:
        kind = IterationKind::List;
        break;
    case DSV_READ_CLASS_DEF:
        kind = IterationKind::ClassDefs;
        break;
    case DSV_READ_ATTR_DEF:
        kind = IterationKind::AttrDefs;
        break;
    default:
        return ERR_BAD_VERB;
    }
    Iteration* it = nullptr;
    bool fresh = false;
    if (iterationHandle == -1)
        return ERR_INVALID_ITERATION;
    if (auto rc = iterationFor(&iterationHandle, context, kind, it, fresh))
        return rc;
    releaseIteration(iterationHandle);
    return 0;
}

namespace {

// Runs one call of a schema read; `gather` makes the records on the first call.
template <class Gather>
NWDSCCODE recordCall(NWDSContextHandle context, nint32* iterationHandle, pBuf_T result,
                     IterationKind kind, Gather gather) {
    Context* ctx;
    Buf_T* buf;
    if (auto rc = checkCommon(context, iterationHandle, result, ctx, buf))
        return rc;
    Iteration* it = nullptr;
    bool fresh = false;
    if (auto rc = iterationFor(iterationHandle, context, kind, it, fresh))
        return rc;
    std::unique_ptr<Iteration> created;
    if (fresh) {
        clearResult(*buf);
        Backend* backend = nullptr;
        if (auto rc = backendFor(*ctx, backend))
            return rc;
        created = std::make_unique<Iteration>();
        created->kind = kind;
        created->context = context;
        if (auto rc = gather(*backend, *created))
            return rc;
        it = created.get();
    }
    bool more = false;
    NWDSCCODE rc = fillRecords(*it, *buf, more);
    return settle(iterationHandle, fresh, created, rc, more);
}

// Names of a request buffer for a schema read of `operation`; all definitions when `all`.
NWDSCCODE namesAsked(bool all, pBuf_T names, nuint32 operation, std::vector<std::string>& out) {
    out.clear();
    if (all)
        return 0;
    Buf_T* b = findBuffer(names);
    if (!b)
        return ERR_INVALID_HANDLE;
    if (b->operation != operation)
        return ERR_BAD_VERB;
    return requestNames(*b, out);
}

std::string classRecord(const ClassDef& d) {
    std::string r;
    appendText(r, d.name);
    appendU32(r, d.flags);
    appendText(r, d.oid);
    appendList(r, d.superClasses);
    appendList(r, d.containmentClasses);
    appendList(r, d.namingAttributes);
    appendList(r, d.mandatoryAttributes);
    appendList(r, d.optionalAttributes);
    return r;
}

std::string attrRecord(const AttrDef& d, bool full) {
    std::string r;
    appendText(r, d.name);
    if (!full)
        return r;
    appendU32(r, d.flags);
    appendU32(r, d.syntax);
    appendU32(r, d.lower);
    appendU32(r, d.upper);
    appendText(r, d.oid);
    appendText(r, d.ldapName);
    return r;
}

std::string nameRecord(std::string_view name) {
    std::string r;
    appendText(r, name);
    return r;
}

} // namespace

NWDSCCODE NWDSReadClassDef(NWDSContextHandle context, nuint32 infoType, nbool8 allClasses,
                           pBuf_T classNames, nint32* iterationHandle, pBuf_T classDefs) {
    if (auto rc = faults::check("NWDSReadClassDef"))
        return rc;
    if (infoType != DS_CLASS_DEF_NAMES && infoType != DS_CLASS_DEF)
        return ERR_INVALID_API_PARAMETER;
    const bool all = allClasses != 0;
    std::vector<std::string> asked;
    if (iterationHandle && *iterationHandle == -1) {
        if (auto rc = namesAsked(all, classNames, DSV_READ_CLASS_DEF, asked))
            return rc;
    }
    return recordCall(context, iterationHandle, classDefs, IterationKind::ClassDefs,
                      [&](Backend& backend, Iteration& it) -> NWDSCCODE {
                          it.resultKind =
                              infoType == DS_CLASS_DEF ? kClassDefsResult : kClassNamesResult;
                          if (all) {
                              if (auto rc = backend.classNames(asked))
                                  return rc;
                              if (infoType == DS_CLASS_DEF_NAMES) {
                                  for (const auto& n : asked)
                                      it.records.push_back(nameRecord(n));
                                  return 0;
                              }
                          }
                          for (const auto& n : asked) {
                              ClassDef d;
                              if (auto rc = backend.readClass(n, d))
                                  return rc;
                              it.records.push_back(infoType == DS_CLASS_DEF ? classRecord(d)
                                                                            : nameRecord(d.name));
                          }
                          return 0;
                      });
}

NWDSCCODE NWDSReadAttrDef(NWDSContextHandle context, nuint32 infoType, nbool8 allAttrs,
                          pBuf_T attrNames, nint32* iterationHandle, pBuf_T attrDefs) {
    if (auto rc = faults::check("NWDSReadAttrDef"))
        return rc;
    if (infoType != DS_ATTR_DEF_NAMES && infoType != DS_ATTR_DEF)
        return ERR_INVALID_API_PARAMETER;
    const bool all = allAttrs != 0;
    std::vector<std::string> asked;
    if (iterationHandle && *iterationHandle == -1) {
        if (auto rc = namesAsked(all, attrNames, DSV_READ_ATTR_DEF, asked))
            return rc;
    }
    return recordCall(
        context, iterationHandle, attrDefs, IterationKind::AttrDefs,
        [&](Backend& backend, Iteration& it) -> NWDSCCODE {
            const bool full = infoType == DS_ATTR_DEF;
            it.resultKind = full ? kAttrDefsResult : kAttrNamesResult;
            if (all) {
                // The backends list classes, not attribute types: every attribute some class
                // names is every attribute the schema uses, each taken once.
                std::vector<std::string> classes;
                if (auto rc = backend.classNames(classes))
                    return rc;
                std::set<std::string> seen;
                for (const auto& c : classes) {
                    ClassDef d;
                    if (backend.readClass(c, d) != 0)
                        continue;
                    for (const auto* list :
                         {&d.namingAttributes, &d.mandatoryAttributes, &d.optionalAttributes}) {
                        for (const auto& a : *list) {
                            std::string key(a);
                            for (auto& ch : key)
                                ch = (ch >= 'A' && ch <= 'Z') ? char(ch - 'A' + 'a') : ch;
                            if (seen.insert(key).second)
                                asked.push_back(a);
                        }
                    }
                }
            }
            for (const auto& n : asked) {
                AttrDef d;
                if (auto rc = backend.readAttribute(n, d))
                    return rc;
                it.records.push_back(attrRecord(d, full));
            }
            return 0;
        });
}
