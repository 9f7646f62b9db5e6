"""A live view of an instrument in the browser: trace, noise spectrum, balance, controls.

::

    zopy scope                       # serves http://127.0.0.1:5006/?token=... and opens it

    from zopy import scope
    scope.serve()                    # the same from a program; Ctrl-C stops it

    from bokeh.io import output_notebook, show      # in a Jupyter notebook
    output_notebook()
    live = scope.Scope()             # opens the instrument and reads it in a thread
    show(scope.app(live))            # the page, in the notebook
    live.close()

One thread per instrument reads its stream in short reads (so that a read,
which holds the interpreter lock, never stalls the server for more than
about 20 ms), and every page watching it draws its latest frame: the trace
of the latest block (a min/max envelope when the block has more samples
than the plot has pixels), the noise spectrum averaged over the last N
blocks with the shot-noise level and the clearance, the numbers, and for a
balanced unit the mean of P1 - P2 with its last 30 s. A page draws the next
frame only once it has drawn the last: a slow browser skips frames. A
control changed on one page acts on the instrument and shows on every page.
The Record button records the stream the view shows into an HDF5 file
(:class:`zopy.record.Recorder`), named on the page and kept inside the
recording folder.

The server listens on 127.0.0.1 unless given another host, admits a page
only with the session token of the URL it prints, and accepts WebSocket
connections only from pages served under the names it prints. A failing
instrument shows as a line on the page and is opened again every few
seconds; the server stays up.

Bokeh (``pip install 'zopy[scope]'``) serves the pages.
"""

from __future__ import annotations

import sys
import webbrowser
from collections.abc import Callable, Iterable
from typing import TYPE_CHECKING, Any

import zopy

from .._extras import require
from ._acquisition import RETRY_SECONDS, Scope, ScopeError, Settings, Status, resolve_recording_name

if TYPE_CHECKING:
    import argparse

__all__ = ["Scope", "ScopeError", "app", "serve"]

EXTRA = "scope"
SUMMARY = "A live view in the browser: trace, noise spectrum, balance and controls."


def app(scope: Scope) -> Callable[[Any], None]:
    """The page of ``scope`` as a Bokeh app (``bokeh.io.show(app(scope))`` in a notebook)."""
    require("bokeh", EXTRA)
    from ._page import make_page
    return lambda doc: make_page(scope, doc)


def serve(serial: str | None = None, *, scope: Scope | None = None, host: str = "127.0.0.1",
          port: int = 5006, origins: Iterable[str] = (), open_browser: bool = True,
          block: bool = True, **options: Any) -> Any:
    """Serves the live view of an instrument.

    Args:
        serial: the instrument (see :class:`Scope`); or
        scope: a :class:`Scope` already open (left open afterwards).
        host: the address to listen on (127.0.0.1: this machine only).
        port: the port (0: a free one).
        origins: more host[:port] names under which pages may be served.
        open_browser: open the page in the default browser.
        block: serve until Ctrl-C (or SIGTERM), then close everything and
            return the Recording that stopping ended, if any; False: serve
            from a thread and return the :class:`~zopy.scope._server.ScopeServer`
            at once (its ``url``; its ``stop()`` stops serving).
        options: the :class:`Scope`'s, when it is made here.
    """
    require("bokeh", EXTRA)
    from ._server import ScopeServer
    own = scope is None
    if own:
        scope = Scope(serial, **options)
    assert scope is not None       # given, or made just now
    try:
        server = ScopeServer(scope, host=host, port=port, origins=origins)
        if not block:
            server.start()
            if own:
                server.closes(scope)
            _open(server.url, open_browser)
            return server
        server.run(ready=lambda: _open(server.url, open_browser))
    except BaseException:
        if own:
            scope.close()
        raise
    return scope.close() if own else None


def _open(url: str, open_browser: bool) -> None:
    if open_browser and not webbrowser.open(url):
        print("no browser found here: open the URL above", file=sys.stderr)


# ------------------------------------------------------------------ command line

