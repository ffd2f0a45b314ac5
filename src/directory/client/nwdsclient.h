// Korvanex directory client: the calls the program makes to reach a directory tree.
//
// The calls keep the names, codes, handles, buffer size and batch-by-batch iteration of a NetWare
// directory client, so the rest of the program reads like a client of one. Behind them sit our
// own backends (an embedded directory served from schema + LDIF files, and LDAP servers).
//
// Conventions:
//   - Every call returns an NWDSCCODE: 0 for success, a negative directory code or a positive
//     client code otherwise. A handle, buffer or filter that is not valid gives an error code,
//     never a crash.
//   - Names are typeless dotted names counted from "[root]" ("Sales.Acme"); a period inside a
//     name is escaped as "\.". Names passed in are resolved against the context's name context
//     unless they begin with a period. Names handed back are relative to the name context (the
//     name context's suffix removed) unless the name context is "[root]".
//   - Out texts are std::string, so no name or value is ever cut short.
//   - Buffers are 64512 bytes and really carry what is put into them; result buffers carry
//     batches packed into those bytes. An entry too large for the rest of a result buffer
//     continues in the next batch under the same name.
//   - Iteration handles are -1 before the first call; a call that has more to give returns a
//     handle other than -1, and sets it back to -1 after the last batch.
//
// This header depends on nothing but the standard library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using nint8 = std::int8_t;
using nuint8 = std::uint8_t;
using nint16 = std::int16_t;
using nuint16 = std::uint16_t;
using nint32 = std::int32_t;
using nuint32 = std::uint32_t;
using nbool8 = std::uint8_t;

using NWDSCCODE = nint32;
using NWCCODE = nint32;
using NWDSContextHandle = nint32; // 0 and negative values are never valid contexts
using NWCONN_HANDLE = nuint32;
using nuint_ptr = std::uintptr_t;

struct Buf_T; // opaque: allocated by NWDSAllocBuf, owned by the client
using pBuf_T = Buf_T*;
struct Filter_Cursor_T; // opaque: allocated by NWDSAllocFilter
using pFilter_Cursor_T = Filter_Cursor_T*;

// ---- Sizes -------------------------------------------------------------------------------
constexpr std::size_t DEFAULT_MESSAGE_LEN = 64512; // 0xFC00, the largest buffer the client takes
constexpr std::size_t MAX_DN_CHARS = 256;
constexpr std::size_t MAX_SCHEMA_NAME_CHARS = 32;

// ---- Return codes ------------------------------------------------------------------------
enum : NWDSCCODE {
    NWE_SUCCESS = 0,
    // client-side codes (positive, as a workstation client reports them)
    NWE_NO_MORE_ENTRIES = 0x88FF,        // a scan has nothing more to give
    NWE_CLIENT_NOT_INITIALISED = 0x8801, // NWCallsInit has not succeeded
    NWE_BAD_CONNECTION = 0x8802,
    NWE_BAD_SCAN_HANDLE = 0x8803,
    // directory codes
    ERR_NOT_ENOUGH_MEMORY = -301,
    ERR_BAD_KEY = -302,
    ERR_BAD_CONTEXT = -303,
    ERR_BUFFER_FULL = -304,
    ERR_LIST_EMPTY = -305,
    ERR_BAD_SYNTAX = -306,
    ERR_BUFFER_EMPTY = -307,
    ERR_BAD_VERB = -308,
    ERR_EXPECTED_IDENTIFIER = -309,
    ERR_ATTR_TYPE_EXPECTED = -311,
    ERR_INVALID_OBJECT_NAME = -314,
    ERR_INVALID_HANDLE = -322,
    ERR_BUFFER_ZERO_LENGTH = -323,
    ERR_INVALID_API_PARAMETER = -331,
    ERR_NO_SUCH_ENTRY = -601,
    ERR_NO_SUCH_VALUE = -602,
    ERR_NO_SUCH_ATTRIBUTE = -603,
    ERR_NO_SUCH_CLASS = -604,
    ERR_TRANSPORT_FAILURE = -625,
    ERR_ALL_REFERRALS_FAILED = -626,
    ERR_SYSTEM_FAILURE = -632,
    ERR_UNREACHABLE_SERVER = -636,
    ERR_INVALID_REQUEST = -641,
    ERR_INVALID_ITERATION = -642,
    ERR_TIME_LIMIT_EXCEEDED = -644, // a server ended a search early (time limit)
    ERR_SIZE_LIMIT_EXCEEDED = -645, // a server ended a search early (size or admin limit)
    ERR_FAILED_AUTHENTICATION = -669,
    ERR_NO_ACCESS = -672,
    ERR_INVALID_TREE_NAME = -688, // tree name not known to the client configuration
};

