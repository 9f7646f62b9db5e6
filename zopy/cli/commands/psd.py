"""``zopy psd``: the noise spectrum of fresh blocks or of a file, against the shot-noise level."""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import math
import pathlib

import numpy
import numpy.typing as npt

from ... import analysis
from ..._extras import require
from ..._light import DARK
from ..._photodiode import is_balanced
from ..._writer import Output, write_csv
from ..common import (Failure, Opened, check_samples, only_for_fresh_blocks, output, over_range,
                      over_range_title, samplerate, warn, wavelength)
from ..options import (add_force, add_front_end, add_samplerate, add_samples, add_spectrum,
                       add_wavelength, positive)
from ..measure import Measured, file_spectrum, fresh_blocks, light_set

SUMMARY = "Noise spectrum against the shot-noise level and the dark floor."
MAX_SEGMENT = 1 << 22       # a segment is held and transformed at once
# a fresh block: raw, power in µW and in W, and the moments' temporaries
BYTES_PER_SAMPLE = 2 + 8 + 8 + 16


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("input", nargs="?", type=pathlib.Path, metavar="INPUT",
                        help="a file of samples: .h5, .npz, .csv or .npy (default: acquire "
                             "fresh blocks)")
    add_samples(parser, 1 << 20)
    add_spectrum(parser, "into one spectrum", "of the excess noise and the clearance")
    add_wavelength(parser)
    add_front_end(parser, " for fresh blocks")
    add_samplerate(parser)
    parser.add_argument("--power", type=positive, metavar="UW",
                        help="optical power for the shot-noise level in µW: the total on both "
                             "photodiodes of a balanced unit (default: the mean power, "
                             "single-photodiode units)")
    dark = parser.add_mutually_exclusive_group()
    dark.add_argument("--dark", type=pathlib.Path, metavar="FILE",
                      help="a recording taken with the light blocked, or the spectrum .csv "
                           "psd --output wrote of one: the dark floor, and the clearance over it")
    dark.add_argument("--take-dark", action="store_true",
                      help="after the fresh blocks, take as many with the light blocked "
                           "(asks you to block it; on the virtual bench, switches it off)")
    parser.add_argument("--plot", type=pathlib.Path, metavar="OUTPUT.png",
                        help="draw the spectrum with the shot-noise reference, the dark "
                             "floor and the band")
    parser.add_argument("--db", action="store_true",
                        help="draw the spectrum in dB relative to the shot-noise reference "
                             "through the chain (0 dB: shot-noise-limited)")
    parser.add_argument("--output", type=pathlib.Path, metavar="SPECTRUM.csv",
                        help="write the spectrum: frequency, density, shot-noise reference, "
                             "dark density, excess noise in dB")
    add_force(parser, "the plot and the spectrum")


def run(args: argparse.Namespace) -> None:
    if args.segment is not None and args.segment > MAX_SEGMENT:
        raise Failure(f"--segment must be at most {MAX_SEGMENT}, not {args.segment}", status=2)
    if args.input is not None:
        only_for_fresh_blocks(args, ("gain", "antialias", "average", "take_dark"))
    elif args.samplerate is not None:
        raise Failure("--samplerate is for an input file that does not record its rate", status=2)
    if args.db and args.plot is None:
        raise Failure("--db draws the plot in dB: give --plot too", status=2)
    if args.input is None:
        check_samples(args.samples, BYTES_PER_SAMPLE)
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
        measured = Measured()
        dark: _Dark | None = None
        if args.input is not None:
            moments = analysis.Moments()
            s, rate, nm = file_spectrum(args, args.input, moments, measured)
        else:
            s, rate, nm, dark, moments = _fresh_spectrum(args, measured)
        if args.dark is not None:
            dark = _dark_file(args, s, rate, nm, measured)
        _report(args, s, rate, nm, moments, measured, dark, plot, spectrum_file)


@dataclasses.dataclass
class _Dark:
    """The dark reference: the spectrum with the light blocked and where it came from."""
    spectrum: analysis.Spectrum
    text: str
    clipped: bool = False       #: samples of it over range: no floor of the electronics


