"""Files of samples, read as untrusted input: HDF5 (``.h5``, ``.hdf5``, as
the recorder and ``zopy acquire`` write them), ``.npz`` (the samples and
their metadata as arrays), ``.npy`` (a bare array) and ``.csv`` (a header
line naming the columns and ``# key = value`` lines of metadata, in either
order, then one number, or a time and a number, per line).

A file is checked before any sample is read, and its samples come in chunks
of at most :data:`CHUNK_SAMPLES`, so what a file declares decides neither
how much memory a reader takes nor what it reads besides the file itself:

- HDF5: ``samples`` (and ``bits``) must be datasets stored in the file
  itself: no external storage, external or soft links, virtual layouts. A
  dataset must store every sample it declares (the rest would be fill
  values, not data): a chunked one, compressed or not, is checked against
  its chunk index before anything is read, and a recording of zopy's also
  against its ``samples_written``. A compressed one must use filters this
  h5py decodes, in chunks of at most :data:`MAX_COMPRESSED_CHUNK_BYTES`.
  Only the attributes zopy writes are read, by name, however many others a
  file has.
- Samples are one column (1-D) of real numbers (integers or floats): no
  complex, structured, string or object data, so no pickles.
- ``.npy``: its header is at most :data:`MAX_NPY_HEADER_BYTES` long and
  declares a shape of whole numbers of 0 or more, no more than the file holds.
- ``.npz``: a zip archive of plain ``.npy`` members, never pickles: the
  samples in ``samples.npy``, each item of metadata a single number, boolean
  or text of at most :data:`MAX_ATTRIBUTE_BYTES`; stored or deflated, not
  encrypted, at most :data:`MAX_NPZ_MEMBERS` members.
- ``.csv``: at most :data:`MAX_CSV_HEADER_LINES` comment lines of at most
  :data:`MAX_CSV_HEADER_LINE` bytes, each ``key = value`` once; every line
  of numbers as long as its header says.
- The attributes the tools use must have their type and range (see
  :func:`checked_attributes`).
- Samples that are not finite numbers are refused as they are read.

Every refusal is a :class:`SampleFileError`: one line naming the file and
the fault; so is whatever h5py, numpy or the disk raise while a file is
opened or read.
"""

from __future__ import annotations

import contextlib
import io
import math
import numbers
import os
import stat
import zipfile
import zlib
from collections.abc import Iterator
from typing import IO, Any, NoReturn, Self, cast

import numpy
import numpy.typing as npt

from ._extras import require
from .analysis import SAMPLE_UNITS
from ._messages import file_failure

__all__ = ["NoSamplesError", "SUFFIXES", "SampleFile", "SampleFileError",  # noqa: F822
           "open_dataset", "open_sample_file", "read"]   # open_dataset: see __getattr__

CHUNK_SAMPLES = 1 << 20               # a chunk's work stays well under Ctrl-C's half second
MAX_COMPRESSED_CHUNK_BYTES = 32 << 20  # decompressed whole to read any sample of it
MAX_CHUNKS_PER_READ = 1 << 12
MAX_ATTRIBUTE_BYTES = 1 << 20
SAMPLERATE_RANGE_HZ = (1e-3, 1e12)
# A file does not say which photodiode it came from: any photodiode's band.
WAVELENGTH_RANGE_NM = (100.0, 20_000.0)
HDF5_SUFFIXES = (".h5", ".hdf5")
SUFFIXES = (*HDF5_SUFFIXES, ".npz", ".npy", ".csv")
CSV_COLUMNS = {"power_uw": "uW", "adc_code": "counts"}   # the headers zopy acquire writes
CSV_TIME_COLUMN = "time_s"
CSV_BLOCK_BYTES = 1 << 20
MAX_CSV_LINE = 100                    # bytes; a number's text is far shorter
MAX_CSV_HEADER_LINE = 256             # bytes of a "# key = value" line
MAX_CSV_HEADER_LINES = 100
MAX_NPZ_MEMBERS = 100
MAX_NPY_HEADER_BYTES = 10_000         # numpy's own bound; zopy's headers take about 128
NPZ_SAMPLES = "samples.npy"


class SampleFileError(ValueError):
    """A file of samples that cannot be read as one: the message is one line
    naming the file and the fault."""

    def __init__(self, path: str | os.PathLike[str], fault: str):
        super().__init__(f"{os.fspath(path)}: {fault}")


class NoSamplesError(SampleFileError, KeyError):
    """The file has no ``samples`` dataset (a KeyError too, as :func:`zopy.record.read`
    has always raised)."""

    __str__ = ValueError.__str__       # not KeyError's quoted message


def _failure(path: str | os.PathLike[str], exc: BaseException) -> SampleFileError:
    """The one line of file_failure for an OSError of the disk or of HDF5."""
    return SampleFileError(path, file_failure(path, exc)[len(os.fspath(path)) + 2:])


