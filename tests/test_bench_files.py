"""Bench files: load, save, round trips, precise refusals, ZOPY_BENCH."""

import math
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

import zopy
from zopy import _sim, sim
from zopy.sim import _bench_files as _bench

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"

# Every key of the format set away from its default.
EVERY_KEY = """\
timeout = 0.25
realtime = true
logging = false
log_capacity = 500

[[instrument]]
serial = "LAB0001"
product = "KV310-X"
balanced = true
samplerate = 5000000
adcbits = 12
fwversion = [2, 7, 1]
usb_speed = 2
peak_responsivity = 1064
unplug_after_reads = 5

[instrument.light]
power_uw = 120.0
wavelength_nm = 1064.5
p2_power_uw = 30.0
modulation_hz = 30000.0
modulation_depth = 0.2
noise = false
seed = 18446744073709551615
rin_db_hz = -135.5
cmrr_db = 42.0

[instrument.ports.S]
frequency_hz = 1000.0
duty = 0.25

[instrument.ports.T]
level = true

[[instrument]]
serial = "LAB0002"

[[override]]
function = "zo_get_samplerate"
result = 4294967295
error = [33, "timeout"]
times = 3
"""


class _closing:
    """A Device closed at the end of a with block."""
    def __init__(self, dev):
        self.dev = dev

    def __enter__(self):
        return self.dev

    def __exit__(self, *exc):
        self.dev.close()


def write(tmp_path, text, name="bench.toml"):
    path = tmp_path / name
    path.write_text(textwrap.dedent(text), encoding="utf-8")
    return path


def test_the_every_key_file_covers_the_whole_format():
    import tomllib
    data = tomllib.loads(EVERY_KEY)
    inst = data["instrument"][0]
    assert set(data) - {"instrument", "override"} == set(_bench.TOP_KEYS)
    assert set(inst) - {"light", "ports"} == set(_bench.INSTRUMENT_KEYS) | set(_bench.UNPLUG_KEYS)
    assert set(inst["light"]) == set(_bench.LIGHT_KEYS)
    assert set(inst["ports"]["S"]) | set(inst["ports"]["T"]) == set(_bench.PORT_KEYS)
    assert set(data["override"][0]) == set(_bench.OVERRIDE_KEYS)


# ------------------------------------------------------------------ building

class TestLoad:
    def test_every_key_reaches_the_bench(self, tmp_path):
        sim.load_bench(write(tmp_path, EVERY_KEY))
        assert sim.devices() == ["LAB0001", "LAB0002"]
        assert (sim.timeout(), sim.realtime(), sim.log_capacity()) == (0.25, True, 500)
        light = sim.state(serial="LAB0001")["light"]
        assert light == {"power_uw": 120.0, "wavelength_nm": 1064.5, "p2_power_uw": 30.0,
                         "modulation_hz": 30000.0, "modulation_depth": 0.2, "noise": False,
                         "seed": 2**64 - 1, "rin_db_hz": -135.5, "cmrr_db": 42.0}
        s, t = sim.port_state("S", serial="LAB0001"), sim.port_state("T", serial="LAB0001")
        assert (s["frequency_hz"], s["duty"], t["level"]) == (1000.0, 0.25, True)
        assert sim.describe_bench()["instrument"][0]["unplug_after_reads"] == 5
        with _closing(zopy.Device(serial="LAB0001")) as dev:
            for _ in range(3):            # the override answers the first three reads
                with pytest.raises(zopy.Error):
                    dev.samplerate
            assert (dev.product, dev.samplerate, dev.adcbits, dev.fwversion) == \
                ("KV310-X", 5000000, 12, (2, 7, 1))

    def test_light_defaults_to_the_peak_wavelength_and_instruments_to_sim_attach(self, tmp_path):
        sim.load_bench(write(tmp_path, """
            [[instrument]]
            serial = "A"
            peak_responsivity = 1064
            [instrument.light]
            power_uw = 5
        """))
        light = sim.state(serial="A")["light"]
        assert (light["power_uw"], light["wavelength_nm"], light["seed"]) == (5.0, 1064.0, 1)
        assert sim.describe_bench()["instrument"][0]["fwversion"] == [1, 0, 0]

    def test_a_file_without_instruments_keeps_the_default_one(self, tmp_path):
        sim.attach("EXTRA")
        sim.load_bench(write(tmp_path, "timeout = 2.0\n"))
        assert sim.devices() == [sim.DEFAULT_SERIAL]
        assert sim.timeout() == 2.0

    def test_an_empty_instrument_array_attaches_none(self, tmp_path):
        sim.load_bench(write(tmp_path, "instrument = []\n"))
        assert sim.devices() == []
        with pytest.raises(zopy.NoDeviceError):
            zopy.Device()

    def test_loading_resets_what_came_before(self, tmp_path):
        sim.set_timeout(9.0)
        sim.override("zo_get_adcbits", 3)
        sim.load_bench(write(tmp_path, "realtime = false\n"))
        assert sim.timeout() == sim.DEFAULT_TIMEOUT
        assert sim.describe_bench()["override"] == []

    def test_the_example_files_load(self):
        for path in sorted(EXAMPLES.glob("*.toml")):
            sim.load_bench(path)
            assert sim.devices(), path


