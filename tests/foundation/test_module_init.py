"""Module initialisation, each case in a fresh interpreter."""

from __future__ import annotations

import textwrap

import pytest

from .texts import (
    FROZEN_DOC,
    MODELS_DIRECT_IMPORTS,
    MODELS_LAZY_CALLS,
    MODELS_NAMESPACE,
    PDK_DIRECT_IMPORTS,
    PDK_LAZY_CALLS,
    PDK_NAMESPACE,
)

MODULES = {
    "pdk": ("morvane.core.pdk", PDK_NAMESPACE, PDK_LAZY_CALLS),
    "models": ("morvane.core.models", MODELS_NAMESPACE, MODELS_LAZY_CALLS),
}

SERVICES = [
    "morvane.settings", "morvane.logger", "morvane.models", "morvane.morvane", "morvane.core.callgraph",
    "morvane.core.imports", "morvane.core.database", "frozendict", "networkx", "natsort", "sax",
]  # fmt: skip

# Replaces lazy_import with a recorder before anything imports it.
RECORD_LAZY = """
import json, sys
import morvane.core.lazy as lazy
calls, results = [], []
real_lazy_import = lazy.lazy_import
def recorder(*args, **kwargs):
    calls.append([list(args), kwargs])
    results.append(real_lazy_import(*args, **kwargs))
    return results[-1]
lazy.lazy_import = recorder
"""


@pytest.mark.parametrize("short", ["pdk", "models"])
class TestBody:
    def test_namespace_and_lazy_imports(self, fresh, short):
        name, namespace, lazy_calls = MODULES[short]
        out = fresh(
            RECORD_LAZY,
            f"""
            before = set(sys.modules)
            import {name} as mod
            new = sorted(set(sys.modules) - before)
            ns = vars(mod)
            names = [n for n in ns if not (n.startswith("__") and n.endswith("__"))]
            bound = [n for n in names if any(ns[n] is r for r in results)]
            print(json.dumps({{
                "names": names, "calls": calls, "bound": bound,
                "lazy_import": ns["lazy_import"] is recorder,
                "new": [n for n in new if n.split(".")[0] not in sys.stdlib_module_names],
            }}))
            """
        )
        assert out["names"] == namespace
        assert out["calls"] == [[list(c), {}] for c in lazy_calls]
        # each proxy is bound under its name, in call order
        assert len(out["bound"]) == len(lazy_calls)
        assert out["bound"] == [n for n in namespace if n in out["bound"]]
        assert out["lazy_import"]
        # While the body runs only the layout library is touched (for pf.Pdk).
        expected_new = {name} | ({"polyforge"} if short == "pdk" else set())
        assert {n for n in out["new"] if not n.startswith("polyforge.")} == expected_new
        assert not set(out["new"]) & set(SERVICES)

    def test_reimport_gives_the_same_module_without_rerunning_the_body(self, fresh, short):
        name, _, lazy_calls = MODULES[short]
        out = fresh(
            RECORD_LAZY,
            f"""
            import importlib
            import {name} as first
            functions = {{n: f for n, f in vars(first).items() if callable(f)}}
            del sys.modules["{name}"]
            import {name} as second
            again = importlib.import_module("{name}")
            reloaded = importlib.reload(second)
            print(json.dumps({{
                "same": first is second is again is reloaded,
                "functions_kept": all(vars(second)[n] is f for n, f in functions.items()),
                "n_calls": len(calls),
            }}))
            """
        )
        assert out == {"same": True, "functions_kept": True, "n_calls": len(lazy_calls)}

    def test_exec_against_another_module_object_is_refused(self, fresh, short):
        name = MODULES[short][0]
        out = fresh(
            f"""
            import ctypes, json
            import {name} as mod
            api = ctypes.pythonapi
            api.PyModule_New.restype = ctypes.py_object
            api.PyModule_New.argtypes = [ctypes.c_char_p]
            api.PyModule_GetDef.restype = ctypes.c_void_p
            api.PyModule_GetDef.argtypes = [ctypes.py_object]
            api.PyModule_ExecDef.restype = ctypes.c_int
            api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
            other = api.PyModule_New(b"x")
            try:
                api.PyModule_ExecDef(other, api.PyModule_GetDef(mod))
                result = "no error"
            except Exception as exc:
                result = [type(exc).__name__, str(exc)]
            same_def = api.PyModule_GetDef(mod) == api.PyModule_GetDef(__import__("{name}", fromlist=["x"]))
            print(json.dumps({{"result": result, "other_untouched": sorted(vars(other)) == sorted(
                ["__name__", "__doc__", "__package__", "__loader__", "__spec__"]), "same_def": same_def}}))
            """
        )
        assert out["result"] == [
            "RuntimeError",
            f"Module '{short}' has already been imported. Re-initialisation is not supported.",
        ]
        assert out["other_untouched"] and out["same_def"]

    def test_sub_interpreters_are_refused(self, fresh, short):
        name = MODULES[short][0]
        out = fresh(
            f"""
            import json
            import {name}
            import concurrent.interpreters as ci
            import _interpreters
            results = {{}}
            interp = ci.create()
            try:
                interp.exec("import {name}")
                results["isolated"] = "imported"
            except ci.ExecutionFailed as exc:
                results["isolated"] = [exc.excinfo.type.__name__, exc.excinfo.msg]
            finally:
                interp.close()
            legacy = _interpreters.create("legacy")
            try:
                info = _interpreters.run_string(legacy, "import {name}")
                results["legacy"] = [info.type.__name__, info.msg] if info else "imported"
            finally:
                _interpreters.destroy(legacy)
            print(json.dumps(results))
            """
        )
        refused = ["ImportError", "Interpreter change detected - this module can only be loaded into one interpreter per process."]
        assert out == {"isolated": refused, "legacy": refused}

    def test_no_version_warning_on_the_interpreter_it_was_built_for(self, fresh, short):
        assert fresh(f"import {MODULES[short][0]}; print(1)", env={"PYTHONWARNINGS": "error"}) == 1


