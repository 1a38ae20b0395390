// The C library's entry points that the preload (or a test program linked with it)
// defines in place of the C library's: opening a simulated node (fopen and through symbolic
// links included) gives a descriptor of its own (simulated-nodes.hpp), on which ioctl, read,
// write, readv and writev are served by the emulated bus and lseek, mmap, ftruncate, fsync
// and fstat answer as for the kernel's i2c-dev node; every other path and descriptor goes on
// to the C library's own function.
#include "bus/i2c-dev-client.hpp"
#include "bus/standard-error.hpp"
#include "preload/c-library.hpp"
#include "preload/simulated-nodes.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

// The C library's entry points, under their own symbol names. Asm labels keep the names
// exact whatever <fcntl.h> redirects them to (open64 with 64-bit file offsets).
extern "C" {
int kzr415_open(const char *path, int flags, ...) __asm__("open");
int kzr415_open64(const char *path, int flags, ...) __asm__("open64");
int kzr415_openat(int dirfd, const char *path, int flags, ...) __asm__("openat");
int kzr415_openat64(int dirfd, const char *path, int flags, ...) __asm__("openat64");
int kzr415_open_2(const char *path, int flags) __asm__("__open_2");
int kzr415_open64_2(const char *path, int flags) __asm__("__open64_2");
int kzr415_ioctl(int fd, unsigned long request, ...) __asm__("ioctl");
int kzr415_ioctl_time64(int fd, unsigned long request, ...) __asm__("__ioctl_time64");
int kzr415_close(int fd) __asm__("close");
ssize_t kzr415_read(int fd, void *buffer, size_t count) __asm__("read");
ssize_t kzr415_read_chk(int fd, void *buffer, size_t count, size_t size) __asm__("__read_chk");
ssize_t kzr415_write(int fd, const void *buffer, size_t count) __asm__("write");
ssize_t kzr415_readv(int fd, const iovec *vector, int count) __asm__("readv");
ssize_t kzr415_writev(int fd, const iovec *vector, int count) __asm__("writev");
FILE *kzr415_fopen(const char *path, const char *mode) __asm__("fopen");
FILE *kzr415_fopen64(const char *path, const char *mode) __asm__("fopen64");
// The calls a character device without llseek, mmap and fsync refuses. The plain entry
// points take a long offset, which is a 32-bit target's off_t without 64-bit offsets.
long kzr415_lseek(int fd, long offset, int whence) __asm__("lseek");
std::int64_t kzr415_lseek64(int fd, std::int64_t offset, int whence) __asm__("lseek64");
// Not under ThreadSanitizer: its runtime maps memory through the program's mmap while it
// starts, before instrumented code may run.
#ifndef __SANITIZE_THREAD__
void *kzr415_mmap(void *address, size_t length, int protection, int flags, int fd,
                  long offset) __asm__("mmap");
void *kzr415_mmap64(void *address, size_t length, int protection, int flags, int fd,
                    std::int64_t offset) __asm__("mmap64");
#endif
int kzr415_ftruncate(int fd, long length) __asm__("ftruncate");
int kzr415_ftruncate64(int fd, std::int64_t length) __asm__("ftruncate64");
int kzr415_fsync(int fd) __asm__("fsync");
int kzr415_fdatasync(int fd) __asm__("fdatasync");
// fstat with 64-bit offsets and time, this file's struct stat (preload-status.cpp: the others).
int kzr415_fstat_time64(int fd, struct stat *status) __asm__("__fstat64_time64");
}

namespace kzr415::sim {

using openat_fn = int (*)(int, const char *, int, ...);
using open2_fn = int (*)(const char *, int);
using ioctl_fn = int (*)(int, unsigned long, ...);
using close_fn = int (*)(int);
using read_fn = ssize_t (*)(int, void *, std::size_t);
using read_chk_fn = ssize_t (*)(int, void *, std::size_t, std::size_t);
using write_fn = ssize_t (*)(int, const void *, std::size_t);
using vector_fn = ssize_t (*)(int, const iovec *, int);
using fopen_fn = FILE *(*)(const char *, const char *);
using fdopen_fn = FILE *(*)(int, const char *);

} // namespace kzr415::sim

namespace sim = kzr415::sim;

