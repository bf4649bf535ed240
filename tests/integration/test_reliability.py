"""Nothing lost, nothing half-written: commands killed mid-pass, started together, and fed broken files."""

from __future__ import annotations

import json
import os
import random
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import textwrap
import time
from pathlib import Path

import pytest

from .test_cli import _env, put

KILLS = int(os.environ.get("MORVANE_KILLS", "12"))
AS_NOBODY = 65534 if os.getuid() == 0 else None  # root reads files whatever their mode

CELLS = """
    import polyforge as pf

    @pf.cell
    def {a}() -> pf.Component:
        return pf.Component("{a}")

    @pf.cell
    def {b}() -> pf.Component:
        return pf.Component("{b}")
"""


def run_morvane(project: Path, *args: str, user: int | None = None) -> subprocess.Popen:
    return subprocess.Popen([sys.executable, "-m", "morvane", *args, "--project-dir", str(project)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=_env(), user=user)


def register(project: Path, user: int | None = None) -> dict:
    child = run_morvane(project, "register", "--json", user=user)
    out, err = child.communicate(timeout=300)
    assert child.returncode == 0, err
    return json.loads(out)


def snapshot(db: Path) -> tuple:
    conn = sqlite3.connect(f"file:{db}?mode=ro", uri=True)
    try:
        conn.execute("BEGIN")
        factories = conn.execute("SELECT name, source, status, message, has_model FROM factories ORDER BY name")
        models = conn.execute("SELECT name, source, status, message FROM models ORDER BY name")
        return tuple(map(tuple, factories)), tuple(map(tuple, models))
    finally:
        conn.close()


def make_state(project: Path, state: int) -> None:
    """Two versions of a project whose passes differ in every kind of write."""
    for i in range(20):
        a, b = (f"cell{i}_a", f"cell{i}_b") if state == 0 or i % 3 else (f"cell{i}_a", f"cell{i}_renamed")
        put(project, f"chip/part{i}.py", CELLS.format(a=a, b=b))
    models = "\n".join(f'def cell{i}_a() -> "sax.SDict":\n    return {{}}\n'
                       for i in range(20) if state == 0 or i % 2)
    put(project, "chip/models.py", models)


READER = """
import json, sqlite3, sys, time
db, allowed, stop = sys.argv[1:]
allowed = {json.dumps(s) for s in json.load(open(allowed))}
seen = bad = 0
while True:
    try:
        conn = sqlite3.connect(f"file:{db}?mode=ro", uri=True)
        conn.execute("BEGIN")
        f = conn.execute("SELECT name, source, status, message, has_model FROM factories ORDER BY name").fetchall()
        m = conn.execute("SELECT name, source, status, message FROM models ORDER BY name").fetchall()
        conn.close()
    except sqlite3.OperationalError:
        continue
    seen += 1
    bad += json.dumps([[list(r) for r in f], [list(r) for r in m]]) not in allowed
    import os
    if os.path.exists(stop):
        break
print(json.dumps({"seen": seen, "bad": bad}))
"""


def test_killed_passes_leave_a_whole_pass_behind(tmp_path):
    project = tmp_path / "chip-project"
    put(project, "pyproject.toml", '[project]\nname = "chip"\n\n[tool.morvane]\npdk = "generic"\n')
    put(project, "chip/__init__.py")
    db = project / ".morvane" / "morvane.db"
    clean, durations = {}, []
    for state in (0, 1, 0):
        make_state(project, state)
        start = time.monotonic()
        register(project)
        durations.append(time.monotonic() - start)
        assert clean.setdefault(state, snapshot(db)) == snapshot(db)  # a pass is deterministic
    assert clean[0] != clean[1]

    allowed = tmp_path / "allowed.json"
    allowed.write_text(json.dumps([[[list(r) for r in f], [list(r) for r in m]] for f, m in clean.values()]))
    stop = tmp_path / "stop"
    reader = subprocess.Popen([sys.executable, "-c", READER, str(db), str(allowed), str(stop)],
                              stdout=subprocess.PIPE, text=True)
    rng = random.Random(KILLS)
    state = 0
    try:
        for _ in range(KILLS):
            state = 1 - state
            make_state(project, state)
            child = run_morvane(project, "register")
            time.sleep(rng.uniform(0.0, max(durations) * 1.1))
            child.send_signal(signal.SIGKILL)
            child.communicate()
            conn = sqlite3.connect(db)
            assert conn.execute("PRAGMA integrity_check").fetchone() == ("ok",)
            conn.close()
            assert snapshot(db) in (clean[0], clean[1])
    finally:
        stop.touch()
        seen = json.loads(reader.communicate(timeout=60)[0])
    assert seen["seen"] > 0 and seen["bad"] == 0, seen
    register(project)
    assert snapshot(db) == clean[state]


def test_commands_started_together_on_a_new_database(tmp_path):
    project = tmp_path / "chip-project"
    put(project, "pyproject.toml", '[project]\nname = "chip"\n\n[tool.morvane]\npdk = "generic"\n')
    put(project, "chip/__init__.py")
    make_state(project, 0)
    for attempt in range(3):
        shutil.rmtree(project / ".morvane", ignore_errors=True)
        children = [run_morvane(project, "register") for _ in range(3)] + [run_morvane(project, "list")]
        for child in children:
            _, err = child.communicate(timeout=300)
            assert child.returncode == 0, err
    first = snapshot(project / ".morvane" / "morvane.db")
    register(project)
    assert snapshot(project / ".morvane" / "morvane.db") == first


def _chmod_000(path: Path) -> None:
    path.chmod(0)


# (file, text or None to leave it out, how to break it afterwards, and a
# piece of the message of the error cells it must become: both cells of the
# file, but a cell of chip/good.py that the file redefines stays healthy;
# the models of a file in BAD_MODELS stay too, as error models)
BAD_FILES = [
    ("chip/gen_exit.py", "raise GeneratorExit('stop here')\n", None, "GeneratorExit: stop here"),
    ("chip/user_base.py", "class Halt(BaseException):\n    pass\nraise Halt()\n", None, "Halt"),
    ("chip/exits.py", "import sys\nsys.exit(0)\n", None, "SystemExit: 0"),
    ("chip/no_memory.py", "raise MemoryError\n", None, "MemoryError"),
    ("chip/ligature.py", "raise RuntimeError('ligature file broken')\n", None, "ligature file broken"),
    ("chip/locked.py", "", _chmod_000, "Permission denied"),
    ("chip/locked_dir/cells.py", "", lambda p: p.parent.chmod(0), "Permission denied"),
    ("chip/redefines.py", "raise RuntimeError('redefinition broken')\n", None, "redefinition broken"),
    ("chip/syntax.py", "def oops(:\n", None, "invalid syntax"),
]
REDEFINES = {"chip/redefines.py": "good_a"}
BAD_MODELS = {"chip/syntax.py": "good_b"}  # file -> the model it defines
MODEL = 'def {name}(*, wl: float = 1.55) -> "sax.SDict":\n    return {{}}\n'


def test_bad_files_become_error_cells_and_nothing_else_changes():
    root = Path(tempfile.mkdtemp())
    try:
        project = root / "chip-project"
        put(project, "pyproject.toml", '[project]\nname = "chip"\n\n[tool.morvane]\npdk = "generic"\n')
        put(project, "chip/__init__.py")
        put(project, "chip/good.py", CELLS.format(a="good_a", b="good_b"))
        names = {}
        for i, (rel, _, _, _) in enumerate(BAD_FILES):
            names[rel] = "ﬁlter_cell" if "ligature" in rel else REDEFINES.get(rel, f"bad{i}")
            model = "\n" + MODEL.format(name=BAD_MODELS[rel]) if rel in BAD_MODELS else ""
            put(project, rel, textwrap.dedent(CELLS.format(a=names[rel], b=f"bad{i}_b")) + model)
        deep = str(project / "chip")
        for _ in range(1000):  # a folder 1,000 levels deep
            deep = os.path.join(deep, "d")
            os.mkdir(deep)
        if AS_NOBODY is not None:
            for where, dirs, files in os.walk(root):
                for entry in [where, *(os.path.join(where, f) for f in files)]:
                    os.chown(entry, AS_NOBODY, AS_NOBODY)
        baseline = register(project, AS_NOBODY)
        assert baseline["errors"] == []
        stored = set(baseline["factories"]["new"])
        assert "filter_cell" in stored

        for rel, text, breaker, _ in BAD_FILES:
            if text:
                path = project / rel
                path.write_text(path.read_text() + text)
            if breaker:
                breaker(project / rel)
        # A file whose name is not valid UTF-8.
        odd = os.fsencode(project / "chip") + b"/caf\xe9.py"
        with open(odd, "w") as f:
            f.write(textwrap.dedent(CELLS.format(a="cafe_a", b="cafe_b")))
        if AS_NOBODY is not None:
            os.chown(odd, AS_NOBODY, AS_NOBODY)

        broken = register(project, AS_NOBODY)
        errors = {e["name"]: e["message"] for e in broken["errors"]}
        assert broken["factories"]["removed"] == [] and broken["models"]["removed"] == []
        models = {m["name"]: m for m in broken["models"]["records"]}
        factories = {f["name"]: f for f in json.loads(run_morvane(project, "list", "--json", user=AS_NOBODY)
                                                      .communicate(timeout=300)[0])["factories"]}
        for i, (rel, _, _, message) in enumerate(BAD_FILES):
            for name in ({names[rel], f"bad{i}_b"} if "ligature" not in rel else {"filter_cell", f"bad{i}_b"}):
                if name in REDEFINES.values():
                    assert name not in errors and factories[name]["source"].endswith("chip/good.py")
                else:
                    assert message in errors.get(name, ""), (rel, name, errors.get(name))
            if rel in BAD_MODELS:
                model = models[BAD_MODELS[rel]]
                assert model["status"] == "ERROR" and message in model["message"], model
                assert factories[BAD_MODELS[rel]]["has_model"]
        # A pass over the broken file alone leaves the cell it redefines alone too.
        child = run_morvane(project, "register", "--json", *(str(project / r) for r in REDEFINES), user=AS_NOBODY)
        one = json.loads(child.communicate(timeout=300)[0])
        touched = {e["name"] for e in one["errors"]} | set(one["factories"]["written"])
        assert one["errors"] and not touched & set(REDEFINES.values()), one
        assert "ﬁlter_cell" not in errors
        assert "not a valid module name" in errors["cafe_a"] and "cafe_b" in errors
        assert set(errors) == stored - {"good_a", "good_b"} | {"cafe_a", "cafe_b"}
    finally:
        for where, dirs, _ in os.walk(root):
            for d in dirs:
                os.chmod(os.path.join(where, d), 0o755)
        for rel in ("chip/locked.py",):
            with_path = root / "chip-project" / rel
            if with_path.exists():
                with_path.chmod(0o644)
        shutil.rmtree(root)
