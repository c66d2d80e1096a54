// The edits that turn a token view's original text into the text of its tree as the
// fixes left it.
//
// The tree is walked from the top against its record; a node whose fields are as
// recorded is passed through, and only what changed becomes an edit:
// - a changed name (a name, an attribute's name, a keyword's name) replaces its one
//   token; `not` dropped from a negation removes that word;
// - a replaced child replaces the child's text with the new child's rendering, in
//   brackets where the operator around it needs them;
// - inserted and removed items of an argument list, a list, tuple, set or dict
//   display, the operands of `and`/`or` or of a comparison, an import's names or a
//   body of statements are inserted or removed with their commas or operators, on
//   lines of their own where the items stand one to a line (item_edits.cpp,
//   statement_edits.cpp);
// - a changed expression inside an f-string replaces the expression of its
//   replacement field (fstring_edits.cpp);
// - any other change replaces the smallest enclosing node with its rendering.
// Comments in the text are never part of an edit: a removed line keeps the comment it
// held, and an edit that would drop one is refused (`CannotEdit`), so the enclosing
// node is replaced instead and the caller's comment check decides.
#include "edit_finder.hpp"

#include <algorithm>

namespace korvane::suggest {

bool is_a(py::handle node, const char* cls) {
    return korvane::isinstance(node, import_attr("astroid.nodes", cls));
}

py::object token_mark(py::handle node, const char* which) {
    py::object mark = getattr_or_null(node, py::str(which));
    return mark && !mark.is_none() ? mark : py::object();
}

bool is_node(py::handle value) {
    return korvane::isinstance(value, KORVANE_IMPORTED("astroid.nodes", "NodeNG"));
}

std::vector<py::object> items_of(py::handle value) {
    std::vector<py::object> items;
    if (value.is_none()) return items;
    for (py::handle item : value) items.push_back(py::reinterpret_borrow<py::object>(item));
    return items;
}

// --- the original text ------------------------------------------------------------------

Source::Source(py::handle atok) : text_(atok.attr(KORVANE_NAME("text"))), tokens_(tokens_of(atok)) {
    if (PyUnicode_READY(text_.ptr()) < 0) throw py::error_already_set();
    count_ = static_cast<long>(tokens_.size());
}

bool Source::is_layout(long j, bool statements) const {
    long t = type(j);
    if (t == types().nl || t == types().comment) return true;
    return statements && (t == types().newline || t == types().indent || t == types().dedent);
}

long Source::next_code(long i) const {
    long j = i + 1;
    while (j < count_ && is_layout(j, false)) ++j;
    return j;
}

long Source::prev_code(long i, bool statements) const {
    long j = i - 1;
    while (j >= 0 && is_layout(j, statements)) --j;
    return j;
}

bool Source::starts_line(long i) const {
    for (Py_ssize_t k = startpos(i) - 1; k >= 0; --k) {
        Py_UCS4 c = char_at(text_, k);
        if (c == '\n') break;
        if (!is_blank(c)) return false;
    }
    // A line that a backslash continues has no line break token before it.
    if (i == 0) return true;
    long t = type(i - 1);
    return t == types().nl || t == types().newline || t == types().indent || t == types().dedent;
}

bool Source::ends_line(long i) const {
    for (long j = i + 1; j < count_; ++j) {
        long t = type(j);
        if (t == types().nl || t == types().newline || t == types().endmarker) return true;
        // code on its line, or on the line that its backslash continues it on
        if (t != types().comment) return false;
    }
    return true;
}

Py_ssize_t Source::past_line(Py_ssize_t pos) const {
    Py_ssize_t end = line_end_at(pos);
    return end < length() ? end + 1 : end;
}

py::str Source::indentation_of(long i) const {
    Py_ssize_t at = startpos(i);
    return text_slice(text_, line_start_at(at), at);
}

std::vector<py::object> Source::comments_within(Py_ssize_t from, Py_ssize_t to) const {
    std::vector<py::object> found;
    for (long j = 0; j < count_; ++j) {
        if (type(j) != types().comment) continue;
        Py_ssize_t at = startpos(j);
        if (at >= to) break;
        if (at >= from) found.push_back(string(j));
    }
    return found;
}

namespace {

// The fields of a statement that hold bodies of statements.
bool is_body_field(py::handle name) {
    for (const char* body : {"body", "orelse", "finalbody", "handlers"}) {
        if (is_text(name, body)) return true;
    }
    return false;
}

bool plain_value_same(py::handle recorded, py::handle now) {
    if (recorded.ptr() == now.ptr()) return true;
    if (PyTuple_Check(recorded.ptr()) && PyList_Check(now.ptr())) {
        py::object items = py::reinterpret_steal<py::object>(PyList_AsTuple(now.ptr()));
        if (!items) throw py::error_already_set();
        return equals(recorded, items);
    }
    if (Py_TYPE(recorded.ptr()) != Py_TYPE(now.ptr())) return false;
    return equals(recorded, now);
}

// Whether an operator around `child`, written as `parent`'s child, binds tighter than
// the child may: an operand, an attribute's or subscript's value, a call's callee.
bool operator_context(py::handle parent, py::handle child) {
    for (const char* op : {"BinOp", "BoolOp", "UnaryOp", "Compare", "Attribute", "Subscript",
                           "Await", "IfExp", "Starred"}) {
        if (is_a(parent, op)) return true;
    }
    return is_a(parent, "Call") && parent.attr(KORVANE_NAME("func")).ptr() == child.ptr();
}

}  // namespace

bool is_atom(py::handle node) {
    for (const char* tight : {"Name", "Attribute", "Call", "Subscript", "Const", "List", "Tuple",
                              "Dict", "Set", "ListComp", "SetComp", "DictComp", "GeneratorExp",
                              "JoinedStr"}) {
        if (is_a(node, tight)) return true;
    }
    return false;
}

// --- the walk -----------------------------------------------------------------------------

EditFinder::EditFinder(py::handle atok, Unchanged& unchanged)
    : atok_(py::reinterpret_borrow<py::object>(atok)), source_(atok), unchanged_(unchanged) {}

std::vector<Edit> EditFinder::find(py::handle root) {
    py::object node = py::reinterpret_borrow<py::object>(root);
    pending_.push_back({node, has_tokens(node) ? node : py::object(), py::object()});
    while (!pending_.empty()) {
        Frame frame = std::move(pending_.back());
        pending_.pop_back();
        size_t mark = edits_.size();
        size_t pending_mark = pending_.size();
        try {
            visit(frame);
        } catch (const CannotEdit&) {
            // Whatever this node produced is dropped; the node is rendered whole.
            edits_.resize(mark);
            pending_.resize(pending_mark);
            replace_node(frame);
        }
    }
    return std::move(edits_);
}

py::object EditFinder::record_entry(py::handle node) {
    PyObject* entry = PyDict_GetItemWithError(unchanged_.record().ptr(), node.ptr());
    if (!entry) {
        if (PyErr_Occurred()) throw py::error_already_set();
        throw CannotEdit();
    }
    return py::reinterpret_borrow<py::object>(entry);
}

void EditFinder::visit(const Frame& frame) {
    py::object entry = record_entry(frame.node);
    plain_fields(frame, entry);
    size_t children = field_names(frame.node).children.size();
    for (size_t i = 0; i < children; ++i) child_field(frame, entry, i);
}

void EditFinder::visit_kept(const Frame& parent, py::handle node) {
    py::object child = py::reinterpret_borrow<py::object>(node);
    if (has_tokens(child)) {
        pending_.push_back({child, child, py::object()});
        return;
    }
    // Inside an f-string: the first field met is the string's own.
    py::object field = parent.field;
    if (!field && is_a(child, "FormattedValue")) field = child;
    pending_.push_back({child, parent.anchor, field});
}

void EditFinder::plain_fields(const Frame& frame, py::handle entry) {
    const FieldNames& fields = field_names(frame.node);
    size_t offset = fields.children.size();
    for (size_t j = 0; j < fields.plain.size(); ++j) {
        py::handle recorded(PyTuple_GET_ITEM(entry.ptr(), static_cast<Py_ssize_t>(offset + j)));
        py::object now = getattr_or_null(frame.node, fields.plain[j]);
        if (!now) now = py::none();
        if (plain_value_same(recorded, now)) continue;
        if (!plain_edit(frame, fields.plain[j], recorded, now)) throw CannotEdit();
    }
}

void EditFinder::child_field(const Frame& frame, py::handle entry, size_t i) {
    const py::str& name = field_names(frame.node).children[i];
    py::handle recorded(PyTuple_GET_ITEM(entry.ptr(), static_cast<Py_ssize_t>(i)));
    py::object now = getattr_or_null(frame.node, name);
    if (!now) now = py::none();
    if (is_a(frame.node, "Call")) {
        if (is_text(name, "keywords")) return;  // with the arguments
        if (is_text(name, "args")) return call_arguments(frame, entry, recorded, now);
    }
    if (is_recorded_sequence(recorded)) return sequence_field(frame, name, recorded, now);
    single_child(frame, recorded, now);
}

void EditFinder::sequence_field(const Frame& frame, py::handle name, py::handle recorded,
                                py::handle now) {
    if (!PyList_Check(now.ptr()) && !PyTuple_Check(now.ptr())) throw CannotEdit();
    std::vector<py::object> old_items = items_of(recorded), new_items = items_of(now);
    if (same_items(old_items, new_items)) return visit_kept_items(frame, old_items);
    py::handle node = frame.node;
    if (is_a(node, "Dict") && is_text(name, "items")) return dict_items(frame, old_items, new_items);
    if (is_a(node, "BoolOp") && is_text(name, "values"))
        return bool_operands(frame, old_items, new_items);
    if (is_a(node, "Compare") && is_text(name, "ops"))
        return compare_operands(frame, old_items, new_items);
    if (is_text(name, "elts") && (is_a(node, "List") || is_a(node, "Tuple") || is_a(node, "Set"))) {
        if (is_a(node, "Tuple") && new_items.size() < 2 && old_items.size() >= 2)
            throw CannotEdit();  // one item would need its trailing comma
        return comma_items(frame, old_items, new_items);
    }
    if (is_body_field(name)) return body_items(frame, old_items, new_items);
    throw CannotEdit();
}

void EditFinder::single_child(const Frame& frame, py::handle recorded, py::handle now) {
    if (now.ptr() == recorded.ptr()) {
        if (!recorded.is_none()) visit_kept(frame, recorded);
        return;
    }
    if (recorded.is_none() || now.is_none() || !has_tokens(recorded)) throw CannotEdit();
    replace_child(frame.node, recorded, now);
}

// --- children -----------------------------------------------------------------------------

void EditFinder::replace_child(py::handle parent, py::handle old, py::handle now) {
    if (!has_tokens(old)) throw CannotEdit();
    Span span = span_of(old);
    add(start_of(span), end_of(span), bracketed(parent, now, old), parent, true);
}

// Replaces a node's text with the rendering of the tree as it is now under it.
void EditFinder::replace_node(const Frame& frame) {
    if (!has_tokens(frame.node) && frame.field) return field_edit(frame);
    py::object target = has_tokens(frame.node) ? frame.node : frame.anchor;
    if (!target) {
        PyErr_SetString(PyExc_ValueError, "a fix changed a node that has no place in the text");
        throw py::error_already_set();
    }
    Span span = span_of(target);
    add(start_of(span), end_of(span), render(target), target, true);
}

py::object EditFinder::render(py::handle node) { return render_kept(atok_, unchanged_, node); }

py::object EditFinder::bracketed(py::handle parent, py::handle child, py::handle old) {
    py::object text = render(child);
    if (!needs_brackets(parent, child, old)) return text;
    return concat(concat(py::str("("), text), py::str(")"));
}

// Whether `child`, written where `old` stood under `parent` (or added there, for a
// null `old`), needs brackets for the operator around it; not when `old` stood in
// brackets of its own.
bool EditFinder::needs_brackets(py::handle parent, py::handle child, py::handle old) {
    if (is_atom(child) || !operator_context(parent, child)) return false;
    if (old) {
        long first = source_.first_of(old), last = source_.last_of(old);
        if (source_.op_is(source_.prev_code(first), "(") && source_.op_is(source_.next_code(last), ")"))
            return false;
    }
    bool is_left = true;
    py::object left = getattr_or_null(parent, KORVANE_NAME("left"));
    if (left && (is_a(parent, "BinOp") || is_a(parent, "Compare"))) is_left = left.ptr() == child.ptr();
    static py::object& visitor = keep(visitor_base()());
    return truthy(visitor.attr("_should_wrap")(parent, child, py::bool_(is_left)));
}

// An item's tokens; a `**` keyword starts at its stars, which its marks leave out.
Span EditFinder::span_of(py::handle node) {
    long first = source_.first_of(node);
    long last = source_.last_of(node);
    if (is_a(node, "Keyword") && node.attr(KORVANE_NAME("arg")).is_none() && source_.op_is(first - 1, "**"))
        --first;
    return {first, last};
}

// A span with the brackets that enclose it and nothing else: an operand's or a dict
// item's own brackets, which go and come with it.
Span EditFinder::wrapped(Span span) const {
    while (source_.op_is(source_.prev_code(span.first), "(") && source_.op_is(source_.next_code(span.last), ")")) {
        span.first = source_.prev_code(span.first);
        span.last = source_.next_code(span.last);
    }
    return span;
}

// --- plain fields ---------------------------------------------------------------------------

// Replaces the one token `index` with `text`.
void EditFinder::replace_token(long index, py::handle text, py::handle region_node) {
    add(source_.startpos(index), source_.endpos(index), py::reinterpret_borrow<py::object>(text),
        region_node);
}

// The edit of one changed plain field that touches single tokens; false where the
// node has to be rendered whole.
bool EditFinder::plain_edit(const Frame& frame, py::handle name, py::handle recorded, py::handle now) {
    py::handle node = frame.node;
    if (!has_tokens(node)) return false;
    long first = source_.first_of(node);
    long last = source_.last_of(node);
    bool text = PyUnicode_Check(now.ptr());
    if ((is_a(node, "Name") || is_a(node, "AssignName")) && is_text(name, "name") && text && first == last) {
        replace_token(first, now, node);
    } else if (is_a(node, "Attribute") && is_text(name, "attrname") && text) {
        replace_token(last, now, node);
    } else if (is_a(node, "Keyword") && is_text(name, "arg") && text && PyUnicode_Check(recorded.ptr())) {
        replace_token(first, now, node);
    } else if (is_a(node, "UnaryOp") && is_text(name, "op") && is_text(now, "") && is_text(recorded, "not")) {
        // `not` and the blanks after it go; brackets after it stay
        remove_inline(source_.startpos(first), source_.startpos(first + 1), node, false);
    } else if ((is_a(node, "ImportFrom") || is_a(node, "Import")) && is_text(name, "names")) {
        return import_names(frame, recorded, now);
    } else {
        return false;
    }
    return true;
}

// --- edits ------------------------------------------------------------------------------------

void EditFinder::add(Py_ssize_t start, Py_ssize_t end, py::object text, py::handle region_node,
                     bool covers, bool restructures) {
    Edit edit;
    edit.start = start;
    edit.end = end;
    edit.text = std::move(text);
    edit.order = order_++;
    edit.covers = covers;
    edit.restructures = restructures;
    if (region_node) set_region(edit, region_node);
    edits_.push_back(std::move(edit));
}

void EditFinder::add_inserted(Py_ssize_t at, py::object text) {
    Edit edit;
    edit.start = edit.end = at;
    edit.text = std::move(text);
    edit.inserted_region = true;
    edit.restructures = true;
    edit.order = order_++;
    edits_.push_back(std::move(edit));
}

// Removes from..to, which holds no comment.
void EditFinder::remove_inline(Py_ssize_t from, Py_ssize_t to, py::handle region_node,
                               bool restructures) {
    if (from >= to) return;
    if (!source_.comments_within(from, to).empty()) throw CannotEdit();
    add(from, to, py::str(""), region_node, false, restructures);
}

// Removes whole lines from..to (to past the last line feed), keeping each comment
// they held on a line of its own at `indentation`.
void EditFinder::remove_lines(Py_ssize_t from, Py_ssize_t to, py::handle indentation,
                              py::handle region_node) {
    py::list kept;
    for (py::object& comment : source_.comments_within(from, to)) {
        kept.append(concat(concat(indentation, comment), py::str("\n")));
    }
    add(from, to, join("", kept), region_node, false, true);
}

// Whether a call or display stands on lines of its own: it starts its line, only a
// comma and a comment follow it on its last line, and its lines break only inside its
// brackets (not a method chain written over lines).  The formatter can take it alone,
// as an expression statement.
bool EditFinder::stands_on_own_lines(py::handle node) {
    bool display = false;
    for (const char* cls : {"Call", "Dict", "List", "Set"}) display = display || is_a(node, cls);
    if (!display || !has_tokens(node)) return false;
    long first = source_.first_of(node);
    long last = source_.last_of(node);
    if (!source_.starts_line(first)) return false;
    long n = source_.next_code(last);
    if (!(source_.op_is(n, ",") ? source_.ends_line(n) : source_.ends_line(last))) return false;
    return !breaks_line_outside_brackets(atok_, node);
}

// The lines to format after an edit under `node`: those of the smallest call or
// display around it that stands on lines of its own (one operation of a
// migration's list, say), else those of its statement.  A region that the edit's
// own range crosses (a compound statement rendered whole, whose header alone was
// the region) grows to the edit's whole lines.
void EditFinder::set_region(Edit& edit, py::handle node) {
    py::object statement = node.attr(KORVANE_NAME("statement"))();
    bool found = false;
    for (py::object up = py::reinterpret_borrow<py::object>(node); up && !up.is_none() && !up.is(statement);
         up = getattr_or_null(up, KORVANE_NAME("parent"))) {
        if (!stands_on_own_lines(up)) continue;
        long last = source_.last_of(up);
        edit.region_start = source_.line_start_at(source_.startpos(source_.first_of(up)));
        edit.region_end = source_.endpos(last);
        py::object rest = text_slice(source_.text(), edit.region_end,
                                     source_.line_end_at(edit.region_end)).attr("rstrip")();
        edit.region_trailer = PyUnicode_GET_LENGTH(rest.ptr());
        found = true;
        break;
    }
    if (!found && !statement_region(edit, statement)) return;
    if (edit.start < edit.region_start) edit.region_start = source_.line_start_at(edit.start);
    if (edit.end > edit.region_end) {
        edit.region_end = source_.line_end_at(edit.end);
        edit.header_region = false;
        edit.region_trailer = 0;
    }
}

// A simple statement's whole lines, or a compound statement's header lines when its
// body starts on a later line; false for none, and for a statement that shares its
// lines with other code (a statement beside it, the header it follows), which the
// formatter would lay out with it.
bool EditFinder::statement_region(Edit& edit, py::handle statement) {
    if (is_a(statement, "Module") || !has_tokens(statement)) return false;
    long first = source_.first_of(statement);
    py::object body = getattr_or_null(statement, KORVANE_NAME("body"));
    long last;
    if (body && PyList_Check(body.ptr()) && PyList_GET_SIZE(body.ptr()) > 0) {
        py::handle first_child(PyList_GET_ITEM(body.ptr(), 0));
        if (!has_tokens(first_child)) return false;
        long body_first = source_.first_of(first_child);
        last = source_.prev_code(body_first, true);
        if (last < 0 || source_.line(last) == source_.line(body_first)) return false;
        edit.header_region = true;
    } else {
        last = source_.last_of(statement);
    }
    if (!source_.starts_line(first) || !source_.ends_line(last)) return false;
    edit.region_start = source_.line_start_at(source_.startpos(first));
    edit.region_end = source_.line_end_at(source_.endpos(last));
    return true;
}

namespace {

// Whether edit i lies inside the range of another edit that renders a node whole, so
// that it is part of that rendering.
bool is_covered(const std::vector<Edit>& found, size_t i) {
    const Edit& e = found[i];
    for (size_t k = 0; k < found.size(); ++k) {
        const Edit& outer = found[k];
        if (k == i || !outer.covers) continue;
        bool within = outer.start <= e.start && e.end <= outer.end;
        bool at_edge = e.start == e.end && (e.start == outer.start || e.start == outer.end);
        bool same_range = e.start == outer.start && e.end == outer.end;
        if (within && !at_edge && (!same_range || !e.covers || k < i)) return true;
    }
    return false;
}

// The edits that no covering edit holds, sorted by position: at one place insertions
// first, in the order they were made.
std::vector<Edit> uncovered_sorted(const std::vector<Edit>& found) {
    std::vector<Edit> kept;
    for (size_t i = 0; i < found.size(); ++i)
        if (!is_covered(found, i)) kept.push_back(found[i]);
    std::stable_sort(kept.begin(), kept.end(), [](const Edit& a, const Edit& b) {
        if (a.start != b.start) return a.start < b.start;
        bool ai = a.start == a.end, bi = b.start == b.end;
        if (ai != bi) return ai;
        return a.order < b.order;
    });
    for (size_t i = 1; i < kept.size(); ++i) {
        if (kept[i - 1].end > kept[i].start) {
            PyErr_SetString(PyExc_ValueError, "two fixes edit the same text");
            throw py::error_already_set();
        }
    }
    return kept;
}

// Keeps (statement, reason) of a fix left out on the token view's list
// `unwritten_fixes`.
void note_unwritten(py::handle atok, const Unwritable& refused) {
    py::object notes = getattr_or_null(atok, KORVANE_NAME("unwritten_fixes"));
    if (!notes || !PyList_Check(notes.ptr())) {
        notes = py::list();
        atok.attr(KORVANE_NAME("unwritten_fixes")) = notes;
    }
    notes.attr("append")(py::make_tuple(refused.statement, refused.reason));
}

}  // namespace

Py_ssize_t line_start(py::handle text, Py_ssize_t pos) {
    for (Py_ssize_t k = pos - 1; k >= 0; --k)
        if (char_at(text, k) == '\n') return k + 1;
    return 0;
}

Py_ssize_t line_end(py::handle text, Py_ssize_t pos) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(text.ptr());
    Py_ssize_t found = PyUnicode_FindChar(text.ptr(), '\n', pos, length, 1);
    if (found == -2) throw py::error_already_set();
    return found < 0 ? length : found;
}

