from pathlib import Path

import pytest

from korvane.staticanalysis import meta
from support import write_files

FIXTURES = Path(__file__).parent / "fixtures" / "projects"


@pytest.fixture
def fixture_project(enter_project):
    return lambda name, source_dir="": enter_project(FIXTURES / name, source_dir)


@pytest.fixture
def project(tmp_path, enter_project):
    return enter_project(tmp_path)


@pytest.mark.parametrize("kind", ["empty", "missing", "file"])
def test_no_manage_file(tmp_path, kind):
    target = {"empty": tmp_path, "missing": tmp_path / "nowhere", "file": tmp_path / "file.py"}[kind]
    if kind == "file":
        target.write_text("x = 1\n")
    with pytest.raises(meta.ManageFileMissingError) as raised:
        meta.get_manage_file(target)
    assert raised.value.args == ()
    assert issubclass(meta.ManageFileMissingError, IOError)
    assert meta.get_django_project_root(target) is target
    assert meta.get_django_project_root(target=str(target)) == str(target)
    assert meta.get_settings_modpath(target) is None
    assert list(meta.get_settings_files(target)) == []


def test_manage_file_at_the_top_wins(tmp_path):
    write_files(tmp_path, {"sub/manage.py": "x = 1\n", "manage.py": "x = 1\n"})
    assert meta.get_manage_file(str(tmp_path)) == tmp_path / "manage.py"
    assert meta.get_django_project_root(tmp_path) == str(tmp_path)


@pytest.mark.parametrize(
    "name, source_dir, modpath, root",
    [
        ("flat", "", "flatsite.settings", ""),
        ("split", "", "shop.settings.prod", ""),
        ("nested", "src", "blog.settings", "src"),
    ],
)
def test_fixture_projects(fixture_project, name, source_dir, modpath, root):
    path = fixture_project(name, source_dir)
    assert meta.get_django_project_root(path) == str(path / root).rstrip("/")
    assert meta.get_settings_modpath(path) == modpath


IF_MAIN = 'import os\n\nif __name__ == "__main__":\n    {}\n'
DECLARE = 'os.environ.setdefault("DJANGO_SETTINGS_MODULE", "{}")'


@pytest.mark.parametrize(
    "source, expected",
    [
        (IF_MAIN.format(DECLARE.format("proj.settings")), ["proj.settings"]),
        (IF_MAIN.format('environ.setdefault("DJANGO_SETTINGS_MODULE", "proj.other")'), ["proj.other"]),
        (
            IF_MAIN.format('os.environ.setdefault("DJANGO_SETTINGS_MODULE", os.environ.get("X_ENV", "proj.env"))'),
            ["proj.env"],
        ),
        # Expression statements without the children of a call declare nothing.
        (IF_MAIN.format('"""doc"""\n    ...\n    name\n    os.environ.setdefault()\n    ' + DECLARE.format("p.s")), ["p.s"]),
        (IF_MAIN.format('os.environ.setdefault("OTHER", "p.s")\n    os.environ.get("DJANGO_SETTINGS_MODULE", "x")'), []),
        ("import os\n" + DECLARE.format("p.top") + "\n", []),
        (IF_MAIN.format("if True:\n        " + DECLARE.format("p.deeper")), []),
        (IF_MAIN.format("pass\nelse:\n    " + DECLARE.format("p.else")), []),
        (
            IF_MAIN.format(DECLARE.format("p.one")) + "if True:\n    " + DECLARE.format("p.two") + "\n",
            ["p.one", "p.two"],
        ),
        # The declaration in a top-level function (Django's `main()`) comes after those of
        # the top-level `if` statements.
        (
            "import os\n\ndef main():\n    " + DECLARE.format("p.main") + "\n\n"
            + IF_MAIN.format(DECLARE.format("p.if") + "\n    main()"),
            ["p.if", "p.main"],
        ),
        ("import os\n\ndef main():\n    if True:\n        " + DECLARE.format("p.nested") + "\n", []),
        ("import os\n\nclass C:\n    " + DECLARE.format("p.cls") + "\n", []),
    ],
)
def test_settings_declarations(tmp_path, source, expected):
    manage = write_files(tmp_path, {"manage.py": source}) / "manage.py"
    assert list(meta.get_settings_modpath_from_manage(manage)) == expected
    assert meta.get_settings_modpath(tmp_path) == (expected[0] if expected else None)


