"""The project's call graph of cell factories, read from the source files without importing them.

Project files
    Every ``.py`` file under the project directory, skipping hidden
    directories, ``__pycache__``, build and distribution directories,
    ``*.egg-info``, ``node_modules``, ``site-packages`` and virtual
    environments. A file's module name is its dotted path relative to the
    project directory (``demo/cells/wg.py`` is ``demo.cells.wg``, a package's
    ``__init__.py`` is the package).

What counts as a factory
    A module-level function (also one defined inside a module-level ``if``,
    ``try`` or ``with`` block, but not a method or a nested function)
    decorated with polyforge's cell decorator, with or without call
    parentheses, in any of these spellings:

    - ``@pf.cell`` / ``@pf.cell()`` after ``import polyforge as pf``
      (any alias), and ``@polyforge.cell`` after ``import polyforge``;
    - ``@cell`` / ``@cell()`` after ``from polyforge import cell``, also
      under another name (``from polyforge import cell as c``) or through
      ``from polyforge import *``;
    - any import path inside polyforge that ends in ``.cell``.

    Objects built otherwise (``functools.partial``, assignments, methods) are
    not factories. The node name is the function's name; names are global
    (the PDK has one registry), so a name defined in two files is kept from
    the first file in the order above and a warning is logged.

Edges
    ``A -> B`` when the body or the parameter defaults of factory ``A``
    (nested functions included) call factory ``B``: as a bare name ``B(...)``
    (defined in the same file or imported from a project module, under any
    alias), or as ``mod.B(...)`` / ``pkg.mod.B(...)`` where ``mod`` is bound by
    an import of a project module. A name imported from outside the project
    (polyforge's own ``straight``, say) is no edge even when a project
    factory has the same name. A factory calling itself adds no edge, and an
    edge that would close a cycle (mutually recursive factories) is left
    out, so the graph is always acyclic.

Node attributes
    ``has_model`` (``False`` as built), ``source`` (the file, relative to the
    project directory, in POSIX form) and ``module`` (its dotted module name).

Graph attributes
    ``dependency_order`` (:data:`DEPENDENCY_ORDER`): every factory, each
    after all the factories it calls, as a tuple; what
    ``nx.topological_sort(nx.reverse_view(G))`` gives for the graph as
    handed out. It is worked out again only when the nodes or edges change,
    and is stale once a caller changes them.

Files that do not parse
    Their factory names come from the importer's regular-expression scan
    (:func:`scan_cell_names`) and become nodes
    without edges, so that a syntax error turns the file's cells into error
    cells during registration instead of making them disappear.

Every result is a query of the engine (:mod:`morvane.core.engine`): each
file's analysis is kept while the file is unchanged, the table of nodes and
edges while every file's factories and calls are, and the graph handed out
is one object, brought up to date in place, so a pass over one saved file
parses that file only.
"""

from __future__ import annotations

import ast
import os
import re
import unicodedata
from pathlib import Path
from typing import TYPE_CHECKING, Any, NamedTuple, cast

import networkx as nx

from morvane import morvane as _functions  # noqa: F401  (its analysis shares our parse)
from morvane.core import _bytecode, _pysource, store
from morvane.core.engine import session

if TYPE_CHECKING:
    from collections.abc import Iterable

    from morvane.models import FactoryRecord

__all__ = ["create_callgraph", "get_static_records", "kept_elsewhere", "factory_names",
           "default_lib_paths", "importers_of", "imported_modules", "scan_cell_names", "import_fingerprint",
           "import_graph"]

GENERIC_PDK_NAMES = ("generic", "gpdk")


class _Factory(NamedTuple):
    name: str
    # (called name, top-level package it was imported from, or None when the
    # name is not bound by an import)
    callees: tuple[tuple[str, str | None], ...]


class _FileInfo(NamedTuple):
    parsed: bool
    factories: tuple[_Factory, ...]


# --------------------------------------------------------------------------
# Per-file analysis
# --------------------------------------------------------------------------


def _is_cell_decorator(dotted: str | None) -> bool:
    if dotted is None:
        return False
    return dotted == "polyforge.cell" or (dotted.startswith("polyforge.") and dotted.endswith(".cell"))


