"""The ``zopy`` command line (also ``python -m zopy``).

::

    zopy list
    zopy info [--samples N] [--wavelength NM] [--gain high|low] [--antialias on|off]
    zopy acquire OUTPUT [--samples N] [--raw] [--wavelength NM] [--gain G] [--antialias A]
                 [--trig-mode M --trig-port P] [--arm-time N] [--samples-per-trigger N]
    zopy record OUTPUT.h5 --seconds S [--dtype float32|float64] [--filter F] [--cutoff HZ]
                [--downsampling N] [--decimation N] [--units uW|mW|W] [--wavelength NM]
                [--gain G] [--antialias A] [--bits] [--force]
    zopy psd [INPUT] [--samples N] [--average N] [--wavelength NM] [--power UW]
             [--samplerate HZ] [--gain G] [--antialias A] [--band LOW HIGH]
             [--plot OUTPUT.png] [--db] [--output SPECTRUM.csv]
    zopy plot OUTPUT.png [--input FILE] [--samplerate HZ] [--samples N] [--gain G] [--antialias A]
    zopy selftest
    zopy bench show | save FILE.toml | check FILE.toml
    zopy scope [--port N] [--host ADDRESS] [--no-browser] [--folder DIR] [stream options of record]

Every command takes ``--serial TEXT`` (the first instrument whose serial
contains it), before or after the command's name. Without a command, ``python -m zopy`` runs ``info``: open the
instrument, print its identity, acquire a block and print the mean optical
power with its noise. :func:`main` runs a command line in-process and
returns the exit status; every failure is one line on stderr and a non-zero
status (1, 2 for a wrong command line, 130 when interrupted). Outputs are
created before the first read, so a file that cannot be written fails
before any work.
"""

import argparse
import contextlib
import datetime
import math
import os
import pathlib
import re
import sys
from collections.abc import Callable, Iterable, Iterator, Sequence
from types import ModuleType
from typing import Any, NoReturn, cast

import numpy
import numpy.typing as npt

import zopy

from . import record as recorder
from . import _identity as identity
from . import readers as sample_files
from . import analysis, scope, selftest
from ._extras import MissingToolError, require
from ._writer import (OVERWRITE_HINT, FileLockedError, NotEnoughSpaceError, Output,
                     check_free_space, failure_text)

PROG = "zopy"
COMMANDS = ("list", "info", "acquire", "record", "psd", "plot", "selftest", "bench", "scope")
ACQUIRE_SUFFIXES = (".npz", ".csv", ".h5", ".npy")
UNIT_NAMES = {"uW": -6, "mW": -3, "W": 0}


class Failure(Exception):
    """A failure the user can act on; its text is the whole message."""

    def __init__(self, message: str, status: int = 1) -> None:
        super().__init__(message)
        self.status = status


class _Parser(argparse.ArgumentParser):
    """argparse with its errors on one line (and the exit status of 2)."""

    def error(self, message: str) -> NoReturn:
        raise Failure(f"{self.prog}: {message} (see --help)", status=2) from None


def main(argv: list[str] | None = None) -> int:
    """Runs the command line ``argv`` (default: sys.argv[1:]); returns the exit status."""
    argv = list(sys.argv[1:] if argv is None else argv)
    if _without_a_command(argv):
        argv.insert(0, "info")     # plain `python -m zopy [options]` keeps its old job
    try:
        args = _parser().parse_args(argv)
        return args.run(args) or 0
    except SystemExit as exc:      # --help and --version
        return exc.code if isinstance(exc.code, int) else 0
    except BaseException as exc:   # noqa: BLE001 - one line, never a traceback
        message, status = _failure(exc)
        # what went wrong on the way out too (closing a file), on the same line
        return _fail("; ".join([message, *getattr(exc, "__notes__", ())]), status)


def _failure(exc: BaseException) -> tuple[str, int]:
    """(message, exit status) of what ended a command."""
    if isinstance(exc, Failure):
        return str(exc), exc.status
    if isinstance(exc, zopy.NoDeviceError):
        return str(_no_device(exc, None)), 1
    if isinstance(exc, zopy.Error):
        errstr = getattr(exc, "errstr", None)
        return f"instrument error: {f'{errstr} (libzo error {exc.err})' if errstr else exc}", 1
    if isinstance(exc, MissingToolError):
        return str(exc), 1
    if isinstance(exc, OSError):
        return _os_failure(exc), 1
    if isinstance(exc, KeyboardInterrupt):
        return "interrupted", 130
    if isinstance(exc, Exception):
        return f"{type(exc).__name__}: {exc}", 1
    raise exc


def _os_failure(exc: OSError) -> str:
    """An OSError of a file in command-line words."""
    if exc.filename is None:
        text = str(exc)
    elif isinstance(exc, (FileExistsError, FileLockedError, NotEnoughSpaceError)) and exc.strerror:
        text = f"{exc.filename}: {exc.strerror}"
    else:
        text = failure_text(exc.filename, exc)
    return text.replace(OVERWRITE_HINT, "use --force to overwrite it")


def _fail(message: str, status: int = 1) -> int:
    message = " ".join(message.split())    # one line, whatever a library put in it
    print(message if message.startswith(PROG) else f"{PROG}: {message}", file=sys.stderr)
    return status


def _warn(message: str) -> None:
    print(f"{PROG}: warning: {message}", file=sys.stderr)


# ------------------------------------------------------------------ options

def _count(minimum: int) -> Callable[[str], int]:
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


def _positive(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"must be a positive number, not {text}")
    return value


