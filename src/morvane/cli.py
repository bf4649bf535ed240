"""The ``morvane`` command line.

``morvane init [DIR]``
    Write a minimal project (``pyproject.toml``, a package with one cell).
``morvane register [PATHS...]``
    One registration pass: every project file, or ``PATHS`` and the project
    files that import them. ``--check`` also builds every cell.
``morvane check``
    A full pass, then every cell built with its defaults.
``morvane show NAME``
    One cell or model: where it is defined, its status, its model, what it
    uses and what uses it, and for an error cell the import error.
``morvane list``
    What the project database holds. Never writes a file.
``morvane watch``
    A full pass, then a pass over every file that changes, with the files
    that import it, until Ctrl-C; ``--json`` prints one object per pass.
``morvane show NAME --svg FILE`` / ``--gds FILE``
    Build the cell NAME with its defaults and write its drawing to FILE, or
    the cell and every cell it places as a GDSII library.
``morvane export [NAMES...] --gds DIR``
    A full pass, then every cell (or the cells NAMES) built with its defaults
    and written to DIR/NAME.gds; the cells that fail are reported as by ``check``.
``morvane serve [--port N]``
    A live page of the project on http://127.0.0.1:N/ that follows every save.

Exit status: 0 clean; 1 error cells or failing builds (with ``--check`` or
``check``); 2 bad usage; 3 a project, configuration or database error, or a
PDK that cannot be activated. ``--json`` output follows the schema described
in the README (``schema_version`` in every object).
"""

from __future__ import annotations

import argparse
import difflib
import json
import keyword
import logging
import math
import os
import re
import signal
import sqlite3
import sys
import traceback
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from pathlib import Path
from typing import Any, NoReturn, TextIO

from rich.console import Console
from rich.padding import Padding
from rich.table import Table
from rich.text import Text

from morvane import building
from morvane.report import (REPORT_SCHEMA_VERSION, absolute_source, factory_json, model_json, one_line,
                            pass_report_json, project_json, relative, safe_text, settings_json,
                            watch_pass_json)

# The JSON objects and safe_text are the report module's, named here too.
__all__ = ["main", "pass_report_json", "watch_pass_json", "safe_text", "REPORT_SCHEMA_VERSION"]

PROG = "morvane"

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_USAGE = 2
EXIT_PROJECT = 3

SUMMARY_NAMES = 5  # names shown per group without --all
SUMMARY_ROWS = 10  # table rows shown without --all
PROGRESS_MIN_FILES = 20  # a pass over fewer files shows no progress bar

ENVIRONMENT = {
    "MORVANE_PROJECT_DIR": "the project directory (instead of searching from the working directory)",
    "MORVANE_DATABASE": "the project database file (overrides [tool.morvane] database)",
    "MORVANE_LOG_LEVEL": "level of the log lines on stderr when neither -v nor -q is given",
    "NO_COLOR": "when set and not empty, no colour (as --color=no)",
    "COLUMNS": "the width of the output (default: the terminal's)",
}


class CliError(Exception):
    """A failure reported on one line, with an exit status."""

    def __init__(self, message: str, status: int = EXIT_PROJECT) -> None:
        super().__init__(message)
        self.status = status


# --------------------------------------------------------------------------
# Text
# --------------------------------------------------------------------------


def _plural(n: int, word: str) -> str:
    return f"{n:,} {word}{'' if n == 1 else 's'}"


def _names_summary(names: Sequence[str], show_all: bool) -> str:
    if show_all or len(names) <= SUMMARY_NAMES:
        return ", ".join(names)
    return ", ".join(names[:SUMMARY_NAMES]) + f", … and {len(names) - SUMMARY_NAMES:,} more"


ERROR_WORD_CHARS = 200  # a run without spaces longer than this, in a one-line message, is cut
ERROR_LINE_CHARS = 600  # and so is the whole line


def _cut(text: str, limit: int) -> str:
    # The middle goes: the start says what the value is, the end what it ends with.
    if len(text) <= limit:
        return text
    head = (limit - 1) * 2 // 3
    return f"{text[:head]}…{text[len(text) - (limit - 1 - head):]}"


def _readable(message: Any) -> str:
    """``message`` on one line (:func:`one_line`), kept readable whatever it
    quotes: each run of more than ERROR_WORD_CHARS characters without a
    space (a long value given by the user, say) and then the whole line are
    cut in their middle."""
    line = re.sub(rf"\S{{{ERROR_WORD_CHARS + 1},}}", lambda m: _cut(m.group(), ERROR_WORD_CHARS),
                  one_line(message))
    return _cut(line, ERROR_LINE_CHARS)


# --------------------------------------------------------------------------
# Output
# --------------------------------------------------------------------------


def _console(stream: TextIO, color: str) -> Console:
    is_tty = stream.isatty() if hasattr(stream, "isatty") else False
    columns = os.environ.get("COLUMNS", "")
    width = int(columns) if columns.isdigit() and int(columns) > 0 else None
    if width is None and not is_tty:
        width = 200  # no terminal: keep lines whole for grep and files
    no_color = color == "no" or (color == "auto" and bool(os.environ.get("NO_COLOR")))
    return Console(file=stream, width=width, force_terminal=True if color == "yes" else None,
                   no_color=no_color, highlight=False, markup=False, emoji=False,
                   color_system="auto" if not no_color else None)


class _Out:
    """Where a command writes: the report to stdout, progress to stderr."""

    def __init__(self, stream: TextIO, err: TextIO, quiet: bool, *, color: str = "auto",
                 show_all: bool = False) -> None:
        self.stream, self.err, self.quiet, self.show_all = stream, err, quiet, show_all
        self.console = _console(stream, color)
        self.err_console = _console(err, color)

    def print(self, text: str | Text = "", style: str | None = None) -> None:
        if isinstance(text, str):
            text = Text(safe_text(text), style=style or "")
        # On a terminal lines wrap at its width; elsewhere they stay whole.
        self.console.print(text, soft_wrap=not self.console.is_terminal)
        self.stream.flush()

    def progress(self, text: str) -> None:
        if not self.quiet:
            self.err_console.print(Text(safe_text(text), style="dim"),
                                   soft_wrap=not self.err_console.is_terminal)
            self.err.flush()

    def table(self, headers: Sequence[str], rows: Sequence[Sequence[Any]], *,
              styles: Sequence[str | None] = ()) -> None:
        """A table that fits the width; cells are shortened, never wrapped."""
        body = [[one_line(c) for c in row] for row in rows]
        table = Table(box=None, pad_edge=False, show_edge=False, header_style="bold", padding=(0, 1))
        for i, header in enumerate(headers):
            # The last column (a message, mostly) gives way first when the
            # width is short; the others keep up to 40 characters.
            longest = max([len(header), *(len(row[i]) for row in body)])
            table.add_column(header, no_wrap=True, overflow="ellipsis",
                             min_width=min(len(header), 8) if i == len(headers) - 1 else min(longest, 40))
        for row in body:
            cells = [Text(c) for c in row]
            for cell, style in zip(cells, styles):
                if style:
                    cell.stylize(style)
            table.add_row(*cells)
        self.console.print(Padding(table, (0, 0, 0, 2), expand=False))
        self.stream.flush()

    def more(self, shown: int, total: int) -> None:
        if total > shown:
            self.print(f"  … and {total - shown:,} more (--all lists them)", style="dim")


