#include "samba_dc.h"

#include "slapd_fixture.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace kvx::testing {

namespace fs = std::filesystem;

namespace {

std::string ipProgram() {
    for (const char* p : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"})
        if (::access(p, X_OK) == 0)
            return p;
    return {};
}

} // namespace

SambaDc::~SambaDc() {
    stop();
}

bool SambaDc::start(std::string& error) {
    const std::string samba = findProgram("samba");
    const std::string tool = findProgram("samba-tool");
    const std::string openssl = findProgram("openssl");
    const std::string ip = ipProgram();
    if (samba.empty() || tool.empty() || openssl.empty() || ip.empty() ||
        findProgram("ldapmodify").empty()) {
        error = "samba, samba-tool, openssl, ip or ldapmodify is not installed "
                "(scripts/install-deps.sh installs them)";
        return false;
    }
    if (::geteuid() != 0) {
        error = "a Samba domain controller needs root: it binds the LDAP ports and a loopback "
                "address of its own";
        return false;
    }
    char tmpl[] = "/tmp/kvx-samba-XXXXXX";
    if (!::mkdtemp(tmpl)) {
        error = "no temporary folder";
        return false;
    }
    dir_ = tmpl;
    const std::string log = dir_ + "/setup.log";

    // An address of 127/8 nothing else uses, derived from the process id and tried onwards.
    const unsigned seed = static_cast<unsigned>(::getpid());
    for (unsigned k = 0; k < 64 && !addressAdded_; ++k) {
        const unsigned n = seed + k * 7919;
        address_ = "127." + std::to_string(100 + n % 100) + "." + std::to_string((n / 100) % 250) +
                   "." + std::to_string(2 + (n / 25000) % 250);
        if (canConnect(389, address_.c_str()))
            continue;
        addressAdded_ = run({ip, "addr", "add", address_ + "/32", "dev", "lo"}, log) == 0;
    }
    if (!addressAdded_) {
        error = "no loopback address could be added: " + readFile(log);
        return false;
    }

    // A private CA and the controller's certificate for its address.
    const std::string d = dir_ + "/";
    writeFile(d + "server.ext", "subjectAltName=IP:" + address_ + ",DNS:dc1.kvx.test\n");
    if (run({openssl, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", d + "ca.key",
             "-out", d + "ca.pem", "-days", "2", "-subj", "/CN=Korvanex test CA"},
            log) != 0 ||
        run({openssl, "req", "-newkey", "rsa:2048", "-nodes", "-keyout", d + "server.key", "-out",
             d + "server.csr", "-subj", "/CN=" + address_},
            log) != 0 ||
        run({openssl, "x509", "-req", "-in", d + "server.csr", "-CA", d + "ca.pem", "-CAkey",
             d + "ca.key", "-CAcreateserial", "-out", d + "server.pem", "-days", "2", "-extfile",
             d + "server.ext"},
            log) != 0) {
        error = "the test certificates could not be made: " + readFile(log);
        return false;
    }
    fs::permissions(d + "server.key", fs::perms::owner_read | fs::perms::owner_write);
    writeFile(passwordFile(), kPassword); // ldapsearch -y takes the whole file
    fs::permissions(passwordFile(), fs::perms::owner_read | fs::perms::owner_write);

    if (run({tool, "domain", "provision", "--realm=KVX.TEST", "--domain=KVX", "--server-role=dc",
             "--dns-backend=NONE", "--use-rfc2307", "--targetdir=" + d + "dc",
             std::string("--adminpass=") + kPassword, "--host-name=dc1", "--host-ip=" + address_,
             "--option=interfaces=" + address_, "--option=bind interfaces only=yes",
             "--option=server services=ldap, kdc", "--option=log file=" + d + "samba.log"},
            log) != 0) {
        error = "samba-tool domain provision failed: " + readFile(log);
        return false;
    }
    // Kerberos to the controller's own KDC by address: its LDAP service is also known by the
    // address, as a client that takes the host name of the URL as it is asks for it.
    if (run({tool, "spn", "add", "ldap/" + address_, "DC1$", "-H", d + "dc/private/sam.ldb"},
            log) != 0) {
        error = "samba-tool spn add failed: " + readFile(log);
        return false;
    }
    writeFile(krb5Conf(), "[libdefaults]\n\tdefault_realm = KVX.TEST\n\tdns_lookup_realm = "
                          "false\n\tdns_lookup_kdc = false\n\trdns = false\n"
                          "\tdns_canonicalize_hostname = false\n[realms]\n\tKVX.TEST = {\n"
                          "\t\tkdc = " +
                              address_ + "\n\t}\n");
    // TLS with the certificate above; no disk syncs (a test database needs none).
    const std::string conf = d + "dc/etc/smb.conf";
    std::string text = readFile(conf);
    const std::string global = "[global]\n";
    const std::size_t at = text.find(global);
    if (at == std::string::npos) {
        error = "the provisioned smb.conf has no [global] section";
        return false;
    }
    text.insert(at + global.size(), "\ttls enabled = yes\n\ttls keyfile = " + d +
                                        "server.key\n\ttls certfile = " + d +
                                        "server.pem\n\ttls cafile = " + d +
                                        "ca.pem\n\tldb:nosync = true\n\tpid directory = " + d +
                                        "dc\n\tncalrpc dir = " + d + "dc/ncalrpc\n");
    writeFile(conf, text);

    pid_ = ::fork();
    if (pid_ < 0) {
        error = "fork failed";
        return false;
    }
    if (pid_ == 0) {
        ::setpgid(0, 0);
        const std::string out = d + "samba.out";
        FILE* f = std::freopen(out.c_str(), "a", stdout);
        if (f)
            ::dup2(::fileno(stdout), 2);
        ::execl(samba.c_str(), samba.c_str(), "-i", "-M", "single", "-s", conf.c_str(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            error = "samba ended at start: " + readFile(d + "samba.out");
            return false;
        }
        // Up when an administrator's search over LDAPS answers.
        if (canConnect(636, address_.c_str()) &&
            search(kBase, "base", "(objectClass=*)", "1.1").find("dn: ") != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    error = "samba did not answer in 90 seconds: " + readFile(d + "samba.out") +
            search(kBase, "base", "(objectClass=*)", "1.1");
    return false;
}

bool SambaDc::modify(const std::string& ldif, std::string& error) const {
    static int counter = 0;
    const std::string file = dir_ + "/modify" + std::to_string(++counter) + ".ldif";
    const std::string log = dir_ + "/modify.log";
    writeFile(file, ldif);
    fs::remove(log);
    ::setenv("LDAPTLS_CACERT", caFile().c_str(), 1);
    const bool ok = run({findProgram("ldapmodify"), "-a", "-x", "-H", url(), "-D", kAdmin, "-y",
                         passwordFile(), "-f", file},
                        log) == 0;
    if (!ok)
        error = readFile(log);
    return ok;
}

std::string SambaDc::search(const std::string& base, const std::string& scope,
                            const std::string& filter, const std::string& attributes) const {
    static int counter = 0;
    const std::string out = dir_ + "/search" + std::to_string(++counter) + ".ldif";
    ::setenv("LDAPTLS_CACERT", caFile().c_str(), 1);
    std::vector<std::string> argv = {findProgram("ldapsearch"),
                                     "-LLL",
                                     "-o",
                                     "ldif-wrap=no",
                                     "-x",
                                     "-H",
                                     url(),
                                     "-D",
                                     kAdmin,
                                     "-y",
                                     passwordFile(),
                                     "-E",
                                     "pr=1000/noprompt",
                                     "-b",
                                     base,
                                     "-s",
                                     scope,
                                     filter};
    std::size_t start = 0;
    while (start < attributes.size()) {
        std::size_t space = attributes.find(' ', start);
        if (space == std::string::npos)
            space = attributes.size();
        if (space > start)
            argv.push_back(attributes.substr(start, space - start));
        start = space + 1;
    }
    run(argv, out);
    std::string text = readFile(out);
    fs::remove(out);
    return text;
}

void SambaDc::stop() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        int status = 0;
        bool ended = false;
        for (int i = 0; i < 50 && !ended; ++i) {
            ended = ::waitpid(pid_, &status, WNOHANG) == pid_;
            if (!ended)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        if (!ended) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
        }
        pid_ = -1;
    }
    if (addressAdded_) {
        run({ipProgram(), "addr", "del", address_ + "/32", "dev", "lo"}, "/dev/null");
        addressAdded_ = false;
    }
    if (!dir_.empty() && !std::getenv("KVX_KEEP_SAMBA")) {
        std::error_code ec;
        fs::remove_all(dir_, ec);
        dir_.clear();
    }
}

} // namespace kvx::testing
