// Register transfers, the alert mode's read-modify-write and the decode of one channel, for
// both families of exported functions. Only this file touches the kernel interface.
#include "register-io.hpp"

#include "temperature-decode.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <iterator>

#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>

namespace kzr415::io {
namespace {

// Issues I2C_RDWR with one message: 0, or -errno. A reported failure prints the transport's
// two lines; the ioctl's errno is what is returned, whatever the printing did to errno.
int transfer(int fd, i2c_msg &message, Failures failures) {
    i2c_rdwr_ioctl_data request{&message, 1};
    const int result = ioctl(fd, I2C_RDWR, &request);
    if (result >= 0) {
        return 0;
    }
    // A failure must never read as a success, even from an ioctl that left errno at 0.
    const int error = errno != 0 ? errno : EIO;
    if (failures == Failures::reported) {
        std::perror("ioctl()");
        std::fprintf(stderr, "ioctl returned %d\n", result);
    }
    return -error;
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

int write_register(int fd, std::uint16_t slave_addr, std::uint8_t reg,
                   std::span<const std::uint8_t> data, Failures failures) {
    std::array<std::uint8_t, 1 + max_image_length> staging{};
    if (data.size() > max_image_length) {
        return -EINVAL;
    }
    std::get<0>(staging) = reg;
    std::copy(data.begin(), data.end(), std::next(staging.begin()));
    i2c_msg message{slave_addr, 0, static_cast<std::uint16_t>(data.size() + 1), staging.data()};
    return transfer(fd, message, failures);
}

int read_register(int fd, std::uint16_t slave_addr, std::uint8_t reg, std::span<std::uint8_t> data,
                  Failures failures) {
    if (const int result = write_register(fd, slave_addr, reg, {}, failures); result < 0) {
        return result;
    }
    i2c_msg message{slave_addr, I2C_M_RD, static_cast<std::uint16_t>(data.size()), data.data()};
    return transfer(fd, message, failures);
}

int change_alert_mode(int fd, std::uint16_t slave_addr, int channel, unsigned mode,
                      Failures failures) {
    ConfigurationImage config{};
    if (const int result =
            read_register(fd, slave_addr, configuration_register.pointer, config, failures);
        result < 0) {
        return result;
    }
    std::uint8_t *const byte = configuration_byte(config, channel);
    if (byte == nullptr) {
        return 0;
    }
    *byte = static_cast<std::uint8_t>((*byte & static_cast<std::uint8_t>(~config_alert_mode_mask)) |
                                      (mode << config_alert_mode_shift));
    return write_register(fd, slave_addr, configuration_register.pointer, config, failures);
}

float decode_reading(const ChannelReading &bytes, std::uint8_t configuration) {
    const std::uint32_t raw =
        assemble_raw(std::get<0>(bytes), std::get<1>(bytes), std::get<2>(bytes));
    return decode_temperature(raw, (configuration & config_sign_magnitude) != 0);
}

} // namespace kzr415::io
