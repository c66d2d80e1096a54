// Pragma comments back on the first line of their statement after black.
//
// When black splits a statement that ends in a disable or enable pragma, the comment
// follows the closing bracket onto the statement's last line.  pylint reads an
// end-of-line pragma for the line it stands on, so the finding reported on the
// statement's first line would no longer be silenced.  Where that first line ends
// with an opening bracket, the comment goes back there, where black keeps it when it
// formats the text again.
#include "suggest.hpp"
#include "token_lines.hpp"

#include <korvane/text.hpp>

#include <vector>

namespace korvane::suggest {

namespace {

// A comment holding a pragma as the linter reads it ("korvane:" is read as
// "pylint:").  "disable-next" names the line after the comment, so moving it would
// change what it silences: it stays where it is.
constexpr const char* kPragmaPattern =
    R"(\b(?:pylint|korvane):\s*(?:disable|enable)\b(?!-next))";

// The brackets after which black breaks a statement and keeps a comment on that line.
constexpr const char* kOpeningBrackets[] = {"(", "[", "{"};

// What black writes between code and an end-of-line comment.
constexpr const char* kCommentGap = "  ";

// The blanks that may stand between code and a comment.
constexpr const char* kBlanks = " \t";

// One pragma to move: from the end of line `from_row` (columns `column`..`end`) to
// the end of line `to_row`, after column `after`.  Rows count from 1.
struct PragmaMove {
    size_t to_row;
    py::object after;
    size_t from_row;
    py::object column;
    py::object end;
    py::object comment;
};

long type_of(py::handle token) { return py::cast<long>(token.attr(KORVANE_NAME("type"))); }

bool is_opening_bracket(py::handle token) {
    if (!token || type_of(token) != types().op) return false;
    py::object text = token.attr(KORVANE_NAME("string"));
    for (const char* bracket : kOpeningBrackets) {
        if (equals(text, py::str(bracket))) return true;
    }
    return false;
}

bool holds_pragma(py::handle comment) {
    static py::object& pattern = keep(py::module_::import("re").attr("compile")(kPragmaPattern));
    return !pattern.attr("search")(comment.attr(KORVANE_NAME("string"))).is_none();
}

size_t row_of(py::handle position) { return py::cast<size_t>(position[py::int_(0)]); }

// Tokens that neither start a statement nor stand on its lines as code.
bool is_layout(long type) {
    const TokenTypes& t = types();
    return type == t.nl || type == t.indent || type == t.dedent || type == t.endmarker;
}

bool ends_statement(py::handle token) {
    long type = type_of(token);
    return type == types().newline ||
           (type == types().op && equals(token.attr(KORVANE_NAME("string")), py::str(";")));
}

// The pragmas that end a statement spanning several lines whose first line ends with
// an opening bracket.  A ";" ends a statement as a new line does.
std::vector<PragmaMove> pragma_moves(py::list tokens) {
    std::vector<PragmaMove> moves;
    size_t first_row = 0;  // 0: between statements
    py::object first_row_last;
    for (size_t i = 0; i < tokens.size(); ++i) {
        py::object token = tokens[i];
        if (ends_statement(token)) {
            first_row = 0;
            continue;
        }
        long type = type_of(token);
        bool comment = type == types().comment;
        if (is_layout(type) || (comment && first_row == 0)) continue;
        size_t row = row_of(token.attr(KORVANE_NAME("start")));
        if (first_row == 0) first_row = row;
        if (row == first_row) {
            first_row_last = token;
            continue;
        }
        bool last_on_statement = i + 1 < tokens.size() &&
                                 type_of(tokens[i + 1]) == types().newline;
        if (comment && last_on_statement && holds_pragma(token) &&
            is_opening_bracket(first_row_last)) {
            moves.push_back({first_row, first_row_last.attr(KORVANE_NAME("end"))[py::int_(1)],
                             row, token.attr(KORVANE_NAME("start"))[py::int_(1)],
                             token.attr(KORVANE_NAME("end"))[py::int_(1)],
                             token.attr(KORVANE_NAME("string"))});
        }
    }
    return moves;
}

// `text[from:to]`; a null bound stands for the end.
py::object cut(py::handle text, py::handle from, py::handle to) {
    py::object range = py::reinterpret_steal<py::object>(
        PySlice_New(from ? from.ptr() : nullptr, to ? to.ptr() : nullptr, nullptr));
    if (!range) throw py::error_already_set();
    PyObject* part = PyObject_GetItem(text.ptr(), range.ptr());
    if (!part) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(part);
}

// The tokens of `text`, or a null object when it does not tokenize.
py::object tokens_or_null(py::handle text) {
    static py::object& generate = keep(py::module_::import("tokenize").attr("generate_tokens"));
    static py::object& string_io = keep(py::module_::import("io").attr("StringIO"));
    try {
        return py::list(generate(string_io(text).attr("readline")));
    } catch (py::error_already_set& e) {
        if (!e.matches(KORVANE_IMPORTED("tokenize", "TokenError")) &&
            !e.matches(PyExc_SyntaxError)) {
            throw;
        }
        return py::object();
    }
}

}  // namespace

py::object pragmas_to_first_lines(py::object text) {
    py::object tokens = tokens_or_null(text);
    if (!tokens) return text;
    std::vector<PragmaMove> moves = pragma_moves(tokens);
    if (moves.empty()) return text;
    py::str line_feed("\n");
    py::list lines = text.attr("split")(line_feed);
    for (const PragmaMove& move : moves) {
        // Whatever follows the comment on its line (a carriage return) stays there.
        py::object to = lines[move.to_row - 1];
        lines[move.to_row - 1] = concat(concat(concat(cut(to, py::object(), move.after),
                                                      py::str(kCommentGap)),
                                               move.comment),
                                        cut(to, move.after, py::object()));
        py::object from = lines[move.from_row - 1];
        py::object code = cut(from, py::object(), move.column).attr("rstrip")(kBlanks);
        lines[move.from_row - 1] = concat(code, cut(from, move.end, py::object()));
    }
    return line_feed.attr("join")(lines);
}

}  // namespace korvane::suggest
