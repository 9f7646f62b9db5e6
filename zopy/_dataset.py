"""Recordings as one lazy data set: ``xarray`` over Dask arrays.

::

    from zopy.record import open_dataset

    ds = open_dataset("runs/*.h5")           # or a list of paths; nothing is read yet
    ds.samples                               # (time) the samples of every file, in start-time order
    ds.samples.mean().compute()              # reads every chunk, in parallel
    ds.samples[:1_000_000].values            # reads the chunks it needs

Each file is checked as untrusted input, as :func:`zopy.record.read` checks
it (see :mod:`zopy.readers`), when the data set is opened, and again
when a task reads it: a file replaced or cut short in between is refused, not
misread. The Dask chunks are whole HDF5 chunks of a file (never across two
files), so every read decompresses whole chunks once, and the tasks name the
files by path: the data set runs unchanged on a ``dask.distributed`` cluster
whose workers see the files.

xarray, dask and h5py come with the ``dask`` extra (``pip install 'zopy[dask]'``).
"""

from __future__ import annotations

import dataclasses
import datetime
import glob
import os
from collections.abc import Sequence
from typing import Any

import numpy

from ._extras import require
from .readers import SampleFileError, _unreadable, open_hdf5

__all__ = ["RecordingsMismatchError", "open_dataset"]

EXTRA = "dask"
DEFAULT_CHUNK_SAMPLES = 1 << 21      # 8 MiB of float32: a task's work well above its overhead
NANOSECONDS = 10**9


class RecordingsMismatchError(ValueError):
    """Recordings that cannot be one time series (different stream settings):
    the message is one line naming two of the files and what differs."""


@dataclasses.dataclass
class _Part:
    """What one checked file contributes: its layout and attributes."""
    path: str
    length: int
    dtype: numpy.dtype
    chunk: int                       # samples per HDF5 chunk (a contiguous file: any)
    bits_dtype: numpy.dtype | None
    attrs: dict[str, Any]
    rate: float
    start_ns: int                    # UTC, nanoseconds since 1970
    first: int = 0                   # index of its first sample in the data set


def open_dataset(paths_or_glob: str | os.PathLike[str] | Sequence[str | os.PathLike[str]], *,
                 chunk_samples: int | None = None) -> Any:
    """The recordings as one ``xarray.Dataset``, nothing read until computed.

    Args:
        paths_or_glob: a file, a glob pattern ("runs/*.h5") or a list of files,
            written by :func:`zopy.record.record` (or holding what it writes).
        chunk_samples: samples per Dask chunk, rounded down to whole HDF5
            chunks of each file (at least one); default about 2 Mi samples.

    Returns:
        xarray.Dataset: ``samples`` (and ``bits``, when every file has them)
        along ``time``, with a ``time`` coordinate (datetime64[ns], UTC, from
        each file's ``start_time`` and ``samplerate_hz``; computed lazily, so
        it has no index). The files are joined in start-time order. The
        attributes equal in every file are the data set's attributes; one
        that differs (``start_time``, ``samples_written``...) is a list with
        a value per file, in order; ``files`` lists the files and
        ``file_first_sample`` where each begins along ``time``.

    Raises:
        FileNotFoundError: the pattern matches no file.
        zopy.readers.SampleFileError: a file fails its checks (one line).
        RecordingsMismatchError: two files differ in sample rate, units,
            dtype or bits (one line naming them).
    """
    xarray = require("xarray", EXTRA)
    dask_array = require("dask.array", EXTRA)
    require("h5py", EXTRA)
    parts = [_part(path) for path in _paths(paths_or_glob)]
    _refuse_mismatches(parts)
    parts.sort(key=lambda part: (part.start_ns, part.path))
    first = 0
    for part in parts:
        part.first = first
        first += part.length

    chunks = [_chunks(part, chunk_samples) for part in parts]
    samples = _lazy_array(dask_array, "zopy-samples", parts, chunks, "samples", parts[0].dtype)
    times = _lazy_times(dask_array, parts, chunks)
    variables = {"samples": ("time", samples, {"units": parts[0].attrs.get("units", "")})}
    if parts[0].bits_dtype is not None:
        variables["bits"] = ("time", _lazy_array(dask_array, "zopy-bits", parts, chunks, "bits",
                                                  parts[0].bits_dtype), {})
    coords = xarray.Coordinates({"time": ("time", times)}, indexes={})
    dataset = xarray.Dataset(variables, coords=coords)
    dataset.attrs.update(_attributes(parts))
    return dataset


