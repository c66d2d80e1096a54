import operator
import os
import textwrap
import token

import astroid
import pytest
from astroid.builder import _find_statement_by_line
from astroid.transforms import TransformVisitor
from pylint.checkers.utils import safe_infer

import support
from korvane.staticanalysis import helpers, shims

FIXTURES = os.path.join(os.path.dirname(__file__), "fixtures", "helpers")


def is_placeholder(node, atok):
    return (
        isinstance(node, astroid.Call)
        and node.lineno in atok.extra_line_map
        and not hasattr(node, "first_token")
    )


def placeholders(atok):
    return [n for n in atok.tree.nodes_of_class(astroid.Call) if is_placeholder(n, atok)]


def body_lines(scope):
    return [node.lineno for node in scope.body]


def test_view_without_placeholders():
    source = "x = 1\n\n# note\ny = 2\n"
    atok = helpers.build_atok(source, modname="pkg.mod", absolute_path="/tmp/pkg/mod.py")
    assert atok.extra_line_map == {}
    assert atok.text == source
    assert atok.tree.name == "pkg.mod" and atok.tree.file == "/tmp/pkg/mod.py"
    assert body_lines(atok.tree) == [1, 4]
    for node in atok.tree.nodes_of_class(astroid.nodes.NodeNG):
        assert hasattr(node, "first_token") and hasattr(node, "last_token")
    assert atok.get_text(atok.tree.body[1]) == "y = 2"
    other = helpers.build_atok(source)
    assert other.extra_line_map is not atok.extra_line_map
    assert other.tree is not atok.tree


def test_four_line_example():
    atok = helpers.build_atok(source="x = 1\n\n# note\ny = 2\n", parse_non_code=True)
    assert atok.extra_line_map == {2: "", 3: "# note"}
    body = atok.tree.body
    assert body_lines(atok.tree) == [1, 2, 3, 4]
    assert isinstance(body[0], astroid.Assign) and isinstance(body[3], astroid.Assign)
    for node in body[1:3]:
        assert is_placeholder(node, atok)
        assert node.func.name == "print" and node.keywords in (None, [])
        assert len(node.args) == 1 and isinstance(node.args[0].value, str)
        assert node.parent is atok.tree
    assert body[1].args[0].value == ""
    # Each placeholder carries a mark that no parsed node has.
    marked = [n for n in atok.tree.nodes_of_class(astroid.nodes.NodeNG)
              if getattr(n, "non_code_placeholder", False)]
    assert marked == body[1:3]


@pytest.mark.parametrize(
    "source, expected",
    [
        ("x = 1  # note\n", {}),
        ("x = 1\n    \ny = 2\n", {}),
        ("x = 1\r\n\r\ny = 2\r\n", {}),
        ('# say "hi"\n', {1: '# say "hi"'}),
        ("x = 1\n# ends in a backslash \\\n", {2: "# ends in a backslash \\"}),
        ("# \\N \\x \\u \\U \\\\ \\'\n", {1: "# \\N \\x \\u \\U \\\\ \\'"}),
        ("# mixed \"\\\"\" '\\'\n", {1: "# mixed \"\\\"\" '\\'"}),
        ("# form\x0cfeed and tab\t and é\n", {1: "# form\x0cfeed and tab\t and é"}),
        ("# separator\u2028inside\n", {1: "# separator\u2028inside"}),
        ("# ends with a selector #@\nx = 1\n", {1: "# ends with a selector #@"}),
    ],
)
def test_comment_and_blank_line_entries(source, expected):
    atok = helpers.build_atok(source, parse_non_code=True)
    assert atok.extra_line_map == expected
    found = placeholders(atok)
    assert sorted(node.lineno for node in found) == sorted(expected)
    for node in found:
        text = node.args[0].value
        assert isinstance(text, str) and '"' not in text
        if '"' in expected[node.lineno]:
            assert "'" in text


def test_comment_on_first_line_leads_the_module_body():
    atok = helpers.build_atok("# first\nx = 1\n", parse_non_code=True)
    assert is_placeholder(atok.tree.body[0], atok) and atok.tree.body[0].lineno == 1


