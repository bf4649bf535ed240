"""`morvane lsp` end to end: a real server process on a generated project, asked
by a plain JSON-RPC client over pipes, and by Neovim's own client.

Neovim's client log of every step is kept under build/test-artifacts/lsp/.
"""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path
from typing import Any

import pytest

pytest.importorskip("pygls", reason="python3-pygls is not installed")
pytest.importorskip("lsprotocol", reason="python3-lsprotocol is not installed")

ARTIFACTS = Path(__file__).resolve().parents[2] / "build" / "test-artifacts" / "lsp"
WAIT_S = 60.0

WAVEGUIDES = """
    import polyforge as pf

    print("waveguides imported")  # a project file that prints must not reach the protocol


    @pf.cell
    def wg(length: float = 10.0) -> pf.Component:
        c = pf.Component()
        c.add_polygon([(0, 0), (length, 0), (length, 1), (0, 1)])
        return c
"""

CIRCUIT = """
    import os

    import polyforge as pf
    from chip.waveguides import wg

    os.write(1, b"written to descriptor 1 while importing\\n")


    @pf.cell
    def circuit(gap: float = 5.0) -> pf.Component:
        c = pf.Component()
        c.add_ref(wg())
        return c
"""

MODELS = """
    from __future__ import annotations


    def wg(*, wl: float = 1.55, length: float = 10.0) -> sax.SDict:
        return {}


    def lonely(*, wl: float = 1.55) -> sax.SDict:
        return {}
"""

SLOW = """
    import time

    import polyforge as pf

    time.sleep({delay})


    @pf.cell
    def slow() -> pf.Component:
        return pf.Component()
"""


def put(root: Path, rel: str, text: str = "") -> Path:
    path = root / rel
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(textwrap.dedent(text))
    return path


def rewrite(path: Path, text: str) -> None:
    """Write ``path`` anew so that its stamp surely changes."""
    before = path.stat().st_mtime_ns if path.exists() else 0
    path.write_text(textwrap.dedent(text))
    if path.stat().st_mtime_ns == before:
        os.utime(path, ns=(before + 1_000_000, before + 1_000_000))


def make_project(root: Path, *, slow: float = 0.0) -> Path:
    put(root, "pyproject.toml", '[project]\nname = "chip"\n\n[tool.morvane]\npdk = "generic"\n')
    put(root, "chip/__init__.py")
    put(root, "chip/waveguides.py", WAVEGUIDES)
    put(root, "chip/circuit.py", CIRCUIT)
    put(root, "chip/models.py", MODELS)
    if slow:
        put(root, "chip/slow.py", SLOW.format(delay=slow))
    return root


def uri(path: Path) -> str:
    return path.resolve().as_uri()


def _env() -> dict[str, str]:
    return {k: v for k, v in os.environ.items() if not k.startswith("MORVANE_")}


