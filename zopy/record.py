"""Record an open stream into an HDF5 file, gap-free, for a duration or a count.

::

    import zopy
    from zopy.record import record

    dev = zopy.Device()
    stream = dev.open_stream("float32")
    stream.set_filter("lowpass"); stream.cutoff = 100e3; stream.downsampling = 10
    result = record(stream, "run.h5", seconds=60)
    print(result.samples, result.complete)

A program that uses the samples itself (a live view) reads them and hands
them to a :class:`Recorder`, which writes the same file.

The file holds one resizable, chunked dataset ``samples`` in the stream's
dtype (and ``bits``, uint8, with ``bits=True``) and describes itself in the
root group's attributes:

======================== ==================================================
``samplerate_hz``        output sample rate of the stream
``units``                "uW", "mW" or "W" ("counts" for the raw mode)
``calibration_mode``     the stream's mode ("auto", "custom", "raw")
``calibration_wavelength_nm``
``filter``, ``cutoff_hz``
``downsampling``, ``decimation``
``product``, ``serial``  the instrument's
``firmware_version``, ``library_version``, ``zopy_version``  "major.minor.patch"
``highgain``, ``antialias``  the front end's switches (booleans)
``start_time``           UTC, ISO 8601, when the first read began
``samples_written``      samples in ``samples``
``over_range_samples``   how many of them sit at the ADC's limits (clipped:
                         :func:`zopy.analysis.over_range_samples`)
``complete``             False if the recording stopped early
======================== ==================================================

Consecutive reads of a stream are consecutive in instrument time, and every
read lands in the file in order, so the file holds exactly the samples the
stream delivered. Reads go into one buffer allocated at the start.

Stopping early, nothing lost:

- The file is readable at every moment after its creation, by any HDF5
  reader with no options, and holds an exact prefix of the stream:
  ``samples_written`` equals the datasets' length, and ``complete`` stays
  False until the recording ends. The file is brought up to date every
  0.2 s, so a killed recording (SIGKILL, power cut) loses at most that.
- Ctrl-C (SIGINT, when recording on the main thread) lets the read in
  flight finish, writes it, marks the file incomplete, closes it and
  returns normally: the result's ``interrupted`` is True. The program goes
  on; a script that should end there can test it. SIGTERM and SIGHUP (a
  service stopped, a terminal closed) close the file the same way and
  then end the program as they would have.
- An error from the instrument (:class:`zopy.Error`) or from the disk
  (``OSError``: full, removed, read-only) ends the recording with that
  exception; the file is closed first and stays readable with every sample
  written before the error, marked incomplete. Disk space is reserved
  before each write, so a disk that fills (also by another program) ends
  the recording with ``OSError`` (ENOSPC) rather than a damaged file. A
  recording whose size is known to exceed the free space of its disk is
  refused before it starts (:class:`zopy._writer.NotEnoughSpaceError`).
- A new file is created under its name at the start (never over a file
  that appeared meanwhile: ``FileExistsError``). An existing file is
  replaced only with ``overwrite=True``, and only by a complete recording:
  the new one is written beside it as ``NAME.partial.h5`` and renamed over
  it at the end, so an interrupted or failed replacement leaves the old
  file as it was and its own samples in the partial file (the result's
  ``path``). While a recording runs, its file is locked: a second recorder
  of the same file is refused with ``BlockingIOError``.
- The file is made valid and empty under a hidden name beside it before it
  takes any name of its own, and SIGTERM and SIGHUP wait from before it
  exists. A partial file that a killed writer left holding no samples is
  removed by the next writer of the name, with one line through
  ``logging`` (logger ``zopy``); one holding samples is kept, and the
  refusal (``FileExistsError``) says how to keep or replace it.

h5py is needed (``pip install zopy[tools]``), and tqdm for the progress
bar, which is shown when stderr is a terminal.
"""

from __future__ import annotations

import contextlib
import dataclasses
import datetime
import errno
import math
import os
import shutil
import signal
import sys
import threading
import time
from collections.abc import Callable, Mapping
from types import FrameType, TracebackType
from typing import Any, cast

import numpy
import numpy.typing as npt

import zopy

from . import analysis
from ._extras import require
from ._writer import Output, check_free_space
from ._stream_settings import stream_attributes as stream_attributes  # also reached from here
from .readers import read as read  # the readers, also reached from here
from .readers import open_dataset as open_dataset  # noqa: E402,F401

__all__ = ["Recorder", "Recording", "read", "record", "stream_attributes"]

