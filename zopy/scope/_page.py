"""The page: one Bokeh document per browser session, drawn from a Scope's frames.

A page draws a frame only after the browser has drawn the one before (it
says so through :class:`FrameAck`): a slow browser skips frames instead of
queueing them. Every change of a control becomes a request to the Scope,
whose settings, once carried out, come back to every page.
"""

from __future__ import annotations

import collections
import dataclasses
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
from bokeh.events import ClientReconnected, DocumentReady, PanStart, RangesUpdate, Reset
from bokeh.models import (BasicTickFormatter, BoxAnnotation, Button, ColumnDataSource, CustomJS,  # type: ignore[attr-defined]  # partial stubs
                          CustomJSTickFormatter, Div, HoverTool, Label, Legend, NumericInput,
                          RadioButtonGroup,
                          Range1d, Select, Span, Spinner, TextInput)
from bokeh.plotting import figure

from .._light import virtual_bench
from ._acquisition import TRIGGER_MODES, TRIGGER_PORTS

if TYPE_CHECKING:
    from ._acquisition import Scope, Settings, Status
    from ._frames import Frame

TRACE_WIDTH = 900             # px; the trace's envelope has about as many columns
SIDE_WIDTH = 330
IN_FLIGHT = 2                 # frames sent and not yet drawn: one drawn while the next travels
ACK_TIMEOUT = 1.0             # s: a page that has not drawn a frame by then gets the next anyway
SLOW_SECONDS = 0.4            # the numbers, spectrum and balance history change this often at
                              # most: readable, and cheap for the browser; the trace every frame
SLOW_FRAMES = 4               # and after this many trace frames drawn at least (a browser that
                              # draws slowly, several pages or a busy machine, keeps the trace
                              # moving), but once a second whatever the browser says it drew
SPECTRUM_DECADES = 12         # the spectrum's axis spans this many decades below its peak at most
BALANCE_FLOOR = {"W": 1e-9, "counts": 1.0}   # the balance meter zooms in no further than ±this
NUMBER_ROWS = 9
BORDER = 70                   # px left of a plot, for its axis labels whatever their width
LATENCIES_KEPT = 2000
FILTERS = ("none", "lowpass", "highpass")
WATTS = {"µW": 1e-6, "mW": 1e-3, "W": 1.0}

# Tick labels in engineering notation with one prefix for all of an axis's
# ticks (nW, µW, mW), as many decimals as the ticks' spacing needs.
# The columns of a source as a CSV file, downloaded by the browser: what the
# page shows, with no round trip to the server.
_CSV_JS = """
const data = source.data;
const lines = [header.join(",")];
for (let i = 0; i < data[columns[0]].length; i++)
    lines.push(columns.map((c) => data[c][i]).join(","));
const link = document.createElement("a");
link.href = URL.createObjectURL(new Blob([lines.join("\\n") + "\\n"], {type: "text/csv"}));
link.download = filename;
document.body.appendChild(link);
link.click();
link.remove();
setTimeout(() => URL.revokeObjectURL(link.href), 10000);
"""

_ENGINEERING_JS = """
const top = Math.max(...ticks.map(Math.abs));
let scale = 1, prefix = "";
if (unit !== "") {
    scale = 1e-15; prefix = "f";
    for (const [s, p] of [[1e-12, "p"], [1e-9, "n"], [1e-6, "µ"], [1e-3, "m"], [1, ""], [1e3, "k"]])
        if (top >= s) { scale = s; prefix = p; }
}
const step = ticks.length > 1 ? Math.abs(ticks[1] - ticks[0]) / scale : 1;
const digits = Math.max(0, Math.min(4, Math.ceil(-Math.log10(step) - 1e-9)));
const value = tick / scale;
const text = Math.abs(value) < 0.5 * Math.pow(10, -digits) ? "0" : value.toFixed(digits);
return text.replace("-", "\u2212") + (unit !== "" ? " " + prefix + unit : "");
"""

# When a frame's data arrive, Bokeh asks to paint its plots at the next
# animation frame; the acknowledgement, asked for after them, runs after that
# paint and reports the latest frame painted (one that a later one replaced
# before the paint is never reported): the server may send another.
_ACK_JS = """
requestAnimationFrame(() => { ack.rendered = ack.sent; });
"""

