"""Files the tools write and read: failures in words a person can act on."""

from __future__ import annotations

import errno
import os
import re

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


def _errno_of(exc: BaseException) -> int | None:
    if isinstance(exc, OSError) and exc.errno:
        return exc.errno
    found = re.search(r"errno = (\d+)", str(exc))
    return int(found.group(1)) if found else None


def failure_text(path: str | os.PathLike[str], exc: BaseException) -> str:
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
