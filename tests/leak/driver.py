"""Leak check of both extension modules under the debug interpreter.

Every function of ``morvane.core.pdk`` and ``morvane.core.models`` is called
many times, on its success paths and on its error paths (argument binding,
typed parameters, undefined globals, failing collaborators), against small
in-process doubles of the package's services, so that the C++ code runs end to
end without touching files or a database. For each scenario the driver runs
warm-up rounds, then measured rounds, collecting garbage after each, and
records how ``sys.gettotalrefcount()`` and ``sys.getallocatedblocks()`` moved.
A scenario leaks when both of them, or either of them, grow in every measured
round by more than the noise allowance.

Run it with the debug interpreter (``scripts/leakcheck`` does):
    build/venv-dbg/bin/python tests/leak/driver.py [--calls N] [--rounds N] [-k TEXT]
"""

from __future__ import annotations

import argparse
import contextlib
import functools
import json
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path
from types import ModuleType, SimpleNamespace

import networkx as nx

import polyforge as pf

import morvane.core.models as mm
import morvane.core.pdk as mp

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))  # tests/, for the doubles the suites share
from doubles import Quiet, Rec, counts, run_calls  # noqa: E402

# ---- doubles of the package's services -------------------------------------------

ROOT = Path(tempfile.gettempdir()).resolve() / "morvane-leak-project"
CELLS_PY = ROOT / "proj" / "cells.py"
BROKEN_PY = ROOT / "proj" / "broken.py"
DEEP_PY = ROOT / "proj" / "sub" / "deep.py"


@dataclass
class ModelRecord:
    factory: str
    settings: str
    source: str | None
    pdk_type: str
    status: str = "UNKNOWN"
    message: str = ""

    def absolute_source(self) -> Path | None:
        return Path(self.source) if self.source else None


LOGGER = Quiet()


def log():
    return LOGGER


def cell_a():
    pass


def cell_b():
    pass


def straight(length=1.0):
    pass


cells_module = ModuleType("proj.cells")
cells_module.cell_a = cell_a
cells_module.cell_b = cell_b
cells_module.straight = straight
deep_module = ModuleType("proj.sub.deep")
deep_module.cell_d = cell_a


def static_records():
    return {
        "cell_a": Rec("cell_a", str(CELLS_PY)),
        "cell_b": Rec("cell_b", str(CELLS_PY)),
        "cell_c": Rec("cell_c", str(BROKEN_PY)),
        "cell_d": Rec("cell_d", str(DEEP_PY)),
        "cell_missing": Rec("cell_missing", str(DEEP_PY)),
    }


def present_records():
    return {
        "cell_a": Rec("cell_a", str(CELLS_PY), "SUCCESS"),
        "cell_b": Rec("cell_b", "elsewhere.py", "SUCCESS"),
        "cell_c": Rec("cell_c", str(BROKEN_PY), "ERROR", "old"),
        "cell_gone": Rec("cell_gone", str(CELLS_PY), "SUCCESS"),
    }


def import_modules(*, paths, reload, from_project):
    modules, errors = {}, {}
    for p in paths:
        p = Path(p)
        if p == CELLS_PY:
            modules[p] = cells_module
        elif p == DEEP_PY:
            modules[p] = deep_module
        elif p == BROKEN_PY:
            errors[p] = ("proj.broken", SyntaxError("bad syntax"))
        else:
            modules[p] = None
    return modules, errors


def get_cells_from_regex(path):
    if Path(path) == BROKEN_PY:
        return ["cell_c", "cell_regex"]
    raise OSError("unreadable")


class Database:
    def __init__(self):
        self.models = {}

    def get_factories_by_name(self, *names):
        present = present_records()
        return {n: present[n] for n in names if n in present}

    def get_factories_by_source(self, *paths):
        wanted = {str(p) for p in paths}
        return {n: r for n, r in present_records().items() if r.source in wanted}

    def get_all_factories(self):
        return present_records()

    def add_factories(self, *records):
        pass

    def remove_factories(self, *names):
        pass

    def set_all_factories_has_model(self, *, has_model):
        pass

    def add_models(self, *records):
        for r in records:
            self.models[r.factory] = r

    def get_all_models(self):
        return list(self.models) + ["stale_model"]

    def remove_models(self, *names):
        for n in names:
            self.models.pop(n, None)

    def set_factories_has_model_by_names(self, *names, has_model):
        pass


