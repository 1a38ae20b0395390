// The state file of a kzr-415-sim run: the device the options describe put into it, and a
// temporary one for a run that names none.
#pragma once

#include "launcher/sim-command-line.hpp"

#include <string>

namespace kzr415::sim {

// A state file created for one run (in TMPDIR, else /tmp) and removed when the object goes,
// on every way out of kzr-415-sim after it was created.
class TemporaryStateFile {
  public:
    TemporaryStateFile() = default;
    TemporaryStateFile(const TemporaryStateFile &) = delete;
    TemporaryStateFile &operator=(const TemporaryStateFile &) = delete;
    TemporaryStateFile(TemporaryStateFile &&) = delete;
    TemporaryStateFile &operator=(TemporaryStateFile &&) = delete;
    ~TemporaryStateFile();

    // Creates the file; false with `error` set to kzr-415-sim's message on failure.
    bool create(std::string &error);
    [[nodiscard]] const std::string &path() const { return path_; }

  private:
    std::string path_;
};

// Puts the device the options describe into the state file at `path`: all of it into a new
// (empty) file, only the parts the options name into an existing one. The transfer count
// of an existing file carries on, so that faults count the transfers of every run that
// shares it. False with `error` set to kzr-415-sim's message when the file is not a regular
// file, is a symbolic link, or cannot be locked, read or written.
bool prepare_state(const CommandLine &line, const std::string &path, std::string &error);

} // namespace kzr415::sim
