"""Noise spectra of optical power against the shot-noise level, and plots.

::

    from zopy import analysis

    power_w = dev.get_calibrated_data(1_000_000) * 1e-6
    s = analysis.psd(power_w, dev.samplerate)            # Welch, W^2/Hz
    level = analysis.shot_noise_level(power_w.mean(), 1550)
    chain = analysis.fresh_block_chain(dev.samplerate, dev.antialias)
    band = (10e3, 200e3)
    print(analysis.excess_noise_db(s, level, band, chain))   # dB over shot noise (0: limited)
    dark = analysis.dark_spectrum([blocked_w], dev.samplerate)  # taken with the light blocked
    print(analysis.shot_noise_clearance_db(s, dark, band))   # dB over the dark floor

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

    BATCH_BYTES = 1 << 20       # a batch stays in the cache between passes, and few batches hold the lock little
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
    # Most blocks stay inside the range: their extremes, two passes that make
    # no temporary array, say so. A NaN makes both extremes NaN (and every
    # comparison false), so such a block is counted sample by sample.
    if samples.size and samples.min() > low + slack and samples.max() < high - slack:
        return 0
    return int(numpy.count_nonzero(samples <= low + slack)
               + numpy.count_nonzero(samples >= high - slack))


def block_limits(device: Any, wavelength_nm: float, *, scale: float = 1.0) -> tuple[float, float] | None:
    """The limits of a block of ``device.get_calibrated_data`` at ``wavelength_nm``
    (at the gain set now), times ``scale`` (1: µW)."""
    return over_range_limits(device.get_rel_calibration(wavelength_nm), scale=scale)


# ------------------------------------------------------------------ units

@dataclasses.dataclass(frozen=True)
class PowerUnit:
    """A unit of optical power."""
    name: str          #: as files and the command line write it: "uW"
    symbol: str        #: as people read it: "µW"
    exponent: int      #: its power of ten of the watt, as a stream's calibration_units

    @property
    def watts(self) -> float:
        return 10.0 ** self.exponent


POWER_UNITS = (PowerUnit("uW", "µW", -6), PowerUnit("mW", "mW", -3), PowerUnit("W", "W", 0))
COUNTS = "counts"      #: the units of raw ADC codes
SAMPLE_UNITS = (COUNTS, *(unit.name for unit in POWER_UNITS))   #: what samples may be in


def power_unit(key: str | int) -> PowerUnit | None:
    """The unit of power named ``key`` ("uW", "µW") or of the exponent ``key`` (-6); None if none."""
    for unit in POWER_UNITS:
        if key in (unit.name, unit.symbol, unit.exponent) and not isinstance(key, bool):
            return unit
    return None


def units_name(exponent: int) -> str:
    """What a stream calibrated to 10**exponent W writes as its units."""
    unit = power_unit(exponent)
    return unit.name if unit is not None else f"1e{exponent} W"


def axis_label(units: str) -> str:
    """The label of an axis of samples in ``units`` (a name of :data:`SAMPLE_UNITS`)."""
    if units == COUNTS:
        return "ADC code"
    unit = power_unit(units)
    return f"power ({unit.symbol})" if unit is not None else "value"


# ------------------------------------------------------------------ shot noise

def is_lit(mean: float, std: float) -> bool:
    """Whether light reaches a photodiode: its mean power stands above its noise
    (in the dark the mean, an offset, is lost in the noise)."""
    return mean > std


def shot_noise_power(mean: float, std: float, *, balanced: bool,
                     total_power: float | None = None) -> float | None:
    """The optical power whose shot noise is the reference, in the units of the
    arguments: ``total_power`` when given (for a balanced unit, the power on
    both photodiodes together); else a single photodiode's ``mean`` power when
    it is lit; None when it is not known (see :func:`unknown_shot_noise`).
    A balanced unit's output is P1 - P2, which says nothing of P1 + P2."""
    if total_power is not None:
        return total_power
    if balanced or not is_lit(mean, std):
        return None
    return mean


