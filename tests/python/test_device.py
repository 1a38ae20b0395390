"""The Python package kzr415: each call's traffic, results and errors on the emulated bus
(each case a Python program run under kzr-415-sim), the decode against the worked values,
what it refuses before any traffic, and its prototypes and refusals against the C side."""

from __future__ import annotations

import ast
import ctypes
import errno
import re
import textwrap
from pathlib import Path

import pytest

from conftest import SOURCE_DIR


def python(programs, code, *sim_options, trace=None):
    """Runs `code` (kzr415 imported) under kzr-415-sim; its standard output, as the
    literal it prints. Fails on anything on standard error or a non-zero status."""
    options = list(sim_options) + (["--trace", str(trace)] if trace else [])
    run = programs.python_on_sim("import kzr415\n" + textwrap.dedent(code), *options)
    assert (run.status, run.err) == (0, ""), run.err
    return ast.literal_eval(run.out)


def trace_lines(path: Path):
    return path.read_text().splitlines() if path.exists() else []


def test_the_issues_example(programs, tmp_path):
    trace = tmp_path / "trace"
    got = python(
        programs,
        """
        with kzr415.Device("/dev/i2c-4", 0x48) as sensor:
            celsius_1, celsius_2 = sensor.read_temperatures()
            sensor.set_alert_mode(1, 0)
            image = sensor.get_register(kzr415.CONFIGURATION_REG)
            sensor.set_register(kzr415.T_HIGH_REG, bytes.fromhex("7fffff7fffff"))
        print((celsius_1, celsius_2, image, kzr415.decode(bytes.fromhex("032000"), 0x00)))
        """,
        "--configuration", "1e 1c",
        trace=trace,
    )
    assert got == (25.0, 21.0, b"\x18\x1c", 25.0)
    assert trace_lines(trace) == [
        # read_temperatures: four transfers
        "W 0x48 [01]", "R 0x48 2 -> [1e 1c]", "W 0x48 [00]", "R 0x48 6 -> [03 20 00 02 a0 00]",
        # set_alert_mode(1, 0): read-modify-write of channel 1's bits 2:1
        "W 0x48 [01]", "R 0x48 2 -> [1e 1c]", "W 0x48 [01 18 1c]",
        # get_register: two
        "W 0x48 [01]", "R 0x48 2 -> [18 1c]",
        # set_register: one
        "W 0x48 [03 7f ff ff 7f ff ff]",
    ]


def test_each_channel_decoded_as_its_configuration_byte_selects(programs):
    # Channel 1: two's complement; channel 2: sign-magnitude (bit 5 of its byte).
    got = python(
        programs,
        "print(kzr415.Device(4).read_temperatures())",
        "--raw-temperature", "fc e0 00 02 0c a0", "--configuration", "1c 3c",
    )
    assert got == (-25.0, -25.25)
    # Another bus and address, given as a number and as a path object.
    moved = ("--node", "/dev/i2c-11", "--address", "0x2a")
    code = "print(kzr415.Device(11, 0x2a).read_temperatures())"
    assert python(programs, code, *moved) == (25.0, 21.0)
    code = "import pathlib\nprint(kzr415.Device(pathlib.Path('/dev/i2c-11'), 42).get_register(0))"
    assert python(programs, code, *moved) == bytes.fromhex("032000 02a000")


def test_errors_are_oserrors_with_the_transfers_errno(programs):
    code = """
        import errno
        results = []
        def attempt(call):
            try:
                call()
                results.append("ok")
            except OSError as error:
                results.append((type(error).__name__, errno.errorcode[error.errno], error.strerror,
                                error.filename))
        device = kzr415.Device("/dev/i2c-4", 0x48)
        attempt(device.read_temperatures)                                  # transfers 1 to 4
        attempt(lambda: device.get_register(kzr415.T_LOW_REG))             # 5, 6
        attempt(lambda: device.set_alert_mode(2, 3))                       # 7, 8, 9
        attempt(lambda: device.set_register(kzr415.T_LOW_REG, bytes(6)))   # 10
        device.close()
        attempt(lambda: kzr415.Device("/dev/i2c-5"))
        print(results)
        """
    timed_out = ("TimeoutError", "ETIMEDOUT", "Connection timed out", None)
    remote = ("OSError", "EREMOTEIO", "Remote I/O error", None)
    no_node = ("FileNotFoundError", "ENOENT", "No such file or directory", "/dev/i2c-5")
    assert python(programs, code, "--fail", "1:ETIMEDOUT") == [timed_out, "ok", "ok", "ok", no_node]
    assert python(programs, code, "--fail", "9+:EREMOTEIO") == ["ok", "ok", remote, remote, no_node]


