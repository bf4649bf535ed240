"""Argument binding: the same errors as a Python function with the same parameters,
and the exact-type rule of typed parameters."""

from __future__ import annotations

import inspect
import types

import pytest

import polyforge

from .conftest import ALL_FUNCTIONS, native_function, parse_signature_line, reference_def, run_fresh
from .texts import MODELS_FUNCTIONS, PDK_FUNCTIONS, TYPED

LINES = {**PDK_FUNCTIONS, **MODELS_FUNCTIONS}
ARG = object()


def call_patterns(line: str):
    """Argument lists that exercise every binding rule of a signature line."""
    _, params, _ = parse_signature_line(line)
    names = [p.name for p in params if p.kind not in (p.kind.VAR_POSITIONAL, p.kind.VAR_KEYWORD)]
    n_positional = sum(p.kind in (p.kind.POSITIONAL_ONLY, p.kind.POSITIONAL_OR_KEYWORD) for p in params)
    for n in range(n_positional + 3):
        yield (ARG,) * n, {}
        for name in names:
            yield (ARG,) * n, {name: ARG}
        yield (ARG,) * n, dict.fromkeys(names, ARG)
    for name in names:
        yield (), {name[:-1]: ARG}  # a near miss: the interpreter suggests the name
        yield (), {name + "_x": ARG, name: ARG}
        yield (), {name: ARG, "zzz": ARG}
        yield (), {"zzz": ARG, name: ARG}
    yield (), {"zzz": ARG}


def binding_error(func, args, kwargs):
    try:
        func(*args, **kwargs)
    except TypeError as exc:
        return str(exc)
    return None


class TestArgumentErrors:
    @pytest.mark.parametrize("qualname", ALL_FUNCTIONS)
    def test_errors_read_as_for_python_functions(self, qualname):
        line = LINES[qualname][0]
        reference = reference_def(line)
        native = native_function(qualname)
        compared = 0
        for args, kwargs in call_patterns(line):
            expected = binding_error(reference, args, kwargs)
            if expected is None:
                continue  # a valid call: binding lets it through to the body
            assert binding_error(native, args, kwargs) == expected, (args, kwargs)
            compared += 1
        assert compared > 0

    def test_errors_through_a_bound_method(self, pdk):
        frozen = polyforge.Pdk("p")
        frozen.__class__ = pdk.FrozenPdk
        for qualname in ("FrozenPdk.__setattr__", "FrozenPdk.__delattr__"):
            reference = types.MethodType(reference_def(LINES[qualname][0]), frozen)
            native = getattr(frozen, qualname.split(".")[1])
            for args, kwargs in [((), {}), ((1, 2, 3), {}), ((), {"self": 1}), (("a",), {"name": "b"})]:
                assert binding_error(native, args, kwargs) == binding_error(reference, args, kwargs)

    def test_errors_use_the_current_qualified_name(self, pdk):
        reference = reference_def("activate_pdk_by_name(name)")
        reference.__qualname__ = "renamed.cell"
        native = pdk.activate_pdk_by_name
        old = native.__qualname__
        native.__qualname__ = "renamed.cell"
        try:
            assert binding_error(native, (), {}) == binding_error(reference, (), {})
            assert binding_error(native, (), {}).startswith("renamed.cell() missing")
        finally:
            native.__qualname__ = old

    def test_variadic_function_accepts_anything(self, pdk):
        cell = pdk._error_cell("cell", "mod", ValueError("boom"))
        for args, kwargs in [((), {}), ((1, 2), {"a": 3}), ((), {"funcname": 1, "x": 2})]:
            with pytest.raises(ValueError, match="boom"):
                cell(*args, **kwargs)

    def test_keyword_names_must_be_strings(self, pdk):
        with pytest.raises(TypeError, match="keywords must be strings"):
            pdk.get_pdk(**{1: 2})