def _decorator_target(node: ast.expr, aliases: _pysource.Aliases) -> str | None:
    if isinstance(node, ast.Call):
        node = node.func
    written = _pysource.dotted_name(node)
    if written is None:
        return None
    resolved = _pysource.resolve_dotted(written, aliases)
    if resolved is None and "." not in written:
        # A bare name from a star import of polyforge.
        for base in aliases.star:
            if _is_cell_decorator(f"{base}.{written}"):
                return f"{base}.{written}"
    return resolved


def _callees(func: ast.FunctionDef | ast.AsyncFunctionDef,
             aliases: _pysource.Aliases) -> tuple[tuple[str, str | None], ...]:
    seen: dict[tuple[str, str | None], None] = {}
    roots: list[ast.AST] = [*func.body, *func.args.defaults,
                            *(d for d in func.args.kw_defaults if d is not None)]
    for root in roots:
        for node in _pysource.walk(root):
            if not isinstance(node, ast.Call):
                continue
            written = _pysource.dotted_name(node.func)
            if written is None:
                continue
            resolved = _pysource.resolve_dotted(written, aliases)
            if "." not in written:
                if resolved is None:
                    seen[(written, None)] = None
                else:
                    seen[(resolved.rsplit(".", 1)[-1], resolved.split(".")[0])] = None
            elif resolved is not None:
                # mod.attr(...) with mod bound by an import; a local variable's
                # method calls (resolved is None) are not factory calls.
                seen[(resolved.rsplit(".", 1)[-1], resolved.split(".")[0])] = None
    return tuple(seen)


def _regex_names(path: Path) -> tuple[_Factory, ...]:
    try:
        names = scan_cell_names(path)
        found = dict.fromkeys(n for n in names if isinstance(n, str) and n.isidentifier())
    except Exception:  # an unreadable file has no names to offer
        return ()
    return tuple(_Factory(n, ()) for n in found)


def _analyse(path: Path, tree: ast.Module | None, module: str, is_package: bool) -> _FileInfo:
    if tree is None:
        return _FileInfo(False, _regex_names(path))
    aliases = _pysource.import_aliases(tree, module, is_package)
    factories: dict[str, _Factory] = {}
    for func in _pysource.module_functions(tree):
        if any(_is_cell_decorator(_decorator_target(d, aliases)) for d in func.decorator_list):
            # A later definition of the same name replaces the earlier one, as at run time.
            factories.pop(func.name, None)
            factories[func.name] = _Factory(func.name, _callees(func, aliases))
        else:
            factories.pop(func.name, None)
    return _FileInfo(True, tuple(factories.values()))


def _project_dir() -> Path:
    from morvane import settings

    return session.resolved(session.per_pass(settings.get_project_dir))


def _log() -> Any:
    from morvane.logger import get_logger

    return get_logger()


# --------------------------------------------------------------------------
# Queries (see morvane.core.engine): each a plain function of its arguments
# and of what it reads through the session
# --------------------------------------------------------------------------


class _Files(NamedTuple):
    """The project's files as listed, and what follows from their paths alone."""

    listing: tuple[Path, ...]
    unreadable: tuple[Path, ...]  # folders that could not be listed
    # (path, its text, source relative to the project directory, module name, is a package)
    entries: tuple[tuple[Path, str, str, str, bool], ...]
    module_of: dict[Path, str]
    order: dict[Path, int]  # the position of each path in the listing


def _project_files(root: str) -> _Files:
    listing, unreadable = session.listing(root)
    prefix = len(root.rstrip(os.sep) + os.sep)
    entries = []
    for path in listing:
        text = str(path)
        source = text[prefix:].replace(os.sep, "/")
        entries.append((path, text, source, _pysource.module_name(source.split("/")), path.name == "__init__.py"))
    return _Files(listing, unreadable, tuple(entries), {e[0]: e[3] for e in entries},
                  {p: i for i, p in enumerate(listing)})


def _scanned(root: str) -> tuple[tuple[str, str, _FileInfo], ...]:
    """(source, module, factories) of every listed file, in file order."""
    files = session.query(_project_files, root)
    return tuple((source, module, session.analysed("factories", text, module, is_package))
                 for _, text, source, module, is_package in files.entries)


