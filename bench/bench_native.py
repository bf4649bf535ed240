"""Benchmark of the native functions' own work beside plain Python.

    scripts/run build/venv/bin/python bench/bench_native.py [--quick] [--repeat N]

Each native function of the pdk and models modules runs against in-memory
doubles beside a plain-Python rendering of the same algorithm, written here,
run against the very same doubles in the same process.  The doubles are made
cheap (a flat path type instead of pathlib, no natural sort, no JSON) so that
the times are mostly the functions' own.  The renderings' results are checked
against the native ones before anything is timed.

Workloads:
- _get_database_updates: a full pass over 10,000 records against 10,000
  stored ones (some changed, new, removed or failed), and the same with
  names that are not exact strs, which take the set operations as written
  instead of walking the dicts;
- the one-file pass: register_cells(paths=[one file]) on a 10,000-cell project
  of 1,000 files (driver, import, placeholders, discovery, database updates
  and the container clean-up); beside it, its collaborators' share alone
  (the doubles' calls and the records' reads, driven through builtins),
  which bounds the ratio any native pass can reach over these doubles;
- _clean_containers_also_in_cells: 10,000 cells and 10,000 containers sharing
  2,000 names;
- find_models: a call graph of 20,000 functions, 2,000 models; and the same
  with pathlib's own paths to files on disk (about 6 models a file, as in a
  project's model files): the sources shared by a module's records beside
  the steps as written for every record (a Path of another class);
- register_models without a graph: 2,000 models in 200 files;
- the has-model propagation of register_models on a 10,000-node chain and on
  a 10,000-node hierarchy of 7 levels: the one pass for networkx graphs beside
  the descendant sets of the steps as written (the written steps take about
  half a minute on the chain; --quick uses 2,000 nodes).

Prints one table: median time per call of each side and their ratio.
"""

from __future__ import annotations

import argparse
import copy
import functools
import gc
import itertools
import operator
import random
import statistics
import sys
import tempfile
import time
import types
from collections import defaultdict
from pathlib import Path

import networkx as nx

import morvane.core.models as mm
import morvane.core.pdk as mp

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
from doubles import Quiet  # noqa: E402

# ---- cheap doubles -----------------------------------------------------------------------


class FlatPath(str):
    """The part of pathlib the functions use, on plain strings, nothing
    resolved: hashed and compared as its text, at the speed of str."""

    __slots__ = ()

    def resolve(self) -> FlatPath:
        return self

    @property
    def parent(self) -> FlatPath:
        return FlatPath(self.rpartition("/")[0])

    @property
    def parts(self) -> tuple[str, ...]:
        return tuple(self.split("/"))

    @property
    def name(self) -> str:
        return self.rpartition("/")[2]

    def is_relative_to(self, other: str) -> bool:
        return self.startswith(other + "/")

    def relative_to(self, other: str, walk_up: bool = False) -> str:
        if self.is_relative_to(other):
            return self[len(other) + 1:]
        return "../" + self.lstrip("/")


QUIET = Quiet()


def log():
    return QUIET


class Pdk:
    def __init__(self, cells=None, containers=None, models=None) -> None:
        self.name = "bench"
        self.cells = {} if cells is None else cells
        self.containers = {} if containers is None else containers
        self.models = {} if models is None else models

    def activate(self) -> None:
        pass


# The records are namespaces, with absolute_source() a builtin: getting their
# attributes, calling that method and comparing two records run no Python
# code, so each costs the same from native code and from plain Python, and the
# times compare the functions' own work.  Records of one file share one
# absolute_source, so that equal records compare equal.
_SOURCES: dict = {}


def source_of(path):
    return _SOURCES.setdefault(path, itertools.repeat(path).__next__)


def Record(name, source, status="UNKNOWN", message="", path=None):  # noqa: N802
    """A factory record."""
    path = FlatPath(source) if path is None else path
    return types.SimpleNamespace(name=name, source=source, status=status, message=message,
                                 absolute_source=source_of(path))


def ModelRecord(factory, path):  # noqa: N802
    return types.SimpleNamespace(factory=factory, status="UNKNOWN", message="", absolute_source=source_of(path))


def noop(*args, **kwargs) -> None:
    pass


# ---- plain-Python renderings --------------------------------------------------------------
# Each follows the algorithm of the native function of the same name, with
# the collaborators looked up as globals; `plain()` gives them a namespace of
# their own holding the same doubles as the native module's.


