"""Reference and memory-block counts stay flat over many calls of every
function of the pdk module, on its success paths and its error paths.

Needs the debug interpreter (``scripts/leakcheck`` runs it there); skipped
under a release interpreter.
"""

from __future__ import annotations

import sys
import types
import warnings
from pathlib import Path

import pytest

import morvane.core.pdk as pdk

from doubles import Namespace, Quiet, Rec, assert_flat

from .conftest import FakePdk

pytestmark = pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs the debug interpreter")

A, B = Path("/p/a.py"), Path("/p/b.py")
MODULE = types.ModuleType("p.a")
MODULE.a = len
STORE = {"old": Rec("old"), "a": Rec("a", status="ERROR", message="m"), "b": Rec("b", "/p/moved.py")}


@pytest.fixture(autouse=True)
def doubles(monkeypatch):
    put = lambda **kw: [monkeypatch.setattr(pdk, k, v) for k, v in kw.items()]  # noqa: E731
    put(
        log=lambda: Quiet(),
        settings=Namespace(get_pdk_name=lambda: "generic", is_a_pdk=lambda: False, get_project_name=lambda: "demo"),
        imports=Namespace(import_modules=lambda **kw: ({A: MODULE}, {B: ("p.b", ValueError("x"))}),
                          get_cells_from_regex=lambda p: ["b", "c"] if p == B else 1 / 0),
        cg=Namespace(create_callgraph=lambda: None,
                     get_static_records=lambda G, paths: {"a": Rec("a"), "b": Rec("b", "/p/b.py"), "z": Rec("z", "/p/z.py")}),
        db=Namespace(get_all_factories=lambda: dict(STORE), get_factories_by_name=lambda *n: dict(STORE),
                     get_factories_by_source=lambda *p: dict(STORE),
                     add_factories=lambda *r: None, remove_factories=lambda *n: None),
        register_models=lambda G, reload: None,
        m=Namespace(FactoryRecord=Rec),
    )
    monkeypatch.setattr(warnings, "filters", [("ignore", None, Warning, None, 0)])
    yield
    pdk._get_pdk.cache_clear()
    pdk.get_base_pdk.cache_clear()


def fresh(function):
    def action():
        pdk._get_pdk.cache_clear()
        pdk.get_base_pdk.cache_clear()
        return function()

    return action


def frozen_base():
    pdk.get_base_pdk.cache_clear()
    return pdk.get_base_pdk()


class Odd(Exception):
    def __new__(cls):
        return 1


ACTIONS = {
    "get_pdk": fresh(pdk.get_pdk),
    "get_pdk cached": pdk.get_pdk,
    "get_base_pdk": fresh(lambda: pdk.get_base_pdk.__wrapped__()),
    "_get_pdk package without PDK": lambda: (setattr(pdk, "settings", Namespace(get_pdk_name=lambda: "sys")),
                                             pdk._get_pdk.__wrapped__()),
    "activate_pdk_by_name": lambda: pdk.activate_pdk_by_name("other"),
    "activate_pdk_by_name typed": lambda: pdk.activate_pdk_by_name(1),
    "FrozenPdk.__setattr__": lambda: setattr(frozen_base(), "x", 1),
    "FrozenPdk.__delattr__": lambda: delattr(frozen_base(), "x"),
    "register_cells paths": lambda: pdk.register_cells(paths=[A]),
    "register_cells full": lambda: pdk.register_cells(reload=False),
    "register_cells bad paths": lambda: pdk.register_cells(paths=1),
    "register_cells positional": lambda: pdk.register_cells([A]),
    "_sort_paths": lambda: pdk._sort_paths(["/p/b/c", "/a"]),
    "_sort_paths failing": lambda: pdk._sort_paths([1, 2]),
    "_error_cell instance": lambda: pdk._error_cell("a", "m", ValueError("v"))(1, k=2),
    "_error_cell text": lambda: pdk._error_cell("a", "m", "t")(),
    "_error_cell class": lambda: pdk._error_cell("a", "m", KeyError)(),
    "_error_cell bad class": lambda: pdk._error_cell("a", "m", Odd)(),
    "_error_cell not an exception": lambda: pdk._error_cell("a", "m", 3)(),
    "_error_cell typed": lambda: pdk._error_cell("a", None, 3),
    "_import_modules": lambda: pdk._import_modules({"a": Rec("a"), "b": Rec("b", "/p/b.py")}, [A, B, "x"]),
    "_import_modules odd paths": lambda: pdk._import_modules({"a": Rec("a")}, [object()]),
    "_import_modules typed": lambda: pdk._import_modules({}, ()),
    "_handle_import_errors": lambda: pdk._handle_import_errors({"b": Rec("b", "/p/b.py")}, {B: ("m", ValueError())}),
    "_handle_import_errors failed scan": lambda: pdk._handle_import_errors({}, {A: ("m", ValueError())}),
    "_handle_import_errors not a pair": lambda: pdk._handle_import_errors({}, {A: (1,)}),
    "_find_cells": lambda: pdk._find_cells({"a": Rec("a"), "q": Rec("q"), "r": Rec("r", "/p/r.py")}, {}),
    "_find_cells lookup fails": lambda: pdk._find_cells({"a": Rec("a")}, {A: object()}),
    "_get_database_updates": lambda: pdk._get_database_updates(
        {"a": Rec("a"), "b": Rec("b"), "n": Rec("n"), "c": Rec("c")}, {**STORE, "c": Rec("c", status="OK")}, [A]),
    "_get_database_updates unsortable": lambda: pdk._get_database_updates({1: Rec("a"), "b": Rec("b")}, {}, []),
    "_clean_containers_also_in_cells": lambda: pdk._clean_containers_also_in_cells(
        FakePdk(cells={"a": len, "k": len, "j": str}, containers={"k": len, "j": int})),
    "_clean_containers_also_in_cells bad pdk": lambda: pdk._clean_containers_also_in_cells(None),
}


@pytest.mark.parametrize("name", list(ACTIONS))
def test_flat(name):
    assert_flat(ACTIONS[name])
