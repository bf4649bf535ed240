"""The engine's store on disk: what a new process need not work out again.

One SQLite file per project (``.morvane/cache.sqlite``) holds, for each file
a pass looked at:

- its last stamp ``(mtime_ns, ctime_ns, size)`` and content digest, so that a
  new process takes an unchanged file's digest from its stamp, under the
  same rule the engine applies within a process (a stamp taken inside the
  two-second window is not trusted);
- values a pass leaves for the commands that only read (the call graph of
  the last pass, which ``show`` answers from);
- its per-file analyses, each on its own (a pass that needs a file's imports
  does not read its function records), keyed by the file, its module name
  and whether it is a package, and valid for one content digest only.

The file is keyed by its format (``PRAGMA user_version``) and by a
*context*: the interpreter's version and a stamp of the installed package's
own files, so an upgrade, a reinstall or another interpreter starts afresh.
A store that cannot be opened or read, or that was written under another
format or context, is emptied and built again, with one notice; it is never
an error: every failure turns the store off for the process or drops what a
write would have added.

Reads happen on demand: the first file looked at reads the stamps of all,
the first analysis of a kind asked for reads that kind's entries of all
files (a pass needs most of them; one query costs less than a thousand),
and an entry is unpickled when it is first asked for. Writes gather during a
pass and go to disk at its end in one transaction; SQLite's locking keeps
two processes writing at once from corrupting the file, and a write that
cannot get the lock within a moment is dropped (the next pass writes again
what it found). Entries of files found deleted are removed; entries of files
that went away while no process ran are removed by the first write of the
next process that uses the store.
"""

from __future__ import annotations

import hashlib
import io
import os
import pickle
import sqlite3
import sys
from pathlib import Path
from typing import Any

__all__ = ["Store", "FORMAT", "FILENAME", "MISSING", "context", "remove", "graph_key"]

# Raised whenever the layout of the tables or of what they hold changes.
FORMAT = 3
FILENAME = "cache.sqlite"

_SCHEMA = """
CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS files (
    path BLOB PRIMARY KEY, mtime_ns INTEGER, ctime_ns INTEGER, size INTEGER,
    racy INTEGER NOT NULL, digest BLOB NOT NULL);
CREATE TABLE IF NOT EXISTS kept (key BLOB PRIMARY KEY, data BLOB NOT NULL);
CREATE TABLE IF NOT EXISTS analyses (
    path BLOB NOT NULL, module BLOB NOT NULL, is_package INTEGER NOT NULL, name TEXT NOT NULL,
    digest BLOB NOT NULL, data BLOB NOT NULL, PRIMARY KEY (path, module, is_package, name));
"""

_context: str | None = None

# What Store.analysis gives for an analysis it does not hold.
MISSING: Any = object()


def context() -> str:
    """What the entries depend on besides a file's content: this interpreter
    and the installed package's own files (their names, sizes and times)."""
    global _context
    if _context is None:
        package = Path(__file__).resolve().parent.parent
        h = hashlib.blake2b(digest_size=16)
        h.update(sys.version.encode())
        h.update(sys.implementation.cache_tag.encode() if sys.implementation.cache_tag else b"")
        for folder, dirs, files in os.walk(package):
            dirs[:] = sorted(d for d in dirs if d != "__pycache__")
            for name in sorted(files):
                if name.endswith((".py", ".so")):
                    st = os.stat(os.path.join(folder, name))
                    h.update(f"{os.path.relpath(os.path.join(folder, name), package)}:{st.st_size}:{st.st_mtime_ns}\n"
                             .encode())
        _context = h.hexdigest()
    return _context


def graph_key(root: str | os.PathLike[str]) -> str:
    """The key of the call graph of the last pass over the project in ``root``:
    ``{factory: [the factories it calls]}``."""
    return f"call graph of {os.fspath(root)}"


def remove(folder: Path) -> bool:
    """Delete the store in ``folder`` (its side files too); whether there was
    one. ``OSError`` when one cannot be deleted."""
    found = False
    for suffix in ("", "-wal", "-shm", "-journal"):
        try:
            os.unlink(folder / (FILENAME + suffix))
            found = True
        except (FileNotFoundError, NotADirectoryError):
            pass
    return found


