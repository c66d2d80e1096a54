"""A worker process that dies never hangs the analysis: the module it held is named,
and the other modules' findings are those of an analysis in one process."""
import json
import textwrap

import pytest

import support

# Runs the analysis (or the fix road) at jobs=1 and jobs=0 in a fresh interpreter,
# with a plug-in that ends its worker process while checking (or fixing) the module
# `shop.killer`, in the way the second argument names, or that ends each worker right
# after each answer it sends ("answer-exit", and "fix-answer-exit" in the fix pass);
# prints what each run gave.
SCRIPT = textwrap.dedent('''\
    import json, os, signal, sys
    from pylint.checkers import BaseChecker
    from pylint.interfaces import IAstroidChecker
    from korvane.staticanalysis import checker, diff, transformer

    PARENT = os.getpid()
    MODE = sys.argv[2]

    def end_this_worker():
        if MODE == "kill":
            os.kill(os.getpid(), signal.SIGKILL)
        elif MODE == "exit":
            os._exit(3)
        elif MODE == "segfault":
            import ctypes
            ctypes.string_at(0)
        elif MODE == "recursion":
            # deep enough to overflow an 8 MiB stack before the limit is reached
            sys.setrecursionlimit(150000)
            def down(depth):
                return down(depth + 1) + 1
            down(0)

    class Killer(BaseChecker):
        __implements__ = (IAstroidChecker,)
        name = "killer"
        # pylint walks only checkers with a message to give
        msgs = {"C9998": ("%s", "killer-at-work", "Never given.")}

        def visit_module(self, node):
            if node.name == "shop.killer" and os.getpid() != PARENT and not MODE.startswith("fix"):
                end_this_worker()

    checker.python_checker_classes.append(Killer)
    if MODE == "fix-kill":
        real = transformer.ProjectFixer.__call__

        def fix(self, filepath, modname, *args, **kwargs):
            if modname == "shop.killer" and os.getpid() != PARENT:
                os.kill(os.getpid(), signal.SIGKILL)
            return real(self, filepath, modname, *args, **kwargs)

        transformer.ProjectFixer.__call__ = fix
    if MODE.endswith("answer-exit"):
        from multiprocessing.connection import Connection
        real_send = Connection.send
        fixing = []

        def send_then_exit(self, answer):
            real_send(self, answer)
            if os.getpid() != PARENT and (fixing or MODE == "answer-exit"):
                os._exit(3)

        Connection.send = send_then_exit
        real_fix = transformer.ProjectFixer.__call__

        def note_fixing(self, *args, **kwargs):
            fixing.append(True)
            return real_fix(self, *args, **kwargs)

        transformer.ProjectFixer.__call__ = note_fixing

    root = sys.argv[1]
    os.chdir(root)
    sys.path.insert(0, root)
    files = {path: None for path in sorted(
        os.path.relpath(os.path.join(d, f), root) for d, _, names in os.walk(root)
        for f in names if f.endswith(".py"))}
    out = {}
    if MODE.startswith("fix"):
        import logging
        logging.basicConfig(stream=sys.stderr, level=logging.WARNING)
        produced = diff.get_diff_plaintext(root, None, None, {"line_length": 88})
        out["fixed"] = sorted(path for _, path in produced)
    else:
        for jobs in (1, 0):
            records = checker.get_messages(root, files, jobs=jobs)
            out[jobs] = {"records": sorted([r["path"], r["line"], r["message-id"]] for r in records),
                         "unanalysed": records.unanalysed}
    print("RESULT " + json.dumps(out))
    ''')

MODEL = ("from django.db import models\n\n\nclass {name}(models.Model):\n"
         "    title = models.CharField(max_length=20, null=True)\n")


@pytest.fixture
def project(tmp_path):
    files = {}
    for app in ("shop", "blog", "news"):
        files[f"{app}/__init__.py"] = None
        files[f"{app}/models.py"] = MODEL.format(name=app.title())
    files["shop/killer.py"] = MODEL.format(name="Killer")
    files["shop/views.py"] = ("from .models import Shop\n\n\ndef count(request):\n"
                              "    return len(Shop.objects.all())\n")
    return support.write_files(tmp_path / "site", files)


def run(tmp_path, root, mode):
    script = tmp_path / "run.py"
    script.write_text(SCRIPT)
    result = support.run_fresh(str(script), str(root), mode, timeout=240)
    assert result.returncode == 0, result.stderr[-3000:]
    line = [line for line in result.stdout.splitlines() if line.startswith("RESULT ")][-1]
    return json.loads(line[len("RESULT "):]), result.stderr


@pytest.mark.parametrize("mode, reason", [
    ("kill", "it was killed by SIGKILL"),
    ("exit", "it exited with status 3"),
    ("segfault", "it was killed by SIGSEGV"),
    # on the workers' large stack the recursion limit comes first
    ("recursion", "RecursionError"),
])
def test_a_worker_that_dies_costs_only_the_module_it_held(tmp_path, project, mode, reason):
    out, _ = run(tmp_path, project, mode)
    one, workers = out["1"], out["0"]
    assert one["unanalysed"] == []
    assert workers["records"] == [r for r in one["records"] if r[0] != "shop/killer.py"]
    [(path, why)] = workers["unanalysed"]
    assert path == "shop/killer.py" and reason in why


def test_a_worker_that_dies_after_its_answer_costs_no_job(tmp_path, project):
    out, _ = run(tmp_path, project, "answer-exit")
    assert out["0"] == out["1"]
    assert out["0"]["unanalysed"] == []


def test_a_worker_that_dies_after_a_fix_answer_costs_no_fix(tmp_path, project):
    out, errors = run(tmp_path, project, "fix-answer-exit")
    assert out["fixed"] == ["blog/models.py", "news/models.py", "shop/killer.py",
                            "shop/models.py", "shop/views.py"]
    assert "Skipped" not in errors


def test_a_worker_that_dies_while_fixing_costs_only_that_module(tmp_path, project):
    out, errors = run(tmp_path, project, "fix-kill")
    assert out["fixed"] == ["blog/models.py", "news/models.py", "shop/models.py", "shop/views.py"]
    assert ("Skipped shop/killer.py: its worker stopped while fixing it: it was killed by SIGKILL"
            in errors)
