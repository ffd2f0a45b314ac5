// Profile files: text files of [section] headers and key=value lines, read and written one value
// at a time, with the rules administrators know from Windows profile files.
//
//  - Section and key names match without regard to case; the first match wins.
//  - A value is the rest of its line after the first "="; on reading, blanks around it are
//    dropped and so is one pair of quotes ('...' or "...") enclosing the whole value. A key that
//    is present with an empty value reads as empty text, not as the default.
//  - A value that reading would change (blanks around it, or a pair of quotes enclosing it) is
//    written enclosed in one more pair of double quotes, so it reads back whole.
//  - Writing a key that exists replaces its value in place; a new key goes at the end of its
//    section, a new section at the end of the file, and a missing file is created.
//  - Files are read with either line end; a file is written back with the line end it has, a new
//    file with line feed alone. Text is UTF-8 bytes; a UTF-8 byte-order mark at the start is
//    skipped on reading and kept on writing. Nothing is cut short.
//  - Every write makes a complete new copy beside the file and renames it over the old one, so
//    a failure part-way (a full disk, a crash) leaves the old file whole. A file the user may not
//    write is not written (ProfileWriteError); a symbolic link is written through to the file it
//    names and stays a link.
//
// Where a file lies (the location rule, applied afresh by every call): the name placed in the
// program's own folder when a readable file of that name is there; otherwise the name as given,
// where a bare name (no folder part) means the per-user configuration folder
// (~/.config/korvanex/).
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace kvx::settings {

// Raised by the writes when the file cannot be written: "Unable to write to <path>".
class ProfileWriteError : public std::runtime_error {
public:
    explicit ProfileWriteError(const std::string& path)
        : std::runtime_error("Unable to write to " + path), path_(path) {}
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

std::string ReadIniString(const std::string& fileName, const std::string& section,
                          const std::string& key, const std::string& defaultValue);
std::int32_t ReadIniInteger(const std::string& fileName, const std::string& section,
                            const std::string& key, std::int32_t defaultValue);
void WriteIniString(const std::string& fileName, const std::string& section, const std::string& key,
                    const std::string& value);
void WriteIniInteger(const std::string& fileName, const std::string& section,
                     const std::string& key, std::int32_t value);

// The key names of `section` (the first section of that name, as a read finds it), in file order,
// blanks around them dropped. Empty when the file or the section is missing. Lets a reader learn
// which numbered keys a file holds without asking for every number a count names.
std::vector<std::string> ReadIniKeys(const std::string& fileName, const std::string& section);

// One section of a profile file read at once, with the same rules as single reads (the first
// section of that name, the first of duplicated keys, blanks and enclosing quotes dropped).
// A file of many keys is then read once instead of once per key.
class ProfileSection {
public:
    static ProfileSection read(const std::string& fileName, const std::string& section);
    static ProfileSection parse(const std::string& text, const std::string& section);

    const std::vector<std::string>& keys() const { return keys_; }
    bool has(const std::string& key) const;
    std::string text(const std::string& key, const std::string& defaultValue) const;
    std::int32_t integer(const std::string& key, std::int32_t defaultValue) const;

private:
    std::vector<std::string> keys_;
    std::unordered_map<std::string, std::string> values_; // by key in lower case
};

// A whole section written at once: the file (found by the location rule) is replaced by a new
// file holding "[section]" and the lines added, in order, so a failure part-way leaves the old
// file whole. Raises ProfileWriteError as the single writes do.
class ProfileSectionWriter {
public:
    explicit ProfileSectionWriter(std::string section) : section_(std::move(section)) {}
    void set(const std::string& key, const std::string& value);
    void set(const std::string& key, std::int32_t value) { set(key, std::to_string(value)); }
    void commit(const std::string& fileName) const;

private:
    std::string section_;
    std::vector<std::pair<std::string, std::string>> lines_;
};

// Reads a whole number as the profile routines do; the default for anything else.
std::int32_t parseProfileInteger(const std::string& text, std::int32_t defaultValue);

// True for a regular file that can be opened for reading.
bool isReadableFile(const std::string& path);

// The path the location rule chooses for `fileName`.
std::string locateProfile(const std::string& fileName);

// The folders the location rule uses; tests point them elsewhere. Empty restores the defaults
// (the running program's folder; ~/.config/korvanex).
void setProgramFolderForTesting(const std::string& folder);
void setUserConfigFolderForTesting(const std::string& folder);
std::string programFolder();
std::string userConfigFolder();

// The text-level operations, for tests and fuzzing: look up a value in profile text, and set
// one, returning the new text.
std::vector<std::string> profileKeys(const std::string& text, const std::string& section);
bool lookupProfileValue(const std::string& text, const std::string& section, const std::string& key,
                        std::string& value);
std::string setProfileValue(const std::string& text, const std::string& section,
                            const std::string& key, const std::string& value);

} // namespace kvx::settings
