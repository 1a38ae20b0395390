// The simulated device's state in a file, so that several processes (started one after
// another or at once) meet one device: its register pointer, register images, temperatures
// in degrees and the count of bus transfers made so far.
//
// Each transfer holds the file's lock (flock) from loading the state to storing it back,
// so transfers are atomic across processes as the kernel's bus lock makes them. The state is
// stored by writing a new file beside it and renaming that into place, so a process killed
// at any moment leaves either the old state or the new one, whole. The file is opened for
// each transfer and closed before it ends: no descriptor stays in the program between
// transfers, and none is shared by a forked child. The file is only ever a regular file of
// at most max_state_file_size bytes, never reached through a symbolic link. It is plain
// text, every one of these "name value" lines exactly once, so that a person can read it:
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

#include "device/device-model.hpp"

#include <string>
#include <string_view>

#include <sys/stat.h>
#include <sys/types.h>

namespace kzr415::sim {

struct DeviceState {
    DeviceModel device;
    unsigned transfers = 0;
};

// The largest state file taken: far above what format_state writes.
inline constexpr std::size_t max_state_file_size = 4096;

// The file's text for `state`, and the state a text holds (false when malformed, when a
// line is not one of the names above, or when a name is missing or given twice).
std::string format_state(const DeviceState &state);
bool parse_state(std::string_view text, DeviceState &state);

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

    // With the lock held: replaces `state` with the file's (false with errno set when the
    // file is malformed, EBADMSG, or too large, EFBIG; true and `state` untouched when the
    // file is empty), and puts `state` in the file's place.
    bool load(DeviceState &state, bool &was_empty);
    bool store(const DeviceState &state);

  private:
    std::string path_;
    int fd_ = -1;
    off_t size_ = 0; // the locked file's size and permissions, from lock()
    mode_t mode_ = 0;
};

} // namespace kzr415::sim