def _dark_file(args: argparse.Namespace, s: analysis.Spectrum, rate: float, nm: float,
               measured: Measured) -> _Dark:
    """The spectrum of the --dark recording, in the measurement's segments,
    taken at its rate and with its gain."""
    saved = _saved_spectrum(args.dark)
    if saved is not None:
        if not analysis.same_bins(s, saved):
            raise Failure(f"{args.dark}: the dark spectrum's bins are not the spectrum's "
                          f"({len(saved.frequency_hz)} bins {saved.resolution_hz:.4g} Hz apart, "
                          f"not {len(s.frequency_hz)} {s.resolution_hz:.4g} Hz apart): take "
                          "both at one rate and --segment")
        return _Dark(saved, str(args.dark))
    dark_measured = Measured()
    segment = round(rate / s.resolution_hz)
    dark, dark_rate, _ = file_spectrum(args, args.dark, analysis.Moments(), dark_measured, segment)
    if not math.isclose(dark_rate, rate, rel_tol=1e-9):
        raise Failure(f"{args.dark}: the dark reference was taken at {dark_rate:g} samples/s, "
                      f"the spectrum at {rate:g}; take both at one rate")
    if None not in (dark_measured.highgain, measured.highgain) and \
            bool(dark_measured.highgain) != bool(measured.highgain):
        raise Failure(f"{args.dark}: the dark reference was taken in "
                      f"{'high' if dark_measured.highgain else 'low'} gain, the spectrum in "
                      f"{'high' if measured.highgain else 'low'}; the floor differs by gain")
    clipped = over_range(dark_measured.over_range, dark_measured.samples,
                         dark_measured.highgain, f" in {args.dark}")
    return _Dark(dark, str(args.dark), clipped)


def _saved_spectrum(path: pathlib.Path) -> analysis.Spectrum | None:
    """The spectrum in a .csv that ``zopy psd --output`` wrote (its frequency and
    density columns, under the column names of now or of before), None for
    any other file (a file of samples)."""
    if path.suffix.lower() != ".csv":
        return None
    try:
        with open(path, encoding="utf-8") as f:
            lines = [line.rstrip("\n") for line in f]
    except (OSError, UnicodeDecodeError):
        return None     # the sample-file reader says what is wrong with it
    columns = next((i for i, line in enumerate(lines) if not line.startswith("#")), None)
    if columns is None or lines[columns] not in (SPECTRUM_COLUMNS, OLD_SPECTRUM_COLUMNS):
        return None
    try:
        table = numpy.loadtxt(lines[columns + 1:], delimiter=",", ndmin=2)
    except ValueError as exc:
        raise Failure(f"{path}: not a spectrum as zopy psd writes it: {exc}") from None
    if len(table) < 2 or table.shape[1] != len(lines[columns].split(",")):
        raise Failure(f"{path}: not a spectrum as zopy psd writes it: "
                      f"{len(table)} rows of {table.shape[1]} columns")
    return analysis.Spectrum(table[:, 0], table[:, 1], float(table[1, 0] - table[0, 0]))


def _fresh_spectrum(args: argparse.Namespace, measured: Measured
                    ) -> tuple[analysis.Spectrum, float, float, _Dark | None, analysis.Moments]:
    with Opened(args.serial, args) as device:
        nm = wavelength(device, args.wavelength)
        rate = samplerate(device)
        measured.balanced = is_balanced(device)
        measured.serial = device.serial
        measured.highgain = bool(device.highgain)
        measured.chain = analysis.fresh_block_chain(rate, bool(device.antialias))
        lit = fresh_blocks(device, nm, args.samples, args.average or 1, args.segment)
        measured.over_range, measured.samples = lit.over_range, lit.samples
        measured.text = (f"{device!r}, {args.samples} samples"
                         + (f" x {args.average} blocks" if (args.average or 1) > 1 else ""))
        dark = None
        if args.take_dark:
            with light_set(device, "Block the light", **DARK):
                blocked = fresh_blocks(device, nm, args.samples, args.average or 1, args.segment)
            clipped = over_range(blocked.over_range, blocked.samples, measured.highgain,
                                 " with the light blocked")
            if not measured.balanced and analysis.is_lit(blocked.moments.mean, blocked.moments.std):
                warn(f"{blocked.moments.mean * 1e6:.4g} µW reached the photodiode while the "
                     "light was to be blocked: the dark reference holds light")
            dark = _Dark(blocked.spectrum, f"{blocked.samples} samples with the light blocked",
                         clipped)
    return lit.spectrum, rate, nm, dark, lit.moments


