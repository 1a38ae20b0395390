// The simulated device's state in a file, so that several processes (started one after
// another or at once) meet one device: its register pointer, register images, temperatures
// in degrees and the count of bus transfers made so far.
//
// Each transfer holds the file's lock (flock) from loading the state to storing it back,
// so transfers are atomic across processes as the kernel's bus lock makes them. The file is
// plain text, one "name value" line per item, so that a person can read it:
//
//   pointer 01
//   temperature 03 20 00 02 a0 00
//   configuration 1c 1c
//   t_low 80 00 00 80 00 00
//   t_high 7f ff ff 7f ff ff
//   celsius1 25
//   celsius2 -
//   transfers 17
#pragma once

#include "device-model.hpp"

#include <string>
#include <string_view>

#include <sys/types.h>

namespace kzr415::sim {

struct DeviceState {
    DeviceModel device;
    unsigned transfers = 0;
};

// The file's text for `state`, and the state a text holds (false when malformed).
std::string format_state(const DeviceState &state);
bool parse_state(std::string_view text, DeviceState &state);

class StateFile {
  public:
    explicit StateFile(std::string path) : path_(std::move(path)) {}
    StateFile(const StateFile &) = delete;
    StateFile &operator=(const StateFile &) = delete;
    ~StateFile();

    [[nodiscard]] const std::string &path() const { return path_; }

    // Takes the file's exclusive lock, opening (or creating) the file on first use and again
    // in a child process after fork, whose descriptor would share the parent's lock.
    // False with errno set on failure.
    bool lock();
    void unlock();

    // With the lock held: replaces `state` with the file's (false with errno set when the
    // file is malformed or unreadable; true and `state` untouched when the file is empty),
    // and writes `state` into the file.
    bool load(DeviceState &state, bool &was_empty);
    bool store(const DeviceState &state);

  private:
    std::string path_;
    int fd_ = -1;
    pid_t owner_ = 0;
};

} // namespace kzr415::sim
