"""Text that has no UTF-8 form (a lone surrogate, written in a string literal as an
escape, or an undecodable file name) is checked and fixed like any other text."""
import logging
import os
import textwrap

import pytest

from korvane.staticanalysis import checker, helpers
from support import last_member, write_files
from korvane.staticanalysis.checkers import colspecs, migrations, ormcalls, templates, urls

# Each module spells the lone surrogate as an escape, so the file itself is UTF-8.
MODULES = {
    "shop/__init__.py": "",
    "shop/migrations/__init__.py": "",
    "shop/urls.py": r'''
        from django.urls import path, re_path, reverse_lazy


        def view(request):
            return reverse_lazy("caf\udce9")


        urlpatterns = [
            path("caf\udce9/<int:pk>/", view, name="caf\udce9"),
            re_path(route="caf\udce9/(?P<pk>[0-9]+)/", view=view, name="caf\udce9"),
            path("b/<int:pk>/", view, name="caf\udce9"),
            path("c/", view, name=("caf\udce9", 1)),
            path("d/", view, name=("caf\udce9", 1)),
        ]
    ''',
    "shop/models.py": r'''
        from django.db import models


        class Book(models.Model):
            title = models.CharField("caf\udce9", max_length=600, null=True)
            label = models.CharField(verbose_name="caf\udce9", max_length=10, default="caf\udce9")
            kind = models.CharField(max_length=10, choices=[("caf\udce9", "x")], null=False)
            published = models.DateTimeField(null=True, help_text="caf\udce9")
            shelf = models.ForeignKey("Shelf", on_delete=models.CASCADE, related_name="caf\udce9")

            def save(self, *args, **kwargs):
                super().save(*args, **kwargs)

            def __str__(self):
                return "caf\udce9"


        def count_them():
            if Book.objects.filter(title="caf\udce9").count() > 0:
                return len(Book.objects.filter(label="caf\udce9"))
            return Book.objects.get(title="caf\udce9").shelf.pk
    ''',
    "shop/migrations/0002_data.py": r'''
        from django.db import migrations


        def forwards(apps, schema_editor):
            pass


        class Migration(migrations.Migration):
            dependencies = [("shop", "0001_caf\udce9")]
            operations = [
                migrations.RunPython({"caf\udce9": forwards}["caf\udce9"]),
                migrations.RunPython(code=forwards, hints={"caf\udce9": 1}),
            ]
    ''',
}

FINDINGS = {
    "shop/urls.py": [
        (5, "C6002", {"signature": "('caf\\udce9')"}),
        (11, "C6001", {"name": "caf\udce9"}),
        (13, "C6001", {"name": ["caf\udce9", 1]}),
    ],
    "shop/models.py": [
        (5, "C2006", {"name": "title", "value": 600}),
        (5, "C2000", {"name": "title"}),
        (7, "C2002", {"name": "kind", "option": "null", "value": False}),
        (8, "C2003", {"name": "published"}),
        (14, "C3002", {"before": "__str__", "after": "save"}),
        (19, "C9002", {"queryset": "Book.objects.filter(title='caf\\udce9')"}),
        (20, "C9000", {"foo": "bar"}),
        (21, "C9001", {"me": "model", "related_name": "shelf", "pk_attribute": "pk"}),
    ],
    "shop/migrations/0002_data.py": [
        (11, "C8001", {"forwards_name": "{'caf\\udce9': forwards}['caf\\udce9']"}),
        (12, "C8001", {"forwards_name": "code=forwards"}),
    ],
}


