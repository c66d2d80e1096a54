"""Plain helpers shared by the test modules (fixtures live in conftest.py).

Trees and token views built from a snippet, one checker run over a snippet or over
files, small projects written from a dict of texts, and code run in a fresh
interpreter that imports the package from where this test run imports it.
"""
import itertools
import os
import re
import subprocess
import sys
from pathlib import Path

import astroid
from pylint.lint import PyLinter
from pylint.reporters import CollectingReporter
from pylint.testutils import UnittestLinter
from pylint.utils import ASTWalker

import korvane

# The folder the package is imported from: the source tree or an installed copy.
PACKAGE_ROOT = Path(korvane.__file__).parents[1]

# astroid and pylint keep every module they have built by name for the whole session,
# so each module a test writes gets a name of its own.
_module_numbers = itertools.count()


# --- snippets ------------------------------------------------------------------------

def model_source(header, name, lines):
    """`header` followed by a model class `name` whose body is `lines`."""
    return header + f"class {name}(models.Model):\n" + "".join(f"    {line}\n" for line in lines)


def last_member(tree):
    """The last statement in the body of the tree's last statement."""
    return tree.body[-1].body[-1]


def assigned_value(tree, name):
    """The value of the assignment that defines `name` in `tree`."""
    return tree[name].parent.value


def token_tree(source, modname):
    """The tree of the token view built over `source`."""
    from korvane.staticanalysis import helpers

    return helpers.build_atok(source, modname=modname).tree


def raising(error):
    """A stand-in for any callable that raises `error`."""
    def fail(*args, **kwargs):
        raise error

    return fail


# --- one checker ---------------------------------------------------------------------

def walk(checker_class, code, modname="shop.models", **config):
    """The messages one checker adds while walking the tree of `code`; `config` sets
    the checker's options by attribute name."""
    linter = UnittestLinter()
    checker = checker_class(linter)
    for key, value in config.items():
        setattr(checker.config, key, value)
    walker = ASTWalker(linter)
    walker.add_checker(checker)
    walker.walk(astroid.parse(code, module_name=modname))
    return linter.release_messages()


def lint_files(checker_class, paths):
    """The messages of a whole lint run over `paths` with one checker registered."""
    linter = PyLinter(reporter=CollectingReporter())
    linter.register_checker(checker_class(linter))
    linter.check([str(path) for path in paths])
    return linter.reporter.messages


def unique_module(directory, source, name="module_{}.py"):
    """Writes `source` to a module of a name no other test has used; `name` is a
    format with one field for the number."""
    path = directory / name.format(next(_module_numbers))
    path.write_text(source)
    return path


def html_record(path, line, column, code, message):
    """A finding of the template checker as the analysis road reports it."""
    return {
        "path": path, "line": line, "message": message, "type": None, "column": column,
        "module": None, "symbol": None, "hint": None, "message-id": code,
    }


# --- suggestions ---------------------------------------------------------------------

SUGGESTION_BLOCK = re.compile(r"```suggestion\n(.*?)\n```", re.S)


def suggestion_blocks(review_comments):
    """Every distinct suggestion of each file in the review comments: a dict from path
    to a set of (first line, last line, text)."""
    found = {}
    for comment in review_comments:
        for text in SUGGESTION_BLOCK.findall(comment["body"]):
            first = comment.get("start_line", comment["line"])
            found.setdefault(comment["path"], set()).add((first, comment["line"], text))
    return found


def apply_suggestions(lines, suggestions):
    """The text of `lines` (each keeping its line end) with each suggestion's lines
    replaced by its text; the suggestions must not overlap."""
    lines = list(lines)
    for first, last, text in sorted(suggestions, reverse=True):
        lines[first - 1:last] = [text + "\n"]
    return "".join(lines)


# --- projects ------------------------------------------------------------------------

