#!/usr/bin/env python3
"""Carries out the board test's scenarios (scenarios.txt) on this machine's emulated bus, and
compares the board's report of the same scenarios with those runs.

    board_check.py host --plan PLAN --tool TOOL --preload LIB [--monitor MONITOR]
                        [--reader READER] [--emulator WORDS] [--i2ctransfer PATH]
                        [--i2cget PATH]
    board_check.py check --plan PLAN --log LOG --modinfo FILE --release RELEASE
                         --tool TOOL --monitor MONITOR --reader READER --preload LIB
                         [--emulator WORDS] --host-sim SIM --host-preload LIB
                         --host-tool TOOL --host-monitor MONITOR --host-reader READER
                         --read-capture CAPTURE_READER --captures DIR

host runs every program scenario (kzr-415-tool's runs, and the monitor's and kzr-415-read's
when they are given)
and every probe whose tool is given under the emulated bus and checks each against the
plan's expect lines. check does the same runs, then
compares the board's console log with them: each run's standard output, standard error,
exit status, transfer count and registers afterwards must be the host's byte for byte, and
every step that has expect lines (runs, probes, controls, loads and their refusals) must
meet them. Each run's and probe's capture on the board (kzr-415-capture: the kernel's own
trace text, kept in DIR as NAME.txt) is read into bus notation with READER and must be the
emulated bus's trace of the same step on this machine byte for byte (probes whose tool is
given here); a run's, replayed with this machine's kzr-415-sim --replay and its own
kzr-415-tool (or monitor, or kzr-415-read), must give the board's output and exit status. Both
print PASS or FAIL a step and close with "N passed, N failed".
"""

import argparse
import difflib
import os
import re
import shlex
import subprocess
import sys
import tempfile

REGISTERS = ("configuration", "t_low", "t_high")
I2C_EVENTS = ("i2c_write", "i2c_read", "i2c_reply", "i2c_result")
HEX_LINE = re.compile(r"^\s*(?:[0-9a-f]{2}\s*)+$")
# The programs of the plan's program runs, as the board holds them.
BOARD_PROGRAMS = {"run": "/usr/bin/kzr-415-tool", "monitor": "/usr/bin/kzr415-monitor",
                  "reader": "/usr/bin/kzr-415-read"}


# ---------------------------------------------------------------------- plan


class Step:
    def __init__(self, kind, name, words, device):
        self.kind, self.name, self.device = kind, name, device
        self.settings, self.command = words, []
        if "--" in words:
            cut = words.index("--")
            self.settings, self.command = words[:cut], words[cut + 1:]
        self.expect = {}


def read_plan(path):
    """The steps in order. A run or probe carries the device of the load before it
    (its device parameters) and its own settings."""
    steps, by_name, device = [], {}, {}
    with open(path) as f:
        for number, line in enumerate(f, 1):
            words = line.split()
            if not words or words[0].startswith("#") or words[0] == "fact":
                continue
            if len(words) < 2:
                raise SystemExit("%s:%d: a step without a name" % (path, number))
            kind, name, rest = words[0], words[1], words[2:]
            if kind == "expect":
                if name not in by_name or not rest:
                    raise SystemExit("%s:%d: expect for no step before it" % (path, number))
                text = line.split(None, 3)[3].rstrip("\n") if len(rest) > 1 else ""
                by_name[name].expect.setdefault(rest[0], []).append(text)
                continue
            if kind == "load":  # every parameter but the bus is a device setting
                device = dict(w.split("=", 1) for w in rest if not w.startswith("bus="))
            if name in by_name:
                raise SystemExit("%s:%d: step %s named twice" % (path, number, name))
            by_name[name] = Step(kind, name, rest, dict(device))
            steps.append(by_name[name])
    return steps


