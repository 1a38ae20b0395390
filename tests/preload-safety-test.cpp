// The preloaded emulated bus inside a program of its own (tests/preload-probe.c) that does
// to descriptors and pointers what programs do: closing everything, dup2 over the node,
// fclose, copies across fork and exec, forking from a thread during transfers, bad pointers,
// access modes and other spellings of the node's path. The probe checks each answer against
// the kernel's; these tests check what it left behind.
#include "program-run.hpp"

#include <gtest/gtest.h>

#include <string>

namespace kzr415::test {
namespace {

constexpr const char *probe_path = KZR415_PRELOAD_PROBE_PATH;

RunResult probe(const std::string &scenario, const std::string &file = "",
                const Environment &environment = {}) {
    return run_on_emulated_bus(probe_path, environment, {scenario, file});
}

void expect_clean_run(const RunResult &result) {
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    ASSERT_TRUE(result.left_open.has_value()) << "the descriptor check made no report";
    EXPECT_TRUE(result.left_open->empty()) << "left open at exit: " << result.left_open->front();
}

TEST(PreloadDescriptors, ClosingEverythingLeavesTheProgramsFileItsOwn) {
    const TemporaryPath output("probe-output");
    const TemporaryPath trace("probe-trace");
    const auto result =
        probe("close-everything", output.path(), {{"KZR415_SIM_TRACE", trace.path()}});
    expect_clean_run(result);
    EXPECT_EQ(output.read(), "first line\nsecond line\n");
    const auto lines = trace.lines();
    ASSERT_EQ(lines.size(), 4U);
    for (const auto &line : lines) {
        EXPECT_EQ(line.rfind("R 0x48 2 -> [", 0), 0U) << line;
    }
}

TEST(PreloadDescriptors, Dup2OverTheNodeMakesTheNumberTheFiles) {
    const TemporaryPath output("probe-output");
    expect_clean_run(probe("dup2-over-node", output.path()));
    EXPECT_EQ(output.read(), "imp");
}

TEST(PreloadDescriptors, FcloseOfTheNodesStreamClosesTheNode) {
    const TemporaryPath output("probe-output");
    expect_clean_run(probe("fclose-node", output.path()));
    EXPECT_EQ(output.read(), "data");
}

TEST(PreloadDescriptors, CopiesShareTheOpenFileAcrossForkAndExec) {
    expect_clean_run(probe("copies"));
}

TEST(PreloadConcurrency, ForkFromAThreadDuringTransfersLeavesNoChildDeadLocked) {
    const auto result = probe("fork-from-thread");
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
}

TEST(PreloadRequests, BadPointersGiveEfault) {
    expect_clean_run(probe("bad-pointers"));
}

TEST(PreloadRequests, AccessModesAndTenBitMessagesAsOnTheKernel) {
    expect_clean_run(probe("access-modes"));
}

TEST(PreloadRequests, OtherSpellingsOfTheNodesPathAreTheNode) {
    expect_clean_run(probe("paths"));
}

} // namespace
} // namespace kzr415::test
