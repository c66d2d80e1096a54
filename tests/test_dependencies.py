import ast
import types
from pathlib import Path

import pytest
from packaging.specifiers import SpecifierSet

from korvane.staticanalysis import dependencies, stockconf
from korvane.staticanalysis.stockconf import (
    django_1_11,
    django_2_0,
    django_2_1,
    django_2_2,
    django_3_0,
    django_3_1,
    django_3_2,
)
from support import write_files

FIXTURES = Path(__file__).parent / "fixtures" / "projects"
STOCK = [django_1_11, django_2_0, django_2_1, django_2_2, django_3_0, django_3_1, django_3_2]


def details(path, version, specs):
    return {"path": path, "version": version, "specs": specs}


def test_tables():
    assert dependencies.versions == ["1.11", "2.0", "2.1", "2.2", "3.0", "3.1", "3.2"]
    assert dependencies.dparse_file_types == [
        "requirements.txt", "conda.yml", "setup.cfg", "Pipfile.lock", "Pipfile",
    ]
    assert list(dependencies.DJANGO_SETTINGS_MAPPING.items()) == list(zip(dependencies.versions, STOCK))


@pytest.mark.parametrize(
    "requirements, expected",
    [
        ("Django\n", details("requirements.txt", "1.11", "")),
        ("Django>=2.2,<3.0\n", details("requirements.txt", "2.2", ">=2.2,<3.0")),
        ("django<3\n", details("requirements.txt", "1.11", "<3")),
        ("DJANGO~=3.1.0\n", details("requirements.txt", "3.1", "~=3.1.0")),
        ("Django==3.2.5\n", details("requirements.txt", "3.2", "==3.2.5")),
        ("Django==3.2.30\n", None),
        ("Django==4.0\n", None),
        ("django-extensions==3.1.0\n", None),
        ("requests==2.25.1\n", None),
        ("Django>=3.0 # pinned\n", details("requirements.txt", "3.0", ">=3.0")),
        ("Django==3.2.5 \\\n    --hash=sha256:" + "a" * 64 + "\n", details("requirements.txt", "3.2", "==3.2.5")),
        ("Django==4.0.1\nDjango>=3.1,<3.2\n", details("requirements.txt", "3.1", ">=3.1,<3.2")),
        # pip options and environment markers on the line do not stop the analysis.
        ("Django==3.2.5 --hash=sha256:" + "b" * 64 + "\n", details("requirements.txt", "3.2", "==3.2.5")),
        ('Django>=3.0 ; python_version >= "3.8"\n', details("requirements.txt", "3.0", ">=3.0")),
        (
            'Django>=3.0; python_version >= "3.8" --hash=sha256:' + "c" * 64 + "\n",
            details("requirements.txt", "3.0", ">=3.0"),
        ),
        (b"# caf\xe9 \xff\nDjango==2.0.1\n", details("requirements.txt", "2.0", "==2.0.1")),
    ],
)
def test_requirements_txt(tmp_path, requirements, expected):
    write_files(tmp_path, {"requirements.txt": requirements})
    assert dependencies.resolve_django_version(str(tmp_path)) == expected


def test_unreadable_requirement_line_is_skipped():
    dependency = types.SimpleNamespace(name="Django", specs=SpecifierSet(">=3.0"), line="Django>=3.0 !!")
    assert dependencies.get_django_version_from_dependency(dependency=dependency, file_type="x") is None
    dependency.line = "Django>=3.0"
    assert dependencies.get_django_version_from_dependency(dependency, "x") == details("x", "3.0", ">=3.0")
    dependency.line = "Django>=3.0\\\n    --hash=sha256:abc # note"
    assert dependencies.get_django_version_from_dependency(dependency, "x") == details("x", "3.0", ">=3.0")


@pytest.mark.parametrize(
    "files, expected",
    [
        (
            {"requirements.txt": "Django==3.0.1\n", "Pipfile": '[packages]\ndjango = "==3.1.2"\n'},
            details("requirements.txt", "3.0", "==3.0.1"),
        ),
        (
            {"requirements.txt": "Django==4.1\n", "Pipfile": '[packages]\ndjango = ">=3.1,<3.2"\n'},
            details("Pipfile", "3.1", ">=3.1,<3.2"),
        ),
        (
            {
                "Pipfile": '[packages]\ndjango = "==3.1.2"\n',
                "Pipfile.lock": '{"_meta": {}, "default": {"django": {"hashes": [], "version": "==2.2.1"}}, "develop": {}}',
            },
            details("Pipfile.lock", "2.2", "==2.2.1"),
        ),
        (
            {"setup.cfg": "[options]\ninstall_requires =\n    Django>=2.1,<2.2\n"},
            details("setup.cfg", "2.1", ">=2.1,<2.2"),
        ),
        (
            {"conda.yml": "name: x\ndependencies:\n  - pip:\n    - Django==3.0.5\n"},
            details("conda.yml", "3.0", "==3.0.5"),
        ),
        ({"requirements.txt": "requests\n"}, None),
        ({}, None),
    ],
)
def test_dependency_file_order(tmp_path, files, expected):
    write_files(tmp_path, files)
    assert dependencies.resolve_django_version(project_root=tmp_path) == expected


