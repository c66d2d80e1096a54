"""One measured analysis, run in a process of its own by bench/run.py.

    python bench/measure.py analysis PROJECT_ROOT JOBS
    python bench/measure.py floor PROJECT_ROOT

Prints one JSON object: wall seconds, module count, record count and a digest of the
records (so runs can be compared finding for finding).
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


def main():
    mode, root = sys.argv[1], sys.argv[2]
    os.chdir(root)
    sys.path.insert(0, os.getcwd())
    result = analysis(int(sys.argv[3])) if mode == "analysis" else floor()
    sys.stdout.flush()
    print("\nRESULT " + json.dumps(result))


if __name__ == "__main__":
    main()
