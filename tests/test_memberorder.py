"""Member order of model classes, models per module and common model prefixes."""
import functools
from pathlib import Path

import astroid
import pytest
from pylint.testutils import UnittestLinter
from pylint.utils import ASTWalker

import support
from korvane.staticanalysis import shims  # noqa: F401  (Django inference on astroid.MANAGER)
from korvane.staticanalysis.checkers import memberorder

HEADER = "from django.db import models\n"


walk = functools.partial(support.walk, memberorder.Checker, modname="shop.models")


def node_label(node):
    return getattr(node, "name", None) or node.as_string()


def order_findings(code):
    return [(node_label(m.node), m.args) for m in walk(code) if m.msg_id == "C3002"]


def model(body):
    return support.model_source(HEADER, "Book", body.split("|"))


METHOD = "def {}(self): pass"


@pytest.mark.parametrize("members, expected", [
    (["foo", "save"], [("foo", {"before": "save", "after": "foo"})]),
    (["save", "__str__"], [("__str__", {"before": "__str__", "after": "save"})]),
    (["save", "get_absolute_url"], []),
    (["__str__", "save"], []),
    (["save", "save"], []),
    (["foo", "bar"], []),
])
def test_method_order(members, expected):
    assert order_findings(model("|".join(METHOD.format(name) for name in members))) == expected


@pytest.mark.parametrize("moved", range(3))
def test_standard_order_is_the_order_checked(moved):
    order = memberorder.STANDARD_MEMBERORDER
    assert order == ("Meta", "__str__", "save", "get_absolute_url")
    members = {name: "class Meta: pass" if name == "Meta" else METHOD.format(name) for name in order}
    assert order_findings(model("|".join(members.values()))) == []
    # one pair out of order: the member that belongs first is reported
    swapped = list(order)
    swapped[moved:moved + 2] = order[moved + 1], order[moved]
    assert order_findings(model("|".join(members[name] for name in swapped))) == [
        (order[moved], {"before": order[moved], "after": order[moved + 1]})]


@pytest.mark.parametrize("body, expected", [
    ("def foo(self): pass|class Meta: pass", [("foo", {"before": "Meta", "after": "foo"})]),
    ("def save(self): pass|class Meta: pass", [("Meta", {"before": "Meta", "after": "save"})]),
    ("class Meta: pass|def __str__(self): pass", []),
    ("name = models.CharField()|def __str__(self): pass", []),
    ("LIMIT = 3|def save(self): pass", []),
    # fields below Meta: only the first of a run of field assignments
    ("class Meta: pass|a = models.CharField()|b = models.CharField()",
     [("models.CharField()", {"before": "a", "after": "Meta"})]),
    ("class Meta: pass|def foo(self): pass|c = models.IntegerField()",
     [("models.IntegerField()", {"before": "c", "after": "Meta"})]),
    ("class Meta: pass|a: int = models.CharField()",
     [("models.CharField()", {"before": "a", "after": "Meta"})]),
    ("class Meta: pass|models.CharField()", [("models.CharField()", {"before": None, "after": "Meta"})]),
    ("a = models.CharField()|class Meta: pass|LIMIT = 3", []),
    ("def foo(self): pass|a = models.CharField()", []),
])
def test_members_around_meta(body, expected):
    assert order_findings(model(body)) == expected


@pytest.mark.parametrize("declaration", [
    "tags = ArrayField(models.CharField(max_length=10), size=8)",
    "tags = ArrayField(base_field=models.CharField(max_length=10))",
    "tags = ArrayField(\n        ArrayField(models.CharField(max_length=10)))",
])
def test_base_field_of_an_array_below_meta_is_no_member_of_its_own(declaration):
    code = ("from django.contrib.postgres.fields import ArrayField\n" + HEADER +
            "class Shelf(models.Model):\n    class Meta:\n        ordering = ['id']\n"
            f"    {declaration}\n")
    assert [args for _, args in order_findings(code)] == [{"before": "tags", "after": "Meta"}]


def test_meta_that_cannot_be_looked_up_is_passed_over():
    tree = astroid.parse(model("def save(self): pass|class Meta: pass|a = models.CharField()"),
                         module_name="shop.models")

    def failing(name):
        raise RuntimeError("brain failed")

    tree["Book"].ilookup = failing
    linter = UnittestLinter()
    walker = ASTWalker(linter)
    walker.add_checker(memberorder.Checker(linter))
    walker.walk(tree)
    # the field below Meta cannot be placed; the method order is still checked
    assert [(node_label(m.node), m.args) for m in linter.release_messages()] == [
        ("Meta", {"before": "Meta", "after": "save"})]


