"""What the commands share: the failure they raise, the instrument they open,
the files they create and read, and the warnings they print."""

from __future__ import annotations

import argparse
import contextlib
import datetime
import math
import pathlib
import sys
from collections.abc import Iterable, Iterator


import zopy

from .. import _messages as messages
from .. import analysis, readers
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


# ------------------------------------------------------------ the user at the bench

def ask(what: str) -> None:
    """Asks the user to ``what`` and waits for Enter."""
    print(f"{what}, then press Enter", file=sys.stderr, flush=True)
    if not sys.stdin.readline():
        raise Failure(f"no answer to {what!r}: standard input is closed (this step needs "
                      "someone at the bench)")
