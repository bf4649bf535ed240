"""The project database: factory and model records in an SQLite file.

The file is the settings' ``database_path`` (``.morvane/morvane.db`` under the
project directory unless configured otherwise); ``use_database(path)`` points
this process at another file. Its parent directory is created on first use,
and so is the schema, marked with an application id and a schema version
(``PRAGMA application_id`` / ``PRAGMA user_version``). A file that is not an
SQLite database, one that another program made, or one with a newer schema
version raises ``DatabaseError`` naming the file; nothing is ever dropped or
overwritten to make it fit. Creating and upgrading the schema happen under
the write lock, so any number of processes may start on a file that does not
exist yet; a lock held by another process is waited for up to
``BUSY_TIMEOUT`` seconds.

Every public function runs as one transaction: if it fails part way, the
database is left as it was. Inside ``pass_scope()`` the calls of one
registration pass join a single transaction instead, committed when the
scope ends, so another process sees the database before the pass or after
it, never in between. Inside ``reading()`` the file is opened read-only and
never created. The file is opened in WAL mode, so readers never wait for a
pass. Each process keeps one connection, reopened when the database path
changes (after a fork the child opens its own) and when the file was
deleted or replaced (``reopen_if_replaced``); the connection is shared by
the threads of the process under a lock.

Rows are checked as they are read: a value of a type this module never
writes (a BLOB name, say) raises ``DatabaseError`` naming the row. A source
path that is not valid UTF-8 (a file name in another encoding) is stored as
its bytes and read back as the same ``str``.
"""

from __future__ import annotations

import contextlib
import os
import sqlite3
import threading
import time
import urllib.parse
from collections.abc import Callable, Iterable, Iterator, Sequence
from pathlib import Path
from typing import Any, TypeVar

from morvane import settings as _settings
from morvane.models import FactoryRecord, ModelRecord

__all__ = [
    "APPLICATION_ID",
    "SCHEMA_VERSION",
    "BUSY_TIMEOUT",
    "DatabaseError",
    "get_all_factories",
    "get_factories_by_name",
    "get_factories_by_source",
    "get_factories_in",
    "add_factories",
    "remove_factories",
    "set_all_factories_has_model",
    "set_factories_has_model_by_names",
    "add_models",
    "get_all_models",
    "get_all_model_records",
    "remove_models",
    "database_path",
    "use_database",
    "close",
    "pass_scope",
    "reopen_if_replaced",
    "identity",
    "reading",
    "set_import_errors",
    "get_import_errors",
]

APPLICATION_ID = 0x4D52564E  # "MRVN"
SCHEMA_VERSION = 4
BUSY_TIMEOUT = 30.0  # seconds to wait for another process's write lock
_CHUNK = 500  # names per IN (...) clause, well under SQLite's variable limit

_SCHEMA = (
    """
    CREATE TABLE factories (
        name      TEXT PRIMARY KEY NOT NULL,
        source    TEXT NOT NULL,
        status    TEXT NOT NULL,
        message   TEXT NOT NULL,
        has_model INTEGER NOT NULL DEFAULT 0 CHECK (has_model IN (0, 1))
    )
    """,
    """
    CREATE TABLE models (
        name      TEXT PRIMARY KEY NOT NULL,
        settings  TEXT NOT NULL,
        source    TEXT,
        pdk_type  TEXT NOT NULL,
        status    TEXT NOT NULL,
        message   TEXT NOT NULL
    )
    """,
    "CREATE INDEX factories_by_source ON factories (source)",
    # The flagged factories, which every model pass clears: the few rows
    # that hold a flag, not a scan of every row.
    "CREATE INDEX factories_flagged ON factories (has_model) WHERE has_model = 1",
    """
    CREATE TABLE import_errors (
        source    TEXT PRIMARY KEY NOT NULL,
        type      TEXT NOT NULL,
        message   TEXT NOT NULL,
        file      TEXT NOT NULL,
        line      INTEGER,
        traceback TEXT NOT NULL
    )
    """,
)

# Upgrades from an older schema version: version -> statements that lead to
# version + 1.
_MIGRATIONS: dict[int, Sequence[str]] = {
    1: ("CREATE INDEX IF NOT EXISTS factories_by_source ON factories (source)",),
    # the import errors of the failed files
    2: (_SCHEMA[-1].replace("CREATE TABLE", "CREATE TABLE IF NOT EXISTS", 1),),
    3: ("CREATE INDEX IF NOT EXISTS factories_flagged ON factories (has_model) WHERE has_model = 1",),
}

T = TypeVar("T")


class DatabaseError(Exception):
    """The project database cannot be opened or used."""


class _Pass:
    """The registration pass whose transaction is open on ``_conn``."""

    depth = 0  # nesting of pass_scope() on the owning thread
    broken: str | None = None  # why the transaction was lost part way
    # set_all_factories_has_model(has_model=False) was called and not run
    # yet (see _clear_flags_later)
    flags_to_clear = False


_lock = threading.RLock()
_conn: sqlite3.Connection | None = None
_conn_path: Path | None = None
_conn_pid: int | None = None
_conn_file: tuple[int, int] | None = None  # (device, inode) of the file when opened
# (device, inode) of its write-ahead log and shared-memory index, which are
# the opened file's only: see _remove_stale_side_files.
_conn_sides: tuple[tuple[int, int] | None, tuple[int, int] | None] = (None, None)
_override: Path | None = None
_abandoned: list[sqlite3.Connection] = []  # inherited across fork; never closed here
_pass = _Pass()


