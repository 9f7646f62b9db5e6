"""What zopy's front doors (the command line, the scope, QCoDeS, Bluesky) say
about a fault, written once so that the same fault reads the same everywhere.

Each function returns one line; the front door decides how to show it (a
line on stderr and an exit status, a status on the page, an exception).
"""

from __future__ import annotations

import errno
import os
import re

import zopy

from ._extras import MissingToolError
from ._writer import OVERWRITE_HINT, NotEnoughSpaceError

# The causes a person can act on, by errno; HDF5 reports errno inside its text.
_CAUSES = {
    errno.ENOSPC: "the disk is full",
    errno.EDQUOT: "the disk quota is used up",
    errno.EFBIG: "the file would exceed the size limit of this process",
    errno.EROFS: "the file system is read-only",
    errno.EACCES: "permission denied",
    errno.EPERM: "permission denied",
    errno.ENOENT: "no such file or folder",
    errno.ENOTDIR: "a part of the path is not a folder",
    errno.EISDIR: "it is a folder",
    errno.EAGAIN: "another program holds a lock on it",
    errno.EIO: "input/output error of the disk",
}

class Refusal(ValueError):
    """A value that zopy refuses before it asks the instrument; its text is the whole message."""


def instrument_error(exc: zopy.Error) -> str:
    """A failure of the library: its text and code."""
    errstr = getattr(exc, "errstr", None)
    return f"instrument error: {f'{errstr} (libzo error {exc.err})' if errstr else exc}"


def attached_serials() -> str:
    """The serials of the instruments that are free now ("none"; "unknown"
    when the library cannot say). Opens each one for a moment: the library
    finds only instruments that are not open, and cannot list them otherwise."""
    try:
        devices, _ = open_all()
    except zopy.Error:
        return "unknown"
    try:
        return ", ".join(device.serial for device in devices) or "none"
    finally:
        for device in devices:
            device.close()


def open_all(serial: str | None = None) -> tuple[list[zopy.Device], zopy.NoDeviceError]:
    """Every free instrument (whose serial contains ``serial``), opened one after
    another: an open one is not found again. Also returns the error that ended the search."""
    devices: list[zopy.Device] = []
    try:
        while True:
            try:
                devices.append(zopy.Device(serial=serial))
            except zopy.NoDeviceError as exc:
                return devices, exc
    except BaseException:
        for device in devices:
            device.close()
        raise


def no_instrument(exc: zopy.Error, serial: str | None) -> str:
    """No instrument (whose serial contains ``serial``): the library's own
    text, its code and the serials that are attached."""
    text = getattr(exc, "errstr", "") or (
        f"no instrument found whose serial contains {serial!r}" if serial else "no instrument found")
    return f"{text} (libzo error {exc.err}); attached: {attached_serials()}"


def senseless_answer(what: str, value: object) -> str:
    """An answer of the instrument that cannot be right (a sample rate of 0, say)."""
    return f"instrument error: the instrument reports {what} {value}, which cannot be"


def lost_instrument(serial: str | None) -> str:
    """An instrument that was open and can no longer be found."""
    return f"instrument {serial} not found (unplugged?)" if serial else "no instrument found"


def outside_band(nm: float) -> str:
    """A wavelength at which the photodiode does not respond."""
    return f"wavelength {nm:g} nm is outside the photodiode's band"


def _errno_of(exc: BaseException) -> int | None:
    if isinstance(exc, OSError) and exc.errno:
        return exc.errno
    found = re.search(r"errno = (\d+)", str(exc))
    return int(found.group(1)) if found else None


def file_failure(path: str | os.PathLike[str], exc: BaseException) -> str:
    """One line naming ``path`` and what went wrong, for an OSError of the
    disk or of HDF5 (whose own text carries timestamps, addresses and flags)."""
    text = str(exc)
    number = _errno_of(exc)
    if "unable to lock file" in text:
        cause = "another program has it open (HDF5 holds a lock on it)"
    elif "file signature not found" in text:
        cause = "not an HDF5 file"
    elif number in _CAUSES:
        cause = _CAUSES[number]
    elif number is not None:
        cause = os.strerror(number).lower()
    else:
        # HDF5's text: the first clause of its message, without its internals
        cause = re.sub(r"^(\[Errno \d+\] )?", "", text).split(" (")[0] or type(exc).__name__
    return f"{os.fspath(path)}: {cause}"


def os_error(exc: OSError, path: str | os.PathLike[str] | None = None, *,
             overwrite_hint: str = OVERWRITE_HINT) -> str:
    """An OSError in plain words. zopy's writers say themselves what is wrong
    with an output (it exists, another program writes it, it would not fit):
    their text is kept, with ``overwrite_hint`` for the way to replace a file
    in the caller's words; other errors are named by their cause."""
    filename = exc.filename if exc.filename is not None else path
    if filename is None:
        return str(exc)
    if exc.strerror and isinstance(exc, (FileExistsError, BlockingIOError, NotEnoughSpaceError)):
        return f"{os.fspath(filename)}: {exc.strerror}".replace(OVERWRITE_HINT, overwrite_hint)
    return file_failure(filename, exc)


def exists(path: str | os.PathLike[str], hint: str = OVERWRITE_HINT) -> str:
    """An output that is there already."""
    return f"{os.fspath(path)} exists ({hint})"


def describe(exc: BaseException, serial: str | None = None) -> str:
    """Any failure as one line: the library's, a file's, or a value refused."""
    if isinstance(exc, zopy.NoDeviceError):
        return lost_instrument(serial)
    if isinstance(exc, zopy.Error):
        return instrument_error(exc)
    if isinstance(exc, OSError) and exc.filename is not None:
        return os_error(exc)
    if isinstance(exc, (ValueError, MissingToolError)):
        return str(exc)
    return f"{type(exc).__name__}: {exc}"
