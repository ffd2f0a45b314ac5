// A private OpenLDAP slapd for the tests: started on 127.0.0.1 at a free port in a temporary
// folder, loaded with a tree's schema and LDIF files through slapadd, stopped by its process id.
#pragma once

#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kvx::testing {

struct SlapdOptions {
    std::string treeFolder; // every *.schema and *.ldif of it, in name order (slapd's own
                            // core.schema first unless the folder has a core.schema)
    std::string sizeLimit = "unlimited";
    std::string managerPassword; // non-empty: "cn=Manager,<first suffix>" may bind with it
    bool tls = false;   // a private CA and a server certificate for 127.0.0.1; ldaps:// as well
    std::string global; // further directives of the global section
    std::map<std::string, std::string> access; // a suffix's database: its access directives
};

class Slapd {
public:
    Slapd() = default;
    Slapd(const Slapd&) = delete;
    Slapd& operator=(const Slapd&) = delete;
    ~Slapd();

    // False with `error` when slapd or slapadd is missing or the server does not come up.
    bool start(const SlapdOptions& options, std::string& error);
    // Ends the server (SIGTERM, then SIGKILL after a few seconds) and removes its folder.
    void stop();
    // Ends the server at once, as a crash or a pulled cable would.
    void kill();
    // Stops and continues the server's process: a server that no longer answers.
    void pause();
    void resume();

    bool running() const { return pid_ > 0; }
    int port() const { return port_; }
    std::string url() const { return "ldap://127.0.0.1:" + std::to_string(port_); }
    std::string tlsUrl() const { return "ldaps://127.0.0.1:" + std::to_string(tlsPort_); }
    std::string caFile() const { return dir_ + "/ca.pem"; }
    // Its local socket, where SASL EXTERNAL binds as the user of the connecting process.
    std::string ldapiUrl() const {
        std::string path = dir_ + "/ldapi", url = "ldapi://";
        for (char c : path)
            url += c == '/' ? std::string("%2F") : std::string(1, c);
        return url;
    }
    const std::string& folder() const { return dir_; }
    // With `tls`: a client certificate for `subject` ("/CN=...") from the server's CA, written
    // to `certificate` and `key`.
    bool clientCertificate(const std::string& subject, const std::string& certificate,
                           const std::string& key, std::string& error) const;
    const std::vector<std::string>& suffixes() const { return suffixes_; }

private:
    void reap(int signal, int graceSeconds);
    pid_t pid_ = -1;
    int port_ = 0;
    int tlsPort_ = 0;
    std::string dir_;
    std::vector<std::string> suffixes_;
};

std::string readFile(const std::string& path);
bool writeFile(const std::string& path, const std::string& text);
// Whether something listens on `address`:`port` (TCP).
bool canConnect(int port, const char* address = "127.0.0.1");

// The full path of an installed program ("" when none is found in the usual folders).
std::string findProgram(const char* name);

// Runs a program to its end; its output goes to `log`. Returns its exit status (-1 when it
// could not run).
int run(const std::vector<std::string>& argv, const std::string& log);

// A port on 127.0.0.1 that nothing listens on right now.
int freePort();

// LDIF records of `text` reordered so that each entry's subtree follows it directly (entries of
// a subtree keep their order among siblings). slapd hands out a search in the order entries
// were added; loading them in tree order makes that the order the embedded directory uses.
std::string ldifInTreeOrder(const std::string& text, std::string* suffix);

} // namespace kvx::testing
