"""The virtual libzo as a library: start and stop, handles, failure values, last error."""

import threading

import numpy as np
import pytest
from virtual_libzo import (
    BAD_DOUBLE, ERROR_INVALID_DEVICE, ERROR_PARAMS, SIGNATURES, last_error, lib, open_device)

from zopy import sim

# Every call that takes a handle, with harmless other arguments and its failure value.
HANDLE_CALLS = {
    "zo_close_device": ((), ERROR_INVALID_DEVICE),
    "zo_reset_device": ((), ERROR_INVALID_DEVICE),
    "zo_get_serial": ((), None),
    "zo_get_product": ((), None),
    "zo_get_samplerate": ((), 0xFFFFFFFF),
    "zo_get_adcbits": ((), 255),
    "zo_get_fwversion": ((), (255, 255, 255)),
    "zo_get_usb_speed": ((), -1),
    "zo_get_peak_responsivity": ((), -1),
    "zo_get_rel_responsivity": ((1310.0,), BAD_DOUBLE),
    "zo_get_calibration": ((4,), (0.0, 0.0)),
    "zo_get_rel_calibration": ((4, 1310.0), (0.0, 0.0)),
    "zo_get_raw_data": ((0, None), ERROR_INVALID_DEVICE),
    "zo_get_raw_data_triggered": ((0, None, 1, 10), ERROR_INVALID_DEVICE),
    "zo_get_raw_data_triggered_repeat": ((0, None, 1, 10, 5), ERROR_INVALID_DEVICE),
    "zo_port_drive": ((0, True), ERROR_INVALID_DEVICE),
    "zo_port_pwm": ((0, 1, 2), ERROR_INVALID_DEVICE),
    "zo_port_pulse": ((0, 1), ERROR_INVALID_DEVICE),
    "zo_port_read": ((2,), -1),
    "zo_test_pn9": ((), ERROR_INVALID_DEVICE),
    "zo_test_checkerboard": ((), ERROR_INVALID_DEVICE),
    "zo_test_normal": ((), ERROR_INVALID_DEVICE),
    "zo_test_user": ((5,), ERROR_INVALID_DEVICE),
    "zo_in_request": ((194, 0, 11, None, 0, 1000), ERROR_INVALID_DEVICE),
    "zo_out_request": ((192, 0, 11, None, 0, 1000), ERROR_INVALID_DEVICE),
}
for _name in ("highgain", "antialias", "powerdown", "adcclock", "p1_monitor", "p2_monitor"):
    HANDLE_CALLS[f"zo_read_{_name}"] = ((), -1)
    HANDLE_CALLS[f"zo_set_{_name}"] = ((True,), ERROR_INVALID_DEVICE)


def answer(name, handle):
    args, _ = HANDLE_CALLS[name]
    result = getattr(lib, name)(handle, *args)
    return result.tuple() if hasattr(result, "tuple") else result


@pytest.fixture
def started():
    lib.zo_init()


def test_every_handle_call_is_covered():
    takes_handle = {n for n, (_, args) in SIGNATURES.items() if args[:1] == [SIGNATURES["zo_close_device"][1][0]]}
    assert takes_handle == set(HANDLE_CALLS)


class TestStartAndStop:
    def test_opening_needs_a_started_library(self):
        lib.zo_exit()
        assert not sim.started()
        assert lib.zo_open_device() is None
        assert lib.zo_open_from_serial(sim.DEFAULT_SERIAL.encode()) is None
        assert lib.zo_get_error() != 0 and lib.zo_get_error_string()
        assert lib.zo_init() == 0 and sim.started()
        h = lib.zo_open_device()
        assert h and lib.zo_close_device(h) == 0

    def test_exit_twice_then_close_is_harmless(self):
        h = open_device()
        assert lib.zo_exit() == 0 and lib.zo_exit() == 0
        assert lib.zo_get_samplerate(h) == 0xFFFFFFFF       # the handle died with the library
        assert lib.zo_get_error() == ERROR_INVALID_DEVICE
        assert lib.zo_close_device(h) == 0                   # interpreter shutdown
        assert lib.zo_close_device(h) == ERROR_INVALID_DEVICE
        lib.zo_init()

    def test_version_works_stopped_and_started(self):
        lib.zo_exit()
        stopped = lib.zo_version().tuple()
        lib.zo_init()
        assert lib.zo_version().tuple() == stopped != (255, 255, 255)

    def test_reset_keeps_the_started_state(self):
        lib.zo_exit()
        sim.reset()
        assert not sim.started()
        lib.zo_init()
        sim.reset()
        assert sim.started()


