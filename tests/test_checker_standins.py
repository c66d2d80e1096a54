import pytest

from korvane.staticanalysis import checker, helpers, render, wordings
from korvane.staticanalysis.checkers import settings

CONTEXTS = {
    "C1000": {"specs": ">=3.2", "minor": "3.2", "matching_versions": []},
    "C2001": {"count": 30}, "C2002": {"name": "a", "option": "null", "value": False},
    "C2004": {"name": "a", "option": "unique_for_date"}, "C2006": {"name": "a", "value": 9000},
    "C3000": {"count": 20, "maximum": 15}, "C3002": {"before": "Meta", "after": "save"},
    "C3003": {"count": 3, "prefix": "Shop"}, "C6002": {"signature": "reverse('home')"},
    "C7001": {"path": "/static/a.css"}, "C8001": {"forwards_name": "forwards"},
    "C9000": {"foo": "bar"}, "C9001": {"me": "o", "related_name": "user", "pk_attribute": "pk"},
    "C9002": {"queryset": "qs"}, "C9003": {"queryset": "qs"},
}


def test_every_symbol_code_has_a_wording():
    codes = set(checker.get_all_message_codes())
    assert set(checker.message_id_symbol_store) <= codes
    assert {"E0001", "C1000"} <= codes


@pytest.mark.parametrize("code", checker.get_all_message_codes())
def test_wordings_format_with_their_context(code):
    context = CONTEXTS.get(code, {"name": "field"})
    text = getattr(wordings, code) % context
    assert text and "%(" not in text


def test_render_entries():
    messages = [
        {"message-id": "C2000", "message": {"name": "title"}, "path": "a.py", "line": 3,
         "symbol": "nullable-string-field"},
        {"message-id": "W0611", "message": "Unused import os", "path": "a.py", "line": 1,
         "symbol": "unused-import"},
    ]
    advice = render.render_message_centric_advice(
        messages=messages, settings={}, settings_modpath="p.settings", code_style={},
        code_reader=lambda path: "")
    assert [a["message-id"] for a in advice] == ["C2000", "W0611"]
    assert "title" in advice[0]["text"] and advice[1]["text"] == "Unused import os"
    assert advice[0]["link"] == helpers.get_hyperlink("C2000")


def test_settings_checker_declares_its_codes():
    codes = ["C4005"] + [f"C40{n:02d}" for n in range(7, 18)]
    assert [getattr(settings.Codes, c) for c in codes] == codes
    assert list(settings.Checker.msgs) == codes
    for template, symbol, description in settings.Checker.msgs.values():
        assert isinstance(template, helpers.context_string)
        assert symbol and description
    assert checker.python_checker_classes[1] is settings.Checker
