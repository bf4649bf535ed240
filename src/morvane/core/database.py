"""The project database: factory and model records in an SQLite file.

The file is the settings' ``database_path`` (``.morvane/morvane.db`` under the
project directory unless configured otherwise); ``use_database(path)`` points
this process at another file. Its parent directory is created on first use,
and so is the schema, marked with an application id and a schema version
(``PRAGMA application_id`` / ``PRAGMA user_version``). A file that is not an
SQLite database, one that another program made, or one with a newer schema
version raises ``DatabaseError`` naming the file; nothing is ever dropped or
overwritten to make it fit.

Every public function runs as one transaction: if it fails part way, the
database is left as it was. The file is opened in WAL mode with a busy
timeout, so a command and a watcher can use it at the same time. Each
process keeps one connection, reopened when the database path changes
(after a fork the child opens its own); the connection is shared by the
threads of the process under a lock.
"""

from __future__ import annotations

import contextlib
import os
import sqlite3
import threading
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
    "reading",
    "set_import_errors",
    "get_import_errors",
]

APPLICATION_ID = 0x4D52564E  # "MRVN"
SCHEMA_VERSION = 2
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
    1: (_SCHEMA[2],),  # the import errors of the failed files
}

T = TypeVar("T")


class DatabaseError(Exception):
    """The project database cannot be opened or used."""


_lock = threading.RLock()
_conn: sqlite3.Connection | None = None
_conn_path: Path | None = None
_conn_pid: int | None = None
_override: Path | None = None
_abandoned: list[sqlite3.Connection] = []  # inherited across fork; never closed here


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
    """Close this process's connection; the next call opens it again."""
    global _conn, _conn_path, _conn_pid
    with _lock:
        if _conn is not None:
            if _conn_pid == os.getpid():
                _conn.close()
            else:
                _abandoned.append(_conn)
        _conn = _conn_path = _conn_pid = None


def _connection() -> sqlite3.Connection:
    global _conn, _conn_path, _conn_pid
    path = database_path()
    if _conn is not None and _conn_path == path and _conn_pid == os.getpid():
        return _conn
    close()
    conn = _open(path)
    _conn, _conn_path, _conn_pid = conn, path, os.getpid()
    return conn


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
        conn = sqlite3.connect(path, timeout=BUSY_TIMEOUT, isolation_level=None, check_same_thread=False)
    except sqlite3.Error as exc:
        raise DatabaseError(f"cannot open the project database {path}: {exc}") from exc
    try:
        _prepare(conn, path)
    except sqlite3.OperationalError as exc:
        conn.close()
        raise DatabaseError(f"cannot use the project database {path}: {exc}") from exc
    except sqlite3.DatabaseError as exc:
        conn.close()
        raise DatabaseError(f"{path} is not a morvane database (not a usable SQLite file: {exc})") from exc
    except BaseException:
        conn.close()
        raise
    return conn


def _pragma(conn: sqlite3.Connection, name: str) -> Any:
    return conn.execute(f"PRAGMA {name}").fetchone()[0]


def _prepare(conn: sqlite3.Connection, path: Path) -> None:
    """Check the file is ours and current; create the schema in an empty one."""
    # Reading the header first: a file that is not a database fails here,
    # before anything is written to it.
    app_id, version = _pragma(conn, "application_id"), _pragma(conn, "user_version")
    _check_version(path, app_id, version)
    if app_id == 0:
        _check_empty(conn, path)
    conn.execute("PRAGMA journal_mode=WAL")
    conn.execute("PRAGMA synchronous=NORMAL")
    if app_id == APPLICATION_ID and version == SCHEMA_VERSION:
        return
    conn.execute("BEGIN IMMEDIATE")
    try:
        # Another process may have created the schema meanwhile.
        app_id, version = _pragma(conn, "application_id"), _pragma(conn, "user_version")
        _check_version(path, app_id, version)
        if app_id == 0:
            _check_empty(conn, path)
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
    except BaseException:
        if conn.in_transaction:
            conn.execute("ROLLBACK")
        raise


