"""What the spectrum commands (psd, linearity, cmrr) share: the mean spectrum
of fresh blocks, the spectrum of a whole file, and the light set for a
measurement."""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import math
import pathlib
from collections.abc import Iterator
from typing import Any

import numpy

import zopy

from .. import analysis
from .._light import light_switched, virtual_bench
from .common import Failure, ask, file_rate, file_units, sample_file, samplerate


# ------------------------------------------------------------ fresh blocks

@dataclasses.dataclass
class Blocks:
    """The mean spectrum of fresh blocks, with their moments and how many of their samples are over range."""
    spectrum: analysis.Spectrum
    moments: analysis.Moments       #: of the power in W
    over_range: int
    samples: int


def fresh_blocks(device: zopy.Device, nm: float, samples: int, blocks: int = 1,
                 segment: int | None = None) -> Blocks:
    """``blocks`` fresh blocks of ``samples`` calibrated at ``nm``: their mean spectrum (W²/Hz)."""
    rate = samplerate(device)
    limits = analysis.block_limits(device, nm)
    moments = analysis.Moments()
    over = 0
    total: numpy.ndarray | None = None
    s: analysis.Spectrum | None = None
    for _ in range(max(1, blocks)):
        data = device.get_calibrated_data(samples, nm)
        over += analysis.over_range_samples(data, limits)
        power_w = numpy.asarray(data, dtype=numpy.float64) * 1e-6
        moments.add(power_w)
        s = analysis.psd(power_w, rate, segment)
        total = s.density if total is None else total + s.density
    assert s is not None and total is not None      # one block at least
    return Blocks(analysis.Spectrum(s.frequency_hz, total / max(1, blocks), s.resolution_hz),
                  moments, over, max(1, blocks) * samples)


# ------------------------------------------------------------ the light

@contextlib.contextmanager
def light_set(device: zopy.Device, request: str, **light: Any) -> Iterator[None]:
    """On the virtual bench, the light on ``device`` set as ``light`` asks
    (zopy.sim.set_light's keywords) and put back afterwards; on an instrument,
    the user asked to ``request`` and press Enter."""
    sim = virtual_bench()
    if sim is None:
        ask(request)
        yield
        return
    with light_switched(sim, device.serial, **light):
        yield


# ------------------------------------------------------------ a file's spectrum

class Measured:
    """What a spectrum was taken from."""
    text = ""                   # the source, for the report
    serial = ""
    balanced = False
    highgain: bool | None = None
    over_range: int | None = None           # samples over range, None: not known
    samples = 0
    chain: analysis.Chain | None = None     # between photodiode and samples, None: not known


def file_wavelength(path: pathlib.Path, recorded: float | None, given: float | None) -> float:
    """The wavelength the file's samples were calibrated at; --wavelength only
    for a file that does not record it, never against what it records."""
    if recorded is None:
        if given is None:
            raise Failure(f"{path}: no calibration wavelength recorded; give --wavelength")
        return given
    if given is not None and not math.isclose(given, recorded, rel_tol=1e-9):
        raise Failure(f"{path}: its samples were calibrated at {recorded:g} nm, not at the "
                      f"--wavelength {given:g} nm; leave --wavelength out")
    return recorded


def file_spectrum(args: argparse.Namespace, path: pathlib.Path, moments: analysis.Moments,
                   measured: Measured,
                   segment: int | None = None) -> tuple[analysis.Spectrum, float, float]:
    """The spectrum of a whole file, in segments of ``segment`` (default: --segment)."""
    with sample_file(path) as source:
        rate = file_rate(path, source, args.samplerate)
        units = file_units(path, source)
        if units == analysis.COUNTS:
            raise Failure(f"{path}: holds ADC codes, not optical power; acquire or "
                          "record it calibrated (without --raw)")
        unit = analysis.power_unit(units)
        if unit is None:
            raise Failure(f"{path}: does not say what its samples are (no units); "
                          "psd takes optical power")
        nm = file_wavelength(path, source.wavelength_nm, args.wavelength)
        wanted = segment or min(source.length, args.segment or analysis.SEGMENT)
        if source.length < max(16, wanted if segment else 16):
            raise Failure(f"{path}: a spectrum needs at least {max(16, wanted)} samples, "
                          f"the file holds {source.length}")
        measured.balanced = source.balanced
        measured.serial = str(source.attrs.get("serial", path.name))
        measured.highgain = source.attrs.get("highgain")
        measured.over_range = source.attrs.get("over_range_samples")
        measured.samples = source.length
        if "input_samplerate_hz" in source.attrs or "antialias" in source.attrs:
            measured.chain = analysis.Chain.from_attributes(source.attrs, rate)
        # the whole file, a chunk at a time: memory independent of its length
        welch = analysis.WelchAverage(rate, wanted)
        for chunk in source.chunks():
            power_w = chunk.astype(numpy.float64) * unit.watts
            welch.add(power_w)
            moments.add(power_w)
        measured.text = f"{path} ({source.length} samples)"
        return welch.spectrum(), rate, nm
