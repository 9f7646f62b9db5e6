"""The page: one Bokeh document per browser session, drawn from a Scope's frames.

A page draws a frame only after the browser has drawn the one before (it
says so through :class:`FrameAck`): a slow browser skips frames instead of
queueing them. Every change of a control becomes a request to the Scope,
whose settings, once carried out, come back to every page.
"""

from __future__ import annotations

import collections
import functools
import html
import math
import pathlib
import time
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

import numpy
from numpy.typing import NDArray
from bokeh.core.properties import Int
from bokeh.layouts import column, row
from bokeh.model import DataModel
from bokeh.events import Reset
from bokeh.models import (BasicTickFormatter, BoxAnnotation, Button, ColumnDataSource, CustomJS,  # type: ignore[attr-defined]  # partial stubs
                          Div, Label, Legend, NumericInput, RadioButtonGroup, Range1d, Select, Span, Spinner,
                          TextInput)
from bokeh.plotting import figure

from ._acquisition import TRIGGER_MODES, TRIGGER_PORTS

if TYPE_CHECKING:
    from ._acquisition import Scope, Settings, Status
    from ._frames import Frame

TRACE_WIDTH = 900             # px; the trace's envelope has about as many columns
SIDE_WIDTH = 330
IN_FLIGHT = 2                 # frames sent and not yet drawn: one drawn while the next travels
ACK_TIMEOUT = 1.0             # s: a page that has not drawn a frame by then gets the next anyway
NUMBERS_SECONDS = 0.2         # the numbers change this often at most: they stay readable
BORDER = 70                   # px left of a plot, for its axis labels whatever their width
LATENCIES_KEPT = 2000
FILTERS = ("none", "lowpass", "highpass")

# When a frame's data arrive, Bokeh asks to paint its plots at the next
# animation frame; the acknowledgement, asked for after them, runs after that
# paint and reports the latest frame painted (one that a later one replaced
# before the paint is never reported): the server may send another.
_ACK_JS = """
requestAnimationFrame(() => { ack.rendered = ack.sent; });
"""


class FrameAck(DataModel):
    """Which frame the server sent last, and which one the browser has drawn."""
    sent = Int(default=0)
    rendered = Int(default=0)


class AutoRange:
    """A plot range that follows the data steadily: it widens at once to take
    data in, and narrows only once the data have filled less than a third of
    it for a second. A pan or zoom in the browser holds it where the user put
    it, until :meth:`release` (the plot's reset button)."""

    SHRINK_AFTER = 1.0      # s

    def __init__(self, log: bool = False) -> None:
        self.log = log
        self.range: Any = Range1d(1.0 if log else 0.0, 10.0 if log else 1.0)  # type: ignore[arg-type]  # (start, end): not in the stubs
        self.held = False
        self._setting = False
        self._loose_since: float | None = None
        self.range.on_change("start", self._moved)
        self.range.on_change("end", self._moved)

    def _moved(self, attr: str, old: Any, new: Any) -> None:
        if not self._setting:
            self.held = True

    def release(self) -> None:
        self.held = False
        self._loose_since = None

    def show(self, low: float, high: float, margin: float = 0.1) -> None:
        """Shows low..high (with a margin), now."""
        if self.held:
            return
        a, b = self._scale(low), self._scale(high)
        span = (b - a) or (abs(a) * 1e-3 or 1e-12)
        a, b = a - margin * span, b + margin * span
        start, end = self._unscale(a), self._unscale(b)
        if (self.range.start, self.range.end) != (start, end):
            self._setting = True
            try:
                self.range.update(start=start, end=end)
            finally:
                self._setting = False

    def follow(self, low: float, high: float) -> None:
        """Keeps low..high in view, changing the range only when it must."""
        if self.held or not (math.isfinite(low) and math.isfinite(high)):
            return
        if self.log and not (low > 0 and high > 0):
            return
        start, end = self.range.start, self.range.end
        a, b = self._scale(start), self._scale(end)
        lo, hi = self._scale(low), self._scale(high)
        if lo < a or hi > b:
            self.show(low, high)
            self._loose_since = None
        elif (hi - lo) < (b - a) / 3:
            now = time.monotonic()
            if self._loose_since is None:
                self._loose_since = now
            elif now - self._loose_since >= self.SHRINK_AFTER:
                self.show(low, high)
                self._loose_since = None
        else:
            self._loose_since = None

    def _scale(self, value: float) -> float:
        return math.log10(value) if self.log else value

    def _unscale(self, value: float) -> float:
        return 10.0 ** value if self.log else value