def project_pdk():
    pdk = pf.Pdk("leakpdk", cells={"cell_a": cell_a, "both": cell_b}, containers={"both": cell_a, "pad": cell_b})
    pdk.layers = {"wg": (1, 0)}
    pdk.stack = [1, 2]
    return pdk


class Settings:
    pdk_name = "leakpdk"
    a_pdk = False

    def get_pdk_name(self):
        return self.pdk_name

    def is_a_pdk(self):
        return self.a_pdk

    def get_project_name(self):
        return "proj"


class Importlib:
    """import_module/reload over a fixed set of stand-in modules."""

    def __init__(self):
        self.modules = {}
        pkg = ModuleType("leakpdk")
        pkg.PDK = project_pdk()
        self.modules["leakpdk"] = pkg
        self.modules["leakpdk.pdk"] = ModuleType("leakpdk.pdk")
        self.modules["nopdk"] = ModuleType("nopdk")
        generic = ModuleType("polyforge.generic_tech")
        generic.get_generic_pdk = SimpleNamespace(__wrapped__=project_pdk)
        self.modules["polyforge.generic_tech"] = generic

    def import_module(self, name):
        return self.modules[name]

    def reload(self, module):
        return module


def fake_sys(importlib):
    return SimpleNamespace(modules=importlib.modules)


class CachedPdk:
    """Stands in for the cached _get_pdk: the cached PDK, and an uncached run."""

    def __init__(self, same=False):
        self.pdk = project_pdk()
        self.same = same

    def __call__(self):
        return self.pdk

    def __wrapped__(self):
        return self.pdk if self.same else project_pdk()


def model_a(wl=1.5) -> "sax.SDict":
    pass


def call_graph(*, lib_paths):
    return {
        "functions": {
            "proj.models.model_a": {
                "name": "model_a", "module": "proj.models",
                "resolved_return_annotation": "sax.SDict", "parameter_defaults": {"wl": 1.5},
            },
            "lib.models.model_b": {
                "name": "model_b", "module": "lib.models",
                "resolved_return_annotation": "SDense", "parameter_defaults": {},
            },
            "proj.models._helper": {
                "name": "_helper", "module": "proj.models",
                "resolved_return_annotation": "sax.SDict", "parameter_defaults": {},
            },
            "proj.models.plain": {
                "name": "plain", "module": "proj.models",
                "resolved_return_annotation": "dict[str, float]", "parameter_defaults": {},
            },
        },
        "modules": {
            "lib.models": {"path": str(ROOT / "lib" / "models.py")},
            "proj.models": {"path": str(ROOT / "proj" / "models.py")},
        },
    }  # fmt: skip


def model_records():
    return {
        "model_a": ModelRecord("model_a", "{}", str(CELLS_PY), "pdk"),
        "model_c": ModelRecord("model_c", "{}", str(BROKEN_PY), "pdk"),
        "model_x": ModelRecord("model_x", "{}", None, "base_pdk"),
    }


def model_pdk():
    return pf.Pdk("models", models={"model_a": straight, "model_p": functools.partial(model_a, wl=2.0)})


def graph():
    G = nx.DiGraph()
    G.add_nodes_from(["model_a", "cell_a", "cell_b", "top"], has_model=False)
    G.add_edges_from([("cell_a", "model_a"), ("top", "cell_a"), ("top", "cell_b")])
    return G


@contextlib.contextmanager
def replaced(module, **values):
    """Module globals replaced for the duration of a scenario (absent ones removed)."""
    missing = object()
    saved = {name: vars(module).get(name, missing) for name in values}
    for name, value in values.items():
        setattr(module, name, value)
    try:
        yield
    finally:
        for name, value in saved.items():
            if value is missing:
                vars(module).pop(name, None)
            else:
                setattr(module, name, value)


@contextlib.contextmanager
def without(module, name):
    value = vars(module).pop(name)
    try:
        yield
    finally:
        setattr(module, name, value)


