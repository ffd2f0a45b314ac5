#include "report/changes.h"

#include "directory/client/names.h"

#include <QDateTime>
#include <QString>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

namespace kvx::report {

namespace {

constexpr std::string_view kMagic = "KORVANEX BASELINE 1";
// No header line of a sound baseline comes near this (they hold names and captions).
constexpr std::size_t kMaxHeaderLine = 1 << 24;

// ---- Encoding --------------------------------------------------------------------------------

void putVarint(std::string& out, std::uint64_t v) {
    while (v >= 0x80) {
        out += static_cast<char>(static_cast<unsigned char>(v) | 0x80);
        v >>= 7;
    }
    out += static_cast<char>(v);
}

std::size_t varintSize(std::uint64_t v) {
    std::size_t n = 1;
    while (v >= 0x80) {
        v >>= 7;
        ++n;
    }
    return n;
}

char* putVarint(char* out, std::uint64_t v) {
    while (v >= 0x80) {
        *out++ = static_cast<char>(static_cast<unsigned char>(v) | 0x80);
        v >>= 7;
    }
    *out++ = static_cast<char>(v);
    return out;
}

// Reads one varint from `in`, advancing it; false when it runs past the end or past 64 bits.
bool getVarint(std::string_view& in, std::uint64_t& v) {
    v = 0;
    for (unsigned shift = 0; shift < 64; shift += 7) {
        if (in.empty()) {
            return false;
        }
        const auto byte = static_cast<unsigned char>(in.front());
        in.remove_prefix(1);
        v |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
        if ((byte & 0x80) == 0) {
            return shift < 63 || byte <= 1;
        }
    }
    return false;
}

bool getText(std::string_view& in, std::string_view& text) {
    std::uint64_t size = 0;
    if (!getVarint(in, size) || size > in.size()) {
        return false;
    }
    text = in.substr(0, static_cast<std::size_t>(size));
    in.remove_prefix(static_cast<std::size_t>(size));
    return true;
}

std::uint64_t fnv1a(std::uint64_t hash, std::string_view bytes) {
    for (char c : bytes) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 0x100000001b3ULL;
    }
    return hash;
}
constexpr std::uint64_t kFnvStart = 0xcbf29ce484222325ULL;

// Names order by their bytes with a to z read as A to Z: the order in which objects that match
// by name (sameNameIgnoringCase) are neighbours.
int compareNames(std::string_view a, std::string_view b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        auto x = static_cast<unsigned char>(a[i]);
        auto y = static_cast<unsigned char>(b[i]);
        if (x >= 'a' && x <= 'z') {
            x = static_cast<unsigned char>(x - 32);
        }
        if (y >= 'a' && y <= 'z') {
            y = static_cast<unsigned char>(y - 32);
        }
        if (x != y) {
            return x < y ? -1 : 1;
        }
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

// Where a name sorts, for a quick first comparison: its first 16 bytes as compareNames reads
// them (a to z as A to Z), big-endian, padded with zero bytes. Keys that differ order their names;
// equal keys leave it to compareNames.
struct NameKey {
    std::uint64_t high = 0;
    std::uint64_t low = 0;
    const char* record = nullptr;

    explicit NameKey(std::string_view name, const char* at) : record(at) {
        for (std::size_t i = 0; i < 16; ++i) {
            auto c = i < name.size() ? static_cast<unsigned char>(name[i]) : 0;
            if (c >= 'a' && c <= 'z') {
                c = static_cast<unsigned char>(c - 32);
            }
            std::uint64_t& word = i < 8 ? high : low;
            word = (word << 8) | c;
        }
    }
    bool samePrefix(const NameKey& other) const { return high == other.high && low == other.low; }
};

// One object of a run: its name and its values, each with its column, ordered by column and text.
struct ObjectValues {
    std::string_view name;
    std::vector<std::pair<std::uint32_t, std::string_view>> values;
};

bool lessValue(const std::pair<std::uint32_t, std::string_view>& a,
               const std::pair<std::uint32_t, std::string_view>& b) {
    return a.first != b.first ? a.first < b.first : a.second < b.second;
}

// Decodes one record (its length prefix included) that must fill `record` exactly and name
// columns below `columns`.
bool decodeRecord(std::string_view record, std::size_t columns, ObjectValues& out) {
    std::uint64_t size = 0;
    if (!getVarint(record, size) || size != record.size()) {
        return false;
    }
    std::uint64_t count = 0;
    if (!getText(record, out.name) || !getVarint(record, count) || count > record.size()) {
        return false;
    }
    out.values.clear();
    out.values.reserve(static_cast<std::size_t>(count));
    for (std::uint64_t i = 0; i < count; ++i) {
        std::uint64_t column = 0;
        std::string_view text;
        if (!getVarint(record, column) || column >= columns || !getText(record, text)) {
            return false;
        }
        out.values.emplace_back(static_cast<std::uint32_t>(column), text);
        if (i > 0 && lessValue(out.values.back(), out.values[out.values.size() - 2])) {
            return false;
        }
    }
    return record.empty();
}

void encodeRecord(std::string& out, std::string_view name,
                  std::span<const std::pair<std::uint32_t, std::string_view>> values) {
    std::string payload;
    putVarint(payload, name.size());
    payload += name;
    putVarint(payload, values.size());
    for (const auto& [column, text] : values) {
        putVarint(payload, column);
        putVarint(payload, text.size());
        payload += text;
    }
    out.clear();
    putVarint(out, payload.size());
    out += payload;
}

std::string escapeHeader(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\n':
            out += "\\n";
            break;
        default:
            out += c;
        }
    }
    return out;
}