std::vector<Edit> tree_edits(py::handle atok, Unchanged& unchanged, py::handle root) {
    std::vector<py::object> restored;
    while (true) {
        try {
            EditFinder finder(atok, unchanged);
            return uncovered_sorted(finder.find(root));
        } catch (const Unwritable& refused) {
            bool again = std::any_of(restored.begin(), restored.end(),
                                     [&](const py::object& s) { return s.is(refused.statement); });
            if (!again) {
                restore_recorded(unchanged.record(), refused.statement);
                unchanged.forget();
                restored.push_back(refused.statement);
            }
            if (again || !is_a(root, "Module")) {
                PyErr_SetObject(PyExc_ValueError, refused.reason.ptr());
                throw py::error_already_set();
            }
            note_unwritten(atok, refused);
        }
    }
}

Py_ssize_t mapped_offset(const std::vector<Edit>& edits, Py_ssize_t pos, bool is_end) {
    Py_ssize_t shift = 0;
    for (const Edit& e : edits) {
        Py_ssize_t length = PyUnicode_GET_LENGTH(e.text.ptr());
        Py_ssize_t delta = length - (e.end - e.start);
        // text inserted right at an end, on its line (a name appended to an import)
        bool appended = e.start == pos && e.end == pos && length > 0 && char_at(e.text, 0) != '\n';
        if (is_end ? e.start < pos || appended : e.end <= pos) shift += delta;
    }
    return pos + shift;
}

