"""Incremental passes agree with a fresh full pass, whatever the edits.

A generated project is edited at random, the way a layout engineer works
for hours in ``watch``: cells are added, renamed, deleted, moved and
defined a second time in another file; files are deleted, renamed, moved
between folders, broken and fixed; folders are renamed (their importers
fixed at once or a save later) and deleted; imports between files come and
go; models change, move between files (models files and cell files alike)
and their files break and mend; the project's own PDK package changes its
models, cells and containers, moves its ``PDK`` into a submodule, and
breaks for a few saves (every pass fails and is retried with the next
change, as the watcher does); and a branch switch rewrites many files at
once, each at its old size where the new text is not longer, and a switch
straight back lands within the same second when the pass between is quick
(where only the text tells the two versions apart, not the stamps a
bytecode cache is checked by).

After every edit the watcher's passes run in one long-lived process: the
watcher's own code finds the changes, either from file events (fed to its
event loop as the file system reports them: the files written and
deleted, a renamed or deleted folder as one event for the folder, a new
folder without events for the files in it) or from every file's stamp as
it polls; ``morvane.watch.apply_changes`` then runs the pass, keeping a
failed change for the next one. A fresh process then runs one full pass
over the same files with a database of its own. The database rows, the
names in ``pdk.cells`` (and which of them are error cells), in
``pdk.containers`` and in ``pdk.models`` must be the same.

``MORVANE_STATEFUL_EXAMPLES`` and ``MORVANE_STATEFUL_STEPS`` make the run
longer than the CI setting (for example 200 and 30 locally).
"""

from __future__ import annotations

import copy
import json
import os
import random
import shutil
import subprocess
import sys
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
import json, os, sys, types
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
    return {"factories": factories, "models": models, "cells": cells,
            "containers": sorted(p.containers), "pdk_models": sorted(p.models)}


def reply(obj):
    sys.stdout.write(json.dumps(obj) + "\n")
    sys.stdout.flush()


class Notify:
    """Stands in for the file-event notifier the watcher asks for each
    batch: it reports what the test says the file system did."""

    batches = []

    def __init__(self, *args):
        pass

    def watch(self, *args):
        return Notify.batches.pop(0) if Notify.batches else "timeout"

    def close(self):
        pass


notifier = types.ModuleType("watchfiles._rust_notify")
notifier.RustNotify = Notify
sys.modules["watchfiles"] = types.ModuleType("watchfiles")
sys.modules["watchfiles._rust_notify"] = notifier

sys.path.insert(0, os.getcwd())
source = None
pending_changed, pending_deleted = set(), set()
for line in sys.stdin:
    request = json.loads(line)
    try:
        if request["op"] == "start":
            from morvane import watch
            root = Path(settings.get_project_dir()).resolve()
            # As the watcher: the changes are looked for from before the first
            # pass. (Polls at once: the test asks for one when it has edited.)
            source = watch.changes(root, 0, not request["events"], lambda notice: None)
            watch.apply_changes([], [])
            reply({"ok": state()})
        elif request["op"] == "watch":
            # One batch of events, or one poll; then, as the watcher, a pass
            # over what changed since the last pass that worked.
            if request["events"]:
                Notify.batches.append([(2, p) for p in request["events"]])
            changed, deleted = next(source)
            pending_changed = (pending_changed - deleted) | changed
            pending_deleted = (pending_deleted - changed) | deleted
            if pending_changed or pending_deleted:
                try:
                    watch.apply_changes(sorted(pending_changed), sorted(pending_deleted))
                except Exception as exc:
                    reply({"failed": f"{type(exc).__name__}: {exc}"})
                    continue
                pending_changed, pending_deleted = set(), set()
            reply({"ok": state()})
        elif request["op"] in ("fresh", "warm"):
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
                    if request["op"] == "warm":
                        # A new command on what the watcher left: its
                        # database, and the engine's store beside it.
                        import sqlite3
                        from morvane.core.engine import session
                        with sqlite3.connect(request["copy"]) as src, sqlite3.connect(db) as dst:
                            src.backup(dst)
                        session.use_project_store()
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
        """The answer: ``{"ok": state}``, or ``{"failed": text}`` for a
        watcher pass that raised; anything else fails the test."""
        assert self.proc.stdin and self.proc.stdout
        self.proc.stdin.write(json.dumps(request) + "\n")
        self.proc.stdin.flush()
        line = self.proc.stdout.readline()
        assert line, "the worker process died"
        answer = json.loads(line)
        assert "error" not in answer, answer["error"]
        return answer

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
    models: dict[str, float] = field(default_factory=dict)  # model -> its default length
    broken: str | None = None  # None, "syntax" or "raise"


