// Interposes open, ioctl and close so that one configured node path behaves as an i2c-dev
// bus node with an emulated kzr-415 on it; every other path and descriptor goes to the C
// library untouched. Preloaded into a program (LD_PRELOAD), it reads its configuration from
// the environment on first use; linked into a test executable, the test configures it.
#pragma once

#include "emulated-bus.hpp"
#include "sim-config.hpp"

#include <string>

namespace kzr415::sim {

// Replaces the simulated node, device and faults, and forgets the record.
void configure(const SimConfig &config);

// The bus behind the simulated node.
EmulatedBus &bus();

// Makes `path` a further simulated node with a bus of its own serving `device`, for a test
// that needs several devices at once; adding a path again starts its bus over. These nodes
// stay for the life of the process, whatever `configure` does.
EmulatedBus &add_node(const std::string &path, const DeviceModel &device);

} // namespace kzr415::sim
