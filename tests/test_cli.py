"""The command line, run in-process through zopy.__main__.main(argv)."""

import csv
import errno
import math
import os
import pathlib
import re
import subprocess
import sys
import tomllib

import numpy as np
import pytest

import zopy
from zopy import readers as sample_files
from zopy import analysis, selftest, sim
from zopy.__main__ import main

h5py = pytest.importorskip("h5py")
image = pytest.importorskip("matplotlib.image")


def run(capsys, *argv):
    """(status, stdout, stderr) of one command line."""
    status = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return status, out, err


def failed(capsys, *argv, status=1):
    code, out, err = run(capsys, *argv)
    assert code == status, (out, err)
    assert err.count("\n") == 1 and err.startswith("zopy") and "Traceback" not in err, err
    return err


def field(out, name):
    """The value after a label of the report, as a float."""
    line = next(line for line in out.splitlines() if line.startswith(name))
    return float(line[len(name):].split()[0])


def assert_png(path, size=(500, 800)):
    pixels = image.imread(path)
    assert pixels.shape[:2] == size
    assert len(np.unique(pixels.reshape(-1, pixels.shape[-1]), axis=0)) > 20   # not blank


class TestListAndInfo:
    def test_list_every_attached_instrument(self, capsys):
        sim.attach("KV31B0001", balanced=True)
        sim.attach("XY-2", product="KV310-X")
        status, out, _ = run(capsys, "list")
        assert status == 0
        assert out.splitlines() == [f"{sim.DEFAULT_SERIAL}\tKV310", "KV31B0001\tKV310 (balanced)",
                                    "XY-2\tKV310-X"]
        assert not any(sim.state(serial=s)["open"] for s in sim.devices())   # all closed again
        assert run(capsys, "list", "--serial", "B00")[1] == "KV31B0001\tKV310 (balanced)\n"
        assert run(capsys, "--serial", "B00", "list")[1] == "KV31B0001\tKV310 (balanced)\n"
        assert run(capsys, "--serial=B00", "list", "--serial", "XY")[1] == "XY-2\tKV310-X\n"

    def test_list_skips_an_instrument_open_elsewhere(self, capsys, dev):
        sim.attach("XY-2")
        assert run(capsys, "list")[1] == "XY-2\tKV310\n"

    def test_info_is_the_default_command(self, capsys):
        sim.set_light(40.0, 1310.0)
        for argv in (["info", "--samples", "20000", "--wavelength", "1310"],
                     ["--samples", "20000", "--wavelength", "1310"],
                     ["--serial", "A04", "--samples", "20000", "--wavelength", "1310"]):
            status, out, _ = run(capsys, *argv)
            assert status == 0
            assert f"SN: {sim.DEFAULT_SERIAL}" in out and "Acquired          20000 samples" in out
            assert field(out, "Mean power") == pytest.approx(40.0, abs=0.05)

    @pytest.mark.parametrize("argv, message", [
        (["info", "--serial", "nope"], "no instrument found whose serial contains 'nope' "
                                       f"(libzo error 50); attached: {sim.DEFAULT_SERIAL}\n"),
        (["list", "--serial", "nope"], "no instrument found whose serial contains 'nope' "
                                       f"(libzo error 50); attached: {sim.DEFAULT_SERIAL}\n"),
        (["info", "--wavelength", "3000"], "wavelength 3000 nm is outside the photodiode's band"),
        (["info", "--wavelength", "-5"], "must be a positive number"),
        (["info", "--samples", "-1"], "must be at least 1, not -1"),
        (["info", "--samples", "many"], "not a whole number: 'many'"),
        (["frobnicate"], "invalid choice: 'frobnicate'"),
    ])
    def test_failures(self, capsys, argv, message):
        err = failed(capsys, *argv, status=2 if "see --help" in message or "must" in message
                     or "whole" in message or "choice" in message else 1)
        assert message in err

    def test_no_instrument(self, capsys):
        sim.detach_all()
        for command in ("list", "info", "selftest"):
            assert failed(capsys, command) == \
                "zopy: no instrument found (libzo error 50); attached: none\n"

    def test_library_error_is_one_line(self, capsys):
        sim.override("zo_get_samplerate", 0xFFFFFFFF, error=(33, "usb timeout"))
        assert failed(capsys, "info") == "zopy: instrument error: usb timeout (libzo error 33)\n"

    def test_help_and_version(self, capsys):
        for command in ("list", "info", "acquire", "record", "psd", "plot", "selftest"):
            status, out, _ = run(capsys, command, "--help")
            assert status == 0 and out.startswith(f"usage: zopy {command}") and "--serial" in out
        status, out, _ = run(capsys, "--version")
        assert status == 0 and out.startswith("zopy ") and "libzo 2.1.0" in out


