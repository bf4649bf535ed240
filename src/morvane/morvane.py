"""The functions of Python libraries, read from their syntax trees (nothing is imported).

:func:`generate_call_graph` lists every module-level function of the given
libraries (also those defined inside module-level ``if``, ``try`` and
``with`` blocks; not methods, not nested functions) with:

``"name"``
    the function's name;
``"module"``
    the dotted name of its module;
``"resolved_return_annotation"``
    the return annotation's source text with the names bound by imports
    resolved to what they stand for: ``-> SDict`` after ``from sax import
    SDict`` reads ``"sax.SDict"``, ``-> sx.SDict`` after ``import sax as sx``
    reads ``"sax.SDict"``, relative imports resolve against the module's own
    name. A string annotation (``-> "SDict"``) is parsed and resolved the
    same way and given without quotes; quoted parts inside a larger
    annotation stay quoted, with their text resolved. No annotation gives
    ``""``;
``"parameter_defaults"``
    for every parameter with a default, positional or keyword-only: a
    literal default (what :func:`ast.literal_eval` accepts) as its value when
    JSON can represent it (tuples read back as lists once serialised); any
    other default, and literals JSON cannot hold (sets, bytes, complex
    numbers, dicts with tuple keys), as the string of its source text
    (``width=2 * W`` gives ``"2 * W"``, ``f=np.sin`` gives ``"np.sin"``).
    So ``json.dumps`` always accepts the mapping.

Results are kept per file while it is unchanged (:mod:`morvane.core.project_state`).
"""

from __future__ import annotations

import ast
import copy
import itertools
import json
import operator
import os
from pathlib import Path
from typing import Any, cast

from morvane.core import _pysource, project_state

__all__ = ["generate_call_graph"]


# Constants that ast.literal_eval gives back as they are and that JSON can
# always hold (a float's nan and infinities included).
_PLAIN_CONSTANTS = (str, int, float, bool, type(None))


def _default_value(node: ast.expr) -> Any:
    if type(node) is ast.Constant and type(node.value) in _PLAIN_CONSTANTS:
        return node.value  # what the calls below give, without them
    try:
        value = ast.literal_eval(node)
        json.dumps(value)
    except Exception:  # not a literal, or nothing JSON can hold
        return ast.unparse(node)
    return value


def _parameter_defaults(args: ast.arguments) -> dict[str, Any]:
    out: dict[str, Any] = {}
    positional = [*args.posonlyargs, *args.args]
    for arg, default in zip(positional[len(positional) - len(args.defaults):], args.defaults):
        out[arg.arg] = _default_value(default)
    for arg, kw_default in zip(args.kwonlyargs, args.kw_defaults):
        if kw_default is not None:
            out[arg.arg] = _default_value(kw_default)
    return out


def _analyse(path: Path, tree: ast.Module | None, module: str, is_package: bool) -> tuple[dict[str, Any], ...]:
    if tree is None:
        return ()
    aliases = _pysource.import_aliases(tree, module, is_package)
    functions: dict[str, dict[str, Any]] = {}
    for func in _pysource.module_functions(tree):
        functions.pop(func.name, None)  # a redefinition replaces, as at run time
        functions[func.name] = {
            "name": func.name,
            "module": module,
            "resolved_return_annotation": _pysource.resolve(func.returns, aliases),
            "parameter_defaults": _parameter_defaults(func.args),
        }
    return tuple(functions.values())


def _settings_text(record: dict[str, Any]) -> str | None:
    # json.dumps of the record's defaults, or None when it raises (the caller
    # then calls json.dumps itself and gets the error).
    try:
        return json.dumps(record["parameter_defaults"])
    except Exception:
        return None


def _frozen(records: tuple[dict[str, Any], ...], module: str) -> tuple[tuple[Any, ...], ...]:
    # Per record, what follows from the file's content alone:
    # (record, mutable, function key, settings text, the json.dumps that
    # made the text). `mutable`: whether its defaults hold lists or dicts,
    # which each caller of generate_call_graph must get copies of; strings,
    # numbers and None are shared.
    dumps = json.dumps
    return tuple((r, any(isinstance(v, (list, dict)) for v in r["parameter_defaults"].values()),
                  f"{module}.{r['name']}", _settings_text(r), dumps)
                 for r in records)


