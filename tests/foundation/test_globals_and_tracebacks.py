"""Module globals are looked up at every call; failures leave a traceback entry
that leads into the C++ source."""

from __future__ import annotations

import builtins
import linecache
import traceback
from pathlib import Path

import pytest

import polyforge


class Sentinel(Exception):
    pass


def raiser(tag):
    def collaborator(*args, **kwargs):
        raise Sentinel(tag)

    return collaborator


class TestGlobalLookup:
    def test_rebinding_a_global_changes_the_next_call(self, pdk, monkeypatch):
        monkeypatch.setattr(pdk, "get_base_pdk", raiser("first"))
        with pytest.raises(Sentinel, match="first"):
            pdk.get_pdk()
        monkeypatch.setattr(pdk, "get_base_pdk", raiser("second"))
        with pytest.raises(Sentinel, match="second"):
            pdk.get_pdk()

    def test_builtins_are_the_fallback(self, pdk, monkeypatch):
        monkeypatch.delattr(pdk, "get_base_pdk")
        monkeypatch.setattr(builtins, "get_base_pdk", raiser("builtin"), raising=False)
        with pytest.raises(Sentinel, match="builtin"):
            pdk.get_pdk()
        # A module global shadows the builtin again.
        monkeypatch.setattr(pdk, "get_base_pdk", raiser("global"), raising=False)
        with pytest.raises(Sentinel, match="global"):
            pdk.get_pdk()

    def test_undefined_name_raises_name_error_as_the_interpreter(self, pdk, monkeypatch):
        monkeypatch.delattr(pdk, "get_base_pdk")
        monkeypatch.setattr(pdk, "get_base_pdx", None, raising=False)
        with pytest.raises(NameError) as ours:
            pdk.get_pdk()

        namespace = {"get_base_pdx": None}
        exec("def get_pdk():\n    get_base_pdk()\n", namespace)
        with pytest.raises(NameError) as theirs:
            namespace["get_pdk"]()

        assert str(ours.value) == str(theirs.value) == "name 'get_base_pdk' is not defined"
        assert ours.value.name == theirs.value.name == "get_base_pdk"
        # The traceback offers the close name from the module, as for Python code.
        last_line = traceback.format_exception(ours.value)[-1]
        assert last_line == traceback.format_exception(theirs.value)[-1]
        assert "Did you mean: 'get_base_pdx'?" in last_line

    def test_models_module_too(self, models, monkeypatch):
        # Even another function of the module is reached through the namespace.
        monkeypatch.setattr(models, "find_models", raiser("models"))
        with pytest.raises(Sentinel, match="models"):
            models.register_models()


def native_entries(exc):
    return [entry for entry in traceback.extract_tb(exc.__traceback__) if entry.filename.endswith(".cpp")]


class TestTracebacks:
    def test_entry_names_the_function_and_leads_to_its_source(self, pdk, monkeypatch):
        monkeypatch.setattr(pdk, "get_base_pdk", raiser("x"))
        with pytest.raises(Sentinel) as info:
            pdk.get_pdk()
        entries = traceback.extract_tb(info.value.__traceback__)
        # caller, then the native function, then the collaborator it called
        assert [e.name for e in entries[-2:]] == ["get_pdk", "collaborator"]
        entry = entries[-2]
        source = Path(entry.filename)
        assert source.suffix == ".cpp" and source.parent.name == "pdk"
        assert source.is_file()
        assert 1 <= entry.lineno <= len(source.read_text().splitlines())
        assert linecache.getline(entry.filename, entry.lineno).strip()

    def test_each_native_frame_appears_once_in_call_order(self, pdk, monkeypatch):
        monkeypatch.setattr(pdk, "get_base_pdk", pdk.activate_pdk_by_name)
        with pytest.raises(TypeError) as info:
            pdk.get_pdk()
        assert [e.name for e in native_entries(info.value)] == ["get_pdk", "activate_pdk_by_name"]

    def test_entry_uses_the_qualified_name(self, pdk):
        obj = polyforge.Pdk("tb")
        obj.__class__ = pdk.FrozenPdk
        with pytest.raises(AttributeError) as info:
            obj.x = 1
        assert [e.name for e in native_entries(info.value)] == ["FrozenPdk.__setattr__"]

    def test_renamed_function_shows_its_new_name(self, pdk):
        cell = pdk._error_cell("my_cell", "proj.cells", ValueError("boom"))
        with pytest.raises(ValueError) as info:
            cell()
        assert [e.name for e in native_entries(info.value)] == ["my_cell"]

    def test_exception_survives_when_the_entry_cannot_be_made(self, pdk):
        # Fails one allocation at a time through the call: wherever it hits,
        # the cell's own exception or a MemoryError comes out, never a
        # function result without an exception.
        testcapi = pytest.importorskip("_testcapi")
        error = ValueError("boom")
        cell = pdk._error_cell("my_cell", "proj.cells", error)
        for n in range(60):
            testcapi.set_nomemory(n, n + 1)
            try:
                cell()
            except BaseException as e:  # noqa: BLE001 - the type is what is checked
                testcapi.remove_mem_hooks()
                raised = e
            else:
                testcapi.remove_mem_hooks()
                pytest.fail("the error cell returned")
            assert raised is error or isinstance(raised, MemoryError), (n, raised)
