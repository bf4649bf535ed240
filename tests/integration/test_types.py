"""The shipped Python code and what a project sees of it type-check strictly."""

from __future__ import annotations

import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

HERE = Path(__file__).parent

USER_CODE = """
    import polyforge as pf
    from morvane.core import pdk

    @pf.cell
    def wg(length: float = 10.0) -> pf.Component:
        return pf.Component()

    @pf.cell()
    def pad() -> pf.Component:
        return pf.Component()

    reveal_type(pdk.get_pdk())
    reveal_type(wg)
    pdk.register_cells(paths=["chip/cells.py"])
    wg(length="long")
"""


def test_mypy_strict_on_the_package_and_a_project_using_it(tmp_path):
    pytest.importorskip("mypy")
    (tmp_path / "user.py").write_text(textwrap.dedent(USER_CODE))
    def mypy(*args: str) -> subprocess.CompletedProcess[str]:
        return subprocess.run(
            [sys.executable, "-m", "mypy", "--config-file", str(HERE / "mypy-strict.ini"), *args],
            capture_output=True, text=True, cwd=tmp_path, timeout=600)  # the installed package

    shipped = mypy("-p", "morvane", "-p", "polyforge")
    assert shipped.returncode == 0, shipped.stdout + shipped.stderr
    user = mypy("user.py")
    problems = [ln for ln in user.stdout.splitlines() if "error:" in ln]
    # The only error is the one the project made: a str where the cell takes a float.
    assert len(problems) == 1 and problems[0].startswith("user.py:16:"), user.stdout
    assert 'Revealed type is "polyforge.Pdk"' in user.stdout
    assert 'Revealed type is "def (length: float =) -> polyforge.Component"' in user.stdout
