import contextlib

import astroid
import pytest
from pylint.checkers.utils import safe_infer

import support
from korvane.staticanalysis import helpers

MODELS = """
from django.db import models
from django.contrib import admin

class Other:
    pass

class Model:
    pass

class Book(models.Model):
    title = models.CharField(max_length=10)
    class Meta:
        abstract = True

class Sub(models.CharField):
    pass

class Fake(Model):
    pass

class Plain(models.Model):
    pass

class WithFalse(models.Model):
    class Meta:
        abstract = False

class WithoutAbstract(models.Model):
    class Meta:
        ordering = ["title"]

class Borrowed(models.Model):
    Meta = Book.Meta

class Computed(models.Model):
    class Meta:
        abstract = 1 == 1

class BookAdmin(admin.ModelAdmin):
    pass

class BookInline(admin.TabularInline):
    pass

def func():
    pass

title = Book.title
book = Book()
manager = models.Manager()
"""


@pytest.fixture(scope="module")
def tree():
    return astroid.parse(MODELS, module_name="predicates_models")


expr = support.assigned_value


@pytest.mark.parametrize(
    "predicate, name, expected",
    [
        ("is_model", "Book", True),
        ("is_model", "Plain", True),
        ("is_model", "Fake", False),
        ("is_model", "Other", False),
        ("is_model", "func", False),
        ("is_model", "BookAdmin", False),
        ("is_model_admin", "BookAdmin", True),
        ("is_model_admin", "BookInline", True),
        ("is_model_admin", "Book", False),
        ("is_related_field", "Book", False),
    ],
)
def test_class_predicates(tree, predicate, name, expected):
    assert getattr(helpers, predicate)(tree[name]) is expected


def test_model_base_class_and_instances_are_models(tree):
    model_base = astroid.MANAGER.ast_from_module_name("django.db.models.base")["Model"]
    assert helpers.is_model(model_base) is True
    assert helpers.is_model(safe_infer(expr(tree, "book"))) is True
    assert helpers.is_model_manager(safe_infer(expr(tree, "manager"))) is True


def test_related_field_class():
    module = astroid.parse("from django.db import models\nfk = models.ForeignKey('x', on_delete=None)")
    inferred = safe_infer(module["fk"].parent.value)
    assert helpers.is_related_field(inferred._proxied) is True
    assert helpers.is_related_field(inferred._proxied, context=None) is True


class Unwalkable:
    def mro(self):
        raise ValueError("no ancestry")


class NoQname:
    def mro(self):
        return [object()]


@pytest.mark.parametrize(
    "predicate",
    ["is_model", "is_related_field", "is_queryset", "is_model_manager", "is_model_admin",
     "is_model_field"],
)
@pytest.mark.parametrize(
    "value", [None, 3, astroid.Uninferable, Unwalkable(), NoQname(), astroid.extract_node("1")]
)
def test_ancestor_predicates_answer_false_without_raising(predicate, value):
    assert getattr(helpers, predicate)(value) is False


def test_interrupts_pass_through_predicates():
    class Interrupting:
        def mro(self):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        helpers.is_model(Interrupting())


def test_keyword_arguments():
    assert helpers.is_model(node=None) is False
    assert helpers.is_model(None, context=None) is False
    assert helpers.is_queryset(node=None) is False
    for name in ("is_queryset", "is_model_manager", "is_model_admin", "is_model_field",
                 "is_migration_file", "is_node_abstract_model"):
        with pytest.raises(TypeError):
            getattr(helpers, name)(None, context=None)


@pytest.mark.parametrize(
    "source, expected",
    [
        ("from django.db import models\nx = models.CharField(max_length=3)", True),
        ("from django.db import models\nclass Sub(models.CharField): pass\nx = Sub()", True),
        ("x = undefined_name()", False),
        ("from django.db import models\n"
         "def f(a):\n    if a:\n        return models.CharField()\n    return 1\nx = f(2)", False),
        ("x = len([])", False),
    ],
)
def test_is_model_field(source, expected):
    module = astroid.parse(source)
    assert helpers.is_model_field(module["x"].parent.value) is expected


MIGRATION_BASE = "from django.db import migrations\n"


@pytest.mark.parametrize(
    "body, expected",
    [
        ("class Migration(migrations.Migration):\n    pass\n", True),
        ("x = 1\n", False),
        # any class of the module's own namespace counts, whatever stands before it
        ("class Plain:\n    pass\nclass Migration(migrations.Migration):\n    pass\n", True),
        ("import enum\nclass State(enum.Enum):\n    NEW = 1\n"
         "class Migration(migrations.Migration):\n    pass\n", True),
        ("class Broken(int, int):\n    pass\n"
         "class Migration(migrations.Migration):\n    pass\n", True),
        ("try:\n    import psycopg2\nexcept ImportError:\n    pass\nelse:\n"
         "    class Migration(migrations.Migration):\n        pass\n", True),
        ("if True:\n    class Migration(migrations.Migration):\n        pass\n", True),
        # a class inside a function, or one only imported, is no migration of the module
        ("def f():\n    class Migration(migrations.Migration):\n        pass\n", False),
        ("from django.db.migrations import Migration\n", False),
        ("class Plain:\n    class Migration(migrations.Migration):\n        pass\n", False),
    ],
)
def test_is_migration_file(body, expected):
    module = astroid.parse(MIGRATION_BASE + body)
    # any node of the module will do
    assert helpers.is_migration_file(module.body[0]) is expected
    assert helpers.is_migration_file(node=module) is expected


