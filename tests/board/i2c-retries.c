/* One I2C_RDWR transfer after raising the adapter's retry count and timeout, as any user of
 * an i2c-dev node may:
 *
 *   i2c-retries NODE ADDRESS RETRIES TIMEOUT
 *
 * sets I2C_RETRIES to RETRIES and I2C_TIMEOUT to TIMEOUT (in 10 ms) on NODE, then sends one
 * write message holding the pointer 0x00 to ADDRESS. Standard output gets
 * "I2C_RDWR returned N" or "I2C_RDWR: <the system's error text>", standard error the time the
 * transfer took. Exit status 0 when it succeeded, 1 when it failed, 2 when it could not be
 * made. Both settings stay on the adapter afterwards: they belong to the adapter, not to the
 * open node. */
#include <errno.h>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

static int number(const char *text, unsigned long *value) {
    char *end = NULL;
    errno = 0;
    *value = strtoul(text, &end, 0);
    return errno == 0 && end != text && *end == '\0';
}

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

int main(int argc, char **argv) {
    unsigned long address = 0, retries = 0, timeout = 0;
    unsigned char pointer = 0x00;
    struct i2c_msg message = {0, 0, 1, &pointer};
    struct i2c_rdwr_ioctl_data transfer = {&message, 1};
    double start;
    int fd, ret, error;

    if (argc != 5 || !number(argv[2], &address) || address > 0x7f || !number(argv[3], &retries) ||
        !number(argv[4], &timeout)) {
        fprintf(stderr, "usage: i2c-retries NODE ADDRESS RETRIES TIMEOUT\n");
        return 2;
    }
    message.addr = (unsigned short)address;
    fd = open(argv[1], O_RDWR);
    if (fd < 0 || ioctl(fd, I2C_RETRIES, retries) < 0 || ioctl(fd, I2C_TIMEOUT, timeout) < 0) {
        perror(argv[1]);
        return 2;
    }
    start = now();
    ret = ioctl(fd, I2C_RDWR, &transfer);
    error = errno;
    fprintf(stderr, "the transfer took %.3f s\n", now() - start);
    if (ret < 0) {
        printf("I2C_RDWR: %s\n", strerror(error));
    } else {
        printf("I2C_RDWR returned %d\n", ret);
    }
    close(fd);
    return ret < 0 ? 1 : 0;
}
