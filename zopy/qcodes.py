"""The KV310 as a QCoDeS instrument.

::

    from qcodes.dataset import LinSweep, dond
    from zopy.qcodes import KV310

    kv = KV310("kv")                     # the first instrument found, or serial="..."
    kv.wavelength(1310)                  # nm, the calibration wavelength
    kv.npts(100_000)                     # samples per block
    print(kv.power(), kv.noise())        # µW: mean and standard deviation of a fresh block
    dond(LinSweep(some_parameter, 0, 1, 11), kv.power, kv.psd)
    kv.close()

The instrument holds a :class:`zopy.Device` (the library's handle) and maps
its calls onto parameters, as QCoDeS drivers of instruments with a C library
do. Every measured parameter (``power``, ``noise``, ``over_range``, ``trace``,
``psd``) takes a fresh block of ``npts`` samples, calibrated at
``wavelength``; ``trace`` and ``psd`` come with their setpoints
(``time_axis`` in s, ``frequency_axis`` in Hz), so ``dond`` stores them as
arrays over their axis. ``psd`` is the estimate of ``zopy psd``: Welch's
method, Hann windows of 4096 samples (or the block, when shorter), half
overlap, one-sided, in W²/Hz of optical power.

Every fresh block's fraction of samples over range (clipped at the ADC's
limits) is ``over_range``'s latest value and ``over_range`` in the metadata of
the parameter that took it, so both are in the snapshot; when any is, the
instrument's log warns.

The noise against its references: ``dark_psd`` takes the spectrum with the
light blocked (on the virtual bench switched off through :mod:`zopy.sim`; on
an instrument, block it first) and keeps it; ``clearance`` is a fresh block's
noise in ``band`` over that dark floor, ``excess_noise`` its noise over the
shot-noise level ``2 h nu P`` through the antialias filter (0 dB:
shot-noise-limited), P the mean of a lit single photodiode or ``total_power``.

The snapshot carries the instrument's identity in ``IDN``: product (model),
serial, firmware and the library's version, with zopy's.

QCoDeS comes with the ``qcodes`` extra (``pip install 'zopy[qcodes]'``);
``psd`` needs scipy too (the ``tools`` extra).
"""

from __future__ import annotations

import threading
from typing import Any, cast

import numpy

import zopy

from . import analysis
from ._blocks import BlockBuffer, mean, mean_and_std
from ._extras import require
from ._identity import versions
from ._light import DARK, light_switched, virtual_bench
from ._photodiode import checked_wavelength, is_balanced

require("qcodes", extra="qcodes")

from qcodes import validators  # noqa: E402  (after the check that names the extra)
from qcodes.instrument import Instrument  # noqa: E402
from qcodes.parameters import Parameter, ParameterWithSetpoints  # noqa: E402

__all__ = ["KV310"]

DEFAULT_NPTS = 100_000
MAX_NPTS = 1 << 26            # 512 MiB of float64 per block


