"""Counts and sizes checked before any work: what would not fit in memory, or
what the library cannot take, is refused in one line with the size."""

from __future__ import annotations

import os
import sys

from ._writer import size_text

# libzo takes sample counts as uint64_t; numpy's arrays hold at most
# sys.maxsize bytes.
LIBRARY_MAX_SAMPLES = 2**64 - 1


def _meminfo_available() -> int | None:
    """The kernel's estimate of the memory available without swapping (Linux)."""
    try:
        with open("/proc/meminfo", "rb") as f:
            for line in f:
                if line.startswith(b"MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        pass
    return None


def _physical_available() -> int | None:
    """Free physical memory, where the system says (POSIX systems without /proc)."""
    try:
        return os.sysconf("SC_AVPHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    except (AttributeError, ValueError, OSError):
        return None


def _process_room() -> int | None:
    """What this process may still allocate under its own address-space limit
    (ulimit -v), or None when it has none."""
    try:
        import resource
    except ImportError:
        return None
    limit = resource.getrlimit(resource.RLIMIT_AS)[0]
    if limit == resource.RLIM_INFINITY:
        return None
    try:
        with open("/proc/self/statm", "rb") as f:
            in_use = int(f.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
    except (OSError, ValueError, IndexError):
        in_use = 0
    return max(0, limit - in_use)


def _cgroup_room() -> int | None:
    """What this process's control group (a container's memory limit) has left."""
    try:
        with open("/sys/fs/cgroup/memory.max", "rb") as f:
            text = f.read().strip()
        if text == b"max":
            return None
        with open("/sys/fs/cgroup/memory.current", "rb") as f:
            return max(0, int(text) - int(f.read().strip()))
    except (OSError, ValueError):
        return None


def available_memory() -> int | None:
    """The bytes this process can take now: the least of the system's available
    memory, its control group's room and its own address-space limit; None
    when none of them is known."""
    known = [room for room in (_meminfo_available() or _physical_available(), _cgroup_room(),
                               _process_room()) if room is not None]
    return min(known) if known else None


def _count(n: int) -> str:
    return f"{n:,}" if n < 10**15 else f"{n:.3g}"


def check_fits(nsamples: int, bytes_per_sample: int, what: str) -> None:
    """Refuses, with ValueError in one line naming ``what`` (as ``--samples 3e9``)
    and the size, ``nsamples`` samples that take ``bytes_per_sample`` bytes each
    (all the arrays they need together: the block, its calibrated copy, the
    analysis) when the library cannot take that count, an array cannot hold
    it, or it would not fit in the memory available now."""
    if isinstance(nsamples, bool) or not isinstance(nsamples, int) or nsamples < 0:
        raise ValueError(f"{what}: the number of samples must be a whole number of 0 or more, "
                         f"not {nsamples!r}")
    if isinstance(bytes_per_sample, bool) or not isinstance(bytes_per_sample, int) \
            or bytes_per_sample < 1:
        raise ValueError(f"bytes_per_sample must be a whole number of 1 or more, "
                         f"not {bytes_per_sample!r}")
    if nsamples > LIBRARY_MAX_SAMPLES:
        raise ValueError(f"{what}: {_count(nsamples)} samples are more than the library can take "
                         f"({_count(LIBRARY_MAX_SAMPLES)} at most)")
    needed = nsamples * bytes_per_sample
    if needed > sys.maxsize:
        raise ValueError(f"{what}: {_count(nsamples)} samples need {size_text(needed)} of memory, "
                         f"more than any array can hold ({size_text(sys.maxsize)})")
    available = available_memory()
    if available is not None and needed > available:
        raise ValueError(f"{what}: {_count(nsamples)} samples need {size_text(needed)} of memory, "
                         f"but {size_text(available)} is available")
