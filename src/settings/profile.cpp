#include "settings/profile.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

namespace kvx::settings {

namespace {

std::string g_programFolderOverride;
std::string g_userConfigOverride;

bool equalNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i];
        char y = b[i];
        if (x >= 'A' && x <= 'Z') {
            x = static_cast<char>(x - 'A' + 'a');
        }
        if (y >= 'A' && y <= 'Z') {
            y = static_cast<char>(y - 'A' + 'a');
        }
        if (x != y) {
            return false;
        }
    }
    return true;
}

std::string_view trim(std::string_view s) {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!s.empty() && blank(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && blank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

// The UTF-8 byte-order mark some editors put at the start of a file. It is no part of the first
// line: a file that has one is read without it and written back with it.
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

bool hasByteOrderMark(std::string_view text) {
    return text.substr(0, kByteOrderMark.size()) == kByteOrderMark;
}

std::vector<std::string_view> splitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t start = hasByteOrderMark(text) ? kByteOrderMark.size() : 0;
    while (start < text.size()) {
        std::size_t nl = text.find('\n', start);
        std::size_t end = nl == std::string_view::npos ? text.size() : nl;
        std::string_view line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        lines.push_back(line);
        if (nl == std::string_view::npos) {
            break;
        }
        start = nl + 1;
    }
    return lines;
}

// "[name]" -> name; false for any other line.
bool sectionHeader(std::string_view line, std::string_view& name) {
    line = trim(line);
    if (line.size() < 2 || line.front() != '[') {
        return false;
    }
    std::size_t close = line.find(']');
    if (close == std::string_view::npos) {
        return false;
    }
    name = trim(line.substr(1, close - 1));
    return true;
}

// "key=value" -> key (trimmed) and raw value; false for a line without "=".
bool keyLine(std::string_view line, std::string_view& key, std::string_view& value) {
    std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) {
        return false;
    }
    key = trim(line.substr(0, eq));
    value = line.substr(eq + 1);
    return true;
}

std::string cleanValue(std::string_view raw) {
    std::string_view v = trim(raw);
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
        v = v.substr(1, v.size() - 2);
    }
    return std::string(v);
}

bool readWholeFile(const std::string& path, std::string& out) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        return false;
    }
    out.clear();
    char chunk[65536];
    std::size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0) {
        out.append(chunk, got);
    }
    bool ok = std::ferror(f) == 0;
    std::fclose(f);
    return ok;
}

std::string exeFolder() {
    std::vector<char> buf(4096);
    for (;;) {
        ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
        if (n < 0) {
            return std::string();
        }
        if (static_cast<std::size_t>(n) < buf.size()) {
            std::string path(buf.data(), static_cast<std::size_t>(n));
            std::size_t slash = path.rfind('/');
            return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
        }
        buf.resize(buf.size() * 2);
    }
}

void makeFolders(const std::string& folder) {
    std::string partial;
    for (std::size_t i = 0; i < folder.size(); ++i) {
        partial.push_back(folder[i]);
        if ((folder[i] == '/' && i > 0) || i + 1 == folder.size()) {
            ::mkdir(partial.c_str(), 0700);
        }
    }
}

