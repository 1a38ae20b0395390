#!/usr/bin/env python3
"""Checks a simulated kzr-415, in the kernel or in user space, against board_model.

    board_check.py self-test
    board_check.py plan
    board_check.py check --log LOG --modinfo FILE --release RELEASE
    board_check.py host-check --tool TOOL --preload LIB [--i2ctransfer PATH --i2cget PATH]

self-test checks the model against the worked values and the documented traffic of a
complete run. plan prints the board's /plan (init.sh carries it out). check compares
the board's console log with the model, and the built module's modinfo with the booted
kernel. host-check runs the same runs and probes on this machine's emulated bus.
Each check prints PASS or FAIL lines and a closing "N passed, N failed".
"""

import argparse
import dataclasses
import difflib
import os
import re
import subprocess
import sys
import tempfile

import board_model as m

HEX_LINE = re.compile(r"^\s*(?:[0-9a-f]{2}\s*)+$")


class Verdicts:
    def __init__(self):
        self.passed = self.failed = 0

    def report(self, label, problems, details=()):
        if problems:
            self.failed += 1
            print("FAIL %s" % label)
            for p in problems:
                sys.stdout.write(p if p.endswith("\n") else p + "\n")
        else:
            self.passed += 1
            print("PASS %s" % label)
        for line in details:
            print("    " + line)

    def close(self):
        print("%d passed, %d failed" % (self.passed, self.failed))
        return 0 if self.failed == 0 and self.passed > 0 else 1


def differences(want, got):
    """Problems between an Expected and what was seen ({'stdout': str, ...})."""
    problems = []
    for key in ("stdout", "stderr"):
        w = getattr(want, key)
        if w is None:
            continue
        if key not in got:
            problems.append("  no %s was reported" % key)
        elif got[key] != w:
            diff = difflib.unified_diff(w.splitlines(True), got[key].splitlines(True),
                                        "expected " + key, "seen " + key)
            problems.append("".join(l if l.endswith("\n") else l + "\n\\ no newline\n"
                                    for l in diff))
    if want.error_text is not None and want.error_text not in got.get("stderr", ""):
        problems.append("  standard error does not say '%s'" % want.error_text)
    if got.get("exit") != str(want.exit):
        problems.append("  exit status: expected %s, seen %s" % (want.exit, got.get("exit")))
    return problems


def output_lines(got):
    lines = ["out| " + l for l in got.get("stdout", "").splitlines()]
    return lines + ["err| " + l for l in got.get("stderr", "").splitlines()]


# ---------------------------------------------------------------------- plan


def setting_lines(setting):
    lines = ["set address " + (setting.address_text or "0x%02x" % setting.address)]
    lines += ["set %s %s" % (n, m.hex_image(getattr(setting, n))) for n in m.Setting.IMAGES]
    # Last: a new run, whose transfers the fault plan counts from 1.
    return lines + ["set fail %s" % setting.fail, "set transfers 0"]


def plan():
    lines = ["fact", "run " + m.BUS_ABSENT.name, "load loaded"]
    for run in m.runs():
        lines += setting_lines(run.setting) + ["run " + run.name]
    for probe in m.probes():
        lines += setting_lines(probe.setting) + ["probe %s %s" % (probe.name, probe.command)]
    lines += setting_lines(m.Setting())
    lines += ["control %s %s %s" % (c.name, c.parameter, c.value) for c in m.controls()]
    # Last before the unload: the raised retry count stays on the adapter.
    for probe in m.retry_probes():
        lines += setting_lines(probe.setting) + ["probe %s %s" % (probe.name, probe.command)]
    lines += ["unload unloaded", "adapters other-adapters " + m.OTHER_ADAPTERS]
    lines += ["refuse %s %s" % (r.name, r.arguments) for r in m.refusals()]
    lines += ["load last-minor-loaded " + m.LAST_MINOR_ARGUMENTS, "run " + m.LAST_MINOR.name,
              "unload last-minor-unloaded"]
    lines += ["load reloaded " + m.RELOAD_ARGUMENTS,
              "run " + m.RELOADED.name, "unload unloaded-again"]
    return "".join(line + "\n" for line in lines)


# ---------------------------------------------------------------------- board


