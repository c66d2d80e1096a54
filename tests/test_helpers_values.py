import astroid
import pytest

import support
from korvane.staticanalysis import helpers


def value_of(source, name="x"):
    return support.assigned_value(astroid.parse(source), name)


@pytest.mark.parametrize(
    "source, expected",
    [
        ("x = 'abc'", "abc"),
        ("x = (1, (2, 3))", [1, [2, 3]]),
        ("x = {'a': [1, 2]}", {"a": [1, 2]}),
        ("x = 'a' + 'b'", "ab"),
        ("x = {'a': 1, 'a': 2}", {"a": 2}),
        ("x = [b'raw', None, 1.5]", [b"raw", None, 1.5]),
        ("name = 'v'\nx = name", "v"),
        ("zero = 0\nx = zero", 0),
        ("no = False\nx = no", False),
        ("nothing = None\nx = nothing", None),
        ("import os\nx = os.sep", "/"),
        ("class C:\n    attr = 'k'\nx = C.attr", "k"),
        ("base = '/b'\nx = base + '/c'", "/b/c"),
        ("base = 'r'\nx = [base, (base,)]", ["r", ["r"]]),
    ],
)
def test_astroid_node_to_value_reduces(source, expected):
    result = helpers.astroid_node_to_value(value_of(source))
    assert result == expected and type(result) is type(expected)


def test_astroid_node_to_value_returns_irreducible_nodes():
    call = value_of("x = f()")
    assert helpers.astroid_node_to_value(call) is call
    unbound = value_of("x = undefined_name")
    assert helpers.astroid_node_to_value(unbound) is unbound
    binop = value_of("x = undefined_name + 1")
    assert helpers.astroid_node_to_value(node=binop) is binop
    marker = object()
    assert helpers.astroid_node_to_value(marker) is marker
    assert helpers.astroid_node_to_value(astroid.Uninferable) is astroid.Uninferable
    # an import binding comes back as the import node
    imported = value_of("import os\nx = os")
    assert isinstance(helpers.astroid_node_to_value(imported), astroid.Import)


def test_display_as_dict_key_keeps_the_key_node():
    result = helpers.astroid_node_to_value(value_of("x = {(1, 2): 'pair', 'k': 3}"))
    assert result["k"] == 3
    (key,) = [k for k in result if k != "k"]
    assert isinstance(key, astroid.Tuple) and result[key] == "pair"


@pytest.mark.parametrize(
    "source, expected",
    [
        ("opts = {'x': 2}\nx = f(a=1, **opts)", {"a": 1, None: {"x": 2}}),
        ("x = f(1, 2)", {}),
        ("x = f()", {}),
        ("x = f(a='s', b=[1])", {"a": "s", "b": [1]}),
    ],
)
def test_get_node_explicit_arguments(source, expected):
    assert helpers.get_node_explicit_arguments(value_of(source)) == expected


def test_explicit_arguments_leave_out_failed_inference():
    call = value_of("x = f(a=1, b=missing.attr, c=undefined)")
    result = helpers.get_node_explicit_arguments(call)
    assert result["a"] == 1
    assert "b" not in result
    # an unresolvable name infers to the uninferable marker, which is kept
    assert result.get("c", astroid.Uninferable) is astroid.Uninferable


FIELDS = """
NOT_PROVIDED = object()

class Base:
    def __init__(self, verbose_name=None, max_length=None, default=NOT_PROVIDED, *, kw=5):
        pass

class Derived(Base):
    def __init__(self, verbose_name="v", max_length=200, blank=False):
        pass

class Leaf(Derived):
    pass

x = Leaf()
y = Base()
z = unknown()
"""


def test_get_node_default_arguments_derived_wins_and_marker_skipped():
    module = astroid.parse(FIELDS)
    derived = helpers.get_node_default_arguments(module["x"].parent.value)
    assert derived == {"verbose_name": "v", "max_length": 200, "blank": False}
    base = helpers.get_node_default_arguments(module["y"].parent.value)
    assert base == {"verbose_name": None, "max_length": None}
    assert helpers.get_node_default_arguments(module["z"].parent.value) == {}


def test_get_node_default_arguments_of_django_field():
    call = value_of("from django.db import models\nx = models.CharField(max_length=10)")
    defaults = helpers.get_node_default_arguments(call)
    assert defaults["blank"] is False and defaults["null"] is False
    assert "default" not in defaults