FLUSH_SECONDS = 0.2          # a killed recording loses at most this much
CLOSING_ROOM = 1 << 20       # bytes kept free for the chunk index and closing the file

Buffer = npt.NDArray[Any]    # a read buffer, in the stream's dtype
BitsBuffer = npt.NDArray[numpy.uint8]


@dataclasses.dataclass
class Recording:
    """What :func:`record` wrote."""
    path: str
    samples: int             #: samples in the file
    requested: int           #: samples asked for
    samplerate_hz: float
    complete: bool           #: every requested sample written
    interrupted: bool        #: stopped by Ctrl-C
    elapsed_s: float         #: wall time of the recording
    over_range_samples: int = 0   #: samples at the ADC's limits (clipped)

    @property
    def seconds(self) -> float:
        """Duration of the recorded samples in instrument time."""
        return self.samples / self.samplerate_hz


def _read_chunk(stream: zopy.Stream, n: int, data_buf: Buffer, bits_buf: BitsBuffer | None) -> None:
    """Fill the first n samples of data_buf (and bits_buf, unless None) from the stream."""
    if bits_buf is None:
        stream.acquire(n, out=data_buf[:n])
    else:
        stream.acquire(n, getbits=True, out=data_buf[:n], bits_out=bits_buf[:n])


def recording_bytes(stream: zopy.Stream, total: int, bits: bool = False) -> int:
    """What a recording of ``total`` samples of ``stream`` takes on disk, about."""
    return total * (stream.dtype.itemsize + (1 if bits else 0)) + CLOSING_ROOM


def default_chunk(samplerate_hz: float) -> int:
    """Samples per read: about a tenth of a second, 4096 to 2**20."""
    return int(min(max(samplerate_hz / 10, 4096), 1 << 20))


class _StopOnSignals:
    """While active (main thread only), Ctrl-C, SIGTERM and SIGHUP set a flag
    instead of ending the program at once: the recording closes its file
    first. On leaving, a SIGTERM or SIGHUP is delivered again to whatever
    handled it before, which by default ends the program."""

    SIGNALS = tuple(getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP")
                    if hasattr(signal, name))

    def __init__(self) -> None:
        self.received: int | None = None
        self._previous: dict[int, Callable[[int, FrameType | None], Any] | int | None] = {}

    @property
    def requested(self) -> bool:
        return self.received is not None

    def __enter__(self) -> _StopOnSignals:
        if threading.current_thread() is threading.main_thread():
            for signum in self.SIGNALS:
                self._previous[signum] = signal.signal(signum, self._handle)
        return self

    def _handle(self, signum: int, frame: FrameType | None) -> None:
        if self.received is None:
            self.received = signum

    def __exit__(self, *exc: object) -> None:
        for signum, handler in self._previous.items():
            signal.signal(signum, handler)
        if self.received not in (None, signal.SIGINT):
            signal.raise_signal(self.received)


def _allocate(fd: int, offset: int, length: int) -> bool:
    """Allocates disk blocks for a file's byte range; False where the system cannot."""
    if not hasattr(os, "posix_fallocate"):
        return False
    try:
        os.posix_fallocate(fd, offset, length)
    except OSError as exc:
        if exc.errno in (errno.EOPNOTSUPP, errno.EINVAL, errno.ENOSYS):
            return False
        raise
    return True


