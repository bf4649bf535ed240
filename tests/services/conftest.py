"""Fixtures for the service tests: throw-away projects in tmp_path."""

from __future__ import annotations

import sys
import textwrap
from pathlib import Path

import pytest

from morvane import settings
from morvane.core import database


@pytest.fixture(autouse=True)
def _clean_state(monkeypatch, tmp_path):
    """Fresh settings and database connection, no stray project modules."""
    for var in ("MORVANE_PROJECT_DIR", "MORVANE_DATABASE", "MORVANE_LOG_LEVEL"):
        monkeypatch.delenv(var, raising=False)
    monkeypatch.setattr(sys, "path", list(sys.path))
    settings.reset_settings()
    database.use_database(None)
    yield
    database.use_database(None)
    settings.reset_settings()
    root = str(tmp_path)
    for name, module in list(sys.modules.items()):
        where = getattr(module, "__file__", None) or ""
        paths = list(getattr(module, "__path__", None) or [])
        if where.startswith(root) or any(str(p).startswith(root) for p in paths):
            del sys.modules[name]


def write(path: Path, text: str = "") -> Path:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(textwrap.dedent(text))
    return path


@pytest.fixture
def make_project(tmp_path, monkeypatch):
    """Make a project directory with a pyproject.toml and select it."""

    def make(toml: str = '[project]\nname = "demo"\n\n[tool.morvane]\n', *, name: str = "proj") -> Path:
        root = tmp_path / name
        write(root / "pyproject.toml", toml)
        monkeypatch.setenv("MORVANE_PROJECT_DIR", str(root))
        settings.reset_settings()
        return root.resolve()

    return make


@pytest.fixture
def project(make_project) -> Path:
    return make_project()
