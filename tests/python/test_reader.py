"""kzr-415-read on the emulated bus, as scripts and monitoring systems use it: readings in
each format parsed back by a parser of that format, the read-only property from the bus
trace, every exit status, the signals, and -o replaced whole while this process reads it.
Runs for this machine's build and, with --emulator, for a cross build under qemu-user."""

from __future__ import annotations

import datetime
import json
import os
import re
import signal
import stat
import time
from pathlib import Path
from typing import List

import pytest
from prometheus_client.parser import text_string_to_metric_families

TEXT = "temperature 1:25.000000\ntemperature 2:21.000000\n"
# The default device's four transfers of one sample: configuration, then temperature.
SAMPLE_TRAFFIC = [
    "W 0x48 [01]",
    "R 0x48 2 -> [00 00]",
    "W 0x48 [00]",
    "R 0x48 6 -> [03 20 00 02 a0 00]",
]
# Channel 1 at -25 in two's complement, channel 2 at -25.25 in sign-magnitude.
MIXED_DEVICE = ["--raw-temperature", "fc e0 00 02 0c a0", "--configuration", "1c 3c"]


def read(programs, *arguments: str, sim: List[str] = (), trace: Path = None):
    sim_options = list(sim) + (["--trace", str(trace)] if trace else [])
    return programs.run(programs.sim_command(sim_options, [programs.given("reader"), *arguments]))


def trace_lines(path: Path) -> List[str]:
    return path.read_text().splitlines() if path.exists() else []


def test_json_samples_at_an_interval_read_only(programs, tmp_path):
    trace = tmp_path / "trace"
    run = read(programs, "-f", "json", "-i", "0.1", "-n", "3", trace=trace)
    assert (run.status, run.err) == (0, "")
    lines = run.out.splitlines()
    assert len(lines) == 3 and run.out.endswith("\n")
    for line in lines:
        sample = json.loads(line)
        assert sorted(sample) == ["address", "bus", "temperature_1", "temperature_2", "time"]
        assert (sample["bus"], sample["address"]) == ("/dev/i2c-4", "0x48")
        assert (sample["temperature_1"], sample["temperature_2"]) == (25.0, 21.0)
        assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z", sample["time"])
        when = datetime.datetime.strptime(sample["time"], "%Y-%m-%dT%H:%M:%S.%f%z")
        assert when.tzinfo == datetime.timezone.utc
        # six decimals, as the text format prints them
        assert '"temperature_1":25.000000,"temperature_2":21.000000}' in line
    # 12 transfers, and no write carries data: each write is a register pointer alone.
    assert trace_lines(trace) == SAMPLE_TRAFFIC * 3


def test_text_and_each_channels_own_encoding(programs):
    assert read(programs).out == TEXT
    run = read(programs, "-f", "text", sim=MIXED_DEVICE)
    assert (run.status, run.out) == (0, "temperature 1:-25.000000\ntemperature 2:-25.250000\n")
    # 80 00 00 in two's complement reads as negative zero.
    negative_zero = read(programs, "-f", "json", sim=["--raw-temperature", "80 00 00 80 00 00"])
    assert '"temperature_1":-0.000000,"temperature_2":-0.000000}' in negative_zero.out
    assert str(json.loads(negative_zero.out)["temperature_1"]) == "-0.0"


def test_bus_by_number_or_path_and_another_address(programs):
    assert read(programs, "-b", "4").out == TEXT
    assert read(programs, "-b", "04", "-a", "72").out == TEXT
    moved = ["--node", "/dev/i2c-11", "--address", "0x2a"]
    assert read(programs, "-b", "11", "-a", "0x2a", sim=moved).out == TEXT
    assert read(programs, "-b", "/dev/i2c-11", "-a", "42", sim=moved).out == TEXT
    elsewhere = read(programs, "-b", "/dev/i2c-11", "-a", "0x2b", "-f", "json", sim=moved)
    assert elsewhere.status == 3 and elsewhere.out == ""
    assert elsewhere.err == "kzr-415-read: /dev/i2c-11 0x2b: No such device or address\n"


