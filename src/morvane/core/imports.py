"""Importing project files by path.

A file inside the project directory is imported under its dotted name
relative to that directory (``<project>/demo/cells/a.py`` is ``demo.cells.a``,
``<project>/demo/__init__.py`` is ``demo``), with the project directory at
the front of ``sys.path``. A file outside the project directory takes its
name from the longest ``sys.path`` entry that contains it.

``import_modules`` never raises for a file that fails to import: the
failure (a syntax error, a missing import, a file it may not read, anything
raised while the module body runs but a real Ctrl-C) is reported as
``(module name, exception)`` under the path object the caller gave, and the
other files are imported all the same. What a file raises that would say
nothing as text (``sys.exit(0)``, a bare ``MemoryError``) or that must not
escape as itself (``SystemExit``, ``GeneratorExit``, other exceptions that
are not ``Exception``s, such as a call of ``os._exit`` or the import time
limit of :mod:`morvane.core._guard`) is reported as a ``ProjectFileError``
whose text names it ("SystemExit: 0", "MemoryError"), chained from it. A module whose
import or reload failed is taken out of ``sys.modules``, so nothing
half-initialised stays behind. A reloaded module starts from a clean
namespace, as in a fresh process, but stays the same module object, so
that other modules' references to it see the new contents.

``get_cells_from_regex`` finds the cell factories of a file from its text
alone, for files that cannot be imported (or even parsed); for a file that
cannot be read at all, the names the project database holds for it. Names
the project keeps from another file are not the file's cells.
"""

from __future__ import annotations

import errno
import importlib
import importlib.machinery
import importlib.util
import keyword
import os
import re
import stat
import sys
from collections.abc import Callable, Iterable
from pathlib import Path
from types import ModuleType
from typing import Any, cast

from morvane import settings as _settings
from morvane.core import _bytecode, _guard, callgraph
from morvane.core.callgraph import scan_cell_names
from morvane.core.engine import Load, session
from morvane.logger import get_logger

__all__ = ["import_modules", "forget_deleted", "module_name_for", "get_cells_from_regex", "scan_cell_names",
           "ProjectFileError"]

PathLike = str | os.PathLike[str]


# -- module names -----------------------------------------------------------


def _split_suffix(filename: str) -> str | None:
    """The module part of a file name, without its (longest) import suffix."""
    for suffix in sorted(importlib.machinery.all_suffixes(), key=len, reverse=True):
        if filename.endswith(suffix) and len(filename) > len(suffix):
            return filename[: -len(suffix)]
    return None


def _base_dir(file: Path, project_dir: Path) -> Path | None:
    """The directory that ``file``'s module name is relative to."""
    if _inside(file, project_dir):
        return project_dir
    best: Path | None = None
    for entry in sys.path:
        if not isinstance(entry, str):
            continue
        try:
            base = Path(entry or os.curdir).resolve()
        except OSError:
            continue
        if file.is_relative_to(base) and file != base and (best is None or len(base.parts) > len(best.parts)):
            best = base
    return best


def _inside(file: Path, folder: Path) -> bool:
    """``file.is_relative_to(folder)``; for two absolute paths, a test of
    their text (pathlib's makes a path of every parent)."""
    if not (file.is_absolute() and folder.is_absolute()):
        return file.is_relative_to(folder)
    text, root = str(file), str(folder)
    return text == root or text.startswith(_folder_prefix(root))


def _folder_prefix(root: str) -> str:
    """The text that the paths inside the folder ``root`` start with."""
    return root if root.endswith(os.sep) else root + os.sep


def _name_and_base(file: Path, project_dir: Path) -> tuple[str, Path]:
    return _find_name_and_base(file, project_dir)


def _find_name_and_base(file: Path, project_dir: Path) -> tuple[str, Path]:
    base = _base_dir(file, project_dir)
    if base is None:
        raise ValueError(
            f"{file} is neither in the project directory {project_dir} nor under any sys.path entry"
        )
    if base is project_dir and file.is_absolute() and project_dir.is_absolute():
        parts = str(file)[len(_folder_prefix(str(project_dir))):].split(os.sep)
        if parts == [""]:
            parts = []
    else:
        parts = list(file.relative_to(base).parts)
    if not parts:
        raise ValueError(f"{file} is the project directory itself, not a module in it")
    stem = _split_suffix(parts[-1])
    if stem is None:
        raise ValueError(f"{file} is not a Python module (unknown file suffix)")
    if stem == "__init__":
        parts.pop()
    else:
        parts[-1] = stem
    if not parts:
        raise ValueError(f"{file} is the __init__ of {base} itself, which is not a package of it")
    for part in parts:
        if not part.isidentifier() or keyword.iskeyword(part):
            raise ValueError(f"{file}: {part!r} is not a valid module name")
    return ".".join(parts), base


