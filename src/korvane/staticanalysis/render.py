"""Stand-in for the host's own `render` module: turns findings into advice entries."""

from korvane.staticanalysis import helpers, wordings


def _wording(code, context):
    wording = getattr(wordings, code, None)
    if wording is None:
        return context if isinstance(context, str) else ""
    try:
        return wording % context if isinstance(context, dict) else wording
    except (KeyError, TypeError, ValueError):
        return wording


def render_message_centric_advice(messages, settings, settings_modpath, code_style, code_reader):
    """One advice entry per finding: where it is, its code, wording and advice link."""
    advice = []
    for message in messages:
        code = message.get("message-id")
        advice.append(
            {
                "path": message.get("path"),
                "line": message.get("line"),
                "message-id": code,
                "symbol": message.get("symbol"),
                "text": _wording(code, message.get("message")),
                "link": helpers.get_hyperlink(code),
            }
        )
    return advice