class _Table(NamedTuple):
    """The graph's content: nodes in file order, acyclic edges, and the
    warnings about names defined twice."""

    nodes: dict[str, tuple[str, str]]  # factory name -> (source, module) of the definition kept
    succ: dict[str, list[str]]  # factory name -> callees, in edge order
    duplicates: tuple[str, ...]


def _table(root: str) -> _Table:
    return _table_of(session.query(_scanned, root))


def _table_of(scanned: Iterable[tuple[str, str, _FileInfo]]) -> _Table:
    scanned = list(scanned)
    nodes: dict[str, tuple[str, str]] = {}
    for source, module, info in scanned:
        for factory in info.factories:
            if factory.name not in nodes:
                nodes[factory.name] = (source, module)
    roots = {module.split(".")[0] for _, module, _ in scanned if module}
    edges: list[tuple[str, str]] = []
    duplicates = []
    for source, _, info in scanned:
        for factory in info.factories:
            first = nodes[factory.name][0]
            if first != source:
                duplicates.append(f"factory '{factory.name}' of {source} is also defined in {first}; "
                                  f"keeping the one of {first}")
                continue  # the duplicate that was not kept
            for callee, origin in factory.callees:
                if callee != factory.name and callee in nodes and (origin is None or origin in roots):
                    edges.append((factory.name, callee))
    return _Table(nodes, _acyclic(edges), tuple(duplicates))


def _acyclic(edges: list[tuple[str, str]]) -> dict[str, list[str]]:
    """The edges by caller; an edge that would close a cycle (mutually
    recursive factories) is left out, in edge order."""
    succ: dict[str, list[str]] = {}
    for u, v in edges:
        succ.setdefault(u, []).append(v)
    if _is_acyclic(succ):
        return succ
    G = nx.DiGraph()
    for u, v in edges:
        if G.has_node(u) and G.has_node(v) and nx.has_path(G, v, u):
            _log().debug(f"call graph: left out {u} -> {v}, which would close a cycle")
            continue
        G.add_edge(u, v)
    kept: dict[str, list[str]] = {}
    for u, v in G.edges:
        kept.setdefault(u, []).append(v)
    return {u: kept[u] for u in succ if u in kept}


def _is_acyclic(succ: dict[str, list[str]]) -> bool:
    """Kahn's algorithm over the edges ``succ``."""
    indegree: dict[str, int] = dict.fromkeys(succ, 0)
    for callees in succ.values():
        for v in callees:
            indegree[v] = indegree.get(v, 0) + 1
    ready = [n for n, d in indegree.items() if d == 0]
    seen = 0
    while ready:
        n = ready.pop()
        seen += 1
        for m in succ.get(n, ()):
            indegree[m] -= 1
            if indegree[m] == 0:
                ready.append(m)
    return seen == len(indegree)


def _importers(root: str) -> dict[str, tuple[Path, ...]]:
    """Module name -> the project files that import it, in file order."""
    files = session.query(_project_files, root)
    importers: dict[str, list[Path]] = {}
    for path, text, _, module, is_package in files.entries:
        for name in session.analysed("imports", text, module, is_package):
            if name != module:
                importers.setdefault(name, []).append(path)
    return {name: tuple(paths) for name, paths in importers.items()}


# --------------------------------------------------------------------------
# Public API
# --------------------------------------------------------------------------


def _current_table(root: Path) -> _Table:
    """The table of the project's files as this pass finds them. Files in
    folders that cannot be listed keep the factories the database holds for
    them, so that importing them fails and they become error cells instead
    of vanishing."""
    text = str(root)
    files = session.query(_project_files, text)
    if not files.unreadable:
        return cast(_Table, session.query(_table, text))
    return _table_of([*session.query(_scanned, text), *_stored_under(list(files.unreadable))])


def _stored_under(folders: list[Path]) -> list[tuple[str, str, _FileInfo]]:
    from morvane.core import database

    by_source: dict[str, list[str]] = {}
    for name, record in database.get_factories_in(*folders).items():
        by_source.setdefault(record.source, []).append(name)
    return [
        (source, _pysource.module_name(source.split("/")), _FileInfo(False, tuple(_Factory(n, ()) for n in names)))
        for source, names in by_source.items()
    ]


DEPENDENCY_ORDER = "dependency_order"


