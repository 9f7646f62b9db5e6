"""What the commands share: the failure they raise, the instrument they open,
the files they create and read, and the warnings they print."""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import datetime
import math
import pathlib
import sys
from collections.abc import Iterable, Iterator
from typing import Any

import numpy

import zopy

from .. import _messages as messages
from .. import analysis, readers
from .._light import light_switched, virtual_bench
from .._memory import check_fits
from .._photodiode import checked_wavelength
from .._writer import Output
from .options import front_end_settings

PROG = "zopy"
FORCE_HINT = "use --force to overwrite it"


class Failure(Exception):
    """A failure the user can act on; its text is the whole message."""

    def __init__(self, message: str, status: int = 1) -> None:
        super().__init__(message)
        self.status = status


def warn(message: str) -> None:
    print(f"{PROG}: warning: {message}", file=sys.stderr)


def now() -> str:
    return datetime.datetime.now(datetime.timezone.utc).isoformat()


# ------------------------------------------------------------ the instrument

class Opened:
    """The chosen instrument, its front end set as ``args`` ask, closed when the command ends."""

    def __init__(self, serial: str | None, args: argparse.Namespace | None = None) -> None:
        try:
            self.device = zopy.Device(serial=serial)
        except zopy.NoDeviceError as exc:
            raise Failure(messages.no_instrument(exc, serial)) from None
        try:
            if args is not None:
                front_end_settings(args).set_front_end(self.device)
        except BaseException:
            self.device.close()
            raise

    def __enter__(self) -> zopy.Device:
        return self.device

    def __exit__(self, *exc: object) -> None:
        self.device.close()


def samplerate(device: zopy.Device) -> float:
    """The instrument's sample rate, which every duration and spectrum divides by."""
    rate = float(device.samplerate)
    if not (math.isfinite(rate) and rate > 0):
        raise Failure(messages.senseless_answer("a sample rate of", f"{rate:g} samples/s"))
    return rate


def check_samples(nsamples: int, bytes_per_sample: int) -> None:
    """Refuses a --samples whose arrays (``bytes_per_sample`` for each sample: the
    block, its copies and what the command computes from it) would not fit in
    memory, or that the library cannot take, before anything is opened or printed."""
    try:
        check_fits(nsamples, bytes_per_sample, f"--samples {nsamples}")
    except ValueError as exc:
        raise Failure(str(exc), status=2) from None


def wavelength(device: zopy.Device, nm: float | None) -> float:
    """The wavelength to calibrate at: given (and inside the photodiode's band) or the peak."""
    try:
        return checked_wavelength(device, nm)
    except messages.Refusal as exc:
        raise Failure(str(exc)) from None


def over_range(count: int | None, total: int, highgain: bool | None = None,
               where: str = "") -> bool:
    """One warning line when samples sit at the ADC's limits; whether they do."""
    if not count:
        return False
    advice = "use less light" if highgain is False else "use --gain low or less light"
    warn(f"{count} of {total} samples{where} ({100.0 * count / total:.3g}%) are over range: "
         f"the ADC sits at its limit, so they are clipped and the power and noise shown are "
         f"wrong; {advice}")
    return True


def over_range_title(title: str, count: int | None, total: int) -> str:
    """A plot's title, marked when samples of what it shows are over range."""
    if not count:
        return title
    return f"OVER RANGE: {count} of {total} samples clipped; {title}"


def only_for_fresh_blocks(args: argparse.Namespace, names: Iterable[str]) -> None:
    """Refuses options that set up an acquisition when the samples come from a file."""
    given = [f"--{name.replace('_', '-')}" for name in names if getattr(args, name, None)]
    if given:
        raise Failure(f"{' and '.join(given)} set up a fresh acquisition; "
                      "an input file was acquired already", status=2)


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


# ------------------------------------------------------------ files

def suffix(path: pathlib.Path, allowed: tuple[str, ...]) -> str:
    found = path.suffix.lower()
    if found not in allowed:
        raise Failure(f"{path}: unknown file type {found or '(none)'!r}, "
                      f"use one of {', '.join(allowed)}")
    return found


def new_file(path: pathlib.Path, force: bool) -> None:
    """Refuses an existing output unless forced, or one in a folder that does not exist."""
    if path.exists() and not force:
        raise Failure(messages.exists(path, FORCE_HINT))
    if not path.absolute().parent.is_dir():
        raise Failure(f"{path}: no folder {path.parent}")


def output(path: pathlib.Path, force: bool, suffixes: tuple[str, ...]) -> Output:
    """The output file, created now (beside ``path`` until it is complete), so
    that one that cannot be written fails before any work."""
    suffix(path, suffixes)
    new_file(path, force)
    return Output(path, overwrite=force)


@contextlib.contextmanager
def sample_file(path: pathlib.Path) -> Iterator[readers.SampleFile]:
    """The checked file of samples at ``path``; its faults, found on opening
    or while reading, become one-line failures."""
    suffix(path, readers.SUFFIXES)
    try:
        with readers.open_sample_file(path) as source:
            yield source
    except readers.SampleFileError as exc:
        raise Failure(str(exc)) from None


def file_rate(path: pathlib.Path, source: readers.SampleFile, given: float | None) -> float:
    """The sample rate of an input file: its own, or --samplerate for a file without one."""
    rate = source.samplerate_hz
    if rate is None:
        if given is None:
            kind = ("a .npy file is a bare array" if path.suffix.lower() == ".npy"
                    else "it records no sample rate")
            raise Failure(f"{path}: {kind}; give its sample rate with --samplerate HZ")
        return given
    if given is not None and not math.isclose(given, rate, rel_tol=1e-9):
        raise Failure(f"{path} records {rate:g} samples/s, not the --samplerate {given:g}")
    return rate


def file_units(path: pathlib.Path, source: readers.SampleFile) -> str:
    """The units of an input file; a bare .npy holds what zopy acquire writes:
    ADC codes as integers, µW as floats."""
    if source.units:
        return source.units
    if path.suffix.lower() == ".npy":
        return analysis.COUNTS if source.dtype.kind in "iu" else "uW"
    return ""


# ------------------------------------------------------------ the light

def ask(what: str) -> None:
    """Asks the user to ``what`` and waits for Enter."""
    print(f"{what}, then press Enter", file=sys.stderr, flush=True)
    if not sys.stdin.readline():
        raise Failure(f"no answer to {what!r}: standard input is closed (this step needs "
                      "someone at the bench)")


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


# ------------------------------------------------------------ spectra of files

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
