// Shared set-up of the client call tests: a fresh client serving the fake Acme tree, and a
// reader that drains a whole search through the calls the report uses.
#pragma once

#include "fake_tree.h"

#include "directory/client/faults.h"
#include "directory/client/nwdsclient.h"
#include "directory/client/registry.h"
#include "directory/client/testing.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kvx::client::testing {

struct ReadAttribute {
    std::string name;
    nuint32 syntax = 0;
    std::vector<std::string> values; // text syntaxes only; others keep their sizes as text
};
struct ReadEntry {
    std::string name;
    std::vector<ReadAttribute> attributes;
};
struct SearchRun {
    NWDSCCODE rc = 0;
    int batches = 0;
    std::vector<ReadEntry> entries; // one per piece, in the order read
};

class ClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        resetClient();
        faults::clear();
        auto p = std::make_unique<FakeProvider>();
        provider = p.get();
        tree = &buildAcme(*p);
        installTreeProvider(std::move(p));
        ASSERT_EQ(NWDSCreateContextHandle(&ctx), 0);
        nuint32 flags = 0;
        ASSERT_EQ(NWDSGetContext(ctx, DCK_FLAGS, &flags), 0);
        flags |= DCV_TYPELESS_NAMES;
        ASSERT_EQ(NWDSSetContext(ctx, DCK_FLAGS, &flags), 0);
    }
    void TearDown() override {
        faults::clear();
        resetClient();
        installTreeProvider(nullptr);
    }

    void setNameContext(const std::string& name) {
        ASSERT_EQ(NWDSSetContext(ctx, DCK_NAME_CONTEXT, &name), 0);
    }

    // Puts the filter "<attribute> = <cls>" in `buf` (made ready for a filter first).
    void putClassFilter(pBuf_T buf, const std::string& cls,
                        const char* attribute = "Object Class") {
        pFilter_Cursor_T cur = nullptr;
        EXPECT_EQ(NWDSInitBuf(ctx, DSV_SEARCH_FILTER, buf), 0);
        EXPECT_EQ(NWDSAllocFilter(&cur), 0);
        EXPECT_EQ(NWDSAddFilterToken(cur, FTOK_ANAME, attribute, SYN_CLASS_NAME), 0);
        EXPECT_EQ(NWDSAddFilterToken(cur, FTOK_EQ, nullptr, 0), 0);
        EXPECT_EQ(NWDSAddFilterToken(cur, FTOK_AVAL, cls.c_str(), SYN_CLASS_NAME), 0);
        EXPECT_EQ(NWDSAddFilterToken(cur, FTOK_END, nullptr, 0), 0);
        EXPECT_EQ(NWDSPutFilter(ctx, buf, cur, nullptr), 0);
    }

    // Runs a search the way a report does: class filter, named attributes, every batch read
    // with every value laid out.
    SearchRun search(const std::string& base, const std::string& cls,
                     const std::vector<std::string>& attrs, nint32 scope = DS_SEARCH_SUBTREE,
                     nuint32 infoType = DS_ATTRIBUTE_VALUES, bool allAttrs = false) {
        SearchRun run;
        pBuf_T filterBuf = nullptr, names = nullptr, result = nullptr;
        EXPECT_EQ(NWDSAllocBuf(DEFAULT_MESSAGE_LEN, &filterBuf), 0);
        EXPECT_EQ(NWDSAllocBuf(DEFAULT_MESSAGE_LEN, &names), 0);
        EXPECT_EQ(NWDSAllocBuf(DEFAULT_MESSAGE_LEN, &result), 0);
        EXPECT_EQ(NWDSInitBuf(ctx, DSV_SEARCH, names), 0);
        for (const auto& a : attrs)
            EXPECT_EQ(NWDSPutAttrName(ctx, names, a), 0);
        putClassFilter(filterBuf, cls);
        nint32 iter = -1;
        do {
            nint32 searched = 0;
            run.rc = NWDSSearch(ctx, base, scope, 0, filterBuf, infoType, allAttrs ? 1 : 0, names,
                                &iter, 0, &searched, result);
            if (run.rc != 0)
                break;
            ++run.batches;
            nuint32 count = 0;
            EXPECT_EQ(NWDSGetObjectCount(ctx, result, &count), 0);
            for (nuint32 i = 0; i < count; ++i) {
                ReadEntry e;
                nuint32 attrCount = 0;
                EXPECT_EQ(NWDSGetObjectName(ctx, result, e.name, &attrCount, nullptr), 0);
                for (nuint32 a = 0; a < attrCount; ++a) {
                    ReadAttribute at;
                    nuint32 valCount = 0;
                    EXPECT_EQ(NWDSGetAttrName(ctx, result, at.name, &valCount, &at.syntax), 0);
                    for (nuint32 v = 0; v < valCount; ++v) {
                        std::size_t size = 0;
                        EXPECT_EQ(NWDSComputeAttrValSize(ctx, result, at.syntax, &size), 0);
                        std::vector<void*> area(size / sizeof(void*) + 1);
                        EXPECT_EQ(NWDSGetAttrVal(ctx, result, at.syntax, area.data()), 0);
                        if (at.syntax == SYN_OBJECT_ACL) {
                            auto* acl = static_cast<Object_ACL_T*>(static_cast<void*>(area.data()));
                            at.values.push_back(acl->subjectName);
                        } else {
                            at.values.push_back(
                                static_cast<const char*>(static_cast<const void*>(area.data())));
                        }
                    }
                    e.attributes.push_back(at);
                }
                run.entries.push_back(e);
            }
        } while (iter != -1);
        EXPECT_EQ(NWDSFreeBuf(result), 0);
        EXPECT_EQ(NWDSFreeBuf(names), 0);
        EXPECT_EQ(NWDSFreeBuf(filterBuf), 0);
        return run;
    }

    FakeProvider* provider = nullptr;
    FakeBackend* tree = nullptr;
    NWDSContextHandle ctx = 0;
};

} // namespace kvx::client::testing
