"""_is_model, _funcname and _create_record: which call-graph records are
models, the names of callables through partials, and the records of models
that the PDK registers."""

from __future__ import annotations

import copy
from functools import partial

import pytest


def record(name: str = "mzi", annotation: object = "sax.SDict", **extra):
    return {"name": name, "resolved_return_annotation": annotation, **extra}


class TestIsModel:
    @pytest.mark.parametrize("annotation", [
        "sax.SDict", "sax.SType", "sax.SDense", "sax.SCoo", "sdict", "SDict | None",
        "'sax.SType'", "typing.Optional[sax.SCoo]", "my.STypeish",
    ])
    def test_sparameter_annotations_in_any_case_and_place(self, mm, annotation):
        assert mm._is_model(record(annotation=annotation)) is True

    @pytest.mark.parametrize("annotation", [
        "dict[str, sax.SDict]", "Dict[Str, sax.SType]", "DICT[STR, SCOO]", "pf.Component", "", "None", 42,
    ])
    def test_plain_dict_results_and_other_annotations_are_not(self, mm, annotation):
        assert mm._is_model(record(annotation=annotation)) is False

    @pytest.mark.parametrize("name", ["get_models", "_private", "__dunder__"])
    def test_helpers_and_private_functions_are_never_models(self, mm, name):
        assert mm._is_model(record(name=name, annotation="sax.SType")) is False

    def test_annotation_is_converted_with_str(self, mm):
        class Annotation:
            def __str__(self):
                return "sax.SDense"

        assert mm._is_model(record(annotation=Annotation())) is True

    def test_missing_annotation_fails_before_the_name_is_read(self, mm):
        with pytest.raises(KeyError, match="resolved_return_annotation"):
            mm._is_model({})
        with pytest.raises(KeyError, match="name"):
            mm._is_model({"resolved_return_annotation": "sax.SType"})

    def test_name_is_read_twice_and_needs_startswith(self, mm):
        reads = []

        class Name:
            def __eq__(self, other):
                reads.append("eq")
                return False

            __hash__ = None

            def startswith(self, prefix):
                reads.append(("startswith", prefix))
                return False

        assert mm._is_model(record(name=Name())) is True
        assert reads == ["eq", ("startswith", "_")]
        with pytest.raises(AttributeError):
            mm._is_model(record(name=7))

    @pytest.mark.parametrize("bad", [None, [], "record", type("D", (dict,), {})()])
    def test_record_must_be_an_exact_dict(self, mm, bad):
        with pytest.raises(TypeError, match="Argument 'record' has incorrect type"):
            mm._is_model(bad)


def straight(length=10.0, wl=1.55):
    return {}


class TestFuncname:
    def test_plain_partial_and_nested_partial(self, mm):
        assert mm._funcname(straight) == "straight"
        assert mm._funcname(partial(straight, length=3)) == "straight"
        inner = partial(straight, wl=1.3)
        inner.keep = True  # not flattened into the outer layer
        assert mm._funcname(partial(partial(inner), 2.0)) == "straight"

    def test_objects_without_a_name(self, mm):
        assert mm._funcname(object()) is None
        assert mm._funcname(partial(print.__call__)) == "__call__"
        assert mm._funcname(42) is None

    @pytest.mark.parametrize("value,type_name", [(3, "int"), (b"x", "bytes"), (type("S", (str,), {})("s"), "S")])
    def test_a_name_that_is_not_exactly_str_is_refused(self, mm, value, type_name):
        holder = type("Holder", (), {"__name__": value, "__call__": lambda self: None})()
        with pytest.raises(TypeError, match=f"^Expected str, got {type_name}$"):
            mm._funcname(holder)
        with pytest.raises(TypeError, match=f"^Expected str, got {type_name}$"):
            mm._funcname(partial(holder))

    def test_partials_are_unwrapped_through_the_module_global(self, mm, calls, substitute):
        real = mm._funcname
        substitute(_funcname=calls.double("_funcname", "inner"), partial=partial)
        assert real(partial(straight, 1)) == "inner"
        assert calls == [("_funcname", (straight,), {})]
        # What counts as a partial is the module's `partial`, looked up at call time.
        substitute(partial=int)
        assert real(partial(straight, 1)) is None  # a partial has no __name__
        # The inner layer's answer is held to the same result type.
        substitute(partial=partial, _funcname=lambda func: 5)
        with pytest.raises(TypeError, match="^Expected str, got int$"):
            real(partial(straight, 1))

    def test_endless_nesting_is_a_recursion_error_not_a_crash(self, mm):
        class Loop:
            __class__ = property(lambda self: partial)  # claims to be a partial
            func = property(lambda self: self)

        with pytest.raises(RecursionError):
            mm._funcname(Loop())
        deep = straight
        for _ in range(200_000):
            deep = partial(deep)
            deep.keep = True
        with pytest.raises(RecursionError):
            mm._funcname(deep)

    def test_errors_other_than_attribute_error_propagate(self, mm):
        class Loud:
            @property
            def __name__(self):
                raise ValueError("no")

        with pytest.raises(ValueError, match="no"):
            mm._funcname(Loud())


