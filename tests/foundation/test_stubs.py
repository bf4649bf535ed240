"""The type stubs agree with the built modules and are installed beside them."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import pytest

import morvane
import morvane.core.models
import morvane.core.pdk

HERE = Path(__file__).parent


def test_stubs_and_marker_are_installed():
    for module in (morvane.core.pdk, morvane.core.models):
        binary = Path(module.__file__)
        stub = binary.parent / (module.__name__.rsplit(".", 1)[1] + ".pyi")
        assert stub.is_file(), stub
    assert (Path(morvane.__file__).parent / "py.typed").is_file()


def test_stubtest_finds_no_difference(tmp_path):
    pytest.importorskip("mypy.stubtest")
    proc = subprocess.run(
        [
            sys.executable, "-m", "mypy.stubtest",
            "--mypy-config-file", str(HERE / "stubtest-mypy.ini"),
            "morvane.core.pdk", "morvane.core.models",
        ],  # fmt: skip
        capture_output=True,
        text=True,
        cwd=tmp_path,  # the installed package, not a source tree
        timeout=300,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert "Success" in proc.stdout