namespace {

// Standard error is noted and the configuration read before the program's own code runs,
// and before any thread of its exists.
__attribute__((constructor)) void start() {
    sim::note_standard_error();
    sim::initialise();
}

// A result or -errno as the C library gives it: the result, or -1 with errno set.
template <class T>
T c_result(T result) {
    if (result < 0) {
        errno = static_cast<int>(-result);
        return -1;
    }
    return result;
}

mode_t mode_argument(int flags, va_list args) {
    const bool has_mode = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
    return has_mode ? static_cast<mode_t>(va_arg(args, unsigned int)) : 0;
}

// The node that `path` names, from `dirfd` when relative: by its name, or through symbolic
// links when `creating` (the system would create the file a link names) or when the system
// found nothing at it (`found_nothing`); -1 for none.
int named_node(int dirfd, const char *path, bool creating, bool found_nothing) {
    if (!found_nothing) {
        const int node = sim::node_index(dirfd, path);
        if (node >= 0 || !creating) {
            return node;
        }
    }
    return sim::linked_node_index(dirfd, path);
}

// An open of `path`, from `dirfd` when relative: a simulated node's own descriptor, else the
// C library's openat, which open, open64 (open with O_LARGEFILE) and openat64 are too.
int open_path(int dirfd, const char *path, int flags, mode_t mode) {
    const bool creating = (flags & O_CREAT) != 0 && (flags & O_NOFOLLOW) == 0;
    int node = named_node(dirfd, path, creating, false);
    if (node >= 0) {
        return sim::open_node(node, flags);
    }
    const int fd =
        sim::next_cached<sim::openat_fn>([] { return "openat"; })(dirfd, path, flags, mode);
    if (fd < 0 && errno == ENOENT && !creating && (flags & O_NOFOLLOW) == 0) {
        node = named_node(dirfd, path, false, true);
        if (node >= 0) {
            return sim::open_node(node, flags);
        }
        errno = ENOENT;
    }
    return fd;
}

} // namespace

// NOLINTBEGIN(cppcoreguidelines-pro-bounds-array-to-pointer-decay): va_list is an array type
// on some targets (x86-64), which va_start, va_arg and va_end take as a pointer by their
// definition; the C library's variadic entry points cannot do without them.
int kzr415_open(const char *path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_argument(flags, args);
    va_end(args);
    return open_path(AT_FDCWD, path, flags, mode);
}

int kzr415_open64(const char *path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_argument(flags, args);
    va_end(args);
    return open_path(AT_FDCWD, path, flags | O_LARGEFILE, mode);
}

int kzr415_openat(int dirfd, const char *path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_argument(flags, args);
    va_end(args);
    return open_path(dirfd, path, flags, mode);
}

int kzr415_openat64(int dirfd, const char *path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_argument(flags, args);
    va_end(args);
    return open_path(dirfd, path, flags | O_LARGEFILE, mode);
}
// NOLINTEND(cppcoreguidelines-pro-bounds-array-to-pointer-decay)

// The fortified opens check their flags before they open: they stay the C library's own.
int kzr415_open_2(const char *path, int flags) {
    const int node = sim::node_index(AT_FDCWD, path);
    return node >= 0 ? sim::open_node(node, flags)
                     : sim::next_cached<sim::open2_fn>([] { return "__open_2"; })(path, flags);
}

int kzr415_open64_2(const char *path, int flags) {
    const int node = sim::node_index(AT_FDCWD, path);
    return node >= 0 ? sim::open_node(node, flags)
                     : sim::next_cached<sim::open2_fn>([] { return "__open64_2"; })(path, flags);
}

namespace {

// The requests that the kernel serves for every descriptor before the driver sees them.
bool for_every_file(unsigned long request) {
    return request == FIOCLEX || request == FIONCLEX || request == FIONBIO || request == FIOASYNC;
}

// i2c-dev's requests: type 0x07, no size or direction bits (I2C_SLAVE ... I2C_SMBUS).
bool i2c_dev_request(unsigned long request) {
    return (request & ~0xFFUL) == 0x0700;
}

long node_ioctl(sim::EmulatedBus &bus, int fd, unsigned long request, void *arg) {
    if (!sim::uses_client(request)) {
        sim::I2cDevClient unused;
        return sim::client_ioctl(bus, unused, request, arg);
    }
    sim::I2cDevClient client = sim::load_client(fd);
    const sim::I2cDevClient before = client;
    const long result = sim::client_ioctl(bus, client, request, arg);
    if (client != before) {
        sim::store_client(fd, client);
    }
    return result;
}

int forward_ioctl(sim::ioctl_fn real, int fd, unsigned long request, void *arg) {
    if (real == nullptr) { // no __ioctl_time64 in a 64-bit C library
        real = sim::next_cached<sim::ioctl_fn>([] { return "ioctl"; });
    }
    if (!for_every_file(request)) {
        if (auto *bus = sim::simulated_bus(fd)) {
            return static_cast<int>(c_result(node_ioctl(*bus, fd, request, arg)));
        }
    }
    const int result = real(fd, request, arg);
    // A node's descriptor that this process has not met yet: the memory file behind it
    // knows no i2c-dev request (ENOTTY; ENOSYS under qemu-arm's user mode, which does not
    // pass on requests it does not know).
    if (result < 0 && (errno == ENOTTY || errno == ENOSYS) && i2c_dev_request(request)) {
        if (auto *bus = sim::unrecognised_node_bus(fd)) {
            return static_cast<int>(c_result(node_ioctl(*bus, fd, request, arg)));
        }
    }
    return result;
}

} // namespace