def _units(text: str) -> int:
    """uW, mW or W (or the power of ten of the watt: -6, -3, 0) as the power of ten."""
    by_number = {str(power): power for power in UNIT_NAMES.values()}
    power = UNIT_NAMES.get(text, by_number.get(text.strip()))
    if power is None:
        raise argparse.ArgumentTypeError(f"invalid choice: {text} (choose from uW, mW or W)")
    return power


def _without_a_command(argv: list[str]) -> bool:
    """Whether argv, past a leading --serial, names no command and asks for no help."""
    i = 0
    while i < len(argv) and (argv[i] == "--serial" or argv[i].startswith("--serial=")):
        i += 2 if argv[i] == "--serial" else 1
    return i >= len(argv) or (argv[i].startswith("-") and argv[i] not in ("-h", "--help", "--version"))


def _parser() -> argparse.ArgumentParser:
    serial_help = "the first instrument whose serial contains TEXT"
    # --serial goes before or after the command; after it, it wins.
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--serial", metavar="TEXT", default=argparse.SUPPRESS, help=serial_help)

    parser = _Parser(prog=PROG, description="Control and record the KV310 photodetector.")
    parser.add_argument("--serial", metavar="TEXT", help=serial_help)
    parser.add_argument("--version", action="version", version=f"%(prog)s {zopy.__version__}"
                        f" (libzo {'.'.join(map(str, zopy.version()))})")
    commands = parser.add_subparsers(title="commands", metavar="COMMAND", parser_class=_Parser)

    def command(name: str, run: Callable[[argparse.Namespace], int | None] | None, summary: str,
                parents: Sequence[argparse.ArgumentParser] = (common,)) -> argparse.ArgumentParser:
        # typeshed asks for parents of the subparsers' own class; argparse takes any parser
        sub = commands.add_parser(name, parents=list(parents),  # type: ignore[arg-type]
                                  help=summary, description=summary)
        sub.set_defaults(run=run)
        return sub

    def samples(sub: argparse.ArgumentParser, default: int) -> None:
        sub.add_argument("--samples", type=_count(1), default=default, metavar="N",
                         help=f"samples per block (default {default})")

    def wavelength(sub: argparse.ArgumentParser) -> None:
        sub.add_argument("--wavelength", type=_positive, metavar="NM",
                         help="wavelength of the light in nm (default: peak responsivity)")

    def front_end(sub: argparse.ArgumentParser, fresh: str = "") -> None:
        sub.add_argument("--gain", choices=["high", "low"], type=str.lower,
                         help=f"the front end's gain{fresh}: high (up to about 200 µW on a "
                              "photodiode) or low (10 times more); default: as the instrument is")
        sub.add_argument("--antialias", choices=["on", "off"], type=str.lower,
                         help=f"the antialias filter{fresh}; default: as the instrument is")

    def samplerate(sub: argparse.ArgumentParser) -> None:
        sub.add_argument("--samplerate", type=_positive, metavar="HZ",
                         help="sample rate of an input file that does not record it (.npy)")

    command("list", run_list, "List the instruments attached (serial, product).")

    sub = command("info", run_info, "Identity, mean power and noise of an instrument.")
    samples(sub, 100_000)
    wavelength(sub)
    front_end(sub)

    sub = command("acquire", run_acquire, "Acquire one block into .npz, .csv, .h5 or .npy.")
    sub.add_argument("output", type=pathlib.Path, metavar="OUTPUT",
                     help=".npz, .csv and .h5 keep the sample rate, units and settings; "
                          ".npy is a bare array")
    samples(sub, 100_000)
    sub.add_argument("--raw", action="store_true", help="14-bit ADC codes instead of µW")
    wavelength(sub)
    front_end(sub)
    sub.add_argument("--trig-mode", type=str.lower, metavar="M",
                     choices=["auto", "rising", "falling", "high", "low"],
                     help="auto, rising, falling, high or low")
    sub.add_argument("--trig-port", type=str.upper, choices=["S", "T"], metavar="P",
                     help="S or T")
    sub.add_argument("--arm-time", type=_count(0), default=10, metavar="N",
                     help="samples before a trigger is accepted (default 10)")
    sub.add_argument("--samples-per-trigger", type=_count(1), metavar="N",
                     help="re-arm after every N samples")
    sub.add_argument("--force", action="store_true", help="overwrite OUTPUT")

    sub = command("record", run_record, "Record a stream into an HDF5 file.")
    sub.add_argument("output", type=pathlib.Path, metavar="OUTPUT.h5")
    sub.add_argument("--seconds", type=_positive, required=True, metavar="S",
                     help="duration in instrument time")
    sub.add_argument("--dtype", choices=["float32", "float64"], default="float32")
    sub.add_argument("--filter", metavar="F", help="none, lowpass or highpass")
    sub.add_argument("--cutoff", type=_positive, metavar="HZ", help="filter cutoff")
    sub.add_argument("--downsampling", type=_count(1), metavar="N")
    sub.add_argument("--decimation", type=_count(1), metavar="N")
    sub.add_argument("--units", type=_units, metavar="U",
                     help="uW (default), mW or W (or -6, -3, 0: the power of ten of the watt)")
    wavelength(sub)
    front_end(sub)
    sub.add_argument("--bits", action="store_true", help="also record the per-sample bits")
    sub.add_argument("--chunk", type=_count(1), metavar="N", help="samples per read")
    sub.add_argument("--force", action="store_true", help="overwrite OUTPUT.h5")

    sub = command("psd", run_psd, "Noise spectrum against the shot-noise level.")
    sub.add_argument("input", nargs="?", type=pathlib.Path, metavar="INPUT",
                     help="a file of samples: .h5, .npz, .csv or .npy (default: acquire "
                          "fresh blocks)")
    samples(sub, 1 << 20)
    sub.add_argument("--average", type=_count(1), metavar="N",
                     help="fresh blocks whose spectra are averaged (default 1)")
    wavelength(sub)
    front_end(sub, " for fresh blocks")
    samplerate(sub)
    sub.add_argument("--power", type=_positive, metavar="UW",
                     help="optical power for the shot-noise level in µW: the total on both "
                          "photodiodes of a balanced unit (default: the mean power, "
                          "single-photodiode units)")
    sub.add_argument("--band", type=_positive, nargs=2, metavar=("LOW", "HIGH"),
                     help="band of the clearance in Hz (default: fs/1000 to fs/50)")
    sub.add_argument("--segment", type=_count(16), metavar="N",
                     help="Welch segment length (default 4096)")
    sub.add_argument("--plot", type=pathlib.Path, metavar="OUTPUT.png",
                     help="draw the spectrum with the shot-noise line and the band")
    sub.add_argument("--db", action="store_true",
                     help="draw the spectrum in dB relative to shot noise")
    sub.add_argument("--output", type=pathlib.Path, metavar="SPECTRUM.csv",
                     help="write the spectrum: frequency, density, dB relative to shot noise")
    sub.add_argument("--force", action="store_true", help="overwrite the plot and the spectrum")

    sub = command("plot", run_plot, "A time trace as PNG.")
    sub.add_argument("output", type=pathlib.Path, metavar="OUTPUT.png")
    sub.add_argument("--input", type=pathlib.Path, metavar="FILE",
                     help=".h5, .npz, .csv or .npy (default: acquire a fresh block)")
    samplerate(sub)
    samples(sub, 10_000)
    wavelength(sub)
    front_end(sub, " for a fresh block")
    sub.add_argument("--force", action="store_true", help="overwrite OUTPUT.png")

    command("selftest", run_selftest, "Check the ADC with its test patterns.")

    sub = command("bench", None, "The virtual bench (the instruments zopy simulates).",
                  parents=())
    actions = sub.add_subparsers(title="actions", metavar="ACTION", parser_class=_Parser,
                                 required=True)
    actions.add_parser("show", help="the bench in force (ZOPY_BENCH or the default)",
                       description="Print the bench in force as a bench file."
                       ).set_defaults(run=run_bench_show)
    save = actions.add_parser("save", help="a complete, commented template of the bench in force",
                              description="Write the bench in force as a complete bench file, "
                              "every key commented: a template to edit.")
    save.add_argument("file", type=pathlib.Path, metavar="FILE.toml")
    save.add_argument("--force", action="store_true", help="overwrite FILE.toml")
    save.set_defaults(run=run_bench_save)
    check = actions.add_parser("check", help="validate a bench file",
                               description="Check a bench file as ZOPY_BENCH would load it.")
    check.add_argument("file", type=pathlib.Path, metavar="FILE.toml")
    check.set_defaults(run=run_bench_check)

    scope.add_arguments(command("scope", run_scope, scope.SUMMARY), count=_count, positive=_positive)
    return parser


