"""What a save costs: the registration passes of a large project, beside their floors.

    scripts/run build/venv/bin/python bench/bench_save.py [--size N ...] [--quick] [--baseline DIR]

Generates two projects per size (10 cells per file):

- flat: cells that use no other cell;
- hierarchy: 7 levels, each cell using 2 to 5 cells of the level below,
  from other files; 60 % of the leaves have a project model (a function of
  the cell's name in a models file).

and prints one table. For each project and pass, the median of several
passes, and beside it the floor, what the pass cannot avoid, measured in the
same run, and the ratio of the two:

``one file``
    ``register_cells(paths=[f])`` after ``f`` (a top-level file that no other
    file imports) was saved with a new default; floor: ``importlib.reload``
    of its module and ``db.add_factories`` of its rows in one transaction.
``watcher pass``
    ``watch.apply_changes([f], [])``, the watcher's pass for that save; same floor.
``watcher pass, events``
    the same, told of ``f`` as ``watch``'s file events tell it (no other
    file is stamped); same floor.
``warm full``
    ``register_cells()`` in a process that has run it before; floor: every
    module reloaded and every row written in one transaction.
``first full``
    ``register_cells()`` in a new process, without database or bytecode;
    floor: a new process that imports every file and writes every row.
``save to report``
    ``morvane watch`` in its own process: from writing the file to the
    watcher's line about it; floor as for ``one file``.

Also the resident memory after 10 and after 1,000 one-file passes, and the
machine's load. Each project runs in a process of its own. ``--baseline DIR``
runs every measurement a second time with the ``morvane`` package found in
``DIR`` first on ``sys.path`` (a copy of an earlier install) and prints its
figures beside. A plain script, not a test.
"""

from __future__ import annotations

import argparse
import gc
import importlib
import json
import os
import random
import shutil
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

from _measure import rss_mib  # noqa: E402  (beside this script)

HERE = Path(__file__).resolve()
CELLS_PER_FILE = 10
LEVELS = 7
OLD = time.time() - 3600  # generated files look saved an hour ago


# ---- the projects ------------------------------------------------------------------


def _pyproject(root: Path, name: str) -> None:
    (root / "pyproject.toml").write_text(f'[project]\nname = "{name}"\n\n[tool.morvane]\npdk = "generic"\n')


def _cell(name: str, calls: list[str], length: int) -> str:
    body = "".join(f"    c.add_ref({callee}())\n" for callee in calls)
    return (f"\n@pf.cell\ndef {name}(width: float = 0.5, length: float = {length}) -> pf.Component:\n"
            f"    c = pf.Component({name!r})\n{body}    return c\n")


def _package(directory: Path) -> None:
    directory.mkdir(parents=True, exist_ok=True)
    (directory / "__init__.py").write_text("")


