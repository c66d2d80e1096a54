"""Formatting generated code: black in the project's style and quote habit, indented
for its place in the file, with black's own quote normaliser back after every call."""
import ast
import types
import warnings

import black
import black.linegen
import black.trans
import pytest
import support

from korvane.staticanalysis import suggest

PREFER_DOUBLE = ("'", '"')
PREFER_SINGLE = ('"', "'")
STYLE = {"line_length": 79, "target_versions": [black.TargetVersion.PY36]}


@pytest.mark.parametrize("source, target", [
    ("", PREFER_DOUBLE),
    ("x = 'a' + \"b\"", PREFER_DOUBLE),
    # One apostrophe more; quotes in comments and inside other literals count.
    ("x = 'a' + \"b\"  # it's", PREFER_SINGLE),
    ("x = \"a\"  # it's 'b'", PREFER_SINGLE),
    ("s = '\"q\"'", PREFER_DOUBLE),
])
def test_quote_target(source, target):
    assert suggest.get_comma_character_target(source) == target


@pytest.mark.parametrize("code, indentation", [
    ("", ""),
    ("x = 1", ""),
    ("    x = 1\n", "    "),
    ("\t  return x", "\t  "),
    ("   \n", "   \n"),
    ("\n\nx", "\n\n"),
])
def test_indentation(code, indentation):
    assert suggest.get_indentation(code) == indentation


def quote_cases():
    """(quote target, literal, expected literal); None: comes back unchanged."""
    either = [PREFER_DOUBLE, PREFER_SINGLE]
    cases = [
        (PREFER_SINGLE, '"abc"', "'abc'"),
        (PREFER_SINGLE, "'abc'", None),
        (PREFER_SINGLE, '"it\'s"', None),
        (PREFER_DOUBLE, "'it\\'s'", '"it\'s"'),
        (PREFER_DOUBLE, "'say \"hi\"'", None),
        (PREFER_DOUBLE, "'say \\\"hi\\\"'", "'say \"hi\"'"),
        (PREFER_DOUBLE, "'abc'", '"abc"'),
        # Written in the preferred quote, holding the other one unescaped.
        (PREFER_DOUBLE, '"it\'s"', None),
        (PREFER_SINGLE, "'say \"hi\"'", None),
        # A raw literal keeps every backslash; one holding the other quote stays.
        (PREFER_DOUBLE, "r'a\"b'", None),
        (PREFER_DOUBLE, "r'\\d+'", 'r"\\d+"'),
        (PREFER_SINGLE, 'r"\\d+"', "r'\\d+'"),
        # A backslash inside a replacement field is not allowed.
        (PREFER_DOUBLE, "f'{row[\"k\"]}'", None),
        (PREFER_DOUBLE, "f'{name}!'", 'f"{name}!"'),
        # Prefix letters are kept as written.
        (PREFER_DOUBLE, "Rb'x'", 'Rb"x"'),
        (PREFER_SINGLE, 'U"x"', "U'x'"),
    ]
    for target in either:
        cases += [
            (target, '"""abc"""', None),
            (target, "'''abc'''", '"""abc"""'),
            (target, "'''ends with \"'''", None),
        ]
    return cases


@pytest.mark.parametrize("target, literal, expected", quote_cases())
def test_normalize_string_quotes(target, literal, expected):
    result = suggest.normalize_string_quotes(target, literal)
    if expected is None:
        assert result is literal
    else:
        assert result == expected
        assert ast.dump(ast.parse(result)) == ast.dump(ast.parse(literal))
    assert suggest.normalize_string_quotes(comma_character_target=target, s=literal) == result


@pytest.mark.parametrize("value, expected", [("'abc'", '"abc"'), ('"abc"', '"abc"')])
def test_leaf_form_rewrites_value(value, expected):
    leaf = types.SimpleNamespace(value=value)
    assert suggest.normalize_string_quotes_backwards_compatible(PREFER_DOUBLE, leaf) is None
    assert leaf.value == expected


@pytest.mark.parametrize("target", [("'",), "'\"x", 7])
def test_normalize_rejects_a_bad_target(target):
    with pytest.raises((ValueError, TypeError)):
        suggest.normalize_string_quotes(target, "'a'")


def normalisers():
    return black.linegen.normalize_string_quotes, black.trans.normalize_string_quotes


def test_format_without_indentation():
    code = "\n\nx = {'a':1}\n\n\ny = 2\n\n"
    result = suggest.format_code(code, "", STYLE, PREFER_DOUBLE)
    assert result == 'x = {"a": 1}\n\n\ny = 2'
    assert suggest.format_code(
        code=code, indentation="", code_style=STYLE, comma_character_target=PREFER_SINGLE
    ) == "x = {'a': 1}\n\n\ny = 2"


