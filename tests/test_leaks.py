"""Leak checks: every method and property of Device, _DDevice and Stream, on
its success path, its library-failure path (scripted with sim.override) and
with an argument whose conversions fail; creation and destruction of Devices
and Streams, reference cycles through subclasses, the module functions,
Error, and the call log.

Each scenario runs many times under tracemalloc; the memory it holds and the
number of objects the collector tracks must not grow per iteration beyond a
small constant. The members are found by walking the classes, and each needs
an entry in MEMBERS: a new method without one fails the coverage test.
ZOPY_LEAK_ITERATIONS sets the iterations per scenario.
"""

import gc
import os
import sys
import tracemalloc

import numpy as np
import pytest

import zopy
from zopy import sim

ITERATIONS = int(os.environ.get("ZOPY_LEAK_ITERATIONS", "500"))
UNIT = "KV31LEAK"   # a balanced unit, so every control has a success path
BAD_DOUBLE = sim.BAD_DOUBLE

# member: (arguments, library function whose failure is scripted, its failure
# value). Arguments may be a function of the world (for objects). No library
# function: the member has no failure path of its own.
MEMBERS = {
    "__enter__": ((), None, None),
    "__exit__": ((None, None, None), None, None),
    "__init__": {"device": ((True, UNIT), "zo_open_from_serial", None),
                 "stream": (lambda w: (w.dev, "float32"), "zo_open_stream<float>", None)},
    "__reduce__": ((), None, None),
    "__repr__": ((), "zo_get_product", None),
    "__setstate__": ((None,), None, None),
    "close": ((), None, None),
    "isopen": ((), None, None),
    "open": ((UNIT,), "zo_open_from_serial", None),
    "reset": ((), "zo_reset_device", 1),
    "get_raw_data": ((1000,), "zo_get_raw_data", 1),
    "get_calibrated_data": ((1000, 1310), "zo_get_raw_data", 1),
    "get_calibration": (("auto",), "zo_get_calibration", (0.0, 0.0)),
    "get_rel_calibration": ((1310,), "zo_get_rel_calibration", (0.0, 0.0)),
    "get_rel_responsivity": ((1310,), "zo_get_rel_responsivity", BAD_DOUBLE),
    "open_stream": (("float32",), "zo_open_stream<float>", None),
    "port_drive": (("A", True), "zo_port_drive", 1),
    "port_pwm": (("LEDR", 1, 4), "zo_port_pwm", 1),
    "port_pulse": (("B", 7), "zo_port_pulse", 1),
    "port_read": (("S",), "zo_port_read", -1),
    "test_pn9": ((), None, None),
    "test_checkerboard": ((), None, None),
    "test_normal": ((), None, None),
    "test_user": ((5,), None, None),
    "in_request": ((194, 0, 11, 2), "zo_in_request", 1),
    "out_request": ((200, 0, 0, np.arange(16, dtype=np.uint8)), "zo_out_request", 1),
    "set_clock_divide": ((1,), "zo_out_request", 1),
    # Streams (a float32 stream)
    "acquire": ((1000, True), "ZOStream<float>::acquire", 1),
    "update_auto_calibration": ((), "ZOGenericStream::update_auto_calibration", 1),
    "set_calibration_mode": (("auto",), "ZOGenericStream::set_calibration_mode", 1),
    "set_calibration_units": ((-3,), "ZOGenericStream::set_calibration_units", 1),
    "set_calibration_wavelength": ((1310.0,), "ZOGenericStream::set_calibration_wavelength", 1),
    "set_custom_calibration": (((2.0, 1.0),), "ZOGenericStream::set_custom_calibration", 1),
    "set_cutoff": ((1e5,), None, None),
    "set_filter": (("lowpass",), "ZOGenericStream::set_filter", 1),
    "set_downsampling": ((2,), "ZOGenericStream::set_downsampling", 1),
    "set_decimation": ((2,), "ZOGenericStream::set_decimation", 1),
    # Device properties (read through the library)
    "adcbits": ((), "zo_get_adcbits", 255),
    "fwversion": ((), "zo_get_fwversion", (255, 255, 255)),
    "peak_responsivity": ((), "zo_get_peak_responsivity", -1),
    "product": ((), "zo_get_product", None),
    "samplerate": {"device": ((), "zo_get_samplerate", 0xFFFFFFFF),
                   "stream": ((), None, None)},
    "serial": ((), "zo_get_serial", None),
    "usb_speed": ((), "zo_get_usb_speed", -1),
    # Stream properties and reads (the library's answers are not tested)
    "calibration": ((), None, None), "calibration_mode": ((), None, None),
    "calibration_units": ((), None, None), "calibration_wavelength": ((), None, None),
    "cutoff": ((), None, None), "device": ((), None, None), "downsampling": ((), None, None),
    "dtype": ((), None, None), "filter": ((), None, None), "samplesize": ((), None, None),
}
SWITCHES = {"highgain": "highgain", "antialias": "antialias", "powerdown": "powerdown",
            "adcclock": "adcclock", "p1_select": "p1_monitor", "p2_select": "p2_monitor"}