def _unreadable(path: str | os.PathLike[str], exc: BaseException) -> SampleFileError:
    """Any failure of h5py, numpy or the disk while a file is opened or read,
    as the one line naming the file (HDF5's text without its internals)."""
    if isinstance(exc, SampleFileError):
        return exc
    if isinstance(exc, OSError):
        return _failure(path, exc)
    text = str(exc).splitlines()[0].split(" (")[0].strip() if str(exc) else ""
    text = text if len(text) <= 120 else text[:117] + "..."
    return SampleFileError(path, f"cannot be read ({type(exc).__name__}{': ' if text else ''}"
                           f"{text})")


def _shown(value: Any) -> str:
    """A value of a file, for a message: short, whatever its type."""
    if isinstance(value, numpy.ndarray):
        return f"an array of shape {value.shape}"
    if isinstance(value, numpy.generic):
        value = value.item()
    text = repr(value)
    return text if len(text) <= 40 else text[:37] + "..."


class SampleFile:
    """An open file of samples: its length, dtype and checked attributes,
    and its samples in chunks. Close it, or use it in a ``with`` block."""

    def __init__(self, path: str | os.PathLike[str], length: int, dtype: numpy.dtype,
                 attrs: dict[str, Any]):
        self.path = os.fspath(path)
        self.length = length          #: samples in the file
        self.dtype = dtype            #: as stored
        self.attrs = attrs            #: checked, as plain Python values

    @property
    def samplerate_hz(self) -> float | None:
        return self.attrs.get("samplerate_hz")

    @property
    def units(self) -> str:
        """"counts", "uW", "mW", "W", or "" when the file does not say."""
        return cast(str, self.attrs.get("units", ""))   # checked_attributes: text

    @property
    def wavelength_nm(self) -> float | None:
        """The calibration wavelength; None when not recorded."""
        nm = self.attrs.get("calibration_wavelength_nm")
        return None if nm is None or math.isnan(nm) else nm

    @property
    def balanced(self) -> bool:
        return cast(bool, self.attrs.get("balanced", False))   # checked_attributes: a boolean

    def chunks(self, stop: int | None = None) -> Iterator[numpy.ndarray]:
        """The first ``stop`` samples (default all), in consecutive arrays of
        at most CHUNK_SAMPLES, native byte order."""
        stop = self.length if stop is None else max(0, min(stop, self.length))
        done = 0
        if stop:
            for chunk in self._named_failures(self._chunks(stop)):
                chunk = chunk[:stop - done]
                if chunk.dtype.kind == "f":
                    finite = numpy.isfinite(chunk)
                    if not finite.all():
                        at = int(numpy.argmin(finite))
                        raise SampleFileError(self.path, f"sample {done + at} is "
                                              f"{chunk[at]}, not a finite number")
                yield chunk.astype(chunk.dtype.newbyteorder("="), copy=False)
                done += len(chunk)
                if done == stop:
                    return
        if done < stop:
            raise SampleFileError(self.path, f"ends after {done} samples, not {stop} "
                                  "(did it change while being read?)")

    def _named_failures(self, chunks: Iterator[numpy.ndarray]) -> Iterator[numpy.ndarray]:
        """``chunks``, with whatever reading them raises as a SampleFileError."""
        while True:
            try:
                chunk = next(chunks)
            except StopIteration:
                return
            except Exception as exc:
                raise _unreadable(self.path, exc) from None
            yield chunk

    def _chunks(self, stop: int) -> Iterator[numpy.ndarray]:
        raise NotImplementedError

    def close(self) -> None:
        raise NotImplementedError

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def open_sample_file(path: str | os.PathLike[str]) -> SampleFile:
    """Opens and checks a file of samples, by its suffix: .h5/.hdf5, .npy or .csv."""
    suffix = os.path.splitext(os.fspath(path))[1].lower()
    if suffix in HDF5_SUFFIXES:
        return open_hdf5(path)
    if suffix == ".npy":
        return open_npy(path)
    if suffix == ".npz":
        return open_npz(path)
    if suffix == ".csv":
        return open_csv(path)
    raise SampleFileError(path, f"unknown file type {suffix or '(none)'!r}, "
                          f"use one of {', '.join(SUFFIXES)}")


def _regular_file(path: str | os.PathLike[str]) -> int:
    """The size of ``path``, a regular file (a pipe or device could block or never end)."""
    try:
        info = os.stat(path)
    except OSError as exc:
        raise _failure(path, exc) from None
    if stat.S_ISDIR(info.st_mode):
        raise SampleFileError(path, "it is a folder")
    if not stat.S_ISREG(info.st_mode):
        raise SampleFileError(path, "not a regular file (a device, pipe or socket)")
    return info.st_size


def _sample_dtype(path: str | os.PathLike[str], what: str, dtype: numpy.dtype) -> None:
    if dtype.hasobject:
        raise SampleFileError(path, f"{what} holds Python objects (a pickle), "
                              "which are never loaded; samples are numbers")
    if dtype.names is not None or dtype.subdtype is not None:
        raise SampleFileError(path, f"{what} holds structured records ({dtype}), "
                              "not plain numbers")
    if dtype.kind == "c":
        raise SampleFileError(path, f"{what} holds complex numbers; samples are real")
    if dtype.kind not in "iuf":
        raise SampleFileError(path, f"{what} holds {dtype} data, not numbers")