class Client:
    """A language server process, and a JSON-RPC client on its pipes that
    checks every byte of standard output belongs to a well-formed message."""

    def __init__(self, cwd: Path, *args: str) -> None:
        self.stderr_path = cwd.parent / f"lsp-stderr-{time.monotonic_ns()}.txt"
        self.stderr = open(self.stderr_path, "wb")
        self.process = subprocess.Popen([sys.executable, "-m", "morvane", "lsp", *args], cwd=cwd, env=_env(),
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self.stderr)
        self.messages: list[dict[str, Any]] = []
        self.garbage: list[bytes] = []
        self.cond = threading.Condition()
        self.next_id = 0
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self) -> None:
        stream = self.process.stdout
        assert stream is not None
        while True:
            headers = {}
            while True:
                line = stream.readline()
                if not line:
                    with self.cond:
                        self.cond.notify_all()
                    return
                if line == b"\r\n":
                    break
                name, sep, value = line.decode("ascii", "replace").partition(":")
                if not sep or not line.endswith(b"\r\n"):
                    self.garbage.append(line)
                    continue
                headers[name.strip().lower()] = value.strip()
            body = stream.read(int(headers.get("content-length", 0)))
            try:
                message = json.loads(body)
            except ValueError:
                self.garbage.append(body)
                continue
            with self.cond:
                self.messages.append(message)
                self.cond.notify_all()

    # ---- sending -----------------------------------------------------------

    def raw(self, body: bytes) -> None:
        assert self.process.stdin is not None
        self.process.stdin.write(b"Content-Length: %d\r\n\r\n" % len(body) + body)
        self.process.stdin.flush()

    def send(self, message: dict[str, Any]) -> None:
        self.raw(json.dumps({"jsonrpc": "2.0", **message}).encode())

    def notify(self, method: str, params: Any = None) -> None:
        self.send({"method": method, "params": params})

    def request(self, method: str, params: Any = None) -> int:
        self.next_id += 1
        self.send({"id": self.next_id, "method": method, "params": params})
        return self.next_id

    # ---- receiving ---------------------------------------------------------

    def wait_for(self, test: Any, what: str, timeout: float = WAIT_S, after: int = 0) -> dict[str, Any]:
        """The first message from number ``after`` on that ``test`` accepts."""
        deadline = time.monotonic() + timeout
        seen = after
        with self.cond:
            while True:
                for message in self.messages[seen:]:
                    if test(message):
                        return message
                seen = len(self.messages)
                left = deadline - time.monotonic()
                if left <= 0 or self.process.poll() is not None:
                    pytest.fail(f"no {what}; messages: {json.dumps(self.messages)[-3000:]}\n"
                                f"stderr: {self.stderr_path.read_text(errors='replace')[-3000:]}")
                self.cond.wait(min(left, 0.5))

    def response(self, msg_id: Any, timeout: float = WAIT_S) -> dict[str, Any]:
        return self.wait_for(lambda m: m.get("id") == msg_id and "method" not in m, f"response to {msg_id}",
                             timeout)

    def call(self, method: str, params: Any = None) -> Any:
        reply = self.response(self.request(method, params))
        assert "error" not in reply, reply
        return reply["result"]

    def published(self, path: Path, test: Any = lambda d: True, after: int = 0) -> list[dict[str, Any]]:
        """The diagnostics of the first publication for ``path`` from
        message ``after`` on that ``test`` accepts."""
        target = uri(path)

        def match(m: dict[str, Any]) -> bool:
            return (m.get("method") == "textDocument/publishDiagnostics" and m["params"]["uri"] == target
                    and test(m["params"]["diagnostics"]))

        return self.wait_for(match, f"diagnostics for {path.name}", after=after)["params"]["diagnostics"]

    def mark(self) -> int:
        with self.cond:
            return len(self.messages)

    def initialize(self, root: Path | None, options: Any = None) -> dict[str, Any]:
        result = self.call("initialize", {"processId": os.getpid(), "rootUri": uri(root) if root else None,
                                          "capabilities": {}, "initializationOptions": options})
        self.notify("initialized", {})
        return result

    def open(self, path: Path) -> None:
        self.notify("textDocument/didOpen", {"textDocument": {
            "uri": uri(path), "languageId": "python", "version": 1, "text": path.read_text()}})

    def save(self, path: Path) -> None:
        self.notify("textDocument/didSave", {"textDocument": {"uri": uri(path)}})

    def stop(self) -> int:
        if self.process.poll() is None:
            self.process.kill()
        code = self.process.wait(30)
        self.stderr.close()
        return code


@pytest.fixture
def client(tmp_path):
    made: list[Client] = []

    def start(cwd: Path, *args: str) -> Client:
        made.append(Client(cwd, *args))
        return made[-1]

    yield start
    for c in made:
        c.stop()


def position_of(path: Path, text: str) -> dict[str, int]:
    for row, line in enumerate(path.read_text().splitlines()):
        if text in line:
            return {"line": row, "character": line.index(text) + len(text) - 1}
    raise AssertionError(f"{text!r} not in {path}")


