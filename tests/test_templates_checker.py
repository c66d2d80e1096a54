import html.parser
import locale
import os

import pytest

import support
from korvane.staticanalysis import helpers
from korvane.staticanalysis.checkers import templates
from support import html_record as record
FIXTURES = os.path.join(os.path.dirname(__file__), "fixtures", "templates")
RECORD_KEYS = ["path", "line", "message", "type", "column", "module", "symbol", "hint", "message-id"]


def check_text(tmp_path, text, name="t.html"):
    target = tmp_path / name
    target.write_text(text, encoding="utf-8")
    checker = templates.Checker()
    checker.check([str(target)])
    return [(m["line"], m["column"], m["message-id"], m["message"]) for m in checker.messages]


def test_page_gives_exact_records():
    path = os.path.join(FIXTURES, "page.html")
    checker = templates.Checker()
    assert checker.check([path]) is None
    assert checker.messages == [
        record(path, 4, 2, "C7001", {"path": "/static/css/site.css"}),
        record(path, 7, 0, "C7000", {}),
        record(path, 10, 1, "C7001", {"path": "/media/logo.png"}),
        record(path, 11, 0, "C7001", {"path": "/static/img/hero.jpg"}),
        record(path, 14, 0, "C7001", {"path": "/static/js/app.js"}),
    ]
    assert all(list(m) == RECORD_KEYS for m in checker.messages)
    assert checker.current_file_path == path


def test_layout_reports_nothing_inside_django_comments():
    # A comment block holding hard-coded links, one-line comments, and real findings
    # after them on the lines and columns where they stand in the file.
    path = os.path.join(FIXTURES, "layout.html")
    checker = templates.Checker()
    checker.check([path])
    assert checker.messages == [
        record(path, 20, 2, "C7000", {}),
        record(path, 20, 68, "C7000", {}),
        record(path, 23, 69, "C7001", {"path": "/static/js/cart.js"}),
        record(path, 25, 2, "C7000", {}),
        record(path, 26, 2, "C7001", {"path": "/static/img/badge.png"}),
    ]


@pytest.mark.parametrize("value, expected", [
    (None, False), ("", False), ("/", False), ("//cdn.example.org/x", False),
    ("https://example.org/", False), ("img/a.png", False), (" /a", False),
    ("{% url 'home' %}", False), ("/a", True), ("/{{ user.id }}/", True), ("/static/", True),
])
def test_is_hardcoded_path(value, expected):
    assert bool(templates.is_hardcoded_path(value)) is expected
    assert bool(templates.is_hardcoded_path(value=value)) is expected


