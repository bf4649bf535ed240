"""The documented texts of both modules' function objects, written out literally.

Each entry: qualified name -> (signature line, docstring or None). The
``__doc__`` of a function is the signature line, then, when there is a
docstring, a blank line and the docstring.
"""

from __future__ import annotations


def lines(*parts: str) -> str:
    return "\n".join(parts)


PDK_FUNCTIONS: dict[str, tuple[str, str | None]] = {
    "get_pdk": (
        "get_pdk() -> pf.Pdk",
        lines(
            "Import a PDK by name.",
            "",
            "Returns:",
            "    pf.Pdk: The imported PDK object.",
            "",
            "Raises:",
            "    ImportError: If the specified PDK cannot be found.",
        ),
    ),
    "get_base_pdk": (
        "get_base_pdk() -> pf.Pdk | FrozenPdk",
        lines(
            "Get the base PDK, which is the generic PDK.",
            "",
            "Returns:",
            "    pf.Pdk: The base PDK object.",
        ),
    ),
    "register_cells": (
        "register_cells(*, paths: Iterable[Path] = (), bool reload: bool = True) -> tuple[list[str], list[str]]",
        lines(
            "Register PDK cells.",
            "",
            "Args:",
            "    paths: Paths to Python modules containing PDK cells.",
            "        If empty, it will import all modules.",
            "    reload: Whether to reload the modules we're importing from.",
            "",
            "Returns:",
            "    tuple[list[str], list[str]]:",
            "        - List of names of newly registered cells.",
            "        - List of names of deleted cells.",
        ),
    ),
    "activate_pdk_by_name": (
        "activate_pdk_by_name(str name: str) -> pf.Pdk",
        lines(
            "Activate a PDK by name (deprecated).",
            "",
            "Args:",
            "    name: Name of the PDK to activate. (deprecated, will be ignored)",
            "",
            "Returns:",
            "    pf.Pdk: The activated PDK object.",
        ),
    ),
    "FrozenPdk.__setattr__": ("FrozenPdk.__setattr__(self, str name: str, value: Any) -> None", None),
    "FrozenPdk.__delattr__": ("FrozenPdk.__delattr__(self, str name: str) -> None", None),
    "_get_pdk": ("_get_pdk() -> pf.Pdk", None),
    "_sort_paths": ("_sort_paths(paths: Iterable[Path]) -> list[Path]", None),
    "_error_cell": (
        "_error_cell(str funcname: str, str modname: str, error: str | Exception) -> Callable",
        None,
    ),
    "_import_modules": (
        "_import_modules(dict static_records: dict[str, m.FactoryRecord], list paths: list[Path], *, "
        "bool reload: bool = True) -> tuple[dict[Path, ModuleType], dict[Path, tuple[str, Exception]]]",
        None,
    ),
    "_handle_import_errors": (
        "_handle_import_errors(dict static_records: dict[str, m.FactoryRecord], "
        "dict errors: dict[Path, tuple[str, Exception]]) -> tuple[dict[str, Callable], dict[str, m.FactoryRecord]]",
        None,
    ),
    "_find_cells": (
        "_find_cells(dict static_records: dict[str, m.FactoryRecord], dict modules: dict[Path, ModuleType]) "
        "-> dict[str, Callable]",
        None,
    ),
    "_get_database_updates": (
        "_get_database_updates(dict static_records: dict[str, m.FactoryRecord], "
        "dict present_records: dict[str, m.FactoryRecord], list paths: list[Path]) "
        "-> tuple[list[m.FactoryRecord], list[str]]",
        None,
    ),
    "_clean_containers_also_in_cells": ("_clean_containers_also_in_cells(pdk: pf.Pdk) -> None", None),
}

MODELS_FUNCTIONS: dict[str, tuple[str, str | None]] = {
    "register_models": (
        "register_models(G: nx.DiGraph | None = None, /, *, bool reload: bool = True) -> tuple[list[str], list[str]]",
        lines(
            "Register all models in the current project.",
            "",
            "Args:",
            "    G: (optional) the call graph to extract factory dependencies from.",
            "    reload: Whether to reload the modules containing the models.",
            "",
            "Returns:",
            "    tuple[list[str], list[str]]:",
            "        - List of names of newly registered models.",
            "        - List of names of deleted models.",
        ),
    ),
    "find_models": (
        "find_models(dict lib_paths: dict[str, Path] | None = None) -> dict[str, m.ModelRecord]",
        lines(
            "Find all models in the current project.",
            "",
            "Args:",
            "    lib_paths: module name -> library path mapping of all relevant python libraries.",
            "",
            "Returns:",
            "    dict[str, ModelRecord]: mapping of model names to their records.",
        ),
    ),
    "_is_model": ("_is_model(dict record: dict) -> bool", None),
    "_create_record": ("_create_record(dict model_records: dict[str, dict], func: Callable) -> dict | None", None),
    "_funcname": ("_funcname(func: Callable) -> str | None", None),
    "_error_model": (
        "_error_model(str funcname: str, str modname: str, error: str | Exception) -> Callable",
        None,
    ),
}