@dataclass
class _Pdk:
    models: dict[str, float] = field(default_factory=lambda: {"straight": 1.9})  # name -> neff
    cells: set[str] = field(default_factory=lambda: {"straight"})  # of polyforge.components
    containers: set[str] = field(default_factory=set)  # of polyforge.containers
    split: bool = False  # PDK made in xpdk/pdk.py, imported by xpdk/__init__.py
    own_cell: bool = False  # the package defines a cell of its own (a project factory too)
    broken: str | None = None  # None, "syntax", "raise" or "nopdk"


@dataclass
class _Project:
    files: dict[str, _File] = field(default_factory=dict)  # stem -> file
    where: dict[str, str | None] = field(default_factory=dict)  # stem (deleted ones too) -> folder
    folders: dict[str, bool] = field(default_factory=dict)  # folder of chip -> has an __init__.py
    pdk: _Pdk = field(default_factory=_Pdk)


_PDK_CELLS = ("straight", "bend", "taper")
_PDK_CONTAINERS = ("add_pads", "add_labels")
_PDK_MODELS = ("straight", "bend")


def _render(stem: str, f: _File, module: dict[str, str]) -> str:
    imports = sorted({(mod, name) for uses in f.cells.values() for mod, name in uses if mod != stem})
    lines = []
    if f.models:
        lines += ["from __future__ import annotations", "", "from typing import TYPE_CHECKING", ""]
    if f.cells:
        lines.append("import polyforge as pf")
    lines += [f"from {module[mod]} import {name}" for mod, name in imports]
    if f.models:
        lines += ["", "if TYPE_CHECKING:", "    import sax"]
    if f.broken == "raise":
        lines.append(f"raise RuntimeError('{stem} is broken')")
    for name, uses in f.cells.items():
        lines += ["", "", "@pf.cell", f"def {name}(size: float = 1.0) -> pf.Component:",
                  "    c = pf.Component()"]
        lines += [f"    {used}()" for _, used in uses]
        lines.append("    return c")
    for name, length in sorted(f.models.items()):
        lines += ["", "", f"def {name}(*, wl: float = 1.55, length: float = {length}) -> sax.SDict:",
                  "    return {}"]
    if f.broken == "syntax":
        lines += ["", "def oops(:"]
    return "\n".join(lines) + "\n"


def _render_pdk(p: _Pdk) -> dict[str, str]:
    models = ", ".join(f'"{k}": functools.partial(generic.{k}, neff={v})' for k, v in sorted(p.models.items()))
    cells = [f'"{k}": components.{k}' for k in sorted(p.cells)] + (['"xwg": xwg'] if p.own_cell else [])
    containers = ", ".join(f'"{k}": generic_containers.{k}' for k in sorted(p.containers))
    lines = ["import functools", "", "import polyforge as pf",
             "from polyforge import components, containers as generic_containers, models as generic", ""]
    if p.broken == "raise":
        lines.append("raise RuntimeError('xpdk is broken')")
    if p.own_cell:
        lines += ["", "@pf.cell", "def xwg(width: float = 0.5) -> pf.Component:",
                  "    return pf.Component()", "", ""]
    if p.broken != "nopdk":
        lines.append(f'PDK = pf.Pdk("xpdk", cells={{{", ".join(cells)}}}, containers={{{containers}}}, '
                     f"models={{{models}}})")
    if p.broken == "syntax":
        lines += ["", "def oops(:"]
    body = "\n".join(lines) + "\n"
    if p.split:
        return {"xpdk/__init__.py": "from xpdk.pdk import PDK  # noqa: F401\n", "xpdk/pdk.py": body}
    return {"xpdk/__init__.py": body}


