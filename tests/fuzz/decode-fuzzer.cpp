// libFuzzer target: the decode of both encodings, on its own and through
// temperature_reg_read on the in-process emulated bus.
//
// Input: the six temperature bytes, the two configuration bytes, the channel, then noise.
// Checked: the decode's range and sign properties for the channel's raw value in both
// encodings; that the library's reading is the decode of the channel's own three bytes in the
// encoding that the channel's own configuration bit 5 selects (the other channel's bytes and
// configuration, and the other configuration bits, change nothing); and that the raw lines
// print the six bytes.
#include "config/sim-config.hpp"
#include "fuzz-input.hpp"
#include "kzr-415-drv.h"
#include "output-capture.hpp"
#include "preload/simulated-nodes.hpp"
#include "temperature-decode.hpp"

#include <array>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace kzr415::fuzz {
namespace {

constexpr const char *node_path = "/dev/i2c-fuzz-decode";

void require(bool ok, const char *what, std::uint32_t raw) {
    if (!ok) {
        std::fprintf(stderr, "invariant violated: %s (raw 0x%06x)\n", what, raw);
        std::abort();
    }
}

std::uint32_t bits(float value) {
    return std::bit_cast<std::uint32_t>(value);
}

void check_decode(std::uint32_t raw, std::uint32_t noise) {
    const float twos = decode_twos_complement(raw);
    const float sign_magnitude = decode_sign_magnitude(raw);
    for (const float value : {twos, sign_magnitude}) {
        require(std::isfinite(value) && std::fabs(value) < 1024.0F, "out of range", raw);
    }
    require(std::signbit(twos) == ((raw & 0x800000U) != 0), "two's complement sign", raw);
    require(std::signbit(sign_magnitude) == ((raw & 0x020000U) != 0), "sign-magnitude sign", raw);
    // Sign-magnitude: bits 23-18 and 4-0 are ignored; bit 17 is a pure flip.
    const std::uint32_t ignored = noise & 0xFC001FU;
    require(bits(decode_sign_magnitude(raw ^ ignored)) == bits(sign_magnitude), "ignored bits",
            raw);
    require(bits(decode_sign_magnitude(raw ^ 0x020000U)) == bits(-sign_magnitude),
            "sign-magnitude symmetry", raw);
    // Two's complement: negating the raw value negates the reading.
    if ((raw & 0x7FFFFFU) != 0) {
        const std::uint32_t negated = (0x1000000U - raw) & 0xFFFFFFU;
        require(bits(decode_twos_complement(negated)) == bits(-twos), "two's complement symmetry",
                raw);
    }
}

struct Reading {
    float value;
    std::string out;
};

Reading read_channel(test::OutputCapture &capture, const sim::Device &device, int channel) {
    sim::SimConfig config;
    config.node = node_path;
    config.device = device;
    sim::configure(config);
    const int fd = i2c_open(node_path);
    Reading reading{};
    const auto output =
        capture.run([&] { reading.value = temperature_reg_read(fd, KZR_415_SLAVE_ADDR, channel); });
    i2c_close(fd);
    require(output.err.empty(), "diagnostics from a working bus", 0);
    reading.out = output.out;
    return reading;
}

} // namespace
} // namespace kzr415::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    using namespace kzr415;
    static test::OutputCapture capture;
    fuzz::FuzzInput in({data, size});

    sim::Device device = sim::new_device();
    const auto temperature = sim::image(device, KZR415_TEMPERATURE);
    const auto configuration = sim::image(device, KZR415_CONFIGURATION);
    in.fill(temperature);
    in.fill(configuration);
    const int channel = 1 + (in.byte() & 1U);
    const std::uint32_t noise = in.u32();

    const auto index = static_cast<std::size_t>(channel - 1);
    const auto own = temperature.subspan(KZR415_CHANNEL_LEN * index);
    const std::uint32_t raw = assemble_raw(own[0], own[1], own[2]);
    fuzz::check_decode(raw, noise);

    const auto reading = fuzz::read_channel(capture, device, channel);
    const bool sign_magnitude = (configuration[index] & 0x20U) != 0;
    fuzz::require(fuzz::bits(reading.value) == fuzz::bits(decode_temperature(raw, sign_magnitude)),
                  "library reading", raw);
    std::array<char, 96> lines{};
    const auto &t = temperature;
    std::snprintf(lines.data(), lines.size(), "raw value 1:%u %u %u\nraw value 2:%u %u %u\n", t[0],
                  t[1], t[2], t[3], t[4], t[5]);
    fuzz::require(reading.out == lines.data(), "raw lines", raw);

    // The other channel's bytes and configuration byte, and the channel's own configuration
    // bits other than bit 5, change nothing.
    sim::Device other = device;
    const std::size_t other_index = 1 - index;
    for (std::size_t i = 0; i < KZR415_CHANNEL_LEN; ++i) {
        sim::image(other, KZR415_TEMPERATURE)[KZR415_CHANNEL_LEN * other_index + i] ^=
            static_cast<std::uint8_t>(noise >> (8 * i));
    }
    sim::image(other, KZR415_CONFIGURATION)[other_index] ^= static_cast<std::uint8_t>(noise >> 24U);
    sim::image(other, KZR415_CONFIGURATION)[index] ^=
        static_cast<std::uint8_t>((noise >> 16U) & 0xDFU);
    const auto again = fuzz::read_channel(capture, other, channel);
    fuzz::require(fuzz::bits(again.value) == fuzz::bits(reading.value), "channel independence",
                  raw);
    return 0;
}
