"""Files the tools write: created exclusively or replaced only when complete,
locked while written, refused before any work when their disk has no room."""

from __future__ import annotations

import contextlib
import errno
import glob
import logging
import os
import secrets
import signal
import threading
import time
from collections.abc import Callable, Iterator, Mapping, Sequence
from typing import TypeVar

import numpy
import numpy.typing as npt

try:
    import fcntl                 # POSIX: advisory locks
except ImportError:
    fcntl = None  # type: ignore[assignment]  # no advisory locks here (Windows); checked before use

# ------------------------------------------------------------ free space

class NotEnoughSpaceError(OSError):
    """A file that would not fit in the free space of its disk, refused before
    it is written; its text gives both sizes."""


def size_text(nbytes: float) -> str:
    """A number of bytes for a person: 3.86 GB."""
    for unit in ("bytes", "kB", "MB", "GB", "TB", "PB", "EB", "ZB", "YB"):
        if abs(nbytes) < 1000 or unit == "YB":
            return f"{nbytes:.0f} bytes" if unit == "bytes" else f"{nbytes:.3g} {unit}"
        nbytes /= 1000
    raise AssertionError("unreachable")


def free_space(target: str | os.PathLike[str]) -> int:
    """The bytes free for this user on the disk that ``target`` (a file, maybe
    not there yet, maybe a link) is or will be on; OSError (EROFS) where that
    file system is read-only."""
    folder = os.path.dirname(os.path.realpath(target))
    if hasattr(os, "statvfs"):
        stats = os.statvfs(folder)
        if stats.f_flag & os.ST_RDONLY:     # no room at all, whatever the blocks say
            raise OSError(errno.EROFS, os.strerror(errno.EROFS), os.fspath(target))
        return stats.f_bavail * stats.f_frsize
    import shutil
    return shutil.disk_usage(folder).free


def check_free_space(target: str | os.PathLike[str], nbytes: int) -> None:
    """Refuses a file of about ``nbytes`` that its disk has no room for."""
    free = free_space(target)
    if nbytes > free:
        raise NotEnoughSpaceError(errno.ENOSPC, f"needs about {size_text(nbytes)} but its disk "
                                  f"has {size_text(free)} free", os.fspath(target))


# ------------------------------------------------------------ writing safely

# A program's words; the command line says "use --force" instead.
OVERWRITE_HINT = "pass overwrite=True to replace it"
LOCK_GRACE_SECONDS = 0.1
CREATING_SUFFIX = ".creating"
HDF5_SIGNATURE = b"\x89HDF\r\n\x1a\n"

# What a writer cleans up after an earlier one that was killed: one line each,
# through logging (with no logging set up, Python prints the bare line on stderr).
log = logging.getLogger("zopy")

Made = TypeVar("Made")


class FileLockedError(BlockingIOError):
    """Another program is writing the file (or replacing it): it holds a lock."""


def partial_name(path: str | os.PathLike[str]) -> str:
    """Where a replacement of ``path`` is written until it is complete:
    ``run.h5`` -> ``run.partial.h5``, a name that says so and keeps the type."""
    head, tail = os.path.split(os.fspath(path))
    stem, suffix = os.path.splitext(tail)
    return os.path.join(head, f"{stem}.partial{suffix}")


def creating_pattern(partial: str) -> str:
    """The names under which files that are to become ``partial`` are made
    (hidden, beside it), as a glob pattern."""
    head, tail = os.path.split(partial)
    return os.path.join(glob.escape(head), f".{glob.escape(tail)}.*{CREATING_SUFFIX}")


def _creating_name(partial: str) -> str:
    head, tail = os.path.split(partial)
    return os.path.join(head, f".{tail}.{secrets.token_hex(4)}{CREATING_SUFFIX}")


