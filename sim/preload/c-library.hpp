// The C library's own definition of a function that this process interposes: dlsym's
// RTLD_NEXT, past the preload (or the test program) that defines it first.
#pragma once

#include <atomic>

#include <dlfcn.h>

namespace kzr415::sim {

template <class F>
F next(const char *name) {
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): dlsym's contract
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// next(), looked up once for each place that asks: `name` is a lambda returning the name, so
// that every call site has a type, and a cached pointer, of its own. The cache is a plain
// atomic, with no guard lock that a fork could leave taken in the child.
template <class F, class Name>
F next_cached(Name name) {
    static std::atomic<F> cached{nullptr};
    F function = cached.load(std::memory_order_relaxed);
    if (function == nullptr) {
        function = next<F>(name());
        cached.store(function, std::memory_order_relaxed);
    }
    return function;
}

} // namespace kzr415::sim