class TestAcquire:
    def test_calibrated_blocks_in_each_format(self, capsys, tmp_path):
        sim.set_light(25.0, 1064.0, noise=False)
        for name in ("a.npy", "a.csv", "a.h5"):
            status, out, _ = run(capsys, "acquire", tmp_path / name, "--samples", 500,
                                 "--wavelength", 1064)
            assert status == 0 and out == f"wrote 500 samples (uW) to {tmp_path / name}\n"
        npy = np.load(tmp_path / "a.npy")
        assert npy.dtype == np.float64 and npy.shape == (500,)
        assert npy == pytest.approx(25.0, abs=0.05)
        with open(tmp_path / "a.csv") as f:
            rows = [row for row in csv.reader(f) if not row[0].startswith("#")]
        assert rows[0] == ["time_s", "power_uw"] and len(rows) == 501
        assert np.array([float(r[1]) for r in rows[1:]]) == pytest.approx(npy, rel=1e-8)
        assert [float(r[0]) for r in rows[1:]] == pytest.approx(np.arange(500) / 10e6)
        with h5py.File(tmp_path / "a.h5") as f:
            assert np.array_equal(f["samples"][...], npy)
            assert f.attrs["units"] == "uW" and f.attrs["calibration_wavelength_nm"] == 1064.0
            assert f.attrs["samplerate_hz"] == sim.DEFAULT_SAMPLERATE
            assert f.attrs["serial"] == sim.DEFAULT_SERIAL

    def test_raw_codes(self, capsys, tmp_path):
        sim.set_light(10.0, noise=False)
        assert run(capsys, "acquire", tmp_path / "r.csv", "--raw", "--samples", 3)[0] == 0
        code = round(sim.OFFSET_SINGLE + 10 * sim.COUNTS_PER_UW_HIGH)
        text = (tmp_path / "r.csv").read_text()
        assert "# units = counts\n# calibration_wavelength_nm = nan\n" in text
        assert text.startswith("time_s,adc_code\n")      # the names first, then the metadata
        assert text.split("# samples_per_trigger = 0\n")[1] == f"0,{code}\n1e-07,{code}\n2e-07,{code}\n"

    def test_triggered_block_passes_the_trigger_settings(self, capsys, tmp_path):
        sim.set_light(10.0, noise=False)
        sim.set_port_input("S", frequency_hz=1e5)            # 100 samples per period
        status, _, _ = run(capsys, "acquire", tmp_path / "t.npy", "--raw", "--samples", 300,
                           "--trig-mode", "rising", "--trig-port", "s",
                           "--samples-per-trigger", 60, "--arm-time", 0)
        words = np.load(tmp_path / "t.npy")
        assert status == 0 and words.dtype == np.uint16
        assert words.size == 300 and (words < 0x4000).all()   # masked to the ADC code
        call = next(c for c in sim.calls() if c[0].startswith("zo_get_raw_data"))
        assert call == ("zo_get_raw_data_triggered_repeat", sim.DEFAULT_SERIAL, 300, 300,
                        zopy.zopy._trigger_mode_lookup[("s", "rising")], 0, 60)

    @pytest.mark.parametrize("argv, message", [
        (["x.txt"], "unknown file type '.txt'"),
        (["x.npy", "--trig-mode", "rising"], "--trig-mode rising needs --trig-port"),
        (["x.npy", "--trig-port", "S"], "need --trig-mode"),
        (["x.npy", "--trig-mode", "sideways"], "invalid choice: 'sideways'"),
        (["x.npy", "--samples-per-trigger", "0"], "must be at least 1"),
        (["x.npy", "--arm-time", "-3"], "must be at least 0"),
    ])
    def test_refusals(self, capsys, tmp_path, argv, message):
        err = failed(capsys, "acquire", tmp_path / argv[0], *argv[1:],
                     status=2 if "invalid" in message or "at least" in message else 1)
        assert message in err
        assert not (tmp_path / argv[0]).exists()

    def test_existing_output_needs_force(self, capsys, tmp_path):
        target = tmp_path / "keep.npy"
        target.write_bytes(b"old")
        assert failed(capsys, "acquire", target) == f"zopy: {target} exists (use --force to overwrite it)\n"
        assert target.read_bytes() == b"old"
        assert run(capsys, "acquire", target, "--samples", 10, "--force")[0] == 0
        assert np.load(target).size == 10

    @pytest.mark.parametrize("suffix", [".npy", ".csv", ".h5"])
    @pytest.mark.parametrize("existing", [False, True])
    def test_a_failed_write_leaves_nothing_half_written(self, capsys, small_disk, suffix, existing):
        disk = small_disk(256 << 10)
        target = disk / f"block{suffix}"
        if existing:
            target.write_bytes(b"old")
        argv = ["acquire", target, "--samples", 100_000, *(["--force"] if existing else [])]
        assert failed(capsys, *argv) == f"zopy: {target}: the disk is full\n"
        assert [p.name for p in disk.iterdir()] == (["block" + suffix] if existing else [])
        assert not existing or target.read_bytes() == b"old"

    def test_trigger_timeout_is_a_library_error(self, capsys, tmp_path):
        err = failed(capsys, "acquire", tmp_path / "t.npy", "--trig-mode", "high", "--trig-port", "T")
        assert err.startswith("zopy: instrument error: ") and "libzo error 33" in err


