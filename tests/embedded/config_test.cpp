#include "directory/client/config.h"
#include "directory/client/embedded/embedded.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

using namespace kvx::client;
namespace fs = std::filesystem;

namespace {

// A scratch folder with sample trees and configuration files; restores the environment.
class ConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("kvx-config-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "data" / "trees" / "BETA");
        fs::create_directories(dir_ / "data" / "trees" / "ALPHA");
        std::ofstream(dir_ / "data" / "trees" / "ALPHA" / "tree.ldif")
            << "dn: o=Alpha\nobjectClass: organization\no: Alpha\n";
        std::ofstream(dir_ / "data" / "trees" / "not-a-tree.txt") << "x";
        save("KORVANEX_DATA_DIR");
        save("KORVANEX_CLIENT_CONF");
        save("XDG_CONFIG_HOME");
        save("HOME");
        setenv("KORVANEX_DATA_DIR", (dir_ / "data").c_str(), 1);
    }
    void TearDown() override {
        for (auto& [name, value] : saved_) {
            if (value.second)
                setenv(name.c_str(), value.first.c_str(), 1);
            else
                unsetenv(name.c_str());
        }
        fs::remove_all(dir_);
    }
    void save(const std::string& name) {
        const char* v = std::getenv(name.c_str());
        saved_.emplace_back(name, std::make_pair(v ? std::string(v) : std::string(), v != nullptr));
    }
    std::string write(const std::string& rel, const std::string& text) {
        fs::path p = dir_ / rel;
        fs::create_directories(p.parent_path());
        std::ofstream(p) << text;
        return p.string();
    }
    fs::path dir_;
    std::vector<std::pair<std::string, std::pair<std::string, bool>>> saved_;
};

} // namespace

TEST_F(ConfigTest, TreesSourcesAndDefaultAreRead) {
    ClientConfig cfg = parseClientConfig("; comment\n"
                                         "[client]\n"
                                         "  DefaultTree = corp  \n"
                                         "\n"
                                         "[Tree Local]\n"
                                         "Folder=trees/local\n"
                                         "[TREE CORP]\r\n"
                                         "URL=ldaps://ldap.example.com\r\n"
                                         "Base=o=Corp\n"
                                         "bindDN=\"cn=reporter,o=Corp\"\n"
                                         "PasswordFile=corp.password\n"
                                         "StartTLS=yes\n"
                                         "[Tree Alpha]\n"
                                         "Folder=/srv/alpha\n",
                                         "/etc/korvanex/client.conf");
    EXPECT_EQ(cfg.error, "");
    EXPECT_EQ(cfg.defaultTree, "corp");
    ASSERT_EQ(cfg.trees.size(), 3u);
    EXPECT_EQ(cfg.trees[0].name, "Local");
    EXPECT_EQ(cfg.trees[0].folder, "/etc/korvanex/trees/local");
    EXPECT_EQ(cfg.trees[1].name, "CORP");
    EXPECT_EQ(cfg.trees[1].url, "ldaps://ldap.example.com");
    EXPECT_EQ(cfg.trees[1].base, "o=Corp");
    EXPECT_EQ(cfg.trees[1].bindDn, "cn=reporter,o=Corp");
    EXPECT_EQ(cfg.trees[1].passwordFile, "/etc/korvanex/corp.password");
    EXPECT_TRUE(cfg.trees[1].startTls);
    EXPECT_EQ(cfg.trees[2].folder, "/srv/alpha");
    // ALPHA is named by the file (in other capitals), so only BETA is advertised.
    ASSERT_EQ(cfg.sampleTrees.size(), 1u);
    EXPECT_EQ(cfg.sampleTrees[0].name, "BETA");
}

TEST_F(ConfigTest, DamagedFilesAreNotedAndTheRestIsServed) {
    ClientConfig cfg = parseClientConfig("[Client]\n"
                                         "DefaultTree=Nowhere\n"
                                         "garbage line\n"
                                         "[Tree Good]\n"
                                         "Folder=/srv/good\n"
                                         "Colour=blue\n"
                                         "[Tree Both]\n"
                                         "Folder=/srv/x\n"
                                         "URL=ldap://x\n"
                                         "[Tree Neither]\n"
                                         "[Tree Good]\n"
                                         "Folder=/srv/again\n"
                                         "[Tree Web]\n"
                                         "URL=http://x\n"
                                         "[broken\n",
                                         "/tmp/c.conf");
    EXPECT_EQ(cfg.error, "/tmp/c.conf:3: expected key=value");
    ASSERT_EQ(cfg.trees.size(), 1u);
    EXPECT_EQ(cfg.trees[0].name, "Good");
    EXPECT_EQ(cfg.trees[0].folder, "/srv/good");

    for (const char* text : {"[Tree ]\nFolder=/x\n", "[Tree T]\nStartTLS=perhaps\nURL=ldap://h\n",
                             "[Tree T]\nFolder=/x\n[Client]\nDefaultTree=U\n", "\xff\xfe[\0"}) {
        ClientConfig c = parseClientConfig(text, "f.conf");
        EXPECT_FALSE(c.error.empty()) << text;
    }
}

