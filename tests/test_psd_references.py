"""zopy psd's three lines: measured, the shot-noise reference through the chain,
the dark floor; excess noise and clearance; its band and over-range faults."""

import math
import re
import zlib

import numpy as np
import pytest

from zopy import sim
from zopy.__main__ import main

pytestmark = pytest.mark.usefixtures("file_size_limit")

ELECTRONIC_W2_HZ = (2.5 / sim.COUNTS_PER_UW_HIGH * 1e-6) ** 2 / (10e6 / 2)   # model, before the filter
COLUMNS = "frequency_hz,density_w2_hz,shot_noise_w2_hz,dark_density_w2_hz,excess_noise_db"


def run(capsys, *argv):
    status = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return status, out, err


def field(out, name):
    line = next(line for line in out.splitlines() if line.startswith(name))
    return float(line[len(name):].split()[0])


def spectrum_table(path):
    lines = path.read_text().splitlines()
    header = next(i for i, line in enumerate(lines) if not line.startswith("#"))
    assert lines[header] == COLUMNS
    return np.loadtxt(path, delimiter=",", skiprows=header + 1)


def png_title(path):
    """The Title text chunk of a PNG."""
    data = path.read_bytes()
    at = 8
    while at < len(data):
        length = int.from_bytes(data[at:at + 4], "big")
        kind, body = data[at + 4:at + 8], data[at + 8:at + 8 + length]
        if kind == b"tEXt" and body.startswith(b"Title\0"):
            return body[6:].decode("latin-1")
        if kind == b"zTXt" and body.startswith(b"Title\0"):
            return zlib.decompress(body[7:]).decode("latin-1")
        at += 12 + length
    return None


@pytest.fixture
def balanced_recording(capsys, tmp_path):
    """0.1 s of a shot-noise-limited balanced unit (10 mW on each photodiode)
    through a 300 kHz low-pass stream averaging 4."""
    sim.attach("BAL", balanced=True)
    sim.set_light(10_000.0, p2_power_uw=10_000.0, serial="BAL")
    path = tmp_path / "b.h5"
    status, _, err = run(capsys, "record", path, "--seconds", 0.1, "--serial", "BAL",
                         "--filter", "lowpass", "--cutoff", 300e3, "--downsampling", 4)
    assert status == 0, err
    return path


class TestReferences:
    def test_take_dark_measures_the_floor_and_restores_the_light(self, capsys, tmp_path):
        sim.set_light(150.0, seed=5)
        status, out, err = run(capsys, "psd", "--take-dark", "--output", tmp_path / "s.csv")
        assert status == 0, err
        assert sim.state()["light"]["power_uw"] == 150.0 and sim.state()["light"]["seed"] == 5
        table = spectrum_table(tmp_path / "s.csv")
        dark, density = table[:, 3], table[:, 1]
        inside = (table[:, 0] >= 10e3) & (table[:, 0] <= 200e3)
        # the dark line is the model's electronic floor through the antialias filter
        a = 1 - math.exp(-2 * math.pi * 0.1)
        h2 = a ** 2 / np.abs(1 - (1 - a) * np.exp(-2j * np.pi * table[inside, 0] / 10e6)) ** 2
        assert np.mean(dark[inside] / (ELECTRONIC_W2_HZ * h2)) == pytest.approx(1.0, rel=0.1)
        assert field(out, "Dark density") == pytest.approx(dark[inside].mean(), rel=1e-3)
        assert field(out, "Clearance") == pytest.approx(
            10 * math.log10(density[inside].mean() / dark[inside].mean()), abs=0.01)
        # shot noise of 150 µW lies below the electronic floor: excess noise, small clearance
        assert field(out, "Excess noise") > 5 and 0.3 < field(out, "Clearance") < 1.2

    def test_shot_noise_limited_recording_reads_zero_across_its_band(self, capsys, tmp_path,
                                                                     balanced_recording):
        status, out, err = run(capsys, "psd", balanced_recording, "--power", 20_000, "--db",
                               "--plot", tmp_path / "s.png", "--output", tmp_path / "s.csv")
        assert status == 0, err
        assert abs(field(out, "Excess noise")) < 0.5
        table = spectrum_table(tmp_path / "s.csv")
        f, excess, shot = table[1:, 0], table[1:, 4], table[1:, 2]
        band = re.search(r"Detector band\s+(\S+)\.\.(\S+) Hz", out).groups()
        assert float(band[1]) == pytest.approx(300e3, rel=0.05)
        # past the stream filter's corner the reference falls with the measurement:
        # within its band and 10 dB down beyond, no false squeezing and no false excess
        passing = shot > shot.max() / 10
        assert f[passing].max() > 1.3 * float(band[1])
        for stretch in np.array_split(excess[passing], 10):
            assert abs(stretch.mean()) < 0.5
        assert png_title(tmp_path / "s.png").startswith("BAL at 1550 nm")

    def test_dark_from_a_recording_or_from_its_spectrum(self, capsys, tmp_path):
        sim.set_light(0.0)
        assert run(capsys, "record", tmp_path / "dark.h5", "--seconds", 0.05)[0] == 0
        assert run(capsys, "psd", tmp_path / "dark.h5", "--output", tmp_path / "dark.csv")[0] == 0
        old = tmp_path / "old.csv"      # as psd wrote a spectrum before the columns were renamed
        lines = (tmp_path / "dark.csv").read_text().splitlines()
        old.write_text("\n".join([*lines[1:8], "frequency_hz,density_w2_hz,relative_to_shot_noise_db",
                                  *(",".join(line.split(",")[:2] + ["nan"]) for line in lines[11:])]))
        sim.set_light(150.0)
        assert run(capsys, "record", tmp_path / "lit.h5", "--seconds", 0.05)[0] == 0
        clearances = []
        for dark in ("dark.h5", "dark.csv", "old.csv"):
            status, out, err = run(capsys, "psd", tmp_path / "lit.h5", "--dark", tmp_path / dark)
            assert status == 0, err
            clearances.append(field(out, "Clearance"))
        assert clearances == pytest.approx([clearances[0]] * 3, abs=0.01)
        assert 0.3 < clearances[0] < 1.2

    @pytest.mark.parametrize("dark_argv, fault", [
        (["--gain", "low"], "the dark reference was taken in low gain, the spectrum in high"),
        (["--downsampling", "2"], "the dark reference was taken at 5e+06 samples/s"),
    ])
    def test_dark_that_does_not_match_is_refused(self, capsys, tmp_path, dark_argv, fault):
        assert run(capsys, "record", tmp_path / "dark.h5", "--seconds", 0.01, *dark_argv)[0] == 0
        sim.set_light(100.0)
        assert run(capsys, "record", tmp_path / "lit.h5", "--seconds", 0.01, "--gain", "high")[0] == 0
        status, _, err = run(capsys, "psd", tmp_path / "lit.h5", "--dark", tmp_path / "dark.h5")
        assert status == 1 and fault in err


    def test_a_dark_reference_that_is_not_dark(self, capsys, tmp_path, monkeypatch):
        sim.set_light(1000.0)                      # clipped: no floor of the electronics
        assert run(capsys, "record", tmp_path / "dark.h5", "--seconds", 0.01)[0] == 0
        sim.set_light(100.0)
        status, out, _ = run(capsys, "psd", "--dark", tmp_path / "dark.h5", "--samples", 1 << 16)
        assert status == 0 and "Clearance         none: the dark reference is over range" in out
        # on an instrument nobody blocked the light when asked
        from zopy.cli import measure
        monkeypatch.setattr(measure, "virtual_bench", lambda: None)
        monkeypatch.setattr("sys.stdin", __import__("io").StringIO("\n"))
        status, out, err = run(capsys, "psd", "--take-dark", "--samples", 1 << 16)
        assert status == 0 and err.startswith("Block the light, then press Enter\n")
        assert "µW reached the photodiode while the light was to be blocked" in err
        assert abs(field(out, "Clearance")) < 0.2


