#include "embedded.h"

#include "../filter_check.h"
#include "../names.h"
#include "../testing.h"
#include "filter_match.h"
#include "store.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <thread>

namespace kvx::client {

namespace {

using embedded::kNone;
using embedded::kRoot;
using embedded::Store;

// Trees up to this many bytes of LDIF have their values checked when they are opened; larger
// ones are opened as soon as their structure is read, and their values are checked on a
// second thread meanwhile.
constexpr std::size_t kBackgroundCheckAbove = std::size_t{32} << 20;
std::size_t g_backgroundCheckAbove = kBackgroundCheckAbove;
std::size_t g_splitAbove = embedded::Store::kSplitAbove;

// The check of a tree's values, run beside its use. A search that reaches its end waits for it,
// and any use of the tree after a fault was found fails with that fault: a damaged tree never
// gives a report that looks whole.
class ValueCheck {
public:
    void start(const Store& store) {
        thread_ = std::thread([this, &store] {
            std::string fault;
            bool ok = true;
            try {
                ok = store.checkValues(0, static_cast<std::uint32_t>(store.nodes().size()), &stop_,
                                       fault);
            } catch (const std::bad_alloc&) {
                ok = false;
                fault = "not enough memory to check the tree's values";
            } catch (const std::exception& e) {
                ok = false;
                fault = std::string("the tree's values could not be checked: ") + e.what();
            }
            std::lock_guard<std::mutex> lock(mutex_);
            if (!ok) {
                fault_ = std::move(fault);
                failed_.store(true, std::memory_order_release);
            }
            done_ = true;
            cv_.notify_all();
        });
    }
    ~ValueCheck() { finish(); }
    // Stops the check (before the store it reads goes away).
    void finish() {
        stop_.store(true);
        if (thread_.joinable())
            thread_.join();
    }
    bool failed() const { return failed_.load(std::memory_order_acquire); }
    // Waits for the end of the check; false when it found a fault.
    bool wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [this] { return done_; });
        return !failed_.load(std::memory_order_relaxed);
    }
    std::string fault() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return fault_;
    }

private:
    std::thread thread_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    bool done_ = false;
    std::atomic<bool> failed_{false};
    std::atomic<bool> stop_{false};
    std::string fault_;
};

// Walks the entries of a list or search in document order.
class StoreCursor : public EntryCursor {
public:
    StoreCursor(const Store& store, std::uint32_t base, nint32 scope) : s_(store), base_(base) {
        scope_ = scope;
    }
    std::vector<char> classSet; // empty: every entry
    bool matchNothing = false;
    std::vector<char> wanted; // by attribute index
    bool allAttributes = false;
    bool withAttributes = false;
    bool valuesWanted = true;
    std::unique_ptr<embedded::FilterMatcher> matcher; // the request's further condition
    std::vector<char> filterWanted;                   // attributes the condition reads
    std::shared_ptr<ValueCheck> check; // a search ends only once the values are known good

    bool overwritesEntries() const override { return true; }

    NWDSCCODE next(Entry& out) override {
        while (true) {
            if (check && check->failed())
                return ERR_UNREACHABLE_SERVER;
            std::uint32_t n = advance();
            if (n == kNone)
                return check && !check->wait() ? ERR_UNREACHABLE_SERVER : kEndOfEntries;
            if (matchNothing || (!classSet.empty() && !hasClass(n)))
                continue;
            if (matcher) {
                s_.fillEntry(n, filterEntry_, &filterWanted, false, true, true);
                if (!matcher->matches(filterEntry_))
                    continue;
            }
            s_.fillEntry(n, out, withAttributes ? &wanted : nullptr,
                         withAttributes && allAttributes, valuesWanted);
            return 0;
        }
    }

private:
    // Entries share their lists of classes (the store keeps each list once): the answer for
    // the last list is kept.
    bool hasClass(std::uint32_t n) {
        const auto& node = s_.nodes()[n];
        if (node.classOff != lastClassOff_ || node.classCount != lastClassCount_) {
            lastClassOff_ = node.classOff;
            lastClassCount_ = node.classCount;
            lastHasClass_ = s_.nodeHasClass(n, classSet);
        }
        return lastHasClass_;
    }

    std::uint32_t firstChild(std::uint32_t n) const {
        return n == kRoot ? s_.rootFirstChild() : s_.nodes()[n].firstChild;
    }

    std::uint32_t advance() {
        if (done_)
            return kNone;
        const auto& nodes = s_.nodes();
        if (!started_) {
            started_ = true;
            if (scope_ == DS_SEARCH_ENTRY)
                cur_ = base_ == kRoot ? kNone : base_;
            else if (scope_ == DS_SEARCH_SUBORDINATES)
                cur_ = firstChild(base_);
            else
                cur_ = base_ == kRoot ? s_.rootFirstChild() : base_;
        } else if (scope_ == DS_SEARCH_ENTRY) {
            cur_ = kNone;
        } else if (scope_ == DS_SEARCH_SUBORDINATES) {
            cur_ = nodes[cur_].nextSibling;
        } else {
            std::uint32_t n = cur_;
            if (nodes[n].firstChild != kNone) {
                cur_ = nodes[n].firstChild;
            } else {
                cur_ = kNone;
                while (n != base_ && n != kRoot) {
                    if (nodes[n].nextSibling != kNone) {
                        cur_ = nodes[n].nextSibling;
                        break;
                    }
                    n = nodes[n].parent;
                }
            }
        }
        if (cur_ == kNone)
            done_ = true;
        return cur_;
    }

