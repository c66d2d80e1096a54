import decimal
import json

import pytest

from korvane.staticanalysis import helpers


def test_context_string_returns_right_operand():
    template = helpers.context_string()
    mapping = {"name": "x"}
    assert template % mapping is mapping
    assert template % 5 == 5
    assert template == "" and isinstance(template, str)
    assert helpers.context_string("abc") % () == ()
    assert helpers.context_string("abc").upper() == "ABC"
    assert type(template).__module__ == "korvane.staticanalysis.helpers"
    assert helpers.context_string.__mro__[1] is str
    assert "defer" in helpers.context_string.__doc__


def test_get_hyperlink():
    link = helpers.get_hyperlink("C2000")
    assert link.startswith("https://") and link.endswith("/advice/C2000")
    assert helpers.get_hyperlink(message_id=12) == link[: -len("C2000")] + "12"


@pytest.mark.parametrize(
    "module, expected",
    [("django.db.models.base.Model", "Model"), ("Model", "Model"), ("", ""), ("a.b.", "")],
)
def test_get_module_name(module, expected):
    assert helpers.get_module_name(module) == expected


def test_get_module_name_rejects_non_text():
    with pytest.raises(AttributeError):
        helpers.get_module_name(3)


@pytest.mark.parametrize(
    "middlewares, middleware, expected",
    [
        (["a"], "a", 100.0),
        (["a", "b", "c"], "a", 33.333333333333336),
        (["a", "b", "c", "d"], "b", 50.0),
        (list("abcdef"), "e", 83.33333333333334),
        (["a", "b", "a"], "a", 33.333333333333336),
        (["a"], "z", None),
    ],
)
def test_get_middleware_position(middlewares, middleware, expected):
    result = helpers.get_middleware_position(middlewares, middleware)
    assert result == expected
    if expected is not None:
        assert type(result) is float


def test_get_middleware_position_keywords_and_errors():
    assert helpers.get_middleware_position(middlewares=["x"], middleware="x") == 100.0
    with pytest.raises(AttributeError):
        helpers.get_middleware_position(3, "x")


@pytest.mark.parametrize(
    "value, expected",
    [(decimal.Decimal("3.9"), 3), (decimal.Decimal("-2.7"), -2), ({1}, [1])],
)
def test_serializer_converts(value, expected):
    assert helpers.serializer(value) == expected


def test_serializer_set_subclass_and_json_hook():
    class Tags(set):
        pass

    assert helpers.serializer(Tags(["a"])) == ["a"]
    assert json.dumps({"v": {2}, "d": decimal.Decimal("1.5")},
                      default=helpers.serializer) == '{"v": [2], "d": 1}'


@pytest.mark.parametrize("value, type_name", [(frozenset([1]), "frozenset"), (object(), "object")])
def test_serializer_rejects(value, type_name):
    with pytest.raises(TypeError) as caught:
        helpers.serializer(value)
    assert str(caught.value) == "Object of type %s is not JSON serializable" % type_name


def test_normalize_django_template():
    assert helpers.normalize_django_template("  {% url\n\t'x' %}  ") == " {% url 'x' %} "
