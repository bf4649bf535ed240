"""Python source files as seen without importing them.

Shared by the call graph (:mod:`morvane.core.callgraph`) and the function
graph (:mod:`morvane.morvane`):

- :func:`iter_python_files` lists the ``.py`` files of a directory tree in a
  fixed order (in each directory ``__init__.py`` first, then the other files,
  then the subdirectories, each group sorted by name), skipping hidden
  directories, ``__pycache__``, build and distribution directories,
  ``*.egg-info``, ``node_modules``, ``site-packages`` and virtual
  environments (any directory holding a ``pyvenv.cfg``). The walk is
  iterative, so a tree of any depth is listed; folders it may not read are
  reported to the caller who asks, not silently left out.
- :class:`FileCache` keeps what the services derive from each file, one
  parse per content of the file, recomputed only when the file changed,
  and the walk's folder listings, listed again only when a folder changed.
- :func:`import_aliases` and :func:`resolve` turn names bound by import
  statements back into the dotted names they stand for.
"""

from __future__ import annotations

import ast
import collections
import contextlib
import copy
import hashlib
import os
import time
from collections.abc import Callable, Iterable, Iterator
from pathlib import Path
from typing import Any

SKIPPED_DIR_NAMES = frozenset({
    "__pycache__", "build", "dist", "node_modules", "site-packages", "venv",
})

Stamp = tuple[int, int, int]


def _skipped_dir(entry: os.DirEntry[str]) -> bool:
    name = entry.name
    if name.startswith(".") or name in SKIPPED_DIR_NAMES or name.endswith(".egg-info"):
        return True
    return os.path.exists(os.path.join(entry.path, "pyvenv.cfg"))


def iter_python_files(root: Path, unreadable: list[Path] | None = None) -> list[Path]:
    """The ``.py`` files under ``root`` (see the module docstring for order and skips).

    Folders that cannot be listed are appended to ``unreadable`` when given.
    """
    out: list[Path] = []
    # Depth first, in the order a recursive walk would take: each folder's
    # subfolders go on the stack in reverse so the first is listed next.
    stack = [Path(root)]
    while stack:
        directory = stack.pop()
        subdirs = _walk(directory, out, unreadable)
        stack.extend(reversed(subdirs))
    return out


def _walk(directory: Path, out: list[Path], unreadable: list[Path] | None = None) -> list[Path]:
    """Append ``directory``'s own files to ``out``; return its subfolders to walk."""
    try:
        with os.scandir(directory) as it:
            entries = sorted(it, key=lambda e: e.name)
    except FileNotFoundError:
        return []  # deleted while the tree was walked
    except OSError:
        if unreadable is not None:
            unreadable.append(directory)
        return []
    files, dirs = [], []
    for entry in entries:
        try:
            if entry.is_dir(follow_symlinks=False):
                if not _skipped_dir(entry):
                    dirs.append(entry)
            elif entry.name.endswith(".py") and entry.is_file():
                files.append(entry)
        except OSError:
            continue
    files.sort(key=lambda e: (e.name != "__init__.py", e.name))
    out.extend(directory / e.name for e in files)
    return [directory / e.name for e in dirs]


def module_name(parts: tuple[str, ...] | list[str]) -> str:
    """Dotted module name of a file given its path components below the import root."""
    parts = list(parts)
    if parts and parts[-1].endswith(".py"):
        parts[-1] = parts[-1][:-3]
    if parts and parts[-1] == "__init__":
        parts.pop()
    return ".".join(parts)


def file_stamp(path: str | os.PathLike[str]) -> Stamp | None:
    """``(mtime_ns, ctime_ns, size)`` of ``path``, or ``None`` when it cannot be read."""
    try:
        st = os.stat(path)
    except OSError:
        return None
    return (st.st_mtime_ns, st.st_ctime_ns, st.st_size)


def parse_source(path: Path) -> ast.Module | None:
    """The syntax tree of ``path``, or ``None`` when it cannot be read or parsed."""
    try:
        source = Path(path).read_bytes()
    except OSError:
        return None
    return _parse(source, path)


