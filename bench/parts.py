"""What each part of the analysis set-up gains, on a generated Django project.

    python bench/parts.py                       (the full project, 2 rounds)
    python bench/parts.py --modules 400 --rounds 3

The analysis road sets three things up for the lint of one analysis (the helpers keep
class ancestries, astroid's node constructors look their parameters up once, full
collections of the cyclic collector walk only what is new).  This measures
`checker.get_messages` at jobs=1 and jobs=0 with none of them, then adding one at a
time, each measurement in a process of its own as bench/run.py makes it, the variants
one after the other within each round.  It prints every measurement and, per variant,
the median seconds and peak memory over the rounds, and checks that every variant gives
the same records.
"""
import argparse
import shutil
import statistics
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from generate import generate  # noqa: E402
from run import SIZES, measure  # noqa: E402

# Each variant: a label and the parts switched off (see bench/measure.py --off).
VARIANTS = [
    ("none of the three", "ancestries,signatures,collector"),
    ("kept ancestries", "signatures,collector"),
    ("and kept signatures", "collector"),
    ("and the collector (as built)", ""),
]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--modules", type=int, default=SIZES["full"])
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--jobs", default="1,0", help="job counts to measure, comma-separated")
    args = parser.parse_args()

    workdir = Path(tempfile.mkdtemp(prefix="korvane-parts-"))
    project = workdir / "shop"
    generate(project, args.modules)
    figures = {}
    digests = set()
    try:
        for number in range(1, args.rounds + 1):
            for label, off in VARIANTS:
                for jobs in args.jobs.split(","):
                    run = measure(["analysis", str(project), jobs, "--off", off], project)
                    figures.setdefault((label, jobs), []).append(run)
                    digests.add(run["digest"])
                    print("%d: %-30s jobs=%s %7.2f s %8.1f MiB  load %.2f" % (
                        number, label, jobs, run["seconds"], run["peak_rss_mib"],
                        run["load_before"]), flush=True)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)

    print("\nmedian of %d rounds" % args.rounds)
    for (label, jobs), runs in figures.items():
        print("%-30s jobs=%s %7.2f s %8.1f MiB" % (
            label, jobs, statistics.median(r["seconds"] for r in runs),
            statistics.median(r["peak_rss_mib"] for r in runs)))
    print("same records in every variant: %s" % (len(digests) == 1))
    if len(digests) != 1:
        sys.exit(1)


if __name__ == "__main__":
    main()
