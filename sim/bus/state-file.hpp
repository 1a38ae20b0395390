// The simulated device in a file, so that several processes (started one after another or
// at once) meet one device: its settings and its run, the register pointer and the count
// of bus transfers made so far among them.
//
// Each transfer holds the file's lock (flock) from loading the state to storing it back,
// so transfers are atomic across processes as the kernel's bus lock makes them. The state is
// stored by writing a new file beside it and renaming that into place, so a process killed
// at any moment leaves either the old state or the new one, whole. The file is opened for
// each transfer and closed before it ends: no descriptor stays in the program between
// transfers, and none is shared by a forked child. The file is only ever a regular file of
// at most max_state_file_size bytes, never reached through a symbolic link. It is the
// device's text (device/settings.hpp: format_state), every setting's "name value" line
// exactly once, so that a person can read it.
#pragma once

#include "device/settings.hpp"

#include <string>
#include <string_view>

#include <sys/stat.h>
#include <sys/types.h>

namespace kzr415::sim {

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
    off_t size_ = 0; // the locked file's size and permissions, from lock()
    mode_t mode_ = 0;
};

} // namespace kzr415::sim