def _status_style(status: str) -> str | None:
    return "bold red" if status == "ERROR" else "green"


# --------------------------------------------------------------------------
# Logging: the command line's own handler on the package logger
# --------------------------------------------------------------------------


class _SafeFormatter(logging.Formatter):
    def format(self, record: logging.LogRecord) -> str:
        return safe_text(super().format(record))


class _HeldWarnings(logging.Filter):
    """While held, warnings are kept back, so that the report can drop those
    it shows itself (one per error cell) and let the others through."""

    def __init__(self) -> None:
        super().__init__()
        self.held: list[logging.LogRecord] | None = None

    def filter(self, record: logging.LogRecord) -> bool:
        if self.held is not None and record.levelno == logging.WARNING:
            self.held.append(record)
            return False
        return True


class _CliHandler(logging.StreamHandler[TextIO]):
    """Writes to whatever ``sys.stderr`` is when a record is emitted."""

    def __init__(self) -> None:
        logging.Handler.__init__(self)
        self.holder = _HeldWarnings()
        self.addFilter(self.holder)

    @property
    def stream(self) -> TextIO:
        return sys.stderr

    @stream.setter
    def stream(self, value: TextIO) -> None:  # StreamHandler.setStream assigns it
        pass


_handler: _CliHandler | None = None


def _install_log_handler(verbosity: int, timestamps: bool) -> _CliHandler:
    from morvane.logger import get_logger, level_from_env

    logger = get_logger()
    handler = _CliHandler()
    fmt = "%(asctime)s %(levelname)s: %(message)s" if timestamps else f"{PROG}: %(levelname)s: %(message)s"
    handler.setFormatter(_SafeFormatter(fmt, "%H:%M:%S"))
    env_level, complaint = level_from_env()
    if verbosity == 0 and env_level is not None:
        level = env_level
    else:
        level = {-1: logging.ERROR, 0: logging.WARNING, 1: logging.INFO}.get(
            max(min(verbosity, 2), -1), logging.DEBUG)
    logger.setLevel(level)
    logger.addHandler(handler)
    logger.propagate = False  # the command line is the application: one copy of each line
    if complaint:
        logger.warning(complaint)
    return handler


@contextmanager
def _hold_warnings(drop: Callable[[str], bool]) -> Iterator[None]:
    """Keep the pass's warnings back; afterwards let through those ``drop``
    does not claim, each message once (the call graph repeats its warnings
    each time a pass asks for the graph). Only in the quiet default: with -v
    every line is live."""
    handler = _handler
    if handler is None or handler.level > logging.WARNING or handler.holder.held is not None \
            or logging.getLogger("morvane").level < logging.WARNING:
        yield
        return
    handler.holder.held = []
    try:
        yield
    finally:
        held, handler.holder.held = handler.holder.held, None
        seen: set[str] = set()
        for record in held or ():
            message = record.getMessage()
            if message not in seen and not drop(message):
                handler.handle(record)
            seen.add(message)


# --------------------------------------------------------------------------
# Project selection
# --------------------------------------------------------------------------


def _init_hint(directory: Path | str) -> str:
    return f"run `{PROG} init {directory}` to make it one"


def _select_project(project_dir: str | None, *, read_only: bool = False) -> Any:
    from morvane import settings

    if project_dir is not None:
        path = Path(project_dir).expanduser()
        if not path.exists():
            raise CliError(f"project directory {project_dir} does not exist")
        if not path.is_dir():
            raise CliError(f"project directory {project_dir} is not a directory")
        os.environ[settings.PROJECT_DIR_ENV] = str(path.resolve())
    settings.reset_settings()
    current = settings.get_settings()
    pyproject = current.project_dir / settings.PYPROJECT
    if not settings.has_tool_table(pyproject):
        raise CliError(f"{current.project_dir} is not a morvane project: no [tool.morvane] table in "
                       f"{pyproject} ({_init_hint(current.project_dir)})")
    from morvane.core import database

    database.close()
    if str(current.project_dir) not in sys.path:
        # The project's modules import each other by their dotted names.
        sys.path.insert(0, str(current.project_dir))
    from morvane.core.engine import session

    session.use_project_store(read_only=read_only)
    return current


def _resolve_paths(raw: Sequence[str], project_dir: Path) -> list[Path]:
    """The files of a pass: each path inside the project, an existing Python
    file, a directory (its Python files) or a deleted file that still has
    cells in the database; anything else is refused before the pass runs."""
    from morvane.core import _pysource
    from morvane.core import database as db

    out: list[Path] = []
    for item in raw:
        path = Path(item).expanduser()
        candidates = [path] if path.is_absolute() else [Path.cwd() / path, project_dir / path]
        existing = [c for c in candidates if c.exists()]
        inside = [c.resolve() for c in candidates if c.resolve().is_relative_to(project_dir)]
        target = existing[0].resolve() if existing else (inside or [candidates[0].resolve()])[0]
        if not target.is_relative_to(project_dir):
            raise CliError(f"{item} is outside the project {project_dir}", EXIT_USAGE)
        if target.is_dir():
            out.extend(_pysource.iter_python_files(target))
        elif target.exists():
            if target.suffix != ".py":
                raise CliError(f"{item} is not a Python file", EXIT_USAGE)
            out.append(target)
        else:
            with db.reading():
                stored = db.get_factories_by_source(target)
            if not stored:
                raise CliError(f"no such file: {item} (and no cells of it in the project database)",
                               EXIT_USAGE)
            out.append(target)  # deleted: the pass removes its cells
    return list(dict.fromkeys(out))


# --------------------------------------------------------------------------
# Records
# --------------------------------------------------------------------------


def _status_text(status: str) -> str:
    return "ERROR" if status == "ERROR" else "ok"


def _json_dump(obj: dict[str, Any]) -> str:
    return json.dumps(obj, indent=2, ensure_ascii=True)


# --------------------------------------------------------------------------
# Registration
# --------------------------------------------------------------------------


