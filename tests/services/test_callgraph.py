"""The project's call graph: factory detection, edges, static records, library paths, cache."""

from __future__ import annotations

import ast
import logging
import os
import random
import shutil
import sys
import textwrap
import types
import weakref
from pathlib import Path

import networkx as nx
import pytest

import polyforge
from morvane.core import _pysource
from morvane.core import callgraph as cg
from morvane.core import engine
from morvane.models import FactoryRecord


def put(root: Path, rel: str, text: str = "") -> Path:
    path = root / rel
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(textwrap.dedent(text))
    return path


def test_every_spelling_of_the_cell_decorator_counts(project):
    put(project, "demo/__init__.py")
    put(project, "demo/a.py", """
        import polyforge as pf
        import polyforge
        from polyforge import cell, cell as make_cell
        import functools
        from typing import TYPE_CHECKING

        @pf.cell
        def a1(): ...
        @pf.cell()
        def a2(): ...
        @polyforge.cell
        def a3(): ...
        @cell
        def a4(): ...
        @make_cell()
        async def a5(): ...
        if TYPE_CHECKING:
            pass
        else:
            @cell
            def a6(): ...

        @functools.cache
        def not_cell(): ...
        def plain(): ...
        class K:
            @pf.cell
            def method(self): ...
        def outer():
            @pf.cell
            def nested(): ...
        """)
    put(project, "demo/b.py", """
        from polyforge import *
        from polyforge.decorators import cell as deco
        import other as pf

        @cell
        def b1(): ...
        @deco
        def b2(): ...
        @pf.cell
        def not_polyforge(): ...
        """)
    G = cg.create_callgraph()
    assert sorted(G.nodes) == ["a1", "a2", "a3", "a4", "a5", "a6", "b1", "b2"]
    assert G.nodes["a1"] == {"has_model": False, "source": "demo/a.py", "module": "demo.a"}


def test_a_redefinition_replaces_the_factory_as_at_run_time(project):
    put(project, "demo/x.py", """
        import polyforge as pf
        @pf.cell
        def first(): ...
        def first(): ...
        def second(): ...
        @pf.cell
        def second(): ...
        """)
    assert sorted(cg.create_callgraph().nodes) == ["second"]


def test_edges_follow_calls_of_project_factories_only(project):
    put(project, "demo/__init__.py")
    put(project, "demo/cells/__init__.py")
    put(project, "demo/cells/wg.py", """
        import polyforge as pf
        from polyforge.components import straight as pf_straight
        @pf.cell
        def straight():
            return pf_straight()        # polyforge's, not the project's
        @pf.cell
        def bend(r=straight()):         # a call in a default counts
            return bend()               # recursion: no self edge
        """)
    put(project, "demo/cells/combo.py", """
        import polyforge as pf
        from polyforge import components
        from . import wg
        from .wg import straight as s
        import demo.cells.wg as w2
        @pf.cell
        def combo(c=None):
            def helper():
                return s()
            c.bend()                    # a method of a local: not a factory call
            components.straight()       # polyforge again
            return wg.bend(), w2.straight(), helper()
        """)
    G = cg.create_callgraph()
    assert sorted(G.edges) == [("bend", "straight"), ("combo", "bend"), ("combo", "straight")]


def test_mutual_recursion_keeps_the_graph_acyclic(project):
    put(project, "demo/r.py", """
        import polyforge as pf
        @pf.cell
        def ping(n=3): return pong(n - 1)
        @pf.cell
        def pong(n=3): return ping(n - 1)
        @pf.cell
        def top(): return ping()
        """)
    G = cg.create_callgraph()
    assert nx.is_directed_acyclic_graph(G)
    assert ("top", "ping") in G.edges
    assert len({("ping", "pong"), ("pong", "ping")} & set(G.edges)) == 1
    list(nx.topological_sort(nx.reverse_view(G)))


def test_project_files_skip_hidden_build_and_virtualenv_dirs(project):
    text = "import polyforge as pf\n@pf.cell\ndef {}(): ...\n"
    put(project, "demo/keep.py", text.format("kept"))
    put(project, "tools/extra.py", text.format("also_kept"))
    for rel, name in ((".hidden/h.py", "h"), ("build/b.py", "b"), ("demo/__pycache__/c.py", "c"),
                      ("env/lib/v.py", "v"), ("pkg.egg-info/e.py", "e"), ("dist/d.py", "d")):
        put(project, rel, text.format(name))
    put(project, "env/pyvenv.cfg", "home = /usr\n")
    assert sorted(cg.create_callgraph().nodes) == ["also_kept", "kept"]


