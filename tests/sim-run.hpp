// Runs kzr-415-sim (or any command) of the build as a child process and collects what it
// printed and how it ended.
#pragma once

#include <string>
#include <vector>

namespace kzr415::test {

struct CommandResult {
    std::string out;
    std::string err;
    int status = -1; // the exit status, or 128 + N when signal N ended it
};

// Runs argv (searched in PATH when argv[0] has no slash) with this process's environment.
CommandResult run_command(const std::vector<std::string> &argv);

// Runs kzr-415-sim of the build with `arguments`.
CommandResult run_sim(const std::vector<std::string> &arguments);

// A path for a temporary file, removed when the object goes.
class TemporaryPath {
  public:
    explicit TemporaryPath(const std::string &stem);
    TemporaryPath(const TemporaryPath &) = delete;
    TemporaryPath &operator=(const TemporaryPath &) = delete;
    ~TemporaryPath();
    [[nodiscard]] const std::string &path() const { return path_; }
    [[nodiscard]] std::string read() const;
    [[nodiscard]] std::vector<std::string> lines() const;

  private:
    std::string path_;
};

} // namespace kzr415::test
