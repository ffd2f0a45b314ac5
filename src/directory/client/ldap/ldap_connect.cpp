#include "ldap_connect.h"

#include "../names.h"

#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <ldap.h>
#include <sasl/sasl.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>

namespace kvx::client {

namespace {

using Clock = std::chrono::steady_clock;

std::string diagnosticOf(LDAP* ld) {
    std::string out;
    char* msg = nullptr;
    if (ld && ldap_get_option(ld, LDAP_OPT_DIAGNOSTIC_MESSAGE, &msg) == LDAP_OPT_SUCCESS && msg) {
        out = msg;
        ldap_memfree(msg);
    }
    return out;
}

} // namespace

std::string ldapbk::describeLdap(LDAP* ld, int code, const char* diag) {
    std::string text = ldap_err2string(code);
    const std::string extra = diag && *diag ? std::string(diag) : diagnosticOf(ld);
    if (!extra.empty() && extra != "(unknown error code)")
        text += " (" + extra + ")";
    return text;
}

namespace {

std::string ldapText(LDAP* ld, int code) {
    return ldapbk::describeLdap(ld, code);
}

struct Address {
    std::string scheme, host, socketPath;
    int port = 0;
};

bool parseAddress(const std::string& url, Address& out) {
    LDAPURLDesc* lud = nullptr;
    if (ldap_url_parse(url.c_str(), &lud) != LDAP_URL_SUCCESS || !lud)
        return false;
    out.scheme = lud->lud_scheme ? lud->lud_scheme : "ldap";
    std::string host = lud->lud_host ? lud->lud_host : "";
    if (out.scheme == "ldapi") {
        out.socketPath = host.empty() ? std::string("/var/run/ldapi") : host;
    } else {
        out.host = host.empty() ? "localhost" : host;
        out.port = lud->lud_port ? lud->lud_port : (out.scheme == "ldaps" ? 636 : 389);
    }
    ldap_free_urldesc(lud);
    return true;
}

bool isTls(const TreeSource& tree, const Address& a) {
    return a.scheme == "ldaps" || (tree.startTls && a.scheme == "ldap");
}

// A TCP (or local socket) connection made by hand, to tell a name that is not known, a port
// where nothing listens and a host that does not answer apart: libldap reports all three alike.
ConnectionFault reachability(const Address& a, int timeoutSeconds) {
    ConnectionFault f;
    if (!a.socketPath.empty()) {
        int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un sun{};
        sun.sun_family = AF_UNIX;
        std::snprintf(sun.sun_path, sizeof sun.sun_path, "%s", a.socketPath.c_str());
        bool ok = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&sun), sizeof sun) == 0;
        if (fd >= 0)
            ::close(fd);
        if (!ok) {
            f.kind = ConnectionFault::Refused;
            f.text = "nothing listens at the local socket " + a.socketPath +
                     ": is the server running on this computer, and is the path right?";
        }
        return f;
    }
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    int gai = ::getaddrinfo(a.host.c_str(), std::to_string(a.port).c_str(), &hints, &res);
    if (gai != 0 || !res) {
        f.kind = ConnectionFault::HostNotFound;
        f.text = "the host name \"" + a.host +
                 "\" is not known: check the URL for a typing error, or the name server "
                 "settings of this computer";
        return f;
    }
    bool refused = false, timedOut = false, connected = false;
    for (addrinfo* ai = res; ai && !connected; ai = ai->ai_next) {
        int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK, ai->ai_protocol);
        if (fd < 0)
            continue;
        int rc = ::connect(fd, ai->ai_addr, ai->ai_addrlen);
        if (rc == 0) {
            connected = true;
        } else if (errno == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            int n = ::poll(&p, 1, std::max(1, timeoutSeconds) * 1000);
            if (n == 0) {
                timedOut = true;
            } else {
                int err = 0;
                socklen_t len = sizeof err;
                ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
                if (err == 0)
                    connected = true;
                else if (err == ECONNREFUSED)
                    refused = true;
                else if (err == ETIMEDOUT || err == EHOSTUNREACH || err == ENETUNREACH)
                    timedOut = true;
            }
        } else if (errno == ECONNREFUSED) {
            refused = true;
        }
        ::close(fd);
    }
    ::freeaddrinfo(res);
    std::string where = a.host + " port " + std::to_string(a.port);
    if (connected)
        return f;
    if (refused) {
        f.kind = ConnectionFault::Refused;
        f.text = "the connection to " + where +
                 " was refused: nothing listens there. Is the server running, and is the port "
                 "right? (ldap:// is usually port 389, ldaps:// port 636)";
    } else if (timedOut) {
        f.kind = ConnectionFault::TimedOut;
        f.text = where + " did not answer within " + std::to_string(timeoutSeconds) +
                 " seconds: the host may be down, or a firewall may drop the connection";
    } else {
        f.kind = ConnectionFault::Refused;
        f.text = "no connection could be made to " + where;
    }
    return f;
}

