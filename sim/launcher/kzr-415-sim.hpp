// kzr-415-sim, which runs a program with the emulated bus preloaded and a simulated kzr-415
// on it: its command line (sim-command-line.cpp), how it starts PROGRAM and prepares the
// run's files (program-launch.cpp, preload-check.cpp), and a replay (replay-run.cpp).
#pragma once

#include "config/sim-config.hpp"
#include "replay/recording.hpp"

#include <array>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kzr415::sim {

// The command line of kzr-415-sim: the device's settings as the table of the device core
// names them (device/settings.hpp), the bus and the run, and what to run.
struct CommandLine {
    // The bus and the device the options describe: kzr-415-sim's device (its channels in
    // degrees) with the settings the options give.
    SimConfig config;
    // Which settings the options name, so that they replace those of an existing state file
    // while the rest of it carries on.
    std::array<bool, KZR415_SETTING_COUNT> given{};

    std::string preload;  // empty: found next to the program
    std::string emulator; // empty: PROGRAM runs natively
    std::string replay;   // --replay CAPTURE; empty: the simulated device answers
    bool help = false;
    std::vector<std::string> program; // PROGRAM and its arguments
};

// Parses argv; on bad input returns nullopt with `error` set to a one-line description.
std::optional<CommandLine> parse_command_line(int argc, char **argv, std::string &error);

// The text of --help.
std::string usage_text();

// How kzr-415-sim starts PROGRAM: the preload it finds, the words that start PROGRAM
// (natively, or through an emulator), the environment PROGRAM gets, and the files of the
// run: the state file that holds the device the options describe, and the run's own.
// `path` made absolute against the working directory; "-" and "" stay as they are.
std::string absolute(const std::string &path);

// The preload: named by --preload (`given`) or KZR415_SIM_PRELOAD, else beside this program
// (the build tree) or in its installed place relative to this program's directory, and
// checked to be one for the machine of the ELF file `like` (check_preload). On failure
// nullopt, with `error` set to kzr-415-sim's message (exit status 2).
std::optional<std::string> find_preload(const std::string &given, const std::string &like,
                                        std::string &error);

// PROGRAM as a path, searched in PATH when it holds no '/'; nullopt with `error` set to
// kzr-415-sim's message (exit status 127) when there is no such program, or only one that
// cannot be run (EACCES), as starting it would fail.
std::optional<std::string> program_path(const std::string &program, std::string &error);

// Whether `emulator` names an emulator to start PROGRAM through.
bool names_emulator(const std::string &emulator);

// The words that start PROGRAM: the command line's, or through the emulator with the
// preload for PROGRAM alone and PROGRAM searched in PATH (emulators do not search it). On
// failure nullopt, with `error` set to kzr-415-sim's message (exit status 127).
std::optional<std::vector<std::string>>
program_words(const CommandLine &line, const std::string &preload, std::string &error);

// PROGRAM's environment: this one without any KZR415_SIM_* variable, with the bus's (the
// run's device file at `device_file`, bus/shared-device.hpp), and natively the preload
// after whatever was preloaded.
std::vector<std::string> program_environment(const CommandLine &line, const std::string &preload,
                                             const std::string &device_file);

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

// The trace file of --trace, opened before anything is changed, and never waited for: a
// path that names anything but a regular file (a FIFO, whose opening would wait for a
// reader; a device; a socket) is refused without opening it, and the file opened is checked
// again. A file the run creates is among its files, removed unless kept. The descriptor
// (close-on-exec), or -1 with `reason` set to a few words.
int open_trace(const std::string &path, RunFiles &files, std::string &reason);

// Of the files the run reads (`inputs`: a name for a message and a path, an empty path for
// none), the name of the first that is the file open at `fd` (its device and inode, so
// under whatever spelling, symbolic or hard link); nullptr when none is (or `fd` is -1).
const char *same_file(int fd, const std::vector<std::pair<const char *, std::string>> &inputs);

// Puts the device the options describe into the state file at `path`: all of it into a new
// (empty) file; into an existing one the run's own settings (address, faults, flags) and the
// parts of the device the options name, the rest carrying on (the transfer count among it,
// so that faults count the transfers of every run that shares it). False with `error` set to
// kzr-415-sim's message when the file is not a regular file, is a symbolic link, or cannot be
// locked, read or written.
bool prepare_state(const CommandLine &line, const std::string &path, std::string &error);

// Whether a file can be the preload of a program: what kzr-415-sim checks before it starts
// the program, so that the program never runs on the real bus by mistake.
// True when `path` can stand in LD_PRELOAD (which splits it at ':' and blanks) and names an
// ELF shared library for the machine that `like` (an ELF file, the program or this one) is
// built for (`like` empty, or not an ELF file: for any machine), and that library is the
// emulated bus: its dynamic symbol table exports the preload's marker (preload_marker).
// Otherwise false with `reason` set to a few words for kzr-415-sim's message.
bool check_preload(const std::string &path, const std::string &like, std::string &reason);

// True when the program file `path` can load a preload at all: not a statically linked ELF
// program (no dynamic loader runs for it) nor a set-user-ID or set-group-ID one (whose
// loader ignores a preload named by path). A file that is not ELF (a script) is left to the
// handshake. Otherwise false with `reason` set to a few words for kzr-415-sim's message.
bool check_program(const std::string &path, std::string &reason);

// kzr-415-sim --replay CAPTURE: the capture read and checked once, before PROGRAM starts,
// handed to the emulated bus as a saved recording that each process maps (replay/recording.hpp),
// and the run's divergence told afterwards.
// kzr-415-sim's exit status when the replay diverged, whatever PROGRAM's was.
inline constexpr int replay_diverged_status = 124;

// A replay's recording and report, among the run's files.
class ReplayRun {
  public:
    // Refuses options that contradict a replay, reads the capture `line.replay` (either
    // format) and writes its recording and an empty report file into the run's folder,
    // named in `line.config` for PROGRAM's environment. False with `error` set to
    // kzr-415-sim's message.
    bool prepare(CommandLine &line, RunFiles &files, std::string &error);

    // After PROGRAM ended: the first divergence, as kzr-415-sim reports it (without its
    // prefix); empty when PROGRAM made exactly the recorded transfers. `state` is the run's
    // state file, whose transfer count tells a run that stopped short.
    [[nodiscard]] std::string divergence(const std::string &state) const;

  private:
    std::string report_;
    Recording recording_; // mapped: for a run that stops short
};

} // namespace kzr415::sim
