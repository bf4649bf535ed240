"""From the editor's save to its diagnostics: `morvane lsp` beside `morvane watch`.

    scripts/run build/venv/bin/python bench/bench_lsp.py [--size N] [--repeat N]

Generates bench_save.py's hierarchy project (default 10,000 cells), then in
one run measures, each in a process of its own:

``watcher``
    ``morvane watch``: from writing the saved file to the watcher's line
    about it (bench_save.py's "save to report");
``language server``
    ``morvane lsp`` over pipes: from writing the saved file and sending
    ``textDocument/didSave`` to the ``textDocument/publishDiagnostics`` for it.

and prints both medians and their difference; the server's goal is the
watcher's time plus at most 10 ms. A plain script, not a test.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

from bench_save import Saver, age, make_hierarchy, watch_latency  # beside this script

HERE = Path(__file__).resolve()
GOAL_MS = 10.0


class Pipe:
    """A language server process and the messages it sent."""

    def __init__(self, python: str, root: Path, env: dict[str, str]) -> None:
        self.process = subprocess.Popen([python, "-m", "morvane", "lsp"], cwd=root, env=env,
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL)
        self.messages: list[tuple[float, dict]] = []
        self.cond = threading.Condition()
        self.next_id = 0
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self) -> None:
        stream = self.process.stdout
        assert stream is not None
        while True:
            length = 0
            while True:
                line = stream.readline()
                if not line:
                    return
                if line == b"\r\n":
                    break
                if line.lower().startswith(b"content-length:"):
                    length = int(line.split(b":")[1])
            message = json.loads(stream.read(length))
            with self.cond:
                self.messages.append((time.perf_counter(), message))
                self.cond.notify_all()

    def send(self, message: dict) -> None:
        body = json.dumps({"jsonrpc": "2.0", **message}).encode()
        assert self.process.stdin is not None
        self.process.stdin.write(b"Content-Length: %d\r\n\r\n" % len(body) + body)
        self.process.stdin.flush()

    def request(self, method: str, params: dict) -> int:
        self.next_id += 1
        self.send({"id": self.next_id, "method": method, "params": params})
        return self.next_id

    def wait(self, test, since: int, timeout: float = 600) -> tuple[float, int]:
        deadline = time.perf_counter() + timeout
        with self.cond:
            while True:
                for i in range(since, len(self.messages)):
                    if test(self.messages[i][1]):
                        return self.messages[i][0], i + 1
                left = deadline - time.perf_counter()
                if left <= 0 or self.process.poll() is not None:
                    raise RuntimeError("lsp: no answer")
                self.cond.wait(left)

    def close(self) -> None:
        self.process.kill()
        self.process.wait()


def lsp_latency(python: str, root: Path, saved: Path, env: dict[str, str], repeat: int) -> float:
    """From writing ``saved`` and sending its didSave to its diagnostics, median."""
    pipe = Pipe(python, root, env)
    uri = saved.resolve().as_uri()
    save = Saver(saved)
    try:
        asked = pipe.request("initialize", {"processId": os.getpid(), "rootUri": root.as_uri(), "capabilities": {}})
        _, seen = pipe.wait(lambda m: m.get("id") == asked, 0)
        pipe.send({"method": "initialized", "params": {}})
        pipe.send({"method": "textDocument/didOpen", "params": {"textDocument": {
            "uri": uri, "languageId": "python", "version": 1, "text": saved.read_text()}}})
        # Answered once the first, full pass is done.
        asked = pipe.request("textDocument/hover", {"textDocument": {"uri": uri},
                                                    "position": {"line": 0, "character": 0}})
        _, seen = pipe.wait(lambda m: m.get("id") == asked, seen)
        times = []
        for _ in range(repeat):
            time.sleep(0.3)
            save()
            pipe.send({"method": "textDocument/didSave", "params": {"textDocument": {"uri": uri}}})
            start = time.perf_counter()
            end, seen = pipe.wait(lambda m: m.get("method") == "textDocument/publishDiagnostics"
                                  and m["params"]["uri"] == uri, seen)
            times.append(end - start)
        return statistics.median(times)
    finally:
        pipe.close()
        save.path.write_text(save.text)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=10_000, help="cells in the project (default: 10000)")
    parser.add_argument("--repeat", type=int, default=15, help="saves measured per side (default: 15)")
    args = parser.parse_args()
    base = HERE.parents[1] / "build" / "tmp" / f"bench_lsp_{args.size}"
    shutil.rmtree(base, ignore_errors=True)
    base.mkdir(parents=True)
    root = base.resolve()
    _, saved = make_hierarchy(root, args.size)
    age(root)
    env = {k: v for k, v in os.environ.items() if not k.startswith("MORVANE_")}
    try:
        watcher = watch_latency(sys.executable, root, saved, {**env, "MORVANE_PROJECT_DIR": str(root)}, args.repeat)
        shutil.rmtree(root / ".morvane", ignore_errors=True)
        age(root)
        server = lsp_latency(sys.executable, root, saved, env, args.repeat)
    finally:
        shutil.rmtree(base, ignore_errors=True)
    difference = (server - watcher) * 1e3
    print(f"hierarchy, {args.size:,} cells, median of {args.repeat} saves each")
    print(f"  watcher, save to report:               {watcher * 1e3:8.1f} ms")
    print(f"  language server, save to diagnostics:  {server * 1e3:8.1f} ms")
    print(f"  difference: {difference:+.1f} ms (goal: at most +{GOAL_MS:g} ms): "
          f"{'met' if difference <= GOAL_MS else 'NOT MET'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