class TestOpening:
    def test_first_unclaimed_instrument_then_none(self, started):
        sim.attach("SECOND-1")
        first, second = lib.zo_open_device(), lib.zo_open_device()
        assert lib.zo_get_serial(first) == sim.DEFAULT_SERIAL.encode()
        assert lib.zo_get_serial(second) == b"SECOND-1"
        assert lib.zo_open_device() is None
        assert lib.zo_get_error() == ERROR_INVALID_DEVICE
        lib.zo_close_device(first)
        again = lib.zo_open_device()
        assert lib.zo_get_serial(again) == sim.DEFAULT_SERIAL.encode()
        assert again != first                                # handles are never reused
        assert lib.zo_get_samplerate(first) == 0xFFFFFFFF

    def test_serial_substring(self, started):
        sim.attach("AB-0012-X")
        sim.attach("CD-0012-Y")
        h1 = lib.zo_open_from_serial(b"0012")
        h2 = lib.zo_open_from_serial(b"0012")
        assert (lib.zo_get_serial(h1), lib.zo_get_serial(h2)) == (b"AB-0012-X", b"CD-0012-Y")
        assert lib.zo_open_from_serial(b"0012") is None
        assert lib.zo_open_from_serial(b"nothing") is None

    def test_null_serial_is_a_parameter_error(self, started):
        assert lib.zo_open_from_serial(None) is None
        assert lib.zo_get_error() == ERROR_PARAMS

    def test_detach_kills_open_handles(self, started):
        sim.attach("GONE")
        h = lib.zo_open_from_serial(b"GONE")
        sim.detach("GONE")
        assert lib.zo_get_product(h) is None
        assert lib.zo_get_error() == ERROR_INVALID_DEVICE
        assert lib.zo_close_device(h) == 0

    def test_reset_closes_the_default_instrument(self, started):
        h = lib.zo_open_device()
        sim.reset()
        assert not sim.state()["open"]
        assert lib.zo_get_serial(h) is None
        assert lib.zo_open_device()


class TestInvalidHandles:
    @pytest.mark.parametrize("name", sorted(HANDLE_CALLS))
    def test_null_handle(self, name):
        sim.set_error(0, b"")
        assert answer(name, None) == HANDLE_CALLS[name][1]
        code, text = last_error()
        assert code == ERROR_INVALID_DEVICE and text

    @pytest.mark.parametrize("name", sorted(HANDLE_CALLS))
    def test_closed_and_forged_handles(self, name, started):
        h = lib.zo_open_device()
        lib.zo_close_device(h)
        for bad in (h, h + 8, 12345):
            sim.set_error(0, b"")
            assert answer(name, bad) == HANDLE_CALLS[name][1]
            assert lib.zo_get_error() == ERROR_INVALID_DEVICE


class TestBadArguments:
    def test_null_buffers_with_counts(self):
        h = open_device()
        assert lib.zo_get_raw_data(h, 10, None) == ERROR_PARAMS
        assert lib.zo_get_raw_data_triggered(h, 10, None, 0, 0) == ERROR_PARAMS
        assert lib.zo_get_raw_data_triggered_repeat(h, 10, None, 0, 0, 5) == ERROR_PARAMS
        assert lib.zo_in_request(h, 194, 0, 11, None, 1, 1000) == ERROR_PARAMS
        assert lib.zo_out_request(h, 192, 0, 11, None, 1, 1000) == ERROR_PARAMS
        assert lib.zo_get_error() == ERROR_PARAMS

    def test_zero_samples_succeed_without_writing(self):
        h = open_device()
        clock = sim.state()["clock"]
        assert lib.zo_get_raw_data(h, 0, None) == 0
        assert lib.zo_get_raw_data_triggered(h, 0, None, 1, 10) == 0
        assert sim.state()["clock"] == clock

    def test_samples_per_trigger_zero_and_unknown_modes(self):
        h = open_device()
        buf = np.zeros(4, np.uint16)
        assert lib.zo_get_raw_data_triggered_repeat(h, 4, buf.ctypes.data, 0, 0, 0) == ERROR_PARAMS
        for mode in (-1, 9, 1000):
            assert lib.zo_get_raw_data_triggered(h, 4, buf.ctypes.data, mode, 0) == ERROR_PARAMS

    @pytest.mark.parametrize("wavelength", [0.0, -5.0, float("nan"), float("inf")])
    def test_wavelengths_it_cannot_answer_for(self, wavelength):
        h = open_device()
        assert lib.zo_get_rel_responsivity(h, wavelength) == BAD_DOUBLE
        assert lib.zo_get_error() == ERROR_PARAMS
        assert lib.zo_get_rel_calibration(h, 4, wavelength).tuple() == (0.0, 0.0)

    @pytest.mark.parametrize("port", [-1, 7, 100])
    def test_ports_outside_the_range(self, port):
        h = open_device()
        assert lib.zo_port_drive(h, port, True) == ERROR_PARAMS
        assert lib.zo_port_pwm(h, port, 1, 2) == ERROR_PARAMS
        assert lib.zo_port_pulse(h, port, 1) == ERROR_PARAMS
        assert lib.zo_port_read(h, port) == -1
        assert lib.zo_get_error() == ERROR_PARAMS


class TestLastError:
    def test_per_thread(self):
        sim.set_error(7, b"main thread")
        seen = {}

        def other():
            seen["before"] = last_error()
            lib.zo_get_samplerate(None)
            seen["after"] = last_error()

        t = threading.Thread(target=other)
        t.start()
        t.join()
        assert seen["before"] == (0, b"")
        assert seen["after"][0] == ERROR_INVALID_DEVICE
        assert last_error() == (7, b"main thread")

    def test_success_leaves_the_last_error(self):
        h = open_device()
        sim.set_error(9, b"\xff\xfe not utf-8")
        assert lib.zo_get_samplerate(h) == sim.DEFAULT_SAMPLERATE
        assert last_error() == (9, b"\xff\xfe not utf-8")

    def test_error_string_is_never_null(self):
        sim.set_error(1, b"")
        assert lib.zo_get_error_string() == b""
        sim.override("zo_get_error_string", b"scripted")
        assert lib.zo_get_error_string() == b"scripted"
