// "Changes since the previous run" in whole unattended runs: a copy of the sample tree (and a
// slapd loaded with it) changed between two runs gives exactly the expected change rows in each
// report mode; runs that fail or are stopped leave the baseline as it was; a damaged baseline is
// refused with a message and replaced.
#include "common/support.h"
#include "ldap/slapd_fixture.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using kvx::test::slurp;
using kvx::test::spit;

const std::string kHeader = "Change,Object,Attribute,Old Value,New Value";

// A report of the users below Sales.Acme with their telephone numbers and group memberships.
std::string reportKvx(int mode) {
    return std::string("[KORVANEX]\nTreeName=ACME\nContext1=Sales\nContext2=Acme\nContextCount=2\n"
                       "classtype=User\nchkOutputWindow=1\nchkOutputFile=1\n"
                       "chkHideEmptyColumns=1\ntxtOutputFilename=users.csv\n"
                       "txtOutputSeparator=,\nchkOutputEncloseQuotes=0\n"
                       "chkOutputColumnHeaders=1\nchkOutputChanges=1\n") +
           "optResultsTabular=" + (mode == 0 ? "1" : "0") +
           "\noptResultsTabularCross=" + (mode == 1 ? "1" : "0") +
           "\noptResultsNonTabular=" + (mode == 2 ? "1" : "0") +
           "\ncboAttributesMulti=1\nAttributeCount=2\n"
           "lvwSelectedeAttributes0=Telephone Number\nlvwSelectedeAttributesSingle0=Multi\n"
           "lvwSelectedeAttributesSyntax0=Tel_Number\n"
           "lvwSelectedeAttributes1=Group Membership\nlvwSelectedeAttributesSingle1=Multi\n"
           "lvwSelectedeAttributesSyntax1=Dist_Name\n";
}

// What the changes of changeTree() / kLdapChanges give in each mode. Tabular shows only the
// first group membership, which neither change touches; Non Tabular lists every telephone
// number as a value of a multi-valued attribute.
const std::vector<std::vector<std::string>> kExpected = {
    {
        "Changed,Bob Jones.Sales.Acme,Telephone Number,+44 20 7946 0102,+44 20 7946 0199",
        "Removed,Carol White.Sales.Acme,,,",
        "Removed,David Brown.Sales.Acme,,,",
        "Added,David Browne.Sales.Acme,,,",
        "Added,Nina New.Sales.Acme,,,",
    },
    {
        "Changed,Ann Smith.Sales.Acme,Group Membership,,VPN Users.IT.Acme",
        "Changed,Bob Jones.Sales.Acme,Telephone Number,+44 20 7946 0102,+44 20 7946 0199",
        "Changed,Bob Jones.Sales.Acme,Group Membership,VPN Users.IT.Acme,",
        "Removed,Carol White.Sales.Acme,,,",
        "Removed,David Brown.Sales.Acme,,,",
        "Added,David Browne.Sales.Acme,,,",
        "Added,Nina New.Sales.Acme,,,",
    },
    {
        "Changed,Ann Smith.Sales.Acme,Group Membership,,VPN Users.IT.Acme",
        "Changed,Bob Jones.Sales.Acme,Telephone Number,+44 20 7946 0102,",
        "Changed,Bob Jones.Sales.Acme,Telephone Number,,+44 20 7946 0199",
        "Changed,Bob Jones.Sales.Acme,Group Membership,VPN Users.IT.Acme,",
        "Removed,Carol White.Sales.Acme,,,",
        "Removed,David Brown.Sales.Acme,,,",
        "Added,David Browne.Sales.Acme,,,",
        "Added,Nina New.Sales.Acme,,,",
    },
};
const char* const kSummaries[] = {": 2 added, 2 removed, 1 changed\n",
                                  ": 2 added, 2 removed, 3 changed\n",
                                  ": 2 added, 2 removed, 4 changed\n"};

