"""The command line end to end: real extension modules, real database, one process per command."""

from __future__ import annotations

import contextlib
import json
import re
import os
import shutil
import signal
import subprocess
import sys
import textwrap
import time
from collections.abc import Iterator
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]

WAVEGUIDES = """
    import polyforge as pf

    @pf.cell
    def wg(length: float = 10.0) -> pf.Component:
        c = pf.Component()
        c.add_polygon([(0, 0), (length, 0), (length, 1), (0, 1)])
        return c

    @pf.cell()
    def taper() -> pf.Component:
        return pf.Component("taper")
"""

CIRCUIT = """
    import polyforge as pf
    from chip.cells import waveguides as w

    @pf.cell
    def circuit() -> pf.Component:
        c = pf.Component()
        c.add_ref(w.wg())
        return c

    @pf.cell
    def add_pads(component: pf.Component) -> pf.Component:
        return component
"""

BROKEN = """
    import polyforge as pf

    @pf.cell
    def ring() -> pf.Component:
        return pf.Component("ring")

    raise RuntimeError("ring is not finished")
"""

MODELS = """
    from __future__ import annotations
    from typing import TYPE_CHECKING
    if TYPE_CHECKING:
        import sax

    def wg(*, wl: float = 1.55, length: float = 10.0) -> sax.SDict:
        return {("o1", "o2"): 1.0}
"""


def put(root: Path, rel: str, text: str = "") -> Path:
    path = root / rel
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(textwrap.dedent(text))
    return path


@pytest.fixture
def project(tmp_path) -> Path:
    root = tmp_path / "chip-project"
    put(root, "pyproject.toml", '[project]\nname = "chip"\n\n[tool.morvane]\npdk = "generic"\n')
    put(root, "chip/__init__.py")
    put(root, "chip/cells/__init__.py")
    put(root, "chip/cells/waveguides.py", WAVEGUIDES)
    put(root, "chip/circuit.py", CIRCUIT)
    put(root, "chip/broken.py", BROKEN)
    put(root, "chip/models.py", MODELS)
    return root


def _env() -> dict[str, str]:
    return {k: v for k, v in os.environ.items() if not k.startswith("MORVANE_")}


def morvane(*args: str, cwd: Path | None = None) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", "morvane", *args], capture_output=True, text=True,
                          env=_env(), cwd=cwd, timeout=300)


def register(project: Path, *args: str) -> dict:
    done = morvane("register", "--project-dir", str(project), "--json", *args)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def errors_of(report: dict) -> dict[str, str]:
    return {e["name"]: e["message"] for e in report["errors"]}


def models_of(report: dict) -> dict[str, dict]:
    return {m["name"]: m for m in report["models"]["records"]}


def nothing_changed(report: dict) -> bool:
    return not any(report[kind][change] for kind in ("factories", "models")
                   for change in ("new", "updated", "removed"))


# -- registration passes -----------------------------------------------------------


def test_first_registration_then_nothing_new(project):
    first = register(project)
    assert first["factories"]["new"] == ["add_pads", "circuit", "ring", "taper", "wg"]
    assert errors_of(first) == {"ring": "ring is not finished"}
    models = models_of(first)
    assert models["wg"]["pdk_type"] == "pdk" and models["wg"]["source"] == str(project / "chip/models.py")
    assert models["wg"]["status"] == "SUCCESS"
    assert models["wg"]["settings"] == {"wl": 1.55, "length": 10.0}
    assert {"straight", "bend", "mmi1x2"} <= {n for n, m in models.items() if m["pdk_type"] == "base_pdk"}
    assert (project / ".morvane" / "morvane.db").is_file()

    second = register(project)
    assert nothing_changed(second)
    assert second["factories"]["written"] == []  # flagged factories are not rewritten either
    assert errors_of(second) == {"ring": "ring is not finished"}