for switch, library in SWITCHES.items():
    MEMBERS[switch] = ((), f"zo_read_{library}", -1)
    MEMBERS["read_" + switch] = ((), f"zo_read_{library}", -1)
    MEMBERS["set_" + switch] = ((True,), f"zo_set_{library}", 1)
for reading in ("calibration", "calibration_mode", "calibration_units", "calibration_wavelength",
                "cutoff", "downsampling", "filter", "samplerate", "samplesize"):
    MEMBERS["read_" + reading] = ((), None, None)


def entry(name, owner):
    e = MEMBERS[name]
    return e[owner] if isinstance(e, dict) else e


# Dunder members that are the module's own; the others are Python's.
DUNDERS = {"__init__", "__repr__", "__reduce__", "__setstate__", "__enter__", "__exit__"}


def walked(cls):
    """Methods and properties of cls and its zopy bases, from their dicts."""
    names = set()
    for klass in cls.__mro__[:-1]:
        for name, member in vars(klass).items():
            if name.startswith("__") and name not in DUNDERS:
                continue
            names.add(name)
    return sorted(names)


class Bad:
    """An argument every conversion of which fails."""

    def _fail(self, *args):
        raise ValueError("bad argument")

    __int__ = __index__ = __float__ = __bool__ = __len__ = __getitem__ = _fail
    lower = encode = _fail


class World:
    def __init__(self):
        sim.reset()
        sim.set_log_capacity(1000)   # the log's memory must not count as a leak
        sim.attach(UNIT, balanced=True)
        sim.set_light(5.0, p2_power_uw=1.0, noise=False)
        self.dev = zopy.zopy._DDevice(serial=UNIT)
        self.stream = self.dev.open_stream("float32")

    def close(self):
        self.stream.close()
        self.dev.close()


def settle():
    """Frees what is only waiting to be freed: garbage cycles, and the name
    strings that the interpreter's attribute cache keeps (its entries hold
    the last name looked up, which C code that builds names per call, numpy's
    included, makes a new string each time)."""
    gc.collect()
    sys._clear_type_cache()