class _Handed(NamedTuple):
    """The graph handed out, what it holds, and its dependency order."""

    root: Path
    table: _Table
    graph: nx.DiGraph
    order: tuple[str, ...]


def create_callgraph() -> nx.DiGraph:
    """The project's factories and who calls whom (see the module docstring).

    Every call hands out the same graph object, brought up to date with the
    files as they are now: the nodes and edges of changed files are applied
    to it, and every has-model flag is cleared. A caller may change the
    has-model flags; anything else it changes makes the next call build a
    new graph. The graph attribute ``dependency_order`` lists the factories
    in dependency order (see the module docstring)."""
    with session.one_pass():
        root = _project_dir()
        table = _current_table(root)
        for message in table.duplicates:
            _log().warning(message)
        handed = session.graph
        if handed is None or handed.root != root or not _holds(handed.graph, handed.table):
            G = _new_graph(table)
            order = _dependency_order(G)
        else:
            G = handed.graph
            order = handed.order
            if handed.table is not table:
                _apply(G, handed.table, table)
                if not _same_shape(handed.table, table):
                    order = _dependency_order(G)
            for _, data in G.nodes(data=True):
                data["has_model"] = False
        G.graph[DEPENDENCY_ORDER] = order
        if handed is None or handed.root != root or handed.table.nodes.keys() != table.nodes.keys():
            _forget_unlisted(root)
        if session.store is not None and (handed is None or handed.table is not table):
            # What ``show`` answers from in a later process.
            session.store.keep_value(store.graph_key(root), {n: table.succ.get(n, []) for n in table.nodes})
        session.graph = _Handed(root, table, G, order)
        return G


def _dependency_order(G: nx.DiGraph) -> tuple[str, ...]:
    return tuple(nx.topological_sort(nx.reverse_view(G)))


def _same_shape(old: _Table, new: _Table) -> bool:
    """Whether the two tables have the same nodes and edges, so that
    :func:`_apply` left the graph's order of nodes and edges as it was."""
    return old.nodes.keys() == new.nodes.keys() and old.succ == new.succ


def _new_graph(table: _Table) -> nx.DiGraph:
    G = nx.DiGraph()
    G.add_nodes_from((name, {"has_model": False, "source": source, "module": module})
                     for name, (source, module) in table.nodes.items())
    G.add_edges_from((u, v) for u, callees in table.succ.items() for v in callees)
    return G


def _holds(G: nx.DiGraph, table: _Table) -> bool:
    """Whether ``G`` still holds ``table``'s nodes, as far as their number
    tells (a caller that added or removed some gets a new graph)."""
    return type(G) is nx.DiGraph and len(G) == len(table.nodes)


def _apply(G: nx.DiGraph, old: _Table, new: _Table) -> None:
    """Change ``G`` from ``old``'s nodes and edges to ``new``'s."""
    G.remove_nodes_from([n for n in old.nodes if n not in new.nodes])
    for name, (source, module) in new.nodes.items():
        if old.nodes.get(name) != (source, module):
            G.add_node(name, source=source, module=module)
    gone = [(u, v) for u, callees in old.succ.items() for v in callees
            if u in new.nodes and v in new.nodes and v not in new.succ.get(u, ())]
    G.remove_edges_from(gone)
    G.add_edges_from((u, v) for u, callees in new.succ.items() for v in callees
                     if v not in old.succ.get(u, ()) or u not in old.nodes or v not in old.nodes)


def _forget_unlisted(root: Path) -> None:
    """Drop what the session keeps of project files that are no longer listed."""
    files = session.query(_project_files, str(root))
    keep = {str(p) for p in files.listing}
    inside = str(root).rstrip(os.sep) + os.sep
    session.drop_files(lambda key: key in keep or not key.startswith(inside))


def factory_names(path: str | os.PathLike[str]) -> list[str]:
    """The names of the factories the project file ``path`` defines now (for
    a file that does not parse, those of the regular-expression scan)."""
    absolute = Path(path).resolve()
    project_dir = _project_dir()
    module = _pysource.module_name(absolute.relative_to(project_dir).parts) \
        if absolute.is_relative_to(project_dir) else absolute.stem
    info = session.analysed("factories", absolute, module, absolute.name == "__init__.py")
    return [f.name for f in info.factories]