std::string hexFingerprint(const unsigned char* bytes, std::size_t n) {
    std::string out;
    char buf[4];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, i ? ":%02X" : "%02X", bytes[i]);
        out += buf;
    }
    return out;
}

std::string optionText(LDAP* ld, int option) {
    char* value = nullptr;
    std::string out;
    if (ldap_get_option(ld, option, &value) == LDAP_OPT_SUCCESS && value) {
        out = value;
        ldap_memfree(value);
    }
    return out;
}

// The name libldap checks a server's certificate against: the URL's host, except that
// "localhost" stands for this computer's own full name.
std::string checkedHostName(const std::string& host) {
    if (!names::equalNoCase(host, "localhost"))
        return host;
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0)
        return host;
    addrinfo hints{};
    hints.ai_flags = AI_CANONNAME;
    addrinfo* res = nullptr;
    std::string out = name;
    if (::getaddrinfo(name, nullptr, &hints, &res) == 0 && res) {
        if (res->ai_canonname)
            out = res->ai_canonname;
        ::freeaddrinfo(res);
    }
    return out;
}

// The certificate the server shows, fetched over a TLS connection that does not verify it
// (nothing is sent over it), and checked the way libldap checks it.
bool fetchCertificate(const TreeSource& tree, const Address& a, int timeoutSeconds,
                      CertificateInfo& out) {
    LDAP* ld = nullptr;
    if (ldap_initialize(&ld, tree.url.c_str()) != LDAP_SUCCESS || !ld)
        return false;
    std::unique_ptr<LDAP, void (*)(LDAP*)> guard(
        ld, [](LDAP* l) { ldap_unbind_ext_s(l, nullptr, nullptr); });
    int version = LDAP_VERSION3;
    ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
    timeval net{std::max(1, timeoutSeconds), 0};
    ldap_set_option(ld, LDAP_OPT_NETWORK_TIMEOUT, &net);
    ldap_set_option(ld, LDAP_OPT_TIMEOUT, &net);
    int never = LDAP_OPT_X_TLS_NEVER;
    ldap_set_option(ld, LDAP_OPT_X_TLS_REQUIRE_CERT, &never);
    int isServer = 0;
    ldap_set_option(ld, LDAP_OPT_X_TLS_NEWCTX, &isServer);
    int rc = a.scheme == "ldaps" ? ldap_connect(ld) : ldap_start_tls_s(ld, nullptr, nullptr);
    if (rc != LDAP_SUCCESS)
        return false;
    berval der{0, nullptr};
    if (ldap_get_option(ld, LDAP_OPT_X_TLS_PEERCERT, &der) != LDAP_OPT_SUCCESS || !der.bv_val)
        return false;
    gnutls_x509_crt_t crt = nullptr;
    gnutls_x509_crt_init(&crt);
    gnutls_datum_t d{reinterpret_cast<unsigned char*>(der.bv_val),
                     static_cast<unsigned>(der.bv_len)};
    bool ok = gnutls_x509_crt_import(crt, &d, GNUTLS_X509_FMT_DER) == 0;
    if (ok) {
        gnutls_datum_t dn{nullptr, 0};
        if (gnutls_x509_crt_get_dn3(crt, &dn, 0) == 0) {
            out.subject.assign(reinterpret_cast<char*>(dn.data), dn.size);
            gnutls_free(dn.data);
        }
        if (gnutls_x509_crt_get_issuer_dn3(crt, &dn, 0) == 0) {
            out.issuer.assign(reinterpret_cast<char*>(dn.data), dn.size);
            gnutls_free(dn.data);
        }
        unsigned char fp[64];
        std::size_t n = sizeof fp;
        if (gnutls_x509_crt_get_fingerprint(crt, GNUTLS_DIG_SHA256, fp, &n) == 0)
            out.sha256 = hexFingerprint(fp, n);
        out.checkedName = checkedHostName(a.host);
        out.nameMatches = gnutls_x509_crt_check_hostname2(crt, out.checkedName.c_str(), 0) != 0;
        // Trusted by what libldap trusts: the tree's CA file, the process's CA settings and
        // the system's store.
        gnutls_x509_trust_list_t list = nullptr;
        gnutls_x509_trust_list_init(&list, 0);
        gnutls_x509_trust_list_add_system_trust(list, 0, 0);
        for (const std::string& file :
             {tree.caCertificate, optionText(nullptr, LDAP_OPT_X_TLS_CACERTFILE)})
            if (!file.empty())
                gnutls_x509_trust_list_add_trust_file(list, file.c_str(), nullptr,
                                                      GNUTLS_X509_FMT_PEM, 0, 0);
        std::string dir = optionText(nullptr, LDAP_OPT_X_TLS_CACERTDIR);
        if (!dir.empty())
            gnutls_x509_trust_list_add_trust_dir(list, dir.c_str(), nullptr, GNUTLS_X509_FMT_PEM, 0,
                                                 0);
        unsigned status = 1;
        if (gnutls_x509_trust_list_verify_crt(list, &crt, 1, 0, &status, nullptr) == 0)
            out.trusted = status == 0;
        gnutls_x509_trust_list_deinit(list, 1);
    }
    gnutls_x509_crt_deinit(crt);
    ber_memfree(der.bv_val);
    return ok;
}

