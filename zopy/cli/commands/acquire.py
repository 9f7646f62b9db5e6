"""``zopy acquire``: one block into .npz, .csv, .h5 or .npy."""

from __future__ import annotations

import argparse
import math
import pathlib
from typing import Any

import numpy
import numpy.typing as npt

from ... import analysis, readers
from ..._extras import require
from ..._identity import device_attributes, front_end_attributes
from ..._writer import write_csv
from ..common import (Failure, Opened, check_samples, now, output, over_range, samplerate,
                      suffix, wavelength)
from ..options import add_force, add_front_end, add_samples, add_wavelength, count

SUMMARY = "Acquire one block into .npz, .csv, .h5 or .npy."
SUFFIXES = (".npz", ".csv", ".h5", ".npy")
# the raw block and its power, and for .csv the times and the text
BYTES_PER_SAMPLE = 2 + 8 + 8 + 40


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("output", type=pathlib.Path, metavar="OUTPUT",
                        help=".npz, .csv and .h5 keep the sample rate, units and settings; "
                             ".npy is a bare array")
    add_samples(parser, 100_000)
    parser.add_argument("--raw", action="store_true", help="14-bit ADC codes instead of µW")
    add_wavelength(parser)
    add_front_end(parser)
    parser.add_argument("--trig-mode", type=str.lower, metavar="M",
                        choices=["auto", "rising", "falling", "high", "low"],
                        help="auto, rising, falling, high or low")
    parser.add_argument("--trig-port", type=str.upper, choices=["S", "T"], metavar="P",
                        help="S or T")
    parser.add_argument("--arm-time", type=count(0), default=10, metavar="N",
                        help="samples before a trigger is accepted (default 10)")
    parser.add_argument("--samples-per-trigger", type=count(1), metavar="N",
                        help="re-arm after every N samples")
    add_force(parser, "OUTPUT")


def _trigger(args: argparse.Namespace) -> dict[str, Any]:
    trigger: dict[str, Any] = {"arm_time": args.arm_time}
    if args.trig_mode or args.trig_port or args.samples_per_trigger:
        if args.trig_mode is None:
            raise Failure("--trig-port and --samples-per-trigger need --trig-mode")
        if args.trig_mode != "auto" and args.trig_port is None:
            raise Failure(f"--trig-mode {args.trig_mode} needs --trig-port")
        trigger.update(trig_mode=args.trig_mode, trig_port=args.trig_port)
        if args.samples_per_trigger:
            trigger["samples_per_trigger"] = args.samples_per_trigger
    return trigger


def run(args: argparse.Namespace) -> None:
    kind = suffix(args.output, SUFFIXES)
    check_samples(args.samples, BYTES_PER_SAMPLE)
    trigger = _trigger(args)
    if kind == ".h5":
        require("h5py")
    with output(args.output, args.force, SUFFIXES) as out:
        with Opened(args.serial, args) as device:
            start_time = now()
            data: npt.NDArray[Any]
            nm: float | None
            limits: tuple[float, float] | None
            if args.raw:
                data = device.get_raw_data(args.samples, **trigger)
                units, nm, limits = analysis.COUNTS, None, None
            else:
                nm = wavelength(device, args.wavelength)
                data = device.get_calibrated_data(args.samples, nm, **trigger)
                units, limits = "uW", analysis.block_limits(device, nm)
            over = analysis.over_range_samples(data, limits)
            attrs = {"samplerate_hz": samplerate(device), "units": units,
                     "calibration_wavelength_nm": math.nan if nm is None else nm,
                     **front_end_attributes(device),
                     **device_attributes(device),
                     "start_time": start_time, "over_range_samples": over,
                     "trig_mode": args.trig_mode or "", "trig_port": args.trig_port or "",
                     "arm_time": args.arm_time,
                     "samples_per_trigger": args.samples_per_trigger or 0}
        over_range(over, data.size, attrs["highgain"])
        _save_block(out.path, kind, data, attrs)
    print(f"wrote {data.size} samples ({units}) to {args.output}")


def _save_block(path: str, kind: str, data: npt.NDArray[Any], attrs: dict[str, Any]) -> None:
    """Writes the block and what it means to ``path`` (the file Output created)."""
    if kind == ".npy":
        with open(path, "wb") as f:
            numpy.save(f, data)                  # numpy's format has no place for metadata
    elif kind == ".npz":
        with open(path, "wb") as f:
            # the keys are attribute names, never savez's allow_pickle
            numpy.savez(f, samples=data, **{key: numpy.asarray(value)  # type: ignore[arg-type]
                                            for key, value in attrs.items()})
    elif kind == ".csv":
        column = "adc_code" if attrs["units"] == analysis.COUNTS else "power_uw"
        time_s = numpy.arange(data.size) / attrs["samplerate_hz"]
        write_csv(path, {readers.CSV_TIME_COLUMN: time_s, column: data}, attrs,
                  ["%.12g", "%d" if data.dtype.kind == "u" else "%.9g"])
    else:
        h5py = require("h5py")
        with h5py.File(path, "w", locking=False) as f:   # Output holds the lock
            f.attrs.update(attrs)
            f.attrs["samples_written"] = data.size
            f.attrs["complete"] = True
            f.create_dataset("samples", data=data)
