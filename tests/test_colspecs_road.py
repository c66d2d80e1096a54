"""The model checks on the analysis road: registered by the lint driver, filtered by
the change set, with their context mappings as the records' messages."""
import os
from pathlib import Path

import pytest

from korvane.staticanalysis import checker

PROJECT = Path(__file__).parent / "fixtures" / "models"
CUSTOM_FIELDS = Path(__file__).parent / "fixtures" / "customfields"
MODEL_CODES = ("C2", "C3", "C5")


def test_model_findings_through_get_messages(monkeypatch):
    monkeypatch.chdir(PROJECT)
    every_line = list(range(1, 80))
    files = {
        "shop/models.py": every_line,
        "shop/admin.py": every_line,
        "shop/catalogue.py": [1, 4],
        "shop/migrations/0001_initial.py": every_line,
    }
    records = checker.get_messages(str(PROJECT), files, jobs=1)
    got = sorted(
        (r["path"], r["line"], r["message-id"], r["symbol"], r["message"])
        for r in records if r["message-id"].startswith(MODEL_CODES))
    assert got == [
        ("shop/catalogue.py", 1, "C3000", "tall-models", {"count": 10, "maximum": 10}),
        ("shop/catalogue.py", 1, "C3003", "model-common-prefix", {"count": 4, "prefix": "Book"}),
        ("shop/catalogue.py", 4, "C2001", "tall-model", {"count": 21}),
        ("shop/models.py", 6, "C2000", "nullable-string-field", {"name": "nickname"}),
        ("shop/models.py", 7, "C2003", "field-null-not-blank", {"name": "published"}),
        ("shop/models.py", 9, "C2002", "redundant-default-args",
         {"name": "active", "option": "null", "value": False}),
        ("shop/models.py", 10, "C2005", "missing-related-name", {"name": "mentor"}),
        ("shop/models.py", 12, "C2006", "huge-max-length", {"name": "title", "value": 1000}),
        ("shop/models.py", 14, "C2008", "deprecated-nullboolean-field", {"name": "verified"}),
        ("shop/models.py", 15, "C2002", "redundant-default-args",
         {"name": "code", "option": "unique", "value": False}),
        ("shop/models.py", 15, "C2011", "non-unique-primary", {"name": "code"}),
        ("shop/models.py", 16, "C2004", "brittle-unique-for",
         {"name": "issued", "option": "unique_for_year"}),
        ("shop/models.py", 21, "C3002", "model-method-order", {"before": "__str__", "after": "save"}),
        ("shop/models.py", 25, "C5000", "misplaced-admin-class", {"name": "AuthorAdmin"}),
    ]


def test_field_findings_follow_what_django_does_with_the_options(monkeypatch):
    # A unique and blank handle needs null=True; foreign keys are indexed unless they
    # say otherwise; no form shows a binary, non-editable or auto_now field; the base
    # field of an array is part of the array's declaration; a migration with a choices
    # class above its Migration class is still a migration.
    monkeypatch.chdir(PROJECT)
    files = {"accounts/models.py": None, "accounts/migrations/0001_initial.py": None}
    records = checker.get_messages(str(PROJECT), files, config={"max-colspecs": 4}, jobs=1)
    got = [(r["path"], r["line"], r["message-id"], r["message"]) for r in records]
    assert got == [
        ("accounts/models.py", 10, "C2000", {"name": "nickname"}),
        ("accounts/models.py", 19, "C2005", {"name": "customer"}),
        ("accounts/models.py", 20, "C2002", {"name": "courier", "option": "db_index", "value": True}),
        ("accounts/models.py", 28, "C2002",
         {"name": "reference", "option": "db_index", "value": False}),
        ("accounts/models.py", 30, "C2003", {"name": "shipped_at"}),
        ("accounts/models.py", 17, "C2001", {"count": 5}),
        ("accounts/models.py", 44, "C2003", {"name": "signed_copy"}),
        ("accounts/models.py", 41, "C2001", {"count": 5}),
        # once, for the array itself; its base field is neither reported nor counted
        ("accounts/models.py", 53, "C3002", {"before": "tags", "after": "Meta"}),
    ]


def test_model_options_are_set_through_the_configuration(monkeypatch):
    monkeypatch.chdir(PROJECT)
    config = {"max-colspecs": 30, "max-models": 11, "max-common-model-prefix": 5}
    records = checker.get_messages(str(PROJECT), {"shop/catalogue.py": [1, 4]}, config=config, jobs=1)
    assert [r for r in records if r["message-id"].startswith(MODEL_CODES)] == []


