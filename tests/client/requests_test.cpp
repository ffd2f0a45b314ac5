// Contexts, buffers, request names and filters: what the calls accept and refuse.
#include "client_fixture.h"

using namespace kvx::client;
using namespace kvx::client::testing;

class RequestTest : public ClientTest {};

TEST_F(RequestTest, ContextDefaultsAndKeys) {
    NWDSContextHandle fresh;
    ASSERT_EQ(NWDSCreateContextHandle(&fresh), 0);
    EXPECT_GT(fresh, 0);
    EXPECT_NE(fresh, ctx);
    nuint32 flags = 0;
    ASSERT_EQ(NWDSGetContext(fresh, DCK_FLAGS, &flags), 0);
    EXPECT_EQ(flags, DCV_DEFAULT_FLAGS);
    std::string text;
    ASSERT_EQ(NWDSGetContext(fresh, DCK_NAME_CONTEXT, &text), 0);
    EXPECT_EQ(text, "[root]");
    ASSERT_EQ(NWDSGetContext(fresh, DCK_TREE_NAME, &text), 0);
    EXPECT_EQ(text, "ACME");

    const std::string sales = ".Sales.Acme";
    ASSERT_EQ(NWDSSetContext(fresh, DCK_NAME_CONTEXT, &sales), 0);
    ASSERT_EQ(NWDSGetContext(fresh, DCK_NAME_CONTEXT, &text), 0);
    EXPECT_EQ(text, "Sales.Acme");
    const std::string root = "[ROOT]";
    ASSERT_EQ(NWDSSetContext(fresh, DCK_NAME_CONTEXT, &root), 0);
    ASSERT_EQ(NWDSGetContext(fresh, DCK_NAME_CONTEXT, &text), 0);
    EXPECT_EQ(text, "[root]");

    EXPECT_EQ(NWDSGetContext(fresh, 99, &flags), ERR_BAD_KEY);
    EXPECT_EQ(NWDSSetContext(fresh, 99, &flags), ERR_BAD_KEY);
    EXPECT_EQ(NWDSGetContext(fresh, DCK_FLAGS, nullptr), ERR_INVALID_API_PARAMETER);
    EXPECT_EQ(NWDSCreateContextHandle(nullptr), ERR_INVALID_API_PARAMETER);

    ASSERT_EQ(NWDSFreeContext(fresh), 0);
    EXPECT_EQ(NWDSFreeContext(fresh), ERR_BAD_CONTEXT);
    EXPECT_EQ(NWDSGetContext(fresh, DCK_FLAGS, &flags), ERR_BAD_CONTEXT);
    EXPECT_EQ(NWDSSetContext(0, DCK_FLAGS, &flags), ERR_BAD_CONTEXT);
    EXPECT_EQ(NWDSSetContext(-5, DCK_FLAGS, &flags), ERR_BAD_CONTEXT);
}

