"""Arbitrary objects at every argument and every collaborator result: each
function either returns or raises an ordinary Python exception (never a
crash, never the SystemError of a misused C API)."""

from __future__ import annotations

import functools
import sys
import types
from pathlib import Path

import networkx as nx
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import morvane.core.models as mm

from doubles import Namespace

from .conftest import FakePdk, RecordDouble


class Hostile:
    """Fails at every protocol it is asked for."""

    def __bool__(self):
        raise ArithmeticError("bool")

    def __eq__(self, other):
        raise ArithmeticError("eq")

    def __hash__(self):
        raise ArithmeticError("hash")

    def __iter__(self):
        raise ArithmeticError("iter")

    def __getattr__(self, name):
        raise ArithmeticError(name)

    def __str__(self):
        raise ArithmeticError("str")

    def __call__(self, *args, **kwargs):
        raise ArithmeticError("call")


class Weird:
    """Answers every protocol with itself or something odd."""

    def __getattr__(self, name):
        return self

    def __call__(self, *args, **kwargs):
        return self

    def __iter__(self):
        return iter([self, 1])

    def __getitem__(self, key):
        return self

    def __setitem__(self, key, value):
        pass

    def __str__(self):
        return "Weird"


class StrSub(str):
    pass


class DictSub(dict):
    pass


def plain():
    return None


leaves = st.one_of(
    st.none(), st.booleans(), st.integers(), st.floats(allow_nan=True), st.text(max_size=8), st.binary(max_size=4),
    st.builds(StrSub, st.text(max_size=4)), st.builds(Hostile), st.builds(Weird),
    st.sampled_from([ImportError("x"), ValueError, "sax.SType", "SDICT", "DICT[STR", "get_models", "_x", plain,
                     functools.partial(plain), Path("/tmp/x"), Path("rel"), print, object(), type, RecordDouble("r", None),
                     FakePdk({"a": plain}), types.ModuleType("m")]),
)
objects = st.recursive(
    leaves,
    lambda inner: st.one_of(
        st.lists(inner, max_size=3), st.tuples(inner, inner), st.tuples(inner),
        st.dictionaries(st.one_of(st.text(max_size=4), st.integers()), inner, max_size=3),
        st.builds(DictSub, st.dictionaries(st.text(max_size=3), inner, max_size=2)),
        st.frozensets(st.one_of(st.integers(), st.text(max_size=3)), max_size=3),
    ),
    max_leaves=6,
)

# Records shaped like the call graph's, with any value at any key.
function_records = st.fixed_dictionaries(
    {}, optional={"name": st.one_of(st.sampled_from(["mzi", "_p", "get_models"]), objects),
                  "module": st.one_of(st.sampled_from(["proj.m", "lib.m", "proj"]), objects),
                  "resolved_return_annotation": st.one_of(st.sampled_from(["sax.SDict", "dict[str, x]"]), objects),
                  "parameter_defaults": st.one_of(st.dictionaries(st.text(max_size=3), objects, max_size=2), objects)})

keys = st.one_of(st.none(), st.integers(), st.text(max_size=4), st.builds(StrSub, st.text(max_size=3)))

budget = settings(max_examples=150, deadline=None, suppress_health_check=list(HealthCheck))


def survives(call):
    try:
        call()
    except SystemError as exc:  # a C API call left in a bad state
        raise AssertionError(f"SystemError: {exc}") from exc
    except Exception as exc:
        if type(exc).__module__.startswith("hypothesis"):
            raise  # the engine's own signals are not results


ORIGINAL = dict(mm.__dict__)


def restore_globals():
    for name in set(mm.__dict__) - set(ORIGINAL):
        del mm.__dict__[name]
    mm.__dict__.update(ORIGINAL)


@pytest.fixture(autouse=True)
def _restore_globals():
    yield
    restore_globals()


def drawing(data, label):
    """A collaborator double whose every result is drawn."""

    def call(*args, **kwargs):
        return data.draw(objects, label=label)

    return call


class TestArguments:
    @budget
    @given(record=st.one_of(function_records, objects))
    def test_is_model(self, record):
        survives(lambda: mm._is_model(record))

    @budget
    @given(func=objects)
    def test_funcname(self, func):
        survives(lambda: mm._funcname(func))
        survives(lambda: mm._funcname(functools.partial(print, func)))

    @budget
    @given(records=st.one_of(st.dictionaries(st.sampled_from(["mzi", "plain", "x"]), st.one_of(function_records, objects),
                                             max_size=3), objects),
           func=st.one_of(objects, st.builds(lambda kw: functools.partial(plain, **kw),
                                             st.dictionaries(st.text(min_size=1, max_size=3), objects, max_size=2))))
    def test_create_record(self, records, func):
        survives(lambda: mm._create_record(records, func))

    @budget
    @given(funcname=objects, modname=objects, error=objects, args=st.lists(objects, max_size=2))
    def test_error_model(self, funcname, modname, error, args):
        def run():
            placeholder = mm._error_model(funcname, modname, error)
            survives(lambda: placeholder(*args))

        survives(run)

    @budget
    @given(lib_paths=objects, G=objects, reload=objects)
    def test_public_functions_with_any_argument(self, lib_paths, G, reload):
        # Collaborators that fail at once: only the argument handling runs.
        restore_globals()
        mm.__dict__.update(get_pdk=Hostile(), find_models=Hostile())
        survives(lambda: mm.find_models(lib_paths))
        survives(lambda: mm.register_models(G, reload=reload))


