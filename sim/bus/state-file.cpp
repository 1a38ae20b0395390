#include "bus/emulated-bus.hpp"

#include <array>
#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace kzr415::sim {

namespace {

// The file's own calls go straight to the system (raw_open, emulated-bus.hpp).
constexpr int open_flags = O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_LARGEFILE;

ssize_t raw_read(int fd, char *buffer, std::size_t count) {
    return static_cast<ssize_t>(syscall(SYS_read, fd, buffer, count));
}

ssize_t raw_write(int fd, const char *buffer, std::size_t count) {
    return static_cast<ssize_t>(syscall(SYS_write, fd, buffer, count));
}

// Opens the file that `path` names, creating it (empty) when there is none: the descriptor,
// or -1 with errno set. `again` is set when another process replaced, removed or created
// the file between the look and the open.
int open_named(const char *path, bool &again) {
    again = false;
    struct stat named {};
    if (lstat(path, &named) != 0) {
        if (errno != ENOENT) {
            return -1;
        }
        const int fd = raw_open(path, O_RDWR | O_CREAT | O_EXCL | open_flags, 0666);
        again = fd < 0 && errno == EEXIST;
        return fd;
    }
    // Refused before opening: opening a device or a FIFO may have effects of its own.
    if (!S_ISREG(named.st_mode)) {
        errno = S_ISDIR(named.st_mode) ? EISDIR : S_ISLNK(named.st_mode) ? ELOOP : EINVAL;
        return -1;
    }
    const int fd = raw_open(path, O_RDWR | open_flags, 0);
    again = fd < 0 && errno == ENOENT;
    return fd;
}

// Waits for the exclusive lock on `fd` and describes the file locked; false with errno set.
bool lock_exclusive(int fd, struct stat &locked) {
    int result = 0;
    while ((result = flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
    }
    return result == 0 && fstat(fd, &locked) == 0;
}

} // namespace

StateFile::~StateFile() {
    unlock();
}

bool StateFile::lock() {
    unlock();
    // Each round either locks the file the path names or sees another process replace or
    // create it meanwhile; a process that keeps doing so for this long is not one of ours.
    for (int round = 0; round < 1000; ++round) {
        bool again = false;
        const int fd = open_named(path_.c_str(), again);
        if (again) {
            continue;
        }
        if (fd < 0) {
            return false;
        }
        struct stat locked {};
        if (!lock_exclusive(fd, locked)) {
            const int error = errno;
            raw_close(fd);
            errno = error;
            return false;
        }
        struct stat named {};
        if (lstat(path_.c_str(), &named) == 0 && named.st_dev == locked.st_dev &&
            named.st_ino == locked.st_ino) {
            if (!S_ISREG(locked.st_mode)) {
                raw_close(fd);
                errno = EINVAL;
                return false;
            }
            fd_ = fd;
            size_ = locked.st_size;
            mode_ = locked.st_mode & 07777;
            owner_ = locked.st_uid;
            group_ = locked.st_gid;
            return true;
        }
        raw_close(fd); // renamed over or removed while this process waited for the lock
    }
    errno = EAGAIN;
    return false;
}

void StateFile::unlock() {
    if (fd_ >= 0) {
        raw_close(fd_);
        fd_ = -1;
    }
}

// Not const: reading moves the shared file offset of the descriptor it holds.
// NOLINTNEXTLINE(readability-make-member-function-const)
bool StateFile::load(Device &device, bool &was_empty) {
    if (size_ < 0 || static_cast<std::size_t>(size_) > max_state_file_size) {
        errno = EFBIG;
        return false;
    }
    std::array<char, max_state_file_size + 1> text{};
    std::size_t length = 0;
    while (length < text.size()) {
        const auto n = raw_read(fd_, text.data() + length, text.size() - length);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (n == 0) {
            break;
        }
        length += static_cast<std::size_t>(n);
    }
    if (length > max_state_file_size) {
        errno = EFBIG;
        return false;
    }
    was_empty = length == 0;
    if (!was_empty && !parse_state(std::string_view(text.data(), length), device)) {
        errno = EBADMSG;
        return false;
    }
    return true;
}

bool StateFile::store(const Device &device) {
    const std::string text = format_state(device);
    // The new state is written beside the file, in the same folder, locked before it takes
    // the file's place, so that the process holding the file's lock is the only one that
    // touches the new file's name (another process that opens the new file waits).
    const auto slash = path_.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : path_.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path_ : path_.substr(slash + 1);
    const std::string temporary = folder + "." + name + ".new";
    constexpr int flags = O_WRONLY | O_CREAT | O_EXCL | open_flags;
    int fd = raw_open(temporary.c_str(), flags, 0600);
    if (fd < 0 && errno == EEXIST && unlink(temporary.c_str()) == 0) { // a killed process's
        fd = raw_open(temporary.c_str(), flags, 0600);
    }
    if (fd < 0) {
        return false;
    }
    struct stat locked {};
    // Root keeps the owner of another user's file; anyone else's new file is their own.
    bool written = lock_exclusive(fd, locked) && fchmod(fd, mode_) == 0 &&
                   (geteuid() != 0 || fchown(fd, owner_, group_) == 0);
    for (std::size_t done = 0; written && done < text.size();) {
        const auto n = raw_write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        written = n > 0;
        done += written ? static_cast<std::size_t>(n) : 0;
    }
    // Exchanged with the old file rather than renamed over it, where the file system allows:
    // ext4 writes a file renamed over another out to the disk at once, which would cost a
    // transfer a hundred times more. The path names the old state or the new one at every
    // moment either way.
    if (written &&
        (renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, path_.c_str(), RENAME_EXCHANGE) == 0 ||
         ((errno == EINVAL || errno == ENOSYS) && rename(temporary.c_str(), path_.c_str()) == 0))) {
        unlink(temporary.c_str()); // the old state after an exchange; nothing after a rename
        raw_close(fd_);
        fd_ = fd; // the new state's lock, held until unlock()
        return true;
    }
    const int failure = errno;
    unlink(temporary.c_str());
    raw_close(fd);
    errno = failure;
    return false;
}

} // namespace kzr415::sim
