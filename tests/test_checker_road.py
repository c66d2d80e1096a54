import logging
import optparse
import shutil
from pathlib import Path

import pytest
from pylint.checkers import BaseChecker
from pylint.interfaces import IAstroidChecker

from korvane.staticanalysis import checker, helpers, wordings

FIXTURE = Path(__file__).parent / "fixtures" / "checker" / "project"
TEMPLATE = "shop/templates/shop/index.html"


@pytest.fixture
def project(tmp_path, enter_project):
    root = tmp_path / "project"
    shutil.copytree(FIXTURE, root)
    return enter_project(root)


class ProbeChecker(BaseChecker):
    """Reports C0999 on every `pass`, with the value of its own option."""

    __implements__ = (IAstroidChecker,)
    name = "probe"
    msgs = {"C0999": (helpers.context_string(), "probe-pass", "A pass statement")}
    options = (("max-probes", {"default": 5, "type": "int", "metavar": "<int>",
                               "help": "Probe limit"}),)

    def visit_pass(self, node):
        self.add_message("C0999", node=node, args={"limit": self.config.max_probes})


@pytest.fixture
def probe(monkeypatch):
    monkeypatch.setattr(checker, "python_checker_classes",
                        checker.python_checker_classes + [ProbeChecker])
    monkeypatch.setattr(wordings, "C0999", "Pass found (limit %(limit)s).", raising=False)


def ids(records):
    return [(r["path"], r["line"], r["message-id"]) for r in records]


def test_analysis_road_end_to_end(project, caplog):
    files = {"shop/models.py": None, TEMPLATE: None, "shop/broken.py": None, "META": None}
    with caplog.at_level(logging.DEBUG, logger="korvane.staticanalysis.checker"):
        records = checker.get_messages(str(project), files, jobs=1)
    # Python first, then templates (C7001 disabled by [tool.korvane]), then META
    assert ids(records[:-1]) == [("shop/broken.py", 1, "E0001"), (TEMPLATE, 6, "C7000")]
    assert records[0]["message"] == "Syntax Error"
    meta = records[-1]
    assert meta["message-id"] == "C1000" and meta["path"] == "requirements.txt"
    assert meta["body"]["minor"] == "2.2"
    assert any(m.startswith("Using config: {'disable': ['C7001']}") for m in caplog.messages)


def test_django_version_and_driver_options(project, driver_options):
    seen = driver_options
    config = {"django-version": "1.0", "settings-files": ["x"], "root-urlconf": "y"}
    checker.get_messages(str(project), {}, config=config, jobs=1)
    assert seen == {"version": "2.2", "settings": ["proj.settings"], "urlconf": "proj.urls"}

    (project / "requirements.txt").unlink()
    (project / "proj" / "settings.py").write_text("DEBUG = True\n")
    checker.get_messages(str(project), {}, jobs=1)
    # no Django requirement: the road's default; no ROOT_URLCONF: an empty text
    assert seen == {"version": "3.2", "settings": ["proj.settings"], "urlconf": ""}


@pytest.mark.parametrize(
    "config, expected",
    [
        ({}, ["C7000"]),  # [tool.korvane] disables C7001
        ({"disable": []}, ["C7000", "C7001", "C7001"]),  # the caller's list replaces it
        ({"disable": ["C7000"]}, ["C7001", "C7001"]),
        ({"disable": "C7000,C7001"}, []),
        ({"disable": ["hard-coded-url"]}, ["C7000", "C7001", "C7001"]),
    ],
)
def test_template_disable(project, config, expected):
    records = checker.get_messages(str(project), {TEMPLATE: None}, config=config, jobs=1)
    assert sorted(r["message-id"] for r in records) == sorted(expected)


@pytest.mark.parametrize("lines, expected", [(None, [3, 6, 7]), ([6, 7], [6, 7]),
                                             (range(1, 4), [3]), (set(), [])])
def test_template_range(project, lines, expected):
    records = checker.get_html_messages({TEMPLATE: lines}, {})
    assert [r["line"] for r in records] == expected


def test_python_filters_pragma_and_checker_option(project, probe):
    (project / "shop" / "probe.py").write_text(
        "def a():\n    pass\n\n\ndef b():\n    pass  # korvane: disable=probe-pass\n\n\n"
        "def c():\n    pass\n")
    files = {"shop/probe.py": [2, 6], "shop/broken.py": [5], "META": None}
    records = checker.get_messages(str(project), files, config={"max-probes": 2}, jobs=1)
    assert ids(records[:-1]) == [("shop/probe.py", 2, "C0999")]
    assert records[0]["message"] == {"limit": 2}
    assert records[-1]["message-id"] == "C1000"


