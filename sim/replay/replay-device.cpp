#include "replay/replay-device.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
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
    if (reason.empty()) {
        text.reserve(static_cast<std::size_t>(info.st_size) + 1);
    }
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

std::optional<Recording> load_recording(const std::string &path, std::string &error) {
    if (auto mapped = Recording::map(path, error)) {
        return mapped;
    }
    std::string text;
    if (!read_capture_file(path, text, error)) {
        error = path + ": " + error;
        return std::nullopt;
    }
    auto reading = read_capture_to_replay(text);
    if (!reading.ok) {
        error = path + ": " + refusal_text(reading);
        return std::nullopt;
    }
    return std::move(reading.transfers);
}

namespace {

// Whether the program's messages ask for what the recorded ones did: what format_request
// shows of both (address, direction, a block read's mark, length, a write's bytes).
bool asks_for(const TransferView &expected, std::span<const i2c_msg> messages) {
    constexpr std::uint16_t shown = I2C_M_RD | I2C_M_RECV_LEN;
    return expected.count == messages.size() &&
           std::equal(
               messages.begin(), messages.end(), expected.messages.begin(),
               [](const i2c_msg &seen, const MessageView &recorded) {
                   return seen.addr == recorded.addr &&
                          (seen.flags & shown) == (recorded.flags & shown) &&
                          seen.len == recorded.length &&
                          ((seen.flags & I2C_M_RD) != 0 ||
                           std::equal(recorded.bytes.begin(), recorded.bytes.end(), seen.buf));
               });
}

} // namespace

int ReplayDevice::respond(unsigned number, std::span<i2c_msg> messages) {
    if (diverged()) {
        return -EIO;
    }
    TransferView expected;
    if (number == 0 || number > recording_.size()) {
        return diverge(number, end_of_recording, messages);
    }
    if (!recording_.read(number - 1, expected)) {
        return diverge(number, "a transfer the recording's file no longer holds whole", messages);
    }
    if (!asks_for(expected, messages)) {
        return diverge(number, format_request(expected.copy()), messages);
    }
    if (expected.error != 0) {
        return -expected.error;
    }
    for (std::size_t i = 0; i < expected.count; ++i) {
        auto &message = messages[i];
        if ((message.flags & I2C_M_RD) != 0) {
            // A block read gets its count byte and block, and its length raised by the count.
            const auto bytes = expected.messages.at(i).bytes;
            std::copy(bytes.begin(), bytes.end(), message.buf);
            message.len = static_cast<std::uint16_t>(bytes.size());
        }
    }
    return static_cast<int>(messages.size());
}

int ReplayDevice::diverge(unsigned number, std::string_view expected,
                          std::span<const i2c_msg> seen) {
    divergence_ = divergence_text(number, expected, format_request(requested_transfer(seen)));
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