def test_prometheus_text_parsed_by_prometheus_client(programs):
    run = read(programs, "-f", "prometheus", sim=MIXED_DEVICE)
    assert run.status == 0
    families = list(text_string_to_metric_families(run.out))
    assert [(f.name, f.type) for f in families] == [("kzr415_temperature_celsius", "gauge")]
    assert families[0].documentation
    samples = [(s.name, s.labels, s.value) for s in families[0].samples]
    labels = {"bus": "/dev/i2c-4", "address": "0x48"}
    assert samples == [
        ("kzr415_temperature_celsius", dict(labels, channel="1"), -25.0),
        ("kzr415_temperature_celsius", dict(labels, channel="2"), -25.25),
    ]


@pytest.mark.parametrize("fmt", ["json", "prometheus"])
def test_an_odd_bus_path_comes_back_as_given(programs, fmt):
    # Quotes, a backslash, a line feed and a byte that is no UTF-8 (U+FFFD in the output).
    path = b'/tmp/i2c "4"\\\n\xff'
    sim_options = [os.fsdecode(b"--node=" + path)]
    run = read(programs, "-f", fmt, "-b", os.fsdecode(path), sim=sim_options)
    assert run.status == 0, run.err
    want = '/tmp/i2c "4"\\\n\ufffd'
    if fmt == "json":
        assert json.loads(run.out)["bus"] == want
    else:
        family = next(text_string_to_metric_families(run.out))
        assert {s.labels["bus"] for s in family.samples} == {want}


def test_statuses_and_what_each_prints(programs, tmp_path):
    trace = tmp_path / "trace"
    no_device = read(programs, sim=["--no-device"], trace=trace)
    assert (no_device.status, no_device.out) == (3, "")
    assert no_device.err == "kzr-415-read: /dev/i2c-4 0x48: No such device or address\n"
    assert trace_lines(trace) == ["W 0x48 [01] FAILED ENXIO"]

    no_node = read(programs, "-f", "json", sim=["--no-node"])
    assert (no_node.status, no_node.out) == (1, "")
    assert no_node.err == "kzr-415-read: /dev/i2c-4: No such file or directory\n"

    # The second of three samples fails at its temperature read: the run goes on.
    trace.unlink()
    failing = read(programs, "-i", "0.01", "-n", "3", sim=["--fail", "7:EREMOTEIO"], trace=trace)
    assert (failing.status, failing.out) == (3, TEXT * 2)
    assert failing.err == "kzr-415-read: /dev/i2c-4 0x48: Remote I/O error\n"
    assert len(trace_lines(trace)) == 11


@pytest.mark.parametrize(
    "arguments",
    [
        ["-f", "yaml"],
        ["-a", "0x78"],
        ["-a", "0x02"],
        ["-b", "1048576"],
        ["-i", "0.0000000001"],
        ["-i", "1s"],
        ["-i", "1", "-n", "0"],
        ["-n", "3"],
        ["-x"],
        ["-f"],
        ["--", "extra"],
    ],
)
def test_usage_errors_make_no_traffic(programs, tmp_path, arguments):
    trace = tmp_path / "trace"
    run = read(programs, *arguments, trace=trace)
    assert (run.status, run.out) == (2, "")
    assert run.err.startswith("kzr-415-read: ") and run.err.count("\n") == 1
    assert trace_lines(trace) == []


def test_help(programs, tmp_path):
    trace = tmp_path / "trace"
    run = read(programs, "-f", "json", "--help", trace=trace)
    assert (run.status, run.err) == (0, "")
    assert run.out.startswith("Usage: kzr-415-read [-b BUS] [-a ADDRESS] [-f text|json|prometheus]")
    assert trace_lines(trace) == []


def start_on_bus(programs, arguments, bus=None, shell_prefix=None):
    command = [programs.given("reader"), *arguments]
    if shell_prefix:
        command = ["sh", "-c", shell_prefix + ' exec "$@"', "sh"] + command
    return programs.start(programs.on_bus_command(command, bus or {}))


def lines_until(stream, count):
    """The first `count` lines of a program's output, as they come."""
    return [stream.readline().decode() for _ in range(count)]


