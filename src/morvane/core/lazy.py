"""Lazy imports: proxies that import their target on first use.

``lazy_import("pkg.mod")`` returns a proxy for a module; reading an attribute
of the proxy imports the module (once) and reads the attribute from it.
``lazy_import("pkg.mod", "name")`` returns a proxy for one attribute of a
module; calling the proxy calls the attribute, and reading an attribute of
the proxy reads it from the attribute.

Creating a proxy never imports anything. The first use imports the module
under a per-proxy lock (double-checked, so later uses take no lock). The
module is cached on the proxy; the attribute of an attribute proxy is looked
up on the module at every use, so rebinding the module attribute (in a test,
say) is seen by the next use. A failed import raises the original exception
and caches nothing: the next use tries again.
"""

from __future__ import annotations

import importlib
import threading
from types import ModuleType
from typing import Any

__all__ = ["lazy_import", "LazyModule", "LazyAttribute"]

# Names of the proxies' own slots; everything else is forwarded.
_OWN = frozenset({"_lazy_module_name", "_lazy_module", "_lazy_lock", "_lazy_attr_name"})


class _LazyBase:
    __slots__ = ("_lazy_module_name", "_lazy_module", "_lazy_lock")
    _lazy_module_name: str
    _lazy_module: ModuleType | None
    _lazy_lock: threading.RLock

    def __init__(self, module_name: str) -> None:
        object.__setattr__(self, "_lazy_module_name", module_name)
        object.__setattr__(self, "_lazy_module", None)
        # Re-entrant: a module whose body uses the proxy that is importing it
        # gets the partly initialised module, as a plain circular import does.
        object.__setattr__(self, "_lazy_lock", threading.RLock())

    def _lazy_load(self) -> ModuleType:
        module = self._lazy_module
        if module is None:
            with self._lazy_lock:
                module = self._lazy_module
                if module is None:
                    module = importlib.import_module(self._lazy_module_name)
                    object.__setattr__(self, "_lazy_module", module)
        return module

    @property
    def _lazy_loaded(self) -> bool:
        return self._lazy_module is not None

    def _lazy_target(self) -> Any:
        """What the proxy stands for, imported if need be."""
        raise NotImplementedError

    # Writes and listings go to the target; the proxy's own slots stay put.
    def __setattr__(self, name: str, value: Any) -> None:
        if name in _OWN:
            raise AttributeError(f"cannot rebind {name!r} of a lazy proxy")
        setattr(self._lazy_target(), name, value)

    def __delattr__(self, name: str) -> None:
        if name in _OWN:
            raise AttributeError(f"cannot delete {name!r} of a lazy proxy")
        delattr(self._lazy_target(), name)

    def __dir__(self) -> list[str]:
        return dir(self._lazy_target())


class LazyModule(_LazyBase):
    """Proxy for a module, imported on the first attribute access."""

    __slots__ = ()

    def _lazy_target(self) -> ModuleType:
        return self._lazy_load()

    def __getattr__(self, name: str) -> Any:
        module = self._lazy_module
        if module is None:
            module = self._lazy_load()
        return getattr(module, name)

    def __repr__(self) -> str:
        state = "loaded" if self._lazy_loaded else "not loaded"
        return f"<lazy module {self._lazy_module_name!r} ({state})>"


class LazyAttribute(_LazyBase):
    """Proxy for one attribute of a module, imported on the first use."""

    __slots__ = ("_lazy_attr_name",)

    def __init__(self, module_name: str, attr_name: str) -> None:
        super().__init__(module_name)
        object.__setattr__(self, "_lazy_attr_name", attr_name)

    def _lazy_target(self) -> Any:
        module = self._lazy_module
        if module is None:
            module = self._lazy_load()
        try:
            return getattr(module, self._lazy_attr_name)
        except AttributeError:
            # Like ``from pkg import sub``: the name may be a submodule that
            # nobody has imported yet.
            try:
                return importlib.import_module(f"{self._lazy_module_name}.{self._lazy_attr_name}")
            except ModuleNotFoundError as exc:
                if exc.name != f"{self._lazy_module_name}.{self._lazy_attr_name}":
                    raise
            raise

    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        return self._lazy_target()(*args, **kwargs)

    def __getattr__(self, name: str) -> Any:
        return getattr(self._lazy_target(), name)

    def __repr__(self) -> str:
        state = "loaded" if self._lazy_loaded else "not loaded"
        return f"<lazy attribute '{self._lazy_module_name}.{self._lazy_attr_name}' ({state})>"


def lazy_import(module_name: str, attr_name: str | None = None) -> LazyModule | LazyAttribute:
    """Return a proxy for a module, or for one attribute of it, without importing it."""
    if not isinstance(module_name, str) or not module_name:
        raise TypeError(f"lazy_import() needs a module name, got {module_name!r}")
    if attr_name is None:
        return LazyModule(module_name)
    if not isinstance(attr_name, str) or not attr_name:
        raise TypeError(f"lazy_import() needs an attribute name or None, got {attr_name!r}")
    return LazyAttribute(module_name, attr_name)
