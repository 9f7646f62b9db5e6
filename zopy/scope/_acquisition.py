"""One instrument, read by one thread; its frames and settings shared by every page.

The thread owns the device and its stream: it reads the stream continuously
in short reads, feeds every sample to the recording (when one runs) and to
the :class:`~zopy.scope._frames.FrameMaker`, and after each read publishes
the latest frame. Pages never call the instrument: they send requests,
which the thread carries out between two reads, and read what it publishes.
An instrument that fails is closed, shown as a status line and opened again
every few seconds; the thread itself never stops before :meth:`Scope.close`.
"""

from __future__ import annotations

import contextlib
import dataclasses
import math
import os
import pathlib
import queue
import shutil
import threading
import time
from collections.abc import Callable
from typing import Any

import numpy
from numpy.typing import NDArray

import zopy

from .. import _messages as messages
from .. import analysis
from .. import record as recorder
from .._light import DARK, light_switched, virtual_bench
from .._photodiode import is_balanced
from .._stream_settings import StreamSettings, stream_chain
from ._frames import Context, Frame, FrameMaker

RETRY_SECONDS = 3.0       # between attempts to open a failed instrument again
READ_SECONDS = 0.02       # stream time per read: a read holds the interpreter lock that long at most
PACE = 1.02               # reads are paced this much faster than the stream's rate (see _read_loop)
BEHIND_SECONDS = 1.0      # further behind than this, the pacing starts again from now
STATUS_SECONDS = 0.5      # how often a recording's length is brought up to date
STOP_TIMEOUT = 10.0       # for the thread to end on close (a triggered read may be waiting)
RECORDING_SUFFIXES = (".h5", ".hdf5")
WHILE_RECORDING = "stop the recording first: a recording keeps one setting throughout"
DEFAULT_CUTOFF_FRACTION = 0.2   # of the output rate: well inside the output's band


# A value or request the scope refuses; its text is the whole message, as
# every front door shows a refusal.
ScopeError = messages.Refusal


@dataclasses.dataclass(frozen=True)
class Settings:
    """What the page's controls show, the same on every page."""
    highgain: bool
    antialias: bool
    wavelength_nm: float
    filter: str
    cutoff_hz: float
    downsampling: int
    raw: bool
    running: bool = True
    averaging: int = 16
    db: bool = False              #: spectrum relative to the shot-noise level
    total_power_uw: float | None = None
    trig_mode: str = "rising"
    trig_port: str = "S"
    recording: str | None = None  #: the file being recorded, as named on the page
    record_limit_s: float | None = None     #: a recording stops after this much stream time
    record_limit_bytes: int | None = None   #: ... or once its samples (and bits) fill this


@dataclasses.dataclass(frozen=True)
class Status:
    text: str
    error: bool = False
    recording: bool = False       #: the text is a running recording's progress


# Settings a request may change, and whether a change reaches the instrument.
INSTRUMENT_SETTINGS = ("highgain", "antialias", "wavelength_nm", "filter", "cutoff_hz",
                       "downsampling", "raw")
VIEW_SETTINGS = ("running", "averaging", "db", "total_power_uw", "trig_mode", "trig_port",
                 "record_limit_s", "record_limit_bytes")
TRIGGER_MODES = ("rising", "falling", "high", "low")
TRIGGER_PORTS = ("S", "T")


