// libkzr-415-drv: transport, register accessors, alert mode and temperature readout.
//
// Only the transport (kzr_415_write, kzr_415_read) touches the kernel interface; every
// other function is expressed as register writes and register reads. Nothing here keeps
// state between calls or allocates memory.
#include "kzr-415-drv.h"

#include "register-map.hpp"
#include "temperature-decode.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <span>

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

using kzr415::Register;

// Issues I2C_RDWR with one message; reports a failure on standard error and leaves the
// ioctl's errno for the caller (the report's own writes may change errno).
int transfer(int fd, i2c_msg &message) {
    i2c_rdwr_ioctl_data request{&message, 1};
    const int result = ioctl(fd, I2C_RDWR, &request);
    if (result < 0) {
        const int error = errno;
        std::perror("ioctl()");
        std::fprintf(stderr, "ioctl returned %d\n", result);
        errno = error;
        return -1;
    }
    return 0;
}

// Refuses a request before any bus traffic: the line is already printed; errno is EINVAL.
int refuse() {
    errno = EINVAL;
    return -1;
}

// puts() for a failure message, keeping the errno of the failure it reports.
void report_failure(const char *message) {
    const int error = errno;
    std::puts(message);
    errno = error;
}

int write_register(int fd, std::uint16_t slave_addr, Register reg, const std::uint8_t *data) {
    return kzr_415_write(fd, slave_addr, reg.pointer, data, reg.image_length);
}

int read_register(int fd, std::uint16_t slave_addr, Register reg, std::uint8_t *data) {
    return kzr_415_read(fd, slave_addr, reg.pointer, data, reg.image_length);
}

// The three register accessors share one shape: write or read a whole image.
int control_register(int fd, std::uint16_t slave_addr, Register reg, std::uint8_t *data, int rw) {
    switch (rw) {
    case REG_WRITE:
        return write_register(fd, slave_addr, reg, data);
    case REG_READ:
        return read_register(fd, slave_addr, reg, data);
    default:
        return 0;
    }
}

using ConfigurationImage = std::array<std::uint8_t, kzr415::configuration_register.image_length>;
using TemperatureImage = std::array<std::uint8_t, kzr415::temperature_register.image_length>;

// Channel 1 is index 0, channel 2 index 1. Bytes are picked with std::get, by an index known
// at compile time, so no bounds assertion (and no C++ runtime) is needed even when a build
// turns on the standard library's assertions.
template <std::size_t Index>
float decode_channel(const TemperatureImage &image, const ConfigurationImage &config) {
    constexpr std::size_t first = Index * kzr415::channel_value_length;
    const std::uint32_t raw = kzr415::assemble_raw(
        std::get<first>(image), std::get<first + 1>(image), std::get<first + 2>(image));
    const bool sign_magnitude = (std::get<Index>(config) & kzr415::config_sign_magnitude) != 0;
    return kzr415::decode_temperature(raw, sign_magnitude);
}

// The configuration byte of channel 1 or 2; null for any other channel.
std::uint8_t *configuration_byte(ConfigurationImage &config, int channel) {
    switch (channel) {
    case 1:
        return &std::get<0>(config);
    case 2:
        return &std::get<1>(config);
    default:
        return nullptr;
    }
}

} // namespace