def parse_log(path):
    """Returns (facts, records, errors): records map a name to its fields, text or the
    decoded bytes of a BEGIN/END block."""
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
            record[stream] = bytes.fromhex("".join(hexdata)).decode("utf-8", "replace")
            stream = None
    return facts, records, errors


def read_modinfo(path):
    """key=value lines of the module's .modinfo -> {key: [values]}"""
    info = {}
    with open(path) as f:
        for line in f:
            key, _, value = line.rstrip("\n").partition("=")
            info.setdefault(key, []).append(value)
    return info


def kernel_warnings(got):
    """Problems: the kernel's warnings (a WARNING, fatal under panic_on_warn, or an oops) in
    the kernel log a step reported."""
    if "kernel" not in got:
        return ["  no kernel log was reported"]
    bad = [l for l in got["kernel"].splitlines()
           if re.search(r"WARNING|cut here|BUG|Oops|Call trace", l)]
    return ["  the kernel warned:"] + ["    " + l for l in bad] if bad else []


def check_load(v, records, name, want_bus=None):
    got = records.get(name)
    if got is None:
        v.report("load " + name, ["  the board reported no such step"])
        return
    problems = kernel_warnings(got)
    if got.get("status") != "0":
        problems.append("  insmod failed (status %s): %s" % (got.get("status"), got.get("stderr")))
    bus = got.get("bus", "")
    if not bus.isdigit() or (want_bus is not None and bus != str(want_bus)):
        problems.append("  the module's bus is '%s', expected %s"
                        % (bus, want_bus if want_bus is not None else "a number"))
    want_node = "/dev/i2c-4" if bus == "4" else "/dev/i2c-4 -> /dev/i2c-" + bus
    if got.get("node") != want_node:
        problems.append("  /dev/i2c-4 is '%s', expected '%s'" % (got.get("node"), want_node))
    if got.get("parameters", "").split() != sorted(m.PARAMETERS):
        problems.append("  parameters in sysfs: %s" % got.get("parameters"))
    v.report("load %s (i2c-%s, %s)" % (name, bus, got.get("node")), problems)


def check_refusal(v, records, refusal):
    got = records.get(refusal.name)
    if got is None:
        v.report("refuse " + refusal.name, ["  the board reported no such step"])
        return
    problems = kernel_warnings(got)
    if got.get("status") == "0":
        problems.append("  insmod succeeded")
    if refusal.error_text not in got.get("stderr", ""):
        problems.append("  insmod does not say '%s': %r" % (refusal.error_text, got.get("stderr")))
    if got.get("loaded") != "no" or got.get("bus"):
        problems.append("  the module stayed loaded (bus '%s')" % got.get("bus"))
    v.report("refuse %s: insmod kzr-415-sim.ko %s" % (refusal.name, refusal.arguments), problems,
             ["err| " + l for l in got.get("stderr", "").splitlines()]
             + ["log| " + l for l in got.get("kernel", "").splitlines()])


def check_other_adapters(v, records):
    """The other driver's adapters hold the buses that the refusals ask for."""
    got = records.get("other-adapters", {})
    problems = []
    for nr in m.OTHER_BUSES:
        name = got.get("i2c-%d" % nr)
        if not name or name == "kzr-415-sim":
            problems.append("  bus %d is not another driver's adapter: '%s'" % (nr, name))
    v.report("%s adapters on buses %s" % (m.OTHER_ADAPTERS, ", ".join(map(str, m.OTHER_BUSES))),
             problems, ["%s: %s" % (k, val) for k, val in sorted(got.items()) if k.startswith("i2c-")])


def check_unload(v, records, name):
    got = records.get(name, {})
    problems = []
    if got.get("status") != "0":
        problems.append("  rmmod failed (status %s): %s" % (got.get("status"), got.get("stderr")))
    if got.get("left", "").strip():
        problems.append("  adapters left: %s" % got["left"])
    v.report("unload " + name, problems)


def check_run(v, records, run):
    got = records.get(run.name)
    if got is None:
        v.report(run.name, ["  the board reported no such run"])
        return
    want, _ = run.expected()
    problems = differences(want, got)
    if run.node:
        if got.get("transfers") != str(want.transfers):
            problems.append("  transfers: expected %d, seen %s" % (want.transfers, got.get("transfers")))
        for name, image in want.state.items():
            if got.get(name) != image:
                problems.append("  %s after the run: expected %s, seen %s" % (name, image, got.get(name)))
    v.report("%s (exit %s, %s transfers)" % (run.name, got.get("exit"), got.get("transfers", "no")),
             problems, output_lines(got))


