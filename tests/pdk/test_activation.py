"""Resolving and activating the project PDK, the deprecated entry, and the
frozen base PDK."""

from __future__ import annotations

import types
import warnings

import pytest
from frozendict import frozendict

import polyforge as pf
from doubles import Namespace

from .conftest import FakePdk


@pytest.fixture
def resolver(pdk, calls, substitute):
    """_get_pdk's collaborators replaced: settings give `name`, importlib
    logs and returns modules from `available`, sys.modules is `loaded`."""

    def make(name: str, available: dict, loaded: dict):
        def import_module(mod_name):
            calls.append(("import_module", (mod_name,), {}))
            return available[mod_name]

        def reload(module):
            calls.append(("reload", (module.__name__,), {}))
            return module

        substitute(
            settings=Namespace(get_pdk_name=calls.double("get_pdk_name", name), is_a_pdk=lambda: False),
            importlib=Namespace(import_module=import_module, reload=reload),
            sys=Namespace(modules=loaded),
        )

    return make


def module(name: str, **attrs) -> types.ModuleType:
    mod = types.ModuleType(name)
    mod.__dict__.update(attrs)
    return mod


class TestResolution:
    @pytest.mark.parametrize(
        ("configured", "lib"), [("GPDK", "polyforge.gpdk"), ("Generic", "polyforge.generic_tech")]
    )
    def test_generic_names_in_any_case_build_through_the_undecorated_factory(
        self, pdk, calls, resolver, configured, lib
    ):
        built = FakePdk("generic")
        cached = FakePdk("from the library's cache")
        factory = lambda: cached  # noqa: E731
        factory.__wrapped__ = lambda: built
        resolver(configured, {lib: module(lib, get_generic_pdk=factory)}, {})
        assert pdk._get_pdk.__wrapped__() is built
        assert calls.names() == ["get_pdk_name", "import_module"]
        assert calls.of("import_module") == [((lib,), {})]

    def test_generic_module_already_loaded_is_reloaded(self, pdk, calls, resolver):
        factory = lambda: None  # noqa: E731
        factory.__wrapped__ = FakePdk
        tech = module("polyforge.generic_tech", get_generic_pdk=factory)
        resolver("generic", {"polyforge.generic_tech": tech}, {"polyforge.generic_tech": tech})
        pdk._get_pdk.__wrapped__()
        assert calls.names() == ["get_pdk_name", "import_module", "reload"]

    def test_package_imported_first_time_needs_its_own_PDK(self, pdk, calls, resolver):
        """The pdk submodule counts only on the reload path."""
        resolver("mypdk", {"mypdk": module("mypdk")}, {"mypdk.pdk": module("mypdk.pdk", PDK=1)})
        with pytest.raises(ImportError) as info:
            pdk._get_pdk.__wrapped__()
        assert str(info.value) == "Module 'mypdk' does not expose a PDK in its __init__.py."
        assert calls.names() == ["get_pdk_name", "import_module"]

    def test_loaded_package_reloads_package_then_submodule_and_prefers_its_PDK(self, pdk, calls, resolver):
        package, sub = module("mypdk", PDK="package"), module("mypdk.pdk", PDK="submodule")
        resolver("mypdk", {"mypdk": package}, {"mypdk": package, "mypdk.pdk": sub})
        assert pdk._get_pdk.__wrapped__() == "submodule"
        assert [c[1] for c in calls] == [(), ("mypdk",), ("mypdk",), ("mypdk.pdk",)]

    def test_loaded_package_whose_PDK_lives_only_in_the_submodule(self, pdk, resolver):
        package, sub = module("mypdk"), module("mypdk.pdk", PDK="submodule")
        resolver("mypdk", {"mypdk": package}, {"mypdk": package, "mypdk.pdk": sub})
        assert pdk._get_pdk.__wrapped__() == "submodule"

    def test_loaded_package_without_submodule_returns_its_PDK(self, pdk, resolver):
        package = module("mypdk", PDK="package")
        resolver("mypdk", {"mypdk": package}, {"mypdk": package})
        assert pdk._get_pdk.__wrapped__() == "package"

    def test_failure_is_not_cached(self, pdk, calls, resolver):
        resolver("mypdk", {"mypdk": module("mypdk")}, {})
        for _ in range(2):
            with pytest.raises(ImportError):
                pdk._get_pdk()
        assert calls.names().count("get_pdk_name") == 2

    def test_configured_name_that_is_no_string(self, pdk, substitute):
        substitute(settings=Namespace(get_pdk_name=lambda: 42))
        with pytest.raises(AttributeError):
            pdk._get_pdk.__wrapped__()


