"""Command-line host: analyses one Django project and prints its findings.

    python -m korvane.host [--suggest | --diff | --fix] PROJECT_ROOT

Every selected Python module and HTML template of the project is analysed whole. Each
finding is printed as ``path:line:column: CODE symbol wording``, sorted by path, line
and column; the project's Django version record (C1000) follows as a line of its own,
with line and column 0, and a summary line ends the output. The exit status is 1 when
there are findings, 0 when there are none, 2 on a usage error or when the analysis
itself fails (one line on stderr says why), 130 when it is interrupted (Ctrl-C) and
143 when it is terminated (SIGTERM); a closed output pipe ends it quietly with 141.
Each warning of the analysis and fix roads is printed on stderr as one line.

With ``--suggest`` the findings are posted as review comments instead: each finding
becomes a finding comment whose body is its printed line, the suggestion road turns
them into review comments, and each is printed as a ``path:line`` (or
``path:first-last``) line followed by its body, which carries the suggested code, and
an empty line.

With ``--diff`` every available fix is applied to the project's modules in memory and
printed as a unified diff (``a/path`` against ``b/path``, names quoted as git quotes
them); nothing is written, and the exit status is 1 when there is a change. With
``--fix`` the fixes are written into the files in place, each path written is printed,
and a summary line ends the output; once the files are written, a failure to print
their list is one line on stderr and does not change the exit status.
"""
import argparse
import contextlib
import errno
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


# The characters git writes escaped in a quoted file name, with their escapes; any
# other control character is written as its octal code.
NAME_ESCAPES = {"\a": "\\a", "\b": "\\b", "\t": "\\t", "\n": "\\n", "\v": "\\v",
                "\f": "\\f", "\r": "\\r", '"': '\\"', "\\": "\\\\"}


def name_escape(char):
    """The escape of one character of a quoted file name, or None when it stands as it
    is.  A byte the file system name did not decode (a surrogate escape) is its octal
    code, as git writes the raw byte."""
    if char in NAME_ESCAPES:
        return NAME_ESCAPES[char]
    if char < " " or char == "\x7f":
        return "\\{:03o}".format(ord(char))
    if "\udc80" <= char <= "\udcff":
        return "\\{:03o}".format(ord(char) - 0xDC00)
    return None


def quoted_name(name):
    """A file name as git writes it in a patch: in double quotes with C escapes when it
    holds a quote, a backslash or a control character (a line feed or a tab among
    them), else as it is."""
    escapes = [name_escape(char) for char in name]
    if not any(escapes):
        return name
    return '"{}"'.format("".join(escape or char for escape, char in zip(escapes, name)))


def header_line(sign, name):
    """The ``---`` or ``+++`` line of a file: a name holding a blank ends at a tab, so
    that the patch tools read the blank as part of it."""
    label = quoted_name(name)
    return "{} {}{}\n".format(sign, label, "\t" if " " in label else "")


def hunk_range(start, stop):
    """One side of a hunk header, ``first,count`` as a unified diff counts lines."""
    count = stop - start
    if count == 1:
        return str(start + 1)
    return "{},{}".format(start + 1 if count else start, count)


def marked_lines(sign, lines):
    """The lines of one side of a hunk; a last line without a line feed is followed by
    the marker that says so."""
    return [sign + line if line.endswith("\n") else sign + line + "\n\\ No newline at end of file\n"
            for line in lines]


def file_diff(path, old, new, context=3):
    """The unified diff of one file's lines (``a/path`` against ``b/path``).  The hunks
    come from a matcher without the automatic junk heuristic, which on a long file
    takes its most frequent lines (blank ones, closing brackets) for junk and shows
    them as removed and added again."""
    import difflib

    matcher = difflib.SequenceMatcher(None, old, new, autojunk=False)
    patch = []
    for group in matcher.get_grouped_opcodes(context):
        if not patch:
            patch = [header_line("---", "a/" + path), header_line("+++", "b/" + path)]
        patch.append("@@ -{} +{} @@\n".format(hunk_range(group[0][1], group[-1][2]),
                                              hunk_range(group[0][3], group[-1][4])))
        for tag, i1, i2, j1, j2 in group:
            if tag == "equal":
                patch.extend(marked_lines(" ", old[i1:i2]))
            else:
                patch.extend(marked_lines("-", old[i1:i2]))
                patch.extend(marked_lines("+", new[j1:j2]))
    return patch


def unified_diff(root, produced):
    """The unified diff of each produced (text, path) against the file as it is."""
    patch = []
    for text, path in produced:
        old = read_source(os.path.join(root, path))
        patch.extend(file_diff(path, text_lines(old), text_lines(text)))
    return patch


def fix_project(root, write):
    """The fix road: the lines to print (a unified diff of every fix, or the list of
    the files written and a summary line) and the number of files changed.  Nothing is
    printed here, so a failure prints no part of a patch."""
    # Loaded before the project joins the module path, as the analysis modules are.
    from korvane.staticanalysis import transformer

    os.chdir(root)
    sys.path.insert(0, root)
    with contextlib.redirect_stdout(sys.stderr):
        if write:
            changed = transformer.trasform_files_in_place(root, None)
            lines = ["fixed {}\n".format(quoted_name(path)) for path in changed]
            lines.append("{} written\n".format(plural(len(changed), "file")))
        else:
            produced = list(transformer.transform_files(root, None))
            lines = unified_diff(root, produced)
            changed = [path for _, path in produced]
    return lines, len(changed)