# --------------------------------------------------------------- round trips

class TestRoundTrip:
    def round_trip(self, tmp_path):
        first = sim.describe_bench()
        sim.save_bench(tmp_path / "saved.toml")
        sim.reset()
        sim.load_bench(tmp_path / "saved.toml")
        assert sim.describe_bench() == first
        return first

    def test_every_key(self, tmp_path):
        sim.load_bench(write(tmp_path, EVERY_KEY))
        loaded = self.round_trip(tmp_path)
        assert loaded["logging"] is False and loaded["override"][0]["times"] == 3

    @pytest.mark.parametrize("function, result", [
        ("zo_get_adcbits", 255),
        ("zo_get_rel_responsivity", -1.0),
        ("zo_get_rel_responsivity", math.inf),
        ("zo_get_calibration", (0.5, -3.25)),
        ("zo_get_fwversion", (9, 8, 7)),
        ("zo_get_serial", b"S/N \"7\" \\ caf\xc3\xa9 \x7f tab\tline\nend"),
        ("zo_get_product", None),
        ("zo_open_device", None),
        ("ZOGenericStream::read_filter", b"lowpass"),
    ])
    def test_overrides_of_every_result_kind(self, tmp_path, function, result):
        sim.override(function, result, error=(-1, "kaputt ✗"), times=2)
        sim.override("zo_init", 0)
        saved = self.round_trip(tmp_path)
        assert [o["function"] for o in saved["override"]] == [function, "zo_init"]

    def test_nan_results_survive(self, tmp_path):
        sim.override("zo_get_rel_calibration", (math.nan, 1.0))
        sim.save_bench(tmp_path / "nan.toml")
        sim.load_bench(tmp_path / "nan.toml")
        result = sim.describe_bench()["override"][0]["result"]
        assert math.isnan(result[0]) and result[1] == 1.0

    def test_an_override_partly_used_saves_what_remains(self, tmp_path):
        sim.override("zo_get_adcbits", 7, times=3)
        with _closing(zopy.Device()) as dev:
            assert dev.adcbits == 7
        assert self.round_trip(tmp_path)["override"][0]["times"] == 2

    def test_no_instrument_at_all(self, tmp_path):
        sim.detach_all()
        self.round_trip(tmp_path)
        assert sim.devices() == []

    def test_whatever_sim_attach_takes(self, tmp_path):
        sim.attach("ODD", product="", usb_speed=0, adcbits=1, fwversion=(0, 0, 0),
                   samplerate=0xFFFFFFFE, peak_responsivity=2**31 - 1)
        sim.unplug_after(2**64 - 1, serial="ODD")
        self.round_trip(tmp_path)

    def test_the_bounds_of_the_library_ranges(self, tmp_path):
        sim.attach("EDGE", balanced=True, peak_responsivity=1)
        sim.set_light(_sim.MAX_POWER_UW, _sim.MIN_WAVELENGTH_NM, serial="EDGE",
                      p2_power_uw=_sim.MAX_POWER_UW, rin_db_hz=_sim.MAX_RIN_DB_HZ,
                      cmrr_db=_sim.MIN_CMRR_DB)
        sim.set_log_capacity(_sim.MAX_LOG_CAPACITY)
        saved = self.round_trip(tmp_path)
        assert saved["log_capacity"] == 2**63 - 1
        assert saved["instrument"][1]["light"] == {
            "power_uw": 1e9, "wavelength_nm": 1.0, "p2_power_uw": 1e9, "modulation_hz": 0.0,
            "modulation_depth": 0.0, "noise": True, "seed": 1, "rin_db_hz": 0.0, "cmrr_db": 0.0}

    def test_odd_identity_text_and_default_bench(self, tmp_path):
        self.round_trip(tmp_path)    # the default bench, written out in full
        sim.detach_all()
        sim.attach('q"uote\\back ünï\x7f', product="tab\there")
        sim.set_port_input("S", True, serial='q"uote\\back ünï\x7f')
        self.round_trip(tmp_path)

    def test_text_that_is_not_utf8_is_refused_by_name(self, tmp_path):
        sim.override("zo_get_error_string", b"ok")
        sim.override("zo_get_serial", b"\xff\xfe")
        path = tmp_path / "bad.toml"
        with pytest.raises(sim.BenchFileError) as info:
            sim.save_bench(path)
        assert str(info.value) == (f"{path}: override[1].result: "
                                   "text that is not UTF-8 cannot be written to TOML")
        assert not path.exists()


