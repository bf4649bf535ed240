"""The language server: ``morvane lsp``, the registration pass's results in the editor.

The server speaks the language server protocol over standard input and
output. It takes the project that contains the first file the editor opens
(or the workspace's root, or ``--project-dir``) and runs the pass the
watcher runs (:func:`morvane.passes.apply_changes`) in this process: a full
pass at the start, then one pass for each save the editor reports and for
each change on disk that the watcher's file events (:func:`morvane.watch.changes`)
report, each burst of them one pass. After each pass it publishes, for
every file the pass covered and every file whose diagnostics changed:

- an error for each file that failed to import, at the failing line of that
  file, with the exception's type and message and the traceback's frames in
  project files as related information;
- an error for each model that became a placeholder, at its function;
- a warning at each definition of a cell name defined in two files, and a
  hint at a project model whose name matches no cell;
- with the ``check`` option, an error at each cell that fails to build with
  its defaults (each build limited as ``morvane check`` limits it), once the
  registration's diagnostics are out;
- a pass that fails: one error on the project's ``pyproject.toml``; the
  change is tried again with the next one.

Hover on a cell's name shows its status, its model, how many cells it uses
and is used by, and the cell's address on the live page while ``serve``
runs on the project; "go to definition" on a cell goes to its model and on
a model to its cell.

Threads: the pass, the engine session, the database and the project's code
run on the main thread (the worker), which also follows the file events;
the protocol runs in a thread of its own and hands the worker jobs. Only
protocol messages go to standard output: the protocol writes to a duplicate
of the original descriptor, and descriptors 1 and 0 become standard error
and ``/dev/null`` for everything else (a project file that prints, a C
library that writes, a child process).
"""

from __future__ import annotations

import ast
import asyncio
import concurrent.futures
import hashlib
import json
import logging
import os
import queue
import re
import sys
import threading
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, BinaryIO

from morvane import building

__all__ = ["run", "Options", "find_project"]

log = logging.getLogger("morvane.lsp")

NAME = "morvane"
SOURCE = "morvane"
# With file events the worker looks at its jobs at least this often; a save
# usually wakes it sooner, through its file's events.
EVENT_STEP_S = 0.05
# Without file events: the files' stamps are looked at this often, and at
# once when the editor reports a save.
POLL_S = 0.5
DEFAULT_TIMEOUT_S = 10.0  # a cell's build, as `morvane check`
EXIT_WAIT_S = 5.0  # the longest a pass under way may hold up the exit


@dataclass
class Options:
    """What the editor or the command line asks of the server."""

    check: bool = False  # build every cell of a pass with its defaults
    timeout: float = DEFAULT_TIMEOUT_S  # per cell; 0 for no limit
    project_dir: Path | None = None

    def update(self, raw: Any) -> None:
        """Take ``check`` and ``timeout`` from the editor's settings (its
        initialisation options, or ``{"morvane": {...}}`` of a change of
        configuration); anything else is ignored."""
        if not isinstance(raw, dict):
            return
        if isinstance(raw.get(NAME), dict):
            raw = raw[NAME]
        check = raw.get("check")
        if isinstance(check, bool):
            self.check = check
        timeout = raw.get("timeout")
        if isinstance(timeout, (int, float)) and not isinstance(timeout, bool) and 0 <= timeout < 1e6:
            self.timeout = float(timeout)


# --------------------------------------------------------------------------
# Positions in files
# --------------------------------------------------------------------------

_FRAME = re.compile(r'^\s*File "(?P<file>[^"]+)", line (?P<line>\d+)(?:, in (?P<func>.+))?$')
_LENGTH = re.compile(rb"^Content-Length: (\d+)\r$", re.MULTILINE)
_DEF = re.compile(r"^(?P<indent>[ \t]*)(?:async[ \t]+)?def[ \t]+(?P<name>\w+)")


@dataclass(frozen=True)
class Frame:
    file: Path
    line: int  # 1-based
    function: str | None
    code: str


def traceback_frames(text: str) -> list[Frame]:
    """The frames of a formatted traceback, outermost first (a syntax
    error's own place among them, last)."""
    lines = text.splitlines()
    out = []
    for i, line in enumerate(lines):
        match = _FRAME.match(line)
        if match is None:
            continue
        code = lines[i + 1].strip() if i + 1 < len(lines) and not _FRAME.match(lines[i + 1]) else ""
        out.append(Frame(Path(match["file"]), int(match["line"]), match["func"], code))
    return out