# BokehJS writes the position of each part of a plot into a <style> of its own
# at every paint, changed or not, and the browser then works out that part's
# styles again: a third of a page's work for each frame. A write of the text
# already there is skipped (once per browser window; a BokehJS without these
# internals is left as it is).
_SKIP_SAME_STYLE_JS = """
let sheet = null;
try { sheet = Bokeh.require("core/dom").InlineStyleSheet; } catch (error) { }
const proto = sheet == null ? null : sheet.prototype;
if (proto != null && typeof proto._update === "function" && !proto.zopy_skips_same) {
    const update = proto._update;
    proto._update = function (css) {
        if (this.el == null || this.el.textContent !== css)
            update.call(this, css);
    };
    proto.zopy_skips_same = true;
}
"""


@dataclasses.dataclass(frozen=True)
class SpectrumPlot:
    """One of the page's two spectrum plots, and what it draws from."""
    plot: Any
    y: AutoRange
    measured: Any       # f, density, db
    shot: Any           # the shot-noise reference: f, level (W²/Hz), zero (dB)
    dark: Any           # the dark reference: f, dark, dark_db
    band: Any           # the band of the excess noise, shaded
    notes: Any          # excess noise and clearance, written over the plot


class FrameAck(DataModel):
    """Which frame the server sent last, and which one the browser has drawn."""
    sent = Int(default=0)
    rendered = Int(default=0)


