"""Suggestions for one finding line of a Python module: the disable pragma, the fixed
statement, the other statements that fixes edit and the statements they create, as
whole-line replacements."""
import ast
import itertools
import logging

import astroid
import pytest

import support
from korvane.staticanalysis import helpers, suggest
from korvane.staticanalysis.checkers import settings

_numbers = itertools.count()

SKIP = "C0000"


def view(source):
    return helpers.build_atok(source, modname=f"shop.models_lines_{next(_numbers)}")


def suggestions(suggest, source_or_atok, line, codes, **options):
    atok = view(source_or_atok) if isinstance(source_or_atok, str) else source_or_atok
    return suggest.get_suggestions_for_python(
        atok=atok, line=line, message_ids=set(codes), code_style={"line_length": 88},
        settings_modpath=None, **options,
    )


def model(*members, header="from django.db import models\n\n\n"):
    return header + "class Book(models.Model):\n" + "".join(f"    {m}\n" for m in members)


# --- lines without a statement ----------------------------------------------------------

@pytest.mark.parametrize("line", [2, 5, 8])
def test_line_where_no_node_starts_gets_nothing_and_empty_side_channels(plain_rendering, line):
    source = model("# the page count", "pages = models.IntegerField(", "    null=True,", ")")
    atok = view(source)
    atok.tree.new_nodes = ["left over"]
    assert suggestions(plain_rendering, atok, line, {"C2003"}) == []
    assert atok.tree.new_nodes == [] and atok.tree.replace_other_nodes == []
    assert atok.tree.new_nodes is not atok.tree.replace_other_nodes


# --- the disable pragma ----------------------------------------------------------------

PRAGMA = "  # korvane: disable="


@pytest.mark.parametrize(
    "members, line, codes, expected",
    [
        # symbols in the order of their codes
        (["pages = models.IntegerField(null=True)"], 5, {SKIP, "C2003", "C2000"},
         [5, 5, "    pages = models.IntegerField(null=True)" + PRAGMA
          + "nullable-string-field, field-null-not-blank"]),
        # a trailing comment stays, before the pragma
        (["pages = models.IntegerField(null=True)   # legacy"], 5, {SKIP, "C2003"},
         [5, 5, "    pages = models.IntegerField(null=True)   # legacy" + PRAGMA + "field-null-not-blank"]),
        # the comment goes on the finding's line of a statement spanning lines
        (["pages = models.IntegerField(", "    null=True,", "    blank=False,", ")"], 7,
         {SKIP, "C2003"},
         [5, 8, "    pages = models.IntegerField(\n        null=True,\n        blank=False,"
          + PRAGMA + "field-null-not-blank\n    )"]),
        # a string spanning lines: after the string, which pylint reads for the line
        # where the string starts; the replacement covers all of the string
        (["blurb = models.CharField(null=True, help_text='''Shown", "on the shelf''')"], 5,
         {SKIP, "C2000"},
         [5, 6, "    blurb = models.CharField(null=True, help_text='''Shown\n    on the shelf''')"
          + PRAGMA + "nullable-string-field"]),
        # a backslash continuation: on the next line, never after the backslash
        (["pages = \\", "    models.IntegerField(null=True)"], 5, {SKIP, "C2003"},
         [5, 6, "    pages = \\\n        models.IntegerField(null=True)" + PRAGMA + "field-null-not-blank"]),
        # another statement on the line is kept as written
        (["title = 'x'; pages = models.IntegerField(null=True)"], 5, {SKIP, "C2003"},
         [5, 5, "    title = 'x'; pages = models.IntegerField(null=True)" + PRAGMA + "field-null-not-blank"]),
        # a finding on a block's header: the header's lines only, never the block
        (["class Meta:", "    ordering = ['title']"], 5, {SKIP, "C3002"},
         [5, 5, "    class Meta:" + PRAGMA + "model-method-order"]),
        (["def __str__(", "    self,", "):  # the title", "    return self.title"], 5,
         {SKIP, "C3002"},
         [5, 7, "    def __str__(" + PRAGMA + "model-method-order\n        self,\n    ):  # the title"]),
    ],
)
def test_pragma_placement(plain_rendering, members, line, codes, expected):
    assert suggestions(plain_rendering, model(*members), line, codes) == [expected]