def _paths(paths_or_glob: str | os.PathLike[str] | Sequence[str | os.PathLike[str]]) -> list[str]:
    if isinstance(paths_or_glob, (str, os.PathLike)):
        pattern = os.fspath(paths_or_glob)
        if glob.has_magic(pattern):
            paths = sorted(glob.glob(pattern))
            if not paths:
                raise FileNotFoundError(f"{pattern}: no file matches")
            return paths
        return [pattern]
    paths = [os.fspath(path) for path in paths_or_glob]
    if not paths:
        raise ValueError("open_dataset needs at least one recording")
    seen: set[str] = set()
    for path in paths:
        real = os.path.realpath(path)
        if real in seen:
            raise ValueError(f"{path}: given twice")
        seen.add(real)
    return paths


def _part(path: str) -> _Part:
    with open_hdf5(path) as source:
        attrs = dict(source.attrs)
        if source.samplerate_hz is None:
            raise SampleFileError(path, "has no samplerate_hz attribute: its samples have no time")
        chunk = source.samples.chunks[0] if source.samples.chunks else DEFAULT_CHUNK_SAMPLES
        bits_dtype = None if source.bits is None else source.bits.dtype
        return _Part(path, source.length, source.dtype.newbyteorder("="), chunk, bits_dtype,
                     attrs, source.samplerate_hz, _start_ns(path, attrs.get("start_time")))


def _start_ns(path: str, text: Any) -> int:
    if not isinstance(text, str):
        raise SampleFileError(path, "has no start_time attribute (ISO 8601): its samples have no time")
    try:
        moment = datetime.datetime.fromisoformat(text)
    except ValueError:
        raise SampleFileError(path, f"attribute start_time must be a time in ISO 8601, not "
                              f"{text[:40]!r}") from None
    if moment.tzinfo is None:          # the recorder writes UTC; a naive time is taken as UTC
        moment = moment.replace(tzinfo=datetime.timezone.utc)
    delta = moment - datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc)
    return (delta.days * 86_400 + delta.seconds) * NANOSECONDS + delta.microseconds * 1000


def _refuse_mismatches(parts: list[_Part]) -> None:
    first = parts[0]
    for part in parts[1:]:
        for what, a, b in (("sample rate", f"{first.rate:g} Hz", f"{part.rate:g} Hz"),
                           ("units", first.attrs.get("units", "none"), part.attrs.get("units", "none")),
                           ("dtype", str(first.dtype), str(part.dtype)),
                           ("bits", _bits_text(first), _bits_text(part))):
            if a != b:
                raise RecordingsMismatchError(
                    f"{first.path} and {part.path} differ in {what} ({a} and {b}); "
                    "only recordings of one stream setting join into one data set")


def _bits_text(part: _Part) -> str:
    return "none" if part.bits_dtype is None else str(part.bits_dtype)


