// Model of a kzr-415 on the bus: four registers behind a register pointer.
//
// A write message's first byte selects a register and the bytes after it are stored into
// that register's image (the read-only temperature register ignores them). A read message
// returns the image of the register last selected; bytes past the image, and every byte of
// an unknown register, read as 0xFF, as an idle bus does.
//
// A channel whose temperature is held in degrees is encoded at the moment the temperature
// register is read, in the format that the channel's configuration byte (bit 5) selects
// then; a channel without one returns its bytes of the raw temperature image as they stand.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace kzr415::sim {

struct DeviceRegisters {
    // Room temperature: 25.0 and 21.0 degrees in the two's-complement encoding.
    std::array<std::uint8_t, 6> temperature{0x03, 0x20, 0x00, 0x02, 0xA0, 0x00};
    std::array<std::uint8_t, 2> configuration{0x00, 0x00};
    std::array<std::uint8_t, 6> t_low{0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    std::array<std::uint8_t, 6> t_high{0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    // Each channel's temperature in degrees Celsius, when given so; it takes the place of
    // the channel's bytes in `temperature`.
    std::array<std::optional<double>, 2> celsius{};
};

class DeviceModel {
  public:
    explicit DeviceModel(std::uint16_t address = 0x48) : address_(address) {}

    [[nodiscard]] std::uint16_t address() const { return address_; }
    DeviceRegisters &registers() { return registers_; }
    [[nodiscard]] const DeviceRegisters &registers() const { return registers_; }
    [[nodiscard]] std::uint8_t pointer() const { return pointer_; }
    void set_pointer(std::uint8_t pointer) { pointer_ = pointer; }

    // One write message addressed to the device.
    void write(std::span<const std::uint8_t> bytes);
    // One read message addressed to the device.
    void read(std::span<std::uint8_t> bytes) const;

  private:
    // The image the pointer selects; empty for an unknown pointer. The temperature image
    // is built in `scratch`.
    [[nodiscard]] std::span<const std::uint8_t> image(std::array<std::uint8_t, 6> &scratch) const;

    std::uint16_t address_;
    std::uint8_t pointer_ = 0;
    DeviceRegisters registers_;
};

} // namespace kzr415::sim
