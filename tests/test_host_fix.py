"""The host's fix road over the example project: a diff that writes nothing, fixes
written in place once, and a fixed project that raises none of the fixed codes."""
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import support

EXAMPLE = Path(__file__).resolve().parents[1] / "examples" / "bookshop"
# The codes the transformer's fixes answer.
FIXED_CODES = {"C2000", "C2002", "C2003", "C2006", "C2008", "C6002", "C8001",
               "C9000", "C9001", "C9002", "C9003"}
FINDING = re.compile(r"^(?P<path>\S+):(?P<line>\d+):\d+: (?P<code>C\d{4}) ")
# The settings codes whose fixes add a setting at the end of the module.
SETTINGS_CODES = {"C4010", "C4011", "C4012", "C4013", "C4014", "C4016", "C4017"}


def host(*args, cwd=None):
    return support.run_fresh("-m", "korvane.host", *args, cwd=cwd, timeout=600)


def snapshot(root):
    return {p: p.read_bytes() for p in sorted(root.rglob("*")) if p.is_file()}


def lines_found(root):
    result = host(str(root))
    return {(m["path"], int(m["line"]), m["code"])
            for m in map(FINDING.match, result.stdout.splitlines()) if m}


def codes_found(root):
    return {(path, code) for path, _, code in lines_found(root)}


def test_diff_writes_nothing_and_fix_is_stable(tmp_path):
    project = tmp_path / "bookshop"
    shutil.copytree(str(EXAMPLE), str(project))
    before = snapshot(project)
    found_lines = lines_found(project)
    found_before = {(path, code) for path, _, code in found_lines}

    diff = host("--diff", str(project))
    assert diff.returncode == 1, diff.stderr
    changed = re.findall(r"^\+\+\+ b/(\S+)", diff.stdout, re.M)
    assert changed and snapshot(project) == before

    first = host("--fix", str(project))
    assert first.returncode == 0, first.stderr
    assert re.findall(r"^fixed (\S+)$", first.stdout, re.M) == changed
    for path in changed:
        old = before[project / path].decode()
        new = (project / path).read_text()
        compile(new, path, "exec")
        assert support.comments_of(new) == support.comments_of(old), path
        # only the statements of fixable findings change; imports and the end of the
        # file take created code
        lines = [line for p, line, code in found_lines
                 if p == path and code in FIXED_CODES | SETTINGS_CODES]
        allowed = support.statement_lines(old, lines) | support.import_lines(old)
        replaced, inserted_before = support.changed_old_lines(old, new)
        assert replaced <= allowed, (path, sorted(replaced - allowed))
        assert all(line in allowed or line + 1 in allowed or line >= old.count("\n")
                   for line in inserted_before), path

    second = host("--fix", str(project))
    assert second.returncode == 0, second.stderr
    assert second.stdout.splitlines() == ["0 files written"]

    found_after = codes_found(project)
    fixed_before = {item for item in found_before if item[1] in FIXED_CODES}
    assert fixed_before and not {item for item in found_after if item[1] in FIXED_CODES}
    # the fixes raise nothing new
    assert found_after <= found_before


LENDING = Path(__file__).resolve().parent / "fixtures" / "writes" / "lending"
# The modules of the lending project that its fixes change.
LENDING_FIXED = ["loans/models.py", "loans/reports.py", "loans/services.py", "loans/views.py"]


def copy_of(source, target):
    shutil.copytree(str(source), str(target))
    return target


def test_diff_with_odd_file_names_applies_with_patch_and_git_apply(tmp_path):
    project = copy_of(LENDING, tmp_path / "lending")
    reports = (project / "loans/reports.py").read_text()
    for name in ("old reports.py", "new\nreports.py", 'say "hi".py'):
        (project / "loans" / name).write_text(reports)
    diff = host("--diff", str(project))
    assert diff.returncode == 1, diff.stderr
    fixed = host("--fix", str(copy_of(project, tmp_path / "fixed")))
    assert fixed.returncode == 0, fixed.stderr
    assert len(fixed.stdout.splitlines()) == 8
    patch_file = tmp_path / "fixes.patch"
    patch_file.write_text(diff.stdout)
    for tool in (["patch", "-p1", "-i"], ["git", "apply"]):
        target = copy_of(project, tmp_path / tool[0])
        applied = subprocess.run(tool + [str(patch_file)], cwd=str(target), capture_output=True,
                                 text=True, timeout=60)
        assert applied.returncode == 0, applied.stdout + applied.stderr
        assert snapshot_texts(target) == snapshot_texts(tmp_path / "fixed"), tool[0]


