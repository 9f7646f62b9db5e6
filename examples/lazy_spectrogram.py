"""A spectrogram of recordings larger than memory: Welch per time slice, on Dask.

Opens recordings as one lazy data set (``zopy.record.open_dataset``), cuts it
into time slices (the data set's chunks: whole HDF5 chunks, never spanning two
files) and estimates each slice's noise spectrum with zopy's estimate, as
``zopy psd`` does (``zopy.analysis.welch``: Hann windows of 4096 samples, half
overlap, one-sided, W²/Hz of optical power, no bin at the Nyquist frequency):
one Dask task per slice, so the slices are read and transformed by every
worker at once and only the spectra stay in memory. Each thread keeps its
last recording open and reads a slice's chunks straight from the file into a
buffer it keeps (``os.preadv``, which lets go of the interpreter lock for the
whole read; filtered data goes through h5py's ``read_direct``), and the
transform releases the lock too, so Dask's threads use every core. With
``--scheduler ADDRESS`` the same code runs on a ``dask.distributed`` cluster
whose workers see the files; with ``--cluster`` on a local one.

Without files it first records four short recordings of a virtual instrument
into a temporary folder.

Usage: ``python examples/lazy_spectrogram.py [FILE_OR_GLOB ...] [--slice-samples N]
[--cluster | --scheduler ADDRESS]``
"""

from __future__ import annotations

import argparse
import contextlib
import importlib
import os
import pathlib
import sys
import tempfile
import threading
from collections.abc import Iterator
from typing import Any

import numpy
import numpy.typing as npt

from zopy import analysis

SEGMENT = 4096
UNIT_SCALES = {"uW": 1e-6, "mW": 1e-3, "W": 1.0}


class _OpenRecording:
    """A recording checked as untrusted input (zopy.readers) and kept open for
    the next slice of the same file, with a descriptor for reading its bytes."""

    def __init__(self, path: str) -> None:
        from zopy.readers import SampleFileError, open_hdf5
        self.fd = os.open(path, os.O_RDONLY)
        try:
            self.identity = _identity(os.fstat(self.fd))
            self.source = open_hdf5(path)
        except BaseException:
            os.close(self.fd)
            raise
        if _identity(os.stat(path)) != self.identity:     # h5py and the descriptor: one file
            self.close()
            raise SampleFileError(path, "was replaced while it was being opened")
        samples = self.source.samples
        # chunks stored as they are (no filter) of samples in this machine's
        # byte order are read as the file's bytes, with one system call each
        self.raw = (samples.chunks is not None and samples.dtype.isnative
                    and samples.id.get_create_plist().get_nfilters() == 0)

    def close(self) -> None:
        os.close(self.fd)
        self.source.close()


def _identity(stat: os.stat_result) -> tuple[int, int, int, int]:
    return stat.st_dev, stat.st_ino, stat.st_size, stat.st_mtime_ns


def _thread_state() -> dict[str, Any]:
    """This thread's read buffer and last recording, kept from slice to slice. On
    the thread itself: tasks sent to a cluster carry this script's functions, not
    its module state, and a thread-local object cannot be sent."""
    thread = threading.current_thread()
    state: dict[str, Any] | None = getattr(thread, "zopy_spectrogram", None)
    if state is None:
        state = {}
        setattr(thread, "zopy_spectrogram", state)
    return state


def _recording(path: str) -> _OpenRecording:
    """This thread's open recording ``path``: opened (and checked) again when it
    is another file, or the file changed on disk since."""
    state = _thread_state()
    kept: _OpenRecording | None = state.pop("recording", None)
    if kept is not None and (kept.source.path != path or kept.identity != _identity(os.stat(path))):
        kept.close()
        kept = None
    state["recording"] = recording = kept or _OpenRecording(path)
    return recording