def test_format_with_indentation():
    code = "x = 1\ndef f():\n  return [1,\n    2]\n"
    result = suggest.format_code(code, "    ", STYLE, PREFER_DOUBLE)
    assert result == "    x = 1\n\n\n    def f():\n        return [1, 2]"


DOCSTRING_CODE = '''\
def f():
    """First line.

    Second line, indented.
      Deeper.
    """
    text = \'\'\'raw
  block\'\'\'
    return text
'''


def test_indentation_keeps_multiline_literals():
    plain = suggest.format_code(DOCSTRING_CODE, "", STYLE, PREFER_DOUBLE)
    indented = suggest.format_code(DOCSTRING_CODE, "        ", STYLE, PREFER_DOUBLE)
    values = []
    for text in (plain, "class A:\n    class B:\n" + indented):
        tree = ast.parse(text)
        function = next(n for n in ast.walk(tree) if isinstance(n, ast.FunctionDef))
        values.append((ast.get_docstring(function, clean=False), function.body[1].value.value))
    assert values[0] == values[1]
    assert values[0][1] == "raw\n  block"


def test_long_literals_split_in_the_project_quote():
    code = "message = 'one two three four five six seven eight nine ten eleven twelve'\n"
    result = suggest.format_code(code, "", {"line_length": 40}, PREFER_SINGLE)
    pieces = [n for n in ast.walk(ast.parse(result)) if isinstance(n, ast.Constant)]
    assert len(result.splitlines()) > 2
    assert '"' not in result
    assert "".join(p.value for p in pieces) == ast.literal_eval(code.split("= ")[1])


@pytest.mark.parametrize("code, style, error", [
    ("x = (\n", STYLE, black.InvalidInput),
    ("x = 1\n", {"string_normalization": False}, TypeError),
    ("x = 1\n", {"no_such_option": 1}, TypeError),
])
def test_format_errors_leave_black_as_it_was(code, style, error):
    before = normalisers()
    with pytest.raises(error):
        suggest.format_code(code, "", style, PREFER_DOUBLE)
    assert normalisers() == before


def test_only_the_string_processing_deprecation_is_silenced(monkeypatch):
    real = black.FileMode

    def mode(**options):
        warnings.warn("another deprecation of the formatter", black.mode.Deprecated)
        return real(**options)

    with warnings.catch_warnings(record=True) as shown:
        warnings.simplefilter("always")
        filters = list(warnings.filters)
        suggest.format_code("x = 1\n", "", STYLE, PREFER_DOUBLE)
        assert shown == [] and warnings.filters == filters
        monkeypatch.setattr(black, "FileMode", mode)
        suggest.format_code("x = 1\n", "", STYLE, PREFER_DOUBLE)
    assert [str(w.message) for w in shown] == ["another deprecation of the formatter"]


def test_black_normaliser_is_back_after_success():
    before = normalisers()
    suggest.format_code("x = 'a'\n", "", STYLE, PREFER_DOUBLE)
    assert normalisers() == before


def run_stand_in(monkeypatch, top_level):
    """format_code over a stand-in black.format_str that normalises one literal the
    way the formatter shape under test does; returns what it saw and produced."""
    seen = {}
    if top_level:
        own = object()
        monkeypatch.setattr(black, "normalize_string_quotes", own, raising=False)

        def format_str(code, mode):
            leaf = types.SimpleNamespace(value="'abc'")
            seen["result"] = black.normalize_string_quotes(leaf)
            return leaf.value
    else:
        monkeypatch.delattr(black, "normalize_string_quotes", raising=False)
        own = black.linegen.normalize_string_quotes

        def format_str(code, mode):
            seen["result"] = black.linegen.normalize_string_quotes("'abc'")
            return seen["result"]

    monkeypatch.setattr(black, "format_str", format_str)
    text = suggest.format_code("x", "", {}, PREFER_DOUBLE)
    module = black if top_level else black.linegen
    assert module.normalize_string_quotes is own
    return seen["result"], text


@pytest.mark.parametrize("top_level, returned", [(True, None), (False, '"abc"')])
def test_formatter_shapes(monkeypatch, top_level, returned):
    assert run_stand_in(monkeypatch, top_level) == (returned, '"abc"')


def test_missing_linegen_replaces_nothing(monkeypatch):
    monkeypatch.delattr(black, "normalize_string_quotes", raising=False)
    monkeypatch.delattr(black, "linegen")
    trans_before = black.trans.normalize_string_quotes
    with pytest.raises(AttributeError):
        suggest.format_code("x = 1\n", "", STYLE, PREFER_DOUBLE)
    assert black.trans.normalize_string_quotes is trans_before