def kept_elsewhere(path: str | os.PathLike[str], names: Iterable[str]) -> set[str]:
    """Those of ``names`` whose definition the call graph, as last handed
    out, keeps from a file other than ``path``: the graph has one node per
    name, and a name defined in two files belongs to the file it keeps."""
    handed = session.graph
    if handed is None or not names:
        return set()
    from morvane.settings import SettingsError

    try:
        project_dir = _project_dir()
    except SettingsError:  # no project: no graph to keep names from
        return set()
    if handed.root != project_dir:
        return set()
    absolute = Path(path).resolve()
    source = absolute.relative_to(project_dir).as_posix() if absolute.is_relative_to(project_dir) \
        else absolute.as_posix()
    nodes = handed.table.nodes
    return {n for n in names if n in nodes and nodes[n][0] != source}


def _absolute(project_dir: Path, p: str | os.PathLike[str]) -> Path:
    return (project_dir / Path(p)).resolve()


def get_static_records(G: nx.DiGraph, *, paths: Iterable[str | os.PathLike[str]]) -> dict[str, FactoryRecord]:
    """Records with status "UNKNOWN" for the factories of ``paths`` (all files when empty).

    ``paths`` may hold ``Path`` objects or strings, absolute or relative to the
    project directory. The factories come from ``G``'s nodes; a named file that
    the graph does not cover (one outside the project directory or in a
    skipped directory) is read directly. Each record carries the has-model
    flag stored in the project database for its name (``False`` for a new one).
    """
    from morvane.models import FactoryRecord

    def record(name: str, source: str) -> FactoryRecord:
        return FactoryRecord(name=name, source=source, status="UNKNOWN", message="")

    def sources(only: set[str] | None) -> dict[str, list[str]]:
        # The node names by source, in node order; with ``only``, of those sources only.
        by_source: dict[str, list[str]] = {}
        for name, data in G.nodes(data=True):
            source = data.get("source")
            if source and (only is None or source in only):
                by_source.setdefault(source, []).append(name)
        return by_source

    paths = list(paths)
    records: dict[str, FactoryRecord] = {}
    if not paths:
        for name, data in G.nodes(data=True):
            source = data.get("source")
            if source:
                records[name] = record(name, source)
        return _with_stored_flags(records)

    project_dir = _project_dir()
    wanted = dict.fromkeys(_absolute(project_dir, p) for p in paths)
    relative = {absolute: absolute.relative_to(project_dir).as_posix()
                for absolute in wanted if absolute.is_relative_to(project_dir)}

    # Graph sources are relative to the resolved project directory: compare
    # strings first, and resolve graph sources only for what is left (a file
    # reached through a symbolic link).
    by_source = sources(set(relative.values()))
    graph_files: set[Path] = set()
    for absolute in wanted:
        if absolute in relative:
            source = relative[absolute]
            if source in by_source:
                graph_files.add(absolute)
                for name in by_source[source]:
                    records[name] = record(name, source)
    if len(graph_files) < len(wanted):
        for source, names in sources(None).items():
            absolute = _absolute(project_dir, source)
            if absolute in wanted and absolute not in graph_files:
                for name in names:
                    records[name] = record(name, source)
            graph_files.add(absolute)

    for absolute in wanted:
        if absolute in graph_files or absolute.suffix != ".py" or not absolute.is_file():
            continue
        if absolute.is_relative_to(project_dir):
            rel = absolute.relative_to(project_dir)
            source, module = rel.as_posix(), _pysource.module_name(rel.parts)
        else:
            source, module = absolute.as_posix(), absolute.stem
        info = session.analysed("factories", absolute, module, absolute.name == "__init__.py")
        for factory in info.factories:
            if factory.name not in records and factory.name not in G:
                records[factory.name] = record(factory.name, source)
    return _with_stored_flags(records)


def _with_stored_flags(records: dict[str, FactoryRecord]) -> dict[str, FactoryRecord]:
    """Give each record the has-model flag the database holds for it.

    The flag is the model pass's to compute, not something the sources
    show; a record that carried ``False`` would differ from a flagged stored
    one, be rewritten on every pass, and lose the flag in a pass that does
    not run the model search (``reload=False``).
    """
    if records:
        from morvane.core import database

        for name, stored in database.get_factories_by_name(*records).items():
            if name in records:
                records[name].has_model = bool(stored.has_model)
    return records