// ---- Context keys and flags --------------------------------------------------------------
enum : int {
    DCK_FLAGS = 1,
    DCK_CONFIDENCE = 2,
    DCK_NAME_CONTEXT = 3,
    DCK_TREE_NAME = 11,
};
enum : nuint32 {
    DCV_DEREF_ALIASES = 0x01,
    DCV_XLATE_STRINGS = 0x02,
    DCV_TYPELESS_NAMES = 0x04,
    DCV_ASYNC_MODE = 0x08,
    DCV_CANONICALIZE_NAMES = 0x10,
};
constexpr nuint32 DCV_DEFAULT_FLAGS =
    DCV_DEREF_ALIASES | DCV_XLATE_STRINGS | DCV_CANONICALIZE_NAMES;

// ---- Buffer operations (NWDSInitBuf) -----------------------------------------------------
enum : nuint32 {
    DSV_READ = 3,
    DSV_LIST = 5,
    DSV_SEARCH = 6,
    DSV_READ_ATTR_DEF = 12,
    DSV_READ_CLASS_DEF = 15,
    DSV_SEARCH_FILTER = 28,
};

// ---- Information types and scopes --------------------------------------------------------
enum : nuint32 {
    DS_ATTRIBUTE_NAMES = 0,  // search: names only
    DS_ATTRIBUTE_VALUES = 1, // search: names and values
    DS_CLASS_DEF_NAMES = 0,  // schema read: class names only
    DS_CLASS_DEF = 1,        // schema read: full class definitions
    DS_ATTR_DEF_NAMES = 0,
    DS_ATTR_DEF = 1,
};
enum : nint32 {
    DS_SEARCH_ENTRY = 0,
    DS_SEARCH_SUBORDINATES = 1,
    DS_SEARCH_SUBTREE = 2,
};

// ---- Object, class and attribute flags ---------------------------------------------------
enum : nuint32 {
    DS_ALIAS_ENTRY = 0x0001,
    DS_PARTITION_ROOT = 0x0002,
    DS_CONTAINER_ENTRY = 0x0004,
    DS_CONTAINER_ALIAS = 0x0008,
};
enum : nuint32 {
    DS_CONTAINER_CLASS = 0x01,
    DS_EFFECTIVE_CLASS = 0x02,
    DS_NONREMOVABLE_CLASS = 0x04,
    DS_AMBIGUOUS_NAMING = 0x08,
};
enum : nuint32 {
    DS_SINGLE_VALUED_ATTR = 0x0001,
    DS_SIZED_ATTR = 0x0002,
    DS_NONREMOVABLE_ATTR = 0x0004,
    DS_READ_ONLY_ATTR = 0x0008,
    DS_HIDDEN_ATTR = 0x0010,
    DS_STRING_ATTR = 0x0020,
    DS_SYNC_IMMEDIATE = 0x0040,
    DS_PUBLIC_READ = 0x0080,
};

// ---- Filter tokens -----------------------------------------------------------------------
enum : nuint16 {
    FTOK_END = 0,
    FTOK_OR = 1,
    FTOK_AND = 2,
    FTOK_NOT = 3,
    FTOK_LPAREN = 4,
    FTOK_RPAREN = 5,
    FTOK_AVAL = 6,
    FTOK_EQ = 7,
    FTOK_GE = 8,
    FTOK_LE = 9,
    FTOK_APPROX = 10,
    FTOK_ANAME = 14,
    FTOK_PRESENT = 15,
    FTOK_SUBSTRINGS = 32, // ANAME SUBSTRINGS AVAL(initial) AVAL(any)... AVAL(final)
};

