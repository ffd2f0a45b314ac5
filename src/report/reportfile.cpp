#include "report/reportfile.h"

#include "report/workbook.h"
#include "report/writerthread.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace kvx::report {

namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c + 32) : c; };
               return lower(x) == lower(y);
           });
}

// Delimited text: the header line and result lines of outputline.h, through OutputFile.
class DelimitedWriter : public TableWriter {
public:
    explicit DelimitedWriter(const FileLayout& layout) : layout_(layout) {}
    bool open(const std::string& path) { return file_.open(path); }

    void columns(const std::vector<OutputColumn>& columns) override {
        if (!layout_.headers)
            return;
        std::string line;
        for (std::size_t i = 0; i < columns.size(); ++i) {
            if (i > 0)
                line += layout_.separator;
            AppendDelimitedField(line, columns[i].caption, layout_.separator, false);
        }
        line += "\r\n";
        file_.write(line);
    }
    void row(std::span<const std::string> cells) override {
        file_.writeRow(cells, layout_.separator, layout_.quote);
    }
    bool close() override { return file_.close(); }

private:
    FileLayout layout_;
    OutputFile file_;
};

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string baseOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The file mode a new file gets from the process's umask.
mode_t newFileMode() {
    const mode_t mask = ::umask(022);
    ::umask(mask);
    return 0666 & ~mask;
}

} // namespace

CellKind CellKindOfSyntax(std::string_view syntaxName) {
    for (const char* name : {"Integer", "Counter", "Interval"}) {
        if (equalsIgnoringCase(syntaxName, name))
            return CellKind::Number;
    }
    if (equalsIgnoringCase(syntaxName, "Time") || equalsIgnoringCase(syntaxName, "Timestamp"))
        return CellKind::DateTime;
    if (equalsIgnoringCase(syntaxName, "Boolean"))
        return CellKind::Boolean;
    return CellKind::Text;
}

std::vector<OutputColumn> ReportColumns(ReportMode mode,
                                        std::span<const ReportAttribute> attributes) {
    std::vector<OutputColumn> columns{{"Object", CellKind::Text}};
    if (mode == ReportMode::NonTabular) {
        columns.push_back({"Attribute", CellKind::Text});
        columns.push_back({"Value", CellKind::Text, 1, {attributes.begin(), attributes.end()}});
    } else {
        for (const ReportAttribute& attribute : attributes) {
            columns.push_back({attribute.caption, attribute.kind});
        }
    }
    return columns;
}

FileForm FileFormOfName(std::string_view name) {
    constexpr std::string_view ext = ".xlsx";
    return name.size() > ext.size() &&
                   equalsIgnoringCase(name.substr(name.size() - ext.size()), ext)
               ? FileForm::Workbook
               : FileForm::Delimited;
}

std::unique_ptr<TableWriter> OpenTableWriter(const std::string& path, FileForm form,
                                             const FileLayout& layout) {
    if (form == FileForm::Workbook) {
        // Writing a workbook's cells takes longer than finding and rendering them: it goes on
        // beside the search.
        return WriteOnThread(OpenWorkbookWriter(path, folderOf(path), layout));
    }
    auto writer = std::make_unique<DelimitedWriter>(layout);
    if (!writer->open(path))
        return nullptr;
    return writer;
}

ReportFile::ReportFile(std::string target, FileLayout layout)
    : target_(std::move(target)), layout_(std::move(layout)), form_(FileFormOfName(target_)) {}

ReportFile::~ReportFile() {
    if (outcome_ == Outcome::Open && writer_)
        end(RunEnd::Failed); // an error left the run: nothing half-written takes the target
}

std::string ReportFile::partialName() const {
    return direct_ ? target_ : target_ + ".partial";
}

bool ReportFile::open() {
    if (target_.empty() || target_.find('\0') != std::string::npos || target_.back() == '/')
        return false;
    struct stat st {};
    if (::lstat(target_.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        // The report a link names is replaced, not the link.
        std::error_code error;
        const std::filesystem::path real = std::filesystem::canonical(target_, error);
        if (!error)
            target_ = real.string();
    }
    if (::stat(target_.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return false;
        if (!S_ISREG(st.st_mode)) { // a device or a pipe: written as it is
            return openDirect();
        }
        if (::access(target_.c_str(), W_OK) != 0)
            return false; // a report the user may not overwrite stays as it is
    }
    // A name of our own in the target's folder, so that the rename at the end stays on one file
    // system; hidden, as it lives only as long as the run.
    std::string pattern = folderOf(target_) + "/." + baseOf(target_) + ".XXXXXX";
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0) {
        // A folder the user may not write but a report there that they may: written in place,
        // as nothing else can be.
        return ::stat(target_.c_str(), &st) == 0 && openDirect();
    }
    ::close(fd);
    writePath_ = pattern;
    writer_ = OpenTableWriter(writePath_, form_, layout_);
    if (!writer_) {
        ::unlink(writePath_.c_str());
        return false;
    }
    return true;
}

bool ReportFile::openDirect() {
    direct_ = true;
    writePath_ = target_;
    writer_ = OpenTableWriter(writePath_, form_, layout_);
    return writer_ != nullptr;
}

void ReportFile::columns(const std::vector<OutputColumn>& columns) {
    if (writer_ && outcome_ == Outcome::Open)
        writer_->columns(columns);
}

void ReportFile::row(std::span<const std::string> cells) {
    if (writer_ && outcome_ == Outcome::Open)
        writer_->row(cells);
}

void ReportFile::end(RunEnd how) {
    if (outcome_ != Outcome::Open || !writer_)
        return;
    finish(how == RunEnd::Completed);
}

void ReportFile::finish(bool complete) {
    const bool whole = writer_->close();
    sheets_ = writer_->sheets();
    shortened_ = writer_->shortenedCells();
    const FileForm form = form_;
    writer_.reset();
    if (direct_) {
        outcome_ = !whole ? Outcome::WriteFailed : complete ? Outcome::Written : Outcome::Partial;
        partialKept_ = outcome_ == Outcome::Partial;
        return;
    }
    // The kept file gets the mode of the report it replaces, or that of any new file.
    struct stat st {};
    const mode_t mode = ::stat(target_.c_str(), &st) == 0 ? (st.st_mode & 07777) : newFileMode();
    ::chmod(writePath_.c_str(), mode);
    if (whole && complete && ::rename(writePath_.c_str(), target_.c_str()) == 0) {
        outcome_ = Outcome::Written;
        ::unlink(partialName().c_str()); // the rows of an earlier run that did not complete
        return;
    }
    outcome_ = whole && !complete ? Outcome::Partial : Outcome::WriteFailed;
    // Delimited text cut short still holds every line written; a workbook that could not be
    // finished is no workbook, and is not kept.
    if ((whole || form == FileForm::Delimited) &&
        ::rename(writePath_.c_str(), partialName().c_str()) == 0) {
        partialKept_ = true;
        return;
    }
    ::unlink(writePath_.c_str());
}

} // namespace kvx::report