class TestFailedBody:
    def test_failing_lazy_import_leaves_nothing_initialised(self, fresh):
        out = fresh(
            RECORD_LAZY,
            """
            attempts = []
            def failing(*args, **kwargs):
                if len(calls) == 2 and not attempts:
                    attempts.append(sys.modules["morvane.core.pdk"])
                    raise LookupError("lazy failed")
                return recorder(*args, **kwargs)
            lazy.lazy_import = failing
            try:
                import morvane.core.pdk
                first = "imported"
            except LookupError as exc:
                first = str(exc)
            in_modules = "morvane.core.pdk" in sys.modules
            import morvane.core.pdk as mod
            print(json.dumps({
                "first": first, "in_modules": in_modules, "calls": len(calls),
                "fresh_object": mod is not attempts[0], "complete": hasattr(mod, "_clean_containers_also_in_cells"),
                "partial_has_functions": hasattr(attempts[0], "get_pdk"),
            }))
            """
        )
        assert out == {
            "first": "lazy failed",
            "in_modules": False,
            "calls": 2 + 9,  # two before the failure, then the whole body again
            "fresh_object": True,
            "complete": True,
            "partial_has_functions": False,
        }

    def test_unimportable_lazy_module_then_retry(self, fresh):
        out = fresh(
            """
            import json, sys
            sys.modules["morvane.core.lazy"] = None
            try:
                import morvane.core.models
                first = "imported"
            except ImportError as exc:
                first = type(exc).__name__
            in_modules = "morvane.core.models" in sys.modules
            del sys.modules["morvane.core.lazy"]
            import morvane.core.models as mod
            del sys.modules["morvane.core.models"]
            import morvane.core.models as again
            print(json.dumps({"first": first, "in_modules": in_modules,
                              "functions": callable(mod._error_model), "same": mod is again}))
            """
        )
        assert out == {"first": "ModuleNotFoundError", "in_modules": False, "functions": True, "same": True}

    def test_base_class_that_is_not_a_class(self, fresh):
        out = fresh(
            """
            import json, sys
            import polyforge
            real = polyforge.Pdk
            polyforge.Pdk = "not a class"
            try:
                import morvane.core.pdk
                first = "imported"
            except TypeError as exc:
                first = "TypeError"
            polyforge.Pdk = real
            import morvane.core.pdk as mod
            print(json.dumps({"first": first, "base": mod.FrozenPdk.__mro__[1] is real}))
            """
        )
        assert out == {"first": "TypeError", "base": True}


