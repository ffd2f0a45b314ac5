// Test hooks of the client calls.
#pragma once

#include <cstddef>

namespace kvx::client {

// Limits how many bytes of each result buffer a batch may use (0: the buffer's whole size), so
// tests can make entries continue across batches with small data. resetClient() clears it.
void setResultBufferCapacityForTesting(std::size_t capacity);

} // namespace kvx::client
