"""The ``zopy`` command line (also ``python -m zopy``).

::

    zopy list
    zopy info [--samples N] [--wavelength NM]
    zopy acquire OUTPUT [--samples N] [--raw] [--wavelength NM]
                 [--trig-mode M --trig-port P] [--arm-time N] [--samples-per-trigger N]
    zopy record OUTPUT.h5 --seconds S [--dtype float32|float64] [--filter F] [--cutoff HZ]
                [--downsampling N] [--decimation N] [--units -6|-3|0] [--wavelength NM]
                [--bits] [--force]
    zopy psd [INPUT.h5] [--samples N] [--wavelength NM] [--power UW] [--plot OUTPUT.png]
    zopy plot OUTPUT.png [--input FILE] [--samples N]
    zopy selftest
    zopy scope [--port N] [--host ADDRESS] [--no-browser] [--folder DIR] [stream options of record]

Every command takes ``--serial TEXT`` (the first instrument whose serial
contains it), before or after the command's name. Without a command, ``python -m zopy`` runs ``info``: open the
instrument, print its identity, acquire a block and print the mean optical
power with its noise. :func:`main` runs a command line in-process and
returns the exit status; every failure is one line on stderr and a non-zero
status.
"""

import argparse
import contextlib
import math
import os
import pathlib
import sys

import numpy

import zopy

from . import record as recorder
from . import _sample_files as sample_files
from . import analysis, scope, selftest
from ._extras import MissingToolError, require
from ._files import OVERWRITE_HINT, FileLockedError, Output, failure_text

PROG = "zopy"
COMMANDS = ("list", "info", "acquire", "record", "psd", "plot", "selftest", "scope")
ACQUIRE_SUFFIXES = (".npy", ".csv", ".h5")


class Failure(Exception):
    """A failure the user can act on; its text is the whole message."""

    def __init__(self, message, status=1):
        super().__init__(message)
        self.status = status


class _Parser(argparse.ArgumentParser):
    """argparse with its errors on one line (and the exit status of 2)."""

    def error(self, message):
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


def _failure(exc):
    """(message, exit status) of what ended a command."""
    if isinstance(exc, Failure):
        return str(exc), exc.status
    if isinstance(exc, zopy.NoDeviceError):
        return "No instrument found", 1
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


def _os_failure(exc):
    """An OSError of a file in command-line words."""
    if exc.filename is None:
        text = str(exc)
    elif isinstance(exc, (FileExistsError, FileLockedError)) and exc.strerror:
        text = f"{exc.filename}: {exc.strerror}"
    else:
        text = failure_text(exc.filename, exc)
    return text.replace(OVERWRITE_HINT, "use --force to overwrite it")


def _fail(message, status=1):
    message = " ".join(message.split())    # one line, whatever a library put in it
    print(message if message.startswith(PROG) else f"{PROG}: {message}", file=sys.stderr)
    return status


# ------------------------------------------------------------------ options

def _count(minimum):
    def convert(text):
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
        if value < minimum:
            raise argparse.ArgumentTypeError(f"must be at least {minimum}, not {value}")
        return value
    return convert


def _positive(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"must be a positive number, not {text}")
    return value


def _without_a_command(argv):
    """Whether argv, past a leading --serial, names no command and asks for no help."""
    i = 0
    while i < len(argv) and (argv[i] == "--serial" or argv[i].startswith("--serial=")):
        i += 2 if argv[i] == "--serial" else 1
    return i >= len(argv) or (argv[i].startswith("-") and argv[i] not in ("-h", "--help", "--version"))