class _StoredModelRows:
    """The rows of the models table as far as this process knows them: those
    that add_models wrote or found stored, by name. They hold while the
    connection is the one they went through and no other connection has
    committed since (``PRAGMA data_version``); rows written inside a pass
    count once the pass commits, and any other change to the table through
    this process forgets them all. A pass writes every model, and hardly any
    of them changes: the stored ones are left out of the statement."""

    def __init__(self) -> None:
        self._conn: sqlite3.Connection | None = None
        self._version: Any = None
        self._rows: dict[str, tuple[Any, ...]] = {}
        self._staged: dict[str, tuple[Any, ...]] = {}  # written, not committed yet

    def unstored(self, conn: sqlite3.Connection, rows: dict[str, tuple[Any, ...]]) -> list[tuple[Any, ...]]:
        """Those of ``rows`` (by name) that the table may not hold as they are."""
        version = _pragma(conn, "data_version")
        if conn is not self._conn or version != self._version:
            self.forget()
            self._conn, self._version = conn, version
        known, staged = self._rows, self._staged
        return [row for name, row in rows.items() if staged.get(name, known.get(name)) != row]

    def written(self, rows: dict[str, tuple[Any, ...]]) -> None:
        self._staged.update(rows)

    def committed(self) -> None:
        self._rows.update(self._staged)
        self._staged = {}

    def rolled_back(self) -> None:
        self._staged = {}

    def forget(self) -> None:
        self._conn, self._version = None, None
        self._rows, self._staged = {}, {}


_model_rows = _StoredModelRows()
_local = threading.local()  # .reading: depth of reading() on this thread
_ro_conn: sqlite3.Connection | None = None
_ro_key: tuple[Path, int] | None = None
_readers = 0  # reading() scopes open in this process


# -- connection -----------------------------------------------------------


def database_path() -> Path:
    """The database file this process uses now."""
    if _override is not None:
        return _override
    return _settings.get_settings().database_path


def use_database(path: str | os.PathLike[str] | None) -> None:
    """Use the file ``path`` from now on (``None``: the settings' file again)."""
    global _override
    with _lock:
        close()
        _override = None if path is None else Path(path).expanduser().resolve()


def close() -> None:
    """Close this process's connection; the next call opens it again.

    A pass in progress on the connection is rolled back.
    """
    global _conn, _conn_path, _conn_pid, _conn_file, _conn_sides
    with _lock:
        if _pass.depth:
            _pass.broken = "the database was closed during the pass"
        if _conn is not None:
            if _conn_pid == os.getpid():
                _conn.close()
            else:
                _abandoned.append(_conn)
        _conn = _conn_path = _conn_pid = _conn_file = None
        _conn_sides = (None, None)
        _model_rows.forget()
        _close_read_only()


def _file_id(path: Path) -> tuple[int, int] | None:
    try:
        st = os.stat(path)
    except OSError:
        return None
    return (st.st_dev, st.st_ino)


def identity() -> tuple[int, int] | None:
    """(device, inode) of the database file as it is now (``None`` when
    there is none): a file deleted, replaced or created shows as another."""
    return _file_id(database_path())


def _side_files(path: Path) -> tuple[Path, Path]:
    return Path(f"{path}-wal"), Path(f"{path}-shm")


def _connection() -> sqlite3.Connection:
    global _conn, _conn_path, _conn_pid, _conn_file, _conn_sides
    path = database_path()
    if _conn is not None and _conn_path == path and _conn_pid == os.getpid():
        return _conn
    close()
    conn = _open(path)
    _conn, _conn_path, _conn_pid, _conn_file = conn, path, os.getpid(), _file_id(path)
    # A read opens (or creates) the side files, which are the file's own
    # from now on while the connection is open.
    with contextlib.suppress(sqlite3.Error):
        conn.execute("SELECT count(*) FROM sqlite_master").fetchone()
    _conn_sides = _side_ids(path)
    return conn


def _side_ids(path: Path) -> tuple[tuple[int, int] | None, tuple[int, int] | None]:
    wal, shm = _side_files(path)
    return _file_id(wal), _file_id(shm)


def _connect(target: str | Path, *, uri: bool = False) -> sqlite3.Connection:
    return sqlite3.connect(target, timeout=BUSY_TIMEOUT, isolation_level=None, check_same_thread=False, uri=uri)


def _open(path: Path) -> sqlite3.Connection:
    try:
        path.parent.mkdir(parents=True, exist_ok=True)
    except OSError as exc:
        raise DatabaseError(
            f"cannot create the directory of the project database {path}: {exc.strerror or exc}"
        ) from exc
    if path.is_dir():
        raise DatabaseError(f"the project database {path} is a directory, not a file")
    try:
        conn = _connect(path)
    except sqlite3.Error as exc:
        raise DatabaseError(f"cannot open the project database {path}: {exc}") from exc
    try:
        _retrying_while_busy(lambda: _prepare(conn, path))
    except BaseException as exc:
        conn.close()
        if isinstance(exc, sqlite3.OperationalError):
            raise DatabaseError(f"cannot use the project database {path}: {exc}") from exc
        if isinstance(exc, sqlite3.DatabaseError):
            raise DatabaseError(f"{path} is not a morvane database (not a usable SQLite file: {exc})") from exc
        raise
    return conn


def _is_busy(exc: BaseException) -> bool:
    code = getattr(exc, "sqlite_errorcode", None)
    return isinstance(exc, sqlite3.OperationalError) and code is not None and code & 0xFF in (
        sqlite3.SQLITE_BUSY, sqlite3.SQLITE_LOCKED,
    )


