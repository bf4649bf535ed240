"""Python source files as seen without importing them.

Shared by the call graph (:mod:`morvane.core.callgraph`) and the function
graph (:mod:`morvane.morvane`):

- :func:`iter_python_files` lists the ``.py`` files of a directory tree in a
  fixed order (in each directory ``__init__.py`` first, then the other files,
  then the subdirectories, each group sorted by name), skipping hidden
  directories, ``__pycache__``, build and distribution directories,
  ``*.egg-info``, ``node_modules``, ``site-packages`` and virtual
  environments (any directory holding a ``pyvenv.cfg``).
- :class:`FileCache` keeps one derived result per file, recomputed only when
  the file's modification time (nanoseconds) or size changes.
- :func:`import_aliases` and :func:`resolve` turn names bound by import
  statements back into the dotted names they stand for.
"""

from __future__ import annotations

import ast
import copy
import os
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any, Generic, TypeVar

T = TypeVar("T")

SKIPPED_DIR_NAMES = frozenset({
    "__pycache__", "build", "dist", "node_modules", "site-packages", "venv",
})

Stamp = tuple[int, int]


def _skipped_dir(entry: os.DirEntry[str]) -> bool:
    name = entry.name
    if name.startswith(".") or name in SKIPPED_DIR_NAMES or name.endswith(".egg-info"):
        return True
    return os.path.exists(os.path.join(entry.path, "pyvenv.cfg"))


def iter_python_files(root: Path) -> list[Path]:
    """The ``.py`` files under ``root`` (see the module docstring for order and skips)."""
    out: list[Path] = []
    _walk(Path(root), out)
    return out


def _walk(directory: Path, out: list[Path]) -> None:
    try:
        with os.scandir(directory) as it:
            entries = sorted(it, key=lambda e: e.name)
    except OSError:
        return
    files, dirs = [], []
    for entry in entries:
        try:
            if entry.is_dir(follow_symlinks=False):
                if not _skipped_dir(entry):
                    dirs.append(entry)
            elif entry.name.endswith(".py") and entry.is_file():
                files.append(entry)
        except OSError:
            continue
    files.sort(key=lambda e: (e.name != "__init__.py", e.name))
    out.extend(directory / e.name for e in files)
    for entry in dirs:
        _walk(directory / entry.name, out)


def module_name(parts: tuple[str, ...] | list[str]) -> str:
    """Dotted module name of a file given its path components below the import root."""
    parts = list(parts)
    if parts and parts[-1].endswith(".py"):
        parts[-1] = parts[-1][:-3]
    if parts and parts[-1] == "__init__":
        parts.pop()
    return ".".join(parts)


def file_stamp(path: Path) -> Stamp | None:
    """``(mtime_ns, size)`` of ``path``, or ``None`` when it cannot be read."""
    try:
        st = os.stat(path)
    except OSError:
        return None
    return (st.st_mtime_ns, st.st_size)


def parse_source(path: Path) -> ast.Module | None:
    """The syntax tree of ``path``, or ``None`` when it cannot be read or parsed."""
    try:
        source = Path(path).read_bytes()
        return ast.parse(source, filename=str(path))
    except (OSError, SyntaxError, ValueError, UnicodeDecodeError, RecursionError, MemoryError):
        return None


class FileCache(Generic[T]):
    """One computed result per (file, extra key), kept while the file is unchanged.

    ``compute(path, tree, *extra)`` receives the parsed tree, or ``None`` for
    a file that does not parse. The stamp is taken before the file is read,
    so an edit that lands during parsing makes the next lookup recompute.
    """

    def __init__(self, compute: Callable[..., T]) -> None:
        self._compute = compute
        self._entries: dict[tuple[Any, ...], tuple[Stamp, T]] = {}

    def get(self, path: Path, *extra: Any) -> T:
        key = (os.fspath(path), *extra)
        stamp = file_stamp(path)
        if stamp is None:
            self._entries.pop(key, None)
            return self._compute(path, None, *extra)
        hit = self._entries.get(key)
        if hit is not None and hit[0] == stamp:
            return hit[1]
        result = self._compute(path, parse_source(path), *extra)
        self._entries[key] = (stamp, result)
        return result

    def prune(self, keep: Callable[[tuple[Any, ...]], bool]) -> None:
        """Drop the entries whose key (the file's path as a string, then the
        extra keys) does not satisfy ``keep``."""
        for key in [k for k in self._entries if not keep(k)]:
            del self._entries[key]

    def clear(self) -> None:
        self._entries.clear()

    def __len__(self) -> int:
        return len(self._entries)


# --------------------------------------------------------------------------
# Module-level statements, imports and name resolution
# --------------------------------------------------------------------------