# ------------------------------------------------------------------ refusals

INVALID = [
    ("timeout = 'soon'", "timeout: must be a number, not a string"),
    ("timeout = -1", "timeout: must be at least 0.0, not -1.0"),
    ("timeout = inf", "timeout: must be finite, not inf"),
    ("realtime = 1", "realtime: must be true or false, not an integer"),
    ("timout = 1.0", "timout: unknown key (did you mean 'timeout'?)"),
    ("zzz = 1", "zzz: unknown key (known: timeout, realtime, logging, log_capacity, instrument, override)"),
    ("instrument = 3", "instrument: must be an array of tables ([[instrument]]), not an integer"),
    ("[instrument]\nserial = 'A'",
     "instrument: must be an array of tables ([[instrument]]), not a table"),
    ("override = [{function = 'zo_init', result = 0}, 'zo_exit']",
     "override[1]: must be a table, not a string"),
    ("[[instrument]]\nproduct = 'KV310'", "instrument[0].serial: missing (this key is required)"),
    ("[[instrument]]\nserial = ''", "instrument[0].serial: must not be empty"),
    ("[[instrument]]\nserial = \"A\\u0000B\"",
     "instrument[0].serial: must be a string without NUL characters"),
    ("[[instrument]]\nserial = 'A'\n[[instrument]]\nserial = 'A'",
     "instrument[1].serial: 'A' is already the serial of instrument[0]"),
    ("[[instrument]]\nserial = 'A'\nsamplerate = 0",
     "instrument[0].samplerate: must be between 1 and 4294967294, not 0"),
    ("[[instrument]]\nserial = 'A'\nfwversion = [1, 2]",
     "instrument[0].fwversion: must be an array of three integers, as [1, 3, 0]"),
    ("[[instrument]]\nserial = 'A'\nfwversion = [1, 2, 256]",
     "instrument[0].fwversion: must be between 0 and 255, not 256"),
    ("[[instrument]]\nserial = 'A'\n[[instrument]]\nserial = 'B'\n[instrument.light]\npower_uw = -1",
     "instrument[1].light.power_uw: must be between 0.0 and 1000000000.0, not -1.0"),
    ("[[instrument]]\nserial = 'A'\n[instrument.light]\nmodulation_depth = 1.5",
     "instrument[0].light.modulation_depth: must be between 0.0 and 1.0, not 1.5"),
    ("[[instrument]]\nserial = 'A'\n[instrument.light]\nwavelength_nm = 0",
     "instrument[0].light.wavelength_nm: must be at least 1.0, not 0.0"),
    ("[[instrument]]\nserial = 'A'\nlight = 5",
     "instrument[0].light: must be a table, not an integer"),
    ("[[instrument]]\nserial = 'A'\n[instrument.ports.A]\nlevel = true",
     "instrument[0].ports.A: unknown port (only S and T take inputs)"),
    ("[[instrument]]\nserial = 'A'\n[instrument.ports.S]\nlevel = true\nfrequency_hz = 5.0",
     "instrument[0].ports.S: give level, or frequency_hz and duty, not both"),
    ("[[instrument]]\nserial = 'A'\n[instrument.ports.S]\nduty = 0.5",
     "instrument[0].ports.S.duty: only a square wave has a duty: give frequency_hz too"),
    ("[[override]]\nresult = 1", "override[0].function: missing (this key is required)"),
    ("[[override]]\nfunction = 'zo_frobnicate'\nresult = 1",
     "override[0].function: unknown library function 'zo_frobnicate'"),
    ("[[override]]\nfunction = 'zo_get_adcbits'",
     "override[0].result: missing (the result zo_get_adcbits returns instead)"),
    ("[[override]]\nfunction = 'zo_get_adcbits'\nresult = 256",
     "override[0].result: must be between 0 and 255, not 256"),
    ("[[override]]\nfunction = 'zo_get_adcbits'\nresult = 1.5",
     "override[0].result: must be an integer, not a float"),
    ("[[override]]\nfunction = 'zo_get_calibration'\nresult = [1.0]",
     "override[0].result: must be an array of two numbers, [gain, offset]"),
    ("[[override]]\nfunction = 'zo_get_serial'\nresult = 5",
     "override[0].result: must be a string, not an integer"),
    ("[[override]]\nfunction = 'zo_open_device'\nresult = 0",
     "override[0].result: zo_open_device returns a pointer: only a null result can be "
     "scripted, so leave result out"),
    ("[[override]]\nfunction = 'zo_init'\nresult = 0\nerror = 33",
     "override[0].error: must be [code, text], as [33, \"timeout\"]"),
    ("[[override]]\nfunction = 'zo_init'\nresult = 0\ntimes = 0",
     "override[0].times: must be between 1 and 2147483647, not 0"),
    # what the library cannot report, and what a tool could not use
    *[(f"[[instrument]]\nserial = 'A'\nusb_speed = {code}",
       "instrument[0].usb_speed: must be one of the codes 0 (unknown), 1 (low), 2 (full), "
       f"3 (high), 4 (super), not {code}") for code in (-1, 5, 2147483647)],
    *[(f"[[instrument]]\nserial = 'A'\nadcbits = {bits}",
       f"instrument[0].adcbits: must be between 1 and 14, not {bits}") for bits in (0, 15, 255)],
    ("[[instrument]]\nserial = 'A'\nfwversion = [255, 255, 255]",
     "instrument[0].fwversion: must not be [255, 255, 255], the library's answer for a failed query"),
    ("[[override]]\nfunction = 'zo_get_samplerate'\nresult = 0",
     "override[0].result: must be a sample rate of 1 or more (or 4294967295 with an error), not 0"),
    ("[[override]]\nfunction = 'zo_get_samplerate'\nresult = 4294967295",
     "override[0].result: 4294967295 is the library's answer for a failed zo_get_samplerate: "
     "give error = [code, text] too"),
    ("[[override]]\nfunction = 'zo_get_usb_speed'\nresult = 7",
     "override[0].result: must be one of the codes 0 (unknown), 1 (low), 2 (full), 3 (high), "
     "4 (super) (or -1 with an error), not 7"),
    ("[[override]]\nfunction = 'zo_get_adcbits'\nresult = 200\nerror = [5, 'x']",
     "override[0].result: must be 1 to 14 ADC bits (or 255 with an error), not 200"),
    ("[[override]]\nfunction = 'zo_get_fwversion'\nresult = [255, 255, 255]",
     "override[0].result: (255, 255, 255) is the library's answer for a failed zo_get_fwversion: "
     "give error = [code, text] too"),
]