def test_a_name_defined_twice_keeps_the_first_file_and_warns(project, caplog):
    text = "import polyforge as pf\n@pf.cell\ndef twin(): ...\n"
    put(project, "demo/a.py", text)
    put(project, "demo/b.py", text)
    with caplog.at_level(logging.WARNING, logger="morvane"):
        G = cg.create_callgraph()
    assert G.nodes["twin"]["source"] == "demo/a.py"
    assert "twin" in caplog.text and "demo/b.py" in caplog.text


def test_a_file_that_does_not_parse_still_names_its_factories(project):
    put(project, "demo/broken.py", """
        import polyforge as pf
        @pf.cell
        def half(:
            pass
        @pf.cell()
        def other(): ...
        """)
    G = cg.create_callgraph()
    assert sorted(G.nodes) == ["half", "other"]
    assert G.nodes["half"]["source"] == "demo/broken.py"
    records = cg.get_static_records(G, paths=["demo/broken.py"])
    assert sorted(records) == ["half", "other"]


# -- static records -----------------------------------------------------------------


def _records_project(project: Path) -> nx.DiGraph:
    text = "import polyforge as pf\n@pf.cell\ndef {}(): ...\n@pf.cell\ndef {}(): ...\n"
    put(project, "demo/a.py", text.format("a1", "a2"))
    put(project, "demo/sub/b.py", text.format("b1", "b2"))
    return cg.create_callgraph()


def test_static_records_for_all_files(project):
    G = _records_project(project)
    records = cg.get_static_records(G, paths=[])
    assert type(records) is dict
    assert records == {
        n: FactoryRecord(name=n, source=s, status="UNKNOWN", message="")
        for n, s in (("a1", "demo/a.py"), ("a2", "demo/a.py"), ("b1", "demo/sub/b.py"), ("b2", "demo/sub/b.py"))
    }
    assert records["b1"].absolute_source() == project / "demo/sub/b.py"


@pytest.mark.parametrize("spelling", ["relative str", "relative Path", "absolute str", "absolute Path", "dotted"])
def test_static_records_by_path_in_any_spelling(project, spelling):
    G = _records_project(project)
    rel = "demo/sub/b.py"
    path = {"relative str": rel, "relative Path": Path(rel), "absolute str": str(project / rel),
            "absolute Path": project / rel, "dotted": project / "demo" / ".." / rel}[spelling]
    assert sorted(cg.get_static_records(G, paths=[path])) == ["b1", "b2"]


def test_static_records_of_the_graph_handed_out_are_those_of_its_nodes(project):
    # What the caller did to the graph is what get_static_records sees.
    G = _records_project(project)
    for paths in (["demo/sub/b.py"], ["demo/a.py", "demo/sub/b.py", "demo/missing.py"]):
        assert cg.get_static_records(G, paths=paths) == cg.get_static_records(G.copy(), paths=paths)
    G.nodes["b1"]["source"] = "demo/a.py"
    assert sorted(cg.get_static_records(G, paths=["demo/a.py"])) == ["a1", "a2", "b1"]


def test_static_records_carry_the_stored_has_model_flag(project):
    from morvane.core import database

    G = _records_project(project)
    database.add_factories(FactoryRecord(name="a1", source="demo/a.py", has_model=True),
                           FactoryRecord(name="gone", source="demo/x.py", has_model=True))
    for paths in ([], ["demo/a.py"]):
        records = cg.get_static_records(G, paths=paths)
        assert records["a1"].has_model is True and records["a2"].has_model is False
        assert "gone" not in records


def test_static_records_for_files_outside_the_graph(project, tmp_path):
    G = _records_project(project)
    put(project, "build/gen.py", "import polyforge as pf\n@pf.cell\ndef generated(): ...\n")
    outside = put(tmp_path, "elsewhere/o.py", "import polyforge as pf\n@pf.cell\ndef far(): ...\n")
    records = cg.get_static_records(G, paths=["build/gen.py", outside, "missing.py", "pyproject.toml"])
    assert records["generated"].source == "build/gen.py"
    assert records["far"].source == outside.resolve().as_posix()
    assert sorted(records) == ["far", "generated"]
    # A file of the graph without factories contributes nothing.
    put(project, "demo/empty.py", "x = 1\n")
    assert cg.get_static_records(cg.create_callgraph(), paths=["demo/empty.py"]) == {}


