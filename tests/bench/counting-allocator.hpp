// Heap allocations of the whole process, counted by an interposed allocator.
#pragma once

#include <cstdint>

namespace kzr415::bench {

// Allocations (malloc, calloc, realloc, the aligned forms, operator new) since the start.
std::uint64_t allocation_count();

} // namespace kzr415::bench
