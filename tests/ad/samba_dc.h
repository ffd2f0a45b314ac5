// A private Samba Active Directory domain controller for the tests: provisioned in a temporary
// folder (realm KVX.TEST, domain DC=kvx,DC=test), serving LDAP and LDAPS on a loopback address
// of its own with a certificate from a CA made here, and its KDC on the same address (the LDAP
// service principal names the address too), filled through LDAP adds, stopped by its
// process id. Samba binds the fixed LDAP ports, so each controller needs its own address.
#pragma once

#include <string>
#include <sys/types.h>

namespace kvx::testing {

class SambaDc {
public:
    SambaDc() = default;
    SambaDc(const SambaDc&) = delete;
    SambaDc& operator=(const SambaDc&) = delete;
    ~SambaDc();

    // False with `error` when Samba, the tools or the rights it needs are missing, or the
    // controller does not come up.
    bool start(std::string& error);
    // Ends the controller (SIGTERM, then SIGKILL), takes its address off and removes its folder.
    void stop();

    // Adds or changes entries: `ldif` as ldapmodify reads it (records without "changetype" add).
    bool modify(const std::string& ldif, std::string& error) const;
    // ldapsearch's LDIF output (no line wrapping) for a search as the administrator.
    std::string search(const std::string& base, const std::string& scope, const std::string& filter,
                       const std::string& attributes) const;

    const std::string& address() const { return address_; }
    std::string url() const { return "ldaps://" + address_; }
    std::string plainUrl() const { return "ldap://" + address_; }
    std::string caFile() const { return dir_ + "/ca.pem"; }
    std::string passwordFile() const { return dir_ + "/admin.password"; }
    // Kerberos settings for the realm KVX.TEST, its KDC at the controller's address.
    std::string krb5Conf() const { return dir_ + "/krb5.conf"; }
    const std::string& folder() const { return dir_; }
    static constexpr const char* kBase = "DC=kvx,DC=test";
    static constexpr const char* kAdmin = "Administrator@KVX.TEST";
    static constexpr const char* kPassword = "Kvx-Test-Pass1";

private:
    pid_t pid_ = -1;
    bool addressAdded_ = false;
    std::string address_;
    std::string dir_;
};

} // namespace kvx::testing
