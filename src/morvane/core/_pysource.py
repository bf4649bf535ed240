"""Python source files as seen without importing them.

Shared by the call graph (:mod:`morvane.core.callgraph`) and the function
graph (:mod:`morvane.morvane`):

- :func:`iter_python_files` lists the ``.py`` files of a directory tree in a
  fixed order (in each directory ``__init__.py`` first, then the other files,
  then the subdirectories, each group sorted by name), skipping hidden
  directories, ``__pycache__``, build and distribution directories,
  ``*.egg-info``, ``node_modules``, ``site-packages`` and virtual
  environments (any directory holding a ``pyvenv.cfg``). The walk is
  iterative, so a tree of any depth is listed; folders it may not read are
  reported to the caller who asks, not silently left out.
- :class:`Folder` is one folder's part of that walk, kept by the engine
  (:mod:`morvane.core.engine`) while the folder's stamp is unchanged.
- :func:`import_aliases` and :func:`resolve` turn names bound by import
  statements back into the dotted names they stand for.
"""

from __future__ import annotations

import ast
import collections
import copy
import os
import time
from collections.abc import Callable, Iterable, Iterator
from pathlib import Path
from typing import Any

SKIPPED_DIR_NAMES = frozenset({
    "__pycache__", "build", "dist", "node_modules", "site-packages", "venv",
})

Stamp = tuple[int, int, int]


def _skipped_dir(entry: os.DirEntry[str]) -> bool:
    name = entry.name
    if name.startswith(".") or name in SKIPPED_DIR_NAMES or name.endswith(".egg-info"):
        return True
    return os.path.exists(os.path.join(entry.path, "pyvenv.cfg"))


def iter_python_files(root: Path, unreadable: list[Path] | None = None) -> list[Path]:
    """The ``.py`` files under ``root`` (see the module docstring for order and skips).

    Folders that cannot be listed are appended to ``unreadable`` when given.
    """
    out: list[Path] = []
    # Depth first, in the order a recursive walk would take: each folder's
    # subfolders go on the stack in reverse so the first is listed next.
    stack = [Path(root)]
    while stack:
        directory = stack.pop()
        subdirs = _walk(directory, out, unreadable)
        stack.extend(reversed(subdirs))
    return out


def _walk(directory: Path, out: list[Path], unreadable: list[Path] | None = None) -> list[Path]:
    """Append ``directory``'s own files to ``out``; return its subfolders to walk."""
    try:
        with os.scandir(directory) as it:
            entries = sorted(it, key=lambda e: e.name)
    except FileNotFoundError:
        return []  # deleted while the tree was walked
    except OSError:
        if unreadable is not None:
            unreadable.append(directory)
        return []
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
    return [directory / e.name for e in dirs]


def module_name(parts: tuple[str, ...] | list[str]) -> str:
    """Dotted module name of a file given its path components below the import root."""
    parts = list(parts)
    if parts and parts[-1].endswith(".py"):
        parts[-1] = parts[-1][:-3]
    if parts and parts[-1] == "__init__":
        parts.pop()
    return ".".join(parts)


def file_stamp(path: str | os.PathLike[str]) -> Stamp | None:
    """``(mtime_ns, ctime_ns, size)`` of ``path``, or ``None`` when it cannot be read."""
    try:
        st = os.stat(path)
    except OSError:
        return None
    return (st.st_mtime_ns, st.st_ctime_ns, st.st_size)


def parse_source(path: Path) -> ast.Module | None:
    """The syntax tree of ``path``, or ``None`` when it cannot be read or parsed."""
    try:
        source = Path(path).read_bytes()
    except OSError:
        return None
    return parse_bytes(source, path)


def parse_bytes(source: bytes, path: Path) -> ast.Module | None:
    """The syntax tree of ``source``, the text of ``path``, or ``None`` when it does not parse."""
    try:
        return ast.parse(source, filename=str(path))
    except (SyntaxError, ValueError, UnicodeDecodeError, RecursionError, MemoryError):
        return None