def test_a_pass_without_reload_keeps_the_has_model_flags(project):
    def flagged() -> set[str]:
        listed = json.loads(morvane("list", "--project-dir", str(project), "--json").stdout)
        return {f["name"] for f in listed["factories"] if f["has_model"]}

    # circuit is built from wg; wg and taper have models of their own names
    # (the project's wg, the base PDK's taper).
    register(project)
    assert flagged() == {"circuit", "wg", "taper"}
    assert register(project, "--no-reload")["factories"]["written"] == []
    assert flagged() == {"circuit", "wg", "taper"}


def test_human_output_is_a_readable_report(project):
    done = morvane("register", "--project-dir", str(project))
    assert done.returncode == 0, done.stderr
    out = done.stdout
    assert "Error cells (1):" in out and "ring is not finished" in out
    assert "NAME" in out and "SOURCE" in out and "chip/broken.py" in out
    assert "Models (" in out and "of the base PDK" in out and "base_pdk" not in out  # a summary
    assert "Traceback" not in done.stderr
    assert "base_pdk" in morvane("register", "--project-dir", str(project), "--all").stdout
    again = morvane("register", "--project-dir", str(project), cwd=project)
    assert "nothing new" in again.stdout


def test_a_file_that_breaks_and_is_fixed_again(project):
    register(project)
    wg_file = project / "chip/cells/waveguides.py"
    good = wg_file.read_text()

    # A syntax error: its cells become error cells, they do not vanish.
    wg_file.write_text(good + "\ndef oops(:\n")
    broken = register(project)
    assert broken["factories"]["removed"] == []
    errors = errors_of(broken)
    assert {"wg", "taper", "ring"} <= set(errors)
    assert "syntax" in errors["wg"].lower()

    wg_file.write_text(good)
    fixed = register(project)
    assert set(errors_of(fixed)) == {"ring"}
    assert {"wg", "taper"} <= set(fixed["factories"]["updated"])

    # The same round trip through one-file passes.
    wg_file.write_text(good.replace("import polyforge as pf", "import polyforge as pf\nimport no_such_module"))
    one = register(project, str(wg_file))
    assert "no_such_module" in errors_of(one)["wg"]
    wg_file.write_text(good)
    one = register(project, "chip/cells/waveguides.py")
    assert "wg" not in errors_of(one)


def test_a_removed_cell_leaves_the_database(project):
    register(project)
    wg_file = project / "chip/cells/waveguides.py"
    wg_file.write_text(wg_file.read_text().split("@pf.cell()")[0])
    report = register(project)
    assert report["factories"]["removed"] == ["taper"]
    listed = json.loads(morvane("list", "--project-dir", str(project), "--json").stdout)
    assert "taper" not in {f["name"] for f in listed["factories"]}


def test_a_model_added_and_removed(project):
    register(project)
    models = project / "chip/models.py"
    base = models.read_text()
    models.write_text(base + textwrap.dedent("""
        def circuit(*, wl: float = 1.55) -> "sax.SDict":
            return {}

        def _private(*, wl: float = 1.55) -> sax.SDict:
            return {}
        """))
    added = register(project)
    assert added["models"]["new"] == ["circuit"]
    assert models_of(added)["circuit"]["pdk_type"] == "pdk"

    models.write_text(base)
    removed = register(project)
    assert removed["models"]["removed"] == ["circuit"]
    assert "circuit" not in models_of(removed)


def test_the_database_is_read_back_by_another_process(project):
    first = register(project)
    code = textwrap.dedent("""
        import json, os
        from morvane.core import database as db
        print(json.dumps({
            "factories": {n: [r.source, r.status, r.message] for n, r in db.get_all_factories().items()},
            "models": sorted(db.get_all_models()),
        }))
        """)
    env = {**_env(), "MORVANE_PROJECT_DIR": str(project)}
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=120)
    assert done.returncode == 0, done.stderr
    stored = json.loads(done.stdout)
    assert sorted(stored["factories"]) == first["factories"]["new"]
    assert stored["factories"]["ring"] == ["chip/broken.py", "ERROR", "ring is not finished"]
    assert stored["models"] == sorted(models_of(first))

    listed = morvane("list", cwd=project / "chip" / "cells")  # found from the working directory
    assert listed.returncode == 0, listed.stderr
    assert "ring" in listed.stdout and "ERROR" in listed.stdout


