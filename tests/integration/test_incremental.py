"""Incremental passes agree with a fresh full pass, whatever the edits.

A generated project is edited at random, the way a layout engineer works
for hours in ``watch``: cells are added, renamed, deleted and moved, files
are deleted, renamed, broken and fixed, imports between files come and go,
models and the PDK's registered models change. After every edit the
watcher's passes run in one long-lived process (the watcher's own code,
``morvane.watch.apply_changes``, told of the edited files as file events
tell the watcher, or looking at every file's stamp); a fresh process then runs one full pass
over the same files with a database of its own. The database rows, the
names in ``pdk.cells`` (and which of them are error cells) and the names in
``pdk.models`` must be the same.

``MORVANE_STATEFUL_EXAMPLES`` and ``MORVANE_STATEFUL_STEPS`` make the run
longer than the CI setting (for example 200 and 30 locally).
"""

from __future__ import annotations

import json
import os
import random
import shutil
import subprocess
import sys
import textwrap
import time
from dataclasses import dataclass, field
from pathlib import Path

import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule  # noqa: E402

EXAMPLES = int(os.environ.get("MORVANE_STATEFUL_EXAMPLES", "30"))
STEPS = int(os.environ.get("MORVANE_STATEFUL_STEPS", "15"))

# Both sides run this: the watcher side keeps one process for a whole run;
# the fresh side forks one child per full pass from a process that has
# imported the libraries but touched no project, so every pass starts with
# nothing cached.
_WORKER = r'''
import json, os, sys
from pathlib import Path

from morvane import settings
from morvane.core import database, pdk as core
import networkx, polyforge  # noqa: F401  (imported before any fork)

ERROR_CELL = "_error_cell.<locals>.func"


def state():
    p = core.get_pdk()
    root = str(settings.get_project_dir())

    def clean(text):
        return text.replace(root, "<P>")

    factories = {n: [r.source, r.status, clean(r.message), bool(r.has_model)]
                 for n, r in database.get_all_factories().items()}
    models = {n: [r.source, r.settings, r.pdk_type, r.status, clean(r.message)]
              for n, r in database.get_all_model_records().items()}
    cells = {n: getattr(f, "__qualname__", "") == ERROR_CELL for n, f in p.cells.items()}
    return {"factories": factories, "models": models, "cells": cells, "pdk_models": sorted(p.models)}


def reply(obj):
    sys.stdout.write(json.dumps(obj) + "\n")
    sys.stdout.flush()


sys.path.insert(0, os.getcwd())
for line in sys.stdin:
    request = json.loads(line)
    try:
        if request["op"] == "watch":
            from morvane.core import project_state
            if request.get("full"):
                with database.pass_scope():
                    core.register_cells()
                if request.get("events"):
                    # As the watcher with file events: from now on a file no
                    # event names is taken to be as the last look found it.
                    project_state.files.events_begin(Path(settings.get_project_dir()).resolve(), lambda key: True)
            else:
                from morvane.watch import apply_changes
                changed = [Path(p) for p in request["changed"]]
                deleted = [Path(p) for p in request["deleted"]]
                project_state.files.touched(p.resolve() for p in changed + deleted)
                apply_changes(changed, deleted)
            reply({"ok": state()})
        elif request["op"] == "fresh":
            read_end, write_end = os.pipe()
            pid = os.fork()
            if pid == 0:
                os.close(read_end)
                try:
                    # Compiled from the sources as they are: no bytecode the
                    # watcher wrote, which a same-second rewrite leaves stale.
                    sys.pycache_prefix = request["database"] + ".nocache"
                    sys.dont_write_bytecode = True
                    os.environ["MORVANE_PROJECT_DIR"] = request["project"]
                    sys.path.insert(0, request["project"])
                    db = Path(request["database"])
                    for suffix in ("", "-wal", "-shm"):
                        Path(f"{db}{suffix}").unlink(missing_ok=True)
                    settings.reset_settings()
                    database.use_database(db)
                    with database.pass_scope():
                        core.register_cells()
                    out = {"ok": state()}
                except BaseException as exc:
                    out = {"error": f"{type(exc).__name__}: {exc}"}
                with os.fdopen(write_end, "w") as w:
                    w.write(json.dumps(out))
                os._exit(0)
            os.close(write_end)
            with os.fdopen(read_end) as r:
                text = r.read()
            os.waitpid(pid, 0)
            sys.stdout.write(text + "\n")
            sys.stdout.flush()
    except BaseException as exc:
        reply({"error": f"{type(exc).__name__}: {exc}"})
'''


