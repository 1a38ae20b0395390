// The device core that the kernel module and the emulated bus both compile, on its own:
// registers, transfers, the fault plan counted over a run, and the parsers of its controls.
#include "kernel/kzr-415-device.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace kzr415::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

class DeviceCore : public ::testing::Test {
  protected:
    kzr415_device dev{};

    void SetUp() override {
        kzr415_device_init(&dev);
        set(KZR415_CONFIGURATION, {0x1C, 0x1C});
        set(KZR415_T_LOW, {0x80, 0x00, 0x00, 0x80, 0x00, 0x00});
        set(KZR415_T_HIGH, {0x7F, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF});
    }
    // A register's image, and setting it.
    [[nodiscard]] Bytes image(unsigned reg) const {
        return {dev.image[reg], dev.image[reg] + kzr415_image_len(reg)};
    }
    void set(unsigned reg, const Bytes &bytes) {
        ASSERT_EQ(bytes.size(), kzr415_image_len(reg));
        std::copy(bytes.begin(), bytes.end(), dev.image[reg]);
    }
    [[nodiscard]] Bytes images() const {
        Bytes all;
        for (unsigned reg = 0; reg < KZR415_REGISTERS; ++reg) {
            const auto one = image(reg);
            all.insert(all.end(), one.begin(), one.end());
        }
        return all;
    }
    void write(Bytes bytes) { kzr415_device_write(&dev, bytes.data(), bytes.size()); }
    // Reads `len` bytes into a buffer with guard bytes after them, which must stay.
    Bytes read(std::size_t len) {
        Bytes buffer(len + 4, 0x5A);
        kzr415_device_read(&dev, buffer.data(), len);
        EXPECT_EQ(Bytes(buffer.begin() + static_cast<long>(len), buffer.end()), Bytes(4, 0x5A));
        buffer.resize(len);
        return buffer;
    }
    int transfer(std::vector<i2c_msg> messages) {
        return kzr415_transfer(&dev, messages.data(), messages.size());
    }
};

TEST_F(DeviceCore, AWriteWithDataToTheTemperatureRegisterStoresNothingAnywhere) {
    const Bytes before = images();
    write({0x00, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0x11});
    EXPECT_EQ(images(), before);
    EXPECT_EQ(dev.pointer, KZR415_TEMPERATURE); // the pointer is set all the same
    EXPECT_EQ(read(KZR415_TEMPERATURE_LEN), image(KZR415_TEMPERATURE));
}

TEST_F(DeviceCore, AnAddressOnlyWriteLeavesThePointerWhereItWas) {
    write({0x02});
    // A zero-length message whose buffer would name another register if it were read.
    std::uint8_t stale = 0x00;
    kzr415_device_write(&dev, &stale, 0);
    EXPECT_EQ(dev.pointer, KZR415_T_LOW);
    i2c_msg quick{0x48, 0, 0, &stale};
    EXPECT_EQ(transfer({quick}), 1);
    EXPECT_EQ(dev.pointer, KZR415_T_LOW);
    EXPECT_EQ(read(6), image(KZR415_T_LOW));
}

