"""Noise spectra of optical power against the shot-noise level, and plots.

::

    from zopy import analysis

    power_w = dev.get_calibrated_data(1_000_000) * 1e-6
    s = analysis.psd(power_w, dev.samplerate)            # Welch, W^2/Hz
    level = analysis.shot_noise_level(power_w.mean(), 1550)
    print(analysis.clearance_db(s, level, (10e3, 1e6)))  # dB above shot noise

    welch = analysis.WelchAverage(dev.samplerate)        # the same, block by block
    for block in numpy.array_split(power_w, 10):
        welch.add(block)
    s = welch.spectrum()

The shot-noise level is ``2 h nu P`` (one-sided, W²/Hz of optical power),
with P the mean power on a single photodiode, or for a balanced unit the
total power on both photodiodes (the balanced output's mean is P1 - P2,
which says nothing about it, so the caller gives it).

:func:`welch` is the estimate behind them all: scipy's Welch density,
computed in batches of strided segments (float32 kept in float32 where
enough segments are averaged), with ``workers`` threads for the transform.

scipy (its FFT) and matplotlib (plots, Agg backend, no display) come with
the ``tools`` extra.
"""

from __future__ import annotations

import dataclasses
import functools
import math
from collections.abc import Sequence
from typing import Any, cast

import numpy
import numpy.typing as npt

from ._extras import pyplot, require

PLANCK = 6.62607015e-34     # J s
LIGHT_SPEED = 299792458.0   # m/s
SEGMENT = 4096              # Welch's default segment, samples
FIGURE_SIZE = (8.0, 5.0)    # inches
DPI = 100                   # so figures are 800 x 500 pixels
PLOT_COLUMNS = 800          # the figure's width in pixels: a longer trace is drawn as an envelope

Floats = npt.NDArray[numpy.float64]
Samples = npt.NDArray[Any] | Sequence[float]   # what numpy.asarray takes and len() counts


@dataclasses.dataclass
class Spectrum:
    frequency_hz: numpy.ndarray
    density: numpy.ndarray      #: one-sided power spectral density, (units)^2/Hz
    resolution_hz: float        #: bin spacing


def shot_noise_level(power_w: float, wavelength_nm: float) -> float:
    """One-sided shot-noise density ``2 h nu P`` in W²/Hz."""
    return 2.0 * PLANCK * LIGHT_SPEED / (wavelength_nm * 1e-9) * power_w


def welch(samples: Samples, samplerate_hz: float, segment: int | None = None, *,
          workers: int | None = None) -> Spectrum:
    """Welch's one-sided density: Hann windows of ``segment`` samples (default
    4096, or the whole block when shorter), half overlap, each segment's mean
    removed, the bin at the Nyquist frequency of an even segment dropped.

    The numbers of ``scipy.signal.welch`` with those settings, several times
    faster: the segments are a strided view of the samples, transformed a few
    dozen at a time (memory bounded whatever the length) by ``scipy.fft``,
    ``workers`` threads of it. float32 samples are transformed in float32
    when hundreds of segments are averaged (1e-6 of scipy's float64 result).
    """
    data = _real_samples(samples)
    n = len(data)
    if n < 16:
        raise ValueError(f"a spectrum needs at least 16 samples, not {n}")
    nperseg = min(n, segment or SEGMENT)
    sums = _SegmentSums(nperseg, workers)
    sums.add(data)
    return sums.spectrum(samplerate_hz)


def psd(samples: Samples, samplerate_hz: float, segment: int | None = None) -> Spectrum:
    """Welch's estimate: Hann windows, half overlap, mean removed per segment
    (:func:`welch` of the samples in float64, one thread: what
    :class:`WelchAverage` gives block by block).

    ``segment`` defaults to 4096 samples, or the whole block when shorter.
    """
    return welch(numpy.asarray(samples, dtype=numpy.float64), samplerate_hz, segment)


def psd_frequencies(samplerate_hz: float, n: int, segment: int | None = None) -> Floats:
    """The frequencies of :func:`psd`'s bins for ``n`` samples, without computing it."""
    nperseg = min(n, segment or SEGMENT)
    return numpy.fft.rfftfreq(nperseg, 1.0 / samplerate_hz)[:_kept_bins(nperseg)]