# -- failures ---------------------------------------------------------------------------


def _one_line_failure(done: subprocess.CompletedProcess[str], *needles: str) -> None:
    assert done.returncode == 3
    assert "Traceback" not in done.stderr
    lines = [ln for ln in done.stderr.splitlines() if ln.strip()]
    # At most a progress line before it, then the error on one line.
    assert lines and lines[-1].startswith("morvane: error: "), done.stderr
    assert sum("error" in ln for ln in lines) == 1, done.stderr
    for needle in needles:
        assert needle in lines[-1]


def test_a_malformed_pyproject(project):
    (project / "pyproject.toml").write_text('[tool.morvane\npdk = "generic"\n')
    _one_line_failure(morvane("register", "--project-dir", str(project)), "pyproject.toml")
    (project / "pyproject.toml").write_text('[tool.morvane]\nis-a-pdk = "yes"\n')
    _one_line_failure(morvane("register", "--project-dir", str(project)), "is-a-pdk")


def test_a_corrupt_database_file_is_reported_and_left_alone(project):
    db_file = project / ".morvane" / "morvane.db"
    db_file.parent.mkdir()
    garbage = b"this is not a database" * 100
    db_file.write_bytes(garbage)
    for command in ("register", "list"):
        _one_line_failure(morvane(command, "--project-dir", str(project)), str(db_file))
    assert db_file.read_bytes() == garbage


def test_bad_project_directory_and_paths(project, tmp_path):
    _one_line_failure(morvane("register", "--project-dir", str(tmp_path / "nowhere")), "does not exist")
    _one_line_failure(morvane("list", cwd=tmp_path), "no morvane project")
    done = morvane("register", "--project-dir", str(project), "chip/nope.py")
    assert done.returncode == 2 and "no such file" in done.stderr and "Traceback" not in done.stderr


def test_a_pdk_package_of_the_project_and_one_that_is_missing(project):
    put(project, "fabpdk/__init__.py", """
        import polyforge as pf
        from fabpdk.models import coupler

        @pf.cell
        def coupler_cell() -> pf.Component:
            return pf.Component("coupler")

        PDK = pf.Pdk("fabpdk", cells={"coupler_cell": coupler_cell}, models={"coupler": coupler})
        """)
    put(project, "fabpdk/models.py", """
        def coupler(*, wl: float = 1.55, gap: float = 0.2) -> "sax.SDict":
            return {}
        """)
    pyproject = project / "pyproject.toml"
    pyproject.write_text(pyproject.read_text().replace('pdk = "generic"', 'pdk = "fabpdk"'))
    report = register(project)
    coupler = models_of(report)["coupler"]
    assert coupler["source"] == str(project / "fabpdk/models.py") and coupler["status"] == "SUCCESS"
    assert coupler["pdk_type"] == "base_pdk"  # not under the project package
    assert coupler["settings"] == {"wl": 1.55, "gap": 0.2}
    assert "straight" not in models_of(report)  # the generic technology is not in use

    pyproject.write_text(pyproject.read_text().replace('pdk = "fabpdk"', 'pdk = "no_such_pdk"'))
    _one_line_failure(morvane("register", "--project-dir", str(project)), "no_such_pdk")


# -- the watcher -------------------------------------------------------------------------


@contextlib.contextmanager
def _watching(project: Path, *options: str, stderr: int) -> Iterator[subprocess.Popen[str]]:
    """A `morvane watch` process on ``project``, killed if the test leaves it running."""
    proc = subprocess.Popen([sys.executable, "-m", "morvane", "watch", *options, "--project-dir", str(project)],
                            stdout=subprocess.PIPE, stderr=stderr, text=True, env=_env())
    try:
        yield proc
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