class TestCreateRecord:
    def make(self):
        return {"straight": record("straight", module="lib", parameter_defaults={"length": 10.0, "wl": 1.55})}

    def test_partial_keywords_fold_into_a_copy(self, mm):
        model_records = self.make()
        before = copy.deepcopy(model_records)
        result = mm._create_record(model_records, partial(straight, 5.0, length=3.0, extra="x"))
        assert result["parameter_defaults"] == {"length": 3.0, "wl": 1.55, "extra": "x"}
        assert result is not model_records["straight"]
        assert model_records == before

    def test_only_the_outermost_partial_counts(self, mm):
        inner = partial(straight, wl=9.9)
        inner.keep = True  # an instance dict keeps functools from flattening the layers
        outer = partial(inner, length=1.0)
        assert outer.func is inner
        result = mm._create_record(self.make(), outer)
        assert result["parameter_defaults"] == {"length": 1.0, "wl": 1.55}

    def test_plain_function_gives_an_unchanged_copy(self, mm):
        model_records = self.make()
        result = mm._create_record(model_records, straight)
        assert result == model_records["straight"] and result is not model_records["straight"]

    def test_unknown_or_unnamed_functions_give_none(self, mm):
        def bend():
            pass

        assert mm._create_record(self.make(), bend) is None
        assert mm._create_record(self.make(), object()) is None
        assert mm._create_record({}, partial(straight, length=1)) is None

    def test_defaults_are_needed_only_for_keywords(self, mm):
        model_records = {"straight": record("straight")}
        assert mm._create_record(model_records, straight) == record("straight")
        with pytest.raises(KeyError, match="parameter_defaults"):
            mm._create_record(model_records, partial(straight, length=1))

    def test_calls_funcname_deepcopy_and_partial_through_the_globals(self, mm, calls, substitute):
        copied = {"parameter_defaults": {}}
        substitute(_funcname=calls.double("_funcname", "straight"),
                   deepcopy=calls.double("deepcopy", copied))
        func = partial(straight, length=2)
        result = mm._create_record(self.make(), func)
        assert result is copied and copied == {"parameter_defaults": {"length": 2}}
        assert calls.names() == ["_funcname", "deepcopy"]
        assert calls[0][1] == (func,)
        assert calls[1][1] == (self.make()["straight"],)

    @pytest.mark.parametrize("copy_result,type_name", [([], "list"), ("x", "str"), (type("D", (dict,), {})(), "D")])
    def test_result_must_be_a_dict_or_none(self, mm, substitute, copy_result, type_name):
        substitute(deepcopy=lambda value: copy_result)
        with pytest.raises(TypeError, match=f"^Expected dict, got {type_name}$"):
            mm._create_record(self.make(), straight)

    @pytest.mark.parametrize("bad", [None, [], type("D", (dict,), {})()])
    def test_model_records_must_be_an_exact_dict(self, mm, bad):
        with pytest.raises(TypeError, match="Argument 'model_records' has incorrect type"):
            mm._create_record(bad, straight)
