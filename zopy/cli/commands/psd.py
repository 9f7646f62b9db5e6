"""``zopy psd``: the noise spectrum of fresh blocks or of a file, against the shot-noise level."""

from __future__ import annotations

import argparse
import contextlib
import math
import pathlib
from typing import cast

import numpy
import numpy.typing as npt

from ... import analysis
from ..._extras import require
from ..._photodiode import is_balanced
from ..._writer import Output
from ..common import (Failure, Opened, csv_text, file_rate, file_units, only_for_fresh_blocks,
                     output, over_range, sample_file, samplerate, wavelength)
from ..options import (add_force, add_front_end, add_samplerate, add_samples, add_wavelength,
                      count, positive)

SUMMARY = "Noise spectrum against the shot-noise level."
MAX_SEGMENT = 1 << 22       # a segment is held and transformed at once


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("input", nargs="?", type=pathlib.Path, metavar="INPUT",
                        help="a file of samples: .h5, .npz, .csv or .npy (default: acquire "
                             "fresh blocks)")
    add_samples(parser, 1 << 20)
    parser.add_argument("--average", type=count(1), metavar="N",
                        help="fresh blocks whose spectra are averaged (default 1)")
    add_wavelength(parser)
    add_front_end(parser, " for fresh blocks")
    add_samplerate(parser)
    parser.add_argument("--power", type=positive, metavar="UW",
                        help="optical power for the shot-noise level in µW: the total on both "
                             "photodiodes of a balanced unit (default: the mean power, "
                             "single-photodiode units)")
    parser.add_argument("--band", type=positive, nargs=2, metavar=("LOW", "HIGH"),
                        help="band of the clearance in Hz (default: fs/1000 to fs/50)")
    parser.add_argument("--segment", type=count(16), metavar="N",
                        help="Welch segment length (default 4096)")
    parser.add_argument("--plot", type=pathlib.Path, metavar="OUTPUT.png",
                        help="draw the spectrum with the shot-noise line and the band")
    parser.add_argument("--db", action="store_true",
                        help="draw the spectrum in dB relative to shot noise")
    parser.add_argument("--output", type=pathlib.Path, metavar="SPECTRUM.csv",
                        help="write the spectrum: frequency, density, dB relative to shot noise")
    add_force(parser, "the plot and the spectrum")


class _Measured:
    """What a spectrum was taken from."""
    text = ""                   # the source, for the report
    serial = ""
    balanced = False
    highgain: bool | None = None
    over_range: int | None = None           # samples over range, None: not known
    samples = 0


def run(args: argparse.Namespace) -> None:
    if args.segment is not None and args.segment > MAX_SEGMENT:
        raise Failure(f"--segment must be at most {MAX_SEGMENT}, not {args.segment}", status=2)
    if args.input is not None:
        only_for_fresh_blocks(args, ("gain", "antialias", "average"))
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
            plot = outputs.enter_context(output(args.plot, args.force, (".png",)))
        if args.output is not None:
            spectrum_file = outputs.enter_context(output(args.output, args.force, (".csv",)))
        moments, measured = analysis.Moments(), _Measured()
        if args.input is not None:
            s, rate, nm = _file_spectrum(args, moments, measured)
        else:
            s, rate, nm = _fresh_spectrum(args, moments, measured)
        _report(args, s, rate, nm, moments, measured, plot, spectrum_file)


def _file_wavelength(path: pathlib.Path, recorded: float | None, given: float | None) -> float:
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


def _file_spectrum(args: argparse.Namespace, moments: analysis.Moments,
                   measured: _Measured) -> tuple[analysis.Spectrum, float, float]:
    with sample_file(args.input) as source:
        rate = file_rate(args.input, source, args.samplerate)
        units = file_units(args.input, source)
        if units == analysis.COUNTS:
            raise Failure(f"{args.input}: holds ADC codes, not optical power; acquire or "
                          "record it calibrated (without --raw)")
        unit = analysis.power_unit(units)
        if unit is None:
            raise Failure(f"{args.input}: does not say what its samples are (no units); "
                          "psd takes optical power")
        nm = _file_wavelength(args.input, source.wavelength_nm, args.wavelength)
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
            power_w = chunk.astype(numpy.float64) * unit.watts
            welch.add(power_w)
            moments.add(power_w)
        measured.text = f"{args.input} ({source.length} samples)"
        return welch.spectrum(), rate, nm