class AutoRange:
    """A plot range that follows the data steadily: it widens at once to take
    data in, and narrows only once the data have filled less than a third of
    it for a second. A pan or zoom in the browser (its plot's RangesUpdate or
    PanStart) holds it where the user put it, until :meth:`release` (the
    plot's reset button). Changes of its start and end from the browser alone
    do not hold it: the browser also sends them when it draws what the server set."""

    SHRINK_AFTER = 1.0      # s

    def __init__(self, log: bool = False, range: Any = None) -> None:
        self.log = log
        self.range: Any = range if range is not None else \
            Range1d(1.0 if log else 0.0, 10.0 if log else 1.0)  # type: ignore[arg-type]  # (start, end): not in the stubs
        self.held = False
        self._loose_since: float | None = None

    def hold(self, event: Any = None) -> None:
        self.held = True

    def release(self, event: Any = None) -> None:
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
            self.range.update(start=start, end=end)

    def follow(self, low: float, high: float, snap: bool = False) -> None:
        """Keeps low..high in view, changing the range only when it must
        (``snap``: shows just them, now: the data are of new settings)."""
        if self.held or not (math.isfinite(low) and math.isfinite(high)):
            return
        if self.log and not (low > 0 and high > 0):
            return
        if snap:
            self.show(low, high)
            self._loose_since = None
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
        self._shown: dict[Any, Any] = {}  # what the page shows now, to send only changes
        self._build()
        doc.title = f"zopy scope: {scope.title}"
        doc.add_root(self.layout)
        scope.pages.add(self)
        scope.subscribe(self._wake)
        doc.on_session_destroyed(self._destroyed)
        doc.on_event(DocumentReady, self._catch_up)
        doc.js_on_event(DocumentReady, CustomJS(code=_SKIP_SAME_STYLE_JS))
        doc.on_event(ClientReconnected, self._catch_up)
        self._update()

    # ------------------------------------------------------------------ layout

    def _build(self) -> None:
        scope = self.scope
        self.header = Div(text=f"<b>zopy scope</b> &middot; {html.escape(scope.title)}",
                          name="header", styles={"font-size": "1.2em"})
        # Fixed sizes throughout: a text that changes then redraws its own box
        # without the browser laying out the whole page again.
        self.status = Div(text="", name="status", width=TRACE_WIDTH, height=30,
                          css_classes=["zopy-status"])
        self.notice = Div(text="", name="notice", width=TRACE_WIDTH, height=22,
                          css_classes=["zopy-notice"])
        self._build_numbers()

        # Ranges follow the data from here, steadily: an axis that changed with
        # every frame would make the browser lay the plot out again each time.
        self.trace_x, self.trace_y = AutoRange(), AutoRange()
        self.trace_source = ColumnDataSource(dict(t=[], y=[]), name="trace")
        self.trace = figure(height=260, width=TRACE_WIDTH, title="Latest block",
                            x_axis_label="time (s)", y_axis_label="power",
                            x_range=self.trace_x.range, y_range=self.trace_y.range,
                            tools="pan,box_zoom,wheel_zoom,reset,save", name="trace_plot",
                            min_border_left=BORDER)
        # Drawn on the plot's overlay canvas: a new trace repaints the line
        # alone, not the axes, grid and title beneath it.
        self.trace.line("t", "y", source=self.trace_source, line_width=1, level="overlay")
        self.trace.xaxis.formatter = BasicTickFormatter(use_scientific=False)

        # Each spectrum plot has sources of its own, and only the one shown is
        # updated: a hidden plot whose data changed would still be repainted,
        # and its legend, of no size while hidden, would have the whole page
        # laid out again each time.
        self.spectrum_x = AutoRange(log=True)
        self.spectra = {db: self._build_spectrum(db) for db in (False, True)}
        for plot, ranges in ((self.trace, (self.trace_x, self.trace_y)),
                             *((view.plot, (self.spectrum_x, view.y)) for view in self.spectra.values())):
            # The browser sends RangesUpdate at the end of a pan or zoom, and
            # for the reset button just before Reset.
            for auto in ranges:
                plot.on_event(RangesUpdate, auto.hold)
                plot.on_event(PanStart, auto.hold)
                plot.on_event(Reset, auto.release)

        side = [self.numbers_plot]
        if scope.balanced:
            side += self._build_balance()
        side += self._build_controls()
        self.ack: Any = FrameAck()       # Bokeh types its properties as descriptors
        self.ack.js_on_change("sent", CustomJS(args=dict(ack=self.ack), code=_ACK_JS))
        self.ack.on_change("rendered", self._on_rendered)
        self.layout = row(column(self.header, self.status, self.notice, self.trace,
                                 *(view.plot for view in self.spectra.values())),
                          column(*side, width=SIDE_WIDTH), name="scope")
        self.layout.tags = [self.ack]     # part of the document, drawn nowhere

    def _build_spectrum(self, db: bool) -> SpectrumPlot:
        """The spectrum's plot in W²/Hz (or in dB re shot noise), with what it draws from."""
        suffix = "_db" if db else ""       # names the tests and the page's scripts find
        y = AutoRange(log=not db)
        view = SpectrumPlot(
            plot=figure(height=400, width=TRACE_WIDTH, x_axis_type="log",
                        x_range=self.spectrum_x.range, y_range=y.range,
                        x_axis_label="frequency (Hz)",
                        y_axis_type="linear" if db else "log",
                        y_axis_label="relative to shot noise (dB)" if db else "noise density (W²/Hz)",
                        title="Noise spectrum", visible=not db, name=f"spectrum{suffix}_plot",
                        tools="pan,box_zoom,wheel_zoom,reset,save", min_border_left=BORDER),
            y=y,
            measured=ColumnDataSource(dict(f=[], density=[], db=[]), name=f"spectrum{suffix}"),
            shot=ColumnDataSource(dict(f=[], level=[], zero=[]), name=f"shot{suffix}"),
            dark=ColumnDataSource(dict(f=[], dark=[], dark_db=[]), name=f"dark{suffix}"),
            band=BoxAnnotation(fill_alpha=0.12, fill_color="green", name=f"band{suffix}"),
            notes=Label(x=10, y=10, x_units="screen", y_units="screen", text="",
                        text_font_size="13px", background_fill_color="white",
                        background_fill_alpha=0.7, name=f"clearance{suffix}"))
        plot = view.plot
        measured = plot.line("f", "db" if db else "density", source=view.measured)
        plot.add_tools(HoverTool(renderers=[measured], mode="vline", tooltips=[
            ("frequency", "@f{0,0.0} Hz"), ("density", "@density{0.000e}"),
            ("re shot noise", "@db{+0.00} dB")]))
        shot = plot.line("f", "zero" if db else "level", source=view.shot, color="crimson",
                         line_dash="dashed")
        plot.line("f", "dark_db" if db else "dark", source=view.dark, color="dimgray",
                  line_width=1)
        plot.add_layout(view.band)
        plot.add_layout(view.notes)
        # above the plot, where it hides no part of the spectrum
        plot.add_layout(Legend(items=[("measured", [measured]), ("shot noise 2hνP", [shot])],
                               orientation="horizontal", border_line_alpha=0,
                               padding=0, margin=4), "above")
        return view

    def _build_numbers(self) -> None:
        """The numbers as text drawn on a canvas: a new value repaints it alone."""
        rows = list(range(NUMBER_ROWS))
        self.numbers_source = ColumnDataSource(
            dict(y=[-r for r in rows], label=[""] * NUMBER_ROWS, value=[""] * NUMBER_ROWS,
                 colour=["black"] * NUMBER_ROWS), name="numbers")
        plot = figure(width=SIDE_WIDTH, height=19 * NUMBER_ROWS + 8, tools="",
                      toolbar_location=None, x_range=Range1d(0, 1),  # type: ignore[arg-type]  # (start, end): not in the stubs
                      y_range=Range1d(-NUMBER_ROWS + 0.5, 0.6), name="numbers_plot",  # type: ignore[arg-type]  # (start, end): not in the stubs
                      css_classes=["zopy-numbers"], min_border=0, outline_line_color=None)
        plot.axis.visible = False
        plot.grid.visible = False
        plot.text(x=0.01, y="y", text="label", source=self.numbers_source, text_font_size="12px",
                  text_baseline="middle", text_color="colour")
        plot.text(x=0.99, y="y", text="value", source=self.numbers_source, text_font_size="12px",
                  text_baseline="middle", text_align="right", text_font_style="bold",
                  text_color="colour")
        self.numbers_plot = plot

    def _build_balance(self) -> list[Any]:
        self.balance_bar_source = ColumnDataSource(dict(y=[0], right=[0.0]), name="balance_bar")
        self.balance_source = ColumnDataSource(dict(t=[], mean=[]), name="balance")
        # one range for the bar and its history: both on the same scale
        self.balance_auto = AutoRange()
        self.balance_auto.range.update(start=-1.0, end=1.0)
        self.balance_range: Any = self.balance_auto.range
        self.balance_format = CustomJSTickFormatter(args=dict(unit="W"), code=_ENGINEERING_JS)
        bar = figure(height=90, width=SIDE_WIDTH, title="Balance: mean of P1 − P2",
                     x_range=self.balance_range, y_range=Range1d(-0.5, 0.5), tools="",  # type: ignore[arg-type]  # (start, end): not in the stubs
                     toolbar_location=None, name="balance_plot")
        bar.hbar(y="y", left=0, right="right", height=0.6, source=self.balance_bar_source,
                 color="darkorange", level="overlay")    # as the trace: each frame, the bar alone
        bar.yaxis.visible = False
        bar.xaxis.formatter = self.balance_format
        bar.xaxis.ticker.desired_num_ticks = 5  # type: ignore[union-attr]  # a BasicTicker here
        bar.add_layout(Span(location=0, dimension="height", line_color="black", line_width=2))
        history = figure(height=160, width=SIDE_WIDTH, x_range=Range1d(-30, 0),  # type: ignore[arg-type]  # (start, end): not in the stubs
                         y_range=self.balance_range, x_axis_label="seconds before now",
                         tools="", toolbar_location=None, name="balance_history",
                         min_border_left=BORDER)
        history.line("t", "mean", source=self.balance_source, color="darkorange")
        history.yaxis.formatter = self.balance_format
        history.add_layout(Span(location=0, dimension="width", line_color="black"))
        self.balance_plots = (bar, history)
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
        self.raw = RadioButtonGroup(labels=["Power", "Raw counts"], active=0, name="raw",
                                    css_classes=["zopy-raw"], **half)
        self.filter = Select(title="Stream filter", options=list(FILTERS), name="filter", **half)
        self.cutoff = NumericInput(title="Cutoff (Hz)", mode="float", name="cutoff", **half)
        self.downsampling = Spinner(title="Downsampling", low=1, step=1, mode="int",
                                    name="downsampling", **half)
        self.averaging = Spinner(title="Average of N blocks", low=1, high=10_000, step=1,
                                 mode="int", name="averaging", **half)
        self.reset_average = Button(label="Reset average", name="reset_average", **half)
        self.take_dark = Button(label="Take dark reference" + ("" if virtual_bench() else
                                                               " (light blocked)"),
                                name="dark", **w)
        self.db = RadioButtonGroup(labels=["W²/Hz", "dB re shot noise"], active=0, name="db",
                                   css_classes=["zopy-db"], **w)
        self.total_power = NumericInput(title="Total power on both photodiodes (µW)",
                                        mode="float", name="total_power", **w)
        self.record_name = TextInput(title=f"Record into {scope.folder}/", value="scope.h5",
                                     name="record_name", css_classes=["zopy-record-name"], **w)
        self.record = Button(label="Record", button_type="danger", name="record",
                             css_classes=["zopy-record"], **w)
        self.record_limit_s = NumericInput(title="Stop after (s)", mode="float", low=0,
                                           name="record_limit_s",
                                           css_classes=["zopy-record-limit-s"], **half)
        self.record_limit_mb = NumericInput(title="or at (MB of samples)", mode="float", low=0,
                                            name="record_limit_mb",
                                            css_classes=["zopy-record-limit-mb"], **half)
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
            (self.record_limit_s, "value", "record_limit_s", _limit_number),
            (self.record_limit_mb, "value", "record_limit_bytes",
             lambda mb: None if not mb else _limit_number(mb * 1e6)),
        ]
        for widget, attr, name, convert in requests:
            widget.on_change(attr, functools.partial(self._changed, name, convert))
        self.single.on_click(lambda: self._ask("single"))
        self.trigger.on_click(lambda: self._ask("trigger"))
        self.reset_average.on_click(lambda: self._ask("reset_average"))
        self.take_dark.on_click(lambda: self._ask("dark"))
        self.record.on_click(self._record_clicked)

        controls: list[Any] = [Div(text="<b>View</b>"), row(self.run, self.single),
                    row(self.trig_mode, self.trig_port, self.trigger),
                    Div(text="<b>Front end</b>"), row(self.gain, self.antialias),
                    row(self.wavelength, self.raw),
                    Div(text="<b>Stream</b>"), row(self.filter, self.cutoff),
                    row(self.downsampling),
                    Div(text="<b>Spectrum</b>"), row(self.averaging, self.reset_average), self.db,
                    self.take_dark]
        self.spectrum_csv = CustomJS(code=_CSV_JS, args=dict(
            source=self.spectra[False].measured, columns=["f", "density", "db"], filename="spectrum.csv",
            header=["frequency_hz", "density_W2_per_Hz", "db_re_shot_noise"]))
        downloads = [Button(label="Spectrum CSV", name="spectrum_csv", css_classes=["zopy-spectrum-csv"],
                            **half)]
        downloads[0].js_on_click(self.spectrum_csv)
        if scope.balanced:
            self.balance_csv = CustomJS(code=_CSV_JS, args=dict(
                source=self.balance_source, columns=["t", "mean"], filename="balance.csv",
                header=["seconds_before_now", "p1_minus_p2_W"]))
            downloads.append(Button(label="Balance CSV", name="balance_csv", **half))
            downloads[1].js_on_click(self.balance_csv)
        controls.append(row(*downloads))
        if scope.balanced:
            controls.append(self.total_power)
        controls += [Div(text="<b>Recording</b>"), self.record_name,
                     row(self.record_limit_s, self.record_limit_mb), self.record]
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
            self._resync()
            return
        self._ask(name, value)

    def _ask(self, name: str, value: Any = None) -> None:
        self._show_notice("", False)
        self.scope.request(name, value, self._reply)

    def _reply(self, text: str, error: bool) -> None:
        """From the acquisition thread: the outcome of this page's request."""
        self.doc.add_next_tick_callback(functools.partial(self._show_notice, text, error))

    def _resync(self) -> None:
        """Brings the page up to date, its controls back to the settings in force
        (a value that did not read, or a browser that connected again)."""
        self._shown.pop("settings", None)
        self._seen_version = -1
        self._update()

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
        """From the acquisition thread, after each publication: update on the
        server's thread, while a browser shows the page."""
        # A session with no browser (its page closed, or fetched and never
        # connected) gets nothing: each callback queued on its document keeps
        # Bokeh from dropping the session, so with frames fifty times a second
        # unused sessions would pile up for minutes, each drawing every frame.
        if not self._wake_pending and self._watched():
            self._wake_pending = True
            self.doc.add_next_tick_callback(self._on_wake)

    def _watched(self) -> bool:
        """Whether a browser is connected to this page's session."""
        session = getattr(self.doc.session_context, "session", None)
        return session is not None and session.connection_count > 0

    def _catch_up(self, event: Any) -> None:
        """A browser connected: what was published meanwhile was not sent."""
        self._resync()

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
        # Both are replaced whenever they change; most publications bring a frame alone.
        if scope.status is not self._shown.get("status"):
            self._shown["status"] = scope.status
            self._show_status(scope.status)
        if scope.settings is not self._shown.get("settings"):
            self._shown["settings"] = scope.settings
            self._sync(scope.settings)
        frame = scope.frame
        if self._in_flight and time.monotonic() - self._sent_at >= ACK_TIMEOUT:
            self._in_flight.clear()       # lost, or the page is hidden: send the latest anyway
        if frame is not None and frame.seq != self._sent and len(self._in_flight) < IN_FLIGHT:
            assert scope.settings is not None     # published with the first frame or before
            self._push(frame, scope.settings)

    def _show_status(self, status: Status) -> None:
        if status.recording:      # to be seen from across the lab
            style = ("color: white; background: #c62828; font-weight: bold; font-size: 1.15em; "
                     "padding: 2px 8px; border-radius: 4px")
            text = f"&#9679; {html.escape(status.text)}"
        else:
            style = f"color: {'#b00020' if status.error else '#1b5e20'}"
            text = html.escape(status.text)
        self._set(self.status, "text", f'<span style="{style}">{text}</span>')

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
                      (self.trig_port, "value", settings.trig_port),
                      (self.record_limit_s, "value", settings.record_limit_s),
                      (self.record_limit_mb, "value", None if settings.record_limit_bytes is None
                       else settings.record_limit_bytes / 1e6)]
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
        renewed = frame.epoch != self._shown.get("epoch")
        # The trace (and the balance bar) every frame; the rest a few times a
        # second, at once for a frame of new settings, and for the frame that
        # stays on the page when it is paused.
        since = now - self._shown.get("slow_at", 0.0)
        drawn = self.rendered - self._shown.get("slow_rendered", -SLOW_FRAMES)
        slow_due = (renewed or not settings.running or frame.source != "stream"
                    or (since >= SLOW_SECONDS and drawn >= SLOW_FRAMES) or since >= 1.0)
        self.doc.hold("combine")
        try:
            self._draw_trace(frame, renewed)
            if self.scope.balanced:
                self._draw_balance_bar(frame, renewed)
            if slow_due:
                self._shown["slow_at"], self._shown["epoch"] = now, frame.epoch
                self._shown["slow_rendered"] = self.rendered
                self._draw_spectrum(frame, settings, renewed)
                self._draw_numbers(frame)
                if self.scope.balanced:
                    self.balance_source.data = dict(t=frame.balance_time_s,
                                                    mean=frame.balance_mean * _scale(frame.units))
                    header = ["seconds_before_now",
                              "p1_minus_p2_counts" if frame.units == "counts" else "p1_minus_p2_W"]
                    if self.balance_csv.args["header"] != header:
                        self.balance_csv.args = {**self.balance_csv.args, "header": header}
            self._sent, self._sent_at = frame.seq, now
            self._in_flight[frame.seq] = frame.acquired_at
            self.ack.sent = frame.seq     # last: the browser acknowledges after drawing it all
        finally:
            self.doc.unhold()

    def _draw_trace(self, frame: Frame, renewed: bool) -> None:
        if self._shown.get("t") is not frame.trace_time_s:
            self._shown["t"] = frame.trace_time_s
            self.trace_source.data = dict(t=frame.trace_time_s, y=frame.trace)
            self.trace_x.show(0.0, frame.block_length / frame.samplerate_hz, margin=0.0)
        else:
            self.trace_source.data.update(y=frame.trace)
        self.trace_y.follow(float(frame.trace.min()), float(frame.trace.max()), snap=renewed)
        self._set(self.trace.yaxis[0], "axis_label",
                  "ADC counts" if frame.units == "counts" else f"power ({frame.units})")
        what = "Latest block" if frame.source == "stream" else f"Block {frame.source}"
        kind = ", min and max of each pixel" if frame.envelope else ""
        self._set(self.trace.title, "text", f"{what}: {frame.block_length} samples at "
                                            f"{_rate_text(frame.samplerate_hz)}{kind}")

    def _draw_spectrum(self, frame: Frame, settings: Settings, renewed: bool) -> None:
        level, reference = frame.shot_level, frame.shot_reference
        show_db = settings.db and reference is not None
        density = frame.density.astype(numpy.float32)
        # dB re the shot-noise reference through the chain whenever it is known:
        # the hover read-out and the CSV give it in W²/Hz too
        db = numpy.full_like(density, numpy.nan)
        if reference is not None:
            with numpy.errstate(divide="ignore", invalid="ignore"):
                db = (10 * numpy.log10(frame.density / reference)).astype(numpy.float32)
        view = self.spectra[show_db]
        source = view.measured
        if self._shown.get("f") is not frame.frequency_hz or show_db != self._shown.get("db"):
            self._shown["f"], self._shown["db"] = frame.frequency_hz, show_db
            source.data = dict(f=frame.frequency_hz, density=density, db=db)
            self.spectrum_x.show(float(frame.frequency_hz[0]), float(frame.frequency_hz[-1]),
                                 margin=0.0)
        elif level is not None or self._shown.get("db_known"):
            source.data.update(density=density, db=db)
        else:
            source.data.update(density=density)
        self._shown["db_known"] = level is not None
        units = frame.density_units.replace("²", "2").replace("/", "_per_")
        header = ["frequency_hz", f"density_{units}", "db_re_shot_noise"]
        if self.spectrum_csv.args["header"] != header or self.spectrum_csv.args["source"] is not source:
            self.spectrum_csv.args = {**self.spectrum_csv.args, "header": header, "source": source}
        # A clipped block's spectrum says nothing of the noise (nor does an
        # empty one): the axes stay on the last that did, unless there was none.
        first = not self._shown.get("spectrum_followed")
        if not frame.over_range or first or renewed:
            references = [] if reference is None else [float(reference.max())]
            extent = (_finite_extent(db) if show_db
                      else _spectrum_extent(frame.density, references))
            if extent is not None:
                self._shown["spectrum_followed"] = True
                view.y.follow(*extent, snap=renewed or first)
        # the bins (the same array while they stay) and P, as the shown plot has them
        shown = self._shown.get(("shot", show_db))
        if shown is None or shown[0] is not frame.frequency_hz or shown[1] != level:
            self._shown[("shot", show_db)] = (frame.frequency_hz, level)
            view.shot.data = (
                dict(f=frame.frequency_hz, level=reference, zero=numpy.zeros(len(reference)))
                if reference is not None else dict(f=[], level=[], zero=[]))
        self._draw_dark(frame, view.dark, show_db)
        low, high = frame.band_hz
        self._set(view.band, "left", low)
        self._set(view.band, "right", high)
        for in_db, each in self.spectra.items():
            self._set(each.plot, "visible", in_db == show_db)
        self._set(self.spectra[False].plot.yaxis[0], "axis_label",
                  f"noise density ({frame.density_units})")
        self._set(view.plot.title, "text", f"Noise spectrum: average of {frame.averaged} blocks")
        notes = []
        if frame.excess_noise_db is not None:
            notes.append(f"excess noise {frame.excess_noise_db:+.2f} dB over shot noise "
                         f"through the chain, {_hz(low)} to {_hz(high)} (shaded)")
        elif frame.over_range > 0:
            notes.append("no excess noise: samples over range")
        elif level is None and frame.density_units == "W²/Hz":
            notes.append("shot-noise level unknown: give the total power on both photodiodes"
                         if frame.balanced else "shot-noise level unknown: no light")
        if frame.clearance_db is not None:
            notes.append(f"clearance {frame.clearance_db:+.2f} dB over the dark floor")
        if settings.db and level is None:
            notes.append("dB needs the shot-noise level")
        self._set(view.notes, "text", "; ".join(notes))

    def _draw_dark(self, frame: Frame, source: Any, show_db: bool) -> None:
        """The dark reference, in W²/Hz and in dB re the shot-noise reference."""
        dark = frame.dark_density
        shown = self._shown.get(("dark", show_db))      # the same arrays while they stay
        if shown is not None and shown[0] is dark and shown[1] is frame.shot_reference:
            return
        self._shown[("dark", show_db)] = (dark, frame.shot_reference)
        if dark is None:
            source.data = dict(f=[], dark=[], dark_db=[])
            return
        dark_db = numpy.full(dark.shape, numpy.nan)
        if frame.shot_reference is not None:
            with numpy.errstate(divide="ignore", invalid="ignore"):
                dark_db = 10 * numpy.log10(dark / frame.shot_reference)
        source.data = dict(f=frame.frequency_hz, dark=dark, dark_db=dark_db)

    def _draw_numbers(self, frame: Frame) -> None:
        rows = _number_rows(frame)
        rows += [("", "", "black")] * (NUMBER_ROWS - len(rows))
        labels, values, colours = (list(column) for column in zip(*rows[:NUMBER_ROWS]))
        shown = self.numbers_source.data
        if (shown["label"], shown["value"], shown["colour"]) != (labels, values, colours):
            self.numbers_source.data.update(label=labels, value=values, colour=colours)

    def _draw_balance_bar(self, frame: Frame, renewed: bool) -> None:
        """The balance in watts (or counts from mid-scale), on a range that
        zooms in as it improves and out at once when it jumps."""
        value = frame.balance * _scale(frame.units)
        self.balance_bar_source.data.update(right=[value])
        unit = "" if frame.units == "counts" else "W"
        if self.balance_format.args.get("unit") != unit:
            self.balance_format.args = dict(unit=unit)
        extent = max(abs(value), BALANCE_FLOOR[unit or "counts"])
        self.balance_auto.follow(-extent, extent, snap=renewed)

    def _destroyed(self, session_context: Any) -> None:
        self.scope.unsubscribe(self._wake)
        self.scope.pages.discard(self)


