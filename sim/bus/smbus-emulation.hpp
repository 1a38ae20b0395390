// SMBus transfers (the I2C_SMBUS request) carried out as plain I2C messages on the emulated
// bus, the way the kernel emulates them on an adapter that only speaks I2C: a read joins the
// command write and the data read by a repeated start, one I2C_RDWR transfer on the bus.
#pragma once

#include "bus/emulated-bus.hpp"

#include <cstdint>

namespace kzr415::sim {

struct SmbusRequest {
    std::uint16_t address = 0;   // the descriptor's slave address
    bool ten_bit = false;        // I2C_TENBIT set on the descriptor
    bool pec = false;            // I2C_PEC set on the descriptor
    std::uint8_t read_write = 0; // I2C_SMBUS_READ or I2C_SMBUS_WRITE
    std::uint8_t command = 0;
    std::uint32_t size = 0;         // I2C_SMBUS_QUICK ... I2C_SMBUS_I2C_BLOCK_DATA
    i2c_smbus_data *data = nullptr; // the caller's data, in and out
};

// Serves one I2C_SMBUS request that i2c-dev took (a size and direction it knows, the data
// where the transfer has any, null where it has none); returns 0 or -errno (EINVAL for a
// block it cannot carry, EBADMSG when packet error checking finds a wrong checksum, EPROTO
// for a block count outside 1 to 32, else what the bus reports).
int smbus_transfer(EmulatedBus &bus, const SmbusRequest &request);

// The SMBus packet error code (CRC-8, polynomial x^8 + x^2 + x + 1) continued over `bytes`.
std::uint8_t smbus_pec(std::uint8_t crc, const std::uint8_t *bytes, std::size_t count);

} // namespace kzr415::sim
