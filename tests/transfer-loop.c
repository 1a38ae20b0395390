/* Makes COUNT combined transfers on the bus node (a 1-byte pointer write and a 2-byte read
 * of the configuration register): a program that shares the emulated bus with others. */
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

int main(int argc, char **argv) {
    const long count = argc > 1 ? strtol(argv[1], NULL, 10) : 1;
    const int fd = open(argc > 2 ? argv[2] : "/dev/i2c-4", O_RDWR);
    if (fd < 0) {
        perror("open");
        return 1;
    }
    unsigned char pointer = 0x01;
    unsigned char bytes[2] = {0, 0};
    struct i2c_msg messages[2] = {{0x48, 0, 1, &pointer}, {0x48, I2C_M_RD, 2, bytes}};
    struct i2c_rdwr_ioctl_data request = {messages, 2};
    for (long i = 0; i < count; ++i) {
        if (ioctl(fd, I2C_RDWR, &request) != 2) {
            perror("I2C_RDWR");
            return 1;
        }
    }
    close(fd);
    return 0;
}