bool unescapeHeader(std::string_view text, std::string& out) {
    out.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\t' || text[i] == '\r') {
            return false;
        }
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (++i == text.size()) {
            return false;
        }
        switch (text[i]) {
        case '\\':
            out += '\\';
            break;
        case 't':
            out += '\t';
            break;
        case 'r':
            out += '\r';
            break;
        case 'n':
            out += '\n';
            break;
        default:
            return false;
        }
    }
    return true;
}

bool parseNumber(std::string_view text, std::uint64_t& value) {
    if (text.empty() || text.size() > 19) {
        return false;
    }
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return true;
}

// ---- Reading a baseline ----------------------------------------------------------------------

// Sequential reading of a file through one buffer that grows only for a record larger than it.
class FileReader {
public:
    explicit FileReader(const std::string& path) {
        do {
            fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        } while (fd_ < 0 && errno == EINTR);
        buffer_.resize(1 << 20);
    }
    ~FileReader() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;

    bool isOpen() const { return fd_ >= 0; }
    bool failed() const { return failed_; }

    // At least `need` bytes ahead (fewer only at the end of the file).
    void fill(std::size_t need) {
        if (end_ - pos_ >= need || eof_) {
            return;
        }
        if (pos_ > 0) {
            std::memmove(buffer_.data(), buffer_.data() + pos_, end_ - pos_);
            end_ -= pos_;
            pos_ = 0;
        }
        if (buffer_.size() < need) {
            buffer_.resize(need);
        }
        while (end_ < need && !eof_) {
            const ssize_t n = ::read(fd_, buffer_.data() + end_, buffer_.size() - end_);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                failed_ = n < 0;
                eof_ = true;
                break;
            }
            end_ += static_cast<std::size_t>(n);
        }
    }
    std::string_view ahead() const { return {buffer_.data() + pos_, end_ - pos_}; }
    void skip(std::size_t n) { pos_ += n; }

    bool line(std::string_view& text) {
        std::size_t scanned = 0;
        for (;;) {
            const std::string_view view = ahead();
            const std::size_t nl = view.find('\n', scanned);
            if (nl != std::string_view::npos) {
                text = view.substr(0, nl);
                hash_ = fnv1a(hash_, view.substr(0, nl + 1));
                skip(nl + 1);
                return true;
            }
            if (eof_ || view.size() >= kMaxHeaderLine) {
                return false;
            }
            scanned = view.size();
            fill(std::min(kMaxHeaderLine, std::max<std::size_t>(view.size() * 2, 4096)));
            if (ahead().size() == view.size()) {
                return false;
            }
        }
    }

    // FNV-1a of every line read so far, line ends included.
    std::uint64_t hash() const { return hash_; }

    bool atEnd() {
        fill(1);
        return ahead().empty();
    }

private:
    int fd_ = -1;
    std::vector<char> buffer_;
    std::size_t pos_ = 0;
    std::size_t end_ = 0;
    bool eof_ = false;
    bool failed_ = false;
    std::uint64_t hash_ = kFnvStart;
};

