// Edits of bodies of statements.  A removed statement goes with its whole lines,
// keeping their comments, or with the semicolon that parts it from a statement on its
// line.  An added statement goes on lines of its own at the body's indentation; where
// that cannot be (the body stands on its header's line, or the statement before it
// shares its line with the next one) the fix is refused with a ValueError.
#include "edit_finder.hpp"

namespace korvane::suggest {

namespace {

[[noreturn]] void refuse(long line, const char* why) {
    py::str message = py::str("line {}: a fixed statement cannot be added {}").format(line, why);
    PyErr_SetObject(PyExc_ValueError, message.ptr());
    throw py::error_already_set();
}

constexpr const char* kOnHeaderLine = "to a body that stands on its header's line";
constexpr const char* kSharedLine = "between statements that share a line";

}  // namespace

void EditFinder::body_items(const Frame& frame, const std::vector<py::object>& old_items,
                            const std::vector<py::object>& new_items) {
    for (const py::object& item : old_items)
        if (!has_tokens(item)) throw CannotEdit();
    // a body may not be empty: an `else:` or a block would be left without one
    if (!is_a(frame.node, "Module") && (new_items.empty() || old_items.empty())) throw CannotEdit();
    Alignment alignment = align(old_items, new_items, &identical_nodes);
    for (const auto& kept : alignment.kept) visit_kept(frame, old_items[kept.first]);
    for (const Gap& gap : alignment.gaps) {
        bool lines_gone = false;  // the last statement removed went with its whole lines
        for (size_t o : gap.removed) lines_gone = remove_statement(old_items[o]);
        if (gap.added.empty()) continue;
        std::vector<py::object> added;
        for (size_t j : gap.added) added.push_back(new_items[j]);
        long anchor = gap.removed.empty() ? gap.before : static_cast<long>(gap.removed.back());
        if (anchor >= 0) {
            insert_statements_after(old_items[static_cast<size_t>(anchor)], added,
                                    block_indentation(old_items), lines_gone);
        } else if (gap.after >= 0) {
            insert_statements_before(old_items[static_cast<size_t>(gap.after)], added);
        } else {
            append_to_text(added);
        }
    }
}

// Removes a statement: its whole lines, keeping their comments, or only its own text
// with the semicolon that parts it from a statement sharing its line.  True when its
// whole lines went.
bool EditFinder::remove_statement(py::handle statement) {
    Span s = span_of(statement);
    long p = source_.prev_code(s.first);
    long n = source_.next_code(s.last);
    if (source_.op_is(p, ";") && source_.line(p) == source_.line(s.first)) {
        remove_inline(source_.startpos(p), source_.endpos(s.last), py::handle());
        return false;
    }
    if (source_.op_is(n, ";")) {
        long after = source_.next_code(n);
        Py_ssize_t to = after < source_.count() && source_.line(after) == source_.line(n)
                            ? source_.startpos(after)
                            : source_.endpos(n);
        remove_inline(source_.startpos(s.first), to, py::handle());
        return false;
    }
    remove_lines(source_.line_start_at(source_.startpos(s.first)),
                 source_.past_line(source_.endpos(s.last)), source_.indentation_of(s.first),
                 py::handle());
    return true;
}

// Rendered statements as whole lines at `indentation`, each ending in a line feed.
py::str EditFinder::statement_lines(const std::vector<py::object>& statements, py::handle indentation) {
    py::list parts;
    for (const py::object& statement : statements) {
        py::object text = render(statement);
        parts.append(concat(indent_code(text, py::reinterpret_borrow<py::object>(indentation)),
                            py::str("\n")));
    }
    return join("", parts);
}

// The indentation of a body's statements: that of its first one, which starts a line
// of its own.
py::str EditFinder::block_indentation(const std::vector<py::object>& body) {
    long first = source_.first_of(body.front());
    if (!source_.starts_line(first)) refuse(source_.line(first), kOnHeaderLine);
    return source_.indentation_of(first);
}

// Refuses to add statements after token `last` when another statement follows it on
// its line: they would come after that one.
void EditFinder::refuse_shared_line(long last) {
    long n = source_.next_code(last);
    if (!source_.op_is(n, ";")) return;
    long after = source_.next_code(n);
    if (after < source_.count() && source_.line(after) == source_.last_line(n) &&
        is_code_token(source_.token(after)))
        refuse(source_.line(last), kSharedLine);
}

// Statements added after `statement`: on the lines after its last line (`lines_gone`:
// the statement itself was removed with its whole lines).
void EditFinder::insert_statements_after(py::handle statement, const std::vector<py::object>& added,
                                         py::handle indentation, bool lines_gone) {
    Span s = span_of(statement);
    refuse_shared_line(s.last);
    py::str lines = statement_lines(added, indentation);
    Py_ssize_t end = source_.line_end_at(source_.endpos(s.last));
    if (end < source_.length()) return add_inserted(end + 1, lines);
    // The text ends without a line feed on this line, and keeps ending without one.
    // A statement removed with its whole lines leaves the line feed before them (or
    // no text), so the added lines need none of their own in front.
    if (!lines_gone) add(end, end, py::str("\n"), py::handle(), false, true);
    add_inserted(end, text_slice(lines, 0, PyUnicode_GET_LENGTH(lines.ptr()) - 1));
}

// Statements added before `statement`, the first of its body: on the lines before it.
void EditFinder::insert_statements_before(py::handle statement, const std::vector<py::object>& added) {
    long first = span_of(statement).first;
    if (!source_.starts_line(first)) refuse(source_.line(first), kOnHeaderLine);
    py::str lines = statement_lines(added, source_.indentation_of(first));
    add_inserted(source_.line_start_at(source_.startpos(first)), lines);
}

// Statements added to a module that held none: at the end of its text.
void EditFinder::append_to_text(const std::vector<py::object>& added) {
    py::str lines = statement_lines(added, py::str(""));
    Py_ssize_t end = source_.length();
    if (end > 0 && char_at(source_.text(), end - 1) != '\n') add(end, end, py::str("\n"), py::handle(), false, true);
    add_inserted(end, lines);
}

}  // namespace korvane::suggest
