// What i2c-dev does for one open descriptor of a bus node: the requests a program may make
// on it (I2C_FUNCS, I2C_SLAVE, I2C_SLAVE_FORCE, I2C_TENBIT, I2C_PEC, I2C_TIMEOUT,
// I2C_RETRIES, I2C_RDWR, I2C_SMBUS) and plain read and write, which move one message to or
// from the descriptor's slave address. Each request is checked here, once, as i2c-dev
// checks it, before the bus sees it. The program's memory is reached only through copies
// (below): a bad address gives EFAULT where the kernel gives it.
#pragma once
#include <span>

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

// SMBus transfers (the I2C_SMBUS request) carried out as plain I2C messages on the emulated
// bus, the way the kernel emulates them on an adapter that only speaks I2C: a read joins the
// command write and the data read by a repeated start, one I2C_RDWR transfer on the bus.
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

// The program's memory as the kernel reaches it: through copies that fail with EFAULT at an
// unmapped or protected address instead of faulting, never by reading or writing through
// the program's pointers directly. Each copy is a list of ranges done in one go.
struct MemoryRange {
    void *local;        // this side's bytes
    const void *remote; // the program's address (written through for copy_to_program)
    std::size_t size;
};

// Copies every range from the program's `remote` to `local`; returns how many ranges were
// copied whole, in order (ranges.size() when all were).
std::size_t copy_from_program(std::span<const MemoryRange> ranges);
// Copies every range from `local` to the program's `remote`; the same count.
std::size_t copy_to_program(std::span<const MemoryRange> ranges);

// One range: true when copied whole.
bool copy_from_program(void *local, const void *remote, std::size_t size);
bool copy_to_program(void *remote, const void *local, std::size_t size);

} // namespace kzr415::sim
