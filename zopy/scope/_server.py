"""Serving a Scope's pages over HTTP with Bokeh's server, safely by default.

Every page needs the session token of the URL that the server prints (the
browser keeps it in a cookie for the page's WebSocket), sessions are signed
with a key made at start, and WebSocket connections are accepted only from
pages served under the names it prints. It listens on 127.0.0.1 unless told
otherwise.
"""

from __future__ import annotations

import asyncio
import binascii
import errno
import hmac
import logging
import secrets
import signal
import socket
import threading
import time
import urllib.parse
import zlib
from collections.abc import Callable, Iterable
from typing import Any, NoReturn

from bokeh.application import Application
from bokeh.application.handlers.function import FunctionHandler
from bokeh.server.auth_provider import AuthProvider
from bokeh.server.server import BaseServer
from bokeh.server.tornado import BokehTornado
from bokeh.server.util import bind_sockets, create_hosts_allowlist
from bokeh.util.token import get_token_payload
from tornado.httpserver import HTTPServer
from tornado.ioloop import IOLoop
from tornado.web import HTTPError

from ..record import Recording
from ._acquisition import Scope, ScopeError
from ._page import make_page

TOKEN_ARGUMENT = "token"
REFUSED = "this page needs the session token: open the URL that zopy scope printed"
UNUSED_SESSION_MS = 5_000     # a closed page's session is dropped this long after
SESSION_CHECK_MS = 2_000

log = logging.getLogger("zopy.scope")


class _TokenAuth(AuthProvider):
    """Admits a request that carries the token, in the URL or in the cookie that
    a page loaded with it sets for its WebSocket; refuses any other with 403."""

    def __init__(self, token: str, cookie: str) -> None:
        self._token, self._cookie = token, cookie
        super().__init__()

    @property
    def get_user(self) -> Callable[[Any], Any]:      # Tornado's handler; "viewer" or None
        return self._user

    @property
    def get_login_url(self) -> Callable[[Any], str]:
        return self._refuse

    def _user(self, handler: Any) -> str | None:
        websocket = hasattr(handler, "ws_connection")
        given = handler.get_argument(TOKEN_ARGUMENT, None)
        cookie = handler.get_cookie(self._cookie)
        if given is not None and hmac.compare_digest(given.encode(), self._token.encode()):
            if not websocket:      # a page: its WebSocket follows
                handler.set_cookie(self._cookie, self._token, httponly=True, samesite="Strict")
        elif cookie is None or not hmac.compare_digest(cookie.encode(), self._token.encode()):
            handler.zopy_refusal = "no session token"
            return None
        if websocket and not _well_formed_subprotocol(
                handler.request.headers.get("Sec-WebSocket-Protocol", "")):
            # Bokeh would fail on it later, with a traceback per request
            handler.zopy_refusal = "malformed Bokeh subprotocol"
            return None
        return "viewer"

    def _refuse(self, handler: Any) -> NoReturn:
        request = handler.request
        log.warning("refused %s %s from %s: %s", request.method, request.path, request.remote_ip,
                    getattr(handler, "zopy_refusal", "no session token"))
        raise HTTPError(403, reason=REFUSED)


class _PromptBokeh(BokehTornado):
    """Bokeh's application, with each page's WebSocket sending at once."""

    def new_connection(self, protocol: Any, handler: Any, application_context: Any,
                       session: Any) -> Any:
        # A message goes out as several WebSocket frames. With Nagle's algorithm
        # (Tornado leaves it on) the later ones wait for the browser to
        # acknowledge the first, which it delays by up to 40 ms: every frame
        # of the scope would reach the page that much late.
        handler.set_nodelay(True)
        return super().new_connection(protocol, handler, application_context, session)


