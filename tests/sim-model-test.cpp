// The simulated device and the i2c-dev emulation on their own: temperatures encoded in
// degrees, SMBus transfers as i2c-dev carries them out, the per-descriptor requests, and
// the state file's text.
#include "bus/emulated-bus.hpp"
#include "bus/i2c-dev-client.hpp"
#include "device/settings.hpp"
#include "temperature-decode.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <string>
#include <vector>

namespace kzr415::test {
namespace {

using Bytes3 = std::array<std::uint8_t, 3>;

// The device's own value of a two's-complement or sign-magnitude reading, exactly.
double twos_complement_value(const Bytes3 &b) {
    const std::uint32_t raw = assemble_raw(b[0], b[1], b[2]);
    const bool negative = (raw >> 23) != 0;
    const std::uint32_t magnitude = (negative ? 0x1000000U - raw : raw) & 0x7FFFFFU;
    const double value = (magnitude >> 13) + (magnitude & 0x1FFFU) * 0.000122;
    return negative ? -value : value;
}

double sign_magnitude_value(const Bytes3 &b) {
    const std::uint32_t raw = assemble_raw(b[0], b[1], b[2]);
    const double value = ((raw >> 7) & 0x3FFU) + ((raw >> 5) & 3U) * 0.25;
    return ((raw >> 17) & 1U) != 0 ? -value : value;
}

TEST(TemperatureEncode, EveryTemperatureGetsTheNearestReadingTheDeviceCanGive) {
    for (double t = -1023.9993; t < 1024.0; t += 0.0173) {
        SCOPED_TRACE(t);
        const auto twos = sim::encode_temperature(t, false);
        const double twos_error = std::fabs(twos_complement_value(twos) - t);
        // Half a step, except above the largest fraction count (x.999302) below 1023.
        if (std::fabs(t) - std::floor(std::fabs(t)) <= 0.999302 + 0.000061) {
            ASSERT_LE(twos_error, 0.000061 + 1e-9);
        } else {
            ASSERT_LE(twos_error, 0.000698 + 1e-9);
        }
        const auto sm = sim::encode_temperature(t, true);
        ASSERT_LE(std::fabs(sign_magnitude_value(sm) - t), std::fabs(t) > 1023.75 ? 0.25 : 0.125);
        ASSERT_EQ(sm[0] & 0xFC, 0); // bits 23-18 and 4-0 stay clear
        ASSERT_EQ(sm[2] & 0x1F, 0);
        // The library reads what the device meant, to single precision.
        ASSERT_NEAR(decode_twos_complement(assemble_raw(twos[0], twos[1], twos[2])),
                    twos_complement_value(twos), 1e-4);
        ASSERT_EQ(decode_sign_magnitude(assemble_raw(sm[0], sm[1], sm[2])),
                  static_cast<float>(sign_magnitude_value(sm)));
    }
}

TEST(TemperatureEncode, EdgesOfTheFormats) {
    EXPECT_EQ(sim::encode_temperature(25.0, false), (Bytes3{0x03, 0x20, 0x00}));
    EXPECT_EQ(sim::encode_temperature(-25.0, false), (Bytes3{0xFC, 0xE0, 0x00}));
    EXPECT_EQ(sim::encode_temperature(-25.25, true), (Bytes3{0x02, 0x0C, 0xA0}));
    EXPECT_EQ(sim::encode_temperature(1023.75, true), (Bytes3{0x01, 0xFF, 0xE0}));
    EXPECT_EQ(sim::encode_temperature(1023.9999, true), (Bytes3{0x01, 0xFF, 0xE0}));
    EXPECT_EQ(sim::encode_temperature(1023.9999, false), (Bytes3{0x7F, 0xFF, 0xFF}));
    // Above x.99939 the next whole degree is nearer than the largest count.
    EXPECT_EQ(sim::encode_temperature(25.9999, false), (Bytes3{0x03, 0x40, 0x00}));
    EXPECT_EQ(sim::encode_temperature(25.9993, false), (Bytes3{0x03, 0x3F, 0xFF}));
    // A magnitude that rounds to nothing carries no sign.
    EXPECT_EQ(sim::encode_temperature(-0.00001, false), (Bytes3{0x00, 0x00, 0x00}));
    EXPECT_EQ(sim::encode_temperature(-0.1, true), (Bytes3{0x00, 0x00, 0x00}));
    EXPECT_EQ(sim::encode_temperature(-0.2, true), (Bytes3{0x02, 0x00, 0x20}));

    EXPECT_TRUE(sim::representable_temperature(-1023.999));
    EXPECT_FALSE(sim::representable_temperature(1024.0));
    EXPECT_FALSE(sim::representable_temperature(-1024.0));
    EXPECT_FALSE(sim::representable_temperature(std::nan("")));
    EXPECT_FALSE(sim::representable_temperature(std::numeric_limits<double>::infinity()));
}

// kzr-415-sim holds each channel in degrees from the start (the table's values for them),
// the module and the preload alone the raw image: the two must be one temperature. The
// library decodes each channel's bytes of the default image.
TEST(DeviceModel, TheDefaultImageHoldsTheDefaultDegrees) {
    const sim::Device raw = sim::new_device();
    const sim::Device in_degrees = sim::new_device(true);
    for (const auto &setting : sim::settings()) {
        if (setting.kind != KZR415_KIND_DEGREES) {
            continue;
        }
        SCOPED_TRACE(setting.name);
        const auto *bytes = &raw.image[KZR415_TEMPERATURE][KZR415_CHANNEL_LEN * setting.arg];
        const auto celsius = sim::parse_celsius(setting.value);
        ASSERT_TRUE(celsius.has_value());
        EXPECT_EQ(decode_twos_complement(assemble_raw(bytes[0], bytes[1], bytes[2])),
                  static_cast<float>(*celsius));
        EXPECT_EQ(sim::encode_temperature(*celsius, false), (Bytes3{bytes[0], bytes[1], bytes[2]}));
        EXPECT_NE(in_degrees.in_degrees & (1U << setting.arg), 0U);
    }
}

TEST(DeviceModel, EncodesEachChannelInTheFormatItsConfigurationSelectsWhenRead) {
    sim::Device device = sim::new_device();
    ASSERT_TRUE(sim::parse_setting(device, kzr415_settings[KZR415_SETTING_celsius_1], "-25.25"));
    ASSERT_TRUE(sim::parse_setting(device, kzr415_settings[KZR415_SETTING_celsius_2], "100.5"));
    ASSERT_TRUE(sim::parse_setting(device, kzr415_settings[KZR415_SETTING_configuration], "20 00"));
    std::array<std::uint8_t, 6> image{};
    const std::uint8_t pointer = KZR415_TEMPERATURE;
    kzr415_device_write(&device, &pointer, 1);
    kzr415_device_read(&device, image.data(), image.size());
    EXPECT_EQ(image, (std::array<std::uint8_t, 6>{0x02, 0x0C, 0xA0, 0x0C, 0x90, 0x02}));
    ASSERT_TRUE(sim::parse_setting(device, kzr415_settings[KZR415_SETTING_configuration], "00 3c"));
    kzr415_device_read(&device, image.data(), image.size());
    EXPECT_EQ(image, (std::array<std::uint8_t, 6>{0xFC, 0xD7, 0xFF, 0x00, 0x32, 0x40}));
}

class SmbusTest : public ::testing::Test {
  protected:
    sim::EmulatedBus bus;
    sim::I2cDevClient client;

