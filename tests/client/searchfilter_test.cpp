// Search filter text: what reads, into which tree, and where a filter that does not read fails.
#include "directory/client/searchfilter.h"

#include <gtest/gtest.h>

using namespace kvx::client;
using K = FilterNode::Kind;

namespace {

FilterNode parsed(const std::string& text) {
    FilterNode f;
    FilterParseError e;
    EXPECT_TRUE(parseSearchFilter(text, f, e)) << text << ": " << e.position << " " << e.message;
    return f;
}

TEST(SearchFilterText, EveryOperatorReadsAndWritesBackTheSameFilter) {
    const FilterNode f =
        parsed(" (& (\"Login Disabled\"=TRUE) (|(sn>=M)(sn<=c\\2a)(cn~=ann))(!(telephoneNumber=*))"
               "(mail=*@acme*.example)(cn=Ann \\28UK\\29*) )");
    ASSERT_EQ(f.kind, K::And);
    ASSERT_EQ(f.children.size(), 5u);
    EXPECT_EQ(f.children[0].kind, K::Equal);
    EXPECT_EQ(f.children[0].attribute, "Login Disabled");
    EXPECT_EQ(f.children[0].value, "TRUE");
    const FilterNode& either = f.children[1];
    ASSERT_EQ(either.kind, K::Or);
    EXPECT_EQ(either.children[0].kind, K::GreaterOrEqual);
    EXPECT_EQ(either.children[1].kind, K::LessOrEqual);
    EXPECT_EQ(either.children[1].value, "c*"); // an escaped star is a star, not a wildcard
    EXPECT_EQ(either.children[2].kind, K::Approx);
    ASSERT_EQ(f.children[2].kind, K::Not);
    EXPECT_EQ(f.children[2].children.at(0).kind, K::Present);
    EXPECT_EQ(f.children[3].kind, K::Substrings);
    EXPECT_EQ(f.children[3].parts, (std::vector<std::string>{"", "@acme", ".example"}));
    EXPECT_EQ(f.children[4].parts, (std::vector<std::string>{"Ann (UK)", ""}));

    const std::string text = searchFilterText(f);
    EXPECT_EQ(text, "(&(\"Login Disabled\"=TRUE)(|(sn>=M)(sn<=c\\2a)(cn~=ann))"
                    "(!(telephoneNumber=*))(mail=*@acme*.example)(cn=Ann \\28UK\\29*))");
    EXPECT_EQ(searchFilterText(parsed(text)), text);

    // One item may leave out its parentheses; blanks inside a value are the value's.
    const FilterNode bare = parsed("Surname=van der Berg");
    EXPECT_EQ(bare.attribute, "Surname");
    EXPECT_EQ(bare.value, "van der Berg");
}

TEST(SearchFilterText, AFilterThatDoesNotReadGivesTheCharacterWhereItFails) {
    struct Case {
        std::string text;
        std::size_t position;
        std::string words; // part of the message
    };
    const std::vector<Case> cases = {
        {"(Login Disabled=TRUE)", 2, "double quotes"},
        {"(&(sn=a)(cn=b)", 15, "\")\""},
        {"(sn=a))", 7, "after the end"},
        {"(&)", 3, "one or more"},
        {"(!sn=a)", 3, "one filter"},
        {"(sn=a(b)", 6, "\\28"},
        {"(sn=a\\zz)", 6, "hexadecimal"},
        {"(sn=a\\00)", 6, "\\00"},
        {"(sn>=a*)", 7, "\\2a"},
        {"(sn=a**b)", 7, "two"},
        {"(cn:dn:=x)", 4, "extensible"},
        {"(=x)", 2, "attribute name"},
        {"(\"Login Disabled=TRUE)", 2, "closing"},
        {"(sn)", 4, "=, >="},
        {"(é=x)", 2, "attribute name"},
        {"(sn=é)x", 7, "after the end"}, // positions count characters, not bytes
        {"(sn=a", 6, "\")\""},
        {"", 1, "\"(\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        FilterNode f;
        FilterParseError e;
        ASSERT_FALSE(parseSearchFilter(c.text, f, e));
        EXPECT_EQ(e.position, c.position) << e.message;
        EXPECT_NE(e.message.find(c.words), std::string::npos) << e.message;
    }
    // Nesting is bounded, so no text can exhaust the stack.
    FilterNode f;
    FilterParseError e;
    EXPECT_FALSE(parseSearchFilter(
        [] {
            std::string deep;
            for (int i = 0; i < 100000; ++i)
                deep += "(&";
            return deep + "(sn=a)";
        }(),
        f, e));
    EXPECT_NE(e.message.find("nested"), std::string::npos);
}

TEST(SearchFilterText, TokensCarryTheWholeFilterAndAreReadBackIntoTheSameTree) {
    // The infix token list as a client would receive it, AND binding tighter than OR.
    const std::vector<FilterTokenView> tokens = {
        {FTOK_ANAME, "a"}, {FTOK_EQ, ""},         {FTOK_AVAL, "1"},  {FTOK_OR, ""},
        {FTOK_NOT, ""},    {FTOK_PRESENT, ""},    {FTOK_ANAME, "b"}, {FTOK_AND, ""},
        {FTOK_ANAME, "c"}, {FTOK_SUBSTRINGS, ""}, {FTOK_AVAL, ""},   {FTOK_AVAL, "x"},
        {FTOK_AVAL, ""},   {FTOK_END, ""}};
    FilterNode f;
    ASSERT_TRUE(filterFromTokens(tokens, f));
    EXPECT_EQ(searchFilterText(f), "(|(a=1)(&(!(b=*))(c=*x*)))");

    // Lists that are no filter: unbalanced, missing values, no end, trailing tokens.
    const std::vector<std::vector<FilterTokenView>> bad = {
        {{FTOK_LPAREN, ""}, {FTOK_ANAME, "a"}, {FTOK_EQ, ""}, {FTOK_AVAL, "1"}, {FTOK_END, ""}},
        {{FTOK_ANAME, "a"}, {FTOK_EQ, ""}, {FTOK_END, ""}},
        {{FTOK_ANAME, "a"}, {FTOK_EQ, ""}, {FTOK_AVAL, "1"}},
        {{FTOK_ANAME, "a"}, {FTOK_SUBSTRINGS, ""}, {FTOK_AVAL, "x"}, {FTOK_END, ""}},
        {{FTOK_ANAME, "a"}, {FTOK_EQ, ""}, {FTOK_AVAL, "1"}, {FTOK_END, ""}, {FTOK_END, ""}},
        {{FTOK_AND, ""}, {FTOK_END, ""}},
    };
    for (const auto& b : bad)
        EXPECT_FALSE(filterFromTokens(b, f));
}

} // namespace
