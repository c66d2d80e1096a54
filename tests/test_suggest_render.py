"""The comment-keeping renderer: nodes of a token view's tree back to source, with
their trailing comments and the text of blank-line and comment placeholders."""
import ast
import pathlib
import textwrap

import astroid
import pytest
from astroid.nodes.as_string import AsStringVisitor

from korvane.staticanalysis import helpers, suggest

EXAMPLE = pathlib.Path(__file__).resolve().parents[1] / "examples" / "bookshop"


def render(source, index=0, parse_non_code=False):
    atok = helpers.build_atok(source, parse_non_code=parse_non_code)
    node = atok.tree if index is None else atok.tree.body[index]
    return suggest.node_as_string(atok=atok, node=node)


def test_visitor_class():
    cls = suggest.CommentAwareAsStringVisitor
    assert cls.__bases__ == (AsStringVisitor,)
    assert cls.__doc__ == "Visitor to render an Astroid node as a valid python code string"
    atok = helpers.build_atok("x = 1\n")
    visitor = cls(atok, indent="  ")
    assert visitor.atok is atok and visitor.indent == "  "
    assert visitor.visit_name.func.__name__ == "handle_comment_suffix"
    with pytest.raises(AttributeError):
        visitor.visit_nothing


@pytest.mark.parametrize("source, expected", [
    ("price = Decimal('9.99')      # list price\n", "price = Decimal('9.99')  # list price"),
    ("price = Decimal('9.99')# tight\n", "price = Decimal('9.99')  # tight"),
    ("title = models.CharField(max_length=200)\n", "title = models.CharField(max_length=200)"),
    ("Book.objects.filter(stock=0).delete()  # sold out\n",
     "Book.objects.filter(stock=0).delete()  # sold out"),
    # A comment after the last line of a statement spanning several lines.
    ("urlpatterns = [\n    path('', home),\n]  # routes\n", "urlpatterns = [path('', home)]"),
    # A comment after the opening bracket that ends a simple statement's first line.
    ("urlpatterns = [  # routes\n    path('', home),\n]\n", "urlpatterns = [path('', home)]  # routes"),
    ("send_mail(  # pylint: disable=no-member\n    subject, body\n)\n",
     "send_mail(subject, body)  # pylint: disable=no-member"),
    # One after an argument, or after a bracket that does not end the first line, goes.
    ("urlpatterns = [\n    path('', home),  # home\n]\n", "urlpatterns = [path('', home)]"),
    ("total = sum([1,  # c\n    2])\n", "total = sum([1, 2])"),
    # A compound statement's header keeps no comment after its bracket.
    ("def view(  # c\n    request):\n    pass\n", "def view(request):\n    pass"),
    # A comment after the colon of a compound statement's header.
    ("if DEBUG:  # local only\n    INSTALLED_APPS += ['debug_toolbar']\n",
     "if DEBUG:\n    INSTALLED_APPS += ['debug_toolbar']"),
    ("if DEBUG: ALLOWED = ['*']  # local\n", "if DEBUG:\n    ALLOWED = ['*']  # local"),
    # Brackets that the renderer adds close before the comment.
    ("pair = 1, 2  # cost, stock\n", "pair = (1, 2)  # cost, stock"),
    ("return_values = yield_pair() or 1, 2  # c\n", "return_values = (yield_pair() or 1, 2)  # c"),
    ("for book in books: total += book.price, 1  # c\n",
     "for book in books:\n    total += (book.price, 1)  # c"),
    ("@admin.register(Book)  # shop admin\nclass BookAdmin(admin.ModelAdmin):\n    pass\n",
     "@admin.register(Book)  # shop admin\nclass BookAdmin(admin.ModelAdmin):\n    pass"),
    ("print('sold')  # c\n", "print('sold')  # c"),
    # A comment that would stand before text the statement still renders goes after it.
    ("prices = {'list': Decimal('9.99')  # before tax\n}\n",
     "prices = {'list': Decimal('9.99')}  # before tax"),
    ("send_mail(subject  # from the form\n, body)\n", "send_mail(subject, body)  # from the form"),
    ("if is_open(shop  # today\n):\n    serve()\n", "if is_open(shop):  # today\n    serve()"),
])
def test_trailing_comments(source, expected):
    result = render(source)
    assert result == expected
    ast.parse(result)