    const Store& s_;
    std::uint32_t base_;
    nint32 scope_;
    std::uint32_t cur_ = kNone;
    Entry filterEntry_;
    std::uint32_t lastClassOff_ = kNone;
    std::uint32_t lastClassCount_ = 0;
    bool lastHasClass_ = false;
    bool started_ = false;
    bool done_ = false;
};

class EmbeddedBackend : public Backend {
public:
    EmbeddedBackend(std::string tree, std::string folder)
        : tree_(std::move(tree)), folder_(std::move(folder)) {}
    EmbeddedBackend(std::string tree, std::string schemaText, std::string ldifText)
        : tree_(std::move(tree)), fromText_(true), schemaText_(std::move(schemaText)),
          ldifText_(std::move(ldifText)) {}

    const std::string& treeName() const override { return tree_; }

    ~EmbeddedBackend() override {
        if (check_)
            check_->finish();
    }

    NWDSCCODE open() override {
        if (!tried_) {
            tried_ = true;
            auto store = std::make_unique<Store>();
            store->setSplitAbove(g_splitAbove);
            bool ok = load(*store, error_);
            if (!ok) {
                // A value fault before the structural one is the first fault of the files.
                std::string earlier;
                if (!store->checkValues(0, static_cast<std::uint32_t>(store->nodes().size()),
                                        nullptr, earlier))
                    error_ = earlier;
            } else if (store->textBytes() <= g_backgroundCheckAbove) {
                ok = store->checkValues(0, static_cast<std::uint32_t>(store->nodes().size()),
                                        nullptr, error_);
            } else {
                check_ = std::make_shared<ValueCheck>();
                check_->start(*store);
            }
            if (ok) {
                store_ = std::move(store);
                state_ = 0;
            } else {
                state_ = ERR_UNREACHABLE_SERVER;
            }
        }
        if (state_ == 0 && check_ && check_->failed()) {
            state_ = ERR_UNREACHABLE_SERVER;
            error_ = check_->fault();
        }
        return state_;
    }

    std::string lastError() const override {
        if (state_ == 0 && check_ && check_->failed())
            return check_->fault();
        return error_;
    }

    NWDSCCODE checkFilter(const FilterNode& filter, FilterCheck& out) override {
        out = FilterCheck{};
        if (NWDSCCODE rc = open())
            return rc;
        out.fault = kvx::client::filterFault(filter, store_->schema(), true);
        out.unordered = kvx::client::unorderedAttributes(filter, store_->schema());
        return 0;
    }

    NWDSCCODE classNames(std::vector<std::string>& out) override {
        if (NWDSCCODE rc = open())
            return rc;
        out.clear();
        for (const auto& c : store_->schema().classes())
            out.push_back(c.ndsName);
        return 0;
    }

    NWDSCCODE readClass(const std::string& name, ClassDef& out) override {
        if (NWDSCCODE rc = open())
            return rc;
        int k = store_->schema().findClass(name);
        if (k < 0)
            return ERR_NO_SUCH_CLASS;
        out = store_->schema().classDef(k);
        return 0;
    }

    NWDSCCODE readAttribute(const std::string& name, AttrDef& out) override {
        if (NWDSCCODE rc = open())
            return rc;
        int k = store_->schema().findAttribute(name);
        if (k < 0)
            return ERR_NO_SUCH_ATTRIBUTE;
        out = store_->schema().attrDef(k);
        return 0;
    }

    NWDSCCODE lookup(const std::string& fullName, Entry& out) override {
        if (NWDSCCODE rc = open())
            return rc;
        std::uint32_t n = store_->find(fullName);
        if (n == kNone)
            return ERR_NO_SUCH_ENTRY;
        if (n == kRoot)
            store_->fillRootEntry(out);
        else
            store_->fillEntry(n, out, nullptr, true, true);
        return 0;
    }

    NWDSCCODE list(const std::string& fullName, std::unique_ptr<EntryCursor>& out) override {
        if (NWDSCCODE rc = open())
            return rc;
        std::uint32_t n = store_->find(fullName);
        if (n == kNone)
            return ERR_NO_SUCH_ENTRY;
        out = std::make_unique<StoreCursor>(*store_, n, DS_SEARCH_SUBORDINATES);
        return 0;
    }

