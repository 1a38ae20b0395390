#include "bus/i2c-dev-client.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <numeric>
#include <span>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

namespace kzr415::sim {

// The program's memory, reached through copies (MemoryRange) as the kernel's
// copy_from_user and copy_to_user reach it.
namespace {

enum class Way : std::uint8_t { unknown, process_vm, pipe };

// process_vm_readv and process_vm_writev on this process itself; where the system refuses
// them (qemu-arm's user mode, a seccomp filter), a pipe that the bytes pass through.
// NOLINTBEGIN(cppcoreguidelines-avoid-non-const-global-variables): facts of the process that
// every thread's copies share, learnt once.
std::atomic<Way> way{Way::unknown};

// This process's id, kept across fork without a system call per copy.
std::atomic<pid_t> own_pid{0};
// NOLINTEND(cppcoreguidelines-avoid-non-const-global-variables)

// The child of a fork learns its own id from the handler registered here, when the library
// is loaded and before the program can have started a second thread: registered on first
// use instead, a fork made while another thread ran that first use would leave the child
// waiting for ever on the initialisation it inherited half done.
[[maybe_unused]] const bool pid_follows_fork = []() noexcept {
    return pthread_atfork(nullptr, nullptr, [] {
               own_pid.store(static_cast<pid_t>(syscall(SYS_getpid)), std::memory_order_relaxed);
           }) == 0;
}();

pid_t self() {
    pid_t pid = own_pid.load(std::memory_order_relaxed);
    if (pid == 0) {
        pid = static_cast<pid_t>(syscall(SYS_getpid));
        own_pid.store(pid, std::memory_order_relaxed);
    }
    return pid;
}

constexpr std::size_t max_ranges = 64;

// The count of ranges that `bytes` covers whole, from the start.
std::size_t ranges_covered(std::span<const MemoryRange> ranges, std::size_t bytes) {
    std::size_t done = 0;
    for (const auto &range : ranges) {
        if (range.size > bytes) {
            break;
        }
        bytes -= range.size;
        ++done;
    }
    return done;
}

// One batch of at most max_ranges ranges through process_vm_*; -1 when the system refuses.
long through_process_vm(std::span<const MemoryRange> ranges, bool to_program) {
    std::array<iovec, max_ranges> local{};
    std::array<iovec, max_ranges> remote{};
    std::size_t count = 0;
    std::size_t total = 0;
    for (const auto &range : ranges) {
        if (range.size == 0) {
            continue;
        }
        local[count] = {range.local, range.size};
        // iovec has no const form: the program's bytes are only read when copying from it.
        // NOLINTNEXTLINE(cppcoreguidelines-pro-type-const-cast)
        remote[count] = {const_cast<void *>(range.remote), range.size};
        total += range.size;
        ++count;
    }
    if (count == 0) {
        return static_cast<long>(ranges.size());
    }
    const long number = to_program ? SYS_process_vm_writev : SYS_process_vm_readv;
    long moved = syscall(number, self(), local.data(), count, remote.data(), count, 0UL);
    if (moved < 0 && errno == ESRCH) {
        // A child started without fork (clone, _Fork) still has its parent's id here.
        own_pid.store(static_cast<pid_t>(syscall(SYS_getpid)), std::memory_order_relaxed);
        moved = syscall(number, self(), local.data(), count, remote.data(), count, 0UL);
    }
    if (moved < 0) {
        if (errno == ENOSYS || errno == EPERM) {
            return -1;
        }
        return static_cast<long>(ranges_covered(ranges, 0));
    }
    return static_cast<long>(static_cast<std::size_t>(moved) == total
                                 ? ranges.size()
                                 : ranges_covered(ranges, static_cast<std::size_t>(moved)));
}

// The same through a pipe: the kernel reads the source as it writes into the pipe and
// writes the destination as it reads from it, and refuses a bad address with EFAULT.
std::size_t through_pipe(std::span<const MemoryRange> ranges, bool to_program) {
    std::array<int, 2> ends{-1, -1};
    if (syscall(SYS_pipe2, ends.data(), O_CLOEXEC) != 0) {
        return 0;
    }
    constexpr std::size_t chunk = 4096; // written whole into an empty pipe
    std::size_t done = 0;
    for (const auto &range : ranges) {
        auto *local = static_cast<std::uint8_t *>(range.local);
        // Written through only when copying to the program (MemoryRange).
        // NOLINTNEXTLINE(cppcoreguidelines-pro-type-const-cast)
        auto *remote = static_cast<std::uint8_t *>(const_cast<void *>(range.remote));
        bool whole = true;
        for (std::size_t offset = 0; whole && offset < range.size; offset += chunk) {
            const std::size_t n = std::min(chunk, range.size - offset);
            const void *from = to_program ? local + offset : remote + offset;
            void *to = to_program ? remote + offset : local + offset;
            whole = syscall(SYS_write, ends[1], from, n) == static_cast<long>(n) &&
                    syscall(SYS_read, ends[0], to, n) == static_cast<long>(n);
        }
        if (!whole) {
            break;
        }
        ++done;
    }
    syscall(SYS_close, ends[0]);
    syscall(SYS_close, ends[1]);
    return done;
}

std::size_t copy(std::span<const MemoryRange> ranges, bool to_program) {
    std::size_t done = 0;
    while (done < ranges.size()) {
        const auto batch = ranges.subspan(done, std::min(max_ranges, ranges.size() - done));
        std::size_t copied = 0;
        if (way.load(std::memory_order_relaxed) != Way::pipe) {
            const long moved = through_process_vm(batch, to_program);
            if (moved < 0) {
                way.store(Way::pipe, std::memory_order_relaxed);
                continue;
            }
            copied = static_cast<std::size_t>(moved);
        } else {
            copied = through_pipe(batch, to_program);
        }
        done += copied;
        if (copied < batch.size()) {
            break;
        }
    }
    return done;
}

} // namespace

std::size_t copy_from_program(std::span<const MemoryRange> ranges) {
    return copy(ranges, false);
}

std::size_t copy_to_program(std::span<const MemoryRange> ranges) {
    return copy(ranges, true);
}

bool copy_from_program(void *local, const void *remote, std::size_t size) {
    const MemoryRange range{local, remote, size};
    return copy(std::span(&range, 1), false) == 1;
}

bool copy_to_program(void *remote, const void *local, std::size_t size) {
    // One MemoryRange serves both ways; copying to the program only reads `local`.
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-const-cast)
    const MemoryRange range{const_cast<void *>(local), remote, size};
    return copy(std::span(&range, 1), true) == 1;
}

// The requests of one descriptor.
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
        std::uint8_t *next = bytes.reserve(std::accumulate(
            last_records.begin(), last_records.end(), std::size_t{0},
            [](std::size_t sum, const i2c_msg &record) { return sum + record.len; }));
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
