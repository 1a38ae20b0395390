#include "replay/replay-device.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <span>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace kzr415::sim {

bool read_capture_file(const std::string &path, std::string &text, std::string &reason) {
    // Not blocking on a FIFO: anything but a regular file is refused unread.
    const int fd = raw_open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        reason = std::strerror(errno);
        return false;
    }
    struct stat info {};
    constexpr const char *too_large = "larger than a capture can be (16 MiB)";
    reason = fstat(fd, &info) != 0                                       ? std::strerror(errno)
             : !S_ISREG(info.st_mode)                                    ? "not a regular file"
             : static_cast<std::size_t>(info.st_size) > max_capture_size ? too_large
                                                                         : "";
    text.clear();
    std::array<char, 4096> buffer{};
    for (long n = 1; reason.empty() && n != 0;) {
        n = syscall(SYS_read, fd, buffer.data(), buffer.size());
        if (n < 0 && errno != EINTR) {
            reason = std::strerror(errno);
        }
        text.append(buffer.data(), static_cast<std::size_t>(std::max(n, 0L)));
        reason = text.size() > max_capture_size ? too_large : reason;
    }
    raw_close(fd);
    return reason.empty();
}

std::string divergence_text(unsigned number, std::string_view expected, std::string_view seen) {
    return "replay diverged at transfer " + std::to_string(number) + ": expected " +
           std::string(expected) + ", seen " + std::string(seen);
}

std::optional<std::vector<RecordedTransfer>> load_recording(const std::string &path,
                                                            std::string &error) {
    std::string text;
    if (!read_capture_file(path, text, error)) {
        error = path + ": " + error;
        return std::nullopt;
    }
    auto reading = read_capture(text);
    if (!reading.ok) {
        error = path + ": " + refusal_text(reading);
        return std::nullopt;
    }
    return std::move(reading.transfers);
}

int ReplayDevice::respond(unsigned number, std::span<i2c_msg> messages) {
    if (diverged()) {
        return -EIO;
    }
    const std::string seen = format_request(requested_transfer(messages));
    if (number == 0 || number > recording_.size()) {
        return diverge(number, end_of_recording, seen);
    }
    const auto &expected = recording_[number - 1];
    if (const std::string asked = format_request(expected); asked != seen) {
        return diverge(number, asked, seen);
    }
    if (expected.error != 0) {
        return -expected.error;
    }
    for (std::size_t i = 0; i < expected.messages.size(); ++i) {
        const auto &message = messages[i];
        if ((message.flags & I2C_M_RD) != 0) {
            const auto &bytes = expected.messages[i].bytes;
            std::copy_n(bytes.begin(), std::min<std::size_t>(bytes.size(), message.len),
                        message.buf);
        }
    }
    return static_cast<int>(messages.size());
}

int ReplayDevice::diverge(unsigned number, std::string_view expected, std::string_view seen) {
    divergence_ = divergence_text(number, expected, seen);
    if (report_.empty()) {
        return -EIO;
    }
    const int fd = raw_open(report_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        return -EIO;
    }
    struct stat info {};
    if (fstat(fd, &info) == 0 && info.st_size == 0) {
        const std::string line = divergence_ + "\n";
        (void)syscall(SYS_write, fd, line.data(), line.size());
    }
    raw_close(fd);
    return -EIO;
}

bool ReplayDevice::diverged() const {
    if (!divergence_.empty()) {
        return true;
    }
    struct stat info {};
    return !report_.empty() && stat(report_.c_str(), &info) == 0 && info.st_size > 0;
}

} // namespace kzr415::sim
