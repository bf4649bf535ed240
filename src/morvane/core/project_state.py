"""Older names for the engine's session (:mod:`morvane.core.engine`)."""

from __future__ import annotations

import os
from collections.abc import Callable, Iterable
from pathlib import Path

from morvane.core.engine import session

__all__ = ["files", "one_look", "clear"]


class _Files:
    """The session's file inputs and file events, under their older names."""

    def listing(self, root: Path) -> tuple[Path, ...]:
        return session.listing(root)[0]

    def digest(self, path: Path) -> bytes | None:
        return session.digest(path)

    def seen(self, path: Path) -> bool:
        return session.seen(path)

    def events_begin(self, root: Path, covers: Callable[[str], bool]) -> None:
        session.events_begin(root, covers)

    def events_end(self) -> None:
        session.events_end()

    def touched(self, paths: Iterable[str | os.PathLike[str]]) -> None:
        session.touched(paths)

    @property
    def events_root(self) -> str | None:
        return session.events_root

    @property
    def looking(self) -> bool:
        return session.in_pass

    @property
    def parses(self) -> int:
        return session.parses


files = _Files()
one_look = session.one_pass
clear = session.clear