const std::string kNewUser = "dn: cn=Nina New,ou=Sales,o=Acme\nobjectClass: top\n"
                             "objectClass: person\nobjectClass: organizationalPerson\n"
                             "objectClass: ndsUser\ncn: Nina New\nsn: New\n"
                             "telephoneNumber: +44 20 7946 0142\n"
                             "ndsGroupMembership: cn=Sales Team,ou=Sales,o=Acme\n";

const std::string kLdapChanges =
    "dn: cn=Bob Jones,ou=Sales,o=Acme\nchangetype: modify\nreplace: telephoneNumber\n"
    "telephoneNumber: +44 20 7946 0199\n-\ndelete: ndsGroupMembership\n"
    "ndsGroupMembership: cn=VPN Users,ou=IT,o=Acme\n-\n\n"
    "dn: cn=Ann Smith,ou=Sales,o=Acme\nchangetype: modify\nadd: ndsGroupMembership\n"
    "ndsGroupMembership: cn=VPN Users,ou=IT,o=Acme\n-\n\n"
    "dn: cn=Carol White,ou=Sales,o=Acme\nchangetype: delete\n\n"
    "dn: cn=David Brown,ou=Sales,o=Acme\nchangetype: modrdn\nnewrdn: cn=David Browne\n"
    "deleteoldrdn: 1\n\n" +
    kNewUser.substr(0, kNewUser.find('\n') + 1) + "changetype: add\n" +
    kNewUser.substr(kNewUser.find('\n') + 1);

// The entry of `dn` in an LDIF text: from its "dn:" line to the blank line after it.
std::pair<std::size_t, std::size_t> entrySpan(const std::string& ldif, const std::string& dn) {
    const std::size_t at = ldif.find("dn: " + dn + "\n");
    if (at == std::string::npos) {
        throw std::runtime_error("no entry " + dn);
    }
    const std::size_t end = ldif.find("\n\n", at);
    return {at, end == std::string::npos ? ldif.size() : end + 1};
}

void replaceIn(std::string& ldif, const std::string& dn, const std::string& from,
               const std::string& to) {
    const auto [at, end] = entrySpan(ldif, dn);
    std::string entry = ldif.substr(at, end - at);
    const std::size_t found = entry.find(from);
    if (found == std::string::npos) {
        throw std::runtime_error("no \"" + from + "\" in " + dn);
    }
    entry.replace(found, from.size(), to);
    ldif.replace(at, end - at, entry);
}

// The changes of kLdapChanges, made to the folder's copy of the sample tree's LDIF.
void changeTree(const fs::path& tree) {
    std::string ldif = slurp(tree / "acme.ldif");
    const std::string vpn = "ndsGroupMembership: cn=VPN Users,ou=IT,o=Acme\n";
    replaceIn(ldif, "cn=Bob Jones,ou=Sales,o=Acme", "telephoneNumber: +44 20 7946 0102\n",
              "telephoneNumber: +44 20 7946 0199\n");
    replaceIn(ldif, "cn=Bob Jones,ou=Sales,o=Acme", vpn, "");
    replaceIn(ldif, "cn=Ann Smith,ou=Sales,o=Acme",
              "ndsGroupMembership: cn=Sales Team,ou=Sales,o=Acme\n",
              "ndsGroupMembership: cn=Sales Team,ou=Sales,o=Acme\n" + vpn);
    const auto [at, end] = entrySpan(ldif, "cn=Carol White,ou=Sales,o=Acme");
    ldif.erase(at, end - at + 1);
    replaceIn(ldif, "cn=David Brown,ou=Sales,o=Acme", "cn: David Brown\n", "cn: David Browne\n");
    replaceIn(ldif, "cn=David Brown,ou=Sales,o=Acme", "dn: cn=David Brown,",
              "dn: cn=David Browne,");
    spit(tree / "acme.ldif", ldif + "\n" + kNewUser);
}

std::vector<std::string> changeRows(const fs::path& file) {
    return kvx::test::lines(slurp(file));
}

class ChangeRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        tree_ = dir_ / "tree";
        fs::create_directories(tree_);
        for (const auto& entry :
             fs::directory_iterator(fs::path(KVX_SOURCE_DIR) / "data" / "trees" / "ACME")) {
            fs::copy_file(entry.path(), tree_ / entry.path().filename());
        }
        conf_ = dir_ / "client.conf";
        spit(conf_, "[Client]\nDefaultTree=ACME\n\n[Tree ACME]\nFolder=" + tree_.string() + "\n");
    }

    // One unattended run of report `kvx` in `folder` (its own home, so its own baselines).
    kvx::test::HeadlessRun run(const fs::path& folder, const fs::path& kvx,
                               const std::function<void(pid_t)>& whileRunning = {}) {
        return kvx::test::runHeadless(KVX_KORVANEX, folder, kvx, conf_, std::chrono::minutes(2),
                                      whileRunning);
    }
    fs::path baselineOf(const fs::path& folder) {
        const fs::path state = folder / "home" / ".local" / "state" / "korvanex";
        std::vector<fs::path> found;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(state, ec)) {
            found.push_back(entry.path());
        }
        return found.size() == 1 ? found[0] : fs::path();
    }

    // First run of each mode: the baseline. Then `change` and the second run of each mode.
    void runEveryModeAcross(const std::function<void()>& change) {
        for (int mode = 0; mode < 3; ++mode) {
            const fs::path folder = dir_ / ("mode" + std::to_string(mode));
            fs::create_directories(folder);
            spit(folder / "users.kvx", reportKvx(mode));
            const kvx::test::HeadlessRun first = run(folder, folder / "users.kvx");
            ASSERT_EQ(first.status, 0) << first.err;
            EXPECT_EQ(first.err,
                      "Korvanex: No previous run to compare with: this run is the baseline\n");
            EXPECT_EQ(changeRows(folder / "users-changes.csv"), std::vector<std::string>{kHeader});
        }
        change();
        for (int mode = 0; mode < 3; ++mode) {
            SCOPED_TRACE("mode " + std::to_string(mode));
            const fs::path folder = dir_ / ("mode" + std::to_string(mode));
            const kvx::test::HeadlessRun second = run(folder, folder / "users.kvx");
            EXPECT_EQ(second.status, 0) << second.err;
            EXPECT_EQ(second.err.rfind("Korvanex: Compared with the run of ", 0), 0u) << second.err;
            EXPECT_TRUE(second.err.ends_with(kSummaries[mode])) << second.err;
            std::vector<std::string> want{kHeader};
            want.insert(want.end(), kExpected[mode].begin(), kExpected[mode].end());
            EXPECT_EQ(changeRows(folder / "users-changes.csv"), want);
        }
    }

    kvx::test::TempFolder dir_;
    fs::path tree_;
    fs::path conf_;
};

TEST_F(ChangeRunTest, TreeChangedBetweenTwoRunsGivesExactlyItsChangesInEveryMode) {
    runEveryModeAcross([&] { changeTree(tree_); });
}

TEST_F(ChangeRunTest, LdapModifyBetweenTwoRunsGivesExactlyItsChangesInEveryMode) {
    kvx::testing::Slapd server;
    kvx::testing::SlapdOptions options;
    options.treeFolder = KVX_SOURCE_DIR "/data/trees/ACME";
    // The database of o=Acme takes changes from its own manager.
    options.access["o=Acme"] = "rootdn \"cn=Manager,o=Acme\"\nrootpw \"right\"";
    std::string error;
    ASSERT_TRUE(server.start(options, error)) << error;
    spit(conf_, "[Client]\nDefaultTree=ACME\n\n[Tree ACME]\nURL=" + server.url() + "\n");
    spit(dir_ / "changes.ldif", kLdapChanges);
    runEveryModeAcross([&] {
        const std::string ldapmodify = kvx::testing::findProgram("ldapmodify");
        ASSERT_FALSE(ldapmodify.empty()) << "ldapmodify is not installed";
        ASSERT_EQ(
            kvx::testing::run({ldapmodify, "-x", "-H", server.url(), "-D", "cn=Manager,o=Acme",
                               "-w", "right", "-f", (dir_ / "changes.ldif").string()},
                              (dir_ / "ldapmodify.log").string()),
            0)
            << slurp(dir_ / "ldapmodify.log");
    });
    server.stop();
}

