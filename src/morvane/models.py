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

from dataclasses import dataclass, field
from pathlib import Path

from morvane import settings as _settings

__all__ = ["FactoryRecord", "ModelRecord", "STATUS_UNKNOWN", "STATUS_ERROR", "STATUS_SUCCESS"]

STATUS_UNKNOWN = "UNKNOWN"
STATUS_ERROR = "ERROR"
STATUS_SUCCESS = "SUCCESS"


def _absolute(source: str) -> Path:
    # Resolving costs a system call per path component, and a pass asks the
    # records of one file for it many times: the session resolves each
    # source once per pass.
    from morvane.core.engine import session

    return session.resolved(session.per_pass(_settings.get_project_dir), source)


@dataclass(slots=True)
class FactoryRecord:
    """A cell factory: its name, source file, status, message and has-model flag."""

    name: str
    source: str
    status: str = STATUS_UNKNOWN
    message: str = ""
    has_model: bool = field(default=False, compare=False)

    def absolute_source(self) -> Path:
        """The source file as an absolute, resolved path."""
        return _absolute(self.source)


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

    @property
    def name(self) -> str:
        """The model's name (the name of its function)."""
        return self.factory

    def absolute_source(self) -> Path | None:
        """The source file as an absolute, resolved path; None without one."""
        if not self.source:
            return None
        return _absolute(self.source)
