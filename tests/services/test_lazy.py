import sys
import threading
import time

import pytest

from morvane.core.lazy import lazy_import

from .conftest import write


@pytest.fixture
def pkg_dir(tmp_path, monkeypatch):
    monkeypatch.syspath_prepend(str(tmp_path))
    return tmp_path


class TestNoImportUntilUse:
    def test_creating_proxies_imports_nothing(self, pkg_dir):
        write(pkg_dir / "lz_target.py", "VALUE = 1\ndef f(x):\n    return x + 1\n")
        mod = lazy_import("lz_target")
        attr = lazy_import("lz_target", "f")
        assert "lz_target" not in sys.modules
        assert repr(mod) == "<lazy module 'lz_target' (not loaded)>"
        assert repr(attr) == "<lazy attribute 'lz_target.f' (not loaded)>"

        assert mod.VALUE == 1
        assert "lz_target" in sys.modules
        assert repr(mod) == "<lazy module 'lz_target' (loaded)>"
        assert attr(41) == 42
        assert attr.__name__ == "f"
        assert repr(attr) == "<lazy attribute 'lz_target.f' (loaded)>"

    def test_missing_module_fails_only_on_use(self):
        proxy = lazy_import("lz_does_not_exist")
        with pytest.raises(ModuleNotFoundError):
            proxy.anything


class TestForwarding:
    def test_module_attributes_are_read_live(self, pkg_dir):
        write(pkg_dir / "lz_live.py", "def f():\n    return 'old'\n")
        proxy = lazy_import("lz_live")
        call = lazy_import("lz_live", "f")
        assert proxy.f() == call() == "old"
        sys.modules["lz_live"].f = lambda: "new"
        assert proxy.f() == call() == "new"

    def test_class_through_module_proxy_is_the_real_class(self, pkg_dir):
        write(pkg_dir / "lz_cls.py", "class Base:\n    pass\n")
        proxy = lazy_import("lz_cls")

        class Sub(proxy.Base):
            pass

        assert Sub.__mro__[1] is sys.modules["lz_cls"].Base

    def test_attribute_proxy_forwards_keywords_and_attributes(self, pkg_dir):
        write(
            pkg_dir / "lz_kw.py",
            "import functools\n@functools.cache\ndef g(a, *, b=0):\n    return (a, b)\n",
        )
        g = lazy_import("lz_kw", "g")
        assert g(1, b=2) == (1, 2)
        assert g.cache_info().currsize == 1
        g.cache_clear()
        assert g.cache_info().currsize == 0
        assert g.__wrapped__(3) == (3, 0)

    def test_attribute_naming_a_submodule(self, pkg_dir):
        write(pkg_dir / "lz_pkg" / "__init__.py")
        write(pkg_dir / "lz_pkg" / "sub.py", "X = 5\n")
        assert lazy_import("lz_pkg", "sub").X == 5

    def test_missing_attribute_raises_attribute_error(self, pkg_dir):
        write(pkg_dir / "lz_noattr.py", "")
        with pytest.raises(AttributeError):
            lazy_import("lz_noattr", "nope")()

    def test_setattr_reaches_the_module(self, pkg_dir):
        write(pkg_dir / "lz_set.py", "X = 1\n")
        proxy = lazy_import("lz_set")
        proxy.X = 2
        assert sys.modules["lz_set"].X == 2

    def test_bad_arguments(self):
        with pytest.raises(TypeError):
            lazy_import("")
        with pytest.raises(TypeError):
            lazy_import("x", 3)


class TestFailureAndRetry:
    def test_failed_import_raises_original_and_retries(self, pkg_dir):
        target = write(pkg_dir / "lz_flaky.py", "raise RuntimeError('broken')\n")
        proxy = lazy_import("lz_flaky")
        for _ in range(2):
            with pytest.raises(RuntimeError, match="broken"):
                proxy.X
            assert repr(proxy).endswith("(not loaded)>")
        target.write_text("X = 7\n")
        assert proxy.X == 7


class TestThreads:
    def test_concurrent_first_use_imports_once(self, pkg_dir):
        write(
            pkg_dir / "lz_slow.py",
            "import time\nimport lz_counter\nlz_counter.n += 1\ntime.sleep(0.2)\nVALUE = 'ok'\n",
        )
        write(pkg_dir / "lz_counter.py", "n = 0\n")
        proxy = lazy_import("lz_slow")
        results, start = [], threading.Event()

        def use():
            start.wait()
            results.append(proxy.VALUE)

        threads = [threading.Thread(target=use) for _ in range(8)]
        for t in threads:
            t.start()
        time.sleep(0.01)
        start.set()
        for t in threads:
            t.join()
        assert results == ["ok"] * 8
        assert sys.modules["lz_counter"].n == 1
