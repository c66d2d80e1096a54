"""Writes a synthetic Django project for the benchmarks.

The project looks like a real shop code base grown large: a settings package,
`manage.py`, `requirements.txt`, and many apps, each with models of many field kinds,
an admin module, views that use QuerySets, URL patterns, migrations (one with
`RunPython`) and templates with links and static paths.  The same size and seed give
the same project byte for byte, so the findings of two runs can be compared.

    python bench/generate.py DEST --modules 100
"""
import argparse
import random
import textwrap
from pathlib import Path

# Python modules written per app: models, admin, views, urls, forms, two migrations.
MODULES_PER_APP = 7

FIELD_KINDS = [
    'models.CharField(max_length={n})',
    'models.CharField(max_length={n}, null=True)',
    'models.CharField(max_length=1000)',
    'models.TextField(blank=True)',
    'models.TextField(null=True, blank=True)',
    'models.SlugField(unique=True)',
    'models.EmailField(null=True)',
    'models.URLField(blank=True)',
    'models.IntegerField(default=0)',
    'models.PositiveIntegerField(null=True, blank=True)',
    'models.DecimalField(max_digits=8, decimal_places=2)',
    'models.DateTimeField(null=True)',
    'models.DateTimeField(auto_now_add=True)',
    'models.DateField(null=True, blank=True)',
    'models.BooleanField(default=True, null=False)',
    'models.BooleanField(default=False)',
    'models.NullBooleanField()',
    'models.FloatField(blank=True, null=True)',
    'models.UUIDField(unique_for_date="created")',
]

MANAGE = '''\
#!/usr/bin/env python
"""Django's command-line utility for administrative tasks."""
import os
import sys


def main():
    os.environ.setdefault("DJANGO_SETTINGS_MODULE", "shop.settings.base")
    from django.core.management import execute_from_command_line

    execute_from_command_line(sys.argv)


if __name__ == "__main__":
    main()
'''

SETTINGS = '''\
import os

BASE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SECRET_KEY = os.environ.get("SECRET_KEY", "bench-not-secret")
DEBUG = False
ALLOWED_HOSTS = ["shop.example.org"]
INSTALLED_APPS = [
    "django.contrib.admin",
    "django.contrib.auth",
    "django.contrib.contenttypes",
    "django.contrib.sessions",
    "django.contrib.messages",
    "django.contrib.staticfiles",
{apps}
]
MIDDLEWARE = [
    "django.middleware.common.CommonMiddleware",
    "django.contrib.sessions.middleware.SessionMiddleware",
    "django.contrib.auth.middleware.AuthenticationMiddleware",
]
ROOT_URLCONF = "shop.urls"
DATABASES = {{"default": {{"ENGINE": "django.db.backends.sqlite3", "NAME": os.path.join(BASE_DIR, "db.sqlite3")}}}}
STATIC_URL = "/static/"
STATIC_ROOT = os.path.join(BASE_DIR, "static")
'''


def model_source(rng, app, index, related):
    name = "%s%s" % (app.capitalize(), ["Item", "Order", "Entry", "Record", "Line"][index % 5])
    fields = ['    title = models.CharField(max_length=%d)' % rng.choice([80, 120, 200])]
    fields.append('    created = models.DateTimeField(auto_now_add=True)')
    for number in range(rng.randint(3, 12)):
        kind = rng.choice(FIELD_KINDS).format(n=rng.choice([32, 64, 255]))
        fields.append('    field_%d = %s' % (number, kind))
    if related:
        fields.append('    parent = models.ForeignKey("%s", on_delete=models.CASCADE)' % related)
        fields.append(
            '    owner = models.ForeignKey("auth.User", on_delete=models.CASCADE, related_name="%s_%d")'
            % (app, index))
    lines = ["class %s(models.Model):" % name] + fields + [
        "",
        "    def save(self, *args, **kwargs):",
        "        super().save(*args, **kwargs)",
        "",
        "    def __str__(self):",
        "        return self.title",
        "",
        "    class Meta:",
        '        ordering = ["-created"]',
    ]
    return name, "\n".join(lines) + "\n"