# Just beyond the library's ranges, in a file and through sim: the file's text,
# its key and problem, the sim call and sim's message.
LIGHT = "[[instrument]]\nserial = 'A'\n[instrument.light]\n"
BEYOND_THE_RANGES = [
    (LIGHT + "rin_db_hz = 0.5", "instrument[0].light.rin_db_hz: must be at most 0.0, not 0.5",
     lambda: sim.set_light(1.0, rin_db_hz=0.5),
     "rin_db_hz must be a finite number of dB/Hz up to 0, or None for none, not 0.5"),
    (LIGHT + "cmrr_db = -0.5", "instrument[0].light.cmrr_db: must be at least 0.0, not -0.5",
     lambda: sim.set_light(1.0, cmrr_db=-0.5), "cmrr_db must be finite and at least 0 dB, not -0.5"),
    (LIGHT + "power_uw = 1e200",
     "instrument[0].light.power_uw: must be between 0.0 and 1000000000.0, not 1e+200",
     lambda: sim.set_light(1e200), "power_uw must be between 0 and 1e+09 µW, not 1e+200"),
    (LIGHT + "p2_power_uw = 1000000000.5",
     "instrument[0].light.p2_power_uw: must be between 0.0 and 1000000000.0, not 1000000000.5",
     lambda: sim.set_light(1.0, p2_power_uw=1e9 + 0.5),
     "p2_power_uw must be between 0 and 1e+09 µW, not 1000000000.5"),
    (LIGHT + "wavelength_nm = 0.5", "instrument[0].light.wavelength_nm: must be at least 1.0, not 0.5",
     lambda: sim.set_light(1.0, 0.5), "wavelength_nm must be finite and at least 1 nm, not 0.5"),
    ("log_capacity = 9223372036854775808",
     "log_capacity: must be between 0 and 9223372036854775807, not 9223372036854775808",
     lambda: sim.set_log_capacity(2**64 - 1),
     "the log capacity must be at most 9223372036854775807, not 18446744073709551615"),
]


