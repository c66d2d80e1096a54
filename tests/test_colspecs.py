"""Model field predicates, the model field checker and its fixes."""
import functools
from pathlib import Path

import astroid
import pytest
from pylint.testutils import UnittestLinter
from pylint.utils import ASTWalker

import support
from korvane.staticanalysis import helpers
from korvane.staticanalysis import shims  # noqa: F401  (Django inference on astroid.MANAGER)
from korvane.staticanalysis.checkers import colspecs

FIXTURES = Path(__file__).parent / "fixtures" / "models"

HEADER = """\
from django.db import models
from django.contrib.contenttypes.fields import GenericForeignKey
"""


def field(declaration, body=""):
    """The call of `x = <declaration>` in a model class."""
    tree = astroid.parse(f"{HEADER}class M(models.Model):\n{body}    x = {declaration}\n")
    return support.last_member(tree).value


def keyword(declaration, name):
    return next(k for k in field(declaration).keywords if k.arg == name)


walk = functools.partial(support.walk, colspecs.Checker)


def findings(code, **config):
    return [(m.msg_id, m.args) for m in walk(code, **config)]


def model(*lines):
    return support.model_source(HEADER, "M", lines)


def same(answer, expected):
    if expected is None or isinstance(expected, bool):
        return answer is expected
    return answer == expected


# --- predicates ----------------------------------------------------------------------

@pytest.mark.parametrize("predicate, declaration, expected", [
    ("is_huge_char_field", "models.CharField(max_length=512)", False),
    ("is_huge_char_field", "models.CharField(max_length=513)", True),
    ("is_huge_char_field", "models.CharField(max_length='600')", True),
    ("is_huge_char_field", "models.CharField(max_length=600.9)", True),
    ("is_huge_char_field", "models.CharField()", False),
    ("is_huge_char_field", "models.CharField(max_length=None)", False),
    ("is_huge_char_field", "models.TextField(max_length=1000)", None),
    # a length that is no number is not huge, and nothing raises
    ("is_huge_char_field", "models.CharField(max_length=compute_length())", False),
    ("is_huge_char_field", "models.CharField(max_length=settings.LENGTH)", False),
    ("is_huge_char_field", "models.CharField(max_length='long')", False),
    ("is_huge_char_field", "len('not a field')", False),
    ("is_null_stringfield", "models.CharField(null=True)", True),
    ("is_null_stringfield", "models.EmailField(null=True)", True),
    ("is_null_stringfield", "models.CharField()", False),
    ("is_null_stringfield", "models.IntegerField(null=True)", None),
    ("is_null_stringfield", "undefined_call()", False),
    # unique and blank together need null=True: several blank values must not clash
    ("is_null_stringfield", "models.CharField(max_length=30, unique=True, blank=True, null=True)", False),
    ("is_null_stringfield", "models.SlugField(unique=True, blank=True, null=True)", False),
    ("is_null_stringfield", "models.CharField(max_length=30, unique=True, null=True)", True),
    ("is_null_stringfield", "models.CharField(max_length=30, blank=True, null=True)", True),
    ("is_null_stringfield", "models.CharField(max_length=30, unique=True, blank=False, null=True)", True),
    ("is_missing_blank_true", "models.DateTimeField(null=True)", True),
    ("is_missing_blank_true", "models.DateTimeField(null=True, blank=True)", False),
    ("is_missing_blank_true", "models.IntegerField(null=True, default=0)", False),
    ("is_missing_blank_true", "models.IntegerField(null=True, default=None)", True),
    ("is_missing_blank_true", "models.IntegerField()", None),
    ("is_missing_blank_true", "models.IntegerField(null=False)", False),
    ("is_missing_blank_true", "models.CharField(null=True)", None),
    ("is_missing_blank_true", "models.BooleanField(null=True)", None),
    # no form shows a field that is not editable, by its own option or by its class
    ("is_missing_blank_true", "models.IntegerField(null=True, editable=False)", False),
    ("is_missing_blank_true", "models.BinaryField(null=True)", False),
    ("is_missing_blank_true", "models.BinaryField(null=True, editable=True)", True),
    ("is_missing_blank_true", "models.DateTimeField(null=True, auto_now=True)", False),
    ("is_missing_blank_true", "models.DateField(null=True, auto_now_add=True)", False),
    ("is_missing_blank_true", "models.TimeField(null=True, auto_now=False)", True),
    ("is_fk_mising_related_name", "models.ForeignKey('A', on_delete=models.CASCADE)", True),
    ("is_fk_mising_related_name",
     "models.ForeignKey('A', on_delete=models.CASCADE, related_name='books')", False),
    ("is_fk_mising_related_name", "models.IntegerField()", None),
    ("is_non_unique_fk", "models.IntegerField(primary_key=True, unique=False)", True),
    ("is_non_unique_fk", "models.IntegerField(primary_key=True)", False),
    ("is_non_unique_fk", "models.IntegerField(primary_key=True, unique=0)", False),
    ("is_non_unique_fk", "models.IntegerField(unique=False)", False),
    ("is_nullboolean", "models.NullBooleanField()", True),
    ("is_nullboolean", "models.BooleanField()", False),
    ("is_nullboolean", "undefined_call()", False),
    ("has_redundant_kwargs", "models.IntegerField()", False),
    # blank=False on a nullable field is the developer's choice, not a default
    ("has_redundant_kwargs", "models.IntegerField(null=True, blank=False)", False),
    ("has_redundant_kwargs", "models.IntegerField(blank=False)", True),
    ("has_redundant_kwargs", "models.IntegerField(null=True, blank=True)", False),
    # a foreign key is indexed unless it says otherwise
    ("has_redundant_kwargs", "models.ForeignKey('auth.User', on_delete=models.CASCADE, db_index=False)", False),
    ("has_redundant_kwargs", "models.ForeignKey('auth.User', on_delete=models.CASCADE, db_index=True)", True),
    ("has_redundant_kwargs", "models.OneToOneField('auth.User', on_delete=models.CASCADE, db_index=False)", False),
    ("has_redundant_kwargs", "models.CharField(max_length=20, db_index=False)", True),
    ("has_redundant_kwargs", "models.BinaryField(editable=False)", True),
    ("has_redundant_kwargs", "models.BinaryField(editable=True)", False),
    ("has_redundant_kwargs", "models.EmailField(max_length=254)", True),
])
def test_call_predicates(predicate, declaration, expected):
    assert same(getattr(colspecs, predicate)(field(declaration)), expected)