def crash_reports():
    return set(Path(os.environ["PYLINTHOME"]).glob("pylint-crash-*"))


def test_field_classes_with_odd_constructors_keep_the_module_findings(monkeypatch):
    # Field classes whose constructor is bound by assignment, aliased, a partialmethod,
    # a staticmethod or a property of a mixin, and a field made by a factory function.
    monkeypatch.chdir(CUSTOM_FIELDS)
    reports = crash_reports()
    files = {"catalog/models.py": None, "catalog/fields.py": None}
    records = checker.get_messages(str(CUSTOM_FIELDS), files, jobs=1)
    assert [r for r in records if r["type"] == "fatal"] == []
    got = [(r["line"], r["message-id"], r["message"]) for r in records
           if r["path"] == "catalog/models.py"]
    assert got == [
        (20, "C2003", {"name": "code"}),
        # the defaults of `__init__ = _code_init` are read through the assignment
        (21, "C2002", {"name": "sku", "option": "max_length", "value": 32}),
        (22, "C2002", {"name": "brand", "option": "blank", "value": False}),
        (23, "C2003", {"name": "price"}),
        (24, "C2003", {"name": "sale_price"}),
        (25, "C2003", {"name": "notes"}),
        (26, "C2003", {"name": "slug"}),
        (27, "C2006", {"name": "name", "value": 600}),
        (27, "C2000", {"name": "name"}),
        (28, "C2003", {"name": "released"}),
        (29, "C2002", {"name": "active", "option": "null", "value": False}),
        (30, "C2005", {"name": "supplier"}),
        # none for barcode: NullCharField reads `null` and `blank` with defaults of its own
    ]
    assert crash_reports() == reports


# Apps whose code relies on the NULL of string fields of other apps' models.
NULL_RELIANCE = Path(__file__).parent / "fixtures" / "nullreliance"
MODELS = ["accounts/models.py", "checkout/models.py", "projects/models.py"]


@pytest.mark.parametrize("jobs, change_set", [(1, "project"), (0, "project"), (1, "models"), (0, "models")])
def test_string_field_whose_null_another_app_relies_on_is_left(monkeypatch, jobs, change_set):
    monkeypatch.chdir(NULL_RELIANCE)
    monkeypatch.syspath_prepend(str(NULL_RELIANCE))
    paths = MODELS if change_set == "models" else sorted(
        str(p.relative_to(NULL_RELIANCE)) for p in NULL_RELIANCE.rglob("*.py"))
    records = checker.get_messages(str(NULL_RELIANCE), dict.fromkeys(paths), jobs=jobs)
    # the other apps store None in the token, the second factor, the tax code and the
    # shipping method, and look the checkout e-mails up as NULL: only the description
    # is reported
    assert [(r["path"], r["line"], r["message"]) for r in records if r["message-id"] == "C2000"] == [
        ("projects/models.py", 6, {"name": "description"})]


def test_a_file_gone_while_the_project_is_walked_leaves_the_index_to_the_selection(monkeypatch):
    # The first module met on the walk for modules outside the change set is deleted
    # between its listing and its stat: the file selection's own walk decides.
    import os

    real_scandir = os.scandir
    gone = []

    class Entry:
        def __init__(self, entry):
            self._entry = entry

        def __getattr__(self, name):
            return getattr(self._entry, name)

        def __fspath__(self):
            return self._entry.path

        def stat(self, **options):
            if not gone and self._entry.name.endswith(".py"):
                gone.append(self._entry.path)
                raise FileNotFoundError(2, "No such file or directory", self._entry.path)
            return self._entry.stat(**options)

    class Listing:
        def __init__(self, path):
            self._listing = real_scandir(path)

        def __iter__(self):
            return self

        def __next__(self):
            return Entry(next(self._listing))

        def close(self):
            self._listing.close()

        def __enter__(self):
            return self

        def __exit__(self, *exc):
            self.close()

    monkeypatch.setattr(os, "scandir", Listing)
    monkeypatch.chdir(NULL_RELIANCE)
    monkeypatch.syspath_prepend(str(NULL_RELIANCE))
    records = checker.get_messages(str(NULL_RELIANCE), dict.fromkeys(MODELS), jobs=1)
    assert gone
    assert [(r["path"], r["line"], r["message"]) for r in records if r["message-id"] == "C2000"] == [
        ("projects/models.py", 6, {"name": "description"})]