class TestPdkClassAndCaches:
    def test_frozen_pdk_is_made_by_the_metaclass_of_pf_pdk(self, fresh):
        out = fresh(
            """
            import json
            import polyforge
            seen = []
            class Meta(type):
                @classmethod
                def __prepare__(mcls, name, bases, **kw):
                    seen.append(["prepare", name, [b.__name__ for b in bases]])
                    return {}
                def __new__(mcls, name, bases, ns, **kw):
                    seen.append(["new", name, list(ns), {k: v for k, v in ns.items() if isinstance(v, str)}])
                    return super().__new__(mcls, name, bases, ns)
            class Pdk(polyforge.Pdk, metaclass=Meta):
                pass
            polyforge.Pdk = Pdk
            import morvane.core.pdk as mod
            cls = mod.FrozenPdk
            print(json.dumps({"seen": seen[-2:], "meta": type(cls) is Meta,
                              "mro": [c.__qualname__ for c in cls.__mro__],
                              "methods": [vars(cls)[n].__qualname__ for n in ("__setattr__", "__delattr__")]}))
            """
        )
        assert out["seen"] == [
            ["prepare", "FrozenPdk", ["Pdk"]],
            [
                "new",
                "FrozenPdk",
                ["__module__", "__qualname__", "__doc__", "__setattr__", "__delattr__"],
                {"__module__": "morvane.core.pdk", "__qualname__": "FrozenPdk", "__doc__": FROZEN_DOC},
            ],
        ]
        assert out["meta"]
        assert out["mro"] == ["FrozenPdk", "Pdk", "Pdk", "object"]
        assert out["methods"] == ["FrozenPdk.__setattr__", "FrozenPdk.__delattr__"]

    def test_frozen_pdk_namespace(self, pdk):
        import polyforge

        cls = pdk.FrozenPdk
        assert cls.__mro__[:2] == (cls, polyforge.Pdk)
        assert type(cls) is type(polyforge.Pdk)
        assert list(vars(cls)) == ["__module__", "__doc__", "__setattr__", "__delattr__"]
        assert (cls.__module__, cls.__qualname__, cls.__name__) == ("morvane.core.pdk", "FrozenPdk", "FrozenPdk")

    def test_cache_is_read_from_the_namespace_at_decoration(self, fresh):
        out = fresh(
            """
            import functools, json, sys
            decorated = []
            real_cache = functools.cache
            def cache(f):
                if f.__module__ == "morvane.core.pdk":
                    # as for a decorator: the name is not bound before the wrapper
                    bound_before = f.__name__ in vars(sys.modules["morvane.core.pdk"])
                    decorated.append([f.__qualname__, bound_before])
                wrapper = real_cache(f)
                wrapper.marked = True
                return wrapper
            functools.cache = cache
            import morvane.core.pdk as mod
            print(json.dumps({"decorated": decorated,
                              "bound": [getattr(getattr(mod, n), "marked", False) for n in ("get_base_pdk", "_get_pdk")],
                              "namespace_cache": mod.cache is cache}))
            """
        )
        assert out == {
            "decorated": [["get_base_pdk", False], ["_get_pdk", False]],
            "bound": [True, True],
            "namespace_cache": True,
        }


# A finder that serves an empty stand-in for every module in `targets` and
# records the order in which they are imported.
FAKE_IMPORTS = """
import importlib.abc, importlib.util, json, sys, typing
order = []
class Fakes(importlib.abc.MetaPathFinder, importlib.abc.Loader):
    def find_spec(self, name, path=None, target=None):
        return importlib.util.spec_from_loader(name, self) if name in targets else None
    def create_module(self, spec):
        return None
    def exec_module(self, module):
        order.append(module.__name__)
        for attr in targets[module.__name__]:
            setattr(module, attr, type(attr, (), {}))
sys.meta_path.insert(0, Fakes())
typing.TYPE_CHECKING = True
"""