SETUP = 'from setuptools import setup\nsetup(name="x", {keywords}install_requires=[{requires}])\n'


@pytest.mark.parametrize(
    "source, expected",
    [
        (SETUP.format(keywords="", requires='"Django>=3.1,<3.2"'), details("setup.py", "3.1", ">=3.1,<3.2")),
        (
            SETUP.format(keywords='classifiers=["Framework :: Django"], ', requires='"requests"'),
            None,
        ),
        (SETUP.format(keywords='keywords="django", ', requires='"Django==3.2.1"'), details("setup.py", "1.11", "")),
        (SETUP.format(keywords='description="  ", ', requires='"Django>=4"'), None),
        # a line the grammar cannot read, holding text that has no UTF-8 form
        (
            SETUP.format(keywords="", requires='"Django==3.2.4\\t# caf\\udce9", "Django==3.1"'),
            details("setup.py", "3.1", "==3.1"),
        ),
    ],
)
def test_setup_py(tmp_path, source, expected):
    write_files(tmp_path, {"setup.py": source})
    assert dependencies.resolve_django_version(tmp_path) == expected
    assert dependencies.resolve_django_version_via_setup_py(project_root_path=tmp_path) == expected


def test_dependency_files_come_before_setup_py(tmp_path):
    write_files(tmp_path, {"setup.py": SETUP.format(keywords="", requires='"Django==3.2.1"'), "requirements.txt": "Django==2.0\n"})
    assert dependencies.resolve_django_version(tmp_path) == details("requirements.txt", "2.0", "==2.0")
    assert dependencies.resolve_django_version_via_dparse(tmp_path) == details("requirements.txt", "2.0", "==2.0")


def test_undecodable_setup_py_raises(tmp_path):
    write_files(tmp_path, {"setup.py": b"name = '\xff\xfe'\n"})
    with pytest.raises(UnicodeDecodeError):
        dependencies.resolve_django_version(tmp_path)


@pytest.mark.parametrize(
    "project, expected",
    [
        ("flat", details("requirements.txt", "1.11", ">=1.11,<2.0")),
        ("split", details("Pipfile.lock", "3.2", "==3.2.25")),
        ("nested", details("conda.yml", "2.1", ">=2.1,<2.2")),
    ],
)
def test_fixture_projects(project, expected):
    assert dependencies.resolve_django_version(FIXTURES / project) == expected


@pytest.mark.parametrize(
    "version, module",
    [("1.11", django_1_11), ("3.1", django_3_1), ("3.2", django_3_2), ("3.3", django_3_2), ("4.0", django_3_2), ("1.8", django_3_2)],
)
def test_get_default_django_settings(version, module):
    assert dependencies.get_default_django_settings(version) is module
    assert dependencies.get_default_django_settings(version=version) is module


def test_module_to_dict():
    module = types.ModuleType("fake_settings")
    module.USE_TZ = True
    module.TIME_ZONE = "UTC"
    module.Timezone = "x"
    module._HIDDEN = 1
    module.X509 = 2
    module.helper = lambda: None
    assert list(dependencies.module_to_dict(module).items()) == [("TIME_ZONE", "UTC"), ("USE_TZ", True), ("X509", 2)]
    everything = dependencies.module_to_dict(module=module, omittable=lambda name: False)
    assert list(everything) == dir(module) and "__doc__" in everything


@pytest.mark.parametrize("module", STOCK)
def test_stock_settings_modules(module):
    settings = dependencies.module_to_dict(module)
    assert settings["DEBUG"] is False and settings["INSTALLED_APPS"] == []
    assert len(settings) > 100
    assert ("DEFAULT_AUTO_FIELD" in settings) is (module is django_3_2)
    assert stockconf.__doc__ and "stand" in stockconf.__doc__.lower()


@pytest.mark.parametrize(
    "source, expected",
    [
        ("import django\n", True),
        ("import django as dj\n", True),
        ("from django.conf import settings\n", True),
        ("from django import forms\n", True),
        ("from .django import x\n", True),
        ("import django.conf\n", False),
        ("from djangoapp import x\n", False),
        ("from . import django\n", False),
        ("def f():\n    import django\n", False),
        ("if True:\n    from django.db import models\n", False),
        ("try:\n    import django\nexcept ImportError:\n    pass\n", False),
    ],
)
def test_is_django_node(source, expected):
    assert dependencies.is_django_node(ast.parse(source)) is expected
    assert dependencies.is_django_node(node=ast.parse(source)) is expected


