// Whole report runs over LDAP: the program run unattended over the embedded ACME tree and over
// a slapd loaded with the same files writes byte-identical output files, in every mode, with
// and without headers and quotes; and a server's failures reach the user with the call's name.
#include "common/support.h"
#include "slapd_fixture.h"

#include "directory/client/config.h"
#include "directory/client/ldap/ldap_backend.h"
#include "directory/client/registry.h"
#include "directory/client/testing.h"
#include "report/outputline.h"
#include "report/search.h"

#include <gtest/gtest.h>

#include <ldap.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace kvx::client;

const std::string kAcmeFolder = KVX_SOURCE_DIR "/data/trees/ACME";

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string tempFolder() {
    char tmpl[] = "/tmp/kvx-ldap-report-XXXXXX";
    return ::mkdtemp(tmpl) ? std::string(tmpl) : std::string();
}

struct RunResult {
    int status = -1;
    std::string messages; // standard error
};

// Runs korvanex unattended without a display, as a scheduled job would, with the sample trees
// of the source tree.
RunResult runKorvanex(const std::string& folder, const std::string& kvx,
                      const std::string& clientConf) {
    ::setenv("KORVANEX_DATA_DIR", KVX_SOURCE_DIR "/data", 1);
    const kvx::test::HeadlessRun run =
        kvx::test::runHeadless(KVX_KORVANEX, folder, kvx, clientConf, std::chrono::minutes(2));
    ::unsetenv("KORVANEX_DATA_DIR");
    RunResult r;
    r.status = run.finished ? run.status : -1;
    r.messages = run.finished ? run.err : "korvanex did not finish in two minutes\n" + run.err;
    return r;
}

struct Attribute {
    std::string name;
    std::string syntax;
};

struct Report {
    std::string name;
    std::vector<std::string> context; // most specific first; {""} is the root
    std::string cls;
    int mode = 0; // 0 Tabular, 1 Tabular Cross, 2 Non Tabular
    int expanded = -1;
    std::vector<Attribute> attributes;
    std::string separator = ",";
    bool quotes = true;
    bool headers = true;
    bool hideEmpty = true;
};

std::string kvxText(const Report& r, const std::string& output) {
    std::ostringstream s;
    s << "[KORVANEX]\nTreeName=ACME\n";
    for (std::size_t i = 0; i < r.context.size(); ++i)
        s << "Context" << i + 1 << "=" << r.context[i] << "\n";
    s << "ContextCount=" << r.context.size() << "\nclasstype=" << r.cls
      << "\nchkOutputWindow=0\nchkOutputFile=1\nchkHideEmptyColumns=" << r.hideEmpty
      << "\ntxtOutputFilename=" << output << "\ntxtOutputSeparator=" << r.separator
      << "\nchkOutputEncloseQuotes=" << r.quotes << "\nchkOutputColumnHeaders=" << r.headers
      << "\noptResultsTabular=" << (r.mode == 0) << "\noptResultsTabularCross=" << (r.mode == 1)
      << "\noptResultsNonTabular=" << (r.mode == 2) << "\ncboAttributesMulti=" << r.expanded
      << "\nAttributeCount=" << r.attributes.size() << "\n";
    for (std::size_t i = 0; i < r.attributes.size(); ++i)
        s << "lvwSelectedeAttributes" << i << "=" << r.attributes[i].name
          << "\nlvwSelectedeAttributesSingle" << i << "=Multi\nlvwSelectedeAttributesSyntax" << i
          << "=" << r.attributes[i].syntax << "\n";
    return s.str();
}

// The same report with its output file moved into `folder`.
std::string withOutput(const std::string& kvx, const std::string& output) {
    std::istringstream in(kvx);
    std::string out, line;
    while (std::getline(in, line)) {
        if (line.rfind("txtOutputFilename=", 0) == 0)
            line = "txtOutputFilename=" + output;
        out += line + "\n";
    }
    return out;
}

