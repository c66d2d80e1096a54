// Fixes turned back into source text by edits on the original text: what the parts of
// the edit engine share.
//
// The fixes edit a token view's tree in place.  Before they run, the tree is recorded
// (tree_record.cpp): each node's children and plain values.  Afterwards the tree is
// compared with that record, and only the smallest nodes whose content changed become
// edits of the original text (source_edits.cpp): a renamed name, a replaced
// expression, an inserted or removed argument, list element or statement, an edited
// import list.  Each edit's text is the new node rendered with the original text of
// every part it kept (kept_render.cpp).  Every byte outside the edits stays as it was;
// the statements that an edit touched may then be formatted (edited_text.cpp).
#pragma once

#include "suggest.hpp"

#include <vector>

namespace korvane::suggest {

// One edit of the original text: the characters start..end (offsets in `atok.text`)
// become `text`; an insertion when start == end.  `region` is the stretch of whole
// lines that the formatter may format afterwards, in the same offsets: the lines of
// the statement the edit touched, or, for an inserted statement, the inserted text
// itself (`inserted_region`).  A region with region_start < 0 is none.
struct Edit {
    Py_ssize_t start = 0;
    Py_ssize_t end = 0;
    py::object text;
    Py_ssize_t region_start = -1;
    Py_ssize_t region_end = -1;
    bool inserted_region = false;
    // A compound statement's header: formatted with a stand-in body.
    bool header_region = false;
    // The width of what follows the region on its last line (a comma and a comment
    // after a call that stands on lines of its own), which the line holds too.
    Py_ssize_t region_trailer = 0;
    int order = 0;  // generation order, for insertions at one place
    // The edit inserts or removes an item of a list (an argument, a keyword, an
    // element, an import name) or a statement: its region gets a new layout.  Any other
    // edit keeps the layout of its lines unless it makes one too long.
    bool restructures = false;
    // The edit renders a node whole: edits inside its range are part of it.
    bool covers = false;
    // The edit lies inside a string literal (an f-string's field): the literals of its
    // text keep their quotes, which the literal around them chose.
    bool inside_string = false;
};

// The record of a tree before the fixes ran: node -> (its child fields as recorded,
// then its plain fields), a dict kept on the token view.
py::dict take_record(py::handle atok);
// The token view's record; raises ValueError when none was taken.
py::dict record_of(py::handle atok);

// Puts the subtree of `node`, a node of the recorded tree, back as recorded: its
// fields, and the parent of each node it holds.
void restore_recorded(const py::dict& record, py::handle node);

// Node -> whether its whole subtree is as recorded, answered once per node.
class Unchanged {
  public:
    explicit Unchanged(py::dict record) : record_(std::move(record)) {}
    bool operator()(py::handle node);
    bool is_original(py::handle node) const;
    const py::dict& record() const { return record_; }
    // Drops every answer, after the tree was put back in part.
    void forget() { memo_ = py::dict(); }

  private:
    bool same_as_recorded(py::handle node, std::vector<py::object>* children);
    py::dict record_;
    py::dict memo_;
};

// The names of a node's child fields and plain fields, from its class.
struct FieldNames {
    std::vector<py::str> children;
    std::vector<py::str> plain;
};
const FieldNames& field_names(py::handle node);

// Whether a value recorded for a child field is a sequence of children.
inline bool is_recorded_sequence(py::handle value) { return PyTuple_Check(value.ptr()); }

// Renders a node that the fixes changed or made: the tree library's rendering, with the
// original source text of every expression kept unchanged within it.
py::object render_kept(py::handle atok, Unchanged& unchanged, py::handle node);

// Whether a node's text goes on to a new line outside any bracket of its own, so that
// written alone it would not be one statement.
bool breaks_line_outside_brackets(py::handle atok, py::handle node);

// The edits that turn the original text under `root` (a node of the recorded tree)
// into the text of the tree as the fixes left it.  Sorted by position.  A statement
// whose fix cannot be written in the text (a new expression that its f-string cannot
// hold) is put back as recorded and keeps its text; (statement, reason) is appended
// to the token view's list `unwritten_fixes`.  Under a `root` that is no module, that is a
// ValueError with the reason instead.  A statement that cannot be added where a fix
// put it (into a body on its header's line) is a ValueError.
std::vector<Edit> tree_edits(py::handle atok, Unchanged& unchanged, py::handle root);

// A stretch of whole lines of an edited text to format: start..end (end before the
// last line's line feed); `header` for a compound statement's header lines.
struct Region {
    Py_ssize_t start;
    Py_ssize_t end;
    bool header;
    Py_ssize_t trailer;  // the width of what follows `end` on its line
    bool restructures = false;  // an edit in it inserts or removes an item or statement
    // The region's stretch of the original text (an inserted one: its place there).
    Py_ssize_t original_start = 0;
    Py_ssize_t original_end = 0;
};

// `text` with `edits` applied (sorted, not overlapping), and each edit's region mapped
// to the new text.
py::str apply_edits(py::handle text, std::vector<Edit>& edits, std::vector<Region>* regions);

// Where an offset of the original text lands in the edited one.  An end offset moves
// with the edits that start before it and with text inserted right at it on its line,
// a start offset with those that end at or before it.
Py_ssize_t mapped_offset(const std::vector<Edit>& edits, Py_ssize_t pos, bool is_end);

// `text[from:to]` of a Python text, by character offsets.
inline py::str text_slice(py::handle text, Py_ssize_t from, Py_ssize_t to) {
    PyObject* part = PyUnicode_Substring(text.ptr(), from, to);
    if (!part) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(part);
}

// The blanks that may stand at the start of a line or between tokens.
inline bool is_blank(Py_UCS4 c) { return c == ' ' || c == '\t' || c == '\f'; }

// Offsets of line starts and ends in a text: the start of the line holding `pos`, the
// end (before its line feed) of the line holding `pos`.
Py_ssize_t line_start(py::handle text, Py_ssize_t pos);
Py_ssize_t line_end(py::handle text, Py_ssize_t pos);

// The text's lines (from 1) that continue a string literal spanning lines, found by
// tokenizing it; none when it does not tokenize.  Index i tells line i.
std::vector<bool> lines_inside_strings(py::handle text, size_t line_count);

// One statement's whole lines (`code`, starting with its indentation) formatted in a
// code style where they stand: dedented, formatted at the style's line length less the
// indentation, and indented again.  The formatter's errors propagate.
py::object format_statement(py::handle code, py::handle code_style, py::handle target,
                            Py_ssize_t trailer = 0);

// A statement's lines (`code`, starting with `indentation`) without that indentation;
// a line in brackets that does not start with it loses whatever blanks it starts with.
// The lines that continue a string literal stay as they are.
py::str dedented(py::handle code, py::handle indentation);

// `code` indented with `indentation` on every line that holds a non-blank character,
// except the lines that continue a string literal.
py::object indent_code(py::object code, py::object indentation);

}  // namespace korvane::suggest
