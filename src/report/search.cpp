#include "report/search.h"

#include "directory/client/names.h"
#include "directory/client/searchfilter.h"
#include "report/decode.h"

#include <array>
#include <cstdio>
#include <memory>
#include <unordered_map>

namespace kvx::report {

bool sameNameIgnoringCase(const std::string& a, const std::string& b) {
    return kvx::client::names::equalNoCase(a, b);
}

namespace {

// The client resources of one search, released in the designed order on every way out.
struct SearchResources {
    pBuf_T result = nullptr;
    pFilter_Cursor_T filter = nullptr; // still the search's own until the put-filter call took it
    pBuf_T filterBuf = nullptr;
    pBuf_T attrNames = nullptr;

    SearchResources() = default;
    SearchResources(const SearchResources&) = delete;
    SearchResources& operator=(const SearchResources&) = delete;
    ~SearchResources() {
        if (result != nullptr) {
            NWDSFreeBuf(result);
        }
        if (filter != nullptr) {
            NWDSFreeFilter(filter, nullptr);
        }
        if (filterBuf != nullptr) {
            NWDSFreeBuf(filterBuf);
        }
        if (attrNames != nullptr) {
            NWDSFreeBuf(attrNames);
        }
    }
};

// Finds the result columns whose caption matches an attribute name, ignoring case. Attribute
// names repeat for every object, so the answers are cached by the name's lower-cased text.
class ColumnMatcher {
public:
    explicit ColumnMatcher(const std::vector<SearchColumn>& columns) {
        for (std::size_t i = 0; i < columns.size(); ++i) {
            byCaption_[kvx::client::names::lowerAscii(columns[i].caption)].push_back(
                static_cast<int>(i));
        }
    }

    const std::vector<int>& columnsFor(const std::string& attributeName) {
        if (lastValid_ && attributeName == lastName_) {
            return *last_;
        }
        auto it = byCaption_.find(kvx::client::names::lowerAscii(attributeName));
        last_ = it == byCaption_.end() ? &none_ : &it->second;
        lastName_ = attributeName;
        lastValid_ = true;
        return *last_;
    }

private:
    std::unordered_map<std::string, std::vector<int>> byCaption_;
    std::vector<int> none_;
    const std::vector<int>* last_ = nullptr;
    std::string lastName_;
    bool lastValid_ = false;
};

// What one object has gathered until its last entry has been read.
struct PendingObject {
    ResultRow row;                     // Tabular
    std::vector<bool> taken;           // Tabular: columns already given a value by this object
    std::vector<std::string> expanded; // Tabular Cross: every value of the expanded attribute
    std::vector<std::string> otherValues;
    std::vector<std::string> otherNames;
    bool reported = false; // a row of it has gone out

    void start(const std::string& name, std::size_t cells, ReportMode mode) {
        reported = false;
        expanded.clear();
        otherValues.clear();
        otherNames.clear();
        if (mode == ReportMode::Tabular) {
            row.assign(cells + 1, std::string());
            row[0] = name;
            taken.assign(cells + 1, false);
        }
    }
};

class Search {
public:
    Search(const SearchInput& input, SearchSink& sink) : in_(input), sink_(sink) {}

    SearchOutcome run();

private:
    bool check(NWDSCCODE rc, const char* callName) {
        if (rc != 0) {
            sink_.failure(callName, rc);
            return false;
        }
        return true;
    }
    // The user's filter, after the class: AND ( filter ). Nothing when there is none.
    bool addSearchFilter(pFilter_Cursor_T filter) {
        if (in_.searchFilter.find_first_not_of(" \t") == std::string::npos) {
            return true;
        }
        kvx::client::FilterNode tree;
        kvx::client::FilterParseError error;
        if (!kvx::client::parseSearchFilter(in_.searchFilter, tree, error)) {
            return check(ERR_BAD_SYNTAX, "NWDSAddFilterToken");
        }
        return check(NWDSAddFilterToken(filter, FTOK_AND, nullptr, 0), "NWDSAddFilterToken") &&
               check(NWDSAddFilterToken(filter, FTOK_LPAREN, nullptr, 0), "NWDSAddFilterToken") &&
               check(kvx::client::AddSearchFilterTokens(filter, tree), "NWDSAddFilterToken") &&
               check(NWDSAddFilterToken(filter, FTOK_RPAREN, nullptr, 0), "NWDSAddFilterToken");
    }
    void setFilled(int column) {
        if (column >= 0 && static_cast<std::size_t>(column) < out_.filled.size()) {
            out_.filled[static_cast<std::size_t>(column)] = true;
        }
    }
    // Hands out a row of the pending object; its first row counts the object.
    void emit(const ResultRow& row) {
        if (!pending_.reported) {
            pending_.reported = true;
            ++out_.objects;
        }
        sink_.row(row);
    }
    void applyValue(const std::string& attrName, nuint32 index, const std::string& text);
    void flush(const std::string& name);
    void sizeColumns();

