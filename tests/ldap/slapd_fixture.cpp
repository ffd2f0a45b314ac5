#include "slapd_fixture.h"

#include "directory/client/embedded/ldif.h"
#include "directory/client/names.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace kvx::testing {

namespace fs = std::filesystem;
namespace client = kvx::client;

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    return static_cast<bool>(out);
}

bool canConnect(int port, const char* address) {
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0)
        return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = ::inet_pton(AF_INET, address, &a.sin_addr) == 1 &&
              ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(s);
    return ok;
}

std::string findProgram(const char* name) {
    for (const char* dir : {"/usr/sbin", "/usr/bin", "/usr/local/sbin", "/usr/local/bin"}) {
        std::string p = std::string(dir) + "/" + name;
        if (::access(p.c_str(), X_OK) == 0)
            return p;
    }
    return {};
}

int run(const std::vector<std::string>& argv, const std::string& log) {
    pid_t pid = ::fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        FILE* f = std::freopen(log.c_str(), "a", stdout);
        if (f)
            ::dup2(::fileno(stdout), 2);
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int freePort() {
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0)
        return 0;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = 0;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    ::close(s);
    return port;
}

std::string ldifInTreeOrder(const std::string& text, std::string* suffix) {
    struct Record {
        std::string text;
        std::string key;    // lower-case typeless name
        std::string parent; // lower-case typeless name of the parent
        std::size_t depth = 0;
    };
    std::vector<Record> records;
    std::vector<client::ldif::Line> lines;
    std::string why, layout, scratch;
    std::size_t errorLine = 0;
    std::size_t topDepth = 0;
    client::ldif::forEachRecord(
        text,
        [&](std::string_view record, std::size_t line) {
            Record r;
            r.text = std::string(record);
            if (client::ldif::parseRecord(record, line, lines, why, errorLine) && !lines.empty()) {
                std::string_view dn;
                if (client::ldif::lineValue(lines[0], scratch, dn)) {
                    std::vector<client::names::Rdn> rdns;
                    client::names::parseDn(dn, rdns);
                    r.depth = rdns.size();
                    std::string name = client::names::lowerAscii(client::names::dnToTypeless(dn));
                    r.key = name;
                    auto parts = client::names::splitName(name);
                    if (!parts.empty())
                        parts.erase(parts.begin());
                    r.parent = client::names::joinName(parts);
                    if (suffix && (suffix->empty() || r.depth < topDepth)) {
                        *suffix = std::string(dn);
                        topDepth = r.depth;
                    }
                }
            }
            records.push_back(std::move(r));
            return true;
        },
        layout, errorLine);
    // Children by parent, in file order; then a depth-first walk from the top entries.
    std::map<std::string, std::vector<std::size_t>> children;
    std::map<std::string, bool> present;
    for (const auto& r : records)
        present[r.key] = true;
    std::vector<std::size_t> tops;
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (present.count(records[i].parent) && records[i].depth > 1)
            children[records[i].parent].push_back(i);
        else
            tops.push_back(i);
    }
    std::string out;
    std::vector<std::size_t> stack(tops.rbegin(), tops.rend());
    while (!stack.empty()) {
        std::size_t i = stack.back();
        stack.pop_back();
        out += records[i].text;
        while (!out.empty() && out.back() == '\n')
            out.pop_back();
        out += "\n\n";
        auto it = children.find(records[i].key);
        if (it != children.end())
            stack.insert(stack.end(), it->second.rbegin(), it->second.rend());
    }
    return out;
}

Slapd::~Slapd() {
    stop();
}

