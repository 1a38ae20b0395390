// What fstat tells of a node's descriptor: a character device of i2c-dev's major number,
// its minor the bus's number, as the kernel's /dev/i2c-N. Free of the types whose size the
// file offset and time settings change, for the entry points built with each layout of
// struct stat (preload-status.cpp).
#pragma once

#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace kzr415::sim {

// The major number of i2c-dev's nodes, from the kernel's list of devices (no user-space
// header names it).
inline constexpr unsigned i2c_major = 89;

// The permissions reported for a node: read and write for owner and group, as udev gives
// the kernel's nodes to the i2c group.
inline constexpr mode_t node_permissions = 0660;

// The minor number of the node that descriptor `fd` (O_PATH included) is open on, the
// number its path ends in as i2c-dev names its nodes; -1 for a descriptor of anything else.
int node_minor(int fd);

// `status`, which the C library filled for descriptor `fd`, made a node's when `fd` is one.
// Only an empty regular file can be: any other costs no further system call.
template <class Status>
void describe_node(int fd, Status &status) {
    if (!S_ISREG(status.st_mode) || status.st_size != 0) {
        return;
    }
    const int minor = node_minor(fd);
    if (minor >= 0) {
        status.st_mode = S_IFCHR | node_permissions;
        status.st_rdev = makedev(i2c_major, static_cast<unsigned>(minor));
    }
}

// The C library's fstat `real` for `fd` into `status`, made a node's when `fd` is one.
template <class Status>
int described_status(int (*real)(int, Status *), int fd, Status *status) {
    const int result = real(fd, status);
    if (result == 0) {
        describe_node(fd, *status);
    }
    return result;
}

} // namespace kzr415::sim