def module_name_for(path: PathLike) -> str:
    """The dotted module name under which ``path`` is imported."""
    file = Path(path).resolve()
    return _name_and_base(file, _settings.get_project_dir())[0]


def _fallback_name(file: Path) -> str:
    stem = _split_suffix(file.name)
    return stem if stem is not None else file.stem


# -- importing ----------------------------------------------------------------


class ProjectFileError(ImportError):
    """What a project file raised, when its own text would not say it
    (``SystemExit: 0``) or it must not propagate as itself; the original is
    the ``__cause__``."""


# A module's own attributes that the import system set and a reload keeps.
_IMPORT_ATTRIBUTES = frozenset({
    "__name__", "__spec__", "__loader__", "__file__", "__path__", "__package__", "__cached__", "__builtins__",
})
_BARE_NUMBER = re.compile(r"[-+]?(?:\d+(?:\.\d*)?|\.\d+)(?:[eE][-+]?\d+)?")


def _file_error(exc: BaseException, name: str, file: Path) -> BaseException:
    """The error to report for ``exc`` raised by importing ``file``."""
    try:
        text = str(exc).strip()
    except Exception:  # a broken __str__ of the project's own exception class
        text = ""
    if isinstance(exc, Exception) and text and not _BARE_NUMBER.fullmatch(text):
        return exc
    label = type(exc).__name__
    error = ProjectFileError(f"{label}: {text}" if text else label, name=name, path=str(file))
    error.__cause__ = exc
    return error.with_traceback(exc.__traceback__)


def _clear_namespace(module: ModuleType) -> None:
    """Empty ``module``'s namespace before its body runs again, keeping what
    a fresh import would also find there: the import system's attributes and
    the submodules still imported."""
    namespace = vars(module)
    prefix = f"{module.__name__}."
    for key, value in list(namespace.items()):
        if key in _IMPORT_ATTRIBUTES:
            continue
        if isinstance(value, ModuleType) and sys.modules.get(prefix + key) is value:
            continue
        del namespace[key]
    namespace["__doc__"] = None


def _is_file_of(module: ModuleType, file: Path) -> bool:
    location = getattr(module, "__file__", None)
    if not isinstance(location, str):
        return False
    return location == str(file) or os.path.realpath(location) == str(file)


def _is_package_of(module: ModuleType, directory: Path) -> bool:
    locations = getattr(module, "__path__", None)
    if locations is None:
        return False
    try:
        return any(p == str(directory) or os.path.realpath(p) == str(directory) for p in locations)
    except TypeError:
        return False


def _package_dirs(name: str, base: Path) -> list[tuple[str, Path]]:
    """(package name, directory) of every package above ``name``, outermost first."""
    parts = name.split(".")
    return [(".".join(parts[:i]), base.joinpath(*parts[:i])) for i in range(1, len(parts))]


def _drop_stale_bytecode(file: Path) -> None:
    """Remove a cached bytecode file that may not reflect the source.

    The bytecode cache is validated by the source's modification time in
    whole seconds and its size, so a file rewritten within the same second
    at the same size would be run from the stale cache. A cache file not
    written strictly after the source is removed; the import recompiles it.
    """
    if file.suffix != ".py":
        return
    try:
        cached = importlib.util.cache_from_source(str(file))
        if os.stat(cached).st_mtime_ns <= os.stat(file).st_mtime_ns:
            os.unlink(cached)
    except (OSError, ValueError, NotImplementedError):
        pass


def _forget(name: str, module: ModuleType) -> None:
    """Take a failed module out of ``sys.modules`` and off its package."""
    if sys.modules.get(name) is module:
        del sys.modules[name]
    parent_name, _, child = name.rpartition(".")
    parent = sys.modules.get(parent_name) if parent_name else None
    if parent is not None and getattr(parent, child, None) is module:
        try:
            delattr(parent, child)
        except AttributeError:
            pass