def _core_pdk() -> Any:
    try:
        from morvane.core import pdk
    except ImportError as exc:
        raise CliError(f"the morvane.core.pdk extension module cannot be imported: {exc}") from None
    return pdk


def _pdk_problem(name: str, exc: BaseException) -> str:
    """A one-line explanation of why the PDK ``name`` cannot be activated."""
    import polyforge as pf

    if name.lower() not in ("generic", "gpdk"):
        if isinstance(exc, ModuleNotFoundError) and exc.name == name.split(".")[0]:
            return (f"the PDK package {name!r} cannot be imported: {exc} (install it, or put it in "
                    "the project directory)")
        module = sys.modules.get(name)
        if module is not None:
            pdk = getattr(module, "PDK", None)
            if pdk is None:
                return (f"the PDK package {name!r} has no attribute PDK: its __init__.py must set "
                        f"PDK = polyforge.Pdk(...)")
            if not isinstance(pdk, pf.Pdk):
                return f"{name}.PDK must be a polyforge.Pdk, got {type(pdk).__name__}"
    return f"cannot activate the PDK {name!r}: {type(exc).__name__}: {one_line(exc, 300)}"


def _activate(core: Any, current: Any) -> Any:
    import polyforge as pf

    try:
        pdk = core.get_pdk()
    except SystemExit as exc:
        raise CliError(f"the PDK package {current.pdk_name!r} called sys.exit({exc.code!r}) while "
                       "being imported") from None
    except Exception as exc:
        raise CliError(_pdk_problem(current.pdk_name, exc)) from None
    if not isinstance(pdk, pf.Pdk):
        raise CliError(f"{current.pdk_name}.PDK must be a polyforge.Pdk, got {type(pdk).__name__}")
    return pdk


@contextmanager
def _import_progress(out: _Out | None, total: int) -> Iterator[None]:
    """A progress bar over the files a pass imports, on a terminal only."""
    from morvane.core import imports

    if out is None or out.quiet or total < PROGRESS_MIN_FILES or not out.err_console.is_terminal:
        yield
        return
    from rich.progress import BarColumn, MofNCompleteColumn, Progress, TextColumn, TimeElapsedColumn

    columns = (TextColumn("importing"), BarColumn(), MofNCompleteColumn(), TimeElapsedColumn())
    with Progress(*columns, console=out.err_console, transient=True) as bar:
        task = bar.add_task("importing", total=total)
        previous = imports.progress_hook
        imports.progress_hook = lambda path: bar.advance(task)
        try:
            yield
        finally:
            imports.progress_hook = previous


def _run_pass(core: Any, paths: list[Path], reload: bool, *, out: _Out | None = None,
              total_files: int = 0) -> dict[str, Any]:
    """The driver's pass (:func:`morvane.passes.run_pass`), with a progress
    bar over the files it imports and without the pass's warnings about its
    error cells, which the report lists with their errors."""
    from morvane import passes

    shown: list[str] = []

    def shown_in_report(message: str) -> bool:
        # The report lists every error cell with its error: the pass's
        # warning about each one would say it twice.
        return any(message.endswith(m) for m in shown)

    with _hold_warnings(shown_in_report):
        result = passes.run_pass(core, paths, reload=reload,
                                 during=_import_progress(out, total_files or len(paths)))
        shown.extend(r.message for r in result["after_factories"].values() if r.status == "ERROR" and r.message)
    return result


def _print_errors(out: _Out, factories: dict[str, Any], import_errors: dict[str, dict[str, Any]]) -> None:
    errors = [r for _, r in sorted(factories.items()) if r.status == "ERROR"]
    if not errors:
        out.print("Error cells: none", style="green")
        return
    out.print(f"Error cells ({len(errors):,}):", style="bold red")
    shown = errors if out.show_all else errors[:SUMMARY_ROWS]
    rows = []
    for r in shown:
        info = import_errors.get(r.source)
        where = r.source if not info or not info.get("line") else f"{r.source}:{info['line']}"
        what = f"{info['type']}: {info['message']}" if info else r.message
        rows.append((r.name, where, what))
    out.table(["NAME", "SOURCE", "ERROR"], rows, styles=("red",))
    out.more(len(shown), len(errors))


def _shown_source(r: Any) -> str:
    """A source as the tables show it: relative inside the project, else absolute."""
    from morvane import settings

    absolute = absolute_source(r)
    if absolute is None:
        return "-"
    return relative(Path(absolute), settings.get_project_dir())


def _print_models(out: _Out, models: dict[str, Any]) -> None:
    if not models:
        out.print("Models: none")
        return
    own = [r for r in models.values() if r.pdk_type == "pdk"]
    out.print(f"Models ({len(models):,}: {len(own):,} of the project, "
              f"{len(models) - len(own):,} of the base PDK):")
    ordered = sorted(models.values(), key=lambda r: (r.status != "ERROR", r.pdk_type != "pdk", r.factory))
    if not out.show_all:
        ordered = [r for r in ordered if r.pdk_type == "pdk" or r.status == "ERROR"]
    shown = ordered if out.show_all else ordered[:SUMMARY_ROWS]
    if shown:
        headers = ["NAME", "FROM", "STATUS", "SOURCE"]
        rows: list[list[str]] = [[r.factory, r.pdk_type, _status_text(r.status), _shown_source(r)]
                                 for r in shown]
        if any(r.message for r in shown):
            headers.append("MESSAGE")
            for row, r in zip(rows, shown):
                row.append(r.message or "")
        out.table(headers, rows)
    hidden = len(models) - len(shown)
    if hidden:
        out.print(f"  … and {hidden:,} more (--all lists them)", style="dim")


def _print_changes(out: _Out, result: dict[str, Any]) -> None:
    f, m = result["factories"], result["models"]
    groups = [(f"{k} {what}", group[k]) for what, group in (("factories", f), ("models", m))
              for k in ("new", "updated", "removed") if group[k]]
    if not groups:
        out.print("  nothing new: no factory or model was added, changed or removed")
        return
    pad = max(len(f"{label} ({len(names):,}):") for label, names in groups) + 2
    for label, names in groups:
        head = f"{label} ({len(names):,}):".ljust(pad)
        out.print(f"  {head}{_names_summary(names, out.show_all)}")