def _retrying_while_busy(step: Callable[[], T]) -> T:
    """Run ``step`` again while another process holds a lock it needs.

    SQLite's own busy handler does not cover every case (a journal-mode
    change, a reader that must upgrade to a writer, WAL recovery): those
    report "database is locked" at once, so the wait is done here too.
    """
    deadline = time.monotonic() + BUSY_TIMEOUT
    delay = 0.002
    while True:
        try:
            return step()
        except sqlite3.OperationalError as exc:
            left = deadline - time.monotonic()
            if not _is_busy(exc) or left <= 0:
                raise
        time.sleep(min(delay, left))
        delay = min(delay * 2, 0.1)


def _pragma(conn: sqlite3.Connection, name: str) -> Any:
    return conn.execute(f"PRAGMA {name}").fetchone()[0]


def _header(conn: sqlite3.Connection) -> tuple[int, int]:
    return _pragma(conn, "application_id"), _pragma(conn, "user_version")


def _checked_header(conn: sqlite3.Connection, path: Path) -> tuple[int, int]:
    """The header, of a file that is ours (or empty, when it has none yet)."""
    app_id, version = _header(conn)
    _check_version(path, app_id, version)
    if app_id == 0:
        _check_empty(conn, path)
    return app_id, version


def _prepare(conn: sqlite3.Connection, path: Path) -> None:
    """Check the file is ours and current; create or upgrade the schema."""
    conn.execute("PRAGMA synchronous=NORMAL")
    # A file that is not a database fails on the first read, before anything
    # is written to it. The header is read in one read transaction so its
    # fields come from the same moment.
    with _rolled_back_on_error(conn):
        conn.execute("BEGIN")
        app_id, version = _checked_header(conn, path)
        mode = _pragma(conn, "journal_mode")
        conn.execute("COMMIT")
    if app_id == APPLICATION_ID and version == SCHEMA_VERSION and mode == "wal":
        return
    # Creating or upgrading: decide again under the write lock, since another
    # process may have done it meanwhile.
    with _rolled_back_on_error(conn):
        conn.execute("BEGIN IMMEDIATE")
        app_id, version = _checked_header(conn, path)
        if app_id == 0:
            for statement in _SCHEMA:
                conn.execute(statement)
            conn.execute(f"PRAGMA application_id = {APPLICATION_ID}")
            version = SCHEMA_VERSION
        while version < SCHEMA_VERSION:
            for statement in _MIGRATIONS[version]:
                conn.execute(statement)
            version += 1
        conn.execute(f"PRAGMA user_version = {SCHEMA_VERSION}")
        conn.execute("COMMIT")
    mode = _pragma(conn, "journal_mode=WAL")
    if mode != "wal":
        raise DatabaseError(f"cannot use the project database {path}: it cannot be put in WAL mode ({mode})")


@contextlib.contextmanager
def _rolled_back_on_error(conn: sqlite3.Connection) -> Iterator[None]:
    try:
        yield
    except BaseException:
        if conn.in_transaction:
            with contextlib.suppress(sqlite3.Error):
                conn.execute("ROLLBACK")
        raise


def _check_empty(conn: sqlite3.Connection, path: Path) -> None:
    tables = [row[0] for row in conn.execute("SELECT name FROM sqlite_master WHERE type = 'table'")]
    if tables:
        raise DatabaseError(
            f"{path} is an SQLite database that morvane did not create "
            f"(tables: {', '.join(sorted(map(str, tables)))}); refusing to change it"
        )


def _check_version(path: Path, app_id: int, version: int) -> None:
    if app_id == 0 and version == 0:
        return  # a new, empty file (checked for foreign tables later)
    if app_id != APPLICATION_ID:
        raise DatabaseError(
            f"{path} is an SQLite database that morvane did not create "
            f"(application id {app_id:#x}, schema version {version}); refusing to change it"
        )
    if version > SCHEMA_VERSION:
        raise DatabaseError(
            f"{path} has schema version {version}, newer than this morvane supports "
            f"({SCHEMA_VERSION}); upgrade morvane or use another database file"
        )
    if version < SCHEMA_VERSION and version not in _MIGRATIONS:
        raise DatabaseError(f"{path} has schema version {version}, which this morvane cannot upgrade")


# -- read-only use ------------------------------------------------------------


def _close_read_only() -> None:
    global _ro_conn, _ro_key
    if _ro_conn is not None and _ro_key is not None and _ro_key[1] == os.getpid():
        _ro_conn.close()
    _ro_conn = _ro_key = None


def _read_only_connection() -> sqlite3.Connection:
    global _ro_conn, _ro_key
    path = database_path()
    key = (path, os.getpid())
    if _ro_conn is None or _ro_key != key:
        _close_read_only()
        _ro_conn, _ro_key = _open_read_only(path), key
    return _ro_conn


def _open_read_only(path: Path) -> sqlite3.Connection:
    """``path`` opened read-only, or an empty stand-in when it does not exist
    yet (or is being created); nothing is written or created."""
    if path.is_dir():
        raise DatabaseError(f"the project database {path} is a directory, not a file")
    if not path.exists():
        return _empty_database()
    uri = "file:" + urllib.parse.quote(os.fsencode(path))
    try:
        conn = _connect(uri + "?mode=ro", uri=True)
        try:
            header = _retrying_while_busy(lambda: _read_only_header(conn, path))
        except sqlite3.OperationalError as exc:
            conn.close()
            wal = Path(f"{path}-wal")
            if exc.sqlite_errorcode & 0xFF not in (sqlite3.SQLITE_READONLY, sqlite3.SQLITE_CANTOPEN) or (
                wal.exists() and wal.stat().st_size > 0
            ):
                raise
            # WAL mode needs the shared-memory file, which a folder without
            # write access cannot hold. With no write-ahead log pending, the
            # file itself is the whole database and can be read as it is.
            conn = _connect(uri + "?mode=ro&immutable=1", uri=True)
            header = _read_only_header(conn, path)
    except sqlite3.OperationalError as exc:
        raise DatabaseError(f"cannot read the project database {path}: {exc}") from exc
    except sqlite3.DatabaseError as exc:
        raise DatabaseError(f"{path} is not a morvane database (not a usable SQLite file: {exc})") from exc
    if header is None:
        conn.close()
        return _empty_database()
    return conn