def test_watch_re_registers_changed_files_until_interrupted(project):
    register(project)
    lines: list[str] = []

    def wait_for(needle: str, timeout: float = 120.0) -> None:
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            line = proc.stdout.readline()
            if not line:
                break
            lines.append(line)
            if needle in line:
                return
        pytest.fail(f"no {needle!r} in the watcher's output:\n{''.join(lines)}")

    with _watching(project, "--interval", "0.1", stderr=subprocess.STDOUT) as proc:
        wait_for("Watching")
        time.sleep(0.3)  # a new modification time, even on coarse clocks
        broken = project / "chip/broken.py"
        fixed = broken.read_text().replace('raise RuntimeError("ring is not finished")', "")
        broken.write_text(fixed)
        wait_for("chip/broken.py")
        # Broken again in another way: `show` prints the watcher's error.
        time.sleep(0.3)
        broken.write_text(fixed + '\nraise ValueError("half done")\n')
        wait_for("chip/broken.py")
        wait_for("ERROR ring")
        shown = morvane("show", "ring", "--project-dir", str(project)).stdout
        assert "ValueError: half done" in shown and "broken.py" in shown
        broken.write_text(fixed)
        wait_for("chip/broken.py")
        proc.send_signal(signal.SIGINT)
        rest, _ = proc.communicate(timeout=60)
    assert proc.returncode == 0, "".join(lines) + rest
    assert "stopped" in rest
    assert "Traceback" not in "".join(lines) + rest
    listed = json.loads(morvane("list", "--project-dir", str(project), "--json").stdout)
    assert {f["name"]: f["status"] for f in listed["factories"]}["ring"] != "ERROR"


def test_watch_json_prints_one_line_per_pass(project):
    with _watching(project, "--json", "--poll", "--interval", "0.1", stderr=subprocess.PIPE) as proc:
        first = json.loads(proc.stdout.readline())
        time.sleep(0.3)  # a new modification time, even on coarse clocks
        broken = project / "chip/broken.py"
        broken.write_text(broken.read_text().replace('raise RuntimeError("ring is not finished")', ""))
        second = json.loads(proc.stdout.readline())
        proc.send_signal(signal.SIGINT)
        rest, err = proc.communicate(timeout=60)
    assert proc.returncode == 0 and rest == "", rest + err
    assert "Watching" in err and "stopped" in err and "Traceback" not in err
    for report in (first, second):
        check_schema(report)
        assert report["command"] == "watch" and report["ok"]
    assert first["pass"] == 1 and first["scope"]["all"]
    assert {"wg", "taper", "circuit", "ring"} <= set(first["factories"]["new"])
    ring = errors_of(first)["ring"]
    assert "ring is not finished" in ring and first["errors"][0]["error"]["line"] == 8
    assert second["pass"] == 2 and second["scope"]["paths"] == [str(broken.resolve())]
    assert second["factories"]["updated"] == ["ring"] and second["factories"]["new"] == []
    assert second["errors"] == [] and models_of(second)["wg"]["status"] == "SUCCESS"


# -- the demo project ----------------------------------------------------------------------


def test_the_demo_project(tmp_path):
    demo = tmp_path / "demo"
    shutil.copytree(REPO / "examples" / "demo", demo, ignore=shutil.ignore_patterns(".morvane", "__pycache__"))
    first = register(demo)
    assert {"wg_straight", "splitter", "mzi", "mzi_with_pads", "add_pads"} <= set(first["factories"]["new"])
    assert set(errors_of(first)) == {"ring"}
    assert {n for n, m in models_of(first).items() if m["pdk_type"] == "pdk"} == {"wg_straight", "wg_bend", "splitter"}
    assert nothing_changed(register(demo))


# -- conventions, exit statuses and the JSON schema -------------------------------------

