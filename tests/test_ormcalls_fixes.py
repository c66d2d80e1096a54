import functools
import pathlib

import astroid
import pytest

import support
from korvane.staticanalysis import shims  # noqa: F401  (Django inference)
from korvane.staticanalysis.checkers import ormcalls

FIXTURES = pathlib.Path(__file__).parent / "fixtures" / "orm"

HEADER = """\
from library.models import Book
qs = Book.objects.filter(title="a")
foo = Book.objects.get(pk=1)
"""


@pytest.fixture(autouse=True)
def project_path(monkeypatch):
    monkeypatch.syspath_prepend(str(FIXTURES))


parse = functools.partial(support.token_tree, modname="fixme")


def fix(codes, statement_source):
    tree = parse(HEADER + statement_source)
    statement = tree.body[len(HEADER.splitlines())]
    ormcalls.build_transformer_visitor(codes).visit(statement)
    return statement.as_string()


@pytest.mark.parametrize(
    "codes, before, after",
    [
        ({"C9000"}, "n = len(qs)", "n = qs.count()"),
        ({"C9000"}, 'n = len(qs.filter(title="a"))', "n = qs.filter(title='a').count()"),
        ({"C9000"}, "n = len(qs or qs)", "n = (qs or qs).count()"),
        # where only its truth is used, a count would be reported in its turn
        ({"C9000"}, "assert not len(qs)", "assert not qs.exists()"),
        ({"C9000"}, "if len(qs):\n    pass", "if qs.exists():\n    pass"),
        ({"C9000"}, "while len(qs) and ready:\n    pass", "while qs.exists() and ready:\n    pass"),
        ({"C9000"}, "x = [b for b in books if len(qs)]", "x = [b for b in books if qs.exists()]"),
        ({"C9000"}, "x = 'some' if len(qs) else 'none'", "x = 'some' if qs.exists() else 'none'"),
        ({"C9000"}, "x = len(qs) or 1", "x = qs.count() or 1"),
        ({"C9000"}, "x = -len(qs)", "x = -qs.count()"),
        ({"C9002"}, "if qs.count() > 0:\n    pass", "if qs.exists():\n    pass"),
        ({"C9002"}, "if qs.count() >= 1:\n    pass", "if qs.exists():\n    pass"),
        ({"C9002"}, "x = qs.count() == 0", "x = not qs.exists()"),
        ({"C9002"}, "x = qs.count() < 1", "x = not qs.exists()"),
        ({"C9002"}, "if not qs.count() == 0:\n    pass", "if qs.exists():\n    pass"),
        ({"C9002"}, "if not qs.count() > 0:\n    pass", "if not qs.exists():\n    pass"),
        # only `not` may be dropped: other operators keep their meaning
        ({"C9002"}, "x = -(qs.count() == 0)", "x = -(not qs.exists())"),
        ({"C9002"}, "x = ~(qs.count() < 1)", "x = ~(not qs.exists())"),
        ({"C9002"}, "if qs.count():\n    pass", "if qs.exists():\n    pass"),
        ({"C9002"}, "if not qs.count():\n    pass", "if not qs.exists():\n    pass"),
        ({"C9002"}, "y = -qs.count()", "y = -qs.exists()"),
        ({"C9003"}, "if qs:\n    pass", "if qs.exists():\n    pass"),
        ({"C9003"}, "if not qs:\n    pass", "if not qs.exists():\n    pass"),
        ({"C9001"}, "x = foo.author.pk", "x = foo.author_id"),
        ({"C9001"}, "x = foo.author.id", "x = foo.author_id"),
        ({"C9000", "C9002"}, "if len(qs) > 0:\n    pass", "if qs.exists():\n    pass"),
        (["C9003", "C9002"], "if qs.count():\n    pass", "if qs.exists():\n    pass"),
        ({"C2000", "C4007"}, "if qs:\n    n = len(qs)", "if qs:\n    n = len(qs)"),
    ],
)
def test_fixes(codes, before, after):
    assert fix(codes, before) == after


def test_rows_are_sorted_by_code():
    def rows(codes):
        visitor = ormcalls.build_transformer_visitor(message_ids=codes)
        return {
            cls.__name__: [(t.__name__, getattr(p, "__name__", None)) for t, p in entries]
            for cls, entries in visitor.transforms.items()
        }

    expected = rows(["C9002", "C9003"])
    assert rows({"C9003", "C9002"}) == expected
    assert [t for t, _ in expected["If"]] == [
        "transform_queryset_exists_count_if",
        "transform_queryset_exists_naked_if",
    ]
    assert rows({"C2000"}) == {}


def test_new_node_takes_place_of_old():
    tree = parse(HEADER + "n = (\n    len(qs)\n)")
    call = tree.body[-1].value
    new = ormcalls.transform_queryset_length(node=call)
    assert new.as_string() == "qs.count()"
    assert {n.lineno for n in new.nodes_of_class(astroid.NodeNG)} == {call.lineno}
    assert (new.col_offset, new.parent, new.first_token, new.last_token) == (
        call.col_offset,
        call.parent,
        call.first_token,
        call.last_token,
    )


def test_fix_on_wrong_shape_raises():
    call = parse("f()").body[0].value
    with pytest.raises(IndexError):
        ormcalls.transform_queryset_length(call)


VIEW = '''\
def book_list(request):
    books = Book.objects.filter(title__icontains="a")
    {check}
    return render(request, "library/books.html", {{"titles": [book.title for book in books]}})
'''


@pytest.mark.parametrize(
    "codes, check",
    [
        ({"C9000"}, "total = len(books)"),
        ({"C9000", "C9002"}, "many = len(books) > 0"),
        ({"C9003"}, "if not books:\n        raise Http404()"),
        ({"C9003"}, "if books:\n        pass"),
    ],
)
def test_no_fix_for_a_queryset_that_the_function_evaluates_anyway(codes, check):
    # the rewrite would add a query: the comprehension below evaluates the QuerySet anyway
    tree = parse(HEADER + VIEW.format(check=check))
    function = tree.body[-1]
    before = function.as_string()
    ormcalls.build_transformer_visitor(codes).visit(function.body[1])
    assert function.as_string() == before


def test_fix_once_the_name_holds_another_queryset():
    tree = parse(HEADER + VIEW.format(check="if not books:\n        books = Book.objects.all()"))
    statement = tree.body[-1].body[1]
    ormcalls.build_transformer_visitor({"C9003"}).visit(statement)
    assert statement.as_string() == "if not books.exists():\n    books = Book.objects.all()"
