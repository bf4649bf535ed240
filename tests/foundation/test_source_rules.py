"""Algorithm code manages no reference counts by hand: only the host layer does."""

from __future__ import annotations

import re
from pathlib import Path

CORE = Path(__file__).resolve().parents[2] / "src" / "morvane" / "core"
MANUAL = re.compile(r"\bPy_X?(INCREF|DECREF|CLEAR|SETREF|XSETREF)\b|\bPy_X?NewRef\b")


def test_no_manual_reference_counting_outside_the_host_layer():
    sources = [p for d in ("pdk", "models") for p in sorted((CORE / d).glob("*.[ch]pp"))]
    assert sources
    offending = [
        f"{path.relative_to(CORE)}:{number}: {line.strip()}"
        for path in sources
        for number, line in enumerate(path.read_text().splitlines(), 1)
        if MANUAL.search(line.split("//", 1)[0])
    ]
    assert not offending, "\n".join(offending)
