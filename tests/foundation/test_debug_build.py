"""A module built for the debug interpreter cannot silently lose Py_DEBUG."""

from __future__ import annotations

import shutil
import subprocess
from pathlib import Path

import pytest

HOST_DIR = Path(__file__).resolve().parents[2] / "src" / "morvane" / "core"
DEBUG_HEADERS = Path("/usr/include/python3.14d")


def compile_host_header(include_flag: str, tmp_path: Path) -> subprocess.CompletedProcess:
    source = tmp_path / "probe.cpp"
    source.write_text('#include "host/ref.hpp"\nint main() { return 0; }\n')
    return subprocess.run(
        ["g++", "-std=c++20", "-fsyntax-only", include_flag, str(DEBUG_HEADERS), f"-I{HOST_DIR}",
         "-DMORVANE_EXPECT_PY_DEBUG=1", str(source)],  # fmt: skip
        capture_output=True,
        text=True,
        timeout=120,
    )


@pytest.mark.skipif(shutil.which("g++") is None or not DEBUG_HEADERS.is_dir(), reason="needs g++ and the debug headers")
def test_debug_headers_through_isystem_are_refused(tmp_path):
    # Debian's debug headers are links to the release ones: through -isystem GCC
    # resolves them and drops Py_DEBUG, which the host header must catch.
    refused = compile_host_header("-isystem", tmp_path)
    assert refused.returncode != 0
    assert "without Py_DEBUG" in refused.stderr
    assert compile_host_header("-I", tmp_path).returncode == 0, "the -I build must still compile"
