"""Growth benchmark: how the time of one piece of work grows when its input doubles.

    python bench/growth.py                      (every case, N = 1000)
    python bench/growth.py --size 500 --case migration

Each case is measured at N and at 2N, each in a fresh interpreter that first runs a
small instance of the same case (so Django's modules and the caches it fills are built
before the clock starts).  It prints both times and their ratio: about 2 for work that
grows linearly, about 4 for work that grows with the square of the input.

Cases (one function per case, `CASES` lists them):

- migration: the migration checker over a data migration whose forwards function uses
  a model imported from the project N times through `.objects`;
- tokens: the token view with comments and blank lines kept
  (`helpers.build_atok(..., parse_non_code=True)`) of a module of N commented
  statements.

A case is a function `case(size, workdir)` that prepares its input, times the measured
call alone and returns `(seconds, note)`; the note (a count of findings or of
placeholders) shows that the work was done.
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent

MODELS = '''\
from django.db import models


class Book(models.Model):
    title = models.CharField(max_length=200)
    isbn = models.CharField(max_length=13, unique=True)
    stock = models.PositiveIntegerField(default=0)
'''

MIGRATION = '''\
from django.db import migrations

from shelf.models import Book


def restock(apps, schema_editor):
{uses}


class Migration(migrations.Migration):

    dependencies = [
        ("shelf", "0001_initial"),
    ]

    operations = [
        migrations.RunPython(restock, migrations.RunPython.noop),
    ]
'''


def migration_case(size, workdir):
    """The migration checker over one migration module of `size` `.objects` uses."""
    from pylint.lint import PyLinter
    from pylint.reporters import CollectingReporter

    from korvane.staticanalysis.checkers import migrations

    package = workdir / "shelf"
    (package / "migrations").mkdir(parents=True, exist_ok=True)
    (package / "__init__.py").write_text("")
    (package / "models.py").write_text(MODELS)
    (package / "migrations" / "__init__.py").write_text("")
    uses = "\n".join(
        '    Book.objects.filter(isbn="{:013}").update(stock={})'.format(n, n % 7)
        for n in range(size))
    path = package / "migrations" / ("0002_restock_%d.py" % size)
    path.write_text(MIGRATION.format(uses=uses))
    if str(workdir) not in sys.path:
        sys.path.insert(0, str(workdir))

    linter = PyLinter(reporter=CollectingReporter())
    linter.register_checker(migrations.Checker(linter))
    start = time.perf_counter()
    linter.check([str(path)])
    seconds = time.perf_counter() - start
    found = sum(1 for m in linter.reporter.messages if m.msg_id == "C8000")
    return seconds, "%d C8000 findings" % found


def tokens_case(size, workdir):
    """The token view, comments and blank lines kept, of `size` commented statements."""
    from korvane.staticanalysis import helpers

    lines = ['"""Prices of the shop\'s stock."""', "import decimal", ""]
    for n in range(size):
        lines.append("# Price of shelf item %d, in euros." % n)
        lines.append("price_%d = decimal.Decimal(%d) / 100  # rounded down" % (n, n * 7))
        if n % 5 == 4:
            lines.append("")
    source = "\n".join(lines) + "\n"
    start = time.perf_counter()
    atok = helpers.build_atok(source, modname="prices_%d" % size, parse_non_code=True)
    seconds = time.perf_counter() - start
    return seconds, "%d placeholders" % len(atok.extra_line_map)


CASES = {
    "migration": migration_case,
    "tokens": tokens_case,
}

WARM_UP = 10  # size of the run that precedes each measurement


def child(case, size):
    """Runs one measurement in this process and prints its result as JSON."""
    workdir = Path(tempfile.mkdtemp(prefix="korvane-growth-"))
    os.environ.setdefault("PYLINTHOME", str(workdir / "pylinthome"))
    os.chdir(workdir)
    CASES[case](WARM_UP, workdir)
    seconds, note = CASES[case](size, workdir)
    print("RESULT " + json.dumps({"seconds": seconds, "note": note}))


def measure(case, size):
    env = dict(os.environ)
    # The child runs in a folder of its own: a relative PYTHONPATH (PYTHONPATH=src) must
    # keep naming the folders it named here.
    if env.get("PYTHONPATH"):
        env["PYTHONPATH"] = os.pathsep.join(
            os.path.abspath(entry) for entry in env["PYTHONPATH"].split(os.pathsep) if entry)
    process = subprocess.run(
        [sys.executable, str(Path(__file__).resolve()), "--child", case, str(size)],
        env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if process.returncode != 0:
        raise SystemExit("case %s at %d failed:\n%s" % (case, size, process.stderr[-3000:]))
    line = [line for line in process.stdout.splitlines() if line.startswith("RESULT ")][-1]
    return json.loads(line[len("RESULT "):])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=1000, help="N (the second run uses 2N)")
    parser.add_argument("--case", choices=sorted(CASES), action="append",
                        help="a case to run (repeatable); every case when none is given")
    parser.add_argument("--child", nargs=2, metavar=("CASE", "SIZE"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child[0], int(args.child[1]))
        return
    if args.size < 1:
        parser.error("--size must be at least 1")

    print("%-10s %7s %9s %7s %9s %7s   %s" % ("case", "N", "seconds", "2N", "seconds", "ratio", "work done at 2N"))
    for case in args.case or list(CASES):
        small = measure(case, args.size)
        large = measure(case, 2 * args.size)
        ratio = large["seconds"] / small["seconds"] if small["seconds"] > 0 else float("inf")
        print("%-10s %7d %9.2f %7d %9.2f %6.2fx   %s" % (
            case, args.size, small["seconds"], 2 * args.size, large["seconds"], ratio,
            large["note"]))
        sys.stdout.flush()


if __name__ == "__main__":
    main()