def test_the_protocol_layer(tmp_path, client):
    """Initialise, cancellation, malformed messages, a file outside any
    project, shutdown and exit; the project's prints never reach stdout."""
    root = make_project(tmp_path / "chip", slow=2.0)
    lsp = client(tmp_path)
    result = lsp.initialize(root)
    capabilities = result["capabilities"]
    assert capabilities["hoverProvider"] and capabilities["definitionProvider"]
    assert capabilities["textDocumentSync"]["save"] is not None
    assert result["serverInfo"]["name"] == "morvane"

    # The first pass takes two seconds (slow.py): a hover waits behind it and
    # is cancelled while it waits.
    circuit = root / "chip" / "circuit.py"
    lsp.open(circuit)
    waiting = lsp.request("textDocument/hover", {"textDocument": {"uri": uri(circuit)},
                                                 "position": position_of(circuit, "def circuit")})
    lsp.notify("$/cancelRequest", {"id": waiting})
    assert lsp.response(waiting)["error"]["code"] == -32800
    lsp.notify("$/cancelRequest", {"id": 4242})  # an unknown request: nothing to say

    # Malformed messages get protocol errors; the server goes on.
    lsp.raw(b'{"jsonrpc": "2.0", "id": 50, "method": ')
    assert lsp.wait_for(lambda m: m.get("error", {}).get("code") == -32700, "parse error")["id"] is None
    lsp.raw(b"[1, 2, 3]")
    assert lsp.wait_for(lambda m: m.get("error", {}).get("code") == -32600, "invalid request")["id"] is None
    bad = lsp.request("textDocument/hover", {"textDocument": 5, "position": {"line": "x"}})
    assert lsp.response(bad)["error"]["code"] == -32602
    unknown = lsp.request("morvane/nothing", {})
    assert lsp.response(unknown)["error"]["code"] == -32601
    lsp.notify("textDocument/didSave", {"textDocument": 7})  # a bad notification: dropped
    assert lsp.process.stdin is not None
    lsp.process.stdin.write(b"not a header\r\n")  # stray bytes before a message's headers
    hover = lsp.call("textDocument/hover", {"textDocument": {"uri": uri(circuit)},
                                            "position": position_of(circuit, "def circuit")})
    assert "**circuit**" in hover["contents"]["value"]

    # A file outside any project: no diagnostics, no answers, no crash.
    stray = put(tmp_path / "elsewhere", "loose.py", "def loose():\n    return 1\n")
    mark = lsp.mark()
    lsp.open(stray)
    lsp.save(stray)
    assert lsp.call("textDocument/hover", {"textDocument": {"uri": uri(stray)},
                                           "position": {"line": 0, "character": 5}}) is None
    assert lsp.call("textDocument/definition", {"textDocument": {"uri": "untitled:Untitled-1"},
                                                "position": {"line": 0, "character": 0}}) is None
    assert not [m for m in lsp.messages[mark:] if m.get("params", {}).get("uri") == uri(stray)]

    assert lsp.call("shutdown") is None
    lsp.notify("exit")  # standard input stays open: the server leaves all the same
    assert lsp.process.wait(15) == 0
    assert not lsp.garbage, lsp.garbage
    stderr = lsp.stderr_path.read_text()
    assert "waveguides imported" in stderr and "written to descriptor 1 while importing" in stderr

    # Exit without shutdown: status 1.
    other = client(tmp_path)
    other.initialize(None)
    other.notify("exit")
    assert other.process.wait(15) == 1


