"""The registration pass: the one way the command line, the watcher and the live page run it.

A pass is one call of :func:`run_pass` (the command line's ``register``,
``check``, ``register PATHS`` and ``show --svg``) or of
:func:`apply_changes` (the watcher's and the live page's pass after files
were saved or deleted). Either one

1. works out the files it covers: the files it is given (with
   :func:`apply_changes`, also the project files that import them, see
   :func:`pass_paths`), and the files that now hold the names those files
   defined (:func:`defining_files`), so that the pass leaves each name as
   a pass over the whole project would;
2. takes the modules of deleted files out of the importer and runs the
   covered files that exist, each after the files it imports;
3. runs the registration (``register_cells``) in one database transaction;
4. stores the import errors behind the pass's error cells, which ``show``
   prints (:func:`record_import_errors`);

and returns what it did, for :mod:`morvane.report` to describe. Every pass
is one revision of the engine (``session.one_pass()``), opened here and
nowhere else: the services the pass calls look at each file once per pass.
"""

from __future__ import annotations

import sys
import time
from collections.abc import Iterable, Sequence
from contextlib import AbstractContextManager, nullcontext
from pathlib import Path
from typing import Any

from morvane import report, settings
from morvane.core import callgraph, imports
from morvane.core import database as db
from morvane.core.engine import session

__all__ = ["pass_paths", "defining_files", "stored_rows", "snapshot", "record_import_errors", "run_pass",
           "apply_changes"]


# --------------------------------------------------------------------------
# The files a pass covers
# --------------------------------------------------------------------------


def pass_paths(changed: Iterable[Path], deleted: Iterable[Path]) -> list[Path]:
    """The files one pass must cover after ``changed`` files were written and
    ``deleted`` ones removed: those files and the project files that import
    one of them, directly or through others; each once, in that order."""
    out = dict.fromkeys(Path(p).resolve() for p in [*changed, *deleted])
    out.update(dict.fromkeys(callgraph.importers_of(list(out))))
    return list(out)


def _defined_names(path: Path) -> set[str]:
    """The cell names the file ``path`` defines now: its factories, and what
    the importer would make error cells of if it failed to import."""
    names = set(callgraph.factory_names(path))
    try:
        names.update(callgraph.scan_cell_names(path))
    except OSError:
        pass
    return names


def _file_of(record: Any) -> Path:
    return Path(record.absolute_source()).resolve()


def defining_files(paths: Sequence[Path]) -> list[Path]:
    """The other project files a pass over ``paths`` must cover too, so that
    each name the files defined (their stored rows) ends as a pass over the
    whole project leaves it.

    A name belongs to the file the call graph keeps it from, the first in
    file order of the files defining it: its factory, or its error cell when
    that file fails to import (a failing file's error cells leave alone the
    names another file keeps). A pass over a file that was deleted, or that
    no longer defines a name stored from it, would remove the name although
    another file still defines it: that file, the one the call graph keeps
    the name from now, is covered too. Nothing else is: a name stored from
    a file outside ``paths`` stays that file's, and a file that now comes
    first for a name is one of ``paths`` (it was written or deleted).

    The files found are examined the same way in turn; they are returned as
    resolved absolute paths, in the order found."""
    project_dir = Path(settings.get_project_dir()).resolve()
    todo = list(dict.fromkeys(Path(p).resolve() for p in paths))
    covered = set(todo)
    found: list[Path] = []
    graph = None
    while todo:
        defines = {p: set(callgraph.factory_names(p)) for p in todo if p.is_file()}
        lost = [name for name, r in db.get_factories_by_source(*todo).items()
                if name not in defines.get(_file_of(r), ())]
        if not lost:
            break
        if graph is None:
            graph = callgraph.create_callgraph()
        nodes = graph.nodes
        others = [(project_dir / nodes[n]["source"]).resolve() for n in lost
                  if n in nodes and nodes[n].get("source")]
        todo = [p for p in dict.fromkeys(others) if p not in covered and p.is_relative_to(project_dir)]
        covered.update(todo)
        found.extend(todo)
    return found


