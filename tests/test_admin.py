"""Placement of Django admin classes."""
from pathlib import Path

import astroid
import pytest
from pylint.lint import PyLinter
from pylint.reporters import CollectingReporter
from pylint.testutils import UnittestLinter
from pylint.utils import ASTWalker

from korvane.staticanalysis.checkers import admin

FIXTURES = Path(__file__).parent / "fixtures" / "models"

CODE = """\
from django.contrib import admin

class BookAdmin(admin.ModelAdmin):
    pass

class ChapterInline(admin.TabularInline):
    pass

class Plain:
    pass

class Unknown(missing.Base):
    pass
"""


def walk(code, modname):
    linter = UnittestLinter()
    walker = ASTWalker(linter)
    walker.add_checker(admin.Checker(linter))
    walker.walk(astroid.parse(code, module_name=modname))
    return linter.release_messages()


@pytest.mark.parametrize("modname, reported", [
    ("shop.admin", False),
    ("shop.admin.inlines", False),
    ("shop.admins", False),
    ("shop.admin_site", False),
    ("shop.models", True),
    ("shop.myadmin", True),
    ("admin", True),
])
def test_admin_classes_outside_admin_modules(modname, reported):
    messages = walk(CODE, modname)
    expected = [{"name": "BookAdmin"}, {"name": "ChapterInline"}] if reported else []
    assert [m.args for m in messages] == expected
    assert all(m.msg_id == "C5000" and isinstance(m.node, astroid.ClassDef) for m in messages)


def test_nested_admin_class_is_reported_before_its_enclosing_class():
    code = ("from django.contrib import admin\n"
            "class Outer(admin.ModelAdmin):\n"
            "    class Inner(admin.StackedInline):\n        pass\n")
    assert [m.args["name"] for m in walk(code, "shop.models")] == ["Inner", "Outer"]


def test_module_is_replaced_for_each_module():
    linter = UnittestLinter()
    walker = ASTWalker(linter)
    walker.add_checker(admin.Checker(linter))
    walker.walk(astroid.parse(CODE, module_name="shop.admin"))
    walker.walk(astroid.parse(CODE, module_name="shop.views"))
    assert len(linter.release_messages()) == 2


def test_linter_run_over_fixture_package():
    reporter = CollectingReporter()
    linter = PyLinter(reporter=reporter)
    linter.register_checker(admin.Checker(linter))
    linter.check([str(FIXTURES / "shop")])
    got = [(m.module, m.line, m.symbol, m.msg) for m in reporter.messages if m.msg_id == "C5000"]
    assert got == [("shop.models", 25, "misplaced-admin-class", {"name": "AuthorAdmin"})]


def test_checker_class_declares_family_rows():
    from pylint.interfaces import IAstroidChecker

    assert admin.Checker.__implements__ == (IAstroidChecker,)
    assert admin.Checker.name == "admin"
    template, symbol, description = admin.Checker.msgs["C5000"]
    assert (symbol, description) == ("misplaced-admin-class", "Admin class should be in admin.py")
    assert template % {"name": "x"} == {"name": "x"}
    assert admin.Codes.C5000 == "C5000" and admin.Checker.options == ()
