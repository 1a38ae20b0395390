#include "bus/i2c-dev-client.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <iterator>

namespace kzr415::sim {

namespace {

std::uint8_t message_pec(std::uint8_t crc, const i2c_msg &message) {
    const auto address =
        static_cast<std::uint8_t>((message.addr << 1) | ((message.flags & I2C_M_RD) != 0 ? 1 : 0));
    crc = smbus_pec(crc, &address, 1);
    return smbus_pec(crc, message.buf, message.len);
}

// The messages of one SMBus transfer, with room for a block, its count and a checksum.
struct Messages {
    std::array<std::uint8_t, I2C_SMBUS_BLOCK_MAX + 3> out{};
    std::array<std::uint8_t, I2C_SMBUS_BLOCK_MAX + 2> in{};
    std::array<i2c_msg, 2> msg{};
    unsigned count = 0;
};

// NOLINTBEGIN(cppcoreguidelines-pro-type-union-access): i2c_smbus_data is the kernel's
// union; the transfer size names the member in use, as in the kernel's own SMBus emulation.

// The block transfers' part of build().
int build_block(std::uint32_t size, const i2c_smbus_data &data, Messages &m, bool read,
                std::uint8_t &read_write) {
    const auto *const block = std::begin(data.block);
    if (size == I2C_SMBUS_I2C_BLOCK_DATA) {
        if (block[0] > I2C_SMBUS_BLOCK_MAX) {
            return -EINVAL;
        }
        if (read) {
            m.msg[1].len = block[0];
        } else {
            m.msg[0].len = static_cast<std::uint16_t>(block[0] + 1U);
            std::copy_n(block + 1, block[0], m.out.begin() + 1);
        }
        return 0;
    }
    if (!read || size == I2C_SMBUS_BLOCK_PROC_CALL) {
        const unsigned length = block[0] + 2U;
        if (length > I2C_SMBUS_BLOCK_MAX + 2U) {
            return -EINVAL;
        }
        m.msg[0].len = static_cast<std::uint16_t>(length);
        std::copy_n(block, length - 1, m.out.begin() + 1);
    }
    if (read || size == I2C_SMBUS_BLOCK_PROC_CALL) {
        m.count = 2;
        read_write = I2C_SMBUS_READ;
        m.msg[1].flags |= I2C_M_RECV_LEN;
        m.msg[1].len = 1; // the count byte; the bus adds the count
    }
    return 0;
}

// Fills `m` for the request; returns 0 or -EINVAL. `read_write` may turn into a read
// (process calls).
int build(const SmbusRequest &r, std::uint32_t size, const i2c_smbus_data &data, Messages &m,
          std::uint8_t &read_write) {
    const auto flags = static_cast<std::uint16_t>(r.ten_bit ? I2C_M_TEN : 0);
    const bool read = read_write == I2C_SMBUS_READ;
    m.msg[0] = {r.address, flags, 1, m.out.data()};
    m.msg[1] = {r.address, static_cast<std::uint16_t>(flags | I2C_M_RD), 0, m.in.data()};
    m.count = read ? 2 : 1;
    m.out[0] = r.command;
    switch (size) {
    case I2C_SMBUS_QUICK:
        m.msg[0].len = 0;
        m.msg[0].flags = static_cast<std::uint16_t>(flags | (read ? I2C_M_RD : 0));
        m.count = 1;
        break;
    case I2C_SMBUS_BYTE:
        if (read) {
            m.msg[0].flags = static_cast<std::uint16_t>(flags | I2C_M_RD);
            m.count = 1;
        }
        break;
    case I2C_SMBUS_BYTE_DATA:
        if (read) {
            m.msg[1].len = 1;
        } else {
            m.msg[0].len = 2;
            m.out[1] = data.byte;
        }
        break;
    case I2C_SMBUS_WORD_DATA:
    case I2C_SMBUS_PROC_CALL:
        if (read && size == I2C_SMBUS_WORD_DATA) {
            m.msg[1].len = 2;
            break;
        }
        m.msg[0].len = 3;
        m.out[1] = static_cast<std::uint8_t>(data.word & 0xFF);
        m.out[2] = static_cast<std::uint8_t>(data.word >> 8);
        if (size == I2C_SMBUS_PROC_CALL) {
            m.count = 2;
            read_write = I2C_SMBUS_READ;
            m.msg[1].len = 2;
        }
        break;
    case I2C_SMBUS_BLOCK_DATA:
    case I2C_SMBUS_BLOCK_PROC_CALL:
    case I2C_SMBUS_I2C_BLOCK_DATA:
        return build_block(size, data, m, read, read_write);
    default:
        return -EOPNOTSUPP;
    }
    return 0;
}

// Copies the reply of a read into `data`, where the kernel puts it for the transfer size.
void store_reply(std::uint32_t size, const Messages &m, i2c_smbus_data &data) {
    auto *const block = std::begin(data.block);
    switch (size) {
    case I2C_SMBUS_BYTE:
        data.byte = m.out[0];
        break;
    case I2C_SMBUS_BYTE_DATA:
        data.byte = m.in[0];
        break;
    case I2C_SMBUS_WORD_DATA:
    case I2C_SMBUS_PROC_CALL:
        data.word = static_cast<std::uint16_t>(m.in[0] | (m.in[1] << 8));
        break;
    case I2C_SMBUS_I2C_BLOCK_DATA:
        std::copy_n(m.in.begin(), block[0], block + 1);
        break;
    case I2C_SMBUS_BLOCK_DATA:
    case I2C_SMBUS_BLOCK_PROC_CALL:
        std::copy_n(m.in.begin(), m.in[0] + 1U, block);
        break;
    default:
        break;
    }
}

// With packet error checking: appends the checksum to a lone write message and makes room
// for it after the last read message. Returns the checksum of a write message that a read
// follows, for checking the read's.
std::uint8_t add_pec(Messages &m) {
    auto &last = m.msg[m.count - 1];
    std::uint8_t partial_pec = 0;
    if ((m.msg[0].flags & I2C_M_RD) == 0) {
        if (m.count == 1) {
            m.out[m.msg[0].len] = message_pec(0, m.msg[0]);
            ++m.msg[0].len;
        } else {
            partial_pec = message_pec(0, m.msg[0]);
        }
    }
    if ((last.flags & I2C_M_RD) != 0) {
        ++last.len;
    }
    return partial_pec;
}

} // namespace

std::uint8_t smbus_pec(std::uint8_t crc, const std::uint8_t *bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        crc = static_cast<std::uint8_t>(crc ^ bytes[i]);
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<std::uint8_t>((crc & 0x80) != 0 ? (crc << 1) ^ 0x07 : crc << 1);
        }
    }
    return crc;
}

