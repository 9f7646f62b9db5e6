"""Record an open stream into an HDF5 file, gap-free, for a duration or a count.

::

    import zopy
    from zopy.record import record

    dev = zopy.Device()
    stream = dev.open_stream("float32")
    stream.set_filter("lowpass"); stream.cutoff = 100e3; stream.downsampling = 10
    result = record(stream, "run.h5", seconds=60)
    print(result.samples, result.complete)

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
``start_time``           UTC, ISO 8601, when the first read began
``samples_written``      samples in ``samples``
``complete``             False if the recording stopped early
======================== ==================================================

Consecutive reads of a stream are consecutive in instrument time, and every
read lands in the file in order, so the file holds exactly the samples the
stream delivered. Reads go into one buffer allocated at the start.

Stopping early, nothing lost:

- Ctrl-C (SIGINT, when recording on the main thread) lets the read in
  flight finish, writes it, marks the file incomplete, closes it and
  returns normally: the result's ``interrupted`` is True. The program goes
  on; a script that should end there can test it.
- An error from the instrument (:class:`zopy.Error`) or from the disk
  (``OSError``: full, removed, read-only) ends the recording with that
  exception; the file is closed first and stays readable with every sample
  written before the error, marked incomplete.
- An existing file is never overwritten unless ``overwrite=True``
  (``FileExistsError``).

h5py is needed (``pip install zopy[tools]``), and tqdm for the progress
bar, which is shown when stderr is a terminal.
"""

from __future__ import annotations

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

import numpy

import zopy

try:
    import resource            # POSIX: the file size limit
except ImportError:
    resource = None

from ._extras import require

__all__ = ["Recording", "read", "record", "stream_attributes"]

UNITS = {-6: "uW", -3: "mW", 0: "W"}
FLUSH_SECONDS = 2.0          # a crash of the process loses at most this much
CLOSING_ROOM = 1 << 20       # bytes kept free for the chunk index and closing the file


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

    @property
    def seconds(self):
        """Duration of the recorded samples in instrument time."""
        return self.samples / self.samplerate_hz


def _read_chunk(stream, n, data_buf, bits_buf):
    """Fill the first n samples of data_buf (and bits_buf, unless None) from the stream."""
    if bits_buf is None:
        stream.acquire(n, out=data_buf[:n])
    else:
        stream.acquire(n, getbits=True, out=data_buf[:n], bits_out=bits_buf[:n])


def is_balanced(device):
    """Whether the instrument has two photodiodes: only those hold a balanced calibration."""
    try:
        device.get_calibration("balanced")
    except zopy.Error:
        return False
    return True


def device_attributes(device):
    """What identifies the instrument and the software, as file attributes."""
    return {
        "product": device.product,
        "serial": device.serial,
        "balanced": is_balanced(device),
        "firmware_version": "{}.{}.{}".format(*device.fwversion),
        "library_version": "{}.{}.{}".format(*zopy.version()),
        "zopy_version": zopy.__version__,
    }


def stream_attributes(stream):
    """The stream's settings and its instrument's identity, as file attributes."""
    device = stream.device
    rate = stream.samplerate
    downsampling = stream.downsampling
    units = stream.calibration_units
    mode = stream.calibration_mode
    return {
        "samplerate_hz": rate,
        "input_samplerate_hz": float(device.samplerate),
        "units": "counts" if mode == "raw" else UNITS.get(units, f"1e{units} W"),
        "calibration_mode": mode,
        "calibration_wavelength_nm": stream.calibration_wavelength,
        "filter": stream.filter,
        "cutoff_hz": stream.cutoff,
        "downsampling": downsampling,
        # the module cannot read the decimation back; the rates give it
        "decimation": max(1, round(device.samplerate / downsampling / rate)),
        "dtype": str(stream.dtype),
        **device_attributes(device),
    }


def default_chunk(samplerate_hz):
    """Samples per read: about a tenth of a second, 4096 to 2**20."""
    return int(min(max(samplerate_hz / 10, 4096), 1 << 20))


class _StopOnSigint:
    """While active, Ctrl-C sets a flag instead of raising (main thread only)."""

    def __init__(self):
        self.requested = False
        self._previous = None

    def __enter__(self):
        if threading.current_thread() is threading.main_thread():
            self._previous = signal.signal(signal.SIGINT, self._handle)
        return self

    def _handle(self, signum, frame):
        self.requested = True

    def __exit__(self, *exc):
        if self._previous is not None:
            signal.signal(signal.SIGINT, self._previous)