// The file a write of `path` changes: a symbolic link is followed to the file it names (also
// when that file does not exist yet), so the link stays a link.
std::string writeTarget(const std::string& path) {
    std::string target = path;
    for (int hops = 0; hops < 40; ++hops) { // as many links as the system itself follows
        struct stat st {};
        if (::lstat(target.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            break;
        }
        std::vector<char> buf(static_cast<std::size_t>(st.st_size) + 256);
        const ssize_t n = ::readlink(target.c_str(), buf.data(), buf.size());
        if (n < 0 || static_cast<std::size_t>(n) >= buf.size()) {
            break;
        }
        std::string next(buf.data(), static_cast<std::size_t>(n));
        if (next.front() != '/') {
            const std::size_t slash = target.rfind('/');
            if (slash != std::string::npos) {
                next = target.substr(0, slash + 1) + next;
            }
        }
        target = next;
    }
    return target;
}

// Writes all of `text` at `offset` of the open file.
bool writeAllAt(int fd, std::string_view text, off_t offset) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n =
            ::pwrite(fd, text.data() + done, text.size() - done, offset + static_cast<off_t>(done));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// The names of a file's extended attributes (ACLs among them); false when they cannot be read.
// A file system without them has none.
bool extendedAttributeNames(const std::string& path, int fd, std::vector<std::string>& out) {
    out.clear();
    for (int attempt = 0; attempt < 3; ++attempt) {
        ssize_t size =
            fd >= 0 ? ::flistxattr(fd, nullptr, 0) : ::listxattr(path.c_str(), nullptr, 0);
        if (size < 0) {
            return errno == ENOTSUP;
        }
        std::vector<char> names(static_cast<std::size_t>(size) + 1);
        size = fd >= 0 ? ::flistxattr(fd, names.data(), names.size())
                       : ::listxattr(path.c_str(), names.data(), names.size());
        if (size < 0 && errno == ERANGE) {
            continue; // grew meanwhile
        }
        if (size < 0) {
            return false;
        }
        for (std::size_t at = 0; at < static_cast<std::size_t>(size);) {
            out.emplace_back(names.data() + at);
            at += out.back().size() + 1;
        }
        return true;
    }
    return false;
}

// Gives the open file `to` exactly the extended attributes of `from` (its ACLs, its
// user.* attributes, a security label). False when one cannot be copied or taken off.
bool copyExtendedAttributes(const std::string& from, int to) {
    std::vector<std::string> wanted, present;
    if (!extendedAttributeNames(from, -1, wanted) || !extendedAttributeNames({}, to, present)) {
        return false;
    }
    for (const std::string& name : present) {
        if (std::find(wanted.begin(), wanted.end(), name) == wanted.end() &&
            ::fremovexattr(to, name.c_str()) != 0) {
            return false; // inherited from the folder (a default ACL), not the file's own
        }
    }
    for (const std::string& name : wanted) {
        const ssize_t size = ::getxattr(from.c_str(), name.c_str(), nullptr, 0);
        if (size < 0) {
            return false;
        }
        std::vector<char> value(static_cast<std::size_t>(size) + 1);
        const ssize_t got = ::getxattr(from.c_str(), name.c_str(), value.data(), value.size());
        if (got < 0 ||
            ::fsetxattr(to, name.c_str(), value.data(), static_cast<std::size_t>(got), 0) != 0) {
            return false;
        }
    }
    return true;
}

// A synced copy of `text` in a new file beside `path`, or in the temporary folder when that
// folder may not be written; its name, or "" when none could be made.
std::string writeBackupCopy(const std::string& path, const std::string& text) {
    const char* tmp = std::getenv("TMPDIR");
    for (std::string pattern :
         {path + ".kvx-backup-XXXXXX",
          std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/korvanex-backup-XXXXXX"}) {
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        const int fd = ::mkstemp(name.data());
        if (fd < 0) {
            continue;
        }
        const bool ok = writeAllAt(fd, text, 0) && ::fsync(fd) == 0;
        if (::close(fd) == 0 && ok) {
            return std::string(name.data());
        }
        ::unlink(name.data());
    }
    return {};
}

// Writes `text` into the file itself, as careful editors do where a replacement would lose what
// the file carries. The old text is first written to a synced backup copy, and put back when the
// new one cannot be written whole; the copy goes once the file is whole again.
bool writeInPlace(const std::string& path, const std::string& text) {
    std::string old;
    if (!readWholeFile(path, old)) {
        return false;
    }
    const std::string backup = writeBackupCopy(path, old);
    if (backup.empty()) {
        return false;
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        ::unlink(backup.c_str());
        return false;
    }
    const bool ok = writeAllAt(fd, text, 0) &&
                    ::ftruncate(fd, static_cast<off_t>(text.size())) == 0 && ::fsync(fd) == 0;
    bool whole = ok || (writeAllAt(fd, old, 0) &&
                        ::ftruncate(fd, static_cast<off_t>(old.size())) == 0 && ::fsync(fd) == 0);
    if (::close(fd) != 0) {
        whole = false;
    }
    if (whole) {
        ::unlink(backup.c_str()); // else the copy is the one whole text left: it stays
    }
    return ok && whole;
}

// Saves `text` as the file `path` names. A replacement (a new file beside it, renamed over it)
// never leaves a half-written file, and is used when the new file can have all the old one
// had: its owner and group, its mode, its ACLs and other extended attributes, and no other
// name (a hard link would keep the old text). Otherwise the file is written in place (above).
// A file that is there but that the user may not write, or that no one may write, is left
// alone: replacing it would undo its read-only mark.
bool replaceFile(const std::string& linkOrFile, const std::string& text) {
    const std::string path = writeTarget(linkOrFile);
    struct stat old {};
    const bool exists = ::stat(path.c_str(), &old) == 0;
    if (exists && (::access(path.c_str(), W_OK) != 0 || (old.st_mode & 0222) == 0)) {
        return false; // read-only for this user, or marked read-only for everyone (root too)
    }
    if (exists && S_ISREG(old.st_mode) && old.st_nlink > 1) {
        return writeInPlace(path, text);
    }
    std::string temp = path + ".kvx-new-XXXXXX";
    std::vector<char> name(temp.begin(), temp.end());
    name.push_back('\0');
    int fd = ::mkstemp(name.data());
    if (fd < 0) {
        // A folder the user may not write, holding a file the user may.
        return exists && S_ISREG(old.st_mode) && writeInPlace(path, text);
    }
    if (exists) {
        struct stat mine {};
        const bool keeps = ::fstat(fd, &mine) == 0 &&
                           ((mine.st_uid == old.st_uid && mine.st_gid == old.st_gid) ||
                            ::fchown(fd, old.st_uid, old.st_gid) == 0) &&
                           ::fchmod(fd, old.st_mode & 07777) == 0 &&
                           copyExtendedAttributes(path, fd);
        if (!keeps) {
            ::close(fd);
            ::unlink(name.data());
            return S_ISREG(old.st_mode) && writeInPlace(path, text);
        }
    } else {
        ::fchmod(fd, 0644);
    }
    bool ok = writeAllAt(fd, text, 0) && ::fsync(fd) == 0;
    if (::close(fd) != 0) {
        ok = false;
    }
    if (ok && ::rename(name.data(), path.c_str()) != 0) {
        ok = false;
    }
    if (!ok) {
        ::unlink(name.data());
    }
    return ok;
}

} // namespace

bool isReadableFile(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return false;
    }
    std::FILE* f = std::fopen(path.c_str(), "r");
    if (f == nullptr) {
        return false;
    }
    std::fclose(f);
    return true;
}

