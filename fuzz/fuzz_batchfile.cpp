// Batch settings files: any text as a .kvx file, loaded by the same code the window's loader
// calls (readBatchSettings, no window). A file whose settings can be saved as they read is saved
// to a second file and loaded again: it must load the same.
#include "fuzz_support.h"
#include "settings/batchfile.h"
#include "settings/profile.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

const std::string& workFolder() {
    static const std::string folder = [] {
        // Memory-backed where there is one: every load reads the file once per key.
        std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string tmpl = base + "/kvx-fuzz-batch-XXXXXX";
        char* made = mkdtemp(tmpl.data());
        KVX_FUZZ_CHECK(made != nullptr);
        return std::string(made);
    }();
    static const bool cleanedAtExit = std::atexit([] {
                                          std::error_code ec;
                                          std::filesystem::remove_all(workFolder(), ec);
                                      }) == 0;
    (void)cleanedAtExit;
    return folder;
}

// A text the reading rules give back unchanged when it is written (no blanks around it, no pair
// of enclosing quotes, one line).
bool keepsAsWritten(const std::string& s) {
    if (s.empty())
        return true;
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    if (blank(s.front()) || blank(s.back()) || s.find_first_of("\r\n") != std::string::npos)
        return false;
    return !(s.size() >= 2 && (s.front() == '"' || s.front() == '\'') && s.back() == s.front());
}

bool savesAsRead(const kvx::settings::BatchSettings& s) {
    if (!s.startingPoint || s.startingPoint->empty() || s.attributes.size() > 16)
        return false;
    for (const std::string& piece : *s.startingPoint)
        if (!keepsAsWritten(piece))
            return false;
    for (const auto& row : s.attributes)
        if (!keepsAsWritten(row.name) || !keepsAsWritten(row.singleMulti) ||
            !keepsAsWritten(row.syntax))
            return false;
    return keepsAsWritten(s.treeName) && keepsAsWritten(s.className) &&
           keepsAsWritten(s.outputFileName) && keepsAsWritten(s.outputSeparator);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = workFolder() + "/in.kvx";
    const std::string copy = workFolder() + "/copy.kvx";
    std::FILE* f = std::fopen(path.c_str(), "wb");
    KVX_FUZZ_CHECK(f != nullptr);
    KVX_FUZZ_CHECK(std::fwrite(data, 1, size, f) == size);
    KVX_FUZZ_CHECK(std::fclose(f) == 0);

    const kvx::settings::BatchSettings loaded = kvx::settings::readBatchSettings(path);
    KVX_FUZZ_CHECK(loaded.attributes.size() <=
                   static_cast<std::size_t>(kvx::settings::kMaxBatchAttributeRows));
    if (savesAsRead(loaded)) {
        kvx::settings::writeBatchSettings(copy, loaded);
        KVX_FUZZ_CHECK(kvx::settings::readBatchSettings(copy) == loaded);
    }
    return 0;
}