def _parser():
    serial_help = "the first instrument whose serial contains TEXT"
    # --serial goes before or after the command; after it, it wins.
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--serial", metavar="TEXT", default=argparse.SUPPRESS, help=serial_help)

    parser = _Parser(prog=PROG, description="Control and record the KV310 photodetector.")
    parser.add_argument("--serial", metavar="TEXT", help=serial_help)
    parser.add_argument("--version", action="version", version=f"%(prog)s {zopy.__version__}"
                        f" (libzo {'.'.join(map(str, zopy.version()))})")
    commands = parser.add_subparsers(title="commands", metavar="COMMAND", parser_class=_Parser)

    def command(name, run, summary):
        sub = commands.add_parser(name, parents=[common], help=summary, description=summary)
        sub.set_defaults(run=run)
        return sub

    def samples(sub, default):
        sub.add_argument("--samples", type=_count(1), default=default, metavar="N",
                         help=f"samples per block (default {default})")

    def wavelength(sub):
        sub.add_argument("--wavelength", type=_positive, metavar="NM",
                         help="wavelength of the light in nm (default: peak responsivity)")

    command("list", run_list, "List the instruments attached (serial, product).")

    sub = command("info", run_info, "Identity, mean power and noise of an instrument.")
    samples(sub, 100_000)
    wavelength(sub)

    sub = command("acquire", run_acquire, "Acquire one block into .npy, .csv or .h5.")
    sub.add_argument("output", type=pathlib.Path, metavar="OUTPUT")
    samples(sub, 100_000)
    sub.add_argument("--raw", action="store_true", help="14-bit ADC codes instead of µW")
    wavelength(sub)
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
    sub.add_argument("--units", type=int, choices=[-6, -3, 0],
                     help="power of ten of the watt: -6 µW (default), -3 mW, 0 W")
    wavelength(sub)
    sub.add_argument("--bits", action="store_true", help="also record the per-sample bits")
    sub.add_argument("--chunk", type=_count(1), metavar="N", help="samples per read")
    sub.add_argument("--force", action="store_true", help="overwrite OUTPUT.h5")

    sub = command("psd", run_psd, "Noise spectrum against the shot-noise level.")
    sub.add_argument("input", nargs="?", type=pathlib.Path, metavar="INPUT.h5",
                     help="a recorded file (default: acquire a fresh block)")
    samples(sub, 1 << 20)
    wavelength(sub)
    sub.add_argument("--power", type=_positive, metavar="UW",
                     help="optical power for the shot-noise level in µW: the total on both "
                          "photodiodes of a balanced unit (default: the mean power, "
                          "single-photodiode units)")
    sub.add_argument("--band", type=_positive, nargs=2, metavar=("LOW", "HIGH"),
                     help="band of the clearance in Hz (default: fs/1000 to fs/50)")
    sub.add_argument("--segment", type=_count(16), metavar="N",
                     help="Welch segment length (default 4096)")
    sub.add_argument("--plot", type=pathlib.Path, metavar="OUTPUT.png",
                     help="draw the spectrum with the shot-noise line")
    sub.add_argument("--force", action="store_true", help="overwrite the plot")

    sub = command("plot", run_plot, "A time trace as PNG.")
    sub.add_argument("output", type=pathlib.Path, metavar="OUTPUT.png")
    sub.add_argument("--input", type=pathlib.Path, metavar="FILE",
                     help=".h5, .npy or .csv (default: acquire a fresh block)")
    samples(sub, 10_000)
    wavelength(sub)
    sub.add_argument("--force", action="store_true", help="overwrite OUTPUT.png")

    command("selftest", run_selftest, "Check the ADC with its test patterns.")

    scope.add_arguments(command("scope", run_scope, scope.SUMMARY), count=_count, positive=_positive)
    return parser


# ------------------------------------------------------------------ helpers

class _Opened:
    """The chosen instrument, closed when the command ends."""

    def __init__(self, serial):
        try:
            self.device = zopy.Device(serial=serial)
        except zopy.NoDeviceError as exc:
            if serial:
                raise Failure(f"No instrument whose serial contains {serial!r}") from exc
            raise

    def __enter__(self):
        return self.device

    def __exit__(self, *exc):
        self.device.close()