def _check_empty(conn: sqlite3.Connection, path: Path) -> None:
    tables = [row[0] for row in conn.execute("SELECT name FROM sqlite_master WHERE type = 'table'")]
    if tables:
        raise DatabaseError(
            f"{path} is an SQLite database that morvane did not create "
            f"(tables: {', '.join(sorted(tables))}); refusing to change it"
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


# -- transactions -----------------------------------------------------------


def _transaction(write: bool, body: Callable[[sqlite3.Connection], T]) -> T:
    """Run ``body`` in one transaction: committed if it returns, rolled back if it raises."""
    with _lock:
        conn = _connection()
        path = _conn_path
        try:
            conn.execute("BEGIN IMMEDIATE" if write else "BEGIN")
            try:
                result = body(conn)
            except BaseException:
                if conn.in_transaction:
                    conn.execute("ROLLBACK")
                raise
            conn.execute("COMMIT")
        except sqlite3.Error as exc:
            if conn.in_transaction:
                try:
                    conn.execute("ROLLBACK")
                except sqlite3.Error:
                    pass
            raise DatabaseError(f"project database {path}: {exc}") from exc
        return result


def _chunks(names: Sequence[str]) -> Iterable[Sequence[str]]:
    for start in range(0, len(names), _CHUNK):
        yield names[start : start + _CHUNK]


def _placeholders(n: int) -> str:
    return ", ".join("?" * n)


def _text(value: Any, what: str) -> str:
    if not isinstance(value, str):
        raise TypeError(f"{what} must be a str, got {type(value).__name__}")
    return value


def _path_text(value: Any, what: str, *, optional: bool = False) -> str | None:
    if value is None and optional:
        return None
    if isinstance(value, os.PathLike):
        value = os.fspath(value)
    return _text(value, what)


def _names(names: tuple[Any, ...], function: str) -> list[str]:
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"{function}() takes names as str, got {type(name).__name__}")
    return list(dict.fromkeys(names))


# -- factories --------------------------------------------------------------

_FACTORY_COLUMNS = "name, source, status, message, has_model"


def _factory(row: tuple[Any, ...]) -> FactoryRecord:
    name, source, status, message, has_model = row
    return FactoryRecord(name=name, source=source, status=status, message=message, has_model=bool(has_model))


def _factory_row(record: Any) -> tuple[Any, ...]:
    if not isinstance(record, FactoryRecord):
        raise TypeError(f"add_factories() takes FactoryRecord objects, got {type(record).__name__}")
    return (
        _text(record.name, "FactoryRecord.name"),
        _path_text(record.source, f"FactoryRecord.source of {record.name!r}"),
        _text(record.status, f"FactoryRecord.status of {record.name!r}"),
        _text(record.message, f"FactoryRecord.message of {record.name!r}"),
        1 if record.has_model else 0,
    )


def get_all_factories() -> dict[str, FactoryRecord]:
    """Every stored factory record, by name (in name order)."""

    def body(conn: sqlite3.Connection) -> dict[str, FactoryRecord]:
        rows = conn.execute(f"SELECT {_FACTORY_COLUMNS} FROM factories ORDER BY name")
        return {row[0]: _factory(row) for row in rows}

    return _transaction(False, body)


def get_factories_by_name(*names: str) -> dict[str, FactoryRecord]:
    """The stored records of those names, in the order given; unknown names are left out."""
    wanted = _names(names, "get_factories_by_name")
    if not wanted:
        return {}

    def body(conn: sqlite3.Connection) -> dict[str, FactoryRecord]:
        found: dict[str, FactoryRecord] = {}
        for chunk in _chunks(wanted):
            sql = f"SELECT {_FACTORY_COLUMNS} FROM factories WHERE name IN ({_placeholders(len(chunk))})"
            for row in conn.execute(sql, chunk):
                found[row[0]] = _factory(row)
        return {name: found[name] for name in wanted if name in found}

    return _transaction(False, body)


def get_factories_by_source(*paths: str | os.PathLike[str]) -> dict[str, FactoryRecord]:
    """The stored records whose source file is one of ``paths``, in name order.

    A path may be absolute or relative to the project directory; a stored
    source matches when it names the same file, written relative to the
    project directory or absolute.
    """
    if not paths:
        return {}
    project_dir = _settings.get_project_dir()
    wanted: dict[str, None] = {}
    for p in paths:
        absolute = Path(project_dir, _path_text(p, "get_factories_by_source() path") or "").resolve()
        wanted[str(absolute)] = None
        wanted[absolute.as_posix()] = None
        if absolute.is_relative_to(project_dir):
            wanted[absolute.relative_to(project_dir).as_posix()] = None
    sources = list(wanted)

    def body(conn: sqlite3.Connection) -> dict[str, FactoryRecord]:
        found: dict[str, FactoryRecord] = {}
        for chunk in _chunks(sources):
            sql = f"SELECT {_FACTORY_COLUMNS} FROM factories WHERE source IN ({_placeholders(len(chunk))})"
            for row in conn.execute(sql, chunk):
                found[row[0]] = _factory(row)
        return dict(sorted(found.items()))

    return _transaction(False, body)


def add_factories(*records: FactoryRecord) -> None:
    """Store the records, each replacing a stored record of the same name."""
    if not records:
        return

    def body(conn: sqlite3.Connection) -> None:
        conn.executemany(
            f"INSERT OR REPLACE INTO factories ({_FACTORY_COLUMNS}) VALUES (?, ?, ?, ?, ?)",
            (_factory_row(r) for r in records),
        )

    _transaction(True, body)


