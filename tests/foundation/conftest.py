"""Shared helpers for the tests of the native host layer and the two module frames."""

from __future__ import annotations

import inspect
import json
import os
import subprocess
import sys
import textwrap
from dataclasses import dataclass
from pathlib import Path

import pytest

import morvane.core.models as models_module
import morvane.core.pdk as pdk_module

from .texts import MODELS_FUNCTIONS, PDK_FUNCTIONS


@pytest.fixture(scope="session")
def pdk():
    return pdk_module


@pytest.fixture(scope="session")
def models():
    return models_module


def plain(obj):
    """The function object behind a cache wrapper (or the object itself)."""
    return getattr(obj, "__wrapped__", obj)


def native_function(qualname: str):
    """The function object of either module named by its qualified name."""
    if qualname.startswith("FrozenPdk."):
        return vars(pdk_module.FrozenPdk)[qualname.split(".", 1)[1]]
    module = pdk_module if qualname in PDK_FUNCTIONS else models_module
    return plain(getattr(module, qualname))


ALL_FUNCTIONS = sorted({**PDK_FUNCTIONS, **MODELS_FUNCTIONS})


# ---- signature lines ------------------------------------------------------------


@dataclass
class LineParam:
    name: str
    kind: inspect._ParameterKind
    prefix: str | None
    annotation: str | None
    default: str | None


def _split_top_level(text: str) -> list[str]:
    parts, depth, current = [], 0, ""
    for ch in text:
        if ch in "[(":
            depth += 1
        elif ch in "])":
            depth -= 1
        if ch == "," and depth == 0:
            parts.append(current.strip())
            current = ""
        else:
            current += ch
    if current.strip():
        parts.append(current.strip())
    return parts


def parse_signature_line(line: str) -> tuple[str, list[LineParam], str | None]:
    """Splits "name(params) -> returns" into its qualified name, parameters and return annotation."""
    open_at = line.index("(")
    depth = 0
    for close_at in range(open_at, len(line)):
        depth += {"(": 1, ")": -1}.get(line[close_at], 0)
        if depth == 0:
            break
    qualname, inside, rest = line[:open_at], line[open_at + 1 : close_at], line[close_at + 1 :]
    returns = rest.removeprefix(" -> ") if rest else None
    tokens = _split_top_level(inside)
    params: list[LineParam] = []
    kind = inspect.Parameter.POSITIONAL_OR_KEYWORD
    if "/" in tokens:
        kind = inspect.Parameter.POSITIONAL_ONLY
    for token in tokens:
        if token == "/":
            kind = inspect.Parameter.POSITIONAL_OR_KEYWORD
            continue
        if token == "*":
            kind = inspect.Parameter.KEYWORD_ONLY
            continue
        head, _, default = token.partition(" = ")
        head, _, annotation = head.partition(": ")
        prefix, _, name = head.rpartition(" ")
        this_kind = kind
        if name.startswith("**"):
            name, this_kind = name[2:], inspect.Parameter.VAR_KEYWORD
        elif name.startswith("*"):
            name, this_kind = name[1:], inspect.Parameter.VAR_POSITIONAL
            kind = inspect.Parameter.KEYWORD_ONLY
        params.append(LineParam(name, this_kind, prefix or None, annotation or None, default or None))
    return qualname, params, returns


def reference_def(line: str, *, annotated: bool = False):
    """A Python function with the parameters (names, kinds, defaults) of a signature line;
    with ``annotated``, also its annotations, as strings."""
    qualname, params, returns = parse_signature_line(line)
    pieces, seen_star = [], False
    kinds = [p.kind for p in params]
    for i, p in enumerate(params):
        if p.kind == inspect.Parameter.KEYWORD_ONLY and not seen_star:
            pieces.append("*")
            seen_star = True
        ann = f": {p.annotation!r}" if annotated and p.annotation else ""
        if p.kind == inspect.Parameter.VAR_POSITIONAL:
            seen_star = True
            pieces.append("*" + p.name + ann)
        elif p.kind == inspect.Parameter.VAR_KEYWORD:
            pieces.append("**" + p.name + ann)
        else:
            pieces.append(p.name + ann + (f" = {p.default}" if p.default else ""))
        last_positional_only = p.kind == inspect.Parameter.POSITIONAL_ONLY and (
            i + 1 == len(params) or kinds[i + 1] != inspect.Parameter.POSITIONAL_ONLY
        )
        if last_positional_only:
            pieces.append("/")
    name = qualname.rsplit(".", 1)[-1]
    namespace: dict = {}
    ret = f" -> {returns!r}" if annotated and returns else ""
    source = f"def {name}({', '.join(pieces)}){ret}:\n    return 'bound'\n"
    # Compiled without this file's future import: annotations stay the literals.
    exec(compile(source, "<reference>", "exec", dont_inherit=True), namespace)
    func = namespace[name]
    func.__qualname__ = qualname
    return func


# ---- fresh interpreters ------------------------------------------------------------


def run_fresh(*parts: str, cwd: Path | None = None, env: dict | None = None, check: bool = True):
    """Runs the code parts (each dedented on its own) in a new interpreter;
    returns what it printed last, read as JSON (with check=False: the process)."""
    code = "\n".join(textwrap.dedent(part) for part in parts)
    full_env = dict(os.environ)
    full_env.pop("PYTHONPATH", None)
    full_env.update(env or {})
    proc = subprocess.run(
        [sys.executable, "-X", "faulthandler", "-c", code],
        capture_output=True,
        text=True,
        cwd=cwd,
        env=full_env,
        timeout=120,
    )
    if not check:
        return proc
    assert proc.returncode == 0, f"exit {proc.returncode}\n--- stdout\n{proc.stdout}\n--- stderr\n{proc.stderr}"
    lines = proc.stdout.strip().splitlines()
    return json.loads(lines[-1]) if lines else None


@pytest.fixture
def fresh(tmp_path):
    def run(*parts: str, **kwargs):
        kwargs.setdefault("cwd", tmp_path)
        return run_fresh(*parts, **kwargs)

    return run
