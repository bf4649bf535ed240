"""The project's source files imported with their bytecode caches written on
a thread of their own, from the code of the trees the file cache parsed.

A first pass parses every file of the project (for the call graph and the
model search) and then imports it, which compiles the text again and
writes a ``__pycache__`` file, the slowest step of importing a small module
on many file systems (a file made, written and renamed per module).  The
finders put in place for the project's folders load its ``.py`` files as
Python's own source loader does, except that a text the file cache has
just parsed is compiled from that tree (about half the work), and that the
cache file of a module that was compiled is handed to one writer thread,
which writes it once the pass is over (:func:`holding`): a thread writing
during the pass would take the interpreter lock from it at every file
operation.  Nothing is lost: the thread is not a daemon, so the interpreter
finishes the writes before it exits.

A cache file says which source it was made from by the source's
modification time in whole seconds and its size.  A source rewritten
within the same second at the same size after it was compiled would then
be run from a cache made of the old text; the writer therefore checks,
just before it writes, that the source's full stamp is still the one the
compiled text was read with, and leaves the cache unwritten otherwise (the
next import compiles the file again).
"""

from __future__ import annotations

import ast
import collections
import importlib.machinery
import os
import sys
import threading
from collections.abc import Iterable, Iterator
from contextlib import contextmanager
from pathlib import Path
from types import CodeType
from typing import Any

__all__ = ["forget", "holding", "parsed", "use_for", "wait"]

_Stamp = tuple[int, int]


# Code compiled from the syntax trees the file cache parsed for the
# project's files, by file text, until the file is imported: compiling a
# parsed tree is about half the work of compiling the text again.  An entry
# serves only the very bytes its tree was parsed from.
_compiled: dict[str, tuple[bytes, CodeType]] = {}


def parsed(path: str, data: bytes, tree: ast.Module, digest: bytes) -> None:
    """Offer the tree parsed from ``data``, the text of the file ``path``
    whose content digest is ``digest``, to the file's next import (files
    inside the project directory whose module does not run that text
    already)."""
    from morvane import settings
    from morvane.core.engine import session

    try:
        root = os.fspath(settings.get_project_dir())
    except Exception:  # no project: nothing parsed is one of its files
        return
    if not path.startswith(root.rstrip(os.sep) + os.sep):
        return
    file = Path(path)
    ran = session.loaded.get(file)
    if ran is not None and ran.module() is not None and ran.digest == digest:
        return  # imported from this very text (the watcher runs a saved file first)
    try:
        code = compile(tree, path, "exec", dont_inherit=True)
    except Exception:  # an error of the compiler's: the import compiles the text and reports it
        _compiled.pop(path, None)
        return
    _compiled[path] = (data, code)


def forget() -> None:
    """Drop the code of every tree offered and not imported yet."""
    _compiled.clear()


class ProjectSourceLoader(importlib.machinery.SourceFileLoader):
    """Python's source loader, taking the code compiled from a parsed tree of
    the same text, its bytecode cache written by the writer thread."""

    _kept: tuple[bytes, CodeType] | None = None

    def get_code(self, fullname: str) -> CodeType | None:
        # The module is imported now, from its bytecode cache or by
        # compiling its text: either way the code offered for it is taken
        # out of the table here, so that none is held after the import.
        path = self.get_filename(fullname)
        self._kept = _compiled.pop(path, None)
        try:
            return super().get_code(fullname)
        finally:
            self._kept = None

    # (Typing's stubs know the static method of InspectLoader only.)
    def source_to_code(self, data: Any, path: Any, *, _optimize: int = -1) -> CodeType:  # type: ignore[override]
        kept = self._kept
        if kept is None and isinstance(path, str):
            kept = _compiled.pop(path, None)
        if kept is not None and _optimize == -1 and kept[0] == data:
            return kept[1]
        return super().source_to_code(data, path, _optimize=_optimize)

    def path_stats(self, path: str) -> dict[str, Any]:
        st = os.stat(path)
        self._stamp = (path, (st.st_mtime_ns, st.st_size))
        return {"mtime": st.st_mtime, "size": st.st_size}

    def _cache_bytecode(self, source_path: Any, bytecode_path: Any, data: bytes) -> None:
        # get_code asks path_stats right before it reads the text it compiles.
        path, stamp = getattr(self, "_stamp", (None, None))
        if path != source_path or stamp is None:
            return  # nothing known of the text compiled: no cache
        _writer.put((self, source_path, stamp, bytecode_path, data))


class ProjectFinder(importlib.machinery.FileFinder):
    """Python's finder for one folder, loading ``.py`` files with
    :class:`ProjectSourceLoader`."""