def stored_rows(paths: list[Path]) -> tuple[dict[str, Any], dict[str, Any]]:
    """The stored factories a pass over ``paths`` can write or remove (all of
    them for an empty ``paths``), and every stored model: the factories whose
    source is one of the files and those of the names the files define now,
    wherever they are stored (a cell moved in from another file)."""
    if not paths:
        return db.get_all_factories(), db.get_all_model_records()
    factories = db.get_factories_by_source(*paths)
    names: set[str] = set()
    for path in paths:
        if path.is_file():
            names.update(_defined_names(path))
    factories.update(db.get_factories_by_name(*(names - factories.keys())))
    return factories, db.get_all_model_records()


def snapshot() -> tuple[dict[str, Any], dict[str, Any]]:
    """Every stored factory and every stored model."""
    return db.get_all_factories(), db.get_all_model_records()


# --------------------------------------------------------------------------
# The project's own PDK package
# --------------------------------------------------------------------------


def _pdk_package_files(project_dir: Path) -> Path | None:
    """Where the configured PDK package lives when it is a package of the
    project itself, else ``None``."""
    name = settings.get_pdk_name()
    if not isinstance(name, str) or name.lower() in callgraph.GENERIC_PDK_NAMES:
        return None
    location = callgraph._locate(name, search_first=project_dir)
    if location is None or not location.resolve().is_relative_to(project_dir):
        return None
    return location.resolve()


def _forget_pdk(core: Any, pdk_name: str, changed: Iterable[Path] = ()) -> None:
    """Make the next pass resolve the PDK anew, from its package's files as
    they are now (``changed`` among them), as a new process would."""
    for name in [n for n in sys.modules if n == pdk_name or n.startswith(pdk_name + ".")]:
        del sys.modules[name]
    for file in changed:
        # Rewritten within the second at the same size, a file would run
        # from its old bytecode.
        imports._drop_stale_bytecode(file)
    core._get_pdk.cache_clear()
    core.get_base_pdk.cache_clear()


# --------------------------------------------------------------------------
# Import errors, kept for `show`
# --------------------------------------------------------------------------


def record_import_errors(core: Any, after: dict[str, Any],
                         sources: Sequence[str] = ()) -> dict[str, dict[str, Any]]:
    """Capture the import error behind each file's error cells (calling an
    error cell raises it again, with its traceback), store it, and forget the
    stored errors of files that have no error cell any more. ``after`` holds
    every stored factory, or, with ``sources``, those of these files.
    Returns the errors of the files of ``after``, by source."""
    cells = core.get_pdk().cells
    project_dir = settings.get_project_dir()
    by_source: dict[str, Any] = {}
    for record in after.values():
        if record.status == "ERROR":
            by_source.setdefault(record.source, record)
    stored = db.get_import_errors(*sources) if sources else db.get_import_errors()
    changes: dict[str, dict[str, Any] | None] = {s: None for s in stored if s not in by_source}
    for source, record in by_source.items():
        cell = cells.get(record.name)
        if not callable(cell):
            continue
        try:
            cell()
        except Exception as exc:
            changes[source] = report.error_info(exc, Path(record.absolute_source()), project_dir)
        except SystemExit as exc:
            changes[source] = report.error_info(exc, Path(record.absolute_source()), project_dir)
    changes = {s: e for s, e in changes.items() if stored.get(s) != e}
    db.set_import_errors(changes)
    return {**{s: e for s, e in stored.items() if s in by_source},
            **{s: e for s, e in changes.items() if e is not None}}


def _pass_factories(core: Any, paths: Sequence[Path], project_dir: Path
                    ) -> tuple[dict[str, Any], dict[str, dict[str, Any]]]:
    """The stored factories of a pass's files (every one after a full pass),
    and the import errors behind their error cells, stored for ``show``."""
    if paths:
        factories = db.get_factories_by_source(*paths)
        sources = list(dict.fromkeys(report.relative(p, project_dir) for p in paths))
    else:
        factories, sources = db.get_all_factories(), []
    return factories, record_import_errors(core, factories, sources)


