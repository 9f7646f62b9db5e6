"""Stream: opening and closing, acquisition, settings (the module's side of each)."""

import copy
import gc
import pickle
import sys

import numpy
import pytest
from conftest import assert_library_error, calls

import zopy
from zopy import sim

Stream = zopy.Stream
F32 = numpy.dtype("float32")
F64 = numpy.dtype("float64")
INVALID_DEVICE = zopy.errors.ZO_ERROR_INVALID_DEVICE


def names():
    return [c[0] for c in calls()]


@pytest.fixture(params=["float32", "float64"])
def stream(request, dev):
    """An open stream of each sample type on the default instrument; the log starts empty."""
    s = dev.open_stream(request.param)
    sim.clear_calls()
    yield s
    s.close()


class TestOpening:
    @pytest.mark.parametrize("make", [lambda d: Stream(d), lambda d: d.open_stream(),
                                      lambda d: Stream(device=d, dtype=None),
                                      lambda d: d.open_stream(dtype=float)])
    def test_default_is_a_64_bit_stream(self, dev, serial, make):
        s = make(dev)
        assert type(s) is Stream
        assert s.dtype == F64 and type(s.dtype) is type(F64)
        assert s.device is dev
        assert calls() == [("zo_open_stream<double>", serial)]
        s.close()

    @pytest.mark.parametrize("dtype", ["float32", "f4", "single", numpy.float32,
                                       numpy.dtype("<f4"), F32])
    def test_32_bit_stream(self, dev, serial, dtype):
        s = dev.open_stream(dtype)
        assert s.dtype == F32 and s.dtype.byteorder == "="
        assert calls() == [("zo_open_stream<float>", serial)]
        s.close()

    @pytest.mark.parametrize("dtype", ["int16", "float16", "complex64", numpy.uint8, ">f4", ">f8",
                                       "f4,f4"])
    def test_other_dtypes_are_refused(self, dev, dtype):
        with pytest.raises(RuntimeError) as info:
            dev.open_stream(dtype)
        assert str(info.value) == "Invalid dtype specified. Only float32 and float64 currently supported"
        assert calls() == []

    def test_dtype_numpy_does_not_know(self, dev):
        with pytest.raises(TypeError) as info:
            dev.open_stream("no such type")
        with pytest.raises(TypeError) as expected:
            numpy.dtype("no such type")
        assert str(info.value) == str(expected.value)
        assert calls() == []

    @pytest.mark.parametrize("device", ["x", 3, sim, numpy.zeros(2)])
    def test_device_must_be_a_device(self, device):
        with pytest.raises(TypeError, match=r"^Argument 'device' has incorrect type \(expected "
                                            r"zopy\.zopy\.Device, got "):
            Stream(device, "no such type")
        assert calls() == []

    def test_none_is_not_a_device(self):
        with pytest.raises(TypeError) as info:
            Stream(None)
        assert str(info.value) == ("Argument 'device' has incorrect type "
                                   "(expected zopy.zopy.Device, got NoneType)")

    @pytest.mark.parametrize("dtype", [None, "int16", "no such type"])
    def test_closed_device_is_checked_before_dtype(self, dtype):
        for device in (zopy.Device(open=False), zopy.zopy._DDevice(open=False),
                       zopy.Device.__new__(zopy.Device)):
            with pytest.raises(RuntimeError) as info:
                device.open_stream(dtype)
            assert str(info.value) == "Device is not open"
        assert calls() == []

    def test_device_closed_while_the_dtype_converts(self, dev):
        class Closing:   # numpy.dtype() reads the attribute `dtype`
            @property
            def dtype(self):
                dev.close()
                return F64

        with pytest.raises(RuntimeError, match="Device is not open"):
            Stream(dev, Closing())
        assert names() == ["zo_close_device"]

    def test_subclasses_of_device(self, serial):
        class MyDevice(zopy.Device):
            pass

        for cls in (MyDevice, zopy.zopy._DDevice):
            dev = cls()
            s = Stream(dev, "f4")
            assert s.device is dev
            s.close()
            dev.close()
        assert names().count("zo_open_stream<float>") == 2

    def test_argument_errors(self, dev):
        for bad in (lambda: Stream(), lambda: Stream(dev, None, 1), lambda: Stream(dev, kind="f4"),
                    lambda: Stream(dev, device=dev), lambda: dev.open_stream(None, 1),
                    lambda: dev.open_stream(kind="f4")):
            with pytest.raises(TypeError):
                bad()
        assert calls() == []

    def test_library_refusing_to_open(self, dev, serial):
        s = Stream.__new__(Stream)
        sim.override("zo_open_stream<float>", None, error=(49, "no memory"))
        with pytest.raises(zopy.Error) as info:
            s.__init__(dev, "float32")
        assert_library_error(info, 49, "no memory")
        with pytest.raises(RuntimeError, match="Stream is not open"):
            s.acquire(10)
        assert s.device is None and s.dtype is None
        del s
        gc.collect()
        assert calls() == [("zo_open_stream<float>", serial)]

    def test_open_stream_reports_the_refusal(self, dev):
        sim.override("zo_open_stream<double>", None, error=(49, "no memory"))
        with pytest.raises(zopy.Error) as info:
            dev.open_stream()
        assert info.value.err == 49
        assert "zo_close_stream" not in names()

    def test_reinitialising_releases_the_first_stream(self, dev, serial):
        s = Stream(dev)
        assert s.__init__(dev, "f4") is None
        assert calls() == [("zo_open_stream<double>", serial), ("zo_close_stream",),
                           ("zo_open_stream<float>", serial)]
        assert s.dtype == F32 and s.acquire(3).dtype == F32
        s.close()
        assert names().count("zo_close_stream") == 2

    def test_reinitialising_with_a_second_device(self, dev):
        sim.attach("KV2")
        second = zopy.Device(serial="KV2")
        s = Stream(dev)
        s.__init__(second)
        assert s.device is second
        assert calls()[-2:] == [("zo_close_stream",), ("zo_open_stream<double>", "KV2")]
        s.close()
        second.close()

    def test_refused_reinitialisation_keeps_the_open_stream(self, dev):
        s = Stream(dev, "f4")
        sim.clear_calls()
        for bad in (lambda: s.__init__(dev, "int16"), lambda: s.__init__(zopy.Device(open=False)),
                    lambda: s.__init__("x")):
            with pytest.raises((RuntimeError, TypeError)):
                bad()
        assert calls() == []
        assert s.dtype == F32 and s.device is dev
        assert s.acquire(2).shape == (2,)
        s.close()

    def test_failed_reopen_leaves_the_stream_closed(self, dev):
        s = Stream(dev)
        sim.override("zo_open_stream<float>", None, error=(49, "no memory"))
        with pytest.raises(zopy.Error):
            s.__init__(dev, "f4")
        assert names()[-2:] == ["zo_close_stream", "zo_open_stream<float>"]
        with pytest.raises(RuntimeError, match="Stream is not open"):
            s.read_samplerate()
        s.close()
        assert names().count("zo_close_stream") == 1


