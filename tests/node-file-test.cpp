// The node as the character device it is, in a program of its own on the preloaded bus
// (tests/node-file-probe.c): the calls i2c-dev's node refuses, its status, readv and writev,
// fopen, symbolic links and O_PATH; and where the bus's diagnostics go once the program has
// put a file of its own at descriptor 2.
#include "program-run.hpp"

#include <gtest/gtest.h>

#include <string>

namespace kzr415::test {
namespace {

RunResult probe(const std::string &scenario, const std::string &file = "",
                const Environment &environment = {},
                const std::string &program = KZR415_NODE_FILE_PROBE_PATH) {
    return run_on_emulated_bus(program, environment, {scenario, file});
}

void expect_clean_run(const RunResult &result) {
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
}

TEST(NodeFile, RefusesSeekMapTruncateAndSyncAsACharacterDeviceAcrossExec) {
    expect_clean_run(probe("refused-calls"));
    expect_clean_run(probe("refused-calls", "", {}, KZR415_NODE_FILE_PROBE_LARGE_TYPES_PATH));
}

TEST(NodeFile, ReadvAndWritevMoveOneMessagePerBuffer) {
    expect_clean_run(probe("vectors"));
}

TEST(NodeFile, FopenSymbolicLinksAndOPathReachTheNodeAsTheKernelsWould) {
    const TemporaryFolder folder;
    expect_clean_run(probe("other-ways", folder.path()));
}

// A state file that is a folder: every transfer fails, and the bus tells why.
class NodeDiagnostics : public testing::Test {
  protected:
    TemporaryFolder folder;
    Environment failing{{"KZR415_SIM_STATE", folder.path()}};
};

TEST_F(NodeDiagnostics, GoToTheStandardErrorTheProgramStartedWith) {
    const auto result = probe("failed-transfer", "", failing);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "kzr-415 emulated bus: state file " + folder.path() +
                              ": cannot lock: Is a directory\n");
}

TEST_F(NodeDiagnostics, NeverLandInAFileTheProgramPutAtDescriptorTwo) {
    const TemporaryPath output("node-file-output");
    EXPECT_EQ(probe("reused-standard-error", output.path(), failing).status, 0);
    EXPECT_EQ(output.read(), "EIO\n");
}

TEST(NodeTrace, ToStandardErrorNeverLandsInAFileTheProgramPutAtDescriptorTwo) {
    const TemporaryPath output("node-file-output");
    const auto result = probe("reused-standard-error", output.path(), {{"KZR415_SIM_TRACE", "-"}});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(output.read(), "transferred\n");
}

} // namespace
} // namespace kzr415::test