def unknown_shot_noise(balanced: bool) -> str:
    """Why :func:`shot_noise_power` did not know the power."""
    return "a balanced unit's output is P1 - P2" if balanced else "no light on the photodiode"


def default_band(samplerate_hz: float) -> tuple[float, float]:
    """fs/1000 to fs/50: above the lowest bins (mean removal, drift), below the
    antialias filter's roll-off."""
    return (samplerate_hz * 1e-3, samplerate_hz * 0.02)


def band_mean(spectrum: Spectrum, band: tuple[float, float]) -> float:
    return float(spectrum.density[_in_band(spectrum.frequency_hz, band)].mean())


def clearance_db(spectrum: Spectrum, level: float, band: tuple[float, float]) -> float:
    """:func:`excess_noise_db` against a flat ``level``, under the name it had
    before the clearance over a dark floor (:func:`shot_noise_clearance_db`)
    took it; kept for programs that call it."""
    return excess_noise_db(spectrum, level, band)


def plot_spectrum(spectrum: Spectrum, path: Any, *, level: float | None = None,
                  band: tuple[float, float] | None = None, clearance: float | None = None,
                  db: bool = False, title: str = "", units: str = "W",
                  reference: npt.ArrayLike | None = None, dark: Spectrum | None = None,
                  detector: tuple[float, float] | None = None,
                  excess: float | None = None) -> None:
    """Log-log spectrum as PNG with up to three lines: measured, the shot-noise
    reference (``reference`` per bin, the level through the chain, or flat at
    ``level``) and the ``dark`` floor. ``band`` is shaded, with its ``excess``
    noise over shot noise and ``clearance`` over the dark floor (dB) in the
    legend; outside ``detector``, the detector's band, the plot is greyed.
    With ``db``, every line is divided by the reference (0 dB: shot-noise-limited)."""
    if db and level is None and reference is None:
        raise ValueError("a spectrum relative to shot noise needs its level")
    plt = pyplot()
    fig, ax = plt.subplots(figsize=FIGURE_SIZE, dpi=DPI)
    try:
        f, p = spectrum.frequency_hz[1:], spectrum.density[1:]   # no DC bin on a log axis
        shot: Floats | None = None
        if reference is not None:
            shot = numpy.asarray(reference, dtype=numpy.float64)[1:]
        elif level is not None:
            shot = numpy.full(f.shape, level)
        filtered = reference is not None
        shot_label = (f"shot noise 2hνP = {level:.3g} {units}²/Hz" if level is not None
                      else "shot noise") + (" through the chain" if filtered else "")
        divisor = shot if db and shot is not None else numpy.ones(f.shape)

        def scale(x: Floats) -> Floats:
            return 10.0 * numpy.log10(x / divisor) if db else x

        draw = ax.semilogx if db else ax.loglog
        with numpy.errstate(divide="ignore", invalid="ignore"):
            draw(f, scale(p), lw=0.8, label="measured")
            if shot is not None:
                draw(f, scale(shot), color="C3", ls="--", label=shot_label)
            if dark is not None:
                draw(f, scale(dark.density[1:]), color="0.35", lw=0.8, label="dark (light blocked)")
        ax.set_ylabel("density relative to shot noise (dB)" if db
                      else f"power spectral density ({units}²/Hz)")
        if band is not None:
            numbers = [f"excess {excess:+.2f} dB over shot noise" if excess is not None else "",
                       f"clearance {clearance:+.2f} dB over dark" if clearance is not None else ""]
            text = f"band {band[0]:g} to {band[1]:g} Hz"
            if any(numbers):
                text += ": " + ", ".join(n for n in numbers if n)
            ax.axvspan(band[0], band[1], color="C2", alpha=0.15, label=text)
        if detector is not None:
            for i, (low, high) in enumerate(outside_band(f, detector)):
                ax.axvspan(low, high, color="0.5", alpha=0.25, hatch="//",
                           label="outside the detector's band (chain > 3 dB down)" if not i else None)
        ax.set_xlabel("frequency (Hz)")
        _finish(fig, ax, path, title)
    finally:
        plt.close(fig)


