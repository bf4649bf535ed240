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
    imports are unchanged need not be reloaded.

:func:`clear` forgets everything (a new project directory, or a test that
wants a fresh process's view).
"""

from __future__ import annotations

from typing import Any

from morvane.core._pysource import FileCache, Stamp

__all__ = ["files", "loaded", "clear", "graph_state", "set_graph_state"]

files = FileCache()

loaded: dict[str, tuple[Any, dict[str, Stamp | None]]] = {}

_graph: Any = None


def graph_state() -> Any:
    return _graph


def set_graph_state(state: Any) -> None:
    global _graph
    _graph = state


def clear() -> None:
    global _graph
    files.clear()
    loaded.clear()
    _graph = None
