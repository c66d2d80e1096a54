"""Modules that do not decode or parse, and checks that fail on a file: one finding or
one fatal record for that file, the other files keep theirs, at every job count, and
nothing is written into pylint's home."""
import logging

import pytest
from pylint.checkers import BaseChecker
from pylint.interfaces import IAstroidChecker
from pylint.lint import utils as pylint_lint_utils

from korvane.staticanalysis import checker
from support import write_files

MODELS = b"""\
from django.db import models


class Order(models.Model):
    reference = models.CharField(max_length=32, unique=True)
    note = models.CharField(max_length=200, null=True)
"""

VIEWS = b"""\
from django.http import JsonResponse

from shop.models import Order


def order_detail(request, pk):
    order = Order.objects.get(pk=pk)
    return JsonResponse({"reference": order.reference})
"""

HEALTHY = [("shop/models.py", 6, "C2000")]

# (name, bytes of shop/views.py, the line of the fault)
BROKEN = [
    ("unknown cookie", b"# -*- coding: latin-42 -*-\n" + VIEWS, 1),
    ("unknown cookie after a shebang",
     b"#!/usr/bin/env python\n# -*- coding: latin-42 -*-\n" + VIEWS, 2),
    ("latin-1 byte in a comment", VIEWS.replace(b"\n\n", b"\n\n# r\xe9sum\xe9\n", 1), 3),
    ("latin-1 byte on the first line", b"# Caf\xe9 orders\n" + VIEWS, 1),
    ("latin-1 byte on the second line", b"# Orders\n# caf\xe9\n" + VIEWS, 2),
    ("null byte", VIEWS.replace(b"\n\n\ndef", b"\n\n\x00\ndef", 1), 5),
    ("byte-order mark, then a byte that does not decode",
     b"\xef\xbb\xbf" + VIEWS.replace(b"Order\n\n", b"Order\n# \xff\n", 1), 4),
    ("Windows line ends",
     VIEWS.replace(b"\n", b"\r\n").replace(b"Order\r\n\r\n", b"Order\r\n# \xe9\r\n", 1), 4),
    ("a codec that gives no text", b"# coding: rot13\n" + VIEWS, 1),
    ("syntax error", VIEWS.replace(b"pk):", b"pk)"), 6),
]


@pytest.fixture
def project(tmp_path, enter_project):
    root = write_files(tmp_path / "project", {
        "manage.py": b'import os\n\nif __name__ == "__main__":\n'
                     b'    os.environ.setdefault("DJANGO_SETTINGS_MODULE", "proj.settings")\n',
        "proj/__init__.py": b"",
        "proj/settings.py": b'INSTALLED_APPS = ["shop"]\nROOT_URLCONF = "proj.urls"\n',
        "proj/urls.py": b"urlpatterns = []\n",
        "shop/__init__.py": b"",
        "shop/models.py": MODELS,
        "requirements.txt": b"Django>=3.2,<4.0\n",
    })
    return enter_project(root)


@pytest.fixture
def pylint_home(tmp_path, monkeypatch):
    """pylint's home folder for the test; worker processes inherit it."""
    home = tmp_path / "pylint-home"
    home.mkdir()
    monkeypatch.setattr(pylint_lint_utils, "PYLINT_HOME", str(home))
    return home


def ids(records):
    return sorted((r["path"], r["line"], r["message-id"]) for r in records)


@pytest.mark.parametrize("jobs", [1, 0, 2])
@pytest.mark.parametrize("data, line", [case[1:] for case in BROKEN],
                         ids=[case[0] for case in BROKEN])
def test_broken_module_gives_one_syntax_error(project, pylint_home, data, line, jobs):
    (project / "shop" / "views.py").write_bytes(data)
    files = {"shop/views.py": None, "shop/models.py": None}
    records = checker.get_messages(str(project), files, jobs=jobs)
    assert ids(records) == sorted(HEALTHY + [("shop/views.py", line, "E0001")])
    (error,) = [r for r in records if r["message-id"] == "E0001"]
    assert (error["symbol"], error["message"]) == ("syntax-error", "Syntax Error")
    assert list(pylint_home.iterdir()) == []


def test_many_broken_modules_in_one_pass(project, pylint_home):
    files = {"shop/models.py": None}
    expected = list(HEALTHY)
    for i, (_, data, line) in enumerate(BROKEN):
        (project / "shop" / f"broken_{i}.py").write_bytes(data)
        files[f"shop/broken_{i}.py"] = None
        expected.append((f"shop/broken_{i}.py", line, "E0001"))
    one = checker.get_messages(str(project), files, jobs=1)
    many = checker.get_messages(str(project), files, jobs=0)
    assert ids(one) == ids(many) == sorted(expected)
    assert list(pylint_home.iterdir()) == []


def test_broken_text_on_the_single_text_road():
    linter = checker.create_linter(checker.CodeLinter)
    code = "from django.db import models\n\n\x00\n"
    linter.check(code, files_or_modules=["shop/models.py"])
    assert [(r["line"], r["message-id"]) for r in linter.reporter.messages] == [(3, "E0001")]


class ExplodingChecker(BaseChecker):
    """Fails on every module named `exploding`, as a faulty plug-in would."""

    __implements__ = (IAstroidChecker,)
    name = "exploding"
    msgs = {"C0998": ("Never reported", "never-reported", "Never reported")}

    def visit_module(self, node):
        if node.name.endswith("exploding"):
            raise RuntimeError("cannot check this module")


@pytest.mark.parametrize("jobs", [1, 0])
def test_a_check_that_fails_on_one_file(project, pylint_home, monkeypatch, caplog, jobs):
    monkeypatch.setattr(checker, "python_checker_classes",
                        checker.python_checker_classes + [ExplodingChecker])
    (project / "shop" / "exploding.py").write_bytes(VIEWS)
    files = {"shop/exploding.py": None, "shop/models.py": None}
    with caplog.at_level(logging.DEBUG, logger="korvane.staticanalysis.checker"):
        records = checker.get_messages(str(project), files, jobs=jobs)
    assert ids(records) == HEALTHY
    # the fatal record is for the debug log: the road names the file as not analysed
    (fatal,) = [r.getMessage() for r in caplog.records
                if r.getMessage().startswith("Fatal message: ") and r.levelno == logging.DEBUG]
    assert [path for path, _ in records.unanalysed] == ["shop/exploding.py"]
    assert "shop/exploding.py" in fatal and "RuntimeError: cannot check this module" in fatal
    assert list(pylint_home.iterdir()) == []
