// Where a tree's bind password comes from when its configuration names no PasswordFile.
//
// The client knows no keyring itself: the program installs a source (the desktop's keyring,
// directory/keyring.h) at start-up. Without one, such a tree cannot bind and says how to give it
// a password.
#pragma once

#include <functional>
#include <string>

namespace kvx::client {

struct PasswordLookup {
    bool found = false;
    std::string password;
    std::string error; // why there is none: no keyring reachable, nothing stored for the tree
};

using PasswordSource = std::function<PasswordLookup(const std::string& treeName)>;

// Installs the source (an empty function removes it). Called from the program's main thread.
void setPasswordSource(PasswordSource source);
PasswordLookup lookupPassword(const std::string& treeName);

} // namespace kvx::client
