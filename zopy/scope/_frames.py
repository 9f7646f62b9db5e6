"""What one frame of the live view shows, computed from the latest samples.

A *frame* is what every page draws at once: the latest block (the trace),
the noise spectrum averaged over the last N blocks, the numbers, and for a
balanced unit the balance (mean of P1 - P2) with its recent history. The
acquisition thread feeds every sample it reads to a :class:`FrameMaker` and
asks it for a frame after each read; nothing here touches the instrument.
"""

from __future__ import annotations

import collections
import dataclasses
import math
from typing import Any, cast

import numpy
from numpy.typing import NDArray

from .. import analysis

TRACE_COLUMNS = 1000          # the trace's width in pixels: a longer block is drawn as an envelope
BALANCE_SECONDS = 30.0        # history of the balance indicator
BALANCE_STEP_SECONDS = 0.1    # one point of that history per step: 300 points


@dataclasses.dataclass(frozen=True)
class Frame:
    """One update of the view. Arrays are new for each frame (and the same
    objects as in the last frame when they did not change: the time axis and
    the frequencies), never changed afterwards."""
    seq: int
    acquired_at: float            #: time.monotonic() when the block's read ended
    source: str                   #: what the block is ("stream", or the trigger it waited for)
    samplerate_hz: float
    units: str                    #: of the trace: "µW", "mW", "W" or "counts"
    trace_time_s: numpy.ndarray   #: s from the block's start, of each point of the trace
    trace: numpy.ndarray          #: the samples, or each column's minimum and maximum in turn
    envelope: bool                #: whether the trace is an envelope (more samples than columns)
    block_length: int
    frequency_hz: numpy.ndarray   #: spectrum bins, without the one at 0 Hz
    density: numpy.ndarray        #: averaged density, (W or counts)^2/Hz
    density_units: str            #: "W²/Hz" or "counts²/Hz"
    averaged: int                 #: blocks in the average
    band_hz: tuple[float, float]  #: band of the excess noise, inside the detector's band
    shot_level: float | None      #: 2 h nu P, W^2/Hz (None when P is not known)
    shot_power_w: float | None    #: the P of that level
    #: the shot-noise level through the chain, at each bin (None when P is not known)
    shot_reference: numpy.ndarray | None
    excess_noise_db: float | None  #: noise over the band relative to the shot-noise reference
    dark_density: numpy.ndarray | None   #: the dark reference at each bin (None: none taken)
    clearance_db: float | None     #: noise over the band relative to the dark reference
    mean: float                   #: of the latest block, in the trace's units
    std: float
    over_range: float             #: fraction of the samples since the last frame at the ADC's limits
    gain: str                     #: "high" or "low"
    wavelength_nm: float
    balanced: bool
    balance: float                 #: mean of P1 - P2 of the latest block, 0 when balanced
    balance_time_s: numpy.ndarray  #: seconds before now, -BALANCE_SECONDS .. 0
    balance_mean: numpy.ndarray    #: the balance's history, in the trace's units
    epoch: int = 0                 #: counts the FrameMaker's contexts: a new one, new settings


@dataclasses.dataclass(frozen=True)
class Context:
    """What the samples are: their rate, units, the ADC's limits and the front end."""
    samplerate_hz: float
    units: str                    #: "µW", "mW", "W" or "counts"
    watts_per_unit: float | None  #: None for raw counts
    limits: tuple[float, float] | None   #: of analysis.over_range_samples; None: raw words
    gain: str
    wavelength_nm: float
    balanced: bool
    #: what lies between photodiode and samples; None: not known (the reference stays flat)
    chain: analysis.Chain | None = None


class SpectrumAverage:
    """Welch densities of the last ``count`` blocks, averaged (with the blocks' mean powers)."""

    def __init__(self, count: int) -> None:
        self.count = count
        self._densities: collections.deque[NDArray[numpy.float64]] = collections.deque()
        self._means: collections.deque[float] = collections.deque()
        self._sum: NDArray[numpy.float64] | None = None

    def reset(self) -> None:
        self._densities.clear()
        self._means.clear()
        self._sum = None

    def set_count(self, count: int) -> None:
        self.count = count
        self._trim()

    def add(self, density: NDArray[numpy.float64], mean: float) -> None:
        if self._sum is not None and self._sum.shape != density.shape:
            self.reset()
        self._densities.append(density)
        self._means.append(mean)
        self._sum = density.copy() if self._sum is None else self._sum + density
        self._trim()

    def _trim(self) -> None:
        while len(self._densities) > self.count:
            assert self._sum is not None      # it sums the blocks held
            self._sum -= self._densities.popleft()
            self._means.popleft()
        if len(self._densities) <= 1 and self._densities:
            self._sum = self._densities[0].copy()     # no rounding left over from the others

    def __len__(self) -> int:
        return len(self._densities)

    def density(self) -> NDArray[numpy.float64]:
        return cast("NDArray[numpy.float64]", self._sum) / len(self._densities)

    def mean(self) -> float:
        return float(numpy.mean(self._means))