std::vector<Report> ownReports() {
    const std::vector<Attribute> manySyntaxes = {
        {"Object Class", "Class_Name"},
        {"Description", "CI_String"},
        {"Telephone Number", "Tel_Number"},
        {"Member", "Dist_Name"},
        {"ACL", "Object_Acl"},
        {"Network Address", "Net_Address"},
        {"Postal Address", "PO_Address"},
        {"Login Time", "Time"},
        {"GUID", "Octet_String"},
        {"Login Disabled", "Boolean"},
        {"Language", "CI_List"},
        {"Home Directory", "Path"},
        {"Replica", "Replica_Pointer"},
        {"Last Referenced Time", "Timestamp"},
        {"Back Link", "Back_Link"},
        {"Notify", "Typed_Name"},
        {"Server Holds", "Hold"},
        {"Password Expiration Interval", "Interval"},
        {"Login Intruder Attempts", "Counter"},
        {"Facsimile Telephone Number", "Fax_Number"},
        {"EMail Address", "Email_Address"},
        {"Permanent Config Parms", "Octet_List"},
        {"Vendor Extension Data", "Unknown"},
        {"Login Script", "Stream"},
    };
    std::vector<Report> out;
    Report all;
    all.name = "whole-tree-tabular";
    all.context = {""};
    all.cls = "Top";
    all.attributes = manySyntaxes;
    out.push_back(all);
    Report cross = all;
    cross.name = "whole-tree-cross";
    cross.mode = 1;
    cross.expanded = 0;
    cross.separator = ";";
    cross.quotes = false;
    out.push_back(cross);
    Report non = all;
    non.name = "whole-tree-non-tabular";
    non.mode = 2;
    non.headers = false;
    non.hideEmpty = false;
    non.separator = "\t";
    out.push_back(non);
    Report groups;
    groups.name = "uk-groups-cross-members";
    groups.context = {"Acme UK", "GB"};
    groups.cls = "Group";
    groups.mode = 1;
    groups.expanded = 1;
    groups.attributes = {{"CN", "CI_String"}, {"Member", "Dist_Name"}};
    out.push_back(groups);
    Report below;
    below.name = "period-in-container-name";
    below.context = {"R\\.D", "Acme"};
    below.cls = "Top";
    below.mode = 2;
    below.attributes = {{"Aliased Object Name", "Dist_Name"}, {"CN", "CI_String"}};
    out.push_back(below);
    return out;
}

class LdapReportTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = tempFolder();
        ASSERT_FALSE(folder_.empty());
    }
    void TearDown() override {
        server_.stop();
        std::error_code ec;
        fs::remove_all(folder_, ec);
    }
    void startServer(const std::string& sizeLimit = "unlimited") {
        kvx::testing::SlapdOptions o;
        o.treeFolder = kAcmeFolder;
        o.sizeLimit = sizeLimit;
        o.managerPassword = "right";
        std::string error;
        ASSERT_TRUE(server_.start(o, error)) << error;
    }
    // A client configuration whose tree ACME is the server.
    std::string clientConf(const std::string& extra = "") {
        std::string path = folder_ + "/client.conf";
        writeFile(path,
                  "[Client]\nDefaultTree=ACME\n\n[Tree ACME]\nURL=" + server_.url() + "\n" + extra);
        return path;
    }

    kvx::testing::Slapd server_;
    std::string folder_;
};

TEST_F(LdapReportTest, EveryReportWritesTheSameFileOverLdapAsOverTheEmbeddedTree) {
    startServer();
    const std::string conf = clientConf();
    std::vector<std::pair<std::string, std::string>> reports; // name, .kvx text
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(KVX_SOURCE_DIR "/examples", ec))
        if (e.path().extension() == ".kvx")
            reports.emplace_back(e.path().stem().string(), readFile(e.path().string()));
    for (const Report& r : ownReports())
        reports.emplace_back(r.name, kvxText(r, "x"));
    ASSERT_GE(reports.size(), 5u);
    for (const auto& [name, text] : reports) {
        SCOPED_TRACE(name);
        const std::string embeddedOut = folder_ + "/" + name + ".embedded.txt";
        const std::string ldapOut = folder_ + "/" + name + ".ldap.txt";
        writeFile(folder_ + "/e.kvx", withOutput(text, embeddedOut));
        writeFile(folder_ + "/l.kvx", withOutput(text, ldapOut));
        RunResult e = runKorvanex(folder_, folder_ + "/e.kvx", "/nonexistent/client.conf");
        ASSERT_EQ(e.status, 0) << e.messages;
        RunResult l = runKorvanex(folder_, folder_ + "/l.kvx", conf);
        ASSERT_EQ(l.status, 0) << l.messages;
        const std::string want = readFile(embeddedOut);
        const std::string got = readFile(ldapOut);
        EXPECT_GT(want.size(), 40u);
        EXPECT_EQ(got, want);
    }
}

