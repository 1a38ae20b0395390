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
#include <span>

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

using kzr415::Register;

// Issues I2C_RDWR with one message; reports a failure on standard error.
int transfer(int fd, i2c_msg &message) {
    i2c_rdwr_ioctl_data request{&message, 1};
    const int result = ioctl(fd, I2C_RDWR, &request);
    if (result < 0) {
        std::perror("ioctl()");
        std::fprintf(stderr, "ioctl returned %d\n", result);
        return -1;
    }
    return 0;
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

// A channel's byte offsets; nullopt-like -1 for an unknown channel.
constexpr int channel_index(int channel) {
    return channel == 1 || channel == 2 ? channel - 1 : -1;
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
        return -1;
    }
    if (data == nullptr && len != 0) {
        std::fprintf(stderr, "kzr_415_write: no data buffer for %u bytes\n", unsigned{len});
        return -1;
    }
    std::array<std::uint8_t, 1 + kzr415::max_image_length> staging{};
    staging[0] = reg;
    if (len != 0) {
        const std::span<const std::uint8_t> source(data, len);
        std::copy(source.begin(), source.end(), staging.begin() + 1);
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
        return -1;
    }
    if (kzr_415_write(fd, slave_addr, reg, nullptr, 0) < 0) {
        return -1;
    }
    i2c_msg message{slave_addr, I2C_M_RD, len, data};
    return transfer(fd, message);
}

float temperature_reg_read(int fd, std::uint16_t slave_addr, int channel) {
    std::array<std::uint8_t, kzr415::configuration_register.image_length> config{};
    std::array<std::uint8_t, kzr415::temperature_register.image_length> image{};

    if (read_register(fd, slave_addr, kzr415::configuration_register, config.data()) < 0) {
        std::puts("read configure register err!");
        return -1.0F;
    }
    if (read_register(fd, slave_addr, kzr415::temperature_register, image.data()) < 0) {
        std::puts("read temperature register err!");
        return -1.0F;
    }
    std::printf("raw value 1:%hhu %hhu %hhu\n", image[0], image[1], image[2]);
    std::printf("raw value 2:%hhu %hhu %hhu\n", image[3], image[4], image[5]);

    const int index = channel_index(channel);
    if (index < 0) {
        return -1.0F;
    }
    const auto offset = static_cast<std::size_t>(index) * kzr415::channel_value_length;
    const std::uint32_t raw =
        kzr415::assemble_raw(image[offset], image[offset + 1], image[offset + 2]);
    const bool sign_magnitude =
        (config[static_cast<std::size_t>(index)] & kzr415::config_sign_magnitude) != 0;
    return kzr415::decode_temperature(raw, sign_magnitude);
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
        return -1;
    }
    std::array<std::uint8_t, kzr415::configuration_register.image_length> config{};
    if (read_register(fd, slave_addr, kzr415::configuration_register, config.data()) < 0) {
        return -1;
    }
    const int index = channel_index(channel);
    if (index < 0) {
        return 0;
    }
    auto &byte = config[static_cast<std::size_t>(index)];
    byte = static_cast<std::uint8_t>(
        (byte & static_cast<std::uint8_t>(~kzr415::config_alert_mode_mask)) |
        (mode << kzr415::config_alert_mode_shift));
    return write_register(fd, slave_addr, kzr415::configuration_register, config.data());
}

} // extern "C"
