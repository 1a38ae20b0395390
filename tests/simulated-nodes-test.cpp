// The in-process emulated bus itself: what reconfiguring it leaves behind.
#include "bus-fixture.hpp"

#include <filesystem>
#include <fstream>

#include <unistd.h>

namespace kzr415::test {
namespace {

std::size_t open_descriptors() {
    const std::filesystem::directory_iterator fds("/proc/self/fd");
    return static_cast<std::size_t>(std::distance(begin(fds), end(fds)));
}

// The trace is opened for each line and closed again: configuring it, reconfiguring it and
// tracing transfers leave the program's descriptors as they were.
TEST(SimulatedNodes, TheTraceHoldsNoDescriptor) {
    const std::string trace_path =
        ::testing::TempDir() + "kzr415-simulated-nodes-trace-" + std::to_string(getpid());
    std::filesystem::remove(trace_path);
    const auto before = open_descriptors();
    sim::SimConfig config;
    config.trace = trace_path;
    for (int i = 0; i < 3; ++i) {
        sim::configure(config);
    }
    EXPECT_EQ(open_descriptors(), before);

    std::uint8_t pointer = 0x01;
    i2c_msg message{0x48, 0, 1, &pointer};
    EXPECT_EQ(sim::bus().rdwr(i2c_rdwr_ioctl_data{&message, 1}), 1);
    EXPECT_EQ(sim::bus().rdwr(i2c_rdwr_ioctl_data{&message, 1}), 1);
    EXPECT_EQ(open_descriptors(), before);
    std::ifstream trace(trace_path);
    std::string line;
    int lines = 0;
    while (std::getline(trace, line)) {
        EXPECT_EQ(line, "W 0x48 [01]");
        ++lines;
    }
    EXPECT_EQ(lines, 2);
    sim::configure(sim::SimConfig{});
    std::filesystem::remove(trace_path);
}

} // namespace
} // namespace kzr415::test