# ------------------------------------------------------------------ text

def _number_rows(frame: Frame) -> list[tuple[str, str, str]]:
    """(label, value, colour) of each line of the numbers."""
    unit = frame.units
    black, red = "black", "#b00020"
    if frame.balanced:
        first = ("P1 − P2 mean", _engineering(frame.balance, unit))
    else:
        first = ("Mean power", _engineering(frame.mean, unit))
    rows = [(*first, black),
            ("Standard deviation", _engineering(frame.std, unit), black),
            ("Excess noise", ("none: over range" if frame.over_range > 0 else "unknown")
             if frame.excess_noise_db is None
             else f"{frame.excess_noise_db:+.2f} dB re shot noise",
             black),
            ("Sample rate", _rate_text(frame.samplerate_hz), black),
            ("Gain", frame.gain, black),
            ("Wavelength", f"{frame.wavelength_nm:g} nm", black),
            ("Over range", f"{100 * frame.over_range:.3g} % of samples",
             red if frame.over_range > 0 else black)]
    if frame.shot_power_w is not None:
        rows.insert(3, ("Shot noise at", f"{frame.shot_power_w * 1e6:.4g} µW: "
                                         f"{frame.shot_level:.3g} W²/Hz", black))
    if frame.over_range > 0:
        rows += [("Over range: the readings are clipped", "", red),
                 ("(switch to low gain or reduce the light)", "", red)]
    return rows


