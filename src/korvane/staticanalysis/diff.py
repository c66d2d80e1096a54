"""Stand-in for the host's own `diff` module: the fixed texts of a project's files.

`get_diff_plaintext` yields ``(new text, path relative to the project root)`` for each
selected Python module that has a fixable finding and whose text the transformer
changes.  The fixed text is formatted once more in the project's own code style, so the
file keeps its line length.  A file that cannot be read or parsed is skipped with a
log line; nothing here writes.
"""
import io
import logging
import os
import tokenize

logger = logging.getLogger(__name__)


def _read_source(path):
    # As the interpreter reads a module: its coding cookie or byte-order mark, else UTF-8.
    with open(path, "rb") as file:
        data = file.read()
    encoding, _ = tokenize.detect_encoding(io.BytesIO(data).readline)
    with io.TextIOWrapper(io.BytesIO(data), encoding=encoding) as text:
        return text.read()


def _selected_paths(project_root, whitelist):
    from korvane.staticanalysis import meta

    if whitelist is None:
        # The analysis's own file selection, modules only.
        root = os.path.realpath(project_root)
        selected = meta.get_files_to_check_in_project([root], project_root=root)
        return sorted(path for path in selected if path.endswith(".py"))
    return [path for path in whitelist if path.endswith(".py")]


def get_diff_plaintext(project_root, whitelist, settings_modpath, code_style):
    from korvane.staticanalysis import constants, suggest, transformer

    for path in _selected_paths(project_root, whitelist):
        try:
            source = _read_source(os.path.join(project_root, path))
            fixed, reasons = transformer.transform_code(source, path, settings_modpath)
        except (OSError, SyntaxError, UnicodeDecodeError, ValueError) as error:
            logger.warning("Skipped %s: %s", path, error)
            continue
        if not any(code in constants.TRANSFORMABLE_RULES for code in reasons):
            continue
        target = suggest.get_comma_character_target(source)
        fixed = suggest.format_code(fixed, "", code_style, target) + "\n"
        if fixed != source:
            yield fixed, path