class Scope:
    """A live view's instrument: opened now, then read by a thread of its own
    until :meth:`close`. Every page of it (see :mod:`zopy.scope`) shows the
    frames it publishes and sends it the controls' changes.

    Args:
        serial: the first instrument whose serial contains this (default: the first found).
        dtype, filter, cutoff, downsampling, decimation, units, wavelength:
            the stream's settings, as ``zopy record`` takes them (default:
            float32, low-pass at a fifth of the output rate, downsampling 10).
        gain: "high" or "low"; antialias: True or False (default: as the instrument is).
        bits: record the per-sample bits too.
        block_length: samples of the trace and of each block of the spectrum.
        averaging: blocks in the spectrum's average.
        folder: where recordings named on the page go.
        record_limit_s: a recording started on the page stops, complete, after
            this many seconds of stream time (None: no limit; the page can change it).
        record_limit_bytes: ... or once its samples (with their bits) fill this
            many bytes (None: no limit): the file is that plus HDF5's few kB.
        retry_seconds: between attempts to open a failed instrument again.

    Raises:
        zopy.NoDeviceError: no such instrument; zopy.Error: it refused a setting;
        ScopeError: a value the instrument cannot take.
    """

    _device: zopy.Device | None
    _stream: zopy.Stream | None
    _maker: FrameMaker | None
    _recording: recorder.Recorder | None
    _thread: threading.Thread
    _recording_name: str | None

    def __init__(self, serial: str | None = None, *, dtype: str = "float32",
                 filter: str = "lowpass", cutoff: float | None = None, downsampling: int = 10,
                 decimation: int | None = None, units: int | None = None,
                 wavelength: float | None = None, gain: str | None = None,
                 antialias: bool | None = None, bits: bool = False, block_length: int = 4096,
                 averaging: int = 16, folder: str | os.PathLike[str] = ".",
                 record_limit_s: float | None = None, record_limit_bytes: int | None = None,
                 retry_seconds: float = RETRY_SECONDS) -> None:
        self.folder = pathlib.Path(folder).resolve()
        if not self.folder.is_dir():
            raise ScopeError(f"{folder}: no such folder for the recordings")
        if gain not in (None, "high", "low"):
            raise ScopeError(f"gain must be high or low, not {gain!r}")
        if not 16 <= block_length <= 1 << 22:
            raise ScopeError(f"a block must hold 16 to {1 << 22} samples, not {block_length}")
        if averaging < 1:
            raise ScopeError(f"averaging must be at least 1 block, not {averaging}")
        self.dtype, self.bits, self.retry_seconds = numpy.dtype(dtype), bool(bits), retry_seconds
        # what the controls ask of the instrument; a cutoff left open follows the output rate
        self._wanted = StreamSettings(
            dtype=self.dtype.name, filter=filter, cutoff_hz=cutoff, downsampling=downsampling,
            decimation=decimation, units=units, wavelength_nm=wavelength, raw=False,
            highgain=None if gain is None else gain == "high", antialias=antialias,
            cutoff_fraction=DEFAULT_CUTOFF_FRACTION)
        self._view: dict[str, Any] = {"running": True, "averaging": averaging, "db": False,
                      "total_power_uw": None, "trig_mode": "rising", "trig_port": "S",
                      "record_limit_s": _limit(record_limit_s, "record_limit_s"),
                      "record_limit_bytes": _byte_limit(record_limit_bytes)}
        self.block_length = block_length
        self.serial, self.title, self.balanced = serial, "", False
        self.frame: Frame | None = None           #: the latest Frame
        self.settings: Settings | None = None     #: the latest Settings
        self.status = Status("starting")
        self.version = 0              #: counts publications
        self._seq = 0
        self.samples_read = 0         #: from the stream, since the instrument was last opened
        self._device = self._stream = self._maker = None
        self._recording = None
        self._recording_name = None
        self._recording_started = 0.0
        self._recording_shown: tuple[float, Status] | None = None
        self._single = False
        self._restart = False
        self._requests: queue.Queue[tuple[str, Any, Callable[[str, bool], None] | None] | None] = \
            queue.Queue()
        self._subscribers: set[Callable[[], None]] = set()
        self.pages: set[Any] = set()  #: the pages watching (each adds and removes itself)
        self._subscribers_lock = threading.Lock()
        self._stop = threading.Event()
        self._open()                  # a wrong serial or value fails here, in the caller's thread
        assert self._device is not None   # _open opened it
        self.title = f"{self._device.product} {self.serial}{' (balanced)' if self.balanced else ''}"
        self._publish(settings=self._current_settings(), status=Status("running"))
        self._thread = threading.Thread(target=self._run, name=f"zopy scope {self.serial}",
                                        daemon=True)
        self._thread.start()

    # ---------------------------------------------------------------- for pages

    def subscribe(self, callback: Callable[[], None]) -> None:
        """``callback()`` is called (from the acquisition thread) after every
        publication: a frame, settings or status. It must return at once."""
        with self._subscribers_lock:
            self._subscribers.add(callback)

    def unsubscribe(self, callback: Callable[[], None]) -> None:
        with self._subscribers_lock:
            self._subscribers.discard(callback)

    def request(self, name: str, value: Any = None,
                reply: Callable[[str, bool], None] | None = None) -> None:
        """Asks the acquisition thread to change setting ``name`` to ``value``
        (or to do ``name``: "single", "trigger", "reset_average", "record",
        "stop_recording"); ``reply(text, error)``, when given, is called from
        that thread with the outcome."""
        self._requests.put((name, value, reply))

    def recording_path(self, name: str) -> pathlib.Path:
        """The file a name typed on the page stands for: inside the recording
        folder, never outside it. Raises ValueError saying why not."""
        return resolve_recording_name(self.folder, name)

    def close(self) -> recorder.Recording | None:
        """Stops the thread, ends a running recording (marked incomplete: it
        did not end with its Stop button) and closes the stream and the
        instrument. Returns the recording's Recording, if one was running."""
        self._stop.set()
        self._requests.put(None)      # wakes a wait
        if self._thread.is_alive() and self._thread is not threading.current_thread():
            self._thread.join(STOP_TIMEOUT)
        return self.stopped_recording

    _last_recording: recorder.Recording | None = None
    stopped_recording: recorder.Recording | None = None   #: the Recording that close() ended

    def __enter__(self) -> "Scope":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    # ------------------------------------------------------------- the thread

    def _run(self) -> None:
        while not self._stop.is_set():
            try:
                if self._stream is None:
                    self._open()
                    self._publish(settings=self._current_settings(), status=Status("running"))
                self._read_loop()
            except Exception as exc:   # noqa: BLE001 - shown on the page, then tried again
                self._failed(exc)
        if self._recording is not None:
            self._end_recording(complete=False, why="the scope stopped")
            self.stopped_recording = self._last_recording
        self._close_instrument()

    def _failed(self, exc: Exception) -> None:
        why = messages.describe(exc, self.serial)
        self._end_recording(complete=False, why=why)
        self._close_instrument()
        self._publish(settings=self._current_settings(),
                      status=Status(f"{why}; trying again every {self.retry_seconds:g} s", True))
        self._restart = False
        self._wait(self.retry_seconds)

    def _open(self) -> None:
        device = zopy.Device(serial=self.serial)
        try:
            self.serial = device.serial      # the same unit again after a failure
            self.balanced = is_balanced(device)
            stream = self._wanted.open(device)
        except BaseException:
            _quietly(device.close)
            raise
        self._device, self._stream = device, stream
        self._keep_cutoff(stream)
        self.samples_read = 0

    def _keep_cutoff(self, stream: zopy.Stream) -> None:
        """A cutoff first set from the output rate stays where it was put when the rates change."""
        if self._wanted.cutoff_hz is None and self._wanted.filter != "none":
            self._wanted = dataclasses.replace(self._wanted, cutoff_hz=stream.cutoff)

    def _close_instrument(self) -> None:
        stream, device, self._stream, self._device = self._stream, self._device, None, None
        if stream is not None:
            _quietly(stream.close)
        if device is not None:
            _quietly(device.close)

    def _context(self) -> Context:
        stream, device = self._stream, self._device
        assert stream is not None and device is not None    # called only while open
        raw = stream.calibration_mode == "raw"
        power = stream.calibration_units
        if raw:    # the codes, averaged by the filter: clipped ones stay at the ends
            limits = analysis.over_range_limits((1.0, 0.0))
        else:
            limits = analysis.stream_limits(stream)
        unit = analysis.power_unit(power)
        return Context(samplerate_hz=stream.samplerate, chain=stream_chain(stream),
                       units=analysis.COUNTS if raw else unit.symbol if unit else f"1e{power} W",
                       watts_per_unit=None if raw else 10.0 ** power, limits=limits,
                       gain="high" if device.highgain else "low",
                       wavelength_nm=stream.calibration_wavelength, balanced=self.balanced)

    def _read_loop(self) -> None:
        """Reads until the settings change, the scope stops or the instrument fails.

        Reads are paced to the stream's rate: an instrument delivers no faster,
        so waiting (without the interpreter lock) until a read's samples are
        due keeps the read itself short, and keeps the virtual instrument,
        which computes as fast as it can, from running ahead. Pacing a little
        faster than the rate catches up with a unit whose clock runs fast.
        """
        self._restart = False
        stream = self._stream
        assert stream is not None     # _run opened it
        rate = stream.samplerate
        n = max(1, min(int(rate * READ_SECONDS), 1 << 20))
        data = numpy.empty(n, dtype=self.dtype)
        bits = numpy.empty(n, dtype=numpy.uint8) if self.bits else None
        context = self._context()
        if self._maker is None:
            self._maker = FrameMaker(context, block_length=self.block_length,
                                     averaging=self._view["averaging"])
        else:
            self._maker.set_context(context)
        self._maker.total_power_w = _watts(self._view["total_power_uw"])
        start, read = time.monotonic(), 0
        last_status = start
        while not self._stop.is_set() and not self._restart:
            due = start + read / (rate * PACE)
            if due > time.monotonic():
                self._wait(due - time.monotonic())
                if self._restart or self._stop.is_set() or self._stream is None:
                    break
            if bits is None:
                stream.acquire(n, out=data)
            else:
                stream.acquire(n, getbits=True, out=data, bits_out=bits)
            now = time.monotonic()
            read += n
            self.samples_read += n
            if now - (start + read / (rate * PACE)) > BEHIND_SECONDS:
                start, read = now, 0
            self._record(data, bits)
            self._maker.add(data)
            if (self._view["running"] or self._single) and self._maker.ready:
                self._single = False
                self._publish_frame(now)
            elif self._recording is not None and now - last_status >= STATUS_SECONDS:
                self._publish(status=self._recording_status())
                last_status = now
        return

    def _publish_frame(self, acquired_at: float) -> None:
        assert self._maker is not None    # _read_loop made it
        self._seq += 1
        status = self._recording_status() if self._recording is not None else None
        self._publish(frame=self._maker.frame(self._seq, acquired_at, time.monotonic()),
                      status=status)

    # ------------------------------------------------------------- requests

    def _wait(self, seconds: float) -> None:
        """Carries out requests for ``seconds``, or until the scope stops or
        a request changes the stream's settings."""
        deadline = time.monotonic() + seconds
        while not self._stop.is_set() and not self._restart:
            left = deadline - time.monotonic()
            try:
                item = self._requests.get(timeout=max(left, 0)) if left > 0 else \
                    self._requests.get_nowait()
            except queue.Empty:
                return
            if item is not None:
                self._carry_out(*item)

    def _carry_out(self, name: str, value: Any,
                   reply: Callable[[str, bool], None] | None) -> None:
        try:
            text = self._handle(name, value)
            error = False
        except (zopy.Error, ValueError, TypeError, OSError) as exc:
            text, error = messages.describe(exc, self.serial), True
        self._publish(settings=self._current_settings())
        if reply is not None and text:
            reply(text, error)

    def _handle(self, name: str, value: Any) -> str | None:
        """Carries out one request; returns what to tell the page that sent it."""
        if name in INSTRUMENT_SETTINGS:
            return self._set_instrument(name, value)
        if name in VIEW_SETTINGS:
            return self._set_view(name, value)
        if name == "single":
            self._single = True
            self._view["running"] = False
            return ""
        if name == "reset_average":
            if self._maker is not None:
                self._maker.average.reset()
            return "average started again"
        if name == "trigger":
            return self._triggered_block()
        if name == "dark":
            return self._take_dark()
        if name == "record":
            path, overwrite = value
            return self._start_recording(path, overwrite)
        if name == "stop_recording":
            return self._end_recording(complete=True, why="")
        raise ValueError(f"unknown request {name!r}")

    def _set_view(self, name: str, value: Any) -> str:
        if name == "averaging":
            value = int(value)
            if not 1 <= value <= 10_000:
                raise ValueError(f"average 1 to 10000 blocks, not {value}")
            if self._maker is not None:
                self._maker.average.set_count(value)
        elif name == "total_power_uw":
            if value is not None and not (math.isfinite(value) and value > 0):
                raise ValueError(f"the total power must be a positive number of µW, not {value}")
            if self._maker is not None:
                self._maker.total_power_w = _watts(value)
        elif name == "trig_mode" and value not in TRIGGER_MODES:
            raise ValueError(f"trigger mode must be one of {', '.join(TRIGGER_MODES)}")
        elif name == "trig_port" and value not in TRIGGER_PORTS:
            raise ValueError("trigger port must be S or T")
        elif name == "record_limit_s":
            value = _limit(value, "the recording's duration limit")
        elif name == "record_limit_bytes":
            value = _byte_limit(value)
        self._view[name] = value
        return ""

    def _set_instrument(self, name: str, value: Any) -> str:
        if self._recording is not None:
            raise ScopeError(WHILE_RECORDING)
        old, self._wanted = self._wanted, dataclasses.replace(self._wanted, **{name: value})
        if self._stream is None:
            return "the instrument is not open: this applies when it is back"
        assert self._device is not None   # open with its stream
        try:
            self._apply(self._device, self._stream)
        except BaseException:
            self._wanted = old
            with contextlib.suppress(zopy.Error, ValueError):
                self._apply(self._device, self._stream)
            raise
        self._keep_cutoff(self._stream)
        self._restart = True          # new rate, units or limits: the frames start again
        return ""

    def _apply(self, device: zopy.Device, stream: zopy.Stream) -> None:
        """The wanted settings, on an open instrument and stream."""
        self._wanted.set_front_end(device)
        self._wanted.apply(stream)

    def _take_dark(self) -> str:
        """A dark reference: the spectrum of as many blocks as the average holds,
        read with the light off (switched off through zopy.sim on the virtual
        bench, blocked by the user on an instrument); the spectrum starts again."""
        if self._recording is not None:
            raise ScopeError(WHILE_RECORDING)
        stream, maker = self._stream, self._maker
        if stream is None or maker is None:
            raise ScopeError("the instrument is not open")
        sim = virtual_bench()
        dark = (light_switched(sim, str(self.serial), **DARK) if sim is not None
                else contextlib.nullcontext())
        # one block more than is used: the filters settle on the dark first
        samples = numpy.empty(self.block_length * (self._view["averaging"] + 1), dtype=self.dtype)
        with dark:
            stream.acquire(samples.size, out=samples)
        maker.take_dark(samples[self.block_length:])
        maker.average.reset()        # the light's return passes through the filters too
        return "dark reference taken" + (" with the light switched off" if sim is not None
                                         else "")

    def _triggered_block(self) -> str:
        """One block at the instrument's full rate that starts at a trigger, shown
        on its own; the view pauses on it."""
        if self._recording is not None:
            raise ScopeError(WHILE_RECORDING)
        if self._stream is None:
            raise ScopeError("the instrument is not open")
        mode, port = self._view["trig_mode"], self._view["trig_port"]
        device, stream, n = self._device, self._stream, self.block_length
        assert device is not None and self._maker is not None   # open and read from
        trigger = {"trig_mode": mode, "trig_port": port}
        context = self._context()
        try:
            if context.watts_per_unit is None:
                block = device.get_raw_data(n, **trigger).astype(numpy.float64)
            else:
                wavelength = stream.calibration_wavelength
                to_units = 1e-6 / context.watts_per_unit
                block = device.get_calibrated_data(n, wavelength, **trigger) * to_units
                context = dataclasses.replace(context, limits=analysis.block_limits(
                    device, wavelength, scale=to_units))
        except zopy.Error as exc:
            if exc.err == zopy.errors.ZO_ERROR_USB_TIMEOUT:
                raise ScopeError(f"no trigger ({mode} on port {port}) within the "
                                 "instrument's timeout") from None
            raise
        context = dataclasses.replace(context, samplerate_hz=float(device.samplerate),
                                      chain=analysis.fresh_block_chain(float(device.samplerate),
                                                                       bool(device.antialias)))
        now = time.monotonic()
        self._seq += 1
        self._view["running"] = False
        self._publish(frame=self._maker.single(self._seq, now, now, f"triggered: {mode} on {port}",
                                               block, context))
        return ""

    # ------------------------------------------------------------- recording

    def _start_recording(self, path: str | os.PathLike[str], overwrite: bool) -> str:
        if self._recording is not None:
            raise ScopeError(f"already recording {self._recording_name}")
        if self._stream is None:
            raise ScopeError("the instrument is not open")
        path = pathlib.Path(path)
        try:
            self._recording = recorder.Recorder(self._stream, path, bits=self.bits,
                                                overwrite=overwrite,
                                                attributes=self._view_attributes())
        except OSError as exc:
            raise ScopeError(messages.os_error(exc, path)) from None
        self._recording_name = os.path.relpath(path, self.folder)
        self._recording_started = time.monotonic()
        self._recording_shown = None
        self._publish(status=self._recording_status())
        return f"recording {self._recording_name}"

    def _record(self, data: NDArray[Any], bits: NDArray[numpy.uint8] | None) -> None:
        recording = self._recording
        if recording is None:
            return
        room, limit = self._room_left(recording)
        if room < len(data):         # the rest of this read goes past the limit: not written
            data = data[:room]
            bits = None if bits is None else bits[:room]
        try:
            recording.append(data, bits)
        except OSError as exc:
            self._end_recording(complete=False, why=messages.os_error(exc, recording.path))
            return
        if room <= len(data):
            self._end_recording(complete=True, why="", reached=limit)

    def _room_left(self, recording: recorder.Recorder) -> tuple[int, str]:
        """Samples the recording may still take under its limits, and the limit
        that allows the fewest (as the page says it)."""
        room, limit = 1 << 62, ""
        seconds, size = self._view["record_limit_s"], self._view["record_limit_bytes"]
        if seconds is not None:
            room, limit = round(seconds * recording.samplerate_hz), f"{seconds:g} s"
        if size is not None:
            by_size = size // self._bytes_per_sample()
            if by_size < room:
                room, limit = by_size, _bytes_text(size)
        return max(0, room - recording.samples), limit

    def _bytes_per_sample(self) -> int:
        return self.dtype.itemsize + (1 if self.bits else 0)

    def _end_recording(self, complete: bool, why: str, reached: str = "") -> str | None:
        """Closes the recording; returns and shows what it holds."""
        recording, self._recording = self._recording, None
        if recording is None:
            return "" if complete else None
        name = self._recording_name
        try:
            result = recording.close(complete=complete)
        except OSError as exc:
            assert recording.result is not None    # close() sets it, also when it fails
            result = recording.result
            why = "; ".join(filter(None, [why, messages.os_error(exc, recording.path)]))
        self._last_recording = result
        where = os.path.relpath(result.path, self.folder)
        text = (f"{name}: {result.samples} samples ({result.seconds:.3g} s), "
                f"{'complete' if result.complete else 'incomplete'}")
        if where != name:
            text += f", in {where} ({name} was left as it was)"
        if reached:
            text = f"recording stopped at its limit of {reached}: {text}"
        if why:
            text = f"recording stopped: {why}; {text}"
        self._publish(settings=self._current_settings(), status=Status(text, bool(why)))
        return text

    def _view_attributes(self) -> dict[str, Any]:
        """What the page knows of the samples, as the recording's attributes
        (``scope_`` ones), written when its file is made."""
        attributes: dict[str, Any] = {
            "scope_averaging": self._view["averaging"],
            "scope_block_length": self.block_length,
            "scope_balanced": self.balanced,
        }
        if self._view["total_power_uw"] is not None:
            attributes["scope_total_power_uw"] = float(self._view["total_power_uw"])
        return attributes

    def _recording_status(self) -> Status:
        """The recording's progress: what the page shows prominently, brought
        up to date every STATUS_SECONDS (it looks at the file and its disk)."""
        recording = self._recording
        assert recording is not None      # asked only while recording
        now = time.monotonic()
        if self._recording_shown is not None and now - self._recording_shown[0] < STATUS_SECONDS:
            return self._recording_shown[1]
        try:
            size = os.stat(recording.path).st_size
            free = shutil.disk_usage(self.folder).free
        except OSError:
            size, free = recording.samples * self._bytes_per_sample(), None
        elapsed = now - self._recording_started
        parts = [f"{recording.samples / recording.samplerate_hz:.1f} s",
                 f"{recording.samples:,} samples", _bytes_text(size)]
        if elapsed >= 1.0:          # the samples' bytes: the file grows by reserved steps
            written = recording.samples * self._bytes_per_sample()
            parts[-1] += f" at {_bytes_text(written / elapsed)}/s"
        if free is not None:
            parts.append(f"{_bytes_text(free)} free")
        _, limit = self._room_left(recording)
        if limit:
            parts.append(f"stops at {limit}")
        status = Status(f"recording {self._recording_name}: {', '.join(parts)}", recording=True)
        self._recording_shown = (now, status)
        return status

    # ------------------------------------------------------------- publishing

    def _current_settings(self) -> Settings:
        """The settings as the instrument has them (as wanted while it is not open)."""
        actual: dict[str, Any] = {name: getattr(self._wanted, name) for name in INSTRUMENT_SETTINGS}
        if self._stream is not None:
            with contextlib.suppress(zopy.Error):
                stream, device = self._stream, self._device
                assert device is not None     # open with its stream
                actual.update(highgain=bool(device.highgain), antialias=bool(device.antialias),
                              wavelength_nm=stream.calibration_wavelength, filter=stream.filter,
                              cutoff_hz=stream.cutoff, downsampling=stream.downsampling,
                              raw=stream.calibration_mode == "raw")
        actual["highgain"] = actual["highgain"] if actual["highgain"] is not None else True
        actual["antialias"] = actual["antialias"] if actual["antialias"] is not None else True
        actual["wavelength_nm"] = actual["wavelength_nm"] or math.nan
        actual["cutoff_hz"] = actual["cutoff_hz"] or math.nan
        return Settings(**actual, **self._view,
                        recording=self._recording_name if self._recording is not None else None)

    def _publish(self, frame: Frame | None = None, settings: Settings | None = None,
                 status: Status | None = None) -> None:
        if frame is not None:
            self.frame = frame
        if settings is not None:
            self.settings = settings
        if status is not None:
            self.status = status
        self.version += 1
        with self._subscribers_lock:
            subscribers = list(self._subscribers)
        for callback in subscribers:
            try:
                callback()
            except Exception:     # noqa: BLE001 - a page that is gone stops listening
                self.unsubscribe(callback)