def typed_call(qualname: str, target: str, value):
    """Arguments for qualname that satisfy every typed parameter except target."""
    _, params, _ = parse_signature_line(LINES[qualname][0])
    fill = {"str": "x", "dict": {}, "list": []}
    args, kwargs = [], {}
    for p in params:
        if p.name == "self":
            continue
        v = value if p.name == target else fill.get(p.prefix, ARG) if p.prefix != "bool" else True
        if p.kind == inspect.Parameter.KEYWORD_ONLY:
            kwargs[p.name] = v
        elif p.kind in (inspect.Parameter.POSITIONAL_ONLY, inspect.Parameter.POSITIONAL_OR_KEYWORD):
            args.append(v)
    return args, kwargs


def call_native(qualname, args, kwargs):
    f = native_function(qualname)
    if qualname.startswith("FrozenPdk."):
        args = [ARG, *args]  # self
    return f(*args, **kwargs)


class StrSub(str):
    pass


class DictSub(dict):
    pass


class ListSub(list):
    pass


SUBCLASS = {str: StrSub, dict: DictSub, list: ListSub}


class TestTypedParameters:
    @pytest.mark.parametrize(("qualname", "param"), sorted(TYPED))
    def test_other_type_is_refused(self, qualname, param):
        expected_type, _ = TYPED[(qualname, param)]
        wrong = 42 if expected_type is not str else b"bytes"
        args, kwargs = typed_call(qualname, param, wrong)
        with pytest.raises(TypeError) as info:
            call_native(qualname, args, kwargs)
        assert str(info.value) == (
            f"Argument '{param}' has incorrect type (expected {expected_type.__name__}, got {type(wrong).__name__})"
        )
        assert not getattr(info.value, "__notes__", None)

    @pytest.mark.parametrize(("qualname", "param"), sorted(k for k, v in TYPED.items() if not v[1]))
    def test_none_is_refused(self, qualname, param):
        expected_type, _ = TYPED[(qualname, param)]
        args, kwargs = typed_call(qualname, param, None)
        with pytest.raises(TypeError) as info:
            call_native(qualname, args, kwargs)
        assert str(info.value) == (
            f"Argument '{param}' has incorrect type (expected {expected_type.__name__}, got NoneType)"
        )

    @pytest.mark.parametrize(("qualname", "param"), sorted(TYPED))
    def test_subclass_is_refused_with_a_note(self, qualname, param):
        expected_type, _ = TYPED[(qualname, param)]
        args, kwargs = typed_call(qualname, param, SUBCLASS[expected_type]())
        with pytest.raises(TypeError) as info:
            call_native(qualname, args, kwargs)
        sub = SUBCLASS[expected_type].__name__
        assert str(info.value) == (
            f"Argument '{param}' has incorrect type (expected {expected_type.__name__}, got {sub})"
        )
        (note,) = info.value.__notes__
        assert "subclass" in note and sub in note and expected_type.__name__ in note

    def test_first_bad_parameter_is_reported(self, pdk):
        with pytest.raises(TypeError, match="Argument 'static_records'"):
            pdk._get_database_updates(1, 2, 3)
        with pytest.raises(TypeError, match="Argument 'paths'"):
            pdk._get_database_updates({}, {}, ())

    def test_exact_types_and_untyped_parameters_reach_the_body(self):
        # In a fresh interpreter whose module globals are all gone, a body fails
        # with NameError on its first collaborator: reaching it proves that
        # binding let the arguments through.
        result = run_fresh(
            """
            import json
            import morvane.core.pdk as pdk, morvane.core.models as models
            calls = {
                "find_models(None)": (models.find_models, (None,), {}),
                "find_models()": (models.find_models, (), {}),
                "find_models({})": (models.find_models, ({},), {}),
                "register_models(object(), reload='yes')": (models.register_models, (object(),), {"reload": "yes"}),
                "register_cells(paths=set(), reload=None)": (pdk.register_cells, (), {"paths": set(), "reload": None}),
                "activate_pdk_by_name('x')": (pdk.activate_pdk_by_name, ("x",), {}),
            }
            for module in (pdk, models):
                for name in [n for n in vars(module) if not n.startswith("__")]:
                    delattr(module, name)
            out = {}
            for text, (f, args, kwargs) in calls.items():
                try:
                    f(*args, **kwargs)
                    out[text] = "returned"
                except Exception as exc:
                    out[text] = type(exc).__name__
            print(json.dumps(out))
            """
        )
        assert result == dict.fromkeys(result, "NameError") and len(result) == 6