def _cmd_register(args: argparse.Namespace, out: _Out) -> int:
    from morvane.core import _pysource, callgraph

    current = _select_project(args.project_dir)
    paths = _resolve_paths(args.paths, current.project_dir)
    importers = callgraph.importers_of(paths) if paths else []
    core = _core_pdk()
    project_dir = current.project_dir
    if paths:
        scope = ", ".join(relative(p, project_dir) for p in paths)
        total_files = len(paths) + len(importers)
    else:
        total_files = len(_pysource.iter_python_files(project_dir))
        scope = f"all {_plural(total_files, 'file')}"
    out.progress(_readable(f"Registering {scope} of project {current.project_name!r} "
                           f"({project_dir}, PDK {current.pdk_name!r}) ..."))
    if importers:
        out.progress(f"  and the files importing them: {', '.join(relative(p, project_dir) for p in importers)}")
    pdk = _activate(core, current)
    result = _run_pass(core, [*paths, *importers], not args.no_reload, out=out, total_files=total_files)
    check = _check_cells(pdk, result["after_factories"], args.timeout, out) if args.check else None
    failed = bool(check and (check["failed"] or check["errors"]))
    status = EXIT_FAILED if failed else EXIT_OK

    if args.json:
        out.print(_json_dump(pass_report_json(result, current, paths=paths, importers=importers,
                                              check=check)))
        return status

    total = len(result["after_factories"])
    errors = sum(1 for r in result["after_factories"].values() if r.status == "ERROR")
    if not out.quiet:
        out.print(f"Project {current.project_name} ({project_dir}), PDK {current.pdk_name}")
    out.print(f"Registration pass over {scope}: {result['duration_s']:.2f} s, "
              f"{total:,} {'factory' if total == 1 else 'factories'} in the database, "
              f"{_plural(errors, 'error cell')}")
    if not out.quiet:
        if importers:
            out.print(f"  also passed over, as they import those files: "
                      f"{_names_summary([relative(p, project_dir) for p in importers], out.show_all)}")
        _print_changes(out, result)
        out.print()
    _print_errors(out, result["after_factories"], result["import_errors"])
    if not out.quiet:
        out.print()
        _print_models(out, result["after_models"])
    if check is not None:
        out.print()
        _print_check(out, check)
    return status


# --------------------------------------------------------------------------
# Building the cells
# --------------------------------------------------------------------------


def _check_cells(pdk: Any, factories: dict[str, Any], timeout: float, out: _Out) -> dict[str, Any]:
    """Build every project cell with its defaults, in this process."""
    ok: list[str] = []
    failed: list[dict[str, Any]] = []
    skipped: list[str] = []
    errors = sorted(n for n, r in factories.items() if r.status == "ERROR")
    todo = [(n, r) for n, r in sorted(factories.items()) if r.status != "ERROR"]
    out.progress(f"Building {_plural(len(todo), 'cell')} with their defaults ...")
    for name, record in todo:
        factory = pdk.cells.get(name)
        if factory is None:
            continue  # settled as a container, or not a cell of this PDK
        if building.needs_arguments(factory):
            skipped.append(name)
            continue
        problem = building.build(factory, timeout)[1]
        if problem is None:
            ok.append(name)
        else:
            failed.append({"name": name, "source": absolute_source(record), "relative": record.source,
                           "error": problem})
    return {"built": len(ok) + len(failed), "ok": len(ok), "failed": failed, "errors": errors,
            "skipped": skipped}


def _print_check(out: _Out, check: dict[str, Any]) -> None:
    line = (f"Built {_plural(check['built'], 'cell')}: {check['ok']:,} ok, {len(check['failed']):,} failed"
            + (f", {len(check['skipped']):,} skipped (they need arguments)" if check["skipped"] else "")
            + (f"; {_plural(len(check['errors']), 'error cell')}" if check["errors"] else ""))
    out.print(line, style="bold red" if check["failed"] or check["errors"] else "green")
    if check["failed"]:
        shown = check["failed"] if out.show_all else check["failed"][:SUMMARY_ROWS]
        out.table(["NAME", "SOURCE", "ERROR"], [(f["name"], f["relative"], f["error"]) for f in shown],
                  styles=("red",))
        out.more(len(shown), len(check["failed"]))


def _full_pass(args: argparse.Namespace, out: _Out) -> tuple[Any, Any, dict[str, Any]]:
    """The project, the active PDK and the result of a pass over every file
    (``check`` and ``export``)."""
    from morvane.core import _pysource

    current = _select_project(args.project_dir)
    core = _core_pdk()
    pdk = _activate(core, current)
    total_files = len(_pysource.iter_python_files(current.project_dir))
    out.progress(f"Registering all files of project {current.project_name!r} ...")
    return current, pdk, _run_pass(core, [], True, out=out, total_files=total_files)


def _cmd_check(args: argparse.Namespace, out: _Out) -> int:
    current, pdk, result = _full_pass(args, out)
    check = _check_cells(pdk, result["after_factories"], args.timeout, out)
    status = EXIT_FAILED if check["failed"] or check["errors"] else EXIT_OK
    if args.json:
        out.print(_json_dump(pass_report_json(result, current, command="check", check=check)))
        return status
    _print_errors(out, result["after_factories"], result["import_errors"])
    _print_check(out, check)
    return status


# --------------------------------------------------------------------------
# Reading the database: list and show
# --------------------------------------------------------------------------


def _stored(current: Any) -> tuple[dict[str, Any], dict[str, Any], dict[str, dict[str, Any]]]:
    """What the database holds, read without creating it."""
    from morvane.core import database as db

    if not current.database_path.exists():
        return {}, {}, {}
    with db.reading():
        return db.get_all_factories(), db.get_all_model_records(), db.get_import_errors()


def _stored_names(current: Any, name: str) -> tuple[dict[str, Any], dict[str, Any], dict[str, dict[str, Any]]]:
    """What the database holds for the one name, read without creating it."""
    from morvane.core import database as db

    if not current.database_path.exists():
        return {}, {}, {}
    with db.reading():
        factories = db.get_factories_by_name(name)
        models = db.get_all_model_records()
        sources = [r.source for r in factories.values()]
        return factories, models, db.get_import_errors(*sources) if sources else {}


def _cmd_cache(args: argparse.Namespace, out: _Out) -> int:
    from morvane.core import store
    from morvane.core.engine import session

    current = _select_project(args.project_dir)
    folder = current.project_dir / ".morvane"
    session.use_store(None)
    try:
        found = store.remove(folder)
    except OSError as exc:
        raise CliError(f"cannot delete the cache in {folder}: {exc.strerror or exc}", EXIT_PROJECT) from None
    if found:
        out.print(f"Removed the cache {folder / store.FILENAME}")
    else:
        out.print(f"No cache in {folder}")
    return EXIT_OK


