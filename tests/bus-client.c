/* An unmodified i2c-dev client of its own, without the driver library: it opens the bus node
 * (open and openat), reads the configuration register with one I2C_RDWR transfer, and
 * expects a non-simulated descriptor to be left to the C library. Built twice: with 64-bit
 * file offsets and time, where a 32-bit C library binds open64 and __ioctl_time64, and
 * without, where it binds open and ioctl; the emulated bus must serve both. Run with the
 * bus preloaded and KZR415_SIM_CONFIGURATION=5a a5. */
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <unistd.h>

static int failures;

static void check(int ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "bus-client: %s\n", what);
        ++failures;
    }
}

static void read_configuration(int fd, const char *how) {
    unsigned char pointer = 0x01;
    unsigned char value[2] = {0, 0};
    struct i2c_msg messages[2] = {{0x48, 0, 1, &pointer}, {0x48, I2C_M_RD, 2, value}};
    struct i2c_rdwr_ioctl_data transfer = {messages, 2};
    check(fd >= 0, how);
    check(ioctl(fd, I2C_RDWR, &transfer) == 2, "I2C_RDWR on the node");
    check(value[0] == 0x5a && value[1] == 0xa5, "the configuration register's bytes");
    check(close(fd) == 0, "close");
}

int main(void) {
    int other;
    read_configuration(open("/dev/i2c-4", O_RDWR), "open the node");
    read_configuration(openat(AT_FDCWD, "/dev/i2c-4", O_RDWR | O_CLOEXEC), "openat the node");

    other = open("/dev/null", O_RDWR);
    check(other >= 0, "open another file");
    check(ioctl(other, I2C_RDWR, NULL) == -1, "I2C_RDWR on another file is the kernel's");
    check(close(other) == 0, "close another file");
    return failures == 0 ? 0 : 1;
}
