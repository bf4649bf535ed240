"""Project settings, read from the ``[tool.morvane]`` table of ``pyproject.toml``.

The project directory is the value of the environment variable
``MORVANE_PROJECT_DIR`` when it is set, else the nearest directory, from the
working directory upwards, whose ``pyproject.toml`` has a ``[tool.morvane]``
table.

Keys of ``[tool.morvane]`` (all optional):

``name``
    the project's top-level module name; default: ``[project].name`` made
    into a module name (lower case, ``-``, ``.`` and spaces become ``_``),
    else the directory name made into a module name the same way.
``pdk``
    the PDK to use: ``"generic"`` (the default), ``"gpdk"`` or the dotted
    name of a PDK package.
``is-a-pdk``
    ``true`` when the project is itself a PDK; default ``false``.
``database``
    the project database file, relative to the project directory unless
    absolute; default ``.morvane/morvane.db``. The environment variable
    ``MORVANE_DATABASE`` overrides it (a relative value is taken relative to
    the project directory as well).
``import-timeout``
    the longest a project file may take to import, in seconds (a number;
    ``0`` for no limit); default 60. A file that takes longer becomes error
    cells.

The settings are read once and cached; the cache follows the two
environment variables (and the working directory when the project is
discovered from it), and ``reset_settings()`` forgets it.
"""

from __future__ import annotations

import os
import re
import threading
import tomllib
from dataclasses import dataclass
from pathlib import Path
from typing import Any

__all__ = [
    "PROJECT_DIR_ENV",
    "DATABASE_ENV",
    "DEFAULT_DATABASE",
    "DEFAULT_PDK",
    "DEFAULT_IMPORT_TIMEOUT",
    "Settings",
    "SettingsError",
    "get_settings",
    "reset_settings",
    "get_project_dir",
    "get_project_name",
    "get_pdk_name",
    "is_a_pdk",
    "find_project_dir",
    "normalise_module_name",
    "has_tool_table",
    "PYPROJECT",
]

PROJECT_DIR_ENV = "MORVANE_PROJECT_DIR"
DATABASE_ENV = "MORVANE_DATABASE"
DEFAULT_DATABASE = ".morvane/morvane.db"
DEFAULT_PDK = "generic"
PYPROJECT = "pyproject.toml"
DEFAULT_IMPORT_TIMEOUT = 60.0
# Longer than any import can reasonably take, and small enough for an
# interval timer.
MAX_IMPORT_TIMEOUT = 7 * 24 * 3600.0

_KNOWN_KEYS = ("name", "pdk", "is-a-pdk", "database", "import-timeout")
_DOTTED_NAME = re.compile(r"[^\W\d]\w*(?:\.[^\W\d]\w*)*")


class SettingsError(Exception):
    """The project or its settings cannot be found or are invalid."""


@dataclass(frozen=True, slots=True)
class Settings:
    project_dir: Path
    project_name: str
    pdk_name: str
    is_a_pdk: bool
    database_path: Path
    import_timeout: float = DEFAULT_IMPORT_TIMEOUT  # seconds; 0: no limit


_lock = threading.Lock()
_cache: tuple[tuple[Any, ...], Settings] | None = None


def normalise_module_name(name: str) -> str:
    """Turn a distribution or directory name into a module name."""
    return re.sub(r"[-.\s]+", "_", name.strip()).lower()


def has_tool_table(pyproject: Path) -> bool:
    """Whether ``pyproject`` is a file with a ``[tool.morvane]`` table.

    A malformed file raises ``SettingsError``: a broken ``pyproject.toml``
    on the way up must not silently hand the lookup to a parent project.
    """
    if not pyproject.is_file():
        return False
    data = _read_toml(pyproject)
    tool = data.get("tool")
    return isinstance(tool, dict) and "morvane" in tool


def find_project_dir(start: Path | None = None) -> Path:
    """The nearest directory from ``start`` (default: the CWD) upwards with a
    ``pyproject.toml`` holding a ``[tool.morvane]`` table."""
    here = (Path.cwd() if start is None else Path(start)).resolve()
    for directory in (here, *here.parents):
        if has_tool_table(directory / PYPROJECT):
            return directory
    raise SettingsError(
        f"no morvane project found: no pyproject.toml with a [tool.morvane] table "
        f"in {here} or any parent directory (set {PROJECT_DIR_ENV} to choose one, "
        f"or run `morvane init` to make one)"
    )


def _read_toml(path: Path) -> dict[str, Any]:
    try:
        with path.open("rb") as f:
            return tomllib.load(f)
    except tomllib.TOMLDecodeError as exc:
        raise SettingsError(f"{path}: malformed TOML: {exc}") from exc
    except UnicodeDecodeError as exc:
        raise SettingsError(f"{path}: not valid UTF-8 text: {exc}") from exc
    except OSError as exc:
        raise SettingsError(f"{path}: cannot read: {exc.strerror or exc}") from exc


def _type_name(value: Any) -> str:
    return {bool: "boolean", str: "string", int: "integer", float: "float", dict: "table", list: "array"}.get(
        type(value), type(value).__name__
    )


def _get(table: dict[str, Any], key: str, expected: type, what: str, path: Path, default: Any) -> Any:
    if key not in table:
        return default
    value = table[key]
    if type(value) is not expected:
        raise SettingsError(
            f"{path}: [tool.morvane] {key} must be {what}, got {_type_name(value)} {value!r}"
        )
    return value


