"""Front-end switches, ports and LEDs, test patterns, reset, requests and registers."""

import numpy as np
import pytest
from virtual_libzo import (
    ERROR_DEVICE_SETTINGS, ERROR_NOT_IMPLEMENTED, ERROR_PARAMS, ERROR_USB_TIMEOUT, capture, lib,
    open_device, raw)

from zopy import sim

S, T = 2, 3
A, B, LEDR, LEDG, LEDB = 0, 1, 4, 5, 6
SWITCHES = ("highgain", "antialias", "powerdown", "adcclock")
POWER_ON = {"highgain": 1, "antialias": 1, "powerdown": 0, "adcclock": 1}


def read(h, name):
    return getattr(lib, f"zo_read_{name}")(h)


def set_(h, name, on):
    return getattr(lib, f"zo_set_{name}")(h, on)


def s_levels(words):
    return ((words & 0x4000) != 0).astype(int)


@pytest.fixture
def h():
    return open_device()


@pytest.fixture
def balanced():
    sim.attach("BAL-9", balanced=True)
    return open_device("BAL-9")


class TestSwitches:
    def test_power_on_values_and_round_trip(self, h):
        assert {n: read(h, n) for n in SWITCHES} == POWER_ON
        for name in SWITCHES:
            for on in (False, True, False):
                assert set_(h, name, on) == 0 and read(h, name) == int(on)
                assert sim.state()[name] is on

    def test_monitors_only_on_the_balanced_unit(self, h, balanced):
        for name in ("p1_monitor", "p2_monitor"):
            assert read(h, name) == -1 and lib.zo_get_error() == ERROR_NOT_IMPLEMENTED
            assert set_(h, name, True) == ERROR_NOT_IMPLEMENTED
            assert read(balanced, name) == 0
            assert set_(balanced, name, True) == 0 and read(balanced, name) == 1

    def test_a_monitor_takes_its_port_away(self, balanced):
        sim.set_port_input("S", True, serial="BAL-9")
        sim.set_port_input("T", True, serial="BAL-9")
        sim.set_timeout(0.001)
        set_(balanced, "p1_monitor", True)
        assert (capture(balanced, 100) & 0xC000 == 0x8000).all()
        assert raw(balanced, 10, mode=4)[0] == ERROR_USB_TIMEOUT     # S low: never
        assert lib.zo_port_read(balanced, S) == -1
        assert lib.zo_get_error() == ERROR_DEVICE_SETTINGS
        assert lib.zo_port_drive(balanced, S, True) == ERROR_DEVICE_SETTINGS
        assert sim.port_state("S", serial="BAL-9")["direction"] == "monitor"
        capture(balanced, 10, mode=7)                                 # T high still fires
        set_(balanced, "p1_monitor", False)
        assert (capture(balanced, 100) & 0xC000 == 0xC000).all()


class TestPorts:
    def test_outputs_read_back_what_they_drive(self, h):
        assert [lib.zo_port_read(h, p) for p in range(7)] == [0] * 7
        assert lib.zo_port_drive(h, A, True) == 0 and lib.zo_port_drive(h, LEDB, True) == 0
        assert lib.zo_port_read(h, A) == 1 and lib.zo_port_read(h, B) == 0
        assert lib.zo_port_read(h, LEDB) == 1
        assert sim.port_state("A") == {"direction": "output", "drive": "level", "level": True,
                                       "threshold": 0, "period": 0, "frequency_hz": 0.0,
                                       "duty": 0.0}

    def test_inputs_are_read_at_the_instrument_time(self, h):
        sim.set_port_input("T", frequency_hz=10e3)     # low for 500 samples, then high
        assert lib.zo_port_read(h, T) == 0
        capture(h, 600)
        assert lib.zo_port_read(h, T) == 1
        assert sim.port_state("T")["direction"] == "input"

    def test_driving_s_makes_it_an_output(self, h):
        sim.set_port_input("S", True)
        assert lib.zo_port_drive(h, S, False) == 0
        assert lib.zo_port_read(h, S) == 0 and (s_levels(capture(h, 50)) == 0).all()
        sim.set_port_input("S", True)
        assert (s_levels(capture(h, 50)) == 0).all()
        lib.zo_reset_device(h)
        assert (s_levels(capture(h, 50)) == 1).all()

    def test_square_wave_in_port_clock_cycles(self, h):
        # 20 cycles per sample: high 100 of 400 cycles = 5 of every 20 samples.
        capture(h, 13)
        assert lib.zo_port_pwm(h, S, 100, 400) == 0
        levels = s_levels(capture(h, 60))
        assert (levels == np.tile([1] * 5 + [0] * 15, 3)).all()
        assert sim.port_state("S")["drive"] == "pwm"

    def test_square_wave_edge_cases(self, h):
        assert lib.zo_port_pwm(h, S, 30, 10) == 0            # threshold above period: high
        assert s_levels(capture(h, 10)).all()
        assert lib.zo_port_pwm(h, S, 0, 10) == 0
        assert not s_levels(capture(h, 10)).any()
        assert lib.zo_port_pwm(h, S, 1, 0) == ERROR_PARAMS

    def test_pulse_is_seen_by_the_next_samples(self, h):
        assert lib.zo_port_pulse(h, S, 190) == 0              # samples 0..9 see it
        assert lib.zo_port_read(h, S) == 1
        levels = s_levels(capture(h, 30))
        assert (levels == [1] * 10 + [0] * 20).all()
        assert lib.zo_port_read(h, S) == 0

    def test_triggering_on_a_driven_port(self, h):
        lib.zo_port_pwm(h, T, 100, 400)
        words = capture(h, 100, mode=6, arm=0, spt=5)          # T falling, 5 per trigger
        assert not (words & 0x8000).any()

    def test_leds(self, h):
        lib.zo_port_drive(h, LEDR, True)
        lib.zo_port_pwm(h, LEDG, 1, 4)
        assert sim.leds() == {"R": 1.0, "G": 0.25, "B": 0.0}
        lib.zo_port_pulse(h, LEDB, 10)
        assert sim.leds()["B"] == 1.0
        capture(h, 5)
        assert sim.leds()["B"] == 0.0


