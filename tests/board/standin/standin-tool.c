/* Harness stand-in for the armhf program (see standin-lib.c). */
#include <stdint.h>
#include <stdio.h>

int i2c_open(const char *path);
int i2c_close(int fd);
int configurature_reg_control(int fd, uint16_t a, uint8_t *d, int rw);
int t_low_reg_control(int fd, uint16_t a, uint8_t *d, int rw);
int t_high_reg_control(int fd, uint16_t a, uint8_t *d, int rw);
int alert_mode_set(int fd, uint16_t addr, int channel, unsigned mode);
float temperature_reg_read(int fd, uint16_t addr, int channel);

int main(void)
{
    uint8_t conf[2] = {0x1C, 0x1C};
    uint8_t low[6] = {0x80, 0, 0, 0x80, 0, 0};
    uint8_t high[6] = {0x7F, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF};
    printf("slave address of kzr-415      : 0x%02x\n", 0x48);
    int fd = i2c_open("/dev/i2c-4");
    configurature_reg_control(fd, 0x48, conf, 0);
    alert_mode_set(fd, 0x48, 1, 0);
    alert_mode_set(fd, 0x48, 2, 0);
    t_low_reg_control(fd, 0x48, low, 0);
    t_high_reg_control(fd, 0x48, high, 0);
    printf("temperature 1:%f\n", temperature_reg_read(fd, 0x48, 1));
    printf("temperature 2:%f\n", temperature_reg_read(fd, 0x48, 2));
    i2c_close(fd);
    return 0;
}