TEST_F(LdapReportTest, ServerFailuresStopTheRunWithTheCallAndItsCode) {
    startServer("5");
    Report users;
    users.context = {"Acme"};
    users.cls = "User";
    users.attributes = {{"Surname", "CI_String"}};
    const std::string out = folder_ + "/limited.txt";
    writeFile(folder_ + "/r.kvx", kvxText(users, out));

    // More users than the server hands out: a failed search, never a short report that
    // looks whole, with the server's reason. Every user the server sent is among the rows kept
    // beside the output in the .partial file.
    RunResult limited = runKorvanex(folder_, folder_ + "/r.kvx", clientConf());
    EXPECT_EQ(limited.status, 1);
    EXPECT_NE(limited.messages.find("NWDSSearch"), std::string::npos) << limited.messages;
    EXPECT_NE(limited.messages.find("fffffd7b"), std::string::npos) << limited.messages; // -645
    EXPECT_NE(limited.messages.find("Size limit exceeded"), std::string::npos) << limited.messages;
    EXPECT_FALSE(fs::exists(out));
    std::string text = readFile(out + ".partial");
    EXPECT_EQ(text.rfind("Object,Surname\r\n", 0), 0u) << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 6) << text;

    // A wrong password in the password file.
    writeFile(folder_ + "/wrong.pw", "wrong\n");
    fs::permissions(folder_ + "/wrong.pw", fs::perms::owner_read | fs::perms::owner_write);
    RunResult wrong =
        runKorvanex(folder_, folder_ + "/r.kvx",
                    clientConf("BindDN=cn=Manager,c=GB\nPasswordFile=" + folder_ + "/wrong.pw\n"));
    EXPECT_EQ(wrong.status, 1);
    EXPECT_NE(wrong.messages.find("fffffd63"), std::string::npos) << wrong.messages; // -669
    EXPECT_NE(wrong.messages.find("NWDS"), std::string::npos) << wrong.messages;

    // No server at start-up.
    server_.stop();
    RunResult gone = runKorvanex(folder_, folder_ + "/r.kvx", clientConf());
    EXPECT_EQ(gone.status, 1);
    EXPECT_NE(gone.messages.find("fffffd84"), std::string::npos) << gone.messages; // -636
}

// A tree made the way an OpenLDAP administrator makes one: Debian's schema files and exports
// of two naming contexts of two and three components, entries out of order, base64 and folded
// values. Every mode gives the same file from the folder and from slapd loaded with it; naming
// the attributes by LDAP name, alias or OID gives the rows that directory-style names give.
const char* kExampleOrg = R"(# extended LDIF
dn: uid=jdoe,ou=people,dc=example,dc=org
objectClass: inetOrgPerson
objectClass: posixAccount
cn: John Doe
sn: Doe
givenName: John
uid: jdoe
uidNumber: 1000
gidNumber: 100
homeDirectory: /home/jdoe
mail: jdoe@example.org
mail: john.doe@example.org
description:: TGUgY2Fmw6kgZGUgbGEgZ2FyZSwgd2l0aCBhIGxpbmUgZm9sZGVkIGFjcm9zcyB0d28g
 bGluZXM=

dn: dc=example,dc=org
objectClass: dcObject
objectClass: organization
dc: example
o: Example

dn: ou=people,dc=example,dc=org
objectClass: organizationalUnit
ou: people

dn: uid=asmith,ou=people,dc=example,dc=org
objectClass: inetOrgPerson
cn: Ann Smith
sn: Smith
givenName: Ann
uid: asmith
title: A title long enough that an export folds it onto a second line of t
 he file
)";
const char* kCorp = R"(dn: dc=corp,dc=example,dc=com
objectClass: domain
dc: corp

dn: cn=Bea Corp,dc=corp,dc=example,dc=com
objectClass: inetOrgPerson
cn: Bea Corp
sn: Corp
mail: bea@corp.example.com
)";

class StandardTreeReportTest : public LdapReportTest {
protected:
    void SetUp() override {
        LdapReportTest::SetUp();
        tree_ = folder_ + "/tree";
        fs::create_directories(tree_);
        for (const char* n : {"core", "cosine", "inetorgperson", "nis"})
            fs::copy_file(std::string("/etc/ldap/schema/") + n + ".schema",
                          tree_ + "/" + n + ".schema");
        writeFile(tree_ + "/a.ldif", kExampleOrg);
        writeFile(tree_ + "/b.ldif", kCorp);
    }
    // slapd serving the tree's folder (with `o`'s further settings), and a client
    // configuration naming it as the tree STD; the configuration's path ("" when it failed).
    std::string serverConf(kvx::testing::SlapdOptions o = {}) {
        o.treeFolder = tree_;
        std::string error;
        EXPECT_TRUE(server_.start(o, error)) << error;
        const std::string path = folder_ + "/ldap.conf";
        writeFile(path, "[Client]\nDefaultTree=STD\n\n[Tree STD]\nURL=" + server_.url() + "\n");
        return server_.running() ? path : std::string();
    }
    std::string folderConf(const std::string& folder) {
        std::string path = folder_ + "/folder.conf";
        writeFile(path, "[Client]\nDefaultTree=STD\n\n[Tree STD]\nFolder=" + folder + "\n");
        return path;
    }
    // slapd over the tree with slapo-retcode (and further global settings): an entry of class
    // errAuxObject that a search meets makes slapd wait and answer as the entry says.
    std::string retcodeServerConf(const std::string& global = "") {
        kvx::testing::SlapdOptions o;
        o.global = "moduleload /usr/lib/ldap/retcode.so\n" + global;
        o.access["dc=example,dc=org"] =
            "overlay retcode\nretcode-parent \"ou=codes,dc=example,dc=org\"\nretcode-indir";
        return serverConf(o);
    }
    // The report's settings file for the tree STD, writing folder_/<name>.txt; its path.
    std::string writeKvx(const Report& r, const std::string& name) {
        std::string kvx = kvxText(r, folder_ + "/" + name + ".txt");
        kvx.replace(kvx.find("TreeName=ACME"), 13, "TreeName=STD");
        writeFile(folder_ + "/" + name + ".kvx", kvx);
        return folder_ + "/" + name + ".kvx";
    }
    // The report's output file, written by a headless run over `conf`.
    std::string reportOver(const Report& r, const std::string& conf, const std::string& name) {
        RunResult run = runKorvanex(folder_, writeKvx(r, name), conf);
        EXPECT_EQ(run.status, 0) << name << "\n" << run.messages;
        return readFile(folder_ + "/" + name + ".txt");
    }
    std::string tree_;
};

