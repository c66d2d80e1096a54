"""Suggestions for template lines: the static-tag rewrite of the finding line and the
load tag that the rewritten line needs, placed where Django accepts it."""
import shutil
from pathlib import Path

import pytest
from django.template import Engine

from korvane.staticanalysis.checkers import templates
from support import apply_suggestions, suggestion_blocks

GALLERY = Path(__file__).parent / "fixtures" / "suggest" / "gallery"
STATIC = {"STATIC_URL": "/static/"}
LOAD = "{% load static %}"


def tag(path):
    return "'{% static \"" + path + "\" %}'"


@pytest.mark.parametrize("text, folded", [
    ("{%  load\n\tstatic %}", "{% load static %}"),
    (" a \u2003\u00a0b\r\n", " a b "),
    ("", ""),
])
def test_normalize_django_template(suggest, text, folded):
    assert suggest.normalize_django_template(text) == folded


@pytest.mark.parametrize("content, point", [
    ("<p>\n<img>\n", 0),
    ('{% extends "base.html" %}\n<p>\n', 1),
    # Django takes the extends tag after comments and text, and the tag goes after it.
    ('{# the shop page #}\n\n{% extends "base.html" %}\n<p>\n', 3),
    ('{%extends "base.html"%}\n', 1),
    ('<p>{% block a %}{% endblock %}</p>\n{% extends "base.html" %}', 2),
    # Not an extends tag: Django reads a tag within one line.
    ('{% extends\n"base.html" %}\n', 0),
    ("{% extendsion %}\n", 0),
    # Loaded already, whatever the blanks inside the tag and the libraries beside it.
    ('{% extends "b" %}\n{% load static %}\n', None),
    ("{%   load\tstatic   %}", None),
    ("{%load static%}", None),
    ("{% load compress static hc_extras %}", None),
    ("{% load static from staticfiles %}", None),
    ("{% load static from static %}", None),
    ("{% load staticfiles %}", None),
    # Not loaded: Django reads no tag over two lines, none in a comment or verbatim
    # text, and the `from` form loads only the tags it names.
    ("{%   load\nstatic   %}", 0),
    ("{# {% load static %} #}\n<p>\n", 0),
    ("{% comment %}\n{% load static %}\n{% endcomment %}\n", 0),
    ("{% verbatim %}{% load static %}{% endverbatim %}\n", 0),
    ("{% load get_static_prefix from static %}", 0),
    ("{% load i18n %}{% load staticfile %}", 0),
])
def test_insertion_point(suggest, content, point):
    assert suggest.get_staticfile_template_tag_insertion_point(content) == point


@pytest.mark.parametrize("content, needed_at, point", [
    # A load tag takes effect where it stands: a static tag above it is not loaded.
    ('<link rel="icon" href="/static/favicon.ico">\n{% load static %}\n', 22, 0),
    ('{% extends "b" %}\n<img>\n{% load static %}\n', 19, 1),
    ('{% load static %}<img src="/static/a.png">', 27, None),
    ('<img src="/static/a.png">{% load static %}', 9, 0),
])
def test_insertion_point_where_the_tag_is_needed(suggest, content, needed_at, point):
    assert suggest.get_staticfile_template_tag_insertion_point(content, needed_at) == point


@pytest.mark.parametrize("lines, found", [
    (["<p>\n", "  <b>x</b>  \n"], (0, "<p>")),
    (['{% extends "b" %}\n', "  <b>x</b>  \n"], (1, "  <b>x</b>  ")),
    (['{% extends "b" %}\n'], (1, None)),  # the tag goes after the last line
    (['{% extends "b" %}\n', "{% load static %}\n"], (None, None)),
])
def test_insertion_point_and_current(suggest, lines, found):
    assert suggest.get_staticfile_template_tag_insertion_point_and_current(lines) == found


@pytest.mark.parametrize("line, read", [(1, ("<p> \n", "")), (2, ("<b>\n", " \t"))])
def test_read_code_line(suggest, line, read):
    assert suggest.read_code_line(code_lines=["<p> \n", " \t<b>\n"], line_number=line) == read


@pytest.mark.parametrize("line", [0, -1, 3])
def test_read_code_line_outside_the_template(suggest, line):
    with pytest.raises(IndexError):
        suggest.read_code_line(code_lines=["<p>\n", "<b>\n"], line_number=line)