struct BaselineHeader {
    BaselineIdentity identity;
    std::int64_t taken = 0;
    std::vector<ChangeColumn> columns;
    std::uint64_t count = 0;
    std::uint64_t bytes = 0;
};

bool readHeaderField(FileReader& in, std::string_view key, std::string& value) {
    std::string_view line;
    if (!in.line(line) || line.substr(0, key.size()) != key || line.size() <= key.size() ||
        line[key.size()] != '\t') {
        return false;
    }
    return unescapeHeader(line.substr(key.size() + 1), value);
}

bool readHeader(FileReader& in, BaselineHeader& header) {
    std::string_view line;
    if (!in.line(line) || line != kMagic) {
        return false;
    }
    BaselineIdentity& id = header.identity;
    std::string taken;
    std::uint64_t seconds = 0;
    if (!readHeaderField(in, "report", id.report) || !readHeaderField(in, "tree", id.tree) ||
        !readHeaderField(in, "base", id.base) || !readHeaderField(in, "class", id.objectClass) ||
        !readHeaderField(in, "mode", id.mode) || !readHeaderField(in, "expanded", id.expanded) ||
        !readHeaderField(in, "taken", taken) || !parseNumber(taken, seconds)) {
        return false;
    }
    header.taken = static_cast<std::int64_t>(seconds);
    for (;;) {
        if (!in.line(line)) {
            return false;
        }
        if (line.starts_with("column\t") && line.size() >= 9 && line[8] == '\t' &&
            (line[7] == 'S' || line[7] == 'M')) {
            ChangeColumn column;
            column.single = line[7] == 'S';
            if (!unescapeHeader(line.substr(9), column.caption)) {
                return false;
            }
            header.columns.push_back(std::move(column));
            continue;
        }
        if (!line.starts_with("records\t")) {
            return false;
        }
        line.remove_prefix(8);
        const std::size_t tab = line.find('\t');
        return tab != std::string_view::npos && parseNumber(line.substr(0, tab), header.count) &&
               parseNumber(line.substr(tab + 1), header.bytes);
    }
}

// The records of a baseline, one after another, each checked as it is read.
class RecordReader {
public:
    // `checking`: the checksum is computed (a reader of a baseline already checked skips it).
    RecordReader(FileReader& in, const BaselineHeader& header, bool checking = true)
        : in_(in), header_(header), hash_(in.hash()), checking_(checking) {}

    // False at the end of the records or at damage (then damaged() says so).
    bool next(ObjectValues& object) {
        if (read_ == header_.count) {
            if (consumed_ != header_.bytes) {
                damaged_ = true;
            }
            return false;
        }
        in_.fill(10);
        std::string_view view = in_.ahead();
        const std::size_t before = view.size();
        std::uint64_t size = 0;
        if (!getVarint(view, size) || size > header_.bytes - consumed_) {
            damaged_ = true;
            return false;
        }
        const std::size_t total = before - view.size() + static_cast<std::size_t>(size);
        if (consumed_ + total > header_.bytes) {
            damaged_ = true;
            return false;
        }
        in_.fill(total);
        const std::string_view record = in_.ahead().substr(0, total);
        if (record.size() != total || !decodeRecord(record, header_.columns.size(), object) ||
            (read_ > 0 && compareNames(previous_, object.name) >= 0)) {
            damaged_ = true;
            return false;
        }
        previous_.assign(object.name);
        if (checking_) {
            hash_ = fnv1a(hash_, record);
        }
        // The views of `object` stay valid until the next call: the buffer only moves in fill.
        in_.skip(total);
        consumed_ += total;
        ++read_;
        return true;
    }

    bool damaged() const { return damaged_; }

    // After the last record: the end line with the right checksum and nothing after it.
    bool endIsSound() {
        if (damaged_ || read_ != header_.count || consumed_ != header_.bytes) {
            return false;
        }
        char expected[32];
        std::snprintf(expected, sizeof expected, "end\t%016llx",
                      static_cast<unsigned long long>(hash_));
        std::string_view line;
        return in_.line(line) && line == expected && in_.atEnd() && !in_.failed();
    }

private:
    FileReader& in_;
    const BaselineHeader& header_;
    std::uint64_t read_ = 0;
    std::uint64_t consumed_ = 0;
    std::uint64_t hash_;
    bool checking_;
    std::string previous_;
    bool damaged_ = false;
};

