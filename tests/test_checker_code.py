import astroid
import pytest
from pylint import config as pylint_config

from korvane.staticanalysis import checker, render

MODEL = (
    "from django.db import models\n\n\n"
    "class Product(models.Model):\n"
    "    name = models.CharField(max_length=100, null=True)\n"
    "    title = models.CharField(max_length=100, null=True)  # korvane: disable=nullable-string-field\n"
)


@pytest.fixture
def captured(monkeypatch):
    calls = []

    def fake(**kwargs):
        calls.append(kwargs)
        return "advice"

    monkeypatch.setattr(render, "render_message_centric_advice", fake)
    return calls


def crash_reports():
    from pathlib import Path

    home = Path(pylint_config.PYLINT_HOME)
    return sorted(home.glob("pylint-crash*")) if home.exists() else []


def test_check_code_hands_findings_to_renderer(captured):
    assert checker.check_code(MODEL, "app/models.py", "proj.settings") == "advice"
    (kwargs,) = captured
    assert sorted(kwargs) == ["code_reader", "code_style", "messages", "settings",
                              "settings_modpath"]
    assert kwargs["settings"] == {} and kwargs["code_style"] == {}
    assert kwargs["settings_modpath"] == "proj.settings"
    assert kwargs["code_reader"]("any/other/path.py") == MODEL
    found = [(m["module"], m["path"], m["line"], m["message-id"]) for m in kwargs["messages"]]
    assert ("app.models", "app/models.py", 5, "C2000") in found
    assert not [f for f in found if f[2] == 6 and f[3] == "C2000"]


def test_check_code_with_stand_in_renderer():
    advice = checker.check_code(MODEL, "app/models.py", "proj.settings")
    entry = next(a for a in advice if a["message-id"] == "C2000")
    assert entry["line"] == 5 and "name" in entry["text"]
    assert entry["link"].endswith("/advice/C2000")


def test_check_code_never_reads_the_file(tmp_path, monkeypatch, captured):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "app").mkdir()
    (tmp_path / "app" / "models.py").write_text(MODEL)
    checker.check_code("x = 1\n", "app/models.py", "proj.settings")
    assert [m["message-id"] for m in captured[0]["messages"]] == []


@pytest.mark.parametrize(
    "code, expected",
    [
        ("def f(:\n    pass\n", ("E0001", "syntax-error", "Syntax Error")),
        # a name nothing defines: the plug-ins never see the tree
        ("from django.db import models\n\n\nclass P(models.Model):\n"
         "    name = models.CharField(null=True)\n    x = undefined_name\n",
         # a name the module never binds ends nothing: the field's finding stays
         ("C2000", "nullable-string-field", None)),
    ],
)
def test_unlintable_text_becomes_one_finding(captured, code, expected):
    before = crash_reports()
    checker.check_code(code, "app/models.py", "proj.settings")
    (message,) = captured[0]["messages"]
    assert (message["message-id"], message["symbol"]) == expected[:2]
    if expected[2]:
        assert message["message"] == expected[2]
    assert crash_reports() == before


@pytest.mark.parametrize(
    "path, modname",
    [("app/models.py", "app.models"), ("pkg/__init__.py", "pkg.__init__"),
     ("/srv/app/models.py", ".srv.app.models"), ("my.pyproj/app.py", "myproj.app")],
)
def test_file_descriptors(path, modname):
    linter = checker.create_linter(linter_class=checker.CodeLinter)
    (item,) = list(linter._iterate_file_descrs([path]))
    assert isinstance(item, checker.FileItem) and isinstance(item, tuple)
    assert item == (modname, path, modname)
    assert (item.name, item.filepath, item.modpath) == (modname, path, modname)


def test_code_linter_lints_stored_text_per_path():
    linter = checker.create_linter(linter_class=checker.CodeLinter)
    assert linter.config.jobs is None and linter.config.django_version == "3.3"
    linter.set_option("settings-files", ["proj.settings"])
    assert linter.config.settings_files == ["proj.settings"]
    assert linter.check(MODEL, files_or_modules=["a/models.py", "b/models.py"]) is None
    assert linter.korvane_provided_code == MODEL
    found = sorted((m["module"], m["message-id"]) for m in linter.reporter.messages
                   if m["message-id"] == "C2000")
    assert found == [("a.models", "C2000"), ("b.models", "C2000")]


def test_get_ast_builds_tree_of_stored_text():
    linter = checker.CodeLinter()
    linter.korvane_provided_code = "import os\nvalue = os.sep\n"
    tree = linter.get_ast("pkg/mod.py", "pkg.mod", data="ignored")
    assert isinstance(tree, astroid.Module)
    assert tree.name == "pkg.mod" and tree.file.endswith("pkg/mod.py")
    assert tree.body[1].value.first_token.string == "os"


def test_check_names():
    assert checker.check_names(astroid.parse("import os\nos.sep\nlen(x for x in [])\n")) is None
    # a name that does not infer is a node without a finding, not the end of the file
    assert checker.check_names(astroid.parse("missing_name\n")) is None


def test_a_name_the_module_never_binds_keeps_every_other_finding():
    code = MODEL + "\n\ndef back():\n    return reverse('shop:index')\n"
    linter = checker.create_linter(checker.CodeLinter, jobs=1)
    linter.check(code, files_or_modules=["shop/models.py"])
    assert [m["message-id"] for m in linter.reporter.messages if m["message-id"][0] in "CEF"] == ["C2000"]


def test_check_code_lints_in_this_process(monkeypatch, captured):
    # A worker process would build Django's modules again for one text; the text is
    # parsed here, in the calling process, with the same findings.
    import os

    from korvane.staticanalysis import helpers

    parsed_in = []
    build_atok = helpers.build_atok

    def recording_build_atok(*args, **kwargs):
        parsed_in.append(os.getpid())
        return build_atok(*args, **kwargs)

    monkeypatch.setattr(helpers, "build_atok", recording_build_atok)
    checker.check_code(MODEL, "app/models.py", "proj.settings")
    assert parsed_in == [os.getpid()]
    found = [(m["line"], m["message-id"]) for m in captured[0]["messages"]]
    assert (5, "C2000") in found
