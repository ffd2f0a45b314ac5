// The embedded directory: a tree served from an RFC 4512 schema file and LDIF files.
#pragma once

#include "../backend.h"

#include <memory>
#include <string>

namespace kvx::client {

// A tree served from `folder`: every "*.schema" file in it, then every "*.ldif" file, each in
// name order, loaded on the first open(). A file with a fault leaves the tree unreachable
// (ERR_UNREACHABLE_SERVER) with lastError() naming the file, the line and the fault.
std::unique_ptr<Backend> makeEmbeddedBackend(const std::string& treeName,
                                             const std::string& folder);

// The same from texts in memory (tests, fuzzing, generated trees).
std::unique_ptr<Backend> makeEmbeddedBackendFromText(const std::string& treeName,
                                                     std::string schemaText, std::string ldifText);

} // namespace kvx::client