# ------------------------------------------------------------------ helpers

def _open_all(serial: str | None = None) -> tuple[list[zopy.Device], zopy.NoDeviceError]:
    """Every free instrument (whose serial contains ``serial``), opened one after
    another: an open one is not found again, and the library cannot enumerate otherwise."""
    devices: list[zopy.Device] = []
    try:
        while True:
            try:
                devices.append(zopy.Device(serial=serial))
            except zopy.NoDeviceError as exc:
                return devices, exc
    except BaseException:
        for device in devices:
            device.close()
        raise


def _no_device(exc: zopy.Error, serial: str | None) -> Failure:
    """NoDeviceError in words: the library's own text and the serials attached."""
    try:
        devices, _ = _open_all()
    except zopy.Error:
        attached = "unknown"
    else:
        attached = ", ".join(device.serial for device in devices) or "none"
        for device in devices:
            device.close()
    text = getattr(exc, "errstr", "") or (
        f"no instrument found whose serial contains {serial!r}" if serial else "no instrument found")
    return Failure(f"{text} (libzo error {exc.err}); attached: {attached}")


class _Opened:
    """The chosen instrument, its front end set as asked, closed when the command ends."""

    def __init__(self, serial: str | None, args: argparse.Namespace | None = None) -> None:
        try:
            self.device = zopy.Device(serial=serial)
        except zopy.NoDeviceError as exc:
            raise _no_device(exc, serial) from None
        try:
            gain, antialias = getattr(args, "gain", None), getattr(args, "antialias", None)
            if gain is not None:
                self.device.highgain = gain == "high"
            if antialias is not None:
                self.device.antialias = antialias == "on"
        except BaseException:
            self.device.close()
            raise

    def __enter__(self) -> zopy.Device:
        return self.device

    def __exit__(self, *exc: object) -> None:
        self.device.close()


def _wavelength(device: zopy.Device, nm: float | None) -> float:
    """The wavelength to calibrate at: given (and inside the photodiode's band) or the peak."""
    if nm is None:
        return float(device.peak_responsivity)
    if not identity.in_band(device, nm):
        raise Failure(f"wavelength {nm:g} nm is outside the photodiode's band")
    return nm