def test_is_migration_file_passes_over_a_class_whose_inference_fails():
    # built without transforms, so that nothing has inferred the class (and pylint has
    # not kept the answer) before its inference is made to fail
    module = astroid.builder.AstroidBuilder(apply_transforms=False).string_build(
        MIGRATION_BASE + "class Odd:\n    pass\nclass Migration(migrations.Migration):\n    pass\n")

    def failing(*args, **kwargs):
        raise RuntimeError("brain failed")

    module["Odd"].infer = failing
    assert helpers.is_migration_file(module) is True


def test_is_migration_file_never_raises():
    class Unrooted:
        def root(self):
            raise RuntimeError("no module")

    assert helpers.is_migration_file(Unrooted()) is False
    assert helpers.is_migration_file(None) is False
    module = astroid.parse(MIGRATION_BASE + "class Migration(migrations.Migration):\n    pass\n")

    def interrupted(*args, **kwargs):
        raise KeyboardInterrupt

    module["Migration"].mro = interrupted
    with pytest.raises(KeyboardInterrupt):
        helpers.is_migration_file(module)


@pytest.mark.parametrize(
    "name, abstract",
    [
        ("Book", True),
        ("Computed", True),
        ("WithFalse", False),
        ("WithoutAbstract", False),
        ("Plain", False),
        ("Borrowed", False),
    ],
)
def test_is_node_abstract_model(tree, name, abstract):
    result = helpers.is_node_abstract_model(tree[name])
    if abstract:
        assert isinstance(result, astroid.AssignName) and result.name == "abstract"
    else:
        assert result is False


def test_is_node_abstract_model_never_raises():
    assert helpers.is_node_abstract_model(None) is False
    assert helpers.is_node_abstract_model(astroid.extract_node("f()")) is False


def test_field_name_tables():
    assert helpers.DJANGO_STRING_FIELDS == {
        "TextField", "CharField", "URLField", "EmailField", "SlugField"}
    assert helpers.DJANGO_BOOLEAN_FIELDS == {"BooleanField", "NullBooleanField"}
    assert isinstance(helpers.DJANGO_STRING_FIELDS, set)
    assert "ForeignKey" not in helpers.DJANGO_STRING_FIELDS | helpers.DJANGO_BOOLEAN_FIELDS


ODD_CLASSES = """
from django.db import models
from unknown_package import Mystery

class Base(models.Model):
    pass

class Loop(Base, models.Model):
    pass

class Inconsistent(models.Model, Base):
    pass

class Duplicated(Base, Base):
    pass

class FromMystery(Mystery, models.Model):
    pass

Alias = models.Model

class ThroughAlias(Alias):
    pass

class Field(models.CharField):
    pass
"""


@contextlib.contextmanager
def analysis_memo():
    """The helpers' analysis memo, open for the block, closed however it ends."""
    helpers.open_analysis_memo()
    try:
        yield
    finally:
        helpers.close_analysis_memo()


@pytest.mark.parametrize(
    "predicate", ["is_model", "is_related_field", "is_queryset", "is_model_manager",
                  "is_model_admin"])
def test_kept_ancestries_answer_as_astroid_does(predicate):
    tree = astroid.parse(ODD_CLASSES, module_name="predicates_odd_classes")
    values = [tree[name] for name in ("Base", "Loop", "Inconsistent", "Duplicated",
                                      "FromMystery", "ThroughAlias", "Field")]
    values += [safe_infer(expr(astroid.parse(MODELS, module_name="predicates_values"), name))
               for name in ("book", "manager", "title")]
    values += [None, Unwalkable(), NoQname()]
    test = getattr(helpers, predicate)
    fresh = [test(value) for value in values]
    with analysis_memo():
        assert [test(value) for value in values] == fresh  # computed and kept
        assert [test(value) for value in values] == fresh  # from the memo


def test_a_closed_memo_keeps_nothing():
    module = astroid.parse("from django.db import models\nclass Book(models.Model):\n    pass\n",
                           module_name="predicates_edited_bases")
    book = module["Book"]
    with analysis_memo():
        assert helpers.is_model(book) is True
    # a fix road edits the class after the analysis: the answer follows the edit
    book.bases = []
    assert helpers.is_model(book) is False
