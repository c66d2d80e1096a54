import pathlib

import astroid
import pytest

import support
from korvane.staticanalysis import shims  # noqa: F401  (Django inference on astroid.MANAGER)
from korvane.staticanalysis.checkers import ormcalls

FIXTURES = pathlib.Path(__file__).parent / "fixtures" / "orm"

HEADER = """\
from library.models import Book
qs = Book.objects.filter(title="a")
foo = Book.objects.get(pk=1)
items = [1, 2]
value = 0
def count():
    return 1
"""

@pytest.fixture(autouse=True)
def project_path(monkeypatch):
    monkeypatch.syspath_prepend(str(FIXTURES))


def lint_file(path):
    return [m for m in support.lint_files(ormcalls.Checker, [path]) if m.msg_id.startswith("C9")]


def lint(tmp_path, body):
    return lint_file(support.unique_module(tmp_path, HEADER + body, "queries_{}.py"))


@pytest.mark.parametrize(
    "body, expected",
    [
        ("n = len(qs)\n", [("C9000", {"foo": "bar"})]),
        ("len(items)\nlen(qs, 1)\n", []),
        ('n = len(Book.objects.filter(title="a"))\n', [("C9000", {"foo": "bar"})]),
        ("x = qs.count() > 0\n", [("C9002", {"queryset": "qs"})]),
        ("x = qs.count() >= 1\n", [("C9002", {"queryset": "qs"})]),
        ("x = qs.count() == 0\n", [("C9002", {"queryset": "qs"})]),
        ("x = qs.count() < 1\n", [("C9002", {"queryset": "qs"})]),
        ("x = qs.count() > 0.0\n", [("C9002", {"queryset": "qs"})]),
        # an existence test compares with 0 or 1 written out, not with a value
        ("x = qs.count() > value\n", []),
        ("x = qs.count() == vouchers * channels\n", []),
        ("x = qs.count() > 1\ny = qs.count() != 0\nz = qs.count() <= 0\n", []),
        ("x = 0 < qs.count()\ny = 0 < qs.count() < 5\n", []),
        ("x = qs.count(1) > 0\ny = items.count() > 0\n", []),
        ("x = len(qs) > 0\n", [("C9000", {"foo": "bar"}), ("C9002", {"queryset": "qs"})]),
        ("if qs.count() > 0:\n    pass\n", [("C9002", {"queryset": "qs"})]),
        ("if qs.count():\n    pass\n", [("C9002", {"queryset": "qs"})]),
        ("if qs:\n    pass\n", [("C9003", {"queryset": "qs"})]),
        ("if Book.objects.all():\n    pass\n", [("C9003", {"queryset": "Book.objects.all()"})]),
        ("if not qs:\n    pass\n", [("C9003", {"queryset": "qs"})]),
        ("if not qs.count():\n    pass\n", [("C9002", {"queryset": "qs"})]),
        ("y = -qs.count()\n", [("C9002", {"queryset": "qs"})]),
        ("while qs:\n    break\nx = 1 if qs else 2\nassert qs\nbool(qs)\n", []),
        ("if count():\n    pass\nx = count() > 0\ny = not count()\n", []),
        ("x = foo.author.id\n", [("C9001", {"me": "foo", "related_name": "author", "pk_attribute": "id"})]),
        (
            "x = Book.objects.get(pk=1).author.pk\n",
            [("C9001", {"me": "model", "related_name": "author", "pk_attribute": "pk"})],
        ),
        ("a = foo.author.name\nb = foo.author_id\nc = foo.title.pk\n", []),
        # a model class is no instance: its relation is not read through an object
        ("x = Book.author.pk\n", []),
        # a QuerySet whose results are used later anyway: len() and the truth test fill its cache
        ("n = len(qs)\nfor b in qs:\n    pass\n", []),
        ("if qs:\n    pass\ntitles = [b.title for b in qs]\n", []),
        ("if not qs:\n    pass\nfirst = qs[0]\n", []),
        ("x = len(qs) > 0\npage = qs[:10]\n", []),
        ("if qs:\n    pass\nbooks = list(qs)\nn = len(qs)\nrows = tuple(qs)\n", []),
        ("n = len(qs) if qs else 0\nfor b in qs:\n    pass\n", []),
        # ... but not when the name is bound again in between, or was used before only
        ("if qs:\n    pass\nqs = Book.objects.all()\nfor b in qs:\n    pass\n", [("C9003", {"queryset": "qs"})]),
        ("if qs:\n    qs = Book.objects.all()\nfor b in qs:\n    pass\n", [("C9003", {"queryset": "qs"})]),
        ("for b in qs:\n    pass\nif qs:\n    pass\n", [("C9003", {"queryset": "qs"})]),
        # new QuerySets, other consumers, other functions and the count itself do not count
        (
            "if qs:\n    pass\nfor b in qs.filter(title='b'):\n    pass\nn = len(sorted(qs))\nnames = set(qs)\n",
            [("C9003", {"queryset": "qs"})],
        ),
        ("if qs:\n    pass\ndef later():\n    return list(qs)\n", [("C9003", {"queryset": "qs"})]),
        ("if qs.count() > 0:\n    pass\nfor b in qs:\n    pass\n", [("C9002", {"queryset": "qs"})]),
        # list(), tuple() and sorted() evaluate the QuerySet: what they give is a plain sequence
        ("n = len(list(qs))\nm = len(tuple(qs))\nk = len(sorted(qs, key=lambda b: b.title))\n", []),
        ("if list(qs):\n    pass\nif not sorted(qs):\n    pass\nif tuple(Book.objects.all()):\n    pass\n", []),
        ("x = list(qs)[0].author.pk\n", [("C9001", {"me": "model", "related_name": "author", "pk_attribute": "pk"})]),
    ],
)
def test_findings(tmp_path, body, expected):
    found = sorted(((m.msg_id, m.msg) for m in lint(tmp_path, body)), key=lambda f: f[0])
    assert found == expected


