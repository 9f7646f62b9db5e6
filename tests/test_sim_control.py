"""zopy.sim: the bench, scripted answers and the call log."""

import ctypes
import threading

import numpy as np
import pytest
from virtual_libzo import capture, lib, open_device

from zopy import _sim, sim


class TestBench:
    def test_default_bench(self):
        assert sim.devices() == [sim.DEFAULT_SERIAL]
        st = sim.state()
        assert (st["serial"], st["balanced"], st["open"], st["clock"]) == (sim.DEFAULT_SERIAL, False, False, 0)
        assert st["samplerate"] == sim.DEFAULT_SAMPLERATE

    def test_attach_detach_in_order(self):
        sim.attach("B-2", balanced=True)
        sim.attach("C-3")
        assert sim.devices() == [sim.DEFAULT_SERIAL, "B-2", "C-3"]
        assert sim.detach("B-2") is True
        assert sim.detach("B-2") is False
        assert sim.devices() == [sim.DEFAULT_SERIAL, "C-3"]
        sim.detach_all()
        assert sim.devices() == []
        sim.reset()
        assert sim.devices() == [sim.DEFAULT_SERIAL]

    def test_identity_of_an_attached_instrument(self):
        sim.attach("ID-1", "KV310-B", balanced=True, samplerate=2_500_000, adcbits=12,
                   fwversion=(3, 4, 5), usb_speed=2, peak_responsivity=1310)
        h = open_device("ID-1")
        assert lib.zo_get_product(h) == b"KV310-B"
        assert lib.zo_get_samplerate(h) == 2_500_000
        assert lib.zo_get_adcbits(h) == 12
        assert lib.zo_get_fwversion(h).tuple() == (3, 4, 5)
        assert lib.zo_get_usb_speed(h) == 2
        assert lib.zo_get_peak_responsivity(h) == 1310
        assert lib.zo_get_rel_responsivity(h, 1310.0) == 1.0

    @pytest.mark.parametrize("kwargs", [
        {"serial": sim.DEFAULT_SERIAL}, {"serial": ""}, {"serial": "X", "samplerate": 0},
        {"serial": "X", "fwversion": (1, 2)}, {"serial": "X", "peak_responsivity": 0},
    ])
    def test_attach_refuses(self, kwargs):
        with pytest.raises(ValueError):
            sim.attach(**kwargs)

    def test_reset_forgets_settings_light_and_clock(self):
        h = open_device()
        sim.set_light(30.0)
        lib.zo_set_highgain(h, False)
        lib.zo_get_raw_data(h, 100, np.zeros(100, np.uint16).ctypes.data)
        sim.set_timeout(0.5)
        sim.set_realtime(True)
        sim.reset()
        st = sim.state()
        assert st["highgain"] and st["clock"] == 0 and st["light"]["power_uw"] == 0.0
        assert sim.timeout() == sim.DEFAULT_TIMEOUT and not sim.realtime()


class TestBenchOfManyInstruments:
    def test_instruments_are_found_by_serial_after_detaching_unplugging_and_attaching(self):
        for serial in ("IDX-A", "IDX-B", "IDX-C", "IDX-D"):
            sim.attach(serial)
        sim.detach("IDX-B")
        sim.unplug_after(1, serial="IDX-A")
        capture(open_device("IDX-A"), 1)                 # unplugs it from the middle
        sim.attach("IDX-B")
        order = [sim.DEFAULT_SERIAL, "IDX-C", "IDX-D", "IDX-B"]
        assert sim.devices() == order
        sim.set_light(7.0, serial="IDX-D")
        open_device("IDX-C")
        assert [(st["serial"], st["open"], st["light"]["power_uw"])
                for st in (sim.state(serial=s) for s in order)] == [
            (sim.DEFAULT_SERIAL, False, 0.0), ("IDX-C", True, 0.0), ("IDX-D", False, 7.0),
            ("IDX-B", False, 0.0)]
        assert [d["serial"] for d in sim.describe_bench()["instrument"]] == order
        with pytest.raises(ValueError, match="already attached"):
            sim.attach("IDX-C")
        with pytest.raises(ValueError, match="no instrument with serial 'IDX-A'"):
            sim.state(serial="IDX-A")


