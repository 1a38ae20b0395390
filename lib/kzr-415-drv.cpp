// libkzr-415-drv, release 1.0's nine functions: transport, register accessors, alert mode and
// temperature readout, which report failures on the console. They are made of the register
// operations of register-io.hpp, which the functions of release 1.1 share; none calls another
// exported function. Nothing here keeps state between calls or allocates memory.
#include "kzr-415-drv.h"

#include "register-io.hpp"
#include "register-map.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <span>

#include <fcntl.h>
#include <unistd.h>

namespace {

using kzr415::Register;
using kzr415::io::ErrnoOutcome;
using kzr415::io::Failures;

// Refuses a request before any bus traffic: the line is already printed.
int refuse() {
    return -EINVAL;
}

// puts() for a failure message, keeping the errno of the failure it reports.
void report_failure(const char *message) {
    const int error = errno;
    std::puts(message);
    errno = error;
}

// The bodies of kzr_415_write and kzr_415_read, for them and for the accessors: 0 or -errno.
int write_reported(int fd, std::uint16_t slave_addr, std::uint8_t reg, const std::uint8_t *data,
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
    return kzr415::io::write_register(fd, slave_addr, reg, std::span(data, len),
                                      Failures::reported);
}

int read_reported(int fd, std::uint16_t slave_addr, std::uint8_t reg, std::uint8_t *data,
                  std::uint8_t len) {
    if (data == nullptr && len != 0) {
        std::fprintf(stderr, "kzr_415_read: no data buffer for %u bytes\n", unsigned{len});
        return refuse();
    }
    return kzr415::io::read_register(fd, slave_addr, reg, std::span(data, len), Failures::reported);
}

// The three register accessors share one shape: write or read a whole image.
int control_register(int fd, std::uint16_t slave_addr, Register reg, std::uint8_t *data, int rw) {
    switch (rw) {
    case REG_WRITE:
        return write_reported(fd, slave_addr, reg.pointer, data, reg.image_length);
    case REG_READ:
        return read_reported(fd, slave_addr, reg.pointer, data, reg.image_length);
    default:
        return 0;
    }
}

// 0 or -1, errno as the header says.
int status(const ErrnoOutcome &outcome, int result) {
    return outcome(result) < 0 ? -1 : 0;
}

} // namespace

extern "C" {

int i2c_open(const char *path) {
    const ErrnoOutcome outcome;
    const int fd = open(path, O_RDWR);
    if (fd < 0) {
        const int open_error = errno; // the first line's printing may change errno
        std::fprintf(stderr, "Could not open i2c at %s\n", path);
        errno = open_error;
        std::perror(path);
        std::exit(1);
    }
    return outcome(fd);
}

int i2c_close(int fd) {
    const ErrnoOutcome outcome;
    (void)outcome(close(fd) < 0 ? -errno : 0);
    return 0;
}

int kzr_415_write(int fd, std::uint16_t slave_addr, std::uint8_t reg, const std::uint8_t *data,
                  std::uint8_t len) {
    const ErrnoOutcome outcome;
    return status(outcome, write_reported(fd, slave_addr, reg, data, len));
}

// The kernel fills `data` through the read message: it cannot point to const.
// NOLINTNEXTLINE(readability-non-const-parameter)
int kzr_415_read(int fd, std::uint16_t slave_addr, std::uint8_t reg, std::uint8_t *data,
                 std::uint8_t len) {
    const ErrnoOutcome outcome;
    return status(outcome, read_reported(fd, slave_addr, reg, data, len));
}

float temperature_reg_read(int fd, std::uint16_t slave_addr, int channel) {
    const ErrnoOutcome outcome;
    kzr415::ConfigurationImage config{};
    kzr415::TemperatureImage image{};

    if (outcome(kzr415::io::read_register(fd, slave_addr, CONFIGURATION_REG, config,
                                          Failures::reported)) < 0) {
        report_failure("read configure register err!");
        return -1.0F;
    }
    if (outcome(kzr415::io::read_register(fd, slave_addr, TEMPERATURE_REG, image,
                                          Failures::reported)) < 0) {
        report_failure("read temperature register err!");
        return -1.0F;
    }
    std::printf("raw value 1:%hhu %hhu %hhu\n", std::get<0>(image), std::get<1>(image),
                std::get<2>(image));
    std::printf("raw value 2:%hhu %hhu %hhu\n", std::get<3>(image), std::get<4>(image),
                std::get<5>(image));

    switch (channel) {
    case 1:
        outcome.success();
        return kzr415::io::decode_reading(kzr415::io::channel_reading<0>(image),
                                          std::get<0>(config));
    case 2:
        outcome.success();
        return kzr415::io::decode_reading(kzr415::io::channel_reading<1>(image),
                                          std::get<1>(config));
    default:
        (void)outcome(-EINVAL);
        return -1.0F;
    }
}

int configurature_reg_control(int fd, std::uint16_t slave_addr, std::uint8_t *data, int rw) {
    const ErrnoOutcome outcome;
    return status(outcome,
                  control_register(fd, slave_addr, kzr415::configuration_register, data, rw));
}

int t_low_reg_control(int fd, std::uint16_t slave_addr, std::uint8_t *data, int rw) {
    const ErrnoOutcome outcome;
    return status(outcome, control_register(fd, slave_addr, kzr415::t_low_register, data, rw));
}

int t_high_reg_control(int fd, std::uint16_t slave_addr, std::uint8_t *data, int rw) {
    const ErrnoOutcome outcome;
    return status(outcome, control_register(fd, slave_addr, kzr415::t_high_register, data, rw));
}

int alert_mode_set(int fd, std::uint16_t slave_addr, int channel, unsigned int mode) {
    const ErrnoOutcome outcome;
    if (mode > kzr415::max_alert_mode) {
        // A wider value would spill into bit 5 and silently change the encoding.
        std::fprintf(stderr, "alert_mode_set: mode %u out of range 0-%u\n", mode,
                     kzr415::max_alert_mode);
        return status(outcome, refuse());
    }
    return status(outcome,
                  kzr415::io::change_alert_mode(fd, slave_addr, channel, mode, Failures::reported));
}

} // extern "C"
