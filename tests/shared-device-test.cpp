// The bus's locking and a run's shared device on their own: a signal handler that transfers
// or forks while the bus is held, a holder that dies holding the run's lock, a run that has
// ended, a count at its largest value, the state file's owner and its file beside it.
#include "bus/emulated-bus.hpp"
#include "bus/shared-device.hpp"
#include "program-run.hpp"
#include "test-emulator.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>
#include <string_view>

#include <pthread.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kzr415::test {
namespace {

namespace fs = std::filesystem;

// One combined transfer on `bus`: the pointer written, the configuration register read.
int transfer(sim::EmulatedBus &bus) {
    std::uint8_t pointer = 0x01;
    std::array<std::uint8_t, 2> bytes{};
    std::array<i2c_msg, 2> messages{{{0x48, 0, 1, &pointer}, {0x48, I2C_M_RD, 2, bytes.data()}}};
    const i2c_rdwr_ioctl_data request{messages.data(), 2};
    return bus.rdwr(request);
}

// Raises a signal while the bus serves the transfer, its lock held: what a timer's signal
// that arrives in the middle of a transfer does.
class RaisingResponder final : public sim::TransferResponder {
  public:
    int respond(unsigned number, std::span<i2c_msg> messages) override {
        (void)number;
        if (raise_next_) {
            raise_next_ = false;
            std::raise(SIGUSR1);
        }
        return static_cast<int>(messages.size());
    }
    bool raise_next_ = false;
};

// For the handlers, which can reach nothing else.
sim::EmulatedBus *handler_bus =
    nullptr; // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)
volatile sig_atomic_t handler_result =
    0; // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

// Runs `body` in a child process, whose end (status 0: passed) it waits for: a body that
// dead-locks is ended after a minute, which fails.
int in_child(void (*body)()) {
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(60);
        body();
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void transfer_and_raise(sim::EmulatedBus &bus, RaisingResponder &responder, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigaction(SIGUSR1, &action, nullptr);
    bus.set_responder(&responder);
    handler_bus = &bus;
    responder.raise_next_ = true;
    const int result = transfer(bus);
    // The handler ran once the transfer let the bus go, and its own call succeeded.
    _exit(result == 2 && handler_result == 1 ? 0 : 1);
}

TEST(BusLocking, ASignalHandlerThatTransfersRunsWhenTheTransferEnds) {
    if (std::string_view(KZR415_EMULATOR).size() != 0) {
        GTEST_SKIP() << "fork under the user-mode emulator";
    }
    EXPECT_EQ(in_child([] {
                  static sim::EmulatedBus bus;
                  static RaisingResponder responder;
                  transfer_and_raise(bus, responder, [](int) {
                      handler_result = transfer(*handler_bus) == 2 ? 1 : 2;
                  });
              }),
              0);
}

TEST(BusLocking, ASignalHandlerThatForksRunsWhenTheTransferEnds) {
    if (std::string_view(KZR415_EMULATOR).size() != 0) {
        GTEST_SKIP() << "fork under the user-mode emulator";
    }
    EXPECT_EQ(in_child([] {
                  static sim::EmulatedBus bus;
                  static RaisingResponder responder;
                  pthread_atfork([] { bus.hold_for_fork(); }, [] { bus.release_after_fork(); },
                                 [] { bus.release_after_fork(); });
                  transfer_and_raise(bus, responder, [](int) {
                      const pid_t child = fork();
                      if (child == 0) { // the child's bus is free too
                          _exit(transfer(*handler_bus) == 2 ? 0 : 1);
                      }
                      int status = 1;
                      waitpid(child, &status, 0);
                      handler_result = WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 1 : 2;
                  });
              }),
              0);
}

class SharedDeviceFolder : public ::testing::Test {
  protected:
    [[nodiscard]] std::string path(const std::string &name) const { return folder_.path(name); }
    const TemporaryFolder folder_;
};

TEST_F(SharedDeviceFolder, ALockHolderThatDiesLeavesTheCurrentDeviceToTheNext) {
    if (std::string_view(KZR415_EMULATOR).size() != 0) {
        GTEST_SKIP() << "fork under the user-mode emulator";
    }
    std::string error;
    sim::Device device = sim::new_device();
    device.transfers = 7;
    ASSERT_TRUE(sim::create_shared_device(path("device"), device, error)) << error;
    // Holders that end holding the lock: one still a zombie when the next comes, one reaped.
    for (const bool reaped : {false, true}) {
        const pid_t pid = fork();
        if (pid == 0) {
            sim::SharedDevice held;
            sim::Device seen = sim::new_device();
            sim::TracePlace trace;
            _exit(held.attach(path("device")) && held.lock(seen, trace) ? 0 : 1);
        }
        int status = 0;
        if (reaped) {
            ASSERT_EQ(waitpid(pid, &status, 0), pid);
        } else { // ended, not yet waited for
            siginfo_t info{};
            ASSERT_EQ(waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT), 0);
        }
        sim::EmulatedBus bus;
        bus.set_device_file(path("device"));
        EXPECT_EQ(transfer(bus), 2);
        if (!reaped) {
            ASSERT_EQ(waitpid(pid, &status, 0), pid);
        }
        EXPECT_EQ(status, 0);
    }
    const auto ended = sim::end_shared_device(path("device"));
    ASSERT_TRUE(ended);
    EXPECT_EQ(ended->device.transfers, 9U);
}

TEST_F(SharedDeviceFolder, ARunThatHasEndedRefusesTransfersAndLeavesNothing) {
    std::string error;
    ASSERT_TRUE(sim::create_shared_device(path("device"), sim::new_device(), error)) << error;
    sim::EmulatedBus outliving; // mapped while the run went on
    outliving.set_device_file(path("device"));
    EXPECT_EQ(transfer(outliving), 2);
    const auto ended = sim::end_shared_device(path("device"));
    ASSERT_TRUE(ended);
    EXPECT_EQ(ended->device.transfers, 1U);
    EXPECT_EQ(transfer(outliving), -ENODEV);
    sim::EmulatedBus later; // started after the run
    later.set_device_file(path("device"));
    EXPECT_EQ(transfer(later), -ENODEV);
    EXPECT_TRUE(folder_.entries().empty());
    // Nor is a file of another kind taken for a device.
    write_file(path("device"), std::string(64, 'x'));
    sim::SharedDevice other;
    EXPECT_FALSE(other.attach(path("device")));
    EXPECT_EQ(errno, EPROTO);
}

TEST(TransferCount, StopsAtItsLargestValue) {
    sim::Device device = sim::new_device();
    device.transfers = std::numeric_limits<unsigned>::max() - 1;
    device.fault = {1, EIO, false}; // transfer 1 fails: never again after the count is full
    sim::EmulatedBus bus(device);
    EXPECT_EQ(transfer(bus), 2);
    EXPECT_EQ(transfer(bus), 2);
    EXPECT_EQ(bus.transfer_count(), std::numeric_limits<unsigned>::max());
}

TEST_F(SharedDeviceFolder, AStateFileKeepsItsOwnerAndOneFileAKilledStoreLeft) {
    write_file(path("state"), "");
    write_file(path(".state.new"), "left by a process killed while storing");
    const bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(chown(path("state").c_str(), 65534, 65534), 0);
    }
    sim::StateFile file(path("state"));
    sim::Device device = sim::new_device();
    bool was_empty = false;
    ASSERT_TRUE(file.lock() && file.load(device, was_empty) && file.store(device))
        << std::strerror(errno);
    file.unlock();
    EXPECT_EQ(folder_.entries(), std::vector<std::string>{"state"});
    struct stat info {};
    ASSERT_EQ(stat(path("state").c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, root ? 65534U : geteuid());
}

} // namespace
} // namespace kzr415::test