def test_diagnostics_follow_saves_and_changes_on_disk(tmp_path, client):
    root = make_project(tmp_path / "chip")
    put(root, "mypdk/__init__.py", "import polyforge as pf\n\nPDK = pf.Pdk('mypdk')\n")
    rewrite(root / "pyproject.toml", '[project]\nname = "chip"\n\n[tool.morvane]\npdk = "mypdk"\n')
    lsp = client(root)
    lsp.initialize(root)
    waveguides, circuit, models = root / "chip" / "waveguides.py", root / "chip" / "circuit.py", root / "chip" / "models.py"
    lsp.open(circuit)

    # A model named like no cell: a hint at its function.
    hint = lsp.published(models, lambda d: bool(d))
    assert [(d["severity"], d["range"]["start"]["line"], d["code"]) for d in hint] == [(4, 8, "model-without-cell")]

    # Break the file circuit.py imports: both fail, each at its own line.
    mark = lsp.mark()
    rewrite(waveguides, WAVEGUIDES + "\n    raise RuntimeError('wg is not finished')\n")
    lsp.save(waveguides)
    broken = lsp.published(waveguides, lambda d: bool(d), mark)
    raising = len(textwrap.dedent(WAVEGUIDES).splitlines()) + 1
    assert [(d["range"]["start"]["line"], d["severity"]) for d in broken] == [(raising, 1)]
    assert broken[0]["message"].startswith("RuntimeError: wg is not finished\nerror cell: wg")
    importer = lsp.published(circuit, lambda d: bool(d), mark)
    assert importer[0]["range"]["start"]["line"] == position_of(circuit, "from chip.waveguides")["line"]
    assert importer[0]["message"].startswith("RuntimeError: wg is not finished")
    frames = [(r["location"]["uri"], r["location"]["range"]["start"]["line"])
              for r in importer[0]["relatedInformation"]]
    assert (uri(waveguides), raising) in frames
    hover = lsp.call("textDocument/hover", {"textDocument": {"uri": uri(circuit)},
                                            "position": position_of(circuit, "def circuit")})
    assert "cell, ERROR" in hover["contents"]["value"]

    # Mended: cleared in both files.
    mark = lsp.mark()
    rewrite(waveguides, WAVEGUIDES)
    lsp.save(waveguides)
    assert lsp.published(waveguides, lambda d: True, mark) == []
    assert lsp.published(circuit, lambda d: not d, mark) == []

    # A cell name defined in two files: a warning on both definitions; the
    # second file is written on disk only, as a checkout would.
    mark = lsp.mark()
    twin = put(root, "chip/twin.py", "import polyforge as pf\n\n\n@pf.cell\ndef wg() -> pf.Component:\n"
                                     "    return pf.Component()\n")
    on_twin = lsp.published(twin, lambda d: bool(d), mark)
    on_first = lsp.published(waveguides, lambda d: bool(d), mark)
    assert [(d["code"], d["severity"], d["range"]["start"]["line"]) for d in on_twin] == [("duplicate-cell", 2, 4)]
    assert [(d["code"], d["range"]["start"]["line"]) for d in on_first] == \
        [("duplicate-cell", position_of(waveguides, "def wg")["line"])]
    mark = lsp.mark()
    twin.unlink()
    assert lsp.published(waveguides, lambda d: not d, mark) == []

    # Hover and go to model, and back.
    hover = lsp.call("textDocument/hover", {"textDocument": {"uri": uri(waveguides)},
                                            "position": position_of(waveguides, "def wg")})["contents"]["value"]
    assert "**wg**: cell, ok" in hover and "used by 1 cell" in hover and "uses 0 cells" in hover
    assert "model: ok, from the project, `chip/models.py`" in hover and '"length": 10.0' in hover
    assert "live page" not in hover
    # With the live page running (as `serve` announces it), hover links to the cell on it.
    put(root, ".morvane/serve.json", json.dumps({"url": "http://127.0.0.1:8123/", "pid": os.getpid()}))
    hover = lsp.call("textDocument/hover", {"textDocument": {"uri": uri(waveguides)},
                                            "position": position_of(waveguides, "def wg")})["contents"]["value"]
    assert "live page: http://127.0.0.1:8123/#cell=wg" in hover
    there = lsp.call("textDocument/definition", {"textDocument": {"uri": uri(waveguides)},
                                                 "position": position_of(waveguides, "def wg")})
    assert there["uri"] == uri(models) and there["range"]["start"]["line"] == position_of(models, "def wg")["line"]
    back = lsp.call("textDocument/definition", {"textDocument": {"uri": uri(models)},
                                                "position": position_of(models, "def wg")})
    assert back["uri"] == uri(waveguides)

    # A pass that fails (the PDK package breaks): one error on pyproject.toml,
    # and the next save tries again.
    pyproject = root / "pyproject.toml"
    mark = lsp.mark()
    rewrite(root / "mypdk" / "__init__.py", "raise ImportError('the PDK is broken')\n")
    lsp.save(root / "mypdk" / "__init__.py")
    failed = lsp.published(pyproject, lambda d: bool(d), mark)
    assert failed[0]["code"] == "pass-failed" and "the PDK is broken" in failed[0]["message"]
    mark = lsp.mark()
    rewrite(root / "mypdk" / "__init__.py", "import polyforge as pf\n\nPDK = pf.Pdk('mypdk')\n")
    lsp.save(root / "mypdk" / "__init__.py")
    assert lsp.published(pyproject, lambda d: not d, mark) == []


def test_cells_that_fail_to_build_with_the_check_option(tmp_path, client):
    root = make_project(tmp_path / "chip")
    put(root, "chip/trouble.py", """
        import time

        import polyforge as pf


        @pf.cell
        def forever() -> pf.Component:
            while True:
                time.sleep(0.05)


        @pf.cell
        def raises(size: int = 3) -> pf.Component:
            raise ValueError(f"size {size} is not supported")


        @pf.cell
        def needs(width: float) -> pf.Component:
            raise ValueError("never built: it needs an argument")
    """)
    lsp = client(root, "--timeout", "0.5")
    lsp.initialize(root, {"check": True})
    trouble = root / "chip" / "trouble.py"
    found = lsp.published(trouble, lambda d: len(d) == 2)
    assert [(d["range"]["start"]["line"], d["code"]) for d in found] == \
        [(position_of(trouble, "def forever")["line"], "build-failed"),
         (position_of(trouble, "def raises")["line"], "build-failed")]
    assert "took longer than 0.5 s" in found[0]["message"]
    assert "ValueError: size 3 is not supported" in found[1]["message"]


# --------------------------------------------------------------------------
# Neovim's own client
# --------------------------------------------------------------------------

NVIM = shutil.which("nvim")

