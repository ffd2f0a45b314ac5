// Search, list and schema reads through the client calls: batches, continued entries,
// iteration handles, names relative to the name context.
#include "client_fixture.h"

#include <map>

using namespace kvx::client;
using namespace kvx::client::testing;

namespace {

std::vector<std::string> names(const SearchRun& run) {
    std::vector<std::string> out;
    for (const auto& e : run.entries)
        out.push_back(e.name);
    return out;
}

const ReadAttribute* attr(const ReadEntry& e, const std::string& name) {
    for (const auto& a : e.attributes) {
        if (a.name == name)
            return &a;
    }
    return nullptr;
}

} // namespace

class SearchTest : public ClientTest {};

TEST_F(SearchTest, DeliversMatchingObjectsWithRequestedAttributesInOrder) {
    SearchRun run = search("", "user", {"Telephone Number", "Surname"});
    ASSERT_EQ(run.rc, 0);
    EXPECT_EQ(run.batches, 1);
    EXPECT_EQ(names(run), (std::vector<std::string>{"Ann Smith.Sales.Acme", "Bob.Dev.Sales.Acme"}));
    ASSERT_EQ(run.entries[0].attributes.size(), 2u);
    EXPECT_EQ(run.entries[0].attributes[0].name, "Telephone Number");
    EXPECT_EQ(run.entries[0].attributes[0].values,
              (std::vector<std::string>{"555-1", "555-2", "555-3"}));
    EXPECT_EQ(run.entries[0].attributes[1].values, (std::vector<std::string>{"Smith"}));
    EXPECT_EQ(tree->lastRequest.filterAttribute, "Object Class");
    EXPECT_EQ(tree->lastRequest.filterValue, "user");
    EXPECT_EQ(tree->lastRequest.attributes,
              (std::vector<std::string>{"Telephone Number", "Surname"}));
    EXPECT_TRUE(tree->lastRequest.valuesWanted);
    EXPECT_FALSE(tree->lastRequest.allAttributes);
}

TEST_F(SearchTest, EmptyAttributeListGivesNoAttributesAndNamesOnlyGivesNoValues) {
    // The fake answers an empty list with every attribute, as an LDAP server does.
    SearchRun none = search("", "User", {});
    ASSERT_EQ(none.rc, 0);
    ASSERT_EQ(none.entries.size(), 2u);
    EXPECT_TRUE(none.entries[0].attributes.empty());

    SearchRun namesOnly = search("", "User", {"Surname"}, DS_SEARCH_SUBTREE, DS_ATTRIBUTE_NAMES);
    ASSERT_EQ(namesOnly.rc, 0);
    ASSERT_EQ(namesOnly.entries[0].attributes.size(), 1u);
    EXPECT_EQ(namesOnly.entries[0].attributes[0].name, "Surname");
    EXPECT_TRUE(namesOnly.entries[0].attributes[0].values.empty());

    SearchRun all = search("", "User", {"Surname"}, DS_SEARCH_SUBTREE, DS_ATTRIBUTE_VALUES, true);
    ASSERT_EQ(all.rc, 0);
    EXPECT_TRUE(tree->lastRequest.allAttributes);
    EXPECT_EQ(all.entries[0].attributes.size(), 4u);
}

TEST_F(SearchTest, ScopesAndBaseResolution) {
    EXPECT_EQ(search(".Sales.Acme", "User", {}, DS_SEARCH_SUBORDINATES).entries.size(), 1u);
    EXPECT_EQ(tree->lastRequest.base, "Sales.Acme");
    EXPECT_EQ(search(".Sales.Acme", "User", {}, DS_SEARCH_SUBTREE).entries.size(), 2u);
    EXPECT_EQ(search(".Sales.Acme", "User", {}, DS_SEARCH_ENTRY).entries.size(), 0u);

    setNameContext("Sales.Acme");
    search("Dev", "User", {});
    EXPECT_EQ(tree->lastRequest.base, "Dev.Sales.Acme");
    search("", "User", {});
    EXPECT_EQ(tree->lastRequest.base, "Sales.Acme");
    search(".Acme", "User", {});
    EXPECT_EQ(tree->lastRequest.base, "Acme");
    search("[Root]", "User", {});
    EXPECT_EQ(tree->lastRequest.base, "");

    EXPECT_EQ(search("Nowhere", "User", {}).rc, ERR_NO_SUCH_ENTRY);
    EXPECT_EQ(search("", "User", {}, 7).rc, ERR_INVALID_API_PARAMETER);
}

