"""Arguments and tables that work against the module: Python code run in the
middle of a call, replaced numpy functions, altered lookup tables, overridden
dtypes. Each is refused with an exception before the library is called."""

import numpy as np
import pytest
from conftest import calls, run_python

import zopy
from zopy import sim


@pytest.fixture
def ddev():
    device = zopy.zopy._DDevice()
    sim.clear_calls()
    yield device
    device.close()


def library_calls(name):
    return [c for c in calls() if c[0] == name]


class TestOutRequestDataChangedByConversions:
    """`request`, `value`, `index` and `timeout` go through __int__, which may
    resize or retype the data array: its memory is taken only afterwards."""

    class Shrinks:
        def __init__(self, array):
            self.array = array

        def __int__(self):
            self.array.resize(0, refcheck=False)
            return 200

    class Retypes:
        def __init__(self, array):
            self.array = array

        def __int__(self):
            self.array.dtype = np.int8
            return 1

    @pytest.mark.parametrize("field", ["request", "value", "index", "timeout"])
    def test_a_buffer_freed_by_a_conversion_is_never_read(self, ddev, field):
        data = np.arange(64, dtype=np.uint8)
        with pytest.raises(ValueError, match="changed size"):
            ddev.out_request(**{"request": 200, field: self.Shrinks(data)}, data=data)
        assert library_calls("zo_out_request") == []

    @pytest.mark.filterwarnings("ignore:Setting the dtype:DeprecationWarning")
    def test_a_retyped_buffer_is_refused(self, ddev):
        data = np.arange(8, dtype=np.uint8)
        with pytest.raises(ValueError, match="dtype mismatch"):
            ddev.out_request(self.Retypes(data), data=data)
        assert library_calls("zo_out_request") == []

    def test_an_unchanged_view_still_sends_the_bytes_it_shows(self, ddev):
        data = np.arange(32, dtype=np.uint8)[::-2]
        ddev.out_request(200, data=data)
        assert ddev.in_request(200, length=16).tolist() == data.tolist()


class TestReplacedNumpyZeros:
    """in_request allocates with the numpy.zeros found at import."""

    @pytest.mark.parametrize("replacement, shown", [
        ("lambda n, dtype=None: [0] * n", "list"),
        ("lambda n, dtype=None: real_zeros(n, dtype=numpy.float64)", "numpy.ndarray"),
        ("lambda n, dtype=None: real_zeros((n, 2), dtype=dtype)", "numpy.ndarray"),
        ("lambda n, dtype=None: real_zeros(2 * n, dtype=dtype)[::2]", "numpy.ndarray"),
        ("lambda n, dtype=None: real_zeros(n, dtype=dtype).setflags(write=False) or None", "NoneType"),
    ])
    def test_a_result_that_is_no_fillable_uint8_array_is_refused(self, replacement, shown):
        out, _ = run_python(f"""
            import numpy
            real_zeros = numpy.zeros
            numpy.zeros = {replacement}
            import zopy
            numpy.zeros = real_zeros
            try:
                zopy.zopy._DDevice().in_request(194, index=11, length=3)
            except TypeError as exc:
                print("TypeError:", exc)
            """)
        assert out.startswith(f"TypeError: numpy.zeros gave a {shown}, not a writable 1-d uint8")


class TestStreamDtypeOverride:
    """A Stream subclass may override `dtype`; the library writes one native
    float per sample, so only native float32 and float64 are taken."""

    @pytest.mark.parametrize("dtype", [
        np.dtype(("f4", (2,))), np.dtype(">f4").newbyteorder(">"), np.dtype(">f8"),
        np.dtype("i4"), np.dtype("f2"), np.dtype([("a", "f4")]),
    ], ids=str)
    def test_refused_before_the_library_fills_anything(self, dev, dtype):
        class Overridden(zopy.Stream):
            pass

        Overridden.dtype = property(lambda self: dtype)
        stream = Overridden(dev, "float32")
        sim.clear_calls()
        with pytest.raises(ValueError, match="native float32 or float64"):
            stream.acquire(100)
        assert not [c for c in calls() if c[0].endswith("::acquire")]
        stream.close()

    @pytest.mark.parametrize("name", ["float32", "float64", "=f4", "<f8"])
    def test_native_floats_still_acquire(self, dev, name):
        stream = dev.open_stream(name)
        data = stream.acquire(100)
        assert data.dtype == np.dtype(name) and data.shape == (100,)
        stream.close()