TEST_F(StandardTreeReportTest, FolderAndServerAgreeAndEveryNameOfAnAttributeFindsIt) {
    const std::string ldapConf = serverConf();
    ASSERT_FALSE(ldapConf.empty());
    const std::string embeddedConf = folderConf(tree_);

    Report byNds;
    byNds.context = {""};
    byNds.cls = "inetOrgPerson";
    byNds.attributes = {{"Surname", "CI_String"},
                        {"Given Name", "CI_String"},
                        {"Internet EMail Address", "CE_String"},
                        {"Description", "CI_String"},
                        {"Title", "CI_String"}};
    Report byLdap = byNds;
    byLdap.attributes = {{"sn", "CI_String"},
                         {"gn", "CI_String"},
                         {"0.9.2342.19200300.100.1.3", "CE_String"},
                         {"description", "CI_String"},
                         {"TITLE", "CI_String"}};
    for (int mode : {0, 1, 2}) {
        SCOPED_TRACE(mode);
        for (Report* r : {&byNds, &byLdap}) {
            r->mode = mode;
            r->expanded = mode == 1 ? 2 : -1;
        }
        const std::string m = std::to_string(mode);
        const std::string nds = reportOver(byNds, embeddedConf, "nds-embedded" + m);
        const std::string ldapNames = reportOver(byLdap, embeddedConf, "ldap-embedded" + m);
        EXPECT_NE(nds.find("Le café de la gare"), std::string::npos) << nds;
        EXPECT_NE(nds.find("\"Bea Corp.corp.example.com\","), std::string::npos) << nds;
        if (mode == 0) {
            EXPECT_NE(nds.find("\"Smith\",\"Ann\""), std::string::npos) << nds;
            EXPECT_NE(nds.find("onto a second line of the file"), std::string::npos) << nds;
            // The same rows under the captions the file gives.
            EXPECT_EQ(ldapNames.substr(0, ldapNames.find('\n')),
                      "Object,sn,gn,0.9.2342.19200300.100.1.3,description,TITLE\r");
        }
        if (mode != 2)
            EXPECT_EQ(ldapNames.substr(ldapNames.find('\n')), nds.substr(nds.find('\n')));
        else // one line per value, each naming its attribute as the file does
            EXPECT_EQ(std::count(ldapNames.begin(), ldapNames.end(), '\n'),
                      std::count(nds.begin(), nds.end(), '\n'));
        EXPECT_EQ(reportOver(byNds, ldapConf, "nds-ldap" + m), nds);
        EXPECT_EQ(reportOver(byLdap, ldapConf, "ldap-ldap" + m), ldapNames);
    }

    // An order the schema gives no rule for: refused at Start by the folder, which matches by
    // itself; sent to the server, which finds nothing, and the run says why.
    Report unordered = byLdap;
    unordered.mode = 0;
    unordered.expanded = -1;
    std::string kvx = kvxText(unordered, folder_ + "/unordered.txt");
    kvx.replace(kvx.find("TreeName=ACME"), 13, "TreeName=STD");
    writeFile(folder_ + "/unordered.kvx", kvx + "txtSearchFilter=(sn>=A)\n");
    const std::string why = "The search filter orders by \"sn\", which has no ordering rule in "
                            "the directory's schema";
    RunResult run = runKorvanex(folder_, folder_ + "/unordered.kvx", embeddedConf);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.messages.find("Korvanex: " + why), std::string::npos) << run.messages;
    run = runKorvanex(folder_, folder_ + "/unordered.kvx", ldapConf);
    EXPECT_EQ(run.status, 0) << run.messages;
    EXPECT_NE(run.messages.find("Korvanex: No object was found. " + why), std::string::npos)
        << run.messages;
}

