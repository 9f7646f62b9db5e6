"""zopy._timing: the benchmarks' timers of the virtual libzo."""

import pytest
from virtual_libzo import lib, open_device

from zopy import _timing, sim

SERIAL = sim.DEFAULT_SERIAL


@pytest.mark.parametrize("opened", [False, True], ids=["closed", "open elsewhere"])
def test_timers_work_whether_or_not_the_instrument_is_open(opened):
    if opened:
        open_device()
    for name in ("zo_get_samplerate", "zo_get_calibration", "zo_get_raw_data"):
        assert 0 < _timing.time_call(name, SERIAL, 50) < 1
    assert _timing.time_stream_acquire(SERIAL, 4, 1000, "lowpass", 1e5, 10, 2) > 0
    assert sim.state()["open"] is opened


def test_timers_are_neither_logged_nor_overridden():
    h = open_device()
    sim.clear_calls()
    sim.override("zo_get_samplerate", 3)
    assert _timing.time_call("zo_get_samplerate", SERIAL, 100) > 0
    assert _timing.time_raw_fill(SERIAL, 1000, 2) > 0
    assert _timing.time_render(SERIAL, 1000, 2) > 0
    assert _timing.time_stream_acquire(SERIAL, 4, 1000, "none", 1e5, 1, 2) > 0
    assert _timing.time_stream_acquire(SERIAL, 8, 1000, "lowpass", 1e5, 2, 2, True) > 0
    assert sim.calls() == []
    assert lib.zo_get_samplerate(h) == 3        # the timers left the override alone


def test_logged_timing_logs_the_timed_calls_only():
    _timing.time_logged_call("zo_get_samplerate", SERIAL, 3)
    assert sim.calls() == [("zo_get_samplerate", SERIAL)] * 3


@pytest.mark.parametrize("call", [
    lambda: _timing.time_call("zo_nothing", SERIAL, 10),
    lambda: _timing.time_call("zo_get_samplerate", "no such serial", 10),
    lambda: _timing.time_raw_fill(SERIAL, 10, 0),
    lambda: _timing.time_stream_acquire(SERIAL, 3, 1000, "none", 1e5, 1, 2),
    lambda: _timing.time_stream_acquire(SERIAL, 8, 1000, "bogus", 1e5, 1, 1),
], ids=["unknown call", "unknown serial", "no repeats", "dtype size", "unknown filter"])
def test_refusals(call):
    with pytest.raises(ValueError):
        call()
