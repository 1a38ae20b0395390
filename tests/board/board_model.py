"""What kzr-415-tool and the I2C tools must print against a simulated kzr-415.

The same device stands behind two buses: the kernel module sim/kernel/kzr-415-sim.c,
which the board test boots on a real ARM kernel, and the user-space emulated bus
(LD_PRELOAD of libkzr-415-sim-bus.so) on this machine. Both are set up from one list of
steps, defined here once: the device's settings, the runs of the program, the I2C tool
probes of device behaviour the program never shows, and the module's controls.

* Device: four registers behind a register pointer.
* Bus: one I2C_RDWR call per transfer, transfers counted from 1, an injected fault
  before anything else, ENXIO for an address nobody answers.
* Program: the tool's fixed sequence with the library's transport, register accessors
  and temperature readout, producing standard output, standard error and exit status.

Nothing here was recorded from a run; every expected line is computed from these rules,
and the temperature examples come from lib/worked-values.txt.
"""

import dataclasses
import os
import struct

TOOL_ADDR = 0x48
BUS_NODE = "/dev/i2c-4"
I2C_M_RD = 0x0001
WORKED_VALUES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                             "lib", "worked-values.txt")

# errno name -> (number, the C library's text in the C locale): the errors the runs
# inject and the ones the program meets.
ERRORS = {
    "ENOENT": (2, "No such file or directory"),
    "EIO": (5, "Input/output error"),
    "ENXIO": (6, "No such device or address"),
    "EAGAIN": (11, "Resource temporarily unavailable"),
    "ETIMEDOUT": (110, "Connection timed out"),
    "EREMOTEIO": (121, "Remote I/O error"),
}


def worked_values():
    """[(three bytes, 'twos-complement' | 'sign-magnitude', printed text)]"""
    table = []
    with open(WORKED_VALUES) as f:
        for line in f:
            if line[:1] not in "0123456789abcdefABCDEF" or not line.strip():
                continue
            words = line.split()
            table.append((tuple(int(b, 16) for b in words[0:3]), words[3], words[4]))
    return table


def worked(text):
    """The channel bytes of one worked value, written as in the table ("FC E0 00")."""
    wanted = tuple(int(b, 16) for b in text.split())
    for channel_bytes, _, _ in worked_values():
        if channel_bytes == wanted:
            return channel_bytes
    raise KeyError("no worked value %s" % text)


# ---------------------------------------------------------------------- device


@dataclasses.dataclass(frozen=True)
class Setting:
    """The device's settings: the module's parameters, the emulated bus's variables."""
    address: int = 0x48
    # Room temperature: 25.0 and 21.0 degrees in the two's-complement encoding.
    temperature: tuple = (0x03, 0x20, 0x00, 0x02, 0xA0, 0x00)
    configuration: tuple = (0x00, 0x00)
    t_low: tuple = (0,) * 6
    t_high: tuple = (0,) * 6
    fail: str = "none"  # "K:ERRNO" fails transfer K, "K+:ERRNO" every one from K on
    # The address as it is written to the module and the emulated bus, when not in
    # 0x-hex: both read numbers as decimal or 0x-prefixed hex ("072" is 72).
    address_text: str = ""

    IMAGES = ("temperature", "configuration", "t_low", "t_high")


def hex_image(image):
    return " ".join("%02x" % b for b in image)


class Device:
    """A kzr-415: a write's first byte selects a register, the bytes after it are stored
    (not into the read-only temperature register); a read returns the selected image,
    0xFF past its end and for a pointer that selects no register."""

    POINTERS = {0x00: "temperature", 0x01: "configuration", 0x02: "t_low", 0x03: "t_high"}
    READ_ONLY = {0x00}

    def __init__(self, setting):
        self.address = setting.address
        self.pointer = 0
        self.images = {p: list(getattr(setting, name)) for p, name in self.POINTERS.items()}

    def write(self, data):
        if not data:
            return  # an address-only write selects nothing
        self.pointer = data[0]
        if self.pointer in self.images and self.pointer not in self.READ_ONLY:
            image = self.images[self.pointer]
            n = min(len(data) - 1, len(image))
            image[:n] = data[1:1 + n]

    def read(self, count):
        image = self.images.get(self.pointer, [])
        return [image[i] if i < len(image) else 0xFF for i in range(count)]

    def image(self, name):
        pointer = next(p for p, n in self.POINTERS.items() if n == name)
        return self.images[pointer]