FACTORY_KEYS = {"name", "source", "status", "message", "has_model"}
MODEL_KEYS = {"name", "source", "pdk_type", "status", "message", "settings"}


def check_schema(report: dict) -> None:
    """The documented form of every --json object."""
    assert report["schema_version"] == 1
    assert set(report["project"]) == {"name", "dir", "pdk", "is_a_pdk", "database"}
    factories = report.get("errors", []) + (report["factories"] if report["command"] == "list" else [])
    if report["command"] == "show":
        factories = [report["factory"]] if report["factory"] else []
    models = report["models"] if report["command"] == "list" else report.get("models", {}).get("records", [])
    if report["command"] == "show":
        models = [report["model"]] if report["model"] else []
    for f in factories:
        assert set(f) - {"error"} == FACTORY_KEYS and f["status"] in ("SUCCESS", "ERROR")
        assert Path(f["source"]).is_absolute()
        if f["status"] == "ERROR" and f.get("error"):
            assert set(f["error"]) == {"type", "message", "file", "line", "traceback"}
    for m in models:
        assert set(m) == MODEL_KEYS and m["status"] in ("SUCCESS", "ERROR")
        assert m["source"] is None or (Path(m["source"]).is_absolute() and ".." not in Path(m["source"]).parts)
        assert isinstance(m["settings"], dict)
    if report["command"] in ("register", "check"):
        assert set(report["scope"]) == {"all", "paths", "importers"}
        assert {"new", "updated", "removed", "written", "deleted", "total"} == set(report["factories"])
    if report["command"] == "watch":
        assert set(report["scope"]) == {"all", "paths", "deleted", "importers", "pdk_changed"}
        assert isinstance(report["pass"], int) and isinstance(report["duration_s"], float)
        if report["ok"]:
            assert {"new", "updated", "removed", "written", "deleted"} == set(report["factories"])
        else:
            assert set(report["error"]) == {"type", "message", "retry"}


def test_command_line_conventions(project, tmp_path):
    version = morvane("--version")
    assert version.returncode == 0 and version.stdout.startswith("morvane ")
    helped = morvane("--help")
    assert "exit status" in helped.stdout and "MORVANE_PROJECT_DIR" in helped.stdout

    # -q and -v before or after the command.
    assert morvane("-q", "register", "--project-dir", str(project)).returncode == 0
    assert morvane("register", "-v", "--project-dir", str(project)).returncode == 0

    # Usage errors: status 2 with the command's own usage, before anything runs.
    bad = morvane("register", "--project-dir", str(project), "--bogus")
    assert bad.returncode == 2 and bad.stderr.startswith("usage: morvane register")
    for interval in ("nan", "inf", "1e308", "0"):
        done = morvane("watch", "--project-dir", str(project), "--interval", interval)
        assert done.returncode == 2 and "--interval" in done.stderr, interval
    outside = morvane("register", "--project-dir", str(project), str(tmp_path / "elsewhere.py"))
    assert outside.returncode == 2 and "outside the project" in outside.stderr

    # Not a project: refused, nothing written into it.
    plain = tmp_path / "plain"
    put(plain, "pyproject.toml", '[project]\nname = "plain"\n')
    for command in ("register", "list"):
        done = morvane(command, "--project-dir", str(plain))
        assert done.returncode == 3 and "morvane init" in done.stderr
    assert sorted(p.name for p in plain.iterdir()) == ["pyproject.toml"]

    # Read-only commands on a project never registered create nothing.
    fresh = tmp_path / "fresh"
    assert morvane("init", str(fresh)).returncode == 0
    before = sorted(fresh.rglob("*"))
    assert morvane("list", "--project-dir", str(fresh)).returncode == 0
    assert morvane("show", "straight", "--project-dir", str(fresh)).returncode == 2
    assert sorted(fresh.rglob("*")) == before
    assert morvane("init", str(fresh)).returncode == 3  # already a project


