"""The function graph of libraries: annotations with resolved aliases, defaults, modules, cache."""

from __future__ import annotations

import json
import textwrap
from pathlib import Path

import pytest

from morvane.core import _pysource
from morvane.morvane import generate_call_graph


def put(root: Path, rel: str, text: str = "") -> Path:
    path = root / rel
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(textwrap.dedent(text))
    return path


def graph(**lib_paths: Path) -> dict:
    return generate_call_graph(lib_paths={k: str(v) for k, v in lib_paths.items()})


ANNOTATED = """
    from __future__ import annotations
    import typing
    from typing import TYPE_CHECKING, Optional
    import numpy.linalg
    if TYPE_CHECKING:
        import sax
        import sax as sx
        from sax import SDict, SType as ST
        from .types import Local
        from ..up import Up

    def from_import() -> SDict: ...
    def module_alias() -> sx.SDict: ...
    def renamed() -> ST: ...
    def plain_module() -> sax.SDense: ...
    def quoted() -> "SDict": ...
    def quoted_spaces() -> " SDict ": ...
    def nested_quote() -> Optional["SDict"]: ...
    def union() -> SDict | None: ...
    def generic() -> dict[str, SDict]: ...
    def relative() -> Local: ...
    def relative_up() -> Up: ...
    def dotted_import() -> numpy.linalg.Thing: ...
    def builtin() -> int: ...
    def unknown_name() -> Undefined: ...
    def bad_string() -> "not an expression (": ...
    def none() -> None: ...
    def missing(): ...
    async def coroutine() -> typing.Any: ...
    """

EXPECTED = {
    "from_import": "sax.SDict",
    "module_alias": "sax.SDict",
    "renamed": "sax.SType",
    "plain_module": "sax.SDense",
    "quoted": "sax.SDict",
    "quoted_spaces": "sax.SDict",
    "nested_quote": "typing.Optional['sax.SDict']",
    "union": "sax.SDict | None",
    "generic": "dict[str, sax.SDict]",
    "relative": "lib.pkg.types.Local",
    "relative_up": "lib.up.Up",
    "dotted_import": "numpy.linalg.Thing",
    "builtin": "int",
    "unknown_name": "Undefined",
    "bad_string": "not an expression (",
    "none": "None",
    "missing": "",
    "coroutine": "typing.Any",
}


def test_return_annotations_resolve_imported_aliases(tmp_path):
    put(tmp_path, "lib/__init__.py")
    put(tmp_path, "lib/pkg/__init__.py")
    put(tmp_path, "lib/pkg/mod.py", ANNOTATED)
    functions = graph(lib=tmp_path / "lib")["functions"]
    got = {r["name"]: r["resolved_return_annotation"] for k, r in functions.items()
           if k.startswith("lib.pkg.mod.")}
    assert got == EXPECTED


def test_relative_imports_of_a_package_init_resolve_inside_the_package(tmp_path):
    put(tmp_path, "lib/__init__.py", "from .types import SDict\ndef f() -> SDict: ...\n")
    rec = graph(lib=tmp_path / "lib")["functions"]["lib.f"]
    assert rec == {"name": "f", "module": "lib", "resolved_return_annotation": "lib.types.SDict",
                   "parameter_defaults": {}}


def test_parameter_defaults_literals_and_stand_ins(tmp_path):
    put(tmp_path, "m.py", """
        import math
        W = 2
        def f(a, b=1, /, c=-2.5, d=(1, (2, 3)), *args, e, g=None, h="x", i={"k": [1, True]},
              j=W * 2, k=math.pi, l={1, 2}, m=b"raw", n=1 + 2j, o={(1, 2): 3}, p=[], q=1e999, r=False, s=...,
              **kw): ...
        """)
    defaults = graph(m=tmp_path / "m.py")["functions"]["m.f"]["parameter_defaults"]
    assert defaults == {
        "b": 1, "c": -2.5, "d": (1, (2, 3)), "g": None, "h": "x", "i": {"k": [1, True]},
        "j": "W * 2", "k": "math.pi", "l": "{1, 2}", "m": "b'raw'", "n": "1 + 2j",
        "o": "{(1, 2): 3}", "p": [], "q": float("inf"), "r": False, "s": "...",
    }
    json.dumps(defaults)


def test_modules_order_skips_and_function_selection(tmp_path):
    put(tmp_path, "first/zeta.py", "def z(): ...\n")
    put(tmp_path, "first/Alpha.py", "def a(): ...\n")
    put(tmp_path, "first/__init__.py", "def init(): ...\n")
    put(tmp_path, "first/sub/__init__.py")
    put(tmp_path, "first/sub/deep.py", """
        import sys
        if sys.version_info >= (3, 14):
            def conditional(): ...
        try:
            def in_try(): ...
        except ImportError:
            pass
        class C:
            def method(self): ...
        def outer():
            def inner(): ...
        lam = lambda: 0
        """)
    put(tmp_path, "first/broken.py", "def oops(:\n")
    put(tmp_path, "first/.hidden/h.py", "def hidden(): ...\n")
    put(tmp_path, "first/__pycache__/p.py", "def cached(): ...\n")
    single = put(tmp_path, "single.py", "def only(): ...\n")
    result = graph(second=single, first=tmp_path / "first", gone=tmp_path / "nowhere")

    assert list(result["modules"]) == ["second", "first", "first.Alpha", "first.broken", "first.zeta",
                                       "first.sub", "first.sub.deep"]
    assert result["modules"]["first.broken"] == {"path": str(tmp_path / "first/broken.py")}
    assert result["modules"]["second"] == {"path": str(single)}
    # A file that does not parse lists the functions its text shows.
    assert list(result["functions"]) == ["second.only", "first.init", "first.Alpha.a", "first.broken.oops",
                                         "first.zeta.z",
                                         "first.sub.deep.conditional", "first.sub.deep.in_try",
                                         "first.sub.deep.outer"]
    assert result["functions"]["first.sub.deep.outer"]["module"] == "first.sub.deep"