class TestTheStrongestLight:
    # (identity, light): the most light the model takes, beside what adds the most noise
    @pytest.mark.parametrize("identity, light", [
        ({}, {}),
        ({}, {"rin_db_hz": -100.0, "modulation_hz": 1e5, "modulation_depth": 0.5}),
        ({"balanced": True}, {"rin_db_hz": -100.0, "cmrr_db": _sim.MIN_CMRR_DB}),
        ({"peak_responsivity": 1}, {"wavelength_nm": _sim.MIN_WAVELENGTH_NM}),   # shortest photons
    ])
    def test_clips_every_code_at_full_scale(self, identity, light):
        sim.attach("BRIGHT", **identity)
        sim.set_light(_sim.MAX_POWER_UW, serial="BRIGHT", **light)
        h = open_device("BRIGHT")
        for highgain, antialias in ((True, True), (False, False)):
            lib.zo_set_highgain(h, highgain)
            lib.zo_set_antialias(h, antialias)
            assert ((capture(h, 100_000) & 0x3FFF) == 16383).all()


class TestOverrides:
    # (function, scripted result, call with a null handle, its own answer)
    @pytest.mark.parametrize("name, result, read, own", [
        ("zo_get_samplerate", 4294967294, lambda: lib.zo_get_samplerate(None), 0xFFFFFFFF),
        ("zo_get_adcbits", 0, lambda: lib.zo_get_adcbits(None), 255),
        ("zo_get_usb_speed", -7, lambda: lib.zo_get_usb_speed(None), -1),
        ("zo_set_highgain", 1, lambda: lib.zo_set_highgain(None, True), 50),
        ("zo_get_rel_responsivity", 0.25, lambda: lib.zo_get_rel_responsivity(None, 1.0), -1.0),
        ("zo_get_calibration", (0.0, 2.5), lambda: lib.zo_get_calibration(None, 4).tuple(), (0, 0)),
        ("zo_get_fwversion", (255, 255, 0), lambda: lib.zo_get_fwversion(None).tuple(),
         (255, 255, 255)),
        ("zo_get_serial", b"\xff-1", lambda: lib.zo_get_serial(None), None),
        ("zo_version", (9, 8, 7), lambda: lib.zo_version().tuple(), (2, 1, 0)),
        ("zo_get_error", -1, lambda: lib.zo_get_error(), 50),
    ])
    def test_each_kind_of_result_once_even_for_a_null_handle(self, name, result, read, own):
        lib.zo_get_samplerate(None)          # last error: invalid device (50)
        sim.override(name, result)
        assert read() == result
        assert read() == own

    def test_null_results(self):
        lib.zo_init()
        sim.override("zo_get_product", None)
        sim.override("zo_open_device", None, error=(32, "usb"))
        h = lib.zo_open_device()
        assert h is None and lib.zo_get_error() == 32
        h = open_device()
        assert lib.zo_get_product(h) is None and lib.zo_get_product(h) == b"KV310"

    def test_times_error_and_order(self):
        h = open_device()
        sim.override("zo_read_highgain", 5, times=2, error=(44, "first"))
        sim.override("zo_read_highgain", 6, error=(45, b"\xe9"))
        assert [lib.zo_read_highgain(h) for _ in range(4)] == [5, 5, 6, 1]
        assert (lib.zo_get_error(), lib.zo_get_error_string()) == (45, b"\xe9")

    def test_an_override_replaces_the_whole_answer(self):
        h = open_device()
        buf = np.full(8, 7, np.uint16)
        sim.override("zo_get_raw_data", 0)
        assert lib.zo_get_raw_data(h, 8, buf.ctypes.data) == 0
        assert (buf == 7).all() and sim.state()["clock"] == 0

    def test_scripted_texts_stay_valid(self):
        raw = ctypes.CDLL(lib._name).zo_get_product   # the pointer itself, not a copy
        raw.restype, raw.argtypes = ctypes.c_void_p, [ctypes.c_void_p]
        sim.override("zo_get_product", b"kept text", times=2)
        first = raw(None)
        sim.override("zo_get_serial", b"x" * 1000)      # more texts do not move it
        assert raw(None) == first and ctypes.string_at(first) == b"kept text"

    @pytest.mark.parametrize("name, result", [
        ("zo_no_such_call", 0), ("zo_get_samplerate", 1.5), ("zo_get_samplerate", -1),
        ("zo_get_samplerate", 2**32), ("zo_get_adcbits", 256), ("zo_get_serial", "str, not bytes"),
        ("zo_get_calibration", (1.0,)), ("zo_get_fwversion", (1, 2, 256)),
        ("zo_open_device", b"x"), ("zo_get_error_string", None), ("zo_set_highgain", None),
        ("ZOGenericStream::read_filter", None), ("ZOGenericStream::nothing", 0),
    ])
    def test_unknown_names_and_wrong_kinds(self, name, result):
        with pytest.raises(ValueError):
            sim.override(name, result)
        assert lib.zo_get_samplerate(None) == 0xFFFFFFFF

    def test_stream_names_are_known(self):
        scripted = [("zo_open_stream<float>", None), ("zo_close_stream", None),
                    ("ZOGenericStream::read_samplesize", 4),
                    ("ZOGenericStream::read_calibration", (1.0, 0.0)),
                    ("ZOGenericStream::read_filter", b"none"),
                    ("ZOStream<double>::acquire", 48)]
        for name, result in scripted:
            sim.override(name, result)
        pending = [o["function"] for o in sim.describe_bench()["override"]]
        assert pending == [name for name, _ in scripted]
        sim.reset()
        assert sim.describe_bench()["override"] == []

    def test_reset_drops_pending_overrides(self):
        sim.override("zo_get_samplerate", 1, times=5)
        sim.reset()
        h = open_device()
        assert lib.zo_get_samplerate(h) == sim.DEFAULT_SAMPLERATE


