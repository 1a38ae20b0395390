#!/usr/bin/env python3
"""Checks the board's console logs against board_model.

    board_check.py self-test
    board_check.py check --present-log LOG --absent-log LOG
                         --temperature-mc T --absent-addr ADDR

The present-device boot has a tmp105 at the tool's address 0x48, set to
T millidegrees; the absent-device boot has it at ADDR instead.  Each boot's
/init runs the tool once without /dev/i2c-4 and once with it.
"""

import argparse
import difflib
import re
import sys

import board_model as m

HEX_LINE = re.compile(r"^\s*(?:[0-9a-f]{2}\s*)+$")


def parse_log(path):
    """Returns ({run: {'stdout': bytes, 'stderr': bytes, 'exit': int}}, notes)."""
    runs, notes = {}, []
    run = stream = None
    hexdata = []
    with open(path, "rb") as f:
        text = f.read().decode("utf-8", "replace")
    for line in text.replace("\r", "").split("\n"):
        marker = line.find("@@KZR ")
        if marker >= 0:
            words = line[marker + 6:].split()
            if not words:
                continue
            if words[0] == "RUN":
                run = words[1]
                runs[run] = {}
            elif words[0] == "BEGIN":
                stream, hexdata = words[1], []
            elif words[0] == "END" and run is not None and stream is not None:
                runs[run][stream] = bytes.fromhex("".join(hexdata))
                stream = None
            elif words[0] == "EXIT" and run is not None:
                runs[run]["exit"] = int(words[1])
            elif words[0] in ("ERROR", "BUS", "UPTIME"):
                notes.append(" ".join(words))
        elif stream is not None and HEX_LINE.match(line):
            hexdata.append(line.replace(" ", ""))
    return runs, notes


def compare(label, got, want_out, want_err, want_status):
    """Prints a verdict and diffs; returns True when the run matches."""
    problems = []
    if got is None:
        print("FAIL %s: the board reported no such run" % label)
        return False
    for name, want in (("stdout", want_out), ("stderr", want_err)):
        if name not in got:
            problems.append("  no %s was reported\n" % name)
            continue
        have = got[name].decode("utf-8", "replace")
        if have != want:
            diff = difflib.unified_diff(
                want.splitlines(True), have.splitlines(True),
                "expected " + name, "board " + name)
            problems.append("".join(diff))
            if not have.endswith("\n") and have:
                problems.append("\\ board %s lacks a final newline\n" % name)
    if got.get("exit") != want_status:
        problems.append("  exit status: expected %s, board %s\n"
                        % (want_status, got.get("exit")))
    if problems:
        print("FAIL %s" % label)
        for p in problems:
            sys.stdout.write(p)
        return False
    print("PASS %s" % label)
    return True


def check(args):
    present, notes1 = parse_log(args.present_log)
    absent, notes2 = parse_log(args.absent_log)
    for n in notes1:
        print("present-device boot: " + n)
    for n in notes2:
        print("absent-device boot: " + n)

    node_absent = m.expected("node-absent")
    complete = m.expected("with-node", m.Tmp105(m.TOOL_ADDR, args.temperature_mc))
    device_absent = m.expected("with-node", m.Tmp105(args.absent_addr))
    cases = [
        ("complete run (tmp105 at 0x48)", present.get("with-node"), complete),
        ("bus node absent", present.get("no-node"), node_absent),
        ("device absent (tmp105 at 0x%02x)" % args.absent_addr,
         absent.get("with-node"), device_absent),
        ("bus node absent, second boot", absent.get("no-node"), node_absent),
    ]
    passed = sum(compare(label, got, *want[:3]) for label, got, want in cases)
    print("%d passed, %d failed" % (passed, len(cases) - passed))
    return 0 if passed == len(cases) else 1