# --------------------------------------------------------------------------
# The passes
# --------------------------------------------------------------------------


def _cover(paths: list[Path]) -> list[Path]:
    return [*paths, *defining_files(paths)] if paths else []


def _prepare(paths: list[Path], *, first: Iterable[Path] = (), deleted: Iterable[Path] = (),
             reload: bool) -> None:
    """Before the registration: the modules of deleted files go, so that a
    file still importing one fails as it would in a new process; the pass's
    files that exist run (``first`` first), each after those it imports, so
    that they run even when they define no cell any more (their last one
    deleted or moved) and the files importing them see what they define now.
    The registration then finds them up to date."""
    imports.forget_deleted(list(dict.fromkeys([*deleted, *paths])))
    files = [p for p in dict.fromkeys([*paths, *first]) if p.is_file()]
    imports.import_modules(paths=files, reload=reload, from_project=True)


def _register(core: Any, paths: list[Path], reload: bool) -> tuple[list[str], list[str]]:
    """``register_cells`` over ``paths`` (every file when empty); inside the
    caller's database transaction."""
    if reload:
        _pdk_models_as_resolved(core)
    written, removed = core.register_cells(paths=paths, reload=reload)
    _pdk_factories_as_resolved(core)
    if reload:
        # The model pass adds and replaces the PDK's models but never drops
        # one: a model whose source stopped defining it would stay callable
        # in this process only. A new process's PDK holds the stored ones.
        models = core.get_pdk().models
        for name in set(models) - set(db.get_all_models()):
            del models[name]
    return list(written), list(removed)


def _pdk_models_as_resolved(core: Any) -> None:
    """The PDK's models as the PDK package made them, before a pass that
    runs the model search.

    The search reads the active PDK's models, and the model pass puts each
    project model function (or its placeholder) into them under its name:
    a project model named like one of the PDK's (a partial of the layout
    library's model, say) replaced it, and one that is gone stayed, so the
    next pass's search found models a new process never finds. The model
    pass puts every project model back in; the base PDK holds the models as
    the package made them."""
    base = core.get_base_pdk()
    models = core.get_pdk().models
    own = getattr(base, "models", None)
    if base is None or own is None or own is models:
        return
    for name in [n for n in models if n not in own]:
        del models[name]
    for name, model in own.items():
        if models.get(name) is not model:
            models[name] = model


def _pdk_factories_as_resolved(core: Any) -> None:
    """Put back the PDK's own cells and containers that an earlier pass took
    out while a project cell of the same name existed (the pass removes a
    deleted cell's name, and the clean-up of names that are both a cell and
    a container removes one of the two): a new process's PDK holds them
    while no project file defines the name."""
    base, pdk = core.get_base_pdk(), core.get_pdk()
    if base is None or base is pdk:
        return
    cells, containers = pdk.cells, pdk.containers
    missing = [n for n in base.cells if n not in cells] + [n for n in base.containers if n not in containers]
    if not missing:
        return
    project = db.get_factories_by_name(*missing)
    restored = False
    for name, cell in base.cells.items():
        if name not in cells and name not in project:
            cells[name] = cell
            restored = True
    for name, container in base.containers.items():
        if name not in containers and name not in project:
            containers[name] = container
            restored = True
    if restored and any(name in cells for name in containers):
        core._clean_containers_also_in_cells(pdk)


