// The C library's entry points that the preload (or a test program linked with it)
// defines in place of the C library's: opening a simulated node gives a descriptor of its
// own, on which ioctl, read, write and close are served by the emulated bus; every other
// path and descriptor goes on to the C library's own function.
#include "i2c-dev-client.hpp"
#include "next-symbol.hpp"
#include "simulated-nodes.hpp"

#include <cerrno>
#include <cstdarg>
#include <cstddef>

#include <fcntl.h>
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

namespace sim = kzr415::sim;

namespace {

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

} // namespace

int kzr415_open(const char *path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_argument(flags, args);
    va_end(args);
    return sim::is_node(path)
               ? sim::open_node(path, flags)
               : sim::next_cached<sim::open_fn>([] { return "open"; })(path, flags, mode);
}

int kzr415_open64(const char *path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_argument(flags, args);
    va_end(args);
    return sim::is_node(path)
               ? sim::open_node(path, flags)
               : sim::next_cached<sim::open_fn>([] { return "open64"; })(path, flags, mode);
}

int kzr415_openat(int dirfd, const char *path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_argument(flags, args);
    va_end(args);
    return sim::is_node(path) ? sim::open_node(path, flags) : sim::next_cached<sim::openat_fn>([] {
        return "openat";
    })(dirfd, path, flags, mode);
}

int kzr415_openat64(int dirfd, const char *path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_argument(flags, args);
    va_end(args);
    return sim::is_node(path) ? sim::open_node(path, flags) : sim::next_cached<sim::openat_fn>([] {
        return "openat64";
    })(dirfd, path, flags, mode);
}

int kzr415_open_2(const char *path, int flags) {
    return sim::is_node(path)
               ? sim::open_node(path, flags)
               : sim::next_cached<sim::open2_fn>([] { return "__open_2"; })(path, flags);
}

int kzr415_open64_2(const char *path, int flags) {
    return sim::is_node(path)
               ? sim::open_node(path, flags)
               : sim::next_cached<sim::open2_fn>([] { return "__open64_2"; })(path, flags);
}

namespace {
int forward_ioctl(sim::ioctl_fn real, int fd, unsigned long request, void *arg) {
    if (auto *bus = sim::simulated_bus(fd)) {
        return static_cast<int>(c_result(sim::client_ioctl(*bus, sim::client(fd), request, arg)));
    }
    if (real == nullptr) { // no __ioctl_time64 in a 64-bit C library
        real = sim::next_cached<sim::ioctl_fn>([] { return "ioctl"; });
    }
    return real(fd, request, arg);
}
} // namespace

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

int kzr415_close(int fd) {
    sim::forget_descriptor(fd);
    return sim::next_cached<sim::close_fn>([] { return "close"; })(fd);
}

// read and write on the node move one message from or to the descriptor's slave address.
// Every read and write of the program passes here, so the C library's are looked up once.
ssize_t kzr415_read(int fd, void *buffer, size_t count) {
    if (auto *bus = sim::simulated_bus(fd)) {
        return c_result(sim::client_read(*bus, sim::client(fd), buffer, count));
    }
    static const auto real = sim::next<sim::read_fn>("read");
    return real(fd, buffer, count);
}

ssize_t kzr415_read_chk(int fd, void *buffer, size_t count, size_t size) {
    auto *bus = sim::simulated_bus(fd);
    if (bus != nullptr && count <= size) {
        return c_result(sim::client_read(*bus, sim::client(fd), buffer, count));
    }
    static const auto real = sim::next<sim::read_chk_fn>("__read_chk");
    return real(fd, buffer, count, size);
}

ssize_t kzr415_write(int fd, const void *buffer, size_t count) {
    if (auto *bus = sim::simulated_bus(fd)) {
        return c_result(sim::client_write(*bus, sim::client(fd), buffer, count));
    }
    static const auto real = sim::next<sim::write_fn>("write");
    return real(fd, buffer, count);
}