class TestRefusals:
    @pytest.fixture
    def previous(self, tmp_path):
        """A bench built from a file, with an instrument open on it."""
        sim.load_bench(write(tmp_path, EVERY_KEY, "previous.toml"))
        sim.set_logging(True)
        with _closing(zopy.Device(serial="LAB0002")) as dev:
            yield sim.describe_bench(), dev

    @staticmethod
    def assert_untouched(previous):
        description, dev = previous
        assert sim.describe_bench() == description
        dev.read_highgain()   # still a live handle: nothing was reset

    @pytest.mark.parametrize("text, message", INVALID)
    def test_each_fault_is_named_and_the_bench_stays(self, tmp_path, previous, text, message):
        path = write(tmp_path, text)
        with pytest.raises(sim.BenchFileError) as info:
            sim.load_bench(path)
        assert str(info.value) == f"{path}: {message}"
        assert isinstance(info.value, ValueError)
        assert (info.value.path, info.value.key) == (str(path), message.split(": ")[0])
        self.assert_untouched(previous)

    @pytest.mark.parametrize("text, problem, sim_call, sim_message", BEYOND_THE_RANGES)
    def test_values_beyond_the_library_ranges_are_refused_by_file_and_sim(
            self, tmp_path, previous, text, problem, sim_call, sim_message):
        path = write(tmp_path, text)
        with pytest.raises(sim.BenchFileError) as info:
            sim.load_bench(path)
        assert str(info.value) == f"{path}: {problem}"
        self.assert_untouched(previous)
        with pytest.raises(ValueError) as info:
            sim_call()
        assert str(info.value) == sim_message
        self.assert_untouched(previous)

    @pytest.mark.parametrize("content, problem", [
        (b"a = " + b"[" * 1000 + b"]" * 1000, "not valid TOML: arrays or tables nested too deeply"),
        (b"a = " + b"{b = " * 1000 + b"1" + b"}" * 1000,
         "not valid TOML: arrays or tables nested too deeply"),
        (b"timeout = 1.0\nrealtime = fa\xfflse\n", "not UTF-8: invalid start byte at byte 27"),
        (b"log_capacity = " + b"1" * 5000, "not valid TOML: Exceeds the limit (4300 digits)"),
    ])
    def test_content_the_toml_reader_chokes_on(self, tmp_path, previous, content, problem):
        path = tmp_path / "bad.toml"
        path.write_bytes(content)
        with pytest.raises(sim.BenchFileError) as info:
            sim.load_bench(path)
        assert str(info.value).startswith(f"{path}: {problem}")
        assert (info.value.path, info.value.key) == (str(path), None)
        self.assert_untouched(previous)

    def test_a_file_that_is_not_toml(self, tmp_path, previous):
        path = write(tmp_path, "timeout = = 1\n")
        with pytest.raises(sim.BenchFileError) as info:
            sim.load_bench(path)
        assert str(info.value).startswith(f"{path}: not valid TOML: ")
        assert "line 1" in str(info.value)
        self.assert_untouched(previous)

    @pytest.mark.parametrize("kind", ["fifo", "folder", "device", "too large"])
    def test_only_a_regular_file_of_bounded_size_is_read(self, tmp_path, previous, kind):
        """Refused at once: a FIFO without a writer would block an open or a read forever."""
        path = tmp_path / "bench.toml"
        if kind == "fifo":
            os.mkfifo(path)
        elif kind == "folder":
            path.mkdir()
        elif kind == "device":
            path = pathlib.Path(os.devnull)
        else:
            with open(path, "wb") as f:
                f.truncate(_bench.MAX_BENCH_FILE_BYTES + 1)     # sparse: no disk used
        with pytest.raises(sim.BenchFileError) as info:
            sim.load_bench(path)
        wanted = {"fifo": "is not a regular file", "folder": "is a folder",
                  "device": "is not a regular file",
                  "too large": f"holds {_bench.MAX_BENCH_FILE_BYTES + 1} bytes, more than"}[kind]
        assert str(info.value).startswith(f"{path}: {wanted}"), info.value
        self.assert_untouched(previous)

    def test_a_file_that_cannot_be_read(self, tmp_path, previous):
        path = tmp_path / "missing.toml"
        with pytest.raises(sim.BenchFileError) as info:
            sim.load_bench(path)
        assert str(info.value) == f"{path}: cannot be read (No such file or directory)"
        self.assert_untouched(previous)

    def test_a_failure_while_building_puts_the_previous_bench_back(self, tmp_path, previous,
                                                                  monkeypatch):
        real, failures = sim.set_port_input, []

        def unplugged_once(*args, **kwargs):
            if not failures:
                failures.append(args)
                raise RuntimeError("cable pulled")
            real(*args, **kwargs)
        monkeypatch.setattr(sim._control, "set_port_input", unplugged_once)   # what files build with
        path = write(tmp_path, "[[instrument]]\nserial = 'NEW'\n[instrument.ports.S]\nlevel = true\n")
        with pytest.raises(sim.BenchFileError) as info:
            sim.load_bench(path)
        assert str(info.value) == f"{path}: instrument[0].ports.S: cannot be built: cable pulled"
        assert isinstance(info.value.__cause__, RuntimeError)
        assert failures == [("S", True)]
        assert sim.describe_bench() == previous[0]

    def test_when_even_the_previous_bench_fails_the_default_one_is_left(self, tmp_path,
                                                                       monkeypatch):
        default = sim.describe_bench()
        sim.attach("EXTRA")
        sim.set_port_input("S", True, serial="EXTRA")
        monkeypatch.setattr(sim._control, "set_port_input", lambda *a, **k: 1 / 0)
        path = write(tmp_path, "[[instrument]]\nserial = 'A'\n[instrument.ports.T]\nlevel = true\n")
        with pytest.raises(sim.BenchFileError) as info:
            sim.load_bench(path)
        assert str(info.value) == (f"{path}: instrument[0].ports.T: cannot be built: division by "
                                   "zero; the previous bench could not be built again either: the "
                                   "default bench is left")
        assert sim.describe_bench() == default


