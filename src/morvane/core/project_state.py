"""What the host services keep between registration passes, in one place.

``files``
    The per-file cache (:class:`morvane.core._pysource.FileCache`): every
    analysis of a project or library file (the call graph's factories and
    import edges, the function records of the model search) is computed from
    one parse of the file and kept while the file is unchanged. That rule,
    the file's stamp and content digest, is the only staleness rule: all
    other state here is derived from these results and compared by identity.
``graph``
    The call graph's index of the last pass (owned by
    :mod:`morvane.core.callgraph`), rebuilt where the files' results changed.
``importer_map``
    Who imports whom among the project files, derived from the cache's
    import results and rebuilt when one of them changed.
``loaded``
    For each module file the importer ran successfully, the module object
    and the stamps of the file and of every project file it imports,
    directly or through others, at that moment: an unchanged file whose
    imports are unchanged, and none of whose imports ran again since, need
    not be reloaded.

``kept``
    What the other services derive from these results and keep from pass
    to pass (the model search's function table, the importer's reload
    order, module names), one dictionary per kind; each answer is checked
    by the identity of what it was derived from before it is used.

:func:`one_look` makes a block (one pass, one import) see each file once:
the cache's stamps are taken once per file, and what follows from them
(which file a module name stands for, a file's import closure) is worked
out once and dropped when the block ends.

:func:`clear` forgets everything (a new project directory, or a test that
wants a fresh process's view).
"""

from __future__ import annotations

import contextlib
import gc
import itertools
import os
import stat
import weakref
from collections.abc import Iterator
from pathlib import Path
from types import ModuleType
from typing import Any, cast

from morvane.core import _bytecode
from morvane.core._pysource import FileCache, module_name

__all__ = ["files", "loaded", "kept", "clear", "graph_state", "set_graph_state", "one_look",
           "unchanged_since_load", "record_load", "forget_load"]

files = FileCache()
files.on_parse = _bytecode.parsed  # a project file's import compiles the tree parsed here

# file -> (the module object, content digest of every project file it imports
# transitively, itself included, when it last ran to the end, and the tick
# of that run)
loaded: dict[Path, tuple[weakref.ref[ModuleType], dict[Path, bytes | None], int]] = {}

# file -> the tick of the last time the importer ran it (to the end or not)
# or dropped its module. A module that ran before one of its imports ran
# again holds the names of the import's old module: what a file's own text
# cannot show.
_last_run: dict[Path, int] = {}
_clock = itertools.count(1)

_graph: Any = None


# (the files as strings, their "imports" results, by identity) -> module
# name -> importing files
_importers: tuple[list[str], list[Any], dict[str, set[Path]]] | None = None


def importer_map(paths: list[Path], sources: list[str], imported: list[Any],
                 module_of: dict[Path, str]) -> dict[str, set[Path]]:
    """Module name to the files among ``paths`` (``sources`` their strings)
    that import it, from each file's ``imported`` names (the cache's
    "imports" results); kept while the files and their results are the same
    (an edit that leaves a file's imports as they were keeps it)."""
    global _importers
    if _importers is not None and _importers[0] == sources and len(_importers[1]) == len(imported) \
            and all(a is b or a == b for a, b in zip(_importers[1], imported)):
        return _importers[2]
    importers: dict[str, set[Path]] = {}
    for path, names in zip(paths, imported):
        module = module_of[path]
        for name in names:
            if name != module:
                importers.setdefault(name, set()).add(path)
    _importers = (sources, imported, importers)
    return importers


def graph_state() -> Any:
    return _graph


def set_graph_state(state: Any) -> None:
    global _graph
    _graph = state


# What one look (see one_look) has worked out: module name -> its file,
# file -> the project files it imports, file -> its closure.
_look_targets: dict[Path, list[Path]] = {}
_look_closures: dict[Path, dict[Path, bytes | None]] = {}
_look_resolved: dict[tuple[Path, str], Path] = {}


def resolved_paths() -> dict[tuple[Path, str], Path]:
    """(directory, relative source) -> the resolved path, for this look."""
    return _look_resolved


# Other services' answers that hold for one look (a name kind -> key -> answer).
_look_memos: dict[str, dict[Any, Any]] = {}


# Other services' answers kept from look to look (a kind -> key -> answer).
_kept: dict[str, dict[Any, Any]] = {}


def kept(kind: str) -> dict[Any, Any]:
    """The dictionary of answers of ``kind`` kept from pass to pass, emptied
    by :func:`clear`; what is read from it must be checked against the
    objects it was derived from."""
    found = _kept.get(kind)
    if found is None:
        found = _kept[kind] = {}
    return found


