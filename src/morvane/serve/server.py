"""The HTTP side of the live page: routes, the Host check, server-sent events.

Routes (GET only):

====================  =========================================================
``/``                 the page
``/static/NAME``      its style sheet and script
``/api/state``        project, last pass and counts
``/api/cells``        cells matching ``?q=TEXT&kind=all|ok|error|failing|model``
``/api/cell/NAME``    one cell: record, parameters, dependencies, model, drawing
``/api/svg/NAME``     the cell's drawing (``image/svg+xml``)
``/api/models``       every model with its settings
``/events``           ``text/event-stream``: one ``pass`` event per pass
====================  =========================================================

The server listens on 127.0.0.1 only and answers only requests addressed
to it by that name or ``localhost`` (the Host header), so that a page of
another site cannot reach it through a name that resolves here.
"""

from __future__ import annotations

import json
import threading
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

_STATIC = {
    "index.html": "text/html; charset=utf-8",
    "style.css": "text/css; charset=utf-8",
    "app.js": "text/javascript; charset=utf-8",
}
_SECURITY_HEADERS = {
    "X-Content-Type-Options": "nosniff",
    "Referrer-Policy": "no-referrer",
    "Content-Security-Policy": ("default-src 'none'; script-src 'self'; style-src 'self'; "
                                "img-src 'self'; connect-src 'self'; base-uri 'none'; "
                                "form-action 'none'; frame-ancestors 'none'"),
}


def _load_static() -> dict[str, bytes]:
    folder = resources.files("morvane.serve") / "static"
    return {name: (folder / name).read_bytes() for name in _STATIC}


class LiveServer(ThreadingHTTPServer):
    """A threading HTTP server bound to 127.0.0.1 that serves one :class:`LiveProject`."""

    daemon_threads = True

    def __init__(self, live: LiveProject, port: int = 0) -> None:
        self.live = live
        self.static = _load_static()
        self.stopping = threading.Event()
        super().__init__((HOST, port), Handler)

    @property
    def port(self) -> int:
        return int(self.server_address[1])

    @property
    def url(self) -> str:
        return f"http://{HOST}:{self.port}/"

    def allowed_hosts(self) -> set[str]:
        return {f"{HOST}:{self.port}", f"localhost:{self.port}"}

    def stop(self) -> None:
        """Stop serving: end the event streams, then the request loop."""
        self.stopping.set()
        self.live.close()
        self.shutdown()
        self.server_close()


def make_server(live: LiveProject, port: int = 0) -> LiveServer:
    """A server for ``live`` on 127.0.0.1:``port`` (0: a free port), not yet serving."""
    return LiveServer(live, port)


class Handler(BaseHTTPRequestHandler):
    server: LiveServer
    server_version = "morvane-serve"

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

    def _text(self, status: int, message: str) -> None:
        self._send(status, (message + "\n").encode(), "text/plain; charset=utf-8")

    # -- routing ------------------------------------------------------------------

    def do_GET(self) -> None:
        host = self.headers.get("Host", "").strip().lower()
        if host not in self.server.allowed_hosts():
            self._text(HTTPStatus.FORBIDDEN, f"forbidden: this server answers only requests for "
                                             f"{HOST}:{self.server.port} or localhost:{self.server.port}")
            return
        url = urlsplit(self.path)
        path = unquote(url.path)
        query = {k: v[-1] for k, v in parse_qs(url.query).items()}
        try:
            self._route(path, query)
        except (BrokenPipeError, ConnectionResetError):
            pass  # the browser went away

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

    def _events(self) -> None:
        """One ``pass`` event now and one after every pass, until the server stops."""
        live = self.server.live
        self.send_response(HTTPStatus.OK)
        self.send_header("Content-Type", "text/event-stream; charset=utf-8")
        self.send_header("Cache-Control", "no-store")
        self.send_header("Connection", "close")
        for key, value in _SECURITY_HEADERS.items():
            self.send_header(key, value)
        self.end_headers()
        if self.command == "HEAD":
            return
        self.close_connection = True
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
