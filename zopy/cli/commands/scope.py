"""``zopy scope``: the live view in the browser, served until Ctrl-C."""

from __future__ import annotations

import argparse
import sys

import zopy

from ... import _messages as messages
from ... import scope
from ..._extras import require
from ..._stream_settings import StreamSettings
from ..common import Failure
from ..options import add_stream, count, on_off, port

SUMMARY = "A live view in the browser: trace, noise spectrum, balance and controls."
# a live view shows a filtered, downsampled stream unless told otherwise
DEFAULTS = StreamSettings(filter="lowpass", downsampling=10, cutoff_fraction=0.2)


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--port", type=port, default=5006, help="port to serve on (default 5006)")
    parser.add_argument("--host", default="127.0.0.1",
                        help="address to listen on (default 127.0.0.1: this machine only)")
    parser.add_argument("--origin", action="append", default=[], metavar="HOST[:PORT]",
                        help="another name under which the pages may be served (repeatable)")
    parser.add_argument("--no-browser", action="store_true", help="do not open a browser")
    parser.add_argument("--folder", default=".", metavar="DIR",
                        help="where recordings named on the page go (default: this folder)")
    add_stream(parser, DEFAULTS)
    parser.add_argument("--block", type=count(16), default=4096, metavar="N",
                        help="samples of the trace and of each spectrum block (default 4096)")
    parser.add_argument("--average", type=count(1), default=16, metavar="N",
                        help="blocks in the spectrum's average (default 16)")


def run(args: argparse.Namespace) -> int:
    """Serves until Ctrl-C; returns the exit status."""
    require("bokeh", scope.EXTRA)
    from ...scope._server import ScopeServer, quiet_bokeh_logs
    quiet_bokeh_logs()
    try:
        live = scope.Scope(args.serial, dtype=args.dtype, filter=args.filter, cutoff=args.cutoff,
                           downsampling=args.downsampling, decimation=args.decimation,
                           units=args.units, wavelength=args.wavelength, gain=args.gain,
                           antialias=on_off(args.antialias, "on"), bits=args.bits,
                           block_length=args.block, averaging=args.average, folder=args.folder)
    except scope.ScopeError as exc:
        raise Failure(str(exc)) from None
    except zopy.NoDeviceError as exc:
        raise Failure(messages.no_instrument(exc, args.serial)) from None
    try:
        server = ScopeServer(live, host=args.host, port=args.port, origins=args.origin)

        def ready() -> None:
            print(f"zopy scope: {live.title}\n"
                  f"  open        {server.url}\n"
                  f"  only pages with this token are served; WebSocket connections only "
                  f"from pages of {', '.join(server.origins)}\n"
                  f"  recordings  {live.folder}\n"
                  f"  Ctrl-C stops", flush=True)
            scope.open_in_browser(server.url, not args.no_browser)

        server.run(ready=ready)
    except scope.ScopeError as exc:
        raise Failure(str(exc)) from None
    finally:
        stopped = live.close()
    if stopped is not None:
        print(f"the recording stopped with the scope: {stopped.path}: {stopped.samples} "
              f"samples ({stopped.seconds:.3g} s), marked incomplete", file=sys.stderr)
    print("zopy scope stopped", file=sys.stderr)
    return 0
