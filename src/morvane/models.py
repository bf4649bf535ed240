"""Record types kept in the project database.

``FactoryRecord``: one cell factory, keyed by its cell name.
``ModelRecord``: one circuit model, keyed by the name of the function that
builds it (``factory``).

Both are plain mutable records: keyword (or positional) construction,
assignable attributes, equality over every stored field, a readable repr and
``copy.deepcopy`` support. ``source`` is the record's source file as a path
string, relative to the project directory or absolute.

One exception to equality: a factory's ``has_model`` flag is derived data,
set by the model pass through the database (``set_*_has_model``), and is
left out of ``==``. A registration pass compares the records it finds
(whose flag it cannot know) with the stored ones; counting the flag would
report every factory with a model as changed on every pass and, by
rewriting it, clear its flag.
"""

from __future__ import annotations

import sys
from dataclasses import dataclass, field
from pathlib import Path

from morvane import settings as _settings

__all__ = ["FactoryRecord", "ModelRecord", "STATUS_UNKNOWN", "STATUS_ERROR", "STATUS_SUCCESS"]

STATUS_UNKNOWN = "UNKNOWN"
STATUS_ERROR = "ERROR"
STATUS_SUCCESS = "SUCCESS"


def _cached_absolute(record: FactoryRecord | ModelRecord, source: str) -> Path:
    # Resolving costs a system call per path component, and a pass asks a
    # record for its file several times: keep the answer on the record for
    # as long as its source and the project directory stay the same.
    # Within one look at the files (a pass), a source file resolves once,
    # however many records name it, and the project directory is read once.
    # (No look without project_state imported: the record types stay light.)
    state = sys.modules.get("morvane.core.project_state")
    memo = state.resolved_paths() if state is not None and state.files.looking else None
    project_dir = state.project_dir() if state is not None and memo is not None else _settings.get_project_dir()
    cached = record._resolved
    # Within a look the project directory is one object, and a record's
    # source is mostly the str it was made with: identity decides first.
    if cached is not None and (cached[0] is source or cached[0] == source) \
            and (cached[1] is project_dir or cached[1] == project_dir):
        return cached[2]
    key = (project_dir, source)
    resolved = memo.get(key) if memo is not None else None
    if resolved is None:
        if memo is not None and state is not None:
            resolved = state.resolve(project_dir / source)
        else:
            resolved = (project_dir / source).resolve()
        if memo is not None:
            memo[key] = resolved
            if state is not None:
                # A resolved path resolves to itself: the importer, handed
                # this one in the same look, need not resolve it again.
                resolving = state.look_memo("resolve")
                if resolving is not None:
                    resolving.setdefault(str(resolved), resolved)
    record._resolved = (source, project_dir, resolved)
    return resolved


@dataclass(slots=True)
class FactoryRecord:
    """A cell factory: its name, source file, status, message and has-model flag."""

    name: str
    source: str
    status: str = STATUS_UNKNOWN
    message: str = ""
    has_model: bool = field(default=False, compare=False)
    _resolved: tuple[str, Path, Path] | None = field(default=None, init=False, repr=False, compare=False)

    def absolute_source(self) -> Path:
        """The source file as an absolute, resolved path."""
        return _cached_absolute(self, self.source)


@dataclass(slots=True)
class ModelRecord:
    """A circuit model: the function that builds it, its default settings as
    JSON text, its source file, whether it comes from the project's PDK
    ("pdk") or the base PDK ("base_pdk"), its status and message."""

    factory: str
    settings: str
    source: str | None
    pdk_type: str
    status: str = STATUS_UNKNOWN
    message: str = ""
    _resolved: tuple[str, Path, Path] | None = field(default=None, init=False, repr=False, compare=False)

    @property
    def name(self) -> str:
        """The model's name (the name of its function)."""
        return self.factory

    def absolute_source(self) -> Path | None:
        """The source file as an absolute, resolved path; None without one."""
        if not self.source:
            return None
        return _cached_absolute(self, self.source)
