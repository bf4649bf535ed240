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

Files that do not parse
    Their factory names come from the importer's regular-expression scan
    (:func:`morvane.core.imports.scan_cell_names`) and become nodes
    without edges, so that a syntax error turns the file's cells into error
    cells during registration instead of making them disappear.

Parse results are kept per file (:mod:`morvane.core.project_state`), and
the graph's nodes and edges are rebuilt only when a file's factories or
calls changed, so a pass over one saved file re-reads that file only.
"""

from __future__ import annotations

import ast
import operator
import os
from itertools import compress
from pathlib import Path
from typing import TYPE_CHECKING, Any, NamedTuple, cast

import networkx as nx
from networkx.classes.reportviews import NodeView as _NodeView

from morvane import morvane as _functions  # noqa: F401  (its analysis shares our parse)
from morvane.core import _graphs, _pysource, project_state

if TYPE_CHECKING:
    from collections.abc import Iterable, Iterator

    from morvane.models import FactoryRecord

__all__ = ["create_callgraph", "get_static_records", "kept_elsewhere", "factory_names",
           "default_lib_paths", "importers_of"]

GENERIC_PDK_NAMES = ("generic", "gpdk")

# networkx's own graph class: the fast paths below rely on its node table.
_DiGraph = nx.DiGraph


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
        from morvane.core import imports

        names = imports.scan_cell_names(path)
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


def _file_info(path: Path, module: str) -> _FileInfo:
    return cast(_FileInfo, project_state.files.get("factories", path, module, path.name == "__init__.py"))


# --------------------------------------------------------------------------
# Settings
# --------------------------------------------------------------------------


def _project_dir() -> Path:
    from morvane import settings

    return Path(settings.get_project_dir()).resolve()


def _log() -> Any:
    from morvane.logger import get_logger

    return get_logger()


# --------------------------------------------------------------------------
# Public API
# --------------------------------------------------------------------------


class _GraphState:
    """The call graph as of the last call, and what it was built from."""

    __slots__ = ("project_dir", "scanned", "nodes", "edges", "succ", "files", "duplicates", "generation",
                 "_by_source")

    def __init__(self, project_dir: Path, scanned: list[tuple[str, str, _FileInfo]],
                 nodes: dict[str, tuple[str, str]], edges: list[tuple[str, str]],
                 succ: dict[str, list[str]], files: _Files) -> None:
        self.project_dir = project_dir
        self.scanned = scanned  # (source, module, info) per file, in file order
        self.nodes = nodes  # factory name -> (source, module) of the definition kept
        self.edges = edges  # every call edge, in file order, before cycles are cut
        self.succ = succ  # the graph's edges: factory name -> callees, in edge order
        self.files = files  # the listing the scan was made from
        self.duplicates = _duplicates(scanned, nodes)  # the warnings about names defined twice
        # The recycled graph's generation (see _graphs.since_taken) when the
        # graph last handed out was made of, or taken back for, these nodes.
        self.generation: int | None = None
        self._by_source: dict[str, tuple[int, list[str]]] | None = None

    def infos(self) -> Iterator[_FileInfo]:
        """The listed files' infos, in file order (those of the files of
        unreadable folders after them)."""
        return map(operator.itemgetter(2), self.scanned)

    def by_source(self) -> dict[str, tuple[int, list[str]]]:
        """Source -> (the position of its first node, its node names in node order)."""
        if self._by_source is None:
            self._by_source = {}
            for i, (name, (source, _)) in enumerate(self.nodes.items()):
                self._by_source.setdefault(source, (i, []))[1].append(name)
        return self._by_source


class _Files(NamedTuple):
    """A listing of the project's files and what the scan derives from the
    paths alone; kept while the listing is the same object (see
    :meth:`morvane.core._pysource.FileCache.listing`)."""

    listing: tuple[Path, ...]
    # (path, source relative to the project directory, module name, is a package)
    entries: tuple[tuple[Path, str, str, bool], ...]
    sources: list[str]  # the paths as strings
    module_of: dict[Path, str]
    order: dict[Path, int]  # the position of each path in the listing
    # (path, its text, (module name, is a package)): the scan's questions to the file cache
    requests: tuple[tuple[Path, str, tuple[str, bool]], ...]


def _files(project_dir: Path, listing: tuple[Path, ...], previous: _GraphState | None) -> _Files:
    if previous is not None and previous.files.listing is listing and previous.project_dir == project_dir:
        return previous.files
    keep = {str(p) for p in listing}
    inside = str(project_dir).rstrip(os.sep) + os.sep
    project_state.files.prune(lambda key: key in keep or not key.startswith(inside))
    prefix = len(inside)
    entries = []
    for path in listing:
        # String work: pathlib's relative_to costs more than the parse cache lookup.
        source = str(path)[prefix:].replace(os.sep, "/")
        entries.append((path, source, _pysource.module_name(source.split("/")), path.name == "__init__.py"))
    texts = [str(p) for p in listing]
    return _Files(listing, tuple(entries), texts, {e[0]: e[2] for e in entries},
                  {p: i for i, p in enumerate(listing)},
                  tuple((e[0], text, (e[2], e[3])) for e, text in zip(entries, texts)))


def _project_files(project_dir: Path, unreadable: list[Path] | None = None) -> _Files:
    """The project's files as they are listed now."""
    previous = project_state.graph_state()
    return _files(project_dir, project_state.files.listing(project_dir, unreadable),
                  previous if isinstance(previous, _GraphState) else None)


