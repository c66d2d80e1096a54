"""Fixtures shared by the test modules; plain helpers live in support.py."""
import os
import tempfile

import pytest

# pylint keeps its statistics under PYLINTHOME; keep them out of the user's home.
os.environ.setdefault("PYLINTHOME", tempfile.mkdtemp(prefix="korvane-pylinthome-"))


@pytest.fixture
def enter_project(monkeypatch):
    """Makes a project the working directory and its source folder importable, for the
    test's duration: `enter_project(root, source_dir="")` returns `root`."""
    def enter(root, source_dir=""):
        monkeypatch.chdir(root)
        monkeypatch.syspath_prepend(str(root / source_dir))
        return root

    return enter


@pytest.fixture
def driver_options(monkeypatch):
    """The driver options that the last Python pass of the analysis road ran with."""
    from korvane.staticanalysis import checker

    seen = {}
    real = checker.Linter.check

    def spy(self, *args, **kwargs):
        seen.update(version=self.config.django_version, settings=self.config.settings_files,
                    urlconf=self.config.root_urlconf)
        return real(self, *args, **kwargs)

    monkeypatch.setattr(checker.Linter, "check", spy)
    return seen


@pytest.fixture
def suggest():
    """The suggestion module."""
    from korvane.staticanalysis import suggest as module

    return module


@pytest.fixture
def plain_rendering(monkeypatch):
    """The suggestion module's renderer and formatter replaced by the library's plain
    rendering and a bare indentation, so that what calls them is seen on its own."""
    import textwrap

    from korvane.staticanalysis import suggest

    def format_code(code, indentation, code_style, comma_character_target):
        return textwrap.indent(code, indentation)

    def get_indentation(code):
        return code[: len(code) - len(code.lstrip())]

    for name, value in {
        "node_as_string": lambda atok, node: node.as_string(),
        "format_code": format_code,
        "get_indentation": get_indentation,
        "get_comma_character_target": lambda source: ("'", '"'),
    }.items():
        monkeypatch.setattr(suggest, name, value, raising=False)
    return suggest