    NWDSCCODE search(const SearchRequest& request, std::unique_ptr<EntryCursor>& out) override {
        if (NWDSCCODE rc = open())
            return rc;
        if (request.scope < DS_SEARCH_ENTRY || request.scope > DS_SEARCH_SUBTREE)
            return ERR_INVALID_REQUEST;
        std::uint32_t base = store_->find(request.base);
        if (base == kNone)
            return ERR_NO_SUCH_ENTRY;
        const schema::Schema& sc = store_->schema();
        auto cursor = std::make_unique<StoreCursor>(*store_, base, request.scope);
        cursor->check = check_;
        if (!request.filterAttribute.empty()) {
            int fa = sc.findAttribute(request.filterAttribute);
            if (fa < 0 || fa != sc.findAttribute("objectClass"))
                return ERR_INVALID_REQUEST;
            int cls = sc.findClass(request.filterValue);
            if (cls < 0) {
                cursor->matchNothing = true;
            } else {
                cursor->classSet.assign(sc.classes().size(), 0);
                for (std::size_t k = 0; k < sc.classes().size(); ++k)
                    cursor->classSet[k] = sc.derivesFrom(static_cast<int>(k), cls);
            }
        }
        if (request.filter) {
            cursor->matcher = std::make_unique<embedded::FilterMatcher>(*request.filter, sc);
            cursor->filterWanted.assign(sc.attributes().size(), 0);
            cursor->matcher->markAttributes(cursor->filterWanted);
        }
        cursor->withAttributes = true;
        cursor->allAttributes = request.allAttributes;
        cursor->valuesWanted = request.valuesWanted;
        cursor->wanted.assign(sc.attributes().size(), 0);
        for (const std::string& name : request.attributes) {
            int a = store_->attributeIndex(name);
            if (a >= 0)
                cursor->wanted[a] = 1;
        }
        out = std::move(cursor);
        return 0;
    }

private:
    bool load(Store& store, std::string& error) {
        if (fromText_) {
            return useSchemaText(store, error) &&
                   store.addLdifText(std::string_view(ldifText_), "ldif", ".", error) &&
                   store.finishEntries(error);
        }
        namespace fs = std::filesystem;
        std::error_code ec;
        if (!fs::is_directory(folder_, ec)) {
            error = folder_ + ": the tree's folder does not exist";
            return false;
        }
        std::vector<std::string> schemas, ldifs;
        for (const auto& e : fs::directory_iterator(folder_, ec)) {
            if (!e.is_regular_file(ec))
                continue;
            std::string ext = names::lowerAscii(e.path().extension().string());
            if (ext == ".schema")
                schemas.push_back(e.path().filename().string());
            else if (ext == ".ldif")
                ldifs.push_back(e.path().filename().string());
        }
        if (ec) {
            error = folder_ + ": " + ec.message();
            return false;
        }
        std::sort(schemas.begin(), schemas.end());
        std::sort(ldifs.begin(), ldifs.end());
        std::string why;
        for (const std::string& f : schemas) {
            embedded::TextBuffer text;
            if (!text.readFile(folder_ + "/" + f, why)) {
                error = f + ": cannot be read (" + why + ")";
                return false;
            }
            if (!store.addSchemaText(std::string(text.view()), f, error))
                return false;
        }
        if (!store.finishSchema(error))
            return false;
        for (const std::string& f : ldifs) {
            embedded::TextBuffer text;
            if (!text.readFile(folder_ + "/" + f, why)) {
                error = f + ": cannot be read (" + why + ")";
                return false;
            }
            if (!store.addLdifText(std::move(text), f, folder_, error))
                return false;
        }
        return store.finishEntries(error);
    }

    // Trees given as text mostly come one after another over the same schema text (tests,
    // fuzzing): the schema resolved last is kept for the same text.
    bool useSchemaText(Store& store, std::string& error) {
        static std::mutex mutex;
        static std::string lastText;
        static schema::Schema lastSchema;
        std::lock_guard<std::mutex> lock(mutex);
        if (lastText.empty() || lastText != schemaText_) {
            lastText.clear();
            Store fresh;
            if (!fresh.addSchemaText(schemaText_, "schema", error) || !fresh.finishSchema(error))
                return false;
            lastSchema = fresh.schema();
            lastText = schemaText_;
        }
        return store.useSchema(lastSchema, error);
    }

    std::string tree_;
    std::string folder_;
    bool fromText_ = false;
    std::string schemaText_;
    std::string ldifText_;
    bool tried_ = false;
    NWDSCCODE state_ = ERR_UNREACHABLE_SERVER;
    std::string error_;
    std::unique_ptr<Store> store_;
    std::shared_ptr<ValueCheck> check_; // declared after store_: stopped before it goes
};

} // namespace

void setEmbeddedLargeTreeForTesting(std::size_t bytes) {
    g_backgroundCheckAbove = bytes ? bytes : kBackgroundCheckAbove;
    g_splitAbove = bytes ? bytes : embedded::Store::kSplitAbove;
}

std::unique_ptr<Backend> makeEmbeddedBackend(const std::string& treeName,
                                             const std::string& folder) {
    return std::make_unique<EmbeddedBackend>(treeName, folder);
}

std::unique_ptr<Backend> makeEmbeddedBackendFromText(const std::string& treeName,
                                                     std::string schemaText, std::string ldifText) {
    return std::make_unique<EmbeddedBackend>(treeName, std::move(schemaText), std::move(ldifText));
}

} // namespace kvx::client