TEST_F(ChangeRunTest, FailedAndStoppedRunsLeaveTheBaselineAndADamagedOneIsRefused) {
    const fs::path folder = dir_ / "run";
    fs::create_directories(folder);
    spit(folder / "users.kvx", reportKvx(1));
    ASSERT_EQ(run(folder, folder / "users.kvx").status, 0);
    const fs::path baseline = baselineOf(folder);
    ASSERT_FALSE(baseline.empty());
    const std::string kept = slurp(baseline);
    changeTree(tree_);

    // A client call that fails part-way through the search.
    ::setenv("KORVANEX_CLIENT_FAULTS", "NWDSGetAttrVal:20:-601", 1);
    const kvx::test::HeadlessRun failed = run(folder, folder / "users.kvx");
    ::unsetenv("KORVANEX_CLIENT_FAULTS");
    EXPECT_EQ(failed.status, 1) << failed.err;
    EXPECT_EQ(slurp(baseline), kept);
    EXPECT_EQ(changeRows(folder / "users-changes.csv"), std::vector<std::string>{kHeader});

    // A run stopped by SIGTERM while the server is slow to answer: once its report file is open
    // (under a temporary name beside users.csv), it is searching.
    const auto reportOpen = [&] {
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(folder, ec)) {
            if (entry.path().filename().string().starts_with(".users.csv.")) {
                return true;
            }
        }
        return false;
    };
    ::setenv("KORVANEX_CLIENT_FAULTS", "NWDSSearch:delay:3000", 1);
    bool sent = false;
    const kvx::test::HeadlessRun stopped = run(folder, folder / "users.kvx", [&](pid_t pid) {
        if (!sent && reportOpen()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            ::kill(pid, SIGTERM);
            sent = true;
        }
    });
    ::unsetenv("KORVANEX_CLIENT_FAULTS");
    EXPECT_EQ(stopped.status, 1) << stopped.err;
    EXPECT_NE(stopped.err.find("stopped by SIGTERM"), std::string::npos) << stopped.err;
    EXPECT_EQ(slurp(baseline), kept);

    // The next good run reports everything since the last good one.
    const kvx::test::HeadlessRun good = run(folder, folder / "users.kvx");
    EXPECT_EQ(good.status, 0) << good.err;
    std::vector<std::string> want{kHeader};
    want.insert(want.end(), kExpected[1].begin(), kExpected[1].end());
    EXPECT_EQ(changeRows(folder / "users-changes.csv"), want);

    // A baseline cut short: refused with a message, and this run is the new baseline.
    const std::string whole = slurp(baseline);
    spit(baseline, whole.substr(0, whole.size() - 30));
    const kvx::test::HeadlessRun refused = run(folder, folder / "users.kvx");
    EXPECT_EQ(refused.status, 0) << refused.err;
    EXPECT_EQ(refused.err, "Korvanex: The baseline of the previous run (" + baseline.string() +
                               ") is damaged and is not used: this run is the new baseline\n"
                               "Korvanex: No previous run to compare with: this run is the "
                               "baseline\n");
    EXPECT_EQ(changeRows(folder / "users-changes.csv"), std::vector<std::string>{kHeader});
    const kvx::test::HeadlessRun after = run(folder, folder / "users.kvx");
    EXPECT_TRUE(after.err.ends_with(": 0 added, 0 removed, 0 changed\n")) << after.err;
}

} // namespace
