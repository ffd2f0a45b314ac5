// Inner state of the client calls: what sits behind contexts, buffers, filters, iterations,
// connections and scans, and the helpers the call files share. Not part of the client's API.
#pragma once

#include "backend.h"
#include "nwdsclient.h"
#include "registry.h"

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// A buffer of NWDSAllocBuf. Requests (NWDSInitBuf + put calls) write a name list or a filter
// into `bytes`; result calls write one batch into `bytes` and the get calls walk a cursor
// through it. Every read is checked against `end`, so no state of the buffer can make a read
// leave its bytes.
struct Buf_T {
    std::vector<unsigned char> bytes; // the whole buffer, its size fixed at allocation

    // Request side: the operation of NWDSInitBuf (0 when not initialised) and the bytes used.
    nuint32 operation = 0;
    std::size_t used = 0;

    // Result side: what the batch holds and where the reader stands.
    nuint32 resultKind = 0; // kvx::client::calls::ResultKind; 0 when the buffer holds none
    std::size_t pos = 0;
    std::size_t end = 0;
    nuint32 entriesLeft = 0; // entries (objects, class or attribute definitions, names) unread
    nuint32 attrsLeft = 0;   // attributes of the current object unread
    nuint32 valuesLeft = 0;  // values of the current attribute unread
    nuint32 listsLeft = 0;   // item lists of the current class definition unread
    nuint32 itemsLeft = 0;   // items of the current item list unread

    // Values too large for any batch: the batch holds kOutOfLine and an index into these.
    std::vector<std::string> outOfLine;
};

// A filter expression being built by NWDSAddFilterToken.
struct Filter_Cursor_T {
    struct Token {
        nuint16 tok = FTOK_END;
        nuint32 syntax = 0;
        std::string text;         // copy of the value text (FTOK_ANAME, FTOK_AVAL)
        void* original = nullptr; // the caller's value, handed to its free routine
    };
    std::vector<Token> tokens;
};

namespace kvx::client::calls {

enum ResultKind : nuint32 {
    kNoResult = 0,
    kListResult = 1,
    kSearchResult = 2,
    kClassNamesResult = 3,
    kClassDefsResult = 4,
    kAttrNamesResult = 5,
    kAttrDefsResult = 6,
};

// Size of the batch header: result kind and entry count.
constexpr std::size_t kBatchHeader = 8;
// In place of a value's length: the value is carried beside the batch (Buf_T::outOfLine), the
// next u32 says which. No length in a batch comes near it.
constexpr nuint32 kOutOfLine = 0xFFFFFFFFu;

struct Context {
    nuint32 flags = DCV_DEFAULT_FLAGS;
    nuint32 confidence = 0;
    std::string nameContext; // typeless full name; "" is the root
    bool treeSet = false;
    std::string tree;
    std::string failureText; // the reason given for the failure of the last list or search call
};

enum class IterationKind { List, Search, ClassDefs, AttrDefs };

struct Iteration {
    IterationKind kind = IterationKind::List;
    NWDSContextHandle context = 0;

    // List and search: the backend's cursor and the entry being handed out, which may continue
    // over several batches (attrIndex / valueIndex: where its next piece starts).
    std::unique_ptr<EntryCursor> cursor;
    bool cursorDone = false;
    NWDSCCODE deferred = 0;  // a cursor failure to report on the next call
    std::string failureText; // what the cursor said of its failure
    bool hasPending = false;
    Entry pending;
    Entry spare; // storage for the next entry read
    std::size_t attrIndex = 0;
    std::size_t valueIndex = 0;
    bool valuesWanted = true;
    bool stripAttributes = false;
    // Attributes the caller named otherwise than the backend names them (an LDAP name, alias
    // or OID for "Surname"): by the backend's name in lower case, the names asked, in order.
    std::unordered_map<std::string, std::vector<std::string>> askedAs;
    nuint32 delivered = 0;   // entries and pieces handed out so far
    nuint32 entriesRead = 0; // entries taken from the cursor: the pending one's object ID