// Active Directory's reason for a refused bind: "data 52e" and its kin in the diagnostic text.
ConnectionFault::Kind adBindReason(const std::string& diag) {
    auto has = [&](const char* code) { return diag.find(code) != std::string::npos; };
    if (has("data 775"))
        return ConnectionFault::AccountLocked;
    if (has("data 533"))
        return ConnectionFault::AccountDisabled;
    if (has("data 532") || has("data 773"))
        return ConnectionFault::PasswordExpired;
    return ConnectionFault::WrongPassword;
}

// Plain words for a failure of the connection, StartTLS or the bind.
ConnectionFault explain(const TreeSource& tree, const Address& a, LDAP* ld, int rc, bool binding,
                        int timeoutSeconds) {
    ConnectionFault f;
    f.ldapCode = rc;
    const std::string diag = diagnosticOf(ld);
    const std::string who = tree.bindDn.empty() ? std::string("this account") : tree.bindDn;
    if (rc == LDAP_INVALID_CREDENTIALS) {
        f.kind = adBindReason(diag);
        switch (f.kind) {
        case ConnectionFault::AccountLocked:
            f.text = "the account " + who +
                     " is locked out (too many wrong passwords): wait or ask an administrator "
                     "to unlock it";
            break;
        case ConnectionFault::AccountDisabled:
            f.text = "the account " + who + " is disabled: ask an administrator to enable it";
            break;
        case ConnectionFault::PasswordExpired:
            f.text = "the password of " + who +
                     " has expired or must be changed: change it, "
                     "then store the new one";
            break;
        default:
            f.text = "the password is wrong, or the account " + who +
                     " does not exist or is locked (the server does not say which): check the "
                     "bind DN or user name and enter the password again";
        }
        return f;
    }
    if (rc == LDAP_STRONG_AUTH_REQUIRED || rc == LDAP_CONFIDENTIALITY_REQUIRED) {
        f.kind = ConnectionFault::SecureConnectionRequired;
        f.text = "the server requires a secure connection for this bind: use an ldaps:// URL or "
                 "turn on StartTLS";
        return f;
    }
    if (!tree.sasl.empty() && names::equalNoCase(tree.sasl, "GSSAPI") && binding &&
        (diag.find("redential") != std::string::npos || diag.find("ticket") != std::string::npos ||
         rc == LDAP_LOCAL_ERROR)) {
        f.kind = ConnectionFault::KerberosTicketMissing;
        f.text = "the SASL GSSAPI bind failed: there is no usable Kerberos ticket. Get one with "
                 "kinit (for example \"kinit user@EXAMPLE.COM\") and try again (" +
                 ldapText(ld, rc) + ")";
        return f;
    }
    if (rc == LDAP_SERVER_DOWN || rc == LDAP_CONNECT_ERROR || rc == LDAP_TIMEOUT) {
        ConnectionFault reach = reachability(a, timeoutSeconds);
        if (reach.kind != ConnectionFault::None) {
            reach.ldapCode = rc;
            return reach;
        }
        if (isTls(tree, a)) {
            CertificateInfo cert;
            if (fetchCertificate(tree, a, timeoutSeconds, cert) &&
                (!cert.trusted || !cert.nameMatches)) {
                f.certificate = cert;
                std::string shown = "subject \"" + cert.subject + "\", issued by \"" + cert.issuer +
                                    "\", SHA-256 fingerprint " + cert.sha256;
                if (cert.trusted) {
                    f.kind = ConnectionFault::CertificateNameMismatch;
                    f.text = "the server's certificate (" + shown + ") is not made out to \"" +
                             cert.checkedName +
                             "\": use the host name the certificate names in the URL";
                    if (cert.checkedName != a.host)
                        f.text += " (libldap checks \"" + a.host + "\" as this computer's name)";
                } else {
                    f.kind = ConnectionFault::CertificateUntrusted;
                    f.text = "the server's certificate is not trusted (" + shown +
                             "): name the file of the CA certificate that signed it (CA "
                             "certificate in the Directories dialog, CACertificate= in "
                             "client.conf)";
                    if (!cert.nameMatches)
                        f.text += "; it is not made out to \"" + cert.checkedName + "\" either";
                }
                return f;
            }
            f.kind = ConnectionFault::Other;
            f.text = "the secure connection (TLS) could not be set up: " + ldapText(ld, rc);
            return f;
        }
        f.kind = rc == LDAP_TIMEOUT ? ConnectionFault::TimedOut : ConnectionFault::Other;
        f.text = rc == LDAP_TIMEOUT ? "the server did not answer in time"
                                    : "the server closed the connection: " + ldapText(ld, rc);
        return f;
    }
    f.kind = ConnectionFault::Other;
    f.text = ldapText(ld, rc);
    return f;
}

} // namespace

