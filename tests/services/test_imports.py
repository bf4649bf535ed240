import os
import sys
from pathlib import Path

import pytest

from morvane.core.imports import get_cells_from_regex, import_modules, module_name_for

from .conftest import write


@pytest.fixture
def demo(project):
    """A project with packages, a namespace directory and a top-level file."""
    write(project / "demo" / "__init__.py", "import sys\nsys.modules.setdefault('_order', []).append('demo')\n")
    write(
        project / "demo" / "cells" / "__init__.py",
        "import sys\nsys.modules['_order'].append('demo.cells')\n",
    )
    write(project / "demo" / "cells" / "a.py", "def a():\n    return 'a'\n")
    write(project / "demo" / "cells" / "b.py", "from demo.cells.a import a\ndef b():\n    return a() + 'b'\n")
    write(project / "nsdir" / "m.py", "X = 1\n")
    write(project / "top.py", "TOP = True\n")
    yield project
    sys.modules.pop("_order", None)


class TestModuleNames:
    def test_dotted_names_relative_to_project(self, demo):
        assert module_name_for(demo / "demo" / "cells" / "a.py") == "demo.cells.a"
        assert module_name_for(demo / "demo" / "cells" / "__init__.py") == "demo.cells"
        assert module_name_for(demo / "top.py") == "top"
        assert module_name_for(demo / "demo" / "x" / ".." / "cells" / "b.py") == "demo.cells.b"

    def test_outside_project_uses_longest_sys_path_entry(self, demo, tmp_path, monkeypatch):
        lib = tmp_path / "site"
        write(lib / "vendor" / "pkg" / "mod.py")
        monkeypatch.syspath_prepend(str(lib / "vendor"))
        monkeypatch.syspath_prepend(str(lib))
        assert module_name_for(lib / "vendor" / "pkg" / "mod.py") == "pkg.mod"

    def test_unimportable_names(self, demo, tmp_path):
        with pytest.raises(ValueError, match="not a valid module name"):
            module_name_for(demo / "my-cells.py")
        with pytest.raises(ValueError, match="not a Python module"):
            module_name_for(demo / "notes.txt")
        with pytest.raises(ValueError, match="nor under any sys.path entry"):
            module_name_for(Path("/nowhere/at/all.py"))


class TestImport:
    def test_imports_under_dotted_names_keyed_by_given_paths(self, demo):
        given = [str(demo / "top.py"), demo / "demo" / "cells" / "b.py", demo / "nsdir" / "m.py"]
        modules, errors = import_modules(paths=given)
        assert errors == {}
        assert list(modules) == given
        assert all(any(k is g for g in given) for k in modules)
        assert modules[given[1]] is sys.modules["demo.cells.b"]
        assert modules[given[1]].b() == "ab"
        assert modules[given[2]].__name__ == "nsdir.m"
        assert sys.path[0] == str(demo)

    def test_packages_imported_first(self, demo):
        import_modules(paths=[demo / "demo" / "cells" / "a.py"])
        assert sys.modules["_order"] == ["demo", "demo.cells"]
        modules, _ = import_modules(paths=[demo / "demo" / "__init__.py"])
        assert modules[demo / "demo" / "__init__.py"] is sys.modules["demo"]

    def test_failures_reported_under_given_path_others_still_import(self, demo):
        syntax = write(demo / "demo" / "bad_syntax.py", "def oops(:\n")
        missing = write(demo / "demo" / "bad_import.py", "import no_such_module_xyz\n")
        raising = write(demo / "demo" / "bad_raise.py", "raise ValueError('at import')\n")
        exiting = write(demo / "demo" / "bad_exit.py", "import sys\nsys.exit(3)\n")
        good = demo / "demo" / "cells" / "a.py"
        given = [str(syntax), missing, raising, good, exiting, demo / "demo" / "gone.py"]
        modules, errors = import_modules(paths=given)

        assert list(modules) == [good]
        assert list(errors) == [given[0], missing, raising, exiting, given[5]]
        assert errors[given[0]][0] == "demo.bad_syntax" and isinstance(errors[given[0]][1], SyntaxError)
        assert errors[missing][0] == "demo.bad_import" and isinstance(errors[missing][1], ModuleNotFoundError)
        assert errors[raising][0] == "demo.bad_raise" and str(errors[raising][1]) == "at import"
        # Reported as an ImportError, so that building its error cell never exits the process.
        exit_error = errors[exiting][1]
        assert isinstance(exit_error, ImportError) and isinstance(exit_error.__cause__, SystemExit)
        assert str(exit_error) == "SystemExit: 3"
        assert isinstance(errors[given[5]][1], ModuleNotFoundError)
        for name in ("demo.bad_syntax", "demo.bad_import", "demo.bad_raise", "demo.bad_exit"):
            assert name not in sys.modules

    def test_unimportable_file_name_is_an_error_not_an_exception(self, demo):
        path = write(demo / "my-cells.py", "X = 1\n")
        modules, errors = import_modules(paths=[path])
        assert modules == {} and errors[path][0] == "my-cells"
        assert isinstance(errors[path][1], ImportError)

    def test_from_project_skips_outside_files(self, demo, tmp_path, monkeypatch):
        outside = write(tmp_path / "lib" / "extlib.py", "E = 1\n")
        monkeypatch.syspath_prepend(str(tmp_path / "lib"))
        modules, errors = import_modules(paths=[outside, demo / "top.py"], from_project=True)
        assert list(modules) == [demo / "top.py"] and errors == {}
        modules, _ = import_modules(paths=[outside])
        assert modules[outside].__name__ == "extlib"

    def test_same_file_twice_is_imported_once(self, demo):
        counter = write(demo / "counted.py", "import sys\nsys.modules.setdefault('_order', []).append('counted')\n")
        modules, _ = import_modules(paths=[counter, str(counter)], reload=True)
        assert len(modules) == 2 and sys.modules["_order"] == ["counted"]