def _scan(project_dir: Path, previous: _GraphState | None = None
          ) -> tuple[list[tuple[str, str, _FileInfo]], _Files]:
    unreadable: list[Path] = []
    files = _files(project_dir, project_state.files.listing(project_dir, unreadable), previous)
    infos = project_state.files.get_each("factories", files.requests)
    if previous is not None and previous.files is files and not unreadable \
            and len(previous.scanned) == len(infos) and all(map(operator.is_, previous.infos(), infos)):
        # The same listing, every file with the same results (a save rarely
        # touches more than one file of thousands): the same scan.
        return previous.scanned, files
    scanned: list[tuple[str, str, _FileInfo]] = [
        (source, module, info) for (_, source, module, _), info in zip(files.entries, infos)]
    scanned.extend(_stored_under(unreadable))
    return scanned, files


def _same_graph_input(old: list[tuple[str, str, _FileInfo]], new: list[tuple[str, str, _FileInfo]]) -> bool:
    # Equal infos give equal graphs; a save that changes a cell's geometry
    # but not its name or its calls leaves the graph as it was.
    return old is new or (len(old) == len(new) and all(a is b or a == b for a, b in zip(old, new)))


def _nodes_and_edges(scanned: list[tuple[str, str, _FileInfo]]) -> tuple[dict[str, tuple[str, str]],
                                                                           list[tuple[str, str]]]:
    nodes: dict[str, tuple[str, str]] = {}
    for source, module, info in scanned:
        for factory in info.factories:
            if factory.name not in nodes:
                nodes[factory.name] = (source, module)
    roots = {module.split(".")[0] for _, module, _ in scanned if module}
    edges: list[tuple[str, str]] = []
    for source, _, info in scanned:
        for factory in info.factories:
            if nodes[factory.name][0] != source:
                continue  # the duplicate that was not kept
            for callee, origin in factory.callees:
                if callee != factory.name and callee in nodes and (origin is None or origin in roots):
                    edges.append((factory.name, callee))
    return nodes, edges


def _duplicates(scanned: list[tuple[str, str, _FileInfo]], nodes: dict[str, tuple[str, str]]) -> tuple[str, ...]:
    out = []
    for source, _, info in scanned:
        for factory in info.factories:
            first = nodes[factory.name][0]
            if first != source:
                out.append(f"factory '{factory.name}' of {source} is also defined in {first}; "
                           f"keeping the one of {first}")
    return tuple(out)


