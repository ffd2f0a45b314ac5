// Buffers: allocation, requests (names and filters put into them) and reading result batches.
//
// A request buffer holds a count and length-prefixed items after it:
//   names (operations 3, 6, 12, 15): u32 count, then per name u32 length + bytes
//   filter (operation 28):          u32 count, then per token u16 token, u32 syntax,
//                                   u32 length + bytes of the value text
// A result batch starts with u32 kind and u32 entry count; calls_search.cpp writes the entries.
#include "nwdsclient.h"

#include "calls_internal.h"
#include "faults.h"
#include "values.h"

using namespace kvx::client;
using namespace kvx::client::calls;

namespace kvx::client::calls {

void clearResult(Buf_T& buf) {
    buf.resultKind = kNoResult;
    buf.pos = buf.end = 0;
    buf.entriesLeft = buf.attrsLeft = buf.valuesLeft = buf.listsLeft = buf.itemsLeft = 0;
    buf.outOfLine.clear();
}

NWDSCCODE requestNames(const Buf_T& buf, std::vector<std::string>& out) {
    out.clear();
    if (buf.operation != DSV_SEARCH && buf.operation != DSV_READ &&
        buf.operation != DSV_READ_ATTR_DEF && buf.operation != DSV_READ_CLASS_DEF)
        return ERR_BAD_VERB;
    const unsigned char* b = buf.bytes.data();
    const std::size_t end = buf.used;
    if (end < 4)
        return 0;
    const nuint32 count = get32(b);
    std::size_t pos = 4;
    for (nuint32 i = 0; i < count; ++i) {
        if (end - pos < 4)
            return ERR_BAD_SYNTAX;
        const nuint32 len = get32(b + pos);
        pos += 4;
        if (end - pos < len)
            return ERR_BAD_SYNTAX;
        out.emplace_back(reinterpret_cast<const char*>(b + pos), len);
        pos += len;
    }
    return 0;
}

bool requestFilter(const Buf_T& buf, std::vector<FilterToken>& out) {
    out.clear();
    if (buf.operation != DSV_SEARCH_FILTER || buf.used < 4)
        return false;
    const unsigned char* b = buf.bytes.data();
    const std::size_t end = buf.used;
    const nuint32 count = get32(b);
    std::size_t pos = 4;
    for (nuint32 i = 0; i < count; ++i) {
        if (end - pos < 10)
            return false;
        FilterToken t;
        nuint16 tok;
        std::memcpy(&tok, b + pos, 2);
        t.tok = tok;
        t.syntax = get32(b + pos + 2);
        const nuint32 len = get32(b + pos + 6);
        pos += 10;
        if (end - pos < len)
            return false;
        t.text.assign(reinterpret_cast<const char*>(b + pos), len);
        pos += len;
        out.push_back(std::move(t));
    }
    return count > 0;
}

} // namespace kvx::client::calls

