#include "i2c-dev-interposer.hpp"

#include "i2c-dev-client.hpp"
#include "state-file.hpp"

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <string_view>
#include <utility>

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

namespace kzr415::sim {

namespace {

using open_fn = int (*)(const char *, int, ...);
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
// that every call site has a type, and a cached pointer, of its own.
template <class F, class Name>
F next_cached(Name name) {
    static const F function = next<F>(name());
    return function;
}

constexpr int max_tracked_fd = 4096;

// A further simulated node with its own bus and device, added by a test.
struct ExtraNode {
    ExtraNode(std::string node_path, const DeviceModel &device)
        : path(std::move(node_path)), bus(device) {}
    std::string path;
    EmulatedBus bus;
};

struct State {
    SimConfig config;
    EmulatedBus bus;
    std::mutex extra_lock;            // guards the list, not the buses (each has its own lock)
    std::list<ExtraNode> extra_nodes; // never shrinks: descriptors keep pointing at buses
    // The bus behind each stand-in descriptor; null for every other descriptor.
    std::array<std::atomic<EmulatedBus *>, max_tracked_fd> simulated{};
    std::array<I2cDevClient, max_tracked_fd> clients{};
    std::unique_ptr<StateFile> state_file;
};

void apply(State &state, const SimConfig &config) {
    state.config = config;
    DeviceModel device(config.address);
    device.registers() = config.registers;
    state.bus.reset(device);
    state.bus.set_device_present(config.device_present);
    state.bus.set_fault(config.fault);
    state.bus.set_recording(config.record);
    state.bus.set_state_file(nullptr);
    state.state_file.reset();
    if (!config.state.empty()) {
        state.state_file = std::make_unique<StateFile>(config.state);
        state.bus.set_state_file(state.state_file.get());
    }
    if (const int old_trace = state.bus.trace_fd(); old_trace >= 0) {
        next<close_fn>("close")(old_trace);
    }
    int trace_fd = -1;
    if (config.trace == "-") {
        trace_fd = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    } else if (!config.trace.empty()) {
        trace_fd = next<open_fn>("open")(config.trace.c_str(),
                                         O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    }
    state.bus.set_trace_fd(trace_fd);
}

// Never destroyed: descriptors may still be closed while the process runs its exit handlers.
State &state() {
    static State &instance = *new State;
    static std::once_flag from_environment;
    std::call_once(from_environment, [] {
        std::string error;
        const auto config = config_from_environment(error);
        if (!config) {
            // Straight to the C library: this process's write is the interposed one.
            const std::string line = "kzr-415 emulated bus: " + error + "\n";
            (void)next<write_fn>("write")(STDERR_FILENO, line.data(), line.size());
            std::_Exit(2);
        }
        apply(instance, *config);
    });
    return instance;
}

ExtraNode *find_extra_node(State &s, std::string_view path) {
    const std::lock_guard guard(s.extra_lock);
    for (auto &node : s.extra_nodes) {
        if (node.path == path) {
            return &node;
        }
    }
    return nullptr;
}

bool is_node(const char *path) {
    if (path == nullptr) {
        return false;
    }
    auto &s = state();
    return s.config.node == path || find_extra_node(s, path) != nullptr;
}

// Opens a stand-in descriptor for a simulated node; -1 with errno set on failure.
int open_node(const char *path, int flags) {
    auto &s = state();
    EmulatedBus *node_bus = &s.bus;
    if (auto *extra = find_extra_node(s, path)) {
        node_bus = &extra->bus;
    } else if (!s.config.node_present) {
        errno = ENOENT;
        return -1;
    }
    const int fd = next<open_fn>("open")("/dev/null", O_RDWR | (flags & O_CLOEXEC));
    if (fd >= max_tracked_fd) {
        next<close_fn>("close")(fd);
        errno = EMFILE;
        return -1;
    }
    if (fd >= 0) {
        s.clients[static_cast<std::size_t>(fd)].reset();
        s.simulated[static_cast<std::size_t>(fd)] = node_bus;
    }
    return fd;
}

EmulatedBus *simulated_bus(int fd) {
    return fd >= 0 && fd < max_tracked_fd ? state().simulated[static_cast<std::size_t>(fd)].load()
                                          : nullptr;
}

I2cDevClient &client(int fd) {
    return state().clients[static_cast<std::size_t>(fd)];
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

int serve_ioctl(EmulatedBus &node_bus, int fd, unsigned long request, void *arg) {
    return static_cast<int>(c_result(client_ioctl(node_bus, client(fd), request, arg)));
}

} // namespace

void configure(const SimConfig &config) {
    apply(state(), config);
}

EmulatedBus &bus() {
    return state().bus;
}

EmulatedBus &add_node(const std::string &path, const DeviceModel &device) {
    auto &s = state();
    const std::lock_guard guard(s.extra_lock);
    for (auto &node : s.extra_nodes) {
        if (node.path == path) {
            node.bus.reset(device);
            return node.bus;
        }
    }
    return s.extra_nodes.emplace_back(path, device).bus;
}

} // namespace kzr415::sim

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
        return sim::serve_ioctl(*bus, fd, request, arg);
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
    if (sim::simulated_bus(fd) != nullptr) {
        sim::state().simulated[static_cast<std::size_t>(fd)] = nullptr;
    }
    return sim::next_cached<sim::close_fn>([] { return "close"; })(fd);
}

// read and write on the node move one message from or to the descriptor's slave address.
// Every read and write of the program passes here, so the C library's are looked up once.
ssize_t kzr415_read(int fd, void *buffer, size_t count) {
    if (auto *bus = sim::simulated_bus(fd)) {
        return sim::c_result(sim::client_read(*bus, sim::client(fd), buffer, count));
    }
    static const auto real = sim::next<sim::read_fn>("read");
    return real(fd, buffer, count);
}

ssize_t kzr415_read_chk(int fd, void *buffer, size_t count, size_t size) {
    auto *bus = sim::simulated_bus(fd);
    if (bus != nullptr && count <= size) {
        return sim::c_result(sim::client_read(*bus, sim::client(fd), buffer, count));
    }
    static const auto real = sim::next<sim::read_chk_fn>("__read_chk");
    return real(fd, buffer, count, size);
}

ssize_t kzr415_write(int fd, const void *buffer, size_t count) {
    if (auto *bus = sim::simulated_bus(fd)) {
        return sim::c_result(sim::client_write(*bus, sim::client(fd), buffer, count));
    }
    static const auto real = sim::next<sim::write_fn>("write");
    return real(fd, buffer, count);
}