class TestPatterns:
    def test_pn9_from_the_command_on(self, h):
        sim.set_light(20.0)
        capture(h, 321)
        lib.zo_test_pn9(h)
        first = capture(h, 200)
        second = capture(h, 100)
        assert (first == sim.pn9_words(200)).all()
        assert (second == sim.pn9_words(100, start=200)).all()

    def test_pn9_words_follow_the_polynomial(self, h):
        lib.zo_test_pn9(h)
        words = capture(h, 150)
        bits = [(int(w) >> (13 - j)) & 1 for w in words for j in range(14)]
        assert bits[:9] == [1] * 9
        assert all(bits[k] == bits[k - 9] ^ bits[k - 5] for k in range(9, len(bits)))
        assert len(set(words[:73].tolist())) > 60 and (words[:73] == words[73:146]).all()

    def test_checkerboard_user_and_normal(self, h):
        sim.set_light(20.0, noise=False)
        lib.zo_test_checkerboard(h)
        assert (capture(h, 6) == sim.checkerboard_words(6)).all()
        lib.zo_test_user(h, 0xFFFF)
        assert (capture(h, 6) == 0x3FFF).all()
        lib.zo_test_normal(h)
        assert (capture(h, 6) == round(200 + 20 * sim.COUNTS_PER_UW_HIGH)).all()

    def test_port_bits_ride_on_test_patterns(self, h):
        sim.set_port_input("T", True)
        lib.zo_test_user(h, 0x1234)
        assert (capture(h, 10) == 0x9234).all()


class TestReset:
    def test_every_setting_returns_to_power_on(self, h):
        for name, value in POWER_ON.items():
            set_(h, name, not value)
        for port in range(7):
            lib.zo_port_drive(h, port, True)
        lib.zo_test_pn9(h)
        lib.zo_out_request(h, 192, 3, 11, None, 0, 1000)
        lib.zo_out_request(h, 192, 1, 255, None, 0, 1000)
        lib.zo_out_request(h, 192, 7, 12, None, 0, 1000)       # left pending
        assert lib.zo_reset_device(h) == 0
        st = sim.state()
        assert {n: int(st[n]) for n in POWER_ON} == POWER_ON
        assert st["pattern"] == "normal" and not any(st["registers"])
        assert st["samplerate"] == sim.DEFAULT_SAMPLERATE
        assert [lib.zo_port_read(h, p) for p in (A, B, LEDR, LEDG, LEDB)] == [0] * 5
        assert sim.port_state("S")["direction"] == "input"
        lib.zo_out_request(h, 192, 1, 255, None, 0, 1000)
        assert sim.state()["registers"][12] == 0                # the pending write went too
        assert lib.zo_get_serial(h) == sim.DEFAULT_SERIAL.encode()

    def test_light_and_clock_are_the_bench_s(self, h):
        sim.set_light(12.0)
        capture(h, 99)
        lib.zo_reset_device(h)
        assert sim.state()["clock"] == 99 and sim.state()["light"]["power_uw"] == 12.0


class TestRequests:
    def request_in(self, h, request, index, length, value=0, fill=0xAA, extra=4):
        buf = np.full(length + extra, fill, np.uint8)
        status = lib.zo_in_request(h, request, value, index, buf.ctypes.data, length, 1000)
        return status, buf

    def write(self, h, index, value):
        assert lib.zo_out_request(h, 192, value, index, None, 0, 1000) == 0

    def test_writes_wait_for_apply(self, h):
        self.write(h, 20, 0x1234)
        assert self.request_in(h, 194, 20, 2)[1][:2].tolist() == [0, 0]
        self.write(h, 255, 1)
        status, buf = self.request_in(h, 194, 20, 3)
        assert status == 0 and buf.tolist() == [0x34, 0x12, 0, 0xAA, 0xAA, 0xAA, 0xAA]

    def test_other_values_at_255_do_not_apply(self, h):
        self.write(h, 20, 5)
        self.write(h, 255, 2)
        assert self.request_in(h, 194, 20, 1)[1][0] == 0

    @pytest.mark.parametrize("divide", [1, 2, 4])
    def test_clock_divider(self, h, divide):
        self.write(h, 11, divide - 1)
        self.write(h, 255, 1)
        assert self.request_in(h, 194, 11, 1)[1][0] == divide - 1
        assert lib.zo_get_samplerate(h) == sim.DEFAULT_SAMPLERATE // divide
        sim.set_port_input("S", frequency_hz=10e3)              # 1000 / divide samples a period
        levels = s_levels(capture(h, 2000 // divide))
        half = 500 // divide
        assert (levels == np.tile([0] * half + [1] * half, 2)).all()

    def test_other_requests(self, h):
        status, buf = self.request_in(h, 7, 3, 5)
        assert status == 0 and buf.tolist() == [0] * 5 + [0xAA] * 4
        data = np.arange(10, dtype=np.uint8)
        assert lib.zo_out_request(h, 7, 0, 0, data.ctypes.data, 10, 1000) == 0
        assert lib.zo_in_request(h, 5, 0, 0, None, 0, 1000) == 0
        assert (data == np.arange(10)).all()

    def test_register_index_out_of_range(self, h):
        assert self.request_in(h, 194, 256, 1)[0] == ERROR_PARAMS
        assert lib.zo_out_request(h, 192, 1, 300, None, 0, 1000) == ERROR_PARAMS