@contextlib.contextmanager
def _signals_deferred() -> Iterator[None]:
    """SIGTERM and SIGHUP wait until the block is over (main thread only), then
    go to whatever handled them before, which by default ends the program: a
    file being made is never left half-made under a name by them."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    received: list[int] = []
    previous = {signum: signal.signal(signum, lambda number, frame: received.append(number))
                for signum in (getattr(signal, name) for name in ("SIGTERM", "SIGHUP")
                               if hasattr(signal, name))}
    try:
        yield
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)
        if received:
            signal.raise_signal(received[0])


def samples_held(path: str) -> int | None:
    """The samples a file that zopy wrote holds in its dataset ``samples``;
    None for a file that is not a readable HDF5 file written by zopy."""
    try:
        with open(path, "rb") as f:
            if f.read(len(HDF5_SIGNATURE)) != HDF5_SIGNATURE:
                return None
    except OSError:
        return None
    from ._extras import require
    h5py = require("h5py")
    try:
        with h5py.File(path, "r", locking=False) as f:
            if "zopy_version" not in f.attrs:
                return None
            dataset = f.get("samples")
            if not isinstance(dataset, h5py.Dataset) or dataset.ndim != 1:
                return None
            return int(dataset.shape[0])
    except Exception:          # whatever HDF5 finds wrong: not readable
        return None


def _try_lock(fd: int, exclusive: bool) -> bool:
    """Takes a lock without waiting; False if another open file holds a conflicting one."""
    if fcntl is None:
        return True
    try:
        fcntl.flock(fd, (fcntl.LOCK_EX if exclusive else fcntl.LOCK_SH) | fcntl.LOCK_NB)
    except BlockingIOError:
        return False
    return True


def _lock_own(fd: int) -> None:
    """Locks a file this process has just created. Another writer may be probing it
    for a moment (a file found existing); it lets go at once."""
    deadline = time.monotonic() + 1.0
    while not _try_lock(fd, exclusive=True) and time.monotonic() < deadline:
        time.sleep(0.001)


def _check_not_being_written(path: str) -> None:
    """Refuses to replace a file that a writer holds (zopy's writers and HDF5's
    hold exclusive locks; readers hold shared ones, which do not stop a rename)."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
    except FileNotFoundError:
        return
    try:
        if not _try_lock(fd, exclusive=False):
            raise FileLockedError(errno.EAGAIN, "another program is writing it "
                                  "(it holds a lock on the file)", path)
    finally:
        os.close(fd)


