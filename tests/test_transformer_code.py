"""Every fix applied to one source text: the fixed text and the codes the text raises."""
import ast

import pytest

import support
from korvane.staticanalysis import helpers, transformer
from korvane.staticanalysis.checkers import settings

MODELS = '''\
from django.db import models


class Book(models.Model):
    # Shown on the shelf label.
    title = models.CharField(max_length=200, null=True)
    subtitle = models.CharField(max_length=200, null=True)

    legacy_code = models.CharField(max_length=32, null=True)  # korvane: disable=nullable-string-field
'''

VIEWS = '''\
from django.shortcuts import render

from django.contrib.auth.models import User


def count():
    return 0


def shelf(request):
    books = User.objects.filter(is_active=True)
    if books:
        pass
    if not books:
        pass
    if books.count():
        pass
    if not books.count():
        pass
    if count():
        pass
    return render(request, "shelf.html", {"books": books})
'''


def fixed(code, path="shop/models.py", **kwargs):
    return transformer.transform_code(code, path, "shop.settings", **kwargs)


def test_fixes_keep_comments_and_pragmas():
    text, reasons = fixed(MODELS)
    ast.parse(text)
    assert 'title = models.CharField(max_length=200, default="", blank=True)' in text
    assert "    # Shown on the shelf label.\n" in text
    # The disabled finding is not raised, and its field is left as it is.
    assert "max_length=32, null=True" in text
    assert "C2000" in reasons
    codes = [r["message-id"] for r in support.lint_text(text, "shop/models.py")]
    assert "C2000" not in codes


def test_noise_keeps_codes_out_of_reasons_but_fixes_run():
    text, reasons = fixed(MODELS, noise=["C2000"])
    assert "C2000" not in reasons and 'default=""' in text


def test_queryset_tests_become_exists_calls():
    text, reasons = fixed(VIEWS, path="shop/views.py")
    assert text.count("books.exists()") == 4
    assert "if count():" in text
    assert {"C9002", "C9003"} <= reasons


@pytest.mark.parametrize("path, modname", [
    ("app/models.py", "app.models"),
    ("a.pyx/b.py", "ax.b"),
    ("/srv/app/models.py", ".srv.app.models"),
])
def test_module_name_of_the_path(monkeypatch, path, modname):
    seen = []
    build_atok = helpers.build_atok

    def recording(code, **kwargs):
        seen.append(kwargs)
        return build_atok(code, **kwargs)

    monkeypatch.setattr(helpers, "build_atok", recording)
    transformer.transform_code("x = 1\n", path, None)
    assert seen[0] == {"modname": modname, "absolute_path": path}


def test_settings_noise_keeps_its_row_out(monkeypatch):
    asked = []
    for name in ("is_missing_secure_ssl_redirect", "is_missing_session_cookie_secure"):
        monkeypatch.setattr(settings, name,
                            lambda module_node, settings_modpath, name=name: asked.append(name))
    transformer.transform_code("DEBUG = False\n", "shop/settings.py", "shop.settings",
                               [settings.Codes.C4013])
    assert "is_missing_secure_ssl_redirect" not in asked


def test_default_noise_is_one_unchanged_list():
    default = transformer.transform_code.__defaults__ if hasattr(
        transformer.transform_code, "__defaults__") else None
    first = fixed("x = 1\n")
    second = fixed("x = 1\n")
    assert first == second == ("x = 1", set())
    assert default is None or default == ([],)


def test_text_that_does_not_parse_raises():
    with pytest.raises(Exception):
        fixed("def broken(:\n")


def test_a_text_in_its_declared_encoding_is_linted_as_the_analysis_lints_it():
    # cp1252 has the euro sign where latin-1 has a control character
    code = ("# -*- coding: cp1252 -*-\nfrom django.db import models\n\n\n"
            "class Price(models.Model):\n    sign = models.CharField(max_length=1, null=True)"
            "  # \u20ac \u00c1\n")
    text, reasons = fixed(code)
    assert reasons == {"C2000"}
    assert 'sign = models.CharField(max_length=1, default="", blank=True)  # \u20ac \u00c1' in text
