// The command line: any arguments (NUL-separated in the input) through the parser, and any
// container name through the split a batch settings file stores it with.
#include "fuzz_support.h"
#include "settings/commandline.h"

#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view rest = kvx::fuzz::asText(data, size);
    std::vector<std::string> args;
    while (!rest.empty())
        args.emplace_back(kvx::fuzz::takeField(rest));
    const kvx::settings::CommandLine line = kvx::settings::parseCommandLine(args);
    // Every file to load is named, and is the tail of one of the arguments.
    for (const std::string& file : line.settingsFiles) {
        KVX_FUZZ_CHECK(!file.empty());
        bool fromAnArgument = false;
        for (const std::string& arg : args)
            fromAnArgument =
                fromAnArgument || (arg.size() > file.size() &&
                                   arg.compare(arg.size() - file.size(), file.size(), file) == 0);
        KVX_FUZZ_CHECK(fromAnArgument);
    }

    // The pieces hold every character of the name except the periods that separate them, in
    // order: a backslash and the character after it ("\." above all) stay in their piece.
    const std::string name(kvx::fuzz::asText(data, size));
    const std::vector<std::string> pieces = kvx::settings::startingPointChain(name);
    KVX_FUZZ_CHECK(!pieces.empty());
    // Unescaped periods dropped, escaped pairs kept whole.
    auto withoutSeparators = [](const std::string& text) {
        std::string out;
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '\\' && i + 1 < text.size()) {
                out.push_back(text[i]);
                out.push_back(text[++i]);
            } else if (text[i] != '.') {
                out.push_back(text[i]);
            }
        }
        return out;
    };
    std::string joined;
    for (const std::string& piece : pieces) {
        KVX_FUZZ_CHECK(withoutSeparators(piece) == piece); // no period of its own separates it
        KVX_FUZZ_CHECK(!piece.empty() || pieces.size() == 1);
        joined += piece;
    }
    KVX_FUZZ_CHECK(joined == withoutSeparators(name));
    return 0;
}