// Siblings whose names differ only by naming attribute are two objects in the report, each
// with its own values, as they are two in the tree view.
TEST_F(StandardTreeReportTest, SiblingsSharingANamingValueAreTwoRows) {
    writeFile(tree_ + "/a.ldif",
              std::string(kExampleOrg) +
                  "\ndn: cn=Shared,ou=people,dc=example,dc=org\nobjectClass: inetOrgPerson\n"
                  "cn: Shared\nsn: First\n\n"
                  "dn: uid=Shared,ou=people,dc=example,dc=org\nobjectClass: inetOrgPerson\n"
                  "cn: Other\nsn: Second\nuid: Shared\n");
    const std::string ldapConf = serverConf();
    ASSERT_FALSE(ldapConf.empty());
    Report r;
    r.context = {""};
    r.cls = "inetOrgPerson";
    r.attributes = {{"Surname", "CI_String"}};
    const std::string text = reportOver(r, ldapConf, "shared");
    EXPECT_NE(text.find("\"Shared.people.example.org\",\"First\"\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"Shared.people.example.org\",\"Second\"\r\n"), std::string::npos) << text;
}

// slapd's own time limit ends a search part-way (an entry that makes it wait two seconds,
// slapo-retcode, and a limit of one second): the run fails with the server's reason, and every
// user sent before the limit is among the rows kept.
TEST_F(StandardTreeReportTest, ATimeLimitEndsTheRunWithTheReasonAndKeepsTheRowsSent) {
    std::string people;
    for (const char* name : {"A1", "A2", "A3", "Slow", "B1", "B2", "B3"})
        people += std::string("\ndn: cn=") + name +
                  ",ou=people,dc=example,dc=org\nobjectClass: inetOrgPerson\n" +
                  (std::string(name) == "Slow"
                       ? "objectClass: errAuxObject\nerrCode: 0\nerrSleepTime: 2\n"
                       : "") +
                  "cn: " + name + "\nsn: " + name + "\n";
    writeFile(tree_ + "/a.ldif", std::string(kExampleOrg) + people);
    const std::string ldapConf = retcodeServerConf("timelimit 1");
    ASSERT_FALSE(ldapConf.empty());
    Report r;
    r.context = {"example", "org"};
    r.cls = "inetOrgPerson";
    r.attributes = {{"Surname", "CI_String"}};
    RunResult run = runKorvanex(folder_, writeKvx(r, "limited"), ldapConf);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.messages.find("Korvanex: NWDSSearch\n"), std::string::npos) << run.messages;
    EXPECT_NE(run.messages.find("Time limit exceeded"), std::string::npos) << run.messages;
    const std::string text = readFile(folder_ + "/limited.txt.partial");
    for (const char* sent : {"A1", "A2", "A3", "Slow"})
        EXPECT_NE(text.find("\"" + std::string(sent) + ".people.example.org\""), std::string::npos)
            << sent << "\n"
            << text;
    EXPECT_EQ(text.find("B3.people"), std::string::npos) << text;
}

// A stop signal that comes while the program waits for the server (here a user entry that
// makes slapd sleep before answering, slapo-retcode) ends the run at once as stopped, without
// a failure of the search call beside it.
TEST_F(StandardTreeReportTest, AStopWhileTheServerIsSlowEndsTheRunAsStopped) {
    writeFile(tree_ + "/a.ldif",
              std::string(kExampleOrg) +
                  "\ndn: ou=slow,ou=people,dc=example,dc=org\nobjectClass: organizationalUnit\n"
                  "ou: slow\n\n"
                  "dn: cn=Slow,ou=slow,ou=people,dc=example,dc=org\nobjectClass: inetOrgPerson\n"
                  "objectClass: errAuxObject\ncn: Slow\nsn: Slow\nerrCode: 51\n"
                  "errSleepTime: 30\n");
    const std::string ldapConf = retcodeServerConf();
    ASSERT_FALSE(ldapConf.empty());
    Report r;
    r.context = {"example", "org"};
    r.cls = "inetOrgPerson";
    r.attributes = {{"Surname", "CI_String"}};
    const std::string kvx = writeKvx(r, "slow");
    // The run has begun once its output file (or a file named after it) is there; the search
    // then soon waits half a minute for the slow entry.
    auto begun = std::chrono::steady_clock::time_point::max();
    auto signalled = begun;
    bool sent = false;
    ::setenv("KORVANEX_DATA_DIR", KVX_SOURCE_DIR "/data", 1);
    const kvx::test::HeadlessRun run = kvx::test::runHeadless(
        KVX_KORVANEX, folder_, kvx, ldapConf, std::chrono::minutes(1), [&](pid_t pid) {
            const auto now = std::chrono::steady_clock::now();
            std::error_code ec;
            for (const auto& e : fs::directory_iterator(folder_, ec))
                if (begun == std::chrono::steady_clock::time_point::max() &&
                    e.path().filename().string().find("slow.txt") != std::string::npos)
                    begun = now;
            if (!sent && begun != std::chrono::steady_clock::time_point::max() &&
                now - begun > std::chrono::milliseconds(1500)) {
                ::kill(pid, SIGTERM);
                signalled = std::chrono::steady_clock::now();
                sent = true;
            }
        });
    ::unsetenv("KORVANEX_DATA_DIR");
    ASSERT_TRUE(run.finished && sent) << run.err << readFile(folder_ + "/slow.txt");
    EXPECT_LT(std::chrono::steady_clock::now() - signalled, std::chrono::seconds(10));
    EXPECT_EQ(run.status, 1) << run.err;
    // One message, the stop's (it goes on to say where the rows found are).
    EXPECT_EQ(run.err.rfind("Korvanex: The report was stopped by SIGTERM.", 0), 0u) << run.err;
    EXPECT_EQ(run.err.find("Korvanex:", 1), std::string::npos) << run.err;
}