def test_string_facilities_prefer_the_top_level(monkeypatch):
    calls = []

    def sub_twice(pattern, replacement, text):
        calls.append(replacement)
        return black.strings.sub_twice(pattern, replacement, text)

    monkeypatch.setattr(black, "sub_twice", sub_twice, raising=False)
    monkeypatch.setattr(black, "STRING_PREFIX_CHARS", "", raising=False)
    # Without prefix characters the letter is taken for the quote: nothing changes.
    assert suggest.normalize_string_quotes(PREFER_DOUBLE, "b'x'") == "b'x'"
    assert suggest.normalize_string_quotes(PREFER_DOUBLE, "'x'") == '"x"'
    assert calls


@pytest.mark.parametrize("name", ["STRING_PREFIX_CHARS", "sub_twice"])
def test_missing_string_facility_raises(monkeypatch, name):
    monkeypatch.delattr(black, name, raising=False)
    monkeypatch.delattr(black.strings, name)
    with pytest.raises(AttributeError):
        suggest.normalize_string_quotes(PREFER_DOUBLE, "'x'")


PRAGMA_MODEL = '''\
class Author(models.Model):
    legacy_ref = models.CharField(max_length=32, null=True, blank=True)  {comment}
'''

SPLIT_MODEL = '''\
class Author(models.Model):
    legacy_ref = models.CharField({first}
        max_length=32, null=True, blank=True
    ){last}'''


@pytest.mark.parametrize("code, expected", [
    # A pragma that black pushed to the closing bracket goes back to the first line.
    (PRAGMA_MODEL.format(comment="# korvane: disable=nullable-string-field"),
     SPLIT_MODEL.format(first="  # korvane: disable=nullable-string-field", last="")),
    ('response = self.client.post(reverse("checkout"), {"basket": basket.pk, '
     '"coupon": ""})  # pylint: disable=no-member\n',
     'response = self.client.post(  # pylint: disable=no-member\n'
     '    reverse("checkout"), {"basket": basket.pk, "coupon": ""}\n'
     ')'),
    # A statement on one line keeps its pragma where it is.
    ('order.save(update_fields=["status"])  # korvane: disable=nullable-string-field\n',
     'order.save(update_fields=["status"])  # korvane: disable=nullable-string-field'),
    # Plain comments, and a pragma for the line after, stay where black puts them.
    (PRAGMA_MODEL.format(comment="# the old shop kept it; empty for new authors"),
     SPLIT_MODEL.format(first="", last="  # the old shop kept it; empty for new authors")),
    (PRAGMA_MODEL.format(comment="# pylint: disable-next=unused-variable"),
     SPLIT_MODEL.format(first="", last="  # pylint: disable-next=unused-variable")),
    # The first line ends inside a string literal, not after a bracket.
    ('HELP = """Shown on the product page.\nPlain text only, no markup."""'
     '  # pylint: disable=invalid-name\n',
     'HELP = """Shown on the product page.\nPlain text only, no markup."""'
     '  # pylint: disable=invalid-name'),
])
def test_pragma_stays_on_the_first_line(code, expected):
    result = suggest.format_code(code, "", STYLE, PREFER_DOUBLE)
    assert result == expected
    assert suggest.format_code(result, "", STYLE, PREFER_DOUBLE) == result


def test_text_that_does_not_tokenize_comes_back_as_black_gave_it(monkeypatch):
    # An unterminated literal after a split statement with a pragma at its end.
    given = SPLIT_MODEL.format(first="", last="  # pylint: disable=no-member") + "\nx = '''"
    monkeypatch.setattr(black, "format_str", lambda code, mode: "\n" + given + "\n")
    assert suggest.format_code("x", "", STYLE, PREFER_DOUBLE) == given


def test_fix_road_keeps_a_disabled_field_silenced():
    from korvane.staticanalysis import transformer

    code = '''\
from django.db import models


class Author(models.Model):
    name = models.CharField(max_length=100, null=True)
    legacy_ref = models.CharField(max_length=32, null=True, blank=True)  # korvane: disable=nullable-string-field
'''
    fixed, reasons = transformer.transform_code(code, "shop/models.py", None)
    assert "C2000" in reasons
    assert "legacy_ref = models.CharField(  # korvane: disable=nullable-string-field" in fixed
    codes = [m["message-id"] for m in support.lint_text(fixed, "shop/models.py")]
    assert "C2000" not in codes
    assert transformer.transform_code(fixed, "shop/models.py", None)[0] == fixed