@pytest.mark.parametrize("predicate, declaration, name, expected", [
    ("is_redundant_kwargs", "models.IntegerField(null=False)", "null", True),
    ("is_redundant_kwargs", "models.IntegerField(blank=False)", "blank", True),
    ("is_redundant_kwargs", "models.IntegerField(null=0)", "null", True),
    ("is_redundant_kwargs", "models.IntegerField(null=True)", "null", False),
    ("is_redundant_kwargs", "models.IntegerField(default=1)", "default", None),
    ("is_redundant_kwargs", "models.IntegerField(null=compute())", "null", False),
    ("is_redundant_kwargs", "undefined_call(null=False)", "null", None),
    ("is_redundant_kwargs", "models.ForeignKey('A', on_delete=models.CASCADE, db_index=False)",
     "db_index", False),
    ("is_redundant_kwargs", "models.ForeignKey('A', on_delete=models.CASCADE, db_index=True)",
     "db_index", True),
    ("is_redundant_kwargs", "models.CharField(max_length=20, db_index=False)", "db_index", True),
    ("is_fragile_unique_for", "models.DateField(unique_for_year='d')", "unique_for_year", True),
    ("is_fragile_unique_for", "models.DateField(unique_for_date='d')", "unique_for_date", True),
    ("is_fragile_unique_for", "models.DateField(unique=True)", "unique", None),
])
def test_keyword_predicates(predicate, declaration, name, expected):
    assert same(getattr(colspecs, predicate)(keyword(declaration, name)), expected)


def test_predicates_take_their_node_by_keyword():
    assert colspecs.is_huge_char_field(node=field("models.CharField(max_length=600)")) is True
    assert colspecs.is_fragile_unique_for(
        keyword_node=keyword("models.DateField(unique_for_month='d')", "unique_for_month")) is True


def test_generic_foreign_key_id_field_may_be_a_nullable_string():
    body = ("    content_type = models.ForeignKey('contenttypes.ContentType', on_delete=models.CASCADE)\n"
            "    target = GenericForeignKey('content_type', 'x')\n")
    assert colspecs.is_null_stringfield(field("models.CharField(null=True)", body)) is False
    assert colspecs.is_null_stringfield(field("models.CharField(null=True)")) is True


def test_foreign_key_of_abstract_model_is_not_reported():
    body = "    class Meta:\n        abstract = True\n"
    assert colspecs.is_fk_mising_related_name(
        field("models.ForeignKey('A', on_delete=models.CASCADE)", body)) is False


ODD_CONSTRUCTORS = HEADER + """\
import functools


def _init(self, verbose_name=None, max_length=700, null=False, *args, **kwargs):
    models.CharField.__init__(self, verbose_name, *args, max_length=max_length, **kwargs)


class CodeField(models.CharField):
    __init__ = _init


class PlainCharField(models.CharField):
    __init__ = models.CharField.__init__


class MoneyField(models.DecimalField):
    __init__ = functools.partialmethod(models.DecimalField.__init__, max_digits=12)


class Twice(models.CharField, models.CharField):
    pass


class NullCharField(models.CharField):
    def __init__(self, *args, **kwargs):
        kwargs["null"] = kwargs.get("null", True)
        super().__init__(*args, **kwargs)


class ShortNullCharField(NullCharField):
    pass


class LabelField(models.CharField):
    def __init__(self, *args, blank=True, **kwargs):
        super().__init__(*args, blank=blank, **kwargs)


class M(models.Model):
    x = {declaration}
"""


def odd_field(declaration):
    return support.last_member(astroid.parse(ODD_CONSTRUCTORS.format(declaration=declaration))).value


@pytest.mark.parametrize("predicate, declaration, expected", [
    ("has_redundant_kwargs", "CodeField(null=False)", True),
    ("has_redundant_kwargs", "CodeField(max_length=700)", True),
    ("has_redundant_kwargs", "CodeField(max_length=20)", False),
    ("has_redundant_kwargs", "PlainCharField(blank=False)", True),
    ("has_redundant_kwargs", "MoneyField(null=False)", True),
    ("has_redundant_kwargs", "Twice(null=False)", False),
    # a project constructor that takes **kwargs may read any keyword it is not given by
    # name, with a default of its own
    ("has_redundant_kwargs", "NullCharField(null=False, blank=True)", False),
    ("has_redundant_kwargs", "NullCharField(max_length=20, blank=False)", False),
    ("has_redundant_kwargs", "ShortNullCharField(null=False)", False),
    ("has_redundant_kwargs", "CodeField(blank=False)", False),
    # ... and a keyword-only parameter of one has a default of its own
    ("has_redundant_kwargs", "LabelField(blank=False)", False),
    ("has_redundant_kwargs", "LabelField(max_length=20, blank=True)", False),
    ("is_null_stringfield", "CodeField(null=True)", None),
    ("is_missing_blank_true", "CodeField(null=True)", True),
    ("is_missing_blank_true", "MoneyField(null=True)", True),
    ("is_huge_char_field", "CodeField()", None),
    ("is_nullboolean", "CodeField()", False),
    ("is_non_unique_fk", "CodeField(primary_key=True, unique=False)", True),
    ("is_non_unique_fk", "Twice(primary_key=True)", False),
    ("is_fk_mising_related_name", "CodeField()", None),
])
def test_predicates_on_fields_whose_constructor_is_no_plain_function(predicate, declaration, expected):
    assert same(getattr(colspecs, predicate)(odd_field(declaration)), expected)