TEST_F(StandardTreeReportTest, ATreeThatCannotBeOpenedSaysWhyOnceOnStandardError) {
    Report r;
    r.context = {""};
    r.cls = "inetOrgPerson";
    r.attributes = {{"sn", "CI_String"}};
    std::string kvx = kvxText(r, folder_ + "/why.txt");
    kvx.replace(kvx.find("TreeName=ACME"), 13, "TreeName=STD");
    writeFile(folder_ + "/why.kvx", kvx);
    auto why = [&](const std::string& conf) {
        RunResult run = runKorvanex(folder_, folder_ + "/why.kvx", conf);
        EXPECT_EQ(run.status, 1) << run.messages;
        return run.messages;
    };
    auto once = [](const std::string& text, const std::string& reason) {
        std::size_t first = text.find(reason);
        return first != std::string::npos && text.find(reason, first + 1) == std::string::npos;
    };

    writeFile(tree_ + "/zz.schema", "attributetype ( 9.9.9 NAME 'broken'\n");
    std::string text = why(folderConf(tree_));
    EXPECT_TRUE(once(text, "zz.schema:1: a definition must be enclosed")) << text;
    EXPECT_NE(text.find("Code : fffffd84\nzz.schema:1:"), std::string::npos) << text;
    fs::remove(tree_ + "/zz.schema");

    writeFile(tree_ + "/c.ldif", "dn: cn=x,dc=example,dc=org\nobjectClass: person\ncn: x\n"
                                 "shoeSize: 9\n");
    text = why(folderConf(tree_));
    EXPECT_TRUE(once(text, "c.ldif:4: unknown attribute type \"shoeSize\"")) << text;
    fs::remove(tree_ + "/c.ldif");

    text = why(folderConf(folder_ + "/no-such-folder"));
    EXPECT_TRUE(once(text, "no-such-folder: the tree's folder does not exist")) << text;

    startServer();
    writeFile(folder_ + "/wrong.pw", "wrong\n");
    fs::permissions(folder_ + "/wrong.pw", fs::perms::owner_read | fs::perms::owner_write);
    const std::string conf = folder_ + "/bind.conf";
    writeFile(conf, "[Client]\nDefaultTree=STD\n\n[Tree STD]\nURL=" + server_.url() +
                        "\nBindDN=cn=Manager,c=GB\nPasswordFile=" + folder_ + "/wrong.pw\n");
    text = why(conf);
    EXPECT_TRUE(once(text, "cannot bind as \"cn=Manager,c=GB\"")) << text;
}

// The server goes away while a report reads its results: the rows read so far stay in the
// output file, the failure names the search call, and nothing waits for the lost server.
class KillingSink : public kvx::report::SearchSink {
public:
    KillingSink(kvx::testing::Slapd& server, kvx::OutputFile& file)
        : server_(server), file_(file) {}
    void status(const std::string&) override {}
    void failure(const std::string& call, NWDSCCODE code) override {
        failures.emplace_back(call, code);
    }
    void clearRows() override {}
    void setColumns(const std::vector<kvx::report::SearchColumn>&) override {}
    void row(const kvx::report::ResultRow& cells) override {
        file_.writeRow(cells, ",", true);
        if (++rows == 4)
            server_.kill();
    }
    void searchComplete() override { completed = true; }
    void fitColumn(int) override {}
    void hideColumn(int) override {}

    int rows = 0;
    bool completed = false;
    std::vector<std::pair<std::string, NWDSCCODE>> failures;

private:
    kvx::testing::Slapd& server_;
    kvx::OutputFile& file_;
};