TEST_F(RequestTest, EveryCallRefusesAnUnknownContext) {
    pBuf_T buf;
    ASSERT_EQ(NWDSAllocBuf(DEFAULT_MESSAGE_LEN, &buf), 0);
    const NWDSContextHandle bad = 9999;
    nint32 iter = -1;
    nuint32 n = 0;
    std::string s;
    std::size_t size = 0;
    char area[64];
    EXPECT_EQ(NWDSInitBuf(bad, DSV_SEARCH, buf), ERR_BAD_CONTEXT);
    EXPECT_EQ(NWDSPutAttrName(bad, buf, "CN"), ERR_BAD_CONTEXT);
    EXPECT_EQ(NWDSPutClassName(bad, buf, "User"), ERR_BAD_CONTEXT);
    EXPECT_EQ(NWDSList(bad, "", &iter, buf), ERR_BAD_CONTEXT);
    EXPECT_EQ(NWDSSearch(bad, "", 2, 0, buf, 1, 0, buf, &iter, 0, nullptr, buf), ERR_BAD_CONTEXT);
    EXPECT_EQ(NWDSReadClassDef(bad, 0, 1, nullptr, &iter, buf), ERR_BAD_CONTEXT);
    EXPECT_EQ(NWDSReadAttrDef(bad, 1, 1, nullptr, &iter, buf), ERR_BAD_CONTEXT);
    EXPECT_EQ(NWDSGetObjectCount(bad, buf, &n), ERR_BAD_CONTEXT);
    EXPECT_EQ(NWDSGetObjectName(bad, buf, s, &n, nullptr), ERR_BAD_CONTEXT);
    EXPECT_EQ(NWDSGetAttrName(bad, buf, s, &n, &n), ERR_BAD_CONTEXT);
    EXPECT_EQ(NWDSComputeAttrValSize(bad, buf, 3, &size), ERR_BAD_CONTEXT);
    EXPECT_EQ(NWDSGetAttrVal(bad, buf, 3, area), ERR_BAD_CONTEXT);
    EXPECT_EQ(NWDSGetClassDefCount(bad, buf, &n), ERR_BAD_CONTEXT);
    EXPECT_EQ(NWDSGetClassItem(bad, buf, s), ERR_BAD_CONTEXT);
    EXPECT_EQ(NWDSGetAttrCount(bad, buf, &n), ERR_BAD_CONTEXT);
    EXPECT_EQ(NWDSFreeBuf(buf), 0);
}

TEST_F(RequestTest, BuffersAreCheckedAgainstTheLiveOnes) {
    pBuf_T buf = nullptr;
    EXPECT_EQ(NWDSAllocBuf(0, &buf), ERR_BUFFER_ZERO_LENGTH);
    EXPECT_EQ(NWDSAllocBuf(DEFAULT_MESSAGE_LEN + 1, &buf), ERR_INVALID_API_PARAMETER);
    EXPECT_EQ(NWDSAllocBuf(DEFAULT_MESSAGE_LEN, nullptr), ERR_INVALID_API_PARAMETER);
    ASSERT_EQ(NWDSAllocBuf(DEFAULT_MESSAGE_LEN, &buf), 0);
    EXPECT_EQ(NWDSInitBuf(ctx, 99, buf), ERR_BAD_VERB);
    ASSERT_EQ(NWDSFreeBuf(buf), 0);
    // A freed or made-up pointer is an invalid handle, never followed.
    EXPECT_EQ(NWDSFreeBuf(buf), ERR_INVALID_HANDLE);
    EXPECT_EQ(NWDSInitBuf(ctx, DSV_SEARCH, buf), ERR_INVALID_HANDLE);
    EXPECT_EQ(NWDSPutAttrName(ctx, buf, "CN"), ERR_INVALID_HANDLE);
    auto* madeUp = reinterpret_cast<pBuf_T>(static_cast<std::uintptr_t>(0x10));
    nuint32 n;
    std::string s;
    nint32 iter = -1;
    EXPECT_EQ(NWDSGetObjectCount(ctx, madeUp, &n), ERR_INVALID_HANDLE);
    EXPECT_EQ(NWDSGetObjectName(ctx, madeUp, s, &n, nullptr), ERR_INVALID_HANDLE);
    EXPECT_EQ(NWDSList(ctx, "", &iter, madeUp), ERR_INVALID_HANDLE);
    EXPECT_EQ(NWDSReadClassDef(ctx, 0, 1, nullptr, &iter, nullptr), ERR_INVALID_HANDLE);
    EXPECT_EQ(NWDSFreeBuf(nullptr), ERR_INVALID_HANDLE);
}

