import io
import os
import re
import shutil
import sys
import types
from pathlib import Path

import pytest

import support
from korvane import host
from support import html_record as html

FIXTURES = Path(__file__).parent / "fixtures" / "host"
FINDING = re.compile(
    r"^(?P<path>[^:]+):(?P<line>\d+):(?P<column>\d+): "
    r"(?P<code>[CE]\d{4}) (?P<symbol>[a-z-]+) (?P<text>.*)$"
)
SUMMARY = re.compile(r"^(?P<count>\d+) findings?, (?P<files>\d+) files? checked"
                     r"(, (?P<unanalysed>\d+) not analysed)?$")


def run_host(*args, cwd=None):
    return support.run_fresh("-m", "korvane.host", *args, cwd=cwd, timeout=600)


def lint(path, line, column, code, symbol, message):
    return {
        "type": "convention", "module": "m", "obj": "", "line": line, "column": column,
        "path": path, "symbol": symbol, "message": message, "message-id": code,
    }


WORDINGS = types.SimpleNamespace(
    C2006="Field %(name)s allows %(value)s characters.",
    C7001="Static path %(path)r is hard-coded.",
    C7000="Hard-coded URL.",
    C1000="Django %(minor)s (%(specs)s).",
)
SYMBOLS = {"C2006": "huge-max-length", "C7000": "hard-coded-url", "C7001": "hard-coded-static-url"}


def test_report_sorts_formats_and_summarises():
    records = [
        lint("web/views.py", 9, 4, "C2006", "huge-max-length", {"name": "title", "value": 600}),
        lint("web/models.py", 12, 4, "E0001", "syntax-error", "Syntax Error"),
        lint("web/models.py", 3, 8, "C2006", "huge-max-length", {"name": "isbn", "value": 999}),
        html("templates/a.html", 7, 2, "C7001", {"path": "/static/a.png"}),
        html("templates/a.html", 7, 0, "C7000", {}),
        {"message-id": "C1000", "path": "requirements.txt", "message_type": "meta",
         "body": {"specs": "==3.2.25", "minor": "3.2", "matching_versions": ["3.2.25"]}},
    ]
    out = io.StringIO()
    assert host.report(records, 4, WORDINGS, SYMBOLS, out) == 5
    assert out.getvalue().splitlines() == [
        "templates/a.html:7:0: C7000 hard-coded-url Hard-coded URL.",
        "templates/a.html:7:2: C7001 hard-coded-static-url"
        " Static path '/static/a.png' is hard-coded.",
        "web/models.py:3:8: C2006 huge-max-length Field isbn allows 999 characters.",
        "web/models.py:12:4: E0001 syntax-error Syntax Error",
        "web/views.py:9:4: C2006 huge-max-length Field title allows 600 characters.",
        "requirements.txt:0:0: C1000 meta Django 3.2 (==3.2.25).",
        "5 findings, 4 files checked",
    ]


def test_finding_comments_carry_the_printed_lines_in_printed_order():
    records = [
        lint("web/views.py", 9, 4, "C2006", "huge-max-length", {"name": "title", "value": 600}),
        html("templates/a.html", 7, 2, "C7001", {"path": "/static/a.png"}),
        {"message-id": "C1000", "path": "requirements.txt", "message_type": "meta",
         "body": {"specs": "==3.2.25", "minor": "3.2", "matching_versions": ["3.2.25"]}},
    ]
    assert host.finding_comments(records, WORDINGS, SYMBOLS) == [
        {"path": "templates/a.html", "line": 7, "message-id": "C7001",
         "body": "templates/a.html:7:2: C7001 hard-coded-static-url"
                 " Static path '/static/a.png' is hard-coded."},
        {"path": "web/views.py", "line": 9, "message-id": "C2006",
         "body": "web/views.py:9:4: C2006 huge-max-length Field title allows 600 characters."},
    ]