# Keyword-only and positional defaults.
KWDEFAULTS = {
    "register_cells": {"paths": (), "reload": True},
    "_import_modules": {"reload": True},
    "register_models": {"reload": True},
}
DEFAULTS = {"register_models": (None,), "find_models": (None,)}

# Typed parameters: name -> (expected type, None allowed).
TYPED = {
    ("activate_pdk_by_name", "name"): (str, False),
    ("FrozenPdk.__setattr__", "name"): (str, False),
    ("FrozenPdk.__delattr__", "name"): (str, False),
    ("_error_cell", "funcname"): (str, False),
    ("_error_cell", "modname"): (str, False),
    ("_import_modules", "static_records"): (dict, False),
    ("_import_modules", "paths"): (list, False),
    ("_handle_import_errors", "static_records"): (dict, False),
    ("_handle_import_errors", "errors"): (dict, False),
    ("_find_cells", "static_records"): (dict, False),
    ("_find_cells", "modules"): (dict, False),
    ("_get_database_updates", "static_records"): (dict, False),
    ("_get_database_updates", "present_records"): (dict, False),
    ("_get_database_updates", "paths"): (list, False),
    ("find_models", "lib_paths"): (dict, True),
    ("_is_model", "record"): (dict, False),
    ("_create_record", "model_records"): (dict, False),
    ("_error_model", "funcname"): (str, False),
    ("_error_model", "modname"): (str, False),
}

PDK_DOC = "PDK Utilties."
MODELS_DOC = "Utilities to work with SAX models in Morvane projects."
FROZEN_DOC = "A frozen PDK that prevents modification of its attributes."

# Module namespaces after the body, in binding order (the import system's own
# dunders left out).
PDK_NAMESPACE = [
    "importlib", "sys", "warnings", "defaultdict", "Callable", "Iterable", "copy", "deepcopy", "cache",
    "Path", "ModuleType", "TYPE_CHECKING", "Any", "cast", "lazy_import",
    "m", "cg", "pf", "log", "settings", "frozendict", "imports", "db", "register_models",
    "get_pdk", "get_base_pdk", "register_cells", "activate_pdk_by_name", "FrozenPdk", "_get_pdk",
    "_sort_paths", "_error_cell", "_import_modules", "_handle_import_errors", "_find_cells",
    "_get_database_updates", "_clean_containers_also_in_cells",
]  # fmt: skip
MODELS_NAMESPACE = [
    "json", "defaultdict", "Callable", "deepcopy", "partial", "Path", "TYPE_CHECKING", "Any", "lazy_import",
    "nx", "sax", "db", "natsorted", "log", "m", "ccg", "imports", "get_pdk", "get_base_pdk",
    "get_project_dir", "get_project_name", "generate_call_graph",
    "register_models", "find_models", "_is_model", "_create_record", "_funcname", "_error_model",
]  # fmt: skip

PDK_LAZY_CALLS = [
    ("morvane.models",), ("morvane.core.callgraph",), ("polyforge",), ("morvane.logger", "get_logger"),
    ("morvane.settings",), ("frozendict", "frozendict"), ("morvane.core.imports",),
    ("morvane.core.database",), ("morvane.core.models", "register_models"),
]  # fmt: skip
MODELS_LAZY_CALLS = [
    ("networkx",), ("sax",), ("morvane.core.database",), ("natsort", "natsorted"),
    ("morvane.logger", "get_logger"), ("morvane.models",), ("morvane.core.callgraph",),
    ("morvane.core.imports",), ("morvane.core.pdk", "get_pdk"), ("morvane.core.pdk", "get_base_pdk"),
    ("morvane.settings", "get_project_dir"), ("morvane.settings", "get_project_name"),
    ("morvane.morvane", "generate_call_graph"),
]  # fmt: skip

# What the TYPE_CHECKING branch imports, in order: (module, names or None).
PDK_DIRECT_IMPORTS = [
    "polyforge", "frozendict", "morvane.core.callgraph", "morvane.core.database", "morvane.models",
    "morvane.settings", "morvane.core.imports", "morvane.core.models", "morvane.logger",
]  # fmt: skip
MODELS_DIRECT_IMPORTS = [
    "networkx", "sax", "natsort", "morvane.core.callgraph", "morvane.core.database", "morvane.models",
    "morvane.core.imports", "morvane.core.pdk", "morvane.morvane", "morvane.logger", "morvane.settings",
]  # fmt: skip
