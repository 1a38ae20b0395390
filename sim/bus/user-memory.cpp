#include "bus/i2c-dev-client.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>

#include <fcntl.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

namespace kzr415::sim {

namespace {

enum class Way : std::uint8_t { unknown, process_vm, pipe };

// process_vm_readv and process_vm_writev on this process itself; where the system refuses
// them (qemu-arm's user mode, a seccomp filter), a pipe that the bytes pass through.
// NOLINTBEGIN(cppcoreguidelines-avoid-non-const-global-variables): facts of the process that
// every thread's copies share, learnt once.
std::atomic<Way> way{Way::unknown};

// This process's id, kept across fork without a system call per copy.
std::atomic<pid_t> own_pid{0};
// NOLINTEND(cppcoreguidelines-avoid-non-const-global-variables)

// The child of a fork learns its own id from the handler registered here, when the library
// is loaded and before the program can have started a second thread: registered on first
// use instead, a fork made while another thread ran that first use would leave the child
// waiting for ever on the initialisation it inherited half done.
[[maybe_unused]] const bool pid_follows_fork = []() noexcept {
    return pthread_atfork(nullptr, nullptr, [] {
               own_pid.store(static_cast<pid_t>(syscall(SYS_getpid)), std::memory_order_relaxed);
           }) == 0;
}();

pid_t self() {
    pid_t pid = own_pid.load(std::memory_order_relaxed);
    if (pid == 0) {
        pid = static_cast<pid_t>(syscall(SYS_getpid));
        own_pid.store(pid, std::memory_order_relaxed);
    }
    return pid;
}

constexpr std::size_t max_ranges = 64;

// The count of ranges that `bytes` covers whole, from the start.
std::size_t ranges_covered(std::span<const MemoryRange> ranges, std::size_t bytes) {
    std::size_t done = 0;
    for (const auto &range : ranges) {
        if (range.size > bytes) {
            break;
        }
        bytes -= range.size;
        ++done;
    }
    return done;
}

// One batch of at most max_ranges ranges through process_vm_*; -1 when the system refuses.
long through_process_vm(std::span<const MemoryRange> ranges, bool to_program) {
    std::array<iovec, max_ranges> local{};
    std::array<iovec, max_ranges> remote{};
    std::size_t count = 0;
    std::size_t total = 0;
    for (const auto &range : ranges) {
        if (range.size == 0) {
            continue;
        }
        local[count] = {range.local, range.size};
        // iovec has no const form: the program's bytes are only read when copying from it.
        // NOLINTNEXTLINE(cppcoreguidelines-pro-type-const-cast)
        remote[count] = {const_cast<void *>(range.remote), range.size};
        total += range.size;
        ++count;
    }
    if (count == 0) {
        return static_cast<long>(ranges.size());
    }
    const long number = to_program ? SYS_process_vm_writev : SYS_process_vm_readv;
    long moved = syscall(number, self(), local.data(), count, remote.data(), count, 0UL);
    if (moved < 0 && errno == ESRCH) {
        // A child started without fork (clone, _Fork) still has its parent's id here.
        own_pid.store(static_cast<pid_t>(syscall(SYS_getpid)), std::memory_order_relaxed);
        moved = syscall(number, self(), local.data(), count, remote.data(), count, 0UL);
    }
    if (moved < 0) {
        if (errno == ENOSYS || errno == EPERM) {
            return -1;
        }
        return static_cast<long>(ranges_covered(ranges, 0));
    }
    return static_cast<long>(static_cast<std::size_t>(moved) == total
                                 ? ranges.size()
                                 : ranges_covered(ranges, static_cast<std::size_t>(moved)));
}

// The same through a pipe: the kernel reads the source as it writes into the pipe and
// writes the destination as it reads from it, and refuses a bad address with EFAULT.
std::size_t through_pipe(std::span<const MemoryRange> ranges, bool to_program) {
    std::array<int, 2> ends{-1, -1};
    if (syscall(SYS_pipe2, ends.data(), O_CLOEXEC) != 0) {
        return 0;
    }
    constexpr std::size_t chunk = 4096; // written whole into an empty pipe
    std::size_t done = 0;
    for (const auto &range : ranges) {
        auto *local = static_cast<std::uint8_t *>(range.local);
        // Written through only when copying to the program (MemoryRange).
        // NOLINTNEXTLINE(cppcoreguidelines-pro-type-const-cast)
        auto *remote = static_cast<std::uint8_t *>(const_cast<void *>(range.remote));
        bool whole = true;
        for (std::size_t offset = 0; whole && offset < range.size; offset += chunk) {
            const std::size_t n = std::min(chunk, range.size - offset);
            const void *from = to_program ? local + offset : remote + offset;
            void *to = to_program ? remote + offset : local + offset;
            whole = syscall(SYS_write, ends[1], from, n) == static_cast<long>(n) &&
                    syscall(SYS_read, ends[0], to, n) == static_cast<long>(n);
        }
        if (!whole) {
            break;
        }
        ++done;
    }
    syscall(SYS_close, ends[0]);
    syscall(SYS_close, ends[1]);
    return done;
}

std::size_t copy(std::span<const MemoryRange> ranges, bool to_program) {
    std::size_t done = 0;
    while (done < ranges.size()) {
        const auto batch = ranges.subspan(done, std::min(max_ranges, ranges.size() - done));
        std::size_t copied = 0;
        if (way.load(std::memory_order_relaxed) != Way::pipe) {
            const long moved = through_process_vm(batch, to_program);
            if (moved < 0) {
                way.store(Way::pipe, std::memory_order_relaxed);
                continue;
            }
            copied = static_cast<std::size_t>(moved);
        } else {
            copied = through_pipe(batch, to_program);
        }
        done += copied;
        if (copied < batch.size()) {
            break;
        }
    }
    return done;
}

} // namespace

std::size_t copy_from_program(std::span<const MemoryRange> ranges) {
    return copy(ranges, false);
}

std::size_t copy_to_program(std::span<const MemoryRange> ranges) {
    return copy(ranges, true);
}

bool copy_from_program(void *local, const void *remote, std::size_t size) {
    const MemoryRange range{local, remote, size};
    return copy(std::span(&range, 1), false) == 1;
}

bool copy_to_program(void *remote, const void *local, std::size_t size) {
    // One MemoryRange serves both ways; copying to the program only reads `local`.
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-const-cast)
    const MemoryRange range{const_cast<void *>(local), remote, size};
    return copy(std::span(&range, 1), true) == 1;
}

} // namespace kzr415::sim