class IncrementalAgreesWithFullPass(RuleBasedStateMachine):
    def __init__(self) -> None:
        super().__init__()
        self.root = _ROOT / f"run{next(_RUNS)}"
        self.p = _Project()
        self.other: _Project | None = None  # the other branch, after a switch
        self.counter = 0
        self.written: dict[str, str] = {}
        self.renames: list[tuple[str, str | None]] = []  # folder renames (and deletions) not yet made
        self.watcher: _Worker | None = None
        self.last: dict | None = None  # the watcher's state after its last pass
        self.failed: str | None = None  # or why its last pass failed

    # -- helpers --------------------------------------------------------

    def _new(self, prefix: str) -> str:
        self.counter += 1
        return f"{prefix}{self.counter}"

    def _rel(self, stem: str) -> str:
        folder = self.p.where[stem]
        return f"chip/{folder}/{stem}.py" if folder else f"chip/{stem}.py"

    def _texts(self) -> dict[str, str]:
        texts = {"pyproject.toml": '[project]\nname = "chip"\n\n[tool.morvane]\npdk = "xpdk"\n',
                 "chip/__init__.py": ""}
        texts.update(_render_pdk(self.p.pdk))
        texts.update({f"chip/{folder}/__init__.py": "" for folder, init in self.p.folders.items() if init})
        module = {stem: f"chip.{folder}.{stem}" if folder else f"chip.{stem}"
                  for stem, folder in self.p.where.items()}
        for stem, f in self.p.files.items():
            texts[self._rel(stem)] = _render(stem, f, module)
        return texts

    def _sync(self, *, renames_only: bool = False, same_size: bool = False) -> list[str]:
        """Write the project as it is now; return what file events would
        report of it: the files written and deleted, a renamed or deleted
        folder (not its files), a new folder (not the files written in it).
        With ``same_size``, as a checkout: a file rewritten keeps its size
        where the new text is not longer."""
        events: list[Path] = []
        for old, new in self.renames:
            src, prefix = self.root / "chip" / old, f"chip/{old}/"
            if new is None:
                if src.exists():
                    shutil.rmtree(src)
                    events.append(src)
                self.written = {k: v for k, v in self.written.items() if not k.startswith(prefix)}
            elif src.exists():
                os.rename(src, self.root / "chip" / new)
                self.written = {(f"chip/{new}/{k[len(prefix):]}" if k.startswith(prefix) else k): v
                                for k, v in self.written.items()}
                events += [src, self.root / "chip" / new]
        self.renames = []
        if renames_only:
            return [str(e) for e in events]
        texts = self._texts()
        for rel in [rel for rel in self.written if rel not in texts]:
            (self.root / rel).unlink()
            events.append(self.root / rel)
        new_folders: set[Path] = set()
        for rel, text in texts.items():
            if self.written.get(rel) == text:
                continue
            path = self.root / rel
            if not path.parent.exists():
                path.parent.mkdir(parents=True)
                new_folders.add(path.parent)
                events.append(path.parent)
            if same_size and path.exists():
                short = path.stat().st_size - len(text.encode())
                if short > 0:
                    text += "#" * (short - 1) + "\n"
            path.write_text(text)
            if path.parent not in new_folders:
                events.append(path)
        self.written = texts
        return [str(e) for e in events]

    def _pass(self, **how: bool) -> None:
        assert self.watcher is not None
        answer = self.watcher.ask(op="watch", events=self._sync(**how))
        self.last, self.failed = answer.get("ok"), answer.get("failed")

    def _all_cells(self) -> list[tuple[str, str]]:
        return sorted((stem, name) for stem, f in self.p.files.items() for name in f.cells)

    def _all_models(self) -> list[tuple[str, str]]:
        return sorted((stem, name) for stem, f in self.p.files.items() for name in f.models)

    def _free(self, stem: str, name: str) -> bool:
        # A file never defines a cell and a model of one name (the later def
        # would replace the earlier).
        f = self.p.files[stem]
        return name not in f.cells and name not in f.models

    def _add_file(self, folder: str | None = None, prefix: str = "f") -> str:
        order = max((f.order for f in self.p.files.values()), default=0) + 1
        stem = self._new(prefix)
        self.p.files[stem] = _File(order=order)
        self.p.where[stem] = folder
        return stem

    def _new_folder(self, data: st.DataObject) -> str:
        folder = self._new("d")
        self.p.folders[folder] = data.draw(st.booleans(), label="with __init__.py")
        return folder

    # -- edits (each a rule, and part of a branch switch) --------------

    def _edit_add_cell(self, data: st.DataObject) -> None:
        # Now and then named like one of the PDK's cells or containers.
        name = data.draw(st.sampled_from(["new", "new", "new", "straight", "taper", "add_pads"]))
        if name == "new":
            name = self._new("c")
        stems = sorted(s for s in self.p.files if self._free(s, name))
        if not stems:
            return
        stem = data.draw(st.sampled_from(stems))
        order = self.p.files[stem].order
        below = sorted(c for c in self._all_cells() if self.p.files[c[0]].order < order)
        uses = data.draw(st.lists(st.sampled_from(below), max_size=2, unique=True)) if below else []
        self.p.files[stem].cells[name] = uses

    def _edit_rename_cell(self, data: st.DataObject) -> None:
        stem, name = data.draw(st.sampled_from(self._all_cells()))
        cells = self.p.files[stem].cells
        self.p.files[stem].cells = {(self._new("c") if k == name else k): v for k, v in cells.items()}

    def _edit_delete_cell(self, data: st.DataObject) -> None:
        stem, name = data.draw(st.sampled_from(self._all_cells()))
        del self.p.files[stem].cells[name]

    def _edit_move_cell(self, data: st.DataObject) -> None:
        stem, name = data.draw(st.sampled_from(self._all_cells()))
        targets = sorted(s for s in self.p.files if s != stem and self._free(s, name))
        if not targets:
            return
        target = data.draw(st.sampled_from(targets))
        uses = self.p.files[stem].cells.pop(name)
        order = self.p.files[target].order
        self.p.files[target].cells[name] = [u for u in uses
                                            if u[0] in self.p.files and self.p.files[u[0]].order < order]

    def _edit_copy_cell(self, data: st.DataObject) -> str | None:
        """Another file defines a cell of the same name: an existing file or
        a new one beside the first (a copied file), listed after it or
        before it. Returns that file."""
        stem, name = data.draw(st.sampled_from(self._all_cells()))
        targets = sorted(s for s in self.p.files if s != stem and self._free(s, name))
        target = data.draw(st.sampled_from([*targets, "new", "new, listed first"]))
        if target.startswith("new"):
            target = self._add_file(self.p.where[stem], "a" if "first" in target else "f")
        self.p.files[target].cells[name] = []
        return target

    def _edit_add_file(self, data: st.DataObject) -> None:
        folders = sorted(self.p.folders)
        folder = data.draw(st.sampled_from([None, *folders])) if folders else None
        f = self.p.files[self._add_file(folder)]
        for _ in range(data.draw(st.integers(0, 3))):
            f.cells[self._new("c")] = []

    def _edit_delete_file(self, data: st.DataObject) -> None:
        del self.p.files[data.draw(st.sampled_from(sorted(self.p.files)))]

    def _edit_rename_file(self, data: st.DataObject) -> None:
        stem = data.draw(st.sampled_from(sorted(self.p.files)))
        if data.draw(st.booleans(), label="moved to another folder, importers fixed"):
            folders = [None, *sorted(self.p.folders), "new"]
            folder = data.draw(st.sampled_from([f for f in folders if f != self.p.where[stem]]))
            self.p.where[stem] = self._new_folder(data) if folder == "new" else folder
        else:
            # Renamed in place: the files importing it still name the old module.
            new = self._new("f")
            self.p.files[new] = self.p.files.pop(stem)
            self.p.where[new] = self.p.where[stem]

    def _edit_break_file(self, data: st.DataObject, *, models: bool = False) -> str | None:
        stems = sorted(s for s, f in self.p.files.items() if f.broken is None and (f.models or not models))
        if not stems:
            return None
        stem = data.draw(st.sampled_from(stems))
        self.p.files[stem].broken = data.draw(st.sampled_from(["syntax", "raise"]))
        return stem

    def _edit_fix_file(self, data: st.DataObject) -> None:
        stems = sorted(s for s, f in self.p.files.items() if f.broken)
        if stems:
            self.p.files[data.draw(st.sampled_from(stems))].broken = None

    def _edit_add_import(self, data: st.DataObject) -> None:
        stem, name = data.draw(st.sampled_from(self._all_cells()))
        order = self.p.files[stem].order
        uses = self.p.files[stem].cells[name]
        candidates = sorted(c for c in self._all_cells() if self.p.files[c[0]].order < order and c not in uses)
        if candidates:
            uses.append(data.draw(st.sampled_from(candidates)))

    def _edit_remove_import(self, data: st.DataObject) -> None:
        users = sorted((s, n) for s, f in self.p.files.items() for n, u in f.cells.items() if u)
        if users:
            stem, name = data.draw(st.sampled_from(users))
            uses = self.p.files[stem].cells[name]
            uses.remove(data.draw(st.sampled_from(sorted(uses))))

    def _edit_change_model(self, data: st.DataObject) -> None:
        # Named like a cell, or not (a model of no cell), or like one of the PDK's models.
        names = sorted({n for _, n in self._all_cells()} | {n for _, n in self._all_models()}
                       | {"lone_model", *_PDK_MODELS})
        name = data.draw(st.sampled_from(names))
        holders = sorted(s for s, f in self.p.files.items() if name in f.models)
        if holders:
            stem = data.draw(st.sampled_from(holders))
            if data.draw(st.sampled_from(["toggle", "settings"])) == "settings":
                self.p.files[stem].models[name] += 1.0
            else:
                del self.p.files[stem].models[name]
            return
        # A new model goes where models are (in cell files too, once moved there).
        stems = sorted(s for s, f in self.p.files.items() if f.models and self._free(s, name)) \
            or sorted(s for s in self.p.files if self._free(s, name))
        if stems:
            self.p.files[data.draw(st.sampled_from(stems))].models[name] = 1.0

    def _edit_move_model(self, data: st.DataObject) -> None:
        """A model moves to another file (a new models file, or any file),
        or is copied there, so that two files define it."""
        stem, name = data.draw(st.sampled_from(self._all_models()))
        targets = sorted(s for s in self.p.files if s != stem and self._free(s, name))
        target = data.draw(st.sampled_from([*targets, "new"]))
        if target == "new":
            folders = sorted(self.p.folders)
            target = self._add_file(data.draw(st.sampled_from([None, *folders])) if folders else None)
        source = self.p.files[stem].models
        copied = data.draw(st.booleans(), label="copied")
        self.p.files[target].models[name] = source[name] if copied else source.pop(name)

    def _edit_pdk(self, data: st.DataObject) -> None:
        p = self.p.pdk
        what = data.draw(st.sampled_from(["model", "cell", "container", "split", "own_cell"]))
        if what == "model":
            name = data.draw(st.sampled_from(_PDK_MODELS))
            neff = data.draw(st.sampled_from([None, 1.7, 1.9]))
            if neff is None:
                p.models.pop(name, None)
            else:
                p.models[name] = neff
        elif what == "cell":
            p.cells ^= {data.draw(st.sampled_from(_PDK_CELLS))}
        elif what == "container":
            p.containers ^= {data.draw(st.sampled_from(_PDK_CONTAINERS))}
        elif what == "split":
            p.split = not p.split
        else:
            p.own_cell = not p.own_cell

    _EDITS = {
        # name -> when it applies
        "add_cell": lambda self: bool(self.p.files),
        "rename_cell": lambda self: bool(self._all_cells()),
        "delete_cell": lambda self: bool(self._all_cells()),
        "move_cell": lambda self: bool(self._all_cells()) and len(self.p.files) > 1,
        "copy_cell": lambda self: bool(self._all_cells()),
        "add_file": lambda self: True,
        "delete_file": lambda self: bool(self.p.files),
        "rename_file": lambda self: bool(self.p.files),
        "break_file": lambda self: any(f.broken is None for f in self.p.files.values()),
        "fix_file": lambda self: any(f.broken for f in self.p.files.values()),
        "add_import": lambda self: bool(self._all_cells()),
        "remove_import": lambda self: any(u for f in self.p.files.values() for u in f.cells.values()),
        "change_model": lambda self: bool(self.p.files),
        "move_model": lambda self: bool(self._all_models()),
        "pdk": lambda self: True,
    }

    def _edit_any(self, data: st.DataObject) -> None:
        name = data.draw(st.sampled_from([n for n, applies in self._EDITS.items() if applies(self)]))
        getattr(self, f"_edit_{name}")(data)

    # -- rules ----------------------------------------------------------

    @initialize(n_files=st.integers(3, 8), seed=st.integers(0, 2**32 - 1), events=st.booleans())
    def start(self, n_files: int, seed: int, events: bool) -> None:
        rnd = random.Random(seed)
        self.p.folders = {"lib": rnd.random() < 0.7} if rnd.random() < 0.5 else {}
        for i in range(n_files):
            stem = self._add_file(rnd.choice([None, None, *self.p.folders]))
            for _ in range(rnd.randint(1, 4)):
                below = [c for c in self._all_cells() if self.p.files[c[0]].order < i + 1]
                self.p.files[stem].cells[self._new("c")] = rnd.sample(below, min(len(below), rnd.randint(0, 2)))
        names = [n for _, n in self._all_cells()]
        self.p.files["models"] = _File(order=0, models={n: 1.0 for n in rnd.sample(names, len(names) // 3)})
        self.p.where["models"] = None
        self.p.pdk = _Pdk(split=rnd.random() < 0.3, own_cell=rnd.random() < 0.3,
                          containers={"add_pads"} if rnd.random() < 0.3 else set())
        if self.root.exists():
            shutil.rmtree(self.root)
        self._sync()
        self.watcher = _Worker(self.root, self.root / ".morvane" / "watch.db")
        answer = self.watcher.ask(op="start", events=events)
        self.last = answer["ok"]

    def teardown(self) -> None:
        try:
            if self.watcher is not None and self.last is not None:
                self._new_process_agrees()
        finally:
            if self.watcher is not None:
                self.watcher.close()
            shutil.rmtree(self.root, ignore_errors=True)

    def _new_process_agrees(self) -> None:
        """A new process that starts from the store the watcher left (and a
        copy of its database) agrees with a fresh pass: as left, after a
        file was edited while no process ran, after one was rewritten at
        its size and modification time, and after the store was written
        by another version."""
        for stale in ("as left", "edited unseen", "same stamp", "another version"):
            self._make_stale(stale)
            fresh = _ORACLE.ask(op="fresh", project=str(self.root),
                                database=str(self.root / ".morvane" / "fresh.db"))["ok"]
            warm = _ORACLE.ask(op="warm", project=str(self.root), database=str(self.root / ".morvane" / "warm.db"),
                               copy=str(self.root / ".morvane" / "watch.db"))["ok"]
            for key in ("factories", "models", "cells", "containers", "pdk_models"):
                assert warm[key] == fresh[key], (stale, key, _diff(warm[key], fresh[key]))

    def _make_stale(self, how: str) -> None:
        cells = sorted(rel for rel, text in self.written.items() if "@pf.cell" in text and "xpdk" not in rel)
        if how == "edited unseen" and cells:
            path = self.root / cells[0]
            text = path.read_text()
            name = text.split("@pf.cell\ndef ", 1)[1].split("(", 1)[0]
            path.write_text(text.replace(f"def {name}(", f"def {name}_unseen(", 1))
        elif how == "same stamp" and cells:
            # A checkout that rewrites a file at its size within its
            # modification time: only its change time and content differ.
            path = self.root / cells[-1]
            text, st = path.read_text(), path.stat()
            name = text.split("@pf.cell\ndef ", 1)[1].split("(", 1)[0]
            path.write_text(text.replace(f"def {name}(", f"def {name[:-1]}Z(", 1))
            os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns))
        elif how == "another version":
            import sqlite3

            with sqlite3.connect(self.root / ".morvane" / "cache.sqlite") as db:
                db.execute("UPDATE meta SET value = 'another version' WHERE key = 'context'")

    def _one(name: str, edit: str = ""):  # noqa: N805  (a rule that makes one edit, then a pass)
        edit = edit or name

        def run(self, data: st.DataObject) -> None:
            getattr(self, f"_edit_{edit}")(data)
            self._pass()

        run.__name__ = run.__qualname__ = name
        return precondition(lambda self: self._EDITS[edit](self))(rule(data=st.data())(run))

    add_cell = _one("add_cell")
    rename_cell = _one("rename_cell")
    delete_cell = _one("delete_cell")
    move_cell = _one("move_cell")
    add_file = _one("add_file")
    delete_file = _one("delete_file")
    rename_file = _one("rename_file")
    break_file = _one("break_file")
    fix_file = _one("fix_file")
    add_import = _one("add_import")
    remove_import = _one("remove_import")
    change_model = _one("change_model")
    move_model = _one("move_model")
    change_pdk = _one("change_pdk", "pdk")
    del _one

    @precondition(lambda self: self._all_models())
    @rule(data=st.data())
    def break_models_file(self, data: st.DataObject) -> None:
        if self._edit_break_file(data, models=True):
            self._pass()

    @precondition(lambda self: self._all_cells())
    @rule(data=st.data(), then=st.sampled_from(["keep", "break", "break, delete", "delete"]))
    def define_cell_twice(self, data: st.DataObject, then: str) -> None:
        """A second file defines a cell name; then, a save at a time, that
        newer file may break, and may be deleted."""
        target = self._edit_copy_cell(data)
        self._pass()
        if "break" in then:
            self.p.files[target].broken = data.draw(st.sampled_from(["syntax", "raise"]))
            self._pass()
        if "delete" in then:
            del self.p.files[target]
            self._pass()

    @precondition(lambda self: self.p.folders)
    @rule(data=st.data(), how=st.sampled_from(["importers fixed", "importers fixed later", "deleted"]))
    def rename_folder(self, data: st.DataObject, how: str) -> None:
        old = data.draw(st.sampled_from(sorted(self.p.folders)))
        if how == "deleted":
            for stem in [s for s in self.p.files if self.p.where[s] == old]:
                del self.p.files[stem]
            del self.p.folders[old]
            self.renames.append((old, None))
            self._pass()
            return
        new = self._new("d")
        self.p.folders[new] = self.p.folders.pop(old)
        self.p.where = {s: (new if f == old else f) for s, f in self.p.where.items()}
        self.renames.append((old, new))
        if how == "importers fixed later":
            self._pass(renames_only=True)
        self._pass()

    @rule(data=st.data(), n=st.integers(2, 6), back=st.booleans(), and_back=st.booleans())
    def switch_branch(self, data: st.DataObject, n: int, back: bool, and_back: bool) -> None:
        """Many files rewritten at once: back to the other branch, or to a
        new one, n edits away; and maybe at once back again, within the
        second (when the pass between is quick), each file at the size it
        had, so that only the text tells the versions apart."""
        if time.time() % 1 > 0.5:  # begun early in a second, both switches fit in it
            time.sleep(1 - time.time() % 1)
        if back and self.other is not None:
            self.p, self.other = self.other, self.p
        else:
            self.other = copy.deepcopy(self.p)
            for _ in range(n):
                self._edit_any(data)
        self._pass(same_size=True)
        if and_back:
            self.p, self.other = self.other, self.p
            self._pass(same_size=True)

    @rule(data=st.data(), kind=st.sampled_from(["syntax", "raise", "nopdk"]), n=st.integers(0, 2))
    def break_pdk(self, data: st.DataObject, kind: str, n: int) -> None:
        """The PDK package breaks, for this save and n more: every pass
        fails, and is tried again with the next change until it is mended."""
        self.p.pdk.broken = kind
        self._pass()
        assert self.failed, "a pass with a broken PDK package did not fail"
        for _ in range(n):
            self._edit_any(data)
            self._pass()
            assert self.failed, "a pass with a broken PDK package did not fail"
        self.p.pdk.broken = None
        self._pass()

    # -- the check ------------------------------------------------------

    @invariant()
    def agrees_with_a_fresh_full_pass(self) -> None:
        if self.watcher is None:
            return
        fresh = _ORACLE.ask(op="fresh", project=str(self.root),
                            database=str(self.root / ".morvane" / "fresh.db"))["ok"]
        assert self.last is not None, f"the watcher's pass failed: {self.failed}"
        incremental = self.last
        for key in ("factories", "models", "cells", "containers", "pdk_models"):
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
