// Trees served to the client calls from texts (and the sample tree from the data folder), and the
// client put back in order after a test.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace kvx::test {

struct TextTree {
    TextTree(std::string n, std::string l, std::string s = {}, bool a = false)
        : name(std::move(n)), ldif(std::move(l)), schema(std::move(s)), advertised(a) {}
    std::string name;
    std::string ldif;
    std::string schema; // besides the built-in definitions
    bool advertised = false;
};

// Serves `trees`, preceded by the sample tree ACME when `withSample`; `defaultTree` is the one
// "Default" opens.
void serveTrees(const std::vector<TextTree>& trees, const std::string& defaultTree,
                bool withSample = false);
// One tree "T" of a schema and an LDIF text, the default one.
void serveText(const std::string& schema, const std::string& ldif);
// The folder of the sample trees the test environment names (KORVANEX_DATA_DIR).
std::string dataDir();
// Clears injected faults and the small result buffer, drops the served trees, restarts the client.
void resetClient();

} // namespace kvx::test