def _warn_duplicates(state: _GraphState) -> None:
    # Worked out once per graph, logged on every call.
    for message in state.duplicates:
        _log().warning(message)


def _successors(edges: list[tuple[str, str]]) -> dict[str, list[str]]:
    succ: dict[str, list[str]] = {}
    for u, v in edges:
        succ.setdefault(u, []).append(v)
    return succ


def _acyclic_edges(edges: list[tuple[str, str]], previous: _GraphState | None) -> dict[str, list[str]]:
    """The graph's edges: all of ``edges`` when they form no cycle, else
    those kept by :func:`_drop_cycle_edges`. When the previous graph kept
    every edge, only the new edges can close a cycle, and only they are
    checked."""
    succ = _successors(edges)
    if previous is not None and len(previous.edges) == sum(map(len, previous.succ.values())):
        old = set(previous.edges)
        added = [e for e in edges if e not in old]
        if not any(_reaches(succ, v, u) for u, v in added):
            return succ
    elif _is_acyclic(edges):
        return succ
    G = nx.DiGraph()
    G.add_edges_from(edges)
    _drop_cycle_edges(G, edges)
    kept: dict[str, list[str]] = {}
    for u, v in G.edges:
        kept.setdefault(u, []).append(v)
    return {u: kept[u] for u in succ if u in kept}


def _reaches(succ: dict[str, list[str]], start: str, goal: str) -> bool:
    seen = {start}
    todo = [start]
    while todo:
        n = todo.pop()
        if n == goal:
            return True
        for m in succ.get(n, ()):
            if m not in seen:
                seen.add(m)
                todo.append(m)
    return False


def _graph_state(project_dir: Path) -> _GraphState:
    previous = project_state.graph_state()
    if previous is not None and previous.project_dir != project_dir:
        previous = None
    scanned, files = _scan(project_dir, previous)
    if previous is not None and _same_graph_input(previous.scanned, scanned):
        previous.scanned, previous.files = scanned, files
        state = previous
    else:
        nodes, edges = _nodes_and_edges(scanned)
        state = _GraphState(project_dir, scanned, nodes, edges, _acyclic_edges(edges, previous), files)
        project_state.set_graph_state(state)
    _warn_duplicates(state)
    return cast(_GraphState, state)


def factory_names(path: str | os.PathLike[str]) -> list[str]:
    """The names of the factories the project file ``path`` defines now (for
    a file that does not parse, those of the regular-expression scan)."""
    absolute = Path(path).resolve()
    project_dir = _project_dir()
    module = _pysource.module_name(absolute.relative_to(project_dir).parts) \
        if absolute.is_relative_to(project_dir) else absolute.stem
    return [f.name for f in _file_info(absolute, module).factories]


def kept_elsewhere(path: str | os.PathLike[str], names: Iterable[str]) -> set[str]:
    """Those of ``names`` whose definition the call graph, as last built,
    keeps from a file other than ``path``: the graph has one node per name,
    and a name defined in two files belongs to the file it keeps."""
    state = project_state.graph_state()
    if state is None or not names:
        return set()
    from morvane.settings import SettingsError

    try:
        project_dir = _project_dir()
    except SettingsError:  # no project: no graph to keep names from
        return set()
    if state.project_dir != project_dir:
        return set()
    absolute = Path(path).resolve()
    source = absolute.relative_to(project_dir).as_posix() if absolute.is_relative_to(project_dir) \
        else absolute.as_posix()
    nodes = state.nodes
    return {n for n in names if n in nodes and nodes[n][0] != source}


