// Helpers every test program may use: whole-file reads and writes, text split into lines, and
// small LDIF trees written one entry a line.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace kvx::test {

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

} // namespace kvx::test