    const SearchInput& in_;
    SearchSink& sink_;
    SearchOutcome out_;
    std::vector<SearchColumn> columns_;
    std::unique_ptr<ColumnMatcher> matcher_;
    PendingObject pending_;
    std::string current_; // name of the entry being read
};

void Search::applyValue(const std::string& attrName, nuint32 index, const std::string& text) {
    switch (in_.mode) {
    case ReportMode::Tabular:
        if (index == 0) {
            for (int c : matcher_->columnsFor(attrName)) {
                auto col = static_cast<std::size_t>(c);
                // A later piece of a split entry does not replace a value already taken.
                if (!pending_.taken[col]) {
                    pending_.row[col] = text;
                    pending_.taken[col] = true;
                }
                setFilled(c);
            }
        }
        break;
    case ReportMode::TabularCross:
        if (sameNameIgnoringCase(attrName, in_.expandedAttribute)) {
            pending_.expanded.push_back(text);
        } else if (index == 0) {
            for (const std::string& seen : pending_.otherNames) {
                if (sameNameIgnoringCase(seen, attrName)) {
                    return; // already taken from an earlier piece of this object
                }
            }
            pending_.otherValues.push_back(text);
            pending_.otherNames.push_back(attrName);
        }
        break;
    case ReportMode::NonTabular:
        emit(ResultRow{current_, attrName, text});
        break;
    }
}

void Search::flush(const std::string& name) {
    switch (in_.mode) {
    case ReportMode::Tabular:
        emit(pending_.row);
        break;
    case ReportMode::TabularCross: {
        const std::size_t cells = in_.attributes.size();
        ResultRow row;
        for (const std::string& value : pending_.expanded) {
            row.assign(cells + 1, std::string());
            row[0] = name;
            for (std::size_t k = 0; k < pending_.otherNames.size(); ++k) {
                for (int c : matcher_->columnsFor(pending_.otherNames[k])) {
                    row[static_cast<std::size_t>(c)] = pending_.otherValues[k];
                    setFilled(c);
                }
            }
            for (int c : matcher_->columnsFor(in_.expandedAttribute)) {
                row[static_cast<std::size_t>(c)] = value;
                setFilled(c);
            }
            emit(row);
        }
        break;
    }
    case ReportMode::NonTabular:
        break;
    }
}

void Search::sizeColumns() {
    if (in_.mode == ReportMode::NonTabular) {
        sink_.fitColumn(0);
        sink_.fitColumn(1);
        sink_.fitColumn(2);
        return;
    }
    sink_.fitColumn(0);
    char text[64];
    for (std::size_t c = 1; c < columns_.size(); ++c) {
        std::snprintf(text, sizeof text, "Resizing Column %d", static_cast<int>(c));
        sink_.status(text);
        if (out_.filled[c] || !in_.hideEmptyColumns) {
            sink_.fitColumn(static_cast<int>(c));
        } else {
            sink_.hideColumn(static_cast<int>(c));
        }
    }
}

// While it lives, the context hands out typed names ("CN=Ann.O=Acme"), from which both the
// typeless name and the DN of each object are made; its flags are put back at the end.
class TypedNames {
public:
    TypedNames(NWDSContextHandle context, bool wanted) : context_(context) {
        if (wanted && NWDSGetContext(context_, DCK_FLAGS, &saved_) == 0) {
            nuint32 flags = saved_ & ~static_cast<nuint32>(DCV_TYPELESS_NAMES);
            active_ = NWDSSetContext(context_, DCK_FLAGS, &flags) == 0;
        }
    }
    ~TypedNames() {
        if (active_) {
            NWDSSetContext(context_, DCK_FLAGS, &saved_);
        }
    }
    TypedNames(const TypedNames&) = delete;
    TypedNames& operator=(const TypedNames&) = delete;
    bool active() const { return active_; }

private:
    NWDSContextHandle context_;
    nuint32 saved_ = 0;
    bool active_ = false;
};

bool isDistinguishedNameColumn(const std::string& name) {
    return sameNameIgnoringCase(name, kDistinguishedNameColumn);
}

SearchOutcome Search::run() {
    SearchResources res;
    const NWDSContextHandle ctx = in_.context;
    bool wantsDn = false;
    for (const SelectedAttribute& attr : in_.attributes) {
        wantsDn = wantsDn || isDistinguishedNameColumn(attr.name);
    }
    const TypedNames typedNames(ctx, wantsDn);
    std::string typedName;
    std::string dn;

    sink_.status("Clear Old Search Results");
    sink_.clearRows();

    sink_.status("Initialising Search");
    const std::string root = "[root]";
    NWDSSetContext(ctx, DCK_NAME_CONTEXT, &root); // not checked: a bad context fails below
    if (!check(NWDSAllocBuf(DEFAULT_MESSAGE_LEN, &res.filterBuf), "NWDSAllocBuf") ||
        !check(NWDSInitBuf(ctx, DSV_SEARCH_FILTER, res.filterBuf), "NWDSInitBuf") ||
        !check(NWDSAllocBuf(DEFAULT_MESSAGE_LEN, &res.attrNames), "NWDSAllocBuf") ||
        !check(NWDSInitBuf(ctx, DSV_SEARCH, res.attrNames), "NWDSInitBuf")) {
        return out_;
    }

    sink_.status("Adding Columns");
    const std::size_t n = in_.attributes.size();
    out_.filled.assign(in_.mode == ReportMode::NonTabular ? 3 : n + 1, false);
    for (const SelectedAttribute& attr : in_.attributes) {
        if (isDistinguishedNameColumn(attr.name)) {
            continue; // made from the object's name, not read
        }
        if (!check(NWDSPutAttrName(ctx, res.attrNames, attr.name), "NWDSPutAttrName")) {
            return out_;
        }
    }

    columns_.clear();
    columns_.push_back({"Object", 0});
    if (in_.mode == ReportMode::NonTabular) {
        columns_.push_back({"Attribute", 0});
        columns_.push_back({"Value", 0});
    } else {
        for (const SelectedAttribute& attr : in_.attributes) {
            columns_.push_back({attr.name, attr.sortKind});
        }
    }
    sink_.setColumns(columns_);
    matcher_ = std::make_unique<ColumnMatcher>(columns_);

    sink_.status("Adding Search Criteria");
    if (!check(NWDSAllocFilter(&res.filter), "NWDSAllocFilter")) {
        return out_;
    }
    const char* objectClassName = "Object Class";
    if (!check(NWDSAddFilterToken(res.filter, FTOK_ANAME, objectClassName, SYN_CLASS_NAME),
               "NWDSAddFilterToken") ||
        !check(NWDSAddFilterToken(res.filter, FTOK_EQ, nullptr, 0), "NWDSAddFilterToken") ||
        !check(NWDSAddFilterToken(res.filter, FTOK_AVAL, in_.objectClass.c_str(), SYN_CLASS_NAME),
               "NWDSAddFilterToken") ||
        !addSearchFilter(res.filter) ||
        !check(NWDSAddFilterToken(res.filter, FTOK_END, nullptr, 0), "NWDSAddFilterToken")) {
        return out_;
    }
    if (!check(NWDSPutFilter(ctx, res.filterBuf, res.filter, nullptr), "NWDSAddFilterToken")) {
        return out_;
    }
    res.filter = nullptr; // the filter buffer owns the expression now

    if (!check(NWDSAllocBuf(DEFAULT_MESSAGE_LEN, &res.result), "NWDSAllocBuf")) {
        return out_;
    }

    std::string previous;
    std::string lastDistinct;
    nuint32 pendingID = 0; // the client's object ID of the pending object
    std::int64_t entriesRead = 0;
    nint32 iteration = -1;
    std::string attrName;
    std::string rendered;
    std::vector<std::max_align_t> valueArea;
    char statusText[128];

    do {
        ++out_.iterations;
        std::snprintf(statusText, sizeof statusText, "Search Iteration %ld Objects %ld Values %ld",
                      static_cast<long>(out_.iterations), static_cast<long>(out_.objects),
                      static_cast<long>(out_.values));
        sink_.status(statusText);

        nint32 searched = 0;
        const NWDSCCODE searchRc =
            NWDSSearch(ctx, in_.base, DS_SEARCH_SUBTREE, 0, res.filterBuf, DS_ATTRIBUTE_VALUES, 0,
                       res.attrNames, &iteration, 0, &searched, res.result);
        if (searchRc != 0) {
            // The server ended the search. The client reads no entry while it is still handing
            // out the pieces of the one before, so the pending object is whole and goes out
            // before the failure is told; only a piece that no buffer holds leaves it in part.
            if (entriesRead > 0 && searchRc != ERR_BUFFER_FULL) {
                flush(lastDistinct);
            }
            check(searchRc, "NWDSSearch");
            return out_;
        }
        nuint32 count = 0;
        if (!check(NWDSGetObjectCount(ctx, res.result, &count), "NWDSGetObjectCount")) {
            return out_;
        }
        for (nuint32 e = 0; e < count; ++e) {
            previous.swap(current_);
            nuint32 attrCount = 0;
            Object_Info_T info;
            if (!check(NWDSGetObjectName(ctx, res.result, current_, &attrCount, &info),
                       "NWDSGetObjectName")) {
                return out_;
            }
            dn.clear();
            if (typedNames.active()) {
                typedName.swap(current_);
                if (!kvx::client::names::typedToTypelessAndDn(typedName, current_, dn)) {
                    current_ = typedName;
                }
            }
            // A continued entry carries the object ID of the entry before it: the name alone
            // does not tell, as siblings may share a typeless name ("ou=Shared", "cn=Shared").
            if (entriesRead == 0 || info.objectID != pendingID) {
                pendingID = info.objectID;
                lastDistinct = current_;
                if (entriesRead > 0) {
                    flush(previous);
                }
                pending_.start(current_, n, in_.mode);
                if (in_.mode == ReportMode::NonTabular && n == 0) {
                    // With nothing to list but names, each object still shows once.
                    emit(ResultRow{current_, std::string(), std::string()});
                }
                if (wantsDn) {
                    applyValue(kDistinguishedNameColumn, 0, dn);
                }
            }
            for (nuint32 a = 0; a < attrCount; ++a) {
                nuint32 valueCount = 0;
                nuint32 syntax = 0;
                if (!check(NWDSGetAttrName(ctx, res.result, attrName, &valueCount, &syntax),
                           "NWDSGetAttrName")) {
                    return out_;
                }
                for (nuint32 v = 0; v < valueCount; ++v) {
                    std::size_t size = 0;
                    if (!check(NWDSComputeAttrValSize(ctx, res.result, syntax, &size),
                               "NWDSComputeAttrValSize")) {
                        return out_;
                    }
                    const std::size_t slots = size / sizeof(std::max_align_t) + 1;
                    if (valueArea.size() < slots) {
                        valueArea.resize(slots);
                    }
                    if (!check(NWDSGetAttrVal(ctx, res.result, syntax, valueArea.data()),
                               "NWDSGetAttrVal")) {
                        return out_;
                    }
                    DecodeAttribute(attrName, valueArea.data(), syntax, rendered);
                    applyValue(attrName, v, rendered);
                    ++out_.values;
                }
            }
            ++entriesRead;
            if (!sink_.proceed(out_.objects)) {
                // Stopped by the user: the rows handed out stay; the object still pending may
                // continue in the next batch, so it is dropped rather than output cut short.
                if (iteration != -1) {
                    NWDSCloseIteration(ctx, iteration, DSV_SEARCH);
                }
                out_.cancelled = true;
                return out_;
            }
        }
    } while (iteration != -1);

    if (entriesRead > 0) {
        flush(lastDistinct);
    }
    sink_.searchComplete();
    sizeColumns();
    out_.completed = true;
    return out_;
}

} // namespace

SearchOutcome DoSearch(const SearchInput& input, SearchSink& sink) {
    Search search(input, sink);
    return search.run();
}

} // namespace kvx::report