class Output:
    """A file being written, which never replaces or hides anything unless it succeeds.

    The file is written under :func:`partial_name` beside its target, created
    exclusively and locked for as long as this object holds it open: a
    second writer of the same target is refused with :class:`FileLockedError`.
    It takes the target's name in one step, never half-written: :meth:`publish`
    gives a new file its name as soon as it is valid (a recording, found where
    its user asked for it whatever happens next), and :meth:`commit` gives it
    the name once complete, replacing an existing file only then (``overwrite``).
    Until then an existing target stays as it was. ``fd`` is an open
    descriptor of the file, for free space and reservations; ``path`` is
    where it is now.

    With ``create`` False (a recording), nothing is created yet: the target
    and a leftover partial file are checked now, and :meth:`make_valid` makes
    the file, which then has a name only once it is valid.
    """

    def __init__(self, target: str | os.PathLike[str], overwrite: bool = False, *,
                 create: bool = True):
        self.target = os.fspath(target)
        if os.path.islink(self.target):    # write the file it points at, beside that file
            self.target = os.path.realpath(self.target)
        self.overwrite = overwrite
        self.path = partial_name(self.target)
        self.fd = -1
        self._made = create              # whether a file of ours has the partial name
        self._refuse_existing_target()
        self._remove_killed_creations()
        if not create:
            if os.path.lexists(self.path):
                self._refuse_partial()
            return
        try:
            try:
                self.fd = self._create()
            except FileExistsError:
                self._refuse_partial()
                self.fd = self._create()
        except OSError as exc:        # the user knows the target, not our partial name
            exc.filename = self.target
            raise
        _lock_own(self.fd)

    def _create(self) -> int:
        return os.open(self.path, os.O_RDWR | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)

    def _refuse_existing_target(self) -> None:
        if not os.path.lexists(self.target):
            return
        if not self.overwrite:
            raise FileExistsError(errno.EEXIST, f"exists ({OVERWRITE_HINT})",
                                  self.target)
        _check_not_being_written(self.target)

    def _refuse_partial(self) -> None:
        """Refuses a partial file that another writer holds or that holds samples;
        removes one that holds none (or is no readable file of zopy's), which a
        writer killed early left behind, saying so in one line."""
        for _ in range(3):      # a writer starting replaces its empty file by the valid one
            try:
                fd = os.open(self.path, os.O_RDONLY | os.O_CLOEXEC)
            except FileNotFoundError:
                return
            try:
                time.sleep(LOCK_GRACE_SECONDS)    # a writer locks its file just after creating it
                if not _try_lock(fd, exclusive=True):
                    break
                held = 0 if os.fstat(fd).st_size == 0 else samples_held(self.path)
                try:
                    if os.stat(self.path).st_ino != os.fstat(fd).st_ino:
                        continue                  # replaced meanwhile: look at the new one
                except FileNotFoundError:
                    return
                if not held:
                    os.unlink(self.path)
                    what = "holding no samples" if held == 0 else "not a readable file of zopy's"
                    log.warning("%s: removed %s, %s, left by a write of it that did not finish",
                                self.target, self.path, what)
                    return
            finally:
                os.close(fd)
            raise FileExistsError(errno.EEXIST, f"{self.path} holds {held} samples of a "
                                  "recording of it that did not finish; rename that file to "
                                  "keep them, or delete it to write anew", self.target)
        raise FileLockedError(errno.EAGAIN, "another program is writing it (it holds "
                              f"a lock on {self.path})", self.target)

    def _remove_killed_creations(self) -> None:
        """Removes the files that writers killed while making this partial file left
        under their hidden names (no longer locked, and not just made)."""
        for name in glob.glob(creating_pattern(self.path)):
            try:
                fd = os.open(name, os.O_RDONLY | os.O_CLOEXEC)
            except OSError:
                continue
            try:
                # its writer locks it as soon as it is made
                time.sleep(max(0.0, LOCK_GRACE_SECONDS - (time.time() - os.fstat(fd).st_ctime)))
                if not _try_lock(fd, exclusive=True):
                    continue
                os.unlink(name)
                log.warning("%s: removed %s, left by a write of it killed as it began",
                            self.target, name)
            except OSError:
                pass
            finally:
                os.close(fd)

    def make_valid(self, make: Callable[[str], Made]) -> Made:
        """Makes the file anew with ``make(path)``, which must leave it valid and
        flushed (a new, empty recording), under a hidden name no one asked for
        beside it; only then does it take this output's name (replacing the empty
        file made on creation, if one was). Killed at any moment, the output's
        name holds the valid file or, for an output created at once, an empty
        one; SIGTERM and SIGHUP wait until it is done. Returns what ``make``
        returned; the output is then that file, locked."""
        with _signals_deferred():
            name = _creating_name(self.path)
            fd = os.open(name, os.O_RDWR | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
            try:
                _lock_own(fd)
                made = make(name)
                try:
                    os.fsync(fd)             # the contents on disk before the name points at them
                    if not self._made:
                        self._name_new_file(name)
                    elif not self._still_ours():
                        raise FileExistsError(errno.EEXIST, "was replaced by another program "
                                              "while it was being created", self.path)
                    else:
                        os.rename(name, self.path)
                except BaseException:
                    close = getattr(made, "close", None)
                    if close is not None:
                        close()
                    raise
            except BaseException:
                os.close(fd)
                with contextlib.suppress(FileNotFoundError):
                    os.unlink(name)
                raise
            if self.fd >= 0:
                os.close(self.fd)
            self.fd, self._made = fd, True
            return made

    def _name_new_file(self, name: str) -> None:
        """Gives the valid file made under ``name`` the partial name, which must be
        free (a leftover that holds nothing is cleared first), in one step."""
        for attempt in range(2):
            try:
                os.link(name, self.path)
            except FileExistsError:
                if attempt:
                    raise FileLockedError(errno.EAGAIN, "another program is writing it (it "
                                          f"holds {self.path})", self.target) from None
                self._refuse_partial()       # removes what a killed writer left, or refuses
                continue
            except OSError as exc:          # a file system without hard links
                if exc.errno not in (errno.EPERM, errno.EOPNOTSUPP, errno.EXDEV, errno.EMLINK):
                    raise
                if os.path.lexists(self.path):
                    raise FileLockedError(errno.EAGAIN, "another program is writing it (it "
                                          f"holds {self.path})", self.target) from None
                os.rename(name, self.path)
                return
            os.unlink(name)
            return

    def _still_ours(self) -> bool:
        """The partial name is free or names the file this output made."""
        try:
            return os.stat(self.path).st_ino == os.fstat(self.fd).st_ino
        except FileNotFoundError:
            return True

    def publish(self) -> None:
        """Gives a new file its target's name now, while it is still written;
        a file that is to replace another keeps its partial name until :meth:`commit`."""
        if self.path == self.target or os.path.lexists(self.target) and self.overwrite:
            return
        self._take_target_name()

    def commit(self) -> None:
        """The file is complete: it takes the target's name (replacing what was there
        only if ``overwrite``), and the lock is released."""
        if self.path != self.target:
            os.fsync(self.fd)            # the data on disk before the name points at it
            if os.path.lexists(self.target) and self.overwrite:
                _check_not_being_written(self.target)
                os.replace(self.path, self.target)
                self.path = self.target
            else:
                self._take_target_name()
        self.release()

    def _take_target_name(self) -> None:
        """Links the file under the target's name, which must still be free."""
        try:
            os.link(self.path, self.target)
        except FileExistsError:
            raise FileExistsError(errno.EEXIST, "appeared while it was being written "
                                  f"(what was written is in {self.path})", self.target) from None
        except OSError as exc:          # a file system without hard links
            if exc.errno not in (errno.EPERM, errno.EOPNOTSUPP, errno.EXDEV, errno.EMLINK):
                raise
            if os.path.lexists(self.target):
                raise FileExistsError(errno.EEXIST, "appeared while it was being written",
                                      self.target) from None
            os.rename(self.path, self.target)
        else:
            os.unlink(self.path)
        self.path = self.target

    def discard(self) -> None:
        """Nothing worth keeping was written: remove the file (if one was made)."""
        if self._made:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(self.path)
        self.release()

    def release(self) -> None:
        """Closes the descriptor (and the lock); the file stays as it is."""
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1

    def __enter__(self) -> "Output":
        return self

    def __exit__(self, kind: object, value: object, traceback: object) -> None:
        """As a with-block for a file written whole: committed if the block
        succeeds, removed if it fails."""
        if self.fd < 0:
            return
        if kind is None:
            self.commit()
            return
        if isinstance(value, OSError):
            self._name_the_failure(value)
        self.discard()

    def _name_the_failure(self, exc: OSError) -> None:
        """Writers through file objects raise OSErrors without a file name, some
        (numpy's) without an errno even when the disk is full."""
        if exc.filename is None:
            exc.filename = self.target
        if exc.errno is None and hasattr(os, "fstatvfs") and os.fstatvfs(self.fd).f_bavail == 0:
            exc.errno, exc.strerror = errno.ENOSPC, os.strerror(errno.ENOSPC)


# ------------------------------------------------------------ CSV

CSV_ROWS_PER_WRITE = 1 << 16        # rows formatted at a time: memory stays small
CSV_MAX_LINE = 256                  # a metadata line, as zopy's reader takes it


def csv_text(value: object) -> str:
    """A metadata value as a .csv holds it, and zopy's reader takes it back:
    true/false, a number (floats exactly), or text."""
    if isinstance(value, numpy.generic):
        value = value.item()
    if isinstance(value, bool):
        return "true" if value else "false"
    return repr(value) if isinstance(value, float) else str(value)


def write_csv(path: str | os.PathLike[str], columns: Mapping[str, npt.ArrayLike],
              metadata: Mapping[str, object], formats: Sequence[str]) -> None:
    """Writes ``columns`` (name -> 1-D array, all of one length) into the .csv
    file ``path`` (created or emptied), each with its printf format, with
    ``metadata`` between the names and the numbers::

        time_s,power_uw
        # samplerate_hz = 10000000.0
        # units = uW
        0,50.012
        1e-07,49.9871

    The names come first and every metadata line is a ``#`` comment, so the
    file opens as written with ``numpy.genfromtxt(f, delimiter=",",
    names=True)``, ``numpy.loadtxt(f, delimiter=",", skiprows=1)`` and
    ``pandas.read_csv(f, comment="#")``; zopy's readers also take the
    metadata back. Raises ValueError for columns of different lengths, names
    a CSV cannot hold, or metadata that does not fit on one line.
    """
    names = list(columns)
    arrays = [numpy.asarray(columns[name]) for name in names]
    if not names or len(formats) != len(names):
        raise ValueError(f"give one format per column: {len(names)} columns, "
                         f"{len(formats)} formats")
    for name, array in zip(names, arrays):
        if not name.isidentifier():
            raise ValueError(f"column name {name!r} must be a name (letters, digits, _)")
        if array.ndim != 1 or len(array) != len(arrays[0]):
            raise ValueError(f"column {name} must be 1-D with the length of {names[0]} "
                             f"({len(arrays[0])}), not of shape {array.shape}")
    lines = [",".join(names)]
    for key, value in metadata.items():
        text = csv_text(value)
        line = f"# {key} = {text}".rstrip()
        if not key.isidentifier() or "\n" in text or "\r" in text or len(line) > CSV_MAX_LINE:
            raise ValueError(f"metadata {key!r} = {text[:40]!r} does not fit on one line of "
                             f"at most {CSV_MAX_LINE} characters")
        lines.append(line)
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        f.write("\n".join(lines) + "\n")
        for start in range(0, len(arrays[0]), CSV_ROWS_PER_WRITE):
            rows = numpy.column_stack([a[start:start + CSV_ROWS_PER_WRITE] for a in arrays])
            numpy.savetxt(f, rows, fmt=list(formats), delimiter=",")
