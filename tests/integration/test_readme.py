"""The README's shell commands, run as a new user would: through the installed
launcher, in a fresh directory outside the checkout."""

from __future__ import annotations

import os
import re
import subprocess
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]

# Blocks that set up the checkout itself (clone, install, build, the test
# suite) are not run here: the suite runs inside them.
SETUP = re.compile(r"^(git clone|scripts/)")
# The watcher runs until Ctrl-C: the test sends it one after a few seconds.
WATCH = "morvane watch"
WATCH_FOR_A_WHILE = "{ timeout -s INT 10 morvane watch || [ $? -eq 124 ]; }"


def shell_blocks(text: str) -> list[str]:
    return re.findall(r"^```sh\n(.*?)^```", text, flags=re.S | re.M)


def test_every_readme_command_works(tmp_path):
    blocks = shell_blocks((REPO / "README.md").read_text())
    runnable = [b for b in blocks if not SETUP.match(b)]
    assert len(runnable) >= 3 and any("morvane init" in b for b in runnable)

    prefix = tmp_path / "prefix"
    installed = subprocess.run([str(REPO / "scripts/install"), str(prefix)], capture_output=True,
                               text=True, timeout=600)
    assert installed.returncode == 0, installed.stdout + installed.stderr
    assert (prefix / "bin/morvane").resolve() == REPO / "scripts/morvane"

    script = "set -euo pipefail\n" + "\n".join(
        b.replace(WATCH, WATCH_FOR_A_WHILE) if b.strip() == WATCH else b for b in runnable)
    home = tmp_path / "home"
    home.mkdir()
    env = {k: v for k, v in os.environ.items() if not k.startswith("MORVANE_")}
    env.update(PATH=f"{prefix / 'bin'}:{env.get('PATH', '/usr/bin:/bin')}", HOME=str(home))
    done = subprocess.run(["bash", "-c", script], cwd=home, capture_output=True, text=True,
                          env=env, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr
    out = done.stdout
    assert "new factories (3):  mmi, straight" not in out  # a cell of the PDK is not the project's
    assert re.search(r"new factories \(2\):\s+mmi, straight", out), out
    assert "mmi  cell  ok" in out and "uses        straight" in out
    assert "mmi  model  ok" in out and '"length": 5.0' in out
    assert "Built 2 cells: 2 ok, 0 failed" in out
    assert "Watching" in out and "stopped" in out
    assert "Traceback" not in done.stderr
