// Test hooks of the client calls.
#pragma once

#include <cstddef>

namespace kvx::client {

// Limits how many bytes of each result buffer a batch may use (0: the buffer's whole size), so
// tests can make entries continue across batches with small data. resetClient() clears it.
void setResultBufferCapacityForTesting(std::size_t capacity);

// Embedded trees with more than `bytes` of LDIF are handled as large ones: their files are read
// in two halves at once, and their values are checked on a second thread while the tree is in
// use. 0 restores the sizes the program uses.
void setEmbeddedLargeTreeForTesting(std::size_t bytes);

} // namespace kvx::client
