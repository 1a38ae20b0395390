// What both families of exported functions are made of: register transfers, the alert mode's
// read-modify-write and the decode of one channel. Internal to the library (hidden names):
// the exported functions call these, never each other, so a program that defines a function
// of an exported name for itself changes nothing inside the library.
//
// Every function here returns 0 or a negative errno value and leaves errno as it found it
// or set by a failed system call; which the caller sees is the exported function's business
// (ErrnoOutcome).
#pragma once

#include "register-map.hpp"

#include <cerrno>
#include <cstdint>
#include <span>

namespace kzr415::io {

// Whether a failed transfer prints the transport's two lines on standard error
// ("ioctl(): <error>", "ioctl returned <n>"), as the functions of release 1.0 do.
enum class Failures : std::uint8_t { silent, reported };

// A register write: one I2C_RDWR call with one write message, the pointer and then `data`
// (at most max_image_length bytes; a longer image is refused with -EINVAL).
int write_register(int fd, std::uint16_t slave_addr, std::uint8_t reg,
                   std::span<const std::uint8_t> data, Failures failures);

// A register read: the pointer alone as a transfer of its own, then one read message of
// data.size() bytes into `data` (none after a failed pointer write).
int read_register(int fd, std::uint16_t slave_addr, std::uint8_t reg, std::span<std::uint8_t> data,
                  Failures failures);

// The configuration register read, `channel`'s alert mode bits set to `mode` (below 4) and
// both bytes written back. A channel other than 1 or 2 ends the call after the read, with 0.
int change_alert_mode(int fd, std::uint16_t slave_addr, int channel, unsigned mode,
                      Failures failures);

// One channel's reading decoded in the encoding that its configuration byte's bit 5 selects:
// the one decode of temperature_reg_read, kzr_415_read_temperatures and kzr_415_decode.
float decode_reading(const ChannelReading &bytes, std::uint8_t configuration);

// Channel 1's (Index 0) or channel 2's (Index 1) three bytes of a temperature image, picked by
// indices known at compile time (no bounds assertion, so no C++ runtime, whatever the build).
template <std::size_t Index>
ChannelReading channel_reading(const TemperatureImage &image) {
    constexpr std::size_t first = Index * channel_value_length;
    return {std::get<first>(image), std::get<first + 1>(image), std::get<first + 2>(image)};
}

// errno as an exported function leaves it: the caller's value after a success, the error
// after a failure. Made at the call's start.
class ErrnoOutcome {
  public:
    // `result`: 0 or more for a success, -errno for a failure; returned as it is.
    int operator()(int result) const {
        errno = result < 0 ? -result : saved_;
        return result;
    }
    // A success that returns no status (a float reading).
    void success() const { errno = saved_; }

  private:
    int saved_ = errno;
};

} // namespace kzr415::io
