"""Error cells, and the records and cells made for files that fail to import."""

from __future__ import annotations

import copy
from pathlib import Path

import pytest

from doubles import Namespace, Rec, assert_error_function_header


class TestErrorCell:
    def test_names_annotations_and_no_doc(self, pdk):
        cell = pdk._error_cell("wg", "demo.cells", ValueError("x"))
        assert_error_function_header(cell, "wg", "demo.cells", returns="pf.Component")
        assert pdk._error_cell("a", "m", "e") is not pdk._error_cell("a", "m", "e")

    def test_raises_the_same_object_whatever_the_arguments(self, pdk):
        error = KeyError("k")
        cell = pdk._error_cell("wg", "m", error)
        raised = []
        for args, kwargs in [((), {}), ((1, 2), {"width": 3})]:
            with pytest.raises(KeyError) as info:
                cell(*args, **kwargs)
            raised.append(info.value)
        assert raised == [error, error] and all(e is error for e in raised)

    def test_text_becomes_one_runtime_error(self, pdk):
        cell = pdk._error_cell("wg", "m", type("S", (str,), {})("broken"))
        first = pytest.raises(RuntimeError, cell).value
        assert str(first) == "broken" and pytest.raises(RuntimeError, cell).value is first

    def test_raise_semantics_for_classes_and_other_objects(self, pdk):
        assert pytest.raises(ZeroDivisionError, pdk._error_cell("a", "m", ZeroDivisionError)).value.args == ()

        class Odd(Exception):
            def __new__(cls):
                return 42

        with pytest.raises(TypeError, match="should have returned an instance of BaseException, not <class 'int'>"):
            pdk._error_cell("a", "m", Odd)()
        with pytest.raises(TypeError, match="^exceptions must derive from BaseException$"):
            pdk._error_cell("a", "m", None)()

    def test_traceback_names_the_cell(self, pdk):
        from .conftest import frames

        info = pytest.raises(ValueError, pdk._error_cell("ring", "m", ValueError()))
        assert frames(info.value)[-1] == "ring"

    def test_typed_names(self, pdk):
        with pytest.raises(TypeError, match="Argument 'modname' has incorrect type"):
            pdk._error_cell("a", None, "e")