def plot_linearity(powers: npt.ArrayLike, densities: npt.ArrayLike, fit: Linearity, path: Any, *,
                   dark: float | None = None, shot: npt.ArrayLike | None = None,
                   power_units: str = "µW", title: str = "") -> None:
    """The linearity test as PNG, log-log against optical power: the noise
    measured at each power, the noise above the ``dark`` floor (what ``fit``
    fitted) with the fit and its slope, the dark floor, and ``shot`` (the
    shot-noise level at each power) when given."""
    plt = pyplot()
    fig, ax = plt.subplots(figsize=FIGURE_SIZE, dpi=DPI)
    try:
        p = numpy.asarray(powers, dtype=numpy.float64)
        s = numpy.asarray(densities, dtype=numpy.float64)
        ax.loglog(p, s, "o", color="C0", label="measured")
        if dark is not None:
            ax.loglog(p, s - dark, "s", color="C1", mfc="none", label="above the dark floor")
            ax.axhline(dark, color="0.35", lw=0.8, label=f"dark floor {dark:.3g} W²/Hz")
        line = numpy.geomspace(p.min(), p.max(), 50)
        error = "" if math.isnan(fit.slope_error) else f" ± {fit.slope_error:.3f}"
        ax.loglog(line, fit.density(line), color="C1",
                  label=f"fit: slope {fit.slope:.3f}{error} ({fit.regime})")
        if shot is not None:
            ax.loglog(p, numpy.asarray(shot, dtype=numpy.float64), "--", color="C3",
                      label="shot noise 2hνP")
        ax.set_xlabel(f"optical power ({power_units})")
        ax.set_ylabel("noise density in the band (W²/Hz)")
        _finish(fig, ax, path, title)
    finally:
        plt.close(fig)


def _finish(fig: Any, ax: Any, path: Any, title: str) -> None:
    """Titles a log-log figure, grids and labels it and saves it as PNG, the
    title also in the file's metadata."""
    ax.set_title(title)
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(loc="best", fontsize="small")
    fig.savefig(path, dpi=DPI, metadata={"Title": title})


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
        fig.savefig(path, dpi=DPI, metadata={"Title": title})
    finally:
        plt.close(fig)


# ------------------------------------------------------------------ the chain's response

ANTIALIAS_FRACTION = 0.1    #: the antialias filter's corner, as a fraction of the sample rate
STREAM_FILTER_ORDER = 4     #: a stream's Butterworth filter
_TERMS_AT_ONCE = 1 << 20    #: frequencies x aliases evaluated in one array (bounded memory)


