"""Where the time of the analysis road goes, at jobs=1, on a generated project.

    python bench/profile_road.py --modules 100                 (cProfile)
    python bench/profile_road.py --modules 400 --breakdown     (timers, no profiler)

The default mode runs `checker.get_messages` once under cProfile, writes the raw
profile (bench/out/profile.pstats unless --out is given) and prints the functions with
the most own time and the most cumulative time.

The system's functions are C++: cProfile sees those that Python code calls directly
(the inference transforms astroid runs while it builds a tree), but not the checker
methods that pylint's walker calls, whose cost it books to the walker.  --breakdown
therefore runs without a profiler and times, with wrappers installed for the run:
pylint's two steps per file (building the tree, running the checkers) by kind of
module, every `visit_`/`leave_` method of every checker class, the predicates of
`helpers` that the checkers look up at call time (with the number of distinct nodes
they were asked about), and the interpreter's cyclic garbage collector.
"""
import argparse
import collections
import cProfile
import gc
import os
import pstats
import shutil
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from generate import generate  # noqa: E402

PREDICATES = ["is_model", "is_related_field", "is_queryset", "is_model_manager",
              "is_model_admin", "is_model_field", "is_migration_file",
              "is_node_abstract_model", "get_node_default_arguments",
              "get_node_explicit_arguments", "get_member_name"]
CHECKER_MODULES = ["colspecs", "memberorder", "admin", "ormcalls", "urls", "migrations",
                   "settings"]


def module_kind(path):
    if "/migrations/0" in path.replace(os.sep, "/"):
        return "migrations/*.py"
    return os.path.basename(path)


