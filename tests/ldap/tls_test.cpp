// ldaps:// and StartTLS against a slapd with a certificate from a private CA: the server's
// certificate is verified, so nothing is read from a server the client cannot trust.
// A test binary of its own: it changes libldap's process-wide CA setting.
#include "slapd_fixture.h"

#include "directory/client/config.h"
#include "directory/client/ldap/ldap_backend.h"

#include <gtest/gtest.h>

#include <ldap.h>

namespace kvx::client {
namespace {

TEST(LdapTls, TheServerCertificateIsVerified) {
    testing::Slapd server;
    testing::SlapdOptions o;
    o.treeFolder = KVX_SOURCE_DIR "/data/trees/ACME";
    o.tls = true;
    std::string error;
    ASSERT_TRUE(server.start(o, error)) << error;

    TreeSource ldaps;
    ldaps.name = "SECURE";
    ldaps.url = server.tlsUrl();
    TreeSource startTls;
    startTls.name = "STARTTLS";
    startTls.url = server.url();
    startTls.startTls = true;

    // The private CA is not trusted yet: both ways in are refused, even where the process's
    // libldap setting says not to check certificates.
    int never = LDAP_OPT_X_TLS_NEVER;
    ASSERT_EQ(ldap_set_option(nullptr, LDAP_OPT_X_TLS_REQUIRE_CERT, &never), LDAP_OPT_SUCCESS);
    auto untrusted = makeLdapBackend(ldaps);
    EXPECT_EQ(untrusted->open(), ERR_UNREACHABLE_SERVER);
    auto untrustedStart = makeLdapBackend(startTls);
    EXPECT_EQ(untrustedStart->open(), ERR_UNREACHABLE_SERVER);
    EXPECT_NE(untrustedStart->lastError().find("StartTLS"), std::string::npos)
        << untrustedStart->lastError();

    // Trusting the CA (what TLS_CACERT in ldap.conf or LDAPTLS_CACERT does) lets both in.
    const std::string ca = server.caFile();
    ASSERT_EQ(ldap_set_option(nullptr, LDAP_OPT_X_TLS_CACERTFILE, ca.c_str()), LDAP_OPT_SUCCESS);
    int isServer = 0;
    ASSERT_EQ(ldap_set_option(nullptr, LDAP_OPT_X_TLS_NEWCTX, &isServer), LDAP_OPT_SUCCESS);
    for (const TreeSource& t : {ldaps, startTls}) {
        SCOPED_TRACE(t.name);
        auto b = makeLdapBackend(t);
        ASSERT_EQ(b->open(), 0) << b->lastError();
        Entry e;
        EXPECT_EQ(b->lookup("Ann Smith.Sales.Acme", e), 0);
        EXPECT_EQ(e.baseClass, "User");
    }

    server.stop();
}

} // namespace
} // namespace kvx::client