TEST_F(ConfigTest, LookupOrderAndSampleTrees) {
    EXPECT_EQ(sampleTreesFolder(), (dir_ / "data" / "trees").string());

    // No configuration anywhere: the sample trees are the configured trees, first is default.
    setenv("KORVANEX_CLIENT_CONF", (dir_ / "none.conf").c_str(), 1);
    setenv("HOME", (dir_ / "home").c_str(), 1);
    unsetenv("XDG_CONFIG_HOME");
    write("home/.config/korvanex/client.conf", "[Tree HomeTree]\nFolder=/h\n");
    ClientConfig none = loadClientConfig();
    EXPECT_EQ(none.file, "");
    ASSERT_EQ(none.trees.size(), 2u);
    EXPECT_EQ(none.trees[0].name, "ALPHA");
    EXPECT_EQ(none.trees[1].name, "BETA");
    EXPECT_EQ(none.defaultTree, "ALPHA");
    EXPECT_TRUE(none.sampleTrees.empty());

    // The named file wins.
    std::string named = write("named.conf", "[Tree Named]\nFolder=n\n");
    setenv("KORVANEX_CLIENT_CONF", named.c_str(), 1);
    ClientConfig n = loadClientConfig();
    EXPECT_EQ(n.file, named);
    ASSERT_EQ(n.trees.size(), 1u);
    EXPECT_EQ(n.trees[0].folder, (dir_ / "n").string());
    EXPECT_EQ(n.sampleTrees.size(), 2u);

    // Without it, the user's file.
    unsetenv("KORVANEX_CLIENT_CONF");
    ClientConfig home = loadClientConfig();
    ASSERT_EQ(home.trees.size(), 1u);
    EXPECT_EQ(home.trees[0].name, "HomeTree");
    setenv("XDG_CONFIG_HOME", (dir_ / "xdg").c_str(), 1);
    write("xdg/korvanex/client.conf", "[Tree XdgTree]\nFolder=/x\n");
    EXPECT_EQ(loadClientConfig().trees.at(0).name, "XdgTree");
}

TEST_F(ConfigTest, ProviderServesConfiguredAndAdvertisedTrees) {
    // Nothing listens on port 1 of this machine: the LDAP tree cannot be reached.
    ClientConfig cfg = parseClientConfig("[Tree Corp]\nURL=ldap://127.0.0.1:1\n"
                                         "[Tree Local]\nFolder=" +
                                             (dir_ / "data" / "trees" / "ALPHA").string() + "\n",
                                         "");
    auto provider = makeConfiguredTreeProvider(cfg);
    EXPECT_EQ(provider->configuredTrees(), (std::vector<std::string>{"Corp", "Local"}));
    EXPECT_EQ(provider->advertisedTrees(), (std::vector<std::string>{"ALPHA", "BETA"}));
    EXPECT_EQ(provider->defaultTree(), "Corp");
    EXPECT_EQ(provider->backend("nothing"), nullptr);

    Backend* corp = provider->backend("CORP");
    ASSERT_NE(corp, nullptr);
    EXPECT_EQ(corp->open(), ERR_UNREACHABLE_SERVER);
    EXPECT_NE(corp->lastError().find("ldap://127.0.0.1:1"), std::string::npos) << corp->lastError();
    std::vector<std::string> classes;
    EXPECT_EQ(corp->classNames(classes), ERR_UNREACHABLE_SERVER);

    Backend* local = provider->backend("local");
    ASSERT_NE(local, nullptr);
    ASSERT_EQ(local->open(), 0) << local->lastError();
    Entry e;
    EXPECT_EQ(local->lookup("Alpha", e), 0);
    // An empty sample folder is a tree with no entries, not a failure.
    Backend* beta = provider->backend("beta");
    ASSERT_NE(beta, nullptr);
    EXPECT_EQ(beta->open(), 0) << beta->lastError();

    StaticTreeProvider fixed;
    fixed.add(makeEmbeddedBackendFromText("One", "", ""), false);
    fixed.add(makeEmbeddedBackendFromText("Two", "", ""), true);
    EXPECT_EQ(fixed.defaultTree(), "One");
    fixed.setDefaultTree("Two");
    EXPECT_EQ(fixed.defaultTree(), "Two");
    EXPECT_EQ(fixed.configuredTrees(), std::vector<std::string>{"One"});
    EXPECT_EQ(fixed.advertisedTrees(), std::vector<std::string>{"Two"});
}