def _text_lines(path: Path) -> list[str]:
    try:
        return path.read_text(encoding="utf-8", errors="replace").splitlines()
    except OSError:
        return []


def definitions(path: Path) -> dict[str, tuple[int, int, int]]:
    """The module-level functions of a file: name -> (line, first and last
    column of the name), 0-based; the last definition of a name wins, as
    at run time. A file that does not parse is read line by line."""
    lines = _text_lines(path)
    out: dict[str, tuple[int, int, int]] = {}
    try:
        tree = ast.parse("\n".join(lines))
    except (SyntaxError, ValueError):
        tree = None
    if tree is not None:
        todo: list[list[ast.stmt]] = [tree.body]
        while todo:
            for node in todo.pop():
                if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
                    row = node.lineno - 1
                    text = lines[row] if row < len(lines) else ""
                    col = text.find(node.name, node.col_offset)
                    col = max(col, 0)
                    out[node.name] = (row, col, col + len(node.name))
                elif isinstance(node, (ast.If, ast.Try, ast.With, ast.AsyncWith)):
                    todo.extend([getattr(node, f) for f in ("body", "orelse", "finalbody") if hasattr(node, f)])
                    todo.extend(h.body for h in getattr(node, "handlers", ()))
        return out
    depth: dict[str, int] = {}
    for row, text in enumerate(lines):
        match = _DEF.match(text)
        if match and len(match["indent"]) <= depth.get(match["name"], len(match["indent"])):
            depth[match["name"]] = len(match["indent"])
            out[match["name"]] = (row, match.start("name"), match.end("name"))
    return out


def line_range(path: Path, line: int | None) -> Any:
    """The range of a 1-based ``line`` of ``path`` without its indentation
    (the first line when unknown)."""
    from lsprotocol import types as t

    row = max((line or 1) - 1, 0)
    lines = _text_lines(path)
    text = lines[row] if row < len(lines) else ""
    start = len(text) - len(text.lstrip())
    return t.Range(t.Position(row, start), t.Position(row, max(len(text), start)))


# --------------------------------------------------------------------------
# Diagnostics of a pass
# --------------------------------------------------------------------------


def import_error_diagnostic(path: Path, names: list[str], info: dict[str, Any] | None, fallback: str,
                            project_dir: Path) -> Any:
    """The error on a file that failed to import: at its own last frame in
    the traceback (the failed import, or the line that raised), else at the
    place a syntax error names."""
    from lsprotocol import types as t

    cells = f"error cell{'s' if len(names) != 1 else ''}: {', '.join(sorted(names))}"
    if info is None:
        return t.Diagnostic(range=line_range(path, 1), message=f"{fallback}\n{cells}",
                            severity=t.DiagnosticSeverity.Error, source=SOURCE, code="import-error")
    frames = traceback_frames(info.get("traceback") or "")
    own = [f for f in frames if _same_file(f.file, path)]
    line: int | None = 1
    if own:
        line = own[-1].line
    elif info.get("file") and _same_file(Path(info["file"]), path):
        line = info.get("line")
    related = []
    for frame in frames:
        file = frame.file if frame.file.is_absolute() else project_dir / frame.file
        if not file.resolve().is_relative_to(project_dir):
            continue
        where = f"in {frame.function}" if frame.function else "here"
        related.append(t.DiagnosticRelatedInformation(
            location=t.Location(uri=_uri(file), range=line_range(file, frame.line)),
            message=f"{where}: {frame.code}" if frame.code else where))
    message = f"{info.get('type')}: {info.get('message')}"
    return t.Diagnostic(range=line_range(path, line), message=f"{message}\n{cells}",
                        severity=t.DiagnosticSeverity.Error, source=SOURCE, code="import-error",
                        related_information=related or None)


def _same_file(a: Path, b: Path) -> bool:
    try:
        return a == b or a.resolve() == b.resolve()
    except OSError:
        return False


def _uri(path: Path) -> str:
    return Path(path).resolve().as_uri()


def uri_path(uri: str) -> Path | None:
    """The file of a ``file:`` URI (``None`` for any other)."""
    from pygls.uris import to_fs_path

    if not isinstance(uri, str) or not uri.startswith("file:"):
        return None
    path = to_fs_path(uri)
    return Path(path).resolve() if path else None


def find_project(path: Path) -> Path | None:
    """The project directory that holds ``path`` (``None`` outside any)."""
    from morvane import settings

    start = path if path.is_dir() else path.parent
    try:
        return settings.find_project_dir(start)
    except (settings.SettingsError, OSError) as exc:
        log.info("no project for %s: %s", path, exc)
        return None


