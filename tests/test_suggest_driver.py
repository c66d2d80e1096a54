"""The suggestion road's entry point: grouping, the per-call file cache, which producer
answers which file, and how suggestions become review comments."""
import collections
import logging
import os
import types

import pytest

import support
from korvane.staticanalysis import helpers, meta

FIXABLE = "C2003"  # field-null-not-blank: a model-field fix exists
FIXABLE_TOO = "C2000"
PLAIN = "C2001"  # tall-model: no fix


def finding(path, line, code=FIXABLE, body=None):
    return {"path": path, "line": line, "message-id": code,
            "body": body or "{}:{} {}".format(path, line, code)}


def block(text):
    return "```suggestion\n" + text + "\n```"


@pytest.fixture
def project(tmp_path, enter_project):
    root = tmp_path / "site"
    root.mkdir()
    return enter_project(root)


@pytest.fixture
def producers(suggest, monkeypatch):
    """Both producers replaced: each call is recorded, and answers the suggestions the
    test set for its (kind, line)."""
    seen = types.SimpleNamespace(calls=[], answers={})

    def producer(kind):
        def produce(**kwargs):
            seen.calls.append((kind, kwargs))
            return seen.answers.get((kind, kwargs["line"]), [])
        return produce

    monkeypatch.setattr(suggest, "get_suggestions_for_python", producer("py"), raising=False)
    monkeypatch.setattr(suggest, "get_suggestions_for_html", producer("html"))
    return seen


def test_project_values_are_read_once_in_order_even_for_no_input(suggest, monkeypatch):
    order = []

    def recorder(name, value):
        def read(*args, **kwargs):
            order.append((name, args, kwargs))
            return value
        return read

    monkeypatch.setattr(meta, "get_code_style", recorder("style", {}))
    monkeypatch.setattr(meta, "get_static_url_setting", recorder("static", "/s/"))
    monkeypatch.setattr(meta, "get_settings_modpath", recorder("settings", None))
    assert suggest.suggest_fixes([], "/nowhere") == []
    assert suggest.suggest_fixes(comments=iter([]), project_root="/nowhere") == []
    assert order == [("style", ("/nowhere",), {}), ("static", ("/nowhere",), {}),
                     ("settings", ("/nowhere",), {})] * 2


@pytest.mark.parametrize("start, end, expected", [
    (3, 3, {"body": "b", "path": "p.py", "side": "RIGHT", "line": 3}),
    (3, 5, {"body": "b", "path": "p.py", "side": "RIGHT", "start_line": 3, "line": 5}),
])
def test_build_comment(suggest, start, end, expected):
    for comment in (suggest.build_comment("p.py", start, end, "b"),
                    suggest.build_comment(path="p.py", start_line=start, end_line=end,
                                          body="b")):
        assert comment == expected
        assert list(comment) == list(expected)


@pytest.mark.parametrize("text", ["x = 1", "", "a\n  b", "caf\udce9"])
def test_markup_suggestion(suggest, text):
    assert suggest.markup_suggestion(text) == block(text)
    assert suggest.markup_suggestion(suggestion=text) == block(text)


def test_grouping_converts_lines_and_copies_items(suggest):
    items = [finding("a.py", 12, body="one"), finding("a.py", "12", body="two"),
             finding("b.py", 12.9, PLAIN), finding("a.py", " 12 ", body="three"),
             dict(finding("a.py", 3), extra=[1])]
    groups = suggest.group_comments_by_line(items)
    assert isinstance(groups, collections.defaultdict)
    assert list(groups) == [("a.py", 12), ("b.py", 12), ("a.py", 3)]
    assert [c["body"] for c in groups["a.py", 12]] == ["one", "two", "three"]
    copy = groups["a.py", 3][0]
    assert copy == items[4] and copy is not items[4] and copy["extra"] is items[4]["extra"]
    assert groups["c.py", 1] == []


