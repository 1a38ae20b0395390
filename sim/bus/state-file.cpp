#include "bus/state-file.hpp"

#include "device/hex-bytes.hpp"
#include "device/temperature-encode.hpp"
#include "device/whole-number.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdio>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace kzr415::sim {

namespace {

std::string celsius_text(const std::optional<double> &celsius) {
    if (!celsius) {
        return "-";
    }
    std::array<char, 64> text{};
    const auto result = std::to_chars(text.data(), text.data() + text.size(), *celsius);
    return {text.data(), result.ptr};
}

// "-" for a channel given as raw bytes, else degrees as the command line takes them.
bool parse_celsius_line(std::string_view text, std::optional<double> &celsius) {
    if (text == "-") {
        celsius.reset();
        return true;
    }
    celsius = parse_celsius(text);
    return celsius.has_value();
}

// The file's own calls go straight to the system: in a preloaded program the C library's
// open, read, write and close names are the emulated bus's entry points.
constexpr int open_flags = O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_LARGEFILE;

int raw_open(const char *path, int flags, mode_t mode) {
    return static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, flags, mode));
}

ssize_t raw_read(int fd, char *buffer, std::size_t count) {
    return static_cast<ssize_t>(syscall(SYS_read, fd, buffer, count));
}

ssize_t raw_write(int fd, const char *buffer, std::size_t count) {
    return static_cast<ssize_t>(syscall(SYS_write, fd, buffer, count));
}

void raw_close(int fd) {
    (void)syscall(SYS_close, fd);
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

std::string format_state(const DeviceState &state) {
    const auto &registers = state.device.registers();
    std::array<char, 16> pointer{};
    std::snprintf(pointer.data(), pointer.size(), "%02x", unsigned{state.device.pointer()});
    return std::string("pointer ") + pointer.data() + "\ntemperature " +
           format_hex_bytes(registers.temperature) + "\nconfiguration " +
           format_hex_bytes(registers.configuration) + "\nt_low " +
           format_hex_bytes(registers.t_low) + "\nt_high " + format_hex_bytes(registers.t_high) +
           "\ncelsius1 " + celsius_text(registers.celsius[0]) + "\ncelsius2 " +
           celsius_text(registers.celsius[1]) + "\ntransfers " + std::to_string(state.transfers) +
           "\n";
}

bool parse_state(std::string_view text, DeviceState &state) {
    constexpr std::array<std::string_view, 8> names{"pointer",  "temperature", "configuration",
                                                    "t_low",    "t_high",      "celsius1",
                                                    "celsius2", "transfers"};
    std::array<bool, names.size()> seen{};
    DeviceState parsed = state;
    auto &registers = parsed.device.registers();
    while (!text.empty()) {
        const auto newline = text.find('\n');
        auto line = text.substr(0, newline);
        text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
        if (line.empty()) {
            continue;
        }
        const auto blank = line.find(' ');
        if (blank == std::string_view::npos) {
            return false;
        }
        const auto name = line.substr(0, blank);
        const auto value = line.substr(blank + 1);
        const auto *const known = std::find(names.begin(), names.end(), name);
        if (known == names.end() || seen[static_cast<std::size_t>(known - names.begin())]) {
            return false; // not a name of the state, or one given twice
        }
        seen[static_cast<std::size_t>(known - names.begin())] = true;
        bool ok = false;
        if (name == "pointer") {
            std::uint8_t pointer = 0;
            ok = parse_whole_number(value, pointer, 16);
            parsed.device.set_pointer(pointer);
        } else if (name == "temperature") {
            ok = parse_hex_bytes(value, registers.temperature);
        } else if (name == "configuration") {
            ok = parse_hex_bytes(value, registers.configuration);
        } else if (name == "t_low") {
            ok = parse_hex_bytes(value, registers.t_low);
        } else if (name == "t_high") {
            ok = parse_hex_bytes(value, registers.t_high);
        } else if (name == "celsius1") {
            ok = parse_celsius_line(value, registers.celsius[0]);
        } else if (name == "celsius2") {
            ok = parse_celsius_line(value, registers.celsius[1]);
        } else if (name == "transfers") {
            ok = parse_whole_number(value, parsed.transfers, 10);
        }
        if (!ok) {
            return false;
        }
    }
    if (std::find(seen.begin(), seen.end(), false) != seen.end()) {
        return false; // a name missing
    }
    state = parsed;
    return true;
}

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
bool StateFile::load(DeviceState &state, bool &was_empty) {
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
    if (!was_empty && !parse_state(std::string_view(text.data(), length), state)) {
        errno = EBADMSG;
        return false;
    }
    return true;
}

bool StateFile::store(const DeviceState &state) {
    const std::string text = format_state(state);
    // The new state is written beside the file, in the same folder, and renamed into place.
    static std::atomic<unsigned> serial{0};
    const auto slash = path_.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : path_.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path_ : path_.substr(slash + 1);
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temporary.assign(folder).append(".").append(name).append(".new-");
        temporary.append(std::to_string(getpid())).append("-");
        temporary.append(std::to_string(serial.fetch_add(1)));
        fd = raw_open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | open_flags, 0600);
        if (fd < 0 && errno != EEXIST) {
            return false;
        }
    }
    if (fd < 0) {
        return false;
    }
    bool written = fchmod(fd, mode_) == 0;
    for (std::size_t done = 0; written && done < text.size();) {
        const auto n = raw_write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        written = n > 0;
        done += written ? static_cast<std::size_t>(n) : 0;
    }
    const int error = errno;
    raw_close(fd);
    if (!written) {
        unlink(temporary.c_str());
        errno = error;
        return false;
    }
    // Exchanged with the old file rather than renamed over it, where the file system allows:
    // ext4 writes a file renamed over another out to the disk at once, which would cost a
    // transfer a hundred times more. The path names the old state or the new one at every
    // moment either way.
    if (renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, path_.c_str(), RENAME_EXCHANGE) == 0 ||
        ((errno == EINVAL || errno == ENOSYS) && rename(temporary.c_str(), path_.c_str()) == 0)) {
        unlink(temporary.c_str()); // the old state after an exchange; nothing after a rename
        return true;
    }
    const int failure = errno;
    unlink(temporary.c_str());
    errno = failure;
    return false;
}

} // namespace kzr415::sim