def test_positions(tmp_path):
    body = "if qs.count() > 0:\n    n = len(qs)\nelif qs:\n    pass\n"
    found = [(m.msg_id, m.line, m.column) for m in lint(tmp_path, body)]
    start = HEADER.count("\n") + 1
    assert found == [("C9002", start, 0), ("C9000", start + 1, 8), ("C9003", start + 2, 0)]


def test_relation_read_in_model_method():
    found = lint_file(FIXTURES / "library" / "models.py")
    assert [(m.msg_id, m.line, m.msg) for m in found] == [
        ("C9001", 13, {"me": "self", "related_name": "author", "pk_attribute": "pk"})
    ]


def test_views_that_use_their_querysets_anyway():
    found = lint_file(FIXTURES / "library" / "catalogue.py")
    assert [(m.msg_id, m.line, m.msg) for m in found] == [
        # the results go to the template only
        ("C9003", 13, {"queryset": "books"}),
        # the tested name is bound to another QuerySet before the loop
        ("C9003", 50, {"queryset": "books"}),
        ("C9002", 59, {"queryset": "books"}),
        # the slice is bound to the same name: the name no longer holds the measured QuerySet
        ("C9000", 68, {"foo": "bar"}),
    ]


@pytest.mark.parametrize(
    "source, answer",
    [
        ("def view(books):\n    if __(books):\n        pass\n    for b in books:\n        pass\n", True),
        ("def view(books):\n    n = len(__(books))\n    return books[n - 1]\n", True),
        ("def view(books):\n    for b in books:\n        pass\n    return len(__(books))\n", False),
        ("def view(books):\n    x = not __(books)\n    books[0] = None\n", False),
        ("def view(books):\n    x = not __(books)\n    del books\n    books = []\n    return list(books)\n", False),
        ("def view(books):\n    x = not __(books)\n    import books\n    return list(books)\n", False),
        ("def view(books):\n    x = not __(books)\n    def books():\n        pass\n    return tuple(books)\n", False),
        ("def view(books):\n    x = not __(books)\n    return [b for b in (lambda: books)()]\n", False),
        ("class Shelf:\n    books = Book.objects.all()\n    n = len(__(books))\n    first = books[0]\n", True),
        # unpacked into a call, or tested for a member: evaluated too
        ("def grant(user, perms):\n    if len(__(perms)) > 2:\n        pass\n    user.permissions.add(*perms)\n", True),
        ("def allowed(perm, perms):\n    n = len(__(perms))\n    return perm in perms\n", True),
        ("def allowed(perm, perms):\n    n = len(__(perms))\n    return perms in perm\n", False),
    ],
)
def test_is_evaluated_later(source, answer):
    assert ormcalls.is_evaluated_later(astroid.extract_node(HEADER + source)) is answer


@pytest.mark.parametrize("source", ["len(qs)", "qs.filter()", "Book.objects.all()", "self.books", "1"])
def test_is_evaluated_later_looks_at_bare_names_only(source):
    assert ormcalls.is_evaluated_later(astroid.extract_node(source)) is None


@pytest.mark.parametrize(
    "predicate",
    [
        ormcalls.is_evaluated_later,
        ormcalls.is_queryset_length,
        ormcalls.is_queryset_count,
        ormcalls.is_inefficient_queryset_exists,
        ormcalls.is_queryset_length_exists,
        ormcalls.is_indirect_fk_lookup,
        ormcalls.is_compare_exists,
        ormcalls.is_compare_not_exists,
    ],
)
@pytest.mark.parametrize("argument", [None, 3, [("<",)], "text"])
def test_predicates_answer_falsy_on_foreign_input(predicate, argument):
    assert not predicate(argument)


def test_is_queryset_by_keyword():
    assert ormcalls.is_queryset(node=astroid.extract_node("[]")) is False