def _analyse_frozen(path: Path, tree: ast.Module | None, module: str, is_package: bool) -> Any:
    # None: the file cannot be read or parsed (see _stored_models).
    return None if tree is None else _frozen(_analyse(path, tree, module, is_package), module)


project_state.files.analysis("functions", _analyse_frozen)


def _library_files(name: str, root: Path) -> list[tuple[str, Path, str]]:
    # (module name, file, the file as text) for each module of a library.
    if root.is_dir():
        # (library name, root) -> (the listing, what was made of it): kept
        # while the file cache hands out the same listing object.
        library_files = project_state.kept("library files")
        listing = project_state.files.listing(root)
        key = (name, str(root))
        kept = library_files.get(key)
        if kept is not None and kept[0] is listing:
            return cast(list[tuple[str, Path, str]], kept[1])
        out = []
        # String work: pathlib's relative_to costs more than the cache lookup.
        prefix = len(str(root).rstrip(os.sep) + os.sep)
        for path in listing:
            text = str(path)
            sub = _pysource.module_name(text[prefix:].split(os.sep))
            out.append((f"{name}.{sub}" if sub else name, path, text))
        library_files[key] = (listing, out)
        return out
    if root.is_file():
        return [(name, root, str(root))]
    return []


class _StoredModels:
    """The models the project database holds, by source, read once per call
    graph and only when a file does not parse."""

    def __init__(self) -> None:
        self._by_source: dict[str, list[Any]] | None = None
        self._project_dir: Path | None = None

    def of(self, path: Path, module: str) -> tuple[tuple[Any, ...], ...]:
        """Function records for the stored models of ``path``: a models file
        that does not parse (or cannot be read) keeps its models, whose
        import then fails, so that they become error models, as for any
        other import error, instead of vanishing with their has-model flags.
        A fresh process reads the same rows, so it agrees with a long-lived
        one. Their annotation reads "sax.SType"; their defaults are the
        stored settings."""
        if self._by_source is None:
            self._by_source = {}
            from morvane import settings
            from morvane.core import database

            try:
                self._project_dir = Path(settings.get_project_dir()).resolve()
                stored = database.get_all_model_records()
            except Exception:  # no project or no usable database: nothing known
                return ()
            for record in stored.values():
                if record.source:
                    self._by_source.setdefault(record.source, []).append(record)
        if self._project_dir is None:
            return ()
        source = str(Path(path).resolve().relative_to(self._project_dir, walk_up=True))
        out = []
        for record in self._by_source.get(source, ()):
            try:
                defaults = json.loads(record.settings)
            except ValueError:
                defaults = {}
            out.append({"name": record.factory, "module": module, "resolved_return_annotation": "sax.SType",
                        "parameter_defaults": defaults if isinstance(defaults, dict) else {}})
        return _frozen(tuple(out), module)


def _fresh(record: dict[str, Any], mutable: bool) -> dict[str, Any]:
    defaults = record["parameter_defaults"]
    if mutable:
        defaults = {k: (copy.deepcopy(v) if isinstance(v, (list, dict)) else v) for k, v in defaults.items()}
    else:
        defaults = dict(defaults)
    return {**record, "parameter_defaults": defaults}


def _requests(lib_paths: dict[str, str]) -> tuple[dict[str, dict[str, str]], list[tuple[Path, str, tuple[str, bool]]]]:
    """The module records of the libraries ``lib_paths`` and, for each
    module's file, the question to the file cache ``(path, text, (module,
    is a package))``; kept while each library lists the same files (the same
    listing object). Callers do not change either."""
    listed = [(name, _library_files(name, Path(lib_path))) for name, lib_path in lib_paths.items()]
    kept = project_state.kept("function requests").get("last")
    if kept is not None and len(kept[0]) == len(listed) \
            and all(a[0] == b[0] and a[1] is b[1] for a, b in zip(kept[0], listed)):
        return kept[1], kept[2]
    modules: dict[str, dict[str, str]] = {}
    requests: list[tuple[Path, str, tuple[str, bool]]] = []
    for _, files in listed:
        for module, path, text in files:
            if module in modules:
                continue
            modules[module] = {"path": text}
            # A single-file library is its only file: its own name tells.
            requests.append((path, text, (module, os.path.basename(text) == "__init__.py")))
    project_state.kept("function requests")["last"] = (listed, modules, requests)
    return modules, requests


