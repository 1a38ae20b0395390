#include "bus/emulated-bus.hpp"

#include <algorithm>
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
        write_line(STDERR_FILENO, line);
        return;
    }
    constexpr int flags = O_WRONLY | O_APPEND | O_CLOEXEC | O_LARGEFILE;
    long fd = syscall(SYS_openat, AT_FDCWD, path.c_str(), flags);
    if (fd < 0 && errno == ENOENT) {
        fd = syscall(SYS_openat, AT_FDCWD, path.c_str(), flags | O_CREAT | O_EXCL | O_NOFOLLOW,
                     0644);
        if (fd < 0 && errno == EEXIST) { // created meanwhile by another process
            fd = syscall(SYS_openat, AT_FDCWD, path.c_str(), flags);
        }
    }
    if (fd < 0) {
        return;
    }
    write_line(static_cast<int>(fd), line);
    syscall(SYS_close, fd);
}

} // namespace

void EmulatedBus::reset(const DeviceModel &device) {
    const std::lock_guard guard(lock_);
    device_ = device;
    run_ = DeviceRun{};
    record_.clear();
}

int EmulatedBus::rdwr(const i2c_rdwr_ioctl_data &request) {
    // The kernel refuses these before any bus activity.
    if (request.msgs == nullptr || request.nmsgs == 0 ||
        request.nmsgs > max_messages_per_transfer) {
        return -EINVAL;
    }
    const std::span<const i2c_msg> messages(request.msgs, request.nmsgs);
    for (const auto &message : messages) {
        if (message.len > max_message_length || (message.len != 0 && message.buf == nullptr)) {
            return message.len > max_message_length ? -EINVAL : -EFAULT;
        }
        if ((message.flags & I2C_M_RECV_LEN) != 0 &&
            ((message.flags & I2C_M_RD) == 0 || message.len == 0 ||
             message.len + unsigned{I2C_SMBUS_BLOCK_MAX} > max_message_length)) {
            return -EINVAL;
        }
    }

    const std::lock_guard guard(lock_);
    // With no record to keep and no trace to write, nothing is allocated per transfer.
    RecordedTransfer record;
    RecordedTransfer *const filled = recording_ || !trace_.empty() ? &record : nullptr;
    const int result =
        state_file_ != nullptr ? execute_shared(request, filled) : execute(request, filled);
    record.error = result < 0 ? -result : 0;
    if (state_file_ == nullptr && filled != nullptr) {
        write_trace(record);
    }
    if (recording_) {
        record_.push_back(std::move(record));
    }
    return result;
}

int EmulatedBus::execute_shared(const i2c_rdwr_ioctl_data &request, RecordedTransfer *record) {
    const auto report = [this](const char *what) {
        const std::string line = "kzr-415 emulated bus: state file " + state_file_->path() + ": " +
                                 what + ": " + std::strerror(errno) + "\n";
        write_line(STDERR_FILENO, line);
        return -EIO;
    };
    if (!state_file_->lock()) {
        return report("cannot lock");
    }
    DeviceState state{device_, run_.transfers};
    bool was_empty = false;
    if (!state_file_->load(state, was_empty)) {
        const int result = report("cannot load");
        state_file_->unlock();
        return result;
    }
    device_ = state.device;
    run_.transfers = state.transfers;
    const int result = execute(request, record);
    if (record != nullptr) {
        record->error = result < 0 ? -result : 0;
        write_trace(*record); // under the lock, so the trace keeps the order of the transfers
    }
    const bool stored = state_file_->store(DeviceState{device_, run_.transfers});
    state_file_->unlock();
    return stored ? result : report("cannot store");
}

int EmulatedBus::execute(const i2c_rdwr_ioctl_data &request, RecordedTransfer *record) {
    const std::span<i2c_msg> messages(request.msgs, request.nmsgs);
    if (record != nullptr) {
        for (const auto &message : messages) {
            RecordedMessage recorded{message.addr, message.flags, message.len, {}};
            if ((message.flags & I2C_M_RD) == 0) {
                recorded.bytes.assign(message.buf, message.buf + message.len);
            }
            record->messages.push_back(std::move(recorded));
        }
    }
    if (responder_ != nullptr) { // a recording answers in the device's place
        ++run_.transfers;
        return respond(request, record);
    }
    const int result = device_.transfer(messages, run_);
    if (record != nullptr && result >= 0) {
        for (std::size_t i = 0; i < messages.size(); ++i) {
            const auto &message = messages[i];
            if ((message.flags & I2C_M_RD) != 0) {
                record->messages[i].length = message.len; // raised by a block's count
                record->messages[i].bytes.assign(message.buf, message.buf + message.len);
            }
        }
    }
    return result;
}

int EmulatedBus::respond(const i2c_rdwr_ioctl_data &request, RecordedTransfer *record) {
    const int result = responder_->respond(run_.transfers, request);
    const std::span<const i2c_msg> messages(request.msgs, request.nmsgs);
    for (std::size_t i = 0; record != nullptr && result >= 0 && i < messages.size(); ++i) {
        if ((messages[i].flags & I2C_M_RD) != 0) {
            record->messages[i].bytes.assign(messages[i].buf, messages[i].buf + messages[i].len);
        }
    }
    return result;
}

void EmulatedBus::write_trace(const RecordedTransfer &record) const {
    if (!trace_.empty()) {
        append_line(trace_, format_transfer(record) + '\n');
    }
}

} // namespace kzr415::sim
