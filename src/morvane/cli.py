"""The ``morvane`` command line.

``python -m morvane register [--project-dir DIR] [PATHS...] [--no-reload] [--json]``
    One registration pass: all project files, or only ``PATHS``. Prints the
    factories that became new, changed or were removed in the project
    database, the error cells with their messages and the models.
``python -m morvane watch [--project-dir DIR] [--poll] [--interval S]``
    A full pass, then re-registers every project file that changes, with the
    files that import it, until interrupted with Ctrl-C.
``python -m morvane list [--project-dir DIR] [--json]``
    What the project database holds: factories and models.
``python -m morvane show NAME --svg FILE [--project-dir DIR]``
    Builds the cell NAME with its defaults and writes its drawing to FILE.
``python -m morvane serve [--project-dir DIR] [--port N] [--interval S]``
    A live page of the project on http://127.0.0.1:N/ that follows every save.

Without ``--project-dir`` the project is found from ``MORVANE_PROJECT_DIR`` or
from the working directory upwards. The exit status is 0 when the pass ran,
also when project files fail to import (they become error cells); it is 1
for a real failure (no project, bad settings, an unusable database, a PDK
that cannot be activated, or an unexpected error, whose traceback ``-vv``
shows), reported on one line, and 2 for bad usage.
"""

from __future__ import annotations

import argparse
import json
import logging
import os
import signal
import sqlite3
import sys
import textwrap
import time
import traceback
from collections.abc import Iterable, Sequence
from pathlib import Path
from typing import Any, TextIO

__all__ = ["main"]

PROG = "morvane"


class CliError(Exception):
    """A failure reported on one line, with an exit status."""

    def __init__(self, message: str, status: int = 1) -> None:
        super().__init__(message)
        self.status = status


# --------------------------------------------------------------------------
# Output helpers
# --------------------------------------------------------------------------


def _one_line(text: Any, limit: int | None = None) -> str:
    line = " ".join(str(text).split())
    if limit is not None and len(line) > limit:
        line = line[: max(limit - 1, 1)] + "…"
    return line


def _table(headers: Sequence[str], rows: Iterable[Sequence[Any]], *, indent: str = "  ",
           last_limit: int | None = 100) -> str:
    """A left-aligned text table; the last column is shortened to ``last_limit``."""
    body = [[_one_line(c) for c in row] for row in rows]
    if last_limit is not None:
        for row in body:
            row[-1] = _one_line(row[-1], last_limit)
    widths = [len(h) for h in headers]
    for row in body:
        widths = [max(w, len(c)) for w, c in zip(widths, row)]

    def fmt(cells: Sequence[str]) -> str:
        return (indent + "  ".join(c.ljust(w) for c, w in zip(cells, widths))).rstrip()

    lines = [fmt(headers), fmt(["-" * w for w in widths])]
    lines.extend(fmt(row) for row in body)
    return "\n".join(lines)


def _changes(groups: Sequence[tuple[str, Sequence[str]]], width: int = 100) -> str:
    """One entry per non-empty group, every name listed, wrapped under its label."""
    labels = [f"{label} ({len(names)}):" for label, names in groups if names]
    pad = max(map(len, labels), default=0) + 2
    lines = []
    for label, (_, names) in zip(labels, [g for g in groups if g[1]]):
        wrapped = textwrap.wrap(", ".join(names), width=max(width - pad, 20),
                                break_long_words=False, break_on_hyphens=False)
        lines.append("  " + label.ljust(pad) + wrapped[0])
        lines.extend("  " + " " * pad + rest for rest in wrapped[1:])
    return "\n".join(lines)


class _Out:
    def __init__(self, stream: TextIO, err: TextIO, quiet: bool) -> None:
        self.stream, self.err, self.quiet = stream, err, quiet

    def print(self, text: str = "") -> None:
        print(text, file=self.stream, flush=True)

    def progress(self, text: str) -> None:
        if not self.quiet:
            print(text, file=self.err, flush=True)


# --------------------------------------------------------------------------
# Project selection
# --------------------------------------------------------------------------


def _select_project(project_dir: str | None) -> Any:
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
    from morvane.core import database

    database.close()
    if str(current.project_dir) not in sys.path:
        # The project's modules import each other by their dotted names.
        sys.path.insert(0, str(current.project_dir))
    return current


