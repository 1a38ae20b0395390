/* A C program built against the installed library, outside the project's build: reads both
 * channels' temperatures on the bus node named by its argument, with release 1.0's
 * temperature_reg_read and with release 1.1's kzr_415_read_temperatures, which must agree. */
#include <kzr-415-drv.h>

#include <stdio.h>

int main(int argc, char **argv) {
    const int fd = i2c_open(argc > 1 ? argv[1] : "/dev/i2c-4");
    const float first = temperature_reg_read(fd, KZR_415_SLAVE_ADDR, 1);
    const float second = temperature_reg_read(fd, KZR_415_SLAVE_ADDR, 2);
    float both[2] = {0.0f, 0.0f};
    const int status = kzr_415_read_temperatures(fd, KZR_415_SLAVE_ADDR, both);
    printf("c consumer: %f %f\n", (double)first, (double)second);
    i2c_close(fd);
    return first == -1.0f || second == -1.0f || status != 0 || both[0] != first ||
           both[1] != second;
}
