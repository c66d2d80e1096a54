"""Command-line host: analyses one Django project and prints its findings.

    python -m korvane.host [--suggest | --diff | --fix] PROJECT_ROOT

Every selected Python module and HTML template of the project is analysed whole. Each
finding is printed as ``path:line:column: CODE symbol wording``, sorted by path, line
and column; the project's Django version record (C1000) follows as a line of its own,
with line and column 0, and a summary line ends the output. The exit status is 1 when
there are findings, 0 when there are none, 2 on a usage error or when the analysis
itself fails (one line on stderr says why) and 130 when it is interrupted.

With ``--suggest`` the findings are posted as review comments instead: each finding
becomes a finding comment whose body is its printed line, the suggestion road turns
them into review comments, and each is printed as a ``path:line`` (or
``path:first-last``) line followed by its body, which carries the suggested code, and
an empty line.

With ``--diff`` every available fix is applied to the project's modules in memory and
printed as a unified diff (``a/path`` against ``b/path``); nothing is written, and the
exit status is 1 when there is a change. With ``--fix`` the fixes are written into the
files in place, each path written is printed, and a summary line ends the output.
"""
import argparse
import contextlib
import os
import sys
from collections.abc import Mapping

# The change-set key that asks for the project's Django version record.
META_KEY = "META"


def word(wordings, code, context):
    """The wording of `code`, filled in from the finding's context."""
    template = getattr(wordings, code, None)
    if not isinstance(template, str):
        # No wording of our own: the linter's text, or the context's values.
        if isinstance(context, Mapping):
            return ", ".join("{}={}".format(k, v) for k, v in context.items())
        return "" if context is None else str(context)
    if isinstance(context, Mapping):
        try:
            return template % context
        except (KeyError, TypeError, ValueError):
            # A context that does not fit the wording: the wording as it stands.
            return template
    return template


def finding_line(record, wordings, symbols):
    """Sort key and printed line of one Python or template record."""
    code = record["message-id"]
    # Template records carry no symbol of their own.
    symbol = record.get("symbol") or symbols.get(code, "")
    text = word(wordings, code, record.get("message"))
    key = (record["path"], record["line"], record["column"], code)
    line = "{}:{}:{}: {} {} {}".format(*key[:3], code, symbol, text)
    return key, line.rstrip()


def meta_line(record, wordings):
    """Printed line of the project's Django version record."""
    code = record["message-id"]
    text = word(wordings, code, record["body"])
    return "{}:0:0: {} {} {}".format(record["path"], code, record["message_type"], text).rstrip()


def plural(count, noun):
    return "{} {}{}".format(count, noun, "" if count == 1 else "s")


def report(records, files_checked, wordings, symbols, out, review_comments=None):
    """Print the records and the summary line; answer the number of findings. Given
    review comments, they are printed in place of the finding lines.  Each module the
    analysis could not check gets a warning line on stderr, and the summary counts
    them."""
    findings = []
    project_lines = []
    for record in records:
        if record.get("message_type") == "meta":
            project_lines.append(meta_line(record, wordings))
        else:
            findings.append(finding_line(record, wordings, symbols))
    findings.sort(key=lambda item: item[0])
    if review_comments is None:
        for _, line in findings:
            print(line, file=out)
    else:
        for comment in review_comments:
            for line in comment_lines(comment):
                print(line, file=out)
    for line in project_lines:
        print(line, file=out)
    unanalysed = getattr(records, "unanalysed", ())
    for path, reason in unanalysed:
        print("korvane.host: not analysed: {}: {}".format(path, " ".join(str(reason).split())),
              file=sys.stderr)
    summary = "{}, {} checked".format(plural(len(findings), "finding"), plural(files_checked, "file"))
    if unanalysed:
        summary += ", {} not analysed".format(len(unanalysed))
    print(summary, file=out)
    return len(findings)


def finding_comments(records, wordings, symbols):
    """The finding comments of the Python and template records, in printed order; the
    body of each is its printed line."""
    comments = []
    for record in records:
        if record.get("message_type") == "meta":
            continue
        key, line = finding_line(record, wordings, symbols)
        comments.append((key, {
            "path": record["path"], "line": record["line"],
            "message-id": record["message-id"], "body": line,
        }))
    comments.sort(key=lambda item: item[0])
    return [comment for _, comment in comments]


def comment_lines(comment):
    """Printed lines of one review comment: where it stands, then its body."""
    where = str(comment["line"])
    if "start_line" in comment:
        where = "{}-{}".format(comment["start_line"], where)
    return ["{}:{}".format(comment["path"], where)] + comment["body"].split("\n") + [""]


def parse_args(argv):
    parser = argparse.ArgumentParser(
        prog="python -m korvane.host",
        description="Analyse a Django project and print its findings.",
    )
    parser.add_argument("project_root", metavar="PROJECT_ROOT", help="the project's root directory")
    road = parser.add_mutually_exclusive_group()
    road.add_argument(
        "--suggest", action="store_true",
        help="print the findings as review comments with suggested fixes",
    )
    road.add_argument(
        "--diff", action="store_true",
        help="print every available fix as a unified diff; write nothing",
    )
    road.add_argument(
        "--fix", action="store_true", help="write every available fix into the project's files",
    )
    args = parser.parse_args(argv)
    if not os.path.isdir(args.project_root):
        parser.error("not a directory: {}".format(args.project_root))
    return args


