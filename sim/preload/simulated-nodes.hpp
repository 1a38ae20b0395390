// The simulated bus nodes of this process: the configured node (from the KZR415_SIM_*
// environment on first use in a preloaded program, or as a test configures it) and the
// further ones a test adds, each with its bus; and the descriptors opened on them.
//
// A descriptor of a node is a real descriptor of the program's, as on the kernel: an
// anonymous, sealed, empty memory file named "kzr-415-sim-node", whose open file carries
// the i2c-dev settings of that open (slave address, ten-bit and PEC flags, access mode and
// which node) in its file position. Copies made by dup, fcntl or fork, and descriptors kept
// over exec, share them as they share the open file; closing, close_range, dup2 over it,
// fclose or exec end it as they end any descriptor. The preload keeps no descriptor and no
// table that could go stale: it recognises a node by the open file behind the number
// (fstat), at every call. What the C library does on such a descriptor fails (reads find
// nothing, writes are refused, i2c-dev requests are unknown), so a descriptor that reaches
// the C library unrecognised never moves data.
#pragma once

#include "bus/emulated-bus.hpp"
#include "bus/i2c-dev-client.hpp"
#include "config/sim-config.hpp"
#include "preload/node-status.hpp"

#include <string>
#include <string_view>

namespace kzr415::sim {

// Reads the environment's configuration once, early: before the program's first thread,
// so that no fork meets it half done. Ends the process with status 2 on a bad value.
void initialise();

// Replaces the simulated node, device and faults, and forgets the record.
void configure(const SimConfig &config);

// The bus behind the configured node.
EmulatedBus &bus();

// Makes `path` a further simulated node with a bus of its own serving `device`, for a test
// that needs several devices at once; adding a path again starts its bus over. These nodes
// stay for the life of the process, whatever `configure` does.
EmulatedBus &add_node(const std::string &path, const Device &device);

// Which simulated node `path` names, relative to the folder `dirfd` (AT_FDCWD: the current
// one) when not absolute: 0 for the configured node, 1 on for the added ones, -1 for none.
// Repeated and trailing "/", "." and ".." are taken as the kernel takes them.
int node_index(int dirfd, const char *path);

// Opens a descriptor standing for node `index` with the open flags `flags` (access mode,
// O_CLOEXEC, O_PATH); -1 with errno set on failure.
int open_node(int index, int flags);

// The same through symbolic links: which node `path` names once the links in it are
// followed (at most 40, as the kernel follows), for a path that the system found nothing at.
int linked_node_index(int dirfd, const char *path);

// Whether descriptor `fd` is open on a node (with an access mode: not O_PATH).
bool is_node(int fd);

// The bus behind descriptor `fd` when this process has seen it open on a node and it still
// is; null otherwise. One fstat.
EmulatedBus *simulated_bus(int fd);

// The same for any descriptor, for a call that the C library refused or found nothing for:
// a node's descriptor this process has not seen (a copy, or one kept over exec) is
// recognised here.
EmulatedBus *unrecognised_node_bus(int fd);

// The i2c-dev settings of node descriptor `fd`'s open file, and storing them back.
I2cDevClient load_client(int fd);
void store_client(int fd, const I2cDevClient &client);

// Forgets descriptor `fd` as it is closed.
void forget_descriptor(int fd);

// How the preload tells kzr-415-sim that it is loaded in the program kzr-415-sim started:
// kzr-415-sim gives the program the writing end of a pipe, at a descriptor number that it
// names in this variable; the preload's constructor, which runs before any code of the
// program's own, writes the message to it, closes it and removes the variable, so that the
// program never sees either. kzr-415-sim reads the pipe's other end: the message, or the
// end of the pipe when the program runs without the preload.
inline constexpr const char *handshake_variable = "KZR415_SIM_HANDSHAKE";
inline constexpr std::string_view handshake_message = "kzr-415 emulated bus loaded\n";

// The name of a symbol that the preload alone exports and defines: kzr-415-sim looks for it
// in a preload's dynamic symbol table before it starts the program, so that another shared
// library never stands in for the emulated bus, even until the handshake fails.
inline constexpr std::string_view preload_marker = "kzr415_sim_bus_preload";

} // namespace kzr415::sim

// The symbol named by preload_marker, defined in the preload: what it is, as text.
extern "C" const char kzr415_sim_bus_preload[];