class TestCallLog:
    def test_argument_forms(self):
        h = open_device()
        sim.clear_calls()
        buf = np.zeros(100, np.uint16)
        data = np.zeros(3, np.uint8)
        s = sim.DEFAULT_SERIAL
        lib.zo_get_raw_data(h, 100, buf.ctypes.data)
        lib.zo_get_raw_data(h, 5, None)
        lib.zo_get_calibration(h, 4)
        lib.zo_get_rel_responsivity(h, 1310.5)
        lib.zo_in_request(h, 194, 0, 11, data.ctypes.data, 3, 1000)
        lib.zo_out_request(h, 192, 1, 11, None, 0, 1000)
        lib.zo_set_highgain(h, True)
        lib.zo_port_drive(h, 2, False)
        lib.zo_get_raw_data_triggered_repeat(h, 0, None, 5, 10, 3)
        lib.zo_get_serial(None)
        lib.zo_open_from_serial(b"12")
        assert sim.calls() == [
            ("zo_get_raw_data", s, 100, 100), ("zo_get_raw_data", s, 5, None),
            ("zo_get_calibration", s, 4), ("zo_get_rel_responsivity", s, 1310.5),
            ("zo_in_request", s, 194, 0, 11, 3, 3, 1000),
            ("zo_out_request", s, 192, 1, 11, None, 0, 1000),
            ("zo_set_highgain", s, True), ("zo_port_drive", s, 2, False),
            ("zo_get_raw_data_triggered_repeat", s, 0, None, 5, 10, 3),
            ("zo_get_serial", None), ("zo_open_from_serial", "12"),
        ]

    def test_library_calls_without_a_handle(self):
        lib.zo_init()
        lib.zo_version()
        lib.zo_get_error()
        lib.zo_exit()
        lib.zo_init()
        assert sim.calls() == [("zo_init",), ("zo_version",), ("zo_get_error",), ("zo_exit",),
                               ("zo_init",)]

    def test_closed_handle_is_logged_as_none(self):
        h = open_device()
        lib.zo_close_device(h)
        sim.clear_calls()
        lib.zo_close_device(h)
        assert sim.calls() == [("zo_close_device", None)]

    def test_non_utf8_text_is_logged_as_bytes(self):
        lib.zo_open_from_serial(b"\xff1")
        assert sim.calls()[-1] == ("zo_open_from_serial", b"\xff1")

    def test_control_surface_is_not_logged(self):
        h = open_device()
        sim.clear_calls()
        sim.set_light(5.0)
        sim.state()
        sim.override("zo_get_samplerate", 3)
        assert sim.calls() == []
        assert lib.zo_get_samplerate(h) == 3

    def test_logging_off_and_on(self):
        sim.set_logging(False)
        lib.zo_get_samplerate(None)
        sim.set_logging(True)
        lib.zo_get_adcbits(None)
        assert sim.calls() == [("zo_get_adcbits", None)]

    def test_calls_from_threads_are_all_logged(self):
        def work():
            for _ in range(200):
                lib.zo_get_samplerate(None)

        threads = [threading.Thread(target=work) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert sim.calls() == [("zo_get_samplerate", None)] * 800


def test_set_error_text_forms():
    sim.set_error(12, "text")
    assert (lib.zo_get_error(), lib.zo_get_error_string()) == (12, b"text")
    sim.set_error(-1, b"\x80")
    assert (lib.zo_get_error(), lib.zo_get_error_string()) == (-1, b"\x80")
    with pytest.raises(TypeError):
        sim.set_error(1, 5)
