"""A project's odd configuration files neither stop nor steer the analysis.

Each case runs in a fresh interpreter whose working directory is the project, as the
host runs: pylint looks for configuration files when it is first imported, so only a
fresh import shows what the project's files do to it.
"""
import json

import pytest

import support

MODELS = """\
from django.db import models


class Shop(models.Model):
    name = models.CharField(max_length=100, null=True)
    city = models.CharField(max_length=100)


class Product(models.Model):
    shop = models.ForeignKey(Shop, on_delete=models.CASCADE)
    title = models.CharField(max_length=200)
"""

VIEWS = """\
from django.shortcuts import get_object_or_404, render

from .models import Shop


def shop_detail(request, pk):
    shop = get_object_or_404(Shop, pk=pk)
    return render(request, "shop/detail.html", {"shop": shop})
"""

TEMPLATE = """\
<html>
  <body>
    <a href="/shops/">All shops</a>
    <img src="/static/logo.png">
  </body>
</html>
"""

HEALTHY = {
    "shop/__init__.py": "\n",
    "shop/models.py": MODELS,
    "shop/views.py": VIEWS,
    "shop/templates/shop/detail.html": TEMPLATE,
}

# The host's road: file selection, then the analysis, at one job and in workers.  The
# system is imported from inside the project, first through `first`.
SCRIPT = """\
import importlib, json, os, sys
importlib.import_module("korvane.staticanalysis." + sys.argv[1])
from korvane.staticanalysis import checker, meta
files = meta.get_files_to_check_in_project(["."])
change_set = dict(files, META=None)
runs = {}
for jobs in (1, 0):
    records = checker.get_messages(os.getcwd(), change_set, jobs=jobs)
    runs[jobs] = sorted([r["path"], r.get("line"), r["message-id"]] for r in records)
print(json.dumps({"files": sorted(files), "runs": runs}))
"""

LATIN_1_TOML = "[tool.korvane]\n# Café de la gare\ndisable = ['C2003']\n".encode("latin-1")

ODD = {
    # valid TOML 1.0 that toml 0.10 fails on (IndexError), or reports on stdout
    "dependency-groups": {
        "pyproject.toml": b'[project]\nname = "shop"\n[dependency-groups]\ntests = ["pytest"]\n'
        b'dev = [\n    "black==24.1.0",\n    { include-group = "tests" },\n]\n',
    },
    "dependency-groups-inline": {
        "pyproject.toml": b'[dependency-groups]\ntests = ["pytest"]\ndev = ["black", { include-group = "tests" }]\n'
        b"[tool.korvane]\nignore = ['static']\n",
    },
    "pyproject-latin-1": {"pyproject.toml": LATIN_1_TOML},
    "pyproject-utf-16": {"pyproject.toml": "[tool.korvane]\ndisable = ['C2003']\n".encode("utf-16")},
    "tool-number": {"pyproject.toml": b"tool = 5\n"},
    "korvane-number": {"pyproject.toml": b"[tool]\nkorvane = 5\nblack = 5\n"},
    "values-of-the-wrong-type": {
        "pyproject.toml": b"[tool.korvane]\ndisable = 5\nenable = 5\nignore = 5\ndirectories = 'shop'\n"
        b"[tool.black]\nline-length = 'x'\ntarget-version = 'py38'\n",
    },
    "setup-cfg-no-section": {"setup.cfg": b"install_requires = Django==3.2.25\n"},
    "setup-cfg-latin-1": {"setup.cfg": "[metadata]\nauthor = Zoë Café\n".encode("latin-1")},
    "setup-cfg-duplicate-section": {"setup.cfg": b"[metadata]\nname = shop\n[metadata]\nversion = 1\n"},
    # pylint configuration of the project's own: never read
    "pylint-in-pyproject": {
        "pyproject.toml": b"[tool.pylint.'MESSAGES CONTROL']\ndisable = 'all'\n"
        b"[tool.pylint.MASTER]\nload-plugins = 'no_such_plugin'\n",
    },
    "pylint-in-setup-cfg": {"setup.cfg": b"[pylint.MESSAGES CONTROL]\ndisable = all\n"},
    "pylintrc": {"pylintrc": b"[MESSAGES CONTROL]\ndisable=all\n", ".pylintrc": b"disable=all\n"},
}


def make_project(root, extra):
    return support.write_files(root, {**HEALTHY, "requirements.txt": "Django==3.2.25\n", **extra})


def analyse(root, home, first="checker"):
    done = support.run_fresh("-c", SCRIPT, first, cwd=str(root), timeout=300,
                             env={"PYLINTHOME": str(home), "PYLINTRC": None})
    assert done.returncode == 0, done.stderr
    # stdout carries the result alone: no "Failed to load" line of pylint's
    *chatter, result = done.stdout.splitlines()
    assert [line for line in chatter if "Analyzing" not in line] == []
    return json.loads(result), done.stderr


def without_version_record(runs):
    return {jobs: [r for r in records if r[2] != "C1000"] for jobs, records in runs.items()}


@pytest.fixture(scope="module")
def baseline(tmp_path_factory):
    root = make_project(tmp_path_factory.mktemp("healthy"), {})
    result, _ = analyse(root, tmp_path_factory.mktemp("home"))
    runs = result["runs"]
    assert runs["1"] == runs["0"]
    codes = {r[2] for r in runs["1"]}
    # the healthy project has Python and template findings and its version record
    assert "C1000" in codes and any(r[0].endswith(".py") for r in runs["1"])
    assert any(r[0].endswith(".html") for r in runs["1"])
    return result


def stray_files(home):
    return sorted(str(p.relative_to(home)) for p in home.rglob("*") if p.is_file() and p.suffix != ".stats")


@pytest.mark.parametrize("case", sorted(ODD))
def test_odd_configuration_keeps_the_findings(tmp_path, baseline, case):
    root = make_project(tmp_path / "project", ODD[case])
    home = tmp_path / "home"
    result, stderr = analyse(root, home)
    assert result["files"] == baseline["files"]
    runs = result["runs"]
    assert without_version_record(runs) == without_version_record(baseline["runs"])
    assert runs["1"] == runs["0"]
    assert stray_files(home) == []
    if case == "values-of-the-wrong-type":
        # each ignored key is named in a warning
        for key in ("disable", "enable", "ignore", "directories"):
            assert '"{}" of [tool.korvane]'.format(key) in stderr


@pytest.mark.parametrize("first", ["meta", "helpers", "shims", "dependencies"])
def test_any_module_loads_first(tmp_path, baseline, first):
    extra = dict(ODD["dependency-groups"], **ODD["setup-cfg-no-section"])
    root = make_project(tmp_path / "project", extra)
    result, _ = analyse(root, tmp_path / "home", first=first)
    assert without_version_record(result["runs"]) == without_version_record(baseline["runs"])


def test_import_keeps_the_working_directory_and_no_project_file_is_taken(tmp_path):
    extra = dict(ODD["pylintrc"], **ODD["setup-cfg-duplicate-section"])
    root = make_project(tmp_path / "project", extra)
    script = (
        "import os\n"
        "from korvane.staticanalysis import checker\n"
        "linter = checker.create_linter(linter_class=checker.CodeLinter)\n"
        "print(os.getcwd())\n"
        "print(os.path.abspath(linter.config_file))\n"
    )
    done = support.run_fresh("-c", script, cwd=str(root), timeout=300,
                             env={"PYLINTHOME": str(tmp_path / "home")})
    assert done.returncode == 0, done.stderr
    cwd, config_file = done.stdout.splitlines()
    assert cwd == str(root)
    assert not config_file.startswith(str(root))
