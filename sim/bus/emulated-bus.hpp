// An i2c-dev bus adapter in user space: serves the transfers of the requests that the
// i2c-dev emulation took (bus/i2c-dev-client.hpp) to one simulated kzr-415, with a record
// of every transfer and its trace. With a state file the device (its run included) lives in
// that file, shared between processes.
#pragma once

#include "bus/bus-notation.hpp"
#include "bus/state-file.hpp"
#include "device/settings.hpp"

#include <mutex>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <linux/i2c-dev.h>
#include <linux/i2c.h>

namespace kzr415::sim {

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
    // Lets `responder` answer every transfer in the device's place (nullptr: the device).
    void set_responder(TransferResponder *responder) { responder_ = responder; }
    // Whether transfers are kept for transfers(); a long-running program turns it off.
    // Off, and with no trace, the bus allocates nothing per transfer.
    void set_recording(bool recording) { recording_ = recording; }

    [[nodiscard]] const std::vector<RecordedTransfer> &transfers() const { return record_; }
    void clear_record() { record_.clear(); }

    // Around fork: held by the forking thread, released in parent and child, so that the
    // child never inherits the lock taken by a thread that does not exist there.
    void hold_for_fork() { lock_.lock(); }
    void release_after_fork() { lock_.unlock(); }

  private:
    int serve(std::span<i2c_msg> messages);
    // The state file's device in place of this one, locked until store(); false (with the
    // lock let go and the problem told) when it cannot be had.
    bool load();
    bool store();
    bool report(const char *what) const;
    void write_trace(const RecordedTransfer &record) const;

    std::mutex lock_; // one transfer at a time, as the kernel's bus lock makes it
    Device device_;
    std::string trace_;
    StateFile *state_file_ = nullptr;
    std::vector<RunSetting> run_;
    TransferResponder *responder_ = nullptr;
    bool recording_ = true;
    std::vector<RecordedTransfer> record_;
};

} // namespace kzr415::sim