@pytest.mark.parametrize("text, expected", [
    ("<a>x</a><a href>y</a><a href=''>z</a>", []),
    ('<a href="/">x</a><a href="rel/p">y</a><a href="{{ u }}">z</a>', []),
    ('<a href="/{{ u }}">x</a>', [(1, 0, "C7000", {})]),
    ('<A HREF="/x">x</A>', [(1, 0, "C7000", {})]),
    ('<a href="&#47;x">x</a>', [(1, 0, "C7000", {})]),
    ('<img src="&#47;x.png">', [(1, 0, "C7001", {"path": "/x.png"})]),
    ('<img src="/x.png"/>', [(1, 0, "C7001", {"path": "/x.png"})]),
    ('<a src="/x">x</a><link src="/y"><img href="/z"><iframe src="/f"><form action="/p">', []),
    ('<element_with_src src="/e">', [(1, 0, "C7001", {"path": "/e"})]),
    ('<a href="/x" href="/y">x</a>', [(1, 0, "C7000", {}), (1, 0, "C7000", {})]),
    ('<img src="/x" href="/y">', [(1, 0, "C7001", {"path": "/x"})]),
    ('<style>a { background: url("<img src=/s>") }</style><p></a href="/e"></p>', []),
    ("<script src='/a.js'>'<img src=\"/b\">'</script><!-- <img src=/c> -->",
     [(1, 0, "C7001", {"path": "/a.js"})]),
    ('ab\n\n    <link\n  rel="x"\n  href="/c.css">', [(3, 4, "C7001", {"path": "/c.css"})]),
    ('\t<video src="/v.mp4">', [(1, 1, "C7001", {"path": "/v.mp4"})]),
    # Django comments: blocks with free spacing and an optional note, one-line comments.
    ('{% comment %}<a href="/a">{% endcomment %}<a href="/b">', [(1, 42, "C7000", {})]),
    ('{%comment%}<a href="/a">{%endcomment%}', []),
    ('{%  comment  \'draft\' %}\n<img src="/a.png">\n{%   endcomment %}', []),
    ('{# <a href="/a"> #}<a href="/b">', [(1, 19, "C7000", {})]),
    ('{#<img src="/a.png">#}{# #}', []),
    # Blocks do not nest: the first end tag closes the block.
    ('{% comment %}{% comment %}<a href="/a">{% endcomment %}<a href="/b">', [(1, 55, "C7000", {})]),
    # Neither an end tag with more words nor a longer tag name is a comment tag.
    ('{% comment %}{% endcomment now %}<a href="/a">{% endcomment %}', []),
    ('{% commentary %}<a href="/a">{% endcommentary %}', [(1, 16, "C7000", {})]),
    # A tag cannot span lines: a one-line comment or a tag broken by a line end is text.
    ('{# <a href="/a">\n #}', [(1, 3, "C7000", {})]),
    ('{% comment\n %}<a href="/a">{% endcomment %}', [(2, 3, "C7000", {})]),
    # An unclosed block is not a comment; one-line comments after it still are.
    ('{% comment %}\n<a href="/a">{# <a href="/b"> #}', [(2, 0, "C7000", {})]),
    # Tags are found left to right: a "{#" inside a variable tag starts no comment.
    ('{{ "{# x" }}<a href="/a"> #}', [(1, 12, "C7000", {})]),
    # Inside verbatim the comment tags are text that Django prints as it stands.
    ('{% verbatim %}{% comment %}<a href="/a">{% endcomment %}{% endverbatim %}',
     [(1, 27, "C7000", {})]),
    ('{% comment %}{% verbatim %}{% endcomment %}<a href="/a">{% endverbatim %}{% endcomment %}', []),
    # A "<" inside a comment opens no tag, and a tag opened before a block keeps its place.
    ('<a {% comment %}>{% endcomment %} href="/a">', [(1, 0, "C7000", {})]),
    ('<a href="/a"\n  {% comment %}\n<img src="/b.png">\n{% endcomment %}>', [(1, 0, "C7000", {})]),
    ('<p>{% comment %}\n\u00e9\t<img src="/a">\n{% endcomment %}\t<img src="/b"></p>',
     [(3, 17, "C7001", {"path": "/b"})]),
])
def test_rules(tmp_path, text, expected):
    assert check_text(tmp_path, text) == expected


@pytest.mark.parametrize("tag", ["audio", "embed", "img", "input", "script", "source", "track", "video"])
def test_every_source_tag_is_checked(tmp_path, tag):
    assert check_text(tmp_path, '<%s src="/m">' % tag) == [(1, 0, "C7001", {"path": "/m"})]


@pytest.mark.parametrize("newline", ["\r\n", "\r", "\n"])
def test_line_ends_count_once(tmp_path, newline):
    target = tmp_path / "t.html"
    target.write_bytes(newline.join(["<p>", "", '<a href="/x">']).encode())
    checker = templates.Checker()
    checker.check([str(target)])
    assert [(m["line"], m["column"]) for m in checker.messages] == [(3, 0)]


