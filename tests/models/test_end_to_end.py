"""find_models and register_models against the real host: settings,
database, importer, call graph and the pdk module, on a throw-away project
with models in the project, in its PDK package and in a library, one model
file that fails to import, and cells whose has-model flags climb two levels."""

from __future__ import annotations

import json
import logging
from pathlib import Path

import pytest

import polyforge
from morvane import settings
from morvane.core import callgraph, database
import morvane.core.models as mm
import morvane.core.pdk as pdk_module

from doubles import write


@pytest.fixture
def project(tmp_path, monkeypatch, clean_modules):
    root = tmp_path / "proj"
    write(root / "pyproject.toml", """
        [project]
        name = "proj"

        [tool.morvane]
        pdk = "acme"
        """)
    write(root / "proj" / "__init__.py", "")
    write(root / "proj" / "cells.py", """
        import polyforge as pf


        @pf.cell
        def leaf_a() -> pf.Component:
            return pf.Component()


        @pf.cell
        def leaf_b() -> pf.Component:
            return pf.Component()


        @pf.cell
        def plain() -> pf.Component:
            return pf.Component()


        @pf.cell
        def mid() -> pf.Component:
            c = pf.Component()
            c.add_ref(leaf_a())
            c.add_ref(leaf_b())
            return c


        @pf.cell
        def top() -> pf.Component:
            c = pf.Component()
            c.add_ref(mid())
            return c


        @pf.cell
        def mixed() -> pf.Component:
            c = pf.Component()
            c.add_ref(leaf_a())
            c.add_ref(plain())
            return c
        """)
    write(root / "proj" / "models.py", """
        from __future__ import annotations

        from typing import TYPE_CHECKING

        if TYPE_CHECKING:
            import sax


        def leaf_a(wl: float = 1.55, length: float = 2.0) -> sax.SDict:
            return {("o1", "o2"): 1.0}


        def leaf_b(*, wl: float = 1.55) -> "sax.SType":
            return {("o1", "o2"): 1.0}


        def _private() -> sax.SDict:
            return {}


        def get_models() -> dict[str, sax.SDict]:
            return {}
        """)
    write(root / "proj" / "broken.py", """
        from __future__ import annotations

        import a_module_that_is_not_there


        def broken_model(wl: float = 1.55) -> sax.SDict:
            return {}
        """)
    # The project's PDK package, with a model of its own and a library model
    # registered under a name of the PDK's.
    write(root / "acme" / "__init__.py", """
        import functools

        import polyforge as pf
        from polyforge import models as pf_models

        from acme.models import ring

        PDK = pf.Pdk("acme", models={"ring": ring, "wg": functools.partial(pf_models.straight, length=5.0)})
        """)
    write(root / "acme" / "models.py", """
        from __future__ import annotations


        def ring(*, wl: float = 1.55, radius: float = 5.0) -> sax.SDict:
            return {}
        """)
    monkeypatch.syspath_prepend(str(root))  # the PDK package is importable, as when installed
    monkeypatch.setenv("MORVANE_PROJECT_DIR", str(root))
    monkeypatch.delenv("MORVANE_DATABASE", raising=False)
    settings.reset_settings()
    database.use_database(root / ".morvane" / "test.db")
    pdk_module._get_pdk.cache_clear()
    pdk_module.get_base_pdk.cache_clear()
    # whatever the passes activate is undone with the test
    monkeypatch.setattr(polyforge, "_active_pdk", getattr(polyforge, "_active_pdk", None), raising=False)
    yield root.resolve()
    pdk_module._get_pdk.cache_clear()
    pdk_module.get_base_pdk.cache_clear()
    database.use_database(None)
    settings.reset_settings()


LIBRARY = Path(polyforge.__file__).resolve().parent


def test_find_models(project):
    records = mm.find_models()
    assert list(records) == ["broken_model", "leaf_a", "leaf_b", "ring", "wg"]
    leaf_a = records["leaf_a"]
    assert (leaf_a.factory, leaf_a.source, leaf_a.pdk_type) == ("leaf_a", str(Path("proj/models.py")), "pdk")
    assert json.loads(leaf_a.settings) == {"wl": 1.55, "length": 2.0}
    assert records["broken_model"].source == str(Path("proj/broken.py"))
    ring = records["ring"]
    assert (ring.factory, ring.source, ring.pdk_type) == ("ring", str(Path("acme/models.py")), "base_pdk")
    wg = records["wg"]
    assert wg.factory == "straight" and wg.pdk_type == "base_pdk"
    assert wg.source.startswith("..") and (project / wg.source).resolve() == LIBRARY / "models.py"
    assert json.loads(wg.settings)["length"] == 5.0