TEST_F(LdapReportTest, AServerLostMidReportKeepsTheRowsReadAndNamesTheCall) {
    startServer();
    TreeSource t;
    t.name = "ACME";
    t.url = server_.url();
    LdapTuning tuning;
    tuning.pageSize = 2;
    auto provider = std::make_unique<StaticTreeProvider>();
    provider->add(makeLdapBackend(t, tuning));
    resetClient();
    installTreeProvider(std::move(provider));
    ASSERT_EQ(NWCallsInit(nullptr, nullptr), 0);
    // Batches of a few entries, so that the search reads the server page by page as the
    // report goes on rather than all at once.
    setResultBufferCapacityForTesting(300);
    NWDSContextHandle ctx = 0;
    ASSERT_EQ(NWDSCreateContextHandle(&ctx), 0);
    nuint32 flags = DCV_DEFAULT_FLAGS | DCV_TYPELESS_NAMES;
    ASSERT_EQ(NWDSSetContext(ctx, DCK_FLAGS, &flags), 0);

    kvx::report::SearchInput in;
    in.context = ctx;
    in.base = "Acme";
    in.objectClass = "User";
    in.attributes = {{"Surname", 0}};
    kvx::OutputFile file;
    const std::string out = folder_ + "/lost.txt";
    ASSERT_TRUE(file.open(out));
    KillingSink sink(server_, file);
    auto started = std::chrono::steady_clock::now();
    kvx::report::SearchOutcome outcome = kvx::report::DoSearch(in, sink);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
    EXPECT_TRUE(file.close());
    NWDSFreeContext(ctx);
    setResultBufferCapacityForTesting(0);
    resetClient();
    installTreeProvider(nullptr);

    EXPECT_FALSE(outcome.completed);
    ASSERT_EQ(sink.failures.size(), 1u);
    EXPECT_EQ(sink.failures[0].first, "NWDSSearch");
    EXPECT_EQ(sink.failures[0].second, ERR_TRANSPORT_FAILURE);
    EXPECT_GE(sink.rows, 4);
    EXPECT_LT(sink.rows, 44); // far from every user of the tree
    std::string text = readFile(out);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), sink.rows);
    EXPECT_EQ(text.rfind("\"Frank Miller.Dev.Sales.Acme\",\"Miller\"\r\n", 0), 0u) << text;
}

// A report saved below a naming context of several components ("example.com") runs there: the
// saved pieces split that name at its period, and the load still finds the container.
TEST_F(LdapReportTest, ReportBelowANamingContextOfSeveralComponentsRunsWhereSaved) {
    const std::string treeFolder = folder_ + "/tree";
    fs::create_directories(treeFolder);
    writeFile(treeFolder + "/example.ldif",
              "dn: dc=example,dc=com\nobjectClass: top\nobjectClass: organization\n"
              "objectClass: dcObject\ndc: example\no: Example\n\n"
              "dn: ou=People,dc=example,dc=com\nobjectClass: top\n"
              "objectClass: organizationalUnit\nou: People\n\n"
              "dn: cn=Ann,ou=People,dc=example,dc=com\nobjectClass: top\n"
              "objectClass: person\ncn: Ann\nsn: Lee\n\n"
              "dn: ou=Other,dc=example,dc=com\nobjectClass: top\n"
              "objectClass: organizationalUnit\nou: Other\n\n"
              "dn: cn=Bob,ou=Other,dc=example,dc=com\nobjectClass: top\n"
              "objectClass: person\ncn: Bob\nsn: Ray\n");
    kvx::testing::SlapdOptions o;
    o.treeFolder = treeFolder;
    std::string error;
    ASSERT_TRUE(server_.start(o, error)) << error;
    const std::string conf = clientConf();
    Report people;
    people.context = {"People", "example", "com"};
    people.cls = "Person";
    people.attributes = {{"Surname", "CI_String"}};
    people.quotes = false;
    people.headers = false;
    const std::string out = folder_ + "/people.txt";
    writeFile(folder_ + "/people.kvx", kvxText(people, out));
    const RunResult r = runKorvanex(folder_, folder_ + "/people.kvx", conf);
    EXPECT_EQ(r.status, 0) << r.messages;
    EXPECT_EQ(readFile(out), "Ann.People.example.com,Lee\r\n");
}

