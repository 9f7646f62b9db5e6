"""The virtual instrument's signal: responsivity, calibration, front end, noise."""

import numpy as np
import pytest
from virtual_libzo import ERROR_PARAMS, capture, lib, open_device

from zopy import sim

AUTO = 4


def calibrated(h, n, wavelength=None):
    """Like Device.get_calibrated_data: raw codes through the auto calibration."""
    codes = capture(h, n) & 0x3FFF
    cal = (lib.zo_get_calibration(h, AUTO) if wavelength is None
           else lib.zo_get_rel_calibration(h, AUTO, wavelength))
    return codes * cal.m + cal.b


def amplitude_at(words, cycles_per_sample):
    """Amplitude of the sinusoid at a frequency, by projection."""
    x = (words & 0x3FFF).astype(float)
    k = np.arange(len(x))
    z = np.exp(-2j * np.pi * cycles_per_sample * k)
    return 2 * abs(np.mean((x - x.mean()) * z))


class TestResponsivity:
    def test_curve_of_the_default_instrument(self):
        h = open_device()
        r = [lib.zo_get_rel_responsivity(h, nm) for nm in np.arange(800.0, 1751.0, 5.0)]
        nm = np.arange(800.0, 1751.0, 5.0)
        r = np.array(r)
        assert r[nm == 1550.0] == 1.0 and r.max() == 1.0
        assert (r[(nm <= 850) | (nm >= 1700)] == 0).all()
        inside = r[(nm > 850) & (nm < 1700)]
        assert (inside > 0).all()
        assert (np.diff(r[nm <= 1550]) >= 0).all() and (np.diff(r[nm >= 1550]) <= 0).all()
        assert np.abs(np.diff(r)).max() < 0.1          # smooth: no jumps
        assert 0.85 < lib.zo_get_rel_responsivity(h, 1310.0) < 0.97

    def test_peak_follows_the_instrument(self):
        sim.attach("P-1310", peak_responsivity=1310)
        h = open_device("P-1310")
        assert lib.zo_get_rel_responsivity(h, 1310.0) == 1.0
        assert lib.zo_get_rel_responsivity(h, 1550.0) < 1.0


class TestCalibration:
    @pytest.mark.parametrize("balanced", [False, True])
    @pytest.mark.parametrize("highgain", [True, False])
    @pytest.mark.parametrize("wavelength", [900.0, 1064.0, 1310.0, 1550.0, 1650.0])
    def test_calibrated_power_end_to_end(self, balanced, highgain, wavelength):
        serial = "BAL-1" if balanced else sim.DEFAULT_SERIAL
        if balanced:
            sim.attach(serial, balanced=True)
        h = open_device(serial)
        lib.zo_set_highgain(h, highgain)
        sim.set_light(50.0, wavelength, serial=serial, seed=17)
        p = calibrated(h, 100_000, wavelength)
        # The antialias filter correlates neighbouring samples: allow for it.
        assert abs(p.mean() - 50.0) < 10 * p.std() / np.sqrt(len(p)) + 1e-3

    def test_balanced_measures_p1_minus_p2_around_mid_scale(self):
        sim.attach("BAL-2", balanced=True)
        h = open_device("BAL-2")
        sim.set_light(10.0, serial="BAL-2", p2_power_uw=30.0, noise=False)
        codes = capture(h, 1000) & 0x3FFF
        assert (codes == round(sim.OFFSET_BALANCED - 20 * sim.COUNTS_PER_UW_HIGH)).all()
        assert np.allclose(calibrated(h, 1000), -20.0, atol=0.01)
        p2 = lib.zo_get_calibration(h, 9)                  # p2 digital
        assert np.allclose(codes * p2.m + p2.b, 20.0, atol=0.01)

    def test_single_diode_unit_ignores_p2(self):
        h = open_device()
        sim.set_light(10.0, p2_power_uw=30.0, noise=False)
        assert (capture(h, 100) & 0x3FFF == round(sim.OFFSET_SINGLE + 10 * sim.COUNTS_PER_UW_HIGH)).all()

    def test_stored_calibrations(self):
        h = open_device()
        high, low = sim.COUNTS_PER_UW_HIGH, sim.COUNTS_PER_UW_LOW
        off = sim.OFFSET_SINGLE
        cal = {t: lib.zo_get_calibration(h, t).tuple() for t in range(5)}
        assert cal[0] == pytest.approx((1 / high, -off / high))
        assert cal[1] == pytest.approx((1 / low, -off / low))
        assert cal[2] == pytest.approx((8192 / high, -off / high))   # volts: 2 V full scale
        assert cal[3] == pytest.approx((8192 / low, -off / low))
        assert cal[4] == cal[0]
        lib.zo_set_highgain(h, False)
        assert lib.zo_get_calibration(h, AUTO).tuple() == cal[1]

    @pytest.mark.parametrize("code", [5, 6, 7, 8, 9, 10, 11, -1])
    def test_codes_a_single_diode_unit_does_not_hold(self, code):
        h = open_device()
        assert lib.zo_get_calibration(h, code).tuple() == (0.0, 0.0)
        assert lib.zo_get_error() == ERROR_PARAMS
        assert lib.zo_get_rel_calibration(h, code, 1310.0).tuple() == (0.0, 0.0)

    def test_balanced_unit_holds_every_code(self):
        sim.attach("BAL-3", balanced=True)
        h = open_device("BAL-3")
        for code in range(11):
            m, b = lib.zo_get_calibration(h, code).tuple()
            assert m != 0.0, code
        assert lib.zo_get_calibration(h, 11).tuple() == (0.0, 0.0)

    def test_relative_calibration_divides_by_the_responsivity(self):
        h = open_device()
        m, b = lib.zo_get_calibration(h, 1).tuple()
        r = lib.zo_get_rel_responsivity(h, 1064.0)
        assert lib.zo_get_rel_calibration(h, 1, 1064.0).tuple() == pytest.approx((m / r, b / r))
        assert lib.zo_get_rel_calibration(h, 1, 2000.0).tuple() == (0.0, 0.0)   # no response
        assert lib.zo_get_error() == ERROR_PARAMS