def _exec_from_file(name: str, file: Path, base: Path) -> ModuleType:
    """Import ``file`` as module ``name`` from the file itself, replacing any
    module of that name, after making sure its packages are the ones of
    ``base``."""
    parent_name, _, child = name.rpartition(".")
    parent = _ensure_package(parent_name, base) if parent_name else None
    is_package = _split_suffix(file.name) == "__init__"
    spec = importlib.util.spec_from_file_location(
        name, file, submodule_search_locations=[str(file.parent)] if is_package else None
    )
    if spec is None or spec.loader is None:
        raise ImportError(f"cannot import {file}: not a Python module", name=name, path=str(file))
    module = importlib.util.module_from_spec(spec)
    previous = sys.modules.get(name)
    if previous is not None:
        where = getattr(previous, "__file__", None) or "a module without a file"
        get_logger().warning(f"module {name!r} was imported from {where}; importing {file} under that name")
    sys.modules[name] = module
    try:
        spec.loader.exec_module(module)
    except BaseException:
        if sys.modules.get(name) is module:
            del sys.modules[name]
        raise
    module = sys.modules.get(name, module)
    if parent is not None:
        setattr(parent, child, module)
    return module


def _ensure_package(name: str, base: Path) -> ModuleType:
    """The package ``name`` as found under ``base``, imported from there if
    ``sys.modules`` holds another one (or none)."""
    directory = base.joinpath(*name.split("."))
    module = sys.modules.get(name)
    if module is not None and _is_package_of(module, directory):
        return module
    for suffix in importlib.machinery.all_suffixes():
        init = directory / f"__init__{suffix}"
        if init.is_file():
            return _exec_from_file(name, init, base)
    # A directory without __init__: a namespace package of that directory.
    parent_name, _, child = name.rpartition(".")
    parent = _ensure_package(parent_name, base) if parent_name else None
    spec = importlib.machinery.ModuleSpec(name, None, is_package=True)
    spec.submodule_search_locations = [str(directory)]
    module = importlib.util.module_from_spec(spec)
    sys.modules[name] = module
    if parent is not None:
        setattr(parent, child, module)
    return module


def _import_file(name: str, file: Path, base: Path, reload: bool) -> ModuleType:
    """Import or reload ``file``; a reload of a module that is what running
    the file again would give (see :func:`_unchanged_since_run`) is skipped."""
    existing = sys.modules.get(name)
    if reload and existing is not None and _unchanged_since_run(file, existing):
        return existing
    try:
        # The file runs at arm's length: what it does to the process is put
        # back before anything else runs, its prints go to stderr, and a
        # time limit stops it.
        with _guard.project_code(_guard.label(file, base), limit=_settings.get_settings().import_timeout):
            module = _run_file(name, file, base, reload)
    except BaseException:
        _ran(file, None)
        raise
    if reload or module is not existing:  # it ran
        _ran(file, module)
    return module


def _ran(file: Path, module: ModuleType | None) -> None:
    """``file`` ran to the end, giving ``module``, or (``None``) failed or was
    dropped: recorded in the session with the number of the run and the
    digest of the file and of every project file it imports."""
    session.runs += 1
    session.last_run[file] = session.runs
    if module is None:
        session.loaded.pop(file, None)
    else:
        session.loaded[file] = Load(module, session.digest(file), callgraph.import_fingerprint(file), session.runs)


def _unchanged_since_run(file: Path, module: ModuleType) -> bool:
    """Whether ``module``, run from ``file``, is still what running the file
    again would give: it is the module that ran last, neither the file nor
    any project file it imports, directly or through others, changed since
    (their digest of :func:`callgraph.import_fingerprint`), and none of them
    ran again since (a module that ran before one of its imports ran again
    holds the names of the import's old module)."""
    load = session.loaded.get(file)
    if load is None or load.module() is not module or load.fingerprint is None:
        return False
    if callgraph.import_fingerprint(file) != load.fingerprint:
        return False
    return _latest_runs().get(file, 0) <= load.run


def _latest_runs() -> dict[Path, int]:
    """File -> the latest run of it or of a project file it imports,
    directly or through others; worked out once per revision and run."""
    latest = session.latest_runs
    if latest is not None and latest[0] == session.runs and latest[1] == session.revision:
        return latest[2]
    targets, components = callgraph.import_graph()
    found: dict[Path, int] = {}
    for component in components:  # each after those it imports
        value = max(session.last_run.get(p, 0) for p in component)
        for path in component:
            for target in targets[path]:
                value = max(value, found.get(target, 0))
        for path in component:
            found[path] = value
    session.latest_runs = (session.runs, session.revision, found)
    return found