def read_slice(path: str, start: int, stop: int) -> npt.NDArray[Any]:
    """Samples start..stop of a recording, in this thread's buffer (valid until its
    next read). The chunks are read from the file with os.preadv, which lets go
    of the interpreter lock for the whole read (h5py takes it back and forth);
    a filtered dataset goes through h5py's read_direct."""
    from zopy.readers import SampleFileError
    recording = _recording(path)
    samples = recording.source.samples
    if recording.source.length < stop:
        raise SampleFileError(path, f"holds {recording.source.length} samples now, not the "
                              f"{stop} it had when the data set was opened")
    dtype = samples.dtype.newbyteorder("=")
    state = _thread_state()
    buffer = state.get("samples")
    if buffer is None or buffer.dtype != dtype or len(buffer) < stop - start:
        buffer = state["samples"] = numpy.empty(stop - start, dtype)
    block: npt.NDArray[Any] = buffer[:stop - start]
    if not (recording.raw and _read_chunks(recording, start, stop, block)):
        samples.read_direct(block, numpy.s_[start:stop])
    return block


def _read_chunks(recording: _OpenRecording, start: int, stop: int, block: npt.NDArray[Any]) -> bool:
    """Reads samples start..stop from where the file stores their chunks; False
    when one is not stored (its samples are the fill value: h5py knows it)."""
    from zopy.readers import SampleFileError
    samples = recording.source.samples
    chunk, itemsize = samples.chunks[0], samples.dtype.itemsize
    for first in range(start - start % chunk, stop, chunk):
        info = samples.id.get_chunk_info_by_coord((first,))
        if info.byte_offset is None:
            return False
        low, high = max(start, first), min(stop, first + chunk)
        view = memoryview(block[low - start:high - start]).cast("B")
        if os.preadv(recording.fd, [view], info.byte_offset + (low - first) * itemsize) != len(view):
            raise SampleFileError(recording.source.path, f"ends inside the chunk of samples {first} on")
    return True


def slice_row(path: str, start: int, stop: int, samplerate: float, scale: float,
              segment: int) -> npt.NDArray[numpy.float64]:
    """One slice's spectrum as a row (NaN for a slice shorter than a segment)."""
    bins = len(analysis.psd_frequencies(samplerate, segment, segment))
    if stop - start < segment:
        return numpy.full((1, bins), numpy.nan)
    density = analysis.welch(read_slice(path, start, stop), samplerate, segment).density
    return (density * (scale * scale))[numpy.newaxis, :]


def slices(dataset: Any) -> list[tuple[str, int, int]]:
    """(file, first sample, end) of each of the data set's slices, within its file."""
    firsts = list(dataset.attrs["file_first_sample"])
    files = list(dataset.attrs["files"])
    bounds = numpy.cumsum((0,) + dataset.samples.data.chunks[0])
    file_of = numpy.searchsorted(firsts, bounds[:-1], side="right") - 1
    return [(files[f], int(begin - firsts[f]), int(end - firsts[f]))
            for f, begin, end in zip(file_of, bounds[:-1], bounds[1:])]


def slice_starts(dataset: Any) -> npt.NDArray[numpy.datetime64]:
    """The time of each slice's first sample, from the files' start times (no samples read)."""
    rate = float(dataset.attrs["samplerate_hz"])
    firsts = numpy.asarray(dataset.attrs["file_first_sample"])
    times = dataset.attrs["start_time"]
    starts_ns = numpy.array([numpy.datetime64(t.replace("+00:00", ""), "ns").astype(numpy.int64)
                             for t in ([times] if isinstance(times, str) else times)])
    bounds = numpy.cumsum((0,) + dataset.samples.data.chunks[0][:-1])
    file_of = numpy.searchsorted(firsts, bounds, side="right") - 1
    offsets = numpy.rint((bounds - firsts[file_of]) * (1e9 / rate)).astype(numpy.int64)
    return (starts_ns[file_of] + offsets).astype("datetime64[ns]")