class _Unpickler(pickle.Unpickler):
    """Analyses hold plain containers, numbers, strings and the call graph's
    two record tuples; anything else in the file is not ours."""

    _ALLOWED = {("morvane.core.callgraph", "_FileInfo"), ("morvane.core.callgraph", "_Factory")}

    def find_class(self, module: str, name: str) -> Any:
        if (module, name) in self._ALLOWED:
            return super().find_class(module, name)
        raise pickle.UnpicklingError(f"{module}.{name} is not allowed in the store")


def _b(text: str) -> bytes:
    """A path, module name or key as the store holds it: the bytes the file
    system gives (a file name need not be UTF-8)."""
    return os.fsencode(text)


class _Raw:
    """An entry as read, not yet unpickled."""

    __slots__ = ("data",)

    def __init__(self, data: bytes) -> None:
        self.data = data


def _loads(data: bytes) -> Any:
    return _Unpickler(io.BytesIO(data)).load()


class Store:
    """The store of one project folder (see the module docstring)."""

    def __init__(self, folder: Path, notice: Any, *, read_only: bool = False) -> None:
        self.folder = folder
        self.path = folder / FILENAME
        # Read only: never create, change or remove the file (the commands
        # that only read); a store that is missing, foreign or damaged is
        # then simply not used.
        self.read_only = read_only
        self._notice = notice
        self._db: sqlite3.Connection | None = None
        self._files: dict[str, tuple[Any, ...] | None] = {}
        self._analyses: dict[tuple[str, str, bool, str], tuple[bytes, Any] | None] = {}
        self._dirty_files: dict[str, tuple[Any, ...] | None] = {}
        self._dirty_analyses: dict[tuple[str, str, bool, str], tuple[bytes, Any]] = {}
        self._dirty_values: dict[str, Any] = {}
        self._pruned = False
        self._broken = False
        self._failures = 0
        self._files_read = False
        self._names_read: set[str] = set()

    # ---- opening ------------------------------------------------------------

    def _connect(self) -> sqlite3.Connection | None:
        if self._db is not None or self._broken:
            return self._db
        if self.read_only:
            try:
                self._db = self._open_to_read()
            except (sqlite3.Error, OSError, ValueError):
                self._close()
                self._broken = True
            return self._db
        try:
            self._db = self._open()
        except (sqlite3.Error, OSError, ValueError) as exc:
            self._close()
            try:
                remove(self.folder)
                self._db = self._open()
            except (sqlite3.Error, OSError, ValueError):
                self._close()
                self._broken = True
                self._notice(f"the cache {self.path} cannot be used ({exc}); working without it")
            else:
                self._notice(f"the cache {self.path} cannot be read ({exc}); starting a new one")
        return self._db

    def _open_to_read(self) -> sqlite3.Connection | None:
        if not self.path.is_file():
            return None
        # An SQLite URI of the file (Path.as_uri would import urllib.request,
        # a tenth of what a read-only command costs; urllib.parse is imported
        # here, as only the read-only commands need it).
        import urllib.parse

        uri = "file:" + urllib.parse.quote(os.fsencode(self.path.absolute()), safe="/")
        db = sqlite3.connect(f"{uri}?mode=ro", uri=True, timeout=2.0, isolation_level=None,
                             check_same_thread=False)
        self._db = db
        version = db.execute("PRAGMA user_version").fetchone()[0]
        row = db.execute("SELECT value FROM meta WHERE key='context'").fetchone() if version == FORMAT else None
        if row is None or row[0] != context():
            self._close()
            return None
        return db

    def _open(self) -> sqlite3.Connection:
        self.folder.mkdir(parents=True, exist_ok=True)
        db = sqlite3.connect(self.path, timeout=2.0, isolation_level=None, check_same_thread=False)
        self._db = db
        db.execute("PRAGMA journal_mode=WAL")
        db.execute("PRAGMA synchronous=NORMAL")
        # A pass writes little: keep the write-ahead log small, so that the
        # store stays near the size of what it holds.
        db.execute("PRAGMA wal_autocheckpoint=64")
        db.execute("PRAGMA journal_size_limit=262144")
        db.execute("BEGIN IMMEDIATE")
        try:
            version = db.execute("PRAGMA user_version").fetchone()[0]
            tables = {r[0] for r in db.execute("SELECT name FROM sqlite_master WHERE type='table'")}
            stored = None
            if version == FORMAT and "meta" in tables:
                row = db.execute("SELECT value FROM meta WHERE key='context'").fetchone()
                stored = row[0] if row else None
            if version != FORMAT or stored != context():
                if tables:
                    self._notice(f"the cache {self.path} was written by another version; starting a new one")
                for table in tables:
                    db.execute(f'DROP TABLE IF EXISTS "{table}"')
                for statement in _SCHEMA.split(";"):
                    if statement.strip():
                        db.execute(statement)
                db.execute("INSERT OR REPLACE INTO meta VALUES ('context', ?)", (context(),))
                db.execute(f"PRAGMA user_version={FORMAT}")
            db.execute("COMMIT")
        except BaseException:
            if db.in_transaction:
                db.execute("ROLLBACK")
            raise
        return db

    def _close(self) -> None:
        if self._db is not None:
            try:
                self._db.close()
            except sqlite3.Error:
                pass
        self._db = None

    def _failed(self, exc: Exception) -> None:
        """A read or write failed: the file is not a store we can use."""
        self._close()
        if self.read_only:
            self._broken = True
            return
        self._files.clear()
        self._analyses.clear()
        self._files_read = False
        self._names_read.clear()
        # A second failure in one process: the store stays off (one notice
        # more, not one a pass).
        self._failures += 1
        self._broken = self._failures > 1
        self._notice(f"the cache {self.path} cannot be used ({exc}); "
                     + ("working without it" if self._broken else "starting a new one"))
        try:
            remove(self.folder)
        except OSError:
            self._broken = True

    # ---- reading ------------------------------------------------------------

    def file(self, path: str) -> tuple[Any, bool, bytes] | None:
        """``(stamp, racy, digest)`` of the file's last look, or ``None``."""
        if path in self._dirty_files:
            return self._dirty_files[path]
        if not self._files_read:
            self._read_files()
        return self._files.get(path)

    def _read_files(self) -> None:
        # All at once: a pass looks at every file of the project, and one
        # query costs less than a thousand.
        self._files_read = True
        db = self._connect()
        if db is None:
            return
        try:
            rows = db.execute("SELECT path, mtime_ns, ctime_ns, size, racy, digest FROM files").fetchall()
        except sqlite3.Error as exc:
            self._failed(exc)
            return
        for path, mtime, ctime, size, racy, digest in rows:
            self._files.setdefault(os.fsdecode(bytes(path)), ((mtime, ctime, size), bool(racy), bytes(digest)))

    def analysis(self, path: str, module: str, is_package: bool, name: str, digest: bytes) -> Any:
        """The analysis ``name`` kept for the file with that content, or
        :data:`MISSING`."""
        key = (path, module, is_package, name)
        found = self._dirty_analyses.get(key)
        if found is None:
            if name not in self._names_read:
                self._read_analyses(name)
            found = self._analyses.get(key)
        if found is None or found[0] != digest:
            return MISSING
        value = found[1]
        if type(value) is _Raw:
            try:
                value = _loads(value.data)
            except Exception as exc:  # a damaged entry: the file is worked out again
                self._notice(f"the cache {self.path} holds a damaged entry for {path} ({exc}); ignoring it")
                del self._analyses[key]
                return MISSING
            self._analyses[key] = (found[0], value)
        return value

    def _read_analyses(self, name: str) -> None:
        # Every file's entry of one analysis in one query; each is
        # unpickled when first asked for.
        self._names_read.add(name)
        db = self._connect()
        if db is None:
            return
        try:
            rows = db.execute("SELECT path, module, is_package, digest, data FROM analyses WHERE name=?",
                              (name,)).fetchall()
        except sqlite3.Error as exc:
            self._failed(exc)
            return
        for path, module, is_package, digest, data in rows:
            key = (os.fsdecode(bytes(path)), os.fsdecode(bytes(module)), bool(is_package), name)
            self._analyses.setdefault(key, (bytes(digest), _Raw(bytes(data))))

    def value(self, key: str) -> Any:
        """The value last kept under ``key``, or :data:`MISSING`."""
        if key in self._dirty_values:
            return self._dirty_values[key]
        db = self._connect()
        if db is None:
            return MISSING
        try:
            row = db.execute("SELECT data FROM kept WHERE key=?", (_b(key),)).fetchone()
        except sqlite3.Error as exc:
            self._failed(exc)
            return MISSING
        if row is None:
            return MISSING
        try:
            return _loads(row[0])
        except Exception as exc:
            self._notice(f"the cache {self.path} holds a damaged entry for {key} ({exc}); ignoring it")
            return MISSING

    # ---- writing ------------------------------------------------------------

    def keep_value(self, key: str, value: Any) -> None:
        """Keep ``value`` (plain containers, numbers and strings) under ``key``."""
        self._dirty_values[key] = value

    def keep_file(self, path: str, stamp: Any, racy: bool, digest: bytes | None) -> None:
        """The file's look: its stamp and digest, or (``digest`` None) that it is gone."""
        entry = None if digest is None or stamp is None else (stamp, racy, digest)
        if self.file(path) != entry:
            self._dirty_files[path] = entry

    def forget(self, path: str) -> None:
        """The file is gone (or no longer the project's): drop its entries."""
        self._dirty_files[path] = None
        self._files.pop(path, None)

    def keep_analyses(self, path: str, module: str, is_package: bool, digest: bytes,
                      values: dict[str, Any]) -> None:
        """The analyses of the file with content ``digest``."""
        for name, value in values.items():
            self._dirty_analyses[(path, module, is_package, name)] = (digest, value)

    @property
    def pending(self) -> bool:
        # A store this process opened is also pruned once.
        return bool(self._dirty_files or self._dirty_analyses or self._dirty_values) or (
            not self._pruned and self._db is not None)

    def flush(self) -> None:
        """Write what this pass found, in one transaction; drop it when the
        store is busy or cannot be written."""
        if not self.pending or self.read_only:
            return
        files, analyses, values = self._dirty_files, self._dirty_analyses, self._dirty_values
        self._dirty_files, self._dirty_analyses, self._dirty_values = {}, {}, {}
        db = self._connect()
        if db is None:
            return
        try:
            rows = [(k, d, pickle.dumps(v, protocol=5)) for k, (d, v) in analyses.items()]
            kept = [(k, pickle.dumps(v, protocol=5)) for k, v in values.items()]
        except Exception as exc:  # a default the store cannot hold: those stay in memory only
            self._notice(f"the cache {self.path} cannot hold an analysis ({exc}); not writing them")
            rows, kept = [], []
        try:
            db.execute("BEGIN IMMEDIATE")
            try:
                row = db.execute("SELECT value FROM meta WHERE key='context'").fetchone()
                if row is None or row[0] != context():
                    # Another version started the store afresh since this
                    # process opened it (a reinstall while watch runs): what
                    # this process found is not that version's to read.
                    db.execute("ROLLBACK")
                    self._close()
                    self._broken = True
                    self._notice(f"the cache {self.path} is now another version's; working without it")
                    return
                for path, entry in files.items():
                    if entry is None:
                        db.execute("DELETE FROM files WHERE path=?", (_b(path),))
                        db.execute("DELETE FROM analyses WHERE path=?", (_b(path),))
                    else:
                        (mtime, ctime, size), racy, digest = entry
                        db.execute("INSERT OR REPLACE INTO files VALUES (?, ?, ?, ?, ?, ?)",
                                   (_b(path), mtime, ctime, size, int(racy), digest))
                db.executemany("INSERT OR REPLACE INTO analyses VALUES (?, ?, ?, ?, ?, ?)",
                               [(_b(p), _b(m), int(i), n, d, data) for (p, m, i, n), d, data in rows])
                db.executemany("INSERT OR REPLACE INTO kept VALUES (?, ?)", [(_b(k), v) for k, v in kept])
                if not self._pruned:
                    self._prune(db)
                db.execute("COMMIT")
            except BaseException:
                if db.in_transaction:
                    db.execute("ROLLBACK")
                raise
        except sqlite3.OperationalError as exc:
            if "locked" in str(exc) or "busy" in str(exc):
                return  # another process is writing: what we found is written by our next pass
            self._failed(exc)
            return
        except sqlite3.Error as exc:
            self._failed(exc)
            return
        self._pruned = True
        for path, entry in files.items():
            self._files[path] = entry
        for key, value in analyses.items():
            self._analyses[key] = value

    def _prune(self, db: sqlite3.Connection) -> None:
        """Drop the entries of files that no longer exist."""
        gone = [bytes(p) for (p,) in db.execute("SELECT path FROM files") if not os.path.exists(bytes(p))]
        gone += [bytes(p) for (p,) in db.execute("SELECT DISTINCT path FROM analyses") if not os.path.exists(bytes(p))]
        for path in dict.fromkeys(gone):
            db.execute("DELETE FROM files WHERE path=?", (path,))
            db.execute("DELETE FROM analyses WHERE path=?", (path,))

    def close(self) -> None:
        self._close()