class TestRecord:
    def test_records_with_the_stream_settings(self, capsys, tmp_path):
        sim.set_light(60.0, 1310.0, seed=2)
        path = tmp_path / "r.h5"
        status, out, _ = run(capsys, "record", path, "--seconds", "0.02", "--dtype", "float64",
                             "--filter", "lowpass", "--cutoff", "100e3", "--downsampling", "5",
                             "--decimation", "2", "--units", "-3", "--wavelength", "1310",
                             "--bits")
        assert status == 0
        assert out == f"{path}: 20000 samples, 0.02 s at 1e+06 samples/s, complete; took " \
                      f"{out.split('took ')[1]}"
        with h5py.File(path) as f:
            a = dict(f.attrs)
            data, bits = f["samples"][...], f["bits"][...]
        assert (a["filter"], a["cutoff_hz"], a["downsampling"], a["decimation"]) == ("lowpass", 100e3, 5, 2)
        assert (a["units"], a["calibration_wavelength_nm"], a["complete"]) == ("mW", 1310.0, True)
        assert data.dtype == np.float64 and bits.dtype == np.uint8 and data.size == bits.size == 20000
        assert data[1000:].mean() == pytest.approx(0.060, abs=1e-4)

    def test_refusals(self, capsys, tmp_path):
        path = tmp_path / "r.h5"
        assert "unknown filter 'comb'" in failed(capsys, "record", path, "--seconds", "1",
                                                 "--filter", "comb")
        assert not path.exists()
        assert "the following arguments are required: --seconds" in failed(
            capsys, "record", path, status=2)
        assert "must be a positive number" in failed(capsys, "record", path, "--seconds", "-1",
                                                      status=2)
        assert "invalid choice: 7" in failed(capsys, "record", path, "--seconds", "1",
                                             "--units", "7", status=2)
        assert "unknown file type '.npy'" in failed(capsys, "record", tmp_path / "r.npy",
                                                    "--seconds", "1")
        path.write_bytes(b"old")
        assert "exists (use --force" in failed(capsys, "record", path, "--seconds", "0.001")
        assert path.read_bytes() == b"old"

    def last_line(self, capsys, *argv):
        """The line a failing command ends with, after what it set out to do."""
        status, _, err = run(capsys, *argv)
        assert status == 1 and "Traceback" not in err, err
        return err.splitlines()[-1]

    def test_read_only_file_system(self, capsys, small_disk):
        disk = small_disk(1 << 20)
        subprocess.run(["mount", "-o", "remount,ro", str(disk)], check=True)
        path = disk / "r.h5"
        assert self.last_line(capsys, "record", path, "--seconds", "0.001") == \
            f"zopy: {path}: the file system is read-only"

    def test_file_another_program_writes_with_hdf5(self, capsys, tmp_path):
        path = tmp_path / "r.h5"
        with h5py.File(path, "w"):        # HDF5's own lock, as any HDF5 writer holds it
            line = self.last_line(capsys, "record", path, "--seconds", "0.001", "--force")
        assert line == f"zopy: {path}: another program is writing it (it holds a lock on the file)"

    def test_failure_while_closing_is_reported_too(self, capsys, tmp_path, monkeypatch):
        from zopy import record as recorder
        close = recorder._Writer.close

        def failing_close(writer, complete):
            close(writer, complete)
            raise OSError(errno.EIO, "Input/output error", writer.output.path)

        monkeypatch.setattr(recorder._Writer, "close", failing_close)
        sim.override("ZOStream<float>::acquire", 16, error=(16, "cable pulled"))
        line = self.last_line(capsys, "record", tmp_path / "r.h5", "--seconds", "0.1")
        assert line.startswith("zopy: instrument error: cable pulled (libzo error 16); closing ")
        assert line.endswith("r.h5 also failed: [Errno 5] Input/output error: "
                             f"'{tmp_path / 'r.h5'}'")