CONSTRUCTORS = """
import functools

def _init(self, verbose_name=None, max_length=32, *args, **kwargs):
    pass

class Base:
    def __init__(self, verbose_name="base", max_length=None, null=False):
        pass

class Field(Base):
    {binding}

x = Field()
"""
BASE_DEFAULTS = {"verbose_name": "base", "max_length": None, "null": False}


@pytest.mark.parametrize(
    "binding, expected",
    [
        # a constructor bound by assignment reads the function it names
        ("__init__ = _init", {"verbose_name": None, "max_length": 32, "null": False}),
        ("__init__, other = _init, None", {"verbose_name": None, "max_length": 32, "null": False}),
        ("__init__ = Base.__init__", BASE_DEFAULTS),
        ("__init__ = lambda self, max_length=7: None", dict(BASE_DEFAULTS, max_length=7)),
        # bindings that are no function give nothing; the ancestors still count
        ("__init__ = staticmethod(_init)", BASE_DEFAULTS),
        ("__init__ = functools.partialmethod(_init, max_length=9)", BASE_DEFAULTS),
        ("__init__ = property(lambda self: _init)", BASE_DEFAULTS),
        ("__init__ = undefined_name", BASE_DEFAULTS),
        ("__init__ = None", BASE_DEFAULTS),
        ("@property\n    def __init__(self):\n        return _init", BASE_DEFAULTS),
    ],
)
def test_default_arguments_of_constructors_not_defined_in_place(binding, expected):
    module = astroid.parse(CONSTRUCTORS.format(binding=binding))
    assert helpers.get_node_default_arguments(module["x"].parent.value) == expected


SETDEFAULTS = """
NOT_PROVIDED = object()

class Field:
    def __init__(self, verbose_name=None, db_index=False, editable=True, max_length=None):
        pass

class Leaf(Field):
    def __init__(self, *args, **kwargs):
        {body}
        super().__init__(*args, **kwargs)

x = Leaf()
"""
FIELD_DEFAULTS = {"verbose_name": None, "db_index": False, "editable": True, "max_length": None}


@pytest.mark.parametrize(
    "body, expected",
    [
        # a setdefault at the top of the constructor is the class's default, over its base's
        ("kwargs.setdefault('db_index', True)", dict(FIELD_DEFAULTS, db_index=True)),
        ("kwargs.setdefault('editable', False)\n        kwargs.setdefault('color', 'red')",
         dict(FIELD_DEFAULTS, editable=False, color="red")),
        ("self.sealed = True\n        kwargs.setdefault('max_length', 254)",
         dict(FIELD_DEFAULTS, max_length=254)),
        # the first setdefault of a name is the one that holds
        ("kwargs.setdefault('db_index', True)\n        kwargs.setdefault('db_index', 1)",
         dict(FIELD_DEFAULTS, db_index=True)),
        # not a default: an assignment overrides the caller's value, a setdefault under a
        # condition may not run, another mapping is not the one handed on, the marker
        # stands for no default
        ("kwargs['db_index'] = True", FIELD_DEFAULTS),
        ("if args:\n            kwargs.setdefault('db_index', True)", FIELD_DEFAULTS),
        ("options = {}\n        options.setdefault('db_index', True)", FIELD_DEFAULTS),
        ("kwargs.setdefault('db_index')", FIELD_DEFAULTS),
        ("kwargs.setdefault(key='db_index', default=True)", FIELD_DEFAULTS),
        ("kwargs.setdefault(NAME, True)", FIELD_DEFAULTS),
        ("kwargs.setdefault('max_length', NOT_PROVIDED)", FIELD_DEFAULTS),
        # once the mapping is handed on, a later setdefault reaches no constructor
        ("super().__init__(*args, **kwargs)\n        kwargs.setdefault('db_index', True)",
         FIELD_DEFAULTS),
    ],
)
def test_default_arguments_read_setdefault_of_the_constructor(body, expected):
    module = astroid.parse(SETDEFAULTS.format(body=body))
    assert helpers.get_node_default_arguments(module["x"].parent.value) == expected


