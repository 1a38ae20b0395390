"""Expected behaviour of kzr-415-tool on the emulated board.

Three pieces, each small enough to read in one sitting:

* Tmp105: the I2C device that the board test puts on the bus, following
  the behaviour of QEMU 7.2's tmp105 device model (hw/sensor/tmp105.c).
* Bus: the kernel's I2C_RDWR path as the program sees it: one message per
  call, ENXIO when no device acknowledges the address.
* run_program: the tool's fixed sequence with the library's transport,
  register accessors and temperature readout, producing the exact standard
  output, standard error and exit status.

Nothing here was recorded from a run of the program; every expected line is
computed from these rules.
"""

import errno
import struct

TOOL_ADDR = 0x48
BUS_NODE = "/dev/i2c-4"
I2C_M_RD = 0x0001
# The guest's C library (glibc) error texts, C locale.
ENXIO_TEXT = "No such device or address"
ENOENT_TEXT = "No such file or directory"


def f32(x):
    """Round a Python float (double) to single precision."""
    return struct.unpack("<f", struct.pack("<f", x))[0]


class Tmp105:
    """QEMU 7.2 tmp105 as seen from the bus.

    State: a register pointer (only its low 2 bits select a register), an
    8-bit configuration, a signed 8.8 fixed-point temperature, two limits,
    and a 2-byte transfer buffer with a byte counter.

    * Start of any transfer, and its end: the counter is reset.
    * Write transfer: the first byte is the pointer.  Every later byte is
      stored in buffer[counter-1] while the counter is 1 or 2, the counter
      advances, and the selected register is written from the buffer after
      every byte: configuration = buffer[0]; a limit = buffer[0]:buffer[1]
      once at least 3 bytes arrived; the temperature register ignores it.
    * Read transfer: at its start the selected register is loaded into the
      buffer: temperature -> high byte, low byte masked to the configured
      resolution; configuration -> buffer[0] only (buffer[1] keeps whatever
      it held before); limits -> both bytes.  The master then gets
      buffer[0], buffer[1], and 0xFF for every further byte.
    * Reset state: everything zero except the limits 0x4B00 and 0x5000.
    """

    def __init__(self, address, temperature_mc=0):
        self.address = address
        self.pointer = 0
        self.config = 0
        # The device model stores temperature * 256 / 1000, truncated
        # towards zero, as a signed 16-bit value.
        t = int(temperature_mc * 256 / 1000)
        self.temperature = t & 0xFFFF
        self.limit = [0x4B00, 0x5000]
        self.buf = [0, 0]
        self.len = 0

    def write_transfer(self, data):
        self.len = 0
        for byte in data:
            if self.len == 0:
                self.pointer = byte
                self.len = 1
                continue
            if self.len <= 2:
                self.buf[self.len - 1] = byte
            self.len += 1
            self._register_write()
        self.len = 0

    def _register_write(self):
        reg = self.pointer & 3
        if reg == 1:
            self.config = self.buf[0]
        elif reg in (2, 3) and self.len >= 3:
            self.limit[reg - 2] = (self.buf[0] << 8) | self.buf[1]

    def read_transfer(self, count):
        reg = self.pointer & 3
        if reg == 0:
            resolution = (self.config >> 5) & 3
            mask = 0xF0 << (3 - resolution)  # ~config's 2-bit field
            self.buf[0] = self.temperature >> 8
            self.buf[1] = self.temperature & mask & 0xFF
        elif reg == 1:
            self.buf[0] = self.config
        else:
            self.buf[0] = self.limit[reg - 2] >> 8
            self.buf[1] = self.limit[reg - 2] & 0xFF
        self.len = 0
        out = []
        for _ in range(count):
            if self.len < 2:
                out.append(self.buf[self.len])
                self.len += 1
            else:
                out.append(0xFF)
        self.len = 0
        return out


class RegisterFile:
    """A device that reads back what was last written, register by register
    (used by the model's self-test, against documented example traffic)."""

    def __init__(self, address, temperature_image):
        self.address = address
        self.pointer = 0
        self.regs = {0: list(temperature_image), 1: [0, 0], 2: [0] * 6, 3: [0] * 6}

    def write_transfer(self, data):
        self.pointer = data[0]
        if len(data) > 1:
            self.regs[self.pointer] = list(data[1:])

    def read_transfer(self, count):
        image = self.regs[self.pointer]
        return [image[i] if i < len(image) else 0xFF for i in range(count)]


class Bus:
    """One I2C_RDWR call per message; records the traffic it carried."""

    def __init__(self, device):
        self.device = device
        self.traffic = []

    def transfer(self, addr, flags, data=None, count=0):
        """Returns the bytes read (or []) or raises OSError(ENXIO)."""
        if self.device is None or addr != self.device.address:
            self.traffic.append(("NACK", addr))
            raise OSError(errno.ENXIO, ENXIO_TEXT)
        if flags & I2C_M_RD:
            got = self.device.read_transfer(count)
            self.traffic.append(("R", addr, tuple(got)))
            return got
        self.device.write_transfer(list(data))
        self.traffic.append(("W", addr, tuple(data)))
        return []


class Program:
    """The tool and its library, as far as output and traffic go."""

    def __init__(self, bus):
        self.bus = bus
        self.out = []
        self.err = []

    # transport
    def _ioctl(self, addr, flags, data=None, count=0):
        try:
            return self.bus.transfer(addr, flags, data, count)
        except OSError as e:
            self.err.append("ioctl(): %s\n" % e.strerror)
            self.err.append("ioctl returned -1\n")
            return None

    def write(self, addr, reg, data):
        return 0 if self._ioctl(addr, 0, [reg] + list(data)) is not None else -1

    def read(self, addr, reg, count):
        if self.write(addr, reg, []) < 0:
            return None
        return self._ioctl(addr, I2C_M_RD, count=count)

    # register accessors
    def alert_mode_set(self, addr, channel, mode):
        conf = self.read(addr, 0x01, 2)
        if conf is None:
            return -1
        conf = list(conf)
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
        b = temp[3 * (channel - 1):3 * channel]
        return decode(b, conf[channel - 1])

    def main(self, node_exists):
        self.out.append("slave address of kzr-415      : 0x%02x\n" % TOOL_ADDR)
        if not node_exists:
            self.err.append("Could not open i2c at %s\n" % BUS_NODE)
            self.err.append("%s: %s\n" % (BUS_NODE, ENOENT_TEXT))
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
    """C's "%f" of a float widened to double (glibc rounds exactly, half to
    even, as Python does; negative zero keeps its sign)."""
    return "%f" % value


def expected(run, device=None):
    """run: 'node-absent', or 'with-node' against `device` (None or a device
    at another address gives the device-absent run).  Returns
    (stdout, stderr, exit status, traffic)."""
    bus = Bus(device)
    prog = Program(bus)
    status = prog.main(node_exists=(run != "node-absent"))
    return "".join(prog.out), "".join(prog.err), status, bus.traffic