extern "C" {

int i2c_open(const char *path) {
    const int fd = open(path, O_RDWR);
    if (fd < 0) {
        const int open_error = errno; // the first line's printing may change errno
        std::fprintf(stderr, "Could not open i2c at %s\n", path);
        errno = open_error;
        std::perror(path);
        std::exit(1);
    }
    return fd;
}

int i2c_close(int fd) {
    (void)close(fd);
    return 0;
}

int kzr_415_write(int fd, std::uint16_t slave_addr, std::uint8_t reg, const std::uint8_t *data,
                  std::uint8_t len) {
    if (len > kzr415::max_image_length) {
        std::fprintf(stderr, "kzr_415_write: %u data bytes exceed the %zu-byte register image\n",
                     unsigned{len}, kzr415::max_image_length);
        return refuse();
    }
    if (data == nullptr && len != 0) {
        std::fprintf(stderr, "kzr_415_write: no data buffer for %u bytes\n", unsigned{len});
        return refuse();
    }
    std::array<std::uint8_t, 1 + kzr415::max_image_length> staging{};
    std::get<0>(staging) = reg;
    if (len != 0) {
        const std::span<const std::uint8_t> source(data, len);
        std::copy(source.begin(), source.end(), std::next(staging.begin()));
    }
    i2c_msg message{slave_addr, 0, static_cast<std::uint16_t>(len + 1U), staging.data()};
    return transfer(fd, message);
}

// The kernel fills `data` through the read message: it cannot point to const.
// NOLINTNEXTLINE(readability-non-const-parameter)
int kzr_415_read(int fd, std::uint16_t slave_addr, std::uint8_t reg, std::uint8_t *data,
                 std::uint8_t len) {
    if (data == nullptr && len != 0) {
        std::fprintf(stderr, "kzr_415_read: no data buffer for %u bytes\n", unsigned{len});
        return refuse();
    }
    if (kzr_415_write(fd, slave_addr, reg, nullptr, 0) < 0) {
        return -1;
    }
    i2c_msg message{slave_addr, I2C_M_RD, len, data};
    return transfer(fd, message);
}

float temperature_reg_read(int fd, std::uint16_t slave_addr, int channel) {
    ConfigurationImage config{};
    TemperatureImage image{};

    if (read_register(fd, slave_addr, kzr415::configuration_register, config.data()) < 0) {
        report_failure("read configure register err!");
        return -1.0F;
    }
    if (read_register(fd, slave_addr, kzr415::temperature_register, image.data()) < 0) {
        report_failure("read temperature register err!");
        return -1.0F;
    }
    std::printf("raw value 1:%hhu %hhu %hhu\n", std::get<0>(image), std::get<1>(image),
                std::get<2>(image));
    std::printf("raw value 2:%hhu %hhu %hhu\n", std::get<3>(image), std::get<4>(image),
                std::get<5>(image));

    switch (channel) {
    case 1:
        return decode_channel<0>(image, config);
    case 2:
        return decode_channel<1>(image, config);
    default:
        return -1.0F;
    }
}

int configurature_reg_control(int fd, std::uint16_t slave_addr, std::uint8_t *data, int rw) {
    return control_register(fd, slave_addr, kzr415::configuration_register, data, rw);
}

int t_low_reg_control(int fd, std::uint16_t slave_addr, std::uint8_t *data, int rw) {
    return control_register(fd, slave_addr, kzr415::t_low_register, data, rw);
}

int t_high_reg_control(int fd, std::uint16_t slave_addr, std::uint8_t *data, int rw) {
    return control_register(fd, slave_addr, kzr415::t_high_register, data, rw);
}

int alert_mode_set(int fd, std::uint16_t slave_addr, int channel, unsigned int mode) {
    if (mode > kzr415::max_alert_mode) {
        // A wider value would spill into bit 5 and silently change the encoding.
        std::fprintf(stderr, "alert_mode_set: mode %u out of range 0-%u\n", mode,
                     kzr415::max_alert_mode);
        return refuse();
    }
    ConfigurationImage config{};
    if (read_register(fd, slave_addr, kzr415::configuration_register, config.data()) < 0) {
        return -1;
    }
    std::uint8_t *const byte = configuration_byte(config, channel);
    if (byte == nullptr) {
        return 0;
    }
    *byte = static_cast<std::uint8_t>(
        (*byte & static_cast<std::uint8_t>(~kzr415::config_alert_mode_mask)) |
        (mode << kzr415::config_alert_mode_shift));
    return write_register(fd, slave_addr, kzr415::configuration_register, config.data());
}

} // extern "C"
