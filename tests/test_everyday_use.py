"""Everyday use: with-blocks, reading into the caller's arrays, zero-filled
blocks, indexing as obj[i], and documentation for every public name."""

import inspect
import tracemalloc

import numpy
import pytest
from conftest import Scripted, calls, run_python

import zopy
from zopy import sim

F32, F64, U8, U16 = (numpy.dtype(t) for t in ("float32", "float64", "uint8", "uint16"))


def fresh_device(cls=zopy.Device):
    """The default bench, lit and with toggling ports, and its device: two
    fresh devices deliver the same samples, bit for bit."""
    sim.reset()
    sim.set_light(50.0, 1310)
    sim.set_port_input("S", frequency_hz=1e5)
    sim.set_port_input("T", frequency_hz=3e4, duty=0.3)
    return cls()


def same_bits(a, b):
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


# ---------------------------------------------------------------------------
class TestWithBlocks:
    def test_device_closes_at_the_end_and_exceptions_propagate(self):
        with zopy.Device() as dev:
            assert isinstance(dev, zopy.Device) and dev.isopen()
        assert not dev.isopen()
        with pytest.raises(KeyError):
            with zopy.Device() as dev:
                raise KeyError("mine")
        assert not dev.isopen()

    def test_nested_blocks_close_the_stream_only_then_the_device(self):
        with zopy.Device() as dev:
            with dev.open_stream("f4") as s:
                assert s.acquire(10).shape == (10,)
            assert dev.isopen()
            assert calls()[-1] == ("zo_close_stream",)
            with pytest.raises(RuntimeError, match="Stream is not open"):
                s.acquire(10)
        assert not dev.isopen()

    def test_already_closed_objects_and_diagnostic_devices(self):
        dev = zopy.Device(open=False)
        with dev as same:
            assert same is dev
        with zopy.zopy._DDevice() as ddev:
            s = ddev.open_stream()
            s.close()
            with s:
                pass
        assert not ddev.isopen()

    def test_subclass_close_runs_and_its_exception_propagates(self):
        closed = []

        class Failing(zopy.Device):
            def close(self):
                closed.append(self)
                super().close()
                raise OSError("close failed")

        with pytest.raises(OSError, match="close failed") as info:
            with Failing() as dev:
                raise ValueError("in the block")
        assert closed == [dev] and not dev.isopen()
        assert isinstance(info.value.__context__, ValueError)

    def test_exit_returns_false_and_takes_the_exception_triple(self, dev):
        s = dev.open_stream()
        assert s.__exit__(None, None, None) is False
        assert dev.__exit__(KeyError, KeyError("x"), None) is False
        with pytest.raises(TypeError):
            dev.__exit__(None, None, None, None)


# ---------------------------------------------------------------------------
# Every refusal leaves `out` untouched and reaches no library.

