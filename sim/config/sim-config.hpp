// What the emulated bus simulates, and how it is read from the environment of a program
// that runs with the bus preloaded: each device setting of the table (device/settings.hpp)
// as KZR415_SIM_<NAME> (KZR415_SIM_ADDRESS, KZR415_SIM_TEMPERATURE, KZR415_SIM_FAIL, ...; a
// flag is 1 or absent, any other value refused), and the bus's own:
//
//   KZR415_SIM_NODE           bus node path                       default /dev/i2c-4
//   KZR415_SIM_NO_NODE=1      the bus node does not exist (ENOENT)
//   KZR415_SIM_TRACE          file that receives one line per transfer; "-" for stderr
//   KZR415_SIM_STATE          state file shared by every process that names it: the device
//                             and its run live there (bus/state-file.hpp); a new one gets
//                             the device of these variables, and the run's settings given
//                             here (address, faults, flags) replace those it holds
//   KZR415_SIM_DEVICE_FILE    the device of a kzr-415-sim run, shared in memory by its
//                             processes (bus/shared-device.hpp); set by kzr-415-sim in
//                             place of KZR415_SIM_STATE
//   KZR415_SIM_REPLAY         a capture that answers in the device's place, compared
//                             transfer by transfer with the program's (replay-device.hpp)
//   KZR415_SIM_REPLAY_REPORT  the file that receives the replay's first divergence
#pragma once

#include "bus/emulated-bus.hpp"
#include "device/settings.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kzr415::sim {

struct SimConfig {
    std::string node = "/dev/i2c-4";
    bool node_present = true;
    Device device = new_device();
    std::vector<RunSetting> run; // the run's settings the environment gave
    std::string trace;
    std::string state;       // state file path; empty: the device lives in this process only
    std::string device_file; // a run's device file, over the state file; empty: none
    bool record = true;      // keep every transfer for EmulatedBus::transfers()

    // Replay: the capture that answers (empty: the device does), and the divergence's file.
    std::string replay;
    std::string replay_report;
};

// The environment's variable of a setting: KZR415_SIM_ and its name in capitals.
std::string variable_name(const Setting &setting);
// Whether a trace can be written to `path` ("-" and "" always): not a folder, and for a new
// file an existing folder. False with `reason` set to the system's text.
bool check_trace_target(const std::string &path, std::string &reason);

// Reads the KZR415_SIM_* variables; on a bad value returns nullopt with `error` set.
std::optional<SimConfig> config_from_environment(std::string &error);

// A value as kzr-415-sim and the emulated bus quote it in a one-line message: control
// characters (a newline, a tab, an escape) written as C escapes, so that whatever a user
// gave never breaks the message into several lines or reaches the terminal raw.
std::string printable(std::string_view text);

} // namespace kzr415::sim