# --------------------------------------------------------------------------
# The project: passes and what they leave (worker thread only)
# --------------------------------------------------------------------------


def _digest(path: Path) -> bytes | None:
    try:
        with open(path, "rb") as f:
            return hashlib.blake2b(f.read(), digest_size=16).digest()
    except OSError:
        return None


class Project:
    """One project's passes and the diagnostics they leave; everything here
    runs on the worker thread. ``publish(path, diagnostics)`` sends a
    file's diagnostics to the editor."""

    def __init__(self, root: Path, options: Options, publish: Callable[[Path, list[Any]], None]) -> None:
        self.root = root
        self.pyproject = root / "pyproject.toml"
        self.options = options
        self.publish = publish
        self.core: Any = None
        self.source: Iterator[tuple[set[Path], set[Path]]] | None = None
        self.events = False
        self.need_full = True
        self.pending_changed: set[Path] = set()
        self.pending_deleted: set[Path] = set()
        # What each category says about each file, and what the editor was sent.
        self.errors: dict[Path, list[Any]] = {}
        self.models: dict[Path, list[Any]] = {}
        self.duplicates: dict[Path, list[Any]] = {}
        self.builds: dict[Path, list[Any]] = {}
        self.failure: Any = None
        self.shown: dict[Path, list[Any]] = {}
        self.names: dict[Path, frozenset[str]] = {}
        self.files_of: dict[str, set[Path]] = {}
        # A file's content as the last pass over it read it: the events of
        # a save the editor reported already bring no second pass.
        self.passed: dict[Path, bytes | None] = {}
        self.passes = 0

    # ---- starting ------------------------------------------------------------

    def start(self) -> None:
        """Select the project, follow its files, and run the first, full pass."""
        from morvane import settings
        from morvane.core import database

        os.environ[settings.PROJECT_DIR_ENV] = str(self.root)
        settings.reset_settings()
        database.close()
        if str(self.root) not in sys.path:
            sys.path.insert(0, str(self.root))  # the project's modules import each other
        from morvane import watch

        fell_back: list[str] = []
        # Followed from before the first pass: a change during it is not lost.
        self.source = watch.changes(self.root, EVENT_STEP_S, False, fell_back.append)
        self.events = not fell_back
        if fell_back:
            log.warning("%s", fell_back[0])
            self.source = watch.changes(self.root, 0.0, True, log.warning)
        self.run_pending()

    def next_changes(self, wake: threading.Event) -> None:
        """Wait for the next changes on disk (or a job: ``wake``) and take them."""
        assert self.source is not None
        if not self.events:
            wake.wait(POLL_S)
        wake.clear()
        changed, deleted = next(self.source)
        for path in changed:
            if path in self.passed and _digest(path) == self.passed[path] and path not in self.pending_changed:
                continue  # as the last pass read it (a save the editor reported)
            self.pending_changed.add(path)
            self.pending_deleted.discard(path)
        for path in deleted:
            self.pending_deleted.add(path)
            self.pending_changed.discard(path)
            self.passed.pop(path, None)

    def saved(self, path: Path) -> None:
        """The editor saved ``path``."""
        from morvane.core.engine import session

        if path.name == "pyproject.toml" and path == self.pyproject:
            from morvane import settings

            settings.reset_settings()
            self.need_full = True
            return
        if path.suffix != ".py" or not path.is_relative_to(self.root):
            return
        if path.is_file():
            if path in self.passed and _digest(path) == self.passed[path] and path not in self.pending_changed:
                return  # the pass of its file events read it so already
            # Its events may not have been heard yet: the pass must read it.
            session.touched([path])
            self.pending_changed.add(path)
            self.pending_deleted.discard(path)
        elif path in self.names or path in self.passed:
            self.pending_deleted.add(path)
            self.pending_changed.discard(path)

    # ---- a pass ----------------------------------------------------------------

    def run_pending(self) -> bool:
        """Run the pass the pending changes call for, if any; ``True`` when
        one ran and did not fail."""
        if not (self.need_full or self.pending_changed or self.pending_deleted):
            return False
        changed, deleted = sorted(self.pending_changed), sorted(self.pending_deleted)
        full = self.need_full
        for path in changed:
            self.passed[path] = _digest(path)
        done = self._pass([] if full else changed, [] if full else deleted)
        if done is None:
            return False
        self.need_full = False
        self.pending_changed.clear()
        self.pending_deleted.clear()
        try:
            self._after(done, set(changed) | set(deleted), deleted)
        except Exception:  # the pass is done; its report must not stop the server
            log.exception("diagnostics of pass %d", self.passes)
        return True

    def _pass(self, changed: list[Path], deleted: list[Path]) -> dict[str, Any] | None:
        from lsprotocol import types as t

        from morvane import passes
        from morvane.core import database
        from morvane.report import exception_line

        try:
            database.reopen_if_replaced()
            if self.core is None:
                from morvane.core import pdk

                self.core = pdk
            done = passes.apply_changes(changed, deleted, core=self.core)
        except KeyboardInterrupt:
            raise
        except BaseException as exc:  # a SystemExit from the PDK package too
            log.warning("pass failed: %s", exception_line(exc, 300))
            for path in changed:
                self.passed.pop(path, None)  # tried again with the next change
            self.failure = t.Diagnostic(
                range=line_range(self.pyproject, 1), severity=t.DiagnosticSeverity.Error, source=SOURCE,
                code="pass-failed",
                message=f"registration pass failed: {exception_line(exc, 500)}\n"
                        "it is tried again with the next save")
            self._show({self.pyproject}, force=set())
            return None
        self.passes += 1
        return done

    def _after(self, done: dict[str, Any], own: set[Path], deleted: list[Path]) -> None:
        from morvane.core.engine import session

        full = not done["paths"]
        if full:
            files = set(session.listing(self.root)[0])
        else:
            files = set(done["paths"])
        touched = {self.pyproject} if self.failure is not None else set()
        self.failure = None
        touched |= self._error_cells(done, files, full)
        # A file's cell names change with its content only: of a pass over
        # saved files, the importers and the files defining the same names
        # keep theirs.
        touched |= self._names(files if full else own, set(deleted), full)
        touched |= self._models()
        if full:
            touched |= set(self.shown)
        self._show(touched | files, force=own)
        if self.options.check:
            self._show(self._builds(done, files, full), force=set())

    def _error_cells(self, done: dict[str, Any], files: set[Path], full: bool) -> set[Path]:
        rows = done["factories"]
        import_errors = done["import_errors"]
        by_source: dict[str, list[Any]] = {}
        for record in rows.values():
            if record.status == "ERROR":
                by_source.setdefault(record.source, []).append(record)
        now: dict[Path, list[Any]] = {}
        for source, records in by_source.items():
            path = Path(records[0].absolute_source()).resolve()
            now[path] = [import_error_diagnostic(path, [r.name for r in records], import_errors.get(source),
                                                 records[0].message, self.root)]
        before = set(self.errors)
        if full:
            self.errors = now
        else:
            for path in files:
                self.errors.pop(path, None)
            self.errors.update(now)
        return before | set(now)

    def _names(self, files: set[Path], deleted: set[Path], full: bool) -> set[Path]:
        """Keep each file's cell names; the files that define a name whose
        files changed get their warnings about names defined twice again."""
        from morvane.core import callgraph

        def names_of(path: Path) -> frozenset[str]:
            if not path.is_file():
                return frozenset()
            try:
                return frozenset(callgraph.factory_names(path))
            except (OSError, ValueError):
                return frozenset()

        if full:
            self.names = {p: n for p in files if (n := names_of(p))}
            self.files_of = {}
            for path, names in self.names.items():
                for name in names:
                    self.files_of.setdefault(name, set()).add(path)
            redo = set(self.names) | set(self.duplicates)
        else:
            affected: set[str] = set()
            redo = set()
            for path in files | deleted:
                old, new = self.names.get(path, frozenset()), names_of(path)
                if old == new:
                    continue
                redo.add(path)
                affected |= old ^ new
                for name in old - new:
                    holders = self.files_of.get(name, set())
                    holders.discard(path)
                    if not holders:
                        self.files_of.pop(name, None)
                for name in new - old:
                    self.files_of.setdefault(name, set()).add(path)
                if new:
                    self.names[path] = new
                else:
                    self.names.pop(path, None)
            if not affected:
                return set()
            redo |= {p for name in affected for p in self.files_of.get(name, ())}
        for path in redo:
            self.duplicates.pop(path, None)
            twice = sorted(n for n in self.names.get(path, ()) if len(self.files_of.get(n, ())) > 1)
            if twice:
                self.duplicates[path] = self._duplicate_warnings(path, twice)
        return redo

    def _duplicate_warnings(self, path: Path, names: list[str]) -> list[Any]:
        from lsprotocol import types as t

        from morvane.report import relative

        defs = definitions(path)
        out = []
        for name in names:
            others = sorted(relative(p, self.root) for p in self.files_of[name] if p != path)
            row, start, end = defs.get(name, (0, 0, 0))
            out.append(t.Diagnostic(
                range=t.Range(t.Position(row, start), t.Position(row, end)),
                severity=t.DiagnosticSeverity.Warning, source=SOURCE, code="duplicate-cell",
                message=f"cell name {name!r} is also defined in {', '.join(others)}: the PDK keeps one of them",
                related_information=[t.DiagnosticRelatedInformation(
                    location=t.Location(uri=_uri(p), range=_name_range(p, name)),
                    message=f"{name!r} defined here too") for p in sorted(self.files_of[name]) if p != path]))
        return out

    def _models(self) -> set[Path]:
        """Placeholders of failing models, and project models named like no cell."""
        from lsprotocol import types as t

        from morvane.core import database as db

        records = db.get_all_model_records()
        own = {n: r for n, r in records.items() if r.pdk_type == "pdk"}
        cells = self.core.get_pdk().cells  # the project's cells and the PDK's own
        now: dict[Path, list[Any]] = {}
        for name, record in sorted(own.items()):
            if record.status != "ERROR" and name in cells:
                continue
            source = record.absolute_source()
            if source is None:
                continue
            path = Path(source).resolve()
            if record.status == "ERROR":
                diagnostic = t.Diagnostic(
                    range=_name_range(path, name), severity=t.DiagnosticSeverity.Error, source=SOURCE,
                    code="model-failed", message=f"model {name!r} failed: {record.message}")
            else:
                diagnostic = t.Diagnostic(
                    range=_name_range(path, name), severity=t.DiagnosticSeverity.Hint, source=SOURCE,
                    code="model-without-cell", message=f"model {name!r} matches no cell of the project")
            now.setdefault(path, []).append(diagnostic)
        changed = {p for p in set(now) | set(self.models) if now.get(p) != self.models.get(p)}
        self.models = now
        return changed

    def _builds(self, done: dict[str, Any], files: set[Path], full: bool) -> set[Path]:
        from lsprotocol import types as t

        cells = self.core.get_pdk().cells
        before = set(self.builds)
        if full:
            self.builds = {}
        else:
            for path in files:
                self.builds.pop(path, None)
        for name, record in sorted(done["factories"].items()):
            if record.status == "ERROR":
                continue
            factory = cells.get(name)
            if factory is None or building.needs_arguments(factory):
                continue
            problem = building.build(factory, self.options.timeout)[1]
            if problem is not None:
                path = Path(record.absolute_source()).resolve()
                self.builds.setdefault(path, []).append(t.Diagnostic(
                    range=_name_range(path, name), severity=t.DiagnosticSeverity.Error, source=SOURCE,
                    code="build-failed", message=f"cell {name!r} fails to build with its defaults: {problem}"))
        return before | set(self.builds)

    def _show(self, paths: set[Path], force: set[Path]) -> None:
        """Publish the diagnostics of ``paths`` that changed, and those of
        ``force`` whatever they are."""
        for path in sorted(paths | force):
            now = [*self.errors.get(path, ()), *self.models.get(path, ()), *self.duplicates.get(path, ()),
                   *self.builds.get(path, ())]
            if path == self.pyproject and self.failure is not None:
                now.append(self.failure)
            if path not in force and now == self.shown.get(path, []):
                continue
            if now:
                self.shown[path] = now
            else:
                self.shown.pop(path, None)
            self.publish(path, now)

    # ---- questions -------------------------------------------------------------

    def hover(self, name: str) -> str | None:
        """What hover shows for the cell or model ``name`` (Markdown)."""
        from morvane.core import callgraph
        from morvane.core import database as db
        from morvane.report import absolute_source, relative, settings_json

        with db.reading():
            factory = db.get_factories_by_name(name).get(name)
            model = db.get_all_model_records().get(name)
            if factory is None and model is None:
                return None
            G = callgraph.create_callgraph()
            errors = db.get_import_errors(factory.source) if factory is not None and factory.status == "ERROR" \
                else {}
        lines = []

        def where(record: Any) -> str:
            source = absolute_source(record)
            return f"`{relative(Path(source), self.root)}`" if source else "-"

        if factory is not None:
            status = "ERROR" if factory.status == "ERROR" else "ok"
            lines.append(f"**{name}**: cell, {status}")
            lines.append(f"defined in {where(factory)}")
            if factory.status == "ERROR":
                error = errors.get(factory.source)
                text = f"{error['type']}: {error['message']}" if error else factory.message
                lines.append(f"error: `{' '.join(str(text).split())}`")
            uses = len(list(G.successors(name))) if name in G else 0
            used_by = len(list(G.predecessors(name))) if name in G else 0
            lines.append(f"uses {uses} cell{'s' if uses != 1 else ''}, used by {used_by} "
                         f"cell{'s' if used_by != 1 else ''}")
        if model is not None:
            settings = json.dumps(settings_json(model.settings))
            status = "ERROR" if model.status == "ERROR" else "ok"
            origin = "the project" if model.pdk_type == "pdk" else "the base PDK"
            lines.append(f"model: {status}, from {origin}, {where(model)}")
            lines.append(f"settings: `{settings}`")
            if model.status == "ERROR" and model.message:
                lines.append(f"error: `{' '.join(model.message.split())}`")
        elif factory is not None:
            lines.append("model: none")
        if factory is not None:
            from urllib.parse import quote

            from morvane.serve import running_page

            page = running_page(self.root)
            if page is not None:
                lines.append(f"live page: {page.rstrip('/')}/#cell={quote(name, safe='')}")
        return "\n\n".join(line for line in lines if line is not None)

    def counterpart(self, path: Path, name: str) -> tuple[Path, tuple[int, int, int]] | None:
        """From a cell to its model, from a model (in its own file) to its cell."""
        from morvane.core import database as db

        with db.reading():
            factory = db.get_factories_by_name(name).get(name)
            model = db.get_all_model_records().get(name)
        model_file = _source_of(model)
        factory_file = _source_of(factory)
        if model_file is not None and model_file == path and factory_file is not None:
            target = factory_file
        elif factory_file is not None and model_file is not None:
            target = model_file
        else:
            return None
        place = definitions(target).get(name)
        return target, place or (0, 0, 0)


