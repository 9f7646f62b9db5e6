"""The KV310 as a Bluesky device (ophyd-async).

::

    from bluesky import RunEngine
    from bluesky.plans import count
    from ophyd_async.plan_stubs import ensure_connected
    from zopy.bluesky import KV310, RecordingSettings, record_stream

    RE = RunEngine()
    det = KV310(name="kv")                       # the first instrument found, or serial="..."
    RE(ensure_connected(det))                    # opens the instrument
    RE(count([det], num=5))                      # events with kv-power and kv-noise, in µW
    RE(record_stream(det, RecordingSettings("/data", seconds=10, downsampling=10)))

Reading: ``power`` and ``noise`` are the mean and standard deviation of the
block of ``npts`` samples that the last :meth:`KV310.trigger` took,
calibrated at ``wavelength``, and ``over_range`` the fraction of its samples
at the ADC's limits (clipped: power and noise are then wrong, and the log
says so); all three are hinted. The acquisition runs in a thread of the
device's own (the library releases the interpreter lock while it fills the
block), so the RunEngine's event loop goes on meanwhile.

Configuration (in every descriptor, settable with ``bps.mv``): ``highgain``,
``antialias``, ``wavelength`` (nm; the photodiode's peak responsivity
unless set), ``npts``, and the read-only ``samplerate``.

Recording: the device is also flyable. :meth:`KV310.prepare` with
:class:`RecordingSettings` opens a stream, :meth:`KV310.kickoff` starts
:func:`zopy.record.record` into an HDF5 file in a thread, :meth:`KV310.complete`
waits for its end, and :meth:`KV310.collect_asset_docs` gives the
stream-resource and stream-datum documents that point to the file
(``uri``, dataset ``/samples`` and ``/bits``, one index per sample), so a
run's samples are found from its documents. Other plan steps may run
between kickoff and complete; :func:`record_stream` is the plan of a run
that only records. ``stop()`` (as the RunEngine calls on abort) ends a
recording early; the file keeps every sample written, marked incomplete.

A stream read holds the interpreter lock while it runs, so during a
recording the event loop waits for each read: reads are kept to about a
hundredth of a second of samples.

The frameworks come with the ``bluesky`` extra (``pip install 'zopy[bluesky]'``),
and h5py for recordings with the ``tools`` extra.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import dataclasses
import errno
import logging
import math
import os
import pathlib
import threading
import uuid
from collections.abc import AsyncIterator, Iterator
from typing import Any, cast

import numpy

import zopy

from . import analysis
from . import record as zrecord
from ._blocks import BlockBuffer
from ._extras import require
from ._photodiode import checked_wavelength
from ._stream_settings import StreamSettings

_log = logging.getLogger(__name__)

require("bluesky", extra="bluesky")
require("ophyd_async", extra="bluesky")
require("event_model", extra="bluesky")

import bluesky.plan_stubs as bps  # noqa: E402  (after the checks that name the extra)
import bluesky.preprocessors as bpp  # noqa: E402
import event_model  # noqa: E402
from bluesky.utils import MsgGenerator  # noqa: E402
from ophyd_async.core import (  # noqa: E402
    AsyncStatus,
    Device,
    DeviceConnector,
    StandardReadable,
    StandardReadableFormat,
    soft_signal_r_and_setter,
    soft_signal_rw,
)

__all__ = ["KV310", "KV310Recorder", "RecordingSettings", "record_stream"]

DEFAULT_NPTS = 100_000
HDF5_MIMETYPE = "application/x-hdf5"


@dataclasses.dataclass
class RecordingSettings:
    """What :meth:`KV310.prepare` sets up: the file, the duration (``seconds``
    of instrument time or ``samples``, exactly one) and the stream."""
    folder: str | os.PathLike[str]
    seconds: float | None = None
    samples: int | None = None
    dtype: str = "float32"
    filter: str | None = None             #: "lowpass", ... (None: the stream's default)
    cutoff: float | None = None           #: Hz
    downsampling: int = 1
    bits: bool = False                    #: also record the ports' bits
    filename: str | None = None           #: default: the device's name and a unique suffix


class _StopRecording(Exception):
    """Raised from the recorder's callback to end a recording on request."""


