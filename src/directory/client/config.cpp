#include "config.h"

#include "embedded/embedded.h"
#include "ldap/ldap_backend.h"
#include "names.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace kvx::client {

namespace {

namespace fs = std::filesystem;
using names::equalNoCase;

std::string trim(std::string_view s) {
    std::size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string_view::npos)
        return {};
    std::size_t e = s.find_last_not_of(" \t\r");
    return std::string(s.substr(b, e - b + 1));
}

std::string unquote(std::string s) {
    if (s.size() >= 2 &&
        ((s.front() == '"' && s.back() == '"') || (s.front() == '\'' && s.back() == '\'')))
        return s.substr(1, s.size() - 2);
    return s;
}

bool parseBool(const std::string& v, bool& out) {
    if (equalNoCase(v, "yes") || equalNoCase(v, "true") || equalNoCase(v, "on") || v == "1") {
        out = true;
        return true;
    }
    if (equalNoCase(v, "no") || equalNoCase(v, "false") || equalNoCase(v, "off") || v == "0") {
        out = false;
        return true;
    }
    return false;
}

std::string envOrEmpty(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

bool fileExists(const std::string& path) {
    std::error_code ec;
    return !path.empty() && fs::is_regular_file(path, ec);
}

// The sample trees: sub-folders of the sample folder, in name order.
std::vector<TreeSource> sampleTrees() {
    std::vector<TreeSource> out;
    std::error_code ec;
    std::string folder = sampleTreesFolder();
    for (const auto& e : fs::directory_iterator(folder, ec)) {
        if (!e.is_directory(ec))
            continue;
        TreeSource t;
        t.name = e.path().filename().string();
        t.folder = e.path().string();
        out.push_back(std::move(t));
    }
    std::sort(out.begin(), out.end(),
              [](const TreeSource& a, const TreeSource& b) { return a.name < b.name; });
    return out;
}

std::unique_ptr<Backend> backendFor(const TreeSource& t) {
    if (!t.url.empty())
        return makeLdapBackend(t);
    return makeEmbeddedBackend(t.name, t.folder);
}

} // namespace

