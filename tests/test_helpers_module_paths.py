import sys

import pytest

from korvane.staticanalysis import helpers
from support import write_files


@pytest.fixture
def project(tmp_path, enter_project):
    write_files(tmp_path, {"app/__init__.py": "", "app/models.py": "x = 1\n", "loose/deeper/mod.py": ""})
    return enter_project(tmp_path)


@pytest.mark.parametrize(
    "relative, expected",
    [
        ("app/models.py", "app.models"),
        ("app/__init__.py", "app.__init__"),
        ("loose/deeper/mod.py", "loose.deeper.mod"),
    ],
)
def test_module_path_from_file(project, relative, expected):
    assert helpers.module_path_from_file(str(project / relative)) == expected
    # relative to the working directory, and the second argument changes nothing
    assert helpers.module_path_from_file(relative) == expected
    assert helpers.module_path_from_file(relative, "ignored") == expected
    assert helpers.module_path_from_file(path=relative, file=object()) == expected


def test_module_path_outside_the_search_path(tmp_path, monkeypatch):
    monkeypatch.setattr(sys, "path", [str(tmp_path / "elsewhere")])
    (tmp_path / "mod.py").write_text("")
    with pytest.raises(ImportError):
        helpers.module_path_from_file(str(tmp_path / "mod.py"))


@pytest.mark.parametrize(
    "content, expected",
    [
        (b"", []),
        (b"a = 1\nb = 2", ["a = 1\n", "b = 2"]),
        (b"a = 1\r\nb = 2\r\n", ["a = 1\n", "b = 2\n"]),
        (b"old\rmac\r", ["old\n", "mac\n"]),
    ],
)
def test_read_code_from_file(tmp_path, content, expected):
    path = tmp_path / "code.py"
    path.write_bytes(content)
    assert helpers.read_code_from_file(str(path)) == expected
    assert helpers.read_code_from_file(path=str(path)) == expected


def test_read_code_from_file_errors(tmp_path):
    with pytest.raises(FileNotFoundError):
        helpers.read_code_from_file(str(tmp_path / "missing.py"))
    with pytest.raises(IsADirectoryError):
        helpers.read_code_from_file(str(tmp_path))
