// errno after a failure: the failed transfer's error, or EINVAL for a refused request, even
// when printing the diagnostics fails; after a success: what the caller left there. Here the
// printing goes to /dev/full, where every write fails with ENOSPC, so a library that let its
// printing set errno shows ENOSPC instead.
#include "bus-fixture.hpp"

#include <array>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace kzr415::test {
namespace {

// Points descriptors 1 and 2 at /dev/full, with standard output unbuffered so that puts()
// fails at once, for the life of the object.
class PrintingFails {
  public:
    PrintingFails() {
        std::fflush(stdout);
        std::fflush(stderr);
        const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
        saved_out_ = dup(STDOUT_FILENO);
        saved_err_ = dup(STDERR_FILENO);
        if (full < 0 || saved_out_ < 0 || saved_err_ < 0 || dup2(full, STDOUT_FILENO) < 0 ||
            dup2(full, STDERR_FILENO) < 0) {
            throw std::runtime_error("cannot point the standard streams at /dev/full");
        }
        close(full);
        std::setvbuf(stdout, nullptr, _IONBF, 0);
    }
    PrintingFails(const PrintingFails &) = delete;
    PrintingFails &operator=(const PrintingFails &) = delete;
    ~PrintingFails() {
        std::clearerr(stdout);
        std::clearerr(stderr);
        dup2(saved_out_, STDOUT_FILENO);
        dup2(saved_err_, STDERR_FILENO);
        close(saved_out_);
        close(saved_err_);
        std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    }

  private:
    int saved_out_ = -1;
    int saved_err_ = -1;
};

// A call's result and the errno it left, made while printing fails.
template <class Call>
auto result_and_errno(Call call) {
    const PrintingFails printing;
    errno = 0;
    const auto result = call();
    return std::pair{result, errno};
}

using ErrnoTest = BusTest;

TEST_F(ErrnoTest, AFailedTransferLeavesItsOwnErrorWhateverThePrintingDid) {
    const std::array<std::uint8_t, CONFIGURATION_REG_LENGTH> image{0x1C, 0x1C};
    std::array<std::uint8_t, T_LOW_REG_LENGTH> buffer{};
    fail_transfer(1, ETIMEDOUT);
    EXPECT_EQ(result_and_errno([&] {
                  return kzr_415_write(fd, device_address, CONFIGURATION_REG, image.data(),
                                       CONFIGURATION_REG_LENGTH);
              }),
              std::pair(-1, ETIMEDOUT));
    fail_transfer(2, EREMOTEIO); // the read half, after a good pointer write
    EXPECT_EQ(result_and_errno([&] {
                  return kzr_415_read(fd, device_address, T_LOW_REG, buffer.data(),
                                      T_LOW_REG_LENGTH);
              }),
              std::pair(-1, EREMOTEIO));
}

TEST_F(ErrnoTest, AFailedReadoutLeavesTheTransferErrorNotTheMessageOne) {
    fail_transfer(1, EIO); // the configuration register's pointer write
    EXPECT_EQ(result_and_errno([&] { return temperature_reg_read(fd, device_address, 1); }),
              std::pair(-1.0F, EIO));
    fail_transfer(4, ETIMEDOUT); // the temperature register's read half
    EXPECT_EQ(result_and_errno([&] { return temperature_reg_read(fd, device_address, 2); }),
              std::pair(-1.0F, ETIMEDOUT));
}

TEST_F(ErrnoTest, NoDeviceAtTheAddressIsEnxioThroughEveryLayer) {
    std::array<std::uint8_t, T_HIGH_REG_LENGTH> image{};
    const auto elsewhere = static_cast<std::uint16_t>(device_address + 1);
    EXPECT_EQ(
        result_and_errno([&] { return t_high_reg_control(fd, elsewhere, image.data(), REG_READ); }),
        std::pair(-1, ENXIO));
    EXPECT_EQ(result_and_errno([&] { return alert_mode_set(fd, elsewhere, 1, 0); }),
              std::pair(-1, ENXIO));
}

TEST_F(ErrnoTest, ARefusedRequestIsEinvalWithNoBusTraffic) {
    const std::array<std::uint8_t, 7> seven{};
    EXPECT_EQ(result_and_errno(
                  [&] { return kzr_415_write(fd, device_address, T_LOW_REG, seven.data(), 7); }),
              std::pair(-1, EINVAL));
    EXPECT_EQ(
        result_and_errno([&] { return kzr_415_read(fd, device_address, T_LOW_REG, nullptr, 6); }),
        std::pair(-1, EINVAL));
    EXPECT_EQ(result_and_errno([&] { return alert_mode_set(fd, device_address, 1, 4); }),
              std::pair(-1, EINVAL));
    EXPECT_TRUE(transfers().empty());
    // An unknown channel of the readout is refused after the reads.
    EXPECT_EQ(result_and_errno([&] { return temperature_reg_read(fd, device_address, 3); }),
              std::pair(-1.0F, EINVAL));
}

TEST_F(ErrnoTest, ASuccessLeavesTheCallersErrnoWhateverThePrintingDid) {
    std::array<std::uint8_t, T_LOW_REG_LENGTH> image{};
    const std::vector<std::function<bool()>> successes{
        [&] { return kzr_415_write(fd, device_address, T_LOW_REG, image.data(), 6) == 0; },
        [&] { return kzr_415_read(fd, device_address, T_LOW_REG, image.data(), 6) == 0; },
        [&] { return temperature_reg_read(fd, device_address, 1) == 25.0F; }, // prints
        [&] { return configurature_reg_control(fd, device_address, image.data(), 1) == 0; },
        [&] { return t_low_reg_control(fd, device_address, image.data(), 0) == 0; },
        [&] { return t_high_reg_control(fd, device_address, image.data(), 1) == 0; },
        [&] { return t_high_reg_control(fd, device_address, image.data(), 2) == 0; },
        [&] { return alert_mode_set(fd, device_address, 2, 1) == 0; },
        [&] { return alert_mode_set(fd, device_address, 7, 1) == 0; },
        [&] { return i2c_close(i2c_open("/dev/i2c-4")) == 0; },
    };
    for (std::size_t i = 0; i < successes.size(); ++i) {
        SCOPED_TRACE("call " + std::to_string(i));
        const PrintingFails printing;
        errno = EDOM;
        EXPECT_TRUE(successes[i]());
        EXPECT_EQ(errno, EDOM);
    }
    // i2c_close returns 0 whatever close reports; close's error is then in errno.
    EXPECT_EQ(result_and_errno([] { return i2c_close(1'000'000); }), std::pair(0, EBADF));
}

TEST_F(ErrnoTest, AReadingOfMinusOneIsToldFromAFailureByErrno) {
    set(KZR415_TEMPERATURE, {0xFF, 0xE0, 0x00, 0x02, 0xA0, 0x00}); // -1.0 and 21.0
    EXPECT_EQ(result_and_errno([&] { return temperature_reg_read(fd, device_address, 1); }),
              std::pair(-1.0F, 0));
    fail_transfer(4, EIO);
    EXPECT_EQ(result_and_errno([&] { return temperature_reg_read(fd, device_address, 1); }),
              std::pair(-1.0F, EIO));
}

} // namespace
} // namespace kzr415::test
