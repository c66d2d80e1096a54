"""Writing fixed texts into a project: what is written, and that nothing is lost."""
import os
import stat

import pytest

from korvane.staticanalysis import diff, transformer
from support import write_files

MODELS = "from django.db import models\n\n\nclass Book(models.Model):\n    title = models.CharField(max_length=200)\n"
VIEWS = "from django.shortcuts import render\n\n\ndef index(request):\n    return render(request, 'index.html')\n"


@pytest.fixture
def project(tmp_path):
    return write_files(tmp_path / "shop", {
        "catalog/models.py": MODELS,
        "catalog/views.py": VIEWS,
        "catalog/__init__.py": None,
    })


@pytest.fixture
def producer(monkeypatch):
    """Replaces the change producer by one that yields the given pairs, recording its calls."""
    calls = []

    def install(pairs):
        def fake(**kwargs):
            calls.append(kwargs)
            return iter(pairs)

        monkeypatch.setattr(diff, "get_diff_plaintext", fake)
        return calls

    return install


def snapshot(root):
    return {p: p.read_bytes() for p in sorted(root.rglob("*")) if p.is_file()}


def test_producer_gets_settings_and_code_style(project, producer):
    calls = producer([])
    result = transformer.transform_files(str(project), ["catalog/models.py"])
    assert list(result) == [] and len(calls) == 1
    assert calls[0]["project_root"] == str(project)
    assert calls[0]["whitelist"] == ["catalog/models.py"]
    assert calls[0]["settings_modpath"] is None
    assert calls[0]["code_style"]["line_length"] == 88


def test_transform_files_leaves_the_result_unread(project, producer):
    producer([("x = 1\n", "catalog/models.py")])
    result = transformer.transform_files(project_root=str(project), whitelist=None)
    assert next(result) == ("x = 1\n", "catalog/models.py")


def test_nothing_produced_writes_nothing(project, producer):
    producer([])
    before = snapshot(project)
    assert transformer.trasform_files_in_place(str(project), None) == []
    assert snapshot(project) == before


def test_later_text_wins_at_first_place(project, producer):
    producer([("one = 1\n", "catalog/models.py"), ("two = 2\n", "catalog/views.py"),
              ("three = 3\n", "catalog/models.py")])
    assert transformer.trasform_files_in_place(str(project), None) == [
        "catalog/models.py", "catalog/views.py"]
    assert (project / "catalog/models.py").read_text() == "three = 3\n"
    assert (project / "catalog/views.py").read_text() == "two = 2\n"


def test_unchanged_text_is_written_and_listed(project, producer):
    producer([(MODELS, "catalog/models.py")])
    assert transformer.trasform_files_in_place(str(project), None) == ["catalog/models.py"]
    assert (project / "catalog/models.py").read_text() == MODELS


def test_new_file_in_existing_folder(project, producer):
    producer([("x = 1\n", "catalog/forms.py")])
    transformer.trasform_files_in_place(str(project), None)
    assert (project / "catalog/forms.py").read_text() == "x = 1\n"


def make_fifo(root):
    os.mkfifo(str(root / "catalog/pipe.py"))
    return "catalog/pipe.py"


def make_outward_link(root):
    outside = root.parent / "outside.py"
    outside.write_text("secret = 1\n")
    os.symlink(str(outside), str(root / "catalog/linked.py"))
    return "catalog/linked.py"


@pytest.mark.parametrize("make_path", [
    lambda root: "../outside.py",
    lambda root: "catalog/../../outside.py",
    lambda root: str(root.parent / "outside.py"),
    lambda root: "",
    lambda root: "catalog",
    lambda root: "missing/folder.py",
    make_fifo,
    make_outward_link,
], ids=["parent", "climbing", "absolute", "empty", "folder", "missing-folder", "fifo",
        "link-out"])
def test_a_bad_path_writes_nothing(project, producer, make_path):
    bad = make_path(project)
    producer([("fixed = 1\n", "catalog/models.py"), ("fixed = 2\n", bad)])
    before = snapshot(project.parent)
    with pytest.raises(ValueError) as raised:
        transformer.trasform_files_in_place(str(project), None)
    assert repr(bad) in str(raised.value)
    assert snapshot(project.parent) == before


def test_text_the_file_encoding_cannot_hold_writes_nothing(project, producer):
    (project / "catalog/legacy.py").write_bytes(b"# -*- coding: latin-1 -*-\nname = '\xe9'\n")
    producer([("fixed = 1\n", "catalog/models.py"),
              ("# -*- coding: latin-1 -*-\nname = '\u20ac'\n", "catalog/legacy.py")])
    before = snapshot(project)
    with pytest.raises(ValueError, match="legacy.py"):
        transformer.trasform_files_in_place(str(project), None)
    assert snapshot(project) == before


def test_failing_write_midway_keeps_every_original(project, producer, monkeypatch):
    producer([("a = 1\n", "catalog/models.py"), ("b = 2\n", "catalog/views.py")])
    before = snapshot(project)
    synced = []

    def failing_fsync(fd):
        synced.append(fd)
        if len(synced) == 2:
            raise OSError(28, "No space left on device")

    monkeypatch.setattr(os, "fsync", failing_fsync)
    with pytest.raises(OSError, match="No space"):
        transformer.trasform_files_in_place(str(project), None)
    # the originals byte for byte, and no temporary left behind
    assert snapshot(project) == before


def test_file_keeps_its_mode_encoding_line_ends_and_links(project, producer):
    models = project / "catalog/models.py"
    models.chmod(0o640)
    legacy = project / "catalog/legacy.py"
    legacy.write_bytes(b"# -*- coding: latin-1 -*-\r\nname = '\xe9'\r\n")
    os.symlink("models.py", str(project / "catalog/alias.py"))
    producer([("# -*- coding: latin-1 -*-\nname = '\xe8'\n", "catalog/legacy.py"),
              ("title = 'x'\n", "catalog/alias.py")])
    transformer.trasform_files_in_place(str(project), None)
    assert legacy.read_bytes() == b"# -*- coding: latin-1 -*-\r\nname = '\xe8'\r\n"
    assert models.read_text() == "title = 'x'\n"
    assert stat.S_IMODE(models.stat().st_mode) == 0o640
    assert (project / "catalog/alias.py").is_symlink()
