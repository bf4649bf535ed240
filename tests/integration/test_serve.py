"""The live page's server end to end: a real `morvane serve` process on a generated
project, asked with a plain HTTP client."""

from __future__ import annotations

import http.client
import json
import os
import re
import socket
import signal
import subprocess
import sys
import textwrap
import threading
import time
import xml.etree.ElementTree as ET
from pathlib import Path

import pytest

SVG = "{http://www.w3.org/2000/svg}"

WAVEGUIDES = """
    import polyforge as pf

    @pf.cell
    def wg(length: float = 10.0, width: float = 0.5) -> pf.Component:
        c = pf.Component()
        c.add_polygon([(0, 0), (length, 0), (length, width), (0, width)])
        c.add_port("o1", (0, width / 2), width, 180)
        c.add_port("o2", (length, width / 2), width, 0)
        return c
"""

CIRCUIT = """
    import polyforge as pf
    from chip.cells.waveguides import wg

    @pf.cell
    def circuit(gap: float = 5.0) -> pf.Component:
        c = pf.Component()
        c.add_ref(wg())
        c.add_ref(wg(), origin=(0, gap), rotation=90)
        return c
"""

TROUBLE = """
    import time
    import polyforge as pf

    @pf.cell
    def forever() -> pf.Component:
        while True:
            time.sleep(0.05)

    @pf.cell
    def raises(size: int = 3) -> pf.Component:
        raise ValueError(f"size {size} is not supported")
"""

BROKEN = """
    import polyforge as pf

    @pf.cell
    def ring() -> pf.Component:
        return pf.Component("ring")

    raise RuntimeError("ring is not finished")
"""


def put(root: Path, rel: str, text: str = "") -> Path:
    path = root / rel
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(textwrap.dedent(text))
    return path


def make_project(root: Path) -> Path:
    put(root, "pyproject.toml", '[project]\nname = "chip"\n\n[tool.morvane]\npdk = "generic"\n')
    put(root, "chip/__init__.py")
    put(root, "chip/cells/__init__.py")
    put(root, "chip/cells/waveguides.py", WAVEGUIDES)
    put(root, "chip/circuit.py", CIRCUIT)
    put(root, "chip/trouble.py", TROUBLE)
    put(root, "chip/broken.py", BROKEN)
    return root


def touch_later(path: Path, text: str) -> None:
    """Rewrite ``path`` so that its modification stamp surely changes."""
    before = path.stat().st_mtime_ns
    path.write_text(textwrap.dedent(text))
    if path.stat().st_mtime_ns == before:
        os.utime(path, ns=(before + 1_000_000, before + 1_000_000))