def make_flat(root: Path, cells: int) -> tuple[str, Path]:
    name = "bflat"
    _pyproject(root, name)
    _package(root / name)
    files = max(1, cells // CELLS_PER_FILE)
    for i in range(files):
        sub = root / name / f"p{i // 100:03d}"
        if not (sub / "__init__.py").exists():
            _package(sub)
        text = "import polyforge as pf\n" + "".join(
            _cell(f"f_{i:05d}_{j}", [], j + 1) for j in range(CELLS_PER_FILE))
        (sub / f"f{i:05d}.py").write_text(text)
    saved = root / name / f"p{(files // 2) // 100:03d}" / f"f{files // 2:05d}.py"
    return name, saved


def make_hierarchy(root: Path, cells: int) -> tuple[str, Path]:
    name = "bhier"
    rng = random.Random(9)
    _pyproject(root, name)
    _package(root / name)
    _package(root / name / "models")
    per_level = max(1, cells // CELLS_PER_FILE // LEVELS)
    below: list[tuple[str, list[str]]] = []  # (module, cell names) of the level below
    for level in range(LEVELS):
        _package(root / name / f"l{level}")
        current = []
        for i in range(per_level):
            module = f"{name}.l{level}.f{i:05d}"
            names = [f"c{level}_{i:05d}_{j}" for j in range(CELLS_PER_FILE)]
            lines = ["import polyforge as pf\n"]
            sources = rng.sample(below, min(3, len(below))) if below else []
            for source_module, source_names in sources:
                lines.append(f"from {source_module} import {', '.join(source_names)}\n")
            pool = [n for _, ns in sources for n in ns]
            for j, cell in enumerate(names):
                calls = rng.sample(pool, rng.randint(2, min(5, len(pool)))) if pool else []
                lines.append(_cell(cell, calls, j + 1))
            (root / name / f"l{level}" / f"f{i:05d}.py").write_text("".join(lines))
            current.append((module, names))
            if level == 0:
                modelled = [n for n in names if rng.random() < 0.6]
                text = ("from __future__ import annotations\n\nfrom typing import TYPE_CHECKING\n\n"
                        "if TYPE_CHECKING:\n    import sax\n")
                text += "".join(f"\n\ndef {n}(*, wl: float = 1.55, loss: float = 0.{j + 1}) -> sax.SDict:\n"
                                f"    return {{}}\n" for j, n in enumerate(modelled))
                (root / name / "models" / f"m{i:05d}.py").write_text(text)
        below = current
    saved = root / name / f"l{LEVELS - 1}" / f"f{per_level // 2:05d}.py"
    return name, saved


def age(root: Path) -> None:
    for directory, _, names in os.walk(root):
        for n in names:
            os.utime(os.path.join(directory, n), (OLD, OLD))


def drop_bytecode(root: Path) -> None:
    for directory, subdirs, _ in os.walk(root):
        if "__pycache__" in subdirs:
            shutil.rmtree(os.path.join(directory, "__pycache__"))
            subdirs.remove("__pycache__")


# ---- measuring (inside one project's process) ----------------------------------------


def median_of(run, repeat: int, before=None) -> float:
    times = []
    for i in range(repeat):
        if before is not None:
            before(i)
        gc.collect()
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


class Saver:
    """Writes the saved file with a new default each time, as an editor would."""

    def __init__(self, path: Path) -> None:
        self.path = path
        self.text = path.read_text()
        self.count = 0

    def __call__(self, *_: object) -> None:
        self.count += 1
        self.path.write_text(self.text.replace("width: float = 0.5", f"width: float = 0.5{self.count}", 1))


def in_process(root: Path, saved: Path, repeat: int, passes: int) -> dict[str, float]:
    os.environ["MORVANE_PROJECT_DIR"] = str(root)
    sys.path.insert(0, str(root))
    from morvane import watch
    from morvane.core import database as db
    from morvane.core import pdk

    out: dict[str, float] = {}
    start = time.perf_counter()
    pdk.register_cells()
    out["first in process"] = time.perf_counter() - start
    save = Saver(saved)
    one = [saved]
    try:  # one revision of the engine per pass, as every driver opens it
        from morvane.core.engine import session
        a_pass, files = session.one_pass, session
    except ImportError:  # an older package: its native pass opened its look itself
        state = importlib.import_module("morvane.core.project_state")
        a_pass, files = state.one_look, state.files

    def one_file() -> None:
        with a_pass():
            pdk.register_cells(paths=one)

    out["one file"] = median_of(one_file, repeat, save)
    out["watcher pass"] = median_of(lambda: watch.apply_changes(one, []), repeat, save)
    if hasattr(files, "events_begin"):
        # As `watch` runs it with file events: told of the saved file, the
        # pass stamps no other file (a first look after the events began
        # stamps them all once).
        files.events_begin(root.resolve(), lambda key: True)
        watch.apply_changes(one, [])

        def told(*_: object) -> None:
            save()
            files.touched([saved.resolve()])

        out["watcher pass, events"] = median_of(lambda: watch.apply_changes(one, []), repeat, told)
        files.events_end()
    def warm_full() -> None:
        with a_pass():
            pdk.register_cells()

    out["warm full"] = median_of(warm_full, max(3, repeat // 3))

    rows = list(db.get_factories_by_source(saved).values())
    name = next(n for n, m in sys.modules.items() if getattr(m, "__file__", None) == str(saved))

    def floor_one() -> None:
        importlib.reload(sys.modules[name])
        with db.pass_scope():
            db.add_factories(*rows)

    out["floor one file"] = median_of(floor_one, repeat, save)
    everything = list(db.get_all_factories().values())
    prefix = root.name
    project_modules = [m for m in list(sys.modules.values())
                       if str(getattr(m, "__file__", "") or "").startswith(str(root) + os.sep)]

    def floor_full() -> None:
        for module in project_modules:
            importlib.reload(module)
        with db.pass_scope():
            db.add_factories(*everything)

    out["floor warm full"] = median_of(floor_full, max(3, repeat // 3))
    del prefix

    for _ in range(10):
        save()
        watch.apply_changes(one, [])
    gc.collect()
    out["rss 10"] = rss_mib()
    for _ in range(passes - 10):
        save()
        watch.apply_changes(one, [])
    gc.collect()
    out["rss N"] = rss_mib()
    out["passes"] = passes
    save.path.write_text(save.text)
    return out


FIRST = r'''
import os, sys, time
start = time.perf_counter()
from morvane.core import pdk
pdk.register_cells()
print(time.perf_counter() - start)
'''

FIRST_FLOOR = r'''
import os, sys, time, importlib
from pathlib import Path
root = Path(os.environ["MORVANE_PROJECT_DIR"])
sys.path.insert(0, str(root))
start = time.perf_counter()
from morvane.core import database as db
from morvane.models import FactoryRecord
import polyforge
rows = []
for directory, subdirs, names in sorted(os.walk(root)):
    subdirs.sort()
    rel = Path(directory).relative_to(root)
    if not rel.parts or rel.parts[0].startswith("."):
        continue
    for n in sorted(names):
        if n.endswith(".py"):
            parts = [*rel.parts, n[:-3]] if n != "__init__.py" else list(rel.parts)
            module = importlib.import_module(".".join(parts))
            source = (rel / n).as_posix()
            rows += [FactoryRecord(name=k, source=source) for k, v in vars(module).items()
                     if callable(v) and k.startswith(("f_", "c")) and getattr(v, "__module__", "") == module.__name__]
with db.pass_scope():
    db.add_factories(*rows)
print(time.perf_counter() - start)
'''


def new_process(python: str, root: Path, script: str, env: dict[str, str], repeat: int) -> float:
    times = []
    for _ in range(repeat):
        drop_bytecode(root)
        shutil.rmtree(root / ".morvane", ignore_errors=True)
        done = subprocess.run([python, "-c", script], cwd=root, env=env, capture_output=True, text=True)
        if done.returncode:
            raise RuntimeError(done.stderr[-2000:])
        times.append(float(done.stdout.split()[-1]))
    return statistics.median(times)


def watch_latency(python: str, root: Path, saved: Path, env: dict[str, str], repeat: int) -> float:
    """From writing ``saved`` to the watcher's line about it, median."""
    process = subprocess.Popen([python, "-m", "morvane", "watch"], cwd=root, env=env, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, text=True, bufsize=1)
    lines: list[tuple[float, str]] = []
    ready = threading.Condition()

    def read() -> None:
        assert process.stdout is not None
        for line in process.stdout:
            with ready:
                lines.append((time.perf_counter(), line))
                ready.notify_all()

    threading.Thread(target=read, daemon=True).start()

    def wait_for(text: str, since: int, timeout: float = 120) -> tuple[float, int]:
        deadline = time.perf_counter() + timeout
        with ready:
            while True:
                for i in range(since, len(lines)):
                    if text in lines[i][1]:
                        return lines[i][0], i + 1
                left = deadline - time.perf_counter()
                if left <= 0 or process.poll() is not None:
                    raise RuntimeError("watch: no line with " + repr(text) + ":\n" + "".join(l for _, l in lines))
                ready.wait(left)

    save = Saver(saved)
    try:
        _, seen = wait_for("Watching", 0)
        times = []
        for _ in range(repeat):
            time.sleep(0.3)
            save()
            start = time.perf_counter()
            end, seen = wait_for(" written", seen)
            times.append(end - start)
        return statistics.median(times)
    finally:
        process.terminate()
        process.wait()
        save.path.write_text(save.text)


def project(kind: str, size: int, repeat: int, passes: int, baseline: str | None) -> dict[str, float]:
    """Runs in the project's own process: generates, measures, prints JSON."""
    base = HERE.parents[1] / "build" / "tmp" / f"bench_save_{kind}_{size}{'_baseline' if baseline else ''}"
    shutil.rmtree(base, ignore_errors=True)
    base.mkdir(parents=True)
    root = base.resolve()
    name, saved = (make_flat if kind == "flat" else make_hierarchy)(root, size)
    age(root)
    env = {**os.environ, "MORVANE_PROJECT_DIR": str(root)}
    env.pop("MORVANE_DATABASE", None)
    if baseline:
        env["PYTHONPATH"] = baseline
    out: dict[str, float] = {}
    out["first full"] = new_process(sys.executable, root, FIRST, env, max(1, repeat // 5))
    out["floor first full"] = new_process(sys.executable, root, FIRST_FLOOR, env, max(1, repeat // 5))
    age(root)
    out["save to report"] = watch_latency(sys.executable, root, saved, env, repeat)
    shutil.rmtree(root / ".morvane", ignore_errors=True)
    age(root)
    out.update(in_process(root, saved, repeat, passes))
    shutil.rmtree(base, ignore_errors=True)
    return out


# ---- the table ----------------------------------------------------------------------


def fmt(seconds: float) -> str:
    return f"{seconds:.2f} s" if seconds >= 1 else f"{seconds * 1e3:.1f} ms"


def table(results: dict[tuple[str, int, str], dict[str, float]], labels: list[str]) -> None:
    passes = [("one file", "floor one file"), ("watcher pass", "floor one file"),
              ("watcher pass, events", "floor one file"),
              ("save to report", "floor one file"), ("warm full", "floor warm full"),
              ("first full", "floor first full")]
    header = ["project", "cells", "pass"]
    for label in labels:
        header += [f"median{label}", f"floor{label}", f"ratio{label}"]
    rows = []
    sizes = sorted({s for _, s, _ in results})
    for size in sizes:
        for kind in ("flat", "hierarchy"):
            for what, floor in passes:
                row = [kind, str(size), what]
                for label in labels:
                    r = results.get((kind, size, label))
                    row += [fmt(r[what]), fmt(r[floor]), f"{r[what] / r[floor]:.1f}x"] if r and what in r else ["", "", ""]
                rows.append(row)
            row = [kind, str(size), "RSS after 10 / N one-file passes"]
            for label in labels:
                r = results.get((kind, size, label))
                row += [f"{r['rss 10']:.0f} MiB", f"{r['rss N']:.0f} MiB", f"N={int(r['passes'])}"] if r else [""] * 3
            rows.append(row)
    widths = [max(len(r[i]) for r in [header, *rows]) for i in range(len(header))]
    for row in [header, ["-" * w for w in widths], *rows]:
        print("  ".join(c.ljust(w) for c, w in zip(row, widths)).rstrip())
    # How the one-file pass grows with the project: each size against the smallest.
    for size in sizes[1:]:
        for kind in ("flat", "hierarchy"):
            for label in labels:
                small, large = results.get((kind, sizes[0], label)), results.get((kind, size, label))
                if small and large:
                    print(f"{kind}{label}: one file at {size} cells is {large['one file'] / small['one file']:.1f}x "
                          f"the one at {sizes[0]} cells")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, nargs="+", default=[10_000], help="cells per project (default 10000)")
    parser.add_argument("--quick", action="store_true", help="a small smoke run: 700 cells, few passes")
    parser.add_argument("--repeat", type=int, default=None, help="passes per median (default 15, quick 3)")
    parser.add_argument("--passes", type=int, default=None, help="one-file passes for the memory figure")
    parser.add_argument("--baseline", metavar="DIR", help="also measure the morvane package in DIR")
    parser.add_argument("--project", nargs=3, metavar=("KIND", "SIZE", "BASELINE"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    repeat = args.repeat or (3 if args.quick else 15)
    passes = args.passes or (20 if args.quick else 1000)
    if args.project:
        kind, size, baseline = args.project
        print(json.dumps(project(kind, int(size), repeat, passes, baseline if baseline != "-" else None)))
        return 0

    sizes = [700] if args.quick else args.size
    runs = [("", None)] + ([(" (baseline)", str(Path(args.baseline).resolve()))] if args.baseline else [])
    results = {}
    load_before = os.getloadavg()
    for size in sizes:
        for kind in ("flat", "hierarchy"):
            for label, baseline in runs:
                print(f"{kind}, {size} cells{label} ...", file=sys.stderr)
                done = subprocess.run(
                    [sys.executable, str(HERE), "--project", kind, str(size), baseline or "-",
                     "--repeat", str(repeat), "--passes", str(passes)],
                    capture_output=True, text=True,
                    env={**os.environ, **({"PYTHONPATH": baseline} if baseline else {})})
                if done.returncode:
                    print(done.stderr[-3000:], file=sys.stderr)
                    return 1
                results[(kind, size, label)] = json.loads(done.stdout.splitlines()[-1])
    print(f"load average before {', '.join(f'{x:.2f}' for x in load_before)}; "
          f"after {', '.join(f'{x:.2f}' for x in os.getloadavg())} ({os.cpu_count()} CPUs); "
          f"median of {repeat} passes")
    table(results, [label for label, _ in runs])
    return 0


if __name__ == "__main__":
    sys.exit(main())