class TestGetPdk:
    def test_base_pdk_first_then_activation_on_every_call(self, pdk, calls, fake_log, substitute):
        project = FakePdk("proj")
        substitute(get_base_pdk=calls.double("get_base_pdk"), _get_pdk=calls.double("_get_pdk", project))
        assert pdk.get_pdk() is project
        assert pdk.get_pdk() is project
        assert project.activations == 2
        assert calls.names() == ["get_base_pdk", "_get_pdk", "log", "log.debug"] * 2
        assert calls.lines() == [("debug", "Activated PDK: proj")] * 2

    def test_logger_is_made_before_the_message(self, pdk, calls, fake_log, substitute):
        class Nameless:
            def activate(self):
                pass

            @property
            def name(self):
                raise LookupError("no name")

        substitute(get_base_pdk=lambda: None, _get_pdk=lambda: Nameless())
        with pytest.raises(LookupError):
            pdk.get_pdk()
        assert calls.names() == ["log"]

    @pytest.mark.parametrize(
        ("name", "tail"),
        [
            ("generic", ""),
            ("other", "The given 'name' argument 'other' will be ignored. Using 'generic' instead "
                      "(as configured in 'pyproject.toml')."),
        ],
    )
    def test_activate_pdk_by_name_warns_and_returns_get_pdk(self, pdk, calls, substitute, name, tail):
        result = object()
        substitute(settings=Namespace(get_pdk_name=lambda: "generic"),
                   warnings=Namespace(warn=calls.double("warn")), get_pdk=calls.double("get_pdk", result))
        assert pdk.activate_pdk_by_name(name) is result
        message = "activate_pdk_by_name is deprecated, use get_pdk() instead. " + tail
        assert calls == [("warn", (message, DeprecationWarning), {"stacklevel": 2}), ("get_pdk", (), {})]

    def test_deprecation_is_attributed_to_the_caller(self, pdk, substitute):
        substitute(settings=Namespace(get_pdk_name=lambda: "generic"), get_pdk=lambda: None)
        with pytest.warns(DeprecationWarning) as record:
            pdk.activate_pdk_by_name("generic")
        assert record[0].filename == __file__

    def test_activate_pdk_by_name_as_error_stops_before_get_pdk(self, pdk, calls, substitute):
        substitute(settings=Namespace(get_pdk_name=lambda: "generic"), get_pdk=calls.double("get_pdk"))
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            with pytest.raises(DeprecationWarning):
                pdk.activate_pdk_by_name("generic")
        assert calls == []

    def test_activate_pdk_by_name_rejects_str_subclass_before_anything(self, pdk, calls, substitute):
        substitute(settings=Namespace(get_pdk_name=calls.double("get_pdk_name")))
        with pytest.raises(TypeError, match="Argument 'name' has incorrect type"):
            pdk.activate_pdk_by_name(type("S", (str,), {})("x"))
        assert calls == []


class TestBasePdk:
    @pytest.fixture
    def two_pdks(self, pdk, substitute, fake_log):
        """A project PDK (cached) and a second resolution of it."""
        project = pf.Pdk(name="proj", cells={"a": len}, models={})
        second = pf.Pdk(name="second", cells={"a": len}, models={})
        second.layers = [{"nested": []}, 2]
        plain = lambda: second  # noqa: E731
        cached = lambda: project  # noqa: E731
        cached.__wrapped__ = plain
        substitute(_get_pdk=cached, settings=Namespace(is_a_pdk=lambda: False))
        return project, second

    def test_second_resolution_is_frozen_one_level_deep(self, pdk, two_pdks, calls):
        project, second = two_pdks
        base = pdk.get_base_pdk()
        assert base is second and type(base) is pdk.FrozenPdk and isinstance(base, pf.Pdk)
        assert isinstance(base.cells, frozendict)
        assert base.layers == ({"nested": []}, 2) and isinstance(base.layers[0], dict)
        assert calls.lines() == [("debug", "Froze base PDK: second")]
        assert type(project) is pf.Pdk and isinstance(project.cells, dict)

    def test_cached_after_the_first_call(self, pdk, two_pdks, calls):
        assert pdk.get_base_pdk() is pdk.get_base_pdk()
        assert calls.names().count("log") == 1

    @pytest.mark.parametrize("change", [
        lambda p: setattr(p, "name", "x"), lambda p: setattr(p, "new", 1),
        lambda p: delattr(p, "name"), lambda p: delattr(p, "missing"),
    ])
    def test_frozen_pdk_refuses_every_change(self, pdk, two_pdks, change):
        base = pdk.get_base_pdk()
        with pytest.raises(AttributeError, match=r"^Frozen PDK cannot be modified\.$"):
            change(base)
        assert base.name == "second"

    def test_frozen_methods_check_the_name_type(self, pdk, two_pdks):
        base = pdk.get_base_pdk()
        with pytest.raises(TypeError, match="Argument 'name' has incorrect type"):
            pdk.FrozenPdk.__setattr__(base, 1, 2)

    def test_same_object_twice_freezes_a_copy(self, pdk, substitute, fake_log):
        project = pf.Pdk(name="proj", cells={"a": len})
        cached = lambda: project  # noqa: E731
        cached.__wrapped__ = cached
        substitute(_get_pdk=cached, settings=Namespace(is_a_pdk=lambda: False))
        base = pdk.get_base_pdk()
        assert base is not project and type(base) is pdk.FrozenPdk
        assert type(project) is pf.Pdk and type(project.cells) is dict
        project.cells["b"] = len
        assert "b" not in base.cells

    def test_project_that_is_a_pdk_is_its_own_base(self, pdk, substitute, calls):
        project = FakePdk()
        substitute(_get_pdk=lambda: project, settings=Namespace(is_a_pdk=lambda: 1), log=calls.double("log"))
        assert pdk.get_base_pdk() is project
        assert project.activations == 0 and calls == []

    def test_failed_freeze_is_not_cached(self, pdk, two_pdks, substitute):
        substitute(frozendict=lambda v: 1 / 0)
        with pytest.raises(ZeroDivisionError):
            pdk.get_base_pdk()
        substitute(frozendict=frozendict)
        assert type(pdk.get_base_pdk()) is pdk.FrozenPdk


def test_real_generic_pdk_end_to_end(pdk, project):
    active = pdk.get_pdk()
    base = pdk.get_base_pdk()
    assert pf.get_active_pdk() is active is pdk.get_pdk()
    assert type(base) is pdk.FrozenPdk and base is not active
    assert set(base.cells) == set(active.cells)
