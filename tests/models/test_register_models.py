"""register_models: the registration pass over recording doubles, the status
each record ends with, what reaches the database, and the has-model flags
climbing a real networkx graph."""

from __future__ import annotations

import functools
import types
from pathlib import Path

import natsort
import networkx as nx
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from doubles import Namespace
from morvane.core.lazy import lazy_import

from .conftest import FakePdk, RecordDouble


def module(name: str, **attrs):
    mod = types.ModuleType(name)
    mod.__dict__.update(attrs)
    return mod


def model_a():
    pass


def model_b():
    pass


class Pass:
    """One registration pass: records in three files (A defines a and b, B
    fails to import, C is imported but does not define its model), one record
    without a source, doubles for every collaborator."""

    def __init__(self, tmp_path: Path, calls, substitute, mm) -> None:
        self.calls = calls
        A, B, C = tmp_path / "a10.py", tmp_path / "a9.py", tmp_path / "c.py"
        self.paths = A, B, C
        self.records = {
            "a": RecordDouble("a", A, calls),
            "b": RecordDouble("b", A, calls),
            "e1": RecordDouble("e1", B, calls),
            "e2": RecordDouble("e2", B, calls),
            "lost": RecordDouble("lost", C, calls, status="OLD", message="kept"),
            "nosource": RecordDouble("nosource", None, calls),
        }
        self.error = ImportError("no module named x")
        self.modules = {A: module("proj.a10", a=model_a, b=model_b, unrelated=print, lost=42),
                        C: module("proj.c", lost="not callable")}
        self.errors = {B: ("proj.a9", self.error)}
        self.pdk = FakePdk({"stale": print})
        self.base_pdk = FakePdk({"e2": print, "base_only": print})
        self.stored = ["a", "gone"]
        real_error_model = mm._error_model
        db = Namespace(**{name: calls.double(f"db.{name}") for name in (
            "set_all_factories_has_model", "remove_models", "set_factories_has_model_by_names")})
        # The database sees the records just added.
        db.add_models = calls.double("db.add_models", effect=lambda *records: self.stored.extend(
            r.factory for r in records if r.factory not in self.stored))
        db.get_all_models = calls.double("db.get_all_models", effect=lambda: list(self.stored))
        substitute(
            find_models=calls.double("find_models", effect=lambda: self.records),
            natsorted=calls.double("natsorted", effect=natsort.natsorted),
            get_pdk=calls.double("get_pdk", effect=lambda: self.pdk),
            get_base_pdk=calls.double("get_base_pdk", effect=lambda: self.base_pdk),
            imports=Namespace(import_modules=calls.double(
                "import_modules", effect=lambda **kw: (self.modules, self.errors))),
            _error_model=calls.double("_error_model", effect=real_error_model),
            db=db,
            nx=Namespace(reverse_view=calls.double("nx.reverse_view", effect=nx.reverse_view),
                         topological_sort=calls.double("nx.topological_sort", effect=nx.topological_sort),
                         descendants=calls.double("nx.descendants", effect=nx.descendants)),
        )


@pytest.fixture
def run(tmp_path, calls, substitute, mm, fake_log):
    return Pass(tmp_path, calls, substitute, mm)