def test_results_are_fresh_and_cached_per_file(tmp_path, monkeypatch):
    put(tmp_path, "lib/a.py", "def f(x=[1]) -> int: ...\n")
    put(tmp_path, "lib/b.py", "def g(): ...\n")
    parsed: list[Path] = []
    real = _pysource.parse_bytes
    monkeypatch.setattr(_pysource, "parse_bytes", lambda data, p: parsed.append(p) or real(data, p))

    first = graph(lib=tmp_path / "lib")
    first["functions"]["lib.a.f"]["parameter_defaults"]["x"].append(2)
    first["functions"]["lib.a.f"]["name"] = "changed"
    parsed.clear()
    second = graph(lib=tmp_path / "lib")
    assert parsed == []
    assert second["functions"]["lib.a.f"]["parameter_defaults"] == {"x": [1]}
    assert second["functions"]["lib.a.f"]["name"] == "f"

    put(tmp_path, "lib/a.py", "def f(x=[1, 2, 3]) -> str: ...\n")
    third = graph(lib=tmp_path / "lib")
    assert parsed == [tmp_path / "lib/a.py"]
    assert third["functions"]["lib.a.f"]["resolved_return_annotation"] == "str"


def test_select_agrees_with_filtering_every_record_across_edits(tmp_path):
    # select keeps each file's answers while the file's functions are
    # unchanged: after every edit (an annotation, a default, a file added,
    # removed or broken) it gives what filtering all records gives, as fresh
    # copies, and a graph whose records were changed is filtered as changed.
    import random

    from morvane.core import models as mm

    rng = random.Random(7)
    texts = ["def {n}(x={d}) -> 'SDict': ...\n", "def {n}(x={d}) -> int: ...\n",
             "def {n}(x=[{d}]) -> sax.SType: ...\ndef _{n}() -> SDict: ...\n", "def {n}(:\n"]
    for step in range(40):
        name = f"f{rng.randrange(6)}"
        path = tmp_path / "lib" / f"{name}.py"
        if rng.random() < 0.15:
            path.unlink(missing_ok=True)
        else:
            put(tmp_path, f"lib/{name}.py", rng.choice(texts).format(n=name, d=step))
        put(tmp_path, "lib/__init__.py", "")
        chosen = graph(lib=tmp_path / "lib").select(mm._is_model)
        every = graph(lib=tmp_path / "lib")
        assert chosen == {k: v for k, v in every["functions"].items() if mm._is_model(v)}, step
        again = graph(lib=tmp_path / "lib").select(mm._is_model)
        assert all(again[k] is not v for k, v in chosen.items())
    for record in every["functions"].values():
        record["resolved_return_annotation"] = "int"
    assert every.select(mm._is_model) == {}


@pytest.mark.parametrize("data", [b"x = 1\x00\n", b"s = '\xff\xfe'\n"])
def test_unreadable_sources_list_the_module_without_functions(tmp_path, data):
    (tmp_path / "m.py").write_bytes(data)
    result = graph(m=tmp_path / "m.py")
    assert result == {"functions": {}, "modules": {"m": {"path": str(tmp_path / "m.py")}}}


def test_a_file_that_does_not_parse_lists_the_functions_its_text_shows(tmp_path):
    # A broken models file keeps its models (as models whose import fails),
    # whatever was stored before: a fresh process finds the same.
    (tmp_path / "m.py").write_text("import sax\n\ndef good(x=1) -> sax.SDict:\n    ...\n\n"
                                   "def multi(\n    a=1,\n) -> 'sax.SType':  # note\n    ...\n\n"
                                   "def plain():\n    ...\n\ndef broken(:\n")
    result = graph(m=tmp_path / "m.py")
    assert {k: v["resolved_return_annotation"] for k, v in result["functions"].items()} == \
        {"m.good": "sax.SDict", "m.multi": "sax.SType", "m.plain": "", "m.broken": ""}
    assert all(v["parameter_defaults"] == {} for v in result["functions"].values())


def test_fast_paths_agree_with_the_tree_walk_and_the_tree_rewrite():
    # Both shortcuts (the field walk, the string resolution of name chains)
    # against the library's own algorithms, over this package's sources.
    import ast
    import copy

    import morvane

    aliases = _pysource.Aliases()
    aliases.names.update({"pf": "polyforge", "sx": "sax", "SDict": "sax.SDict", "np": "np", "t": "typing.x"})
    sources = sorted(Path(morvane.__file__).parent.rglob("*.py"))
    assert len(sources) > 5
    chains = 0
    for source in sources:
        tree = ast.parse(source.read_bytes())
        assert [id(n) for n in _pysource.walk(tree)] == [id(n) for n in ast.walk(tree)]
        for node in ast.walk(tree):
            if isinstance(node, ast.expr) and _pysource.dotted_name(node) is not None:
                chains += 1
                for name in ("pf", "sx", "SDict", "np", "t"):
                    renamed = ast.parse(ast.unparse(node).replace(node_root(node), name, 1), mode="eval").body
                    slow = ast.unparse(_pysource._Resolver(aliases).visit(copy.deepcopy(renamed)))
                    assert _pysource.resolve(renamed, aliases) == slow
    assert chains > 100


def node_root(node):
    return _pysource.dotted_name(node).split(".")[0]
