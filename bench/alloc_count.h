// Counts heap allocations per thread. The benchmark executable provides
// malloc, calloc and realloc itself and forwards them to the C library, so
// allocations made by the agent library on its own thread are seen too.
#pragma once

#include <cstdint>

namespace bench {

// Allocations made by the calling thread since it started.
uint64_t thread_allocations();

} // namespace bench
