import pathlib

import astroid
import pytest

import support
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

@pytest.fixture(autouse=True)
def project_path(monkeypatch):
    monkeypatch.syspath_prepend(str(FIXTURES))


def lint_paths(paths):
    messages = support.lint_files(migrations.Checker, paths)
    assert not [m for m in messages if m.msg_id.startswith(("F", "E"))]
    return [(m.msg_id, m.line, m.column, m.msg) for m in messages if m.msg_id.startswith("C8")]


def write_module(tmp_path, source):
    return support.unique_module(tmp_path, source, "m{:04}_initial.py")


def lint(tmp_path, imports="", forwards="pass", operation="migrations.RunPython(forwards, backwards)", migration=True):
    source = MIGRATION.format(imports=imports, forwards=forwards, operation=operation)
    if not migration:
        source = source.replace("(migrations.Migration)", "")
    return lint_paths([write_module(tmp_path, source)])


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


SHELF_ENUM = """\
import enum

from django.db import migrations

from library.models import Book


class Shelf(enum.Enum):
    FICTION = "fiction"
    HISTORY = "history"


def assign_shelves(apps, schema_editor):
    for book in Book.objects.filter(title__startswith="A"):
        book.save()


class Migration(migrations.Migration):
    dependencies = [("library", "0001_initial")]
    operations = [migrations.RunPython(assign_shelves)]
"""

HELPER_CLASS = """\
from django.db import migrations

from library.models import Author, Book


class Backfill:
    \"\"\"Copies the author's name onto each of their books.\"\"\"

    def __init__(self, batch_size=500):
        self.batch_size = batch_size

    def __call__(self, apps, schema_editor):
        for author in Author.objects.all():
            Book.objects.filter(author=author).update(title=author.name)


class Migration(migrations.Migration):
    dependencies = [("library", "0001_initial")]
    operations = [
        migrations.RunPython(Backfill()),
    ]
"""

# The migration class defined under a version test still stands at the module's top level.
GUARDED_CLASS = """\
import django
from django.db import migrations

from library.models import Book


class Rename:
    pass


def retitle(apps, schema_editor):
    Book.objects.update(title="")


if django.VERSION >= (3, 2):
    class Migration(migrations.Migration):
        operations = [migrations.RunPython(retitle)]
"""

# A class named Migration that does not derive from Django's: no migration module.
LOOKALIKE = """\
import enum

from library.models import Book


class Step(enum.Enum):
    FIRST = 1


class Migration:
    operations = []

    def apply(self):
        Book.objects.all().delete()
"""

# A Migration subclass made inside a function is no class of the module's own.
NESTED_ONLY = """\
from django.db import migrations

from library.models import Book


def make_migration():
    class Migration(migrations.Migration):
        operations = []

    Book.objects.all().delete()
    return Migration
"""


@pytest.mark.parametrize(
    "source, expected",
    [
        pytest.param(
            SHELF_ENUM,
            [
                ("C8000", 14, 16, {"name": "Book"}),
                ("C8001", 20, 18, {"forwards_name": "assign_shelves"}),
            ],
            id="enum-above-migration",
        ),
        pytest.param(
            HELPER_CLASS,
            [
                ("C8000", 13, 22, {"name": "Author"}),
                ("C8000", 14, 12, {"name": "Book"}),
                ("C8001", 20, 8, {"forwards_name": "Backfill()"}),
            ],
            id="helper-class-above-migration",
        ),
        pytest.param(
            GUARDED_CLASS,
            [("C8000", 12, 4, {"name": "Book"}), ("C8001", 17, 22, {"forwards_name": "retitle"})],
            id="migration-under-version-test",
        ),
        pytest.param(LOOKALIKE, [], id="plain-class-named-migration"),
        pytest.param(NESTED_ONLY, [], id="migration-subclass-inside-function"),
    ],
)
def test_migration_module_recognised_by_any_top_level_class(tmp_path, source, expected):
    assert lint_paths([write_module(tmp_path, source)]) == expected


@pytest.mark.parametrize("migration_first", [True, False])
def test_each_module_of_one_run_is_recognised_on_its_own(tmp_path, migration_first):
    source = MIGRATION.format(
        imports="from library.models import Book", forwards="Book.objects.all()", operation="migrations.RunPython(forwards)"
    )
    migration = write_module(tmp_path, source)
    lookalike = write_module(tmp_path, LOOKALIKE)
    paths = [migration, lookalike] if migration_first else [lookalike, migration]
    assert lint_paths(paths) == [("C8000", 5, 4, {"name": "Book"}), ("C8001", 12, 8, {"forwards_name": "forwards"})]


def test_is_missing_reverse_in_a_module_with_a_helper_class_first():
    module = astroid.parse(SHELF_ENUM)
    call = module.body[-1].body[1].value.elts[0]
    assert migrations.is_missing_reverse(call) is True
