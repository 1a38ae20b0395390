// An i2c-dev bus adapter in user space: serves I2C_RDWR the way the kernel does, for one
// kzr-415 device model, with a record of every transfer and injectable faults. With a
// state file the device and the transfer count live in that file, shared between processes.
#pragma once

#include "bus/bus-notation.hpp"
#include "bus/state-file.hpp"
#include "device/device-model.hpp"

#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <linux/i2c-dev.h>
#include <linux/i2c.h>

namespace kzr415::sim {

// The kernel's limits on one I2C_RDWR request.
inline constexpr unsigned max_messages_per_transfer = 42; // I2C_RDWR_IOCTL_MAX_MSGS
inline constexpr unsigned max_message_length = 8192;

// What the adapter offers (I2C_FUNCS): plain I2C, and every SMBus transfer that the kernel
// emulates on it, block reads included since the adapter honours I2C_M_RECV_LEN.
inline constexpr unsigned long adapter_functionality = I2C_FUNC_I2C | I2C_FUNC_SMBUS_EMUL_ALL;

// Answers transfers in the device's place (a recording replayed: replay/replay-device.hpp).
class TransferResponder {
  public:
    // Serves bus transfer number `number` (counted from 1 as faults count them): fills the
    // read messages and returns what EmulatedBus::rdwr returns.
    virtual int respond(unsigned number, const i2c_rdwr_ioctl_data &request) = 0;
    virtual ~TransferResponder() = default;

  protected:
    TransferResponder() = default;
    TransferResponder(const TransferResponder &) = default;
    TransferResponder(TransferResponder &&) = default;
    TransferResponder &operator=(const TransferResponder &) = default;
    TransferResponder &operator=(TransferResponder &&) = default;
};

class EmulatedBus {
  public:
    explicit EmulatedBus(const DeviceModel &device = DeviceModel{}) : device_(device) {}

    // Serves one I2C_RDWR request: returns the number of messages, or -errno. A read
    // message flagged I2C_M_RECV_LEN takes its length from the first byte read (1 to 32)
    // and gets its len field raised by that count, as the kernel does.
    int rdwr(const i2c_rdwr_ioctl_data &request);

    // Starts over with a new device: no fault, no record, no transfers counted.
    void reset(const DeviceModel &device);

    DeviceModel &device() { return device_; }
    void set_device_present(bool present) { run_.present = present; }
    void set_fault(Fault fault) { run_.fault = fault; }
    // Appends every transfer's line to the file `path` as it happens ("-": standard error,
    // empty: none). The file is opened for each line and closed again, so the bus holds no
    // descriptor of the program's between transfers.
    void set_trace(std::string path) { trace_ = std::move(path); }
    [[nodiscard]] const std::string &trace() const { return trace_; }
    // Keeps the device and the transfer count in `file` (nullptr: in this process only).
    // The file's state replaces the device's registers and pointer at each transfer; an
    // empty file receives the device as it is here.
    void set_state_file(StateFile *file) { state_file_ = file; }
    // Lets `responder` answer every transfer in the device's place (nullptr: the device).
    void set_responder(TransferResponder *responder) { responder_ = responder; }
    // Whether transfers are kept for transfers(); a long-running program turns it off.
    // Off, and with no trace, the bus allocates nothing per transfer.
    void set_recording(bool recording) { recording_ = recording; }

    [[nodiscard]] const std::vector<RecordedTransfer> &transfers() const { return record_; }
    void clear_record() { record_.clear(); }
    [[nodiscard]] unsigned transfer_count() const { return run_.transfers; }

    // Around fork: held by the forking thread, released in parent and child, so that the
    // child never inherits the lock taken by a thread that does not exist there.
    void hold_for_fork() { lock_.lock(); }
    void release_after_fork() { lock_.unlock(); }

  private:
    // Serve the request; they fill `record` unless it is null.
    int execute(const i2c_rdwr_ioctl_data &request, RecordedTransfer *record);
    int execute_shared(const i2c_rdwr_ioctl_data &request, RecordedTransfer *record);
    // The responder's answer, with the bytes it gave in `record` (unless null).
    int respond(const i2c_rdwr_ioctl_data &request, RecordedTransfer *record);
    void write_trace(const RecordedTransfer &record) const;

    std::mutex lock_; // one transfer at a time, as the kernel's bus lock makes it
    DeviceModel device_;
    DeviceRun run_; // the fault plan and the transfers counted since the run began
    std::string trace_;
    StateFile *state_file_ = nullptr;
    TransferResponder *responder_ = nullptr;
    bool recording_ = true;
    std::vector<RecordedTransfer> record_;
};

} // namespace kzr415::sim