@pytest.mark.parametrize("comment, lines", [
    ({"body": "b", "path": "a.py", "side": "RIGHT", "line": 4}, ["a.py:4", "b", ""]),
    ({"body": "```suggestion\nx = 1\n```\n\nb", "path": "a.py", "side": "RIGHT",
      "start_line": 4, "line": 6},
     ["a.py:4-6", "```suggestion", "x = 1", "```", "", "b", ""]),
])
def test_comment_lines(comment, lines):
    assert host.comment_lines(comment) == lines


@pytest.mark.parametrize(
    "findings, files, summary",
    [(0, 0, "0 findings, 0 files checked"), (1, 1, "1 finding, 1 file checked"),
     (2, 3, "2 findings, 3 files checked")],
)
def test_report_summary_counts(findings, files, summary):
    records = [html("a.html", n, 0, "C7000", {}) for n in range(findings)]
    out = io.StringIO()
    assert host.report(records, files, WORDINGS, SYMBOLS, out) == findings
    assert out.getvalue().splitlines()[-1] == summary


@pytest.mark.parametrize(
    "code, context, text",
    [
        ("C2006", {"name": "title"}, "Field %(name)s allows %(value)s characters."),
        ("C2006", None, "Field %(name)s allows %(value)s characters."),
        ("C7000", {}, "Hard-coded URL."),
        ("C9999", {"name": "a", "count": 2}, "name=a, count=2"),  # no wording: the context
        ("C9999", "Syntax Error", "Syntax Error"),
        ("C9999", None, ""),
    ],
)
def test_word(code, context, text):
    assert host.word(WORDINGS, code, context) == text


@pytest.mark.parametrize("records, status", [([html("a.html", 2, 0, "C7000", {})], 1), ([], 0)])
def test_main_analyses_selection_from_root(tmp_path, monkeypatch, capsys, records, status):
    import korvane.staticanalysis as package

    root = tmp_path / "project"
    root.mkdir()
    calls = {}

    def get_files_to_check_in_project(directories):
        calls["selected"] = (os.getcwd(), directories)
        return {"a.html": None, "b.py": None}

    def get_messages(project_root, files):
        calls["analysed"] = (project_root, files, sys.path[0])
        return records

    fakes = {
        "meta": types.SimpleNamespace(get_files_to_check_in_project=get_files_to_check_in_project),
        "checker": types.SimpleNamespace(
            get_messages=get_messages, message_id_symbol_store=SYMBOLS
        ),
        "wordings": WORDINGS,
    }
    for name, fake in fakes.items():
        monkeypatch.setattr(package, name, fake, raising=False)
        monkeypatch.setitem(sys.modules, "korvane.staticanalysis." + name, fake)
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(sys, "path", list(sys.path))

    assert host.main(["project"]) == status
    real = os.path.realpath(root)
    assert calls == {
        "selected": (real, ["."]),
        "analysed": (real, {"a.html": None, "b.py": None, "META": None}, real),
    }
    assert capsys.readouterr().out.splitlines()[-1] == "{}, 2 files checked".format(
        "1 finding" if records else "0 findings"
    )


def test_main_suggest_prints_the_review_comments(tmp_path, monkeypatch, capsys):
    import korvane.staticanalysis as package

    root = tmp_path / "project"
    root.mkdir()
    records = [
        html("t.html", 3, 0, "C7001", {"path": "/static/a.png"}),
        {"message-id": "C1000", "path": "requirements.txt", "message_type": "meta",
         "body": {"specs": "==3.2.25", "minor": "3.2", "matching_versions": ["3.2.25"]}},
    ]
    calls = []

    def suggest_fixes(comments, project_root):
        calls.append((comments, project_root, os.getcwd()))
        return [
            {"body": "```suggestion\n{% load static %}\n<p>\n```", "path": "t.html",
             "side": "RIGHT", "line": 1},
            {"body": "```suggestion\n<img>\n```\n\n" + comments[0]["body"],
             "path": "t.html", "side": "RIGHT", "line": 3},
        ]

    fakes = {
        "meta": types.SimpleNamespace(get_files_to_check_in_project=lambda d: {"t.html": None}),
        "checker": types.SimpleNamespace(
            get_messages=lambda root, files: records, message_id_symbol_store=SYMBOLS
        ),
        "wordings": WORDINGS,
        "suggest": types.SimpleNamespace(suggest_fixes=suggest_fixes),
    }
    for name, fake in fakes.items():
        monkeypatch.setattr(package, name, fake, raising=False)
        monkeypatch.setitem(sys.modules, "korvane.staticanalysis." + name, fake)
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(sys, "path", list(sys.path))

    assert host.main(["--suggest", "project"]) == 1
    real = os.path.realpath(root)
    finding = ("t.html:3:0: C7001 hard-coded-static-url"
               " Static path '/static/a.png' is hard-coded.")
    assert calls == [([{"path": "t.html", "line": 3, "message-id": "C7001", "body": finding}],
                      real, real)]
    assert capsys.readouterr().out.splitlines() == [
        "t.html:1", "```suggestion", "{% load static %}", "<p>", "```", "",
        "t.html:3", "```suggestion", "<img>", "```", "", finding, "",
        "requirements.txt:0:0: C1000 meta Django 3.2 (==3.2.25).",
        "1 finding, 1 file checked",
    ]


