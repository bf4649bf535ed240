"""State kept between passes against a fresh process's view, and the watcher's choice of files."""

from __future__ import annotations

import os
import random

import networkx as nx

from morvane.core import callgraph as cg
from morvane.core import engine
from morvane.passes import pass_paths

from .conftest import write


def _fresh_graph() -> nx.DiGraph:
    # The call graph of a session that has seen nothing.
    saved = cg.session
    cg.session = engine.Session()
    for name, compute in saved._analyses.items():
        cg.session.analysis(name, compute)
    try:
        return cg.create_callgraph()
    finally:
        cg.session = saved


def _same(a: nx.DiGraph, b: nx.DiGraph) -> None:
    # The graph handed out again holds what a new one holds (nodes that came
    # later stand after the others).
    assert dict(a.nodes(data=True)) == dict(b.nodes(data=True))
    assert sorted(a.edges) == sorted(b.edges)


def test_incremental_graph_matches_a_fresh_build_after_random_edits(project):
    rng = random.Random(7)
    names = [f"c{i}" for i in range(12)]

    def text(i: int) -> str:
        calls = rng.sample(names, 3)
        body = "".join(f"    {c}()\n" for c in calls)
        name = rng.choice(names)
        return f"import polyforge as pf\nfrom demo.m{rng.randrange(6)} import *\n@pf.cell\ndef {name}():\n{body}"

    for i in range(6):
        write(project / f"demo/m{i}.py", text(i))
    for step in range(40):
        i = rng.randrange(8)
        path = project / f"demo/m{i}.py"
        action = rng.choice(["edit", "edit", "delete", "rename", "same-stamp"])
        if action == "delete" and path.exists():
            path.unlink()
        elif action == "rename" and path.exists():
            path.rename(project / f"demo/m{rng.randrange(8)}.py")
        elif action == "same-stamp" and path.exists():
            # Rewritten with the same size and modification time.
            stat = path.stat()
            old = path.read_text()
            new = old.replace("c1", "c2") if "c1" in old else old.replace("c2", "c1")
            path.write_text(new)
            os.utime(path, ns=(stat.st_atime_ns, stat.st_mtime_ns))
        else:
            write(path, text(i))
        G = cg.create_callgraph()
        _same(G, _fresh_graph())
        G.nodes[next(iter(G), "x")]["has_model"] = True if len(G) else None  # the caller's to change
        again = cg.create_callgraph()
        assert again is G  # handed out again, brought up to date in place
        assert all(not d["has_model"] for _, d in again.nodes(data=True))


def test_pass_paths_adds_the_importers_of_changed_and_deleted_files(project):
    write(project / "demo/__init__.py")
    base = write(project / "demo/base.py", "X = 1\n")
    write(project / "demo/mid.py", "from demo.base import X\n")
    top = write(project / "demo/top.py", "import demo.mid\n")
    gone = project / "demo/gone.py"
    write(project / "demo/uses_gone.py", "from demo import gone\n")
    chosen = pass_paths([base], [gone])
    assert chosen[:2] == [base.resolve(), gone.resolve()]
    assert set(chosen[2:]) == {(project / "demo" / n).resolve() for n in ("mid.py", "top.py", "uses_gone.py")}
    assert pass_paths([top], []) == [top.resolve()]


def _registry() -> dict[str, tuple[str, str, str]]:
    """The stored rows, and what the PDK's cell of each name builds."""
    from morvane.core import database
    from morvane.core import pdk as core

    cells = core.get_pdk().cells
    out = {}
    for name, row in database.get_all_factories().items():
        try:
            built = f"{len(cells[name]().polygons)} polygons"
        except Exception as exc:
            built = f"raises {exc}"
        out[name] = (row.source, row.status, built)
    return out


def test_a_name_two_files_define_ends_as_a_full_pass_leaves_it_whatever_the_history(project):
    # Two files define `dup`: it is the cell of the first in file order, an
    # error cell while that file fails to import. The watcher's passes over
    # the saved or deleted file must agree with a pass over the whole
    # project at every step, whichever of the two comes first.
    from morvane import watch
    from morvane.core import database
    from morvane.core import pdk as core

    def cell(name: str, polygons: int) -> str:
        adds = "".join(f"    c.add_polygon([(0, {i}), (1, {i}), (1, {i + 1})])\n" for i in range(polygons))
        return f"@pf.cell\ndef {name}() -> pf.Component:\n    c = pf.Component()\n{adds}    return c\n\n"

    write(project / "demo/__init__.py")
    for older, newer in (("a_old.py", "b_new.py"), ("d_old.py", "c_new.py")):
        old, new = project / "demo" / older, project / "demo" / newer
        head = "import polyforge as pf\n\n"
        good = head + cell("dup", 2) + cell(f"only_{new.stem}", 1)
        broken = good + "raise RuntimeError('half done')\n"
        steps = [
            (lambda: (write(old, head + cell("dup", 1) + cell(f"only_{old.stem}", 1)), write(new, good)), None),
            (lambda: write(new, broken), new),
            (lambda: write(old, head + cell("dup", 1) + cell(f"only_{old.stem}", 3)), old),
            (lambda: write(new, good), new),  # mended
            (lambda: write(new, broken), new),
            (lambda: new.unlink(), new),  # `dup` is the old file's alone again
            (lambda: write(new, broken), new),
            (lambda: write(new, head + cell(f"only_{new.stem}", 1)), new),  # `dup` moved out
            (lambda: write(new, broken.replace("def dup", "def dup_renamed")), new),
        ]
        for number, (edit, saved) in enumerate(steps):
            edit()
            if saved is None:
                watch.apply_changes([], [], core=core)
            elif saved.exists():
                watch.apply_changes([saved], [], core=core)
            else:
                watch.apply_changes([], [saved], core=core)
            watched = _registry()
            database.use_database(project / f".morvane/full-{older}-{number}.db")
            try:
                with database.pass_scope():
                    core.register_cells()
                full = _registry()
            finally:
                database.use_database(None)
            assert watched == full, (older, number)
            if number == 5:  # the broken newer file deleted
                assert watched["dup"][0] == f"demo/{older}" and watched["dup"][1:] != ("ERROR",)
                assert watched["dup"][2] == "1 polygons"
        for path in (old, new):
            path.unlink()
        watch.apply_changes([], [old, new], core=core)
        assert "dup" not in _registry()