def expect_problems(step, got):
    """Problems of `got` against the step's expect lines."""
    problems, e = [], step.expect
    if "exit" in e and got.get("exit") != e["exit"][0]:
        problems.append("  exit status: expected %s, seen %s" % (e["exit"][0], got.get("exit")))
    if "transfers" in e and got.get("transfers") != e["transfers"][0]:
        problems.append("  transfers: expected %s, seen %s"
                        % (e["transfers"][0], got.get("transfers")))
    for key, lines in (("stdout", e.get("stdout")), ("stderr", e.get("stderr")),
                       ("stdout", [] if "silent" in e else None),
                       ("stderr", [] if "quiet" in e else None),
                       # the board's transfers are its capture's (check_capture)
                       ("trace", e.get("trace") if "trace" in got else None)):
        if lines is not None:
            problems += diff("expected " + key, "".join(l + "\n" for l in lines),
                             "seen " + key, got.get(key))
    for text in e.get("error", []):
        if text not in got.get("stderr", ""):
            problems.append("  standard error does not say '%s'" % text)
    return problems


def diff(want_label, want, got_label, got):
    if got is None:
        return ["  no %s" % got_label]
    if want == got:
        return []
    lines = difflib.unified_diff(want.splitlines(True), got.splitlines(True), want_label, got_label)
    return ["".join(l if l.endswith("\n") else l + "\n\\ no newline at end\n" for l in lines)]


class Verdicts:
    def __init__(self):
        self.passed = self.failed = 0

    def report(self, label, problems, details=()):
        self.failed += bool(problems)
        self.passed += not problems
        print("%s %s" % ("FAIL" if problems else "PASS", label))
        for p in problems:
            sys.stdout.write(p if p.endswith("\n") else p + "\n")
        for line in details:
            print("    " + line)

    def close(self):
        print("%d passed, %d failed" % (self.passed, self.failed))
        return 0 if self.failed == 0 and self.passed > 0 else 1


def output_lines(got):
    return (["out| " + l for l in got.get("stdout", "").splitlines()]
            + ["err| " + l for l in got.get("stderr", "").splitlines()])


# ---------------------------------------------------------------------- host


def host_run(step, args, tmp):
    """Carries out a run, a monitor or reader run or a probe under the emulated bus; returns
    its fields, or None for a probe whose tool (or a monitor or reader run whose program) is
    not given."""
    if step.kind == "run":
        command = [args.tool]
    elif step.kind in ("monitor", "reader"):
        program = args.monitor if step.kind == "monitor" else args.reader
        if not program:
            return None
        command = [program] + step.command
    else:
        tool = {"i2ctransfer": args.i2ctransfer, "i2cget": args.i2cget}.get(step.command[0])
        if not tool:
            return None
        command = [tool] + [w.replace("@BUS@", "4") for w in step.command[1:]]
    env = {k: v for k, v in os.environ.items() if not k.startswith("KZR415_SIM_")}
    state = os.path.join(tmp, "state")
    if os.path.exists(state):
        os.remove(state)
    env["KZR415_SIM_STATE"] = state
    trace = os.path.join(tmp, "trace")
    if os.path.exists(trace):
        os.remove(trace)
    env["KZR415_SIM_TRACE"] = trace
    settings = dict(step.device)
    for word in step.settings:
        key, _, value = word.partition("=")
        settings[key] = value
    for key, value in settings.items():
        if key == "node" and value == "absent":
            env["KZR415_SIM_NO_NODE"] = "1"
        else:
            env["KZR415_SIM_" + key.upper()] = value
    emulator = shlex.split(args.emulator or "")
    if emulator and step.kind in BOARD_PROGRAMS:
        # The preload is for the emulated program alone, not for the emulator.
        env["QEMU_SET_ENV"] = "LD_PRELOAD=" + args.preload
        command = emulator + command
    else:
        # The I2C tools are this machine's: so is the preload they need.
        env["LD_PRELOAD"] = getattr(args, "host_preload", None) or args.preload
    p = subprocess.run(command, env=env, capture_output=True, timeout=120, check=False)
    got = {"stdout": p.stdout.decode("utf-8", "replace"),
           "stderr": p.stderr.decode("utf-8", "replace"), "exit": str(p.returncode),
           "transfers": "0"}
    if os.path.exists(state):
        with open(state) as f:
            for line in f:
                key, _, value = line.rstrip("\n").partition(" ")
                if key == "transfers" or key in REGISTERS:
                    got[key] = value
    if os.path.exists(trace):
        with open(trace, encoding="utf-8", errors="replace") as f:
            got["trace"] = f.read()
    return got


