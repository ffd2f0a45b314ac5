// An in-memory tree for the client call tests: entries, classes and attribute types made on the
// spot, served through the backend seam, with a cursor that can be made to fail part-way.
#pragma once

#include "directory/client/backend.h"
#include "directory/client/registry.h"

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace kvx::client::testing {

inline std::string lower(std::string s) {
    for (auto& c : s)
        c = (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
    return s;
}

// Parent of a typeless full name ("" for a first-level object); "\." is not a separator.
inline std::string parentOf(const std::string& name) {
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (name[i] == '\\')
            ++i;
        else if (name[i] == '.')
            return name.substr(i + 1);
    }
    return std::string();
}

inline bool below(const std::string& name, const std::string& base) {
    if (base.empty())
        return !name.empty();
    for (std::string p = parentOf(name); !p.empty(); p = parentOf(p)) {
        if (lower(p) == lower(base))
            return true;
    }
    return false;
}

class VectorCursor : public EntryCursor {
public:
    VectorCursor(std::vector<Entry> entries, std::size_t failAt, NWDSCCODE failCode)
        : entries_(std::move(entries)), failAt_(failAt), failCode_(failCode) {}
    NWDSCCODE next(Entry& out) override {
        if (i_ == failAt_)
            return failCode_;
        if (i_ >= entries_.size())
            return kEndOfEntries;
        out = entries_[i_++];
        return 0;
    }

private:
    std::vector<Entry> entries_;
    std::size_t i_ = 0;
    std::size_t failAt_;
    NWDSCCODE failCode_;
};

class FakeBackend : public Backend {
public:
    explicit FakeBackend(std::string tree) : tree_(std::move(tree)) {}

    const std::string& treeName() const override { return tree_; }
    NWDSCCODE open() override { return openCode; }
    std::string lastError() const override { return {}; }

    NWDSCCODE classNames(std::vector<std::string>& out) override {
        out.clear();
        for (const auto& c : classes)
            out.push_back(c.name);
        return 0;
    }
    NWDSCCODE readClass(const std::string& name, ClassDef& out) override {
        for (const auto& c : classes) {
            if (lower(c.name) == lower(name)) {
                out = c;
                return 0;
            }
        }
        return ERR_NO_SUCH_CLASS;
    }
    NWDSCCODE readAttribute(const std::string& name, AttrDef& out) override {
        for (const auto& a : attributes) {
            if (lower(a.name) == lower(name)) {
                out = a;
                return 0;
            }
        }
        return ERR_NO_SUCH_ATTRIBUTE;
    }
    NWDSCCODE lookup(const std::string& fullName, Entry& out) override {
        for (const auto& e : entries) {
            if (lower(e.name) == lower(fullName)) {
                out = e;
                return 0;
            }
        }
        return ERR_NO_SUCH_ENTRY;
    }
    NWDSCCODE list(const std::string& fullName, std::unique_ptr<EntryCursor>& out) override {
        ++listCalls;
        std::vector<Entry> found;
        for (const auto& e : entries) {
            if (lower(parentOf(e.name)) == lower(fullName)) {
                Entry copy = e;
                copy.attributes.clear();
                found.push_back(copy);
            }
        }
        out = std::make_unique<VectorCursor>(found, failAt, failCode);
        return 0;
    }
    NWDSCCODE search(const SearchRequest& r, std::unique_ptr<EntryCursor>& out) override {
        lastRequest = r;
        std::vector<Entry> found;
        for (const auto& e : entries) {
            const bool inScope =
                (r.scope != DS_SEARCH_SUBORDINATES && lower(e.name) == lower(r.base)) ||
                (r.scope == DS_SEARCH_SUBORDINATES && lower(parentOf(e.name)) == lower(r.base)) ||
                (r.scope == DS_SEARCH_SUBTREE && below(e.name, r.base));
            if (!inScope || !hasClass(e, r.filterValue))
                continue;
            Entry copy = e;
            // Like an LDAP server, an empty attribute list asks for every attribute.
            if (!r.allAttributes && !r.attributes.empty()) {
                copy.attributes.clear();
                for (const auto& want : r.attributes) {
                    for (const auto& a : e.attributes) {
                        if (lower(a.name) == lower(want))
                            copy.attributes.push_back(a);
                    }
                }
            }
            found.push_back(copy);
        }
        out = std::make_unique<VectorCursor>(found, failAt, failCode);
        return 0;
    }

    static bool hasClass(const Entry& e, const std::string& cls) {
        for (const auto& a : e.attributes) {
            if (a.name != "Object Class")
                continue;
            for (const auto& v : a.values) {
                if (lower(v) == lower(cls))
                    return true;
            }
        }
        return false;
    }

    // Builders.
    Entry& add(const std::string& name, const std::string& typedName, const std::string& cls,
               bool container) {
        Entry e;
        e.name = name;
        e.typedName = typedName;
        e.baseClass = cls;
        e.objectFlags = container ? nuint32(DS_CONTAINER_ENTRY) : 0u;
        e.attributes.push_back({"Object Class", SYN_CLASS_NAME, {cls, "Top"}});
        entries.push_back(e);
        std::string parent = parentOf(name);
        for (auto& p : entries) {
            if (!parent.empty() && lower(p.name) == lower(parent))
                ++p.subordinateCount;
        }
        return entries.back();
    }

    std::string tree_;
    NWDSCCODE openCode = 0;
    std::size_t failAt = static_cast<std::size_t>(-1);
    NWDSCCODE failCode = ERR_TRANSPORT_FAILURE;
    std::vector<Entry> entries;
    std::vector<ClassDef> classes;
    std::vector<AttrDef> attributes;
    SearchRequest lastRequest;
    int listCalls = 0;
};

class FakeProvider : public TreeProvider {
public:
    std::vector<std::string> configuredTrees() const override { return configured; }
    std::vector<std::string> advertisedTrees() const override { return advertised; }
    std::string defaultTree() const override { return defaultName; }
    Backend* backend(const std::string& treeName) override {
        for (auto& b : backends) {
            if (lower(b->treeName()) == lower(treeName))
                return b.get();
        }
        return nullptr;
    }
    FakeBackend& addTree(const std::string& name) {
        backends.push_back(std::make_unique<FakeBackend>(name));
        configured.push_back(name);
        if (defaultName.empty())
            defaultName = name;
        return *backends.back();
    }

    std::vector<std::unique_ptr<FakeBackend>> backends;
    std::vector<std::string> configured;
    std::vector<std::string> advertised;
    std::string defaultName;
};

// The sample tree most tests use:
//   Acme (Organization), Sales.Acme, Dev.Sales.Acme (Organizational Unit), "Dot\.Com.Acme",
//   Ann Smith.Sales.Acme and Bob.Dev.Sales.Acme (User), with a few attributes each.
inline FakeBackend& buildAcme(FakeProvider& p) {
    FakeBackend& b = p.addTree("ACME");
    b.add("Acme", "O=Acme", "Organization", true);
    b.add("Sales.Acme", "OU=Sales.O=Acme", "Organizational Unit", true);
    b.add("Dev.Sales.Acme", "OU=Dev.OU=Sales.O=Acme", "Organizational Unit", true);
    b.add("Dot\\.Com.Acme", "OU=Dot\\.Com.O=Acme", "Organizational Unit", true);
    Entry& ann = b.add("Ann Smith.Sales.Acme", "CN=Ann Smith.OU=Sales.O=Acme", "User", false);
    ann.attributes.push_back({"Surname", SYN_CI_STRING, {"Smith"}});
    ann.attributes.push_back({"Telephone Number", SYN_TEL_NUMBER, {"555-1", "555-2", "555-3"}});
    ann.attributes.push_back({"Manager", SYN_DIST_NAME, {"Bob.Dev.Sales.Acme", "Acme"}});
    Entry& bob = b.add("Bob.Dev.Sales.Acme", "CN=Bob.OU=Dev.OU=Sales.O=Acme", "User", false);
    bob.attributes.push_back({"Surname", SYN_CI_STRING, {"Builder"}});
    bob.attributes.push_back(
        {"ACL", SYN_OBJECT_ACL, {"3#entry#Ann Smith.Sales.Acme#[Entry Rights]"}});
    return b;
}

} // namespace kvx::client::testing