class Collecting(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.lines = []

    def emit(self, record):
        self.lines.append(record.getMessage())


@pytest.fixture(scope="module")
def run(tmp_path_factory):
    root = write_files(tmp_path_factory.mktemp("surrogates"), {
        path: textwrap.dedent(source).lstrip("\n") for path, source in MODULES.items()})
    before = os.getcwd()
    logger = logging.getLogger("korvane.staticanalysis.checker")
    log = Collecting()
    logger.addHandler(log)
    os.chdir(root)
    try:
        return checker.get_messages(str(root), dict.fromkeys(FINDINGS), jobs=1), log.lines
    finally:
        os.chdir(before)
        logger.removeHandler(log)


@pytest.fixture
def records(run):
    return run[0]


def test_no_module_ends_in_a_fatal_record(run):
    records, log = run
    assert [r for r in records if r["type"] == "fatal"] == []
    assert [line for line in log if line.startswith("Fatal message")] == []


@pytest.mark.parametrize("path", sorted(FINDINGS))
def test_checkers_report_on_text_without_utf8_form(records, path):
    got = [(r["line"], r["message-id"], r["message"]) for r in records if r["path"] == path]
    assert got == FINDINGS[path]


def last_statement(tree):
    return tree.body[-1]


@pytest.mark.parametrize(
    "module, codes, source, target, after",
    [
        (colspecs, ["C2000", "C2002", "C2006"],
         '''
         from django.db import models
         class Book(models.Model):
             title = models.CharField("caf\\udce9", max_length=600, null=True, blank=False)
         ''',
         last_member,
         "title = models.TextField('caf\\udce9', default='', blank=True)"),
        (ormcalls, ["C9000", "C9002"],
         '''
         from django.db import models
         class Book(models.Model):
             title = models.CharField(max_length=10)
         if Book.objects.filter(title="caf\\udce9").count() > 0:
             n = len(Book.objects.filter(title="caf\\udce9"))
         ''',
         last_statement,
         "if Book.objects.filter(title='caf\\udce9').exists():\n"
         "    n = Book.objects.filter(title='caf\\udce9').count()"),
        (migrations, ["C8001"],
         '''
         from django.db import migrations
         class Migration(migrations.Migration):
             operations = [migrations.RunPython({"caf\\udce9": print}["caf\\udce9"])]
         ''',
         last_member,
         "operations = [migrations.RunPython({'caf\\udce9': print}['caf\\udce9'], "
         "migrations.RunPython.noop)]"),
        (urls, ["C6002"],
         '''
         from django.urls import reverse_lazy
         def view(request):
             return reverse_lazy("caf\\udce9", kwargs={"caf\\udce9": 1})
         ''',
         last_statement,
         "def view(request):\n    return reverse('caf\\udce9', kwargs={'caf\\udce9': 1})"),
    ],
)
def test_fixes_keep_text_without_utf8_form(module, codes, source, target, after):
    tree = helpers.build_atok(textwrap.dedent(source), modname="shop.fixme").tree
    module.build_transformer_visitor(codes).visit(target(tree))
    assert target(tree).as_string().strip() == after


def test_static_tag_rewrite_of_paths_without_utf8_form():
    visitor = templates.build_transformer_visitor(["C7001"], {"STATIC_URL": "/st\udce9tic/"})
    html = '<img src="/st\udce9tic/caf\udce9.png"><script src="/static/a.js"></script>'
    assert visitor.visit(html) == (
        "<img src='{% static \"caf\udce9.png\" %}'><script src=\"/static/a.js\"></script>")


def test_template_and_settings_text_without_utf8_form(tmp_path, monkeypatch):
    (tmp_path / "manage.py").write_text(
        'import os\n\nif __name__ == "__main__":\n'
        '    os.environ.setdefault("DJANGO_SETTINGS_MODULE", "site_conf.settings")\n')
    (tmp_path / "site_conf").mkdir()
    (tmp_path / "site_conf" / "__init__.py").write_text("")
    (tmp_path / "site_conf" / "settings.py").write_text(
        'ROOT_URLCONF = "site_conf.urls\\udce9"\nSTATIC_URL = "/st\\udce9tic/"\n')
    try:
        (tmp_path / "caf\udce9.html").write_text('<img src="/static/logo.png">\n<a href="/home/">h</a>\n')
    except (OSError, UnicodeEncodeError):
        pytest.skip("the file system takes only UTF-8 names")
    monkeypatch.chdir(tmp_path)
    files = {"caf\udce9.html": None, "site_conf/settings.py": None}
    records = checker.get_messages(str(tmp_path), files, jobs=1)
    assert [(r["path"], r["line"], r["message-id"], r["message"]) for r in records] == [
        ("caf\udce9.html", 1, "C7001", {"path": "/static/logo.png"}),
        ("caf\udce9.html", 2, "C7000", {}),
    ]


def test_single_text_with_a_lone_surrogate_in_a_pragma_comment():
    # Such text cannot be compiled: it is a syntax error finding, not a crash.
    code = "x = 1  # korvane: disable=huge-max-length caf\udce9\n"
    advice = checker.check_code(code, "shop/models.py", "shop.settings")
    assert [a["message-id"] for a in advice] == ["E0001"]
