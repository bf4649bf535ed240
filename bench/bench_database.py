"""Database time of a one-file registration pass on a 10,000-factory database.

Runs the calls a one-file pass makes (ten factories of one file, the model
pass's flag reset and rewrite over 200 models) against this tree's database
module and, when given, another version of it for a ratio in the same run:

    scripts/run build/venv/bin/python bench/bench_database.py [OTHER/database.py]
"""

from __future__ import annotations

import importlib.util
import os
import sys
import tempfile
import time
from pathlib import Path

from morvane.core import database
from morvane.models import FactoryRecord, ModelRecord


def one_file_pass(db, scoped: bool) -> None:
    names = [f"c{i:05d}" for i in range(5000, 5010)]
    scope = db.pass_scope() if scoped else None
    if scope:
        scope.__enter__()
    db.get_factories_by_name(*names)
    db.get_factories_by_name(*names)
    db.add_factories(*(FactoryRecord(name=n, source="chip/f500.py", status="UNKNOWN") for n in names))
    db.set_all_factories_has_model(has_model=False)
    db.add_models(*(ModelRecord(factory=f"c{i:05d}", settings="{}", source="m.py", pdk_type="pdk")
                    for i in range(0, 10000, 50)))
    db.get_all_models()
    db.set_factories_has_model_by_names(*(f"c{i:05d}" for i in range(0, 10000, 50)), has_model=True)
    if scope:
        scope.__exit__(None, None, None)


def measure(db, path: Path, label: str, scoped: bool) -> float:
    db.use_database(path)
    db.add_factories(*(FactoryRecord(name=f"c{i:05d}", source=f"chip/f{i // 10}.py") for i in range(10000)))
    one_file_pass(db, scoped)
    best = min(_timed(db, scoped) for _ in range(10))
    print(f"{label}: {best * 1000:.2f} ms per one-file pass")
    db.use_database(None)
    return best


def _timed(db, scoped: bool) -> float:
    start = time.perf_counter()
    one_file_pass(db, scoped)
    return time.perf_counter() - start


def main() -> None:
    os.environ.setdefault("MORVANE_PROJECT_DIR", tempfile.mkdtemp())
    with tempfile.TemporaryDirectory() as tmp:
        now = measure(database, Path(tmp, "now.db"), "this tree", scoped=True)
        if len(sys.argv) > 1:
            spec = importlib.util.spec_from_file_location("other_database", sys.argv[1])
            other = importlib.util.module_from_spec(spec)
            spec.loader.exec_module(other)
            then = measure(other, Path(tmp, "other.db"), sys.argv[1], scoped=False)
            print(f"ratio: {then / now:.1f}x")


if __name__ == "__main__":
    main()