def _resolve_paths(raw: Sequence[str], project_dir: Path) -> list[Path]:
    out: list[Path] = []
    for item in raw:
        path = Path(item).expanduser()
        candidates = [path] if path.is_absolute() else [Path.cwd() / path, project_dir / path]
        for candidate in candidates:
            if candidate.is_file():
                out.append(candidate.resolve())
                break
        else:
            raise CliError(f"no such file: {item} (a deleted file's cells are removed by a pass "
                           "over the whole project: run register without paths)", status=2)
    return out


def _relative(path: Path, project_dir: Path) -> str:
    try:
        return path.relative_to(project_dir).as_posix()
    except ValueError:
        return str(path)


# --------------------------------------------------------------------------
# Database snapshots
# --------------------------------------------------------------------------


def _snapshot() -> tuple[dict[str, Any], dict[str, Any]]:
    from morvane.core import database as db

    return db.get_all_factories(), db.get_all_model_records()


def _factory_key(r: Any) -> tuple[Any, ...]:
    return (r.source, r.status, r.message)


def _model_key(r: Any) -> tuple[Any, ...]:
    return (r.source, r.settings, r.pdk_type, r.status, r.message)


def _diff(before: dict[str, Any], after: dict[str, Any], key: Any) -> dict[str, list[str]]:
    return {
        "new": sorted(set(after) - set(before)),
        "updated": sorted(n for n in set(after) & set(before) if key(after[n]) != key(before[n])),
        "removed": sorted(set(before) - set(after)),
    }


def _factory_json(r: Any) -> dict[str, Any]:
    return {"name": r.name, "source": r.source, "status": r.status, "message": r.message,
            "has_model": bool(r.has_model)}


def _model_json(r: Any) -> dict[str, Any]:
    return {"name": r.factory, "source": r.source, "pdk_type": r.pdk_type, "status": r.status,
            "message": r.message, "settings": r.settings}


def _status_text(status: str) -> str:
    return "ERROR" if status == "ERROR" else "ok"


# --------------------------------------------------------------------------
# Registration
# --------------------------------------------------------------------------


def _core_pdk() -> Any:
    try:
        from morvane.core import pdk
    except ImportError as exc:
        raise CliError(f"the morvane.core.pdk extension module cannot be imported: {exc}") from None
    return pdk


def _activate(core: Any, current: Any) -> Any:
    try:
        return core.get_pdk()
    except (ImportError, AttributeError) as exc:
        raise CliError(f"cannot activate the PDK {current.pdk_name!r}: {exc}") from None


def _run_pass(core: Any, paths: list[Path], reload: bool) -> dict[str, Any]:
    """One pass with the database's state before and after."""
    before_f, before_m = _snapshot()
    start = time.perf_counter()
    from morvane.core import database as db

    with db.pass_scope():
        written, deleted = core.register_cells(paths=paths, reload=reload)
    duration = time.perf_counter() - start
    after_f, after_m = _snapshot()
    return {
        "duration_s": round(duration, 4),
        "factories": {**_diff(before_f, after_f, _factory_key),
                      "written": list(written), "deleted": list(deleted)},
        "models": _diff(before_m, after_m, _model_key),
        "after_factories": after_f,
        "after_models": after_m,
    }


def _print_errors(out: _Out, factories: dict[str, Any], scope: set[str] | None = None) -> None:
    errors = [r for n, r in sorted(factories.items())
              if r.status == "ERROR" and (scope is None or r.source in scope)]
    if not errors:
        out.print("Error cells: none")
        return
    out.print(f"Error cells ({len(errors)}):")
    out.print(_table(["NAME", "SOURCE", "MESSAGE"], [(r.name, r.source, r.message) for r in errors]))


def _print_models(out: _Out, models: dict[str, Any]) -> None:
    if not models:
        out.print("Models: none")
        return
    own = sum(1 for r in models.values() if r.pdk_type == "pdk")
    out.print(f"Models ({len(models)}: {own} of the project, {len(models) - own} of the base PDK):")
    ordered = sorted(models.values(), key=lambda r: (r.pdk_type != "pdk", r.factory))
    headers = ["NAME", "FROM", "STATUS", "SOURCE"]
    rows = [[r.factory, r.pdk_type, "ok" if r.status == "SUCCESS" else r.status, r.source or "-"]
            for r in ordered]
    if any(r.message for r in ordered):
        headers.append("MESSAGE")
        for row, r in zip(rows, ordered):
            row.append(r.message or "")
    out.print(_table(headers, rows))


