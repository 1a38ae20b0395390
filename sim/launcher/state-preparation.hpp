// The files of a kzr-415-sim run: the state file that holds the device the options describe,
// and the run's own files, which go with it.
#pragma once

#include "launcher/sim-command-line.hpp"

#include <string>
#include <vector>

namespace kzr415::sim {

// A folder of the run's own in TMPDIR (else /tmp), made when first needed, and files the run
// created: all removed on every way out of kzr-415-sim, but the files it keeps.
class RunFiles {
  public:
    RunFiles() = default;
    RunFiles(const RunFiles &) = delete;
    RunFiles &operator=(const RunFiles &) = delete;
    RunFiles(RunFiles &&) = delete;
    RunFiles &operator=(RunFiles &&) = delete;
    ~RunFiles();

    // `name` in the run's folder; empty, with `error` set to kzr-415-sim's message, when the
    // folder cannot be made.
    std::string path(const std::string &name, std::string &error);
    // Removes `path` with the run's files, or keeps it after all.
    void remove(const std::string &path) { removed_.push_back(path); }
    void keep(const std::string &path) { std::erase(removed_, path); }

  private:
    std::string folder_;
    std::vector<std::string> removed_;
};

// Puts the device the options describe into the state file at `path`: all of it into a new
// (empty) file; into an existing one the run's own settings (address, faults, flags) and the
// parts of the device the options name, the rest carrying on (the transfer count among it,
// so that faults count the transfers of every run that shares it). False with `error` set to
// kzr-415-sim's message when the file is not a regular file, is a symbolic link, or cannot be
// locked, read or written.
bool prepare_state(const CommandLine &line, const std::string &path, std::string &error);

} // namespace kzr415::sim
