import contextlib
import os
import sqlite3
import subprocess
import sys
import threading

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from morvane.core import database as db
from morvane.core.database import DatabaseError
from morvane.models import FactoryRecord, ModelRecord

from .test_logger_and_records import run_python


def fr(name, source="cells.py", **kw):
    return FactoryRecord(name=name, source=source, **kw)


def mr(name, source="models.py", **kw):
    return ModelRecord(factory=name, settings='{"wl": 1.55}', source=source, pdk_type="pdk", **kw)


class TestRoundTrip:
    def test_factories(self, project):
        a = fr("a", status="ERROR", message="boom\nline 2")
        b = fr("b", has_model=True)
        db.add_factories(b, a)
        assert db.get_all_factories() == {"a": a, "b": b}
        assert list(db.get_all_factories()) == ["a", "b"]
        assert db.get_factories_by_name("b", "missing", "a") == {"b": b, "a": a}
        assert list(db.get_factories_by_name("b", "a")) == ["b", "a"]
        assert type(db.get_all_factories()) is dict

    def test_file_is_created_under_the_project(self, project):
        db.add_factories(fr("a"))
        assert (project / ".morvane" / "morvane.db").is_file()
        mode = sqlite3.connect(project / ".morvane" / "morvane.db").execute("PRAGMA journal_mode").fetchone()[0]
        assert mode == "wal"

    def test_replace_and_remove(self, project):
        db.add_factories(fr("a"), fr("b"))
        db.add_factories(fr("a", source="other.py", status="ERROR", message="x"))
        assert db.get_all_factories()["a"] == fr("a", source="other.py", status="ERROR", message="x")
        db.remove_factories("a", "not-there")
        assert list(db.get_all_factories()) == ["b"]
        db.remove_factories()
        db.add_factories()
        assert list(db.get_all_factories()) == ["b"]

    def test_has_model_flags(self, project):
        db.add_factories(fr("a"), fr("b"), fr("c"))
        db.set_factories_has_model_by_names("a", "c", "ghost", has_model=True)
        assert {n: r.has_model for n, r in db.get_all_factories().items()} == {"a": True, "b": False, "c": True}
        db.set_all_factories_has_model(has_model=False)
        assert not any(r.has_model for r in db.get_all_factories().values())
        assert "ghost" not in db.get_all_factories()

    def test_models(self, project):
        m1, m2 = mr("m1", status="SUCCESS"), mr("m2", source=None, status="ERROR", message="no module")
        db.add_models(m2, m1)
        assert db.get_all_models() == ["m1", "m2"]
        assert db.get_all_model_records() == {"m1": m1, "m2": m2}
        db.remove_models("m2")
        assert db.get_all_models() == ["m1"]

    def test_many_names_at_once(self, project):
        records = [fr(f"c{i:05d}") for i in range(2500)]
        db.add_factories(*records)
        got = db.get_factories_by_name(*(r.name for r in records))
        assert len(got) == 2500
        db.set_factories_has_model_by_names(*got, has_model=True)
        db.remove_factories(*list(got)[:2000])
        assert len(db.get_all_factories()) == 500

    def test_names_are_data_not_sql(self, project):
        evil = "x'); DROP TABLE factories; --"
        db.add_factories(fr(evil))
        db.remove_factories("' OR 1=1 --")
        assert list(db.get_all_factories()) == [evil]