@pytest.mark.parametrize(
    "source, line, scope, position",
    [
        # directly below a def header: first in the function body
        ("def f():\n    # c\n    return 1\n", 2, "f", 0),
        # inside an if block: in the function body, after the if statement
        ("def f(a):\n    if a:\n        # c\n        return 1\n", 3, "f", 1),
        # a blank line after a function's last statement: end of that function
        ("def f():\n    return 1\n\nx = 2\n", 3, "f", 1),
        # after a class whose last member is a method: that method's body
        ("class C:\n    def m(self):\n        pass\n# c\nx = 1\n", 4, "m", 1),
        # a comment after a string spanning lines counts as whole-line
        ('x = """a\nb"""  # c\ny = 1\n', 2, "", 1),
        # inside a bracketed expression: after the statement, in the enclosing body
        ("x = [\n    1,\n    # c\n]\ny = 2\n", 3, "", 1),
        # inside a parameter list: start of the definition's own body
        ("def f(a,\n      # c\n      b):\n    return a\n", 2, "f", 0),
    ],
)
def test_placeholder_landing(source, line, scope, position):
    atok = helpers.build_atok(source, parse_non_code=True)
    assert line in atok.extra_line_map
    owner = atok.tree if scope == "" else next(
        n for n in atok.tree.nodes_of_class((astroid.FunctionDef, astroid.ClassDef))
        if n.name == scope)
    node = owner.body[position]
    assert is_placeholder(node, atok) and node.lineno == line and node.parent is owner


def test_thousands_of_leading_comment_lines():
    count = 3000
    atok = helpers.build_atok("# c\n" * count + "x = 1\n", parse_non_code=True)
    assert len(atok.extra_line_map) == count
    assert body_lines(atok.tree) == list(range(1, count + 2))


def reference_placeholders(source):
    """The placeholder insertion written out with the library's own searches, as the
    public helpers perform them, for comparison with the view's insertion."""
    atok = helpers.build_atok(source)
    for tok in atok.tokens:
        name = token.tok_name[tok.type]
        if name == "NL" and tok.line == "\n":
            helpers.add_node(atok.tree, astroid.extract_node('print("")'), tok.start[0])
        if name == "COMMENT" and atok.prev_token(tok).start[0] != tok.start[0]:
            helpers.add_node(
                tree=atok.tree, node=astroid.extract_node('print("")'), line_number=tok.start[0])
    return atok


def shape(tree):
    scopes = tree.nodes_of_class((astroid.Module, astroid.ClassDef, astroid.FunctionDef))
    return [(type(s).__name__, getattr(s, "name", ""), [type(n).__name__ + str(n.lineno)
                                                        for n in s.body]) for s in scopes]


@pytest.mark.parametrize(
    "source",
    [
        open(os.path.join(FIXTURES, "layout.py")).read(),
        "\n\n# c\n\n",
        "x = (\n\n    1)\n# c\n\nclass A:\n\n    # c\n    pass\n\n\n",
    ],
)
def test_insertion_matches_the_library_searches(source):
    atok = helpers.build_atok(source, parse_non_code=True)
    assert shape(atok.tree) == shape(reference_placeholders(source).tree)


def reference_parent(tree, line):
    while True:
        node = _find_statement_by_line(tree, line)
        if node is not None:
            return node.statement().scope()
        line -= 1


def reference_view(source, modname):
    """The view with placeholders inserted one at a time in token order: the library's
    statement search walked upward from the line, then append and sort the body."""
    atok = helpers.build_atok(source, modname=modname)
    for tok in atok.tokens:
        line = tok.start[0]
        if token.tok_name[tok.type] == "NL" and tok.line == "\n":
            text = ""
        elif tok.type == token.COMMENT and atok.prev_token(tok).start[0] != line:
            text = tok.string
        else:
            continue
        node = astroid.extract_node("print(%r)" % text.replace('"', "'"))
        parent = reference_parent(atok.tree, line)
        node.lineno = line
        parent._append_node(node)
        parent.body.sort(key=operator.attrgetter("lineno"))
        atok.extra_line_map[line] = text
    return atok


