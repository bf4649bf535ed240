"""Reference and memory-block counts stay flat over many calls of every
function of the models module, on success and on every kind of failure.

Needs the debug interpreter (``sys.gettotalrefcount``): run it with
``build/venv-dbg/bin/python -m pytest tests/models/test_leaks.py`` after
``scripts/build --debug``; under a release interpreter it is skipped.
"""

from __future__ import annotations

import sys
import types
from functools import partial
from pathlib import Path

import networkx as nx
import pytest

import morvane.core.models as mm

from doubles import Namespace, assert_flat

from .conftest import FakePdk, RecordDouble

pytestmark = pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs the debug interpreter")


@pytest.fixture(autouse=True)
def _restore_globals():
    saved = dict(mm.__dict__)
    yield
    for name in set(mm.__dict__) - set(saved):
        del mm.__dict__[name]
    mm.__dict__.update(saved)


def straight(length=1.0):
    pass


RECORD = {"name": "straight", "module": "p.m", "resolved_return_annotation": "sax.SDict",
          "parameter_defaults": {"length": 1.0}}


class Name:
    __name__ = 5

    def __call__(self):
        pass


RECORD_ACTIONS = {
    "is_model": lambda: mm._is_model(RECORD),
    "is_model_private": lambda: mm._is_model({**RECORD, "name": "_x"}),
    "is_model_missing_key": lambda: mm._is_model({}),
    "is_model_bad_name": lambda: mm._is_model({**RECORD, "name": 3}),
    "is_model_typed": lambda: mm._is_model([]),
    "funcname": lambda: mm._funcname(partial(partial(straight), 2)),
    "funcname_none": lambda: mm._funcname(object()),
    "funcname_not_str": lambda: mm._funcname(Name()),
    "create_record": lambda: mm._create_record({"straight": RECORD}, partial(straight, length=2, extra=[1])),
    "create_record_unknown": lambda: mm._create_record({}, straight),
    "create_record_no_defaults": lambda: mm._create_record({"straight": {}}, partial(straight, length=2)),
    "create_record_typed": lambda: mm._create_record(None, straight),
    "error_model_text": lambda: mm._error_model("a", "m", "text"),
    "error_model_typed": lambda: mm._error_model(None, "m", "x"),
    "error_model_arity": lambda: mm._error_model("a", "m"),
}

_instance_placeholder = None


def call_placeholder(error):
    def action():
        mm._error_model("a", "m", error)(1, 2, k=3)

    return action


PLACEHOLDER_ACTIONS = {
    "instance": call_placeholder(ImportError("x")),
    "class": call_placeholder(ValueError),
    "not_an_exception": call_placeholder(None),
    "bad_class": call_placeholder(type("Odd", (Exception,), {"__new__": lambda cls: 1})),
}


@pytest.mark.parametrize("name", list(RECORD_ACTIONS) + [f"placeholder_{k}" for k in PLACEHOLDER_ACTIONS])
def test_records_and_placeholders(name):
    action = RECORD_ACTIONS.get(name) or PLACEHOLDER_ACTIONS[name.removeprefix("placeholder_")]
    assert_flat(action)


def discovery_doubles(tmp_path: Path, **overrides):
    root = tmp_path / "proj"
    functions = {
        "lib.m.straight": {**RECORD, "module": "lib.m"},
        "proj.m.mzi": {**RECORD, "name": "mzi", "module": "proj.m"},
        "proj.m.straight": {**RECORD, "module": "proj.m"},
    }
    modules = {"lib.m": {"path": str(tmp_path / "lib" / "m.py")}, "proj": {"path": str(root / "proj" / "__init__.py")},
               "proj.m": {"path": str(root / "proj" / "m.py")}}
    doubles = dict(
        get_pdk=lambda: FakePdk({"wg": partial(straight, length=3.0), "none": object()}),
        ccg=Namespace(default_lib_paths=lambda: {"proj": root}),
        generate_call_graph=lambda **kw: {"functions": functions, "modules": modules},
        get_project_name=lambda: "proj",
        get_project_dir=lambda: root,
        m=Namespace(ModelRecord=lambda **kw: kw),
    )
    doubles.update(overrides)
    mm.__dict__.update(doubles)


DISCOVERY = {
    "found": {},
    "no_project": {"get_project_name": lambda: "other"},
    "lib_paths_not_dict": {"ccg": Namespace(default_lib_paths=lambda: [])},
    "graph_without_modules": {"generate_call_graph": lambda **kw: {"functions": {}}},
    "bad_function_record": {"generate_call_graph": lambda **kw: {"functions": {"a.b": 1}, "modules": {}}},
    "json_fails": {"m": Namespace(ModelRecord=lambda **kw: (_ for _ in ()).throw(ValueError("x")))},
}


@pytest.mark.parametrize("case", list(DISCOVERY))
def test_find_models(case, tmp_path):
    discovery_doubles(tmp_path, **DISCOVERY[case])
    assert_flat(mm.find_models)
    assert_flat(lambda: mm.find_models({"lib": tmp_path}))


def registration_doubles(tmp_path: Path, **overrides):
    A, B = tmp_path / "a.py", tmp_path / "b.py"
    records = {"a": RecordDouble("a", A), "b": RecordDouble("b", B), "c": RecordDouble("c", None)}
    modules = {A: types.SimpleNamespace(a=straight, x=print)}
    errors = {B: ("proj.b", ImportError("b"))}
    logger = Namespace(debug=lambda m: None, info=lambda m: None)
    doubles = dict(
        find_models=lambda: records,
        get_pdk=lambda: FakePdk({"old": print}),
        get_base_pdk=lambda: FakePdk({"c": print}),
        imports=Namespace(import_modules=lambda **kw: (modules, errors)),
        log=lambda: logger,
        db=Namespace(set_all_factories_has_model=lambda **kw: None, add_models=lambda *r: None,
                     get_all_models=lambda: ["a", "gone"], remove_models=lambda *n: None,
                     set_factories_has_model_by_names=lambda *n, **kw: None),
    )
    doubles.update(overrides)
    mm.__dict__.update(doubles)


def flagged_graph():
    G = nx.DiGraph([("top", "mid"), ("mid", "a"), ("mid", "b"), ("other", "x")])
    for n in G.nodes:
        G.nodes[n]["has_model"] = False
    return G


REGISTRATION = {
    "pass": ({}, flagged_graph),
    "no_graph": ({}, lambda: None),
    "import_not_a_pair": ({"imports": Namespace(import_modules=lambda **kw: (1, 2, 3))}, lambda: None),
    "no_records": ({"find_models": lambda: None}, lambda: None),
    "node_without_flag": ({}, lambda: nx.DiGraph([("x", "a")])),
    "cycle": ({}, lambda: nx.DiGraph([("x", "y"), ("y", "x")])),
}


@pytest.mark.parametrize("case", list(REGISTRATION))
def test_register_models(case, tmp_path):
    overrides, make_graph = REGISTRATION[case]
    registration_doubles(tmp_path, **overrides)
    G = make_graph()
    assert_flat(lambda: mm.register_models(G, reload=False))


def test_argument_errors():
    assert_flat(lambda: mm.register_models(G=None))
    assert_flat(lambda: mm.register_models(None, None))
    assert_flat(lambda: mm.find_models([]))