def _cmd_list(args: argparse.Namespace, out: _Out) -> int:
    from morvane.core import database as db

    current = _select_project(args.project_dir, read_only=True)
    factories, models, import_errors = _stored(current)
    if args.json:
        out.print(_json_dump({
            "schema_version": REPORT_SCHEMA_VERSION,
            "command": "list",
            "project": project_json(current),
            "factories": [factory_json(r, import_errors) for _, r in sorted(factories.items())],
            "models": [model_json(r) for _, r in sorted(models.items())],
        }))
        return EXIT_OK
    out.print(f"Project {current.project_name} ({current.project_dir})")
    out.print(f"Database {current.database_path}")
    out.print()
    if factories:
        ordered = sorted(factories.values(), key=lambda r: (r.status != "ERROR", r.name))
        shown = ordered if out.show_all else ordered[:SUMMARY_ROWS]
        errors = sum(1 for r in ordered if r.status == "ERROR")
        out.print(f"Factories ({len(factories):,}, {_plural(errors, 'error cell')}):")
        out.table(["NAME", "STATUS", "MODEL", "SOURCE", "MESSAGE"], [
            (r.name, _status_text(r.status), "yes" if r.has_model else "-", r.source, r.message or "")
            for r in shown], styles=(None, *(None,)))
        out.more(len(shown), len(ordered))
    else:
        out.print(f"Factories: none (run `{PROG} register` first)")
    out.print()
    _print_models(out, models)
    return EXIT_OK


def _uses(current: Any, name: str) -> tuple[list[str], list[str]]:
    """The cells ``name`` uses and those that use it, from the call graph of
    the last pass as the store keeps it; worked out from the files when
    there is none."""
    from morvane.core import database as db
    from morvane.core.engine import session

    graph = session.stored_graph(current.project_dir)
    if graph is None:
        from morvane.core import callgraph

        with db.reading():
            G = callgraph.create_callgraph()
        return (sorted(G.successors(name)), sorted(G.predecessors(name))) if name in G else ([], [])
    if name not in graph:
        return [], []
    return sorted(graph[name]), sorted(u for u, callees in graph.items() if name in callees)


def _cmd_show(args: argparse.Namespace, out: _Out) -> int:
    if args.svg or args.gds:
        return _cmd_show_svg(args, out)
    current = _select_project(args.project_dir, read_only=True)
    name = args.name
    factories, models, import_errors = _stored_names(current, name)
    factory, model = factories.get(name), models.get(name)
    error = import_errors.get(factory.source) if factory is not None else None
    if factory is None and model is None:
        factories, models, import_errors = _stored(current)
        known = list(dict.fromkeys([*factories, *models]))
        close = difflib.get_close_matches(name, known, n=3)
        hint = f" (did you mean {', '.join(close)}?)" if close else f" (run `{PROG} list` for the names)"
        raise CliError(f"no cell or model named {name!r} in the project database{hint}", EXIT_USAGE)
    uses, used_by = _uses(current, name)

    if args.json:
        out.print(_json_dump({
            "schema_version": REPORT_SCHEMA_VERSION,
            "command": "show",
            "project": project_json(current),
            "name": name,
            "factory": factory_json(factory, {factory.source: error} if error else {}) if factory else None,
            "model": model_json(model) if model else None,
            "uses": uses,
            "used_by": used_by,
        }))
        return EXIT_OK

    def field(label: str, value: str, style: str | None = None) -> None:
        line = Text(f"  {label:<12}")
        line.append(safe_text(value), style=style or "")
        out.print(line)

    if factory is not None:
        out.print(Text(f"{name}  cell  ").append(_status_text(factory.status),
                                                  style=_status_style(factory.status) or ""))
        field("defined in", absolute_source(factory) or factory.source)
        field("has model", "yes" if factory.has_model else "no")
        field("uses", ", ".join(uses) or "-")
        field("used by", ", ".join(used_by) or "-")
        if factory.status == "ERROR":
            if error:
                field("error", f"{error['type']}: {one_line(error['message'])}", "bold red")
                field("at", f"{error['file']}:{error['line']}" if error.get("line") else error["file"])
                out.print()
                for line in error["traceback"].rstrip("\n").splitlines():
                    out.print(f"    {line}")
            else:
                field("error", one_line(factory.message), "bold red")
    if model is not None:
        if factory is not None:
            out.print()
        out.print(Text(f"{name}  model  ").append(_status_text(model.status),
                                                   style=_status_style(model.status) or ""))
        field("defined in", absolute_source(model) or "-")
        field("from", "the project" if model.pdk_type == "pdk" else "the base PDK")
        field("settings", json.dumps(settings_json(model.settings)))
        if model.message:
            field("message", one_line(model.message), "bold red" if model.status == "ERROR" else None)
    elif factory is not None:
        field("model", "none")
    return EXIT_OK


# --------------------------------------------------------------------------
# A new project
# --------------------------------------------------------------------------

_INIT_PYPROJECT = """\
[project]
name = "{dist}"
version = "0.1.0"
requires-python = ">=3.14"

[tool.morvane]
pdk = "generic"
"""

_INIT_CELLS = '''\
"""The project's cells."""

import polyforge as pf


@pf.cell
def straight(length: float = 10.0, width: float = 0.5) -> pf.Component:
    """A straight waveguide."""
    c = pf.Component()
    c.add_polygon([(0, -width / 2), (length, -width / 2), (length, width / 2), (0, width / 2)])
    c.add_port("o1", (0, 0), width, 180)
    c.add_port("o2", (length, 0), width, 0)
    return c
'''


def _cmd_init(args: argparse.Namespace, out: _Out) -> int:
    from morvane import settings

    directory = Path(args.dir).expanduser().resolve()
    if directory.exists() and not directory.is_dir():
        raise CliError(f"{args.dir} exists and is not a directory")
    pyproject = directory / settings.PYPROJECT
    if settings.has_tool_table(pyproject):
        raise CliError(f"{directory} is already a morvane project ({pyproject} has a [tool.morvane] table)")
    name = args.name or settings.normalise_module_name(directory.name)
    if not re.fullmatch(r"[^\W\d]\w*", name):
        why = "it is not a Python identifier"
    elif keyword.iskeyword(name):
        why = "it is a Python keyword, which no import statement can name"
    elif name in sys.stdlib_module_names or name in ("polyforge", "morvane"):
        why = "a module of that name is already in use (the standard library's, or one this tool needs)"
    else:
        why = ""
    if why:
        raise CliError(f"cannot use {name!r} as the project's module name: {why}; give another with --name",
                       EXIT_USAGE)
    files = {directory / name / "__init__.py": "", directory / name / "cells.py": _INIT_CELLS,
             directory / ".gitignore": ".morvane/\n__pycache__/\n"}
    taken = [p for p in files if p.exists()]
    if taken:
        raise CliError(f"{taken[0]} exists already; nothing was written")
    directory.mkdir(parents=True, exist_ok=True)
    if pyproject.exists():
        # Keep the user's file: add the table at its end.
        text = pyproject.read_text(encoding="utf-8")
        pyproject.write_text(text + ("" if text.endswith("\n") or not text else "\n")
                             + '\n[tool.morvane]\npdk = "generic"\n', encoding="utf-8")
        out.print(f"added a [tool.morvane] table to {pyproject}")
    else:
        pyproject.write_text(_INIT_PYPROJECT.format(dist=name.replace("_", "-")), encoding="utf-8")
        out.print(f"wrote {pyproject}")
    for path, text in files.items():
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text, encoding="utf-8")
        out.print(f"wrote {path}")
    where = "" if directory == Path.cwd() else f"cd {directory} && "
    out.print(f"next: {where}{PROG} register")
    return EXIT_OK


