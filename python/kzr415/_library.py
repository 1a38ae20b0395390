"""The C library, libkzr-415-drv.so.1, and the prototypes of release 1.1's calls, which
return 0 (or a descriptor) or a negated errno and print nothing."""

from __future__ import annotations

import ctypes

from . import _header

# Each call's result and argument types, as lib/kzr-415-drv.h declares them (a test checks
# them against the header).
_uint8_p = ctypes.POINTER(ctypes.c_uint8)
_PROTOTYPES = {
    "kzr_415_open": (ctypes.c_int, (ctypes.c_char_p,)),
    "kzr_415_close": (ctypes.c_int, (ctypes.c_int,)),
    "kzr_415_get_register": (
        ctypes.c_int,
        (ctypes.c_int, ctypes.c_uint16, ctypes.c_uint8, _uint8_p, ctypes.c_uint8),
    ),
    "kzr_415_set_register": (
        ctypes.c_int,
        (ctypes.c_int, ctypes.c_uint16, ctypes.c_uint8, _uint8_p, ctypes.c_uint8),
    ),
    "kzr_415_set_alert_mode": (
        ctypes.c_int,
        (ctypes.c_int, ctypes.c_uint16, ctypes.c_int, ctypes.c_uint),
    ),
    "kzr_415_read_temperatures": (
        ctypes.c_int,
        (ctypes.c_int, ctypes.c_uint16, ctypes.POINTER(ctypes.c_float)),
    ),
    "kzr_415_decode": (ctypes.c_float, (_uint8_p, ctypes.c_uint8)),
}


def load() -> ctypes.CDLL:
    """The library, found as the dynamic loader finds any (its cache, LD_LIBRARY_PATH), with
    the prototypes of release 1.1's calls set."""
    try:
        library = ctypes.CDLL(_header.LIBRARY)
    except OSError as error:
        raise ImportError(
            "kzr415 needs the kzr-415 driver library %s (Debian package libkzr-415-drv1): %s"
            % (_header.LIBRARY, error)
        ) from error
    for name, (result, arguments) in _PROTOTYPES.items():
        try:
            function = getattr(library, name)
        except AttributeError as error:
            raise ImportError(
                "kzr415 needs %s of release 1.1.0 or later: it has no %s" % (_header.LIBRARY, name)
            ) from error
        function.restype = result
        function.argtypes = arguments
    return library
