import astroid
import pytest
from astroid.transforms import TransformVisitor

from korvane.staticanalysis import helpers


def test_visitor_class():
    visitor = helpers.NodeTransformVisitor()
    assert isinstance(visitor, TransformVisitor)
    assert helpers.NodeTransformVisitor.__bases__ == (TransformVisitor,)
    assert helpers.NodeTransformVisitor.__module__ == "korvane.staticanalysis.helpers"
    assert dict(visitor.transforms) == {}


@pytest.mark.parametrize("value", [None, [], (), "text"])
def test_visit_of_empty_values(value):
    calls = []
    visitor = helpers.NodeTransformVisitor()
    visitor.register_transform(astroid.Call, calls.append, lambda node: True)
    assert visitor.visit(value) == value
    assert calls == []


def test_visit_runs_fixes_children_first_and_replaces_nodes():
    statement = astroid.extract_node("x = outer(inner(1), 2)")
    seen = []

    def rename(node):
        seen.append(node.func.name)
        helpers.set_function_name(node=node, new_name=node.func.name.upper())

    def replace_constant(node):
        return astroid.extract_node("3")

    visitor = helpers.NodeTransformVisitor()
    visitor.register_transform(astroid.Call, rename, lambda node: True)
    visitor.register_transform(astroid.Const, replace_constant, lambda node: node.value == 2)
    assert visitor.visit(node=statement) is statement
    assert seen == ["inner", "outer"]
    assert statement.as_string() == "x = OUTER(INNER(1), 3)"
    # a list is walked element by element and comes back as a new list
    calls = [astroid.extract_node("f()"), astroid.extract_node("g()")]
    result = visitor.visit(calls)
    assert result == calls and result is not calls
    assert visitor.visit(tuple(calls)) == tuple(calls)
    assert [call.func.name for call in calls] == ["F", "G"]


def test_visit_lets_fix_errors_through():
    visitor = helpers.NodeTransformVisitor()

    def failing(node):
        raise ValueError("broken fix")

    visitor.register_transform(astroid.Call, failing, lambda node: True)
    with pytest.raises(ValueError, match="broken fix"):
        visitor.visit(astroid.extract_node("f()"))


def test_preserve_metadata():
    old = astroid.extract_node("a = 1\nb = old_call(1)  #@").value
    old.first_token, old.last_token = "first", "last"
    new = astroid.extract_node("new_call(inner(2), k=[3])")
    assert helpers.preserve_metadata(new_node=new, old_node=old) is new
    assert {node.lineno for node in new.nodes_of_class(astroid.nodes.NodeNG)} == {2}
    assert (new.first_token, new.last_token) == ("first", "last")
    assert new.col_offset == old.col_offset and new.parent is old.parent
    inner = new.args[0]
    assert inner.parent is new and not hasattr(inner, "first_token")
    assert old.parent.value is old


def test_preserve_metadata_needs_token_marks():
    old = astroid.extract_node("f()")
    new = astroid.extract_node("g(h())")
    old.lineno = 7
    with pytest.raises(AttributeError):
        helpers.preserve_metadata(new, old)
    assert new.args[0].lineno == 7


@pytest.mark.parametrize(
    "source, expected",
    [("len(x)", "len"), ("qs.count()", "count"), ("f()()", None), ("x[0]()", None)],
)
def test_get_function_name(source, expected):
    assert helpers.get_function_name(astroid.extract_node(source)) == expected


def test_set_function_name():
    call = astroid.extract_node("models.NullBooleanField(null=True)")
    assert helpers.set_function_name(call, "BooleanField") is None
    assert call.as_string() == "models.BooleanField(null=True)"
    call = astroid.extract_node("reverse_lazy('x')")
    helpers.set_function_name(node=call, new_name="reverse")
    assert call.as_string() == "reverse('x')"
    with pytest.raises(NotImplementedError) as caught:
        helpers.set_function_name(astroid.extract_node("handlers[0]()"), "x")
    assert str(caught.value) == ""
    with pytest.raises(AttributeError):
        helpers.get_function_name(astroid.extract_node("x"))


MEMBERS = """
class Book:
    title = models.CharField(max_length=10)  #@
    a = b = models.IntegerField()  #@
    c, d = models.IntegerField(), 1  #@
    e: int = models.IntegerField()  #@
    def method(self):
        models.CharField()  #@
"""


def test_get_member_name():
    title, chained, tupled, annotated, bare = astroid.extract_node(MEMBERS)
    assert helpers.get_member_name(title.value) == "title"
    assert helpers.get_member_name(title.value.keywords[0].value) == "title"
    assert helpers.get_member_name(chained.value) == "a"
    assert helpers.get_member_name(tupled.value.elts[0]) is None
    assert helpers.get_member_name(annotated.value) == "e"
    assert helpers.get_member_name(bare) is None


def keyword_list(source):
    call = astroid.extract_node(source)
    return call.keywords or []


@pytest.mark.parametrize(
    "source, expected",
    [
        ("f()", "f(new=1)"),
        ("f(a=1, **kw)", "f(a=1, new=1, **kw)"),
        ("f(**kw, b=1)", "f(**kw, b=1, new=1)"),
    ],
)
def test_add_to_keywords(source, expected):
    call = astroid.extract_node(source)
    call.keywords = call.keywords or []
    keyword = astroid.Keyword("new", parent=call)
    keyword.postinit(helpers.const_factory(1))
    assert helpers.add_to_keywords(keywords=call.keywords, keyword=keyword) is None
    assert call.as_string() == expected


def test_add_to_keywords_needs_a_list():
    with pytest.raises(AttributeError):
        helpers.add_to_keywords(None, astroid.Keyword("k"))


def test_const_factory_is_astroids():
    assert helpers.const_factory is astroid.nodes.const_factory
    node = helpers.const_factory(True)
    assert isinstance(node, astroid.Const) and node.value is True and node.parent is None