// NOLINTBEGIN(cppcoreguidelines-pro-bounds-array-to-pointer-decay): va_list, as above.
int kzr415_ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void *arg = va_arg(args, void *);
    va_end(args);
    return forward_ioctl(sim::next_cached<sim::ioctl_fn>([] { return "ioctl"; }), fd, request, arg);
}

int kzr415_ioctl_time64(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void *arg = va_arg(args, void *);
    va_end(args);
    return forward_ioctl(sim::next_cached<sim::ioctl_fn>([] { return "__ioctl_time64"; }), fd,
                         request, arg);
}
// NOLINTEND(cppcoreguidelines-pro-bounds-array-to-pointer-decay)

int kzr415_close(int fd) {
    sim::forget_descriptor(fd);
    return sim::next_cached<sim::close_fn>([] { return "close"; })(fd);
}

// read and write on the node move one message from or to the descriptor's slave address.
// On a node's descriptor not met yet, the C library's read finds nothing in the empty
// memory file and its write is refused: then it is served here.
namespace {

ssize_t node_read(sim::EmulatedBus &bus, int fd, void *buffer, size_t count) {
    return c_result(sim::client_read(bus, sim::load_client(fd), buffer, count));
}

} // namespace

ssize_t kzr415_read(int fd, void *buffer, size_t count) {
    if (auto *bus = sim::simulated_bus(fd)) {
        return node_read(*bus, fd, buffer, count);
    }
    const ssize_t result = sim::next_cached<sim::read_fn>([] { return "read"; })(fd, buffer, count);
    if (result == 0 && count != 0) {
        if (auto *bus = sim::unrecognised_node_bus(fd)) {
            return node_read(*bus, fd, buffer, count);
        }
    }
    return result;
}

// Fortified: a count its buffer holds is an ordinary read; the C library's own ends the
// program for any other.
ssize_t kzr415_read_chk(int fd, void *buffer, size_t count, size_t size) {
    if (count <= size) {
        return kzr415_read(fd, buffer, count);
    }
    return sim::next_cached<sim::read_chk_fn>([] { return "__read_chk"; })(fd, buffer, count, size);
}

ssize_t kzr415_write(int fd, const void *buffer, size_t count) {
    if (auto *bus = sim::simulated_bus(fd)) {
        return c_result(sim::client_write(*bus, sim::load_client(fd), buffer, count));
    }
    const ssize_t result =
        sim::next_cached<sim::write_fn>([] { return "write"; })(fd, buffer, count);
    if (result < 0 && errno == EPERM) {
        if (auto *bus = sim::unrecognised_node_bus(fd)) {
            return c_result(sim::client_write(*bus, sim::load_client(fd), buffer, count));
        }
    }
    return result;
}

