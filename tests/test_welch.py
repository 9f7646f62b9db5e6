"""zopy.analysis.welch: scipy's Welch density, in batches of strided segments;
WelchAverage over chunks; the recorder's over-range count from a chunk's extremes."""

import numpy as np
import pytest

from zopy import analysis

signal = pytest.importorskip("scipy.signal")

RATE = 1e6


def scipy_density(samples, segment):
    """scipy's estimate on the samples' values in float64, the Nyquist bin of an even segment dropped."""
    f, p = signal.welch(np.asarray(samples, np.float64), fs=RATE, window="hann", nperseg=segment,
                        noverlap=segment // 2, detrend="constant", scaling="density")
    return (f[:-1], p[:-1]) if segment % 2 == 0 else (f, p)


def light(n, mean=1e-4, seed=0):
    """Shot-noise-like light with a tone and a slow drift: a mean far above the noise."""
    rng = np.random.default_rng(seed)
    t = np.arange(n)
    return mean + 3e-8 * rng.standard_normal(n) + 1e-8 * np.sin(0.05 * t) + 1e-9 * t / n


# (samples, segment, mean): single segments, odd and even segments, a segment
# longer than the block, a zero-mean (balanced) signal, a mean 10^5 times the
# noise, and enough segments (>= 256) for float32 to be transformed in float32
CASES = [(5000, 4096, 1e-4), (4096, 4096, 1e-4), (100, 4096, 1e-4), (17, 16, 1e-4),
         (30_001, 1001, 1e-4), (30_000, 7, 1e-4), (20_000, 64, 0.0), (20_000, 64, 3e-3),
         (600_000, 4096, 1e-4)]


@pytest.mark.parametrize("n, segment, mean", CASES)
@pytest.mark.parametrize("dtype, tolerance", [(np.float64, 1e-12), (np.float32, 1e-5)])
def test_equals_scipy(n, segment, mean, dtype, tolerance):
    samples = light(n, mean).astype(dtype)
    spectrum = analysis.welch(samples, RATE, segment)
    frequency, density = scipy_density(samples, min(n, segment))
    np.testing.assert_array_equal(spectrum.frequency_hz, frequency)
    np.testing.assert_allclose(spectrum.density, density, rtol=tolerance, atol=0)
    assert spectrum.resolution_hz == RATE / min(n, segment)
    np.testing.assert_array_equal(analysis.psd_frequencies(RATE, n, segment), frequency)


@pytest.mark.parametrize("dtype, tolerance", [(np.float64, 1e-12), (np.float32, 1e-6)])
def test_batches_and_threads_do_not_change_the_numbers(monkeypatch, dtype, tolerance):
    samples = light(300 * 64, seed=3).astype(dtype)
    whole = analysis.welch(samples, RATE, 64).density
    monkeypatch.setattr(analysis._SegmentSums, "BATCH_BYTES", 3 * 64 * 8)   # a few segments a batch
    np.testing.assert_allclose(analysis.welch(samples, RATE, 64).density, whole, rtol=tolerance)
    np.testing.assert_allclose(analysis.welch(samples, RATE, 64, workers=2).density, whole,
                               rtol=tolerance)


def test_psd_takes_float64_integers_and_lists():
    codes = np.random.default_rng(1).integers(0, 16384, 10_000, dtype=np.uint16)
    expected = scipy_density(codes, 4096)[1]
    np.testing.assert_allclose(analysis.psd(codes, RATE).density, expected, rtol=1e-12)
    np.testing.assert_allclose(analysis.welch(codes.tolist(), RATE).density, expected, rtol=1e-12)
    power = light(600_000).astype(np.float32)      # welch would transform it in float32
    np.testing.assert_allclose(analysis.psd(power, RATE).density, scipy_density(power, 4096)[1],
                               rtol=1e-12)


@pytest.mark.parametrize("samples, message", [
    (np.ones(15), "at least 16 samples, not 15"),
    (np.ones((20, 2)), "one column of samples"),
])
def test_refusals(samples, message):
    with pytest.raises(ValueError, match=message):
        analysis.welch(samples, RATE)


# how the blocks come: every size around a segment and its step, one sample at a time
# at the start, blocks shorter than a segment throughout, and float32 blocks
SPLITS = [[1] * 40 + [4096] * 3 + [10_000, 77, 2048, 2049, 30_000], [1000] * 70, [70_000]]


@pytest.mark.parametrize("sizes", SPLITS)
@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_average_over_blocks_equals_one_estimate(sizes, dtype):
    samples = light(sum(sizes), seed=5).astype(dtype)
    average = analysis.WelchAverage(RATE, 4096)
    for block in np.split(samples, np.cumsum(sizes)[:-1]):
        average.add(block)
    one = analysis.welch(samples, RATE, 4096)
    assert average.samples == len(samples)
    np.testing.assert_array_equal(average.spectrum().frequency_hz, one.frequency_hz)
    np.testing.assert_allclose(average.spectrum().density, one.density, rtol=1e-12)


def test_average_of_fewer_samples_than_a_segment():
    samples = light(3000)
    average = analysis.WelchAverage(RATE, 4096)
    for block in np.array_split(samples, 7):
        average.add(block)
    np.testing.assert_allclose(average.spectrum().density, scipy_density(samples, 3000)[1], rtol=1e-12)


# (chunk, limits): inside, at either end, beyond, a NaN beside a clipped sample,
# float codes of a raw-mode stream, raw words whose port bits sit above the code
OVER_RANGE = [
    (np.full(1000, 100.0, np.float32), (0.0, 300.0), 0),
    (np.r_[np.full(999, 100.0), 0.0].astype(np.float32), (0.0, 300.0), 1),
    (np.r_[np.full(998, 100.0), 300.0, 301.0].astype(np.float32), (0.0, 300.0), 2),
    (np.r_[np.full(998, 100.0), np.nan, 300.0].astype(np.float32), (0.0, 300.0), 1),
    (np.r_[np.full(998, 100.0), np.nan, 200.0], (0.0, 300.0), 0),
    (np.r_[np.full(999, 8000.0), 16383.0].astype(np.float32), None, 1),
    (np.array([0x4000 | 5, 0x8000 | 16383, 0, 7], np.uint16), None, 2),
    (np.empty(0, np.float32), (0.0, 300.0), 0),
]


@pytest.mark.parametrize("chunk, limits, expected", OVER_RANGE)
def test_over_range_counts_past_the_extremes_check(chunk, limits, expected):
    """The recorder's count: a block's extremes decide most blocks, a NaN never hides a sample."""
    assert analysis.over_range_samples(chunk, limits) == expected