class KV310(Instrument):
    """A KV310 detector: ``serial`` names it, None takes the first found.

    Raises :class:`zopy.NoDeviceError` (or :class:`zopy.Error`) when the
    instrument cannot be opened; nothing is registered then.
    """

    def __init__(self, name: str, serial: str | None = None, **kwargs: Any):
        self.device = zopy.Device(serial=serial)
        try:
            super().__init__(name, **kwargs)
            self._add_parameters()
            self.IDN.get()         # the identity goes into every snapshot
        except BaseException:
            self.device.close()
            raise

    def _add_parameters(self) -> None:
        device = self.device
        self._lock = threading.Lock()      # one block buffer, parameters read from any thread
        self._blocks = BlockBuffer()
        self._moments = (0.0, 0.0)         # mean and std (W) of the last spectrum's block

        self.highgain: Parameter = self.add_parameter(
            "highgain", label="High gain", get_cmd=device.read_highgain, get_parser=bool,
            set_cmd=device.set_highgain, vals=validators.Bool(),
            docstring="Transimpedance: 10 kV/A (True) or 1 kV/A (False).")
        self.antialias: Parameter = self.add_parameter(
            "antialias", label="Antialias filter", get_cmd=device.read_antialias, get_parser=bool,
            set_cmd=device.set_antialias, vals=validators.Bool())
        self.wavelength: Parameter = self.add_parameter(
            "wavelength", label="Calibration wavelength", unit="nm",
            initial_value=float(device.peak_responsivity), get_cmd=None,
            set_cmd=self._check_wavelength, vals=validators.Numbers(0, 20_000),
            docstring="Blocks are calibrated to optical power at this wavelength "
                      "(default the photodiode's peak responsivity).")
        self.samplerate: Parameter = self.add_parameter(
            "samplerate", label="Sample rate", unit="Hz",
            get_cmd=lambda: float(device.samplerate), set_cmd=False)
        self.npts: Parameter = self.add_parameter(
            "npts", label="Samples per block", initial_value=DEFAULT_NPTS, get_cmd=None,
            set_cmd=None, vals=validators.Ints(16, MAX_NPTS))

        self.power: Parameter = self.add_parameter(
            "power", label="Optical power", unit="uW", get_cmd=self._power, set_cmd=False,
            docstring="Mean of a fresh block.")
        self.noise: Parameter = self.add_parameter(
            "noise", label="Power noise", unit="uW", get_cmd=self._noise, set_cmd=False,
            docstring="Standard deviation of a fresh block.")
        self.over_range: Parameter = self.add_parameter(
            "over_range", label="Over range", get_cmd=self._over_range, set_cmd=False,
            docstring="Fraction of a fresh block's samples at the ADC's limits (clipped).")

        self.time_axis: Parameter = self.add_parameter(
            "time_axis", label="Time", unit="s", get_cmd=self._times, set_cmd=False,
            vals=validators.Arrays(shape=(self.npts.get_latest,)))
        self.trace: ParameterWithSetpoints = self.add_parameter(
            "trace", parameter_class=ParameterWithSetpoints, label="Optical power", unit="uW",
            get_cmd=self._trace, set_cmd=False, setpoints=(self.time_axis,),
            vals=validators.Arrays(shape=(self.npts.get_latest,)))
        self.frequency_axis: Parameter = self.add_parameter(
            "frequency_axis", label="Frequency", unit="Hz", get_cmd=self._frequencies,
            set_cmd=False, vals=validators.Arrays(shape=(self._bins,)))
        self.psd: ParameterWithSetpoints = self.add_parameter(
            "psd", parameter_class=ParameterWithSetpoints, label="Power spectral density",
            unit="W²/Hz", get_cmd=self._psd, set_cmd=False, setpoints=(self.frequency_axis,),
            vals=validators.Arrays(shape=(self._bins,)))

        self.total_power: Parameter = self.add_parameter(
            "total_power", label="Total power for shot noise", unit="uW", initial_value=None,
            get_cmd=None, set_cmd=None,
            vals=validators.MultiType(validators.Numbers(min_value=0), validators.Enum(None)),
            docstring="The optical power whose shot noise is the reference: on a balanced "
                      "unit the total on both photodiodes (its output, P1 - P2, does not say "
                      "it); None takes a lit single photodiode's mean power.")
        self.band: Parameter = self.add_parameter(
            "band", label="Band", unit="Hz", initial_value=None, get_cmd=None, set_cmd=None,
            vals=validators.MultiType(validators.Sequence(validators.Numbers(min_value=0),
                                                          length=2), validators.Enum(None)),
            docstring="(low, high) of excess_noise and clearance; None: fs/1000 to fs/50 "
                      "inside the detector's band.")
        self.dark_psd: ParameterWithSetpoints = self.add_parameter(
            "dark_psd", parameter_class=ParameterWithSetpoints, label="Dark spectral density",
            unit="W²/Hz", get_cmd=self._dark_psd, set_cmd=False, snapshot_get=False,
            setpoints=(self.frequency_axis,), vals=validators.Arrays(shape=(self._bins,)),
            docstring="psd of a fresh block with the light blocked, kept as the dark "
                      "reference of clearance. On the virtual bench the light is switched "
                      "off for it; on an instrument, block the light before getting it.")
        self.excess_noise: Parameter = self.add_parameter(
            "excess_noise", label="Excess noise over shot noise", unit="dB",
            get_cmd=self._excess_noise, set_cmd=False, snapshot_get=False,
            docstring="A fresh block's noise in the band over the shot-noise level 2hνP "
                      "through the antialias filter; 0 dB is shot-noise-limited.")
        self.clearance: Parameter = self.add_parameter(
            "clearance", label="Clearance over the dark floor", unit="dB",
            get_cmd=self._clearance, set_cmd=False, snapshot_get=False,
            docstring="A fresh block's noise in the band over dark_psd's: how far the "
                      "light's noise stands above the electronics (get dark_psd first).")
        self._dark: analysis.Spectrum | None = None

    # ------------------------------------------------------------ identity

    def get_idn(self) -> dict[str, str | None]:
        version = versions(self.device)
        return {
            "vendor": None,           # the library does not report a maker
            "model": self.device.product,
            "serial": self.device.serial,
            "firmware": version["firmware_version"],
            "library": version["library_version"],
            "zopy": version["zopy_version"],
        }

    def close(self) -> None:
        """Closes the instrument's handle and removes it from QCoDeS."""
        try:
            self.device.close()
        finally:
            super().close()

    # ------------------------------------------------------------ settings

    def _check_wavelength(self, nm: float) -> None:
        checked_wavelength(self.device, nm)

    def _segment(self) -> int:
        return min(cast(int, self.npts.get_latest()), analysis.SEGMENT)

    def _bins(self) -> int:
        return len(self._frequencies())

    # -------------------------------------------------------------- blocks

    def _fresh_block(self, parameter: Parameter) -> numpy.ndarray:
        """A new block, calibrated, in the buffer kept between calls (held under
        the lock). How much of it is over range goes into ``over_range``'s
        cache and ``parameter``'s metadata (so into their snapshots), with a
        warning in the log when any is."""
        nm = self.wavelength.get_latest()
        block = self._blocks.read(self.device, self.npts.get_latest(), nm)
        fraction = analysis.over_range_samples(block, analysis.block_limits(self.device, nm)) / block.size
        self.over_range.cache.set(fraction)
        parameter.metadata["over_range"] = fraction
        if fraction:
            advice = "use less light" if not self.device.highgain else "set highgain False or use less light"
            self.log.warning(f"{parameter.full_name}: {100.0 * fraction:.3g}% of the block is over "
                             f"range: the ADC sits at its limit, so the value is wrong; {advice}")
        return block

    def _power(self) -> float:
        with self._lock:
            return mean(self._fresh_block(self.power))

    def _noise(self) -> float:
        with self._lock:
            return self._blocks.mean_and_std(self._fresh_block(self.noise))[1]

    def _over_range(self) -> float:
        with self._lock:
            self._fresh_block(self.over_range)
            return cast(float, self.over_range.cache.get(get_if_invalid=False))

    def _trace(self) -> numpy.ndarray:
        with self._lock:
            return self._fresh_block(self.trace).copy()

    def _times(self) -> numpy.ndarray:
        return numpy.arange(self.npts.get_latest()) / float(self.device.samplerate)

    def _spectrum(self, parameter: Parameter) -> analysis.Spectrum:
        with self._lock:
            power_w = self._fresh_block(parameter) * 1e-6
            self._moments = mean_and_std(power_w)
        return analysis.welch(power_w, float(self.device.samplerate), self._segment())

    def _psd(self) -> numpy.ndarray:
        return self._spectrum(self.psd).density

    def _dark_psd(self) -> numpy.ndarray:
        sim = virtual_bench()
        if sim is None:
            self._dark = self._spectrum(self.dark_psd)
            if not is_balanced(self.device) and analysis.is_lit(*self._moments):
                self.log.warning(f"{self.dark_psd.full_name}: {self._moments[0] * 1e6:.4g} µW "
                                 "reach the photodiode: block the light for the dark reference")
        else:
            with light_switched(sim, self.device.serial, **DARK):
                self._dark = self._spectrum(self.dark_psd)
        return self._dark.density

    def _chain(self) -> analysis.Chain:
        return analysis.fresh_block_chain(float(self.device.samplerate), bool(self.device.antialias))

    def _band_of(self, s: analysis.Spectrum) -> tuple[float, float]:
        band = self.band.get_latest()
        if band is not None:
            return (float(band[0]), float(band[1]))
        response = analysis.chain_response(s.frequency_hz, self._chain())
        return analysis.band_in_detector(float(self.device.samplerate),
                                         analysis.detector_band(s.frequency_hz, response))

    def _excess_noise(self) -> float:
        s = self._spectrum(self.excess_noise)
        mean, std = self._moments
        total = self.total_power.get_latest()
        power_w = analysis.shot_noise_power(mean, std, balanced=is_balanced(self.device),
                                            total_power=None if total is None else total * 1e-6)
        if power_w is None:
            raise ValueError(f"{self.excess_noise.full_name}: the shot-noise level is not known: "
                             f"{analysis.unknown_shot_noise(is_balanced(self.device))}; "
                             "set total_power")
        level = analysis.shot_noise_level(power_w, self.wavelength.get_latest())
        return analysis.excess_noise_db(s, level, self._band_of(s), self._chain())

    def _clearance(self) -> float:
        if self._dark is None:
            raise ValueError(f"{self.clearance.full_name}: no dark reference: get dark_psd first "
                             "(with the light blocked)")
        s = self._spectrum(self.clearance)
        return analysis.shot_noise_clearance_db(s, self._dark, self._band_of(s))

    def _frequencies(self) -> numpy.ndarray:
        return analysis.psd_frequencies(float(self.device.samplerate), self.npts.get_latest(),
                                        self._segment())
