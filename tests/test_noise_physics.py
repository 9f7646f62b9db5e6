"""Excess noise, clearance, the chain's response, linearity and common-mode
rejection against the virtual bench's physics (its constants are the truth)."""

import math

import numpy
import pytest
import scipy.signal

import zopy
from zopy import analysis, sim

NM = 1550.0
ELECTRONIC_COUNTS = {True: 2.5, False: 1.5}       # rms, before the antialias filter
BAND = (10e3, 200e3)                              # the default band at 10 MS/s
BALANCED = "KVB-PHYS"


def electronic_density(samplerate_hz, highgain=True):
    """The model's electronic noise, one-sided W²/Hz of optical power at its input."""
    per_uw = sim.COUNTS_PER_UW_HIGH if highgain else sim.COUNTS_PER_UW_LOW
    return (ELECTRONIC_COUNTS[highgain] / per_uw * 1e-6) ** 2 / (samplerate_hz / 2)


def band_density(device, samples=1 << 20, blocks=2):
    """Band-mean density (W²/Hz) and mean power (W) of fresh blocks."""
    data = [device.get_calibrated_data(samples, NM) * 1e-6 for _ in range(blocks)]
    s = analysis.dark_spectrum(data, float(device.samplerate))
    return analysis.band_mean(s, BAND), float(numpy.mean(data))


@pytest.fixture
def balanced():
    sim.attach(BALANCED, balanced=True)
    with zopy.Device(serial=BALANCED) as device:
        yield device