def _read_only_header(conn: sqlite3.Connection, path: Path) -> tuple[int, int] | None:
    with _rolled_back_on_error(conn):
        conn.execute("BEGIN")
        app_id, version = _checked_header(conn, path)
        conn.execute("COMMIT")
    if app_id == 0:
        return None  # created by another process right now, still empty
    if version < SCHEMA_VERSION:
        raise DatabaseError(
            f"{path} has schema version {version}; a command that writes to it upgrades it, reading cannot"
        )
    return app_id, version


def _empty_database() -> sqlite3.Connection:
    conn = _connect(":memory:")
    for statement in _SCHEMA:
        conn.execute(statement)
    conn.execute("PRAGMA query_only = ON")
    return conn


@contextlib.contextmanager
def reading() -> Iterator[None]:
    """Read-only use: inside the scope this process opens the database
    read-only and never creates it or its directory; a database that does
    not exist yet reads as empty. Writing inside the scope raises
    ``DatabaseError``. Inside a pass the pass's own transaction is read."""
    global _readers
    with _lock:
        if _pass.depth:
            yield
            return
        _readers += 1
    _local.reading = getattr(_local, "reading", 0) + 1
    try:
        yield
    finally:
        _local.reading -= 1
        with _lock:
            _readers -= 1
            if _readers == 0:
                _close_read_only()


# -- deletion and replacement -------------------------------------------------


def reopen_if_replaced() -> str | None:
    """Reopen the database when its file was deleted or replaced (another
    device or inode) since this process opened it, creating it anew when it
    is gone; returns a one-line notice of what was done, or ``None`` when the
    file is the one in use (or none is open yet)."""
    global _conn_sides
    with _lock:
        if _conn is None or _conn_pid != os.getpid() or _conn_path != database_path():
            return None
        path = _conn_path
        now = _file_id(path)
        if now == _conn_file:
            if None in _conn_sides:
                _conn_sides = _side_ids(path)  # made by the first write
            return None
        if _pass.depth:
            # Swapping the connection would lose the pass: let it fail instead.
            _pass.broken = f"the project database {path} was deleted or replaced during the pass"
            return None
        sides = _conn_sides
        close()
        _remove_stale_side_files(path, sides)
        _connection()
        if now is None:
            return f"the project database {path} was deleted; created it anew"
        return f"the project database {path} was replaced by another file; reopened it"


def _remove_stale_side_files(path: Path, sides: tuple[tuple[int, int] | None, ...]) -> None:
    """Remove the write-ahead log and shared-memory index that the file
    deleted or replaced at ``path`` left behind (``sides``: their
    (device, inode) while it was open here).

    SQLite neither checkpoints nor removes them when it closes a file that
    was moved away, and the next connection to ``path`` would take them as
    the new file's and apply the old file's pages to it. Side files that
    came with the new file are other files and stay, and so do the old ones
    while another process still has them open."""
    wal, shm = _side_files(path)
    if _file_id(wal) != sides[0] and _file_id(shm) != sides[1]:
        return
    if sides[1] is not None and _file_id(shm) == sides[1] and _shared_memory_in_use(shm):
        return
    for side, recorded in zip((wal, shm), sides):
        if recorded is not None and _file_id(side) == recorded:
            with contextlib.suppress(OSError):
                os.unlink(side)


def _shared_memory_in_use(shm: Path) -> bool:
    """Whether another process has the shared-memory index open: every
    connection holds a read lock on its byte 128 (SQLite's documented WAL
    locking), which a write lock here would conflict with."""
    try:
        import fcntl
    except ImportError:
        return True
    try:
        fd = os.open(shm, os.O_RDWR)
    except OSError:
        return False
    try:
        fcntl.lockf(fd, fcntl.LOCK_EX | fcntl.LOCK_NB, 1, 128)
    except OSError:
        return True
    finally:
        os.close(fd)  # and with it the lock
    return False


def _warn_if_replaced() -> None:
    notice = reopen_if_replaced()
    if notice:
        from morvane.logger import get_logger

        get_logger().warning(notice)


# -- transactions -----------------------------------------------------------


def _transaction(write: bool, body: Callable[[sqlite3.Connection], T], *, flags_unread: bool = False) -> T:
    """Run ``body`` in one transaction: committed if it returns, rolled back if it raises.

    Inside a pass the transaction is the pass's, and ``body`` runs under a
    savepoint instead, so a failing call still leaves no trace of itself.
    ``flags_unread``: ``body`` neither reads nor writes the factories'
    has-model flags (see _clear_flags_later).
    """
    with _lock:
        if _pass.depth:
            return _in_pass(body, flags_unread)
        if getattr(_local, "reading", 0):
            conn, path, write = _read_only_connection(), database_path(), False
        else:
            _warn_if_replaced()
            conn = _connection()
            path = _conn_path or database_path()
        try:
            _retrying_while_busy(lambda: conn.execute("BEGIN IMMEDIATE" if write else "BEGIN"))
            with _rolled_back_on_error(conn):
                result = body(conn)
                conn.execute("COMMIT")
        except sqlite3.Error as exc:
            raise DatabaseError(f"project database {path}: {exc}") from exc
        return result


