import importlib

import pytest

MODULES = [
    "helpers", "shims", "meta", "dependencies", "checker",
    "checkers.colspecs", "checkers.memberorder", "checkers.admin",
    "checkers.ormcalls", "checkers.urls", "checkers.migrations", "checkers.templates",
]


@pytest.mark.parametrize("name", MODULES)
def test_module_is_native_extension(name):
    module = importlib.import_module("korvane.staticanalysis." + name)
    assert module.__file__.endswith(".so")
