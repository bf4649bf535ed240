"""What a pass writes to and deletes from the project database."""

from __future__ import annotations

from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from doubles import Rec, write

from .conftest import frames


def lines(calls):
    return [m for _, m in calls.lines()]


class TestUpdates:
    def test_empty_database_adds_everything(self, pdk, fake_log):
        static = {"b": Rec("b"), "a": Rec("a")}
        add, remove = pdk._get_database_updates(static, {}, [])
        assert add == [static["a"], static["b"]] and remove == []
        assert lines(fake_log) == ["new factories: ['a', 'b']", "updated factories: []", "removed factories: []"]
        assert fake_log.names() == ["log", "log.info"] * 3

    def test_empty_pass_removes_everything_sorted(self, pdk, fake_log):
        assert pdk._get_database_updates({}, {"z": Rec("z"), "c": Rec("c")}, []) == ([], ["c", "z"])
        assert lines(fake_log)[2] == "removed factories: ['c', 'z']"

    def test_new_source_is_written_as_the_pass_made_it(self, pdk, fake_log):
        static = {"a": Rec("a", "/p/new.py", "UNKNOWN", "mine")}
        add, _ = pdk._get_database_updates(static, {"a": Rec("a", "/p/old.py", "OK", "stored")}, [])
        assert add == [Rec("a", "/p/new.py", "UNKNOWN", "mine")]

    def test_named_file_is_written_even_when_unchanged(self, pdk, fake_log):
        static = {"a": Rec("a")}
        add, _ = pdk._get_database_updates(static, {"a": Rec("a")}, [Path("/other.py"), Path("/p/a.py")])
        assert add == [static["a"]] and lines(fake_log)[1] == "updated factories: ['a']"

    def test_status_and_message_alone_are_no_change_and_are_taken_over(self, pdk, fake_log):
        static = {"a": Rec("a", status="UNKNOWN", message="")}
        add, remove = pdk._get_database_updates(static, {"a": Rec("a", status="OK", message="fine")}, [])
        assert (add, remove) == ([], [])
        assert static["a"] == Rec("a", status="OK", message="fine")

    def test_other_differences_are_written_with_the_stored_status(self, pdk, fake_log):
        class WithExtra(Rec):
            def __init__(self, *args, extra=0, **kw):
                super().__init__(*args, **kw)
                self.extra = extra

            def __eq__(self, other):
                return super().__eq__(other) and self.extra == other.extra

        static = {"a": WithExtra("a", extra=1)}
        add, _ = pdk._get_database_updates(static, {"a": WithExtra("a", status="OK", message="m")}, [])
        assert add == [static["a"]] and (static["a"].status, static["a"].message) == ("OK", "m")

    def test_add_ordered_by_name_across_new_and_updated(self, pdk, fake_log):
        static = {n: Rec(n, f"/p/{n}.py") for n in ("d", "a", "c", "b")}
        present = {"c": Rec("c", "/p/moved.py"), "a": Rec("a", "/p/moved.py"), "x": Rec("x")}
        add, remove = pdk._get_database_updates(static, present, [])
        assert [r.name for r in add] == ["a", "b", "c", "d"] and remove == ["x"]

    def test_sort_key_is_the_nested_lambda(self, pdk, fake_log):
        class Nameless(Rec):
            def __getattribute__(self, attr):
                if attr == "name":
                    raise LookupError(attr)
                return super().__getattribute__(attr)

        with pytest.raises(LookupError) as info:
            pdk._get_database_updates({"a": Nameless("a"), "b": Nameless("b")}, {}, [])
        assert frames(info.value)[-2:] == ["_get_database_updates.<locals>.<lambda>", "__getattribute__"]

    def test_comparison_failure_keeps_earlier_takeovers(self, pdk, fake_log):
        class Refusing(Rec):
            def __eq__(self, other):
                raise ArithmeticError("cannot compare")

        static = {"a": Refusing("a")}
        with pytest.raises(ArithmeticError):
            pdk._get_database_updates(static, {"a": Rec("a", status="OK")}, [])
        assert static["a"].status == "OK"

    def test_membership_in_paths_is_by_equality(self, pdk, fake_log):
        """Equal elements later in a long list still match, strings never
        match Path sources."""
        paths = [Path(f"/q/{i}.py") for i in range(5000)] + ["/p/a.py", Path("/p/b.py")]
        static = {"a": Rec("a"), "b": Rec("b", "/p/b.py")}
        add, _ = pdk._get_database_updates(static, {"a": Rec("a"), "b": Rec("b", "/p/b.py")}, paths)
        assert [r.name for r in add] == ["b"]

    @pytest.mark.parametrize("args", [(None, {}, []), ({}, {}, ()), ({}, type("D", (dict,), {})(), [])])
    def test_typed_parameters(self, pdk, args):
        with pytest.raises(TypeError, match="has incorrect type"):
            pdk._get_database_updates(*args)


