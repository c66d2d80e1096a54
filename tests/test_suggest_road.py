"""The suggestion road end to end over a project: every suggestion it posts is right
applied alone and applied with all the others of its file, and every disable pragma
silences exactly its finding."""
import ast
import collections
import shutil
from pathlib import Path

import pytest
from pylint.checkers.variables import VariablesChecker

import support
from korvane.staticanalysis import checker, constants, suggest

FIXTURES = Path(__file__).parent / "fixtures"


def analysed(tmp_path, enter_project, fixture):
    """A copy of a fixture project, entered, and its Python records."""
    root = tmp_path / fixture
    shutil.copytree(str(FIXTURES / fixture), str(root))
    enter_project(root)
    files = {str(p.relative_to(root)): None for p in root.rglob("*.py")}
    records = [r for r in checker.get_messages(str(root), files, jobs=1) if r["path"].endswith(".py")]
    return root, records


@pytest.fixture
def project(tmp_path, enter_project):
    return analysed(tmp_path, enter_project, "suggestroad")


def comments(records, pragmas=False):
    found = []
    for r in records:
        found.append({"path": r["path"], "line": r["line"], "message-id": r["message-id"],
                      "body": "{path}:{line} {message-id}".format(**r)})
        if pragmas:
            found.append({"path": r["path"], "line": r["line"], "message-id": constants.SKIP_LINE_ID,
                          "body": "disable"})
    return found


def findings(root, text, path, settings="library.settings"):
    return collections.Counter(
        (r["line"], r["message-id"]) for r in support.lint_text(text, path, [settings])
        if r["message-id"] in checker.message_id_symbol_store)


def undefined_at_import(tmp_path, text):
    """The names the module's own code (not its functions) reads without binding them:
    what raises NameError when the module is imported."""
    module = support.unique_module(tmp_path, text, "applied_{}.py")
    tree = ast.parse(text)
    in_functions = {line for node in ast.walk(tree)
                    if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.Lambda))
                    for line in range(node.body[0].lineno if isinstance(node.body, list) else node.lineno,
                                      node.end_lineno + 1)}
    return [m.msg for m in support.lint_files(VariablesChecker, [module])
            if m.symbol == "undefined-variable" and m.line not in in_functions]


def test_every_suggestion_is_right_alone_and_with_the_others(project, tmp_path):
    root, records = project
    blocks = support.suggestion_blocks(suggest.suggest_fixes(comments(records), str(root)))
    assert set(blocks) == {"shelf/api.py", "shelf/models.py", "shelf/views.py"}
    for path, items in blocks.items():
        source = (root / path).read_text()
        before = findings(root, source, path)
        lines = source.splitlines(True)
        variants = [[item] for item in sorted(items)] + [sorted(items)]
        for applied in variants:
            text = support.apply_suggestions(lines, applied)
            compile(text, path, "exec")
            assert undefined_at_import(tmp_path, text) == [], (path, applied)
            after = findings(root, text, path)
            # nothing new, and what each suggestion answers is gone
            codes_before = collections.Counter(code for (_, code), n in before.items() for _ in range(n))
            codes_after = collections.Counter(code for (_, code), n in after.items() for _ in range(n))
            assert all(codes_after[c] <= codes_before[c] for c in codes_after), (path, applied)
        everything = support.apply_suggestions(lines, sorted(items))
        left = {code for _, code in findings(root, everything, path)}
        assert not left & {"C2000", "C2003", "C6002"}, (path, left)
    # the import keeps the lazy name while the module still uses it, and adds the other
    views = support.apply_suggestions((root / "shelf/api.py").read_text().splitlines(True),
                                      sorted(blocks["shelf/api.py"]))
    assert "from django.urls import reverse, reverse_lazy\n" in views


def test_every_pragma_silences_exactly_its_finding(project):
    root, records = project
    review = suggest.suggest_fixes(comments(records, pragmas=True), str(root))
    pragma_blocks = {
        path: {item for item in items if "# korvane: disable=" in item[2]}
        for path, items in support.suggestion_blocks(review).items()}
    answered = set()
    for path, items in pragma_blocks.items():
        source = (root / path).read_text()
        before = findings(root, source, path)
        for first, last, text in items:
            applied = support.apply_suggestions(source.splitlines(True), [(first, last, text)])
            gone = before - findings(root, applied, path)
            # one finding on the pragma's lines is gone, and only that one
            assert len(gone) == 1 and first <= next(iter(gone))[0] <= last, (path, text, gone)
            assert not findings(root, applied, path) - before
            answered |= {(path, line, code) for line, code in gone}
    # every finding of the project got its pragma: C2005 and C3002 have no fix
    assert answered == {(r["path"], r["line"], r["message-id"]) for r in records}


def test_a_fixed_header_is_suggested_with_its_body_as_written(tmp_path, enter_project):
    # `if not qs:` with an `else:`, and `if items:` over a body black would reformat
    root, records = analysed(tmp_path, enter_project, "suggestheader")
    assert sorted((r["line"], r["message-id"]) for r in records) == [(8, "C9003"), (16, "C9003")]
    blocks = support.suggestion_blocks(suggest.suggest_fixes(comments(records), str(root)))
    source = (root / "stockroom/views.py").read_text()
    lines = source.splitlines()
    headers = {}
    for first, last, text in blocks["stockroom/views.py"]:
        header, *body = text.split("\n")
        assert body == lines[first:last], text
        headers[first] = header
    assert headers == {8: "    if not qs.exists():", 16: "    if items.exists():"}
    fixed = support.apply_suggestions(source.splitlines(True), blocks["stockroom/views.py"])
    compile(fixed, "stockroom/views.py", "exec")
    assert not findings(root, fixed, "stockroom/views.py", "stockroom.settings")
def test_a_fix_inside_a_dict_display_is_suggested_with_its_comment(tmp_path, enter_project):
    root = tmp_path / "catalogview"
    shutil.copytree(str(Path(__file__).parent / "fixtures" / "catalogview"), str(root))
    enter_project(root)
    records = [r for r in checker.get_messages(str(root), {"frontlist/views.py": None}, jobs=1)
               if r["path"] == "frontlist/views.py"]
    assert [(r["line"], r["message-id"]) for r in records] == [(11, "C9000")]
    blocks = support.suggestion_blocks(suggest.suggest_fixes(comments(records), str(root)))
    [(first, last, text)] = blocks["frontlist/views.py"]
    assert (first, last) == (9, 12)
    assert '"object_list": featured,  # shown first' in text and '"count": books.count(),' in text
    source = (root / "frontlist/views.py").read_text()
    fixed = support.apply_suggestions(source.splitlines(True), blocks["frontlist/views.py"])
    compile(fixed, "frontlist/views.py", "exec")
    assert not findings(root, fixed, "frontlist/views.py")