def growth(step, iterations=ITERATIONS):
    """(bytes, tracked objects) that `step` keeps per iteration."""
    for _ in range(max(50, iterations // 10)):   # caches, free lists, the log's ring
        step()
    settle()
    tracemalloc.start()
    try:
        memory, objects = tracemalloc.get_traced_memory()[0], len(gc.get_objects())
        for _ in range(iterations):
            step()
        settle()
        memory = tracemalloc.get_traced_memory()[0] - memory
        objects = len(gc.get_objects()) - objects
    finally:
        tracemalloc.stop()
    return memory / iterations, objects / iterations


def assert_no_growth(step, iterations=ITERATIONS):
    per_byte, per_object = growth(step, iterations)
    # A constant (a cache filled once, a free list) is allowed; a leaked int
    # is 28 bytes per iteration, a leaked array a hundred and more.
    assert per_byte * iterations < 4096 + iterations, f"{per_byte:.2f} bytes per iteration"
    assert per_object * iterations < 10 + iterations / 100, f"{per_object:.3f} objects per iteration"


def member_step(world, owner, name, path):
    target = world.dev if owner == "device" else world.stream
    args, function, failure = entry(name, owner)
    if callable(args):
        args = args(world)
    if path == "bad":
        args = (Bad(),) * max(1, len(args))
    member = getattr(type(target), name)
    is_property = isinstance(member, property) or type(member).__name__ == "getset_descriptor"

    def step():
        if path == "failure":
            sim.override(function, failure, error=(48, "scripted failure"))
        try:
            if is_property:
                getattr(target, name)
            else:
                getattr(target, name)(*args)
        except (zopy.Error, TypeError, ValueError, RuntimeError):
            if path == "success":
                raise
    return step


def scenarios():
    for owner, cls in (("device", zopy.zopy._DDevice), ("stream", zopy.Stream)):
        for name in walked(cls):
            if name not in MEMBERS:
                continue   # reported by test_every_member_has_a_scenario
            args, function, _ = entry(name, owner)
            paths = ["success"]
            paths += ["failure"] if function else []
            paths += ["bad"] if args and not name.startswith("__") else []
            for path in paths:
                yield pytest.param(owner, name, path, id=f"{owner}.{name}-{path}")


def test_every_member_has_a_scenario():
    missing = [n for cls in (zopy.zopy._DDevice, zopy.Stream) for n in walked(cls)
               if n not in MEMBERS]
    assert missing == []


# Refused by design, whatever the path: pickling, and a stream's setters
# reached on the success path with a closed device are not in play here.
ALWAYS_RAISES = {"__reduce__", "__setstate__"}


@pytest.mark.parametrize("owner, name, path", list(scenarios()))
def test_member(owner, name, path):
    world = World()
    try:
        if name in ALWAYS_RAISES and path == "success":
            path = "failure_by_design"
        step = member_step(world, owner, name, "bad" if path == "bad" else
                           ("failure" if path == "failure" else "success"))
        if path == "failure_by_design":
            def step(inner=member_step(world, owner, name, "bad")):
                inner()
        assert_no_growth(step)
    finally:
        world.close()


# ------------------------------------------------------------ lifecycles

class Holder(zopy.Device):
    pass


class LoopedStream(zopy.Stream):
    def close(self):
        self.closed_by_subclass = True
        super().close()


def new_device():
    zopy.Device(serial=UNIT)


def closed_device():
    zopy.Device(serial=UNIT).close()


def no_device():
    sim.override("zo_open_from_serial", None, error=(50, "gone"))
    try:
        zopy.Device(serial=UNIT)
    except zopy.NoDeviceError:
        pass


def stream_dropped():
    zopy.Stream(zopy.Device(serial=UNIT), "float64")


def stream_refused():
    dev = zopy.Device(serial=UNIT)
    sim.override("zo_open_stream<double>", None, error=(49, "no memory"))
    try:
        zopy.Stream(dev)
    except zopy.Error:
        pass


def device_cycle():
    d = Holder(serial=UNIT)
    d.me = d
    d.stream = LoopedStream(d)      # Device -> Stream -> Device
    d.stream.owner = d


def stream_cycle():
    s = LoopedStream(zopy.Device(serial=UNIT), "float32")
    s.me = s
    s.last = s.acquire(10)


def errors():
    zopy.Error("message")
    zopy.Error()
    zopy.NoDeviceError(("tuple",))
    try:
        zopy.Error((1, 2))
    except TypeError:
        pass


def module_functions():
    zopy.init()
    zopy.version()


def call_log():
    sim.calls()
    sim.dropped_calls()


LIFECYCLES = {
    "new_device": (new_device, ITERATIONS),
    "closed_device": (closed_device, ITERATIONS),
    "no_device": (no_device, ITERATIONS),
    "stream_dropped": (stream_dropped, ITERATIONS),
    "stream_refused": (stream_refused, ITERATIONS),
    # Cycles are freed by the collector: one collection per iteration.
    "device_cycle": (lambda: (device_cycle(), gc.collect()), max(50, ITERATIONS // 5)),
    "stream_cycle": (lambda: (stream_cycle(), gc.collect()), max(50, ITERATIONS // 5)),
    "errors": (errors, ITERATIONS),
    "module_functions": (module_functions, ITERATIONS),
    "call_log": (call_log, ITERATIONS),
}


@pytest.mark.parametrize("name", LIFECYCLES)
def test_lifecycle(name):
    sim.reset()
    sim.set_log_capacity(1000)
    sim.attach(UNIT, balanced=True)
    step, iterations = LIFECYCLES[name]
    assert_no_growth(step, iterations)