def _run_file(name: str, file: Path, base: Path, reload: bool) -> ModuleType:
    existing = sys.modules.get(name)
    parent_name = name.rpartition(".")[0]
    if existing is not None and reload and parent_name and parent_name not in sys.modules:
        # Its package was dropped (a failed reload, say): import afresh.
        _forget(name, existing)
        existing = None
    if existing is not None and _is_file_of(existing, file):
        if not reload:
            return existing
        _drop_stale_bytecode(file)
        try:
            _clear_namespace(existing)
            module = importlib.reload(existing)
        except BaseException:
            _forget(name, existing)
            raise
        if _is_file_of(module, file):
            return module
        _forget(name, module)
        return _exec_from_file(name, file, base)

    _drop_stale_bytecode(file)
    packages_match = all(
        sys.modules.get(pkg) is None or _is_package_of(sys.modules[pkg], directory)
        for pkg, directory in _package_dirs(name, base)
    )
    if existing is None and packages_match:
        module = importlib.import_module(name)
        if _is_file_of(module, file):
            return module
    # The name (or one of its packages) is bound to another file: import
    # this one from its path.
    return _exec_from_file(name, file, base)


def _folders(files: list[Path], project_dir: Path) -> dict[str, None]:
    """The project's ``sys.path`` entry and the folders of the packages of
    those ``files`` inside it, written as the import system writes a
    package's ``__path__`` (the entry, then each part after a slash)."""
    root = str(project_dir)
    folders = {root: None}
    prefix = root.rstrip(os.sep) + os.sep
    for file in files:
        parent = os.path.dirname(os.fspath(file))
        if not parent.startswith(prefix):
            continue
        text = root
        for part in parent[len(prefix):].split(os.sep):
            text = f"{text}{os.sep}{part}"
            folders[text] = None
    return folders


def _ensure_on_sys_path(project_dir: Path) -> None:
    entry = str(project_dir)
    if entry not in sys.path:
        sys.path.insert(0, entry)


# Called with each file's resolved path once it has been imported or has
# failed to; the command line drives its progress bar with it.
progress_hook: Callable[[Path], object] | None = None


def import_modules(
    *, paths: Iterable[PathLike], reload: bool = False, from_project: bool = False
) -> tuple[dict[PathLike, ModuleType], dict[PathLike, tuple[str, BaseException]]]:
    """Import the files ``paths``, in the order given (with ``reload``, each
    after the files of the list it imports).

    Returns ``(modules, errors)``: ``modules`` maps each path that imported to
    its module, ``errors`` each path that failed to ``(module name,
    exception)``. Both are keyed by the path objects as given. With
    ``reload``, modules already imported are reloaded; with
    ``from_project``, paths outside the project directory are skipped.
    """
    project_dir = _settings.get_project_dir()
    _ensure_on_sys_path(project_dir)
    importlib.invalidate_caches()

    with session.one_pass():
        entries = [(path, session.resolved(path)) for path in paths]
        if from_project:
            entries = [(path, file) for path, file in entries if _inside(file, project_dir)]
        files = list(dict.fromkeys(file for _, file in entries))  # a file listed twice is imported once
        _forget_deleted(files, project_dir)
        _bytecode.use_for(_folders(files, project_dir))
        if reload:
            files = _dependencies_first(files, project_dir)
        results: dict[Path, tuple[bool, Any]] = {}
        for file in files:
            results[file] = _import_one(file, project_dir, bool(reload))
            if progress_hook is not None:
                progress_hook(file)

    modules: dict[PathLike, ModuleType] = {}
    errors: dict[PathLike, tuple[str, BaseException]] = {}
    for path, file in entries:
        ok, result = results[file]
        if ok:
            modules[path] = result
        else:
            errors[path] = result
    return modules, errors


def forget_deleted(files: Iterable[PathLike]) -> None:
    """Take the modules of those project files that no longer exist out of
    ``sys.modules``.

    Done before a pass imports anything: a file that still imports a deleted
    module must fail as it would in a new process, not find the module left
    over from an earlier pass."""
    _forget_deleted([Path(f).resolve() for f in files], _settings.get_project_dir())