def _parse(source: bytes, path: Path) -> ast.Module | None:
    try:
        return ast.parse(source, filename=str(path))
    except (SyntaxError, ValueError, UnicodeDecodeError, RecursionError, MemoryError):
        return None


class _Entry:
    __slots__ = ("stamp", "digest", "racy", "results", "seen")

    def __init__(self, stamp: Stamp, digest: bytes, racy: bool) -> None:
        self.stamp = stamp
        self.digest = digest
        self.racy = racy
        self.results: dict[tuple[Any, ...], Any] = {}
        self.seen = 0  # the look (see FileCache.one_look) that last checked it


# Timestamps of some file systems are coarse (whole seconds, two on FAT): a
# file modified this close to the moment its stamp was taken may be
# rewritten again with the same stamp.
_RACY_NS = 2_000_000_000


class _Folder:
    """One folder's part of :func:`iter_python_files`: its ``.py`` files and
    the subfolders to walk, as listed when its stamp was ``stamp``.

    A folder's modification time changes when an entry is added, removed or
    renamed, so a listing is kept while ``(st_mtime_ns, st_ctime_ns, st_ino,
    st_dev)`` is unchanged, except one taken within :data:`_RACY_NS` of the
    folder's modification time (the FileCache's rule: a coarse clock can
    change the folder again within the same stamp). What the folder's
    stamp does not cover is looked at on every walk: a ``.py`` entry that is
    a symbolic link (its target may change) and whether a subfolder holds a
    ``pyvenv.cfg`` (a change of the subfolder, not of this one).

    A folder listed again that holds the same names, each of the same kind
    (a symbolic link with the same target text), is the kept listing with
    the new stamp: an editor that saves by writing a new file and renaming
    it over the old one changes the folder's stamp on every save, not its
    entries, and what is derived from the listing is kept by its identity.
    """

    __slots__ = ("stamp", "racy", "unreadable", "entries", "links", "dirs", "plain", "names", "walked")

    def __init__(self, stamp: tuple[int, ...], racy: bool) -> None:
        self.stamp = stamp
        self.racy = racy
        self.unreadable = False
        self.entries: list[Path] = []  # the .py files (and links named so), in walk order
        self.links: frozenset[Path] = frozenset()  # those of entries that are symbolic links
        self.plain: frozenset[str] = frozenset()  # the names of the entries that are not
        self.dirs: list[Path] = []  # subfolders not skipped by their name
        # every entry's name and kind, when each could be told (see above)
        self.names: tuple[str, ...] | None = None
        self.walked: list[Path] | None = None  # what files() gave the last walk

    @classmethod
    def look(cls, directory: Path, kept: _Folder | None) -> _Folder | None:
        """``kept`` when it is still the folder's listing, else a new one;
        ``None`` for a folder that is gone."""
        before = time.time_ns()
        try:
            st = os.stat(directory)
        except FileNotFoundError:
            return None
        except OSError:
            folder = cls((), False)
            folder.unreadable = True
            return folder
        stamp = (st.st_mtime_ns, st.st_ctime_ns, st.st_ino, st.st_dev)
        if kept is not None and kept.stamp == stamp and not kept.racy and not kept.unreadable:
            return kept
        folder = cls(stamp, st.st_mtime_ns >= before - _RACY_NS)
        try:
            with os.scandir(directory) as it:
                entries = sorted(it, key=lambda e: e.name)
        except FileNotFoundError:
            return None
        except OSError:
            folder.unreadable = True
            return folder
        files, links, names = [], [], []
        comparable = True  # each entry's kind could be told
        for entry in entries:
            name = entry.name
            try:
                if entry.is_dir(follow_symlinks=False):
                    names.append(name + "/")
                    if not (name.startswith(".") or name in SKIPPED_DIR_NAMES or name.endswith(".egg-info")):
                        folder.dirs.append(directory / name)
                    continue
                if entry.is_symlink():
                    names.append(f"{name}@{os.readlink(entry.path)}")
                else:
                    names.append(name if entry.is_file(follow_symlinks=False) else name + "?")
                if name.endswith(".py") and (entry.is_symlink() or entry.is_file()):
                    files.append(entry)
                    if entry.is_symlink():
                        links.append(directory / name)
            except OSError:
                comparable = False
                continue
        if comparable:
            folder.names = tuple(names)
            if kept is not None and kept.names == folder.names and not kept.unreadable:
                kept.stamp, kept.racy = folder.stamp, folder.racy
                return kept
        files.sort(key=lambda e: (e.name != "__init__.py", e.name))
        folder.entries = [directory / e.name for e in files]
        folder.links = frozenset(links)
        folder.plain = frozenset(e.name for e in files if directory / e.name not in folder.links)
        return folder

    def files(self) -> list[Path]:
        if not self.links:
            return self.entries
        return [p for p in self.entries if p not in self.links or os.path.isfile(p)]

    def subdirs(self) -> list[Path]:
        # A subfolder holding a pyvenv.cfg (a virtual environment) is
        # skipped, asked of the file system on every walk as by _skipped_dir.
        return [d for d in self.dirs if not os.path.exists(os.path.join(d, "pyvenv.cfg"))]