def test_unknown_option_names_it(project):
    with pytest.raises(optparse.OptionError, match="no-such-option"):
        checker.get_messages(str(project), {}, config={"no-such-option": 1}, jobs=1)


def test_config_must_be_mapping(project):
    with pytest.raises(TypeError):
        checker.get_messages(str(project), {}, config=None)


def test_findings_outside_change_set_or_root_are_dropped(project, probe, tmp_path):
    outside = tmp_path / "outside.py"
    outside.write_text("def f():\n    pass\n")
    (project / "shop" / "inside.py").write_text("def f():\n    pass\n")
    files = {"./shop/inside.py": None, str(outside): None, "shop/probe_missing.py": None}
    (project / "shop" / "probe_missing.py").write_text("def g():\n    pass\n")
    records = checker.get_python_messages(str(project), files, "3.2", {}, 1)
    # "./shop/inside.py" is reported as shop/inside.py, no key of the change set;
    # the absolute path lies outside the root; both are dropped without an error
    assert ids(records) == [("shop/probe_missing.py", 2, "C0999")]


def test_code_filter_uses_wordings(project, probe, monkeypatch):
    (project / "shop" / "inside.py").write_text("def f():\n    pass\n")
    monkeypatch.delattr(wordings, "C0999")
    assert "C0999" not in checker.get_all_message_codes()
    assert checker.get_python_messages(str(project), {"shop/inside.py": None}, "3.2") == []


def test_get_all_message_codes():
    codes = checker.get_all_message_codes()
    assert codes == sorted(n for n in dir(wordings) if not n.startswith("__"))
    assert {"E0001", "C1000", "C2000", "C4007", "C7001", "C9003"} <= set(codes)


def test_jobs_zero_matches_one_job(tmp_path, monkeypatch, probe):
    root = tmp_path / "many"
    pkg = root / "pkg"
    pkg.mkdir(parents=True)
    (pkg / "__init__.py").write_text("")
    files = {}
    for i in range(300):
        body = "def f():\n    pass\n" if i % 3 else "def f(:\n"
        (pkg / f"m{i}.py").write_text(body)
        files[f"pkg/m{i}.py"] = None
    monkeypatch.chdir(root)
    monkeypatch.syspath_prepend(str(root))

    def key(records):
        return sorted((r["path"], r["line"], r["message-id"], str(r["message"])) for r in records)

    one = checker.get_messages(str(root), files, jobs=1)
    many = checker.get_messages(str(root), files, jobs=0)
    assert len(one) == 300
    assert key(many) == key(one)


@pytest.mark.parametrize(
    "requirement, minor, first, last, count",
    [
        ("Django>=2.2,<3.0", "2.2", "2.2.0", "2.2.29", 30),
        ("Django~=3.2.0", "3.2", "3.2.0", "3.2.29", 30),
        ("Django", None, "2.0.0", "3.2.29", 180),
        ("Django>=1.11,<2.0", "1.11", None, None, 0),
    ],
)
def test_meta_messages(tmp_path, requirement, minor, first, last, count):
    (tmp_path / "requirements.txt").write_text(requirement + "\n")
    (record,) = checker.get_meta_messages(str(tmp_path))
    assert list(record) == ["message-id", "path", "message_type", "body"]
    assert (record["message-id"], record["path"], record["message_type"]) == (
        "C1000", "requirements.txt", "meta")
    body = record["body"]
    assert list(body) == ["specs", "minor", "matching_versions"]
    if minor:
        assert body["minor"] == minor
    versions = body["matching_versions"]
    assert len(versions) == count
    if count:
        assert (versions[0], versions[-1]) == (first, last)


def test_meta_messages_without_django(tmp_path):
    (tmp_path / "requirements.txt").write_text("requests\n")
    assert checker.get_meta_messages(str(tmp_path)) == []
    assert checker.get_messages(str(tmp_path), {"META": None}) == []