class Folder:
    """One folder's part of :func:`iter_python_files`: its ``.py`` files and
    the subfolders to walk, as listed when its stamp was ``stamp``.

    A folder's modification time changes when an entry is added, removed or
    renamed, so a listing is kept while ``(st_mtime_ns, st_ctime_ns, st_ino,
    st_dev)`` is unchanged, except one taken within ``racy_ns`` of the
    folder's modification time (a coarse clock can
    change the folder again within the same stamp). What the folder's
    stamp does not cover is looked at on every walk: a ``.py`` entry that is
    a symbolic link (its target may change) and whether a subfolder holds a
    ``pyvenv.cfg`` (a change of the subfolder, not of this one).

    A folder listed again that holds the same names, each of the same kind
    (a symbolic link with the same target text), is the kept listing with
    the new stamp: an editor that saves by writing a new file and renaming
    it over the old one changes the folder's stamp on every save, not its
    entries.
    """

    __slots__ = ("stamp", "racy", "unreadable", "entries", "links", "dirs", "names")

    def __init__(self, stamp: tuple[int, ...], racy: bool) -> None:
        self.stamp = stamp
        self.racy = racy
        self.unreadable = False
        self.entries: list[Path] = []  # the .py files (and links named so), in walk order
        self.links: frozenset[Path] = frozenset()  # those of entries that are symbolic links
        self.dirs: list[Path] = []  # subfolders not skipped by their name
        # every entry's name and kind, when each could be told (see above)
        self.names: tuple[str, ...] | None = None

    @classmethod
    def look(cls, directory: Path, kept: Folder | None, racy_ns: int) -> Folder | None:
        """``kept`` when it is still the folder's listing, else a new one;
        ``None`` for a folder that is gone."""
        before = time.time_ns()
        try:
            st = os.stat(directory)
        except FileNotFoundError:
            return None
        except OSError:
            folder = cls((), False)
            folder.unreadable = True
            return folder
        stamp = (st.st_mtime_ns, st.st_ctime_ns, st.st_ino, st.st_dev)
        if kept is not None and kept.stamp == stamp and not kept.racy and not kept.unreadable:
            return kept
        folder = cls(stamp, st.st_mtime_ns >= before - racy_ns)
        try:
            with os.scandir(directory) as it:
                entries = sorted(it, key=lambda e: e.name)
        except FileNotFoundError:
            return None
        except OSError:
            folder.unreadable = True
            return folder
        files, links, names = [], [], []
        comparable = True  # each entry's kind could be told
        for entry in entries:
            name = entry.name
            try:
                if entry.is_dir(follow_symlinks=False):
                    names.append(name + "/")
                    if not (name.startswith(".") or name in SKIPPED_DIR_NAMES or name.endswith(".egg-info")):
                        folder.dirs.append(directory / name)
                    continue
                if entry.is_symlink():
                    names.append(f"{name}@{os.readlink(entry.path)}")
                else:
                    names.append(name if entry.is_file(follow_symlinks=False) else name + "?")
                if name.endswith(".py") and (entry.is_symlink() or entry.is_file()):
                    files.append(entry)
                    if entry.is_symlink():
                        links.append(directory / name)
            except OSError:
                comparable = False
                continue
        if comparable:
            folder.names = tuple(names)
            if kept is not None and kept.names == folder.names and not kept.unreadable:
                kept.stamp, kept.racy = folder.stamp, folder.racy
                return kept
        files.sort(key=lambda e: (e.name != "__init__.py", e.name))
        folder.entries = [directory / e.name for e in files]
        folder.links = frozenset(links)
        return folder

    def files(self) -> list[Path]:
        if not self.links:
            return self.entries
        return [p for p in self.entries if p not in self.links or os.path.isfile(p)]

    def subdirs(self) -> list[Path]:
        # A subfolder holding a pyvenv.cfg (a virtual environment) is
        # skipped, asked of the file system on every walk as by _skipped_dir.
        return [d for d in self.dirs if not os.path.exists(os.path.join(d, "pyvenv.cfg"))]


# --------------------------------------------------------------------------
# Module-level statements, imports and name resolution
# --------------------------------------------------------------------------


def walk(node: ast.AST) -> Iterator[ast.AST]:
    """The nodes of ``node``'s tree in the order of :func:`ast.walk`
    (breadth first), at about half its cost: the children are read from the
    fields directly instead of through a generator per node."""
    todo = collections.deque([node])
    pop, push, extend = todo.popleft, todo.append, todo.extend
    AST = ast.AST
    while todo:
        node = pop()
        for name in node._fields:
            value = getattr(node, name, None)
            if isinstance(value, AST):
                push(value)
            elif isinstance(value, list):
                extend([item for item in value if isinstance(item, AST)])
        yield node


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
    written = dotted_name(node)
    if written is not None:
        # A plain name or attribute chain (``pf.Component``), the common
        # case: only its first name can be replaced, which string work does
        # as the tree rewrite below would, without copying the tree.
        root, dot, rest = written.partition(".")
        target = aliases.lookup(root)
        return written if target is None or target == root else target + dot + rest
    return ast.unparse(_Resolver(aliases).visit(copy.deepcopy(node)))
