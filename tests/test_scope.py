"""zopy scope without a browser: frames, recording names, the acquisition thread,
what the server admits, and the command line."""

import asyncio
import base64
import collections
import http.client
import importlib.util
import json
import logging
import os
import pathlib
import queue
import re
import shlex
import signal
import socket
import subprocess
import sys
import threading
import time
import urllib.parse

import numpy as np
import pytest

import zopy
from zopy import analysis, record, sim
from zopy.__main__ import main
from zopy.scope import Scope, ScopeError, resolve_recording_name
from zopy.scope._frames import Context, FrameMaker

pytest.importorskip("scipy")
h5py = pytest.importorskip("h5py")
needs_bokeh = pytest.mark.skipif(importlib.util.find_spec("bokeh") is None,
                                 reason="the server needs bokeh (pip install 'zopy[scope]')")

RATE = 1e6
POWER = Context(samplerate_hz=RATE, units="µW", watts_per_unit=1e-6, limits=(0.0, 200.0),
                gain="high", wavelength_nm=1550.0, balanced=False)


def wait_for(condition, what, seconds=300.0):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return
        time.sleep(0.02)
    raise AssertionError(f"never saw {what}")


class TestFrames:
    @pytest.mark.parametrize("block, read", [(500, 120), (4096, 1000), (4096, 10_000)])
    def test_the_trace_is_the_latest_block_or_its_envelope(self, block, read):
        samples = np.random.default_rng(1).normal(50.0, 1.0, 30_000)
        maker = FrameMaker(POWER, block_length=block)
        for start in range(0, samples.size, read):
            maker.add(samples[start:start + read])
        frame = maker.frame(1, 0.0, 0.0)
        latest = samples[:(samples.size // read + (samples.size % read > 0)) * read][-block:]
        if block <= 1000:
            assert np.array_equal(frame.trace, latest.astype(np.float32)) and not frame.envelope
            assert np.allclose(frame.trace_time_s, np.arange(block) / RATE)
        else:
            envelope = analysis.Envelope(block, 1000)
            envelope.add(latest)
            assert frame.envelope
            assert np.array_equal(frame.trace[0::2], envelope.low.astype(np.float32))
            assert np.array_equal(frame.trace[1::2], envelope.high.astype(np.float32))
            assert np.array_equal(frame.trace_time_s[0::2], envelope.starts[:-1] / RATE)
        assert frame.mean == pytest.approx(latest.mean()) and frame.std == pytest.approx(latest.std())

    def test_the_spectrum_averages_the_last_n_blocks(self):
        rng = np.random.default_rng(2)
        blocks = [rng.normal(100.0, scale, 4096) for scale in (1.0, 2.0, 3.0, 4.0, 5.0)]
        maker = FrameMaker(POWER, block_length=4096, averaging=3)
        for block in blocks:
            maker.add(block)
        frame = maker.frame(1, 0.0, 0.0)
        expected = np.mean([analysis.psd(b * 1e-6, RATE).density[1:] for b in blocks[-3:]], axis=0)
        assert frame.averaged == 3 and frame.frequency_hz.size == 2047   # no DC, no Nyquist bin
        np.testing.assert_allclose(frame.density, expected, rtol=1e-10)
        maker.average.set_count(1)
        np.testing.assert_allclose(maker.frame(2, 0.0, 0.0).density,
                                   analysis.psd(blocks[-1] * 1e-6, RATE).density[1:], rtol=1e-10)

    @pytest.mark.parametrize("balanced, mean_uw, total_uw, level_power_uw", [
        (False, 100.0, None, 100.0),        # a single photodiode: its mean power
        (False, 0.001, None, None),         # dark: the mean is lost in the noise
        (True, 5.0, None, None),            # balanced: P1 - P2 says nothing of the light
        (True, 5.0, 2000.0, 2000.0),        # ... the total power typed on the page does
    ])
    def test_shot_noise_level_and_excess_noise(self, balanced, mean_uw, total_uw, level_power_uw):
        context = Context(**{**POWER.__dict__, "balanced": balanced, "limits": (-1e6, 1e6)})
        maker = FrameMaker(context, block_length=4096, averaging=4)
        maker.total_power_w = None if total_uw is None else total_uw * 1e-6
        rng = np.random.default_rng(3)
        for _ in range(4):
            maker.add(rng.normal(mean_uw, 0.05, 4096))
        frame = maker.frame(1, 0.0, 0.0)
        if level_power_uw is None:
            assert frame.shot_level is None and frame.excess_noise_db is None
            assert frame.shot_reference is None
            return
        level = analysis.shot_noise_level(level_power_uw * 1e-6, 1550.0)
        assert frame.shot_level == pytest.approx(level, rel=1e-3)
        spectrum = analysis.Spectrum(frame.frequency_hz, frame.density, RATE / 4096)
        assert frame.excess_noise_db == pytest.approx(
            analysis.excess_noise_db(spectrum, frame.shot_level, frame.band_hz))
        assert np.all(frame.shot_reference == frame.shot_level)     # no chain known: flat

    def test_the_reference_follows_the_chain(self):
        chain = analysis.Chain(input_samplerate_hz=RATE * 10, antialias=True, filter="lowpass",
                               cutoff_hz=RATE / 5, downsampling=10)
        context = Context(**{**POWER.__dict__, "limits": (-1e6, 1e6), "chain": chain})
        maker = FrameMaker(context, block_length=4096, averaging=2)
        rng = np.random.default_rng(5)
        for _ in range(2):
            maker.add(rng.normal(100.0, 0.05, 4096))
        frame = maker.frame(1, 0.0, 0.0)
        response = analysis.chain_response(frame.frequency_hz, chain)
        np.testing.assert_allclose(frame.shot_reference, frame.shot_level * response, rtol=1e-12)
        detector = analysis.detector_band(frame.frequency_hz, response)
        assert frame.band_hz == analysis.band_in_detector(RATE, detector)
        spectrum = analysis.Spectrum(frame.frequency_hz, frame.density, RATE / 4096)
        assert frame.excess_noise_db == pytest.approx(
            analysis.excess_noise_db(spectrum, frame.shot_level, frame.band_hz, chain))

    def test_over_range_counts_every_sample_since_the_last_frame_and_hides_the_excess_noise(self):
        maker = FrameMaker(POWER, block_length=4096)
        samples = np.full(10_000, 100.0)
        samples[::100] = 200.0                  # the top of the ADC's range
        maker.add(samples)
        frame = maker.frame(1, 0.0, 0.0)
        assert frame.over_range == pytest.approx(0.01) and frame.excess_noise_db is None
        maker.add(np.random.default_rng(4).normal(100.0, 0.1, 4096))
        assert maker.frame(2, 0.0, 0.0).over_range == 0


    @pytest.mark.parametrize("balanced, raw, level, balance", [
        (True, True, 8192.0, 0.0),       # raw codes of a balanced unit: from mid-scale
        (True, True, 8200.0, 8.0),
        (True, False, 3.0, 3.0),         # power: P1 - P2 as it is
        (False, True, 8192.0, 0.0),      # a single photodiode has no balance
    ])
    def test_the_balance_reads_zero_when_balanced(self, balanced, raw, level, balance):
        context = Context(**{**POWER.__dict__, "balanced": balanced, "limits": (0.0, 16383.0),
                             "units": "counts" if raw else "µW",
                             "watts_per_unit": None if raw else 1e-6})
        maker = FrameMaker(context, block_length=64)
        maker.add(np.full(64, level))
        frame = maker.frame(1, 0.0, 0.0)
        assert frame.balance == balance and frame.mean == level
        assert list(frame.balance_mean) == ([balance] if balanced else [])

    def test_new_settings_start_a_new_epoch_and_a_new_average(self):
        maker = FrameMaker(POWER, block_length=64, averaging=4)
        samples = np.random.default_rng(5).normal(100.0, 1.0, 320)
        for start in range(0, 256, 64):
            maker.add(samples[start:start + 64])
        before = maker.frame(1, 0.0, 0.0)
        maker.set_context(Context(**{**POWER.__dict__, "gain": "low"}))
        maker.add(samples[256:])
        after = maker.frame(2, 0.0, 0.0)
        assert (before.averaged, after.averaged) == (4, 1) and after.epoch == before.epoch + 1


class TestRecordingNames:
    @pytest.mark.parametrize("name, fault", [
        ("", "give the recording a file name"),
        ("/etc/passwd.h5", "not an absolute path"),
        ("~/run.h5", "not an absolute path"),
        ("../run.h5", "'..' is not allowed"),
        ("sub/../../run.h5", "'..' is not allowed"),
        ("run.png", "end its name in .h5"),
        ("missing/run.h5", "no folder missing"),
        ("escape/run.h5", "leads outside"),
        ("line\nbreak.h5", "control characters"),
    ])
    def test_names_outside_the_folder_are_refused(self, tmp_path, name, fault):
        (tmp_path / "rec").mkdir()
        (tmp_path / "rec" / "escape").symlink_to(tmp_path)
        with pytest.raises(ValueError, match=fault):
            resolve_recording_name(tmp_path / "rec", name)

    @pytest.mark.parametrize("name, path", [("run", "run.h5"), (" day1/run.hdf5 ", "day1/run.hdf5")])
    def test_names_inside_it_are_resolved_there(self, tmp_path, name, path):
        (tmp_path / "day1").mkdir()
        assert resolve_recording_name(tmp_path, name) == tmp_path.resolve() / path


class TestDarkReference:
    @pytest.mark.parametrize("mean_uw, balanced, refused", [
        (0.0, False, False), (0.0, True, False), (100.0, True, False), (100.0, False, True)])
    def test_taken_from_dark_blocks_and_gone_with_new_settings(self, mean_uw, balanced, refused):
        context = Context(**{**POWER.__dict__, "balanced": balanced, "limits": (-1e6, 1e6)})
        maker = FrameMaker(context, block_length=1024, averaging=2)
        dark = np.random.default_rng(6).normal(mean_uw, 0.05, 3 * 1024 + 100)
        if refused:
            with pytest.raises(ValueError, match="light reaches the photodiode"):
                maker.take_dark(dark)
            return
        maker.take_dark(dark)
        lit = np.random.default_rng(7).normal(mean_uw, 0.1, 2 * 1024)   # twice the dark noise
        maker.add(lit)
        frame = maker.frame(1, 0.0, 0.0)
        blocks = dark[:3 * 1024].reshape(3, 1024) * 1e-6
        expected = np.mean([analysis.welch(b, RATE, analysis.SEGMENT).density[1:] for b in blocks],
                           axis=0)
        np.testing.assert_allclose(frame.dark_density, expected, rtol=1e-12)
        assert frame.clearance_db == pytest.approx(6.0, abs=1.5)      # 4x the power: 6 dB
        maker.set_context(context)
        maker.add(lit)
        assert maker.frame(2, 0.0, 0.0).dark_density is None

    def test_the_virtual_bench_switches_the_light_off_for_it(self, live):
        sim.set_light(100.0, 1550.0)
        scope = live(downsampling=10)
        wait_for(lambda: scope.frame is not None, "the first frame", seconds=300)
        replies = Replies()
        scope.request("dark", None, replies)
        assert replies.last() == ("dark reference taken with the light switched off", False)
        assert sim.state()["light"]["power_uw"] == 100.0              # put back
        # a full average: at 100 µW the light's noise is only about 0.5 dB over the
        # dark floor, within the scatter of the first blocks after the restart
        wait_for(lambda: scope.frame.clearance_db is not None
                 and scope.frame.averaged == scope.settings.averaging, "the clearance", seconds=300)
        frame = scope.frame
        # the electronic floor (2.5 counts rms at high gain) through the stream's chain
        per_w = sim.COUNTS_PER_UW_HIGH * 1e6
        floor = (2.5 / per_w) ** 2 / (sim.DEFAULT_SAMPLERATE / 2)
        chain = scope._context().chain
        inside = (frame.frequency_hz >= frame.band_hz[0]) & (frame.frequency_hz <= frame.band_hz[1])
        ratio = frame.dark_density[inside].mean() / (
            floor * analysis.chain_response(frame.frequency_hz[inside], chain).mean())
        assert ratio == pytest.approx(1.0, rel=0.1)
        assert frame.clearance_db > 0


class Replies:
    """What the acquisition thread answers to requests."""

    def __init__(self):
        self.got = []
        self.event = threading.Event()

    def __call__(self, text, error):
        self.got.append((text, error))
        self.event.set()

    def last(self):
        assert self.event.wait(300), "no reply"
        self.event.clear()
        return self.got[-1]


@pytest.fixture
def live(tmp_path):
    scopes = []

    def start(serial=None, **options):
        options.setdefault("folder", tmp_path)
        options.setdefault("retry_seconds", 0.2)
        scopes.append(Scope(serial, **options))
        return scopes[-1]

    yield start
    for scope in scopes:
        scope.close()


class TestAcquisition:
    def test_requests_act_on_the_instrument_and_come_back_as_settings(self, live):
        sim.set_light(50.0)
        scope = live()
        replies = Replies()
        scope.request("highgain", False)
        scope.request("downsampling", 20)
        scope.request("wavelength_nm", 3000.0, replies)
        assert replies.last() == ("wavelength 3000 nm is outside the photodiode's band", True)
        assert not sim.state()["highgain"]
        settings = scope.settings
        assert (settings.highgain, settings.downsampling, settings.wavelength_nm) == (False, 20, 1550.0)
        wait_for(lambda: scope.frame and scope.frame.samplerate_hz == 5e5, "frames at 500 kS/s")
        assert scope.frame.gain == "low" and scope.frame.mean == pytest.approx(50.0, rel=0.01)

    def test_a_recording_locks_the_settings_and_closing_marks_it_incomplete(self, live, small_disk):
        folder = small_disk("32m")
        scope = live(folder=folder, downsampling=100)
        replies = Replies()
        scope.request("record", (folder / "a.h5", False), replies)
        assert replies.last() == ("recording a.h5", False)
        scope.request("highgain", False, replies)
        assert replies.last()[0].startswith("stop the recording first")
        assert sim.state()["highgain"] and scope.settings.recording == "a.h5"
        wait_for(lambda: "s" in scope.status.text and scope.samples_read > 50_000, "samples")
        stopped = scope.close()
        data, _, attrs = record.read(folder / "a.h5")
        assert stopped.samples == data.size > 0 and not attrs["complete"] and not stopped.complete

    @pytest.mark.parametrize("limit, bits, samples, shown", [
        ({"record_limit_s": 0.5}, False, 50_000, "0.5 s"),
        ({"record_limit_bytes": 200_000}, True, 40_000, "200 kB"),    # 4 + 1 bytes a sample
        ({"record_limit_s": 60, "record_limit_bytes": 100_000}, False, 25_000, "100 kB"),
    ])
    def test_a_recording_stops_complete_at_its_limit(self, live, small_disk, limit, bits, samples,
                                                     shown):
        folder = small_disk("16m")
        scope = live(folder=folder, downsampling=100, bits=bits, **limit)     # 100 kS/s
        scope.request("total_power_uw", 1500.0)
        replies = Replies()
        scope.request("record", (folder / "a.h5", False), replies)
        assert replies.last() == ("recording a.h5", False)
        wait_for(lambda: scope.settings.recording is None, "the end of the recording")
        assert scope.status.text.startswith(f"recording stopped at its limit of {shown}: a.h5: "
                                             f"{samples} samples")
        data, read_bits, attrs = record.read(folder / "a.h5")
        assert attrs["complete"] and data.size == attrs["samples_written"] == samples
        assert (read_bits is not None) == bits
        assert (attrs["scope_total_power_uw"], attrs["scope_averaging"],
                attrs["scope_block_length"]) == (1500.0, 16, 4096)

    def test_a_recording_shows_its_progress(self, live, small_disk):
        folder = small_disk("16m")
        scope = live(folder=folder, downsampling=100, record_limit_s=30)
        scope.request("record", (folder / "a.h5", False))
        wait_for(lambda: scope.status.recording and " s, " in scope.status.text
                 and float(scope.status.text.split(": ")[1].split()[0]) >= 2.0, "2 s recorded",
                 seconds=120)
        text = scope.status.text
        seconds, samples, size = text.split(": ")[1].split(", ")[:3]
        assert text.startswith("recording a.h5: ") and text.endswith("stops at 30 s")
        assert int(samples.split()[0].replace(",", "")) == pytest.approx(
            float(seconds.split()[0]) * 1e5, abs=5_000)
        assert size.split(" at ")[1].endswith("kB/s") and "MB free" in text
        scope.request("stop_recording")
        wait_for(lambda: not scope.status.recording, "the end")
        assert "complete" in scope.status.text and not scope.status.error

    @pytest.mark.parametrize("option, value", [
        ("record_limit_s", 0), ("record_limit_s", -1.0), ("record_limit_s", float("nan")),
        ("record_limit_s", "soon"), ("record_limit_bytes", 0.5), ("record_limit_bytes", "1 GB"),
    ])
    def test_a_limit_must_be_positive(self, live, option, value):
        with pytest.raises(ScopeError, match="must be a"):
            live(**{option: value})
        scope = live()
        replies = Replies()
        scope.request(option, value, replies)
        text, error = replies.last()
        assert error and "must be a" in text and getattr(scope.settings, option) is None

    def test_a_triggered_block_waits_for_its_trigger_and_pauses_the_view(self, live):
        scope = live()
        replies = Replies()
        scope.request("trig_port", "T")
        scope.request("trigger", None, replies)
        assert replies.last() == ("no trigger (rising on port T) within the instrument's "
                                  "timeout", True)
        sim.set_port_input("T", frequency_hz=1e3)
        scope.request("trigger")
        wait_for(lambda: scope.frame.source == "triggered: rising on T", "the triggered block")
        frame = scope.frame
        assert frame.samplerate_hz == 10e6 and frame.block_length == 4096
        assert not scope.settings.running
        time.sleep(0.2)
        assert scope.frame is frame            # paused on it

    def test_wrong_choices_fail_in_the_callers_thread(self, live, tmp_path):
        with pytest.raises(zopy.NoDeviceError):
            live("nope")
        with pytest.raises(ScopeError, match="outside the photodiode's band"):
            live(wavelength=3000.0)
        with pytest.raises(ScopeError, match="no such folder"):
            live(folder=tmp_path / "missing")
        assert not sim.state()["open"]


def _free_port(host="127.0.0.1"):
    with socket.socket() as probe:
        probe.bind((host, 0))
        return probe.getsockname()[1]


def _get(host, port, path, headers=None):
    connection = http.client.HTTPConnection(host, port, timeout=30)
    try:
        connection.request("GET", path, headers=headers or {})
        response = connection.getresponse()
        response.read()
        return response.status, response.getheader("Set-Cookie") or ""
    finally:
        connection.close()


@needs_bokeh
class TestServer:
    @pytest.mark.parametrize("host", ["127.0.0.1", "127.0.0.2"])
    def test_only_the_printed_url_admits_a_client(self, live, host):
        from zopy.scope._server import ScopeServer
        try:
            server = ScopeServer(live(), host=host, port=0).start()
        except ScopeError as exc:
            pytest.skip(str(exc))
        try:
            port, token = server.port, server.token
            assert _get(host, port, "/")[0] == 403
            assert _get(host, port, "/?token=" + "x" * len(token))[0] == 403
            status, cookie = _get(host, port, "/?token=" + urllib.parse.quote(token))
            assert status == 200 and cookie.startswith(f"zopy-scope-{port}=")

            def websocket(origin, cookie=None, protocol="bokeh, x"):
                headers = {"Upgrade": "websocket", "Connection": "Upgrade",
                           "Sec-WebSocket-Version": "13", "Origin": origin,
                           "Sec-WebSocket-Key": base64.b64encode(os.urandom(16)).decode(),
                           "Sec-WebSocket-Protocol": protocol}
                if cookie:
                    headers["Cookie"] = cookie
                return _get(host, port, "/ws", headers)[0]

            assert websocket(f"http://{host}:{port}") == 403                      # no token
            assert websocket("http://elsewhere.example", f"zopy-scope-{port}={token}") == 403
            assert server.url.startswith(f"http://{host}:{port}/?token=")
            assert server.origins[0] == f"{host}:{port}"
        finally:
            server.stop()

    @pytest.mark.parametrize("protocol", ["bokeh, x", "bokeh, !!!.e30", "bokeh", "bokeh, a, b",
                                          "other, e30", ""])
    def test_a_malformed_websocket_request_is_refused_in_one_line(self, live, caplog, protocol):
        from zopy.scope._server import ScopeServer, quiet_bokeh_logs
        names = ("bokeh", "bokeh.server.views.ws", "tornado.access")
        levels = [logging.getLogger(name).level for name in names]
        quiet_bokeh_logs()                     # as the command line does
        server = ScopeServer(live(), port=0).start()
        try:
            headers = {"Upgrade": "websocket", "Connection": "Upgrade",
                       "Sec-WebSocket-Version": "13", "Origin": f"http://127.0.0.1:{server.port}",
                       "Sec-WebSocket-Key": base64.b64encode(os.urandom(16)).decode(),
                       "Sec-WebSocket-Protocol": protocol,
                       "Cookie": f"zopy-scope-{server.port}={server.token}"}
            with caplog.at_level(logging.INFO):
                assert _get("127.0.0.1", server.port, "/ws", headers)[0] == 403
                assert _get("127.0.0.1", server.port, "/?token=" + server.token)[0] == 200
        finally:
            server.stop()
            for name, level in zip(names, levels):
                logging.getLogger(name).setLevel(level)
        refusals = [r for r in caplog.records if r.levelno >= logging.WARNING]
        assert [r.getMessage() for r in refusals] == [
            "refused GET /ws from 127.0.0.1: malformed Bokeh subprotocol"]
        assert not any(r.exc_info for r in caplog.records)

    def test_fifty_clients_leave_the_server_responsive_and_its_memory_as_it_was(self, tmp_path):
        # The server runs in an interpreter of its own: what pytest keeps (log
        # records, frozen objects) is not counted as the server's.
        server = subprocess.Popen([sys.executable, "-P", "-c", _MEASURED_SERVER, str(tmp_path)],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, text=True)
        lines, errors = queue.Queue(), collections.deque(maxlen=40)
        for stream, sink in ((server.stdout, lines.put), (server.stderr, errors.append)):
            threading.Thread(target=_each_line, args=(stream, sink), daemon=True).start()

        def reply():
            try:
                return json.loads(lines.get(timeout=600))
            except (queue.Empty, ValueError):
                raise AssertionError("the server did not answer:\n" + "".join(errors)) from None

        def measure():
            server.stdin.write("measure\n")
            server.stdin.flush()
            return reply()

        try:
            address = reply()
            asyncio.run(_open_pages(**address, count=5, at_once=5))    # caches at their size
            before = measure()
            asyncio.run(_open_pages(**address, count=50, at_once=10))
            after = measure()
            assert (after["pages"], after["documents"]) == (0, 0), after
            assert after["held"] - before["held"] < 5 << 20, (before, after)
            asyncio.run(_open_pages(**address, count=1, at_once=1))    # still serves live pages
        finally:
            server.stdin.close()
            try:
                server.wait(120)
            finally:
                server.kill()


@needs_bokeh
class TestPage:
    def test_a_range_widens_at_once_narrows_after_a_second_and_holds_for_the_user(self, monkeypatch):
        from zopy.scope import _page
        clock = [100.0]
        monkeypatch.setattr(_page.time, "monotonic", lambda: clock[0])
        auto = _page.AutoRange()

        def shown():
            return auto.range.start, auto.range.end

        auto.follow(0.0, 10.0)
        assert shown() == pytest.approx((-1.0, 11.0))           # out of view: shown at once
        auto.follow(5.0, 6.0)                                    # small: not yet
        clock[0] += 0.9
        auto.follow(5.0, 6.0)
        assert shown() == pytest.approx((-1.0, 11.0))
        clock[0] += 0.2
        auto.follow(5.0, 6.0)                                    # small for over a second
        assert shown() == pytest.approx((4.9, 6.1))
        auto.follow(8188.0, 8196.0)
        assert shown() == pytest.approx((8187.2, 8196.8))
        auto.hold()                                              # the user panned or zoomed
        auto.follow(-5.0, 5.0, snap=True)
        assert shown() == pytest.approx((8187.2, 8196.8))
        auto.release()                                           # ... and pressed reset
        auto.follow(40.0, 40.1, snap=True)                       # new settings: at once
        assert shown() == pytest.approx((39.99, 40.11))

    @pytest.mark.parametrize("value, units, text", [
        (40.0, "µW", "40 µW"), (-0.0005123, "µW", "−512.3 pW"), (0.25, "mW", "250 µW"),
        (1500.0, "µW", "1.5 mW"), (0.0, "W", "0 fW"), (8.0, "counts", "8 counts"),
    ])
    def test_readings_in_engineering_notation(self, value, units, text):
        from zopy.scope._page import _engineering
        assert _engineering(value, units) == text

    @pytest.mark.parametrize("density, references, extent", [
        ([0.0, 0.0, 0.0], [], None),                             # an empty block
        ([1e-22, 1e-21, 1e-85, 1e-20], [], (1e-32, 1e-20)),      # a bin at rounding error's level
        ([1e-22, 1e-21, 1e-20], [5e-23], (5e-23, 1e-20)),        # the shot-noise line in view
        ([np.nan, 1e-21, np.inf], [], (1e-21, 1e-21)),
    ])
    def test_the_spectrum_axis_spans_what_is_worth_showing(self, density, references, extent):
        from zopy.scope._page import _spectrum_extent
        got = _spectrum_extent(np.array(density), references)
        assert got == (None if extent is None else pytest.approx(extent, rel=0.05))


@needs_bokeh
class TestCommandLine:
    @pytest.mark.parametrize("argv, message", [
        (["--serial", "nope"], "no instrument found whose serial contains 'nope'"),
        (["--folder", "/no/such/folder"], "no such folder"),
        (["--wavelength", "3000"], "wavelength 3000 nm is outside the photodiode's band"),
        (["--port", "70000"], "a port is 0 to 65535, not 70000"),
        (["--block", "8"], "must be at least 16"),
    ])
    def test_a_failure_is_one_line(self, capsys, argv, message):
        status = main(["scope", "--no-browser", *argv])
        err = capsys.readouterr().err
        assert status in (1, 2) and err.count("\n") == 1 and message in err, err
        assert not sim.state()["open"]

    def test_a_port_in_use_is_one_line(self, capsys):
        with socket.socket() as taken:
            taken.bind(("127.0.0.1", 0))
            taken.listen()
            status = main(["scope", "--no-browser", "--port", str(taken.getsockname()[1])])
        err = capsys.readouterr().err
        assert status == 1 and "is in use" in err and err.count("\n") == 1
        assert not sim.state()["open"]

    def test_ctrl_c_stops_the_server_and_closes_the_instrument(self, capsys, tmp_path):
        port = _free_port()
        seen = {}

        def interrupt_once_served():
            wait_for(lambda: _reachable(port), "the server")
            seen["open"] = sim.state()["open"]
            os.kill(os.getpid(), signal.SIGINT)

        helper = threading.Thread(target=interrupt_once_served)
        helper.start()
        status = main(["scope", "--no-browser", "--port", str(port), "--folder", str(tmp_path)])
        helper.join()
        out, err = capsys.readouterr()
        assert status == 0 and seen["open"] and not sim.state()["open"]
        assert f"http://127.0.0.1:{port}/?token=" in out and "zopy scope stopped" in err


    def test_the_readme_example_runs_in_an_empty_folder(self, capsys, tmp_path, monkeypatch):
        readme = (pathlib.Path(__file__).resolve().parent.parent / "README.md").read_text()
        block = next(block for block in re.findall(r"```sh\n(.*?)```", readme, re.S)
                     if "zopy scope --" in block)
        monkeypatch.chdir(tmp_path)
        sim.attach("KV31B0001", balanced=True)
        port = _free_port()
        status = None
        for line in block.splitlines():
            argv = shlex.split(line, comments=True)
            if argv[0] == "mkdir":
                subprocess.run(argv, check=True)
            elif "--folder" in argv:
                helper = threading.Thread(target=lambda: (
                    wait_for(lambda: _reachable(port), "the server", seconds=300),
                    os.kill(os.getpid(), signal.SIGINT)))
                helper.start()
                status = main([*argv[1:], "--port", str(port)])
                helper.join()
        out, err = capsys.readouterr()
        assert status == 0 and "KV31B0001 (balanced)" in out, err


def test_without_bokeh_the_command_says_how_to_install_it(capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "bokeh", None)      # as if not installed
    status = main(["scope", "--no-browser"])
    err = capsys.readouterr().err
    assert status == 1 and err.count("\n") == 1
    assert "this needs bokeh, which is not installed" in err and "'zopy[scope]'" in err


# A scope's server that, asked to "measure", waits for its pages and their
# documents to be gone and answers with the bytes its allocations hold (the
# small blocks of Python's own allocator plus malloc's chunks in use): freed
# memory that the allocators keep for later is not held. Its resident size,
# trimmed, comes along to be seen in a failure.
_MEASURED_SERVER = """
import ctypes, gc, json, os, re, sys, tempfile, time
from bokeh.document import Document
from zopy.scope import Scope
from zopy.scope._server import ScopeServer, quiet_bokeh_logs

libc = ctypes.CDLL("libc.so.6")

class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]

libc.mallinfo2.restype = MallInfo2

def python_blocks():
    with tempfile.TemporaryFile("w+") as stats:
        saved = os.dup(2)
        os.dup2(stats.fileno(), 2)
        try:
            sys._debugmallocstats()
        finally:
            os.dup2(saved, 2)
            os.close(saved)
        stats.seek(0)
        found = re.search(r"# bytes in allocated blocks\\s*=\\s*([\\d,]+)", stats.read())
    return int(found.group(1).replace(",", ""))

def measure():
    deadline = time.monotonic() + 300
    while scope.pages and time.monotonic() < deadline:
        time.sleep(0.1)
    deadline = time.monotonic() + 120     # a page's document goes moments after the page
    while True:
        gc.collect()
        documents = sum(isinstance(o, Document) for o in gc.get_objects())
        if not documents or time.monotonic() > deadline:
            break
        time.sleep(0.1)
    libc.malloc_trim(0)
    malloc = libc.mallinfo2()
    with open("/proc/self/statm") as statm:
        rss = int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    return dict(pages=len(scope.pages), documents=documents, rss=rss,
                held=python_blocks() + malloc.uordblks + malloc.hblkhd)

quiet_bokeh_logs()
scope = Scope(None, folder=sys.argv[1], retry_seconds=0.2)
server = ScopeServer(scope, port=0).start()
print(json.dumps(dict(port=server.port, token=server.token)), flush=True)
for command in sys.stdin:
    print(json.dumps(measure()), flush=True)
server.stop()
scope.close()
"""


def _each_line(stream, sink):
    for line in stream:
        sink(line)


async def _open_pages(port, token, count, at_once):
    """Opens ``count`` pages, ``at_once`` at a time, as a browser does (the
    page, then its WebSocket), and closes each once a frame has reached it."""
    from tornado.httpclient import AsyncHTTPClient, HTTPRequest
    from tornado.websocket import websocket_connect

    async def one():
        page = await AsyncHTTPClient().fetch(f"http://127.0.0.1:{port}/?token={token}",
                                             request_timeout=300)
        session = re.search(r'"token":"([^"]+)"', page.body.decode()).group(1)
        socket = await websocket_connect(HTTPRequest(
            f"ws://127.0.0.1:{port}/ws", connect_timeout=300, request_timeout=300,
            headers={"Origin": f"http://127.0.0.1:{port}", "Cookie": f"zopy-scope-{port}={token}"}),
            subprotocols=["bokeh", session])
        try:
            while True:
                message = await asyncio.wait_for(socket.read_message(), 300)
                assert message is not None, "the server closed a page"
                if isinstance(message, str) and message.startswith("{") \
                        and json.loads(message).get("msgtype") == "PATCH-DOC":
                    return
        finally:
            socket.close()

    for start in range(0, count, at_once):
        await asyncio.gather(*(one() for _ in range(min(at_once, count - start))))


def _reachable(port):
    try:
        return _get("127.0.0.1", port, "/")[0] == 403
    except OSError:
        return False
