"""Benchmark of the analysis road on a generated Django project.

    python bench/run.py --size quick        (about 100 modules)
    python bench/run.py --size full         (about 2,000 modules)
    python bench/run.py --modules 400       (a project of another size)
    python bench/run.py --size full --rounds 3

In one run, on one generated project, it measures `checker.get_messages` with jobs=1
and jobs=0 and the floor (pylint alone, every checker disabled, jobs=1): wall time,
modules per second and peak resident memory of the whole process tree.  It prints a
table, writes the figures as JSON (bench/out/<size>.json unless --json is given), and
checks that jobs=0 gives the same records as jobs=1 and, when bench/expected.json holds
a digest for the size, that the records are the recorded ones (--record stores them).
The machine's load average is noted before each measurement: the figures of a run on a
machine busy with other work are not comparable with those of a quiet one.  Where the
machine's speed varies from minute to minute, --rounds N repeats the three
measurements N times, one after the other, and gives the median of each round's ratios.
"""
import argparse
import json
import os
import platform
import statistics
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from generate import generate  # noqa: E402

SIZES = {"quick": 100, "full": 2000}
EXPECTED = HERE / "expected.json"


def tree_rss_kib(pid):
    """Resident memory of a process and all its descendants, in KiB."""
    children = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/stat" % entry) as stat:
                    parent = int(stat.read().rsplit(")", 1)[1].split()[1])
            except (OSError, IndexError, ValueError):
                continue
            children.setdefault(parent, []).append(int(entry))
    total, todo = 0, [pid]
    while todo:
        current = todo.pop()
        todo.extend(children.get(current, []))
        try:
            with open("/proc/%d/status" % current) as status:
                for line in status:
                    if line.startswith("VmRSS:"):
                        total += int(line.split()[1])
        except OSError:
            pass
    return total


