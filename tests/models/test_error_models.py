"""Placeholder models: made by _error_model for a model whose source failed
to import, they raise that import error wherever the model is evaluated."""

from __future__ import annotations

import inspect

import pytest

from doubles import assert_error_function_header


class TestPlaceholder:
    def test_names_module_annotations_and_doc(self, mm):
        func = mm._error_model("mzi", "proj.circuits", ImportError("boom"))
        assert_error_function_header(func, "mzi", "proj.circuits", returns="sax.SType")
        params = inspect.signature(func).parameters
        assert [(p.name, p.kind) for p in params.values()] == [
            ("args", inspect.Parameter.VAR_POSITIONAL), ("kwargs", inspect.Parameter.VAR_KEYWORD)]
        assert callable(func) and type(func) is type(mm._error_model)

    def test_a_new_function_per_call(self, mm):
        error = ImportError("x")
        assert mm._error_model("a", "m", error) is not mm._error_model("a", "m", error)

    def test_an_instance_is_raised_itself_on_every_call(self, mm):
        error = ImportError("no module named foo")
        func = mm._error_model("mzi", "proj", error)
        raised = []
        for args, kwargs in [((), {}), ((1, 2), {"wl": 1.55}), ((None,), {"x": object()})]:
            with pytest.raises(ImportError) as info:
                func(*args, **kwargs)
            raised.append(info.value)
        assert all(e is error for e in raised)

    def test_a_message_becomes_one_runtime_error(self, mm):
        func = mm._error_model("mzi", "proj", "SyntaxError: bad")
        with pytest.raises(RuntimeError) as first:
            func()
        with pytest.raises(RuntimeError) as second:
            func(wl=1.5)
        assert first.value is second.value
        assert first.value.args == ("SyntaxError: bad",)

    def test_a_str_subclass_counts_as_a_message(self, mm):
        text = type("Text", (str,), {})("oops")
        with pytest.raises(RuntimeError) as info:
            mm._error_model("a", "m", text)()
        assert info.value.args == (text,)

    def test_a_class_is_instantiated_anew_without_arguments(self, mm):
        func = mm._error_model("mzi", "proj", ValueError)
        with pytest.raises(ValueError) as first:
            func(1)
        with pytest.raises(ValueError) as second:
            func(1)
        assert first.value.args == () and first.value is not second.value

    def test_a_class_that_does_not_make_an_exception(self, mm):
        class Odd(Exception):
            def __new__(cls):
                return 42

        with pytest.raises(TypeError, match="should have returned an instance of BaseException, not <class 'int'>"):
            mm._error_model("a", "m", Odd)()

        class Failing(Exception):
            def __init__(self):
                raise KeyError("init")

        with pytest.raises(KeyError, match="init"):
            mm._error_model("a", "m", Failing)()

    @pytest.mark.parametrize("value", [None, 42, object(), ["ImportError"]])
    def test_anything_else_cannot_be_raised(self, mm, value):
        with pytest.raises(TypeError, match="^exceptions must derive from BaseException$"):
            mm._error_model("a", "m", value)()

    def test_base_exceptions_are_raised_too(self, mm):
        with pytest.raises(KeyboardInterrupt):
            mm._error_model("a", "m", KeyboardInterrupt())()

    def test_raised_inside_a_handler_it_chains_the_handled_exception(self, mm):
        error = ImportError("x")
        func = mm._error_model("a", "m", error)
        try:
            raise KeyError("handled")
        except KeyError:
            with pytest.raises(ImportError):
                func()
        assert isinstance(error.__context__, KeyError)

    def test_keyword_names_must_be_strings(self, mm):
        func = mm._error_model("a", "m", ImportError())
        with pytest.raises(TypeError, match="keywords must be strings"):
            func(**{1: 2})

    def test_the_message_is_built_through_the_module_runtime_error(self, mm, substitute):
        class Marker(Exception):
            pass

        substitute(RuntimeError=Marker)
        with pytest.raises(Marker) as info:
            mm._error_model("a", "m", "text")()
        assert info.value.args == ("text",)


class TestArguments:
    @pytest.mark.parametrize("funcname,modname,bad", [
        (None, "m", "funcname"), ("a", b"m", "modname"), (type("S", (str,), {})("a"), "m", "funcname"), (1, 2, "funcname"),
    ])
    def test_names_must_be_exact_str(self, mm, funcname, modname, bad):
        with pytest.raises(TypeError, match=f"Argument '{bad}' has incorrect type"):
            mm._error_model(funcname, modname, ImportError())

    def test_counts_and_keywords(self, mm):
        func = mm._error_model(funcname="a", modname="m", error=ImportError())
        assert func.__name__ == "a"
        with pytest.raises(TypeError):
            mm._error_model("a", "m")
        with pytest.raises(TypeError):
            mm._error_model("a", "m", None, None)
        with pytest.raises(TypeError):
            mm._error_model("a", "m", exc=None)