def _room_left(path, size):
    """Bytes a file of ``size`` bytes may still grow by: the disk's free space
    (less what HDF5 has allocated in the file but not written yet), and the
    process's file size limit."""
    room = shutil.disk_usage(os.path.dirname(os.path.abspath(path))).free
    room -= max(0, size - os.path.getsize(path))
    if resource is not None:
        limit = resource.getrlimit(resource.RLIMIT_FSIZE)[0]
        if limit != resource.RLIM_INFINITY:
            room = min(room, limit - size)
    return room


class _Writer:
    """The HDF5 file: datasets grown by whole-chunk appends, attributes kept current.

    HDF5 cannot recover from a write that finds the disk full: the file is
    left unreadable. So each append first checks that the disk has room for
    it and for the file's closing metadata, and stops cleanly when not.
    """

    def __init__(self, h5py, path, dtype, chunk, bits, attrs, overwrite):
        self.path = os.fspath(path)
        self.bytes_per_sample = numpy.dtype(dtype).itemsize + (1 if bits else 0)
        self.file = h5py.File(path, "w" if overwrite else "w-")
        try:
            self.file.attrs.update(attrs)
            self.file.attrs["samples_written"] = 0
            self.file.attrs["complete"] = False
            self.samples = self.file.create_dataset("samples", shape=(0,), maxshape=(None,),
                                                    dtype=dtype, chunks=(chunk,))
            self.samples.attrs["units"] = attrs["units"]
            self.samples.attrs["samplerate_hz"] = attrs["samplerate_hz"]
            self.bits = None
            if bits:
                self.bits = self.file.create_dataset("bits", shape=(0,), maxshape=(None,),
                                                     dtype=numpy.uint8, chunks=(chunk,))
        except BaseException:
            self.file.close()
            raise
        self.written = 0
        self.room, self.unchecked, self.checked = 0, 0, 0.0   # the first append asks the disk

    def append(self, data_buf, bits_buf, n):
        """Appends the first n samples of the read buffers (and of the bits).

        Every read but the last fills the whole buffer, one HDF5 chunk, so the
        buffers go to the file as whole chunks, written directly: no copy
        into HDF5's cache. Beyond n the last chunk is zeroed; the dataset's
        extent ends at n anyway.
        """
        self._check_room(len(data_buf) * self.bytes_per_sample, n)
        if n < len(data_buf):
            data_buf[n:] = 0
            if bits_buf is not None:
                bits_buf[n:] = 0
        end = self.written + n
        for dataset, buf in ((self.samples, data_buf), (self.bits, bits_buf)):
            if dataset is not None:
                dataset.resize((end,))
                dataset.id.write_direct_chunk((self.written,), buf)
        self.written = end

    def _check_room(self, nbytes, n):
        """Asks the disk for room again after a second, or before the bytes
        written since it last asked could reach half of what it reported."""
        self.unchecked += nbytes
        now = time.monotonic()
        if self.unchecked + CLOSING_ROOM <= self.room / 2 and now - self.checked < 1.0:
            return
        self.room = _room_left(self.path, self.file.id.get_filesize())
        self.unchecked, self.checked = nbytes, now
        if self.room < nbytes + CLOSING_ROOM:
            raise OSError(errno.ENOSPC, f"disk full: {self.room} bytes left, the next "
                          f"{n} samples need {nbytes + CLOSING_ROOM} with the file's metadata",
                          self.path)

    def flush(self):
        self.file.attrs.modify("samples_written", self.written)
        self.file.flush()

    def close(self, complete):
        """Trim what a failed append left half-written, mark the file, close it."""
        try:
            for dataset in (self.samples, self.bits):
                if dataset is not None and dataset.shape[0] != self.written:
                    dataset.resize((self.written,))
            self.file.attrs.modify("samples_written", self.written)
            self.file.attrs.modify("complete", complete)
        finally:
            self.file.close()


def _progress_bar(progress, total, unit_rate):
    if progress is None:
        progress = sys.stderr.isatty()
    if not progress:
        return None
    tqdm = require("tqdm")
    return tqdm.tqdm(total=total, unit="S", unit_scale=True, dynamic_ncols=True,
                     desc=f"recording {total / unit_rate:g} s", file=sys.stderr)


