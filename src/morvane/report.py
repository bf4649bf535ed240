"""How a registration pass is described: the JSON objects of ``--json`` and the shared text.

Everything here is a plain function of what it is given: a pass's result
as :mod:`morvane.passes` returns it, records, settings. Nothing here reads
the database, runs a pass or imports the project; the command line, the
watcher and the live page all describe passes through these functions.

``register --json`` and ``check --json`` print :func:`pass_report_json`,
each pass of ``watch --json`` prints :func:`watch_pass_json`; ``list`` and
``show`` print :func:`factory_json`, :func:`model_json` and
:func:`project_json` objects. Every object carries
``schema_version`` (:data:`REPORT_SCHEMA_VERSION`).
"""

from __future__ import annotations

import json
import re
import traceback
from collections.abc import Callable, Iterable, Sequence
from pathlib import Path
from typing import Any

__all__ = ["REPORT_SCHEMA_VERSION", "safe_text", "one_line", "exception_line", "relative", "factory_key",
           "model_key", "diff", "status_word", "absolute_source", "settings_json", "factory_json",
           "model_json", "project_json", "error_info", "error_cell_lines", "pass_report_json",
           "watch_pass_json"]

# Version of the JSON objects the commands print; raised on any change that
# removes or renames a field.
REPORT_SCHEMA_VERSION = 1


# --------------------------------------------------------------------------
# Text that is safe on a terminal
# --------------------------------------------------------------------------

# C0 and C1 control characters but tab and newline, and the Unicode controls
# that reorder or hide text.
_UNSAFE = re.compile("[\x00-\x08\x0b-\x1f\x7f-\x9f\u200b-\u200f\u202a-\u202e\u2066-\u2069\ufeff]")


def _escape(match: re.Match[str]) -> str:
    code = ord(match.group())
    return f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}"


def safe_text(text: object) -> str:
    """``text`` as a string with its control characters escaped (``\\x1b``),
    so that stored messages cannot move the cursor, retitle the window or
    hide what follows them. Tabs and newlines are kept."""
    return _UNSAFE.sub(_escape, str(text))


def one_line(text: Any, limit: int | None = None) -> str:
    """``text`` made safe (:func:`safe_text`) on one line, its runs of white
    space made one space, cut to ``limit`` characters with an ellipsis."""
    line = " ".join(safe_text(text).split())
    if limit is not None and len(line) > limit:
        line = line[: max(limit - 1, 1)] + "…"
    return line


def exception_line(exc: BaseException, limit: int | None = None) -> str:
    """``Type: message`` of ``exc`` on one line, the message cut to ``limit``
    characters: how the watcher and the live page report a pass that failed."""
    message = " ".join(str(exc).split())
    return f"{type(exc).__name__}: {message if limit is None else message[:limit]}"


def relative(path: Path, project_dir: Path) -> str:
    """``path`` relative to the project directory, in POSIX form; absolute
    when it lies outside."""
    try:
        return path.relative_to(project_dir).as_posix()
    except ValueError:
        return str(path)


# --------------------------------------------------------------------------
# Records
# --------------------------------------------------------------------------


def factory_key(r: Any) -> tuple[Any, ...]:
    """What makes a stored factory row "updated" when it differs."""
    return (r.source, r.status, r.message)


def model_key(r: Any) -> tuple[Any, ...]:
    """What makes a stored model row "updated" when it differs."""
    return (r.source, r.settings, r.pdk_type, r.status, r.message)


def diff(before: dict[str, Any], after: dict[str, Any], key: Callable[[Any], Any]) -> dict[str, list[str]]:
    """The names ``new``, ``updated`` (``key`` differs) and ``removed`` from
    ``before`` to ``after``, each sorted."""
    return {
        "new": sorted(set(after) - set(before)),
        "updated": sorted(n for n in set(after) & set(before) if key(after[n]) != key(before[n])),
        "removed": sorted(set(before) - set(after)),
    }


def status_word(status: str) -> str:
    """The one status vocabulary of the JSON output: "SUCCESS" or "ERROR"."""
    return "ERROR" if status == "ERROR" else "SUCCESS"


def absolute_source(r: Any) -> str | None:
    source = r.absolute_source()
    return None if source is None else str(Path(source).resolve())


def settings_json(text: str) -> Any:
    try:
        return json.loads(text)
    except (TypeError, ValueError):
        return text


def factory_json(r: Any, import_errors: dict[str, dict[str, Any]] | None = None) -> dict[str, Any]:
    out = {"name": r.name, "source": absolute_source(r), "status": status_word(r.status),
           "message": r.message, "has_model": bool(r.has_model)}
    if r.status == "ERROR":
        out["error"] = (import_errors or {}).get(r.source)
    return out


def model_json(r: Any) -> dict[str, Any]:
    return {"name": r.factory, "source": absolute_source(r), "pdk_type": r.pdk_type,
            "status": status_word(r.status), "message": r.message,
            "settings": settings_json(r.settings)}


def project_json(current: Any) -> dict[str, Any]:
    return {"name": current.project_name, "dir": str(current.project_dir), "pdk": current.pdk_name,
            "is_a_pdk": current.is_a_pdk, "database": str(current.database_path)}