namespace {

// The context and buffer of a call, both checked; 0 or the code to fail with.
NWDSCCODE contextAndBuffer(NWDSContextHandle context, pBuf_T buf, Buf_T*& out) {
    if (!findContext(context))
        return ERR_BAD_CONTEXT;
    out = findBuffer(buf);
    return out ? 0 : ERR_INVALID_HANDLE;
}

NWDSCCODE putName(NWDSContextHandle context, pBuf_T buf, const std::string& name) {
    Buf_T* b;
    if (auto rc = contextAndBuffer(context, buf, b))
        return rc;
    if (b->operation != DSV_SEARCH && b->operation != DSV_READ &&
        b->operation != DSV_READ_ATTR_DEF && b->operation != DSV_READ_CLASS_DEF)
        return ERR_BAD_VERB;
    const std::size_t need = 4 + name.size();
    if (b->bytes.size() - b->used < need || name.size() > UINT32_MAX)
        return ERR_BUFFER_FULL;
    unsigned char* p = b->bytes.data();
    put32(p + b->used, static_cast<nuint32>(name.size()));
    if (!name.empty())
        std::memcpy(p + b->used + 4, name.data(), name.size());
    b->used += need;
    put32(p, get32(p) + 1);
    return 0;
}

void freeTokens(Filter_Cursor_T& cur, FilterFreeFn freeVal) {
    if (!freeVal)
        return;
    for (auto& t : cur.tokens) {
        if (t.original)
            freeVal(t.syntax, t.original);
    }
}

// Skips what the caller left unread of the current object, so the next object starts right.
bool skipValues(Buf_T& b) {
    std::string_view v;
    for (; b.valuesLeft > 0; --b.valuesLeft) {
        if (!readValue(b, v))
            return false;
    }
    return true;
}

bool skipAttributes(Buf_T& b) {
    if (!skipValues(b))
        return false;
    std::string_view name;
    nuint32 syntax, count;
    for (; b.attrsLeft > 0; --b.attrsLeft) {
        if (!readText(b, name) || !read32(b, syntax) || !read32(b, count))
            return false;
        b.valuesLeft = count;
        if (!skipValues(b))
            return false;
    }
    return true;
}

bool skipItems(Buf_T& b) {
    std::string_view v;
    for (; b.itemsLeft > 0; --b.itemsLeft) {
        if (!readText(b, v))
            return false;
    }
    return true;
}

bool skipLists(Buf_T& b) {
    if (!skipItems(b))
        return false;
    for (; b.listsLeft > 0; --b.listsLeft) {
        nuint32 n;
        if (!read32(b, n))
            return false;
        b.itemsLeft = n;
        if (!skipItems(b))
            return false;
    }
    return true;
}

// A buffer whose bytes do not read as its kind says is treated as drained.
NWDSCCODE drained(Buf_T& b) {
    clearResult(b);
    return ERR_BUFFER_EMPTY;
}

NWDSCCODE entryCount(NWDSContextHandle context, pBuf_T buf, nuint32* count, nuint32 kindA,
                     nuint32 kindB) {
    Buf_T* b;
    if (auto rc = contextAndBuffer(context, buf, b))
        return rc;
    if (!count)
        return ERR_INVALID_API_PARAMETER;
    if (b->resultKind == kNoResult)
        return ERR_BUFFER_EMPTY;
    if (b->resultKind != kindA && b->resultKind != kindB)
        return ERR_BAD_VERB;
    *count = get32(b->bytes.data() + 4);
    return 0;
}

} // namespace

NWDSCCODE NWDSAllocBuf(std::size_t size, pBuf_T* buf) {
    if (auto rc = faults::check("NWDSAllocBuf"))
        return rc;
    if (!buf)
        return ERR_INVALID_API_PARAMETER;
    if (size == 0)
        return ERR_BUFFER_ZERO_LENGTH;
    // The client takes no buffer larger than its largest message; a smaller one than asked
    // would be a silent surprise, so a larger request is refused.
    if (size > DEFAULT_MESSAGE_LEN)
        return ERR_INVALID_API_PARAMETER;
    if (size < kBatchHeader + 8)
        return ERR_INVALID_API_PARAMETER;
    auto b = std::make_unique<Buf_T>();
    b->bytes.assign(size, 0);
    Buf_T* raw = b.get();
    state().buffers.emplace(raw, std::move(b));
    *buf = raw;
    return 0;
}

NWDSCCODE NWDSInitBuf(NWDSContextHandle context, nuint32 operation, pBuf_T buf) {
    if (auto rc = faults::check("NWDSInitBuf"))
        return rc;
    Buf_T* b;
    if (auto rc = contextAndBuffer(context, buf, b))
        return rc;
    if (operation != DSV_READ && operation != DSV_SEARCH && operation != DSV_READ_ATTR_DEF &&
        operation != DSV_READ_CLASS_DEF && operation != DSV_SEARCH_FILTER)
        return ERR_BAD_VERB;
    clearResult(*b);
    b->operation = operation;
    put32(b->bytes.data(), 0);
    b->used = 4;
    return 0;
}

NWDSCCODE NWDSFreeBuf(pBuf_T buf) {
    if (auto rc = faults::check("NWDSFreeBuf"))
        return rc;
    return state().buffers.erase(buf) ? 0 : ERR_INVALID_HANDLE;
}

NWDSCCODE NWDSPutAttrName(NWDSContextHandle context, pBuf_T buf, const std::string& attrName) {
    if (auto rc = faults::check("NWDSPutAttrName"))
        return rc;
    return putName(context, buf, attrName);
}

NWDSCCODE NWDSPutClassName(NWDSContextHandle context, pBuf_T buf, const std::string& itemName) {
    if (auto rc = faults::check("NWDSPutClassName"))
        return rc;
    return putName(context, buf, itemName);
}

// ---- Filters ----------------------------------------------------------------------------