class BusError(Exception):
    def __init__(self, name):
        super().__init__(name)
        self.name = name


def parse_fail(text):
    """'K:ERRNO' or 'K+:ERRNO' -> (K, errno name, onwards); 'none' -> None."""
    if text == "none":
        return None
    index, name = text.split(":")
    onwards = index.endswith("+")
    return int(index.rstrip("+")), name, onwards


class Bus:
    """One I2C_RDWR call per transfer of one or more messages."""

    def __init__(self, device, fail="none"):
        self.device = device
        self.fault = parse_fail(fail)
        self.count = 0
        self.traffic = []

    def transfer(self, messages):
        """messages: [('W', addr, bytes) | ('R', addr, count)]; returns the bytes of each
        read message, or raises BusError."""
        self.count += 1
        if self.fault:
            k, name, onwards = self.fault
            if self.count == k or (onwards and self.count > k):
                self.traffic.append(("FAILED", name))
                raise BusError(name)
        got = []
        for kind, addr, arg in messages:
            if self.device is None or addr != self.device.address:
                self.traffic.append(("FAILED", "ENXIO"))
                raise BusError("ENXIO")
            if kind == "R":
                data = self.device.read(arg)
                self.traffic.append(("R", addr, tuple(data)))
                got.append(data)
            else:
                self.device.write(list(arg))
                self.traffic.append(("W", addr, tuple(arg)))
        return got


# ---------------------------------------------------------------------- program


def f32(x):
    """Round a Python float (double) to single precision."""
    return struct.unpack("<f", struct.pack("<f", x))[0]


def decode(b, config_byte):
    """Three channel bytes and the channel's configuration byte -> float32."""
    raw = (b[0] << 16) | (b[1] << 8) | b[2]
    if config_byte & 0x20:  # sign and magnitude
        sign = (raw >> 17) & 1
        whole = (raw >> 7) & 0x3FF
        value = f32(f32(float(whole)) + f32(((raw >> 5) & 3) * 0.25))
    else:  # 24-bit two's complement
        sign = (raw >> 23) & 1
        mag = ((0 - raw) & 0xFFFFFFFF) if sign else raw
        whole = (mag >> 13) & 0x3FF
        value = f32(f32(float(whole)) + f32((mag & 0x1FFF) * 0.000122))
    return -value if sign else value


def format_f(value):
    """C's "%f" of a float widened to double (glibc rounds exactly, half to even, as
    Python does; negative zero keeps its sign)."""
    return "%f" % value