def host(args):
    v = Verdicts()
    with tempfile.TemporaryDirectory() as tmp:
        for step in read_plan(args.plan):
            if step.kind not in ("run", "monitor", "reader", "probe"):
                continue
            if not step.expect:
                print("---- %s: no expect lines (compared with the board's run)" % step.name)
                continue
            got = host_run(step, args, tmp)
            if got is None:
                print("---- %s: %s is not run on this machine"
                      % (step.name, step.command[0] if step.kind == "probe" else
                         {"monitor": "the monitor", "reader": "kzr-415-read"}[step.kind]))
                continue
            v.report("%s (exit %s, %s transfers)" % (step.name, got["exit"], got["transfers"]),
                     expect_problems(step, got), output_lines(got))
    return v.close()


# ---------------------------------------------------------------------- board


def parse_log(path):
    """(facts, records, errors): records map a name to its fields, text or the decoded
    bytes of a BEGIN/END block."""
    facts, records, errors = {}, {}, []
    record = stream = None
    hexdata = []
    with open(path, "rb") as f:
        text = f.read().decode("utf-8", "replace")
    for line in text.replace("\r", "").split("\n"):
        marker = line.find("@@KZR ")
        if marker < 0:
            if stream is not None and HEX_LINE.match(line):
                hexdata.append(line.replace(" ", ""))
            continue
        words = line[marker + 6:].split(" ", 2)
        kind = words[0]
        if kind == "FACT" and len(words) > 1:
            facts[words[1]] = words[2] if len(words) > 2 else ""
        elif kind == "ERROR":
            errors.append(line[marker + 12:])
        elif kind == "RECORD" and len(words) > 1:
            record = records.setdefault(words[1], {})
        elif kind == "FIELD" and record is not None and len(words) > 1:
            record[words[1]] = words[2] if len(words) > 2 else ""
        elif kind == "BEGIN" and len(words) > 1:
            stream, hexdata = words[1], []
        elif kind == "END" and record is not None and stream is not None:
            data = bytes.fromhex("".join(hexdata))
            record[stream] = data.decode("utf-8", "replace")
            record[stream + " bytes"] = data
            stream = None
    return facts, records, errors


def kernel_warnings(got):
    """The kernel's warnings (a WARNING, fatal under panic_on_warn, or an oops) in the
    kernel log a step reported."""
    if "kernel" not in got:
        return ["  no kernel log was reported"]
    bad = [l for l in got["kernel"].splitlines()
           if re.search(r"WARNING|cut here|BUG|Oops|Call trace", l)]
    return ["  the kernel warned:"] + ["    " + l for l in bad] if bad else []


def check_load(step, got, parameters):
    problems = kernel_warnings(got)
    if got.get("status") != "0":
        problems.append("  insmod failed (status %s): %s" % (got.get("status"), got.get("stderr")))
    want_bus = next((w[4:] for w in step.settings if w.startswith("bus=")), None)
    bus = got.get("bus", "")
    if not bus.isdigit() or (want_bus is not None and bus != want_bus):
        problems.append("  the module's bus is '%s', expected %s" % (bus, want_bus or "a number"))
    want_node = "/dev/i2c-4" if bus == "4" else "/dev/i2c-4 -> /dev/i2c-" + bus
    if got.get("node") != want_node:
        problems.append("  /dev/i2c-4 is '%s', expected '%s'" % (got.get("node"), want_node))
    if got.get("parameters", "").split() != parameters:
        problems.append("  parameters in sysfs %s, modinfo lists %s"
                        % (got.get("parameters"), parameters))
    label = "load %s %s (i2c-%s, %s)" % (step.name, " ".join(step.settings), bus, got.get("node"))
    return label, problems


