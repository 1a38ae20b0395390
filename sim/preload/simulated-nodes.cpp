#include "preload/simulated-nodes.hpp"

#include "bus/emulated-bus.hpp"
#include "replay/replay-device.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <list>
#include <memory>
#include <mutex>
#include <string_view>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace kzr415::sim {

namespace {

constexpr int max_known_fd = 4096;
constexpr const char *node_file_name = "kzr-415-sim-node";
constexpr std::string_view node_link = "/memfd:kzr-415-sim-node (deleted)";

// A node descriptor's file position: the i2c-dev settings of the open file and its node.
// Bit 30 marks a position that the preload set.
constexpr std::uint64_t position_mark = std::uint64_t{1} << 30;
constexpr unsigned ten_bit_bit = 10;
constexpr unsigned pec_bit = 11;
constexpr unsigned readable_bit = 12;
constexpr unsigned writable_bit = 13;
constexpr unsigned index_shift = 16;
constexpr int max_nodes = 255;

constexpr std::uint64_t flag(bool set, unsigned bit) {
    return set ? std::uint64_t{1} << bit : 0;
}

std::uint64_t encode(const I2cDevClient &client, int index) {
    return position_mark | (client.address & 0x3FFU) | flag(client.ten_bit, ten_bit_bit) |
           flag(client.pec, pec_bit) | flag(client.readable, readable_bit) |
           flag(client.writable, writable_bit) | (static_cast<std::uint64_t>(index) << index_shift);
}

I2cDevClient decode(std::uint64_t position) {
    I2cDevClient client;
    client.address = static_cast<std::uint16_t>(position & 0x3FFU);
    client.ten_bit = ((position >> ten_bit_bit) & 1U) != 0;
    client.pec = ((position >> pec_bit) & 1U) != 0;
    client.readable = ((position >> readable_bit) & 1U) != 0;
    client.writable = ((position >> writable_bit) & 1U) != 0;
    return client;
}

// A further simulated node with its own bus and device, added by a test.
struct ExtraNode {
    ExtraNode(std::string node_path, const Device &device)
        : path(std::move(node_path)), bus(device) {}
    std::string path;
    EmulatedBus bus;
};

struct State {
    SimConfig config;
    std::string node_path; // config.node, normalised
    EmulatedBus bus;
    std::mutex extra_lock;            // guards the list, not the buses (each has its own lock)
    std::list<ExtraNode> extra_nodes; // never shrinks: descriptors keep pointing at buses
    std::atomic<bool> has_extra_nodes{false};
    // For each descriptor number this process saw open on a node: that file's inode number
    // and the node's index, (ino << 8) | index; 0 for none. A hint only: fstat confirms it.
    std::array<std::atomic<std::uint64_t>, max_known_fd> known{};
    std::atomic<dev_t> node_device{0}; // the device of the memory files' inodes
    std::unique_ptr<StateFile> state_file;
    std::unique_ptr<ReplayDevice> replay; // answers in the device's place when replaying
};

// `path` with repeated "/", "." and ".." resolved by their names, from `base` when relative.
std::string normalised(std::string_view base, std::string_view path) {
    return (std::filesystem::path(base) / path).lexically_normal().string();
}

// The last name of a path that does not end in '/'.
std::string_view last_name(std::string_view path) {
    return path.substr(path.rfind('/') + 1);
}

// The folder that a relative path starts from: the current one, or the one `dirfd` is open
// on. Empty when it cannot be told.
std::string folder_of(int dirfd) {
    std::array<char, 4096> text{};
    if (dirfd == AT_FDCWD) {
        return getcwd(text.data(), text.size()) != nullptr ? std::string(text.data()) : "";
    }
    const std::string link = "/proc/self/fd/" + std::to_string(dirfd);
    const ssize_t length = readlink(link.c_str(), text.data(), text.size() - 1);
    return length > 0 && text[0] == '/' ? std::string(text.data(), static_cast<std::size_t>(length))
                                        : "";
}

// A setting the process cannot run with: one line on standard error, status 2.
[[noreturn]] void refuse(const std::string &what) {
    const std::string line = "kzr-415 emulated bus: " + what + "\n";
    (void)syscall(SYS_write, STDERR_FILENO, line.data(), line.size());
    std::_Exit(2);
}

void apply(State &state, const SimConfig &config) {
    state.config = config;
    state.node_path = normalised("/", config.node);
    state.bus.reset(config.device);
    state.bus.set_recording(config.record);
    state.bus.set_state_file(nullptr);
    state.state_file.reset();
    if (!config.state.empty()) {
        state.state_file = std::make_unique<StateFile>(config.state);
        state.bus.set_state_file(state.state_file.get(), config.run);
    }
    state.bus.set_device_file(config.device_file);
    state.bus.set_trace(config.trace);
    state.bus.set_responder(nullptr);
    state.replay.reset();
    if (!config.replay.empty()) {
        std::string error;
        auto recording = load_recording(config.replay, error);
        if (!recording) { // kzr-415-sim read it before the program started: gone meanwhile
            refuse("bad value for KZR415_SIM_REPLAY: " + error);
        }
        state.replay = std::make_unique<ReplayDevice>(std::move(*recording), config.replay_report);
        state.bus.set_responder(state.replay.get());
    }
}

// Around fork: no bus lock (nor the list of added nodes) may stay taken in the child by a
// thread that does not exist there.
void hold_for_fork();
void release_after_fork();

// Never destroyed: descriptors may still be closed while the process runs its exit handlers.
State &state() {
    // The preload serves the whole process, so its state is the process's; this function is
    // the one way to it.
    // NOLINTNEXTLINE(cppcoreguidelines-avoid-non-const-global-variables)
    static State &instance = *new State;
    static std::once_flag from_environment;
    std::call_once(from_environment, [] {
        std::string error;
        const auto config = config_from_environment(error);
        if (!config) {
            refuse(error);
        }
        apply(instance, *config);
        pthread_atfork(hold_for_fork, release_after_fork, release_after_fork);
    });
    return instance;
}

// The configured bus first: its hold blocks every signal, so that no handler that forks
// runs in this thread while it holds any of these locks.
void hold_for_fork() {
    auto &s = state();
    s.bus.hold_for_fork();
    s.extra_lock.lock();
    for (auto &node : s.extra_nodes) {
        node.bus.hold_for_fork();
    }
}

void release_after_fork() {
    auto &s = state();
    for (auto &node : s.extra_nodes) {
        node.bus.release_after_fork();
    }
    s.extra_lock.unlock();
    s.bus.release_after_fork();
}

EmulatedBus *bus_at(State &s, std::uint64_t index) {
    if (index == 0) {
        return &s.bus;
    }
    const std::lock_guard guard(s.extra_lock);
    if (index > s.extra_nodes.size()) {
        return nullptr;
    }
    return &std::next(s.extra_nodes.begin(), static_cast<std::ptrdiff_t>(index - 1))->bus;
}

bool in_table(int fd) {
    return fd >= 0 && fd < max_known_fd;
}

// Whether the open file behind `fd` (with `status` from fstat) is a node's memory file; the
// node's index from its position when it is.
bool is_node_file(int fd, const struct stat &status, std::uint64_t &index) {
    auto &s = state();
    const dev_t device = s.node_device.load(std::memory_order_relaxed);
    if (!S_ISREG(status.st_mode) || status.st_size != 0 ||
        (device != 0 && status.st_dev != device)) {
        return false;
    }
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    std::array<char, 64> target{};
    const ssize_t length = readlink(link.c_str(), target.data(), target.size());
    if (length < 0 ||
        std::string_view(target.data(), static_cast<std::size_t>(length)) != node_link) {
        return false;
    }
    const off_t position = lseek(fd, 0, SEEK_CUR);
    if (position < 0 || (static_cast<std::uint64_t>(position) & position_mark) == 0) {
        return false;
    }
    index = (static_cast<std::uint64_t>(position) >> index_shift) & 0xFFU;
    s.node_device.store(status.st_dev, std::memory_order_relaxed);
    return true;
}

void remember(int fd, const struct stat &status, std::uint64_t index) {
    if (in_table(fd)) {
        state().known[static_cast<std::size_t>(fd)].store(
            (static_cast<std::uint64_t>(status.st_ino) << 8) | index, std::memory_order_relaxed);
    }
}

} // namespace