ClientConfig parseClientConfig(const std::string& text, const std::string& fileName) {
    ClientConfig cfg;
    cfg.file = fileName;
    std::string base = fileName.empty() ? std::string() : fs::path(fileName).parent_path().string();
    auto resolvePath = [&](const std::string& p) {
        if (p.empty() || p[0] == '/' || base.empty())
            return p;
        return base + "/" + p;
    };
    auto note = [&](std::size_t line, const std::string& why) {
        if (cfg.error.empty())
            cfg.error = (fileName.empty() ? std::string("client configuration") : fileName) + ":" +
                        std::to_string(line) + ": " + why;
    };

    enum { None, Client, Tree, Other } section = None;
    TreeSource* tree = nullptr;
    std::vector<std::size_t> treeLines;
    std::istringstream in(text);
    std::string raw;
    std::size_t lineNo = 0;
    std::size_t defaultLine = 0;
    while (std::getline(in, raw)) {
        ++lineNo;
        std::string line = trim(raw);
        if (line.empty() || line[0] == ';' || line[0] == '#')
            continue;
        if (line[0] == '[') {
            tree = nullptr;
            if (line.back() != ']') {
                note(lineNo, "malformed section header");
                section = Other;
                continue;
            }
            std::string name = trim(std::string_view(line).substr(1, line.size() - 2));
            if (equalNoCase(name, "Client")) {
                section = Client;
            } else if (name.size() > 5 && equalNoCase(name.substr(0, 5), "Tree ")) {
                std::string treeName = trim(name.substr(5));
                auto same = std::find_if(cfg.trees.begin(), cfg.trees.end(),
                                         [&](auto& t) { return equalNoCase(t.name, treeName); });
                if (same != cfg.trees.end()) {
                    note(lineNo, "tree \"" + treeName + "\" is configured twice");
                    section = Other;
                    continue;
                }
                section = Tree;
                cfg.trees.push_back(TreeSource{});
                cfg.trees.back().name = treeName;
                treeLines.push_back(lineNo);
                tree = &cfg.trees.back();
            } else {
                note(lineNo, "unknown section [" + name + "]");
                section = Other;
            }
            continue;
        }
        std::size_t eq = line.find('=');
        if (eq == std::string::npos) {
            note(lineNo, "expected key=value");
            continue;
        }
        std::string key = trim(std::string_view(line).substr(0, eq));
        std::string value = unquote(trim(std::string_view(line).substr(eq + 1)));
        if (section == Client) {
            if (equalNoCase(key, "DefaultTree")) {
                cfg.defaultTree = value;
                defaultLine = lineNo;
            } else
                note(lineNo, "unknown key \"" + key + "\"");
        } else if (section == Tree && tree) {
            if (equalNoCase(key, "Folder"))
                tree->folder = resolvePath(value);
            else if (equalNoCase(key, "URL"))
                tree->url = value;
            else if (equalNoCase(key, "Base"))
                tree->base = value;
            else if (equalNoCase(key, "BindDN"))
                tree->bindDn = value;
            else if (equalNoCase(key, "PasswordFile"))
                tree->passwordFile = resolvePath(value);
            else if (equalNoCase(key, "SASL"))
                tree->sasl = value;
            else if (equalNoCase(key, "ClientCertificate"))
                tree->clientCertificate = resolvePath(value);
            else if (equalNoCase(key, "ClientKey"))
                tree->clientKey = resolvePath(value);
            else if (equalNoCase(key, "CACertificate"))
                tree->caCertificate = resolvePath(value);
            else if (equalNoCase(key, "StartTLS")) {
                if (!parseBool(value, tree->startTls))
                    note(lineNo, "StartTLS takes yes or no");
            } else {
                note(lineNo, "unknown key \"" + key + "\"");
            }
        } else if (section == None) {
            note(lineNo, "key outside a section");
        }
    }
    // A tree needs exactly one source; one without is dropped (and noted).
    for (std::size_t i = cfg.trees.size(); i-- > 0;) {
        const TreeSource& t = cfg.trees[i];
        bool hasFolder = !t.folder.empty(), hasUrl = !t.url.empty();
        std::string why;
        if (t.name.empty())
            why = "a tree section needs a name";
        else if (hasFolder == hasUrl)
            why = "tree \"" + t.name + "\" needs either Folder= or URL=";
        else if (hasUrl && t.url.rfind("ldap://", 0) != 0 && t.url.rfind("ldaps://", 0) != 0 &&
                 t.url.rfind("ldapi://", 0) != 0)
            why = "tree \"" + t.name + "\" has a URL that is not ldap://, ldaps:// or ldapi://";
        if (!why.empty()) {
            note(treeLines[i], why);
            cfg.trees.erase(cfg.trees.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }
    if (!cfg.defaultTree.empty()) {
        bool known = std::any_of(cfg.trees.begin(), cfg.trees.end(),
                                 [&](auto& t) { return equalNoCase(t.name, cfg.defaultTree); });
        if (!known)
            note(defaultLine, "the default tree \"" + cfg.defaultTree + "\" is not configured");
    }
    for (TreeSource& s : sampleTrees()) {
        bool named = std::any_of(cfg.trees.begin(), cfg.trees.end(),
                                 [&](auto& t) { return equalNoCase(t.name, s.name); });
        if (!named)
            cfg.sampleTrees.push_back(std::move(s));
    }
    return cfg;
}

std::string userConfigPath() {
    std::string env = envOrEmpty("KORVANEX_CLIENT_CONF");
    if (!env.empty())
        return env;
    std::string xdg = envOrEmpty("XDG_CONFIG_HOME");
    std::string home = envOrEmpty("HOME");
    return !xdg.empty() ? xdg + "/korvanex/client.conf"
                        : (home.empty() ? std::string() : home + "/.config/korvanex/client.conf");
}

std::string systemConfigPath() {
    return envOrEmpty("KORVANEX_CLIENT_CONF").empty() ? "/etc/korvanex/client.conf" : "";
}

namespace {

ClientConfig readConfigFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    ClientConfig cfg = parseClientConfig(text.str(), path);
    if (!in && cfg.error.empty())
        cfg.error = path + ": cannot be read";
    return cfg;
}

} // namespace

ClientConfig loadClientConfig() {
    // An explicitly named file is the only one looked at: a missing one means no configuration,
    // not a silent fall-back to another file.
    std::string user = userConfigPath();
    std::string system = systemConfigPath();
    std::string path = fileExists(user) ? user : (fileExists(system) ? system : std::string());
    if (path.empty()) {
        ClientConfig cfg;
        cfg.trees = sampleTrees();
        if (!cfg.trees.empty())
            cfg.defaultTree = cfg.trees.front().name;
        return cfg;
    }
    ClientConfig cfg = readConfigFile(path);
    // Trees the administrator configured stay available to a user who adds trees of their own.
    if (path == user && fileExists(system)) {
        ClientConfig sys = readConfigFile(system);
        for (TreeSource& t : sys.trees) {
            bool named = std::any_of(cfg.trees.begin(), cfg.trees.end(),
                                     [&](auto& u) { return equalNoCase(u.name, t.name); });
            if (named)
                continue;
            t.system = true;
            std::erase_if(cfg.sampleTrees, [&](auto& s) { return equalNoCase(s.name, t.name); });
            cfg.trees.push_back(std::move(t));
        }
        if (cfg.defaultTree.empty())
            cfg.defaultTree = sys.defaultTree;
    }
    return cfg;
}

std::string sampleTreesFolder() {
    std::string data = envOrEmpty("KORVANEX_DATA_DIR");
    if (!data.empty())
        return data + "/trees";
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        fs::path beside = exe.parent_path() / ".." / "share" / "korvanex" / "trees";
        if (fs::is_directory(beside, ec))
            return beside.lexically_normal().string();
    }
    return KVX_SOURCE_DIR "/data/trees";
}

