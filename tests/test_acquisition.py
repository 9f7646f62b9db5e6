"""get_raw_data: conversions, the choice of library call, trigger selection."""

import threading
import time

import numpy
import pytest

import zopy
from zopy import sim


def acquisitions():
    return [c for c in sim.calls() if c[0].startswith("zo_get_raw_data")]


@pytest.fixture
def toggling_ports():
    """Square waves on S and T, so every trigger condition comes."""
    sim.set_port_input("S", frequency_hz=10e3)
    sim.set_port_input("T", frequency_hz=10e3)


class TestCallChoice:
    def test_free_running(self, dev, serial):
        data = dev.get_raw_data(100)
        assert data.dtype == numpy.uint16 and data.shape == (100,) and data.flags.c_contiguous
        assert acquisitions() == [("zo_get_raw_data", serial, 100, 100)]

    @pytest.mark.parametrize("mode, port, code", [
        ("rising", "S", 1), ("Rising", "s", 1), ("rising", "t", 5), ("FALLING", "T", 6),
        ("high", "S", 3), ("low", "t", 8), ("auto", None, 0), ("AuTo", "anything", 0),
        ("AUTO", 42, 0)])
    def test_triggered(self, dev, serial, toggling_ports, mode, port, code):
        dev.get_raw_data(10, trig_mode=mode, trig_port=port, arm_time=7)
        assert acquisitions() == [("zo_get_raw_data_triggered", serial, 10, 10, code, 7)]

    def test_triggered_repeat(self, dev, serial, toggling_ports):
        dev.get_raw_data(20, True, "rising", "S", 3, 5)
        assert acquisitions() == [("zo_get_raw_data_triggered_repeat", serial, 20, 20, 1, 3, 5)]

    def test_repeat_with_auto_mode(self, dev, serial):
        dev.get_raw_data(20, trig_mode="auto", samples_per_trigger=4)
        assert acquisitions() == [("zo_get_raw_data_triggered_repeat", serial, 20, 20, 0, 10, 4)]

    def test_zero_samples_reach_the_library(self, dev, serial):
        data = dev.get_raw_data(0)
        assert data.shape == (0,) and data.dtype == numpy.uint16
        assert acquisitions() == [("zo_get_raw_data", serial, 0, 0)]

    @pytest.mark.parametrize("nsamples", [100.7, "100", numpy.int64(100)])
    def test_counts_go_through_int(self, dev, nsamples):
        assert dev.get_raw_data(nsamples).shape == (100,)