void setProgramFolderForTesting(const std::string& folder) {
    g_programFolderOverride = folder;
}
void setUserConfigFolderForTesting(const std::string& folder) {
    g_userConfigOverride = folder;
}

std::string programFolder() {
    if (!g_programFolderOverride.empty()) {
        std::string f = g_programFolderOverride;
        if (f.back() != '/') {
            f.push_back('/');
        }
        return f;
    }
    return exeFolder();
}

std::string userConfigFolder() {
    if (!g_userConfigOverride.empty()) {
        return g_userConfigOverride;
    }
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    std::string base;
    if (xdg != nullptr && xdg[0] == '/') {
        base = xdg;
    } else {
        const char* home = std::getenv("HOME");
        base = std::string(home != nullptr ? home : "") + "/.config";
    }
    return base + "/korvanex";
}

std::string locateProfile(const std::string& fileName) {
    if (!fileName.empty() && fileName.front() != '/') {
        std::string beside = programFolder() + fileName;
        if (isReadableFile(beside)) {
            return beside;
        }
    }
    if (fileName.find('/') == std::string::npos) {
        return userConfigFolder() + "/" + fileName;
    }
    return fileName;
}

bool lookupProfileValue(const std::string& text, const std::string& section, const std::string& key,
                        std::string& value) {
    bool inSection = false;
    for (std::string_view line : splitLines(text)) {
        std::string_view name;
        if (sectionHeader(line, name)) {
            if (inSection) {
                return false; // the first matching section alone is read
            }
            inSection = equalNoCase(name, section);
            continue;
        }
        std::string_view k;
        std::string_view v;
        if (inSection && keyLine(line, k, v) && equalNoCase(k, key)) {
            value = cleanValue(v);
            return true;
        }
    }
    return false;
}

