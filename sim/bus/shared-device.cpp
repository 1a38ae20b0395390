#include "bus/shared-device.hpp"

#include "bus/emulated-bus.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <linux/futex.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace kzr415::sim {

struct SharedCopy {
    Device device{};
    TracePlace trace;
};

// The most runs that share one device at once.
inline constexpr std::size_t max_runs = 64;

// The device file's bytes. Every word that processes share is reached through atomic_ref.
struct SharedImage {
    std::array<char, 8> magic{};
    std::uint32_t layout{};  // layout_check: a file of another layout is refused
    std::uint32_t holder{};  // the process id that holds the lock; 0: free
    std::uint32_t waiters{}; // processes waiting for it
    std::uint32_t current{}; // which copy is whole and current: 0 or 1
    std::uint32_t ended{};   // 1 once the run has ended
    std::uint32_t unused{};
    std::array<std::uint32_t, max_runs> runs{}; // the process ids of the runs' kzr-415-sim; 0: none
    std::array<SharedCopy, 2> copies{};
};

namespace {

constexpr std::array<char, 8> magic{'k', 'z', 'r', '4', '1', '5', 'd', '\0'};
constexpr auto layout_check =
    static_cast<std::uint32_t>(sizeof(SharedImage) << 16U | offsetof(SharedImage, copies));
static_assert(std::atomic_ref<std::uint32_t>::is_always_lock_free);
static_assert(sizeof(SharedImage) < 65536);

using Word = std::atomic_ref<std::uint32_t>;

// How long a waiter sleeps before it asks whether the holder still runs.
constexpr timespec holder_check_interval{0, 10'000'000};

// Whether process `pid` still runs: it exists and has not ended (a zombie holds nothing).
bool runs(std::uint32_t pid) {
    if (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
        return false;
    }
    const std::string stat = "/proc/" + std::to_string(pid) + "/stat";
    const int fd = raw_open(stat.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) { // no /proc to tell: taken as running until it has been waited for
        return true;
    }
    std::array<char, 256> text{};
    const auto length = syscall(SYS_read, fd, text.data(), text.size() - 1);
    raw_close(fd);
    const char *end = length > 0 ? std::strrchr(text.data(), ')') : nullptr;
    return end == nullptr || end[1] == '\0' || end[2] != 'Z';
}

SharedImage *map_image(int fd) {
    void *address = mmap(nullptr, sizeof(SharedImage), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return address == MAP_FAILED ? nullptr : static_cast<SharedImage *>(address);
}

void unmap_image(SharedImage *shared) {
    munmap(shared, sizeof(SharedImage));
}

// Opens and maps the device file; nullptr with errno set.
SharedImage *open_image(const std::string &path) {
    const int fd = raw_open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        errno = errno == ENOENT ? ENODEV : errno;
        return nullptr;
    }
    struct stat info {};
    SharedImage *shared = nullptr;
    if (fstat(fd, &info) != 0) {
    } else if (!S_ISREG(info.st_mode) || info.st_size != static_cast<off_t>(sizeof(SharedImage))) {
        errno = EPROTO;
    } else {
        shared = map_image(fd);
        if (shared != nullptr && (shared->magic != magic || shared->layout != layout_check)) {
            unmap_image(shared);
            shared = nullptr;
            errno = EPROTO;
        }
    }
    const int error = errno;
    raw_close(fd);
    errno = error;
    return shared;
}

void take(SharedImage &shared) {
    const auto self = static_cast<std::uint32_t>(getpid());
    Word holder(shared.holder);
    Word waiters(shared.waiters);
    for (;;) {
        std::uint32_t seen = 0;
        if (holder.compare_exchange_strong(seen, self)) {
            return;
        }
        waiters.fetch_add(1);
        const long waited = syscall(SYS_futex, &shared.holder, FUTEX_WAIT, seen,
                                    &holder_check_interval, nullptr, 0);
        const int error = errno;
        waiters.fetch_sub(1);
        // A holder killed while it held the lock lets it go here: its copy being written
        // was never made current.
        if (waited != 0 && error == ETIMEDOUT && !runs(seen)) {
            holder.compare_exchange_strong(seen, 0);
        }
    }
}

void give_back(SharedImage &shared) {
    Word(shared.holder).store(0);
    if (Word(shared.waiters).load() != 0) {
        syscall(SYS_futex, &shared.holder, FUTEX_WAKE, 1, nullptr, nullptr, 0);
    }
}

} // namespace

