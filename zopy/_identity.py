"""What identifies an instrument and the software, for files, reports and snapshots."""

from typing import Any

import zopy

from ._photodiode import is_balanced


def versions(device: zopy.Device) -> dict[str, str]:
    """The firmware's, the library's and zopy's versions, "major.minor.patch"."""
    return {
        "firmware_version": "{}.{}.{}".format(*device.fwversion),
        "library_version": "{}.{}.{}".format(*zopy.version()),
        "zopy_version": zopy.__version__,
    }


def device_attributes(device: zopy.Device) -> dict[str, Any]:
    """What identifies the instrument and the software, as file attributes."""
    return {"product": device.product, "serial": device.serial, "balanced": is_balanced(device),
            **versions(device)}


def front_end_attributes(device: zopy.Device) -> dict[str, bool]:
    """The front end's switches, which decide what the samples mean, as file attributes."""
    return {"highgain": bool(device.highgain), "antialias": bool(device.antialias)}