@pytest.mark.parametrize("declaration, fixed", [
    ("NullCharField(null=False, blank=False)", "NullCharField(null=False, blank=False)"),
    # null is taken by name, blank reaches the project's **kwargs
    ("CodeField(null=False, blank=False)", "CodeField(blank=False)"),
    ("PlainCharField(null=False, blank=False)", "PlainCharField()"),
])
def test_redundant_keywords_fix_drops_what_the_finding_names(declaration, fixed):
    call = odd_field(declaration)
    assert colspecs.transform_redundant_kwargs(call).as_string() == fixed


@pytest.mark.parametrize("predicate, declaration", [
    ("has_redundant_kwargs", "models.CharField(null=False)"),
    ("is_redundant_kwargs", "models.CharField(null=False)"),
    ("is_null_stringfield", "models.CharField(null=True)"),
    ("is_fk_mising_related_name", "models.ForeignKey('A', on_delete=models.CASCADE)"),
    ("is_missing_blank_true", "models.DateTimeField(null=True)"),
    ("is_huge_char_field", "models.CharField(max_length=600)"),
    ("is_non_unique_fk", "models.IntegerField(primary_key=True, unique=False)"),
])
def test_predicates_answer_false_when_inference_fails(monkeypatch, predicate, declaration):
    def failing(node):
        raise RuntimeError("inference gave up")

    for service in ("get_node_default_arguments", "get_node_explicit_arguments",
                    "astroid_node_to_value", "is_node_abstract_model"):
        monkeypatch.setattr(helpers, service, failing)
    call = field(declaration)
    node = call.keywords[0] if predicate == "is_redundant_kwargs" else call
    assert getattr(colspecs, predicate)(node) is False


def test_predicates_let_interrupts_through(monkeypatch):
    def interrupted(node):
        raise KeyboardInterrupt

    monkeypatch.setattr(helpers, "get_node_default_arguments", interrupted)
    with pytest.raises(KeyboardInterrupt):
        colspecs.has_redundant_kwargs(field("models.CharField(null=False)"))


def test_module_limit_and_codes_are_the_ones_the_checker_applies():
    limit = colspecs.MAX_CHARFIELD_LENGTH
    assert findings(model(f"title = models.CharField(max_length={limit})")) == []
    assert findings(model(f"title = models.CharField(max_length={limit + 1})")) == [
        (colspecs.Codes.C2006, {"name": "title", "value": limit + 1})]
    (code, _), _ = findings(model("key = models.IntegerField(primary_key=True, unique=False)"))
    assert code == colspecs.Codes.C2011 == "C2011"


# --- checker -------------------------------------------------------------------------

@pytest.mark.parametrize("declaration, expected", [
    ("nickname = models.CharField(max_length=50, null=True)", [("C2000", {"name": "nickname"})]),
    ("published = models.DateTimeField(null=True)", [("C2003", {"name": "published"})]),
    ("published = models.DateTimeField(null=True, blank=True)", []),
    ("active = models.BooleanField(default=True, null=False)",
     [("C2002", {"name": "active", "option": "null", "value": False})]),
    ("author = models.ForeignKey('Author', on_delete=models.CASCADE)",
     [("C2005", {"name": "author"})]),
    ("author = models.ForeignKey('Author', on_delete=models.CASCADE, related_name='books')", []),
    ("title = models.CharField(max_length=1000)", [("C2006", {"name": "title", "value": 1000})]),
    ("title = models.CharField(max_length=512)", []),
    ("flag = models.NullBooleanField()", [("C2008", {"name": "flag"})]),
    ("key = models.IntegerField(primary_key=True, unique=False)",
     [("C2011", {"name": "key"}), ("C2002", {"name": "key", "option": "unique", "value": False})]),
    ("day = models.DateField(unique_for_year='published')",
     [("C2004", {"name": "day", "option": "unique_for_year"})]),
    # several findings of one declaration: the call's own first, then its keywords'
    ("title = models.CharField(max_length=1000, null=True, db_index=False)",
     [("C2006", {"name": "title", "value": 1000}), ("C2000", {"name": "title"}),
      ("C2002", {"name": "title", "option": "db_index", "value": False})]),
    # nullable in the database, required in forms: a choice the fixes keep
    ("published = models.DateTimeField(null=True, blank=False)", []),
    ("active = models.BooleanField(default=True, blank=False)",
     [("C2002", {"name": "active", "option": "blank", "value": False})]),
    # an annotated declaration is a declaration
    ("author: models.ForeignKey['Author'] = models.ForeignKey('Author', on_delete=models.CASCADE)",
     [("C2005", {"name": "author"})]),
    ("nickname: models.CharField = models.CharField(max_length=50, null=True)",
     [("C2000", {"name": "nickname"})]),
    ("size = models.CharField(max_length=compute_length())", []),
    ("handle = models.CharField(max_length=30, unique=True, blank=True, null=True)", []),
    ("nickname = models.CharField(max_length=30, blank=True, null=True)",
     [("C2000", {"name": "nickname"})]),
    ("customer = models.ForeignKey('auth.User', on_delete=models.CASCADE, related_name='orders',"
     " db_index=False)", []),
    ("courier = models.ForeignKey('auth.User', on_delete=models.CASCADE, related_name='trips',"
     " db_index=True)", [("C2002", {"name": "courier", "option": "db_index", "value": True})]),
    ("invoice = models.OneToOneField('Invoice', on_delete=models.PROTECT, db_index=False)", []),
    ("reference = models.CharField(max_length=20, db_index=False)",
     [("C2002", {"name": "reference", "option": "db_index", "value": False})]),
    ("payload = models.BinaryField(null=True)", []),
    ("signed_copy = models.BinaryField(null=True, editable=True)", [("C2003", {"name": "signed_copy"})]),
    ("page_count = models.PositiveIntegerField(null=True, editable=False)", []),
    ("scanned_at = models.DateTimeField(null=True, auto_now=True)", []),
])
def test_declaration_findings(declaration, expected):
    assert findings(model(declaration)) == expected