TEST_F(SearchTest, NamesComeBackRelativeToTheNameContext) {
    setNameContext("sales.ACME"); // matched without regard to case
    SearchRun run = search("", "User", {"Manager", "ACL"});
    ASSERT_EQ(run.rc, 0);
    EXPECT_EQ(names(run), (std::vector<std::string>{"Ann Smith", "Bob.Dev"}));
    // Dist_Name values are made relative too; one not below the context stays whole.
    EXPECT_EQ(attr(run.entries[0], "Manager")->values,
              (std::vector<std::string>{"Bob.Dev", "Acme"}));
    // So is the subject of an access control entry.
    EXPECT_EQ(attr(run.entries[1], "ACL")->values, (std::vector<std::string>{"Ann Smith"}));
}

TEST_F(SearchTest, TypedNamesUnlessTypelessFlagIsSet) {
    nuint32 flags = DCV_DEFAULT_FLAGS;
    ASSERT_EQ(NWDSSetContext(ctx, DCK_FLAGS, &flags), 0);
    SearchRun run = search("", "User", {});
    EXPECT_EQ(names(run), (std::vector<std::string>{"CN=Ann Smith.OU=Sales.O=Acme",
                                                    "CN=Bob.OU=Dev.OU=Sales.O=Acme"}));
    setNameContext("Sales.Acme");
    run = search("", "User", {});
    EXPECT_EQ(names(run), (std::vector<std::string>{"CN=Ann Smith", "CN=Bob.OU=Dev"}));
}

TEST_F(SearchTest, EscapedPeriodIsNotASeparator) {
    tree->add("Eve.Dot\\.Com.Acme", "CN=Eve.OU=Dot\\.Com.O=Acme", "User", false);
    setNameContext("Dot\\.Com.Acme");
    SearchRun run = search("", "User", {});
    EXPECT_EQ(names(run), (std::vector<std::string>{"Eve"}));

    // "Com.Acme" is not a suffix of "Eve.Dot\.Com.Acme": "Dot\.Com" is one component.
    setNameContext("Com.Acme");
    run = search(".Acme", "User", {});
    ASSERT_EQ(run.rc, 0);
    EXPECT_EQ(run.entries.back().name, "Eve.Dot\\.Com.Acme");
}

