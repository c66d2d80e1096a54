import io
import logging
import tokenize

import pytest
from pylint.lint import PyLinter

from korvane.staticanalysis import checker


def comment_tokens(source):
    return list(tokenize.generate_tokens(io.StringIO(source).readline))


def process(source):
    linter = checker.create_linter(linter_class=checker.Linter)
    linter.file_state = checker.lint.pylinter.FileState("mod")
    PyLinter.set_current_module(linter, "mod", "mod.py")
    tokens = comment_tokens(source)
    before = list(tokens)
    linter.process_tokens(tokens)
    return before, tokens


@pytest.mark.parametrize(
    "source, expected",
    [
        ("x = 1  # korvane: disable=field-null-not-blank\n",
         "# pylint: disable=field-null-not-blank"),
        ("x = 1  # korvane disable=foo\n", "# korvane disable=foo"),
        ("x = 1  # KORVANE: disable=foo\n", "# KORVANE: disable=foo"),
        ("x = 1  # korvane: disable=a korvane: enable=b\n", "# pylint: disable=a pylint: enable=b"),
    ],
)
def test_pragma_rewrite_of_comment_tokens(source, expected):
    before, after = process(source)
    assert len(before) == len(after)
    for old, new in zip(before, after):
        if old.type != tokenize.COMMENT:
            assert new is old
            continue
        assert new.string == expected
        assert (new.type, new.start, new.end) == (old.type, old.start, old.end)
        assert new.line == old.line.replace("korvane:", "pylint:")


def test_pragma_rewrite_leaves_string_literal_token():
    source = 'x = "korvane: here"  # korvane: disable=foo\n'
    before, after = process(source)
    string_tok = next(t for t in after if t.type == tokenize.STRING)
    comment = next(t for t in after if t.type == tokenize.COMMENT)
    assert string_tok is next(t for t in before if t.type == tokenize.STRING)
    assert string_tok.string == '"korvane: here"'
    assert comment.line == 'x = "pylint: here"  # pylint: disable=foo\n'


def test_syntax_error_wording_and_table():
    fmt = checker.ignore_old_style_string_formatting("Syntax Error")
    for operand in [("a", 1), {"k": 1}, "text", None]:
        assert (fmt % operand) is fmt
    assert isinstance(fmt, str) and fmt == "Syntax Error"
    entry = checker.Linter.msgs["E0001"]
    assert tuple(entry) == ("Syntax Error", "syntax-error",
                            "Used when a syntax error is raised for a module.")
    assert isinstance(entry[0], checker.ignore_old_style_string_formatting)
    assert PyLinter.msgs["E0001"][0] == "%s"
    assert list(checker.Linter.msgs) == list(PyLinter.msgs)


class FakeProgress:
    made = []

    def __init__(self):
        self.calls = []
        self.exited = None
        FakeProgress.made.append(self)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.exited = exc
        return False

    def add_task(self, description, total):
        self.calls.append(("add_task", description, total))
        return 7

    def update(self, task, advance):
        self.calls.append(("update", task, advance))


@pytest.fixture
def fake_progress(monkeypatch):
    FakeProgress.made = []
    monkeypatch.setattr(checker, "Progress", FakeProgress)
    return FakeProgress


def write_modules(tmp_path, count):
    paths = []
    for i in range(count):
        path = tmp_path / f"mod{i}.py"
        path.write_text("x = 1\n")
        paths.append(f"mod{i}.py")
    return paths


@pytest.mark.parametrize("count, jobs", [(0, 1), (3, 1), (3, 0)])
def test_check_drives_progress_display(tmp_path, monkeypatch, fake_progress, count, jobs):
    monkeypatch.chdir(tmp_path)
    paths = write_modules(tmp_path, count)
    linter = checker.create_linter(linter_class=checker.Linter, jobs=jobs)
    assert linter.check(files_or_modules=paths) is None
    (display,) = fake_progress.made
    assert display.calls[0] == ("add_task", f"[blue]Analyzing {count} files... ", count)
    assert display.calls[1:] == [("update", 7, 1)] * count
    assert display.exited == (None, None, None)
    assert linter.progress is display and linter.progress_task == 7