def write_files(root, files):
    """Writes `files` below `root` and returns `root`: a text or bytes per file name,
    None for an empty file, and a name ending in "/" for a directory."""
    for name, content in files.items():
        path = root / name
        if name.endswith("/"):
            path.mkdir(parents=True, exist_ok=True)
            continue
        path.parent.mkdir(parents=True, exist_ok=True)
        if isinstance(content, bytes):
            path.write_bytes(content)
        else:
            path.write_text(content or "")
    return root


# --- fresh interpreter ---------------------------------------------------------------

def fresh_env(**variables):
    """The environment of a fresh interpreter that imports the package from where this
    run does; `variables` set more, a None removes one."""
    env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1")
    env["PYTHONPATH"] = os.pathsep.join(
        [str(PACKAGE_ROOT)] + [p for p in [env.get("PYTHONPATH")] if p]
    )
    for key, value in variables.items():
        if value is None:
            env.pop(key, None)
        else:
            env[key] = value
    return env


def run_fresh(*args, cwd=None, timeout=300, env=None, **options):
    """`python *args` in a fresh interpreter with the package on its path, its output
    captured as text; `env` holds variables for `fresh_env`, `options` go to
    subprocess.run."""
    return subprocess.run(
        [sys.executable, *args], cwd=cwd, env=fresh_env(**(env or {})),
        capture_output=True, text=True, timeout=timeout, **options,
    )


# --- linting one text in this process ---------------------------------------------------

def lint_text(code, path, settings_modpath=None):
    """The records of the single-text linter over `code` as the file `path`, linted
    in this process (one job); `settings_modpath` is one settings module or a list."""
    from korvane.staticanalysis import checker

    linter = checker.create_linter(checker.CodeLinter, jobs=1)
    if settings_modpath:
        if isinstance(settings_modpath, str):
            settings_modpath = [settings_modpath]
        linter.set_option("settings-files", list(settings_modpath))
    linter.check(code, files_or_modules=[path])
    return linter.reporter.messages


def replace_lines(source, items):
    """`source` with lines first..last (from 1) of each (first, last, text) item
    replaced by the item's text; the items must not overlap."""
    lines = source.split("\n")
    for first, last, text in sorted(items, key=lambda item: item[0], reverse=True):
        lines[first - 1:last] = text.split("\n")
    return "\n".join(lines)


# --- the fix road ------------------------------------------------------------------------

def comments_of(text):
    """The comments of a Python text, each as its words (the formatter writes `#note`
    as `# note`), sorted, once per occurrence."""
    import io
    import tokenize

    return sorted(token.string.lstrip("#").strip()
                  for token in tokenize.generate_tokens(io.StringIO(text).readline)
                  if token.type == tokenize.COMMENT)


def statement_lines(source, lines):
    """The lines of the innermost statements of `source` that hold any of `lines`."""
    import ast

    held = set()
    statements = [node for node in ast.walk(ast.parse(source)) if isinstance(node, ast.stmt)]
    for line in lines:
        around = [s for s in statements if s.lineno <= line <= s.end_lineno]
        if around:
            inner = min(around, key=lambda s: s.end_lineno - s.lineno)
            held.update(range(inner.lineno, inner.end_lineno + 1))
    return held


def import_lines(source):
    """The lines of the module-level import statements of `source`."""
    import ast

    held = set()
    for node in ast.parse(source).body:
        if isinstance(node, (ast.Import, ast.ImportFrom)):
            held.update(range(node.lineno, node.end_lineno + 1))
    return held


def changed_old_lines(old, new):
    """The lines (from 1) of `old` that `new` replaces or deletes, and the old line
    before which each insertion goes."""
    import difflib

    changed, inserted_before = set(), set()
    matcher = difflib.SequenceMatcher(None, old.split("\n"), new.split("\n"), autojunk=False)
    for tag, i1, i2, _, _ in matcher.get_opcodes():
        if tag in ("replace", "delete"):
            changed.update(range(i1 + 1, i2 + 1))
        elif tag == "insert":
            inserted_before.add(i1 + 1)
    return changed, inserted_before