RELIES_ON_NULL = """\
from django.db import models
from django.db.models import Q


class Delivery(models.Model):
    kind = models.CharField(max_length=10, null=True{choices})
    tracking_url = models.URLField(null=True, blank=True)
{body}
"""


@pytest.mark.parametrize("body, choices", [
    ("    def succeeded(self):\n        return self.kind is None\n", ""),
    ("    def succeeded(self):\n        return self.kind == None\n", ""),
    ("    def failed(self):\n        return self.kind is not None\n", ""),
    ("    def retry(self):\n        self.kind = None\n        self.save()\n", ""),
    ("    class Meta:\n        constraints = [models.CheckConstraint(\n"
     "            check=Q(kind__isnull=False) | Q(tracking_url__isnull=False), name='has_kind_or_url')]\n", ""),
    ("    class Meta:\n        constraints = [models.UniqueConstraint(\n"
     "            fields=['tracking_url'], condition=Q(kind__isnull=True), name='one_open')]\n", ""),
    ("", ", choices=[(None, 'Success'), ('late', 'Late')]"),
])
def test_a_string_field_whose_null_the_module_relies_on_is_left(body, choices):
    code = RELIES_ON_NULL.format(body=body, choices=choices)
    assert ("C2000", {"name": "kind"}) not in findings(code)
    # the fix passes it over too
    kind = astroid.parse(code).body[2].body[0].value
    assert not colspecs.is_null_stringfield(kind)


def relied_on_as_none(code):
    """The names the checker's walk of `code` collects as relied on as None."""
    linter = UnittestLinter()
    checker = colspecs.Checker(linter)
    walker = ASTWalker(linter)
    walker.add_checker(checker)
    walker.walk(astroid.parse(code, module_name="shop.services"))
    return set(checker.get_map_data())


@pytest.mark.parametrize("code, names", [
    ("def logout(request):\n    request.profile.totp = None\n    request.profile.save()\n", {"totp"}),
    ("def cancel(project):\n    project.transfer_token = project.note = None\n", {"transfer_token", "note"}),
    ("def anonymous():\n    return Checkout.objects.filter(Q(email__isnull=True))\n", {"email"}),
    ("def used(qs, value):\n    return qs.filter(used_by_email__isnull=not value)\n", {"used_by_email"}),
    ("def pickup():\n    return CheckoutDelivery(external_shipping_method_id=None, name='Pickup')\n",
     {"external_shipping_method_id"}),
    ("def free():\n    return FixedPrice(amount=0, tax_code=None)\n", {"tax_code"}),
    ("def late(order):\n    return order.shipped is None or None != order.tracking_url\n",
     {"shipped", "tracking_url"}),
    ("def lost(qs):\n    return qs.exclude(order__tracking_code=None).filter(line__sku__isnull=True)\n",
     {"order", "tracking_code", "line", "sku"}),
    ("class Form:\n    def reset(self):\n        self.cleaned: str = None\n", {"cleaned"}),
    # a migration's code runs against the models of its own time
    ("from django.db import migrations\n\n\ndef forwards(apps, schema_editor):\n"
     "    apps.get_model('shelf', 'Shelf').objects.filter(label=None).update(label='')\n\n\n"
     "class Migration(migrations.Migration):\n    operations = [migrations.RunPython(forwards)]\n",
     set()),
    # another value, another name, a local name, a ** spread: none
    ("def f(order, kwargs):\n    order.kind = ''\n    kind = None\n    order.a is order.b\n"
     "    return make(count=0, **kwargs) == None\n", set()),
])
def test_names_relied_on_as_none(code, names):
    assert relied_on_as_none(code) == names
    # the project's other modules are read with the parser's trees, to the same names
    assert colspecs._null_reliant_names_in_source(code, "shop/services.py") == names


def test_a_string_field_whose_null_the_project_relies_on_is_left():
    kind = astroid.parse(RELIES_ON_NULL.format(body="", choices="")).body[2].body[0].value
    assert colspecs.is_null_stringfield(kind)
    colspecs._use_null_index(["kind", "other"])
    try:
        assert not colspecs.is_null_stringfield(kind)
    finally:
        colspecs._use_null_index(None)
    assert colspecs.is_null_stringfield(kind)


def test_null_of_another_field_or_object_leaves_the_finding():
    body = ("    def pending(self, order):\n        return order.status is None and self.tracking_url is None\n")
    code = RELIES_ON_NULL.format(body=body, choices="")
    assert ("C2000", {"name": "kind"}) in findings(code)


def test_keyword_findings_are_raised_on_the_call():
    messages = walk(model("day = models.DateField(null=False,", "    unique_for_date='x')"))
    assert [m.msg_id for m in messages] == ["C2002", "C2004"]
    assert all(isinstance(m.node, astroid.Call) and m.node.lineno == 4 for m in messages)


