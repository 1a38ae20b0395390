// The program's memory as the kernel reaches it: through copies that fail with EFAULT at an
// unmapped or protected address instead of faulting, never by reading or writing through
// the program's pointers directly. Each copy is a list of ranges done in one go.
#pragma once

#include <cstddef>
#include <span>

namespace kzr415::sim {

struct MemoryRange {
    void *local;        // this side's bytes
    const void *remote; // the program's address (written through for copy_to_program)
    std::size_t size;
};

// Copies every range from the program's `remote` to `local`; returns how many ranges were
// copied whole, in order (ranges.size() when all were).
std::size_t copy_from_program(std::span<const MemoryRange> ranges);
// Copies every range from `local` to the program's `remote`; the same count.
std::size_t copy_to_program(std::span<const MemoryRange> ranges);

// One range: true when copied whole.
bool copy_from_program(void *local, const void *remote, std::size_t size);
bool copy_to_program(void *remote, const void *local, std::size_t size);

} // namespace kzr415::sim
