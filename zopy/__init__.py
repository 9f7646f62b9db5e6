"""Python control of the KV310 balanced photodetector.

The work is done by the extension module :mod:`zopy.zopy`, a layer over the
device library ``libzo``; this package re-exports its public names::

    import zopy

    dev = zopy.Device()                 # the first instrument found
    power = dev.get_calibrated_data(100_000, wavelength=1310)   # µW
    print(dev, power.mean())

Without an instrument, the package's own ``libzo`` is a virtual instrument
that :mod:`zopy.sim` scripts. When the environment variable ``ZOPY_BENCH``
names a bench file, importing the package builds that bench.
"""

import os as _os
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


def _build_bench_from_environment() -> None:
    """Builds the bench file that ZOPY_BENCH names, as the library loads.

    A bench only exists on the virtual instrument: with the maker's library
    the variable is an error rather than ignored, so that a program meant
    for a bench never drives a real instrument by mistake.
    """
    path = _os.environ.get("ZOPY_BENCH")
    if not path:
        return
    try:
        from . import sim
    except ImportError as exc:
        raise ImportError(f"ZOPY_BENCH names a bench file ({path}), but this build of zopy "
                          "links against the maker's libzo and has no virtual bench; "
                          "unset ZOPY_BENCH to use the instruments") from exc
    try:
        sim.load_bench(path)
    except sim.BenchFileError as exc:
        raise ImportError(f"ZOPY_BENCH: {exc}") from exc
    except Exception as exc:   # whatever else goes wrong, still the one line that names the file
        raise ImportError(f"ZOPY_BENCH: {path}: {str(exc) or type(exc).__name__}") from exc


def _started_as_the_command_line() -> bool:
    """Whether this process is the ``zopy`` command (its console script or
    ``python -m zopy``), whose failures are one line, this one too."""
    import sys
    if _os.path.basename(sys.argv[0]) in ("zopy", "zopy.exe"):
        return True
    argv = getattr(sys, "orig_argv", ())
    return any(arg == "-mzopy" or arg == "-m" and argv[i + 1:i + 2] == ["zopy"]
               for i, arg in enumerate(argv))


try:
    _build_bench_from_environment()
except ImportError as _exc:
    if not _started_as_the_command_line():
        raise
    import sys as _sys
    print(f"zopy: {_exc}", file=_sys.stderr)
    raise SystemExit(1) from None
