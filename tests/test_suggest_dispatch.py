"""Fixing one statement for a group of codes: which checker modules' fixes run, the
line range and text that come back, and the edits that stay in the tree."""
import itertools

import astroid
import pytest

from korvane.staticanalysis import constants, helpers
from korvane.staticanalysis.checkers import colspecs, migrations, ormcalls, settings, urls

_numbers = itertools.count()

MODELS = (
    "from django.db import models\n"
    "\n"
    "\n"
    "class Book(models.Model):\n"
    "    pages = models.IntegerField(null=True)  # optional\n"
    "    title = models.CharField(max_length=80)\n"
    "    blurb = models.CharField(max_length=80, null=True, help_text='''Shown\n"
    "on the shelf''')\n"
)


def view(source):
    return helpers.build_atok(source, modname=f"shop.models_dispatch_{next(_numbers)}")


def statement(atok, line):
    return helpers.find_node_by_position(atok.tree, line=line)


def dispatch(suggest, atok, node, codes, settings_modpath=None):
    return suggest.get_suggestion_for_python(
        atok=atok, node=node, message_ids=set(codes), settings_modpath=settings_modpath
    )


class Recorder:
    """Fix factories that note which module was asked, with which codes, and which
    node its visitor was given."""

    def __init__(self, monkeypatch):
        self.calls = []
        for module in (colspecs, urls, migrations, ormcalls):
            monkeypatch.setattr(module, "build_transformer_visitor", self.factory(module))
        monkeypatch.setattr(settings, "build_transformer_visitor", self.settings_factory,
                            raising=False)

    def factory(self, module):
        name = module.__name__.rsplit(".", 1)[1]

        def build(message_ids):
            return self.visitor(name, message_ids)

        return build

    def settings_factory(self, message_ids, settings_modpath):
        return self.visitor("settings", message_ids, settings_modpath)

    def visitor(self, name, *arguments):
        calls = self.calls

        class Visitor:
            def visit(self, node):
                calls.append((name, *arguments, type(node).__name__))

        return Visitor()


@pytest.mark.parametrize(
    "codes, expected",
    [
        ({"C2003"}, ["colspecs"]),
        ({"C6002"}, ["urls"]),
        ({"C8001"}, ["migrations"]),
        ({"C9000", "C9003"}, ["ormcalls"]),
        ({"C4010"}, ["settings"]),
        # every module whose codes meet the group runs, in one fixed order
        ({"C9001", "C4012", "C2003", "C8001", "C6002"},
         ["colspecs", "urls", "migrations", "ormcalls", "settings"]),
        # codes that no module fixes
        ({"C7001", "C3002"}, []),
    ],
)
def test_modules_whose_codes_meet_the_group_run_in_order(plain_rendering, monkeypatch, codes, expected):
    recorder = Recorder(monkeypatch)
    atok = view(MODELS)
    answer = dispatch(plain_rendering, atok, statement(atok, 5), codes, "shop.settings")
    assert [call[0] for call in recorder.calls] == expected
    assert answer == (None, None, None)
    for call in recorder.calls:
        # each factory gets the whole set; the settings fixes see the whole module
        assert call[1] == codes
        assert call[-1] == ("Module" if call[0] == "settings" else "Assign")
        if call[0] == "settings":
            assert call[2] == "shop.settings"


def test_the_constants_sets_decide_which_modules_run(plain_rendering, monkeypatch):
    recorder = Recorder(monkeypatch)
    monkeypatch.setattr(constants, "TRANSFORMABLE_MODEL_FIELD_RULES", frozenset({"C9000"}))
    atok = view(MODELS)
    dispatch(plain_rendering, atok, statement(atok, 5), {"C9000"})
    assert [call[0] for call in recorder.calls] == ["colspecs", "ormcalls"]


@pytest.mark.parametrize(
    "line, codes, first, last, text",
    [
        # the file's own text with the fix edited in: the trailing comment stays
        (5, {"C2003"}, 5, 5, "pages = models.IntegerField(null=True, blank=True)  # optional"),
        # a statement ending in a string that spans lines is replaced up to the line
        # where the string ends, the string as written
        (7, {"C2000"}, 7, 8,
         "blurb = models.CharField(max_length=80, default='', help_text='''Shown\n"
         "on the shelf''', blank=True)"),
        (6, {"C2003"}, None, None, None),
    ],
)
def test_answer_covers_the_statement_lines(plain_rendering, line, codes, first, last, text):
    atok = view(MODELS)
    assert dispatch(plain_rendering, atok, statement(atok, line), codes) == (first, last, text)


