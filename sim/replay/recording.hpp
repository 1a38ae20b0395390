// A recording of bus transfers in a compact form of its own: read from a capture once per
// run (by kzr-415-sim), written to a file, and mapped read-only by every process of the run,
// which finds transfer N where it lies without parsing anything.
//
// The file, in the machine's own byte order (it never leaves the machine that wrote it):
//   header   the magic "KZR415RC", the 32-bit mark 0x01020304 (the byte order), the count N
//   index    N + 1 32-bit offsets into the records: transfer i is records[index[i], index[i+1])
//   records  per transfer: its errno (16 bits, 0 when it succeeded) and message count (8
//            bits), then per message its address, flags, length as asked and the count of
//            bytes that follow (16 bits each), then those bytes: a write's, or what a read
//            returned (none when the transfer failed)
// A mapped file is checked as far as it is used: its header and index bounds when mapped,
// each transfer when it is read, so that a process that makes no transfer reads no more of
// it than its first page.
#pragma once

#include "bus/emulated-bus.hpp"
#include "bus/i2c-dev-client.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kzr415::sim {

// One message of a recorded transfer, its bytes in the recording.
struct MessageView {
    std::uint16_t addr = 0;
    std::uint16_t flags = 0;
    std::uint16_t length = 0; // as asked: a block read's without the block
    std::span<const std::uint8_t> bytes;
};

// One recorded transfer, read in place.
struct TransferView {
    int error = 0;
    std::size_t count = 0;
    std::array<MessageView, max_messages_per_transfer> messages{};

    [[nodiscard]] std::span<const MessageView> all() const { return {messages.data(), count}; }
    [[nodiscard]] RecordedTransfer copy() const;
};

class Recording {
  public:
    Recording() = default;
    ~Recording();
    Recording(const Recording &) = delete;
    Recording &operator=(const Recording &) = delete;
    Recording(Recording &&other) noexcept;
    Recording &operator=(Recording &&other) noexcept;

    // Adds a transfer at the end (a recording in memory only). The reader of captures gives
    // only transfers that the kernel could have made.
    void append(const RecordedTransfer &transfer);

    [[nodiscard]] std::size_t size() const;
    [[nodiscard]] bool empty() const { return size() == 0; }

    // Transfer `index` (from 0): false when the file is damaged there.
    bool read(std::size_t index, TransferView &view) const;

    // Writes the recording to the new file `path` (mode 0644, not through a link): false
    // with errno set when it cannot.
    bool save(const std::string &path) const;

    // Whether `head` (a file's first bytes) starts as a saved recording does.
    static bool is_saved_recording(std::string_view head);

    // Maps the saved recording at `path` read-only, with the system's own calls (as a
    // preloaded program must); nullopt with `reason` set when it is not one or cannot be read.
    static std::optional<Recording> map(const std::string &path, std::string &reason);

  private:
    [[nodiscard]] std::span<const std::uint8_t> records() const;
    [[nodiscard]] std::uint32_t offset(std::size_t index) const;
    void unmap();

    // In memory (append) ...
    std::vector<std::uint32_t> index_{0};
    std::vector<std::uint8_t> records_;
    // ... or mapped (map): the whole file.
    const std::uint8_t *mapping_ = nullptr;
    std::size_t mapped_size_ = 0;
    std::size_t mapped_count_ = 0;
};

} // namespace kzr415::sim