def _loader_details() -> list[tuple[type, list[str]]]:
    # The order of Python's own path hook: extension modules, sources, bytecode.
    return [
        (importlib.machinery.ExtensionFileLoader, importlib.machinery.EXTENSION_SUFFIXES),
        (ProjectSourceLoader, importlib.machinery.SOURCE_SUFFIXES),
        (importlib.machinery.SourcelessFileLoader, importlib.machinery.BYTECODE_SUFFIXES),
    ]


def use_for(folders: Iterable[str]) -> None:
    """Let :class:`ProjectFinder` find the modules of ``folders`` (the text of
    ``sys.path`` entries and package folders, as the import system keys
    them).  A folder whose finder is someone else's own (not Python's file
    finder) keeps it."""
    cache = sys.path_importer_cache
    for folder in folders:
        finder = cache.get(folder)
        if type(finder) is ProjectFinder:
            continue
        if finder is None or type(finder) is importlib.machinery.FileFinder:
            cache[folder] = ProjectFinder(folder, *_loader_details())


class _Writer:
    """One thread at a time writes the queued caches, then ends when the
    queue is empty; the next cache queued starts another.  While held (a
    pass runs), caches are queued and no thread is started."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._queue: collections.deque[tuple[Any, ...]] = collections.deque()
        self._thread: threading.Thread | None = None
        self._idle = threading.Condition(self._lock)
        self._holds = 0

    def put(self, item: tuple[Any, ...]) -> None:
        with self._lock:
            self._queue.append(item)
            if self._holds or self._started():
                return
        self._write_queue_here()

    def hold(self) -> None:
        with self._lock:
            self._holds += 1

    def release(self) -> None:
        with self._lock:
            self._holds -= 1
            if self._holds or not self._queue or self._started():
                return
        self._write_queue_here()

    def wait(self) -> None:
        with self._lock:
            here = bool(self._queue) and not self._started()
        if here:
            self._write_queue_here()
        with self._lock:
            while self._running():
                self._idle.wait(1.0)  # and looks again, should a thread end unheard

    def _running(self) -> bool:
        # With the lock held.  A thread that ended without saying so (it
        # always clears `_thread` last, under the lock) is not waited for:
        # only one left behind by a fork or a test's undoing can be.
        if self._thread is not None and not self._thread.is_alive():
            self._thread = None
        return self._thread is not None

    def _started(self) -> bool:
        # With the lock held: whether a thread writes the queue (one is
        # started if none runs).  It waits for the lock, then finds the queue.
        if not self._running():
            thread = threading.Thread(target=self._run, name="morvane bytecode writer")
            try:
                thread.start()
            except RuntimeError:  # no new thread while the interpreter finishes
                return False
            self._thread = thread
        return True

    def _write_queue_here(self) -> None:
        self._write_queue(writer_thread=False)

    def _run(self) -> None:
        self._write_queue(writer_thread=True)

    def _write_queue(self, *, writer_thread: bool) -> None:
        while True:
            with self._lock:
                if not self._queue:
                    if writer_thread:  # under the same lock, so no cache is queued for a thread that has ended
                        self._thread = None
                        self._idle.notify_all()
                    return
                item = self._queue.popleft()
            _write_quietly(item)

    def _after_fork(self) -> None:
        # The child has no writer thread; the parent's writes are the parent's.
        self._lock = threading.Lock()
        self._idle = threading.Condition(self._lock)
        self._queue.clear()
        self._thread = None  # (its holds are those of its own stack, as the parent's were)


def write(loader: ProjectSourceLoader, source_path: str, stamp: _Stamp, bytecode_path: str, data: bytes) -> None:
    """Write one cache, unless its source changed since it was compiled."""
    try:
        st = os.stat(source_path)
    except OSError:
        return
    if (st.st_mtime_ns, st.st_size) != stamp:
        return
    # Python's own way of writing it: the file's mode, its folder made, written atomically.
    cache_bytecode = importlib.machinery.SourceFileLoader._cache_bytecode  # type: ignore[attr-defined]
    cache_bytecode(loader, source_path, bytecode_path, data)


def _write_quietly(item: tuple[Any, ...]) -> None:
    try:
        write(*item)
    except Exception:  # a cache is only ever a saving; the import stands
        pass


_writer = _Writer()
if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_writer._after_fork)


@contextmanager
def holding() -> Iterator[None]:
    """Caches queued within the block are written after it (the outermost
    block, when blocks nest)."""
    _writer.hold()
    try:
        yield
    finally:
        _writer.release()


def wait() -> None:
    """Return once every cache queued so far is written (or left unwritten)."""
    _writer.wait()
