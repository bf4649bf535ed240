"""The incremental engine: every result kept between passes is a query.

A *query* is a plain function of its arguments, called through
:meth:`Session.query`. Its result is memoised together with what the
function read while it ran: the *inputs* (a file's content, by digest; a
folder tree's listing of Python files) and the other queries it called.

The one rule
    A memo is current when everything it read is unchanged.

Each pass of the registration is one *revision*. The first time a pass asks
for an input, the input is looked at and, when its value differs from the
last one, stamped with the new revision (``changed_at``). A memo asked for
in a later revision is checked by walking what it read, in order: a query it
called is brought up to date first (recursively), and as soon as one of them
changed after the memo was last verified, the memo is computed again.

Backdating
    A memo computed again to a value equal to the old one keeps its old
    ``changed_at`` (and the old value object), so nothing that read it is
    computed again. A save that changes a cell's geometry but not its name
    or its calls leaves the call graph's queries as they were.

Stamps and file events only spare hashing
    A file whose ``(mtime_ns, ctime_ns, size)`` stamp is the one of its last
    look, taken more than two seconds after it was written, is taken to hold
    the same content without reading it; a stamp inside that window is read
    and hashed every time (a coarse clock can rewrite a file within one
    stamp). While file events report the changes under a folder
    (:meth:`Session.events_begin`), a file no event has named since its last
    look is taken as that look found it, without a stamp.

One :class:`Session` (``session``) owns everything kept from pass to pass:
the inputs, the memos, the importer's record of the modules it ran, and the
call graph handed out. :meth:`Session.clear` forgets all of it. A driver
opens one revision per pass with :meth:`Session.one_pass`; a service called
outside a pass opens one of its own for the call.
"""

from __future__ import annotations

import contextlib
import gc
import hashlib
import os
import time
import weakref
from collections.abc import Callable, Iterable, Iterator
from pathlib import Path
from types import ModuleType
from typing import Any

from morvane.core import _pysource
from morvane.core._pysource import Folder, file_stamp
from morvane.core.store import MISSING, Store

__all__ = ["Session", "session", "CycleError", "RACY_NS", "NO_CACHE_ENV"]

# Set (to anything but the empty string): no pass reads or writes the store.
NO_CACHE_ENV = "MORVANE_NO_CACHE"

# Timestamps of some file systems are coarse (whole seconds, two on FAT): a
# file modified this close to the moment its stamp was taken may be
# rewritten again with the same stamp.
RACY_NS = 2_000_000_000


class CycleError(RuntimeError):
    """A query asked for its own result while computing it."""


class _Input:
    """A value read from outside: a file's content digest, or a folder
    tree's listing. ``changed_at`` is the revision in which it last took a
    new value, ``verified_at`` the last revision it was looked at in."""

    __slots__ = ("key", "value", "changed_at", "verified_at", "stamp", "racy")

    def __init__(self, key: str) -> None:
        self.key = key
        self.value: Any = None
        self.changed_at = 0
        self.verified_at = 0
        self.stamp: Any = None
        self.racy = False


class _Listing(_Input):
    """A folder tree's listing of Python files (see :meth:`Session.listing`)."""

    __slots__ = ()


class _Memo:
    """A query's memoised result and what it read, in order."""

    __slots__ = ("fn", "args", "value", "deps", "changed_at", "verified_at", "computing")

    def __init__(self, fn: Callable[..., Any], args: tuple[Any, ...]) -> None:
        self.fn = fn
        self.args = args
        self.value: Any = None
        self.deps: tuple[_Input | _Memo, ...] = ()
        self.changed_at = 0
        self.verified_at = 0  # 0: never computed
        self.computing = False


class Load:
    """What the importer ran: the module object (weakly), the content digest
    of its file at that moment, the digest of the file and of every project
    file it imports, and the run's number."""

    __slots__ = ("module", "digest", "fingerprint", "run")

    def __init__(self, module: ModuleType, digest: bytes | None, fingerprint: bytes | None, run: int) -> None:
        self.module = weakref.ref(module)
        self.digest = digest
        self.fingerprint = fingerprint
        self.run = run


def _same(a: Any, b: Any) -> bool:
    if a is b:
        return True
    try:
        return bool(a == b)
    except Exception:  # a value that cannot be compared is taken as new
        return False