def _one_column(path: str | os.PathLike[str], what: str, shape: tuple[int, ...] | None) -> int:
    if shape is None or len(shape) != 1:
        raise SampleFileError(path, f"{what} has shape {shape}; samples are one column (1-D)")
    return int(shape[0])


# ------------------------------------------------------------- attributes

def _real(value: Any) -> float | None:
    """The value as a float when it is one real number (not a bool, text or array)."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        return None
    return float(value)


def checked_attributes(path: str | os.PathLike[str], attrs: dict[str, Any],
                       length: int) -> dict[str, Any]:
    """``attrs`` (plain values) with those the tools use checked:

    - ``samplerate_hz``: a finite rate from 1 mHz to 1 THz;
    - ``calibration_wavelength_nm``: 100 to 20,000 nm, any photodiode's
      band, or NaN for "not recorded" (raw blocks);
    - ``balanced``, ``highgain``, ``antialias``: booleans;
    - ``units``: "counts", "uW", "mW" or "W";
    - ``samples_written``, ``over_range_samples``: whole numbers from 0 to ``length``.

    Each may be absent.
    """
    def refuse(name: str, wanted: str) -> SampleFileError:
        return SampleFileError(path, f"attribute {name} must be {wanted}, not {_shown(attrs[name])}")

    checked = dict(attrs)
    if "samplerate_hz" in attrs:
        rate = _real(attrs["samplerate_hz"])
        low, high = SAMPLERATE_RANGE_HZ
        if rate is None or not low <= rate <= high:
            raise refuse("samplerate_hz", f"a sample rate from {low:g} to {high:g} Hz")
        checked["samplerate_hz"] = rate
    if "calibration_wavelength_nm" in attrs:
        nm = _real(attrs["calibration_wavelength_nm"])
        low, high = WAVELENGTH_RANGE_NM
        if nm is None or not (low <= nm <= high or math.isnan(nm)):
            raise refuse("calibration_wavelength_nm",
                         f"a wavelength from {low:g} to {high:g} nm (NaN: not recorded)")
        checked["calibration_wavelength_nm"] = nm
    for name in ("balanced", "highgain", "antialias"):
        if name in attrs and not isinstance(attrs[name], bool):
            raise refuse(name, "true or false")
    if "units" in attrs and attrs["units"] not in SAMPLE_UNITS:
        raise refuse("units", f"one of {', '.join(SAMPLE_UNITS)}")
    for name in ("samples_written", "over_range_samples"):
        if name in attrs:
            count = attrs[name]
            if (isinstance(count, bool) or not isinstance(count, numbers.Integral)
                    or not 0 <= int(count) <= length):
                raise refuse(name, f"a whole number from 0 to {length}")
            checked[name] = int(count)
    return checked


def _plain(value: Any) -> Any:
    """An HDF5 attribute as Python: text as str, numpy scalars as int, float or bool."""
    if isinstance(value, bytes):
        return value.decode()
    if isinstance(value, numpy.generic):
        return value.item()
    return value


# ------------------------------------------------------------------- HDF5

class Hdf5File(SampleFile):
    """A checked HDF5 file; ``bits`` is its dataset of per-sample bits or None."""

    def __init__(self, path: str | os.PathLike[str], file: Any, samples: Any, bits: Any,
                 attrs: dict[str, Any]) -> None:
        super().__init__(path, samples.shape[0], samples.dtype, attrs)
        self._file, self.samples, self.bits = file, samples, bits
        # Whole chunks per read, so each is decompressed once, and not so many
        # that looking them up takes long (HDF5 spends microseconds on each).
        chunk = samples.chunks[0] if samples.chunks else CHUNK_SAMPLES
        self._step = (chunk * max(1, min(CHUNK_SAMPLES // chunk, MAX_CHUNKS_PER_READ))
                      if chunk < CHUNK_SAMPLES else CHUNK_SAMPLES)

    def _chunks(self, stop: int) -> Iterator[numpy.ndarray]:
        for start in range(0, stop, self._step):
            yield self.samples[start:min(stop, start + self._step)]

    def head(self, limit: int | None = None) -> tuple[numpy.ndarray, numpy.ndarray | None]:
        """The samples and bits (or None) ``[:limit]``, whole."""
        try:
            return self.samples[:limit], None if self.bits is None else self.bits[:limit]
        except Exception as exc:
            raise _unreadable(self.path, exc) from None

    def close(self) -> None:
        self._file.close()


@contextlib.contextmanager
def _closed_on_failure(path: str | os.PathLike[str], file: Any) -> Iterator[None]:
    """Closes ``file`` when its checks fail; whatever h5py, numpy or the disk
    raise becomes the one-line failure."""
    try:
        yield
    except Exception as exc:
        with contextlib.suppress(Exception):
            file.close()
        raise _unreadable(path, exc) from None
    except BaseException:
        file.close()
        raise


def open_hdf5(path: str | os.PathLike[str]) -> Hdf5File:
    """Opens and checks an HDF5 file of samples, whatever its suffix."""
    h5py = require("h5py")
    _regular_file(path)
    try:
        # a chunk cache that holds the largest compressed chunk allowed
        file = h5py.File(path, "r", rdcc_nbytes=MAX_COMPRESSED_CHUNK_BYTES)
    except Exception as exc:
        raise _unreadable(path, exc) from None
    with _closed_on_failure(path, file):
        samples = _dataset(h5py, path, file, "samples")
        if samples is None:
            raise NoSamplesError(path, "no 'samples' dataset (not written by zopy?)")
        length = _one_column(path, "'samples'", samples.shape)
        _sample_dtype(path, "'samples'", samples.dtype)
        bits = _dataset(h5py, path, file, "bits")
        if bits is not None:
            if _one_column(path, "'bits'", bits.shape) != length:
                raise SampleFileError(path, f"'bits' holds {bits.shape[0]} values for "
                                      f"{length} samples")
            if bits.dtype.kind not in "iu":
                raise SampleFileError(path, f"'bits' holds {bits.dtype} data, not whole numbers")
        attrs = checked_attributes(path, _attributes(path, file.attrs), length)
        if attrs.get("samples_written", length) != length:     # a recording of zopy's
            raise SampleFileError(path, f"'samples' declares {length} samples but "
                                  f"samples_written says {attrs['samples_written']} were written")
        return Hdf5File(path, file, samples, bits, attrs)


def _dataset(h5py: Any, path: str | os.PathLike[str], file: Any, name: str) -> Any:
    """The dataset ``name``, or None: only a dataset whose data is in this file."""
    what = f"'{name}'"
    link = file.get(name, getlink=True)
    if link is None:
        return None
    if isinstance(link, h5py.ExternalLink):
        raise SampleFileError(path, f"{what} links to {link.path} in another file "
                              f"({link.filename}); only data stored in this file is read")
    if isinstance(link, h5py.SoftLink):
        raise SampleFileError(path, f"{what} is a soft link to {link.path}; only a dataset "
                              "under its own name is read")
    dataset = file[name]
    if not isinstance(dataset, h5py.Dataset):
        raise SampleFileError(path, f"{what} is a {type(dataset).__name__.lower()}, not a dataset")
    try:
        dataset.dtype
    except TypeError:
        raise SampleFileError(path, f"{what} holds an HDF5 type that has no numpy "
                              "equivalent, not numbers") from None
    plist = dataset.id.get_create_plist()
    if plist.get_layout() == h5py.h5d.VIRTUAL:
        raise SampleFileError(path, f"{what} is a virtual dataset (a map of other datasets "
                              "or files); only data stored in this file is read")
    if plist.get_external_count():
        raise SampleFileError(path, f"{what} keeps its data in the external file "
                              f"{os.fsdecode(plist.get_external(0)[0])}; only data stored "
                              "in this file is read")
    if dataset.shape and len(dataset.shape) == 1 and dataset.dtype.kind in "iuf":
        _stored_in_full(h5py, path, what, dataset, plist)
    return dataset


def _stored_in_full(h5py: Any, path: str | os.PathLike[str], what: str, dataset: Any,
                    plist: Any) -> None:
    """A dataset stores every sample it declares: unwritten samples would be
    read as fill values, not data. A chunked one is checked against its chunk
    index before anything is read; a compressed one also needs chunks of a
    bounded size and filters that h5py decodes."""
    n, itemsize = dataset.shape[0], dataset.dtype.itemsize
    filters = [plist.get_filter(i) for i in range(plist.get_nfilters())]
    for code, _, _, name in filters:
        if not h5py.h5z.filter_avail(code):
            raise SampleFileError(path, f"{what} is compressed with filter {code} "
                                  f"({os.fsdecode(name) or 'unnamed'}), which this h5py cannot decode")
    chunk_bytes = math.prod(dataset.chunks or ()) * itemsize
    if filters and chunk_bytes > MAX_COMPRESSED_CHUNK_BYTES:
        raise SampleFileError(path, f"{what} is compressed in chunks of {chunk_bytes / 2**20:g} MiB, "
                              f"more than the {MAX_COMPRESSED_CHUNK_BYTES >> 20} MiB decompressed "
                              "at once")
    if dataset.chunks is not None:
        stored = _chunked_samples(dataset, n)
    else:
        stored = min(n, dataset.id.get_storage_size() // itemsize)
    if stored < n:
        raise SampleFileError(path, f"{what} declares {n} samples but stores only "
                              f"{stored}; the rest would be fill values, not data")


def _chunked_samples(dataset: Any, n: int) -> int:
    """How many of the first ``n`` samples of a 1-D chunked dataset lie in
    chunks the file holds (its chunk index). The count of allocated chunks
    settles most files at once; otherwise each chunk is visited once."""
    chunk = dataset.chunks[0]
    allocated = dataset.id.get_num_chunks()
    if allocated == 0:
        return 0
    if allocated < -(-n // chunk):      # too few chunks to hold them all
        return int(min(n, allocated * chunk))
    starts: set[int] = set()
    if hasattr(dataset.id, "chunk_iter"):
        dataset.id.chunk_iter(lambda info: starts.add(info.chunk_offset[0]))
    else:                               # older HDF5: one look-up per chunk
        starts.update(dataset.id.get_chunk_info(i).chunk_offset[0] for i in range(allocated))
    return sum(min(chunk, n - start) for start in starts if 0 <= start < n)


# The attributes zopy writes (the recorder's and zopy acquire's), the only ones read:
# a file's other attributes, however many, cost nothing.
KNOWN_ATTRIBUTES = (
    "samplerate_hz", "input_samplerate_hz", "units", "calibration_mode",
    "calibration_wavelength_nm", "filter", "cutoff_hz", "downsampling", "decimation", "dtype",
    "highgain", "antialias", "product", "serial", "balanced", "firmware_version",
    "library_version", "zopy_version", "start_time", "samples_written", "over_range_samples",
    "complete", "trig_mode", "trig_port", "arm_time", "samples_per_trigger",
    # what zopy scope knew of a recording it made
    "scope_averaging", "scope_block_length", "scope_balanced", "scope_total_power_uw",
)


def _attributes(path: str | os.PathLike[str], attrs: Any) -> dict[str, Any]:
    """The attributes zopy knows, looked up by name, as plain values, none of
    them larger than MAX_ATTRIBUTE_BYTES."""
    plain: dict[str, Any] = {}
    for name in KNOWN_ATTRIBUTES:
        try:
            if name not in attrs:
                continue
            info = attrs.get_id(name)
            size = math.prod(info.shape or ()) * info.dtype.itemsize
            if size > MAX_ATTRIBUTE_BYTES:
                raise SampleFileError(path, f"attribute {name} holds {size} bytes, more "
                                      f"than the {MAX_ATTRIBUTE_BYTES} any attribute is read with")
            plain[name] = _plain(attrs[name])
        except SampleFileError:
            raise
        except Exception as exc:
            raise SampleFileError(path, f"attribute {name} cannot be read "
                                  f"({type(exc).__name__})") from None
    return plain


# -------------------------------------------------------------------- .npy

def _read_into(file: io.BufferedIOBase, chunk: numpy.ndarray) -> int:
    """Fills ``chunk`` from ``file`` as far as it goes; the bytes read."""
    view, got = memoryview(chunk.view(numpy.uint8)), 0
    while got < len(view):
        n = file.readinto(view[got:])
        if not n:
            break
        got += n
    return got


class NpyFile(SampleFile):
    def __init__(self, path: str | os.PathLike[str], file: io.BufferedIOBase, offset: int,
                 length: int, dtype: numpy.dtype) -> None:
        super().__init__(path, length, dtype, {})
        self._file, self._offset = file, offset

    def _chunks(self, stop: int) -> Iterator[numpy.ndarray]:
        self._file.seek(self._offset)
        for start in range(0, stop, CHUNK_SAMPLES):
            chunk = numpy.empty(min(CHUNK_SAMPLES, stop - start), self.dtype)
            try:
                got = _read_into(self._file, chunk)
            except OSError as exc:
                raise _failure(self.path, exc) from None
            yield chunk[:got // self.dtype.itemsize]
            if got < chunk.nbytes:     # the file shrank since it was opened
                return

    def close(self) -> None:
        self._file.close()


def open_npy(path: str | os.PathLike[str]) -> NpyFile:
    """Opens and checks a .npy file: its header, never a pickle."""
    size = _regular_file(path)
    try:
        file = open(path, "rb")
    except OSError as exc:
        raise _failure(path, exc) from None
    with _closed_on_failure(path, file):
        return _checked_npy(path, file, size)


def _npy_header(path: str | os.PathLike[str], file: IO[bytes] | io.BufferedIOBase,
                what: str) -> tuple[tuple[int, ...], numpy.dtype]:
    """(shape, dtype) from the header of the .npy data at the file's position,
    which is left at the data."""
    fmt = numpy.lib.format
    magic = file.read(len(fmt.MAGIC_PREFIX))
    if magic != fmt.MAGIC_PREFIX:
        raise SampleFileError(path, f"cannot read samples: {what} is not .npy data")
    try:
        version = (file.read(1)[0], file.read(1)[0])
        read_header = {(1, 0): fmt.read_array_header_1_0,
                       (2, 0): fmt.read_array_header_2_0}.get(version)
        if read_header is None:
            raise SampleFileError(path, f"cannot read samples: .npy format version "
                                  f"{version[0]}.{version[1]} (structured names) is not read")
        # the header's length, bounded before any of it is read
        length_bytes = file.read(2 if version == (1, 0) else 4)
        header_length = int.from_bytes(length_bytes, "little")
        if len(length_bytes) < (2 if version == (1, 0) else 4):
            raise ValueError("the file ends in the header")
        if header_length > MAX_NPY_HEADER_BYTES:
            raise SampleFileError(path, f"cannot read samples: the .npy header of {what} "
                                  f"declares {header_length} bytes, more than the "
                                  f"{MAX_NPY_HEADER_BYTES} a header of numbers takes")
        header = file.read(header_length)
        if len(header) < header_length:
            raise ValueError("the file ends in the header")
        shape, _, dtype = read_header(io.BytesIO(length_bytes + header))
    except (ValueError, IndexError, SyntaxError, TypeError) as exc:
        if isinstance(exc, SampleFileError):
            raise
        raise SampleFileError(path, f"cannot read samples: the .npy header of {what} "
                              "is malformed") from None
    if not isinstance(shape, tuple) or not all(
            isinstance(n, int) and not isinstance(n, bool) and n >= 0 for n in shape):
        raise SampleFileError(path, f"cannot read samples: the .npy header of {what} declares "
                              f"the shape {_shown(shape)}, not whole numbers of 0 or more")
    if dtype.hasobject:    # before anything else: never a pickle
        _sample_dtype(path, what, dtype)
    return shape, dtype


def _checked_npy(path: str | os.PathLike[str], file: io.BufferedIOBase, size: int) -> NpyFile:
    magic = file.read(4)
    if magic.startswith(b"PK\x03\x04"):
        raise SampleFileError(path, "is a .npz archive, not a .npy file")
    file.seek(0)
    if file.read(len(numpy.lib.format.MAGIC_PREFIX)) != numpy.lib.format.MAGIC_PREFIX:
        raise SampleFileError(path, "cannot read samples: not a .npy file")
    file.seek(0)
    shape, dtype = _npy_header(path, file, "it")
    _sample_dtype(path, "it", dtype)
    length = _one_column(path, "it", shape)
    offset = file.tell()
    held = (size - offset) // dtype.itemsize
    if held < length:
        raise SampleFileError(path, f"its header declares {length} samples but the file "
                              f"holds only {held}")
    return NpyFile(path, file, offset, length, dtype)


# -------------------------------------------------------------------- .npz

class NpzFile(SampleFile):
    """The member ``samples.npy`` of a zip archive, its metadata from the other members."""

    def __init__(self, path: str | os.PathLike[str], archive: zipfile.ZipFile,
                 member: zipfile.ZipInfo,
                 offset: int, length: int, dtype: numpy.dtype, attrs: dict[str, Any]) -> None:
        super().__init__(path, length, dtype, attrs)
        self._archive, self._member, self._offset = archive, member, offset

    def _chunks(self, stop: int) -> Iterator[numpy.ndarray]:
        try:
            with self._archive.open(self._member) as member:
                member.read(self._offset)
                for start in range(0, stop, CHUNK_SAMPLES):
                    chunk = numpy.empty(min(CHUNK_SAMPLES, stop - start), self.dtype)
                    # the member is a zipfile.ZipExtFile, a buffered reader
                    got = _read_into(cast(io.BufferedIOBase, member), chunk)
                    yield chunk[:got // self.dtype.itemsize]
                    if got < chunk.nbytes:
                        return
        except (OSError, zipfile.BadZipFile, zlib.error, EOFError) as exc:
            raise _zip_failure(self.path, exc) from None

    def close(self) -> None:
        self._archive.close()


def _zip_failure(path: str | os.PathLike[str], exc: BaseException) -> SampleFileError:
    if isinstance(exc, OSError) and not isinstance(exc, zipfile.BadZipFile):
        return _failure(path, exc)
    return SampleFileError(path, f"a damaged .npz archive ({exc})")


def open_npz(path: str | os.PathLike[str]) -> NpzFile:
    """Opens and checks a .npz archive: plain .npy members only, never a pickle."""
    _regular_file(path)
    try:
        archive = zipfile.ZipFile(path)
    except zipfile.BadZipFile:
        raise SampleFileError(path, "not a .npz archive (no zip directory)") from None
    except Exception as exc:
        raise _unreadable(path, exc) from None
    try:
        members = _npz_members(path, archive)
        attrs = {name[:-len(".npy")]: _npz_value(path, archive, info)
                 for name, info in members.items() if name != NPZ_SAMPLES}
        if NPZ_SAMPLES not in members:
            raise NoSamplesError(path, "no 'samples' array (not written by zopy?)")
        info = members[NPZ_SAMPLES]
        with archive.open(info) as member:
            shape, dtype = _npy_header(path, member, "'samples'")
            offset = member.tell()
        _sample_dtype(path, "'samples'", dtype)
        length = _one_column(path, "'samples'", shape)
        held = (info.file_size - offset) // dtype.itemsize
        if held < length:
            raise SampleFileError(path, f"'samples' declares {length} samples but the archive "
                                  f"holds only {held}")
        attrs = checked_attributes(path, attrs, length)
        return NpzFile(path, archive, info, offset, length, dtype, attrs)
    except (OSError, zipfile.BadZipFile, zlib.error, EOFError) as exc:
        archive.close()
        raise _zip_failure(path, exc) from None
    except Exception as exc:
        archive.close()
        raise _unreadable(path, exc) from None
    except BaseException:
        archive.close()
        raise


def _npz_members(path: str | os.PathLike[str],
                 archive: zipfile.ZipFile) -> dict[str, zipfile.ZipInfo]:
    infos = archive.infolist()
    if len(infos) > MAX_NPZ_MEMBERS:
        raise SampleFileError(path, f"holds {len(infos)} members, more than the "
                              f"{MAX_NPZ_MEMBERS} a .npz of samples has")
    members: dict[str, zipfile.ZipInfo] = {}
    for info in infos:
        name = info.filename
        if not name.endswith(".npy") or "/" in name:
            raise SampleFileError(path, f"member {_shown(name)} is not a .npy array")
        if name in members:
            raise SampleFileError(path, f"member {_shown(name)} is there twice")
        if info.flag_bits & 0x1:
            raise SampleFileError(path, f"member {_shown(name)} is encrypted")
        if info.compress_type not in (zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED):
            raise SampleFileError(path, f"member {_shown(name)} is compressed with method "
                                  f"{info.compress_type}; only stored or deflated members are read")
        members[name] = info
    return members


def _npz_value(path: str | os.PathLike[str], archive: zipfile.ZipFile,
               info: zipfile.ZipInfo) -> Any:
    """One item of metadata: a 0-d array of a number, boolean or text."""
    what = f"'{info.filename[:-len('.npy')]}'"
    if info.file_size > MAX_ATTRIBUTE_BYTES:
        raise SampleFileError(path, f"{what} holds {info.file_size} bytes, more than the "
                              f"{MAX_ATTRIBUTE_BYTES} any item of metadata is read with")
    with archive.open(info) as member:
        shape, dtype = _npy_header(path, member, what)
        if shape != () or dtype.kind not in "biufUS" or dtype.names is not None:
            raise SampleFileError(path, f"{what} is not a single number, boolean or text "
                                  f"(shape {shape}, {dtype})")
        data = member.read(dtype.itemsize)
    if len(data) < dtype.itemsize:
        raise SampleFileError(path, f"{what} ends before its value")
    return _plain(numpy.frombuffer(data, dtype)[0])


# -------------------------------------------------------------------- .csv

class CsvFile(SampleFile):
    """Metadata lines, a header line, then one number (or a time and a number) per line."""

    def __init__(self, path: str | os.PathLike[str], file: io.BufferedIOBase, length: int,
                 attrs: dict[str, Any], columns: int, first_line: int) -> None:
        super().__init__(path, length, numpy.dtype(numpy.float64), attrs)
        self._file, self._data_start = file, file.tell()
        self._columns, self._first_line = columns, first_line

    def _chunks(self, stop: int) -> Iterator[numpy.ndarray]:
        self._file.seek(self._data_start)
        line = self._first_line       # of the file, for messages
        pending = b""
        while True:
            try:
                block = self._file.read(CSV_BLOCK_BYTES)
            except OSError as exc:
                raise _failure(self.path, exc) from None
            if not block:
                break
            lines = (pending + block).split(b"\n")
            pending = lines.pop()
            if len(pending) > MAX_CSV_LINE:
                raise SampleFileError(self.path, f"line {line + len(lines)} is longer than "
                                      f"{MAX_CSV_LINE} characters, not {self._wanted()}")
            if lines:
                yield self._numbers(lines, line)
                line += len(lines)
        if pending.strip():
            yield self._numbers([pending], line)

    def _wanted(self) -> str:
        return "one number" if self._columns == 1 else "a time and a number"

    def _numbers(self, lines: list[bytes], first: int) -> numpy.ndarray:
        lines = [text.strip() for text in lines]
        if max(map(len, lines)) > MAX_CSV_LINE:
            at = next(i for i, text in enumerate(lines) if len(text) > MAX_CSV_LINE)
            raise SampleFileError(self.path, f"line {first + at} is longer than "
                                  f"{MAX_CSV_LINE} characters, not {self._wanted()}")
        texts = numpy.array(lines)
        if self._columns == 2:
            # Any: the name is reused below for the fields of one line
            fields: Any = numpy.char.count(texts, b",")
            if (fields != 1).any():
                self._refuse_line(lines, first, int(numpy.argmax(fields != 1)))
            parts = numpy.char.partition(texts, b",")
            columns: tuple[numpy.ndarray, ...] = (parts[:, 0], parts[:, 2])
        else:
            columns = (texts,)
        try:
            values = [column.astype(numpy.float64) for column in columns]
        except ValueError:
            for at, text in enumerate(lines):    # the slow way, only to name the line
                fields = text.split(b",")
                try:
                    [float(field) for field in fields]
                except ValueError:
                    self._refuse_line(lines, first, at)
                if len(fields) != self._columns:
                    self._refuse_line(lines, first, at)
            raise SampleFileError(self.path, f"lines {first} to {first + len(lines) - 1} "
                                  "hold something other than numbers") from None
        return values[-1]

    def _refuse_line(self, lines: list[bytes], first: int, at: int) -> NoReturn:
        text = lines[at]
        fault = ("is empty" if not text else
                 f"is not {self._wanted()}: {_shown(text.decode(errors='replace'))}")
        raise SampleFileError(self.path, f"line {first + at} {fault}")

    def close(self) -> None:
        self._file.close()


def _csv_value(text: str) -> bool | int | float | str:
    """A metadata value of a .csv: true/false, a whole number, a number, or text."""
    if text in ("true", "false"):
        return text == "true"
    try:
        return int(text)
    except ValueError:
        pass
    try:
        return float(text)
    except ValueError:
        return text


def _csv_metadata(path: str | os.PathLike[str],
                  file: io.BufferedIOBase) -> tuple[dict[str, Any], bytes, int, int]:
    """The ``# key = value`` lines and the header line naming the columns, in
    either order (zopy writes the names first, earlier versions wrote them
    after the metadata), with the header's line number and the first data
    line's; the file is left at the data."""
    attrs: dict[str, Any]
    attrs, number, header, header_number = {}, 0, b"", 0
    while True:
        data_start = file.tell()
        line = file.readline(MAX_CSV_HEADER_LINE + 1)
        number += 1
        if not line.startswith(b"#"):
            if not header and line:
                header, header_number = line, number
                continue
            file.seek(data_start)
            return attrs, header, header_number or number, number
        if len(line) > MAX_CSV_HEADER_LINE:
            raise SampleFileError(path, f"line {number} is longer than {MAX_CSV_HEADER_LINE} "
                                  "characters, not a line of metadata")
        if number > MAX_CSV_HEADER_LINES:
            raise SampleFileError(path, f"more than {MAX_CSV_HEADER_LINES} lines of comments "
                                  "before the header")
        text = line[1:].decode(errors="replace").strip()
        key, equals, value = text.partition("=")
        key = key.strip()
        if not equals:
            continue              # a remark, not metadata
        if not key.isidentifier():
            raise SampleFileError(path, f"line {number}: {_shown(key)} is not the name of "
                                  "an item of metadata")
        if key in attrs:
            raise SampleFileError(path, f"line {number}: {key} is given twice")
        attrs[key] = _csv_value(value.strip())


