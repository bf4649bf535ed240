"""GDSII from the command line: `show NAME --gds FILE` and `export [NAMES...] --gds DIR`."""

from __future__ import annotations

import http.client
import os
import re
import signal
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from . import stream

CELLS = """
    import polyforge as pf

    @pf.cell
    def wg(length: float = 10.0) -> pf.Component:
        c = pf.Component()
        c.add_polygon([(0, 0), (length, 0), (length, 0.5), (0, 0.5)])
        c.add_port("o1", (0, 0.25), 0.5, 180)
        return c

    @pf.cell
    def circuit() -> pf.Component:
        c = pf.Component()
        c.add_ref(wg(), origin=(0, 5), rotation=90)
        c.add_ref(wg(), origin=(20, 0), mirror=True)
        return c

    @pf.cell
    def sized(length: float) -> pf.Component:
        return wg(length)

    @pf.cell
    def raises() -> pf.Component:
        raise ValueError("not today")

    @pf.cell
    def too_far() -> pf.Component:
        c = pf.Component()
        c.add_polygon([(0, 0), (5e6, 0), (0, 1)])
        return c
"""

BROKEN = """
    import polyforge as pf

    @pf.cell
    def ring() -> pf.Component:
        return pf.Component("ring")

    raise RuntimeError("ring is not finished")
"""


def put(root: Path, rel: str, text: str = "") -> None:
    path = root / rel
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(textwrap.dedent(text))


@pytest.fixture(scope="module")
def project(tmp_path_factory) -> Path:
    root = tmp_path_factory.mktemp("gds") / "chip-project"
    put(root, "pyproject.toml", '[project]\nname = "chip"\n\n[tool.morvane]\npdk = "generic"\n')
    put(root, "chip/__init__.py")
    put(root, "chip/cells.py", CELLS)
    put(root, "chip/broken.py", BROKEN)
    return root


def morvane(project: Path, *args: str) -> subprocess.CompletedProcess[str]:
    env = {k: v for k, v in os.environ.items() if not k.startswith("MORVANE_")}
    env["COLUMNS"] = "300"
    return subprocess.run([sys.executable, "-m", "morvane", *args, "--project-dir", str(project)],
                          capture_output=True, text=True, env=env, timeout=300)


def test_show_writes_a_cell_and_what_it_places_or_says_why_not(project, tmp_path):
    target = tmp_path / "circuit.gds"
    done = morvane(project, "show", "circuit", "--gds", str(target), "--svg", str(tmp_path / "circuit.svg"))
    assert done.returncode == 0, done.stderr
    lib = stream.library(target.read_bytes())
    assert lib.order == ["wg", "circuit"]
    assert [(s[0], s[1], s[2]) for s in lib.structures["circuit"].srefs] == [("wg", 0, 90.0), ("wg", 0x8000, 0.0)]
    assert lib.structures["wg"].texts == [((1, 10), "o1", (0, 250))]  # the generic PDK's pin layer
    assert (tmp_path / "circuit.svg").exists()

    for name, message in (("too_far", "cell too_far cannot be written as GDSII: cell 'too_far', polygon 0 "),
                          ("raises", "cell raises failed to build: ValueError: not today")):
        done = morvane(project, "show", name, "--gds", str(tmp_path / "bad.gds"))
        assert done.returncode == 1
        assert message in done.stderr.splitlines()[-1], done.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ["circuit.gds", "circuit.svg"]


def test_export_writes_every_cell_that_builds_and_reports_the_rest(project, tmp_path):
    out = tmp_path / "all"
    done = morvane(project, "export", "--gds", str(out))
    assert done.returncode == 1, done.stderr
    assert sorted(p.name for p in out.iterdir()) == ["circuit.gds", "wg.gds"]
    assert stream.library((out / "circuit.gds").read_bytes()).order == ["wg", "circuit"]
    text = done.stdout
    assert f"Wrote 2 GDSII files to {out}: 2 failed, 1 skipped (they need arguments); 1 error cell" in text
    failed = {line.split()[0]: line for line in text.splitlines() if line.startswith("  raises")
              or line.startswith("  too_far")}
    assert "ValueError: not today" in failed["raises"]
    assert "cannot be written as GDSII" in failed["too_far"]
    assert "ring" in text and "RuntimeError: ring is not finished" in text  # the error cell, as check shows it

    # Named cells only: the project's and the PDK's own; clean when they all write.
    named = tmp_path / "named"
    done = morvane(project, "export", "wg", "straight", "--gds", str(named))
    assert done.returncode == 0, done.stdout + done.stderr
    assert sorted(p.name for p in named.iterdir()) == ["straight.gds", "wg.gds"]
    assert "Wrote 2 GDSII files" in done.stdout

    done = morvane(project, "export", "wg", "nope", "--gds", str(tmp_path / "none"))
    assert done.returncode == 2 and "no cell named 'nope'" in done.stderr
    assert not (tmp_path / "none").exists()


def test_the_live_page_offers_each_drawn_cell_as_gdsii(project):
    env = {k: v for k, v in os.environ.items() if not k.startswith("MORVANE_")}
    server = subprocess.Popen([sys.executable, "-m", "morvane", "serve", "--project-dir", str(project), "--port", "0",
                               "--build-timeout", "20"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              text=True, env=env)
    try:
        port = 0
        for line in server.stdout:
            if line.startswith("Serving http://127.0.0.1:"):
                port = int(line.split("127.0.0.1:")[1].split("/")[0])
                break
        assert port, "the server did not start"

        def get(path: str, token: str | None) -> tuple[int, dict[str, str], bytes]:
            conn = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
            try:
                conn.request("GET", path, headers={} if token is None else {"X-Morvane-Token": token})
                response = conn.getresponse()
                return response.status, dict(response.getheaders()), response.read()
            finally:
                conn.close()

        page = get("/", None)[2].decode()
        token = re.search(r'<meta name="morvane-token" content="([^"]+)">', page).group(1)
        assert 'id="download-gds"' in page

        status, headers, body = get("/api/gds/circuit", token)
        assert status == 200 and headers["Content-Type"] == "application/octet-stream"
        assert headers["Content-Disposition"] == 'attachment; filename="circuit.gds"'
        lib = stream.library(body)
        assert lib.order == ["wg", "circuit"] and len(lib.structures["circuit"].srefs) == 2

        # The page's guard holds here as for the drawings; bad cells say why.
        assert get("/api/gds/circuit", None)[0] == 403
        assert get(f"/api/gds/circuit?token={token}", None)[0] == 200  # as the page's link sends it
        for name, status, text in (("nope", 404, "no cell named 'nope'"),
                                   ("raises", 500, "raises cannot be built: ValueError: not today"),
                                   ("too_far", 422, "too_far cannot be written as GDSII: cell 'too_far', polygon 0")):
            got = get(f"/api/gds/{name}", token)
            assert got[0] == status and text in got[2].decode(), got
    finally:
        server.send_signal(signal.SIGINT)
        try:
            server.wait(20)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait()