SharedDevice::~SharedDevice() {
    detach();
}

void SharedDevice::detach() {
    if (image_ != nullptr) {
        unmap_image(image_);
        image_ = nullptr;
    }
}

bool SharedDevice::attach(const std::string &path) {
    detach();
    path_ = path;
    image_ = open_image(path);
    return image_ != nullptr;
}

bool SharedDevice::lock(Device &device, TracePlace &trace) {
    take(*image_);
    if (Word(image_->ended).load() != 0) {
        give_back(*image_);
        errno = ENODEV;
        return false;
    }
    const auto &copy = image_->copies.at(Word(image_->current).load() & 1U);
    device = copy.device;
    trace = copy.trace;
    return true;
}

namespace {

void commit_copy(SharedImage &shared, const Device &device, const TracePlace &trace) {
    const std::uint32_t next = (Word(shared.current).load() & 1U) ^ 1U;
    shared.copies.at(next) = SharedCopy{device, trace};
    Word(shared.current).store(next);
}

} // namespace

void SharedDevice::commit(const Device &device, const TracePlace &trace) {
    commit_copy(*image_, device, trace);
}

void SharedDevice::unlock() {
    give_back(*image_);
}

bool create_shared_device(const std::string &path, const Device &device, std::string &error) {
    const int fd = raw_open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    SharedImage *shared = nullptr;
    if (fd >= 0 && ftruncate(fd, sizeof(SharedImage)) == 0) {
        shared = map_image(fd);
    }
    if (shared == nullptr) {
        error = "cannot create the run's device file '" + path + "': " + std::strerror(errno);
        if (fd >= 0) {
            raw_close(fd);
            unlink(path.c_str());
        }
        return false;
    }
    raw_close(fd);
    shared->magic = magic;
    shared->layout = layout_check;
    shared->copies[0] = SharedCopy{device, {}};
    shared->copies[1] = shared->copies[0];
    unmap_image(shared);
    return true;
}

std::optional<EndedDevice> end_shared_device(const std::string &path) {
    SharedImage *shared = open_image(path);
    if (shared == nullptr) {
        return std::nullopt;
    }
    take(*shared);
    Word(shared->ended).store(1);
    const auto &copy = shared->copies.at(Word(shared->current).load() & 1U);
    const EndedDevice ended{copy.device, copy.trace};
    give_back(*shared);
    unmap_image(shared);
    unlink(path.c_str());
    return ended;
}

std::string device_file_of(const std::string &state) {
    const auto slash = state.rfind('/');
    const auto name = slash == std::string::npos ? 0 : slash + 1;
    return state.substr(0, name) + "." + state.substr(name) + ".run";
}

namespace {

// Forgets the runs whose kzr-415-sim no longer runs; whether any does.
bool prune_runs(SharedImage &shared) {
    bool any = false;
    for (auto &run : shared.runs) {
        if (run != 0 && !runs(run)) {
            run = 0;
        }
        any = any || run != 0;
    }
    return any;
}

bool register_run(SharedImage &shared, std::uint32_t pid) {
    auto *const free = std::find(shared.runs.begin(), shared.runs.end(), 0U);
    if (free == shared.runs.end()) {
        return false;
    }
    *free = pid;
    return true;
}

// The device file of a run going on, its lock taken; nullptr when there is none (one whose
// runs all ended without ending it, killed, is ended and removed here).
SharedImage *take_going_on(const std::string &device_file) {
    SharedImage *shared = open_image(device_file);
    if (shared == nullptr) {
        return nullptr;
    }
    take(*shared);
    if (Word(shared->ended).load() == 0 && prune_runs(*shared)) {
        return shared;
    }
    Word(shared->ended).store(1);
    give_back(*shared);
    unmap_image(shared);
    unlink(device_file.c_str());
    return nullptr;
}

bool write_text(const std::string &path, const std::string &text) {
    const int fd =
        raw_open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        return false;
    }
    const bool written =
        syscall(SYS_write, fd, text.data(), text.size()) == static_cast<long>(text.size());
    raw_close(fd);
    return written;
}

} // namespace