def look_memo(kind: str) -> dict[Any, Any] | None:
    """A dictionary for answers of ``kind`` that stay true while the block of
    :func:`one_look` runs (what a file's path resolves to, say), emptied when
    it ends; ``None`` outside a look, where nothing may be kept."""
    if not files.looking:
        return None
    memo = _look_memos.get(kind)
    if memo is None:
        memo = _look_memos[kind] = {}
    return memo


def project_dir() -> Path:
    """``settings.get_project_dir()``, read once per look."""
    from morvane import settings

    memo = look_memo("project")
    if memo is None:
        return settings.get_project_dir()
    found = memo.get("dir")
    if found is None:
        found = memo["dir"] = settings.get_project_dir()
    return found


def resolve(path: Any) -> Path:
    """``Path(path).resolve()``, once per absolute path and look."""
    memo = look_memo("resolve")
    key = path if isinstance(path, str) else str(path) if isinstance(path, Path) else None
    if memo is None or key is None or not os.path.isabs(key):
        return Path(path).resolve()
    found = memo.get(key)
    if found is None:
        found = memo[key] = _resolve_in_look(Path(key), memo)
    return found


def _resolve_in_look(path: Path, memo: dict[Any, Any]) -> Path:
    """``path.resolve()`` for an absolute path, inside a look: the folder is
    resolved once per look, then joined with the name, which is what
    resolving the whole path gives while the name is no symbolic link (a
    project's files share a few folders, and each component of a path costs
    a system call to resolve)."""
    name = path.name
    if not name or name == "..":
        return path.resolve()
    folder = str(path.parent)
    if name not in _listed_plain(folder):
        try:
            if stat.S_ISLNK(os.lstat(path).st_mode):
                return path.resolve()
        except OSError:
            pass  # missing: resolve() keeps the name as it is
    return _resolved_folder(folder, memo) / name


def _walked_folders() -> dict[str, Any]:
    """The folders (as strings) that this look's walk of the project listed;
    none outside a look or a project."""
    memo = look_memo("walked folders")
    if memo is None:
        return {}
    folders = memo.get("folders")
    if folders is None:
        from morvane.settings import SettingsError

        try:
            walked = files.walked(project_dir())
        except SettingsError:  # no project: no walk to go by
            walked = None
        folders = memo["folders"] = walked[1] if walked is not None else {}
    return cast(dict[str, Any], folders)


def _listed_plain(folder: str) -> frozenset[str]:
    """The names of the files in ``folder`` that this look's walk listed and
    found to be no symbolic links (none for a folder it did not list)."""
    listed = _walked_folders().get(folder)
    return cast(frozenset[str], listed.plain) if listed is not None else frozenset()


def _resolved_folder(folder: str, memo: dict[Any, Any]) -> Path:
    """``Path(folder).resolve()``, once per look: a folder the walk listed
    inside another one it listed is no symbolic link (the walk enters no
    linked folder), so it resolves as its parent's resolved path and its name."""
    found = memo.get(folder)
    if found is None:
        walked = _walked_folders()
        parent, _, name = folder.rpartition(os.sep)
        if folder in walked and parent in walked and name not in ("", ".", ".."):
            found = _resolved_folder(parent, memo) / name
        else:
            found = Path(folder).resolve()
        memo[folder] = found
    return cast(Path, found)


@contextlib.contextmanager
def one_look() -> Iterator[None]:
    """Within the block, each file is looked at once (see the module docstring)."""
    if files.looking:
        yield
        return
    # A pass makes hundreds of thousands of containers (a new call graph,
    # records, their settings) that live until it ends and then die by
    # reference counting; the cyclic collector would scan them over and over
    # while they live, a cost that grows with the project faster than the
    # pass does. It is paused for the look and left as it was after it.
    collecting = gc.isenabled()
    gc.disable()
    try:
        # The bytecode caches of the files the pass imports are written after it.
        with files.one_look(), _bytecode.holding():
            try:
                yield
            finally:
                _forget_look()
    finally:
        if collecting:
            gc.enable()


def _module_file(project_dir: Path, name: str) -> Path | None:
    """The project file that module ``name`` would be imported from, if any."""
    # Most names a file imports are not project modules ("polyforge",
    # "a.b.some_function"): a name whose package folder does not exist is
    # none, and that folder is looked at once per look.
    root = str(project_dir)
    parent, _, _ = name.rpartition(".")
    if parent and not _is_dir(root, parent):
        return None
    base = os.path.join(root, *name.split("."))
    for candidate in (base + ".py", os.path.join(base, "__init__.py")):
        if os.path.isfile(candidate):
            return Path(candidate)
    return None


# (project directory, dotted name) -> whether that name's folder exists
_look_dirs: dict[tuple[str, str], bool] = {}


