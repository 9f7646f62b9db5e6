"""zopy scope as a person sees it: pages in headless Chromium (Debian's chromium and
chromium-driver, driven by selenium) against the server on 127.0.0.1 and the virtual bench.

Without Chromium these tests skip, unless ZOPY_REQUIRE_BROWSER is set (as .ci/run
does, which installs it): then they fail, so that CI cannot pass without running them.
"""

import os
import pathlib
import socket
import subprocess
import sys

import numpy as np
import pytest

import zopy
from zopy import record, sim

pytest.importorskip("bokeh")
h5py = pytest.importorskip("h5py")

from _browser import FIND, require_chromium, wait_for  # noqa: E402

require_chromium()

from zopy import scope  # noqa: E402
from zopy.scope._server import ScopeServer  # noqa: E402

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"


class Page:
    """One browser tab on a scope's page, read and clicked as a person would."""

    def __init__(self, driver, url):
        self.driver = driver
        driver.get("about:blank")      # the page of an earlier test goes now, with its logs
        driver.get_log("browser")
        driver.get(url)
        wait_for(lambda: "Mean power" in self.numbers() or "P1 − P2" in self.numbers(),
                 "its first frame")

    def element(self, css_class):
        return self.driver.execute_script(FIND + "return find(document, arguments[0]);",
                                          f".{css_class}")

    def text(self, css_class):
        """The text a Div shows (read in one step: Bokeh redraws it as it changes)."""
        return self.driver.execute_script(
            FIND + "; const host = find(document, arguments[0]);"
            "return host ? host.shadowRoot.querySelector('div').innerText : '';", f".{css_class}")

    def numbers(self):
        """The numbers the page shows, a line each: label, then value."""
        data = self.driver.execute_script(
            "const doc = window.Bokeh && Bokeh.documents[0];"
            "const n = doc && doc.get_model_by_name('numbers');"
            "return n ? [Array.from(n.data.label), Array.from(n.data.value)] : [[], []];")
        return "\n".join(f"{label} {value}".strip() for label, value in zip(*data))

    def number(self, label):
        """The value after ``label`` in the numbers, in the unit it is shown in."""
        line = next(line for line in self.numbers().splitlines() if line.startswith(label))
        return float(line[len(label):].split()[0].replace("−", "-"))

    def click(self, css_class, label):
        buttons = self.element(css_class).shadow_root.find_elements("css selector", "button")
        next(b for b in buttons if b.text == label).click()

    def type_into(self, css_class, text):
        field = self.element(css_class).shadow_root.find_element("css selector", "input")
        field.clear()
        field.send_keys(text + "\n")

    def model(self, name, attribute):
        return self.driver.execute_script(
            "return Bokeh.documents[0].get_model_by_name(arguments[0])[arguments[1]]",
            name, attribute)

    def frame_data(self):
        """The trace and the spectrum the page holds now, and the frame they are of."""
        return self.driver.execute_script("""
            const doc = Bokeh.documents[0];
            const y = doc.get_model_by_name('trace').data.y;
            const p = doc.get_model_by_name('spectrum').data.density;
            return [Array.from(y), Array.from(p), doc.get_model_by_name('scope').tags[0].rendered];
        """)

    def y_range(self, plot, axis="y_range"):
        """(start, end) of a plot's range, as the browser has it."""
        return self.driver.execute_script(
            "const r = Bokeh.documents[0].get_model_by_name(arguments[0])[arguments[1]];"
            "return [r.start, r.end];", plot, axis)

    def console_errors(self):
        return [entry for entry in self.driver.get_log("browser") if entry["level"] == "SEVERE"]


@pytest.fixture(scope="module")
def browser(chromium):
    """The first window, shared by the tests of this file."""
    return chromium()


@pytest.fixture
def serve():
    """``serve(serial=None, **options)``: a Scope of the bench's instrument served on
    127.0.0.1 on a free port, from a thread; both stopped after the test."""
    running = []

    def start(serial=None, **options):
        options.setdefault("retry_seconds", 0.5)
        live = scope.Scope(serial, **options)
        server = ScopeServer(live, port=0)
        running.append((live, server))
        server.start()
        return live, server

    yield start
    for live, server in running:
        server.stop()
        live.close()


