import logging

import black
import click
import pytest

from korvane.staticanalysis import meta

LOGGER = "korvane.staticanalysis.meta"
DEFAULT_STYLE = {"line_length": black.DEFAULT_LINE_LENGTH, "target_versions": [black.TargetVersion.PY36]}


def write_pyproject(root, text):
    (root / "pyproject.toml").write_text(text)
    return root


@pytest.mark.parametrize("make", ["missing", "directory"])
def test_no_configuration_file(tmp_path, caplog, make):
    if make == "directory":
        (tmp_path / "pyproject.toml").mkdir()
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    assert meta.find_pyproject_toml(tmp_path) is None
    assert meta.get_toml_config(tmp_path) == {}
    assert meta.get_code_style(tmp_path) == DEFAULT_STYLE
    assert caplog.records == []


@pytest.mark.parametrize(
    "text, expected",
    [
        ("[project]\nname = 'x'\n", {}),
        ("[tool.black]\nline-length = 90\n", {}),
        (
            "[tool.korvane]\nenable = ['C2003']\n--disable = ['C6000']\nmax-colspecs = 3\nextra = true\n",
            {"disable": ["C6000"], "enable": ["C2003"]},
        ),
        ("[tool.korvane]\n--ignore = ['a']\nignore = ['b']\n", {"ignore": ["b"]}),
        ("[tool.korvane]\ndis-able = ['x']\n", {}),
        (
            "[tool.korvane]\ndirectories = ['app']\nignore = 'ab'\n[tool.korvane.enable]\nx = 1\n",
            {"enable": {"x": 1}, "ignore": "ab", "directories": ["app"]},
        ),
    ],
)
def test_get_toml_config_whitelist_and_order(tmp_path, text, expected):
    config = meta.get_toml_config(write_pyproject(tmp_path, text))
    assert list(config.items()) == list(expected.items())


def test_parse_pyproject_toml_normalises_every_key(tmp_path):
    path = write_pyproject(tmp_path, "[tool.korvane]\n--max-colspecs = 3\nmy-key = 'v'\n") / "pyproject.toml"
    assert meta.parse_pyproject_toml(path_config=str(path)) == {"max_colspecs": 3, "my_key": "v"}


def test_tool_entry_not_a_table_propagates(tmp_path):
    write_pyproject(tmp_path, "tool = 'text'\n")
    with pytest.raises(AttributeError):
        meta.get_toml_config(tmp_path)


def test_invalid_toml_is_logged_and_ignored(tmp_path, caplog):
    write_pyproject(tmp_path, "[tool.korvane\nenable = \n[tool.black]\nline-length = 100\n")
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    assert meta.get_toml_config(project_root=str(tmp_path)) == {}
    (record,) = caplog.records
    assert (record.levelname, record.getMessage()) == ("ERROR", "Failed to parse toml config file.")
    assert record.exc_info[0].__name__ == "TomlDecodeError" and record.exc_info[2] is not None
    caplog.clear()
    # black's reader reports the same file with click's FileError, which is swallowed.
    assert meta.get_code_style(lookup_path=tmp_path) == DEFAULT_STYLE
    assert caplog.records == []


@pytest.mark.parametrize(
    "black_table, expected",
    [
        ("line-length = 100\n", {"line_length": 100, "target_versions": [black.TargetVersion.PY36]}),
        ("line-length = '100'\n", {"line_length": 100, "target_versions": [black.TargetVersion.PY36]}),
        (
            "target-version = ['py38', 'py37']\n",
            {"line_length": 88, "target_versions": [black.TargetVersion.PY38, black.TargetVersion.PY37]},
        ),
        # A name this black release does not know is left out.
        (
            "target-version = ['py312', 'py37']\n",
            {"line_length": 88, "target_versions": [black.TargetVersion.PY37]},
        ),
    ],
)
def test_get_code_style(tmp_path, black_table, expected):
    style = meta.get_code_style(write_pyproject(tmp_path, "[tool.black]\n" + black_table))
    assert list(style.items()) == list(expected.items())
    assert type(style["line_length"]) is int


def test_code_style_errors_of_the_reader_propagate(tmp_path):
    write_pyproject(tmp_path, "[tool.black]\ntarget-version = 'py37'\n")
    with pytest.raises(click.BadOptionUsage):
        meta.get_code_style(tmp_path)
    write_pyproject(tmp_path, "[tool.black]\nline-length = 'wide'\n")
    with pytest.raises(ValueError):
        meta.get_code_style(tmp_path)


def test_results_are_new_dicts(tmp_path):
    write_pyproject(tmp_path, "[tool.korvane]\nenable = ['C2003']\n")
    first = meta.get_toml_config(tmp_path)
    first["enable"].append("C9999")
    first["disable"] = []
    assert meta.get_toml_config(tmp_path) == {"enable": ["C2003"]}
    style = meta.get_code_style(tmp_path)
    style["target_versions"].clear()
    assert meta.get_code_style(tmp_path) == DEFAULT_STYLE


def test_fake_click_objects():
    ctx = meta.FakeContext()
    assert isinstance(ctx, click.Context) and ctx.default_map == {}
    assert meta.FakeContext().default_map is not ctx.default_map
    assert meta.FakeContext.__doc__ == "A fake click Context for when calling functions that need it."
    param = meta.FakeParameter()
    assert isinstance(param, click.Parameter) and vars(param) == {}
    assert meta.FakeParameter.__doc__ == "A fake click Parameter for when calling functions that need it."
    assert meta.FakeContext.__module__ == "korvane.staticanalysis.meta"
