/* A C99 caller of the library: the header must compile as C (its image lengths size C
 * arrays), and the library's functions must link and behave from C. Runs on the emulated bus
 * with 25.0 and 21.0 degrees (KZR415_SIM_CELSIUS_1 and _2), read in the two's-complement
 * encoding. */
#include "kzr-415-drv.h"

#include <stdio.h>
#include <string.h>

static int failures;

static void check(int ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "c-consumer: %s\n", what);
        ++failures;
    }
}

int main(void) {
    uint8_t config[CONFIGURATION_REG_LENGTH] = {0x1C, 0x1C};
    uint8_t low[T_LOW_REG_LENGTH] = {0x80, 0, 0, 0x80, 0, 0};
    uint8_t high[T_HIGH_REG_LENGTH] = {0};
    uint8_t raw[TEMPERATURE_REG_LENGTH] = {0};
    const uint8_t image[T_HIGH_REG_LENGTH] = {0x7F, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF};
    const int fd = i2c_open("/dev/i2c-4");

    check(configurature_reg_control(fd, KZR_415_SLAVE_ADDR, config, REG_WRITE) == 0, "config");
    check(alert_mode_set(fd, KZR_415_SLAVE_ADDR, 1, 2) == 0, "alert mode");
    check(configurature_reg_control(fd, KZR_415_SLAVE_ADDR, config, REG_READ) == 0, "read back");
    check(config[0] == 0x1C && config[1] == 0x1C, "alert mode 2 on channel 1 reads 0x1c");
    check(t_low_reg_control(fd, KZR_415_SLAVE_ADDR, low, REG_WRITE) == 0, "t_low");
    check(kzr_415_write(fd, KZR_415_SLAVE_ADDR, T_HIGH_REG, image, T_HIGH_REG_LENGTH) == 0,
          "raw write");
    check(t_high_reg_control(fd, KZR_415_SLAVE_ADDR, high, REG_READ) == 0, "t_high");
    check(memcmp(high, image, sizeof high) == 0, "t_high reads back");
    check(kzr_415_read(fd, KZR_415_SLAVE_ADDR, TEMPERATURE_REG, raw, TEMPERATURE_REG_LENGTH) == 0,
          "raw read");
    check(raw[0] == 0x03 && raw[1] == 0x20 && raw[2] == 0x00, "raw temperature");
    check(temperature_reg_read(fd, KZR_415_SLAVE_ADDR, 2) == 21.0f, "temperature 2");
    check(i2c_close(fd) == 0, "close");
    return failures == 0 ? 0 : 1;
}