def add_arguments(sub: argparse.ArgumentParser, *, count: Callable[[int], Callable[[str], int]],
                  positive: Callable[[str], float]) -> None:
    """The options of ``zopy scope``, with the command line's converters."""
    sub.add_argument("--port", type=_port, default=5006, help="port to serve on (default 5006)")
    sub.add_argument("--host", default="127.0.0.1",
                     help="address to listen on (default 127.0.0.1: this machine only)")
    sub.add_argument("--origin", action="append", default=[], metavar="HOST[:PORT]",
                     help="another name under which the pages may be served (repeatable)")
    sub.add_argument("--no-browser", action="store_true", help="do not open a browser")
    sub.add_argument("--folder", default=".", metavar="DIR",
                     help="where recordings named on the page go (default: this folder)")
    sub.add_argument("--dtype", choices=["float32", "float64"], default="float32")
    sub.add_argument("--filter", metavar="F", default="lowpass",
                     help="none, lowpass (default) or highpass")
    sub.add_argument("--cutoff", type=positive, metavar="HZ",
                     help="filter cutoff (default: a fifth of the output rate)")
    sub.add_argument("--downsampling", type=count(1), default=10, metavar="N",
                     help="default 10")
    sub.add_argument("--decimation", type=count(1), metavar="N")
    sub.add_argument("--units", type=int, choices=[-6, -3, 0],
                     help="power of ten of the watt: -6 µW (default), -3 mW, 0 W")
    sub.add_argument("--wavelength", type=positive, metavar="NM",
                     help="calibration wavelength in nm (default: peak responsivity)")
    sub.add_argument("--gain", choices=["high", "low"], help="front-end gain (default: as set)")
    sub.add_argument("--antialias", choices=["on", "off"],
                     help="antialias filter (default: as set)")
    sub.add_argument("--bits", action="store_true", help="also record the per-sample bits")
    sub.add_argument("--block", type=count(16), default=4096, metavar="N",
                     help="samples of the trace and of each spectrum block (default 4096)")
    sub.add_argument("--average", type=count(1), default=16, metavar="N",
                     help="blocks in the spectrum's average (default 16)")


def _port(text: str) -> int:
    import argparse
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a port number: {text!r}") from None
    if not 0 <= value <= 65535:
        raise argparse.ArgumentTypeError(f"a port is 0 to 65535, not {value}")
    return value


def run_command(args: argparse.Namespace) -> int:
    """``zopy scope``: serves until Ctrl-C; returns the exit status."""
    require("bokeh", EXTRA)
    from ._server import ScopeServer, quiet_bokeh_logs
    quiet_bokeh_logs()
    options = dict(dtype=args.dtype, filter=args.filter, cutoff=args.cutoff,
                   downsampling=args.downsampling, decimation=args.decimation, units=args.units,
                   wavelength=args.wavelength, gain=args.gain,
                   antialias=None if args.antialias is None else args.antialias == "on",
                   bits=args.bits, block_length=args.block, averaging=args.average,
                   folder=args.folder)
    try:
        scope = Scope(args.serial, **options)
    except zopy.NoDeviceError:
        if args.serial:
            raise ScopeError(f"No instrument whose serial contains {args.serial!r}") from None
        raise
    try:
        server = ScopeServer(scope, host=args.host, port=args.port, origins=args.origin)

        def ready() -> None:
            print(f"zopy scope: {scope.title}\n"
                  f"  open        {server.url}\n"
                  f"  only pages with this token are served; WebSocket connections only "
                  f"from pages of {', '.join(server.origins)}\n"
                  f"  recordings  {scope.folder}\n"
                  f"  Ctrl-C stops", flush=True)
            _open(server.url, not args.no_browser)

        server.run(ready=ready)
    finally:
        stopped = scope.close()
    if stopped is not None:
        print(f"the recording stopped with the scope: {stopped.path}: {stopped.samples} "
              f"samples ({stopped.seconds:.3g} s), marked incomplete", file=sys.stderr)
    print("zopy scope stopped", file=sys.stderr)
    return 0


__all__ += ["RETRY_SECONDS", "Settings", "Status", "resolve_recording_name"]
