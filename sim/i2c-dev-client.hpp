// What i2c-dev does for one open descriptor of a bus node: the requests a program may make
// on it (I2C_FUNCS, I2C_SLAVE, I2C_SLAVE_FORCE, I2C_TENBIT, I2C_PEC, I2C_TIMEOUT,
// I2C_RETRIES, I2C_RDWR, I2C_SMBUS) and plain read and write, which move one message to or
// from the descriptor's slave address.
#pragma once

#include "emulated-bus.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>

#include <sys/types.h>

namespace kzr415::sim {

// The settings i2c-dev keeps per open descriptor (its "client").
struct I2cDevClient {
    std::atomic<std::uint16_t> address{0};
    std::atomic<bool> ten_bit{false};
    std::atomic<bool> pec{false};

    void reset() {
        address = 0;
        ten_bit = false;
        pec = false;
    }
};

// Serves one ioctl on a descriptor of the node: the result, or -errno (ENOTTY for a request
// that i2c-dev does not know).
long client_ioctl(EmulatedBus &bus, I2cDevClient &client, unsigned long request, void *arg);

// read() and write() on a descriptor of the node: the byte count, or -errno.
ssize_t client_read(EmulatedBus &bus, const I2cDevClient &client, void *buffer, std::size_t count);
ssize_t client_write(EmulatedBus &bus, const I2cDevClient &client, const void *buffer,
                     std::size_t count);

} // namespace kzr415::sim
