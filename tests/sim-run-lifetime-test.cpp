// A kzr-415-sim run's device as programs meet it: transfers and forks from signal handlers,
// privileges dropped after the node is open, a descriptor limit of 4, a trace and a state
// that agree after kills, a grandchild that outlives the run, a state file of another user.
#include "launcher/child-process.hpp"
#include "program-run.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace kzr415::test {
namespace {

const std::string sim_path = KZR415_SIM_PATH;
const std::string transfer_loop = KZR415_TRANSFER_LOOP;
const std::string daemon_like = KZR415_DAEMON_LIKE_PROGRAM;

// A folder of its own for each test, also kzr-415-sim's TMPDIR.
class SimRunLifetime : public ::testing::Test {
  protected:
    [[nodiscard]] std::string path(const std::string &name) const { return folder_.path(name); }
    [[nodiscard]] Environment in_folder() const { return {{"TMPDIR", folder_.path()}}; }
    // The transfers a state file counts.
    [[nodiscard]] std::string counted(const std::string &name) const {
        const std::string text = read_file(path(name));
        const auto at = text.find("\ntransfers ");
        return at == std::string::npos ? text
                                       : text.substr(at + 11, text.find('\n', at + 1) - at - 11);
    }
    const TemporaryFolder folder_;
};

TEST_F(SimRunLifetime, ProgramsThatTransferOrForkFromSignalHandlersRunToTheEnd) {
    // Without the preload these complete; under the run's device they must too.
    for (const char *mode : {"handler-transfers", "handler-forks"}) {
        const auto result = run_program(
            {sim_path, "--state", path("state"), "--", daemon_like, mode, "100"}, in_folder());
        EXPECT_EQ(result.status, 0) << mode << ": " << result.err;
        EXPECT_EQ(result.err, "") << mode;
    }
}

TEST_F(SimRunLifetime, ADescriptorOpenBeforePrivilegesAreDroppedKeepsWorking) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "dropping privileges needs root";
    }
    const auto result =
        run_program({sim_path, "--", daemon_like, "drop-privileges", "5"}, in_folder());
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
}

TEST_F(SimRunLifetime, AStateFileOfAnotherUserStaysTheirs) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "a file of another user needs root";
    }
    write_file(path("state"), "");
    ASSERT_EQ(chown(path("state").c_str(), 65534, 65534), 0);
    const auto result =
        run_program({sim_path, "--state", path("state"), "--", transfer_loop, "3"}, in_folder());
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(counted("state"), "3");
    struct stat info {};
    ASSERT_EQ(stat(path("state").c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, 65534U);
    EXPECT_EQ(info.st_gid, 65534U);
}

TEST_F(SimRunLifetime, AtADescriptorLimitOfFourTransfersNeedNoDescriptor) {
    // The limit set by the program, and by the shell that starts it.
    for (const std::string &command : {daemon_like + " descriptor-limit 10",
                                       "ulimit -Sn 4; " + daemon_like + " descriptor-limit 10"}) {
        const auto result = run_program({sim_path, "--", "sh", "-c", command}, in_folder());
        EXPECT_EQ(result.status, 0) << command << ": " << result.err;
        EXPECT_EQ(result.err, "") << command;
    }
}

TEST_F(SimRunLifetime, ProgramsKilledWhileTransferringLeaveATraceThatMatchesTheState) {
    // Killed at some moment of a transfer, ten times: every transfer the trace shows is one
    // the state counts, and nothing is left beside the state file.
    std::string script;
    for (int i = 0; i < 10; ++i) {
        script += transfer_loop + " 1000000 & sleep 0.05; kill -9 $!; wait; ";
    }
    const auto result = run_program(
        {sim_path, "--state", path("state"), "--trace", path("trace"), "--", "sh", "-c", script},
        in_folder());
    EXPECT_EQ(result.status, 0) << result.err;
    const std::string trace = read_file(path("trace"));
    const auto lines = std::count(trace.begin(), trace.end(), '\n');
    EXPECT_EQ(std::to_string(lines), counted("state"));
    auto names = folder_.entries();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"state", "trace"}));
}

TEST_F(SimRunLifetime, AGrandchildThatOutlivesTheRunIsRefusedAndNothingStays) {
    // The grandchild opens the node while the run goes on and transfers after it ended.
    const auto result =
        run_program({sim_path, "--", "sh", "-c",
                     daemon_like + " after " + path("ended") + " </dev/null >/dev/null 2>&1 &"},
                    in_folder());
    EXPECT_EQ(result.status, 0) << result.err;
    write_file(path("ended"), "");
    std::string out;
    for (int i = 0; i < 6000 && (out = read_file(path("ended.out"))).empty(); ++i) {
        usleep(10000);
    }
    EXPECT_EQ(out, std::to_string(ENODEV) + "\n");
    auto names = folder_.entries();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"ended", "ended.out"}));
}

} // namespace
} // namespace kzr415::test