class TestChainResponse:
    @pytest.mark.parametrize("btype, cutoff", [("lowpass", 100e3), ("lowpass", 2e6), ("highpass", 50e3)])
    def test_filter_factor_is_the_butterworth_of_sosfreqz(self, btype, cutoff):
        chain = analysis.Chain(10e6, filter=btype, cutoff_hz=cutoff)
        f = numpy.linspace(1e3, 4.9e6, 301)
        _, h = scipy.signal.sosfreqz(scipy.signal.butter(4, cutoff, btype, fs=10e6, output="sos"),
                                     worN=f, fs=10e6)
        level = analysis.shot_noise_level(1e-4, NM)
        assert analysis.shot_noise_reference(f, level, chain) == pytest.approx(
            level * numpy.abs(h) ** 2, rel=1e-6, abs=level * 1e-12)

    @pytest.mark.parametrize("antialias, filt, downsampling, decimation", [
        (True, None, 1, 1),
        (True, None, 10, 1),
        (True, ("lowpass", 200e3), 4, 5),
        (False, ("highpass", 100e3), 1, 1),
        (False, None, 1, 3),
        (True, ("lowpass", 20e3), 50, 2),
    ])
    def test_dark_stream_is_the_electronic_floor_through_the_chain(self, dev, antialias, filt,
                                                                    downsampling, decimation):
        sim.set_light(0.0)
        dev.antialias = antialias
        with dev.open_stream("float64") as stream:
            stream.set_downsampling(downsampling)
            stream.set_decimation(decimation)
            if filt:
                stream.set_filter(filt[0])
                stream.set_cutoff(filt[1])
            rate = stream.samplerate
            blocks = [stream.acquire(1 << 18) * 1e-6 for _ in range(2)]
        chain = analysis.Chain(float(dev.samplerate), antialias, filt[0] if filt else "none",
                               filt[1] if filt else None, downsampling, decimation)
        assert chain.samplerate_hz == pytest.approx(rate)
        dark = analysis.dark_spectrum(blocks, rate)
        response = analysis.chain_response(dark.frequency_hz, chain)
        low, high = analysis.detector_band(dark.frequency_hz, response)
        inside = (dark.frequency_hz >= low) & (dark.frequency_hz <= high)
        ratio = dark.density[inside] / (response[inside] * electronic_density(dev.samplerate))
        # in stretches of the band, so a wrong shape cannot average out
        for stretch in numpy.array_split(ratio, 4):
            assert stretch.mean() == pytest.approx(1.0, rel=0.1)

    @pytest.mark.parametrize("antialias, btype, cutoff, downsampling, decimation", [
        (True, "lowpass", 20e3, 50, 4),
        (False, "lowpass", 3e6, 1, 3),
        (True, "highpass", 5e3, 20, 10),
        (False, "highpass", 200e3, 1, 1),
        (True, None, None, 200, 10),
        (False, None, None, 7, 3),
    ])
    def test_response_is_the_sum_of_every_alias(self, antialias, btype, cutoff, downsampling,
                                                decimation):
        """Against scipy's responses summed over all D aliases at the input rate."""
        fs = 10e6
        chain = analysis.Chain(fs, antialias, btype or "none", cutoff, downsampling, decimation)
        d, fs_out = downsampling * decimation, fs / (downsampling * decimation)
        f = numpy.linspace(0, fs_out / 2, 97)
        nu = (f.reshape(-1, 1) + numpy.arange(d) * fs_out).reshape(-1)
        power = numpy.ones(nu.shape)
        if antialias:
            a = 1 - math.exp(-2 * math.pi * 0.1)
            power *= numpy.abs(scipy.signal.freqz([a], [1, a - 1], worN=nu, fs=fs)[1]) ** 2
        if btype:
            sos = scipy.signal.butter(4, cutoff, btype, fs=fs, output="sos")
            power *= numpy.abs(scipy.signal.sosfreqz(sos, worN=nu, fs=fs)[1]) ** 2
        mean = numpy.full(downsampling, 1 / downsampling)
        power *= numpy.abs(scipy.signal.freqz(mean, [1], worN=nu, fs=fs)[1]) ** 2
        expected = power.reshape(len(f), d).sum(axis=1)
        response = analysis.chain_response(f, chain)
        assert response == pytest.approx(expected, rel=1e-6, abs=1e-9 * expected.max())

    def test_detector_band_and_default_band_inside_it(self):
        chain = analysis.Chain(10e6, filter="lowpass", cutoff_hz=100e3, downsampling=10)
        f = analysis.psd_frequencies(chain.samplerate_hz, 1 << 16)
        band = analysis.detector_band(f, analysis.chain_response(f, chain))
        assert band[0] == f[1] and band[1] == pytest.approx(100e3, rel=0.05)
        assert analysis.band_in_detector(chain.samplerate_hz, band) == (1e3, 20e3)
        assert analysis.band_in_detector(1e6, (30e3, 60e3)) == (30e3, 60e3)


class TestExcessNoiseAndClearance:
    def test_both_equal_independent_welch_computations(self, dev):
        rate = float(dev.samplerate)
        sim.set_light(0.0)
        dark_block = dev.get_calibrated_data(1 << 19, NM) * 1e-6
        sim.set_light(150.0)
        lit_block = dev.get_calibrated_data(1 << 19, NM) * 1e-6
        lit, dark = analysis.psd(lit_block, rate), analysis.dark_spectrum([dark_block], rate)
        f, p_lit = scipy.signal.welch(lit_block, fs=rate, nperseg=4096)
        _, p_dark = scipy.signal.welch(dark_block, fs=rate, nperseg=4096)
        inside = (f >= BAND[0]) & (f <= BAND[1])
        level = 2 * 6.62607015e-34 * 299792458.0 / (NM * 1e-9) * lit_block.mean()
        chain = analysis.fresh_block_chain(rate, True)
        a = 1 - math.exp(-2 * math.pi * 0.1)
        h2 = numpy.abs(scipy.signal.freqz([a], [1, a - 1], worN=f[inside], fs=rate)[1]) ** 2
        expected_excess = 10 * math.log10(p_lit[inside].mean() / (level * h2).mean())
        assert analysis.excess_noise_db(lit, level, BAND, chain) == pytest.approx(expected_excess, abs=1e-6)
        expected_clearance = 10 * math.log10(p_lit[inside].mean() / p_dark[inside].mean())
        assert analysis.shot_noise_clearance_db(lit, dark, BAND) == pytest.approx(expected_clearance, abs=1e-6)
        # in the model, 150 µW of shot noise stands about 0.6 dB above the electronic floor
        assert 0.3 < expected_clearance < 1.2