def snapshot_texts(root):
    return {str(p.relative_to(root)): p.read_bytes() for p in sorted(root.rglob("*")) if p.is_file()}


def closed_pipe():
    read, write = os.pipe()
    os.close(read)
    return write


@pytest.mark.parametrize("option, output, status, last_line", [
    ("--diff", closed_pipe, 141, None),
    ("--fix", closed_pipe, 141, None),
    ("--fix", lambda: os.open("/dev/full", os.O_WRONLY), 0,
     "korvane.host: 4 files written, but not listed: OSError: [Errno 28] No space left on device"),
    ("--diff", lambda: os.open("/dev/full", os.O_WRONLY), 2,
     "korvane.host: printing failed: OSError: [Errno 28] No space left on device"),
], ids=["diff-closed-pipe", "fix-closed-pipe", "fix-full-device", "diff-full-device"])
def test_output_that_cannot_be_printed(tmp_path, option, output, status, last_line):
    project = copy_of(LENDING, tmp_path / "lending")
    before = snapshot_texts(project)
    stdout = output()
    try:
        result = subprocess.run([sys.executable, "-m", "korvane.host", option, str(project)],
                                env=support.fresh_env(), stdout=stdout, stderr=subprocess.PIPE,
                                text=True, timeout=600)
    finally:
        os.close(stdout)
    assert result.returncode == status, result.stderr
    assert "Traceback" not in result.stderr and "Exception ignored" not in result.stderr
    host_lines = [line for line in result.stderr.splitlines() if line.startswith("korvane.host:")]
    assert host_lines == ([last_line] if last_line else [])
    changed = sorted(p for p in before if snapshot_texts(project)[p] != before[p])
    assert changed == (LENDING_FIXED if option == "--fix" else [])
FIELD_NAMES = Path(__file__).resolve().parent / "fixtures" / "fieldnames"
# Imports each module named on the command line with Django set up by the project's
# settings, then stores and reads back a row of every model.
USE_MODELS = """\
import importlib
import sys

import django

django.setup()
for name in sys.argv[1:]:
    importlib.import_module(name)

from django.db import connection
from letters.models import Letter
from papers.models import Issue, Journal

with connection.schema_editor() as editor:
    for model in (Journal, Issue, Letter):
        editor.create_model(model)
journal = Journal.objects.create(name="Notes", style_guide="x" * 6000)
Issue.objects.create(journal=journal, title="First")
Letter.objects.create(sender="Ada", body="y" * 30000)
assert Journal.objects.get().style_guide == "x" * 6000
assert Issue.objects.get().peer_reviewed is None
assert Letter.objects.get().answered is None
for model in (Journal, Issue, Letter):
    for field in model._meta.fields:
        print(model.__name__, field.name, field.get_internal_type(), field.null)
"""


def test_fixed_field_classes_are_importable_where_they_are_used(tmp_path):
    # models that name their fields through bare imports, aliases and a module alias
    project = tmp_path / "archive"
    shutil.copytree(str(FIELD_NAMES), str(project))
    result = host("--fix", str(project))
    assert result.returncode == 0, result.stderr
    written = re.findall(r"^fixed (\S+)$", result.stdout, re.M)
    assert sorted(written) == ["letters/models.py", "papers/models.py"]
    assert not re.findall(r"^(Skipped|Not fixed)", result.stderr, re.M), result.stderr

    modules = [path[:-3].replace("/", ".") for path in written]
    used = support.run_fresh("-c", USE_MODELS, *modules, cwd=str(project),
                             env={"DJANGO_SETTINGS_MODULE": "archive.settings"})
    assert used.returncode == 0, used.stderr
    fields = {tuple(line.split()[:2]): tuple(line.split()[2:]) for line in used.stdout.splitlines()}
    assert fields[("Journal", "style_guide")] == ("TextField", "False")
    assert fields[("Journal", "open_access")] == ("BooleanField", "True")
    assert fields[("Issue", "peer_reviewed")] == ("BooleanField", "True")
    assert fields[("Letter", "body")] == ("TextField", "False")
    assert fields[("Letter", "archived")] == ("BooleanField", "True")
    assert fields[("Letter", "transcript")] == ("TextField", "False")
    assert codes_found(project) == {("requirements.txt", "C1000")}