@pytest.mark.parametrize(
    "config, code, line",
    [({"max-colspecs": 1}, "C2001", 4), ({"max-models": 0}, "C3000", 1)],
)
def test_checker_options_reach_their_checkers(project, config, code, line):
    records = checker.get_messages(str(project), {"shop/models.py": None}, config=config, jobs=1)
    assert (("shop/models.py", line, code)) in ids(records)
    assert checker.get_messages(str(project), {"shop/models.py": None}, jobs=1) == []


def test_fatal_records_are_logged_then_filtered(project, caplog):
    with caplog.at_level(logging.DEBUG, logger="korvane.staticanalysis.checker"):
        records = checker.get_messages(str(project), {"shop/missing.py": None}, jobs=1)
    assert records == []
    fatal = [r.getMessage() for r in caplog.records
             if r.getMessage().startswith("Fatal message: ") and r.levelno == logging.DEBUG]
    assert len(fatal) == 1 and "'F0001'" in fatal[0]


def test_html_linter_runs_every_class_in_order(project, monkeypatch):
    assert checker.HtmlLinter().messages == []
    (cls,) = checker.html_checker_classes
    monkeypatch.setattr(checker, "html_checker_classes", [cls, cls])
    linter = checker.HtmlLinter()
    assert linter.check([TEMPLATE]) is None
    assert [r["line"] for r in linter.messages] == [3, 6, 7, 3, 6, 7]


PROBE_VIEWS = (
    "from django.http import HttpResponse\n\n\n"
    "def index(request):\n    pass\n\n\n"
    "def detail(request, pk):\n    pass\n"
)


@pytest.mark.parametrize(
    "spell",
    [
        lambda root: str(root / "shop" / "views.py"),
        lambda root: "./shop/views.py",
        lambda root: "shop//./views.py",
        lambda root: "shop/templates/../views.py",
        lambda root: str(root / "shop" / ".." / "shop" / "views.py"),
    ],
    ids=["absolute", "leading dot", "doubled separators", "up and down", "absolute up and down"],
)
@pytest.mark.parametrize("lines, expected", [(None, [5, 9]), ([9], [9]), (range(1, 6), [5])])
def test_change_set_paths_inside_the_root_are_made_relative(project, probe, spell, lines, expected):
    (project / "shop" / "views.py").write_text(PROBE_VIEWS)
    # the template's absolute path is reported relative as well
    files = {spell(project): lines, str(project / TEMPLATE): [6]}
    records = checker.get_messages(str(project), files, jobs=1)
    assert ids(records) == [("shop/views.py", line, "C0999") for line in expected] + [(TEMPLATE, 6, "C7000")]


def test_two_spellings_of_one_path_join_their_lines(project, probe):
    (project / "shop" / "views.py").write_text(PROBE_VIEWS)
    files = {"shop/views.py": [5], str(project / "shop" / "views.py"): [9]}
    assert ids(checker.get_messages(str(project), files, jobs=1)) == [
        ("shop/views.py", 5, "C0999"), ("shop/views.py", 9, "C0999"),
    ]
    files = {"shop/views.py": [5], "./shop/views.py": None}
    assert [line for _p, line, _c in ids(checker.get_messages(str(project), files, jobs=1))] == [5, 9]


def test_change_set_paths_leaving_the_root_are_never_read(project, probe, tmp_path, caplog):
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "tasks.py").write_text("def run():\n    pass\n")
    (outside / "page.html").write_text('<a href="/admin/">admin</a>\n')
    (project / "shop" / "tasks.py").symlink_to(outside / "tasks.py")
    (project / "vendor").symlink_to(outside)
    (project / "shop" / "views.py").write_text(PROBE_VIEWS)
    leaving = [
        "../outside/tasks.py",
        str(outside / "tasks.py"),
        "shop/tasks.py",
        "vendor/tasks.py",
        "shop/../../outside/tasks.py",
        "../outside/page.html",
        str(outside / "page.html"),
        "vendor/page.html",
    ]
    files = dict.fromkeys(leaving)
    files["shop/views.py"] = [5]
    with caplog.at_level(logging.DEBUG, logger="korvane.staticanalysis.checker"):
        records = checker.get_messages(str(project), files, jobs=1)
    assert ids(records) == [("shop/views.py", 5, "C0999")]
    messages = caplog.messages
    for key in leaving:
        assert 'Skipping "%s": the path leads outside the project root' % key in messages
    analyzed = [m for m in messages if m.startswith("Analyzing ")]
    assert analyzed == ["Analyzing shop/views.py"]