class TestReload:
    def test_reload_only_when_asked(self, demo):
        path = demo / "demo" / "cells" / "a.py"
        first = import_modules(paths=[path])[0][path]
        path.write_text("def a():\n    return 'A'\n")  # same second, same size
        assert import_modules(paths=[path])[0][path].a() == "a"
        again = import_modules(paths=[path], reload=True)[0][path]
        assert again is first and again.a() == "A"

    def test_failed_reload_leaves_nothing_half_initialised(self, demo):
        path = demo / "demo" / "cells" / "a.py"
        import_modules(paths=[path])
        path.write_text("def a():\n    return 1\nraise RuntimeError('broken now')\n")
        _, errors = import_modules(paths=[path], reload=True)
        assert str(errors[path][1]) == "broken now"
        assert "demo.cells.a" not in sys.modules
        assert not hasattr(sys.modules["demo.cells"], "a")
        path.write_text("def a():\n    return 'fixed'\n")
        modules, errors = import_modules(paths=[path], reload=True)
        assert errors == {} and modules[path].a() == "fixed"

    def test_unchanged_file_runs_again_after_what_it_imports_did(self, demo):
        # c imports b, which imports a. a stops defining what b takes from
        # it; c runs first and still finds b's old module; then b fails.
        # Neither b's nor c's text changed since c last ran, but c must run
        # again: a new process cannot import it.
        a, b = demo / "demo" / "cells" / "a.py", demo / "demo" / "cells" / "b.py"
        c = write(demo / "demo" / "cells" / "c.py", "from demo.cells.b import b\ndef c():\n    return b() + 'c'\n")
        import_modules(paths=[a, b, c], reload=True)
        a.write_text("def a2():\n    return 'A'\n")
        assert import_modules(paths=[a, c], reload=True)[1] == {}
        _, errors = import_modules(paths=[b], reload=True)
        assert "cannot import name 'a'" in str(errors[b][1])
        _, errors = import_modules(paths=[c], reload=True)
        assert "cannot import name 'a'" in str(errors[c][1])
        a.write_text("def a():\n    return 'A'\n")
        assert import_modules(paths=[a, b], reload=True)[1] == {}
        assert import_modules(paths=[c], reload=True)[0][c].c() == "Abc"

    def test_a_package_deleted_with_its_folder_is_gone_as_in_a_new_process(self, demo):
        # A file importing a module of a folder that was removed fails as it
        # would in a new process: no package of that name is left behind.
        import shutil

        from morvane.core.imports import forget_deleted

        user = write(demo / "demo" / "user.py", "from demo.cells.a import a\n")
        assert import_modules(paths=[demo / "demo" / "cells" / "a.py", user], reload=True)[1] == {}
        gone = [demo / "demo" / "cells" / n for n in ("__init__.py", "a.py", "b.py")]
        shutil.rmtree(demo / "demo" / "cells")
        forget_deleted(gone)
        _, errors = import_modules(paths=[user], reload=True)
        assert "No module named 'demo.cells'" in str(errors[user][1])

    def test_module_of_same_name_from_another_project_is_replaced(self, demo, make_project):
        import_modules(paths=[demo / "demo" / "cells" / "a.py"])
        other = make_project(name="other")
        write(other / "demo" / "__init__.py")
        write(other / "demo" / "cells" / "a.py", "def a():\n    return 'other'\n")
        path = other / "demo" / "cells" / "a.py"
        modules, errors = import_modules(paths=[path], reload=True)
        assert errors == {}
        assert modules[path].a() == "other"
        assert Path(sys.modules["demo"].__file__) == other / "demo" / "__init__.py"