def check_refusal(step, got):
    problems = kernel_warnings(got) + expect_problems(step, got)
    if got.get("status") == "0":
        problems.append("  insmod succeeded")
    if got.get("loaded") != "no" or got.get("bus"):
        problems.append("  the module stayed loaded (bus '%s')" % got.get("bus"))
    return "refuse %s: insmod kzr-415-sim.ko %s" % (step.name, " ".join(step.settings)), problems


def check_adapters(step, got):
    problems = []
    for nr in step.expect.get("buses", [""])[0].split():
        name = got.get("i2c-" + nr)
        if not name or name == "kzr-415-sim":
            problems.append("  bus %s is not another driver's adapter: '%s'" % (nr, name))
    return "%s adapters: %s" % (step.settings[0], ", ".join(
        "%s %s" % (k, val) for k, val in sorted(got.items()) if k.startswith("i2c-"))), problems


def check_unload(step, got):
    problems = []
    if got.get("status") != "0":
        problems.append("  rmmod failed (status %s): %s" % (got.get("status"), got.get("stderr")))
    if got.get("left", "").strip():
        problems.append("  adapters left: %s" % got["left"])
    return "unload " + step.name, problems


def check_control(step, got):
    parameter, value = step.settings[0], " ".join(step.settings[1:])
    problems = []
    reads = step.expect.get("reads")
    if reads is None:
        if got.get("status") == "0":
            problems.append("  the value was accepted")
        if "Invalid argument" not in got.get("stderr", ""):
            problems.append("  the write did not fail with EINVAL: %r" % got.get("stderr"))
        if got.get("after") != got.get("before"):
            problems.append("  the value changed from '%s' to '%s'"
                            % (got.get("before"), got.get("after")))
        return "%s: %s '%s' refused" % (step.name, parameter, value), problems
    if got.get("status") != "0":
        problems.append("  the value was refused: %r" % got.get("stderr"))
    if got.get("after") != reads[0]:
        problems.append("  reads back '%s', expected '%s'" % (got.get("after"), reads[0]))
    return "%s: %s '%s' -> '%s'" % (step.name, parameter, value, got.get("after")), problems


def check_run(step, got, seen):
    """A run on the board against the same run on this machine (`seen`) and its expect lines."""
    problems = []
    for key in ("stdout", "stderr"):
        problems += diff("host " + key, seen[key], "board " + key, got.get(key))
    for key in ("exit", "transfers") + REGISTERS:
        if got.get(key) != seen.get(key):
            problems.append("  %s: host %s, board %s" % (key, seen.get(key), got.get(key)))
    for home, fields in (("host", seen), ("board", got)):
        against_plan = expect_problems(step, fields)
        if against_plan:
            problems += ["  the %s's run against the plan:" % home] + against_plan
    return "%s %s(exit %s, %s transfers; host %s, %s)" % (
        step.name, " ".join(step.settings) + " " if step.settings else "", got.get("exit"),
        got.get("transfers"), seen["exit"], seen["transfers"]), problems