# ---------------------------------------------------------------- unplugging

class TestUnplugAfter:
    def test_the_last_counted_read_succeeds_and_the_next_call_fails(self):
        sim.attach("OTHER")
        sim.unplug_after(3)
        with _closing(zopy.Device()) as dev:
            dev.get_raw_data(10)
            dev.get_raw_data(5)
            dev.read_highgain()                       # not a read: not counted
            assert sim.devices() == [sim.DEFAULT_SERIAL, "OTHER"]
            assert len(dev.get_raw_data(7)) == 7      # the third read
            assert sim.devices() == ["OTHER"]
            with pytest.raises(zopy.Error) as info:
                dev.read_highgain()
            assert info.value.err == zopy.errors.ZO_ERROR_INVALID_DEVICE

    def test_triggered_reads_count_and_overridden_reads_do_not(self):
        sim.set_port_input("S", frequency_hz=100e3)
        sim.unplug_after(2)
        sim.override("zo_get_raw_data", 0, times=5)
        with _closing(zopy.Device()) as dev:
            for _ in range(5):
                dev.get_raw_data(10)                  # answered by the override
            dev.get_raw_data(100, trig_mode="rising", trig_port="S")
            assert sim.devices() == [sim.DEFAULT_SERIAL]
            dev.get_raw_data(100, trig_mode="rising", trig_port="S", samples_per_trigger=10)
            assert sim.devices() == []

    def test_zero_and_reset_cancel_it(self):
        sim.unplug_after(1)
        sim.unplug_after(0)
        with _closing(zopy.Device()) as dev:
            dev.get_raw_data(1)
        sim.unplug_after(1)
        sim.reset()
        with _closing(zopy.Device()) as dev:
            dev.get_raw_data(1)
            dev.get_raw_data(1)
        assert sim.devices() == [sim.DEFAULT_SERIAL]

    @pytest.mark.parametrize("reads, serial, error", [
        (-1, None, "reads must be an int from 0 (never) up"),
        (True, None, "reads must be an int from 0 (never) up"),
        (1.0, None, "reads must be an int from 0 (never) up"),
        (1, "NOPE", "no instrument with serial 'NOPE'"),
    ])
    def test_refusals(self, reads, serial, error):
        with pytest.raises(ValueError) as info:
            sim.unplug_after(reads, serial=serial)
        assert str(info.value) == error

    def test_the_example_bench_unplugs_its_second_unit(self):
        sim.load_bench(EXAMPLES / "balanced_lab.toml")
        with _closing(zopy.Device(serial="LAB0002")) as dev:
            for _ in range(3):
                dev.get_raw_data(10)
            with pytest.raises(zopy.Error):
                dev.get_raw_data(10)
        assert sim.devices() == ["LAB0001"]