namespace ldapbk {

int connectAndBind(const TreeSource& tree, const std::string& password, int networkTimeout,
                   int resultTimeout, LDAP*& out, ConnectionFault& fault) {
    out = nullptr;
    fault = ConnectionFault{};
    Address address;
    LDAP* ld = nullptr;
    int rc = ldap_initialize(&ld, tree.url.c_str());
    if (rc != LDAP_SUCCESS || !ld || !parseAddress(tree.url, address)) {
        if (ld)
            ldap_unbind_ext_s(ld, nullptr, nullptr);
        fault.kind = ConnectionFault::BadUrl;
        fault.ldapCode = rc ? rc : LDAP_PARAM_ERROR;
        fault.text = tree.url + ": " + std::string(ldap_err2string(fault.ldapCode));
        return fault.ldapCode;
    }
    std::unique_ptr<LDAP, void (*)(LDAP*)> guard(
        ld, [](LDAP* l) { ldap_unbind_ext_s(l, nullptr, nullptr); });
    int version = LDAP_VERSION3;
    ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
    ldap_set_option(ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
    timeval net{networkTimeout, 0};
    ldap_set_option(ld, LDAP_OPT_NETWORK_TIMEOUT, &net);
    timeval op{resultTimeout, 0};
    ldap_set_option(ld, LDAP_OPT_TIMEOUT, &op);
    if (!tree.clientCertificate.empty() || !tree.clientKey.empty() || !tree.caCertificate.empty()) {
        // This connection's own TLS context: the tree's CA, its client certificate (SASL
        // EXTERNAL). A new context starts without the process's CA settings (libldap keeps
        // them for its shared context only), so they are copied where the tree names none.
        for (int option : {LDAP_OPT_X_TLS_CACERTFILE, LDAP_OPT_X_TLS_CACERTDIR}) {
            std::string value = optionText(nullptr, option);
            if (option == LDAP_OPT_X_TLS_CACERTFILE && !tree.caCertificate.empty())
                value = tree.caCertificate;
            if (!value.empty())
                ldap_set_option(ld, option, value.c_str());
        }
        if (!tree.clientCertificate.empty())
            ldap_set_option(ld, LDAP_OPT_X_TLS_CERTFILE, tree.clientCertificate.c_str());
        if (!tree.clientKey.empty())
            ldap_set_option(ld, LDAP_OPT_X_TLS_KEYFILE, tree.clientKey.c_str());
        int demand = LDAP_OPT_X_TLS_DEMAND;
        ldap_set_option(ld, LDAP_OPT_X_TLS_REQUIRE_CERT, &demand);
        int isServer = 0;
        ldap_set_option(ld, LDAP_OPT_X_TLS_NEWCTX, &isServer);
    }
    auto failed = [&](int code, const std::string& prefix, bool binding) {
        fault = explain(tree, address, ld, code, binding, networkTimeout);
        // libldap connects on the first request: a bind that never reached the server is a
        // connection that failed, and is named as such.
        const bool connection = fault.kind == ConnectionFault::HostNotFound ||
                                fault.kind == ConnectionFault::Refused ||
                                fault.kind == ConnectionFault::TimedOut ||
                                fault.kind == ConnectionFault::CertificateUntrusted ||
                                fault.kind == ConnectionFault::CertificateNameMismatch;
        fault.text = (binding && connection ? tree.url + ": " : prefix) + fault.text;
        return code;
    };
    if (tree.startTls && address.scheme == "ldap") {
        rc = ldap_start_tls_s(ld, nullptr, nullptr);
        if (rc != LDAP_SUCCESS)
            return failed(rc, tree.url + ": StartTLS failed: ", false);
    }
    if (!tree.sasl.empty()) {
        // EXTERNAL: the identity of the connection (a client certificate, or the process's
        // user over ldapi://); GSSAPI: the user's Kerberos ticket. BindDN, when given, is the
        // identity asked for.
        rc = ldap_sasl_interactive_bind_s(
            ld, nullptr, tree.sasl.c_str(), nullptr, nullptr, LDAP_SASL_QUIET,
            [](LDAP*, unsigned, void* defaults, void* in) {
                auto* authz = static_cast<const std::string*>(defaults);
                for (auto* i = static_cast<sasl_interact_t*>(in); i->id != SASL_CB_LIST_END; ++i) {
                    const char* v =
                        i->id == SASL_CB_USER && !authz->empty() ? authz->c_str() : i->defresult;
                    i->result = v ? v : "";
                    i->len =
                        static_cast<unsigned>(std::strlen(static_cast<const char*>(i->result)));
                }
                return LDAP_SUCCESS;
            },
            const_cast<std::string*>(&tree.bindDn));
        if (rc != LDAP_SUCCESS)
            return failed(rc, tree.url + ": the SASL " + tree.sasl + " bind failed: ", true);
    } else if (!tree.bindDn.empty()) {
        std::string secret = password;
        berval cred{static_cast<ber_len_t>(secret.size()), secret.data()};
        rc = ldap_sasl_bind_s(ld, tree.bindDn.c_str(), LDAP_SASL_SIMPLE, &cred, nullptr, nullptr,
                              nullptr);
        std::fill(secret.begin(), secret.end(), '\0');
        if (rc != LDAP_SUCCESS)
            return failed(rc, tree.url + ": cannot bind as \"" + tree.bindDn + "\": ", true);
    } else {
        // Anonymous: no bind is needed, but a server that is not there must show now, not at
        // the first search.
        rc = ldap_connect(ld);
        if (rc != LDAP_SUCCESS)
            return failed(rc, tree.url + ": ", false);
    }
    out = guard.release();
    return LDAP_SUCCESS;
}

} // namespace ldapbk

namespace {

std::vector<std::string> values(LDAP* ld, LDAPMessage* m, const char* attr) {
    std::vector<std::string> out;
    berval** vals = ldap_get_values_len(ld, m, attr);
    if (!vals)
        return out;
    for (std::size_t i = 0; vals[i]; ++i)
        out.emplace_back(vals[i]->bv_val ? vals[i]->bv_val : "", vals[i]->bv_len);
    ldap_value_free_len(vals);
    return out;
}

bool contains(const std::vector<std::string>& list, const char* value) {
    return std::any_of(list.begin(), list.end(),
                       [&](const std::string& v) { return names::equalNoCase(v, value); });
}

} // namespace

ServerReport probeLdapServer(const TreeSource& tree, const std::string& password,
                             int timeoutSeconds, const std::atomic<bool>* cancelled) {
    ServerReport report;
    report.anonymous = tree.bindDn.empty() && tree.sasl.empty();
    const auto deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
    auto remaining = [&]() {
        auto left = std::chrono::duration_cast<std::chrono::seconds>(deadline - Clock::now());
        return std::max<int>(1, static_cast<int>(left.count()));
    };
    auto stop = [&]() {
        if (!(cancelled && cancelled->load()))
            return false;
        report.fault.kind = ConnectionFault::Cancelled;
        report.fault.text = "the test was cancelled";
        return true;
    };
    if (stop())
        return report;
    if (!tree.bindDn.empty() && tree.sasl.empty() && password.empty()) {
        report.fault.kind = ConnectionFault::NoPassword;
        report.fault.text = "enter the password of " + tree.bindDn +
                            ", or leave the bind DN empty "
                            "for an anonymous bind";
        return report;
    }
    LDAP* ld = nullptr;
    // Connecting and binding share what is left of the time.
    int budget = remaining();
    if (ldapbk::connectAndBind(tree, password, std::max(1, budget / 2), budget, ld, report.fault) !=
        LDAP_SUCCESS)
        return report;
    std::unique_ptr<LDAP, void (*)(LDAP*)> guard(
        ld, [](LDAP* l) { ldap_unbind_ext_s(l, nullptr, nullptr); });
    if (stop())
        return report;
    const char* rootAttrs[] = {
        "namingContexts",    "supportedCapabilities", "vendorName", "vendorVersion", "objectClass",
        "subschemaSubentry", "structuralObjectClass", nullptr};
    timeval tv{remaining(), 0};
    LDAPMessage* res = nullptr;
    int rc = ldap_search_ext_s(ld, "", LDAP_SCOPE_BASE, "(objectClass=*)",
                               const_cast<char**>(rootAttrs), 0, nullptr, nullptr, &tv, 1, &res);
    LDAPMessage* entry = res ? ldap_first_entry(ld, res) : nullptr;
    std::string subschema;
    if (rc != LDAP_SUCCESS || !entry) {
        if (res)
            ldap_msgfree(res);
        report.fault.kind = ConnectionFault::Other;
        report.fault.ldapCode = rc;
        report.fault.text = tree.url + ": the server's root entry cannot be read: " +
                            ldapText(ld, rc ? rc : LDAP_NO_SUCH_OBJECT);
        return report;
    }
    report.namingContexts = values(ld, entry, "namingContexts");
    std::vector<std::string> caps = values(ld, entry, "supportedCapabilities");
    std::vector<std::string> classes = values(ld, entry, "objectClass");
    for (const std::string& s : values(ld, entry, "structuralObjectClass"))
        classes.push_back(s);
    std::vector<std::string> vendor = values(ld, entry, "vendorName");
    for (const std::string& v : values(ld, entry, "vendorVersion"))
        vendor.push_back(v);
    for (const std::string& v : vendor)
        report.vendor += (report.vendor.empty() ? "" : " ") + v;
    std::vector<std::string> sub = values(ld, entry, "subschemaSubentry");
    if (!sub.empty())
        subschema = sub.front();
    ldap_msgfree(res);
    if (contains(caps, "1.2.840.113556.1.4.800"))
        report.serverKind = "Active Directory";
    else if (contains(classes, "OpenLDAProotDSE"))
        report.serverKind = "OpenLDAP";
    else
        report.serverKind = "another LDAP server";

    if (stop())
        return report;
    // The schema: its definitions are asked for by name, without their values.
    if (!subschema.empty()) {
        const char* schemaAttrs[] = {"objectClasses", "attributeTypes", nullptr};
        timeval st{remaining(), 0};
        res = nullptr;
        rc = ldap_search_ext_s(ld, subschema.c_str(), LDAP_SCOPE_BASE, "(objectClass=*)",
                               const_cast<char**>(schemaAttrs), 1, nullptr, nullptr, &st, 1, &res);
        entry = res && rc == LDAP_SUCCESS ? ldap_first_entry(ld, res) : nullptr;
        if (entry) {
            BerElement* ber = nullptr;
            int found = 0;
            for (char* a = ldap_first_attribute(ld, entry, &ber); a;
                 a = ldap_next_attribute(ld, entry, ber)) {
                ++found;
                ldap_memfree(a);
            }
            if (ber)
                ber_free(ber, 0);
            report.schemaReadable = found == 2;
        }
        if (res)
            ldap_msgfree(res);
    }
    report.ok = true;
    std::string lines = "Connected to " + report.serverKind +
                        (report.vendor.empty() ? std::string() : " (" + report.vendor + ")") +
                        " at " + tree.url + (report.anonymous ? ", bound anonymously" : "") + ".\n";
    if (report.namingContexts.empty()) {
        lines += "The server names no naming contexts";
        lines += report.anonymous ? " to an anonymous user.\n" : ".\n";
    } else {
        lines += "Naming contexts:";
        for (const std::string& c : report.namingContexts)
            lines += "\n  " + c;
        lines += "\n";
    }
    lines += report.schemaReadable ? "The schema can be read."
                                   : "The schema cannot be read: classes and attributes will be "
                                     "missing from the lists.";
    if (report.anonymous)
        lines += "\nServers often hide entries from anonymous users: bind with an account to see "
                 "them all.";
    report.summary = lines;
    return report;
}

} // namespace kvx::client