def _get_database_updates(static_records, present_records, paths):
    new_record_names = set(static_records) - set(present_records)
    log().info(f"new factories: {sorted(new_record_names)}")
    new_records = [static_records[name] for name in new_record_names]
    updated_record_names = set(static_records) & set(present_records)
    updated_records = []
    for name in updated_record_names:
        if (static_records[name].source != present_records[name].source
                or static_records[name].absolute_source() in paths):
            updated_records.append(static_records[name])
            continue
        if static_records[name].status == "ERROR" or present_records[name].status == "ERROR":
            if static_records[name] != present_records[name]:
                updated_records.append(static_records[name])
            continue
        static_records[name].status = present_records[name].status
        static_records[name].message = present_records[name].message
        if static_records[name] == present_records[name]:
            continue
        updated_records.append(static_records[name])
    updated_record_names = {r.name for r in updated_records}
    log().info(f"updated factories: {sorted(updated_record_names)}")
    deleted_record_names = set(present_records) - set(static_records)
    log().info(f"removed factories: {sorted(deleted_record_names)}")
    add = sorted([*new_records, *updated_records], key=lambda r: r.name)
    remove = sorted(deleted_record_names)
    return add, remove


def _clean_containers_also_in_cells(pdk):
    name = settings.get_project_name()
    for k in list(pdk.containers):
        if k not in pdk.cells:
            continue
        container = pdk.containers[k]
        cell = pdk.cells[k]
        if container is cell:
            del pdk.cells[k]
        elif not (container_mod := getattr(container, "__module__", "")):
            del pdk.containers[k]
        elif not (cell_mod := getattr(cell, "__module__", "")):
            del pdk.cells[k]
        elif container_mod.startswith(f"{name}."):
            del pdk.cells[k]
        elif cell_mod.startswith(f"{name}."):
            del pdk.containers[k]
        elif k in pdk.containers and k in pdk.cells:
            del pdk.containers[k]


def _sort_paths(paths):
    def _sort_key(p):
        return len(p.parts), len(str(p)), str(p)

    return sorted((Path(p).resolve() for p in paths), key=_sort_key)


def _import_modules(static_records, paths, *, reload=True):
    _paths = list({r.absolute_source(): None for r in static_records.values()})
    if paths:
        _paths = [p for p in _paths if p in paths]
    modules, errors = imports.import_modules(paths=_sort_paths(_paths), reload=reload, from_project=False)
    modules = {k: v for k in _paths if (v := modules.get(k, None))}
    errors = {k: v for k in _paths if (v := errors.get(k, None))}
    return modules, errors


def _handle_import_errors(static_records, errors):
    error_cells, error_records = {}, {}
    static_records_by_path = defaultdict(list)
    for r in static_records.values():
        static_records_by_path[r.absolute_source()].append(r)
    for path, (modname, error) in errors.items():
        log().warning(f"{path.name}: {error}")
        try:
            regex_names = imports.get_cells_from_regex(path)
        except Exception:
            regex_names = []
        static_names = [r.name for r in static_records_by_path.get(path, [])]
        for name in {*regex_names, *static_names}:
            error_cells[name] = _error_cell(name, modname, error)
            record = static_records.get(name)
            if record is None:
                record = m.FactoryRecord(name=name, source=str(path), status="ERROR", message=str(error))
            else:
                record = deepcopy(record)
                record.status, record.message = "ERROR", str(error)
            error_records[name] = record
    return error_cells, error_records


def _find_cells(static_records, modules):
    new_cells = {}
    for name, static_record in static_records.items():
        if static_record.status != "UNKNOWN":
            continue
        path = static_record.absolute_source()
        mod = modules.get(path)
        if mod is None:
            extra, _ = imports.import_modules(paths=[path], reload=False, from_project=False)
            modules.update(extra)
            mod = extra.get(path)
            if mod is None:
                static_record.status = "ERROR"
                static_record.message = f"Module for cell '{static_record.name}' with path {path} not found."
                log().warning(static_record.message)
                new_cells[name] = _error_cell(name, path.name, ModuleNotFoundError(static_record.message))
                continue
        cell = getattr(mod, name, None)
        if cell is None:
            static_record.status = "ERROR"
            static_record.message = f"Cell '{static_record.name}' not found in '{path}'."
            log().warning(static_record.message)
            new_cells[name] = _error_cell(name, path.name, ImportError(static_record.message))
            continue
        new_cells[name] = cell
    return new_cells


def register_cells(*, paths=(), reload=True):
    paths = list(paths)
    pdk = get_pdk()
    G = cg.create_callgraph()
    static_records = cg.get_static_records(G, paths=paths)
    modules, errors = _import_modules(static_records, paths, reload=bool(reload))
    error_cells, error_records = _handle_import_errors(static_records, errors)
    static_records.update(error_records)
    new_cells = _find_cells(static_records, modules)
    pdk.cells.update(new_cells)
    pdk.cells.update(error_cells)
    if paths:
        present_records = db.get_factories_by_name(*static_records)
        for name, record in db.get_factories_by_source(*paths).items():
            if name not in present_records:
                present_records[name] = record
    else:
        present_records = db.get_all_factories()
    add, remove = _get_database_updates(static_records, present_records, paths)
    db.add_factories(*add)
    db.remove_factories(*remove)
    for name in remove:
        if name in pdk.cells:
            del pdk.cells[name]
    added = [r.name for r in add]
    if reload:
        register_models(G, reload=True)
    _clean_containers_also_in_cells(pdk)
    return added, remove