class TestSpectrum:
    def test_fresh_block_against_the_shot_noise_level(self, capsys, tmp_path):
        sim.set_light(150.0, rin_db_hz=-140.0)
        plot = tmp_path / "s.png"
        status, out, _ = run(capsys, "psd", "--samples", 1 << 18, "--plot", plot)
        assert status == 0
        shot = 2 * 6.62607015e-34 * 299792458.0 / 1550e-9 * field(out, "Mean power") * 1e-6
        assert field(out, "Shot-noise level") == pytest.approx(shot, rel=1e-3)
        # the density reported is the one measured; the excess noise is its ratio to shot
        # noise through the antialias filter, which passes a little less than all of it
        excess = field(out, "Excess noise")
        through_chain = float(out.split("through the chain ")[1].split()[0])
        assert 0.97 * shot < through_chain < shot
        assert excess == pytest.approx(10 * math.log10(field(out, "Noise density") / through_chain),
                                       abs=0.01)
        # electronic noise (2.5 counts) and RIN lie above shot noise at this power
        assert 3 < excess < 15
        assert_png(plot)

    def test_dark_single_diode_has_no_shot_noise_level(self, capsys):
        status, out, _ = run(capsys, "psd", "--samples", 4096)
        assert status == 0 and "no light on the photodiode" in out and "Excess noise" not in out
        status, out, _ = run(capsys, "psd", "--samples", 4096, "--power", 100)
        assert status == 0 and "P = 100 µW" in out and "Excess noise" in out

    def test_balanced_recording_needs_the_total_power(self, capsys, tmp_path):
        sim.attach("BAL-9", balanced=True)
        sim.set_light(1000.0, serial="BAL-9", p2_power_uw=1000.0)
        path = tmp_path / "b.h5"
        assert run(capsys, "record", path, "--seconds", "0.02", "--serial", "BAL-9")[0] == 0
        status, out, _ = run(capsys, "psd", path)
        assert status == 0 and "(P1 - P2)" in out and "give --power" in out and "Excess noise" not in out
        status, out, _ = run(capsys, "psd", path, "--power", "2000", "--band", "10e3", "200e3")
        assert status == 0
        # shot noise of both photodiodes over a floor of 2.5 counts of electronic noise
        assert 0.5 < field(out, "Excess noise") < 3.5
        assert "over 10000..200000 Hz" in out

    def test_refusals(self, capsys, tmp_path):
        assert run(capsys, "acquire", tmp_path / "raw.h5", "--raw", "--samples", 1000)[0] == 0
        assert "raw.h5: holds ADC codes, not optical power" in failed(capsys, "psd",
                                                                      tmp_path / "raw.h5")
        assert "no such file" in failed(capsys, "psd", tmp_path / "missing.h5")
        (tmp_path / "junk.h5").write_bytes(b"not hdf5")
        assert failed(capsys, "psd", tmp_path / "junk.h5").endswith("junk.h5: not an HDF5 file\n")
        with h5py.File(tmp_path / "other.h5", "w") as f:
            f["x"] = np.zeros(10)
        assert "no 'samples' dataset" in failed(capsys, "psd", tmp_path / "other.h5")
        assert "unknown file type '.jpg'" in failed(capsys, "psd", "--plot", tmp_path / "x.jpg")
        assert f"no folder {tmp_path / 'none'}" in failed(capsys, "psd", "--plot",
                                                          tmp_path / "none" / "x.png")
        assert f"no folder {tmp_path / 'none'}" in failed(capsys, "record", tmp_path / "none" / "x.h5",
                                                          "--seconds", "1")
        assert "at least 16 samples" in failed(capsys, "psd", "--samples", "8")

    def test_missing_tool_says_what_to_install(self, capsys, monkeypatch):
        monkeypatch.setitem(sys.modules, "scipy", None)
        err = failed(capsys, "psd")
        assert "needs scipy" in err and "pip install scipy" in err and "zopy[tools]" in err


class TestPlot:
    @pytest.mark.parametrize("source", [None, "a.npy", "a.npz", "a.csv", "a.h5"])
    def test_trace_png(self, capsys, tmp_path, source):
        sim.set_light(30.0, modulation_hz=5e4, modulation_depth=0.5)
        argv = ["plot", tmp_path / "t.png", "--samples", 2000]
        if source:
            assert run(capsys, "acquire", tmp_path / source, "--samples", 5000)[0] == 0
            argv += ["--input", tmp_path / source]
            if source.endswith(".npy"):
                argv += ["--samplerate", 10e6]
        status, out, _ = run(capsys, *argv)
        assert status == 0 and out == f"wrote {tmp_path / 't.png'} (2000 samples)\n"
        assert_png(tmp_path / "t.png")

    def test_refusals(self, capsys, tmp_path):
        assert "unknown file type '.svg'" in failed(capsys, "plot", tmp_path / "t.svg")
        (tmp_path / "e.npy").write_bytes(b"junk")
        assert "cannot read samples" in failed(capsys, "plot", tmp_path / "t.png", "--input",
                                               tmp_path / "e.npy")
        assert not (tmp_path / "t.png").exists()