class TestTypeCheckingBranch:
    def test_pdk_imports_directly_in_order(self, fresh):
        targets = {name: [] for name in PDK_DIRECT_IMPORTS}
        targets.update({"polyforge": ["Pdk"], "frozendict": ["frozendict"], "morvane.core.models": ["register_models"],
                        "morvane.logger": ["get_logger"]})  # fmt: skip
        out = fresh(
            f"targets = {targets!r}\n",
            FAKE_IMPORTS,
            textwrap.dedent(
                """
                import morvane.core.pdk as mod
                ns = vars(mod)
                print(json.dumps({"order": order, "lazy_import": "lazy_import" in ns,
                    "lazy_module": "morvane.core.lazy" in sys.modules,
                    "bindings": {n: ns[n] is v for n, v in [
                        ("pf", sys.modules["polyforge"]), ("frozendict", sys.modules["frozendict"].frozendict),
                        ("cg", sys.modules["morvane.core.callgraph"]), ("db", sys.modules["morvane.core.database"]),
                        ("m", sys.modules["morvane.models"]), ("settings", sys.modules["morvane.settings"]),
                        ("imports", sys.modules["morvane.core.imports"]),
                        ("register_models", sys.modules["morvane.core.models"].register_models),
                        ("log", sys.modules["morvane.logger"].get_logger)]},
                    "base": mod.FrozenPdk.__mro__[1] is sys.modules["polyforge"].Pdk,
                    "names": [n for n in ns if not n.startswith("__")]}))
                """
            )
        )
        assert out["order"] == PDK_DIRECT_IMPORTS
        assert not out["lazy_import"] and not out["lazy_module"]
        assert all(out["bindings"].values()), out["bindings"]
        assert out["base"]
        collaborators = ["pf", "frozendict", "cg", "db", "m", "settings", "imports", "register_models", "log"]
        assert out["names"] == PDK_NAMESPACE[:14] + collaborators + PDK_NAMESPACE[-13:]

    def test_models_imports_directly_in_order(self, fresh):
        targets = {name: [] for name in MODELS_DIRECT_IMPORTS}
        targets.update({"natsort": ["natsorted"], "morvane.core.pdk": ["get_base_pdk", "get_pdk"],
                        "morvane.morvane": ["generate_call_graph"], "morvane.logger": ["get_logger"],
                        "morvane.settings": ["get_project_dir", "get_project_name"]})  # fmt: skip
        out = fresh(
            f"targets = {targets!r}\n",
            FAKE_IMPORTS,
            textwrap.dedent(
                """
                import morvane.core.models as mod
                ns = vars(mod)
                m = sys.modules
                print(json.dumps({"order": order, "lazy_import": "lazy_import" in ns,
                    "bindings": {n: ns[n] is v for n, v in [
                        ("nx", m["networkx"]), ("sax", m["sax"]), ("natsorted", m["natsort"].natsorted),
                        ("ccg", m["morvane.core.callgraph"]), ("db", m["morvane.core.database"]),
                        ("m", m["morvane.models"]), ("imports", m["morvane.core.imports"]),
                        ("get_base_pdk", m["morvane.core.pdk"].get_base_pdk), ("get_pdk", m["morvane.core.pdk"].get_pdk),
                        ("generate_call_graph", m["morvane.morvane"].generate_call_graph),
                        ("log", m["morvane.logger"].get_logger),
                        ("get_project_dir", m["morvane.settings"].get_project_dir),
                        ("get_project_name", m["morvane.settings"].get_project_name)]},
                    "names": [n for n in ns if not n.startswith("__")]}))
                """
            )
        )
        assert out["order"] == MODELS_DIRECT_IMPORTS
        assert not out["lazy_import"]
        assert all(out["bindings"].values()), out["bindings"]
        collaborators = ["nx", "sax", "natsorted", "ccg", "db", "m", "imports", "get_base_pdk", "get_pdk",
                         "generate_call_graph", "log", "get_project_dir", "get_project_name"]  # fmt: skip
        assert out["names"] == MODELS_NAMESPACE[:8] + collaborators + MODELS_NAMESPACE[-6:]

    def test_real_modules_with_the_other_module_loaded_first(self, fresh, tmp_path):
        # Each module's direct branch needs the other's functions, so the other
        # is imported normally first; sax is not installed here: a stand-in.
        (tmp_path / "sax").mkdir()
        (tmp_path / "sax" / "__init__.py").write_text("SDict = dict\n")
        out = fresh(
            f"""
            import json, sys, typing
            sys.path.insert(0, {str(tmp_path)!r})
            import morvane.core.pdk as pdk
            typing.TYPE_CHECKING = True
            import morvane.core.models as models
            import networkx, natsort, sax, morvane.logger, morvane.settings
            print(json.dumps([
                models.nx is networkx, models.sax is sax, models.natsorted is natsort.natsorted,
                models.get_pdk is pdk.get_pdk, models.get_base_pdk is pdk.get_base_pdk,
                models.log is morvane.logger.get_logger, models.get_project_dir is morvane.settings.get_project_dir,
                "lazy_import" not in vars(models)]))
            """
        )
        assert out == [True] * 8
        out = fresh(
            """
            import json, sys, typing
            import morvane.core.models as models
            typing.TYPE_CHECKING = True
            import morvane.core.pdk as pdk
            import polyforge, frozendict, morvane.settings, morvane.core.database
            print(json.dumps([
                pdk.pf is polyforge, pdk.frozendict is frozendict.frozendict, pdk.register_models is models.register_models,
                pdk.settings is morvane.settings, pdk.db is morvane.core.database,
                pdk.FrozenPdk.__mro__[1] is polyforge.Pdk, "lazy_import" not in vars(pdk)]))
            """
        )
        assert out == [True] * 7