class _Connector(DeviceConnector):
    """Opens the instrument when the device connects (not in mock mode)."""

    async def connect_real(self, device: Device, timeout: float, force_reconnect: bool) -> None:
        await cast(KV310, device)._open(force_reconnect)   # the connector of a KV310 only
        await super().connect_real(device, timeout, force_reconnect)


class KV310(StandardReadable):
    """A KV310 detector for Bluesky: ``serial`` names it, None takes the first
    found; it opens when the device connects."""

    def __init__(self, serial: str | None = None, name: str = ""):
        self.serial = serial
        self.device: zopy.Device | None = None
        # one thread: the device's calls run in order, never on the event loop
        self._executor = concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix="zopy-kv310")
        self._blocks = BlockBuffer()

        with self.add_children_as_readables(StandardReadableFormat.HINTED_SIGNAL):
            self.power, self._set_power = soft_signal_r_and_setter(float, units="uW", precision=6)
            self.noise, self._set_noise = soft_signal_r_and_setter(float, units="uW", precision=6)
            # the fraction of the block at the ADC's limits: its power and noise are wrong when not 0
            self.over_range, self._set_over_range = soft_signal_r_and_setter(float, precision=6)
        with self.add_children_as_readables(StandardReadableFormat.CONFIG_SIGNAL):
            self.highgain = soft_signal_rw(bool, True, getter=lambda: bool(self._open_device().highgain),
                                           setter=lambda on: self._open_device().set_highgain(on))
            self.antialias = soft_signal_rw(bool, True, getter=lambda: bool(self._open_device().antialias),
                                            setter=lambda on: self._open_device().set_antialias(on))
            # ophyd-async types a setter as taking None too (a put of None: the initial
            # value); these take numbers only, and None fails in them.
            self.wavelength = soft_signal_rw(float, math.nan, units="nm", precision=1,
                                             setter=self._check_wavelength)  # type: ignore[arg-type]
            self.npts = soft_signal_rw(int, DEFAULT_NPTS, setter=self._check_npts)  # type: ignore[arg-type]
            self.samplerate, _ = soft_signal_r_and_setter(
                float, units="Hz", getter=lambda: float(self._open_device().samplerate))
        self.recorder = KV310Recorder()
        super().__init__(name=name, connector=_Connector())

    # ------------------------------------------------------------ the instrument

    async def _open(self, force_reconnect: bool) -> None:
        if self.device is not None and self.device.isopen() and not force_reconnect:
            return
        if self.device is not None:
            self.device.close()
        loop = asyncio.get_running_loop()
        self.device = await loop.run_in_executor(self._executor, lambda: zopy.Device(serial=self.serial))
        if math.isnan(await self.wavelength.get_value()):
            await self.wavelength.set(float(self.device.peak_responsivity))

    def _open_device(self) -> zopy.Device:
        if self.device is None:
            raise zopy.Error(f"{self.name or 'KV310'} is not connected: connect the device first "
                             "(ophyd_async.plan_stubs.ensure_connected)")
        return self.device

    def close(self) -> None:
        """Ends a recording in progress, closes the instrument and the device's thread."""
        self.recorder.stop(wait=True)
        self._executor.shutdown(wait=True)
        if self.device is not None:
            self.device.close()

    def _check_wavelength(self, nm: float) -> None:
        checked_wavelength(self._open_device(), nm)

    @staticmethod
    def _check_npts(n: int) -> None:
        if not 1 <= n <= 1 << 26:
            raise ValueError(f"npts must be 1 to {1 << 26} samples, not {n}")

    # ------------------------------------------------------------ reading

    def acquire(self, npts: int, wavelength: float) -> tuple[float, float]:
        """Mean and standard deviation (µW) of a fresh block: what :meth:`trigger`
        runs in the device's thread."""
        return self.acquire_checked(npts, wavelength)[:2]

    def acquire_checked(self, npts: int, wavelength: float) -> tuple[float, float, float]:
        """Mean and standard deviation (µW) of a fresh block, and the fraction of
        it over range (a warning in the log when any is)."""
        device = self._open_device()
        block = self._blocks.read(device, npts, wavelength)
        fraction = analysis.over_range_samples(block, analysis.block_limits(device, wavelength)) / block.size
        if fraction:
            advice = "use less light" if not device.highgain else "set highgain False or use less light"
            _log.warning(f"{self.name or 'KV310'}: {100.0 * fraction:.3g}% of the block is over "
                         f"range: the ADC sits at its limit, so power and noise are wrong; {advice}")
        return (*self._blocks.mean_and_std(block), fraction)

    @AsyncStatus.wrap
    async def trigger(self) -> None:
        npts = await self.npts.get_value()
        wavelength = await self.wavelength.get_value()
        loop = asyncio.get_running_loop()
        power, noise, over = await loop.run_in_executor(self._executor, self.acquire_checked,
                                                        npts, wavelength)
        self._set_power(power)
        self._set_noise(noise)
        self._set_over_range(over)