def _top_location(top: str, search_first: Path | None) -> Path | None:
    import importlib.util

    if search_first is not None:
        if (search_first / top).is_dir():
            return search_first / top
        if (search_first / f"{top}.py").is_file():
            return search_first / f"{top}.py"
    try:
        spec = importlib.util.find_spec(top)
    except (ImportError, ValueError, AttributeError):
        return None
    if spec is None:
        return None
    if spec.submodule_search_locations:
        return Path(next(iter(spec.submodule_search_locations)))
    if spec.origin and spec.origin.endswith(".py"):
        return Path(spec.origin)
    return None


def _locate(dotted: str, search_first: Path | None = None) -> Path | None:
    """Where the module ``dotted`` lives (package directory or ``.py`` file),
    without importing it: the top-level package is found in ``search_first``
    or by the import system's finder, the rest by walking the file system
    (asking the finder for a dotted name would import the parent packages)."""
    parts = dotted.split(".")
    if not all(p.isidentifier() for p in parts):
        return None
    current = _top_location(parts[0], search_first)
    for part in parts[1:]:
        if current is None or not current.is_dir():
            return None
        if (current / part).is_dir():
            current = current / part
        elif (current / f"{part}.py").is_file():
            current = current / f"{part}.py"
        else:
            return None
    return current


def default_lib_paths() -> dict[str, Path]:
    """Module name to library path for the model search: the project's
    top-level package (``<project>/<name>/``, ``<project>/<name>.py`` or under
    ``src/``), the configured PDK package unless it is a generic technology,
    and polyforge's package directory. Libraries that cannot be found are left
    out; nothing is imported."""
    from morvane import settings

    project_dir = _project_dir()
    name = settings.get_project_name()
    out: dict[str, Path] = {}
    for candidate in (project_dir / name, project_dir / f"{name}.py",
                      project_dir / "src" / name, project_dir / "src" / f"{name}.py"):
        if candidate.is_dir() or candidate.is_file():
            out[name] = candidate
            break

    pdk_name = settings.get_pdk_name()
    if isinstance(pdk_name, str) and pdk_name.lower() not in GENERIC_PDK_NAMES and pdk_name not in out:
        location = _locate(pdk_name, search_first=project_dir)
        if location is not None:
            out[pdk_name] = location

    if "polyforge" not in out:
        location = _locate("polyforge")
        if location is not None:
            out["polyforge"] = location
    return out


# --------------------------------------------------------------------------
# Import edges between project files
# --------------------------------------------------------------------------


def _imported_modules(path: Path, tree: ast.Module | None, module: str, is_package: bool) -> frozenset[str]:
    """Dotted names that ``tree``'s module-level imports may load: ``import a.b``
    gives ``a.b``; ``from a import b`` gives ``a`` and ``a.b`` (``b`` may be a
    submodule)."""
    if tree is None:
        return frozenset()
    out: set[str] = set()
    for node in _pysource.module_statements(tree):
        if isinstance(node, ast.Import):
            out.update(a.name for a in node.names)
        elif isinstance(node, ast.ImportFrom):
            base = (_pysource.relative_base(module, is_package, node.level, node.module)
                    if node.level else node.module)
            if base:
                out.add(base)
                out.update(f"{base}.{a.name}" for a in node.names if a.name != "*")
    return frozenset(out)


session.analysis("factories", _analyse)
session.analysis("imports", _imported_modules)
# A project file's import compiles the tree parsed for these analyses; the
# bytecode caches of a pass's imports are written after the pass.
session.on_parse = _bytecode.parsed
session.around_pass.append(_bytecode.holding)
session.on_clear(_bytecode.forget)