def _new_file(path: pathlib.Path, force: bool) -> None:
    """Refuses an existing output unless forced, or one in a folder that does not exist."""
    if path.exists() and not force:
        raise Failure(f"{path} exists (use --force to overwrite it)")
    if not path.absolute().parent.is_dir():
        raise Failure(f"{path}: no folder {path.parent}")


def _output(path: pathlib.Path, force: bool, suffixes: tuple[str, ...]) -> Output:
    """The output file, created now (beside ``path`` until it is complete), so
    that one that cannot be written fails before any work."""
    _suffix(path, suffixes)
    _new_file(path, force)
    return Output(path, overwrite=force)


def _suffix(path: pathlib.Path, allowed: tuple[str, ...]) -> str:
    suffix = path.suffix.lower()
    if suffix not in allowed:
        raise Failure(f"{path}: unknown file type {suffix or '(none)'!r}, "
                      f"use one of {', '.join(allowed)}")
    return suffix


def _only_for_fresh_blocks(args: argparse.Namespace, names: Iterable[str]) -> None:
    """Refuses options that set up an acquisition when the samples come from a file."""
    given = [f"--{name.replace('_', '-')}" for name in names if getattr(args, name, None)]
    if given:
        raise Failure(f"{' and '.join(given)} set up a fresh acquisition; "
                      "an input file was acquired already", status=2)


def _calibrated_limits(device: zopy.Device, wavelength: float) -> tuple[float, float] | None:
    """What the ADC's end codes become in calibrated µW at this wavelength and the current gain."""
    return analysis.over_range_limits(device.get_rel_calibration(wavelength))


def _over_range(count: int | None, total: int, highgain: bool | None = None,
                where: str = "") -> bool:
    """One warning line when samples sit at the ADC's limits; whether they do."""
    if not count:
        return False
    advice = "use less light" if highgain is False else "use --gain low or less light"
    _warn(f"{count} of {total} samples{where} ({100.0 * count / total:.3g}%) are over range: "
          f"the ADC sits at its limit, so they are clipped and the power and noise shown are "
          f"wrong; {advice}")
    return True


def _now() -> str:
    return datetime.datetime.now(datetime.timezone.utc).isoformat()


# ----------------------------------------------------------------- commands

def run_list(args: argparse.Namespace) -> None:
    """Opens the instruments one after another (an open one is not found again),
    then closes them all: the library has no way to enumerate without opening."""
    devices, missing = _open_all(args.serial)
    try:
        if not devices:
            raise _no_device(missing, args.serial)
        for device in devices:
            print(f"{device.serial}\t{device.product}"
                  f"{' (balanced)' if identity.is_balanced(device) else ''}")
    finally:
        for device in devices:
            device.close()


def run_info(args: argparse.Namespace) -> None:
    with _Opened(args.serial, args) as device:
        wavelength = _wavelength(device, args.wavelength)
        balanced = identity.is_balanced(device)
        major, minor, patch = zopy.version()
        print(f"libzo {major}.{minor}.{patch}")
        print(f"Instrument        {device!r}")
        if balanced:
            print("Balanced          yes: the power shown is P1 - P2, the first photodiode's "
                  "light less the second's")
        print(f"Sample rate       {device.samplerate} samples/s")
        print(f"ADC bits          {device.adcbits}")
        print("Firmware          {}.{}.{}".format(*device.fwversion))
        print(f"USB speed         {device.usb_speed}")
        print(f"Peak responsivity {device.peak_responsivity} nm")
        highgain = bool(device.highgain)
        print(f"Gain              {'high' if highgain else 'low'}")
        print(f"Antialias         {'on' if device.antialias else 'off'}")

        power = device.get_calibrated_data(args.samples, wavelength=wavelength)
        over = analysis.over_range_samples(power, _calibrated_limits(device, wavelength))
        duration_ms = 1000.0 * args.samples / device.samplerate
        difference = " (P1 - P2)" if balanced else ""
        print(f"Acquired          {power.size} samples ({duration_ms:.1f} ms) at {wavelength:g} nm")
        print(f"Mean power        {power.mean():.4f} µW{difference}")
        print(f"Noise (std)       {power.std():.4f} µW")
        print(f"Range             {numpy.min(power):.4f} .. {numpy.max(power):.4f} µW")
        if over:
            print(f"Over range        {over} samples ({100.0 * over / power.size:.3g}%): "
                  "the numbers above are clipped")
    _over_range(over, power.size, highgain)


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


def run_acquire(args: argparse.Namespace) -> None:
    suffix = _suffix(args.output, ACQUIRE_SUFFIXES)
    trigger = _trigger(args)
    if suffix == ".h5":
        require("h5py")
    with _output(args.output, args.force, ACQUIRE_SUFFIXES) as output:
        with _Opened(args.serial, args) as device:
            start_time = _now()
            data: npt.NDArray[Any]
            wavelength: float | None
            limits: tuple[float, float] | None
            if args.raw:
                data = device.get_raw_data(args.samples, **trigger)
                units, wavelength, limits = "counts", None, None
            else:
                wavelength = _wavelength(device, args.wavelength)
                data = device.get_calibrated_data(args.samples, wavelength, **trigger)
                units, limits = "uW", _calibrated_limits(device, wavelength)
            over = analysis.over_range_samples(data, limits)
            attrs = {"samplerate_hz": float(device.samplerate), "units": units,
                     "calibration_wavelength_nm": math.nan if wavelength is None else wavelength,
                     **identity.front_end_attributes(device),
                     **identity.device_attributes(device),
                     "start_time": start_time, "over_range_samples": over,
                     "trig_mode": args.trig_mode or "", "trig_port": args.trig_port or "",
                     "arm_time": args.arm_time,
                     "samples_per_trigger": args.samples_per_trigger or 0}
        _over_range(over, data.size, attrs["highgain"])
        _save_block(output.path, suffix, data, attrs)
    print(f"wrote {data.size} samples ({units}) to {args.output}")