class _Writer:
    """The HDF5 file: datasets grown by whole-chunk appends, readable after any kill.

    Three rules keep the file on disk an exact prefix of the stream at every
    moment. Chunks go straight to the file (``write_direct_chunk``) before
    any metadata points at them. HDF5's metadata cache may not evict, so
    metadata reaches the disk only in :meth:`flush`, whole and consistent
    with ``samples_written``. And disk blocks are reserved (allocated) for
    each chunk and the closing metadata before HDF5 writes them: HDF5 cannot
    recover a file from a write that finds the disk full, and a reservation
    cannot be taken away by another program filling the disk.
    """

    def __init__(self, h5py: Any, output: Output, dtype: npt.DTypeLike, chunk: int, bits: bool,
                 attrs: dict[str, Any], limits: tuple[float, float] | None = None) -> None:
        self.output = output
        self.limits = limits        # of the ADC's range, for over_range_samples
        self.over_range = 0
        self.bytes_per_sample = numpy.dtype(dtype).itemsize + (1 if bits else 0)
        self.reserved_to, self.can_allocate = 0, True
        self.written = 0
        self.bits: Any = None     # the h5py dataset, with bits=True
        self.file = output.make_valid(lambda name: self._new_file(h5py, name, dtype, chunk,
                                                                  bits, attrs))
        try:
            output.publish()    # a valid, empty recording: under its name from now on
        except BaseException:
            self.file.close()
            raise

    def _new_file(self, h5py: Any, name: str, dtype: npt.DTypeLike, chunk: int, bits: bool,
                  attrs: dict[str, Any]) -> Any:
        """The empty recording, flushed, under ``name``."""
        # Our own lock on the file (in Output) guards it; HDF5's would conflict with it.
        self.file = h5py.File(name, "w", locking=False)
        try:
            _keep_metadata_until_flush(self.file)
            self.file.attrs.update(attrs)
            self.file.attrs["samples_written"] = 0
            # created now and modified in place: the flushes never add metadata
            self.file.attrs["over_range_samples"] = 0
            self.file.attrs["complete"] = False
            self.samples = self.file.create_dataset("samples", shape=(0,), maxshape=(None,),
                                                    dtype=dtype, chunks=(chunk,))
            self.samples.attrs["units"] = attrs["units"]
            self.samples.attrs["samplerate_hz"] = attrs["samplerate_hz"]
            if bits:
                self.bits = self.file.create_dataset("bits", shape=(0,), maxshape=(None,),
                                                     dtype=numpy.uint8, chunks=(chunk,))
            self.flush()
        except BaseException:
            self.file.close()
            raise
        return self.file

    def append(self, data_buf: Buffer, bits_buf: BitsBuffer | None, n: int) -> None:
        """Appends the first n samples of the read buffers (and of the bits).

        Every read but the last fills the whole buffer, one HDF5 chunk, so the
        buffers go to the file as whole chunks, written directly: no copy
        into HDF5's cache. Beyond n the last chunk is zeroed; the dataset's
        extent ends at n anyway.
        """
        self._reserve(len(data_buf) * self.bytes_per_sample, n)
        over_range = analysis.over_range_samples(data_buf[:n], self.limits)
        if n < len(data_buf):
            data_buf[n:] = 0
            if bits_buf is not None:
                bits_buf[n:] = 0
        end = self.written + n
        for dataset, buf in ((self.samples, data_buf), (self.bits, bits_buf)):
            if dataset is not None:
                dataset.id.set_extent((end,))     # resize() without its checks, once per chunk
                dataset.id.write_direct_chunk((self.written,), buf)
        self.written = end
        self.over_range += over_range

    def _reserve(self, nbytes: int, n: int) -> None:
        """Allocates the disk blocks that the next nbytes and the closing
        metadata will take, or raises ENOSPC (EFBIG past this process's file
        size limit) while the file is still whole."""
        end = self.file.id.get_filesize() + nbytes + CLOSING_ROOM
        if end <= self.reserved_to:
            return
        start = min(self.reserved_to, os.fstat(self.output.fd).st_size)
        try:
            if self.can_allocate:
                self.can_allocate = _allocate(self.output.fd, start, end - start)
            if not self.can_allocate:
                self._check_free_space(end - start)
        except OSError as exc:
            if exc.errno not in (errno.ENOSPC, errno.EDQUOT, errno.EFBIG):
                raise
            cause = ("the file size limit of this process" if exc.errno == errno.EFBIG
                     else "disk full")
            raise OSError(exc.errno, f"{cause}: no room for the next {n} samples "
                          f"({nbytes + CLOSING_ROOM} bytes with the file's metadata)",
                          self.output.path) from None
        self.reserved_to = end

    def _check_free_space(self, nbytes: int) -> None:
        """Where blocks cannot be reserved: the free space of the disk the file is on."""
        if hasattr(os, "fstatvfs"):
            stats = os.fstatvfs(self.output.fd)
            free = stats.f_bavail * stats.f_frsize
        else:
            free = shutil.disk_usage(os.path.dirname(os.path.realpath(self.output.path))).free
        if free < nbytes:
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC), self.output.path)

    def flush(self) -> None:
        """Puts the file on disk as it stands: data, metadata, ``samples_written``
        and ``over_range_samples``."""
        self.file.attrs.modify("samples_written", self.written)
        self.file.attrs.modify("over_range_samples", self.over_range)
        self.file.flush()

    def close(self, complete: bool) -> None:
        """Trims what a failed append left half-written, marks the file, closes it,
        and gives back the reserved blocks it did not use. Once closed, does nothing."""
        if not self.file:
            return
        try:
            for dataset in (self.samples, self.bits):
                if dataset is not None and dataset.shape[0] != self.written:
                    dataset.resize((self.written,))
            self.file.attrs.modify("complete", complete)
            self.flush()
            os.ftruncate(self.output.fd, self.file.id.get_filesize())
        finally:
            self.file.close()