def test_declaration_without_member_name_only_gets_keyword_findings():
    code = model("x, y = models.CharField(max_length=900, null=False), 1",
                 *[f"f{i} = models.IntegerField()" for i in range(2)])
    assert findings(code, max_colspecs=2) == [
        ("C2002", {"name": None, "option": "null", "value": False})]


@pytest.mark.parametrize("fields, config, expected", [
    (20, {}, []),
    (21, {}, [("C2001", {"count": 21})]),
    (6, {"max_colspecs": 5}, [("C2001", {"count": 6})]),
    (5, {"max_colspecs": 5}, []),
])
def test_tall_model(fields, config, expected):
    code = model(*[f"f{i} = models.IntegerField()" for i in range(fields)])
    messages = walk(code, **config)
    assert [(m.msg_id, m.args) for m in messages] == expected
    assert all(isinstance(m.node, astroid.ClassDef) for m in messages)


def test_fields_of_plain_classes_and_methods_are_not_counted_for_the_model():
    code = HEADER + "class Plain:\n" + "".join(
        f"    f{i} = models.IntegerField()\n" for i in range(30))
    code += "class M(models.Model):\n    a = models.IntegerField()\n    def m(self):\n" + "".join(
        f"        f{i} = models.IntegerField()\n" for i in range(5))
    assert findings(code, max_colspecs=1) == []
    assert findings(code.replace("IntegerField()", "NullBooleanField()", 1)) == [
        ("C2008", {"name": "f0"})]


def test_charfield_length_option_does_not_change_the_limit():
    assert findings(model("name = models.CharField(max_length=300)"), max_charfield_length=100) == []


def test_migration_module_gets_no_findings():
    code = (HEADER + "from django.db import migrations\n"
            "class Migration(migrations.Migration):\n    operations = []\n"
            "class M(models.Model):\n    name = models.CharField(max_length=900, null=True)\n"
            "    flag = models.NullBooleanField(null=False)\n")
    assert findings(code, max_colspecs=0) == []


ARRAYS = HEADER + "from django.contrib.postgres.fields import ArrayField\n"


def shelf(*lines):
    return support.model_source(ARRAYS, "Shelf", lines)


@pytest.mark.parametrize("declaration, expected", [
    # the base field is part of the array's declaration: nothing is reported under its name
    ("tags = ArrayField(models.CharField(max_length=10, null=True), size=8)", []),
    ("layout = ArrayField(ArrayField(models.IntegerField(null=True)))", []),
    ("labels = ArrayField(base_field=models.CharField(max_length=1000, null=False))", []),
    ("flags = ArrayField(models.NullBooleanField())", []),
    ("days = ArrayField(models.DateField(unique_for_year='published'))", []),
    # the array's own findings stay
    ("tags = ArrayField(models.CharField(max_length=10, null=True), null=True)",
     [("C2003", {"name": "tags"})]),
    ("tags = ArrayField(models.CharField(max_length=10), blank=False, size=8)",
     [("C2002", {"name": "tags", "option": "blank", "value": False})]),
])
def test_base_fields_of_arrays_are_no_declarations(declaration, expected):
    assert findings(shelf(declaration)) == expected


@pytest.mark.parametrize("fields, expected", [
    (3, []),
    (4, [("C2001", {"count": 4})]),
])
def test_base_fields_of_arrays_are_not_counted(fields, expected):
    lines = [f"grid{i} = ArrayField(ArrayField(models.IntegerField()), size=3)" for i in range(fields)]
    assert findings(shelf(*lines), max_colspecs=3) == expected


@pytest.mark.parametrize("predicate", [
    "is_null_stringfield", "is_missing_blank_true", "is_huge_char_field", "is_nullboolean",
    "has_redundant_kwargs",
])
def test_fix_predicates_pass_over_base_fields(predicate):
    tree = astroid.parse(shelf(
        "a = ArrayField(models.CharField(max_length=1000, null=True, blank=False))",
        "b = ArrayField(base_field=models.DateTimeField(null=True, db_index=False))",
        "c = ArrayField(ArrayField(models.NullBooleanField(null=False)))",
    ))
    inner = [call for call in tree.nodes_of_class(astroid.Call)
             if helpers.get_function_name(call) != "ArrayField"]
    assert len(inner) == 3
    assert [getattr(colspecs, predicate)(call) for call in inner] == [False, False, False]


MIGRATIONS = HEADER + "from django.db import migrations\n"
CREATE_MODEL = """\
class Migration(migrations.Migration):
    operations = [
        migrations.CreateModel(
            name="Review",
            fields=[
                ("headline", models.CharField(max_length=900, null=True)),
                ("flag", models.NullBooleanField(null=False)),
            ],
        ),
    ]
"""


@pytest.mark.parametrize("above", [
    "",
    "class ReviewState(models.TextChoices):\n    DRAFT = 'draft', 'Draft'\n",
    "import enum\nclass Stage(enum.Enum):\n    NEW = 1\n",
    "class Helper:\n    pass\n",
])
def test_migration_with_classes_above_its_migration_gets_no_findings(above):
    assert findings(MIGRATIONS + above + CREATE_MODEL, max_colspecs=0) == []


def test_checker_class_declares_family_rows():
    from pylint.checkers import BaseChecker
    from pylint.interfaces import IAstroidChecker

    assert issubclass(colspecs.Checker, BaseChecker)
    assert colspecs.Checker.__implements__ == (IAstroidChecker,)
    assert colspecs.Checker.name == "colspecs"
    assert list(colspecs.Checker.msgs) == [
        "C2000", "C2001", "C2002", "C2003", "C2004", "C2005", "C2006", "C2008", "C2011"]
    template, symbol, _ = colspecs.Checker.msgs["C2003"]
    args = {"name": "x"}
    assert symbol == "field-null-not-blank" and template % args is args
    assert [name for name, _ in colspecs.Checker.options] == ["max-colspecs", "max-charfield-length"]
    assert list(colspecs.Checker.options[0][1]) == ["default", "type", "metavar", "help"]