@pytest.mark.parametrize(
    "args",
    [(), ("a", "b"), (str(FIXTURES / "shop" / "manage.py"),), (str(FIXTURES / "missing"),),
     ("--suggest",), ("--suggest", str(FIXTURES / "missing"))],
)
def test_usage_error_exits_2(args):
    result = run_host(*args)
    assert result.returncode == 2
    assert result.stdout == ""
    assert "usage:" in result.stderr


@pytest.fixture(scope="module")
def shop_run():
    # A relative root, resolved against the host's own working directory.
    return run_host("shop", cwd=FIXTURES)


def test_shop_findings_are_printed_sorted_with_summary(shop_run):
    assert shop_run.returncode == 1, shop_run.stderr
    lines = shop_run.stdout.splitlines()
    summary = SUMMARY.match(lines[-1])
    assert summary and summary["files"] == "5"
    # Nothing else on stdout: the linter's progress display goes to stderr.
    findings = [FINDING.match(line) for line in lines[:-1]]
    assert all(findings), lines
    meta = [m for m in findings if m["code"] == "C1000"]
    files = [m for m in findings if m["code"] != "C1000"]
    assert int(summary["count"]) == len(files) > 0
    keys = [(m["path"], int(m["line"]), int(m["column"])) for m in files]
    assert keys == sorted(keys)
    assert all(m["text"] and "%(" not in m["text"] for m in files)
    # The project's Django version record comes last, without a position.
    assert [(m["path"], m["line"], m["column"], m["symbol"]) for m in meta] == [
        ("requirements.txt", "0", "0", "meta")
    ]
    assert findings[-1]["code"] == "C1000"


def test_shop_findings_of_both_passes(shop_run):
    found = {
        (m["path"], int(m["line"]), m["code"], m["symbol"])
        for m in map(FINDING.match, shop_run.stdout.splitlines()[:-1])
        if m["code"] != "C1000"
    }
    assert found == {
        ("templates/index.html", 2, "C7000", "hard-coded-url"),
        ("templates/index.html", 3, "C7001", "hard-coded-static-url"),
        ("web/models.py", 5, "C2006", "huge-max-length"),
        ("web/models.py", 6, "C2000", "nullable-string-field"),
        ("web/views.py", 7, "C9000", "queryset-length"),
    }


def test_clean_project_exits_0():
    result = run_host(str(FIXTURES / "clean"))
    assert result.returncode == 0, result.stderr
    # No dependency file names Django, so there is no version record either.
    assert result.stdout.splitlines() == ["0 findings, 4 files checked"]


def test_example_project_is_found_at_fault_by_every_check():
    result = run_host(str(Path(__file__).parents[1] / "examples" / "bookshop"))
    assert result.returncode == 1, result.stderr
    codes = {m["code"] for m in map(FINDING.match, result.stdout.splitlines()[:-1])}
    assert codes >= {
        "C1000", "C2000", "C2001", "C2002", "C2003", "C2004", "C2005", "C2006", "C2008",
        "C2011", "C3000", "C3002", "C3003", "C5000", "C6001", "C6002", "C7000", "C7001",
        "C8000", "C8001", "C9000", "C9001", "C9002", "C9003",
    }