def test_bad_values_are_usage_errors_told_on_one_readable_line(project, tmp_path):
    def one_line_error(done: subprocess.CompletedProcess[str], status: int, *needles: str) -> str:
        assert done.returncode == status and "Traceback" not in done.stderr, done.stderr[:2000]
        assert max(map(len, done.stderr.splitlines())) < 1000, "a line of the output is too long to read"
        last = done.stderr.splitlines()[-1]
        for needle in needles:
            assert needle in last, last
        return last

    # A limit the build timer cannot take is bad usage, refused before any pass.
    for command in ("check", "register"):
        for value in ("1e300", "86401", "-1", "9" * 100_000):
            done = morvane(command, "--project-dir", str(project), "--timeout", value)
            one_line_error(done, 2, "--timeout", value[:20])
    assert not (project / ".morvane").exists()

    # A keyword cannot be imported: no project is written around it.
    for args in (["--name", "class"], ["--name", "None"], ["--name", "polyforge"], []):
        target = tmp_path / ("class" if not args else "named")
        one_line_error(morvane("init", str(target), *args), 2, "module name", "--name")
        assert not target.exists() or not any(target.iterdir())

    # A long value is cut in its middle: what it starts and ends with stays.
    long_name = "a" * 50_000 + "z"
    last = one_line_error(morvane("show", long_name, "--project-dir", str(project)), 2, "no cell or model named",
                          "'aaaaaaaa", "az'", "morvane list")
    assert "…" in last
    one_line_error(morvane("show", long_name, "--svg", str(tmp_path / "x.svg"), "--project-dir", str(project)),
                   1, "no cell named", "az'")
    pyproject = project / "pyproject.toml"
    pyproject.write_text(pyproject.read_text().replace('"generic"', '"' + "p" * 100_000 + '"'))
    one_line_error(morvane("register", "--project-dir", str(project)), 3, "PDK package 'ppp", "cannot be imported")


def test_a_pdk_package_that_cannot_serve(project):
    pyproject = project / "pyproject.toml"
    pyproject.write_text(pyproject.read_text().replace('pdk = "generic"', 'pdk = "fabpdk"'))
    for body, needle in (("X = 1\n", "has no attribute PDK"),
                         ('PDK = "x"\n', "must be a polyforge.Pdk, got str"),
                         ("import sys\nsys.exit(0)\n", "sys.exit(0)"),
                         ("raise SystemExit(3)\n", "sys.exit(3)")):
        put(project, "fabpdk/__init__.py", body)
        done = morvane("register", "--project-dir", str(project))
        _one_line_failure(done, needle)


def test_building_cells_and_the_errors_behind_error_cells(project):
    put(project, "chip/more.py", """
        import polyforge as pf

        @pf.cell
        def two_points() -> pf.Component:
            c = pf.Component()
            c.add_polygon([(0, 0), (1, 1)])
            return c

        @pf.cell
        def nothing() -> pf.Component:
            return None
        """)
    broken = project / "chip/broken.py"
    broken.write_text(broken.read_text().replace('"ring is not finished"', '"\\x1b[2J\\x1b]0;owned\\x07 ring"'))

    plain = morvane("register", "--project-dir", str(project))
    assert plain.returncode == 0  # error cells alone fail only with --check
    report = json.loads(morvane("register", "--project-dir", str(project), "--check", "--json").stdout)
    check_schema(report)
    assert {f["name"] for f in report["check"]["failed"]} == {"two_points", "nothing"}
    assert report["check"]["errors"] == ["ring"] and "add_pads" in report["check"]["skipped"]
    error = report["errors"][0]["error"]
    assert error["type"] == "RuntimeError" and error["line"] == 8
    assert error["file"] == str(broken) and 'raise RuntimeError' in error["traceback"]
    assert "importlib" not in error["traceback"]

    checked = morvane("check", "--project-dir", str(project))
    assert checked.returncode == 1 and "2 failed" in checked.stdout
    shown = morvane("show", "ring", "--project-dir", str(project))
    assert shown.returncode == 0 and "chip/broken.py:8" in shown.stdout and "Traceback" in shown.stdout
    check_schema(json.loads(morvane("show", "wg", "--project-dir", str(project), "--json").stdout))
    listed = morvane("list", "--project-dir", str(project), "--all")
    for done in (plain, checked, shown, listed):
        # Stored text reaches the terminal with its control characters escaped.
        assert "\x1b" not in done.stdout + done.stderr and "\\x1b[2J" in done.stdout
        assert "warning" not in done.stderr  # each error once, in the report

    (project / "chip/more.py").unlink()
    broken.unlink()
    assert morvane("check", "--project-dir", str(project)).returncode == 0