TEST_F(SearchTest, LargeEntryContinuesInTheNextBatchUnderTheSameName) {
    Entry& ann = tree->entries[4];
    ASSERT_EQ(ann.name, "Ann Smith.Sales.Acme");
    std::vector<std::string> many;
    for (int i = 0; i < 12; ++i)
        many.push_back("description value number " + std::to_string(i));
    ann.attributes.push_back({"Description", SYN_CI_STRING, many});

    setResultBufferCapacityForTesting(200);
    SearchRun run = search("", "User", {"Surname", "Description", "Telephone Number"});
    ASSERT_EQ(run.rc, 0);
    EXPECT_GT(run.batches, 2);

    // Join the pieces of each object again: every value arrives once, in order.
    std::map<std::string, std::map<std::string, std::vector<std::string>>> joined;
    int annPieces = 0;
    bool splitAttribute = false;
    std::string previousLast;
    for (const auto& e : run.entries) {
        if (e.name == "Ann Smith.Sales.Acme")
            ++annPieces;
        if (!e.attributes.empty() && e.attributes.front().name == previousLast &&
            previousLast == "Description")
            splitAttribute = true;
        for (const auto& a : e.attributes) {
            auto& values = joined[e.name][a.name];
            values.insert(values.end(), a.values.begin(), a.values.end());
        }
        previousLast = e.attributes.empty() ? "" : e.attributes.back().name;
    }
    EXPECT_GT(annPieces, 2);
    EXPECT_TRUE(splitAttribute);
    EXPECT_EQ(joined["Ann Smith.Sales.Acme"]["Description"], many);
    EXPECT_EQ(joined["Ann Smith.Sales.Acme"]["Telephone Number"],
              (std::vector<std::string>{"555-1", "555-2", "555-3"}));
    EXPECT_EQ(joined["Ann Smith.Sales.Acme"]["Surname"], (std::vector<std::string>{"Smith"}));
    EXPECT_EQ(joined["Bob.Dev.Sales.Acme"]["Surname"], (std::vector<std::string>{"Builder"}));
    EXPECT_EQ(run.entries.back().name, "Bob.Dev.Sales.Acme");
}

TEST_F(SearchTest, ValueLargerThanAnyBufferComesWholeAmongSmallOnes) {
    // 200 KB in a 64512-byte buffer, and 300 bytes in 200-byte batches: each value is handed
    // out whole, the values around it as before, and the search goes on to the end.
    std::string big(200 * 1024, 'x');
    big.back() = 'y';
    tree->entries[4].attributes.push_back(
        {"Description", SYN_CI_STRING, {"small", big, std::string(300, 'z'), "last"}});
    std::vector<std::string> firstSurnames;
    for (std::size_t capacity : {std::size_t{0}, std::size_t{200}}) {
        setResultBufferCapacityForTesting(capacity);
        SearchRun run = search("", "User", {"Description", "Surname"});
        ASSERT_EQ(run.rc, 0) << capacity;
        std::vector<std::string> values, surnames;
        for (const auto& e : run.entries)
            for (const auto& a : e.attributes)
                (a.name == "Description" ? values : surnames)
                    .insert((a.name == "Description" ? values : surnames).end(), a.values.begin(),
                            a.values.end());
        EXPECT_EQ(values, (std::vector<std::string>{"small", big, std::string(300, 'z'), "last"}));
        if (firstSurnames.empty())
            firstSurnames = surnames;
        EXPECT_EQ(surnames, firstSurnames);
        EXPECT_GE(surnames.size(), 2u);
    }
    setResultBufferCapacityForTesting(0);
}

TEST_F(SearchTest, BackendFailurePartWayKeepsWhatWasDelivered) {
    tree->failAt = 1;
    SearchRun run = search("", "User", {"Surname"});
    EXPECT_EQ(run.rc, ERR_TRANSPORT_FAILURE);
    ASSERT_EQ(run.entries.size(), 1u);
    EXPECT_EQ(run.entries[0].name, "Ann Smith.Sales.Acme");

    tree->failAt = 0;
    run = search("", "User", {"Surname"});
    EXPECT_EQ(run.rc, ERR_TRANSPORT_FAILURE);
    EXPECT_TRUE(run.entries.empty());
}

