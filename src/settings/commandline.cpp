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
    for (char c : distinguishedName) {
        if (c == '.') {
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