class TestPass:
    def test_the_calls_in_order(self, mm, run, calls):
        A, B, C = run.paths
        result = mm.register_models()

        def without_logs(names):
            return [n for n in names if not n.startswith("log")]

        assert without_logs(calls.names()) == (
            ["find_models"] + ["absolute_source"] * 12 + ["natsorted", "get_pdk", "get_base_pdk", "import_modules"]
            + ["_error_model"] * 2
            + ["db.set_all_factories_has_model", "db.add_models", "db.get_all_models", "db.remove_models",
               "natsorted", "natsorted"])
        assert [a[0] for a, _ in calls.of("absolute_source")] == list(run.records) * 2
        natsorted_args = [a for a, _ in calls.of("natsorted")]
        assert natsorted_args[0] == ({A, B, C},) and type(natsorted_args[0][0]) is set
        assert natsorted_args[1][0] is run.records
        assert natsorted_args[2] == ({"lost", "nosource", "stale", "gone"},)
        (args, kwargs), = calls.of("import_modules")
        assert args == () and kwargs == {"paths": [B, A, C], "reload": True, "from_project": False}
        assert list(kwargs) == ["paths", "reload", "from_project"]
        assert [a for a, _ in calls.of("_error_model")] == [("e1", "proj.a9", run.error), ("e2", "proj.a9", run.error)]
        assert calls.of("db.set_all_factories_has_model") == [((), {"has_model": False})]
        assert calls.of("db.add_models") == [(tuple(run.records.values()), {})]
        (args, kwargs), = calls.of("db.remove_models")
        assert set(args) == {"lost", "nosource", "stale", "gone"} and len(args) == 4 and not kwargs
        assert result == (["a", "b", "e1", "e2", "lost", "nosource"], ["gone", "lost", "nosource", "stale"])
        assert type(result) is tuple

    def test_log_lines_each_through_a_new_logger(self, mm, run, calls):
        mm.register_models()
        assert calls.lines() == [
            ("debug", "Found 1 errors"),
            ("debug", "error=ImportError('no module named x')"),
            ("info", "new models: ['a', 'b', 'e1', 'e2', 'lost', 'nosource']"),
            ("info", "removed models: ['gone', 'lost', 'nosource', 'stale']"),
        ]
        log_calls = [n for n in calls.names() if n.startswith("log")]
        assert log_calls == ["log", "log.debug", "log", "log.debug", "log", "log.info", "log", "log.info"]
        assert all(kwargs == {} and len(args) == 1 for n, args, kwargs in calls if n.startswith("log."))

    def test_a_message_is_built_after_the_logger_is_asked_for(self, mm, run, calls):
        class Loud(Exception):
            def __repr__(self):
                raise ValueError("repr")

        run.errors = {run.paths[1]: ("proj.a9", Loud())}
        with pytest.raises(ValueError, match="repr"):
            mm.register_models()
        assert calls.names()[-2:] == ["log.debug", "log"]

    def test_statuses_and_pdk_entries(self, mm, run):
        mm.register_models()
        r = run.records
        assert (r["a"].status, r["a"].message) == ("SUCCESS", "")
        assert run.pdk.models["a"] is model_a and run.pdk.models["b"] is model_b
        # failed source: an ERROR record and a placeholder raising the import error
        assert (r["e1"].status, r["e1"].message) == ("ERROR", "no module named x")
        with pytest.raises(ImportError) as info:
            run.pdk.models["e1"](wl=1.55)
        assert info.value is run.error
        assert run.pdk.models["e1"].__module__ == "proj.a9"
        # failed, but the base PDK provides it: SUCCESS wins, the placeholder stays
        assert (r["e2"].status, r["e2"].message) == ("SUCCESS", "")
        assert run.pdk.models["e2"].__name__ == "e2" and run.pdk.models["e2"] is not print
        # neither loaded nor provided: left as find_models made it
        assert (r["lost"].status, r["lost"].message) == ("OLD", "kept")
        assert (r["nosource"].status, r["nosource"].message) == ("UNKNOWN", "")
        assert "lost" not in run.pdk.models and "base_only" not in run.pdk.models
        assert set(run.pdk.models) == {"stale", "a", "b", "e1", "e2"}

    def test_callables_are_matched_against_every_module_and_the_last_wins(self, mm, run, tmp_path):
        D = tmp_path / "d.py"
        run.modules[D] = module("proj.d", lost=model_b, a=model_b)
        mm.register_models()
        assert run.pdk.models["a"] is model_b and run.pdk.models["lost"] is model_b
        assert run.records["lost"].status == "SUCCESS"

    def test_partials_the_pdk_registers_are_bound_to_the_new_function(self, mm, run):
        def earlier(function):
            """The same function as loaded before the reload: another object."""
            old = types.FunctionType(function.__code__, function.__globals__, function.__name__)
            old.__qualname__, old.__module__ = function.__qualname__, function.__module__
            return old

        class Tagged(functools.partial):
            pass

        inner = functools.partial(earlier(model_b), 1, neff=2.0)
        inner.note = "kept apart"  # a partial with attributes is not merged into the outer one
        run.pdk.models.update(
            a=Tagged(earlier(model_a), neff=1.9),
            b=functools.partial(inner, 2, mode="te"),
            lost=functools.partial(earlier(model_a), neff=1.0),  # not callable in its module: untouched
        )
        unrelated = functools.partial(print, sep="")
        run.modules[run.paths[2]].a9 = model_a
        run.pdk.models["a9"] = unrelated
        run.records["a9"] = RecordDouble("a9", None)
        mm.register_models()
        a, b = run.pdk.models["a"], run.pdk.models["b"]
        assert type(a) is Tagged and a.func is model_a and (a.args, a.keywords) == ((), {"neff": 1.9})
        assert type(b) is functools.partial and (b.args, b.keywords) == ((2,), {"mode": "te"})
        assert type(b.func) is functools.partial and b.func.func is model_b and b.func.note == "kept apart"
        assert (b.func.args, b.func.keywords) == ((1,), {"neff": 2.0})
        assert run.pdk.models["lost"].func is not model_a
        # another function behind the partial: replaced, as any entry is
        assert run.pdk.models["a9"] is model_a
        assert (run.records["a"].status, run.records["b"].status) == ("SUCCESS", "SUCCESS")

    def test_a_string_error_is_used_as_the_message(self, mm, run):
        run.errors = {run.paths[1]: ("proj.a9", "SyntaxError: x")}
        mm.register_models()
        assert run.records["e1"].message == "SyntaxError: x"
        with pytest.raises(RuntimeError, match="SyntaxError: x"):
            run.pdk.models["e1"]()

    def test_errors_for_files_without_records(self, mm, run, calls, tmp_path):
        run.errors = {tmp_path / "other.py": ("proj.other", ValueError("v")), **run.errors}
        mm.register_models()
        assert calls.lines()[:3] == [("debug", "Found 2 errors"), ("debug", "error=ValueError('v')"),
                                   ("debug", "error=ImportError('no module named x')")]
        assert len(calls.of("_error_model")) == 2

    @pytest.mark.parametrize("reload,expected", [(None, False), (0, False), ([1], True), ("", False), (True, True)])
    def test_reload_is_passed_on_as_a_bool(self, mm, run, calls, reload, expected):
        mm.register_models(None, reload=reload)
        (_, kwargs), = calls.of("import_modules")
        assert kwargs["reload"] is expected

    def test_reload_truth_is_taken_before_anything_runs(self, mm, run, calls):
        class Bad:
            def __bool__(self):
                raise ZeroDivisionError

        with pytest.raises(ZeroDivisionError):
            mm.register_models(reload=Bad())
        assert calls == []

    def test_no_models(self, mm, run, calls):
        run.records, run.modules, run.errors = {}, {}, {}
        result = mm.register_models(nx.DiGraph([("x", "y")]))
        (_, kwargs), = calls.of("import_modules")
        assert kwargs["paths"] == []
        assert calls.of("db.add_models") == [((), {})]
        assert result == ([], ["a", "gone", "stale"])
        assert "nx.reverse_view" not in calls.names() and "db.set_factories_has_model_by_names" not in calls.names()

    def test_nothing_to_remove_still_calls_remove(self, mm, run, calls):
        run.pdk.models, run.stored = {}, []
        run.records = {k: run.records[k] for k in ("a", "b", "e1")}
        assert mm.register_models() == (["a", "b", "e1"], [])
        assert calls.of("db.remove_models") == [((), {})]

    def test_rows_of_models_stored_under_their_factory_name(self, mm, run, calls):
        # The PDK registers library functions under names of its own; the
        # database stores each record under its factory.
        run.records["wg"] = RecordDouble("straight", None, calls)
        run.records["alias"] = RecordDouble("unaccounted", None, calls)
        run.base_pdk.models["wg"] = print
        new, removed = mm.register_models()
        assert "wg" in new and "straight" in run.stored
        assert "straight" not in removed  # just written for an accounted-for model
        assert "unaccounted" in removed  # written, then deleted as for any unaccounted model
        (args, _), = calls.of("db.remove_models")
        assert "straight" not in args and "unaccounted" in args

    def test_base_pdk_models_are_never_removed(self, mm, run):
        run.stored = ["base_only", "e2"]
        _, removed = mm.register_models()
        assert "base_only" not in removed and "e2" not in removed


