#include "simulated-nodes.hpp"

#include "next-symbol.hpp"
#include "state-file.hpp"

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <list>
#include <memory>
#include <mutex>
#include <string_view>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

namespace kzr415::sim {

namespace {

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

// The trace's descriptor for `destination`: a file appended to, "-" for standard error,
// empty for none (-1). Opened through the C library's own open: this process's is the
// interposed one.
int open_trace(const std::string &destination) {
    if (destination == "-") {
        return fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    }
    if (destination.empty()) {
        return -1;
    }
    return next<open_fn>("open")(destination.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC,
                                 0644);
}

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
    state.bus.set_trace_fd(open_trace(config.trace));
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

bool is_node(const char *path) {
    if (path == nullptr) {
        return false;
    }
    auto &s = state();
    return s.config.node == path || find_extra_node(s, path) != nullptr;
}

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

void forget_descriptor(int fd) {
    if (simulated_bus(fd) != nullptr) {
        state().simulated[static_cast<std::size_t>(fd)] = nullptr;
    }
}

} // namespace kzr415::sim