def _band(args: argparse.Namespace, s: analysis.Spectrum, rate: float,
          detector: tuple[float, float] | None) -> tuple[float, float]:
    """--band, checked against the spectrum's bins, or the default band inside the detector's."""
    top = float(s.frequency_hz[-1])
    if not args.band:
        band = (analysis.default_band(rate) if detector is None
                else analysis.band_in_detector(rate, detector))
        if not numpy.any((s.frequency_hz >= band[0]) & (s.frequency_hz <= band[1])):
            raise Failure(f"no frequency bin in the default band {band[0]:g}..{band[1]:g} Hz: "
                          f"the bins are {s.resolution_hz:.4g} Hz apart; give --band or a "
                          "longer --segment")
        return band
    low, high = args.band
    if low >= high:
        raise Failure(f"--band {low:g} {high:g}: LOW must be below HIGH", status=2)
    if low > top:
        raise Failure(f"--band {low:g}..{high:g} Hz lies above the spectrum, whose last bin is "
                      f"{top:g} Hz at {rate:g} samples/s")
    if not numpy.any((s.frequency_hz >= low) & (s.frequency_hz <= high)):
        raise Failure(f"--band {low:g}..{high:g} Hz holds no frequency bin: the bins are "
                      f"{s.resolution_hz:.4g} Hz apart; widen the band or give a longer --segment")
    if detector is not None and (low < detector[0] or high > detector[1]):
        warn(f"--band {low:g}..{high:g} Hz reaches outside the detector's band "
             f"{detector[0]:.4g}..{detector[1]:.4g} Hz, where the filters are more than 3 dB "
             "down and the numbers say more about them than about the light")
    return (low, high)


def _report(args: argparse.Namespace, s: analysis.Spectrum, rate: float, nm: float,
            moments: analysis.Moments, measured: Measured, dark: _Dark | None,
            plot: Output | None, spectrum_file: Output | None) -> None:
    chain = measured.chain
    response = None if chain is None else analysis.chain_response(s.frequency_hz, chain)
    detector = None if response is None else analysis.detector_band(s.frequency_hz, response)
    band = _band(args, s, rate, detector)
    span = f"{band[0]:g}..{band[1]:g} Hz"
    density = analysis.band_mean(s, band)
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
    if detector is not None:
        print(f"Detector band     {detector[0]:.4g}..{detector[1]:.4g} Hz (the chain within "
              "3 dB of its peak)")
    else:
        print("Detector band     unknown: the file does not record its filters; the shot-noise "
              "reference is drawn flat")
    clipped_text = "none: samples are over range (clipped), so the spectrum is not that of the light"
    print(f"Noise density     {clipped_text if clipped else f'{density:.4g} W²/Hz over {span}'}")
    clearance = None
    if dark is not None:
        try:
            dark_density = analysis.band_mean(dark.spectrum, band)
        except ValueError:
            raise Failure(f"the dark reference has no bin in {span}") from None
        print(f"Dark density      {dark_density:.4g} W²/Hz over {span} ({dark.text})")
        if clipped:
            print(f"Clearance         {clipped_text}")
        elif dark.clipped:
            print("Clearance         none: the dark reference is over range (clipped), so it "
                  "is not the floor of the electronics")
        elif density > 0 and dark_density > 0:
            try:
                clearance = analysis.shot_noise_clearance_db(s, dark.spectrum, band)
            except ValueError as exc:
                raise Failure(f"{dark.text}: {exc}") from None
            print(f"Clearance         {clearance:+.2f} dB over the dark floor over {span}")
        else:
            print(f"Clearance         none: no noise at all over {span}")
    power_w = analysis.shot_noise_power(moments.mean, moments.std, balanced=measured.balanced,
                                        total_power=None if args.power is None
                                        else args.power * 1e-6)
    level = None if power_w is None else analysis.shot_noise_level(power_w, nm)
    reference = None
    excess = None
    if level is not None:
        reference = analysis.shot_noise_reference(s.frequency_hz, level, chain)
        inside = (s.frequency_hz >= band[0]) & (s.frequency_hz <= band[1])
        through = ("" if chain is None else
                   f"; through the chain {float(reference[inside].mean()):.4g} W²/Hz over {span}")
        print(f"Shot-noise level  {level:.4g} W²/Hz (2hνP, P = {_power_text(args, moments)}"
              f" at {nm:g} nm{through})")
        if clipped:
            print(f"Excess noise      {clipped_text}")
        elif density > 0:
            excess = analysis.excess_noise_db(s, level, band, chain)
            print(f"Excess noise      {excess:+.2f} dB relative to shot noise over {span} "
                  "(0 dB: shot-noise-limited)")
        else:
            print(f"Excess noise      none: no noise at all over {span}")
    else:
        why = analysis.unknown_shot_noise(measured.balanced)
        hint = ", the total µW on both photodiodes" if measured.balanced else ""
        print(f"Shot-noise level  unknown: {why}; give --power{hint}")
        if args.db:
            raise Failure("--db needs the shot-noise level; give --power")
    if spectrum_file is not None:
        _save_spectrum(spectrum_file.path, s, level, reference, dark, measured, rate, nm, band,
                       detector)
    if plot is not None:
        power = _power_text(args, moments) + (" (P1 - P2)" if measured.balanced and
                                              not args.power else "")
        title = (f"{measured.serial} at {nm:g} nm, P = {power}, "
                 f"RBW {s.resolution_hz:.4g} Hz")
        title = over_range_title(title, measured.over_range, measured.samples)
        analysis.plot_spectrum(s, plot.path, level=level, band=band, clearance=clearance,
                               db=args.db, title=title, reference=reference,
                               dark=None if dark is None else dark.spectrum, detector=detector,
                               excess=excess)
    # the files take their names as the block ends; then say so
    for given, out in ((args.output, spectrum_file), (args.plot, plot)):
        if out is not None:
            out.commit()
            print(f"wrote {given}")


