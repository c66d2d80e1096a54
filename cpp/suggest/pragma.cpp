// The disable-pragma answer: the finding's statement as written, its lines kept
// whole, with a disable comment where pylint reads it for the finding's line.
#include <korvane/text.hpp>

#include "python_lines.hpp"
#include "token_lines.hpp"

namespace korvane::suggest {

namespace {

// What is written after the code: two blanks, as the formatter spaces an inline
// comment, then the pragma word that the lint driver reads as pylint's own.
const char* const kPragmaLead = "  # korvane: disable=";

// Words by which a comment already holds a pragma.  pylint reads one pragma per
// comment, the first, so one added after it would go unread.
constexpr const char* kPragmaWords[] = {"pylint:", "korvane:"};

// Codes that the checkers raise on a module as a whole (too many models, a prefix
// shared by its models): pylint reads an end-of-line pragma for the statement on its
// line only, never for the module, so no pragma is offered for them.
constexpr const char* kModuleCodes[] = {"C3000", "C3003"};

bool holds_pragma(py::handle comment) {
    py::object text = comment.attr(KORVANE_NAME("string"));
    return contains_any(text, kPragmaWords);
}

// The symbols of the group's codes other than the pragma request, in the order of
// their codes, joined with ", ".
py::str disabled_symbols(py::handle message_ids, py::handle symbols) {
    py::list codes;
    for (py::handle code : message_ids) {
        py::object skip = state().constants.attr("SKIP_LINE_ID");
        int differs = PyObject_RichCompareBool(code.ptr(), skip.ptr(), Py_NE);
        if (differs < 0) throw py::error_already_set();
        if (differs) codes.append(code);
    }
    codes.attr("sort")();
    py::list names;
    for (py::handle code : codes) names.append(symbols[code]);
    return korvane::join(", ", names);
}

// `text[from:to]`.
py::str slice_text(py::handle text, py::handle from, py::handle to) {
    py::object range = py::reinterpret_steal<py::object>(PySlice_New(from.ptr(), to.ptr(), nullptr));
    if (!range) throw py::error_already_set();
    PyObject* part = PyObject_GetItem(text.ptr(), range.ptr());
    if (!part) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(part);
}

}  // namespace

// The last token of the lines a pragma item replaces: the statement's own, or, for a
// finding on the header of a statement with a body (`class Meta:`, `def __str__`), the
// header's colon; its body stays out of the item.
py::object last_token_of_lines(const py::list& tokens, py::handle node, long line) {
    py::object last_token = node.attr(KORVANE_NAME("last_token"));
    py::object body = getattr_or_null(node, KORVANE_NAME("body"));
    if (!body || !PyList_Check(body.ptr()) || PyList_GET_SIZE(body.ptr()) == 0) return last_token;
    py::handle first_child(PyList_GET_ITEM(body.ptr(), 0));
    py::object child_first = getattr_or_null(first_child, KORVANE_NAME("first_token"));
    if (!child_first) return last_token;
    long k = index_of(child_first) - 1;
    while (k >= 0 && !is_code_token(tokens[static_cast<size_t>(k)])) --k;
    if (k < 0) return last_token;
    py::object colon = tokens[static_cast<size_t>(k)];
    // a body on the header's own line, or a finding in the body: the whole statement
    if (end_line(colon) == start_line(child_first) || line > end_line(colon)) return last_token;
    return colon;
}

py::list pragma_suggestions(py::handle atok, py::handle node, py::handle line,
                            py::handle message_ids, py::handle symbols) {
    py::str disable = disabled_symbols(message_ids, symbols);
    // A pragma that names nothing disables nothing: no answer rather than an empty one.
    if (!korvane::truthy(disable) || contains_any(message_ids, kModuleCodes)) return py::list();
    py::list tokens = tokens_of(atok);
    py::object first_token = node.attr(KORVANE_NAME("first_token"));
    py::object last_token = last_token_of_lines(tokens, node, as_long(line));
    long last = end_line(last_token);
    long at = pragma_break_index(tokens, index_of(first_token), as_long(line), last);
    if (at < 0) return py::list();
    // The statement's first token comes before the line break, so `at` is at least 1.
    py::object before = tokens[at - 1];
    if (is_comment(before) && holds_pragma(before)) return py::list();

    // The statement's whole lines, other code and comments on them included, with the
    // pragma after the last token of its line (after a comment that stands there).
    py::object text = atok.attr(KORVANE_NAME("text"));
    py::str head = slice_text(text, line_start_offset(text, first_token),
                              before.attr(KORVANE_NAME("endpos")));
    py::str tail = slice_text(text, tokens[at].attr(KORVANE_NAME("startpos")),
                              line_end_offset(text, last_token));
    py::list item;
    item.append(start_line(first_token));
    item.append(last);
    item.append(korvane::concat(korvane::concat(head, py::str(kPragmaLead)),
                                korvane::concat(disable, tail)));
    py::list result;
    result.append(item);
    return result;
}

}  // namespace korvane::suggest