@pytest.mark.parametrize("answer, expected", [
    ([], [(None, 10, ["f1", "f2"])]),
    # A suggestion over the finding line is folded into its comment, which takes its
    # lines: starting there, ending there, or holding it in between.
    ([(10, 12, "A")], [(10, 12, [block("A"), "f1", "f2"])]),
    ([(8, 10, "A")], [(8, 10, [block("A"), "f1", "f2"])]),
    ([(9, 11, "A")], [(9, 11, [block("A"), "f1", "f2"])]),
    ([[10, 10, "A"]], [(None, 10, [block("A"), "f1", "f2"])]),
    # Elsewhere, it is a comment of its own, before the finding's.
    ([(1, 1, "I")], [(None, 1, [block("I")]), (None, 10, ["f1", "f2"])]),
    ([(1, 1, "I"), (10, 11, "A"), (30, 31, "E")],
     [(None, 1, [block("I")]), (30, 31, [block("E")]), (10, 11, [block("A"), "f1", "f2"])]),
    # Only one block per comment: a second answer for the finding line gets a comment
    # of its own over its own lines, so that each block replaces the lines it covers.
    ([(10, 12, "A"), (12, 14, "B")],
     [(12, 14, [block("B")]), (10, 12, [block("A"), "f1", "f2"])]),
    ([(10, 12, "A"), (10, 10, "B")],
     [(None, 10, [block("B")]), (10, 12, [block("A"), "f1", "f2"])]),
])
def test_folding(suggest, producers, project, answer, expected):
    (project / "m.py").write_text("x = 1\n")
    producers.answers["py", 10] = answer
    comments = [finding("m.py", 10, PLAIN, "f1"), finding("m.py", 10, FIXABLE, "f2")]
    result = suggest.suggest_fixes(comments, str(project))
    assert [(c.get("start_line"), c["line"], c["body"].split("\n\n")) for c in result] == expected
    assert all(c["path"] == "m.py" and c["side"] == "RIGHT" for c in result)


def test_standalone_blocks_are_posted_once_per_file_line_and_text(suggest, producers, project):
    for name in ("a.py", "b.py"):
        (project / name).write_text("x = 1\n")
    producers.answers.update({
        ("py", 5): [(1, 1, "import os"), (5, 5, "five")],
        ("py", 7): [(1, 1, "import os"), (1, 2, "import sys"), (5, 5, "five")],
    })
    comments = [finding("a.py", 5), finding("a.py", 7), finding("b.py", 7)]
    result = suggest.suggest_fixes(comments, str(project))
    assert [(c["path"], c["line"], c["body"]) for c in result] == [
        ("a.py", 1, block("import os")),
        ("a.py", 5, block("five") + "\n\na.py:5 C2003"),
        # "import os" at line 1 and "five" at line 5 were posted already.
        ("a.py", 2, block("import sys")),
        ("a.py", 7, "a.py:7 C2003"),
        ("b.py", 1, block("import os")),
        ("b.py", 2, block("import sys")),
        ("b.py", 5, block("five")),
        ("b.py", 7, "b.py:7 C2003"),
    ]


def test_python_module_is_read_and_parsed_once_and_shared(suggest, producers, project,
                                                            monkeypatch):
    (project / "shop").mkdir()
    (project / "shop" / "models.py").write_text("A = 1\nB = 2\n")
    reads, builds = [], []
    read, build = helpers.read_code_from_file, helpers.build_atok
    monkeypatch.setattr(helpers, "read_code_from_file",
                        lambda path: reads.append(path) or read(path))
    monkeypatch.setattr(helpers, "build_atok",
                        lambda **kw: builds.append(kw) or build(**kw))
    path = os.path.join("shop", "models.py")
    comments = [finding(path, 1), finding(path, 2, FIXABLE_TOO), finding(path, 1, FIXABLE_TOO),
                finding(path, 2, PLAIN)]
    suggest.suggest_fixes(comments, str(project))
    assert reads == [path]
    assert builds == [{"source": "A = 1\nB = 2\n", "modname": "shop.models",
                       "absolute_path": path}]
    calls = producers.calls
    assert [(kind, kw["line"], kw["message_ids"]) for kind, kw in calls] == [
        ("py", 1, {FIXABLE, FIXABLE_TOO}), ("py", 2, {FIXABLE_TOO})]
    assert calls[0][1]["atok"] is calls[1][1]["atok"]
    assert sorted(calls[0][1]) == ["atok", "code_style", "line", "message_ids",
                                   "settings_modpath"]
    assert calls[0][1]["code_style"] == meta.get_code_style(str(project))


def test_template_lines_and_settings_reach_the_html_producer(suggest, producers, project):
    (project / "page.html").write_text("<p>\n<img src='/static/a.png'>\n")
    suggest.suggest_fixes([finding("page.html", 2, "C7001"), finding("page.html", 1, "C7001")],
                          str(project))
    assert producers.calls == [
        ("html", {"code_lines": ["<p>\n", "<img src='/static/a.png'>\n"], "line": line,
                  "message_ids": {"C7001"}, "settings": {"STATIC_URL": "/static/"}})
        for line in (2, 1)
    ]


