// The C library's entry points that the preload (or a test program linked with it)
// defines in place of the C library's: opening a simulated node gives a descriptor of its
// own (simulated-nodes.hpp), on which ioctl, read and write are served by the emulated bus;
// every other path and descriptor goes on to the C library's own function.
#include "bus/i2c-dev-client.hpp"
#include "bus/standard-error.hpp"
#include "preload/simulated-nodes.hpp"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstddef>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/ioctl.h>
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
}

namespace kzr415::sim {

// The C library's own definition of a function that this process interposes: dlsym's
// RTLD_NEXT, past the preload (or the test program) that defines it first.
using openat_fn = int (*)(int, const char *, int, ...);
using open2_fn = int (*)(const char *, int);
using ioctl_fn = int (*)(int, unsigned long, ...);
using close_fn = int (*)(int);
using read_fn = ssize_t (*)(int, void *, std::size_t);
using read_chk_fn = ssize_t (*)(int, void *, std::size_t, std::size_t);
using write_fn = ssize_t (*)(int, const void *, std::size_t);

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

// An open of `path`, from `dirfd` when relative: a simulated node's own descriptor, else the
// C library's openat, which open, open64 (open with O_LARGEFILE) and openat64 are too.
int open_path(int dirfd, const char *path, int flags, mode_t mode) {
    const int node = sim::node_index(dirfd, path);
    return node >= 0 ? sim::open_node(node, flags) : sim::next_cached<sim::openat_fn>([] {
        return "openat";
    })(dirfd, path, flags, mode);
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