def module_statements(tree: ast.Module) -> Iterator[ast.stmt]:
    """Statements that run at module level: the body, and the bodies of
    module-level ``if``, ``try`` and ``with`` blocks (not functions or classes)."""
    stack = list(reversed(tree.body))
    while stack:
        node = stack.pop()
        yield node
        blocks: list[list[ast.stmt]] = []
        if isinstance(node, ast.If):
            blocks = [node.body, node.orelse]
        elif isinstance(node, (ast.Try, ast.TryStar)):
            blocks = [node.body, *(h.body for h in node.handlers), node.orelse, node.finalbody]
        elif isinstance(node, (ast.With, ast.AsyncWith)):
            blocks = [node.body]
        for block in reversed(blocks):
            stack.extend(reversed(block))


def module_functions(tree: ast.Module) -> Iterator[ast.FunctionDef | ast.AsyncFunctionDef]:
    for node in module_statements(tree):
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            yield node


class Aliases:
    """Names bound by a module's imports: ``names`` maps a local name to the
    dotted name it stands for; ``star`` lists the modules imported with ``*``."""

    __slots__ = ("names", "star")

    def __init__(self) -> None:
        self.names: dict[str, str] = {}
        self.star: list[str] = []

    def lookup(self, name: str) -> str | None:
        return self.names.get(name)


def relative_base(module: str, is_package: bool, level: int, target: str | None) -> str | None:
    parts = module.split(".") if module else []
    if not is_package:
        parts = parts[:-1]
    if level > 1:
        if level - 1 > len(parts):
            return None
        parts = parts[: len(parts) - (level - 1)]
    if target:
        parts.append(target)
    return ".".join(parts) if parts else None


def import_aliases(tree: ast.Module, module: str = "", is_package: bool = False) -> Aliases:
    """The import bindings of ``tree``'s module-level statements (including
    those under ``if TYPE_CHECKING:`` and in ``try`` blocks). Relative imports
    are resolved against ``module``, the dotted name of the file (a package's
    ``__init__`` when ``is_package``)."""
    aliases = Aliases()
    for node in module_statements(tree):
        if isinstance(node, ast.Import):
            for a in node.names:
                if a.asname:
                    aliases.names[a.asname] = a.name
                else:
                    top = a.name.split(".")[0]
                    aliases.names[top] = top
        elif isinstance(node, ast.ImportFrom):
            if node.level:
                base = relative_base(module, is_package, node.level, node.module)
            else:
                base = node.module
            if not base:
                continue
            for a in node.names:
                if a.name == "*":
                    aliases.star.append(base)
                else:
                    aliases.names[a.asname or a.name] = f"{base}.{a.name}"
    return aliases


def dotted_name(node: ast.AST) -> str | None:
    """``"a.b.c"`` for a ``Name``/``Attribute`` chain, else ``None``."""
    parts = []
    while isinstance(node, ast.Attribute):
        parts.append(node.attr)
        node = node.value
    if not isinstance(node, ast.Name):
        return None
    parts.append(node.id)
    return ".".join(reversed(parts))


def resolve_dotted(name: str, aliases: Aliases) -> str | None:
    """The dotted name that ``name`` (as written in the module) stands for,
    or ``None`` when its first component is not bound by an import."""
    root, _, rest = name.partition(".")
    target = aliases.lookup(root)
    if target is None:
        return None
    return f"{target}.{rest}" if rest else target


def _expr_for(dotted: str) -> ast.expr:
    parts = dotted.split(".")
    node: ast.expr = ast.Name(id=parts[0], ctx=ast.Load())
    for part in parts[1:]:
        node = ast.Attribute(value=node, attr=part, ctx=ast.Load())
    return node


class _Resolver(ast.NodeTransformer):
    def __init__(self, aliases: Aliases) -> None:
        self.aliases = aliases

    def visit_Name(self, node: ast.Name) -> ast.AST:
        target = self.aliases.lookup(node.id)
        if target is None or target == node.id:
            return node
        return ast.copy_location(_expr_for(target), node)

    def visit_Constant(self, node: ast.Constant) -> ast.AST:
        # A quoted annotation inside a larger one: resolve its text, keep it quoted.
        if isinstance(node.value, str):
            text = resolve_text(node.value, self.aliases)
            if text != node.value:
                return ast.copy_location(ast.Constant(value=text), node)
        return node


def resolve_text(text: str, aliases: Aliases) -> str:
    """``text`` parsed as an expression, its imported names resolved, unparsed
    again; ``text`` unchanged when it is not an expression or has nothing to resolve."""
    try:
        expr = ast.parse(text.strip(), mode="eval").body
    except (SyntaxError, ValueError, RecursionError, MemoryError):
        return text
    resolved = _Resolver(aliases).visit(expr)
    out = ast.unparse(resolved)
    return out if out != ast.unparse(expr) else text


def resolve(node: ast.expr | None, aliases: Aliases) -> str:
    """Source text of an annotation with imported names resolved; a string
    annotation is parsed and resolved too; ``""`` for no annotation."""
    if node is None:
        return ""
    if isinstance(node, ast.Constant) and isinstance(node.value, str):
        text = resolve_text(node.value, aliases)
        return text.strip() if text == node.value else text
    return ast.unparse(_Resolver(aliases).visit(copy.deepcopy(node)))
