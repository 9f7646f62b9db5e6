"""zopy.qcodes.KV310: parameters that reach the instrument, and a dond sweep of the
virtual light into a QCoDeS data set whose numbers agree with the physics."""

import numpy as np
import pytest

import zopy
from zopy import analysis, sim

qcodes = pytest.importorskip("qcodes", reason="QCoDeS is not installed (pip install 'zopy[qcodes]')")
pytest.importorskip("scipy")
from qcodes.dataset import (  # noqa: E402
    LinSweep, dond, initialise_or_create_database_at, load_by_id, load_or_create_experiment,
)
from qcodes.parameters import Parameter  # noqa: E402

from zopy.qcodes import KV310  # noqa: E402

BALANCED = "KV31B-QC"


@pytest.fixture
def qcodes_db(tmp_path):
    """QCoDeS writing only under tmp_path: its database, and nothing in the home folder."""
    config = qcodes.config
    saved = (config.core.db_location, config.user.mainfolder)
    config.user.mainfolder = str(tmp_path)
    initialise_or_create_database_at(tmp_path / "kv310.db")
    yield tmp_path / "kv310.db"
    config.core.db_location, config.user.mainfolder = saved


@pytest.fixture
def kv():
    instrument = KV310("kv")
    yield instrument
    instrument.close()


def electronic_density(samplerate, counts_rms=2.5, counts_per_uw=sim.COUNTS_PER_UW_HIGH):
    """The bench's electronic noise as a one-sided density of optical power, W²/Hz."""
    return (counts_rms / counts_per_uw * 1e-6) ** 2 * 2 / samplerate


