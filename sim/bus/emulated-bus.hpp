// An i2c-dev bus adapter in user space: serves the transfers of the requests that the
// i2c-dev emulation took (bus/i2c-dev-client.hpp) to one simulated kzr-415, with a record
// of every transfer and its trace. With a state file the device (its run included) lives in
// that file, shared between processes; under kzr-415-sim it lives in the run's device file,
// shared in memory (bus/shared-device.hpp).
//
// Signals: a transfer, a reset and the hold around fork block every signal while they hold
// the bus's lock, so that a signal handler that transfers or forks runs before or after
// them, never inside: the lock is never met again by the thread that holds it. A handler
// that transfers thus waits for the transfer it interrupted to end, as it would for the
// kernel's bus lock, which no signal interrupts either.
#pragma once

#include "bus/shared-device.hpp"
#include "device/settings.hpp"

#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>

namespace kzr415::sim {

// The simulated device in a file, so that several processes (started one after another or
// at once) meet one device: its settings and its run, the register pointer and the count
// of bus transfers made so far among them.
//
// Each transfer holds the file's lock (flock) from loading the state to storing it back,
// so transfers are atomic across processes as the kernel's bus lock makes them. The state is
// stored by writing a new file beside it (".NAME.new", locked before it is renamed into
// place and so taken by one process at a time; one a killed process left is removed at the
// next store) and renaming that into place, so a process killed at any moment leaves
// either the old state or the new one, whole, and at most one file beside it. Run as root,
// the new file keeps the old one's owner and group, as it keeps its permissions. The file
// is opened for
// each transfer and closed before it ends: no descriptor stays in the program between
// transfers, and none is shared by a forked child. The file is only ever a regular file of
// at most max_state_file_size bytes, never reached through a symbolic link. It is the
// device's text (device/settings.hpp: format_state), every setting's "name value" line
// exactly once, so that a person can read it.
// The largest state file taken: far above what format_state writes.
inline constexpr std::size_t max_state_file_size = 4096;

class StateFile {
  public:
    explicit StateFile(std::string path) : path_(std::move(path)) {}
    StateFile(const StateFile &) = delete;
    StateFile &operator=(const StateFile &) = delete;
    StateFile(StateFile &&) = delete;
    StateFile &operator=(StateFile &&) = delete;
    ~StateFile();

    [[nodiscard]] const std::string &path() const { return path_; }

    // Opens the file (creating it, empty, when there is none) and takes its exclusive lock,
    // on the file that the path names once the lock is held: another process may have
    // renamed a new state into place meanwhile. False with errno set on failure: EINVAL for
    // anything but a regular file (EISDIR for a folder), ELOOP for a symbolic link.
    bool lock();
    // Closes the file, which lets the lock go.
    void unlock();

    // With the lock held: replaces `device` with the file's (false with errno set when the
    // file is malformed, EBADMSG, or too large, EFBIG; true and `device` untouched when the
    // file is empty), and puts `device` in the file's place.
    bool load(Device &device, bool &was_empty);
    bool store(const Device &device);

  private:
    std::string path_;
    int fd_ = -1;
    off_t size_ = 0; // the locked file's size, permissions and owner, from lock()
    mode_t mode_ = 0;
    uid_t owner_ = 0;
    gid_t group_ = 0;
};

// The system's own open and close: in a preloaded program the C library's open, read, write
// and close are the emulated bus's entry points.
int raw_open(const char *path, int flags, mode_t mode = 0);
void raw_close(int fd);

// A transfer on the bus as the emulated bus records it, and its line in the bus notation
// of the trace: "W 0x48 [01 1c 1c]", "R 0x48 2 -> [1c 1c]"; a block read (I2C_M_RECV_LEN)
// shows the length it asked for marked "+", then what it read, its count byte first:
// "R 0x48 1+ -> [02 1c 1c]"; messages joined by a repeated start are separated by " + ", and
// a failed transfer ends with " FAILED <errno name>".
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
// length; and the bytes each read returned (a block read's count byte and block included).
RecordedTransfer requested_transfer(std::span<const i2c_msg> messages);
void record_replies(RecordedTransfer &transfer, std::span<const i2c_msg> messages);

// The transfer's line, without the newline.
std::string format_transfer(const RecordedTransfer &transfer);

// The transfer as it was asked for, without what it gave: reads by their length alone
// ("R 0x48 2"), no " FAILED". Two transfers ask for the same when these are equal.
std::string format_request(const RecordedTransfer &transfer);

// What the adapter offers (I2C_FUNCS): plain I2C, and every SMBus transfer that the kernel
// emulates on it, block reads included since the adapter honours I2C_M_RECV_LEN.
inline constexpr unsigned long adapter_functionality = I2C_FUNC_I2C | I2C_FUNC_SMBUS_EMUL_ALL;

// Answers transfers in the device's place (a recording replayed: replay/replay-device.hpp).
class TransferResponder {
  public:
    // Serves bus transfer number `number` (counted from 1 as faults count them): fills the
    // read messages and returns what EmulatedBus::rdwr returns.
    virtual int respond(unsigned number, std::span<i2c_msg> messages) = 0;
    virtual ~TransferResponder() = default;

