import logging

import pytest

from morvane import settings
from morvane.settings import SettingsError

from .conftest import write


class TestDiscovery:
    def test_nearest_pyproject_with_tool_table_upwards(self, tmp_path, monkeypatch):
        outer = tmp_path / "outer"
        write(outer / "pyproject.toml", '[project]\nname = "outer"\n[tool.morvane]\n')
        # A pyproject.toml without [tool.morvane] on the way up is passed over.
        write(outer / "inner" / "pyproject.toml", '[project]\nname = "inner"\n')
        deep = outer / "inner" / "a" / "b"
        deep.mkdir(parents=True)
        monkeypatch.chdir(deep)
        assert settings.get_project_dir() == outer.resolve()
        assert settings.get_project_name() == "outer"

    def test_env_var_wins_over_cwd(self, tmp_path, monkeypatch):
        write(tmp_path / "cwdproj" / "pyproject.toml", "[tool.morvane]\nname = 'cwdproj'\n")
        write(tmp_path / "envproj" / "pyproject.toml", "[tool.morvane]\nname = 'envproj'\n")
        monkeypatch.chdir(tmp_path / "cwdproj")
        monkeypatch.setenv("MORVANE_PROJECT_DIR", str(tmp_path / "envproj"))
        assert settings.get_project_name() == "envproj"
        # The cache follows the variable.
        monkeypatch.delenv("MORVANE_PROJECT_DIR")
        assert settings.get_project_name() == "cwdproj"

    def test_no_project_found(self, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        with pytest.raises(SettingsError, match=r"no morvane project found.*MORVANE_PROJECT_DIR"):
            settings.get_settings()

    def test_env_var_naming_missing_directory(self, tmp_path, monkeypatch):
        monkeypatch.setenv("MORVANE_PROJECT_DIR", str(tmp_path / "nope"))
        with pytest.raises(SettingsError, match="no such directory"):
            settings.get_project_dir()

    def test_cached_until_reset(self, project):
        first = settings.get_settings()
        assert settings.get_settings() is first
        write(project / "pyproject.toml", "[tool.morvane]\npdk = 'gpdk'\n")
        assert settings.get_pdk_name() == "generic"
        settings.reset_settings()
        assert settings.get_pdk_name() == "gpdk"


class TestValues:
    def test_defaults(self, project):
        s = settings.get_settings()
        assert s.project_dir == project
        assert (s.project_name, s.pdk_name, s.is_a_pdk) == ("demo", "generic", False)
        assert s.database_path == project / ".morvane" / "morvane.db"
        assert settings.is_a_pdk() is False

    def test_explicit_values(self, make_project):
        root = make_project(
            '[project]\nname = "x"\n[tool.morvane]\nname = "my_pdk"\npdk = "my_pdk.tech"\n'
            'is-a-pdk = true\ndatabase = "data/cells.sqlite"\n'
        )
        s = settings.get_settings()
        assert (s.project_name, s.pdk_name, s.is_a_pdk) == ("my_pdk", "my_pdk.tech", True)
        assert s.database_path == root / "data" / "cells.sqlite"

    @pytest.mark.parametrize(
        "dist, module", [("My-Chip.Layout", "my_chip_layout"), ("chip lib", "chip_lib"), ("a--b", "a_b")]
    )
    def test_project_name_normalised(self, make_project, dist, module):
        make_project(f'[project]\nname = "{dist}"\n[tool.morvane]\n')
        assert settings.get_project_name() == module

    def test_name_falls_back_to_directory(self, make_project):
        make_project("[tool.morvane]\n", name="Some-Dir")
        assert settings.get_project_name() == "some_dir"

    def test_database_env_overrides(self, project, monkeypatch, tmp_path):
        monkeypatch.setenv("MORVANE_DATABASE", "rel/x.db")
        assert settings.get_settings().database_path == project / "rel" / "x.db"
        monkeypatch.setenv("MORVANE_DATABASE", str(tmp_path / "abs.db"))
        assert settings.get_settings().database_path == tmp_path / "abs.db"


class TestErrors:
    def test_malformed_toml_names_the_file(self, make_project):
        root = make_project("[tool.morvane\nname = 'x'\n")
        with pytest.raises(SettingsError, match="malformed TOML") as info:
            settings.get_settings()
        assert str(root / "pyproject.toml") in str(info.value)

    def test_malformed_toml_found_upwards_is_reported(self, tmp_path, monkeypatch):
        write(tmp_path / "p" / "pyproject.toml", "[tool.morvane]]\n")
        monkeypatch.chdir(tmp_path / "p")
        with pytest.raises(SettingsError, match="malformed TOML"):
            settings.get_settings()

    @pytest.mark.parametrize(
        "line, key, expected",
        [
            ("is-a-pdk = 'yes'", "is-a-pdk", "a boolean"),
            ("pdk = 3", "pdk", "a PDK name"),
            ("name = ['a']", "name", "a module name"),
            ("database = false", "database", "a file path"),
        ],
    )
    def test_wrong_type_names_file_key_and_expectation(self, make_project, line, key, expected):
        root = make_project(f"[tool.morvane]\n{line}\n")
        with pytest.raises(SettingsError) as info:
            settings.get_settings()
        message = str(info.value)
        assert str(root / "pyproject.toml") in message
        assert f"[tool.morvane] {key} must be {expected}" in message

    def test_invalid_module_name(self, make_project):
        make_project("[tool.morvane]\nname = 'not-a-module'\n")
        with pytest.raises(SettingsError, match="must be a module name"):
            settings.get_settings()

    def test_tool_morvane_not_a_table(self, make_project):
        make_project("[tool]\nmorvane = 1\n")
        with pytest.raises(SettingsError, match=r"\[tool.morvane\] must be a table"):
            settings.get_settings()

    def test_unknown_key_is_warned_about(self, make_project, caplog):
        make_project("[tool.morvane]\npdk_name = 'gpdk'\n")
        with caplog.at_level(logging.WARNING, logger="morvane"):
            assert settings.get_pdk_name() == "generic"
        assert "unknown [tool.morvane] keys ignored: pdk_name" in caplog.text
