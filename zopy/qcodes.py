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
from ._extras import require
from ._identity import in_band

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
        self._block = numpy.empty(0)

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

    # ------------------------------------------------------------ identity

    def get_idn(self) -> dict[str, str | None]:
        return {
            "vendor": None,           # the library does not report a maker
            "model": self.device.product,
            "serial": self.device.serial,
            "firmware": "{}.{}.{}".format(*self.device.fwversion),
            "library": "{}.{}.{}".format(*zopy.version()),
            "zopy": zopy.__version__,
        }

    def close(self) -> None:
        """Closes the instrument's handle and removes it from QCoDeS."""
        try:
            self.device.close()
        finally:
            super().close()

    # ------------------------------------------------------------ settings

    def _check_wavelength(self, nm: float) -> None:
        if not in_band(self.device, nm):
            raise ValueError(f"{nm:g} nm is outside the photodiode's band "
                             f"(peak {self.device.peak_responsivity} nm)")

    def _segment(self) -> int:
        return min(cast(int, self.npts.get_latest()), analysis.SEGMENT)

    def _bins(self) -> int:
        return len(self._frequencies())

    # -------------------------------------------------------------- blocks

    def _fresh_block(self) -> numpy.ndarray:
        """A new block, calibrated, in a buffer kept between calls (held under the lock)."""
        n = self.npts.get_latest()
        if self._block.size != n:
            self._block = numpy.empty(n)
        return self.device.get_calibrated_data(n, self.wavelength.get_latest(), out=self._block)

    def _power(self) -> float:
        with self._lock:
            block = self._fresh_block()
            return float(numpy.add.reduce(block)) / block.size

    def _noise(self) -> float:
        with self._lock:
            return float(self._fresh_block().std())

    def _over_range(self) -> float:
        calibration = self.device.get_rel_calibration(self.wavelength.get_latest())
        limits = analysis.over_range_limits(calibration)
        with self._lock:
            block = self._fresh_block()
            return analysis.over_range_samples(block, limits) / block.size

    def _trace(self) -> numpy.ndarray:
        return self.device.get_calibrated_data(self.npts.get_latest(), self.wavelength.get_latest())

    def _times(self) -> numpy.ndarray:
        return numpy.arange(self.npts.get_latest()) / float(self.device.samplerate)

    def _psd(self) -> numpy.ndarray:
        power_w = self._trace() * 1e-6
        return analysis.welch(power_w, float(self.device.samplerate), self._segment()).density

    def _frequencies(self) -> numpy.ndarray:
        return analysis.psd_frequencies(float(self.device.samplerate), self.npts.get_latest(),
                                        self._segment())