class Session:
    """Everything kept between passes (see the module docstring)."""

    def __init__(self) -> None:
        self.revision = 1
        self._depth = 0  # nesting of one_pass()
        self._files: dict[str, _Input] = {}
        self._listings: dict[str, _Listing] = {}
        self._memos: dict[tuple[Any, ...], _Memo] = {}
        self._frames: list[list[_Input | _Memo]] = []
        # A file's bytes read in this revision to hash them, for its parse.
        self._data: dict[str, bytes] = {}
        # (an absolute folder, a path relative to it) -> the path resolved,
        # for this revision; and the files listed in this revision under a
        # folder that is its own resolved path, less symbolic links: each
        # of them resolves to itself (the walk enters no linked folder).
        self._resolved: dict[tuple[Any, str], Path] = {}
        self._plain: set[str] = set()
        self._per_pass: dict[Callable[[], Any], Any] = {}
        # The store on disk of the project being worked on (use_store), and
        # whether the project's store may be used (the command line's
        # --no-cache turns it off for one command).
        self.store: Store | None = None
        self.caching = True
        # root -> folder -> its listing when last walked (stamps spare the walk)
        self._folders: dict[str, dict[str, Folder]] = {}
        # While file events report the changes under a folder: its text, the
        # first revision they cover, which files they cover, and the paths
        # an event named since.
        self._events_root: str | None = None
        self._events_from = 0
        self._events_cover: Callable[[str], bool] = lambda key: True
        self._touched: set[str] = set()
        # The per-file analyses, by name: compute(path, tree, module, is_package).
        self._analyses: dict[str, Callable[..., Any]] = {}
        # Called with a file's text, the tree parsed from it and its digest.
        self.on_parse: Callable[[str, bytes, Any, bytes], None] | None = None
        self.parses = 0
        # The importer's record: file -> the run of its module that went to
        # the end, and file -> the number of its last run (to the end or not).
        self.loaded: dict[Path, Load] = {}
        self.last_run: dict[Path, int] = {}
        self.runs = 0
        # What the importer worked out from that record for one revision and
        # run count: file -> the latest run of it or of a file it imports.
        self.latest_runs: tuple[int, int, dict[Path, int]] | None = None
        # The call graph handed out, kept and brought up to date in place.
        self.graph: Any = None
        self._on_clear: list[Callable[[], None]] = []
        # Entered around every pass (the bytecode writer holds its writes).
        self.around_pass: list[Callable[[], contextlib.AbstractContextManager[Any]]] = []

    # ---- passes -----------------------------------------------------------

    @contextlib.contextmanager
    def one_pass(self) -> Iterator[None]:
        """One revision: within the block each input is looked at once, and
        a file written during it is seen by the next pass. Nested blocks
        belong to the outer one."""
        if self._depth:
            self._depth += 1
            try:
                yield
            finally:
                self._depth -= 1
            return
        self.revision += 1
        # Paths resolved in the last revision served the calls made since
        # (records asked for their files between two passes, as a library
        # caller's register_cells does between its services); a new pass
        # resolves afresh.
        self._resolved.clear()
        self._plain.clear()
        self._depth = 1
        # A pass makes hundreds of thousands of containers that live until
        # it ends and then die by reference counting; the cyclic collector
        # would scan them over and over while they live. It is paused for
        # the pass and left as it was after it.
        collecting = gc.isenabled()
        gc.disable()
        try:
            with contextlib.ExitStack() as around:
                for enter in self.around_pass:
                    around.enter_context(enter())
                yield
        finally:
            self._depth = 0
            self._data.clear()
            self._per_pass.clear()
            if collecting:
                gc.enable()
            if self.store is not None:
                self.store.flush()

    @property
    def in_pass(self) -> bool:
        return self._depth != 0

    # ---- queries ----------------------------------------------------------

    def query(self, fn: Callable[..., Any], *args: Any) -> Any:
        """``fn(*args)``, memoised under the rule of the module docstring.
        ``fn`` must be a plain function of ``args`` and of what it reads
        through this session; its result must not be changed by callers."""
        if not self._depth:
            with self.one_pass():
                return self.query(fn, *args)
        key = (fn, *args)
        memo = self._memos.get(key)
        if memo is None:
            memo = self._memos[key] = _Memo(fn, args)
        if memo.verified_at != self.revision:
            self._bring_up_to_date(memo)
        if self._frames:
            self._frames[-1].append(memo)
        return memo.value

    def _bring_up_to_date(self, memo: _Memo) -> None:
        if memo.verified_at and self._unchanged(memo):
            memo.verified_at = self.revision
        else:
            self._compute(memo)

    def _unchanged(self, memo: _Memo) -> bool:
        """Whether nothing ``memo`` read changed after it was last verified."""
        revision, verified = self.revision, memo.verified_at
        for dep in memo.deps:
            if dep.verified_at != revision:
                if type(dep) is _Memo:
                    self._bring_up_to_date(dep)
                elif type(dep) is _Listing:
                    self._check_listing(dep)
                else:
                    self._check_file(dep)  # type: ignore[arg-type]
            if dep.changed_at > verified:
                return False
        return True

    def _compute(self, memo: _Memo) -> None:
        if memo.computing:
            raise CycleError(f"query {memo.fn.__qualname__}{memo.args!r} asked for itself")
        memo.computing = True
        self._frames.append([])
        try:
            value = memo.fn(*memo.args)
        finally:
            deps = self._frames.pop()
            memo.computing = False
        memo.deps = tuple(deps)
        if not memo.verified_at or not _same(value, memo.value):
            memo.value = value
            memo.changed_at = self.revision
        memo.verified_at = self.revision

    # ---- file contents ----------------------------------------------------

    def digest(self, path: str | os.PathLike[str]) -> bytes | None:
        """A digest of the file's content as this pass found it; ``None``
        when it cannot be read."""
        if not self._depth:
            with self.one_pass():
                return self.digest(path)
        key = os.fspath(path)
        found = self._files.get(key)
        if found is None:
            found = self._files[key] = _Input(key)
        if found.verified_at != self.revision:
            self._check_file(found)
        if self._frames:
            self._frames[-1].append(found)
        return found.value  # type: ignore[no-any-return]

    def read(self, path: str | os.PathLike[str]) -> bytes | None:
        """The file's bytes as this pass found them (read again when its
        digest came from its stamp), recorded as a read of its digest."""
        key = os.fspath(path)
        if self.digest(key) is None:
            return None
        data = self._data.pop(key, None)
        if data is None:
            try:
                with open(key, "rb") as f:
                    data = f.read()
            except OSError:
                return None
        return data

    def seen(self, path: str | os.PathLike[str]) -> bool:
        """Whether this pass has found the file there (looked at it, or taken
        it as file events vouch for it)."""
        found = self._files.get(os.fspath(path)) if self._depth else None
        return found is not None and found.verified_at == self.revision and found.value is not None

    def _check_file(self, found: _Input) -> None:
        key = found.key
        if self._vouched(found):
            found.verified_at = self.revision
            return
        self._touched.discard(key)
        before = time.time_ns()
        stamp = file_stamp(key)
        value = found.value
        store = self.store
        if found.stamp is None and stamp is not None and store is not None:
            # A new process: the stored look counts as this process's own
            # last look, under the same rule.
            kept = store.file(key)
            if kept is not None and kept[0] == stamp and not kept[1]:
                found.stamp, found.racy, value = stamp, False, kept[2]
        if stamp is None:
            value = None
        elif stamp != found.stamp or found.racy or value is None:
            try:
                with open(key, "rb") as f:
                    data = f.read()
            except OSError:
                value, stamp = None, None
            else:
                value = hashlib.blake2b(data, digest_size=16).digest()
                self._data[key] = data
        found.stamp = stamp
        found.racy = stamp is not None and stamp[0] >= before - RACY_NS
        if store is not None:
            store.keep_file(key, stamp, found.racy, value)
        if value != found.value or not found.changed_at:
            found.value = value
            found.changed_at = self.revision
        found.verified_at = self.revision

    def _vouched(self, found: _Input) -> bool:
        root = self._events_root
        return (root is not None and found.verified_at >= self._events_from and found.key.startswith(root)
                and found.key not in self._touched and self._events_cover(found.key))

    def per_pass(self, fn: Callable[[], Any]) -> Any:
        """``fn()``, called once per pass (a setting, say, that a pass reads
        thousands of times and that does not change while it runs)."""
        if not self._depth:
            return fn()
        try:
            return self._per_pass[fn]
        except KeyError:
            value = self._per_pass[fn] = fn()
            return value

    def resolved(self, folder: str | os.PathLike[str], relative: str = "") -> Path:
        """``(Path(folder) / relative).resolve()``, once per revision for an
        absolute ``folder``: within a pass, and between it and the next one
        (the links on the way are taken as they were when first asked; a
        file the revision's listing found, no link on its way, resolves to
        itself)."""
        key = (folder, relative)
        found = self._resolved.get(key)
        if found is None:
            revision = self.revision
            path = Path(folder) / relative if relative else Path(folder)
            found = path if os.fspath(path) in self._plain else path.resolve()
            # Not kept when a pass began meanwhile (another thread's): it
            # resolves afresh.
            if os.path.isabs(folder) and self.revision == revision:
                self._resolved[key] = found
        return found

    # ---- listings ---------------------------------------------------------

    def listing(self, root: str | os.PathLike[str]) -> tuple[tuple[Path, ...], tuple[Path, ...]]:
        """The Python files under ``root`` in walk order (see
        :func:`morvane.core._pysource.iter_python_files`) and the folders that
        could not be read, as this pass found them. A folder is listed again
        only when its stamp changed."""
        if not self._depth:
            with self.one_pass():
                return self.listing(root)
        key = os.fspath(root)
        found = self._listings.get(key)
        if found is None:
            found = self._listings[key] = _Listing(key)
        if found.verified_at != self.revision:
            self._check_listing(found)
        if self._frames:
            self._frames[-1].append(found)
        return found.value  # type: ignore[no-any-return]

    def _check_listing(self, found: _Input) -> None:
        key = found.key
        kept = self._folders.get(key, {})
        seen: dict[str, Folder] = {}
        files: list[Path] = []
        unreadable: list[Path] = []
        own = self._depth and Path(key).resolve() == Path(key)  # no link on the way to the root
        # Every folder listed as at the last walk, none holding a link (whose
        # target may have changed): the same listing, without comparing it.
        same = bool(found.changed_at)
        stack = [Path(key)]
        while stack:
            directory = stack.pop()
            text = os.fspath(directory)
            folder = Folder.look(directory, kept.get(text), RACY_NS)
            if folder is None:
                same = False
                continue  # deleted while the tree was walked
            if folder.unreadable:
                same = False
                unreadable.append(directory)
                continue
            seen[text] = folder
            same = same and folder is kept.get(text) and not folder.links
            listed = folder.files()
            files.extend(listed)
            if own:
                self._plain.update(os.fspath(p) for p in listed if p not in folder.links)
            stack.extend(reversed(folder.subdirs()))
        self._folders[key] = seen
        if same and len(seen) == len(kept):
            found.verified_at = self.revision
            return
        value = (tuple(files), tuple(unreadable))
        if not found.changed_at or value != found.value:
            found.value = value
            found.changed_at = self.revision
        found.verified_at = self.revision

    # ---- per-file analyses ------------------------------------------------

    def analysis(self, name: str, compute: Callable[..., Any]) -> None:
        """Register a per-file analysis: ``compute(path, tree, module,
        is_package)`` gets the file's syntax tree, or ``None`` for a file
        that cannot be read or parsed. All analyses of a file are computed
        from one parse."""
        self._analyses[name] = compute
        self._memos.clear()

    def analysed(self, name: str, path: str | os.PathLike[str], module: str, is_package: bool) -> Any:
        """The result of analysis ``name`` for the file as this pass found it.
        Each analysis is a query of its own over the file's one parse, so an
        edit that leaves it equal (a changed default leaves the imports and
        the calls as they were) is backdated and changes nothing that read it."""
        return self.query(_file_analysis, self, name, os.fspath(path), module, is_package)

    # ---- file events --------------------------------------------------------

    def events_begin(self, root: Path, covers: Callable[[str], bool]) -> None:
        """File events report every change under ``root`` from the next pass
        on, for the files ``covers`` accepts (by their text), and
        :meth:`touched` hears of each. A file looked at since, and named by no
        event, is then taken to be as that look found it."""
        self._events_root = os.fspath(root).rstrip(os.sep) + os.sep
        self._events_from = self.revision + 1
        self._events_cover = covers
        self._touched.clear()

    @property
    def events_root(self) -> str | None:
        """The folder whose changes file events report now, if any."""
        return self._events_root

    def events_end(self) -> None:
        """The events stopped (or may have missed some): stamps decide again."""
        self._events_root = None

    def touched(self, paths: Iterable[str | os.PathLike[str]]) -> None:
        """An event named these files or folders: each is looked at again
        (every known file in such a folder too) the next time it is asked for."""
        for path in paths:
            key = os.fspath(path)
            self._touched.add(key)
            if not key.endswith(".py"):
                folder = key.rstrip(os.sep) + os.sep
                self._touched.update(k for k in self._files if k.startswith(folder))

    # ---- the store on disk -------------------------------------------------

    def use_store(self, folder: Path | None, *, read_only: bool = False) -> None:
        """Keep file digests and analyses in the store in ``folder`` (see
        :mod:`morvane.core.store`), read when a file is first looked at and
        written at the end of each pass; ``None``: no store. ``read_only``:
        read it if it is there, never write it."""
        if (self.store is not None and folder is not None and self.store.folder == folder
                and self.store.read_only == read_only):
            return
        if self.store is not None:
            self.store.flush()
            self.store.close()
        self.store = None if folder is None else Store(folder, _notice, read_only=read_only)

    def use_project_store(self, *, read_only: bool = False) -> None:
        """Keep what the passes work out in the current project's store
        (``.morvane/cache.sqlite``), so that the next process starts warm;
        none when :attr:`caching` is false or :data:`NO_CACHE_ENV` is set.
        ``read_only`` (the commands that only read): use it if it is there,
        never create or write it."""
        if not self.caching or os.environ.get(NO_CACHE_ENV):
            self.use_store(None)
            return
        from morvane import settings

        self.use_store(Path(settings.get_project_dir()) / ".morvane", read_only=read_only)

    def stored_graph(self, root: str | os.PathLike[str]) -> dict[str, list[str]] | None:
        """The call graph of the last pass over the project in ``root``, as
        the store keeps it (``{factory: [the factories it calls]}``); ``None``
        without a store or such a graph."""
        from morvane.core import store

        if self.store is None:
            return None
        value = self.store.value(store.graph_key(root))
        return value if isinstance(value, dict) else None

    # ---- forgetting ---------------------------------------------------------

    def on_clear(self, forget: Callable[[], None]) -> None:
        """Call ``forget`` from :meth:`clear` (state kept outside the session
        that is derived from it)."""
        self._on_clear.append(forget)

    def drop_files(self, keep: Callable[[str], bool]) -> None:
        """Forget the inputs and analyses of the files (as text) ``keep`` rejects."""
        gone = [k for k in self._files if not keep(k)]
        if not gone:
            return
        for key in gone:
            del self._files[key]
            if self.store is not None:
                self.store.forget(key)
        # And every query of one of those files: a query is keyed by the
        # file's path as text.
        dropped = set(gone)
        for memo in [k for k in self._memos if any(type(a) is str and a in dropped for a in k[1:])]:
            del self._memos[memo]

    def clear(self) -> None:
        """Forget everything kept between passes."""
        self._files.clear()
        self._listings.clear()
        self._memos.clear()
        self._data.clear()
        self._resolved.clear()
        self._plain.clear()
        self._folders.clear()
        self._touched.clear()
        self.loaded.clear()
        self.last_run.clear()
        self.latest_runs = None
        self.graph = None
        self.use_store(None)
        for forget in self._on_clear:
            forget()

    def __len__(self) -> int:
        return len(self._memos)