@pytest.mark.parametrize(
    "members, line",
    [
        # a line after a backslash continuation is read by pylint for the line before
        (["pages = models.IntegerField(null=True) + \\", "    models.IntegerField(null=True)"], 6),
        # a string over three lines: pylint reads a comment after it for the line
        # before, inside the string
        (["blurb = models.CharField(null=True, help_text='''Shown", "on", "the shelf''')"], 5),
        # pylint reads only the first pragma of a comment
        (["pages = models.IntegerField(null=True)  # korvane: disable=tall-model"], 5),
        (["pages = models.IntegerField(null=True)  # pylint: disable=no-member"], 5),
    ],
)
def test_no_pragma_where_pylint_would_not_read_it(plain_rendering, members, line):
    assert suggestions(plain_rendering, model(*members), line, {SKIP, "C2003"}) == []


def test_no_pragma_that_names_nothing(plain_rendering):
    # a pragma request on a line with no finding that has a symbol
    assert suggestions(plain_rendering, model("pages = models.IntegerField(null=True)"), 5,
                       {SKIP}) == []


@pytest.mark.parametrize("code", ["C3000", "C3003"])
def test_no_pragma_for_findings_on_the_whole_module(plain_rendering, code):
    source = "from django.db import models\n"
    assert suggestions(plain_rendering, source, 1, {SKIP, code}) == []


def test_pragma_runs_no_fix_and_formats_nothing(plain_rendering, monkeypatch):
    monkeypatch.setattr(plain_rendering, "get_suggestion_for_python", pytest.fail)
    monkeypatch.setattr(plain_rendering, "format_code", pytest.fail)
    atok = view(model("pages = models.IntegerField(null=True)"))
    assert suggestions(plain_rendering, atok, 5, {SKIP, "C2003"})
    assert atok.tree.new_nodes == [] and atok.tree.replace_other_nodes == []


def test_pragma_for_a_code_without_symbol_raises(plain_rendering):
    with pytest.raises(KeyError):
        suggestions(plain_rendering, model("pages = models.IntegerField(null=True)"), 5, {SKIP, "C9999"})


# --- the fixed statement ---------------------------------------------------------------

@pytest.mark.parametrize(
    "indent, expected",
    [(True, "    pages = models.IntegerField(null=True, blank=True)"),
     (None, "    pages = models.IntegerField(null=True, blank=True)"),
     (0, "    pages = models.IntegerField(null=True, blank=True)"),
     (False, "pages = models.IntegerField(null=True, blank=True)")],
)
def test_fixed_statement_at_its_indentation(plain_rendering, indent, expected):
    source = model("pages = models.IntegerField(null=True)")
    assert suggestions(plain_rendering, source, 5, {"C2003"}, indent=indent) == [[5, 5, expected]]


def test_statement_the_fixes_leave_alone_gets_nothing(plain_rendering):
    assert suggestions(plain_rendering, model("pages = models.IntegerField()"), 5, {"C2003"}) == []


@pytest.mark.parametrize(
    "members, line",
    [
        (["title = 'x'; pages = models.IntegerField(null=True)"], 5),
        (["pages = models.IntegerField(null=True); title = 'x'"], 5),
        (["pages = models.IntegerField(", "    null=True); title = 'x'"], 5),
    ],
)
def test_statement_sharing_a_line_with_another_gets_no_item(plain_rendering, members, line):
    assert suggestions(plain_rendering, model(*members), line, {"C2003"}) == []


def test_statement_ending_in_a_string_over_lines_is_replaced_whole(plain_rendering):
    source = model("blurb = models.CharField(null=True, help_text='''Shown", "on the shelf''')",
                   "title = models.CharField(max_length=80)")
    [[first, last, text]] = suggestions(plain_rendering, source, 5, {"C2000"})
    assert (first, last) == (5, 6)
    ast.parse(support.replace_lines(source, [[first, last, text]]))


def test_formatting_failure_of_the_statement_is_logged_and_answers_nothing(plain_rendering, monkeypatch, caplog):
    def format_code(code, indentation, code_style, comma_character_target):
        raise ValueError("cannot format")

    monkeypatch.setattr(plain_rendering, "format_code", format_code)
    with caplog.at_level(logging.ERROR, logger="korvane.staticanalysis.suggest"):
        assert suggestions(plain_rendering, model("pages = models.IntegerField(null=True)"), 5, {"C2003"}) == []
    [record] = caplog.records
    assert str(record.msg) == "cannot format" and record.exc_info is None


