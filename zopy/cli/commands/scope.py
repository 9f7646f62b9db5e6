"""``zopy scope``: the live view in the browser, served until Ctrl-C."""

from __future__ import annotations

import argparse
import re
import sys

import zopy

from ... import _messages as messages
from ... import scope
from ..._extras import require
from ..._stream_settings import StreamSettings
from ..common import Failure
from ..options import add_stream, count, on_off, port, positive

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
    parser.add_argument("--record-limit", type=record_limit, default={}, metavar="LIMIT",
                        help="stop a recording made on the page after this much: a duration "
                             "(90s, 10min, 2h) or a size of samples (500MB, 2GB); the page can "
                             "change it")


LIMIT_UNITS = {"s": ("record_limit_s", 1.0), "min": ("record_limit_s", 60.0),
               "h": ("record_limit_s", 3600.0), "kB": ("record_limit_bytes", 1e3),
               "MB": ("record_limit_bytes", 1e6), "GB": ("record_limit_bytes", 1e9)}


def record_limit(text: str) -> dict[str, float | int]:
    """A recording's limit as the Scope takes it: ``90s`` -> record_limit_s=90,
    ``500MB`` -> record_limit_bytes=500000000."""
    found = re.fullmatch(r"\s*([0-9.eE+]+)\s*([a-zA-Z]+)\s*", text)
    unit = found and next((u for u in LIMIT_UNITS if u.lower() == found.group(2).lower()), None)
    if not found or unit is None:
        raise argparse.ArgumentTypeError(f"not a duration or size: {text!r} (as 90s, 10min, "
                                         "2h, 500MB or 2GB)")
    try:
        amount = positive(found.group(1))
    except argparse.ArgumentTypeError:
        raise argparse.ArgumentTypeError(f"not a duration or size: {text!r}") from None
    keyword, scale = LIMIT_UNITS[unit]
    value = amount * scale
    return {keyword: int(value) if keyword == "record_limit_bytes" else value}


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
                           block_length=args.block, averaging=args.average, folder=args.folder,
                           **args.record_limit)
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
