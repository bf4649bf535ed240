"""The HTTP side of the live page: routes, who may ask, server-sent events.

Routes (GET and HEAD only):

====================  =========================================================
``/``                 the page
``/static/NAME``      its style sheet and script
``/api/state``        project, last pass and counts
``/api/cells``        cells matching ``?q=TEXT&kind=all|ok|error|failing|model``
``/api/cell/NAME``    one cell: record, parameters, dependencies, model, drawing
``/api/svg/NAME``     the cell's drawing (``image/svg+xml``)
``/api/gds/NAME``     the drawn cell and every cell it places, as a GDSII download
``/api/models``       every model with its settings
``/events``           ``text/event-stream``: one ``pass`` event per pass
====================  =========================================================

Who may ask. The server listens on 127.0.0.1 only and answers only
requests addressed to it by that name or ``localhost`` (the Host header),
so that a page of another site cannot reach it through a name that
resolves here. A browser still sends a request to 127.0.0.1 for any page
that asks (an ``<img>``, a form, a ``fetch`` in ``no-cors`` mode), and
most routes run the project's code or hold the pass lock, so
:meth:`Handler.do_GET` lets through only what the page itself sends:

* every path but the page and its static files (:data:`PUBLIC`) needs the
  session's token, made anew each time the server starts and written into
  the page (``<meta name="morvane-token">``); the page's script sends it
  back in the ``X-Morvane-Token`` header, or as ``?token=`` where it cannot
  set a header (event streams, image and download links). Other sites
  cannot read the page, so they cannot learn it;
* a request whose ``Sec-Fetch-Site`` is neither ``same-origin`` nor
  ``none``, or whose ``Origin`` is not this server's, is refused even with
  the token. Another port of 127.0.0.1 is the same *site* but another
  *origin*: it is refused too.

The check runs in the dispatch, before any route is looked at: a new
route added to :meth:`Handler._route` is guarded without doing anything,
and an unknown path without the token is answered 403, not 404. Only a
path added to :data:`PUBLIC` is open, and nothing there may run project
code. The page's script gets the token through ``api()`` (``app.js``),
which every URL it fetches, streams or links to goes through.

Connections. A request's head (its request line and headers) must arrive
whole within :data:`HEAD_TIMEOUT_S` of the connection being taken
(:data:`BUSY_HEAD_TIMEOUT_S` while most workers are busy), so a client
that connects and sends nothing, or dribbles its head, is cut off;
any later read or write that makes no progress for :data:`IO_TIMEOUT_S`
ends the connection too. At most :data:`MAX_WORKERS` connections are
served at once, :data:`MAX_STREAMS` of them event streams (more are
answered 503, and the page's script connects again); the others wait in
the listen backlog (:data:`BACKLOG`), which absorbs a burst.
"""

from __future__ import annotations

import hmac
import io
import json
import re
import secrets
import socket
import sys
import threading
import time
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from importlib import resources
from typing import Any
from urllib.parse import parse_qs, unquote, urlsplit

from morvane import settings
from morvane.serve.live import LiveProject

__all__ = ["LiveServer", "make_server"]

HOST = "127.0.0.1"
KEEPALIVE_S = 15.0  # a comment line on the event stream this often keeps proxies and browsers patient
HEAD_TIMEOUT_S = 5.0  # a request's line and headers arrive whole within this, or the connection ends
BUSY_HEAD_TIMEOUT_S = 1.0  # the same while more than half the workers are taken
IO_TIMEOUT_S = 30.0  # a read or write that makes no progress this long ends the connection
MAX_WORKERS = 64  # connections served at once; more wait in the backlog
MAX_STREAMS = 32  # of which event streams, so that streams never take every worker
BACKLOG = 1024  # connections the kernel queues while every worker is busy
TOKEN_HEADER = "X-Morvane-Token"
TOKEN_PARAM = "token"
_TOKEN_MARK = b"@MORVANE_TOKEN@"  # in index.html: replaced by the session's token