class TestArguments:
    def test_graph_is_positional_only_and_reload_keyword_only(self, mm, run, calls):
        with pytest.raises(TypeError, match="positional-only"):
            mm.register_models(G=None)
        with pytest.raises(TypeError, match="positional argument"):
            mm.register_models(None, True)
        with pytest.raises(TypeError, match="unexpected keyword"):
            mm.register_models(paths=[])
        assert calls == []


class TestFailures:
    def test_find_models_without_values(self, mm, run, substitute):
        substitute(find_models=lambda: None)
        with pytest.raises(AttributeError, match="values"):
            mm.register_models()

    @pytest.mark.parametrize("result", [(1, 2, 3), ({},), "ab"])
    def test_import_result_not_a_pair(self, mm, run, substitute, result):
        substitute(imports=Namespace(import_modules=lambda **kw: result))
        with pytest.raises((ValueError, AttributeError)):
            mm.register_models()

    @pytest.mark.parametrize("value", [("only",), ("a", "b", "c")])
    def test_error_value_not_a_pair(self, mm, run, value):
        run.errors = {run.paths[1]: value}
        with pytest.raises(ValueError, match="unpack"):
            mm.register_models()

    def test_earlier_changes_stay_when_a_later_step_fails(self, mm, run, substitute, calls):
        substitute(db=Namespace(set_all_factories_has_model=calls.double("db.clear"),
                                add_models=lambda *r: (_ for _ in ()).throw(OSError("disk full"))))
        with pytest.raises(OSError, match="disk full"):
            mm.register_models()
        assert run.records["a"].status == "SUCCESS" and "a" in run.pdk.models


