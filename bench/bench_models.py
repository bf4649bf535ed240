"""Benchmark of the models module: find_models and register_models.

    scripts/run build/venv/bin/python bench/bench_models.py [--quick]

Two workloads, each measured twice:

- find_models over a call graph of 20,000 functions, 2,000 of them models;
- register_models for 2,000 models in 200 files, with a factory graph of
  10,000 nodes;

first with in-memory doubles for every collaborator (what the module itself
costs, with the standard library's Path and json it calls), then against the
real host on a generated project (call graph from the files, SQLite
database, the importer, the pdk module).  Prints a table of the time per call
and per model, and the memory growth over repeated calls, then the
collaborator calls that take the time (cProfile; native code shows only as
the time its Python callees do not account for).
"""

from __future__ import annotations

import argparse
import cProfile
import functools
import gc
import os
import pstats
import random
import shutil
import statistics
import sys
import tempfile
import time
import tracemalloc
import types
from pathlib import Path

import natsort
import networkx as nx

import morvane.core.models as mm

N_FUNCTIONS = 20_000
N_MODELS = 2_000
N_FILES = 200
N_NODES = 10_000
N_REGISTERED = 50  # library models the PDK registers under names of its own
N_FAILED_FILES = 10

ORIGINAL = dict(mm.__dict__)


def restore() -> None:
    for name in set(mm.__dict__) - set(ORIGINAL):
        del mm.__dict__[name]
    mm.__dict__.update(ORIGINAL)


class Namespace:
    def __init__(self, **attrs) -> None:
        self.__dict__.update(attrs)


class FakePdk:
    def __init__(self, models) -> None:
        self.models = models


class NullLogger:
    def debug(self, message) -> None:
        pass

    info = debug


NULL_LOGGER = NullLogger()


def library_model(*, wl: float = 1.55, length: float = 1.0):
    return {}


# ---- measuring ------------------------------------------------------------------


def timed(call, repeat: int) -> list[float]:
    times = []
    for _ in range(repeat):
        gc.collect()
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return times


def memory_growth(call, repeat: int) -> float:
    """Bytes still allocated per call after `repeat` calls.  Tracing starts
    before two warm-up calls, so what a call replaces was traced too."""
    tracemalloc.start()
    call()
    call()
    gc.collect()
    base = tracemalloc.get_traced_memory()[0]
    for _ in range(repeat):
        call()
    gc.collect()
    grown = tracemalloc.get_traced_memory()[0] - base
    tracemalloc.stop()
    return grown / repeat


def profile(label: str, function, *args, setup=None, top: int = 7, **kwargs) -> list[str]:
    """The calls the module function makes, by cumulative time.  Native code
    makes no frame of its own: calls from it count as calls from `measured`,
    and the time spent in it is `measured`'s own time."""

    def measured():
        function(*args, **kwargs)

    if setup is not None:
        setup()

    profiler = cProfile.Profile()
    profiler.enable()
    measured()
    profiler.disable()
    stats = pstats.Stats(profiler).stats
    key = next(k for k in stats if k[2] == "measured" and k[0] == __file__)
    total = stats[key][3]
    own = stats[key][2]
    rows = []
    for (file, line, name), (cc, nc, tt, ct, callers) in stats.items():
        if key in callers:
            ct_from = callers[key][3]
            where = f"{Path(file).name}:{line} " if file != "~" else ""
            rows.append((ct_from, callers[key][1], f"{where}{name}"))
    rows.sort(reverse=True)
    out = [f"  {label}: {total * 1e3:.1f} ms under the profiler; the module's native code {own * 1e3:.1f} ms"
           f" ({own / total * 100:.0f}%)"]
    for ct, nc, name in rows[:top]:
        out.append(f"    {ct / total * 100:5.1f}%  {ct * 1e3:8.1f} ms  {nc:7d} calls  {name}")
    return out


# ---- in-memory doubles --------------------------------------------------------------


