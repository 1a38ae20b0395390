// libkzr-415-drv, release 1.1: the calls that return their errors (0 or -errno) and print
// nothing. Each checks its arguments before any bus traffic and is made of the register
// operations of register-io.hpp, the same as the nine functions of release 1.0 use.
#include "kzr-415-drv.h"

#include "register-io.hpp"
#include "register-map.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <limits>
#include <span>

#include <fcntl.h>
#include <unistd.h>

namespace {

using kzr415::Register;
using kzr415::io::ErrnoOutcome;
using kzr415::io::Failures;

// The register `reg` selects, if `len` is its image length and `data` is there; else null.
const Register *whole_image(std::uint8_t reg, const std::uint8_t *data, std::uint8_t len) {
    const Register *const found = kzr415::find_register(reg);
    if (found == nullptr || data == nullptr || len != found->image_length) {
        return nullptr;
    }
    return found;
}

} // namespace

extern "C" {

int kzr_415_open(const char *path) {
    const ErrnoOutcome outcome;
    if (path == nullptr) {
        return outcome(-EINVAL);
    }
    const int fd = open(path, O_RDWR | O_CLOEXEC);
    return outcome(fd < 0 ? -errno : fd);
}

int kzr_415_close(int fd) {
    const ErrnoOutcome outcome;
    return outcome(close(fd) < 0 ? -errno : 0);
}

int kzr_415_get_register(int fd, std::uint16_t slave_addr, std::uint8_t reg, std::uint8_t *data,
                         std::uint8_t len) {
    const ErrnoOutcome outcome;
    if (whole_image(reg, data, len) == nullptr) {
        return outcome(-EINVAL);
    }
    // Read aside, so that a failed read leaves the caller's buffer as it was.
    std::array<std::uint8_t, kzr415::max_image_length> image{};
    const std::span<std::uint8_t> read(image.data(), len);
    const int result = kzr415::io::read_register(fd, slave_addr, reg, read, Failures::silent);
    if (result == 0) {
        std::copy(read.begin(), read.end(), data);
    }
    return outcome(result);
}

int kzr_415_set_register(int fd, std::uint16_t slave_addr, std::uint8_t reg,
                         const std::uint8_t *data, std::uint8_t len) {
    const ErrnoOutcome outcome;
    const Register *const found = whole_image(reg, data, len);
    if (found == nullptr || !found->writable) {
        return outcome(-EINVAL);
    }
    return outcome(
        kzr415::io::write_register(fd, slave_addr, reg, std::span(data, len), Failures::silent));
}

int kzr_415_set_alert_mode(int fd, std::uint16_t slave_addr, int channel, unsigned int mode) {
    const ErrnoOutcome outcome;
    if ((channel != 1 && channel != 2) || mode > kzr415::max_alert_mode) {
        return outcome(-EINVAL);
    }
    return outcome(kzr415::io::change_alert_mode(fd, slave_addr, channel, mode, Failures::silent));
}

int kzr_415_read_temperatures(int fd, std::uint16_t slave_addr, float celsius[2]) {
    const ErrnoOutcome outcome;
    if (celsius == nullptr) {
        return outcome(-EINVAL);
    }
    kzr415::ConfigurationImage config{};
    kzr415::TemperatureImage image{};
    int result =
        kzr415::io::read_register(fd, slave_addr, CONFIGURATION_REG, config, Failures::silent);
    if (result == 0) {
        result =
            kzr415::io::read_register(fd, slave_addr, TEMPERATURE_REG, image, Failures::silent);
    }
    if (result == 0) {
        celsius[0] =
            kzr415::io::decode_reading(kzr415::io::channel_reading<0>(image), std::get<0>(config));
        celsius[1] =
            kzr415::io::decode_reading(kzr415::io::channel_reading<1>(image), std::get<1>(config));
    }
    return outcome(result);
}

float kzr_415_decode(const std::uint8_t raw[3], std::uint8_t configuration) {
    if (raw == nullptr) {
        return std::numeric_limits<float>::quiet_NaN();
    }
    kzr415::ChannelReading bytes{};
    std::copy_n(raw, bytes.size(), bytes.begin());
    return kzr415::io::decode_reading(bytes, configuration);
}

} // extern "C"