def test_linter_run_over_fixture_package():
    messages = support.lint_files(colspecs.Checker, [FIXTURES / "shop"])
    got = [(m.module, m.line, m.msg_id, m.msg) for m in messages if m.msg_id.startswith("C2")]
    assert sorted(got, key=lambda m: m[0]) == [
        ("shop.catalogue", 4, "C2001", {"count": 21}),
        ("shop.models", 6, "C2000", {"name": "nickname"}),
        ("shop.models", 7, "C2003", {"name": "published"}),
        ("shop.models", 9, "C2002", {"name": "active", "option": "null", "value": False}),
        ("shop.models", 10, "C2005", {"name": "mentor"}),
        ("shop.models", 12, "C2006", {"name": "title", "value": 1000}),
        ("shop.models", 14, "C2008", {"name": "verified"}),
        ("shop.models", 15, "C2011", {"name": "code"}),
        ("shop.models", 15, "C2002", {"name": "code", "option": "unique", "value": False}),
        ("shop.models", 16, "C2004", {"name": "issued", "option": "unique_for_year"}),
    ]


# --- fixes ---------------------------------------------------------------------------

@pytest.mark.parametrize("codes, declaration, fixed", [
    ({"C2000"}, "models.CharField(max_length=20, null=True)",
     "models.CharField(max_length=20, default='', blank=True)"),
    ({"C2000"}, "models.CharField(null=True, default=None, blank=False)",
     "models.CharField(default='', blank=True)"),
    ({"C2000"}, "models.CharField(null=True, unique=True)", None),
    ({"C2000"}, "models.CharField(null=True, choices=[('a', 'A')])", None),
    ({"C2000"}, "models.CharField(null=True, choices=[('', 'None'), ('a', 'A')])",
     "models.CharField(default='', choices=[('', 'None'), ('a', 'A')], blank=True)"),
    ({"C2000"}, "models.CharField(null=True, unique=1)",
     "models.CharField(default='', unique=1, blank=True)"),
    ({"C2000"}, "models.CharField(null=True, **extra)",
     "models.CharField(default='', blank=True, **extra)"),
    ({"C2006"}, "models.CharField(max_length=1000, null=True)", "models.TextField(null=True)"),
    ({"C2006"}, "models.CharField(max_length=1000)", "models.TextField()"),
    ({"C2006"}, "models.CharField(max_length=512)", None),
    ({"C2008"}, "models.NullBooleanField()", "models.BooleanField(null=True)"),
    ({"C2008"}, "models.NullBooleanField(null=False, default=None)",
     "models.BooleanField(null=True, default=None)"),
    ({"C2003"}, "models.ForeignKey('self', null=True, blank=False)", None),
    ({"C2003"}, "models.ForeignKey('self', null=True)",
     "models.ForeignKey('self', null=True, blank=True)"),
    ({"C2002"}, "models.CharField(max_length=20, null=False, blank=True, default='x')",
     "models.CharField(max_length=20, blank=True, default='x')"),
    ({"C2002"}, "models.CharField(null=False, max_length=20, blank=False)",
     "models.CharField(max_length=20)"),
    (["C2006", "C2000"], "models.CharField(max_length=1000, null=True)",
     "models.TextField(default='', blank=True)"),
    ({"C9000", "C4007"}, "models.NullBooleanField()", None),
])
def test_fix_factory(codes, declaration, fixed):
    call = field(declaration)
    statement = call.parent
    before = call.as_string()
    colspecs.build_transformer_visitor(message_ids=codes).visit(statement)
    assert call.as_string() == (before if fixed is None else fixed)


@pytest.mark.parametrize("fix, declaration, fixed", [
    ("transform_add_blank_true", "models.CharField(blank=True, null=True)",
     "models.CharField(blank=True, null=True)"),
    ("transform_add_blank_true", "ForeignKey('self')", "ForeignKey('self', blank=True)"),
    ("transform_nullboolean", "models.NullBooleanField(null=False)", "models.BooleanField(null=True)"),
    ("transform_huge_char_field", "models.CharField(null=True, blank=True)",
     "models.TextField(null=True, blank=True)"),
    ("transform_null_to_default_str", "models.CharField()",
     "models.CharField(blank=True, default='')"),
])
def test_fix_called_directly(fix, declaration, fixed):
    call = field(declaration)
    assert getattr(colspecs, fix)(call) is call
    assert call.as_string() == fixed


def test_null_to_default_str_adds_blank_with_the_call_as_parent():
    call = field("models.CharField(null=True)")
    colspecs.transform_null_to_default_str(node=call)
    blank = call.keywords[-1]
    assert blank.arg == "blank" and blank.parent is call and blank.lineno == call.lineno


@pytest.mark.parametrize("choices, error", [
    ("[('a', 'A', 'extra')]", "too many values to unpack"),
    ("[('a',)]", "not enough values to unpack"),
])
def test_malformed_choices_raise_before_any_edit(choices, error):
    call = field(f"models.CharField(null=True, choices={choices})")
    before = call.as_string()
    with pytest.raises(ValueError, match=error):
        colspecs.transform_null_to_default_str(call)
    assert call.as_string() == before


@pytest.mark.parametrize("fix", ["transform_huge_char_field", "transform_nullboolean"])
def test_rename_of_a_subscript_callee_raises(fix):
    call = astroid.extract_node("fields[0](max_length=900)")
    with pytest.raises(NotImplementedError):
        getattr(colspecs, fix)(call)
    assert call.as_string() == "fields[0](max_length=900)"