@pytest.mark.parametrize("codes, settings, result", [
    ({"C7001"}, STATIC, "<img src=" + tag("a.png") + ">"),
    ({"C7000"}, STATIC, '<img src="/static/a.png">'),
    ({"C7001"}, {"STATIC_URL": ""}, '<img src="/static/a.png">'),
])
def test_get_suggestion_for_html(suggest, codes, settings, result):
    code = ' <img src="/static/a.png">\n'
    assert suggest.get_suggestion_for_html(code=code, message_ids=codes,
                                           settings=settings) == result


IMG = '<img src="/static/a.png" alt="">'
NEW_IMG = "<img src=" + tag("a.png") + ' alt="">'


@pytest.mark.parametrize("lines, line, codes, expected", [
    # Nothing to rewrite: no answer, the load tag included.
    (["<p>\n", "<img src='/media/a.png'>\n"], 2, {"C7001"}, []),
    (["<p>\n", "<img\n", '  src="/static/a.png">\n'], 2, {"C7001"}, []),
    (["<p>\n", IMG + "\n"], 2, {"C7000"}, []),
    # Loaded already: the line alone, at its own indentation.
    (["{% load static %}\n", "    " + IMG + "\n"], 2, {"C7001"}, [(2, 2, "    " + NEW_IMG)]),
    # No extends tag: the load tag goes before the first line.
    (["<!DOCTYPE html>\n", "<p>\n", IMG + "\n"], 3, {"C7001", "C7000"},
     [(3, 3, NEW_IMG), (1, 1, LOAD + "\n<!DOCTYPE html>")]),
    # After the line of the extends tag, wherever it stands; the line it goes before
    # keeps its layout.
    (['{# shop #}\n', '{% extends "base.html" %}\n', "  <p>  \n", IMG + "\n"], 4, {"C7001"},
     [(4, 4, NEW_IMG), (3, 3, LOAD + "\n  <p>  ")]),
    # A load tag below the finding, or only in a comment, loads nothing for it.
    (["<head>\n", '  <link rel="icon" href="/static/favicon.ico">\n', "  {% load static %}\n"],
     2, {"C7001"}, [(2, 2, '  <link rel="icon" href=' + tag("favicon.ico") + ">"),
                    (1, 1, LOAD + "\n<head>")]),
    (['{% extends "b" %}\n', "{% block page %}\n", IMG + "\n", "{% load static %}\n"], 3,
     {"C7001"}, [(3, 3, NEW_IMG), (2, 2, LOAD + "\n{% block page %}")]),
    (["{# {% load static %} #}\n", IMG + "\n"], 2, {"C7001"},
     [(2, 2, NEW_IMG), (1, 1, LOAD + "\n{# {% load static %} #}")]),
    (["{% comment %}{% load static %}{% endcomment %}\n", IMG + "\n"], 2, {"C7001"},
     [(2, 2, NEW_IMG), (1, 1, LOAD + "\n{% comment %}{% load static %}{% endcomment %}")]),
    ([IMG + "{% load static %}\n"], 1, {"C7001"}, [(1, 1, LOAD + "\n" + NEW_IMG + LOAD)]),
    # Loaded before it on its own line, or with other libraries, or without blanks.
    ([LOAD + IMG + "\n"], 1, {"C7001"}, [(1, 1, LOAD + NEW_IMG)]),
    (["{% load compress static hc_extras %}\n", IMG + "\n"], 2, {"C7001"}, [(2, 2, NEW_IMG)]),
    (["{%load static%}\n", IMG + "\n"], 2, {"C7001"}, [(2, 2, NEW_IMG)]),
    # A byte-order mark stays first.
    (["\ufeff<!DOCTYPE html>\n", IMG + "\n"], 2, {"C7001"},
     [(2, 2, NEW_IMG), (1, 1, "\ufeff" + LOAD + "\n<!DOCTYPE html>")]),
    # The finding on the line the tag goes before: one item holds both changes.
    (['{% extends "base.html" %}\n', "  " + IMG + "\n"], 2, {"C7001"},
     [(2, 2, LOAD + "\n  " + NEW_IMG)]),
    ([IMG + "\n"], 1, {"C7001"}, [(1, 1, LOAD + "\n" + NEW_IMG)]),
    # The line the tag goes before holds a static path too: it comes rewritten, so that
    # every finding of the template asks for the same item.
    (['{% extends "b" %}\n', IMG + "\n", "<p>\n", IMG + "\n"], 4, {"C7001"},
     [(4, 4, NEW_IMG), (2, 2, LOAD + "\n" + NEW_IMG)]),
    # Django takes no tag before the extends tag: a path there is left as it is.
    ([IMG + "\n", '{% extends "b" %}\n'], 1, {"C7001"}, []),
    ([IMG + '{% extends "b" %}\n'], 1, {"C7001"}, []),
    # The finding on the line of the extends tag: the load tag goes right after it.
    (['{% extends "b" %}' + IMG], 1, {"C7001"}, [(1, 1, '{% extends "b" %}' + LOAD + NEW_IMG)]),
    (['{% extends "b" %}' + IMG + "\n", "<p>\n"], 1, {"C7001"},
     [(1, 1, '{% extends "b" %}' + LOAD + NEW_IMG)]),
])
def test_get_suggestions_for_html(suggest, lines, line, codes, expected):
    before = list(lines)
    result = suggest.get_suggestions_for_html(code_lines=lines, line=line, message_ids=codes,
                                              settings=STATIC)
    assert [tuple(item) for item in result] == expected
    assert lines == before