class Program:
    """The tool and its library, as far as output and traffic go."""

    def __init__(self, bus):
        self.bus = bus
        self.out = []
        self.err = []

    def _ioctl(self, message):
        try:
            return self.bus.transfer([message])
        except BusError as e:
            self.err.append("ioctl(): %s\n" % ERRORS[e.name][1])
            self.err.append("ioctl returned -1\n")
            return None

    def write(self, addr, reg, data):
        return 0 if self._ioctl(("W", addr, [reg] + list(data))) is not None else -1

    def read(self, addr, reg, count):
        if self.write(addr, reg, []) < 0:
            return None
        got = self._ioctl(("R", addr, count))
        return None if got is None else got[0]

    def alert_mode_set(self, addr, channel, mode):
        conf = self.read(addr, 0x01, 2)
        if conf is None:
            return -1
        conf[channel - 1] = ((conf[channel - 1] & 0xF9) | (mode << 1)) & 0xFF
        return self.write(addr, 0x01, conf)

    def temperature_reg_read(self, addr, channel):
        conf = self.read(addr, 0x01, 2)
        if conf is None:
            self.out.append("read configure register err!\n")
            return -1.0
        temp = self.read(addr, 0x00, 6)
        if temp is None:
            self.out.append("read temperature register err!\n")
            return -1.0
        self.out.append("raw value 1:%d %d %d\n" % tuple(temp[0:3]))
        self.out.append("raw value 2:%d %d %d\n" % tuple(temp[3:6]))
        return decode(temp[3 * (channel - 1):3 * channel], conf[channel - 1])

    def main(self, node_exists):
        self.out.append("slave address of kzr-415      : 0x%02x\n" % TOOL_ADDR)
        if not node_exists:
            self.err.append("Could not open i2c at %s\n" % BUS_NODE)
            self.err.append("%s: %s\n" % (BUS_NODE, ERRORS["ENOENT"][1]))
            return 1
        a = TOOL_ADDR
        self.write(a, 0x01, [0x1C, 0x1C])
        self.alert_mode_set(a, 1, 0)
        self.alert_mode_set(a, 2, 0)
        self.write(a, 0x02, [0x80, 0x00, 0x00, 0x80, 0x00, 0x00])
        self.write(a, 0x03, [0x7F, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF])
        for channel in (1, 2):
            value = self.temperature_reg_read(a, channel)
            self.out.append("temperature %d:%s\n" % (channel, format_f(value)))
        return 0


# ---------------------------------------------------------------------- steps


@dataclasses.dataclass
class Expected:
    stdout: str = ""
    stderr: str = ""
    exit: int = 0
    transfers: int = 0
    state: dict = dataclasses.field(default_factory=dict)  # image name -> hex text
    error_text: str = None  # in standard error, where its whole text is not known


@dataclasses.dataclass
class Run:
    """kzr-415-tool against a device with `setting`, or with no bus node at all."""
    name: str
    setting: Setting = Setting()
    node: bool = True

    def expected(self):
        device = Device(self.setting)
        bus = Bus(device, self.setting.fail)
        program = Program(bus)
        status = program.main(node_exists=self.node)
        state = {n: hex_image(device.image(n)) for n in ("configuration", "t_low", "t_high")}
        return Expected("".join(program.out), "".join(program.err), status, bus.count, state), bus


@dataclasses.dataclass
class Probe:
    """One I2C tool command line against a device with `setting`: i2ctransfer (one
    transfer of its messages) or i2cget in byte-data mode (one SMBus transfer). The bus
    number is written @BUS@."""
    name: str
    command: str
    setting: Setting = Setting()

    def messages(self):
        words = self.command.split()
        if words[0] == "i2cget":  # i2cget -y BUS ADDR REG b
            addr, reg = int(words[3], 0), int(words[4], 0)
            return [("W", addr, [reg]), ("R", addr, 1)]
        messages, i = [], 3  # i2ctransfer -y BUS MESSAGE...
        while i < len(words):
            head, addr = words[i].split("@")
            kind, length = head[0].upper(), int(head[1:])
            if kind == "R":
                messages.append(("R", int(addr, 0), length))
                i += 1
            else:
                messages.append(("W", int(addr, 0), [int(w, 0) for w in words[i + 1:i + 1 + length]]))
                i += 1 + length
        return messages

    def expected(self):
        bus = Bus(Device(self.setting), self.setting.fail)
        try:
            reads = bus.transfer(self.messages())
        except BusError as e:
            # The tools word their error lines differently; both give the system's text.
            return Expected("", None, 1, bus.count, error_text=ERRORS[e.name][1])
        out = "".join(" ".join("0x%02x" % b for b in data) + "\n" for data in reads)
        return Expected(out, "", 0, bus.count)


# The adapter retries a transfer that fails with EAGAIN this many times at most, whatever
# I2C_RETRIES asks: sim/kernel/kzr-415-sim.c caps it.
RETRIES_MAX = 16


