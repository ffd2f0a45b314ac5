// The workbook form of a report file: an Office Open XML workbook written with libxlsxwriter in
// its constant-memory mode, which writes row by row, so a million rows take no more memory than
// one. Cells are typed by the kind of their column; text is always a text cell, never a formula.
#include "report/workbook.h"

#include "report/datetime.h"

#include <QDate>

#include <dlfcn.h>
#include <minizip/zip.h>
#include <xlsxwriter.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <list>
#include <vector>

// libxlsxwriter compresses each part of a workbook at zlib's default level, and the sheet of a
// million-row report is some 400 MB of XML: at that level compressing it takes longer than the
// whole text report, for a file only a sixth smaller than at zlib's fastest level. The library
// has no setting for it, so the call through which it opens each part of the file is defined
// here and passed on to minizip's own (the next definition of the name) with the fastest level.
// Were the library ever to reach minizip past this definition, workbooks would still be written
// whole, only more slowly; the report file's tests read the level back from the entries' flags.
extern "C" int zipOpenNewFileInZip4_64(zipFile file, const char* filename,
                                       const zip_fileinfo* zipfi, const void* extrafield_local,
                                       uInt size_extrafield_local, const void* extrafield_global,
                                       uInt size_extrafield_global, const char* comment, int method,
                                       int level, int raw, int windowBits, int memLevel,
                                       int strategy, const char* password, uLong crcForCrypting,
                                       uLong versionMadeBy, uLong flagBase, int zip64) {
    using Open = decltype(&zipOpenNewFileInZip4_64);
    static const auto next = reinterpret_cast<Open>(dlsym(RTLD_NEXT, "zipOpenNewFileInZip4_64"));
    if (next == nullptr || next == &zipOpenNewFileInZip4_64) {
        return ZIP_INTERNALERROR;
    }
    if (method == Z_DEFLATED && level != Z_NO_COMPRESSION) {
        level = Z_BEST_SPEED;
    }
    return next(file, filename, zipfi, extrafield_local, size_extrafield_local, extrafield_global,
                size_extrafield_global, comment, method, level, raw, windowBits, memLevel, strategy,
                password, crcForCrypting, versionMadeBy, flagBase, zip64);
}

namespace kvx::report {

namespace {

// Rows whose texts set the column widths, after the header.
constexpr std::size_t kWidthRows = 100;
constexpr double kMinWidth = 8;
constexpr double kMaxWidth = 60;
constexpr double kDateWidth = 20;              // "yyyy-mm-dd hh:mm:ss" and a little room
constexpr std::size_t kCellCharacters = 32767; // what a spreadsheet cell holds
constexpr std::size_t kScratchBuffer = 1 << 20;

std::size_t characters(std::string_view text) {
    std::size_t n = 0;
    for (char c : text) {
        n += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
    }
    return n;
}

// The first `most` characters of UTF-8 text.
std::string_view firstCharacters(std::string_view text, std::size_t most) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && n++ == most) {
            return text.substr(0, i);
        }
    }
    return text;
}

// A whole number a spreadsheet keeps exactly: at most 15 significant digits.
bool readWholeNumber(std::string_view text, double* value) {
    std::size_t i = text.size() > 1 && text[0] == '-' ? 1 : 0;
    if (i == text.size()) {
        return false;
    }
    std::size_t significant = 0;
    std::int64_t whole = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
        if (significant > 0 || text[i] != '0') {
            if (++significant > 15) {
                return false;
            }
        }
        whole = whole * 10 + (text[i] - '0');
    }
    *value = static_cast<double>(text[0] == '-' ? -whole : whole);
    return true;
}

// The local date and time a Time cell shows, read back with the formats that wrote it; false for
// a text that is not one, or a date before 1900-03-01, which spreadsheet dates do not reach.
bool readDateTime(const DirectoryTimeFormat& format, std::string_view text, lxw_datetime* out) {
    std::int64_t key = 0;
    if (!format.read(text, &key) || key < 0) {
        return false;
    }
    const QDate date = QDate::fromJulianDay(key / 86400);
    if (!date.isValid() || date < QDate(1900, 3, 1) || date.year() > 9999) {
        return false;
    }
    const auto seconds = static_cast<int>(key % 86400);
    *out = lxw_datetime{date.year(),    date.month(),      date.day(),
                        seconds / 3600, seconds / 60 % 60, static_cast<double>(seconds % 60)};
    return true;
}