def check_probe(v, got, probe, transfers):
    """got: the probe's record; transfers: the count seen, or None when not known."""
    if got is None:
        v.report("probe " + probe.name, ["  no such probe was reported"])
        return
    want = probe.expected()
    problems = differences(want, got)
    if transfers is not None and transfers != str(want.transfers):
        problems.append("  transfers: expected %d, seen %s" % (want.transfers, transfers))
    v.report("probe %s: %s" % (probe.name, probe.command), problems, output_lines(got))


def check_control(v, records, control):
    got = records.get(control.name)
    if got is None:
        v.report(control.name, ["  the board reported no such step"])
        return
    problems = []
    label = "%s: %s '%s'" % (control.name, control.parameter, control.value)
    if control.reads is None:
        if got.get("status") == "0":
            problems.append("  the value was accepted")
        if "Invalid argument" not in got.get("stderr", ""):
            problems.append("  the write did not fail with EINVAL: %r" % got.get("stderr"))
        if got.get("after") != got.get("before"):
            problems.append("  the value changed from '%s' to '%s'" % (got.get("before"), got.get("after")))
        label += " refused"
    else:
        if got.get("status") != "0":
            problems.append("  the value was refused: %r" % got.get("stderr"))
        if got.get("after") != control.reads:
            problems.append("  reads back '%s', expected '%s'" % (got.get("after"), control.reads))
        label += " -> '%s'" % got.get("after")
    v.report(label, problems)


def check(args):
    facts, records, errors = parse_log(args.log)
    info = read_modinfo(args.modinfo)
    v = Verdicts()
    v.report("board init", ["  " + e for e in errors])

    vermagic = info.get("vermagic", [""])[0]
    kernel = facts.get("kernel")
    problems = []
    if vermagic.split()[:1] != [args.release]:
        problems.append("  module vermagic '%s' is not for %s" % (vermagic, args.release))
    if kernel != args.release:
        problems.append("  the board runs '%s', the image holds %s" % (kernel, args.release))
    parms = sorted(p.split(":")[0] for p in info.get("parm", []))
    if parms != sorted(m.PARAMETERS):
        problems.append("  modinfo lists parameters %s" % parms)
    v.report("module for the booted kernel: vermagic '%s', uname -r '%s'" % (vermagic, kernel),
             problems)

    check_run(v, records, m.BUS_ABSENT)
    check_load(v, records, "loaded")
    for run in m.runs():
        check_run(v, records, run)
    for probe in m.probes():
        got = records.get(probe.name)
        check_probe(v, got, probe, None if got is None else got.get("transfers"))
    for control in m.controls():
        check_control(v, records, control)
    for probe in m.retry_probes():
        got = records.get(probe.name)
        check_probe(v, got, probe, None if got is None else got.get("transfers"))
    check_unload(v, records, "unloaded")
    check_other_adapters(v, records)
    for refusal in m.refusals():
        check_refusal(v, records, refusal)
    check_load(v, records, "last-minor-loaded", want_bus=m.I2C_DEV_MINORS - 1)
    check_run(v, records, m.LAST_MINOR)
    check_unload(v, records, "last-minor-unloaded")
    check_load(v, records, "reloaded", want_bus=4)
    check_run(v, records, m.RELOADED)
    check_unload(v, records, "unloaded-again")
    return v.close()


# ---------------------------------------------------------------------- host


def host_environment(setting, args, trace):
    """The emulated bus's variables for `setting`; the defaults are left to the bus, so a
    default setting meets the emulated bus's own default device."""
    env = {k: val for k, val in os.environ.items() if not k.startswith("KZR415_SIM_")}
    env["LD_PRELOAD"] = args.preload
    env["KZR415_SIM_TRACE"] = trace
    default = m.Setting()
    if setting.address_text:
        env["KZR415_SIM_ADDRESS"] = setting.address_text
    elif setting.address != default.address:
        env["KZR415_SIM_ADDRESS"] = "0x%02x" % setting.address
    for name in m.Setting.IMAGES:
        if getattr(setting, name) != getattr(default, name):
            env["KZR415_SIM_" + name.upper()] = m.hex_image(getattr(setting, name))
    if setting.fail != "none":
        env["KZR415_SIM_FAIL"] = setting.fail
    return env