TEST_F(SearchTest, FilterThatFormsNoExpressionIsRefused) {
    pBuf_T filterBuf, names, result;
    ASSERT_EQ(NWDSAllocBuf(DEFAULT_MESSAGE_LEN, &filterBuf), 0);
    ASSERT_EQ(NWDSAllocBuf(DEFAULT_MESSAGE_LEN, &names), 0);
    ASSERT_EQ(NWDSAllocBuf(DEFAULT_MESSAGE_LEN, &result), 0);
    ASSERT_EQ(NWDSInitBuf(ctx, DSV_SEARCH, names), 0);
    auto trySearch = [&]() {
        nint32 iter = -1;
        return NWDSSearch(ctx, "", DS_SEARCH_SUBTREE, 0, filterBuf, DS_ATTRIBUTE_VALUES, 0, names,
                          &iter, 0, nullptr, result);
    };
    ASSERT_EQ(NWDSInitBuf(ctx, DSV_SEARCH_FILTER, filterBuf), 0);
    EXPECT_EQ(trySearch(), ERR_INVALID_REQUEST); // no filter put at all

    struct Tok {
        nuint16 tok;
        const char* val;
    };
    // Token lists that form no filter expression (a filter of any other form is served: the
    // search filter tests run those over both backends).
    const std::vector<std::vector<Tok>> refused = {
        {{FTOK_ANAME, "Surname"}, {FTOK_EQ, nullptr}, {FTOK_END, nullptr}},
        {{FTOK_ANAME, "Object Class"}, {FTOK_PRESENT, nullptr}, {FTOK_END, nullptr}},
        {{FTOK_LPAREN, nullptr},
         {FTOK_ANAME, "Object Class"},
         {FTOK_EQ, nullptr},
         {FTOK_AVAL, "User"},
         {FTOK_AND, nullptr},
         {FTOK_END, nullptr}},
        {{FTOK_ANAME, "Object Class"}, {FTOK_EQ, nullptr}, {FTOK_AVAL, "User"}},
    };
    for (const auto& tokens : refused) {
        pFilter_Cursor_T cur;
        ASSERT_EQ(NWDSAllocFilter(&cur), 0);
        for (const auto& t : tokens)
            ASSERT_EQ(NWDSAddFilterToken(cur, t.tok, t.val, SYN_CI_STRING), 0);
        ASSERT_EQ(NWDSInitBuf(ctx, DSV_SEARCH_FILTER, filterBuf), 0);
        ASSERT_EQ(NWDSPutFilter(ctx, filterBuf, cur, nullptr), 0);
        EXPECT_EQ(trySearch(), ERR_INVALID_REQUEST);
    }
    // The served form, with the attribute name in other letter case, is taken.
    putClassFilter(filterBuf, "User", "OBJECT class");
    EXPECT_EQ(trySearch(), 0);
    for (pBuf_T b : {filterBuf, names, result})
        EXPECT_EQ(NWDSFreeBuf(b), 0);
}

// ---- Iteration handles and reading past the end ------------------------------------------

class IterationTest : public ClientTest {
protected:
    void SetUp() override {
        ClientTest::SetUp();
        ASSERT_EQ(NWDSAllocBuf(DEFAULT_MESSAGE_LEN, &result), 0);
    }
    pBuf_T result = nullptr;
};

TEST_F(IterationTest, HandleIsLiveBetweenBatchesAndReleasedAfterTheLast) {
    setResultBufferCapacityForTesting(72);
    nint32 iter = -1;
    ASSERT_EQ(NWDSList(ctx, "[root]", &iter, result), 0);
    // Root has one subordinate, Acme: one batch.
    EXPECT_EQ(iter, -1);

    nint32 first = -1;
    ASSERT_EQ(NWDSList(ctx, ".Acme", &first, result), 0);
    ASSERT_NE(first, -1); // two subordinates do not fit 72 bytes together
    EXPECT_GT(first, 0);
    nint32 live = first;
    ASSERT_EQ(NWDSList(ctx, ".Acme", &live, result), 0);
    EXPECT_EQ(live, -1);
    // Once released, the old handle is no longer valid.
    nint32 stale = first;
    EXPECT_EQ(NWDSList(ctx, ".Acme", &stale, result), ERR_INVALID_ITERATION);
    nint32 bogus = 424242;
    EXPECT_EQ(NWDSList(ctx, ".Acme", &bogus, result), ERR_INVALID_ITERATION);
}