def _is_dir(root: str, dotted: str) -> bool:
    """Whether the folder of the dotted name ``dotted`` exists under ``root``."""
    if not files.looking:
        return os.path.isdir(os.path.join(root, *dotted.split(".")))
    key = (root, dotted)
    known = _look_dirs.get(key)
    if known is None:
        parent, _, _ = dotted.rpartition(".")
        known = _look_dirs[key] = (not parent or _is_dir(root, parent)) \
            and os.path.isdir(os.path.join(root, *dotted.split(".")))
    return known


_UNKNOWN: Any = object()
_look_names: dict[Path, dict[str, Path | None]] = {}


# The module files found while the project's listing was the same object
# (project directory, that listing, dotted name -> its file or None): kept
# from look to look, because an answer is kept only when every folder it
# asked about was listed by the walk, so that no entry of it changed while
# the listing stays the same.
_kept_names: tuple[str, Any, dict[str, Path | None]] | None = None


def _kept_module_files(project_dir: Path) -> tuple[dict[str, Path | None], Any] | None:
    """The kept answers for the project's listing of this look and its listed
    folders; ``None`` outside a look."""
    global _kept_names
    walked = files.walked(project_dir)
    if walked is None:
        return None
    listing, folders = walked
    root = str(project_dir)
    if _kept_names is None or _kept_names[0] != root or _kept_names[1] is not listing:
        _kept_names = (root, listing, {})
    return _kept_names[2], folders


def _listed_module_file(project_dir: Path, name: str, folders: Any) -> tuple[Path | None, bool]:
    """:func:`_module_file`, and whether each file-system test it made was
    about an entry of a listed folder (the answer then holds while the
    listing does)."""
    target = _module_file(project_dir, name)
    root = str(project_dir)
    parts = name.split(".")
    # The folders _module_file's tests look into: those of the dotted parents
    # and, for a package's __init__, the module's own folder when it exists.
    for k in range(len(parts)):
        folder = os.path.join(root, *parts[:k])
        if folder not in folders:
            return target, False
        if k < len(parts) - 1 and not _is_dir(root, ".".join(parts[:k + 1])):
            return target, True  # the parent folders stop here
    base = os.path.join(root, *parts)
    if target is not None and str(target) == base + ".py":
        return target, True
    return target, base in folders or not os.path.isdir(base)


def _find_module_file(project_dir: Path, name: str,
                      kept: tuple[dict[str, Path | None], Any] | None) -> Path | None:
    """:func:`_module_file`, from the kept answers when there are some."""
    if kept is None:
        return _module_file(project_dir, name)
    answers, folders = kept
    target: Path | None = answers.get(name, _UNKNOWN)
    if target is _UNKNOWN:
        target, listed = _listed_module_file(project_dir, name, folders)
        if listed:
            answers[name] = target
    return target


def _targets(project_dir: Path, file: Path) -> list[Path]:
    """The project files that ``file``'s module-level imports load."""
    if files.looking and file in _look_targets:
        return _look_targets[file]
    out: list[Path] = []
    # Both are resolved: the text of one starts with the other's exactly when
    # the file lies under the folder (pathlib's test makes a path per parent).
    root, text = str(project_dir), str(file)
    if text.startswith(root.rstrip(os.sep) + os.sep):
        module = module_name(tuple(text[len(root.rstrip(os.sep)) + 1:].split(os.sep)))
        names = files.get("imports", file, module, file.name == "__init__.py")
        # Files share most of their imported names: within a look each
        # name's file is found once, by the name alone, and between looks
        # the answers about listed folders are kept (see _kept_names).
        known = _look_names.setdefault(project_dir, {}) if files.looking else {}
        kept = _kept_module_files(project_dir) if names else None
        if kept is not None:
            # The same names, all answered from the same kept answers: the
            # same files.
            prior = _kept_targets.get(file)
            if prior is not None and prior[0] is names and prior[1] is kept[0]:
                _look_targets[file] = prior[2]
                return prior[2]
        all_kept = kept is not None
        for name in names:
            target = known.get(name, _UNKNOWN)
            if target is _UNKNOWN:
                target = known[name] = _find_module_file(project_dir, name, kept)
            if target is not None:
                out.append(target)
            all_kept = all_kept and name in kept[0]  # type: ignore[index]
        if all_kept and kept is not None:
            _kept_targets[file] = (names, kept[0], out)
        elif not names:
            _kept_targets[file] = (names, _NO_IMPORTS, out)
        else:
            _kept_targets.pop(file, None)  # what it holds is of other names
    if files.looking:
        _look_targets[file] = out
    return out


_NO_IMPORTS: Any = object()  # the answers a file without imports was found with: none


# file -> (its import names, the kept answers they were all found in, the
# files they load): kept from look to look while the file's import names are
# the same object (its content is the same) and so are the kept answers (the
# project's listing is the same). Callers do not change the list.
_kept_targets: dict[Path, tuple[Any, dict[str, Path | None], list[Path]]] = {}


