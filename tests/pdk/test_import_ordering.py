"""Ordering the source files of a pass and importing them."""

from __future__ import annotations

import os
from pathlib import Path, PurePosixPath

import pytest

from doubles import Namespace, Rec

from .conftest import frames


class TestSortPaths:
    def test_fewer_components_then_shorter_then_code_point(self, pdk):
        given = ["/p/b/c.py", Path("/p/bb.py"), "/p/a.py", "/p/ab.py", "/p/Z.py"]
        assert pdk._sort_paths(iter(given)) == [
            Path(p) for p in ("/p/Z.py", "/p/a.py", "/p/ab.py", "/p/bb.py", "/p/b/c.py")
        ]

    def test_resolves_and_keeps_duplicates(self, pdk, tmp_path):
        (tmp_path / "real.py").write_text("")
        os.symlink(tmp_path / "real.py", tmp_path / "link.py")
        result = pdk._sort_paths([tmp_path / "link.py", tmp_path / "real.py"])
        assert result == [tmp_path.resolve() / "real.py"] * 2

    def test_key_failure_names_the_nested_key_in_the_traceback(self, pdk, substitute):
        class NoParts:
            def resolve(self):
                return self

            @property
            def parts(self):
                raise LookupError("parts")

        substitute(Path=lambda p: NoParts())
        with pytest.raises(LookupError) as info:
            pdk._sort_paths(["a", "b"])
        assert frames(info.value)[-3:-1] == ["_sort_paths", "_sort_paths.<locals>._sort_key"]


class TestImportModules:
    @pytest.fixture
    def importer(self, calls, substitute):
        """imports.import_modules replaced; answers with `answer(paths)`."""

        def install(answer=lambda paths: ({p: f"mod:{p.name}" for p in paths}, {})):
            substitute(imports=Namespace(import_modules=calls.double("import_modules", effect=lambda **kw: answer(kw["paths"]))))

        return install

    def test_distinct_sources_in_record_order_sorted_for_the_importer(self, pdk, calls, importer):
        importer()
        records = {"c": Rec("c", "/p/sub/b.py"), "a": Rec("a", "/p/zz.py"), "b": Rec("b", "/p/sub/b.py")}
        modules, errors = pdk._import_modules(records, [])
        assert calls == [("import_modules", (), {
            "paths": [Path("/p/zz.py"), Path("/p/sub/b.py")], "reload": True, "from_project": False})]
        assert list(modules) == [Path("/p/sub/b.py"), Path("/p/zz.py")] and errors == {}
        assert list(calls.of("import_modules")[0][1]) == ["paths", "reload", "from_project"]

    @pytest.mark.parametrize(("reload", "passed"), [(0, False), ("yes", True), (False, False)])
    def test_reload_passed_as_a_boolean(self, pdk, calls, importer, reload, passed):
        importer()
        pdk._import_modules({}, [], reload=reload)
        assert calls.of("import_modules")[0][1]["reload"] is passed

    def test_empty_records_still_call_the_importer(self, pdk, calls, importer):
        importer()
        assert pdk._import_modules({}, []) == ({}, {})
        assert calls.of("import_modules")[0][1]["paths"] == []

    def test_paths_narrow_by_equality_only(self, pdk, calls, importer):
        importer()
        records = {"a": Rec("a", "/p/a.py"), "b": Rec("b", "/p/b.py")}
        modules, _ = pdk._import_modules(records, ["/p/a.py", PurePosixPath("/p/b.py")])
        assert calls.of("import_modules")[0][1]["paths"] == [Path("/p/b.py")]
        assert list(modules) == [Path("/p/b.py")]
        pdk._import_modules(records, [Path("/nowhere.py")])
        assert calls.of("import_modules")[1][1]["paths"] == []

    def test_membership_keeps_list_semantics_for_odd_elements(self, pdk, importer):
        """Elements that are not plain paths are compared one by one, in order,
        as `in` on a list does."""
        importer()
        compared = []

        class Equal:
            def __init__(self, tag):
                self.tag = tag

            def __eq__(self, other):
                compared.append(self.tag)
                return self.tag == "yes"

            __hash__ = None

        records = {"a": Rec("a", "/p/a.py")}
        modules, _ = pdk._import_modules(records, [Equal("no"), Equal("yes"), Equal("never")])
        assert list(modules) == [Path("/p/a.py")] and compared == ["no", "yes"]

    def test_results_keyed_by_record_paths_and_only_truthy_values(self, pdk, importer):
        a, b, c = Path("/p/a.py"), Path("/p/b.py"), Path("/p/c.py")
        importer(lambda paths: ({a: "A", b: None, Path("/elsewhere"): "X"}, {a: ("p.a", ValueError()), c: 0}))
        records = {"a": Rec("a", str(a)), "b": Rec("b", str(b)), "c": Rec("c", str(c))}
        modules, errors = pdk._import_modules(records, [])
        assert modules == {a: "A"} and list(errors) == [a]

    @pytest.mark.parametrize("answer", [None, (1,), (1, 2, 3)])
    def test_importer_result_must_be_a_pair(self, pdk, importer, answer):
        importer(lambda paths: answer)
        with pytest.raises((ValueError, TypeError)):
            pdk._import_modules({"a": Rec("a")}, [])

    def test_records_that_grow_the_dict_while_visited(self, pdk, importer):
        importer()
        records = {}

        class Growing(Rec):
            def absolute_source(self):
                records[f"n{len(records)}"] = Rec("x")
                return Path("/p/a.py")

        records["a"] = Growing("a")
        with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
            pdk._import_modules(records, [])

    @pytest.mark.parametrize("args", [(None, []), ({}, ()), (type("D", (dict,), {})(), [])])
    def test_typed_parameters(self, pdk, args):
        with pytest.raises(TypeError, match="has incorrect type"):
            pdk._import_modules(*args)
