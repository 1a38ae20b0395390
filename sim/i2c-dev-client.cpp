#include "i2c-dev-client.hpp"

#include "smbus-emulation.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <span>

namespace kzr415::sim {

namespace {

// The argument of a request that takes a number rather than a pointer.
unsigned long number(void *arg) {
    return static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(arg));
}

long set_slave_address(I2cDevClient &client, unsigned long address) {
    if (address > 0x3FF || (!client.ten_bit && address > 0x7F)) {
        return -EINVAL;
    }
    // No kernel driver claims an address on this bus, so I2C_SLAVE never meets EBUSY.
    client.address = static_cast<std::uint16_t>(address);
    return 0;
}

// I2C_RDWR works on the kernel's copy of the messages: the caller's records stay as given.
long rdwr(EmulatedBus &bus, void *arg) {
    if (arg == nullptr) {
        return -EFAULT;
    }
    const auto &request = *static_cast<const i2c_rdwr_ioctl_data *>(arg);
    if (request.msgs == nullptr || request.nmsgs == 0 ||
        request.nmsgs > max_messages_per_transfer) {
        return -EINVAL;
    }
    std::array<i2c_msg, max_messages_per_transfer> copy{};
    const std::span<const i2c_msg> messages(request.msgs, request.nmsgs);
    for (std::size_t i = 0; i < messages.size(); ++i) {
        copy[i] = messages[i];
        if ((copy[i].flags & I2C_M_RECV_LEN) != 0) {
            // buf[0] names the bytes wanted besides the block (1 for the count byte); the
            // buffer must hold them and the longest block.
            if ((copy[i].flags & I2C_M_RD) == 0 || copy[i].len == 0 || copy[i].buf == nullptr ||
                copy[i].buf[0] < 1 || copy[i].len < copy[i].buf[0] + I2C_SMBUS_BLOCK_MAX) {
                return -EINVAL;
            }
            copy[i].len = copy[i].buf[0];
        }
    }
    return bus.rdwr(i2c_rdwr_ioctl_data{copy.data(), request.nmsgs});
}

long smbus(EmulatedBus &bus, const I2cDevClient &client, void *arg) {
    if (arg == nullptr) {
        return -EFAULT;
    }
    const auto &args = *static_cast<const i2c_smbus_ioctl_data *>(arg);
    return smbus_transfer(bus, SmbusRequest{client.address, client.ten_bit, client.pec,
                                            args.read_write, args.command, args.size, args.data});
}

} // namespace

long client_ioctl(EmulatedBus &bus, I2cDevClient &client, unsigned long request, void *arg) {
    switch (request) {
    case I2C_RDWR:
        return rdwr(bus, arg);
    case I2C_SMBUS:
        return smbus(bus, client, arg);
    case I2C_FUNCS:
        if (arg == nullptr) {
            return -EFAULT;
        }
        *static_cast<unsigned long *>(arg) = adapter_functionality;
        return 0;
    case I2C_SLAVE:
    case I2C_SLAVE_FORCE:
        return set_slave_address(client, number(arg));
    case I2C_TENBIT:
        client.ten_bit = number(arg) != 0;
        return 0;
    case I2C_PEC:
        client.pec = number(arg) != 0;
        return 0;
    case I2C_RETRIES:
    case I2C_TIMEOUT:
        // The adapter's retry count and timeout (10 ms units): accepted, never needed.
        return number(arg) > INT_MAX ? -EINVAL : 0;
    default:
        return -ENOTTY;
    }
}

ssize_t client_read(EmulatedBus &bus, const I2cDevClient &client, void *buffer, std::size_t count) {
    i2c_msg message{client.address,
                    static_cast<std::uint16_t>(I2C_M_RD | (client.ten_bit ? I2C_M_TEN : 0)),
                    static_cast<std::uint16_t>(std::min<std::size_t>(count, max_message_length)),
                    static_cast<std::uint8_t *>(buffer)};
    const int result = bus.rdwr(i2c_rdwr_ioctl_data{&message, 1});
    return result < 0 ? result : message.len;
}

ssize_t client_write(EmulatedBus &bus, const I2cDevClient &client, const void *buffer,
                     std::size_t count) {
    if (buffer == nullptr && count != 0) {
        return -EFAULT;
    }
    // The kernel copies the caller's bytes first; the message never writes into them.
    std::array<std::uint8_t, max_message_length> bytes{};
    const auto length = std::min<std::size_t>(count, max_message_length);
    if (length != 0) {
        std::copy_n(static_cast<const std::uint8_t *>(buffer), length, bytes.begin());
    }
    i2c_msg message{client.address, static_cast<std::uint16_t>(client.ten_bit ? I2C_M_TEN : 0),
                    static_cast<std::uint16_t>(length), bytes.data()};
    const int result = bus.rdwr(i2c_rdwr_ioctl_data{&message, 1});
    return result < 0 ? result : static_cast<ssize_t>(length);
}

} // namespace kzr415::sim
