"""Re-register a project's files as they change.

:func:`watch` starts watching, runs a full pass, then waits for file events
(or, with ``poll``, looks at the files' stamps every ``interval`` seconds),
gathers a burst of saves into one set of changes and runs one pass over the changed
and deleted files and the project files that import them
(:func:`pass_paths`). A change whose pass failed is kept and tried again
with the next change or poll.
"""

from __future__ import annotations

import os
import time
from collections.abc import Callable, Iterable, Iterator
from pathlib import Path
from typing import Any

__all__ = ["pass_paths", "stored_rows", "apply_changes", "watch"]

# A save arrives as a burst of events a few milliseconds apart: a burst ends
# when one step passes without a new event, so a save is seen 10 to 20 ms later.
DEBOUNCE_MS = 10
# Events that keep coming (a checkout, or the bytecode caches written after
# a first pass, which no pass reads) are taken in parts of at most this
# long, so that a save among them is seen within it.
BURST_MS = 100


def pass_paths(changed: Iterable[Path], deleted: Iterable[Path]) -> list[Path]:
    """The files one pass must cover after ``changed`` files were written and
    ``deleted`` ones removed: those files and the project files that import
    one of them, directly or through others; each once, in that order."""
    from morvane.core import callgraph

    out = dict.fromkeys(Path(p).resolve() for p in [*changed, *deleted])
    out.update(dict.fromkeys(callgraph.importers_of(list(out))))
    return list(out)


def _pdk_package_files(project_dir: Path) -> Path | None:
    """Where the configured PDK package lives when it is a package of the
    project itself, else ``None``."""
    from morvane import settings
    from morvane.core import callgraph

    name = settings.get_pdk_name()
    if not isinstance(name, str) or name.lower() in callgraph.GENERIC_PDK_NAMES:
        return None
    location = callgraph._locate(name, search_first=project_dir)
    if location is None or not location.resolve().is_relative_to(project_dir):
        return None
    return location.resolve()


def _forget_pdk(core: Any, pdk_name: str, changed: Iterable[Path] = ()) -> None:
    """Make the next pass resolve the PDK anew, from its package's files as
    they are now (``changed`` among them), as a new process would."""
    import sys

    from morvane.core import imports

    for name in [n for n in sys.modules if n == pdk_name or n.startswith(pdk_name + ".")]:
        del sys.modules[name]
    for file in changed:
        # Rewritten within the second at the same size, a file would run
        # from its old bytecode.
        imports._drop_stale_bytecode(file)
    core._get_pdk.cache_clear()
    core.get_base_pdk.cache_clear()


def stored_rows(paths: list[Path]) -> tuple[dict[str, Any], dict[str, Any]]:
    """The stored factories a pass over ``paths`` can write or remove (all of
    them for an empty ``paths``), and every stored model: the factories whose
    source is one of the files and those of the names the files define now,
    wherever they are stored (a cell moved in from another file)."""
    from morvane.core import callgraph, imports
    from morvane.core import database as db

    if not paths:
        return db.get_all_factories(), db.get_all_model_records()
    factories = db.get_factories_by_source(*paths)
    names: set[str] = set()
    for path in paths:
        if path.is_file():
            names.update(callgraph.factory_names(path))
            try:
                names.update(imports.scan_cell_names(path))
            except OSError:
                pass
    factories.update(db.get_factories_by_name(*(names - factories.keys())))
    return factories, db.get_all_model_records()


def apply_changes(changed: Iterable[Path], deleted: Iterable[Path], *, core: Any = None,
                  snapshot: bool = False) -> dict[str, Any]:
    """Bring the registry up to date after ``changed`` files were written and
    ``deleted`` ones removed: one pass over :func:`pass_paths`, in one
    database transaction. A change to the project's own PDK package resolves
    the PDK again and runs a full pass instead. Returns the pass's
    ``"paths"`` (empty for a full pass), whether it was ``"full"``, and the
    names ``"written"`` and ``"removed"``; with ``snapshot``, also
    ``"before"``: :func:`stored_rows` of the paths as the pass found them.
    The pass's exceptions propagate."""
    from morvane.core import project_state

    # One pass looks at each file once: the services that each ask for
    # every file share one stat of it.
    with project_state.one_look():
        return _apply_changes(changed, deleted, core, snapshot)


