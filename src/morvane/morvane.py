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

A file that does not parse lists the functions its text shows, with their
return annotations as written and no defaults, so that the models of a
broken models file stay models (whose import then fails) instead of
vanishing. Results are queries of the engine (:mod:`morvane.core.engine`):
each file's are kept while it is unchanged, the table while every file's are.
"""

from __future__ import annotations

import ast
import json
import os
import re
from pathlib import Path
from collections.abc import Callable, Iterator, Mapping
from typing import Any

from morvane.core import _pysource
from morvane.core.engine import session

__all__ = ["CallGraph", "generate_call_graph"]


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


def _frozen(records: tuple[dict[str, Any], ...], module: str) -> tuple[tuple[Any, ...], ...]:
    # Per record: (record, mutable, function key). `mutable`: whether its
    # defaults hold lists or dicts, which each caller of generate_call_graph
    # must get copies of; strings, numbers and None are shared.
    return tuple((r, any(isinstance(v, (list, dict)) for v in r["parameter_defaults"].values()),
                  f"{module}.{r['name']}")
                 for r in records)


def _analyse_frozen(path: Path, tree: ast.Module | None, module: str, is_package: bool) -> Any:
    records = _analyse(path, tree, module, is_package) if tree is not None else _text_functions(path, module)
    return _frozen(records, module)


session.analysis("functions", _analyse_frozen)

# A top-level function definition, and the return annotation that ends its
# signature (possibly lines later).
_DEF = re.compile(r"^(?:async[ \t]+)?def[ \t]+([^\W\d]\w*)[ \t]*\(", re.MULTILINE)
_RETURNS = re.compile(r"\)[ \t]*->[ \t]*(.+?)[ \t]*:[ \t]*(?:#.*)?$", re.MULTILINE)
_NEXT_STATEMENT = re.compile(r"^[^\W\d@]", re.MULTILINE)


def _text_functions(path: Path, module: str) -> tuple[dict[str, Any], ...]:
    """The top-level functions of a file that does not parse, from its text:
    each with its return annotation as written (quotes taken off) and no
    defaults; none for a file that cannot be read."""
    try:
        text = path.read_bytes().decode("utf-8", errors="replace")
    except OSError:
        return ()
    functions: dict[str, dict[str, Any]] = {}
    for match in _DEF.finditer(text):
        following = _NEXT_STATEMENT.search(text, match.end())
        signature = text[match.end():following.start() if following else len(text)]
        returns = _RETURNS.search(signature)
        annotation = returns.group(1).strip().strip("'\"") if returns else ""
        name = match.group(1)
        functions.pop(name, None)  # a redefinition replaces, as at run time
        functions[name] = {"name": name, "module": module, "resolved_return_annotation": annotation,
                           "parameter_defaults": {}}
    return tuple(functions.values())


def _library_files(name: str, root: str) -> list[tuple[Path, str, tuple[str, bool]]]:
    """The files of the library ``name`` in the folder ``root``, each as
    (path, its text, (module name, is a package))."""
    listing, _ = session.listing(root)
    prefix = len(root.rstrip(os.sep) + os.sep)
    out = []
    for path in listing:
        text = str(path)
        sub = _pysource.module_name(text[prefix:].split(os.sep))
        out.append((path, text, (f"{name}.{sub}" if sub else name, path.name == "__init__.py")))
    return out


def _libraries(lib_paths: tuple[tuple[str, str, str], ...]) -> tuple[dict[str, dict[str, str]], dict[str, tuple[Any, ...]]]:
    """The module records of the libraries ``lib_paths`` ((name, path, "dir"
    or "file") each) and their functions' entries (see :func:`_frozen`) by
    function key."""
    modules: dict[str, dict[str, str]] = {}
    table: dict[str, tuple[Any, ...]] = {}
    for text, module, is_package in _library_modules(lib_paths):
        modules[module] = {"path": text}
        for entry in session.analysed("functions", text, module, is_package):
            table[entry[2]] = entry
    return modules, table


def _library_modules(lib_paths: tuple[tuple[str, str, str], ...]) -> Iterator[tuple[str, str, bool]]:
    """(file as text, module name, is a package) of each module of the
    libraries ``lib_paths``, in order; a module name met again is skipped."""
    seen: set[str] = set()
    for name, root, kind in lib_paths:
        files = session.query(_library_files, name, root) if kind == "dir" else \
            [(Path(root), root, (name, os.path.basename(root) == "__init__.py"))]
        for _, text, (module, is_package) in files:
            if module not in seen:
                seen.add(module)
                yield text, module, is_package


def _fresh(record: dict[str, Any], mutable: bool) -> dict[str, Any]:
    defaults = record["parameter_defaults"]
    if mutable:
        defaults = {k: _copy(v) for k, v in defaults.items()}
    else:
        defaults = dict(defaults)
    return {**record, "parameter_defaults": defaults}


def _copy(value: Any) -> Any:
    """A copy of a default as :func:`_default_value` makes them: lists and
    dicts of literals (strings, numbers, None and booleans are shared)."""
    if isinstance(value, list):
        return [_copy(v) for v in value]
    if isinstance(value, dict):
        return {k: _copy(v) for k, v in value.items()}
    if isinstance(value, tuple):
        return tuple(_copy(v) for v in value)
    return value


def generate_call_graph(*, lib_paths: dict[str, str]) -> CallGraph:
    """``{"functions": {...}, "modules": {...}}`` for the libraries ``lib_paths``
    (module name to a package directory or a single ``.py`` file).

    ``"functions"`` maps ``"<module>.<function>"`` to the function's record
    (see the module docstring), ``"modules"`` maps each module name to
    ``{"path": <source file>}``. Modules come in the order of ``lib_paths``
    and, within a library, in file order (a package's ``__init__`` before
    its other modules). A file that does not parse is listed as a module
    with the functions its text shows; a library path that does not exist
    adds nothing. The result is a :class:`CallGraph`, a mapping of those two
    keys whose dictionaries are new on every call.
    """
    with session.one_pass():
        found = []
        for name, lib_path in lib_paths.items():
            root = Path(lib_path)
            kind = "dir" if root.is_dir() else "file" if root.is_file() else None
            if kind is not None:
                found.append((name, str(root), kind))
        found_paths = tuple(found)
        return CallGraph(found_paths, *session.query(_libraries, found_paths))


class CallGraph(Mapping[str, dict[str, dict[str, Any]]]):
    """What :func:`generate_call_graph` returns: a mapping of the keys
    ``"functions"`` and ``"modules"``, each a new dictionary made when it is
    first asked for (and the same one after that), as the files were when
    the call graph was generated.

    :meth:`select` gives the records that a test accepts without making the
    others: a caller that needs a few functions of a large project asks for
    those alone."""

    __slots__ = ("_found", "_modules", "_table", "_made")

    def __init__(self, found: tuple[tuple[str, str, str], ...], modules: dict[str, dict[str, str]],
                 table: dict[str, tuple[Any, ...]]) -> None:
        self._found = found
        self._modules = modules
        self._table = table
        self._made: dict[str, dict[str, dict[str, Any]]] = {}

    def __getitem__(self, key: str) -> dict[str, dict[str, Any]]:
        made = self._made.get(key)
        if made is None:
            if key == "functions":
                made = {k: _fresh(entry[0], entry[1]) for k, entry in self._table.items()}
            elif key == "modules":
                made = {name: dict(record) for name, record in self._modules.items()}
            else:
                raise KeyError(key)
            self._made[key] = made
        return made

    def __iter__(self) -> Iterator[str]:
        return iter(("functions", "modules"))

    def __len__(self) -> int:
        return 2

    def __repr__(self) -> str:
        return f"CallGraph({dict(self)!r})"

    def select(self, accepts: Callable[[dict[str, Any]], object]) -> dict[str, dict[str, Any]]:
        """``{k: v for k, v in self["functions"].items() if accepts(v)}``.

        ``accepts`` must be a plain function of the record it is given, like
        the models module's ``_is_model``: its answers are kept, per
        function and file, while the file's functions are unchanged, and it
        is given a copy of each record it has not seen. Once
        ``self["functions"]`` was made, its records (changes included) are
        the ones tested."""
        made = self._made.get("functions")
        if made is None:
            with session.one_pass():
                if session.query(_libraries, self._found)[1] is self._table:
                    keys = session.query(_selection, accepts, self._found)
                    table = self._table
                    return {k: _fresh(table[k][0], table[k][1]) for k in keys}
            made = self["functions"]  # the files changed since: test the records as they were
        return {k: v for k, v in made.items() if accepts(v)}


def _selection(accepts: Callable[[dict[str, Any]], object], found: tuple[tuple[str, str, str], ...]) -> tuple[str, ...]:
    """The keys of the functions of the libraries ``found`` that ``accepts``
    accepts, in the order of :func:`_libraries`' table."""
    keys: list[str] = []
    for text, module, is_package in _library_modules(found):
        keys.extend(session.query(_accepted, accepts, text, module, is_package))
    return tuple(keys)


def _accepted(accepts: Callable[[dict[str, Any]], object], text: str, module: str, is_package: bool) -> tuple[str, ...]:
    """The keys of the functions of one file that ``accepts`` accepts, each
    tested on a copy of its record."""
    return tuple(entry[2] for entry in session.analysed("functions", text, module, is_package)
                 if accepts(_fresh(entry[0], entry[1])))
