// Change reports: what changed in a report since its previous completed run.
//
// A ChangeRecorder takes the rows of a run as they come, keeps one compact record per object,
// and once the run has completed compares them with the baseline the previous completed run
// left, hands out one change row per change and replaces the baseline with this run's. A run
// that did not complete never reaches finish(), so the baseline stays as it was.
//
// Change rows have the five columns of ChangeHeader(): "Added" or "Removed" with the object's
// name alone; "Changed" with the object, the attribute (its column's caption) and the old and the
// new value. A single column (every column of a Tabular report, the columns a Tabular Cross
// report does not expand, a Non Tabular attribute whose row says "Single") gives one row with
// both values when its value was replaced; in a multi-valued one each value removed and each
// value added is a row of its own with the other side empty. Objects match by their full name
// (letters a to z in any case); a renamed or moved object is removed and added. Only columns
// both runs have are compared.
//
// The baseline file (one per report, under BaselineFolder()) is written anew by every completed
// run, to a temporary name first and renamed over the old one. Its layout, version 1:
//
//   KORVANEX BASELINE 1\n
//   report\t<text>\n        what the baseline belongs to (settings file or window report)
//   tree\t<text>\n  base\t<text>\n  class\t<text>\n  mode\t<text>\n  expanded\t<text>\n
//   taken\t<seconds since 1970 UTC>\n
//   column\t<S|M>\t<caption>\n    one per column, in column order (S single, M multi-valued)
//   records\t<count>\t<bytes>\n
//   <count records, <bytes> bytes in all>
//   end\t<FNV-1a 64 of every byte before this line, 16 hex digits>\n
//
// Header texts escape a backslash, tab, carriage return and line feed as \\ \t \r \n. A record
// is a LEB128 length followed by that many bytes: the object's name (LEB128 length and UTF-8
// bytes), the number of values (LEB128), and each value as its column number (LEB128) and text
// (LEB128 length and bytes), ordered by column and then by text. Records are ordered by name
// (bytes, a to z read as A to Z), each name once. Nothing else is kept: the values shown, not
// the directory's entries. A file that breaks any of this is refused as damaged.
#pragma once

#include "report/outputline.h"
#include "report/reportfile.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kvx::report {

// What a baseline belongs to: a report must find the same in the baseline it compares with.
struct BaselineIdentity {
    std::string report; // "settings <absolute path>" or "window <...>"
    std::string tree;
    std::string base;
    std::string objectClass;
    std::string mode; // ReportModeName()
    std::string expanded;

    bool operator==(const BaselineIdentity&) const = default;
};

struct ChangeColumn {
    std::string caption;
    bool single = true;
};

const char* ReportModeName(ReportMode mode);

// The caption of the change file's columns.
std::span<const std::string> ChangeHeader();

// "users.csv" gives "users-changes.csv"; a name without extension gets "-changes" at its end.
std::string ChangeFileName(const std::string& outputFileName);

// $XDG_STATE_HOME/korvanex when XDG_STATE_HOME is an absolute path, else
// $HOME/.local/state/korvanex.
std::string BaselineFolder();
// The baseline file of a report: `label` (a settings file's name, "window") made safe for a file
// name, then a hash of the report's identity text, in BaselineFolder().
std::string BaselineFileFor(const std::string& label, const std::string& identityText);

struct ChangeSummary {
    bool compared = false;     // a baseline was read and compared with
    std::int64_t previous = 0; // when the compared baseline was taken (seconds since 1970 UTC)
    std::int64_t added = 0;
    std::int64_t removed = 0;
    std::int64_t changed = 0;             // Changed rows
    std::vector<std::string> newColumns;  // in this run, not in the baseline
    std::vector<std::string> goneColumns; // in the baseline, not in this run
    std::string refused;                  // why a baseline found was not used, "" when none
    bool baselineWritten = false;
    std::string baselineError; // why this run's baseline could not be written

    // "Compared with the run of <local yyyy-MM-dd HH:mm>: N added, N removed, N changed", or
    // "No previous run to compare with: this run is the baseline".
    std::string text() const;
    // Which columns were new or gone, "" when the columns were the same.
    std::string columnsText() const;
};

class ChangeRecorder {
public:
    // `columns` as the report shows them after "Object": the selected attributes (Tabular,
    // Tabular Cross) or the attributes a Non Tabular report lists (its rows name them).
    ChangeRecorder(BaselineIdentity identity, ReportMode mode, std::string expandedAttribute,
                   std::vector<ChangeColumn> columns);
    ~ChangeRecorder();
    ChangeRecorder(const ChangeRecorder&) = delete;
    ChangeRecorder& operator=(const ChangeRecorder&) = delete;

    // One row of the run, as the search hands it out.
    void row(std::span<const std::string> cells);

    // The run has completed: compares with the baseline at `baselinePath` (when there is a
    // usable one), hands every change row to `changeRow` in the order of the objects' names,
    // and writes this run's baseline, taken at `now`, in its place.
    using RowOut = std::function<void(std::span<const std::string>)>;
    ChangeSummary finish(const std::string& baselinePath, std::int64_t now,
                         const RowOut& changeRow);

private:
    struct Impl;
    std::unique_ptr<Impl> d_;
};

// The change recorder as a sink of a run: it records every row, and at a completed end compares,
// writes the change file (`<output>-changes.<ext>` in the output's form, separator and quoting,
// always with its header, put in place whole like any report file) and the new baseline. At any
// other end it does nothing: the baseline and the last change file stay as they were.
class ChangeSink : public ReportSink {
public:
    struct Setup {
        BaselineIdentity identity;
        ReportMode mode = ReportMode::Tabular;
        std::string expandedAttribute;
        std::vector<ChangeColumn> columns;
        std::string baselinePath;
        std::string changeFile; // "" when the run writes no file
        FileLayout layout;
        std::function<std::int64_t()> now; // seconds since 1970 UTC
        ChangeRecorder::RowOut alsoTo;     // every change row besides the file (may be empty)
    };

    explicit ChangeSink(Setup setup);
    ~ChangeSink() override;

    void columns(const std::vector<OutputColumn>& columns) override;
    void row(std::span<const std::string> cells) override;
    void end(RunEnd how) override;

    // After a completed end: what was compared. Null when the run did not complete.
    const ChangeSummary* summary() const { return recorded_ ? &summary_ : nullptr; }
    // After a completed end with a change file: false when it could not be written whole.
    bool changeFileWritten() const { return changeFileWritten_; }
    const std::string& changeFile() const { return setup_.changeFile; }
    const std::string& baselinePath() const { return setup_.baselinePath; }

private:
    Setup setup_;
    ChangeRecorder recorder_;
    ChangeSummary summary_;
    bool recorded_ = false;
    bool changeFileWritten_ = false;
};

} // namespace kvx::report
