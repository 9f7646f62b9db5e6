"""``zopy cmrr``: a balanced unit's common-mode rejection of the laser's
intensity noise, from the noise with one arm blocked and with both arms lit
and balanced."""

from __future__ import annotations

import argparse
import math

import numpy

from ... import analysis
from ..._extras import require
from ..._light import DARK, current_light, virtual_bench
from ..._photodiode import is_balanced
from ..common import Failure, Opened, over_range, samplerate, warn, wavelength
from ..options import add_front_end, add_samples, add_spectrum, add_wavelength, positive
from ..measure import Blocks, fresh_blocks, light_set

SUMMARY = "Common-mode rejection of a balanced unit."
BENCH_POWER_UW = 30.0       #: each arm's light on the virtual bench: well inside high gain's range
BENCH_RIN_DB_HZ = -80.0     #: a laser noisy enough to measure against, where the bench has none


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--power", type=positive, metavar="UW",
                        help=f"on the virtual bench, the light on each arm in µW (default "
                             f"{BENCH_POWER_UW:g}); on an instrument you set the light")
    parser.add_argument("--rin", type=float, metavar="DB_HZ",
                        help="on the virtual bench, the laser's relative intensity noise in "
                             f"dB/Hz (default: the bench's, or {BENCH_RIN_DB_HZ:g} where it has "
                             "none)")
    add_samples(parser, 1 << 20)
    add_spectrum(parser, "in each measurement",
                 "where the laser's intensity noise dominates")
    add_wavelength(parser)
    add_front_end(parser)


def run(args: argparse.Namespace) -> None:
    require("scipy")
    sim = virtual_bench()
    if sim is None and (args.power is not None or args.rin is not None):
        raise Failure("--power and --rin set the light of the virtual bench; on an instrument "
                      "set it yourself when asked", status=2)
    if args.rin is not None and not -math.inf < args.rin <= 0:
        raise Failure(f"--rin must be a finite number of dB/Hz up to 0, not {args.rin:g}",
                      status=2)
    blocks = args.average or 1
    with Opened(args.serial, args) as device:
        if not is_balanced(device):
            raise Failure(f"{device.serial} has one photodiode: common-mode rejection is "
                          "measured on a balanced unit")
        nm = wavelength(device, args.wavelength)
        rate = samplerate(device)
        highgain = bool(device.highgain)
        power = args.power or BENCH_POWER_UW
        noise = {}
        if args.rin is not None:
            noise = {"rin_db_hz": args.rin}
        elif sim is not None and current_light(sim, device.serial)["rin_db_hz"] is None:
            noise = {"rin_db_hz": BENCH_RIN_DB_HZ}
            print(f"Virtual bench     no laser noise set: the test runs with RIN "
                  f"{BENCH_RIN_DB_HZ:g} dB/Hz")

        def measure(request: str, where: str, **light: float) -> Blocks:
            with light_set(device, request, **{**light, **noise}):
                taken = fresh_blocks(device, nm, args.samples, blocks, args.segment)
            over_range(taken.over_range, taken.samples, highgain, where)
            if taken.over_range:
                raise Failure(f"samples{where} are over range: the noise is not the light's; "
                              "use less light" + ("" if not highgain else " or --gain low"))
            return taken

        dark = measure("Block the light on both arms", " with the light blocked", **DARK)
        one = measure("Block arm 2 and light arm 1", " with one arm lit",
                      power_uw=power, p2_power_uw=0.0)
        both = measure("Light both arms, balanced (mean output near 0)", " with both arms lit",
                       power_uw=power, p2_power_uw=power)
        chain = analysis.fresh_block_chain(rate, bool(device.antialias))
        text = f"{device!r}, {args.samples} samples" + (f" x {blocks} blocks" if blocks > 1 else "")
    f = dark.spectrum.frequency_hz
    if args.band:
        band = (args.band[0], args.band[1])
        if not numpy.any((f >= band[0]) & (f <= band[1])):
            raise Failure(f"--band {band[0]:g}..{band[1]:g} Hz holds no frequency bin: the "
                          f"spectrum has bins every {dark.spectrum.resolution_hz:.4g} Hz up to "
                          f"{f[-1]:g} Hz")
    else:
        band = analysis.band_in_detector(
            rate, analysis.detector_band(f, analysis.chain_response(f, chain)))
    inside = (f >= band[0]) & (f <= band[1])
    response = float(analysis.chain_response(f[inside], chain).mean())
    arm_w = one.moments.mean        # with arm 2 blocked, the output P1 - P2 is arm 1's power
    one_shot = analysis.shot_noise_level(arm_w, nm) * response
    both_shot = analysis.shot_noise_level(2 * arm_w, nm) * response
    densities = [analysis.band_mean(taken.spectrum, band) for taken in (dark, one, both)]
    print(f"Source            {text} at {rate:g} samples/s")
    print(f"Band              {band[0]:g}..{band[1]:g} Hz")
    print(f"Dark floor        {densities[0]:.4g} W²/Hz")
    print(f"One arm           {densities[1]:.4g} W²/Hz (P1 = {arm_w * 1e6:.4g} µW, "
          f"shot noise {one_shot:.4g} W²/Hz)")
    print(f"Both arms         {densities[2]:.4g} W²/Hz (P1 - P2 = {both.moments.mean * 1e6:.4g} µW, "
          f"shot noise of both {both_shot:.4g} W²/Hz)")
    try:
        rejection = analysis.common_mode_rejection(densities[1], densities[2], dark=densities[0],
                                                   one_arm_shot=one_shot, both_arms_shot=both_shot)
    except ValueError as exc:
        raise Failure(f"no rejection measured: {exc}") from None
    print(f"Rejection         {rejection:.1f} dB (of the laser's intensity noise, over "
          f"{band[0]:g}..{band[1]:g} Hz)")
    # an imbalance d = (P1 - P2) / P1 leaves d² of the intensity noise: it caps what is measured
    imbalance = abs(both.moments.mean) / arm_w if arm_w > 0 else math.inf
    if imbalance > 0 and -20.0 * math.log10(imbalance) < rejection + 6.0:
        warn(f"the arms differ by {100.0 * imbalance:.3g}% of one arm's power: that imbalance "
             f"alone limits the rejection to {-20.0 * math.log10(imbalance):.1f} dB; balance "
             "them better")