def _wavelength(device, nm):
    """The wavelength to calibrate at: given (and inside the photodiode's band) or the peak."""
    if nm is None:
        return float(device.peak_responsivity)
    try:
        inside = device.get_rel_responsivity(nm) > 0
    except zopy.Error:
        inside = False
    if not inside:
        raise Failure(f"wavelength {nm:g} nm is outside the photodiode's band")
    return nm


def _new_file(path, force):
    """Refuses an existing output unless forced, or one in a folder that does not exist."""
    if path.exists() and not force:
        raise Failure(f"{path} exists (use --force to overwrite it)")
    if not path.absolute().parent.is_dir():
        raise Failure(f"{path}: no folder {path.parent}")


def _suffix(path, allowed):
    suffix = path.suffix.lower()
    if suffix not in allowed:
        raise Failure(f"{path}: unknown file type {suffix or '(none)'!r}, "
                      f"use one of {', '.join(allowed)}")
    return suffix


# ----------------------------------------------------------------- commands

def run_list(args):
    """Opens the instruments one after another (an open one is not found again),
    then closes them all: the library has no way to enumerate without opening."""
    devices = []
    try:
        while True:
            try:
                devices.append(zopy.Device(serial=args.serial))
            except zopy.NoDeviceError:
                break
        if not devices:
            raise Failure(f"No instrument whose serial contains {args.serial!r}" if args.serial
                          else "No instrument found")
        for device in devices:
            print(f"{device.serial}\t{device.product}"
                  f"{' (balanced)' if recorder.is_balanced(device) else ''}")
    finally:
        for device in devices:
            device.close()


def run_info(args):
    with _Opened(args.serial) as device:
        wavelength = _wavelength(device, args.wavelength)
        major, minor, patch = zopy.version()
        print(f"libzo {major}.{minor}.{patch}")
        print(f"Instrument        {device!r}")
        print(f"Sample rate       {device.samplerate} samples/s")
        print(f"ADC bits          {device.adcbits}")
        print("Firmware          {}.{}.{}".format(*device.fwversion))
        print(f"USB speed         {device.usb_speed}")
        print(f"Peak responsivity {device.peak_responsivity} nm")
        print(f"Gain              {'high' if device.highgain else 'low'}")

        power = device.get_calibrated_data(args.samples, wavelength=wavelength)
        duration_ms = 1000.0 * args.samples / device.samplerate
        print(f"Acquired          {power.size} samples ({duration_ms:.1f} ms) at {wavelength:g} nm")
        print(f"Mean power        {power.mean():.4f} µW")
        print(f"Noise (std)       {power.std():.4f} µW")
        print(f"Range             {numpy.min(power):.4f} .. {numpy.max(power):.4f} µW")


def run_acquire(args):
    suffix = _suffix(args.output, ACQUIRE_SUFFIXES)
    _new_file(args.output, args.force)
    if suffix == ".h5":
        require("h5py")
    trigger = {"arm_time": args.arm_time}
    if args.trig_mode or args.trig_port or args.samples_per_trigger:
        if args.trig_mode is None:
            raise Failure("--trig-port and --samples-per-trigger need --trig-mode")
        if args.trig_mode != "auto" and args.trig_port is None:
            raise Failure(f"--trig-mode {args.trig_mode} needs --trig-port")
        trigger.update(trig_mode=args.trig_mode, trig_port=args.trig_port)
        if args.samples_per_trigger:
            trigger["samples_per_trigger"] = args.samples_per_trigger

    with _Opened(args.serial) as device:
        if args.raw:
            data, units, wavelength = device.get_raw_data(args.samples, **trigger), "counts", None
        else:
            wavelength = _wavelength(device, args.wavelength)
            data = device.get_calibrated_data(args.samples, wavelength, **trigger)
            units = "uW"
        attrs = {"samplerate_hz": float(device.samplerate), "units": units,
                 "calibration_wavelength_nm": wavelength if wavelength is not None else math.nan,
                 "trig_mode": args.trig_mode or "", "trig_port": args.trig_port or "",
                 "arm_time": args.arm_time, "samples_per_trigger": args.samples_per_trigger or 0,
                 **recorder.device_attributes(device)}
    _save_block(args.output, suffix, data, attrs, args.force)
    print(f"wrote {data.size} samples ({units}) to {args.output}")