// ---- Syntax numbers ----------------------------------------------------------------------
enum : nuint32 {
    SYN_UNKNOWN = 0,
    SYN_DIST_NAME = 1,
    SYN_CE_STRING = 2,
    SYN_CI_STRING = 3,
    SYN_PR_STRING = 4,
    SYN_NU_STRING = 5,
    SYN_CI_LIST = 6,
    SYN_BOOLEAN = 7,
    SYN_INTEGER = 8,
    SYN_OCTET_STRING = 9,
    SYN_TEL_NUMBER = 10,
    SYN_FAX_NUMBER = 11,
    SYN_NET_ADDRESS = 12,
    SYN_OCTET_LIST = 13,
    SYN_EMAIL_ADDRESS = 14,
    SYN_PATH = 15,
    SYN_REPLICA_POINTER = 16,
    SYN_OBJECT_ACL = 17,
    SYN_PO_ADDRESS = 18,
    SYN_TIMESTAMP = 19,
    SYN_CLASS_NAME = 20,
    SYN_STREAM = 21,
    SYN_COUNTER = 22,
    SYN_BACK_LINK = 23,
    SYN_TIME = 24,
    SYN_TYPED_NAME = 25,
    SYN_HOLD = 26,
    SYN_INTERVAL = 27,
    SYNTAX_COUNT = 28,
};

// ---- Records handed back -----------------------------------------------------------------
struct Object_Info_T {
    nuint32 objectFlags = 0;      // DS_CONTAINER_ENTRY for containers
    nuint32 subordinateCount = 0; // number of objects directly below
    nuint32 modificationTime = 0; // seconds since 1970, 0 when unknown
    std::string baseClass;        // e.g. "Organizational Unit"
    // Tells the objects of one list or search apart: every piece of an entry that the client
    // continues in the next batch carries the same number, and no other entry of the iteration
    // does. Two siblings may share a typeless name ("ou=Shared" and "cn=Shared").
    nuint32 objectID = 0;
};

struct Class_Info_T {
    nuint32 classFlags = 0; // DS_CONTAINER_CLASS, DS_EFFECTIVE_CLASS, ...
    std::string asn1ID;     // the class's OID
};

struct Attr_Info_T {
    nuint32 attrFlags = 0; // DS_SINGLE_VALUED_ATTR, ...
    nuint32 attrSyntaxID = 0;
    nuint32 attrLower = 0;
    nuint32 attrUpper = 0;
    std::string asn1ID;   // the attribute's OID
    std::string ldapName; // its primary LDAP name ("mail"), "" when it has none
};

// ---- Value layouts -----------------------------------------------------------------------
// NWDSGetAttrVal lays a value out in the caller's area, which must be at least the size that
// NWDSComputeAttrValSize gave and suitably aligned for a pointer. Structured values put their
// record first; the texts and bytes the record points to follow it inside the same area.
// Texts are zero-terminated. The layouts of the syntaxes are:
//   1-5, 10, 20 (texts)            the zero-terminated text itself
//   6  CI_List                     CI_List_T (first item), further items follow
//   7  Boolean                     one byte, 0 or 1
//   8, 22, 27 (numbers)            one int64_t: -2147483648 .. -1 as their nuint32 (0xFFFFFFFF
//                                  for -1), so a value within 32 bits reads as before from the
//                                  first four bytes; a number beyond 32 bits is held whole
//   24 Time                        one nuint32, seconds since 1970-01-01 00:00:00 UTC
//   9  Octet_String                Octet_String_T
//   11 Fax_Number                  Fax_Number_T
//   12 Net_Address                 Net_Address_T
//   13 Octet_List                  Octet_List_T
//   14 Email_Address               EMail_Address_T
//   15 Path                        Path_T
//   16 Replica_Pointer             Replica_Pointer_T
//   17 Object_Acl                  Object_ACL_T
//   18 PO_Address                  Postal_Address_T (six text pointers)
//   19 Timestamp                   NWDS_TimeStamp_T
//   21 Stream                      Octet_String_T (the stream's bytes)
//   23 Back_Link                   Back_Link_T
//   25 Typed_Name                  Typed_Name_T
//   26 Hold                        Hold_T
//   0 and unknown syntaxes         Octet_String_T (the value's raw bytes)
struct CI_List_T {
    CI_List_T* next;
    char* s;
};
struct Octet_String_T {
    nuint32 length;
    nuint8* data;
};
struct Octet_List_T {
    Octet_List_T* next;
    nuint32 length;
    nuint8* data;
};
struct Bit_String_T {
    nuint32 numOfBits;
    nuint8* data;
};
struct Fax_Number_T {
    char* telephoneNumber;
    Bit_String_T parameters;
};
struct Net_Address_T {
    nuint32 addressType; // 0 IPX, 1 IP, others
    nuint32 addressLength;
    nuint8* address;
};
struct EMail_Address_T {
    nuint32 type;
    char* address;
};
struct Path_T {
    nuint32 nameSpaceType;
    char* volumeName;
    char* path;
};
struct Replica_Pointer_T {
    char* serverName;
    nint32 replicaType;
    nint32 replicaNumber;
    nuint32 count;
    Net_Address_T* replicaAddressHint; // `count` entries
};
struct Object_ACL_T {
    char* protectedAttrName;
    char* subjectName;
    nuint32 privileges;
};
using Postal_Address_T = char* [6];
struct NWDS_TimeStamp_T {
    nuint32 wholeSeconds;
    nuint16 replicaNum;
    nuint16 eventID;
};
struct Back_Link_T {
    nuint32 remoteID;
    char* objectName;
};
struct Typed_Name_T {
    char* objectName;
    nuint32 level;
    nuint32 interval;
};
struct Hold_T {
    char* objectName;
    nuint32 amount;
};

