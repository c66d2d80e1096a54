import ast
import logging
import os
import sys
from pathlib import Path

import pytest

from korvane.staticanalysis import meta
from support import write_files

LOGGER = "korvane.staticanalysis.meta"
FIXTURES = Path(__file__).parent / "fixtures" / "projects"


@pytest.fixture
def project(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    return tmp_path


def test_default_ignored_modules():
    assert meta.default_ignored_modules == {".git", ".tox", "htmlcov", sys.prefix}
    assert type(meta.default_ignored_modules) is set


@pytest.mark.parametrize(
    "path, expected",
    [
        ("views.py", True),
        ("app/models.py", True),
        ("a.b.py", False),
        ("my-app/views.py", False),
        ("app/{{name}}/views.py", False),
        ("app/views.pyi", False),
        ("app/views", False),
        ("templates/index.html", False),
    ],
)
def test_is_importable_python_file(project, path, expected):
    assert meta.is_importable_python_file(Path(path)) is expected
    assert meta.is_importable_python_file(path=project / path) is expected


def test_is_importable_python_file_outside_working_directory(project):
    with pytest.raises(ValueError):
        meta.is_importable_python_file(Path("/elsewhere/views.py"))


@pytest.mark.parametrize(
    "path, entries, expected",
    [
        ("app/views.py", set(), False),
        ("app/views.py", {"views"}, True),
        ("app/views.py", {"app/views"}, True),
        ("app/views_extra.py", {"app/views"}, True),
        ("app/legacy_old", {"app/legacy"}, True),
        ("migrations.old", {"migrations"}, True),
        ("legacy.old.x", {"legacy"}, True),
        ("legacy.old.x", {"legacy.old"}, True),
        (".github", {".git"}, True),
        ("/abs/.github", {".git"}, False),
        ("app/tests/test_a.py", {"app/*/test_"}, True),
        ("app/other.py", {"app/views", "x"}, False),
        ("my.pylib", {"mylib"}, True),
    ],
)
def test_is_owner_ignored(path, entries, expected):
    assert meta.is_owner_ignored(path=Path(path), ignored_modules=entries) is expected


@pytest.mark.parametrize(
    "path, entries, expected",
    [
        ("app/views.py", set(), False),
        ("app/notes.txt", set(), True),
        ("app/a.b.py", set(), True),
        ("my-app/index.html", set(), False),
        ("my-app/views.py", set(), True),
        ("app/index.html", {"index"}, True),
        ("app/views.py", {"views"}, True),
    ],
)
def test_should_ignore_path(project, path, entries, expected):
    assert meta.should_ignore_path(Path(path), entries) is expected


def test_should_ignore_path_defaults_to_default_entries(project):
    assert meta.should_ignore_path(Path("htmlcov/index.html")) is True
    assert meta.should_ignore_path(path=Path("app/index.html")) is False


SELECTION_TREE = {
    "app/__init__.py": None,
    "app/views.py": "x = 1\n",
    "app/a.b.py": "x = 1\n",
    "app/notes.txt": "notes\n",
    "app/stubs.pyi": "x: int\n",
    "app/templates/app/index.html": "<p></p>\n",
    "app/migrations/0001_initial.py": "x = 1\n",
    "app/migrations.old/0001_initial.py": "x = 1\n",
    "app/migrations.py": "x = 1\n",
    "my-app/views.py": "x = 1\n",
    "my-app/page.html": "<p></p>\n",
    "legacy.old.x/mod.py": "x = 1\n",
    ".git/hooks.py": "x = 1\n",
    ".github/workflow.py": "x = 1\n",
    "empty/": None,
    "manage.py": "import os\n",
}


def test_selection_rules(project):
    write_files(project, SELECTION_TREE)
    selected = meta.get_files_to_check_in_project(["."], {"migrations", "legacy"})
    assert sorted(selected) == [
        "app/templates/app/index.html",
        "app/views.py",
        "manage.py",
        "my-app/page.html",
    ]
    assert set(selected.values()) == {None}


def test_absolute_walk_does_not_prune_by_text_prefix(project):
    write_files(project, {".github/workflow.py": "x = 1\n", ".git/hooks.py": "x = 1\n"})
    assert meta.get_files_to_check_in_project([str(project)], project_root=str(project)) == {
        ".github/workflow.py": None
    }


def test_configuration_steers_selection(project):
    write_files(
        project,
        {
            "pyproject.toml": "[tool.korvane]\ndirectories = ['app']\nignore = ['skipme']\n",
            "app/views.py": "x = 1\n",
            "app/skipme.py": "x = 1\n",
            "other/views.py": "x = 1\n",
        },
    )
    assert meta.get_files_to_check_in_project(["other"]) == {"app/views.py": None}
    (project / "pyproject.toml").write_text("[tool.korvane]\ndirectories = []\n")
    assert meta.get_files_to_check_in_project(["other"], project_root="") == {"other/views.py": None}


@pytest.mark.parametrize(
    "table, key",
    [("directories = 'app'", "directories"), ("directories = [1]", "directories"), ("ignore = 5", "ignore")],
)
def test_configured_value_of_the_wrong_type_is_ignored(project, caplog, table, key):
    # A text for directories is not walked letter by letter, a number is not taken as
    # an open file: the key is left out with a warning, and the caller's walk is made.
    write_files(
        project,
        {"pyproject.toml": "[tool.korvane]\n" + table + "\n", "app/views.py": "x = 1\n", "other/views.py": "x = 1\n"},
    )
    caplog.set_level(logging.WARNING, logger=LOGGER)
    assert meta.get_files_to_check_in_project(["other"]) == {"other/views.py": None}
    (record,) = caplog.records
    assert '"{}"'.format(key) in record.getMessage()


def test_configured_ignore_text_adds_characters(project, caplog):
    write_files(project, {"pyproject.toml": "[tool.korvane]\nignore = 'ab'\n", "a.py": "x = 1\n", "c.py": "x = 1\n"})
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    assert meta.get_files_to_check_in_project(["."]) == {"c.py": None}
    message = caplog.records[0].getMessage()
    assert message.startswith("ignoring modules: {")
    assert ast.literal_eval(message[len("ignoring modules: "):]) == meta.default_ignored_modules | {"a", "b"}
    assert "a" not in meta.default_ignored_modules


def test_relative_root_text_raises(project):
    write_files(project, {"views.py": "x = 1\n"})
    with pytest.raises(ValueError):
        meta.get_files_to_check_in_project(["."], project_root=".")


def test_missing_directory_raises(project):
    with pytest.raises(FileNotFoundError):
        meta.get_files_to_check_in_project(["nowhere"])


def test_overlapping_directories_and_debug_records(project, caplog):
    write_files(project, {"app/views.py": "x = 1\n", "top.py": "x = 1\n"})
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    result = meta.get_files_to_check_in_project(directories=[".", "app"], ignore=["x"], project_root=None)
    assert sorted(result) == ["app/views.py", "top.py"]
    messages = [record.getMessage() for record in caplog.records]
    assert messages[0].startswith("ignoring modules: {")
    views = project.resolve() / "app" / "views.py"
    assert messages.count('Adding "%s" to list of files to analyse' % views) == 2
    assert len(messages) == 4


def test_symbolic_links(tmp_path, monkeypatch, caplog):
    root = tmp_path / "root"
    outside = write_files(tmp_path / "outside", {"pkg/mod.py": "x = 1\n", "far.py": "x = 1\n"})
    write_files(root, {"real/target.py": "x = 1\n"})
    (root / "linked_dir").symlink_to(outside / "pkg")
    (root / "link.py").symlink_to(root / "real" / "target.py")
    (root / "dangling.py").symlink_to(root / "missing.py")
    (root / "far_link.py").symlink_to(outside / "far.py")
    monkeypatch.chdir(root)
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    # The link to a file outside the root is passed over, not a failure of the selection.
    assert sorted(meta.get_files_to_check_in_project(["."])) == ["real/target.py"]
    assert any(
        r.getMessage().startswith('Skipping "far_link.py"') for r in caplog.records
    )


def test_unreadable_directory_is_skipped(project, caplog, monkeypatch):
    write_files(project, {"locked/views.py": "x = 1\n", "views.py": "x = 1\n"})
    scandir = os.scandir

    def guarded_scandir(path="."):
        if Path(path).name == "locked":
            raise PermissionError(13, "Permission denied", str(path))
        return scandir(path)

    monkeypatch.setattr(os, "scandir", guarded_scandir)
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    assert meta.get_files_to_check_in_project(["."]) == {"views.py": None}
    assert any(r.getMessage() == 'Skipping "locked": the directory cannot be read' for r in caplog.records)


def test_scan_generators_are_lazy_and_keyword_callable(project):
    write_files(project, {"a/one.py": "x = 1\n", "b/two.py": "x = 1\n"})
    walk = meta.scan_tree(directory="nowhere", ignore=set())
    with pytest.raises(FileNotFoundError):
        next(walk)
    paths = meta.scan_trees(directories=iter(["b", "a"]), ignore=set())
    assert iter(paths) is paths
    assert [p.relative_to(project.resolve()) for p in paths] == [Path("b/two.py"), Path("a/one.py")]
    walk = meta.scan_tree(".", set())
    next(walk)
    walk.close()
    with pytest.raises(StopIteration):
        next(walk)


def test_fixture_project_selection(monkeypatch):
    root = FIXTURES / "nested"
    monkeypatch.chdir(root)
    assert sorted(meta.get_files_to_check_in_project(["."], project_root=str(root))) == [
        "setup.py",
        "src/blog/__init__.py",
        "src/blog/settings.py",
        "src/blog/templates/blog/post.html",
        "src/blog/urls.py",
        "src/manage.py",
    ]


@pytest.mark.parametrize(
    "links",
    [
        {"a": "b", "b": "a"},
        {"loop": "loop"},
        {"app/loop.py": "app/loop.py"},
        {"app/static": "app/static/../static"},
        {"app/to_loop.py": "loop", "loop": "loop"},
    ],
    ids=["pair", "self", "module", "through itself", "link to a loop"],
)
def test_symbolic_link_loops_are_skipped(project, caplog, links):
    write_files(project, {"app/views.py": "def index(request):\n    pass\n", "app/templates/home.html": "<p>x</p>\n"})
    for name, target in links.items():
        (project / name).symlink_to(project / target)
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    assert sorted(meta.get_files_to_check_in_project(["."])) == ["app/templates/home.html", "app/views.py"]
    skipped = [r.getMessage() for r in caplog.records if r.getMessage().startswith("Skipping")]
    assert skipped and all(m.endswith(": a loop of symbolic links") for m in skipped)


@pytest.mark.parametrize(
    "directories, configured",
    [
        ([".."], None),
        (["app", "../outside"], None),
        (["{outside}"], None),
        (["linked"], None),
        (["app/../.."], None),
        (["."], "['../outside']"),
        (["."], "['app', '{outside}']"),
    ],
)
def test_directories_outside_the_root_are_refused(tmp_path, monkeypatch, caplog, directories, configured):
    outside = write_files(tmp_path / "outside", {"secrets.py": "KEY = 1\n", "page.html": "<p></p>\n"})
    root = write_files(tmp_path / "root", {"app/views.py": "x = 1\n"})
    (root / "linked").symlink_to(outside)
    if configured:
        (root / "pyproject.toml").write_text(
            "[tool.korvane]\ndirectories = %s\n" % configured.format(outside=outside)
        )
    monkeypatch.chdir(root)
    walked = []
    scandir = os.scandir

    def spying_scandir(path="."):
        walked.append(os.path.realpath(path))
        return scandir(path)

    monkeypatch.setattr(os, "scandir", spying_scandir)
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    wanted = [d.format(outside=outside) for d in directories]
    selected = meta.get_files_to_check_in_project(wanted, project_root=str(root))
    assert set(selected) <= {"app/views.py"}
    # never walked: no listing was opened outside the root
    assert all(path == str(root) or path.startswith(str(root) + os.sep) for path in walked)
    refused = [r for r in caplog.records if r.getMessage().startswith("Skipping directory")]
    assert refused and all(r.levelname == "WARNING" for r in refused)
    assert all(r.getMessage().endswith(": it lies outside the project root") for r in refused)