# --------------------------------------------------------------------------
# Watching
# --------------------------------------------------------------------------


def _cmd_watch(args: argparse.Namespace, out: _Out) -> int:
    if args.interval <= 0:
        raise CliError("--interval must be a positive number of seconds", status=EXIT_USAGE)
    current = _select_project(args.project_dir)
    core = _core_pdk()
    _activate(core, current)
    from morvane.watch import watch

    def stop(signum: int, frame: Any) -> None:
        raise KeyboardInterrupt

    # A service manager's SIGTERM stops the watcher as Ctrl-C does.
    previous = signal.signal(signal.SIGTERM, stop)
    passes = 0

    def report(done: dict[str, Any]) -> None:
        # JSON Lines: one object per pass, one line each, flushed at once.
        nonlocal passes
        passes += 1
        out.stream.write(json.dumps(watch_pass_json(done, current, passes), ensure_ascii=True) + "\n")
        out.stream.flush()

    def notice(text: str) -> None:
        print(safe_text(text), file=sys.stderr, flush=True)

    try:
        out.progress(f"Registering all files of project {current.project_name!r} ({current.project_dir}) ...")
        if args.json:
            return watch(core, current.project_dir, print=notice, interval=args.interval, poll=args.poll,
                         report=report)
        return watch(core, current.project_dir, print=out.print, interval=args.interval, poll=args.poll)
    finally:
        signal.signal(signal.SIGTERM, previous)


# --------------------------------------------------------------------------
# Drawing and serving
# --------------------------------------------------------------------------


def _cmd_show_svg(args: argparse.Namespace, out: _Out) -> int:
    from morvane import serve

    current = _select_project(args.project_dir)
    core = _core_pdk()
    _activate(core, current)
    out.progress(_readable(f"Building {args.name} of project {current.project_name!r} ..."))
    try:
        component = serve.build_cell(core, args.name)
    except serve.ServeError as exc:
        raise CliError(str(exc), status=EXIT_FAILED) from None
    if args.gds:
        from polyforge import gds

        try:
            path = component.write_gds(args.gds)
        except gds.GdsError as exc:
            raise CliError(f"cell {args.name} cannot be written as GDSII: {exc}", status=EXIT_FAILED) from None
        except OSError as exc:
            raise CliError(f"cannot write {args.gds}: {exc.strerror or exc}") from None
        out.print(f"Wrote {path} ({component.name} and the cells it places, as GDSII)")
    if not args.svg:
        return 0
    try:
        path = component.write_svg(args.svg)
    except OSError as exc:
        raise CliError(f"cannot write {args.svg}: {exc.strerror or exc}") from None
    out.print(f"Wrote {path} ({component.name}: {len(component.polygons)} polygons, "
              f"{len(component.references)} references)")
    return 0


def _cmd_export(args: argparse.Namespace, out: _Out) -> int:
    from polyforge import gds

    _, pdk, result = _full_pass(args, out)
    factories = result["after_factories"]
    if args.names:
        unknown = [n for n in args.names if n not in factories and pdk.cells.get(n) is None]
        if unknown:
            raise CliError(f"the project has no cell named {unknown[0]!r} (`{PROG} list` shows its cells)",
                           status=EXIT_USAGE)
        names = list(dict.fromkeys(args.names))
    else:
        names = sorted(factories)
    folder = Path(args.gds)
    try:
        folder.mkdir(parents=True, exist_ok=True)
    except OSError as exc:
        raise CliError(f"cannot make the folder {folder}: {exc.strerror or exc}") from None

    written: list[str] = []
    failed: list[dict[str, Any]] = []
    skipped: list[str] = []
    errors: dict[str, Any] = {}
    out.progress(f"Building and writing {_plural(len(names), 'cell')} with their defaults ...")
    for name in names:
        record = factories.get(name)
        if record is not None and record.status == "ERROR":
            errors[name] = record
            continue
        factory = pdk.cells.get(name)
        if factory is None:
            continue  # settled as a container, or not a cell of this PDK
        if building.needs_arguments(factory):
            skipped.append(name)
            continue
        component, problem = building.build(factory, args.timeout)
        if component is not None:
            try:
                component.write_gds(folder / f"{name}.gds")
            except gds.GdsError as exc:
                problem = f"cannot be written as GDSII: {exc}"
            except OSError as exc:
                raise CliError(f"cannot write {folder / f'{name}.gds'}: {exc.strerror or exc}") from None
        if problem is None:
            written.append(name)
        else:
            failed.append({"name": name, "relative": record.source if record is not None else "(PDK)",
                           "error": problem})

    if errors:
        _print_errors(out, errors, result["import_errors"])
    line = (f"Wrote {_plural(len(written), 'GDSII file')} to {folder}: {len(failed):,} failed"
            + (f", {len(skipped):,} skipped (they need arguments)" if skipped else "")
            + (f"; {_plural(len(errors), 'error cell')}" if errors else ""))
    out.print(line, style="bold red" if failed or errors else "green")
    if failed:
        shown = failed if out.show_all else failed[:SUMMARY_ROWS]
        out.table(["NAME", "SOURCE", "ERROR"], [(f["name"], f["relative"], f["error"]) for f in shown],
                  styles=("red",))
        out.more(len(shown), len(failed))
    return EXIT_FAILED if failed or errors else EXIT_OK


def _cmd_serve(args: argparse.Namespace, out: _Out) -> int:
    from morvane import serve

    if not 0 <= args.port <= 65535:
        raise CliError("--port must be between 0 and 65535 (0: any free port)", status=2)
    if args.interval <= 0 or args.build_timeout <= 0:
        raise CliError("--interval and --build-timeout must be positive numbers of seconds", status=2)
    current = _select_project(args.project_dir)
    core = _core_pdk()
    _activate(core, current)
    try:
        return serve.run(core, current.project_dir, port=args.port, interval=args.interval,
                         build_timeout=args.build_timeout, out=out.print)
    except serve.ServeError as exc:
        raise CliError(str(exc)) from None


