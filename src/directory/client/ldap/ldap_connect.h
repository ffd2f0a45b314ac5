// Connecting to an LDAP server and binding, shared by the backend and by the connection test,
// and what went wrong in plain words when it fails: the host that is not known, the port where
// nothing listens, the certificate that is not trusted (with its subject, issuer and SHA-256
// fingerprint), the wrong password, the missing Kerberos ticket, the server that wants a secure
// connection; each with what to do about it.
#pragma once

#include "../config.h"

#include <atomic>
#include <string>
#include <vector>

typedef struct ldap LDAP;

namespace kvx::client {

struct CertificateInfo {
    std::string subject;
    std::string issuer;
    std::string sha256;      // "AB:CD:...", 32 bytes
    std::string checkedName; // the host name it was checked against
    bool nameMatches = true;
    bool trusted = false;
};

struct ConnectionFault {
    enum Kind {
        None,
        BadUrl,
        HostNotFound,
        Refused,
        TimedOut,
        CertificateUntrusted,
        CertificateNameMismatch,
        WrongPassword, // or a locked, disabled or unknown account where the server does not say
        AccountLocked,
        AccountDisabled,
        PasswordExpired,
        KerberosTicketMissing,
        SecureConnectionRequired,
        NoPassword,
        Cancelled,
        Other,
    };
    Kind kind = None;
    std::string text;            // what is wrong and what to do, in plain words
    CertificateInfo certificate; // for the certificate faults
    int ldapCode = 0;
};

namespace ldapbk {

// An LDAP result code in words, with the server's (or libldap's) diagnostic text when it has one.
std::string describeLdap(LDAP* ld, int code, const char* diagnostic = nullptr);

// Opens a connection to the tree's server and binds (a simple bind with `password` when the
// tree has a BindDN, SASL when it names a mechanism, else anonymous: then the connection is
// made at once so that a server that is not there shows now). The server's certificate is
// always verified, against the tree's CACertificate when it names one. On success `ld` is the
// bound handle (the caller unbinds it); on failure it is nullptr and `fault` says why.
int connectAndBind(const TreeSource& tree, const std::string& password, int networkTimeout,
                   int resultTimeout, LDAP*& ld, ConnectionFault& fault);

} // namespace ldapbk

// What a connection test found.
struct ServerReport {
    bool ok = false;
    ConnectionFault fault;
    std::string serverKind; // "OpenLDAP", "Active Directory" or "another LDAP server"
    std::string vendor;     // the root entry's vendorName and vendorVersion, if it has them
    std::vector<std::string> namingContexts;
    bool schemaReadable = false;
    bool anonymous = false;
    std::string summary; // the findings in plain words, one per line
};

// Connects, binds and reads the root entry and whether the schema can be read, in at most
// `timeoutSeconds`; `cancelled` (may be nullptr) is looked at between the steps.
ServerReport probeLdapServer(const TreeSource& tree, const std::string& password,
                             int timeoutSeconds, const std::atomic<bool>* cancelled = nullptr);

} // namespace kvx::client