@dataclasses.dataclass
class RetryProbe:
    """i2c-retries: I2C_RETRIES and I2C_TIMEOUT (10 ms units) set on the node, then one
    transfer of one write message [0x00], which the kernel's I2C core tries again while it
    fails with EAGAIN, up to the adapter's retry count."""
    name: str
    retries: int
    timeout: int
    setting: Setting = Setting()

    @property
    def command(self):
        return "i2c-retries /dev/i2c-@BUS@ 0x%02x %d %d" % (TOOL_ADDR, self.retries, self.timeout)

    def expected(self):
        bus = Bus(Device(self.setting), self.setting.fail)
        for _ in range(min(self.retries, RETRIES_MAX) + 1):
            try:
                bus.transfer([("W", TOOL_ADDR, [0x00])])
                return Expected("I2C_RDWR returned 1\n", None, 0, bus.count)
            except BusError as e:
                error = e.name
                if error != "EAGAIN":
                    break
        return Expected("I2C_RDWR: %s\n" % ERRORS[error][1], None, 1, bus.count)


@dataclasses.dataclass
class Control:
    """A module parameter written from user space: an accepted value reads back as
    `reads`; a refused one (reads None) fails with EINVAL and changes nothing."""
    name: str
    parameter: str
    value: str
    reads: str = None


def runs():
    faulty = Setting(temperature=worked("03 30 00") + worked("FF FF FF"))
    errors = ["EIO", "ETIMEDOUT", "EREMOTEIO", "ENXIO", "EAGAIN"]
    steps = [
        Run("complete"),
        Run("device-absent", Setting(address=0x49)),
        # A leading zero is no octal prefix: 072 is 72, 0x48, on both buses.
        Run("address-072", Setting(address=72, address_text="072")),
        # Channel 2's configuration byte selects sign-magnitude and the configuration
        # write is lost, so the alert-mode steps carry the bit through.
        Run("sign-magnitude-channel-2",
            Setting(temperature=worked("FC E0 00") + worked("02 0C A0"),
                    configuration=(0x00, 0x20), fail="1:EIO")),
    ]
    # Each transfer of a complete run failing alone: the configuration write (1), the
    # alert modes' pointer writes, reads and write-backs (2-7), the thresholds (8, 9) and
    # each half of each channel's configuration and temperature reads (10-17).
    for k in range(1, 18):
        steps.append(Run("fault-%d" % k, dataclasses.replace(
            faulty, fail="%d:%s" % (k, errors[(k - 1) % len(errors)]))))
    steps.append(Run("faults-from-12", dataclasses.replace(faulty, fail="12+:ETIMEDOUT")))
    return steps


def probes():
    thresholds = Setting(t_low=(0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6))
    return [
        Probe("read-past-image", "i2ctransfer -y @BUS@ w1@0x48 0x01 r4@0x48",
              Setting(configuration=(0x1C, 0x3C))),
        Probe("unknown-pointers",
              "i2ctransfer -y @BUS@ w1@0x48 0x04 r2@0x48 w1@0x48 0xff r1@0x48"),
        Probe("read-only-temperature",
              "i2ctransfer -y @BUS@ w1@0x48 0x01 w3@0x48 0x00 0x11 0x22 r6@0x48"),
        Probe("short-and-long-writes",
              "i2ctransfer -y @BUS@ w2@0x48 0x02 0x55 "
              "w8@0x48 0x03 0x01 0x02 0x03 0x04 0x05 0x06 0x07 "
              "w1@0x48 0x02 r6@0x48 w1@0x48 0x03 r7@0x48", thresholds),
        Probe("other-address", "i2ctransfer -y @BUS@ r1@0x49"),
        Probe("address-moved", "i2ctransfer -y @BUS@ w1@0x2a 0x00 r6@0x2a",
              Setting(address=0x2A)),
        Probe("smbus-read-byte", "i2cget -y @BUS@ 0x48 0x01 b",
              Setting(configuration=(0x5A, 0xA5))),
        Probe("injected-fault", "i2ctransfer -y @BUS@ w1@0x48 0x00 r6@0x48",
              Setting(fail="1:EREMOTEIO")),
    ]


