/* A small monitor as a product would write it, with the functions of release 1.1 alone: reads
 * both channels of the kzr-415 at 0x48 on /dev/i2c-4 and prints them. With the argument
 * "configure" it first writes the configuration {0x1C, 0x1C}, alert mode 1 on channel 1 and
 * 2 on channel 2, the thresholds 0x800000 and 0x7FFFFF, and prints the configuration and both
 * channels as kzr_415_decode decodes the temperature register's bytes.
 *
 * Everything it prints is its own, on standard output: a line per reading, or per failed
 * call its name, the error it returned and the system's text for it. The library prints
 * nothing. Exit status 0 when every call succeeded, 1 when the node cannot be opened, 3 when
 * another call failed (the program goes on after it). */
#include "kzr-415-drv.h"

#include <stdio.h>
#include <string.h>

static int failed;

/* Reports a failed call; true when `result` is a success. */
static int succeeded(const char *call, int result) {
    if (result < 0) {
        printf("%s: %d (%s)\n", call, result, strerror(-result));
        failed = 1;
    }
    return result >= 0;
}

static void configure(int fd) {
    const uint8_t configuration[CONFIGURATION_REG_LENGTH] = {0x1C, 0x1C};
    const uint8_t low[T_LOW_REG_LENGTH] = {0x80, 0x00, 0x00, 0x80, 0x00, 0x00};
    const uint8_t high[T_HIGH_REG_LENGTH] = {0x7F, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF};
    uint8_t read_back[CONFIGURATION_REG_LENGTH] = {0};
    uint8_t raw[TEMPERATURE_REG_LENGTH] = {0};

    succeeded("kzr_415_set_register 0x01",
              kzr_415_set_register(fd, KZR_415_SLAVE_ADDR, CONFIGURATION_REG, configuration,
                                   CONFIGURATION_REG_LENGTH));
    succeeded("kzr_415_set_alert_mode 1", kzr_415_set_alert_mode(fd, KZR_415_SLAVE_ADDR, 1, 1));
    succeeded("kzr_415_set_alert_mode 2", kzr_415_set_alert_mode(fd, KZR_415_SLAVE_ADDR, 2, 2));
    succeeded("kzr_415_set_register 0x02",
              kzr_415_set_register(fd, KZR_415_SLAVE_ADDR, T_LOW_REG, low, T_LOW_REG_LENGTH));
    succeeded("kzr_415_set_register 0x03",
              kzr_415_set_register(fd, KZR_415_SLAVE_ADDR, T_HIGH_REG, high, T_HIGH_REG_LENGTH));
    if (succeeded("kzr_415_get_register 0x01",
                  kzr_415_get_register(fd, KZR_415_SLAVE_ADDR, CONFIGURATION_REG, read_back,
                                       CONFIGURATION_REG_LENGTH))) {
        printf("configuration:%02x %02x\n", read_back[0], read_back[1]);
    }
    if (succeeded("kzr_415_get_register 0x00",
                  kzr_415_get_register(fd, KZR_415_SLAVE_ADDR, TEMPERATURE_REG, raw,
                                       TEMPERATURE_REG_LENGTH))) {
        printf("decoded 1:%f\n", (double)kzr_415_decode(raw, read_back[0]));
        printf("decoded 2:%f\n", (double)kzr_415_decode(raw + 3, read_back[1]));
    }
}

int main(int argc, char **argv) {
    float celsius[2] = {0.0f, 0.0f};
    const int fd = kzr_415_open("/dev/i2c-4");
    if (!succeeded("kzr_415_open", fd)) {
        return 1;
    }
    if (argc > 1 && strcmp(argv[1], "configure") == 0) {
        configure(fd);
    }
    if (succeeded("kzr_415_read_temperatures",
                  kzr_415_read_temperatures(fd, KZR_415_SLAVE_ADDR, celsius))) {
        printf("temperature 1:%f\ntemperature 2:%f\n", (double)celsius[0], (double)celsius[1]);
    }
    succeeded("kzr_415_close", kzr_415_close(fd));
    return failed ? 3 : 0;
}