class TestHandleImportErrors:
    @pytest.fixture
    def scan(self, calls, substitute, fake_log):
        """imports.get_cells_from_regex answers from `names` (path -> names,
        or an exception to raise)."""

        def install(names):
            def get_cells_from_regex(path):
                calls.append(("get_cells_from_regex", (path,), {}))
                answer = names.get(path, [])
                if isinstance(answer, BaseException):
                    raise answer
                return answer

            substitute(imports=Namespace(get_cells_from_regex=get_cells_from_regex))

        return install

    def test_no_errors_groups_records_but_does_nothing_else(self, pdk, calls, scan):
        scan({})
        seen = []

        class Counting(Rec):
            def absolute_source(self):
                seen.append(self.name)
                return super().absolute_source()

        assert pdk._handle_import_errors({"a": Counting("a"), "b": Counting("b")}, {}) == ({}, {})
        assert seen == ["a", "b"] and calls == []

    def test_names_from_scan_and_records_get_cells_and_error_records(self, pdk, calls, scan, substitute):
        bad = Path("/p/bad.py")
        error = SyntaxError("invalid syntax")
        scan({bad: ["scanned", "both"]})
        substitute(m=Namespace(FactoryRecord=calls.double("FactoryRecord", effect=Rec)))
        static = {"both": Rec("both", "/p/bad.py"), "static": Rec("static", "/p/bad.py"),
                  "elsewhere": Rec("elsewhere", "/p/ok.py", status="X", message="kept")}
        cells, records = pdk._handle_import_errors(static, {bad: ("p.bad", error)})

        assert set(cells) == set(records) == {"scanned", "both", "static"}
        for cell in cells.values():
            assert cell.__module__ == "p.bad" and pytest.raises(SyntaxError, cell).value is error
        assert records["scanned"] == Rec("scanned", "/p/bad.py", "ERROR", "invalid syntax")
        assert records["both"] == Rec("both", "/p/bad.py", "ERROR", "invalid syntax")
        assert records["both"] is not static["both"] and static["both"].status == "UNKNOWN"
        assert calls.lines() == [("warning", "bad.py: invalid syntax")]
        assert calls.names()[:3] == ["log", "log.warning", "get_cells_from_regex"]
        ((_, made),) = calls.of("FactoryRecord")
        assert list(made) == ["name", "source", "status", "message"]

    def test_scanned_name_whose_record_is_from_another_file(self, pdk, scan):
        bad = Path("/p/bad.py")
        scan({bad: ["elsewhere"]})
        static = {"elsewhere": Rec("elsewhere", "/p/ok.py", status="X", message="kept")}
        _, records = pdk._handle_import_errors(static, {bad: ("p.bad", ImportError("no"))})
        assert records["elsewhere"] == Rec("elsewhere", "/p/ok.py", "ERROR", "no")
        assert static["elsewhere"].status == "X"

    def test_later_file_wins_and_a_file_without_names_only_warns(self, pdk, calls, scan):
        one, two, empty = Path("/p/one.py"), Path("/p/two.py"), Path("/p/empty.py")
        scan({one: ["x"], two: ["x"]})
        cells, records = pdk._handle_import_errors(
            {}, {one: ("p.one", ValueError("1")), empty: ("p.e", "text"), two: ("p.two", ValueError("2"))})
        assert list(records) == ["x"] and records["x"].message == "2" and cells["x"].__module__ == "p.two"
        assert [m for _, m in calls.lines()] == ["one.py: 1", "empty.py: text", "two.py: 2"]

    def test_scan_failures_that_are_exceptions_mean_no_names(self, pdk, scan, substitute):
        bad = Path("/p/bad.py")
        scan({bad: OSError("unreadable")})
        cells, _ = pdk._handle_import_errors({"a": Rec("a", "/p/bad.py")}, {bad: ("p.bad", ValueError())})
        assert list(cells) == ["a"]
        substitute(imports=Namespace())  # the lookup itself fails
        assert list(pdk._handle_import_errors({"a": Rec("a", "/p/bad.py")}, {bad: ("m", ValueError())})[0]) == ["a"]

    def test_scan_interrupts_propagate(self, pdk, scan):
        bad = Path("/p/bad.py")
        scan({bad: KeyboardInterrupt()})
        with pytest.raises(KeyboardInterrupt):
            pdk._handle_import_errors({}, {bad: ("m", ValueError())})

    @pytest.mark.parametrize(("value", "exc"), [(("m",), ValueError), (("m", "e", 3), ValueError), (None, TypeError)])
    def test_error_values_must_be_pairs(self, pdk, scan, value, exc):
        scan({})
        with pytest.raises(exc):
            pdk._handle_import_errors({}, {Path("/p/a.py"): value})

    def test_scan_result_must_be_iterable(self, pdk, scan):
        bad = Path("/p/bad.py")
        scan({bad: None})
        with pytest.raises(TypeError):
            pdk._handle_import_errors({}, {bad: ("m", ValueError())})

    def test_module_name_must_be_text(self, pdk, scan):
        bad = Path("/p/bad.py")
        scan({bad: ["a"]})
        with pytest.raises(TypeError, match="Argument 'modname' has incorrect type"):
            pdk._handle_import_errors({}, {bad: (b"m", ValueError())})

    def test_record_copies_are_deep(self, pdk, scan, substitute):
        copied = []
        substitute(deepcopy=lambda r: copied.append(r) or copy.deepcopy(r))
        bad = Path("/p/bad.py")
        scan({})
        static = {"a": Rec("a", "/p/bad.py")}
        pdk._handle_import_errors(static, {bad: ("m", ValueError("v"))})
        assert copied == [static["a"]]