def discovery_doubles(root: Path):
    """A call graph of N_FUNCTIONS functions in N_FILES project modules and a
    library, N_MODELS of them models, N_REGISTERED library models registered
    by the PDK."""
    rng = random.Random(1)
    functions, modules = {}, {}
    lib = root.parent / "site" / "lib"
    modules["benchproj"] = {"path": str(root / "benchproj" / "__init__.py")}
    n_lib_modules = 20
    for i in range(n_lib_modules):
        modules[f"lib.m{i}"] = {"path": str(lib / f"m{i}.py")}
    for i in range(N_FILES):
        modules[f"benchproj.models{i}"] = {"path": str(root / "benchproj" / f"models{i}.py")}
    per_file = N_MODELS // N_FILES
    for i in range(N_FILES):
        for j in range(per_file):
            name = f"model_{i}_{j}"
            functions[f"benchproj.models{i}.{name}"] = {
                "name": name, "module": f"benchproj.models{i}", "resolved_return_annotation": "sax.SDict",
                "parameter_defaults": {"wl": 1.55, "length": float(j), "mode": "te"}}
    lib_models = []
    while len(functions) < N_FUNCTIONS:
        k = len(functions)
        if len(lib_models) < N_REGISTERED * 2:
            module, annotation = f"lib.m{k % n_lib_modules}", "sax.SDict"
            lib_models.append((module, f"lib_model_{k}"))
            name = f"lib_model_{k}"
        else:
            module = rng.choice(list(modules))
            annotation = rng.choice(["pf.Component", "None", "dict[str, sax.SDict]", "float"])
            name = f"helper_{k}"
        functions[f"{module}.{name}"] = {"name": name, "module": module, "resolved_return_annotation": annotation,
                                         "parameter_defaults": {"x": 1}}
    pdk_models = {}
    for module, name in lib_models[:N_REGISTERED]:
        func = types.FunctionType(library_model.__code__, {}, name)
        pdk_models[f"pdk_{name}"] = functools.partial(func, length=2.0)
    graph = {"functions": functions, "modules": modules}
    pdk = FakePdk(pdk_models)
    return dict(
        get_pdk=lambda: pdk,
        ccg=Namespace(default_lib_paths=lambda: {"benchproj": root / "benchproj", "lib": lib}),
        generate_call_graph=lambda *, lib_paths: graph,
        get_project_name=lambda: "benchproj",
        get_project_dir=lambda: root,
        m=Namespace(ModelRecord=lambda **kw: kw),
    )


class RecordDouble:
    __slots__ = ("factory", "status", "message", "_source")

    def __init__(self, factory, source) -> None:
        self.factory, self.status, self.message, self._source = factory, "UNKNOWN", "", source

    def absolute_source(self):
        return self._source


def graph_names(model_names: list[str]) -> list[str]:
    """The factories, 100 to a file: every fifth is named like a model (the
    first of each file among them), so flags can climb from them."""
    models = iter(model_names)
    return [next(models) if k % 5 == 0 else f"cell_{k}" for k in range(N_NODES)]


