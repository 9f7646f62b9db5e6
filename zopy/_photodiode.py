"""What zopy knows of an instrument's photodiodes: one or two (a balanced
unit), and the band of light they respond to."""

import zopy

from ._messages import Refusal, outside_band


def is_balanced(device: zopy.Device) -> bool:
    """Whether the instrument has two photodiodes: only those hold a balanced calibration."""
    try:
        device.get_calibration("balanced")
    except zopy.Error:
        return False
    return True


def in_band(device: zopy.Device, nm: float) -> bool:
    """Whether the photodiode responds at ``nm``: its relative responsivity there is above 0."""
    try:
        return device.get_rel_responsivity(nm) > 0
    except zopy.Error:
        return False


def checked_wavelength(device: zopy.Device, nm: float | None) -> float:
    """The wavelength to calibrate at: ``nm``, refused (:class:`Refusal`) where
    the photodiode does not respond, or its peak responsivity when None."""
    if nm is None:
        return float(device.peak_responsivity)
    if not in_band(device, nm):
        raise Refusal(outside_band(nm))
    return nm