class _Worker:
    def __init__(self, project: Path, database: Path) -> None:
        env = {**os.environ, "MORVANE_PROJECT_DIR": str(project), "MORVANE_DATABASE": str(database),
               "PYTHONDONTWRITEBYTECODE": ""}
        env.pop("MORVANE_LOG_LEVEL", None)
        self.proc = subprocess.Popen([sys.executable, "-c", _WORKER], cwd=project, env=env, text=True,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL)

    def ask(self, **request: object) -> dict:
        assert self.proc.stdin and self.proc.stdout
        self.proc.stdin.write(json.dumps(request) + "\n")
        self.proc.stdin.flush()
        line = self.proc.stdout.readline()
        assert line, "the worker process died"
        answer = json.loads(line)
        assert "error" not in answer, answer["error"]
        return answer["ok"]

    def close(self) -> None:
        if self.proc.stdin:
            self.proc.stdin.close()
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


# --------------------------------------------------------------------------
# The project, as the test edits it
# --------------------------------------------------------------------------


@dataclass
class _File:
    order: int  # a file uses cells of files with a lower order only: no import cycles
    cells: dict[str, list[tuple[str, str]]] = field(default_factory=dict)  # cell -> used (file, cell)
    broken: str | None = None  # None, "syntax" or "raise"


def _render(stem: str, f: _File) -> str:
    imports = sorted({(mod, name) for uses in f.cells.values() for mod, name in uses if mod != stem})
    lines = ["import polyforge as pf"]
    lines += [f"from chip.{mod} import {name}" for mod, name in imports]
    if f.broken == "raise":
        lines.append(f"raise RuntimeError('{stem} is broken')")
    for name, uses in f.cells.items():
        lines += ["", "", "@pf.cell", f"def {name}(size: float = 1.0) -> pf.Component:",
                  "    c = pf.Component()"]
        lines += [f"    {used}()" for _, used in uses]
        lines.append("    return c")
    if f.broken == "syntax":
        lines += ["", "def oops(:"]
    return "\n".join(lines) + "\n"


_MODELS_HEAD = textwrap.dedent('''\
    from __future__ import annotations

    from typing import TYPE_CHECKING

    if TYPE_CHECKING:
        import sax
    ''')


def _render_models(models: dict[str, float]) -> str:
    out = [_MODELS_HEAD]
    for name, length in sorted(models.items()):
        out.append(f"\ndef {name}(*, wl: float = 1.55, length: float = {length}) -> sax.SDict:\n"
                   "    return {}\n")
    return "".join(out)


def _render_pdk(entries: dict[str, float]) -> str:
    items = ", ".join(f'"{k}": functools.partial(generic.{k}, neff={v})' for k, v in sorted(entries.items()))
    return ("import functools\n\nimport polyforge as pf\nfrom polyforge import models as generic\n\n"
            f'PDK = pf.Pdk("xpdk", models={{{items}}})\n')