TEST_F(DeviceCore, WritesStoreUpToTheImageAndReadsFillExactlyTheirLength) {
    write({0x01, 0x18});
    EXPECT_EQ(image(KZR415_CONFIGURATION), (Bytes{0x18, 0x1C}));
    write({0x01, 0x20, 0x21, 0x22, 0x23}); // past the image: dropped
    EXPECT_EQ(image(KZR415_CONFIGURATION), (Bytes{0x20, 0x21}));
    EXPECT_EQ(read(5), (Bytes{0x20, 0x21, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(read(1), (Bytes{0x20}));
    EXPECT_EQ(read(0), Bytes{});
    const Bytes before = images();
    for (const int unknown : {0x04, 0x7F, 0xFF}) {
        write({static_cast<std::uint8_t>(unknown), 0x01, 0x02});
        EXPECT_EQ(read(3), Bytes(3, 0xFF));
    }
    EXPECT_EQ(images(), before);
}

TEST_F(DeviceCore, OnlyItsOwnSevenBitAddressIsAcknowledged) {
    std::array<std::uint8_t, 2> buffer{0x01, 0x99};
    EXPECT_EQ(transfer({{0x49, 0, 2, buffer.data()}}), -ENXIO);
    EXPECT_EQ(transfer({{0x48, I2C_M_TEN, 2, buffer.data()}}), -ENXIO);
    // A NACK part-way through a transfer keeps what the messages before it did.
    EXPECT_EQ(transfer({{0x48, 0, 2, buffer.data()}, {0x50, I2C_M_RD, 1, buffer.data()}}), -ENXIO);
    EXPECT_EQ(dev.image[KZR415_CONFIGURATION][0], 0x99);
    dev.absent = true;
    EXPECT_EQ(transfer({{0x48, 0, 1, buffer.data()}}), -ENXIO);
    EXPECT_EQ(dev.transfers, 4U);
}

TEST_F(DeviceCore, ABlockReadTakesItsCountFromTheFirstByte) {
    write({0x02});
    set(KZR415_T_LOW, {0x03, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E});
    std::array<std::uint8_t, 1 + I2C_SMBUS_BLOCK_MAX> buffer{};
    std::vector<i2c_msg> messages{{0x48, I2C_M_RD | I2C_M_RECV_LEN, 1, buffer.data()}};
    ASSERT_EQ(kzr415_transfer(&dev, messages.data(), 1), 1);
    EXPECT_EQ(messages[0].len, 4);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 5), (Bytes{0x03, 0x0A, 0x0B, 0x0C, 0x00}));
    for (const std::uint8_t count : {std::uint8_t{0x00}, std::uint8_t{0x21}}) {
        dev.image[KZR415_T_LOW][0] = count;
        messages[0].len = 1;
        EXPECT_EQ(kzr415_transfer(&dev, messages.data(), 1), -EPROTO);
    }
}

// Sets the device's setting `index` of the table from `text`: what kzr415_setting_parse gives.
int set_setting(kzr415_device &dev, int index, std::string_view text) {
    return kzr415_setting_parse(&dev, &kzr415_settings[index], text.data(), text.size());
}

// The device's setting `index` as text.
std::string setting_text(const kzr415_device &dev, int index) {
    std::array<char, 64> text{};
    const int length =
        kzr415_setting_format(text.data(), text.size(), &dev, &kzr415_settings[index]);
    return {text.data(), static_cast<std::size_t>(std::max(length, 0))};
}

TEST_F(DeviceCore, TheFaultPlanCountsTransfersOverTheWholeRun) {
    std::uint8_t pointer = 0x01;
    const i2c_msg message{0x48, 0, 1, &pointer};
    ASSERT_EQ(set_setting(dev, KZR415_SETTING_fail, "3:EPROTO"), 0);
    EXPECT_EQ(transfer({message}), 1);
    EXPECT_EQ(transfer({message}), 1);
    EXPECT_EQ(transfer({message}), -EPROTO);
    EXPECT_EQ(transfer({message}), 1);
    // A plan written during the run counts from the run's start: transfer 5 is next.
    ASSERT_EQ(set_setting(dev, KZR415_SETTING_fail, "5+:71"), 0);
    EXPECT_EQ(transfer({message}), -EPROTO);
    EXPECT_EQ(transfer({message}), -EPROTO);
    EXPECT_EQ(dev.transfers, 6U);
    dev.transfers = 0; // a new run
    EXPECT_EQ(transfer({message}), 1);
}

int parse_errno(std::string_view text) {
    return kzr415_parse_errno(text.data(), text.size());
}

TEST(DeviceCoreControls, ErrnoByAnyNameOrNumberOfTheCLibrary) {
    // The one table names exactly what the C library names, number for number.
    for (int error = -5; error < 600; ++error) {
        const char *ours = kzr415_errno_name(error);
        const char *system = error > 0 ? strerrorname_np(error) : nullptr;
        ASSERT_EQ(ours == nullptr, system == nullptr) << error;
        if (ours != nullptr) {
            EXPECT_STREQ(ours, system);
            EXPECT_EQ(parse_errno(ours), error);
            EXPECT_EQ(parse_errno(std::to_string(error)), error);
        } else {
            EXPECT_EQ(parse_errno(std::to_string(error)), 0) << error;
        }
    }
    EXPECT_EQ(parse_errno("EPROTO"), EPROTO);
    EXPECT_EQ(parse_errno("0x47"), EPROTO);
    EXPECT_EQ(parse_errno("EWOULDBLOCK"), EAGAIN);
    EXPECT_EQ(parse_errno("ENOTSUP"), EOPNOTSUPP);
    for (const char *bad : {"", "eio", "EIO ", "E", "EFOO", "0", "-5", "+5", "071x", "EIOX"}) {
        EXPECT_EQ(parse_errno(bad), 0) << bad;
    }
}

TEST(DeviceCoreControls, FaultPlansAreRefusedWhole) {
    kzr415_device dev{};
    dev.fault = {7, 5, true};
    EXPECT_EQ(set_setting(dev, KZR415_SETTING_fail, "0x10+:EIO"), 0);
    EXPECT_EQ(dev.fault.transfer, 16U);
    EXPECT_EQ(dev.fault.error, EIO);
    EXPECT_TRUE(dev.fault.onwards);
    for (const char *bad : {"", "3", "3:", ":EIO", "+:EIO", "0:EIO", "3++:EIO", "-1:EIO", "3 :EIO",
                            "4294967296:EIO", "3:EIO:EIO", "3:41"}) {
        EXPECT_EQ(set_setting(dev, KZR415_SETTING_fail, bad), -EINVAL) << bad;
    }
    EXPECT_EQ(dev.fault.transfer, 16U); // untouched by a refused plan
    // Written back as it is read, by name: what the state file and the module give.
    for (const char *plan : {"16+:EIO", "3:EPROTO", "4294967295:EHWPOISON"}) {
        ASSERT_EQ(set_setting(dev, KZR415_SETTING_fail, plan), 0);
        EXPECT_EQ(setting_text(dev, KZR415_SETTING_fail), plan);
    }
    // No plan: "none", or "0" as the module takes it.
    for (const char *none : {"none", "0"}) {
        ASSERT_EQ(set_setting(dev, KZR415_SETTING_fail, none), 0);
        EXPECT_EQ(setting_text(dev, KZR415_SETTING_fail), "none");
    }
}

TEST(DeviceCoreControls, HexImagesTakeBlanksOrCommasBetweenBytes) {
    kzr415_device dev{};
    EXPECT_EQ(set_setting(dev, KZR415_SETTING_configuration, " 03,0x20\n"), 0);
    EXPECT_EQ(setting_text(dev, KZR415_SETTING_configuration), "03 20");
    EXPECT_EQ(set_setting(dev, KZR415_SETTING_t_low, "3 f ff\t0X0a 0 0"), 0);
    EXPECT_EQ(setting_text(dev, KZR415_SETTING_t_low), "03 0f ff 0a 00 00");
    for (const char *bad :
         {"", "03 20 00", "03", "03 100", "03 0x", "03 g0", "03 -1", "03;20", "03,,,20,01"}) {
        EXPECT_EQ(set_setting(dev, KZR415_SETTING_configuration, bad), -EINVAL) << bad;
    }
    EXPECT_EQ(setting_text(dev, KZR415_SETTING_configuration), "03 20"); // as it was
}

// Every setting's default reads back as the table writes it (the temperature image's are the
// degrees of kzr-415-sim's default: sim-model-test).
TEST(DeviceCoreControls, ANewDeviceHoldsEachSettingAsTheTableGivesIt) {
    kzr415_device dev{};
    kzr415_device_init(&dev);
    for (const auto &setting : kzr415_settings) {
        SCOPED_TRACE(setting.name);
        if (setting.kind != KZR415_KIND_DEGREES) {
            EXPECT_EQ(setting_text(dev, static_cast<int>(&setting - kzr415_settings)),
                      setting.value);
        }
    }
    EXPECT_EQ(dev.in_degrees, 0U); // degrees are user space's to set
}

} // namespace
} // namespace kzr415::test
