import functools
import itertools
import logging
from pathlib import Path

import astroid
import pytest

from korvane.staticanalysis import meta
from support import write_files

LOGGER = "korvane.staticanalysis.meta"
FIXTURES = Path(__file__).parent / "fixtures" / "projects"
MANAGE = 'import os\n\nif __name__ == "__main__":\n    os.environ.setdefault("DJANGO_SETTINGS_MODULE", "{}")\n'


PACKAGES = itertools.count()


@pytest.fixture
def pkg():
    """A package name of its own: astroid keeps every module it has built by name."""
    return "proj%d" % next(PACKAGES)


@pytest.fixture
def project(tmp_path, enter_project):
    """A project in tmp_path, importable and the working directory; the fixture's
    value adds files to it."""
    return functools.partial(write_files, enter_project(tmp_path))


@pytest.mark.parametrize(
    "name, source_dir, settings_files, root_urlconf, static_url",
    [
        ("flat", "", ["flatsite.settings"], "flatsite.urls", "/static/"),
        ("split", "", ["shop.settings.prod", "shop.settings.base"], "shop.urls", "/static/"),
        ("nested", "src", ["blog.settings"], "blog.urls", "/blog-static/"),
    ],
)
def test_fixture_projects(enter_project, name, source_dir, settings_files, root_urlconf, static_url):
    root = enter_project(FIXTURES / name, source_dir)
    assert meta.get_root_urlconf(settings_files) == root_urlconf
    # The split settings package has no module named like settings: the default stands.
    assert meta.get_static_url_setting(root) == static_url


def test_get_root_urlconf_empty():
    assert meta.get_root_urlconf([]) is None
    assert meta.get_root_urlconf(settings_files=iter([])) is None


@pytest.mark.parametrize(
    "first, second, expected",
    [
        ("# ROOT_URLCONF is set elsewhere\n", 'ROOT_URLCONF = "b.urls"\n', "b.urls"),
        ('ROOT_URLCONF = ""\n', 'ROOT_URLCONF = "b.urls"\n', "b.urls"),
        ('ROOT_URLCONF = "a.urls"\nROOT_URLCONF = "a.other"\n', 'ROOT_URLCONF = "b.urls"\n', "a.urls"),
        ('import os\nROOT_URLCONF = os.environ.get("ROOT_URLCONF", "a.env")\n', "", "a.env"),
        ("", "", None),
    ],
)
def test_get_root_urlconf(project, first, second, expected):
    project({"conf/__init__.py": "\n", "conf/first.py": first, "conf/second.py": second})
    assert meta.get_root_urlconf(["conf.first", "conf.second"]) == expected


def test_root_urlconf_bound_by_import_is_the_import_node(project):
    project({"conf/__init__.py": "\n", "conf/urlsettings.py": "from conf.base import ROOT_URLCONF\n"})
    found = meta.get_root_urlconf(["conf.urlsettings"])
    assert isinstance(found, astroid.ImportFrom)


def test_root_urlconf_unresolved_module_raises(project):
    with pytest.raises(ImportError):
        meta.get_root_urlconf(["no_such_package.settings"])


def test_get_root_urlconf_from_source_builds_with_the_file_path(tmp_path):
    path = str(tmp_path / "settings.py")
    source = 'import os\nROOT_URLCONF = os.path.basename(os.path.dirname(__file__))\n'
    assert meta.get_root_urlconf_from_source(source=source, path=path) == tmp_path.name
    assert meta.get_root_urlconf_from_source("X = 1\n", path) is None


@pytest.mark.parametrize(
    "files, expected",
    [
        ({"settings.py": 'STATIC_URL = "/s/"\n', "local_settings.py": 'STATIC_URL = "/t/"\n'}, {"/s/", "/t/"}),
        ({"settings.py": 'STATIC_URL = ""\n'}, {"DEFAULT"}),
        ({"settings.py": "STATIC_URL = 3\n"}, {"DEFAULT"}),
        ({"settings.py": 'STATIC_URL = ["/s/"]\n'}, {"DEFAULT"}),
        ({"settings.py": 'import os\nSTATIC_URL = os.environ.get("STATIC_URL", "/env/")\n'}, {"/env/"}),
        ({"settings.py": "from proj.base import STATIC_URL\n", "base.py": 'STATIC_URL = "/base/"\n'}, {"/base/"}),
    ],
)
def test_get_static_url_setting(project, pkg, caplog, files, expected):
    root = project({"manage.py": MANAGE.format(pkg + ".settings"), pkg + "/__init__.py": "\n"})
    project({pkg + "/" + name: text.replace("proj.", pkg + ".") for name, text in files.items()})
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    assert meta.get_static_url_setting(root, default="DEFAULT") in expected
    assert [r for r in caplog.records if r.levelno >= logging.ERROR] == []


@pytest.mark.parametrize(
    "files",
    [
        {"settings.py": "from proj.base import OTHER as STATIC_URL\n", "base.py": "OTHER = '/o/'\n"},
        {"settings.py": "from .base import STATIC_URL\n", "base.py": 'STATIC_URL = "/base/"\n'},
        {"settings.py": "STATIC_URL = (\n"},
    ],
)
def test_static_url_failures_are_logged(project, pkg, caplog, files):
    root = project({"manage.py": MANAGE.format(pkg + ".settings"), pkg + "/__init__.py": "\n"})
    project({pkg + "/" + name: text.replace("proj.", pkg + ".") for name, text in files.items()})
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    assert meta.get_static_url_setting(project_root=root) == "/static/"
    (record,) = [r for r in caplog.records if r.levelno >= logging.ERROR]
    assert record.getMessage() == "Failed to get STATIC_URL from settings."
    assert record.exc_info[2] is not None


def test_static_url_without_manage_file(tmp_path, caplog):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    assert meta.get_static_url_setting(tmp_path) == "/static/"
    assert meta.get_static_url_setting(tmp_path, None) is None
    assert caplog.records == []


@pytest.mark.parametrize(
    "source, expected",
    [
        ('STATIC_URL = "/x/"\n', "/x/"),
        ("X = 1\n", None),
        ('STATIC_URL = ""\n', ""),
        ("STATIC_URL = None\n", None),
    ],
)
def test_get_static_url_from_source(source, expected):
    assert meta.get_static_url_from_source(source) == expected
    assert meta.get_static_url_from_source(source=source) == expected
