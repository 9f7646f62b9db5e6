"""zopy.bluesky.KV310 under a real RunEngine: the documents of count, scan and a
recording run, and their values against the bench and the file they name."""

import asyncio
import urllib.parse

import numpy as np
import pytest

import zopy
from zopy import record as recorder
from zopy import sim

pytest.importorskip("ophyd_async", reason="ophyd-async is not installed (pip install 'zopy[bluesky]')")
pytest.importorskip("bluesky")
pytest.importorskip("h5py")
import bluesky.plan_stubs as bps  # noqa: E402
import bluesky.preprocessors as bpp  # noqa: E402
from bluesky import RunEngine  # noqa: E402
from bluesky.plans import count, scan  # noqa: E402
from ophyd_async.core import soft_signal_rw  # noqa: E402
from ophyd_async.plan_stubs import ensure_connected  # noqa: E402

from zopy.bluesky import KV310, RecordingSettings, record_stream  # noqa: E402

@pytest.fixture(scope="module")
def RE():
    engine = RunEngine({})
    yield engine


@pytest.fixture
def docs(RE):
    collected = []
    token = RE.subscribe(lambda name, doc: collected.append((name, doc)))
    yield collected
    RE.unsubscribe(token)


@pytest.fixture
def det(RE):
    device = KV310(name="kv")
    RE(ensure_connected(device))
    yield device
    device.close()


def of(docs, name):
    return [doc for kind, doc in docs if kind == name]


def test_count_documents_and_values(RE, docs, det):
    sim.set_light(30.0, seed=3)
    RE(bps.mv(det.npts, 20_000))
    RE(count([det], num=5))
    (start,), (descriptor,), events, (stop,) = (of(docs, k) for k in ("start", "descriptor", "event", "stop"))
    assert start["plan_name"] == "count" and stop["exit_status"] == "success"
    assert stop["num_events"] == {"primary": 5} and len(events) == 5
    keys = descriptor["data_keys"]
    for key in ("kv-power", "kv-noise"):
        assert (keys[key]["units"], keys[key]["shape"], keys[key]["dtype"]) == ("uW", [], "number")
    config = descriptor["configuration"]["kv"]["data"]
    assert config == {"kv-highgain": True, "kv-antialias": True, "kv-wavelength": 1550.0,
                      "kv-npts": 20_000, "kv-samplerate": 1e7}
    powers = [e["data"]["kv-power"] for e in events]
    assert powers == pytest.approx([30.0] * 5, abs=0.01)
    assert len(set(powers)) == 5                     # a fresh block each time
    assert all(0.005 < e["data"]["kv-noise"] < 0.05 for e in events)


@pytest.mark.parametrize("power_uw, fraction", [(500.0, 1.0), (30.0, 0.0)])
def test_every_event_carries_the_over_range_fraction_hinted(RE, docs, det, caplog, power_uw, fraction):
    sim.set_light(power_uw)               # high gain ends near 200 µW
    RE(bps.mv(det.npts, 10_000))
    with caplog.at_level("WARNING", logger="zopy.bluesky"):
        RE(count([det], num=2))
    (descriptor,), events = of(docs, "descriptor"), of(docs, "event")
    assert "kv-over_range" in descriptor["hints"]["kv"]["fields"]
    assert [e["data"]["kv-over_range"] for e in events] == [fraction, fraction]
    assert len([r for r in caplog.records if "over range" in r.getMessage()]) == (2 if fraction else 0)


def test_scan_of_the_light_and_settings_that_reach_the_instrument(RE, docs, det):
    light = soft_signal_rw(float, 0.0, name="light", units="uW",
                           setter=lambda p: sim.set_light(p, wavelength_nm=1310.0))
    RE(bps.mv(det.highgain, False, det.wavelength, 1310.0))
    assert sim.state()["highgain"] is False
    RE(scan([det], light, 100.0, 1500.0, 5))           # low gain takes up to 2 mW
    events = of(docs, "event")
    assert [e["data"]["light"] for e in events] == pytest.approx([100, 450, 800, 1150, 1500])
    assert [e["data"]["kv-power"] for e in events] == pytest.approx(
        [e["data"]["light"] for e in events], rel=2e-3)
    assert of(docs, "descriptor")[0]["configuration"]["kv"]["data"]["kv-highgain"] is False


def test_wavelength_outside_the_band_is_refused(RE, det):
    with pytest.raises(Exception, match="400 nm is outside the photodiode's band"):
        RE(bps.mv(det.wavelength, 400.0))


def test_trigger_leaves_the_event_loop_running(RE, det):
    """A real-time block of 0.1 s: the loop runs other tasks while it is taken."""
    from bluesky.run_engine import call_in_bluesky_event_loop

    async def ticks_during_trigger():
        await det.npts.set(1_000_000)
        status = det.trigger()
        ticks = 0
        while not status.done:
            ticks += 1
            await asyncio.sleep(0.002)
        await status
        return ticks

    sim.set_realtime(True)
    assert call_in_bluesky_event_loop(ticks_during_trigger()) > 1


