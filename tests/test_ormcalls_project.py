"""The QuerySet, URL and migration checks through the lint driver."""
import pathlib

from korvane.staticanalysis import checker

FIXTURES = pathlib.Path(__file__).parent / "fixtures" / "orm"


def test_findings_through_the_lint_driver(monkeypatch):
    monkeypatch.chdir(FIXTURES)
    monkeypatch.syspath_prepend(str(FIXTURES))
    files = {"library/views.py": None, "library/urls.py": None, "library/migrations/0001_initial.py": None}
    found = [
        (m["path"], m["line"], m["message-id"], m["symbol"], m["message"])
        for m in checker.get_messages(str(FIXTURES), files)
        if m["message-id"][:2] in ("C6", "C8", "C9")
    ]
    assert sorted(found) == sorted(
        [
            ("library/views.py", 7, "C9000", "queryset-length", {"foo": "bar"}),
            ("library/views.py", 8, "C9002", "count-instead-exists", {"queryset": "Book.objects.filter(title='a')"}),
            ("library/views.py", 10, "C9003", "truthy-instead-exists", {"queryset": "qs"}),
            (
                "library/views.py",
                12,
                "C9001",
                "indirect-foreign-key",
                {"me": "b", "related_name": "author", "pk_attribute": "pk"},
            ),
            ("library/views.py", 13, "C6002", "reverse-lazy-misuse", {"signature": "('home')"}),
            ("library/urls.py", 7, "C6001", "non-unique-url-name", {"name": "shelf"}),
            ("library/migrations/0001_initial.py", 7, "C8000", "migration-model-import", {"name": "Book"}),
            (
                "library/migrations/0001_initial.py",
                12,
                "C8001",
                "missing-reverse-migration",
                {"forwards_name": "forwards"},
            ),
        ]
    )
