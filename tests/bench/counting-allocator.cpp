// Counts every heap allocation of the process: malloc and its relatives, defined here, take
// precedence over the C library's and hand the work on to it (operator new comes through
// malloc as well).
#include "counting-allocator.hpp"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>

#include <malloc.h>

extern "C" {
void *__libc_malloc(std::size_t size);
void *__libc_calloc(std::size_t count, std::size_t size);
void *__libc_realloc(void *pointer, std::size_t size);
void *__libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void *pointer);
}

namespace kzr415::bench {
namespace {
std::atomic<std::uint64_t> allocations{0};
}

std::uint64_t allocation_count() {
    return allocations.load(std::memory_order_relaxed);
}

} // namespace kzr415::bench

namespace {
void count() {
    kzr415::bench::allocations.fetch_add(1, std::memory_order_relaxed);
}
} // namespace

extern "C" {

void *malloc(std::size_t size) {
    count();
    return __libc_malloc(size);
}

void *calloc(std::size_t count_, std::size_t size) {
    count();
    return __libc_calloc(count_, size);
}

void *realloc(void *pointer, std::size_t size) {
    count();
    return __libc_realloc(pointer, size);
}

void *memalign(std::size_t alignment, std::size_t size) {
    count();
    return __libc_memalign(alignment, size);
}

void *aligned_alloc(std::size_t alignment, std::size_t size) {
    count();
    return __libc_memalign(alignment, size);
}

int posix_memalign(void **out, std::size_t alignment, std::size_t size) {
    count();
    void *pointer = __libc_memalign(alignment, size);
    if (pointer == nullptr) {
        return ENOMEM;
    }
    *out = pointer;
    return 0;
}

void free(void *pointer) {
    __libc_free(pointer);
}

} // extern "C"
