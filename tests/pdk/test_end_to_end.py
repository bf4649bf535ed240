"""register_cells against the real host services on a temporary project."""

from __future__ import annotations

import sys

import pytest

from doubles import write

GOOD = """
    import polyforge as pf

    @pf.cell
    def wg(width: float = 0.5) -> pf.Component:
        return pf.Component("wg")

    @pf.cell
    def add_labels(component: pf.Component) -> pf.Component:
        return component
"""

BROKEN = """
    import polyforge as pf

    @pf.cell
    def ring(radius: float = 5.0) -> pf.Component:
        return pf.Component("ring")

    raise ImportError("the ring is not finished")
"""

GHOST = """
    import polyforge as pf

    if False:
        @pf.cell
        def ghost() -> pf.Component:
            return pf.Component("ghost")
"""


@pytest.fixture
def files(project):
    return (write(project / "demo" / "good.py", GOOD), write(project / "demo" / "broken.py", BROKEN),
            write(project / "demo" / "ghost.py", GHOST))


def stored():
    from morvane.core import database as db

    return {name: (r.status, r.message) for name, r in db.get_all_factories().items()}


def test_first_full_pass(pdk, files):
    good, broken, ghost = files
    added, removed = pdk.register_cells()
    assert (added, removed) == (["add_labels", "ghost", "ring", "wg"], [])
    active = pdk.get_pdk()

    assert active.cells["wg"]().name.startswith("wg")
    with pytest.raises(ImportError, match="the ring is not finished"):
        active.cells["ring"]()
    message = f"Cell 'ghost' not found in '{ghost}'."
    error = pytest.raises(ImportError, active.cells["ghost"]).value
    assert str(error) == message and type(error) is ImportError

    # The project's cell wins over the generic container of the same name.
    assert active.cells["add_labels"].__module__ == "demo.good" and "add_labels" not in active.containers
    assert "add_pads" in active.containers and "add_labels" in pdk.get_base_pdk().containers

    db = stored()
    assert db["ring"] == ("ERROR", "the ring is not finished")
    assert db["ghost"] == ("ERROR", message)
    assert db["wg"][0] != "ERROR"


def test_second_pass_reports_nothing(pdk, files):
    pdk.register_cells()
    assert pdk.register_cells() == ([], [])


def test_one_file_pass_forgets_what_its_file_no_longer_defines(pdk, files):
    good, broken, _ = files
    pdk.register_cells()
    good.write_text(good.read_text().replace("def wg(width: float = 0.5)", "def wg2(width: float = 0.5)"))
    # The file's stored rows are compared too: a renamed cell's old name goes,
    # from the database and from the PDK.
    assert pdk.register_cells(paths=[good]) == (["add_labels", "wg2"], ["wg"])
    assert "wg" not in stored() and "wg" not in pdk.get_pdk().cells
    # So do the cells of a file that no longer defines any.
    write(broken, "import polyforge as pf\n")
    assert pdk.register_cells(paths=[broken]) == ([], ["ring"])
    assert "ring" not in stored() and "ring" not in pdk.get_pdk().cells
    # Nothing is left for a full pass to mend.
    assert pdk.register_cells() == ([], [])


def test_fixed_file_in_a_one_file_pass(pdk, files):
    _, broken, _ = files
    pdk.register_cells()
    write(broken, BROKEN.replace('raise ImportError("the ring is not finished")', ""))
    assert pdk.register_cells(paths=[broken], reload=False) == (["ring"], [])
    assert pdk.get_pdk().cells["ring"]().name.startswith("ring")
    assert stored()["ring"][0] != "ERROR"


def test_the_pass_leaves_the_look_at_the_files_to_its_driver(pdk, project, monkeypatch):
    # register_cells never enters a look at the files of its own: outside
    # one, the host's own call graph runs without; inside the one a driver
    # entered, every step runs in it. A stand-in for the call graph, the
    # host's own outside a look and inside one all give the same results,
    # step by step, and a pass that fails inside a look leaves it to the
    # driver to end.
    import contextlib
    import shutil
    import types

    from morvane import settings
    from morvane.core import callgraph, database
    from morvane.core.engine import session

    looked: list[bool] = []
    create = callgraph.create_callgraph

    def watched_create():
        looked.append(session.in_pass)
        return create()

    monkeypatch.setattr(callgraph, "create_callgraph", watched_create)
    stand_in = types.SimpleNamespace(create_callgraph=watched_create,
                                     get_static_records=callgraph.get_static_records)

    def scenario(context):
        good = write(project / "demo" / "good.py", GOOD)
        broken = write(project / "demo" / "broken.py", BROKEN)
        outcomes = []

        def step(**kwargs):
            with context():
                result = pdk.register_cells(**kwargs)
            active = pdk.get_pdk()
            outcomes.append((result, stored(), sorted(n for n in active.cells if n in stored())))

        step()
        write(good, GOOD.replace("def wg(", "def wg2("))
        step(paths=[good])
        write(good, GOOD + "\n    def oops(:\n")
        step(paths=[good])
        write(broken, BROKEN.replace('raise ImportError("the ring is not finished")', ""))
        step(paths=[good, broken])
        step()
        return outcomes

    def fresh_start():
        database.use_database(None)
        shutil.rmtree(project / "demo")
        for child in project.iterdir():
            if child.name != "pyproject.toml":
                shutil.rmtree(child) if child.is_dir() else child.unlink()
        write(project / "demo" / "__init__.py")
        for name in [n for n in sys.modules if n == "demo" or n.startswith("demo.")]:
            del sys.modules[name]
        session.clear()
        settings.reset_settings()
        pdk._get_pdk.cache_clear()
        pdk.get_base_pdk.cache_clear()

    def run(context, call_graph=None):
        looked.clear()
        with monkeypatch.context() as m:
            if call_graph is not None:
                m.setattr(pdk, "cg", call_graph)
            outcomes = scenario(context)
        fresh_start()
        return outcomes, set(looked)

    as_written = run(contextlib.nullcontext, stand_in)
    assert as_written[1] == {False}
    assert run(contextlib.nullcontext) == as_written
    assert run(session.one_pass) == (as_written[0], {True})

    def failing(*args, **kwargs):
        raise RuntimeError("no records today")

    monkeypatch.setattr(callgraph, "get_static_records", failing)
    with session.one_pass():
        with pytest.raises(RuntimeError, match="no records today"):
            pdk.register_cells()
        assert session.in_pass
    assert not session.in_pass
