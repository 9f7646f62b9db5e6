"""Port inputs in the sample bits, triggered and re-armed acquisition, time."""

import threading

import numpy as np
import pytest
from virtual_libzo import ERROR_USB_TIMEOUT, capture, lib, open_device, raw

from zopy import sim

S_BIT, T_BIT = 0x4000, 0x8000
AUTO, S_RISING, S_FALLING, S_HIGH, S_LOW = 0, 1, 2, 3, 4
T_RISING, T_FALLING, T_HIGH, T_LOW = 5, 6, 7, 8


def s_levels(words):
    return (words & S_BIT) != 0


def clock():
    return sim.state()["clock"]


@pytest.fixture
def h():
    return open_device()


@pytest.fixture
def square_s(h):
    """S: 10 kHz square wave (1000 samples), low for 500 from the returned index."""
    start = clock()
    sim.set_port_input("S", frequency_hz=10e3)
    return start


class TestPortBits:
    def test_constant_levels(self, h):
        assert (capture(h, 100) & 0xC000 == 0).all()
        sim.set_port_input("S", True)
        assert (capture(h, 100) & 0xC000 == S_BIT).all()
        sim.set_port_input("T", True)
        sim.set_port_input("S", False)
        assert (capture(h, 100) & 0xC000 == T_BIT).all()

    @pytest.mark.parametrize("duty, low", [(0.5, 500), (0.25, 750), (0.3, 700), (0.9, 100)])
    def test_square_wave_starts_low(self, h, duty, low):
        capture(h, 37)                              # the wave starts at the current time
        sim.set_port_input("S", frequency_hz=10e3, duty=duty)
        levels = s_levels(capture(h, 3000))
        expected = np.tile(np.r_[np.zeros(low, bool), np.ones(1000 - low, bool)], 3)
        assert (levels == expected).all()

    def test_port_bits_do_not_touch_the_adc_code(self, h):
        sim.set_light(50.0, noise=False)
        sim.set_port_input("S", frequency_hz=1e6)
        sim.set_port_input("T", True)
        words = capture(h, 1000)
        assert (words & 0x3FFF == 200 + 4096).all() and s_levels(words).any()


class TestTriggers:
    @pytest.mark.parametrize("mode, first_index, level", [
        (S_RISING, 500, True), (S_FALLING, 1000, False), (S_HIGH, 500, True), (S_LOW, 10, False),
    ])
    def test_start_at_the_first_matching_sample(self, h, square_s, mode, first_index, level):
        words = capture(h, 200, mode=mode, arm=10)
        assert (s_levels(words) == level).all()
        assert clock() == square_s + first_index + 200

    def test_arm_time_skips_edges(self, h, square_s):
        capture(h, 10, mode=S_RISING, arm=600)
        assert clock() == square_s + 1500 + 10

    def test_an_edge_at_the_end_of_arming_counts(self, h, square_s):
        capture(h, 10, mode=S_RISING, arm=500)
        assert clock() == square_s + 500 + 10

    def test_high_level_already_there(self, h):
        sim.set_port_input("T", True)
        capture(h, 50, mode=T_HIGH, arm=7)
        assert clock() == 57

    def test_repeat_rearms_after_each_block(self, h, square_s):
        words = capture(h, 300, mode=S_RISING, arm=10, spt=100)
        assert s_levels(words).all()
        assert clock() == square_s + 2500 + 100          # triggers at 500, 1500, 2500

    def test_repeat_with_auto_waits_the_arm_time_each_time(self, h):
        capture(h, 250, mode=AUTO, arm=10, spt=100)
        assert clock() == 3 * 10 + 250

    def test_last_block_is_cut_to_nsamples(self, h, square_s):
        capture(h, 150, mode=S_FALLING, arm=0, spt=100)
        assert clock() == square_s + 2000 + 50            # falling edges at 1000, 2000

    @pytest.mark.parametrize("mode", [S_RISING, S_FALLING, T_HIGH])
    def test_a_trigger_that_never_comes_times_out(self, h, mode):
        sim.set_timeout(0.002)                            # 20000 samples
        status, words = raw(h, 100, mode=mode, arm=10)
        assert status == ERROR_USB_TIMEOUT and lib.zo_get_error() == ERROR_USB_TIMEOUT
        assert clock() == 20000 and (words == 0).all()

    def test_timeout_in_the_middle_of_a_repeat(self, h):
        sim.set_timeout(0.0009)                           # 9000 samples per wait
        sim.set_port_input("S", frequency_hz=1e3)        # rising edges 10000 apart
        status, words = raw(h, 300, mode=S_RISING, arm=0, spt=100)
        assert status == ERROR_USB_TIMEOUT
        assert s_levels(words[:100]).all() and (words[100:] == 0).all()
        assert clock() == 5100 + 9000

    def test_arm_time_beyond_the_timeout(self, h):
        sim.set_timeout(0.001)
        status, _ = raw(h, 10, mode=AUTO, arm=10**18)
        assert status == ERROR_USB_TIMEOUT and clock() == 10000

    def test_adc_clock_off(self, h):
        sim.set_timeout(0.001)
        lib.zo_set_adcclock(h, False)
        status, _ = raw(h, 10)
        assert status == ERROR_USB_TIMEOUT and clock() == 10000
        lib.zo_set_adcclock(h, True)
        capture(h, 10)


class TestRealtime:
    def test_timeout_still_ends(self, h):
        sim.set_realtime(True)
        sim.set_timeout(0.05)
        status, _ = raw(h, 10, mode=S_RISING)
        assert status == ERROR_USB_TIMEOUT and clock() == 500_000

    def test_other_calls_run_during_an_acquisition(self, h):
        sim.set_realtime(True)
        n = sim.DEFAULT_SAMPLERATE // 2                     # half a second
        done = []
        worker = threading.Thread(target=lambda: done.append(capture(h, n)))
        worker.start()
        seen = set()
        while worker.is_alive():
            seen.add(clock())                               # goes through the registry
            lib.zo_get_samplerate(h)
        worker.join()
        assert len(done) == 1 and clock() == n
        assert any(0 < c < n for c in seen)                 # the clock moved in chunks


class TestThreads:
    def test_two_threads_on_one_instrument_take_turns(self, h):
        sim.set_light(20.0, modulation_hz=1e5, modulation_depth=0.5, seed=3)
        results = {}

        def grab(name):
            results[name] = capture(h, 300_000)

        threads = [threading.Thread(target=grab, args=(k,)) for k in "ab"]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert clock() == 600_000
        sim.reset()
        h2 = open_device()
        sim.set_light(20.0, modulation_hz=1e5, modulation_depth=0.5, seed=3)
        whole = capture(h2, 600_000)
        together = [np.concatenate([results[x], results[y]]) for x, y in ("ab", "ba")]
        assert any((t == whole).all() for t in together)

    def test_instruments_render_alike_in_parallel(self):
        serials = ["PAR-1", "PAR-2", "PAR-3"]
        handles = []
        for s in serials:
            sim.attach(s)
            sim.set_light(7.0, 1310.0, serial=s, modulation_hz=2e4, modulation_depth=0.1)
            handles.append(open_device(s))
        out = [None] * 3

        def grab(i):
            out[i] = capture(handles[i], 500_000)

        threads = [threading.Thread(target=grab, args=(i,)) for i in range(3)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert (out[0] == out[1]).all() and (out[1] == out[2]).all()