def recorded_file(docs):
    (resource_doc,) = [d for d in of(docs, "stream_resource") if d["parameters"]["dataset"] == "/samples"]
    datums = [d for d in of(docs, "stream_datum") if d["stream_resource"] == resource_doc["uid"]]
    path = urllib.parse.urlparse(resource_doc["uri"]).path
    return path, resource_doc, datums


def test_recording_run_points_to_its_file(RE, docs, det, tmp_path, file_size_limit):
    settings = RecordingSettings(tmp_path, samples=30_000, downsampling=10, filter="lowpass",
                                 cutoff=100e3, bits=True)
    sim.set_light(80.0, modulation_hz=2e3, modulation_depth=0.3)
    (uid,) = RE(record_stream(det, settings))
    (start,), (descriptor,), (stop,) = (of(docs, k) for k in ("start", "descriptor", "stop"))
    assert start["uid"] == uid and stop["exit_status"] == "success"
    assert descriptor["name"] == "recording"
    samples_key = descriptor["data_keys"]["kv-samples"]
    assert (samples_key["external"], samples_key["dtype_numpy"], samples_key["units"]) == ("STREAM:", "<f4", "uW")
    path, resource_doc, datums = recorded_file(docs)
    assert resource_doc["run_start"] == uid and resource_doc["mimetype"] == "application/x-hdf5"
    assert [d["indices"] for d in datums] == [{"start": 0, "stop": 30_000}]
    assert stop["num_events"] == {"recording": 30_000}
    data, bits, attrs = recorder.read(path)
    assert (attrs["complete"], attrs["filter"], attrs["samplerate_hz"]) == (True, "lowpass", 1e6)
    det.close()
    sim.reset()                                       # the same bench again: the same stream
    sim.set_light(80.0, modulation_hz=2e3, modulation_depth=0.3)
    with zopy.Device() as device, device.open_stream("float32") as stream:
        stream.set_filter("lowpass")
        stream.cutoff = 100e3
        stream.downsampling = 10
        ref, ref_bits = stream.acquire(30_000, getbits=True)
    assert data.tobytes() == ref.tobytes() and np.array_equal(bits, ref_bits)


def test_recording_beside_readings_stopped_early(RE, docs, det, tmp_path, file_size_limit):
    """Kickoff, readings of the detector in the primary stream, a stop: the file keeps
    what was written, marked incomplete, and the documents say exactly how much."""
    recorder_device = det.recorder
    settings = RecordingSettings(tmp_path, seconds=3600.0, downsampling=100)
    sim.set_realtime(True)            # paced as an instrument delivers: the stop comes within a read

    @bpp.run_decorator()
    def plan():
        yield from bps.prepare(recorder_device, settings, wait=True)
        yield from bps.declare_stream(recorder_device, name="recording", collect=True)
        yield from bps.kickoff(recorder_device, wait=True)
        yield from bps.trigger_and_read([det])
        yield from bps.trigger_and_read([det])
        yield from bps.stop(recorder_device)
        yield from bps.complete(recorder_device, wait=True)
        yield from bps.collect(recorder_device, name="recording")

    RE(plan())
    (stop,) = of(docs, "stop")
    assert stop["exit_status"] == "success" and stop["num_events"]["primary"] == 2
    path, _, datums = recorded_file(docs)
    data, _, attrs = recorder.read(path)
    written = datums[-1]["indices"]["stop"]
    assert attrs["complete"] is False and 0 < written == attrs["samples_written"] == data.size
    assert stop["num_events"]["recording"] == written < 3600 * 100_000


@pytest.mark.parametrize("settings, message", [
    (dict(), "give either seconds or samples"),
    (dict(samples=10, seconds=1.0), "give either seconds or samples"),
    (dict(samples=10, downsampling=0), "downsampling"),
])
def test_bad_recording_settings_fail_the_prepare(RE, det, tmp_path, settings, message):
    with pytest.raises(Exception, match=message):
        RE(bps.prepare(det.recorder, RecordingSettings(tmp_path, **settings), wait=True))
    assert list(tmp_path.iterdir()) == []


def test_scan_example_finds_its_recording_from_the_documents(tmp_path):
    import pathlib
    import subprocess
    import sys
    example = pathlib.Path(__file__).resolve().parent.parent / "examples" / "bluesky_scan.py"
    result = subprocess.run([sys.executable, "-P", str(example), str(tmp_path)],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    (line,) = [line for line in result.stdout.splitlines() if line.startswith("recording run")]
    (recording,) = tmp_path.iterdir()
    assert recording.as_uri() in line and "100000 samples, mean 180.000 µW" in line
