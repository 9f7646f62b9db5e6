"""The command line's options, each spelled, defaulted and parsed once.

A command takes options in groups: the instrument (``--serial``), the front
end (``--gain``, ``--antialias``), the wavelength, the stream (filter, rates,
units), the counts (``--samples``) and its files (``--force``). ``zopy
scope`` takes the same groups as ``zopy record``; what a group's options say
becomes one :class:`~zopy._stream_settings.StreamSettings` value.
"""

from __future__ import annotations

import argparse
import math
from collections.abc import Callable
from typing import Any

from .. import analysis
from .._stream_settings import StreamSettings

SERIAL_HELP = "the first instrument whose serial contains TEXT"
FILTERS = ("none", "lowpass", "highpass")


# ------------------------------------------------------------ converters

def count(minimum: int) -> Callable[[str], int]:
    """A whole number of at least ``minimum``, also written as 1e6 (not 1.5)."""
    def convert(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            try:
                number = float(text)
            except ValueError:
                number = math.nan
            if not number.is_integer():     # also nan and inf
                raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
            value = int(number)
        if value < minimum:
            raise argparse.ArgumentTypeError(f"must be at least {minimum}, not {value}")
        return value
    return convert


def positive(text: str) -> float:
    """A finite number above 0."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"must be a positive number, not {text}")
    return value


def units(text: str) -> int:
    """uW, mW or W (or the power of ten of the watt: -6, -3, 0) as the power of ten."""
    unit = analysis.power_unit(text.strip())
    if unit is None:
        try:
            unit = analysis.power_unit(int(text))
        except ValueError:
            unit = None
    if unit is None:
        names = [u.name for u in analysis.POWER_UNITS]
        raise argparse.ArgumentTypeError(f"invalid choice: {text} (choose from "
                                         f"{', '.join(names[:-1])} or {names[-1]})")
    return unit.exponent


def port(text: str) -> int:
    """A TCP port, 0 to 65535 (0: a free one)."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a port number: {text!r}") from None
    if not 0 <= value <= 65535:
        raise argparse.ArgumentTypeError(f"a port is 0 to 65535, not {value}")
    return value


# ------------------------------------------------------------ groups

def add_serial(parser: argparse.ArgumentParser, default: Any = argparse.SUPPRESS) -> None:
    """``--serial``: before a command's name (default None) or after it, where it wins."""
    parser.add_argument("--serial", metavar="TEXT", default=default, help=SERIAL_HELP)


def add_samples(parser: argparse.ArgumentParser, default: int, what: str = "per block") -> None:
    parser.add_argument("--samples", type=count(1), default=default, metavar="N",
                        help=f"samples {what} (default {default})")


def add_wavelength(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--wavelength", type=positive, metavar="NM",
                        help="calibration wavelength in nm (default: the photodiode's "
                             "peak responsivity)")


def add_front_end(parser: argparse.ArgumentParser, fresh: str = "") -> None:
    """``--gain`` and ``--antialias``; ``fresh`` says what they apply to."""
    parser.add_argument("--gain", choices=["high", "low"], type=str.lower,
                        help=f"the front end's gain{fresh}: high (up to about 200 µW on a "
                             "photodiode) or low (10 times more); default: as the instrument is")
    parser.add_argument("--antialias", choices=["on", "off"], type=str.lower,
                        help=f"the antialias filter{fresh}; default: as the instrument is")


def add_stream(parser: argparse.ArgumentParser, defaults: StreamSettings = StreamSettings()) -> None:
    """The stream's options, the wavelength and the front end; ``defaults``
    are the command's (a live view filters and downsamples by default)."""
    parser.add_argument("--dtype", choices=["float32", "float64"], default=defaults.dtype)
    parser.add_argument("--filter", default=defaults.filter,
                        metavar="F", help=f"{', '.join(FILTERS[:-1])} or {FILTERS[-1]} (default: "
                                          f"{defaults.filter or 'as the stream opens'})")
    parser.add_argument("--cutoff", type=positive, default=defaults.cutoff_hz, metavar="HZ",
                        help="filter cutoff" + (f" (default: {defaults.cutoff_fraction:g} of the "
                                                "output rate)" if defaults.cutoff_fraction else ""))
    parser.add_argument("--downsampling", type=count(1), default=defaults.downsampling,
                        metavar="N", help=f"default {defaults.downsampling or 1}")
    parser.add_argument("--decimation", type=count(1), default=defaults.decimation, metavar="N")
    parser.add_argument("--units", type=units, metavar="U",
                        help="uW (default), mW or W (or -6, -3, 0: the power of ten of the watt)")
    add_wavelength(parser)
    add_front_end(parser)
    parser.add_argument("--bits", action="store_true", help="also record the per-sample bits")
    parser.set_defaults(cutoff_fraction=defaults.cutoff_fraction)


def stream_settings(args: argparse.Namespace) -> StreamSettings:
    """What the stream options of ``args`` ask for."""
    return StreamSettings(
        dtype=args.dtype, filter=args.filter, cutoff_hz=args.cutoff,
        downsampling=args.downsampling, decimation=args.decimation, units=args.units,
        wavelength_nm=args.wavelength, highgain=on_off(args.gain, "high"),
        antialias=on_off(args.antialias, "on"), cutoff_fraction=args.cutoff_fraction)


def front_end_settings(args: argparse.Namespace) -> StreamSettings:
    """The front end that ``--gain`` and ``--antialias`` of ``args`` ask for."""
    return StreamSettings(highgain=on_off(getattr(args, "gain", None), "high"),
                          antialias=on_off(getattr(args, "antialias", None), "on"))


def on_off(choice: str | None, on: str) -> bool | None:
    return None if choice is None else choice == on


def add_spectrum(parser: argparse.ArgumentParser, averaged: str, band: str) -> None:
    """``--average``, ``--band`` and ``--segment`` of the commands that take spectra;
    ``averaged`` says what the blocks are averaged into, ``band`` what the band is of."""
    parser.add_argument("--average", type=count(1), metavar="N",
                        help=f"fresh blocks averaged {averaged} (default 1)")
    parser.add_argument("--band", type=positive, nargs=2, metavar=("LOW", "HIGH"),
                        help=f"band {band} in Hz (default: fs/1000 to fs/50, inside the "
                             "detector's band)")
    parser.add_argument("--segment", type=count(16), metavar="N",
                        help="Welch segment length (default 4096)")


def add_force(parser: argparse.ArgumentParser, what: str) -> None:
    parser.add_argument("--force", action="store_true", help=f"overwrite {what}")


def add_samplerate(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--samplerate", type=positive, metavar="HZ",
                        help="sample rate of an input file that does not record it (.npy)")
