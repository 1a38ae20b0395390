/* Harness stand-in for the armhf driver library: just enough of the
 * transport, register accessors and temperature readout to exercise the
 * board image (dynamic loader, i2c-dev node, real controller, real device)
 * before the real armhf build is available.  Not shipped, not a product. */
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

int i2c_open(const char *path)
{
    int fd = open(path, O_RDWR);
    if (fd < 0) {
        fprintf(stderr, "Could not open i2c at %s\n", path);
        perror(path);
        exit(1);
    }
    return fd;
}

int i2c_close(int fd)
{
    close(fd);
    return 0;
}

static int xfer(int fd, uint16_t addr, uint16_t flags, uint16_t len, uint8_t *buf)
{
    struct i2c_msg msg = {addr, flags, len, buf};
    struct i2c_rdwr_ioctl_data rdwr = {&msg, 1};
    int r = ioctl(fd, I2C_RDWR, &rdwr);
    if (r < 0) {
        perror("ioctl()");
        fprintf(stderr, "ioctl returned %d\n", r);
        return -1;
    }
    return 0;
}

int kzr_415_write(int fd, uint16_t addr, uint8_t reg, const uint8_t *data, uint8_t len)
{
    uint8_t buf[8];
    if (len > 6)
        return -1;
    buf[0] = reg;
    if (len)
        memcpy(buf + 1, data, len);
    return xfer(fd, addr, 0, (uint16_t)(len + 1), buf);
}

int kzr_415_read(int fd, uint16_t addr, uint8_t reg, uint8_t *data, uint8_t len)
{
    if (kzr_415_write(fd, addr, reg, NULL, 0) < 0)
        return -1;
    return xfer(fd, addr, I2C_M_RD, len, data);
}

static int reg_control(int fd, uint16_t addr, uint8_t reg, uint8_t *data, uint8_t len, int rw)
{
    if (rw == 0)
        return kzr_415_write(fd, addr, reg, data, len) < 0 ? -1 : 0;
    if (rw == 1)
        return kzr_415_read(fd, addr, reg, data, len) < 0 ? -1 : 0;
    return 0;
}

int configurature_reg_control(int fd, uint16_t a, uint8_t *d, int rw) { return reg_control(fd, a, 1, d, 2, rw); }
int t_low_reg_control(int fd, uint16_t a, uint8_t *d, int rw) { return reg_control(fd, a, 2, d, 6, rw); }
int t_high_reg_control(int fd, uint16_t a, uint8_t *d, int rw) { return reg_control(fd, a, 3, d, 6, rw); }

int alert_mode_set(int fd, uint16_t addr, int channel, unsigned mode)
{
    uint8_t c[2] = {0, 0};
    if (kzr_415_read(fd, addr, 1, c, 2) < 0)
        return -1;
    if (channel != 1 && channel != 2)
        return 0;
    c[channel - 1] = (uint8_t)((c[channel - 1] & 0xF9) | (mode << 1));
    return kzr_415_write(fd, addr, 1, c, 2) < 0 ? -1 : 0;
}

float temperature_reg_read(int fd, uint16_t addr, int channel)
{
    uint8_t c[2], t[6];
    if (kzr_415_read(fd, addr, 1, c, 2) < 0) {
        puts("read configure register err!");
        return -1.0f;
    }
    if (kzr_415_read(fd, addr, 0, t, 6) < 0) {
        puts("read temperature register err!");
        return -1.0f;
    }
    printf("raw value 1:%hhu %hhu %hhu\n", t[0], t[1], t[2]);
    printf("raw value 2:%hhu %hhu %hhu\n", t[3], t[4], t[5]);
    if (channel != 1 && channel != 2)
        return -1.0f;
    const uint8_t *b = t + 3 * (channel - 1);
    uint32_t raw = (uint32_t)b[0] << 16 | (uint32_t)b[1] << 8 | b[2];
    int sign;
    float v;
    if (c[channel - 1] & 0x20) {
        sign = (raw >> 17) & 1;
        v = (float)((raw >> 7) & 0x3FF) + (float)((double)((raw >> 5) & 3) * 0.25);
    } else {
        sign = (raw >> 23) & 1;
        uint32_t m = sign ? 0u - raw : raw;
        v = (float)((m >> 13) & 0x3FF) + (float)((double)(m & 0x1FFF) * 0.000122);
    }
    return sign ? -v : v;
}
