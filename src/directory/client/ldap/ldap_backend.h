// A tree served by an LDAP server (OpenLDAP's libldap): ldap://, ldaps:// or StartTLS with the
// server's certificate verified, a simple bind with the password read from the configured
// password file (or anonymous when no bind DN is configured), searches with the paged-results
// control (RFC 2696), and the schema read from the server's subschema entry.
#pragma once

#include "../backend.h"
#include "../config.h"

#include <memory>

namespace kvx::client {

struct LdapTuning {
    int pageSize = 1000;     // entries per page of a paged search
    int networkTimeout = 10; // seconds to connect
    int resultTimeout = 120; // seconds to wait for one answer of the server
    int retryAfter = 5;      // seconds before a failed connection is tried again
    // Values of a multi-valued attribute asked for at a time ("member;range=0-N"), as a
    // server with a value limit hands them out; 0: as many as the server sends unasked.
    int valueRange = 0;
    // Whether a search with attributes first goes out without paging, read as it arrives.
    // Active Directory (Samba) answers it several times faster than page by page (measured:
    // 0.6 s against 2.3 s for 10,000 users on Samba) and stops it at its MaxPageSize; a search
    // stopped at a size, administrative or time limit is asked again page by page and the
    // entries already handed out are passed over. Other servers keep their paged order.
    enum class Unpaged { Never, ActiveDirectory, Always };
    Unpaged unpagedFirst = Unpaged::ActiveDirectory;
};

std::unique_ptr<Backend> makeLdapBackend(const TreeSource& source, LdapTuning tuning = {});

} // namespace kvx::client