# --- the road over a template project ---------------------------------------------------

ENGINE = Engine(libraries={"static": "django.templatetags.static"})


def static_findings(text, tmp_path):
    """(line, path) of the template checker's static-path findings in `text`."""
    target = tmp_path / "recheck.html"
    target.write_text(text)
    checker = templates.Checker()
    checker.check([str(target)])
    return [(m["line"], m["message"]["path"]) for m in checker.messages
            if m["message-id"] == "C7001" and m["message"]["path"].startswith("/assets/")]


@pytest.fixture
def gallery(tmp_path, enter_project, suggest):
    root = tmp_path / "gallery"
    shutil.copytree(GALLERY, root)
    enter_project(root)
    paths = sorted(str(p.relative_to(root)) for p in root.rglob("*.html"))
    checker = templates.Checker()
    checker.check(paths)
    comments = [{"path": m["path"], "line": m["line"], "message-id": m["message-id"],
                 "body": "{} {}".format(m["message-id"], m["message"]["path"])}
                for m in checker.messages]
    return root, comments, suggest.suggest_fixes(comments, str(root))


def test_gallery_comments(gallery):
    root, comments, result = gallery
    detail = [c for c in result if c["path"] == "templates/gallery/detail.html"]

    def new(name, alt):
        return "<img src=" + tag("img/" + name) + ' alt="' + alt + '">'

    assert [(c["line"], c["body"]) for c in detail] == [
        (3, "```suggestion\n" + LOAD + "\n" + new("ribbon.png", "") + "\n```"
            "\n\nC7001 /assets/img/ribbon.png"),
        (6, "```suggestion\n    " + new("harbour.jpg", "{{ picture.title }}")
            + "\n```\n\nC7001 /assets/img/harbour.jpg"),
        (7, "```suggestion\n    <video src=" + tag("video/intro.mp4")
            + " controls></video>\n```\n\nC7001 /assets/video/intro.mp4"),
    ]
    loaded = [c for c in result if c["path"] == "templates/gallery/loaded.html"]
    assert [c["line"] for c in loaded] == [5]
    # One finding comment per finding line, plus the load tag of base.html once.
    assert len(result) == len(comments) + 1


def test_gallery_suggestions_applied_give_templates_django_compiles(gallery, tmp_path):
    root, comments, result = gallery
    for path, suggestions in suggestion_blocks(result).items():
        lines = (root / path).read_text().splitlines(keepends=True)
        spans = sorted((first, last) for first, last, _ in suggestions)
        assert all(a[1] < b[0] for a, b in zip(spans, spans[1:])), (path, suggestions)
        fixed = apply_suggestions(lines, suggestions)
        ENGINE.from_string(fixed)
        assert static_findings(fixed, tmp_path) == [], path
        for first, last, text in suggestions:
            # Each one alone answers the findings of the lines it replaces, and no other.
            before = static_findings("".join(lines), tmp_path)
            after = static_findings(apply_suggestions(lines, [(first, last, text)]), tmp_path)
            kept = [found for found in before if not first <= found[0] <= last]
            assert [p for _, p in after] == [p for _, p in kept], (path, first)
