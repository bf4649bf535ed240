"""Arbitrary objects as arguments and as collaborator results: whatever comes
out is an ordinary Python exception, never a crash or a SystemError (the sign
of a C API result left unchecked)."""

from __future__ import annotations

from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import morvane.core.pdk as pdk_module


class Explosive:
    """Every protocol raises."""

    def _boom(self, *args, **kwargs):
        raise ValueError("explosive")

    __eq__ = __ne__ = __lt__ = __hash__ = __bool__ = __iter__ = __len__ = _boom
    __str__ = __repr__ = __format__ = __getitem__ = __contains__ = __call__ = _boom

    def __getattr__(self, name):
        raise ValueError(name)


class Oracle:
    """Any attribute is another oracle; calling one returns a drawn value."""

    def __init__(self, draw) -> None:
        self._draw = draw

    def __getattr__(self, name):
        return Oracle(self._draw)

    def __call__(self, *args, **kwargs):
        return self._draw()


class Record:
    """A record whose attributes and absolute_source() are drawn."""

    def __init__(self, draw) -> None:
        self._draw = draw
        for attr in ("name", "source", "status", "message"):
            setattr(self, attr, draw())

    def absolute_source(self):
        return self._draw()

    def __eq__(self, other):
        return self._draw()

    __hash__ = object.__hash__


atoms = st.one_of(
    st.none(), st.booleans(), st.integers(-3, 3), st.floats(allow_nan=True), st.text(max_size=4),
    st.binary(max_size=2),
    st.sampled_from([
        "UNKNOWN", "ERROR", "generic", "gpdk", "a", Path("/p/a.py"), Path("/p/b/c.py"), ValueError("v"),
        KeyError, RuntimeError, SystemExit, type("S", (str,), {})("sub"), type("D", (dict,), {})(),
        len, object(), float("nan"), (), [], {},
    ]),
    st.builds(Explosive),
)
# Keys stay hashable for the generator's sake; Explosive reaches the functions
# as values and records.
hashables = st.one_of(st.none(), st.integers(-2, 2), st.text(max_size=3), st.just(Path("/p/a.py")))
values = st.recursive(
    atoms,
    lambda inner: st.one_of(
        st.lists(inner, max_size=3), st.tuples(inner, inner), st.dictionaries(hashables, inner, max_size=3),
        st.frozensets(hashables, max_size=2),
    ),
    max_leaves=6,
)

COLLABORATORS = [
    "settings", "log", "sys", "importlib", "warnings", "get_pdk", "get_base_pdk", "_get_pdk", "copy", "deepcopy",
    "frozendict", "Path", "db", "imports", "cg", "m", "register_models", "defaultdict",
    "_sort_paths", "_error_cell", "_import_modules", "_handle_import_errors", "_find_cells",
    "_get_database_updates", "_clean_containers_also_in_cells",
]


def make_draw(data):
    def draw():
        kind = data.draw(st.integers(0, 5))
        if kind == 0:
            return Oracle(draw)
        if kind == 1:
            return Record(draw)
        if kind == 2:
            return data.draw(st.dictionaries(st.text(max_size=2), st.builds(lambda: Record(draw)), max_size=3))
        return data.draw(values)

    return draw


def forget_process_state():
    from morvane.core.engine import session

    for cached in (pdk_module._get_pdk, pdk_module.get_base_pdk):
        getattr(cached, "cache_clear", lambda: None)()
    session.clear()


def run(call):
    try:
        call()
    except SystemError:
        raise
    except Exception:  # the ordinary outcome for nonsense input
        pass


def install(data, monkeypatch, draw, keep=()):
    for name in COLLABORATORS:
        if name not in keep and data.draw(st.booleans()):
            monkeypatch.setattr(pdk_module, name, Oracle(draw))


FUNCTIONS = {
    "get_pdk": lambda a: pdk_module.get_pdk(),
    "_get_pdk": lambda a: pdk_module._get_pdk.__wrapped__(),
    "get_base_pdk": lambda a: pdk_module.get_base_pdk.__wrapped__(),
    "activate_pdk_by_name": lambda a: pdk_module.activate_pdk_by_name(a[0]),
    "FrozenPdk.__setattr__": lambda a: pdk_module.FrozenPdk.__setattr__(a[0], a[1], a[2]),
    "FrozenPdk.__delattr__": lambda a: pdk_module.FrozenPdk.__delattr__(a[0], a[1]),
    "register_cells": lambda a: pdk_module.register_cells(paths=a[0], reload=a[1]),
    "_sort_paths": lambda a: pdk_module._sort_paths(a[0]),
    "_error_cell": lambda a: pdk_module._error_cell(a[0], a[1], a[2])(),
    "_import_modules": lambda a: pdk_module._import_modules(a[0], a[1], reload=a[2]),
    "_handle_import_errors": lambda a: pdk_module._handle_import_errors(a[0], a[1]),
    "_find_cells": lambda a: pdk_module._find_cells(a[0], a[1]),
    "_get_database_updates": lambda a: pdk_module._get_database_updates(a[0], a[1], a[2]),
    "_clean_containers_also_in_cells": lambda a: pdk_module._clean_containers_also_in_cells(a[0]),
}


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.parametrize("function", list(FUNCTIONS))
@settings(max_examples=100, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow,
                                 HealthCheck.data_too_large])
@given(data=st.data())
def test_only_python_exceptions_come_out(function, data, monkeypatch):
    # The real collaborators left in place keep caches between calls; an
    # example must draw the same way when Hypothesis runs it again.
    forget_process_state()
    draw = make_draw(data)
    with monkeypatch.context() as patch:
        install(data, patch, draw, keep=(function,))
        args = []
        for _ in range(3):
            # Well-typed containers of nonsense as often as nonsense itself,
            # so that the bodies behind the typed parameters run too.
            shape = data.draw(st.sampled_from(["any", "dict", "list", "str"]))
            if shape == "dict":
                args.append(data.draw(st.dictionaries(hashables, st.builds(lambda: draw()), max_size=3)))
            elif shape == "list":
                args.append(data.draw(st.lists(st.builds(lambda: draw()), max_size=3)))
            elif shape == "str":
                args.append(data.draw(st.text(max_size=3)))
            else:
                args.append(draw())
        run(lambda: FUNCTIONS[function](args))