class TestClosing:
    def test_close_releases_once(self, dev, serial):
        s = dev.open_stream("f4")
        assert s.close() is None
        assert s.close() is None
        assert calls() == [("zo_open_stream<float>", serial), ("zo_close_stream",)]
        assert s.device is dev and s.dtype == F32

    def test_destruction_releases_once(self, dev):
        s = dev.open_stream()
        sim.clear_calls()
        del s
        gc.collect()
        assert calls() == [("zo_close_stream",)]

    def test_destruction_after_close_releases_nothing_more(self, dev):
        s = dev.open_stream()
        s.close()
        sim.clear_calls()
        del s
        gc.collect()
        assert calls() == []

    def test_never_initialised_stream(self):
        s = Stream.__new__(Stream)
        assert s.device is None and s.dtype is None
        assert s.close() is None
        del s
        gc.collect()
        assert calls() == []

    def test_destruction_calls_close_by_attribute_lookup(self, dev):
        closed = []

        class Mine(Stream):
            def close(self):
                closed.append(self.dtype)
                super().close()

        s = Mine(dev, "f4")
        sim.clear_calls()
        del s
        gc.collect()
        assert closed == [F32]
        assert calls() == [("zo_close_stream",)]

    def test_destruction_releases_even_when_close_does_not(self, dev):
        class Lazy(Stream):
            def close(self):
                pass

        s = Lazy(dev)
        sim.clear_calls()
        del s
        gc.collect()
        assert calls() == [("zo_close_stream",)]

    def test_close_raising_at_destruction_is_unraisable(self, dev, monkeypatch):
        reports = []
        monkeypatch.setattr(sys, "unraisablehook", reports.append)

        class Broken(Stream):
            def close(self):
                raise ValueError("close failed")

        s = Broken(dev)
        sim.clear_calls()
        del s
        gc.collect()
        assert len(reports) == 1
        assert reports[0].object == "zopy.zopy.Stream.__dealloc__"
        assert isinstance(reports[0].exc_value, ValueError)
        # The report holds the failed call's frame, and that frame the stream.
        frame = reports[0].exc_traceback.tb_frame
        assert frame.f_code.co_name == "close"
        assert isinstance(frame.f_locals["self"], Broken)
        del frame
        reports.clear()
        gc.collect()
        assert calls() == [("zo_close_stream",)]

    def test_destruction_keeps_a_pending_exception(self, dev):
        def fail():
            s = dev.open_stream()   # released while KeyError leaves the frame
            raise KeyError("pending")

        with pytest.raises(KeyError, match="pending"):
            fail()
        assert names().count("zo_close_stream") == 1

    def test_a_stream_in_a_cycle_is_collected(self, dev):
        class Linked(Stream):
            pass

        s = Linked(dev)
        s.me = s
        sim.clear_calls()
        del s
        gc.collect()
        assert calls() == [("zo_close_stream",)]

    def test_a_cycle_through_the_device_is_collected(self):
        class Holder(zopy.Device):
            pass

        dev = Holder()
        dev.stream = dev.open_stream()
        sim.clear_calls()
        del dev
        gc.collect()
        assert sorted(names()) == ["zo_close_device", "zo_close_stream"]

    def test_close_sees_the_instance_in_a_collected_cycle(self, dev):
        seen = []

        class Linked(Stream):
            def close(self):
                seen.append(self.__dict__.get("label"))
                super().close()

        s = Linked(dev)
        s.label = "kept"
        s.me = s
        del s
        gc.collect()
        assert seen == ["kept"]

    def test_the_stream_keeps_its_device_alive(self, serial):
        dev = zopy.Device()
        s = dev.open_stream()
        del dev
        gc.collect()
        assert "zo_close_device" not in names()
        assert s.device.isopen()
        del s
        gc.collect()
        assert names()[-2:] == ["zo_close_stream", "zo_close_device"]

    def test_a_closed_device_under_an_open_stream(self, dev):
        s = dev.open_stream("f4")
        dev.close()
        with pytest.raises(zopy.Error) as info:
            s.acquire(10)
        assert info.value.err == INVALID_DEVICE
        with pytest.raises(zopy.Error) as info:
            s.set_downsampling(2)
        assert info.value.err == INVALID_DEVICE
        s.read_samplerate()   # reads are not judged by the module
        s.close()
        assert names()[-1] == "zo_close_stream"

    def test_attributes_are_read_only(self, s64, dev):
        for name, value in (("device", dev), ("dtype", F32)):
            with pytest.raises(AttributeError):
                setattr(s64, name, value)
            with pytest.raises(AttributeError):
                delattr(s64, name)
        assert s64.dtype == F64

    def test_pickling_and_copying_are_refused(self, s64):
        for attempt in (pickle.dumps, copy.copy, copy.deepcopy, lambda s: s.__setstate__({}),
                        lambda s: s.__reduce__()):
            with pytest.raises(TypeError) as info:
                attempt(s64)
            assert str(info.value) == "no default __reduce__ due to non-trivial __cinit__"

    def test_class_documentation(self):
        doc = Stream.__doc__
        assert doc.startswith("Stream(device, dtype=None)\n    A continuous acquisition stream")
        # the order of the stages, the bits layout, continuity across reads
        stages = [doc.index(word) for word in ("filter", "averaging", "M-th", "calibration")]
        assert stages == sorted(stages)
        assert 'bit 0 port "S", bit 1 port "T"' in doc and "where the previous one stopped" in doc
        assert Stream.close.__doc__.startswith("close()\n")
        assert Stream.acquire.__doc__.startswith(
            "acquire(nsamples, getbits=False, *, out=None, bits_out=None)\n")