def _is_model(record):
    annot = str(record["resolved_return_annotation"]).upper()
    if record["name"] == "get_models" or record["name"].startswith("_"):
        return False
    if "DICT[STR" in annot:
        return False
    return any(word in annot for word in ("SDICT", "SDENSE", "SCOO", "STYPE"))


def _funcname(func):
    if isinstance(func, partial):
        return _funcname(func.func)
    return getattr(func, "__name__", None)


def _create_record(model_records, func):
    func_name = _funcname(func)
    if func_name is None or func_name not in model_records:
        return None
    record = deepcopy(model_records[func_name])
    keywords = func.keywords if isinstance(func, partial) else {}
    for k, v in keywords.items():
        record["parameter_defaults"][k] = v
    return record


def find_models(lib_paths=None):
    pdk = get_pdk()
    lib_paths = lib_paths or ccg.default_lib_paths()
    call_graph = generate_call_graph(lib_paths={k: str(v.resolve()) for k, v in lib_paths.items()})
    all_functions = call_graph["functions"]
    all_modules = call_graph["modules"]
    model_functions = {k: v for k, v in all_functions.items() if _is_model(v)}
    here = next((name for name in all_modules if name.startswith(get_project_name())), None)
    if here is None:
        return {}
    functions_here = {k.split(".")[-1]: v for k, v in model_functions.items() if v["module"].startswith(here)}
    functions_there = {k.split(".")[-1]: v for k, v in model_functions.items() if not v["module"].startswith(here)}
    model_records = {**functions_there, **functions_here}
    registered_records = {k: r for k, v in pdk.models.items() if (r := _create_record(model_records, v))}
    model_records = {**{k: v for k, v in model_records.items() if v["module"].startswith(here)},
                     **registered_records}
    pdk_path = Path(all_modules[here]["path"]).resolve().parent
    project_dir = get_project_dir().resolve()
    final_model_records = {}
    for k, v in model_records.items():
        if v is None:
            continue
        source = Path(all_modules[v["module"]]["path"]).resolve()
        pdk_type = "pdk" if source.is_relative_to(pdk_path) else "base_pdk"
        relsource = source.relative_to(project_dir, walk_up=True)
        final_model_records[k] = m.ModelRecord(factory=v["name"], settings=json.dumps(v["parameter_defaults"]),
                                               source=str(relsource), pdk_type=pdk_type)
    return final_model_records


def register_models(G=None, /, *, reload=True):
    reload = bool(reload)
    model_records = find_models()
    model_records_by_path = defaultdict(list)
    for r in model_records.values():
        model_records_by_path[r.absolute_source()].append(r)
    paths = natsorted({s for r in model_records.values() if (s := r.absolute_source()) is not None})
    pdk = get_pdk()
    base_pdk = get_base_pdk()
    modules, errors = imports.import_modules(paths=paths, reload=reload, from_project=False)
    log().debug(f"Found {len(errors)} errors")
    found, model_errors = set(), {}
    for path, (modname, error) in errors.items():
        log().debug(f"error={error!r}")
        for model_record in model_records_by_path.get(path, []):
            found.add(model_record.factory)
            model_errors[model_record.factory] = (modname, error)
    for model_name, (modname, error) in model_errors.items():
        if model_name in model_records:
            model_record = model_records[model_name]
            model_record.status = "ERROR"
            model_record.message = str(error)
            pdk.models[model_name] = _error_model(model_name, modname, error)
    for module in modules.values():
        for name, func in module.__dict__.items():
            if not callable(func) or name not in model_records:
                continue
            current = pdk.models.get(name)
            pdk.models[name] = _rebound(current, func) if isinstance(current, partial) else func
            found.add(name)
            model_record = model_records[name]
            model_record.status, model_record.message = "SUCCESS", ""
    for name in base_pdk.models:
        found.add(name)
        if name in model_records:
            model_records[name].status, model_records[name].message = "SUCCESS", ""
    db.set_all_factories_has_model(has_model=False)
    db.add_models(*model_records.values())
    not_found = (set(pdk.models) | set(db.get_all_models())) - found
    not_found -= {model_records[n].factory for n in found if n in model_records}
    db.remove_models(*not_found)
    _new, _del = natsorted(model_records), natsorted(not_found)
    log().info(f"new models: {_new}")
    log().info(f"removed models: {_del}")
    if _new and G is not None:
        for name in _new:
            if name in G.nodes:
                G.nodes[name]["has_model"] = True
        has_model = set()
        for name in nx.topological_sort(nx.reverse_view(G)):
            if G.nodes[name]["has_model"]:
                continue
            descendants = list(nx.descendants(G, name))
            G.nodes[name]["has_model"] = bool(descendants) and all(G.nodes[c]["has_model"] for c in descendants)
            if G.nodes[name]["has_model"]:
                has_model.add(name)
        db.set_factories_has_model_by_names(*has_model, has_model=True)
    return _new, _del


