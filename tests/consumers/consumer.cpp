// A C++ program built against the installed library, outside the project's build: sets
// channel 2's alert mode, reads the configuration back and reads channel 1's temperature.
#include <kzr-415-drv.h>

#include <array>
#include <cstdint>
#include <cstdio>

int main(int argc, char **argv) {
    const int fd = i2c_open(argc > 1 ? argv[1] : "/dev/i2c-4");
    std::array<std::uint8_t, CONFIGURATION_REG_LENGTH> configuration{};
    const bool ok =
        alert_mode_set(fd, KZR_415_SLAVE_ADDR, 2, 3) == 0 &&
        configurature_reg_control(fd, KZR_415_SLAVE_ADDR, configuration.data(), REG_READ) == 0;
    const float temperature = temperature_reg_read(fd, KZR_415_SLAVE_ADDR, 1);
    std::printf("c++ consumer: configuration %02x %02x, temperature 1 %f\n",
                unsigned{configuration[0]}, unsigned{configuration[1]},
                static_cast<double>(temperature));
    i2c_close(fd);
    return ok && temperature != -1.0f ? 0 : 1;
}