def test_register_models(project, caplog):
    G = callgraph.create_callgraph()
    with caplog.at_level(logging.DEBUG, logger="morvane"):
        new, removed = mm.register_models(G, reload=True)
    assert new == ["broken_model", "leaf_a", "leaf_b", "ring", "wg"]
    assert removed == []

    pdk = pdk_module.get_pdk()
    assert pdk.models["leaf_a"].__module__ == "proj.models"
    with pytest.raises(ModuleNotFoundError, match="a_module_that_is_not_there"):
        pdk.models["broken_model"](wl=1.3)
    assert pdk.models["broken_model"].__name__ == "broken_model"

    stored = database.get_all_model_records()
    # the database keys a model by its record's factory: "wg" is a partial of
    # the library's straight, and its row is kept, not deleted again
    assert set(stored) == {"broken_model", "leaf_a", "leaf_b", "ring", "straight"}
    assert json.loads(stored["straight"].settings)["length"] == 5.0
    assert (stored["broken_model"].status, stored["broken_model"].message) == (
        "ERROR", "No module named 'a_module_that_is_not_there'")
    assert all(stored[name].status == "SUCCESS" and stored[name].message == "" for name in ("leaf_a", "leaf_b", "ring", "straight"))

    # the flags climb from the models leaf_a and leaf_b through mid to top
    flags = {n: G.nodes[n]["has_model"] for n in G.nodes}
    assert flags == {"leaf_a": True, "leaf_b": True, "mid": True, "top": True, "plain": False, "mixed": False}

    messages = [r.getMessage() for r in caplog.records if r.name == "morvane"]
    assert "Found 1 errors" in messages
    assert "new models: ['broken_model', 'leaf_a', 'leaf_b', 'ring', 'wg']" in messages
    assert "removed models: []" in messages
    assert any(m.startswith("error=ModuleNotFoundError(") for m in messages)


def test_a_second_pass_removes_vanished_models(project):
    mm.register_models()
    write(project / "proj" / "models.py", """
        def leaf_a() -> "sax.SDict":
            return {}
        """)
    write(project / "proj" / "broken.py", "")
    new, removed = mm.register_models()
    assert new == ["leaf_a", "ring", "wg"]
    assert removed == ["broken_model", "leaf_b"]
    assert sorted(database.get_all_models()) == ["leaf_a", "ring", "straight"]
    # the active PDK keeps what it had
    assert "leaf_b" in pdk_module.get_pdk().models


def test_register_cells_registers_the_models_and_flags_factories(project):
    written, _ = pdk_module.register_cells(reload=True)
    assert {"leaf_a", "leaf_b", "mid", "top", "plain", "mixed"} <= set(written)
    assert set(database.get_all_models()) == {"broken_model", "leaf_a", "leaf_b", "ring", "straight"}
    factories = database.get_all_factories()
    # flagged during the propagation (mid, top), or with a model of their own name
    assert {n for n, r in factories.items() if r.has_model} == {"leaf_a", "leaf_b", "mid", "top"}


def _as_rows(records):
    return [(k, r.factory, r.settings, r.source, r.pdk_type) for k, r in records.items()]


def _meddling(real, mutate):
    # A stand-in that changes what it is given before handing it on.
    def stand_in(*args, **kwargs):
        mutate(*args)
        return real(*args, **kwargs)
    return stand_in


def _poke(d, *_):
    if isinstance(d, dict):
        d["poked"] = [1]