// Reads the whole baseline once to check it. "" when it is sound, else why it is refused.
std::string checkBaseline(const std::string& path, const BaselineIdentity& identity,
                          BaselineHeader& header) {
    const std::string damaged = "The baseline of the previous run (" + path +
                                ") is damaged and is not used: this run is the new baseline";
    FileReader in(path);
    if (!in.isOpen()) {
        return "The baseline of the previous run (" + path +
               ") cannot be read: this run is the new baseline";
    }
    if (!readHeader(in, header)) {
        return damaged;
    }
    RecordReader records(in, header);
    ObjectValues object;
    while (records.next(object)) {
    }
    if (!records.endIsSound()) {
        return damaged;
    }
    if (!(header.identity == identity)) {
        return "The baseline " + path +
               " belongs to another report and is not used: this run is the new baseline";
    }
    return {};
}

// ---- Writing ---------------------------------------------------------------------------------

bool writeWhole(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// A new baseline: written beside its final name and renamed over it once whole and on disk.
class BaselineWriter {
public:
    explicit BaselineWriter(std::string path) : path_(std::move(path)), temp_(path_ + ".new") {
        std::error_code ec;
        const std::filesystem::path folder = std::filesystem::path(path_).parent_path();
        if (!folder.empty() && !std::filesystem::exists(folder, ec)) {
            std::filesystem::create_directories(folder, ec);
            std::filesystem::permissions(folder, std::filesystem::perms::owner_all, ec);
        }
        do {
            fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        } while (fd_ < 0 && errno == EINTR);
        if (fd_ < 0) {
            error_ = std::strerror(errno);
        }
        buffer_.reserve(1 << 20);
    }
    ~BaselineWriter() {
        if (fd_ >= 0) {
            ::close(fd_);
            ::unlink(temp_.c_str());
        }
    }
    BaselineWriter(const BaselineWriter&) = delete;
    BaselineWriter& operator=(const BaselineWriter&) = delete;

    void write(std::string_view bytes) {
        buffer_ += bytes;
        if (buffer_.size() >= (1 << 20)) {
            flush();
        }
    }

    // "" when the baseline is in place, else why not (the old one then stays).
    std::string commit() {
        flush();
        if (fd_ < 0) {
            return error_;
        }
        if (error_.empty() && ::fsync(fd_) != 0) {
            error_ = std::strerror(errno);
        }
        if (::close(fd_) != 0 && error_.empty()) {
            error_ = std::strerror(errno);
        }
        fd_ = -1;
        if (error_.empty() && std::rename(temp_.c_str(), path_.c_str()) != 0) {
            error_ = std::strerror(errno);
        }
        if (!error_.empty()) {
            ::unlink(temp_.c_str());
        }
        return error_;
    }

private:
    void flush() {
        if (fd_ >= 0 && error_.empty() && !writeWhole(fd_, buffer_)) {
            error_ = std::strerror(errno);
        }
        buffer_.clear();
    }

    std::string path_;
    std::string temp_;
    int fd_ = -1;
    std::string error_;
    std::string buffer_;
};

std::string hex16(std::uint64_t value) {
    char text[20];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

} // namespace

// ---- Names and places ------------------------------------------------------------------------

const char* ReportModeName(ReportMode mode) {
    switch (mode) {
    case ReportMode::Tabular:
        return "Tabular";
    case ReportMode::TabularCross:
        return "Tabular Cross";
    case ReportMode::NonTabular:
        return "Non Tabular";
    }
    return "";
}

std::span<const std::string> ChangeHeader() {
    static const std::vector<std::string> header{"Change", "Object", "Attribute", "Old Value",
                                                 "New Value"};
    return header;
}

std::string ChangeFileName(const std::string& outputFileName) {
    const std::filesystem::path path(outputFileName);
    std::filesystem::path changed = path.parent_path();
    changed /= path.stem().string() + "-changes" + path.extension().string();
    return changed.string();
}

std::string BaselineFolder() {
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/') {
        return std::string(state) + "/korvanex";
    }
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr ? home : "") + "/.local/state/korvanex";
}

std::string BaselineFileFor(const std::string& label, const std::string& identityText) {
    std::string safe;
    for (char c : label.substr(0, 64)) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.';
        safe += plain ? c : '_';
    }
    return BaselineFolder() + "/" + safe + "-" + hex16(fnv1a(kFnvStart, identityText)) +
           ".baseline";
}