class TestSelftest:
    def test_passes_on_a_healthy_instrument(self, capsys):
        status, out, _ = run(capsys, "selftest")
        assert status == 0 and out.splitlines()[-1] == "ADC self-test passed"
        assert sim.state()["pattern"] == "normal" and not sim.state()["open"]

    def test_fails_when_a_pattern_is_wrong(self, capsys):
        sim.override("zo_test_checkerboard", 0)     # the ADC ignores the command
        status, out, _ = run(capsys, "selftest")
        assert status == 1 and "checkerboard       FAIL" in out
        assert out.splitlines()[-1] == "ADC self-test failed (1 of 4)"

    @pytest.mark.parametrize("check, pattern", [
        ("checkerboard", "test_checkerboard"), ("user words", "test_user"),
        ("PN9", "test_pn9"), ("normal conversion", "test_normal")])
    def test_a_failing_capture_shows_the_library_error(self, check, pattern):
        class CaptureTimesOut(zopy.Device):
            """The first capture after switching to `pattern` times out."""
            armed = True

            def switch(self, *args):
                getattr(zopy.Device, pattern)(self, *args)
                if self.armed:
                    self.armed = False
                    sim.override("zo_get_raw_data", 33, error=(33, "timeout"))

        setattr(CaptureTimesOut, pattern, CaptureTimesOut.switch)
        lines = []
        with CaptureTimesOut() as dev:
            assert selftest.run(dev, out=lines.append) is False
        results = {line[2:20].strip(): line[21:] for line in lines[1:-1]}
        assert results == {name: "pass" for name, _ in selftest.CHECKS} | {
            check: "FAIL: libzo error (33): timeout"}
        assert lines[-1] == "ADC self-test failed (1 of 4)"
        assert sim.state()["pattern"] == "normal"