def test_code_repeated_registers_its_row_twice():
    visitor = colspecs.build_transformer_visitor(["C2008", "C2008", "C2008"])
    rows = [row for rows in visitor.transforms.values() for row in rows]
    assert len(rows) == 3
    call = field("models.NullBooleanField()")
    visitor.visit(call.parent)
    assert call.as_string() == "models.BooleanField(null=True)"


DEFAULT_HUGE = HEADER + """\
class CharField(models.CharField):
    def __init__(self, verbose_name=None, name=None, max_length=1000, **kwargs):
        super().__init__(verbose_name, name, max_length=max_length, **kwargs)
class M(models.Model):
    name = CharField(null=True, blank=True)
"""


def test_huge_length_from_a_class_default_is_reported_without_a_value():
    assert findings(DEFAULT_HUGE) == [
        ("C2006", {"name": "name", "value": None}), ("C2000", {"name": "name"})]
    tree = astroid.parse(DEFAULT_HUGE)
    tree.declined_fixes = []
    call = tree.body[-1].body[0].value
    colspecs.build_transformer_visitor({"C2006"}).visit(call.parent)
    # the project's CharField has no TextField beside it: the declaration stays
    assert call.as_string() == "CharField(null=True, blank=True)"
    assert tree.declined_fixes == [("C2006", call, "the module of the field's class has no TextField")]


@pytest.mark.parametrize("imports, declaration, fixed_imports, fixed", [
    ("from django.db import models", "models.CharField(max_length=5000)", None, "models.TextField()"),
    ("from django.db import models as m", "m.NullBooleanField()", None, "m.BooleanField(null=True)"),
    ("import django.db.models", "django.db.models.CharField(max_length=5000)", None,
     "django.db.models.TextField()"),
    # a bare name: imported on the line that imports the old one
    ("from django.db.models import CharField, Model, NullBooleanField", "CharField(max_length=5000)",
     "from django.db.models import CharField, Model, NullBooleanField, TextField", "TextField()"),
    ("from django.db.models import CharField, Model, NullBooleanField", "NullBooleanField()",
     "from django.db.models import BooleanField, CharField, Model, NullBooleanField",
     "BooleanField(null=True)"),
    # the user's order stays: a name is added where it sorts only among sorted ones
    ("from django.db.models import CASCADE, SET_NULL, CharField, ForeignKey, Model", "CharField(max_length=5000)",
     "from django.db.models import CASCADE, SET_NULL, CharField, ForeignKey, Model, TextField", "TextField()"),
    ("from django.db.models import CharField as CF, Model", "CF(max_length=5000)",
     "from django.db.models import CharField as CF, Model, TextField", "TextField()"),
    ("from django.db.models.fields import CharField", "CharField(max_length=5000)",
     "from django.db.models.fields import CharField, TextField", "TextField()"),
    # imported already, under its name, an alias or a wildcard
    ("from django.db.models import CharField, TextField", "CharField(max_length=5000)", None, "TextField()"),
    ("from django.db.models import CharField, TextField as TF", "CharField(max_length=5000)", None, "TF()"),
    ("from django.db.models import *", "NullBooleanField()", None, "BooleanField(null=True)"),
])
def test_new_field_class_is_named_the_way_the_module_reaches_it(imports, declaration, fixed_imports, fixed):
    tree = support.token_tree(f"{imports}\nx = {declaration}\n", modname="fixme_fields")
    tree.replace_other_nodes = []
    colspecs.build_transformer_visitor({"C2006", "C2008"}).visit(tree.body[-1])
    assert tree.body[-1].value.as_string() == fixed
    assert tree.body[0].as_string() == (fixed_imports or imports)
    # the suggestion road suggests the edited import as well
    assert tree.replace_other_nodes == ([tree.body[0]] if fixed_imports else [])


@pytest.mark.parametrize("imports, declaration, reason", [
    ("from django.db.models import CharField\nfrom shop.widgets import TextField",
     "CharField(max_length=5000)", "the module binds TextField to something else"),
    ("from django.db import models\nCharField = models.CharField", "CharField(max_length=5000)",
     "no import of the module can bring in TextField"),
    ("from django.db import models\nNullBooleanField = models.NullBooleanField\nBooleanField = 1",
     "NullBooleanField()", "the module binds BooleanField to something else"),
])
def test_no_new_field_class_where_the_module_cannot_name_it(imports, declaration, reason):
    tree = support.token_tree(f"{imports}\nx = {declaration}\n", modname="fixme_fields")
    tree.declined_fixes = []
    before = tree.as_string()
    call = tree.body[-1].value
    colspecs.build_transformer_visitor({"C2006", "C2008"}).visit(tree.body[-1])
    assert tree.as_string() == before
    code = "C2006" if "TextField" in reason else "C2008"
    assert tree.declined_fixes == [(code, call, reason)]


def test_all_fixes_on_a_token_view_tree():
    """Every row registered for every call, as the code transformer does."""
    from korvane.staticanalysis import helpers

    source = HEADER + (
        "class M(models.Model):\n"
        "    name = models.CharField(max_length=1000, null=True)  # keep\n"
        "    flag = models.NullBooleanField(blank=False)\n"
        "    when = models.DateTimeField(null=True)\n"
        "    count = models.IntegerField(default=0)\n")
    tree = helpers.build_atok(source, modname="shop.models", absolute_path="/tmp/shop/models.py").tree
    visitor = colspecs.build_transformer_visitor(["C2000", "C2002", "C2003", "C2006", "C2008"])
    visitor.visit(tree)
    assert [statement.as_string() for statement in tree.body[-1].body] == [
        "name = models.TextField(default='', blank=True)",
        "flag = models.BooleanField(null=True)",
        "when = models.DateTimeField(null=True, blank=True)",
        "count = models.IntegerField(default=0)",
    ]