std::string ChangeSummary::text() const {
    if (!compared) {
        return "No previous run to compare with: this run is the baseline";
    }
    const QString when =
        QDateTime::fromSecsSinceEpoch(previous).toString(QStringLiteral("yyyy-MM-dd HH:mm"));
    return "Compared with the run of " + when.toStdString() + ": " + std::to_string(added) +
           " added, " + std::to_string(removed) + " removed, " + std::to_string(changed) +
           " changed";
}

std::string ChangeSummary::columnsText() const {
    const auto join = [](const std::vector<std::string>& names) {
        std::string out;
        for (const std::string& name : names) {
            out += (out.empty() ? "" : ", ") + name;
        }
        return out;
    };
    std::string out;
    if (!newColumns.empty()) {
        out = "Columns new since the previous run (not compared): " + join(newColumns);
    }
    if (!goneColumns.empty()) {
        out += (out.empty() ? "" : ". ") + std::string("Columns gone since the previous run: ") +
               join(goneColumns);
    }
    return out;
}

// ---- The recorder ----------------------------------------------------------------------------

struct ChangeRecorder::Impl {
    BaselineIdentity identity;
    ReportMode mode;
    std::vector<ChangeColumn> columns;
    int expandedColumn = -1;

    // The object whose rows are coming in.
    bool pending = false;
    std::string pendingName;
    std::vector<std::pair<std::uint32_t, std::string>> pendingValues;

    // Every finished object as one record, packed into large chunks.
    std::vector<std::unique_ptr<char[]>> chunks;
    std::size_t chunkUsed = 0;
    std::size_t chunkSize = 0;
    std::vector<NameKey> records;

    std::vector<std::string> out = std::vector<std::string>(5);
    std::string lastAttribute; // Non Tabular: the attribute of the last line and its column
    int lastColumn = -1;

    int columnNamed(std::string_view caption) const {
        for (std::size_t i = 0; i < columns.size(); ++i) {
            if (kvx::client::names::equalNoCase(columns[i].caption, caption)) {
                return static_cast<int>(i);
            }
        }
        return -1;
    }

    char* allocate(std::size_t size) {
        constexpr std::size_t kChunk = 4 << 20;
        if (chunks.empty() || chunkSize - chunkUsed < size) {
            chunkSize = std::max(kChunk, size);
            chunks.push_back(std::make_unique<char[]>(chunkSize));
            chunkUsed = 0;
        }
        char* at = chunks.back().get() + chunkUsed;
        chunkUsed += size;
        return at;
    }

    void finishObject() {
        if (!pending) {
            return;
        }
        pending = false;
        std::sort(pendingValues.begin(), pendingValues.end());
        std::size_t payload =
            varintSize(pendingName.size()) + pendingName.size() + varintSize(pendingValues.size());
        for (const auto& [column, text] : pendingValues) {
            payload += varintSize(column) + varintSize(text.size()) + text.size();
        }
        char* at = allocate(varintSize(payload) + payload);
        records.emplace_back(pendingName, at);
        at = putVarint(at, payload);
        at = putVarint(at, pendingName.size());
        at = std::copy(pendingName.begin(), pendingName.end(), at);
        at = putVarint(at, pendingValues.size());
        for (const auto& [column, text] : pendingValues) {
            at = putVarint(at, column);
            at = putVarint(at, text.size());
            at = std::copy(text.begin(), text.end(), at);
        }
        pendingValues.clear();
    }

    // A record in the chunks: its length prefix ends with the first byte below 0x80.
    static std::uint64_t rawVarint(const char*& at) {
        std::uint64_t v = 0;
        for (unsigned shift = 0;; shift += 7) {
            const auto byte = static_cast<unsigned char>(*at++);
            v |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
            if ((byte & 0x80) == 0) {
                return v;
            }
        }
    }
    static std::string_view recordOf(const char* at) {
        const char* payload = at;
        const std::uint64_t size = rawVarint(payload);
        return {at, static_cast<std::size_t>(payload - at) + static_cast<std::size_t>(size)};
    }
    static std::string_view nameOf(const char* at) {
        rawVarint(at);
        const std::uint64_t size = rawVarint(at);
        return {at, static_cast<std::size_t>(size)};
    }