void initialise() {
    (void)state();
}

void configure(const SimConfig &config) {
    apply(state(), config);
}

EmulatedBus &bus() {
    return state().bus;
}

EmulatedBus &add_node(const std::string &path, const Device &device) {
    auto &s = state();
    const std::string name = normalised("/", path);
    const std::lock_guard guard(s.extra_lock);
    const auto known = std::find_if(s.extra_nodes.begin(), s.extra_nodes.end(),
                                    [&name](const auto &node) { return node.path == name; });
    if (known != s.extra_nodes.end()) {
        known->bus.reset(device);
        return known->bus;
    }
    if (s.extra_nodes.size() >= max_nodes) {
        std::abort(); // a test's mistake: the file position holds 8 bits of node
    }
    auto &added = s.extra_nodes.emplace_back(name, device).bus;
    s.has_extra_nodes = true;
    return added;
}

int node_index(int dirfd, const char *path) {
    if (path == nullptr || *path == '\0' || std::string_view(path).back() == '/') {
        return -1; // a node is no folder: such a path is the C library's (ENOTDIR, ENOENT)
    }
    auto &s = state();
    const std::string_view name = last_name(path);
    // Most paths a program opens end in another name: no system call for those.
    bool candidate = name == last_name(s.node_path);
    if (!candidate && s.has_extra_nodes) {
        const std::lock_guard guard(s.extra_lock);
        for (const auto &node : s.extra_nodes) {
            candidate = candidate || name == last_name(node.path);
        }
    }
    if (!candidate) {
        return -1;
    }
    std::string base = "/";
    if (path[0] != '/') {
        base = folder_of(dirfd);
        if (base.empty()) {
            return -1;
        }
    }
    const std::string full = normalised(base, path);
    if (full == s.node_path) {
        return 0;
    }
    const std::lock_guard guard(s.extra_lock);
    int index = 1;
    for (const auto &node : s.extra_nodes) {
        if (node.path == full) {
            return index;
        }
        ++index;
    }
    return -1;
}