def check_capture_case(step, got, bus):
    """kzr-415-capture where it must refuse (its expect lines) or clean up after a signal."""
    problems = expect_problems(step, got)
    case = step.settings[0] if step.settings else ""
    details = output_lines(got)
    if case == "not-root":
        if not got.get("uid", "").isdigit() or got.get("uid") == "0":
            problems.append("  not run without root: uid '%s'" % got.get("uid"))
        details.append("uid %s" % got.get("uid"))
    elif case == "no-tracefs":
        if got.get("tracefs") != "unmounted":
            problems.append("  tracefs was %s" % got.get("tracefs"))
    elif case == "interrupted":
        for event in I2C_EVENTS:
            want = "enable 1 filter adapter_nr == %s" % bus
            if got.get("recording-" + event) != want:
                problems.append("  while recording, %s: '%s', expected '%s'"
                                % (event, got.get("recording-" + event), want))
            if got.get("after-" + event) != "enable 0 filter none":
                problems.append("  afterwards, %s: '%s', expected 'enable 0 filter none'"
                                % (event, got.get("after-" + event)))
            details.append("%s while recording: %s; afterwards: %s"
                           % (event, got.get("recording-" + event), got.get("after-" + event)))
        header = got.get("capture-header", "")
        if not (header.startswith("# kzr-415-capture: kernel ")
                and header.endswith("; command sleep 30")):
            problems.append("  no capture written when interrupted: '%s'" % header)
        details.append("capture written when interrupted: %s" % header)
        if got.get("instances", "x"):
            problems.append("  trace instances left: '%s'" % got.get("instances"))
        details.append("trace instances afterwards: '%s'" % got.get("instances"))
    else:
        problems.append("  unknown capture case '%s'" % case)
    return "capture %s: kzr-415-capture %s" % (step.name, case), problems, details


def run_text(command, env=None):
    p = subprocess.run(command, env=env, capture_output=True, timeout=120, check=False)
    return (p.returncode, p.stdout.decode("utf-8", "replace"),
            p.stderr.decode("utf-8", "replace"))


def check_capture(step, got, seen, bus, args):
    """The board's capture of a run or probe: read into bus notation, equal to the host's
    trace of the same step where this machine carried it out (`seen`; None: not run here);
    a run's, replayed on this machine, gives the board's output. (problems, details)"""
    if "capture bytes" not in got:
        return ["  the board reported no capture"], []
    os.makedirs(args.captures, exist_ok=True)
    path = os.path.join(args.captures, step.name + ".txt")
    with open(path, "wb") as f:
        f.write(got["capture bytes"])
    problems = []
    header = got["capture"].split("\n", 1)[0]
    program = [BOARD_PROGRAMS[step.kind]] if step.kind in BOARD_PROGRAMS else []
    command = " ".join(program + [w.replace("@BUS@", bus) for w in step.command])
    want = (r"# kzr-415-capture: kernel %s; bus i2c-%s; date \d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ; "
            r"command %s" % (re.escape(args.release), bus, re.escape(command)))
    if not re.fullmatch(want, header):
        problems.append("  the capture's header line is '%s'" % header)
    status, read, errors = run_text([args.read_capture, path])
    if status != 0:
        return problems + ["  the capture %s cannot be read: %s" % (path, errors.strip())], []
    if seen is not None:
        problems += diff("host trace", seen.get("trace", ""), "board capture", read)
    details = ["capture %s, %d bytes, %d transfers as the board's kernel traced them%s:"
               % (path, len(got["capture bytes"]), len(read.splitlines()),
                  "" if seen is not None else " (not run on this machine)")]
    details += ["bus| " + l for l in read.splitlines()]
    if step.kind not in BOARD_PROGRAMS:
        return problems, details
    if "node=absent" in step.settings:
        # A capture holds transfers; that the node was missing is not among them.
        details.append("not replayed: the run had no bus node, which a capture cannot hold")
        return problems, details
    env = {k: v for k, v in os.environ.items() if not k.startswith("KZR415_SIM_")}
    program = {"run": [args.host_tool], "monitor": [args.host_monitor] + step.command,
               "reader": [args.host_reader] + step.command}[step.kind]
    status, out, err = run_text([args.host_sim, "--preload", args.host_preload, "--replay", path,
                                 "--"] + program, env)
    problems += diff("board stdout", got.get("stdout"), "replay stdout", out)
    problems += diff("board stderr", got.get("stderr"), "replay stderr", err)
    if str(status) != got.get("exit"):
        problems.append("  replay exit status %s, board %s" % (status, got.get("exit")))
    details.append("replayed on this machine (kzr-415-sim --replay %s -- %s): exit %s"
                   % (os.path.basename(path), " ".join(os.path.basename(w) for w in program),
                      status))
    details += ["replay out| " + l for l in out.splitlines()]
    details += ["replay err| " + l for l in err.splitlines()]
    return problems, details


