"""Python control of the KV310 balanced photodetector.

The work is done by the extension module :mod:`zopy.zopy`, a layer over the
device library ``libzo``; this package re-exports its public names::

    import zopy

    dev = zopy.Device()                 # the first instrument found
    power = dev.get_calibrated_data(100_000, wavelength=1310)   # µW
    print(dev, power.mean())

Without an instrument, the package's own ``libzo`` is a virtual instrument
that :mod:`zopy.sim` scripts.
"""

from importlib.metadata import version as _distribution_version

from .zopy import (
    CALIBRATION_ANALOG_HIGHGAIN,
    CALIBRATION_ANALOG_LOWGAIN,
    CALIBRATION_DIGITAL_AUTO,
    CALIBRATION_DIGITAL_HIGHGAIN,
    CALIBRATION_DIGITAL_LOWGAIN,
    PORT_A,
    PORT_B,
    PORT_S,
    PORT_T,
    Device,
    Error,
    NoDeviceError,
    Stream,
    calibrationtype_lookup,
    errors,
    exit,
    init,
    port_lookup,
    usb_speed_lookup,
    version,
)

__version__ = _distribution_version("zopy")

__all__ = [
    "CALIBRATION_ANALOG_HIGHGAIN",
    "CALIBRATION_ANALOG_LOWGAIN",
    "CALIBRATION_DIGITAL_AUTO",
    "CALIBRATION_DIGITAL_HIGHGAIN",
    "CALIBRATION_DIGITAL_LOWGAIN",
    "PORT_A",
    "PORT_B",
    "PORT_S",
    "PORT_T",
    "Device",
    "Error",
    "NoDeviceError",
    "Stream",
    "calibrationtype_lookup",
    "errors",
    "exit",
    "init",
    "port_lookup",
    "usb_speed_lookup",
    "version",
]
