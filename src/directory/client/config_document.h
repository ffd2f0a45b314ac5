// The client configuration file as the user's own text: keys are read, changed, added and
// removed in place, so that comments, blank lines, the order of sections and keys, keys this
// version does not know and the file's line ends all stay as the user wrote them.
//
// Section and key names compare without regard to case, as the configuration reader does.
// A comment block directly above a section header (no blank line between) belongs to that
// section: it goes when the section is removed.
#pragma once

#include "config.h"

#include <optional>
#include <string>
#include <vector>

namespace kvx::client {

class ConfigDocument {
public:
    explicit ConfigDocument(const std::string& text = {});

    // The whole text, with the line end the file already had (a new file: "\n").
    std::string text() const;

    std::vector<std::string> sections() const; // header names as written, in file order
    bool hasSection(const std::string& section) const;
    std::optional<std::string> value(const std::string& section, const std::string& key) const;

    // Replaces the key's line (keeping its spelling and indentation), or adds the key after the
    // last key of the section, or adds the section at the end of the file.
    void setValue(const std::string& section, const std::string& key, const std::string& value);
    void removeKey(const std::string& section, const std::string& key);
    void removeSection(const std::string& section);
    void renameSection(const std::string& from, const std::string& to);

private:
    struct Line {
        std::string text;    // without its line end
        std::string section; // the section it belongs to ("" before the first header)
        bool header = false;
        std::string key; // trimmed key of a key=value line, "" otherwise
    };
    void reindex();
    // Index of the header line of a section, or -1.
    long headerOf(const std::string& section) const;
    std::vector<Line> lines_;
    std::string eol_ = "\n";
    bool finalEol_ = true;
};

// "[Tree NAME]"'s section name for a tree.
std::string treeSection(const std::string& treeName);

// Writes the keys of a tree's source into its section (renaming the section of `previousName`
// when the tree was renamed): keys with a value are set, keys without one removed; keys the
// program does not know are left alone.
void putTree(ConfigDocument& doc, const TreeSource& tree, const std::string& previousName);

// Writes `text` to `path` atomically: a temporary file in the same folder, flushed to the disk,
// then renamed over the target, so a crash leaves either the old file or the new one. Missing
// folders are made; the file keeps the permissions of the one it replaces (a new one: `mode`).
bool writeFileAtomically(const std::string& path, const std::string& text, std::string& error,
                         unsigned mode = 0644);

} // namespace kvx::client