def test_the_statement_text_is_the_edited_source(plain_rendering, monkeypatch):
    edited = []

    def edited_text(atok, node):
        edited.append((atok, node))
        return "EDITED"

    monkeypatch.setattr(plain_rendering, "edited_text", edited_text)
    atok = view(MODELS)
    node = statement(atok, 5)
    assert dispatch(plain_rendering, atok, node, {"C2003"}) == (5, 5, "EDITED")
    assert edited == [(atok, node)]


def test_a_fix_that_keeps_the_plain_rendering_is_no_change(plain_rendering, monkeypatch):
    class Visitor:
        def visit(self, node):
            node.value.lineno += 1  # an edit that the rendering does not show

    monkeypatch.setattr(colspecs, "build_transformer_visitor", lambda ids: Visitor())
    atok = view(MODELS)
    assert dispatch(plain_rendering, atok, statement(atok, 5), {"C2003"}) == (None, None, None)


def test_second_group_compares_with_the_edited_statement(plain_rendering):
    source = "from django.db import models\n\nclass Shelf(models.Model):\n" \
             "    flag = models.NullBooleanField(db_index=False)\n"
    atok = view(source)
    node = statement(atok, 4)
    first = dispatch(plain_rendering, atok, node, {"C2008"})
    assert first == (4, 4, "flag = models.BooleanField(db_index=False, null=True)")
    # the same fix again finds nothing left to change
    assert dispatch(plain_rendering, atok, node, {"C2008"}) == (None, None, None)
    # a further fix of the same statement carries both edits
    assert dispatch(plain_rendering, atok, node, {"C2002"})[2] == "flag = models.BooleanField(null=True)"


@pytest.mark.parametrize(
    "codes, removes",
    [({"C4005"}, True), ({"C4015"}, True), ({"C4005", "C4015", "C4010"}, True),
     ({"C4010"}, False)],
)
def test_removal_codes_hand_the_answer_to_the_settings_module(plain_rendering, monkeypatch, codes, removes):
    recorder = Recorder(monkeypatch)
    removals = []

    def remove_node(atok, node, start, end):
        removals.append((atok, node, start, end))
        return [start, end, ""]

    monkeypatch.setattr(settings, "remove_node", remove_node, raising=False)
    atok = view(MODELS)
    node = statement(atok, 7)
    answer = dispatch(plain_rendering, atok, node, codes)
    if removes:
        assert removals == [(atok, node, 7, 8)]
        assert answer == [7, 8, ""]
        assert recorder.calls == []
    else:
        assert removals == []
        assert [call[0] for call in recorder.calls] == ["settings"]


def test_removal_codes_outside_the_settings_set_are_ignored(plain_rendering, monkeypatch):
    monkeypatch.setattr(settings, "remove_node", pytest.fail, raising=False)
    monkeypatch.setattr(constants, "TRANSFORMABLE_SETTINGS_RULES", frozenset({"C4010"}))
    atok = view(MODELS)
    assert dispatch(plain_rendering, atok, statement(atok, 5), {"C4005"}) == (None, None, None)


def test_settings_fix_of_other_statements_changes_the_tree_only(plain_rendering, monkeypatch):
    class Visitor:
        def visit(self, module):
            module.body[-1].body[-1].value.func.attrname = "TextField"

    monkeypatch.setattr(settings, "build_transformer_visitor",
                        lambda message_ids, settings_modpath: Visitor(), raising=False)
    atok = view(MODELS)
    assert dispatch(plain_rendering, atok, statement(atok, 5), {"C4010"}) == (None, None, None)
    assert "models.TextField(" in atok.tree.body[-1].body[-1].as_string()


@pytest.mark.parametrize(
    "error, where",
    [(KeyError("fix"), "colspecs"), (ValueError("visit"), "ormcalls")],
)
def test_errors_of_fixes_propagate_and_earlier_edits_stay(plain_rendering, monkeypatch, error, where):
    class Failing:
        def visit(self, node):
            raise error

    monkeypatch.setattr(globals()[where], "build_transformer_visitor", lambda ids: Failing())
    atok = view(MODELS)
    node = statement(atok, 5)
    with pytest.raises(type(error)):
        dispatch(plain_rendering, atok, node, {"C2003", "C9000"})
    edited = "blank=True" in node.as_string()
    assert edited == (where == "ormcalls")


def test_a_node_without_token_marks_raises_before_any_fix(plain_rendering, monkeypatch):
    monkeypatch.setattr(colspecs, "build_transformer_visitor", pytest.fail)
    node = astroid.extract_node("pages = models.IntegerField(null=True)")
    with pytest.raises(AttributeError):
        dispatch(plain_rendering, view(MODELS), node, {"C2003"})
