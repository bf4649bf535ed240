"""Re-register a project's files as they change.

:func:`watch` starts watching, runs a full pass, then waits for file events
(or, with ``poll``, looks at the files' stamps every ``interval`` seconds),
gathers a burst of saves into one set of changes and runs one pass over the changed
and deleted files and the project files that import them
(:func:`morvane.passes.apply_changes`). A change whose pass failed is kept
and tried again with the next change, never in a loop of its own; a
database file deleted, replaced or unusable gets a full pass. :func:`changes` is the source
of those changes, which the live page follows too.
"""

from __future__ import annotations

import os
import time
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

from morvane.passes import apply_changes, pass_paths, stored_rows
from morvane.report import error_cell_lines, exception_line
from morvane.report import relative as _relative

# apply_changes, pass_paths and stored_rows are the pass driver's, named here too.
__all__ = ["changes", "watch", "apply_changes", "pass_paths", "stored_rows"]

# A save arrives as a burst of events a few milliseconds apart: a burst ends
# when one step passes without a new event, so a save is seen 10 to 20 ms later.
DEBOUNCE_MS = 10
# Events that keep coming (a checkout, or the bytecode caches written after
# a first pass, which no pass reads) are taken in parts of at most this
# long, so that a save among them is seen within it.
BURST_MS = 100


def _scan(project_dir: Path) -> dict[Path, tuple[int, ...]]:
    from morvane.core import _pysource
    from morvane.core.engine import session

    stamps: dict[Path, tuple[int, ...]] = {}
    # The folders' listings are kept while the folders are unchanged: a poll
    # stamps the files, and lists only the folders whose entries changed.
    for path in session.listing(project_dir)[0]:
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
    # would be lost.) RustNotify is the notifier that generator drives,
    # documented in watchfiles' API reference as its Rust backend.
    from watchfiles._rust_notify import RustNotify

    from morvane.core.engine import session

    files = session
    root = Path(project_dir).resolve()
    listing = files.listing(root)[0]
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
                current = files.listing(root)[0]
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


def changes(project_dir: Path, interval: float, poll: bool,
            print: Callable[[str], None]) -> Iterator[tuple[set[Path], set[Path]]]:
    """The project's changes, as ``(changed, deleted)`` files (both empty
    when ``interval`` seconds passed without one): file events, or with
    ``poll`` (or without file events: no watchfiles, or the system's limit
    of watched folders reached, which ``print`` is told) a look at the
    files' stamps every ``interval`` seconds. The source starts here: a
    change made after this call is reported, even one made before the first
    batch is asked for (during the first pass)."""
    if not poll:
        try:
            return _events(project_dir, interval)
        except (ImportError, OSError, TypeError) as exc:
            print(f"{time.strftime('%H:%M:%S')} file events unavailable ({exception_line(exc, 200)}); "
                  f"looking at the files every {interval:g} s instead")
    return _polled(project_dir, interval)