def write_app(root, rng, app):
    package = root / app
    (package / "migrations").mkdir(parents=True)
    (package / "templates" / app).mkdir(parents=True)
    (package / "__init__.py").write_text('default_app_config = "%s.apps.Config"\n' % app)
    (package / "migrations" / "__init__.py").write_text("")

    names, blocks, related = [], [], None
    for index in range(rng.randint(2, 5)):
        name, block = model_source(rng, app, index, related)
        names.append(name)
        blocks.append(block)
        related = name
    (package / "models.py").write_text(
        "from django.db import models\nfrom django.contrib import admin\n\n\n"
        + "\n\n".join(blocks)
        + "\n\nclass %sInlineAdmin(admin.TabularInline):\n    model = %s\n" % (names[0], names[0]))

    (package / "admin.py").write_text(
        "from django.contrib import admin\n\nfrom .models import %s\n\n\n" % ", ".join(names)
        + "".join('@admin.register(%s)\nclass %sAdmin(admin.ModelAdmin):\n    list_display = ["title"]\n\n\n'
                  % (n, n) for n in names).rstrip() + "\n")

    first = names[0]
    (package / "views.py").write_text(textwrap.dedent('''\
    from django.shortcuts import get_object_or_404, render
    from django.urls import reverse, reverse_lazy
    from django.views.generic import CreateView

    from .models import {first}


    def index(request):
        items = {first}.objects.filter(title__icontains=request.GET.get("q", ""))
        total = len({first}.objects.filter(title="a"))
        if {first}.objects.filter(title="b").count() > 0:
            total += 1
        if items:
            total += 2
        return render(request, "{app}/index.html", {{"items": items, "total": total}})


    def detail(request, pk):
        item = {first}.objects.get(pk=pk)
        owner_id = item.owner.pk
        return render(request, "{app}/detail.html", {{"item": item, "owner": owner_id}})


    def back(request):
        return reverse_lazy("{app}:index")


    class Create(CreateView):
        model = {first}
        fields = ["title"]
        success_url = reverse_lazy("{app}:index")

        def get_success_url(self):
            return reverse("{app}:detail", kwargs={{"pk": self.object.pk}})
    ''').format(first=first, app=app))

    (package / "urls.py").write_text(textwrap.dedent('''\
    from django.urls import path

    from . import views

    app_name = "{app}"
    urlpatterns = [
        path("", views.index, name="index"),
        path("<int:pk>/", views.detail, name="detail"),
        path("item/<int:id>/", views.detail, name="detail"),
        path("new/", views.Create.as_view(), name="create"),
    ]
    ''').format(app=app))

    (package / "forms.py").write_text(textwrap.dedent('''\
    from django import forms

    from .models import {first}


    class {first}Form(forms.ModelForm):
        class Meta:
            model = {first}
            fields = ["title"]

        def clean_title(self):
            title = self.cleaned_data["title"]
            if {first}.objects.filter(title=title).exists():
                raise forms.ValidationError("taken")
            return title
    ''').format(first=first))

    (package / "migrations" / "0001_initial.py").write_text(textwrap.dedent('''\
    from django.db import migrations, models


    class Migration(migrations.Migration):
        initial = True
        dependencies = []
        operations = [
            migrations.CreateModel(
                name="{first}",
                fields=[
                    ("id", models.AutoField(primary_key=True, serialize=False)),
                    ("title", models.CharField(max_length=80, null=True)),
                ],
            ),
        ]
    ''').format(first=first))

    (package / "migrations" / "0002_fill.py").write_text(textwrap.dedent('''\
    from django.db import migrations

    from {app}.models import {first}


    def forwards(apps, schema_editor):
        {first}.objects.create(title="first")


    class Migration(migrations.Migration):
        dependencies = [("{app}", "0001_initial")]
        operations = [migrations.RunPython(forwards)]
    ''').format(first=first, app=app))

    (package / "templates" / app / "index.html").write_text(textwrap.dedent('''\
    {{% extends "base.html" %}}
    {{% block content %}}
    <link rel="stylesheet" href="/static/css/{app}.css">
    <a href="/{app}/">All</a>
    <a href="https://example.org/help/">Help</a>
    <img src="/static/img/{app}.png" alt="{app}">
    {{% for item in items %}}<a href="{{% url '{app}:detail' item.pk %}}">{{{{ item }}}}</a>{{% endfor %}}
    {{% endblock %}}
    ''').format(app=app))
    (package / "templates" / app / "detail.html").write_text(
        '<h1>{{ item.title }}</h1>\n<a href="/%s/">Back</a>\n' % app)


def generate(dest, modules, seed=7):
    """Writes the project into `dest` (created) and returns the list of its apps."""
    root = Path(dest)
    rng = random.Random(seed)
    apps = ["app%03d" % n for n in range(max(1, modules // MODULES_PER_APP))]
    (root / "shop" / "settings").mkdir(parents=True)
    (root / "manage.py").write_text(MANAGE)
    (root / "requirements.txt").write_text("Django>=3.2,<3.3\npsycopg2-binary==2.9.3\n")
    (root / "shop" / "__init__.py").write_text('"""Shop project."""\n')
    (root / "shop" / "settings" / "__init__.py").write_text("from .base import *  # noqa\n")
    (root / "shop" / "settings" / "base.py").write_text(
        SETTINGS.format(apps="\n".join('    "%s",' % app for app in apps)))
    (root / "shop" / "urls.py").write_text(
        "from django.urls import include, path\n\nurlpatterns = [\n"
        + "".join('    path("%s/", include("%s.urls")),\n' % (app, app) for app in apps) + "]\n")
    for app in apps:
        write_app(root, rng, app)
    return apps


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("dest")
    parser.add_argument("--modules", type=int, default=100)
    args = parser.parse_args()
    apps = generate(args.dest, args.modules)
    print("wrote %d apps into %s" % (len(apps), args.dest))


if __name__ == "__main__":
    main()
