import textwrap

import pytest

import support
from korvane.staticanalysis import checker
from korvane.staticanalysis.checkers import (
    admin, colspecs, memberorder, migrations, ormcalls, settings, templates, urls,
)


@pytest.mark.parametrize("jobs, expected", [(0, None), (1, 1), (4, 4), (-1, -1)])
def test_create_linter_jobs(jobs, expected):
    linter = checker.create_linter(linter_class=checker.Linter, jobs=jobs)
    assert linter.config.jobs == expected


def test_create_linter_defaults_and_plugins():
    linter = checker.create_linter(checker.Linter)
    assert type(linter) is checker.Linter
    assert linter.config.jobs is None
    assert linter.config.settings_files == []
    assert linter.config.root_urlconf == ""
    assert linter.config.django_version == "3.3"
    assert isinstance(linter.reporter, checker.Reporter) and linter.reporter.messages == []
    assert linter.reporter.linter is linter
    assert linter.msgs_store._msgs_by_category["R"] == []
    assert linter.msgs_store._msgs_by_category["W"] == []
    registered = [c for c in linter._checkers.values() for c in c if c is not linter]
    assert [type(c) for c in registered] == [
        admin.Checker, settings.Checker, colspecs.Checker, memberorder.Checker,
        migrations.Checker, ormcalls.Checker, urls.Checker,
    ]
    assert checker.python_checker_classes == [type(c) for c in registered]
    assert checker.html_checker_classes == [templates.Checker]


def test_linters_share_nothing():
    first = checker.create_linter(linter_class=checker.Linter)
    second = checker.create_linter(linter_class=checker.Linter)
    assert first is not second and first.reporter is not second.reporter
    first.set_option("settings-files", ["proj.settings"])
    assert first.config.settings_files == ["proj.settings"]
    assert second.config.settings_files == []


def test_message_id_symbol_store():
    store = checker.message_id_symbol_store
    assert store["C2003"] == "field-null-not-blank"
    assert store["C7001"] == "hard-coded-static-url"
    assert store["C4007"] == settings.Checker.msgs["C4007"][1]
    for absent in ("E0001", "C1000", "W0611"):
        assert absent not in store
    expected = {}
    for cls in checker.python_checker_classes + checker.html_checker_classes:
        for code, (_, symbol, _) in cls.msgs.items():
            expected[code] = symbol
    assert store == expected


def test_module_loads_without_rich():
    script = textwrap.dedent(
        """
        import os, sys, tempfile
        sys.modules["rich"] = None
        from unittest.mock import MagicMock
        os.chdir(tempfile.mkdtemp())
        open("m.py", "w").write("def f(:\\n")
        from korvane.staticanalysis import checker
        assert checker.Progress is MagicMock and checker.MagicMock is MagicMock
        linter = checker.create_linter(linter_class=checker.Linter, jobs=1)
        assert linter.check(files_or_modules=["m.py"]) is None
        print([r["message-id"] for r in linter.reporter.messages])
        """
    )
    out = support.run_fresh("-c", script, check=True)
    assert out.stdout.strip() == "['E0001']"