def _entries(lib_paths: dict[str, str]) -> tuple[dict[str, tuple[Any, ...]], dict[str, dict[str, str]]]:
    # The cache entries of every function (see _frozen) by function key, and
    # the module records (kept: see _requests), for generate_call_graph and
    # _shared_call_graph.
    modules, requests = _requests(lib_paths)
    founds: list[tuple[Any, ...]] = project_state.files.get_each("functions", requests)
    if None in founds:  # a file that does not parse or cannot be read
        stored = _StoredModels()
        founds = [found if found is not None else stored.of(path, extra[0])
                  for (path, _, extra), found in zip(requests, founds)]
    entries = _entries_from_kept(founds)
    if entries is None:
        entries = {}
        for found in founds:
            for entry in found:
                entries[entry[2]] = entry
    project_state.kept("function table")["last"] = (founds, entries)
    return entries, modules


def _entries_from_kept(founds: list[tuple[Any, ...]]) -> dict[str, tuple[Any, ...]] | None:
    """The table of ``founds`` from the last one: the same table when every
    file found the same entries, a copy with the changed files' entries put
    in when each of those found new entries under the same keys in the same
    order (the keys keep their places); ``None`` when it must be built anew.

    The last table is kept with the found entries of each file, in order. A
    function key starts with its file's module name, and each module is read
    from one file, so a file's entries are the only ones under their keys."""
    kept = cast("tuple[list[tuple[Any, ...]], dict[str, tuple[Any, ...]]] | None",
                project_state.kept("function table").get("last"))
    if kept is None or len(kept[0]) != len(founds):
        return None
    previous, table = kept
    changed = list(itertools.compress(itertools.count(), map(operator.is_not, previous, founds)))
    if not changed:
        return table
    for i in changed:
        if [e[2] for e in previous[i]] != [e[2] for e in founds[i]]:
            return None
    table = table.copy()
    for i in changed:
        for entry in founds[i]:
            table[entry[2]] = entry
    return table


def generate_call_graph(*, lib_paths: dict[str, str]) -> dict[str, dict[str, dict[str, Any]]]:
    """``{"functions": {...}, "modules": {...}}`` for the libraries ``lib_paths``
    (module name to a package directory or a single ``.py`` file).

    ``"functions"`` maps ``"<module>.<function>"`` to the function's record
    (see the module docstring), ``"modules"`` maps each module name to
    ``{"path": <source file>}``. Modules come in the order of ``lib_paths``
    and, within a library, in file order (a package's ``__init__`` before
    its other modules). A file that does not parse is listed as a module
    with the models the project database holds for it and no other
    functions; a library path that does not exist adds nothing. The
    returned dictionaries are new on every call.
    """
    entries, modules = _entries(lib_paths)
    functions = {key: _fresh(entry[0], entry[1]) for key, entry in entries.items()}
    return {"functions": functions, "modules": {name: dict(record) for name, record in modules.items()}}


def _shared_call_graph(*, lib_paths: dict[str, str]) -> tuple[dict[str, tuple[Any, ...]], dict[str, dict[str, str]]]:
    """What :func:`generate_call_graph` finds, without the copies: the
    function key to the cache entry ``(record, mutable, key, settings text or
    None, the json.dumps that made it)`` and the module records (the table
    is the same object as the last call's while no file's entries changed,
    the module records while the libraries list the same files). Both are
    the cached ones, shared by every call: the caller must not change them,
    nor let anything it does not know change them (``_fresh(record,
    mutable)`` gives the copy ``generate_call_graph`` would)."""
    return _entries(lib_paths)


# For the model search: the function it may replace by its twin that shares
# the cached records, while it finds this one unreplaced at call time.
_SHARED_TWIN = (generate_call_graph, _shared_call_graph)
