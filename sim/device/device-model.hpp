// Model of a kzr-415 on the bus: four registers behind a register pointer. The device's
// rules are the shared core's (kernel/kzr-415-device.h), which the kernel module compiles
// too; this holds the images and what only user space can do.
//
// A channel whose temperature is held in degrees is encoded at the moment the temperature
// register is read, in the format that the channel's configuration byte (bit 5) selects
// then; a channel without one returns its bytes of the raw temperature image as they stand.
#pragma once

#include "kernel/kzr-415-device.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include <linux/i2c.h>

namespace kzr415::sim {

struct DeviceRegisters {
    std::array<std::uint8_t, KZR415_TEMPERATURE_LEN> temperature KZR415_TEMPERATURE_DEFAULT;
    std::array<std::uint8_t, KZR415_CONFIGURATION_LEN> configuration{};
    std::array<std::uint8_t, KZR415_THRESHOLD_LEN> t_low{};
    std::array<std::uint8_t, KZR415_THRESHOLD_LEN> t_high{};
    // Each channel's temperature in degrees Celsius, when given so; it takes the place of
    // the channel's bytes in `temperature`.
    std::array<std::optional<double>, 2> celsius{};
};

// The device core's fault plan: transfer number `transfer` of the run (counting from 1)
// fails with `error`, and with `onwards` every later one too. Transfer 0 means no fault.
using Fault = kzr415_fault;

// What a transfer counts against: the fault plan and the run's transfers so far.
struct DeviceRun {
    Fault fault{};
    unsigned transfers = 0;
    bool present = true; // false: no device answers
};

class DeviceModel {
  public:
    explicit DeviceModel(std::uint16_t address = KZR415_ADDRESS_DEFAULT) : address_(address) {}

    [[nodiscard]] std::uint16_t address() const { return address_; }
    DeviceRegisters &registers() { return registers_; }
    [[nodiscard]] const DeviceRegisters &registers() const { return registers_; }
    [[nodiscard]] std::uint8_t pointer() const { return pointer_; }
    void set_pointer(std::uint8_t pointer) { pointer_ = pointer; }

    // One write message addressed to the device.
    void write(std::span<const std::uint8_t> bytes);
    // One read message addressed to the device.
    void read(std::span<std::uint8_t> bytes);
    // One transfer, counted in `run`: the number of messages, or -errno. A read flagged
    // I2C_M_RECV_LEN needs room for len + 32 bytes and gets its len raised by the count.
    int transfer(std::span<i2c_msg> messages, DeviceRun &run);

  private:
    // The core's view of this device for one call; the temperature image is built in
    // `scratch` when read.
    kzr415_device core(std::array<std::uint8_t, KZR415_TEMPERATURE_LEN> &scratch);

    std::uint16_t address_;
    std::uint8_t pointer_ = 0;
    DeviceRegisters registers_;
};

} // namespace kzr415::sim
