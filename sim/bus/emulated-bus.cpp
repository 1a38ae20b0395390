#include "bus/emulated-bus.hpp"

#include "bus/standard-error.hpp"
#include "device/settings.hpp"

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <span>
#include <string_view>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
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

// Opens the trace at `path` for writing, for one line: an existing file (or what a link
// names), or a missing one created, never through a link.
int open_trace(const std::string &path, int flags) {
    flags |= O_WRONLY | O_CLOEXEC | O_LARGEFILE;
    int fd = raw_open(path.c_str(), flags);
    if (fd < 0 && errno == ENOENT) {
        fd = raw_open(path.c_str(), flags | O_CREAT | O_EXCL | O_NOFOLLOW, 0644);
        if (fd < 0 && errno == EEXIST) { // created meanwhile by another process
            fd = raw_open(path.c_str(), flags);
        }
    }
    return fd;
}

// Appends `line` to the file `path` ("-": standard error).
void append_line(const std::string &path, std::string_view line) {
    if (path == "-") {
        write_standard_error(line);
        return;
    }
    const int fd = open_trace(path, O_APPEND);
    if (fd >= 0) {
        write_whole(fd, line); // in one write: lines never interleave
        raw_close(fd);
    }
}

// Writes `line` into the trace at `path` where the trace of the transfers made so far ends
// (`trace`, when it names this file; else at the file's end), cuts off whatever followed
// (a line of a transfer that a killed process never made current), and moves `trace` past
// the line. A trace that cannot be written at a place (a pipe) is appended to.
void write_line_at(const std::string &path, std::string_view line, TracePlace &trace) {
    const int fd = open_trace(path, 0);
    struct stat info {};
    if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        if (fd >= 0) {
            write_whole(fd, line); // in one write: lines never interleave
            raw_close(fd);
        }
        return;
    }
    const bool same = info.st_dev == trace.device && info.st_ino == trace.inode;
    auto end = same ? trace.length : static_cast<std::uint64_t>(info.st_size);
    while (!line.empty()) {
        const ssize_t written = pwrite(fd, line.data(), line.size(), static_cast<off_t>(end));
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            break;
        }
        end += static_cast<std::uint64_t>(written);
        line.remove_prefix(static_cast<std::size_t>(written));
    }
    if (static_cast<std::uint64_t>(info.st_size) > end) {
        (void)ftruncate(fd, static_cast<off_t>(end));
    }
    raw_close(fd);
    trace = {end, info.st_dev, info.st_ino};
}

// Every signal blocked while it lives, so that no handler runs in this thread meanwhile.
class SignalsBlocked {
  public:
    SignalsBlocked() {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &saved_);
    }
    SignalsBlocked(const SignalsBlocked &) = delete;
    SignalsBlocked &operator=(const SignalsBlocked &) = delete;
    SignalsBlocked(SignalsBlocked &&) = delete;
    SignalsBlocked &operator=(SignalsBlocked &&) = delete;
    ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }

  private:
    sigset_t saved_{};
};

} // namespace

void EmulatedBus::reset(const Device &device) {
    const SignalsBlocked blocked;
    const std::lock_guard guard(lock_);
    device_ = device;
    record_.clear();
}

void EmulatedBus::hold_for_fork() {
    sigset_t all;
    sigset_t saved;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &saved);
    lock_.lock();
    fork_mask_ = saved;
}

void EmulatedBus::release_after_fork() {
    const sigset_t saved = fork_mask_;
    lock_.unlock();
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
}

void EmulatedBus::set_device_file(const std::string &path) {
    const SignalsBlocked blocked;
    const std::lock_guard guard(lock_);
    device_file_ = path;
    if (!path.empty()) {
        (void)shared_.attach(path); // told at the first transfer when it failed
    }
}

int EmulatedBus::rdwr(const i2c_rdwr_ioctl_data &request) {
    const std::span<i2c_msg> messages(request.msgs, request.nmsgs);
    const SignalsBlocked blocked;
    const std::lock_guard guard(lock_);
    // With no record to keep and no trace to write, nothing is allocated per transfer.
    const bool keep = recording_ || !trace_.empty();
    RecordedTransfer record = keep ? requested_transfer(messages) : RecordedTransfer{};
    TracePlace trace;
    int result = load(trace);
    if (result == 0) {
        result = serve(messages);
        if (keep) {
            record.error = result < 0 ? -result : 0;
            if (result >= 0) {
                record_replies(record, messages);
            }
            // Under the lock: the trace keeps the transfers' order.
            write_trace(record, trace);
        }
        if (!store(trace)) {
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
    // The count stops at its largest value rather than start over: a fault of transfer K
    // never comes round again.
    if (device_.transfers == std::numeric_limits<unsigned>::max()) {
        --device_.transfers;
    }
    if (responder_ != nullptr) { // a recording answers in the device's place
        return responder_->respond(++device_.transfers, messages);
    }
    return kzr415_transfer(&device_, messages.data(), messages.size());
}

int EmulatedBus::load(TracePlace &trace) {
    if (!device_file_.empty()) {
        if (!shared_.attached() && !shared_.attach(device_file_)) {
            const int error = errno;
            (void)report(device_file_, error == ENODEV ? "the run has ended" : "cannot map");
            return error == ENODEV ? -ENODEV : -EIO;
        }
        if (!shared_.lock(device_, trace)) {
            (void)report(device_file_, "the run has ended");
            return -ENODEV;
        }
    } else if (state_file_ != nullptr) {
        bool was_empty = false;
        if (!state_file_->lock()) {
            (void)report(state_file_->path(), "cannot lock");
            return -EIO;
        }
        if (!state_file_->load(device_, was_empty)) {
            const int error = errno;
            state_file_->unlock();
            errno = error;
            (void)report(state_file_->path(), "cannot load");
            return -EIO;
        }
    } else {
        return 0;
    }
    for (const auto &[setting, text] : run_) {
        parse_setting(device_, *setting, text);
    }
    return 0;
}

bool EmulatedBus::store(const TracePlace &trace) {
    if (!device_file_.empty()) {
        shared_.commit(device_, trace);
        shared_.unlock();
        return true;
    }
    if (state_file_ == nullptr) {
        return true;
    }
    const bool stored = state_file_->store(device_);
    const int error = errno;
    state_file_->unlock();
    errno = error;
    if (!stored) {
        (void)report(state_file_->path(), "cannot store");
    }
    return stored;
}

bool EmulatedBus::report(const std::string &file, const char *what) const {
    const std::string kind = file == device_file_ ? "device file " : "state file ";
    const std::string line =
        "kzr-415 emulated bus: " + kind + file + ": " + what + ": " + std::strerror(errno) + "\n";
    write_standard_error(line);
    return false;
}

void EmulatedBus::write_trace(const RecordedTransfer &record, TracePlace &trace) const {
    if (trace_.empty()) {
        return;
    }
    const std::string line = format_transfer(record) + '\n';
    if (device_file_.empty() || trace_ == "-") {
        append_line(trace_, line);
    } else {
        write_line_at(trace_, line, trace);
    }
}

} // namespace kzr415::sim