def importers_of(paths: Iterable[str | os.PathLike[str]]) -> list[Path]:
    """The project files that import one of ``paths``, directly or through
    other project files, as absolute resolved paths in file order; the files
    of ``paths`` themselves are left out. A path need not exist any more: the
    files importing a deleted module by its name are found all the same. A
    file that does not parse imports nothing."""
    with session.one_pass():
        project_dir = _project_dir()
        files = session.query(_project_files, str(project_dir))
        importers = session.query(_importers, str(project_dir))
    module_of = files.module_of
    start = {_absolute(project_dir, p) for p in paths}
    todo = [_pysource.module_name(p.relative_to(project_dir).parts)
            for p in start if p.is_relative_to(project_dir)]
    seen: set[Path] = set()
    while todo:
        for importer in importers.get(todo.pop(), ()):
            if importer not in seen and importer not in start:
                seen.add(importer)
                todo.append(module_of[importer])
    return sorted(seen, key=files.order.__getitem__)


def imported_modules(path: Path, module: str) -> frozenset[str]:
    """The dotted names the module-level imports of the file ``path`` (the
    module ``module``) may load; see :func:`importers_of`."""
    return cast(frozenset[str], session.analysed("imports", path, module, path.name == "__init__.py"))


# -- finding cells in a file's text -----------------------------------------

# A decorator line at the start of a line: "@" and a dotted name.
_DECORATOR_LINE = re.compile(r"@[ \t]*([^\W\d]\w*(?:[ \t]*\.[ \t]*[^\W\d]\w*)*)")
# A top-level function definition.
_DEF_LINE = re.compile(r"(?:async[ \t]+)?def[ \t]+([^\W\d]\w*)")
# A line that may sit between decorators: blank or a comment.
_FILLER_LINE = re.compile(r"[ \t]*(?:#.*)?")
# A line that cannot continue a decorator's argument list.
_STATEMENT_START = re.compile(r"(?:@|(?:async[ \t]+)?def[ \t]|class[ \t])")
_CELL_ALIAS = re.compile(r"\bcell[ \t]+as[ \t]+([^\W\d]\w*)")


def _stored_cells(path: str | os.PathLike[str]) -> list[str]:
    """The cell names the project database holds for the file ``path``."""
    from morvane.core import database

    try:
        return list(database.get_factories_by_source(path))
    except Exception:  # no project or no usable database: nothing known
        return []


def _identifier(text: str) -> str:
    return unicodedata.normalize("NFKC", text)


def scan_cell_names(path: str | os.PathLike[str]) -> list[str]:
    """The names of the top-level functions in ``path`` decorated with the
    layout library's cell decorator, found in the text (the file need not
    parse).

    A decorator counts when it is ``cell`` or ends in ``.cell`` (``@pf.cell``,
    ``@polyforge.cell``, ``@cell(...)``), or is an alias bound by an import
    ``... cell as name``. Decorator arguments may span lines; blank and
    comment lines may sit between the decorators and the ``def``. Names are
    returned in file order, each once, normalised (NFKC) as the compiler
    normalises identifiers. The scan is line by line and linear in the size
    of the file.

    A file that cannot be read (no permission, say) still defines the cells
    it defined when it was last read: their names are taken from the project
    database. ``OSError`` is raised when the database has none, and for a
    file that does not exist.
    """
    try:
        data = Path(path).read_bytes()
    except (FileNotFoundError, NotADirectoryError, IsADirectoryError):
        raise
    except OSError as exc:
        stored = _stored_cells(path)
        if not stored:
            raise exc from None
        return stored
    text = data.decode("utf-8", errors="replace")
    lines = text.replace("\r\n", "\n").replace("\r", "\n").split("\n")
    aliases = {"cell", *map(_identifier, _CELL_ALIAS.findall(text))}
    names: dict[str, None] = {}

    in_decorators = False  # inside a run of decorators at the top level
    is_cell = False  # one of them is the cell decorator
    depth = 0  # open parentheses of a decorator spanning lines
    for line in lines:
        if depth > 0:
            if not _STATEMENT_START.match(line):
                depth = max(0, depth + line.count("(") - line.count(")"))
                continue
            depth = 0  # an unclosed argument list: give up on it
        decorator = _DECORATOR_LINE.match(line)
        if decorator:
            target = _identifier(re.sub(r"[ \t]+", "", decorator.group(1)))
            is_cell = (is_cell if in_decorators else False) or target in aliases or target.endswith(".cell")
            in_decorators = True
            depth = max(0, line.count("(") - line.count(")"))
            continue
        if in_decorators:
            definition = _DEF_LINE.match(line)
            if definition:
                if is_cell:
                    names[_identifier(definition.group(1))] = None
            elif _FILLER_LINE.fullmatch(line):
                continue
        in_decorators = is_cell = False
    return list(names)


