import os
import pathlib

import astroid
import pytest

from korvane.staticanalysis import shims

FIXTURES = pathlib.Path(__file__).parent / "fixtures" / "shims"
SETTINGS_PATH = "/srv/site/proj/settings.py"


def registry():
    return {cls: list(pairs) for cls, pairs in astroid.MANAGER._transform.transforms.items()}


def assigned(tree, name):
    """The value node of the module-level assignment to `name`."""
    for statement in tree.body:
        if isinstance(statement, astroid.Assign) and statement.targets[0].as_string() == name:
            return statement.value
    raise KeyError(name)


def read(source, **kwargs):
    with shims.BuilderWithSettingsTransforms() as builder:
        return builder.string_build(source, **kwargs)


def test_settings_file_folds_paths_and_environment_lookups():
    tree = read((FIXTURES / "settings.py").read_text(), modname="proj.settings", path=SETTINGS_PATH)
    folded = {
        "BASE_DIR": "/srv/site",
        "STATIC_ROOT": os.path.join("/srv/site", "static"),
        "STATIC_URL": "/static/",
        "SECRET_KEY": "dev-only",
    }
    for name, value in folded.items():
        node = assigned(tree, name)
        assert isinstance(node, astroid.Const) and node.value == value
    # a join that fails on its values stays a call and the read goes on
    assert assigned(tree, "MEDIA_ROOT").as_string() == "os.path.join(BASE_DIR, 5)"
    assert tree.body[-1].value.as_string().startswith("os.environ.setdefault(")


def test_folded_constant_takes_call_position():
    tree = read("import os\nX = (\n    os.path.join('a', 'b'))\n")
    node = assigned(tree, "X")
    assert (node.value, node.lineno, node.col_offset) == (os.path.join("a", "b"), 3, 4)
    assert node.parent is tree.body[1]


@pytest.mark.parametrize(
    "expression, expected",
    [
        ("os.environ.get('STATIC_URL', '/static/')", "/static/"),
        ("'text'.replace('env', '_')", "_"),
        ("os.path.join('env', 'static')", os.path.join("env", "static")),
        ("os.path.basename('/a/b.py')", "b.py"),
    ],
)
def test_folded_expressions(expression, expected):
    node = assigned(read(f"import os\nX = {expression}\n"), "X")
    assert isinstance(node, astroid.Const) and node.value == expected


@pytest.mark.parametrize(
    "expression",
    [
        "os.path.join(BASE, unbound_name)",
        "os.path.join(BASE, 5)",
        "os.path.join(BASE, None)",
        "os.path.dirname(1.5)",
        "os.path.join(*PARTS)",
        "path.join(BASE, 'x')",
        "join(BASE, 'x')",
        "os.path.join(BASE, [1])",
        "os.environ.get('STATIC_URL')",
        "os.environ.get('STATIC_URL', default='/static/')",
        "os.environ.get('DEBUG', 5)",
        "os.environ.get('DEBUG', False)",
        "os.environ['STATIC_URL']",
        "os.environ.setdefault('DJANGO_SETTINGS_MODULE', 'proj.settings')",
        "os.ENVIRON.get('A', 'b').upper().replace('E', 'F')",
        "os.getenv(NAME, 'x')",
    ],
)
def test_expressions_left_unchanged(expression):
    source = (
        "import os\nfrom os import path\nfrom os.path import join\n"
        "BASE = '/base'\nPARTS = ['a', 'b']\nNAME = 'A'\n"
        f"X = {expression}\n"
    )
    assert assigned(read(source), "X").as_string() == expression


def test_no_folding_outside_a_block():
    tree = astroid.parse("import os\nX = os.environ.get('A', 'b')\nY = os.path.join('a', 'b')\n")
    assert isinstance(assigned(tree, "X"), astroid.Call)
    assert isinstance(assigned(tree, "Y"), astroid.Call)


def test_block_adds_two_pairs_and_removes_them_on_exit():
    before = registry()
    block = shims.BuilderWithSettingsTransforms()
    assert block.transforms == [
        [astroid.Call, shims.transform_path_manipulation, shims.looks_like_path_manipulation],
        [
            astroid.Call,
            shims.transform_environment_variable_lookup,
            shims.looks_like_environment_variable_lookup,
        ],
    ]
    with block as builder:
        assert isinstance(builder, astroid.builder.AstroidBuilder)
        calls = list(astroid.MANAGER._transform.transforms[astroid.Call])
        assert calls[:-2] == before[astroid.Call]
        assert calls[-2:] == [tuple(entry[1:]) for entry in block.transforms]
        with shims.BuilderWithSettingsTransforms():
            assert len(astroid.MANAGER._transform.transforms[astroid.Call]) == len(calls) + 2
        assert astroid.MANAGER._transform.transforms[astroid.Call] == calls
    assert registry() == before

    block.__enter__()
    assert block.__exit__(ValueError, ValueError("x"), None, extra=1) is None
    assert registry() == before


@pytest.mark.parametrize(
    "source, error",
    [
        ("x = (", astroid.AstroidSyntaxError),
        ("import os\nX = os.path.join('a', 'b')\n", RuntimeError),
    ],
)
def test_failing_read_leaves_registry_as_found(source, error):
    before = registry()
    with pytest.raises(error):
        with shims.BuilderWithSettingsTransforms() as builder:
            builder.string_build(source)
            raise RuntimeError("after the parse")
    assert registry() == before


@pytest.mark.parametrize(
    "expression, expected",
    [
        ("os.environ.get('A', 'b')", True),
        ("os.environ.get('A', 5)", False),
        ("os.environ.get(5, 'b')", False),
        ("os.environ.get('A', NAME)", None),
        ("os.environ.get('A')", None),
        ("os.ENVIRON.get('A', 'b')", None),
        ("os.environ.setdefault('A', 'b')", None),
    ],
)
def test_environment_predicate_answers(expression, expected):
    node = astroid.extract_node(expression)
    assert shims.looks_like_environment_variable_lookup(node=node) is expected


@pytest.mark.parametrize(
    "expression, expected",
    [
        ("os.path.join('a')", True),
        ("os.path.abspath('a')", True),
        ("os.path.split('a')", False),
        ("path.join('a')", False),
    ],
)
def test_path_predicate_answers(expression, expected):
    assert shims.looks_like_path_manipulation(node=astroid.extract_node(expression)) is expected
