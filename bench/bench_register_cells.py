"""Cost of a cell registration pass on a large synthetic project.

    scripts/run build/venv/bin/python bench/bench_register_cells.py [--files N] [--cells N] [--passes N]

Two settings, each timed for a full pass (``register_cells()``) and a one-file
pass (``register_cells(paths=[one file])``):

- doubles: every service of the pdk module (call graph, importer, database,
  logger, settings, model registration, the PDK) replaced by an in-memory
  stand-in, so the figures are the module's own cost;
- host: the real services on a generated project directory (parsing, imports,
  SQLite, model registration included).

For each it also reports the process's resident memory after 10 and after
``--passes`` one-file passes: growth between the two means something is kept
per pass. A plain script, not a test; it prints one table.
"""

from __future__ import annotations

import argparse
import gc
import os
import statistics
import sys
import tempfile
import time
import types
from copy import copy
from pathlib import Path

import morvane.core.pdk as pdk

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))  # the doubles the test suites share
from doubles import Quiet, Rec  # noqa: E402

from _measure import rss_mib  # noqa: E402  (beside this script)


def timed(run, repeat: int, number: int = 1) -> float:
    """Wall time of one run in seconds: the median over `repeat` samples of
    `number` runs each."""
    times = []
    for _ in range(repeat):
        gc.collect()
        start = time.perf_counter()
        for _ in range(number):
            run()
        times.append((time.perf_counter() - start) / number)
    return statistics.median(times)


def memory(run, passes: int) -> tuple[float, float]:
    """RSS after 10 passes and after `passes` passes."""
    for _ in range(10):
        run()
    gc.collect()
    early = rss_mib()
    for _ in range(passes - 10):
        run()
    gc.collect()
    return early, rss_mib()


# ---- in-memory doubles ----------------------------------------------------------


class Pdk:
    def __init__(self) -> None:
        self.name = "bench"
        self.cells: dict = {}
        self.containers: dict = {"add_pads": len}
        self.models: dict = {}

    def activate(self) -> None:
        pass


def install_doubles(files: int, cells: int) -> list[Path]:
    """Rebinds the module's collaborators; returns the source paths."""
    root = Path(tempfile.gettempdir()) / "morvane-bench-doubles"
    paths = [root / f"pkg{i // 100:02d}" / f"cells_{i:04d}.py" for i in range(files)]
    by_path: dict[Path, list[Rec]] = {}
    modules: dict[Path, types.ModuleType] = {}
    for i, path in enumerate(paths):
        module = types.ModuleType(f"pkg{i // 100:02d}.cells_{i:04d}")
        records = []
        for j in range(cells):
            name = f"c_{i:04d}_{j}"
            setattr(module, name, len)
            records.append(Rec(name, str(path.relative_to(root)), path=path.resolve()))
        by_path[path.resolve()] = records
        modules[path.resolve()] = module
    everything = {r.name: r for records in by_path.values() for r in records}
    store: dict[str, Rec] = {}
    the_pdk = Pdk()

    def get_static_records(G, *, paths):
        if not paths:
            return dict(everything)
        return {r.name: r for p in paths for r in by_path.get(Path(p).resolve(), ())}

    def import_modules(*, paths, reload, from_project):
        return {p: modules[p] for p in paths if p in modules}, {}

    def add_factories(*records):
        for r in records:
            store[r.name] = copy(r)

    def remove_factories(*names):
        for n in names:
            store.pop(n, None)

    quiet = Quiet()
    pdk.get_pdk = lambda: the_pdk
    pdk.log = lambda: quiet
    pdk.settings = types.SimpleNamespace(get_project_name=lambda: "bench")
    pdk.cg = types.SimpleNamespace(create_callgraph=lambda: None, get_static_records=get_static_records)
    pdk.imports = types.SimpleNamespace(import_modules=import_modules, get_cells_from_regex=lambda p: [])
    pdk.db = types.SimpleNamespace(
        get_all_factories=lambda: dict(store),
        get_factories_by_name=lambda *names: {n: store[n] for n in names if n in store},
        # Stored sources are the files' own (nothing moves between files here).
        get_factories_by_source=lambda *paths: {
            r.name: store[r.name] for p in paths for r in by_path.get(Path(p).resolve(), ()) if r.name in store},
        add_factories=add_factories, remove_factories=remove_factories,
    )
    pdk.register_models = lambda G, reload: None
    return paths


# ---- the real host ----------------------------------------------------------------