NWDSCCODE NWDSAllocFilter(pFilter_Cursor_T* cur) {
    if (auto rc = faults::check("NWDSAllocFilter"))
        return rc;
    if (!cur)
        return ERR_INVALID_API_PARAMETER;
    auto f = std::make_unique<Filter_Cursor_T>();
    Filter_Cursor_T* raw = f.get();
    state().filters.emplace(raw, std::move(f));
    *cur = raw;
    return 0;
}

NWDSCCODE NWDSAddFilterToken(pFilter_Cursor_T cur, nuint16 tok, const void* val, nuint32 syntax) {
    if (auto rc = faults::check("NWDSAddFilterToken"))
        return rc;
    auto& filters = state().filters;
    auto it = filters.find(cur);
    if (it == filters.end())
        return ERR_INVALID_HANDLE;
    const bool known =
        tok <= FTOK_APPROX || tok == FTOK_ANAME || tok == FTOK_PRESENT || tok == FTOK_SUBSTRINGS;
    if (!known)
        return ERR_BAD_SYNTAX;
    Filter_Cursor_T::Token t;
    t.tok = tok;
    t.syntax = syntax;
    if (tok == FTOK_ANAME || tok == FTOK_AVAL) {
        if (!val)
            return ERR_INVALID_API_PARAMETER;
        t.text = static_cast<const char*>(val);
    }
    t.original = const_cast<void*>(val);
    it->second->tokens.push_back(std::move(t));
    return 0;
}

NWDSCCODE NWDSPutFilter(NWDSContextHandle context, pBuf_T buf, pFilter_Cursor_T cur,
                        FilterFreeFn freeVal) {
    if (auto rc = faults::check("NWDSPutFilter"))
        return rc;
    Buf_T* b;
    if (auto rc = contextAndBuffer(context, buf, b))
        return rc;
    auto& filters = state().filters;
    auto it = filters.find(cur);
    if (it == filters.end())
        return ERR_INVALID_HANDLE;
    if (b->operation != DSV_SEARCH_FILTER)
        return ERR_BAD_VERB;
    const auto& tokens = it->second->tokens;
    std::size_t need = 4;
    for (const auto& t : tokens)
        need += 10 + t.text.size();
    if (need > b->bytes.size())
        return ERR_BUFFER_FULL;
    unsigned char* p = b->bytes.data();
    put32(p, static_cast<nuint32>(tokens.size()));
    std::size_t pos = 4;
    for (const auto& t : tokens) {
        std::memcpy(p + pos, &t.tok, 2);
        put32(p + pos + 2, t.syntax);
        put32(p + pos + 6, static_cast<nuint32>(t.text.size()));
        if (!t.text.empty())
            std::memcpy(p + pos + 10, t.text.data(), t.text.size());
        pos += 10 + t.text.size();
    }
    b->used = pos;
    // The expression now belongs to the buffer; the client frees it here.
    freeTokens(*it->second, freeVal);
    filters.erase(it);
    return 0;
}

NWDSCCODE NWDSFreeFilter(pFilter_Cursor_T cur, FilterFreeFn freeVal) {
    if (auto rc = faults::check("NWDSFreeFilter"))
        return rc;
    auto& filters = state().filters;
    auto it = filters.find(cur);
    if (it == filters.end())
        return ERR_INVALID_HANDLE;
    freeTokens(*it->second, freeVal);
    filters.erase(it);
    return 0;
}

// ---- Reading list and search batches ----------------------------------------------------

NWDSCCODE NWDSGetObjectCount(NWDSContextHandle context, pBuf_T buf, nuint32* objectCount) {
    if (auto rc = faults::check("NWDSGetObjectCount"))
        return rc;
    return entryCount(context, buf, objectCount, kListResult, kSearchResult);
}

NWDSCCODE NWDSGetObjectName(NWDSContextHandle context, pBuf_T buf, std::string& objectName,
                            nuint32* attrCount, Object_Info_T* objectInfo) {
    if (auto rc = faults::check("NWDSGetObjectName"))
        return rc;
    Buf_T* b;
    if (auto rc = contextAndBuffer(context, buf, b))
        return rc;
    if (b->resultKind == kNoResult)
        return ERR_BUFFER_EMPTY;
    if (b->resultKind != kListResult && b->resultKind != kSearchResult)
        return ERR_BAD_VERB;
    if (!skipAttributes(*b))
        return drained(*b);
    if (b->entriesLeft == 0)
        return ERR_BUFFER_EMPTY;
    std::string_view name, baseClass;
    nuint32 id, flags, subordinates, modified, attrs;
    if (!readText(*b, name) || !read32(*b, id) || !read32(*b, flags) || !read32(*b, subordinates) ||
        !read32(*b, modified) || !readText(*b, baseClass) || !read32(*b, attrs))
        return drained(*b);
    --b->entriesLeft;
    b->attrsLeft = attrs;
    b->valuesLeft = 0;
    objectName.assign(name);
    if (attrCount)
        *attrCount = attrs;
    if (objectInfo) {
        objectInfo->objectFlags = flags;
        objectInfo->subordinateCount = subordinates;
        objectInfo->modificationTime = modified;
        objectInfo->baseClass.assign(baseClass);
        objectInfo->objectID = id;
    }
    return 0;
}

