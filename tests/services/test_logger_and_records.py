import copy
import logging
import os
import subprocess
import sys
from pathlib import Path

import morvane
from morvane.logger import get_logger
from morvane.models import FactoryRecord, ModelRecord

SRC = str(Path(morvane.__file__).resolve().parents[1])


def run_python(code: str, **env: str) -> subprocess.CompletedProcess:
    environ = {**os.environ, "PYTHONPATH": SRC, **env}
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=environ, timeout=60)


class TestLogger:
    def test_a_library_logger_that_prints_nothing_by_itself(self):
        logger = get_logger()
        assert get_logger() is logger and logger.name == "morvane"
        assert [type(h) for h in logger.handlers] == [logging.NullHandler]
        code = (
            "import logging\n"
            "from morvane.logger import get_logger\n"
            "get_logger().warning('alone')\n"
            "logging.basicConfig(format='%(levelname)s %(message)s')\n"
            "get_logger().warning('configured'); get_logger().info('hello-info')\n"
            "print(get_logger().level)"
        )
        default = run_python(code)
        # Nothing before the application configures logging, then each record once.
        assert default.stderr == "WARNING configured\n" and default.stdout.strip() == "0"
        info = run_python(code, MORVANE_LOG_LEVEL="info")
        assert "INFO hello-info" in info.stderr and info.stdout.strip() == "20"
        bad = run_python(code, MORVANE_LOG_LEVEL="loud")
        assert bad.stdout.strip() == "0" and "hello-info" not in bad.stderr


class TestRecords:
    def test_equality_covers_every_field(self):
        a = FactoryRecord(name="c", source="x.py", status="ERROR", message="m")
        assert a == FactoryRecord(name="c", source="x.py", status="ERROR", message="m")
        for change in ({"name": "d"}, {"source": "y.py"}, {"status": "UNKNOWN"}, {"message": ""}):
            b = copy.deepcopy(a)
            for k, v in change.items():
                setattr(b, k, v)
            assert a != b, change
        for change in ({"settings": "{}"}, {"source": None}, {"pdk_type": "base_pdk"}, {"message": "x"}):
            m1 = ModelRecord(factory="f", settings='{"a": 1}', source="m.py", pdk_type="pdk")
            m2 = copy.deepcopy(m1)
            for k, v in change.items():
                setattr(m2, k, v)
            assert m1 != m2, change

    def test_has_model_is_kept_but_not_compared(self):
        # A pass's record (flag unknown, False) equals the stored one with
        # the flag set, so the pass neither reports nor rewrites it.
        stored = FactoryRecord(name="c", source="x.py", has_model=True)
        found = FactoryRecord(name="c", source="x.py")
        assert stored == found
        assert copy.deepcopy(stored).has_model is True
        m1 = ModelRecord(factory="f", settings="{}", source="m.py", pdk_type="pdk")
        m2 = copy.deepcopy(m1)
        m2.status = "SUCCESS"
        assert m1 != m2 and m1.status == "UNKNOWN"

    def test_absolute_source(self, project):
        assert FactoryRecord(name="c", source="a/../b.py").absolute_source() == project / "b.py"
        assert FactoryRecord(name="c", source="/abs/c.py").absolute_source() == Path("/abs/c.py")
        assert ModelRecord(factory="f", settings="{}", source="", pdk_type="pdk").absolute_source() is None
        assert ModelRecord(factory="f", settings="{}", source=None, pdk_type="pdk").absolute_source() is None
        assert ModelRecord(factory="f", settings="{}", source="m.py", pdk_type="pdk").absolute_source() == project / "m.py"

    def test_repr_is_readable(self):
        assert repr(FactoryRecord(name="c", source="x.py")) == (
            "FactoryRecord(name='c', source='x.py', status='UNKNOWN', message='', has_model=False)"
        )
