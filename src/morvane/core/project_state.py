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
``loaded``
    For each module file the importer ran successfully, the module object
    and the stamps of the file and of every project file it imports,
    directly or through others, at that moment: an unchanged file whose
    imports are unchanged, and none of whose imports ran again since, need
    not be reloaded.

:func:`clear` forgets everything (a new project directory, or a test that
wants a fresh process's view).
"""

from __future__ import annotations

import itertools
import weakref
from pathlib import Path
from types import ModuleType
from typing import Any

from morvane.core._pysource import FileCache, module_name

__all__ = ["files", "loaded", "clear", "graph_state", "set_graph_state",
           "unchanged_since_load", "record_load", "forget_load"]

files = FileCache()

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


def graph_state() -> Any:
    return _graph


def set_graph_state(state: Any) -> None:
    global _graph
    _graph = state


def _module_file(project_dir: Path, name: str) -> Path | None:
    base = project_dir.joinpath(*name.split("."))
    for candidate in (base.with_name(base.name + ".py"), base / "__init__.py"):
        if candidate.is_file():
            return candidate
    return None


def _closure(file: Path) -> dict[Path, bytes | None]:
    """The content digests of ``file`` and of the project files it imports,
    directly or through others."""
    from morvane import settings
    from morvane.core import callgraph  # noqa: F401  (registers the "imports" analysis)

    project_dir = Path(settings.get_project_dir()).resolve()
    digests = {file: files.digest(file)}
    todo = [file]
    while todo:
        current = todo.pop()
        if not current.is_relative_to(project_dir):
            continue
        module = module_name(current.relative_to(project_dir).parts)
        for name in files.get("imports", current, module, current.name == "__init__.py"):
            target = _module_file(project_dir, name)
            if target is not None and target not in digests:
                digests[target] = files.digest(target)
                todo.append(target)
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


def clear() -> None:
    """Forget everything kept between passes."""
    global _graph
    files.clear()
    loaded.clear()
    _last_run.clear()
    _graph = None