def test_all_fixes_on_the_fixture_models_keep_what_django_needs(tmp_path):
    """Every row registered for every call of a real-looking module, as the code
    transformer does: the unique and blank handle keeps null=True, an unindexed foreign
    key keeps db_index=False, a binary field gets no blank=True, and the base fields of
    arrays are left as they are."""
    source = (FIXTURES / "accounts" / "models.py").read_text()
    # a name and path of its own, so that the edited tree is never taken for the
    # fixture's module by a later lint of it
    tree = helpers.build_atok(source, modname="fixed_accounts.models",
                              absolute_path=str(tmp_path / "fixed_accounts" / "models.py")).tree
    visitor = colspecs.build_transformer_visitor(["C2000", "C2002", "C2003", "C2006", "C2008"])
    visitor.visit(tree)
    fields = {f"{cls.name}.{statement.targets[0].name}": statement.value.as_string()
              for cls in tree.body if isinstance(cls, astroid.ClassDef)
              for statement in cls.body if isinstance(statement, astroid.Assign)}
    assert fields == {
        "Profile.user": "models.OneToOneField(User, on_delete=models.CASCADE, related_name='profile')",
        "Profile.handle": "models.CharField(max_length=30, unique=True, blank=True, null=True)",
        "Profile.nickname": "models.CharField(max_length=30, blank=True, default='')",
        "Profile.avatar": "models.BinaryField(null=True)",
        "Order.customer": "models.ForeignKey(User, on_delete=models.CASCADE, db_index=False)",
        "Order.courier": "models.ForeignKey(User, on_delete=models.SET_NULL, null=True, blank=True, "
                         "related_name='deliveries')",
        "Order.reference": "models.CharField(max_length=20)",
        "Order.placed_at": "models.DateTimeField(auto_now_add=True, null=True)",
        "Order.shipped_at": "models.DateTimeField(null=True, blank=True)",
        "Invoice.order": "models.OneToOneField(Order, on_delete=models.PROTECT, db_index=False)",
        "Invoice.number": "models.CharField(max_length=20, unique=True)",
        "Document.order": "models.ForeignKey(Order, on_delete=models.CASCADE, related_name='documents')",
        "Document.payload": "models.BinaryField(null=True)",
        "Document.signed_copy": "models.BinaryField(null=True, editable=True, blank=True)",
        "Document.page_count": "models.PositiveIntegerField(null=True, editable=False)",
        "Document.scanned_at": "models.DateTimeField(null=True, auto_now=True)",
        "Shelf.tags": "ArrayField(models.CharField(max_length=10, null=True), size=8)",
        "Shelf.layout": "ArrayField(ArrayField(models.IntegerField(null=True)))",
        "Shelf.labels":
            "ArrayField(base_field=models.CharField(max_length=1000, null=False), default=list)",
        "Shelf.name": "models.CharField(max_length=40)",
    }


def test_answers_are_kept_only_while_a_module_is_walked(monkeypatch):
    # While the checker walks a module each node's question is asked of helpers once;
    # outside a walk (where fixes edit trees) every call asks again.
    from korvane.staticanalysis import helpers

    asked = []
    real = helpers.is_model_field
    monkeypatch.setattr(helpers, "is_model_field", lambda node: asked.append(node) or real(node))
    call = field("models.CharField(max_length=50, null=True)")
    module = call.root()
    checker = colspecs.Checker(UnittestLinter())
    checker.visit_module(module)
    assert colspecs.is_null_stringfield(call) and colspecs.is_null_stringfield(call)
    assert asked == [call]
    checker.leave_module(module)
    assert colspecs.is_null_stringfield(call) and colspecs.is_null_stringfield(call)
    assert asked == [call, call, call]


class FailingChecker:
    """A plug-in that fails when it leaves a model class, ending the module's walk."""

    name = "failing"
    msgs = {}

    def __init__(self, linter):
        self.linter = linter

    def leave_classdef(self, node):
        raise RuntimeError("the walk ends here")


@pytest.fixture
def asked(monkeypatch):
    """The nodes that helpers.is_model_field is asked about."""
    from korvane.staticanalysis import helpers

    nodes = []
    real = helpers.is_model_field
    monkeypatch.setattr(helpers, "is_model_field", lambda node: nodes.append(node) or real(node))
    return nodes


def test_a_walk_that_fails_leaves_no_answers_behind(asked):
    call = field("models.CharField(max_length=50, null=True)")
    module = call.root()
    linter = UnittestLinter()
    walker = ASTWalker(linter)
    walker.add_checker(colspecs.Checker(linter))
    walker.add_checker(FailingChecker(linter))
    with pytest.raises(RuntimeError, match="the walk ends here"):
        walker.walk(module)
    assert call in asked

    # after the walk a fix may edit the tree: every question is asked again
    asked.clear()
    assert colspecs.is_null_stringfield(call) and colspecs.is_null_stringfield(call)
    assert asked == [call, call]


def test_answers_belong_to_the_module_being_walked(asked):
    first = field("models.CharField(max_length=50, null=True)")
    second = field("models.TextField(null=True)")
    checker = colspecs.Checker(UnittestLinter())
    checker.visit_module(first.root())
    assert colspecs.is_null_stringfield(first)
    # a new walk starts without the first one having ended: its answers are gone
    checker.visit_module(second.root())
    assert colspecs.is_null_stringfield(first)
    assert asked == [first, first]
    # leaving the first module does not end the second one's walk
    checker.leave_module(first.root())
    assert colspecs.is_null_stringfield(second) and colspecs.is_null_stringfield(second)
    assert asked == [first, first, second]
    checker.leave_module(second.root())
    assert colspecs.is_null_stringfield(second)
    assert asked == [first, first, second, second]