def test_console_script():
    script = pathlib.Path(sys.executable).with_name("zopy")
    result = subprocess.run([script, "list"], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0 and result.stdout == f"{sim.DEFAULT_SERIAL}\tKV310\n"
    result = subprocess.run([script, "info", "--serial", "none"], capture_output=True,
                            text=True, timeout=60)
    assert result.returncode == 1 and result.stderr == ("zopy: no instrument found whose serial "
                                                        "contains 'none' (libzo error 50); "
                                                        f"attached: {sim.DEFAULT_SERIAL}\n")


def test_device_is_closed_after_each_command(capsys, tmp_path):
    for argv in (["info", "--samples", "100"], ["acquire", tmp_path / "a.npy"], ["selftest"]):
        run(capsys, *argv)
        assert not sim.state()["open"]
    zopy.Device().close()      # free to open again


# ------------------------------------------------------- over range and clipped numbers

def over_range_warnings(err):
    return [line for line in err.splitlines() if "are over range" in line]


class TestOverRange:
    @pytest.mark.parametrize("power, over", [(1000.0, True), (50.0, False)])
    def test_warned_by_every_command_and_recorded(self, capsys, tmp_path, power, over):
        """1 mW clips a unit in high gain (about 200 µW at most); 50 µW does not."""
        sim.set_light(power)
        outs = {}
        for name, argv in [("info", ["info"]),
                           ("acquire", ["acquire", tmp_path / "a.h5", "--samples", 5000]),
                           ("psd", ["psd", "--samples", 1 << 16]),
                           ("plot", ["plot", tmp_path / "p.png"]),
                           ("record", ["record", tmp_path / "r.h5", "--seconds", 0.002]),
                           ("psd file", ["psd", tmp_path / "r.h5"])]:
            status, outs[name], err = run(capsys, *argv)
            warnings = over_range_warnings(err)
            assert status == 0 and len(warnings) == over, (name, err)
            if over:
                assert warnings[0].startswith("zopy: warning: ") and "(100%)" in warnings[0]
                assert warnings[0].endswith("use --gain low or less light")
        for psd in (outs["psd"], outs["psd file"]):
            excess = next(line for line in psd.splitlines() if line.startswith("Excess noise"))
            assert ("none: samples are over range" in excess) == over
            assert ("dB relative to shot noise" in excess) != over
        for name, size in (("a.h5", 5000), ("r.h5", 20_000)):
            with h5py.File(tmp_path / name) as f:
                assert f.attrs["over_range_samples"] == (size if over else 0)

    def test_low_gain_reads_what_high_gain_clips(self, capsys):
        sim.set_light(1000.0)
        status, out, err = run(capsys, "info", "--gain", "low")
        assert status == 0 and not over_range_warnings(err)
        assert field(out, "Mean power") == pytest.approx(1000.0, abs=0.5)
        sim.set_light(5000.0)       # beyond low gain too: no other gain to suggest
        status, _, err = run(capsys, "info", "--gain", "low")
        assert over_range_warnings(err)[0].endswith("; use less light")

    def test_raw_codes_in_a_file_count_themselves(self, capsys, tmp_path):
        sim.set_light(1000.0)
        assert run(capsys, "acquire", tmp_path / "raw.npy", "--raw", "--samples", 3000)[0] == 0
        status, _, err = run(capsys, "plot", tmp_path / "raw.png", "--input", tmp_path / "raw.npy",
                             "--samplerate", 10e6)
        assert status == 0 and "3000 of 3000 samples in" in over_range_warnings(err)[0]


class TestFrontEnd:
    @pytest.mark.parametrize("argv", [
        ["info"], ["acquire", "a.npz"], ["record", "r.h5", "--seconds", 0.001],
        ["psd", "--samples", 4096], ["plot", "p.png"]])
    def test_set_before_the_first_read_and_recorded(self, capsys, tmp_path, argv):
        argv = [tmp_path / a if str(a).endswith(("npz", "h5", "png")) else a for a in argv]
        status, _, err = run(capsys, *argv, "--gain", "low", "--antialias", "off")
        assert status == 0, err
        names = [c[0] for c in sim.calls()]
        first_read = min(i for i, n in enumerate(names) if "acquire" in n or "get_raw_data" in n)
        assert names.index("zo_set_highgain") < first_read and names.index("zo_set_antialias") < first_read
        assert ("zo_set_highgain", sim.DEFAULT_SERIAL, False) in sim.calls()
        assert ("zo_set_antialias", sim.DEFAULT_SERIAL, False) in sim.calls()
        if argv[0] in ("acquire", "record"):
            with sample_files.open_sample_file(argv[1]) as source:
                assert (source.attrs["highgain"], source.attrs["antialias"]) == (False, False)

    def test_refused_for_a_file(self, capsys, tmp_path):
        assert run(capsys, "acquire", tmp_path / "a.h5", "--samples", 100)[0] == 0
        err = failed(capsys, "psd", tmp_path / "a.h5", "--gain", "low", "--average", 2, status=2)
        assert "--gain and --average set up a fresh acquisition" in err


class TestExports:
    @pytest.mark.parametrize("suffix", [".npz", ".csv", ".h5", ".npy"])
    def test_acquire_then_psd_and_plot(self, capsys, tmp_path, suffix):
        sim.set_light(100.0, 1310.0)
        path = tmp_path / f"block{suffix}"
        assert run(capsys, "acquire", path, "--samples", 20_000, "--wavelength", 1310)[0] == 0
        with sample_files.open_sample_file(path) as source:
            samples = np.concatenate(list(source.chunks()))
            attrs = source.attrs
        native = {".npz": lambda: np.load(path, allow_pickle=False)["samples"],
                  ".csv": lambda: np.loadtxt(path, delimiter=",", comments="#", skiprows=18)[:, 1],
                  ".h5": lambda: h5py.File(path)["samples"][...],
                  ".npy": lambda: np.load(path)}[suffix]()
        np.testing.assert_allclose(samples, native, rtol=1e-8)
        if suffix == ".npy":      # a bare array: the rate has to be given
            assert attrs == {}
            assert failed(capsys, "psd", path) == (
                f"zopy: {path}: a .npy file is a bare array; give its sample rate with "
                "--samplerate HZ\n")
            assert "--samplerate HZ" in failed(capsys, "plot", tmp_path / "t.png", "--input", path)
            extra = ["--samplerate", 10e6, "--wavelength", 1310]
        else:
            assert attrs["samplerate_hz"] == 10e6 and attrs["units"] == "uW"
            assert attrs["calibration_wavelength_nm"] == 1310.0
            assert (attrs["serial"], attrs["product"], attrs["highgain"]) == (sim.DEFAULT_SERIAL, "KV310", True)
            assert attrs["zopy_version"] == zopy.__version__ and attrs["over_range_samples"] == 0
            assert attrs["start_time"].endswith("+00:00")
            extra = []
        status, out, err = run(capsys, "psd", path, *extra)
        assert status == 0, err
        assert f"{path} (20000 samples) at 1e+07 samples/s" in out
        assert field(out, "Mean power") == pytest.approx(100.0, abs=0.05)
        assert "at 1310 nm" in out and "Excess noise" in out
        status, out, err = run(capsys, "plot", tmp_path / "t.png", "--input", path, *extra[:2])
        assert status == 0, err
        assert_png(tmp_path / "t.png")


class TestFailuresBeforeAnyWork:
    @pytest.mark.parametrize("argv", [
        ["acquire", "{disk}/a.npz"], ["record", "{disk}/r.h5", "--seconds", 0.001],
        ["plot", "{disk}/t.png"], ["psd", "--plot", "{disk}/s.png"],
        ["psd", "--output", "{disk}/s.csv"], ["bench", "save", "{disk}/b.toml"]])
    def test_an_output_that_cannot_be_created(self, capsys, small_disk, argv):
        disk = small_disk(1 << 20)
        subprocess.run(["mount", "-o", "remount,ro", str(disk)], check=True)
        argv = [str(a).format(disk=disk) for a in argv]
        target = next(a for a in argv if a.startswith(str(disk)))
        assert failed(capsys, *argv) == f"zopy: {target}: the file system is read-only\n"
        assert not [c for c in sim.calls() if "acquire" in c[0] or "get_raw_data" in c[0]]

    def test_a_recording_larger_than_the_disk(self, capsys, small_disk):
        disk = small_disk(1 << 20)
        err = failed(capsys, "record", disk / "r.h5", "--seconds", 1e12)
        assert err == (f"zopy: {disk / 'r.h5'}: 1e+12 s at 1e+07 samples/s needs about 40 EB but "
                       "its disk has 1.05 MB free; record fewer seconds or on another disk\n")
        assert list(disk.iterdir()) == []
        assert not [c for c in sim.calls() if "acquire" in c[0]]

    def test_no_instrument_names_those_attached(self, capsys):
        sim.attach("XY-2", balanced=True)
        assert failed(capsys, "psd", "--serial", "B-7") == (
            "zopy: no instrument found whose serial contains 'B-7' (libzo error 50); "
            f"attached: {sim.DEFAULT_SERIAL}, XY-2\n")

    @pytest.mark.parametrize("how", [["{script}"], [sys.executable, "-P", "-m", "zopy"]])
    def test_a_bad_bench_file(self, tmp_path, how):
        bench = tmp_path / "bad.toml"
        bench.write_text("[[instrument]]\nserial = 'A'\n[instrument.light]\npower_uw = 'x'\n")
        script = pathlib.Path(sys.executable).with_name("zopy")
        result = subprocess.run([str(a).format(script=script) for a in how] + ["info"],
                                capture_output=True, text=True, timeout=60,
                                env={**os.environ, "ZOPY_BENCH": str(bench)})
        assert (result.returncode, result.stdout) == (1, "")
        assert result.stderr == (f"zopy: ZOPY_BENCH: {bench}: instrument[0].light.power_uw: "
                                 "must be a number, not a string\n")


class TestBetterSpectrum:
    def test_averaged_blocks_written_as_numbers(self, capsys, tmp_path):
        sim.set_light(150.0, seed=3)
        status, out, _ = run(capsys, "psd", "--samples", 8192, "--average", 3, "--segment", 1024,
                             "--output", tmp_path / "s.csv")
        assert status == 0 and "3 blocks averaged" in out
        assert "over 10000..200000 Hz" in out                 # fs/1000 to fs/50, as the help says
        table = np.loadtxt(tmp_path / "s.csv", delimiter=",", skiprows=1)   # "#" lines skipped
        assert (tmp_path / "s.csv").read_text().splitlines()[0] == \
            "frequency_hz,density_w2_hz,shot_noise_w2_hz,dark_density_w2_hz,excess_noise_db"
        # the same three blocks again, each spectrum taken alone, then averaged
        sim.reset()
        sim.set_light(150.0, seed=3)
        with zopy.Device() as dev:
            spectra = [analysis.psd(dev.get_calibrated_data(8192) * 1e-6, 10e6, 1024)
                       for _ in range(3)]
        np.testing.assert_allclose(table[:, 0], spectra[0].frequency_hz)
        assert table[-1, 0] < 5e6                             # no bin at the Nyquist frequency
        np.testing.assert_allclose(table[:, 1], np.mean([s.density for s in spectra], axis=0),
                                   rtol=1e-5)
        level = field(out, "Shot-noise level")
        assert table[1, 2] == pytest.approx(level, rel=1e-3)      # the antialias filter passes DC
        np.testing.assert_allclose(table[1:, 4], 10 * np.log10(table[1:, 1] / table[1:, 2]), atol=2e-3)
        assert np.isnan(table[:, 3]).all()                        # no dark reference taken

    def test_plot_relative_to_shot_noise(self, capsys, tmp_path):
        sim.set_light(150.0)
        status, out, _ = run(capsys, "psd", "--samples", 1 << 16, "--plot", tmp_path / "s.png",
                             "--db")
        assert status == 0 and out.endswith(f"wrote {tmp_path / 's.png'}\n")
        assert_png(tmp_path / "s.png")
        sim.attach("B1", balanced=True)
        err = failed(capsys, "psd", "--serial", "B1", "--samples", 4096, "--plot",
                     tmp_path / "b.png", "--db")
        assert err == "zopy: --db needs the shot-noise level; give --power\n"
        assert not (tmp_path / "b.png").exists() and list(tmp_path.iterdir()) == [tmp_path / "s.png"]


class TestSmallOnes:
    @pytest.mark.parametrize("text, samples", [("1e3", 1000), ("2000", 2000), ("1.5", None),
                                               ("1e400", None), ("nan", None), ("1e3.5", None)])
    def test_counts_as_int_of_float(self, capsys, text, samples):
        status, out, err = run(capsys, "info", "--samples", text)
        if samples is None:
            assert status == 2 and f"not a whole number: {text!r}" in err
        else:
            assert status == 0 and f"Acquired          {samples} samples" in out

    @pytest.mark.parametrize("units, name", [("mW", "mW"), ("W", "W"), ("-3", "mW"), ("uW", "uW")])
    def test_units_by_name(self, capsys, tmp_path, units, name):
        assert run(capsys, "record", tmp_path / "r.h5", "--seconds", 1e-4, "--units", units)[0] == 0
        with h5py.File(tmp_path / "r.h5") as f:
            assert f.attrs["units"] == name

    def test_info_on_a_balanced_unit_says_it_shows_the_difference(self, capsys):
        sim.attach("B1", balanced=True)
        sim.set_light(100.0, serial="B1", p2_power_uw=40.0)
        status, out, _ = run(capsys, "info", "--serial", "B1")
        assert status == 0 and "the power shown is P1 - P2" in out
        assert field(out, "Mean power") == pytest.approx(60.0, abs=0.1) and "µW (P1 - P2)" in out


class TestBench:
    def test_show_save_and_check(self, capsys, tmp_path):
        sim.attach("B1", balanced=True)
        sim.set_light(20.0, serial="B1", p2_power_uw=5.0)
        status, shown, _ = run(capsys, "bench", "show")
        assert status == 0 and shown.startswith("# The bench in force: the default bench")
        before = sim.describe_bench()
        status, out, _ = run(capsys, "bench", "save", tmp_path / "b.toml")
        assert (status, out) == (0, f"wrote {tmp_path / 'b.toml'}\n")
        template = (tmp_path / "b.toml").read_text()
        assert re.search(r"^p2_power_uw = 5.0 +# light on P2 of a balanced unit, µW", template, re.M)
        assert "# [[override]]" in template and "realtime = false is unpaced" in template
        status, out, _ = run(capsys, "bench", "check", tmp_path / "b.toml")
        assert (status, out) == (0, f"{tmp_path / 'b.toml'}: a valid bench: 2 instruments "
                                    f"({sim.DEFAULT_SERIAL}, B1), trigger timeout 1 s, unpaced, "
                                    "no scripted answers\n")
        for text in (template, shown):
            sim.reset()
            sim.build_bench(tomllib.loads(text))
            assert sim.describe_bench() == before
        assert failed(capsys, "bench", "save", tmp_path / "b.toml").endswith(
            "exists (use --force to overwrite it)\n")

    def test_check_names_the_fault_and_leaves_the_bench(self, capsys, tmp_path):
        sim.set_light(7.0)
        before = sim.describe_bench()
        (tmp_path / "b.toml").write_text("timeout = 1.0\n[[instrument]]\nserial = 'A'\nsampelrate = 5\n")
        assert failed(capsys, "bench", "check", tmp_path / "b.toml") == (
            f"zopy: {tmp_path / 'b.toml'}: instrument[0].sampelrate: unknown key "
            "(did you mean 'samplerate'?)\n")
        assert sim.describe_bench() == before


class TestOddAnswersAndFiles:
    @pytest.mark.parametrize("function, result, status, expected", [
        ("zo_get_samplerate", 0, 1,
         "zopy: instrument error: the instrument reports a sample rate of 0 samples/s, which cannot be\n"),
        ("zo_get_usb_speed", 2147483647, 0, "unknown (code 2147483647)"),
    ])
    def test_an_answer_that_makes_no_sense_is_not_a_traceback(self, capsys, function, result,
                                                              status, expected):
        sim.override(function, result, times=1000)
        code, out, err = run(capsys, "info", "--samples", 1000)
        assert code == status and expected in (err if status else out)
        assert status == 0 or out == ""          # refused before half a report

    @pytest.mark.parametrize("extra, drawn", [([], 5000), (["--samples", 1200], 1200)])
    def test_plot_of_a_file_draws_all_of_it_unless_told(self, capsys, tmp_path, extra, drawn):
        assert run(capsys, "acquire", tmp_path / "a.h5", "--samples", 5000)[0] == 0
        status, out, _ = run(capsys, "plot", tmp_path / "t.png", "--input", tmp_path / "a.h5", *extra)
        assert status == 0 and out == f"wrote {tmp_path / 't.png'} ({drawn} samples)\n"

    def test_record_through_a_link_says_where_it_went(self, capsys, tmp_path):
        (tmp_path / "lnk.h5").symlink_to(tmp_path / "new.h5")
        status, out, _ = run(capsys, "record", tmp_path / "lnk.h5", "--seconds", 1e-4)
        assert status == 0 and (tmp_path / "new.h5").is_file()
        assert out.startswith(f"{tmp_path / 'new.h5'}:") and "links to it" in out
        assert "left as it was" not in out

    @pytest.mark.parametrize("argv", [["info"], ["acquire", "a.npy"], ["plot", "p.png"]])
    def test_a_count_too_large_is_refused_before_anything(self, capsys, tmp_path, argv):
        argv = [str(tmp_path / a) if "." in a else a for a in argv]
        code, out, err = run(capsys, *argv, "--samples", "1e20")
        assert (code, out) == (2, "") and "more than the library can take" in err
        assert not sim.state()["open"] and not list(tmp_path.iterdir())

    @pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                        reason="AddressSanitizer's shadow memory needs the address space")
    def test_a_block_that_cannot_fit_in_memory_is_refused_before_anything(self):
        code = ("import resource; resource.setrlimit(resource.RLIMIT_AS, (1 << 30, "
                "resource.getrlimit(resource.RLIMIT_AS)[1]))\n"
                "import sys; from zopy.cli import main; sys.exit(main(['info', '--samples', '3e9']))")
        done = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True,
                              timeout=300)
        assert (done.returncode, done.stdout) == (2, ""), done.stderr
        assert done.stderr.startswith("zopy: --samples 3000000000: 3,000,000,000 samples need ")