def _in_pass(body: Callable[[sqlite3.Connection], T], flags_unread: bool = False) -> T:
    conn, path = _conn, _conn_path
    if _pass.broken or conn is None or not conn.in_transaction:
        raise DatabaseError(f"project database {path}: the pass was rolled back: {_pass.broken or 'transaction lost'}")
    if not flags_unread:
        _clear_flags_now(conn)
    conn.execute("SAVEPOINT call")
    try:
        result = body(conn)
    except BaseException as exc:
        try:
            conn.execute("ROLLBACK TO call")
            conn.execute("RELEASE call")
        except sqlite3.Error as lost:
            _pass.broken = f"{exc or type(exc).__name__}; then {lost}"
        if not conn.in_transaction and _pass.broken is None:
            _pass.broken = str(exc) or type(exc).__name__
        if isinstance(exc, sqlite3.Error):
            raise DatabaseError(f"project database {path}: {exc}") from exc
        raise
    conn.execute("RELEASE call")
    return result


@contextlib.contextmanager
def pass_scope() -> Iterator[None]:
    """One registration pass as one transaction.

    The database calls made inside the scope join one write transaction,
    committed when the scope ends and rolled back when it ends with an
    exception, so that another process never sees half a pass. Nested
    scopes join the outer one. The scope holds the database's write lock
    (other processes' writes wait, reads do not) and this process's
    connection lock (other threads' calls wait) until it ends. A deleted or
    replaced database file is noticed when the scope starts, and the pass
    then writes to the file in its place.
    """
    with _lock:
        if _pass.depth:
            _pass.depth += 1
            try:
                yield
            finally:
                _pass.depth -= 1
            return
        _warn_if_replaced()
        conn = _connection()
        path = _conn_path
        try:
            _retrying_while_busy(lambda: conn.execute("BEGIN IMMEDIATE"))
        except sqlite3.Error as exc:
            raise DatabaseError(f"project database {path}: {exc}") from exc
        _pass.depth, _pass.broken, _pass.flags_to_clear = 1, None, False
        try:
            yield
        except BaseException:
            _end_pass(conn, commit=False)
            raise
        broken = _pass.broken
        try:
            _end_pass(conn, commit=broken is None)
        except sqlite3.Error as exc:
            raise DatabaseError(f"project database {path}: the pass was not saved: {exc}") from exc
        if broken is not None:
            raise DatabaseError(f"project database {path}: the pass was not saved: {broken}")


def _end_pass(conn: sqlite3.Connection, *, commit: bool) -> None:
    _pass.depth, _pass.broken = 0, None
    clear_flags, _pass.flags_to_clear = _pass.flags_to_clear, False
    if conn is not _conn or _conn_pid != os.getpid():
        _model_rows.rolled_back()
        return  # closed under the pass; its transaction went with it
    if commit and conn.in_transaction:
        try:
            if clear_flags:
                conn.execute("UPDATE factories SET has_model = 0 WHERE has_model = 1")
            conn.execute("COMMIT")
        except BaseException:
            _model_rows.rolled_back()
            with contextlib.suppress(sqlite3.Error):
                if conn.in_transaction:
                    conn.execute("ROLLBACK")
            raise
        _model_rows.committed()
    else:
        _model_rows.rolled_back()
        if conn.in_transaction:
            with contextlib.suppress(sqlite3.Error):
                conn.execute("ROLLBACK")


def _chunks(names: Sequence[T]) -> Iterable[Sequence[T]]:
    for start in range(0, len(names), _CHUNK):
        yield names[start : start + _CHUNK]


def _placeholders(n: int) -> str:
    return ", ".join("?" * n)


_UNNAMED: Any = object()


def _label(what: str, of: Any) -> str:
    # The field named in an error message, and whose field it is: formatted
    # only when the message is made.
    return what if of is _UNNAMED else f"{what} of {of!r}"


def _text(value: Any, what: str, of: Any = _UNNAMED) -> str:
    if type(value) is str and value.isascii():
        return value  # valid UTF-8 as it is (the usual case, decided without encoding)
    if not isinstance(value, str):
        raise TypeError(f"{_label(what, of)} must be a str, got {type(value).__name__}")
    try:
        value.encode("utf-8")
    except UnicodeEncodeError:
        # Lone surrogates (an undecodable file name quoted in a message, say)
        # are kept visible as escapes rather than failing the write.
        return value.encode("utf-8", "backslashreplace").decode("utf-8")
    return value


def _path_text(value: Any, what: str, of: Any = _UNNAMED, *, optional: bool = False) -> str | bytes | None:
    if type(value) is str and value.isascii():
        return value
    if value is None and optional:
        return None
    if isinstance(value, os.PathLike):
        value = os.fspath(value)
    if not isinstance(value, str):
        raise TypeError(f"{_label(what, of)} must be a str, got {type(value).__name__}")
    try:
        value.encode("utf-8")
    except UnicodeEncodeError:
        return os.fsencode(value)  # a file name that is not UTF-8: its bytes
    return value


def _names(names: tuple[Any, ...], function: str) -> list[str]:
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"{function}() takes names as str, got {type(name).__name__}")
    return list(dict.fromkeys(names))