@pytest.mark.parametrize(
    "files, expected",
    [
        ({"deep/er/manage.py": "x = 1\n", "broken.py": "def (\n"}, True),
        ({"requirements.txt": "Django==3.1\n", "broken.py": "def (\n"}, True),
        ({"requirements.txt": "Django==4.1\n", "app/models.py": "from django.db import models\n"}, True),
        ({"requirements.txt": "Django==4.1\n", "app/models.py": "import django.conf\n"}, False),
        ({"a.py": "def (\n", "b.py": b"x = '\xff'\n", "c.py": "x = '\0'\n", "z/d.py": "import django\n"}, True),
        ({"a.py": "def (\n", "b.py": b"x = '\xff'\n"}, False),
        ({}, False),
    ],
)
def test_is_django_repository(tmp_path, files, expected):
    write_files(tmp_path, files)
    assert dependencies.is_django_repository(str(tmp_path)) is expected
    assert dependencies.is_django_repository(project_root=tmp_path) is expected


def test_is_django_repository_missing_directory(tmp_path):
    assert dependencies.is_django_repository(tmp_path / "nowhere") is False


@pytest.mark.parametrize("project", ["flat", "split", "nested"])
def test_fixture_projects_are_django_repositories(project):
    assert dependencies.is_django_repository(FIXTURES / project) is True


BOM = b"\xef\xbb\xbf"


@pytest.mark.parametrize(
    "name, content, expected",
    [
        ("requirements.txt", BOM + b"Django==3.1.4\nrequests==2.25.1\n", details("requirements.txt", "3.1", "==3.1.4")),
        ("requirements.txt", BOM + b"Django>=2.2,<3.0 # LTS\n\xff\n", details("requirements.txt", "2.2", ">=2.2,<3.0")),
        ("Pipfile", BOM + b'[packages]\ndjango = "==3.0.2"\n', details("Pipfile", "3.0", "==3.0.2")),
        ("setup.cfg", BOM + b"[options]\ninstall_requires =\n    Django>=2.1,<2.2\n", details("setup.cfg", "2.1", ">=2.1,<2.2")),
        ("conda.yml", BOM + b"name: shop\ndependencies:\n  - pip:\n    - Django==3.0.5\n", details("conda.yml", "3.0", "==3.0.5")),
        (
            "setup.py",
            BOM + SETUP.format(keywords="", requires='"Django>=3.1,<3.2"').encode(),
            details("setup.py", "3.1", ">=3.1,<3.2"),
        ),
    ],
)
def test_byte_order_mark_is_no_part_of_the_first_line(tmp_path, name, content, expected):
    write_files(tmp_path, {name: content})
    assert dependencies.resolve_django_version(tmp_path) == expected


@pytest.mark.parametrize(
    "name, content",
    [
        ("requirements.txt", "Django==3.0.1\n"),
        ("Pipfile", '[packages]\ndjango = "==3.0.1"\n'),
        ("setup.py", SETUP.format(keywords="", requires='"Django==3.0.1"')),
    ],
)
def test_dependency_file_linked_from_outside_is_not_read(tmp_path, caplog, name, content):
    outside = write_files(tmp_path / "shared", {name: content})
    root = tmp_path / "shop"
    root.mkdir()
    (root / name).symlink_to(outside / name)
    with caplog.at_level("WARNING", logger="korvane.staticanalysis.dependencies"):
        assert dependencies.resolve_django_version(root) is None
    assert [r.getMessage() for r in caplog.records] == [
        'Skipping "%s": a link leading outside the project root' % (root / name)
    ]
    # a link to a file inside the project is read like the file itself
    (root / "requirements").mkdir()
    (root / name).unlink()
    write_files(root, {"requirements/base.txt": content})
    (root / name).symlink_to(root / "requirements" / "base.txt")
    assert dependencies.resolve_django_version(root)["version"] == "3.0"


def test_is_django_repository_passes_over_loops_and_links_out(tmp_path):
    outside = write_files(tmp_path / "elsewhere", {"views.py": "from django.http import HttpResponse\n"})
    root = write_files(tmp_path / "site", {"app/views.py": "def index(request):\n    return None\n"})
    (root / "app" / "loop.py").symlink_to(root / "app" / "loop.py")
    (root / "app" / "a.py").symlink_to(root / "app" / "b.py")
    (root / "app" / "b.py").symlink_to(root / "app" / "a.py")
    (root / "app" / "shared.py").symlink_to(outside / "views.py")
    (root / "app" / "package.py").mkdir()
    assert dependencies.is_django_repository(root) is False
    write_files(root, {"app/models.py": "from django.db import models\n"})
    assert dependencies.is_django_repository(root) is True