    long smbus(std::uint8_t read_write, std::uint8_t command, std::uint32_t size,
               i2c_smbus_data *data) {
        i2c_smbus_ioctl_data args{read_write, command, size, data};
        return sim::client_ioctl(bus, client, I2C_SMBUS, &args);
    }
    long ioctl(unsigned long request, unsigned long arg) {
        // NOLINTNEXTLINE(performance-no-int-to-ptr): i2c-dev's integer arguments
        return sim::client_ioctl(bus, client, request, reinterpret_cast<void *>(arg));
    }
    std::vector<std::string> trace() {
        std::vector<std::string> lines;
        for (const auto &transfer : bus.transfers()) {
            lines.push_back(sim::format_transfer(transfer));
        }
        return lines;
    }
    void SetUp() override {
        // The temperature register begins with channel 1's 25.0 and channel 2's 21.0.
        const std::array<std::uint8_t, 4> leading{0x03, 0x20, 0x00, 0x02};
        std::copy(leading.begin(), leading.end(),
                  sim::image(bus.device(), KZR415_TEMPERATURE).begin());
        ASSERT_EQ(ioctl(I2C_SLAVE, 0x48), 0);
    }
};

TEST_F(SmbusTest, TransfersAreCarriedOutAsTheKernelEmulatesThem) {
    i2c_smbus_data data{};
    data.word = 0x201C;
    EXPECT_EQ(smbus(I2C_SMBUS_WRITE, 0x01, I2C_SMBUS_WORD_DATA, &data), 0);
    EXPECT_EQ(smbus(I2C_SMBUS_READ, 0x01, I2C_SMBUS_BYTE_DATA, &data), 0);
    EXPECT_EQ(data.byte, 0x1C);
    EXPECT_EQ(smbus(I2C_SMBUS_READ, 0, I2C_SMBUS_BYTE, &data), 0);
    EXPECT_EQ(data.byte, 0x1C);
    EXPECT_EQ(smbus(I2C_SMBUS_WRITE, 0x00, I2C_SMBUS_QUICK, nullptr), 0);
    data.block[0] = 4;
    EXPECT_EQ(smbus(I2C_SMBUS_READ, 0x00, I2C_SMBUS_I2C_BLOCK_DATA, &data), 0);
    EXPECT_EQ(data.block[1], 0x03);
    EXPECT_EQ(data.block[4], 0x02);
    // A block read takes its length from the first byte: here the temperature's 0x03.
    EXPECT_EQ(smbus(I2C_SMBUS_READ, 0x00, I2C_SMBUS_BLOCK_DATA, &data), 0);
    EXPECT_EQ(data.block[0], 3);
    EXPECT_EQ(data.block[3], 0x02);
    data.word = 0x0001;
    EXPECT_EQ(smbus(I2C_SMBUS_WRITE, 0x02, I2C_SMBUS_PROC_CALL, &data), 0);
    EXPECT_EQ(data.word, 0x0001); // t_low now 01 00 ..., read back low byte first
    EXPECT_EQ(trace(), (std::vector<std::string>{
                           "W 0x48 [01 1c 20]",
                           "W 0x48 [01] + R 0x48 1 -> [1c]",
                           "R 0x48 1 -> [1c]",
                           "W 0x48 []",
                           "W 0x48 [00] + R 0x48 4 -> [03 20 00 02]",
                           // the block read: one byte asked for, then the count and block
                           "W 0x48 [00] + R 0x48 1+ -> [03 20 00 02]",
                           "W 0x48 [02 01 00] + R 0x48 2 -> [01 00]",
                       }));
}

TEST_F(SmbusTest, AQuickWriteLeavesTheRegisterPointerWhereItWas) {
    bus.device().image[KZR415_T_LOW][0] = 0x5A;
    i2c_smbus_data data{};
    EXPECT_EQ(smbus(I2C_SMBUS_WRITE, 0x02, I2C_SMBUS_BYTE, &data), 0);
    // i2cdetect's probe: the address alone, no byte, command 0 unsent.
    EXPECT_EQ(smbus(I2C_SMBUS_WRITE, 0x00, I2C_SMBUS_QUICK, nullptr), 0);
    EXPECT_EQ(bus.device().pointer, 0x02);
    EXPECT_EQ(smbus(I2C_SMBUS_READ, 0, I2C_SMBUS_BYTE, &data), 0);
    EXPECT_EQ(data.byte, 0x5A);
    EXPECT_EQ(trace(), (std::vector<std::string>{
                           "W 0x48 [02]",
                           "W 0x48 []",
                           "R 0x48 1 -> [5a]",
                       }));
}

TEST_F(SmbusTest, MalformedRequestsAndBadBlocksAreRefused) {
    i2c_smbus_data data{};
    EXPECT_EQ(smbus(I2C_SMBUS_READ, 0, 9, &data), -EINVAL);
    EXPECT_EQ(smbus(2, 0, I2C_SMBUS_BYTE, &data), -EINVAL);
    EXPECT_EQ(smbus(I2C_SMBUS_READ, 0, I2C_SMBUS_BYTE_DATA, nullptr), -EINVAL);
    data.block[0] = 33;
    EXPECT_EQ(smbus(I2C_SMBUS_WRITE, 0, I2C_SMBUS_BLOCK_DATA, &data), -EINVAL);
    EXPECT_EQ(smbus(I2C_SMBUS_READ, 0, I2C_SMBUS_I2C_BLOCK_DATA, &data), -EINVAL);
    EXPECT_TRUE(bus.transfers().empty());
    // A block count of 0 is a protocol error.
    bus.device().image[KZR415_TEMPERATURE][0] = 0;
    EXPECT_EQ(smbus(I2C_SMBUS_READ, 0x00, I2C_SMBUS_BLOCK_DATA, &data), -EPROTO);
    // Nobody at the address.
    ASSERT_EQ(ioctl(I2C_SLAVE_FORCE, 0x21), 0);
    EXPECT_EQ(smbus(I2C_SMBUS_WRITE, 0, I2C_SMBUS_QUICK, nullptr), -ENXIO);
}

TEST_F(SmbusTest, PacketErrorCheckingAddsAndChecksTheChecksum) {
    const std::string check = "123456789";
    EXPECT_EQ(sim::smbus_pec(0, reinterpret_cast<const std::uint8_t *>(check.data()), 9), 0xF4);
    ASSERT_EQ(ioctl(I2C_PEC, 1), 0);
    i2c_smbus_data data{};
    data.byte = 0x1C;
    EXPECT_EQ(smbus(I2C_SMBUS_WRITE, 0x01, I2C_SMBUS_BYTE_DATA, &data), 0);
    // The device knows nothing of checksums: the one it returns is just the next byte.
    EXPECT_EQ(smbus(I2C_SMBUS_READ, 0x00, I2C_SMBUS_BYTE_DATA, &data), -EBADMSG);
    const std::array<std::uint8_t, 3> written{0x90, 0x01, 0x1C}; // address 0x48, write
    const auto pec = sim::smbus_pec(0, written.data(), written.size());
    char expected[40];
    std::snprintf(expected, sizeof expected, "W 0x48 [01 1c %02x]", pec);
    ASSERT_EQ(trace().size(), 2U);
    EXPECT_EQ(trace()[0], expected);
    EXPECT_EQ(trace()[1], "W 0x48 [00] + R 0x48 2 -> [03 20]");
}

TEST_F(SmbusTest, DescriptorRequestsFollowI2cDev) {
    unsigned long functionality = 0;
    ASSERT_EQ(sim::client_ioctl(bus, client, I2C_FUNCS, &functionality), 0);
    EXPECT_EQ(functionality & I2C_FUNC_I2C, I2C_FUNC_I2C);
    EXPECT_EQ(functionality & I2C_FUNC_SMBUS_EMUL, I2C_FUNC_SMBUS_EMUL);
    EXPECT_EQ(functionality & I2C_FUNC_10BIT_ADDR, 0U);
    EXPECT_EQ(ioctl(I2C_SLAVE, 0x80), -EINVAL);
    EXPECT_EQ(ioctl(I2C_TENBIT, 1), 0);
    EXPECT_EQ(ioctl(I2C_SLAVE, 0x3FF), 0);
    EXPECT_EQ(ioctl(I2C_SLAVE, 0x400), -EINVAL);
    EXPECT_EQ(ioctl(I2C_TENBIT, 0), 0);
    EXPECT_EQ(ioctl(I2C_SLAVE, 0x48), 0);
    EXPECT_EQ(ioctl(I2C_TIMEOUT, 10), 0);
    EXPECT_EQ(ioctl(I2C_RETRIES, 3), 0);
    EXPECT_EQ(ioctl(0x0799, 0), -ENOTTY);

    // read and write move one message to and from the descriptor's address.
    const std::array<std::uint8_t, 3> configuration{0x01, 0x18, 0x18};
    EXPECT_EQ(sim::client_write(bus, client, configuration.data(), 3), 3);
    std::array<std::uint8_t, 2> back{};
    EXPECT_EQ(sim::client_read(bus, client, back.data(), 2), 2);
    EXPECT_EQ(back, (std::array<std::uint8_t, 2>{0x18, 0x18}));

    // I2C_RDWR with a block read: the caller's records stay as given.
    std::array<std::uint8_t, 1> pointer{0x00};
    std::array<std::uint8_t, 1 + I2C_SMBUS_BLOCK_MAX> block{1};
    std::array<i2c_msg, 2> messages{
        {{0x48, 0, 1, pointer.data()}, {0x48, I2C_M_RD | I2C_M_RECV_LEN, 33, block.data()}}};
    i2c_rdwr_ioctl_data request{messages.data(), 2};
    EXPECT_EQ(sim::client_ioctl(bus, client, I2C_RDWR, &request), 2);
    EXPECT_EQ(messages[1].len, 33);
    EXPECT_EQ(block[0], 3);
    EXPECT_EQ(block[3], 0x02);
    messages[1].len = 32; // too short for the longest block
    block[0] = 1;
    EXPECT_EQ(sim::client_ioctl(bus, client, I2C_RDWR, &request), -EINVAL);
}

// Sets a setting of the table on `device` from text.
void set(sim::Device &device, int setting, std::string_view text) {
    ASSERT_TRUE(sim::parse_setting(device, kzr415_settings[setting], text)) << text;
}

TEST(StateFileText, KeepsEveryPartOfTheDevice) {
    sim::Device state = sim::new_device();
    const auto temperature = sim::image(state, KZR415_TEMPERATURE);
    std::iota(temperature.begin(), temperature.end(), std::uint8_t{1}); // 01 02 03 ...
    set(state, KZR415_SETTING_configuration, "1c 20");
    set(state, KZR415_SETTING_t_low, "80 00 00 80 00 00");
    set(state, KZR415_SETTING_t_high, "7f ff ff 7f ff ff");
    set(state, KZR415_SETTING_celsius_2, "-12.345678901234");
    set(state, KZR415_SETTING_fail, "3+:EPROTO");
    set(state, KZR415_SETTING_address, "0x2a");
    set(state, KZR415_SETTING_no_device, "1");
    state.pointer = 0x03;
    state.transfers = 4242;
    const auto text = sim::format_state(state);
    sim::Device back = sim::new_device();
    ASSERT_TRUE(sim::parse_state(text, back));
    EXPECT_EQ(sim::format_state(back), text);
    EXPECT_EQ(back.celsius[1], -12.345678901234);
    EXPECT_EQ(back.pointer, 0x03);
    EXPECT_EQ(back.transfers, 4242U);
    for (const char *bad : {"garbage\n", "pointer 1ff\n", "configuration 1c\n", "celsius_1 x\n",
                            "transfers -1\n", "colour blue\n"}) {
        EXPECT_FALSE(sim::parse_state(bad, back)) << bad;
    }
}

TEST(StateFileText, HoldsOnlyTemperaturesTheDeviceCanCarry) {
    // What the file is given it reads back, exponent notation included.
    sim::Device state = sim::new_device();
    set(state, KZR415_SETTING_celsius_1, "-0.00001");
    set(state, KZR415_SETTING_celsius_2, "1023.999");
    const auto text = sim::format_state(state);
    ASSERT_NE(text.find("celsius_1 -1e-05\n"), std::string::npos) << text;
    sim::Device back = sim::new_device();
    ASSERT_TRUE(sim::parse_state(text, back));
    EXPECT_EQ(back.celsius[0], -0.00001);
    EXPECT_EQ(back.celsius[1], 1023.999);
    // Nothing the encoding cannot take: not finite, or a magnitude of 1024 or more.
    for (const char *bad : {"celsius_1 inf\n", "celsius_1 1e10\n", "celsius_2 nan\n",
                            "celsius_2 -inf\n", "celsius_1 1024\n", "celsius_2 -1024.5\n"}) {
        EXPECT_FALSE(sim::parse_state(bad, back)) << bad;
    }
}

} // namespace
} // namespace kzr415::test
