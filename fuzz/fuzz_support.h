// Helpers shared by the fuzz targets: a check that stops the run on a broken property (libFuzzer
// and the corpus replay both report an abort as a failure), and splitting of one input into
// fields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#define KVX_FUZZ_CHECK(cond)                                                                       \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "%s:%d: fuzz check failed: %s\n", __FILE__, __LINE__, #cond);     \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

namespace kvx::fuzz {

inline std::string_view asText(const std::uint8_t* data, std::size_t size) {
    return std::string_view(reinterpret_cast<const char*>(data), size);
}

// Takes the text up to the next NUL byte off the front of `rest` (all of it when there is none).
inline std::string_view takeField(std::string_view& rest) {
    std::size_t nul = rest.find('\0');
    std::string_view field = rest.substr(0, nul);
    rest = nul == std::string_view::npos ? std::string_view() : rest.substr(nul + 1);
    return field;
}

} // namespace kvx::fuzz