def _to_digraph(state: _GraphState) -> nx.DiGraph:
    """A new graph of ``state``, with attribute dictionaries of its own."""
    # networkx's own class: the last graph handed out, when nothing else can
    # reach it any more and it holds what a new one would. No one can tell
    # it from a new graph, and making and freeing its dicts is most of the
    # cost of a small pass.
    genuine = nx.DiGraph is _DiGraph
    state.generation = None
    if genuine:
        recycled = _graphs.take(state.nodes, state.succ, _DiGraph, _NodeView)
        if recycled is not None:
            state.generation = _generation(recycled)
            return cast(nx.DiGraph, recycled)
    G = nx.DiGraph()
    if type(G) is nx.DiGraph and isinstance(getattr(G, "_succ", None), dict) \
            and isinstance(getattr(G, "_pred", None), dict) and isinstance(getattr(G, "_node", None), dict):
        # Fast path: fill the adjacency dictionaries of a plain DiGraph
        # directly, as add_nodes_from/add_edges_from would, without their
        # per-item checks (nodes are strings, edges carry no data).
        succ, pred, node = G._succ, G._pred, G._node
        for name, (source, module) in state.nodes.items():
            node[name] = {"has_model": False, "source": source, "module": module}
            succ[name] = {}
            pred[name] = {}
        for u, callees in state.succ.items():
            out = succ[u]
            for v in callees:
                data: dict[str, Any] = {}
                out[v] = data
                pred[v][u] = data
        if genuine:
            _graphs.keep(G, state.nodes, state.succ)
            state.generation = _generation(G)
        return G
    G.add_nodes_from((name, {"has_model": False, "source": source, "module": module})
                     for name, (source, module) in state.nodes.items())
    G.add_edges_from((u, v) for u, callees in state.succ.items() for v in callees)
    return G


def _generation(G: nx.DiGraph) -> int | None:
    since_taken = getattr(_graphs, "since_taken", None)
    taken = since_taken(G) if since_taken is not None else None
    return taken[0] if taken is not None else None


def _state_of(G: nx.DiGraph) -> _GraphState | None:
    """The state ``G`` was made of, while ``G`` is the graph last handed out
    and nothing in it has changed since but its has-model flags."""
    state = project_state.graph_state()
    if not isinstance(state, _GraphState) or state.generation is None or type(G) is not _DiGraph:
        return None
    return state if _generation(G) == state.generation else None


def _stored_under(folders: list[Path]) -> list[tuple[str, str, _FileInfo]]:
    """The stored factories of the files in folders that cannot be read, by
    source file: they stay in the graph, so that importing them fails and
    they become error cells instead of vanishing."""
    if not folders:
        return []
    from morvane.core import database

    by_source: dict[str, list[str]] = {}
    for name, record in database.get_factories_in(*folders).items():
        by_source.setdefault(record.source, []).append(name)
    return [
        (source, _pysource.module_name(source.split("/")), _FileInfo(False, tuple(_Factory(n, ()) for n in names)))
        for source, names in by_source.items()
    ]


def create_callgraph() -> nx.DiGraph:
    """The project's factories and who calls whom (see the module docstring).

    The graph is new on every call; the caller may change it."""
    return _to_digraph(_graph_state(_project_dir()))


def _is_acyclic(edges: list[tuple[str, str]]) -> bool:
    """Kahn's algorithm over ``edges`` (a few times faster than networkx's check)."""
    successors: dict[str, list[str]] = {}
    indegree: dict[str, int] = {}
    for u, v in edges:
        successors.setdefault(u, []).append(v)
        indegree[v] = indegree.get(v, 0) + 1
        indegree.setdefault(u, 0)
    ready = [n for n, d in indegree.items() if d == 0]
    seen = 0
    while ready:
        n = ready.pop()
        seen += 1
        for m in successors.get(n, ()):
            indegree[m] -= 1
            if indegree[m] == 0:
                ready.append(m)
    return seen == len(indegree)


