// What i2c-dev does for one open descriptor of a bus node: the requests a program may make
// on it (I2C_FUNCS, I2C_SLAVE, I2C_SLAVE_FORCE, I2C_TENBIT, I2C_PEC, I2C_TIMEOUT,
// I2C_RETRIES, I2C_RDWR, I2C_SMBUS) and plain read and write, which move one message to or
// from the descriptor's slave address. Each request is checked here, once, as i2c-dev
// checks it, before the bus sees it. The program's memory is reached only through copies
// (user-memory.hpp): a bad address gives EFAULT where the kernel gives it.
#pragma once

#include "bus/emulated-bus.hpp"

#include <cstddef>
#include <cstdint>

#include <sys/types.h>

namespace kzr415::sim {

// The kernel's limits on one I2C_RDWR request: the messages, from its uapi header, and the
// bytes of one message, which i2c-dev's source sets (no header names them).
inline constexpr unsigned max_messages_per_transfer = I2C_RDWR_IOCTL_MAX_MSGS;
inline constexpr unsigned max_message_length = 8192;

// The settings i2c-dev keeps per open file (its "client"), shared by every copy of the
// descriptor, and the file's access mode.
struct I2cDevClient {
    std::uint16_t address = 0;
    bool ten_bit = false;
    bool pec = false;
    bool readable = true;
    bool writable = true;

    friend bool operator==(const I2cDevClient &, const I2cDevClient &) = default;
};

// Whether `request` reads or changes the client's settings (the others need only the bus).
bool uses_client(unsigned long request);

// Serves one ioctl on a descriptor of the node: the result, or -errno (ENOTTY for a request
// that i2c-dev does not know).
long client_ioctl(EmulatedBus &bus, I2cDevClient &client, unsigned long request, void *arg);

// read() and write() on a descriptor of the node: the byte count, or -errno (EBADF when
// the descriptor was not opened for it).
ssize_t client_read(EmulatedBus &bus, const I2cDevClient &client, void *buffer, std::size_t count);
ssize_t client_write(EmulatedBus &bus, const I2cDevClient &client, const void *buffer,
                     std::size_t count);

} // namespace kzr415::sim