def watch(core: Any, project_dir: Path, *, print: Callable[[str], None], interval: float = 1.0,
          poll: bool = False, report: Callable[[dict[str, Any]], None] | None = None) -> int:
    """Watch ``project_dir`` until interrupted; ``core`` is the pdk module.

    Without ``report`` each pass prints one line (and its error cells).
    With it, ``print`` gets the watcher's notices only, and ``report`` is
    called once per pass with the change's ``"changed"`` and ``"deleted"``
    files, its ``"duration_s"``, and either what
    :func:`morvane.passes.apply_changes` returned with ``snapshot`` or, for
    a pass that failed, its ``"error"``.

    Only Ctrl-C (``KeyboardInterrupt``) ends it. A pass that fails is
    reported, and its change is tried again with the next change, after
    a pause that grows with each failure in a row (:data:`BACKOFF`). A
    database file that was deleted, replaced or could not be used gets a
    full pass against the file that is there now, as soon as it is seen."""
    from morvane.core import database as db

    state = _State()

    def run(changed: set[Path], deleted: set[Path]) -> bool:
        start = time.perf_counter()
        change = {"changed": sorted(changed), "deleted": sorted(deleted)}
        try:
            notice = db.reopen_if_replaced()
            if notice is not None:
                state.full = True
                print(f"{time.strftime('%H:%M:%S')} {notice}; a full pass brings it up to date")
            full = state.full
            done = apply_changes([] if full else sorted(changed), [] if full else sorted(deleted), core=core,
                                 snapshot=report is not None)
        except KeyboardInterrupt:
            raise
        except BaseException as exc:  # noqa: BLE001 - nothing a pass raises ends the watcher
            if isinstance(exc, db.DatabaseError):
                # The file may be gone, replaced or unusable: whatever is
                # there when a pass next works gets all of the project.
                state.full = True
            failed(exc)
            if report is not None:
                report({**change, "duration_s": time.perf_counter() - start, "error": exc})
                return False
            what = ", ".join(relative(p) for p in sorted({*changed, *deleted})) or "full pass"
            print(f"{time.strftime('%H:%M:%S')} {what}: pass failed: {exception_line(exc, 200)}; "
                  f"retrying with the next change{pause()}")
            return False
        state.full, state.failures, state.db = False, 0, db.identity()
        duration = time.perf_counter() - start
        if report is not None:
            report({**change, **done, "duration_s": duration})
            return True
        what = "full pass" if full else describe(changed, deleted, done)
        if done["full"]:
            what += "; the PDK package changed: PDK resolved again, full pass"
        # The pass stored the import errors behind its error cells, for
        # `show` to print their tracebacks; its files' error cells are listed.
        rows = done["factories"]
        errors = [r for r in rows.values() if r.status == "ERROR"] if done["paths"] else []
        parts = [f"{len(done['written'])} written", f"{len(done['removed'])} removed"]
        if errors:
            parts.append(f"{len(errors)} error cell{'s' if len(errors) != 1 else ''}")
        print(f"{time.strftime('%H:%M:%S')} {what}: {', '.join(parts)} ({duration:.3f} s)")
        for line in error_cell_lines(errors):
            print(line)
        return True

    def failed(exc: BaseException) -> None:
        state.failures += 1
        state.retry_at = time.monotonic() + backoff(state.failures)
        try:
            state.db = db.identity()
        except Exception:  # noqa: BLE001 - no settings: as if there were no file
            state.db = None

    def pause() -> str:
        wait = backoff(state.failures)
        return f" (not before {wait:g} s)" if wait >= 1 else ""

    def describe(changed: set[Path], deleted: set[Path], done: dict[str, Any]) -> str:
        if not changed and not deleted:
            return "full pass"
        own = {*changed, *deleted}
        paths = done["paths"]
        names = [relative(p) + (" (deleted)" if p in deleted else "") for p in paths or sorted(own) if p in own]
        importers = [relative(p) for p in done["importers"]]
        also = [relative(p) for p in paths if p not in own and p not in set(done["importers"])]
        return (", ".join(names) + (f"; importers: {', '.join(importers)}" if importers else "")
                + (f"; defining the same cells: {', '.join(also)}" if also else ""))

    def relative(path: Path) -> str:
        return _relative(path, project_dir)

    def database_moved() -> bool:
        # Checked on every batch and every quiet interval: the database's
        # folder sends no events that a pass would act on.
        try:
            return db.identity() != state.db
        except Exception:  # noqa: BLE001 - settings unreadable now: the next pass says so
            return False

    # Watching starts before the first pass: a save during it is not lost.
    source = _resilient(changes(project_dir, interval, poll, print), project_dir, interval, print)
    run(set(), set())
    how = f"every {interval:g} s" if poll else "for changes"
    print(f"Watching {project_dir} {how}; press Ctrl-C to stop")
    pending_changed: set[Path] = set()
    pending_deleted: set[Path] = set()
    fresh = False  # a change came since the last pass that failed
    try:
        for changed, deleted in source:
            if changed or deleted:
                fresh = True
            pending_changed = (pending_changed - deleted) | changed
            pending_deleted = (pending_deleted - changed) | deleted
            if state.failures:
                # A failed pass is tried again with the next change (or a
                # database file that changed), never on its own, and not
                # before its pause is over.
                if time.monotonic() < state.retry_at or not (fresh or database_moved()):
                    continue
            elif not pending_changed and not pending_deleted:
                if not database_moved():
                    continue
            fresh = False
            if run(pending_changed, pending_deleted):
                pending_changed, pending_deleted = set(), set()
    except KeyboardInterrupt:
        print("stopped")
    return 0


class _State:
    """What the watcher keeps from pass to pass."""

    def __init__(self) -> None:
        self.full = False  # the next pass covers the whole project
        self.failures = 0  # passes failed in a row
        self.retry_at = 0.0  # time.monotonic() before which no pass is tried again
        self.db: tuple[int, int] | None = None  # the database file the last pass found


# Seconds before a pass that failed n times in a row is tried again.
BACKOFF = (0.0, 1.0, 2.0, 5.0, 10.0, 30.0, 60.0)


def backoff(failures: int) -> float:
    """The pause after ``failures`` failed passes in a row."""
    return BACKOFF[min(max(failures - 1, 0), len(BACKOFF) - 1)]


def _resilient(source: Iterator[tuple[set[Path], set[Path]]], project_dir: Path, interval: float,
               print: Callable[[str], None]) -> Iterator[tuple[set[Path], set[Path]]]:
    """The changes of ``source`` (:func:`changes`), taken up again by
    polling when it fails (the watched folder removed, say): only Ctrl-C
    ends the watcher."""
    said = None
    while True:
        try:
            yield from source
            return
        except KeyboardInterrupt:
            raise
        except Exception as exc:  # noqa: BLE001 - only Ctrl-C ends the watcher
            text = exception_line(exc, 200)
            if text != said:
                print(f"{time.strftime('%H:%M:%S')} watching failed ({text}); "
                      f"looking at the files every {interval:g} s instead")
                said = text
        source = _polled_again(project_dir, interval)


def _polled_again(project_dir: Path, interval: float) -> Iterator[tuple[set[Path], set[Path]]]:
    """Polling, from the first look at the files that works."""
    while True:
        time.sleep(interval)
        try:
            stamps = _scan(project_dir)
        except (OSError, ValueError):
            continue
        yield from _polls(project_dir, interval, stamps)
        return
