"""``zopy linearity``: the noise against optical power on a log-log scale, the
test of shot-noise-limited detection (slope 1; 2 for classical intensity
noise, 0 for the electronics)."""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import pathlib

import numpy

from ... import analysis
from ..._extras import require
from ..._light import DARK, virtual_bench
from ..._photodiode import is_balanced
from ..._writer import Output
from ..common import Failure, Opened, output, over_range, samplerate, wavelength
from ..options import (add_force, add_front_end, add_samplerate, add_samples, add_spectrum,
                       add_wavelength, positive)
from ..measure import Measured, file_spectrum, fresh_blocks, light_set

SUMMARY = "Noise against optical power: the test of shot-noise-limited detection."


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--powers", type=positive, nargs="+", metavar="UW",
                        help="optical powers in µW, the total on both arms of a balanced unit: "
                             "on the virtual bench the light is set to each (split evenly "
                             "between a balanced unit's arms); on an instrument you set each "
                             "and press Enter; with --files, the power of each file")
    parser.add_argument("--files", type=pathlib.Path, nargs="+", metavar="FILE",
                        help="recordings, one per power, instead of fresh blocks")
    dark = parser.add_mutually_exclusive_group()
    dark.add_argument("--dark", type=pathlib.Path, metavar="FILE",
                      help="with --files: a recording taken with the light blocked")
    dark.add_argument("--no-dark", action="store_true",
                      help="fit the noise as measured, without a dark floor taken off")
    add_samples(parser, 1 << 20)
    add_spectrum(parser, "at each power", "of the noise")
    add_wavelength(parser)
    add_front_end(parser, " for fresh blocks")
    add_samplerate(parser)
    parser.add_argument("--plot", type=pathlib.Path, metavar="OUTPUT.png",
                        help="draw the log-log plot with the fit and the dark floor")
    add_force(parser, "the plot")


@dataclasses.dataclass
class _Point:
    power_uw: float
    spectrum: analysis.Spectrum
    clipped: bool


@dataclasses.dataclass
class _Sweep:
    points: list[_Point]
    dark: analysis.Spectrum | None
    chain: analysis.Chain | None
    rate: float
    nm: float
    text: str


def run(args: argparse.Namespace) -> None:
    if args.files is None:
        if not args.powers or len(args.powers) < 2:
            raise Failure("give two or more --powers (µW) to set, or --files", status=2)
        if args.dark is not None:
            raise Failure("--dark is for --files; fresh blocks take their dark floor "
                          "themselves", status=2)
        if args.samplerate is not None:
            raise Failure("--samplerate is for --files that do not record their rate", status=2)
    else:
        if len(args.files) < 2:
            raise Failure("give two or more --files, one per power", status=2)
        if args.powers is not None and len(args.powers) != len(args.files):
            raise Failure(f"{len(args.powers)} --powers for {len(args.files)} --files: give one "
                          "power per file", status=2)
        given = [f"--{n}" for n in ("gain", "antialias", "average") if getattr(args, n)]
        if given:
            raise Failure(f"{' and '.join(given)} set up a fresh acquisition; the --files were "
                          "acquired already", status=2)
    require("scipy")
    if args.plot is not None:
        require("matplotlib")
    with contextlib.ExitStack() as outputs:
        plot: Output | None = None
        if args.plot is not None:
            plot = outputs.enter_context(output(args.plot, args.force, (".png",)))
        sweep = _from_files(args) if args.files is not None else _fresh(args)
        _report(args, sweep, plot)
        if plot is not None:
            plot.commit()
            print(f"wrote {args.plot}")


def _fresh(args: argparse.Namespace) -> _Sweep:
    blocks = args.average or 1
    with Opened(args.serial, args) as device:
        nm = wavelength(device, args.wavelength)
        rate = samplerate(device)
        balanced = is_balanced(device)
        highgain = bool(device.highgain)
        dark = None
        if not args.no_dark:
            with light_set(device, "Block the light", **DARK):
                taken = fresh_blocks(device, nm, args.samples, blocks, args.segment)
            over_range(taken.over_range, taken.samples, highgain, " with the light blocked")
            dark = taken.spectrum
        points = []
        for power in args.powers:
            light = ({"power_uw": power / 2, "p2_power_uw": power / 2} if balanced
                     else {"power_uw": power, "p2_power_uw": 0.0})
            request = (f"Set {power:g} µW in all, balanced between the two arms" if balanced
                       else f"Set the light to {power:g} µW")
            with light_set(device, request, **light):
                taken = fresh_blocks(device, nm, args.samples, blocks, args.segment)
            clipped = over_range(taken.over_range, taken.samples, highgain, f" at {power:g} µW")
            # a single photodiode measures its power itself; a balanced unit's output is P1 - P2
            measured = taken.moments.mean * 1e6
            lit = analysis.is_lit(taken.moments.mean, taken.moments.std)
            points.append(_Point(power if balanced or not lit else measured, taken.spectrum,
                                 clipped))
        on = "the virtual bench, light set by zopy" if virtual_bench() else "powers set by hand"
        text = (f"{device!r}, {args.samples} samples"
                + (f" x {blocks} blocks" if blocks > 1 else "") + f" per power ({on})")
        chain = analysis.fresh_block_chain(rate, bool(device.antialias))
    return _Sweep(points, dark, chain, rate, nm, text)


