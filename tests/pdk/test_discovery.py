"""Taking each pending record's factory from its module."""

from __future__ import annotations

import types
from pathlib import Path

import pytest

from doubles import Namespace, Rec


def module(**attrs) -> types.ModuleType:
    mod = types.ModuleType("m")
    mod.__dict__.update(attrs)
    return mod


@pytest.fixture
def importer(calls, substitute, fake_log):
    """imports.import_modules replaced: answers `(found, {})`, `found`
    taken from `available` for the one requested path."""

    def install(available: dict):
        def answer(**kw):
            (path,) = kw["paths"]
            return ({path: available[path]} if path in available else {}), {}

        substitute(imports=Namespace(import_modules=calls.double("import_modules", effect=answer)))

    return install


def wg():
    pass


def test_factories_from_modules_in_record_order(pdk, calls, importer):
    importer({})
    a, b = Path("/p/a.py"), Path("/p/b.py")
    records = {"wg": Rec("wg", str(a)), "failed": Rec("failed", str(a), "ERROR"), "bend": Rec("bend", str(b))}
    cells = pdk._find_cells(records, {a: module(wg=wg), b: module(bend=len)})
    assert cells == {"wg": wg, "bend": len}
    assert records["failed"] == Rec("failed", str(a), "ERROR") and calls == []


def test_missing_module_is_imported_once_and_shared_with_the_caller(pdk, calls, importer):
    a = Path("/p/a.py")
    importer({a: module(wg=wg, bend=len)})
    modules: dict = {}
    cells = pdk._find_cells({"wg": Rec("wg", str(a)), "bend": Rec("bend", str(a))}, modules)
    assert cells == {"wg": wg, "bend": len} and list(modules) == [a]
    assert calls == [("import_modules", (), {"paths": [a], "reload": False, "from_project": False})]


def test_module_that_cannot_be_had(pdk, calls, importer):
    a = Path("/p/a.py")
    importer({})
    records = {"wg": Rec("wg", str(a)), "bend": Rec("bend", str(a))}
    modules = {a: None}
    cells = pdk._find_cells(records, modules)
    message = "Module for cell 'wg' with path /p/a.py not found."
    assert records["wg"] == Rec("wg", str(a), "ERROR", message)
    error = pytest.raises(ModuleNotFoundError, cells["wg"]).value
    assert str(error) == message and cells["wg"].__module__ == "a.py"
    assert calls.names().count("import_modules") == 2  # tried again for the second record
    assert calls.lines()[0] == ("warning", message)


def test_missing_or_none_attribute(pdk, calls, importer):
    importer({})
    a = Path("/p/a.py")
    records = {"wg": Rec("wg", str(a)), "gone": Rec("gone", str(a))}
    cells = pdk._find_cells(records, {a: module(wg=None)})
    for name in ("wg", "gone"):
        message = f"Cell '{name}' not found in '/p/a.py'."
        assert records[name].status == "ERROR" and records[name].message == message
        assert str(pytest.raises(ImportError, cells[name]).value) == message
        assert type(pytest.raises(ImportError, cells[name]).value) is ImportError
    assert calls.names() == ["log", "log.warning"] * 2


def test_record_changes_before_the_warning(pdk, calls, substitute):
    seen = []

    class Logger:
        def warning(self, message):
            seen.append((message, records["wg"].status))

    substitute(log=lambda: Logger())
    a = Path("/p/a.py")
    records = {"wg": Rec("wg", str(a))}
    pdk._find_cells(records, {a: module()})
    assert seen == [("Cell 'wg' not found in '/p/a.py'.", "ERROR")]


def test_attribute_errors_other_than_missing_propagate(pdk, importer):
    importer({})

    class Exploding(types.ModuleType):
        def __getattr__(self, name):
            raise OSError("disk")

    a = Path("/p/a.py")
    with pytest.raises(OSError):
        pdk._find_cells({"wg": Rec("wg", str(a))}, {a: Exploding("m")})


@pytest.mark.parametrize("answer", [None, (), ({},), ([], {})])
def test_importer_answers_of_the_wrong_shape(pdk, substitute, answer):
    substitute(imports=Namespace(import_modules=lambda **kw: answer))
    with pytest.raises((TypeError, ValueError, AttributeError)):
        pdk._find_cells({"wg": Rec("wg")}, {})


def test_records_growing_while_visited(pdk, substitute):
    records: dict = {}

    class Growing(Rec):
        def absolute_source(self):
            records["new"] = Rec("new")
            return Path("/p/a.py")

    records["wg"] = Growing("wg")
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        pdk._find_cells(records, {Path("/p/a.py"): module(wg=wg)})


@pytest.mark.parametrize("args", [({}, None), (type("D", (dict,), {})(), {})])
def test_typed_parameters(pdk, args):
    with pytest.raises(TypeError, match="has incorrect type"):
        pdk._find_cells(*args)