class KV310Recorder(Device):
    """The recordings of a :class:`KV310`'s stream (its child ``recorder``):
    preparable, flyable and collectable, apart from the detector's readings so
    that the detector can be read in other streams while it records."""

    def __init__(self, name: str = ""):
        self._recording: _RecordingJob | None = None
        super().__init__(name=name)

    @property
    def _detector(self) -> KV310:
        if not isinstance(self.parent, KV310):
            raise RuntimeError(f"{self.name}: records only as the recorder of a KV310")
        return self.parent

    @AsyncStatus.wrap
    async def prepare(self, value: RecordingSettings) -> None:
        """Opens the stream of a recording and names its file; nothing is written yet."""
        previous = self._recording
        if previous is not None and previous.running:
            raise RuntimeError(f"{self.name}: a recording is in progress")
        if previous is not None:
            previous.discard()            # prepared, never started: its stream closes
        loop = asyncio.get_running_loop()
        self._recording = await loop.run_in_executor(self._detector._executor, _RecordingJob,
                                                     self._detector, value)

    @AsyncStatus.wrap
    async def kickoff(self) -> None:
        self._prepared().start()

    @AsyncStatus.wrap
    async def complete(self) -> None:
        """Done when the recording ends; fails with the recorder's error."""
        await asyncio.wrap_future(self._prepared().started())

    def stop(self, success: bool = True, *, wait: bool = False) -> None:
        """Ends a recording in progress after the read in flight (with ``wait``,
        once its file is closed)."""
        recording = self._recording
        if recording is None:
            return
        recording.stop_requested.set()
        if wait and recording.future is not None:
            concurrent.futures.wait([recording.future])
        if wait:
            recording.discard()

    def _prepared(self) -> _RecordingJob:
        if self._recording is None:
            raise RuntimeError(f"{self.name}: prepare a recording first (RecordingSettings)")
        return self._recording

    async def describe_collect(self) -> dict[str, Any]:
        return self._prepared().data_keys()

    async def collect_asset_docs(self, index: int | None = None) -> AsyncIterator[Any]:
        for doc in self._prepared().documents(index):
            yield doc

    async def get_index(self) -> int:
        return self._prepared().written

    @property
    def path(self) -> pathlib.Path | None:
        """The file of the last recording prepared."""
        return None if self._recording is None else self._recording.path