// ---- Client start-up and connections -----------------------------------------------------
NWCCODE NWCallsInit(void* reserved1, void* reserved2);
NWCCODE NWCCGetPrimConnRef(nuint32* connRef);
NWCCODE NWCCOpenConnByRef(nuint32 connRef, nuint32 openState, nuint32 reserved,
                          NWCONN_HANDLE* conn);
NWCCODE NWCCCloseConn(NWCONN_HANDLE conn);

// Tree scan: one tree name of the client configuration per call; non-zero when done.
NWDSCCODE NWDSScanForAvailableTrees(NWDSContextHandle context, NWCONN_HANDLE conn,
                                    const std::string& scanFilter, nint32* scanIndex,
                                    std::string& treeName);
// Advertisement scan: the sample trees found beside the program that the configuration does
// not name. `serviceType` is in network byte order (0x7802 for advertised directory trees).
NWCCODE NWAdvScanOpen(nuint16 serviceType, nuint32* scanHandle);
NWCCODE NWAdvScanNext(nuint32 scanHandle, nuint16 nameLength, std::string& name);
NWCCODE NWAdvScanClose(nuint32 scanHandle);

// ---- Contexts ----------------------------------------------------------------------------
NWDSCCODE NWDSCreateContextHandle(NWDSContextHandle* newHandle);
NWDSCCODE NWDSFreeContext(NWDSContextHandle context);
// key DCK_FLAGS / DCK_CONFIDENCE: value is nuint32*; DCK_NAME_CONTEXT / DCK_TREE_NAME: std::string*
NWDSCCODE NWDSGetContext(NWDSContextHandle context, int key, void* value);
NWDSCCODE NWDSSetContext(NWDSContextHandle context, int key, const void* value);
// Why the tree of `context` cannot be opened (a damaged schema or LDIF file with its name and
// line, a missing folder, a refused bind, a certificate that does not verify, a server that
// cannot be reached, a fault in the client configuration that leaves the tree out), or ""
// when nothing is known against it.
NWDSCCODE NWDSGetTreeErrorText(NWDSContextHandle context, std::string& text);
// The context's tree's latest note on what it could not serve while serving the rest (a naming
// context the account may not read); empty when there is none.
NWDSCCODE NWDSGetTreeNoticeText(NWDSContextHandle context, std::string& text);
// What the server gave as the reason when the last list or search call of the context failed
// ("Size limit exceeded", "Time limit exceeded"); empty after a call that succeeded or failed
// without one.
NWDSCCODE NWDSGetFailureText(NWDSContextHandle context, std::string& text);
// Whether the context's tree is read without an identity (an anonymous LDAP bind).
NWDSCCODE NWDSGetTreeBindAnonymous(NWDSContextHandle context, bool& anonymous);
// Why the context's tree cannot answer `filter` as written (an assertion value not of its
// attribute's form; on a tree that matches by itself, an operation its schema has no matching
// rule for), or "" in `fault` when it can; and in `unordered` (when given) the attributes the
// filter orders by (>=, <=) that the schema gives no ordering rule, by the filter's names.
namespace kvx::client {
struct FilterNode;
}
NWDSCCODE NWDSCheckSearchFilter(NWDSContextHandle context, const kvx::client::FilterNode& filter,
                                std::string& fault, std::vector<std::string>* unordered = nullptr);