def _rebound(current, func):
    inner = current
    while isinstance(inner, partial):
        inner = inner.func
    if (getattr(inner, "__module__", None), getattr(inner, "__qualname__", None)) != (
            func.__module__, func.__qualname__):
        return func
    cls, args, (_, bound, keywords, attrs) = current.__reduce__()
    rebuilt = cls(*args)
    rebuilt.__setstate__((_rebound(current.func, func) if isinstance(current.func, partial) else func,
                          bound, keywords, attrs))
    return rebuilt


PDK_RENDERINGS = [_get_database_updates, _clean_containers_also_in_cells, _sort_paths, _import_modules,
                  _handle_import_errors, _find_cells, register_cells]
MODELS_RENDERINGS = [_is_model, _funcname, _create_record, find_models, register_models, _rebound]


def plain(renderings, doubles: dict) -> types.SimpleNamespace:
    """The renderings with a namespace of their own: the doubles, the standard
    names they use, and each other."""
    ns = {"__builtins__": __builtins__, "defaultdict": defaultdict, "deepcopy": copy.deepcopy,
          "partial": functools.partial, "Path": Path, "nx": nx, **doubles}
    made = {}
    for fn in renderings:
        made[fn.__name__] = g = types.FunctionType(fn.__code__, ns, fn.__name__, fn.__defaults__)
        g.__kwdefaults__ = fn.__kwdefaults__
    ns.update(made)
    ns.update(doubles)  # a double stands in for a rendering of the same name, as in the native module
    return types.SimpleNamespace(**made)


# ---- workloads ------------------------------------------------------------------------------

ROOT = "/bench/proj"