# ----------------------------------------------------------------- ZOPY_BENCH

EXPERIMENT = """\
import zopy
from zopy import sim
dev = zopy.Device()
print(dev.serial, sorted(sim.devices()), round(float(dev.get_calibrated_data(20000).mean()), 1))
sim.reset()
print(sim.devices())
"""


def run_with_bench(bench, code=EXPERIMENT):
    env = dict(os.environ, ZOPY_BENCH=str(bench))
    return subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True,
                          env=env, timeout=120)


# The edges of every identity range, each bench with two instruments at opposite ends.
EDGES = {
    "low": ("usb_speed = 0\nadcbits = 1\nfwversion = [0, 0, 0]\nsamplerate = 1000",
            "usb_speed = 1\nadcbits = 2\nfwversion = [255, 255, 254]"),
    "high": ("usb_speed = 4\nadcbits = 14\nfwversion = [254, 255, 255]\nsamplerate = 4294967294",
             "usb_speed = 3\nadcbits = 13\nfwversion = [255, 0, 255]"),
}
TOOLS = [["info"], ["acquire", "block.npz", "--samples", "1000"],
         ["record", "run.h5", "--seconds", "1e-6"]]


@pytest.mark.parametrize("edge", EDGES)
def test_bench_files_at_the_edges_of_every_range_work_in_every_tool(tmp_path, edge):
    first, second = EDGES[edge]
    path = write(tmp_path, f"[[instrument]]\nserial = 'EDGE1'\n{first}\n"
                           f"[[instrument]]\nserial = 'EDGE2'\n{second}\n")
    code = textwrap.dedent("""
        import resource, sys
        resource.setrlimit(resource.RLIMIT_FSIZE, (16 << 20, 16 << 20))
        from zopy.__main__ import main
        sys.exit(main(sys.argv[1:]))
    """)
    check = subprocess.run([sys.executable, "-P", "-m", "zopy", "bench", "check", str(path)],
                           capture_output=True, text=True, timeout=120)
    assert check.returncode == 0, check.stderr
    for serial in ("EDGE1", "EDGE2"):
        for argv in TOOLS:
            for name in ("block.npz", "run.h5"):
                (tmp_path / name).unlink(missing_ok=True)
            done = subprocess.run([sys.executable, "-P", "-c", code, *argv, "--serial", serial],
                                  capture_output=True, text=True, timeout=120, cwd=tmp_path,
                                  env=dict(os.environ, ZOPY_BENCH=str(path)))
            assert done.returncode == 0 and "Error" not in done.stderr, (serial, argv, done.stderr)