# Library names a project package may take; importing one of them runs its code.
SHADOWING_PACKAGES = ("calendar", "email", "json", "queue", "csv", "uuid", "decimal",
                      "typing", "inspect", "tokenize", "pickle", "multiprocessing", "django")
REPORT_LINE = re.compile(FINDING.pattern + "|" + SUMMARY.pattern)


@pytest.fixture
def shadowing_project(tmp_path):
    """A Django project holding packages named like library modules, each of which
    leaves a mark when imported, and a configuration file the libraries stumble on."""
    root = tmp_path / "site"
    shutil.copytree(FIXTURES / "clean", root)
    for name in SHADOWING_PACKAGES:
        (root / name).mkdir()
        (root / name / "__init__.py").write_text(
            "import os\n"
            "open(os.path.join(os.path.dirname(__file__), os.pardir, 'ran-' + __name__), 'w')\n"
        )
    (root / "pyproject.toml").write_text(
        '[dependency-groups]\ntests = ["pytest"]\n'
        'dev = ["black==24.1.0", { include-group = "tests" }]\n'
    )
    return root


@pytest.mark.parametrize("from_root", [True, False], ids=["run-from-root", "run-elsewhere"])
def test_host_never_runs_project_code_and_prints_only_the_report(shadowing_project, from_root):
    if from_root:
        result = run_host(".", cwd=shadowing_project)
    else:
        result = run_host(str(shadowing_project), cwd=shadowing_project.parent)
    assert result.returncode in (0, 1), result.stderr
    assert sorted(p.name for p in shadowing_project.glob("ran-*")) == []
    lines = result.stdout.splitlines()
    assert lines and all(REPORT_LINE.match(line) for line in lines), result.stdout


def test_failed_analysis_exits_2_with_one_line(monkeypatch, tmp_path, capsys):
    from korvane.staticanalysis import checker

    def get_messages(project_root, files):
        raise LookupError("no such\nthing")

    monkeypatch.setattr(checker, "get_messages", get_messages)
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(sys, "path", list(sys.path))
    (tmp_path / "project").mkdir()
    assert host.main(["project"]) == 2
    out, err = capsys.readouterr()
    assert out == ""
    assert err.splitlines() == ["korvane.host: analysis failed: LookupError: no such thing"]


def suggestion_producers_built():
    from korvane.staticanalysis import suggest

    return all(hasattr(suggest, name) for name in
               ("get_suggestions_for_python", "get_indentation", "format_code"))


COMMENT_HEADER = re.compile(r"^(?P<path>[^:\s]+):(?P<first>\d+)(?:-(?P<last>\d+))?$")


def printed_comments(lines):
    """The review comments the host printed: a header line after an empty line (or
    first), then the body up to the empty line that ends it."""
    comments = []
    for index, line in enumerate(lines):
        header = COMMENT_HEADER.match(line)
        if header and (index == 0 or lines[index - 1] == ""):
            last = int(header["last"] or header["first"])
            comments.append({"path": header["path"], "line": last, "body": []})
            if header["last"]:
                comments[-1]["start_line"] = int(header["first"])
        elif comments:
            comments[-1]["body"].append(line)
    for comment in comments:
        comment["body"] = "\n".join(comment["body"][:-1])
    return comments


@pytest.mark.skipif(not suggestion_producers_built(),
                    reason="the Python line suggestions are not built in this tree")