# ---- scenarios --------------------------------------------------------------------------


class StrSub(str):
    pass


class DictSub(dict):
    pass


def pdk_environment():
    importlib = Importlib()
    db = Database()
    return {
        "settings": Settings(),
        "log": log,
        "importlib": importlib,
        "sys": fake_sys(importlib),
        "warnings": SimpleNamespace(warn=lambda *a, **k: None),
        "cg": SimpleNamespace(create_callgraph=lambda: "G", get_static_records=lambda G, *, paths: static_records()),
        "imports": SimpleNamespace(import_modules=import_modules, get_cells_from_regex=get_cells_from_regex),
        "m": SimpleNamespace(FactoryRecord=Rec),
        "db": db,
        "register_models": lambda G, *, reload: ([], []),
    }


def models_environment():
    pdk, base = model_pdk(), pf.Pdk("base", models={"model_x": straight})
    return {
        "get_pdk": lambda: pdk,
        "get_base_pdk": lambda: base,
        "ccg": SimpleNamespace(default_lib_paths=lambda: {"lib": ROOT / "lib"}),
        "generate_call_graph": call_graph,
        "get_project_name": lambda: "proj",
        "get_project_dir": lambda: ROOT,
        "m": SimpleNamespace(ModelRecord=ModelRecord),
        "log": log,
        "imports": SimpleNamespace(import_modules=import_modules),
        "db": Database(),
    }


def frozen_pdk():
    obj = pf.Pdk("frozen")
    obj.__class__ = mp.FrozenPdk
    return obj


def fresh_caches():
    mp.get_base_pdk.cache_clear()
    mp._get_pdk.cache_clear()


