"""What a command in a new process costs, with and without the project's cache.

    scripts/run build/venv/bin/python bench/bench_process.py [--size N ...] [--repeat R]

For each size, generates the hierarchy project of ``bench_save.py`` (7
levels, each cell using 2 to 5 cells of the level below from other files,
60 % of the leaves modelled) and runs ``morvane`` commands, one process each,
as a user runs them. Each row is the median of ``repeat`` runs, beside its
floor measured in the same run, and their ratio:

``register, nothing changed``
    a full ``register`` with the database and the cache present; floor: a
    new process that imports every project file and writes every row in one
    transaction.
``register FILE after one save``
    ``register FILE`` after the top-level file was saved with a new default;
    floor: a new process that imports that file (and so what it imports)
    and writes its rows.
``show NAME``
    ``show`` of a cell in the middle of the hierarchy; floor: ``--version``
    (the interpreter and the command line alone).

Each row runs warm (the cache as the previous command left it) and with
``--no-cache``. Also the size of the cache beside the size of the sources,
and (``--churn N``) the size of the cache of a small project (its side
files included) after 100 and after ``N`` watcher passes that each add one
file and delete another.
A plain script, not a test; it prints one table.
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import bench_save  # noqa: E402  (beside this script)


def _env() -> dict[str, str]:
    return {k: v for k, v in os.environ.items() if not k.startswith("MORVANE_")}


def _timed(args: list[str], cwd: Path) -> float:
    start = time.perf_counter()
    done = subprocess.run(args, cwd=cwd, env=_env(), capture_output=True, text=True)
    wall = time.perf_counter() - start
    if done.returncode not in (0, 1):
        raise SystemExit(f"{' '.join(args)}: exit {done.returncode}: {done.stderr[-2000:]}")
    return wall


def _morvane(root: Path, *args: str) -> list[str]:
    return [sys.executable, "-m", "morvane", *args, "--project-dir", str(root)]


_FLOOR = textwrap.dedent("""
    import importlib, sqlite3, sys, time
    from pathlib import Path
    root = Path(sys.argv[1]); sys.path.insert(0, str(root))
    names = [m for m in sys.argv[2:]] or None
    files = sorted(root.rglob("*.py"))
    import polyforge  # noqa: F401
    if names is None:
        names = [".".join(p.relative_to(root).with_suffix("").parts).removesuffix(".__init__") for p in files]
    for name in names:
        importlib.import_module(name)
    db = sqlite3.connect(root / ".morvane" / "floor.db")
    db.execute("CREATE TABLE IF NOT EXISTS f (name TEXT PRIMARY KEY, source TEXT, status TEXT)")
    with db:
        db.executemany("INSERT OR REPLACE INTO f VALUES (?, ?, 'SUCCESS')",
                       [(f"{n}.{i}", n) for n in names for i in range(10)])
""")


def _median(fn, repeat: int) -> float:
    return statistics.median(fn() for _ in range(repeat))


def measure(size: int, repeat: int) -> list[tuple[str, float, float, float]]:
    base = Path(tempfile.mkdtemp(prefix=f"bench-process-{size}-", dir=bench_save.HERE.parents[1] / "build"))
    try:
        _, saved = bench_save.make_hierarchy(base, size)
        bench_save.age(base)
        module = ".".join(saved.relative_to(base).with_suffix("").parts)
        save = bench_save.Saver(saved)
        _timed(_morvane(base, "register"), base)  # the database and the cache
        rows = []
        for warm in (True, False):
            extra = [] if warm else ["--no-cache"]
            label = "" if warm else ", --no-cache"
            full = _median(lambda: _timed(_morvane(base, "register", *extra), base), repeat)
            floor_full = _median(lambda: _timed([sys.executable, "-c", _FLOOR, str(base)], base), repeat)
            rows.append((f"register, nothing changed{label}", full, floor_full, full / floor_full))

            def one() -> float:
                save()
                return _timed(_morvane(base, "register", str(saved), *extra), base)

            one_file = _median(one, repeat)
            floor_one = _median(lambda: _timed([sys.executable, "-c", _FLOOR, str(base), module], base), repeat)
            rows.append((f"register FILE after one save{label}", one_file, floor_one, one_file / floor_one))
            name = f"c3_{saved.stem[1:]}_0"
            show = _median(lambda: _timed(_morvane(base, "show", name, *extra), base), repeat)
            floor_show = _median(lambda: _timed([sys.executable, "-m", "morvane", "--version"], base), repeat)
            rows.append((f"show NAME{label}", show, floor_show, show / floor_show))
        sources = sum(p.stat().st_size for p in base.rglob("*.py"))
        cache = (base / ".morvane" / "cache.sqlite").stat().st_size
        rows.append(("cache size / source size (MiB)", cache / 2**20, sources / 2**20, cache / sources))
        return rows
    finally:
        shutil.rmtree(base, ignore_errors=True)


_CHURN = textwrap.dedent("""
    import os, sys
    from pathlib import Path
    root = Path(sys.argv[1]); passes_n = int(sys.argv[2])
    os.environ["MORVANE_PROJECT_DIR"] = str(root); sys.path.insert(0, str(root))
    from morvane import passes
    store = root / ".morvane" / "cache.sqlite"
    passes.apply_changes([], [])
    sizes = {}
    for i in range(passes_n):
        new = root / "churn" / f"c{i}.py"
        new.write_text(f"import polyforge as pf\\n\\n@pf.cell\\ndef churn{i}() -> pf.Component:\\n"
                       "    return pf.Component()\\n")
        old = root / "churn" / f"c{i - 20}.py"
        deleted = [old] if i >= 20 else []
        for path in deleted:
            path.unlink()
        passes.apply_changes([new], deleted)
        if i + 1 in (100, passes_n):
            sizes[i + 1] = sum(p.stat().st_size for p in store.parent.glob(store.name + "*"))
    print(sizes[100], sizes[passes_n])
""")


def churn(passes: int) -> tuple[int, int]:
    base = Path(tempfile.mkdtemp(prefix="bench-churn-", dir=bench_save.HERE.parents[1] / "build"))
    try:
        (base / "pyproject.toml").write_text('[project]\nname = "churn"\n\n[tool.morvane]\npdk = "generic"\n')
        (base / "churn").mkdir()
        (base / "churn" / "__init__.py").write_text("")
        done = subprocess.run([sys.executable, "-c", _CHURN, str(base), str(passes)], env=_env(),
                              capture_output=True, text=True, cwd=base)
        if done.returncode:
            raise SystemExit(done.stderr[-2000:])
        first, last = done.stdout.split()
        return int(first), int(last)
    finally:
        shutil.rmtree(base, ignore_errors=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, nargs="+", default=[10_000], help="cells per project (default 10000)")
    parser.add_argument("--repeat", type=int, default=5, help="runs per median (default 5)")
    parser.add_argument("--churn", type=int, default=0, metavar="N",
                        help="also the cache's size after N passes that add and delete files")
    args = parser.parse_args()
    print(f"{'cells':>7}  {'command, new process':42s} {'time':>9} {'floor':>9} {'ratio':>6}")
    for size in args.size:
        for label, value, floor, ratio in measure(size, args.repeat):
            print(f"{size:>7}  {label:42s} {value:>9.3f} {floor:>9.3f} {ratio:>6.2f}")
    if args.churn:
        first, last = churn(args.churn)
        print(f"cache of a small project after 100 / {args.churn} passes adding and deleting files: "
              f"{first / 1024:.0f} KiB / {last / 1024:.0f} KiB")
    print(f"load average: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