@pytest.mark.parametrize("path, code", [
    ("missing.py", PLAIN), ("missing.html", "C7000"), ("page.htm", "C7001"),
    ("page.HTML", "C7001"), ("stubs.pyi", FIXABLE), ("notes.txt", FIXABLE),
])
def test_files_without_a_producer_are_never_read(suggest, producers, project, path, code):
    result = suggest.suggest_fixes([finding(path, 4, code, "text")], str(project))
    assert result == [{"body": "text", "path": path, "side": "RIGHT", "line": 4}]
    assert producers.calls == []


# Files a fixable finding may name that cannot be taken, each with the reason its
# warning gives.
UNTAKEABLE = [
    ("gone.py", None, "FileNotFoundError: [Errno 2] No such file or directory: 'gone.py'"),
    ("gone.html", None, "FileNotFoundError: [Errno 2] No such file or directory: 'gone.html'"),
    # newer syntax than the interpreter's
    ("routing.py", "def route(command):\n    match command:\n        case 'go':\n"
                   "            return 1\n", "AstroidSyntaxError: Parsing Python code failed:"),
    ("latin.py", b"NAME = '\xe9'\n", "SyntaxError: invalid or missing encoding declaration"),
]


@pytest.mark.parametrize("path, content, reason", UNTAKEABLE,
                         ids=[p for p, _, _ in UNTAKEABLE])
def test_a_file_it_cannot_take_drops_only_its_own_suggestions(suggest, project, caplog,
                                                              path, content, reason):
    if isinstance(content, str):
        (project / path).write_text(content)
    elif content is not None:
        (project / path).write_bytes(content)
    (project / "ok.py").write_text(
        "from django.db import models\n\n\nclass Shelf(models.Model):\n"
        "    rows = models.IntegerField(null=True)\n")
    code = "C7001" if path.endswith(".html") else FIXABLE
    comments = [finding(path, 1, code), finding("ok.py", 5), finding(path, 3, code)]
    with caplog.at_level(logging.WARNING, logger="korvane.staticanalysis.suggest"):
        result = suggest.suggest_fixes(comments, str(project))
    assert [c["body"].split("\n\n")[-1] for c in result] == [c["body"] for c in comments]
    assert "```suggestion" in result[1]["body"]
    assert "```suggestion" not in result[0]["body"] + result[2]["body"]
    # one warning for the file, naming it and why, on one line
    [warning] = [r.getMessage() for r in caplog.records]
    assert warning.startswith("Skipped suggestions for {}: {}".format(path, reason)), warning
    assert "\n" not in warning


def test_files_outside_the_project_are_never_read(suggest, producers, project, tmp_path,
                                                  caplog):
    secret = tmp_path / "secret.html"
    secret.write_text('<img src="/static/a.png">\n')
    (project / "templates").mkdir()
    (project / "templates" / "linked.html").symlink_to(secret)
    paths = ["../secret.html", str(secret), os.path.join("templates", "linked.html")]
    with caplog.at_level(logging.WARNING, logger="korvane.staticanalysis.suggest"):
        result = suggest.suggest_fixes([finding(p, 1, "C7001", "t") for p in paths],
                                       str(project))
    assert [(c["path"], c["body"]) for c in result] == [(p, "t") for p in paths]
    assert producers.calls == []
    assert [r.getMessage() for r in caplog.records] == [
        "Skipped suggestions for a file outside the project: " + p for p in paths]


@pytest.mark.parametrize("comments, error", [
    ([{"line": 1, "message-id": PLAIN, "body": ""}], KeyError),
    ([{"path": "a.py", "message-id": PLAIN, "body": ""}], KeyError),
    ([finding("a.py", "one")], ValueError),
    ([finding("a.py", None)], TypeError),
    ([{"path": "a.py", "line": 1, "body": ""}], KeyError),
    ([{"path": "a.py", "line": 1, "message-id": PLAIN}], KeyError),
    ([finding("a.py", 1, PLAIN, body=b"bytes"), finding("a.py", 1, PLAIN)], TypeError),
    ([finding(7, 1)], AttributeError),
])
def test_malformed_comments_raise(suggest, producers, project, comments, error):
    with pytest.raises(error):
        suggest.suggest_fixes(comments, str(project))
    assert producers.calls == []