    void emitRow(const RowOut& rowOut, const char* change, std::string_view object,
                 std::string_view attribute, std::string_view oldValue, std::string_view newValue) {
        out[0] = change;
        out[1].assign(object);
        out[2].assign(attribute);
        out[3].assign(oldValue);
        out[4].assign(newValue);
        rowOut(out);
    }

    // The Changed rows of one object in both runs. `oldToNew` maps the baseline's columns to
    // this run's (-1: gone); `compared` says which of this run's columns the baseline had.
    std::int64_t compareObject(const ObjectValues& before, const ObjectValues& now,
                               const std::vector<int>& oldToNew, const std::vector<bool>& compared,
                               const RowOut& rowOut) {
        std::vector<std::pair<std::uint32_t, std::string_view>> old;
        old.reserve(before.values.size());
        for (const auto& [column, text] : before.values) {
            if (oldToNew[column] >= 0) {
                old.emplace_back(static_cast<std::uint32_t>(oldToNew[column]), text);
            }
        }
        std::sort(old.begin(), old.end(), lessValue);
        std::int64_t rows = 0;
        std::size_t i = 0;
        std::size_t j = 0;
        const auto& fresh = now.values;
        while (i < old.size() || j < fresh.size()) {
            // One column at a time: the lowest column either side still has.
            std::uint32_t column = UINT32_MAX;
            if (i < old.size()) {
                column = old[i].first;
            }
            if (j < fresh.size()) {
                column = std::min(column, fresh[j].first);
            }
            std::size_t iEnd = i;
            while (iEnd < old.size() && old[iEnd].first == column) {
                ++iEnd;
            }
            std::size_t jEnd = j;
            while (jEnd < fresh.size() && fresh[jEnd].first == column) {
                ++jEnd;
            }
            const std::string& caption = columns[column].caption;
            if (!compared[column]) {
                // A column this run added: nothing to compare it with.
            } else if (columns[column].single && iEnd - i <= 1 && jEnd - j <= 1) {
                const std::string_view a = iEnd > i ? old[i].second : std::string_view();
                const std::string_view b = jEnd > j ? fresh[j].second : std::string_view();
                if (iEnd - i != jEnd - j || a != b) {
                    emitRow(rowOut, "Changed", now.name, caption, a, b);
                    ++rows;
                }
            } else {
                // Values of a multi-valued attribute: each one gone, then each one new.
                std::vector<std::string_view> gone;
                std::vector<std::string_view> added;
                std::size_t a = i;
                std::size_t b = j;
                while (a < iEnd || b < jEnd) {
                    if (b == jEnd || (a < iEnd && old[a].second < fresh[b].second)) {
                        gone.push_back(old[a++].second);
                    } else if (a == iEnd || fresh[b].second < old[a].second) {
                        added.push_back(fresh[b++].second);
                    } else {
                        ++a;
                        ++b;
                    }
                }
                for (std::string_view value : gone) {
                    emitRow(rowOut, "Changed", now.name, caption, value, {});
                }
                for (std::string_view value : added) {
                    emitRow(rowOut, "Changed", now.name, caption, {}, value);
                }
                rows += static_cast<std::int64_t>(gone.size() + added.size());
            }
            i = iEnd;
            j = jEnd;
        }
        return rows;
    }
};

ChangeRecorder::ChangeRecorder(BaselineIdentity identity, ReportMode mode,
                               std::string expandedAttribute, std::vector<ChangeColumn> columns)
    : d_(std::make_unique<Impl>()) {
    d_->identity = std::move(identity);
    d_->mode = mode;
    d_->columns = std::move(columns);
    if (mode == ReportMode::Tabular) {
        for (ChangeColumn& column : d_->columns) {
            column.single = true; // a Tabular cell shows one value
        }
    } else if (mode == ReportMode::TabularCross) {
        d_->expandedColumn = d_->columnNamed(expandedAttribute);
        for (std::size_t i = 0; i < d_->columns.size(); ++i) {
            d_->columns[i].single = static_cast<int>(i) != d_->expandedColumn;
        }
    }
}

ChangeRecorder::~ChangeRecorder() = default;

