"""Nothing a project file does and nothing done to the database stops the watcher or corrupts what it writes.

Each test injects one class of fault into real processes: a database file
deleted, replaced or corrupted under a running watcher; a full disk, made
through the database layer; project files that exit, interrupt, loop,
print, change the process's state or leave threads running.
"""

from __future__ import annotations

import json
import os
import queue
import shutil
import signal
import sqlite3
import subprocess
import sys
import textwrap
import threading
import time
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path

from .test_cli import _env, put

PYPROJECT = '[project]\nname = "chip"\n\n[tool.morvane]\npdk = "generic"\n{extra}'

CELLS = """
    import polyforge as pf

    @pf.cell
    def {a}() -> pf.Component:
        return pf.Component("{a}")

    @pf.cell
    def {b}() -> pf.Component:
        return pf.Component("{b}")
"""


def make_project(root: Path, files: int = 8, extra: str = "") -> tuple[Path, set[str]]:
    project = root / "chip-project"
    put(project, "pyproject.toml", PYPROJECT.format(extra=extra))
    put(project, "chip/__init__.py")
    names = set()
    for i in range(files):
        put(project, f"chip/part{i}.py", CELLS.format(a=f"p{i}_a", b=f"p{i}_b"))
        names |= {f"p{i}_a", f"p{i}_b"}
    return project, names


def save(project: Path, i: int) -> None:
    """Save chip/part{i}.py again, its cells as they were."""
    put(project, f"chip/part{i}.py", textwrap.dedent(CELLS.format(a=f"p{i}_a", b=f"p{i}_b")) + "# saved\n")


def stored(db: Path) -> set[str]:
    conn = sqlite3.connect(f"file:{db}?mode=ro", uri=True)
    try:
        assert conn.execute("PRAGMA integrity_check").fetchone() == ("ok",)
        return {name for (name,) in conn.execute("SELECT name FROM factories")}
    finally:
        conn.close()


class Watcher:
    """A `morvane watch --json` process and the passes it reports."""

    def __init__(self, argv: list[str]) -> None:
        self.proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=_env())
        self.passes: queue.Queue[dict] = queue.Queue()
        self.err: list[str] = []
        threading.Thread(target=self._read, daemon=True).start()
        threading.Thread(target=lambda: self.err.extend(self.proc.stderr), daemon=True).start()

    def _read(self) -> None:
        for line in self.proc.stdout:
            self.passes.put(json.loads(line))  # every line of stdout is one JSON object

    def next_pass(self, timeout: float = 60) -> dict:
        try:
            return self.passes.get(timeout=timeout)
        except queue.Empty:
            raise AssertionError(f"no pass within {timeout} s; stderr:\n{''.join(self.err)}") from None

    def quiet(self, seconds: float) -> list[dict]:
        """The passes reported within ``seconds``."""
        end, seen = time.monotonic() + seconds, []
        while (left := end - time.monotonic()) > 0:
            try:
                seen.append(self.passes.get(timeout=left))
            except queue.Empty:
                break
        return seen


@contextmanager
def watching(project: Path, *, python: list[str] | None = None) -> Iterator[Watcher]:
    argv = [*(python or [sys.executable, "-m", "morvane"]), "watch", "--json", "--interval", "0.2",
            "--project-dir", str(project)]
    watcher = Watcher(argv)
    try:
        first = watcher.next_pass(120)
        assert first["ok"] and first["scope"]["all"], first
        yield watcher
        assert watcher.proc.poll() is None, "".join(watcher.err)  # nothing above ended it
        watcher.proc.send_signal(signal.SIGTERM)
        assert watcher.proc.wait(timeout=60) == 0
    finally:
        if watcher.proc.poll() is None:
            watcher.proc.kill()
            watcher.proc.wait()


def full_pass_fills(watcher: Watcher, db: Path, names: set[str]) -> None:
    """The next passes (without a save) end in a full pass that holds every cell."""
    while True:
        done = watcher.next_pass(30)
        if done["ok"]:
            break
    assert done["scope"]["all"], done
    assert stored(db) == names