TEST_F(RequestTest, NamesFillARequestBufferUntilItIsFull) {
    pBuf_T small;
    ASSERT_EQ(NWDSAllocBuf(40, &small), 0);
    EXPECT_EQ(NWDSPutAttrName(ctx, small, "CN"), ERR_BAD_VERB); // not initialised
    ASSERT_EQ(NWDSInitBuf(ctx, DSV_SEARCH, small), 0);
    // 4 bytes of count, then 4 + length per name: 40 bytes take three 8-byte names.
    EXPECT_EQ(NWDSPutAttrName(ctx, small, "Name0001"), 0);
    EXPECT_EQ(NWDSPutAttrName(ctx, small, "Name0002"), 0);
    EXPECT_EQ(NWDSPutAttrName(ctx, small, "Name0003"), 0);
    EXPECT_EQ(NWDSPutAttrName(ctx, small, "N"), ERR_BUFFER_FULL);
    EXPECT_EQ(NWDSPutAttrName(ctx, small, std::string(100000, 'a')), ERR_BUFFER_FULL);
    // Re-initialising empties it.
    ASSERT_EQ(NWDSInitBuf(ctx, DSV_SEARCH, small), 0);
    EXPECT_EQ(NWDSPutAttrName(ctx, small, "Name0004"), 0);
    EXPECT_EQ(NWDSFreeBuf(small), 0);

    // The names really travel: a search asks the backend for exactly the names put.
    pBuf_T filter;
    ASSERT_EQ(NWDSAllocBuf(DEFAULT_MESSAGE_LEN, &filter), 0);
    ASSERT_EQ(NWDSInitBuf(ctx, DSV_SEARCH_FILTER, filter), 0);
    EXPECT_EQ(NWDSPutAttrName(ctx, filter, "CN"), ERR_BAD_VERB);
    EXPECT_EQ(NWDSFreeBuf(filter), 0);
    search("", "User", {"", "Given Name", std::string(300, 'z')});
    EXPECT_EQ(tree->lastRequest.attributes,
              (std::vector<std::string>{"", "Given Name", std::string(300, 'z')}));
}

namespace {
std::vector<std::pair<nuint32, std::string>> freed;
void recordFree(nuint32 syntax, void* val) {
    freed.emplace_back(syntax, static_cast<const char*>(val));
}
} // namespace

TEST_F(RequestTest, FilterCopiesValuesAndCallsTheFreeRoutineOnce) {
    freed.clear();
    pBuf_T buf;
    ASSERT_EQ(NWDSAllocBuf(DEFAULT_MESSAGE_LEN, &buf), 0);
    ASSERT_EQ(NWDSInitBuf(ctx, DSV_SEARCH_FILTER, buf), 0);
    pFilter_Cursor_T cur;
    ASSERT_EQ(NWDSAllocFilter(&cur), 0);
    char cls[] = "User";
    ASSERT_EQ(NWDSAddFilterToken(cur, FTOK_ANAME, "Object Class", SYN_CLASS_NAME), 0);
    ASSERT_EQ(NWDSAddFilterToken(cur, FTOK_EQ, nullptr, 0), 0);
    ASSERT_EQ(NWDSAddFilterToken(cur, FTOK_AVAL, cls, SYN_CLASS_NAME), 0);
    EXPECT_EQ(NWDSAddFilterToken(cur, FTOK_AVAL, nullptr, SYN_CLASS_NAME),
              ERR_INVALID_API_PARAMETER);
    EXPECT_EQ(NWDSAddFilterToken(cur, 200, nullptr, 0), ERR_BAD_SYNTAX);
    ASSERT_EQ(NWDSAddFilterToken(cur, FTOK_END, nullptr, 0), 0);
    cls[0] = 'X'; // the filter holds its own copy
    EXPECT_EQ(NWDSPutFilter(ctx, buf, cur, recordFree), 0);
    EXPECT_EQ(freed, (std::vector<std::pair<nuint32, std::string>>{{SYN_CLASS_NAME, "Object Class"},
                                                                   {SYN_CLASS_NAME, "Xser"}}));
    // The expression now belongs to the buffer: the cursor is gone.
    EXPECT_EQ(NWDSFreeFilter(cur, recordFree), ERR_INVALID_HANDLE);
    EXPECT_EQ(NWDSAddFilterToken(cur, FTOK_END, nullptr, 0), ERR_INVALID_HANDLE);
    EXPECT_EQ(freed.size(), 2u);

    pBuf_T names, result;
    ASSERT_EQ(NWDSAllocBuf(DEFAULT_MESSAGE_LEN, &names), 0);
    ASSERT_EQ(NWDSAllocBuf(DEFAULT_MESSAGE_LEN, &result), 0);
    ASSERT_EQ(NWDSInitBuf(ctx, DSV_SEARCH, names), 0);
    nint32 iter = -1;
    ASSERT_EQ(NWDSSearch(ctx, "", 2, 0, buf, 1, 0, names, &iter, 0, nullptr, result), 0);
    EXPECT_EQ(tree->lastRequest.filterValue, "User");

    // A filter freed by its owner calls the routine for each value too.
    freed.clear();
    ASSERT_EQ(NWDSAllocFilter(&cur), 0);
    ASSERT_EQ(NWDSAddFilterToken(cur, FTOK_ANAME, "CN", SYN_CI_STRING), 0);
    ASSERT_EQ(NWDSAddFilterToken(cur, FTOK_END, nullptr, 0), 0);
    EXPECT_EQ(NWDSFreeFilter(cur, recordFree), 0);
    EXPECT_EQ(freed.size(), 1u);
    EXPECT_EQ(NWDSFreeFilter(cur, nullptr), ERR_INVALID_HANDLE);
    EXPECT_EQ(NWDSAllocFilter(nullptr), ERR_INVALID_API_PARAMETER);
    for (pBuf_T b : {buf, names, result})
        EXPECT_EQ(NWDSFreeBuf(b), 0);
}

