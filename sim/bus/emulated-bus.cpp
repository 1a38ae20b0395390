#include "bus/emulated-bus.hpp"

#include "bus/standard-error.hpp"
#include "device/settings.hpp"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <span>
#include <string_view>

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

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
            // A block read keeps the length it asked for; its count shows in its bytes.
            if ((messages[i].flags & I2C_M_RECV_LEN) == 0) {
                transfer.messages[i].length = messages[i].len;
            }
            transfer.messages[i].bytes.assign(messages[i].buf, messages[i].buf + messages[i].len);
        }
    }
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
            if ((message.flags & I2C_M_RECV_LEN) != 0) {
                out += '+'; // a block read: the count byte and the block follow
            }
            if (!with_result || transfer.error != 0) {
                continue; // nothing read, or not shown
            }
            out += " -> ";
        }
        out += "[" + format_hex_bytes(message.bytes) + "]";
    }
    if (with_result && transfer.error != 0) {
        const char *name = kzr415_errno_name(transfer.error); // "errno N" for one unnamed
        out += " FAILED " + (name != nullptr ? name : "errno " + std::to_string(transfer.error));
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

int raw_open(const char *path, int flags, mode_t mode) {
    return static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, flags, mode));
}

void raw_close(int fd) {
    (void)syscall(SYS_close, fd);
}

namespace {

// Writes a whole line, in one write unless the descriptor takes less, so that concurrent
// writers never interleave within a line. A line that cannot be written is dropped: there is
// nowhere left to report it. A system call of its own: in a preloaded program the C
// library's write is the emulated bus's entry point.
void write_line(int fd, std::string_view line) {
    while (!line.empty()) {
        const long written = syscall(SYS_write, fd, line.data(), line.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return;
        }
        line.remove_prefix(static_cast<std::size_t>(written));
    }
}

// Appends `line` to the file `path` ("-": standard error), opened for this line alone: an
// existing file (or what a link names) is appended to, a missing one is created, never
// through a link.
void append_line(const std::string &path, std::string_view line) {
    if (path == "-") {
        write_standard_error(line);
        return;
    }
    constexpr int flags = O_WRONLY | O_APPEND | O_CLOEXEC | O_LARGEFILE;
    int fd = raw_open(path.c_str(), flags);
    if (fd < 0 && errno == ENOENT) {
        fd = raw_open(path.c_str(), flags | O_CREAT | O_EXCL | O_NOFOLLOW, 0644);
        if (fd < 0 && errno == EEXIST) { // created meanwhile by another process
            fd = raw_open(path.c_str(), flags);
        }
    }
    if (fd >= 0) {
        write_line(fd, line);
        raw_close(fd);
    }
}

} // namespace

void EmulatedBus::reset(const Device &device) {
    const std::lock_guard guard(lock_);
    device_ = device;
    record_.clear();
}

int EmulatedBus::rdwr(const i2c_rdwr_ioctl_data &request) {
    const std::span<i2c_msg> messages(request.msgs, request.nmsgs);
    const std::lock_guard guard(lock_);
    // With no record to keep and no trace to write, nothing is allocated per transfer.
    const bool keep = recording_ || !trace_.empty();
    RecordedTransfer record = keep ? requested_transfer(messages) : RecordedTransfer{};
    int result = -EIO;
    if (state_file_ == nullptr || load()) {
        result = serve(messages);
        if (keep) {
            record.error = result < 0 ? -result : 0;
            if (result >= 0) {
                record_replies(record, messages);
            }
            write_trace(record); // under the file's lock: the trace keeps the transfers' order
        }
        if (state_file_ != nullptr && !store()) {
            result = -EIO;
        }
    }
    if (recording_) {
        record.error = result < 0 ? -result : 0;
        record_.push_back(std::move(record));
    }
    return result;
}

int EmulatedBus::serve(std::span<i2c_msg> messages) {
    if (responder_ != nullptr) { // a recording answers in the device's place
        return responder_->respond(++device_.transfers, messages);
    }
    return kzr415_transfer(&device_, messages.data(), messages.size());
}

bool EmulatedBus::load() {
    bool was_empty = false;
    if (!state_file_->lock()) {
        return report("cannot lock");
    }
    if (!state_file_->load(device_, was_empty)) {
        const int error = errno;
        state_file_->unlock();
        errno = error;
        return report("cannot load");
    }
    for (const auto &[setting, text] : run_) {
        parse_setting(device_, *setting, text);
    }
    return true;
}

bool EmulatedBus::store() {
    const bool stored = state_file_->store(device_);
    const int error = errno;
    state_file_->unlock();
    errno = error;
    return stored || report("cannot store");
}

bool EmulatedBus::report(const char *what) const {
    const std::string line = "kzr-415 emulated bus: state file " + state_file_->path() + ": " +
                             what + ": " + std::strerror(errno) + "\n";
    write_standard_error(line);
    return false;
}

void EmulatedBus::write_trace(const RecordedTransfer &record) const {
    if (!trace_.empty()) {
        append_line(trace_, format_transfer(record) + '\n');
    }
}

} // namespace kzr415::sim
