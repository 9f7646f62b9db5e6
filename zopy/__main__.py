"""``python -m zopy``: check the first instrument found.

Opens it, prints its identity, acquires a block and prints the mean optical
power in µW with its noise: what one does first with a new detector.
"""

import argparse
import sys

import numpy

import zopy


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m zopy",
                                     description="Check the first instrument found.")
    parser.add_argument("--serial", help="open the first instrument whose serial contains this")
    parser.add_argument("--samples", type=int, default=100_000, help="block size (default 100000)")
    parser.add_argument("--wavelength", type=float, help="wavelength of the light in nm "
                        "(default: the photodiode's peak responsivity)")
    args = parser.parse_args(argv)

    try:
        device = zopy.Device(serial=args.serial)
    except zopy.NoDeviceError as exc:
        print(f"No instrument found: {exc}", file=sys.stderr)
        return 1

    with_device(device, args)
    device.close()
    return 0


def with_device(device: zopy.Device, args: argparse.Namespace) -> None:
    major, minor, patch = zopy.version()
    print(f"libzo {major}.{minor}.{patch}")
    print(f"Instrument        {device!r}")
    print(f"Sample rate       {device.samplerate} samples/s")
    print(f"ADC bits          {device.adcbits}")
    print("Firmware          {}.{}.{}".format(*device.fwversion))
    print(f"USB speed         {device.usb_speed}")
    print(f"Peak responsivity {device.peak_responsivity} nm")
    print(f"Gain              {'high' if device.highgain else 'low'}")

    wavelength = args.wavelength if args.wavelength is not None else device.peak_responsivity
    power = device.get_calibrated_data(args.samples, wavelength=wavelength)
    duration_ms = 1000.0 * args.samples / device.samplerate
    print(f"Acquired          {power.size} samples ({duration_ms:.1f} ms) at {wavelength:g} nm")
    print(f"Mean power        {power.mean():.4f} µW")
    print(f"Noise (std)       {power.std():.4f} µW")
    print(f"Range             {numpy.min(power):.4f} .. {numpy.max(power):.4f} µW")


if __name__ == "__main__":
    sys.exit(main())