def pdk_scenarios():
    frozen = frozen_pdk()
    cell = mp._error_cell("c", "m", ValueError("boom"))
    cell_from_class = mp._error_cell("c", "m", KeyError)
    cell_from_text = mp._error_cell("c", "m", "just text")
    cell_not_exception = mp._error_cell("c", "m", 42)

    def get_pdk_generic():
        Settings.pdk_name = "generic"
        try:
            fresh_caches()
            return mp.get_pdk()
        finally:
            Settings.pdk_name = "leakpdk"

    def get_pdk_missing():
        Settings.pdk_name = "nopdk"
        try:
            fresh_caches()
            return mp.get_pdk()
        finally:
            Settings.pdk_name = "leakpdk"

    def base_is_project():
        Settings.a_pdk = True
        try:
            mp.get_base_pdk.cache_clear()
            return mp.get_base_pdk()
        finally:
            Settings.a_pdk = False

    def base_frozen(same):
        def action():
            with replaced(mp, _get_pdk=CachedPdk(same)):
                mp.get_base_pdk.cache_clear()
                return mp.get_base_pdk()

        return action

    def with_undefined(name, action):
        def run():
            with without(mp, name):
                return action()

        return run

    def register(**kwargs):
        def action():
            with replaced(mp, get_pdk=project_pdk):
                return mp.register_cells(**kwargs)

        return action

    records = static_records()
    yield "get_pdk (package, reloaded)", "ok", lambda: (fresh_caches(), mp.get_pdk())
    yield "get_pdk (generic technology)", "ok", get_pdk_generic
    yield "get_pdk (package without PDK)", "ImportError", get_pdk_missing
    yield "get_pdk cached", "ok", mp.get_pdk
    yield "get_base_pdk (project is a PDK)", "ok", base_is_project
    yield "get_base_pdk (freeze a second PDK)", "ok", base_frozen(False)
    yield "get_base_pdk (freeze a copy)", "ok", base_frozen(True)
    yield "get_pdk (undefined global)", "NameError", with_undefined("get_base_pdk", mp.get_pdk)
    yield "activate_pdk_by_name", "ok", lambda: mp.activate_pdk_by_name("other")
    yield "activate_pdk_by_name (int)", "TypeError", lambda: mp.activate_pdk_by_name(1)
    yield "activate_pdk_by_name (str subclass)", "TypeError", lambda: mp.activate_pdk_by_name(StrSub("x"))
    yield "activate_pdk_by_name (no argument)", "TypeError", lambda: mp.activate_pdk_by_name()
    yield "activate_pdk_by_name (near keyword)", "TypeError", lambda: mp.activate_pdk_by_name(nme="x")
    yield "FrozenPdk.__setattr__", "AttributeError", lambda: setattr(frozen, "name", "x")
    yield "FrozenPdk.__delattr__", "AttributeError", lambda: delattr(frozen, "name")
    yield "FrozenPdk.__setattr__ (str subclass)", "TypeError", lambda: setattr(frozen, StrSub("n"), 1)
    yield "register_cells (all files)", "ok", register()
    yield "register_cells (named paths, no reload)", "ok", register(paths=[CELLS_PY, BROKEN_PY], reload=False)
    yield "register_cells (generator of paths)", "ok", register(paths=(p for p in [DEEP_PY]))
    yield "register_cells (one path, not a list)", "TypeError", lambda: mp.register_cells(paths=str(CELLS_PY))
    yield "register_cells (too many positional)", "TypeError", lambda: mp.register_cells(1, 2, paths=())
    yield "register_cells (undefined global)", "NameError", with_undefined("get_pdk", mp.register_cells)
    yield "_sort_paths", "ok", lambda: mp._sort_paths([str(DEEP_PY), CELLS_PY, "rel/x.py"])
    yield "_sort_paths (not iterable)", "TypeError", lambda: mp._sort_paths(42)
    yield "_error_cell", "ok", lambda: mp._error_cell("n", "mod", ValueError("x"))
    yield "_error_cell (typed)", "TypeError", lambda: mp._error_cell(b"n", "mod", "e")
    yield "error cell (instance)", "ValueError", lambda: cell(1, k=2)
    yield "error cell (class)", "KeyError", cell_from_class
    yield "error cell (text)", "RuntimeError", cell_from_text
    yield "error cell (not an exception)", "TypeError", cell_not_exception
    yield "_import_modules", "ok", lambda: mp._import_modules(records, [], reload=True)
    yield "_import_modules (paths)", "ok", lambda: mp._import_modules(records, [CELLS_PY])
    yield "_import_modules (typed)", "TypeError", lambda: mp._import_modules(DictSub(), [])
    yield "_handle_import_errors", "ok", lambda: mp._handle_import_errors(
        static_records(), {BROKEN_PY: ("proj.broken", SyntaxError("x")), CELLS_PY: ("proj.cells", ImportError("y"))}
    )
    yield "_handle_import_errors (bad pair)", "ValueError", lambda: mp._handle_import_errors(
        static_records(), {BROKEN_PY: ("only one",)}
    )
    yield "_find_cells", "ok", lambda: mp._find_cells(static_records(), {CELLS_PY: cells_module})
    yield "_find_cells (module missing)", "ok", lambda: mp._find_cells(static_records(), {})
    yield "_get_database_updates", "ok", lambda: mp._get_database_updates(static_records(), present_records(), [])
    yield "_get_database_updates (paths)", "ok", lambda: mp._get_database_updates(
        static_records(), present_records(), [CELLS_PY, "x"]
    )
    yield "_get_database_updates (typed)", "TypeError", lambda: mp._get_database_updates({}, {}, ())
    yield "_clean_containers_also_in_cells", "ok", lambda: mp._clean_containers_also_in_cells(project_pdk())
    yield "_clean_containers_also_in_cells (no registries)", "AttributeError", lambda: (
        mp._clean_containers_also_in_cells(object())
    )