class Served:
    """A `morvane serve` process and a client for it."""

    def __init__(self, project: Path) -> None:
        env = {k: v for k, v in os.environ.items() if not k.startswith("MORVANE_")}
        self.project = project
        self.process = subprocess.Popen(
            [sys.executable, "-m", "morvane", "serve", "--project-dir", str(project), "--port", "0",
             "--interval", "0.1", "--build-timeout", "1"],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=env)
        self.output: list[str] = []
        self._ready = threading.Event()
        self.port = 0
        threading.Thread(target=self._read, daemon=True).start()
        if not self._ready.wait(120):
            self.stop()
            pytest.fail("the server did not start:\n" + "".join(self.output))
        self.url = f"http://127.0.0.1:{self.port}/"
        page = self.request("/", token=None)[2].decode()
        self.token = re.search(r'<meta name="morvane-token" content="([^"]+)">', page).group(1)

    def _read(self) -> None:
        assert self.process.stdout is not None
        for line in self.process.stdout:
            self.output.append(line)
            if line.startswith("Serving http://127.0.0.1:"):
                self.port = int(line.split("127.0.0.1:")[1].split("/")[0])
                self._ready.set()

    def request(self, path: str, host: str | None = None, timeout: float = 30, *, token: str | None = "",
                headers: dict[str, str] | None = None) -> tuple[int, str, bytes]:
        """GET ``path``; the session's token goes with it in a header unless
        ``token`` is None or another value."""
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        try:
            conn.putrequest("GET", path, skip_host=True)
            conn.putheader("Host", f"127.0.0.1:{self.port}" if host is None else host)
            if token is not None:
                conn.putheader("X-Morvane-Token", token or self.token)
            for key, value in (headers or {}).items():
                conn.putheader(key, value)
            conn.endheaders()
            response = conn.getresponse()
            return response.status, response.getheader("Content-Type", ""), response.read()
        finally:
            conn.close()

    def json(self, path: str) -> dict:
        status, kind, body = self.request(path)
        assert status == 200 and kind == "application/json", (path, status, body)
        return json.loads(body)

    def wait_for(self, check, timeout: float = 30.0):
        deadline = time.monotonic() + timeout
        while True:
            value = check()
            if value:
                return value
            if time.monotonic() > deadline:
                pytest.fail("timed out; server output:\n" + "".join(self.output))
            time.sleep(0.05)

    def stop(self) -> int:
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
            try:
                self.process.wait(20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        return self.process.returncode


@pytest.fixture
def served(tmp_path):
    server = Served(make_project(tmp_path / "chip-project"))
    # The page says where it runs (the language server links to it) while it runs.
    address = server.project / ".morvane" / "serve.json"
    assert json.loads(address.read_text())["url"] == server.url
    yield server
    assert server.stop() == 0, "".join(server.output)
    assert "stopped" in "".join(server.output)
    assert not address.exists()


def test_routes_answer_with_their_content_types_and_refuse_the_rest(served):
    expected = {
        "/": "text/html; charset=utf-8",
        "/static/app.js": "text/javascript; charset=utf-8",
        "/static/style.css": "text/css; charset=utf-8",
        "/api/state": "application/json",
        "/api/cells": "application/json",
        "/api/cells?q=wave&kind=ok": "application/json",
        "/api/cell/wg": "application/json",
        "/api/models": "application/json",
        "/api/svg/wg": "image/svg+xml; charset=utf-8",
    }
    for path, kind in expected.items():
        status, got, body = served.request(path)
        assert (status, got) == (200, kind), path
        assert body
    page = served.request("/")[2].decode()
    assert "http://" not in page.replace("http://www.w3.org", "") and "https://" not in page

    assert ET.fromstring(served.request("/api/svg/wg")[2]).tag == f"{SVG}svg"
    assert [c["name"] for c in served.json("/api/cells?q=wave")["cells"]] == ["wg"]

    for path in ("/nowhere", "/static/../live.py", "/static/index.htm", "/api/cell/nope", "/api/svg/nope",
                 "/api"):
        assert served.request(path)[0] == 404, path
    assert served.request("/api/cells?limit=many")[0] == 400
    for host in ("evil.example", f"evil.example:{served.port}", "127.0.0.1", f"127.0.0.1:{served.port + 1}", ""):
        status, kind, body = served.request("/api/state", host=host)
        assert status == 403 and kind.startswith("text/plain"), host
    assert served.request("/", host=f"localhost:{served.port}")[0] == 200


def test_the_event_stream_announces_the_current_pass_at_once(served):
    conn = http.client.HTTPConnection("127.0.0.1", served.port, timeout=30)
    try:
        conn.request("GET", "/events?token=" + served.token)
        response = conn.getresponse()
        assert response.status == 200
        assert response.getheader("Content-Type") == "text/event-stream; charset=utf-8"
        lines = [response.readline().decode() for _ in range(3)]
    finally:
        conn.close()
    assert lines[0] == "id: 1\n" and lines[1] == "event: pass\n"
    state = json.loads(lines[2].removeprefix("data: "))
    assert state["project"]["name"] == "chip" and state["counts"]["errors"] == 1


def test_only_the_page_itself_may_ask_for_what_runs_project_code(served):
    # The page and its files are open to anyone: nothing there runs project code.
    for path in ("/", "/static/app.js", "/static/style.css"):
        assert served.request(path, token=None, headers={"Sec-Fetch-Site": "cross-site"})[0] == 200, path

    # Everything else, a path the server does not know included, needs the
    # token: refused before anything is looked up, built or streamed.
    guarded = ("/api/state", "/api/cells", "/api/cell/raises", "/api/svg/raises", "/api/models", "/events",
               "/api/nowhere", "/nowhere")
    for path in guarded:
        for token in (None, "x", served.token[:-1], served.token + "x"):
            status, kind, _ = served.request(path, token=token)
            assert (status, kind) == (403, "text/plain; charset=utf-8"), (path, token)
        assert served.request(f"{path}?token=nope", token=None)[0] == 403, path
    assert served.request("/api/nowhere")[0] == 404
    assert served.request("/api/state?token=" + served.token, token=None)[0] == 200

    # The token is not enough when the browser says the request comes from
    # elsewhere; another port of this host is the same site, not the same origin.
    other = f"http://127.0.0.1:{served.port + 1}"
    for headers in ({"Sec-Fetch-Site": "same-site"}, {"Sec-Fetch-Site": "cross-site"},
                    {"Origin": other}, {"Origin": "null"}, {"Origin": "http://evil.example"},
                    {"Sec-Fetch-Site": "same-origin", "Origin": other}):
        for path in ("/api/svg/raises", "/api/cell/forever", "/events"):
            assert served.request(path, headers=headers)[0] == 403, (path, headers)
    for headers in ({"Sec-Fetch-Site": "same-origin", "Origin": served.url.rstrip("/")},
                    {"Sec-Fetch-Site": "none"}, {"Origin": f"http://localhost:{served.port}"}):
        assert served.request("/api/cell/wg", headers=headers)[0] == 200, headers

    # None of the refused requests built a cell: `raises` and `forever` would now be failing.
    assert served.json("/api/state")["counts"]["failing"] == 0


def test_idle_and_slow_clients_are_cut_off_and_hold_no_thread_for_long(served):
    from morvane.serve.server import HEAD_TIMEOUT_S, MAX_WORKERS

    def threads() -> int:
        status = Path(f"/proc/{served.process.pid}/status").read_text()
        return int(re.search(r"^Threads:\s+(\d+)", status, re.M).group(1))

    before = threads()
    clients = []
    for i in range(2 * MAX_WORKERS):
        sock = socket.create_connection(("127.0.0.1", served.port), timeout=10)
        if i % 2:  # half send nothing at all, half dribble their head a byte at a time
            sock.sendall(b"GET /api/state HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ")
        sock.setblocking(False)
        clients.append(sock)
    started = time.monotonic()
    answered: list[int] = []  # a page request among them is answered when its turn comes
    asking = threading.Thread(target=lambda: answered.append(served.request("/api/state", timeout=60)[0]))
    asking.start()
    most = before
    open_ = set(range(len(clients)))
    while open_ and time.monotonic() - started < 60:
        for i in list(open_):
            try:
                if clients[i].recv(1024) == b"":
                    open_.discard(i)
                    continue
            except BlockingIOError:
                pass
            except OSError:
                open_.discard(i)
                continue
            if i % 2:
                try:
                    clients[i].send(b"a")
                except OSError:
                    open_.discard(i)
        most = max(most, threads())
        time.sleep(0.25)
    took = time.monotonic() - started
    for sock in clients:
        sock.close()
    asking.join(60)
    assert answered == [200]
    assert not open_, f"{len(open_)} clients still connected after {took:.0f} s"
    # Two rounds of the workers, each cut at the deadline; far from the clients' 60 s.
    assert took < 2 * HEAD_TIMEOUT_S + 20
    assert most <= before + MAX_WORKERS, (before, most)
    # The server still answers, with nothing about the clients on its output.
    assert served.json("/api/state")["counts"]["cells"] == 5
    assert "Traceback" not in "".join(served.output)


def test_bad_cells_report_their_errors_and_stop_nothing_else(served):
    cells = {c["name"]: c for c in served.json("/api/cells")["cells"]}
    assert cells["ring"]["status"] == "error" and cells["ring"]["message"] == "ring is not finished"
    assert cells["wg"]["status"] == "ok"

    ring = served.json("/api/cell/ring")["drawing"]
    assert not ring["ok"] and ring["error"]["message"] == "ring is not finished"
    assert "Traceback" in ring["error"]["traceback"]

    raises = served.json("/api/cell/raises")
    assert raises["parameters"] == [{"name": "size", "kind": "positional or keyword", "default": "3",
                                     "annotation": "int"}]
    error = raises["drawing"]["error"]
    assert (error["type"], error["message"]) == ("ValueError", "size 3 is not supported")
    assert "trouble.py" in error["traceback"]
    assert served.request("/api/svg/raises")[0] == 500

    started = time.monotonic()
    forever = served.json("/api/cell/forever")["drawing"]
    assert forever["error"]["message"] == "building forever took longer than 1 s"
    assert time.monotonic() - started < 20
    # The runaway build is still going; it holds nothing up.
    assert served.json("/api/cell/forever")["drawing"]["error"]["type"] == "TimeoutError"
    assert served.json("/api/cell/wg")["drawing"]["ok"]
    assert {c["name"]: c["status"] for c in served.json("/api/cells?kind=failing")["cells"]} == {
        "forever": "failing", "raises": "failing"}
    assert served.json("/api/state")["counts"]["failing"] == 2


def test_a_save_redraws_the_cells_of_the_file_and_of_its_importers(served):
    def bbox(name: str) -> list:
        drawing = served.json(f"/api/cell/{name}")["drawing"]
        assert drawing["ok"], drawing
        return drawing["bbox"]

    assert bbox("wg") == [[0, 0], [10, 0.5]]
    assert bbox("circuit") == [[-0.5, 0], [10, 15]]
    circuit = served.json("/api/cell/circuit")
    assert circuit["uses"] == ["wg"] and served.json("/api/cell/wg")["used_by"] == ["circuit"]
    generation = served.json("/api/state")["generation"]

    touch_later(served.project / "chip/cells/waveguides.py", WAVEGUIDES.replace("10.0", "30.0"))
    served.wait_for(lambda: served.json("/api/state")["generation"] > generation)
    assert bbox("wg") == [[0, 0], [30, 0.5]]
    assert bbox("circuit") == [[-0.5, 0], [30, 35]]  # drawn anew though its own file did not change

    touch_later(served.project / "chip/circuit.py", textwrap.dedent(CIRCUIT) + "raise ImportError('half saved')\n")
    served.wait_for(lambda: served.json("/api/cells?kind=error")["matched"] == 2)
    assert served.json("/api/cell/circuit")["drawing"]["error"]["message"] == "half saved"
    assert bbox("wg") == [[0, 0], [30, 0.5]]

    (served.project / "chip/trouble.py").unlink()
    served.wait_for(lambda: "forever" not in {c["name"] for c in served.json("/api/cells")["cells"]})
    assert served.request("/api/cell/forever")[0] == 404


def test_show_writes_the_drawing_of_a_cell(tmp_path):
    project = make_project(tmp_path / "chip-project")
    env = {k: v for k, v in os.environ.items() if not k.startswith("MORVANE_")}

    def show(*args: str) -> subprocess.CompletedProcess[str]:
        return subprocess.run([sys.executable, "-m", "morvane", "show", *args, "--project-dir", str(project)],
                              capture_output=True, text=True, env=env, timeout=300)

    target = tmp_path / "circuit.svg"
    done = show("circuit", "--svg", str(target))
    assert done.returncode == 0, done.stderr
    root = ET.parse(target).getroot()
    assert root.get("data-component") == "circuit"
    assert len(root.findall(f".//{SVG}g[@class='layer']/{SVG}polygon")) == 2

    for name, message in (("raises", "cell raises failed to build: ValueError: size 3 is not supported"),
                          ("nope", "the project has no cell named 'nope'")):
        done = show(name, "--svg", str(tmp_path / "x.svg"))
        assert done.returncode == 1 and message in done.stderr.splitlines()[-1]
    assert not (tmp_path / "x.svg").exists()
