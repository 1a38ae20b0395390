// Runs a program as a child process (sim/launcher/child-process.hpp) and collects what it printed
// and how it ended; temporary files for the runs.
#pragma once

#include "launcher/child-process.hpp"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kzr415::test {

struct RunResult {
    std::string out;
    std::string err;
    int status = -1; // the exit status, or 128 + N when signal N ended it
    // run_on_emulated_bus: the descriptors above 2 open when the program exited that were
    // not open when it started, as "N TARGET" lines; none when the program did not exit
    // through exit (killed, or ended by _exit).
    std::optional<std::vector<std::string>> left_open;
};

// Variables added to the environment, replacing inherited ones of the same name.
using Environment = std::vector<std::pair<std::string, std::string>>;

// How the tests start a program, whoever started the test: argv (argv[0] searched in PATH
// when it has no slash), this process's environment less what changes a run (LD_PRELOAD, the
// KZR415_ variables, the language of messages: LC_ALL=C) with `environment` added,
// descriptors 0 to 2 alone, every signal at its default action, none blocked.
sim::ChildOptions test_child(const std::vector<std::string> &argv,
                             const Environment &environment = {});

// Runs a program started as test_child starts it, standard input from /dev/null.
RunResult run_program(const std::vector<std::string> &argv, const Environment &environment = {});

// Runs `program` of the build, with `arguments`, with the emulated bus preloaded and `environment`
// added, and the descriptor check (tests/descriptors-at-exit.c) preloaded after the bus. Under a
// cross build the program is started through the emulator that runs the tests, which receives the
// preload and the variables for its guest alone.
RunResult run_on_emulated_bus(const std::string &program, const Environment &environment,
                              const std::vector<std::string> &arguments = {});

// A folder of its own in /tmp, removed with what it holds when the object goes.
class TemporaryFolder {
  public:
    TemporaryFolder();
    TemporaryFolder(const TemporaryFolder &) = delete;
    TemporaryFolder &operator=(const TemporaryFolder &) = delete;
    ~TemporaryFolder();
    [[nodiscard]] const std::string &path() const { return path_; }
    [[nodiscard]] std::string path(const std::string &name) const { return path_ + "/" + name; }
    // The names of what it holds.
    [[nodiscard]] std::vector<std::string> entries() const;

  private:
    std::string path_;
};

// The whole text of a file ("" when there is none), and a file written whole.
std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &text);

// A path for a temporary file in /tmp, removed when the object goes.
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
