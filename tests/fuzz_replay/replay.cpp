// Feeds every checked-in corpus file and regression input of one fuzz target to its
// LLVMFuzzerTestOneInput, in the normal test build (no fuzzing engine). A property the target
// checks aborts the program; AddressSanitizer and UBSan stop it on a memory or undefined-
// behaviour fault. Either way the test fails, and the input's path is printed first.
#include <gtest/gtest.h>
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/common_interface_defs.h>
#endif

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

char g_current[4096];

void sayWhich() {
    std::fprintf(stderr, "fuzz replay: failed on input %s\n", g_current);
}

void onAbort(int) {
    sayWhich();
    std::signal(SIGABRT, SIG_DFL);
    std::raise(SIGABRT);
}

std::vector<std::filesystem::path> inputsUnder(const std::filesystem::path& dir) {
    std::vector<std::filesystem::path> files;
    std::error_code ec;
    if (!std::filesystem::is_directory(dir, ec))
        return files;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir))
        if (e.is_regular_file())
            files.push_back(e.path());
    std::sort(files.begin(), files.end());
    return files;
}

} // namespace

TEST(FuzzReplay, EveryCorpusAndRegressionInputPasses) {
#if defined(__SANITIZE_ADDRESS__)
    __sanitizer_set_death_callback(sayWhich);
#endif
    std::signal(SIGABRT, onAbort);
    const std::vector<std::filesystem::path> dirs = {KVX_FUZZ_CORPUS_DIR, KVX_FUZZ_REGRESSION_DIR};
    std::size_t replayed = 0;
    for (const auto& dir : dirs) {
        for (const auto& file : inputsUnder(dir)) {
            std::snprintf(g_current, sizeof g_current, "%s", file.c_str());
            std::ifstream in(file, std::ios::binary);
            ASSERT_TRUE(in) << file;
            const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                          std::istreambuf_iterator<char>());
            LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                   bytes.size());
            ++replayed;
        }
    }
    std::signal(SIGABRT, SIG_DFL);
    // A target without its corpus would pass while checking nothing.
    EXPECT_GT(replayed, 0u) << "no inputs under " << KVX_FUZZ_CORPUS_DIR;
}
