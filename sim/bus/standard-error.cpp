#include "bus/standard-error.hpp"

#include <atomic>
#include <cerrno>
#include <cstdint>

#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace kzr415::sim {

namespace {

// The file noted as standard error: its device and inode. Atomics, so that a line written
// from a signal handler or another thread reads them whole.
struct NotedFile {
    std::atomic<bool> noted{false};
    std::atomic<bool> open{false};
    std::atomic<std::uint64_t> device{0};
    std::atomic<std::uint64_t> inode{0};
};

NotedFile &noted_file() {
    // What standard error was when the process started is the process's: one per process.
    // NOLINTNEXTLINE(cppcoreguidelines-avoid-non-const-global-variables)
    static NotedFile file;
    return file;
}

// fstat straight to the system: in a preloaded program fstat is an entry point of the bus.
bool identify(int fd, std::uint64_t &device, std::uint64_t &inode) {
    struct stat status {};
#if defined(SYS_fstat64)
    const long result = syscall(SYS_fstat64, fd, &status);
#else
    const long result = syscall(SYS_fstat, fd, &status);
#endif
    device = static_cast<std::uint64_t>(status.st_dev);
    inode = static_cast<std::uint64_t>(status.st_ino);
    return result == 0;
}

} // namespace

void note_standard_error() {
    const int saved_errno = errno;
    auto &file = noted_file();
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    const bool open = identify(STDERR_FILENO, device, inode);
    file.device.store(device);
    file.inode.store(inode);
    file.open.store(open);
    file.noted.store(true);
    errno = saved_errno;
}

void write_standard_error(std::string_view line) {
    const int saved_errno = errno;
    auto &file = noted_file();
    if (file.noted.load()) {
        std::uint64_t device = 0;
        std::uint64_t inode = 0;
        if (!file.open.load() || !identify(STDERR_FILENO, device, inode) ||
            device != file.device.load() || inode != file.inode.load()) {
            errno = saved_errno;
            return;
        }
    }
    write_whole(STDERR_FILENO, line);
    errno = saved_errno;
}

void write_whole(int fd, std::string_view line) {
    while (!line.empty()) {
        const long written = syscall(SYS_write, fd, line.data(), line.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return;
        }
        line.remove_prefix(static_cast<std::size_t>(written));
    }
}

} // namespace kzr415::sim