class FileCache:
    """What the services derive from each file's syntax tree, kept while the
    file is unchanged, so that a pass over one saved file parses that file only.

    Analyses are registered by name; ``compute(path, tree, *extra)`` receives
    the parsed tree, or ``None`` for a file that cannot be read or parsed,
    and ``extra`` (the module name and whether it is a package, say). When
    one analysis misses, every registered analysis is computed from the same
    tree for the same ``extra``: a file is parsed once, however many
    services look at it.

    An entry is stale when the file's ``(mtime_ns, size)`` differs from the
    stamp taken before it was read, or when that stamp was taken within two
    seconds of the modification time (a file system with coarse timestamps
    can then rewrite the file without changing it); a stale entry whose
    content digest still matches is kept, results and all. Results are
    shared between callers and must not be changed.

    Inside :meth:`one_look` each file is looked at (stamped, read when
    stale) once: a pass whose services each ask for every file then costs
    one ``stat`` per file, not one per service. A file written during the
    look is seen by the next one.
    """

    def __init__(self) -> None:
        self._analyses: dict[str, Callable[..., Any]] = {}
        self._entries: dict[str, _Entry] = {}
        self.parses = 0
        self._look = 0  # the current look's number; 0 outside one
        self._looks = 0
        self._absent: set[str] = set()  # files found missing in this look
        # Called with each file's text, the tree parsed from it and its digest.
        self.on_parse: Callable[[str, bytes, ast.Module, bytes], None] | None = None
        # root -> its files and unreadable folders, as listed in this look
        self._listings: dict[str, tuple[tuple[Path, ...], list[Path]]] = {}
        # root -> folder -> what the folder held when last listed (see _Folder)
        self._folders: dict[str, dict[str, _Folder]] = {}
        # root -> the last walk's files, handed out again while no folder changed
        self._walks: dict[str, tuple[Path, ...]] = {}
        # While file events report the changes under a root (see events_begin):
        # the root's text, the first look they cover, what they cover, and
        # the files named by an event since a look last found them.
        self._events_root: str | None = None
        self._events_from = 0
        self._events_cover: Callable[[str], bool] = lambda key: True
        self._touched: set[str] = set()
        # get_each's last answer for each analysis (see _EachKept), and what
        # has changed since: each file whose entry was replaced or dropped,
        # with the change's number; `_epoch` moves on when anything else
        # that a kept answer relies on changes (events begin or end, entries
        # or results thrown away wholesale).
        self._each: dict[str, _EachKept] = {}
        self._changes: dict[str, int] = {}
        self._serial = 0
        self._epoch = 0

    @contextlib.contextmanager
    def one_look(self) -> Iterator[None]:
        """Within the block, each file's state is taken once (see the class docstring)."""
        if self._look:
            yield  # nested: the outer look goes on
            return
        self._looks += 1
        self._look = self._looks
        try:
            yield
        finally:
            self._look = 0
            self._absent.clear()
            self._listings.clear()

    @property
    def looking(self) -> bool:
        return self._look != 0

    def python_files(self, root: Path, unreadable: list[Path] | None = None) -> list[Path]:
        """:func:`iter_python_files`, listed once per look (see :meth:`listing`)."""
        return list(self.listing(root, unreadable))

    def listing(self, root: Path, unreadable: list[Path] | None = None) -> tuple[Path, ...]:
        """:func:`iter_python_files` as a tuple, listed once per look. Between
        looks a folder is listed again only when its stamp changed (see
        :class:`_Folder`), and while no folder changed the same tuple is
        returned, so that what callers derive from it can be kept by identity."""
        key = os.fspath(root)
        known = self._listings.get(key) if self._look else None
        if known is None:
            folders: list[Path] = []
            known = (self._walk_cached(Path(root), folders), folders)
            if self._look:
                self._listings[key] = known
        if unreadable is not None:
            unreadable.extend(known[1])
        return known[0]

    def walked(self, root: Path) -> tuple[tuple[Path, ...], dict[str, _Folder]] | None:
        """The listing of ``root`` taken in this look and the folders its walk
        listed (as strings); ``None`` outside a look. While a later look
        hands out the same listing object, no listed folder gained, lost or
        renamed an entry (see :class:`_Folder`)."""
        if not self._look:
            return None
        listing = self.listing(root)
        return listing, self._folders.get(os.fspath(root), {})

    def _walk_cached(self, root: Path, unreadable: list[Path]) -> tuple[Path, ...]:
        """:func:`iter_python_files` from the folders' kept listings."""
        key = os.fspath(root)
        kept = self._folders.get(key, {})
        seen: dict[str, _Folder] = {}
        out: list[Path] = []
        same = True  # every folder as it was and no entry that must be looked at anew
        stack = [root]
        while stack:
            directory = stack.pop()
            folder = _Folder.look(directory, kept.get(os.fspath(directory)))
            if folder is None:
                same = False
                continue  # deleted while the tree was walked
            if folder.unreadable:
                same = False
                unreadable.append(directory)
                continue
            seen[os.fspath(directory)] = folder
            # A link to a file is listed while its target is a file: the
            # walk is the same while each link's is as at the last walk.
            files = folder.files()
            same = same and folder is kept.get(os.fspath(directory)) and (not folder.links or files == folder.walked)
            folder.walked = files
            out.extend(files)
            stack.extend(reversed(folder.subdirs()))
        self._folders[key] = seen
        previous = self._walks.get(key)
        if same and previous is not None and len(seen) == len(kept):
            return previous
        walk = self._walks[key] = tuple(out)
        return walk

    def analysis(self, name: str, compute: Callable[..., Any]) -> None:
        """Register ``compute`` under ``name``; its cached results are dropped."""
        self._analyses[name] = compute
        self._reset_each()
        for entry in self._entries.values():
            for key in [k for k in entry.results if k[0] == name]:
                del entry.results[key]

    def get(self, name: str, path: Path, *extra: Any) -> Any:
        """The result of analysis ``name`` for ``path`` as it is now."""
        entry, data = self._current(path)
        if entry is None:
            return self._analyses[name](path, None, *extra)
        hit = entry.results.get((name, *extra), _MISSING)
        if hit is not _MISSING:
            return hit
        if data is None:
            try:
                data = Path(path).read_bytes()
            except OSError:
                return self._analyses[name](path, None, *extra)
        tree = _parse(data, path)
        self.parses += 1
        if tree is not None and self.on_parse is not None:
            self.on_parse(os.fspath(path), data, tree, entry.digest)
        for other, compute in self._analyses.items():
            entry.results[(other, *extra)] = compute(path, tree, *extra)
        return entry.results[(name, *extra)]

    def get_each(self, name: str, files: Iterable[tuple[Path, str, tuple[Any, ...]]]) -> list[Any]:
        """``[self.get(name, path, *extra) for path, text, extra in files]``,
        ``text`` being ``os.fspath(path)``: one loop over a listing's files,
        each one's state taken as :meth:`get` takes it.

        While file events vouch for every file of the listing (see
        :meth:`events_begin`), the same ``files`` object asked for again gets
        the last answer, with the files that an event has named or whose
        entry changed since taken afresh: a pass over one saved file then
        costs what that file costs, not a loop over the project."""
        kept = self._each.get(name)
        if kept is not None and kept.files is files and self._each_holds(kept):
            return self._each_again(name, kept)
        out = [self._one(name, path, text, extra) for path, text, extra in files]
        self._each_keep(name, files, out)
        return out

    def _one(self, name: str, path: Path, text: str, extra: tuple[Any, ...]) -> Any:
        entry = self._known(text)
        hit = entry.results.get((name, *extra), _MISSING) if entry is not None else _MISSING
        return self.get(name, path, *extra) if hit is _MISSING else hit

    def _each_holds(self, kept: _EachKept) -> bool:
        # A kept answer was made in a look that the present events cover;
        # they vouch for each of its files that no event has named since.
        # (Events beginning move the epoch on, and an answer is kept only
        # in a look they cover.)
        return bool(self._look) and self._events_root is not None and kept.epoch == self._epoch

    def _each_keep(self, name: str, files: Iterable[tuple[Path, str, tuple[Any, ...]]], out: list[Any]) -> None:
        """Keeps ``out`` as the answer for ``files``.  The files that file
        events will vouch for (found in this look, with this answer among
        their results, under the events' root and covered) are taken again
        only when named or changed; the others (outside the root, say) at
        every call, as they would be without it."""
        self._each.pop(name, None)
        root = self._events_root
        if root is None or not self._look or self._look < self._events_from \
                or not isinstance(files, (list, tuple)):
            return
        index: dict[str, int] = {}
        always: list[int] = []
        for i, (_, text, extra) in enumerate(files):
            entry = self._entries.get(text)
            if entry is None or entry.seen != self._look or (name, *extra) not in entry.results \
                    or not text.startswith(root) or not self._events_cover(text) or text in index:
                always.append(i)
            else:
                index[text] = i
        # A copy: the caller's list is the caller's.
        self._each[name] = _EachKept(files, list(out), index, always, self._serial, self._epoch)

    def _each_again(self, name: str, kept: _EachKept) -> list[Any]:
        """The kept answer, with the files named by events or changed since
        it was made taken afresh, in the listing's order."""
        again = {key for key, serial in self._changes.items() if serial > kept.serial}
        again.update(self._touched)
        places = [i for key in again if (i := kept.index.get(key)) is not None]
        places.extend(kept.always)
        places.sort()
        out = kept.out
        for i in places:
            path, text, extra = kept.files[i]
            out[i] = self._one(name, path, text, extra)
        kept.serial = self._serial
        if len(self._changes) > 64:
            # What every kept answer has taken in is of no more use.
            oldest = min(k.serial for k in self._each.values())
            self._changes = {key: serial for key, serial in self._changes.items() if serial > oldest}
        return list(out)

    def _changed_entry(self, key: str) -> None:
        """The entry of ``key`` was replaced or dropped."""
        if len(self._changes) >= 4096:
            self._reset_each()
            return
        self._serial += 1
        self._changes[key] = self._serial

    def _reset_each(self) -> None:
        self._each.clear()
        self._changes.clear()
        self._epoch += 1

    def _known(self, key: str) -> _Entry | None:
        """The file's entry when it is known to hold: seen in this look,
        vouched for by file events, or its stamp unchanged (then it counts
        as seen); None when it must be looked at in full."""
        entry = self._entries.get(key)
        if entry is None:
            return None
        if self._held(key, entry):
            return entry
        stamp = file_stamp(key)
        if stamp is None or entry.stamp != stamp or entry.racy:
            return None
        entry.seen = self._look
        self._touched.discard(key)
        return entry

    # ---- file events ----------------------------------------------------

    def events_begin(self, root: Path, covers: Callable[[str], bool]) -> None:
        """File events report every change under ``root`` from now on, for
        the files ``covers`` accepts (by their text), and :meth:`touched`
        hears of each.  A file a look found as it was then, and that no
        event has named since, is then taken to be as that look found it,
        without a look at its stamp: a pass over one saved file no longer
        stamps every file of the project.  Only looks that begin after this
        call count (they found the files while the events were coming)."""
        self._events_root = os.fspath(root).rstrip(os.sep) + os.sep
        self._events_from = self._looks + 1
        self._events_cover = covers
        self._touched.clear()
        self._reset_each()

    @property
    def events_root(self) -> str | None:
        """The root whose changes file events report now, if any."""
        return self._events_root

    def events_end(self) -> None:
        """The events stopped (or may have missed some): stamps decide again."""
        self._events_root = None
        self._reset_each()

    def touched(self, paths: Iterable[str | os.PathLike[str]]) -> None:
        """An event named these files or folders: each is looked at again
        (every known file in such a folder too) the next time it is asked for."""
        for path in paths:
            key = os.fspath(path)
            self._touched.add(key)
            if not key.endswith(".py"):
                folder = key.rstrip(os.sep) + os.sep
                self._touched.update(k for k in self._entries if k.startswith(folder))

    def _vouched(self, key: str, entry: _Entry) -> bool:
        root = self._events_root
        if root is None or not self._look or entry.seen < self._events_from or not key.startswith(root):
            return False
        return key not in self._touched and self._events_cover(key)

    def seen(self, path: Path) -> bool:
        """Whether this look has found the file: stamped it, or taken it as
        file events vouch for it (see :meth:`_known`)."""
        key = os.fspath(path)
        entry = self._entries.get(key)
        return entry is not None and self._held(key, entry)

    def _held(self, key: str, entry: _Entry) -> bool:
        """Whether the file's entry holds without a look at the file: found
        in this look, or vouched for by file events (it then counts as
        found).  A file this look found missing has no entry."""
        if self._look and entry.seen == self._look:
            return True
        if self._vouched(key, entry):
            entry.seen = self._look
            return True
        return False

    def changed(self, digests: dict[Path, bytes | None], limit: int = 2) -> list[Path]:
        """Those files of ``digests`` (file -> a digest of its content) whose
        content is not that any more, or that cannot be read; the first
        ``limit`` of them."""
        out: list[Path] = []
        for path, digest in digests.items():
            entry, _ = self._current(path)
            if entry is None or entry.digest != digest:
                out.append(path)
                if len(out) >= limit:
                    break
        return out

    def digest(self, path: Path) -> bytes | None:
        """A digest of ``path``'s content as it is now; ``None`` when it cannot be read."""
        entry, _ = self._current(path)
        return None if entry is None else entry.digest

    def _current(self, path: Path) -> tuple[_Entry | None, bytes | None]:
        """The file's entry, made fresh (results dropped when the content
        changed), and its bytes when they had to be read."""
        key = os.fspath(path)
        entry = self._entries.get(key)
        if entry is not None and self._held(key, entry):
            return entry, None
        if self._look and key in self._absent:
            return None, None
        before = time.time_ns()
        stamp = file_stamp(path)
        self._touched.discard(key)
        if stamp is None:
            if self._entries.pop(key, None) is not None:
                self._changed_entry(key)
            if self._look:
                self._absent.add(key)
            return None, None
        if entry is not None and entry.stamp == stamp and not entry.racy:
            entry.seen = self._look
            return entry, None
        try:
            data = Path(path).read_bytes()
        except OSError:
            if self._entries.pop(key, None) is not None:
                self._changed_entry(key)
            if self._look:
                self._absent.add(key)
            return None, None
        digest = hashlib.blake2b(data, digest_size=16).digest()
        racy = stamp[0] >= before - _RACY_NS
        if entry is not None and entry.digest == digest:
            entry.stamp, entry.racy = stamp, racy
        else:
            entry = self._entries[key] = _Entry(stamp, digest, racy)
            self._changed_entry(key)
        entry.seen = self._look
        return entry, data

    def prune(self, keep: Callable[[str], bool]) -> None:
        """Drop the entries of the files (paths as strings) that ``keep`` rejects."""
        for key in [k for k in self._entries if not keep(k)]:
            del self._entries[key]
            self._changed_entry(key)

    def clear(self) -> None:
        self._reset_each()
        self._entries.clear()
        self._touched.clear()
        self._listings.clear()
        self._folders.clear()
        self._walks.clear()

    def __len__(self) -> int:
        return len(self._entries)