def run_pass(core: Any, paths: Sequence[Path] = (), *, reload: bool = True,
             during: AbstractContextManager[Any] | None = None) -> dict[str, Any]:
    """The command line's pass over ``paths`` (every file when empty), with
    the database's state before and after and the import errors behind the
    error cells; ``core`` is the ``morvane.core.pdk`` module. ``reload``
    false keeps modules already imported and the models as they are.
    ``during`` is entered around the registration itself (the command
    line's progress bar over the files it imports).

    Returns ``"duration_s"``, ``"factories"`` (the names ``new``,
    ``updated``, ``removed``, ``written`` and ``deleted``), ``"models"``
    (``new``, ``updated``, ``removed``), ``"after_factories"`` and
    ``"after_models"`` (every stored row after the pass),
    ``"import_errors"`` and ``"paths"``, the files the pass covered
    (empty for the whole project). The pass's exceptions propagate."""
    session.use_project_store()
    with session.one_pass():
        return _run_pass(core, [Path(p) for p in paths], reload, during or nullcontext())


def _run_pass(core: Any, paths: list[Path], reload: bool, during: AbstractContextManager[Any]) -> dict[str, Any]:
    paths = _cover(paths)
    _prepare(paths, reload=reload)
    before_f, before_m = snapshot()
    start = time.perf_counter()
    with during, db.pass_scope():
        written, deleted = _register(core, paths, reload)
    after_f, after_m = snapshot()
    duration = time.perf_counter() - start
    import_errors = record_import_errors(core, after_f)
    return {
        "duration_s": round(duration, 4),
        "factories": {**report.diff(before_f, after_f, report.factory_key),
                      "written": written, "deleted": deleted},
        "models": report.diff(before_m, after_m, report.model_key),
        "after_factories": after_f,
        "after_models": after_m,
        "import_errors": import_errors,
        "paths": paths,
    }


def apply_changes(changed: Iterable[Path], deleted: Iterable[Path], *, core: Any = None,
                  snapshot: bool = False) -> dict[str, Any]:
    """Bring the registry up to date after ``changed`` files were written and
    ``deleted`` ones removed: one pass over :func:`pass_paths` and
    :func:`defining_files`, in one database transaction; no files at all
    make a pass over the whole project. A change to the project's own PDK
    package resolves the PDK again and runs a full pass instead.

    Returns the pass's ``"paths"`` (empty for a full pass), the
    ``"importers"`` among them, whether it was ``"full"``, the names
    ``"written"`` and ``"removed"``, ``"factories"``, the stored rows of the
    pass's files after it (every row after a full pass), and
    ``"import_errors"``, the errors behind their error cells. With
    ``snapshot``, also ``"before"``: :func:`stored_rows` of the paths as the
    pass found them, ``"written_rows"``: the stored rows of the names
    written, and ``"models"``: every stored model after the pass, which
    :func:`morvane.report.watch_pass_json` describes. The pass's exceptions
    propagate."""
    session.use_project_store()
    with session.one_pass():
        return _apply_changes(changed, deleted, core, snapshot)


def _apply_changes(changed: Iterable[Path], deleted: Iterable[Path], core: Any, snapshot: bool) -> dict[str, Any]:
    if core is None:
        from morvane.core import pdk as core
    changed, deleted = [Path(p).resolve() for p in changed], [Path(p).resolve() for p in deleted]
    project_dir = Path(settings.get_project_dir()).resolve()
    package = _pdk_package_files(project_dir)
    full = package is not None and any(p == package or p.is_relative_to(package) for p in [*changed, *deleted])
    if full:
        _forget_pdk(core, settings.get_pdk_name(), [p for p in changed if package and p.is_relative_to(package)])
    named = [] if full else pass_paths(changed, deleted)
    own = {*changed, *deleted}
    paths = _cover(named)
    _prepare(paths, first=changed, deleted=deleted, reload=True)
    before = None
    with db.pass_scope():
        if snapshot:
            before = stored_rows(paths)
        written, removed = _register(core, paths, True)
    factories, import_errors = _pass_factories(core, paths, project_dir)
    done: dict[str, Any] = {"paths": paths, "importers": [p for p in named if p not in own], "full": full,
                            "written": written, "removed": removed, "factories": factories,
                            "import_errors": import_errors}
    if before is not None:
        done["before"] = before
        done["written_rows"] = db.get_factories_by_name(*written) if paths else factories
        done["models"] = db.get_all_model_records()
    return done