def test_comment_is_taken_once_per_view():
    atok = helpers.build_atok("total = compute(order)  # cached\n")
    statement = atok.tree.body[0]
    first = suggest.node_as_string(atok=atok, node=statement)
    second = suggest.node_as_string(atok=atok, node=statement)
    assert first == "total = compute(order)  # cached"
    assert second == "total = compute(order)"
    comments = [t for t in atok.tokens if t.string == "# cached"]
    assert comments[0].consumed is True


def wrap_value_in_call(statement):
    """The fix's shape `total = round(<old value>)`: a new call around parsed nodes."""
    old_value = statement.value
    wrapper = astroid.nodes.Call(lineno=1, col_offset=0, parent=statement)
    wrapper.postinit(func=astroid.nodes.Name(name="round", parent=wrapper), args=[old_value],
                     keywords=[])
    old_value.parent = wrapper
    statement.value = wrapper
    return statement


def move_value_to_new_statement(statement):
    """A new expression statement, without token marks, holding the parsed value."""
    value = statement.value
    new = astroid.nodes.Expr(lineno=1, col_offset=0, parent=statement.parent)
    new.postinit(value=value)
    value.parent = new
    return new


@pytest.mark.parametrize("edit, expected", [
    (wrap_value_in_call, "total = round(compute(order))  # cached"),
    # The new statement's first line is unknown: the comment has no safe place.
    (move_value_to_new_statement, "compute(order)"),
])
def test_fix_built_nodes_around_parsed_nodes(edit, expected):
    atok = helpers.build_atok("total = compute(order)  # cached\n")
    node = edit(atok.tree.body[0])
    assert suggest.node_as_string(atok=atok, node=node) == expected


def test_placeholders_render_as_their_lines():
    source = "import os\n\n# Paths\nBASE_DIR = os.getcwd()  # root\n\n\ndef f():\n    # inner\n    return 1\n"
    result = render(source, index=None, parse_non_code=True)
    assert result == source.rstrip("\n")
    atok = helpers.build_atok(source, parse_non_code=True)
    visitor = suggest.CommentAwareAsStringVisitor(atok, indent="    ")
    blank, comment = atok.tree.body[1:3]
    assert (visitor(blank), visitor(comment)) == ("", "# Paths")


def test_placeholder_is_known_by_its_mark():
    atok = helpers.build_atok("x = 1\n\n# note\ny = 2\n", parse_non_code=True)
    made = astroid.extract_node("print('made by a fix')")
    made.lineno = 3
    marked = atok.tree.body[2]
    assert marked.non_code_placeholder is True
    assert not hasattr(atok.tree.body[0], "non_code_placeholder")
    visitor = suggest.CommentAwareAsStringVisitor(atok, indent="    ")
    assert visitor(made) == "print('made by a fix')"
    assert visitor(marked) == "# note"


def test_empty_line_map_renders_calls_as_code():
    atok = helpers.build_atok("print('')\n\n# note\n")
    assert atok.extra_line_map == {}
    assert suggest.node_as_string(atok=atok, node=atok.tree) == "print('')"


@pytest.mark.parametrize("source", [
    "\n\nx = 1  \n\n",
    "# only a comment\n",
    "\n\ndef f():\n    return 1\n\n\n",
    '"""Doc."""\n\nx = 1\n',
])
@pytest.mark.parametrize("parse_non_code", [False, True])
def test_result_is_trimmed(source, parse_non_code):
    result = render(source, index=None, parse_non_code=parse_non_code)
    assert result == result.rstrip() and not result.startswith("\n")


def example_modules():
    return sorted(EXAMPLE.rglob("*.py"))


@pytest.mark.parametrize("path", example_modules(), ids=lambda p: str(p.relative_to(EXAMPLE)))
def test_example_project_renders_to_valid_code(path):
    source = path.read_text()
    atok = helpers.build_atok(source)
    for statement in atok.tree.body:
        ast.parse(textwrap.dedent(suggest.node_as_string(atok=atok, node=statement)))
    atok = helpers.build_atok(source, parse_non_code=True)
    text = suggest.node_as_string(atok=atok, node=atok.tree)
    ast.parse(text)
    comments = [line.strip() for line in source.splitlines() if line.strip().startswith("#")]
    assert all(comment in text for comment in comments)
