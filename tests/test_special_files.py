"""Files of a project that are no regular files (a FIFO named like a module, a template,
a dependency file, manage.py or a settings module) are never opened: reading a FIFO
waits for a writer for ever.  Each case runs in a fresh interpreter under a timeout, so
a read that blocks fails the test instead of stopping the suite."""
import json
import os
import shutil
import textwrap
from pathlib import Path

import pytest

import support

PROJECT = Path(__file__).parent / "fixtures" / "checker" / "project"
TIMEOUT = 120

PRELUDE = """
import json, logging, os, sys
sys.path.insert(0, os.getcwd())
class Lines(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.lines = []
    def emit(self, record):
        self.lines.append([record.levelname, record.getMessage()])
LOG = Lines()
logging.getLogger("korvane").addHandler(LOG)
logging.getLogger("korvane").setLevel(logging.DEBUG)
def report(result):
    print(json.dumps({"result": result, "log": LOG.lines}, default=str))
"""


def run_isolated(root, code):
    done = support.run_fresh("-c", PRELUDE + textwrap.dedent(code), cwd=root, timeout=TIMEOUT)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.splitlines()[-1])


def make_fifo(root, name):
    path = root / name
    path.parent.mkdir(parents=True, exist_ok=True)
    if path.exists() or path.is_symlink():
        path.unlink()
    os.mkfifo(path)


MODELS = """from django.db import models


class Customer(models.Model):
    nickname = models.CharField(max_length=40, null=True)
    joined = models.DateTimeField(null=True)
"""


@pytest.fixture
def project(tmp_path):
    root = tmp_path / "project"
    shutil.copytree(PROJECT, root)
    (root / "shop" / "models.py").write_text(MODELS)
    (root / "setup.py").write_text(
        'from setuptools import setup\n\nsetup(name="shop", install_requires=["Django>=3.1,<3.2"])\n'
    )
    return root


def logged(log, text):
    return any(text in message for _level, message in log)


@pytest.mark.parametrize(
    "fifos, removed, code, expected, line",
    [
        pytest.param(
            ["requirements.txt"], [],
            "from korvane.staticanalysis import dependencies\n"
            "report(dependencies.resolve_django_version('.'))",
            {"path": "setup.py", "version": "3.1", "specs": ">=3.1,<3.2"},
            'Skipping "requirements.txt": not a regular file',
            id="requirements.txt",
        ),
        pytest.param(
            ["Pipfile", "setup.py"], ["requirements.txt"],
            "from korvane.staticanalysis import dependencies\n"
            "report(dependencies.resolve_django_version('.'))",
            None,
            'Skipping "setup.py": not a regular file',
            id="Pipfile and setup.py",
        ),
        pytest.param(
            ["manage.py"], [],
            "from korvane.staticanalysis import meta\n"
            "report([meta.get_settings_modpath('.'), list(meta.get_settings_files('.'))])",
            [None, []],
            'Skipping "manage.py": not a regular file',
            id="manage.py",
        ),
        pytest.param(
            ["proj/local_settings.py"], [],
            "from korvane.staticanalysis import meta\n"
            "files = list(meta.get_settings_files('.'))\n"
            "report([files, meta.get_root_urlconf(files), meta.get_static_url_setting('.')])",
            [["proj.settings"], "proj.urls", "/static/"],
            "proj/local_settings.py\": not a regular file",
            id="settings module",
        ),
        pytest.param(
            ["shop/templates/shop/pipe.html"], [],
            "from korvane.staticanalysis.checkers import templates\n"
            "checker = templates.Checker()\n"
            "checker.check(['shop/templates/shop/pipe.html', 'shop/templates/shop/index.html'])\n"
            "report([(m['path'], m['line'], m['message-id']) for m in checker.messages])",
            [["shop/templates/shop/index.html", line, code] for line, code in [(3, "C7001"), (6, "C7000"), (7, "C7001")]],
            'Skipping template "shop/templates/shop/pipe.html": not a regular file',
            id="template",
        ),
    ],
)
def test_fifo_is_never_opened(project, fifos, removed, code, expected, line):
    for name in removed:
        (project / name).unlink()
    for name in fifos:
        make_fifo(project, name)
    outcome = run_isolated(project, code)
    assert outcome["result"] == expected
    assert logged(outcome["log"], line)


