"""The change producer: one analysis, fixes where it checked each module, and a warning
for every module or finding it leaves as it is."""
import logging

import pytest

from korvane.staticanalysis import diff
from korvane.staticanalysis.checkers import colspecs
from support import write_files

MODELS = '''\
from django.db import models


class Review(models.Model):
    STARS = [("1", "One"), ("2", "Two")]

    headline = models.CharField(max_length=80, null=True)
    stars = models.CharField(max_length=1, choices=STARS, null=True)
    helpful = models.IntegerField(null=True)
'''

VIEWS = '''\
from .models import Review


def summary(request):
    reviews = Review.objects.filter(helpful__gt=0)
    return {"count": len(
        reviews  # the helpful ones
    )}
'''


@pytest.fixture
def produce(tmp_path, enter_project, caplog):
    """Writes an app `reviews` with the given modules and runs the producer over it:
    returns the produced {path: text} and the producer's warnings."""
    def run(files):
        root = tmp_path / "site"
        write_files(root, {"reviews/__init__.py": None, **{f"reviews/{k}": v for k, v in files.items()}})
        enter_project(root)
        with caplog.at_level(logging.WARNING, logger="korvane.staticanalysis.diff"):
            produced = diff.get_diff_plaintext(str(root), None, None, {"line_length": 88})
        warnings = [r.getMessage() for r in caplog.records if r.name == "korvane.staticanalysis.diff"]
        return {path: text for text, path in produced}, warnings

    return run


def test_fixes_what_it_can_and_names_what_it_leaves(produce):
    produced, warnings = produce({"models.py": MODELS, "views.py": VIEWS})
    models = produced["reviews/models.py"]
    assert 'headline = models.CharField(max_length=80, default="", blank=True)' in models
    assert "helpful = models.IntegerField(null=True, blank=True)" in models
    # choices without an empty one: the fix leaves the field, and says so
    assert 'stars = models.CharField(max_length=1, choices=STARS, null=True)' in models
    assert "Not fixed: reviews/models.py:8: C2000: the field has choices without an empty value" in warnings
    # the QuerySet fix would drop the comment inside the call: the module is left whole
    assert "reviews/views.py" not in produced
    [skipped] = [w for w in warnings if w.startswith("Skipped reviews/views.py")]
    assert "a fix would drop the comment '# the helpful ones'" in skipped


def test_a_fixed_text_that_still_reports_its_finding_is_not_offered(produce, monkeypatch):
    # a fix that changes the field without answering its finding
    def add_verbose_name(node):
        import astroid

        keyword = astroid.Keyword(arg="verbose_name", parent=node)
        keyword.postinit(astroid.Const("helpful", parent=keyword))
        node.keywords.append(keyword)
        return node

    monkeypatch.setattr(colspecs, "transform_add_blank_true", add_verbose_name)
    produced, warnings = produce({"models.py": MODELS})
    assert produced == {}
    assert warnings[-1] == ("Skipped reviews/models.py: a lint of the fixed text still "
                            "reports C2003 1 time(s)")


def test_a_fixable_finding_no_answer_came_back_for_is_named(produce, monkeypatch):
    from korvane.staticanalysis import transformer

    class NoAnswerForTheViews(list):
        def append(self, outcome):
            if outcome[0] != "reviews/views.py":
                super().append(outcome)

    class Fixer:
        def __init__(self, *args):
            self.fixer = transformer_fixer(*args)
            self.codes = self.fixer.codes
            self.outcomes = NoAnswerForTheViews()

        def __call__(self, *args, **kwargs):
            return self.fixer(*args, **kwargs)

    transformer_fixer = transformer.ProjectFixer
    monkeypatch.setattr(transformer, "ProjectFixer", Fixer)
    produced, warnings = produce({"models.py": MODELS, "views.py": VIEWS.replace(
        "len(\n        reviews  # the helpful ones\n    )", "len(reviews)")})
    assert "reviews/models.py" in produced and "reviews/views.py" not in produced
    assert warnings[-1] == "Not fixed: reviews/views.py:6: C9000: the fix pass did not reach it"


@pytest.mark.parametrize(
    "data, reason",
    [
        (MODELS.replace("\n", "\r\n", 3).encode(), "its lines end in more than one way"),
        (b"# -*- coding: klingon -*-\n" + MODELS.encode(), "it could not be analysed"),
    ],
)
def test_a_module_it_cannot_read_is_skipped_with_the_reason(produce, data, reason):
    produced, warnings = produce({"models.py": data, "views.py": VIEWS.replace(
        "len(\n        reviews  # the helpful ones\n    )", "len(reviews)")})
    assert "reviews/models.py" not in produced
    assert "reviews/views.py" in produced
    assert [w for w in warnings if w.startswith("Skipped reviews/models.py: " + reason)]


def test_a_reason_with_line_breaks_is_one_warning_line(produce, monkeypatch):
    def failing(node):
        raise ValueError("Parsing Python code failed:\ninvalid syntax (<unknown>, line 1)")

    monkeypatch.setattr(colspecs, "transform_add_blank_true", failing)
    produced, warnings = produce({"models.py": MODELS})
    assert "reviews/models.py" not in produced
    assert ("Skipped reviews/models.py: fixing it failed: ValueError: Parsing Python code "
            "failed: invalid syntax (<unknown>, line 1)") in warnings
    assert all("\n" not in warning for warning in warnings)
@pytest.mark.parametrize("files, warning", [
    ({"models.py": MODELS.replace('max_length=80, null=True', 'max_length=80, null=True, unique=True')},
     "reviews/models.py:7: C2000: the field is unique"),
    ({"models.py": "from django.db import models\n\nCharField = models.CharField\n\n\n"
                   "class Review(models.Model):\n    body = CharField(max_length=4000)\n"},
     "reviews/models.py:7: C2006: no import of the module can bring in TextField"),
    ({"views.py": "from django.shortcuts import redirect\nfrom shop.urls import reverse_lazy\n\n\n"
                  "def done(request):\n    return redirect(reverse_lazy('home'))\n"},
     "reviews/views.py:6: C6002: the module has no import from django.urls to add reverse to"),
])
def test_a_finding_no_fix_answers_is_named_with_the_reason(produce, files, warning):
    _, warnings = produce(files)
    assert "Not fixed: " + warning in warnings


def test_fixes_of_one_statement_compose(produce):
    # the length in a truth test becomes exists(): count() there would be reported in its
    # turn, and the module would be dropped with its other fixes
    views = ("from .models import Review\n\n\ndef check(request):\n"
             "    reviews = Review.objects.filter(helpful__gt=0)\n"
             "    assert not len(reviews)\n    return len(Review.objects.all())\n")
    produced, warnings = produce({"models.py": MODELS, "views.py": views})
    assert "    assert not reviews.exists()\n    return Review.objects.all().count()\n" in produced["reviews/views.py"]
    assert not [w for w in warnings if w.startswith("Skipped")]


def test_a_fixed_text_that_reads_an_unbound_name_is_not_offered(produce, monkeypatch):
    # the rename as it was: a bare name nothing imports
    def rename_in_place(node):
        node.func.name = "TextField"
        node.keywords = []
        return node

    monkeypatch.setattr(colspecs, "transform_huge_char_field", rename_in_place)
    models = ("from django.db.models import CharField, Model\n\n\n"
              "class Review(Model):\n    body = CharField(max_length=4000)\n")
    produced, warnings = produce({"models.py": models})
    assert produced == {}
    assert warnings == ["Skipped reviews/models.py: the fixed text reads TextField, which nothing "
                        "in the module binds"]