TEST_F(IterationTest, HandleBelongsToItsContextAndItsKindOfCall) {
    setResultBufferCapacityForTesting(72);
    nint32 iter = -1;
    ASSERT_EQ(NWDSList(ctx, ".Acme", &iter, result), 0);
    ASSERT_NE(iter, -1);
    nint32 asClassRead = iter;
    EXPECT_EQ(NWDSReadClassDef(ctx, DS_CLASS_DEF_NAMES, 1, nullptr, &asClassRead, result),
              ERR_INVALID_ITERATION);
    NWDSContextHandle other;
    ASSERT_EQ(NWDSCreateContextHandle(&other), 0);
    nint32 fromOther = iter;
    EXPECT_EQ(NWDSList(other, ".Acme", &fromOther, result), ERR_INVALID_ITERATION);
    // Freeing the context releases its iterations.
    ASSERT_EQ(NWDSFreeContext(ctx), 0);
    ASSERT_EQ(NWDSCreateContextHandle(&ctx), 0);
    nint32 after = iter;
    EXPECT_EQ(NWDSList(ctx, ".Acme", &after, result), ERR_INVALID_ITERATION);
}

TEST_F(IterationTest, ReadingPastTheBatchGivesBufferEmptyAndSkipsUnreadParts) {
    nuint32 count = 99;
    std::string name;
    EXPECT_EQ(NWDSGetObjectCount(ctx, result, &count), ERR_BUFFER_EMPTY); // nothing read yet
    SearchRun warm = search("", "User", {"Surname"});
    ASSERT_EQ(warm.rc, 0);

    pBuf_T f, n;
    ASSERT_EQ(NWDSAllocBuf(DEFAULT_MESSAGE_LEN, &f), 0);
    ASSERT_EQ(NWDSAllocBuf(DEFAULT_MESSAGE_LEN, &n), 0);
    ASSERT_EQ(NWDSInitBuf(ctx, DSV_SEARCH, n), 0);
    ASSERT_EQ(NWDSPutAttrName(ctx, n, "Telephone Number"), 0);
    ASSERT_EQ(NWDSPutAttrName(ctx, n, "Surname"), 0);
    putClassFilter(f, "User");
    nint32 iter = -1;
    ASSERT_EQ(NWDSSearch(ctx, "", 2, 0, f, 1, 0, n, &iter, 0, nullptr, result), 0);
    ASSERT_EQ(NWDSGetObjectCount(ctx, result, &count), 0);
    ASSERT_EQ(count, 2u);

    // Read only the first attribute's name of the first object, then jump to the next object.
    nuint32 attrs = 0, values = 0, syntax = 0;
    ASSERT_EQ(NWDSGetObjectName(ctx, result, name, &attrs, nullptr), 0);
    ASSERT_EQ(NWDSGetAttrName(ctx, result, name, &values, &syntax), 0);
    EXPECT_EQ(name, "Telephone Number");
    EXPECT_EQ(values, 3u);
    Object_Info_T info;
    ASSERT_EQ(NWDSGetObjectName(ctx, result, name, &attrs, &info), 0);
    EXPECT_EQ(name, "Bob.Dev.Sales.Acme");
    EXPECT_EQ(info.baseClass, "User");
    EXPECT_EQ(attrs, 1u);
    ASSERT_EQ(NWDSGetAttrName(ctx, result, name, &values, &syntax), 0);
    EXPECT_EQ(name, "Surname");
    std::size_t size = 0;
    ASSERT_EQ(NWDSComputeAttrValSize(ctx, result, syntax, &size), 0);
    EXPECT_EQ(size, 8u); // "Builder" and its terminator
    char value[16];
    ASSERT_EQ(NWDSGetAttrVal(ctx, result, syntax, value), 0);
    EXPECT_STREQ(value, "Builder");
    EXPECT_EQ(NWDSComputeAttrValSize(ctx, result, syntax, &size), ERR_BUFFER_EMPTY);
    EXPECT_EQ(NWDSGetAttrVal(ctx, result, syntax, value), ERR_BUFFER_EMPTY);
    EXPECT_EQ(NWDSGetAttrName(ctx, result, name, &values, &syntax), ERR_BUFFER_EMPTY);
    EXPECT_EQ(NWDSGetObjectName(ctx, result, name, &attrs, nullptr), ERR_BUFFER_EMPTY);
    // A schema reader on a search batch is refused, not misread.
    EXPECT_EQ(NWDSGetClassItem(ctx, result, name), ERR_BAD_VERB);
    for (pBuf_T b : {f, n})
        EXPECT_EQ(NWDSFreeBuf(b), 0);
}

