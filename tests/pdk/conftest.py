"""Doubles for the pdk module's collaborators: its PDK, and the fixtures that
rebind its globals (the call log, loggers, stand-in modules and factory
records, shared with the other suites, are in tests/doubles.py).

Every collaborator of ``morvane.core.pdk`` is looked up in the module's
namespace at call time, so a test rebinds it there (``monkeypatch.setattr`` on
the module object) with a double that writes each call into one shared log;
the test then compares that log with the calls the function must make.
"""

from __future__ import annotations

import sys

import pytest

import morvane.core.pdk as pdk_module

pytest.register_assert_rewrite("doubles")

from doubles import module_fixtures, write  # noqa: E402


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


calls, substitute, fake_log = module_fixtures(pdk_module)


def frames(exc: BaseException) -> list[str]:
    """The function names of an exception's traceback, outermost first."""
    import traceback

    return [f.name for f in traceback.extract_tb(exc.__traceback__)]


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
