"""Interrupts and memory errors are never taken for ordinary failures: they go on
through every handler of the native modules, and the host ends with status 130 on a
Ctrl-C, even while the package is being imported, and 143 on a SIGTERM.  No worker process of an analysis
outlives the process that started it, whatever ends that process."""
import json
import os
import shutil
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import astroid
import pytest

import support
from korvane.staticanalysis import helpers, suggest

HOST_INTERRUPTED_WHILE_LOADING = textwrap.dedent('''\
    import builtins, sys
    real = builtins.__import__
    def interrupting(name, *args, **kwargs):
        if name == "korvane.staticanalysis.meta":
            raise KeyboardInterrupt
        return real(name, *args, **kwargs)
    builtins.__import__ = interrupting
    from korvane import host
    sys.exit(host.main(sys.argv[1:]))
    ''')


@pytest.mark.parametrize("options", [[], ["--diff"]])
def test_ctrl_c_while_the_package_loads_ends_with_130(tmp_path, options):
    script = tmp_path / "interrupted.py"
    script.write_text(HOST_INTERRUPTED_WHILE_LOADING)
    result = support.run_fresh(str(script), *options, str(tmp_path))
    assert result.returncode == 130
    assert result.stderr.splitlines()[-1] == "korvane.host: interrupted"


def raising(error):
    def get(self):
        raise error
    return property(get)


def test_an_interrupt_in_a_placeholder_test_goes_on(monkeypatch):
    atok = helpers.build_atok("f(1)\n", modname="shop.interrupted")
    monkeypatch.setattr(astroid.nodes.Call, "non_code_placeholder", raising(KeyboardInterrupt()),
                        raising=False)
    with pytest.raises(KeyboardInterrupt):
        suggest.node_as_string(atok=atok, node=atok.tree.body[0])


def test_a_memory_error_in_an_ancestry_question_goes_on(monkeypatch):
    module = astroid.parse("class Book:\n    pass\nbook = Book()\n")
    [instance] = module.body[1].value.infer()
    monkeypatch.setattr(astroid.bases.Instance, "_proxied", raising(MemoryError()), raising=False)
    helpers.open_analysis_memo()
    try:
        with pytest.raises(MemoryError):
            helpers.is_model(instance)
    finally:
        helpers.close_analysis_memo()


# --- no worker outlives the host ----------------------------------------------------

SHOP = Path(__file__).parent / "fixtures" / "host" / "shop"
APP_MODELS = textwrap.dedent('''\
    from django.db import models


    class {name}(models.Model):
        title = models.CharField(max_length=1000)
        note = models.CharField(max_length=100, null=True, blank=True)
    ''')
APP_VIEWS = textwrap.dedent('''\
    from django.http import JsonResponse

    from .models import {name}


    def count(request):
        return JsonResponse({{"count": len({name}.objects.filter(title="a"))}})
    ''')


def many_apps_shop(tmp_path, apps=8):
    """The host's shop fixture with more apps than there are workers."""
    root = tmp_path / "shop"
    shutil.copytree(SHOP, root)
    for number in range(apps):
        name = f"Shelf{number}"
        support.write_files(root / f"rooms{number}", {
            "__init__.py": None, "models.py": APP_MODELS.format(name=name),
            "views.py": APP_VIEWS.format(name=name)})
    return root


def process_table():
    """(pid, parent pid, state, start time, command line) of each process in /proc."""
    table = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            stat = Path(f"/proc/{entry}/stat").read_text()
            cmdline = Path(f"/proc/{entry}/cmdline").read_bytes()
        except OSError:  # ended meanwhile
            continue
        # the fields after the command name, which may hold blanks and brackets
        fields = stat[stat.rindex(")") + 2:].split()
        table.append((int(entry), int(fields[1]), fields[0], fields[19], cmdline))
    return table


def workers_of(pid, marks=None):
    """The worker processes of `pid`, each as (pid, start time): its children with its
    own command line, which a forked worker keeps, or those marked in the folder
    `marks`."""
    table = process_table()
    own = [cmdline for p, _, _, _, cmdline in table if p == pid]
    marked = marks and {int(mark.name) for mark in marks.iterdir()}
    return {(p, start) for p, parent, _, start, cmdline in table
            if parent == pid and (p in marked if marks else [cmdline] == own)}


def alive(processes):
    """Those of the (pid, start time) processes that still run; a pid that names
    another process by now does not count."""
    return {(p, start) for p, _, state, start, _ in process_table()
            if (p, start) in processes and state != "Z"}