def _chunks(part: _Part, chunk_samples: int | None) -> list[tuple[int, int]]:
    """(start, stop) of each Dask chunk of the file: whole HDF5 chunks."""
    target = DEFAULT_CHUNK_SAMPLES if chunk_samples is None else int(chunk_samples)
    if target < 1:
        raise ValueError(f"chunk_samples must be at least 1, not {chunk_samples}")
    step = part.chunk * max(1, target // part.chunk)
    return [(start, min(start + step, part.length)) for start in range(0, part.length, step)]


def _lazy_array(dask_array: Any, prefix: str, parts: list[_Part], chunks: list[list[tuple[int, int]]],
                dataset: str, dtype: numpy.dtype) -> Any:
    """A Dask array whose tasks read (start, stop) of ``dataset`` from each file."""
    from dask.base import tokenize
    name = f"{prefix}-" + tokenize([(p.path, p.length, str(p.dtype), os.stat(p.path).st_mtime_ns)
                                    for p in parts], chunks)
    graph: dict[tuple[str, int], tuple[Any, ...]]
    sizes: list[int]
    graph, sizes = {}, []
    for part, ranges in zip(parts, chunks):
        for start, stop in ranges:
            graph[(name, len(sizes))] = (_read, part.path, dataset, start, stop, part.length,
                                         str(part.dtype) if dataset == "samples" else None)
            sizes.append(stop - start)
    return _array(dask_array, graph, name, sizes, dtype)


def _lazy_times(dask_array: Any, parts: list[_Part], chunks: list[list[tuple[int, int]]]) -> Any:
    from dask.base import tokenize
    name = "zopy-time-" + tokenize([(p.start_ns, p.rate) for p in parts], chunks)
    graph: dict[tuple[str, int], tuple[Any, ...]]
    sizes: list[int]
    graph, sizes = {}, []
    for part, ranges in zip(parts, chunks):
        for start, stop in ranges:
            graph[(name, len(sizes))] = (_times, part.start_ns, part.rate, start, stop)
            sizes.append(stop - start)
    return _array(dask_array, graph, name, sizes, numpy.dtype("datetime64[ns]"))


def _array(dask_array: Any, graph: dict[tuple[str, int], tuple[Any, ...]], name: str, sizes: list[int],
           dtype: numpy.dtype) -> Any:
    if not sizes:      # only empty recordings
        return dask_array.zeros((0,), dtype=dtype, chunks=((0,),))
    return dask_array.Array(graph, name, chunks=(tuple(sizes),), dtype=dtype)


def _times(start_ns: int, rate: float, start: int, stop: int) -> numpy.ndarray:
    """Times of samples start..stop of a file: exact to the nanosecond for days."""
    offsets = numpy.rint(numpy.arange(start, stop, dtype=numpy.float64) * (NANOSECONDS / rate))
    return (numpy.datetime64(start_ns, "ns") + offsets.astype("timedelta64[ns]")).astype("datetime64[ns]")


def _read(path: str, dataset: str, start: int, stop: int, length: int, dtype: str | None) -> numpy.ndarray:
    """Samples (or bits) start..stop of a file, checked again as it is read now."""
    with open_hdf5(path) as source:
        if source.length != length or (dtype is not None and str(source.dtype.newbyteorder("=")) != dtype):
            raise SampleFileError(path, f"changed since the data set was opened ({length} samples "
                                  f"of {dtype} then, {source.length} of {source.dtype} now)")
        if dataset == "bits" and source.bits is None:
            raise SampleFileError(path, "changed since the data set was opened: its bits are gone")
        try:
            block: numpy.ndarray = (source.samples if dataset == "samples" else source.bits)[start:stop]
        except Exception as exc:        # whatever h5py raises: one line naming the file
            raise _unreadable(path, exc) from None
    if block.dtype.kind == "f":
        finite = numpy.isfinite(block)
        if not finite.all():
            at = int(numpy.argmin(finite))
            raise SampleFileError(path, f"sample {start + at} is {block[at]}, not a finite number")
    return block.astype(block.dtype.newbyteorder("="), copy=False)


def _attributes(parts: list[_Part]) -> dict[str, Any]:
    names = dict.fromkeys(name for part in parts for name in part.attrs)
    attrs: dict[str, Any] = {}
    for name in names:
        values = [part.attrs.get(name) for part in parts]
        if all(_same(values[0], value) for value in values[1:]):
            attrs[name] = values[0]
        else:
            attrs[name] = values
    attrs["files"] = [part.path for part in parts]
    attrs["file_first_sample"] = [part.first for part in parts]
    return attrs


def _same(a: Any, b: Any) -> bool:
    if isinstance(a, numpy.ndarray) or isinstance(b, numpy.ndarray):
        return bool(numpy.array_equal(a, b))
    if isinstance(a, float) and isinstance(b, float) and a != a and b != b:
        return True          # NaN: "not recorded" in both
    return type(a) is type(b) and a == b
