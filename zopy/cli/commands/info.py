"""``zopy info``: identity, mean power and noise of an instrument."""

from __future__ import annotations

import argparse

import numpy

import zopy

from ... import analysis
from ..._photodiode import is_balanced
from ..common import Opened, check_samples, over_range, samplerate, wavelength
from ..options import add_front_end, add_samples, add_wavelength

SUMMARY = "Identity, mean power and noise of an instrument."


def add_arguments(parser: argparse.ArgumentParser) -> None:
    add_samples(parser, 100_000)
    add_wavelength(parser)
    add_front_end(parser)


# the raw block, its power, and numpy's temporaries for the mean and spread
BYTES_PER_SAMPLE = 2 + 8 + 16


def run(args: argparse.Namespace) -> None:
    check_samples(args.samples, BYTES_PER_SAMPLE)
    with Opened(args.serial, args) as device:
        nm = wavelength(device, args.wavelength)
        rate = samplerate(device)        # checked before anything is printed
        balanced = is_balanced(device)
        major, minor, patch = zopy.version()
        print(f"libzo {major}.{minor}.{patch}")
        print(f"Instrument        {device!r}")
        if balanced:
            print("Balanced          yes: the power shown is P1 - P2, the first photodiode's "
                  "light less the second's")
        print(f"Sample rate       {device.samplerate} samples/s")
        print(f"ADC bits          {device.adcbits}")
        print("Firmware          {}.{}.{}".format(*device.fwversion))
        print(f"USB speed         {_usb_speed(device)}")
        print(f"Peak responsivity {device.peak_responsivity} nm")
        highgain = bool(device.highgain)
        print(f"Gain              {'high' if highgain else 'low'}")
        print(f"Antialias         {'on' if device.antialias else 'off'}")

        power = device.get_calibrated_data(args.samples, wavelength=nm)
        over = analysis.over_range_samples(power, analysis.block_limits(device, nm))
        duration_ms = 1000.0 * args.samples / rate
        difference = " (P1 - P2)" if balanced else ""
        print(f"Acquired          {power.size} samples ({duration_ms:.1f} ms) at {nm:g} nm")
        print(f"Mean power        {power.mean():.4f} µW{difference}")
        print(f"Noise (std)       {power.std():.4f} µW")
        print(f"Range             {numpy.min(power):.4f} .. {numpy.max(power):.4f} µW")
        if over:
            print(f"Over range        {over} samples ({100.0 * over / power.size:.3g}%): "
                  "the numbers above are clipped")
    over_range(over, power.size, highgain)


def _usb_speed(device: zopy.Device) -> str:
    """The USB speed's name; a code the table does not know is shown as a number."""
    try:
        return str(device.usb_speed)
    except KeyError as exc:
        return f"unknown (code {exc.args[0]})"
