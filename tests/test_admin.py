"""Placement of Django admin classes."""
import functools
from pathlib import Path

import astroid
import pytest
from pylint.testutils import UnittestLinter
from pylint.utils import ASTWalker

import support
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


walk = functools.partial(support.walk, admin.Checker)


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
    messages = support.lint_files(admin.Checker, [FIXTURES / "shop"])
    got = [(m.module, m.line, m.symbol, m.msg) for m in messages if m.msg_id == "C5000"]
    assert got == [("shop.models", 25, "misplaced-admin-class", {"name": "AuthorAdmin"})]


def test_checker_class_declares_family_rows():
    from pylint.interfaces import IAstroidChecker

    assert admin.Checker.__implements__ == (IAstroidChecker,)
    assert admin.Checker.name == "admin"
    template, symbol, description = admin.Checker.msgs["C5000"]
    assert (symbol, description) == ("misplaced-admin-class", "Admin class should be in admin.py")
    assert template % {"name": "x"} == {"name": "x"}
    assert admin.Codes.C5000 == "C5000" and admin.Checker.options == ()