class TestBandAndOverRange:
    @pytest.mark.parametrize("argv, status, fault", [
        (["--band", "6e6", "7e6"], 1, "--band 6e+06..7e+06 Hz lies above the spectrum, whose "
                                      "last bin is 4.99756e+06 Hz"),
        (["--band", "1000", "1001"], 1, "--band 1000..1001 Hz holds no frequency bin: the bins "
                                        "are 2441 Hz apart"),
        (["--band", "5e3", "3e3"], 2, "LOW must be below HIGH"),
    ])
    def test_band_faults_name_the_fault(self, capsys, argv, status, fault):
        sim.set_light(100.0)
        code, out, err = run(capsys, "psd", "--samples", 1 << 16, *argv)
        assert code == status and fault in err, err
        assert ("give --band" in err) == ("--band" not in argv)

    def test_band_outside_the_detector_is_warned(self, capsys):
        sim.set_light(100.0)
        status, _, err = run(capsys, "psd", "--samples", 1 << 16, "--band", "1e5", "3e6")
        assert status == 0 and "reaches outside the detector's band" in err

    def test_over_range_block_has_no_density_and_its_plot_says_so(self, capsys, tmp_path):
        sim.set_light(1000.0)
        status, out, _ = run(capsys, "psd", "--samples", 1 << 16, "--take-dark",
                             "--plot", tmp_path / "s.png")
        assert status == 0
        for name in ("Noise density", "Clearance", "Excess noise"):
            line = next(line for line in out.splitlines() if line.startswith(name))
            assert "none: samples are over range" in line and "W²/Hz" not in line
        assert png_title(tmp_path / "s.png").startswith("OVER RANGE: 65536 of 65536 samples clipped")
        status, _, _ = run(capsys, "plot", tmp_path / "t.png", "--samples", 1000)
        assert status == 0 and png_title(tmp_path / "t.png").startswith("OVER RANGE: 1000 of 1000")
        sim.set_light(100.0)
        assert run(capsys, "plot", tmp_path / "u.png", "--samples", 1000)[0] == 0
        assert png_title(tmp_path / "u.png").startswith("KV310")


def test_readme_plot_example_draws_the_three_lines(tmp_path):
    import pathlib
    import resource
    import subprocess
    import sys
    example = pathlib.Path(__file__).resolve().parent.parent / "examples" / "noise_references.py"
    result = subprocess.run([sys.executable, "-P", str(example), str(tmp_path)],
                            capture_output=True, text=True, timeout=300,
                            preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_FSIZE,
                                                                  (64 << 20, 64 << 20)))
    assert result.returncode == 0, result.stdout + result.stderr
    assert abs(field(result.stdout, "Excess noise")) < 0.5
    assert 13.5 < field(result.stdout, "Clearance") < 15.5    # shot noise 27 times the floor
    assert png_title(tmp_path / "noise_references.png").startswith("KV31B-REF at 1550 nm")