# --------------------------------------------------------------------------
# Import errors: type, place and traceback
# --------------------------------------------------------------------------


def _user_frames(exc: BaseException, project_dir: Path) -> traceback.StackSummary:
    """The traceback from the first frame of the project's own code on: the
    importer's machinery and the error cell that raised it again are left out."""
    frames = traceback.extract_tb(exc.__traceback__)
    for i, frame in enumerate(frames):
        if Path(frame.filename).is_relative_to(project_dir):
            return traceback.StackSummary.from_list(frames[i:])
    return traceback.StackSummary.from_list(
        [f for f in frames if not f.filename.startswith("<frozen importlib")])


def error_info(exc: BaseException, source: Path, project_dir: Path) -> dict[str, Any]:
    """The import error ``exc`` of the file ``source`` as it is stored and
    shown: ``{type, message, file, line, traceback}``."""
    frames = _user_frames(exc, project_dir)
    if isinstance(exc, SyntaxError) and exc.filename:
        file, line = exc.filename, exc.lineno
    else:
        own = [f for f in frames if Path(f.filename) == source]
        last = own[-1] if own else (frames[-1] if frames else None)
        file, line = (last.filename, last.lineno) if last else (str(source), None)
    text = ["Traceback (most recent call last):\n", *frames.format()] if frames else []
    text.extend(traceback.format_exception_only(exc))
    return {"type": type(exc).__qualname__, "message": str(exc), "file": str(file), "line": line,
            "traceback": "".join(text)}


def error_cell_lines(rows: Iterable[Any]) -> list[str]:
    """One line per error cell among ``rows``, as the watcher prints them."""
    return [f"    ERROR {r.name}: {' '.join(r.message.split())[:120]}" for r in rows if r.status == "ERROR"]


# --------------------------------------------------------------------------
# The JSON of a pass
# --------------------------------------------------------------------------


def pass_report_json(result: dict[str, Any], current: Any, *, command: str = "register",
                     paths: Sequence[Path] = (), importers: Sequence[Path] = (),
                     check: dict[str, Any] | None = None) -> dict[str, Any]:
    """The JSON object of one pass (``result`` as :func:`morvane.passes.run_pass`
    returns it): the schema ``register --json`` and ``check --json`` print
    (``watch --json`` prints :func:`watch_pass_json`). ``paths`` empty means
    a pass over the whole project."""
    errors = result.get("import_errors", {})
    report: dict[str, Any] = {
        "schema_version": REPORT_SCHEMA_VERSION,
        "command": command,
        "project": project_json(current),
        "scope": {"all": not paths, "paths": [str(p) for p in paths],
                  "importers": [str(p) for p in importers]},
        "duration_s": result["duration_s"],
        "factories": {**result["factories"], "total": len(result["after_factories"])},
        "errors": [factory_json(r, errors) for _, r in sorted(result["after_factories"].items())
                   if r.status == "ERROR"],
        "models": {**result["models"],
                   "records": [model_json(r) for _, r in sorted(result["after_models"].items())]},
    }
    if check is not None:
        report["check"] = check
    return report


def watch_pass_json(done: dict[str, Any], current: Any, number: int) -> dict[str, Any]:
    """The JSON object of one pass of ``watch``: ``done`` is what
    :func:`morvane.passes.apply_changes` returned with ``snapshot`` (or, for
    a pass that failed, its ``"error"``), with the change's ``"changed"`` and
    ``"deleted"`` files and the ``"duration_s"`` the watcher measured. The
    change's files and the importers pulled in, what the pass added, changed
    and removed, its error cells and its models; for a pass that failed, its
    error."""
    own = [*done["changed"], *done["deleted"]]
    report: dict[str, Any] = {
        "schema_version": REPORT_SCHEMA_VERSION, "command": "watch", "pass": number, "ok": "error" not in done,
        "project": project_json(current),
        "scope": {"all": not done.get("paths"), "paths": [str(p) for p in sorted(own)],
                  "deleted": [str(p) for p in done["deleted"]],
                  "importers": [str(p) for p in done.get("importers", ())],
                  "pdk_changed": bool(done.get("full") and own)},
        "duration_s": round(done["duration_s"], 4),
    }
    if "error" in done:
        exc = done["error"]
        report["error"] = {"type": type(exc).__qualname__, "message": str(exc), "retry": True}
        return report

    written, removed = done["written"], done["removed"]
    before_f, before_m = done["before"]
    after_f, errors, after_m = done["factories"], done["import_errors"], done["models"]
    changed = done["written_rows"]
    report["factories"] = {
        "new": sorted(n for n in written if n not in before_f),
        "updated": sorted(n for n in written if n in before_f and n in changed
                          and factory_key(changed[n]) != factory_key(before_f[n])),
        "removed": sorted(removed), "written": list(written), "deleted": list(removed),
    }
    report["errors"] = [factory_json(r, errors) for _, r in sorted(after_f.items()) if r.status == "ERROR"]
    report["models"] = {**diff(before_m, after_m, model_key),
                        "records": [model_json(r) for _, r in sorted(after_m.items())]}
    return report
