// The bus node and the slave address that kzr-415-tool always uses, and kzr-415-read unless
// told otherwise.
#pragma once

#include "kzr-415-drv.h"

#include <cstdint>

namespace kzr415 {

inline constexpr const char *default_bus_node = "/dev/i2c-4";
inline constexpr std::uint16_t default_slave_addr = KZR_415_SLAVE_ADDR;

} // namespace kzr415