def _kept_bins(nperseg: int) -> int:
    # The bin at the Nyquist frequency (even segments) is not doubled as a
    # one-sided density and lies where the antialias filter has cut: dropped.
    return nperseg // 2 if nperseg % 2 == 0 else nperseg // 2 + 1


def _real_samples(samples: Samples) -> npt.NDArray[numpy.floating[Any]]:
    """float32 stays float32 (:class:`_SegmentSums` says when it is transformed so); the rest
    is float64."""
    data = numpy.asarray(samples)
    if data.dtype != numpy.float32:
        data = data.astype(numpy.float64, copy=False)
    if data.ndim != 1:
        raise ValueError(f"a spectrum needs one column of samples, not an array of shape {data.shape}")
    return data


@functools.lru_cache(maxsize=8)
def _hann(nperseg: int, dtype: type[numpy.floating[Any]] = numpy.float64
          ) -> tuple[npt.NDArray[numpy.floating[Any]], npt.NDArray[numpy.complex128], float]:
    """scipy's periodic Hann window in ``dtype`` (read-only: it is shared), its
    transform at bins 0 and 1 (the rest is zero) and the sum of its squares."""
    window = 0.5 - 0.5 * numpy.cos(2.0 * numpy.pi * numpy.arange(nperseg) / nperseg)
    low_bins = numpy.fft.rfft(window)[:2]
    power = float(numpy.dot(window, window))
    window = window.astype(dtype)
    window.flags.writeable = False
    return window, low_bins, power


