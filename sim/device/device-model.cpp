#include "device/device-model.hpp"

#include "device/temperature-encode.hpp"

#include <algorithm>

namespace kzr415::sim {

namespace {

// The raw temperature image, with each channel held in degrees encoded in the format its
// configuration byte (bit 5) selects at this moment. The core's refresh hook is declared
// with a device it may change; this one writes only through the device's image pointer.
// cppcheck-suppress constParameterCallback
void refresh_temperature(kzr415_device *dev) {
    const auto &registers = static_cast<const DeviceModel *>(dev->context)->registers();
    const std::span<std::uint8_t> image(dev->image[KZR415_TEMPERATURE], KZR415_TEMPERATURE_LEN);
    std::copy(registers.temperature.begin(), registers.temperature.end(), image.begin());
    for (std::size_t channel = 0; channel < 2; ++channel) {
        const auto &celsius = registers.celsius.at(channel);
        if (celsius.has_value()) {
            const bool sign_magnitude = (registers.configuration[channel] & 0x20U) != 0;
            const auto bytes = encode_temperature(*celsius, sign_magnitude);
            std::copy(bytes.begin(), bytes.end(), image.begin() + 3 * static_cast<long>(channel));
        }
    }
}

} // namespace

// `scratch` receives the temperature image when the core refreshes it through dev.image.
// cppcheck-suppress constParameterReference
kzr415_device DeviceModel::core(std::array<std::uint8_t, KZR415_TEMPERATURE_LEN> &scratch) {
    kzr415_device dev{};
    // The temperature register is read only: the core never writes into its image.
    dev.image[KZR415_TEMPERATURE] = scratch.data();
    dev.image[KZR415_CONFIGURATION] = registers_.configuration.data();
    dev.image[KZR415_T_LOW] = registers_.t_low.data();
    dev.image[KZR415_T_HIGH] = registers_.t_high.data();
    dev.refresh = refresh_temperature;
    dev.context = this;
    dev.address = address_;
    dev.pointer = pointer_;
    dev.present = true;
    return dev;
}

void DeviceModel::write(std::span<const std::uint8_t> bytes) {
    std::array<std::uint8_t, KZR415_TEMPERATURE_LEN> scratch{};
    auto dev = core(scratch);
    kzr415_device_write(&dev, bytes.data(), bytes.size());
    pointer_ = dev.pointer;
}

void DeviceModel::read(std::span<std::uint8_t> bytes) {
    std::array<std::uint8_t, KZR415_TEMPERATURE_LEN> scratch{};
    auto dev = core(scratch);
    kzr415_device_read(&dev, bytes.data(), bytes.size());
}

int DeviceModel::transfer(std::span<i2c_msg> messages, DeviceRun &run) {
    std::array<std::uint8_t, KZR415_TEMPERATURE_LEN> scratch{};
    auto dev = core(scratch);
    dev.fault = run.fault;
    dev.transfers = run.transfers;
    dev.present = run.present;
    const int result = kzr415_transfer(&dev, messages.data(), messages.size());
    pointer_ = dev.pointer;
    run.transfers = dev.transfers;
    return result;
}

} // namespace kzr415::sim
