// kzr-415-tool: puts the kzr-415 on /dev/i2c-4 into a fixed configuration and prints the
// temperature of both channels.
//
// Exit status: 0 after a complete run (failed register operations are reported by the
// library and do not stop the run); 1 when the bus node cannot be opened.
#include "kzr-415-drv.h"

#include <array>
#include <cstdint>
#include <cstdio>

namespace {

constexpr const char *bus_node = "/dev/i2c-4";
constexpr std::uint16_t slave_addr = KZR_415_SLAVE_ADDR;

// Both channels: bits 4, 3 and 2 set; bit 5 clear selects the two's-complement encoding.
constexpr std::array<std::uint8_t, CONFIGURATION_REG_LENGTH> configuration{0x1C, 0x1C};
constexpr unsigned alert_mode = 0;
// Each channel's thresholds at the 24-bit two's-complement extremes.
constexpr std::array<std::uint8_t, T_LOW_REG_LENGTH> low_threshold{0x80, 0x00, 0x00,
                                                                   0x80, 0x00, 0x00};
constexpr std::array<std::uint8_t, T_HIGH_REG_LENGTH> high_threshold{0x7F, 0xFF, 0xFF,
                                                                     0x7F, 0xFF, 0xFF};

} // namespace

int main() {
    std::printf("slave address of kzr-415      : 0x%02x\n", unsigned{slave_addr});

    const int fd = i2c_open(bus_node);

    auto config = configuration;
    auto low = low_threshold;
    auto high = high_threshold;
    // Results are not examined: a failed step has reported itself and the run goes on.
    (void)configurature_reg_control(fd, slave_addr, config.data(), REG_WRITE);
    (void)alert_mode_set(fd, slave_addr, 1, alert_mode);
    (void)alert_mode_set(fd, slave_addr, 2, alert_mode);
    (void)t_low_reg_control(fd, slave_addr, low.data(), REG_WRITE);
    (void)t_high_reg_control(fd, slave_addr, high.data(), REG_WRITE);

    const float temperature1 = temperature_reg_read(fd, slave_addr, 1);
    std::printf("temperature 1:%f\n", static_cast<double>(temperature1));
    const float temperature2 = temperature_reg_read(fd, slave_addr, 2);
    std::printf("temperature 2:%f\n", static_cast<double>(temperature2));

    (void)i2c_close(fd);
    return 0;
}
