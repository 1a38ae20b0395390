#include "bus/bus-notation.hpp"

#include "device/settings.hpp"

#include <array>
#include <cstdio>

namespace kzr415::sim {

RecordedTransfer requested_transfer(std::span<const i2c_msg> messages) {
    RecordedTransfer transfer;
    for (const auto &message : messages) {
        transfer.messages.push_back({message.addr, message.flags, message.len, {}});
        if ((message.flags & I2C_M_RD) == 0) {
            transfer.messages.back().bytes.assign(message.buf, message.buf + message.len);
        }
    }
    return transfer;
}

void record_replies(RecordedTransfer &transfer, std::span<const i2c_msg> messages) {
    for (std::size_t i = 0; i < messages.size(); ++i) {
        if ((messages[i].flags & I2C_M_RD) != 0) {
            transfer.messages[i].length = messages[i].len;
            transfer.messages[i].bytes.assign(messages[i].buf, messages[i].buf + messages[i].len);
        }
    }
}

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