def _keep_metadata_until_flush(file: Any) -> None:
    """HDF5's metadata cache writes entries only when the file is flushed
    (not when it makes room), so the file on disk changes from one whole
    state to the next."""
    config = file.id.get_mdc_config()
    config.evictions_enabled = False
    config.incr_mode = config.flash_incr_mode = config.decr_mode = 0   # the "off" modes
    file.id.set_mdc_config(config)


def _progress_bar(progress: bool | None, total: int, unit_rate: float) -> Any:
    if progress is None:
        progress = sys.stderr.isatty()
    if not progress:
        return None
    tqdm = require("tqdm")
    return tqdm.tqdm(total=total, unit="S", unit_scale=True, dynamic_ncols=True,
                     desc=f"recording {total / unit_rate:g} s", file=sys.stderr)


def _chunk_size(chunk: int | None, rate: float, dtype: numpy.dtype[Any]) -> int:
    """Samples per HDF5 chunk: as asked, or about 0.1 s; within HDF5's limit."""
    chunk = default_chunk(rate) if chunk is None else int(chunk)
    if not 1 <= chunk * dtype.itemsize < 1 << 32:   # an HDF5 chunk's limit
        raise ValueError(f"chunk must be 1 to {((1 << 32) - 1) // dtype.itemsize} samples")
    return chunk


def _create(h5py: Any, stream: zopy.Stream, path: str | os.PathLike[str] | Output, chunk: int,
            bits: bool, overwrite: bool, size: int | None = None,
            attributes: Mapping[str, Any] | None = None) -> tuple[Output, _Writer]:
    """The recording's Output (``path``, or an Output already created for it)
    and _Writer, with the stream's attributes; ``size``, the bytes the whole
    recording will take, must fit the free space of its disk. If the file
    cannot be made, nothing is left behind."""
    output = path if isinstance(path, Output) else Output(path, overwrite, create=False)
    try:
        attrs = stream_attributes(stream)
        attrs["start_time"] = datetime.datetime.now(datetime.timezone.utc).isoformat()
        attrs.update(attributes or {})
        if size is not None:
            check_free_space(output.target, size)
        writer = _Writer(h5py, output, stream.dtype, chunk, bits, attrs,
                         analysis.stream_limits(stream))
    except BaseException:
        output.discard()
        raise
    return output, writer


def _commit(output: Output) -> None:
    """A complete recording takes its name (replacing the old file, if asked)."""
    try:
        output.commit()
    except OSError as exc:
        exc.add_note(f"the complete recording is in {output.path}")
        raise


def _close_after(exc: BaseException, writer: _Writer, output: Output) -> None:
    """Closes the file marked incomplete after ``exc`` ended the recording; a
    failure to close is noted on ``exc``, which is the one to report."""
    try:
        writer.close(complete=False)
    except Exception as close_exc:
        exc.add_note(f"closing {output.path} also failed: {close_exc}")


