"""Per-call cost of the module: identity reads and a no-argument method.

Compares, in one run:
  * a zopy property read (`dev.samplerate`) and a no-argument method
    (`dev.read_highgain()`),
  * the same libzo functions called through ctypes,
  * a builtin no-argument method (`int.bit_length`),
  * the bare library call timed in a C++ loop.

The module's own overhead is a zopy call minus the bare library call. Targets:
at most 1.5 x the builtin method call, and at least 8 x smaller than the
overhead of ctypes. Prints ratios; asserts nothing (the machine is shared).
"""

import ctypes
import os
import timeit

import zopy
from zopy import _timing, sim

from timing import ratio, sized

SERIAL = "BENCH-CTYPES"
LOOPS = sized(1_000_000, 100)
BARE_LOOPS = sized(10_000_000, 1000)


def best_per_call(stmt, globals_, loops=LOOPS, repeat=7):
    return min(timeit.repeat(stmt, globals=globals_, number=loops, repeat=repeat)) / loops


def open_ctypes_library():
    path = os.path.join(os.path.dirname(zopy.__file__), "libzo.so")
    if os.name == "nt":
        path = os.path.join(os.path.dirname(zopy.__file__), "zo.dll")
    lib = ctypes.CDLL(path)
    lib.zo_open_from_serial.restype = ctypes.c_void_p
    lib.zo_open_from_serial.argtypes = [ctypes.c_char_p]
    lib.zo_get_samplerate.restype = ctypes.c_uint32
    lib.zo_get_samplerate.argtypes = [ctypes.c_void_p]
    lib.zo_read_highgain.restype = ctypes.c_int
    lib.zo_read_highgain.argtypes = [ctypes.c_void_p]
    lib.zo_close_device.argtypes = [ctypes.c_void_p]
    return lib


def main():
    sim.reset()
    sim.attach(SERIAL)
    sim.set_logging(False)
    dev = zopy.Device()                  # the default instrument
    lib = open_ctypes_library()
    handle = lib.zo_open_from_serial(SERIAL.encode())
    number = 12345

    rows = {}
    rows["zopy dev.samplerate"] = best_per_call("dev.samplerate", {"dev": dev})
    rows["zopy dev.read_highgain()"] = best_per_call("dev.read_highgain()", {"dev": dev})
    rows["ctypes zo_get_samplerate"] = best_per_call("f(h)", {"f": lib.zo_get_samplerate, "h": handle})
    rows["ctypes zo_read_highgain"] = best_per_call("f(h)", {"f": lib.zo_read_highgain, "h": handle})
    rows["builtin number.bit_length()"] = best_per_call("n.bit_length()", {"n": number})
    rows["bare zo_get_samplerate (C++ loop)"] = _timing.time_call("zo_get_samplerate", SERIAL, BARE_LOOPS)
    rows["bare zo_read_highgain (C++ loop)"] = _timing.time_call("zo_read_highgain", SERIAL, BARE_LOOPS)
    lib.zo_close_device(handle)
    dev.close()
    sim.set_logging(True)

    for name, seconds in rows.items():
        print(f"{name:38s} {seconds * 1e9:8.1f} ns")

    builtin = rows["builtin number.bit_length()"]
    for zopy_row, ctypes_row, bare_row in (
        ("zopy dev.samplerate", "ctypes zo_get_samplerate", "bare zo_get_samplerate (C++ loop)"),
        ("zopy dev.read_highgain()", "ctypes zo_read_highgain", "bare zo_read_highgain (C++ loop)"),
    ):
        module_overhead = rows[zopy_row] - rows[bare_row]
        ctypes_overhead = rows[ctypes_row] - rows[bare_row]
        print(f"{zopy_row}: overhead / builtin call = {module_overhead / builtin:.2f} (target <= 1.5); "
              f"ctypes overhead / overhead = {ctypes_overhead / module_overhead:.1f} (target >= 8)")
        ratio(f"{zopy_row}: overhead / builtin call", module_overhead / builtin, "<= 1.5")
        ratio(f"{zopy_row}: ctypes / zopy overhead", ctypes_overhead / module_overhead, ">= 8")


if __name__ == "__main__":
    main()