std::unique_ptr<TreeProvider> makeConfiguredTreeProvider(const ClientConfig& config) {
    auto provider = std::make_unique<StaticTreeProvider>();
    for (const TreeSource& t : config.trees)
        provider->add(backendFor(t), false);
    for (const TreeSource& t : config.sampleTrees)
        provider->add(backendFor(t), true);
    std::string def = config.defaultTree;
    if (def.empty() && !config.trees.empty())
        def = config.trees.front().name;
    provider->setDefaultTree(def);
    provider->setConfigurationError(config.error);
    return provider;
}

void StaticTreeProvider::add(std::unique_ptr<Backend> backend, bool advertised) {
    if (!backend)
        return;
    items_.push_back(Item{std::move(backend), advertised});
}

std::vector<std::string> StaticTreeProvider::configuredTrees() const {
    std::vector<std::string> out;
    for (const Item& i : items_)
        if (!i.advertised)
            out.push_back(i.backend->treeName());
    return out;
}

std::vector<std::string> StaticTreeProvider::advertisedTrees() const {
    std::vector<std::string> out;
    for (const Item& i : items_)
        if (i.advertised)
            out.push_back(i.backend->treeName());
    return out;
}

std::string StaticTreeProvider::defaultTree() const {
    if (!default_.empty())
        return default_;
    for (const Item& i : items_)
        if (!i.advertised)
            return i.backend->treeName();
    return {};
}

Backend* StaticTreeProvider::backend(const std::string& treeName) {
    for (Item& i : items_)
        if (equalNoCase(i.backend->treeName(), treeName))
            return i.backend.get();
    return nullptr;
}

} // namespace kvx::client
