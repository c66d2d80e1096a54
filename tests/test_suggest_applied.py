"""Every suggestion for the Python findings of the example project and of the test
projects, applied to its file, leaves a file that parses, and linting that file again
no longer reports the finding it answers."""
import collections
import os
from pathlib import Path

import pytest

import support
from korvane.staticanalysis import checker, constants, helpers, meta, suggest

TESTS = Path(__file__).parent
PROJECTS = [
    TESTS.parent / "examples" / "bookshop",
    TESTS / "fixtures" / "models",
    TESTS / "fixtures" / "orm",
    TESTS / "fixtures" / "customfields",
    TESTS / "fixtures" / "host" / "shop",
]

needs_rendering = pytest.mark.skipif(
    not all(hasattr(suggest, name) for name in ("node_as_string", "format_code")),
    reason="the renderer and the formatter are not built",
)


class Project:
    """A project's Python findings grouped by file and line, with what answering one
    needs: the code style, the settings module and the sources."""

    def __init__(self, root):
        files = {
            os.path.relpath(os.path.join(folder, name), root): None
            for folder, _, names in os.walk(root) for name in names if name.endswith(".py")
        }
        records = checker.get_messages(str(root), files, jobs=1)
        self.lines = collections.defaultdict(set)
        for record in records:
            if record.get("path", "").endswith(".py") and record["message-id"] in checker.message_id_symbol_store:
                self.lines[record["path"], record["line"]].add(record["message-id"])
        self.code_style = meta.get_code_style(str(root))
        self.settings_modpath = meta.get_settings_modpath(str(root))
        # linted again as the analysis lints them: every settings module counts as one
        self.settings_files = list(meta.get_settings_files(str(root)))

    def source(self, path):
        return Path(path).read_text()

    def answer(self, path, line, codes):
        """The suggestions for a finding line, from a token view of the file as it is."""
        atok = helpers.build_atok(self.source(path), modname=helpers.module_path_from_file(path),
                                  absolute_path=path)
        return suggest.get_suggestions_for_python(
            atok=atok, line=line, message_ids=set(codes), code_style=self.code_style,
            settings_modpath=self.settings_modpath,
        )

    def findings(self, text, path):
        return [(r["line"], r["message-id"]) for r in support.lint_text(text, path, self.settings_files)]


def parses(text, path):
    compile(text, path, "exec")
    return True


def holds_statement(path, line):
    tree = helpers.build_atok(Path(path).read_text()).tree
    return helpers.find_node_by_position(tree, line=line) is not None


def silenced_by_line_end_pragma(project, path, line, code):
    """Whether a pragma appended to the finding's line as written parses and silences
    the finding."""
    lines = project.source(path).split("\n")
    lines[line - 1] += "  # korvane: disable=" + checker.message_id_symbol_store[code]
    text = "\n".join(lines)
    try:
        compile(text, path, "exec")
    except SyntaxError:
        return False
    return (line, code) not in project.findings(text, path)


@pytest.fixture(params=PROJECTS, ids=lambda root: root.name)
def project(request, enter_project):
    enter_project(request.param)
    return Project(request.param)


def test_each_pragma_silences_its_finding(project):
    problems = []
    for (path, line), codes in sorted(project.lines.items()):
        before = project.findings(project.source(path), path)
        for code in sorted(codes):
            assert (line, code) in before, (path, line, code)
            answer = project.answer(path, line, {constants.SKIP_LINE_ID, code})
            if not answer:
                # only for a line that holds no statement (a module docstring), or
                # where a pragma at the end of the line would not serve
                if holds_statement(path, line) and silenced_by_line_end_pragma(project, path, line, code):
                    problems.append((path, line, code, "no pragma"))
                continue
            text = support.replace_lines(project.source(path), answer)
            if parses(text, path) and (line, code) in project.findings(text, path):
                problems.append((path, line, code, answer))
    assert problems == []


@needs_rendering
def test_each_fix_parses_and_removes_its_finding(project):
    problems = []
    for (path, line), codes in sorted(project.lines.items()):
        fixable = {code for code in codes if code in constants.TRANSFORMABLE_RULES}
        if not fixable:
            continue
        source = project.source(path)
        answer = project.answer(path, line, fixable)
        for item in answer:
            parses(support.replace_lines(source, [item]), path)
        if not answer:
            continue
        text = support.replace_lines(source, answer)
        parses(text, path)
        before = collections.Counter(code for _, code in project.findings(source, path))
        after = collections.Counter(code for _, code in project.findings(text, path))
        left = {code for code in fixable if after[code] >= before[code]}
        if left:
            problems.append((path, line, left, answer))
    assert problems == []
