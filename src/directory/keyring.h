// Tree passwords in the desktop's keyring (the Secret Service: GNOME Keyring, KWallet, ...),
// reached through QtKeychain. Each password is stored under the service "korvanex" and the
// tree's name in lower case (tree names compare without regard to case).
//
// A keyring is only looked for where there is a session bus (DBUS_SESSION_BUS_ADDRESS): a job
// run by cron or a service has none, and then gets a clear answer at once instead of a wait.
#pragma once

#include "directory/client/passwords.h"

#include <memory>
#include <string>

namespace kvx::directory {

class Keyring {
public:
    virtual ~Keyring() = default;
    // Each returns false with `error` in plain words when the keyring cannot do it.
    virtual bool read(const std::string& tree, std::string& password, std::string& error) = 0;
    virtual bool write(const std::string& tree, const std::string& password,
                       std::string& error) = 0;
    virtual bool remove(const std::string& tree, std::string& error) = 0;
};

// The desktop's keyring. Its calls wait (at most 25 s) in an event loop of their own, so they
// may be made from any thread that has no event loop running a keyring call already.
std::unique_ptr<Keyring> makeDesktopKeyring();

// What to tell a user who has no keyring: how to give a tree a password file instead.
std::string noKeyringAdvice(const std::string& tree);

// Makes the client read bind passwords of trees without a PasswordFile from `keyring`.
void useKeyringForPasswords(std::shared_ptr<Keyring> keyring);

} // namespace kvx::directory