_MISSING = object()


class _EachKept:
    """:meth:`FileCache.get_each`'s answer for one ``files`` object: the
    answers, the place of each file that events vouch for, the places taken
    afresh at every call, the change number it is as of, and the epoch it
    belongs to."""

    __slots__ = ("files", "out", "index", "always", "serial", "epoch")

    def __init__(self, files: list[Any] | tuple[Any, ...], out: list[Any], index: dict[str, int],
                 always: list[int], serial: int, epoch: int) -> None:
        self.files, self.out, self.index, self.always = files, out, index, always
        self.serial, self.epoch = serial, epoch


# --------------------------------------------------------------------------
# Module-level statements, imports and name resolution
# --------------------------------------------------------------------------


def walk(node: ast.AST) -> Iterator[ast.AST]:
    """The nodes of ``node``'s tree in the order of :func:`ast.walk`
    (breadth first), at about half its cost: the children are read from the
    fields directly instead of through a generator per node."""
    todo = collections.deque([node])
    pop, push, extend = todo.popleft, todo.append, todo.extend
    AST = ast.AST
    while todo:
        node = pop()
        for name in node._fields:
            value = getattr(node, name, None)
            if isinstance(value, AST):
                push(value)
            elif isinstance(value, list):
                extend([item for item in value if isinstance(item, AST)])
        yield node


