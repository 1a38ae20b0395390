// The device of one kzr-415-sim run, shared in memory by every process of the run.
//
// kzr-415-sim makes a small file (the device file) in the run's own folder from the state
// file when the run starts; each process maps it once, when the preload starts, and keeps
// the mapping (forked children inherit it) without keeping a descriptor. A transfer then
// costs no system call of the file's: the device is two whole copies, one of them current;
// a transfer takes the run's lock, reads the current copy, writes the other and makes that
// current with one store. A process killed at any moment leaves the current copy whole,
// and the lock it held is taken over by the next process that waits for it (the lock word
// holds its holder's process id; a holder that no longer runs has let it go).
//
// The copies also hold which trace file and its length after their transfer, so that the
// trace and the device agree however a process ends: a line written by a transfer that was
// never made current is written over by the next transfer, and cut off when the run ends.
//
// Runs that share a state file (--state) share one device file beside it (".NAME.run"),
// each run's kzr-415-sim registered in it: a run that starts while another goes on joins
// it. When the last run ends, its kzr-415-sim marks the device ended, writes the current
// copy to the state file and removes the device file: a process that outlives the run (a
// grandchild left running) gets ENODEV for each transfer from then on, as it would from a
// bus whose adapter has gone; one started later finds no device file and gets the same.
//
// The layout is fixed: the same file serves a 32-bit ARM program under qemu-arm and the
// 64-bit kzr-415-sim that made it (a device of another layout is refused, EPROTO).
#pragma once

#include "device/settings.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace kzr415::sim {

struct SharedImage;

// Where the trace of the transfers made so far ends: its file (device and inode numbers;
// 0 for none) and its length.
struct TracePlace {
    std::uint64_t length = 0;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
};

class SharedDevice {
  public:
    SharedDevice() = default;
    SharedDevice(const SharedDevice &) = delete;
    SharedDevice &operator=(const SharedDevice &) = delete;
    SharedDevice(SharedDevice &&) = delete;
    SharedDevice &operator=(SharedDevice &&) = delete;
    ~SharedDevice();

    // Maps the device file at `path`; false with errno set (ENODEV: there is none, the run
    // has ended; EPROTO: not a device file of this layout). Mapping again lets the last go.
    bool attach(const std::string &path);
    [[nodiscard]] bool attached() const { return image_ != nullptr; }
    [[nodiscard]] const std::string &path() const { return path_; }

    // Takes the run's lock and gives the current copy and the trace's place after it;
    // false with errno ENODEV (the lock not held) once the run has ended.
    bool lock(Device &device, TracePlace &trace);
    // With the lock held: makes `device` and `trace` the current copy.
    void commit(const Device &device, const TracePlace &trace);
    void unlock();

  private:
    void detach();
    SharedImage *image_ = nullptr;
    std::string path_;
};

// Makes the device file at `path` (a new file, mode 0600) holding `device`; false with
// `error` set.
bool create_shared_device(const std::string &path, const Device &device, std::string &error);

// What a run's device file held when the run ended.
struct EndedDevice {
    Device device{};
    TracePlace trace;
};

// Ends the run of the device file at `path`: marks it ended (every later transfer is
// refused), gives its current copy and removes the file. Nullopt with errno set.
std::optional<EndedDevice> end_shared_device(const std::string &path);

// The device file of the runs that share the state file at `state`: beside it.
std::string device_file_of(const std::string &state);

// kzr-415-sim's two ends of a run on the state file at `state` (bus/emulated-bus.hpp:
// StateFile). start_run joins the run going on with it, or starts one in a new device file
// from the state file's device; `prepare` puts this run's options into a state file at the
// path it is given (`scratch`, a path of the run's own). end_run leaves it; the last run to
// leave writes the device back to the state file, removes the device file and cuts the
// trace at `trace` (a regular file; "-" or empty: none) to the transfers made. False with
// `error` set to kzr-415-sim's message.
using PrepareState = std::function<bool(const std::string &path, std::string &error)>;
bool start_run(const std::string &state, const std::string &scratch, const PrepareState &prepare,
               std::string &error);
bool end_run(const std::string &state, const std::string &trace, std::string &error);

} // namespace kzr415::sim