class FrameMaker:
    """The latest ``block_length`` samples, their spectrum averaged over the
    last ``averaging`` blocks, over-range counts and the balance history."""

    def __init__(self, context: Context, *, block_length: int = 4096, averaging: int = 16,
                 columns: int = TRACE_COLUMNS) -> None:
        if block_length < 16:
            raise ValueError(f"a block needs at least 16 samples, not {block_length}")
        self.block_length = block_length
        self.columns = min(columns, block_length)
        self.average = SpectrumAverage(averaging)
        # a balanced unit's shot noise needs the power on both diodes
        self.total_power_w: float | None = None
        self._window: NDArray[numpy.float64] = None  # type: ignore[assignment]  # set_context sets it
        self._balance: collections.deque[tuple[float, float]] = collections.deque()
        self.set_context(context)

    def set_context(self, context: Context) -> None:
        """New settings: the spectrum and the window start again (their samples
        were taken with the old ones); the balance history stays if the units do."""
        old: Context | None = getattr(self, "context", None)
        self.context = context
        self.epoch = getattr(self, "epoch", -1) + 1
        # A balanced unit's raw codes of P1 - P2 sit around the ADC's mid-scale
        # when balanced: the balance is counted from there, so that it reads 0.
        self.balance_zero = (float(1 << (analysis.ADC_BITS - 1))
                             if context.balanced and context.watts_per_unit is None else 0.0)
        self._window = numpy.zeros(self.block_length)
        self._filled = 0                 # samples in the window, up to block_length
        self._fresh = 0                  # samples since the last block went into the spectrum
        self._over, self._counted = 0, 0
        self.average.reset()
        # each column's first sample (the samples' own times when there is one per
        # column), twice for an envelope: a line through each column's minimum
        # and maximum in turn fills the band between them, one stroke per pixel
        starts = analysis.Envelope(self.block_length, self.columns).starts[:-1]
        times = starts / context.samplerate_hz
        self._time_s: NDArray[Any] = (times if self.columns == self.block_length
                                      else numpy.repeat(times, 2))
        self._frequency_hz: NDArray[numpy.float64] | None = None
        self._response: NDArray[numpy.float64] | None = None   # the chain's, at each bin
        self.dark: NDArray[numpy.float64] | None = None   # taken with other settings: gone
        self._band: tuple[float, float] = analysis.default_band(context.samplerate_hz)
        if old is None or old.units != context.units or old.balanced != context.balanced:
            self._balance.clear()

    def add(self, samples: Any) -> None:
        """The next samples read, consecutive with those before."""
        samples = numpy.asarray(samples)
        n = len(samples)
        if not n:
            return
        self._over += analysis.over_range_samples(samples, self.context.limits)
        self._counted += n
        if n >= self.block_length:
            self._window[:] = samples[-self.block_length:]
        else:
            self._window[:-n] = self._window[n:]
            self._window[-n:] = samples
        self._filled = min(self.block_length, self._filled + n)
        self._fresh += n
        # A block goes into the spectrum once it holds no sample of the one before.
        if self._filled == self.block_length and self._fresh >= self.block_length:
            self._add_to_spectrum(self._window)
            self._fresh = 0

    def _add_to_spectrum(self, block: NDArray[numpy.float64]) -> None:
        scale = self.context.watts_per_unit or 1.0
        spectrum = analysis.welch(block * scale, self.context.samplerate_hz, analysis.SEGMENT)
        if self._frequency_hz is None or len(self._frequency_hz) != len(spectrum.frequency_hz) - 1:
            self._frequency_hz = spectrum.frequency_hz[1:]      # no 0 Hz bin on a log axis
            self._resolution_hz: float = spectrum.resolution_hz
            self._follow_the_chain(self._frequency_hz)
        self.average.add(spectrum.density[1:], float(block.mean()) * scale)

    def take_dark(self, samples: Any) -> None:
        """The dark reference: the mean spectrum of the whole blocks of ``samples``,
        read with the light blocked, kept until the settings change. Refuses
        (ValueError) light on a single photodiode: its mean above its noise."""
        block = self.block_length
        scale = self.context.watts_per_unit or 1.0
        blocks = numpy.asarray(samples, dtype=numpy.float64)
        blocks = blocks[:len(blocks) // block * block].reshape(-1, block) * scale
        if not len(blocks):
            raise ValueError(f"a dark reference needs at least {block} samples")
        if not self.context.balanced and analysis.is_lit(float(blocks.mean()), float(blocks.std())):
            raise ValueError("light reaches the photodiode: block it, then take the dark "
                             "reference")
        self.dark = analysis.dark_spectrum(list(blocks), self.context.samplerate_hz,
                                           analysis.SEGMENT).density[1:]

    def _follow_the_chain(self, frequency_hz: NDArray[numpy.float64]) -> None:
        """The chain's response at the bins, and the band inside the detector's."""
        chain = self.context.chain
        if chain is None:
            self._response = None
            self._band = analysis.default_band(self.context.samplerate_hz)
            return
        self._response = analysis.chain_response(frequency_hz, chain)
        self._band = analysis.band_in_detector(
            self.context.samplerate_hz, analysis.detector_band(frequency_hz, self._response))

    @property
    def ready(self) -> bool:
        """Whether a whole block and its spectrum are there to show."""
        return self._filled == self.block_length and len(self.average) > 0

    def frame(self, seq: int, acquired_at: float, now: float, source: str = "stream") -> Frame:
        """The frame of what was added so far; over-range counting starts again."""
        block = self._window.copy()
        over = self._over / self._counted if self._counted else 0.0
        self._over, self._counted = 0, 0
        mean = float(block.mean())
        if self.context.balanced:
            self._remember_balance(mean - self.balance_zero, now)
        return self._frame(seq, acquired_at, now, source, block, mean, self.average, over)

    def single(self, seq: int, acquired_at: float, now: float, source: str,
               block: NDArray[numpy.float64], context: Context) -> Frame:
        """The frame of one block taken on its own (a triggered block): its own
        spectrum, its own rate; the running average and the window stay."""
        maker = FrameMaker(context, block_length=len(block), averaging=1, columns=self.columns)
        maker.total_power_w = self.total_power_w
        maker._balance = self._balance
        maker.epoch = self.epoch
        maker.add(block)
        return maker.frame(seq, acquired_at, now, source)

    def _remember_balance(self, mean: float, now: float) -> None:
        if not self._balance or now - self._balance[-1][0] >= BALANCE_STEP_SECONDS:
            self._balance.append((now, mean))
        while self._balance and now - self._balance[0][0] > BALANCE_SECONDS:
            self._balance.popleft()

    def _frame(self, seq: int, acquired_at: float, now: float, source: str,
               block: NDArray[numpy.float64], mean: float, average: SpectrumAverage,
               over: float) -> Frame:
        context = self.context
        if self.columns == self.block_length:
            trace = block.astype(numpy.float32)
        else:
            envelope = analysis.Envelope(self.block_length, self.columns)
            envelope.add(block)
            trace = numpy.column_stack((envelope.low, envelope.high)).ravel().astype(numpy.float32)
        density = average.density()
        band = self._band
        level, power = self._shot_level(average)
        reference: NDArray[numpy.float64] | None = None
        excess: float | None = None
        if level is not None:
            reference = (level * self._response if self._response is not None
                         else numpy.full(density.shape, level))
        frequency = cast("NDArray[numpy.float64]", self._frequency_hz)
        inside = (frequency >= band[0]) & (frequency <= band[1])
        # clipped samples: no noise to speak of; no bin in the band: nothing to say
        if reference is not None and not over and inside.any():
            excess = analysis.over_reference_db(density[inside], reference[inside])
            if not math.isfinite(excess):
                excess = None
        dark = self.dark if self.dark is not None and self.dark.shape == density.shape else None
        clearance: float | None = None
        if dark is not None and not over and inside.any():    # the dark is on the same bins
            clearance = analysis.over_reference_db(density[inside], dark[inside])
            if not math.isfinite(clearance):
                clearance = None
        history = numpy.array(self._balance, dtype=numpy.float64).reshape(-1, 2)
        return Frame(
            seq=seq, acquired_at=acquired_at, source=source,
            samplerate_hz=context.samplerate_hz, units=context.units,
            trace_time_s=self._time_s, trace=trace, envelope=self.columns < self.block_length,
            block_length=self.block_length,
            frequency_hz=cast("NDArray[numpy.float64]", self._frequency_hz), density=density,
            density_units="counts²/Hz" if context.watts_per_unit is None else "W²/Hz",
            averaged=len(average), band_hz=band, shot_level=level, shot_power_w=power,
            shot_reference=reference, excess_noise_db=excess, dark_density=dark,
            clearance_db=clearance, mean=mean, std=float(block.std()), over_range=over,
            gain=context.gain, wavelength_nm=context.wavelength_nm, balanced=context.balanced,
            balance=mean - self.balance_zero if context.balanced else 0.0,
            balance_time_s=history[:, 0] - now, balance_mean=history[:, 1], epoch=self.epoch)

    def _shot_level(self, average: SpectrumAverage) -> tuple[float | None, float | None]:
        """2 h nu P, with P as :func:`zopy.analysis.shot_noise_power` decides it
        from the averaged blocks (their noise from their spectrum) and the total
        power typed on the page."""
        if self.context.watts_per_unit is None:
            return None, None
        noise = float(numpy.sqrt(numpy.sum(average.density()) * self._resolution_hz))
        power = analysis.shot_noise_power(average.mean(), noise, balanced=self.context.balanced,
                                          total_power=self.total_power_w)
        if power is None or not power > 0:
            return None, None
        return analysis.shot_noise_level(power, self.context.wavelength_nm), power
