"""Importing project files by path.

A file inside the project directory is imported under its dotted name
relative to that directory (``<project>/demo/cells/a.py`` is ``demo.cells.a``,
``<project>/demo/__init__.py`` is ``demo``), with the project directory at
the front of ``sys.path``. A file outside the project directory takes its
name from the longest ``sys.path`` entry that contains it.

``import_modules`` never raises for a file that fails to import: the
failure (a syntax error, a missing import, any exception raised while the
module body runs) is reported as ``(module name, exception)`` under the path
object the caller gave, and the other files are imported all the same. A
module whose import or reload failed is taken out of ``sys.modules``, so
nothing half-initialised stays behind.

``get_cells_from_regex`` finds the cell factories of a file from its text
alone, for files that cannot be imported (or even parsed).
"""

from __future__ import annotations

import importlib
import importlib.machinery
import importlib.util
import keyword
import os
import re
import sys
from collections.abc import Callable, Iterable
from pathlib import Path
from types import ModuleType

from morvane import settings as _settings
from morvane.logger import get_logger

__all__ = ["import_modules", "module_name_for", "get_cells_from_regex"]

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
    if file.is_relative_to(project_dir):
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


def _name_and_base(file: Path, project_dir: Path) -> tuple[str, Path]:
    base = _base_dir(file, project_dir)
    if base is None:
        raise ValueError(
            f"{file} is neither in the project directory {project_dir} nor under any sys.path entry"
        )
    parts = list(file.relative_to(base).parts)
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
    """Import the files ``paths``, in the order given.

    Returns ``(modules, errors)``: ``modules`` maps each path that imported to
    its module, ``errors`` each path that failed to ``(module name,
    exception)``. Both are keyed by the path objects as given. With
    ``reload``, modules already imported are reloaded; with
    ``from_project``, paths outside the project directory are skipped.
    """
    project_dir = _settings.get_project_dir()
    _ensure_on_sys_path(project_dir)
    importlib.invalidate_caches()

    modules: dict[PathLike, ModuleType] = {}
    errors: dict[PathLike, tuple[str, BaseException]] = {}
    done: dict[Path, tuple[bool, object]] = {}  # a file listed twice is imported once

    for path in paths:
        file = Path(path).resolve()
        if from_project and not file.is_relative_to(project_dir):
            continue
        if file in done:
            ok, result = done[file]
            (modules if ok else errors)[path] = result  # type: ignore[assignment]
            continue
        try:
            name, base = _name_and_base(file, project_dir)
        except ValueError as exc:
            name = _fallback_name(file)
            errors[path] = (name, ImportError(str(exc), name=name, path=str(file)))
        else:
            if not file.is_file():
                errors[path] = (
                    name,
                    ModuleNotFoundError(f"No module named {name!r}: {file} does not exist", name=name, path=str(file)),
                )
            else:
                try:
                    modules[path] = _import_file(name, file, base, bool(reload))
                except (Exception, SystemExit) as exc:
                    # SystemExit too: a project file calling sys.exit() at
                    # import is a broken file, not a request to stop.
                    errors[path] = (name, exc)
        done[file] = (True, modules[path]) if path in modules else (False, errors[path])
        if progress_hook is not None:
            progress_hook(file)

    return modules, errors


# -- finding cells in a file's text -----------------------------------------

# A decorator line at the start of a line: "@" and a dotted name.
_DECORATOR_LINE = re.compile(r"@[ \t]*([^\W\d]\w*(?:[ \t]*\.[ \t]*[^\W\d]\w*)*)")
# A top-level function definition.
_DEF_LINE = re.compile(r"(?:async[ \t]+)?def[ \t]+([^\W\d]\w*)")
# A line that may sit between decorators: blank or a comment.
_FILLER_LINE = re.compile(r"[ \t]*(?:#.*)?")
# A line that cannot continue a decorator's argument list.
_STATEMENT_START = re.compile(r"(?:@|(?:async[ \t]+)?def[ \t]|class[ \t])")
_CELL_ALIAS = re.compile(r"\bcell[ \t]+as[ \t]+([^\W\d]\w*)")


def get_cells_from_regex(path: PathLike) -> list[str]:
    """The names of the top-level functions in ``path`` decorated with the
    layout library's cell decorator, found in the text (the file need not
    parse).

    A decorator counts when it is ``cell`` or ends in ``.cell`` (``@pf.cell``,
    ``@polyforge.cell``, ``@cell(...)``), or is an alias bound by an import
    ``... cell as name``. Decorator arguments may span lines; blank and
    comment lines may sit between the decorators and the ``def``. Names are
    returned in file order, each once. The scan is line by line and linear
    in the size of the file. Raises ``OSError`` when the file cannot be read.
    """
    text = Path(path).read_bytes().decode("utf-8", errors="replace")
    lines = text.replace("\r\n", "\n").replace("\r", "\n").split("\n")
    aliases = {"cell", *_CELL_ALIAS.findall(text)}
    names: dict[str, None] = {}

    in_decorators = False  # inside a run of decorators at the top level
    is_cell = False  # one of them is the cell decorator
    depth = 0  # open parentheses of a decorator spanning lines
    for line in lines:
        if depth > 0:
            if not _STATEMENT_START.match(line):
                depth = max(0, depth + line.count("(") - line.count(")"))
                continue
            depth = 0  # an unclosed argument list: give up on it
        decorator = _DECORATOR_LINE.match(line)
        if decorator:
            target = re.sub(r"[ \t]+", "", decorator.group(1))
            is_cell = (is_cell if in_decorators else False) or target in aliases or target.endswith(".cell")
            in_decorators = True
            depth = max(0, line.count("(") - line.count(")"))
            continue
        if in_decorators:
            definition = _DEF_LINE.match(line)
            if definition:
                if is_cell:
                    names[definition.group(1)] = None
            elif _FILLER_LINE.fullmatch(line):
                continue
        in_decorators = is_cell = False
    return list(names)
