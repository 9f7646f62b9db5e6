"""A stream's settings as one value: the front end, the calibration, the
filter and the rates, set on an instrument and its stream in one place, and
what a file of the stream's samples says of them.

::

    settings = StreamSettings(filter="lowpass", cutoff_hz=100e3, downsampling=10, highgain=False)
    stream = settings.open(device)          # front end set, stream opened and set up
"""

from __future__ import annotations

import dataclasses
from typing import Any

import zopy

from . import analysis
from ._identity import device_attributes, front_end_attributes
from ._photodiode import checked_wavelength


@dataclasses.dataclass(frozen=True)
class StreamSettings:
    """What a stream is to be; None leaves a setting as the instrument or the
    library has it."""
    dtype: str = "float32"
    filter: str | None = None             #: "none", "lowpass" or "highpass"
    cutoff_hz: float | None = None
    downsampling: int | None = None
    decimation: int | None = None
    units: int | None = None              #: the power of ten of the watt (-6: µW)
    wavelength_nm: float | None = None    #: of the calibration (inside the photodiode's band)
    raw: bool | None = None               #: ADC codes instead of power (calibration mode "raw")
    highgain: bool | None = None
    antialias: bool | None = None
    #: without a cutoff, one at this fraction of the output rate (a filter other than "none")
    cutoff_fraction: float | None = None

    def set_front_end(self, device: zopy.Device) -> None:
        """Switches the front end of ``device`` as asked."""
        if self.highgain is not None:
            device.highgain = self.highgain
        if self.antialias is not None:
            device.antialias = self.antialias

    def apply(self, stream: zopy.Stream) -> None:
        """Sets up an open ``stream`` (its instrument's front end aside).

        The calibration first, then the rates and last the filter, whose
        default cutoff follows the output rate. With ``raw`` given, the
        calibration is brought up to the gain set now.
        """
        if self.units is not None:
            stream.set_calibration_units(self.units)
        if self.raw is not None:
            stream.calibration_mode = "raw" if self.raw else "auto"
        if self.wavelength_nm is not None:
            stream.set_calibration_wavelength(checked_wavelength(stream.device,
                                                                 self.wavelength_nm))
        if self.raw is not None:
            stream.update_auto_calibration()
        if self.downsampling is not None:
            stream.set_downsampling(self.downsampling)
        if self.decimation is not None:
            stream.set_decimation(self.decimation)
        if self.filter is not None:
            stream.set_filter(self.filter)
        cutoff = self.cutoff_hz
        if cutoff is None and self.cutoff_fraction is not None and self.filter not in (None, "none"):
            cutoff = stream.samplerate * self.cutoff_fraction
        if cutoff is not None:
            stream.set_cutoff(cutoff)

    def open(self, device: zopy.Device) -> zopy.Stream:
        """Sets the front end, then opens a stream of ``device`` set up as asked;
        a setting refused leaves no stream open."""
        self.set_front_end(device)
        stream = device.open_stream(self.dtype)
        try:
            self.apply(stream)
        except BaseException:
            stream.close()
            raise
        return stream


def stream_decimation(stream: zopy.Stream) -> int:
    """The stream's decimation, which the module cannot read back: the rates give it."""
    return max(1, round(stream.device.samplerate / stream.downsampling / stream.samplerate))


def stream_chain(stream: zopy.Stream) -> analysis.Chain:
    """What lies between the photodiode and the stream's samples, as they are set now."""
    device = stream.device
    return analysis.Chain(input_samplerate_hz=float(device.samplerate),
                          antialias=bool(device.antialias), filter=stream.filter,
                          cutoff_hz=stream.cutoff, downsampling=stream.downsampling,
                          decimation=stream_decimation(stream))


def stream_attributes(stream: zopy.Stream) -> dict[str, Any]:
    """The settings ``stream`` has, with its instrument's identity, as file attributes."""
    device = stream.device
    rate = stream.samplerate
    downsampling = stream.downsampling
    units = stream.calibration_units
    mode = stream.calibration_mode
    return {
        "samplerate_hz": rate,
        "input_samplerate_hz": float(device.samplerate),
        "units": analysis.COUNTS if mode == "raw" else analysis.units_name(units),
        "calibration_mode": mode,
        "calibration_wavelength_nm": stream.calibration_wavelength,
        "filter": stream.filter,
        "cutoff_hz": stream.cutoff,
        "downsampling": downsampling,
        "decimation": stream_decimation(stream),
        "dtype": str(stream.dtype),
        **front_end_attributes(device),
        **device_attributes(device),
    }