@pytest.mark.parametrize("newline", ["\r\n", "\r", "\n"])
def test_comment_blocks_keep_lines_after_them(tmp_path, newline):
    lines = ["<p>", "{% comment %}", '<a href="/x">', "", "{% endcomment %}", '  <a href="/y">']
    target = tmp_path / "t.html"
    target.write_bytes(newline.join(lines).encode())
    checker = templates.Checker()
    checker.check([str(target)])
    assert [(m["line"], m["column"]) for m in checker.messages] == [(6, 2)]


def test_unclosed_tags_on_a_long_line_do_not_hang(tmp_path):
    target = tmp_path / "t.html"
    target.write_text("{%" * 100000 + "{#" * 100000 + "{{" * 100000 + '<a href="/x">')
    script = (
        "import sys\n"
        "from korvane.staticanalysis.checkers import templates\n"
        "c = templates.Checker()\n"
        "c.check([sys.argv[1]])\n"
        "print([(m['line'], m['column']) for m in c.messages])\n"
    )
    done = support.run_fresh("-c", script, str(target), timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "[(1, 600000)]"


def test_mappings_shared_only_for_context_free_findings(tmp_path):
    target = tmp_path / "t.html"
    target.write_text('<a href="/a"><a href="/b"><img src="/c"><img src="/d">')
    checker = templates.Checker()
    checker.check([str(target)])
    first, second, third, fourth = (m["message"] for m in checker.messages)
    assert first is second and first == {}
    assert third is not fourth


def undecodable(path, data):
    """Writes `data` to `path`; skips the test where the locale's encoding reads it."""
    path.write_bytes(data)
    try:
        data.decode(locale.getpreferredencoding(False))
    except UnicodeDecodeError:
        return path
    pytest.skip("the locale's encoding decodes every byte")


def test_files_are_independent_and_undecodable_ones_skipped(tmp_path):
    cut = tmp_path / "cut.html"
    cut.write_text('<p>\n<img src="/never.png"')
    bad = undecodable(tmp_path / "bad.html", b'<a href="/x">\xff\xfe\x80</a>')
    good = tmp_path / "good.html"
    good.write_text('<a href="/y">')
    checker = templates.Checker()
    checker.check([str(cut), str(bad), str(good)])
    assert [(m["path"], m["line"], m["column"]) for m in checker.messages] == [(str(good), 1, 0)]
    checker.check([str(good), str(bad)])
    assert [m["path"] for m in checker.messages] == [str(good)]
    assert checker.current_file_path == str(bad)
    checker.check([])
    assert checker.messages == []


@pytest.mark.parametrize("missing, error", [("nope.html", FileNotFoundError), ("", IsADirectoryError)])
def test_unopenable_path_stops_check(tmp_path, missing, error):
    good = tmp_path / "good.html"
    good.write_text('<a href="/y">')
    later = tmp_path / "later.html"
    later.write_text('<a href="/z">')
    checker = templates.Checker()
    target = str(tmp_path / missing) if missing else str(tmp_path)
    with pytest.raises(error):
        checker.check([str(good), target, str(later)])
    assert [m["path"] for m in checker.messages] == [str(good)]


def test_classes_and_catalogue():
    assert issubclass(templates.BaseTemplateChecker, html.parser.HTMLParser)
    assert templates.Checker.__bases__ == (templates.BaseTemplateChecker,)
    assert templates.Checker.__module__ == "korvane.staticanalysis.checkers.templates"
    assert (templates.Codes.C7000, templates.Codes.C7001) == ("C7000", "C7001")
    msgs = templates.Checker.msgs
    assert list(msgs) == ["C7000", "C7001"]
    assert [entry[1:] for entry in msgs.values()] == [
        ("hard-coded-url", "Check if hard-coded url is used in template"),
        ("hard-coded-static-url", "Check if hard-coded static url is used in template"),
    ]
    for template, _symbol, _description in msgs.values():
        assert isinstance(template, helpers.context_string) and template == ""
    own = vars(templates.Checker)
    for alias in ["visit_audio", "visit_embed", "visit_img", "visit_input",
                  "visit_script", "visit_source", "visit_track", "visit_video"]:
        assert own[alias] is own["visit_element_with_src"]
    checker = templates.Checker()
    assert checker.getpos() == (1, 0)
    assert not hasattr(checker, "messages") and not hasattr(checker, "current_file_path")


def test_add_message_calls():
    checker = templates.Checker()
    checker.messages = []
    checker.current_file_path = "x.html"
    context = {"path": "/p"}
    checker.add_message("C7001", args=context)
    checker.add_message(code="C7000")
    checker.add_one_message("C7001", context)
    assert [m["message"] for m in checker.messages] == [context, {}, context]
    assert checker.messages[0]["message"] is context
    with pytest.raises(KeyError):
        checker.add_message("C9999")


def test_handle_starttag_dispatches_by_name():
    checker = templates.Checker()
    checker.messages = []
    checker.current_file_path = "x.html"
    checker.handle_starttag("iframe", [("src", "/x")])
    checker.handle_starttag(tag="link", attrs=[("href", "/y")])
    assert [m["message"] for m in checker.messages] == [{"path": "/y"}]


class OlderParserChecker(templates.Checker):
    """A checker on a parser that fails an assertion on a declaration, as older
    releases of the standard parser did on markup they did not expect."""

    def parse_html_declaration(self, i):
        raise AssertionError("unexpected call to parse_html_declaration()")


PAGE_WITH_IE_BLOCK = """{% extends "base.html" %}
{% block content %}
<a href="/orders/">Orders</a>
<![ if !IE]>
<link rel="stylesheet" href="/static/css/modern.css">
<![endif]>
<img src="/static/img/logo.png">
{% endblock %}
"""


@pytest.mark.parametrize(
    "checker_class, text, error",
    [
        (templates.Checker, PAGE_WITH_IE_BLOCK, "NotImplementedError"),
        (templates.Checker, '<a href="/shop/">Shop</a>\n<![ foo [ x ]]>\n', "NotImplementedError"),
        (OlderParserChecker, '<a href="/shop/">Shop</a>\n<!DOCTYPE html>\n', "AssertionError"),
    ],
)
def test_template_the_parser_rejects_is_skipped(tmp_path, caplog, checker_class, text, error):
    before = tmp_path / "before.html"
    before.write_text('<a href="/before/">x</a>\n')
    rejected = tmp_path / "rejected.html"
    rejected.write_text(text)
    after = tmp_path / "after.html"
    after.write_text('<p>\n<img src="/static/after.png">\n')
    checker = checker_class()
    with caplog.at_level("WARNING", logger="korvane.staticanalysis.checkers.templates"):
        checker.check([str(before), str(rejected), str(after)])
    # The records found in the rejected template before the parser gave up are dropped
    # with it; the next template starts at line 1 with an empty buffer.
    assert [(m["path"], m["line"], m["message-id"]) for m in checker.messages] == [
        (str(before), 1, "C7000"),
        (str(after), 2, "C7001"),
    ]
    [warning] = caplog.records
    assert warning.levelname == "WARNING"
    assert warning.name == "korvane.staticanalysis.checkers.templates"
    assert str(rejected) in warning.getMessage() and error in warning.getMessage()


def test_undecodable_template_is_skipped_with_a_warning(tmp_path, caplog):
    latin = undecodable(tmp_path / "menu.html",
                        '<h1>Caf\u00e9 men\u00fc</h1>\n<a href="/carte/">carte</a>\n'.encode("latin-1"))
    good = tmp_path / "good.html"
    good.write_text('<a href="/y">')
    checker = templates.Checker()
    with caplog.at_level("WARNING", logger="korvane.staticanalysis.checkers.templates"):
        checker.check([str(latin), str(good)])
    assert [m["path"] for m in checker.messages] == [str(good)]
    [warning] = caplog.records
    assert str(latin) in warning.getMessage() and "decode" in warning.getMessage()
    assert templates.logger.name == "korvane.staticanalysis.checkers.templates"
