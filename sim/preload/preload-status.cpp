// fstat's entry points for the layouts of struct stat that a program built without 64-bit
// file offsets and time binds on a 32-bit target: fstat (32-bit offsets) and fstat64 (64-bit
// offsets, 32-bit time). This file is built with the C library's default types so that the
// structures are those layouts; the one with 64-bit time is preload-entry-points.cpp's. On a
// 64-bit target all three are one layout.
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS

#include "preload/c-library.hpp"
#include "preload/node-status.hpp"

#include <sys/stat.h>

extern "C" {
int kzr415_fstat(int fd, struct stat *status) __asm__("fstat");
int kzr415_fstat64(int fd, struct stat64 *status) __asm__("fstat64");
}

namespace sim = kzr415::sim;

int kzr415_fstat(int fd, struct stat *status) {
    using fstat_fn = int (*)(int, struct stat *);
    return sim::described_status(sim::next_cached<fstat_fn>([] { return "fstat"; }), fd, status);
}

int kzr415_fstat64(int fd, struct stat64 *status) {
    using fstat64_fn = int (*)(int, struct stat64 *);
    return sim::described_status(sim::next_cached<fstat64_fn>([] { return "fstat64"; }), fd,
                                 status);
}
