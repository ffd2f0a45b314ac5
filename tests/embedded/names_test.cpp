#include "directory/client/names.h"

#include <gtest/gtest.h>

using namespace kvx::client::names;

TEST(Names, DistinguishedNamesBecomeTypelessAndTypedNames) {
    EXPECT_EQ(dnToTypeless("cn=Ann Smith,ou=Sales,o=Acme"), "Ann Smith.Sales.Acme");
    std::string typed;
    ASSERT_TRUE(dnToTyped("cn=Ann Smith,ou=Sales,o=Acme", typed));
    EXPECT_EQ(typed, "CN=Ann Smith.OU=Sales.O=Acme");
    // Blanks around separators and quoted values (older DN writers) read the same.
    EXPECT_EQ(dnToTypeless("cn = Ann Smith , ou=Sales;o=\"Acme, Inc\""),
              "Ann Smith.Sales.Acme, Inc");
    // Multi-valued components keep their pairs.
    ASSERT_TRUE(dnToTyped("cn=a+uid=b,o=X", typed));
    EXPECT_EQ(typed, "CN=a+UID=b.O=X");
    EXPECT_EQ(dnToTypeless("cn=a+uid=b,o=X"), "a+b.X");
    EXPECT_EQ(dnToTypeless(""), "");
}

TEST(Names, EscapesAreUndoneAndPeriodsEscaped) {
    EXPECT_EQ(dnToTypeless("cn=Smith\\, Ann,o=Acme"), "Smith, Ann.Acme");
    EXPECT_EQ(dnToTypeless("cn=Smith\\2C Ann,o=Acme"), "Smith, Ann.Acme");
    EXPECT_EQ(dnToTypeless("cn=\\41nn\\2b1,o=Acme"), "Ann+1.Acme");
    EXPECT_EQ(dnToTypeless("cn=J.R. Bob,o=A.B"), "J\\.R\\. Bob.A\\.B");
    EXPECT_EQ(dnToTypeless("cn=back\\\\slash,o=A"), "back\\\\slash.A");
    // An escaped trailing blank is kept, an unescaped one is not.
    EXPECT_EQ(dnToTypeless("cn=x\\ ,o=A "), "x .A");
}

TEST(Names, MalformedDistinguishedNamesAreRefused) {
    std::vector<Rdn> rdns;
    std::string why;
    for (const char* bad : {"cn", "cn=a,", "=a", "cn=a\\", "cn=\"open", "c n!=a"}) {
        EXPECT_FALSE(parseDn(bad, rdns, &why)) << bad;
        EXPECT_FALSE(why.empty()) << bad;
    }
    std::string out;
    EXPECT_FALSE(dnToTypeless("cn=a,", out));
    // Appending leaves what was there alone when the DN does not read.
    std::string kept = "prefix:";
    EXPECT_FALSE(appendTypelessDn("cn=a,o=b,", kept));
    EXPECT_EQ(kept, "prefix:");
    EXPECT_TRUE(appendTypelessDn("cn=a.b,o=c", kept));
    EXPECT_EQ(kept, "prefix:a\\.b.c");
    EXPECT_FALSE(validDn("   "));
    EXPECT_TRUE(validDn("o=x"));
    // The convenience form hands a damaged DN back unchanged rather than losing it.
    EXPECT_EQ(dnToTypeless("cn=a,"), "cn=a,");
}

TEST(Names, DnValuesEscapeAndParseBack) {
    const std::vector<std::string> values = {
        " #lead", "a,b+c;d<e>f=g", "quote\"back\\slash", "trail ", std::string("nul\0byte", 8),
        "plain"};
    std::vector<Rdn> in;
    for (const std::string& v : values)
        in.push_back({"cn", v});
    std::vector<Rdn> out;
    ASSERT_TRUE(parseDn(toDn(in), out)) << toDn(in);
    ASSERT_EQ(out.size(), in.size());
    for (std::size_t i = 0; i < in.size(); ++i)
        EXPECT_EQ(out[i].value, in[i].value);
}

TEST(Names, DottedNamesSplitAndJoin) {
    std::vector<std::string> parts = splitName("J\\.R\\. Bob.Sales.Acme");
    ASSERT_EQ(parts.size(), 3u);
    EXPECT_EQ(parts[0], "J.R. Bob");
    EXPECT_EQ(joinName(parts), "J\\.R\\. Bob.Sales.Acme");
    EXPECT_EQ(splitName(".Sales.Acme").size(), 2u);
    EXPECT_TRUE(splitName("").empty());
    std::vector<std::string> odd = {"a\\b", "c.d", ""};
    EXPECT_EQ(splitName(joinName(odd)), odd);
    std::string type, value;
    ASSERT_TRUE(splitTypedComponent("OU=Sales=East", type, value));
    EXPECT_EQ(type, "OU");
    EXPECT_EQ(value, "Sales=East");
    EXPECT_FALSE(splitTypedComponent("Sales", type, value));
}

TEST(Names, NameContextsResolveAndStrip) {
    EXPECT_EQ(resolveName("Ann", "Sales.Acme"), "Ann.Sales.Acme");
    EXPECT_EQ(resolveName(".Acme", "Sales.Acme"), "Acme");
    EXPECT_EQ(resolveName("Acme", "[Root]"), "Acme");
    EXPECT_EQ(resolveName("", "Sales.Acme"), "Sales.Acme");
    EXPECT_EQ(relativeName("Ann.Sales.Acme", "sales.ACME"), "Ann");
    EXPECT_EQ(relativeName("Ann.Sales.Acme", "[root]"), "Ann.Sales.Acme");
    EXPECT_EQ(relativeName("Ann.HR.Acme", "Sales.Acme"), "Ann.HR.Acme");
    EXPECT_EQ(relativeName("Sales.Acme", "Sales.Acme"), "");
    // The suffix is matched by whole components, not by text.
    EXPECT_EQ(relativeName("Ann.BigSales.Acme", "Sales.Acme"), "Ann.BigSales.Acme");
    EXPECT_EQ(relativeName("a\\.b.Acme", "b.Acme"), "a\\.b.Acme");
}