# method name, arguments: every method that needs an open stream
STREAM_METHODS = [
    ("acquire", (10,)), ("read_samplerate", ()), ("read_samplesize", ()),
    ("read_calibration_mode", ()), ("set_calibration_mode", ("auto",)),
    ("update_auto_calibration", ()), ("read_calibration", ()),
    ("set_custom_calibration", ([1.0, 0.0],)), ("read_calibration_wavelength", ()),
    ("set_calibration_wavelength", (1310.0,)), ("read_calibration_units", ()),
    ("set_calibration_units", (-6,)), ("read_cutoff", ()), ("set_cutoff", (1e5,)),
    ("read_filter", ()), ("set_filter", ("none",)), ("read_downsampling", ()),
    ("set_downsampling", (1,)), ("set_decimation", (1,)),
]


class TestNotOpen:
    @pytest.fixture(params=["closed", "never initialised", "closed by subclass"])
    def dead(self, request, dev):
        if request.param == "closed":
            s = dev.open_stream()
            s.close()
        elif request.param == "never initialised":
            s = Stream.__new__(Stream)
        else:
            class Mine(Stream):
                pass

            s = Mine(dev, "f4")
            Stream.close(s)
        sim.clear_calls()
        return s

    @pytest.mark.parametrize("method, args", STREAM_METHODS)
    def test_no_call_reaches_the_library(self, dead, method, args):
        with pytest.raises(RuntimeError) as info:
            getattr(dead, method)(*args)
        assert str(info.value) == "Stream is not open"
        assert calls() == []

    @pytest.mark.parametrize("method", ["set_cutoff", "set_downsampling", "set_filter",
                                        "set_custom_calibration"])
    def test_closed_while_the_argument_converts(self, s64, method):
        class Closing:   # each conversion hook closes the stream on its way
            def _close(self, value):
                s64.close()
                return value
            __float__ = lambda self: self._close(1.0)
            __int__ = lambda self: self._close(1)
            encode = lambda self, codec: self._close(b"none")
            __len__ = lambda self: self._close(2)
            __getitem__ = lambda self, i: 1.0

        with pytest.raises(RuntimeError, match="Stream is not open"):
            getattr(s64, method)(Closing())
        assert names() == ["zo_close_stream"]

    def test_properties(self, dead):
        with pytest.raises(RuntimeError, match="Stream is not open"):
            dead.cutoff
        with pytest.raises(RuntimeError, match="Stream is not open"):
            dead.calibration = [1.0, 0.0]
        assert dead.close() is None
        assert calls() == []