// ---- Listing ------------------------------------------------------------------------------

TEST_F(IterationTest, ListGivesSubordinatesWithTheirInformation) {
    setNameContext("Sales.Acme");
    nint32 iter = -1;
    ASSERT_EQ(NWDSList(ctx, "", &iter, result), 0);
    EXPECT_EQ(iter, -1);
    nuint32 count = 0;
    ASSERT_EQ(NWDSGetObjectCount(ctx, result, &count), 0);
    ASSERT_EQ(count, 2u);
    std::map<std::string, Object_Info_T> seen;
    for (nuint32 i = 0; i < count; ++i) {
        std::string name;
        nuint32 attrs = 7;
        Object_Info_T info;
        ASSERT_EQ(NWDSGetObjectName(ctx, result, name, &attrs, &info), 0);
        EXPECT_EQ(attrs, 0u);
        seen[name] = info;
    }
    ASSERT_TRUE(seen.count("Dev"));
    ASSERT_TRUE(seen.count("Ann Smith"));
    EXPECT_EQ(seen["Dev"].objectFlags & DS_CONTAINER_ENTRY, DS_CONTAINER_ENTRY);
    EXPECT_EQ(seen["Dev"].subordinateCount, 1u);
    EXPECT_EQ(seen["Dev"].baseClass, "Organizational Unit");
    EXPECT_EQ(seen["Ann Smith"].objectFlags & DS_CONTAINER_ENTRY, 0u);

    setNameContext("No Such.Acme");
    iter = -1;
    EXPECT_EQ(NWDSList(ctx, "", &iter, result), ERR_NO_SUCH_ENTRY);
    EXPECT_EQ(NWDSGetObjectCount(ctx, result, &count), ERR_BUFFER_EMPTY); // nothing stale
}

TEST_F(IterationTest, TreeNameSelectsTheBackend) {
    FakeBackend& corp = provider->addTree("CORP");
    corp.add("Corp", "O=Corp", "Organization", true);
    std::string treeName;
    ASSERT_EQ(NWDSGetContext(ctx, DCK_TREE_NAME, &treeName), 0);
    EXPECT_EQ(treeName, "ACME");

    const std::string corpName = "corp";
    ASSERT_EQ(NWDSSetContext(ctx, DCK_TREE_NAME, &corpName), 0);
    nint32 iter = -1;
    ASSERT_EQ(NWDSList(ctx, "", &iter, result), 0);
    std::string name;
    ASSERT_EQ(NWDSGetObjectName(ctx, result, name, nullptr, nullptr), 0);
    EXPECT_EQ(name, "Corp");

    // An unknown tree is kept and reported on use, never replaced by the default tree.
    const std::string unknown = "NOWHERE";
    ASSERT_EQ(NWDSSetContext(ctx, DCK_TREE_NAME, &unknown), 0);
    iter = -1;
    EXPECT_EQ(NWDSList(ctx, "", &iter, result), ERR_INVALID_TREE_NAME);

    corp.openCode = ERR_UNREACHABLE_SERVER;
    ASSERT_EQ(NWDSSetContext(ctx, DCK_TREE_NAME, &corpName), 0);
    EXPECT_EQ(NWDSList(ctx, "", &iter, result), ERR_UNREACHABLE_SERVER);
}

// ---- Schema ------------------------------------------------------------------------------