def test_check_error_reaches_display_exit_and_caller(monkeypatch, fake_progress):
    linter = checker.create_linter(linter_class=checker.Linter, jobs=1)

    def boom(self, *args, **kwargs):
        raise LookupError("inside the pass")

    monkeypatch.setattr(checker.lint.PyLinter, "check", boom)
    with pytest.raises(LookupError, match="inside the pass"):
        linter.check(files_or_modules=["a.py"])
    (display,) = fake_progress.made
    assert display.exited[0] is LookupError


def test_check_passes_extra_arguments_and_returns_nothing(monkeypatch, fake_progress):
    seen = {}

    def base(self, *args, **kwargs):
        seen["args"], seen["kwargs"] = args, kwargs
        return "ignored"

    monkeypatch.setattr(checker.lint.PyLinter, "check", base)
    linter = checker.create_linter(linter_class=checker.Linter)
    assert linter.check(["a.py", "b.py"], "extra", flag=True) is None
    assert seen == {"args": ("extra",),
                    "kwargs": {"files_or_modules": ["a.py", "b.py"], "flag": True}}
    assert fake_progress.made[0].calls[0][2] == 2


@pytest.mark.parametrize("filepath, shown", [(None, "pkg.mod"), ("", "pkg.mod"),
                                             ("pkg/mod.py", "pkg/mod.py")])
def test_set_current_module_logs_and_advances(caplog, fake_progress, filepath, shown):
    linter = checker.create_linter(linter_class=checker.Linter)
    linter.progress, linter.progress_task = FakeProgress(), 3
    with caplog.at_level(logging.DEBUG, logger="korvane.staticanalysis.checker"):
        linter.set_current_module("pkg.mod", filepath)
    assert f"Analyzing {shown}" in caplog.messages
    assert linter.current_name == "pkg.mod"


class Finding:
    category, module, obj, line, column = "convention", "app.models", "Product", 4, 8
    path, symbol, msg_id = "app/models.py", "field-null-not-blank", "C2003"

    def __init__(self, msg):
        self.msg = msg


def test_reporter_records():
    reporter = checker.Reporter()
    assert reporter.messages == []
    context = {"name": "price"}
    reporter.handle_message(Finding(context))
    (record,) = reporter.messages
    assert list(record) == ["type", "module", "obj", "line", "column", "path", "symbol",
                            "message", "message-id"]
    assert record["message"] is context
    assert record["type"] == "convention" and record["message-id"] == "C2003"

    given = {"b": 1, "a": [2]}
    reporter.handle_message(given)
    copy = reporter.messages[-1]
    assert copy == given and copy is not given and list(copy) == ["b", "a"]
    assert copy["a"] is given["a"]
    copy["c"] = 3
    assert "c" not in given
    assert checker.Reporter.build_backwards_compatibile_pylint_message(given) == given


def test_pass_records_syntax_error_and_honours_pragma(tmp_path, monkeypatch, fake_progress):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "broken.py").write_text("def f(:\n    pass\n")
    (tmp_path / "quiet.py").write_text(
        "import os  # korvane: disable=unused-import\nimport sys\n")
    linter = checker.create_linter(linter_class=checker.Linter, jobs=1)
    linter.set_option("enable", "unused-import")
    checker.lint.pylinter.PyLinter.register_checker(linter, _imports_checker(linter))
    linter.check(files_or_modules=["broken.py", "quiet.py"])
    by_id = [(r["path"], r["line"], r["message-id"], r["message"]) for r in linter.reporter.messages]
    assert ("broken.py", 1, "E0001", "Syntax Error") in by_id
    unused = [r for r in by_id if r[2] == "W0611"]
    assert [r[1] for r in unused] == [2]


def _imports_checker(linter):
    from pylint.checkers.variables import VariablesChecker

    return VariablesChecker(linter)