def module_statements(tree: ast.Module) -> Iterator[ast.stmt]:
    """Statements that run at module level: the body, and the bodies of
    module-level ``if``, ``try`` and ``with`` blocks (not functions or classes)."""
    stack = list(reversed(tree.body))
    while stack:
        node = stack.pop()
        yield node
        blocks: list[list[ast.stmt]] = []
        if isinstance(node, ast.If):
            blocks = [node.body, node.orelse]
        elif isinstance(node, (ast.Try, ast.TryStar)):
            blocks = [node.body, *(h.body for h in node.handlers), node.orelse, node.finalbody]
        elif isinstance(node, (ast.With, ast.AsyncWith)):
            blocks = [node.body]
        for block in reversed(blocks):
            stack.extend(reversed(block))


def module_functions(tree: ast.Module) -> Iterator[ast.FunctionDef | ast.AsyncFunctionDef]:
    for node in module_statements(tree):
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            yield node


class Aliases:
    """Names bound by a module's imports: ``names`` maps a local name to the
    dotted name it stands for; ``star`` lists the modules imported with ``*``."""

    __slots__ = ("names", "star")

    def __init__(self) -> None:
        self.names: dict[str, str] = {}
        self.star: list[str] = []

    def lookup(self, name: str) -> str | None:
        return self.names.get(name)