# ------------------------------------------------------------------ helpers

def resolve_recording_name(folder: str | os.PathLike[str], name: str | None) -> pathlib.Path:
    """``name`` (as typed on a page) as a path inside ``folder``: relative,
    without "..", ending in .h5 (added when it has no suffix), in a folder
    that exists and that resolves (links followed) inside ``folder``."""
    name = (name or "").strip()
    if not name:
        raise ValueError("give the recording a file name")
    if any(ord(c) < 32 for c in name):
        raise ValueError("a file name cannot hold control characters")
    relative = pathlib.PurePath(name)
    if relative.is_absolute() or name.startswith(("/", "\\", "~")) or relative.drive:
        raise ValueError(f"{name}: give a name inside {folder}, not an absolute path")
    if ".." in relative.parts or ".." in pathlib.PureWindowsPath(name).parts:
        raise ValueError(f"{name}: '..' is not allowed; give a name inside {folder}")
    if not relative.suffix:
        relative = relative.with_suffix(".h5")
    if relative.suffix.lower() not in RECORDING_SUFFIXES:
        raise ValueError(f"{name}: a recording is an HDF5 file: end its name in .h5")
    folder = pathlib.Path(folder).resolve()
    path = folder / relative
    if not path.parent.is_dir():
        raise ValueError(f"{relative}: no folder {relative.parent} in {folder}")
    real = pathlib.Path(os.path.realpath(path))
    if real != folder and folder not in real.parents:
        raise ValueError(f"{relative}: leads outside {folder}")
    return path