def test_declaration_scan_is_lazy(tmp_path):
    scan = meta.get_settings_modpath_from_manage(manage_path=tmp_path / "manage.py")
    with pytest.raises(FileNotFoundError):
        next(scan)


@pytest.mark.parametrize(
    "source",
    [
        IF_MAIN.format('os.environ.setdefault(NAME, "p.s")'),
        IF_MAIN.format('os.environ.setdefault("DJANGO_SETTINGS_MODULE", 3)'),
    ],
)
def test_unusable_declarations_give_nothing(project, source):
    write_files(project, {"manage.py": source, "p/__init__.py": "x = 1\n", "p/settings.py": "x = 1\n"})
    assert list(meta.get_settings_files(project)) == []


def test_not_text_declaration_is_returned_unchanged(tmp_path):
    write_files(tmp_path, {"manage.py": IF_MAIN.format('os.environ.setdefault("DJANGO_SETTINGS_MODULE", 3)')})
    assert meta.get_settings_modpath(tmp_path) == 3


def test_read_errors_reach_the_caller(tmp_path):
    write_files(tmp_path, {"manage.py": "if x:\n    def (\n"})
    with pytest.raises(Exception) as raised:
        meta.get_settings_modpath(tmp_path)
    assert "Syntax" in type(raised.value).__name__ or isinstance(raised.value, SyntaxError)


def test_settings_files_of_fixture_projects(fixture_project):
    fixture_project("flat")
    assert sorted(meta.get_settings_files(FIXTURES / "flat")) == ["flatsite.local_settings", "flatsite.settings"]
    # A settings package whose modules have no "settings" in their names gives nothing.
    fixture_project("split")
    assert list(meta.get_settings_files(FIXTURES / "split")) == []
    fixture_project("nested", "src")
    assert list(meta.get_settings_files(target=str(FIXTURES / "nested"))) == ["blog.settings"]


def test_settings_files_selection(project):
    write_files(
        project,
        {
            "manage.py": IF_MAIN.format(DECLARE.format("missing.settings") + "\n    " + DECLARE.format("mysite.settings")),
            "mysite/__init__.py": "x = 1\n",
            "mysite/settings.py": "x = 1\n",
            "mysite/urls.py": "x = 1\n",
            "mysite/sub/test_settings.py": "x = 1\n",
            "mysite/my-settings.py": "x = 1\n",
        },
    )
    # The first declaration does not resolve: the search ends there.
    assert list(meta.get_settings_files(project)) == []
    write_files(project, {"manage.py": IF_MAIN.format(DECLARE.format("mysite.settings") + "\n    " + DECLARE.format("x.y"))})
    assert sorted(meta.get_settings_files(project)) == ["mysite.settings", "mysite.sub.test_settings"]
    paths = meta.get_settings_paths_from_manage(project / "manage.py")
    assert sorted(p.name for p in paths) == ["__init__.py", "my-settings.py", "settings.py", "test_settings.py", "urls.py"]


def test_settings_paths_without_declaration(tmp_path):
    write_files(tmp_path, {"manage.py": "x = 1\n"})
    assert meta.get_settings_paths_from_manage(tmp_path / "manage.py") == []


def test_settings_modpath_relative_to_manage_path(project):
    write_files(project, {"mysite/settings.py": "x = 1\n"})
    assert (
        meta.get_settings_modpath_relative_to_manage_path(
            settings_path=Path("mysite/settings.py"), manage_path=project / "manage.py"
        )
        == "mysite.settings"
    )