def sweep(device, powers_uw, light, dark_first=True):
    """Band densities at each power set by ``light(power)``; the dark floor first."""
    dark = None
    if dark_first:
        sim.set_light(0.0, serial=device.serial)
        dark = band_density(device)[0]
    densities = []
    for p in powers_uw:
        light(p)
        densities.append(band_density(device)[0])
    return densities, dark


class TestLinearity:
    @pytest.mark.parametrize("case, expected, tolerance, regime", [
        ("shot noise dominant (balanced, dark subtracted)", 1.0, 0.05, "shot-noise-limited"),
        ("strong intensity noise", 2.0, 0.1, "classical intensity noise"),
        ("dark", 0.0, 0.2, "electronic noise"),
    ])
    def test_slope_and_regime_of_the_model(self, dev, balanced, case, expected, tolerance, regime):
        if case.startswith("shot"):
            powers = [2000.0, 5000.0, 10_000.0, 20_000.0, 40_000.0]     # total µW, split evenly
            densities, dark = sweep(balanced, powers, lambda p: sim.set_light(
                p / 2, p2_power_uw=p / 2, serial=BALANCED))
        elif case.startswith("strong"):
            powers = [10.0, 20.0, 50.0, 100.0]
            densities, dark = sweep(dev, powers, lambda p: sim.set_light(p, rin_db_hz=-100.0))
        else:
            powers = [10.0, 20.0, 50.0, 100.0, 200.0]
            densities, dark = sweep(dev, powers, lambda p: sim.set_light(0.0), dark_first=False)
        fit = analysis.linearity(powers, densities, dark=dark)
        assert abs(fit.slope - expected) < tolerance and fit.regime == regime
        assert 0 <= fit.slope_error < tolerance
        assert fit.density(powers) == pytest.approx(numpy.array(densities) - (dark or 0.0), rel=0.2)

    @pytest.mark.parametrize("powers, densities, dark, fault", [
        ([1.0], [1.0], None, "two or more"),
        ([1.0, 0.0], [1.0, 2.0], None, "positive"),
        ([1.0, 2.0], [1.0, 2.0], 1.5, "not above the dark floor"),
    ])
    def test_refuses_what_it_cannot_fit(self, powers, densities, dark, fault):
        with pytest.raises(ValueError, match=fault):
            analysis.linearity(powers, densities, dark=dark)


class TestCommonModeRejection:
    @pytest.mark.parametrize("cmrr_db", [20.0, 30.0, 40.0])
    def test_measured_rejection_is_the_models(self, balanced, cmrr_db):
        power = 30.0
        light = dict(rin_db_hz=-80.0, cmrr_db=cmrr_db, serial=BALANCED)
        sim.set_light(0.0, serial=BALANCED)
        dark = band_density(balanced)[0]
        sim.set_light(power, **light)
        one_arm, mean_w = band_density(balanced)
        sim.set_light(power, p2_power_uw=power, **light)
        both_arms = band_density(balanced)[0]
        measured = analysis.common_mode_rejection(
            one_arm, both_arms, dark=dark, one_arm_shot=analysis.shot_noise_level(mean_w, NM),
            both_arms_shot=analysis.shot_noise_level(2 * mean_w, NM))
        assert measured == pytest.approx(cmrr_db, abs=2.0)

    def test_no_rejection_without_intensity_noise(self):
        with pytest.raises(ValueError, match="does not dominate"):
            analysis.common_mode_rejection(1.0, 1.0, dark=1.0)