def rendered_shape(atok):
    """Every body of the tree in order, as the renderer walks it: each member's class
    and line, and for a placeholder its argument; members must name their body's
    owner as parent."""
    shape = []
    for scope in atok.tree.nodes_of_class((astroid.Module, astroid.ClassDef, astroid.FunctionDef)):
        members = []
        for node in scope.body:
            assert node.parent is scope
            argument = None if hasattr(node, "first_token") else node.args[0].value
            members.append((type(node).__name__, node.lineno, argument))
        shape.append((type(scope).__name__, getattr(scope, "name", ""), members))
    return shape


def nested_module(count):
    """Django models with methods and nested helpers, comments and blank-line runs in
    every kind of body."""
    parts = ["from django.db import models\n\n"]
    for n in range(count):
        parts.append(
            "\n# Shelf %(n)d\nclass Shelf%(n)d(models.Model):\n"
            "    # where it stands\n    aisle = models.CharField(max_length=20)\n\n"
            "    def label(self):\n        def short(text):\n            # first word\n"
            "            return text.split()[0]\n\n\n        return short(self.aisle)\n"
            "    # end of shelf %(n)d\n" % {"n": n})
    return "".join(parts)


BOOKSHOP = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                        "examples", "bookshop")
BOOKSHOP_MODULES = sorted(
    os.path.relpath(os.path.join(folder, name), BOOKSHOP)
    for folder, _, names in os.walk(BOOKSHOP) for name in names if name.endswith(".py"))


@pytest.mark.parametrize(
    "source",
    [open(os.path.join(BOOKSHOP, path)).read() for path in BOOKSHOP_MODULES]
    + [
        open(os.path.join(FIXTURES, "commented_views.py")).read(),
        open(os.path.join(FIXTURES, "layout.py")).read(),
        nested_module(40),
        # comment and blank lines at the end of a text without a final line feed
        "def total(order):\n    return order.total\n\n\n# end",
        # decorators separated by comments and blank lines
        "@login_required\n\n# then\n@require_POST\n\n\ndef view(request):\n\n    pass\n",
        "\n\n\n# only comments\n\n# and blank lines\n",
        # one-line definitions: what follows joins the definition's own body
        "class Meta: ordering = ['-placed_on']\n# newest first\n\n"
        "def total(order): return order.total\n\n# end\n",
    ],
    ids=BOOKSHOP_MODULES + ["commented_views", "layout", "nested", "no-final-newline",
                            "decorators", "no-code", "one-line-definitions"],
)
def test_placeholders_match_one_by_one_insertion(source):
    atok = helpers.build_atok(source, modname="orders.views", parse_non_code=True)
    expected = reference_view(source, "orders.views")
    assert list(atok.extra_line_map.items()) == list(expected.extra_line_map.items())
    assert rendered_shape(atok) == rendered_shape(expected)


def test_find_node_by_position():
    tree = helpers.build_atok("x = 1\n\nresult = call(\n    a,\n    b)\n").tree
    assert helpers.find_node_by_position(tree, line=4) is tree.body[1]
    assert helpers.find_node_by_position(tree=tree, line=3) is tree.body[1]
    assert helpers.find_node_by_position(tree, 2) is None
    assert helpers.find_node_by_position(tree, 0) is tree
    assert helpers.find_node_by_position(tree, 99) is None


def test_find_node_parent_walks_up_to_the_module():
    tree = helpers.build_atok("def f():\n    return 1\n" + "\n" * 5000).tree
    assert helpers.find_node_parent(tree, line=5000) is tree["f"]
    assert helpers.find_node_parent(tree, 1) is tree["f"]
    assert helpers.find_node_parent(helpers.build_atok("\n\n").tree, 2).name == ""
    assert helpers.find_node_parent(tree, 0) is tree
    # a line before the module's own resolves to the module instead of searching on
    assert helpers.find_node_parent(tree, -3) is tree


