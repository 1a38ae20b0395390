// kzr-415-sim never lets a program run without the emulated bus, never touches a file that
// is not a state file of its own kind, refuses what it cannot use before anything is
// changed, keeps one transfer count for every run sharing a state file, and passes signals
// on: each case as a user's program or command line met it.
#include "launcher/child-process.hpp"
#include "program-run.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kzr415::test {
namespace {

namespace fs = std::filesystem;

const std::string sim_path = KZR415_SIM_PATH;
const std::string preload = KZR415_SIM_PRELOAD;
const std::string tool = KZR415_TOOL_PATH;
const std::string transfer_loop = KZR415_TRANSFER_LOOP;
const std::string preload_probe = KZR415_PRELOAD_PROBE_PATH;

// A folder of its own for each test, also kzr-415-sim's TMPDIR.
class SimSafety : public ::testing::Test {
  protected:
    [[nodiscard]] std::string path(const std::string &name) const { return folder_.path(name); }
    [[nodiscard]] std::vector<std::string> entries() const { return folder_.entries(); }
    static std::string read(const std::string &path) { return read_file(path); }
    static void write(const std::string &path, const std::string &text) { write_file(path, text); }

    // kzr-415-sim with `arguments`, then a program that leaves a marker file when it runs.
    RunResult refused_run(const std::vector<std::string> &arguments,
                          const Environment &environment = {}) {
        std::vector<std::string> argv{sim_path};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        argv.insert(argv.end(), {"--", "touch", path("marker")});
        return run_program(argv, environment);
    }

    // Expects kzr-415-sim to refuse with `line` and status 2, the program not started.
    void expect_refused(const RunResult &result, const std::string &line) {
        EXPECT_EQ(result.err, "kzr-415-sim: " + line + "\n");
        EXPECT_EQ(result.status, 2) << line;
        EXPECT_FALSE(fs::exists(path("marker"))) << line;
    }