def test_the_page_shows_new_frames_without_errors(serve, browser, tmp_path):
    sim.set_light(50.0, modulation_hz=20e3, modulation_depth=0.2)
    live, server = serve()
    page = Page(browser, server.url)
    trace, spectrum, seq = page.frame_data()
    assert len(trace) == 2 * 1000 and len(spectrum) == 2047     # envelope of 4096; no DC, no Nyquist
    # a later frame that drew a later block (a busy machine may send a frame or two of the same)
    wait_for(lambda: (data := page.frame_data())[2] > seq + 2 and data[0] != trace,
             "a later frame with a new trace")
    # the spectrum is brought up to date a few times a second, not with every frame
    wait_for(lambda: page.frame_data()[1] != spectrum, "a later spectrum")
    assert page.number("Mean power") == pytest.approx(50.0, rel=0.01)
    assert page.number("Sample rate") == 1 and "MS/s" in page.numbers()
    browser.execute_cdp_cmd("Browser.setDownloadBehavior",
                            {"behavior": "allow", "downloadPath": str(tmp_path)})
    page.click("zopy-spectrum-csv", "Spectrum CSV")
    csv = tmp_path / "spectrum.csv"
    wait_for(lambda: csv.exists() and csv.read_text().endswith("\n"), "the spectrum's CSV")
    header, *rows = csv.read_text().splitlines()
    assert header == "frequency_hz,density_W2_per_Hz,db_re_shot_noise" and len(rows) == 2047
    frequency, density = np.loadtxt(rows, delimiter=",", usecols=(0, 1)).T
    peak = frequency[np.argmax(density)]
    assert peak == pytest.approx(20e3, rel=0.01)       # the modulation, as the page drew it
    assert page.console_errors() == []
    # the page's WebSocket sends each frame at once, not held back by Nagle's algorithm
    assert any(nodelay_of_connections(server.port))


def nodelay_of_connections(port):
    """TCP_NODELAY of each connection that this process (whose thread serves) accepted on ``port``."""
    found = []
    for name in os.listdir("/proc/self/fd"):
        try:
            fd = os.dup(int(name))
        except OSError:
            continue
        try:
            with socket.socket(fileno=fd) as conn:
                fd = None                                   # the socket closes it
                if (conn.family in (socket.AF_INET, socket.AF_INET6)
                        and conn.type == socket.SOCK_STREAM and conn.getsockname()[1] == port):
                    conn.getpeername()                      # not the listening socket
                    found.append(conn.getsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY))
        except OSError:
            pass
        finally:
            if fd is not None:
                os.close(fd)
    return found


def test_the_db_view_draws_the_spectrum_over_shot_noise_and_back(serve, browser):
    sim.set_light(50.0)
    live, server = serve()
    page = Page(browser, server.url)

    def shown(name):
        return page.driver.execute_script(
            "return Array.from(Bokeh.documents[0].get_model_by_name(arguments[0]).data.db)", name)

    page.click("zopy-db", "dB re shot noise")
    wait_for(lambda: page.model("spectrum_db_plot", "visible") and shown("spectrum_db"),
             "the spectrum in dB")
    assert not page.model("spectrum_plot", "visible")
    first = shown("spectrum_db")
    wait_for(lambda: shown("spectrum_db") != first, "a later spectrum in dB")
    # lit by 50 µW, the virtual detector is near its shot noise: a few dB above it
    assert 0 < np.median(shown("spectrum_db")) < 20
    page.click("zopy-db", "W²/Hz")
    wait_for(lambda: page.model("spectrum_plot", "visible"), "the spectrum in W²/Hz")
    density = page.frame_data()[1]
    wait_for(lambda: page.frame_data()[1] != density, "a later spectrum in W²/Hz")
    assert page.console_errors() == []


def test_switching_the_gain_on_the_page_unclips_the_power(serve, browser):
    sim.set_light(500.0)     # beyond what high gain takes (about 197.5 µW)
    live, server = serve()
    page = Page(browser, server.url)
    wait_for(lambda: "Over range" in page.numbers().split("% of samples")[-1],
             "the over-range warning")
    assert page.number("Mean power") == pytest.approx(197.5, abs=0.5)
    page.click("zopy-gain", "Low gain")
    wait_for(lambda: not sim.state()["highgain"], "the instrument in low gain")
    wait_for(lambda: abs(page.number("Mean power") - 500.0) < 1.0, "500 µW")
    assert "clipped" not in page.numbers()
    assert page.number("Over range") == 0
    wait_for(lambda: spectrum_in_view(page), "the spectrum's axis on the data's decades")


def spectrum_in_view(page):
    """Whether the spectrum's axis spans its measured line, and not many decades more."""
    density = [x for x in page.frame_data()[1] if x > 0]
    start, end = page.y_range("spectrum_plot")
    return start <= min(density) and max(density) <= end and end / start < 1e15