class TestAcquire:
    def test_array_of_the_stream_dtype(self, stream):
        data = stream.acquire(1000)
        assert isinstance(data, numpy.ndarray)
        assert data.dtype == stream.dtype and data.shape == (1000,)
        assert data.flags.c_contiguous and data.flags.owndata
        name = "ZOStream<float>::acquire" if stream.dtype == F32 else "ZOStream<double>::acquire"
        assert calls() == [("ZOGenericStream::read_samplesize",), (name, 1000, 1000, None)]

    def test_with_bits(self, stream):
        result = stream.acquire(1000, getbits=True)
        assert isinstance(result, tuple) and len(result) == 2
        data, bits = result
        assert data.dtype == stream.dtype and data.shape == (1000,)
        assert bits.dtype == numpy.uint8 and bits.shape == (1000,)
        assert calls()[-1][1:] == (1000, 1000, 1000)

    def test_the_library_fills_both_arrays(self, stream):
        sim.set_light(50.0, noise=False)
        sim.set_port_input("S", True)
        data, bits = stream.acquire(200, True)
        assert numpy.allclose(data, 50.0, rtol=0.01)
        assert numpy.all(bits & 1 == 1)

    def test_every_call_returns_new_arrays(self, stream):
        first = stream.acquire(10)
        second = stream.acquire(10)
        assert not numpy.shares_memory(first, second)

    @pytest.mark.parametrize("getbits", [True, 1, "yes", [0], 2.5])
    def test_true_getbits_gives_a_tuple(self, s64, getbits):
        assert isinstance(s64.acquire(5, getbits), tuple)

    @pytest.mark.parametrize("getbits", [False, 0, None, "", [], 0.0])
    def test_false_getbits_gives_the_array(self, s64, getbits):
        result = s64.acquire(5, getbits=getbits)
        assert isinstance(result, numpy.ndarray)
        assert calls()[-1] == ("ZOStream<double>::acquire", 5, 5, None)

    def test_getbits_truth_failure(self, s64):
        class Truthless:
            def __bool__(self):
                raise ZeroDivisionError

        with pytest.raises(ZeroDivisionError):
            s64.acquire(5, Truthless())
        assert calls() == []

    def test_getbits_is_tested_again_for_the_result(self, s64):
        class Flip:
            """False when first asked, true afterwards."""

            def __init__(self):
                self.asked = 0

            def __bool__(self):
                self.asked += 1
                return self.asked > 1

        result = s64.acquire(5, Flip())
        assert calls()[-1] == ("ZOStream<double>::acquire", 5, 5, None)
        assert isinstance(result, tuple) and len(result) == 2
        assert result[0].shape == (5,) and result[1] is None

    def test_bits_asked_for_then_declined(self, s64):
        class Flop:
            def __init__(self):
                self.asked = 0

            def __bool__(self):
                self.asked += 1
                return self.asked == 1

        result = s64.acquire(5, Flop())
        assert isinstance(result, numpy.ndarray) and result.shape == (5,)
        assert calls()[-1] == ("ZOStream<double>::acquire", 5, 5, 5)

    @pytest.mark.parametrize("nsamples, taken", [(1000.7, 1000), ("12", 12), (numpy.uint64(7), 7),
                                                 (True, 1)])
    def test_count_goes_through_int(self, s64, nsamples, taken):
        assert s64.acquire(nsamples).shape == (taken,)
        assert calls()[-1] == ("ZOStream<double>::acquire", taken, taken, None)

    def test_keywords(self, s64):
        assert s64.acquire(nsamples=10).shape == (10,)
        data, bits = s64.acquire(getbits=True, nsamples=3)
        assert bits.shape == (3,)

    @pytest.mark.parametrize("nsamples, error", [
        (-1, OverflowError), (2**64, OverflowError), (None, TypeError), ("ten", ValueError),
        (float("inf"), OverflowError), (2**63, ValueError)])
    def test_bad_counts_make_no_call(self, stream, nsamples, error):
        with pytest.raises(error):
            stream.acquire(nsamples)
        assert calls() == []

    def test_negative_count_message(self, s64):
        with pytest.raises(OverflowError) as info:
            s64.acquire(-1, True)
        assert str(info.value) == "can't convert negative value to uint64_t"

    def test_zero_samples(self, stream):
        with pytest.raises(IndexError) as info:
            stream.acquire(0)
        assert str(info.value) == "Out of bounds on buffer access (axis 0)"
        assert calls() == [("ZOGenericStream::read_samplesize",)]
        sim.clear_calls()
        with pytest.raises(IndexError, match=r"axis 0"):
            stream.acquire(0, getbits=True)
        assert calls() == []

    @pytest.mark.parametrize("dtype, size", [("float32", 8), ("float64", 4), ("float32", 2)])
    def test_the_library_sample_size_chooses_the_view(self, dev, dtype, size):
        s = dev.open_stream(dtype)
        sim.clear_calls()
        sim.override("ZOGenericStream::read_samplesize", size)
        with pytest.raises(ValueError):
            s.acquire(10)
        assert calls() == [("ZOGenericStream::read_samplesize",)]
        s.close()

    def test_samplesize_is_read_through_the_attribute(self, dev):
        class Wrong(Stream):
            samplesize = 8

        s = Wrong(dev, "f4")
        sim.clear_calls()
        with pytest.raises(ValueError):
            s.acquire(10)
        assert calls() == []
        s.close()

    def test_dtype_is_read_through_the_attribute(self, dev):
        class Narrow(Stream):
            dtype = numpy.dtype("float16")

        s = Narrow(dev)
        sim.clear_calls()
        with pytest.raises(ValueError):
            s.acquire(10)
        assert "ZOStream<double>::acquire" not in names()
        s.close()

    @pytest.mark.parametrize("status", [1, -1, 55])
    def test_library_failure(self, stream, status):
        name = "ZOStream<float>::acquire" if stream.dtype == F32 else "ZOStream<double>::acquire"
        sim.override(name, status, error=(33, "transfer timed out"))
        with pytest.raises(zopy.Error) as info:
            stream.acquire(10, True)
        assert_library_error(info, 33, "transfer timed out")
        assert stream.acquire(4).shape == (4,)   # the stream stays open

    def test_argument_counts(self, s64):
        for bad in (lambda: s64.acquire(), lambda: s64.acquire(1, True, 3),
                    lambda: s64.acquire(1, bits=True), lambda: s64.acquire(1, nsamples=1)):
            with pytest.raises(TypeError):
                bad()
        assert calls() == []