def _forget_deleted(files: list[Path], project_dir: Path) -> None:
    """:func:`forget_deleted` for resolved paths."""
    for file in files:
        # A file the pass has already found there (stamped in this look) exists.
        if session.seen(file) or os.path.lexists(file) or not _inside(file, project_dir):
            continue
        try:
            name, _ = _name_and_base(file, project_dir)
        except ValueError:
            continue
        module = sys.modules.get(name)
        if module is not None and _is_file_of(module, file):
            _forget(name, module)
        _ran(file, None)
        # A package whose folder went with the file is gone too: a new
        # process would find no package of that name.
        for package, directory in _package_dirs(name, project_dir):
            held = sys.modules.get(package)
            if held is not None and not os.path.isdir(directory) and _is_package_of(held, directory):
                _forget(package, held)


def _dependencies_first(files: list[Path], project_dir: Path) -> list[Path]:
    """``files`` reordered so that each comes after the files of the list it
    imports (the given order otherwise; an import cycle is cut where it
    closes). A reload must run a module's project imports first, or it binds
    the names of the copies that are about to be replaced."""
    if len(files) < 2:
        return files
    by_module: dict[str, Path] = {}
    for file in files:
        try:
            by_module[_name_and_base(file, project_dir)[0]] = file
        except ValueError:
            continue
    module_of = {file: name for name, file in by_module.items()}
    names = [module_of.get(file) for file in files]
    imported = [None if name is None else callgraph.imported_modules(file, name) for file, name in zip(files, names)]
    imports_of = dict(zip(files, imported))

    def dependencies(file: Path) -> list[Path]:
        found = imports_of.get(file)
        if found is None:
            return []
        targets = (by_module.get(name) for name in sorted(found))
        return [t for t in targets if t is not None and t != file]

    # Depth first, without recursion: import chains may be long.
    order: dict[Path, None] = {}
    visiting: set[Path] = set()
    for root in files:
        if root in order:
            continue
        visiting.add(root)
        stack = [(root, iter(dependencies(root)))]
        while stack:
            file, pending = stack[-1]
            for dependency in pending:
                if dependency not in order and dependency not in visiting:
                    visiting.add(dependency)
                    stack.append((dependency, iter(dependencies(dependency))))
                    break
            else:
                stack.pop()
                visiting.discard(file)
                order[file] = None
    return list(order)


def _import_one(file: Path, project_dir: Path, reload: bool) -> tuple[bool, Any]:
    """``(True, module)`` or ``(False, (module name, exception))`` for one file."""
    try:
        name, base = _name_and_base(file, project_dir)
    except ValueError as exc:
        name = _fallback_name(file)
        return False, (name, ImportError(str(exc), name=name, path=str(file)))
    try:
        is_file = stat.S_ISREG(os.stat(file).st_mode)
        if is_file and not os.access(file, os.R_OK):
            # Python would run it from its cached bytecode, unseen;
            # a file its owner made unreadable is an error instead.
            raise PermissionError(errno.EACCES, os.strerror(errno.EACCES), str(file))
    except (FileNotFoundError, NotADirectoryError):
        is_file = False
    except OSError as exc:  # the file or a folder on the way may not be read
        return False, (name, exc)
    if not is_file:
        return False, (
            name,
            ModuleNotFoundError(f"No module named {name!r}: {file} does not exist", name=name, path=str(file)),
        )
    error: BaseException
    try:
        return True, _import_file(name, file, base, reload)
    except KeyboardInterrupt:
        raise  # a real Ctrl-C (one the file raises itself is a ProjectInterrupt)
    except BaseException as exc:
        # Whatever else a project file raises at import (even SystemExit,
        # os._exit or running out of memory) is a broken file, not a
        # request to stop.
        error = exc
    _guard.release(error, project_dir)
    return False, (name, _file_error(error, name, file))


# -- finding cells in a file's text -----------------------------------------


def get_cells_from_regex(path: PathLike) -> list[str]:
    """The cells that the file ``path`` defines for the project, found in its
    text (the file need not parse): the names of :func:`scan_cell_names`,
    less those the project keeps from another file. A name defined in two
    files is the cell of the file the call graph keeps it from (it warns
    about the other), so a file that fails to import does not turn another
    file's healthy cell into an error cell.
    """
    names = scan_cell_names(path)
    elsewhere = callgraph.kept_elsewhere(path, names)
    return [n for n in names if n not in elsewhere] if elsewhere else names