def spectrogram(dataset: Any, segment: int = SEGMENT) -> Any:
    """A lazy xarray.DataArray (slice, frequency) of W²/Hz: nothing computed yet."""
    import xarray
    from dask.base import tokenize
    dask_array: Any = importlib.import_module("dask.array")     # untyped
    scale = UNIT_SCALES.get(dataset.attrs.get("units", ""))
    if scale is None:
        raise ValueError(f"the recordings hold {dataset.attrs.get('units') or 'unknown units'}, "
                         "not optical power; record them calibrated")
    rate = float(dataset.attrs["samplerate_hz"])
    frequency = analysis.psd_frequencies(rate, segment, segment)
    parts = slices(dataset)
    # the tasks name the files and read them themselves (as the data set's own
    # tasks do), so a distributed cluster's workers need only see the files
    name = "zopy-spectrogram-" + tokenize(dataset.samples.data.name, parts, rate, scale, segment)
    graph = {(name, i, 0): (slice_row, path, start, stop, rate, scale, segment)
             for i, (path, start, stop) in enumerate(parts)}
    rows = dask_array.Array(graph, name, chunks=((1,) * len(parts), (len(frequency),)),
                            dtype=numpy.float64)
    return xarray.DataArray(rows, dims=("slice", "frequency"), name="psd",
                            coords={"slice_start": ("slice", slice_starts(dataset)),
                                    "frequency": frequency},
                            attrs={"units": "W²/Hz", "segment": segment})


def record_demo(folder: pathlib.Path, files: int = 4, seconds: float = 0.5) -> list[pathlib.Path]:
    """Recordings of a virtual instrument with 100 µW on it, one after the other
    (as ``zopy record`` makes them)."""
    from zopy import sim
    from zopy.cli import main as zopy_command
    sim.set_light(100.0, rin_db_hz=-140.0)
    paths = [folder / f"run{i}.h5" for i in range(files)]
    for path in paths:
        if zopy_command(["record", str(path), "--seconds", str(seconds), "--filter", "lowpass",
                         "--cutoff", "200e3", "--downsampling", "10"]):
            raise SystemExit(f"recording {path} failed")
    return paths


@contextlib.contextmanager
def scheduler(args: argparse.Namespace) -> Iterator[None]:
    """Dask's threads by default; a local cluster or a cluster's scheduler when asked."""
    if not (args.cluster or args.scheduler):
        yield
        return
    distributed: Any = importlib.import_module("distributed")
    with contextlib.ExitStack() as stack:
        if args.scheduler:
            client = stack.enter_context(distributed.Client(args.scheduler))
        else:
            cluster = stack.enter_context(distributed.LocalCluster(
                n_workers=2, threads_per_worker=1, dashboard_address=None))
            client = stack.enter_context(distributed.Client(cluster))
        print(f"Dask: {client}")
        yield


def main(argv: list[str] | None = None) -> int:
    from zopy.record import open_dataset
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("files", nargs="*", help="recordings, or a glob pattern")
    parser.add_argument("--slice-samples", type=int, default=None,
                        help="samples per slice (whole HDF5 chunks; default about 2 Mi)")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--cluster", action="store_true", help="on a dask.distributed local cluster")
    where.add_argument("--scheduler", help="the address of a dask.distributed scheduler")
    args = parser.parse_args(argv)

    with tempfile.TemporaryDirectory() as folder:
        files: Any = args.files
        if not files:
            files = record_demo(pathlib.Path(folder))
            print(f"Recorded {len(files)} recordings of a virtual instrument")
        elif len(files) == 1:
            files = files[0]                     # a file or a glob pattern
        slice_samples = args.slice_samples or (100_000 if not args.files else None)
        dataset = open_dataset(files, chunk_samples=slice_samples)
        print(f"{len(dataset.attrs['files'])} recordings, {dataset.sizes['time']} samples at "
              f"{dataset.attrs['samplerate_hz']:g} S/s, {dataset.samples.data.numblocks[0]} slices")
        with scheduler(args):
            result = spectrogram(dataset).compute()
    band = (result.frequency >= 10e3) & (result.frequency <= 50e3)
    level = result.where(band).mean("frequency")
    for start, value in zip(result.slice_start.values, level.values):
        print(f"slice at {start}: {value:.4g} W²/Hz over 10..50 kHz")
    return 0


if __name__ == "__main__":
    sys.exit(main())
