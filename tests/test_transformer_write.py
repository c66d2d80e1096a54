"""Writing fixed texts into a project: what is written, and that nothing is lost."""
import os
import re
import signal
import stat
from pathlib import Path

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
            return pairs if isinstance(pairs, diff.Produced) else iter(pairs)

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


def test_setuid_and_setgid_bits_survive_the_owner_being_kept(project, producer):
    # giving a file its owner clears these bits, even when the owner stays the same
    script = project / "manage.py"
    script.write_text("#!/usr/bin/env python\nimport sys\n")
    script.chmod(0o6755)
    producer([("#!/usr/bin/env python\nimport os\n", "manage.py")])
    transformer.trasform_files_in_place(str(project), None)
    assert script.read_text() == "#!/usr/bin/env python\nimport os\n"
    assert stat.S_IMODE(script.stat().st_mode) == 0o6755


class FailingOnCall:
    """`os.replace` that raises `error` at the calls numbered in `failing` (from 1) and
    works otherwise."""

    def __init__(self, failing, error):
        self.failing, self.error, self.calls = failing, error, 0
        self.real = os.replace

    def __call__(self, *args):
        self.calls += 1
        if self.calls in self.failing:
            raise self.error
        return self.real(*args)


@pytest.mark.parametrize("error", [
    PermissionError(1, "Operation not permitted"),
    KeyboardInterrupt(),
], ids=["refused", "interrupted"])
def test_a_failing_replace_puts_back_every_file_already_replaced(project, producer, monkeypatch, error):
    producer([("a = 1\n", "catalog/models.py"), ("b = 2\n", "catalog/views.py"),
              ("c = 3\n", "catalog/forms.py")])
    before = snapshot(project)
    monkeypatch.setattr(os, "replace", FailingOnCall({2}, error))
    with pytest.raises(type(error)):
        transformer.trasform_files_in_place(str(project), None)
    # the first file was replaced and is back; no temporary, kept original or new file
    assert snapshot(project) == before


def test_a_signal_held_while_a_replace_fails_takes_effect_after_the_rollback(project, producer,
                                                                             monkeypatch):
    producer([("a = 1\n", "catalog/models.py"), ("b = 2\n", "catalog/views.py")])
    before = snapshot(project)
    failing = FailingOnCall({2}, PermissionError(1, "Operation not permitted"))

    def interrupted(*args):
        if failing.calls == 0:
            os.kill(os.getpid(), signal.SIGINT)  # held back until the rollback is done
        return failing(*args)

    monkeypatch.setattr(os, "replace", interrupted)
    with pytest.raises(KeyboardInterrupt) as raised:
        transformer.trasform_files_in_place(str(project), None)
    assert isinstance(raised.value.__context__, PermissionError)
    assert snapshot(project) == before


def test_a_signal_held_while_the_files_are_replaced_names_every_file_written(project, producer,
                                                                              monkeypatch, caplog):
    producer([("a = 1\n", "catalog/models.py"), ("b = 2\n", "catalog/views.py")])
    real = os.replace

    def interrupted(*args):
        os.kill(os.getpid(), signal.SIGINT)  # held back until the last replace is done
        return real(*args)

    monkeypatch.setattr(os, "replace", interrupted)
    with pytest.raises(KeyboardInterrupt):
        transformer.trasform_files_in_place(str(project), None)
    assert (project / "catalog/views.py").read_text() == "b = 2\n"
    assert [r.getMessage() for r in caplog.records if r.levelname == "WARNING"] == [
        "Written before the signal: catalog/models.py", "Written before the signal: catalog/views.py"]


def test_a_signal_whose_handler_goes_on_lets_the_writing_start_again(project, producer,
                                                                     monkeypatch):
    producer([("a = 1\n", "catalog/models.py"), ("b = 2\n", "catalog/views.py")])
    handled, synced, real = [], [], os.fsync

    def hup_on_first(fd):
        synced.append(fd)
        if len(synced) == 1:
            os.kill(os.getpid(), signal.SIGHUP)  # held: the temporaries are dropped first
        return real(fd)

    monkeypatch.setattr(os, "fsync", hup_on_first)
    previous = signal.signal(signal.SIGHUP, lambda signum, frame: handled.append(signum))
    try:
        assert transformer.trasform_files_in_place(str(project), None) == [
            "catalog/models.py", "catalog/views.py"]
    finally:
        signal.signal(signal.SIGHUP, previous)
    assert handled == [signal.SIGHUP] and len(synced) == 3
    assert (project / "catalog/views.py").read_text() == "b = 2\n"
    assert sorted(p.name for p in (project / "catalog").iterdir()) == [
        "__init__.py", "models.py", "views.py"]


