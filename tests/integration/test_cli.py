"""The command line end to end: real extension modules, real database, one process per command."""

from __future__ import annotations

import json
import os
import shutil
import signal
import subprocess
import sys
import textwrap
import time
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

    register(project)
    assert flagged() == {"circuit"}  # built only from wg, which has a model
    assert register(project, "--no-reload")["factories"]["written"] == []
    assert flagged() == {"circuit"}


def test_human_output_is_a_readable_report(project):
    done = morvane("register", "--project-dir", str(project))
    assert done.returncode == 0, done.stderr
    out = done.stdout
    assert "Error cells (1):" in out and "ring is not finished" in out
    assert "NAME" in out and "SOURCE" in out and "chip/broken.py" in out
    assert "Models (" in out and "base_pdk" in out
    assert "Traceback" not in done.stderr
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


def test_watch_re_registers_changed_files_until_interrupted(project):
    register(project)
    proc = subprocess.Popen([sys.executable, "-m", "morvane", "watch", "--project-dir", str(project),
                             "--interval", "0.1"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True, env=_env())
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

    try:
        wait_for("Watching")
        time.sleep(0.3)  # a new modification time, even on coarse clocks
        broken = project / "chip/broken.py"
        broken.write_text(broken.read_text().replace('raise RuntimeError("ring is not finished")', ""))
        wait_for("chip/broken.py")
        proc.send_signal(signal.SIGINT)
        rest, _ = proc.communicate(timeout=60)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    assert proc.returncode == 0, "".join(lines) + rest
    assert "stopped" in rest
    assert "Traceback" not in "".join(lines) + rest
    listed = json.loads(morvane("list", "--project-dir", str(project), "--json").stdout)
    assert {f["name"]: f["status"] for f in listed["factories"]}["ring"] != "ERROR"


# -- the demo project ----------------------------------------------------------------------


def test_the_demo_project(tmp_path):
    demo = tmp_path / "demo"
    shutil.copytree(REPO / "examples" / "demo", demo, ignore=shutil.ignore_patterns(".morvane", "__pycache__"))
    first = register(demo)
    assert {"wg_straight", "splitter", "mzi", "mzi_with_pads", "add_pads"} <= set(first["factories"]["new"])
    assert set(errors_of(first)) == {"ring"}
    assert {n for n, m in models_of(first).items() if m["pdk_type"] == "pdk"} == {"wg_straight", "wg_bend", "splitter"}
    assert nothing_changed(register(demo))