def test_fifo_module_in_repository_test_and_file_selection(project):
    # No file imports Django, so the repository test reads every module, the FIFO's
    # turn included.
    for name in ["manage.py", "requirements.txt", "setup.py", "proj/urls.py"]:
        (project / name).unlink()
    (project / "shop" / "models.py").write_text("PRICES = {'basic': 10}\n")
    make_fifo(project, "shop/admin.py")
    make_fifo(project, "shop/templates/shop/pipe.html")
    outcome = run_isolated(
        project,
        "from korvane.staticanalysis import dependencies, meta\n"
        "report([dependencies.is_django_repository('.'), sorted(meta.get_files_to_check_in_project(['.']))])",
    )
    assert outcome["result"] == [
        False,
        ["proj/settings.py", "shop/broken.py", "shop/models.py", "shop/templates/shop/index.html"],
    ]


ROAD = """
from korvane.staticanalysis import checker
files = {"shop/models.py": None, "shop/templates/shop/index.html": None, "META": None}
files.update(dict.fromkeys(%r))
records = checker.get_messages(os.getcwd(), files, jobs=%d)
report([(r["path"], r.get("line"), r["message-id"]) for r in records])
"""

ODD_KEYS = [
    "shop/views.py",  # FIFO
    "shop/templates/shop/pipe.html",  # FIFO
    "shop/templates/shop/legacy.html",  # markup the HTML parser gives up on
    "vendor/tasks.py",  # through a link that leads out of the project
    "../outside/tasks.py",
    "shop/loop.py",  # a link to itself
]


def add_odd_files(project):
    """FIFOs, link loops, links out of the project, a template the parser rejects and a
    requirements file with a byte-order mark, all in one project."""
    for name in ["shop/views.py", "shop/templates/shop/pipe.html", "proj/local_settings.py", "sub/manage.py"]:
        make_fifo(project, name)
    outside = project.parent / "outside"
    outside.mkdir()
    (outside / "tasks.py").write_text("def run():\n    pass\n")
    (project / "vendor").symlink_to(outside)
    (project / "loop").symlink_to(project / "loop")
    (project / "shop" / "loop.py").symlink_to(project / "shop" / "loop.py")
    (project / "a").symlink_to(project / "b")
    (project / "b").symlink_to(project / "a")
    (project / "shop" / "templates" / "shop" / "legacy.html").write_text(
        '<a href="/old/">old</a>\n<![ if !IE]>\n<img src="/static/ie.png">\n<![endif]>\n'
    )
    requirements = project / "requirements.txt"
    requirements.write_bytes(b"\xef\xbb\xbf" + requirements.read_bytes())


@pytest.mark.parametrize("jobs", [1, 0])
def test_road_over_odd_files_keeps_the_findings_of_the_others(project, jobs):
    clean = run_isolated(project, ROAD % ([], jobs))["result"]
    assert ["shop/models.py", 5, "C2000"] in clean
    assert clean[-1] == ["requirements.txt", None, "C1000"]
    add_odd_files(project)
    outcome = run_isolated(project, ROAD % (ODD_KEYS, jobs))
    assert outcome["result"] == clean
    for line in [
        'Skipping "shop/views.py": not a regular file',
        'Skipping "shop/templates/shop/pipe.html": not a regular file',
        'Skipping template "shop/templates/shop/legacy.html": the HTML parser cannot read it',
        'Skipping "vendor/tasks.py": the path leads outside the project root',
        'Skipping "../outside/tasks.py": the path leads outside the project root',
    ]:
        assert logged(outcome["log"], line), line
