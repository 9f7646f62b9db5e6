"""Files the tools write: created exclusively or replaced only when complete,
locked while written, refused before any work when their disk has no room."""

from __future__ import annotations

import errno
import os
import time

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
    not there yet, maybe a link) is or will be on."""
    folder = os.path.dirname(os.path.realpath(target))
    if hasattr(os, "statvfs"):
        stats = os.statvfs(folder)
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


class FileLockedError(BlockingIOError):
    """Another program is writing the file (or replacing it): it holds a lock."""


def partial_name(path: str | os.PathLike[str]) -> str:
    """Where a replacement of ``path`` is written until it is complete:
    ``run.h5`` -> ``run.partial.h5``, a name that says so and keeps the type."""
    head, tail = os.path.split(os.fspath(path))
    stem, suffix = os.path.splitext(tail)
    return os.path.join(head, f"{stem}.partial{suffix}")


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
    """

    def __init__(self, target: str | os.PathLike[str], overwrite: bool = False):
        self.target = os.fspath(target)
        if os.path.islink(self.target):    # write the file it points at, beside that file
            self.target = os.path.realpath(self.target)
        self.overwrite = overwrite
        self.path = partial_name(self.target)
        self._refuse_existing_target()
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
        """Refuses a partial file that another writer holds or that holds data;
        removes an empty one that a writer killed as it began left behind."""
        fd = os.open(self.path, os.O_RDONLY | os.O_CLOEXEC)
        try:
            time.sleep(LOCK_GRACE_SECONDS)    # a writer locks its file just after creating it
            if not _try_lock(fd, exclusive=True):
                raise FileLockedError(errno.EAGAIN, "another program is writing it (it holds "
                                      f"a lock on {self.path})", self.target)
            if os.fstat(fd).st_size == 0 and os.stat(self.path).st_ino == os.fstat(fd).st_ino:
                os.unlink(self.path)
                return
        finally:
            os.close(fd)
        raise FileExistsError(errno.EEXIST, f"{self.path} is left from a write of it that did "
                              "not finish; move or delete that file first", self.target)

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
        """Nothing worth keeping was written: remove the file."""
        try:
            os.unlink(self.path)
        except FileNotFoundError:
            pass
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