class _SegmentSums:
    """The sum of the segments' periodograms |FFT(window * (segment - its mean))|²
    over consecutive samples (whole segments only: the caller carries the rest).

    Each batch of segments is detrended in the time domain as scipy does, in
    float64 for float64 samples. For float32, the difference of a sample and
    the segment's mean rounded to float32 is exact to float32's rounding of
    the result (one correctly rounded subtraction), and the mean's own
    rounding, a constant per segment, is taken out of the two bins a Hann
    window's transform has (0 and 1); the window and the transform are then
    float32, which keeps 1e-7 of the noise itself rather than of the mean
    (when enough segments are averaged: FLOAT32_SEGMENTS).
    """

    BATCH_BYTES = 1 << 19       # the segments of one batch stay in the cache between passes
    FLOAT32_SEGMENTS = 256      # fewer, and float32 samples are transformed in float64

    def __init__(self, nperseg: int, workers: int | None = None) -> None:
        self.nperseg = nperseg
        self.step = nperseg - nperseg // 2              # half overlap
        self.workers = workers
        self.bins = _kept_bins(nperseg)
        self.total = numpy.zeros(self.bins)
        self.segments = 0
        self._fft = require("scipy.fft")

    def whole_segments(self, n: int) -> int:
        return (n - self.nperseg) // self.step + 1 if n >= self.nperseg else 0

    def add(self, data: npt.NDArray[numpy.floating[Any]]) -> int:
        """Adds the whole segments of ``data``; returns how many."""
        count = self.whole_segments(len(data))
        if not count:
            return 0
        # float32's transform errs by about 1e-7 of a segment's whole power in
        # every bin: only an average over many segments keeps the weakest bins
        # (filtered away, a millionth of the strongest) to 1e-6 of scipy's float64
        single = data.dtype == numpy.float32 and count >= self.FLOAT32_SEGMENTS
        dtype = numpy.float32 if single else numpy.float64
        segments = numpy.lib.stride_tricks.sliding_window_view(data, self.nperseg)[::self.step]
        batch = max(1, self.BATCH_BYTES // (self.nperseg * numpy.dtype(dtype).itemsize))
        window, window_bins, _ = _hann(self.nperseg, dtype)
        work = numpy.empty((min(batch, count), self.nperseg), dtype)
        for first in range(0, count, batch):
            rows = segments[first:first + batch]
            buffer = work[:len(rows)]
            means = rows.mean(axis=1, dtype=numpy.float64)
            if single:
                rounded = means.astype(numpy.float32)
                numpy.subtract(rows, rounded[:, numpy.newaxis], out=buffer)
            else:
                numpy.subtract(rows, means[:, numpy.newaxis], out=buffer)
            buffer *= window
            spectra = self._fft.rfft(buffer, axis=1, workers=self.workers, overwrite_x=True)
            spectra = spectra[:, :self.bins]
            if single:
                residue = means - rounded                   # what float32 lost of each mean
                low = min(2, self.bins)
                spectra[:, :low] -= (residue[:, numpy.newaxis] * window_bins[:low]).astype(spectra.dtype)
            parts = spectra.view(spectra.real.dtype)           # real and imaginary interleaved
            squares = numpy.einsum("ij,ij->j", parts, parts)
            self.total += squares.reshape(-1, 2).sum(axis=1, dtype=numpy.float64)
        self.segments += count
        return count

    def density(self, samplerate_hz: float) -> Floats:
        """The one-sided average density of the segments added (scipy's scaling)."""
        density = self.total / (self.segments * samplerate_hz * _hann(self.nperseg)[2])
        density[1:] *= 2.0          # the Nyquist bin, the one not doubled, is not there
        return density

    def spectrum(self, samplerate_hz: float) -> Spectrum:
        return Spectrum(psd_frequencies(samplerate_hz, self.nperseg, self.nperseg),
                        self.density(samplerate_hz), samplerate_hz / self.nperseg)


class WelchAverage:
    """:func:`psd` of consecutive blocks of samples, taken one block at a time
    in memory independent of their number.

    The segments wholly inside what has come so far are transformed as they
    complete, their periodograms summed; the part of a segment that overlaps
    the next block is carried over. So the spectrum equals :func:`psd` of all
    the samples at once (to rounding), also when they are fewer than a segment.
    Samples are taken in float64 whatever their type, as :func:`psd` takes them:
    float32's own transform would make the result depend on the blocks' sizes.
    """

    def __init__(self, samplerate_hz: float, segment: int | None = None, *,
                 workers: int | None = None) -> None:
        self.samplerate_hz = samplerate_hz
        self.segment = segment or SEGMENT
        self.step = self.segment - self.segment // 2       # psd's half overlap
        self.samples = 0
        self.workers = workers
        self._sums = _SegmentSums(self.segment, workers)
        self._carry: npt.NDArray[Any] = numpy.empty(0)

    def add(self, samples: Samples) -> None:
        """The next samples, consecutive with those added before."""
        data = _real_samples(numpy.asarray(samples, dtype=numpy.float64))
        self.samples += len(data)
        block = numpy.concatenate((self._carry, data)) if len(self._carry) else data
        whole = self._sums.add(block)
        self._carry = block[whole * self.step:].copy()    # not a view that keeps the block

    def spectrum(self) -> Spectrum:
        if self.samples < 16:
            raise ValueError(f"a spectrum needs at least 16 samples, not {self.samples}")
        if not self._sums.segments:      # fewer samples than a segment: one of them all, as psd()
            return psd(self._carry, self.samplerate_hz, len(self._carry))
        return self._sums.spectrum(self.samplerate_hz)


class Moments:
    """Count, mean and standard deviation of consecutive blocks of samples,
    merged block by block (Chan's pairwise update: no sum of squares to cancel)."""

    def __init__(self) -> None:
        self.count, self.mean, self._m2 = 0, 0.0, 0.0

    def add(self, samples: Samples) -> None:
        samples = numpy.asarray(samples, dtype=numpy.float64)
        n = len(samples)
        if not n:
            return
        mean = float(samples.mean())
        m2 = float(((samples - mean) ** 2).sum())
        total = self.count + n
        delta = mean - self.mean
        self._m2 += m2 + delta * delta * self.count * n / total
        self.mean += delta * n / total
        self.count = total

    @property
    def std(self) -> float:
        """Population standard deviation, as numpy's std()."""
        return math.sqrt(self._m2 / self.count) if self.count else math.nan


# ------------------------------------------------------------------ over range

ADC_BITS = 14


def over_range_limits(calibration: Any, *, scale: float = 1.0,
                      adc_bits: int = ADC_BITS) -> tuple[float, float] | None:
    """(low, high): what the ADC's lowest and highest codes (0 and 2**adc_bits - 1)
    become under ``calibration`` [gain, offset], times ``scale``; ``None`` for raw codes.

    For a block of :meth:`zopy.Device.get_calibrated_data` at a wavelength, the
    calibration is ``device.get_rel_calibration(wavelength)`` (at the current
    gain); for a stream, :func:`stream_limits` gives them.
    """
    if calibration is None:
        return None
    gain, offset = float(calibration[0]), float(calibration[1])
    ends = (offset * scale, (gain * ((1 << adc_bits) - 1) + offset) * scale)
    return min(ends), max(ends)


def stream_limits(stream: Any) -> tuple[float, float] | None:
    """The limits of a stream's output: raw codes in raw mode, else its
    calibration scaled to its units (``calibration_units``, a power of ten of the watt)."""
    if stream.calibration_mode == "raw":
        return None
    return over_range_limits(stream.calibration, scale=10.0 ** (-6 - stream.calibration_units))


def over_range_samples(samples: Samples, limits: tuple[float, float] | None = None, *,
                       adc_bits: int = ADC_BITS) -> int:
    """How many samples sit at the ADC's limits, where the reading is clipped.

    ``limits`` None: ``samples`` are raw words, whose low ``adc_bits`` bits are
    the code (the ports' bits above are ignored), over range at code 0 or
    2**adc_bits - 1; float samples are codes as numbers (a raw-mode stream's
    output), over range at or beyond those two. Otherwise the (low, high) of :func:`over_range_limits`:
    samples at or beyond either, within the rounding of float32 output.
    """
    samples = numpy.asarray(samples)
    full = (1 << adc_bits) - 1
    if limits is None:
        if samples.dtype.kind == "f":       # codes as numbers (a stream in raw mode)
            limits = (0.0, float(full))
        else:
            codes = samples & full
            return int(numpy.count_nonzero(codes == 0) + numpy.count_nonzero(codes == full))
    low, high = limits
    slack = 1e-6 * (high - low)      # float32 keeps about 7 digits of the span
    return int(numpy.count_nonzero(samples <= low + slack)
               + numpy.count_nonzero(samples >= high - slack))


def default_band(samplerate_hz: float) -> tuple[float, float]:
    """fs/1000 to fs/50: above the lowest bins (mean removal, drift), below the
    antialias filter's roll-off."""
    return (samplerate_hz * 1e-3, samplerate_hz * 0.02)


def band_mean(spectrum: Spectrum, band: tuple[float, float]) -> float:
    low, high = band
    inside = (spectrum.frequency_hz >= low) & (spectrum.frequency_hz <= high)
    if not inside.any():
        raise ValueError(f"no frequency bin in {low:g}..{high:g} Hz")
    return float(spectrum.density[inside].mean())


def clearance_db(spectrum: Spectrum, level: float, band: tuple[float, float]) -> float:
    """The mean density over ``band`` relative to ``level``, in dB."""
    return cast(float, 10.0 * numpy.log10(band_mean(spectrum, band) / level))   # a numpy.float64


def plot_spectrum(spectrum: Spectrum, path: Any, *, level: float | None = None,
                  band: tuple[float, float] | None = None, clearance: float | None = None,
                  db: bool = False, title: str = "", units: str = "W") -> None:
    """Log-log spectrum as PNG: with the shot-noise line when ``level`` is given,
    ``band`` shaded (its ``clearance`` in dB in the legend); with ``db``, the
    density relative to ``level`` in dB (0 dB: shot-noise-limited)."""
    if db and level is None:
        raise ValueError("a spectrum relative to shot noise needs its level")
    plt = pyplot()
    fig, ax = plt.subplots(figsize=FIGURE_SIZE, dpi=DPI)
    try:
        f, p = spectrum.frequency_hz[1:], spectrum.density[1:]   # no DC bin on a log axis
        if db:
            with numpy.errstate(divide="ignore"):
                ax.semilogx(f, 10.0 * numpy.log10(p / level), lw=0.8, label="measured")
            ax.axhline(0.0, color="C3", ls="--", label=f"shot noise 2hνP = {level:.3g} {units}²/Hz")
            ax.set_ylabel("density relative to shot noise (dB)")
        else:
            ax.loglog(f, p, lw=0.8, label="measured")
            if level is not None:
                ax.axhline(level, color="C3", ls="--",
                           label=f"shot noise 2hνP = {level:.3g} {units}²/Hz")
            ax.set_ylabel(f"power spectral density ({units}²/Hz)")
        if band is not None:
            text = f"band {band[0]:g} to {band[1]:g} Hz"
            if clearance is not None:
                text += f": clearance {clearance:+.2f} dB"
            ax.axvspan(band[0], band[1], color="C2", alpha=0.15, label=text)
        ax.set_xlabel("frequency (Hz)")
        ax.set_title(title)
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(loc="best")
        fig.savefig(path, dpi=DPI)
    finally:
        plt.close(fig)


class Envelope:
    """Minimum and maximum of each of ``columns`` consecutive runs of a window
    of ``length`` samples, taken from consecutive blocks as they come: what a
    trace of more samples than pixels shows, in memory of the columns only."""

    def __init__(self, length: int, columns: int = PLOT_COLUMNS) -> None:
        if length < 1:
            raise ValueError("an envelope needs at least one sample")
        self.length = length
        self.columns = min(columns, length)
        # column c holds the samples from starts[c] to starts[c + 1]
        # (in Python's integers: length * columns may not fit in 64 bits)
        self.starts = numpy.array([(c * length + self.columns - 1) // self.columns
                                   for c in range(self.columns + 1)], dtype=numpy.int64)
        self.low = numpy.full(self.columns, numpy.inf)
        self.high = numpy.full(self.columns, -numpy.inf)
        self.filled = 0

    def add(self, samples: Samples) -> None:
        """The next samples of the window, consecutive with those added before."""
        samples = numpy.asarray(samples)
        begin, end = self.filled, self.filled + len(samples)
        if end > self.length:
            raise ValueError(f"the window holds {self.length} samples, not {end}")
        if not len(samples):
            return
        first = begin * self.columns // self.length
        last = (end - 1) * self.columns // self.length
        cuts = numpy.maximum(self.starts[first:last + 1], begin) - begin
        columns = slice(first, last + 1)
        self.low[columns] = numpy.minimum(self.low[columns], numpy.minimum.reduceat(samples, cuts))
        self.high[columns] = numpy.maximum(self.high[columns], numpy.maximum.reduceat(samples, cuts))
        self.filled = end


def plot_trace(samples: Samples | Envelope, path: Any, *, samplerate_hz: float,
               units: str = "", title: str = "") -> None:
    """A time trace as PNG, against time in seconds, ``units`` labelling the
    values. Give an :class:`Envelope` for a trace longer than the plot is wide."""
    plt = pyplot()
    fig, ax = plt.subplots(figsize=FIGURE_SIZE, dpi=DPI)
    try:
        scale = 1.0 / samplerate_hz
        if isinstance(samples, Envelope):
            # each column's extremes as a band, its edges drawn so a flat trace shows
            x = samples.starts * scale
            ax.fill_between(x, numpy.append(samples.low, samples.low[-1]),
                            numpy.append(samples.high, samples.high[-1]), step="post",
                            lw=0.6, color="C0", edgecolor="C0",
                            label=f"min and max of every {samples.length / samples.columns:.4g} "
                                  f"samples ({samples.length} in all)")
            ax.legend(loc="upper right")
        else:
            ax.plot(numpy.arange(len(samples)) * scale, samples, lw=0.6)
        ax.set_xlabel("time (s)")
        ax.set_ylabel(units)
        ax.set_title(title)
        ax.grid(True, alpha=0.3)
        fig.savefig(path, dpi=DPI)
    finally:
        plt.close(fig)