def _limit(value: Any, what: str) -> float | None:
    """A recording's duration limit: a positive number of seconds, or None."""
    if value is None:
        return None
    try:
        seconds = float(value)
    except (TypeError, ValueError):
        raise ScopeError(f"{what} must be a number of seconds, not {value!r}") from None
    if not (math.isfinite(seconds) and seconds > 0):
        raise ScopeError(f"{what} must be a positive number of seconds, not {value!r}")
    return seconds


def _byte_limit(value: Any) -> int | None:
    """A recording's size limit: a positive whole number of bytes, or None."""
    if value is None:
        return None
    try:
        size = float(value)
    except (TypeError, ValueError):
        raise ScopeError(f"the recording's size limit must be a number of bytes, "
                         f"not {value!r}") from None
    if not (math.isfinite(size) and size >= 1):
        raise ScopeError(f"the recording's size limit must be a positive number of bytes, "
                         f"not {value!r}")
    return int(size)


def _bytes_text(size: float) -> str:
    """1.23 MB (decimal prefixes, as disks are sold)."""
    for scale, unit in ((1e12, "TB"), (1e9, "GB"), (1e6, "MB"), (1e3, "kB")):
        if size >= scale:
            return f"{size / scale:.3g} {unit}"
    return f"{size:.0f} B"


def _watts(microwatts: float | None) -> float | None:
    return None if microwatts is None else microwatts * 1e-6


def _quietly(close: Callable[[], object]) -> None:
    """Closes what may be gone already (an unplugged instrument)."""
    with contextlib.suppress(zopy.Error):
        close()
