"""The engine's store on disk, through the command line: a damaged store is
rebuilt with one notice, two commands at once leave it whole, and a warm
command reports what a command without the store reports."""

from __future__ import annotations

import concurrent.futures
import json
import sqlite3
from pathlib import Path

from .test_cli import morvane, project, put  # noqa: F401  (the fixture)


def _register(project: Path, *args: str) -> dict:
    """The database after a ``register`` (what ``list --json`` shows)."""
    done = morvane("register", "--project-dir", str(project), "--json", *args)
    assert done.returncode == 0, done.stderr
    listed = morvane("list", "--project-dir", str(project), "--json")
    assert listed.returncode == 0, listed.stderr
    state = json.loads(listed.stdout)
    return {"factories": state["factories"], "models": state["models"]}


def test_a_warm_command_leaves_what_a_command_without_the_store_does(project):
    store = project / ".morvane" / "cache.sqlite"
    _register(project)
    assert store.is_file()
    # Edited while no process ran: a new cell, and one cell renamed.
    put(project, "chip/extra.py", "import polyforge as pf\n\n@pf.cell\ndef extra() -> pf.Component:\n"
                                  "    return pf.Component()\n")
    circuit = project / "chip" / "circuit.py"
    circuit.write_text(circuit.read_text().replace("def circuit(", "def circuit2("))
    warm = _register(project)
    assert {"extra", "circuit2"} <= {f["name"] for f in warm["factories"]}
    assert _register(project, "--no-cache") == warm

    # show answers from the last pass's graph; cache clear empties the store.
    shown = morvane("show", "circuit2", "--project-dir", str(project), "--json")
    assert shown.returncode == 0, shown.stderr
    assert json.loads(shown.stdout)["uses"] == ["wg"]
    cleared = morvane("cache", "clear", "--project-dir", str(project))
    assert cleared.returncode == 0 and "Removed" in cleared.stdout and not store.exists()
    # The commands that only read never make one.
    shown = morvane("show", "circuit2", "--project-dir", str(project), "--json")
    assert shown.returncode == 0 and json.loads(shown.stdout)["uses"] == ["wg"] and not store.exists()
    assert _register(project) == warm


def test_a_damaged_or_foreign_store_is_rebuilt_with_one_notice(project):
    store = project / ".morvane" / "cache.sqlite"
    expected = _register(project, "--no-cache")
    for damage in ("garbage", "truncated", "other version", "bad entry"):
        _register(project)
        if damage == "garbage":
            store.write_bytes(b"not a store at all" * 100)
        elif damage == "truncated":
            data = store.read_bytes()
            store.write_bytes(data[: len(data) // 3])
        elif damage == "other version":
            with sqlite3.connect(store) as db:
                db.execute("PRAGMA user_version = 999")
        else:
            with sqlite3.connect(store) as db:
                db.execute("UPDATE analyses SET data = x'80059505'")
        done = morvane("register", "--project-dir", str(project))
        assert done.returncode == 0, (damage, done.stderr)
        notices = [line for line in done.stderr.splitlines() if "cache" in line]
        if damage != "bad entry":  # one notice per damaged entry
            assert len(notices) == 1, (damage, notices)
        with sqlite3.connect(store) as db:
            assert db.execute("PRAGMA integrity_check").fetchone()[0] == "ok", damage
        assert _register(project) == expected, damage


def test_commands_at_once_never_corrupt_the_store(project):
    _register(project)
    for round_ in range(3):
        put(project, f"chip/round{round_}.py", "import polyforge as pf\n\n@pf.cell\n"
                                               f"def round{round_}() -> pf.Component:\n    return pf.Component()\n")
        with concurrent.futures.ThreadPoolExecutor(4) as pool:
            runs = list(pool.map(lambda args: morvane(*args, "--project-dir", str(project)),
                                 [("register",), ("register", "chip/circuit.py"), ("show", "wg"), ("register",)]))
        for done in runs:
            assert done.returncode == 0, done.stderr
        with sqlite3.connect(project / ".morvane" / "cache.sqlite") as db:
            assert db.execute("PRAGMA integrity_check").fetchone()[0] == "ok"
        warm = _register(project)
        assert _register(project, "--no-cache") == warm
