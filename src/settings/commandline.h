// The program's command line: batch settings files to load and the unattended-run flags.
//
//   /settings=FILE   (any case; the first nine characters decide, so /settingsfile=x loads x)
//   /autorun         run the report once start-up has finished
//   /autoclose       close the program after that run
// The Linux spellings --settings=FILE, --autorun and --autoclose mean the same; --help and
// --version are answered on standard output; --store-password TREE keeps a tree's password in
// the desktop's keyring. Any other argument is ignored.
#pragma once

#include <string>
#include <vector>

namespace kvx::settings {

struct CommandLine {
    std::vector<std::string> settingsFiles; // in the order given; each loads on top of the last
    bool autorun = false;
    bool autoclose = false;
    bool help = false;
    bool version = false;
    bool storePassword = false;    // --store-password TREE (or --store-password=TREE)
    std::string storePasswordTree; // empty when the tree's name is missing
};

// `args` are the arguments after the program's own name, as the system hands them over.
CommandLine parseCommandLine(const std::vector<std::string>& args);

// The program's version, as the build was given it ("0.1.0").
const char* programVersion();

// What --help prints: how to start the program and how to run a saved report unattended.
std::string usageText();

// Compares two names ignoring the case of the letters a to z only.
bool equalIgnoringAsciiCase(const std::string& a, const std::string& b);

// The pieces of a starting container's distinguished name as a batch settings file stores
// them: split at every "." that no backslash escapes ("R\.D" stays one piece), empty pieces
// skipped, the container's own name first. The empty name (the root) gives one empty piece.
std::vector<std::string> startingPointChain(const std::string& distinguishedName);

} // namespace kvx::settings