def _save_block(path, suffix, data, attrs, force):
    """Writes the block whole beside ``path``, then gives it that name."""
    with Output(path, overwrite=force) as output:
        if suffix == ".npy":
            with open(output.path, "wb") as f:
                numpy.save(f, data)
        elif suffix == ".csv":
            column = "adc_code" if attrs["units"] == "counts" else "power_uw"
            numpy.savetxt(output.path, data, fmt="%d" if data.dtype.kind == "u" else "%.9g",
                          header=column, comments="")
        else:
            h5py = require("h5py")
            with h5py.File(output.path, "w", locking=False) as f:   # Output holds the lock
                f.attrs.update(attrs)
                f.attrs["samples_written"] = data.size
                f.attrs["complete"] = True
                f.create_dataset("samples", data=data)


def run_record(args):
    _suffix(args.output, (".h5", ".hdf5"))
    _new_file(args.output, args.force)
    require("h5py")
    with _Opened(args.serial) as device:
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
            print(f"recording {args.seconds:g} s at {stream.samplerate:g} samples/s "
                  f"from {device!r} into {args.output}", file=sys.stderr)
            result = recorder.record(stream, args.output, seconds=args.seconds, bits=args.bits,
                                     chunk=args.chunk, overwrite=args.force)
        finally:
            stream.close()
    state = "complete" if result.complete else "INCOMPLETE (interrupted)"
    if result.path != os.fspath(args.output):
        state += f"; {args.output} was left as it was"
    print(f"{result.path}: {result.samples} samples, {result.seconds:.6g} s at "
          f"{result.samplerate_hz:g} samples/s, {state}; took {result.elapsed_s:.2f} s")
    return 0 if result.complete else 130


@contextlib.contextmanager
def _input(path):
    """The checked file of samples at ``path``; its faults, found on opening
    or while reading, become one-line failures."""
    _suffix(path, sample_files.SUFFIXES)
    try:
        with sample_files.open_sample_file(path) as source:
            yield source
    except sample_files.SampleFileError as exc:
        raise Failure(str(exc)) from None


UNIT_SCALES = {"uW": 1e-6, "mW": 1e-3, "W": 1.0}
MAX_SEGMENT = 1 << 22       # a segment is held and transformed at once


