"""Doubles for the models module's collaborators: its PDK and model records,
and the fixtures that rebind its globals (the call log, loggers and stand-in
modules they share with the pdk tests are in tests/doubles.py).

Every collaborator of ``morvane.core.models`` is looked up in the module's
namespace at call time, so the tests replace it there (``monkeypatch.setattr``
on the module object) with a double that writes what it was given into one
shared call log; a test then compares that log with the sequence of calls the
function must make.
"""

from __future__ import annotations

import sys
from typing import Any

import pytest

import morvane.core.models as models_module

pytest.register_assert_rewrite("doubles")

from doubles import CallLog, module_fixtures  # noqa: E402


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


calls, substitute, fake_log = module_fixtures(models_module)


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