def models_scenarios():
    def register(G=None, **kwargs):
        def action():
            with replaced(mm, find_models=model_records):
                return mm.register_models(graph() if G else None, **kwargs)

        return action

    def rebinding():
        # The PDK's partials of a reloaded model, one nested, are rebound.
        records = {**model_records(), "model_p": ModelRecord("model_p", "{}", str(CELLS_PY), "pdk"),
                   "model_n": ModelRecord("model_n", "{}", str(CELLS_PY), "pdk")}
        inner = functools.partial(model_a, 1.0)
        inner.note = "kept apart"
        pdk = model_pdk()
        pdk.models["model_n"] = functools.partial(inner, wl=3.0)
        with replaced(mm, find_models=lambda: records, get_pdk=lambda: pdk), \
                replaced(cells_module, model_p=model_a, model_n=model_a):
            return mm.register_models()

    class SubGraph(nx.DiGraph):
        pass

    def propagate(make_graph):
        def action():
            with replaced(mm, find_models=model_records):
                return mm.register_models(make_graph())

        return action

    def unflagged():
        G = graph()
        del G.nodes["top"]["has_model"]
        return G

    def midway():
        # A flag that is not a bool: the steps as written from that node on.
        G = graph()
        G.nodes["cell_b"]["has_model"] = 0
        return G

    def cyclic():
        G = graph()
        G.add_edge("model_a", "top")
        return G

    def failing_find_models():
        with replaced(mm, find_models=lambda: {}["missing"]):
            return mm.register_models()

    placeholder = mm._error_model("m", "mod", ImportError("gone"))
    placeholder_class = mm._error_model("m", "mod", LookupError)
    placeholder_other = mm._error_model("m", "mod", 42)
    nameless = SimpleNamespace()
    int_named = SimpleNamespace(__name__=5)
    nested = functools.partial(functools.partial(model_a, wl=1.0), wl=2.0)
    records = call_graph(lib_paths={})["functions"]
    by_name = {v["name"]: v for v in records.values()}

    shared = ROOT / "shared" / "proj"
    shared.mkdir(parents=True, exist_ok=True)
    (shared / "__init__.py").write_text("")
    (shared / "models.py").write_text(
        "def model_a(wl=1.5, sizes=[1, 2], opts={'k': (1, 2)}) -> 'sax.SDict': ...\n"
        "def model_b(wl=1.5, t=(1, 2), n=None) -> 'sax.SDense': ...\n"
        "def straight(length=1.0) -> 'sax.SType': ...\n"
        "def _helper() -> 'sax.SDict': ...\n")
    from morvane import morvane as call_graph_module
    import copy

    def on_call_graph(**collaborators):
        # The call graph's own function, with collaborators replaced.
        def action():
            with replaced(mm, generate_call_graph=call_graph_module.generate_call_graph, **collaborators):
                return mm.find_models({"proj": shared})

        return action

    yield "find_models", "ok", lambda: mm.find_models()
    yield "find_models (the call graph's own)", "ok", on_call_graph()
    yield "find_models (the call graph's own, another dumps)", "ok", on_call_graph(
        json=SimpleNamespace(dumps=lambda v: json.dumps(v)))
    yield "find_models (the call graph's own, another deepcopy)", "ok", on_call_graph(
        deepcopy=lambda v: copy.deepcopy(v))
    yield "find_models (the call graph's own, another _is_model)", "ok", on_call_graph(
        _is_model=lambda r, real=mm._is_model: real(r))
    yield "find_models (the call graph's own, another _create_record)", "ok", on_call_graph(
        _create_record=lambda d, f, real=mm._create_record: real(d, f))
    yield "find_models (lib_paths)", "ok", lambda: mm.find_models({"lib": ROOT / "lib"})
    yield "find_models (typed)", "TypeError", lambda: mm.find_models([])
    yield "register_models", "ok", register()

    def genuine_records():
        from morvane import models as record_types
        return {"model_x": record_types.ModelRecord("model_x", "{}", None, "base_pdk")}

    def on_genuine_records():
        with replaced(mm, find_models=genuine_records):
            return mm.register_models(graph())

    yield "register_models (the package's own records)", "ok", on_genuine_records
    yield "register_models (graph, no reload)", "ok", register(G=True, reload=False)
    yield "register_models (partials rebound)", "ok", rebinding
    yield "register_models (graph subclass: steps as written)", "ok", propagate(lambda: SubGraph(graph()))
    yield "register_models (graph, as written from a node on)", "ok", propagate(midway)
    yield "register_models (graph, node without flag)", "KeyError", propagate(unflagged)
    yield "register_models (graph with a cycle)", "NetworkXUnfeasible", propagate(cyclic)
    yield "register_models (reload positional)", "TypeError", lambda: mm.register_models(None, True)
    yield "register_models (G by keyword)", "TypeError", lambda: mm.register_models(G=None)
    yield "register_models (failing find_models)", "KeyError", failing_find_models
    yield "_is_model", "ok", lambda: [mm._is_model(r) for r in records.values()]
    yield "_is_model (no annotation)", "KeyError", lambda: mm._is_model({"name": "x"})
    yield "_is_model (typed)", "TypeError", lambda: mm._is_model(None)
    yield "_create_record", "ok", lambda: (mm._create_record(by_name, nested), mm._create_record(by_name, len))
    yield "_create_record (typed)", "TypeError", lambda: mm._create_record(DictSub(), len)
    yield "_funcname", "ok", lambda: (mm._funcname(nested), mm._funcname(nameless))
    yield "_funcname (int name)", "TypeError", lambda: mm._funcname(int_named)
    yield "_error_model", "ok", lambda: mm._error_model("m", "mod", "text")
    yield "_error_model (typed)", "TypeError", lambda: mm._error_model("m", None, "text")
    yield "error model (instance)", "ImportError", lambda: placeholder(1, x=2)
    yield "error model (class)", "LookupError", placeholder_class
    yield "error model (not an exception)", "TypeError", placeholder_other