// ---- Buffers -----------------------------------------------------------------------------
NWDSCCODE NWDSAllocBuf(std::size_t size, pBuf_T* buf);
NWDSCCODE NWDSInitBuf(NWDSContextHandle context, nuint32 operation, pBuf_T buf);
NWDSCCODE NWDSFreeBuf(pBuf_T buf);

// ---- Listing one level -------------------------------------------------------------------
NWDSCCODE NWDSList(NWDSContextHandle context, const std::string& object, nint32* iterationHandle,
                   pBuf_T subordinates);
NWDSCCODE NWDSGetObjectCount(NWDSContextHandle context, pBuf_T buf, nuint32* objectCount);
NWDSCCODE NWDSGetObjectName(NWDSContextHandle context, pBuf_T buf, std::string& objectName,
                            nuint32* attrCount, Object_Info_T* objectInfo);

// ---- Schema ------------------------------------------------------------------------------
NWDSCCODE NWDSPutClassName(NWDSContextHandle context, pBuf_T buf, const std::string& itemName);
NWDSCCODE NWDSReadClassDef(NWDSContextHandle context, nuint32 infoType, nbool8 allClasses,
                           pBuf_T classNames, nint32* iterationHandle, pBuf_T classDefs);
NWDSCCODE NWDSGetClassDefCount(NWDSContextHandle context, pBuf_T buf, nuint32* classDefCount);
NWDSCCODE NWDSGetClassDef(NWDSContextHandle context, pBuf_T buf, std::string& className,
                          Class_Info_T* classInfo);
NWDSCCODE NWDSGetClassItemCount(NWDSContextHandle context, pBuf_T buf, nuint32* itemCount);
NWDSCCODE NWDSGetClassItem(NWDSContextHandle context, pBuf_T buf, std::string& itemName);
NWDSCCODE NWDSReadAttrDef(NWDSContextHandle context, nuint32 infoType, nbool8 allAttrs,
                          pBuf_T attrNames, nint32* iterationHandle, pBuf_T attrDefs);
NWDSCCODE NWDSGetAttrCount(NWDSContextHandle context, pBuf_T buf, nuint32* attrCount);
NWDSCCODE NWDSGetAttrDef(NWDSContextHandle context, pBuf_T buf, std::string& attrName,
                         Attr_Info_T* attrInfo);

// ---- Search ------------------------------------------------------------------------------
NWDSCCODE NWDSPutAttrName(NWDSContextHandle context, pBuf_T buf, const std::string& attrName);
NWDSCCODE NWDSAllocFilter(pFilter_Cursor_T* cur);
NWDSCCODE NWDSAddFilterToken(pFilter_Cursor_T cur, nuint16 tok, const void* val, nuint32 syntax);
using FilterFreeFn = void (*)(nuint32 syntax, void* val);
NWDSCCODE NWDSPutFilter(NWDSContextHandle context, pBuf_T buf, pFilter_Cursor_T cur,
                        FilterFreeFn freeVal);
NWDSCCODE NWDSFreeFilter(pFilter_Cursor_T cur, FilterFreeFn freeVal);
NWDSCCODE NWDSSearch(NWDSContextHandle context, const std::string& baseObjectName, nint32 scope,
                     nbool8 searchAliases, pBuf_T filter, nuint32 infoType, nbool8 allAttrs,
                     pBuf_T attrNames, nint32* iterationHandle, nint32 countObjectsToSearch,
                     nint32* countObjectsSearched, pBuf_T objectInfo);
// Ends an iteration before its last batch (a search the caller stops): what the backend holds
// for it is released and the handle is no longer valid. `operation` is the iteration's own
// (DSV_SEARCH, DSV_LIST, DSV_READ_CLASS_DEF or DSV_READ_ATTR_DEF); ERR_INVALID_ITERATION for a
// handle that is not one of the context's iterations of that operation.
NWDSCCODE NWDSCloseIteration(NWDSContextHandle context, nint32 iterationHandle, nuint32 operation);
NWDSCCODE NWDSGetAttrName(NWDSContextHandle context, pBuf_T buf, std::string& attrName,
                          nuint32* attrValCount, nuint32* syntaxID);
NWDSCCODE NWDSComputeAttrValSize(NWDSContextHandle context, pBuf_T buf, nuint32 syntaxID,
                                 std::size_t* attrValSize);
NWDSCCODE NWDSGetAttrVal(NWDSContextHandle context, pBuf_T buf, nuint32 syntaxID, void* attrVal);