def test_the_balance_follows_the_light_on_p2(serve, browser):
    sim.detach_all()
    sim.attach("BAL1", balanced=True)
    sim.set_light(500.0, p2_power_uw=500.0)
    live, server = serve()
    page = Page(browser, server.url)
    wait_for(lambda: abs(bar(page)) < 1e-6, "a balanced unit")
    wait_for(lambda: page.y_range("balance_plot", "x_range")[1] < 1e-6,
             "the meter zoomed in on the balance")
    sim.set_light(500.0, p2_power_uw=460.0)
    wait_for(lambda: abs(bar(page) - 40e-6) < 1e-6, "the balance at +40 µW")
    wait_for(lambda: trace_in_view(page), "the trace's axis on the new data")
    start, end = page.y_range("balance_history")
    assert start < 0 < 40e-6 < end < 400e-6        # the bar in view, on a scale of its size
    wait_for(lambda: abs(page.number("P1 − P2 mean") - 40.0) < 1.0, "P1 − P2 at 40 µW")
    # the history, a slower panel than the bar, holds both states of the last 30 s
    wait_for(lambda: (h := page.model("balance", "data")["mean"]) and min(h) < 1e-6 and max(h) > 39e-6,
             "both balances in the history")
    assert page.console_errors() == []


def bar(page):
    """Where the balance meter's bar ends (W, or counts from mid-scale)."""
    return page.model("balance_bar", "data")["right"][0]


def trace_in_view(page):
    trace = page.frame_data()[0]
    start, end = page.y_range("trace_plot")
    return start <= min(trace) and max(trace) <= end and (end - start) < 10 * (max(trace) - min(trace)) + 1e-3


def test_raw_counts_of_a_balanced_unit_read_zero_at_balance(serve, browser):
    sim.detach_all()
    sim.attach("BAL1", balanced=True)
    sim.set_light(500.0, p2_power_uw=500.0)
    live, server = serve()
    page = Page(browser, server.url)
    page.click("zopy-raw", "Raw counts")
    wait_for(lambda: "counts" in page.numbers(), "raw counts")
    wait_for(lambda: trace_in_view(page) and min(page.frame_data()[0]) > 8000,
             "the trace's axis on the codes around mid-scale")
    assert abs(page.number("P1 − P2 mean")) < 5 and abs(bar(page)) < 5


def test_the_record_button_records_what_the_stream_delivered(serve, browser, small_disk):
    folder = small_disk("64m")
    sim.set_light(80.0, modulation_hz=2e3, modulation_depth=0.3, seed=7)
    live, server = serve(downsampling=100, bits=True, folder=folder)    # 100 kS/s
    page = Page(browser, server.url)
    page.type_into("zopy-record-name", "run")
    wait_for(lambda: page.model("record_name", "value") == "run", "the file name")
    page.click("zopy-record", "Record")
    wait_for(lambda: "recording run.h5" in page.text("zopy-status"), "the recording")
    wait_for(lambda: recorded_seconds(page) >= 1.5, "1.5 s recorded")
    page.click("zopy-record", "Stop recording")
    wait_for(lambda: "complete" in page.text("zopy-status"), "the end of the recording")
    read = live.samples_read
    server.stop()
    live.close()

    data, bits, attrs = record.read(folder / "run.h5")
    assert attrs["complete"] and attrs["samples_written"] == data.size > 150_000
    assert attrs["samplerate_hz"] == 1e5 and attrs["filter"] == "lowpass"
    sim.reset()      # the same bench, read again from its start in one go
    sim.set_light(80.0, modulation_hz=2e3, modulation_depth=0.3, seed=7)
    with zopy.Device() as device, device.open_stream("float32") as stream:
        stream.downsampling = 100
        stream.filter = "lowpass"
        stream.cutoff = live.settings.cutoff_hz
        replay, replay_bits = stream.acquire(read, getbits=True)
    starts = [i for i in np.flatnonzero(replay == data[0]) if i + data.size <= read
              and np.array_equal(replay[i:i + data.size], data)]
    assert len(starts) == 1, "the file is one gap-free stretch of the stream"
    assert np.array_equal(replay_bits[starts[0]:starts[0] + data.size], bits)


def test_a_recording_with_a_size_limit_stops_there_whole(serve, browser, small_disk):
    folder = small_disk("16m")
    sim.set_light(80.0)
    live, server = serve(downsampling=100, folder=folder)     # 100 kS/s of float32: 400 kB/s
    page = Page(browser, server.url)
    page.type_into("zopy-record-limit-mb", "0.5")
    wait_for(lambda: live.settings.record_limit_bytes == 500_000, "the limit in force")
    live.request("total_power_uw", 80.0)      # as typed on a balanced unit's page
    wait_for(lambda: live.settings.total_power_uw == 80.0, "the total power")
    page.type_into("zopy-record-name", "limited")
    wait_for(lambda: page.model("record_name", "value") == "limited", "the file name")
    page.click("zopy-record", "Record")
    wait_for(lambda: "free" in page.text("zopy-status"), "the recording's progress")
    assert "stops at 500 kB" in page.text("zopy-status")
    wait_for(lambda: "stopped at its limit of 500 kB" in page.text("zopy-status"), "the stop")
    assert live.settings.recording is None and page.model("record", "label") == "Record"
    data, _, attrs = record.read(folder / "limited.h5")
    assert attrs["complete"] and data.size == attrs["samples_written"] == 500_000 // 4
    assert attrs["scope_total_power_uw"] == 80.0 and attrs["scope_averaging"] == 16


