"""Doubles for the pdk module's collaborators.

Every collaborator of ``morvane.core.pdk`` is looked up in the module's
namespace at call time, so a test rebinds it there (``monkeypatch.setattr`` on
the module object) with a double that writes each call into one shared log;
the test then compares that log with the calls the function must make.
"""

from __future__ import annotations

import sys
import textwrap
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import pytest

import morvane.core.pdk as pdk_module


class CallLog(list):
    """The calls the doubles saw, in order, as ``(name, args, kwargs)``."""

    def names(self) -> list[str]:
        return [c[0] for c in self]

    def of(self, name: str) -> list[tuple[tuple, dict]]:
        return [(a, k) for n, a, k in self if n == name]

    def double(self, name: str, result: Any = None, *, effect=None):
        """A callable that logs each call, then returns ``effect(...)`` when
        given, else ``result``."""

        def call(*args: Any, **kwargs: Any) -> Any:
            self.append((name, args, kwargs))
            return result if effect is None else effect(*args, **kwargs)

        call.__name__ = name.replace(".", "_")
        return call

    def lines(self) -> list[tuple[str, str]]:
        """The log records as (level, message)."""
        return [(n.split(".")[1], a[0]) for n, a, _ in self if n.startswith("log.")]


class Logger:
    def __init__(self, calls: CallLog) -> None:
        self._calls = calls

    def __getattr__(self, level: str):
        return self._calls.double(f"log.{level}")


class Service:
    """A stand-in module whose functions are given as keywords."""

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


class FakePdk:
    def __init__(self, name: str = "fake", cells=None, containers=None) -> None:
        self.name = name
        self.cells = {} if cells is None else cells
        self.containers = {} if containers is None else containers
        self.models: dict = {}
        self.activations = 0

    def activate(self) -> None:
        self.activations += 1


@pytest.fixture(autouse=True)
def _fresh_caches():
    pdk_module._get_pdk.cache_clear()
    pdk_module.get_base_pdk.cache_clear()
    yield
    pdk_module._get_pdk.cache_clear()
    pdk_module.get_base_pdk.cache_clear()


@pytest.fixture
def pdk():
    return pdk_module


@pytest.fixture
def calls() -> CallLog:
    return CallLog()


@pytest.fixture
def substitute(monkeypatch):
    """substitute(name=value, ...): rebinds module globals for one test."""

    def put(**names: Any) -> None:
        for name, value in names.items():
            monkeypatch.setattr(pdk_module, name, value, raising=False)

    return put


@pytest.fixture
def fake_log(calls, substitute):
    """``log`` replaced: each ``log()`` is logged as "log", each record as
    "log.<level>"."""
    substitute(log=calls.double("log", effect=lambda: Logger(calls)))
    return calls


def frames(exc: BaseException) -> list[str]:
    """The function names of an exception's traceback, outermost first."""
    import traceback

    return [f.name for f in traceback.extract_tb(exc.__traceback__)]


def write(path: Path, text: str = "") -> Path:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(textwrap.dedent(text).lstrip())
    return path


@pytest.fixture
def project(tmp_path, monkeypatch):
    """A real project directory, selected through the settings, with its own
    database; its modules and the PDK caches are forgotten afterwards."""
    from morvane import settings
    from morvane.core import database

    root = (tmp_path / "proj").resolve()
    write(root / "pyproject.toml", '[project]\nname = "demo"\n\n[tool.morvane]\npdk = "generic"\n')
    (root / "demo").mkdir()
    write(root / "demo" / "__init__.py")
    for var in ("MORVANE_DATABASE", "MORVANE_LOG_LEVEL"):
        monkeypatch.delenv(var, raising=False)
    monkeypatch.setenv("MORVANE_PROJECT_DIR", str(root))
    monkeypatch.setattr(sys, "path", list(sys.path))
    settings.reset_settings()
    database.use_database(None)
    yield root
    database.use_database(None)
    settings.reset_settings()
    for name, module in list(sys.modules.items()):
        where = getattr(module, "__file__", None) or ""
        if where.startswith(str(tmp_path)):
            del sys.modules[name]