class TestAlteredLookupTables:
    """port_lookup and _trigger_mode_lookup are plain dicts a program may
    change; a value that names nothing the library defines is refused as an
    invalid key is."""

    @pytest.mark.parametrize("code", [-1, 7, 1000, -(2**31)])
    def test_port_codes_outside_the_ports(self, dev, monkeypatch, code):
        monkeypatch.setitem(zopy.zopy.port_lookup, "X", code)
        sim.clear_calls()
        for call in (lambda: dev.port_drive("X", True), lambda: dev.port_pulse("X", 10),
                     lambda: dev.port_read("X")):
            with pytest.raises(zopy.Error) as info:
                call()
            assert str(info.value) == "zopy error: invalid port"
        with pytest.raises(ValueError, match="^invalid port$"):
            dev.port_pwm("X", 1, 2)
        assert calls() == []

    def test_a_port_code_beyond_int_still_overflows(self, dev, monkeypatch):
        monkeypatch.setitem(zopy.zopy.port_lookup, "X", 2**31)
        with pytest.raises(OverflowError, match="ZO_PORT_t"):
            dev.port_drive("X", True)

    @pytest.mark.parametrize("code", [-1, 9, 2**20])
    @pytest.mark.parametrize("repeat", [None, 100])
    def test_trigger_modes_outside_the_modes(self, dev, monkeypatch, code, repeat):
        monkeypatch.setitem(zopy.zopy._trigger_mode_lookup, ("s", "odd"), code)
        sim.clear_calls()
        with pytest.raises(zopy.Error) as info:
            dev.get_raw_data(1000, trig_mode="odd", trig_port="S", samples_per_trigger=repeat)
        assert str(info.value) == "zopy error: invalid trigger mode or port"
        assert calls() == []

    def test_the_last_defined_codes_still_reach_the_library(self, dev, serial, monkeypatch):
        monkeypatch.setitem(zopy.zopy.port_lookup, "X", 6)
        monkeypatch.setitem(zopy.zopy._trigger_mode_lookup, ("t", "odd"), 8)
        sim.set_port_input("T", False)
        dev.port_drive("X", True)
        dev.get_raw_data(10, trig_mode="odd", trig_port="T")
        assert [c[:3] for c in calls()] == [("zo_port_drive", serial, 6),
                                           ("zo_get_raw_data_triggered", serial, 10)]
        assert calls()[1][4] == 8


class TestLibraryEnumerationsFromCCallers:
    """A C caller may pass any int for a port or a trigger mode; the virtual
    library reads it as an int (under UBSan a value outside the enumeration
    loaded as the enumeration is an error) and refuses it."""

    @pytest.mark.parametrize("code", [7, 8, 100, -1, 2**31 - 1, -(2**31)])
    def test_ports(self, code):
        from virtual_libzo import ERROR_PARAMS, lib, open_device
        h = open_device()
        assert lib.zo_port_drive(h, code, True) == ERROR_PARAMS
        assert lib.zo_port_pwm(h, code, 1, 2) == ERROR_PARAMS
        assert lib.zo_port_pulse(h, code, 1) == ERROR_PARAMS
        assert lib.zo_port_read(h, code) == -1
        assert sim.calls()[-1] == ("zo_port_read", sim.DEFAULT_SERIAL, code)
        lib.zo_close_device(h)

    @pytest.mark.parametrize("code", [9, 16, 1000, -1, 2**31 - 1])
    def test_trigger_modes(self, code):
        from virtual_libzo import ERROR_PARAMS, open_device, raw
        h = open_device()
        assert raw(h, 10, mode=code)[0] == ERROR_PARAMS
        assert raw(h, 10, mode=code, spt=5)[0] == ERROR_PARAMS
        assert sim.calls()[-1][0] == "zo_get_raw_data_triggered_repeat"
        assert sim.calls()[-1][4] == code
