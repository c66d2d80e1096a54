"""The whole analysis road over a real project that also holds odd but real files.

Each odd file stands for something met in public code bases: a module in a legacy
encoding, a template the HTML parser rejects, a FIFO, a link loop, change-set keys that
leave the project.  The healthy files must keep exactly their findings, at one job and
with worker processes, and nothing may hang, fail or be written to pylint's home."""
import json
import os
import shutil
import textwrap
from pathlib import Path

import pytest

import support

EXAMPLE = Path(__file__).parents[1] / "examples" / "bookshop"

# Runs the road in a fresh interpreter with the project as working directory, as the
# host does, and prints the records as JSON.  Extra change-set keys come as arguments.
ROAD = textwrap.dedent(
    """
    import json, os, sys
    from korvane.staticanalysis import checker, meta
    root = os.getcwd()
    sys.path.insert(0, root)
    files = dict(meta.get_files_to_check_in_project(["."]))
    files.update(dict.fromkeys(json.loads(sys.argv[2])))
    files["META"] = None
    records = checker.get_messages(root, files, jobs=int(sys.argv[1]))
    print(json.dumps(records, default=repr))
    """
)


def run_road(root, jobs, extra_keys=(), pylinthome=None):
    env = {"PYLINTHOME": str(pylinthome)} if pylinthome else {}
    result = support.run_fresh("-c", ROAD, str(jobs), json.dumps(list(extra_keys)),
                               cwd=root, env=env, timeout=300)
    assert result.returncode == 0, result.stderr[-3000:]
    return json.loads(result.stdout.splitlines()[-1])


def keyed(records):
    return sorted(
        json.dumps([r.get("path"), r.get("line"), r.get("column"), r["message-id"],
                    r.get("message") if "message" in r else r.get("body")], sort_keys=True)
        for r in records
    )


ODD_FILES = {
    # valid TOML 1.0 that the old reader rejects, and a setup.cfg without a header
    "pyproject.toml": b'[dependency-groups]\ntests = ["pytest"]\n'
                      b'dev = ["black==24.1.0", { include-group = "tests" }]\n',
    "setup.cfg": b"name = bookshop\n",
    # modules that do not decode, or do not parse
    "catalog/legacy.py": b"# -*- coding: latin-42 -*-\nTITLE = 'x'\n",
    "catalog/latin.py": b"# Copyright\n\nAUTHOR = 'Jos\xe9'\n",
    "orders/broken.py": b"def total(:\n    return 0\n",
    # a field class whose constructor is bound by assignment, and a URL name that is
    # not valid UTF-8 once encoded
    "orders/fields.py": textwrap.dedent(
        """\
        from django.db import models


        def _init(self, *args, **kwargs):
            kwargs.setdefault("max_length", 3)
            models.CharField.__init__(self, *args, **kwargs)


        class CurrencyField(models.CharField):
            __init__ = _init


        class Price(models.Model):
            currency = CurrencyField(null=True)
            label = models.CharField(max_length=40, null=True)
        """
    ).encode(),
    "orders/extra_urls.py": b'from django.urls import path\n\nfrom . import views\n\n'
                            b'urlpatterns = [path("cafe/", views.cart, name="caf\\udce9")]\n',
    # templates the HTML parser rejects or that do not decode
    "templates/ie.html": b"<html><![ if !IE]><p>old</p><![endif]></html>\n",
    "templates/latin.html": b'<p>\xe9t\xe9</p><a href="/about/">about</a>\n',
}


@pytest.fixture(scope="module")
def projects(tmp_path_factory):
    base = tmp_path_factory.mktemp("healthy") / "bookshop"
    shutil.copytree(EXAMPLE, base, symlinks=True)
    odd = tmp_path_factory.mktemp("odd") / "bookshop"
    shutil.copytree(EXAMPLE, odd, symlinks=True)
    for name, data in ODD_FILES.items():
        (odd / name).write_bytes(data)
    # the Django pin behind a byte-order mark
    requirements = odd / "requirements.txt"
    requirements.write_bytes(b"\xef\xbb\xbf" + requirements.read_bytes())
    os.mkfifo(odd / "catalog" / "signals.py")
    os.mkfifo(odd / "templates" / "pipe.html")
    (odd / "loop").symlink_to("loop")
    (odd / "cycle_a").symlink_to("cycle_b")
    (odd / "cycle_b").symlink_to("cycle_a")
    outside = odd.parent / "outside.py"
    outside.write_text("SECRET = 1\n")
    (odd / "catalog" / "outside_link.py").symlink_to(outside)
    return base, odd


EXTRA_KEYS = ["catalog/signals.py", "templates/pipe.html", "../outside.py",
              "catalog/outside_link.py"]


@pytest.mark.parametrize("jobs", [1, 0])
def test_healthy_files_keep_their_findings_beside_odd_ones(projects, jobs, tmp_path):
    base, odd = projects
    healthy = run_road(base, jobs)
    home = tmp_path / "pylinthome"
    home.mkdir()
    records = run_road(odd, jobs, EXTRA_KEYS + [str(odd.parent / "outside.py")], home)

    healthy_paths = {r["path"] for r in healthy}
    assert keyed(r for r in records if r["path"] in healthy_paths) == keyed(healthy)

    # each module that does not decode or parse has its one syntax-error finding
    errors = {r["path"]: r["line"] for r in records if r["message-id"] == "E0001"}
    assert set(errors) >= {"catalog/legacy.py", "catalog/latin.py", "orders/broken.py"}
    assert all(isinstance(line, int) and line >= 1 for line in errors.values())
    # the odd but valid modules are checked like any other
    assert any(r["path"] == "orders/fields.py" and r["message-id"] == "C2000" for r in records)
    # nothing outside the project, and no non-regular file, is reported on
    assert not {r["path"] for r in records} & {
        "catalog/signals.py", "templates/pipe.html", "../outside.py",
        "catalog/outside_link.py", str(odd.parent / "outside.py"),
    }
    # a bad file leaves no crash report in pylint's home
    assert not [p for p in home.rglob("*") if "crash" in p.name]