def record(stream: zopy.Stream, path: str | os.PathLike[str] | Output, *,
           seconds: float | None = None, samples: int | None = None, bits: bool = False,
           chunk: int | None = None, overwrite: bool = False, progress: bool | None = None,
           callback: Callable[[int, int], object] | None = None,
           on_start: Callable[[], object] | None = None) -> Recording:
    """Record ``stream`` into the HDF5 file ``path``.

    Args:
        stream: an open :class:`zopy.Stream`, set up as wanted.
        path: the file to create; or a :class:`zopy._writer.Output` already
            created for it (so that a file that cannot be created fails before
            anything else), which ``record`` then finishes: it commits it,
            keeps what was recorded or removes it, whatever happens.
        seconds: how long to record, in instrument time at the stream's
            output rate; or
        samples: how many output samples to record (exactly one of the two).
        bits: also record the per-sample bits (dataset ``bits``).
        chunk: samples per read (default about 0.1 s of output).
        overwrite: replace an existing file, once the recording is complete
            (an Output given as ``path`` has its own).
        progress: a tqdm bar on stderr; None (default) when stderr is a terminal.
        callback: called as ``callback(written, total)`` after each read is written.
        on_start: called once the file is made (its disk has room for the
            whole recording), before the first read.

    Returns:
        Recording: what was written, and where (``path``: the partial file
        when an incomplete recording was to replace another). After Ctrl-C
        it comes back normally, ``interrupted`` true, with every whole read
        written (see the module's documentation).

    Raises:
        FileExistsError: the file exists and ``overwrite`` is false.
        BlockingIOError: another program is writing the file.
        zopy._writer.NotEnoughSpaceError: an OSError (ENOSPC): the recording
            would take more than the free space of its disk; nothing is written.
        ValueError: bad counts.
        zopy.Error: the instrument failed (the file keeps what came before).
        OSError: the disk failed (likewise).
    """
    given = path if isinstance(path, Output) else None
    try:
        h5py = require("h5py")
        rate = stream.samplerate
        total = requested_samples(seconds, samples, rate)
        chunk = min(_chunk_size(chunk, rate, stream.dtype), total)
    except BaseException:
        if given is not None:
            given.discard()
        raise

    data_buf = numpy.empty(chunk, dtype=stream.dtype)
    bits_buf = numpy.empty(chunk, dtype=numpy.uint8) if bits else None
    started = time.monotonic()
    with contextlib.ExitStack() as cleanup:
        # Signals wait from before the file exists: it is made whole, then closed.
        stop = cleanup.enter_context(_StopOnSignals())
        output, writer = _create(h5py, stream, path, chunk, bits, overwrite,
                                 size=recording_bytes(stream, total, bits))
        cleanup.callback(output.release)
        if on_start is not None:
            on_start()
        bar = _progress_bar(progress, total, rate)
        if bar is not None:
            cleanup.callback(bar.close)
        try:
            _record_into(writer, stream, total, data_buf, bits_buf, stop, bar, callback)
        except BaseException as exc:
            _close_after(exc, writer, output)
            raise
        complete = writer.written == total
        writer.close(complete)
        if complete:
            _commit(output)
    return Recording(path=output.path, samples=writer.written, requested=total,
                     samplerate_hz=rate, complete=complete, interrupted=not complete,
                     elapsed_s=time.monotonic() - started, over_range_samples=writer.over_range)


def _record_into(writer: _Writer, stream: zopy.Stream, total: int, data_buf: Buffer,
                 bits_buf: BitsBuffer | None, stop: _StopOnSignals, bar: Any,
                 callback: Callable[[int, int], object] | None) -> None:
    """Reads and appends until ``total`` samples are written or a stop is requested."""
    chunk = len(data_buf)
    last_flush = time.monotonic()
    while writer.written < total and not stop.requested:
        n = min(chunk, total - writer.written)
        _read_chunk(stream, n, data_buf, bits_buf)
        writer.append(data_buf, bits_buf, n)
        if bar is not None:
            bar.update(n)
        if callback is not None:
            callback(writer.written, total)
        if time.monotonic() - last_flush >= FLUSH_SECONDS:
            writer.flush()
            last_flush = time.monotonic()


def requested_samples(seconds: float | None, samples: int | None, rate: float) -> int:
    """How many samples ``seconds`` or ``samples`` (exactly one of the two) ask for at ``rate``."""
    if (seconds is None) == (samples is None):
        raise ValueError("give either seconds or samples")
    if samples is not None:
        if isinstance(samples, bool) or int(samples) != samples or samples < 1:
            raise ValueError(f"samples must be a positive whole number, not {samples!r}")
        return int(samples)
    seconds = float(cast(float, seconds))   # given: samples is None
    if not math.isfinite(seconds) or seconds <= 0:
        raise ValueError(f"seconds must be positive, not {seconds!r}")
    return max(1, round(seconds * rate))


