/* A C program built against the installed library, outside the project's build: reads both
 * channels' temperatures on the bus node named by its argument. */
#include <kzr-415-drv.h>

#include <stdio.h>

int main(int argc, char **argv) {
    const int fd = i2c_open(argc > 1 ? argv[1] : "/dev/i2c-4");
    const float first = temperature_reg_read(fd, KZR_415_SLAVE_ADDR, 1);
    const float second = temperature_reg_read(fd, KZR_415_SLAVE_ADDR, 2);
    printf("c consumer: %f %f\n", (double)first, (double)second);
    i2c_close(fd);
    return first == -1.0f || second == -1.0f;
}
