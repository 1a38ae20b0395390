#include "bus/i2c-dev-client.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <span>
#include <vector>

namespace kzr415::sim {

namespace {

// The argument of a request that takes a number rather than a pointer.
unsigned long number(void *arg) {
    // ioctl hands the number over in its pointer-sized argument.
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast)
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

// The bytes of one request's messages, as the kernel copies them in: on the stack for the
// usual few bytes, else on the heap.
class MessageBytes {
  public:
    std::uint8_t *reserve(std::size_t size) {
        if (size > small_.size()) {
            large_.resize(size);
            return large_.data();
        }
        return small_.data();
    }

  private:
    std::array<std::uint8_t, 512> small_{};
    std::vector<std::uint8_t> large_;
};

// The last I2C_RDWR request this thread took: where its message records were, and the
// records as the program wrote them. A program repeats a request's shape (the same stack
// frame, the same buffers), so the next request, its records and their bytes are read in
// one copy from there; what the request turns out to name instead is read again. A guess
// that reads other memory of the program does no harm: the copy fails or goes unused.
struct LastRequest {
    const i2c_msg *messages = nullptr;
    std::size_t count = 0;
    std::array<i2c_msg, max_messages_per_transfer> records{};
};
// NOLINTNEXTLINE(cppcoreguidelines-avoid-non-const-global-variables): one per thread, by design
thread_local LastRequest last;

// The kernel's checks of each message, in order: 0, or -EINVAL for the first message it
// refuses (`acceptable`, or a malformed block read), -EFAULT for the first whose bytes
// could not be read (`copied`). A block read's length becomes the bytes it wants besides
// the block.
long check_messages(std::span<i2c_msg> messages, std::size_t acceptable, std::size_t copied) {
    for (auto &message : messages) {
        const auto i = static_cast<std::size_t>(&message - messages.data());
        if (i == acceptable) {
            return -EINVAL;
        }
        if (i >= copied) {
            return -EFAULT;
        }
        if ((message.flags & I2C_M_RECV_LEN) != 0) {
            // buf[0] names the bytes wanted besides the block (1 for the count byte); the
            // buffer must hold them and the longest block.
            if ((message.flags & I2C_M_RD) == 0 || message.len == 0 || message.buf[0] < 1 ||
                message.len < message.buf[0] + I2C_SMBUS_BLOCK_MAX) {
                return -EINVAL;
            }
            message.len = message.buf[0];
        }
    }
    return 0;
}

// Copies the read messages' bytes back to the program's buffers: true when all arrived. As
// the kernel, a buffer that cannot be written does not stop the others.
bool copy_back(std::span<const i2c_msg> messages, std::span<const i2c_msg> records) {
    std::array<MemoryRange, max_messages_per_transfer> ranges{};
    std::size_t count = 0;
    for (std::size_t i = 0; i < messages.size(); ++i) {
        if ((messages[i].flags & I2C_M_RD) != 0) {
            ranges[count++] = {messages[i].buf, records[i].buf, messages[i].len};
        }
    }
    const std::span<const MemoryRange> all(ranges.data(), count);
    std::size_t done = copy_to_program(all);
    const bool whole = done == count;
    while (done < count) {
        ++done; // past the range that failed
        done += copy_to_program(all.subspan(done));
    }
    return whole;
}

// I2C_RDWR works on the kernel's copy of the records and the bytes: the caller's records
// stay as given, and each read message's bytes are copied back after the transfer.
long rdwr(EmulatedBus &bus, void *arg) {
    i2c_rdwr_ioctl_data request{};
    std::array<i2c_msg, max_messages_per_transfer> copy{};
    MessageBytes bytes;
    std::array<MemoryRange, max_messages_per_transfer + 2> ranges{};
    std::size_t guessed = 0;
    ranges.at(guessed++) = {&request, arg, sizeof request};
    const std::span last_records(last.records.data(), last.count);
    if (last.count != 0) { // the last request's records and bytes, in the same copy
        ranges.at(guessed++) = {copy.data(), last.messages, last.count * sizeof(i2c_msg)};
        std::size_t total = 0;
        for (const auto &record : last_records) {
            total += record.len;
        }
        std::uint8_t *next = bytes.reserve(total);
        for (const auto &record : last_records) {
            ranges.at(guessed++) = {next, record.buf, record.len};
            next += record.len;
        }
    }
    const std::size_t read = copy_from_program(std::span(ranges.data(), guessed));
    if (read == 0) {
        return -EFAULT;
    }
    if (request.msgs == nullptr || request.nmsgs == 0 ||
        request.nmsgs > max_messages_per_transfer) {
        return -EINVAL;
    }
    const bool same_array =
        read >= 2 && request.msgs == last.messages && request.nmsgs == last.count;
    if (!same_array &&
        !copy_from_program(copy.data(), request.msgs, request.nmsgs * sizeof(i2c_msg))) {
        return -EFAULT;
    }
    const auto records = copy; // the program's: its buffers
    const std::span messages(copy.data(), request.nmsgs);
    const bool same_bytes =
        same_array && read == guessed &&
        std::equal(messages.begin(), messages.end(), last_records.begin(),
                   [](const auto &a, const auto &b) { return a.buf == b.buf && a.len == b.len; });

    // The kernel takes the messages in order and stops at the first it refuses: one too
    // long, one whose bytes cannot be read, one whose block length is malformed.
    std::size_t acceptable = 0;
    std::size_t total = 0;
    while (acceptable < messages.size() && messages[acceptable].len <= max_message_length) {
        total += messages[acceptable++].len;
    }
    auto *next = static_cast<std::uint8_t *>(same_bytes ? ranges[2].local : bytes.reserve(total));
    for (std::size_t i = 0; i < acceptable; ++i) {
        ranges.at(i) = {next, records.at(i).buf, messages[i].len};
        messages[i].buf = next;
        next += messages[i].len;
    }
    const std::size_t copied =
        same_bytes ? acceptable : copy_from_program(std::span(ranges.data(), acceptable));
    if (const long refused = check_messages(messages, acceptable, copied); refused != 0) {
        return refused;
    }
    if (!same_bytes) {
        last.messages = request.msgs;
        last.count = messages.size();
        std::copy_n(records.begin(), messages.size(), last.records.begin());
    }
    const int result = bus.rdwr(i2c_rdwr_ioctl_data{copy.data(), request.nmsgs});
    if (result >= 0 && !copy_back(messages, std::span(records.data(), messages.size()))) {
        return -EFAULT;
    }
    return result;
}

// The bytes of i2c_smbus_data that a transfer of `size` uses.
std::size_t smbus_data_size(std::uint32_t size) {
    switch (size) {
    case I2C_SMBUS_BYTE:
    case I2C_SMBUS_BYTE_DATA:
        return sizeof(i2c_smbus_data::byte);
    case I2C_SMBUS_WORD_DATA:
    case I2C_SMBUS_PROC_CALL:
        return sizeof(i2c_smbus_data::word);
    default:
        return sizeof(i2c_smbus_data::block);
    }
}

long smbus(EmulatedBus &bus, const I2cDevClient &client, void *arg) {
    i2c_smbus_ioctl_data args{};
    if (!copy_from_program(&args, arg, sizeof args)) {
        return -EFAULT;
    }
    // What i2c-dev refuses before the transfer: a size or direction it does not know, and no
    // data where the transfer has some.
    const bool no_data = args.size == I2C_SMBUS_QUICK ||
                         (args.size == I2C_SMBUS_BYTE && args.read_write == I2C_SMBUS_WRITE);
    if (args.size > I2C_SMBUS_I2C_BLOCK_DATA ||
        (args.read_write != I2C_SMBUS_READ && args.read_write != I2C_SMBUS_WRITE) ||
        (!no_data && args.data == nullptr)) {
        return -EINVAL;
    }
    SmbusRequest request{client.address, client.ten_bit, client.pec, args.read_write,
                         args.command,   args.size,      nullptr};
    if (no_data) {
        return smbus_transfer(bus, request);
    }
    const std::size_t size = smbus_data_size(args.size);
    const bool calls = args.size == I2C_SMBUS_PROC_CALL || args.size == I2C_SMBUS_BLOCK_PROC_CALL;
    i2c_smbus_data data{};
    if ((calls || args.size == I2C_SMBUS_I2C_BLOCK_DATA || args.read_write == I2C_SMBUS_WRITE) &&
        !copy_from_program(&data, args.data, size)) {
        return -EFAULT;
    }
    request.data = &data;
    const int result = smbus_transfer(bus, request);
    if (result == 0 && (calls || args.read_write == I2C_SMBUS_READ) &&
        !copy_to_program(args.data, &data, size)) {
        return -EFAULT;
    }
    return result;
}

} // namespace

bool uses_client(unsigned long request) {
    switch (request) {
    case I2C_SMBUS:
    case I2C_SLAVE:
    case I2C_SLAVE_FORCE:
    case I2C_TENBIT:
    case I2C_PEC:
        return true;
    default:
        return false;
    }
}

long client_ioctl(EmulatedBus &bus, I2cDevClient &client, unsigned long request, void *arg) {
    switch (request) {
    case I2C_RDWR:
        return rdwr(bus, arg);
    case I2C_SMBUS:
        return smbus(bus, client, arg);
    case I2C_FUNCS: {
        const unsigned long functionality = adapter_functionality;
        return copy_to_program(arg, &functionality, sizeof functionality) ? 0 : -EFAULT;
    }
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
    if (!client.readable) {
        return -EBADF;
    }
    std::array<std::uint8_t, max_message_length> bytes{};
    i2c_msg message{
        client.address, static_cast<std::uint16_t>(I2C_M_RD | (client.ten_bit ? I2C_M_TEN : 0)),
        static_cast<std::uint16_t>(std::min<std::size_t>(count, max_message_length)), bytes.data()};
    const int result = bus.rdwr(i2c_rdwr_ioctl_data{&message, 1});
    if (result < 0) {
        return result;
    }
    // As the kernel: the bytes go to the caller after the transfer, or EFAULT.
    return copy_to_program(buffer, bytes.data(), message.len) ? message.len : -EFAULT;
}

ssize_t client_write(EmulatedBus &bus, const I2cDevClient &client, const void *buffer,
                     std::size_t count) {
    if (!client.writable) {
        return -EBADF;
    }
    // The kernel copies the caller's bytes first; the message never writes into them.
    std::array<std::uint8_t, max_message_length> bytes{};
    const auto length = std::min<std::size_t>(count, max_message_length);
    if (!copy_from_program(bytes.data(), buffer, length)) {
        return -EFAULT;
    }
    i2c_msg message{client.address, static_cast<std::uint16_t>(client.ten_bit ? I2C_M_TEN : 0),
                    static_cast<std::uint16_t>(length), bytes.data()};
    const int result = bus.rdwr(i2c_rdwr_ioctl_data{&message, 1});
    return result < 0 ? result : static_cast<ssize_t>(length);
}

} // namespace kzr415::sim
