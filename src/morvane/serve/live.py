"""What the live page shows, and the one place it is kept between passes.

A :class:`LiveProject` runs the registration passes and builds the cells it
draws, one at a time under one lock (the extension modules and the importer
are not thread-safe), and keeps a snapshot of the project taken after every
pass: the database's factory and model records and the call graph. The
request threads read that snapshot; they never touch the database while a
pass may be writing it.

The rule for stale state is one: a pass over some files makes stale what
those files, and the files importing them, define. A drawing remembers the
files its cell and the cells it uses come from and is dropped when a pass
touches one of them; a pass over the whole project drops every drawing.
"""

from __future__ import annotations

import inspect
import threading
import time
import traceback
from collections import OrderedDict
from collections.abc import Callable, Iterable
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import networkx as nx

from morvane import passes, settings
from morvane.core import callgraph, database
from morvane.report import exception_line

__all__ = ["Drawing", "LiveProject", "StampWatcher"]

DRAWINGS_KEPT = 256  # drawings cached at most, the least recently used dropped first


@dataclass(slots=True)
class Drawing:
    """The outcome of building one cell with its defaults and drawing it;
    ``component`` is the component drawn (for its GDSII download)."""

    version: int
    files: frozenset[str]
    svg: str | None = None
    component: Any = None
    error: dict[str, str] | None = None
    info: dict[str, Any] = field(default_factory=dict)

    @property
    def ok(self) -> bool:
        return self.error is None


def _error(exc: BaseException) -> dict[str, str]:
    # The first frame is the build worker's own call of the factory: not the user's news.
    tb = exc.__traceback__.tb_next if exc.__traceback__ is not None else None
    return {"type": type(exc).__name__, "message": str(exc),
            "traceback": "".join(traceback.format_exception(type(exc), exc, tb))}


def _parameters(factory: Callable[..., Any]) -> list[dict[str, Any]]:
    try:
        signature = inspect.signature(factory)
    except (TypeError, ValueError):
        return []
    out = []
    for p in signature.parameters.values():
        out.append({
            "name": p.name,
            "kind": p.kind.description,
            "default": None if p.default is p.empty else repr(p.default),
            "annotation": None if p.annotation is p.empty else (
                p.annotation if isinstance(p.annotation, str) else inspect.formatannotation(p.annotation)),
        })
    return out


class StampWatcher:
    """Which project files changed since the last look, by their modification stamps.

    ``changes()`` returns ``(changed, deleted)``: files that are new or whose
    stamp differs, and files that are gone, as absolute paths.
    """

    def __init__(self, root: Path) -> None:
        self.root = Path(root)
        self.stamps = self._scan()

    def _scan(self) -> dict[Path, tuple[int, ...]]:
        from morvane.core import _pysource

        stamps: dict[Path, tuple[int, ...]] = {}
        for path in _pysource.iter_python_files(self.root):
            stamp = _pysource.file_stamp(path)
            if stamp is not None:
                stamps[path] = stamp
        return stamps

    def changes(self) -> tuple[list[Path], list[Path]]:
        now = self._scan()
        changed = [p for p, s in now.items() if self.stamps.get(p) != s]
        deleted = [p for p in self.stamps if p not in now]
        self.stamps = now
        return changed, deleted