class TestCollaboratorResults:
    @budget
    @given(data=st.data())
    def test_find_models(self, data):
        functions = data.draw(st.one_of(
            st.dictionaries(st.one_of(st.sampled_from(["proj.m.mzi", "lib.m.mzi", "proj.f"]), keys),
                            st.one_of(function_records, objects), max_size=4), objects), label="functions")
        modules = data.draw(st.one_of(
            st.dictionaries(st.one_of(st.sampled_from(["proj", "proj.m", "lib.m"]), keys),
                            st.one_of(st.fixed_dictionaries({"path": st.sampled_from(["/p/proj/__init__.py",
                                                                                   "/p/lib/m.py"])}), objects),
                            max_size=3), objects), label="modules")
        restore_globals()  # each example starts from the module's own bindings
        pick = data.draw(st.sampled_from(["graph", "pdk", "dir", "name", "lib_paths", "records"]))
        mm.__dict__.update(
            get_pdk=(lambda: FakePdk(data.draw(st.one_of(st.dictionaries(st.text(max_size=3), objects, max_size=2),
                                                          objects)))) if pick == "pdk" else (lambda: FakePdk({})),
            ccg=Namespace(default_lib_paths=drawing(data, "lib_paths") if pick == "lib_paths"
                          else (lambda: {"proj": Path("/p/proj")})),
            generate_call_graph=drawing(data, "graph") if pick == "graph"
            else (lambda **kw: {"functions": functions, "modules": modules}),
            get_project_name=drawing(data, "name") if pick == "name" else (lambda: "proj"),
            get_project_dir=drawing(data, "dir") if pick == "dir" else (lambda: Path("/p")),
            m=Namespace(ModelRecord=drawing(data, "record") if pick == "records" else (lambda **kw: kw)),
        )
        survives(mm.find_models)

    @budget
    @given(data=st.data())
    def test_register_models(self, data):
        sources = [Path("/p/a.py"), Path("/p/b.py"), None]
        records = data.draw(st.one_of(
            st.dictionaries(st.sampled_from(["a", "b", "c"]),
                            st.builds(RecordDouble, st.sampled_from(["a", "b", "c"]), st.sampled_from(sources)),
                            max_size=3), objects), label="records")
        modules = data.draw(st.one_of(
            st.dictionaries(st.sampled_from(sources[:2]),
                            st.builds(lambda attrs: Namespace(**attrs),
                                      st.dictionaries(st.sampled_from(["a", "b", "x"]), st.sampled_from([plain, 1, print]),
                                                      max_size=3)), max_size=2), objects), label="modules")
        errors = data.draw(st.one_of(
            st.dictionaries(st.sampled_from(sources), st.one_of(st.tuples(st.text(max_size=3), objects), objects),
                            max_size=2), objects), label="errors")
        graph = data.draw(st.one_of(st.none(), objects, st.builds(
            lambda edges, flags: _graph(edges, flags),
            st.lists(st.tuples(st.sampled_from("abcxyz"), st.sampled_from("abcxyz")), max_size=6),
            st.dictionaries(st.sampled_from("abcxyz"), objects, max_size=6))), label="G")
        restore_globals()
        pick = data.draw(st.sampled_from(["none", "natsorted", "pdk", "base", "imports", "db", "nx", "log", "error_model"]))

        def maybe(name, default):
            return drawing(data, name) if pick == name else default

        mm.__dict__.update(
            find_models=lambda: records,
            natsorted=maybe("natsorted", sorted_or_list),
            get_pdk=maybe("pdk", lambda: FakePdk({})),
            get_base_pdk=maybe("base", lambda: FakePdk({"c": plain})),
            imports=Namespace(import_modules=maybe("imports", lambda **kw: (modules, errors))),
            log=maybe("log", lambda: Namespace(debug=lambda m: None, info=lambda m: None)),
            _error_model=maybe("error_model", mm._error_model),
            db=Namespace(set_all_factories_has_model=maybe("db", lambda **kw: None),
                         add_models=lambda *a: None, get_all_models=maybe("db", lambda: ["a", "old"]),
                         remove_models=lambda *a: None, set_factories_has_model_by_names=lambda *a, **k: None),
            nx=Namespace(reverse_view=maybe("nx", nx.reverse_view), topological_sort=maybe("nx", nx.topological_sort),
                         descendants=maybe("nx", nx.descendants)),
        )
        survives(lambda: mm.register_models(graph, reload=data.draw(objects, label="reload")))


def sorted_or_list(values):
    try:
        return sorted(values, key=str)
    except Exception:
        return list(values)


def _graph(edges, flags):
    G = nx.DiGraph()
    G.add_edges_from(edges)
    for node in list(G.nodes):
        if node in flags:
            G.nodes[node]["has_model"] = flags[node]
    return G


def test_module_still_whole():
    assert sys.modules["morvane.core.models"] is mm
    assert callable(mm.register_models)