def relative_base(module: str, is_package: bool, level: int, target: str | None) -> str | None:
    parts = module.split(".") if module else []
    if not is_package:
        parts = parts[:-1]
    if level > 1:
        if level - 1 > len(parts):
            return None
        parts = parts[: len(parts) - (level - 1)]
    if target:
        parts.append(target)
    return ".".join(parts) if parts else None


def import_aliases(tree: ast.Module, module: str = "", is_package: bool = False) -> Aliases:
    """The import bindings of ``tree``'s module-level statements (including
    those under ``if TYPE_CHECKING:`` and in ``try`` blocks). Relative imports
    are resolved against ``module``, the dotted name of the file (a package's
    ``__init__`` when ``is_package``)."""
    aliases = Aliases()
    for node in module_statements(tree):
        if isinstance(node, ast.Import):
            for a in node.names:
                if a.asname:
                    aliases.names[a.asname] = a.name
                else:
                    top = a.name.split(".")[0]
                    aliases.names[top] = top
        elif isinstance(node, ast.ImportFrom):
            if node.level:
                base = relative_base(module, is_package, node.level, node.module)
            else:
                base = node.module
            if not base:
                continue
            for a in node.names:
                if a.name == "*":
                    aliases.star.append(base)
                else:
                    aliases.names[a.asname or a.name] = f"{base}.{a.name}"
    return aliases