class TestFrontEnd:
    def test_gain_settings_scale_the_signal_tenfold(self):
        h = open_device()
        sim.set_light(100.0, noise=False)
        high = capture(h, 10) & 0x3FFF
        lib.zo_set_highgain(h, False)
        low = capture(h, 10) & 0x3FFF
        assert (high == 200 + 8192).all() and (low == round(200 + 819.2)).all()

    def test_codes_clip_to_the_adc_range(self):
        sim.attach("BAL-4", balanced=True)
        h = open_device("BAL-4")
        sim.set_light(500.0, serial="BAL-4")
        assert (capture(h, 1000) & 0x3FFF == 16383).all()
        sim.set_light(0.0, serial="BAL-4", p2_power_uw=500.0)
        assert (capture(h, 1000) & 0x3FFF == 0).all()

    def test_powerdown_leaves_the_offset_and_a_little_noise(self):
        h = open_device()
        sim.set_light(50.0)
        lib.zo_set_powerdown(h, True)
        codes = (capture(h, 50_000) & 0x3FFF).astype(float)
        assert abs(codes.mean() - sim.OFFSET_SINGLE) < 0.1 and 0 < codes.std() < 0.7

    def test_antialias_reduces_noise(self):
        h = open_device()
        sim.set_light(50.0)
        filtered = (capture(h, 100_000) & 0x3FFF).std()
        lib.zo_set_antialias(h, False)
        raw = (capture(h, 100_000) & 0x3FFF).std()
        # 2.5 counts of electronic noise and the shot noise of 50 uW (2 h nu P over 5 MHz)
        shot_uw = np.sqrt(2 * 6.62607015e-34 * 299792458 / 1550e-9 * 50e-6 * 5e6) * 1e6
        expected = np.hypot(2.5, shot_uw * sim.COUNTS_PER_UW_HIGH)
        assert abs(raw - expected) < 0.05 and filtered < 0.65 * raw

    @pytest.mark.parametrize("hz, passed", [(1e3, (0.99, 1.01)), (2e6, (0.3, 0.6))])
    def test_antialias_on_modulation(self, hz, passed):
        h = open_device()
        sim.set_light(50.0, modulation_hz=hz, modulation_depth=0.5, noise=False)
        expected = 50.0 * 0.5 * sim.COUNTS_PER_UW_HIGH
        n = int(sim.DEFAULT_SAMPLERATE / hz) * 20          # whole periods
        fraction = hz / sim.DEFAULT_SAMPLERATE
        with_filter = amplitude_at(capture(h, n), fraction) / expected
        lib.zo_set_antialias(h, False)
        without = amplitude_at(capture(h, n), fraction) / expected
        assert abs(without - 1) < 0.01
        assert passed[0] < with_filter < passed[1]

    def test_modulation_frequency(self):
        h = open_device()
        sim.set_light(40.0, modulation_hz=125e3, modulation_depth=0.2)
        words = (capture(h, 1 << 16) & 0x3FFF).astype(float)
        spectrum = np.abs(np.fft.rfft(words - words.mean()))
        assert np.argmax(spectrum) == round(125e3 / sim.DEFAULT_SAMPLERATE * (1 << 16))


class TestDeterminism:
    def test_same_seed_same_samples_also_after_reset(self):
        h = open_device()
        sim.set_light(20.0, modulation_hz=3e5, modulation_depth=0.3, seed=5)
        whole = capture(h, 10_000)
        sim.reset()
        h = open_device()
        sim.set_light(20.0, modulation_hz=3e5, modulation_depth=0.3, seed=5)
        pieces = np.concatenate([capture(h, 1), capture(h, 4095), capture(h, 5904)])
        assert (pieces == whole).all()

    def test_seeds_differ_and_the_clock_moves_on(self):
        h = open_device()
        sim.set_light(20.0, seed=5)
        a = capture(h, 4096)
        b = capture(h, 4096)
        assert sim.state()["clock"] == 8192
        sim.reset()
        h = open_device()
        sim.set_light(20.0, seed=6)
        c = capture(h, 4096)
        assert (a != b).any() and (a != c).any()
        assert abs(a.astype(float).mean() - c.astype(float).mean()) < 1
