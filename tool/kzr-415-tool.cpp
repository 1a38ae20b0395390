// kzr-415-tool: puts the kzr-415 on /dev/i2c-4 into a fixed configuration and prints the
// temperature of both channels.
//
// Exit status: 0 when every step succeeded; 1 when the bus node cannot be opened; 3 when the
// run went through but a configuration step or a temperature read failed (the library has
// reported it, and the run goes on as it always has).
#include "kzr-415-drv.h"
#include "program-defaults.hpp"

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>

namespace {

constexpr const char *bus_node = kzr415::default_bus_node;
constexpr std::uint16_t slave_addr = kzr415::default_slave_addr;

// Both channels: bits 4, 3 and 2 set; bit 5 clear selects the two's-complement encoding.
constexpr std::array<std::uint8_t, CONFIGURATION_REG_LENGTH> configuration{0x1C, 0x1C};
constexpr unsigned alert_mode = 0;
// Each channel's thresholds at the 24-bit two's-complement extremes.
constexpr std::array<std::uint8_t, T_LOW_REG_LENGTH> low_threshold{0x80, 0x00, 0x00,
                                                                   0x80, 0x00, 0x00};
constexpr std::array<std::uint8_t, T_HIGH_REG_LENGTH> high_threshold{0x7F, 0xFF, 0xFF,
                                                                     0x7F, 0xFF, 0xFF};

constexpr int status_step_failed = 3;

// Prints a channel's reading; true when the read failed. -1.0 is also a reading: the library
// leaves errno as it was after a reading and sets it after a failure.
bool print_temperature(int fd, int channel) {
    errno = 0;
    const float temperature = temperature_reg_read(fd, slave_addr, channel);
    const bool failed = temperature == -1.0F && errno != 0;
    std::printf("temperature %d:%f\n", channel, static_cast<double>(temperature));
    return failed;
}

} // namespace

int main() {
    std::printf("slave address of kzr-415      : 0x%02x\n", unsigned{slave_addr});

    const int fd = i2c_open(bus_node);

    auto config = configuration;
    auto low = low_threshold;
    auto high = high_threshold;
    // A failed step has reported itself; the run goes on, and its status says so at the end.
    bool failed = configurature_reg_control(fd, slave_addr, config.data(), REG_WRITE) != 0;
    failed = alert_mode_set(fd, slave_addr, 1, alert_mode) != 0 || failed;
    failed = alert_mode_set(fd, slave_addr, 2, alert_mode) != 0 || failed;
    failed = t_low_reg_control(fd, slave_addr, low.data(), REG_WRITE) != 0 || failed;
    failed = t_high_reg_control(fd, slave_addr, high.data(), REG_WRITE) != 0 || failed;

    failed = print_temperature(fd, 1) || failed;
    failed = print_temperature(fd, 2) || failed;

    (void)i2c_close(fd);
    return failed ? status_step_failed : 0;
}
