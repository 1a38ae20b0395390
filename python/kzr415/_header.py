# Generated from lib/kzr-415-drv.h and CMakeLists.txt by python/generate-constants.py;
# do not edit. A test of the build compares it with a fresh run.
"""What the C side defines once: the header's slave address, register pointers and
image lengths, the library's file name and the project version."""

# The project version.
VERSION = "1.1.0"
# The library's file name, its SONAME: the ABI's major number.
LIBRARY = "libkzr-415-drv.so.1"

KZR_415_SLAVE_ADDR = 0x48
TEMPERATURE_REG = 0x00  # read only: two 24-bit readings
CONFIGURATION_REG = 0x01  # one configuration byte per channel
T_LOW_REG = 0x02  # two 24-bit low thresholds
T_HIGH_REG = 0x03  # two 24-bit high thresholds
TEMPERATURE_REG_LENGTH = 6
CONFIGURATION_REG_LENGTH = 2
T_LOW_REG_LENGTH = 6
T_HIGH_REG_LENGTH = 6

# Each register's image length, by pointer.
REGISTER_LENGTHS = {
    TEMPERATURE_REG: TEMPERATURE_REG_LENGTH,
    CONFIGURATION_REG: CONFIGURATION_REG_LENGTH,
    T_LOW_REG: T_LOW_REG_LENGTH,
    T_HIGH_REG: T_HIGH_REG_LENGTH,
}