def test_four_pages_at_once_each_keep_drawing(serve, browser, chromium):
    live, server = serve()
    pages = [Page(browser, server.url)] + [Page(chromium(), server.url) for _ in range(3)]
    seen = [page.frame_data()[2] for page in pages]
    for page, seq in zip(pages, seen):
        wait_for(lambda: page.frame_data()[2] > seq + 10, "ten more frames in each page")
    assert len(live.pages) == 4
    assert all(page.console_errors() == [] for page in pages)


def recorded_seconds(page):
    """The length of the recording that the status line shows (0 before it does)."""
    status = page.text("zopy-status").removeprefix("● ")
    return float(status.split(": ")[1].split()[0]) if status.startswith("recording run") else 0.0


def test_recording_over_a_file_asks_first(serve, browser, small_disk):
    folder = small_disk("16m")
    (folder / "old.h5").write_bytes(b"keep me")
    live, server = serve(folder=folder)
    page = Page(browser, server.url)
    page.type_into("zopy-record-name", "old.h5")
    wait_for(lambda: page.model("record_name", "value") == "old.h5", "the file name")
    page.click("zopy-record", "Record")
    wait_for(lambda: "press Record again to replace it" in page.text("zopy-notice"),
             "the question")
    assert live.settings.recording is None and (folder / "old.h5").read_bytes() == b"keep me"
    page.type_into("zopy-record-name", "../outside")
    wait_for(lambda: page.model("record_name", "value") == "../outside", "the file name")
    page.click("zopy-record", "Record")
    wait_for(lambda: "'..' is not allowed" in page.text("zopy-notice"), "the refusal")
    assert live.settings.recording is None


def test_a_control_changed_in_one_browser_shows_in_the_other(serve, browser, chromium):
    live, server = serve()
    first = Page(browser, server.url)
    second = Page(chromium(), server.url)
    first.click("zopy-gain", "Low gain")
    wait_for(lambda: second.model("gain", "active") == 1, "low gain in the second browser")
    second.click("zopy-run", "Pause")
    wait_for(lambda: first.model("run", "active") == 1, "the pause in the first browser")
    assert not sim.state()["highgain"] and not live.settings.running
    # a change the instrument refuses: the control goes back to what is in force
    in_force = live.settings.wavelength_nm
    second.driver.execute_script("Bokeh.documents[0].get_model_by_name('wavelength').value = 3000")
    wait_for(lambda: "3000" in second.text("zopy-notice"), "the refusal")
    wait_for(lambda: second.model("wavelength", "value") == in_force, "the wavelength in force")


@pytest.mark.parametrize("failure", ["library error", "unplugged"])
def test_an_instrument_failure_shows_on_the_page_until_it_clears(serve, browser, failure):
    live, server = serve()
    page = Page(browser, server.url)
    if failure == "library error":
        sim.override("ZOStream<float>::acquire", 16, error=(16, "cable pulled"), times=3)
        shown = "instrument error: cable pulled (libzo error 16)"
    else:
        sim.detach(sim.DEFAULT_SERIAL)
        shown = f"instrument {sim.DEFAULT_SERIAL} not found (unplugged?)"
    wait_for(lambda: shown in page.text("zopy-status"), shown)
    if failure == "unplugged":
        sim.attach(sim.DEFAULT_SERIAL)
    wait_for(lambda: page.text("zopy-status") == "running", "the instrument back")
    _, _, seq = page.frame_data()
    wait_for(lambda: page.frame_data()[2] > seq, "new frames")
    assert page.console_errors() == []


def test_the_demo_saves_a_screenshot_of_the_page(tmp_path):
    path = tmp_path / "scope.png"
    result = subprocess.run([sys.executable, "-P", EXAMPLES / "scope_screenshot.py", path],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    image = pytest.importorskip("matplotlib.image").imread(path)
    assert image.shape[1] == 1300 and image.shape[0] > 800
    assert len(np.unique(image.reshape(-1, image.shape[-1]), axis=0)) > 50     # not blank
