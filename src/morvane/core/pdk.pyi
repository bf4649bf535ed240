"""PDK Utilties."""

import functools
import os
from collections.abc import Callable, Iterable
from pathlib import Path
from types import ModuleType
from typing import TYPE_CHECKING as TYPE_CHECKING, Any

import morvane.models as m
import polyforge as pf

def get_pdk() -> pf.Pdk: ...
# functools.cache wrappers of functions without parameters: calling them, their
# cache_clear() and their __wrapped__ are all typed by the wrapper type.
get_base_pdk: functools._lru_cache_wrapper[pf.Pdk | FrozenPdk]
def register_cells(*, paths: Iterable[str | os.PathLike[str]] = (), reload: bool = True) -> tuple[list[str], list[str]]: ...
def activate_pdk_by_name(name: str) -> pf.Pdk: ...

class FrozenPdk(pf.Pdk):
    """A frozen PDK that prevents modification of its attributes."""

    def __setattr__(self, name: str, value: Any) -> None: ...
    def __delattr__(self, name: str) -> None: ...

_get_pdk: functools._lru_cache_wrapper[pf.Pdk]
def _sort_paths(paths: Iterable[Path]) -> list[Path]: ...
def _error_cell(funcname: str, modname: str, error: str | Exception) -> Callable[..., Any]: ...
def _import_modules(
    static_records: dict[str, m.FactoryRecord], paths: list[Path], *, reload: bool = True
) -> tuple[dict[Path, ModuleType], dict[Path, tuple[str, Exception]]]: ...
def _handle_import_errors(
    static_records: dict[str, m.FactoryRecord], errors: dict[Path, tuple[str, Exception]]
) -> tuple[dict[str, Callable[..., Any]], dict[str, m.FactoryRecord]]: ...
def _find_cells(
    static_records: dict[str, m.FactoryRecord], modules: dict[Path, ModuleType]
) -> dict[str, Callable[..., Any]]: ...
def _get_database_updates(
    static_records: dict[str, m.FactoryRecord], present_records: dict[str, m.FactoryRecord], paths: list[Path]
) -> tuple[list[m.FactoryRecord], list[str]]: ...
def _clean_containers_also_in_cells(pdk: pf.Pdk) -> None: ...