def self_test():
    """Checks the model itself against the documented decode examples and the
    documented traffic of a complete run; a failure here is a model bug."""
    failures = []

    def expect(what, got, want):
        if got != want:
            failures.append("%s: got %r, want %r" % (what, got, want))

    worked = [  # channel bytes, select bit, "%f" text
        ((0x03, 0x20, 0x00), 0, "25.000000"),
        ((0x03, 0x30, 0x00), 0, "25.499712"),
        ((0xFC, 0xE0, 0x00), 0, "-25.000000"),
        ((0xFF, 0xFF, 0xFF), 0, "-0.000122"),
        ((0x7F, 0xFF, 0xFF), 0, "1023.999329"),
        ((0x80, 0x00, 0x00), 0, "-0.000000"),
        ((0x00, 0x0C, 0x80), 1, "25.000000"),
        ((0x02, 0x0C, 0xA0), 1, "-25.250000"),
        ((0xFC, 0x0C, 0x80), 1, "25.000000"),
        ((0x01, 0xFF, 0xE0), 1, "1023.750000"),
    ]
    for b, sel, text in worked:
        expect("decode %s select %d" % (bytes(b).hex(), sel),
               m.format_f(m.decode(b, 0x20 if sel else 0x18)), text)

    # Complete run against a device that reads back what was written.
    dev = m.RegisterFile(0x48, [0x03, 0x20, 0x00, 0x03, 0x30, 0x00])
    out, err, status, traffic = m.expected("with-node", dev)
    W = lambda *b: ("W", 0x48, b)
    R = lambda *b: ("R", 0x48, b)
    t = (0x03, 0x20, 0x00, 0x03, 0x30, 0x00)
    expect("traffic", traffic, [
        W(0x01, 0x1C, 0x1C),
        W(0x01), R(0x1C, 0x1C), W(0x01, 0x18, 0x1C),
        W(0x01), R(0x18, 0x1C), W(0x01, 0x18, 0x18),
        W(0x02, 0x80, 0x00, 0x00, 0x80, 0x00, 0x00),
        W(0x03, 0x7F, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF),
        W(0x01), R(0x18, 0x18), W(0x00), R(*t),
        W(0x01), R(0x18, 0x18), W(0x00), R(*t),
    ])
    raw = "raw value 1:3 32 0\nraw value 2:3 48 0\n"
    expect("stdout", out, "slave address of kzr-415      : 0x48\n" + raw
           + "temperature 1:25.000000\n" + raw + "temperature 2:25.499712\n")
    expect("stderr", err, "")
    expect("status", status, 0)

    # The tmp105's own rules.
    d = m.Tmp105(0x48, 25500)
    expect("reset config read", (d.write_transfer([1]), d.read_transfer(2))[1], [0, 0])
    d.write_transfer([0x01, 0x1C, 0x77])  # 3-byte write to a 1-byte register
    expect("config after 3-byte write", d.config, 0x1C)
    expect("config read keeps stale 2nd byte",
           (d.write_transfer([0x05]), d.read_transfer(3))[1], [0x1C, 0x77, 0xFF])
    d.write_transfer([0x02, 0x12])  # a limit needs both bytes
    expect("limit after 1 byte", d.limit[0], 0x4B00)
    d.write_transfer([0x02, 0x12, 0x34, 0x56])
    expect("limit after 3 bytes", d.limit[0], 0x1234)
    # 25.5 C = 0x1980 in 8.8; resolution 0 (config 0x18) keeps 9 bits.
    d.write_transfer([0x01, 0x18])
    expect("temperature read, 9 bits",
           (d.write_transfer([0x00]), d.read_transfer(6))[1],
           [0x19, 0x80, 0xFF, 0xFF, 0xFF, 0xFF])
    d.write_transfer([0x01, 0x78])  # resolution 3: 12 bits
    d.temperature = 0x19F7
    expect("temperature read, 12 bits",
           (d.write_transfer([0x00]), d.read_transfer(2))[1], [0x19, 0xF0])
    expect("negative temperature", m.Tmp105(0x48, -25500).temperature, 0xE680)

    # Nothing answers: seven transport failures, two readout messages.
    out, err, status, traffic = m.expected("with-node", m.Tmp105(0x49))
    expect("absent stderr", err,
           "ioctl(): No such device or address\nioctl returned -1\n" * 7)
    expect("absent transfers", len(traffic), 7)
    expect("absent status", status, 0)

    for f in failures:
        print("model self-test: " + f)
    print("model self-test: %s" % ("FAILED" if failures else "ok"))
    return 1 if failures else 0


def main():
    ap = argparse.ArgumentParser()
    sub = ap.add_subparsers(dest="cmd", required=True)
    sub.add_parser("self-test")
    c = sub.add_parser("check")
    c.add_argument("--present-log", required=True)
    c.add_argument("--absent-log", required=True)
    c.add_argument("--temperature-mc", type=int, required=True)
    c.add_argument("--absent-addr", type=lambda s: int(s, 0), required=True)
    args = ap.parse_args()
    return self_test() if args.cmd == "self-test" else check(args)


if __name__ == "__main__":
    sys.exit(main())
