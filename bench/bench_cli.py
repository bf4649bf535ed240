"""What the command line costs and prints on a large project.

    scripts/run build/venv/bin/python bench/bench_cli.py [--files N] [--cells N] [--broken N]

Generates a project of ``files`` x ``cells`` cells, ``broken`` of its files
failing to import, and runs, one process each: a first ``register``, a second
one (nothing new), the same with ``--all`` and with ``--json``, ``list`` and
``show`` of an error cell. For each it prints the wall time, the pass's own
time where there is one (the rest is start-up, the database snapshots, the
import errors kept and the report) and the number of lines printed. A plain
script, not a test; it prints one table.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path


def make_project(root: Path, files: int, cells: int, broken: int) -> None:
    (root / "pyproject.toml").write_text('[project]\nname = "big"\n\n[tool.morvane]\npdk = "generic"\n')
    package = root / "big"
    package.mkdir()
    (package / "__init__.py").write_text("")
    for f in range(files):
        lines = ["import polyforge as pf", ""]
        for c in range(cells):
            lines += ["@pf.cell", f"def cell_{f}_{c}(width: float = 0.5) -> pf.Component:",
                      "    return pf.Component()", ""]
        if f < broken:
            lines.append(f'raise RuntimeError("file {f} is not finished")')
        (package / f"cells_{f}.py").write_text("\n".join(lines) + "\n")


def run(root: Path, *args: str) -> tuple[float, int, str]:
    env = {k: v for k, v in os.environ.items() if not k.startswith("MORVANE_")}
    start = time.perf_counter()
    done = subprocess.run([sys.executable, "-m", "morvane", *args, "--project-dir", str(root)],
                          capture_output=True, text=True, env=env)
    wall = time.perf_counter() - start
    if done.returncode not in (0, 1):
        raise SystemExit(f"{args}: exit {done.returncode}: {done.stderr}")
    return wall, len(done.stdout.splitlines()), done.stdout


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=200)
    parser.add_argument("--cells", type=int, default=100)
    parser.add_argument("--broken", type=int, default=20)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        root = Path(tmp)
        make_project(root, args.files, args.cells, args.broken)
        print(f"{args.files * args.cells:,} cells in {args.files} files, {args.broken} of them broken")
        print(f"{'command':<26}{'wall s':>8}{'pass s':>8}{'lines':>8}")
        for label, command in (("register (first)", ["register"]), ("register (again)", ["register"]),
                               ("register --all", ["register", "--all"]),
                               ("register --json", ["register", "--json"]),
                               ("list", ["list"]), ("show cell_0_0", ["show", "cell_0_0"])):
            wall, lines, out = run(root, *command)
            duration = ""
            if command == ["register", "--json"]:
                duration = f"{json.loads(out)['duration_s']:.2f}"
            elif command[0] == "register":
                for line in out.splitlines():
                    if line.startswith("Registration pass over"):
                        duration = line.split(": ")[1].split(" s")[0]
            print(f"{label:<26}{wall:>8.2f}{duration:>8}{lines:>8}")


if __name__ == "__main__":
    main()