class Breakdown:
    """Timers wrapped around the steps of one analysis run."""

    def __init__(self):
        self.steps = collections.defaultdict(lambda: [0, 0.0, 0.0])
        self.methods = collections.defaultdict(lambda: [0, 0.0])
        self.predicates = collections.defaultdict(lambda: [0, 0.0, set()])
        self.gc_seconds = 0.0
        self.gc_runs = collections.Counter()
        self._gc_start = None
        self._kind = None
        self._depth = {}

    def install(self):
        from pylint.lint.pylinter import PyLinter

        from korvane.staticanalysis import checker, helpers

        # The road's linter class builds the trees with its own get_ast.
        Linter = checker.Linter
        get_ast, check_module = Linter.get_ast, PyLinter.check_astroid_module

        def timed_get_ast(linter, filepath, *args, **kwargs):
            start = time.perf_counter()
            try:
                return get_ast(linter, filepath, *args, **kwargs)
            finally:
                self._kind = module_kind(filepath)
                step = self.steps[self._kind]
                step[0] += 1
                step[1] += time.perf_counter() - start

        def timed_check(linter, *args, **kwargs):
            start = time.perf_counter()
            try:
                return check_module(linter, *args, **kwargs)
            finally:
                self.steps[self._kind][2] += time.perf_counter() - start

        Linter.get_ast, PyLinter.check_astroid_module = timed_get_ast, timed_check

        for name in PREDICATES:
            if hasattr(helpers, name):
                setattr(helpers, name, self._timed("helpers." + name, getattr(helpers, name),
                                                   self.predicates))
        for leaf in CHECKER_MODULES:
            module = __import__("korvane.staticanalysis.checkers." + leaf, fromlist=["Checker"])
            cls = module.Checker
            for name in list(vars(cls)):
                # visit_module/leave_module open and close the checkers' per-module
                # memo, which belongs to the frame that calls them: a wrapper there
                # would end it at once, so those two stay as they are.
                if name.startswith(("visit_", "leave_")) and not name.endswith("_module"):
                    setattr(cls, name, self._timed_method("%s.%s" % (leaf, name), vars(cls)[name]))
        gc.callbacks.append(self._on_gc)

    def uninstall(self):
        gc.callbacks.remove(self._on_gc)

    def _on_gc(self, phase, info):
        if phase == "start":
            self._gc_start = time.perf_counter()
        elif self._gc_start is not None:
            self.gc_seconds += time.perf_counter() - self._gc_start
            self.gc_runs[info["generation"]] += 1
            self._gc_start = None

    def _timed(self, label, function, table):
        # Nested calls of the same predicate are booked once, at the outermost call.
        def timed(*args, **kwargs):
            depth = self._depth.get(label, 0)
            self._depth[label] = depth + 1
            start = time.perf_counter()
            try:
                return function(*args, **kwargs)
            finally:
                self._depth[label] = depth
                entry = table[label]
                entry[0] += 1
                if depth == 0:
                    entry[1] += time.perf_counter() - start
                if args:
                    entry[2].add(id(args[0]))
        return timed

    def _timed_method(self, label, method):
        def timed(checker, node):
            start = time.perf_counter()
            try:
                return method(checker, node)
            finally:
                entry = self.methods[label]
                entry[0] += 1
                entry[1] += time.perf_counter() - start
        return timed

    def report(self, total):
        print("\nper file: building the tree (parse, transforms, inference they start) "
              "and running the checkers")
        for kind, (count, build, check) in sorted(self.steps.items(),
                                                   key=lambda item: -(item[1][1] + item[1][2])):
            print("  %-18s %5d files  build %6.2f s (%6.1f ms/file)  checks %6.2f s (%6.1f ms/file)"
                  % (kind, count, build, 1000 * build / max(count, 1), check,
                     1000 * check / max(count, 1)))
        print("\ncheckers' visit/leave methods (inclusive)")
        for label, (count, seconds) in sorted(self.methods.items(), key=lambda item: -item[1][1]):
            if seconds >= 0.005:
                print("  %-36s %7d calls %7.2f s" % (label, count, seconds))
        print("\nhelpers looked up by the checkers and shims at call time (inclusive; "
              "'nodes' = distinct arguments seen, an upper bound of what is new)")
        for label, (count, seconds, ids) in sorted(self.predicates.items(),
                                                   key=lambda item: -item[1][1]):
            print("  %-36s %7d calls %7d nodes %7.2f s" % (label, count, len(ids), seconds))
        print("\ncyclic garbage collector: %.2f s of %.2f s (%.0f%%), collections by generation %s"
              % (self.gc_seconds, total, 100 * self.gc_seconds / total,
                 dict(sorted(self.gc_runs.items()))))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--modules", type=int, default=100)
    parser.add_argument("--out", default=str(HERE / "out" / "profile.pstats"))
    parser.add_argument("--top", type=int, default=40)
    parser.add_argument("--breakdown", action="store_true",
                        help="time the steps with wrappers instead of running cProfile")
    args = parser.parse_args()

    workdir = Path(tempfile.mkdtemp(prefix="korvane-profile-"))
    os.environ.setdefault("PYLINTHOME", str(workdir / "pylinthome"))
    project = workdir / "shop"
    generate(project, args.modules)
    try:
        os.chdir(project)
        sys.path.insert(0, os.getcwd())
        from korvane.staticanalysis import checker, meta

        files = meta.get_files_to_check_in_project(["."])
        breakdown = profiler = None
        if args.breakdown:
            breakdown = Breakdown()
            breakdown.install()
        else:
            profiler = cProfile.Profile()
        start = time.perf_counter()
        if profiler:
            profiler.enable()
        records = checker.get_messages(os.getcwd(), files, jobs=1)
        if profiler:
            profiler.disable()
        total = time.perf_counter() - start
        if breakdown:
            breakdown.uninstall()
    finally:
        os.chdir(str(HERE))
        shutil.rmtree(workdir, ignore_errors=True)

    print("%d records in %.2f s" % (len(records), total))
    if breakdown:
        breakdown.report(total)
        return
    out = Path(args.out)
    out.parent.mkdir(parents=True, exist_ok=True)
    profiler.dump_stats(str(out))
    print("profile written to %s" % out)
    stats = pstats.Stats(str(out))
    stats.sort_stats("tottime").print_stats(args.top)
    stats.sort_stats("cumulative").print_stats(args.top)


if __name__ == "__main__":
    main()