int open_node(int index, int flags) {
    auto &s = state();
    if (index == 0 && !s.config.node_present) {
        errno = ENOENT;
        return -1;
    }
    if ((flags & O_CREAT) != 0 && (flags & O_EXCL) != 0) {
        errno = EEXIST;
        return -1;
    }
    if ((flags & O_DIRECTORY) != 0) {
        errno = ENOTDIR;
        return -1;
    }
    const unsigned memfd_flags = MFD_ALLOW_SEALING | ((flags & O_CLOEXEC) != 0 ? MFD_CLOEXEC : 0U);
    const int fd = memfd_create(node_file_name, memfd_flags);
    if (fd < 0) {
        return -1;
    }
    I2cDevClient client;
    const int mode = flags & O_ACCMODE;
    client.readable = mode == O_RDONLY || mode == O_RDWR;
    client.writable = mode == O_WRONLY || mode == O_RDWR;
    struct stat status {};
    // Sealed empty: the C library's read finds nothing in it and its write is refused.
    if (fcntl(fd, F_ADD_SEALS, F_SEAL_WRITE | F_SEAL_GROW | F_SEAL_SHRINK | F_SEAL_SEAL) != 0 ||
        lseek(fd, static_cast<off_t>(encode(client, index)), SEEK_SET) < 0 ||
        fstat(fd, &status) != 0) {
        const int error = errno;
        (void)syscall(SYS_close, fd);
        errno = error;
        return -1;
    }
    s.node_device.store(status.st_dev, std::memory_order_relaxed);
    remember(fd, status, static_cast<std::uint64_t>(index));
    return fd;
}

EmulatedBus *simulated_bus(int fd) {
    if (!in_table(fd)) {
        return nullptr;
    }
    auto &s = state();
    const std::uint64_t known =
        s.known[static_cast<std::size_t>(fd)].load(std::memory_order_relaxed);
    if (known == 0) {
        return nullptr;
    }
    struct stat status {};
    if (fstat(fd, &status) == 0 &&
        (static_cast<std::uint64_t>(status.st_ino) << 8) == (known & ~0xFFULL) &&
        status.st_dev == s.node_device.load(std::memory_order_relaxed)) {
        return bus_at(s, known & 0xFFU);
    }
    // Closed or replaced behind this process's back (fclose, close_range, dup2...).
    s.known[static_cast<std::size_t>(fd)].store(0, std::memory_order_relaxed);
    return unrecognised_node_bus(fd);
}

EmulatedBus *unrecognised_node_bus(int fd) {
    const int error = errno;
    struct stat status {};
    std::uint64_t index = 0;
    EmulatedBus *found = nullptr;
    if (fd >= 0 && fstat(fd, &status) == 0 && is_node_file(fd, status, index)) {
        found = bus_at(state(), index);
        if (found != nullptr) {
            remember(fd, status, index);
        }
    }
    errno = error;
    return found;
}

I2cDevClient load_client(int fd) {
    const off_t position = lseek(fd, 0, SEEK_CUR);
    return decode(position < 0 ? 0 : static_cast<std::uint64_t>(position));
}

void store_client(int fd, const I2cDevClient &client) {
    const off_t position = lseek(fd, 0, SEEK_CUR);
    if (position >= 0) {
        const auto index = (static_cast<std::uint64_t>(position) >> index_shift) & 0xFFU;
        (void)lseek(fd, static_cast<off_t>(encode(client, static_cast<int>(index))), SEEK_SET);
    }
}

void forget_descriptor(int fd) {
    if (in_table(fd)) {
        state().known[static_cast<std::size_t>(fd)].store(0, std::memory_order_relaxed);
    }
}

} // namespace kzr415::sim
