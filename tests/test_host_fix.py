"""The host's fix road over the example project: a diff that writes nothing, fixes
written in place once, and a fixed project that raises none of the fixed codes."""
import re
import shutil
from pathlib import Path

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
