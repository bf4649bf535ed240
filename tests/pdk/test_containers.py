"""Settling names registered both as a cell and as a container."""

from __future__ import annotations

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from doubles import Namespace

from .conftest import FakePdk


def fn(module):
    def f():
        pass

    f.__module__ = module
    return f


@pytest.fixture
def clean(pdk, substitute):
    substitute(settings=Namespace(get_project_name=lambda: "demo"))

    def run(cells: dict, containers: dict):
        target = FakePdk(cells=dict(cells), containers=dict(containers))
        assert pdk._clean_containers_also_in_cells(target) is None
        return sorted(target.cells), sorted(target.containers)

    return run


def test_no_shared_names_leaves_everything(clean):
    assert clean({"a": fn("x")}, {"b": fn("y")}) == (["a"], ["b"])


def test_one_function_both_ways_stays_a_container(clean):
    same = fn("x")
    assert clean({"k": same}, {"k": same}) == ([], ["k"])


@pytest.mark.parametrize(
    ("container_mod", "cell_mod", "left"),
    [
        ("demo.parts", "other", "container"),  # the project's container wins
        ("demo.parts", "demo.cells", "container"),  # also over the project's cell
        ("other", "demo.cells", "cell"),  # then the project's cell
        ("demo", "other", "cell"),  # "demo" without a dot is not the project
        ("other", "another", "cell"),  # neither: the cell
        ("", "", "cell"),  # no module on the container side first
        (None, "demo.x", "cell"),
        ("demo.parts", None, "container"),
    ],
)
def test_rules(clean, container_mod, cell_mod, left):
    cells, containers = clean({"k": fn(cell_mod)}, {"k": fn(container_mod)})
    assert (cells, containers) == ((["k"], []) if left == "cell" else ([], ["k"]))


def test_function_without_module_attribute(clean):
    class NoModule:
        def __getattribute__(self, name):
            if name == "__module__":
                raise AttributeError(name)
            return object.__getattribute__(self, name)

    assert clean({"k": fn("x")}, {"k": NoModule()}) == (["k"], [])


def test_truthy_module_that_is_no_string(clean):
    with pytest.raises(AttributeError):
        clean({"k": fn("x")}, {"k": fn(7)})


def test_cells_only_names_untouched_and_registries_read_afresh(pdk, substitute, calls):
    substitute(settings=Namespace(get_project_name=calls.double("get_project_name", "demo")))
    reads = []

    class Watched(FakePdk):
        def __getattribute__(self, name):
            if name in ("cells", "containers"):
                reads.append(name)
            return object.__getattribute__(self, name)

    target = Watched(cells={"k": fn("x"), "only": fn("x")}, containers={"k": fn("demo.c")})
    pdk._clean_containers_also_in_cells(target)
    assert reads == ["containers", "cells", "containers", "cells", "cells"]
    assert sorted(target.cells) == ["only"] and list(target.containers) == ["k"]
    assert calls.names() == ["get_project_name"]


class Registries:
    """A PDK whose registries are properties: every read runs code, so the
    rules run exactly as written."""

    def __init__(self, cells, containers) -> None:
        self._cells, self._containers = cells, containers

    cells = property(lambda self: self._cells)
    containers = property(lambda self: self._containers)


class Callable:
    def __init__(self, module) -> None:
        self.__module__ = module

    def __call__(self) -> None:
        pass


class Key(str):
    """A name that is not an exact str: the rules as written for every name."""

    __slots__ = ()


MODULES = ["demo.a", "demo", "demo_tools.x", "lib.x", "", None]
functions = st.one_of(
    st.sampled_from(MODULES).map(fn),
    st.sampled_from(MODULES).map(Callable),  # not a plain function: from there on, the rules as written
    st.just(len),
    st.just(5).map(fn),  # a module that is no str: AttributeError at the prefix test
)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(names=st.lists(st.sampled_from([*"abcdefgh", Key("k")]), unique=True), data=st.data())
def test_plain_registries_settle_as_the_rules_are_written(pdk, substitute, names, data):
    substitute(settings=Namespace(get_project_name=lambda: "demo"))
    cells, containers = {}, {}
    for k in names:
        where = data.draw(st.sampled_from(["cell", "container", "both", "same"]))
        f = data.draw(functions)
        if where in ("cell", "both", "same"):
            cells[k] = f
        if where in ("container", "both"):
            containers[k] = data.draw(functions)
        if where == "same":
            containers[k] = f

    def outcome(target):
        try:
            pdk._clean_containers_also_in_cells(target)
            error = None
        except Exception as exc:
            error = type(exc)
        return list(target.cells.items()), list(target.containers.items()), error

    written = outcome(Registries(dict(cells), dict(containers)))
    assert outcome(FakePdk(cells=dict(cells), containers=dict(containers))) == written