int smbus_transfer(EmulatedBus &bus, const SmbusRequest &r) {
    const bool needs_data = r.data != nullptr;
    i2c_smbus_data data{};
    if (needs_data) {
        data = *r.data;
    }
    std::uint32_t size = r.size;
    if (size == I2C_SMBUS_I2C_BLOCK_BROKEN) {
        size = I2C_SMBUS_I2C_BLOCK_DATA;
        if (r.read_write == I2C_SMBUS_READ) {
            *std::begin(data.block) = I2C_SMBUS_BLOCK_MAX;
        }
    }

    Messages m;
    std::uint8_t read_write = r.read_write;
    if (const int built = build(r, size, data, m, read_write); built < 0) {
        return built;
    }
    auto &last = m.msg[m.count - 1];
    const bool pec = r.pec && size != I2C_SMBUS_QUICK && size != I2C_SMBUS_I2C_BLOCK_DATA;
    const std::uint8_t partial_pec = pec ? add_pec(m) : 0;

    const int status = bus.rdwr(i2c_rdwr_ioctl_data{m.msg.data(), m.count});
    if (status < 0) {
        return status;
    }
    if (pec && (last.flags & I2C_M_RD) != 0) {
        --last.len;
        if (last.buf[last.len] != message_pec(partial_pec, last)) {
            return -EBADMSG;
        }
    }
    if (read_write != I2C_SMBUS_READ || !needs_data) {
        return 0;
    }
    store_reply(size, m, data);
    *r.data = data;
    return 0;
}

// NOLINTEND(cppcoreguidelines-pro-type-union-access)

} // namespace kzr415::sim