def _cmd_lsp(args: argparse.Namespace, out: _Out) -> int:
    try:
        import lsprotocol  # noqa: F401
        import pygls  # noqa: F401
    except ImportError as exc:
        raise CliError(f"the language server needs pygls and lsprotocol: {exc}") from None
    from morvane import lsp

    project = None
    if args.project_dir is not None:
        project = Path(args.project_dir).expanduser().resolve()
        if not project.is_dir():
            raise CliError(f"project directory {args.project_dir} is not a directory", EXIT_USAGE)
    return lsp.run(lsp.Options(check=args.check, timeout=args.timeout, project_dir=project))


# --------------------------------------------------------------------------
# Entry point
# --------------------------------------------------------------------------

MAX_INTERVAL = 24 * 3600.0


def _interval(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if not math.isfinite(value) or not 0 < value <= MAX_INTERVAL:
        raise argparse.ArgumentTypeError(
            f"must be a number of seconds above 0 and at most {MAX_INTERVAL:g}, got {text!r}")
    return value


MAX_TIMEOUT = MAX_INTERVAL  # the timer that limits a build takes no more than this; 0 is no limit


def _timeout(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if not math.isfinite(value) or not 0 <= value <= MAX_TIMEOUT:
        raise argparse.ArgumentTypeError(
            f"must be 0 (no limit) or a number of seconds up to {MAX_TIMEOUT:g}, got {text!r}")
    return value


def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("morvane")
    except PackageNotFoundError:
        return "unknown"


class _Version(argparse.Action):
    """``--version``: the installed version, looked up only when asked for
    (reading the package's metadata costs every other command time)."""

    def __init__(self, option_strings: list[str], dest: str = argparse.SUPPRESS,
                 default: Any = argparse.SUPPRESS, help: str = "show program's version number and exit") -> None:
        super().__init__(option_strings, dest=dest, default=default, nargs=0, help=help)

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, values: Any,
                 option_string: str | None = None) -> NoReturn:
        print(f"{PROG} {_version()}")
        parser.exit()


def _epilog() -> str:
    lines = ["exit status:",
             "  0  clean",
             "  1  error cells or cells that fail to build (register --check, check, export)",
             "  2  bad usage: an unknown option, a bad value, a path outside the project",
             "  3  a project, configuration or database error, or a PDK that cannot be activated",
             "",
             "environment variables:"]
    pad = max(map(len, ENVIRONMENT)) + 2
    lines.extend(f"  {name.ljust(pad)}{text}" for name, text in ENVIRONMENT.items())
    return "\n".join(lines)


class _Parser(argparse.ArgumentParser):
    """Usage errors on one readable line, whatever value they quote."""

    def error(self, message: str) -> NoReturn:
        super().error(_readable(message))


def _add_output_options(parser: argparse.ArgumentParser, dest_suffix: str) -> None:
    # Accepted before and after the command: the two counts are added up.
    default: Any = 0 if dest_suffix == "top" else argparse.SUPPRESS
    parser.add_argument("-v", "--verbose", action="count", default=default, dest=f"verbose_{dest_suffix}",
                        help="more log lines on stderr: -v info, -vv debug and tracebacks")
    parser.add_argument("-q", "--quiet", action="count", default=default, dest=f"quiet_{dest_suffix}",
                        help="less output: no progress, no header, only errors and the summary")
    parser.add_argument("--color", choices=("auto", "yes", "no"), default=argparse.SUPPRESS,
                        help="colour in the output (default: auto, on a terminal unless NO_COLOR is set)")


def _parser() -> tuple[argparse.ArgumentParser, dict[str, argparse.ArgumentParser]]:
    common = _Parser(add_help=False)
    common.add_argument("--project-dir", metavar="DIR",
                        help="the project directory (default: $MORVANE_PROJECT_DIR, else the nearest "
                             "directory upwards whose pyproject.toml has a [tool.morvane] table)")
    common.add_argument("--no-cache", action="store_true",
                        help="neither read nor write the project's cache (.morvane/cache.sqlite)")
    _add_output_options(common, "sub")
    listing = _Parser(add_help=False)
    listing.add_argument("--all", action="store_true", help="list every name (default: counts and the first names)")
    json_opt = _Parser(add_help=False)
    json_opt.add_argument("--json", action="store_true", help="print the result as one JSON object")
    timeout = _Parser(add_help=False)
    timeout.add_argument("--timeout", type=_timeout, default=10.0, metavar="S",
                         help="time limit for building one cell, in seconds; 0 for none (default: 10)")

    formatter = argparse.RawDescriptionHelpFormatter
    parser = _Parser(prog=PROG, formatter_class=formatter, epilog=_epilog(),
                     description="Register, check and inspect the cells and models of a "
                                 "morvane layout project.")
    parser.add_argument("--version", action=_Version)
    _add_output_options(parser, "top")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name: str, parents: list[_Parser], help: str, description: str) -> argparse.ArgumentParser:
        return sub.add_parser(name, parents=parents, help=help, description=description, epilog=_epilog(),
                              formatter_class=formatter)

    init = command("init", _only_output(), "write a minimal project",
                   "Write a minimal morvane project into DIR: pyproject.toml with a [tool.morvane] "
                   "table, and a package with one cell. Existing files are never overwritten.")
    init.add_argument("dir", nargs="?", default=".", metavar="DIR", help="the project directory (default: .)")
    init.add_argument("--name", help="the project's module name (default: from the directory name)")

    reg = command("register", [common, listing, json_opt, timeout], "run one registration pass",
                  "Register the project's cells and models: every file, or PATHS and the project "
                  "files that import them.")
    reg.add_argument("paths", nargs="*", metavar="PATHS",
                     help="only these project files or directories (a deleted file's cells are removed)")
    reg.add_argument("--no-reload", action="store_true",
                     help="do not reload modules already imported, and leave the models alone")
    reg.add_argument("--check", action="store_true",
                     help="also build every cell; exit status 1 on error cells or failing builds")

    chk = command("check", [common, listing, json_opt, timeout], "register, then build every cell",
                  "Register the whole project, then build every cell with its defaults and report the "
                  "cells that raise or return something that is not a component. Exit status 1 when "
                  "any does, or when a file fails to import.")
    del chk

    show = command("show", [common, json_opt], "show one cell or model",
                   "Where a cell or model is defined, its status, its model, what it uses and what "
                   "uses it, and for an error cell the import error with its traceback. Reads the "
                   "database of the last pass; writes nothing.")
    show.add_argument("name", metavar="NAME", help="a cell or model name")
    show.add_argument("--svg", metavar="FILE",
                      help="build the cell with its defaults and write its drawing to FILE as SVG "
                           "(this runs a pass over the cell's file)")
    show.add_argument("--gds", metavar="FILE",
                      help="build the cell with its defaults and write it, with every cell it places, "
                           "to FILE as GDSII (this runs a pass over the cell's file)")

    export = command("export", [common, listing, timeout], "write cells as GDSII files",
                     "Register the whole project, then build every cell (or the cells NAMES) with "
                     "its defaults and write each to DIR/NAME.gds. Exit status 1 when a cell fails "
                     "to build or to be written, or when a file fails to import.")
    export.add_argument("names", nargs="*", metavar="NAMES", help="only these cells")
    export.add_argument("--gds", metavar="DIR", required=True, help="the folder the files go to")

    command("list", [common, listing, json_opt], "show what the project database holds",
            "List the factories and models of the project database. Writes nothing.")

    cache = command("cache", [common], "manage the project's cache",
                    "The cache (.morvane/cache.sqlite) keeps what a pass worked out from each file "
                    "(its digest, its factories, imports and functions), so that a new process "
                    "starts warm. It is rebuilt whenever it is missing, stale or damaged.")
    cache.add_argument("action", choices=["clear"], metavar="ACTION", help="clear: delete the cache")

    watch = command("watch", [common], "re-register files as they change",
                    "Register the project, then every file that changes, until Ctrl-C.")
    watch.add_argument("--interval", type=_interval, default=1.0, metavar="S",
                       help="seconds between two looks at the files with --poll (default: 1)")
    watch.add_argument("--poll", action="store_true",
                       help="look at the files' modification times instead of waiting for file events")
    watch.add_argument("--json", action="store_true",
                       help="print one JSON object per pass, each on one line (JSON Lines); notices go to stderr")

    srv = command("serve", [common], "serve a live page of the project",
                  "Serve a page of the project's cells, errors and models on 127.0.0.1 that "
                  "follows every save, until Ctrl-C.")
    srv.add_argument("--port", type=int, default=8000, metavar="N",
                     help="the port to listen on (default: 8000; 0: any free port)")
    srv.add_argument("--interval", type=_interval, default=0.5, metavar="S",
                     help="seconds between two looks at the files where file events are unavailable "
                          "(default: 0.5)")
    srv.add_argument("--build-timeout", type=_interval, default=10.0, metavar="S",
                     help="seconds a cell may take to build before the page reports it (default: 10)")

    lsp = command("lsp", [common, timeout], "serve the language server protocol on stdin and stdout",
                  "A language server for editors: runs the registration pass on every save and "
                  "publishes error cells, failing models and cell names defined twice as diagnostics. "
                  "Writes nothing but protocol messages to stdout; its log goes to stderr.")
    lsp.add_argument("--check", action="store_true",
                     help="also build the cells of every pass with their defaults and report those that fail")
    return parser, dict(sub.choices)


