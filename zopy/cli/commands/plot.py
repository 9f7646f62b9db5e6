"""``zopy plot``: a time trace as PNG, of a fresh block or of a file."""

from __future__ import annotations

import argparse
import pathlib
from collections.abc import Iterable, Iterator
from typing import Any

import numpy
import numpy.typing as npt

from ... import analysis
from ..._extras import require
from ..common import (Failure, Opened, check_samples, file_rate, file_units,
                     only_for_fresh_blocks, output, over_range, over_range_title, sample_file,
                     samplerate, wavelength)
from ..options import add_force, add_front_end, add_samplerate, add_wavelength, count

SUMMARY = "A time trace as PNG."
FRESH_SAMPLES = 10_000
BYTES_PER_SAMPLE = 2 + 8 + 8     # a fresh block: raw, power, and the trace drawn from it


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("output", type=pathlib.Path, metavar="OUTPUT.png")
    parser.add_argument("--input", type=pathlib.Path, metavar="FILE",
                        help=".h5, .npz, .csv or .npy (default: acquire a fresh block)")
    add_samplerate(parser)
    parser.add_argument("--samples", type=count(1), metavar="N",
                        help=f"samples to draw (default {FRESH_SAMPLES} of a fresh block, "
                             "all of a file: longer traces are drawn as an envelope)")
    add_wavelength(parser)
    add_front_end(parser, " for a fresh block")
    add_force(parser, "OUTPUT.png")


def run(args: argparse.Namespace) -> None:
    if args.input is not None:
        only_for_fresh_blocks(args, ("gain", "antialias"))
    elif args.samplerate is not None:
        raise Failure("--samplerate is for an input file that does not record its rate", status=2)
    if args.input is None:
        check_samples(args.samples or FRESH_SAMPLES, BYTES_PER_SAMPLE)
    require("matplotlib")
    with output(args.output, args.force, (".png",)) as out:
        if args.input is not None:
            with sample_file(args.input) as source:
                rate = file_rate(args.input, source, args.samplerate)
                units = file_units(args.input, source)
                n = source.length if args.samples is None else min(args.samples, source.length)
                if n == 0:
                    raise Failure(f"{args.input}: nothing to plot: no samples")
                over = source.attrs.get("over_range_samples")
                if over is None and units == analysis.COUNTS:     # raw codes say it themselves
                    counted = _Counted(source.chunks(n))
                    trace, over, total = _trace(n, counted), counted.over_range, n
                else:
                    trace, total = _trace(n, source.chunks(n)), source.length
                over_range(over, total, source.attrs.get("highgain"), f" in {args.input}")
                title = over_range_title(
                    f"{args.input}" if n == source.length else
                    f"{args.input}: the first {n} of {source.length} samples", over, total)
        else:
            with Opened(args.serial, args) as device:
                nm = wavelength(device, args.wavelength)
                data = device.get_calibrated_data(args.samples or FRESH_SAMPLES, nm)
                over = analysis.over_range_samples(data, analysis.block_limits(device, nm))
                highgain = bool(device.highgain)
                rate, units = samplerate(device), "uW"
                title = over_range_title(f"{device!r} at {nm:g} nm", over, data.size)
            over_range(over, data.size, highgain)
            n, trace = data.size, _trace(data.size, [data])
        analysis.plot_trace(trace, out.path, samplerate_hz=rate, units=analysis.axis_label(units),
                            title=title)
    print(f"wrote {args.output} ({n} samples)")


class _Counted:
    """Chunks of raw codes, counting those over range as they pass."""

    def __init__(self, chunks: Iterable[npt.NDArray[Any]]) -> None:
        self.chunks, self.over_range = chunks, 0

    def __iter__(self) -> Iterator[npt.NDArray[Any]]:
        for chunk in self.chunks:
            self.over_range += analysis.over_range_samples(chunk)
            yield chunk


def _trace(n: int, chunks: Iterable[npt.NDArray[Any]]) -> npt.NDArray[Any] | analysis.Envelope:
    """The n samples to plot; more than the plot has pixels become an envelope as they come."""
    if n <= analysis.PLOT_COLUMNS:
        return numpy.concatenate(list(chunks))
    envelope = analysis.Envelope(n)
    for chunk in chunks:
        envelope.add(chunk)
    return envelope