def open_csv(path: str | os.PathLike[str]) -> CsvFile:
    """Opens a .csv file of one column (or a time column and one more) and
    counts its samples (one pass, in blocks)."""
    _regular_file(path)
    try:
        file = open(path, "rb")
    except OSError as exc:
        raise _failure(path, exc) from None
    with _closed_on_failure(path, file):
        attrs, header, number, first_data_line = _csv_metadata(path, file)
        if not header:
            raise SampleFileError(path, "is empty" if number == 1 else "has no header line")
        names = [name.strip() for name in header.strip().decode(errors="replace").split(",")]
        if len(header) > MAX_CSV_LINE or not (
                len(names) == 1 or len(names) == 2 and names[0] == CSV_TIME_COLUMN):
            raise SampleFileError(path, f"line {number} is not the header of one column, or "
                                  f"of {CSV_TIME_COLUMN} and one more")
        try:
            float(names[-1])
        except ValueError:
            pass
        else:
            raise SampleFileError(path, f"has no header line (its line {number} is numbers)")
        column_units = CSV_COLUMNS.get(names[-1])
        if column_units and attrs.setdefault("units", column_units) != column_units:
            raise SampleFileError(path, f"its column {names[-1]} holds {column_units}, "
                                  f"not the units {_shown(attrs['units'])} it declares")
        start = file.tell()
        lines, last = 0, b""
        while block := file.read(CSV_BLOCK_BYTES):
            lines += block.count(b"\n")
            last = (last + block).rsplit(b"\n", 1)[-1][-MAX_CSV_LINE - 1:]
        if last.strip():               # a last line without its newline
            lines += 1
        file.seek(start)
        attrs = checked_attributes(path, attrs, lines)
        return CsvFile(path, file, lines, attrs, len(names), first_data_line)


def read(path: str | os.PathLike[str], limit: int | None = None
         ) -> tuple[npt.NDArray[Any], npt.NDArray[Any] | None, dict[str, Any]]:
    """The samples (the first ``limit`` when given), bits (or None) and
    attributes of a file written by :func:`zopy.record.record`, as numpy arrays and a dict.

    The file is checked first, as untrusted input: ``samples`` (and ``bits``)
    must be 1-D real datasets stored in the file itself (no external storage,
    links or virtual layouts), storing every sample they declare, and the
    attributes the tools use must have their type and range (see
    above).

    Raises:
        SampleFileError: a ValueError whose message is one
            line naming the file and the fault; for a file without a
            ``samples`` dataset it is also a KeyError.
    """
    with open_hdf5(path) as source:
        data, bits = source.head(limit)
        return data, bits, source.attrs


def __getattr__(name: str) -> Any:
    """``open_dataset``: the recordings as one lazy data set (:mod:`zopy._dataset`,
    which reads through the checks of this module, so it is loaded on first use)."""
    if name == "open_dataset":
        from ._dataset import open_dataset
        return open_dataset
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