def _source_of(record: Any) -> Path | None:
    if record is None:
        return None
    source = record.absolute_source()
    return None if source is None else Path(source).resolve()


def _name_range(path: Path, name: str) -> Any:
    from lsprotocol import types as t

    row, start, end = definitions(path).get(name, (0, 0, 0))
    return t.Range(t.Position(row, start), t.Position(row, end))


# --------------------------------------------------------------------------
# The worker: the main thread
# --------------------------------------------------------------------------


@dataclass
class _Job:
    kind: str  # "root", "open", "save", "config", "ask", "stop"
    path: Path | None = None
    value: Any = None
    future: concurrent.futures.Future[Any] | None = field(default=None, compare=False)


class Worker:
    """Owns the project (and so the engine session, the database and the
    project's code): every job runs here, on the thread that calls
    :meth:`serve`."""

    def __init__(self, options: Options, publish: Callable[[Path, list[Any]], None],
                 message: Callable[[str], None]) -> None:
        self.options = options
        self.publish = publish
        self.message = message
        self.jobs: queue.SimpleQueue[_Job] = queue.SimpleQueue()
        self.wake = threading.Event()
        self.project: Project | None = None
        self.outside: set[Path] = set()
        self.stopped = False

    def submit(self, job: _Job) -> None:
        self.jobs.put(job)
        self.wake.set()

    def ask(self, fn: Callable[[Project], Any]) -> concurrent.futures.Future[Any]:
        """``fn(project)`` on the worker, after the passes due; ``None``
        without a project."""
        future: concurrent.futures.Future[Any] = concurrent.futures.Future()
        self.submit(_Job("ask", value=fn, future=future))
        return future

    def serve(self) -> None:
        while not self.stopped:
            project = self.project
            if project is None:
                self._handle(self.jobs.get())
            else:
                project.next_changes(self.wake)
            asks = []
            while True:
                try:
                    job = self.jobs.get_nowait()
                except queue.Empty:
                    break
                if job.kind == "ask":
                    asks.append(job)
                else:
                    self._handle(job)
            if self.project is not None:
                self.project.run_pending()
            for job in asks:
                self._answer(job)

    def _handle(self, job: _Job) -> None:
        if job.kind == "stop":
            self.stopped = True
        elif job.kind == "config":
            self.options.update(job.value)
        elif job.kind == "ask":
            self._answer(job)
        elif job.kind in ("root", "open", "save") and job.path is not None:
            self._file(job.kind, job.path)

    def _file(self, kind: str, path: Path) -> None:
        if self.project is None:
            root = find_project(path)
            if root is None:
                if kind != "root" and path not in self.outside:
                    self.outside.add(path)
                    log.info("%s is in no morvane project: no diagnostics for it", path)
                return
            self.project = Project(root, self.options, self.publish)
            log.info("project %s", root)
            self.project.start()
            return
        if not path.is_relative_to(self.project.root):
            if path not in self.outside:
                self.outside.add(path)
                self.message(f"{path} is outside the project {self.project.root}: no diagnostics for it")
            return
        if kind == "save":
            self.project.saved(path)

    def _answer(self, job: _Job) -> None:
        future = job.future
        if future is None or not future.set_running_or_notify_cancel():
            return  # cancelled while it waited
        try:
            result = None if self.project is None else job.value(self.project)
        except Exception as exc:
            future.set_exception(exc)
        else:
            future.set_result(result)