CELL = '''
@pf.cell
def {name}(width: float = 0.5, length: float = {length}) -> pf.Component:
    c = pf.Component("{name}")
    c.add_polygon([(0, 0), (length, 0), (length, width), (0, width)])
    return c
'''


def make_project(root: Path, files: int, cells: int) -> list[Path]:
    (root / "pyproject.toml").write_text('[project]\nname = "bench"\n\n[tool.morvane]\npdk = "generic"\n')
    package = root / "bench"
    package.mkdir()
    (package / "__init__.py").write_text("")
    paths = []
    for i in range(files):
        sub = package / f"pkg{i // 100:02d}"
        if not sub.exists():
            sub.mkdir()
            (sub / "__init__.py").write_text("")
        path = sub / f"cells_{i:04d}.py"
        body = "".join(CELL.format(name=f"c_{i:04d}_{j}", length=j + 1) for j in range(cells))
        path.write_text("import polyforge as pf\n" + body)
        paths.append(path)
    return paths


# ---- the table -------------------------------------------------------------------------


def report(rows: list[tuple[str, ...]]) -> None:
    header = ("setting", "pass", "records", "time/pass", "time/record", "RSS after 10", "RSS after N")
    widths = [max(len(str(r[i])) for r in [header, *rows]) for i in range(len(header))]
    for row in [header, tuple("-" * w for w in widths), *rows]:
        print("  ".join(str(c).ljust(w) for c, w in zip(row, widths)).rstrip())


def fmt_time(seconds: float) -> str:
    if seconds >= 1:
        return f"{seconds:.2f} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.2f} ms"
    return f"{seconds * 1e6:.1f} us"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=1000)
    parser.add_argument("--cells", type=int, default=10, help="cells per file")
    parser.add_argument("--passes", type=int, default=1000, help="one-file passes for the memory figure")
    parser.add_argument("--host-passes", type=int, default=None,
                        help="one-file passes with the real host (default: --passes)")
    args = parser.parse_args()
    host_passes = args.passes if args.host_passes is None else args.host_passes
    total = args.files * args.cells
    rows = []
    print(f"{total} cells in {args.files} files; memory after 10 and after N one-file passes", file=sys.stderr)

    saved = dict(vars(pdk))
    try:
        paths = install_doubles(args.files, args.cells)
        pdk.register_cells()  # fills the database double
        one = [paths[len(paths) // 2]]
        full_time = timed(lambda: pdk.register_cells(), 5)
        one_time = timed(lambda: pdk.register_cells(paths=one), 7, 100)
        early, late = memory(lambda: pdk.register_cells(paths=one), args.passes)
        rows.append(("doubles", "full", total, fmt_time(full_time), fmt_time(full_time / total), "", ""))
        rows.append(("doubles", "one file", args.cells, fmt_time(one_time), fmt_time(one_time / args.cells),
                     f"{early:.1f} MiB", f"{late:.1f} MiB (N={args.passes})"))
    finally:
        for name, value in saved.items():
            setattr(pdk, name, value)
        pdk._get_pdk.cache_clear()
        pdk.get_base_pdk.cache_clear()

    with tempfile.TemporaryDirectory(prefix="morvane-bench-") as tmp:
        root = Path(tmp).resolve()
        paths = make_project(root, args.files, args.cells)
        os.environ["MORVANE_PROJECT_DIR"] = str(root)
        os.environ.pop("MORVANE_DATABASE", None)
        from morvane import settings

        settings.reset_settings()
        start = time.perf_counter()
        added, _ = pdk.register_cells()
        cold = time.perf_counter() - start
        assert len(added) == total, (len(added), total)
        full_time = timed(lambda: pdk.register_cells(), 3)
        one = [paths[len(paths) // 2]]
        one_time = timed(lambda: pdk.register_cells(paths=one), 5, 5)
        no_models = timed(lambda: pdk.register_cells(paths=one, reload=False), 5, 5)
        early, late = memory(lambda: pdk.register_cells(paths=one), host_passes)
        rows.append(("host", "full (first)", total, fmt_time(cold), fmt_time(cold / total), "", ""))
        rows.append(("host", "full", total, fmt_time(full_time), fmt_time(full_time / total), "", ""))
        rows.append(("host", "one file", args.cells, fmt_time(one_time), fmt_time(one_time / args.cells),
                     f"{early:.1f} MiB", f"{late:.1f} MiB (N={host_passes})"))
        rows.append(("host", "one file, reload=False", args.cells, fmt_time(no_models),
                     fmt_time(no_models / args.cells), "", ""))

    report(rows)
    return 0


if __name__ == "__main__":
    sys.exit(main())