def test_no_device_and_no_node(programs):
    code = """
        try:
            kzr415.Device("/dev/i2c-4", 0x48).read_temperatures()
        except OSError as error:
            print((type(error).__name__, error.errno))
        """
    assert python(programs, code, "--no-device") == ("OSError", errno.ENXIO)
    assert python(programs, code, "--no-node") == ("FileNotFoundError", errno.ENOENT)


def test_what_the_device_has_not_is_refused_before_any_traffic(programs, tmp_path):
    trace = tmp_path / "trace"
    got = python(
        programs,
        """
        refused = []
        def attempt(call):
            try:
                call()
                refused.append("accepted")
            except (ValueError, TypeError) as error:
                refused.append(type(error).__name__)
        device = kzr415.Device("/dev/i2c-4")
        for call in (
            lambda: device.set_alert_mode(0, 1), lambda: device.set_alert_mode(3, 1),
            lambda: device.set_alert_mode(1, 4), lambda: device.set_alert_mode(1, -1),
            lambda: device.get_register(4), lambda: device.get_register(-1),
            lambda: device.set_register(kzr415.TEMPERATURE_REG, bytes(6)),
            lambda: device.set_register(kzr415.T_LOW_REG, bytes(5)),
            lambda: device.set_register(kzr415.CONFIGURATION_REG, bytes(6)),
            lambda: kzr415.Device("/dev/i2c-4", 0x80), lambda: kzr415.Device(-1),
            lambda: kzr415.Device("/dev/i2c-4\\0"), lambda: kzr415.Device(""),
            lambda: kzr415.decode(bytes(2), 0), lambda: kzr415.decode(bytes(3), 256),
            # what would otherwise pass as something else: 6 zero bytes, channel 1, bus 1
            lambda: device.set_register(kzr415.T_LOW_REG, 6),
            lambda: device.set_alert_mode("1", 0), lambda: device.set_alert_mode(1.0, 0),
            lambda: kzr415.Device(True), lambda: kzr415.decode("abc", 0),
        ):
            attempt(call)
        device.close()
        print(refused)
        """,
        trace=trace,
    )
    assert got == ["ValueError"] * 15 + ["TypeError"] * 5
    assert trace_lines(trace) == []


def test_closing(programs):
    got = python(
        programs,
        """
        import fcntl, os
        with kzr415.Device("/dev/i2c-4") as device:
            fd = device.fileno()
            close_on_exec = bool(fcntl.fcntl(fd, fcntl.F_GETFD) & fcntl.FD_CLOEXEC)
        closed = device.closed
        try:
            os.fstat(fd)
            descriptor = "open"
        except OSError as error:
            descriptor = error.errno
        try:
            device.read_temperatures()
            after = "read"
        except ValueError:
            after = "ValueError"
        device.close()
        print((close_on_exec, closed, descriptor, after, repr(device)))
        """,
    )
    closed_repr = "<kzr415.Device bus='/dev/i2c-4' address=0x48 closed>"
    assert got == (True, True, errno.EBADF, "ValueError", closed_repr)


def test_one_device_shared_by_threads(programs, tmp_path):
    """Each call holds the device for its whole exchange: two threads changing one channel's
    alert mode each (read-modify-writes of the one register) lose no update, and every
    exchange's transfers come together."""
    trace = tmp_path / "trace"
    rounds = 100
    got = python(
        programs,
        """
        import threading
        device = kzr415.Device("/dev/i2c-4")
        def change(channel):
            for round in range(%d):
                device.set_alert_mode(channel, round %% 4)
                device.read_temperatures()
        threads = [threading.Thread(target=change, args=(c,)) for c in (1, 2)]
        for thread in threads: thread.start()
        for thread in threads: thread.join()
        print(device.get_register(kzr415.CONFIGURATION_REG))
        """ % rounds,
        trace=trace,
    )
    last_mode = (rounds - 1) % 4
    assert got == bytes([last_mode << 1, last_mode << 1])
    lines = trace_lines(trace)
    assert len(lines) == 2 * rounds * 7 + 2
    # an alert-mode change: its read followed at once by its write-back
    for index, line in enumerate(lines):
        if re.fullmatch(r"W 0x48 \[01 .. ..\]", line):
            assert lines[index - 2] == "W 0x48 [01]" and lines[index - 1].startswith("R 0x48 2 ")