def controls():
    refused = [
        ("address", "0x80"), ("address", "-1"), ("address", "48h"),
        ("temperature", "03 20 00 02 a0"), ("temperature", "03 20 00 02 a0 00 00"),
        ("temperature", "03 20 00 02 a0 100"), ("configuration", "1g 00"),
        ("configuration", "0x 00"), ("t_low", "00 00 00 00 00 00,,01"),
        ("fail", "0:EIO"), ("fail", "3:EFOO"), ("fail", "3"), ("fail", "3:0"),
        ("fail", "3:4096"), ("fail", "x:EIO"), ("fail", "3-:EIO"),
        ("transfers", "5"),
        # Decimal or 0x-hex only, as the emulated bus reads them.
        ("address", "+72"), ("address", "0x0x48"), ("address", "0x"), ("fail", "0x:EIO"),
    ]
    accepted = [
        ("temperature", "0x03,0x30,0x00,0xff,0xff,0xff", "03 30 00 ff ff ff"),
        ("address", "72", "0x48"),
        ("address", "072", "0x48"),
        ("address", "0X4a", "0x4a"),
        ("configuration", "1C,3c", "1c 3c"),
        ("fail", "3+:71", "3+:EPROTO"),
        ("fail", "2:EAGAIN", "2:EAGAIN"),
        ("fail", "010:EIO", "10:EIO"),
        ("fail", "3+:011", "3+:EAGAIN"),
        ("fail", "none", "none"),
        ("transfers", "0", "0"),
    ]
    steps = [Control("refuse-%d" % i, p, v) for i, (p, v) in enumerate(refused, 1)]
    steps += [Control("accept-%d" % i, p, v, r) for i, (p, v, r) in enumerate(accepted, 1)]
    return steps


def retry_probes():
    """The I2C core's retries of EAGAIN, bounded by the module whatever a user asks. The
    retry count stays on the adapter until the module is unloaded."""
    storm = Setting(fail="1+:EAGAIN")
    int_max = 2**31 - 1
    return [
        RetryProbe("retries-3", 3, 1000, storm),
        # Without the cap, 10 s of tries in the kernel (the timeout), millions of them.
        RetryProbe("retries-capped", int_max, 1000, storm),
        RetryProbe("retry-succeeds", int_max, 1000, Setting(fail="1:EAGAIN")),
    ]


# i2c-dev gives a node to buses 0 to 2^20 - 1 (its minor numbers) and to no other.
I2C_DEV_MINORS = 1 << 20
# Another driver's adapters, loaded before the refusals: the board's two I2C controllers,
# on the bus numbers of the device tree's i2c0 and i2c1.
OTHER_ADAPTERS = "i2c-versatile"
OTHER_BUSES = (0, 1)


@dataclasses.dataclass
class Refusal:
    """Load-time arguments that the module refuses: insmod fails with error_text, the
    module stays unloaded, and the kernel logs no warning."""
    name: str
    arguments: str
    error_text: str


def refusals():
    return [
        Refusal("bus-taken", "bus=%d" % OTHER_BUSES[0], "Device or resource busy"),
        Refusal("bus-past-minors", "bus=%d" % I2C_DEV_MINORS, "Invalid argument"),
        Refusal("bus-negative", "bus=-2", "Invalid argument"),
    ]


# Loaded on i2c-dev's last minor, the address given with a leading zero: the node works
# and the device answers at 72 (0x48).
LAST_MINOR_ARGUMENTS = "bus=%d address=072" % (I2C_DEV_MINORS - 1)
LAST_MINOR = Run("last-minor")

# The module's parameters, as modinfo lists them and sysfs shows them.
PARAMETERS = ("address", "bus", "configuration", "fail", "t_high", "t_low", "temperature",
              "transfers")
# Loaded again at the end with load-time parameters: a fixed bus number, and an image
# given with commas.
RELOAD_ARGUMENTS = "bus=4 temperature=03,30,00,ff,ff,ff"
RELOADED = Run("reloaded-bus-4", Setting(temperature=(0x03, 0x30, 0x00, 0xFF, 0xFF, 0xFF)))
BUS_ABSENT = Run("bus-absent", node=False)