def test_suggest_applied_to_the_shop_answers_its_findings(tmp_path):
    import ast

    from django.template import Engine

    root = tmp_path / "shop"
    shutil.copytree(FIXTURES / "shop", root)
    before = run_host(str(root))
    result = run_host("--suggest", str(root))
    assert result.returncode == 1, result.stderr
    lines = result.stdout.splitlines()
    assert lines[-1] == before.stdout.splitlines()[-1]
    comments = printed_comments(lines[:-2])
    answered = {(c["path"], c["line"]) for c in comments if "```suggestion" in c["body"]}
    assert ("templates/index.html", 3) in answered
    engine = Engine(libraries={"static": "django.templatetags.static"})
    for path, suggestions in support.suggestion_blocks(comments).items():
        target = root / path
        fixed = support.apply_suggestions(target.read_text().splitlines(keepends=True),
                                          suggestions)
        if path.endswith(".py"):
            ast.parse(fixed)
        else:
            engine.from_string(fixed)
        target.write_text(fixed)
    def findings(run):
        return [m for m in map(FINDING.match, run.stdout.splitlines()[:-1]) if m]

    after = {(m["path"], m["code"]) for m in findings(run_host(str(root)))}
    fixed = {(m["path"], m["code"]) for m in findings(before)
             if (m["path"], int(m["line"])) in answered}
    assert fixed and not fixed & after


@pytest.mark.skipif(not suggestion_producers_built(),
                    reason="the Python line suggestions are not built in this tree")
def test_suggest_leaves_string_fields_whose_null_other_apps_rely_on(tmp_path):
    root = tmp_path / "nullreliance"
    shutil.copytree(Path(__file__).parent / "fixtures" / "nullreliance", root)
    result = run_host("--suggest", str(root))
    assert result.returncode == 1, result.stderr
    comments = printed_comments(result.stdout.splitlines()[:-2])
    [nullable] = [c for c in comments if " C2000 " in c["body"]]
    assert (nullable["path"], nullable["line"]) == ("projects/models.py", 6)
    assert 'default="", blank=True' in nullable["body"]


def test_a_module_it_cannot_analyse_is_named_and_counted(tmp_path, enter_project, caplog):
    root = support.write_files(tmp_path / "site", {
        "shop/__init__.py": None,
        "shop/models.py": "from django.db import models\n\n\nclass Shelf(models.Model):\n"
                          "    name = models.CharField(max_length=20, null=True)\n",
        # a generated table whose tree exhausts the recursion limit
        "shop/weights.py": "TOTAL = " + " + ".join(["1"] * 3000) + "\n",
    })
    result = run_host(str(root))
    assert result.returncode == 1
    warnings = [line for line in result.stderr.splitlines() if "not analysed" in line]
    assert len(warnings) == 1
    assert warnings[0].startswith("korvane.host: not analysed: shop/weights.py: astroid-error: ")
    assert "RecursionError" in warnings[0]
    # the tree library's traceback and the fatal record went to the debug log
    assert "Traceback" not in result.stderr and "Fatal message" not in result.stderr
    assert result.stdout.splitlines()[-1] == "1 finding, 2 files checked, 1 not analysed"
    import logging

    from korvane.staticanalysis import checker

    enter_project(root)
    # the road's result is its list of records, and says which modules it left out
    with caplog.at_level(logging.DEBUG, logger="korvane.staticanalysis.checker"):
        records = checker.get_messages(str(root), {"shop/models.py": None, "shop/weights.py": None},
                                       jobs=1)
    [fatal] = [r for r in caplog.records if r.getMessage().startswith("Fatal message: ")]
    [built] = [r for r in caplog.records if r.getMessage().startswith("Failed to build the tree")]
    assert fatal.levelno == built.levelno == logging.DEBUG
    assert "shop/weights.py" in built.getMessage() and built.exc_info[0] is RecursionError
    assert isinstance(records, list) and [r["message-id"] for r in records] == ["C2000"]
    assert [path for path, _ in records.unanalysed] == ["shop/weights.py"]


@pytest.fixture(scope="module")
def gazette_runs():
    """A plain run and a `--suggest` run over a news site whose search view tests a
    queryset in an `if` with an `else`, beside other findings and templates that
    load the static tag library below a static path, in a comment, beside other
    libraries or without blanks."""
    root = FIXTURES / "gazette"
    return run_host(str(root)), run_host("--suggest", str(root))