# --------------------------------------------------------------------------
# What a module's run depends on
# --------------------------------------------------------------------------


def _targets(root: str) -> dict[Path, tuple[Path, ...]]:
    """Each project file -> the project files its module-level imports load
    (``a.b`` is ``a/b.py``, else ``a/b/__init__.py``)."""
    files = session.query(_project_files, root)
    by_module: dict[str, Path] = {}
    for path, _, _, module, is_package in files.entries:
        if module and (not is_package or module not in by_module):
            by_module[module] = path
    out: dict[Path, tuple[Path, ...]] = {}
    for path, text, _, module, is_package in files.entries:
        names = session.analysed("imports", text, module, is_package)
        found = dict.fromkeys(by_module[name] for name in sorted(names) if name in by_module)
        found.pop(path, None)
        out[path] = tuple(found)
    return out


def _fingerprints(root: str) -> dict[Path, bytes]:
    """Each project file -> a digest of its content and of the content of
    every project file it imports, directly or through others: equal while
    none of them changed. Files that import each other (a cycle) share the
    digest of them all."""
    import hashlib

    targets, components = session.query(_import_graph, root)
    digest = session.digest
    out: dict[Path, bytes] = {}
    for component in components:
        if len(component) == 1:  # no cycle: the file and what it imports
            path = component[0]
            value = hashlib.blake2b(b"".join([digest(path) or b"-", *map(out.__getitem__, targets[path])]),
                                    digest_size=16).digest()
            out[path] = value
            continue
        h = hashlib.blake2b(digest_size=16)
        members = sorted(component)
        for path in members:
            h.update(os.fsencode(path))
            h.update(digest(path) or b"-")
        inside = set(component)
        for path in members:
            for target in targets[path]:
                if target not in inside:
                    h.update(out[target])
        value = h.digest()
        for path in component:
            out[path] = value
    return out


def _import_graph(root: str) -> tuple[dict[Path, tuple[Path, ...]], list[list[Path]]]:
    targets = session.query(_targets, root)
    return targets, _components(targets)


def _components(targets: dict[Path, tuple[Path, ...]]) -> list[list[Path]]:
    """The strongly connected components of the import graph ``targets``,
    each after the components it imports (Tarjan's algorithm, without
    recursion: import chains may be long)."""
    index: dict[Path, int] = {}
    low: dict[Path, int] = {}
    stack: list[Path] = []
    on_stack: set[Path] = set()
    out: list[list[Path]] = []
    for start in targets:
        if start in index:
            continue
        work = [(start, iter(targets[start]))]
        index[start] = low[start] = len(index)
        stack.append(start)
        on_stack.add(start)
        while work:
            node, pending = work[-1]
            for target in pending:
                if target not in index:
                    index[target] = low[target] = len(index)
                    stack.append(target)
                    on_stack.add(target)
                    work.append((target, iter(targets.get(target, ()))))
                    break
                if target in on_stack:
                    low[node] = min(low[node], index[target])
            else:
                work.pop()
                if work:
                    low[work[-1][0]] = min(low[work[-1][0]], low[node])
                if low[node] == index[node]:
                    component = []
                    while True:
                        member = stack.pop()
                        on_stack.discard(member)
                        component.append(member)
                        if member == node:
                            break
                    out.append(component)
    return out


def import_fingerprint(path: Path) -> bytes | None:
    """A digest of the project file ``path`` and of every project file it
    imports, directly or through others, as this pass finds them; ``None``
    for a file outside the project's listing."""
    with session.one_pass():
        return cast("bytes | None", session.query(_fingerprints, str(_project_dir())).get(path))


def import_graph() -> tuple[dict[Path, tuple[Path, ...]], list[list[Path]]]:
    """Each project file -> the project files it imports, and the groups of
    files that import each other, each group after the groups it imports."""
    with session.one_pass():
        return cast("tuple[dict[Path, tuple[Path, ...]], list[list[Path]]]",
                    session.query(_import_graph, str(_project_dir())))
