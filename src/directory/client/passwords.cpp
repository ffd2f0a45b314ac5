#include "passwords.h"

#include <mutex>

namespace kvx::client {

namespace {

std::mutex& sourceMutex() {
    static std::mutex m;
    return m;
}

PasswordSource& installed() {
    static PasswordSource s;
    return s;
}

} // namespace

void setPasswordSource(PasswordSource source) {
    std::lock_guard lock(sourceMutex());
    installed() = std::move(source);
}

PasswordLookup lookupPassword(const std::string& treeName) {
    PasswordSource source;
    {
        std::lock_guard lock(sourceMutex());
        source = installed();
    }
    if (!source) {
        PasswordLookup none;
        none.error = "no keyring is available to this program";
        return none;
    }
    return source(treeName);
}

} // namespace kvx::client