def test_add_node_keeps_order_of_equal_lines():
    tree = helpers.build_atok("x = 1\ny = 2\n").tree
    first = astroid.extract_node("a()")
    assert helpers.add_node(tree, first, 1) is None
    second = astroid.extract_node("b()")
    helpers.add_node(tree=tree, node=second, line_number=1)
    assert tree.body[1:3] == [first, second] and first.parent is tree


def test_syntax_error_propagates():
    with pytest.raises(astroid.AstroidSyntaxError):
        helpers.build_atok("x = (\n")


def registry_snapshot():
    registry = astroid.MANAGER._transform
    return registry, {cls: list(rows) for cls, rows in registry.transforms.items()}


def test_process_wide_registry_is_restored():
    before = registry_snapshot()
    helpers.build_atok("x = 1\n# c\n", parse_non_code=True)
    assert registry_snapshot() == before
    with pytest.raises(astroid.AstroidSyntaxError):
        helpers.build_atok("def (")
    assert registry_snapshot() == before
    # the library's own transforms still apply to later parses
    call = astroid.extract_node("import collections\ncollections.namedtuple('P', 'a b')")
    assert isinstance(safe_infer(call), astroid.ClassDef)


def test_registry_restored_when_registration_fails(monkeypatch):
    before = registry_snapshot()

    def failing(manager):
        raise ValueError("cannot register")

    monkeypatch.setattr(shims, "register_transforms", failing)
    with pytest.raises(ValueError, match="cannot register"):
        helpers.build_atok("x = 1\n")
    assert registry_snapshot() == before


def test_each_build_gets_a_fresh_registry_with_the_django_transforms(monkeypatch):
    seen = []
    register = shims.register_transforms

    def recording(manager):
        register(manager)
        seen.append(manager._transform)

    monkeypatch.setattr(shims, "register_transforms", recording)
    source = (
        "from django.db import models\n"
        "class Book(models.Model):\n    pass\n"
        "books = Book.objects.filter(pk=1)\n"
    )
    first = helpers.build_atok(source)
    helpers.build_atok(source)
    assert len(seen) == 2 and seen[0] is not seen[1]
    assert seen[0] is not astroid.MANAGER._transform
    for registry in seen:
        assert isinstance(registry, TransformVisitor)
        assert sum(len(rows) for rows in registry.transforms.values()) == 6
    assert first.tree["Book"].generic_foreign_key_field_names == []
    queryset = safe_infer(first.tree["books"].parent.value)
    assert queryset.qname() == "django.db.models.query.QuerySet"
    assert helpers.is_queryset(queryset) is True


LIBRARY_AFTER_BUILD = textwrap.dedent(
    """
    import astroid
    from pylint.checkers.utils import safe_infer
    from korvane.staticanalysis import helpers
    source = (
        "from django.db import models\\n"
        "class Book(models.Model):\\n"
        "    title = models.CharField(max_length=10)\\n"
        "books = Book.objects.filter(pk=1)\\n"
    )
    registry = astroid.MANAGER._transform
    # the model transforms infer into django.db.models while the view is built, which
    # loads Django's modules into the process-wide cache for the first time
    helpers.build_atok(source, modname="shop.models")
    assert "django.db.models.query_utils" in astroid.MANAGER.astroid_cache
    assert astroid.MANAGER._transform is registry
    name = astroid.extract_node(
        "from django.db.models.query_utils import PathInfo\\nPathInfo")
    value = safe_infer(name)
    print(type(value).__name__, value.name if value is not None else None)
    """
)


def test_library_modules_first_built_during_a_view_keep_their_transforms():
    # Django's PathInfo is a namedtuple: it infers as a class only when its module was
    # built with astroid's own transforms.  A fresh interpreter makes the view's build
    # the first to load Django.
    out = support.run_fresh("-c", LIBRARY_AFTER_BUILD, timeout=300)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["ClassDef", "PathInfo"]


def test_placeholders_of_two_builds_are_independent():
    source = "x = 1\n\n# c\n"
    one = helpers.build_atok(source, parse_non_code=True)
    two = helpers.build_atok(source, parse_non_code=True)
    assert len(one.tree.body) == len(two.tree.body) == 3
    assert not set(map(id, one.tree.body)) & set(map(id, two.tree.body))