class _RecordingJob:
    """One recording of a stream into one file, and the documents that point to it."""

    def __init__(self, detector: KV310, settings: RecordingSettings):
        require("h5py")
        device = detector._open_device()
        self.settings = settings
        self.detector = detector
        name = settings.filename or f"{detector.name or 'kv310'}-{uuid.uuid4().hex[:12]}.h5"
        self.path = pathlib.Path(settings.folder).absolute() / name
        if self.path.exists():
            raise FileExistsError(errno.EEXIST, "exists (a recording never replaces a file: "
                                  "give another filename)", str(self.path))
        self.stream = StreamSettings(dtype=settings.dtype, filter=settings.filter,
                                     cutoff_hz=settings.cutoff,
                                     downsampling=settings.downsampling).open(device)
        try:
            self.units = zrecord.stream_attributes(self.stream)["units"]
            self.rate = self.stream.samplerate
            zrecord.requested_samples(settings.seconds, settings.samples, self.rate)
        except BaseException:
            self.stream.close()
            raise
        self.chunk = min(zrecord.default_chunk(self.rate), max(4096, int(self.rate / 100)))
        self.written = 0
        self.emitted = 0
        self.stop_requested = threading.Event()
        self.future: concurrent.futures.Future[zrecord.Recording | None] | None = None
        self.bundles = {key: event_model.compose_stream_resource(
            mimetype=HDF5_MIMETYPE, uri=self.path.as_uri(), data_key=key,
            parameters={"dataset": f"/{dataset}", "chunk_shape": [self.chunk]})
            for key, dataset in self._datasets().items()}

    def _datasets(self) -> dict[str, str]:
        prefix = self.detector.name or "kv310"
        names = {f"{prefix}-samples": "samples"}
        if self.settings.bits:
            names[f"{prefix}-bits"] = "bits"
        return names

    def data_keys(self) -> dict[str, Any]:
        keys = {}
        for key, dataset in self._datasets().items():
            dtype = numpy.dtype(self.settings.dtype if dataset == "samples" else numpy.uint8)
            keys[key] = {"source": self.path.as_uri(), "shape": [], "dtype": "number",
                         "dtype_numpy": dtype.str, "external": "STREAM:",
                         **({"units": self.units} if dataset == "samples" else {})}
        return keys

    @property
    def running(self) -> bool:
        return self.future is not None and not self.future.done()

    def discard(self) -> None:
        """Closes the stream of a recording that was prepared but never started."""
        if self.future is None:
            self.stream.close()

    def start(self) -> None:
        if self.future is not None:
            raise RuntimeError(f"{self.path}: this recording was started already; prepare another")
        # a thread of its own: the detector's thread goes on taking blocks meanwhile
        self.future = concurrent.futures.Future()
        threading.Thread(target=self._run_into_future, name=f"zopy-recording {self.path.name}",
                         daemon=True).start()

    def started(self) -> concurrent.futures.Future[zrecord.Recording | None]:
        if self.future is None:
            raise RuntimeError(f"{self.path}: kick the recording off first")
        return self.future

    def _progress(self, written: int, total: int) -> None:
        self.written = written
        if self.stop_requested.is_set():
            raise _StopRecording

    def _run_into_future(self) -> None:
        assert self.future is not None
        try:
            self.future.set_result(self._run())
        except BaseException as exc:
            self.future.set_exception(exc)

    def _run(self) -> zrecord.Recording | None:
        s = self.settings
        try:
            result = zrecord.record(self.stream, self.path, seconds=s.seconds, samples=s.samples,
                                     bits=s.bits, chunk=self.chunk, progress=False,
                                     callback=self._progress)
            self.written = result.samples
            return result
        except _StopRecording:
            return None          # the file holds what was written, marked incomplete
        finally:
            self.stream.close()

    def documents(self, index: int | None) -> Iterator[tuple[str, Any]]:
        """The stream resource (once) and a stream datum for the samples written
        since the last call (up to ``index`` when given)."""
        stop = self.written if index is None else min(index, self.written)
        if stop <= self.emitted:
            return
        if self.emitted == 0:
            for bundle in self.bundles.values():
                yield "stream_resource", bundle.stream_resource_doc
        indices: event_model.StreamRange = {"start": self.emitted, "stop": stop}
        self.emitted = stop
        for bundle in self.bundles.values():
            yield "stream_datum", bundle.compose_stream_datum(indices)


def record_stream(detector: KV310, settings: RecordingSettings, *,
                  md: dict[str, Any] | None = None) -> MsgGenerator[str]:
    """A plan: one run in which ``detector`` records a stream as ``settings``
    say; the run's ``recording`` stream points to the file. Returns the run's uid."""
    stream_name = "recording"

    # bluesky's decorators carry no types
    @bpp.run_decorator(md={"plan_name": "record_stream", **(md or {})})  # type: ignore[untyped-decorator]
    def run() -> MsgGenerator[None]:
        recorder = detector.recorder
        yield from bps.prepare(recorder, settings, wait=True)
        yield from bps.declare_stream(recorder, name=stream_name, collect=True)
        yield from bps.kickoff(recorder, wait=True)
        yield from bps.complete(recorder, wait=True)
        yield from bps.collect(recorder, name=stream_name)

    return cast(str, (yield from run()))   # the run's uid