@dataclasses.dataclass(frozen=True)
class Chain:
    """What lies between the photodiode and the samples: the antialias filter
    (one pole at :data:`ANTIALIAS_FRACTION` of the instrument's rate) and a
    stream's filter, averaging of ``downsampling`` and decimation by
    ``decimation``, all at ``input_samplerate_hz``, the instrument's rate."""
    input_samplerate_hz: float
    antialias: bool = False
    filter: str = "none"                  #: "none", "lowpass" or "highpass"
    cutoff_hz: float | None = None
    downsampling: int = 1
    decimation: int = 1

    @property
    def samplerate_hz(self) -> float:
        """The rate of the samples out of the chain."""
        return self.input_samplerate_hz / (self.downsampling * self.decimation)

    @classmethod
    def from_attributes(cls, attrs: Any, samplerate_hz: float) -> Chain:
        """The chain a recording's attributes describe (``input_samplerate_hz``,
        ``antialias``, ``filter``, ``cutoff_hz``, ``downsampling``,
        ``decimation``); what they leave out is taken as absent."""
        get = attrs.get
        filter_name = str(get("filter") or "none")
        cutoff = get("cutoff_hz")
        return cls(input_samplerate_hz=float(get("input_samplerate_hz") or samplerate_hz),
                   antialias=bool(get("antialias", False)),
                   filter=filter_name if cutoff is not None else "none",
                   cutoff_hz=None if cutoff is None else float(cutoff),
                   downsampling=int(get("downsampling") or 1),
                   decimation=int(get("decimation") or 1))

    def _butterworth(self, x: Floats, kind: str) -> Floats:
        """|H|² of the stream's Butterworth as a ``kind`` filter at input-rate
        frequencies ``x`` (in cycles per sample). It is the bilinear transform
        of the analog design (scipy.signal.butter's), so
        |H|² = 1 / (1 + (tan(pi x) / tan(pi fc/fs))**(2 order)) for a low-pass."""
        ratio = numpy.tan(numpy.pi * x) / math.tan(
            math.pi * cast(float, self.cutoff_hz) / self.input_samplerate_hz)
        with numpy.errstate(divide="ignore", over="ignore"):
            if kind == "highpass":
                ratio = 1.0 / ratio
            return 1.0 / (1.0 + ratio ** (2 * STREAM_FILTER_ORDER))

    def gain(self, frequency_hz: npt.ArrayLike, *, stream_filter: bool = True) -> Floats:
        """|G(f)|² at input-rate frequencies: antialias, filter (unless
        ``stream_filter`` is False) and the mean of ``downsampling`` samples,
        before decimation folds them."""
        f = numpy.asarray(frequency_hz, dtype=numpy.float64)
        x = f / self.input_samplerate_hz
        power = numpy.ones(f.shape)
        if self.antialias:
            a = 1.0 - math.exp(-2.0 * math.pi * ANTIALIAS_FRACTION)
            power *= a * a / (1.0 - 2.0 * (1.0 - a) * numpy.cos(2.0 * numpy.pi * x) + (1.0 - a) ** 2)
        if stream_filter and self.filter != "none" and self.cutoff_hz is not None:
            power *= self._butterworth(x, self.filter)
        n = self.downsampling
        if n > 1:
            sine = numpy.sin(numpy.pi * x)
            exact = numpy.abs(sine) < 1e-12       # whole multiples of the rate: the mean passes
            with numpy.errstate(divide="ignore", invalid="ignore"):
                box = numpy.where(exact, 1.0, numpy.sin(numpy.pi * n * x) / (n * sine))
            power *= box ** 2
        return power

    def near_pass_band(self, highest_hz: float) -> npt.NDArray[numpy.int64]:
        """The k of the aliases f + k fs_out (f from 0 to ``highest_hz``) within
        reach of a low-pass filter's pass band at either end of the input
        rate's circle: beyond them the low-pass is down by more than 200 dB."""
        count = self.downsampling * self.decimation
        every = numpy.arange(count, dtype=numpy.int64)
        # |H|² < 1e-20 where tan(pi f/fs) exceeds 10**(20 / (2 order)) times the corner's
        reach = self.input_samplerate_hz / math.pi * math.atan(
            10.0 ** (20.0 / (2 * STREAM_FILTER_ORDER))
            * math.tan(math.pi * cast(float, self.cutoff_hz) / self.input_samplerate_hz))
        near = math.ceil(reach / self.samplerate_hz) + 1
        top = math.floor((self.input_samplerate_hz - reach - highest_hz) / self.samplerate_hz) - 1
        if top <= near:
            return every
        return numpy.concatenate((every[:near], every[top:]))