def _save_block(path: str, suffix: str, data: npt.NDArray[Any], attrs: dict[str, Any]) -> None:
    """Writes the block and what it means to ``path`` (the file Output created)."""
    if suffix == ".npy":
        with open(path, "wb") as f:
            numpy.save(f, data)                  # numpy's format has no place for metadata
    elif suffix == ".npz":
        with open(path, "wb") as f:
            # the keys are attribute names, never savez's allow_pickle
            numpy.savez(f, samples=data, **{key: numpy.asarray(value)  # type: ignore[arg-type]
                                            for key, value in attrs.items()})
    elif suffix == ".csv":
        column = "adc_code" if attrs["units"] == "counts" else "power_uw"
        header = [f"# {key} = {_csv_text(value)}".rstrip() for key, value in attrs.items()]
        time_s = numpy.arange(data.size) / attrs["samplerate_hz"]
        numpy.savetxt(path, numpy.column_stack((time_s, data)),
                      fmt=["%.12g", "%d" if data.dtype.kind == "u" else "%.9g"], delimiter=",",
                      header="\n".join([*header, f"{sample_files.CSV_TIME_COLUMN},{column}"]),
                      comments="")
    else:
        h5py = require("h5py")
        with h5py.File(path, "w", locking=False) as f:   # Output holds the lock
            f.attrs.update(attrs)
            f.attrs["samples_written"] = data.size
            f.attrs["complete"] = True
            f.create_dataset("samples", data=data)


def _csv_text(value: object) -> str:
    """A value of the .csv header as the reader takes it back."""
    if isinstance(value, bool):
        return "true" if value else "false"
    return repr(value) if isinstance(value, float) else str(value)


def run_record(args: argparse.Namespace) -> int:
    _suffix(args.output, (".h5", ".hdf5"))
    _new_file(args.output, args.force)
    require("h5py")
    with _Opened(args.serial, args) as device:
        stream = device.open_stream(args.dtype)
        try:
            if args.units is not None:
                stream.set_calibration_units(args.units)
            if args.wavelength is not None:
                stream.set_calibration_wavelength(_wavelength(device, args.wavelength))
            if args.filter is not None:
                stream.set_filter(args.filter)
            if args.cutoff is not None:
                stream.set_cutoff(args.cutoff)
            if args.downsampling is not None:
                stream.set_downsampling(args.downsampling)
            if args.decimation is not None:
                stream.set_decimation(args.decimation)
            total = recorder.requested_samples(args.seconds, None, stream.samplerate)
            # Created here, just before the recording makes it a valid file (a
            # killed recording leaves no empty one behind), and before anything
            # is read or said: a file that cannot be created fails first.
            output = Output(args.output, overwrite=args.force)
            try:
                check_free_space(output.target, recorder.recording_bytes(stream, total, args.bits))
                print(f"recording {args.seconds:g} s at {stream.samplerate:g} samples/s "
                      f"from {device!r} into {args.output}", file=sys.stderr)
            except BaseException as exc:
                output.discard()
                if isinstance(exc, NotEnoughSpaceError):
                    raise Failure(f"{args.output}: {args.seconds:g} s at {stream.samplerate:g} "
                                  f"samples/s {exc.strerror}; record fewer seconds or on "
                                  "another disk") from None
                raise
            result = recorder.record(stream, output, seconds=args.seconds, bits=args.bits,
                                     chunk=args.chunk)
            highgain = bool(device.highgain)
        finally:
            stream.close()
    state = "complete" if result.complete else "INCOMPLETE (interrupted)"
    if result.path != os.fspath(args.output):
        state += f"; {args.output} was left as it was"
    print(f"{result.path}: {result.samples} samples, {result.seconds:.6g} s at "
          f"{result.samplerate_hz:g} samples/s, {state}; took {result.elapsed_s:.2f} s")
    _over_range(result.over_range_samples, result.samples, highgain)
    return 0 if result.complete else 130


@contextlib.contextmanager
def _input(path: pathlib.Path) -> Iterator[sample_files.SampleFile]:
    """The checked file of samples at ``path``; its faults, found on opening
    or while reading, become one-line failures."""
    _suffix(path, sample_files.SUFFIXES)
    try:
        with sample_files.open_sample_file(path) as source:
            yield source
    except sample_files.SampleFileError as exc:
        raise Failure(str(exc)) from None


def _file_rate(path: pathlib.Path, source: sample_files.SampleFile, given: float | None) -> float:
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


def _file_units(path: pathlib.Path, source: sample_files.SampleFile) -> str:
    """The units of an input file; a bare .npy holds what zopy acquire writes:
    ADC codes as integers, µW as floats."""
    if source.units:
        return source.units
    if path.suffix.lower() == ".npy":
        return "counts" if source.dtype.kind in "iu" else "uW"
    return ""


UNIT_SCALES = {"uW": 1e-6, "mW": 1e-3, "W": 1.0}
AXIS_LABELS = {"uW": "power (µW)", "mW": "power (mW)", "W": "power (W)", "counts": "ADC code"}
MAX_SEGMENT = 1 << 22       # a segment is held and transformed at once


class _Measured:
    """What a spectrum was taken from."""
    text = ""                   # the source, for the report
    serial = ""
    balanced = False
    highgain: bool | None = None
    over_range: int | None = None           # samples over range, None: not known
    samples = 0