class LiveProject:
    """The project as the page sees it; see the module docstring."""

    def __init__(self, core: Any, *, build_timeout: float = 10.0) -> None:
        self.core = core
        self.build_timeout = build_timeout
        self.lock = threading.RLock()  # passes and cell builds
        self._changed = threading.Condition()
        self.generation = 0
        self.last_pass: dict[str, Any] = {}
        self.closed = False
        self.factories: dict[str, Any] = {}
        self.models: dict[str, Any] = {}
        self.graph: nx.DiGraph = nx.DiGraph()
        self._names: list[str] = []
        self._drawings: OrderedDict[str, Drawing] = OrderedDict()
        self._failed: dict[str, str] = {}  # cell name -> one-line build error, until stale
        self._abandoned: dict[str, threading.Thread] = {}  # builds that ran out of time
        self._versions = 0

    # -- passes -------------------------------------------------------------------

    def run_pass(self, paths: Iterable[Path] = (), importers: Iterable[Path] = ()) -> dict[str, Any]:
        """One registration pass over ``paths`` and ``importers`` (none: the
        whole project), as the watcher runs it (:meth:`apply_changes`, the
        files that no longer exist taken as deleted); returns the summary."""
        files = list(dict.fromkeys(Path(p) for p in [*paths, *importers]))
        return self._pass([p for p in files if p.is_file()], [p for p in files if not p.is_file()])

    def apply_changes(self, changed: Iterable[Path], deleted: Iterable[Path]) -> dict[str, Any]:
        """The watcher's pass after ``changed`` files were written and
        ``deleted`` ones removed (:func:`morvane.passes.apply_changes`: those
        files and their importers, in one transaction), then a new snapshot;
        returns the summary, also sent to every listener.

        A pass that raises is reported in the summary (``error``), not raised:
        the page keeps showing the last good state and the next save may fix it.
        """
        return self._pass(sorted(changed), sorted(deleted))

    def _pass(self, changed: list[Path], deleted: list[Path]) -> dict[str, Any]:
        with self.lock:
            start = time.perf_counter()
            done: dict[str, Any] = {"paths": sorted({*changed, *deleted}), "full": False, "written": [],
                                    "removed": []}
            error = None
            try:
                done = passes.apply_changes(changed, deleted, core=self.core)
                self._take_snapshot()
            except Exception as exc:
                error = exception_line(exc)
            project_dir = settings.get_project_dir()
            covered = done["paths"]
            # What a pass covered is stale; after a pass over the whole
            # project, or one that failed half-way, everything is.
            self._forget(None if error is not None or done["full"] or not covered
                         else {_relative(p, project_dir) for p in covered})
            return self._summary(start, covered, done["written"], done["removed"], error)

    def _summary(self, start: float, files: list[Path], written: list[str], removed: list[str],
                 error: str | None) -> dict[str, Any]:
        # The pass's summary, kept as the last one and sent to every listener.
        project_dir = settings.get_project_dir()
        self.generation += 1
        self.last_pass = {
            "generation": self.generation,
            "time": time.strftime("%H:%M:%S"),
            "duration_s": round(time.perf_counter() - start, 4),
            "files": [_relative(p, project_dir) for p in files],
            "written": list(written),
            "removed": list(removed),
            "error": error,
            "counts": self.counts(),
        }
        summary = dict(self.last_pass)
        with self._changed:
            self._changed.notify_all()
        return summary

    def _take_snapshot(self) -> None:
        self.factories = database.get_all_factories()
        self.models = database.get_all_model_records()
        self.graph = callgraph.create_callgraph()
        self._names = sorted(self.factories)

    def _forget(self, sources: set[str] | None) -> None:
        """Drop the drawings and build failures of ``sources`` (``None``: all)."""
        if sources is None:
            self._drawings.clear()
            self._failed.clear()
            return
        for name in [n for n, d in self._drawings.items() if d.files & sources]:
            del self._drawings[name]
            self._failed.pop(name, None)

    def wait(self, generation: int, timeout: float) -> int:
        """Block until a pass newer than ``generation`` ran, the project is
        closed, or ``timeout`` seconds passed; returns the current generation."""
        with self._changed:
            self._changed.wait_for(lambda: self.generation != generation or self.closed, timeout)
        return self.generation

    def close(self) -> None:
        self.closed = True
        with self._changed:
            self._changed.notify_all()

    # -- what the page reads ------------------------------------------------------

    def status_of(self, name: str) -> str:
        record = self.factories[name]
        if record.status == "ERROR":
            return "error"
        if name in self._failed:
            return "failing"
        return "ok"

    def counts(self) -> dict[str, int]:
        return {
            "cells": len(self.factories),
            "errors": sum(1 for r in self.factories.values() if r.status == "ERROR"),
            "failing": len(self._failed),
            "models": len(self.models),
        }

    def cell_row(self, name: str) -> dict[str, Any]:
        r = self.factories[name]
        return {"name": name, "status": self.status_of(name), "has_model": bool(r.has_model),
                "source": r.source, "message": r.message}

    def find_cells(self, query: str = "", kind: str = "all", limit: int = 500) -> dict[str, Any]:
        """The cells whose name or source contains ``query`` (any case), of one
        ``kind`` ("all", "error", "failing", "ok", "model"), the first ``limit``."""
        with self.lock:
            needle = query.strip().lower()
            rows: list[dict[str, Any]] = []
            matched = 0
            for name in self._names:
                record = self.factories[name]
                if needle and needle not in name.lower() and needle not in record.source.lower():
                    continue
                if kind == "model":
                    if not record.has_model:
                        continue
                elif kind != "all" and self.status_of(name) != kind:
                    continue
                matched += 1
                if len(rows) < limit:
                    rows.append(self.cell_row(name))
            return {"total": len(self._names), "matched": matched, "cells": rows}

    def model_rows(self) -> list[dict[str, Any]]:
        with self.lock:
            return [{"name": r.factory, "source": r.source, "pdk_type": r.pdk_type, "status": r.status,
                     "message": r.message, "settings": r.settings}
                    for _, r in sorted(self.models.items())]

    def cell(self, name: str) -> dict[str, Any] | None:
        """Everything the page shows about one cell, its drawing built if needed."""
        with self.lock:
            if name not in self.factories:
                return None
            drawing = self.drawing(name)
            G = self.graph
            factory = self._factory(name)
            model = self.models.get(name)
            out = self.cell_row(name)
            out.update({
                "parameters": _parameters(factory) if factory is not None else [],
                "uses": sorted(G.successors(name)) if name in G else [],
                "used_by": sorted(G.predecessors(name)) if name in G else [],
                "model": None if model is None else {
                    "name": model.factory, "status": model.status, "settings": model.settings,
                    "source": model.source, "pdk_type": model.pdk_type, "message": model.message},
                "drawing": None if drawing is None else {
                    "ok": drawing.ok, "version": drawing.version, "error": drawing.error, **drawing.info},
            })
            return out

    # -- drawings -----------------------------------------------------------------

    def _factory(self, name: str) -> Callable[..., Any] | None:
        factory: Callable[..., Any] | None = self.core.get_pdk().cells.get(name)
        return factory

    def drawing(self, name: str) -> Drawing | None:
        """The drawing of ``name`` built with its defaults, cached until stale;
        ``None`` for a name the project does not have."""
        from polyforge import svg

        with self.lock:
            if name not in self.factories:
                return None
            cached = self._drawings.get(name)
            if cached is not None:
                self._drawings.move_to_end(name)
                return cached
            self._versions += 1
            files = frozenset(self._files_of(name))
            factory = self._factory(name)
            earlier = self._abandoned.get(name)
            if factory is None:
                entry = Drawing(self._versions, files, error={
                    "type": "LookupError", "message": f"{name} is not among the PDK's cells",
                    "traceback": ""})
            elif earlier is not None and earlier.is_alive():
                entry = Drawing(self._versions, files, error={
                    "type": "TimeoutError", "traceback": "",
                    "message": f"building {name} took longer than {self.build_timeout:g} s "
                               "and has not finished yet"})
            else:
                entry = self._build(name, factory, files, svg.to_svg)
            self._drawings[name] = entry
            if len(self._drawings) > DRAWINGS_KEPT:
                self._drawings.popitem(last=False)
            if entry.ok or self.factories[name].status == "ERROR":  # an error cell is no build failure
                self._failed.pop(name, None)
            else:
                self._failed[name] = entry.error["message"] if entry.error else ""
            return entry

    def _build(self, name: str, factory: Callable[..., Any], files: frozenset[str],
               draw: Callable[[Any], str]) -> Drawing:
        """Build and draw on a worker thread, waiting at most ``build_timeout``.

        A build that runs out of time cannot be stopped: its thread is left to
        finish on its own (it is a daemon and holds no lock), and the cell
        reports the timeout until one of its files changes.
        """
        result: dict[str, Any] = {}

        def work() -> None:
            try:
                component = factory()
                result["svg"] = draw(component)
                result["component"] = component
                box = component.bbox()
                result["info"] = {
                    "component": str(component.name),
                    "bbox": None if box is None else [list(box[0]), list(box[1])],
                    "polygons": len(component.polygons), "references": len(component.references),
                    "ports": [p.name for p in component.ports.values()],
                }
            except BaseException as exc:  # what the user's cell raises is shown, whatever it is
                result["error"] = exc

        worker = threading.Thread(target=work, name=f"build {name}", daemon=True)
        worker.start()
        worker.join(self.build_timeout)
        if worker.is_alive():
            self._abandoned[name] = worker
            return Drawing(self._versions, files, error={
                "type": "TimeoutError", "traceback": "",
                "message": f"building {name} took longer than {self.build_timeout:g} s"})
        self._abandoned.pop(name, None)
        if "error" in result:
            return Drawing(self._versions, files, error=_error(result["error"]))
        return Drawing(self._versions, files, svg=result["svg"], component=result["component"],
                       info=result["info"])

    def _files_of(self, name: str) -> set[str]:
        """The sources of ``name`` and of every cell it uses."""
        names = {name}
        if name in self.graph:
            names |= nx.descendants(self.graph, name)
        return {self.factories[n].source for n in names if n in self.factories}


def _relative(path: Path, project_dir: Path) -> str:
    try:
        return Path(path).resolve().relative_to(Path(project_dir).resolve()).as_posix()
    except ValueError:
        return str(path)