@pytest.mark.parametrize("item", [(1, 2), (1, 2, "x", 4), ()])
def test_producer_items_hold_three_values(suggest, producers, project, caplog, item):
    (project / "m.py").write_text("x = 1\n")
    producers.answers["py", 1] = [(1, 1, "x = 2"), item]
    with caplog.at_level(logging.WARNING, logger="korvane.staticanalysis.suggest"):
        result = suggest.suggest_fixes([finding("m.py", 1, body="f")], str(project))
    # the answer is dropped whole: no block of it, the comment stays
    assert result == [{"body": "f", "path": "m.py", "side": "RIGHT", "line": 1}]
    [warning] = [r.getMessage() for r in caplog.records]
    assert warning.startswith("Skipped the suggestion for m.py:1: ValueError: "), warning


def test_callers_items_are_left_alone_and_texts_pass_unchanged(suggest, producers, project):
    (project / "m.py").write_text("x = 1\n")
    producers.answers["py", 1] = [(1, 1, "y = 'caf\udce9'")]
    items = [finding("m.py", "1", body="caf\udce9 \ud800")]
    before = [dict(item) for item in items]
    result = suggest.suggest_fixes(items, str(project))
    assert items == before
    assert result[0]["body"] == block("y = 'caf\udce9'") + "\n\ncaf\udce9 \ud800"


@pytest.mark.parametrize(
    "data, expected",
    [
        # read as the interpreter reads a module: the coding cookie
        (b"# -*- coding: latin-1 -*-\nfrom django.db import models\n\n\nclass Shop(models.Model):\n"
         b"    caf\xe9 = models.IntegerField(null=True)\n",
         "    caf\u00e9 = models.IntegerField(null=True, blank=True)"),
        # a byte-order mark is no source text, and stays at the start of line 1
        (b"\xef\xbb\xbffrom django.db import models\n\n\nclass Shop(models.Model):\n"
         b"    pages = models.IntegerField(null=True)\n",
         "    pages = models.IntegerField(null=True, blank=True)"),
    ],
    ids=["latin-1", "byte-order-mark"],
)
def test_module_is_read_as_the_interpreter_reads_it(suggest, project, data, expected):
    (project / "shop").mkdir()
    (project / "shop" / "models.py").write_bytes(data)
    [comment] = suggest.suggest_fixes(
        [{"path": os.path.join("shop", "models.py"), "line": 6 if b"coding" in data else 5,
          "message-id": "C2003", "body": "C2003"}], str(project))
    assert "```suggestion\n" + expected + "\n```" in comment["body"]


def test_files_it_cannot_take_are_skipped_with_a_warning(suggest, project, caplog):
    (project / "bad.html").write_bytes(b"<p>\xff</p>\n<img src='/static/a.png'>\n")
    os.mkfifo(str(project / "pipe.py"))
    (project / "ok.py").write_text("A = 1\n")
    comments = [finding("bad.html", 2, "C7001"), finding("pipe.py", 1), finding("ok.py", 0)]
    with caplog.at_level(logging.WARNING, logger="korvane.staticanalysis.suggest"):
        result = suggest.suggest_fixes(comments, str(project))
    # each finding keeps its comment, none gets a suggestion; the pipe is never opened
    assert [c["body"] for c in result] == [c["body"] for c in comments]
    assert [r.getMessage() for r in caplog.records] == [
        "Skipped suggestions for bad.html: it does not decode as UTF-8",
        "Skipped suggestions for pipe.py: it is not a regular file"]


@pytest.mark.parametrize("code, suggested", [
    # a finding no fix answers: the pragma still names its symbol
    ("C2005", "    author = models.ForeignKey('Author', on_delete=models.CASCADE)"
              "  # korvane: disable=missing-related-name"),
    # a finding on the module as a whole: no pragma at all
    ("C3000", None),
    # a finding without a symbol: a pragma would name nothing
    ("E0001", None),
])
def test_disable_pragma_names_the_finding_of_every_code(suggest, project, code, suggested):
    (project / "shop").mkdir()
    path = os.path.join("shop", "models.py")
    (project / path).write_text(
        "from django.db import models\n\n\nclass Book(models.Model):\n"
        "    author = models.ForeignKey('Author', on_delete=models.CASCADE)\n")
    line = 1 if code == "C3000" else 5
    [comment] = suggest.suggest_fixes([finding(path, line, code), finding(path, line, "C0000")],
                                      str(project))
    blocks = [block(suggested)] if suggested else []
    assert comment["body"].split("\n\n")[:-2] == blocks


# --- one finding that fails ----------------------------------------------------------