NVIM_CONFIG = """
local python, root = {python}, {root}
vim.lsp.log.set_level('debug')
function Morvane_start()
  return vim.lsp.start({{name = 'morvane', cmd = {{python, '-m', 'morvane', 'lsp'}}, root_dir = root}})
end
function Morvane_diagnostics()
  local out = {{}}
  for _, d in ipairs(vim.diagnostic.get(0)) do
    table.insert(out, {{lnum = d.lnum, message = d.message, severity = d.severity}})
  end
  return vim.json.encode(out)
end
function Morvane_hover(row, col)
  local params = {{textDocument = {{uri = vim.uri_from_bufnr(0)}}, position = {{line = row, character = col}}}}
  local replies = vim.lsp.buf_request_sync(0, 'textDocument/hover', params, 20000) or {{}}
  for _, reply in pairs(replies) do
    if reply.result then return reply.result.contents.value end
  end
  return ''
end
"""


@pytest.mark.skipif(NVIM is None, reason="Neovim (nvim) is not installed")
def test_neovim_shows_the_diagnostics_of_a_save(tmp_path):
    ARTIFACTS.mkdir(parents=True, exist_ok=True)
    for old in ARTIFACTS.glob("*.log"):
        old.unlink()
    root = make_project(tmp_path / "chip")
    waveguides = root / "chip" / "waveguides.py"
    state = tmp_path / "state"
    config = tmp_path / "config.lua"
    config.write_text(NVIM_CONFIG.format(python=json.dumps(sys.executable), root=json.dumps(str(root))))
    socket = tmp_path / "nvim.sock"
    env = {**_env(), "XDG_STATE_HOME": str(state), "XDG_CONFIG_HOME": str(tmp_path / "config"),
           "XDG_DATA_HOME": str(tmp_path / "data")}
    nvim = subprocess.Popen([NVIM, "--headless", "--clean", "--listen", str(socket), "-c", f"luafile {config}"],
                            cwd=root, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    log = state / "nvim" / "lsp.log"
    kept = [0]

    def lua(code: str) -> str:
        done = subprocess.run([NVIM, "--server", str(socket), "--remote-expr", f"luaeval({json.dumps(code)})"],
                              capture_output=True, text=True, env=env, timeout=60)
        assert done.returncode == 0, done.stderr
        return done.stdout

    def keep(step: str) -> None:
        # The client's log lines of this step, beside the others.
        text = log.read_bytes() if log.exists() else b""
        (ARTIFACTS / f"{step}.log").write_bytes(text[kept[0]:])
        kept[0] = len(text)

    def until(code: str, test: Any, what: str) -> Any:
        deadline = time.monotonic() + WAIT_S
        while True:
            value = json.loads(lua(code) or "null")
            if test(value):
                return value
            if time.monotonic() > deadline:
                keep("timed-out")
                pytest.fail(f"{what}: last {value!r}")
            time.sleep(0.2)

    try:
        deadline = time.monotonic() + 30
        while not socket.exists():
            assert time.monotonic() < deadline and nvim.poll() is None, "nvim did not start"
            time.sleep(0.05)
        lua(f"vim.cmd.edit({json.dumps(str(waveguides))})")
        lua("Morvane_start()")
        until("vim.json.encode(#vim.lsp.get_clients({bufnr = 0}) > 0 and "
              "vim.lsp.get_clients({bufnr = 0})[1].initialized == true)", bool, "the client starts")
        keep("01-open")

        # Break the file and save: an error at the raising line.
        raising = len(textwrap.dedent(WAVEGUIDES).splitlines())
        lua(f"vim.api.nvim_buf_set_lines(0, -1, -1, false, {{\"raise RuntimeError('wg is not finished')\"}})")
        lua("vim.cmd.write()")
        found = until("Morvane_diagnostics()", bool, "diagnostics after the broken save")
        assert [(d["lnum"], d["severity"]) for d in found] == [(raising, 1)]
        assert found[0]["message"].startswith("RuntimeError: wg is not finished")
        keep("02-broken")

        # Mend it: cleared.
        lua("vim.api.nvim_buf_set_lines(0, -2, -1, false, {})")
        lua("vim.cmd.write()")
        until("Morvane_diagnostics()", lambda d: d == [], "diagnostics cleared after the mended save")
        keep("03-mended")

        # Hover the cell.
        row = position_of(waveguides, "def wg")
        text = until(f"vim.json.encode(Morvane_hover({row['line']}, {row['character']}))",
                     lambda t: "**wg**" in t, "a hover")
        assert "cell, ok" in text and "used by 1 cell" in text
        keep("04-hover")
    finally:
        if nvim.poll() is None:
            subprocess.run([NVIM, "--server", str(socket), "--remote-send", "<C-\\><C-N>:qa!<CR>"],
                           env=env, capture_output=True, timeout=30)
            try:
                nvim.wait(10)
            except subprocess.TimeoutExpired:
                nvim.kill()