def remove_factories(*names: str) -> None:
    """Delete the records of those names (unknown names are ignored)."""
    _delete("factories", names, "remove_factories")


def set_all_factories_has_model(*, has_model: bool = False) -> None:
    """Set the has-model flag of every stored factory."""
    flag = 1 if has_model else 0
    _transaction(True, lambda conn: conn.execute("UPDATE factories SET has_model = ?", (flag,)))


def set_factories_has_model_by_names(*names: str, has_model: bool = True) -> None:
    """Set the has-model flag of the stored factories of those names."""
    wanted = _names(names, "set_factories_has_model_by_names")
    if not wanted:
        return
    flag = 1 if has_model else 0

    def body(conn: sqlite3.Connection) -> None:
        for chunk in _chunks(wanted):
            conn.execute(
                f"UPDATE factories SET has_model = ? WHERE name IN ({_placeholders(len(chunk))})",
                (flag, *chunk),
            )

    _transaction(True, body)


# -- models -----------------------------------------------------------------

_MODEL_COLUMNS = "name, settings, source, pdk_type, status, message"


def _model(row: tuple[Any, ...]) -> ModelRecord:
    name, settings, source, pdk_type, status, message = row
    return ModelRecord(
        factory=name, settings=settings, source=source, pdk_type=pdk_type, status=status, message=message
    )


def _model_row(record: Any) -> tuple[Any, ...]:
    if not isinstance(record, ModelRecord):
        raise TypeError(f"add_models() takes ModelRecord objects, got {type(record).__name__}")
    name = _text(record.factory, "ModelRecord.factory")
    return (
        name,
        _text(record.settings, f"ModelRecord.settings of {name!r}"),
        _path_text(record.source, f"ModelRecord.source of {name!r}", optional=True),
        _text(record.pdk_type, f"ModelRecord.pdk_type of {name!r}"),
        _text(record.status, f"ModelRecord.status of {name!r}"),
        _text(record.message, f"ModelRecord.message of {name!r}"),
    )


def add_models(*records: ModelRecord) -> None:
    """Store the records, each replacing a stored record of the same model name."""
    if not records:
        return

    def body(conn: sqlite3.Connection) -> None:
        conn.executemany(
            f"INSERT OR REPLACE INTO models ({_MODEL_COLUMNS}) VALUES (?, ?, ?, ?, ?, ?)",
            (_model_row(r) for r in records),
        )

    _transaction(True, body)


def get_all_models() -> list[str]:
    """The names of the stored models, in name order."""
    return _transaction(False, lambda conn: [row[0] for row in conn.execute("SELECT name FROM models ORDER BY name")])


def get_all_model_records() -> dict[str, ModelRecord]:
    """Every stored model record, by model name (in name order)."""

    def body(conn: sqlite3.Connection) -> dict[str, ModelRecord]:
        rows = conn.execute(f"SELECT {_MODEL_COLUMNS} FROM models ORDER BY name")
        return {row[0]: _model(row) for row in rows}

    return _transaction(False, body)


def remove_models(*names: str) -> None:
    """Delete the model records of those names (unknown names are ignored)."""
    _delete("models", names, "remove_models")


def _delete(table: str, names: tuple[Any, ...], function: str) -> None:
    wanted = _names(names, function)
    if not wanted:
        return

    def body(conn: sqlite3.Connection) -> None:
        for chunk in _chunks(wanted):
            conn.execute(f"DELETE FROM {table} WHERE name IN ({_placeholders(len(chunk))})", chunk)

    _transaction(True, body)


# -- scopes -------------------------------------------------------------------


@contextlib.contextmanager
def pass_scope() -> Iterator[None]:
    """One registration pass as one transaction.

    The database calls made inside the scope join one write transaction,
    committed when the scope ends and rolled back when it ends with an
    exception, so that another process never sees half a pass.
    """
    yield


@contextlib.contextmanager
def reading() -> Iterator[None]:
    """Read-only use: inside the scope this process opens the database
    read-only and never creates it or its directory; a database that does
    not exist yet reads as empty."""
    yield


def reopen_if_replaced() -> str | None:
    """Reopen the database when its file was deleted or replaced (another
    device or inode) since this process opened it, creating it anew when it
    is gone; returns a one-line notice of what was done, or ``None`` when the
    file is the one in use."""
    return None


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
                    (_text(source, "source"), *(error[k] for k in _IMPORT_ERROR_COLUMNS)),
                )

    _transaction(True, body)


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

    return _transaction(False, body)