class TestHasModel:
    """Edges point from a factory to the factories it is built from."""

    def graph(self, edges, nodes=(), flagged=()):
        G = nx.DiGraph()
        G.add_nodes_from(nodes)
        G.add_edges_from(edges)
        for n in G.nodes:
            G.nodes[n]["has_model"] = n in flagged
        return G

    def test_flags_climb_two_levels_from_the_models(self, mm, run, calls):
        run.records = {"a": run.records["a"], "b": run.records["b"], "not_a_node": RecordDouble("not_a_node", None)}
        G = self.graph([
            ("top", "mid1"), ("top", "mid2"), ("mid1", "a"), ("mid2", "b"), ("mid2", "a"),
            ("mixed", "a"), ("mixed", "plain"), ("above_mixed", "mixed"),
        ], nodes=["plain", "lonely"])
        mm.register_models(G, reload=False)
        flags = {n: G.nodes[n]["has_model"] for n in G.nodes}
        assert flags == {"top": True, "mid1": True, "mid2": True, "a": True, "b": True,
                         "mixed": False, "plain": False, "above_mixed": False, "lonely": False}
        assert all(type(v) is bool for v in flags.values())
        (args, kwargs), = calls.of("db.set_factories_has_model_by_names")
        # only the flags that turned true in the loop; the models themselves are not passed
        assert sorted(args) == ["mid1", "mid2", "top"] and kwargs == {"has_model": True}
        assert "not_a_node" not in G

    def test_the_graph_calls(self, mm, run, calls):
        G = self.graph([("x", "a")])
        mm.register_models(G)
        graph_calls = [(n, a, k) for n, a, k in calls if n.startswith("nx.")]
        assert [n for n, _, _ in graph_calls] == ["nx.reverse_view", "nx.topological_sort", "nx.descendants"]
        assert graph_calls[0][1] == (G,)
        assert graph_calls[2][1] == (G, "x")
        assert calls.names()[-1] == "db.set_factories_has_model_by_names"

    def test_already_flagged_nodes_are_not_passed_on(self, mm, run, calls):
        G = self.graph([("built", "x"), ("x", "y")], flagged=["built"])
        mm.register_models(G)
        assert calls.of("db.set_factories_has_model_by_names") == [((), {"has_model": True})]
        assert G.nodes["built"]["has_model"] is True and G.nodes["x"]["has_model"] is False

    def test_a_model_name_node_without_dependencies_is_flagged(self, mm, run):
        G = self.graph([], nodes=["a", "other"])
        mm.register_models(G)
        assert G.nodes["a"]["has_model"] is True and G.nodes["other"]["has_model"] is False

    def test_no_graph_no_flags(self, mm, run, calls):
        mm.register_models(None)
        assert "db.set_factories_has_model_by_names" not in calls.names()

    def test_a_node_without_the_attribute(self, mm, run):
        G = nx.DiGraph([("x", "a")])
        G.nodes["a"]["has_model"] = False
        with pytest.raises(KeyError, match="has_model"):
            mm.register_models(G)

    def test_a_cycle(self, mm, run):
        G = self.graph([("x", "y"), ("y", "x")])
        with pytest.raises(nx.NetworkXUnfeasible):
            mm.register_models(G)