// readv and writev on the node move one message per buffer, one after another, as the
// kernel's loop over a character device's read and write: the bytes moved until a message
// moves fewer than its buffer, or the first message's error.
namespace {

// The program's list of buffers, visited in order a few at a time, so that no list of any
// length needs more than a small copy on the stack: `visit` returns false to stop. -EFAULT
// when the list cannot be read, else 0.
template <class Visit>
long each_buffer(const iovec *vector, std::size_t count, Visit visit) {
    constexpr std::size_t chunk = 16;
    std::array<iovec, chunk> buffers{};
    for (std::size_t done = 0; done < count; done += chunk) {
        const std::size_t size = std::min(chunk, count - done);
        if (!sim::copy_from_program(buffers.data(), vector + done, size * sizeof(iovec))) {
            return -EFAULT;
        }
        // Each buffer is a transfer, in order, until one fails.
        for (const auto &buffer : std::span(buffers).first(size)) {
            // cppcheck-suppress useStlAlgorithm
            if (!visit(buffer)) {
                return 0;
            }
        }
    }
    return 0;
}

// As the kernel's readv and writev on a character device: the access mode first, then the
// list (EINVAL for a count outside 0 to IOV_MAX or a total past SSIZE_MAX, EFAULT for a list
// it cannot read), then one message per non-empty buffer until one moves less than its
// buffer; the bytes moved, or the first message's error when none moved.
template <class Move>
ssize_t node_vector(int fd, const iovec *vector, int count, bool writing, Move move) {
    const sim::I2cDevClient client = sim::load_client(fd);
    if (!(writing ? client.writable : client.readable)) {
        return c_result(ssize_t{-EBADF});
    }
    if (count < 0 || count > IOV_MAX) {
        return c_result(ssize_t{-EINVAL});
    }
    const auto size = static_cast<std::size_t>(count);
    std::size_t total = 0;
    bool too_long = false;
    const long listed = each_buffer(vector, size, [&](const iovec &buffer) {
        too_long = buffer.iov_len > static_cast<std::size_t>(SSIZE_MAX) - total;
        total += too_long ? 0 : buffer.iov_len;
        return !too_long;
    });
    if (listed < 0 || too_long) {
        return c_result(ssize_t{too_long ? -EINVAL : listed});
    }
    ssize_t moved = 0;
    ssize_t error = 0;
    (void)each_buffer(vector, size, [&](const iovec &buffer) {
        if (buffer.iov_len == 0) {
            return true;
        }
        const ssize_t result = move(client, buffer);
        if (result < 0) {
            error = moved > 0 ? 0 : result;
            return false;
        }
        moved += result;
        return static_cast<std::size_t>(result) == buffer.iov_len;
    });
    return error < 0 ? c_result(error) : moved;
}

ssize_t node_readv(sim::EmulatedBus &bus, int fd, const iovec *vector, int count) {
    return node_vector(fd, vector, count, false, [&bus](const auto &client, const iovec &buffer) {
        return sim::client_read(bus, client, buffer.iov_base, buffer.iov_len);
    });
}

ssize_t node_writev(sim::EmulatedBus &bus, int fd, const iovec *vector, int count) {
    return node_vector(fd, vector, count, true, [&bus](const auto &client, const iovec &buffer) {
        return sim::client_write(bus, client, buffer.iov_base, buffer.iov_len);
    });
}

} // namespace

ssize_t kzr415_readv(int fd, const iovec *vector, int count) {
    if (auto *bus = sim::simulated_bus(fd)) {
        return node_readv(*bus, fd, vector, count);
    }
    const ssize_t result =
        sim::next_cached<sim::vector_fn>([] { return "readv"; })(fd, vector, count);
    if (result == 0 && count > 0) {
        if (auto *bus = sim::unrecognised_node_bus(fd)) {
            return node_readv(*bus, fd, vector, count);
        }
    }
    return result;
}

ssize_t kzr415_writev(int fd, const iovec *vector, int count) {
    if (auto *bus = sim::simulated_bus(fd)) {
        return node_writev(*bus, fd, vector, count);
    }
    const ssize_t result =
        sim::next_cached<sim::vector_fn>([] { return "writev"; })(fd, vector, count);
    if (result < 0 && errno == EPERM) {
        if (auto *bus = sim::unrecognised_node_bus(fd)) {
            return node_writev(*bus, fd, vector, count);
        }
    }
    return result;
}

// fopen of the node: the node's descriptor, in a stream of the C library's (fdopen). The
// stream's own buffered reads and writes reach the system directly, not these entry points.
namespace {

// The open flags of a stream mode, as fopen takes it: "r", "w", "a", then "+", "e", "x".
int stream_flags(const char *mode) {
    int flags = 0;
    switch (*mode) {
    case 'r':
        flags = O_RDONLY;
        break;
    case 'w':
        flags = O_WRONLY | O_CREAT | O_TRUNC;
        break;
    case 'a':
        flags = O_WRONLY | O_CREAT | O_APPEND;
        break;
    default:
        return -1;
    }
    for (const char *c = mode + 1; *c != '\0' && *c != ','; ++c) {
        if (*c == '+') {
            flags = (flags & ~O_ACCMODE) | O_RDWR;
        } else if (*c == 'e') {
            flags |= O_CLOEXEC;
        } else if (*c == 'x') {
            flags |= O_EXCL;
        }
    }
    return flags;
}

FILE *node_stream(int node, int flags, const char *mode) {
    const int fd = sim::open_node(node, flags);
    if (fd < 0) {
        return nullptr;
    }
    FILE *stream = sim::next_cached<sim::fdopen_fn>([] { return "fdopen"; })(fd, mode);
    if (stream == nullptr) {
        const int error = errno;
        kzr415_close(fd);
        errno = error;
    }
    return stream;
}

FILE *open_stream(sim::fopen_fn real, const char *path, const char *mode) {
    const int flags = mode != nullptr ? stream_flags(mode) : -1;
    if (flags < 0 || path == nullptr) {
        return real(path, mode);
    }
    const bool creating = (flags & O_CREAT) != 0;
    int node = named_node(AT_FDCWD, path, creating, false);
    if (node >= 0) {
        return node_stream(node, flags, mode);
    }
    FILE *stream = real(path, mode);
    if (stream == nullptr && errno == ENOENT && !creating) {
        node = named_node(AT_FDCWD, path, false, true);
        if (node >= 0) {
            return node_stream(node, flags, mode);
        }
        errno = ENOENT;
    }
    return stream;
}

} // namespace