def test_a_pass_over_one_file_takes_its_importers_and_deleted_files(project):
    register(project)
    wg_file = project / "chip/cells/waveguides.py"
    one = register(project, str(wg_file))
    check_schema(one)
    assert one["scope"] == {"all": False, "paths": [str(wg_file)], "importers": [str(project / "chip/circuit.py")]}

    circuit = project / "chip/circuit.py"
    circuit.unlink()
    gone = register(project, "chip/circuit.py")
    assert sorted(gone["factories"]["removed"]) == ["add_pads", "circuit"]
    listed = json.loads(morvane("list", "--project-dir", str(project), "--json").stdout)
    check_schema(listed)
    assert not {"add_pads", "circuit"} & {f["name"] for f in listed["factories"]}
    again = morvane("register", "--project-dir", str(project), "chip/circuit.py")
    assert again.returncode == 2 and "no such file" in again.stderr


def _on_a_terminal(args: list[str], columns: int, **env: str) -> str:
    """The output of the command line run on a pseudo-terminal ``columns`` wide."""
    import fcntl
    import pty
    import struct
    import termios

    leader, follower = pty.openpty()
    fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", 40, columns, 0, 0))
    environ = {**_env(), "TERM": "xterm-256color", **env}
    environ.pop("COLUMNS", None)
    proc = subprocess.Popen([sys.executable, "-m", "morvane", *args], stdin=follower, stdout=follower,
                            stderr=follower, env=environ, close_fds=True)
    os.close(follower)
    chunks = []
    while True:
        try:
            data = os.read(leader, 65536)
        except OSError:
            break
        if not data:
            break
        chunks.append(data)
    proc.wait(timeout=300)
    os.close(leader)
    return b"".join(chunks).decode("utf-8", "replace")


def test_output_on_a_terminal_and_off_it(project):
    for i in range(30):
        put(project, f"chip/many/cell_{i}.py", f"""
            import polyforge as pf

            @pf.cell
            def cell_with_a_rather_long_name_number_{i}() -> pf.Component:
                return pf.Component()
            """)
    put(project, "chip/many/__init__.py")
    on_tty = _on_a_terminal(["register", "--project-dir", str(project)], 50)
    assert "\x1b[" in on_tty and "importing" in on_tty  # colour and a progress bar
    visible = re.sub(r"\x1b\[[0-9;?]*[A-Za-z]|\x1b\][^\x07]*\x07", "", on_tty)
    lines = [ln for ln in visible.replace("\r\n", "\n").split("\n") if ln.strip()]
    assert "Error cells (1):" in visible and max(len(ln.split("\r")[-1]) for ln in lines) <= 50
    assert "cell_with_a_rather_long_name_number_29" not in visible  # a summary, not every name
    plain = _on_a_terminal(["list", "--project-dir", str(project)], 80, NO_COLOR="1")
    assert not re.search(r"\x1b\[[0-9;]*m", plain)
    off = morvane("list", "--project-dir", str(project), "--all")
    assert "\x1b" not in off.stdout + off.stderr
    assert "cell_with_a_rather_long_name_number_29" in off.stdout