def test_a_restore_that_fails_names_the_file_and_keeps_its_original(project, producer, monkeypatch,
                                                                      caplog):
    producer([("a = 1\n", "catalog/models.py"), ("b = 2\n", "catalog/views.py"),
              ("c = 3\n", "catalog/forms.py")])
    # the third replace fails, and so does putting back the second file
    monkeypatch.setattr(os, "replace", FailingOnCall({3, 4}, PermissionError(1, "Operation not permitted")))
    with pytest.raises(PermissionError):
        transformer.trasform_files_in_place(str(project), None)
    assert (project / "catalog/models.py").read_text() == MODELS
    assert not (project / "catalog/forms.py").exists()
    [line] = [r.getMessage() for r in caplog.records if r.getMessage().startswith("Not restored")]
    kept = re.match(r"Not restored: catalog/views\.py: its original is kept as (\S+): ", line)
    assert kept, line
    assert Path(kept[1]).read_text() == VIEWS
    assert {p.name for p in (project / "catalog").iterdir()} == {
        "__init__.py", "models.py", "views.py", Path(kept[1]).name}


@pytest.mark.parametrize("between_replaces", [False, True], ids=["before-writing", "between-replaces"])
def test_a_file_edited_since_it_was_read_stops_every_write(project, producer, monkeypatch,
                                                           between_replaces):
    import hashlib

    read = {path: hashlib.sha256((project / path).read_bytes()).hexdigest()
            for path in ("catalog/models.py", "catalog/views.py")}
    producer(diff.Produced(
        [("a = 1\n", "catalog/models.py"), ("b = 2\n", "catalog/views.py")], read_digests=read))
    views = project / "catalog/views.py"
    if between_replaces:
        # the edit lands once models.py is replaced, before views.py is
        real = os.replace

        def editing(source, target):
            real(source, target)
            if target.endswith("models.py"):
                views.write_text(VIEWS + "# edited meanwhile\n")

        monkeypatch.setattr(os, "replace", editing)
        before = {**snapshot(project), views: (VIEWS + "# edited meanwhile\n").encode()}
    else:
        views.write_text(VIEWS + "# edited meanwhile\n")
        before = snapshot(project)
    with pytest.raises(ValueError, match=r"catalog/views\.py.*changed on disk"):
        transformer.trasform_files_in_place(str(project), None)
    assert snapshot(project) == before


def make_read_only(path):
    path.chmod(0o444)


def make_hard_link(path):
    os.link(str(path), str(path.parent.parent / "views_backup.py"))


@pytest.mark.parametrize("name, make, warning", [
    ("views.py", make_read_only, "Not written: catalog/views.py: it is read-only"),
    ("views.py", make_hard_link, "Not written: catalog/views.py: it has other links"),
    ("old\nviews.py", make_read_only, "Not written: catalog/old views.py: it is read-only"),
], ids=["read-only", "hard-linked", "line-break-in-name"])
def test_a_file_it_must_not_replace_is_left_with_one_warning_line(project, producer, caplog,
                                                                  name, make, warning):
    views = project / "catalog" / name
    views.write_text(VIEWS)
    make(views)
    inode = views.stat().st_ino
    producer([("a = 1\n", "catalog/models.py"), ("b = 2\n", "catalog/" + name)])
    assert transformer.trasform_files_in_place(str(project), None) == ["catalog/models.py"]
    assert views.read_text() == VIEWS and (project / "catalog/models.py").read_text() == "a = 1\n"
    assert views.stat().st_ino == inode
    assert warning in [r.getMessage() for r in caplog.records]


@pytest.mark.skipif(os.geteuid() != 0, reason="giving a file away needs root")
def test_owner_and_group_are_kept(project, producer):
    models = project / "catalog/models.py"
    os.chown(str(models), 65534, 65534)
    producer([("a = 1\n", "catalog/models.py")])
    transformer.trasform_files_in_place(str(project), None)
    assert (models.stat().st_uid, models.stat().st_gid) == (65534, 65534)


def test_the_umask_is_never_touched(project, producer, monkeypatch):
    monkeypatch.setattr(os, "umask", lambda *args: pytest.fail("os.umask was called"))
    producer([("a = 1\n", "catalog/models.py"), ("x = 1\n", "catalog/forms.py")])
    transformer.trasform_files_in_place(str(project), None)
    assert stat.S_IMODE((project / "catalog/forms.py").stat().st_mode) == 0o666 & ~_umask()


def _umask():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("Umask:"):
                return int(line.split()[1], 8)