  protected:
    TransferResponder() = default;
    TransferResponder(const TransferResponder &) = default;
    TransferResponder(TransferResponder &&) = default;
    TransferResponder &operator=(const TransferResponder &) = default;
    TransferResponder &operator=(TransferResponder &&) = default;
};

// A run's setting as a program's environment gave it, over the state file's.
using RunSetting = std::pair<const Setting *, std::string>;

class EmulatedBus {
  public:
    explicit EmulatedBus(const Device &device = new_device()) : device_(device) {}

    // Serves one transfer of messages that i2c-dev took: each within the kernel's limits,
    // its bytes in this process. Returns the number of messages, or -errno. A read message
    // flagged I2C_M_RECV_LEN takes its length from the first byte read (1 to 32) and gets
    // its len field raised by that count, as the kernel does.
    int rdwr(const i2c_rdwr_ioctl_data &request);

    // Starts over with `device`, its run included; forgets the record.
    void reset(const Device &device);

    Device &device() { return device_; }
    [[nodiscard]] unsigned transfer_count() const { return device_.transfers; }
    // Appends every transfer's line to the file `path` as it happens ("-": standard error,
    // empty: none). The file is opened for each line and closed again, so the bus holds no
    // descriptor of the program's between transfers.
    void set_trace(std::string path) { trace_ = std::move(path); }
    // Keeps the device in `file` (nullptr: in this process only): the file's device replaces
    // this one at each transfer, then `run` replaces its settings of those names; an empty
    // file receives the device as it is here.
    void set_state_file(StateFile *file, std::vector<RunSetting> run = {}) {
        state_file_ = file;
        run_ = std::move(run);
    }
    // Keeps the device in the run's device file at `path` (empty: not), mapped now, while
    // the process may still open files; a transfer that meets no device file fails with
    // ENODEV, the run having ended. Takes the place of a state file.
    void set_device_file(const std::string &path);
    // Lets `responder` answer every transfer in the device's place (nullptr: the device).
    void set_responder(TransferResponder *responder) { responder_ = responder; }
    // Whether transfers are kept for transfers(); a long-running program turns it off.
    // Off, and with no trace, the bus allocates nothing per transfer.
    void set_recording(bool recording) { recording_ = recording; }

    [[nodiscard]] const std::vector<RecordedTransfer> &transfers() const { return record_; }
    void clear_record() { record_.clear(); }

    // Around fork: held by the forking thread, released in parent and child, so that the
    // child never inherits the lock taken by a thread that does not exist there.
    // Signals are blocked from the hold to the release.
    void hold_for_fork();
    void release_after_fork();

  private:
    int serve(std::span<i2c_msg> messages);
    // The state file's device in place of this one, locked until store(); false (with the
    // lock let go and the problem told) when it cannot be had.
    // 0, or the transfer's -errno.
    int load(TracePlace &trace);
    bool store(const TracePlace &trace);
    bool report(const std::string &file, const char *what) const;
    // Writes the transfer's line; with a device file at `trace`, where the trace of the
    // transfers made ends, which it moves past the line.
    void write_trace(const RecordedTransfer &record, TracePlace &trace) const;

    std::mutex lock_;      // one transfer at a time, as the kernel's bus lock makes it
    sigset_t fork_mask_{}; // the forking thread's signal mask, from hold to release
    Device device_;
    std::string trace_;
    StateFile *state_file_ = nullptr;
    std::string device_file_;
    SharedDevice shared_;
    std::vector<RunSetting> run_;
    TransferResponder *responder_ = nullptr;
    bool recording_ = true;
    std::vector<RecordedTransfer> record_;
};

} // namespace kzr415::sim