def test_zopy_bench_check_of_a_fifo_answers_at_once(tmp_path):
    fifo = tmp_path / "bench.toml"
    os.mkfifo(fifo)
    done = subprocess.run([sys.executable, "-P", "-m", "zopy", "bench", "check", str(fifo)],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 1 and "is not a regular file" in done.stderr, done.stderr


class TestEnvironment:
    def test_an_unchanged_program_runs_on_the_named_bench(self, tmp_path):
        path = write(tmp_path, """
            [[instrument]]
            serial = "LAB0001"
            [instrument.light]
            power_uw = 40.0
            noise = false
            [[instrument]]
            serial = "LAB0002"
        """)
        result = run_with_bench(path)
        assert result.returncode == 0, result.stderr
        assert result.stdout.splitlines() == ["LAB0001 ['LAB0001', 'LAB0002'] 40.0",
                                              f"['{sim.DEFAULT_SERIAL}']"]

    def test_an_invalid_file_fails_the_import_with_its_message(self, tmp_path):
        path = write(tmp_path, "[[instrument]]\nserial = 'A'\n[instrument.light]\npower_uw = 'x'\n")
        result = run_with_bench(path, "import zopy")
        assert result.returncode == 1
        assert result.stderr.rstrip().splitlines()[-1] == (
            f"ImportError: ZOPY_BENCH: {path}: instrument[0].light.power_uw: "
            "must be a number, not a string")

    @pytest.mark.parametrize("light, problem", [
        ("rin_db_hz = 3.0", "instrument[0].light.rin_db_hz: must be at most 0.0, not 3.0"),
        ("cmrr_db = -1", "instrument[0].light.cmrr_db: must be at least 0.0, not -1.0"),
    ])
    def test_values_the_library_refuses_fail_the_import_in_one_line(self, tmp_path, light, problem):
        path = write(tmp_path, LIGHT + light)
        result = run_with_bench(path, "import zopy")
        assert result.returncode == 1
        assert result.stderr.rstrip().splitlines()[-1] == f"ImportError: ZOPY_BENCH: {path}: {problem}"

    @pytest.mark.parametrize("broken, message", [
        ("set_port_input", "instrument[0].ports.S: cannot be built: division by zero"),
        ("load_bench", "division by zero"),
    ])
    def test_whatever_fails_while_building_is_the_same_one_line(self, tmp_path, monkeypatch,
                                                                 broken, message):
        path = write(tmp_path, "[[instrument]]\nserial = 'A'\n[instrument.ports.S]\nlevel = true")
        monkeypatch.setenv("ZOPY_BENCH", str(path))
        layer = sim._control if broken == "set_port_input" else sim    # what files build with
        monkeypatch.setattr(layer, broken, lambda *args, **kwargs: 1 / 0)
        with pytest.raises(ImportError) as info:
            zopy._build_bench_from_environment()      # what import zopy runs
        assert str(info.value) == f"ZOPY_BENCH: {path}: {message}"

    def test_a_missing_file_fails_the_import_of_zopy_sim_too(self, tmp_path):
        result = run_with_bench(tmp_path / "nowhere.toml", "from zopy import sim")
        assert result.returncode == 1
        assert result.stderr.rstrip().splitlines()[-1] == (
            f"ImportError: ZOPY_BENCH: {tmp_path / 'nowhere.toml'}: "
            "cannot be read (No such file or directory)")

    def test_an_empty_variable_means_no_bench_file(self):
        result = run_with_bench("", "from zopy import sim; print(sim.devices())")
        assert result.returncode == 0, result.stderr
        assert result.stdout.strip() == f"['{sim.DEFAULT_SERIAL}']"

    def test_a_build_without_the_bench_refuses_the_variable(self, tmp_path):
        # As in a build against the maker's library: zopy._sim cannot be imported.
        code = "import sys; sys.modules['zopy._sim'] = None; import zopy"
        result = run_with_bench(tmp_path / "lab.toml", code)
        assert result.returncode == 1
        assert result.stderr.rstrip().splitlines()[-1] == (
            f"ImportError: ZOPY_BENCH names a bench file ({tmp_path / 'lab.toml'}), but this build "
            "of zopy links against the maker's libzo and has no virtual bench; unset ZOPY_BENCH "
            "to use the instruments")