def run_psd(args: argparse.Namespace) -> None:
    if args.segment is not None and args.segment > MAX_SEGMENT:
        raise Failure(f"--segment must be at most {MAX_SEGMENT}, not {args.segment}", status=2)
    if args.input is not None:
        _only_for_fresh_blocks(args, ("gain", "antialias", "average"))
    elif args.samplerate is not None:
        raise Failure("--samplerate is for an input file that does not record its rate", status=2)
    if args.db and args.plot is None:
        raise Failure("--db draws the plot in dB: give --plot too", status=2)
    require("scipy")
    if args.plot is not None:
        require("matplotlib")
    with contextlib.ExitStack() as outputs:
        plot: Output | None
        spectrum_file: Output | None
        plot = spectrum_file = None
        if args.plot is not None:
            plot = outputs.enter_context(_output(args.plot, args.force, (".png",)))
        if args.output is not None:
            spectrum_file = outputs.enter_context(_output(args.output, args.force, (".csv",)))
        moments, measured = analysis.Moments(), _Measured()
        if args.input is not None:
            s, rate, wavelength = _file_spectrum(args, moments, measured)
        else:
            s, rate, wavelength = _fresh_spectrum(args, moments, measured)
        _report_spectrum(args, s, rate, wavelength, moments, measured, plot, spectrum_file)


def _file_spectrum(args: argparse.Namespace, moments: analysis.Moments,
                   measured: _Measured) -> tuple[analysis.Spectrum, float, float]:
    with _input(args.input) as source:
        rate = _file_rate(args.input, source, args.samplerate)
        units = _file_units(args.input, source)
        if units == "counts":
            raise Failure(f"{args.input}: holds ADC codes, not optical power; acquire or "
                          "record it calibrated (without --raw)")
        scale = UNIT_SCALES.get(units)
        if scale is None:
            raise Failure(f"{args.input}: does not say what its samples are (no units); "
                          "psd takes optical power")
        wavelength = args.wavelength or source.wavelength_nm
        if wavelength is None:
            raise Failure(f"{args.input}: no calibration wavelength recorded; give --wavelength")
        if source.length < 16:
            raise Failure(f"{args.input}: a spectrum needs at least 16 samples, "
                          f"the file holds {source.length}")
        measured.balanced = source.balanced
        measured.serial = str(source.attrs.get("serial", args.input.name))
        measured.highgain = source.attrs.get("highgain")
        measured.over_range = source.attrs.get("over_range_samples")
        measured.samples = source.length
        # the whole file, a chunk at a time: memory independent of its length
        welch = analysis.WelchAverage(rate, min(source.length, args.segment or analysis.SEGMENT))
        for chunk in source.chunks():
            power_w = chunk.astype(numpy.float64) * scale
            welch.add(power_w)
            moments.add(power_w)
        measured.text = f"{args.input} ({source.length} samples)"
        return welch.spectrum(), rate, wavelength


def _fresh_spectrum(args: argparse.Namespace, moments: analysis.Moments,
                    measured: _Measured) -> tuple[analysis.Spectrum, float, float]:
    blocks = args.average or 1
    with _Opened(args.serial, args) as device:
        wavelength = _wavelength(device, args.wavelength)
        rate = float(device.samplerate)
        limits = _calibrated_limits(device, wavelength)
        measured.balanced = identity.is_balanced(device)
        measured.serial = device.serial
        measured.highgain = bool(device.highgain)
        measured.over_range = 0
        total: npt.NDArray[numpy.float64] | None = None
        for _ in range(blocks):
            data = device.get_calibrated_data(args.samples, wavelength)
            measured.over_range += analysis.over_range_samples(data, limits)
            power_w = numpy.asarray(data, dtype=numpy.float64) * 1e-6
            moments.add(power_w)
            s = analysis.psd(power_w, rate, args.segment)
            total = s.density if total is None else total + s.density
        measured.samples = blocks * args.samples
        measured.text = (f"{device!r}, {args.samples} samples"
                         + (f" x {blocks} blocks" if blocks > 1 else ""))
    # blocks >= 1 (--average is at least 1): total holds their sum
    return (analysis.Spectrum(s.frequency_hz, cast(npt.NDArray[numpy.float64], total) / blocks,
                              s.resolution_hz), rate, wavelength)


