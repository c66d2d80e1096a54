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
            "[tool.korvane]\ndirectories = ['app']\nignore = 'ab'\nenable = 'C2003,C2004'\n",
            {"enable": "C2003,C2004", "ignore": "ab", "directories": ["app"]},
        ),
    ],
)
def test_get_toml_config_whitelist_and_order(tmp_path, text, expected):
    config = meta.get_toml_config(write_pyproject(tmp_path, text))
    assert list(config.items()) == list(expected.items())


def test_parse_pyproject_toml_normalises_every_key(tmp_path):
    path = write_pyproject(tmp_path, "[tool.korvane]\n--max-colspecs = 3\nmy-key = 'v'\n") / "pyproject.toml"
    assert meta.parse_pyproject_toml(path_config=str(path)) == {"max_colspecs": 3, "my_key": "v"}


# Files that the reader cannot take, or whose tables have another type: the project
# counts as having no configuration, with one error record carrying the cause.
UNREADABLE = [
    pytest.param(b"[tool.korvane\nenable = \n[tool.black]\nline-length = 100\n", "TOMLDecodeError", id="invalid"),
    pytest.param("[tool.korvane]\n# caf\u00e9\ndisable = ['C2003']\n".encode("latin-1"), "UnicodeDecodeError",
                 id="latin-1"),
    pytest.param("[tool.korvane]\ndisable = ['C2003']\n".encode("utf-16"), "UnicodeDecodeError", id="utf-16"),
    pytest.param(b"tool = 5\n", "TypeError", id="tool-number"),
    pytest.param(b"tool = 'text'\n", "TypeError", id="tool-text"),
    pytest.param(b"[tool]\nkorvane = ['disable']\n", "TypeError", id="korvane-array"),
]


@pytest.mark.parametrize("content, error", UNREADABLE)
def test_unreadable_file_counts_as_no_configuration(tmp_path, caplog, content, error):
    (tmp_path / "pyproject.toml").write_bytes(content)
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    assert meta.get_toml_config(project_root=str(tmp_path)) == {}
    (record,) = caplog.records
    assert (record.levelname, record.getMessage()) == ("ERROR", "Failed to parse toml config file.")
    assert record.exc_info[0].__name__ == error
    if error == "TypeError":
        # The cause names the table and the file.
        cause = str(record.exc_info[1])
        assert "[tool" in cause and str(tmp_path / "pyproject.toml") in cause
    else:
        # The reader's own traceback is kept.
        assert record.exc_info[2] is not None
    caplog.clear()
    # Nor does black's reader stop the code style: the defaults apply.
    assert meta.get_code_style(lookup_path=tmp_path) == DEFAULT_STYLE
    assert all(r.levelname == "WARNING" for r in caplog.records)


def test_parse_pyproject_toml_raises_for_a_tool_entry_of_another_type(tmp_path):
    path = write_pyproject(tmp_path, "tool = 'text'\n") / "pyproject.toml"
    with pytest.raises(TypeError, match=r"\[tool\] in .*pyproject\.toml is not a table: got str"):
        meta.parse_pyproject_toml(str(path))


def test_toml_1_0_document_is_read(tmp_path):
    # Dependency groups that include one another, as the packaging standard has them.
    write_pyproject(
        tmp_path,
        "[project]\nname = 'shop'\n"
        '[dependency-groups]\ntests = ["pytest"]\n'
        'dev = [\n    "black==24.1.0",\n    { include-group = "tests" },\n]\n'
        'lint = [{ include-group = "tests" }, "flake8"]\n'
        "[tool.korvane]\ndisable = ['C2003']\n"
        "[tool.black]\nline-length = 100\ntarget-version = ['py38']\n",
    )
    assert meta.get_toml_config(tmp_path) == {"disable": ["C2003"]}
    assert meta.get_code_style(tmp_path) == {"line_length": 100, "target_versions": [black.TargetVersion.PY38]}