class _Graph(nx.DiGraph):
    """A graph subclass: get_static_records reads it through its views."""


def test_static_records_of_a_plain_graph_match_those_read_through_its_views(project):
    # The plain DiGraph's node table is read directly; any other graph as
    # written. Both see what the caller did to the graph.
    G = _records_project(project)
    G.nodes["a2"]["source"] = "demo/sub/b.py"  # moved by the caller
    G.add_node("loose")  # no source
    G.add_node("blank", source="")
    G.add_node("linked", source="demo/../demo/a.py")  # found by resolving
    sub = _Graph(G)
    for paths in ([], ["demo/a.py"], ["demo/sub/b.py", "demo/a.py"], ["demo/sub/b.py", "missing.py"]):
        plain = cg.get_static_records(G, paths=paths)
        assert list(plain.items()) == list(cg.get_static_records(sub, paths=paths).items())
    assert list(cg.get_static_records(G, paths=["demo/sub/b.py"])) == ["a2", "b1", "b2"]
    G.add_node("odd", source=[])  # a falsy source that cannot be hashed
    assert list(cg.get_static_records(G, paths=["demo/a.py"])) == list(cg.get_static_records(_Graph(G), paths=["demo/a.py"]))
    G.add_node("bad", source=["x"])
    for graph in (G, _Graph(G)):
        with pytest.raises(TypeError):
            cg.get_static_records(graph, paths=["demo/a.py"])


# -- parse cache ------------------------------------------------------------------------


def test_unchanged_files_are_not_parsed_again(project, monkeypatch):
    for i in range(5):
        put(project, f"demo/m{i}.py", f"import polyforge as pf\n@pf.cell\ndef c{i}(): ...\n")
    parsed: list[Path] = []
    real = _pysource.parse_bytes
    monkeypatch.setattr(_pysource, "parse_bytes", lambda data, p: parsed.append(p) or real(data, p))

    cg.create_callgraph()
    assert len(parsed) == 5
    parsed.clear()
    cg.create_callgraph()
    assert parsed == []

    target = project / "demo/m3.py"
    target.write_text("import polyforge as pf\n@pf.cell\ndef renamed(): ...\n")
    G = cg.create_callgraph()
    assert parsed == [target]
    assert "renamed" in G and "c3" not in G

    target.unlink()
    assert "renamed" not in cg.create_callgraph()


def test_within_one_look_each_file_is_stamped_once_and_the_next_look_sees_writes(project, monkeypatch):
    for i in range(4):
        imports = f"from demo.m{i - 1} import c{i - 1}\n" if i else ""
        put(project, f"demo/m{i}.py", f"import polyforge as pf\n{imports}@pf.cell\ndef c{i}(): ...\n")
    stamped: list[str] = []
    real = _pysource.file_stamp
    monkeypatch.setattr(_pysource, "file_stamp", lambda p: stamped.append(str(p)) or real(p))
    with cg.session.one_pass():
        cg.create_callgraph()
        importers = cg.importers_of([project / "demo/m0.py"])
        cg.create_callgraph()
        assert sorted(stamped) == sorted(set(stamped))
        put(project, "demo/m3.py", "import polyforge as pf\n@pf.cell\ndef renamed(): ...\n")
        assert "renamed" not in cg.create_callgraph()  # written during the look
    assert importers == [project / f"demo/m{i}.py" for i in (1, 2, 3)]
    assert "renamed" in cg.create_callgraph()
    assert cg.importers_of([project / "demo/m0.py"]) == [project / f"demo/m{i}.py" for i in (1, 2)]