void ChangeRecorder::row(std::span<const std::string> cells) {
    Impl& d = *d_;
    if (cells.empty()) {
        return;
    }
    const bool first = !d.pending || !kvx::client::names::equalNoCase(d.pendingName, cells[0]);
    if (first) {
        d.finishObject();
        d.pending = true;
        d.pendingName = cells[0];
    }
    switch (d.mode) {
    case ReportMode::Tabular:
    case ReportMode::TabularCross:
        for (std::size_t k = 1; k < cells.size() && k <= d.columns.size(); ++k) {
            const auto column = static_cast<int>(k - 1);
            if (column == d.expandedColumn) {
                d.pendingValues.emplace_back(column, cells[k]); // each row one value
            } else if (first && !cells[k].empty()) {
                d.pendingValues.emplace_back(column, cells[k]);
            }
        }
        break;
    case ReportMode::NonTabular:
        if (cells.size() >= 3 && !cells[1].empty()) {
            // The lines of one attribute come together: its column is looked up once for them.
            if (d.lastAttribute != cells[1] || d.lastColumn < 0) {
                d.lastColumn = d.columnNamed(cells[1]);
                if (d.lastColumn < 0) { // an attribute the selection does not name: a column
                    d.columns.push_back({cells[1], false});
                    d.lastColumn = static_cast<int>(d.columns.size() - 1);
                }
                d.lastAttribute = cells[1];
            }
            const int column = d.lastColumn;
            d.pendingValues.emplace_back(column, cells[2]);
        }
        break;
    }
}

ChangeSummary ChangeRecorder::finish(const std::string& baselinePath, std::int64_t now,
                                     const RowOut& changeRow) {
    Impl& d = *d_;
    d.finishObject();
    ChangeSummary summary;

    const auto sameName = [](const NameKey& a, const NameKey& b) {
        return a.samePrefix(b) && compareNames(Impl::nameOf(a.record), Impl::nameOf(b.record)) == 0;
    };
    std::sort(d.records.begin(), d.records.end(), [](const NameKey& a, const NameKey& b) {
        if (a.high != b.high) {
            return a.high < b.high;
        }
        if (a.low != b.low) {
            return a.low < b.low;
        }
        return compareNames(Impl::nameOf(a.record), Impl::nameOf(b.record)) < 0;
    });
    // Objects the run handed out apart under one name become one record.
    std::deque<std::string> merged;
    std::vector<std::string_view> finalRecords;
    finalRecords.reserve(d.records.size());
    ObjectValues one;
    ObjectValues other;
    for (std::size_t i = 0; i < d.records.size(); ++i) {
        std::size_t end = i + 1;
        while (end < d.records.size() && sameName(d.records[i], d.records[end])) {
            ++end;
        }
        if (end == i + 1) {
            finalRecords.push_back(Impl::recordOf(d.records[i].record));
            continue;
        }
        decodeRecord(Impl::recordOf(d.records[i].record), d.columns.size(), one);
        for (std::size_t k = i + 1; k < end; ++k) {
            decodeRecord(Impl::recordOf(d.records[k].record), d.columns.size(), other);
            one.values.insert(one.values.end(), other.values.begin(), other.values.end());
        }
        std::sort(one.values.begin(), one.values.end(), lessValue);
        merged.emplace_back();
        encodeRecord(merged.back(), one.name, one.values);
        finalRecords.push_back(merged.back());
        i = end - 1;
    }
    std::vector<NameKey>().swap(d.records);

    // The previous baseline, when there is one this report may use.
    BaselineHeader header;
    std::error_code ec;
    const bool exists = std::filesystem::exists(baselinePath, ec);
    if (exists) {
        summary.refused = checkBaseline(baselinePath, d.identity, header);
        summary.compared = summary.refused.empty();
    }
    std::vector<int> oldToNew;
    std::vector<bool> compared(d.columns.size(), false);
    if (summary.compared) {
        summary.previous = header.taken;
        for (const ChangeColumn& column : header.columns) {
            const int found = d.columnNamed(column.caption);
            oldToNew.push_back(found);
            if (found >= 0) {
                compared[static_cast<std::size_t>(found)] = true;
            } else {
                summary.goneColumns.push_back(column.caption);
            }
        }
        for (std::size_t i = 0; i < d.columns.size(); ++i) {
            if (!compared[i]) {
                summary.newColumns.push_back(d.columns[i].caption);
            }
        }
    }

    BaselineWriter writer(baselinePath);
    std::string text;
    text += kMagic;
    text += '\n';
    const BaselineIdentity& id = d.identity;
    for (const auto& [key, value] :
         {std::pair<const char*, const std::string*>{"report", &id.report},
          {"tree", &id.tree},
          {"base", &id.base},
          {"class", &id.objectClass},
          {"mode", &id.mode},
          {"expanded", &id.expanded}}) {
        text += std::string(key) + '\t' + escapeHeader(*value) + '\n';
    }
    text += "taken\t" + std::to_string(std::max<std::int64_t>(now, 0)) + '\n';
    for (const ChangeColumn& column : d.columns) {
        text += std::string("column\t") + (column.single ? 'S' : 'M') + '\t' +
                escapeHeader(column.caption) + '\n';
    }
    std::uint64_t bytes = 0;
    for (std::string_view record : finalRecords) {
        bytes += record.size();
    }
    text += "records\t" + std::to_string(finalRecords.size()) + '\t' + std::to_string(bytes) + '\n';
    writer.write(text);

    // One pass over both runs in name order.
    std::unique_ptr<FileReader> oldFile;
    std::unique_ptr<RecordReader> oldRecords;
    BaselineHeader oldHeader;
    ObjectValues before;
    bool haveBefore = false;
    if (summary.compared) {
        oldFile = std::make_unique<FileReader>(baselinePath);
        if (readHeader(*oldFile, oldHeader)) {
            oldRecords = std::make_unique<RecordReader>(*oldFile, oldHeader, false);
            haveBefore = oldRecords->next(before);
        }
    }
    std::uint64_t hash = fnv1a(kFnvStart, text);
    ObjectValues current;
    for (std::string_view record : finalRecords) {
        writer.write(record);
        hash = fnv1a(hash, record);
        if (!summary.compared) {
            continue;
        }
        decodeRecord(record, d.columns.size(), current);
        while (haveBefore && compareNames(before.name, current.name) < 0) {
            d.emitRow(changeRow, "Removed", before.name, {}, {}, {});
            ++summary.removed;
            haveBefore = oldRecords->next(before);
        }
        if (haveBefore && compareNames(before.name, current.name) == 0) {
            summary.changed += d.compareObject(before, current, oldToNew, compared, changeRow);
            haveBefore = oldRecords->next(before);
        } else {
            d.emitRow(changeRow, "Added", current.name, {}, {}, {});
            ++summary.added;
        }
    }
    while (haveBefore) {
        d.emitRow(changeRow, "Removed", before.name, {}, {}, {});
        ++summary.removed;
        haveBefore = oldRecords->next(before);
    }
    oldRecords.reset();
    oldFile.reset();

    writer.write("end\t" + hex16(hash) + '\n');
    summary.baselineError = writer.commit();
    summary.baselineWritten = summary.baselineError.empty();
    return summary;
}