def host_run(command, env, trace):
    """Runs command; returns (the seen fields, transfers made according to the trace)."""
    if os.path.exists(trace):
        os.remove(trace)
    p = subprocess.run(command, env=env, capture_output=True, timeout=60, check=False)
    got = {"stdout": p.stdout.decode("utf-8", "replace"),
           "stderr": p.stderr.decode("utf-8", "replace"), "exit": str(p.returncode)}
    transfers = 0
    if os.path.exists(trace):
        with open(trace) as f:
            transfers = sum(1 for line in f if line.strip())
    return got, str(transfers)


def host_check(args):
    v = Verdicts()
    with tempfile.TemporaryDirectory() as tmp:
        trace = os.path.join(tmp, "trace")
        for run in [m.BUS_ABSENT] + m.runs() + [m.RELOADED]:
            env = host_environment(run.setting, args, trace)
            if not run.node:
                env["KZR415_SIM_NO_NODE"] = "1"
            got, transfers = host_run([args.tool], env, trace)
            want, _ = run.expected()
            problems = differences(want, got)
            if run.node and transfers != str(want.transfers):
                problems.append("  transfers: expected %d, seen %s" % (want.transfers, transfers))
            v.report("%s (exit %s, %s transfers)" % (run.name, got["exit"], transfers),
                     problems, output_lines(got))
        tools = {"i2ctransfer": args.i2ctransfer, "i2cget": args.i2cget}
        for probe in m.probes():
            words = probe.command.replace("@BUS@", "4").split()
            if not tools.get(words[0]):
                continue
            got, transfers = host_run([tools[words[0]]] + words[1:],
                                      host_environment(probe.setting, args, trace), trace)
            check_probe(v, got, probe, transfers)
    return v.close()


# ---------------------------------------------------------------------- self-test


