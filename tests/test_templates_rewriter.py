import html.parser

import pytest

from korvane.staticanalysis.checkers import templates

SETTINGS = {"STATIC_URL": "/static/"}


def rewrite(text, settings=SETTINGS):
    return templates.hard_coded_static_url_to_static_tag(text, templates.Visitor(settings))


@pytest.mark.parametrize("text, expected", [
    ('<img src="/static/img/logo.png" alt="Logo">\n',
     '<img src=\'{% static "img/logo.png" %}\' alt="Logo">\n'),
    ("<img src='/static/a.png'>", "<img src='{% static \"a.png\" %}'>"),
    ('<IMG SRC="/static/a.png">', "<IMG SRC='{% static \"a.png\" %}'>"),
    ('<link rel="stylesheet" href="/static/c.css">', "<link rel=\"stylesheet\" href='{% static \"c.css\" %}'>"),
    ('<img src="/static/">', "<img src='{% static \"\" %}'>"),
    ('<img alt="é" src="/static/ü.png"> ñ', "<img alt=\"é\" src='{% static \"ü.png\" %}'> ñ"),
    ('<img src="/static/a.png"><video src="/static/a.png">',
     "<img src='{% static \"a.png\" %}'><video src='{% static \"a.png\" %}'>"),
    ('<img src><script src="/static/a.js"></script>', "<img src><script src='{% static \"a.js\" %}'></script>"),
    # The prefix must lead the value, and only that leading copy goes.
    ('<img src="/static/a/static/b.png">', "<img src='{% static \"a/static/b.png\" %}'>"),
    ('<img src="/static//static/x.png"><img src="/static/x.png">',
     "<img src='{% static \"/static/x.png\" %}'><img src='{% static \"x.png\" %}'>"),
    # A query or a fragment follows the tag, which would quote it into the path.
    ('<script src="/static/js/b.js?v=2"></script>',
     "<script src='{% static \"js/b.js\" %}?v=2'></script>"),
    ('<img src="/static/img/icons.svg#cart">', "<img src='{% static \"img/icons.svg\" %}#cart'>"),
    ('<link href="/static/c.css?v={{ version }}#top">',
     "<link href='{% static \"c.css\" %}?v={{ version }}#top'>"),
])
def test_rewrites_quoted_static_paths(text, expected):
    assert rewrite(text) == expected


@pytest.mark.parametrize("text", [
    '<img src="/img/logo.png" alt="Logo">\n',
    '<img src="/assets/static/x.png">',
    '<img src="static/x.png">',
    '<link href="static/c.css"><a href="/static/x">',
    '<iframe src="/static/x"><img href="/static/y">',
    '<img src="&#47;static/x.png">',
    '<p>\n<img src="/static/cut.png"',
    # Occurrences that are not a quoted value stay; none of them raises.
    '<img src=/static/a.png>',
    '<img src=/static/a.png alt=x>',
    '/static/a.png"<img src=/static/a.png>',
    '<img src=/static/a.png>"/static/a.png\'',
    '<img src="/static/it\'s.png">',
    "<img src='/static/a\"b.png'>",
    '<script src="/static/js/b.js?v=\'2\'"></script>',
    # The tag would escape a percent escape again, and take template syntax as text.
    '<img src="/static/my%20photo.jpg">',
    '<img src="/static/{{ theme }}/logo.png">',
])
def test_leaves_unsafe_or_foreign_values(text):
    assert rewrite(text) == text


@pytest.mark.parametrize("text, expected", [
    # A copy at the very start of the text has no quote before it.
    ('/static/a.png" <img src="/static/a.png">', "/static/a.png\" <img src='{% static \"a.png\" %}'>"),
    # A copy inside another attribute keeps its neighbours.
    ('<img src="/static/a.png" data-x="x/static/a.png">',
     "<img src='{% static \"a.png\" %}' data-x=\"x/static/a.png\">"),
    ('<img src="/static/a.png" data-x="/static/a.png.bak">',
     "<img src='{% static \"a.png\" %}' data-x=\"/static/a.png.bak\">"),
    # Adjacent copies: only the quoted one is replaced.
    ('<img src="/static/a.png"/static/a.png"">', "<img src='{% static \"a.png\" %}'/static/a.png\"\">"),
])
def test_other_occurrences_are_left_alone(text, expected):
    assert rewrite(text) == expected


def test_settings_key_read_only_for_collected_values():
    assert rewrite('<a href="/static/x">', settings={}) == '<a href="/static/x">'
    with pytest.raises(KeyError):
        rewrite('<img src="x.png">', settings={})


def test_keyword_call_and_unchanged_identity():
    text = '<img src="/img/a.png">\n'
    visitor = templates.Visitor(settings=SETTINGS)
    assert templates.hard_coded_static_url_to_static_tag(html=text, visitor=visitor) is text


@pytest.mark.parametrize("text, expected", [
    ('<img src="" alt="/a"><img src="rel.png"><embed src="/e">', ["", "rel.png", "/e"]),
    ('<link href=""><link href="rel.css"><link href="/c.css" href="/d.css">', ["/c.css", "/d.css"]),
    ('<a href="/x"><img href="/y"><link src="/z"><img src>', []),
    ('<img src="/a"><SOURCE SRC="/b"/><track src="/c"><script src="/d">"<img src=/e>"</script>',
     ["/a", "/b", "/c", "/d"]),
])
def test_mutator_collects(text, expected):
    mutator = templates.HardCodedStaticUrlToStaticTagHTMLMutator()
    mutator.feed(text)
    assert mutator.results == expected


def test_mutator_classes():
    cls = templates.HardCodedStaticUrlToStaticTagHTMLMutator
    assert cls.__bases__ == (templates.BaseHTMLMutator,)
    assert templates.BaseHTMLMutator.__bases__ == (html.parser.HTMLParser,)
    own = vars(cls)
    for alias in ["visit_audio", "visit_embed", "visit_img", "visit_input",
                  "visit_script", "visit_source", "visit_track", "visit_video"]:
        assert own[alias] is own["visit_element_with_src"]
    base = templates.BaseHTMLMutator(convert_charrefs=False)
    assert base.results == [] and base.convert_charrefs is False
    base.feed('<img src="/a">')
    assert base.results == []


def test_visitor_runs_mutators_in_order():
    calls = []

    def first(html, visitor):
        calls.append(("first", html, visitor))
        return html + "1"

    def second(*, html, visitor):
        calls.append(("second", html, visitor))
        return html + "2"

    visitor = templates.Visitor(SETTINGS)
    assert visitor.settings is SETTINGS and visitor.mutators == []
    text = "x"
    assert visitor.visit(text) is text
    visitor.mutators += [first, second]
    assert visitor.visit(html="x") == "x12"
    assert calls == [("first", "x", visitor), ("second", "x1", visitor)]


@pytest.mark.parametrize("codes, count", [
    ({"C7001", "C7000"}, 1), (["C7001", "C7001"], 2), ({"C7000", "C2003"}, 0), ((), 0),
])
def test_build_transformer_visitor(codes, count):
    visitor = templates.build_transformer_visitor(message_ids=codes, settings=SETTINGS)
    assert isinstance(visitor, templates.Visitor) and visitor.settings is SETTINGS
    assert visitor.mutators == [templates.hard_coded_static_url_to_static_tag] * count
    text = '<img src="/static/a.png">\n'
    expected = "<img src='{% static \"a.png\" %}'>\n" if count else text
    assert visitor.visit(text) == expected
    assert templates.build_transformer_visitor(codes, SETTINGS).mutators == visitor.mutators