_SQL_TYPES = {bytes: "a BLOB", int: "an INTEGER", float: "a REAL", type(None): "NULL"}


def _corrupt(table: str, rowid: Any, name: Any, column: str, value: Any) -> DatabaseError:
    which = f"{name!r}" if isinstance(name, str) else f"rowid {rowid}"
    held = _SQL_TYPES.get(type(value), type(value).__name__)
    return DatabaseError(
        f"project database {_conn_path or database_path()}: corrupt row {which} of table {table}: "
        f"column {column} holds {held}, not text"
    )


def _stored_text(table: str, row: tuple[Any, ...], columns: Sequence[str], *, paths: Sequence[str] = ()) -> None:
    """Check that the text columns of ``row`` (``rowid`` last) hold text."""
    for column, value in zip(columns, row):
        if isinstance(value, str) or (column in paths and (value is None or isinstance(value, bytes))):
            continue
        raise _corrupt(table, row[-1], row[0], column, value)


def _stored_path(value: str | bytes | None) -> str | None:
    return os.fsdecode(value) if isinstance(value, bytes) else value


# -- factories --------------------------------------------------------------

# A factory also has a model when a model of its own name is stored: the
# propagation flags only the factories built from others that have one.
_FACTORY_SELECT = (
    "SELECT f.name, f.source, f.status, f.message, "
    "f.has_model OR EXISTS (SELECT 1 FROM models AS m WHERE m.name = f.name), f.rowid "
    "FROM factories AS f"
)
_FACTORY_COLUMNS = ("name", "source", "status", "message")


def _factory(row: tuple[Any, ...]) -> FactoryRecord:
    _stored_text("factories", row, _FACTORY_COLUMNS, paths=("source",))
    name, source, status, message, has_model, _ = row
    if source is None:
        raise _corrupt("factories", row[-1], name, "source", source)
    return FactoryRecord(
        name=name, source=_stored_path(source) or "", status=status, message=message, has_model=bool(has_model)
    )


def _factory_row(record: Any) -> tuple[Any, ...]:
    if not isinstance(record, FactoryRecord):
        raise TypeError(f"add_factories() takes FactoryRecord objects, got {type(record).__name__}")
    return (
        _text(record.name, "FactoryRecord.name"),
        _path_text(record.source, "FactoryRecord.source", record.name),
        _text(record.status, "FactoryRecord.status", record.name),
        _text(record.message, "FactoryRecord.message", record.name),
        1 if record.has_model else 0,
    )


def get_all_factories() -> dict[str, FactoryRecord]:
    """Every stored factory record, by name (in name order)."""

    def body(conn: sqlite3.Connection) -> dict[str, FactoryRecord]:
        records = (_factory(row) for row in conn.execute(f"{_FACTORY_SELECT} ORDER BY f.name"))
        return {r.name: r for r in records}

    return _transaction(False, body)


def get_factories_by_name(*names: str) -> dict[str, FactoryRecord]:
    """The stored records of those names, in the order given; unknown names are left out."""
    wanted = _names(names, "get_factories_by_name")
    if not wanted:
        return {}

    def body(conn: sqlite3.Connection) -> dict[str, FactoryRecord]:
        found = _factories_where(conn, "f.name", wanted)
        return {name: found[name] for name in wanted if name in found}

    return _transaction(False, body)


def _factories_where(conn: sqlite3.Connection, column: str, values: Sequence[Any]) -> dict[str, FactoryRecord]:
    """The stored factories whose ``column`` is one of ``values``, by name."""
    found: dict[str, FactoryRecord] = {}
    for chunk in _chunks(values):
        sql = f"{_FACTORY_SELECT} WHERE {column} IN ({_placeholders(len(chunk))})"
        for row in conn.execute(sql, chunk):
            record = _factory(row)
            found[record.name] = record
    return found


def _source_spellings(paths: Iterable[str | os.PathLike[str]], function: str) -> list[Path]:
    project_dir = _settings.get_project_dir()
    absolute = []
    for p in paths:
        if not isinstance(p, (str, os.PathLike)) or not isinstance(os.fspath(p), str):
            raise TypeError(f"{function}() takes paths as str or os.PathLike, got {type(p).__name__}")
        absolute.append(Path(project_dir, p).resolve())
    return absolute


def _stored_spellings(absolute: Path, project_dir: Path) -> list[str | bytes]:
    """How a source under ``absolute`` may be written in the table."""
    texts = [str(absolute), absolute.as_posix()]
    if absolute.is_relative_to(project_dir):
        texts.append(absolute.relative_to(project_dir).as_posix())
    spellings: list[str | bytes] = []
    for text in dict.fromkeys(texts):
        stored = _path_text(text, "path")
        if stored is not None:
            spellings.append(stored)
    return spellings


def get_factories_by_source(*paths: str | os.PathLike[str]) -> dict[str, FactoryRecord]:
    """The stored records whose source file is one of ``paths``, in name order.

    A path may be absolute or relative to the project directory; a stored
    source matches when it names the same file, written relative to the
    project directory or absolute.
    """
    if not paths:
        return {}
    project_dir = _settings.get_project_dir()
    sources = list(dict.fromkeys(
        s for absolute in _source_spellings(paths, "get_factories_by_source")
        for s in _stored_spellings(absolute, project_dir)
    ))

    def body(conn: sqlite3.Connection) -> dict[str, FactoryRecord]:
        return dict(sorted(_factories_where(conn, "f.source", sources).items()))

    return _transaction(False, body)


