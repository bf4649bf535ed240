"""The registration driver, with every step replaced by a recording double."""

from __future__ import annotations

from pathlib import Path

import pytest

from doubles import Namespace, Rec

from .conftest import FakePdk


class Cells(dict):
    """A registry that logs its updates, membership tests and deletions."""

    def __init__(self, calls, *args):
        super().__init__(*args)
        self.calls = calls

    def update(self, other):
        self.calls.append(("cells.update", (dict(other),), {}))
        super().update(other)

    def __contains__(self, key):
        self.calls.append(("cells.__contains__", (key,), {}))
        return super().__contains__(key)

    def __delitem__(self, key):
        self.calls.append(("cells.__delitem__", (key,), {}))
        super().__delitem__(key)


@pytest.fixture
def driver(pdk, calls, substitute):
    """Every collaborator of register_cells replaced; returns the PDK and the
    objects the steps hand on, for the test to adjust."""
    target = FakePdk(cells=Cells(calls, {"gone": 1, "kept": 2}))
    static = {"a": Rec("a", "/p/a.py")}
    state = Namespace(
        pdk=target, G=object(), static=static, modules={Path("/p/a.py"): "mod"}, errors={},
        error_cells={"e": "error cell"}, error_records={"e": Rec("e", status="ERROR")},
        new_cells={"a": "factory"}, present={"gone": Rec("gone")},
        by_source={"gone": Rec("gone", "/p/other.py"), "moved": Rec("moved", "/p/a.py")},
        add=[Rec("a", "/p/a.py"), Rec("e", status="ERROR")], remove=["gone", "never"],
    )
    substitute(
        get_pdk=calls.double("get_pdk", target),
        cg=Namespace(create_callgraph=calls.double("create_callgraph", state.G),
                     get_static_records=calls.double("get_static_records", effect=lambda *a, **k: state.static)),
        _import_modules=calls.double("_import_modules", effect=lambda *a, **k: (state.modules, state.errors)),
        _handle_import_errors=calls.double("_handle_import_errors",
                                           effect=lambda *a: (state.error_cells, state.error_records)),
        _find_cells=calls.double("_find_cells", effect=lambda *a: state.new_cells),
        db=Namespace(get_factories_by_name=calls.double("get_factories_by_name", effect=lambda *a: state.present),
                     get_factories_by_source=calls.double("get_factories_by_source", effect=lambda *a: state.by_source),
                     get_all_factories=calls.double("get_all_factories", effect=lambda: state.present),
                     add_factories=calls.double("add_factories"), remove_factories=calls.double("remove_factories")),
        _get_database_updates=calls.double("_get_database_updates", effect=lambda *a: (state.add, state.remove)),
        register_models=calls.double("register_models"),
        _clean_containers_also_in_cells=calls.double("_clean_containers_also_in_cells"),
    )
    return state


def test_one_pass_in_order_with_the_stated_arguments(pdk, calls, driver):
    path = Path("/p/a.py")
    added, removed = pdk.register_cells(paths=(p for p in [path]))
    assert (added, removed) == (["a", "e"], ["gone", "never"])
    s = driver
    merged = {"a": s.static["a"], "e": s.error_records["e"]}
    assert calls == [
        ("get_pdk", (), {}),
        ("create_callgraph", (), {}),
        ("get_static_records", (s.G,), {"paths": [path]}),
        ("_import_modules", (merged, [path]), {"reload": True}),
        ("_handle_import_errors", (merged, {}), {}),
        ("_find_cells", (merged, s.modules), {}),
        ("cells.update", ({"a": "factory"},), {}),
        ("cells.update", ({"e": "error cell"},), {}),
        ("get_factories_by_name", ("a", "e"), {}),
        ("get_factories_by_source", (path,), {}),
        ("_get_database_updates", (merged, s.present, [path]), {}),
        ("add_factories", tuple(s.add), {}),
        ("remove_factories", ("gone", "never"), {}),
        ("cells.__contains__", ("gone",), {}),
        ("cells.__delitem__", ("gone",), {}),
        ("cells.__contains__", ("never",), {}),
        ("register_models", (s.G,), {"reload": True}),
        ("_clean_containers_also_in_cells", (s.pdk,), {}),
    ]
    assert set(s.pdk.cells) == {"kept", "a", "e"}
    # The rows stored for the pass's files join those of its names, which win.
    assert s.present == {"gone": Rec("gone"), "moved": Rec("moved", "/p/a.py")}
    assert calls.of("_import_modules")[0][0][1] is calls.of("_get_database_updates")[0][0][2]


def test_full_pass_compares_with_every_stored_factory(pdk, calls, driver):
    pdk.register_cells()
    assert "get_all_factories" in calls.names()
    assert "get_factories_by_name" not in calls.names() and "get_factories_by_source" not in calls.names()
    assert calls.of("get_static_records")[0][1] == {"paths": []}


@pytest.mark.parametrize(("reload", "passed"), [(False, False), (0, False), ("yes", True)])
def test_reload_is_passed_as_a_boolean_and_gates_the_models(pdk, calls, driver, reload, passed):
    pdk.register_cells(reload=reload)
    assert calls.of("_import_modules")[0][1]["reload"] is passed
    assert ("register_models" in calls.names()) is passed


def test_nothing_changed_still_calls_both_database_writes(pdk, calls, driver):
    driver.add, driver.remove = [], []
    assert pdk.register_cells() == ([], [])
    assert calls.of("add_factories") == [((), {})] and calls.of("remove_factories") == [((), {})]


def test_positional_arguments_are_refused_before_any_work(pdk, calls, driver):
    with pytest.raises(TypeError):
        pdk.register_cells([Path("/p/a.py")])
    assert calls == []


@pytest.mark.parametrize("one_path", ["chip/ring.py", b"chip/ring.py", Path("chip/ring.py")])
def test_a_single_path_is_refused_before_any_work(pdk, calls, driver, one_path):
    with pytest.raises(TypeError, match=r"^register_cells\(\) paths must be an iterable of paths, not \w+; "
                                        r"pass a list of paths"):
        pdk.register_cells(paths=one_path)
    assert calls == []


@pytest.mark.parametrize("step", ["_import_modules", "_handle_import_errors", "_get_database_updates"])
@pytest.mark.parametrize("answer", [(1,), (1, 2, 3), None])
def test_step_results_must_be_pairs(pdk, substitute, driver, step, answer):
    substitute(**{step: lambda *a, **k: answer})
    with pytest.raises((ValueError, TypeError)):
        pdk.register_cells()


def test_failing_step_keeps_what_earlier_steps_did(pdk, calls, driver, substitute):
    substitute(db=Namespace(get_all_factories=lambda: {}, add_factories=calls.double("add_factories"),
                            remove_factories=lambda *names: 1 / 0))
    with pytest.raises(ZeroDivisionError):
        pdk.register_cells()
    assert "add_factories" in calls.names() and "a" in driver.pdk.cells