_STATIC = {
    "index.html": "text/html; charset=utf-8",
    "style.css": "text/css; charset=utf-8",
    "app.js": "text/javascript; charset=utf-8",
}
PUBLIC = frozenset({"/", *(f"/static/{name}" for name in _STATIC)})  # paths any caller may ask for
_SECURITY_HEADERS = {
    "X-Content-Type-Options": "nosniff",
    "Referrer-Policy": "no-referrer",
    "Content-Security-Policy": ("default-src 'none'; script-src 'self'; style-src 'self'; "
                                "img-src 'self'; connect-src 'self'; base-uri 'none'; "
                                "form-action 'none'; frame-ancestors 'none'"),
}


def _load_static(token: str) -> dict[str, bytes]:
    folder = resources.files("morvane.serve") / "static"
    files = {name: (folder / name).read_bytes() for name in _STATIC}
    if _TOKEN_MARK not in files["index.html"]:
        raise RuntimeError("index.html has no place for the session token")
    files["index.html"] = files["index.html"].replace(_TOKEN_MARK, token.encode())
    return files


class LiveServer(ThreadingHTTPServer):
    """A threading HTTP server bound to 127.0.0.1 that serves one :class:`LiveProject`."""

    daemon_threads = True
    request_queue_size = BACKLOG

    def __init__(self, live: LiveProject, port: int = 0) -> None:
        self.live = live
        self.token = secrets.token_urlsafe(32)
        self.static = _load_static(self.token)
        self.stopping = threading.Event()
        self._workers = threading.BoundedSemaphore(MAX_WORKERS)
        self._busy_lock = threading.Lock()
        self.busy = 0  # workers taken
        self.streams = threading.BoundedSemaphore(MAX_STREAMS)  # event streams open
        super().__init__((HOST, port), Handler)

    @property
    def port(self) -> int:
        return int(self.server_address[1])

    @property
    def url(self) -> str:
        return f"http://{HOST}:{self.port}/"

    def allowed_hosts(self) -> set[str]:
        return {f"{HOST}:{self.port}", f"localhost:{self.port}"}

    def allowed_origins(self) -> set[str]:
        return {f"http://{host}" for host in self.allowed_hosts()}

    def process_request(self, request: Any, client_address: Any) -> None:
        # Called by the accept loop: while every worker is busy it takes no
        # new connection, and they wait in the backlog.
        while not self._workers.acquire(timeout=0.25):
            if self.stopping.is_set():
                self.shutdown_request(request)
                return
        self._count(+1)
        try:
            super().process_request(request, client_address)
        except BaseException:
            self._count(-1)
            self._workers.release()
            raise

    def process_request_thread(self, request: Any, client_address: Any) -> None:
        try:
            super().process_request_thread(request, client_address)
        finally:
            self._count(-1)
            self._workers.release()

    def _count(self, step: int) -> None:
        with self._busy_lock:
            self.busy += step

    def head_timeout(self) -> float:
        """How long a connection just taken has to send its request's head.
        Short while the workers are busy: a browser sends its head at once,
        and one that waited in the backlog has sent it already."""
        return HEAD_TIMEOUT_S if self.busy <= MAX_WORKERS // 2 else BUSY_HEAD_TIMEOUT_S

    def handle_error(self, request: Any, client_address: Any) -> None:
        if isinstance(sys.exception(), OSError):
            return  # a client that went away or stalled: no news
        super().handle_error(request, client_address)

    def stop(self) -> None:
        """Stop serving: end the event streams, then the request loop."""
        self.stopping.set()
        self.live.close()
        self.shutdown()
        self.server_close()


def make_server(live: LiveProject, port: int = 0) -> LiveServer:
    """A server for ``live`` on 127.0.0.1:``port`` (0: a free port), not yet serving."""
    return LiveServer(live, port)