CATALOG = Path(__file__).parent / "fixtures" / "catalogview"


def test_a_fix_inside_a_dict_display_changes_only_its_line(tmp_path):
    project = tmp_path / "catalogview"
    shutil.copytree(str(CATALOG), str(project))
    diff = host("--diff", str(project))
    assert diff.returncode == 1, diff.stderr
    assert re.findall(r"^\+\+\+ b/(\S+)", diff.stdout, re.M) == ["frontlist/views.py"]
    lines = diff.stdout.splitlines()
    removed = [line for line in lines if line.startswith("-") and not line.startswith("---")]
    added = [line for line in lines if line.startswith("+") and not line.startswith("+++")]
    assert removed == ['-        "count": len(books),']
    assert added == ['+        "count": books.count(),']
    # the comment, the layout and the magic trailing comma stay
    assert '         "object_list": featured,  # shown first' in lines
    assert "     })" in lines
# Apps whose code stores None in, or looks up NULL of, nullable string fields of models
# of other apps: a service, a view, a task, a filter and two builders of objects.
NULL_RELIANCE = Path(__file__).resolve().parent / "fixtures" / "nullreliance"
# The project's code at work on a database made from its fixed models.
RUN_THE_PROJECT = """
import django
from decimal import Decimal
from types import SimpleNamespace

django.setup()
from django.apps import apps
from django.db import connection

with connection.schema_editor() as editor:
    for model in apps.get_models():
        editor.create_model(model)

from accounts.models import Profile
from accounts.views import disable_two_factor
from checkout.delivery import pickup
from checkout.filters import filter_used
from checkout.models import Checkout, Line
from checkout.prices import add_line, free_sample
from checkout.tasks import anonymous_checkouts
from projects.models import Project
from transfers.services import cancel_transfer, start_transfer

project = Project.objects.create(name="Docs")
start_transfer(project)
cancel_transfer(project)
assert Project.objects.get().transfer_token is None
assert Project.objects.get().description == ""
profile = Profile.objects.create(display_name="Ann", totp="JBSWY3DPEHPK3PXP")
disable_two_factor(SimpleNamespace(profile=profile))
assert Profile.objects.get().totp is None
anonymous = Checkout.objects.create()
Checkout.objects.create(email="ann@example.com", used_by_email="ann@example.com")
assert list(anonymous_checkouts()) == [anonymous]
assert list(filter_used(Checkout.objects.all(), False)) == [anonymous]
pickup(anonymous).save()
add_line(anonymous, free_sample())
assert Line.objects.get().tax_code is None
print("the project works")
"""


def test_fix_leaves_fields_whose_null_other_apps_rely_on(tmp_path):
    project = tmp_path / "nullreliance"
    shutil.copytree(str(NULL_RELIANCE), str(project))
    before = snapshot(project)

    result = host("--fix", str(project))
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["fixed projects/models.py", "1 file written"]
    models = project / "projects" / "models.py"
    assert support.changed_old_lines(before[models].decode(), models.read_text())[0] == {6}
    assert 'description = models.CharField(max_length=200, default="", blank=True)' in models.read_text()
    assert {p for p, data in snapshot(project).items() if data != before.get(p)} == {models}

    ran = support.run_fresh("-c", RUN_THE_PROJECT, cwd=str(project),
                            env={"DJANGO_SETTINGS_MODULE": "hub.settings"})
    assert ran.returncode == 0, ran.stderr
    assert ran.stdout.strip() == "the project works"