TEST_F(RequestTest, FilterGoesOnlyIntoAFilterBuffer) {
    pBuf_T buf;
    ASSERT_EQ(NWDSAllocBuf(DEFAULT_MESSAGE_LEN, &buf), 0);
    ASSERT_EQ(NWDSInitBuf(ctx, DSV_SEARCH, buf), 0);
    pFilter_Cursor_T cur;
    ASSERT_EQ(NWDSAllocFilter(&cur), 0);
    ASSERT_EQ(NWDSAddFilterToken(cur, FTOK_END, nullptr, 0), 0);
    EXPECT_EQ(NWDSPutFilter(ctx, buf, cur, nullptr), ERR_BAD_VERB);
    // Refused, so the expression is still the caller's.
    EXPECT_EQ(NWDSFreeFilter(cur, nullptr), 0);
    EXPECT_EQ(NWDSFreeBuf(buf), 0);
}

TEST_F(RequestTest, WithoutAProviderCallsThatNeedATreeAnswerUnreachable) {
    installTreeProvider(nullptr);
    NWDSContextHandle c;
    ASSERT_EQ(NWDSCreateContextHandle(&c), 0);
    pBuf_T buf;
    ASSERT_EQ(NWDSAllocBuf(DEFAULT_MESSAGE_LEN, &buf), 0);
    nint32 iter = -1;
    EXPECT_EQ(NWDSList(c, "", &iter, buf), ERR_UNREACHABLE_SERVER);
    EXPECT_EQ(NWDSReadClassDef(c, 0, 1, nullptr, &iter, buf), ERR_UNREACHABLE_SERVER);
    nuint32 ref;
    EXPECT_EQ(NWCCGetPrimConnRef(&ref), ERR_UNREACHABLE_SERVER);
    std::string tree;
    ASSERT_EQ(NWDSGetContext(c, DCK_TREE_NAME, &tree), 0);
    EXPECT_EQ(tree, "");
    // Installing a provider forgets the handles made before it.
    installTreeProvider(std::make_unique<FakeProvider>());
    nuint32 flags;
    EXPECT_EQ(NWDSGetContext(c, DCK_FLAGS, &flags), ERR_BAD_CONTEXT);
    EXPECT_EQ(NWDSFreeBuf(buf), ERR_INVALID_HANDLE);
}
