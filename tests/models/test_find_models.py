"""find_models: which functions of the call graph are the project's models,
and the records made for them, checked against recording doubles of every
collaborator."""

from __future__ import annotations

import json
import sys
import traceback
from functools import partial
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from doubles import Namespace

from .conftest import FakePdk


def fn(name: str, module: str, annotation: str = "sax.SDict", **defaults):
    return {"name": name, "module": module, "resolved_return_annotation": annotation,
            "parameter_defaults": defaults}


class Project:
    """A call graph over a project "proj" (package proj/proj) and a library
    "lib" outside it, with doubles for every collaborator of find_models."""

    def __init__(self, tmp_path: Path, calls, substitute, mm) -> None:
        self.root = tmp_path / "proj"
        self.lib = tmp_path / "site" / "lib"
        self.calls = calls
        self.functions = {
            "lib.models.straight": fn("straight", "lib.models", length=10.0),
            "lib.models.bend": fn("bend", "lib.models", radius=5),
            "lib.cells.straight": fn("straight", "lib.cells", "pf.Component"),
            "proj.models.mzi": fn("mzi", "proj.models", wl=1.55),
            "proj.models.bend": fn("bend", "proj.models", radius=10),
            "proj.models._helper": fn("_helper", "proj.models"),
            "proj.models.get_models": fn("get_models", "proj.models"),
        }
        self.modules = {
            "lib": {"path": str(self.lib / "__init__.py")},
            "lib.models": {"path": str(self.lib / "models.py")},
            "lib.cells": {"path": str(self.lib / "cells.py")},
            "proj": {"path": str(self.root / "proj" / "__init__.py")},
            "proj.models": {"path": str(self.root / "proj" / "models.py")},
        }
        self.pdk = FakePdk({})
        self.default_lib_paths = {"proj": self.root / "proj", "lib": self.lib}
        self.project_name = "proj"
        real_is_model, real_create_record = mm._is_model, mm._create_record
        self.own_is_model = real_is_model
        substitute(
            get_pdk=calls.double("get_pdk", effect=lambda: self.pdk),
            ccg=Namespace(default_lib_paths=calls.double("default_lib_paths", effect=lambda: self.default_lib_paths)),
            generate_call_graph=calls.double(
                "generate_call_graph", effect=lambda **kw: {"functions": self.functions, "modules": self.modules}),
            get_project_name=calls.double("get_project_name", effect=lambda: self.project_name),
            get_project_dir=calls.double("get_project_dir", effect=lambda: self.root),
            _is_model=calls.double("_is_model", effect=real_is_model),
            _create_record=calls.double("_create_record", effect=real_create_record),
            json=Namespace(dumps=calls.double("json.dumps", effect=json.dumps)),
            m=Namespace(ModelRecord=calls.double("ModelRecord", effect=lambda **kw: kw)),
        )


@pytest.fixture
def project(tmp_path, calls, substitute, mm):
    return Project(tmp_path, calls, substitute, mm)


def straight(length=10.0, wl=1.55):
    pass


