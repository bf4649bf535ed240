"""Building one cell with its defaults, as ``check``, ``export`` and the
language server do: within a time limit, with the cell's code at arm's
length, and every way it can fail told as one line."""

from __future__ import annotations

import inspect
import signal
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from types import FrameType
from typing import Any

__all__ = ["CellTimeout", "time_limit", "needs_arguments", "build"]


class CellTimeout(BaseException):
    """Raised into a cell that builds for longer than the time limit; not an
    ``Exception``, so that the cell's own handlers do not swallow it."""


@contextmanager
def time_limit(seconds: float) -> Iterator[None]:
    """Raise :class:`CellTimeout` into the block after ``seconds`` (an
    interval timer's signal: on the main thread only; none elsewhere, or
    for ``seconds`` of 0)."""
    if seconds <= 0 or not hasattr(signal, "setitimer") or signal.getsignal(signal.SIGALRM) is None:
        yield
        return

    def expire(signum: int, frame: FrameType | None) -> None:
        raise CellTimeout

    try:
        previous = signal.signal(signal.SIGALRM, expire)
    except ValueError:  # not the main thread: no limit
        yield
        return
    signal.setitimer(signal.ITIMER_REAL, seconds)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def needs_arguments(factory: Callable[..., Any]) -> bool:
    """Whether ``factory`` has a parameter without a default (it cannot be
    built with its defaults alone)."""
    try:
        parameters = inspect.signature(factory).parameters.values()
    except (TypeError, ValueError):
        return False
    return any(p.default is p.empty and p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD, p.KEYWORD_ONLY)
               for p in parameters)


def build(factory: Callable[..., Any], timeout: float) -> tuple[Any, str | None]:
    """Build one cell with its defaults: the component, or ``None`` and what went wrong."""
    import polyforge as pf

    from morvane.core import _guard

    try:
        # At arm's length, as at import: its prints go to stderr, and
        # os._exit or sys.exit in the cell is its failure, not the command's end.
        with _guard.project_code(f"cell {getattr(factory, '__name__', '?')}"), time_limit(timeout):
            component = factory()
    except CellTimeout:
        return None, f"took longer than {timeout:g} s"
    except KeyboardInterrupt:
        raise  # a real Ctrl-C (one the cell raises itself is a ProjectInterrupt)
    except Exception as exc:
        return None, f"{type(exc).__name__}: {exc}"
    except BaseException as exc:  # SystemExit, os._exit's HardExit, ProjectInterrupt, ...
        return None, f"{type(exc).__name__}: {exc}"
    if not isinstance(component, pf.Component):
        return None, f"returned {type(component).__name__}, not a polyforge.Component"
    return component, None
