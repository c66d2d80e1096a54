"""The project's own Django files (manage.py, settings, setup.py) that do not read or
parse: the analysis road logs the step naming the file and goes on without it."""
import logging

import astroid
import pytest

from korvane.staticanalysis import checker, dependencies, meta
from support import write_files

MANAGE = b'''\
#!/usr/bin/env python
"""Django's command-line utility for administrative tasks."""
import os
import sys


def main():
    os.environ.setdefault("DJANGO_SETTINGS_MODULE", "proj.settings")
    from django.core.management import execute_from_command_line

    execute_from_command_line(sys.argv)


if __name__ == "__main__":
    main()
'''

SETTINGS = b'''\
from pathlib import Path

BASE_DIR = Path(__file__).resolve().parent.parent
SECRET_KEY = "not-a-secret"
DEBUG = True
INSTALLED_APPS = ["django.contrib.contenttypes", "shop"]
ROOT_URLCONF = "proj.urls"
STATIC_URL = "/static/"
'''

SETUP = b'''\
from setuptools import find_packages, setup

setup(
    name="shop",
    version="1.0",
    packages=find_packages(),
    install_requires=["Django>=2.2,<3.0"],
)
'''

MODELS = b"""\
from django.db import models


class Order(models.Model):
    reference = models.CharField(max_length=32, unique=True)
    note = models.CharField(max_length=200, null=True)
"""

HEALTHY = [("shop/models.py", 6, "C2000")]

# (broken file, its bytes, the line of the fault, the text that names it in the log)
BROKEN = {
    "manage.py, syntax": ("manage.py", MANAGE.replace(b"def main():", b"def main()"), 7,
                          "manage.py"),
    "manage.py, undecodable": ("manage.py",
                               MANAGE.replace(b"import sys\n", b"import sys\n# g\xe9rer\n"), 5,
                               "manage.py"),
    "settings, syntax": ("proj/settings.py", SETTINGS.replace(b"= True", b"= True if"), 5,
                         "proj/settings.py"),
    "settings, undecodable": ("proj/settings.py",
                              SETTINGS.replace(b'"not-a-secret"', b'"cl\xe9"'), 4,
                              "proj/settings.py"),
    "setup.py, syntax": ("setup.py", SETUP.replace(b'"1.0",', b'"1.0"'), 6, "setup.py"),
    "setup.py, undecodable": ("setup.py",
                              SETUP.replace(b'"1.0",\n', b'"1.0",\n    description="Caf\xe9",\n'),
                              6, "setup.py"),
}


@pytest.fixture
def project(tmp_path, enter_project):
    files = {
        "manage.py": MANAGE,
        "setup.py": SETUP,
        "proj/__init__.py": b"",
        "proj/settings.py": SETTINGS,
        "proj/urls.py": b"urlpatterns = []\n",
        "shop/__init__.py": b"",
        "shop/models.py": MODELS,
    }
    return enter_project(write_files(tmp_path / "project", files))


def ids(records):
    return sorted((r.get("path"), r.get("line"), r["message-id"]) for r in records)


def test_healthy_project(project, driver_options):
    files = {"shop/models.py": None, "manage.py": None, "proj/settings.py": None,
             "setup.py": None, "META": None}
    records = checker.get_messages(str(project), files, default_django_version="2.1", jobs=1)
    assert ids(records) == sorted(HEALTHY + [("setup.py", None, "C1000")])
    assert driver_options == {"version": "2.2", "settings": ["proj.settings"], "urlconf": "proj.urls"}


@pytest.mark.parametrize("jobs", [1, 0])
@pytest.mark.parametrize("path, data, line, named", list(BROKEN.values()), ids=list(BROKEN))
def test_broken_django_file_is_logged_and_the_road_goes_on(project, driver_options, caplog, path,
                                                           data, line, named, jobs):
    (project / path).write_bytes(data)
    files = {"shop/models.py": None, path: None, "META": None}
    with caplog.at_level(logging.ERROR, logger="korvane.staticanalysis.checker"):
        records = checker.get_messages(str(project), files, default_django_version="2.1",
                                       jobs=jobs)

    failures = [r for r in caplog.records if r.getMessage().startswith("Failed to")]
    assert failures
    for record in failures:
        assert record.levelno == logging.ERROR and record.exc_info
        assert named in record.getMessage()

    expected = HEALTHY + [(path, line, "E0001")]
    if path == "setup.py":
        # no version: the caller's default, and no project version record
        assert driver_options["version"] == "2.1"
    else:
        expected.append(("setup.py", None, "C1000"))
        assert driver_options["version"] == "2.2"
    assert ids(records) == sorted(expected)
    if path == "manage.py":
        assert (driver_options["settings"], driver_options["urlconf"]) == ([], "")
    if path == "proj/settings.py":
        assert (driver_options["settings"], driver_options["urlconf"]) == (["proj.settings"], "")


def settings_files(root):
    return list(meta.get_settings_files(root))


def root_urlconf(root):
    return meta.get_root_urlconf(["proj.settings"])


@pytest.mark.parametrize(
    "case, call, error",
    [
        ("manage.py, syntax", settings_files, astroid.AstroidSyntaxError),
        ("manage.py, undecodable", settings_files, UnicodeDecodeError),
        ("settings, syntax", root_urlconf, astroid.AstroidSyntaxError),
        ("settings, undecodable", root_urlconf, UnicodeDecodeError),
        ("setup.py, syntax", dependencies.resolve_django_version, astroid.AstroidSyntaxError),
        ("setup.py, undecodable", dependencies.resolve_django_version, UnicodeDecodeError),
        ("setup.py, syntax", checker.get_meta_messages, astroid.AstroidSyntaxError),
    ],
)
def test_discovery_called_directly_still_raises(project, case, call, error):
    path, data, _, _ = BROKEN[case]
    (project / path).write_bytes(data)
    with pytest.raises(error):
        call(str(project))


@pytest.mark.parametrize(
    "module, name",
    [(dependencies, "resolve_django_version"), (meta, "get_settings_files"),
     (meta, "get_root_urlconf")],
)
def test_an_interrupt_is_not_caught(project, monkeypatch, module, name):
    def interrupted(*args, **kwargs):
        raise KeyboardInterrupt

    monkeypatch.setattr(module, name, interrupted)
    with pytest.raises(KeyboardInterrupt):
        checker.get_messages(str(project), {"shop/models.py": None}, jobs=1)