# --------------------------------------------------------------------------
# The protocol (its own thread)
# --------------------------------------------------------------------------


def _server(worker_box: list[Worker], options: Options, on_exit: Callable[[int], None]) -> Any:
    from lsprotocol import types as t
    from pygls.protocol import LanguageServerProtocol, default_converter
    from pygls.protocol.language_server import lsp_method
    from pygls.server import LanguageServer

    converter = default_converter()  # type: ignore[no-untyped-call]

    class Protocol(LanguageServerProtocol):
        """pygls's protocol, with replies to malformed messages and an exit
        that does not wait for standard input to close."""

        shut_down = False

        def data_received(self, data: bytes) -> None:
            # One framed message: pygls's reader hands them over one by
            # one, with any lines it read before the headers, and takes the
            # first "Content-Length" header's count of bytes as the body.
            found = _LENGTH.search(data)
            if found is None:
                log.warning("dropped a message without Content-Length")
                return
            length = int(found[1])
            body = data[len(data) - length:] if length else b""
            try:
                message = json.loads(body)
            except (ValueError, UnicodeDecodeError) as exc:
                self._error(None, -32700, f"parse error: {exc}")
                return
            if not isinstance(message, dict) or message.get("jsonrpc") != "2.0" or \
                    ("method" in message and not isinstance(message["method"], str)):
                msg_id = message.get("id") if isinstance(message, dict) else None
                self._error(msg_id if isinstance(msg_id, (int, str)) else None, -32600, "invalid request")
                return
            method = message.get("method")
            if method is not None:
                kind = self.get_message_type(method)
                if kind is not None:
                    try:
                        converter.structure(message, kind)
                    except Exception as exc:
                        if "id" in message:
                            self._error(message["id"], -32602, f"invalid params for {method}: {exc}")
                        else:
                            log.warning("dropped %s with invalid params: %s", method, exc)
                        return
            super().data_received(b"Content-Length: %d\r\n\r\n" % len(body) + body)

        def _error(self, msg_id: Any, code: int, text: str) -> None:
            reply = json.dumps({"jsonrpc": "2.0", "id": msg_id, "error": {"code": code, "message": text}})
            data = reply.encode()
            if self.transport is not None:
                self.transport.write(b"Content-Length: %d\r\n\r\n" % len(data) + data)

        @lsp_method(t.SHUTDOWN)
        def lsp_shutdown(self, *args: Any) -> None:
            self.shut_down = True
            return super().lsp_shutdown(*args)

        @lsp_method(t.EXIT)
        def lsp_exit(self, *args: Any) -> None:
            # pygls's own exit closes standard input, which waits for its
            # reader: with the editor keeping the pipe open, for ever.
            status = 0 if self.shut_down else 1
            on_exit(status)
            raise SystemExit(status)

    server = LanguageServer(NAME, _version(), loop=asyncio.new_event_loop(), protocol_cls=Protocol,
                            text_document_sync_kind=t.TextDocumentSyncKind.Full)

    def worker() -> Worker:
        return worker_box[0]

    def file_job(kind: str, uri: str) -> None:
        path = uri_path(uri)
        if path is not None:
            worker().submit(_Job(kind, path))

    @server.feature(t.INITIALIZE)
    def initialize(ls: Any, params: t.InitializeParams) -> None:
        options.update(params.initialization_options)
        roots = [f.uri for f in params.workspace_folders or ()]
        if params.root_uri:
            roots.append(params.root_uri)
        for uri in roots:
            file_job("root", uri)

    @server.feature(t.TEXT_DOCUMENT_DID_OPEN)
    def did_open(ls: Any, params: t.DidOpenTextDocumentParams) -> None:
        file_job("open", params.text_document.uri)

    @server.feature(t.TEXT_DOCUMENT_DID_SAVE, t.SaveOptions(include_text=False))
    def did_save(ls: Any, params: t.DidSaveTextDocumentParams) -> None:
        file_job("open", params.text_document.uri)
        file_job("save", params.text_document.uri)

    @server.feature(t.WORKSPACE_DID_CHANGE_CONFIGURATION)
    def did_change_configuration(ls: Any, params: t.DidChangeConfigurationParams) -> None:
        worker().submit(_Job("config", value=params.settings))

    def word(params: Any) -> tuple[Path, str] | None:
        path = uri_path(params.text_document.uri)
        if path is None:
            return None
        try:
            document = server.workspace.get_text_document(params.text_document.uri)
            text = document.word_at_position(params.position)
        except Exception:  # a position past the end, a document gone
            return None
        return (path, text) if text and text.isidentifier() else None

    @server.feature(t.TEXT_DOCUMENT_HOVER)
    async def hover(ls: Any, params: t.HoverParams) -> t.Hover | None:
        found = word(params)
        if found is None:
            return None
        path, name = found
        text = await asyncio.wrap_future(worker().ask(
            lambda project: project.hover(name) if path.is_relative_to(project.root) else None))
        if text is None:
            return None
        return t.Hover(contents=t.MarkupContent(kind=t.MarkupKind.Markdown, value=text))

    @server.feature(t.TEXT_DOCUMENT_DEFINITION)
    async def definition(ls: Any, params: t.DefinitionParams) -> t.Location | None:
        found = word(params)
        if found is None:
            return None
        path, name = found
        place = await asyncio.wrap_future(worker().ask(
            lambda project: project.counterpart(path, name) if path.is_relative_to(project.root) else None))
        if place is None:
            return None
        target, (row, start, end) = place
        return t.Location(uri=_uri(target), range=t.Range(t.Position(row, start), t.Position(row, end)))

    return server


