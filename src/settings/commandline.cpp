#include "settings/commandline.h"

namespace kvx::settings {

namespace {

char lowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool startsWithNoCase(const std::string& text, const std::string& prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (lowerAscii(text[i]) != lowerAscii(prefix[i])) {
            return false;
        }
    }
    return true;
}

} // namespace

const char* programVersion() {
    return KVX_VERSION;
}

std::string usageText() {
    return "Usage: korvanex [/settings=FILE.kvx] [/autorun] [/autoclose]\n"
           "\n"
           "Korvanex reports on a directory tree: pick a tree, a starting container, an object\n"
           "class and the attributes to list, and write them to the screen or a delimited file.\n"
           "\n"
           "  /settings=FILE   load a batch settings file saved from the Batch Mode page\n"
           "                   (--settings=FILE works too; several load one after another)\n"
           "  /autorun         run the loaded report once start-up has finished (--autorun)\n"
           "  /autoclose       close the program after that run (--autoclose)\n"
           "  --help           show this text\n"
           "  --version        show the version\n"
           "\n"
           "Without a display, only unattended runs are possible:\n"
           "  korvanex /settings=FILE.kvx /autorun /autoclose\n"
           "Every message then goes to standard error. Exit status of an unattended run, with\n"
           "or without a display: 0 when the report ran, 1 when a message stopped the run or\n"
           "reported a failure (a settings file that cannot be read or names a tree, container\n"
           "or class that is not found included), 2 when there is no display and the two flags\n"
           "are missing.\n"
           "\n"
           "Changes since the previous run: with this Output page option (chkOutputChanges=1\n"
           "in the settings file) every run that completes also writes NAME-changes.EXT beside\n"
           "the output file NAME.EXT: one row per object added or removed and per value\n"
           "changed since the last completed run (Change,Object,Attribute,Old Value,New Value),\n"
           "and says on standard error what it compared with. The previous run is kept under\n"
           "$XDG_STATE_HOME/korvanex/ (~/.local/state/korvanex/); the exit status is as above.\n";
}

bool equalIgnoringAsciiCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && startsWithNoCase(a, b);
}

CommandLine parseCommandLine(const std::vector<std::string>& args) {
    CommandLine line;
    for (const std::string& arg : args) {
        if (startsWithNoCase(arg, "/settings") || startsWithNoCase(arg, "--settings")) {
            // The name is everything after the first "="; an argument that names no file is
            // ignored, so the loader is never called without a name.
            const std::size_t eq = arg.find('=');
            if (eq != std::string::npos && eq + 1 < arg.size()) {
                line.settingsFiles.push_back(arg.substr(eq + 1));
            }
        }
        if (equalIgnoringAsciiCase(arg, "/autorun") || equalIgnoringAsciiCase(arg, "--autorun")) {
            line.autorun = true;
        }
        if (equalIgnoringAsciiCase(arg, "/autoclose") ||
            equalIgnoringAsciiCase(arg, "--autoclose")) {
            line.autoclose = true;
        }
        if (arg == "--help" || arg == "-h") {
            line.help = true;
        }
        if (arg == "--version") {
            line.version = true;
        }
    }
    return line;
}

std::vector<std::string> startingPointChain(const std::string& distinguishedName) {
    std::vector<std::string> pieces;
    std::string piece;
    for (std::size_t i = 0; i < distinguishedName.size(); ++i) {
        const char c = distinguishedName[i];
        if (c == '\\' && i + 1 < distinguishedName.size()) {
            // An escaped character, "\." above all, belongs to the name it stands in.
            piece.push_back(c);
            piece.push_back(distinguishedName[++i]);
        } else if (c == '.') {
            if (!piece.empty()) {
                pieces.push_back(piece);
            }
            piece.clear();
        } else {
            piece.push_back(c);
        }
    }
    if (!piece.empty()) {
        pieces.push_back(piece);
    }
    if (pieces.empty()) {
        pieces.emplace_back();
    }
    return pieces;
}

} // namespace kvx::settings
