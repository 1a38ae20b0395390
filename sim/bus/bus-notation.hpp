// A transfer on the bus as the emulated bus records it, and its line in the bus notation
// of the trace: "W 0x48 [01 1c 1c]", "R 0x48 2 -> [1c 1c]"; messages joined by a repeated
// start are separated by " + ", and a failed transfer ends with " FAILED <errno name>".
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include <linux/i2c.h>

namespace kzr415::sim {

struct RecordedMessage {
    std::uint16_t addr = 0;
    std::uint16_t flags = 0;
    std::uint16_t length = 0;
    std::vector<std::uint8_t> bytes; // written bytes, or bytes read (empty if it failed)
};

struct RecordedTransfer {
    std::vector<RecordedMessage> messages;
    int error = 0; // 0 on success, else the errno the transfer failed with
};

// The transfer of `messages` as asked for: each write with its bytes, each read by its
// length; and the bytes each read returned, with its length as a block's count raised it.
RecordedTransfer requested_transfer(std::span<const i2c_msg> messages);
void record_replies(RecordedTransfer &transfer, std::span<const i2c_msg> messages);

// An errno's name ("EPROTO"), as fault plans and traces write it; "errno N" for a number
// the system names not.
std::string errno_name(int error);

// The transfer's line, without the newline.
std::string format_transfer(const RecordedTransfer &transfer);

// The transfer as it was asked for, without what it gave: reads by their length alone
// ("R 0x48 2"), no " FAILED". Two transfers ask for the same when these are equal.
std::string format_request(const RecordedTransfer &transfer);

} // namespace kzr415::sim