def _drop_cycle_edges(G: nx.DiGraph, edges: list[tuple[str, str]]) -> None:
    G.remove_edges_from(list(G.edges))
    for u, v in edges:
        if nx.has_path(G, v, u):
            _log().debug(f"call graph: left out {u} -> {v}, which would close a cycle")
            continue
        G.add_edge(u, v)


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

    paths = list(paths)
    records: dict[str, FactoryRecord] = {}
    if not paths:
        for name, data in _node_data(G):
            source = data.get("source")
            if source:
                records[name] = record(name, source)
        return _with_stored_flags(records)

    project_dir = _project_dir()
    wanted = dict.fromkeys(_absolute(project_dir, p) for p in paths)
    relative = {absolute: absolute.relative_to(project_dir).as_posix()
                for absolute in wanted if absolute.is_relative_to(project_dir)}

    def sources(only: set[str] | None) -> dict[str, list[str]]:
        # The node names by source, in node order; with ``only``, of those sources only.
        by_source: dict[str, list[str]] = {}
        state = _state_of(G) if only is not None else None
        if state is not None and only is not None:
            # The graph holds the state's nodes, in order, with their
            # sources: the names of the wanted files are kept by source.
            found = state.by_source()
            kept = sorted(found[source] + (source,) for source in only if source in found)
            return {source: list(names) for _, names, source in kept}
        nodes = _node_table(G)
        if nodes is not None and only is not None:
            try:
                # The same test, run by the interpreter over every node at
                # once; it picks out the few names of the wanted files.
                hits = list(compress(nodes, map(only.__contains__, map(_SOURCE, nodes.values()))))
            except (TypeError, AttributeError):
                pass  # a source that cannot be hashed, a node without a dict: as written
            else:
                for name in hits:
                    by_source.setdefault(nodes[name]["source"], []).append(name)
                return by_source
        for name, data in _node_data(G):
            source = data.get("source")
            if source and (only is None or source in only):
                by_source.setdefault(source, []).append(name)
        return by_source

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
        by_source = sources(None)
        for source, names in by_source.items():
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
        for factory in _file_info(absolute, module).factories:
            if factory.name not in records and factory.name not in G:
                records[factory.name] = record(factory.name, source)
    return _with_stored_flags(records)


_SOURCE = operator.methodcaller("get", "source")


def _node_table(G: nx.DiGraph) -> dict[Any, Any] | None:
    """The node table behind ``G.nodes(data=True)`` (node to its attribute
    dict) when ``G`` is a plain networkx DiGraph, else ``None``."""
    if type(G) is _DiGraph and type(getattr(G, "_node", None)) is dict \
            and type(G.__dict__.get("nodes", _NODES)) in (_NodeView, _Unset):
        return cast(dict[Any, Any], G._node)
    return None


class _Unset:
    """``nodes`` not looked at yet: networkx makes the view on first use."""


_NODES = _Unset()


def _node_data(G: nx.DiGraph) -> Iterable[tuple[Any, Any]]:
    """``G.nodes(data=True)``. Of a plain DiGraph that view yields its node
    table's items: read them directly, without the view's generator."""
    nodes = _node_table(G)
    if nodes is not None:
        return nodes.items()
    return cast("Iterable[tuple[Any, Any]]", G.nodes(data=True))


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


project_state.files.analysis("factories", _analyse)
project_state.files.analysis("imports", _imported_modules)


def importers_of(paths: Iterable[str | os.PathLike[str]]) -> list[Path]:
    """The project files that import one of ``paths``, directly or through
    other project files, as absolute resolved paths in file order; the files
    of ``paths`` themselves are left out. A path need not exist any more: the
    files importing a deleted module by its name are found all the same. A
    file that does not parse imports nothing."""
    project_dir = _project_dir()
    files = _project_files(project_dir)
    module_of = files.module_of
    imported = project_state.files.get_each("imports", files.requests)
    importers = project_state.importer_map(list(files.listing), files.sources, imported, module_of)

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
    return cast(frozenset[str], project_state.files.get("imports", path, module, path.name == "__init__.py"))