API = """from django.http import JsonResponse
from django.urls import reverse_lazy


def back(request):
    return JsonResponse({"next": str(reverse_lazy("shelf:list"))})


def detail_link(request, pk):
    return JsonResponse({"href": str(reverse_lazy("shelf:detail", args=[pk]))})
"""


def fails_on_line(real, line, error):
    """The renderer `real`, raising `error` for the statement of the given line."""
    def failing(atok, node, **options):
        if node.fromlineno == line:
            raise error
        return real(atok=atok, node=node, **options)
    return failing


def half_done_fix(real, urls):
    """The reverse_lazy fix, which on line 6 edits the module's import and then fails."""
    def fix(node):
        if node.fromlineno == 6:
            urls.ensure_import(node.root(), "reverse", "from django.urls import reverse")
            raise RuntimeError("the fix gave\nup")
        return real(node)
    return fix


@pytest.mark.parametrize("stage", ["fix", "rendering"])
def test_a_failing_finding_drops_only_its_own_suggestion(suggest, project, caplog,
                                                         monkeypatch, stage):
    from korvane.staticanalysis.checkers import urls

    (project / "api.py").write_text(API)
    if stage == "fix":
        monkeypatch.setattr(urls, "transform_reverse_lazy_to_reverse",
                            half_done_fix(urls.transform_reverse_lazy_to_reverse, urls))
        reason = "RuntimeError: the fix gave up"
    else:
        monkeypatch.setattr(suggest, "edited_text", fails_on_line(
            suggest.edited_text, 6, ValueError("the fixed code does not tokenize")))
        reason = "ValueError: the fixed code does not tokenize"
    comments = [finding("api.py", 6, "C6002", "six"), finding("api.py", 10, "C6002", "ten")]
    with caplog.at_level(logging.WARNING, logger="korvane.staticanalysis.suggest"):
        result = suggest.suggest_fixes(comments, str(project))
    assert [r.getMessage() for r in caplog.records] == [
        "Skipped the suggestion for api.py:6: " + reason]
    assert result[0] == {"body": "six", "path": "api.py", "side": "RIGHT", "line": 6}
    # The other finding's suggestions carry the import its fix needs, and nothing of
    # the failed one: its half edit of the shared tree is gone.
    [suggestions] = support.suggestion_blocks(result[1:]).values()
    fixed = support.apply_suggestions(API.splitlines(True), suggestions)
    assert fixed == API.replace("import reverse_lazy", "import reverse, reverse_lazy").replace(
        'str(reverse_lazy("shelf:detail"', 'str(reverse("shelf:detail"')


def test_a_failed_finding_leaves_no_edit_in_a_later_one_of_its_statement(suggest, project,
                                                                        monkeypatch):
    (project / "shop").mkdir()
    path = os.path.join("shop", "views.py")
    (project / path).write_text(
        "from django.db import models\n"
        "from django.http import JsonResponse\n"
        "from django.urls import reverse_lazy\n\n\n"
        "class Book(models.Model):\n"
        "    title = models.CharField(max_length=40)\n\n\n"
        "def shelf(request):\n"
        "    return JsonResponse({\n"
        "        \"count\": len(Book.objects.filter(title=\"a\")),\n"
        "        \"next\": str(reverse_lazy(\"shelf:list\")),\n"
        "    })\n")
    calls = []
    real = suggest.edited_text

    def fails_first(atok, node, **options):
        calls.append(node)
        if len(calls) == 1:
            raise ValueError("the fixed code does not tokenize")
        return real(atok=atok, node=node, **options)

    monkeypatch.setattr(suggest, "edited_text", fails_first)
    result = suggest.suggest_fixes([finding(path, 12, "C9000"), finding(path, 13, "C6002")],
                                   str(project))
    own = [c for c in result if c["line"] == 12]
    assert own == [{"body": "{}:12 C9000".format(path), "path": path, "side": "RIGHT",
                    "line": 12}]
    # the statement's suggestion for the other finding holds its fix alone
    [statement] = [text for first, _, text in support.suggestion_blocks(result)[path]
                   if first == 11]
    assert 'reverse("shelf:list")' in statement
    assert 'len(Book.objects.filter(title="a"))' in statement


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit, MemoryError])
def test_interrupts_pass_through_a_finding(suggest, project, monkeypatch, error):
    (project / "api.py").write_text(API)
    monkeypatch.setattr(suggest, "edited_text", fails_on_line(suggest.edited_text, 6, error()))
    with pytest.raises(error):
        suggest.suggest_fixes([finding("api.py", 6, "C6002")], str(project))
