"""The virtual instrument's noise, term by term, through the spectrum.

Each term is isolated as the difference between the spectrum of a lit
capture and a dark one with the same seed (so both read the same noise
values), calibrated to optical power, and compared with its formula.
"""

import math

import numpy as np
import pytest

import zopy
from zopy import sim

H, C = 6.62607015e-34, 299792458.0
FS = sim.DEFAULT_SAMPLERATE
N = 1 << 20


def shot(power_uw, nm=1550.0):
    """2 h nu P, W^2/Hz."""
    return 2 * H * C / (nm * 1e-9) * power_uw * 1e-6


def rin(db_hz, common_uw):
    return 10 ** (db_hz / 10) * (common_uw * 1e-6) ** 2


def welch(x, fs=FS, segment=4096):
    """One-sided PSD with a Hann window, averaged over half-overlapping segments."""
    w = np.hanning(segment)
    starts = range(0, len(x) - segment + 1, segment // 2)
    acc = np.zeros(segment // 2 + 1)
    for s in starts:
        seg = x[s:s + segment]
        acc += np.abs(np.fft.rfft((seg - seg.mean()) * w)) ** 2
    psd = acc / len(starts) * 2 / (fs * (w ** 2).sum())
    return np.fft.rfftfreq(segment, 1 / fs), psd


def density_w2_hz(device, band=(20e3, 4e6), **light):
    """Mean PSD over `band` of calibrated power, in W^2/Hz."""
    sim.set_light(**light)
    f, p = welch(device.get_calibrated_data(N))
    return p[(f >= band[0]) & (f <= band[1])].mean() * 1e-12


def excess(device, band=(20e3, 4e6), **light):
    """What the light adds to the dark spectrum (electronic and rounding noise)."""
    lit = density_w2_hz(device, band, **light)
    dark = density_w2_hz(device, band, serial=light.get("serial"), power_uw=0.0,
                         seed=light.get("seed", sim.DEFAULT_SEED))
    return lit - dark


@pytest.fixture
def single():
    device = zopy.Device()
    device.antialias = False   # white spectra
    yield device
    device.close()


@pytest.fixture
def balanced():
    sim.attach("BAL-N", balanced=True)
    device = zopy.Device(serial="BAL-N")
    device.antialias = False
    yield device
    device.close()


class TestSingleDiode:
    def test_spectrum_is_flat_from_low_to_high_frequencies(self, single):
        """Noise spectra converge to white: no ripple left by reused noise values."""
        sim.set_light(50.0)
        f, p = welch(single.get_calibrated_data(4 * N))
        white = p[(f >= 1e3) & (f <= 4e6)].mean()
        for low, high in ((1e3, 1e4), (1e4, 1e5), (1e5, 1e6), (1e6, 4e6)):
            band = p[(f >= low) & (f < high)].mean()
            assert band == pytest.approx(white, rel=0.08), (low, high)

    def test_shot_noise_density(self, single):
        assert excess(single, power_uw=180.0) == pytest.approx(shot(180.0), rel=0.05)

    def test_shot_noise_follows_the_wavelength(self, single):
        # At 1064 nm each photon carries more energy; the calibration at that
        # wavelength undoes the lower responsivity.
        sim.set_light(150.0, 1064.0)
        lit = single.get_calibrated_data(N, wavelength=1064.0)
        sim.set_light(0.0, 1064.0)
        dark = single.get_calibrated_data(N, wavelength=1064.0)
        band = slice(10, 1800)
        extra = (welch(lit)[1][band].mean() - welch(dark)[1][band].mean()) * 1e-12
        assert extra == pytest.approx(shot(150.0, 1064.0), rel=0.05)

    def test_rin_and_shot_noise_at_high_power(self, single):
        expected = rin(-125.0, 180.0) + shot(180.0)
        assert excess(single, power_uw=180.0, rin_db_hz=-125.0) == pytest.approx(expected, rel=0.03)
        # RIN grows with the square of the power, shot noise linearly
        expected = rin(-125.0, 60.0) + shot(60.0)
        assert excess(single, power_uw=60.0, rin_db_hz=-125.0) == pytest.approx(expected, rel=0.03)

    def test_antialias_filter_keeps_the_density_at_low_frequencies(self, single):
        single.antialias = True
        expected = rin(-125.0, 180.0) + shot(180.0)
        got = excess(single, band=(5e3, 60e3), power_uw=180.0, rin_db_hz=-125.0)
        assert got == pytest.approx(expected, rel=0.06)
        high = excess(single, band=(3e6, 4e6), power_uw=180.0, rin_db_hz=-125.0)
        assert high < 0.15 * expected          # one pole at 1 MHz: about 0.12 there

    def test_low_gain_and_p2_light_on_a_single_diode_unit(self, single):
        single.highgain = False
        got = excess(single, power_uw=1500.0, p2_power_uw=1000.0, rin_db_hz=-130.0)
        assert got == pytest.approx(rin(-130.0, 1500.0) + shot(1500.0), rel=0.05)


class TestBalanced:
    def test_equal_light_leaves_the_shot_noise_of_both(self, balanced):
        got = excess(balanced, serial="BAL-N", power_uw=1000.0, p2_power_uw=1000.0,
                     rin_db_hz=-120.0, cmrr_db=120.0)
        assert got == pytest.approx(shot(2000.0), rel=0.05)

    def test_rin_cancelled_down_to_the_rejection(self, balanced):
        got = excess(balanced, serial="BAL-N", power_uw=1000.0, p2_power_uw=1000.0,
                     rin_db_hz=-120.0)
        eps = 10 ** (-sim.DEFAULT_CMRR_DB / 20)
        expected = rin(-120.0, eps * 1000.0) + shot(2000.0)
        assert got == pytest.approx(expected, rel=0.05)
        # a single photodiode with the same light sees the full RIN, 30 dB more
        assert rin(-120.0, 1000.0) / rin(-120.0, eps * 1000.0) == pytest.approx(1000.0)

    def test_unequal_light_passes_the_rin_of_the_difference(self, balanced):
        got = excess(balanced, serial="BAL-N", power_uw=150.0, p2_power_uw=100.0,
                     rin_db_hz=-110.0, cmrr_db=20.0)
        common = 50.0 + 0.1 * 125.0
        assert got == pytest.approx(rin(-110.0, common) + shot(250.0), rel=0.05)


class TestSettings:
    def test_defaults_and_state_round_trip(self):
        light = sim.state()["light"]
        assert light["rin_db_hz"] is None and light["cmrr_db"] == sim.DEFAULT_CMRR_DB == 30.0
        sim.set_light(20.0, rin_db_hz=-140.5, cmrr_db=42.0, seed=3)
        light = sim.state()["light"]
        assert (light["rin_db_hz"], light["cmrr_db"], light["seed"]) == (-140.5, 42.0, 3)
        sim.reset()
        sim.set_light(**light)
        assert sim.state()["light"] == light

    @pytest.mark.parametrize("kwargs", [
        dict(rin_db_hz=3.0), dict(rin_db_hz=math.nan), dict(rin_db_hz=math.inf),
        dict(rin_db_hz=-math.inf), dict(cmrr_db=-1.0), dict(cmrr_db=math.nan),
        dict(cmrr_db=math.inf)])
    def test_refused_values_change_nothing(self, kwargs):
        sim.set_light(10.0)
        before = sim.state()["light"]
        with pytest.raises(ValueError):
            sim.set_light(20.0, **kwargs)
        assert sim.state()["light"] == before

    def test_seeded_and_deterministic(self, dev):
        sim.set_light(100.0, rin_db_hz=-120.0, seed=9)
        first = dev.get_raw_data(20_000)
        dev.close()
        sim.reset()
        again = zopy.Device()
        sim.set_light(100.0, rin_db_hz=-120.0, seed=9)
        assert np.array_equal(again.get_raw_data(20_000), first)
        again.close()

    def test_noise_off_and_powerdown_silence_the_optical_terms(self, dev):
        sim.set_light(100.0, rin_db_hz=-100.0, noise=False)
        assert np.ptp(dev.get_raw_data(10_000)) == 0
        sim.set_light(100.0, rin_db_hz=-100.0)
        dev.powerdown = True
        assert dev.get_raw_data(50_000).std() < 0.7