class Recorder:
    """A recording of blocks that the caller reads from the stream itself, for
    a program that uses the samples too (a live view records what it shows)::

        with Recorder(stream, "run.h5", bits=True) as recording:
            for _ in range(100):
                data, bits = stream.acquire(10_000, getbits=True)
                show(data)
                recording.append(data, bits)
        print(recording.result)

    The file is the one :func:`record` makes, with the same guarantees: an
    exact prefix of what was appended, readable at every moment, disk space
    reserved before each write, an existing file replaced only with
    ``overwrite=True`` and only by a complete recording, locked while written.
    Blocks of any length are gathered into chunks of ``chunk`` samples
    (default about 0.1 s), each written whole as it fills, and the file is
    brought up to date every 0.2 s, so a killed program loses the chunk being
    gathered and at most 0.2 s more. Appending the same stream's consecutive
    reads, the file is gap-free; one thread appends.

    Leaving the with-block closes the file: complete, or marked incomplete
    when the block ends with an exception. :meth:`close` does the same by
    hand. There is no signal handling here: the caller's Ctrl-C ends the block.
    ``attributes`` are written beside the stream's own when the file is made
    (what the caller knows of the samples).
    """

    def __init__(self, stream: zopy.Stream, path: str | os.PathLike[str] | Output, *,
                 bits: bool = False, chunk: int | None = None,
                 overwrite: bool = False, attributes: Mapping[str, Any] | None = None) -> None:
        h5py = require("h5py")
        self.samplerate_hz = stream.samplerate
        self.dtype = stream.dtype
        chunk = _chunk_size(chunk, self.samplerate_hz, self.dtype)
        self.result: Recording | None = None            #: the Recording, once closed
        self._data = numpy.empty(chunk, dtype=self.dtype)
        self._bits = numpy.empty(chunk, dtype=numpy.uint8) if bits else None
        self._gathered = 0
        self._failed = False
        self._started = time.monotonic()
        self._output, self._writer = _create(h5py, stream, path, chunk, bits, overwrite,
                                             attributes=attributes)
        self._last_flush = time.monotonic()

    @property
    def path(self) -> str:
        """Where the file is now (its partial name while it replaces another)."""
        return self._output.path

    @property
    def samples(self) -> int:
        """Samples appended so far."""
        return self._writer.written + self._gathered

    def append(self, samples: npt.ArrayLike, bits: npt.ArrayLike | None = None) -> None:
        """Appends the next samples (and their bits, if the recording has them)."""
        if self.result is not None:
            raise ValueError("the recording is closed")
        samples, bits = self._checked(samples, bits)
        try:
            done = 0
            while done < len(samples):
                take = min(len(self._data) - self._gathered, len(samples) - done)
                self._data[self._gathered:self._gathered + take] = samples[done:done + take]
                if bits is not None:
                    assert self._bits is not None    # _checked: bits only for a recording of bits
                    self._bits[self._gathered:self._gathered + take] = bits[done:done + take]
                self._gathered += take
                done += take
                if self._gathered == len(self._data):
                    self._writer.append(self._data, self._bits, self._gathered)
                    self._gathered = 0
            if time.monotonic() - self._last_flush >= FLUSH_SECONDS:
                self._writer.flush()
                self._last_flush = time.monotonic()
        except BaseException:
            self._failed = True        # what failed once is not written again on closing
            raise

    def _checked(self, samples: npt.ArrayLike,
                 bits: npt.ArrayLike | None) -> tuple[Buffer, BitsBuffer | None]:
        samples = numpy.asarray(samples)
        if samples.ndim != 1 or samples.dtype != self.dtype:
            raise TypeError(f"samples must be a 1-D array of the stream's dtype {self.dtype}, "
                            f"not {samples.ndim}-D {samples.dtype}")
        if (bits is None) != (self._bits is None):
            raise ValueError("this recording has bits: give them" if bits is None
                             else "this recording has no bits (bits=False)")
        if bits is not None:
            bits = numpy.asarray(bits)
            if bits.shape != samples.shape or bits.dtype != numpy.uint8:
                raise ValueError(f"bits must be uint8, one per sample ({len(samples)}), "
                                 f"not {bits.dtype} of shape {bits.shape}")
        return samples, bits

    def close(self, complete: bool = True) -> Recording:
        """Writes what is gathered, closes the file marked ``complete`` (a complete
        file takes its name) and returns the :class:`Recording`. Once closed,
        returns it again."""
        if self.result is not None:
            return self.result
        try:
            if self._gathered and not self._failed:
                self._writer.append(self._data, self._bits, self._gathered)
                self._gathered = 0
            self._writer.close(complete)
            if complete:
                _commit(self._output)
        except BaseException as exc:
            if complete:
                _close_after(exc, self._writer, self._output)
            raise
        finally:
            self._output.release()
            written = self._writer.written
            self.result = Recording(path=self._output.path, samples=written, requested=written,
                                    samplerate_hz=self.samplerate_hz, complete=complete,
                                    interrupted=not complete,
                                    elapsed_s=time.monotonic() - self._started,
                                    over_range_samples=self._writer.over_range)
        return self.result

    def __enter__(self) -> Recorder:
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 traceback: TracebackType | None) -> None:
        if value is None:
            self.close(complete=True)
            return
        try:
            self.close(complete=False)
        except Exception as exc:
            value.add_note(f"closing {self.path} also failed: {exc}")