class TestRegexScan:
    def test_finds_decorated_cells_in_a_file_that_does_not_parse(self, tmp_path):
        path = write(
            tmp_path / "broken.py",
            '''\
            import polyforge as pf
            import polyforge
            from polyforge import cell
            from polyforge import cell as make_cell

            @pf.cell
            def one(width: float = 1) -> pf.Component:
                return pf.Component()

            @polyforge.cell(
                cache=False,  # (comment)
                info=dict(a=(1, 2)),
            )
            def two():
                pass

            @cell
            # a comment between
            @other.decorator
            async def three():
                pass

            @make_cell()
            def four(:    # the syntax error
                pass

            @staticmethod
            def not_a_cell():
                pass

            def plain():
                pass

            class K:
                @pf.cell
                def method(self):
                    pass

            @pf . cell
            def five(): pass
            @pf.cell
            def one(): pass
            ''',
        )
        assert get_cells_from_regex(path) == ["one", "two", "three", "four", "five"]

    def test_crlf_and_undecodable_bytes(self, tmp_path):
        path = tmp_path / "crlf.py"
        path.write_bytes(b"# \xff\xfe\r\n@pf.cell\r\ndef c1():\r\n    pass\r\n")
        assert get_cells_from_regex(path) == ["c1"]

    def test_unreadable_file_raises_oserror(self, tmp_path):
        with pytest.raises(OSError):
            get_cells_from_regex(tmp_path / "missing.py")
        with pytest.raises(OSError):
            get_cells_from_regex(tmp_path)

    def test_unclosed_decorator_and_long_decorator_runs(self, tmp_path):
        # An unclosed argument list ends at the next statement; long runs of
        # decorators without a def are scanned once (no quadratic rescans).
        body = "".join(f"@pf.cell(a=({i}, (1, 2)))\ndef c{i}():\n    pass\n\n" for i in range(2000))
        path = write(tmp_path / "big.py", "@pf.cell(a=(\ndef first():\n    pass\n" + body + "@pf.cell\n" * 20000)
        names = get_cells_from_regex(path)
        assert names[0] == "first" and len(names) == 2001 and names[-1] == "c1999"


def test_project_dir_is_put_on_sys_path_once(demo):
    import_modules(paths=[])
    import_modules(paths=[])
    assert sys.path.count(str(demo)) == 1
    assert os.fspath(demo) == sys.path[0]