def _apply_changes(changed: Iterable[Path], deleted: Iterable[Path], core: Any, snapshot: bool) -> dict[str, Any]:
    from morvane import settings
    from morvane.core import database as db

    if core is None:
        from morvane.core import pdk as core
    changed, deleted = [Path(p).resolve() for p in changed], [Path(p).resolve() for p in deleted]
    project_dir = Path(settings.get_project_dir()).resolve()
    package = _pdk_package_files(project_dir)
    full = package is not None and any(p == package or p.is_relative_to(package) for p in [*changed, *deleted])
    if full:
        _forget_pdk(core, settings.get_pdk_name(), [p for p in changed if package and p.is_relative_to(package)])
    paths = [] if full else pass_paths(changed, deleted)
    from morvane.core import imports

    # A deleted file has no cells left to import: its module would outlive
    # it. A changed file may define no cell any more (its last one deleted
    # or moved), so the pass would not import it: run it first, so that
    # the files importing it see what it defines now.
    imports.forget_deleted(deleted)
    # The pass's files run once, each after those it imports, here; the pass
    # itself then finds them up to date.
    first = [p for p in [*paths, *(c for c in changed if c not in paths)] if p.is_file()]
    imports.import_modules(paths=first, reload=True, from_project=True)
    before = None
    with db.pass_scope():
        if snapshot:
            before = stored_rows(paths)
        written, removed = core.register_cells(paths=paths, reload=True)
        # The model pass adds and replaces the PDK's models but never drops
        # one: a model whose source stopped defining it would stay callable
        # in this process only. A new process's PDK holds the stored ones.
        models = core.get_pdk().models
        for name in set(models) - set(db.get_all_models()):
            del models[name]
    done = {"paths": paths, "full": full, "written": written, "removed": removed}
    if before is not None:
        done["before"] = before
    return done


def _scan(project_dir: Path) -> dict[Path, tuple[int, ...]]:
    from morvane.core import _pysource, project_state

    stamps: dict[Path, tuple[int, ...]] = {}
    # The folders' listings are kept while the folders are unchanged: a poll
    # stamps the files, and lists only the folders whose entries changed.
    for path in project_state.files.listing(project_dir):
        stamp = _pysource.file_stamp(path)
        if stamp is not None:
            stamps[path] = stamp
    return stamps


def _polled(project_dir: Path, interval: float) -> Iterator[tuple[set[Path], set[Path]]]:
    # The stamps are taken now: the first poll reports what changed since.
    return _polls(project_dir, interval, _scan(project_dir))


def _polls(project_dir: Path, interval: float,
           stamps: dict[Path, tuple[int, ...]]) -> Iterator[tuple[set[Path], set[Path]]]:
    while True:
        time.sleep(interval)
        current = _scan(project_dir)
        changed = {p for p, s in current.items() if stamps.get(p) != s}
        deleted = {p for p in stamps if p not in current}
        stamps = current
        yield changed, deleted


def _wanted(path: str) -> bool:
    # Python files, and what may be a folder (a name without a suffix): a
    # folder renamed, moved or deleted comes as one event for the folder,
    # none for the files in it.
    if "/." in path or "__pycache__" in path:
        return False
    return path.endswith(".py") or "." not in os.path.basename(path)


def _events(project_dir: Path, interval: float) -> Iterator[tuple[set[Path], set[Path]]]:
    # The folders are watched from now on; their events wait for the first
    # batch asked for. (watchfiles' own generator would watch only once it
    # is first asked, and a save before that, during the first pass say,
    # would be lost.)
    from watchfiles._rust_notify import RustNotify

    from morvane.core import project_state

    files = project_state.files
    root = Path(project_dir).resolve()
    listing = files.listing(root)
    notify = RustNotify([str(project_dir)], False, False, 300, True, False)
    return _batches(notify, files, root, listing, interval)


def _batches(notify: Any, files: Any, root: Path, listing: Any,
             interval: float) -> Iterator[tuple[set[Path], set[Path]]]:
    try:
        while True:
            raw = notify.watch(BURST_MS, DEBOUNCE_MS, int(interval * 1000), None)
            if raw == "signal":  # the signal's handler raised; the notifier kept it from us
                raise KeyboardInterrupt
            if raw == "stop":
                return
            if raw == "timeout":
                batch = []
            else:
                batch = [path for _, path in raw if _wanted(path)]
                if not batch:
                    continue  # only files no pass reads (caches, the database)
            if files.events_root is None:
                # The events are coming (the first batch is here): from the
                # next look on, a file no event names is as the last look
                # found it, and a pass stamps the files it is told of only.
                files.events_begin(root, _wanted)
            changed: set[Path] = set()
            deleted: set[Path] = set()
            # A burst's events come as a set, without their order: what it did
            # to a file is what the file is at its end. A file deleted and
            # written again (an editor may save so) has changed.
            touched = []
            for raw_path in batch:
                path = Path(raw_path).resolve()
                touched.append(path)
                if raw_path.endswith(".py"):
                    (changed if path.is_file() else deleted).add(path)
            files.touched(touched)
            if batch:
                # The files that came or went with a folder: the project's
                # listing against the last one (the same object while no folder
                # gained, lost or renamed an entry).
                current = files.listing(root)
                if current is not listing:
                    before, now = set(listing), set(current)
                    changed |= now - before
                    deleted |= before - now
                    files.touched(before ^ now)
                    listing = current
            yield changed - deleted, deleted
    finally:
        files.events_end()
        notify.close()


