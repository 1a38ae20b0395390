"""The kzr-415, a two-channel I2C temperature sensor, from Python.

A thin layer over the calls of libkzr-415-drv (release 1.1 and later) that return their
errors and print nothing::

    import kzr415

    with kzr415.Device("/dev/i2c-4", 0x48) as sensor:
        celsius_1, celsius_2 = sensor.read_temperatures()
        sensor.set_alert_mode(1, 0)
        image = sensor.get_register(kzr415.CONFIGURATION_REG)
        sensor.set_register(kzr415.T_HIGH_REG, bytes.fromhex("7fffff7fffff"))
    kzr415.decode(bytes.fromhex("032000"), 0x00)  # 25.0

A request the device cannot carry out (a channel, alert mode, register or image length it
has not) raises ValueError before any bus traffic; a failure of the bus or the device
raises OSError with the errno of the failed transfer (FileNotFoundError for a missing bus
node, TimeoutError, OSError with errno ENXIO when no device answers, ...).
"""

from __future__ import annotations

import ctypes
import operator
import os
import threading
import warnings
from typing import Optional, Tuple, Union

from . import _library
from ._header import (
    CONFIGURATION_REG,
    CONFIGURATION_REG_LENGTH,
    KZR_415_SLAVE_ADDR,
    REGISTER_LENGTHS,
    T_HIGH_REG,
    T_HIGH_REG_LENGTH,
    T_LOW_REG,
    T_LOW_REG_LENGTH,
    TEMPERATURE_REG,
    TEMPERATURE_REG_LENGTH,
    VERSION,
)

__version__ = VERSION
__all__ = [
    "CONFIGURATION_REG",
    "CONFIGURATION_REG_LENGTH",
    "Device",
    "KZR_415_SLAVE_ADDR",
    "T_HIGH_REG",
    "T_HIGH_REG_LENGTH",
    "T_LOW_REG",
    "T_LOW_REG_LENGTH",
    "TEMPERATURE_REG",
    "TEMPERATURE_REG_LENGTH",
    "decode",
]

_lib = _library.load()

# What the device has: channels 1 and 2, alert modes 0 to 3 (a 2-bit field), four registers
# of which the temperature register is read only, 7-bit addresses.
_CHANNELS = (1, 2)
_ALERT_MODES = range(4)
_WRITABLE_REGISTERS = frozenset(REGISTER_LENGTHS) - {TEMPERATURE_REG}
_ADDRESSES = range(0x80)
_RAW_READING_LENGTH = 3
_CONFIGURATION_BYTES = range(0x100)