@pytest.mark.parametrize(
    "table",
    [
        "enable = ['C2003', 'C6000']\ndisable = 'C7001'\n",
        "--ignore = ['migrations', 'static']\ndirectories = ['shop', 'shop/api']\n",
        "max-colspecs = 3\nstarted = 1979-05-27T07:32:00-08:00\nday = 1979-05-27\nratio = 0.5\nflag = true\n",
        'nested = { inner = [1, 2], name = "caf\\u00e9" }\n"quoted-key" = """two\nlines"""\n',
        "[tool.korvane.sub]\nx = 1\n[[tool.korvane.rows]]\ny = 2\n[[tool.korvane.rows]]\ny = 3\n",
    ],
)
def test_parse_gives_what_toml_gave(tmp_path, table):
    toml = pytest.importorskip("toml")
    path = write_pyproject(tmp_path, "[tool.korvane]\n" + table) / "pyproject.toml"
    old = toml.load(str(path))["tool"]["korvane"]
    expected = {key.replace("--", "").replace("-", "_"): value for key, value in old.items()}
    assert meta.parse_pyproject_toml(str(path)) == expected


@pytest.mark.parametrize(
    "line, key, shape",
    [
        ("disable = 5", "disable", "got int"),
        ("enable = { x = 1 }", "enable", "got dict"),
        ("disable = ['C2003', true]", "disable", "got a list holding bool"),
        ("ignore = 5", "ignore", "got int"),
        ("ignore = ['migrations', 1]", "ignore", "got a list holding int"),
        ("directories = 'shop'", "directories", "got str"),
        ("directories = [1]", "directories", "got a list holding int"),
        ("--directories = { shop = true }", "directories", "got dict"),
    ],
)
def test_value_of_the_wrong_type_is_ignored_with_a_warning(tmp_path, caplog, line, key, shape):
    # The other keys of the table still count.
    other = "ignore = ['static']" if key == "enable" else "enable = ['C2003']"
    write_pyproject(tmp_path, "[tool.korvane]\n{}\n{}\n".format(line, other))
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    assert meta.get_toml_config(tmp_path) == ({"ignore": ["static"]} if key == "enable" else {"enable": ["C2003"]})
    (record,) = caplog.records
    message = record.getMessage()
    assert record.levelname == "WARNING"
    assert '"{}"'.format(key) in message and str(tmp_path / "pyproject.toml") in message
    assert message.endswith(shape + ".")


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


def test_invalid_toml_code_style_is_silent(tmp_path, caplog):
    # black's reader reports a file it cannot parse with click's FileError, which is
    # swallowed without a record.
    write_pyproject(tmp_path, "[tool.black\nline-length = 100\n")
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    assert meta.get_code_style(tmp_path) == DEFAULT_STYLE
    assert caplog.records == []


@pytest.mark.parametrize(
    "text, expected, named",
    [
        ("[tool.black]\nline-length = 'wide'\n", DEFAULT_STYLE, '"line-length"'),
        ("[tool.black]\nline-length = [100]\n", DEFAULT_STYLE, '"line-length"'),
        (
            "[tool.black]\nline-length = 10.5\ntarget-version = ['py38']\n",
            {"line_length": 88, "target_versions": [black.TargetVersion.PY38]},
            '"line-length"',
        ),
        (
            "[tool.black]\nline-length = 100\ntarget-version = [38]\n",
            {"line_length": 100, "target_versions": [black.TargetVersion.PY36]},
            '"target-version"',
        ),
        # Refused by black's reader itself: its error names the key, or the table.
        ("[tool.black]\ntarget-version = 'py37'\n", DEFAULT_STYLE, "target-version must be a list"),
        ("tool = 5\n", DEFAULT_STYLE, "[tool.black]"),
        ("[tool]\nblack = 5\n", DEFAULT_STYLE, "[tool.black]"),
    ],
)
def test_code_style_value_of_the_wrong_type_is_ignored(tmp_path, caplog, text, expected, named):
    write_pyproject(tmp_path, text)
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    style = meta.get_code_style(tmp_path)
    assert style == expected and type(style["line_length"]) is int
    (record,) = caplog.records
    message = record.getMessage()
    assert record.levelname == "WARNING"
    assert named in message and str(tmp_path / "pyproject.toml") in message


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