class ScopeServer:
    """The pages of ``scope`` on ``host``:``port`` (0: a free port).

    :meth:`start` serves from a thread of its own and returns; :meth:`run`
    serves on the calling thread until :meth:`stop`, Ctrl-C or SIGTERM.
    ``origins`` adds host[:port] names under which pages may be served (a
    host name of this machine, say); the listening address is always one.
    """

    _server: Any                        # Bokeh's BaseServer, while serving
    _loop: IOLoop | None
    _thread: threading.Thread | None
    _failure: BaseException | None
    _owned: Scope | None

    def __init__(self, scope: Scope, *, host: str = "127.0.0.1", port: int = 5006,
                 origins: Iterable[str] = ()) -> None:
        self.scope, self.host, self.port = scope, host, port
        self.token = secrets.token_urlsafe(24)
        self._extra_origins = list(origins)
        self._server = self._loop = self._thread = None
        self._started = threading.Event()
        self._failure = None
        self._owned = None

    @property
    def url(self) -> str:
        """The URL to open: with the token, and the port actually bound."""
        host = f"[{self.host}]" if ":" in self.host else self.host
        if self.host in ("0.0.0.0", "::", ""):
            host = socket.gethostname()
        return f"http://{host}:{self.port}/?{TOKEN_ARGUMENT}={urllib.parse.quote(self.token)}"

    @property
    def origins(self) -> list[str]:
        """host:port names whose pages may open the WebSocket."""
        names = [self.host]
        if self.host in ("127.0.0.1", "localhost"):
            names += ["localhost", "127.0.0.1"]
        elif self.host in ("0.0.0.0", "::", ""):
            names = [socket.gethostname(), socket.getfqdn()]
        origins = [f"{name}:{self.port}" for name in dict.fromkeys(names)]
        return origins + [o if ":" in o else f"{o}:{self.port}" for o in self._extra_origins]

    def _make(self) -> None:
        try:
            sockets, self.port = bind_sockets(self.host, self.port)   # port 0: the one bound
        except OSError as exc:
            raise ScopeError(_bind_failure(self.host, self.port, exc)) from None
        app = Application(FunctionHandler(lambda doc: make_page(self.scope, doc)))
        try:
            tornado_app = _PromptBokeh(
                {"/": app}, extra_websocket_origins=create_hosts_allowlist(self.origins, self.port),
                sign_sessions=True, secret_key=secrets.token_bytes(32), generate_session_ids=True,
                auth_provider=_TokenAuth(self.token, f"zopy-scope-{self.port}"),
                unused_session_lifetime_milliseconds=UNUSED_SESSION_MS,
                check_unused_sessions_milliseconds=SESSION_CHECK_MS)
            http_server = HTTPServer(tornado_app)
            http_server.add_sockets(sockets)
        except BaseException:
            for listening in sockets:
                listening.close()
            raise
        self._server = BaseServer(IOLoop.current(), tornado_app, http_server)
        self._server.start()

    def start(self) -> "ScopeServer":
        """Serves from a thread of its own; returns once listening (raises if it cannot)."""
        self._thread = threading.Thread(target=self._serve_in_thread, name="zopy scope server",
                                        daemon=True)
        self._thread.start()
        self._started.wait()
        if self._failure is not None:
            raise self._failure
        return self

    def _serve_in_thread(self) -> None:
        asyncio.set_event_loop(asyncio.new_event_loop())
        self._loop = IOLoop.current()
        try:
            self._make()
        except BaseException as exc:    # noqa: BLE001 - given to the thread that started it
            self._failure = exc
            self._started.set()
            self._loop.close(all_fds=True)
            return
        self._started.set()
        self._loop.start()
        self._close_loop()

    def run(self, ready: Callable[[], object] | None = None) -> None:
        """Serves on this thread until :meth:`stop`, Ctrl-C, SIGTERM or SIGHUP;
        ``ready()`` is called once it listens."""
        asyncio.set_event_loop(asyncio.new_event_loop())
        self._loop = IOLoop.current()
        self._make()
        if ready is not None:
            ready()
        handled: list[signal.Signals] = []
        if threading.current_thread() is threading.main_thread() and hasattr(signal, "SIGHUP"):
            loop = asyncio.get_event_loop()
            for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
                loop.add_signal_handler(number, self._loop.add_callback, self._shutdown)
                handled.append(number)
        try:
            self._started.set()
            self._loop.start()
        finally:
            for number in handled:
                asyncio.get_event_loop().remove_signal_handler(number)
            self._close_loop()

    def _close_loop(self) -> None:
        """Lets what the sessions left scheduled finish (a moment at most), then
        closes the loop and its sockets."""
        assert self._loop is not None     # called once the loop has run
        loop = self._loop.asyncio_loop  # type: ignore[attr-defined]  # every IOLoop runs on asyncio
        pending = asyncio.all_tasks(loop)
        if pending:
            loop.run_until_complete(asyncio.wait(pending, timeout=1.0))
        # A page's message still on its way: nobody is left to answer it. Its
        # task is cancelled and let finish (one waiting for a thread, once the
        # thread is done; cancelling makes more): asyncio warns of any left pending.
        deadline = time.monotonic() + 2.0
        while (leftover := asyncio.all_tasks(loop)) and time.monotonic() < deadline:
            for task in leftover:
                task.cancel()
            loop.run_until_complete(asyncio.wait(leftover, timeout=0.5))
        self._loop.close(all_fds=True)
        _SHUTDOWN_NOISE.remove()

    def closes(self, scope: Scope) -> None:
        """:meth:`stop` closes ``scope`` too (one made for this server alone)."""
        self._owned = scope

    def stop(self) -> Recording | None:
        """Stops serving (from any thread), waits for a server thread to end and
        closes the scope if it was made for this server; returns what that
        closing returns (the Recording it stopped, if any)."""
        if self._loop is not None:
            try:
                self._loop.add_callback(self._shutdown)
            except RuntimeError:       # its loop is closed: stopped already
                pass
        if self._thread is not None and self._thread is not threading.current_thread():
            self._thread.join(10)
        return self._owned.close() if self._owned is not None else None

    async def _shutdown(self) -> None:
        _SHUTDOWN_NOISE.install()
        if self._server is not None:
            server, self._server = self._server, None
            await server.stop_async()
        assert self._loop is not None     # it runs on that loop
        self._loop.stop()