def test_formatter_is_bound_to_style_and_quote_target_of_the_file(plain_rendering, monkeypatch):
    seen = []

    def format_code(code, indentation, code_style, comma_character_target):
        seen.append((indentation, code_style, comma_character_target))
        return code

    monkeypatch.setattr(plain_rendering, "format_code", format_code)
    monkeypatch.setattr(plain_rendering, "get_comma_character_target", lambda source: (source[:4], "!"))
    suggestions(plain_rendering, model("pages = models.IntegerField(null=True)"), 5, {"C2003"})
    # formatted where it stands: the indentation counts against the line length
    assert seen == [("    ", {"line_length": 84}, ("from", "!"))]


# --- edited and created statements -------------------------------------------------------

class SettingsFixes:
    """A settings fix that offers `edited` (a function of the module giving the edited
    statements, whose values become `value`) and `created` (source texts of new
    statements)."""

    def __init__(self, monkeypatch, edited=lambda module: [], created=(), value="edited"):
        self.edited, self.created, self.value = edited, created, value
        monkeypatch.setattr(settings, "build_transformer_visitor", self.build, raising=False)

    def build(self, message_ids, settings_modpath):
        return self

    def visit(self, module):
        for node in self.edited(module):
            node.value.value = self.value
            module.replace_other_nodes.append(node)
        for code in self.created:
            module.new_nodes.append(astroid.extract_node(code))


SETTINGS = (
    "# Settings of the shop.\n"
    "import os\n"
    "\n"
    "DEBUG = False\n"
    "SECRET_KEY = os.environ['KEY']\n"
    "\n"
    "if DEBUG:\n"
    "    LEVEL = 'debug'\n"
    "LANGUAGE_CODE = 'en'\n"
)


def test_edited_statement_alone_is_one_item_at_its_indentation(plain_rendering, monkeypatch):
    SettingsFixes(monkeypatch, edited=lambda module: [module.body[3].body[0]])
    # the new literal in the quote that the (stand-in) quote target prefers
    assert suggestions(plain_rendering, SETTINGS, 4, {"C4010"}) == [[8, 8, '    LEVEL = "edited"']]


def test_formatting_failure_of_an_edited_statement_drops_every_item(plain_rendering, monkeypatch, caplog):
    # a value too long for its line: the statement needs the formatter
    SettingsFixes(monkeypatch, edited=lambda module: [module.body[3].body[0]], value="edited " * 14)
    real = plain_rendering.format_code

    def format_code(code, indentation, code_style, comma_character_target):
        if "edited" in code:
            raise ValueError("cannot format")
        return real(code, indentation, code_style, comma_character_target)

    monkeypatch.setattr(plain_rendering, "format_code", format_code)
    with caplog.at_level(logging.ERROR, logger="korvane.staticanalysis.suggest"):
        assert suggestions(plain_rendering, SETTINGS, 4, {"C4010", "C2003"}) == []
    assert [str(r.msg) for r in caplog.records] == ["cannot format"]


def statement_fix(line=None):
    """A fix dispatch that records the tree, runs the settings fixes and answers a
    replacement of the statement by its plain text, or no change when `line` is None."""
    def dispatch(atok, node, message_ids, settings_modpath):
        if not hasattr(atok, "original_tree"):
            suggest.record_tree(atok)
        settings.build_transformer_visitor(
            message_ids=message_ids, settings_modpath=settings_modpath).visit(atok.tree)
        if line is None:
            return None, None, None
        return node.fromlineno, node.tolineno, node.as_string()

    return dispatch


@pytest.mark.parametrize(
    "line, created, expected",
    [
        # the statement in the middle: imports above the first statement, below the
        # comment on line 1; the rest after the last line
        (5, ["X_FRAME = 'DENY'", "import sys", "HSTS = 60"],
         [[2, 2, "import sys\n\nimport os\n"],
          [5, 5, "SECRET_KEY = os.environ['KEY']"],
          [9, 9, "LANGUAGE_CODE = 'en'\n\n\nX_FRAME = 'DENY'\n\nHSTS = 60"]]),
        # the statement's item holds the import line: the imports join its text
        (2, ["import sys", "HSTS = 60"],
         [[2, 2, "import sys\n\nimport os"],
          [9, 9, "LANGUAGE_CODE = 'en'\n\n\nHSTS = 60"]]),
        # the statement's item holds the last line: the rest joins its text
        (9, ["import sys", "HSTS = 60"],
         [[2, 2, "import sys\n\nimport os\n"],
          [9, 9, "LANGUAGE_CODE = 'en'\n\nHSTS = 60"]]),
    ],
)
def test_created_code_joins_an_item_or_gets_its_own(plain_rendering, monkeypatch, line, created, expected):
    SettingsFixes(monkeypatch, created=created)
    monkeypatch.setattr(plain_rendering, "get_suggestion_for_python", statement_fix(line))
    answer = suggestions(plain_rendering, SETTINGS, line, {"C4010"})
    assert answer == expected
    ast.parse(support.replace_lines(SETTINGS, answer))