def dependencies(names: list[str], k: int, rng: random.Random) -> list[str]:
    """Up to three factories of the same file, defined before factory k, that
    factory k is built from.  The first factory of a file (a model) and every
    tenth after the third are built from none: a plain leaf without a model stops
    the flags climbing past the factories built from it."""
    start = (k // 100) * 100
    if k == start or k % 10 == 3:
        return []
    return rng.sample(names[start:k], k=min(k - start, rng.randint(1, 3)))


def factory_graph(model_names: list[str]) -> nx.DiGraph:
    rng = random.Random(2)
    G = nx.DiGraph()
    names = graph_names(model_names)
    for k, name in enumerate(names):
        G.add_node(name, has_model=False)
        for dep in dependencies(names, k, rng):
            G.add_edge(name, dep)
    return G


def reset_flags(G: nx.DiGraph) -> None:
    for _, attrs in G.nodes(data=True):
        attrs["has_model"] = False


def registration_doubles(root: Path):
    per_file = N_MODELS // N_FILES
    records, modules, errors = {}, {}, {}
    for i in range(N_FILES):
        path = root / "benchproj" / f"models{i}.py"
        attrs = {}
        for j in range(per_file):
            name = f"model_{i}_{j}"
            records[name] = RecordDouble(name, path)
            attrs[name] = types.FunctionType(library_model.__code__, {}, name)
        attrs.update({f"helper_{k}": print for k in range(5)}, CONSTANT=1, __name__=f"benchproj.models{i}")
        if i < N_FAILED_FILES:
            errors[path] = (f"benchproj.models{i}", ImportError(f"no module named dep{i}"))
        else:
            module = types.ModuleType(f"benchproj.models{i}")
            module.__dict__.update(attrs)
            modules[path] = module
    pdk, base = FakePdk({}), FakePdk({f"base_{k}": print for k in range(20)})
    stored = list(records) + ["gone_1", "gone_2"]
    noop = lambda *a, **k: None  # noqa: E731
    doubles = dict(
        find_models=lambda: records,
        get_pdk=lambda: pdk,
        get_base_pdk=lambda: base,
        imports=Namespace(import_modules=lambda *, paths, reload, from_project: (modules, errors)),
        log=lambda: NULL_LOGGER,
        db=Namespace(set_all_factories_has_model=noop, add_models=noop, get_all_models=lambda: stored,
                     remove_models=noop, set_factories_has_model_by_names=noop),
    )
    return doubles, list(records)


# ---- the real host ------------------------------------------------------------------------


def generate_project(root: Path) -> None:
    """benchproj: N_MODELS models in N_FILES files, N_NODES cell factories in
    100 files calling each other, and helpers, N_FUNCTIONS functions in all."""
    pkg = root / "benchproj"
    pkg.mkdir(parents=True)
    (root / "pyproject.toml").write_text('[project]\nname = "benchproj"\n\n[tool.morvane]\npdk = "generic"\n')
    (pkg / "__init__.py").write_text("")
    per_file = N_MODELS // N_FILES
    for i in range(N_FILES):
        lines = ["from __future__ import annotations", "", "from typing import TYPE_CHECKING", "",
                 "if TYPE_CHECKING:", "    import sax", ""]
        if i < N_FAILED_FILES:
            lines += [f"import benchproj_missing_dependency_{i}", ""]
        for j in range(per_file):
            lines += [f"def model_{i}_{j}(*, wl: float = 1.55, length: float = {j}.0, mode: str = 'te') -> sax.SDict:",
                      "    return {}", ""]
        (pkg / f"models{i}.py").write_text("\n".join(lines))
    names = graph_names([f"model_{i}_{j}" for i in range(N_FILES) for j in range(per_file)])
    graph_rng = random.Random(2)  # the same graph as the doubles' factory_graph
    position = {name: k for k, name in enumerate(names)}
    for f in range(N_NODES // 100):
        defs, imported = [], {}
        for k in range(f * 100, (f + 1) * 100):
            deps = dependencies(names, k, graph_rng)
            for d in deps:
                if position[d] < f * 100:
                    imported.setdefault(position[d] // 100, set()).add(d)
            body = "".join(f"    c.add_ref({d}())\n" for d in deps)
            defs += ["@pf.cell", f"def {names[k]}() -> pf.Component:", "    c = pf.Component()", body + "    return c", ""]
        lines = ["import polyforge as pf", ""]
        lines += [f"from benchproj.cells{g} import {', '.join(sorted(imported[g]))}" for g in sorted(imported)]
        (pkg / f"cells{f}.py").write_text("\n".join(lines + [""] + defs))
    helpers = N_FUNCTIONS - N_MODELS - N_NODES
    per_helper_file = 400
    for h in range(0, helpers, per_helper_file):
        lines = [f"def helper_{k}(x: float = 1.0) -> float:\n    return x\n" for k in range(h, min(h + per_helper_file, helpers))]
        (pkg / f"helpers{h // per_helper_file}.py").write_text("\n".join(lines))


# ---- the runs -----------------------------------------------------------------------------


def run(quick: bool) -> None:
    repeat = 3 if quick else 10
    rows, profiles = [], []

    def row(label, call, per, repeat=repeat, memory_repeat=None):
        times = timed(call, repeat)
        growth = memory_growth(call, memory_repeat or max(3, repeat // 2))
        best, median = min(times), statistics.median(times)
        rows.append((label, best, median, median / per, growth))

    scratch = Path(tempfile.mkdtemp(prefix="bench-models-"))
    try:
        # 1. in-memory doubles
        root = scratch / "doubles" / "benchproj"
        mm.__dict__.update(discovery_doubles(root))
        assert len(mm.find_models()) == N_MODELS + N_REGISTERED
        row("find_models, doubles", mm.find_models, N_MODELS + N_REGISTERED)
        profiles += profile("find_models, doubles", mm.find_models)
        restore()

        doubles, names = registration_doubles(root)
        mm.__dict__.update(doubles)
        G = factory_graph(names)

        def register_with_doubles():
            reset_flags(G)
            return mm.register_models(G, reload=True)

        new, removed = register_with_doubles()
        assert len(new) == N_MODELS and removed == ["gone_1", "gone_2"]
        flagged = sum(1 for _, a in G.nodes(data=True) if a["has_model"])
        row("register_models, doubles", register_with_doubles, N_MODELS)
        profiles += profile(f"register_models, doubles ({flagged} of {N_NODES} nodes flagged)", mm.register_models, G,
                            reload=True, setup=lambda: reset_flags(G))

        restore()

        # 2. the real host
        project = scratch / "project"
        generate_project(project)
        os.environ["MORVANE_PROJECT_DIR"] = str(project)
        os.environ["MORVANE_DATABASE"] = str(scratch / "bench.db")
        os.environ.setdefault("MORVANE_LOG_LEVEL", "WARNING")
        sys.path.insert(0, str(project))
        from morvane import settings
        from morvane.core import callgraph, database

        settings.reset_settings()
        start = time.perf_counter()
        first = mm.find_models()
        cold = time.perf_counter() - start
        n_found = len(first)
        row("find_models, real host", mm.find_models, n_found, repeat=max(3, repeat // 2))
        profiles += profile("find_models, real host", mm.find_models)

        start = time.perf_counter()
        G = callgraph.create_callgraph()
        graph_time = time.perf_counter() - start

        def register_real():
            reset_flags(G)
            return mm.register_models(G, reload=True)

        start = time.perf_counter()
        new, removed = register_real()
        first_register = time.perf_counter() - start
        stored = database.get_all_model_records()
        errors = sum(1 for r in stored.values() if r.status == "ERROR")
        row("register_models, real host", register_real, len(new), repeat=max(3, repeat // 2), memory_repeat=3)
        profiles += profile("register_models, real host (reload=True)", mm.register_models, G, reload=True,
                            setup=lambda: reset_flags(G), top=12)
        flagged = sum(1 for _, a in G.nodes(data=True) if a["has_model"])
        notes = [
            f"real host: first find_models (parses every file) {cold * 1e3:.0f} ms; create_callgraph "
            f"{graph_time * 1e3:.0f} ms ({G.number_of_nodes()} nodes, {G.number_of_edges()} edges; not timed below)",
            f"real host: first register_models (imports every file) {first_register * 1e3:.0f} ms; "
            f"{len(new)} models, {errors} ERROR records, {len(G)} factories in the graph",
            f"real host: {flagged} of {len(G)} factories flagged in the graph (the database holds no factory rows "
            f"here: register_cells writes those)",
        ]
    finally:
        restore()
        shutil.rmtree(scratch, ignore_errors=True)

    print(f"{'workload':32} {'best ms':>9} {'median ms':>10} {'us/model':>9} {'mem/call':>10}")
    for label, best, median, per, growth in rows:
        print(f"{label:32} {best * 1e3:9.1f} {median * 1e3:10.1f} {per * 1e6:9.1f} {growth / 1024:8.1f} KiB")
    print()
    for line in notes:
        print(line)
    print()
    print("where the time goes: the calls the module makes, by cumulative time and share of the profiled call")
    print("(lazy.py __call__ is every call through a lazy proxy: log, natsorted, get_pdk, generate_call_graph, ...)")
    for line in profiles:
        print(line)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer repetitions")
    args = parser.parse_args(argv)
    print(f"Python {sys.version.split()[0]}; {N_FUNCTIONS} functions, {N_MODELS} models in {N_FILES} files, "
          f"{N_NODES} factories")
    run(args.quick)
    return 0


if __name__ == "__main__":
    sys.exit(main())
