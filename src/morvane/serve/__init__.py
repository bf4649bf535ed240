"""A live page of the project: ``morvane serve``.

:func:`run` registers the whole project, starts the page's HTTP server on
127.0.0.1 in a thread of its own and then watches the project's files on
the calling (main) thread: every save runs a registration pass over the
changed files and the files importing them, and the page follows through
server-sent events. Only the page itself may drive the server: every
request but the page's own files needs the session's token and must not
come from another origin, a check :mod:`morvane.serve.server` makes for
every route, present and future, before it looks at the path. The pieces are usable on their own: :class:`LiveProject`
(passes, snapshot, drawings), :func:`follow` (its passes for a stream of
changes, such as the watcher's file events), :class:`StampWatcher` (which
files changed, by their stamps) and :func:`make_server`.
"""

from __future__ import annotations

import signal
import threading
import time
from collections.abc import Callable, Iterable
from pathlib import Path
from typing import Any

from morvane.serve.live import Drawing, LiveProject, StampWatcher
from morvane.serve.server import LiveServer, make_server

__all__ = ["Drawing", "LiveProject", "LiveServer", "ServeError", "StampWatcher", "build_cell", "follow", "make_server",
           "run"]


# Where a running page tells other processes (the language server's hover)
# its address: {"url": ..., "pid": ...}, beside the project's store.
ADDRESS_FILE = Path(".morvane") / "serve.json"


def _announce(project_dir: Path, url: str) -> Path | None:
    """Write the page's address for other processes; ``None`` when it cannot."""
    import json
    import os

    path = project_dir / ADDRESS_FILE
    try:
        path.parent.mkdir(parents=True, exist_ok=True)
        partial = path.with_name(f"{path.name}.{os.getpid()}.tmp")
        partial.write_text(json.dumps({"url": url, "pid": os.getpid()}))
        os.replace(partial, path)
    except OSError:
        return None
    return path


def _withdraw(path: Path | None) -> None:
    """Remove the page's address, unless another page has written its own since."""
    import json
    import os

    if path is None:
        return
    try:
        if json.loads(path.read_text()).get("pid") == os.getpid():
            path.unlink()
    except (OSError, ValueError, AttributeError):
        pass


def running_page(project_dir: Path) -> str | None:
    """The address of the live page running on the project, if one runs."""
    import json
    import os

    try:
        found = json.loads((project_dir / ADDRESS_FILE).read_text())
        url, pid = found["url"], found["pid"]
        if not isinstance(url, str) or not isinstance(pid, int) or not url.startswith("http://127.0.0.1:"):
            return None
        os.kill(pid, 0)  # gone: ProcessLookupError
    except (OSError, ValueError, KeyError, TypeError):
        return None
    return url


class ServeError(Exception):
    """The page cannot be served (for instance, the port is taken)."""


def build_cell(core: Any, name: str) -> Any:
    """Register the file that defines the cell ``name`` (the whole project when
    the database does not know it yet) and build the cell with its defaults;
    ``ServeError`` when there is no such cell or it fails to build."""
    import polyforge as pf

    from morvane import passes
    from morvane.core import database

    with database.reading():
        record = database.get_factories_by_name(name).get(name)
    paths = [Path(record.absolute_source())] if record is not None else []
    passes.run_pass(core, paths, reload=False)
    factory = core.get_pdk().cells.get(name)
    if factory is None:
        raise ServeError(f"the project has no cell named {name!r} (`morvane list` shows its cells)")
    try:
        component = factory()
    except Exception as exc:
        message = " ".join(str(exc).split())
        raise ServeError(f"cell {name} failed to build: {type(exc).__name__}: {message}") from None
    if not isinstance(component, pf.Component):
        raise ServeError(f"cell {name} returned {type(component).__name__}, not a Component")
    return component


def _pass_line(summary: dict[str, Any]) -> str:
    what = ", ".join(summary["files"]) if summary["files"] else "full pass"
    if summary["error"]:
        return f"{summary['time']} {what}: pass failed: {summary['error']}"
    counts = summary["counts"]
    errors = counts["errors"]
    return (f"{summary['time']} {what}: {len(summary['written'])} written, "
            f"{len(summary['removed'])} removed, {counts['cells']} cells, "
            f"{errors} error cell{'' if errors == 1 else 's'} ({summary['duration_s']:.3f} s)")


def follow(live: LiveProject, changes: Iterable[tuple[set[Path], set[Path]]], *,
           stop: threading.Event, out: Callable[[str], None]) -> None:
    """Run the watcher's pass (:meth:`LiveProject.apply_changes`) for every
    batch of ``changes`` (``(changed, deleted)`` files, empty between
    events, as :func:`morvane.watch.changes` gives them), until ``stop`` is
    set; a database file replaced under us means a
    pass over the whole project. A change whose pass failed is tried again
    with the next one."""
    from morvane.core import database

    pending_changed: set[Path] = set()
    pending_deleted: set[Path] = set()
    for changed, deleted in changes:
        if stop.is_set():
            return
        notice = database.reopen_if_replaced()
        if notice:
            out(f"{time.strftime('%H:%M:%S')} {notice}")
        pending_changed = (pending_changed - deleted) | changed
        pending_deleted = (pending_deleted - changed) | deleted
        if notice:
            summary = live.run_pass()
        elif pending_changed or pending_deleted:
            summary = live.apply_changes(pending_changed, pending_deleted)
        else:
            continue
        out(_pass_line(summary))
        if not summary["error"]:
            pending_changed, pending_deleted = set(), set()


def run(core: Any, project_dir: Path, *, port: int = 8000, interval: float = 0.5,
        build_timeout: float = 10.0, out: Callable[[str], None] = print) -> int:
    """Serve the live page of the project in ``project_dir`` until Ctrl-C or
    SIGTERM; ``core`` is the ``morvane.core.pdk`` module. Returns 0."""
    from morvane import watch as watcher

    live = LiveProject(core, build_timeout=build_timeout)
    # File events (a look at the files every `interval` seconds without
    # them), followed from before the first pass: a save during it is not lost.
    changes = watcher.changes(project_dir, interval, False, out)
    out(f"Registering all files of {project_dir} ...")
    out(_pass_line(live.run_pass()))
    try:
        server = make_server(live, port)
    except OSError as exc:
        raise ServeError(f"cannot listen on 127.0.0.1:{port}: {exc.strerror or exc}") from None
    thread = threading.Thread(target=server.serve_forever, name="serve", daemon=True)
    thread.start()
    announced = _announce(project_dir, server.url)
    out(f"Serving {server.url} (following the files' changes); press Ctrl-C to stop")

    stop = threading.Event()

    def on_sigterm(signum: int, frame: Any) -> None:
        raise KeyboardInterrupt

    # A service manager's SIGTERM stops the page as Ctrl-C does.
    previous = signal.signal(signal.SIGTERM, on_sigterm)
    try:
        follow(live, changes, stop=stop, out=out)
    except KeyboardInterrupt:
        out("stopped")
    finally:
        signal.signal(signal.SIGTERM, previous)
        _withdraw(announced)
        server.stop()
        thread.join(5)
    return 0