class SchemaTest : public IterationTest {
protected:
    void SetUp() override {
        IterationTest::SetUp();
        ClassDef top{"Top", DS_EFFECTIVE_CLASS, "2.5.6.0", {}, {}, {}, {"Object Class"}, {"ACL"}};
        ClassDef user{"User",
                      DS_EFFECTIVE_CLASS,
                      "2.16.840.1.113719.1.1.6.1.5",
                      {"Organizational Person"},
                      {"Organization", "Organizational Unit"},
                      {"CN"},
                      {"CN", "Surname"},
                      {"Telephone Number", "Manager"}};
        tree->classes = {top, user};
        for (int i = 0; i < 20; ++i)
            tree->classes.push_back(
                ClassDef{"Class Number " + std::to_string(i), 0, "", {}, {}, {}, {}, {}});
        tree->attributes = {
            AttrDef{"Surname", DS_SINGLE_VALUED_ATTR, SYN_CI_STRING, 1, 64, "2.5.4.4", "sn"},
            AttrDef{"Telephone Number", 0, SYN_TEL_NUMBER, 0, 0, "2.5.4.20", ""}};
    }
};

TEST_F(SchemaTest, ClassNamesSpanSeveralBatches) {
    setResultBufferCapacityForTesting(80);
    std::vector<std::string> got;
    nint32 iter = -1;
    int batches = 0;
    do {
        ASSERT_EQ(NWDSReadClassDef(ctx, DS_CLASS_DEF_NAMES, 1, nullptr, &iter, result), 0);
        ++batches;
        nuint32 count = 0;
        ASSERT_EQ(NWDSGetClassDefCount(ctx, result, &count), 0);
        for (nuint32 i = 0; i < count; ++i) {
            std::string name;
            ASSERT_EQ(NWDSGetClassItem(ctx, result, name), 0);
            got.push_back(name);
        }
        std::string extra;
        EXPECT_EQ(NWDSGetClassItem(ctx, result, extra), ERR_BUFFER_EMPTY);
    } while (iter != -1);
    EXPECT_GT(batches, 3);
    std::vector<std::string> expected;
    for (const auto& c : tree->classes)
        expected.push_back(c.name);
    EXPECT_EQ(got, expected);
}

TEST_F(SchemaTest, ClassDefinitionGivesFiveListsInOrder) {
    pBuf_T req;
    ASSERT_EQ(NWDSAllocBuf(DEFAULT_MESSAGE_LEN, &req), 0);
    ASSERT_EQ(NWDSInitBuf(ctx, DSV_READ_CLASS_DEF, req), 0);
    ASSERT_EQ(NWDSPutClassName(ctx, req, "user"), 0);
    nint32 iter = -1;
    ASSERT_EQ(NWDSReadClassDef(ctx, DS_CLASS_DEF, 0, req, &iter, result), 0);
    EXPECT_EQ(iter, -1);
    nuint32 count = 0;
    ASSERT_EQ(NWDSGetClassDefCount(ctx, result, &count), 0);
    ASSERT_EQ(count, 1u);
    std::string name;
    Class_Info_T info;
    ASSERT_EQ(NWDSGetClassDef(ctx, result, name, &info), 0);
    EXPECT_EQ(name, "User");
    EXPECT_EQ(info.classFlags, nuint32(DS_EFFECTIVE_CLASS));
    EXPECT_EQ(info.asn1ID, "2.16.840.1.113719.1.1.6.1.5");
    std::vector<std::vector<std::string>> lists;
    for (int l = 0; l < 5; ++l) {
        nuint32 items = 0;
        ASSERT_EQ(NWDSGetClassItemCount(ctx, result, &items), 0);
        std::vector<std::string> list;
        for (nuint32 i = 0; i < items; ++i) {
            ASSERT_EQ(NWDSGetClassItem(ctx, result, name), 0);
            list.push_back(name);
        }
        lists.push_back(list);
    }
    const ClassDef& u = tree->classes[1];
    EXPECT_EQ(lists, (std::vector<std::vector<std::string>>{
                         u.superClasses, u.containmentClasses, u.namingAttributes,
                         u.mandatoryAttributes, u.optionalAttributes}));
    nuint32 items = 0;
    EXPECT_EQ(NWDSGetClassItemCount(ctx, result, &items), ERR_BUFFER_EMPTY);
    EXPECT_EQ(NWDSGetClassDef(ctx, result, name, &info), ERR_BUFFER_EMPTY);

    ASSERT_EQ(NWDSPutClassName(ctx, req, "No Such Class"), 0);
    iter = -1;
    EXPECT_EQ(NWDSReadClassDef(ctx, DS_CLASS_DEF, 0, req, &iter, result), ERR_NO_SUCH_CLASS);
    EXPECT_EQ(NWDSFreeBuf(req), 0);
}

