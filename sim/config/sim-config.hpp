// What the emulated bus simulates, and how it is read from the environment of a program
// that runs with the bus preloaded.
//
//   KZR415_SIM_NODE           bus node path                       default /dev/i2c-4
//   KZR415_SIM_ADDRESS        the device's 7-bit address          default 0x48
//   KZR415_SIM_TEMPERATURE    6 hex bytes of the temperature register
//   KZR415_SIM_CELSIUS_1, KZR415_SIM_CELSIUS_2   a channel's temperature in degrees Celsius,
//                             encoded when read in the format its configuration selects;
//                             takes the place of the channel's raw bytes
//   KZR415_SIM_CONFIGURATION  2 hex bytes of the configuration register
//   KZR415_SIM_T_LOW, KZR415_SIM_T_HIGH   6 hex bytes each
//   KZR415_SIM_FAIL           K:ERRNO fails bus transfer K of the run (from 1), K+:ERRNO
//                             every one from K on; ERRNO any name the C library gives an
//                             errno (EPROTO) or a number it names (71)
//   KZR415_SIM_NO_DEVICE=1    no device answers: every transfer is NACKed (ENXIO)
//   KZR415_SIM_NO_NODE=1      the bus node does not exist (ENOENT)
//                             (a flag is 1 or absent: any other value is refused)
//   KZR415_SIM_TRACE          file that receives one line per transfer; "-" for stderr
//   KZR415_SIM_STATE          state file shared by every process that names it: the device
//                             and the transfer count live there (see state-file.hpp)
//   KZR415_SIM_REPLAY         a capture that answers in the device's place, compared
//                             transfer by transfer with the program's (replay-device.hpp)
//   KZR415_SIM_REPLAY_REPORT  the file that receives the replay's first divergence
#pragma once

#include "bus/emulated-bus.hpp"
#include "device/device-model.hpp"
#include "device/hex-bytes.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kzr415::sim {

struct SimConfig {
    std::string node = "/dev/i2c-4";
    bool node_present = true;
    bool device_present = true;
    std::uint16_t address = 0x48;
    DeviceRegisters registers;
    Fault fault{};
    std::string trace;
    std::string state;  // state file path; empty: the device lives in this process only
    bool record = true; // keep every transfer for EmulatedBus::transfers()

    // Replay: the capture that answers (empty: the device does), and the divergence's file.
    std::string replay;
    std::string replay_report;
};

// Parses an errno name such as "EIO" or a positive number that the system names; 0 when
// not recognised (the device core's table, which the kernel module reads too).
int parse_errno(std::string_view text);
// Whether a trace can be written to `path` ("-" and "" always): not a folder, and for a new
// file an existing folder. False with `reason` set to the system's text.
bool check_trace_target(const std::string &path, std::string &reason);
// Parses "K:ERRNO" or "K+:ERRNO".
std::optional<Fault> parse_fault(std::string_view text);

// Reads the KZR415_SIM_* variables; on a bad value returns nullopt with `error` set.
std::optional<SimConfig> config_from_environment(std::string &error);

} // namespace kzr415::sim