# ---- measuring ---------------------------------------------------------------------------


def outcome_of(action) -> str:
    try:
        action()
    except Exception as exc:
        exc.__traceback__ = None
        return type(exc).__name__
    return "ok"


def measure(action, calls, warmup, rounds):
    """Growth of references and of allocated blocks in each measured round."""
    for _ in range(warmup):
        run_calls(action, calls)
    refs, blocks = [0] * rounds, [0] * rounds  # made before measuring
    before_refs, before_blocks = counts()
    for i in range(rounds):
        run_calls(action, calls)
        after_refs, after_blocks = counts()
        refs[i], blocks[i] = after_refs - before_refs, after_blocks - before_blocks
        before_refs, before_blocks = after_refs, after_blocks
    return refs, blocks


def keeps_growing(values, allowance):
    return min(values) > allowance


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=200, help="calls per round")
    parser.add_argument("--warmup", type=int, default=3, help="rounds before measuring")
    parser.add_argument("--rounds", type=int, default=5, help="measured rounds")
    parser.add_argument("-k", dest="select", default="", help="only scenarios whose name contains this text")
    args = parser.parse_args(argv)
    if not hasattr(sys, "gettotalrefcount"):
        print("leak check: needs the debug interpreter (python3.14d)", file=sys.stderr)
        return 2
    # Growth of a tenth of a reference or block per call is a leak; less is noise.
    allowance = max(2, args.calls // 10)

    scenarios = [("pdk", *s, pdk_environment) for s in pdk_scenarios()]
    scenarios += [("models", *s, models_environment) for s in models_scenarios()]

    print(f"leak check: {args.warmup} warm-up and {args.rounds} measured rounds of {args.calls} calls per scenario;")
    print(f"a scenario leaks when references or blocks grow by more than {allowance} in every measured round.\n")
    header = f"{'module':<7} {'scenario':<48} {'outcome':<15} {'refs/round':<28} {'blocks/round':<28} verdict"
    print(header)
    print("-" * len(header))
    failures = 0
    for module_name, name, expected, action, environment in scenarios:
        if args.select not in name:
            continue
        module = mp if module_name == "pdk" else mm
        with replaced(module, **environment()):
            outcome = outcome_of(action)
            refs, blocks = measure(action, args.calls, args.warmup, args.rounds)
        verdict = "ok"
        if outcome != expected:
            verdict = f"WRONG PATH (expected {expected})"
            failures += 1
        elif keeps_growing(refs, allowance) or keeps_growing(blocks, allowance):
            verdict = f"LEAK ({sum(refs) / (args.rounds * args.calls):+.2f} refs/call)"
            failures += 1
        print(f"{module_name:<7} {name:<48} {outcome:<15} {str(refs):<28} {str(blocks):<28} {verdict}")
    print()
    if failures:
        print(f"leak check FAILED: {failures} scenario(s)")
        return 1
    print("leak check passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