def _only_output() -> list[_Parser]:
    output = _Parser(add_help=False)
    _add_output_options(output, "sub")
    return [output]


def _parse(argv: Sequence[str] | None) -> argparse.Namespace:
    """The arguments; ``SystemExit`` for --help, --version and usage errors,
    the latter with the usage of the command they belong to."""
    parser, commands = _parser()
    args, extra = parser.parse_known_args(argv)
    if extra:
        commands[args.command].error(f"unrecognized arguments: {' '.join(extra)}")
    args.verbosity = (args.verbose_top + getattr(args, "verbose_sub", 0)
                      - args.quiet_top - getattr(args, "quiet_sub", 0))
    args.color = getattr(args, "color", "auto")
    for name, default in (("json", False), ("all", False), ("timeout", 10.0), ("check", False)):
        if not hasattr(args, name):
            setattr(args, name, default)
    return args


COMMANDS: dict[str, Callable[[argparse.Namespace, _Out], int]] = {
    "init": _cmd_init, "register": _cmd_register, "check": _cmd_check, "show": _cmd_show,
    "list": _cmd_list, "cache": _cmd_cache, "watch": _cmd_watch, "serve": _cmd_serve, "export": _cmd_export, "lsp": _cmd_lsp,
}


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line with ``argv`` (default: ``sys.argv[1:]``); returns the exit status."""
    global _handler
    try:
        args = _parse(argv)
    except SystemExit as exc:  # --help, --version, or a usage error already printed
        return exc.code if isinstance(exc.code, int) else EXIT_USAGE
    out = _Out(sys.stdout, sys.stderr, quiet=args.json or args.verbosity < 0, color=args.color,
               show_all=args.all)
    previous = _handler
    _handler = _install_log_handler(args.verbosity, timestamps=args.command == "watch")
    try:
        status = _dispatch(args, out)
    finally:
        from morvane.logger import get_logger

        logger = get_logger()
        logger.removeHandler(_handler)
        logger.propagate = True
        _handler = previous
    return _not_waiting_for_project_threads(status)


def _not_waiting_for_project_threads(status: int) -> int:
    """``status``, or the end of the process with it when threads that
    project files started still run: the interpreter would wait for them
    at exit, for ever."""
    guard = sys.modules.get("morvane.core._guard")
    if guard is None:
        return status
    strays = guard.stray_threads()
    if not strays:
        return status
    files = sorted(set(strays.values()))
    print(f"{PROG}: not waiting for {_plural(len(strays), 'thread')} that project code started and left "
          f"running ({_readable(', '.join(files))})", file=sys.stderr)
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except (OSError, ValueError, AttributeError):
            pass
    guard.exit_now(status)
    return status


def _dispatch(args: argparse.Namespace, out: _Out) -> int:
    from morvane.core.database import DatabaseError
    from morvane.settings import SettingsError

    def fail(message: str, status: int = EXIT_PROJECT) -> int:
        print(f"{PROG}: error: {_readable(message)}", file=sys.stderr)
        return status

    from morvane.core.engine import session

    session.caching = not getattr(args, "no_cache", False)
    try:
        return COMMANDS[args.command](args, out)
    except CliError as exc:
        return fail(str(exc), exc.status)
    except SettingsError as exc:
        message = str(exc)
        return fail(message if message.startswith("no morvane project") else f"bad project settings: {message}")
    except (DatabaseError, sqlite3.Error) as exc:
        return fail(f"project database: {exc}")
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader went away (``... | head``): stop quietly.
        try:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
        except (OSError, ValueError):
            pass
        return EXIT_OK
    except Exception as exc:
        if args.verbosity > 1:
            traceback.print_exc()
        return fail(f"{args.command} failed: {type(exc).__name__}: {one_line(exc, 300)}"
                    + ("" if args.verbosity > 1 else " (run with -vv for the traceback)"))