def _well_formed_subprotocol(header: str) -> bool:
    """Whether a WebSocket's subprotocol is Bokeh's: "bokeh, TOKEN" with a
    token whose payload reads (its signature Bokeh checks itself)."""
    parts = [part.strip() for part in header.split(",")]
    if len(parts) != 2 or parts[0] != "bokeh":
        return False
    try:
        payload = get_token_payload(parts[1])
    except (ValueError, binascii.Error, zlib.error, UnicodeError, TypeError):
        return False
    return isinstance(payload, dict)


def _bind_failure(host: str, port: int, exc: OSError) -> str:
    if exc.errno == errno.EADDRINUSE:
        return f"port {port} on {host} is in use (another scope?): give another with --port"
    if exc.errno == errno.EADDRNOTAVAIL:
        return f"{host} is not an address of this machine: give one with --host"
    if exc.errno == errno.EACCES:
        return f"port {port} on {host}: permission denied (ports below 1024 need privileges)"
    return f"cannot serve on {host}:{port}: {exc.strerror or exc}"


def quiet_bokeh_logs() -> None:
    """Bokeh's server logs every connection at INFO; a command line wants its own lines."""
    logging.getLogger("bokeh").setLevel(logging.WARNING)
    ws = logging.getLogger("bokeh.server.views.ws")
    ws.setLevel(logging.ERROR)    # below: a page closed while a frame was on its way
    ws.addFilter(_OriginRefusal())
    # refusals are logged once, with their reason, by _TokenAuth
    logging.getLogger("tornado.access").setLevel(logging.ERROR)


class _OriginRefusal(logging.Filter):
    """Bokeh's refusal of a WebSocket origin names its own options; this names ours."""

    def filter(self, record: logging.LogRecord) -> bool:
        message = record.getMessage()
        if message.startswith("Refusing websocket connection from Origin"):
            origin = message.split("'")[1] if "'" in message else "?"
            record.msg, record.args = (f"refused a WebSocket connection from a page of {origin}: "
                                       "add its name with --origin if it is this server's"), ()
        return True


class _ShutdownNoise(logging.Filter):
    """While the server is taken down, the pages still connected lose their
    sessions mid-message; Bokeh and Tornado log each loss as an error with its
    traceback. Nothing there to act on: those records are dropped meanwhile."""

    LOGGERS = ("tornado.application", "bokeh.server.protocol_handler", "bokeh.server.views.ws",
               "bokeh.server.contexts", "asyncio")

    def __init__(self) -> None:
        super().__init__()
        self._users = 0
        self._lock = threading.Lock()

    def install(self) -> None:
        with self._lock:
            self._users += 1
            if self._users == 1:
                for name in self.LOGGERS:
                    logging.getLogger(name).addFilter(self)

    def remove(self) -> None:
        with self._lock:
            self._users = max(0, self._users - 1)
            if self._users == 0:
                for name in self.LOGGERS:
                    logging.getLogger(name).removeFilter(self)

    def filter(self, record: logging.LogRecord) -> bool:
        return False


_SHUTDOWN_NOISE = _ShutdownNoise()
