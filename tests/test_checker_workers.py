"""The parallel pass: files go to the workers in groups that share their trees."""
import json
import os
import shutil
from pathlib import Path

import pytest
from pylint.typing import FileItem

import support
from korvane.staticanalysis import checker
from support import write_files

# Apps whose modules infer each other's: a service of one app stores into an order of
# another app what the views of both read back.
CROSSAPPS = Path(__file__).parent / "fixtures" / "crossapps"


def items(paths):
    return [FileItem(p.replace("/", ".")[:-3], p, p.replace("/", ".")[:-3]) for p in paths]


def grouped(paths, jobs):
    return [[i.filepath for i in group] for group in checker.group_file_items(items(paths), jobs)]


@pytest.mark.parametrize(
    "paths, jobs, expected",
    [
        # an app's modules and its migrations go together, in first-seen order
        (["shop/models.py", "blog/views.py", "shop/migrations/0001_initial.py",
          "shop/views.py", "blog/models.py", "manage.py"], 2,
         [["shop/models.py", "shop/migrations/0001_initial.py", "shop/views.py"],
          ["blog/views.py", "blog/models.py"], ["manage.py"]]),
        # a subpackage other than migrations is a group of its own
        (["shop/models.py", "shop/management/commands/load.py"], 1,
         [["shop/models.py"], ["shop/management/commands/load.py"]]),
        # a group larger than 8 files and a quarter of one worker's share is cut in order
        ([f"big/m{i}.py" for i in range(10)], 1,
         [[f"big/m{i}.py" for i in range(8)], ["big/m8.py", "big/m9.py"]]),
        ([f"big/m{i}.py" for i in range(40)], 1,
         [[f"big/m{i}.py" for i in range(k, k + 10)] for k in (0, 10, 20, 30)]),
        ([], 2, []),
    ],
)
def test_group_file_items(paths, jobs, expected):
    assert grouped(paths, jobs) == expected


def test_group_file_items_empty_jobs_means_one_worker_per_cpu():
    paths = [f"big/m{i}.py" for i in range(400)]
    sizes = {len(group) for group in grouped(paths, None)}
    assert sizes == {max(8, -(-400 // (4 * (os.cpu_count() or 1))))}


@pytest.fixture
def apps(tmp_path, enter_project):
    """Three apps whose views and migrations infer their own app's models."""
    root = tmp_path / "apps"
    files = {}
    for app in ("one", "two", "three"):
        write_files(root / app, {"__init__.py": None, "migrations/__init__.py": None})
        sources = {
            "models.py": "from django.db import models\n\n\nclass Item(models.Model):\n"
                         "    name = models.CharField(max_length=10, null=True)\n",
            "views.py": f"from {app}.models import Item\n\n\ndef view():\n"
                        "    return len(Item.objects.all())\n",
            "migrations/0001_initial.py": "from django.db import migrations\n\n\n"
                                          "class Migration(migrations.Migration):\n"
                                          "    operations = [migrations.RunPython(print)]\n",
        }
        write_files(root / app, sources)
        files.update((f"{app}/{name}", None) for name in sources)
    return enter_project(root), files


def test_workers_give_the_records_of_one_job(apps):
    root, files = apps

    def key(records):
        return sorted((r["path"], r["line"], r["message-id"], str(r["message"])) for r in records)

    one = checker.get_messages(str(root), files, jobs=1)
    assert {r["message-id"] for r in one} >= {"C2000", "C8001"}
    for jobs in (0, 2):
        assert key(checker.get_messages(str(root), files, jobs=jobs)) == key(one)


def test_error_in_a_worker_reaches_the_caller(apps, monkeypatch):
    root, files = apps

    def boom(self, file_item):
        raise LookupError("inside " + file_item.filepath)

    # the workers are forked from this process and inherit the patch
    monkeypatch.setattr(checker.Linter, "check_single_file_item", boom, raising=False)
    linter = checker.create_linter(linter_class=checker.Linter, jobs=2)
    with pytest.raises(LookupError, match="inside "):
        linter.check(list(files))


def test_pool_that_cannot_start_leaves_the_reporter_in_place(apps):
    root, files = apps
    linter = checker.create_linter(linter_class=checker.Linter, jobs=-1)
    reporter = linter.reporter
    with pytest.raises(ValueError):
        linter.check(list(files))
    assert linter.reporter is reporter


def test_job_count_above_the_file_count_starts_one_worker_per_group(apps, monkeypatch):
    import multiprocessing

    started = []

    class CountingProcess(multiprocessing.Process):
        def start(self):
            started.append(self)
            super().start()

    monkeypatch.setattr(multiprocessing, "Process", CountingProcess)
    root, files = apps
    records = checker.get_messages(str(root), files, jobs=1000)
    # the three apps are three groups: one worker each, not a thousand
    assert len(started) == 3
    assert {r["message-id"] for r in records} >= {"C2000", "C8001"}



ANALYSE = """
import json, sys
from korvane.staticanalysis import checker
files = dict.fromkeys(json.loads(sys.argv[1]))
records = checker.get_messages(".", files, jobs=int(sys.argv[2]))
print(json.dumps([[r["path"], r["line"], r["message-id"], r["message"]] for r in records]))
"""


def analysed(root, paths, jobs):
    """The records of one analysis in a fresh process: no tree of another run at hand."""
    result = support.run_fresh("-c", ANALYSE, json.dumps(paths), str(jobs), cwd=str(root))
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout.splitlines()[-1])


@pytest.fixture(scope="module")
def crossapps(tmp_path_factory):
    """The project, its modules in sorted order and their records at one job: the
    service that assigns `order.customer` is checked before the views that read it."""
    root = tmp_path_factory.mktemp("workers") / "crossapps"
    shutil.copytree(str(CROSSAPPS), str(root))
    paths = sorted(str(p.relative_to(root)) for p in root.rglob("*.py"))
    return root, paths, analysed(root, paths, 1)


def test_modules_that_infer_each_other_report_what_each_says(crossapps):
    _, _, records = crossapps
    assert {(path, code) for path, _, code, _ in records} == {
        ("billing/services.py", "C9000"), ("billing/views.py", "C9001"), ("orders/views.py", "C9001")}


@pytest.mark.parametrize("jobs, order", [(1, "reversed"), (0, "sorted"), (2, "sorted")])
def test_modules_that_infer_each_other_give_the_same_records_in_every_run(crossapps, jobs, order):
    root, paths, first = crossapps
    again = analysed(root, paths[::-1] if order == "reversed" else paths, jobs)
    # the same records, and in the change set's order at every job count
    assert (sorted(again) if order == "reversed" else again) == first
