"""Benchmark of the fix road.

    python bench/transform.py                  (a project of about 140 modules)
    python bench/transform.py --modules 2000

Generates the benchmark project (`bench/generate.py`) in a temporary folder and times,
in this one process:

- `checker.check_code` on one small module: the first call (Django's modules are
  built) and the median of five calls after it;
- `transformer.transform_files` over the whole project, read to its end: the modules
  per second, and how many files it would rewrite.

Nothing is written into the project.
"""
import argparse
import os
import statistics
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import generate  # noqa: E402


def timed(call):
    start = time.perf_counter()
    result = call()
    return time.perf_counter() - start, result


def bench_check_code(root, checker, settings_modpath):
    path = sorted(p for p in Path(root).rglob("models.py"))[0]
    code = path.read_text()
    relative = str(path.relative_to(root))

    def check():
        return checker.check_code(code, relative, settings_modpath)

    first, _ = timed(check)
    warm = [timed(check)[0] for _ in range(5)]
    print("check_code: first call {:.2f} s, then median {:.3f} s ({} lines)".format(
        first, statistics.median(warm), code.count("\n")))


def bench_transform_files(root, meta, transformer):
    modules = [p for p in meta.get_files_to_check_in_project(["."]) if p.endswith(".py")]
    seconds, pairs = timed(lambda: list(transformer.transform_files(root, None)))
    print("transform_files: {} modules in {:.1f} s, {:.1f} modules/s, {} files changed".format(
        len(modules), seconds, len(modules) / seconds, len(pairs)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--modules", type=int, default=140)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        root = os.path.join(folder, "project")
        generate.generate(root, args.modules)
        os.chdir(root)
        sys.path.insert(0, root)
        from korvane.staticanalysis import checker, meta, transformer

        settings_modpath = meta.get_settings_modpath(root)
        bench_check_code(root, checker, settings_modpath)
        bench_transform_files(root, meta, transformer)


if __name__ == "__main__":
    main()