def self_test():
    """Checks the model against the worked values and the documented traffic of a
    complete run; a failure here is a model bug."""
    failures = []

    def expect(what, got, want):
        if got != want:
            failures.append("%s: got %r, want %r" % (what, got, want))

    table = m.worked_values()
    expect("worked values in the table", len(table), 10)
    for channel_bytes, encoding, printed in table:
        config = 0x20 if encoding == "sign-magnitude" else 0x18
        expect("decode %s %s" % (bytes(channel_bytes).hex(), encoding),
               m.format_f(m.decode(channel_bytes, config)), printed)

    # A complete run against a device that reads back what was written.
    run = m.Run("documented", m.Setting(temperature=(0x03, 0x20, 0x00, 0x03, 0x30, 0x00)))
    want, bus = run.expected()
    W = lambda *b: ("W", 0x48, b)
    R = lambda *b: ("R", 0x48, b)
    t = (0x03, 0x20, 0x00, 0x03, 0x30, 0x00)
    expect("traffic", bus.traffic, [
        W(0x01, 0x1C, 0x1C),
        W(0x01), R(0x1C, 0x1C), W(0x01, 0x18, 0x1C),
        W(0x01), R(0x18, 0x1C), W(0x01, 0x18, 0x18),
        W(0x02, 0x80, 0x00, 0x00, 0x80, 0x00, 0x00),
        W(0x03, 0x7F, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF),
        W(0x01), R(0x18, 0x18), W(0x00), R(*t),
        W(0x01), R(0x18, 0x18), W(0x00), R(*t),
    ])
    raw = "raw value 1:3 32 0\nraw value 2:3 48 0\n"
    expect("stdout", want.stdout, "slave address of kzr-415      : 0x48\n" + raw
           + "temperature 1:25.000000\n" + raw + "temperature 2:25.499712\n")
    expect("stderr and status", (want.stderr, want.exit, want.transfers), ("", 0, 17))
    expect("state", want.state, {"configuration": "18 18", "t_low": "80 00 00 80 00 00",
                                 "t_high": "7f ff ff 7f ff ff"})

    # The default device reads 25 and 21 degrees.
    want, _ = m.Run("default").expected()
    expect("default temperatures", re.findall(r"temperature \d:(\S+)", want.stdout),
           ["25.000000", "21.000000"])

    # Channel 2 keeps sign-magnitude: both readings are the table's.
    sm = next(r for r in m.runs() if r.name == "sign-magnitude-channel-2")
    want, _ = sm.expected()
    printed = {(b, e): p for b, e, p in table}
    expect("sign-magnitude run", re.findall(r"temperature \d:(\S+)", want.stdout),
           [printed[(sm.setting.temperature[0:3], "twos-complement")],
            printed[(sm.setting.temperature[3:6], "sign-magnitude")]])

    # The device's rules.
    d = m.Device(m.Setting(configuration=(0x1C, 0x3C)))
    d.write([0x01])
    expect("read past the image", d.read(4), [0x1C, 0x3C, 0xFF, 0xFF])
    d.write([0x09, 0x01])
    expect("unknown pointer", d.read(2), [0xFF, 0xFF])
    d.write([0x00, 0x11])
    expect("read-only temperature", d.read(3), [0x03, 0x20, 0x00])
    d.write([0x03, 1, 2, 3, 4, 5, 6, 7])
    d.write([])
    expect("long write, then an address-only write", d.read(7), [1, 2, 3, 4, 5, 6, 0xFF])
    d.write([0x03, 9])
    expect("short write", d.image("t_high"), [9, 2, 3, 4, 5, 6])

    # The bus: a fault comes first, then the address; transfers count from 1.
    bus = m.Bus(m.Device(m.Setting(address=0x49)), "2+:EIO")
    outcomes = []
    for _ in range(3):
        try:
            bus.transfer([("R", 0x49, 1)])
            outcomes.append("ok")
        except m.BusError as e:
            outcomes.append(e.name)
    expect("fault from transfer 2 on", outcomes, ["ok", "EIO", "EIO"])

    # Nothing answers: seven transport failures, two readout messages.
    want, _ = m.Run("absent", m.Setting(address=0x49)).expected()
    expect("absent stderr", want.stderr,
           "ioctl(): No such device or address\nioctl returned -1\n" * 7)
    expect("absent transfers", want.transfers, 7)

    # Probe command lines become the messages of one transfer.
    probe = next(p for p in m.probes() if p.name == "short-and-long-writes")
    expect("probe messages", [(k, len(a) if k == "W" else a) for k, _, a in probe.messages()],
           [("W", 2), ("W", 8), ("W", 1), ("R", 6), ("W", 1), ("R", 7)])
    expect("probe output", probe.expected().stdout,
           "0x55 0xa2 0xa3 0xa4 0xa5 0xa6\n0x01 0x02 0x03 0x04 0x05 0x06 0xff\n")

    # The core's retries of EAGAIN: as many as asked up to the module's cap, one more try
    # than retries; a retry that succeeds ends them.
    tries = {p.name: (p.expected().transfers, p.expected().exit) for p in m.retry_probes()}
    expect("retry probes", tries, {"retries-3": (4, 1), "retries-capped": (m.RETRIES_MAX + 1, 1),
                                   "retry-succeeds": (2, 0)})

    names = [s.name for s in m.runs() + m.probes() + m.controls() + m.retry_probes()
             + m.refusals()] + [m.LAST_MINOR.name, m.RELOADED.name, m.BUS_ABSENT.name]
    expect("unique step names", len(names), len(set(names)))

    for f in failures:
        print("model self-test: " + f)
    print("model self-test: %s" % ("FAILED" if failures else "ok"))
    return 1 if failures else 0


def main():
    ap = argparse.ArgumentParser()
    sub = ap.add_subparsers(dest="cmd", required=True)
    sub.add_parser("self-test")
    sub.add_parser("plan")
    c = sub.add_parser("check")
    c.add_argument("--log", required=True)
    c.add_argument("--modinfo", required=True)
    c.add_argument("--release", required=True)
    h = sub.add_parser("host-check")
    h.add_argument("--tool", required=True)
    h.add_argument("--preload", required=True)
    h.add_argument("--i2ctransfer")
    h.add_argument("--i2cget")
    args = ap.parse_args()
    if args.cmd == "self-test":
        return self_test()
    if args.cmd == "plan":
        sys.stdout.write(plan())
        return 0
    return check(args) if args.cmd == "check" else host_check(args)


if __name__ == "__main__":
    sys.exit(main())