def updates_workload(n: int):
    """Records of a full pass and the stored ones: most equal (status and
    message differ now and then), some with a new source, some failed, some
    new and some removed."""
    rng = random.Random(3)
    static, present = {}, {}
    for i in range(n):
        name = f"c_{i:05d}"
        source = f"{ROOT}/cells_{i // 10:04d}.py"
        static[name] = Record(name, source)
        kind = rng.random()
        if kind < 0.01:
            continue  # new
        stored = Record(name, source, "SUCCESS", "")
        if kind < 0.02:
            stored.source = source + ".old"
        elif kind < 0.03:
            stored.status, stored.message = "ERROR", "old failure"
        elif kind < 0.05:
            stored.message = "stale message"
        present[name] = stored
    for i in range(n // 100):
        present[f"gone_{i:04d}"] = Record(f"gone_{i:04d}", f"{ROOT}/gone.py", "SUCCESS")

    def args():
        return ({k: Record(r.name, r.source, path=r.absolute_source()) for k, r in static.items()}, dict(present), [])

    return args


def cells_workload(files: int, per_file: int):
    """A project of files x per_file cells, all stored, and the doubles of a
    pass over one of its files."""
    by_path, modules = {}, {}
    for i in range(files):
        path = FlatPath(f"{ROOT}/pkg{i // 100:02d}/cells_{i:04d}.py")
        module = types.ModuleType(f"proj.pkg{i // 100:02d}.cells_{i:04d}")
        records = []
        for j in range(per_file):
            name = f"c_{i:04d}_{j}"
            setattr(module, name, types.FunctionType(noop.__code__, {}, name))
            records.append(Record(name, str(path), path=path))
        by_path[path], modules[path] = records, module
    rows = {r.name: Record(r.name, r.source, "SUCCESS", "", r.absolute_source()) for rs in by_path.values() for r in rs}
    cells = {r.name: getattr(modules[r.absolute_source()], r.name) for rs in by_path.values() for r in rs}
    containers = {"add_pads": len, "add_labels": len}
    the_pdk = Pdk(cells, containers)

    class Store:
        """The factory rows, stored as the records written (a pass never
        changes a stored record, only its own)."""

        @staticmethod
        def get_factories_by_name(*names):
            return {n: rows[n] for n in names if n in rows}

        @staticmethod
        def get_factories_by_source(*paths):
            return {r.name: rows[r.name] for p in paths for r in by_path.get(p, ()) if r.name in rows}

        @staticmethod
        def get_all_factories():
            return dict(rows)

        @staticmethod
        def add_factories(*records):
            rows.update((r.name, r) for r in records)

        @staticmethod
        def remove_factories(*names):
            for n in names:
                rows.pop(n, None)

    def get_static_records(G, *, paths):
        return {r.name: Record(r.name, r.source, path=r.absolute_source()) for p in paths for r in by_path[p]}

    def import_modules(*, paths, reload, from_project):
        return {p: modules[p] for p in paths}, {}

    doubles = dict(
        get_pdk=lambda: the_pdk, log=log, Path=FlatPath, db=Store,
        settings=types.SimpleNamespace(get_project_name=lambda: "proj"),
        cg=types.SimpleNamespace(create_callgraph=lambda: None, get_static_records=get_static_records),
        imports=types.SimpleNamespace(import_modules=import_modules, get_cells_from_regex=lambda p: []),
        register_models=noop, m=types.SimpleNamespace(FactoryRecord=Record),
    )
    one = list(by_path)[files // 2]
    return doubles, one, the_pdk


def collaborators_share(doubles: dict, one):
    """What any rendering of the one-file pass over these doubles must do:
    call them as the pass does and read, write and order its records as it
    does, driven through builtins (map, attrgetter, sorted) wherever the
    steps allow, with none of the pass's own bookkeeping.  Its time beside
    the plain rendering's bounds the ratio a native pass can reach."""
    get_pdk, cg, db, imports, log_ = (doubles[k] for k in ("get_pdk", "cg", "db", "imports", "log"))
    call, name_of, source_of_, status_of = (operator.call, operator.attrgetter("name"),
                                            operator.attrgetter("source"), operator.attrgetter("status"))

    def share():
        paths = [one]
        pdk = get_pdk()
        static_records = cg.get_static_records(cg.create_callgraph(), paths=paths)
        records = list(static_records.values())
        calls = list(map(operator.attrgetter("absolute_source"), records))
        list(map(call, calls))  # the files to import
        modules, _ = imports.import_modules(paths=paths, reload=True, from_project=False)
        list(map(call, calls))  # grouped by file for the import errors
        list(map(status_of, records))
        list(map(call, calls))  # each record's module
        module = modules[one]
        pdk.cells.update(zip(static_records, map(getattr, itertools.repeat(module), static_records)))
        present = db.get_factories_by_name(*static_records)
        db.get_factories_by_source(*paths)
        list(map(source_of_, records))
        list(map(source_of_, present.values()))
        list(map(call, calls))  # a file the caller named
        for label, names in (("new factories: ", ()), ("updated factories: ", static_records), ("removed factories: ", ())):
            log_().info(label + str(sorted(names)))
        add = sorted(records, key=name_of)
        db.add_factories(*add)
        db.remove_factories()
        return list(map(name_of, add)), []

    return share


def containers_workload(n: int, shared: int):
    """cells and containers of n names each, `shared` of them in both, spread
    over the six rules."""
    def function(name, module):
        f = types.FunctionType(noop.__code__, {}, name)
        f.__module__ = module
        return f

    cells = {f"cell_{i}": function(f"cell_{i}", "lib.cells") for i in range(n - shared)}
    containers = {f"box_{i}": function(f"box_{i}", "lib.boxes") for i in range(n - shared)}
    modules = [("proj.a", "lib.x"), ("lib.x", "proj.a"), ("lib.x", "lib.y"), ("", "lib.y"), ("lib.x", None),
               ("proj", "lib.y")]
    for i in range(shared):
        name = f"both_{i}"
        if i % 7 == 6:
            cells[name] = containers[name] = function(name, "proj.a")
            continue
        container_mod, cell_mod = modules[i % 6]
        containers[name], cells[name] = function(name, container_mod), function(name, cell_mod)

    def args():
        return (Pdk(dict(cells), dict(containers)),)

    return args, dict(settings=types.SimpleNamespace(get_project_name=lambda: "proj"))


def discovery_workload(n_functions: int, n_models: int, files: int, registered: int):
    rng = random.Random(1)
    functions, modules = {}, {}
    modules["proj"] = {"path": f"{ROOT}/proj/__init__.py"}
    for i in range(20):
        modules[f"lib.m{i}"] = {"path": f"/site/lib/m{i}.py"}
    for i in range(files):
        modules[f"proj.models{i}"] = {"path": f"{ROOT}/proj/models{i}.py"}
    for i in range(files):
        for j in range(n_models // files):
            name = f"model_{i}_{j}"
            functions[f"proj.models{i}.{name}"] = {
                "name": name, "module": f"proj.models{i}", "resolved_return_annotation": "sax.SDict",
                "parameter_defaults": {"wl": 1.55, "length": float(j)}}
    lib_models = []
    while len(functions) < n_functions:
        k = len(functions)
        if len(lib_models) < registered:
            module, annotation, name = f"lib.m{k % 20}", "sax.SDict", f"lib_model_{k}"
            lib_models.append(name)
        else:
            module = rng.choice(list(modules))
            annotation = rng.choice(["pf.Component", "None", "dict[str, sax.SDict]", "float"])
            name = f"helper_{k}"
        functions[f"{module}.{name}"] = {"name": name, "module": module, "resolved_return_annotation": annotation,
                                         "parameter_defaults": {"x": 1}}
    pdk_models = {}
    for name in lib_models:
        pdk_models[f"pdk_{name}"] = functools.partial(types.FunctionType(noop.__code__, {}, name), length=2.0)
    graph = {"functions": functions, "modules": modules}
    the_pdk = Pdk(models=pdk_models)
    return dict(
        get_pdk=lambda: the_pdk, Path=FlatPath, json=types.SimpleNamespace(dumps=len),
        ccg=types.SimpleNamespace(default_lib_paths=lambda: {"proj": FlatPath(f"{ROOT}/proj"),
                                                             "lib": FlatPath("/site/lib")}),
        generate_call_graph=lambda *, lib_paths: graph,
        get_project_name=lambda: "proj", get_project_dir=lambda: FlatPath(ROOT),
        m=types.SimpleNamespace(ModelRecord=lambda **kw: kw),
    )


class AsWrittenPath(type(Path())):
    """pathlib's path under another class: find_models takes its steps for
    every record."""

    __slots__ = ()


def disk_discovery_workload(root: Path, n_models: int, per_file: int):
    """Model functions in files under root/proj/proj, a few library ones under
    root/site/lib that the PDK registers; each module's file exists."""
    functions, modules = {}, {}
    (root / "proj" / "proj").mkdir(parents=True)
    (root / "site" / "lib").mkdir(parents=True)
    modules["proj"] = {"path": str(root / "proj" / "proj" / "__init__.py")}
    modules["lib.models"] = {"path": str(root / "site" / "lib" / "models.py")}
    for i in range(n_models // per_file):
        modules[f"proj.models{i}"] = {"path": str(root / "proj" / "proj" / f"models{i}.py")}
        for j in range(per_file):
            name = f"model_{i}_{j}"
            functions[f"proj.models{i}.{name}"] = {"name": name, "module": f"proj.models{i}",
                                                   "resolved_return_annotation": "sax.SDict",
                                                   "parameter_defaults": {"wl": 1.55}}
    pdk_models = {}
    for k in range(20):
        name = f"lib_model_{k}"
        functions[f"lib.models.{name}"] = {"name": name, "module": "lib.models",
                                           "resolved_return_annotation": "sax.SDict", "parameter_defaults": {}}
        pdk_models[f"pdk_{name}"] = types.FunctionType(noop.__code__, {}, name)
    for module in modules.values():
        Path(module["path"]).write_text("")
    graph = {"functions": functions, "modules": modules}
    the_pdk = Pdk(models=pdk_models)
    return dict(
        get_pdk=lambda: the_pdk, Path=Path, json=types.SimpleNamespace(dumps=len),
        ccg=types.SimpleNamespace(default_lib_paths=lambda: {"proj": root / "proj" / "proj"}),
        generate_call_graph=lambda *, lib_paths: graph,
        get_project_name=lambda: "proj", get_project_dir=lambda: root / "proj",
        m=types.SimpleNamespace(ModelRecord=lambda **kw: kw),
    )


def models_workload(n_models: int, files: int):
    records, modules = {}, {}
    for i in range(files):
        path = FlatPath(f"{ROOT}/proj/models{i}.py")
        module = types.ModuleType(f"proj.models{i}")
        module.helper = noop
        module.CONSTANT = 1.0
        for j in range(n_models // files):
            name = f"model_{i}_{j}"
            setattr(module, name, types.FunctionType(noop.__code__, {}, name))
            records[name] = ModelRecord(name, path)
        modules[path] = module
    failed = FlatPath(f"{ROOT}/proj/failed.py")
    for j in range(5):
        records[f"failed_{j}"] = ModelRecord(f"failed_{j}", failed)
    errors = {failed: ("proj.failed", ImportError("no module named x"))}
    the_pdk = Pdk(models={"base_model": noop})
    base = Pdk(models={"base_model": noop})
    stored = list(records)[: n_models // 2] + ["stale_a", "stale_b"]
    return dict(
        find_models=lambda: records, natsorted=sorted, get_pdk=lambda: the_pdk, get_base_pdk=lambda: base,
        imports=types.SimpleNamespace(import_modules=lambda **kw: (modules, errors)), log=log,
        db=types.SimpleNamespace(set_all_factories_has_model=noop, add_models=noop, get_all_models=lambda: stored,
                                 remove_models=noop, set_factories_has_model_by_names=noop),
    )


def chain(n: int) -> nx.DiGraph:
    G = nx.DiGraph()
    G.add_nodes_from((f"n{i}" for i in range(n)), has_model=False)
    G.add_edges_from((f"n{i + 1}", f"n{i}") for i in range(n - 1))
    return G


def hierarchy(n: int, levels: int = 7) -> nx.DiGraph:
    """levels of factories, each built from 2 to 5 of the level below; 60 % of
    the leaves are model names."""
    rng = random.Random(4)
    weights = [2 ** (levels - k) for k in range(levels)]
    sizes = [max(5, n * w // sum(weights)) for w in weights]
    G = nx.DiGraph()
    below: list[str] = []
    for level, size in enumerate(sizes):
        names = [f"l{level}_{i}" for i in range(size)]
        G.add_nodes_from(names, has_model=False)
        for name in names:
            if below:
                G.add_edges_from((name, c) for c in rng.sample(below, rng.randint(2, 5)))
        below = names
    return G


def propagation_doubles(models: list[str]) -> dict:
    records = {m: ModelRecord(m, None) for m in models}
    return dict(
        find_models=lambda: records, natsorted=sorted, get_pdk=lambda: Pdk(), get_base_pdk=lambda: Pdk(), log=log,
        imports=types.SimpleNamespace(import_modules=lambda **kw: ({}, {})),
        db=types.SimpleNamespace(set_all_factories_has_model=noop, add_models=noop, get_all_models=lambda: [],
                                 remove_models=noop, set_factories_has_model_by_names=noop),
    )


# ---- measuring --------------------------------------------------------------------------------


def sample(call, setup=None, number: int = 1) -> float:
    """Time of one call, the mean of `number` calls (calls that need a fresh
    setup are timed one at a time)."""
    args = setup() if setup is not None else ()
    gc.collect()
    gc.disable()  # the collector's pauses belong to no side
    try:
        start = time.perf_counter()
        for _ in range(number):
            call(*args)
        return (time.perf_counter() - start) / number
    finally:
        gc.enable()


def median_time(call, repeat: int, setup=None, number: int = 1) -> float:
    """Median time of one call over `repeat` samples."""
    return statistics.median(sample(call, setup, number) for _ in range(repeat))


def median_times(a, b, repeat: int, setup=None, number: int = 1) -> tuple[float, float]:
    """Median times of two calls over `repeat` samples each, taken in turn,
    so that the load the machine's other work puts on it weighs on both."""
    times_a, times_b = [], []
    for _ in range(repeat):
        times_a.append(sample(a, setup, number))
        times_b.append(sample(b, setup, number))
    return statistics.median(times_a), statistics.median(times_b)


def with_globals(module, values: dict):
    """Binds `values` as the module's globals until the returned undo is called."""
    missing = object()
    saved = {k: vars(module).get(k, missing) for k in values}
    vars(module).update(values)

    def undo():
        for k, v in saved.items():
            if v is missing:
                vars(module).pop(k, None)
            else:
                vars(module)[k] = v

    return undo


def fmt(seconds: float) -> str:
    if seconds >= 1:
        return f"{seconds:.2f} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.2f} ms"
    return f"{seconds * 1e6:.1f} us"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="smaller workloads, fewer repeats")
    parser.add_argument("--repeat", type=int, default=None, help="calls per side (median taken)")
    parser.add_argument("-k", dest="keyword", default="", help="only the rows whose label contains KEYWORD")
    args = parser.parse_args()

    def wanted(label: str) -> bool:
        return args.keyword in label
    repeat = args.repeat or (5 if args.quick else 21)
    scale = 5 if args.quick else 1
    rows = []

    def side_by_side(label, module, renderings, doubles, native, rendered, setup=None, times=repeat, number=1):
        """Both sides against the same doubles; their results must agree."""
        if not wanted(label):
            return
        undo = with_globals(module, doubles)
        try:
            made = plain(renderings, {"log": log, **doubles})
            ours = getattr(made, rendered) if isinstance(rendered, str) else rendered(made)
            setup = setup or (lambda: ())
            a, b = native(*setup()), ours(*setup())
            assert a == b, f"{label}: results differ"
            t_native, t_plain = median_times(native, ours, times, setup, number)
        finally:
            undo()
        rows.append((label, fmt(t_native), fmt(t_plain), f"{t_native / t_plain:.2f}"))
        print(f"  {label}: done", file=sys.stderr)

    updates = updates_workload(10_000 // scale)
    side_by_side("_get_database_updates, full pass (10,000 records)", mp, PDK_RENDERINGS, {"log": log},
                 mp._get_database_updates, "_get_database_updates", updates)

    class Name(str):
        """A name that is not an exact str: the set operations as written."""

        __slots__ = ()

    def updates_as_written():
        static, present, paths = updates()
        return ({Name(k): v for k, v in static.items()}, {Name(k): v for k, v in present.items()}, paths)

    side_by_side("_get_database_updates, the same, names not exact strs (as written)", mp, PDK_RENDERINGS,
                 {"log": log}, mp._get_database_updates, "_get_database_updates", updates_as_written)

    doubles, one, _ = cells_workload(1000 // scale, 10)
    doubles = {**doubles, "_error_cell": mp._error_cell, "deepcopy": copy.deepcopy}
    side_by_side("register_cells, one file of 10 (10,000 cells)", mp, PDK_RENDERINGS, doubles,
                 lambda: mp.register_cells(paths=[one]), lambda made: lambda: made.register_cells(paths=[one]),
                 number=100)
    side_by_side("register_cells, one file: its collaborators' share alone", mp, PDK_RENDERINGS, doubles,
                 collaborators_share(doubles, one), lambda made: lambda: made.register_cells(paths=[one]),
                 number=100)

    containers, settings_double = containers_workload(10_000 // scale, 2_000 // scale)

    def clean(function):
        def run(pdk):
            function(pdk)
            return list(pdk.cells), list(pdk.containers)

        return run

    label = "_clean_containers_also_in_cells (10,000 + 10,000, 2,000 shared)"
    if wanted(label):
        undo = with_globals(mp, settings_double)
        ours = plain(PDK_RENDERINGS, {"log": log, **settings_double})
        (a,), (b,) = containers(), containers()
        assert clean(mp._clean_containers_also_in_cells)(a) == clean(ours._clean_containers_also_in_cells)(b)
        t_native, t_plain = median_times(mp._clean_containers_also_in_cells, ours._clean_containers_also_in_cells,
                                         repeat, containers)
        undo()
        rows.append((label, fmt(t_native), fmt(t_plain), f"{t_native / t_plain:.2f}"))

    discovery = discovery_workload(20_000 // scale, 2_000 // scale, 200 // scale, 50)
    side_by_side("find_models (20,000 functions, 2,000 models)", mm, MODELS_RENDERINGS, discovery,
                 mm.find_models, "find_models")

    label = "find_models, pathlib's paths on disk (2,000 models, 6 a file)"
    if wanted(label):
        with tempfile.TemporaryDirectory() as tmp:
            undo = with_globals(mm, disk_discovery_workload(Path(tmp).resolve(), 2_000 // scale, 6))
            def under(path_type):
                def run():
                    vars(mm)["Path"] = path_type
                    return mm.find_models()

                return run

            try:
                assert under(Path)() == under(AsWrittenPath)(), f"{label}: results differ"
                t_shared, t_literal = median_times(under(Path), under(AsWrittenPath), repeat)
            finally:
                undo()
        rows.append((label, fmt(t_shared), fmt(t_literal), f"{t_shared / t_literal:.2f}"))
        print(f"  {label}: done", file=sys.stderr)

    models = models_workload(2_000 // scale, 200 // scale)
    side_by_side("register_models, no graph (2,000 models in 200 files)", mm, MODELS_RENDERINGS,
                 {**models, "_error_model": mm._error_model}, mm.register_models, "register_models")

    # The has-model propagation: the same native function, networkx itself
    # (the one pass) beside networkx's descendants behind a stand-in, which
    # the pass must call (the steps as written).
    written = types.SimpleNamespace(reverse_view=nx.reverse_view, topological_sort=nx.topological_sort,
                                    descendants=lambda G, name: nx.descendants(G, name))
    n_chain = 2_000 if args.quick else 10_000
    for label, G, models_, literal_repeat in [
        (f"propagation, {n_chain:,}-node chain", chain(n_chain), ["n0"], 1),
        ("propagation, 10,000-node hierarchy of 7 levels", hierarchy(10_000), None, 3),
    ]:
        if not wanted(label):
            continue
        if models_ is None:
            leaves = [n for n in G if G.out_degree(n) == 0]
            models_ = random.Random(5).sample(leaves, k=len(leaves) * 6 // 10)
        initial = {n: False for n in G}

        def reset(G=G, initial=initial):
            for n, flag in initial.items():
                G.nodes[n]["has_model"] = flag
            return (G,)

        undo = with_globals(mm, {**propagation_doubles(models_), "nx": mm.nx})
        try:
            t_fast = median_time(lambda G: mm.register_models(G), repeat, reset)
            fast_flags = dict(G.nodes(data="has_model"))
            vars(mm)["nx"] = written
            t_literal = median_time(lambda G: mm.register_models(G), literal_repeat, reset)
            assert dict(G.nodes(data="has_model")) == fast_flags, "the two paths disagree"
        finally:
            undo()
        rows.append((label, fmt(t_fast), fmt(t_literal), f"{t_fast / t_literal:.4f}"))
        print(f"  {label}: done", file=sys.stderr)

    header = ("function (workload)", "native", "plain Python / as written", "ratio")
    widths = [max(len(r[i]) for r in [header, *rows]) for i in range(4)]
    for row in [header, tuple("-" * w for w in widths), *rows]:
        print("  ".join(c.ljust(w) if i == 0 else c.rjust(w) for i, (c, w) in enumerate(zip(row, widths))))
    print(f"\nmedian of {repeat} calls per side (one-file pass: {repeat} samples of 100 calls); propagation rows: the one pass "
          "for a networkx DiGraph beside the per-node descendant sets of the steps as written; find_models on "
          "disk: pathlib's own Path beside a Path of another class")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
