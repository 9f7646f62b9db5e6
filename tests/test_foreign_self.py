"""Unbound methods and properties handed an object of another type as `self`.

Every member of every class the module defines is found by walking the
classes' dicts, so members added later are covered without new code. Each is
called through its class on objects of every other type; each must raise
TypeError and leave those objects working. The walk runs in a subprocess, so
a crash is a failure, not the end of the run.
"""

from conftest import run_python

WALK = r"""
import numpy, threading, zopy
from zopy import sim

TYPES = [zopy.Device, zopy.zopy._DDevice, zopy.Stream, zopy.Error, zopy.NoDeviceError]

# Arguments a member would accept from a real instance, so a missing self
# check would let the call go on to write through the foreign object.
ARGUMENTS = {
    "__init__": ("m",), "__setstate__": (None,), "__exit__": (None, None, None),
    "open": (None,), "get_raw_data": (10,), "get_calibrated_data": (10,),
    "get_calibration": ("auto",), "get_rel_calibration": ("auto", 1550),
    "get_rel_responsivity": (1550,), "port_drive": ("A", True), "port_pwm": ("A", 1, 2),
    "port_pulse": ("A", 1), "port_read": ("A",), "test_user": (1,), "open_stream": ("float32",),
    "in_request": (194, 0, 11, 1), "out_request": (200,), "set_clock_divide": (1,),
    "acquire": (10,), "set_custom_calibration": ((1.0, 0.0),), "set_calibration_mode": ("auto",),
    "set_calibration_wavelength": (1550.0,), "set_calibration_units": (0,),
    "set_cutoff": (1e3,), "set_filter": ("lowpass",), "set_downsampling": (1,),
    "set_decimation": (1,),
}
SETTER_VALUE = 1
SKIPPED = {"__new__", "__doc__", "__module__", "__qualname__", "__dict__", "__weakref__",
           "__reduce__", "__getstate__", "__init_subclass__", "__subclasshook__"}


class Plain:
    def __init__(self):
        self.marker = "plain"


class DeviceChild(zopy.Device):
    pass


class StreamChild(zopy.Stream):
    pass


device = DeviceChild()
stream = StreamChild(device, "float64")
error = zopy.Error("kept")
plain = Plain()
FOREIGN = [object(), 7, "text", b"bytes", numpy.zeros(4, numpy.uint8), plain, device, stream,
           error, ValueError("v")]


def expect_type_error(what, call, foreign):
    try:
        call()
    except TypeError as exc:
        text = str(exc)
        assert "descriptor" in text and type(foreign).__name__ in text, (what, text)
        return 1
    raise AssertionError(f"{what} accepted a {type(foreign).__name__}")


checked = 0
for cls in TYPES:
    for name, member in vars(cls).items():
        if name in SKIPPED:
            continue
        args = ARGUMENTS.get(name, ())
        for foreign in FOREIGN:
            if isinstance(foreign, cls):
                continue
            what = f"{cls.__name__}.{name}"
            if isinstance(member, property) or type(member).__name__ == "getset_descriptor":
                checked += expect_type_error(what + " get", lambda: member.__get__(foreign, cls), foreign)
                if getattr(member, "fset", True) is not None:
                    checked += expect_type_error(
                        what + " set", lambda: member.__set__(foreign, SETTER_VALUE), foreign)
            elif callable(getattr(cls, name)):
                checked += expect_type_error(what, lambda: getattr(cls, name)(foreign, *args), foreign)

# Nothing was written through the foreign objects: each still does its job.
assert device.isopen() and device.get_raw_data(5).shape == (5,)
assert stream.acquire(8).dtype == numpy.float64 and stream.device is device
assert str(error) == "zopy error: kept" and error.args == ("zopy error: kept",)
assert vars(plain) == {"marker": "plain"}
closer = threading.Thread(target=lambda: (stream.close(), device.close()))
closer.start()
closer.join(10)
assert not closer.is_alive(), "close hung"
assert not device.isopen()
print("checked", checked)
"""


class TestForeignSelf:
    def test_every_member_refuses_every_foreign_object(self):
        out, err = run_python(WALK)
        checked = int(out.split()[-1])
        # Device alone has some forty members; each meets several foreign objects.
        assert checked > 800, out
        assert err == ""

    def test_error_init_on_a_plain_object(self):
        out, _ = run_python("""
            import zopy
            class X: pass
            x = X()
            try:
                zopy.Error.__init__(x, "m")
            except TypeError as exc:
                print(exc)
            print(vars(x))
            """)
        assert out.splitlines() == [
            "descriptor '__init__' requires a 'zopy.zopy.Error' object but received a 'X'", "{}"]

    def test_error_init_on_a_device_keeps_its_guard(self):
        out, _ = run_python("""
            import zopy
            class D(zopy.Device): pass
            d = D()
            for args in [("m",), (), (None,)]:
                try:
                    zopy.Error.__init__(d, *args)
                except TypeError:
                    pass
            d.close()
            print(d.isopen())
            """)
        assert out == "False\n"

    def test_error_init_on_a_stream_keeps_its_stream(self):
        out, _ = run_python("""
            import zopy
            class S(zopy.Stream): pass
            s = S(zopy.Device())
            try:
                zopy.NoDeviceError.__init__(s, "m")
            except TypeError:
                pass
            print(s.acquire(3).shape)
            """)
        assert out == "(3,)\n"

    def test_subclasses_of_error_still_initialise(self):
        out, _ = run_python("""
            import zopy
            class Mine(zopy.NoDeviceError): pass
            e = Mine("x")
            zopy.Error.__init__(e, "y")
            print(str(e), type(e.err).__name__)
            """)
        assert out == "zopy error: y int\n"