def get_factories_in(*directories: str | os.PathLike[str]) -> dict[str, FactoryRecord]:
    """The stored records whose source file lies under one of ``directories``
    (at any depth), in name order; paths as for ``get_factories_by_source``."""
    if not directories:
        return {}
    project_dir = _settings.get_project_dir()
    wanted = _source_spellings(directories, "get_factories_in")

    def inside(source: str) -> bool:
        absolute = Path(project_dir, source)
        return any(absolute.is_relative_to(d) and absolute != d for d in wanted)

    def body(conn: sqlite3.Connection) -> dict[str, FactoryRecord]:
        found: dict[str, FactoryRecord] = {}
        # A cheap text prefix narrows the rows, the path test decides; a
        # source stored as bytes (not UTF-8) is tested whatever its prefix.
        queries: list[tuple[str, tuple[str, ...]]] = [(f"{_FACTORY_SELECT} WHERE typeof(f.source) = 'blob'", ())]
        for d in wanted:
            for prefix in _stored_spellings(d, project_dir):
                if isinstance(prefix, str):
                    pattern = prefix.replace("\\", "\\\\").replace("%", "\\%").replace("_", "\\_")
                    queries.append((f"{_FACTORY_SELECT} WHERE f.source LIKE ? ESCAPE '\\'", (pattern.rstrip("/") + "/%",)))
        for sql, args in queries:
            for row in conn.execute(sql, args):
                record = _factory(row)
                if inside(record.source):
                    found[record.name] = record
        return dict(sorted(found.items()))

    return _transaction(False, body)


def add_factories(*records: FactoryRecord) -> None:
    """Store the records, each replacing a stored record of the same name.

    A stored row equal to its record is left as it is, not rewritten.
    """
    if not records:
        return

    def body(conn: sqlite3.Connection) -> None:
        conn.executemany(
            "INSERT INTO factories (name, source, status, message, has_model) VALUES (?, ?, ?, ?, ?) "
            "ON CONFLICT (name) DO UPDATE SET source = excluded.source, status = excluded.status, "
            "message = excluded.message, has_model = excluded.has_model "
            "WHERE source IS NOT excluded.source OR status IS NOT excluded.status "
            "OR message IS NOT excluded.message OR has_model IS NOT excluded.has_model",
            [_factory_row(r) for r in records],
        )

    _transaction(True, body)


def remove_factories(*names: str) -> None:
    """Delete the records of those names (unknown names are ignored)."""
    _delete("factories", names, "remove_factories")


def set_all_factories_has_model(*, has_model: bool = False) -> None:
    """Set the has-model flag of every stored factory."""
    # The flag is 0 or 1 (the table checks it): the rows to change are those
    # that hold the other value, found through the index of flagged rows.
    flag, other = (1, 0) if has_model else (0, 1)
    with _lock:
        if _pass.depth and not has_model and not _pass.broken:
            _pass.flags_to_clear = True  # see _clear_flags_later
            return
        _transaction(True, lambda conn: conn.execute("UPDATE factories SET has_model = ? WHERE has_model = ?",
                                                     (flag, other)))


# _clear_flags_later: a pass clears every flag and then sets those of the
# factories built from models only, most of them the ones it cleared. Inside
# a pass, whose writes no one else sees before it commits, the clear waits:
# the next call that reads or writes the flags runs it first, and the one
# that sets flags by name clears only the flagged rows it does not set (and
# sets only those not set), which leaves what the two statements leave. The
# pass's end runs a clear still waiting before it commits, and drops it when
# it rolls back.


def _clear_flags_now(conn: sqlite3.Connection) -> None:
    if _pass.flags_to_clear:
        conn.execute("UPDATE factories SET has_model = 0 WHERE has_model = 1")
        _pass.flags_to_clear = False


def set_factories_has_model_by_names(*names: str, has_model: bool = True) -> None:
    """Set the has-model flag of the stored factories of those names."""
    wanted = _names(names, "set_factories_has_model_by_names")
    if not wanted:
        return
    flag = 1 if has_model else 0

    def set_flags(conn: sqlite3.Connection, names: Sequence[str]) -> None:
        for chunk in _chunks(names):
            conn.execute(
                f"UPDATE factories SET has_model = ? WHERE has_model != ? AND name IN ({_placeholders(len(chunk))})",
                (flag, flag, *chunk),
            )

    def after_clear(conn: sqlite3.Connection) -> None:
        flagged = {name for (name,) in conn.execute("SELECT name FROM factories WHERE has_model = 1")}
        given = set(wanted)
        for chunk in _chunks([name for name in flagged if name not in given]):
            conn.execute(f"UPDATE factories SET has_model = 0 WHERE name IN ({_placeholders(len(chunk))})", chunk)
        set_flags(conn, [name for name in wanted if name not in flagged])

    with _lock:
        if _pass.depth and has_model and _pass.flags_to_clear and not _pass.broken:
            _transaction(True, after_clear, flags_unread=True)
            _pass.flags_to_clear = False
        else:
            _transaction(True, lambda conn: set_flags(conn, wanted))


# -- models -----------------------------------------------------------------

_MODEL_SELECT = "SELECT name, settings, source, pdk_type, status, message, rowid FROM models"
_MODEL_COLUMNS = ("name", "settings", "source", "pdk_type", "status", "message")


def _model(row: tuple[Any, ...]) -> ModelRecord:
    _stored_text("models", row, _MODEL_COLUMNS, paths=("source",))
    name, settings, source, pdk_type, status, message, _ = row
    return ModelRecord(
        factory=name, settings=settings, source=_stored_path(source), pdk_type=pdk_type, status=status,
        message=message,
    )


_ONLY_STR = {str}