class WorkbookWriter : public TableWriter {
public:
    explicit WorkbookWriter(const FileLayout& layout)
        : layout_(layout), timeFormat_(DirectoryTimeFormat::system()),
          sheetRows_(layout.sheetRows == 0 ? LXW_ROW_MAX
                                           : std::min<std::size_t>(layout.sheetRows, LXW_ROW_MAX)) {
        // A sheet holds the header and at least one row.
        sheetRows_ = std::max<std::size_t>(sheetRows_, layout_.headers ? 2 : 1);
    }
    ~WorkbookWriter() override {
        if (book_ != nullptr) {
            workbook_close(book_);
        }
    }
    WorkbookWriter(const WorkbookWriter&) = delete;
    WorkbookWriter& operator=(const WorkbookWriter&) = delete;

    bool open(const std::string& path, const std::string& scratchFolder) {
        scratch_ = scratchFolder;
        lxw_workbook_options options{};
        options.constant_memory = LXW_TRUE;
        // The rows wait in scratch files until the end: beside the report, not in a /tmp that
        // may live in memory.
        options.tmpdir = scratch_.data();
        options.use_zip64 = LXW_TRUE; // a sheet of a million long rows passes 4 GB
        book_ = workbook_new_opt(path.c_str(), &options);
        if (book_ == nullptr) {
            return false;
        }
        bold_ = workbook_add_format(book_);
        format_set_bold(bold_);
        dateTime_ = workbook_add_format(book_);
        format_set_num_format(dateTime_, "yyyy-mm-dd hh:mm:ss");
        return bold_ != nullptr && dateTime_ != nullptr;
    }

    void columns(const std::vector<OutputColumn>& columns) override {
        columns_ = columns;
        widths_.assign(columns_.size(), kMinWidth);
        for (std::size_t c = 0; c < columns_.size(); ++c) {
            if (layout_.headers) {
                widen(c, characters(columns_[c].caption) + 4); // room for the filter button
            }
            if (columns_[c].kind == CellKind::DateTime) {
                widen(c, kDateWidth);
            }
        }
        newSheet();
    }

    void row(std::span<const std::string> cells) override {
        if (sheet_ == nullptr) {
            newSheet();
        }
        if (rowInSheet_ >= sheetRows_) {
            endSheet();
            newSheet();
        }
        const auto r = static_cast<lxw_row_t>(rowInSheet_);
        const bool measure = rowsWritten_ < kWidthRows;
        for (std::size_t c = 0; c < cells.size(); ++c) {
            const std::string& text = cells[c];
            if (text.empty()) {
                continue;
            }
            const CellKind kind = c < columns_.size() ? kindOf(columns_[c], cells) : CellKind::Text;
            write(r, static_cast<lxw_col_t>(c), kind, text);
            if (measure && c < widths_.size()) {
                widen(c, static_cast<double>(characters(text)) + 2);
            }
        }
        if (cells.size() > widestRow_) {
            widestRow_ = cells.size();
        }
        ++rowInSheet_;
        ++rowsWritten_;
    }

    bool close() override {
        if (book_ == nullptr) {
            return false;
        }
        if (sheet_ == nullptr) {
            newSheet(); // a workbook has at least one sheet
        }
        endSheet();
        const lxw_error error = workbook_close(book_);
        book_ = nullptr;
        return error == LXW_NO_ERROR && !failed_;
    }

    int sheets() const override { return sheets_; }
    std::size_t shortenedCells() const override { return shortened_; }

private:
    // The kind of a column's cell in this row.
    static CellKind kindOf(const OutputColumn& column, std::span<const std::string> cells) {
        if (column.kindFromColumn < 0) {
            return column.kind;
        }
        const auto from = static_cast<std::size_t>(column.kindFromColumn);
        for (const ReportAttribute& attribute : column.attributes) {
            if (from < cells.size() && attribute.caption == cells[from]) {
                return attribute.kind;
            }
        }
        return column.kind;
    }

    void widen(std::size_t column, double width) {
        widths_[column] = std::min(kMaxWidth, std::max(widths_[column], width));
    }