def _alias_sum(f: Floats, chain: Chain, ks: npt.NDArray[numpy.int64],
               weight: Any = None) -> Floats:
    """The sum over the aliases ``ks`` of |G|² (times ``weight`` of the
    input-rate frequencies, instead of the stream's filter, when given), in
    pieces of bounded size."""
    total = numpy.zeros(f.shape)
    step = max(1, _TERMS_AT_ONCE // max(1, f.size))
    for first in range(0, len(ks), step):
        shifted = f.reshape(-1, 1) + ks[first:first + step] * chain.samplerate_hz
        if weight is None:
            terms = chain.gain(shifted)
        else:
            terms = chain.gain(shifted, stream_filter=False) * weight(shifted)
        total += terms.sum(axis=1)
    return total


def _unfiltered_response(f: Floats, chain: Chain) -> Floats:
    """R(f) of the antialias filter and the mean alone, from the autocorrelation
    r of their impulse response g at lags of D input samples:
    R(f) = D (r[0] + 2 sum over m >= 1 of r[mD] cos(2 pi f m / fs_out)).
    g is short (the mean's N samples and the pole's 1e-18 tail), so this is
    exact and cheap for any D, where the sum of D aliases is not."""
    g = numpy.full(chain.downsampling, 1.0 / chain.downsampling)
    if chain.antialias:
        a = 1.0 - math.exp(-2.0 * math.pi * ANTIALIAS_FRACTION)
        taps = math.ceil(math.log(1e-18) / math.log(1.0 - a)) + 1
        g = numpy.convolve(g, a * (1.0 - a) ** numpy.arange(taps))
    d = chain.downsampling * chain.decimation
    total = numpy.full(f.shape, d * float(g @ g))
    for m in range(1, (len(g) - 1) // d + 1):
        lag = m * d
        total += 2.0 * d * float(g[:-lag] @ g[lag:]) * numpy.cos(
            2.0 * numpy.pi * f * m / chain.samplerate_hz)
    return total


def chain_response(frequency_hz: npt.ArrayLike, chain: Chain) -> Floats:
    """R(f): the density out of ``chain`` at output frequency f for white input
    of density 1 (one-sided): the sum over the D = downsampling x decimation
    aliases, f + k fs_out for k = 0..D-1, of the input-rate response |G|²;
    1 for averaging alone, ``decimation`` for decimation alone.

    Behind a low-pass only the aliases near its pass band are summed; without
    a stream filter the sum is taken from the impulse response; a high-pass
    is that less the aliases near DC times what the high-pass takes away
    (1 - |H|², the matching low-pass's |H|²)."""
    f = numpy.asarray(frequency_hz, dtype=numpy.float64)
    flat = f.reshape(-1)
    highest = float(flat.max()) if flat.size else 0.0
    if chain.filter == "lowpass" and chain.cutoff_hz is not None:
        total = _alias_sum(flat, chain, chain.near_pass_band(highest))
    else:
        total = _unfiltered_response(flat, chain)
        if chain.filter == "highpass" and chain.cutoff_hz is not None:
            def taken_away(nu: Floats) -> Floats:
                return chain._butterworth(nu / chain.input_samplerate_hz, "lowpass")
            total = numpy.maximum(total - _alias_sum(flat, chain, chain.near_pass_band(highest),
                                                     taken_away), 0.0)
    return total.reshape(f.shape)


def fresh_block_chain(samplerate_hz: float, antialias: bool) -> Chain:
    """The chain of blocks read straight from the instrument: the antialias filter only."""
    return Chain(input_samplerate_hz=samplerate_hz, antialias=antialias)


def detector_band(frequency_hz: npt.ArrayLike, response: npt.ArrayLike) -> tuple[float, float]:
    """The frequencies, around the peak of ``response`` (DC aside), where it is
    within 3 dB of that peak: the detector's band. Outside it a reading says
    more about the filters than about the light."""
    f = numpy.asarray(frequency_hz, dtype=numpy.float64)
    r = numpy.asarray(response, dtype=numpy.float64)
    usable = f > 0
    f, r = f[usable], r[usable]
    if not len(f) or not numpy.any(r > 0):
        raise ValueError("the chain passes nothing at these frequencies")
    peak = int(numpy.argmax(r))
    inside = r >= r[peak] * 10.0 ** (-0.3)
    low = peak
    while low > 0 and inside[low - 1]:
        low -= 1
    high = peak
    while high < len(f) - 1 and inside[high + 1]:
        high += 1
    return float(f[low]), float(f[high])


def band_in_detector(samplerate_hz: float, detector: tuple[float, float]) -> tuple[float, float]:
    """:func:`default_band` cut to the detector's band; the detector's band
    itself when the two do not overlap."""
    low, high = default_band(samplerate_hz)
    low, high = max(low, detector[0]), min(high, detector[1])
    return (low, high) if low < high else detector


def outside_band(frequency_hz: npt.ArrayLike, band: tuple[float, float]) -> list[tuple[float, float]]:
    """The stretches of ``frequency_hz`` (DC aside) below and above ``band``, to shade."""
    f = numpy.asarray(frequency_hz, dtype=numpy.float64)
    f = f[f > 0]
    spans = []
    if len(f) and f[0] < band[0]:
        spans.append((float(f[0]), band[0]))
    if len(f) and f[-1] > band[1]:
        spans.append((band[1], float(f[-1])))
    return spans


# ------------------------------------------------------------------ excess noise and clearance

def shot_noise_reference(frequency_hz: npt.ArrayLike, level: float, chain: Chain | None) -> Floats:
    """The shot-noise density as the samples show it: ``level`` (2 h nu P) times
    the chain's response R(f); flat without a chain."""
    f = numpy.asarray(frequency_hz, dtype=numpy.float64)
    if chain is None:
        return numpy.full(f.shape, level)
    return level * chain_response(f, chain)


def _in_band(frequency_hz: Floats, band: tuple[float, float]) -> npt.NDArray[numpy.bool_]:
    inside = (frequency_hz >= band[0]) & (frequency_hz <= band[1])
    if not inside.any():
        raise ValueError(f"no frequency bin in {band[0]:g}..{band[1]:g} Hz")
    return inside


def excess_noise_db(spectrum: Spectrum, level: float, band: tuple[float, float],
                    chain: Chain | None = None) -> float:
    """Excess noise over shot noise: the measured noise power in ``band`` over
    the shot-noise reference's (2 h nu P, through ``chain``), in dB; 0 dB is
    shot-noise-limited, above it the detector adds noise of its own."""
    inside = _in_band(spectrum.frequency_hz, band)
    reference = shot_noise_reference(spectrum.frequency_hz[inside], level, chain)
    return over_reference_db(spectrum.density[inside], reference)


def over_reference_db(density: Floats, reference: Floats) -> float:
    """The noise power of ``density`` over that of ``reference`` (the same bins), in dB."""
    return float(10.0 * numpy.log10(density.mean() / reference.mean()))


def same_bins(spectrum: Spectrum, other: Spectrum) -> bool:
    """Whether two spectra have the same frequency bins (to a thousandth of a
    bin, as a spectrum written to a .csv keeps them)."""
    return len(spectrum.frequency_hz) == len(other.frequency_hz) and bool(numpy.allclose(
        spectrum.frequency_hz, other.frequency_hz, rtol=0, atol=1e-3 * spectrum.resolution_hz))


def shot_noise_clearance_db(spectrum: Spectrum, dark: Spectrum, band: tuple[float, float]) -> float:
    """Clearance: the measured noise power in ``band`` with light over that of
    the ``dark`` reference (the electronics alone), in dB; how far the light's
    noise stands above the detector's floor."""
    if not same_bins(spectrum, dark):
        raise ValueError("the dark reference has other frequency bins than the spectrum "
                         "(another sample rate or segment)")
    return float(10.0 * numpy.log10(band_mean(spectrum, band) / band_mean(dark, band)))


def dark_spectrum(blocks: Sequence[Samples], samplerate_hz: float,
                  segment: int | None = None) -> Spectrum:
    """The electronic noise floor: :func:`psd` of blocks taken with the light
    blocked, averaged weighted by their length (the blocks need not be consecutive)."""
    total: Floats | None = None
    weight = 0
    s: Spectrum | None = None
    for block in blocks:
        s = psd(block, samplerate_hz, segment)
        total = s.density * len(block) if total is None else total + s.density * len(block)
        weight += len(block)
    if s is None or total is None:
        raise ValueError("a dark spectrum needs at least one block")
    return Spectrum(s.frequency_hz, total / weight, s.resolution_hz)


# ------------------------------------------------------------------ linearity

#: slope of noise power against optical power -> what dominates the noise
REGIMES = ((0.0, "electronic noise"), (1.0, "shot-noise-limited"), (2.0, "classical intensity noise"))
REGIME_TOLERANCE = 0.2


@dataclasses.dataclass(frozen=True)
class Linearity:
    """The fit of log10(noise) = slope * log10(power) + intercept."""
    slope: float
    slope_error: float       #: standard error of the slope (nan with two points)
    intercept: float
    regime: str              #: which noise dominates, from the slope

    def density(self, power: npt.ArrayLike) -> Floats:
        """The fitted noise density at ``power``."""
        return 10.0 ** (self.intercept + self.slope
                        * numpy.log10(numpy.asarray(power, dtype=numpy.float64)))


def regime(slope: float, tolerance: float = REGIME_TOLERANCE) -> str:
    """The regime whose slope is within ``tolerance`` of ``slope``, or the two it lies between."""
    for expected, name in REGIMES:
        if abs(slope - expected) <= tolerance:
            return name
    below = [name for expected, name in REGIMES if expected < slope]
    above = [name for expected, name in REGIMES if expected > slope]
    if below and above:
        return f"between {below[-1]} and {above[0]}"
    return f"steeper than {REGIMES[-1][1]}" if below else "falling with power"


def linearity(powers: npt.ArrayLike, densities: npt.ArrayLike, *,
              dark: float | None = None) -> Linearity:
    """The slope of noise density against optical power on a log-log scale,
    with its standard error and regime: 1 shot-noise-limited, 2 classical
    intensity noise, 0 electronic. ``dark``, the density with the light
    blocked, is subtracted first (noise above the dark floor), so that the
    slope is that of the light's own noise."""
    p = numpy.asarray(powers, dtype=numpy.float64)
    s = numpy.asarray(densities, dtype=numpy.float64)
    if p.shape != s.shape or p.ndim != 1 or len(p) < 2:
        raise ValueError("the linearity test needs two or more powers, each with its density")
    if numpy.any(~(p > 0)):
        raise ValueError("every power must be positive")
    if dark is not None:
        s = s - dark
    if numpy.any(~(s > 0)):
        worst = float(p[numpy.argmin(s)])
        raise ValueError(f"the noise at {worst:g} is not above the dark floor: "
                         "more light or longer blocks")
    x, y = numpy.log10(p), numpy.log10(s)
    if len(p) > 2:
        (slope, intercept), cov = numpy.polyfit(x, y, 1, cov="unscaled")
        residual = y - (slope * x + intercept)
        variance = float(residual @ residual) / (len(p) - 2)
        error = math.sqrt(cov[0, 0] * variance)
    else:
        slope, intercept = numpy.polyfit(x, y, 1)
        error = math.nan
    return Linearity(float(slope), error, float(intercept), regime(float(slope)))


# ------------------------------------------------------------------ common-mode rejection

def common_mode_rejection(one_arm: float, both_arms: float, *, dark: float = 0.0,
                          one_arm_shot: float = 0.0, both_arms_shot: float = 0.0) -> float:
    """A balanced unit's common-mode rejection in dB, from the noise densities
    in a band where the laser's intensity noise dominates: ``one_arm`` with
    the other arm blocked, ``both_arms`` with both lit and balanced. What is
    not the laser's intensity noise, the ``dark`` floor and each measurement's
    shot noise (2 h nu P of the light on the photodiodes), is taken off first."""
    single = one_arm - dark - one_arm_shot
    left = both_arms - dark - both_arms_shot
    if not single > 0:
        raise ValueError("with one arm blocked the noise is not above the dark floor and shot "
                         "noise: the laser's intensity noise does not dominate in this band")
    if not left > 0:
        raise ValueError("with both arms lit the noise is not above the dark floor and shot "
                         "noise: the rejection is beyond what these blocks can measure")
    return float(10.0 * math.log10(single / left))