class TestCalls:
    def test_the_calls_in_order(self, mm, project, calls):
        project.pdk.models = {"wg": partial(straight, length=2.0)}
        result = mm.find_models()

        assert calls.names() == (
            ["get_pdk", "default_lib_paths", "generate_call_graph"]
            + ["_is_model"] * 7
            + ["get_project_name"] * 4  # lib, lib.models, lib.cells, then proj
            + ["_create_record", "get_project_dir"]
            + ["json.dumps", "ModelRecord"] * 3)
        (args, kwargs), = calls.of("generate_call_graph")
        assert args == () and kwargs == {"lib_paths": {"proj": str(project.root / "proj"), "lib": str(project.lib)}}
        assert all(type(v) is str for v in kwargs["lib_paths"].values())
        assert [a[0]["name"] for a, _ in calls.of("_is_model")] == [v["name"] for v in project.functions.values()]
        (args, kwargs), = calls.of("_create_record")
        assert list(args[0]) == ["straight", "bend", "mzi"] and args[1] is project.pdk.models["wg"] and not kwargs
        for args, kwargs in calls.of("ModelRecord"):
            assert args == () and list(kwargs) == ["factory", "settings", "source", "pdk_type"]
        assert list(result) == ["bend", "mzi", "wg"]

    def test_records(self, mm, project):
        project.pdk.models = {"wg": partial(straight, length=2.0)}
        result = mm.find_models()
        assert result["mzi"] == {"factory": "mzi", "settings": '{"wl": 1.55}',
                                 "source": str(Path("proj", "models.py")), "pdk_type": "pdk"}
        # the project's bend replaced the library's, keeping the library's position
        assert result["bend"]["settings"] == '{"radius": 10}'
        # a library model registered by the PDK under a name of its own
        assert result["wg"] == {"factory": "straight", "settings": '{"length": 2.0}',
                                "source": str(Path("..", "site", "lib", "models.py")), "pdk_type": "base_pdk"}

    def test_a_replaced_path_runs_per_record_and_gives_the_same_records(self, mm, project, substitute):
        # pathlib's own Path lets records of one module share their source;
        # any other Path is called for every record, as written.
        project.pdk.models = {"wg": partial(straight, length=2.0)}
        genuine = mm.find_models()
        resolved = []

        class CountingPath(type(Path())):
            def resolve(self, *args, **kwargs):
                resolved.append(str(self))
                return super().resolve(*args, **kwargs)

        substitute(Path=CountingPath)
        assert mm.find_models() == genuine
        assert resolved.count(str(project.root / "proj" / "models.py")) == 2  # mzi and bend

    def test_given_library_paths_are_resolved_and_used(self, mm, project, calls, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        mm.find_models({"lib": Path("site/lib/../lib")})
        assert "default_lib_paths" not in calls.names()
        (_, kwargs), = calls.of("generate_call_graph")
        assert kwargs == {"lib_paths": {"lib": str(project.lib)}}

    def test_empty_library_paths_mean_the_default(self, mm, project, calls):
        mm.find_models({})
        mm.find_models(lib_paths=None)
        assert calls.names().count("default_lib_paths") == 2

    def test_lookups_are_made_at_call_time(self, mm, project, substitute):
        assert mm.find_models()
        substitute(get_project_name=lambda: "nothing")
        assert mm.find_models() == {}


class TestSelection:
    def test_no_project_module_gives_an_empty_result_early(self, mm, project, calls):
        project.project_name = "other"
        assert mm.find_models() == {}
        assert calls.names() == ["get_pdk", "default_lib_paths", "generate_call_graph"] + ["_is_model"] * 7 + [
            "get_project_name"] * 5

    def test_unregistered_library_models_are_dropped(self, mm, project):
        result = mm.find_models()
        assert list(result) == ["bend", "mzi"]
        assert result["bend"]["source"] == str(Path("proj", "models.py"))

    def test_pdk_models_absent_from_the_graph_or_not_models_are_dropped(self, mm, project):
        def unknown():
            pass

        project.pdk.models = {"u": unknown, "c": straight, "n": object()}
        # "straight" is a model of the library, so "c" stays; the others go
        assert list(mm.find_models()) == ["bend", "mzi", "c"]

    def test_a_registered_model_replaces_a_project_function_of_its_name(self, mm, project):
        project.pdk.models = {"mzi": partial(straight, wl=1.3)}
        result = mm.find_models()
        assert list(result) == ["bend", "mzi"]
        assert result["mzi"]["factory"] == "straight" and json.loads(result["mzi"]["settings"]) == {
            "length": 10.0, "wl": 1.3}

    def test_prefix_tests_need_no_dot(self, mm, project):
        project.modules = {"proj_tools": {"path": str(project.root / "proj_tools.py")}, **project.modules}
        project.functions["proj_tools.gain"] = fn("gain", "proj_tools")
        # proj_tools is listed first, so it is the anchor: only its functions are the project's own
        result = mm.find_models()
        assert list(result) == ["gain"] and result["gain"]["pdk_type"] == "pdk"

        project.modules = {k: v for k, v in project.modules.items() if k != "proj_tools"}
        project.modules["proj_tools"] = {"path": str(project.root / "proj_tools.py")}
        result = mm.find_models()
        # now "proj" is the anchor, and "proj_tools" starts with it too
        assert list(result) == ["bend", "mzi", "gain"]
        assert result["gain"]["pdk_type"] == "base_pdk"  # outside the anchor's directory

    def test_a_subpackage_as_anchor(self, mm, project):
        del project.modules["proj"]
        project.modules["proj.sub"] = {"path": str(project.root / "proj" / "sub" / "__init__.py")}
        project.modules = {"proj.sub": project.modules.pop("proj.sub"), **project.modules}
        project.functions["proj.sub.x.ring"] = fn("ring", "proj.sub.x")
        project.modules["proj.sub.x"] = {"path": str(project.root / "proj" / "sub" / "x.py")}
        result = mm.find_models()
        assert list(result) == ["ring"] and result["ring"]["pdk_type"] == "pdk"

    def test_a_later_function_of_the_same_plain_name_wins_in_place(self, mm, project):
        project.functions["proj.other.mzi"] = fn("mzi", "proj.other", wl=2.0)
        project.modules["proj.other"] = {"path": str(project.root / "proj" / "other.py")}
        result = mm.find_models()
        assert list(result) == ["bend", "mzi"]
        assert result["mzi"]["source"] == str(Path("proj", "other.py"))


class TestFailures:
    @pytest.mark.parametrize("value,type_name", [([], "list"), ("x", "str"), (type("D", (dict,), {})(a=1), "D")])
    def test_default_library_paths_must_be_a_dict(self, mm, project, value, type_name):
        project.default_lib_paths = value
        with pytest.raises(TypeError, match=f"^Expected dict, got {type_name}$"):
            mm.find_models()

    def test_no_default_library_paths(self, mm, project):
        project.default_lib_paths = None
        with pytest.raises(AttributeError, match="items"):
            mm.find_models()

    @pytest.mark.parametrize("bad", [[], "x", type("D", (dict,), {})()])
    def test_library_paths_argument_is_typed(self, mm, bad):
        with pytest.raises(TypeError, match="Argument 'lib_paths' has incorrect type"):
            mm.find_models(bad)

    def test_malformed_call_graphs(self, mm, project, substitute):
        substitute(generate_call_graph=lambda **kw: {"modules": {}})
        with pytest.raises(KeyError, match="functions"):
            mm.find_models()
        substitute(generate_call_graph=lambda **kw: {"functions": {"a.b": ["not a dict"]}, "modules": {}})
        with pytest.raises(TypeError, match="Argument 'record' has incorrect type"):
            mm.find_models()

    def test_a_model_whose_module_is_not_listed(self, mm, project):
        project.functions["proj.gone.mzi2"] = fn("mzi2", "proj.gone")
        with pytest.raises(KeyError, match="proj.gone"):
            mm.find_models()

    def test_defaults_json_cannot_hold(self, mm, project):
        project.functions["proj.models.mzi"]["parameter_defaults"] = {"f": object()}
        with pytest.raises(TypeError, match="not JSON serializable"):
            mm.find_models()

    def test_errors_of_collaborators_propagate(self, mm, project, substitute):
        substitute(get_project_dir=lambda: (_ for _ in ()).throw(OSError("no dir")))
        with pytest.raises(OSError, match="no dir"):
            mm.find_models()


def written_is_model(record):
    annot = str(record["resolved_return_annotation"]).upper()
    if record["name"] == "get_models" or record["name"].startswith("_"):
        return False
    if "DICT[STR" in annot:
        return False
    return any(word in annot for word in ("SDICT", "SDENSE", "SCOO", "STYPE"))


# Pieces of annotations: the words in any case, and characters whose
# upper-casing is not one ASCII byte (long s, sharp s, dotless i).
PIECES = st.sampled_from(["sdict", "SDict", "sdense", "scoo", "stype", "dict[str, ", "Dict[Str", "sax.", "ſdict",
                          "ß", "ı", "[", "]", "|", " ", "x", "pf.Component"])


@settings(max_examples=300, deadline=None)
@given(st.lists(PIECES, max_size=6).map("".join), st.sampled_from(["f", "_f", "get_models"]))
def test_is_model_reads_the_upper_cased_text(annotation, name):
    import morvane.core.models as mm

    for value in (annotation, annotation.encode()):
        record = {"name": name, "resolved_return_annotation": value}
        assert mm._is_model(record) is written_is_model(record)


def test_own_is_model_asked_in_place_as_if_called(mm, project, substitute):
    """With the module's own _is_model the records are tested without a
    call: the same models, and a failing record leaves the same traceback."""
    own = project.own_is_model
    project.functions["proj.models.odd"] = fn("odd", "proj.models", "ſcoo")
    substitute(_is_model=lambda record: own(record))
    called = mm.find_models()
    substitute(_is_model=own)
    assert mm.find_models() == called and "odd" in called

    del project.functions["proj.models.odd"]["resolved_return_annotation"]
    for is_model in (lambda record: own(record), own):
        substitute(_is_model=is_model)
        with pytest.raises(KeyError) as info:
            mm.find_models()
        assert traceback.extract_tb(info.value.__traceback__)[-1].name == "_is_model"


class AsWritten(type(Path())):
    """pathlib's path under another class: find_models then takes its steps
    record by record."""


class Text(str):
    """A module path that is not an exact str."""


PLACES = ["proj/proj/models.py", "proj/proj/sub/cells.py", "proj/proj/../proj/models.py", "proj/link/models.py",
          "proj/proj/linked.py", "proj/proj/gone.py", "site/lib/models.py", "proj/proj", "proj/proj/./sub//cells.py"]


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(modules=st.lists(st.tuples(st.sampled_from(PLACES), st.sampled_from(["str", "text", "path"])),
                        min_size=1, max_size=6),
       owners=st.lists(st.integers(0, 5), min_size=1, max_size=20),
       project_dir=st.sampled_from(["proj", "proj/link", "proj/proj/..", "relative"]))
def test_shared_sources_agree_with_the_steps_as_written(mm, tmp_path_factory, modules, owners, project_dir):
    # Records of one module share its source while Path is pathlib's own;
    # under any other Path class each record takes the steps as written. The
    # records, or the error, are the same: paths through links, ".." and "."
    # parts, missing files, a module path given as a str subclass or a Path,
    # equal texts of distinct objects, a project directory through a link or
    # one whose relative_to raises at the first record.
    root = tmp_path_factory.mktemp("shared")
    for place in ("proj/proj/models.py", "proj/proj/sub/cells.py", "site/lib/models.py", "elsewhere/real.py"):
        (root / place).parent.mkdir(parents=True, exist_ok=True)
        (root / place).write_text("")
    (root / "proj/link").symlink_to(root / "site/lib")
    (root / "proj/proj/linked.py").symlink_to(root / "elsewhere/real.py")
    functions = {"proj.m0.anchor": fn("anchor", "proj", "float")}
    listed = {"proj": {"path": str(root / "proj/proj/__init__.py")}}
    for i, (place, kind) in enumerate(modules):
        text = "".join([str(root), "/", place])  # a new str object each time
        listed[f"proj.m{i}"] = {"path": {"str": text, "text": Text(text), "path": Path(text)}[kind]}
    for j, owner in enumerate(owners):
        functions[f"proj.m{owner % len(modules)}.f{j}"] = fn(f"f{j}", f"proj.m{owner % len(modules)}", k=j)
    # a directory whose resolve() stays relative: relative_to cannot walk up from it
    project = Namespace(resolve=lambda: Path("relative")) if project_dir == "relative" else root / project_dir
    made = []

    def outcome(path_type):
        made.clear()
        vars(mm).update(Path=path_type)
        try:
            return mm.find_models(), list(made)
        except Exception as exc:  # noqa: BLE001
            return (type(exc), str(exc)), list(made)

    saved = {k: vars(mm)[k] for k in ("Path", "get_pdk", "ccg", "generate_call_graph", "get_project_name",
                                      "get_project_dir", "json", "m")}
    try:
        vars(mm).update(
            get_pdk=lambda: FakePdk({}), ccg=Namespace(default_lib_paths=lambda: {"proj": root / "proj"}),
            generate_call_graph=lambda **kw: {"functions": functions, "modules": listed},
            get_project_name=lambda: "proj", get_project_dir=lambda: project, json=json,
            m=Namespace(ModelRecord=lambda **kw: made.append(kw) or kw))
        written = outcome(AsWritten)
        assert outcome(Path) == written
    finally:
        vars(mm).update(saved)
    if project_dir == "relative":
        assert written[0][0] is ValueError and written[1] == []


def test_shared_sources_resolve_once_per_module_text(mm, project, substitute):
    # pathlib's own Path: one resolve per distinct module path text (three
    # records of proj.models, one of a second module naming the same file),
    # beside the library paths, the anchor and the project directory.
    project.functions["proj.again.ring"] = fn("ring", "proj.again")
    project.modules["proj.again"] = {"path": "".join([str(project.root), "/proj/models.py"])}
    project.functions["proj.models.wave"] = fn("wave", "proj.models")
    resolved = []

    def profile(frame, event, arg):
        if event == "call" and frame.f_code.co_name == "resolve" and "pathlib" in frame.f_code.co_filename:
            resolved.append(str(frame.f_locals["self"]))

    sys.setprofile(profile)
    try:
        result = mm.find_models()
    finally:
        sys.setprofile(None)
    assert list(result) == ["bend", "mzi", "ring", "wave"]
    assert {r["source"] for r in result.values()} == {str(Path("proj", "models.py"))}
    assert resolved.count(str(project.root / "proj" / "models.py")) == 1
    substitute(Path=AsWritten)
    assert mm.find_models() == result
