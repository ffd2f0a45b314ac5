// The directory search of a report run: asks the client for every object of a class below a
// container and turns each object into result rows in one of the three report modes.
//
// The search is widget-free: the window hands it a SearchSink that receives the status texts,
// the failure messages, the columns, every row and the sizing of the columns at the end.
#pragma once

#include "directory/client/nwdsclient.h"
#include "report/outputline.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kvx::report {

using kvx::ReportMode;

// A column chosen like an attribute that every object has: its full LDAP DN
// ("cn=Ann Lee,ou=Sales,dc=example,dc=com"), from the name the directory hands out.
inline constexpr const char* kDistinguishedNameColumn = "Distinguished Name";

struct SelectedAttribute {
    std::string name; // the row's caption; the search requests the attribute under this name
    int sortKind = 0; // 0 text, 1 whole number, 2 date and time
};

struct SearchInput {
    NWDSContextHandle context = 0;
    std::string base;        // full name of the starting container, "" for the root
    std::string objectClass; // the class to search for
    std::vector<SelectedAttribute> attributes;
    ReportMode mode = ReportMode::Tabular;
    std::string expandedAttribute; // Tabular Cross: the attribute spread one value per row
    bool hideEmptyColumns = true;
    // Further condition in search filter text form (directory/client/searchfilter.h), combined
    // with the class: only objects matching both are reported. Empty: none. The caller has
    // checked that it reads.
    std::string searchFilter;
};

struct SearchColumn {
    std::string caption;
    int sortKind = 0;
};

using ResultRow = std::vector<std::string>;

class SearchSink {
public:
    virtual ~SearchSink() = default;
    // Text for the first status bar panel; the panel is to be repainted at once.
    virtual void status(const std::string& text) = 0;
    // A failed client call: the call's name and its return code.
    virtual void failure(const std::string& callName, NWDSCCODE code) = 0;
    // Removes every row of the results list.
    virtual void clearRows() = 0;
    // Replaces the columns of the results list (each starts at the default width).
    virtual void setColumns(const std::vector<SearchColumn>& columns) = 0;
    // One result row: text 0 is the object's name, text k belongs to column k.
    virtual void row(const ResultRow& cells) = 0;
    // The last batch has been read: the whole window may be repainted.
    virtual void searchComplete() = 0;
    // Column sizing at the end: fit the column to its header and cells, or hide it (width 0).
    virtual void fitColumn(int column) = 0;
    virtual void hideColumn(int column) = 0;
    // Asked after every entry read, with the objects found so far: false stops the search
    // there (a user's cancel, a signal). The rows handed out so far stay; the object still
    // pending gives no row, and the columns are not sized. Where the window lets the user act
    // during a run.
    virtual bool proceed(std::int32_t objectsFound) {
        (void)objectsFound;
        return true;
    }
};

struct SearchOutcome {
    bool completed = false; // false when a client call failed or the search was stopped
    bool cancelled = false; // stopped because the sink's proceed() said so
    std::int32_t iterations = 0;
    // Objects in the report, each once however many entries the client split it into: those
    // given at least one row.
    std::int32_t objects = 0;
    std::int32_t values = 0;
    std::vector<bool> filled; // per column, Tabular and Tabular Cross
};

// Runs the whole search. Buffers and the filter are released on every way out; after a failure
// no further row is handed out. When a search call fails (the server ended the search: a size
// or time limit, a server gone), every object read before it is in the report; after any other
// failure the object still pending is dropped, as its entry was read only in part.
SearchOutcome DoSearch(const SearchInput& input, SearchSink& sink);

// Names of attributes, classes and objects match without regard to the case of a to z.
bool sameNameIgnoringCase(const std::string& a, const std::string& b);

} // namespace kvx::report
