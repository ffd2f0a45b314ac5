// The client configuration: which trees exist, which is the default, where each is served from.
//
// Looked for in $KORVANEX_CLIENT_CONF, then ~/.config/korvanex/client.conf, then
// /etc/korvanex/client.conf. Format (INI; relative paths are relative to the file's folder):
//
//   [Client]
//   DefaultTree=ACME
//
//   [Tree ACME]
//   Folder=/usr/share/korvanex/trees/ACME
//
//   [Tree CORP]
//   URL=ldaps://ldap.example.com
//   Base=o=Corp
//   BindDN=cn=reporter,o=Corp
//   PasswordFile=/etc/korvanex/corp.password
//   StartTLS=no
//   CACertificate=/etc/korvanex/corp-ca.pem
//
// A tree with a BindDN and no PasswordFile binds with the password the desktop's keyring holds
// for it (passwords.h). When the user's own file exists, the trees of /etc/korvanex/client.conf
// that it does not name are served too, after the user's.
//
// With no configuration file the sample trees that ship with the program are served and the
// first of them (in name order) is the default tree. Sample trees are folders of
// <data>/trees/, where <data> is $KORVANEX_DATA_DIR, else ../share/korvanex beside the
// program, else the data folder of the source tree the program was built from.
#pragma once

#include "registry.h"

#include <memory>
#include <string>
#include <vector>

namespace kvx::client {

struct TreeSource {
    std::string name;
    std::string folder; // embedded tree
    std::string url;    // LDAP tree
    std::string base;
    std::string bindDn;
    std::string passwordFile;
    bool startTls = false;
    std::string sasl;              // SASL mechanism (EXTERNAL, GSSAPI); empty: a simple bind
    std::string clientCertificate; // for SASL EXTERNAL over TLS: PEM certificate and key files
    std::string clientKey;
    std::string caCertificate; // PEM file of the CA that signed the server's certificate
    bool system = false;       // from the system's file, not the user's own
};

struct ClientConfig {
    std::string file; // the configuration file read, empty when none
    std::string defaultTree;
    std::vector<TreeSource> trees;       // as configured, in file order
    std::vector<TreeSource> sampleTrees; // shipped sample trees not named by the configuration
    std::string error;                   // what was wrong with the file, if anything
};

ClientConfig loadClientConfig();
// The file a user's own trees are kept in: $KORVANEX_CLIENT_CONF when set, else
// $XDG_CONFIG_HOME/korvanex/client.conf (~/.config/korvanex/client.conf).
std::string userConfigPath();
// The system's file (/etc/korvanex/client.conf), read-only to the user; "" when the user's file
// is named by $KORVANEX_CLIENT_CONF (only that file is read then).
std::string systemConfigPath();
ClientConfig parseClientConfig(const std::string& text, const std::string& fileName);
std::string sampleTreesFolder();

// The provider NWCallsInit installs: the configured trees and the sample trees.
std::unique_ptr<TreeProvider> makeConfiguredTreeProvider(const ClientConfig& config);

// A provider serving backends handed to it; for tests and tools.
class StaticTreeProvider : public TreeProvider {
public:
    void add(std::unique_ptr<Backend> backend, bool advertised = false);
    void setDefaultTree(std::string name) { default_ = std::move(name); }
    void setConfigurationError(std::string text) { configError_ = std::move(text); }
    std::string configurationError() const override { return configError_; }
    std::vector<std::string> configuredTrees() const override;
    std::vector<std::string> advertisedTrees() const override;
    std::string defaultTree() const override;
    Backend* backend(const std::string& treeName) override;

private:
    struct Item {
        std::unique_ptr<Backend> backend;
        bool advertised;
    };
    std::vector<Item> items_;
    std::string default_;
    std::string configError_;
};

} // namespace kvx::client