def _register_report(result: dict[str, Any], current: Any, scope: str) -> dict[str, Any]:
    return {
        "project": {"name": current.project_name, "dir": str(current.project_dir),
                    "pdk": current.pdk_name, "database": str(current.database_path)},
        "scope": scope,
        "duration_s": result["duration_s"],
        "factories": result["factories"],
        "errors": [_factory_json(r) for _, r in sorted(result["after_factories"].items())
                   if r.status == "ERROR"],
        "models": {**result["models"],
                   "records": [_model_json(r) for _, r in sorted(result["after_models"].items())]},
    }


def _cmd_register(args: argparse.Namespace, out: _Out) -> int:
    current = _select_project(args.project_dir)
    paths = _resolve_paths(args.paths, current.project_dir)
    core = _core_pdk()
    scope = (", ".join(_relative(p, current.project_dir) for p in paths) if paths
             else "all files")
    out.progress(f"Registering {scope} of project {current.project_name!r} "
                 f"({current.project_dir}, PDK {current.pdk_name!r}) ...")
    _activate(core, current)
    result = _run_pass(core, paths, not args.no_reload)

    if args.json:
        out.print(json.dumps(_register_report(result, current, scope), indent=2))
        return 0

    f, m = result["factories"], result["models"]
    total = len(result["after_factories"])
    out.print(f"Project {current.project_name} ({current.project_dir}), PDK {current.pdk_name}")
    out.print(f"Registration pass over {scope}: {result['duration_s']:.2f} s, "
              f"{total} factories in the database")
    if any(f[k] or m[k] for k in ("new", "updated", "removed")):
        out.print(_changes([(f"{k} {what}", group[k]) for what, group in (("factories", f), ("models", m))
                            for k in ("new", "updated", "removed")]))
    else:
        out.print("  nothing new: no factory or model was added, changed or removed")
    out.print()
    _print_errors(out, result["after_factories"])
    out.print()
    _print_models(out, result["after_models"])
    return 0


def _cmd_list(args: argparse.Namespace, out: _Out) -> int:
    current = _select_project(args.project_dir)
    factories, models = _snapshot()
    if args.json:
        out.print(json.dumps({
            "project": {"name": current.project_name, "dir": str(current.project_dir),
                        "database": str(current.database_path)},
            "factories": [_factory_json(r) for _, r in sorted(factories.items())],
            "models": [_model_json(r) for _, r in sorted(models.items())],
        }, indent=2))
        return 0
    out.print(f"Project {current.project_name} ({current.project_dir})")
    out.print(f"Database {current.database_path}")
    out.print()
    if factories:
        out.print(f"Factories ({len(factories)}):")
        out.print(_table(["NAME", "STATUS", "MODEL", "SOURCE", "MESSAGE"], [
            (r.name, _status_text(r.status), "yes" if r.has_model else "-", r.source, r.message or "")
            for _, r in sorted(factories.items())]))
    else:
        out.print("Factories: none (run `python -m morvane register` first)")
    out.print()
    _print_models(out, models)
    return 0


# --------------------------------------------------------------------------
# Watching
# --------------------------------------------------------------------------


def _cmd_watch(args: argparse.Namespace, out: _Out) -> int:
    if args.interval <= 0:
        raise CliError("--interval must be a positive number of seconds", status=2)
    current = _select_project(args.project_dir)
    core = _core_pdk()
    _activate(core, current)
    from morvane.watch import watch

    def stop(signum: int, frame: Any) -> None:
        raise KeyboardInterrupt

    # A service manager's SIGTERM stops the watcher as Ctrl-C does.
    previous = signal.signal(signal.SIGTERM, stop)
    try:
        out.progress(f"Registering all files of project {current.project_name!r} ({current.project_dir}) ...")
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
    out.progress(f"Building {args.name} of project {current.project_name!r} ...")
    try:
        component = serve.build_cell(core, args.name)
    except serve.ServeError as exc:
        raise CliError(str(exc)) from None
    try:
        path = component.write_svg(args.svg)
    except OSError as exc:
        raise CliError(f"cannot write {args.svg}: {exc.strerror or exc}") from None
    out.print(f"Wrote {path} ({component.name}: {len(component.polygons)} polygons, "
              f"{len(component.references)} references)")
    return 0


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


