"""Doubles for the models module's collaborators.

Every collaborator of ``morvane.core.models`` is looked up in the module's
namespace at call time, so the tests replace it there (``monkeypatch.setattr``
on the module object) with a double that writes what it was given into one
shared call log; a test then compares that log with the sequence of calls the
function must make.
"""

from __future__ import annotations

import sys
from pathlib import Path
from typing import Any

import pytest

import morvane.core.models as models_module


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


class Logger:
    def __init__(self, calls: CallLog) -> None:
        self._calls = calls

    def debug(self, *args: Any, **kwargs: Any) -> None:
        self._calls.append(("log.debug", args, kwargs))

    def info(self, *args: Any, **kwargs: Any) -> None:
        self._calls.append(("log.info", args, kwargs))

    def warning(self, *args: Any, **kwargs: Any) -> None:
        self._calls.append(("log.warning", args, kwargs))


def lines(calls: CallLog) -> list[tuple[str, str]]:
    """The log records as (level, message)."""
    return [(n.split(".")[1], a[0]) for n, a, _ in calls if n.startswith("log.")]


class Namespace:
    """A stand-in module whose attributes are set from keywords."""

    def __init__(self, **attrs: Any) -> None:
        self.__dict__.update(attrs)


class FakePdk:
    def __init__(self, models: dict | None = None) -> None:
        self.models = {} if models is None else models


class RecordDouble:
    """A model record: the attributes register_models reads and writes, and
    an ``absolute_source()`` that logs its calls."""

    def __init__(self, factory: str, source: Any, calls: CallLog | None = None,
                 status: str = "UNKNOWN", message: str = "") -> None:
        self.factory = factory
        self.source = source
        self.status = status
        self.message = message
        self._calls = calls

    def absolute_source(self) -> Any:
        if self._calls is not None:
            self._calls.append(("absolute_source", (self.factory,), {}))
        return self.source

    def __repr__(self) -> str:
        return f"RecordDouble({self.factory!r}, {self.status!r}, {self.message!r})"


@pytest.fixture
def mm():
    return models_module


@pytest.fixture
def calls() -> CallLog:
    return CallLog()


@pytest.fixture
def substitute(monkeypatch):
    """substitute(name=value, ...): rebinds module globals for one test."""

    def put(**names: Any) -> None:
        for name, value in names.items():
            monkeypatch.setattr(models_module, name, value, raising=False)

    return put


@pytest.fixture
def fake_log(calls, substitute):
    """``log`` replaced: each ``log()`` call is logged as "log", each record
    as "log.<level>"."""
    substitute(log=calls.double("log", effect=lambda: Logger(calls)))
    return calls


@pytest.fixture
def clean_modules(tmp_path, monkeypatch):
    """Forgets modules imported from tmp_path, and restores sys.path."""
    monkeypatch.setattr(sys, "path", list(sys.path))
    yield
    root = str(tmp_path)
    for name, module in list(sys.modules.items()):
        where = getattr(module, "__file__", None) or ""
        paths = [str(p) for p in (getattr(module, "__path__", None) or [])]
        if where.startswith(root) or any(p.startswith(root) for p in paths):
            del sys.modules[name]


def write(path: Path, text: str) -> Path:
    import textwrap

    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(textwrap.dedent(text).lstrip())
    return path