bool start_run(const std::string &state, const std::string &scratch, const PrepareState &prepare,
               std::string &error) {
    // The state file's lock keeps runs that start and end at once apart.
    StateFile coordination(state);
    Device device = new_device();
    bool was_empty = false;
    if (!coordination.lock() || !coordination.load(device, was_empty)) {
        error = "cannot read the state file '" + state + "': " + std::strerror(errno);
        return false;
    }
    const std::string device_file = device_file_of(state);
    SharedImage *shared = take_going_on(device_file);
    // This run's options over the device of the run going on, or of the state file.
    const std::string base =
        shared != nullptr
            ? format_state(shared->copies.at(Word(shared->current).load() & 1U).device)
            : (was_empty ? "" : format_state(device));
    bool ready = write_text(scratch, base);
    if (!ready) {
        error = "cannot write '" + scratch + "': " + std::strerror(errno);
    }
    ready = ready && prepare(scratch, error);
    if (ready) {
        StateFile prepared(scratch);
        ready = prepared.lock() && prepared.load(device, was_empty);
        if (!ready) {
            error = "cannot read '" + scratch + "': " + std::strerror(errno);
        }
    }
    unlink(scratch.c_str());
    if (shared == nullptr) {
        if (!ready || !create_shared_device(device_file, device, error)) {
            return false;
        }
        shared = open_image(device_file);
        if (shared == nullptr) {
            error =
                "cannot map the run's device file '" + device_file + "': " + std::strerror(errno);
            unlink(device_file.c_str());
            return false;
        }
        take(*shared);
    } else if (ready) {
        commit_copy(*shared, device, shared->copies.at(Word(shared->current).load() & 1U).trace);
    }
    if (ready && !register_run(*shared, static_cast<std::uint32_t>(getpid()))) {
        error = "too many runs share the state file '" + state + "'";
        ready = false;
    }
    give_back(*shared);
    unmap_image(shared);
    return ready;
}

bool end_run(const std::string &state, const std::string &trace, std::string &error) {
    StateFile coordination(state);
    Device ignored = new_device();
    bool was_empty = false;
    if (!coordination.lock() || !coordination.load(ignored, was_empty)) {
        error = "cannot read the state file '" + state + "': " + std::strerror(errno);
        return false;
    }
    const std::string device_file = device_file_of(state);
    SharedImage *shared = open_image(device_file);
    if (shared == nullptr) {
        error = "cannot read the run's device file '" + device_file + "': " + std::strerror(errno);
        return false;
    }
    take(*shared);
    const auto self = static_cast<std::uint32_t>(getpid());
    std::replace(shared->runs.begin(), shared->runs.end(), self, 0U);
    if (prune_runs(*shared)) { // another run goes on with it
        give_back(*shared);
        unmap_image(shared);
        return true;
    }
    Word(shared->ended).store(1);
    const SharedCopy last = shared->copies.at(Word(shared->current).load() & 1U);
    give_back(*shared);
    unmap_image(shared);
    unlink(device_file.c_str());
    if (!coordination.store(last.device)) {
        error = "cannot write the state file '" + state + "': " + std::strerror(errno);
        return false;
    }
    struct stat info {};
    if (!trace.empty() && trace != "-" && lstat(trace.c_str(), &info) == 0 &&
        S_ISREG(info.st_mode) && info.st_dev == last.trace.device &&
        info.st_ino == last.trace.inode &&
        static_cast<std::uint64_t>(info.st_size) > last.trace.length) {
        (void)truncate(trace.c_str(), static_cast<off_t>(last.trace.length));
    }
    return true;
}

} // namespace kzr415::sim