std::vector<std::string> profileKeys(const std::string& text, const std::string& section) {
    std::vector<std::string> keys;
    bool inSection = false;
    for (std::string_view line : splitLines(text)) {
        std::string_view name;
        if (sectionHeader(line, name)) {
            if (inSection) {
                break;
            }
            inSection = equalNoCase(name, section);
            continue;
        }
        std::string_view k;
        std::string_view v;
        if (inSection && keyLine(line, k, v)) {
            keys.emplace_back(k);
        }
    }
    return keys;
}

std::string setProfileValue(const std::string& text, const std::string& section,
                            const std::string& key, const std::string& value) {
    const std::string eol = text.find("\r\n") != std::string::npos ? "\r\n" : "\n";
    std::vector<std::string_view> lines = splitLines(text);
    const bool byteOrderMark = hasByteOrderMark(text);
    const std::string newLine = key + "=" + value;

    // Find the section, its key, and the last non-blank line of the section.
    std::ptrdiff_t sectionAt = -1;
    std::ptrdiff_t keyAt = -1;
    std::ptrdiff_t lastContent = -1;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string_view name;
        if (sectionHeader(lines[i], name)) {
            if (sectionAt >= 0) {
                break;
            }
            if (equalNoCase(name, section)) {
                sectionAt = static_cast<std::ptrdiff_t>(i);
                lastContent = sectionAt;
            }
            continue;
        }
        if (sectionAt < 0) {
            continue;
        }
        if (!trim(lines[i]).empty()) {
            lastContent = static_cast<std::ptrdiff_t>(i);
        }
        std::string_view k;
        std::string_view v;
        if (keyLine(lines[i], k, v) && equalNoCase(k, key)) {
            keyAt = static_cast<std::ptrdiff_t>(i);
            break;
        }
    }

    std::string out(byteOrderMark ? kByteOrderMark : std::string_view());
    out.reserve(text.size() + newLine.size() + section.size() + 8);
    auto emit = [&](std::string_view line) {
        out.append(line);
        out.append(eol);
    };
    if (sectionAt < 0) {
        for (std::string_view line : lines) {
            emit(line);
        }
        emit("[" + section + "]");
        emit(newLine);
        return out;
    }
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (static_cast<std::ptrdiff_t>(i) == keyAt) {
            emit(newLine);
            continue;
        }
        emit(lines[i]);
        if (keyAt < 0 && static_cast<std::ptrdiff_t>(i) == lastContent) {
            emit(newLine);
        }
    }
    return out;
}

std::string ReadIniString(const std::string& fileName, const std::string& section,
                          const std::string& key, const std::string& defaultValue) {
    std::string text;
    std::string value;
    if (!readWholeFile(locateProfile(fileName), text) ||
        !lookupProfileValue(text, section, key, value)) {
        return defaultValue;
    }
    return value;
}

std::vector<std::string> ReadIniKeys(const std::string& fileName, const std::string& section) {
    std::string text;
    if (!readWholeFile(locateProfile(fileName), text)) {
        return {};
    }
    return profileKeys(text, section);
}

std::int32_t ReadIniInteger(const std::string& fileName, const std::string& section,
                            const std::string& key, std::int32_t defaultValue) {
    return parseProfileInteger(ReadIniString(fileName, section, key, std::string()), defaultValue);
}

std::int32_t parseProfileInteger(const std::string& text, std::int32_t defaultValue) {
    std::string_view digits = text;
    if (!digits.empty() && digits.front() == '+') {
        digits.remove_prefix(1);
    }
    std::int32_t value = 0;
    auto [end, err] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || err != std::errc() || end != digits.data() + digits.size()) {
        return defaultValue;
    }
    return value;
}