def poll(condition, timeout):
    """The first true value of `condition()` within `timeout` seconds, else the last."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(0.1)


def assert_workers_end_with(parent, signal_number, marks=None, count=2, delay=0.0):
    """Sends `parent` the signal `delay` seconds after `count` of its workers have
    started, and asserts that none of them is left 10 s after it ended.  The parent and
    every worker the test saw start are killed in the end."""
    def enough():
        found = workers_of(parent.pid, marks)
        return found if len(found) >= count else set()

    workers = set()
    try:
        workers = poll(enough, timeout=120)
        assert workers, "the workers did not start"
        time.sleep(delay)
        os.kill(parent.pid, signal_number)
        parent.wait(timeout=60)
        assert poll(lambda: not alive(workers), timeout=10), \
            f"workers left 10 s after their parent: {sorted(alive(workers))}"
    finally:
        if parent.poll() is None:
            parent.kill()
            parent.wait()
        for pid, _ in alive(workers):  # only the workers this test saw start
            os.kill(pid, signal.SIGKILL)


def started(*args):
    return subprocess.Popen([sys.executable, *args], env=support.fresh_env(),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads the process table in /proc")
@pytest.mark.parametrize("signal_number", [signal.SIGKILL, signal.SIGTERM])
def test_no_worker_outlives_the_host(tmp_path, signal_number):
    host = started("-m", "korvane.host", str(many_apps_shop(tmp_path)))
    # a second well into the workers' first jobs
    assert_workers_end_with(host, signal_number, count=min(2, os.cpu_count() or 1), delay=1)


# Runs the analysis with two workers over the project in argv[1], with a plug-in that,
# in a worker, first marks the worker's pid in the folder argv[2].  "unbound" takes
# each worker's parent-death signal away, so that only its pipes can tell it that its
# parent is gone, and makes each module take a while; "stuck" blocks each worker in its
# first job, and the signal named by argv[4] then reaches this process: SIGINT, or
# SIGTERM with a handler that ends the process as the host's does.
WORKERS_SCRIPT = textwrap.dedent('''\
    import ctypes, json, os, signal, sys, threading, time
    from pathlib import Path
    from pylint.checkers import BaseChecker
    from pylint.interfaces import IAstroidChecker
    from korvane.staticanalysis import checker

    PARENT = os.getpid()
    root, marks, mode = sys.argv[1], Path(sys.argv[2]), sys.argv[3]

    class Marker(BaseChecker):
        __implements__ = (IAstroidChecker,)
        name = "marker"
        # pylint walks only checkers with a message to give
        msgs = {"C9998": ("%s", "marked-worker", "Never given.")}

        def visit_module(self, node):
            if os.getpid() == PARENT:
                return
            if mode == "unbound":
                ctypes.CDLL(None).prctl(1, 0)  # PR_SET_PDEATHSIG: none
            (marks / str(os.getpid())).touch()
            time.sleep(0.2 if mode == "unbound" else 3600)

    def interrupt_once_both_are_stuck():
        while len(list(marks.iterdir())) < 2:
            time.sleep(0.05)
        os.kill(PARENT, getattr(signal, sys.argv[4]))

    def terminated(number, frame):
        raise SystemExit(143)

    checker.python_checker_classes.append(Marker)
    os.chdir(root)
    sys.path.insert(0, root)
    files = {os.path.relpath(os.path.join(d, f), root): None
             for d, _, names in os.walk(root) for f in names if f.endswith(".py")}
    if mode == "stuck":
        signal.signal(signal.SIGTERM, terminated)
        threading.Thread(target=interrupt_once_both_are_stuck, daemon=True).start()
    try:
        checker.get_messages(root, files, jobs=2)
    except BaseException as error:
        left = []
        for mark in marks.iterdir():
            try:
                os.kill(int(mark.name), 0)
                left.append(int(mark.name))
            except ProcessLookupError:
                pass
        print("RESULT " + json.dumps({"error": type(error).__name__, "left": left}))
    ''')


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads the process table in /proc")
def test_a_worker_sees_its_parent_gone_through_its_pipe(tmp_path):
    marks = tmp_path / "marks"
    marks.mkdir()
    script = tmp_path / "workers.py"
    script.write_text(WORKERS_SCRIPT)
    parent = started(str(script), str(many_apps_shop(tmp_path)), str(marks), "unbound")
    assert_workers_end_with(parent, signal.SIGKILL, marks=marks)


@pytest.mark.parametrize("signal_name, error", [("SIGINT", "KeyboardInterrupt"),
                                                ("SIGTERM", "SystemExit")])
def test_an_interrupt_ends_every_worker_one_in_a_job_too(tmp_path, signal_name, error):
    root = many_apps_shop(tmp_path)
    marks = tmp_path / "marks"
    marks.mkdir()
    script = tmp_path / "workers.py"
    script.write_text(WORKERS_SCRIPT)
    result = support.run_fresh(str(script), str(root), str(marks), "stuck", signal_name,
                               timeout=240)
    line = [line for line in result.stdout.splitlines() if line.startswith("RESULT ")]
    assert line, result.stderr[-3000:]
    assert json.loads(line[-1][len("RESULT "):]) == {"error": error, "left": []}
LENDING = Path(__file__).parent / "fixtures" / "writes" / "lending"

# The writer with a producer that gives the texts of a JSON file; the signal named is
# sent to the process at the third call of the os function named: `fsync` while the
# temporaries are written, `replace` midway through the replaces.
WRITER_SIGNALLED = textwrap.dedent('''\
    import json, os, signal, sys
    from korvane.staticanalysis import diff, transformer
    root, texts, name, step = sys.argv[1:]
    with open(texts) as file:
        fixed = [(text, path) for path, text in json.load(file).items()]
    diff.get_diff_plaintext = lambda **kwargs: fixed
    real, calls = getattr(os, step), []
    def signalling(*args):
        calls.append(args)
        if len(calls) == 3:
            os.kill(os.getpid(), getattr(signal, name))
        return real(*args)
    setattr(os, step, signalling)
    transformer.trasform_files_in_place(root, None)
    print("returned")
    ''')


def module_texts(root):
    return {str(p.relative_to(root)): p.read_text() for p in sorted(root.rglob("*.py"))}


@pytest.mark.parametrize("step, written", [("fsync", False), ("replace", True)],
                         ids=["while-temporaries", "while-replacing"])
@pytest.mark.parametrize("name", ["SIGTERM", "SIGHUP", "SIGINT"])
def test_a_signal_while_writing_leaves_all_or_nothing(tmp_path, name, step, written):
    root = tmp_path / "lending"
    shutil.copytree(str(LENDING), str(root))
    before = module_texts(root)
    fixed = {path: text.replace("len(", "list(") + "# fixed\n" for path, text in before.items()}
    texts = tmp_path / "texts.json"
    texts.write_text(json.dumps(fixed))
    script = tmp_path / "signalled.py"
    script.write_text(WRITER_SIGNALLED)
    result = support.run_fresh(str(script), str(root), str(texts), name, step, timeout=120)
    # the signal takes effect once the writing is done or undone: with its default
    # disposition, or through the interpreter's KeyboardInterrupt, it ends the process
    assert result.returncode == -getattr(signal, name), result.stderr
    assert "returned" not in result.stdout
    assert module_texts(root) == (fixed if written else before)
    assert [p.name for p in root.rglob(".*")] == []


# The host, sent SIGTERM at the second call of `multiprocessing.connection.wait` (while
# the analysis workers run) or of `os.replace` (while --fix writes); the pid of every
# process it starts goes to a file.
HOST_TERMINATED = textwrap.dedent('''\
    import multiprocessing, multiprocessing.connection, os, signal, sys
    from korvane import host
    where, started = sys.argv[1:3]
    module = {"wait": multiprocessing.connection, "replace": os}[where]
    real, calls = getattr(module, where), []
    def terminating(*args, **kwargs):
        calls.append(args)
        if len(calls) == 2:
            os.kill(os.getpid(), signal.SIGTERM)
        return real(*args, **kwargs)
    setattr(module, where, terminating)
    start = multiprocessing.Process.start
    def noting(self):
        start(self)
        with open(started, "a") as file:
            print(self.pid, file=file)
    multiprocessing.Process.start = noting
    sys.exit(host.main(sys.argv[3:]))
    ''')


def pid_alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    return True


@pytest.mark.parametrize("where, options", [("wait", []), ("replace", ["--fix"])],
                         ids=["analysing", "writing"])
def test_sigterm_ends_the_host_like_ctrl_c(tmp_path, where, options):
    root = tmp_path / "lending"
    shutil.copytree(str(LENDING), str(root))
    before = module_texts(root)
    script, started = tmp_path / "terminated.py", tmp_path / "started"
    script.write_text(HOST_TERMINATED)
    result = support.run_fresh(str(script), where, str(started), *options, str(root), timeout=300)
    assert result.returncode == 143, result.stderr
    assert result.stderr.splitlines()[-1] == "korvane.host: terminated"
    assert "Traceback" not in result.stderr and result.stdout == ""
    # its workers were stopped with it
    workers = [int(pid) for pid in started.read_text().split()] if started.exists() else []
    assert where != "wait" or workers
    assert not [pid for pid in workers if pid_alive(pid)]
    # the writing the signal came in was finished first, and left nothing behind
    after = module_texts(root)
    assert where == "wait" or {p for p in before if after[p] != before[p]} == {
        "loans/models.py", "loans/reports.py", "loans/services.py", "loans/views.py"}
    assert [p.name for p in root.rglob(".*")] == []