NWDSCCODE NWDSGetAttrName(NWDSContextHandle context, pBuf_T buf, std::string& attrName,
                          nuint32* attrValCount, nuint32* syntaxID) {
    if (auto rc = faults::check("NWDSGetAttrName"))
        return rc;
    Buf_T* b;
    if (auto rc = contextAndBuffer(context, buf, b))
        return rc;
    if (b->resultKind != kSearchResult)
        return b->resultKind == kNoResult ? ERR_BUFFER_EMPTY : ERR_BAD_VERB;
    if (!skipValues(*b))
        return drained(*b);
    if (b->attrsLeft == 0)
        return ERR_BUFFER_EMPTY;
    std::string_view name;
    nuint32 syntax, count;
    if (!readText(*b, name) || !read32(*b, syntax) || !read32(*b, count))
        return drained(*b);
    --b->attrsLeft;
    b->valuesLeft = count;
    attrName.assign(name);
    if (attrValCount)
        *attrValCount = count;
    if (syntaxID)
        *syntaxID = syntax;
    return 0;
}

NWDSCCODE NWDSComputeAttrValSize(NWDSContextHandle context, pBuf_T buf, nuint32 syntaxID,
                                 std::size_t* attrValSize) {
    if (auto rc = faults::check("NWDSComputeAttrValSize"))
        return rc;
    Buf_T* b;
    if (auto rc = contextAndBuffer(context, buf, b))
        return rc;
    if (!attrValSize)
        return ERR_INVALID_API_PARAMETER;
    if (b->resultKind != kSearchResult || b->valuesLeft == 0)
        return ERR_BUFFER_EMPTY;
    const std::size_t save = b->pos;
    std::string_view value;
    if (!readValue(*b, value))
        return drained(*b);
    b->pos = save; // sizing does not move the reader
    *attrValSize = layoutSize(syntaxID, value);
    return 0;
}

NWDSCCODE NWDSGetAttrVal(NWDSContextHandle context, pBuf_T buf, nuint32 syntaxID, void* attrVal) {
    if (auto rc = faults::check("NWDSGetAttrVal"))
        return rc;
    Buf_T* b;
    if (auto rc = contextAndBuffer(context, buf, b))
        return rc;
    if (!attrVal)
        return ERR_INVALID_API_PARAMETER;
    if (b->resultKind != kSearchResult || b->valuesLeft == 0)
        return ERR_BUFFER_EMPTY;
    std::string_view value;
    if (!readValue(*b, value))
        return drained(*b);
    --b->valuesLeft;
    return layoutValue(syntaxID, value, attrVal, layoutSize(syntaxID, value));
}

// ---- Reading schema batches -------------------------------------------------------------

NWDSCCODE NWDSGetClassDefCount(NWDSContextHandle context, pBuf_T buf, nuint32* classDefCount) {
    if (auto rc = faults::check("NWDSGetClassDefCount"))
        return rc;
    return entryCount(context, buf, classDefCount, kClassNamesResult, kClassDefsResult);
}

