#include "bus/bus-notation.hpp"

#include "device/hex-bytes.hpp"
#include "kernel/kzr-415-device.h"

#include <array>
#include <cstdio>

#include <linux/i2c.h>

namespace kzr415::sim {

std::string errno_name(int error) {
    if (const char *name = kzr415_errno_name(error)) {
        return name;
    }
    return "errno " + std::to_string(error);
}

namespace {

std::string format_messages(const RecordedTransfer &transfer, bool with_result) {
    std::string out;
    for (const auto &message : transfer.messages) {
        if (!out.empty()) {
            out += " + ";
        }
        std::array<char, 32> head{};
        const bool is_read = (message.flags & I2C_M_RD) != 0;
        std::snprintf(head.data(), head.size(), "%c 0x%02x ", is_read ? 'R' : 'W',
                      unsigned{message.addr});
        out += head.data();
        if (is_read) {
            out += std::to_string(message.length);
            if (!with_result || transfer.error != 0) {
                continue; // nothing read, or not shown
            }
            out += " -> ";
        }
        out += '[';
        out += format_hex_bytes(message.bytes);
        out += ']';
    }
    if (with_result && transfer.error != 0) {
        out += " FAILED " + errno_name(transfer.error);
    }
    return out;
}

} // namespace

std::string format_transfer(const RecordedTransfer &transfer) {
    return format_messages(transfer, true);
}

std::string format_request(const RecordedTransfer &transfer) {
    return format_messages(transfer, false);
}

} // namespace kzr415::sim