def run_psd(args):
    if args.plot is not None:
        _suffix(args.plot, (".png",))
        _new_file(args.plot, args.force)
    if args.segment is not None and args.segment > MAX_SEGMENT:
        raise Failure(f"--segment must be at most {MAX_SEGMENT}, not {args.segment}", status=2)
    require("scipy")
    moments = analysis.Moments()
    if args.input is not None:
        with _input(args.input) as source:
            scale, rate = UNIT_SCALES.get(source.units), source.samplerate_hz
            if scale is None or not rate:
                raise Failure(f"{args.input}: holds no calibrated power with a sample rate "
                              f"(units {source.units or 'unknown'}); record it calibrated")
            balanced = source.balanced
            wavelength = args.wavelength or source.wavelength_nm
            if wavelength is None:
                raise Failure(f"{args.input}: no calibration wavelength recorded; give --wavelength")
            if source.length < 16:
                raise Failure(f"{args.input}: a spectrum needs at least 16 samples, "
                              f"the file holds {source.length}")
            # the whole file, a chunk at a time: memory independent of its length
            welch = analysis.WelchAverage(rate, min(source.length, args.segment or analysis.SEGMENT))
            for chunk in source.chunks():
                power_w = chunk.astype(numpy.float64) * scale
                welch.add(power_w)
                moments.add(power_w)
            s = welch.spectrum()
            source_text = f"{args.input} ({source.length} samples)"
    else:
        with _Opened(args.serial) as device:
            wavelength = _wavelength(device, args.wavelength)
            data = device.get_calibrated_data(args.samples, wavelength)
            rate, scale = float(device.samplerate), 1e-6
            balanced = recorder.is_balanced(device)
            source_text = f"{device!r}, {data.size} samples"
        power_w = numpy.asarray(data, dtype=numpy.float64) * scale
        moments.add(power_w)
        s = analysis.psd(power_w, rate, args.segment)
    band = tuple(args.band) if args.band else analysis.default_band(rate, s.resolution_hz)
    try:
        density = analysis.band_mean(s, band)
    except ValueError as exc:
        raise Failure(f"{exc} (resolution {s.resolution_hz:.4g} Hz); give --band") from None
    if not math.isfinite(density):
        raise Failure(f"{source_text}: the noise density overflows; the samples are too large "
                      "to be optical power")

    print(f"Source            {source_text} at {rate:g} samples/s")
    print(f"Mean power        {moments.mean * 1e6:.4f} µW"
          f"{' (P1 - P2)' if balanced else ''}")
    print(f"Resolution        {s.resolution_hz:.4g} Hz (Welch, Hann, 50% overlap)")
    print(f"Noise density     {density:.4g} W²/Hz over {band[0]:g}..{band[1]:g} Hz")
    level = _shot_level(args, balanced, moments, wavelength)
    if level is not None:
        print(f"Shot-noise level  {level:.4g} W²/Hz (2hνP, P = {_power_text(args, moments)}"
              f" at {wavelength:g} nm)")
        if density > 0:
            print(f"Clearance         {analysis.clearance_db(s, level, band):+.2f} dB relative to "
                  f"shot noise over {band[0]:g}..{band[1]:g} Hz")
        else:
            print(f"Clearance         none: no noise at all over {band[0]:g}..{band[1]:g} Hz")
    if args.plot is not None:
        with Output(args.plot, overwrite=args.force) as output:
            analysis.plot_spectrum(s, output.path, level=level, title=source_text)
        print(f"wrote {args.plot}")


def _power_text(args, moments):
    return f"{args.power:g} µW" if args.power else f"{moments.mean * 1e6:.4g} µW"


def _shot_level(args, balanced, moments, wavelength):
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


def run_plot(args):
    _suffix(args.output, (".png",))
    _new_file(args.output, args.force)
    require("matplotlib")
    if args.input is not None:
        with _input(args.input) as source:
            n = min(args.samples, source.length)
            if n == 0:
                raise Failure(f"{args.input}: nothing to plot: no samples")
            trace = _trace(n, source.chunks(n))
            rate, units, title = source.samplerate_hz, source.units, f"{args.input}"
    else:
        with _Opened(args.serial) as device:
            wavelength = _wavelength(device, args.wavelength)
            data = device.get_calibrated_data(args.samples, wavelength)
            rate, units, title = float(device.samplerate), "uW", f"{device!r} at {wavelength:g} nm"
        if data.size == 0:
            raise Failure("nothing to plot: no samples")
        n, trace = data.size, _trace(data.size, [data])
    with Output(args.output, overwrite=args.force) as output:
        analysis.plot_trace(trace, output.path, samplerate_hz=rate,
                            units={"uW": "power (µW)", "mW": "power (mW)", "W": "power (W)"}.get(units, units),
                            title=title)
    print(f"wrote {args.output} ({n} samples)")


def _trace(n, chunks):
    """The n samples to plot; more than the plot has pixels become an envelope as they come."""
    if n <= analysis.PLOT_COLUMNS:
        return numpy.concatenate(list(chunks))
    envelope = analysis.Envelope(n)
    for chunk in chunks:
        envelope.add(chunk)
    return envelope


def run_selftest(args):
    with _Opened(args.serial) as device:
        return 0 if selftest.run(device) else 1


def run_scope(args):
    try:
        return scope.run_command(args)
    except scope.ScopeError as exc:
        raise Failure(str(exc)) from None


if __name__ == "__main__":
    sys.exit(main())