def test_file_events_report_what_each_save_left(tmp_path):
    # Editors save in place, by renaming a new file over the old one, or by
    # deleting the file and writing it again; each is a change of the file.
    # A burst's events come without their order: only the file as it is
    # afterwards tells a save from a deletion. A folder renamed, moved in or
    # removed comes as one event for the folder: its files came or went.
    import shutil
    import threading
    import time

    from morvane import watch

    root = tmp_path.resolve()
    files = {name: write(root / f"{name}.py", "x = 1\n") for name in ("inplace", "renamed", "rewritten", "gone")}
    write(root / "pkg" / "sub" / "a.py", "x = 1\n")
    write(tmp_path.parent / f"{tmp_path.name}-outside" / "lib" / "b.py", "x = 1\n")
    moved_in = tmp_path.parent / f"{tmp_path.name}-outside" / "lib"
    steps = [
        (lambda: files["inplace"].write_text("x = 2\n"), {files["inplace"]: "changed"}),
        (lambda: os.replace(write(root / ".renamed.py.new", "x = 2\n"), files["renamed"]),
         {files["renamed"]: "changed"}),
        (lambda: (files["rewritten"].unlink(), files["rewritten"].write_text("x = 2\n")),
         {files["rewritten"]: "changed"}),
        (lambda: files["gone"].unlink(), {files["gone"]: "deleted"}),
        (lambda: (root / "pkg" / "sub").rename(root / "pkg" / "sub2"),
         {root / "pkg/sub/a.py": "deleted", root / "pkg/sub2/a.py": "changed"}),
        (lambda: shutil.move(moved_in, root / "lib"), {root / "lib/b.py": "changed"}),
        (lambda: shutil.rmtree(root / "pkg"), {root / "pkg/sub2/a.py": "deleted"}),
    ]
    events = watch._events(root, 0.05)
    next(events)  # watching
    for i, (step, expected) in enumerate(steps):
        threading.Timer(0.1, step).start()
        seen: dict[Path, str] = {}
        quiet = 0
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and (not seen or quiet < 3):
            changed, deleted = next(events)
            quiet = 0 if changed or deleted else quiet + 1 if seen else 0
            seen.update({p: "changed" for p in changed} | {p: "deleted" for p in deleted})
        assert seen == expected, i


def test_without_file_events_the_watcher_looks_at_the_files(tmp_path, monkeypatch):
    import sys
    import threading

    from morvane import watch

    for name in ("watchfiles", "watchfiles._rust_notify"):
        monkeypatch.setitem(sys.modules, name, None)  # not installed
    notices: list[str] = []
    source = watch.changes(tmp_path, 0.05, False, notices.append)
    saved = write(tmp_path / "a.py", "x = 1\n")
    threading.Timer(0.2, saved.write_text, ["x = 22\n"]).start()
    while not (batch := next(source))[0]:
        pass
    assert batch == ({saved.resolve()}, set())
    assert len(notices) == 1 and "file events unavailable (ModuleNotFoundError" in notices[0]
    assert "looking at the files every 0.05 s instead" in notices[0]


def test_a_save_before_the_first_batch_is_asked_for_is_reported(tmp_path):
    # The watcher starts its source before the first pass: a save during
    # that pass comes with the first batches, by file events or by polling.
    import time

    from morvane import watch

    root = tmp_path.resolve()
    saved = write(root / "a.py", "x = 1\n")
    for poll, text in ((False, "x = 22\n"), (True, "x = 333\n")):
        source = watch.changes(root, 0.05, poll, print)
        saved.write_text(text)
        seen: set[Path] = set()
        deadline = time.monotonic() + 5
        while saved not in seen and time.monotonic() < deadline:
            seen |= next(source)[0]
        source.close()  # type: ignore[attr-defined]
        assert saved in seen, "polling" if poll else "file events"