def test_dond_sweep_of_the_light_agrees_with_the_physics(qcodes_db):
    """P1 swept with P2 = 0.99 P1 on a balanced unit: the mean is P1 - P2, and with
    about 10 mW in all the shot noise of both photodiodes dominates the spectrum."""
    sim.attach(BALANCED, balanced=True)
    light = Parameter("light", unit="uW", get_cmd=None,
                      set_cmd=lambda p: sim.set_light(p, serial=BALANCED, p2_power_uw=0.99 * p))
    kv = KV310("kv_sweep", serial=BALANCED)
    try:
        kv.antialias(False)             # white noise up to the Nyquist rate
        experiment = load_or_create_experiment("sweep", sample_name="virtual bench")
        dataset, _, _ = dond(LinSweep(light, 5000.0, 7000.0, 3), kv.power, kv.psd, exp=experiment,
                             do_plot=False, show_progress=False)
        rate = kv.samplerate()
    finally:
        kv.close()

    stored = load_by_id(dataset.run_id).get_parameter_data()     # read back from SQLite
    assert load_by_id(dataset.run_id).path_to_db == str(qcodes_db)
    p1 = stored["kv_sweep_power"]["light"]
    np.testing.assert_allclose(p1, [5000.0, 6000.0, 7000.0])
    np.testing.assert_allclose(stored["kv_sweep_power"]["kv_sweep_power"], 0.01 * p1, rtol=0.02)

    psd = stored["kv_sweep_psd"]
    frequency = psd["kv_sweep_frequency_axis"][0]
    assert psd["kv_sweep_psd"].shape == (3, analysis.SEGMENT // 2)    # no Nyquist bin
    np.testing.assert_allclose(frequency, np.fft.rfftfreq(analysis.SEGMENT, 1 / rate)[:-1])
    band = (frequency >= rate * 1e-3) & (frequency <= rate * 0.02)
    for total_uw, density in zip(1.99 * psd["light"][:, 0], psd["kv_sweep_psd"]):
        shot = analysis.shot_noise_level(total_uw * 1e-6, 1550.0)
        assert electronic_density(rate) < 0.1 * shot        # where the model says shot noise dominates
        assert density[band].mean() == pytest.approx(shot, rel=0.10)


class TestParameters:
    @pytest.mark.parametrize("name, value, state", [
        ("highgain", False, "highgain"), ("antialias", False, "antialias")])
    def test_switches_reach_the_instrument(self, kv, name, value, state):
        assert kv.parameters[name]() is True
        kv.parameters[name](value)
        assert sim.state()[state] is value and kv.parameters[name]() is value

    def test_blocks_follow_npts_wavelength_and_light(self, kv):
        sim.set_light(40.0, wavelength_nm=1310.0, noise=False)
        kv.wavelength(1310.0)
        kv.npts(10_000)
        assert kv.power() == pytest.approx(40.0, rel=1e-3) and kv.noise() < 0.05
        assert kv.trace().shape == kv.time_axis().shape == (10_000,)
        assert kv.time_axis()[1] == pytest.approx(1 / kv.samplerate())
        assert kv.psd().shape == kv.frequency_axis().shape == (analysis.SEGMENT // 2,)
        kv.npts(1000)                                   # a block shorter than a segment
        sim.clear_calls()
        assert kv.psd().shape == kv.frequency_axis().shape == (500,)   # no Nyquist bin
        assert [c[2] for c in sim.calls() if c[0] == "zo_get_raw_data"] == [1000]

    @pytest.mark.parametrize("power_uw, expected", [(1000.0, 1.0), (50.0, 0.0)])
    def test_over_range_is_the_clipped_fraction(self, kv, power_uw, expected):
        sim.set_light(power_uw)            # high gain ends near 200 µW
        assert kv.over_range() == pytest.approx(expected, abs=0.01)

    @pytest.mark.parametrize("name, value, message", [
        ("wavelength", 400.0, "400 nm is outside the photodiode's band"),
        ("npts", 8, "8 is invalid: must be between 16 and"),
        ("samplerate", 1e6, "no set cmd found in Parameter samplerate"),
    ])
    def test_refusals(self, kv, name, value, message):
        with pytest.raises((ValueError, NotImplementedError), match=message):
            kv.parameters[name](value)

    def test_snapshot_names_the_instrument_and_the_software(self, kv):
        idn = kv.snapshot()["parameters"]["IDN"]["value"]
        assert idn == {"vendor": None, "model": "KV310", "serial": sim.DEFAULT_SERIAL,
                       "firmware": "1.3.0", "library": "2.1.0", "zopy": zopy.__version__}

    def test_close_closes_the_device_and_frees_the_name(self):
        kv = KV310("kv_closing")
        kv.close()
        assert not sim.state()["open"]
        KV310("kv_closing").close()

    def test_unknown_serial_registers_nothing(self):
        with pytest.raises(zopy.NoDeviceError):
            KV310("kv_missing", serial="NOPE")
        assert not KV310.exist("kv_missing")


def test_sweep_example_writes_its_database_where_asked(tmp_path):
    import os
    import pathlib
    import subprocess
    import sys
    example = pathlib.Path(__file__).resolve().parent.parent / "examples" / "qcodes_sweep.py"
    result = subprocess.run([sys.executable, "-P", str(example), str(tmp_path / "out")],
                            capture_output=True, text=True, timeout=300,
                            env={**os.environ, "HOME": str(tmp_path / "home")})
    assert result.returncode == 0, result.stdout + result.stderr
    rows = [line.split() for line in result.stdout.splitlines() if line.strip()[:1].isdigit()]
    assert [float(row[1]) for row in rows] == pytest.approx([10.0, 30.0, 50.0, 70.0], rel=0.02)
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == ["kv310.db"]
    assert not (tmp_path / "home").exists() or not any((tmp_path / "home").rglob("*"))


class TestOverRangeAndNoiseNumbers:
    @pytest.mark.parametrize("power_uw, fraction", [(500.0, 1.0), (100.0, 0.0)])
    @pytest.mark.parametrize("name", ["power", "psd"])
    def test_over_range_in_the_snapshot_and_the_log(self, kv, caplog, name, power_uw, fraction):
        sim.set_light(power_uw)            # high gain ends near 200 µW
        kv.npts(10_000)
        with caplog.at_level("WARNING"):
            kv.parameters[name]()
        warned = [r.getMessage() for r in caplog.records if "over range" in r.getMessage()]
        assert len(warned) == (fraction > 0)
        assert not warned or f"kv_{name}: 100% of the block is over range" in warned[0]
        assert kv.parameters[name].snapshot()["metadata"]["over_range"] == fraction
        assert kv.snapshot()["parameters"]["over_range"]["value"] == fraction

    def test_dark_clearance_and_excess_noise_of_a_shot_noise_limited_unit(self):
        """Balanced, 10 mW on each photodiode: shot noise 27.5 times the electronic floor."""
        sim.attach(BALANCED, balanced=True)
        sim.set_light(10_000.0, serial=BALANCED, p2_power_uw=10_000.0)
        kv = KV310("kv_numbers", serial=BALANCED)
        try:
            kv.npts(1 << 19)
            with pytest.raises(ValueError, match="no dark reference: get dark_psd first"):
                kv.clearance()
            with pytest.raises(ValueError, match="a balanced unit's output is P1 - P2; set total_power"):
                kv.excess_noise()
            dark = kv.dark_psd()
            assert sim.state(serial=BALANCED)["light"]["power_uw"] == 10_000.0     # put back
            frequency = kv.frequency_axis()
            rate = kv.samplerate()
            chain = analysis.fresh_block_chain(rate, True)
            band = (frequency >= 10e3) & (frequency <= 200e3)
            floor = electronic_density(rate) * analysis.chain_response(frequency[band], chain)
            assert dark[band].mean() == pytest.approx(floor.mean(), rel=0.1)
            kv.total_power(20_000.0)
            shot = analysis.shot_noise_level(20e-3, 1550.0)
            assert abs(kv.excess_noise()) < 0.5
            assert kv.clearance() == pytest.approx(
                10 * np.log10((shot + electronic_density(rate)) / electronic_density(rate)), abs=0.5)
        finally:
            kv.close()


def test_linearity_example_finds_the_shot_noise_slope(tmp_path):
    import os
    import pathlib
    import resource
    import subprocess
    import sys
    example = pathlib.Path(__file__).resolve().parent.parent / "examples" / "qcodes_linearity.py"
    result = subprocess.run([sys.executable, "-P", str(example), str(tmp_path / "out")],
                            capture_output=True, text=True, timeout=300,
                            env={**os.environ, "HOME": str(tmp_path / "home")},
                            preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_FSIZE,
                                                                  (256 << 20, 256 << 20)))
    assert result.returncode == 0, result.stdout + result.stderr
    rows = [line.split() for line in result.stdout.splitlines() if line.strip()[:1].isdigit()]
    assert [float(row[0]) for row in rows] == pytest.approx([15.0, 25.0, 50.0, 100.0, 150.0], rel=0.01)
    slope = float(result.stdout.split("slope ")[1].split()[0])
    assert abs(slope - 1.0) < 0.2 and result.stdout.rstrip().endswith("shot-noise-limited")
