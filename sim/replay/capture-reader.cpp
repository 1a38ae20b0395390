#include "replay/replay-device.hpp"

#include "bus/i2c-dev-client.hpp"
#include "kernel/kzr-415-device.h"

#include <array>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>

#include <linux/i2c.h>

namespace kzr415::sim {

namespace {

// An integer in `base` that is the whole of a text: nothing before or after it, no sign
// where the type has none, no "0x".
template <typename T>
bool parse_whole_number(std::string_view text, T &value, int base = 10) {
    const char *last = text.data() + text.size();
    // NOLINTNEXTLINE(bugprone-suspicious-stringview-data-usage): the end is given
    const auto result = std::from_chars(text.data(), last, value, base);
    return !text.empty() && result.ec == std::errc{} && result.ptr == last;
}

// The kernel shows at most this many bytes of a message in its trace text.
constexpr std::size_t max_traced_bytes = 64;
// The largest errno the kernel returns (MAX_ERRNO, which no uapi header names).
constexpr unsigned max_errno = 4095;

std::string too_long(unsigned long long length) {
    return "a message of " + std::to_string(length) + " bytes: i2c-dev takes at most " +
           std::to_string(max_message_length);
}

std::string too_many() {
    return "a transfer of more than " + std::to_string(max_messages_per_transfer) +
           " messages: i2c-dev takes at most " + std::to_string(max_messages_per_transfer);
}

std::string too_large_errno(unsigned long long error) {
    return "errno " + std::to_string(error) + ": the kernel's errnos end at " +
           std::to_string(max_errno);
}

// A block read (I2C_M_RECV_LEN) of `length` bytes before the block: the bytes it read are
// those, the first of them the block's count (1 to I2C_SMBUS_BLOCK_MAX), then the block.
std::optional<std::string> check_block(std::size_t length, std::span<const std::uint8_t> bytes) {
    const unsigned count = bytes.empty() ? 0U : bytes[0];
    if (length > 0 && count >= 1 && count <= I2C_SMBUS_BLOCK_MAX &&
        bytes.size() == length + count) {
        return std::nullopt;
    }
    std::array<char, 160> text{};
    std::snprintf(text.data(), text.size(),
                  "a block read of %zu+ with %zu bytes read: they are the %zu asked for, the "
                  "first a count of 1 to %d, then that many",
                  length, bytes.size(), length, I2C_SMBUS_BLOCK_MAX);
    return std::string(text.data());
}
constexpr std::string_view capture_header = "# kzr-415-capture:";

std::string_view trimmed(std::string_view text) {
    text.remove_prefix(std::min(text.find_first_not_of(" \t"), text.size()));
    return text.substr(0, text.find_last_not_of(" \t\r") + 1);
}

bool is_digits(std::string_view text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// Splits off the text up to the first blank (the whole text when there is none).
std::string_view next_word(std::string_view &text) {
    text = trimmed(text);
    const auto blank = text.find(' ');
    const auto word = text.substr(0, blank);
    text.remove_prefix(blank == std::string_view::npos ? text.size() : blank + 1);
    return word;
}

// Hex bytes joined by `separator` ("02-14" or "02 14"), two digits each.
bool parse_bytes(std::string_view text, char separator, std::vector<std::uint8_t> &bytes) {
    bytes.clear();
    while (!text.empty()) {
        std::uint8_t byte = 0;
        if (text.size() < 2 || !parse_whole_number(text.substr(0, 2), byte, 16)) {
            return false;
        }
        bytes.push_back(byte);
        text.remove_prefix(2);
        if (!text.empty()) {
            if (text.size() < 3 || text.front() != separator) {
                return false;
            }
            text.remove_prefix(1);
        }
    }
    return true;
}

// Calls `each(line_number, line)` for every line of `text`, trimmed, until it gives a reason
// to refuse the capture: the refusal, with the line's number; else what `each` read, with
// the number of the last line.
template <class Each>
CaptureReading for_each_line(std::string_view text, Each each) {
    CaptureReading reading;
    while (!text.empty() && reading.ok) {
        const auto end = text.find('\n');
        const auto whole = text.substr(0, end);
        const auto line = trimmed(whole);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        // A line that a carriage return splits in two (a file of CR line ends) is no line
        // of either format; a CR before the line feed is let through.
        const auto carriage_return = whole.find('\r');
        const bool split =
            carriage_return != std::string_view::npos && carriage_return + 1 < whole.size();
        ++reading.line;
        auto reason = split ? std::optional<std::string>("a carriage return within the line (a "
                                                         "capture's lines end with a line feed)")
                            : each(reading.line, line);
        reading.ok = !reason.has_value();
        reading.reason = reason.value_or("");
    }
    return reading;
}

// ---- Kernel trace text ----

// An I2C event's fields: "i2c-4 #0 a=048 f=0000 l=3 [01-1c-1c]", "i2c-4 n=1 ret=1".
struct I2cEvent {
    enum Kind : std::uint8_t { write, read, reply, result } kind = write;
    int adapter = 0;
    unsigned index = 0; // #N; for a result, n=
    std::uint16_t addr = 0;
    std::uint16_t flags = 0;
    std::uint16_t length = 0;
    std::vector<std::uint8_t> bytes;
    int ret = 0; // a result's
};

// The event name and fields of a trace line: after the task-pid, the "[CPU]" column, the
// optional flags column and the "TIMESTAMP:" column. The task's name may hold anything, so
// the columns are looked for from the left until they all fit.
bool split_event_line(std::string_view line, std::string_view &event, std::string_view &fields) {
    for (auto open = line.find(" ["); open != std::string_view::npos;
         open = line.find(" [", open + 1)) {
        auto rest = line.substr(open + 2);
        const auto close = rest.find(']');
        if (close == std::string_view::npos || !is_digits(rest.substr(0, close))) {
            continue;
        }
        rest.remove_prefix(close + 1);
        auto word = next_word(rest);
        const auto is_timestamp = [](std::string_view text) {
            if (text.size() < 2 || text.back() != ':') {
                return false;
            }
            text.remove_suffix(1);
            const auto dot = text.find('.');
            return is_digits(text.substr(0, dot)) &&
                   (dot == std::string_view::npos || is_digits(text.substr(dot + 1)));
        };
        if (!is_timestamp(word)) {
            word = next_word(rest); // the flags column came first
            if (!is_timestamp(word)) {
                continue;
            }
        }
        rest = trimmed(rest);
        const auto colon = rest.find(':');
        if (colon == std::string_view::npos || colon == 0 ||
            rest.substr(0, colon).find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_") !=
                std::string_view::npos) {
            continue;
        }
        event = rest.substr(0, colon);
        fields = trimmed(rest.substr(colon + 1));
        return true;
    }
    return false;
}

// The adapter number of "i2c-N".
bool parse_adapter(std::string_view word, int &adapter) {
    return word.starts_with("i2c-") && is_digits(word.substr(4)) &&
           parse_whole_number(word.substr(4), adapter);
}

// Parses `fields` of event `name`; a reason when they are not the event's format.
std::optional<std::string> parse_i2c_event(std::string_view name, std::string_view fields,
                                           I2cEvent &event) {
    const std::string bad = "malformed " + std::string(name) + " fields";
    if (!parse_adapter(next_word(fields), event.adapter)) {
        return bad + " (no i2c-N adapter)";
    }
    if (name == "i2c_result") {
        event.kind = I2cEvent::result;
        const auto count = next_word(fields);
        const auto ret = next_word(fields);
        if (!count.starts_with("n=") || !parse_whole_number(count.substr(2), event.index) ||
            !ret.starts_with("ret=") || !parse_whole_number(ret.substr(4), event.ret) ||
            !trimmed(fields).empty()) {
            return bad + " (expected n=COUNT ret=RESULT)";
        }
        if (event.ret < -static_cast<int>(max_errno)) {
            return "i2c_result ret=" + std::to_string(event.ret) + ": the kernel's errnos end at " +
                   std::to_string(max_errno);
        }
        return std::nullopt;
    }
    event.kind = I2cEvent::reply;
    if (name == "i2c_write") {
        event.kind = I2cEvent::write;
    } else if (name == "i2c_read") {
        event.kind = I2cEvent::read;
    }
    const auto index = next_word(fields);
    const auto addr = next_word(fields);
    const auto flags = next_word(fields);
    const auto length = next_word(fields);
    if (!index.starts_with('#') || !parse_whole_number(index.substr(1), event.index) ||
        !addr.starts_with("a=") || !parse_whole_number(addr.substr(2), event.addr, 16) ||
        !flags.starts_with("f=") || !parse_whole_number(flags.substr(2), event.flags, 16) ||
        !length.starts_with("l=") || !parse_whole_number(length.substr(2), event.length)) {
        return bad + " (expected #N a=ADDR f=FLAGS l=LENGTH)";
    }
    if (event.length > max_message_length) {
        return too_long(event.length);
    }
    fields = trimmed(fields);
    if (event.kind == I2cEvent::read) {
        return fields.empty() ? std::nullopt : std::optional(bad + " (data after l=)");
    }
    if (fields.size() < 2 || fields.front() != '[' || fields.back() != ']' ||
        !parse_bytes(fields.substr(1, fields.size() - 2), '-', event.bytes)) {
        return bad + " (expected [HEX-HEX-...] after l=)";
    }
    if (event.bytes.size() != event.length) {
        if (event.length > max_traced_bytes && event.bytes.size() == max_traced_bytes) {
            return "a message of " + std::to_string(event.length) +
                   " bytes: the kernel's trace shows only its first 64, so it cannot be replayed";
        }
        return bad + " (l=" + std::to_string(event.length) + " but " +
               std::to_string(event.bytes.size()) + " bytes)";
    }
    return std::nullopt;
}

// The transfers of one adapter, assembled from its events in order.
class TransferAssembly {
  public:
    std::optional<std::string> add(unsigned line, I2cEvent &&event) {
        switch (event.kind) {
        case I2cEvent::write:
        case I2cEvent::read:
            return add_message(line, std::move(event));
        case I2cEvent::reply:
            return add_reply(event);
        case I2cEvent::result:
            return add_result(event);
        }
        return std::nullopt;
    }

    // Whether a transfer is still open at the end, and the line it began on.
    [[nodiscard]] bool open() const { return !pending_.messages.empty(); }
    [[nodiscard]] unsigned begun() const { return begun_; }
    Recording &transfers() { return transfers_; }

  private:
    std::optional<std::string> add_message(unsigned line, I2cEvent event) {
        const bool is_read = event.kind == I2cEvent::read;
        if (((event.flags & I2C_M_RD) != 0) != is_read) {
            std::array<char, 48> text{};
            std::snprintf(text.data(), text.size(), "%s #%u with flags f=%x",
                          is_read ? "i2c_read" : "i2c_write", event.index, unsigned{event.flags});
            return std::string(text.data());
        }
        if (replies_ > 0) {
            return "message #" + std::to_string(event.index) +
                   " after the replies of the transfer"
                   " begun on line " +
                   std::to_string(begun_) + ", which has no i2c_result";
        }
        if (event.index != pending_.messages.size()) {
            if (event.index == 0) {
                return "a new transfer while the one begun on line " + std::to_string(begun_) +
                       " has no i2c_result";
            }
            return "message #" + std::to_string(event.index) + " where #" +
                   std::to_string(pending_.messages.size()) + " was due";
        }
        if (pending_.messages.size() == max_messages_per_transfer) {
            return too_many();
        }
        if (pending_.messages.empty()) {
            begun_ = line;
        }
        pending_.messages.push_back(
            RecordedMessage{event.addr, event.flags, event.length, std::move(event.bytes)});
        return std::nullopt;
    }

    std::optional<std::string> add_reply(const I2cEvent &event) {
        const std::string which = "i2c_reply #" + std::to_string(event.index);
        if (event.index >= pending_.messages.size()) {
            return which + " of no message of a transfer";
        }
        auto &message = pending_.messages[event.index];
        // The reply shows the message as the adapter finished it: a block read (I2C_M_RECV_LEN)
        // longer by its count, which the request's own length leaves out.
        const bool block = (message.flags & I2C_M_RECV_LEN) != 0;
        if ((message.flags & I2C_M_RD) == 0 || event.addr != message.addr ||
            event.flags != message.flags ||
            (block ? event.length <= message.length : event.length != message.length)) {
            return which + " does not answer the message it names";
        }
        if (event.index < replies_next_) {
            return which + " given twice or out of order";
        }
        if (block) {
            if (auto reason = check_block(message.length, event.bytes)) {
                return which + ": " + *reason;
            }
        }
        message.bytes = event.bytes;
        replies_next_ = event.index + 1;
        ++replies_;
        return std::nullopt;
    }

    std::optional<std::string> add_result(const I2cEvent &event) {
        if (pending_.messages.empty()) {
            return std::string("i2c_result with no transfer before it");
        }
        if (event.index != pending_.messages.size()) {
            return "i2c_result n=" + std::to_string(event.index) + " for a transfer of " +
                   std::to_string(pending_.messages.size()) + " messages";
        }
        if (event.ret < 0) {
            if (replies_ > 0) {
                return "i2c_result ret=" + std::to_string(event.ret) + " after replies";
            }
            pending_.error = -event.ret;
        } else {
            if (static_cast<unsigned>(event.ret) != event.index) {
                return "i2c_result ret=" + std::to_string(event.ret) +
                       " of n=" + std::to_string(event.index) +
                       ": a transfer done in part cannot be replayed";
            }
            for (std::size_t i = 0; i < pending_.messages.size(); ++i) {
                const auto &message = pending_.messages[i];
                // A reply gave a read its bytes: a block read's past its length.
                const bool block = (message.flags & I2C_M_RECV_LEN) != 0;
                if ((message.flags & I2C_M_RD) != 0 &&
                    (block ? message.bytes.size() <= message.length
                           : message.bytes.size() != message.length)) {
                    return "read message #" + std::to_string(i) + " has no i2c_reply";
                }
            }
        }
        transfers_.append(pending_);
        pending_ = RecordedTransfer{};
        replies_ = 0;
        replies_next_ = 0;
        return std::nullopt;
    }

    Recording transfers_;
    RecordedTransfer pending_;
    unsigned begun_ = 0;
    unsigned replies_ = 0;
    unsigned replies_next_ = 0;
};

// "# entries-in-buffer/entries-written: 17/17   #P:2": a refusal when entries were lost;
// `kept` set to the events the text that follows holds.
std::optional<std::string> check_entries(std::string_view comment,
                                         std::optional<unsigned long long> &kept_events) {
    constexpr std::string_view entries = "# entries-in-buffer/entries-written:";
    if (!comment.starts_with(entries)) {
        return std::nullopt;
    }
    auto rest = comment.substr(entries.size());
    const auto counts = next_word(rest);
    const auto slash = counts.find('/');
    unsigned long long kept = 0;
    unsigned long long written = 0;
    if (slash == std::string_view::npos || !parse_whole_number(counts.substr(0, slash), kept) ||
        !parse_whole_number(counts.substr(slash + 1), written)) {
        return std::string("malformed entries-in-buffer/entries-written line");
    }
    if (kept < written) {
        return "the ring buffer lost " + std::to_string(written - kept) + " of " +
               std::to_string(written) + " events (a capture with a gap is not a recording)";
    }
    kept_events = kept;
    return std::nullopt;
}

// The adapter that the capture's own header names ("...; bus i2c-4; ...").
std::optional<int> header_adapter(std::string_view comment) {
    if (!comment.starts_with(capture_header)) {
        return std::nullopt;
    }
    constexpr std::string_view bus = "bus i2c-";
    const auto at = comment.find(bus);
    if (at == std::string_view::npos) {
        return std::nullopt;
    }
    auto rest = comment.substr(at + bus.size());
    rest = rest.substr(0, rest.find_first_not_of("0123456789"));
    int adapter = 0;
    return parse_whole_number(rest, adapter) ? std::optional(adapter) : std::nullopt;
}

// The kernel's trace text, line by line, into the transfers of one adapter.
struct KernelTraceReader {
    std::optional<int> adapter;                // the adapter read, once known
    unsigned header_line = 0;                  // the line of the header that named it, if one did
    std::optional<int> other;                  // the first other adapter seen
    std::optional<unsigned long long> counted; // the events the tracefs header counts ...
    unsigned counted_line = 0;                 // ... on this line
    unsigned long long events = 0;             // the event lines read
    TransferAssembly assembly;

    // Takes a trimmed line; the reason when it is refused.
    std::optional<std::string> take(unsigned number, std::string_view line) {
        if (line.empty()) {
            return std::nullopt;
        }
        if (line.front() == '#') {
            if (auto named = header_adapter(line); named && !adapter) {
                adapter = named;
                header_line = number;
            }
            if (!counted) {
                counted_line = number;
                return check_entries(line, counted);
            }
            return std::nullopt;
        }
        if (line.starts_with("CPU:") && line.find(" [LOST ") != std::string_view::npos &&
            line.ends_with(" EVENTS]")) {
            return std::string("lost events (a capture with a gap is not a recording)");
        }
        std::string_view event;
        std::string_view fields;
        if (!split_event_line(line, event, fields)) {
            return std::string("not a line of the kernel's trace "
                               "(TASK-PID [CPU] FLAGS TIMESTAMP: EVENT: FIELDS)");
        }
        ++events;
        if (event != "i2c_write" && event != "i2c_read" && event != "i2c_reply" &&
            event != "i2c_result") {
            return std::nullopt;
        }
        I2cEvent parsed;
        if (auto reason = parse_i2c_event(event, fields, parsed)) {
            return reason;
        }
        if (!adapter) {
            adapter = parsed.adapter;
        }
        if (parsed.adapter != *adapter) {
            other = other.value_or(parsed.adapter);
            return std::nullopt;
        }
        return assembly.add(number, std::move(parsed));
    }
};

// ---- Bus notation ----

// One message: "W 0x48 [01 1c]", "R 0x48 2 -> [1c 1c]", or of a failed transfer "R 0x48 2";
// a block read (I2C_M_RECV_LEN) "R 0x48 1+ -> [02 1c 1c]", its count byte and block after
// the byte asked for.
std::optional<std::string> parse_message(std::string_view text, bool failed,
                                         RecordedMessage &message) {
    const auto direction = next_word(text);
    const auto addr = next_word(text);
    if ((direction != "W" && direction != "R") || !addr.starts_with("0x") ||
        !parse_whole_number(addr.substr(2), message.addr, 16)) {
        return std::string("expected W 0xADDR [...] or R 0xADDR LENGTH -> [...]");
    }
    const bool is_read = direction == "R";
    message.flags = is_read ? I2C_M_RD : 0;
    if (is_read) {
        auto length = next_word(text);
        if (length.ends_with('+')) {
            length.remove_suffix(1);
            message.flags |= I2C_M_RECV_LEN;
        }
        unsigned long long asked = 0;
        if (!parse_whole_number(length, asked)) {
            return std::string("expected the length after R 0xADDR");
        }
        if (asked > max_message_length) {
            return too_long(asked);
        }
        message.length = static_cast<std::uint16_t>(asked);
        text = trimmed(text);
        if (failed) {
            return text.empty() ? std::nullopt
                                : std::optional<std::string>("a failed transfer's read with bytes "
                                                             "read");
        }
        if (!text.starts_with("-> ")) {
            return std::string("expected -> [...] after the read's length");
        }
        text.remove_prefix(3);
    }
    text = trimmed(text);
    if (text.size() < 2 || text.front() != '[' || text.back() != ']' ||
        !parse_bytes(text.substr(1, text.size() - 2), ' ', message.bytes)) {
        return std::string("expected bytes as [HEX HEX ...]");
    }
    if (!is_read) {
        if (message.bytes.size() > max_message_length) {
            return too_long(message.bytes.size());
        }
        message.length = static_cast<std::uint16_t>(message.bytes.size());
    } else if ((message.flags & I2C_M_RECV_LEN) != 0) {
        return check_block(message.length, message.bytes);
    } else if (message.bytes.size() != message.length) {
        return "a read of " + std::to_string(message.length) + " bytes with " +
               std::to_string(message.bytes.size()) + " bytes read";
    }
    return std::nullopt;
}

std::optional<std::string> parse_transfer_line(std::string_view line, RecordedTransfer &transfer) {
    constexpr std::string_view failed = " FAILED ";
    if (const auto at = line.find(failed); at != std::string_view::npos) {
        auto name = line.substr(at + failed.size());
        line = line.substr(0, at);
        unsigned long long number = 0;
        if (name.starts_with("errno ") && parse_whole_number(name.substr(6), number) &&
            number > 0) {
            if (number > max_errno) {
                return too_large_errno(number);
            }
            transfer.error = static_cast<int>(number);
        } else {
            transfer.error = kzr415_parse_errno(name.data(), name.size());
        }
        if (transfer.error == 0) {
            return "unknown errno name '" + std::string(name) + "'";
        }
    }
    constexpr std::string_view joined = " + ";
    while (true) {
        const auto at = line.find(joined);
        RecordedMessage message;
        if (auto reason = parse_message(line.substr(0, at), transfer.error != 0, message)) {
            return reason;
        }
        transfer.messages.push_back(std::move(message));
        if (at == std::string_view::npos) {
            return std::nullopt;
        }
        if (transfer.messages.size() == max_messages_per_transfer) {
            return too_many();
        }
        line.remove_prefix(at + joined.size());
    }
}

bool skipped(std::string_view line) {
    return line.empty() || line.front() == '#';
}

// Refuses `reading` for line `line` (0: the capture as a whole).
void refuse(CaptureReading &reading, unsigned line, std::string reason) {
    reading.ok = false;
    reading.line = line;
    reading.reason = std::move(reason);
}

} // namespace

CaptureReading read_kernel_trace(std::string_view text) {
    KernelTraceReader reader;
    auto reading = for_each_line(
        text, [&](unsigned number, std::string_view line) { return reader.take(number, line); });
    reading.transfers = std::move(reader.assembly.transfers());
    if (!reading.ok) {
        return reading;
    }
    if (reader.assembly.open()) {
        refuse(reading, reading.line,
               "the capture ends inside the transfer begun on line " +
                   std::to_string(reader.assembly.begun()));
    } else if (reader.counted && reader.events < *reader.counted) {
        refuse(reading, reader.counted_line,
               "the header counts " + std::to_string(*reader.counted) +
                   " events, the capture holds " + std::to_string(reader.events) +
                   " (it was cut short)");
    } else if (reading.transfers.empty() && reader.header_line != 0 && reader.adapter &&
               reader.other) {
        refuse(reading, reader.header_line,
               "no transfer on i2c-" + std::to_string(*reader.adapter) +
                   ", the bus this header names (the capture's I2C events are on i2c-" +
                   std::to_string(*reader.other) + ")");
    }
    return reading;
}

CaptureReading read_bus_notation(std::string_view text) {
    Recording transfers;
    auto reading = for_each_line(text, [&](unsigned, std::string_view line) {
        RecordedTransfer transfer;
        auto reason = skipped(line) ? std::nullopt : parse_transfer_line(line, transfer);
        if (!skipped(line) && !reason) {
            transfers.append(transfer);
        }
        return reason;
    });
    reading.transfers = std::move(transfers);
    return reading;
}

CaptureReading read_capture(std::string_view text) {
    // Bus notation when its first line that is not blank or a comment is a message's.
    auto first = text;
    while (!first.empty() && skipped(trimmed(first.substr(0, first.find('\n'))))) {
        first.remove_prefix(std::min(first.find('\n'), first.size() - 1) + 1);
    }
    first = trimmed(first);
    const bool bus_notation = first.starts_with("W ") || first.starts_with("R ");
    return bus_notation ? read_bus_notation(text) : read_kernel_trace(text);
}

CaptureReading read_capture_to_replay(std::string_view text) {
    auto reading = read_capture(text);
    if (reading.ok && reading.transfers.empty()) {
        refuse(reading, 0, "no transfer in the capture");
    }
    return reading;
}

std::string refusal_text(const CaptureReading &reading) {
    return reading.line == 0 ? reading.reason
                             : "line " + std::to_string(reading.line) + ": " + reading.reason;
}

} // namespace kzr415::sim