py::str apply_edits(py::handle text, std::vector<Edit>& edits, std::vector<Region>* regions) {
    py::list parts;
    Py_ssize_t cursor = 0;
    Py_ssize_t written = 0;
    for (const Edit& edit : edits) {
        if (edit.start > cursor) {
            parts.append(text_slice(text, cursor, edit.start));
            written += edit.start - cursor;
        }
        if (regions && edit.inserted_region) {
            Py_ssize_t length = PyUnicode_GET_LENGTH(edit.text.ptr());
            // the inserted lines, without the line feed that ends the last one
            bool feed = length > 0 && char_at(edit.text, length - 1) == '\n';
            if (length > 0)
                regions->push_back({written, written + length - (feed ? 1 : 0), false, 0,
                                    edit.restructures, edit.start, edit.start});
        }
        parts.append(edit.text);
        written += PyUnicode_GET_LENGTH(edit.text.ptr());
        cursor = edit.end;
    }
    Py_ssize_t length = PyUnicode_GET_LENGTH(text.ptr());
    if (cursor < length) parts.append(text_slice(text, cursor, length));
    if (regions) {
        for (const Edit& edit : edits) {
            if (edit.region_start < 0) continue;
            regions->push_back({mapped_offset(edits, edit.region_start, false),
                                mapped_offset(edits, edit.region_end, true), edit.header_region,
                                edit.region_trailer, edit.restructures, edit.region_start,
                                edit.region_end});
        }
    }
    return join("", parts);
}

}  // namespace korvane::suggest
