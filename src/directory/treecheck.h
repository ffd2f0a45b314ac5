// The "Test" of the directories dialog, without a window: what a tree's source holds or why it
// cannot be reached, in plain words.
#pragma once

#include "directory/client/config.h"
#include "directory/client/ldap/ldap_connect.h"

#include <atomic>
#include <string>
#include <vector>

namespace kvx::directory {

struct TreeCheck {
    bool ok = false;
    std::string text; // what was found, or what is wrong and what to do
    std::vector<std::string> namingContexts;
    std::string serverKind;              // LDAP trees: "OpenLDAP", "Active Directory", ...
    client::CertificateInfo certificate; // an untrusted or misnamed server certificate
    client::ConnectionFault::Kind fault = client::ConnectionFault::None;
};

// The longest a test of a server takes.
inline constexpr int kTestSeconds = 10;

// A folder tree: how many entries and naming contexts it holds, or the file, line and fault
// that stop it from opening. A server tree: probeLdapServer (ldap_connect.h) with `password`.
TreeCheck checkTree(const client::TreeSource& tree, const std::string& password,
                    const std::atomic<bool>* cancelled = nullptr);

} // namespace kvx::directory
