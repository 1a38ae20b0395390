// The library from several threads at once: independent descriptors, each on a simulated
// device of its own, and one descriptor shared by threads that serialise whole calls. Run
// under ThreadSanitizer by the tsan preset, where any shared state inside the library shows
// as a data race; everywhere else the readings and the bus records must still be right.
#include "bus-fixture.hpp"

#include <array>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

namespace kzr415::test {
namespace {

constexpr std::size_t thread_count = 4;
constexpr int rounds = 150;
// One round: threshold write (1) and read back (2), two alert modes (3 each), a
// configuration read (2), two temperature readings (4 each), both channels read at once (4).
constexpr unsigned transfers_per_round = 23;

std::string raw_line(int channel, const std::uint8_t *bytes) {
    std::array<char, 64> text{};
    std::snprintf(text.data(), text.size(), "raw value %d:%u %u %u", channel, bytes[0], bytes[1],
                  bytes[2]);
    return text.data();
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    return lines;
}

// Thread t's device: channel 1 reads 25 + t degrees in the two's-complement encoding,
// channel 2 -(10.25 + t) in the sign-magnitude encoding; each device at its own address.
struct OwnDevice {
    std::string node;
    std::uint16_t address;
    sim::Device model;
    float channel1;
    float channel2;
};

OwnDevice own_device(int t) {
    const auto whole1 = static_cast<std::uint32_t>(25 + t);
    const auto whole2 = static_cast<std::uint32_t>(10 + t);
    const std::uint32_t raw1 = whole1 << 13U;
    const std::uint32_t raw2 = (1U << 17U) | (whole2 << 7U) | (1U << 5U);
    const auto address = static_cast<std::uint16_t>(0x48 + t);
    sim::Device model = sim::new_device();
    model.address = address;
    const std::array<std::uint8_t, 6> temperature{
        static_cast<std::uint8_t>(raw1 >> 16U), static_cast<std::uint8_t>(raw1 >> 8U),
        static_cast<std::uint8_t>(raw1),        static_cast<std::uint8_t>(raw2 >> 16U),
        static_cast<std::uint8_t>(raw2 >> 8U),  static_cast<std::uint8_t>(raw2)};
    std::copy(temperature.begin(), temperature.end(), model.image[KZR415_TEMPERATURE]);
    model.image[KZR415_CONFIGURATION][0] = 0x18;
    model.image[KZR415_CONFIGURATION][1] = 0x38;
    return {"/dev/i2c-concurrency-" + std::to_string(t), address, model, static_cast<float>(whole1),
            -(static_cast<float>(whole2) + 0.25F)};
}

// One thread's work on its own descriptor; returns how many results were wrong.
int exercise_own_device(const OwnDevice &device) {
    int wrong = 0;
    const int fd = i2c_open(device.node.c_str());
    for (int round = 0; round < rounds; ++round) {
        const auto tag = static_cast<std::uint8_t>(device.address + round);
        std::array<std::uint8_t, T_LOW_REG_LENGTH> low{tag, 1, 2, tag, 3, 4};
        std::array<std::uint8_t, T_LOW_REG_LENGTH> low_back{};
        wrong += t_low_reg_control(fd, device.address, low.data(), REG_WRITE) != 0;
        wrong += t_low_reg_control(fd, device.address, low_back.data(), REG_READ) != 0;
        wrong += low_back != low;

        const auto mode1 = static_cast<unsigned>(round) % 4U;
        const auto mode2 = static_cast<unsigned>(round + device.address) % 4U;
        wrong += alert_mode_set(fd, device.address, 1, mode1) != 0;
        wrong += alert_mode_set(fd, device.address, 2, mode2) != 0;
        std::array<std::uint8_t, CONFIGURATION_REG_LENGTH> config{};
        wrong += configurature_reg_control(fd, device.address, config.data(), REG_READ) != 0;
        wrong += config[0] != (0x18U | (mode1 << 1U)) || config[1] != (0x38U | (mode2 << 1U));

        wrong += temperature_reg_read(fd, device.address, 1) != device.channel1;
        wrong += temperature_reg_read(fd, device.address, 2) != device.channel2;
        std::array<float, 2> both{};
        wrong += kzr_415_read_temperatures(fd, device.address, both.data()) != 0;
        wrong += both != std::array<float, 2>{device.channel1, device.channel2};
    }
    i2c_close(fd);
    return wrong;
}

TEST(Concurrency, IndependentDescriptorsEachOnItsOwnDevice) {
    std::vector<OwnDevice> devices;
    std::vector<sim::EmulatedBus *> buses;
    std::set<std::string> expected_lines;
    for (std::size_t t = 0; t < thread_count; ++t) {
        devices.push_back(own_device(static_cast<int>(t)));
        buses.push_back(&sim::add_node(devices.back().node, devices.back().model));
        const auto *image = devices.back().model.image[KZR415_TEMPERATURE];
        expected_lines.insert(raw_line(1, image));
        expected_lines.insert(raw_line(2, image + KZR415_CHANNEL_LEN));
    }

    std::array<std::atomic<int>, thread_count> wrong{};
    const auto output = capture_output([&] {
        std::vector<std::thread> threads;
        for (std::size_t t = 0; t < thread_count; ++t) {
            threads.emplace_back([&, t] { wrong.at(t) = exercise_own_device(devices.at(t)); });
        }
        for (auto &thread : threads) {
            thread.join();
        }
    });

    for (std::size_t t = 0; t < thread_count; ++t) {
        SCOPED_TRACE("thread " + std::to_string(t));
        EXPECT_EQ(wrong.at(t), 0);
        const auto &record = buses.at(t)->transfers();
        EXPECT_EQ(record.size(), rounds * transfers_per_round);
        for (const auto &transfer : record) {
            ASSERT_EQ(transfer.messages.size(), 1U);
            ASSERT_EQ(transfer.messages[0].addr, devices.at(t).address) << "a foreign transfer";
            ASSERT_EQ(transfer.error, 0);
        }
    }
    // Each raw line whole and from one of the devices: nothing torn or mixed.
    const auto lines = lines_of(output.out);
    EXPECT_EQ(lines.size(), thread_count * rounds * 2 * 2);
    for (const auto &line : lines) {
        ASSERT_EQ(expected_lines.count(line), 1U) << line;
    }
    EXPECT_EQ(output.err, "");
}

using ConcurrencyOnOneDescriptor = BusTest;

TEST_F(ConcurrencyOnOneDescriptor, ThreadsThatSerialiseWholeCallsLoseNoUpdate) {
    set(KZR415_TEMPERATURE, {0x03, 0x20, 0x00, 0x00, 0x0C, 0x80}); // 25.0 and 25.0
    set(KZR415_CONFIGURATION, {0x18, 0x38});
    std::mutex call_lock;
    std::array<std::atomic<int>, thread_count> wrong{};
    std::array<unsigned, 2> last_mode{};

    const auto output = capture_output([&] {
        std::vector<std::thread> threads;
        for (std::size_t t = 0; t < thread_count; ++t) {
            threads.emplace_back([&, t] {
                const int channel = 1 + static_cast<int>(t % 2);
                for (int round = 0; round < rounds; ++round) {
                    const std::lock_guard whole_call(call_lock);
                    if (t < 2) {
                        // Two writers, one per channel: a read-modify-write of the shared
                        // configuration register that must keep the other channel's bits.
                        const auto mode =
                            (static_cast<unsigned>(round) + static_cast<unsigned>(t)) % 4U;
                        wrong.at(t) += alert_mode_set(fd, device_address, channel, mode) != 0;
                        last_mode.at(static_cast<std::size_t>(channel - 1)) = mode;
                        std::array<std::uint8_t, CONFIGURATION_REG_LENGTH> config{};
                        wrong.at(t) +=
                            configurature_reg_control(fd, device_address, config.data(), 1);
                        wrong.at(t) += config[0] != (0x18U | (last_mode[0] << 1U)) ||
                                       config[1] != (0x38U | (last_mode[1] << 1U));
                    } else {
                        wrong.at(t) += temperature_reg_read(fd, device_address, channel) != 25.0F;
                    }
                }
            });
        }
        for (auto &thread : threads) {
            thread.join();
        }
    });

    for (const auto &count : wrong) {
        EXPECT_EQ(count, 0);
    }
    EXPECT_EQ(image(KZR415_CONFIGURATION)[0], 0x18U | (last_mode[0] << 1U));
    EXPECT_EQ(image(KZR415_CONFIGURATION)[1], 0x38U | (last_mode[1] << 1U));
    // Two writer threads make 5 transfers per round, two readers 4.
    EXPECT_EQ(transfers().size(), std::size_t{rounds} * (2 * 5 + 2 * 4));
    EXPECT_EQ(lines_of(output.out).size(), std::size_t{rounds} * 2 * 2);
    EXPECT_EQ(output.err, "");
}

} // namespace
} // namespace kzr415::test