def _engineering(value: float, unit: str) -> str:
    """A reading in engineering notation: 40.00 µW, −512.3 nW; counts as they are."""
    if unit not in WATTS:
        return f"{value:.4g} {unit}"
    watts = value * WATTS[unit]
    magnitude = abs(watts)
    scale, prefix = 1e-15, "f"
    for s, p in ((1e-12, "p"), (1e-9, "n"), (1e-6, "µ"), (1e-3, "m"), (1.0, ""), (1e3, "k")):
        if magnitude >= s * 0.9995:
            scale, prefix = s, p
    return f"{watts / scale:.4g} {prefix}W".replace("-", "−")


def _scale(units: str) -> float:
    """What one of ``units`` is in watts (1 for counts)."""
    return WATTS.get(units, 1.0)


def _spectrum_extent(density: NDArray[Any], references: list[float]) -> tuple[float, float] | None:
    """The densities worth showing and the reference lines; None for none (an
    empty block). Bins far below the peak (a rounding error's, or DC
    removed exactly) would squash the rest into a line: at most SPECTRUM_DECADES."""
    positive = density[numpy.isfinite(density) & (density > 0)]
    if not positive.size:
        return None
    high = float(positive.max())
    low = max(float(numpy.percentile(positive, 0.5)), high * 10.0 ** -SPECTRUM_DECADES)
    return min([low, *references]), max([high, *references])


def _finite_extent(values: NDArray[Any]) -> tuple[float, float] | None:
    finite = values[numpy.isfinite(values)]
    return (float(finite.min()), float(finite.max())) if finite.size else None


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


def _limit_number(value: Any) -> float | None:
    """A limit typed on the page: empty or 0 for none."""
    return None if not value else float(value)


def _optional_number(value: Any) -> float | None:
    return None if value is None else float(value)


def _shown_number(value: float | None) -> float | None:
    return None if value is None or not math.isfinite(value) else value


def make_page(scope: Scope, doc: Any) -> None:
    """The Bokeh app's function: a page of ``scope`` in the document ``doc``."""
    Page(scope, doc)
