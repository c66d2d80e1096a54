// Reading a token view by lines: the line range of tokens, other code on a
// statement's lines, and the place where pylint reads an end-of-line comment.
#include "token_lines.hpp"

#include <korvane/text.hpp>

namespace korvane::suggest {

namespace {

long type_of(py::handle token) {
    return as_long(token.attr(KORVANE_NAME("type")));
}

bool is_line_break(py::handle token) {
    long type = type_of(token);
    return type == types().nl || type == types().newline;
}

// Tokens that make up no statement of their own: layout, comments, and the semicolon
// that separates statements.
bool is_layout(py::handle token) {
    const TokenTypes& t = types();
    long type = type_of(token);
    if (type == t.nl || type == t.newline || type == t.comment || type == t.indent ||
        type == t.dedent || type == t.endmarker)
        return true;
    return type == t.op && is_text(token.attr(KORVANE_NAME("string")), ";");
}

// The line of a pair (line, column).
long line_of(py::handle position) {
    return as_long(position[py::int_(0)]);
}

// The line to which pylint assigns a comment that stands on line `line` just before
// token `index`.  pylint counts a comment on a line that follows one without a line
// break token (a backslash continuation, or the end of a string spanning lines) for
// the line before it; it looks back one line only.
long line_read_by_pylint(const py::list& tokens, long index, long line) {
    long j = index - 1;
    while (j >= 0 && start_line(tokens[j]) == line) --j;
    if (j < 0) return line;
    long previous = start_line(tokens[j]);
    for (; j >= 0 && start_line(tokens[j]) == previous; --j) {
        if (is_line_break(tokens[j])) return line;
    }
    return line - 1;
}

}  // namespace

const TokenTypes& types() {
    static const TokenTypes t = [] {
        auto number = [](const char* name) { return as_long(import_attr("token", name)); };
        return TokenTypes{number("NL"),     number("NEWLINE"), number("COMMENT"), number("INDENT"),
                          number("DEDENT"), number("ENDMARKER"), number("OP")};
    }();
    return t;
}

long as_long(py::handle value) {
    py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
    if (!index) throw py::error_already_set();
    long result = PyLong_AsLong(index.ptr());
    if (result == -1 && PyErr_Occurred()) throw py::error_already_set();
    return result;
}

long start_line(py::handle token) {
    return line_of(token.attr(KORVANE_NAME("start")));
}

long end_line(py::handle token) {
    return line_of(token.attr(KORVANE_NAME("end")));
}

py::list tokens_of(py::handle atok) {
    py::object tokens = atok.attr(KORVANE_NAME("tokens"));
    if (PyList_Check(tokens.ptr())) return py::reinterpret_borrow<py::list>(tokens);
    PyObject* copy = PySequence_List(tokens.ptr());
    if (!copy) throw py::error_already_set();
    return py::reinterpret_steal<py::list>(copy);
}

long index_of(py::handle token) {
    return as_long(token.attr(KORVANE_NAME("index")));
}

bool is_comment(py::handle token) {
    return type_of(token) == types().comment;
}

bool is_code_token(py::handle token) {
    const TokenTypes& t = types();
    long type = type_of(token);
    return type != t.nl && type != t.newline && type != t.comment && type != t.indent &&
           type != t.dedent && type != t.endmarker;
}

py::object line_start_offset(py::handle text, py::handle token) {
    py::object start = token.attr(KORVANE_NAME("startpos"));
    py::object previous_break = text.attr("rfind")("\n", 0, start);
    return py::int_(as_long(previous_break) + 1);
}

py::object line_end_offset(py::handle text, py::handle token) {
    py::object next_break = text.attr("find")("\n", token.attr(KORVANE_NAME("endpos")));
    if (as_long(next_break) < 0) return py::int_(PyObject_Length(text.ptr()));
    return next_break;
}

bool shares_lines_with_other_code(py::handle atok, py::handle node, long first, long last) {
    py::list tokens = tokens_of(atok);
    long count = static_cast<long>(tokens.size());
    for (long i = index_of(node.attr(KORVANE_NAME("first_token"))) - 1; i >= 0; --i) {
        if (end_line(tokens[i]) < first) break;
        if (!is_layout(tokens[i])) return true;
    }
    for (long i = index_of(node.attr(KORVANE_NAME("last_token"))) + 1; i < count; ++i) {
        if (start_line(tokens[i]) > last) break;
        if (!is_layout(tokens[i])) return true;
    }
    return false;
}

long pragma_break_index(const py::list& tokens, long from, long line, long last) {
    long count = static_cast<long>(tokens.size());
    for (long i = from; i < count; ++i) {
        py::object token = tokens[i];
        long token_line = start_line(token);
        if (token_line > last) return -1;
        if (token_line < line || !is_line_break(token)) continue;
        // The first line from `line` on that ends outside a string and a backslash
        // continuation: a comment fits there, and serves when pylint reads it for
        // `line`.  A later line would be read for a later line.
        return line_read_by_pylint(tokens, i, token_line) == line ? i : -1;
    }
    return -1;
}

}  // namespace korvane::suggest