def test_a_collection_at_the_recursion_limit_ends_no_process(tmp_path):
    # A tree built to the recursion limit, with a collection at every allocation: one
    # starts at the limit, and nothing run there may leave the interpreter past it,
    # which ends the process with a fatal error.
    root = support.write_files(tmp_path / "site", {
        "shop/__init__.py": None,
        "shop/weights.py": "TOTAL = " + " + ".join(["1"] * 3000) + "\n",
    })
    host = ("import gc, runpy; gc.set_threshold(1); "
            "runpy.run_module('korvane.host', run_name='__main__', alter_sys=True)")
    result = support.run_fresh("-c", host, str(root), timeout=600)
    assert "Fatal Python error" not in result.stderr
    assert result.stderr.splitlines()[-1].startswith(
        "korvane.host: not analysed: shop/weights.py: astroid-error: ")
    assert result.returncode == 0


def test_suggest_prints_every_comment_beside_a_statement_it_cannot_answer(gazette_runs):
    plain, suggested = gazette_runs
    assert suggested.returncode == 1, suggested.stderr
    assert "failed" not in suggested.stderr
    lines = suggested.stdout.splitlines()
    assert lines[-1] == plain.stdout.splitlines()[-1]
    findings = [line for line in plain.stdout.splitlines()[:-1]
                if FINDING.match(line)["code"] != "C1000"]
    assert "news/views.py:12:7: C9003 truthy-instead-exists" in "\n".join(findings)
    bodies = [c["body"] for c in printed_comments(lines[:-2])]
    for finding in findings:
        [body] = [b for b in bodies if b.endswith(finding)]
        # the if/else one with or without its suggestion, every other one with its own
        assert "```suggestion" in body or finding.startswith("news/views.py:12:"), finding


RENDER_TEMPLATES = """
import json, sys
import django
from django.conf import settings

settings.configure(STATIC_URL="/static/", INSTALLED_APPS=["django.contrib.staticfiles"],
                   USE_I18N=False)
django.setup()
from django.template import Context, Engine

engine = Engine(dirs=[sys.argv[1]], libraries={
    "static": "django.templatetags.static", "i18n": "django.templatetags.i18n"})
print(json.dumps({name: engine.get_template(name).render(Context({}))
                  for name in sys.argv[2:]}))
"""


def test_suggested_templates_render_with_their_static_urls(gazette_runs, tmp_path):
    import json

    _, suggested = gazette_runs
    root = tmp_path / "gazette"
    shutil.copytree(FIXTURES / "gazette", root)
    blocks = support.suggestion_blocks(printed_comments(suggested.stdout.splitlines()[:-2]))
    pages = sorted(path for path in blocks if path.endswith(".html"))
    assert pages == ["templates/base.html", "templates/news/empty.html",
                     "templates/news/front.html", "templates/news/results.html"]
    for path in pages:
        target = root / path
        target.write_text(support.apply_suggestions(
            target.read_text().splitlines(keepends=True), blocks[path]))
    result = support.run_fresh("-c", RENDER_TEMPLATES, str(root / "templates"),
                               *(p[len("templates/"):] for p in pages))
    assert result.returncode == 0, result.stderr
    rendered = json.loads(result.stdout)
    layout = ["/static/favicon.ico", "/static/css/site.css", "/static/js/menu.js?v=2",
              "/static/img/icons.svg#logo"]
    expected = {"base.html": layout, "news/front.html": layout + ["/static/img/masthead.png"],
                "news/results.html": layout + ["/static/img/results.png"],
                "news/empty.html": ["/static/img/empty.png"]}
    for name, urls in expected.items():
        assert all("'{}'".format(url) in rendered[name] or '"{}"'.format(url) in rendered[name]
                   for url in urls), (name, rendered[name])
        assert "%3F" not in rendered[name] and "%23" not in rendered[name]
    # a template that loads the library already gets no second load tag
    for name in ("results.html", "empty.html"):
        assert "{% load static %}" not in (root / "templates" / "news" / name).read_text()