class IncrementalAgreesWithFullPass(RuleBasedStateMachine):
    def __init__(self) -> None:
        super().__init__()
        self.root = _ROOT / f"run{next(_RUNS)}"
        self.files: dict[str, _File] = {}
        self.models: dict[str, float] = {}
        self.pdk_models: dict[str, float] = {"straight": 1.9}
        self.counter = 0
        self.written: dict[str, str] = {}
        self.watcher: _Worker | None = None

    # -- helpers --------------------------------------------------------

    def _new(self, prefix: str) -> str:
        self.counter += 1
        return f"{prefix}{self.counter}"

    def _texts(self) -> dict[str, str]:
        texts = {"pyproject.toml": '[project]\nname = "chip"\n\n[tool.morvane]\npdk = "xpdk"\n',
                 "chip/__init__.py": "", "xpdk/__init__.py": _render_pdk(self.pdk_models),
                 "chip/models.py": _render_models(self.models)}
        for stem, f in self.files.items():
            texts[f"chip/{stem}.py"] = _render(stem, f)
        return texts

    def _sync(self) -> tuple[list[str], list[str]]:
        texts = self._texts()
        changed = [rel for rel, text in texts.items() if self.written.get(rel) != text]
        deleted = [rel for rel in self.written if rel not in texts]
        for rel in deleted:
            (self.root / rel).unlink()
        for rel in changed:
            path = self.root / rel
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(texts[rel])
        self.written = texts
        return changed, deleted

    def _all_cells(self) -> list[tuple[str, str]]:
        return [(stem, name) for stem, f in self.files.items() for name in f.cells]

    # -- rules ----------------------------------------------------------

    @initialize(n_files=st.integers(3, 8), seed=st.integers(0, 2**32 - 1), events=st.booleans())
    def start(self, n_files: int, seed: int, events: bool) -> None:
        rnd = random.Random(seed)
        for i in range(n_files):
            f = self.files.setdefault(self._new("f"), _File(order=i))
            for _ in range(rnd.randint(1, 4)):
                below = [c for c in self._all_cells() if self.files[c[0]].order < i]
                f.cells[self._new("c")] = rnd.sample(below, min(len(below), rnd.randint(0, 2)))
        names = [n for _, n in self._all_cells()]
        self.models = {n: 1.0 for n in rnd.sample(names, len(names) // 3)}
        if self.root.exists():
            shutil.rmtree(self.root)
        self._sync()
        self.watcher = _Worker(self.root, self.root / ".morvane" / "watch.db")
        self.watcher.ask(op="watch", full=True, events=events)

    def teardown(self) -> None:
        if self.watcher is not None:
            self.watcher.close()
        shutil.rmtree(self.root, ignore_errors=True)

    def _pass(self) -> None:
        changed, deleted = self._sync()
        assert self.watcher is not None
        self.last = self.watcher.ask(op="watch", changed=[str(self.root / r) for r in changed],
                                     deleted=[str(self.root / r) for r in deleted])

    @precondition(lambda self: self.files)
    @rule(data=st.data())
    def add_cell(self, data: st.DataObject) -> None:
        stem = data.draw(st.sampled_from(sorted(self.files)))
        order = self.files[stem].order
        below = sorted(c for c in self._all_cells() if self.files[c[0]].order < order)
        uses = data.draw(st.lists(st.sampled_from(below), max_size=2, unique=True)) if below else []
        self.files[stem].cells[self._new("c")] = uses
        self._pass()

    @precondition(lambda self: self._all_cells())
    @rule(data=st.data())
    def rename_cell(self, data: st.DataObject) -> None:
        stem, name = data.draw(st.sampled_from(sorted(self._all_cells())))
        cells = self.files[stem].cells
        self.files[stem].cells = {(self._new("c") if k == name else k): v for k, v in cells.items()}
        self._pass()

    @precondition(lambda self: self._all_cells())
    @rule(data=st.data())
    def delete_cell(self, data: st.DataObject) -> None:
        stem, name = data.draw(st.sampled_from(sorted(self._all_cells())))
        del self.files[stem].cells[name]
        self._pass()

    @precondition(lambda self: self._all_cells() and len(self.files) > 1)
    @rule(data=st.data())
    def move_cell(self, data: st.DataObject) -> None:
        stem, name = data.draw(st.sampled_from(sorted(self._all_cells())))
        target = data.draw(st.sampled_from(sorted(set(self.files) - {stem})))
        uses = self.files[stem].cells.pop(name)
        order = self.files[target].order
        self.files[target].cells[name] = [u for u in uses
                                          if u[0] in self.files and self.files[u[0]].order < order]
        self._pass()

    @rule(n=st.integers(0, 3))
    def add_file(self, n: int) -> None:
        order = max((f.order for f in self.files.values()), default=0) + 1
        f = self.files.setdefault(self._new("f"), _File(order=order))
        for _ in range(n):
            f.cells[self._new("c")] = []
        self._pass()

    @precondition(lambda self: self.files)
    @rule(data=st.data())
    def delete_file(self, data: st.DataObject) -> None:
        del self.files[data.draw(st.sampled_from(sorted(self.files)))]
        self._pass()

    @precondition(lambda self: self.files)
    @rule(data=st.data())
    def rename_file(self, data: st.DataObject) -> None:
        stem = data.draw(st.sampled_from(sorted(self.files)))
        self.files[self._new("f")] = self.files.pop(stem)
        self._pass()

    @precondition(lambda self: any(f.broken is None for f in self.files.values()))
    @rule(data=st.data(), kind=st.sampled_from(["syntax", "raise"]))
    def break_file(self, data: st.DataObject, kind: str) -> None:
        stem = data.draw(st.sampled_from(sorted(s for s, f in self.files.items() if f.broken is None)))
        self.files[stem].broken = kind
        self._pass()

    @precondition(lambda self: any(f.broken for f in self.files.values()))
    @rule(data=st.data())
    def fix_file(self, data: st.DataObject) -> None:
        stem = data.draw(st.sampled_from(sorted(s for s, f in self.files.items() if f.broken)))
        self.files[stem].broken = None
        self._pass()

    @precondition(lambda self: self._all_cells())
    @rule(data=st.data())
    def add_import(self, data: st.DataObject) -> None:
        stem, name = data.draw(st.sampled_from(sorted(self._all_cells())))
        order = self.files[stem].order
        below = sorted(c for c in self._all_cells() if self.files[c[0]].order < order)
        uses = self.files[stem].cells[name]
        candidates = [c for c in below if c not in uses]
        if candidates:
            uses.append(data.draw(st.sampled_from(candidates)))
            self._pass()

    @precondition(lambda self: any(u for f in self.files.values() for u in f.cells.values()))
    @rule(data=st.data())
    def remove_import(self, data: st.DataObject) -> None:
        users = sorted((s, n) for s, f in self.files.items() for n, u in f.cells.items() if u)
        stem, name = data.draw(st.sampled_from(users))
        uses = self.files[stem].cells[name]
        uses.remove(data.draw(st.sampled_from(sorted(uses))))
        self._pass()

    @rule(data=st.data())
    def change_model(self, data: st.DataObject) -> None:
        names = sorted({n for _, n in self._all_cells()} | set(self.models) | {"lone_model"})
        name = data.draw(st.sampled_from(names))
        choice = data.draw(st.sampled_from(["toggle", "settings"]))
        if choice == "settings" and name in self.models:
            self.models[name] += 1.0
        elif name in self.models:
            del self.models[name]
        else:
            self.models[name] = 1.0
        self._pass()

    @rule(name=st.sampled_from(["straight", "bend"]), neff=st.sampled_from([None, 1.7, 1.9]))
    def change_pdk_models(self, name: str, neff: float | None) -> None:
        if neff is None:
            self.pdk_models.pop(name, None)
        else:
            self.pdk_models[name] = neff
        self._pass()

    # -- the check ------------------------------------------------------

    @invariant()
    def agrees_with_a_fresh_full_pass(self) -> None:
        if self.watcher is None or not hasattr(self, "last"):
            return
        fresh = _ORACLE.ask(op="fresh", project=str(self.root),
                            database=str(self.root / ".morvane" / "fresh.db"))
        incremental = self.last
        for key in ("factories", "models", "cells", "pdk_models"):
            assert incremental[key] == fresh[key], (key, _diff(incremental[key], fresh[key]))


def _diff(a: object, b: object) -> object:
    if isinstance(a, dict) and isinstance(b, dict):
        return {k: (a.get(k), b.get(k)) for k in sorted(set(a) | set(b)) if a.get(k) != b.get(k)}
    return (a, b)


def _counter():
    n = 0
    while True:
        n += 1
        yield n


_RUNS = _counter()
_ROOT: Path
_ORACLE: _Worker


@pytest.fixture(scope="module")
def oracle(tmp_path_factory):
    global _ROOT, _ORACLE
    # Inside the checkout: the project must be visible where the suite runs.
    _ROOT = Path(__file__).resolve().parents[2] / "build" / "tmp" / f"stateful-{os.getpid()}-{time.time_ns()}"
    _ROOT.mkdir(parents=True)
    # The oracle forks per pass; its own settings point nowhere until the child sets them.
    _ORACLE = _Worker(_ROOT, _ROOT / "unused.db")
    yield
    _ORACLE.close()
    shutil.rmtree(_ROOT, ignore_errors=True)


def test_incremental_passes_agree_with_a_fresh_full_pass(oracle):
    run = IncrementalAgreesWithFullPass.TestCase
    run.settings = settings(max_examples=EXAMPLES, stateful_step_count=STEPS, deadline=None,
                            suppress_health_check=list(HealthCheck), derandomize=True)
    run().runTest()