    // Schema reads: serialized records, each packed whole into a batch.
    nuint32 resultKind = kNoResult;
    std::vector<std::string> records;
    std::size_t next = 0;
};

struct AdvScan {
    std::vector<std::string> names;
    std::size_t next = 0;
};

struct State {
    std::unique_ptr<TreeProvider> provider;
    bool initialised = false;

    std::map<NWDSContextHandle, Context> contexts;
    NWDSContextHandle nextContext = 1;

    std::unordered_map<Buf_T*, std::unique_ptr<Buf_T>> buffers;
    std::unordered_map<Filter_Cursor_T*, std::unique_ptr<Filter_Cursor_T>> filters;

    std::map<nint32, std::unique_ptr<Iteration>> iterations;
    nint32 nextIteration = 1;

    std::map<nuint32, AdvScan> advScans;
    nuint32 nextScan = 1;
    std::map<NWCONN_HANDLE, bool> connections;
    NWCONN_HANDLE nextConnection = 1;

    std::size_t capacityForTesting = 0; // 0: the buffer's own size
};

State& state();
// Drops every context, buffer, filter, iteration, connection and scan (not the provider).
void forgetHandles(State& s);

// Looks-ups that never touch memory the client does not own: nullptr for unknown handles.
Context* findContext(NWDSContextHandle handle);
Buf_T* findBuffer(pBuf_T buf);

// The backend serving a context's tree, opened. 0, or the code to fail the call with.
NWDSCCODE backendFor(const Context& ctx, Backend*& out);

// Next free id in a positive counter that wraps past the largest value.
nint32 takeIterationId(State& s);
void releaseIteration(nint32 id);
void releaseIterationsOf(NWDSContextHandle context);

// ---- Names ------------------------------------------------------------------------------
bool equalNoCase(std::string_view a, std::string_view b);
bool isRootText(std::string_view name);
// Offsets at which the components of a dotted name start ("\." is not a separator).
void componentStarts(std::string_view name, std::vector<std::size_t>& out);
// The full name a caller means by `name`, given the context's name context.
std::string resolveName(std::string_view name, const std::string& nameContext);
// `fullName` as handed back under `nameContext`: the context's suffix removed. `typedName`,
// when not empty, is the same name in typed form; the result is then typed as well.
std::string relativeName(std::string_view fullName, std::string_view typedName,
                         std::string_view nameContext);

// ---- Value text helpers shared with values.cpp ------------------------------------------
// The span [begin, end) of `text` that holds a directory name for syntaxes that carry one
// (Dist_Name and the name parts of structured values); false when the syntax carries none.
bool valueNameSpan(nuint32 syntax, std::string_view text, std::size_t* begin, std::size_t* end);

// ---- Byte helpers -----------------------------------------------------------------------
inline void put32(unsigned char* at, nuint32 v) {
    std::memcpy(at, &v, 4);
}
inline nuint32 get32(const unsigned char* at) {
    nuint32 v;
    std::memcpy(&v, at, 4);
    return v;
}

// Bounded reads from a result batch; false (and nothing read) past the batch's end.
bool read32(Buf_T& buf, nuint32& v);
bool readText(Buf_T& buf, std::string_view& text);
// An attribute value: a text, or one carried beside the batch.
bool readValue(Buf_T& buf, std::string_view& value);

// ---- Request buffers --------------------------------------------------------------------
// The names put into a request buffer (operations 3, 6, 12, 15), in the order put.
NWDSCCODE requestNames(const Buf_T& buf, std::vector<std::string>& out);
struct FilterToken {
    nuint16 tok = FTOK_END;
    nuint32 syntax = 0;
    std::string text;
};
// The filter put into a filter buffer (operation 28); false when it holds none.
bool requestFilter(const Buf_T& buf, std::vector<FilterToken>& out);

// Clears the result a buffer holds, so that nothing stale can be read from it.
void clearResult(Buf_T& buf);

} // namespace kvx::client::calls