NWDSCCODE NWDSGetClassDef(NWDSContextHandle context, pBuf_T buf, std::string& className,
                          Class_Info_T* classInfo) {
    if (auto rc = faults::check("NWDSGetClassDef"))
        return rc;
    Buf_T* b;
    if (auto rc = contextAndBuffer(context, buf, b))
        return rc;
    if (b->resultKind == kClassNamesResult) {
        // A names-only batch: the definition is its name alone.
        std::string_view name;
        if (b->entriesLeft == 0)
            return ERR_BUFFER_EMPTY;
        if (!readText(*b, name))
            return drained(*b);
        --b->entriesLeft;
        className.assign(name);
        if (classInfo)
            *classInfo = Class_Info_T{};
        return 0;
    }
    if (b->resultKind != kClassDefsResult)
        return b->resultKind == kNoResult ? ERR_BUFFER_EMPTY : ERR_BAD_VERB;
    if (!skipLists(*b))
        return drained(*b);
    if (b->entriesLeft == 0)
        return ERR_BUFFER_EMPTY;
    std::string_view name, oid;
    nuint32 flags;
    if (!readText(*b, name) || !read32(*b, flags) || !readText(*b, oid))
        return drained(*b);
    --b->entriesLeft;
    b->listsLeft = 5;
    b->itemsLeft = 0;
    className.assign(name);
    if (classInfo) {
        classInfo->classFlags = flags;
        classInfo->asn1ID.assign(oid);
    }
    return 0;
}

NWDSCCODE NWDSGetClassItemCount(NWDSContextHandle context, pBuf_T buf, nuint32* itemCount) {
    if (auto rc = faults::check("NWDSGetClassItemCount"))
        return rc;
    Buf_T* b;
    if (auto rc = contextAndBuffer(context, buf, b))
        return rc;
    if (!itemCount)
        return ERR_INVALID_API_PARAMETER;
    if (b->resultKind != kClassDefsResult)
        return b->resultKind == kNoResult ? ERR_BUFFER_EMPTY : ERR_BAD_VERB;
    if (!skipItems(*b))
        return drained(*b);
    if (b->listsLeft == 0)
        return ERR_BUFFER_EMPTY;
    nuint32 n;
    if (!read32(*b, n))
        return drained(*b);
    --b->listsLeft;
    b->itemsLeft = n;
    *itemCount = n;
    return 0;
}

NWDSCCODE NWDSGetClassItem(NWDSContextHandle context, pBuf_T buf, std::string& itemName) {
    if (auto rc = faults::check("NWDSGetClassItem"))
        return rc;
    Buf_T* b;
    if (auto rc = contextAndBuffer(context, buf, b))
        return rc;
    std::string_view name;
    if (b->resultKind == kClassNamesResult) {
        if (b->entriesLeft == 0)
            return ERR_BUFFER_EMPTY;
        if (!readText(*b, name))
            return drained(*b);
        --b->entriesLeft;
    } else if (b->resultKind == kClassDefsResult) {
        if (b->itemsLeft == 0)
            return ERR_BUFFER_EMPTY;
        if (!readText(*b, name))
            return drained(*b);
        --b->itemsLeft;
    } else {
        return b->resultKind == kNoResult ? ERR_BUFFER_EMPTY : ERR_BAD_VERB;
    }
    itemName.assign(name);
    return 0;
}

NWDSCCODE NWDSGetAttrCount(NWDSContextHandle context, pBuf_T buf, nuint32* attrCount) {
    if (auto rc = faults::check("NWDSGetAttrCount"))
        return rc;
    return entryCount(context, buf, attrCount, kAttrNamesResult, kAttrDefsResult);
}

NWDSCCODE NWDSGetAttrDef(NWDSContextHandle context, pBuf_T buf, std::string& attrName,
                         Attr_Info_T* attrInfo) {
    if (auto rc = faults::check("NWDSGetAttrDef"))
        return rc;
    Buf_T* b;
    if (auto rc = contextAndBuffer(context, buf, b))
        return rc;
    if (b->resultKind != kAttrNamesResult && b->resultKind != kAttrDefsResult)
        return b->resultKind == kNoResult ? ERR_BUFFER_EMPTY : ERR_BAD_VERB;
    if (b->entriesLeft == 0)
        return ERR_BUFFER_EMPTY;
    std::string_view name, oid, ldapName;
    nuint32 flags = 0, syntax = 0, lower = 0, upper = 0;
    if (!readText(*b, name))
        return drained(*b);
    if (b->resultKind == kAttrDefsResult &&
        (!read32(*b, flags) || !read32(*b, syntax) || !read32(*b, lower) || !read32(*b, upper) ||
         !readText(*b, oid) || !readText(*b, ldapName)))
        return drained(*b);
    --b->entriesLeft;
    attrName.assign(name);
    if (attrInfo) {
        attrInfo->attrFlags = flags;
        attrInfo->attrSyntaxID = syntax;
        attrInfo->attrLower = lower;
        attrInfo->attrUpper = upper;
        attrInfo->asn1ID.assign(oid);
        attrInfo->ldapName.assign(ldapName);
    }
    return 0;
}
