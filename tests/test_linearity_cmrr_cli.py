"""zopy linearity and zopy cmrr against the virtual bench, and their prompts
on an instrument where no bench sets the light."""

import io
import re

import pytest

from zopy import sim
from zopy.__main__ import main
from zopy.cli import measure

pytestmark = pytest.mark.usefixtures("file_size_limit")
pytest.importorskip("scipy")
BALANCED = "KVB-CLI"


def run(capsys, *argv):
    status = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return status, out, err


def slope(out):
    value, error = re.search(r"Slope\s+(\S+) ± (\S+)", out).groups()
    return float(value), float(error)


def regime(out):
    return next(line for line in out.splitlines() if line.startswith("Regime"))[18:].split(" (")[0]


class TestLinearity:
    @pytest.mark.parametrize("light, argv, expected, tolerance, name", [
        ({}, [], 1.0, 0.1, "shot-noise-limited"),
        ({"rin_db_hz": -100.0}, [], 2.0, 0.1, "classical intensity noise"),
        ({}, ["--no-dark"], 0.0, 0.2, "electronic noise"),
    ])
    def test_sweep_of_the_bench_light(self, capsys, tmp_path, light, argv, expected, tolerance, name):
        sim.set_light(0.0, seed=11, **light)
        status, out, err = run(capsys, "linearity", "--powers", 10, 20, 50, 100, 150,
                               "--plot", tmp_path / "l.png", *argv)
        assert status == 0, err
        assert abs(slope(out)[0] - expected) < tolerance and regime(out) == name
        assert ("taken off every point" in out) == (not argv)
        assert sim.state()["light"]["power_uw"] == 0.0 and sim.state()["light"]["seed"] == 11
        assert (tmp_path / "l.png").stat().st_size > 10_000

    def test_recordings_with_a_dark_one(self, capsys, tmp_path):
        sim.set_light(0.0, rin_db_hz=-143.0)
        assert run(capsys, "record", tmp_path / "dark.h5", "--seconds", 0.05)[0] == 0
        files = []
        for power in (20.0, 50.0, 100.0, 150.0):
            sim.set_light(power, rin_db_hz=-143.0)
            files.append(tmp_path / f"{power:g}.h5")
            assert run(capsys, "record", files[-1], "--seconds", 0.05)[0] == 0
        status, out, err = run(capsys, "linearity", "--files", *files, "--dark", tmp_path / "dark.h5")
        assert status == 0, err
        # at -143 dB/Hz the laser's noise outgrows shot noise above 50 µW: between the two
        assert 1.2 < slope(out)[0] < 1.9 and regime(out).startswith("between shot-noise-limited")

    def test_over_range_points_are_left_out(self, capsys):
        status, out, err = run(capsys, "linearity", "--powers", 20, 50, 100, 500)
        assert status == 0 and "500 µW" in err and "over range: left out" in out
        assert "3 powers" in out

    @pytest.mark.parametrize("argv, fault", [
        (["--powers", "10"], "give two or more --powers"),
        (["--dark", "d.h5", "--powers", "1", "2"], "--dark is for --files"),
        (["--files", "a.h5", "b.h5", "--powers", "1"], "1 --powers for 2 --files"),
        (["--files", "a.h5", "b.h5", "--gain", "low"], "--gain set up a fresh acquisition"),
    ])
    def test_refusals(self, capsys, argv, fault):
        status, _, err = run(capsys, "linearity", *argv)
        assert status == 2 and fault in err

    def test_on_an_instrument_it_asks_for_each_power(self, capsys, monkeypatch):
        monkeypatch.setattr(measure, "virtual_bench", lambda: None)
        monkeypatch.setattr("sys.stdin", io.StringIO("\n" * 3))
        sim.set_light(80.0)           # nobody blocks it: the "dark" floor is the lit noise
        status, out, err = run(capsys, "linearity", "--powers", 50, 100, "--samples", 1 << 16)
        assert err.splitlines()[:3] == ["Block the light, then press Enter",
                                        "Set the light to 50 µW, then press Enter",
                                        "Set the light to 100 µW, then press Enter"]
        # the light stayed at 80 µW: the measured power is what is fitted, the fit fails
        assert status == 1 and "not above the dark floor" in err
        monkeypatch.setattr("sys.stdin", io.StringIO(""))
        status, _, err = run(capsys, "linearity", "--powers", 50, 100)
        assert status == 1 and "standard input is closed" in err


class TestCommonModeRejection:
    @pytest.mark.parametrize("cmrr_db", [25.0, 35.0])
    def test_measures_the_bench_rejection(self, capsys, cmrr_db):
        sim.attach(BALANCED, balanced=True)
        sim.set_light(0.0, serial=BALANCED, rin_db_hz=-130.0, cmrr_db=cmrr_db)
        status, out, err = run(capsys, "cmrr", "--serial", BALANCED, "--power", 40, "--rin", -85)
        assert status == 0, err
        measured = float(out.split("Rejection")[1].split()[0])
        assert measured == pytest.approx(cmrr_db, abs=2.0)
        assert sim.state(serial=BALANCED)["light"]["power_uw"] == 0.0     # put back
        assert sim.state(serial=BALANCED)["light"]["rin_db_hz"] == -130.0

    @pytest.mark.parametrize("setup, argv, fault", [
        (None, [], "has one photodiode"),
        ("balanced", ["--power", "150"], "over range"),
        ("quiet", [], None),
    ])
    def test_refusals(self, capsys, setup, argv, fault):
        serial = []
        if setup:
            sim.attach(BALANCED, balanced=True)
            serial = ["--serial", BALANCED]
        if setup == "quiet":        # a laser without intensity noise: the bench lends it one
            status, out, err = run(capsys, "cmrr", *serial)
            assert status == 0 and "the test runs with RIN -80 dB/Hz" in out
            assert sim.state(serial=BALANCED)["light"]["rin_db_hz"] is None     # put back
            return
        status, _, err = run(capsys, "cmrr", *serial, *argv)
        assert status == 1 and fault in err