// ---- The sink --------------------------------------------------------------------------------

ChangeSink::ChangeSink(Setup setup)
    : setup_(std::move(setup)),
      recorder_(setup_.identity, setup_.mode, setup_.expandedAttribute, setup_.columns) {}

ChangeSink::~ChangeSink() = default;

void ChangeSink::columns(const std::vector<OutputColumn>&) {
    // The columns to compare came with the setup, each knowing whether it is single-valued.
}

void ChangeSink::row(std::span<const std::string> cells) {
    recorder_.row(cells);
}

void ChangeSink::end(RunEnd how) {
    if (how != RunEnd::Completed || recorded_) {
        return;
    }
    std::unique_ptr<ReportFile> file;
    if (!setup_.changeFile.empty()) {
        FileLayout layout = setup_.layout;
        layout.headers = true; // a change file without changes still says what it is
        file = std::make_unique<ReportFile>(setup_.changeFile, layout);
        if (file->open()) {
            std::vector<OutputColumn> header;
            for (const std::string& caption : ChangeHeader()) {
                header.push_back({caption, CellKind::Text});
            }
            file->columns(header);
        } else {
            file.reset();
        }
    }
    summary_ = recorder_.finish(setup_.baselinePath, setup_.now ? setup_.now() : 0,
                                [&](std::span<const std::string> row) {
                                    if (file != nullptr) {
                                        file->row(row);
                                    }
                                    if (setup_.alsoTo) {
                                        setup_.alsoTo(row);
                                    }
                                });
    if (file != nullptr) {
        file->end(RunEnd::Completed);
        changeFileWritten_ = file->outcome() == ReportFile::Outcome::Written;
    }
    recorded_ = true;
}

} // namespace kvx::report