def without_project(path_entries, root):
    """The module path less the entries that name the project root.

    ``python -m`` puts the working directory first on the path; run from the project,
    that would let a project package named like a library module (``calendar/``) be
    imported, and so executed, in place of the library's own."""
    kept = []
    for entry in path_entries:
        if os.path.realpath(entry or os.curdir) != root:
            kept.append(entry)
    return kept


def load_system():
    """Import the analysis modules; the project is not on the module path yet."""
    from korvane.staticanalysis import checker, meta, wordings

    return checker, meta, wordings


def analyse(root):
    """The project's records and the number of files selected."""
    checker, meta, wordings = load_system()
    # The analysis reads the project from its root and imports its modules by name.
    os.chdir(root)
    sys.path.insert(0, root)
    files = meta.get_files_to_check_in_project(["."])
    change_set = dict(files)
    change_set[META_KEY] = None
    records = checker.get_messages(root, change_set)
    return records, len(files), wordings, checker.message_id_symbol_store


def load_suggest():
    """Import the suggestion road before the project joins the module path."""
    from korvane.staticanalysis import suggest

    return suggest


def suggest_fixes(suggest, root, records, wordings, symbols):
    """The review comments for the records' findings; run from the project root."""
    return suggest.suggest_fixes(finding_comments(records, wordings, symbols), root)


def read_source(path):
    """A module's text as the interpreter reads it: its coding cookie, else UTF-8."""
    import tokenize

    with tokenize.open(path) as file:
        return file.read()


def text_lines(text):
    """The lines of a text, each with its line feed: split at line feeds only, so that
    a form feed or a line separator inside a line stays in it."""
    lines = text.split("\n")
    return [line + "\n" for line in lines[:-1]] + ([lines[-1]] if lines[-1] else [])


def unified_diff(root, produced):
    """The unified diff of each produced (text, path) against the file as it is."""
    import difflib

    patch = []
    for text, path in produced:
        old = read_source(os.path.join(root, path))
        patch.extend(difflib.unified_diff(
            text_lines(old), text_lines(text), "a/" + path, "b/" + path))
    return patch


def fix_project(root, write, out):
    """The fix road: a unified diff of every fix, or the fixes written in place.
    Answers the number of files changed.  Nothing is printed until every fixed text
    has been produced, so a failure prints no part of a patch."""
    # Loaded before the project joins the module path, as the analysis modules are.
    from korvane.staticanalysis import transformer

    os.chdir(root)
    sys.path.insert(0, root)
    with contextlib.redirect_stdout(sys.stderr):
        if write:
            changed = transformer.trasform_files_in_place(root, None)
        else:
            produced = list(transformer.transform_files(root, None))
            patch = unified_diff(root, produced)
            changed = [path for _, path in produced]
    if write:
        for path in changed:
            print("fixed {}".format(path), file=out)
        print("{} written".format(plural(len(changed), "file")), file=out)
    else:
        out.writelines(patch)
    return len(changed)


# The exit status after an interrupt (Ctrl-C), as a shell gives it.
INTERRUPTED = 130


def caused_by_interrupt(error):
    """Whether an error is an interrupt, or an import failure one caused: a native
    module whose loading is interrupted fails with ImportError, the interrupt its
    cause."""
    while error is not None:
        if isinstance(error, KeyboardInterrupt):
            return True
        error = error.__cause__ or error.__context__
    return False


def failed(what, error):
    """The one line for a failed road, and its exit status."""
    if caused_by_interrupt(error):
        print("korvane.host: interrupted", file=sys.stderr)
        return INTERRUPTED
    reason = " ".join(str(error).split())
    print("korvane.host: {} failed: {}: {}".format(what, type(error).__name__, reason),
          file=sys.stderr)
    return 2


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    # Links resolved, as file selection resolves the paths it finds under the root.
    root = os.path.realpath(args.project_root)
    sys.path[:] = without_project(sys.path, root)
    if args.diff or args.fix:
        try:
            changed = fix_project(root, args.fix, sys.stdout)
        except (Exception, KeyboardInterrupt) as error:  # one line, and status 2 or 130
            return failed("fixing", error)
        return 1 if changed and args.diff else 0
    review_comments = None
    try:
        # stdout carries only the report: the progress display and whatever the
        # libraries print while loading and linting go to stderr.
        with contextlib.redirect_stdout(sys.stderr):
            suggest = load_suggest() if args.suggest else None
            records, files_checked, wordings, symbols = analyse(root)
            if suggest is not None:
                review_comments = suggest_fixes(suggest, root, records, wordings, symbols)
    except (Exception, KeyboardInterrupt) as error:  # one line, and status 2 or 130
        return failed("analysis", error)
    count = report(records, files_checked, wordings, symbols, sys.stdout,
                   review_comments=review_comments)
    return 1 if count else 0


if __name__ == "__main__":
    sys.exit(main())