class Page:
    """One browser session's document, kept up to date from ``scope``."""

    def __init__(self, scope: Scope, doc: Any) -> None:
        self.scope, self.doc = scope, doc
        self.rendered = 0                 #: frames the browser has drawn
        #: s, block read to drawn
        self.latencies: collections.deque[float] = collections.deque(maxlen=LATENCIES_KEPT)
        self._sent, self._sent_at = 0, 0.0
        # seq -> when its block was read
        self._in_flight: collections.OrderedDict[int, float] = collections.OrderedDict()
        self._seen_version = -1
        self._wake_pending = False
        self._syncing = False
        self._confirm: pathlib.Path | None = None     # the file that Record, pressed again, replaces
        self._shown: dict[str, Any] = {}  # what the page shows now, to send only changes
        self._build()
        doc.title = f"zopy scope: {scope.title}"
        doc.add_root(self.layout)
        scope.pages.add(self)
        scope.subscribe(self._wake)
        doc.on_session_destroyed(self._destroyed)
        self._update()

    # ------------------------------------------------------------------ layout

    def _build(self) -> None:
        scope = self.scope
        self.header = Div(text=f"<b>zopy scope</b> &middot; {html.escape(scope.title)}",
                          name="header", styles={"font-size": "1.2em"})
        self.status = Div(text="", name="status", width=TRACE_WIDTH, css_classes=["zopy-status"])
        self.notice = Div(text="", name="notice", width=TRACE_WIDTH, css_classes=["zopy-notice"])
        self.numbers = Div(text="", name="numbers", width=SIDE_WIDTH, css_classes=["zopy-numbers"])

        # Ranges follow the data from here, steadily: an axis that changed with
        # every frame would make the browser lay the plot out again each time.
        self.trace_x, self.trace_y = AutoRange(), AutoRange()
        self.trace_source = ColumnDataSource(dict(t=[], y=[]), name="trace")
        self.trace = figure(height=260, width=TRACE_WIDTH, title="Latest block",
                            x_axis_label="time (s)", y_axis_label="power",
                            x_range=self.trace_x.range, y_range=self.trace_y.range,
                            tools="pan,box_zoom,wheel_zoom,reset,save", name="trace_plot",
                            min_border_left=BORDER)
        self.trace.line("t", "y", source=self.trace_source, line_width=1)
        self.trace.xaxis.formatter = BasicTickFormatter(use_scientific=False)

        self.spectrum_x = AutoRange(log=True)
        self.spectrum_y, self.spectrum_db_y = AutoRange(log=True), AutoRange()
        self.spectrum_source = ColumnDataSource(dict(f=[], density=[], db=[]), name="spectrum")
        self.shot_source = ColumnDataSource(dict(f=[], level=[], zero=[]), name="shot")
        self.band = BoxAnnotation(fill_alpha=0.12, fill_color="green", name="band")
        self.band_db = BoxAnnotation(fill_alpha=0.12, fill_color="green")
        self.clearance = Label(x=10, y=10, x_units="screen", y_units="screen", text="",
                               text_font_size="13px", background_fill_color="white",
                               background_fill_alpha=0.7, name="clearance")
        self.clearance_db = Label(x=10, y=10, x_units="screen", y_units="screen", text="",
                                  text_font_size="13px", background_fill_color="white",
                                  background_fill_alpha=0.7)
        common: dict[str, Any] = dict(height=400, width=TRACE_WIDTH, x_axis_type="log", x_range=self.spectrum_x.range,
                      x_axis_label="frequency (Hz)", tools="pan,box_zoom,wheel_zoom,reset,save",
                      min_border_left=BORDER)
        self.spectrum = figure(y_axis_type="log", y_axis_label="noise density (W²/Hz)",
                               y_range=self.spectrum_y.range, title="Noise spectrum",
                               name="spectrum_plot", **common)
        self.spectrum_db = figure(y_axis_label="relative to shot noise (dB)", visible=False,
                                  y_range=self.spectrum_db_y.range, title="Noise spectrum",
                                  name="spectrum_db_plot", **common)
        for plot, y, level, band, label in (
                (self.spectrum, "density", "level", self.band, self.clearance),
                (self.spectrum_db, "db", "zero", self.band_db, self.clearance_db)):
            measured = plot.line("f", y, source=self.spectrum_source)
            shot = plot.line("f", level, source=self.shot_source, color="crimson",
                             line_dash="dashed")
            plot.add_layout(band)
            plot.add_layout(label)
            # above the plot, where it hides no part of the spectrum
            plot.add_layout(Legend(items=[("measured", [measured]), ("shot noise 2hνP", [shot])],
                                   orientation="horizontal", border_line_alpha=0,
                                   padding=0, margin=4), "above")
        for plot, ranges in ((self.trace, (self.trace_x, self.trace_y)),
                             (self.spectrum, (self.spectrum_x, self.spectrum_y)),
                             (self.spectrum_db, (self.spectrum_x, self.spectrum_db_y))):
            plot.on_event(Reset, functools.partial(self._reset_ranges, ranges))

        side = [self.numbers]
        if scope.balanced:
            side += self._build_balance()
        side += self._build_controls()
        self.ack: Any = FrameAck()       # Bokeh types its properties as descriptors
        self.ack.js_on_change("sent", CustomJS(args=dict(ack=self.ack), code=_ACK_JS))
        self.ack.on_change("rendered", self._on_rendered)
        self.layout = row(column(self.header, self.status, self.notice, self.trace,
                                 self.spectrum, self.spectrum_db),
                          column(*side, width=SIDE_WIDTH), name="scope")
        self.layout.tags = [self.ack]     # part of the document, drawn nowhere

    def _build_balance(self) -> list[Any]:
        self.balance_bar_source = ColumnDataSource(dict(y=[0], right=[0.0]), name="balance_bar")
        self.balance_source = ColumnDataSource(dict(t=[], mean=[]), name="balance")
        self.balance_range: Any = Range1d(-1.0, 1.0)  # type: ignore[arg-type]  # (start, end): not in the stubs
        self.balance_history_range: Any = Range1d(-1.0, 1.0)  # type: ignore[arg-type]  # (start, end): not in the stubs
        bar = figure(height=90, width=SIDE_WIDTH, title="Balance: mean of P1 − P2",
                     x_range=self.balance_range, y_range=Range1d(-0.5, 0.5), tools="",  # type: ignore[arg-type]  # (start, end): not in the stubs
                     toolbar_location=None, name="balance_plot")
        bar.hbar(y="y", left=0, right="right", height=0.6, source=self.balance_bar_source,
                 color="darkorange")
        bar.yaxis.visible = False
        bar.add_layout(Span(location=0, dimension="height", line_color="black", line_width=2))
        history = figure(height=160, width=SIDE_WIDTH, x_range=Range1d(-30, 0),  # type: ignore[arg-type]  # (start, end): not in the stubs
                         y_range=self.balance_history_range, x_axis_label="seconds before now",
                         tools="", toolbar_location=None, name="balance_history")
        history.line("t", "mean", source=self.balance_source, color="darkorange")
        history.add_layout(Span(location=0, dimension="width", line_color="black"))
        return [bar, history]

    def _build_controls(self) -> list[Any]:
        scope = self.scope
        w: dict[str, Any] = dict(width=SIDE_WIDTH - 10)
        half: dict[str, Any] = dict(width=(SIDE_WIDTH - 20) // 2)
        self.run = RadioButtonGroup(labels=["Run", "Pause"], active=0, name="run",
                                    css_classes=["zopy-run"], **half)
        self.single = Button(label="Single block", name="single", css_classes=["zopy-single"],
                             **half)
        self.trig_mode = Select(title="Trigger", options=list(TRIGGER_MODES), value="rising",
                                name="trig_mode", width=100)
        self.trig_port = Select(title="Port", options=list(TRIGGER_PORTS), value="S",
                                name="trig_port", width=60)
        self.trigger = Button(label="Triggered block", name="trigger", width=140,
                              css_classes=["zopy-trigger"])
        self.gain = RadioButtonGroup(labels=["High gain", "Low gain"], active=0, name="gain",
                                     css_classes=["zopy-gain"], **half)
        self.antialias = RadioButtonGroup(labels=["Antialias on", "off"], active=0,
                                          name="antialias", css_classes=["zopy-antialias"], **half)
        self.wavelength = NumericInput(title="Calibration wavelength (nm)", mode="float",
                                       name="wavelength", **half)
        self.raw = RadioButtonGroup(labels=["Power", "Raw counts"], active=0, name="raw", **half)
        self.filter = Select(title="Stream filter", options=list(FILTERS), name="filter", **half)
        self.cutoff = NumericInput(title="Cutoff (Hz)", mode="float", name="cutoff", **half)
        self.downsampling = Spinner(title="Downsampling", low=1, step=1, mode="int",
                                    name="downsampling", **half)
        self.averaging = Spinner(title="Average of N blocks", low=1, high=10_000, step=1,
                                 mode="int", name="averaging", **half)
        self.reset_average = Button(label="Reset average", name="reset_average", **half)
        self.db = RadioButtonGroup(labels=["W²/Hz", "dB re shot noise"], active=0, name="db", **w)
        self.total_power = NumericInput(title="Total power on both photodiodes (µW)",
                                        mode="float", name="total_power", **w)
        self.record_name = TextInput(title=f"Record into {scope.folder}/", value="scope.h5",
                                     name="record_name", css_classes=["zopy-record-name"], **w)
        self.record = Button(label="Record", button_type="danger", name="record",
                             css_classes=["zopy-record"], **w)
        self.instrument_controls = [self.gain, self.antialias, self.wavelength, self.raw,
                                    self.filter, self.cutoff, self.downsampling, self.trigger]

        requests: list[tuple[Any, str, str, Callable[[Any], Any]]] = [
            (self.run, "active", "running", lambda active: active == 0),
            (self.gain, "active", "highgain", lambda active: active == 0),
            (self.antialias, "active", "antialias", lambda active: active == 0),
            (self.raw, "active", "raw", lambda active: active == 1),
            (self.wavelength, "value", "wavelength_nm", _required_number),
            (self.filter, "value", "filter", str),
            (self.cutoff, "value", "cutoff_hz", _required_number),
            (self.downsampling, "value", "downsampling", int),
            (self.averaging, "value", "averaging", int),
            (self.db, "active", "db", lambda active: active == 1),
            (self.total_power, "value", "total_power_uw", _optional_number),
            (self.trig_mode, "value", "trig_mode", str),
            (self.trig_port, "value", "trig_port", str),
        ]
        for widget, attr, name, convert in requests:
            widget.on_change(attr, functools.partial(self._changed, name, convert))
        self.single.on_click(lambda: self._ask("single"))
        self.trigger.on_click(lambda: self._ask("trigger"))
        self.reset_average.on_click(lambda: self._ask("reset_average"))
        self.record.on_click(self._record_clicked)

        controls: list[Any] = [Div(text="<b>View</b>"), row(self.run, self.single),
                    row(self.trig_mode, self.trig_port, self.trigger),
                    Div(text="<b>Front end</b>"), row(self.gain, self.antialias),
                    row(self.wavelength, self.raw),
                    Div(text="<b>Stream</b>"), row(self.filter, self.cutoff),
                    row(self.downsampling),
                    Div(text="<b>Spectrum</b>"), row(self.averaging, self.reset_average), self.db]
        if scope.balanced:
            controls.append(self.total_power)
        controls += [Div(text="<b>Recording</b>"), self.record_name, self.record]
        return controls

    # --------------------------------------------------------------- requests

    def _changed(self, name: str, convert: Callable[[Any], Any], attr: str, old: Any,
                 new: Any) -> None:
        if self._syncing:
            return
        try:
            value = convert(new)
        except (TypeError, ValueError) as exc:
            self._show_notice(str(exc), True)
            self._seen_version = -1       # the controls go back to what is in force
            self._update()
            return
        self._ask(name, value)

    def _ask(self, name: str, value: Any = None) -> None:
        self._show_notice("", False)
        self.scope.request(name, value, self._reply)

    def _reply(self, text: str, error: bool) -> None:
        """From the acquisition thread: the outcome of this page's request."""
        self.doc.add_next_tick_callback(functools.partial(self._show_notice, text, error))

    def _record_clicked(self) -> None:
        assert self.scope.settings is not None    # published before any page
        if self.scope.settings.recording is not None:
            self._ask("stop_recording")
            return
        try:
            path = self.scope.recording_path(self.record_name.value)
        except ValueError as exc:
            self._show_notice(str(exc), True)
            return
        exists = path.exists() or path.is_symlink()
        if exists and self._confirm != path:
            self._confirm = path
            self._show_notice(f"{self.record_name.value} exists: press Record again to "
                              "replace it (it is replaced only once the recording is complete)",
                              True)
            return
        self._confirm = None
        self._ask("record", (path, exists))

    def _show_notice(self, text: str, error: bool) -> None:
        style = "color: #b00020; font-weight: bold" if error else "color: #333"
        self.notice.text = f'<span style="{style}">{html.escape(text)}</span>' if text else ""

    # ----------------------------------------------------------------- frames

    def _wake(self) -> None:
        """From the acquisition thread, after each publication: update on the server's thread."""
        if not self._wake_pending:
            self._wake_pending = True
            self.doc.add_next_tick_callback(self._on_wake)

    def _on_wake(self) -> None:
        self._wake_pending = False
        self._update()

    def _on_rendered(self, attr: str, old: int, new: int) -> None:
        now = time.monotonic()
        if new in self._in_flight:
            self.latencies.append(now - self._in_flight[new])
            self.rendered += 1
        for seq in [seq for seq in self._in_flight if seq <= new]:
            del self._in_flight[seq]      # drawn, or replaced before it was drawn
        self._update()

    def _update(self) -> None:
        scope = self.scope
        if scope.version == self._seen_version and scope.frame is not None \
                and scope.frame.seq == self._sent:
            return
        self._seen_version = scope.version
        self._show_status(scope.status)
        self._sync(scope.settings)
        frame = scope.frame
        if self._in_flight and time.monotonic() - self._sent_at >= ACK_TIMEOUT:
            self._in_flight.clear()       # lost, or the page is hidden: send the latest anyway
        if frame is not None and frame.seq != self._sent and len(self._in_flight) < IN_FLIGHT:
            assert scope.settings is not None     # published with the first frame or before
            self._push(frame, scope.settings)

    def _show_status(self, status: Status) -> None:
        colour = "#b00020" if status.error else "#1b5e20"
        self._set(self.status, "text",
                  f'<span style="color: {colour}">{html.escape(status.text)}</span>')

    def _sync(self, settings: Settings | None) -> None:
        """The controls as the settings in force say, on every page."""
        if settings is None:
            return
        self._syncing = True
        try:
            values: list[tuple[Any, str, Any]] = [(self.run, "active", 0 if settings.running else 1),
                      (self.gain, "active", 0 if settings.highgain else 1),
                      (self.antialias, "active", 0 if settings.antialias else 1),
                      (self.raw, "active", 1 if settings.raw else 0),
                      (self.wavelength, "value", _shown_number(settings.wavelength_nm)),
                      (self.filter, "value", settings.filter),
                      (self.cutoff, "value", _shown_number(settings.cutoff_hz)),
                      (self.downsampling, "value", settings.downsampling),
                      (self.averaging, "value", settings.averaging),
                      (self.db, "active", 1 if settings.db else 0),
                      (self.total_power, "value", settings.total_power_uw),
                      (self.trig_mode, "value", settings.trig_mode),
                      (self.trig_port, "value", settings.trig_port)]
            for widget, attr, value in values:
                self._set(widget, attr, value)
            recording = settings.recording is not None
            for widget in self.instrument_controls:
                self._set(widget, "disabled", recording)
            self._set(self.record_name, "disabled", recording)
            self._set(self.record, "label", "Stop recording" if recording else "Record")
        finally:
            self._syncing = False

    def _set(self, model: Any, attr: str, value: Any) -> None:
        """Changes a property only when it differs: no message for what stays."""
        if getattr(model, attr) != value:
            setattr(model, attr, value)

    def _push(self, frame: Frame, settings: Settings) -> None:
        now = time.monotonic()
        # the numbers of the frame that stays on the page when it is paused, whatever their age
        numbers_due = (now - self._shown.get("numbers_at", 0.0) >= NUMBERS_SECONDS
                       or not settings.running)
        self.doc.hold("combine")
        try:
            self._draw_trace(frame)
            self._draw_spectrum(frame, settings, numbers_due)
            if numbers_due:
                self._shown["numbers_at"] = now
                self._set(self.numbers, "text", _numbers_html(frame))
            if self.scope.balanced:
                self._draw_balance(frame)
            self._sent, self._sent_at = frame.seq, now
            self._in_flight[frame.seq] = frame.acquired_at
            self.ack.sent = frame.seq     # last: the browser acknowledges after drawing it all
        finally:
            self.doc.unhold()

    def _draw_trace(self, frame: Frame) -> None:
        if self._shown.get("t") is not frame.trace_time_s:
            self._shown["t"] = frame.trace_time_s
            self.trace_source.data = dict(t=frame.trace_time_s, y=frame.trace)
            self.trace_x.show(0.0, frame.block_length / frame.samplerate_hz, margin=0.0)
        else:
            self.trace_source.data.update(y=frame.trace)
        self.trace_y.follow(float(frame.trace.min()), float(frame.trace.max()))
        self._set(self.trace.yaxis[0], "axis_label",
                  "ADC counts" if frame.units == "counts" else f"power ({frame.units})")
        what = "Latest block" if frame.source == "stream" else f"Block {frame.source}"
        kind = ", min and max of each pixel" if frame.envelope else ""
        self._set(self.trace.title, "text", f"{what}: {frame.block_length} samples at "
                                            f"{_rate_text(frame.samplerate_hz)}{kind}")

    def _draw_spectrum(self, frame: Frame, settings: Settings, numbers_due: bool) -> None:
        level = frame.shot_level
        show_db = settings.db and level is not None
        density = frame.density.astype(numpy.float32)
        db = numpy.zeros_like(density)
        if show_db:
            with numpy.errstate(divide="ignore"):
                db = (10 * numpy.log10(frame.density / level)).astype(numpy.float32)
        if self._shown.get("f") is not frame.frequency_hz or show_db != self._shown.get("db"):
            self._shown["f"], self._shown["db"] = frame.frequency_hz, show_db
            self.spectrum_source.data = dict(f=frame.frequency_hz, density=density, db=db)
            self.spectrum_x.show(float(frame.frequency_hz[0]), float(frame.frequency_hz[-1]),
                                 margin=0.0)
        elif show_db:
            self.spectrum_source.data.update(density=density, db=db)
        else:
            self.spectrum_source.data.update(density=density)
        if show_db:
            self.spectrum_db_y.follow(*_finite_extent(db))
        else:
            positive = frame.density[frame.density > 0]
            if positive.size:
                extent = [float(positive.min()), float(positive.max())]
                self.spectrum_y.follow(min(extent[0], level or math.inf),
                                       max(extent[1], level or 0.0))
        ends = [float(frame.frequency_hz[0]), float(frame.frequency_hz[-1])]
        if self._shown.get("shot") != (ends, level):
            self._shown["shot"] = (ends, level)
            self.shot_source.data = (dict(f=ends, level=[level] * 2, zero=[0.0, 0.0])
                                     if level is not None else dict(f=[], level=[], zero=[]))
        low, high = frame.band_hz
        for band in (self.band, self.band_db):
            self._set(band, "left", low)
            self._set(band, "right", high)
        self._set(self.spectrum, "visible", not show_db)
        self._set(self.spectrum_db, "visible", show_db)
        self._set(self.spectrum.yaxis[0], "axis_label", f"noise density ({frame.density_units})")
        title = f"Noise spectrum: average of {frame.averaged} blocks"
        for plot in (self.spectrum, self.spectrum_db):
            self._set(plot.title, "text", title)
        if numbers_due:
            if frame.clearance_db is not None:
                text = (f"clearance {frame.clearance_db:+.2f} dB relative to shot noise "
                        f"over {_hz(low)} to {_hz(high)} (shaded)")
            elif frame.over_range > 0:
                text = "no clearance: samples over range"
            elif level is None and frame.density_units == "W²/Hz":
                text = ("shot-noise level unknown: give the total power on both photodiodes"
                        if frame.balanced else "shot-noise level unknown: no light")
            else:
                text = ""
            if settings.db and level is None:
                text += "; dB needs the shot-noise level"
            for label in (self.clearance, self.clearance_db):
                self._set(label, "text", text)

    def _reset_ranges(self, ranges: tuple[AutoRange, ...], event: Any) -> None:
        """The plot's reset button: its axes follow the data again."""
        for auto in ranges:
            auto.release()

    def _draw_balance(self, frame: Frame) -> None:
        self.balance_bar_source.data.update(right=[frame.mean])
        self.balance_source.data = dict(t=frame.balance_time_s, mean=frame.balance_mean)
        extent = max([abs(frame.mean), *numpy.abs(frame.balance_mean)], default=0.0)
        extent = max(extent * 1.25, 1e-3)
        if not 0.5 < self.balance_range.end / extent < 2.0:      # steady, not every frame
            self.balance_range.update(start=-extent, end=extent)
            self.balance_history_range.update(start=-extent, end=extent)

    def _destroyed(self, session_context: Any) -> None:
        self.scope.unsubscribe(self._wake)
        self.scope.pages.discard(self)


# ------------------------------------------------------------------ text

def _numbers_html(frame: Frame) -> str:
    unit = frame.units
    rows = [("P1 − P2 mean" if frame.balanced else "Mean power", f"{frame.mean:.4g} {unit}"),
            ("Standard deviation", f"{frame.std:.4g} {unit}"),
            ("Clearance", ("none: over range" if frame.over_range > 0 else "unknown")
             if frame.clearance_db is None else f"{frame.clearance_db:+.2f} dB re shot noise"),
            ("Sample rate", _rate_text(frame.samplerate_hz)),
            ("Gain", frame.gain),
            ("Wavelength", f"{frame.wavelength_nm:g} nm"),
            ("Over range", f"{100 * frame.over_range:.3g} % of samples")]
    if frame.shot_power_w is not None:
        rows.insert(3, ("Shot noise at", f"{frame.shot_power_w * 1e6:.4g} µW: "
                                         f"{frame.shot_level:.3g} W²/Hz"))
    cells = "".join(f"<tr><td>{html.escape(k)}</td><td style='text-align: right'>"
                    f"<b>{html.escape(v)}</b></td></tr>" for k, v in rows)
    text = f"<table style='width: 100%'>{cells}</table>"
    if frame.over_range > 0:
        text += ("<div style='color: #b00020; font-weight: bold'>Over range: samples at the "
                 "ADC's limits; the readings are clipped (switch to low gain or reduce the "
                 "light)</div>")
    return text


def _finite_extent(values: NDArray[Any]) -> tuple[float, float]:
    finite = values[numpy.isfinite(values)]
    return (float(finite.min()), float(finite.max())) if finite.size else (-1.0, 1.0)


def _rate_text(hz: float) -> str:
    for scale, unit in ((1e6, "MS/s"), (1e3, "kS/s")):
        if hz >= scale:
            return f"{hz / scale:g} {unit}"
    return f"{hz:g} S/s"


def _hz(hz: float) -> str:
    for scale, unit in ((1e6, "MHz"), (1e3, "kHz")):
        if hz >= scale:
            return f"{hz / scale:.3g} {unit}"
    return f"{hz:.3g} Hz"


def _required_number(value: Any) -> float:
    if value is None:
        raise ValueError("give a number")
    return float(value)


def _optional_number(value: Any) -> float | None:
    return None if value is None else float(value)


def _shown_number(value: float | None) -> float | None:
    return None if value is None or not math.isfinite(value) else value


def make_page(scope: Scope, doc: Any) -> None:
    """The Bokeh app's function: a page of ``scope`` in the document ``doc``."""
    Page(scope, doc)