def refused_outs(dtype, n):
    read_only = numpy.zeros(n, dtype)
    read_only.flags.writeable = False
    return [
        ([0] * n, TypeError, "must be a numpy.ndarray, not list"),
        (numpy.zeros(n, "int16" if dtype != numpy.int16 else "uint16"), TypeError,
         "must have dtype"),
        (numpy.zeros(n - 1, dtype), ValueError, f"must have {n} elements, not {n - 1}"),
        (numpy.zeros(n + 1, dtype), ValueError, f"must have {n} elements, not {n + 1}"),
        (numpy.zeros(2 * n, dtype)[::2], ValueError, "must be C-contiguous"),
        (numpy.zeros((2, n // 2), dtype, order="F"), ValueError, "must be C-contiguous"),
        (read_only, ValueError, "must be writeable"),
    ] + ([] if numpy.dtype(dtype).itemsize == 1 else [   # byte order and alignment
        (numpy.zeros(n, numpy.dtype(dtype).newbyteorder()), TypeError, "must have dtype"),
        (numpy.frombuffer(bytearray(n * numpy.dtype(dtype).itemsize + 1), numpy.uint8)[1:]
         .view(dtype), ValueError, "must be aligned")])


def refusal_cases(dtype, n=6):
    return [pytest.param(out, kind, message, id=f"{kind.__name__}: {message}")
            for out, kind, message in refused_outs(dtype, n)]


def snapshot(out):
    return numpy.array(out, copy=True) if isinstance(out, numpy.ndarray) else list(out)


class TestRefusedOut:
    @pytest.mark.parametrize("out, kind, message", refusal_cases(U16))
    def test_get_raw_data(self, dev, out, kind, message):
        before = snapshot(out)
        with pytest.raises(kind, match="^out " + message):
            dev.get_raw_data(6, out=out)
        assert numpy.array_equal(out, before) and calls() == []

    @pytest.mark.parametrize("out, kind, message", refusal_cases(F64))
    def test_get_calibrated_data(self, dev, out, kind, message):
        before = snapshot(out)
        with pytest.raises(kind, match="^out " + message):
            dev.get_calibrated_data(6, 1310, out=out)
        assert numpy.array_equal(out, before, equal_nan=True) and calls() == []

    @pytest.mark.parametrize("dtype", [F32, F64])
    def test_stream_out(self, dev, dtype):
        s = dev.open_stream(dtype)
        for out, kind, message in refused_outs(dtype, 6):
            sim.clear_calls()
            before = snapshot(out)
            with pytest.raises(kind, match="^out " + message):
                s.acquire(6, out=out)
            assert numpy.array_equal(out, before) and calls() == [], message
        other = F64 if dtype == F32 else F32
        with pytest.raises(TypeError, match=f"^out must have dtype {dtype}, not {other}$"):
            s.acquire(6, out=numpy.zeros(6, other))

    def test_stream_bits_out(self, s64):
        out = numpy.full(6, 7.0)
        for bits, kind, message in refused_outs(U8, 6):
            sim.clear_calls()
            before = snapshot(bits)
            with pytest.raises(kind, match="^bits_out " + message):
                s64.acquire(6, True, out=out, bits_out=bits)
            assert numpy.array_equal(bits, before) and calls() == [], message
        assert (out == 7.0).all()

    def test_bits_out_needs_getbits_and_memory_of_its_own(self, s64):
        data = numpy.zeros(8)
        with pytest.raises(ValueError, match="^bits_out is only filled when getbits is true$"):
            s64.acquire(8, out=data, bits_out=numpy.zeros(8, U8))
        with pytest.raises(ValueError, match="^out and bits_out must not share memory$"):
            s64.acquire(8, True, out=data, bits_out=data.view(U8)[8:16])
        assert calls() == []

    def test_out_is_keyword_only_and_checked_after_the_count(self, dev):
        with pytest.raises(TypeError):
            dev.get_raw_data(4, True, None, None, 10, None, numpy.zeros(4, U16))
        with pytest.raises(TypeError):
            dev.get_calibrated_data(4, None, numpy.zeros(4))
        with pytest.raises(OverflowError, match="can't convert negative value to uint64_t"):
            dev.get_raw_data(-1, out=[])
        with pytest.raises(zopy.Error, match="invalid trigger mode"):
            dev.get_raw_data(4, trig_port="S", out=numpy.zeros(4, U16))
        assert calls() == []

    @pytest.mark.filterwarnings("ignore:Setting the dtype:DeprecationWarning")
    @pytest.mark.parametrize("change, kind, message", [
        ("shrink", ValueError, "out must have 100 elements, not 0"),
        # as many elements as before in a quarter or half of the bytes
        ("retype", TypeError, "out must have dtype {dtype}, not uint8"),
    ])
    @pytest.mark.parametrize("method, dtype", [("get_raw_data", U16),
                                               ("get_calibrated_data", F64)])
    def test_out_changed_by_an_argument_conversion_is_refused(self, dev, method, dtype, change,
                                                              kind, message):
        out = numpy.zeros(100, dtype)

        class Changing:
            def __int__(self):
                if change == "retype":
                    out.dtype = numpy.uint8
                out.resize(0 if change == "shrink" else 100, refcheck=False)
                return 10

        with pytest.raises(kind, match=f"^{message.format(dtype=numpy.dtype(dtype))}$"):
            getattr(dev, method)(100, arm_time=Changing(), out=out)
        assert calls() == []

    def test_out_resized_by_a_subclass_before_the_library_call(self, dev):
        out = numpy.zeros(100, F32)
        bits = numpy.zeros(100, U8)

        class Resizing(zopy.Stream):
            @property
            def samplesize(self):
                bits.resize(0, refcheck=False)
                return 4

        s = Resizing(dev, "f4")
        sim.clear_calls()
        with pytest.raises(ValueError, match="^bits_out must have 100 elements, not 0$"):
            s.acquire(100, True, out=out, bits_out=bits)
        assert "ZOStream<float>::acquire" not in [c[0] for c in calls()]
        s.close()


# ---------------------------------------------------------------------------
# With `out`, every path gives the same bits and the same library calls.

RAW_PATHS = [
    {},
    {"mask": False},
    {"trig_mode": "rising", "trig_port": "S", "arm_time": 3},
    {"trig_mode": "high", "trig_port": "T", "mask": False},
    {"trig_mode": "falling", "trig_port": "s", "samples_per_trigger": 50},
]


class TestOutGivesTheSameResults:
    @pytest.mark.parametrize("kwargs", RAW_PATHS)
    def test_raw(self, kwargs):
        fresh = fresh_device().get_raw_data(1000, **kwargs)
        fresh_calls = sim.calls()
        out = numpy.full((10, 100), 0xFFFF, U16)    # any shape of the right size
        assert fresh_device().get_raw_data(1000, out=out, **kwargs) is out
        assert same_bits(out.ravel(), fresh) and sim.calls() == fresh_calls

    @pytest.mark.parametrize("wavelength", [None, 1310])
    @pytest.mark.parametrize("kwargs", RAW_PATHS)
    def test_calibrated(self, kwargs, wavelength):
        fresh = fresh_device().get_calibrated_data(4099, wavelength, **kwargs)
        fresh_calls = sim.calls()
        out = numpy.full(4099, numpy.nan)
        assert fresh_device().get_calibrated_data(4099, wavelength, out=out, **kwargs) is out
        assert same_bits(out, fresh) and sim.calls() == fresh_calls

    @pytest.mark.parametrize("n", [1, 2, 3, 4, 5, 16, 17, 63, 64, 65, 1000, 100_003])
    def test_calibrated_in_place_widening_is_numpy_two_steps(self, n):
        dev = fresh_device()
        raw, calibration = dev.get_raw_data(n, mask=False), dev.get_calibration()
        out = numpy.full(n, numpy.nan)
        fresh_device().get_calibrated_data(n, out=out, mask=False)
        assert same_bits(out, raw * calibration[0] + calibration[1])

    @pytest.mark.parametrize("dtype", ["float32", "float64"])
    @pytest.mark.parametrize("getbits", [False, True])
    def test_stream(self, dtype, getbits):
        def run(**out):
            s = fresh_device().open_stream(dtype)
            s.downsampling = 3
            blocks = [s.acquire(500, getbits, **out) for _ in range(2)]
            return blocks, sim.calls()

        fresh, fresh_calls = run()
        data, bits = numpy.full(500, -1.0, dtype), numpy.full(500, 0xFF, U8)
        outs = {"out": data, "bits_out": bits} if getbits else {"out": data}
        got, got_calls = run(**outs)
        assert got_calls == fresh_calls
        if getbits:
            assert all(g[0] is data and g[1] is bits for g in got)
            assert same_bits(data, fresh[1][0]) and same_bits(bits, fresh[1][1])
            assert bits.any() and set(numpy.unique(bits)) <= {0, 1, 2, 3}
        else:
            assert all(g is data for g in got) and same_bits(data, fresh[1])

    def test_stream_out_with_fresh_bits(self, s64):
        data = numpy.zeros(10)
        got, bits = s64.acquire(10, getbits=True, out=data)
        assert got is data and bits.dtype == U8 and bits.shape == (10,)

    def test_library_failure_with_out(self, dev):
        sim.override("zo_get_raw_data", 1, error=(55, "data lost"))
        with pytest.raises(zopy.Error, match=r"libzo error \(55\): data lost"):
            dev.get_calibrated_data(10, out=numpy.zeros(10))


class TestCalibratedOutWithSubclasses:
    def test_overridden_get_raw_data_never_sees_out(self):
        mine = Scripted(open=False)
        out = numpy.zeros(6)
        assert mine.get_calibrated_data(6, out=out, mask=False) is out
        assert mine.seen == {"mask": False}
        assert out.tolist() == [2.5, 4.5, 6.5, 8.5, 10.5, 12.5]

    @pytest.mark.parametrize("calibration", [
        [2, 1], (2.0, 1.0), {0: 2.0, 1: 1.0}, numpy.array([2.0, 1.0], numpy.float32),
        numpy.array([[2.0], [1.0]])])
    def test_any_indexable_calibration(self, calibration):
        mine = Scripted(open=False)
        mine.calibration = calibration
        expected = numpy.asarray(mine.raw * calibration[0] + calibration[1]).ravel()
        out = numpy.zeros(6)
        mine.get_calibrated_data(6, out=out)
        assert numpy.array_equal(out, expected)
        assert numpy.array_equal(mine.get_calibrated_data(6).ravel(), expected)

    def test_results_that_do_not_fit_out(self):
        mine = Scripted(open=False)
        mine.raw = numpy.arange(5, dtype=numpy.uint16)
        out = numpy.zeros(6)
        with pytest.raises(ValueError, match="out has 6 elements but the calibrated data 5"):
            mine.get_calibrated_data(6, out=out)
        mine.raw = numpy.arange(6, dtype=numpy.uint16)
        mine.calibration = [1j, 0]
        with pytest.raises(TypeError, match="complex128 cannot be stored in out"):
            mine.get_calibrated_data(6, out=out)
        assert not out.any()

    def test_raw_codes_overlapping_out_go_through_numpy(self):
        out = numpy.zeros(6)
        mine = Scripted(open=False)
        mine.raw = out.view(numpy.uint16)[4:10]   # inside out, not at its start
        mine.raw[:] = numpy.arange(1, 7)
        expected = mine.raw * 2.0 + 0.5
        mine.get_calibrated_data(6, out=out)
        assert numpy.array_equal(out, expected)

    def test_get_raw_data_looked_up_on_the_instance(self):
        # A get_raw_data found by lookup that is not Device's own bound to this
        # device is called as without out: here, the one of another device.
        other = zopy.Device(open=False)

        class Borrowing(zopy.Device):
            def __getattribute__(self, name):
                return other.get_raw_data if name == "get_raw_data" else super().__getattribute__(name)

        mine = Borrowing(open=False)
        sim.clear_calls()
        with pytest.raises(zopy.Error):
            mine.get_calibrated_data(4, out=numpy.zeros(4))   # other is closed
        assert calls() == [("zo_get_raw_data", None, 4, 4)]

    def test_memory_is_not_proportional_to_the_count(self, dev):
        n = 1_000_000
        out = numpy.empty(n)
        dev.get_calibrated_data(n, out=out)
        tracemalloc.start()
        try:
            dev.get_calibrated_data(n, out=out)
            peak = tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()
        assert peak < 0.01 * n


class TestMethodsFoundByLookup:
    """get_calibrated_data calls the methods lookup finds on the object when
    it asks for them: a subclass's, an instance attribute, or one given to the
    object by Python code run during the acquisition."""

    class Child(zopy.Device):
        pass

    @staticmethod
    def doubling(type="auto"):
        return numpy.array([2.0, 1.0])

    @pytest.mark.parametrize("out", [None, numpy.full(1000, numpy.nan)], ids=["fresh", "out"])
    @pytest.mark.parametrize("where", ["class", "instance", "during the acquisition"])
    def test_calibration(self, where, out):
        codes = fresh_device().get_raw_data(1000, mask=False)
        doubling = self.doubling
        dev = fresh_device(self.Child if where != "class" else
                           type("Own", (zopy.Device,), {"get_calibration": staticmethod(doubling)}))

        class Installing:
            def __int__(self):
                dev.get_calibration = doubling
                return 10

        if where == "instance":
            dev.get_calibration = doubling
        arm_time = Installing() if where == "during the acquisition" else 10
        sim.clear_calls()
        got = dev.get_calibrated_data(1000, mask=False, arm_time=arm_time, out=out)
        assert same_bits(got, codes * 2.0 + 1.0)
        assert [c[0] for c in calls()] == ["zo_get_raw_data"]

    def test_raw_data_on_the_instance(self):
        dev = fresh_device(self.Child)
        m, b = dev.get_calibration()
        dev.get_raw_data = lambda n, **kwargs: numpy.arange(n, dtype=U16)
        sim.clear_calls()
        assert same_bits(dev.get_calibrated_data(5), numpy.arange(5, dtype=U16) * m + b)
        assert [c[0] for c in calls()] == ["zo_get_calibration"]


# ---------------------------------------------------------------------------
class TestZeroFilledBlocks:
    @staticmethod
    def dirty_heap(n, itemsize):
        for _ in range(20):
            garbage = numpy.full(n * itemsize, 0xAB, U8)
            del garbage

    @pytest.mark.parametrize("n", [7, 1000, 300_000])
    def test_raw_block_the_library_does_not_write(self, dev, n):
        self.dirty_heap(n, 2)
        sim.override("zo_get_raw_data", 0)
        assert not dev.get_raw_data(n, mask=False).any()

    @pytest.mark.parametrize("dtype", ["float32", "float64"])
    def test_stream_blocks_the_library_does_not_write(self, dev, dtype):
        s = dev.open_stream(dtype)
        self.dirty_heap(1000, 8)
        sim.override(f"ZOStream<{'float' if dtype == 'float32' else 'double'}>::acquire", 0)
        data, bits = s.acquire(1000, getbits=True)
        assert not data.any() and not bits.any()


# ---------------------------------------------------------------------------
class TestIndexingAsPython:
    def test_stream_custom_calibration_from_a_mapping(self, s64):
        s64.set_custom_calibration({0: 2.0, 1: -1.5})
        assert calls() == [("ZOGenericStream::set_custom_calibration", 2.0, -1.5)]
        with pytest.raises(KeyError):
            s64.set_custom_calibration({"m": 2.0, "b": -1.5})

    def test_clock_divide_reads_back_through_indexing(self):
        class Mapped(zopy.zopy._DDevice):
            def in_request(self, *args, **kwargs):
                return {0: super().in_request(*args, **kwargs)[0]}

        ddev = Mapped()
        sim.clear_calls()
        assert ddev.set_clock_divide(2) is None
        assert [c[0] for c in calls()] == ["zo_out_request", "zo_out_request", "zo_in_request"]
        ddev.close()

    def test_calibrated_data_with_a_mapping_calibration(self):
        mine = Scripted(open=False)
        mine.calibration = {0: 3.0, 1: 1.0}
        assert mine.get_calibrated_data(6).tolist() == [4.0, 7.0, 10.0, 13.0, 16.0, 19.0]


# ---------------------------------------------------------------------------
def public_names():
    """(qualified name, object) for every public function, class, method,
    property and attribute of the package."""
    for name in zopy.__all__:
        value = getattr(zopy, name)
        if callable(value):
            yield name, value
        if isinstance(value, type):
            for member, attr in vars(value).items():
                if member.startswith("_") and member not in ("__enter__", "__exit__"):
                    continue
                if callable(attr) or inspect.isdatadescriptor(attr):
                    yield f"{name}.{member}", attr


class TestDocumentation:
    def test_every_public_name_has_a_docstring(self):
        missing = [name for name, value in public_names() if not (value.__doc__ or "").strip()]
        assert missing == []
        assert len(list(public_names())) > 80

    def test_new_keywords_are_documented(self):
        assert "out (numpy.ndarray): Keyword only." in zopy.Device.get_raw_data.__doc__
        assert "out (numpy.ndarray): Keyword only." in zopy.Device.get_calibrated_data.__doc__
        assert "bits_out (numpy.ndarray)" in zopy.Stream.acquire.__doc__
        assert zopy.Device.open_stream.__doc__.startswith("open_stream(dtype=None)\n")

    def test_version(self):
        assert zopy.__version__ == "0.1.0"


def test_daemon_thread_in_a_calibrated_read_into_out_at_exit():
    out, err = run_python("""
        import threading, time, numpy, zopy
        dev = zopy.Device()
        buf = numpy.empty(100_000)
        def loop():
            while True:
                dev.get_calibrated_data(100_000, out=buf)
        threading.Thread(target=loop, daemon=True).start()
        time.sleep(0.05)
        print("done")
    """)
    assert out == "done\n"