class TestBytecode:
    """Project files compile from the tree the file cache parsed, and their
    bytecode caches are written by a thread of their own."""

    def test_caches_are_written_unless_the_source_changed_meanwhile(self, demo, monkeypatch):
        import importlib.util
        import threading

        from morvane.core import _bytecode

        release, genuine = threading.Event(), _bytecode.write
        monkeypatch.setattr(_bytecode, "write", lambda *item: (release.wait(10), genuine(*item)))
        a, top = demo / "demo" / "cells" / "a.py", demo / "top.py"
        modules, _ = import_modules(paths=[a, top])
        assert modules[a].a() == "a"
        # Rewritten in the same second at the same size while its cache waits.
        stamp = os.stat(a)
        a.write_text("def a():\n    return 'z'\n")
        os.utime(a, ns=(stamp.st_atime_ns, stamp.st_mtime_ns + 1))
        release.set()
        _bytecode.wait()
        assert not os.path.exists(importlib.util.cache_from_source(str(a)))
        assert os.path.exists(importlib.util.cache_from_source(str(top)))
        modules, _ = import_modules(paths=[a], reload=True)
        assert modules[a].a() == "z"

    def test_cache_is_written_at_once_when_no_thread_can_start(self, demo, monkeypatch):
        # As while the interpreter finishes: the import still leaves its cache.
        import importlib.util
        import threading

        from morvane.core import _bytecode

        def refuse(self):
            raise RuntimeError("can't create new thread at interpreter shutdown")

        _bytecode.wait()  # no writer left running when the thread is put back
        monkeypatch.setattr(threading.Thread, "start", refuse)
        monkeypatch.setattr(_bytecode._writer, "_thread", None)
        a = demo / "demo" / "cells" / "a.py"
        modules, _ = import_modules(paths=[a])
        assert modules[a].a() == "a"
        assert os.path.exists(importlib.util.cache_from_source(str(a)))

    def test_caches_of_a_pass_are_written_after_it(self, demo):
        import importlib.util

        from morvane.core import _bytecode
        from morvane.core.engine import session

        a = demo / "demo" / "cells" / "a.py"
        with session.one_pass():
            modules, _ = import_modules(paths=[a])
            assert not os.path.exists(importlib.util.cache_from_source(str(a)))
        _bytecode.wait()
        assert os.path.exists(importlib.util.cache_from_source(str(a)))

    def test_code_of_a_parsed_tree_serves_only_its_own_text(self, demo):
        from morvane.core import _bytecode
        from morvane.core._pysource import parse_bytes
        from morvane.core.engine import session

        a = demo / "demo" / "cells" / "a.py"
        old = a.read_bytes()
        _bytecode.parsed(str(a), old, parse_bytes(old, a), b"digest")
        a.write_text("def a():\n    return 'new'\n")  # saved between the parse and the import
        modules, _ = import_modules(paths=[a])
        assert modules[a].a() == "new"

        a.write_text("def a():\n    return 'newer'\n")
        session.analysed("functions", a, "demo.cells.a", False)  # parsed for the analyses
        assert str(a) in _bytecode._compiled
        modules, _ = import_modules(paths=[a], reload=True)
        assert modules[a].a() == "newer" and str(a) not in _bytecode._compiled
        # Parsed after the import of the same text (as the watcher does): nothing to offer.
        session.drop_files(lambda key: False)
        session.analysed("functions", a, "demo.cells.a", False)
        assert str(a) not in _bytecode._compiled


def test_the_watchdog_speaks_for_each_run_past_its_limit_whatever_ran_before(monkeypatch):
    # The watchdog sleeps until the deadline it knows and is woken only by a
    # run whose deadline comes sooner: a long limit first, a run that ends
    # before its deadline, a run started while it slept on an earlier one's
    # deadline. Those past their limit are reported, the others never.
    import queue
    import time

    from morvane.core import _guard

    monkeypatch.setattr(_guard, "GRACE", 0.05)
    spoken: queue.Queue[tuple[str, float]] = queue.Queue()

    class Watchdog(_guard._Watchdog):
        def _overdue(self, run: _guard._Run) -> None:
            spoken.put((run.label, time.monotonic() - run.started))
            while self.run is run:
                time.sleep(0.01)

    watchdog = Watchdog()
    runs = (("long limit", 30.0, 0.0), ("overdue", 0.1, 0.5), ("ended", 0.3, 0.0), ("after a sleep", 0.4, 0.9),
            ("in time", 1.0, 0.05))
    for label, limit, hold in runs:
        run = _guard._Run(label, limit)
        watchdog.watch(run)
        time.sleep(hold)
        watchdog.watch(None)
    said = [spoken.get(timeout=10) for _ in range(2)]
    assert [label for label, _ in said] == ["overdue", "after a sleep"]
    assert said[0][1] >= 0.15 and said[1][1] >= 0.45
    time.sleep(1.2)  # past the last run's deadline: nothing more is said
    assert spoken.empty()