Bus = Union[int, str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


def _os_error(result: int, path: Optional[str] = None) -> OSError:
    """The OSError of a call's negated errno; its class follows the errno (FileNotFoundError,
    TimeoutError, ...)."""
    code = -result
    if path is None:
        return OSError(code, os.strerror(code))
    return OSError(code, os.strerror(code), path)


def _whole_number(value: object, what: str, allowed: range | tuple[int, ...]) -> int:
    number = operator.index(value)  # TypeError for what is not a whole number
    if number not in allowed:
        raise ValueError("the kzr-415 has no %s %r" % (what, value))
    return number


def _byte_buffer(data: bytes) -> ctypes.Array[ctypes.c_uint8]:
    return (ctypes.c_uint8 * len(data)).from_buffer_copy(data)


def _bus_path(bus: Bus) -> bytes:
    if isinstance(bus, bool):
        raise TypeError("a bus is a number or a path, not %r" % bus)
    if isinstance(bus, int):
        if bus < 0:
            raise ValueError("bus numbers start at 0, not %d" % bus)
        return b"/dev/i2c-%d" % bus
    path = os.fsencode(bus)
    if not path or b"\0" in path:
        raise ValueError("a bus node path that no file can have: %r" % bus)
    return path


class Device:
    """A kzr-415 at `address` on the bus `bus`: a bus number N (/dev/i2c-N) or the path of
    the bus's i2c-dev node.

    Opening the node makes no bus traffic; FileNotFoundError when there is no such node,
    PermissionError without read and write access to it. The node is opened with
    close-on-exec, so programs started from Python do not inherit it.

    A Device is a context manager that closes the node when the block ends; close() does
    the same. Its calls may come from several threads: each call holds the device for its
    whole exchange (a register read is two transfers, an alert-mode change three).
    """

    def __init__(self, bus: Bus, address: int = KZR_415_SLAVE_ADDR) -> None:
        self._fd = -1
        path = _bus_path(bus)
        self.address = _whole_number(address, "7-bit address", _ADDRESSES)
        #: The bus node's path.
        self.bus = os.fsdecode(path)
        self._lock = threading.Lock()
        fd = _lib.kzr_415_open(path)
        if fd < 0:
            raise _os_error(fd, self.bus)
        self._fd = fd

    def __enter__(self) -> Device:
        return self

    def __exit__(self, *exception: object) -> None:
        self.close()

    def __del__(self) -> None:
        if getattr(self, "_fd", -1) >= 0:
            warnings.warn("unclosed kzr415.Device %r" % self, ResourceWarning, source=self)
            self.close()

    def __repr__(self) -> str:
        state = " closed" if self.closed else ""
        return "<kzr415.Device bus=%r address=0x%02x%s>" % (self.bus, self.address, state)

    @property
    def closed(self) -> bool:
        """True once the device was closed."""
        return self._fd < 0

    def fileno(self) -> int:
        """The bus node's descriptor, which the Device owns."""
        return self._open_fd()

    def close(self) -> None:
        """Closes the bus node; a second close does nothing. The descriptor is gone even when
        the system reports an error of closing it (OSError)."""
        with self._lock:
            fd, self._fd = self._fd, -1
        if fd >= 0:
            result = _lib.kzr_415_close(fd)
            if result < 0:
                raise _os_error(result)

    def _open_fd(self) -> int:
        if self._fd < 0:
            raise ValueError("I/O operation on a closed kzr415.Device")
        return self._fd

    def read_temperatures(self) -> Tuple[float, float]:
        """Both channels' temperatures in degrees Celsius, (channel 1, channel 2): the
        configuration register, then the temperature register (four transfers), each
        channel decoded in the encoding its configuration byte selects."""
        celsius = (ctypes.c_float * 2)()
        with self._lock:
            result = _lib.kzr_415_read_temperatures(self._open_fd(), self.address, celsius)
        if result < 0:
            raise _os_error(result)
        return (celsius[0], celsius[1])

    def set_alert_mode(self, channel: int, mode: int) -> None:
        """Sets channel 1's or 2's alert mode, 0 to 3 (bits 2:1 of its configuration byte):
        reads the configuration register and writes it back with that field changed and
        every other bit as read (three transfers)."""
        channel = _whole_number(channel, "channel", _CHANNELS)
        mode = _whole_number(mode, "alert mode", _ALERT_MODES)
        with self._lock:
            result = _lib.kzr_415_set_alert_mode(self._open_fd(), self.address, channel, mode)
        if result < 0:
            raise _os_error(result)

    def get_register(self, register: int) -> bytes:
        """The whole image of a register (TEMPERATURE_REG, CONFIGURATION_REG, T_LOW_REG or
        T_HIGH_REG), most significant byte first, channel 1 first (two transfers)."""
        register = _whole_number(register, "register", tuple(REGISTER_LENGTHS))
        length = REGISTER_LENGTHS[register]
        image = (ctypes.c_uint8 * length)()
        with self._lock:
            result = _lib.kzr_415_get_register(
                self._open_fd(), self.address, register, image, length
            )
        if result < 0:
            raise _os_error(result)
        return bytes(image)

    def set_register(self, register: int, image: bytes) -> None:
        """Writes the whole image of a writable register (CONFIGURATION_REG, T_LOW_REG or
        T_HIGH_REG): bytes-like, exactly the register's image length (one transfer)."""
        register = _whole_number(register, "writable register", tuple(sorted(_WRITABLE_REGISTERS)))
        data = bytes(memoryview(image))  # TypeError for what holds no bytes
        if len(data) != REGISTER_LENGTHS[register]:
            raise ValueError(
                "register 0x%02x takes %d bytes, not %d"
                % (register, REGISTER_LENGTHS[register], len(data))
            )
        with self._lock:
            result = _lib.kzr_415_set_register(
                self._open_fd(), self.address, register, _byte_buffer(data), len(data)
            )
        if result < 0:
            raise _os_error(result)


def decode(raw: bytes, configuration: int) -> float:
    """Decodes one channel's reading from its three bytes of the temperature register
    (most significant first), read another way, in the encoding that the channel's
    configuration byte selects (bit 5 set: sign-magnitude; clear: two's complement).
    Degrees Celsius; no bus traffic."""
    data = bytes(memoryview(raw))
    if len(data) != _RAW_READING_LENGTH:
        raise ValueError("a reading is %d bytes, not %d" % (_RAW_READING_LENGTH, len(data)))
    configuration = _whole_number(configuration, "configuration byte", _CONFIGURATION_BYTES)
    return float(_lib.kzr_415_decode(_byte_buffer(data), configuration))
