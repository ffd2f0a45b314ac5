// Which trees the client knows and which backend serves each.
//
// NWCallsInit installs the provider built from the client configuration (config.h) unless one
// was installed before; tests install their own to serve trees made on the spot.
#pragma once

#include "backend.h"

#include <memory>
#include <string>
#include <vector>

namespace kvx::client {

class TreeProvider {
public:
    virtual ~TreeProvider() = default;
    // Trees named by the client configuration, in the order it names them.
    virtual std::vector<std::string> configuredTrees() const = 0;
    // Sample trees found beside the program that the configuration does not name.
    virtual std::vector<std::string> advertisedTrees() const = 0;
    // The tree a context uses when no tree name is set.
    virtual std::string defaultTree() const = 0;
    // The backend serving a tree (compared without regard to case), or nullptr for a tree the
    // client does not know. The provider owns its backends; they live as long as it does.
    virtual Backend* backend(const std::string& treeName) = 0;
    // What was wrong with the client configuration file ("<file>:<line>: <fault>"), if anything.
    virtual std::string configurationError() const { return {}; }
};

// Installs `provider` (replacing and destroying any earlier one, and every context, buffer and
// iteration that referred to it). Passing nullptr uninstalls; the next NWCallsInit then builds
// the provider from the client configuration.
void installTreeProvider(std::unique_ptr<TreeProvider> provider);
TreeProvider* treeProvider();

// Forgets every context, buffer, filter, iteration and scan, and the NWCallsInit state.
// For tests that need a client as fresh as at program start.
void resetClient();

} // namespace kvx::client
