// Linked into every test program: before anything else runs, the process gets a home and
// configuration folders of its own, made fresh under the temporary folder and removed at exit.
// Whatever a test saves (window placement, defaults, batch files written to the home folder) goes
// there, never to the configuration of the account that runs the tests.

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace {

class PrivateConfiguration {
public:
    PrivateConfiguration() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern =
            std::string(tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp") + "/kvx-test-home.XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            // No private folder: a home that cannot exist, so nothing lands in the real one.
            pattern = "/nonexistent/kvx-test-home";
        } else {
            folder_ = pattern;
        }
        ::setenv("HOME", pattern.c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (pattern + "/.config").c_str(), 1);
        ::setenv("XDG_DATA_HOME", (pattern + "/.local/share").c_str(), 1);
        ::setenv("XDG_CACHE_HOME", (pattern + "/.cache").c_str(), 1);
        ::setenv("XDG_STATE_HOME", (pattern + "/.local/state").c_str(), 1);
    }
    ~PrivateConfiguration() {
        if (!folder_.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(folder_, ec);
        }
    }
    PrivateConfiguration(const PrivateConfiguration&) = delete;
    PrivateConfiguration& operator=(const PrivateConfiguration&) = delete;

private:
    std::string folder_;
};

// Initialised before every other static object of the program, so before anything reads HOME.
const PrivateConfiguration privateConfiguration __attribute__((init_priority(101)));

} // namespace