def _notice(message: str) -> None:
    from morvane.logger import get_logger

    get_logger().warning(message)


def _file_analyses(session: Session, text: str, module: str, is_package: bool) -> dict[str, Any]:
    """Every registered analysis of one file, from one parse."""
    store = session.store
    digest = session.digest(text) if store is not None else None
    data = session.read(text)
    tree = None
    path = Path(text)
    if data is not None:
        tree = _pysource.parse_bytes(data, path)
        session.parses += 1
        if tree is not None and session.on_parse is not None:
            digest = session.digest(text)
            if digest is not None:
                session.on_parse(text, data, tree, digest)
    values = {name: compute(path, tree, module, is_package) for name, compute in session._analyses.items()}
    if digest is not None and store is not None and session.digest(text) == digest:
        store.keep_analyses(text, module, is_package, digest, values)
    return values


def _file_analysis(session: Session, name: str, text: str, module: str, is_package: bool) -> Any:
    """One analysis of one file: kept in the store for this content, or
    worked out with the file's other analyses from one parse."""
    store = session.store
    if store is not None:
        digest = session.digest(text)
        if digest is not None:
            kept = store.analysis(text, module, is_package, name, digest)
            if kept is not MISSING:
                return kept
    return session.query(_file_analyses, session, text, module, is_package)[name]


session = Session()