class TestChangesWhileComparing:
    """Every step reads the dicts afresh: what code run in between (a
    record's comparison, the logger) changes in them is seen."""

    def test_a_record_replaced_mid_comparison_is_read_afresh(self, pdk, fake_log):
        first, second = Rec("b"), Rec("b")
        static = {n: Rec(n) for n in "acdefg"} | {"b": first}

        class Replacing(Rec):
            def __getattribute__(self, attr):
                if attr == "source" and static.get("b") is first:
                    static["b"] = second
                return super().__getattribute__(attr)

        present = {n: Rec(n, status="OK") for n in "acdefg"} | {"b": Replacing("b", status="OK", message="m")}
        add, _ = pdk._get_database_updates(static, present, [])
        assert (second.status, second.message) == ("OK", "m") and (first.status, first.message) == ("UNKNOWN", "")
        assert [r for r in add if r.name == "b"][0] is second

    @pytest.mark.parametrize("line, added", [(0, "late"), (1, "gone")])
    def test_names_added_by_the_logger_are_compared(self, pdk, substitute, calls, line, added):
        """A record added while the first line is logged is compared; one
        added while the second is logged is no longer deleted."""
        static = {"a": Rec("a")}
        present = {"a": Rec("a"), "late": Rec("late", status="OK"), "gone": Rec("gone")}
        lines = []

        class Adding:
            def info(self, message):
                if len(lines) == line:
                    static[added] = Rec(added)
                lines.append(message)

        substitute(log=Adding)
        add, remove = pdk._get_database_updates(static, present, [])
        if added == "late":
            assert static["late"].status == "OK" and add == [] and remove == ["gone"]
        else:
            assert remove == ["late"] and lines[2] == "removed factories: ['late']"


class Key(str):
    """A name that is not an exact str: the dicts keyed by it take the set
    operations as written instead of walking the dicts."""

    __slots__ = ()


# Each name: only in the pass, only stored, or in both, stored with another
# source, status or message, or named by the pass.
KINDS = ["new", "gone", "same", "moved", "stored failed", "failed now", "message", "named"]


@settings(max_examples=150, deadline=None)
@given(st.dictionaries(st.text("abcxyz", min_size=1, max_size=3), st.sampled_from(KINDS), max_size=25))
def test_walking_the_dicts_agrees_with_the_set_operations(kinds):
    """The same records keyed by exact strs (the dicts walked in order) and
    by a str subclass (the set operations as written): the same additions,
    removals, log lines and records taken over."""
    import morvane.core.pdk as pdk
    from doubles import Logger, CallLog

    def run(key):
        static, present, paths = {}, {}, []
        for name, kind in kinds.items():
            mine = Rec(name, f"/p/{name}.py", "ERROR" if kind == "failed now" else "UNKNOWN")
            stored = Rec(name, f"/p/{name}.py", "ERROR" if kind == "stored failed" else "OK",
                         "stored" if kind == "message" else "")
            if kind == "moved":
                stored.source = "/p/old.py"
            if kind == "named":
                paths.append(Path(mine.source))
            if kind != "gone":
                static[key(name)] = mine
            if kind != "new":
                present[key(name)] = stored
        calls = CallLog()
        saved = vars(pdk)["log"]
        pdk.log = lambda: Logger(calls)
        try:
            add, remove = pdk._get_database_updates(static, present, paths)
        finally:
            pdk.log = saved
        return add, remove, [m for _, m in calls.lines()], sorted(static.values(), key=lambda r: r.name)

    assert run(str) == run(Key)


class TestFailuresReachTheDatabase:
    """A record whose file fails (or no longer fails) to import must reach
    the database with its own status, even in a pass that does not name the
    file; the rest of the unchanged-source rule stays."""

    def test_new_failure_is_written(self, pdk, fake_log):
        static = {"a": Rec("a", status="ERROR", message="boom")}
        add, _ = pdk._get_database_updates(static, {"a": Rec("a", status="UNKNOWN")}, [])
        assert add == [Rec("a", status="ERROR", message="boom")]

    def test_mended_failure_is_written(self, pdk, fake_log):
        static = {"a": Rec("a", status="UNKNOWN")}
        add, _ = pdk._get_database_updates(static, {"a": Rec("a", status="ERROR", message="boom")}, [])
        assert add == [Rec("a", status="UNKNOWN")]

    def test_same_failure_again_is_no_change(self, pdk, fake_log):
        static = {"a": Rec("a", status="ERROR", message="boom")}
        assert pdk._get_database_updates(static, {"a": Rec("a", status="ERROR", message="boom")}, []) == ([], [])

    def test_changed_failure_message_is_written(self, pdk, fake_log):
        static = {"a": Rec("a", status="ERROR", message="new")}
        add, _ = pdk._get_database_updates(static, {"a": Rec("a", status="ERROR", message="old")}, [])
        assert add == [Rec("a", status="ERROR", message="new")]

    def test_break_then_fix_across_full_passes(self, pdk, project):
        from morvane.core import database as db

        cells = write(project / "demo" / "cells.py", """
            import polyforge as pf

            @pf.cell
            def wg(width: float = 0.5) -> pf.Component:
                return pf.Component()
        """)
        assert pdk.register_cells() == (["wg"], [])
        assert db.get_all_factories()["wg"].status != "ERROR"

        cells.write_text(cells.read_text() + "\nraise RuntimeError('half-edited')\n")
        assert pdk.register_cells() == (["wg"], [])
        stored = db.get_all_factories()["wg"]
        assert (stored.status, stored.message) == ("ERROR", "half-edited")
        assert pytest.raises(RuntimeError, pdk.get_pdk().cells["wg"]).match("half-edited")
        assert pdk.register_cells() == ([], [])  # the same failure is no news

        cells.write_text(cells.read_text().replace("raise RuntimeError('half-edited')", ""))
        assert pdk.register_cells() == (["wg"], [])
        assert db.get_all_factories()["wg"].status != "ERROR"
        assert pdk.get_pdk().cells["wg"]().__class__.__name__ == "Component"
