"""Stand-in for the host's own `diff` module: the fixed texts of a project's files.

`get_diff_plaintext` runs the analysis once over the selected modules, as the host's
analysis does (same road, same job count), and hands it the transformer's fixer: each
module with a fixable finding is fixed where the analysis checked it, limited to the
nodes of its findings.  It returns ``(new text, path relative to the project root)``
for each module whose fixed text was offered, in path order, and the digest of the
bytes each was made from.  A module that cannot be
analysed, read, parsed or fixed, or whose fixed text does not hold up, is skipped with
one warning naming it and the reason; a fixable finding that no fix changed is named
in a warning too.  Nothing here writes.
"""
import logging
import os

logger = logging.getLogger(__name__)


class _OneLine(logging.Filter):
    """Makes each warning one line: a reason may quote a parse error or a source line,
    whose line breaks become blanks."""

    def filter(self, record):
        record.msg = " ".join(record.getMessage().splitlines())
        record.args = ()
        return True


logger.addFilter(_OneLine())


class Produced(list):
    """The (new text, path) pairs, and in `read_digests` the sha256 of the bytes each
    fixed text was made from, for the writer to check each file against."""

    def __init__(self, pairs=(), read_digests=None):
        super().__init__(pairs)
        self.read_digests = dict(read_digests or {})


def _selected_paths(project_root, whitelist):
    from korvane.staticanalysis import meta

    if whitelist is None:
        # The analysis's own file selection, modules only.
        root = os.path.realpath(project_root)
        selected = meta.get_files_to_check_in_project([root], project_root=root)
        return sorted(path for path in selected if path.endswith(".py"))
    return [path for path in whitelist if path.endswith(".py")]


def _unreached(records, outcomes, codes):
    """``path:line: CODE`` of each fixable finding of the analysis that no outcome
    accounts for: its module came back from the fix pass with no answer, or unchanged
    without naming it."""
    answers = {outcome[0]: outcome for outcome in outcomes}
    unreached = []
    for record in records:
        if record.get("message-id") not in codes:
            continue
        note = "{}:{}: {}".format(record["path"], record["line"], record["message-id"])
        answer = answers.get(record["path"])
        if answer is None or (answer[1] == "unchanged"
                              and not any(str(n).startswith(note) for n in answer[3])):
            unreached.append(note)
    return unreached


def get_diff_plaintext(project_root, whitelist, settings_modpath, code_style):
    from korvane.staticanalysis import checker, transformer

    root = os.path.realpath(project_root)
    files = {path: None for path in _selected_paths(root, whitelist)}
    fixer = transformer.ProjectFixer(settings_modpath, code_style)
    records = checker.get_messages(root, files, fixer=fixer)
    produced = Produced()
    for path, kind, payload, notes, digest in sorted(fixer.outcomes, key=lambda outcome: outcome[0]):
        for note in notes:
            logger.warning("Not fixed: %s", note)
        if kind == "skipped":
            logger.warning("Skipped %s: %s", path, payload)
        elif kind == "fixed":
            produced.append((payload, path))
            produced.read_digests[path] = digest
    for note in _unreached(records, fixer.outcomes, fixer.codes):
        logger.warning("Not fixed: %s: the fix pass did not reach it", note)
    return produced