    const TemporaryFolder folder_; // also kzr-415-sim's TMPDIR
};

TEST_F(SimSafety, APreloadThatCannotBeLoadedIsRefusedBeforeTheProgramStarts) {
    expect_refused(refused_run({"--preload", "/etc/passwd"}),
                   "bad value for --preload: '/etc/passwd' (not an ELF shared library)");
    expect_refused(refused_run({}, {{"KZR415_SIM_PRELOAD", "/etc/hostname"}}),
                   "bad value for KZR415_SIM_PRELOAD: '/etc/hostname' (not an ELF shared library)");
    // LD_PRELOAD splits a path at blanks and colons: the real preload under such names.
    for (const std::string name : {"with space", "with:colon"}) {
        fs::create_directory(path(name));
        fs::copy_file(preload, path(name) + "/bus.so");
        expect_refused(refused_run({"--preload", path(name) + "/bus.so"}),
                       "bad value for --preload: '" + path(name) +
                           "/bus.so' (LD_PRELOAD splits a path at ':' and blanks)");
    }
    // kzr-415-sim installed under a folder with a space finds its preload there, and refuses.
    fs::create_directory(path("in stall"));
    fs::copy_file(sim_path, path("in stall/kzr-415-sim"));
    fs::copy_file(preload, path("in stall/libkzr-415-sim-bus.so"));
    fs::permissions(path("in stall/kzr-415-sim"), fs::perms::owner_all);
    const auto installed =
        run_program({path("in stall/kzr-415-sim"), "--", "touch", path("marker")});
    expect_refused(installed, "cannot use the preload: '" + path("in stall") +
                                  "/./libkzr-415-sim-bus.so' (LD_PRELOAD splits a path at ':' "
                                  "and blanks)");
}

TEST_F(SimSafety, ASharedLibraryThatIsNotTheBusIsRefusedBeforeTheProgramStarts) {
    std::vector<std::string> libraries{KZR415_DRIVER_LIBRARY, KZR415_OTHER_LIBRARY};
    for (const std::string system :
         {"/usr/lib/x86_64-linux-gnu/libz.so.1", "/lib/x86_64-linux-gnu/libc.so.6"}) {
        if (fs::exists(system)) {
            libraries.push_back(system);
        }
    }
    for (const auto &library : libraries) {
        expect_refused(refused_run({"--preload", library}),
                       "bad value for --preload: '" + library +
                           "' (a shared library, but not the emulated bus)");
    }
}

TEST_F(SimSafety, ADamagedCopyOfThePreloadIsRefusedWithOneLine) {
    const std::string whole = read(preload);
    ASSERT_GT(whole.size(), 4096U);
    const bool wide = whole[EI_CLASS] == ELFCLASS64;
    // Section header table offset, entry size and count, in the preload's own layout
    // (little-endian: the byte order of every machine the project builds for).
    const std::size_t table_at = wide ? 40 : 32;
    const std::size_t entry_size_at = wide ? 58 : 46;
    const auto store = [](std::string &bytes, std::size_t at, std::uint64_t value,
                          std::size_t size) {
        for (std::size_t i = 0; i < size; ++i) {
            bytes[at + i] = static_cast<char>(value >> (8 * i) & 0xff);
        }
    };
    const std::vector<std::pair<std::string, std::function<void(std::string &)>>> damages{
        {"header only", [](std::string &b) { b.resize(64); }},
        {"cut at 4096", [](std::string &b) { b.resize(4096); }},
        {"cut in half", [](std::string &b) { b.resize(b.size() / 2); }},
        {"last byte gone", [](std::string &b) { b.pop_back(); }},
        {"table far away",
         [&](std::string &b) { store(b, table_at, std::uint64_t{1} << 62, wide ? 8 : 4); }},
        {"table past the end",
         [&](std::string &b) { store(b, table_at, b.size() - 8, wide ? 8 : 4); }},
        {"entries too small", [&](std::string &b) { store(b, entry_size_at, 8, 2); }},
        {"a table of 4 GiB",
         [&](std::string &b) {
             store(b, entry_size_at, 0xffff, 2);
             store(b, entry_size_at + 2, 0xffff, 2);
         }},
    };
    const std::string copy = path("bus.so");
    for (const auto &[what, change] : damages) {
        SCOPED_TRACE(what);
        std::string bytes = whole;
        change(bytes);
        std::ofstream(copy, std::ios::binary | std::ios::trunc) << bytes;
        expect_refused(refused_run({"--preload", copy}),
                       "bad value for --preload: '" + copy + "' (a damaged or truncated ELF file)");
    }
    // The intact copy is the bus: the same check lets it through.
    std::ofstream(copy, std::ios::binary | std::ios::trunc) << whole;
    const auto intact = run_program({sim_path, "--preload", copy, "--", "true"});
    EXPECT_EQ(intact.err, "");
    EXPECT_EQ(intact.status, 0);
}

TEST_F(SimSafety, AProgramTheBusDoesNotReachIsEndedAndTheRunFails) {
    // A statically linked program loads no preload at all: refused before it starts.
    if (fs::exists("/sbin/ldconfig")) {
        const auto linked = run_program({sim_path, "--", "/sbin/ldconfig", "-p"});
        EXPECT_EQ(linked.err, "kzr-415-sim: /sbin/ldconfig: statically linked: no preload "
                              "reaches it\n");
        EXPECT_EQ(linked.status, 2);
        EXPECT_EQ(linked.out, "");
    }
    // A shared library that carries the bus's marker but is not the bus: no word from it,
    // so the program is ended and the run fails with status 2, whatever the program did.
    const auto other =
        run_program({sim_path, "--preload", KZR415_BUS_IMPOSTOR, "--", "sh", "-c", "exit 0"});
    EXPECT_EQ(other.err, "kzr-415-sim: the emulated bus was not loaded into sh (ended it)\n");
    EXPECT_EQ(other.status, 2);
    // Where the bus is loaded, the program sees neither the pipe nor the variable that told
    // kzr-415-sim so: the same descriptors as a shell started directly. The shell lists its
    // own descriptors by a glob, in its own process (a pipeline would list the pipe it is
    // setting up, or not, as the processes happen to run); the glob's reading of the folder
    // adds one descriptor to both lists alike.
    const std::string list = "cd /proc/self/fd && echo *; echo ${KZR415_SIM_HANDSHAKE-none}";
    const auto direct = run_program({"sh", "-c", list});
    const auto wrapped = run_program({sim_path, "--", "sh", "-c", list});
    EXPECT_EQ(wrapped.out, direct.out);
    EXPECT_EQ(wrapped.status, 0);
}

TEST_F(SimSafety, OnlyARegularStateFileIsTakenNeverThroughALink) {
    expect_refused(refused_run({"--state", "/dev/zero"}),
                   "bad value for --state: '/dev/zero' (not a regular file)");
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    expect_refused(refused_run({"--state", path("fifo")}),
                   "bad value for --state: '" + path("fifo") + "' (not a regular file)");
    expect_refused(refused_run({"--state", folder_.path()}),
                   "bad value for --state: '" + folder_.path() + "' (Is a directory)");
    // Planted where the state file will be created: its target is not created.
    ASSERT_EQ(symlink(path("target").c_str(), path("state").c_str()), 0);
    expect_refused(refused_run({"--state", path("state")}),
                   "bad value for --state: '" + path("state") +
                       "' (Too many levels of symbolic links)");
    EXPECT_FALSE(fs::exists(path("target")));
}

TEST_F(SimSafety, AStateFileWithANameMissingOrTwiceIsRefused) {
    const auto made = run_program({sim_path, "-s", path("good"), "--", "true"});
    ASSERT_EQ(made.status, 0) << made.err;
    const std::string whole = read(path("good"));
    ASSERT_NE(whole.find("\ntransfers 0\n"), std::string::npos) << whole;
    // Left by storing in place and truncating, killed between the two.
    write(path("twice"), whole + "transfers 2\n");
    write(path("missing"), whole.substr(0, whole.find("transfers")));
    for (const char *name : {"twice", "missing"}) {
        expect_refused(refused_run({"--state", path(name)}),
                       "bad value for --state: '" + path(name) +
                           "' (not a kzr-415-sim state file)");
    }
}

TEST_F(SimSafety, TwentyRunsSharingAStateFileCountEveryTransfer) {
    // Started together, each run's start must not set the count back: 20 x 1000 transfers.
    std::vector<pid_t> runs;
    for (int i = 0; i < 20; ++i) {
        const auto options =
            test_child({sim_path, "-s", path("state"), "--", transfer_loop, "1000"});
        pid_t pid = 0;
        ASSERT_EQ(sim::start_child(options, pid), 0);
        runs.push_back(pid);
    }
    for (const pid_t pid : runs) {
        EXPECT_EQ(sim::wait_for_child(pid), 0);
    }
    EXPECT_NE(read(path("state")).find("\ntransfers 20000\n"), std::string::npos)
        << read(path("state"));
    EXPECT_EQ(entries(), std::vector<std::string>{"state"});
    // A fault counts the transfers of every run: the next run's first is the 20001st.
    const auto faulted = run_program(
        {sim_path, "-s", path("state"), "--fail", "20001:EIO", "--", transfer_loop, "1"});
    EXPECT_EQ(faulted.err, "I2C_RDWR: Input/output error\n");
    EXPECT_EQ(faulted.status, 1);
}

TEST_F(SimSafety, ProgramsKilledInTheMiddleOfTransfersLeaveAWholeStateAndNothingElse) {
    // Killed at some moment of a transfer, ten times: the next program finds the device
    // whole and free each time, and nothing of the run stays once it ends.
    const std::string loop = transfer_loop + " 1000000 & sleep 0.05; kill -9 $!; wait; ";
    std::string script;
    for (int i = 0; i < 10; ++i) {
        script += loop + transfer_loop + " 1 || exit 1; ";
    }
    const auto result =
        run_program({sim_path, "--", "sh", "-c", script}, {{"TMPDIR", folder_.path()}});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(entries().empty());
}

// A program that closes every descriptor it did not open, then opens the node and a file of
// its own, under a shared state file and a trace: its file holds what it wrote, and the state
// file and the trace each see every transfer.
TEST_F(SimSafety, AProgramClosingEverythingKeepsItsFileAndTheStateAndTraceTheirs) {
    const auto result = run_program({sim_path, "--state", path("state"), "--trace", path("trace"),
                                     "--", preload_probe, "close-everything", path("output")});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(read(path("output")), "first line\nsecond line\n");
    EXPECT_NE(read(path("state")).find("\ntransfers 4\n"), std::string::npos)
        << read(path("state"));
    const std::string line = "R 0x48 2 -> [03 20]\n";
    EXPECT_EQ(read(path("trace")), line + line + line + line);
}

TEST_F(SimSafety, EnvironmentValuesAreCheckedAsTheCommandLinesAre) {
    // A flag is 1 or absent; the bus refuses any other value before the program's first
    // transfer, as it does every bad value.
    for (const char *value : {"no", "false", "", "0", "yes"}) {
        for (const char *flag : {"KZR415_SIM_NO_DEVICE", "KZR415_SIM_NO_NODE"}) {
            const auto result = run_on_emulated_bus(tool, {{flag, value}});
            EXPECT_EQ(result.err, std::string("kzr-415 emulated bus: bad value for ") + flag +
                                      ": '" + value + "'\n");
            EXPECT_EQ(result.status, 2) << flag << "=" << value;
        }
    }
    const auto on = run_on_emulated_bus(tool, {{"KZR415_SIM_NO_DEVICE", "1"}});
    EXPECT_NE(on.err.find("No such device or address"), std::string::npos) << on.err;
    EXPECT_EQ(run_on_emulated_bus(tool, {{"KZR415_SIM_FAIL", "1:99999"}}).err,
              "kzr-415 emulated bus: bad value for KZR415_SIM_FAIL: '1:99999'\n");
    EXPECT_EQ(run_on_emulated_bus(tool, {{"KZR415_SIM_TRACE", folder_.path()}}).err,
              "kzr-415 emulated bus: bad value for KZR415_SIM_TRACE: '" + folder_.path() +
                  "' (Is a directory)\n");
    EXPECT_EQ(run_on_emulated_bus(tool, {{"KZR415_SIM_TRACE", path("none/trace")}}).err,
              "kzr-415 emulated bus: bad value for KZR415_SIM_TRACE: '" + path("none/trace") +
                  "' (No such file or directory)\n");
    // A newline in a value stays inside the one line.
    EXPECT_EQ(run_on_emulated_bus(tool, {{"KZR415_SIM_ADDRESS", "0x48\nrm -rf"}}).err,
              "kzr-415 emulated bus: bad value for KZR415_SIM_ADDRESS: '0x48\\nrm -rf'\n");
}

TEST_F(SimSafety, ARefusedRunLeavesFilesAsTheyWere) {
    expect_refused(refused_run({"--trace", folder_.path()}),
                   "bad value for --trace: '" + folder_.path() + "' (Is a directory)");
    expect_refused(refused_run({"--trace", path("none/trace")}),
                   "bad value for --trace: '" + path("none/trace") +
                       "' (No such file or directory)");
    // An errno given by a number the system knows reaches the program by its name.
    const auto numbered = run_program({sim_path, "--fail", "1:12", "--", transfer_loop, "1"});
    EXPECT_EQ(numbered.err, "I2C_RDWR: Cannot allocate memory\n");
    EXPECT_EQ(numbered.status, 1);
    expect_refused(refused_run({"--fail", "1:99999"}),
                   "bad value for --fail: '1:99999' (K:ERRNO or K+:ERRNO, K from 1)");
    expect_refused(refused_run({"-t", "20\n21"}),
                   "bad value for -t: '20\\n21' (degrees Celsius, magnitude below 1024)");
    // The trace of an earlier run stays when this one is refused, and none is created.
    write(path("trace"), "W 0x48 [01]\n");
    expect_refused(refused_run({"--trace", path("trace"), "--state", "/dev/zero"}),
                   "bad value for --state: '/dev/zero' (not a regular file)");
    EXPECT_EQ(read(path("trace")), "W 0x48 [01]\n");
    expect_refused(refused_run({"--trace", path("new-trace"), "--state", "/dev/zero"}),
                   "bad value for --state: '/dev/zero' (not a regular file)");
    EXPECT_FALSE(fs::exists(path("new-trace")));
}

TEST_F(SimSafety, EveryCatchableSignalIsPassedOnAndNothingIsLeft) {
    // Sent while the program runs: it reaches the program, which ends by it; kzr-415-sim
    // ends with the program's status, its temporary state file removed, no program left.
    // Those that dump core too, for which the program writes none; a sanitizer in the
    // program (the asan build's preload) would take the fault signals for its own faults.
    const char *options_given = std::getenv("ASAN_OPTIONS");
    const std::string sanitizer = std::string(options_given != nullptr ? options_given : "") +
                                  ":handle_segv=0:handle_sigbus=0:handle_sigfpe=0";
    for (const int signal : {SIGUSR1, SIGUSR2, SIGPIPE, SIGALRM, SIGTERM, SIGABRT, SIGXFSZ, SIGSEGV,
                             SIGBUS, SIGSYS, SIGTRAP, SIGFPE, SIGILL}) {
        SCOPED_TRACE(strsignal(signal));
        fs::remove(path("pid"));
        const auto options =
            test_child({sim_path, "--", "sh", "-c",
                        "ulimit -c 0; echo $$ > " + path("pid.new") + "; mv " + path("pid.new") +
                            " " + path("pid") + "; exec sleep 10"},
                       {{"TMPDIR", folder_.path()}, {"ASAN_OPTIONS", sanitizer}});
        pid_t pid = 0;
        ASSERT_EQ(sim::start_child(options, pid), 0);
        // However long the machine takes to start it: until the program has said its number,
        // or kzr-415-sim has ended without it.
        const auto running = [pid] {
            siginfo_t info{};
            return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
                   info.si_pid == 0;
        };
        while (!fs::exists(path("pid")) && running()) {
            usleep(1000);
        }
        ASSERT_TRUE(fs::exists(path("pid")));
        kill(pid, signal);
        EXPECT_EQ(sim::wait_for_child(pid), 128 + signal);
        const pid_t program = std::stoi(read(path("pid")));
        EXPECT_NE(kill(program, 0), 0) << "the program outlived kzr-415-sim";
        fs::remove(path("pid"));
        EXPECT_EQ(entries(), std::vector<std::string>{});
    }
}

TEST_F(SimSafety, ATraceThatIsNotARegularFileIsRefusedWithoutWaitingForAReader) {
    // A FIFO nobody reads, by its name and through a link. Should kzr-415-sim wait in opening
    // it, a reader comes after a while and lets it go on: it must be refused either way.
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    ASSERT_EQ(symlink(path("fifo").c_str(), path("link").c_str()), 0);
    for (const std::string name : {"fifo", "link"}) {
        auto options = test_child({sim_path, "-T", path(name), "--", "touch", path("marker")});
        options.error = path("err");
        pid_t pid = 0;
        ASSERT_EQ(sim::start_child(options, pid), 0);
        siginfo_t ended{};
        for (int i = 0; i < 2000 && ended.si_pid == 0; ++i) {
            usleep(waitid(P_PID, static_cast<id_t>(pid), &ended, WEXITED | WNOHANG | WNOWAIT) == 0
                       ? 10000
                       : 0);
        }
        const int reader = open(path("fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        const int status = sim::wait_for_child(pid);
        close(reader);
        expect_refused({"", read(path("err")), status, {}},
                       "bad value for --trace: '" + path(name) + "' (not a regular file)");
    }
    expect_refused(refused_run({"--trace", "/dev/null"}),
                   "bad value for --trace: '/dev/null' (not a regular file)");
}

TEST_F(SimSafety, ATraceThatIsAFileTheRunReadsIsRefused) {
    // The capture under its name, another spelling, a hard link and a symbolic one.
    const std::string capture = read(KZR415_BOARD_CAPTURE);
    write(path("capture"), capture);
    ASSERT_EQ(link(path("capture").c_str(), path("hard").c_str()), 0);
    ASSERT_EQ(symlink(path("capture").c_str(), path("soft").c_str()), 0);
    for (const std::string name : {"capture", "./capture", "hard", "soft"}) {
        expect_refused(refused_run({"--replay", path("capture"), "-T", path(name)}),
                       "bad value for --trace: '" + path(name) + "' (the same file as --replay)");
    }
    EXPECT_EQ(read(path("capture")), capture);
    // A state file named twice before either exists; copies of the preload and a program.
    expect_refused(refused_run({"-s", path("state"), "-T", path("./state")}),
                   "bad value for --trace: '" + path("./state") + "' (the same file as --state)");
    fs::copy_file(preload, path("bus.so"));
    expect_refused(refused_run({"--preload", path("bus.so"), "-T", path("bus.so")}),
                   "bad value for --trace: '" + path("bus.so") +
                       "' (the same file as the preload)");
    fs::copy_file("/bin/true", path("true"));
    EXPECT_EQ(run_program({sim_path, "-T", path("true"), "--", path("true")}).err,
              "kzr-415-sim: bad value for --trace: '" + path("true") +
                  "' (the same file as PROGRAM)\n");
    EXPECT_EQ(read(path("true")), read("/bin/true"));
    EXPECT_EQ(read(path("bus.so")), read(preload));
}

TEST_F(SimSafety, ARunThatIsRefusedOrCannotStartItsProgramChangesNothing) {
    // A state file whose new copy beside it would have too long a name; a program that is
    // not there, or only as a file that cannot be run: an earlier trace stays as it was. A
    // program the bus did not reach: the trace and state file the run created go with it.
    const std::string long_name = path(std::string(253, 's'));
    expect_refused(refused_run({"--state", long_name}),
                   "cannot write the state file '" + long_name + "': File name too long");
    write(path("trace"), "W 0x48 [01]\n");
    const auto run = [&](std::vector<std::string> argv, const std::string &trace,
                         const std::string &program) {
        argv.insert(argv.end(), {"-T", path(trace), "-s", path("state"), "--", program});
        return run_program(argv);
    };
    EXPECT_EQ(run({sim_path}, "trace", "/nonexistent").err,
              "kzr-415-sim: /nonexistent: No such file or directory\n");
    write(path("plain"), "");
    EXPECT_EQ(run({"env", "PATH=" + folder_.path(), sim_path}, "trace", "plain").err,
              "kzr-415-sim: plain: Permission denied\n");
    EXPECT_EQ(run({sim_path, "--preload", KZR415_BUS_IMPOSTOR}, "new", "true").status, 2);
    auto left = entries();
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"plain", "trace"}));
    EXPECT_EQ(read(path("trace")), "W 0x48 [01]\n");
}

} // namespace
} // namespace kzr415::test
