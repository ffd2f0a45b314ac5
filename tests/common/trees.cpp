#include "trees.h"

#include "directory/client/config.h"
#include "directory/client/embedded/embedded.h"
#include "directory/client/faults.h"
#include "directory/client/registry.h"
#include "directory/client/testing.h"

#include <cstdlib>
#include <memory>

namespace kc = kvx::client;

namespace kvx::test {

std::string dataDir() {
    const char* data = std::getenv("KORVANEX_DATA_DIR");
    return data != nullptr ? data : KVX_SOURCE_DIR "/data";
}

void serveTrees(const std::vector<TextTree>& trees, const std::string& defaultTree,
                bool withSample) {
    kc::faults::clear();
    kc::resetClient();
    auto provider = std::make_unique<kc::StaticTreeProvider>();
    if (withSample)
        provider->add(kc::makeEmbeddedBackend("ACME", dataDir() + "/trees/ACME"));
    for (const TextTree& tree : trees)
        provider->add(kc::makeEmbeddedBackendFromText(tree.name, tree.schema, tree.ldif),
                      tree.advertised);
    provider->setDefaultTree(defaultTree);
    kc::installTreeProvider(std::move(provider));
}

void serveText(const std::string& schema, const std::string& ldif) {
    serveTrees({{"T", ldif, schema}}, "T");
}

void resetClient() {
    kc::faults::clear();
    kc::setResultBufferCapacityForTesting(0);
    kc::installTreeProvider(nullptr);
    kc::resetClient();
}

} // namespace kvx::test
