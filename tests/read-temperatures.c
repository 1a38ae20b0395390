/* Test helper: writes the configuration image {C, C} (C given in hex as the only argument),
 * then prints both channels' temperatures as the library decodes them. */
#include "kzr-415-drv.h"

#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv) {
    unsigned char configuration[CONFIGURATION_REG_LENGTH];
    unsigned long byte;
    int fd;
    if (argc != 2) {
        fprintf(stderr, "usage: %s CONFIGURATION-BYTE\n", argv[0]);
        return 2;
    }
    byte = strtoul(argv[1], NULL, 16);
    configuration[0] = (unsigned char)byte;
    configuration[1] = (unsigned char)byte;
    fd = i2c_open("/dev/i2c-4");
    configurature_reg_control(fd, 0x48, configuration, REG_WRITE);
    printf("temperature 1:%f\n", (double)temperature_reg_read(fd, 0x48, 1));
    printf("temperature 2:%f\n", (double)temperature_reg_read(fd, 0x48, 2));
    i2c_close(fd);
    return 0;
}
