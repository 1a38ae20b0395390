#include "state-file.hpp"

#include "hex-bytes.hpp"
#include "sim-config.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdio>

#include <fcntl.h>
#include <sys/file.h>
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

template <class T>
bool parse_unsigned(std::string_view text, T &value, int base) {
    const auto *end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value, base);
    return ec == std::errc{} && ptr == end && !text.empty();
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
        bool ok = false;
        if (name == "pointer") {
            std::uint8_t pointer = 0;
            ok = parse_unsigned(value, pointer, 16);
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
            ok = parse_unsigned(value, parsed.transfers, 10);
        }
        if (!ok) {
            return false;
        }
    }
    state = parsed;
    return true;
}

StateFile::~StateFile() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool StateFile::lock() {
    const pid_t self = getpid();
    if (fd_ >= 0 && owner_ != self) {
        ::close(fd_); // inherited across fork: the open file description, and its lock, is shared
        fd_ = -1;
    }
    if (fd_ < 0) {
        fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (fd_ < 0) {
            return false;
        }
        owner_ = self;
    }
    while (flock(fd_, LOCK_EX) != 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    return true;
}

void StateFile::unlock() {
    if (fd_ >= 0) {
        flock(fd_, LOCK_UN);
    }
}

bool StateFile::load(DeviceState &state, bool &was_empty) {
    std::string text;
    std::array<char, 512> chunk{};
    for (;;) {
        const auto n = pread(fd_, chunk.data(), chunk.size(), static_cast<off_t>(text.size()));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (n == 0) {
            break;
        }
        text.append(chunk.data(), static_cast<std::size_t>(n));
    }
    was_empty = text.empty();
    if (!was_empty && !parse_state(text, state)) {
        errno = EBADMSG;
        return false;
    }
    return true;
}

bool StateFile::store(const DeviceState &state) {
    const std::string text = format_state(state);
    std::size_t done = 0;
    while (done < text.size()) {
        const auto n =
            pwrite(fd_, text.data() + done, text.size() - done, static_cast<off_t>(done));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return ftruncate(fd_, static_cast<off_t>(text.size())) == 0;
}

} // namespace kzr415::sim
