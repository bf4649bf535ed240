"""The watcher's memory after a project file that takes 1 GiB and then fails is fixed.

A `morvane watch --json` process runs on a small project. A file that
fills 1 GiB (at module level, or in a function's locals) and then raises is
saved; then the file is fixed and saved three more times. The watcher's
resident memory after the fix must come back within 50 MB of what it was
before the failing file.

    scripts/run build/venv/bin/python bench/bench_failed_import_memory.py
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import tempfile
import textwrap
import time
from pathlib import Path

TARGET_MB = 50.0
GIB = 2**30

CELL = """
import polyforge as pf

@pf.cell
def {name}() -> pf.Component:
    return pf.Component("{name}")
"""
FAILING = {
    "module level": "held = b'x' * {size}\nraise RuntimeError('took 1 GiB, then failed')\n",
    "function locals": ("def build():\n    held = b'x' * {size}\n    raise RuntimeError('took 1 GiB, then failed')\n"
                        "\nbuild()\n"),
}


def rss_mb(pid: int) -> float:
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    raise RuntimeError("no VmRSS")


def main() -> int:
    root = Path(tempfile.mkdtemp(prefix="morvane-bench-memory-"))
    project = root / "chip-project"
    (project / "chip").mkdir(parents=True)
    (project / "pyproject.toml").write_text('[project]\nname = "chip"\n\n[tool.morvane]\npdk = "generic"\n')
    (project / "chip" / "__init__.py").write_text("")
    for i in range(20):
        (project / "chip" / f"part{i}.py").write_text(textwrap.dedent(CELL.format(name=f"part{i}")))
    target = project / "chip" / "heavy.py"
    target.write_text(CELL.format(name="heavy"))
    env = {k: v for k, v in os.environ.items() if not k.startswith("MORVANE_")}
    watcher = subprocess.Popen([sys.executable, "-m", "morvane", "watch", "--json", "--interval", "0.2",
                                "--project-dir", str(project)], stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, text=True, env=env)

    def next_pass() -> dict:
        line = watcher.stdout.readline()
        if not line:
            raise RuntimeError("the watcher ended")
        return json.loads(line)

    def save(text: str) -> dict:
        target.write_text(text)
        return next_pass()

    failures = 0
    try:
        next_pass()
        for i in range(3):  # settle: the modules a pass needs are loaded
            save(CELL.format(name="heavy") + f"# {i}\n")
        for how, body in FAILING.items():
            time.sleep(0.5)
            before = rss_mb(watcher.pid)
            failed = save(CELL.format(name="heavy") + body.format(size=GIB))
            assert failed["ok"] and failed["errors"], failed
            after_failure = rss_mb(watcher.pid)
            for i in range(4):  # the fix, and three more passes
                save(CELL.format(name="heavy") + f"# fixed {i}\n")
            time.sleep(0.5)
            after_fix = rss_mb(watcher.pid)
            grew = after_fix - before
            ok = grew <= TARGET_MB
            failures += not ok
            print(f"{how:16s} before {before:8.1f} MB  after the failing file {after_failure:8.1f} MB  "
                  f"after the fix {after_fix:8.1f} MB  grew {grew:+7.1f} MB  "
                  f"({'within' if ok else 'OVER'} {TARGET_MB:g} MB)")
    finally:
        watcher.terminate()
        watcher.wait(timeout=60)
        subprocess.run(["rm", "-rf", str(root)], check=False)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