def _model_row(record: Any) -> tuple[Any, ...]:
    if type(record) is ModelRecord:
        # The usual record, six ASCII strs: written as they are, which is
        # what the checks below make of them (a pass writes thousands).
        row: tuple[Any, ...] = (record.factory, record.settings, record.source, record.pdk_type, record.status,
                                record.message)
        if set(map(type, row)) == _ONLY_STR and "".join(row).isascii():
            return row
    if not isinstance(record, ModelRecord):
        raise TypeError(f"add_models() takes ModelRecord objects, got {type(record).__name__}")
    name = _text(record.factory, "ModelRecord.factory")
    return (
        name,
        _text(record.settings, "ModelRecord.settings", name),
        _path_text(record.source, "ModelRecord.source", name, optional=True),
        _text(record.pdk_type, "ModelRecord.pdk_type", name),
        _text(record.status, "ModelRecord.status", name),
        _text(record.message, "ModelRecord.message", name),
    )


def add_models(*records: ModelRecord) -> None:
    """Store the records, each replacing a stored record of the same model name.

    A stored row equal to its record is left as it is, not rewritten.
    """
    if not records:
        return

    def body(conn: sqlite3.Connection) -> None:
        rows = [_model_row(r) for r in records]
        # A name given twice ends as its last row: only that one is written.
        by_name = {row[0]: row for row in rows}
        todo = _model_rows.unstored(conn, by_name)
        if todo:
            conn.executemany(
                "INSERT INTO models (name, settings, source, pdk_type, status, message) VALUES (?, ?, ?, ?, ?, ?) "
                "ON CONFLICT (name) DO UPDATE SET settings = excluded.settings, source = excluded.source, "
                "pdk_type = excluded.pdk_type, status = excluded.status, message = excluded.message "
                "WHERE settings IS NOT excluded.settings OR source IS NOT excluded.source "
                "OR pdk_type IS NOT excluded.pdk_type OR status IS NOT excluded.status "
                "OR message IS NOT excluded.message",
                todo,
            )
        _model_rows.written(by_name)

    with _lock:
        try:
            _transaction(True, body, flags_unread=True)
        except BaseException:
            _model_rows.rolled_back()  # what the pass wrote before is written again, at worst
            raise
        if not _pass.depth:
            _model_rows.committed()


def get_all_models() -> list[str]:
    """The names of the stored models, in name order."""

    def body(conn: sqlite3.Connection) -> list[str]:
        names = []
        for name, rowid in conn.execute("SELECT name, rowid FROM models ORDER BY name"):
            if not isinstance(name, str):
                raise _corrupt("models", rowid, name, "name", name)
            names.append(name)
        return names

    return _transaction(False, body, flags_unread=True)


def get_all_model_records() -> dict[str, ModelRecord]:
    """Every stored model record, by model name (in name order)."""

    def body(conn: sqlite3.Connection) -> dict[str, ModelRecord]:
        records = (_model(row) for row in conn.execute(f"{_MODEL_SELECT} ORDER BY name"))
        return {r.factory: r for r in records}

    return _transaction(False, body, flags_unread=True)


def remove_models(*names: str) -> None:
    """Delete the model records of those names (unknown names are ignored)."""
    with _lock:
        if names:
            _model_rows.forget()
        _delete("models", names, "remove_models")


def _delete(table: str, names: tuple[Any, ...], function: str) -> None:
    wanted = _names(names, function)
    if not wanted:
        return

    def body(conn: sqlite3.Connection) -> None:
        for chunk in _chunks(wanted):
            conn.execute(f"DELETE FROM {table} WHERE name IN ({_placeholders(len(chunk))})", chunk)

    _transaction(True, body, flags_unread=table == "models")


# -- import errors ------------------------------------------------------------

_IMPORT_ERROR_COLUMNS = ("type", "message", "file", "line", "traceback")


def set_import_errors(errors: dict[str, dict[str, Any] | None]) -> None:
    """Store the import error of each source file (a dict with the keys
    "type", "message", "file", "line" and "traceback"), replacing the stored
    one; a value of ``None`` deletes the file's stored error."""
    if not errors:
        return

    def body(conn: sqlite3.Connection) -> None:
        for source, error in errors.items():
            if error is None:
                conn.execute("DELETE FROM import_errors WHERE source = ?", (_text(source, "source"),))
            else:
                conn.execute(
                    "INSERT OR REPLACE INTO import_errors (source, type, message, file, line, traceback) "
                    "VALUES (?, ?, ?, ?, ?, ?)",
                    (_text(source, "source"),
                     *(_text(v, k) if isinstance(v, str) else v
                       for k, v in ((k, error[k]) for k in _IMPORT_ERROR_COLUMNS))),
                )

    _transaction(True, body, flags_unread=True)


def get_import_errors(*sources: str) -> dict[str, dict[str, Any]]:
    """The stored import errors by source file: of those files, or of every
    file when none is given."""

    def body(conn: sqlite3.Connection) -> dict[str, dict[str, Any]]:
        query = f"SELECT source, {', '.join(_IMPORT_ERROR_COLUMNS)} FROM import_errors"
        if sources:
            rows: Iterable[tuple[Any, ...]] = [
                row for chunk in _chunks(list(sources))
                for row in conn.execute(f"{query} WHERE source IN ({_placeholders(len(chunk))})", chunk)
            ]
        else:
            rows = conn.execute(query)
        return {row[0]: dict(zip(_IMPORT_ERROR_COLUMNS, row[1:])) for row in rows}

    return _transaction(False, body, flags_unread=True)