def check(args):
    facts, records, errors = parse_log(args.log)
    info = {}
    with open(args.modinfo) as f:
        for line in f:
            key, _, value = line.rstrip("\n").partition("=")
            info.setdefault(key, []).append(value)
    parameters = sorted(p.split(":")[0] for p in info.get("parm", []))
    v = Verdicts()
    v.report("board init", ["  " + e for e in errors])
    vermagic = info.get("vermagic", [""])[0]
    problems = []
    if vermagic.split()[:1] != [args.release]:
        problems.append("  module vermagic '%s' is not for %s" % (vermagic, args.release))
    if facts.get("kernel") != args.release:
        problems.append("  the board runs '%s', the image holds %s"
                        % (facts.get("kernel"), args.release))
    v.report("module for the booted kernel: vermagic '%s', uname -r '%s'"
             % (vermagic, facts.get("kernel")), problems)

    bus = ""
    with tempfile.TemporaryDirectory() as tmp:
        for step in read_plan(args.plan):
            got = records.get(step.name)
            if step.kind == "replay":
                continue  # this machine's alone: the host suite replays it
            if got is None:
                v.report("%s %s" % (step.kind, step.name), ["  the board reported no such step"])
                continue
            details = []
            if step.kind in BOARD_PROGRAMS:
                seen = host_run(step, args, tmp)
                label, problems = check_run(step, got, seen)
                details = output_lines(got)
                more, capture_details = check_capture(step, got, seen, bus, args)
                problems += more
                # The bytes of the runs the plan anchors, and of any that differ.
                if step.expect or more:
                    details += capture_details
            elif step.kind == "probe":
                label = "probe %s: %s" % (step.name, " ".join(step.command))
                problems = expect_problems(step, got)
                more, capture_details = check_capture(step, got, host_run(step, args, tmp),
                                                      bus, args)
                problems += more
                details = output_lines(got) + capture_details
            elif step.kind == "capture":
                label, problems, details = check_capture_case(step, got, bus)
            elif step.kind == "load":
                label, problems = check_load(step, got, parameters)
                bus = got.get("bus", "")
            elif step.kind == "refuse":
                label, problems = check_refusal(step, got)
                details = ["err| " + l for l in got.get("stderr", "").splitlines()]
            else:
                label, problems = {"unload": check_unload, "adapters": check_adapters,
                                   "control": check_control}[step.kind](step, got)
            v.report(label, problems, details)
    return v.close()


def main():
    ap = argparse.ArgumentParser()
    sub = ap.add_subparsers(dest="cmd", required=True)
    for name in ("host", "check"):
        p = sub.add_parser(name)
        p.add_argument("--plan", required=True)
        p.add_argument("--tool", required=True)
        p.add_argument("--monitor", required=name == "check")
        p.add_argument("--reader", required=name == "check")
        p.add_argument("--preload", required=True)
        p.add_argument("--emulator", help="the words that run the tool, as one string")
        p.add_argument("--i2ctransfer")
        p.add_argument("--i2cget")
        if name == "check":
            for option in ("--log", "--host-sim", "--host-preload", "--host-tool",
                           "--host-monitor", "--host-reader", "--read-capture", "--captures"):
                p.add_argument(option, required=True)
            p.add_argument("--modinfo", required=True)
            p.add_argument("--release", required=True)
    args = ap.parse_args()
    return host(args) if args.cmd == "host" else check(args)


if __name__ == "__main__":
    sys.exit(main())