def record(stream, path, *, seconds=None, samples=None, bits=False, chunk=None,
           overwrite=False, progress=None, callback=None):
    """Record ``stream`` into the HDF5 file ``path``.

    Args:
        stream: an open :class:`zopy.Stream`, set up as wanted.
        path: the file to create.
        seconds: how long to record, in instrument time at the stream's
            output rate; or
        samples: how many output samples to record (exactly one of the two).
        bits: also record the per-sample bits (dataset ``bits``).
        chunk: samples per read (default about 0.1 s of output).
        overwrite: replace an existing file.
        progress: a tqdm bar on stderr; None (default) when stderr is a terminal.
        callback: called as ``callback(written, total)`` after each read is written.

    Returns:
        Recording: what was written. After Ctrl-C it comes back normally,
        ``interrupted`` true, with every whole read written (see the module's
        documentation).

    Raises:
        FileExistsError: the file exists and ``overwrite`` is false.
        ValueError: bad counts.
        zopy.Error: the instrument failed (the file keeps what came before).
        OSError: the disk failed (likewise).
    """
    h5py = require("h5py")
    rate = stream.samplerate
    total = _requested_samples(seconds, samples, rate)
    chunk = default_chunk(rate) if chunk is None else int(chunk)
    if not 1 <= chunk * stream.dtype.itemsize < 1 << 32:   # an HDF5 chunk's limit
        raise ValueError(f"chunk must be 1 to {((1 << 32) - 1) // stream.dtype.itemsize} samples")
    chunk = min(chunk, total)
    if not overwrite and os.path.exists(path):
        raise FileExistsError(f"{path} exists (pass overwrite=True to replace it)")

    attrs = stream_attributes(stream)
    attrs["start_time"] = datetime.datetime.now(datetime.timezone.utc).isoformat()
    data_buf = numpy.empty(chunk, dtype=stream.dtype)
    bits_buf = numpy.empty(chunk, dtype=numpy.uint8) if bits else None
    bar = _progress_bar(progress, total, rate)
    started = time.monotonic()
    try:
        writer = _Writer(h5py, path, stream.dtype, chunk, bits, attrs, overwrite)
    except BaseException:
        if bar is not None:
            bar.close()
        raise
    try:
        with _StopOnSigint() as stop:
            last_flush = started
            while writer.written < total and not stop.requested:
                n = min(chunk, total - writer.written)
                _read_chunk(stream, n, data_buf, bits_buf)
                writer.append(data_buf, bits_buf, n)
                if bar is not None:
                    bar.update(n)
                if callback is not None:
                    callback(writer.written, total)
                if time.monotonic() - last_flush > FLUSH_SECONDS:
                    writer.flush()
                    last_flush = time.monotonic()
    except BaseException as exc:
        if bar is not None:
            bar.close()
        try:
            writer.close(complete=False)
        except Exception as close_exc:   # the first failure is the one to report
            exc.add_note(f"closing {path} also failed: {close_exc}")
        raise
    if bar is not None:
        bar.close()
    complete = writer.written == total
    writer.close(complete)
    return Recording(path=os.fspath(path), samples=writer.written, requested=total,
                     samplerate_hz=rate, complete=complete, interrupted=not complete,
                     elapsed_s=time.monotonic() - started)


def _requested_samples(seconds, samples, rate):
    if (seconds is None) == (samples is None):
        raise ValueError("give either seconds or samples")
    if samples is not None:
        if isinstance(samples, bool) or int(samples) != samples or samples < 1:
            raise ValueError(f"samples must be a positive whole number, not {samples!r}")
        return int(samples)
    seconds = float(seconds)
    if not math.isfinite(seconds) or seconds <= 0:
        raise ValueError(f"seconds must be positive, not {seconds!r}")
    return max(1, round(seconds * rate))


def read(path, limit=None):
    """The samples (the first ``limit`` when given), bits (or None) and
    attributes of a file written by :func:`record`, as numpy arrays and a dict.

    The file is checked first, as untrusted input: ``samples`` (and ``bits``)
    must be 1-D real datasets stored in the file itself (no external storage,
    links or virtual layouts), storing every sample they declare, and the
    attributes the tools use must have their type and range (see
    :mod:`zopy._sample_files`).

    Raises:
        zopy._sample_files.SampleFileError: a ValueError whose message is one
            line naming the file and the fault; for a file without a
            ``samples`` dataset it is also a KeyError.
    """
    from ._sample_files import open_hdf5
    with open_hdf5(path) as source:
        data, bits = source.head(limit)
        return data, bits, source.attrs