// SASL EXTERNAL with a client certificate from the server's CA: the server maps the
// certificate's subject to an entry that alone may read o=Acme, so the rows are there only
// when the bind took. c=GB is closed to it: a report from the root says so once and still
// lists o=Acme's users.
TEST_F(LdapReportTest, AClientCertificateBindsAsTheEntryItIsMappedTo) {
    const std::string reporter = "cn=Ann Smith,ou=Sales,o=Acme";
    kvx::testing::SlapdOptions o;
    o.treeFolder = kAcmeFolder;
    o.tls = true;
    o.global = "TLSVerifyClient try\nauthz-regexp \"^cn=korvanex reporter$\" \"" + reporter + "\"";
    o.access["o=Acme"] = "access to * by dn.exact=\"" + reporter + "\" read by * none";
    o.access["c=GB"] = "access to * by * none";
    std::string error;
    ASSERT_TRUE(server_.start(o, error)) << error;
    const std::string cert = folder_ + "/reporter.pem", key = folder_ + "/reporter.key";
    ASSERT_TRUE(server_.clientCertificate("/CN=Korvanex Reporter", cert, key, error)) << error;
    ::setenv("LDAPTLS_CACERT", server_.caFile().c_str(), 1);
    const std::string conf = folder_ + "/client.conf";
    writeFile(conf, "[Client]\nDefaultTree=ACME\n\n[Tree ACME]\nURL=" + server_.tlsUrl() +
                        "\nSASL=EXTERNAL\nClientCertificate=" + cert + "\nClientKey=" + key + "\n");

    Report sales;
    sales.context = {"Sales", "Acme"};
    sales.cls = "User";
    sales.attributes = {{"Surname", "CI_String"}};
    sales.quotes = false;
    const std::string embeddedOut = folder_ + "/embedded.txt", out = folder_ + "/sales.txt";
    writeFile(folder_ + "/e.kvx", kvxText(sales, embeddedOut));
    writeFile(folder_ + "/sales.kvx", kvxText(sales, out));
    const RunResult e = runKorvanex(folder_, folder_ + "/e.kvx", "/nonexistent/client.conf");
    ASSERT_EQ(e.status, 0) << e.messages;
    const RunResult r = runKorvanex(folder_, folder_ + "/sales.kvx", conf);
    EXPECT_EQ(r.status, 0) << r.messages;
    EXPECT_GT(readFile(embeddedOut).size(), 100u);
    EXPECT_EQ(readFile(out), readFile(embeddedOut));

    Report everywhere = sales;
    everywhere.context = {""};
    const std::string rootOut = folder_ + "/root.txt";
    writeFile(folder_ + "/root.kvx", kvxText(everywhere, rootOut));
    const RunResult root = runKorvanex(folder_, folder_ + "/root.kvx", conf);
    EXPECT_EQ(root.status, 0) << root.messages;
    EXPECT_NE(readFile(rootOut).find("Ann Smith.Sales.Acme,Smith"), std::string::npos)
        << readFile(rootOut);
    EXPECT_EQ(readFile(rootOut).find(".GB,"), std::string::npos) << readFile(rootOut);
    // The closed context is named once, as a notice: the run still succeeds.
    const std::size_t said = root.messages.find("\"c=GB\" cannot be read");
    EXPECT_NE(said, std::string::npos) << root.messages;
    EXPECT_EQ(root.messages.find("\"c=GB\" cannot be read", said + 1), std::string::npos)
        << root.messages;

    // Browsing from the root shows both naming contexts; the closed one holds nothing and its
    // reason is given once.
    TreeSource t;
    t.name = "ACME";
    t.url = server_.tlsUrl();
    t.sasl = "EXTERNAL";
    t.clientCertificate = cert;
    t.clientKey = key;
    // In this process libldap read its environment before LDAPTLS_CACERT was set: the CA goes
    // in as ldap.conf's TLS_CACERT would.
    ASSERT_EQ(ldap_set_option(nullptr, LDAP_OPT_X_TLS_CACERTFILE, server_.caFile().c_str()),
              LDAP_OPT_SUCCESS);
    auto b = makeLdapBackend(t);
    ASSERT_EQ(b->open(), 0) << b->lastError();
    std::unique_ptr<EntryCursor> cursor;
    ASSERT_EQ(b->list("", cursor), 0);
    std::map<std::string, Entry> roots;
    Entry entry;
    NWDSCCODE rc;
    while ((rc = cursor->next(entry)) == 0)
        roots[entry.name] = entry;
    EXPECT_EQ(rc, EntryCursor::kEndOfEntries);
    ASSERT_EQ(roots.size(), 2u);
    EXPECT_GT(roots["Acme"].subordinateCount, 0u);
    EXPECT_TRUE(roots["GB"].objectFlags & DS_CONTAINER_ENTRY);
    EXPECT_EQ(roots["GB"].subordinateCount, 0u);
    const std::string why = b->lastError();
    EXPECT_NE(why.find("\"c=GB\" cannot be read"), std::string::npos) << why;
    EXPECT_EQ(why.find("o=Acme"), std::string::npos) << why;
    ASSERT_EQ(b->list("", cursor), 0);
    while (cursor->next(entry) == 0) {
    }
    EXPECT_EQ(b->lastError(), why); // said once, not once more per listing
    ::unsetenv("LDAPTLS_CACERT");
}

} // namespace
