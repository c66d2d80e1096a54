"""Interrupts and memory errors are never taken for ordinary failures: they go on
through every handler of the native modules, and the host ends with status 130 on a
Ctrl-C, even while the package is being imported."""
import json
import os
import shutil
import signal
import textwrap
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


def alive(pid):
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
    assert not [pid for pid in workers if alive(pid)]
    # the writing the signal came in was finished first, and left nothing behind
    after = module_texts(root)
    assert where == "wait" or {p for p in before if after[p] != before[p]} == {
        "loans/models.py", "loans/reports.py", "loans/services.py", "loans/views.py"}
    assert [p.name for p in root.rglob(".*")] == []