@pytest.mark.parametrize("replaced", ["json", "deepcopy", "_is_model", "_create_record", "generate_call_graph"])
def test_find_models_calls_its_collaborators_as_bound(project, monkeypatch, replaced):
    # Each collaborator is called through the name it is bound to: a
    # stand-in that changes what it is handed changes the records, the
    # same stand-in that only forwards leaves them as they were; and the
    # call graph itself keeps its records.
    write(project / "proj" / "more.py", """
        import functools

        def listy(sizes: list = [1, 2], nested=((1, 2), "a"), opts={"k": [3]}) -> "sax.SDict":
            return {}

        def scalars(a=1, b=2.5, c=None, d=True, e="x", f=(1, 2)) -> "sax.SDense":
            return {}
        """)
    write(project / "acme" / "__init__.py", """
        import functools

        import polyforge as pf
        from polyforge import models as pf_models

        from acme.models import ring

        PDK = pf.Pdk("acme", models={"ring": ring, "wg": functools.partial(pf_models.straight, length=5.0)})
        """)
    from morvane import morvane as call_graph_module
    import copy as copy_module

    def graph():
        return call_graph_module.generate_call_graph(
            lib_paths={k: str(v.resolve()) for k, v in callgraph.default_lib_paths().items()})

    pristine = graph()
    expected = _as_rows(mm.find_models())
    assert {"listy", "scalars", "ring", "wg"} <= {row[0] for row in expected}

    def run(mutate):
        with monkeypatch.context() as patch:
            if replaced == "json":
                patch.setattr(mm, "json", type("J", (), {"dumps": staticmethod(_meddling(json.dumps, mutate))}))
            elif replaced == "deepcopy":
                patch.setattr(mm, "deepcopy", _meddling(copy_module.deepcopy, mutate))
            elif replaced == "_is_model":
                patch.setattr(mm, "_is_model", _meddling(mm._is_model, mutate))
            elif replaced == "_create_record":
                patch.setattr(mm, "_create_record", _meddling(mm._create_record, lambda d, *_: [
                    mutate(v) for v in list(d.values())]))
            else:
                genuine = mm.generate_call_graph
                patch.setattr(mm, "generate_call_graph", lambda **kw: mutate_all(genuine(**kw), mutate))
            return _as_rows(mm.find_models())

    def mutate_all(call_graph, mutate):
        for record in call_graph["functions"].values():
            mutate(record)
        return call_graph

    assert run(lambda *_: None) == expected
    meddled = run(_poke)
    if replaced == "json":
        assert meddled != expected  # every record's settings carry the poke
    assert _as_rows(mm.find_models()) == expected
    if replaced in ("json", "_is_model", "generate_call_graph"):
        assert graph() == pristine


def test_register_models_asks_every_record_for_its_source_at_both_steps(project, monkeypatch):
    # A record of exactly ModelRecord and one of a subclass are asked the
    # same way, once when grouped by file and once for the import list, and
    # give the same pass.
    from morvane import models as record_types

    class Record(record_types.ModelRecord):
        __slots__ = ()

    asked = []
    real = record_types.ModelRecord.absolute_source
    monkeypatch.setattr(record_types.ModelRecord, "absolute_source",
                        lambda self: asked.append(self.factory) or real(self))
    find = mm.find_models
    outcomes = []
    for record_type in (record_types.ModelRecord, Record):
        with monkeypatch.context() as patch:
            patch.setattr(mm, "find_models", lambda: {
                k: record_type(factory=r.factory, settings=r.settings, source=r.source, pdk_type=r.pdk_type)
                for k, r in find().items()})
            asked.clear()
            result = mm.register_models(callgraph.create_callgraph(), reload=False)
            stored = {k: (r.status, r.message, r.settings) for k, r in database.get_all_model_records().items()}
            outcomes.append((result, stored, sorted(asked)))
    asked_names = outcomes[0][2]
    assert len(asked_names) == 2 * len(outcomes[0][0][0])
    assert all(asked_names.count(name) % 2 == 0 for name in asked_names)
    assert outcomes[0] == outcomes[1]


def test_pdk_type_compares_whole_path_components(project, monkeypatch):
    # projx starts with the project's name (a model of its own) but lies
    # beside proj, not in it; pathlib's own paths and a Path of another
    # class give the same records.
    write(project / "projx" / "__init__.py", "")
    write(project / "projx" / "m.py", """
        def near(wl=1.0) -> "sax.SDict":
            return {}
        """)
    # and one outside the project directory, beside it under a longer name
    outside = project.parent / (project.name + "_z") / "projy"
    write(outside / "__init__.py", "")
    write(outside / "m.py", """
        def far(wl=1.0) -> "sax.SDict":
            return {}
        """)
    lib_paths = {"proj": project / "proj", "projx": project / "projx", "projy": outside}
    rows = _as_rows(mm.find_models(lib_paths))
    pdk_types = {row[0]: row[4] for row in rows}
    sources = {row[0]: row[3] for row in rows}
    assert pdk_types["near"] == "base_pdk" and pdk_types["leaf_a"] == "pdk"
    assert sources["near"] == str(Path("projx/m.py"))
    assert sources["far"] == str(Path("..", project.name + "_z", "projy", "m.py"))

    class OtherPath(type(Path())):
        pass

    monkeypatch.setattr(mm, "Path", OtherPath)
    assert _as_rows(mm.find_models(lib_paths)) == rows