# --------------------------------------------------------------------------
# Entry point
# --------------------------------------------------------------------------


def _parser() -> argparse.ArgumentParser:
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--project-dir", metavar="DIR",
                        help="the project directory (default: $MORVANE_PROJECT_DIR, else the nearest "
                             "directory upwards whose pyproject.toml has a [tool.morvane] table)")
    common.add_argument("-v", "--verbose", action="count", default=0,
                        help="log the pass's info (-v) or debug (-vv) lines to stderr")

    parser = argparse.ArgumentParser(prog=PROG, description="Register the cells and models of a "
                                     "morvane layout project.")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    reg = sub.add_parser("register", parents=[common], help="run one registration pass",
                         description="Register the project's cells and models.")
    reg.add_argument("paths", nargs="*", metavar="PATHS",
                     help="only these project files (default: every file of the project)")
    reg.add_argument("--no-reload", action="store_true",
                     help="do not reload modules already imported, and leave the models alone")
    reg.add_argument("--json", action="store_true", help="print the result as JSON")

    watch = sub.add_parser("watch", parents=[common], help="re-register files as they change",
                           description="Register the project, then every file that changes, "
                                       "until Ctrl-C.")
    watch.add_argument("--interval", type=float, default=1.0, metavar="S",
                       help="seconds between two looks at the files with --poll (default: 1)")
    watch.add_argument("--poll", action="store_true",
                       help="look at the files' modification times instead of waiting for file events")

    lst = sub.add_parser("list", parents=[common], help="show what the project database holds",
                         description="List the factories and models of the project database.")
    lst.add_argument("--json", action="store_true", help="print the result as JSON")

    show = sub.add_parser("show", parents=[common], help="draw one cell",
                          description="Build a cell with its defaults and write its drawing.")
    show.add_argument("name", metavar="NAME", help="the cell's name")
    show.add_argument("--svg", required=True, metavar="FILE", help="write the drawing to FILE as SVG")

    srv = sub.add_parser("serve", parents=[common], help="serve a live page of the project",
                         description="Serve a page of the project's cells, errors and models on "
                                     "127.0.0.1 that follows every save, until Ctrl-C.")
    srv.add_argument("--port", type=int, default=8000, metavar="N",
                     help="the port to listen on (default: 8000; 0: any free port)")
    srv.add_argument("--interval", type=float, default=0.5, metavar="S",
                     help="seconds between two looks at the files (default: 0.5)")
    srv.add_argument("--build-timeout", type=float, default=10.0, metavar="S",
                     help="seconds a cell may take to build before the page reports it (default: 10)")
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line with ``argv`` (default: ``sys.argv[1:]``); returns the exit status."""
    parser = _parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exc:  # --help, or a usage error already printed
        return int(exc.code or 0) if not isinstance(exc.code, str) else 2
    out = _Out(sys.stdout, sys.stderr, quiet=getattr(args, "json", False))
    if args.verbose:
        from morvane.logger import get_logger

        get_logger().setLevel(logging.DEBUG if args.verbose > 1 else logging.INFO)

    from morvane.core.database import DatabaseError
    from morvane.settings import SettingsError

    commands = {"register": _cmd_register, "watch": _cmd_watch, "list": _cmd_list,
                "show": _cmd_show_svg, "serve": _cmd_serve}
    try:
        return commands[args.command](args, out)
    except CliError as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return exc.status
    except SettingsError as exc:
        print(f"{PROG}: error: bad project settings: {_one_line(exc)}", file=sys.stderr)
        return 1
    except (DatabaseError, sqlite3.Error) as exc:
        print(f"{PROG}: error: project database: {_one_line(exc)}", file=sys.stderr)
        return 1
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
        return 0
    except Exception as exc:
        if args.verbose > 1:
            traceback.print_exc()
        print(f"{PROG}: error: {args.command} failed: {type(exc).__name__}: {_one_line(exc, 300)}"
              + ("" if args.verbose > 1 else " (run with -vv for the traceback)"), file=sys.stderr)
        return 1