def dotted_name(node: ast.AST) -> str | None:
    """``"a.b.c"`` for a ``Name``/``Attribute`` chain, else ``None``."""
    parts = []
    while isinstance(node, ast.Attribute):
        parts.append(node.attr)
        node = node.value
    if not isinstance(node, ast.Name):
        return None
    parts.append(node.id)
    return ".".join(reversed(parts))


def resolve_dotted(name: str, aliases: Aliases) -> str | None:
    """The dotted name that ``name`` (as written in the module) stands for,
    or ``None`` when its first component is not bound by an import."""
    root, _, rest = name.partition(".")
    target = aliases.lookup(root)
    if target is None:
        return None
    return f"{target}.{rest}" if rest else target


def _expr_for(dotted: str) -> ast.expr:
    parts = dotted.split(".")
    node: ast.expr = ast.Name(id=parts[0], ctx=ast.Load())
    for part in parts[1:]:
        node = ast.Attribute(value=node, attr=part, ctx=ast.Load())
    return node


class _Resolver(ast.NodeTransformer):
    def __init__(self, aliases: Aliases) -> None:
        self.aliases = aliases

    def visit_Name(self, node: ast.Name) -> ast.AST:
        target = self.aliases.lookup(node.id)
        if target is None or target == node.id:
            return node
        return ast.copy_location(_expr_for(target), node)

    def visit_Constant(self, node: ast.Constant) -> ast.AST:
        # A quoted annotation inside a larger one: resolve its text, keep it quoted.
        if isinstance(node.value, str):
            text = resolve_text(node.value, self.aliases)
            if text != node.value:
                return ast.copy_location(ast.Constant(value=text), node)
        return node


