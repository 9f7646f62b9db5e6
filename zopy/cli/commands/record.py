"""``zopy record``: a stream into an HDF5 file."""

from __future__ import annotations

import argparse
import os
import pathlib
import sys

from ... import record as recorder
from ..._extras import require
from ..._writer import NotEnoughSpaceError, Output
from ..common import Failure, Opened, new_file, over_range, suffix
from ..options import add_force, add_stream, count, positive, stream_settings

SUMMARY = "Record a stream into an HDF5 file."


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("output", type=pathlib.Path, metavar="OUTPUT.h5")
    parser.add_argument("--seconds", type=positive, required=True, metavar="S",
                        help="duration in instrument time")
    add_stream(parser)
    parser.add_argument("--chunk", type=count(1), metavar="N", help="samples per read")
    add_force(parser, "OUTPUT.h5")


def run(args: argparse.Namespace) -> int:
    suffix(args.output, (".h5", ".hdf5"))
    new_file(args.output, args.force)
    require("h5py")
    with Opened(args.serial) as device:
        stream = stream_settings(args).open(device)
        try:
            recorder.requested_samples(args.seconds, None, stream.samplerate)
            # Checked here (an existing file, one being written, a leftover);
            # the recording makes the file valid before it gives it a name,
            # then says that it runs, then reads.
            out = Output(args.output, overwrite=args.force, create=False)
            rate = stream.samplerate

            def started() -> None:
                print(f"recording {args.seconds:g} s at {rate:g} samples/s "
                      f"from {device!r} into {args.output}", file=sys.stderr)

            try:
                result = recorder.record(stream, out, seconds=args.seconds, bits=args.bits,
                                         chunk=args.chunk, on_start=started)
            except NotEnoughSpaceError as exc:
                raise Failure(f"{args.output}: {args.seconds:g} s at {rate:g} "
                              f"samples/s {exc.strerror}; record fewer seconds or on "
                              "another disk") from None
            highgain = bool(device.highgain)
        finally:
            stream.close()
    state = "complete" if result.complete else "INCOMPLETE (interrupted)"
    if os.path.realpath(result.path) != os.path.realpath(args.output):   # the old file kept
        state += f"; {args.output} was left as it was"
    elif os.path.islink(args.output):
        state += f"; {args.output} links to it"
    print(f"{result.path}: {result.samples} samples, {result.seconds:.6g} s at "
          f"{result.samplerate_hz:g} samples/s, {state}; took {result.elapsed_s:.2f} s")
    over_range(result.over_range_samples, result.samples, highgain)
    return 0 if result.complete else 130