bool Slapd::start(const SlapdOptions& options, std::string& error) {
    stop();
    const std::string slapd = findProgram("slapd");
    const std::string slapadd = findProgram("slapadd");
    if (slapd.empty() || slapadd.empty()) {
        error = "slapd and slapadd are needed (Debian packages slapd and ldap-utils; "
                "scripts/install-deps.sh installs them)";
        return false;
    }
    char tmpl[] = "/tmp/kvx-slapd-XXXXXX";
    if (!::mkdtemp(tmpl)) {
        error = "cannot make a temporary folder";
        return false;
    }
    dir_ = tmpl;

    std::vector<std::string> schemas, ldifs;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(options.treeFolder, ec)) {
        std::string ext = e.path().extension().string();
        if (ext == ".schema")
            schemas.push_back(e.path().string());
        else if (ext == ".ldif")
            ldifs.push_back(e.path().string());
    }
    std::sort(schemas.begin(), schemas.end());
    std::sort(ldifs.begin(), ldifs.end());
    if (ldifs.empty()) {
        error = options.treeFolder + ": no LDIF files";
        return false;
    }

    // slapd's core.schema first, unless the tree brings its own copy.
    const bool ownCore = std::any_of(schemas.begin(), schemas.end(), [](const std::string& s) {
        return fs::path(s).filename() == "core.schema";
    });
    std::string conf = ownCore ? "" : "include /etc/ldap/schema/core.schema\n";
    for (const auto& s : schemas)
        conf += "include \"" + s + "\"\n";
    conf += "pidfile " + dir_ +
            "/slapd.pid\n"
            "modulepath /usr/lib/ldap\n"
            "moduleload back_mdb\n"
            "sizelimit " +
            options.sizeLimit + "\n";
    std::vector<std::string> loads;
    suffixes_.clear();
    for (std::size_t i = 0; i < ldifs.size(); ++i) {
        std::string suffix;
        std::string ordered = ldifInTreeOrder(readFile(ldifs[i]), &suffix);
        if (suffix.empty()) {
            error = ldifs[i] + ": no top entry found";
            return false;
        }
        std::string db = dir_ + "/db" + std::to_string(i);
        fs::create_directory(db, ec);
        std::string file = dir_ + "/load" + std::to_string(i) + ".ldif";
        writeFile(file, ordered);
        conf += "database mdb\nmaxsize 4294967296\nsuffix \"" + suffix + "\"\ndirectory \"" + db +
                "\"\n";
        if (auto acl = options.access.find(suffix); acl != options.access.end())
            conf += acl->second + "\n";
        if (!options.managerPassword.empty() && i == 0)
            conf += "rootdn \"cn=Manager," + suffix + "\"\nrootpw \"" + options.managerPassword +
                    "\"\n";
        suffixes_.push_back(suffix);
        loads.push_back(file);
    }
    if (options.tls) {
        const std::string openssl = findProgram("openssl");
        if (openssl.empty()) {
            error = "openssl is needed to make the test certificates";
            return false;
        }
        const std::string d = dir_ + "/";
        writeFile(d + "server.ext", "subjectAltName=IP:127.0.0.1,DNS:localhost\n");
        const std::string log = d + "openssl.log";
        if (run({openssl, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", d + "ca.key",
                 "-out", d + "ca.pem", "-days", "2", "-subj", "/CN=Korvanex Test CA", "-addext",
                 "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=keyCertSign,cRLSign"},
                log) != 0 ||
            run({openssl, "req", "-newkey", "rsa:2048", "-nodes", "-keyout", d + "server.key",
                 "-out", d + "server.csr", "-subj", "/CN=127.0.0.1"},
                log) != 0 ||
            run({openssl, "x509", "-req", "-in", d + "server.csr", "-CA", d + "ca.pem", "-CAkey",
                 d + "ca.key", "-CAcreateserial", "-out", d + "server.pem", "-days", "2",
                 "-extfile", d + "server.ext"},
                log) != 0) {
            error = "the test certificates could not be made: " + readFile(log);
            return false;
        }
        conf = "TLSCACertificateFile " + d + "ca.pem\nTLSCertificateFile " + d +
               "server.pem\nTLSCertificateKeyFile " + d + "server.key\n" + conf;
    }
    conf = options.global + "\n" + conf;
    const std::string confFile = dir_ + "/slapd.conf";
    writeFile(confFile, conf);
    const std::string log = dir_ + "/slapd.log";
    for (std::size_t i = 0; i < loads.size(); ++i) {
        if (run({slapadd, "-q", "-f", confFile, "-b", suffixes_[i], "-l", loads[i]}, log) != 0) {
            error = "slapadd failed: " + readFile(log);
            return false;
        }
    }

    for (int attempt = 0; attempt < 5; ++attempt) {
        port_ = freePort();
        std::string listen = "ldap://127.0.0.1:" + std::to_string(port_) + "/ " + ldapiUrl() + "/";
        if (options.tls) {
            tlsPort_ = freePort();
            listen += " ldaps://127.0.0.1:" + std::to_string(tlsPort_) + "/";
        }
        pid_t pid = ::fork();
        if (pid < 0) {
            error = "fork failed";
            return false;
        }
        if (pid == 0) {
            FILE* f = std::freopen(log.c_str(), "a", stdout);
            if (f)
                ::dup2(::fileno(stdout), 2);
            // -d keeps slapd in the foreground, so the process id is the one started here.
            ::execl(slapd.c_str(), slapd.c_str(), "-d", "0", "-f", confFile.c_str(), "-h",
                    listen.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        pid_ = pid;
        for (int i = 0; i < 200; ++i) {
            if (canConnect(port_) && (!options.tls || canConnect(tlsPort_)))
                return true;
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (pid_ > 0)
            reap(SIGKILL, 0);
    }
    error = "slapd did not start: " + readFile(log);
    return false;
}

void Slapd::reap(int signal, int graceSeconds) {
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGCONT); // a paused server must be able to act on the signal
    ::kill(pid_, signal);
    for (int i = 0; i < graceSeconds * 20; ++i) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
}

void Slapd::pause() {
    if (pid_ > 0)
        ::kill(pid_, SIGSTOP);
}

void Slapd::resume() {
    if (pid_ > 0)
        ::kill(pid_, SIGCONT);
}

void Slapd::kill() {
    reap(SIGKILL, 0);
}

bool Slapd::clientCertificate(const std::string& subject, const std::string& certificate,
                              const std::string& key, std::string& error) const {
    const std::string openssl = findProgram("openssl");
    const std::string d = dir_ + "/";
    const std::string log = d + "client-cert.log";
    writeFile(d + "client.ext", "extendedKeyUsage=clientAuth\n");
    if (openssl.empty() ||
        run({openssl, "req", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out",
             d + "client.csr", "-subj", subject},
            log) != 0 ||
        run({openssl, "x509", "-req", "-in", d + "client.csr", "-CA", d + "ca.pem", "-CAkey",
             d + "ca.key", "-CAcreateserial", "-out", certificate, "-days", "2", "-extfile",
             d + "client.ext"},
            log) != 0) {
        error = "the client certificate could not be made: " + readFile(log);
        return false;
    }
    return true;
}

void Slapd::stop() {
    reap(SIGTERM, 5);
    if (!dir_.empty()) {
        std::error_code ec;
        fs::remove_all(dir_, ec);
        dir_.clear();
    }
}

} // namespace kvx::testing
