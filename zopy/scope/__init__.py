"""A live view of an instrument in the browser: trace, noise spectrum, balance, controls.

::

    zopy scope                       # serves http://127.0.0.1:5006/?token=... and opens it

    from zopy import scope
    scope.serve()                    # the same from a program; Ctrl-C stops it

    from bokeh.io import output_notebook, show      # in a Jupyter notebook
    from bokeh.resources import INLINE
    output_notebook(INLINE)          # BokehJS from the bokeh installed: no internet needed
    live = scope.Scope()             # opens the instrument and reads it in a thread
    show(scope.app(live), notebook_url="localhost:8888", address="127.0.0.1")
                                     # Jupyter's host:port as the browser shows it; this machine only
    live.close()

One thread per instrument reads its stream in short reads (so that a read,
which holds the interpreter lock, never stalls the server for more than
about 20 ms), and every page watching it draws its latest frame: the trace
of the latest block (a min/max envelope when the block has more samples
than the plot has pixels), the noise spectrum averaged over the last N
blocks with the shot-noise reference through the stream's filters and the
excess noise over it, the numbers, and for a
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
from typing import Any

from .._extras import require
from ._acquisition import RETRY_SECONDS, Scope, ScopeError, Settings, Status, resolve_recording_name

__all__ = ["Scope", "ScopeError", "app", "serve"]

EXTRA = "scope"


def app(scope: Scope) -> Callable[[Any], None]:
    """The page of ``scope`` as a Bokeh app: in a notebook, ``bokeh.io.show(app(scope),
    notebook_url=JUPYTER_HOST_PORT, address="127.0.0.1")``."""
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
            open_in_browser(server.url, open_browser)
            return server
        server.run(ready=lambda: open_in_browser(server.url, open_browser))
    except BaseException:
        if own:
            scope.close()
        raise
    return scope.close() if own else None


def open_in_browser(url: str, open_browser: bool = True) -> None:
    """Opens ``url`` in the default browser, or says there is none."""
    if open_browser and not webbrowser.open(url):
        print("no browser found here: open the URL above", file=sys.stderr)


__all__ += ["RETRY_SECONDS", "Settings", "Status", "resolve_recording_name"]