def test_the_watcher_writes_the_whole_project_to_whatever_database_is_there(tmp_path):
    project, names = make_project(tmp_path)
    db = project / ".morvane" / "morvane.db"
    other, other_names = make_project(tmp_path / "other", files=3)
    for i in range(3):
        put(other, f"chip/part{i}.py", CELLS.format(a=f"other{i}_a", b=f"other{i}_b"))
    done = subprocess.run([sys.executable, "-m", "morvane", "register", "--project-dir", str(other)],
                          capture_output=True, text=True, env=_env(), timeout=300)
    assert done.returncode == 0, done.stderr
    other_db = other / ".morvane" / "morvane.db"

    with watching(project) as watcher:
        assert stored(db) == names
        # Deleted: the main file alone, with its side files, the whole folder.
        for remove in ([db], [db, Path(f"{db}-wal"), Path(f"{db}-shm")], [db.parent]):
            for path in remove:
                if path.is_dir():
                    os.rename(path, tmp_path / "gone")  # at once, not file by file
                else:
                    path.unlink(missing_ok=True)
            full_pass_fills(watcher, db, names)
            save(project, 0)
            done = watcher.next_pass()
            assert done["ok"] and not done["scope"]["all"] and stored(db) == names, done

        # Replaced by rename with another project's database: it gets this
        # project, not the old file's pages from the log left behind.
        replacement = tmp_path / "replacement.db"
        shutil.copy(other_db, replacement)
        os.replace(replacement, db)
        full_pass_fills(watcher, db, names)

        # Replaced by a text file: it stays as it is, each pass fails and says
        # it will try again, the watcher goes on.
        text = b"not a database\n" * 200
        replacement.write_bytes(text)
        os.replace(replacement, db)
        done = watcher.next_pass()
        assert not done["ok"] and done["error"]["retry"], done
        save(project, 1)
        done = watcher.next_pass()
        assert not done["ok"] and db.read_bytes() == text, done
        db.unlink()
        full_pass_fills(watcher, db, names)

        # The folder made a file: the same.
        replacement.write_text("in the way\n")
        os.rename(db.parent, tmp_path / "gone again")
        os.rename(replacement, db.parent)
        done = watcher.next_pass()
        assert not done["ok"] and done["error"]["retry"], done
        db.parent.unlink()
        save(project, 2)
        full_pass_fills(watcher, db, names)

        # Corrupted in place: whatever the passes make of it, the watcher
        # goes on, and a new file in its place gets the whole project.
        with open(db, "r+b") as f:
            f.seek(0)
            f.write(b"\xff" * 100)
        save(project, 3)
        watcher.next_pass()
        db.unlink()
        full_pass_fills(watcher, db, names)


def test_a_file_put_in_the_databases_place_never_gets_the_old_files_log(tmp_path):
    """In this process, the old file's log full of pages: a replacement is
    read as it is, whatever it is."""
    from morvane.core import database as db
    from morvane.models import FactoryRecord

    path, other = tmp_path / "morvane.db", tmp_path / "other.db"
    try:
        db.use_database(other)
        db.add_factories(FactoryRecord("theirs", "b.py", "SUCCESS"))
        db.use_database(path)
        for i in range(20):
            db.add_factories(*(FactoryRecord(f"ours{i}_{j}", "a.py", "SUCCESS", "x" * 100) for j in range(20)))
        assert Path(f"{path}-wal").stat().st_size > 0
        shutil.copy(other, tmp_path / "copy")
        os.replace(tmp_path / "copy", path)
        assert "replaced" in db.reopen_if_replaced()
        assert list(db.get_all_factories()) == ["theirs"]

        db.add_factories(*(FactoryRecord(f"ours{j}", "a.py", "SUCCESS", "x" * 100) for j in range(50)))
        text = b"not a database\n" * 200
        (tmp_path / "text").write_bytes(text)
        os.replace(tmp_path / "text", path)
        try:
            db.reopen_if_replaced()
        except db.DatabaseError as exc:
            assert "not a morvane database" in str(exc)
        assert path.read_bytes() == text
    finally:
        db.use_database(None)


# Fills the disk through the database layer: while the file FULL exists, a
# pass may not make the database larger than it is.
FULL_DISK = """
import contextlib, os, sys
from morvane.core import database
full = sys.argv.pop(1)
scope = database.pass_scope

@contextlib.contextmanager
def pass_scope():
    conn = database._connection()
    pages = conn.execute("PRAGMA page_count").fetchone()[0] if os.path.exists(full) else 2**30
    conn.execute(f"PRAGMA max_page_count = {pages}")
    with scope():
        yield

database.pass_scope = pass_scope

from morvane.cli import main
sys.exit(main())
"""


def test_a_full_disk_fails_each_change_once_and_the_watcher_recovers(tmp_path):
    project, names = make_project(tmp_path)
    db = project / ".morvane" / "morvane.db"
    full = tmp_path / "FULL"
    with watching(project, python=[sys.executable, "-c", FULL_DISK, str(full)]) as watcher:
        full.touch()
        many = "".join(f"\n@pf.cell\ndef big_{i}_{'x' * 200}() -> pf.Component:\n    return pf.Component()\n"
                       for i in range(200))
        put(project, "chip/big.py", "import polyforge as pf\n" + many)
        done = watcher.next_pass()
        assert not done["ok"] and "full" in done["error"]["message"] and done["error"]["retry"], done
        # No change, no retry: nothing runs in a loop of its own.
        assert watcher.quiet(3) == []
        full.unlink()
        save(project, 0)
        done = watcher.next_pass(30)
        assert done["ok"], done
        assert len(stored(db) - names) == 200