def worked_values():
    for line in (SOURCE_DIR / "lib" / "worked-values.txt").read_text().splitlines():
        if line and not line.startswith("#"):
            raw, encoding, printed = line[:8], line[8:].split()[0], line[8:].split()[1]
            yield bytes.fromhex(raw), encoding == "sign-magnitude", printed


@pytest.mark.parametrize("raw, sign_magnitude, printed", list(worked_values()))
def test_decode_gives_the_worked_values(kzr415, raw, sign_magnitude, printed):
    # bit 5 selects the encoding; every other bit of the configuration byte changes nothing
    for configuration in (0x00, 0xDF) if not sign_magnitude else (0x20, 0xFF):
        assert "%f" % kzr415.decode(raw, configuration) == printed
        assert "%f" % kzr415.decode(bytearray(raw), configuration) == printed


def test_refusals_are_the_librarys(kzr415):
    """What the package refuses before calling the library is exactly what the library
    refuses (-EINVAL, no traffic); what it lets through the library takes (with no open
    descriptor: -EBADF from the transfer)."""
    lib = kzr415._lib
    registers = dict(kzr415._header.REGISTER_LENGTHS)
    for reg in range(256):
        for length in range(kzr415.TEMPERATURE_REG_LENGTH + 3):
            buffer = (ctypes.c_uint8 * max(length, 1))()
            get = lib.kzr_415_get_register(-1, 0x48, reg, buffer, length)
            assert get == (-errno.EBADF if registers.get(reg) == length else -errno.EINVAL)
            put = lib.kzr_415_set_register(-1, 0x48, reg, buffer, length)
            writable = reg in kzr415._WRITABLE_REGISTERS and registers[reg] == length
            assert put == (-errno.EBADF if writable else -errno.EINVAL), (reg, length)
    for channel in range(-2, 6):
        for mode in range(8):
            result = lib.kzr_415_set_alert_mode(-1, 0x48, channel, mode)
            taken = channel in kzr415._CHANNELS and mode in kzr415._ALERT_MODES
            assert result == (-errno.EBADF if taken else -errno.EINVAL), (channel, mode)


_uint8_p, _float_p = ctypes.POINTER(ctypes.c_uint8), ctypes.POINTER(ctypes.c_float)
C_TYPES = {"int": ctypes.c_int, "unsigned int": ctypes.c_uint, "uint16_t": ctypes.c_uint16,
           "uint8_t": ctypes.c_uint8, "float": ctypes.c_float, "const char *": ctypes.c_char_p,
           "uint8_t *": _uint8_p, "const uint8_t *": _uint8_p, "float *": _float_p}


def c_type(declaration):
    """The ctypes type of a C declaration with a name ("const uint8_t raw[3]", "int fd")."""
    found = re.fullmatch(r"(.*?)\s*\b\w+\s*(\[\d*\])?", " ".join(declaration.split()))
    base = found.group(1).replace(" *", "*").replace("*", " *").strip()
    return C_TYPES[base + " *" if found.group(2) else base]


def test_prototypes_are_the_headers(kzr415):
    header = (SOURCE_DIR / "lib" / "kzr-415-drv.h").read_text()
    declarations = {
        name: (result, parameters)
        for result, name, parameters in re.findall(
            r"KZR_415_API\s+(\w[\w ]*?)\s*\b(kzr_415_\w+)\(([^)]*)\);", header
        )
    }
    for name, (result, arguments) in kzr415._library._PROTOTYPES.items():
        assert name in declarations, name
        c_result, c_parameters = declarations[name]
        assert C_TYPES[c_result] is result, name
        assert [c_type(p) for p in c_parameters.split(",")] == list(arguments), name