def test_change_set_path_that_is_a_directory_is_not_linted(project, probe, caplog):
    (project / "shop" / "archive.py").mkdir()
    (project / "shop" / "archive.py" / "__init__.py").write_text("def old():\n    pass\n")
    (project / "shop" / "views.py").write_text(PROBE_VIEWS)
    files = {"shop/archive.py": None, "shop/views.py": [5]}
    with caplog.at_level(logging.WARNING, logger="korvane.staticanalysis.checker"):
        records = checker.get_python_messages(str(project), files, "3.2", {}, 1)
    assert ids(records) == [("shop/views.py", 5, "C0999")]
    assert caplog.messages == ['Skipping "shop/archive.py": not a regular file']


@pytest.mark.parametrize(
    "config, key",
    [
        ({"disable": 5}, "disable"),
        ({"enable": ["C2003", 5]}, "enable"),
        ({"ignore": 5}, "ignore"),
        ({"disable": {"C7000": True}}, "disable"),
        # an option of the linter whose value the library cannot take
        ({"settings-files": 5}, "settings-files"),
    ],
)
def test_caller_value_of_the_wrong_type_names_the_key(project, config, key):
    with pytest.raises(TypeError, match=key) as caught:
        checker.get_messages(str(project), {TEMPLATE: None, "shop/models.py": None}, config=config, jobs=1)
    assert "configuration key" in str(caught.value)
    with pytest.raises(TypeError, match=key):
        checker.get_python_messages(str(project), {"shop/models.py": None}, "3.2", config=config, jobs=1)


def test_caller_message_lists_may_be_tuples(project):
    records = checker.get_messages(str(project), {TEMPLATE: None}, config={"disable": ("C7001",)}, jobs=1)
    assert [r["message-id"] for r in records] == ["C7000"]
    with pytest.raises(TypeError, match="disable"):
        checker.get_html_messages({TEMPLATE: None}, {"disable": 7001})


def test_project_value_of_the_wrong_type_is_ignored(project, caplog):
    (project / "pyproject.toml").write_text("[tool.korvane]\ndisable = 7001\nenable = ['C2003']\n")
    with caplog.at_level(logging.WARNING):
        records = checker.get_messages(str(project), {TEMPLATE: None}, jobs=1)
    # the file's disable is dropped, so C7001 is reported; the road goes on
    assert sorted(r["message-id"] for r in records) == ["C7000", "C7001", "C7001"]
    (warning,) = [r for r in caplog.records if r.levelname == "WARNING"]
    assert '"disable"' in warning.getMessage() and "pyproject.toml" in warning.getMessage()


@pytest.mark.parametrize(
    "setup_cfg",
    [
        b"install_requires = Django>=2.2,<3.0\n",
        b"[metadata]\nname = shop\n[metadata]\nversion = 1.0\n",
    ],
    ids=["no-section-header", "duplicate-section"],
)
def test_unreadable_dependency_file_falls_back_to_the_default_version(project, driver_options, caplog,
                                                                      setup_cfg):
    (project / "requirements.txt").unlink()
    (project / "setup.cfg").write_bytes(setup_cfg)
    with caplog.at_level(logging.ERROR, logger="korvane.staticanalysis.checker"):
        records = checker.get_messages(str(project), {TEMPLATE: None, "META": None}, "3.1", jobs=1)
    # no version record, the caller's version, the other findings kept
    assert [r["message-id"] for r in records] == ["C7000"]
    assert driver_options["version"] == "3.1"
    error = caplog.records[0]
    assert error.getMessage().startswith("Failed to resolve the Django version")
    assert error.exc_info is not None


def test_template_the_project_no_longer_holds_is_passed_over(project, caplog):
    (project / "shop" / "templates" / "shop" / "archive.html").mkdir()
    files = {"shop/templates/shop/deleted.html": None, "shop/templates/shop/archive.html": None,
             TEMPLATE: None}
    with caplog.at_level(logging.WARNING, logger="korvane.staticanalysis.checker"):
        records = checker.get_messages(str(project), files, jobs=1)
    assert {path for path, _line, _code in ids(records)} == {TEMPLATE}
    assert caplog.messages == [
        'Skipping "shop/templates/shop/deleted.html": no such file',
        'Skipping "shop/templates/shop/archive.html": not a regular file',
    ]