@pytest.mark.parametrize(
    "source, expected",
    [
        # a docstring and __future__ imports stay first
        ('"""Settings."""\nfrom __future__ import annotations\n\nDEBUG = False\n',
         [4, 4, "import sys\n\nDEBUG = False\n"]),
        # line 1 is never overwritten when the first statement stands lower
        ("#!/usr/bin/env python\n# -*- coding: utf-8 -*-\nDEBUG = False\n",
         [3, 3, "import sys\n\nDEBUG = False\n"]),
        ("DEBUG = False\n", [1, 1, "import sys\n\nDEBUG = False\n"]),
    ],
)
def test_created_imports_go_above_the_first_statement(plain_rendering, monkeypatch, source, expected):
    SettingsFixes(monkeypatch, created=["import sys"])
    source += "LANGUAGE_CODE = 'en'\n"
    answer = suggestions(plain_rendering, source, source.count("\n") - 1, {"C4010"})
    assert answer == [expected]
    patched = support.replace_lines(source, answer)
    compile(patched, "settings.py", "exec")
    assert patched.splitlines()[:2] == source.splitlines()[:2] or expected[0] == 1
    assert ast.get_docstring(ast.parse(patched)) == ast.get_docstring(ast.parse(source))


def test_module_ending_in_a_string_over_lines_gets_created_code_after_it(plain_rendering, monkeypatch):
    source = "DEBUG = False\nNOTE = '''one\ntwo'''\n"
    SettingsFixes(monkeypatch, created=["HSTS = 60"])
    answer = suggestions(plain_rendering, source, 1, {"C4010"})
    assert answer == [[2, 3, "NOTE = '''one\ntwo'''\n\n\nHSTS = 60"]]
    assert "HSTS = 60" in support.replace_lines(source, answer) and support.replace_lines(source, answer).count("two'''") == 1


def test_created_imports_and_code_beside_a_one_statement_module(plain_rendering, monkeypatch):
    SettingsFixes(monkeypatch, created=["import sys", "HSTS = 60"])
    monkeypatch.setattr(plain_rendering, "get_suggestion_for_python", statement_fix())
    source = "# Settings.\nDEBUG = False\n"
    answer = suggestions(plain_rendering, source, 2, {"C4010"})
    assert answer == [[2, 2, "import sys\n\nDEBUG = False\n\nHSTS = 60"]]
    ast.parse(support.replace_lines(source, answer))


def test_created_statement_that_cannot_be_formatted_is_logged_and_left_out(plain_rendering, monkeypatch, caplog):
    SettingsFixes(monkeypatch, created=["HSTS = 60", "BROKEN = 1"])
    real = plain_rendering.format_code

    def format_code(code, indentation, code_style, comma_character_target):
        if code.startswith("BROKEN"):
            raise ValueError("cannot format")
        return real(code, indentation, code_style, comma_character_target)

    monkeypatch.setattr(plain_rendering, "format_code", format_code)
    with caplog.at_level(logging.ERROR, logger="korvane.staticanalysis.suggest"):
        answer = suggestions(plain_rendering, SETTINGS, 4, {"C4010"})
    assert answer == [[9, 9, "LANGUAGE_CODE = 'en'\n\n\nHSTS = 60"]]
    [record] = caplog.records
    assert record.msg == "Failed to apply Black format to generated code."
    assert record.exc_info[1].args == ("cannot format",) and record.exc_info[2] is not None


def test_created_code_of_a_module_of_future_imports_follows_them(plain_rendering, monkeypatch):
    SettingsFixes(monkeypatch, created=["import sys", "HSTS = 60"])
    monkeypatch.setattr(plain_rendering, "get_suggestion_for_python", statement_fix(1))
    source = "from __future__ import annotations\n"
    answer = suggestions(plain_rendering, source, 1, {"C4010"})
    patched = support.replace_lines(source, answer)
    compile(patched, "settings.py", "exec")
    assert patched.index("__future__") < patched.index("import sys") < patched.index("HSTS")