class _CoarseClock(types.ModuleType):
    """``os`` for _pysource, with the stamps of a file system that keeps
    whole seconds: a change within the second leaves the stamp as it was."""

    def __init__(self) -> None:
        super().__init__("os")

    def __getattr__(self, name: str):
        return getattr(os, name)

    @staticmethod
    def stat(path, *a, **k):
        st = os.stat(path, *a, **k)
        return types.SimpleNamespace(
            st_mode=st.st_mode, st_ino=st.st_ino, st_dev=st.st_dev, st_size=st.st_size,
            st_mtime_ns=st.st_mtime_ns // 10**9 * 10**9, st_ctime_ns=st.st_ctime_ns // 10**9 * 10**9)


@pytest.mark.parametrize("clock", ["fine", "coarse"])
@pytest.mark.parametrize("seed", range(3))
def test_kept_folder_listings_follow_every_change_of_the_tree(tmp_path, monkeypatch, clock, seed):
    # Random changes to a tree, each followed by a listing from the kept
    # folders, compared with a fresh walk: files and folders added, removed
    # and renamed, virtual environments made and unmade in a subfolder (a
    # change the parent's stamp does not show), links retargeted (nor that),
    # all within the second of the listing before (the same-second rule).
    if clock == "coarse":
        monkeypatch.setattr(_pysource, "os", _CoarseClock())
    rng = random.Random(seed)
    root = tmp_path / "tree"
    folders = [root, root / "a", root / "a" / "b", root / "c", root / "build", root / "c" / ".hid"]
    for folder in folders:
        folder.mkdir(parents=True, exist_ok=True)
    target_file, target_dir = put(tmp_path, "elsewhere.py"), tmp_path / "elsewhere"
    target_dir.mkdir()
    cache = engine.Session()
    for _ in range(60):
        folder = rng.choice([f for f in folders if f.is_dir()])
        py = sorted(p for p in folder.iterdir() if p.name.endswith(".py"))
        op = rng.randrange(7)
        if op == 0 or not py:
            (folder / rng.choice(["__init__.py", "m1.py", "m2.py", "z.py", "notes.txt"])).write_text("")
        elif op == 1:
            rng.choice(py).unlink()
        elif op == 2:
            rng.choice(py).rename(folder / f"r{rng.randrange(3)}.py")
        elif op == 3:
            venv = folder / "pyvenv.cfg"
            venv.unlink() if venv.exists() else venv.write_text("home = /usr\n")
        elif op == 4:
            link = folder / "link.py"
            link.unlink(missing_ok=True)
            link.symlink_to(rng.choice([target_file, target_dir]))
        elif op == 5:
            # A link's target turns from a file into a folder, or back.
            if target_file.is_file():
                target_file.unlink()
                target_file.mkdir()
            else:
                target_file.rmdir()
                target_file.write_text("")
        else:
            sub = folder / f"d{rng.randrange(2)}"
            if sub.is_dir():
                shutil.rmtree(sub)
            else:
                put(sub, "x.py")
                folders.append(sub)
        if rng.random() < 0.3:
            with cache.one_pass():
                assert cache.listing(root)[0] == tuple(_pysource.iter_python_files(root))
        else:
            assert list(cache.listing(root)[0]) == _pysource.iter_python_files(root)


@pytest.mark.parametrize("seed", range(3))
def test_answers_kept_under_file_events_are_those_of_a_fresh_cache(tmp_path, seed):
    # Random edits (new content, the same size within the same second,
    # deletions and files written again, files outside the events' root
    # that no event reports), each reported as file events report it; after
    # each, the same listing is asked for in a new look and compared with a
    # cache that has never seen the files.
    rng = random.Random(seed)
    root, outside = tmp_path / "proj", tmp_path / "lib"
    paths = [put(root, f"m{i}.py", f"x = {i}\n") for i in range(8)] + [put(outside, "o.py", "y = 0\n")]

    def dump(path: Path, tree: ast.Module | None, module: str, is_package: bool) -> object:
        return None if tree is None else ast.dump(tree)

    def session() -> engine.Session:
        made = engine.Session()
        made.analysis("dump", dump)
        return made

    def answers(made: engine.Session) -> list[object]:
        with made.one_pass():
            return [made.analysed("dump", p, "", False) for p in paths]

    cache = session()
    cache.events_begin(root, lambda key: key.endswith(".py"))
    for step in range(40):
        path = rng.choice(paths)
        op = rng.randrange(4)
        if op == 0:
            path.write_text(f"x = {rng.randrange(100)}\n")
        elif op == 1 and path.exists():
            path.write_text(path.read_text().replace("x", "z").replace("y", "w"))  # same size
        elif op == 2:
            path.unlink(missing_ok=True)
        if path.parent == root:
            cache.touched([path])
        with cache.one_pass():
            if rng.random() < 0.5:
                cache.digest(path)  # another service takes the file first (the importer, say)
            kept = answers(cache)
            assert answers(cache) == kept
        assert kept == answers(session()), f"step {step}"


# -- library paths ------------------------------------------------------------------------


def test_default_lib_paths_without_importing(make_project, monkeypatch):
    root = make_project('[project]\nname = "demo"\n[tool.morvane]\npdk = "mypdk.sub"\n')
    put(root, "demo/__init__.py")
    put(root, "mypdk/__init__.py", "raise RuntimeError('must not be imported')\n")
    put(root, "mypdk/sub/__init__.py")
    paths = cg.default_lib_paths()
    assert type(paths) is dict
    assert list(paths) == ["demo", "mypdk.sub", "polyforge"]
    assert paths["demo"] == root / "demo"
    assert paths["mypdk.sub"] == root / "mypdk" / "sub"
    assert paths["polyforge"] == Path(polyforge.__file__).parent
    assert "mypdk" not in sys.modules


def test_default_lib_paths_single_module_generic_and_missing_pdk(make_project):
    root = make_project('[project]\nname = "Demo-Proj"\n[tool.morvane]\npdk = "GPDK"\n')
    put(root, "demo_proj.py")
    assert list(cg.default_lib_paths()) == ["demo_proj", "polyforge"]
    assert cg.default_lib_paths()["demo_proj"] == root / "demo_proj.py"

    root = make_project('[project]\nname = "demo"\n[tool.morvane]\npdk = "no_such_pdk_pkg"\n', name="p2")
    assert list(cg.default_lib_paths()) == ["polyforge"]


def test_kept_import_fingerprints_are_those_worked_out_anew(project):
    # What a module imports, directly or through others, is kept from pass
    # to pass; after edits that change the imports, delete, add and rename
    # files, and rewrite them within the second, each file's kept digest of
    # its imports is the one a session that has seen nothing finds, and it
    # changes whenever a file it imports does.
    rng = random.Random(7)
    put(project, "pkg/sub/__init__.py")
    names = [f"m{i}" for i in range(7)]
    put(project, "pkg/__init__.py")

    def write_module(name: str) -> None:
        imported = rng.sample([n for n in names if n != name], rng.randint(0, 3))
        lines = [rng.choice([f"from pkg import {n}", f"import pkg.{n}", f"from pkg.{n} import *"]) for n in imported]
        if rng.random() < 0.2:
            lines.append("import pkg.sub.deep")  # a folder that may appear later
        text = "\n".join(lines) + f"\nVALUE = {rng.randint(0, 9)}\n"
        if rng.random() < 0.5:
            put(project, f"pkg/{name}.py", text)
        else:  # as an editor saves: a new file renamed over the old one
            os.replace(put(project, f"pkg/.{name}.py.new", text), project / f"pkg/{name}.py")

    for name in names:
        write_module(name)
    before: tuple[dict[Path, object], dict[Path, bytes]] = ({}, {})
    for step in range(60):
        action = rng.random()
        if action < 0.6:
            write_module(rng.choice(names))
        elif action < 0.75:
            (project / f"pkg/{rng.choice(names)}.py").unlink(missing_ok=True)
        elif action < 0.85:
            put(project, "pkg/sub/deep.py", "") if rng.random() < 0.5 else \
                shutil.rmtree(project / "pkg/sub", ignore_errors=True)
        else:
            source, target = rng.sample(names, 2)
            if (project / f"pkg/{source}.py").exists():
                (project / f"pkg/{source}.py").rename(project / f"pkg/{target}.py")
        for directory, _, entries in os.walk(project):  # written long ago (a folder that changed, too)
            for name in [*entries, "."]:
                path = os.path.join(directory, name)
                if os.stat(path).st_mtime > 1e9:
                    os.utime(path, (1e9, 1e9))
        files = sorted(p.resolve() for p in (project / "pkg").glob("*.py"))
        with cg.session.one_pass():
            kept = {f: cg.import_fingerprint(f) for f in files}
            targets, _ = cg.import_graph()
        saved = cg.session
        cg.session = engine.Session()
        for name, compute in saved._analyses.items():
            cg.session.analysis(name, compute)
        try:
            anew = {f: cg.import_fingerprint(f) for f in files}
        finally:
            cg.session = saved
        assert kept == anew, step
        # A file's digest changes with any file it imports, directly or not.
        contents = {f: f.read_bytes() for f in targets}
        for f in files:
            reached, todo = {f}, [f]
            while todo:
                for t in targets.get(todo.pop(), ()):
                    if t not in reached:
                        reached.add(t)
                        todo.append(t)
            if f in before[0] and any(contents[t] != before[1].get(t) for t in reached):
                assert kept[f] != before[0][f], step
        before = (kept, contents)