def _project_dir_from_env(value: str) -> Path:
    path = Path(value).expanduser()
    try:
        path = path.resolve(strict=True)
    except OSError:
        raise SettingsError(f"{PROJECT_DIR_ENV}={value!r}: no such directory") from None
    if not path.is_dir():
        raise SettingsError(f"{PROJECT_DIR_ENV}={value!r}: not a directory")
    return path


def _load(project_dir: Path, database_env: str | None) -> Settings:
    pyproject = project_dir / PYPROJECT
    data: dict[str, Any] = _read_toml(pyproject) if pyproject.is_file() else {}

    tool = data.get("tool", {})
    if not isinstance(tool, dict):
        raise SettingsError(f"{pyproject}: [tool] must be a table, got {_type_name(tool)}")
    table = tool.get("morvane", {})
    if not isinstance(table, dict):
        raise SettingsError(f"{pyproject}: [tool.morvane] must be a table, got {_type_name(table)}")

    unknown = sorted(set(table) - set(_KNOWN_KEYS))
    if unknown:
        from morvane.logger import get_logger

        get_logger().warning(
            f"{pyproject}: unknown [tool.morvane] keys ignored: {', '.join(unknown)} "
            f"(known: {', '.join(_KNOWN_KEYS)})"
        )

    name = _get(table, "name", str, "a module name (string)", pyproject, None)
    if name is None:
        project = data.get("project", {})
        dist_name = project.get("name") if isinstance(project, dict) else None
        if isinstance(dist_name, str) and dist_name.strip():
            name = normalise_module_name(dist_name)
            origin = f"[project] name {dist_name!r}"
        else:
            name = normalise_module_name(project_dir.name)
            origin = f"directory name {project_dir.name!r}"
        if not _DOTTED_NAME.fullmatch(name):
            raise SettingsError(
                f"{pyproject}: cannot derive a module name from the {origin}; "
                f"set [tool.morvane] name to the project's module name"
            )
    elif not _DOTTED_NAME.fullmatch(name):
        raise SettingsError(
            f"{pyproject}: [tool.morvane] name must be a module name (letters, digits, "
            f"underscores, dots; not starting with a digit), got {name!r}"
        )

    pdk = _get(table, "pdk", str, "a PDK name (string)", pyproject, DEFAULT_PDK)
    if not _DOTTED_NAME.fullmatch(pdk):
        raise SettingsError(
            f"{pyproject}: [tool.morvane] pdk must be 'generic', 'gpdk' or a dotted "
            f"package name, got {pdk!r}"
        )

    is_pdk = _get(table, "is-a-pdk", bool, "a boolean (true or false)", pyproject, False)

    if database_env:
        database = Path(database_env).expanduser()
    else:
        db_value = _get(table, "database", str, "a file path (string)", pyproject, DEFAULT_DATABASE)
        if not db_value.strip():
            raise SettingsError(f"{pyproject}: [tool.morvane] database must be a file path, got ''")
        database = Path(db_value).expanduser()
    database_path = (project_dir / database).resolve()

    import_timeout = table.get("import-timeout", DEFAULT_IMPORT_TIMEOUT)
    if type(import_timeout) not in (int, float) or not 0 <= import_timeout <= MAX_IMPORT_TIMEOUT:
        raise SettingsError(
            f"{pyproject}: [tool.morvane] import-timeout must be a number of seconds from 0 (no limit) "
            f"to {MAX_IMPORT_TIMEOUT:g}, got {_type_name(import_timeout)} {str(import_timeout)[:60]}"
        )

    return Settings(
        project_dir=project_dir,
        project_name=name,
        pdk_name=pdk,
        is_a_pdk=is_pdk,
        database_path=database_path,
        import_timeout=float(import_timeout),
    )


def get_settings() -> Settings:
    """The current project's settings (cached)."""
    global _cache
    env_dir = os.environ.get(PROJECT_DIR_ENV) or None
    env_db = os.environ.get(DATABASE_ENV) or None
    if env_dir:
        cwd = None
    else:
        try:
            cwd = os.getcwd()
        except OSError as exc:
            raise SettingsError(f"cannot find the project: the working directory is gone ({exc.strerror})") from None
    key = (env_dir, env_db, cwd)
    cached = _cache
    if cached is not None and cached[0] == key:
        return cached[1]
    with _lock:
        cached = _cache
        if cached is not None and cached[0] == key:
            return cached[1]
        project_dir = _project_dir_from_env(env_dir) if env_dir else find_project_dir(Path(cwd or "."))
        settings = _load(project_dir, env_db)
        _cache = (key, settings)
        return settings


def reset_settings() -> None:
    """Forget the cached settings; the next call reads them again."""
    global _cache
    with _lock:
        _cache = None


def get_project_dir() -> Path:
    """The project directory (absolute, resolved)."""
    return get_settings().project_dir


def get_project_name() -> str:
    """The project's top-level module name."""
    return get_settings().project_name


def get_pdk_name() -> str:
    """The configured PDK name: "generic", "gpdk" or a dotted package name."""
    return get_settings().pdk_name


def is_a_pdk() -> bool:
    """Whether the project is itself a PDK."""
    return get_settings().is_a_pdk