namespace {

// The path a write goes to, with the per-user folder made when a bare name lands there.
std::string locateForWriting(const std::string& fileName) {
    const std::string path = locateProfile(fileName);
    if (fileName.find('/') == std::string::npos && path.rfind(userConfigFolder(), 0) == 0) {
        makeFolders(userConfigFolder());
    }
    return path;
}

// A value as it is written, so that a read gives it back: a line end would break the file's
// lines, so the value is written as one line; blanks around it would be dropped and a pair of
// enclosing quotes taken off, so such a value (a tab or " | " as a separator) is enclosed in one
// more pair of double quotes, which the read takes off again.
std::string storedValue(const std::string& value) {
    std::string line = value;
    for (char& c : line) {
        if (c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    if (line.empty()) {
        return line;
    }
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    const bool enclosed = line.size() >= 2 && (line.front() == '"' || line.front() == '\'') &&
                          line.back() == line.front();
    if (blank(line.front()) || blank(line.back()) || enclosed) {
        return '"' + line + '"';
    }
    return line;
}

std::string lowerKey(std::string_view key) {
    std::string lower(key);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return lower;
}

} // namespace

ProfileSection ProfileSection::read(const std::string& fileName, const std::string& section) {
    std::string text;
    if (!readWholeFile(locateProfile(fileName), text)) {
        return ProfileSection();
    }
    return parse(text, section);
}

ProfileSection ProfileSection::parse(const std::string& text, const std::string& section) {
    ProfileSection result;
    bool inSection = false;
    for (std::string_view line : splitLines(text)) {
        std::string_view name;
        if (sectionHeader(line, name)) {
            if (inSection) {
                break; // the first matching section alone is read
            }
            inSection = equalNoCase(name, section);
            continue;
        }
        std::string_view k;
        std::string_view v;
        if (inSection && keyLine(line, k, v)) {
            result.keys_.emplace_back(k);
            result.values_.try_emplace(lowerKey(k), cleanValue(v)); // the first one wins
        }
    }
    return result;
}

bool ProfileSection::has(const std::string& key) const {
    return values_.count(lowerKey(key)) != 0;
}

std::string ProfileSection::text(const std::string& key, const std::string& defaultValue) const {
    auto it = values_.find(lowerKey(key));
    return it == values_.end() ? defaultValue : it->second;
}

std::int32_t ProfileSection::integer(const std::string& key, std::int32_t defaultValue) const {
    return parseProfileInteger(text(key, std::string()), defaultValue);
}

void ProfileSectionWriter::set(const std::string& key, const std::string& value) {
    lines_.emplace_back(key, storedValue(value));
}

void ProfileSectionWriter::commit(const std::string& fileName) const {
    const std::string path = locateForWriting(fileName);
    // The new file keeps the byte-order mark of the one it replaces.
    std::string old;
    std::string text(readWholeFile(path, old) && hasByteOrderMark(old) ? kByteOrderMark
                                                                       : std::string_view());
    text += "[" + section_ + "]\n";
    for (const auto& [key, value] : lines_) {
        text += key;
        text += '=';
        text += value;
        text += '\n';
    }
    if (!replaceFile(path, text)) {
        throw ProfileWriteError(path);
    }
}

void WriteIniString(const std::string& fileName, const std::string& section, const std::string& key,
                    const std::string& value) {
    const std::string path = locateForWriting(fileName);
    std::string text;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && !readWholeFile(path, text)) {
        throw ProfileWriteError(path); // there but unreadable: never replace what we cannot keep
    }
    if (!replaceFile(path, setProfileValue(text, section, key, storedValue(value)))) {
        throw ProfileWriteError(path);
    }
}

void WriteIniInteger(const std::string& fileName, const std::string& section,
                     const std::string& key, std::int32_t value) {
    WriteIniString(fileName, section, key, std::to_string(value));
}

} // namespace kvx::settings