TEST_F(SchemaTest, AttributeDefinitionsGiveFlagsAndSyntax) {
    pBuf_T req;
    ASSERT_EQ(NWDSAllocBuf(DEFAULT_MESSAGE_LEN, &req), 0);
    ASSERT_EQ(NWDSInitBuf(ctx, DSV_READ_ATTR_DEF, req), 0);
    ASSERT_EQ(NWDSPutClassName(ctx, req, "Surname"), 0);
    ASSERT_EQ(NWDSPutClassName(ctx, req, "TELEPHONE NUMBER"), 0);
    nint32 iter = -1;
    ASSERT_EQ(NWDSReadAttrDef(ctx, DS_ATTR_DEF, 0, req, &iter, result), 0);
    nuint32 count = 0;
    ASSERT_EQ(NWDSGetAttrCount(ctx, result, &count), 0);
    ASSERT_EQ(count, 2u);
    std::string name;
    Attr_Info_T info;
    ASSERT_EQ(NWDSGetAttrDef(ctx, result, name, &info), 0);
    EXPECT_EQ(name, "Surname");
    EXPECT_EQ(info.attrFlags & DS_SINGLE_VALUED_ATTR, DS_SINGLE_VALUED_ATTR);
    EXPECT_EQ(info.attrSyntaxID, nuint32(SYN_CI_STRING));
    EXPECT_EQ(info.attrUpper, 64u);
    EXPECT_EQ(info.asn1ID, "2.5.4.4");
    EXPECT_EQ(info.ldapName, "sn");
    ASSERT_EQ(NWDSGetAttrDef(ctx, result, name, &info), 0);
    EXPECT_EQ(name, "Telephone Number");
    EXPECT_EQ(info.ldapName, "");
    EXPECT_EQ(info.attrFlags & DS_SINGLE_VALUED_ATTR, 0u);
    EXPECT_EQ(info.attrSyntaxID, nuint32(SYN_TEL_NUMBER));
    EXPECT_EQ(NWDSGetAttrDef(ctx, result, name, &info), ERR_BUFFER_EMPTY);

    // A class-definition request buffer is not an attribute request.
    pBuf_T wrong;
    ASSERT_EQ(NWDSAllocBuf(DEFAULT_MESSAGE_LEN, &wrong), 0);
    ASSERT_EQ(NWDSInitBuf(ctx, DSV_READ_CLASS_DEF, wrong), 0);
    iter = -1;
    EXPECT_EQ(NWDSReadAttrDef(ctx, DS_ATTR_DEF, 0, wrong, &iter, result), ERR_BAD_VERB);

    ASSERT_EQ(NWDSPutClassName(ctx, req, "Shoe Size"), 0);
    iter = -1;
    EXPECT_EQ(NWDSReadAttrDef(ctx, DS_ATTR_DEF, 0, req, &iter, result), ERR_NO_SUCH_ATTRIBUTE);
    EXPECT_EQ(NWDSFreeBuf(req), 0);
    EXPECT_EQ(NWDSFreeBuf(wrong), 0);
}