FILE *kzr415_fopen(const char *path, const char *mode) {
    return open_stream(sim::next_cached<sim::fopen_fn>([] { return "fopen"; }), path, mode);
}

FILE *kzr415_fopen64(const char *path, const char *mode) {
    return open_stream(sim::next_cached<sim::fopen_fn>([] { return "fopen64"; }), path, mode);
}

// What a character device without llseek, mmap and fsync answers: lseek ESPIPE, mmap
// ENODEV, ftruncate, fsync and fdatasync EINVAL. Any other descriptor is the C library's.
long kzr415_lseek(int fd, long offset, int whence) {
    if (sim::is_node(fd)) {
        return c_result(long{-ESPIPE});
    }
    using lseek_fn = long (*)(int, long, int);
    return sim::next_cached<lseek_fn>([] { return "lseek"; })(fd, offset, whence);
}

std::int64_t kzr415_lseek64(int fd, std::int64_t offset, int whence) {
    if (sim::is_node(fd)) {
        return c_result(std::int64_t{-ESPIPE});
    }
    using lseek64_fn = std::int64_t (*)(int, std::int64_t, int);
    return sim::next_cached<lseek64_fn>([] { return "lseek64"; })(fd, offset, whence);
}

#ifndef __SANITIZE_THREAD__
namespace {

bool maps_node(int flags, int fd) {
    if ((flags & MAP_ANONYMOUS) == 0 && fd >= 0 && sim::is_node(fd)) {
        errno = ENODEV;
        return true;
    }
    return false;
}

} // namespace

void *kzr415_mmap(void *address, size_t length, int protection, int flags, int fd, long offset) {
    if (maps_node(flags, fd)) {
        return MAP_FAILED;
    }
    using mmap_fn = void *(*)(void *, size_t, int, int, int, long);
    return sim::next_cached<mmap_fn>([] { return "mmap"; })(address, length, protection, flags, fd,
                                                            offset);
}

void *kzr415_mmap64(void *address, size_t length, int protection, int flags, int fd,
                    std::int64_t offset) {
    if (maps_node(flags, fd)) {
        return MAP_FAILED;
    }
    using mmap64_fn = void *(*)(void *, size_t, int, int, int, std::int64_t);
    return sim::next_cached<mmap64_fn>([] { return "mmap64"; })(address, length, protection, flags,
                                                                fd, offset);
}
#endif

int kzr415_ftruncate(int fd, long length) {
    if (sim::is_node(fd)) {
        return c_result(-EINVAL);
    }
    using ftruncate_fn = int (*)(int, long);
    return sim::next_cached<ftruncate_fn>([] { return "ftruncate"; })(fd, length);
}

int kzr415_ftruncate64(int fd, std::int64_t length) {
    if (sim::is_node(fd)) {
        return c_result(-EINVAL);
    }
    using ftruncate64_fn = int (*)(int, std::int64_t);
    return sim::next_cached<ftruncate64_fn>([] { return "ftruncate64"; })(fd, length);
}

int kzr415_fsync(int fd) {
    return sim::is_node(fd) ? c_result(-EINVAL)
                            : sim::next_cached<sim::close_fn>([] { return "fsync"; })(fd);
}

int kzr415_fdatasync(int fd) {
    return sim::is_node(fd) ? c_result(-EINVAL)
                            : sim::next_cached<sim::close_fn>([] { return "fdatasync"; })(fd);
}

int kzr415_fstat_time64(int fd, struct stat *status) {
    using fstat_fn = int (*)(int, struct stat *);
    auto real = sim::next_cached<fstat_fn>([] { return "__fstat64_time64"; });
    if (real == nullptr) { // a C library with one layout: its fstat
        real = sim::next_cached<fstat_fn>([] { return "fstat"; });
    }
    return sim::described_status(real, fd, status);
}
