// Helpers every test program may use: temporary folders, whole-file reads and writes, text split
// into lines, small LDIF trees written one entry a line, and unattended runs of the program.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace kvx::test {

// A folder of its own, made fresh under the temporary folder, removed with all it holds.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// The whole content of a file as bytes (empty when it cannot be read).
std::string slurp(const std::filesystem::path& path);
void spit(const std::filesystem::path& path, const std::string& bytes);

// The lines of a text, each without its "\r\n" or "\n".
std::vector<std::string> lines(const std::string& text);

// One LDIF record: "dn: <dn>", "objectClass: top", one line per class of `classes` (blank
// separated), the naming attribute of the first RDN, then `more` (lines, each ending in "\n").
std::string entry(const std::string& dn, const std::string& classes, const std::string& more = {});
// A container record whose class follows from its naming attribute (o, ou, c or l).
std::string container(const std::string& dn);
// Records joined by blank lines, after "version: 1" when `versioned`.
std::string ldif(const std::vector<std::string>& records, bool versioned = false);

// An unattended run of the program as a scheduled job runs it: `exe /settings=<kvx> /autorun
// /autoclose` in `folder`, with no display, a home folder of its own (folder/home), the client
// configuration `clientConf` and standard error to folder/stderr.txt. `whileRunning` is called
// every 20 ms while the program runs (it may signal it); one that runs past `limit` is killed.
struct HeadlessRun {
    bool finished = false;
    int status = -1; // the exit status (-1: ended by a signal)
    std::string err; // what it wrote to standard error
};
HeadlessRun runHeadless(const std::string& exe, const std::filesystem::path& folder,
                        const std::filesystem::path& kvx, const std::filesystem::path& clientConf,
                        std::chrono::seconds limit,
                        const std::function<void(pid_t)>& whileRunning = {});

// A workbook read back by real spreadsheet programs. workbookSheetsAsCsv: each sheet as
// LibreOffice's headless converter writes it as CSV (UTF-8, comma, quotes where needed, "\n"
// line ends), in sheet order. workbookCells: what openpyxl reads, one line a sheet, column width
// and cell (tests/common/workbook_cells.py says how). A program that is missing or fails gives a
// text starting "<cannot read", so that the test fails.
std::vector<std::string> workbookSheetsAsCsv(const std::filesystem::path& xlsx);
std::string workbookCells(const std::filesystem::path& xlsx);

} // namespace kvx::test
