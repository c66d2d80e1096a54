"""Suggestions for many findings of one module: the module is read and parsed once.

    python bench/suggest.py [--findings N]

Writes a Django models module with N fields that allow NULL but not blank values
(one fixable finding each) into a temporary project, asks for a suggestion for every
finding, and prints one JSON object: the findings, the suggestions, how often the
module was read and parsed, and the seconds per finding.

With the suggestion driver (`suggest.suggest_fixes`) built, the findings go through it
as the host sends them.  Without it they go to the Python line suggestions with one
token view kept for the whole run, as the driver keeps it.
"""
import argparse
import json
import os
import sys
import tempfile
import time
from pathlib import Path

MODELS_PATH = "shelf/models.py"


def write_project(root, findings):
    fields = "".join(f"    field_{n} = models.IntegerField(null=True)\n" for n in range(findings))
    (root / "shelf").mkdir()
    (root / "shelf" / "__init__.py").write_text("")
    (root / MODELS_PATH).write_text(
        "from django.db import models\n\n\nclass Shelf(models.Model):\n" + fields
    )
    # the field declared on line n + 5 is finding n
    return [
        {"path": MODELS_PATH, "line": n + 5, "message-id": "C2003", "body": f"Field field_{n}."}
        for n in range(findings)
    ]


def counted(module, name, counts):
    """Replaces `module.name` by a wrapper that counts its calls."""
    real = getattr(module, name)

    def wrapper(*args, **kwargs):
        counts[name] += 1
        return real(*args, **kwargs)

    setattr(module, name, wrapper)


def through_driver(suggest, comments, root):
    return suggest.suggest_fixes(comments, str(root))


def through_line_suggestions(suggest, comments, root):
    from korvane.staticanalysis import helpers, meta

    code_style = meta.get_code_style(str(root))
    source = "".join(helpers.read_code_from_file(MODELS_PATH))
    atok = helpers.build_atok(source=source, modname=helpers.module_path_from_file(MODELS_PATH),
                              absolute_path=MODELS_PATH)
    results = []
    for comment in comments:
        results.extend(suggest.get_suggestions_for_python(
            atok=atok, line=comment["line"], message_ids={comment["message-id"]},
            code_style=code_style, settings_modpath=None))
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--findings", type=int, default=200)
    options = parser.parse_args()
    from korvane.staticanalysis import helpers, suggest

    with tempfile.TemporaryDirectory(prefix="korvane-suggest-bench-") as folder:
        root = Path(folder)
        comments = write_project(root, options.findings)
        os.chdir(root)
        sys.path.insert(0, str(root))
        counts = {"read_code_from_file": 0, "build_atok": 0}
        counted(helpers, "read_code_from_file", counts)
        counted(helpers, "build_atok", counts)
        road = through_driver if hasattr(suggest, "suggest_fixes") else through_line_suggestions
        start = time.perf_counter()
        results = road(suggest, comments, root)
        seconds = time.perf_counter() - start
    print(json.dumps({
        "road": road.__name__,
        "findings": len(comments),
        "suggestions": len(results),
        "reads": counts["read_code_from_file"],
        "parses": counts["build_atok"],
        "seconds_per_finding": seconds / len(comments),
    }))


if __name__ == "__main__":
    main()
