#include "preload/simulated-nodes.hpp"

#include "bus/emulated-bus.hpp"
#include "bus/standard-error.hpp"
#include "replay/replay-device.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <climits>
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
    write_standard_error("kzr-415 emulated bus: " + what + "\n");
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
    // The setup's own calls of the C library (a replayed recording opened, mapped and closed)
    // come back through the preload's entry points: they meet the state as it is so far, no
    // descriptor of the program known in it, instead of waiting for the setup to end.
    thread_local bool setting_up = false;
    if (setting_up) {
        return instance;
    }
    std::call_once(from_environment, [] {
        setting_up = true;
        std::string error;
        const auto config = config_from_environment(error);
        if (!config) {
            refuse(error);
        }
        apply(instance, *config);
        pthread_atfork(hold_for_fork, release_after_fork, release_after_fork);
        setting_up = false;
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

// fstat and lseek straight to the system: in a preloaded program the C library's fstat and
// lseek are the bus's entry points. fstatat is not one. The positions the preload sets fit
// in 31 bits, so the plain lseek call serves on every target.
int file_status(int fd, struct stat &status) {
    return fstatat(fd, "", &status, AT_EMPTY_PATH);
}

off_t raw_seek(int fd, off_t position, int whence) {
    return static_cast<off_t>(syscall(SYS_lseek, fd, static_cast<long>(position), whence));
}

// Whether the file behind `fd` is a node's memory file, by its name alone.
bool has_node_name(int fd) {
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    std::array<char, 64> target{};
    const ssize_t length = readlink(link.c_str(), target.data(), target.size());
    return length >= 0 &&
           std::string_view(target.data(), static_cast<std::size_t>(length)) == node_link;
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
    if (!has_node_name(fd)) {
        return false;
    }
    const off_t position = raw_seek(fd, 0, SEEK_CUR);
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

// An O_PATH descriptor of the memory file `fd` in its place: the system itself refuses
// ioctl, read and write on it (EBADF), as on an O_PATH descriptor of the kernel's node.
int path_descriptor(int fd, int flags) {
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const int path_fd = static_cast<int>(
        syscall(SYS_openat, AT_FDCWD, link.c_str(), O_PATH | (flags & O_CLOEXEC), 0));
    const int error = errno;
    (void)syscall(SYS_close, fd);
    errno = error;
    return path_fd;
}

// The minor number of the node at `path`: the number its name ends in, as i2c-dev names
// its nodes (i2c-4 is bus 4, minor 4); 0 for a name that ends in none.
unsigned minor_of(std::string_view path) {
    const std::string_view name = last_name(path);
    std::size_t start = name.size();
    while (start > 0 && name[start - 1] >= '0' && name[start - 1] <= '9') {
        --start;
    }
    constexpr unsigned max_minor = 0xFFFFF; // 20 bits, as the kernel's minor numbers
    unsigned minor = 0;
    const auto digits = name.substr(start);
    const auto parsed = std::from_chars(digits.data(), digits.data() + digits.size(), minor);
    return parsed.ec == std::errc{} && minor <= max_minor ? minor : 0;
}

// The folder part of an absolute path, with its symbolic links resolved by the system; the
// path as it was when the folder does not exist.
std::string with_real_folder(const std::string &path) {
    const auto slash = path.rfind('/');
    const std::string folder = slash == 0 ? "/" : path.substr(0, slash);
    std::array<char, PATH_MAX> resolved{};
    if (realpath(folder.c_str(), resolved.data()) == nullptr) {
        return path;
    }
    return normalised(resolved.data(), path.substr(slash + 1));
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
    if ((flags & O_PATH) != 0) {
        return path_descriptor(fd, flags);
    }
    I2cDevClient client;
    const int mode = flags & O_ACCMODE;
    client.readable = mode == O_RDONLY || mode == O_RDWR;
    client.writable = mode == O_WRONLY || mode == O_RDWR;
    struct stat status {};
    // Sealed empty: the C library's read finds nothing in it and its write is refused.
    if (fcntl(fd, F_ADD_SEALS, F_SEAL_WRITE | F_SEAL_GROW | F_SEAL_SHRINK | F_SEAL_SEAL) != 0 ||
        raw_seek(fd, static_cast<off_t>(encode(client, index)), SEEK_SET) < 0 ||
        file_status(fd, status) != 0) {
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
    if (file_status(fd, status) == 0 &&
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
    if (fd >= 0 && file_status(fd, status) == 0 && is_node_file(fd, status, index)) {
        found = bus_at(state(), index);
        if (found != nullptr) {
            remember(fd, status, index);
        }
    }
    errno = error;
    return found;
}

I2cDevClient load_client(int fd) {
    const off_t position = raw_seek(fd, 0, SEEK_CUR);
    return decode(position < 0 ? 0 : static_cast<std::uint64_t>(position));
}

void store_client(int fd, const I2cDevClient &client) {
    const off_t position = raw_seek(fd, 0, SEEK_CUR);
    if (position >= 0) {
        const auto index = (static_cast<std::uint64_t>(position) >> index_shift) & 0xFFU;
        (void)raw_seek(fd, static_cast<off_t>(encode(client, static_cast<int>(index))), SEEK_SET);
    }
}

void forget_descriptor(int fd) {
    if (in_table(fd)) {
        state().known[static_cast<std::size_t>(fd)].store(0, std::memory_order_relaxed);
    }
}

} // namespace kzr415::sim

namespace kzr415::sim {

int linked_node_index(int dirfd, const char *path) {
    if (path == nullptr || *path == '\0') {
        return -1;
    }
    std::string full = path;
    if (path[0] != '/') {
        const std::string base = folder_of(dirfd);
        if (base.empty()) {
            return -1;
        }
        full = normalised(base, path);
    }
    constexpr int max_links = 40; // the kernel's limit on links followed in one lookup
    for (int links = 0; links <= max_links; ++links) {
        full = with_real_folder(normalised("/", full));
        const int node = node_index(AT_FDCWD, full.c_str());
        if (node >= 0) {
            return node;
        }
        std::array<char, PATH_MAX> target{};
        const ssize_t length = readlink(full.c_str(), target.data(), target.size() - 1);
        if (length <= 0) {
            return -1; // no link: the name is not the node's
        }
        const std::string_view text(target.data(), static_cast<std::size_t>(length));
        full = text[0] == '/' ? std::string(text)
                              : normalised(full.substr(0, full.rfind('/') + 1), text);
    }
    return -1;
}

bool is_node(int fd) {
    return simulated_bus(fd) != nullptr || unrecognised_node_bus(fd) != nullptr;
}

int node_minor(int fd) {
    auto &s = state();
    struct stat status {};
    if (file_status(fd, status) != 0 || !S_ISREG(status.st_mode) || status.st_size != 0 ||
        !has_node_name(fd)) {
        return -1;
    }
    // An O_PATH descriptor has no position to tell its node by: the configured one.
    std::uint64_t index = 0;
    (void)is_node_file(fd, status, index);
    if (index == 0) {
        return static_cast<int>(minor_of(s.node_path));
    }
    const std::lock_guard guard(s.extra_lock);
    if (index > s.extra_nodes.size()) {
        return -1;
    }
    return static_cast<int>(
        minor_of(std::next(s.extra_nodes.begin(), static_cast<std::ptrdiff_t>(index - 1))->path));
}

} // namespace kzr415::sim