class TestRefusals:
    @pytest.mark.parametrize("kwargs, message", [
        ({"trig_mode": None, "trig_port": "S", "samples_per_trigger": 4}, "invalid trigger mode"),
        ({"trig_port": "S"}, "invalid trigger mode"),
        ({"trig_mode": 3, "trig_port": "S"}, "invalid trigger mode"),
        ({"trig_mode": "high"}, "invalid trigger port"),
        ({"trig_mode": "high", "trig_port": 2}, "invalid trigger port"),
        ({"trig_mode": "rising", "trig_port": "A"}, "invalid trigger mode or port"),
        ({"trig_mode": "edge", "trig_port": "S"}, "invalid trigger mode or port"),
        ({"trig_mode": b"rising", "trig_port": b"S"}, "invalid trigger mode or port"),
        ({"samples_per_trigger": 4}, "invalid trigger mode"),
    ])
    def test_trigger_arguments(self, dev, kwargs, message):
        with pytest.raises(zopy.Error) as info:
            dev.get_raw_data(10, **kwargs)
        assert str(info.value) == "zopy error: " + message
        assert info.value.__context__ is not None   # raised while handling the refusal
        assert acquisitions() == []

    def test_lookup_errors_other_than_key_error_propagate(self, dev):
        class Unhashable(str):
            def lower(self):
                return ["not", "hashable"]

        with pytest.raises(TypeError):
            dev.get_raw_data(10, trig_mode="rising", trig_port=Unhashable("S"))

    def test_the_table_of_the_moment_is_used(self, dev, toggling_ports, monkeypatch):
        monkeypatch.setitem(zopy.zopy._trigger_mode_lookup, ("a", "rising"), 5)
        dev.get_raw_data(10, trig_mode="rising", trig_port="A")
        assert acquisitions()[0][4] == 5
        monkeypatch.setitem(zopy.zopy._trigger_mode_lookup, ("a", "rising"), 2**31)
        with pytest.raises(OverflowError, match="value too large to convert to ZO_TRIGGER_MODE_t"):
            dev.get_raw_data(10, trig_mode="rising", trig_port="A")

    @pytest.mark.parametrize("kwargs, error, message", [
        ({"nsamples": -1}, OverflowError, "can't convert negative value to uint64_t"),
        ({"nsamples": 2**64}, OverflowError, None),
        ({"nsamples": 2**63}, ValueError, "Maximum allowed dimension exceeded"),   # numpy's
        ({"nsamples": None}, TypeError, None),
        ({"nsamples": "ten"}, ValueError, None),
        ({"nsamples": 10, "arm_time": None}, TypeError, None),
        ({"nsamples": 10, "arm_time": -1}, OverflowError, "can't convert negative value to uint64_t"),
        ({"nsamples": 10, "trig_mode": "rising", "trig_port": "S", "samples_per_trigger": -2},
         OverflowError, "can't convert negative value to uint64_t"),
    ])
    def test_counts(self, dev, kwargs, error, message):
        with pytest.raises(error) as info:
            dev.get_raw_data(**kwargs)
        if message:
            assert str(info.value) == message
        assert acquisitions() == []

    def test_argument_errors(self, dev):
        with pytest.raises(TypeError, match="missing required argument 'nsamples'"):
            dev.get_raw_data()
        with pytest.raises(TypeError, match="unexpected keyword argument 'calibrationtype'"):
            dev.get_raw_data(10, calibrationtype="auto")
        with pytest.raises(TypeError, match="given by name"):
            dev.get_raw_data(10, nsamples=10)
        with pytest.raises(TypeError, match="at most 6"):
            dev.get_raw_data(1, 2, 3, 4, 5, 6, 7)

    def test_library_failure_returns_no_array(self, dev):
        sim.override("zo_get_raw_data", 33, error=(33, "timeout"))
        with pytest.raises(zopy.Error, match=r"libzo error \(33\): timeout"):
            dev.get_raw_data(10)

    def test_closed_device(self):
        dev = zopy.Device(open=False)
        with pytest.raises(zopy.Error) as info:
            dev.get_raw_data(10)
        assert info.value.err == zopy.errors.ZO_ERROR_INVALID_DEVICE


class TestMask:
    def test_mask_clears_the_port_bits(self, dev):
        sim.set_port_input("S", True)
        sim.set_port_input("T", True)
        raw = dev.get_raw_data(1000, mask=False)
        assert numpy.all(raw & 0xC000 == 0xC000)
        masked = dev.get_raw_data(1000)
        assert masked.max() <= 0x3FFF

    def test_mask_is_applied_in_place(self, dev):
        # The masked array is the one the library filled: no copy is kept around.
        masked = dev.get_raw_data(10)
        assert masked.base is None and masked.flags.owndata


class TestThreads:
    def test_other_threads_run_during_an_acquisition(self, dev):
        sim.set_realtime(True)
        counted = []
        stop = threading.Event()

        def count():
            n = 0
            while not stop.is_set():
                n += 1
            counted.append(n)

        counter = threading.Thread(target=count)
        counter.start()
        try:
            dev.get_raw_data(dev.samplerate // 5)    # 0.2 s of instrument time
        finally:
            stop.set()
            counter.join()
            sim.set_realtime(False)
        assert counted[0] > 1000

    def test_close_waits_for_an_acquisition_in_flight(self, dev):
        nsamples = dev.samplerate // 5    # 0.2 s of instrument time
        sim.set_realtime(True)
        result = {}

        def acquire():
            result["data"] = dev.get_raw_data(nsamples)

        worker = threading.Thread(target=acquire)
        worker.start()
        time.sleep(0.05)
        dev.close()                 # must not release the handle under the library
        worker.join()
        sim.set_realtime(False)
        assert result["data"].shape == (nsamples,)
        names = [c[0] for c in sim.calls()]
        assert names.index("zo_close_device") > names.index("zo_get_raw_data")
