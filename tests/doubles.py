"""Test doubles and helpers shared by the pdk and models suites, the leak
driver (tests/leak/driver.py) and the benchmarks.

Every collaborator of ``morvane.core.pdk`` and ``morvane.core.models`` is
looked up in the module's namespace at call time, so a test rebinds it there
with a double that writes each call into one shared ``CallLog``; the test then
compares that log with the calls the function must make.

The suites import this as a plain module (``from doubles import ...``): pytest
puts ``tests/`` on sys.path because ``tests/pdk`` and ``tests/models`` are
packages. Scripts run from elsewhere put ``tests/`` on sys.path themselves.
"""

from __future__ import annotations

import gc
import sys
import textwrap
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

# ---- call log and stand-ins ------------------------------------------------------


class CallLog(list):
    """The calls the doubles saw, in order: ``(name, args, kwargs)``; a
    kwargs dict keeps the keywords in the order they were passed."""

    def names(self) -> list[str]:
        return [c[0] for c in self]

    def of(self, name: str) -> list[tuple[tuple, dict]]:
        return [(a, k) for n, a, k in self if n == name]

    def double(self, name: str, result: Any = None, *, effect=None):
        """A callable that logs each call under ``name``, then returns
        ``effect(*args, **kwargs)`` if given, else ``result``."""

        def call(*args: Any, **kwargs: Any) -> Any:
            self.append((name, args, kwargs))
            if effect is not None:
                return effect(*args, **kwargs)
            return result

        call.__name__ = name.replace(".", "_")
        return call

    def lines(self) -> list[tuple[str, str]]:
        """The log records as (level, message)."""
        return [(n.split(".")[1], a[0]) for n, a, _ in self if n.startswith("log.")]


class Logger:
    """A logger that writes each record into the call log as "log.<level>"."""

    def __init__(self, calls: CallLog) -> None:
        self._calls = calls

    def debug(self, *args: Any, **kwargs: Any) -> None:
        self._calls.append(("log.debug", args, kwargs))

    def info(self, *args: Any, **kwargs: Any) -> None:
        self._calls.append(("log.info", args, kwargs))

    def warning(self, *args: Any, **kwargs: Any) -> None:
        self._calls.append(("log.warning", args, kwargs))


class Quiet:
    """A logger that drops every record."""

    def debug(self, message: str) -> None:
        pass

    info = warning = debug


class Namespace:
    """A stand-in module whose attributes are set from keywords."""

    def __init__(self, **attrs: Any) -> None:
        self.__dict__.update(attrs)


@dataclass(eq=True)
class Rec:
    """A factory record: the four stored fields, and ``absolute_source()``
    returning ``path`` (``source`` as a Path when not given)."""

    name: str
    source: str = "/p/a.py"
    status: str = "UNKNOWN"
    message: str = ""
    path: Any = field(default=None, compare=False, repr=False)

    def absolute_source(self) -> Any:
        return Path(self.source) if self.path is None else self.path


def module_fixtures(module):
    """The ``calls``, ``substitute`` and ``fake_log`` fixtures for the tests of
    ``module``; a conftest binds them under those names::

        calls, substitute, fake_log = module_fixtures(pdk_module)
    """
    import pytest  # here, so that the scripts importing this module do not load it

    @pytest.fixture
    def calls() -> CallLog:
        return CallLog()

    @pytest.fixture
    def substitute(monkeypatch):
        """substitute(name=value, ...): rebinds module globals for one test."""

        def put(**names: Any) -> None:
            for name, value in names.items():
                monkeypatch.setattr(module, name, value, raising=False)

        return put

    @pytest.fixture
    def fake_log(calls, substitute):
        """``log`` replaced: each ``log()`` call is logged as "log", each
        record as "log.<level>"."""
        substitute(log=calls.double("log", effect=lambda: Logger(calls)))
        return calls

    return calls, substitute, fake_log


# ---- files and functions ------------------------------------------------------------


def write(path: Path, text: str = "") -> Path:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(textwrap.dedent(text).lstrip())
    return path


def assert_error_function_header(func, name: str, module: str, returns: str) -> None:
    """``func``, made to stand in for ``module.name`` after its import failed,
    carries that name, that module, ``(*args: Any, **kwargs: Any) -> returns``
    and no docstring."""
    assert (func.__name__, func.__qualname__, func.__module__) == (name, name, module)
    assert func.__annotations__ == {"args": "Any", "kwargs": "Any", "return": returns}
    assert func.__doc__ is None


# ---- reference and memory-block counts (debug interpreter only) ------------------------

CALLS = 300


def run_calls(action, calls: int) -> None:
    """Calls ``action`` ``calls`` times; an exception it raises is dropped
    together with its traceback, so that no frame outlives the call."""
    for _ in range(calls):
        try:
            action()
        except Exception as exc:
            exc.__traceback__ = None


def counts() -> tuple[int, int]:
    """Total references and allocated memory blocks, after collecting garbage."""
    gc.collect()
    return sys.gettotalrefcount(), sys.getallocatedblocks()


def growth(action, calls: int = CALLS) -> tuple[int, int]:
    """How much references and blocks grow over ``calls`` calls of ``action``,
    after 30 warm-up calls."""
    run_calls(action, 30)
    refs, blocks = counts()
    run_calls(action, calls)
    after_refs, after_blocks = counts()
    return after_refs - refs, after_blocks - blocks


def assert_flat(action, rounds: int = 5) -> None:
    """Passes at the first of ``rounds`` rounds of ``CALLS`` calls in which
    neither count grows by a quarter of the calls.

    One reference lost per call shows as ``CALLS`` in every round.  Caches
    that CPython fills while warming up (a module reload reads and interns
    its code, for instance) grow for a few hundred calls and then stop, by how
    much depending on the heap the earlier tests left behind."""
    results = []
    for _ in range(rounds):
        refs, blocks = growth(action)
        if refs < CALLS // 4 and blocks < CALLS // 4:
            return
        results.append((refs, blocks))
    raise AssertionError(f"grew in every round: {results}")
