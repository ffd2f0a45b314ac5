// Where the rows of a report run go besides the results list: sinks, each told the columns, every
// row and how the run ended; and the report file, the sink that writes a table to disk.
//
// A run produces its rows once; every consumer of them is a sink of its own. The report file is
// one such sink: it writes to a temporary file beside its target and puts it in the target's
// place only when the run completed, so a run that failed, was cancelled or was stopped never
// replaces the last good report. The rows such a run found are kept in `<target>.partial`.
//
// Writing a table (columns, then rows) to one file of either form is a piece of its own
// (TableWriter), for any sink that writes a file of the same form as the report.
#pragma once

#include "report/outputline.h"

#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kvx::report {

// How a run ended, as a sink is told at the end.
enum class RunEnd {
    Completed, // the search went to its end
    Failed,    // a directory call failed or an error ended the run
    Cancelled, // the user cancelled
    Stopped,   // a stop signal (SIGINT, SIGTERM) ended the run
};

// What a column's values are, by the syntax of its attribute: what a typed file (a workbook)
// makes of them. Delimited text writes every kind as it is rendered.
enum class CellKind { Text, Number, DateTime, Boolean };

// The kind of the values of an attribute of syntax `syntaxName` ("Integer", "Time", ...):
// whole numbers (Integer, Counter, Interval), date and time (Time, Timestamp), Boolean; else text.
CellKind CellKindOfSyntax(std::string_view syntaxName);

// An attribute of the report as the file needs it: its caption and the kind of its values.
struct ReportAttribute {
    std::string caption;
    CellKind kind = CellKind::Text;
};

struct OutputColumn {
    std::string caption;
    CellKind kind = CellKind::Text;
    // A column of values of several attributes (Non Tabular's Value): each value has the kind of
    // the attribute that its row names in column `kindFromColumn`; -1 when the column has one kind.
    int kindFromColumn = -1;
    std::vector<ReportAttribute> attributes{};
};

// The columns of a report file in `mode`: "Object", "Attribute", "Value" for Non Tabular (the
// values typed by their attribute), else "Object" and one column per attribute (Tabular Cross
// has the Tabular columns).
std::vector<OutputColumn> ReportColumns(ReportMode mode,
                                        std::span<const ReportAttribute> attributes);

// A consumer of a run's rows, with its own life: told the columns once, then every row (text 0
// is the object's name), then how the run ended. No row comes after the end.
class ReportSink {
public:
    virtual ~ReportSink() = default;
    virtual void columns(const std::vector<OutputColumn>& columns) = 0;
    virtual void row(std::span<const std::string> cells) = 0;
    virtual void end(RunEnd how) = 0;
};

// The two forms of a report file, chosen by the file's name.
enum class FileForm { Delimited, Workbook };

// Workbook for a name ending in ".xlsx" (any case), else delimited text.
FileForm FileFormOfName(std::string_view name);

struct FileLayout {
    std::string separator{}; // delimited text only
    bool quote = false;      // delimited text only
    bool headers = true;     // a header line (a bold, frozen, filtered first row in a workbook)
    std::size_t sheetRows{}; // workbook: rows a sheet holds, header included; 0: as many as a
                             // spreadsheet program can read (1,048,576)
};

// Writes one table to one file: the header line when asked for, then the rows, in the file's
// form. Writes never throw; a failure is remembered and reported by close().
class TableWriter {
public:
    virtual ~TableWriter() = default;
    virtual void columns(const std::vector<OutputColumn>& columns) = 0;
    virtual void row(std::span<const std::string> cells) = 0;
    // Finishes the file. False when anything could not be written (the file is then not whole).
    virtual bool close() = 0;
    // Sheets written (a workbook continues on a further sheet when one is full); 1 for text.
    virtual int sheets() const { return 1; }
    // Cells that had to be shortened to fit the form (a workbook cell holds 32,767 characters).
    virtual std::size_t shortenedCells() const { return 0; }
};

// A writer of `form` that creates or empties `path`; nullptr when it cannot.
std::unique_ptr<TableWriter> OpenTableWriter(const std::string& path, FileForm form,
                                             const FileLayout& layout);

// The report file sink: the table goes to a temporary file beside `target`, renamed onto the
// target at a completed end, else onto `<target>.partial`. A target that is not a regular file
// (a device, a pipe) is written directly, as there is nothing to keep there; so is a report in
// a folder where no other file can be made.
class ReportFile : public ReportSink {
public:
    ReportFile(std::string target, FileLayout layout);
    ~ReportFile() override;
    ReportFile(const ReportFile&) = delete;
    ReportFile& operator=(const ReportFile&) = delete;

    // False when the file cannot be written: an empty name, a missing folder, a target or
    // folder the user may not write.
    bool open();

    void columns(const std::vector<OutputColumn>& columns) override;
    void row(std::span<const std::string> cells) override;
    void end(RunEnd how) override;

    enum class Outcome {
        Open,    // not ended yet
        Written, // complete, in the target's place
        Partial, // the run did not complete: its rows are in partialName(), the target as it was
        WriteFailed, // the file could not be written whole (disk full, ...): what was written is in
                     // partialName() if anything could be kept, the target as it was
    };
    Outcome outcome() const { return outcome_; }
    const std::string& target() const { return target_; }
    // `<target>.partial`, or the target itself when it is written directly.
    std::string partialName() const;
    // True when partialName() exists after the end (what was found or written is there).
    bool partialKept() const { return partialKept_; }
    int sheets() const { return sheets_; }
    std::size_t shortenedCells() const { return shortened_; }
    FileForm form() const { return form_; }

private:
    bool openDirect();
    void finish(bool complete);

    std::string target_;
    FileLayout layout_;
    FileForm form_;
    std::string writePath_; // the temporary file, or the target when written directly
    bool direct_ = false;
    std::unique_ptr<TableWriter> writer_;
    Outcome outcome_ = Outcome::Open;
    bool partialKept_ = false;
    int sheets_ = 0;
    std::size_t shortened_ = 0;
};

} // namespace kvx::report