def _changes(project_dir: Path, interval: float, poll: bool,
             print: Callable[[str], None]) -> Iterator[tuple[set[Path], set[Path]]]:
    """File events, or with ``poll`` (or without file events: no watchfiles,
    or the system's limit of watched folders reached) a look at the files'
    stamps every ``interval`` seconds. The source starts here: a change made
    after this call is reported, even one made before the first batch is
    asked for (during the first pass)."""
    if not poll:
        try:
            return _events(project_dir, interval)
        except (ImportError, OSError, TypeError) as exc:
            print(f"{time.strftime('%H:%M:%S')} file events unavailable ({type(exc).__name__}: "
                  f"{' '.join(str(exc).split())[:200]}); looking at the files every {interval:g} s instead")
    return _polled(project_dir, interval)


def watch(core: Any, project_dir: Path, *, print: Callable[[str], None], interval: float = 1.0,
          poll: bool = False, report: Callable[[dict[str, Any]], None] | None = None) -> int:
    """Watch ``project_dir`` until interrupted; ``core`` is the pdk module.

    Without ``report`` each pass prints one line (and its error cells).
    With it, ``print`` gets the watcher's notices only, and ``report`` is
    called once per pass with the change's ``"changed"`` and ``"deleted"``
    files, its ``"duration_s"``, and either what :func:`apply_changes`
    returned (with ``"before"``) or, for a pass that failed, its
    ``"error"``."""
    from morvane.core import database as db

    def run(changed: set[Path], deleted: set[Path]) -> bool:
        notice = db.reopen_if_replaced()
        if notice is not None:
            print(f"{time.strftime('%H:%M:%S')} {notice}")
        start = time.perf_counter()
        change = {"changed": sorted(changed), "deleted": sorted(deleted)}
        try:
            done = apply_changes(sorted(changed), sorted(deleted), core=core, snapshot=report is not None)
        except KeyboardInterrupt:
            raise
        except Exception as exc:
            if report is not None:
                report({**change, "duration_s": time.perf_counter() - start, "error": exc})
                return False
            what = ", ".join(relative(p) for p in sorted({*changed, *deleted})) or "full pass"
            print(f"{time.strftime('%H:%M:%S')} {what}: pass failed: {type(exc).__name__}: "
                  f"{' '.join(str(exc).split())[:200]}; retrying with the next change")
            return False
        duration = time.perf_counter() - start
        if report is not None:
            report({**change, **done, "duration_s": duration})
            return True
        what = describe(changed, deleted, done["paths"])
        if done["full"]:
            what += "; the PDK package changed: PDK resolved again, full pass"
        # The import errors behind the pass's error cells are stored, as a
        # one-shot pass stores them, for `show` to print their tracebacks.
        from morvane import cli

        rows, _ = cli.pass_factories(core, done["paths"], project_dir)
        errors = [r for r in rows.values() if r.status == "ERROR"] if done["paths"] else []
        parts = [f"{len(done['written'])} written", f"{len(done['removed'])} removed"]
        if errors:
            parts.append(f"{len(errors)} error cell{'s' if len(errors) != 1 else ''}")
        print(f"{time.strftime('%H:%M:%S')} {what}: {', '.join(parts)} ({duration:.3f} s)")
        for r in errors:
            print(f"    ERROR {r.name}: {' '.join(r.message.split())[:120]}")
        return True

    def describe(changed: set[Path], deleted: set[Path], paths: list[Path]) -> str:
        if not changed and not deleted:
            return "full pass"
        own = {*changed, *deleted}
        names = [relative(p) + (" (deleted)" if p in deleted else "") for p in paths or sorted(own) if p in own]
        dependents = [relative(p) for p in paths if p not in own]
        return ", ".join(names) + (f"; importers: {', '.join(dependents)}" if dependents else "")

    def relative(path: Path) -> str:
        return path.relative_to(project_dir).as_posix() if path.is_relative_to(project_dir) else str(path)

    # Watching starts before the first pass: a save during it is not lost.
    source = _changes(project_dir, interval, poll, print)
    run(set(), set())
    how = f"every {interval:g} s" if poll else "for changes"
    print(f"Watching {project_dir} {how}; press Ctrl-C to stop")
    pending_changed: set[Path] = set()
    pending_deleted: set[Path] = set()
    try:
        for changed, deleted in source:
            pending_changed = (pending_changed - deleted) | changed
            pending_deleted = (pending_deleted - changed) | deleted
            if not pending_changed and not pending_deleted:
                continue
            if run(pending_changed, pending_deleted):
                pending_changed, pending_deleted = set(), set()
    except KeyboardInterrupt:
        print("stopped")
    return 0
