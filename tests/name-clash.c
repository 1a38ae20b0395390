/* A program that defines, for its own use, functions of the names the library exports: the
 * library's functions must go on working as documented, without calling the program's. Built
 * twice: with CLASH_TRANSPORT it defines the transport, the register calls, the decode and
 * the configuration accessor, and uses the readout and the alert mode of both releases; with
 * CLASH_READOUT it defines the readout, the alert mode and the threshold accessors of release
 * 1.0, and uses release 1.1's calls and the transport. Runs on the emulated bus with the
 * temperatures its environment gives (KZR415_SIM_CELSIUS_1 and _2): 25.0 and 21.0 degrees,
 * the configuration 00 00. */
#include "kzr-415-drv.h"

#include <stdio.h>
#include <string.h>

static int impostor_calls;
static int failures;

static void check(int ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "name-clash: %s\n", what);
        ++failures;
    }
}

#define IMPOSTOR(result)                                                                           \
    do {                                                                                           \
        ++impostor_calls;                                                                          \
        return result;                                                                             \
    } while (0)

#ifdef CLASH_TRANSPORT
int kzr_415_write(int fd, uint16_t slave_addr, uint8_t reg, const uint8_t *data, uint8_t len) {
    (void)fd, (void)slave_addr, (void)reg, (void)data, (void)len;
    IMPOSTOR(-1);
}
int kzr_415_read(int fd, uint16_t slave_addr, uint8_t reg, uint8_t *data, uint8_t len) {
    (void)fd, (void)slave_addr, (void)reg, (void)data, (void)len;
    IMPOSTOR(-1);
}
int kzr_415_get_register(int fd, uint16_t slave_addr, uint8_t reg, uint8_t *data, uint8_t len) {
    (void)fd, (void)slave_addr, (void)reg, (void)data, (void)len;
    IMPOSTOR(-5);
}
int kzr_415_set_register(int fd, uint16_t slave_addr, uint8_t reg, const uint8_t *data,
                         uint8_t len) {
    (void)fd, (void)slave_addr, (void)reg, (void)data, (void)len;
    IMPOSTOR(-5);
}
float kzr_415_decode(const uint8_t raw[3], uint8_t configuration) {
    (void)raw, (void)configuration;
    IMPOSTOR(99.0f);
}
int configurature_reg_control(int fd, uint16_t slave_addr, uint8_t *data, int rw) {
    (void)fd, (void)slave_addr, (void)data, (void)rw;
    IMPOSTOR(-1);
}

static void use_library(int fd) {
    uint8_t threshold[T_LOW_REG_LENGTH] = {1, 2, 3, 4, 5, 6};
    uint8_t read_back[T_LOW_REG_LENGTH] = {0};
    float celsius[2] = {0.0f, 0.0f};
    check(temperature_reg_read(fd, KZR_415_SLAVE_ADDR, 2) == 21.0f, "temperature_reg_read");
    check(t_low_reg_control(fd, KZR_415_SLAVE_ADDR, threshold, REG_WRITE) == 0 &&
              t_low_reg_control(fd, KZR_415_SLAVE_ADDR, read_back, REG_READ) == 0 &&
              memcmp(threshold, read_back, sizeof threshold) == 0,
          "t_low_reg_control");
    check(alert_mode_set(fd, KZR_415_SLAVE_ADDR, 1, 3) == 0, "alert_mode_set");
    check(kzr_415_set_alert_mode(fd, KZR_415_SLAVE_ADDR, 2, 1) == 0, "kzr_415_set_alert_mode");
    check(kzr_415_read_temperatures(fd, KZR_415_SLAVE_ADDR, celsius) == 0 && celsius[0] == 25.0f &&
              celsius[1] == 21.0f,
          "kzr_415_read_temperatures");
    check(t_high_reg_control(fd, KZR_415_SLAVE_ADDR, read_back, REG_READ) == 0,
          "t_high_reg_control");
}
#endif

#ifdef CLASH_READOUT
float temperature_reg_read(int fd, uint16_t slave_addr, int channel) {
    (void)fd, (void)slave_addr, (void)channel;
    IMPOSTOR(99.0f);
}
int alert_mode_set(int fd, uint16_t slave_addr, int channel, unsigned int mode) {
    (void)fd, (void)slave_addr, (void)channel, (void)mode;
    IMPOSTOR(-1);
}
int t_low_reg_control(int fd, uint16_t slave_addr, uint8_t *data, int rw) {
    (void)fd, (void)slave_addr, (void)data, (void)rw;
    IMPOSTOR(-1);
}
int t_high_reg_control(int fd, uint16_t slave_addr, uint8_t *data, int rw) {
    (void)fd, (void)slave_addr, (void)data, (void)rw;
    IMPOSTOR(-1);
}

static void use_library(int fd) {
    const uint8_t threshold[T_HIGH_REG_LENGTH] = {6, 5, 4, 3, 2, 1};
    uint8_t read_back[T_HIGH_REG_LENGTH] = {0};
    uint8_t configuration[CONFIGURATION_REG_LENGTH] = {0xFF, 0xFF};
    uint8_t raw[TEMPERATURE_REG_LENGTH] = {0};
    float celsius[2] = {0.0f, 0.0f};
    check(kzr_415_set_alert_mode(fd, KZR_415_SLAVE_ADDR, 1, 2) == 0, "kzr_415_set_alert_mode");
    check(kzr_415_get_register(fd, KZR_415_SLAVE_ADDR, CONFIGURATION_REG, configuration,
                               CONFIGURATION_REG_LENGTH) == 0 &&
              configuration[0] == 0x04 && configuration[1] == 0x00,
          "kzr_415_get_register");
    check(kzr_415_set_register(fd, KZR_415_SLAVE_ADDR, T_HIGH_REG, threshold, T_HIGH_REG_LENGTH) ==
                  0 &&
              kzr_415_read(fd, KZR_415_SLAVE_ADDR, T_HIGH_REG, read_back, T_HIGH_REG_LENGTH) == 0 &&
              memcmp(threshold, read_back, sizeof threshold) == 0,
          "kzr_415_set_register, kzr_415_read");
    check(kzr_415_write(fd, KZR_415_SLAVE_ADDR, CONFIGURATION_REG, configuration,
                        CONFIGURATION_REG_LENGTH) == 0 &&
              configurature_reg_control(fd, KZR_415_SLAVE_ADDR, configuration, REG_READ) == 0,
          "kzr_415_write, configurature_reg_control");
    check(kzr_415_read_temperatures(fd, KZR_415_SLAVE_ADDR, celsius) == 0 && celsius[0] == 25.0f &&
              celsius[1] == 21.0f,
          "kzr_415_read_temperatures");
    check(kzr_415_get_register(fd, KZR_415_SLAVE_ADDR, TEMPERATURE_REG, raw,
                               TEMPERATURE_REG_LENGTH) == 0 &&
              kzr_415_decode(raw, 0x00) == 25.0f,
          "kzr_415_decode");
}
#endif

int main(void) {
    const int fd = kzr_415_open("/dev/i2c-4");
    check(fd >= 0, "kzr_415_open");
    use_library(fd);
    check(kzr_415_close(fd) == 0, "kzr_415_close");
    if (impostor_calls != 0) {
        fprintf(stderr, "name-clash: the library called %d of the program's own functions\n",
                impostor_calls);
    }
    return failures == 0 && impostor_calls == 0 ? 0 : 1;
}