class TestTransactions:
    def test_failure_mid_call_leaves_database_unchanged(self, project):
        db.add_factories(fr("a", status="SUCCESS"))
        before = db.get_all_factories()
        bad = fr("z")
        bad.message = None  # not storable; fails after "a" and "b" were written
        with pytest.raises(TypeError, match="message"):
            db.add_factories(fr("a", status="CHANGED"), fr("b"), bad)
        assert db.get_all_factories() == before

    def test_failed_model_write_leaves_models_unchanged(self, project):
        db.add_models(mr("m1"))
        with pytest.raises(TypeError):
            db.add_models(mr("m2"), "not a record")
        assert db.get_all_models() == ["m1"]

    def test_wrong_argument_types(self, project):
        with pytest.raises(TypeError):
            db.add_factories(mr("m"))
        with pytest.raises(TypeError):
            db.remove_factories(3)

    def test_threads_share_the_connection(self, project):
        def writer(k):
            for i in range(50):
                db.add_factories(fr(f"t{k}_{i}"))

        threads = [threading.Thread(target=writer, args=(k,)) for k in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert len(db.get_all_factories()) == 200


class TestFiles:
    def test_newer_schema_version_is_refused_untouched(self, project):
        db.add_factories(fr("a"))
        db.close()
        path = project / ".morvane" / "morvane.db"
        conn = sqlite3.connect(path)
        conn.execute(f"PRAGMA user_version = {db.SCHEMA_VERSION + 1}")
        conn.close()
        with pytest.raises(DatabaseError, match="newer than this morvane supports") as info:
            db.get_all_factories()
        assert str(path) in str(info.value)
        conn = sqlite3.connect(path)
        assert conn.execute("SELECT name FROM factories").fetchall() == [("a",)]

    def test_file_that_is_not_a_database(self, project):
        path = project / ".morvane" / "morvane.db"
        path.parent.mkdir()
        path.write_text("this is not SQLite\n" * 100)
        with pytest.raises(DatabaseError, match="not a morvane database") as info:
            db.add_factories(fr("a"))
        assert str(path) in str(info.value)
        assert path.read_text() == "this is not SQLite\n" * 100

    def test_foreign_sqlite_database_is_left_alone(self, project, tmp_path):
        other = tmp_path / "other.db"
        conn = sqlite3.connect(other)
        conn.execute("CREATE TABLE factories (x)")
        conn.commit()
        conn.close()
        db.use_database(other)
        with pytest.raises(DatabaseError, match="did not create"):
            db.get_all_factories()
        assert sqlite3.connect(other).execute("PRAGMA journal_mode").fetchone()[0] == "delete"

    def test_follows_the_settings_path(self, project, monkeypatch, tmp_path):
        db.add_factories(fr("first"))
        monkeypatch.setenv("MORVANE_DATABASE", str(tmp_path / "second.db"))
        assert db.get_all_factories() == {}
        monkeypatch.delenv("MORVANE_DATABASE")
        assert list(db.get_all_factories()) == ["first"]

    def test_second_process_reads_and_writes(self, project):
        db.add_factories(fr("a", status="ERROR", message="m"))
        code = (
            "from morvane.core import database as db\n"
            "from morvane.models import FactoryRecord\n"
            "print(sorted((n, r.status, r.message) for n, r in db.get_all_factories().items()))\n"
            "db.add_factories(FactoryRecord(name='from_child', source='c.py'))\n"
        )
        result = run_python(code, MORVANE_PROJECT_DIR=str(project))
        assert result.returncode == 0, result.stderr
        assert result.stdout.strip() == "[('a', 'ERROR', 'm')]"
        # Our open connection sees the other process's write.
        assert sorted(db.get_all_factories()) == ["a", "from_child"]

    def test_waits_for_another_writer(self, project):
        db.add_factories(fr("a"))
        code = (
            "import sqlite3, sys, time\n"
            "c = sqlite3.connect(sys.argv[1], isolation_level=None)\n"
            "c.execute('BEGIN IMMEDIATE'); print('locked', flush=True)\n"
            "time.sleep(1.0); c.execute('COMMIT')\n"
        )
        child = subprocess.Popen(
            [sys.executable, "-c", code, str(project / ".morvane" / "morvane.db")], stdout=subprocess.PIPE, text=True
        )
        try:
            assert child.stdout.readline().strip() == "locked"
            db.add_factories(fr("b"))  # blocks until the child commits, then succeeds
        finally:
            child.wait(timeout=30)
        assert sorted(db.get_all_factories()) == ["a", "b"]


class TestScopes:
    def test_a_pass_is_one_transaction(self, project):
        db.add_factories(fr("keep"), fr("old"))
        path = project / ".morvane" / "morvane.db"
        with db.pass_scope():
            db.add_factories(fr("new"))
            with db.pass_scope():  # nesting joins the outer pass
                db.remove_factories("old")
            with pytest.raises(TypeError):  # a failing call leaves no trace, the pass goes on
                db.add_factories(fr("half"), "not a record")
            other = sqlite3.connect(path)
            assert sorted(r[0] for r in other.execute("SELECT name FROM factories")) == ["keep", "old"]
            assert db.get_factories_by_name("new", "old", "half") == {"new": fr("new")}
        assert sorted(db.get_all_factories()) == ["keep", "new"]
        with pytest.raises(RuntimeError), db.pass_scope():
            db.remove_factories("keep", "new")
            raise RuntimeError("pass failed")
        assert sorted(db.get_all_factories()) == ["keep", "new"]

    def test_reading_never_creates_and_refuses_writes(self, project):
        with db.reading():
            assert db.get_all_factories() == {} and db.get_all_models() == []
            with pytest.raises(DatabaseError):
                db.add_factories(fr("a"))
        assert not (project / ".morvane").exists()
        db.add_factories(fr("a"))
        with db.reading():
            assert list(db.get_all_factories()) == ["a"]

    def test_deleted_database_is_noticed_and_recreated(self, project):
        db.add_factories(fr("a"))
        assert db.reopen_if_replaced() is None
        for leftover in (project / ".morvane").iterdir():
            leftover.unlink()
        (project / ".morvane").rmdir()
        notice = db.reopen_if_replaced()
        assert "deleted" in notice and "\n" not in notice
        db.add_factories(fr("b"))
        assert sqlite3.connect(project / ".morvane" / "morvane.db").execute(
            "SELECT name FROM factories").fetchall() == [("b",)]


class TestStoredRows:
    @pytest.mark.parametrize("column, value", [("name", b"blob"), ("status", 3), ("message", None)])
    def test_foreign_values_are_reported_naming_the_row(self, project, column, value):
        db.add_factories(fr("a"), fr("b"))
        db.close()
        conn = sqlite3.connect(project / ".morvane" / "morvane.db")
        conn.execute("PRAGMA ignore_check_constraints = ON")
        conn.execute("PRAGMA writable_schema = OFF")
        conn.execute("DROP TABLE factories")
        conn.execute("CREATE TABLE factories (name, source, status, message, has_model)")
        conn.execute("INSERT INTO factories VALUES ('a', 'cells.py', 'UNKNOWN', '', 0)")
        row = {"name": "b", "source": "cells.py", "status": "UNKNOWN", "message": "", column: value}
        conn.execute("INSERT INTO factories VALUES (?, ?, ?, ?, 0)", list(row.values()))
        conn.commit()
        conn.close()
        with pytest.raises(DatabaseError, match=f"corrupt row .* column {column}") as info:
            db.get_all_factories()
        assert "\n" not in str(info.value)

    def test_undecodable_source_and_message_round_trip(self, project):
        source = os.fsdecode(b"chip/caf\xe9.py")
        db.add_factories(fr("cafe", source=source, status="ERROR", message=f"cannot import {source}"))
        stored = db.get_factories_by_source(source)["cafe"]
        assert stored.source == source and "caf" in stored.message
        assert db.get_factories_in("chip")["cafe"].source == source

    def test_version_1_database_is_upgraded_keeping_its_rows(self, project):
        db.add_factories(fr("a"))
        db.close()
        path = project / ".morvane" / "morvane.db"
        conn = sqlite3.connect(path)
        conn.execute("DROP INDEX factories_by_source")
        conn.execute("PRAGMA user_version = 1")
        conn.commit()
        conn.close()
        assert list(db.get_all_factories()) == ["a"]
        conn = sqlite3.connect(path)
        assert conn.execute("PRAGMA user_version").fetchone()[0] == db.SCHEMA_VERSION
        assert conn.execute("SELECT name FROM sqlite_master WHERE type = 'index' AND name = 'factories_by_source'").fetchone()


_MODEL_OPS = st.lists(st.one_of(
    st.tuples(st.just("add"), st.lists(st.tuples(st.sampled_from("abc"), st.sampled_from(["UNKNOWN", "ERROR"]),
                                                 st.sampled_from(["{}", '{"wl": 1}'])), max_size=3),
              st.sampled_from(["alone", "pass", "failed pass"])),
    st.tuples(st.just("remove"), st.lists(st.sampled_from("abc"), max_size=2)),
    st.tuples(st.just("foreign"), st.sampled_from("abc"), st.sampled_from(["update", "delete"])),
    st.tuples(st.just("close"))), max_size=10)


def _records(rows):
    return [ModelRecord(factory=n, settings=s, source="m.py", pdk_type="pdk", status=status)
            for n, status, s in rows]


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(ops=_MODEL_OPS)
def test_model_writes_agree_with_the_file_whatever_else_writes_it(project, ops):
    # add_models leaves out the rows it knows are stored; whatever the
    # process did before (passes committed or rolled back, removals, a
    # reopened connection, names given twice) and whatever another
    # connection wrote, the file holds what writing every row leaves. After
    # each step every known model is written again, as the next pass does.
    db.close()
    db.remove_models(*db.get_all_models())
    expected: dict[str, tuple[str, str]] = {}
    path = project / ".morvane" / "morvane.db"
    for op in ops:
        if op[0] == "add":
            records = _records(op[1])
            if op[2] == "alone":
                db.add_models(*records)
            else:
                with contextlib.suppress(RuntimeError), db.pass_scope():
                    db.add_models(*records)
                    if op[2] == "failed pass":
                        raise RuntimeError("the pass failed")
            if op[2] != "failed pass":
                expected.update({r.factory: (r.status, r.settings) for r in records})
        elif op[0] == "remove":
            db.remove_models(*op[1])
            for name in op[1]:
                expected.pop(name, None)
        elif op[0] == "foreign":
            other = sqlite3.connect(path, isolation_level=None)
            if op[2] == "update":
                other.execute("UPDATE models SET status = 'CHANGED' WHERE name = ?", op[1])
            else:
                other.execute("DELETE FROM models WHERE name = ?", op[1])
            other.close()
        else:
            db.close()
        with db.pass_scope():
            db.add_models(*_records((n, status, s) for n, (status, s) in expected.items()))
        stored = sqlite3.connect(path)
        assert {n: (s, t) for n, s, t in stored.execute("SELECT name, status, settings FROM models")} == expected
        stored.close()


_FLAG_OPS = st.lists(st.one_of(
    st.tuples(st.just("add"), st.lists(st.tuples(st.sampled_from("abcd"), st.booleans()), max_size=3)),
    st.tuples(st.just("remove"), st.lists(st.sampled_from("abcd"), max_size=2)),
    st.tuples(st.just("clear all"), st.booleans()),
    st.tuples(st.just("set"), st.lists(st.sampled_from("abcde"), max_size=4), st.booleans()),
    st.tuples(st.just("read"),), st.tuples(st.just("models"),),
    st.tuples(st.just("register"), st.lists(st.sampled_from("abcde"), max_size=4))), max_size=8)


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(passes=st.lists(st.tuples(_FLAG_OPS, st.booleans()), max_size=4))
def test_has_model_flags_in_a_pass_are_those_of_each_call_in_turn(project, passes):
    # Inside a pass, clearing every flag waits for the next call that reads
    # or writes them; whatever comes between, each read and the file after
    # the pass (committed or rolled back) show what running every call in
    # turn shows.
    db.close()
    db.remove_factories(*db.get_all_factories())
    expected: dict[str, bool] = {}
    path = project / ".morvane" / "morvane.db"
    for ops, fails in passes:
        before = dict(expected)
        with contextlib.suppress(RuntimeError), db.pass_scope():
            for op in ops:
                if op[0] == "add":
                    db.add_factories(*(fr(n, has_model=h) for n, h in op[1]))
                    expected.update(dict(op[1]))
                elif op[0] == "remove":
                    db.remove_factories(*op[1])
                    for name in op[1]:
                        expected.pop(name, None)
                elif op[0] == "clear all":
                    db.set_all_factories_has_model(has_model=op[1])
                    expected = dict.fromkeys(expected, op[1])
                elif op[0] == "set":
                    db.set_factories_has_model_by_names(*op[1], has_model=op[2])
                    expected.update({n: op[2] for n in op[1] if n in expected})
                elif op[0] == "register":  # what a registration pass does with the flags
                    db.set_all_factories_has_model(has_model=False)
                    db.get_all_models()
                    db.set_factories_has_model_by_names(*op[1])
                    expected = {n: n in op[1] for n in expected}
                elif op[0] == "read":
                    assert {n: r.has_model for n, r in db.get_all_factories().items()} == expected
                else:
                    assert db.get_all_models() == []
            if fails:
                raise RuntimeError("the pass failed")
        if fails:
            expected = before
        stored = sqlite3.connect(path)
        assert {n: bool(h) for n, h in stored.execute("SELECT name, has_model FROM factories")} == expected
        stored.close()
