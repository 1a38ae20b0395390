// The simulated bus nodes of this process: the configured node (from the KZR415_SIM_*
// environment on first use in a preloaded program, or as a test configures it) and the
// further ones a test adds, each with its bus; and the table of the descriptors opened on
// them, each with its i2c-dev client settings. Every other path and descriptor belongs to
// the C library.
#pragma once

#include "emulated-bus.hpp"
#include "i2c-dev-client.hpp"
#include "sim-config.hpp"

#include <string>

namespace kzr415::sim {

// Replaces the simulated node, device and faults, and forgets the record.
void configure(const SimConfig &config);

// The bus behind the configured node.
EmulatedBus &bus();

// Makes `path` a further simulated node with a bus of its own serving `device`, for a test
// that needs several devices at once; adding a path again starts its bus over. These nodes
// stay for the life of the process, whatever `configure` does.
EmulatedBus &add_node(const std::string &path, const DeviceModel &device);

// Whether `path` names a simulated node.
bool is_node(const char *path);

// Opens a descriptor standing for the simulated node `path` (O_CLOEXEC taken from `flags`);
// -1 with errno set on failure.
int open_node(const char *path, int flags);

// The bus behind descriptor `fd`, or null when `fd` is not one of a simulated node.
EmulatedBus *simulated_bus(int fd);

// The i2c-dev settings of a descriptor of a simulated node.
I2cDevClient &client(int fd);

// Forgets descriptor `fd` as it is closed.
void forget_descriptor(int fd);

} // namespace kzr415::sim