@pytest.mark.parametrize("number", [signal.SIGTERM, signal.SIGINT])
def test_a_signal_ends_the_run_between_samples(programs, number):
    process = start_on_bus(programs, ["-i", "0.02"])
    try:
        first = "".join(lines_until(process.stdout, 4))
        assert first == TEXT * 2
        process.send_signal(number)
        out, err = process.communicate(timeout=120)
    finally:
        process.kill()
    assert (process.returncode, err) == (0, b"")
    whole = first + out.decode()
    assert whole == TEXT * whole.count(TEXT), "not whole samples"


def test_a_signal_after_a_failed_sample_gives_its_status(programs):
    process = start_on_bus(programs, ["-i", "0.02"], {"KZR415_SIM_NO_DEVICE": "1"})
    try:
        failure = b"kzr-415-read: /dev/i2c-4 0x48: No such device or address\n"
        assert process.stderr.readline() == failure
        process.terminate()
        out, _ = process.communicate(timeout=120)
    finally:
        process.kill()
    assert (process.returncode, out) == (3, b"")


def test_an_ignored_sigint_stays_ignored(programs):
    if programs.emulator:
        pytest.skip("sh cannot start the emulated program")
    process = start_on_bus(programs, ["-i", "0.02"], shell_prefix="trap '' INT;")
    try:
        assert "".join(lines_until(process.stdout, 2)) == TEXT
        process.send_signal(signal.SIGINT)
        # Still reading after the interrupt: two more samples come.
        assert "".join(lines_until(process.stdout, 4)) == TEXT * 2
        process.terminate()
        process.communicate(timeout=120)
    finally:
        process.kill()
    assert process.returncode == 0


def test_output_file_replaced_whole_while_read(programs, tmp_path):
    """This process reads FILE in a loop while a sample every 5 ms replaces it: once the
    file is there, every read must find it and find a whole sample. Each replacement must
    be a new file: one written in place would keep its inode (and the test would wait for a
    new one in vain), and a descriptor held open across a replacement would see its
    contents change."""
    output = tmp_path / "kzr-415.prom"
    process = start_on_bus(programs, ["-f", "prometheus", "-i", "0.005", "-o", str(output)])
    replacements_wanted = 25
    replacements = reads = 0
    held = None  # (descriptor, contents, inode) of the version read last, kept open
    deadline = time.monotonic() + 120
    try:
        while replacements < replacements_wanted:
            assert process.poll() is None, process.communicate()
            assert time.monotonic() < deadline, (
                "%d reads saw %d replacements: the file is written in place" % (reads, replacements)
            )
            try:
                fd = os.open(output, os.O_RDONLY)
            except FileNotFoundError:
                assert held is None, "the file was missing after it had been written"
                continue
            contents = os.read(fd, 65536)
            inode = os.fstat(fd).st_ino
            reads += 1
            assert contents.count(b"\n") == 4, "not a whole sample: %r" % contents
            family = next(text_string_to_metric_families(contents.decode()))
            assert [s.value for s in family.samples] == [25.0, 21.0], contents
            if held is not None and inode == held[2]:
                os.close(fd)
                continue
            if held is not None:
                # The version replaced is still whole behind its descriptor.
                assert os.pread(held[0], 65536, 0) == held[1]
                os.close(held[0])
                replacements += 1
            held = (fd, contents, inode)
        process.terminate()
        out, err = process.communicate(timeout=120)
    finally:
        process.kill()
        if held is not None:
            os.close(held[0])
    assert (process.returncode, out, err) == (0, b"", b"")
    # Nothing left beside the file, which has the mode of any new file.
    assert sorted(p.name for p in tmp_path.iterdir()) == ["kzr-415.prom"]
    assert stat.S_IMODE(output.stat().st_mode) == 0o666 & ~current_umask()


def current_umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def test_output_file_after_a_failure(programs, tmp_path):
    # A failed sample leaves the file as it was.
    output = tmp_path / "reading.txt"
    output.write_text("earlier\n")
    failed = read(programs, "-o", str(output), sim=["--no-device"])
    assert (failed.status, failed.out) == (3, "")
    assert output.read_text() == "earlier\n"

    missing = tmp_path / "no-such-folder" / "reading.txt"
    run = read(programs, "-o", str(missing))
    assert (run.status, run.out) == (3, "")
    assert run.err == "kzr-415-read: %s: No such file or directory\n" % missing
    assert sorted(p.name for p in tmp_path.iterdir()) == ["reading.txt"]