def resolve_text(text: str, aliases: Aliases) -> str:
    """``text`` parsed as an expression, its imported names resolved, unparsed
    again; ``text`` unchanged when it is not an expression or has nothing to resolve."""
    try:
        expr = ast.parse(text.strip(), mode="eval").body
    except (SyntaxError, ValueError, RecursionError, MemoryError):
        return text
    resolved = _Resolver(aliases).visit(expr)
    out = ast.unparse(resolved)
    return out if out != ast.unparse(expr) else text


def resolve(node: ast.expr | None, aliases: Aliases) -> str:
    """Source text of an annotation with imported names resolved; a string
    annotation is parsed and resolved too; ``""`` for no annotation."""
    if node is None:
        return ""
    if isinstance(node, ast.Constant) and isinstance(node.value, str):
        text = resolve_text(node.value, aliases)
        return text.strip() if text == node.value else text
    written = dotted_name(node)
    if written is not None:
        # A plain name or attribute chain (``pf.Component``), the common
        # case: only its first name can be replaced, which string work does
        # as the tree rewrite below would, without copying the tree.
        root, dot, rest = written.partition(".")
        target = aliases.lookup(root)
        return written if target is None or target == root else target + dot + rest
    return ast.unparse(_Resolver(aliases).visit(copy.deepcopy(node)))