def test_settings_outside_working_directory_raises(tmp_path, monkeypatch):
    write_files(tmp_path, {"proj/manage.py": IF_MAIN.format(DECLARE.format("ext.settings")), "lib/ext/settings.py": "x = 1\n"})
    monkeypatch.syspath_prepend(str(tmp_path / "lib"))
    monkeypatch.chdir(tmp_path / "proj")
    files = meta.get_settings_files(tmp_path / "proj")
    with pytest.raises(ValueError):
        next(files)


SETTINGS = 'ROOT_URLCONF = "{0}.urls"\nSTATIC_URL = "/assets/"\nINSTALLED_APPS = ["django.contrib.admin"]\n'


@pytest.mark.parametrize("kind", ["link out", "directory", "loop"])
def test_manage_file_that_cannot_be_read_is_passed_over(tmp_path, monkeypatch, caplog, kind):
    outside = write_files(tmp_path / "elsewhere", {"manage.py": IF_MAIN.format(DECLARE.format("evil.settings"))})
    root = write_files(tmp_path / "site", {"src/manage.py": IF_MAIN.format(DECLARE.format("site_a.settings"))})
    top = root / "manage.py"
    if kind == "link out":
        top.symlink_to(outside / "manage.py")
    elif kind == "directory":
        top.mkdir()
    else:
        top.symlink_to(top)
    monkeypatch.chdir(root)
    caplog.set_level("DEBUG", logger="korvane.staticanalysis.meta")
    assert meta.get_manage_file(root) == root / "src" / "manage.py"
    assert meta.get_settings_modpath(root) == "site_a.settings"
    if kind != "loop":  # the recursive glob itself passes a loop over
        assert any(r.getMessage().startswith('Skipping "%s"' % top) for r in caplog.records)
    (root / "src" / "manage.py").unlink()
    with pytest.raises(meta.ManageFileMissingError):
        meta.get_manage_file(root)
    assert meta.get_django_project_root(root) is root
    assert meta.get_settings_modpath(root) is None


def test_settings_reached_through_a_link_out_of_the_root_are_not_read(tmp_path, monkeypatch, caplog):
    outside = write_files(
        tmp_path / "elsewhere",
        {"site_b/settings.py": SETTINGS.format("site_b"), "site_b/__init__.py": "", "secret_settings.py": "ROOT_URLCONF = 'x'\n"},
    )
    root = write_files(
        tmp_path / "site",
        {
            "manage.py": IF_MAIN.format(DECLARE.format("site_b.settings")),
            "site_c/__init__.py": "",
            "site_c/settings.py": SETTINGS.format("site_c"),
        },
    )
    (root / "site_b").symlink_to(outside / "site_b")
    monkeypatch.chdir(root)
    monkeypatch.syspath_prepend(str(root))
    caplog.set_level("DEBUG", logger="korvane.staticanalysis.meta")
    # the settings package is a link leading out of the project: nothing of it is read
    assert list(meta.get_settings_files(root)) == []
    assert meta.get_root_urlconf(["site_b.settings"]) is None
    assert meta.get_static_url_setting(root) == "/static/"
    assert any("a link leading outside the project root" in r.getMessage() for r in caplog.records)
    # a settings module of a package inside the project that links out is passed over too
    write_files(root, {"manage.py": IF_MAIN.format(DECLARE.format("site_c.settings"))})
    (root / "site_c" / "secret_settings.py").symlink_to(outside / "secret_settings.py")
    (root / "site_c" / "loop_settings.py").symlink_to(root / "site_c" / "loop_settings.py")
    assert list(meta.get_settings_files(root)) == ["site_c.settings"]
    assert meta.get_root_urlconf(["site_c.secret_settings", "site_c.settings"]) == "site_c.urls"
    assert meta.get_static_url_setting(root) == "/assets/"