    void newSheet() {
        sheet_ = workbook_add_worksheet(book_, nullptr);
        if (sheet_ == nullptr) {
            failed_ = true;
            return;
        }
        ++sheets_;
        rowInSheet_ = 0;
        // The sheet's rows go to its scratch file a few dozen bytes at a time and are read back
        // whole at the end: through stdio's 4 KB buffer that is some 200,000 system calls for a
        // million rows. The buffers live until the workbook is closed, which reads the file back.
        if (sheet_->optimize_tmpfile != nullptr) {
            buffers_.emplace_back(kScratchBuffer);
            std::setvbuf(sheet_->optimize_tmpfile, buffers_.back().data(), _IOFBF,
                         buffers_.back().size());
        }
        if (!layout_.headers) {
            return;
        }
        for (std::size_t c = 0; c < columns_.size(); ++c) {
            writeText(0, static_cast<lxw_col_t>(c), columns_[c].caption, bold_);
        }
        worksheet_freeze_panes(sheet_, 1, 0);
        rowInSheet_ = 1;
    }

    // Widths, known once the first rows are written, and the filter over the header and rows.
    void endSheet() {
        if (sheet_ == nullptr) {
            return;
        }
        for (std::size_t c = 0; c < widths_.size(); ++c) {
            const auto col = static_cast<lxw_col_t>(c);
            worksheet_set_column(sheet_, col, col, widths_[c], nullptr);
        }
        if (layout_.headers && !columns_.empty()) {
            const std::size_t last = std::max(columns_.size(), widestRow_) - 1;
            worksheet_autofilter(sheet_, 0, 0, static_cast<lxw_row_t>(rowInSheet_ - 1),
                                 static_cast<lxw_col_t>(last));
        }
        sheet_ = nullptr;
    }

    void write(lxw_row_t r, lxw_col_t c, CellKind kind, const std::string& text) {
        switch (kind) {
        case CellKind::Number: {
            double value = 0;
            if (readWholeNumber(text, &value)) {
                worksheet_write_number(sheet_, r, c, value, nullptr);
                return;
            }
            break;
        }
        case CellKind::DateTime: {
            lxw_datetime when{};
            if (readDateTime(timeFormat_, text, &when)) {
                worksheet_write_datetime(sheet_, r, c, &when, dateTime_);
                return;
            }
            break;
        }
        case CellKind::Boolean:
            if (text == "TRUE" || text == "FALSE") {
                worksheet_write_boolean(sheet_, r, c, text == "TRUE", nullptr);
                return;
            }
            break;
        case CellKind::Text:
            break;
        }
        writeText(r, c, text, nullptr);
    }

    // Always a text cell: a value that starts with "=", "+", "-" or "@" stays the text it is.
    void writeText(lxw_row_t r, lxw_col_t c, std::string_view text, lxw_format* format) {
        line_.assign(text);
        if (text.size() > kCellCharacters && characters(text) > kCellCharacters) {
            line_.assign(firstCharacters(text, kCellCharacters));
            ++shortened_;
        }
        worksheet_write_string(sheet_, r, c, line_.c_str(), format);
    }

    FileLayout layout_;
    // The formats the report's times were written with, taken once: the rows may be written on
    // another thread, and looking the system locale up for every cell costs more than reading it.
    DirectoryTimeFormat timeFormat_;
    std::size_t sheetRows_;
    std::string scratch_;
    lxw_workbook* book_ = nullptr;
    lxw_worksheet* sheet_ = nullptr;
    lxw_format* bold_ = nullptr;
    lxw_format* dateTime_ = nullptr;
    std::vector<OutputColumn> columns_;
    std::vector<double> widths_;
    std::size_t rowInSheet_ = 0;
    std::size_t rowsWritten_ = 0;
    std::size_t widestRow_ = 0;
    int sheets_ = 0;
    std::size_t shortened_ = 0;
    bool failed_ = false;
    std::string line_;
    std::list<std::vector<char>> buffers_;
};

} // namespace

std::unique_ptr<TableWriter> OpenWorkbookWriter(const std::string& path,
                                                const std::string& scratchFolder,
                                                const FileLayout& layout) {
    auto writer = std::make_unique<WorkbookWriter>(layout);
    if (!writer->open(path, scratchFolder)) {
        return nullptr;
    }
    return writer;
}

} // namespace kvx::report
