// Batch settings files (.kvx): every choice a report needs, in one "KORVANEX" section, so that a
// report built once can be loaded again or run unattended. The window turns its controls into a
// BatchSettings and back; this file knows the keys, their order and their defaults.
//
// Keys, in the order a save writes them (the spellings are the format's, typing errors included):
//   TreeName, Context1..ContextN, ContextCount, classtype, txtSearchFilter (only when there is a
//   filter), chkOutputWindow, chkOutputFile,
//   chkHideEmptyColumns, txtOutputFilename, txtOutputSeparator, chkOutputEncloseQuotes,
//   chkOutputColumnHeaders, chkOutputChanges (only when set), optResultsTabular,
//   optResultsTabularCross, optResultsNonTabular, cboAttributesMulti, AttributeCount, then per
//   selected row i (from 0): lvwSelectedeAttributes<i>, lvwSelectedeAttributesSingle<i>,
//   lvwSelectedeAttributesSyntax<i>.
// Flags are written as 1 and 0; on reading any whole number other than 0 counts as set.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kvx::settings {

// The section every key of a batch settings file lives in.
inline constexpr const char* kBatchSection = "KORVANEX";

// More rows than this are never restored from one file, whatever its "AttributeCount" says; no
// directory class has nearly as many attributes. Every row a file actually holds below it is kept.
inline constexpr std::int32_t kMaxBatchAttributeRows = 10000;

struct SelectedAttributeRow {
    std::string name;
    std::string singleMulti; // "Single" or "Multi"
    std::string syntax;      // the syntax name, such as "CI_String"

    bool operator==(const SelectedAttributeRow&) const = default;
};

struct BatchSettings {
    std::string treeName;
    // The starting container, its own name first and its top-level container last (Context1,
    // Context2, ...); one empty piece stands for "[root]". No value: nothing was selected, and
    // a save then writes "TreeName" alone.
    //
    // On reading: the pieces of the Context keys the file holds with numbers 1 to "ContextCount",
    // lowest number first (a key that is absent names no container, so it is left out); when
    // "ContextCount" is below 1, the one key Context<count>, if present.
    std::optional<std::vector<std::string>> startingPoint;
    std::string className;
    // The search filter of the Select Criteria page (key "txtSearchFilter", written after
    // "classtype" and only when there is one): absent or empty, no filter.
    std::string searchFilter;
    bool outputWindow = false;
    bool outputFile = false;
    bool hideEmptyColumns = false;
    std::string outputFileName;
    std::string outputSeparator;
    bool encloseQuotes = false;
    bool columnHeaders = false;
    // Also write the changes since the previous completed run (key "chkOutputChanges", written
    // only when set, so a file without it reads as before).
    bool outputChanges = false;
    bool tabular = false;
    bool tabularCross = false;
    bool nonTabular = false;
    std::int32_t expandedAttribute = 0; // index into the "Multi" rows; -1 when none is chosen
    std::vector<SelectedAttributeRow> attributes;

    bool operator==(const BatchSettings&) const = default;
};

// Where the batch settings file `name` (as the command line or a dialog gives it) lies: a bare
// name (no folder part) in the current folder when a readable file of that name is there, else
// the file the profile location rule chooses. No value when that is not a readable file.
std::optional<std::string> locateBatchSettingsFile(const std::string& name);

// Reads every key of `path` (located by the profile location rule) with the profile routines,
// each absent key taking its default: empty texts, cleared flags, expanded index 0, no rows.
// "AttributeCount" rows are restored even where the file lacks their keys (as empty rows), up to
// kMaxBatchAttributeRows. Never fails: a missing or damaged file gives the defaults.
BatchSettings readBatchSettings(const std::string& path);

enum class BatchWriteResult {
    Written,         // every key written
    NoStartingPoint, // the file holds "TreeName" alone: no starting point was selected
};

// Removes the file first, so that it holds exactly the keys of this save, then writes the keys in
// the format's order, each with its own profile call. Throws ProfileWriteError when the file
// cannot be written; the keys written before the failure stay written.
BatchWriteResult writeBatchSettings(const std::string& path, const BatchSettings& settings);

// The key of one Context piece, of a row's name, "Single"/"Multi" and syntax columns.
std::string contextKey(std::int32_t k);
std::string attributeNameKey(std::int32_t row);
std::string attributeSingleKey(std::int32_t row);
std::string attributeSyntaxKey(std::int32_t row);

} // namespace kvx::settings
