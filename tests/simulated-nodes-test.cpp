// The in-process emulated bus itself: what reconfiguring it leaves behind.
#include "bus-fixture.hpp"

#include <filesystem>
#include <fstream>

namespace kzr415::test {
namespace {

std::size_t open_descriptors() {
    const std::filesystem::directory_iterator fds("/proc/self/fd");
    return static_cast<std::size_t>(std::distance(begin(fds), end(fds)));
}

TEST(SimulatedNodes, ReconfiguringClosesThePreviousTrace) {
    const std::string trace_path = ::testing::TempDir() + "kzr415-simulated-nodes-trace";
    sim::SimConfig config;
    config.trace = trace_path;
    sim::configure(config);
    const auto before = open_descriptors();
    for (int i = 0; i < 3; ++i) {
        sim::configure(config);
    }
    EXPECT_EQ(open_descriptors(), before);

    config.trace.clear();
    sim::configure(config);
    EXPECT_EQ(open_descriptors(), before - 1);
    std::filesystem::remove(trace_path);
}

} // namespace
} // namespace kzr415::test