def _fresh_spectrum(args: argparse.Namespace, moments: analysis.Moments,
                    measured: _Measured) -> tuple[analysis.Spectrum, float, float]:
    blocks = args.average or 1
    with Opened(args.serial, args) as device:
        nm = wavelength(device, args.wavelength)
        rate = samplerate(device)
        limits = analysis.block_limits(device, nm)
        measured.balanced = is_balanced(device)
        measured.serial = device.serial
        measured.highgain = bool(device.highgain)
        measured.over_range = 0
        total: npt.NDArray[numpy.float64] | None = None
        for _ in range(blocks):
            data = device.get_calibrated_data(args.samples, nm)
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
                              s.resolution_hz), rate, nm)


def _report(args: argparse.Namespace, s: analysis.Spectrum, rate: float, nm: float,
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
    clipped = over_range(measured.over_range, measured.samples, measured.highgain, where)

    averaged = f"; {args.average} blocks averaged" if (args.average or 1) > 1 else ""
    print(f"Source            {measured.text} at {rate:g} samples/s")
    print(f"Mean power        {moments.mean * 1e6:.4f} µW"
          f"{' (P1 - P2)' if measured.balanced else ''}")
    print(f"Resolution        {s.resolution_hz:.4g} Hz (Welch, Hann, 50% overlap{averaged})")
    print(f"Noise density     {density:.4g} W²/Hz over {band[0]:g}..{band[1]:g} Hz")
    power_w = analysis.shot_noise_power(moments.mean, moments.std, balanced=measured.balanced,
                                        total_power=None if args.power is None
                                        else args.power * 1e-6)
    level = None if power_w is None else analysis.shot_noise_level(power_w, nm)
    clearance = None
    if level is not None:
        print(f"Shot-noise level  {level:.4g} W²/Hz (2hνP, P = {_power_text(args, moments)}"
              f" at {nm:g} nm)")
        if clipped:
            print("Clearance         none: samples are over range (clipped), so the spectrum "
                  "is not that of the light")
        elif density > 0:
            clearance = analysis.clearance_db(s, level, band)
            print(f"Clearance         {clearance:+.2f} dB relative to "
                  f"shot noise over {band[0]:g}..{band[1]:g} Hz")
        else:
            print(f"Clearance         none: no noise at all over {band[0]:g}..{band[1]:g} Hz")
    else:
        why = analysis.unknown_shot_noise(measured.balanced)
        hint = ", the total µW on both photodiodes" if measured.balanced else ""
        print(f"Shot-noise level  unknown: {why}; give --power{hint}")
        if args.db:
            raise Failure("--db needs the shot-noise level; give --power")
    if spectrum_file is not None:
        _save_spectrum(spectrum_file.path, s, level, measured, rate, nm)
    if plot is not None:
        power = _power_text(args, moments) + (" (P1 - P2)" if measured.balanced and
                                              not args.power else "")
        title = (f"{measured.serial} at {nm:g} nm, P = {power}, "
                 f"RBW {s.resolution_hz:.4g} Hz")
        analysis.plot_spectrum(s, plot.path, level=level, band=band, clearance=clearance,
                               db=args.db, title=title)
    # the files take their names as the block ends; then say so
    for given, out in ((args.output, spectrum_file), (args.plot, plot)):
        if out is not None:
            out.commit()
            print(f"wrote {given}")


def _save_spectrum(path: str, s: analysis.Spectrum, level: float | None, measured: _Measured,
                   rate: float, nm: float) -> None:
    """The spectrum as .csv: frequency, density and (when the level is known) dB
    relative to shot noise, under the metadata lines that say what it is."""
    header = {"source": measured.text, "serial": measured.serial, "samplerate_hz": rate,
              "calibration_wavelength_nm": nm, "resolution_hz": s.resolution_hz,
              "shot_noise_w2_hz": math.nan if level is None else level,
              "over_range_samples": -1 if measured.over_range is None else measured.over_range}
    with numpy.errstate(divide="ignore"):
        relative = (numpy.full(s.density.shape, numpy.nan) if level is None
                    else 10.0 * numpy.log10(s.density / level))
    numpy.savetxt(path, numpy.column_stack((s.frequency_hz, s.density, relative)),
                  fmt=["%.9g", "%.6g", "%.4f"], delimiter=",", comments="",
                  header="\n".join([*(f"# {k} = {csv_text(v)}" for k, v in header.items()),
                                    "frequency_hz,density_w2_hz,relative_to_shot_noise_db"]))


def _power_text(args: argparse.Namespace, moments: analysis.Moments) -> str:
    return f"{args.power:g} µW" if args.power else f"{moments.mean * 1e6:.4g} µW"