@pytest.mark.parametrize("code", [
    # not a model, a method of Meta, a function nested in a method
    HEADER + "class Plain:\n    def foo(self): pass\n    def save(self): pass\n",
    model("class Meta:|    def foo(self): pass|    def save(self): pass"),
    model("def outer(self):|    def foo(): pass|    def save(): pass"),
    # a Meta that infers to nothing usable, or none at all, skips the field rule
    model("Meta = build_meta()|a = models.CharField()"),
    model("Meta = len|LIMIT = 3|a = models.CharField()"),
    model("def foo(self): pass|a = models.CharField()|b = models.CharField()"),
])
def test_members_not_examined(code):
    assert order_findings(code) == []


def models_named(*names):
    return HEADER + "".join(f"class {name}(models.Model):\n    pass\n" for name in names)


def module_findings(code, **config):
    return [(m.msg_id, m.args) for m in walk(code, **config) if m.msg_id in ("C3000", "C3003")]


@pytest.mark.parametrize("names, config, expected", [
    (["Alpha", "Bravo", "Charlie", "Delta", "Echo", "Foxtrot", "Golf", "Hotel", "India"], {}, []),
    ([f"M{i}" for i in range(10)], {}, [("C3000", {"count": 10, "maximum": 10})]),
    ([], {"max_models": 0}, [("C3000", {"count": 0, "maximum": 0})]),
    (["BookAuthor", "BookEditor", "BookPublisher", "BookSeller"], {},
     [("C3003", {"count": 4, "prefix": "Book"})]),
    (["BookAuthor", "BookEditor", "BookPublisher"], {}, []),
    (["BaseUser", "BaseGroup", "BaseItem", "BaseThing"], {}, [("C3003", {"count": 4, "prefix": "Bas"})]),
    ([f"CartItem{c}" for c in "ABCD"] + [f"ShopItem{c}" for c in "ABCD"], {},
     [("C3003", {"count": 4, "prefix": "CartIte"})]),
    (["Ab", "Cd", "Ef", "Gh"], {"min_common_model_prefix_length": 1}, []),
    (["BookAuthor", "BookEditor"], {"max_common_model_prefix": 2},
     [("C3003", {"count": 2, "prefix": "Book"})]),
])
def test_module_findings(names, config, expected):
    assert module_findings(models_named(*names), **config) == expected


def test_nested_and_abstract_models_count_and_findings_are_on_the_module():
    code = HEADER + "class Outer(models.Model):\n    class Meta:\n        abstract = True\n" + "".join(
        f"    class Inner{i}(models.Model):\n        pass\n" for i in range(9))
    messages = [m for m in walk(code) if m.msg_id == "C3000"]
    assert [m.args for m in messages] == [{"count": 10, "maximum": 10}]
    assert isinstance(messages[0].node, astroid.Module)


@pytest.mark.parametrize("values, min_length, expected", [
    (["abcdef"], 4, {"abc": 1, "abcd": 1}),
    (["abcd", "abc"], 4, {}),
    (["abcde", "abcde", "abxyz"], 3, {"ab": 3, "abc": 2, "abx": 1}),
    (["abc"], 1, {"": 1, "a": 1}),
    (["abc"], 0, {"": 1, "a": 1}),
    (["ééééé"], 4, {"ééé": 1}),
])
def test_prefix_counter(values, min_length, expected):
    counter = memberorder.get_longest_common_prefix(values=values, min_length=min_length)
    assert list(counter.items()) == list(expected.items())


@pytest.mark.parametrize("min_length, expected", [
    (2 ** 70, {}),
    (-2 ** 70, {"": 1, "a": 1}),
    (True, {"": 1, "a": 1}),
])
def test_prefix_counter_takes_any_integer_length(min_length, expected):
    counter = memberorder.get_longest_common_prefix(values=["abc"], min_length=min_length)
    assert dict(counter) == expected


@pytest.mark.parametrize("min_length", ["4", 4.0, None])
def test_prefix_counter_rejects_a_length_that_is_no_integer(min_length):
    with pytest.raises(TypeError):
        memberorder.get_longest_common_prefix(values=["BookshopAuthor"], min_length=min_length)


def test_checker_class_declares_family_rows():
    checker = memberorder.Checker
    assert checker.name == "models"
    assert [(code, entry[1]) for code, entry in checker.msgs.items()] == [
        ("C3000", "tall-models"), ("C3002", "model-method-order"), ("C3003", "model-common-prefix")]
    assert [(name, declared["default"]) for name, declared in checker.options] == [
        ("max-models", 10), ("min-common-model-prefix-length", 4), ("max-common-model-prefix", 4)]
    assert memberorder.Codes.C3003 == "C3003"


def test_linter_run_over_fixture_package():
    messages = support.lint_files(memberorder.Checker, [Path(__file__).parent / "fixtures" / "models" / "shop"])
    got = sorted((m.module, m.line, m.msg_id, m.msg) for m in messages if m.msg_id.startswith("C3"))
    assert got == [
        ("shop.catalogue", 1, "C3000", {"count": 10, "maximum": 10}),
        ("shop.catalogue", 1, "C3003", {"count": 4, "prefix": "Book"}),
        ("shop.models", 21, "C3002", {"before": "__str__", "after": "save"}),
    ]