def _closure(file: Path) -> dict[Path, bytes | None]:
    """The content digests of ``file`` and of the project files it imports,
    directly or through others."""
    from morvane.core import callgraph  # noqa: F401  (registers the "imports" analysis)

    if files.looking and file in _look_closures:
        return _look_closures[file]
    root = resolve(project_dir())
    kept = _kept_closure(root, file)
    if kept is not None:
        if files.looking:
            _look_closures[file] = kept
        return kept
    digests = {file: files.digest(file)}
    todo = [file]
    while todo:
        current = todo.pop()
        for target in _targets(root, current):
            if target not in digests:
                known = _look_closures.get(target) if files.looking else None
                if known is not None:
                    # Its closure is part of this one: take it whole.
                    for other, digest in known.items():
                        digests.setdefault(other, digest)
                    continue
                digests[target] = files.digest(target)
                todo.append(target)
    if files.looking:
        _look_closures[file] = digests
    _keep_closure(root, file, digests)
    return digests


# file -> (the project directory, the kept module-file answers, the closure,
# the files it imports itself): a closure holds while the answers are the
# same object (no listed folder changed), each file in it has the content of
# its digest (so the same imports), and each one's imports were all found
# among those answers when it was made (nothing unlisted asked). A file
# whose own content changed keeps the closure of what it imports while it
# imports the same files. A top-level file's closure is most of the
# project: worked out file by file, it is most of the cost of importing it
# again after a save.
_kept_closures: dict[Path, tuple[Path, Any, dict[Path, bytes | None], list[Path]]] = {}


def _keep_closure(project_dir: Path, file: Path, digests: dict[Path, bytes | None]) -> None:
    _kept_closures.pop(file, None)
    if not files.looking:
        return
    kept = _kept_module_files(project_dir)
    own = _look_targets.get(file)
    if kept is None or own is None or None in digests.values():
        return
    answers = kept[0]
    for path in digests:
        if not _all_answered(path, answers):
            return
    _kept_closures[file] = (project_dir, answers, digests, own)


def _all_answered(file: Path, answers: Any) -> bool:
    """Whether the imports of ``file`` were all found among ``answers`` (or
    it has none) when its targets were last worked out."""
    targets = _kept_targets.get(file)
    return targets is not None and (targets[1] is answers or targets[1] is _NO_IMPORTS)


def _kept_closure(project_dir: Path, file: Path) -> dict[Path, bytes | None] | None:
    """The kept closure of ``file`` when it holds; ``None`` otherwise."""
    found = _kept_closures.get(file)
    if found is None or found[0] != project_dir:
        return None
    _, answers, digests, own = found
    kept = _kept_module_files(project_dir)
    if kept is None or kept[0] is not answers:
        return None
    changed = files.changed(digests)
    if not changed:
        return digests
    if changed != [file]:
        return None
    # Only the file itself changed: the same imports have the same closure.
    targets = _targets(project_dir, file)
    digest = files.digest(file)
    if targets != own or digest is None or not _all_answered(file, answers):
        return None
    digests = {**digests, file: digest}
    _kept_closures[file] = (project_dir, answers, digests, targets)
    return digests


def unchanged_since_load(file: Path, module: ModuleType) -> bool:
    """Whether ``module``, run from ``file``, is still what running the file
    again would give: it is the module that ran last, and neither the file
    nor any project file it imports, directly or through others, changed
    since (a module that imports a changed one must run again)."""
    record = loaded.get(file)
    if record is None or record[0]() is not module:
        return False
    ref, digests, tick = record
    if files.digest(file) != digests.get(file):
        return False
    if any(_last_run.get(other, 0) > tick for other in digests):
        return False
    return _closure(file) == digests


def record_load(file: Path, module: ModuleType) -> None:
    """``module`` ran from ``file`` to the end."""
    tick = next(_clock)
    _last_run[file] = tick
    loaded[file] = (weakref.ref(module), _closure(file), tick)


def forget_load(file: Path) -> None:
    """The module of ``file`` failed to run or was dropped: whatever
    imported it before holds names it may no longer define."""
    _last_run[file] = next(_clock)
    loaded.pop(file, None)
    _kept_closures.pop(file, None)


def clear() -> None:
    """Forget everything kept between passes."""
    global _graph, _importers, _kept_names
    files.clear()
    _bytecode.forget()
    _kept_names = None
    _kept_targets.clear()
    _kept_closures.clear()
    _kept.clear()
    loaded.clear()
    _last_run.clear()
    _forget_look()
    _graph = _importers = None


def _forget_look() -> None:
    """Drop what the look worked out (see one_look)."""
    _look_dirs.clear()
    _look_targets.clear()
    _look_closures.clear()
    _look_resolved.clear()
    _look_memos.clear()
    _look_names.clear()