def measure(args, cwd):
    """Runs bench/measure.py with `args`; returns its result with the peak memory."""
    # pylint's home lies beside the project, in the folder removed after the run.
    home = tempfile.mkdtemp(prefix="pylinthome-", dir=str(Path(cwd).parent))
    env = dict(os.environ, PYLINTHOME=home)
    # The measurement runs in the project folder: a relative PYTHONPATH (PYTHONPATH=src)
    # must keep naming the folders it named here.
    if env.get("PYTHONPATH"):
        env["PYTHONPATH"] = os.pathsep.join(
            os.path.abspath(entry) for entry in env["PYTHONPATH"].split(os.pathsep) if entry)
    load = round(os.getloadavg()[0], 2)
    process = subprocess.Popen(
        [sys.executable, str(HERE / "measure.py"), *args], cwd=cwd, env=env,
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    peak = [0]

    def sample():
        while process.poll() is None:
            peak[0] = max(peak[0], tree_rss_kib(process.pid))
            time.sleep(0.05)

    sampler = threading.Thread(target=sample, daemon=True)
    sampler.start()
    output, errors = process.communicate()
    sampler.join()
    if process.returncode != 0:
        raise SystemExit("measurement %s failed:\n%s%s" % (
            " ".join(args), output[-1500:], errors[-3000:]))
    line = [line for line in output.splitlines() if line.startswith("RESULT ")][-1]
    result = json.loads(line[len("RESULT "):])
    result["peak_rss_mib"] = round(peak[0] / 1024, 1)
    result["modules_per_second"] = round(result["modules"] / result["seconds"], 1)
    result["seconds"] = round(result["seconds"], 2)
    result["load_before"] = load
    return result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", choices=sorted(SIZES), default="quick")
    parser.add_argument("--modules", type=int,
                        help="generate a project of about this many modules instead; "
                             "its figures are written but never recorded or checked")
    parser.add_argument("--json", help="where to write the figures")
    parser.add_argument("--record", action="store_true",
                        help="store this run's record digest as the expected one")
    parser.add_argument("--keep", action="store_true", help="keep the generated project")
    parser.add_argument("--rounds", type=int, default=1,
                        help="repeat the three measurements this many times")
    args = parser.parse_args()

    workdir = Path(tempfile.mkdtemp(prefix="korvane-bench-"))
    project = workdir / "shop"
    size = args.size if args.modules is None else "modules-%d" % args.modules
    if args.modules is not None and args.record:
        parser.error("--record stores the digest of a named size only")
    if args.rounds < 1:
        parser.error("--rounds must be at least 1")
    generate(project, SIZES[args.size] if args.modules is None else args.modules)
    rounds = []
    try:
        for _ in range(args.rounds):
            runs = {
                "floor (pylint, checkers disabled, jobs=1)":
                    measure(["floor", str(project)], project),
                "get_messages jobs=1": measure(["analysis", str(project), "1"], project),
                "get_messages jobs=0": measure(["analysis", str(project), "0"], project),
            }
            floor, one, many = runs.values()
            rounds.append({
                "runs": runs,
                "jobs1_over_floor": round(one["seconds"] / floor["seconds"], 2),
                "jobs0_speedup": round(one["seconds"] / many["seconds"], 2),
            })
    finally:
        if args.keep:
            print("project kept in %s" % project)
        else:
            shutil.rmtree(workdir, ignore_errors=True)

    digests = {run["digest"] for r in rounds for name, run in r["runs"].items()
               if name != "floor (pylint, checkers disabled, jobs=1)"}
    one = rounds[0]["runs"]["get_messages jobs=1"]
    summary = {
        "size": size,
        "cpus": os.cpu_count(),
        "python": platform.python_version(),
        "runs": rounds[0]["runs"],
        "jobs1_over_floor": statistics.median(r["jobs1_over_floor"] for r in rounds),
        "jobs0_speedup": statistics.median(r["jobs0_speedup"] for r in rounds),
        "jobs0_same_records": len(digests) == 1,
    }
    if args.rounds > 1:
        summary["rounds"] = rounds
    expected = json.loads(EXPECTED.read_text()) if EXPECTED.exists() else {}
    if args.record:
        expected[size] = one["digest"]
        EXPECTED.write_text(json.dumps(expected, indent=2, sort_keys=True) + "\n")
    summary["records_as_recorded"] = expected.get(size) in (None, one["digest"])

    print("%-44s %9s %8s %10s %9s %8s %6s" % (
        "run", "seconds", "modules", "modules/s", "peak MiB", "records", "load"))
    for number, r in enumerate(rounds, 1):
        for name, run in r["runs"].items():
            shown = name if args.rounds == 1 else "%d: %s" % (number, name)
            print("%-44s %9.2f %8d %10.1f %9.1f %8d %6.2f" % (
                shown, run["seconds"], run["modules"], run["modules_per_second"],
                run["peak_rss_mib"], run["records"], run["load_before"]))
        if args.rounds > 1:
            print("%d: jobs=1 / floor: %.2fx   jobs=0 speed-up over jobs=1: %.2fx" % (
                number, r["jobs1_over_floor"], r["jobs0_speedup"]))
    print("%sjobs=1 / floor: %.2fx   jobs=0 speed-up over jobs=1: %.2fx   (%d CPUs)" % (
        "median of %d rounds: " % args.rounds if args.rounds > 1 else "",
        summary["jobs1_over_floor"], summary["jobs0_speedup"], summary["cpus"]))
    print("jobs=0 records identical to jobs=1: %s   records as recorded: %s" % (
        summary["jobs0_same_records"], summary["records_as_recorded"]))

    out = Path(args.json) if args.json else HERE / "out" / ("%s.json" % size)
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(json.dumps(summary, indent=2) + "\n")
    print("figures written to %s" % out)
    if not (summary["jobs0_same_records"] and summary["records_as_recorded"]):
        sys.exit(1)


if __name__ == "__main__":
    main()
