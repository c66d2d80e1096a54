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
def suggest(monkeypatch):
    """The suggestion module; where its leading-whitespace helper is not there yet, a
    plain stand-in takes its place for the test's duration."""
    from korvane.staticanalysis import suggest as module

    if not hasattr(module, "get_indentation"):
        def get_indentation(text):
            return text[: len(text) - len(text.lstrip())]

        monkeypatch.setattr(module, "get_indentation", get_indentation, raising=False)
    return module
