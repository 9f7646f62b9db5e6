"""ctypes access to the package's libzo, for tests of the library itself.

The library is the one the extension modules load (it sits beside zopy.sim),
so the bench that zopy.sim controls is the one these calls reach.
"""

import ctypes
import os
import sys

import numpy as np

import zopy
from zopy import sim

c = ctypes
P = c.c_void_p


class Version(c.Structure):
    _fields_ = [("major", c.c_uint8), ("minor", c.c_uint8), ("patch", c.c_uint8)]

    def tuple(self):
        return (self.major, self.minor, self.patch)


class Calibration(c.Structure):
    _fields_ = [("m", c.c_double), ("b", c.c_double)]

    def tuple(self):
        return (self.m, self.b)


# name: (result type, argument types)
SIGNATURES = {
    "zo_init": (c.c_int, []),
    "zo_exit": (c.c_int, []),
    "zo_version": (Version, []),
    "zo_get_error": (c.c_int32, []),
    "zo_get_error_string": (c.c_char_p, []),
    "zo_open_device": (P, []),
    "zo_open_from_serial": (P, [c.c_char_p]),
    "zo_close_device": (c.c_int, [P]),
    "zo_reset_device": (c.c_int, [P]),
    "zo_get_serial": (c.c_char_p, [P]),
    "zo_get_product": (c.c_char_p, [P]),
    "zo_get_samplerate": (c.c_uint32, [P]),
    "zo_get_adcbits": (c.c_uint8, [P]),
    "zo_get_fwversion": (Version, [P]),
    "zo_get_usb_speed": (c.c_int, [P]),
    "zo_get_peak_responsivity": (c.c_int, [P]),
    "zo_get_rel_responsivity": (c.c_double, [P, c.c_double]),
    "zo_get_calibration": (Calibration, [P, c.c_int32]),
    "zo_get_rel_calibration": (Calibration, [P, c.c_int32, c.c_double]),
    "zo_get_raw_data": (c.c_int, [P, c.c_uint64, P]),
    "zo_get_raw_data_triggered": (c.c_int, [P, c.c_uint64, P, c.c_int, c.c_uint64]),
    "zo_get_raw_data_triggered_repeat": (c.c_int, [P, c.c_uint64, P, c.c_int, c.c_uint64,
                                                   c.c_uint64]),
    "zo_port_drive": (c.c_int, [P, c.c_int, c.c_bool]),
    "zo_port_pwm": (c.c_int, [P, c.c_int, c.c_uint32, c.c_uint32]),
    "zo_port_pulse": (c.c_int, [P, c.c_int, c.c_uint32]),
    "zo_port_read": (c.c_int, [P, c.c_int]),
    "zo_test_pn9": (c.c_int, [P]),
    "zo_test_checkerboard": (c.c_int, [P]),
    "zo_test_normal": (c.c_int, [P]),
    "zo_test_user": (c.c_int, [P, c.c_uint16]),
    "zo_in_request": (c.c_int, [P, c.c_uint8, c.c_uint16, c.c_uint16, P, c.c_uint16, c.c_uint32]),
    "zo_out_request": (c.c_int, [P, c.c_uint8, c.c_uint16, c.c_uint16, P, c.c_uint16, c.c_uint32]),
}
for _name in ("highgain", "antialias", "powerdown", "adcclock", "p1_monitor", "p2_monitor"):
    SIGNATURES[f"zo_read_{_name}"] = (c.c_int, [P])
    SIGNATURES[f"zo_set_{_name}"] = (c.c_int, [P, c.c_bool])


def _library_path():
    here = os.path.dirname(os.path.abspath(zopy.__file__))   # libzo sits beside the extension
    name = {"win32": "zo.dll", "darwin": "libzo.dylib"}.get(sys.platform, "libzo.so")
    return os.path.join(here, name)


lib = c.CDLL(_library_path())
for _name, (_res, _args) in SIGNATURES.items():
    _f = getattr(lib, _name)
    _f.restype, _f.argtypes = _res, _args

BAD_DOUBLE = c.c_double.in_dll(lib, "ZO_BAD_DOUBLE").value

ERROR_USB_TIMEOUT = 0x21
ERROR_PARAMS = 0x30
ERROR_INVALID_DEVICE = 0x32
ERROR_DEVICE_SETTINGS = 0x34
ERROR_NOT_IMPLEMENTED = 0x35


def last_error():
    return lib.zo_get_error(), lib.zo_get_error_string()


def open_device(serial=None):
    """Starts the library and opens an instrument; the handle (an int)."""
    lib.zo_init()
    h = lib.zo_open_device() if serial is None else lib.zo_open_from_serial(serial.encode())
    assert h, last_error()
    return h


def raw(h, n, mode=None, arm=0, spt=None):
    """Acquires n words; returns (status, words)."""
    buf = np.zeros(n, np.uint16)
    ptr = buf.ctypes.data if n else None
    if spt is not None:
        status = lib.zo_get_raw_data_triggered_repeat(h, n, ptr, mode, arm, spt)
    elif mode is not None:
        status = lib.zo_get_raw_data_triggered(h, n, ptr, mode, arm)
    else:
        status = lib.zo_get_raw_data(h, n, ptr)
    return status, buf


def capture(h, n, **kwargs):
    """Acquires n words and insists on success."""
    status, buf = raw(h, n, **kwargs)
    assert status == 0, last_error()
    return buf