def test_setdefault_defaults_follow_the_resolution_order():
    module = astroid.parse(
        "class Field:\n"
        "    def __init__(self, db_index=False, **kw):\n"
        "        kw.setdefault('editable', True)\n"
        "class Indexed(Field):\n"
        "    def __init__(self, **kw):\n"
        "        kw.setdefault('db_index', True)\n"
        "        kw.setdefault('editable', False)\n"
        "        super().__init__(**kw)\n"
        "class Visible(Indexed):\n"
        "    def __init__(self, editable=True, **kw):\n"
        "        super().__init__(editable=editable, **kw)\n"
        "x = Visible()\n"
        "y = Field()\n")
    assert helpers.get_node_default_arguments(module["x"].parent.value) == {
        "editable": True, "db_index": True}
    assert helpers.get_node_default_arguments(module["y"].parent.value) == {
        "db_index": False, "editable": True}


@pytest.mark.parametrize(
    "declaration, name, value",
    [
        ("models.ForeignKey(User, on_delete=models.CASCADE)", "db_index", True),
        ("models.OneToOneField(User, on_delete=models.CASCADE)", "db_index", True),
        ("models.BinaryField()", "editable", False),
        ("models.EmailField()", "max_length", 254),
        ("models.URLField()", "max_length", 200),
        ("models.CharField(max_length=10)", "db_index", False),
        ("models.CharField(max_length=10)", "editable", True),
    ],
)
def test_default_arguments_of_django_fields_set_in_their_constructors(declaration, name, value):
    call = value_of("from django.contrib.auth.models import User\n"
                    "from django.db import models\n"
                    f"x = {declaration}")
    defaults = helpers.get_node_default_arguments(call)
    assert defaults[name] == value and type(defaults[name]) is type(value)


def test_default_arguments_of_a_class_without_resolution_order():
    module = astroid.parse("class Base:\n    def __init__(self, a=1): pass\n"
                           "class Twice(Base, Base): pass\nx = Twice()\n")
    assert helpers.get_node_default_arguments(module["x"].parent.value) == {}


@pytest.mark.parametrize("error", [RuntimeError("brain failed"), RecursionError(), ValueError()])
def test_extraction_survives_any_ordinary_inference_error(error):
    binop = value_of("x = 'a' + 'b'")
    binop.infer = support.raising(error)
    assert helpers.astroid_node_to_value(binop) is binop
    display = value_of("x = [1, 'a' + 'b']")
    display.elts[1].infer = support.raising(error)
    assert helpers.astroid_node_to_value(display) == [1, display.elts[1]]

    call = value_of("x = f(a=1, b=2)")
    call.keywords[1].value.infer = support.raising(error)
    assert helpers.get_node_explicit_arguments(call) == {"a": 1}

    field = value_of("class F:\n    def __init__(self, a=1): pass\nx = F()")
    field.infer = support.raising(error)
    assert helpers.get_node_default_arguments(field) == {}

    module = astroid.parse("VALUE = 'a' + 'b'")
    module["VALUE"].infer = support.raising(error)
    with pytest.raises(helpers.NodeValueUndefinable):
        helpers.get_astroid_node_constant_values(module, "VALUE")


def test_extraction_lets_interrupts_through():
    binop = value_of("x = 'a' + 'b'")
    binop.infer = support.raising(KeyboardInterrupt())
    with pytest.raises(KeyboardInterrupt):
        helpers.astroid_node_to_value(binop)
    call = value_of("x = f(a=1)")
    call.keywords[0].value.infer = support.raising(KeyboardInterrupt())
    with pytest.raises(KeyboardInterrupt):
        helpers.get_node_explicit_arguments(call)


def test_explicit_arguments_of_a_node_without_keywords():
    assert helpers.get_node_explicit_arguments(value_of("x = y")) == {}


@pytest.mark.parametrize(
    "source, key, expected",
    [
        ("A = 1", "missing", None),
        ("from x import Y", "Y", None),
        ("FLAG = True", "FLAG", True),
        ("FLAG = False", "FLAG", False),
        ("URLS = ['a', 'b']\nURLS = []", "URLS", ["a", "b"]),
    ],
)
def test_get_astroid_node_constant_values(source, key, expected):
    assert helpers.get_astroid_node_constant_values(astroid.parse(source), key) == expected


def test_get_astroid_node_constant_values_undefinable():
    module = astroid.parse("VALUE = undefined_call()")
    with pytest.raises(helpers.NodeValueUndefinable) as caught:
        helpers.get_astroid_node_constant_values(module, "VALUE")
    assert str(caught.value) == ""
    assert issubclass(helpers.NodeValueUndefinable, TypeError)
    assert helpers.NodeValueUndefinable.__module__ == "korvane.staticanalysis.helpers"