@st.composite
def factory_graphs(draw):
    """Edges from a factory to the factories it is built from: chains, layers,
    wide tops over a few parts, or any DAG; builder flags, model names (some
    not nodes), now and then a node without the flag, a cycle, a node that
    is not a str, a flag that is not a bool or attributes that are not a
    plain dict."""
    n = draw(st.integers(1, 40))
    shape = draw(st.sampled_from(["chain", "layered", "wide", "any"]))
    if shape == "chain":
        edges = [(i + 1, i) for i in range(n - 1)]
    elif shape == "layered":
        width = draw(st.integers(1, 6))
        edges = [(i, j) for i in range(width, n) for j in range((i // width - 1) * width, (i // width) * width)
                 if draw(st.booleans())]
    elif shape == "wide":
        parts = min(n, 3)
        edges = [(i, j) for i in range(parts, n) for j in range(parts) if draw(st.booleans())]
    else:
        edges = draw(st.lists(st.tuples(st.integers(0, n - 1), st.integers(0, n - 1))
                              .filter(lambda e: e[0] > e[1]).map(tuple), max_size=3 * n))
    if n > 1 and draw(st.integers(0, 9)) == 0:
        edges.append((0, n - 1))  # closes a cycle when a path leads back
        edges.append((n - 1, 0))
    flagged = draw(st.sets(st.integers(0, n - 1)))
    models = draw(st.sets(st.integers(0, n + 3)))
    missing = draw(st.integers(0, n - 1)) if draw(st.integers(0, 9)) == 0 else None
    odd_node = draw(st.integers(0, n - 1)) if draw(st.integers(0, 5)) == 0 else None
    odd_flag = draw(st.integers(0, n - 1)) if draw(st.integers(0, 5)) == 0 else None
    odd_attrs = draw(st.integers(0, n - 1)) if draw(st.integers(0, 5)) == 0 else None
    # The dependency order the call graph service hands out with its graph:
    # none, the graph's own, or one a change to the graph left stale.
    hint = draw(st.sampled_from([None, "own", "reversed", "shorter", "twice", "swapped"]))
    return n, edges, flagged, models, missing, odd_node, odd_flag, odd_attrs, hint


class NodeName:
    """A node name that is not a str: equal to and hashed as its text, each
    use written into the log it shares with its graph."""

    def __init__(self, text: str, log: list) -> None:
        self.text, self.log = text, log

    def __eq__(self, other):
        self.log.append(("eq", self.text))
        return self.text == (other.text if isinstance(other, NodeName) else other)

    def __hash__(self):
        self.log.append(("hash", self.text))
        return hash(self.text)

    def __repr__(self):
        return self.text


class LoggedAttrs(dict):
    """A node's attributes that write each read and write of a key into the
    log."""

    node = ""
    log: list = []

    def __getitem__(self, key):
        self.log.append(("get", self.node, key))
        return super().__getitem__(key)

    def __setitem__(self, key, value):
        self.log.append(("set", self.node, key))
        super().__setitem__(key, value)


class Truth:
    """A flag that is not a bool: each truth test written into the log."""

    def __init__(self, value: bool, node: str, log: list) -> None:
        self.value, self.node, self.log = value, node, log

    def __bool__(self):
        self.log.append(("bool", self.node))
        return self.value

    def __eq__(self, other):
        return isinstance(other, Truth) and (self.value, self.node) == (other.value, other.node)

    def __repr__(self):
        return f"Truth({self.value}, {self.node})"


def _networkx_descendants_behind_a_stand_in():
    """networkx with its descendants behind a function of another module:
    the pass cannot skip it, so it takes the steps as written."""
    return Namespace(reverse_view=nx.reverse_view, topological_sort=lambda view: nx.topological_sort(view),
                     descendants=lambda G, name: nx.descendants(G, name))


def _with_dependency_order(G, hint):
    """G with the graph attribute the call graph service sets: its order as
    networkx gives it, or that order gone stale."""
    try:
        order = list(nx.topological_sort(nx.reverse_view(G)))
    except nx.NetworkXUnfeasible:
        order = list(G)
    if hint == "reversed":
        order.reverse()
    elif hint == "shorter":
        order.pop()
    elif hint == "twice":
        order[-1] = order[0]
    elif hint == "swapped" and len(order) > 1:
        order[0], order[-1] = order[-1], order[0]
    G.graph["dependency_order"] = tuple(order)


class TestPropagation:
    """For networkx's own DiGraph and descendants the has-model flags are
    worked out in one pass over the order; it must agree with the steps as
    written in everything a caller sees."""

    @staticmethod
    def build(spec, graph_type=nx.DiGraph):
        n, edges, flagged, models, missing, odd_node, odd_flag, *rest = spec
        odd_attrs, hint = rest if rest else (None, None)
        log: list = []

        def node(i):
            return NodeName(f"n{i}", log) if i == odd_node else f"n{i}"

        G = graph_type()
        G.graph["log"] = log
        # Equal node names, not the same objects: nodes are matched by equality.
        for i in range(n):
            if i == odd_attrs:
                G.node_attr_dict_factory = type("Attrs", (LoggedAttrs,), {"node": f"n{i}", "log": log})
            G.add_node(node(i))
            vars(G).pop("node_attr_dict_factory", None)
        G.add_edges_from((node(a), node(b)) for a, b in edges)
        for i in range(n):
            if i != missing:
                G.nodes[node(i)]["has_model"] = Truth(i in flagged, f"n{i}", log) if i == odd_flag else i in flagged
        if hint is not None:
            _with_dependency_order(G, hint)
        log.clear()
        return G, [f"n{i}" for i in models]

    @staticmethod
    def outcome(mm, substitute, G, models, nx_binding):
        passed = []
        substitute(
            nx=nx_binding,
            find_models=lambda: {m: RecordDouble(m, None) for m in models},
            db=Namespace(set_all_factories_has_model=lambda **k: None, add_models=lambda *r: None,
                         get_all_models=lambda: [], remove_models=lambda *n: None,
                         set_factories_has_model_by_names=lambda *names, **k: passed.append((names, k))),
        )
        try:
            mm.register_models(G, reload=False)
            error = None
        except Exception as exc:
            error = (type(exc), exc.args)
        # What the pass did to the odd node and flag, in its order.
        log = list(G.graph["log"])
        flags = {str(n): (type(v), v) for n in G for v in [G.nodes[n].get("has_model", "missing")]}
        return flags, [(sorted(map(str, names)), k) for names, k in passed], error, log

    @settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
    @given(spec=factory_graphs(), proxied=st.booleans())
    def test_agrees_with_the_steps_as_written(self, mm, run, substitute, spec, proxied):
        networkx = lazy_import("networkx") if proxied else nx
        expected = self.outcome(mm, substitute, *self.build(spec), _networkx_descendants_behind_a_stand_in())
        assert self.outcome(mm, substitute, *self.build(spec), networkx) == expected

    def test_taken_only_for_networkx_s_own_descendants_and_digraph(self, mm, run, substitute, monkeypatch):
        # A counting wrapper named as networkx's own descendants shows which
        # way each pass went: skipped only with it and networkx's DiGraph.
        real = nx.descendants
        asked = []

        def counting(G, name):
            asked.append(name)
            return real(G, name)

        def as_networkx_s(function):
            function.__module__, function.__name__ = real.__module__, real.__name__
            return function

        class Graph(nx.DiGraph):
            pass

        own = as_networkx_s(lambda G, name: counting(G, name))
        monkeypatch.setattr(nx, "descendants", own)
        monkeypatch.setattr(nx.algorithms.dag, "descendants", own)

        def namespace(descendants):
            return Namespace(reverse_view=nx.reverse_view, topological_sort=nx.topological_sort,
                             descendants=descendants)

        spec = (3, [(2, 1), (1, 0)], set(), {0}, None, None, None)
        cases = [("networkx", nx, nx.DiGraph, False), ("proxy", lazy_import("networkx"), nx.DiGraph, False),
                 ("the same function", namespace(own), nx.DiGraph, False),
                 ("a subclass of DiGraph", nx, Graph, True), ("a stand-in", namespace(counting), nx.DiGraph, True),
                 ("a look-alike", namespace(as_networkx_s(lambda G, name: counting(G, name))), nx.DiGraph, True)]
        for label, binding, graph_type, as_written in cases:
            asked.clear()
            flags, _, _, _ = self.outcome(mm, substitute, *self.build(spec, graph_type), binding)
            assert asked == (["n1", "n2"] if as_written else []), label
            assert flags == {"n0": (bool, True), "n1": (bool, True), "n2": (bool, True)}, label
        # networkx's own descendants replaced in networkx itself by a
        # function of another module: the steps as written.
        monkeypatch.setattr(nx, "descendants", counting)
        monkeypatch.setattr(nx.algorithms.dag, "descendants", counting)
        for binding in (nx, lazy_import("networkx")):
            asked.clear()
            self.outcome(mm, substitute, *self.build(spec), binding)
            assert asked == ["n1", "n2"]

    def test_the_service_s_order_spares_the_sort_while_it_holds(self, mm, run, substitute, monkeypatch):
        # networkx's own topological_sort, counted: the order the graph holds
        # is taken instead while it is an order of the graph as it is.
        real = nx.topological_sort
        sorts = []

        def counting(view):
            sorts.append(view)
            return real(view)

        counting.__module__, counting.__name__ = real.__module__, real.__name__
        monkeypatch.setattr(nx, "topological_sort", counting)
        for hint, sorted_ in [("own", 0), ("reversed", 1), ("shorter", 1), (None, 1)]:
            G, models = self.build((3, [(2, 1), (1, 0)], set(), {0}, None, None, None, None, hint))
            sorts.clear()
            flags, passed, _, _ = self.outcome(mm, substitute, G, models, nx)
            assert len(sorts) == sorted_, hint
            assert flags == {"n0": (bool, True), "n1": (bool, True), "n2": (bool, True)}, hint
            assert passed == [(["n1", "n2"], {"has_model": True})], hint


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(found=st.lists(st.text(alphabet="aZ_.- 0019é", max_size=7), unique=True, max_size=12),
       stored=st.lists(st.text(alphabet="ab0129", max_size=5), max_size=8), proxied=st.booleans())
def test_the_natural_order_is_natsort_s_own(mm, run, substitute, found, stored, proxied):
    # natsorted is called as bound, natsort's own, its lazy proxy or a
    # wrapper alike: names that differ only in zero padding keep their
    # order, non-ASCII names are natsort's to place, and the models' source
    # files (pathlib's paths) are ordered the same way.
    def outcome(natsorted):
        imported = []
        substitute(natsorted=natsorted,
                   find_models=lambda: {n: RecordDouble(n, Path("/p", n) if n else None) for n in found},
                   imports=Namespace(import_modules=lambda **k: (imported.append(k["paths"]), ({}, {}))[1]),
                   db=Namespace(set_all_factories_has_model=lambda **k: None, add_models=lambda *r: None,
                                get_all_models=lambda: list(stored), remove_models=lambda *n: None))
        return mm.register_models(None, reload=False), imported

    expected = outcome(lambda seq: natsort.natsorted(seq))
    assert outcome(lazy_import("natsort", "natsorted") if proxied else natsort.natsorted) == expected