def _report_spectrum(args: argparse.Namespace, s: analysis.Spectrum, rate: float, wavelength: float,
                     moments: analysis.Moments, measured: _Measured, plot: Output | None,
                     spectrum_file: Output | None) -> None:
    band = tuple(args.band) if args.band else analysis.default_band(rate)
    try:
        density = analysis.band_mean(s, band)
    except ValueError as exc:
        raise Failure(f"{exc} (resolution {s.resolution_hz:.4g} Hz); give --band") from None
    if not math.isfinite(density):
        raise Failure(f"{measured.text}: the noise density overflows; the samples are too large "
                      "to be optical power")
    where = f" in {args.input}" if args.input is not None else ""
    over_range = _over_range(measured.over_range, measured.samples, measured.highgain, where)

    averaged = f"; {args.average} blocks averaged" if (args.average or 1) > 1 else ""
    print(f"Source            {measured.text} at {rate:g} samples/s")
    print(f"Mean power        {moments.mean * 1e6:.4f} µW"
          f"{' (P1 - P2)' if measured.balanced else ''}")
    print(f"Resolution        {s.resolution_hz:.4g} Hz (Welch, Hann, 50% overlap{averaged})")
    print(f"Noise density     {density:.4g} W²/Hz over {band[0]:g}..{band[1]:g} Hz")
    level = _shot_level(args, measured.balanced, moments, wavelength)
    clearance = None
    if level is not None:
        print(f"Shot-noise level  {level:.4g} W²/Hz (2hνP, P = {_power_text(args, moments)}"
              f" at {wavelength:g} nm)")
        if over_range:
            print("Clearance         none: samples are over range (clipped), so the spectrum "
                  "is not that of the light")
        elif density > 0:
            clearance = analysis.clearance_db(s, level, band)
            print(f"Clearance         {clearance:+.2f} dB relative to "
                  f"shot noise over {band[0]:g}..{band[1]:g} Hz")
        else:
            print(f"Clearance         none: no noise at all over {band[0]:g}..{band[1]:g} Hz")
    elif args.db:
        raise Failure("--db needs the shot-noise level; give --power")
    if spectrum_file is not None:
        _save_spectrum(spectrum_file.path, s, level, measured, rate, wavelength)
    if plot is not None:
        power = _power_text(args, moments) + (" (P1 - P2)" if measured.balanced and
                                              not args.power else "")
        title = (f"{measured.serial} at {wavelength:g} nm, P = {power}, "
                 f"RBW {s.resolution_hz:.4g} Hz")
        analysis.plot_spectrum(s, plot.path, level=level, band=band, clearance=clearance,
                               db=args.db, title=title)
    # the files take their names as the block ends; then say so
    for given, output in ((args.output, spectrum_file), (args.plot, plot)):
        if output is not None:
            output.commit()
            print(f"wrote {given}")


def _save_spectrum(path: str, s: analysis.Spectrum, level: float | None, measured: _Measured,
                   rate: float, wavelength: float) -> None:
    """The spectrum as .csv: frequency, density and (when the level is known) dB
    relative to shot noise, under the metadata lines that say what it is."""
    header = {"source": measured.text, "serial": measured.serial, "samplerate_hz": rate,
              "calibration_wavelength_nm": wavelength, "resolution_hz": s.resolution_hz,
              "shot_noise_w2_hz": math.nan if level is None else level,
              "over_range_samples": -1 if measured.over_range is None else measured.over_range}
    with numpy.errstate(divide="ignore"):
        relative = (numpy.full(s.density.shape, numpy.nan) if level is None
                    else 10.0 * numpy.log10(s.density / level))
    numpy.savetxt(path, numpy.column_stack((s.frequency_hz, s.density, relative)),
                  fmt=["%.9g", "%.6g", "%.4f"], delimiter=",", comments="",
                  header="\n".join([*(f"# {k} = {_csv_text(v)}" for k, v in header.items()),
                                    "frequency_hz,density_w2_hz,relative_to_shot_noise_db"]))


def _power_text(args: argparse.Namespace, moments: analysis.Moments) -> str:
    return f"{args.power:g} µW" if args.power else f"{moments.mean * 1e6:.4g} µW"


def _shot_level(args: argparse.Namespace, balanced: bool, moments: analysis.Moments,
                wavelength: float) -> float | None:
    if args.power is not None:
        return analysis.shot_noise_level(args.power * 1e-6, wavelength)
    if balanced:
        print("Shot-noise level  unknown: a balanced unit's output is P1 - P2; give --power, "
              "the total µW on both photodiodes")
        return None
    if not moments.mean > moments.std:     # dark: the mean is lost in the noise
        print("Shot-noise level  unknown: no light on the photodiode; give --power")
        return None
    return analysis.shot_noise_level(moments.mean, wavelength)


def run_plot(args: argparse.Namespace) -> None:
    if args.input is not None:
        _only_for_fresh_blocks(args, ("gain", "antialias"))
    elif args.samplerate is not None:
        raise Failure("--samplerate is for an input file that does not record its rate", status=2)
    require("matplotlib")
    with _output(args.output, args.force, (".png",)) as output:
        if args.input is not None:
            with _input(args.input) as source:
                rate = _file_rate(args.input, source, args.samplerate)
                units = _file_units(args.input, source)
                n = min(args.samples, source.length)
                if n == 0:
                    raise Failure(f"{args.input}: nothing to plot: no samples")
                over = source.attrs.get("over_range_samples")
                if over is None and units == "counts":     # raw codes say it themselves
                    counted = _Counted(source.chunks(n))
                    trace, over, total = _trace(n, counted), counted.over_range, n
                else:
                    trace, total = _trace(n, source.chunks(n)), source.length
                _over_range(over, total, source.attrs.get("highgain"), f" in {args.input}")
                title = f"{args.input}"
        else:
            with _Opened(args.serial, args) as device:
                wavelength = _wavelength(device, args.wavelength)
                data = device.get_calibrated_data(args.samples, wavelength)
                over = analysis.over_range_samples(data, _calibrated_limits(device, wavelength))
                highgain = bool(device.highgain)
                rate, units = float(device.samplerate), "uW"
                title = f"{device!r} at {wavelength:g} nm"
            _over_range(over, data.size, highgain)
            n, trace = data.size, _trace(data.size, [data])
        analysis.plot_trace(trace, output.path, samplerate_hz=rate,
                            units=AXIS_LABELS.get(units, "value"), title=title)
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


def run_selftest(args: argparse.Namespace) -> int:
    with _Opened(args.serial) as device:
        return 0 if selftest.run(device) else 1


# -------------------------------------------------------------------- bench

def _sim() -> ModuleType:
    """zopy.sim, or a failure on a build against the maker's library (no bench)."""
    try:
        from . import sim
    except ImportError:
        raise Failure("this build of zopy links against the maker's libzo: it has no "
                      "virtual bench") from None
    return sim


