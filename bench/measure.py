"""One measured analysis, run in a process of its own by bench/run.py.

    python bench/measure.py analysis PROJECT_ROOT JOBS [--off PART,...]
    python bench/measure.py floor PROJECT_ROOT
    python bench/measure.py fix PROJECT_ROOT

Prints one JSON object: wall seconds, module count, record count and a digest of the
records (so runs can be compared finding for finding).

`fix` times the fix road as `--fix` runs it, less the writing: the change producer
over the whole project (one analysis at the default job count, each module with a
fixable finding fixed and checked), read to its end; its digest is over the fixed
texts.

--off switches parts of what the analysis sets up for its lint off in this process,
to measure what each gains (bench/parts.py): `ancestries` (the helpers keep no class
ancestry), `signatures` (astroid's node constructors look their parameters up at every
node), `collector` (full collections of the cyclic collector walk the whole heap).
"""
import hashlib
import json
import os
import sys
import time


def digest(records):
    lines = sorted(json.dumps(record, sort_keys=True, default=str) for record in records)
    return hashlib.sha256("\n".join(lines).encode()).hexdigest(), len(lines)


def selected_files():
    from korvane.staticanalysis import meta

    return meta.get_files_to_check_in_project(["."])


def analysis(jobs):
    from korvane.staticanalysis import checker

    files = selected_files()
    files["META"] = None
    modules = sum(1 for path in files if path.endswith(".py"))
    start = time.perf_counter()
    records = checker.get_messages(os.getcwd(), files, jobs=jobs)
    seconds = time.perf_counter() - start
    sha, count = digest(records)
    return {"seconds": seconds, "modules": modules, "records": count, "digest": sha}


def floor():
    """pylint alone over the same modules with every checker disabled: parsing and
    tree building only."""
    from pylint import lint

    paths = [path for path in selected_files() if path.endswith(".py")]
    start = time.perf_counter()
    lint.Run(["--disable=all", "--jobs=1", "--persistent=n", "--score=n", *paths], exit=False)
    seconds = time.perf_counter() - start
    return {"seconds": seconds, "modules": len(paths), "records": 0, "digest": ""}


def fix():
    from korvane.staticanalysis import transformer

    modules = sum(1 for path in selected_files() if path.endswith(".py"))
    start = time.perf_counter()
    produced = list(transformer.transform_files(os.getcwd(), None))
    seconds = time.perf_counter() - start
    sha, count = digest([{"path": path, "text": text} for text, path in produced])
    return {"seconds": seconds, "modules": modules, "records": count, "digest": sha}


PARTS = ("ancestries", "signatures", "collector")


def switch_off(parts):
    """Makes the analysis skip the named parts of its set-up, in this process only."""
    import gc
    import inspect
    import types

    import astroid.decorators

    from korvane.staticanalysis import helpers

    for part in parts:
        if part == "ancestries":
            helpers.open_analysis_memo = lambda: None
        elif part == "signatures":
            # the set-up replaces the decorators' inspect only when it is a module
            astroid.decorators.inspect = types.SimpleNamespace(**vars(inspect))
        elif part == "collector":
            # objects frozen before the analysis make it leave the collector alone
            gc.freeze()
        else:
            raise SystemExit("unknown part %r; parts: %s" % (part, ", ".join(PARTS)))


def main():
    args = sys.argv[1:]
    if "--off" in args:
        at = args.index("--off")
        switch_off([part for part in args[at + 1].split(",") if part])
        del args[at:at + 2]
    mode, root = args[0], args[1]
    os.chdir(root)
    sys.path.insert(0, os.getcwd())
    if mode == "analysis":
        result = analysis(int(args[2]))
    elif mode == "fix":
        result = fix()
    else:
        result = floor()
    sys.stdout.flush()
    print("\nRESULT " + json.dumps(result))


if __name__ == "__main__":
    main()
