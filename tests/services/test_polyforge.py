"""The layout library: cell decorator, Pdk object model, generic technologies."""

from __future__ import annotations

import copy
import sys

import pytest
from frozendict import frozendict

import polyforge as pf
from polyforge import components, generic_tech, gpdk


# -- cell decorator -------------------------------------------------------------


@pf.cell
def _plain(length: float = 1.0) -> pf.Component:
    """A doc."""
    c = pf.Component()
    c.add_polygon([(0, 0), (length, 0), (length, 1)])
    return c


@pf.cell()
def _called() -> pf.Component:
    return pf.Component("fixed")


def test_cell_decorator_both_forms_keep_identity_and_mark_factories():
    for factory, name in ((_plain, "_plain"), (_called, "_called")):
        assert factory.__name__ == name
        assert factory.__qualname__ == name
        assert factory.__module__ == __name__
        assert pf.is_cell(factory)
        assert not pf.is_cell(factory.__wrapped__)
    assert _plain.__doc__ == "A doc."


def test_cell_names_unnamed_components_and_checks_the_result():
    assert _plain().name == "_plain"
    assert _plain(2.5).name == "_plain_2.5"
    assert _plain(length=3.0).name == "_plain_length3"
    assert _called().name == "fixed"

    @pf.cell
    def broken():
        return "not a component"

    with pytest.raises(TypeError, match="returned str, expected a Component"):
        broken()


# -- geometry --------------------------------------------------------------------


def test_references_place_geometry_and_ports():
    wg = components.straight(length=10, width=2)
    top = pf.Component("top")
    ref = top.add_ref(wg, origin=(5, 0), rotation=90)
    assert top.bbox() == ((4.0, 0.0), (6.0, 10.0))
    assert ref.ports["o2"].center == (5.0, 10.0)
    assert ref.ports["o2"].orientation == 90.0
    with pytest.raises(ValueError):
        top.add_ref(top)
    with pytest.raises(ValueError):
        top.add_polygon([(0, 0), (1, 1)])
    assert pf.Component().bbox() is None


# -- Pdk ---------------------------------------------------------------------------


class _Frozen(pf.Pdk):
    def __setattr__(self, name, value):
        raise AttributeError("frozen")

    def __delattr__(self, name):
        raise AttributeError("frozen")


def _pdk() -> pf.Pdk:
    return pf.Pdk("p", cells={"s": components.straight}, containers={"c": lambda c: c},
                  models={"s": lambda: {}}, layers={"WG": (1, 0)}, order=["WG"])


def test_pdk_keeps_everything_in_its_instance_dict():
    p = _pdk()
    assert set(p.__dict__) == {"name", "cells", "containers", "models", "layers", "order"}
    assert pf.Pdk("empty").cells == {} and pf.Pdk("empty").models == {}
    with pytest.raises(ValueError):
        pf.Pdk("")


def test_copy_has_its_own_dict_with_the_same_values():
    p = _pdk()
    q = copy.copy(p)
    assert q is not p and q.__dict__ is not p.__dict__
    assert all(q.__dict__[k] is v for k, v in p.__dict__.items())
    q.name = "other"
    assert p.name == "p"


def test_class_switch_and_frozen_attributes_keep_reading_working():
    p = copy.copy(_pdk())
    p.__dict__.update({k: frozendict(v) if isinstance(v, dict) else tuple(v) if isinstance(v, list) else v
                       for k, v in p.__dict__.items()})
    p.__class__ = _Frozen
    assert isinstance(p, pf.Pdk)
    with pytest.raises(AttributeError):
        p.name = "x"
    with pytest.raises(AttributeError):
        del p.cells
    assert isinstance(p.cells, frozendict) and p.order == ("WG",)
    assert p.get_cell("s") is components.straight
    assert p.get_cell("c") is p.containers["c"]
    assert p.get_component("s", length=2).ports["o2"].center == (2.0, 0.0)
    assert p.get_model("s")() == {}
    assert "_Frozen('p'" in repr(p)
    with pytest.raises(KeyError, match="no cell or container named 'nope'"):
        p.get_cell("nope")


def test_activation():
    a, b = pf.Pdk("a"), pf.Pdk("b")
    a.activate()
    assert pf.get_active_pdk() is a
    b.activate()
    assert pf.get_active_pdk() is b


# -- generic technologies ----------------------------------------------------


@pytest.mark.parametrize("module", [generic_tech, gpdk])
def test_generic_pdk_is_cached_and_wrapped_builds_new_objects(module):
    assert module.get_generic_pdk() is module.get_generic_pdk()
    one, two = module.get_generic_pdk.__wrapped__(), module.get_generic_pdk.__wrapped__()
    assert one is not two and one.cells is not two.cells and one.layers is not two.layers
    assert one.name == ("generic" if module is generic_tech else "gpdk")


@pytest.mark.parametrize("module", [generic_tech, gpdk])
def test_generic_cells_containers_and_models_work(module):
    p = module.get_generic_pdk.__wrapped__()
    for name, factory in p.cells.items():
        assert pf.is_cell(factory)
        assert isinstance(factory(), pf.Component), name
    inner = p.cells["mmi2x2"]()
    for name, container in p.containers.items():
        wrapped = container(inner)
        assert wrapped.references[0].component is inner, name
    for name, model in p.models.items():
        assert model.__annotations__["return"] == "sax.SDict"
        s = model()
        assert s and all(isinstance(k, tuple) and len(k) == 2 for k in s), name
        assert all(abs(v) <= 1.0 + 1e-12 for v in s.values()), name
        assert name in p.cells  # models are named like the cells they describe
    assert "sax" not in sys.modules