# The exit statuses after an interrupt (Ctrl-C), a SIGTERM and a closed output pipe,
# as a shell gives them for a command that the signal ends: 128 and the signal's number.
INTERRUPTED = 130
TERMINATED = 143
CLOSED_PIPE = 141


class Terminated(BaseException):
    """A SIGTERM, raised where the host stands.  Like KeyboardInterrupt it is no
    ordinary error: no handler of ordinary errors takes it, and the analysis workers
    are stopped as on an interrupt."""


@contextlib.contextmanager
def sigterm_raises():
    """SIGTERM raises Terminated in the host for the duration; a process forked from
    the host (an analysis worker) still ends by the signal, as by default."""
    import signal  # once the project is off the module path

    host = os.getpid()

    def terminate(signum, frame):
        if os.getpid() != host:
            signal.signal(signum, signal.SIG_DFL)
            os.kill(os.getpid(), signum)
            return
        raise Terminated()

    previous = signal.signal(signal.SIGTERM, terminate)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, signal.SIG_DFL if previous is None else previous)


def one_line(text):
    """A text on one line: its line breaks made blanks."""
    return " ".join(str(text).splitlines())


@contextlib.contextmanager
def one_line_warnings():
    """Each warning and error that the roads log is printed on stderr for the
    duration, as one line: the message with its line breaks made blanks, without a
    traceback."""
    import logging  # once the project is off the module path

    class OneLine(logging.Handler):
        def emit(self, record):
            try:
                print(one_line(record.getMessage()), file=sys.stderr)
            except Exception:  # as every logging handler: a record that cannot be printed
                self.handleError(record)

    handler = OneLine(logging.WARNING)
    logging.getLogger().addHandler(handler)
    try:
        yield
    finally:
        logging.getLogger().removeHandler(handler)


def stopped_by(error):
    """The interrupt or termination that an error is or was caused by, or None: a
    native module whose loading is interrupted fails with ImportError, the interrupt
    its cause."""
    while error is not None:
        if isinstance(error, (KeyboardInterrupt, Terminated)):
            return error
        error = error.__cause__ or error.__context__
    return None


def failed(what, error):
    """The one line for a failed road, and its exit status."""
    stop = stopped_by(error)
    if isinstance(stop, Terminated):
        print("korvane.host: terminated", file=sys.stderr)
        return TERMINATED
    if stop is not None:
        print("korvane.host: interrupted", file=sys.stderr)
        return INTERRUPTED
    reason = " ".join(str(error).split())
    print("korvane.host: {} failed: {}: {}".format(what, type(error).__name__, reason),
          file=sys.stderr)
    return 2


def discard_output():
    """Points the standard output at the null device once printing to it failed: the
    interpreter flushes what is left as it exits, which would fail again."""
    try:
        fd = sys.stdout.fileno()
    except (AttributeError, OSError, ValueError):
        return
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, fd)
    os.close(null)


def output_failed(error, written=None):
    """The exit status after printing the output failed, and its line.  A closed pipe
    (``--diff | head``) ends the host quietly.  After ``--fix`` wrote its files
    (`written` of them), the fixing succeeded: the line says so and the status is 0."""
    if not isinstance(error, OSError):
        return failed("printing", error)
    discard_output()
    if error.errno == errno.EPIPE:
        return CLOSED_PIPE
    reason = "{}: {}".format(type(error).__name__, " ".join(str(error).split()))
    if written is None:
        print("korvane.host: printing failed: {}".format(reason), file=sys.stderr)
        return 2
    print("korvane.host: {} written, but not listed: {}".format(plural(written, "file"), reason),
          file=sys.stderr)
    return 0


def run(args, root):
    """The road the arguments ask for; answers the exit status."""
    if args.diff or args.fix:
        try:
            lines, changed = fix_project(root, args.fix)
        except (Exception, KeyboardInterrupt, Terminated) as error:  # one line, and a status
            return failed("fixing", error)
        try:
            sys.stdout.writelines(lines)
            sys.stdout.flush()
        except (OSError, KeyboardInterrupt, Terminated) as error:
            return output_failed(error, written=changed if args.fix else None)
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
    except (Exception, KeyboardInterrupt, Terminated) as error:  # one line, and a status
        return failed("analysis", error)
    try:
        count = report(records, files_checked, wordings, symbols, sys.stdout,
                       review_comments=review_comments)
        sys.stdout.flush()
    except (OSError, KeyboardInterrupt, Terminated) as error:
        return output_failed(error)
    return 1 if count else 0


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    # Links resolved, as file selection resolves the paths it finds under the root.
    root = os.path.realpath(args.project_root)
    sys.path[:] = without_project(sys.path, root)
    with sigterm_raises(), one_line_warnings():
        return run(args, root)


if __name__ == "__main__":
    sys.exit(main())