@pytest.mark.parametrize("path, minus", [
    ("shop/models.py", "--- a/shop/models.py\n"),
    ("shop/old tags.py", "--- a/shop/old tags.py\t\n"),
    ("shop/new\nline.py", '--- "a/shop/new\\nline.py"\n'),
    ('shop/say "hi".py', '--- "a/shop/say \\"hi\\".py"\t\n'),
    ("shop/back\\slash.py", '--- "a/shop/back\\\\slash.py"\n'),
    ("shop/tab\there.py", '--- "a/shop/tab\\there.py"\n'),
    ("shop/bell\a.py", '--- "a/shop/bell\\a.py"\n'),
    ("shop/escape\x1b.py", '--- "a/shop/escape\\033.py"\n'),
    ("shop/caf\u00e9.py", "--- a/shop/caf\u00e9.py\n"),
])
def test_diff_header_names_a_file_as_git_does(path, minus):
    patch = host.file_diff(path, ["x = 1\n"], ["x = 2\n"])
    assert patch[:2] == [minus, minus.replace("--- a/", "+++ b/").replace('--- "a/', '+++ "b/')]


# A models module of forty models with two fields each: on a file this long, the
# frequent lines (blank ones, closing brackets) are what a junk heuristic drops.
SHELVES = "from django.db import models\n\n\n" + "".join(
    "class Shelf{}(models.Model):\n"
    "    name = models.CharField(\n        max_length=20,\n        null=True,\n    )\n"
    "    code = models.CharField(\n        max_length=20,\n        null=True,\n    )\n"
    "\n\n".format(n) for n in range(40))


@pytest.mark.parametrize("old, new, changed", [
    (SHELVES, SHELVES.replace(
        "class Shelf20(models.Model):\n"
        "    name = models.CharField(\n        max_length=20,\n        null=True,\n    )\n"
        "    code = models.CharField(\n        max_length=20,\n        null=True,\n",
        "class Shelf20(models.Model):\n"
        "    name = models.CharField(\n        max_length=20,\n"
        '        default="",\n        blank=True,\n    )\n'
        "    code = models.CharField(\n        max_length=20,\n"
        '        default="",\n        blank=True,\n'),
     ["-        null=True,\n", '+        default="",\n', "+        blank=True,\n"] * 2),
    ("x = len(qs)", "x = qs.count()",
     ["-x = len(qs)\n\\ No newline at end of file\n",
      "+x = qs.count()\n\\ No newline at end of file\n"]),
], ids=["long-module", "no-line-feed-at-end"])
def test_file_diff_shows_only_the_changed_lines(old, new, changed):
    patch = host.file_diff("shop/models.py", host.text_lines(old), host.text_lines(new))
    assert [line for line in patch[2:] if line[0] in "+-"] == changed


def test_every_warning_is_one_line_on_stderr(monkeypatch, tmp_path, capsys):
    import logging

    from korvane.staticanalysis import checker

    def get_messages(project_root, files):
        logging.getLogger("korvane.staticanalysis.meta").warning("Skipped %s: %s", "a.py",
                                                                 "it does not parse:\n  x = (")
        try:
            raise OSError("disk\nfailure")
        except OSError:
            logging.getLogger("korvane.staticanalysis.checker").exception("Failed to read it")
        return []

    monkeypatch.setattr(checker, "get_messages", get_messages)
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(sys, "path", list(sys.path))
    (tmp_path / "project").mkdir()
    assert host.main(["project"]) == 0
    assert capsys.readouterr().err.splitlines() == [
        "Skipped a.py: it does not parse:   x = (", "Failed to read it"]
def test_suggest_over_a_fixed_if_else_header_exits_1_with_its_comments(tmp_path):
    root = tmp_path / "stockroom"
    shutil.copytree(Path(__file__).parent / "fixtures" / "suggestheader", root)
    result = run_host("--suggest", str(root))
    assert result.returncode == 1, result.stderr
    # and without the formatter's deprecation warning
    assert "experimental string processing" not in result.stderr
    comments = printed_comments(result.stdout.splitlines()[:-2])
    views = (root / "stockroom" / "views.py").read_text().splitlines()
    suggested = {(first, last): text.split("\n")
                 for first, last, text in support.suggestion_blocks(comments)["stockroom/views.py"]}
    assert suggested == {(8, 11): ["    if not qs.exists():"] + views[8:11],
                         (16, 18): ["    if items.exists():"] + views[16:18]}