def _from_files(args: argparse.Namespace) -> _Sweep:
    points: list[_Point] = []
    rate = nm = 0.0
    chain: analysis.Chain | None = None
    segment: int | None = None
    for i, path in enumerate(args.files):
        moments, measured = analysis.Moments(), Measured()
        s, file_rate, file_nm = file_spectrum(args, path, moments, measured, segment)
        if i == 0:
            rate, nm, chain, segment = file_rate, file_nm, measured.chain, round(file_rate / s.resolution_hz)
        elif abs(file_rate - rate) > 1e-9 * rate:
            raise Failure(f"{path}: taken at {file_rate:g} samples/s, {args.files[0]} at "
                          f"{rate:g}: take them all at one rate")
        clipped = over_range(measured.over_range, measured.samples, measured.highgain, f" in {path}")
        if args.powers is not None:
            power = args.powers[i]
        elif measured.balanced or not analysis.is_lit(moments.mean, moments.std):
            why = analysis.unknown_shot_noise(measured.balanced)
            raise Failure(f"{path}: its power is not known ({why}); give --powers, one per file")
        else:
            power = moments.mean * 1e6
        points.append(_Point(power, s, clipped))
    dark = None
    if args.dark is not None:
        dark_measured = Measured()
        dark, _, _ = file_spectrum(args, args.dark, analysis.Moments(), dark_measured, segment)
        over_range(dark_measured.over_range, dark_measured.samples, dark_measured.highgain,
                   f" in {args.dark}")
    return _Sweep(points, dark, chain, rate, nm, f"{len(args.files)} files")


def _band(args: argparse.Namespace, sweep: _Sweep) -> tuple[float, float]:
    s = sweep.points[0].spectrum
    if args.band:
        low, high = args.band
        if not numpy.any((s.frequency_hz >= low) & (s.frequency_hz <= high)):
            raise Failure(f"--band {low:g}..{high:g} Hz holds no frequency bin: the spectrum has "
                          f"bins every {s.resolution_hz:.4g} Hz up to {s.frequency_hz[-1]:g} Hz")
        return (low, high)
    if sweep.chain is None:
        return analysis.default_band(sweep.rate)
    response = analysis.chain_response(s.frequency_hz, sweep.chain)
    return analysis.band_in_detector(sweep.rate, analysis.detector_band(s.frequency_hz, response))


def _report(args: argparse.Namespace, sweep: _Sweep, plot: Output | None) -> None:
    band = _band(args, sweep)
    span = f"{band[0]:g}..{band[1]:g} Hz"
    dark = None if sweep.dark is None else analysis.band_mean(sweep.dark, band)
    f = sweep.points[0].spectrum.frequency_hz
    inside = (f >= band[0]) & (f <= band[1])
    response = (1.0 if sweep.chain is None
                else float(analysis.chain_response(f[inside], sweep.chain).mean()))
    print(f"Source            {sweep.text} at {sweep.rate:g} samples/s")
    print(f"Band              {span}")
    print("Dark floor        " + ("not taken (--no-dark): the noise is fitted as measured"
                                   if dark is None else f"{dark:.4g} W²/Hz, taken off every point"))
    print("  Power (µW)   Noise (W²/Hz)   Above dark (W²/Hz)   Shot noise (W²/Hz)")
    used_powers, used_densities, shots = [], [], []
    for point in sweep.points:
        density = analysis.band_mean(point.spectrum, band)
        shot = analysis.shot_noise_level(point.power_uw * 1e-6, sweep.nm) * response
        above = "" if dark is None else f"{density - dark:.4g}"
        note = "   over range: left out" if point.clipped else ""
        print(f"  {point.power_uw:10.4g}   {density:13.4g}   {above:>18}   {shot:18.4g}{note}")
        if not point.clipped:
            used_powers.append(point.power_uw)
            used_densities.append(density)
            shots.append(shot)
    if len(used_powers) < 2:
        raise Failure("fewer than two powers are free of over range: nothing to fit; use less "
                      "light or --gain low")
    try:
        fit = analysis.linearity(used_powers, used_densities, dark=dark)
    except ValueError as exc:
        raise Failure(f"no fit: {exc}") from None
    error = "" if numpy.isnan(fit.slope_error) else f" ± {fit.slope_error:.3f}"
    what = "the noise above the dark floor" if dark is not None else "the noise"
    print(f"Slope             {fit.slope:.3f}{error} (log-log fit of {what} against power, "
          f"{len(used_powers)} powers)")
    print(f"Regime            {fit.regime} (slope 0: electronic noise, 1: shot-noise-limited, "
          "2: classical intensity noise)")
    if plot is not None:
        title = f"Linearity at {sweep.nm:g} nm over {span}: slope {fit.slope:.3f}{error}"
        analysis.plot_linearity(used_powers, used_densities, fit, plot.path, dark=dark,
                                shot=shots, title=title)