def _bench_origin() -> str:
    path = os.environ.get("ZOPY_BENCH")
    return f"built from ZOPY_BENCH={path}" if path else "the default bench (ZOPY_BENCH is not set)"


def run_bench_show(args: argparse.Namespace) -> None:
    from .sim._bench_files import bench_toml
    sim = _sim()
    print(f"# The bench in force: {_bench_origin()}.")
    print(bench_toml(sim.describe_bench()), end="")


def run_bench_save(args: argparse.Namespace) -> None:
    sim = _sim()
    from .sim._bench_files import bench_toml
    with _output(args.file, args.force, (".toml",)) as output:
        text = _bench_template(bench_toml(sim.describe_bench()))
        with open(output.path, "w", encoding="utf-8") as f:
            f.write(text)
    print(f"wrote {args.file}")


def run_bench_check(args: argparse.Namespace) -> None:
    sim = _sim()
    before = sim.describe_bench()
    try:
        sim.load_bench(args.file)
        bench = sim.describe_bench()
    except sim.BenchFileError as exc:
        raise Failure(str(exc)) from None
    finally:
        sim.build_bench(before)
    instruments = bench["instrument"]
    serials = ", ".join(inst["serial"] for inst in instruments)
    overrides = len(bench["override"])
    print(f"{args.file}: a valid bench: {len(instruments)} instrument"
          f"{'' if len(instruments) == 1 else 's'}{f' ({serials})' if serials else ''}, "
          f"trigger timeout {bench['timeout']:g} s, "
          f"{'real-time pacing' if bench['realtime'] else 'unpaced'}, "
          f"{overrides or 'no'} scripted answer{'' if overrides == 1 else 's'}")


# What each key of a bench file means, for the comments of a template; a key
# without a note here is written all the same.
BENCH_NOTES = {
    "timeout": "trigger timeout, seconds of instrument time",
    "realtime": "true: reads take as long as on a real unit; false: unpaced",
    "logging": "the call log (zopy.sim.calls()) on or off",
    "log_capacity": "calls the log keeps at most",
    "serial": "serial number, unique on the bench",
    "product": "product name",
    "balanced": "two photodiodes; the output is P1 - P2",
    "samplerate": "base sample rate, samples/s",
    "adcbits": "ADC bits the unit reports",
    "fwversion": "firmware version",
    "usb_speed": "USB speed code (3: high; below 0: the query fails)",
    "peak_responsivity": "nm where the photodiode is most sensitive",
    "unplug_after_reads": "unplugged after this many raw-data reads (0: never)",
    "power_uw": "light on the photodiode (P1), µW",
    "wavelength_nm": "wavelength of the light, nm",
    "p2_power_uw": "light on P2 of a balanced unit, µW",
    "modulation_hz": "sine modulation of P1, Hz (0: none)",
    "modulation_depth": "P1 * (1 + depth * sin(2 pi f t))",
    "noise": "false: exact codes, no noise",
    "seed": "picks the noise: the same seed gives the same samples",
    "rin_db_hz": "the laser's relative intensity noise, dB/Hz",
    "cmrr_db": "a balanced unit's rejection of that noise, dB",
    "level": "a constant level on the port",
    "frequency_hz": "a square wave on the port, Hz",
    "duty": "the square wave's high fraction",
    "function": "the library function whose next answers are scripted",
    "result": "what it returns instead",
    "error": "[code, text]: the error it reports",
    "times": "how many of its next calls answer so",
}

BENCH_HEADER = """\
# A bench file of zopy's virtual instrument: the bench in force when it was
# saved ({origin}), every key with its value.
# Run any zopy command or program on it:
#     ZOPY_BENCH=FILE zopy info
#     ZOPY_BENCH=FILE python experiment.py
# and check an edited copy with `zopy bench check FILE`. Every key with its
# type and default: help(zopy.sim.load_bench).
# realtime = false is unpaced: a read returns as soon as its samples are
# made, so a recording of 60 s may take a second (and fill a disk as fast);
# true paces reads like a real instrument.

"""

BENCH_MORE = """
# More that a bench file can say (uncomment and edit):
#
# rin_db_hz = -140.0          # in [instrument.light]: {rin}
#
# [instrument.ports.S]        # a signal on port S (or T) of the instrument above
# frequency_hz = 1000.0       # {frequency}, starting low
# duty = 0.5                  # {duty}
#
# [[override]]                # the library's next answer to a call, scripted
# function = "zo_get_raw_data"
# result = 33
# error = [33, "USB transfer timed out"]
# times = 1
"""


def _bench_template(text: str) -> str:
    """A bench file's text (as bench_toml writes it) with a note on every key."""
    lines = [BENCH_HEADER.format(origin=_bench_origin()).rstrip("\n"), ""]
    for line in text.splitlines():
        key = re.match(r"(\w+) = ", line)
        note = BENCH_NOTES.get(key.group(1)) if key else None
        lines.append(f"{line:<32} # {note}" if note and len(line) < 60 else line)
    lines.append(BENCH_MORE.format(rin=BENCH_NOTES["rin_db_hz"],
                                   frequency=BENCH_NOTES["frequency_hz"],
                                   duty=BENCH_NOTES["duty"]))
    return "\n".join(lines)


def run_scope(args: argparse.Namespace) -> int:
    try:
        return scope.run_command(args)
    except scope.ScopeError as exc:
        raise Failure(str(exc)) from None


if __name__ == "__main__":
    sys.exit(main())