SPECTRUM_COLUMNS = "frequency_hz,density_w2_hz,shot_noise_w2_hz,dark_density_w2_hz,excess_noise_db"
#: a spectrum .csv's columns before excess noise and clearance had names of their own
OLD_SPECTRUM_COLUMNS = "frequency_hz,density_w2_hz,relative_to_shot_noise_db"


def _save_spectrum(path: str, s: analysis.Spectrum, level: float | None,
                   reference: npt.NDArray[numpy.float64] | None, dark: _Dark | None,
                   measured: Measured, rate: float, nm: float, band: tuple[float, float],
                   detector: tuple[float, float] | None) -> None:
    """The spectrum as .csv: frequency, density, the shot-noise reference through
    the chain, the dark density and the excess noise in dB (nan where not
    known), under the metadata lines that say what it is."""
    unknown = numpy.full(s.density.shape, numpy.nan)
    header = {"source": measured.text, "serial": measured.serial, "samplerate_hz": rate,
              "calibration_wavelength_nm": nm, "resolution_hz": s.resolution_hz,
              "shot_noise_w2_hz": math.nan if level is None else level,
              "over_range_samples": -1 if measured.over_range is None else measured.over_range,
              "band_hz": f"{band[0]!r} {band[1]!r}",
              "detector_band_hz": "unknown" if detector is None
              else f"{detector[0]!r} {detector[1]!r}",
              "dark": "none" if dark is None else dark.text}
    shot = unknown if reference is None else reference
    with numpy.errstate(divide="ignore", invalid="ignore"):
        excess = unknown if reference is None else 10.0 * numpy.log10(s.density / reference)
    columns = (s.frequency_hz, s.density, shot,
               unknown if dark is None else dark.spectrum.density, excess)
    write_csv(path, dict(zip(SPECTRUM_COLUMNS.split(","), columns)), header,
              ["%.9g", "%.6g", "%.6g", "%.6g", "%.4f"])


def _power_text(args: argparse.Namespace, moments: analysis.Moments) -> str:
    return f"{args.power:g} µW" if args.power else f"{moments.mean * 1e6:.4g} µW"