HOSTILE = {
    # (file text, what its error cell says)
    "interrupts.py": ("print('hello from import')\nraise KeyboardInterrupt\n", "KeyboardInterrupt"),
    "hard_exit.py": ("import os\nos._exit(0)\n", "os._exit(0)"),
    "exits.py": ("import sys\nsys.exit(0)\n", "SystemExit: 0"),
    "loops.py": ("while True:\n    try:\n        pass\n    except BaseException:\n        pass\n", "import-timeout"),
}
# Files that do something to the process and import fine.
MEDDLING = """
import builtins, os, sys, threading, time
threading.Thread(target=time.sleep, args=(3600,)).start()
os.chdir("/")
sys.stdout = sys.stderr = None
builtins.open = None
builtins.__import__ = None
"""


def hostile_project(root: Path) -> tuple[Path, set[str]]:
    project, names = make_project(root, files=2, extra="import-timeout = 1\n")
    put(project, "chip/always.py", """
        import polyforge as pf

        @pf.cell
        def always() -> pf.Component:
            raise RuntimeError("always fails")
    """)
    for i, (file, (text, _)) in enumerate(HOSTILE.items()):
        put(project, f"chip/{file}", textwrap.dedent(CELLS.format(a=f"h{i}_a", b=f"h{i}_b")) + text)
    put(project, "chip/meddles.py", textwrap.dedent(CELLS.format(a="m_a", b="m_b")) + MEDDLING)
    return project, names | {"always", "m_a", "m_b"}


def run(project: Path, *args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", "morvane", *args, "--project-dir", str(project)],
                          capture_output=True, text=True, env=_env(), timeout=300)


def test_hostile_project_files_are_their_own_error_cells_and_the_commands_go_on(tmp_path):
    project, healthy = hostile_project(tmp_path)
    for args, status in ((["register", "--json"], 0), (["register", "--check", "--json"], 1),
                         (["check", "--json"], 1)):
        done = run(project, *args)
        assert done.returncode == status, (args, done.stderr)
        report = json.loads(done.stdout)  # stdout holds the report alone
        assert "interrupts.py: hello from import" in done.stderr
        errors = {e["name"]: e["message"] for e in report["errors"]}
        for i, (_, expected) in enumerate(HOSTILE.values()):
            assert expected in errors[f"h{i}_a"] and expected in errors[f"h{i}_b"], errors
        assert set(errors) == {f"h{i}_{s}" for i in range(len(HOSTILE)) for s in "ab"}
        assert healthy <= stored(project / ".morvane" / "morvane.db")
        if "check" in report:
            assert [f["name"] for f in report["check"]["failed"]] == ["always"]

    # The watcher goes on through them, and stops on SIGTERM (watching()).
    with watching(project) as watcher:
        put(project, "chip/interrupts.py", textwrap.dedent(CELLS.format(a="h0_a", b="h0_b"))
            + "raise KeyboardInterrupt\n")
        done = watcher.next_pass()
        assert done["ok"] and {e["name"] for e in done["errors"]} == {"h0_a", "h0_b"}, done


SLEEPS = "import time\ntime.sleep(120)\n"
# Blocks the signals of the time limit and of Ctrl-C, then waits: the
# timer cannot stop it.
DEAF = "import signal, time\nsignal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGALRM, signal.SIGINT})\ntime.sleep(120)\n"


def test_a_real_ctrl_c_during_an_import_ends_the_command(tmp_path):
    for text, limit, watchdog in ((SLEEPS, 60, False), (DEAF, 1, True)):
        project, _ = make_project(tmp_path / str(limit), files=1, extra=f"import-timeout = {limit}\n")
        put(project, "chip/slow.py", textwrap.dedent(CELLS.format(a="slow_a", b="slow_b")) + text)
        proc = subprocess.Popen([sys.executable, "-m", "morvane", "register", "--project-dir", str(project)],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=_env())
        lines: queue.Queue[str] = queue.Queue()
        threading.Thread(target=lambda: [lines.put(line) for line in proc.stderr], daemon=True).start()
        try:
            if watchdog:
                # The timer cannot stop it: the watchdog names the file.
                said = ""
                while "cannot be stopped" not in said:
                    said = lines.get(timeout=30)
                assert "chip/slow.py" in said, said
            else:
                time.sleep(5)
            proc.send_signal(signal.SIGINT)
            assert proc.wait(timeout=30) == 130
        finally:
            proc.kill()
            proc.wait()