# method, library operation, a valid argument, what the library receives
SETTERS = [
    ("set_calibration_mode", "ZOGenericStream::set_calibration_mode", "custom", "custom"),
    ("set_custom_calibration", "ZOGenericStream::set_custom_calibration", (2.0, -1.0), (2.0, -1.0)),
    ("set_calibration_wavelength", "ZOGenericStream::set_calibration_wavelength", 1310, 1310.0),
    ("set_calibration_units", "ZOGenericStream::set_calibration_units", -3, -3),
    ("set_filter", "ZOGenericStream::set_filter", "lowpass", "lowpass"),
    ("set_downsampling", "ZOGenericStream::set_downsampling", 4, 4),
    ("set_decimation", "ZOGenericStream::set_decimation", 2, 2),
    ("set_cutoff", "ZOGenericStream::set_cutoff", 2e5, 2e5),
]
STATUS_SETTERS = [s for s in SETTERS if s[0] != "set_cutoff"]


class TestSettings:
    @pytest.mark.parametrize("method, operation, value, passed", SETTERS)
    def test_setter_passes_the_value(self, stream, method, operation, value, passed):
        assert getattr(stream, method)(value) is None
        args = passed if isinstance(passed, tuple) else (passed,)
        assert calls() == [(operation, *args)]

    @pytest.mark.parametrize("method, keyword", [
        ("set_calibration_mode", "mode"), ("set_custom_calibration", "calibration"),
        ("set_calibration_wavelength", "wavelength"), ("set_calibration_units", "power_of_ten"),
        ("set_cutoff", "cutoff"), ("set_filter", "filter"), ("set_downsampling", "downsampling"),
        ("set_decimation", "decimation")])
    def test_keyword_names(self, s64, method, keyword):
        value = dict((m, v) for m, _, v, _ in SETTERS)[method]
        getattr(s64, method)(**{keyword: value})
        with pytest.raises(TypeError):
            getattr(s64, method)(value, **{keyword: value})
        with pytest.raises(TypeError):
            getattr(s64, method)()
        with pytest.raises(TypeError):
            getattr(s64, method)(value, value)
        assert len(calls()) == 1

    @pytest.mark.parametrize("method, operation, value, passed", STATUS_SETTERS)
    @pytest.mark.parametrize("status", [1, -1])
    def test_failing_status_is_the_library_error(self, s64, method, operation, value, passed, status):
        sim.override(operation, status, error=(48, "params"))
        with pytest.raises(zopy.Error) as info:
            getattr(s64, method)(value)
        assert_library_error(info, 48, "params")
        assert s64.read_samplesize() == 8   # still open

    def test_update_auto_calibration(self, s64):
        assert s64.update_auto_calibration() is None
        sim.override("ZOGenericStream::update_auto_calibration", 1, error=(52, "settings"))
        with pytest.raises(zopy.Error) as info:
            s64.update_auto_calibration()
        assert info.value.err == 52
        with pytest.raises(TypeError):
            s64.update_auto_calibration(1)

    def test_cutoff_status_is_not_looked_at(self, s64):
        sim.override("ZOGenericStream::set_cutoff", 1, error=(48, "params"))
        assert s64.set_cutoff(1e5) is None

    def test_cutoff_the_library_cannot_realise_raises_nothing(self, s64):
        s64.cutoff = 1e12
        assert s64.cutoff == 1e12

    @pytest.mark.parametrize("method, value, passed", [
        ("set_downsampling", "4", 4), ("set_downsampling", 2.9, 2), ("set_downsampling", -2.9, -2),
        ("set_decimation", numpy.int16(3), 3), ("set_calibration_units", "-3", -3),
        ("set_downsampling", 2**31 - 1, 2**31 - 1), ("set_decimation", -2**31, -2**31),
        ("set_cutoff", "5e6", 5e6), ("set_cutoff", 7, 7.0), ("set_calibration_wavelength", b"1310", 1310.0),
        ("set_calibration_wavelength", numpy.float32(0.5), 0.5)])
    def test_numeric_conversions(self, s64, method, value, passed):
        operation = "ZOGenericStream::" + method
        sim.override(operation, 0)   # the library's own range checks are not the point here
        getattr(s64, method)(value)
        assert calls() == [(operation, passed)]
        assert type(calls()[0][1]) is type(passed)

    @pytest.mark.parametrize("method, value, error", [
        ("set_downsampling", 2**31, OverflowError), ("set_decimation", -2**31 - 1, OverflowError),
        ("set_calibration_units", 2**70, OverflowError), ("set_downsampling", None, TypeError),
        ("set_downsampling", "x", ValueError), ("set_decimation", "2.5", ValueError),
        ("set_calibration_units", [], TypeError), ("set_downsampling", float("nan"), ValueError),
        ("set_cutoff", "abc", ValueError), ("set_cutoff", None, TypeError),
        ("set_calibration_wavelength", [1310], TypeError), ("set_calibration_wavelength", "", ValueError)])
    def test_failed_conversions_make_no_call(self, s64, method, value, error):
        with pytest.raises(error):
            getattr(s64, method)(value)
        assert calls() == []

    @pytest.mark.parametrize("method", ["set_filter", "set_calibration_mode"])
    def test_text_arguments(self, s64, method):
        operation = "ZOGenericStream::" + method
        sim.override(operation, 0, times=2)
        getattr(s64, method)(b"name")
        getattr(s64, method)("name")
        assert calls() == [(operation, "name")] * 2

    @pytest.mark.parametrize("value, error", [
        (bytearray(b"none"), AttributeError), (memoryview(b"none"), AttributeError),
        (3, AttributeError), (None, AttributeError), ("\u00e9", UnicodeEncodeError)])
    @pytest.mark.parametrize("method", ["set_filter", "set_calibration_mode"])
    def test_text_refusals(self, s64, method, value, error):
        with pytest.raises(error):
            getattr(s64, method)(value)
        assert calls() == []

    def test_bytes_subclass_goes_through_encode(self, s64):
        class Name(bytes):
            pass

        with pytest.raises(AttributeError):
            s64.set_filter(Name(b"none"))

        class Encodes:
            def encode(self, encoding):
                assert encoding == "ascii"
                return b"lowpass"

        s64.set_filter(Encodes())
        assert calls() == [("ZOGenericStream::set_filter", "lowpass")]
        assert s64.filter == "lowpass"

    def test_text_whose_encode_gives_no_bytes(self, s64):
        class Odd:
            def encode(self, encoding):
                return "not bytes"

        with pytest.raises(TypeError):
            s64.set_calibration_mode(Odd())
        assert calls() == []

    def test_unknown_names_are_the_library_error(self, s64):
        with pytest.raises(zopy.Error) as info:
            s64.set_filter("bogus")
        assert info.value.err == zopy.errors.ZO_ERROR_PARAMS
        assert s64.filter == "none"

    @pytest.mark.parametrize("method, operation, answer", [
        ("read_samplerate", "ZOGenericStream::read_samplerate", 12.5),
        ("read_samplesize", "ZOGenericStream::read_samplesize", 3),
        ("read_calibration_mode", "ZOGenericStream::read_calibration_mode", b"raw"),
        ("read_calibration_wavelength", "ZOGenericStream::read_calibration_wavelength", -1.0),
        ("read_calibration_units", "ZOGenericStream::read_calibration_units", -3),
        ("read_cutoff", "ZOGenericStream::read_cutoff", 0.0),
        ("read_filter", "ZOGenericStream::read_filter", b""),
        ("read_downsampling", "ZOGenericStream::read_downsampling", -7),
    ])
    def test_readers_convert_and_judge_nothing(self, s64, method, operation, answer):
        sim.override(operation, answer, error=(48, "params"))
        value = getattr(s64, method)()
        expected = answer.decode() if isinstance(answer, bytes) else answer
        assert value == expected and type(value) is type(expected)
        assert calls() == [(operation,)]
        with pytest.raises(TypeError):
            getattr(s64, method)(1)

    @pytest.mark.parametrize("method", ["read_filter", "read_calibration_mode"])
    def test_text_readers_decode_strict_ascii(self, s64, method):
        sim.override("ZOGenericStream::" + method, b"caf\xc3\xa9")
        with pytest.raises(UnicodeDecodeError):
            getattr(s64, method)()

    def test_readers_of_the_instrument(self, stream):
        assert stream.samplesize == stream.dtype.itemsize
        assert stream.samplerate == float(sim.DEFAULT_SAMPLERATE)
        assert isinstance(stream.calibration_mode, str)
        assert isinstance(stream.filter, str)

    def test_calibration_pair_in_the_stream_type(self, stream):
        sim.override("ZOGenericStream::read_calibration", (0.1, 2.5))
        cal = stream.read_calibration()
        assert isinstance(cal, numpy.ndarray)
        assert cal.dtype == stream.dtype and cal.shape == (2,)
        assert cal.tolist() == numpy.array([0.1, 2.5], dtype=stream.dtype).tolist()

    def test_calibration_pair_is_a_new_array(self, s64):
        assert s64.calibration is not s64.calibration

    @pytest.mark.parametrize("pair", [[1.0, 0.0], (2, -3), numpy.array([0.5, 0.25]), "12",
                                      [numpy.float32(1.5), "2.5"]])
    def test_custom_calibration_sequences(self, s64, pair):
        s64.set_custom_calibration(pair)
        assert calls() == [("ZOGenericStream::set_custom_calibration",
                            float(pair[0]), float(pair[1]))]

    @pytest.mark.parametrize("pair", [[1.0], [1, 2, 3], [], numpy.zeros(3), "123"])
    def test_custom_calibration_of_another_length(self, s64, pair):
        with pytest.raises(ValueError) as info:
            s64.set_custom_calibration(pair)
        assert str(info.value) == "Expected 'calibration' to be a length 2 array"
        assert calls() == []

    @pytest.mark.parametrize("pair, error", [
        (1.0, TypeError), (None, TypeError), (iter([1, 2]), TypeError), (["a", 1], ValueError),
        ([None, "x"], TypeError), ([1, "x"], ValueError), ({0: 1, 1: 2, 2: 3}, ValueError)])
    def test_custom_calibration_refusals(self, s64, pair, error):
        with pytest.raises(error):
            s64.set_custom_calibration(pair)
        assert calls() == []

    def test_calibration_written_back(self, s64):
        sim.override("ZOGenericStream::read_calibration", (0.125, -3.0))
        s64.calibration = s64.calibration
        assert calls() == [("ZOGenericStream::read_calibration",),
                           ("ZOGenericStream::set_custom_calibration", 0.125, -3.0)]

    def test_custom_calibration_reaches_the_samples(self, s64):
        s64.set_calibration_mode("custom")
        s64.calibration = [0.0, 7.0]
        assert numpy.all(s64.acquire(20) == 7.0)

    @pytest.mark.parametrize("prop, reader, setter, value", [
        ("calibration_mode", "read_calibration_mode", "set_calibration_mode", "auto"),
        ("calibration_wavelength", "read_calibration_wavelength", "set_calibration_wavelength", 1310.0),
        ("calibration_units", "read_calibration_units", "set_calibration_units", -3),
        ("cutoff", "read_cutoff", "set_cutoff", 5e5),
        ("filter", "read_filter", "set_filter", "lowpass"),
        ("downsampling", "read_downsampling", "set_downsampling", 3),
    ])
    def test_properties_read_and_write_through_the_methods(self, s64, prop, reader, setter, value):
        setattr(s64, prop, value)
        assert getattr(s64, prop) == value
        assert calls() == [("ZOGenericStream::" + setter, value), ("ZOGenericStream::" + reader,)]
        with pytest.raises(AttributeError):
            delattr(s64, prop)

    def test_property_layout(self):
        expected = {
            "samplerate": ("read_samplerate", None), "samplesize": ("read_samplesize", None),
            "calibration_mode": ("read_calibration_mode", "set_calibration_mode"),
            "calibration": ("read_calibration", "set_custom_calibration"),
            "calibration_wavelength": ("read_calibration_wavelength", "set_calibration_wavelength"),
            "calibration_units": ("read_calibration_units", "set_calibration_units"),
            "cutoff": ("read_cutoff", "set_cutoff"), "filter": ("read_filter", "set_filter"),
            "downsampling": ("read_downsampling", "set_downsampling"),
        }
        for name, (reader, setter) in expected.items():
            prop = vars(Stream)[name]
            assert isinstance(prop, property)
            assert prop.fget is vars(Stream)[reader]
            assert prop.fset is (setter and vars(Stream)[setter])
            assert prop.__doc__ == prop.fget.__doc__
        props = {n for n, v in vars(Stream).items() if isinstance(v, property)}
        assert props == set(expected)

    def test_read_only_properties_and_no_decimation_reader(self, s64):
        with pytest.raises(AttributeError):
            s64.samplerate = 1
        with pytest.raises(AttributeError):
            s64.samplesize = 4
        s64.set_decimation(4)
        assert not hasattr(s64, "decimation") and not hasattr(s64, "read_decimation")
        assert calls() == [("ZOGenericStream::set_decimation", 4)]

    def test_documentation(self):
        doc = Stream.read_samplesize.__doc__
        assert doc.startswith("Returns the number of bytes each sample in the stream is stored in.")
        assert ":type samplesize: int" in doc and "Read only." in doc
        assert "Read only." in Stream.samplerate.__doc__ and "sample rate" in Stream.samplerate.__doc__
        mode = Stream.calibration_mode.__doc__
        assert ":type calibration_mode: str" in mode and mode.rstrip().endswith("Read and Write.")
        assert Stream.read_calibration_units.__doc__.count("-6 means uW") == 1
        given = {"read_samplesize", "read_samplerate", "read_calibration_mode"}   # no signature line
        for name, value in vars(Stream).items():
            if callable(value) and not name.startswith("__") and name not in given:
                assert value.__doc__.startswith(name + "("), name


def test_repr_shows_the_settings(dev):
    s = dev.open_stream("float32")
    assert repr(s) == ("<zopy.Stream float32: calibration auto at 1550 nm in uW, filter none, "
                       "downsampling 1, decimation 1, 1e+07 samples/s>")
    s.set_filter("lowpass")
    s.cutoff = 100e3
    s.downsampling = 10
    s.set_decimation(4)
    s.calibration_units = -3
    s.calibration_wavelength = 1310
    assert repr(s) == ("<zopy.Stream float32: calibration auto at 1310 nm in mW, filter lowpass "
                       "at 100000 Hz, downsampling 10, decimation 4, 250000 samples/s>")
    s.calibration_mode = "raw"
    assert repr(s).startswith("<zopy.Stream float32: calibration raw, filter lowpass")
    s.close()
    assert repr(s) == "<zopy.Stream float32, closed>"