def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("morvane")
    except PackageNotFoundError:
        return "unknown"


def _protocol_streams() -> tuple[BinaryIO, BinaryIO]:
    """The protocol's own standard input and output; from here on
    descriptor 1 is standard error and descriptor 0 is empty, for
    everything else in this process and its children."""
    sys.stdout.flush()
    out = os.fdopen(os.dup(1), "wb")
    into = os.fdopen(os.dup(0), "rb")
    os.dup2(2, 1)
    null = os.open(os.devnull, os.O_RDONLY)
    os.dup2(null, 0)
    os.close(null)
    sys.stdout = sys.stderr
    return into, out


def run(options: Options) -> int:
    """Serve the protocol on standard input and output until the editor
    says exit (or closes standard input); returns the exit status."""
    import pygls  # noqa: F401  (fails here, before anything is redirected)

    from lsprotocol import types as t

    into, out = _protocol_streams()
    logging.getLogger("pygls").setLevel(logging.WARNING)
    box: list[Worker] = []
    loop: asyncio.AbstractEventLoop

    def publish(path: Path, diagnostics: list[Any]) -> None:
        loop.call_soon_threadsafe(server.publish_diagnostics, _uri(path), diagnostics)

    def message(text: str) -> None:
        loop.call_soon_threadsafe(server.show_message_log, text, t.MessageType.Info)

    worker = Worker(options, publish, message)
    box.append(worker)
    if options.project_dir is not None:
        worker.submit(_Job("root", options.project_dir))
    status: list[int] = []

    def stop(code: int) -> None:
        if status:
            return
        status.append(code)
        worker.submit(_Job("stop"))
        # A pass under way ends first; one that takes too long does not
        # keep the editor waiting.
        timer = threading.Timer(EXIT_WAIT_S, _leave, (out, code))
        timer.daemon = True
        timer.start()

    server = _server(box, options, stop)
    loop = server.loop

    def speak() -> None:
        asyncio.set_event_loop(loop)
        try:
            server.start_io(into, out)
        finally:
            stop(1)  # standard input closed without an exit

    thread = threading.Thread(target=speak, name="lsp-protocol", daemon=True)
    thread.start()
    try:
        worker.serve()
    except KeyboardInterrupt:
        status.append(130)
    except Exception:
        log.exception("the language server stopped")
        status.append(1)
    # The protocol thread's reader may still wait on an open standard
    # input: it ends with the process.
    _leave(out, status[0] if status else 1)
    return 1  # not reached


def _leave(out: BinaryIO, code: int) -> None:
    for stream in (out, sys.stderr):
        try:
            stream.flush()
        except (OSError, ValueError):
            pass
    os._exit(code)