class _HeadReader(io.RawIOBase):
    """The reading end of a connection, with one deadline for the request's head.

    The socket's own timeout bounds each wait; a client that sends a byte
    now and then would renew it forever, so every read here also checks the
    deadline, until :meth:`lift` is called once the head has arrived.
    """

    def __init__(self, sock: socket.socket, seconds: float) -> None:
        super().__init__()
        self.sock = sock
        self.deadline: float | None = time.monotonic() + seconds

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> int:
        if self.deadline is not None:
            left = self.deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("the request's head did not arrive in time")
            self.sock.settimeout(min(left, IO_TIMEOUT_S))
        return self.sock.recv_into(buffer)

    def lift(self) -> None:
        self.deadline = None
        self.sock.settimeout(IO_TIMEOUT_S)


class Handler(BaseHTTPRequestHandler):
    server: LiveServer
    server_version = "morvane-serve"
    timeout = IO_TIMEOUT_S

    def setup(self) -> None:
        super().setup()
        self.rfile.close()  # read through the head's deadline instead
        self._head = _HeadReader(self.connection, self.server.head_timeout())
        self.rfile = io.BufferedReader(self._head)

    def log_message(self, format: str, *args: Any) -> None:
        pass  # requests are not news; passes are printed by the loop

    # -- responses ----------------------------------------------------------------

    def _send(self, status: int, body: bytes, content_type: str, **headers: str) -> None:
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        for key, value in {**_SECURITY_HEADERS, **headers}.items():
            self.send_header(key, value)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def _json(self, value: Any, status: int = HTTPStatus.OK) -> None:
        self._send(status, json.dumps(value).encode(), "application/json")

    def _text(self, status: int, message: str, **headers: str) -> None:
        self._send(status, (message + "\n").encode(), "text/plain; charset=utf-8", **headers)

    # -- dispatch -----------------------------------------------------------------

    def do_GET(self) -> None:
        self._head.lift()  # the head is in: from here on only the socket's own timeout
        host = self.headers.get("Host", "").strip().lower()
        if host not in self.server.allowed_hosts():
            self._text(HTTPStatus.FORBIDDEN, f"forbidden: this server answers only requests for "
                                             f"{HOST}:{self.server.port} or localhost:{self.server.port}")
            return
        url = urlsplit(self.path)
        path = unquote(url.path)
        query = {k: v[-1] for k, v in parse_qs(url.query).items()}
        try:
            # Every route but the page and its files runs project code, holds
            # the pass lock or streams: only the page itself may ask.
            refusal = None if path in PUBLIC else self._refusal(query)
            if refusal is not None:
                self._text(HTTPStatus.FORBIDDEN, f"forbidden: {refusal}")
            else:
                self._route(path, query)
        except (ConnectionError, TimeoutError):
            self.close_connection = True  # the browser went away, or stopped reading

    def _refusal(self, query: dict[str, str]) -> str | None:
        """Why this request does not come from the page itself; ``None`` when it does."""
        fetch_site = self.headers.get("Sec-Fetch-Site")
        if fetch_site is not None and fetch_site.strip().lower() not in ("same-origin", "none"):
            return f"a request from another site ({fetch_site.strip()[:40]})"
        origin = self.headers.get("Origin")
        if origin is not None and origin.strip().lower() not in self.server.allowed_origins():
            return f"a request from another origin ({origin.strip()[:80]})"
        token = self.headers.get(TOKEN_HEADER) or query.get(TOKEN_PARAM) or ""
        if not hmac.compare_digest(token.encode(), self.server.token.encode()):
            return "the page's session token is missing or out of date (reload the page)"
        return None

    do_HEAD = do_GET

    def _route(self, path: str, query: dict[str, str]) -> None:
        live = self.server.live
        if path == "/":
            self._static("index.html")
        elif path.startswith("/static/") and path[len("/static/"):] in _STATIC:
            self._static(path[len("/static/"):])
        elif path == "/api/state":
            self._json(self._state())
        elif path == "/api/cells":
            try:
                limit = max(1, min(int(query.get("limit", 500)), 5000))
            except ValueError:
                self._text(HTTPStatus.BAD_REQUEST, "limit must be a whole number")
                return
            self._json(live.find_cells(query.get("q", ""), query.get("kind", "all"), limit))
        elif path == "/api/models":
            self._json(live.model_rows())
        elif path.startswith("/api/cell/"):
            detail = live.cell(path[len("/api/cell/"):])
            if detail is None:
                self._text(HTTPStatus.NOT_FOUND, f"no cell named {path[len('/api/cell/'):]!r}")
            else:
                self._json(detail)
        elif path.startswith("/api/svg/"):
            self._svg(path[len("/api/svg/"):])
        elif path.startswith("/api/gds/"):
            self._gds(path[len("/api/gds/"):])
        elif path == "/events":
            self._events()
        else:
            self._text(HTTPStatus.NOT_FOUND, f"not found: {path}")

    def _static(self, name: str) -> None:
        self._send(HTTPStatus.OK, self.server.static[name], _STATIC[name])

    def _state(self) -> dict[str, Any]:
        # No lock: a pass replaces the snapshot's values whole, never changes them in place.
        live = self.server.live
        current = settings.get_settings()
        return {"project": {"name": current.project_name, "dir": str(current.project_dir),
                            "pdk": current.pdk_name},
                "generation": live.generation, "last_pass": live.last_pass,
                "counts": live.counts()}

    def _svg(self, name: str) -> None:
        drawing = self.server.live.drawing(name)
        if drawing is None:
            self._text(HTTPStatus.NOT_FOUND, f"no cell named {name!r}")
        elif drawing.svg is None:
            error = drawing.error or {}
            self._text(HTTPStatus.INTERNAL_SERVER_ERROR,
                       f"{name} cannot be drawn: {error.get('type')}: {error.get('message')}")
        else:
            self._send(HTTPStatus.OK, drawing.svg.encode(), "image/svg+xml; charset=utf-8")

    def _gds(self, name: str) -> None:
        # The component drawn is the one written: the download matches the picture.
        from polyforge import gds

        drawing = self.server.live.drawing(name)
        if drawing is None:
            self._text(HTTPStatus.NOT_FOUND, f"no cell named {name!r}")
        elif drawing.component is None:
            error = drawing.error or {}
            self._text(HTTPStatus.INTERNAL_SERVER_ERROR,
                       f"{name} cannot be built: {error.get('type')}: {error.get('message')}")
        else:
            try:
                data = gds.to_gds(drawing.component)
            except gds.GdsError as exc:
                self._text(HTTPStatus.UNPROCESSABLE_ENTITY, f"{name} cannot be written as GDSII: {exc}")
                return
            filename = re.sub(r"[^A-Za-z0-9._-]", "_", name) + ".gds"
            self._send(HTTPStatus.OK, data, "application/octet-stream",
                       **{"Content-Disposition": f'attachment; filename="{filename}"'})

    def _events(self) -> None:
        """One ``pass`` event now and one after every pass, until the server stops."""
        if not self.server.streams.acquire(blocking=False):
            self._text(HTTPStatus.SERVICE_UNAVAILABLE, "too many event streams are open; try again later",
                       **{"Retry-After": "5"})
            return
        try:
            self._stream()
        finally:
            self.server.streams.release()

    def _stream(self) -> None:
        live = self.server.live
        self.send_response(HTTPStatus.OK)
        self.send_header("Content-Type", "text/event-stream; charset=utf-8")
        self.send_header("Cache-Control", "no-store")
        self.send_header("Connection", "close")
        for key, value in _SECURITY_HEADERS.items():
            self.send_header(key, value)
        self.end_headers()
        self.close_connection = True
        if self.command == "HEAD":
            return
        seen = None
        while not self.server.stopping.is_set():
            if live.generation != seen:
                seen = live.generation
                data = json.dumps(self._state())
                self.wfile.write(f"id: {seen}\nevent: pass\ndata: {data}\n\n".encode())
            else:
                self.wfile.write(b": keep-alive\n\n")
            self.wfile.flush()
            live.wait(seen, KEEPALIVE_S)
