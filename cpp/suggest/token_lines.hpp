// Reading a token view by lines, for suggestions that replace whole lines: where a
// statement's lines begin and end in the text, whether other code shares them, and
// where pylint reads a comment written at the end of a line.
#pragma once

#include "suggest.hpp"

namespace korvane::suggest {

// A Python integer as a C++ one; a value that is not an integer raises TypeError.
long as_long(py::handle value);

// The token type numbers that scans of a token view tell apart, from the
// interpreter's token module, read once.
struct TokenTypes {
    long nl;       // a line break that ends no statement (blank line, inside brackets)
    long newline;  // the line break that ends a statement
    long comment;
    long indent;
    long dedent;
    long endmarker;
    long op;
};
const TokenTypes& types();

// The line (from 1) on which a token starts, and the one on which it ends.
long start_line(py::handle token);
long end_line(py::handle token);

// The token view's tokens as a list (the list itself when they are one).
py::list tokens_of(py::handle atok);

// The position in the token list of a token of the view.
long index_of(py::handle token);

// Offset in `text` of the start of the line on which `token` starts, and of the end
// (before its line break) of the line on which `token` ends.
py::object line_start_offset(py::handle text, py::handle token);
py::object line_end_offset(py::handle text, py::handle token);

// Whether code that is no part of `node` stands on lines first..last: another
// statement, or the header of an enclosing one, that a replacement of those whole
// lines would lose.  Comments, line breaks, indentation and semicolons do not count.
bool shares_lines_with_other_code(py::handle atok, py::handle node, long first, long last);

// Where a comment for line `line` can be written so that pylint reads it for that
// line: the index of the line-break token before which it goes, or -1 where no such
// place exists within lines line..last.  The search starts at token `from`.
long pragma_break_index(const py::list& tokens, long from, long line, long last);

// Whether a token is a comment.
bool is_comment(py::handle token);

// Whether a token is code: no comment, line break, indentation or end marker.
bool is_code_token(py::handle token);

}  // namespace korvane::suggest
