"""Benchmark of the fix road against the plain analysis.

    python bench/transform.py                          (about 140 modules)
    python bench/transform.py --modules 2000 --rounds 3

Generates the benchmark project (`bench/generate.py`) in a temporary folder and
measures, each in a process of its own (`bench/measure.py`), one after the other in
each round:

- the plain analysis at the default job count (`checker.get_messages`, jobs=0), as
  `python -m korvane.host PROJECT` runs it;
- the fix road as `python -m korvane.host --fix PROJECT` runs it, less the writing: the
  change producer over the whole project, read to its end (one analysis at the same
  job count, then each module with a fixable finding fixed and checked in the
  analysis's own processes).

Prints each round, the median seconds of each and the median of the rounds' ratios
fix / analysis, with the number of files the fix road would write.  Nothing is
written into the project.
"""
import argparse
import os
import statistics
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import generate  # noqa: E402
from run import measure  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--modules", type=int, default=140)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        root = os.path.join(folder, "project")
        generate.generate(root, args.modules)
        rounds = []
        for number in range(1, args.rounds + 1):
            plain = measure(["analysis", root, "0"], root)
            fixed = measure(["fix", root], root)
            ratio = fixed["seconds"] / plain["seconds"]
            rounds.append((plain, fixed, ratio))
            print("round {}: analysis {:.2f} s, fix road {:.2f} s, {:.2f}x; {} modules, "
                  "{} files fixed, load {:.2f}".format(
                      number, plain["seconds"], fixed["seconds"], ratio, plain["modules"],
                      fixed["records"], plain["load_before"]))
        print("median: analysis {:.2f} s, fix road {:.2f} s, ratio {:.2f}x".format(
            statistics.median(r[0]["seconds"] for r in rounds),
            statistics.median(r[1]["seconds"] for r in rounds),
            statistics.median(r[2] for r in rounds)))


if __name__ == "__main__":
    main()
