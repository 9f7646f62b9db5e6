"""What identifies an instrument and the software, for files and reports."""

from typing import Any

import zopy


def in_band(device: zopy.Device, nm: float) -> bool:
    """Whether the photodiode responds at ``nm``: its relative responsivity there is above 0."""
    try:
        return device.get_rel_responsivity(nm) > 0
    except zopy.Error:
        return False


def is_balanced(device: zopy.Device) -> bool:
    """Whether the instrument has two photodiodes: only those hold a balanced calibration."""
    try:
        device.get_calibration("balanced")
    except zopy.Error:
        return False
    return True


def device_attributes(device: zopy.Device) -> dict[str, Any]:
    """What identifies the instrument and the software, as file attributes."""
    return {
        "product": device.product,
        "serial": device.serial,
        "balanced": is_balanced(device),
        "firmware_version": "{}.{}.{}".format(*device.fwversion),
        "library_version": "{}.{}.{}".format(*zopy.version()),
        "zopy_version": zopy.__version__,
    }


def front_end_attributes(device: zopy.Device) -> dict[str, bool]:
    """The front end's switches, which decide what the samples mean, as file attributes."""
    return {"highgain": bool(device.highgain), "antialias": bool(device.antialias)}