def test_field_call_over_lines_keeps_its_inner_comments(suggest):
    source = model(
        "subtitle = models.CharField(",
        "    max_length=200,  # shown under the title",
        "    null=True,",
        "    # left empty for most books",
        "    verbose_name='subtitle',",
        ")  # kept from the old shop",
    )
    [[first, last, text]] = suggestions(suggest, source, 5, {"C2000"})
    assert (first, last) == (5, 10)
    assert text == (
        "    subtitle = models.CharField(\n"
        "        max_length=200,  # shown under the title\n"
        "        default='',\n"
        "        # left empty for most books\n"
        "        verbose_name='subtitle',\n"
        "        blank=True,\n"
        "    )  # kept from the old shop")
    applied = support.replace_lines(source, [[first, last, text]])
    compile(applied, "models.py", "exec")
    assert support.comments_of(applied) == support.comments_of(source)


@pytest.mark.parametrize("imports, fixed_imports", [
    ("from django.db.models import CharField, Model", "from django.db.models import CharField, Model, TextField"),
    ("from django.db.models import (\n    CharField,\n    Model,\n)",
     "from django.db.models import (\n    CharField,\n    Model,\n    TextField,\n)"),
    # a backslash continuation: the formatter lays the edited import out anew
    ("from django.db.models import CharField, \\\n    Model",
     "from django.db.models import CharField, Model, TextField"),
])
def test_a_bare_field_class_comes_with_its_import(suggest, imports, fixed_imports):
    source = f"{imports}\n\n\nclass Book(Model):\n    blurb = CharField(max_length=2000)\n"
    line = source.count("\n")
    answer = suggestions(suggest, source, line, {"C2006"})
    assert answer == [[line, line, "    blurb = TextField()"],
                      [1, imports.count("\n") + 1, fixed_imports]]
    applied = support.replace_lines(source, answer)
    assert applied.startswith(fixed_imports + "\n")
    compile(applied, "models.py", "exec")


@pytest.mark.parametrize("code, setting", [
    ("C4015", "SESSION_COOKIE_HTTPONLY = False  # legacy"),
    ("C4005", "SECURE_REFERRER_POLICY = None"),
])
def test_a_removed_setting_is_suggested_as_its_lines_deleted(suggest, code, setting):
    source = f'SECRET_KEY = os.environ["KEY"]\n{setting}\nALLOWED_HOSTS = ["shop.example"]\n'
    answer = suggestions(suggest, source, 2, {code})
    assert answer == [[2, 2, ""]]


def test_each_bare_field_class_fix_comes_with_the_import_it_needs(suggest):
    # the second fix finds the name the first one added: its suggestion, applied
    # alone, needs the import as well
    source = ("from django.db.models import CharField, Model\n\n\nclass Book(Model):\n"
              "    blurb = CharField(max_length=2000)\n    notes = CharField(max_length=5000)\n")
    atok = view(source)
    fixed_imports = "from django.db.models import CharField, Model, TextField"
    assert suggestions(suggest, atok, 5, {"C2006"}) == [[5, 5, "    blurb = TextField()"], [1, 1, fixed_imports]]
    second = suggestions(suggest, atok, 6, {"C2006"})
    assert second == [[6, 6, "    notes = TextField()"], [1, 1, fixed_imports]]


def test_an_edited_import_sharing_its_line_drops_the_group(suggest):
    # the fixed statement alone would read a name that the import does not bind
    source = ("import logging; from django.db.models import CharField, Model\n\n\n"
              "class Book(Model):\n    blurb = CharField(max_length=2000)\n")
    assert suggestions(suggest, source, 5, {"C2006"}) == []


def test_a_fixed_statement_sharing_its_line_takes_the_import_edit_with_it(suggest):
    # the import alone would drop the name the statement still reads
    source = ("from django.urls import reverse_lazy\n\n\n"
              "def back_url(shelf):\n    url = reverse_lazy('shelf:list'); shelf.touch()\n    return url\n")
    assert suggestions(suggest, source, 5, {"C6002"}) == []


def test_a_fix_that_would_drop_a_comment_gets_no_suggestion(suggest, monkeypatch, caplog):
    from korvane.staticanalysis.checkers import colspecs

    class Rebuild:
        """A fix that builds the whole call anew, with no place for its comment."""

        def visit(self, statement):
            statement.value = astroid.extract_node("models.IntegerField(blank=True)")
            statement.value.parent = statement

    monkeypatch.setattr(colspecs, "build_transformer_visitor", lambda message_ids: Rebuild())
    source = model("pages = models.IntegerField(", "    null=True,  # optional", ")")
    with caplog.at_level(logging.ERROR, logger="korvane.staticanalysis.suggest"):
        assert suggestions(suggest, source, 5, {"C2003"}) == []
    assert "# optional" in caplog.records[-1].getMessage()
