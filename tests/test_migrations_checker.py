import itertools
import pathlib

import astroid
import pytest
from pylint.lint import PyLinter
from pylint.reporters import CollectingReporter

from korvane.staticanalysis.checkers import migrations

FIXTURES = pathlib.Path(__file__).parent / "fixtures" / "orm"

MIGRATION = """\
from django.db import migrations
{imports}

def forwards(apps, schema_editor):
    {forwards}

def backwards(apps, schema_editor):
    pass

class Migration(migrations.Migration):
    operations = [
        {operation},
    ]
"""

_names = itertools.count()


@pytest.fixture(autouse=True)
def project_path(monkeypatch):
    monkeypatch.syspath_prepend(str(FIXTURES))


def lint(tmp_path, imports="", forwards="pass", operation="migrations.RunPython(forwards, backwards)", migration=True):
    source = MIGRATION.format(imports=imports, forwards=forwards, operation=operation)
    if not migration:
        source = source.replace("(migrations.Migration)", "")
    path = tmp_path / f"m{next(_names):04}_initial.py"
    path.write_text(source)
    linter = PyLinter(reporter=CollectingReporter())
    linter.register_checker(migrations.Checker(linter))
    linter.check([str(path)])
    messages = linter.reporter.messages
    assert not [m for m in messages if m.msg_id.startswith(("F", "E"))]
    return [(m.msg_id, m.line, m.column, m.msg) for m in messages if m.msg_id.startswith("C8")]


@pytest.mark.parametrize(
    "operation, forwards_name",
    [
        ("migrations.RunPython(forwards)", "forwards"),
        ("migrations.RunPython(forwards, atomic=False)", "forwards"),
        ("migrations.RunPython(code=forwards)", "code=forwards"),
        ("migrations.RunPython(code=forwards, atomic=False)", "code=forwards"),
        ("migrations.RunPython(*[forwards])", "*[forwards]"),
        ("migrations.RunPython(**{'code': forwards})", "**{'code': forwards}"),
        ("migrations.RunPython()", ""),
        ("migrations.RunPython(forwards, backwards)", None),
        ("migrations.RunPython(forwards, reverse_code=backwards)", None),
        ("migrations.RunPython(code=forwards, reverse_code=backwards)", None),
        ("migrations.RunPython(forwards, reverse_code=None)", None),
    ],
)
def test_missing_reverse_code(tmp_path, operation, forwards_name):
    expected = [] if forwards_name is None else [("C8001", 12, 8, {"forwards_name": forwards_name})]
    assert lint(tmp_path, operation=operation) == expected


def test_missing_reverse_code_outside_migrations(tmp_path):
    assert lint(tmp_path, operation="migrations.RunPython(forwards)", migration=False) == []


@pytest.mark.parametrize(
    "source, answer",
    [
        ("migrations.RunPython(forwards)", True),
        ("migrations.RunPython(forwards, reverse_code=backwards)", False),
        ("migrations.RunPython(forwards, backwards)", None),
        ("RunPython(forwards)", None),
        ("migrations.RunSQL(sql)", None),
    ],
)
def test_is_missing_reverse(source, answer):
    module = astroid.parse(MIGRATION.format(imports="", forwards="pass", operation=source))
    call = module.body[-1].body[0].value.elts[0]
    assert migrations.is_missing_reverse(call) is answer


def test_is_missing_reverse_needs_a_migration_module():
    call = astroid.extract_node("from django.db import migrations\nmigrations.RunPython(f)")
    assert migrations.is_missing_reverse(call) is None


@pytest.mark.parametrize(
    "imports, forwards, expected",
    [
        ("from library.models import Book", "Book.objects.create()", [(5, 4, "Book")]),
        ("from library.models import Book", "Book.objects.filter(a=1).update(b=2)", [(5, 4, "Book")]),
        (
            "from library.models import Book",
            "Book.objects.all()\n    Book.objects.get()",
            [(5, 4, "Book"), (6, 4, "Book")],
        ),
        # every model class of the imported module is collected, not only the names imported
        (
            "from library import models\nfrom library.models import Book",
            "models.Author.objects.all()",
            [(6, 4, "Author")],
        ),
        ("from library.models import Book\nfrom library.models import Author", "Book.objects.all()", [(6, 4, "Book")]),
        ("from library import models", "models.Book.objects.all()", []),
        ("import library.models", "library.models.Book.objects.all()", []),
        ("from library.models import Book", "Book = apps.get_model('library', 'Book')\n    Book.objects.all()", []),
        ("from library.models import Book", "Book.custom.all()\n    Book._default_manager.all()", []),
        ("from library.nowhere import Book", "Book.objects.all()", []),
    ],
)
def test_model_imported_into_migration(tmp_path, imports, forwards, expected):
    found = lint(tmp_path, imports=imports, forwards=forwards)
    assert found == [("C8000", line, col, {"name": name}) for line, col, name in expected]


def test_model_import_outside_migrations(tmp_path):
    found = lint(tmp_path, "from library.models import Book", "Book.objects.all()", migration=False)
    assert found == []


def test_unparsable_imported_module(tmp_path):
    (tmp_path / "unparsable_models.py").write_text("def broken(:\n")
    found = lint(tmp_path, "from unparsable_models import Book", "Book.objects.all()")
    assert found == []
