// The edits that turn a token view's original text into the text of its tree as the
// fixes left it.
//
// The tree is walked from the top against its record; a node whose fields are as
// recorded is passed through, and only what changed becomes an edit:
// - a changed name (a name, an attribute's name, a keyword's name) replaces its one
//   token; `not` dropped from a negation removes that word;
// - a replaced child replaces the child's text with the new child's rendering, in
//   brackets where the operator around it needs them;
// - inserted and removed items of an argument list, a list or tuple display, an
//   import's names or a body of statements are inserted or removed with their
//   commas, on lines of their own where the items stand one to a line;
// - any other change replaces the smallest enclosing node with its rendering.
// Comments in the text are never part of an edit: a removed line keeps the comment it
// held, and an edit that would drop one is refused (`CannotEdit`), so the enclosing
// node is replaced instead and the caller's comment check decides.
#include "source_edits.hpp"

#include <korvane/text.hpp>

#include "token_lines.hpp"

#include <algorithm>
#include <stdexcept>

namespace korvane::suggest {

namespace {

// An edit that cannot be made without losing a comment: the caller replaces the
// enclosing node instead.  Never leaves this file.
struct CannotEdit : std::exception {};

Py_UCS4 char_at(py::handle text, Py_ssize_t i) { return PyUnicode_READ_CHAR(text.ptr(), i); }

// The original text and its tokens, read by index.
class Source {
  public:
    explicit Source(py::handle atok)
        : text_(atok.attr(KORVANE_NAME("text"))), tokens_(tokens_of(atok)) {
        if (PyUnicode_READY(text_.ptr()) < 0) throw py::error_already_set();
        count_ = static_cast<long>(tokens_.size());
    }

    const py::object& text() const { return text_; }
    Py_ssize_t length() const { return PyUnicode_GET_LENGTH(text_.ptr()); }
    long count() const { return count_; }
    py::object token(long i) const { return tokens_[static_cast<size_t>(i)]; }
    long type(long i) const { return as_long(token(i).attr(KORVANE_NAME("type"))); }
    py::object string(long i) const { return token(i).attr(KORVANE_NAME("string")); }
    bool op_is(long i, const char* s) const {
        return i >= 0 && i < count_ && type(i) == types().op && is_text(string(i), s);
    }
    Py_ssize_t startpos(long i) const { return as_long(token(i).attr(KORVANE_NAME("startpos"))); }
    Py_ssize_t endpos(long i) const { return as_long(token(i).attr(KORVANE_NAME("endpos"))); }
    long line(long i) const { return start_line(token(i)); }
    long last_line(long i) const { return end_line(token(i)); }

    // The next token after i that is code (no comment or line break); count() if none.
    long next_code(long i) const {
        long j = i + 1;
        while (j < count_ && is_layout(j, false)) ++j;
        return j;
    }
    // The previous token before i that is code; -1 if none.  With `statements`, the
    // line breaks and indentation between statements are passed over too.
    long prev_code(long i, bool statements = false) const {
        long j = i - 1;
        while (j >= 0 && is_layout(j, statements)) --j;
        return j;
    }

    // Whether only blanks stand before token i on its line.
    bool starts_line(long i) const {
        Py_ssize_t at = startpos(i);
        for (Py_ssize_t k = at - 1; k >= 0; --k) {
            Py_UCS4 c = char_at(text_, k);
            if (c == '\n') return true;
            if (!is_blank(c)) return false;
        }
        return true;
    }

    // Whether nothing but a comment follows token i on its line.
    bool ends_line(long i) const {
        long line_of_i = last_line(i);
        for (long j = i + 1; j < count_; ++j) {
            long t = type(j);
            if (t == types().nl || t == types().newline || t == types().endmarker) return true;
            if (line(j) != line_of_i) return true;
            if (t != types().comment) return false;
        }
        return true;
    }

    Py_ssize_t line_start_at(Py_ssize_t pos) const { return line_start(text_, pos); }
    Py_ssize_t line_end_at(Py_ssize_t pos) const { return line_end(text_, pos); }

    // The blanks before token i on its line.
    py::str indentation_of(long i) const {
        Py_ssize_t at = startpos(i);
        return text_slice(text_, line_start_at(at), at);
    }

    // The comments whose text starts within from..to.
    std::vector<py::object> comments_within(Py_ssize_t from, Py_ssize_t to) const {
        std::vector<py::object> found;
        for (long j = 0; j < count_; ++j) {
            if (type(j) != types().comment) continue;
            Py_ssize_t at = startpos(j);
            if (at >= to) break;
            if (at >= from) found.push_back(string(j));
        }
        return found;
    }

    // The index of a token of the view.
    long index(py::handle token) const { return index_of(token); }

  private:
    bool is_layout(long j, bool statements) const {
        long t = type(j);
        if (t == types().nl || t == types().comment) return true;
        return statements && (t == types().newline || t == types().indent || t == types().dedent);
    }

    py::object text_;
    py::list tokens_;
    long count_ = 0;
};

// Token indices of an item's first and last token.
struct Span {
    long first;
    long last;
};

bool is_a(py::handle node, const char* cls) {
    return korvane::isinstance(node, import_attr("astroid.nodes", cls));
}

py::object token_mark(py::handle node, const char* which) {
    py::object mark = getattr_or_null(node, py::str(which));
    return mark && !mark.is_none() ? mark : py::object();
}

bool has_tokens(py::handle node) { return bool(token_mark(node, "first_token")); }

// The fields of a statement that hold bodies of statements.
bool is_body_field(py::handle name) {
    for (const char* body : {"body", "orelse", "finalbody", "handlers"}) {
        if (is_text(name, body)) return true;
    }
    return false;
}

// A step of the walk: a node of the recorded tree, and the nearest node at or above it
// that carries token marks (nodes inside an f-string carry none).
struct Frame {
    py::object node;
    py::object anchor;
};

class EditFinder {
  public:
    EditFinder(py::handle atok, Unchanged& unchanged)
        : atok_(py::reinterpret_borrow<py::object>(atok)), source_(atok), unchanged_(unchanged) {}

    std::vector<Edit> find(py::handle root) {
        py::object node = py::reinterpret_borrow<py::object>(root);
        pending_.push_back({node, has_tokens(node) ? node : py::object()});
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

  private:
    // --- edits --------------------------------------------------------------------

    void add(Py_ssize_t start, Py_ssize_t end, py::object text, py::handle region_node,
             bool covers = false) {
        Edit edit;
        edit.start = start;
        edit.end = end;
        edit.text = std::move(text);
        edit.order = order_++;
        covers_.push_back(covers);
        if (region_node) set_region(edit, region_node);
        edits_.push_back(std::move(edit));
    }

    void add_inserted(Py_ssize_t at, py::object text) {
        Edit edit;
        edit.start = edit.end = at;
        edit.text = std::move(text);
        edit.inserted_region = true;
        edit.order = order_++;
        covers_.push_back(false);
        edits_.push_back(std::move(edit));
    }

    // Whether a call or display stands on lines of its own: it starts its line, and
    // only a comma and a comment follow it on its last line.  The formatter can take
    // it alone, as an expression statement.
    bool stands_on_own_lines(py::handle node) {
        bool display = false;
        for (const char* cls : {"Call", "Dict", "List", "Set"}) display = display || is_a(node, cls);
        if (!display || !has_tokens(node)) return false;
        long first = source_.index(node.attr(KORVANE_NAME("first_token")));
        long last = source_.index(node.attr(KORVANE_NAME("last_token")));
        if (!source_.starts_line(first)) return false;
        long n = source_.next_code(last);
        return source_.op_is(n, ",") ? source_.ends_line(n) : source_.ends_line(last);
    }

    // The lines to format after an edit under `node`: those of the smallest call or
    // display around it that stands on lines of its own (one operation of a
    // migration's list, say), else those of its statement: a simple statement's whole
    // lines, or a compound statement's header lines when its body starts on a later
    // line.
    void set_region(Edit& edit, py::handle node) {
        py::object statement = node.attr(KORVANE_NAME("statement"))();
        for (py::object up = py::reinterpret_borrow<py::object>(node); up && !up.is_none() && !up.is(statement);
             up = getattr_or_null(up, KORVANE_NAME("parent"))) {
            if (!stands_on_own_lines(up)) continue;
            long first = source_.index(up.attr(KORVANE_NAME("first_token")));
            long last = source_.index(up.attr(KORVANE_NAME("last_token")));
            edit.region_start = source_.line_start_at(source_.startpos(first));
            edit.region_end = source_.endpos(last);
            py::object rest = text_slice(source_.text(), edit.region_end,
                                    source_.line_end_at(edit.region_end)).attr("rstrip")();
            edit.region_trailer = PyUnicode_GET_LENGTH(rest.ptr());
            return;
        }
        if (is_a(statement, "Module") || !has_tokens(statement)) return;
        long first = source_.index(statement.attr(KORVANE_NAME("first_token")));
        py::object body = getattr_or_null(statement, KORVANE_NAME("body"));
        long last;
        if (body && PyList_Check(body.ptr()) && PyList_GET_SIZE(body.ptr()) > 0) {
            py::handle first_child(PyList_GET_ITEM(body.ptr(), 0));
            if (!has_tokens(first_child)) return;
            long body_first = source_.index(first_child.attr(KORVANE_NAME("first_token")));
            last = source_.prev_code(body_first, true);
            if (last < 0 || source_.line(last) == source_.line(body_first)) return;
            edit.header_region = true;
        } else {
            last = source_.index(statement.attr(KORVANE_NAME("last_token")));
        }
        edit.region_start = source_.line_start_at(source_.startpos(first));
        edit.region_end = source_.line_end_at(source_.endpos(last));
    }

    // Removes from..to, which holds no comment.
    void remove_inline(Py_ssize_t from, Py_ssize_t to, py::handle region_node) {
        if (from >= to) return;
        if (!source_.comments_within(from, to).empty()) throw CannotEdit();
        add(from, to, py::str(""), region_node);
    }

    // Removes whole lines from..to (to past the last line feed), keeping each comment
    // they held on a line of its own at `indentation`.
    void remove_lines(Py_ssize_t from, Py_ssize_t to, py::handle indentation,
                      py::handle region_node) {
        py::list kept;
        for (py::object& comment : source_.comments_within(from, to)) {
            kept.append(concat(concat(indentation, comment), py::str("\n")));
        }
        add(from, to, join("", kept), region_node);
    }

    // The end of the line holding `pos`, past its line feed when it has one.
    Py_ssize_t past_line(Py_ssize_t pos) const {
        Py_ssize_t end = source_.line_end_at(pos);
        return end < source_.length() ? end + 1 : end;
    }

    // --- renderings ---------------------------------------------------------------

    py::object render(py::handle node) { return render_kept(atok_, unchanged_, node); }

    // Whether `child`, written where `old` stood under `parent`, needs brackets for the
    // operator around it; not when `old` stood in brackets of its own.
    bool needs_brackets(py::handle parent, py::handle child, py::handle old) {
        for (const char* tight : {"Name", "Attribute", "Call", "Subscript", "Const", "List",
                                  "Tuple", "Dict", "Set", "ListComp", "SetComp", "DictComp",
                                  "GeneratorExp", "JoinedStr"}) {
            if (is_a(child, tight)) return false;
        }
        bool operator_context = false;
        for (const char* op : {"BinOp", "BoolOp", "UnaryOp", "Compare", "Attribute",
                               "Subscript", "Await", "IfExp", "Starred"}) {
            if (is_a(parent, op)) operator_context = true;
        }
        if (is_a(parent, "Call") && parent.attr(KORVANE_NAME("func")).ptr() == child.ptr())
            operator_context = true;
        if (!operator_context) return false;
        long first = source_.index(old.attr(KORVANE_NAME("first_token")));
        long last = source_.index(old.attr(KORVANE_NAME("last_token")));
        if (source_.op_is(source_.prev_code(first), "(") && source_.op_is(source_.next_code(last), ")"))
            return false;
        bool is_left = true;
        py::object left = getattr_or_null(parent, KORVANE_NAME("left"));
        if (left && (is_a(parent, "BinOp") || is_a(parent, "Compare")))
            is_left = left.ptr() == child.ptr();
        static py::object& visitor = keep(visitor_base()());
        return truthy(visitor.attr("_should_wrap")(parent, child, py::bool_(is_left)));
    }

    // --- spans --------------------------------------------------------------------

    // An item's tokens; a `**` keyword starts at its stars, which its marks leave out.
    Span span_of(py::handle node) {
        long first = source_.index(node.attr(KORVANE_NAME("first_token")));
        long last = source_.index(node.attr(KORVANE_NAME("last_token")));
        if (is_a(node, "Keyword") && node.attr(KORVANE_NAME("arg")).is_none() &&
            source_.op_is(first - 1, "**")) {
            --first;
        }
        return {first, last};
    }

    Py_ssize_t start_of(const Span& s) { return source_.startpos(s.first); }
    Py_ssize_t end_of(const Span& s) { return source_.endpos(s.last); }

    // Replaces a node's text with the rendering of the tree as it is now under it.
    void replace_node(const Frame& frame) {
        py::object target = has_tokens(frame.node) ? frame.node : frame.anchor;
        if (!target) {
            PyErr_SetString(PyExc_ValueError, "a fix changed a node that has no place in the text");
            throw py::error_already_set();
        }
        Span span = span_of(target);
        add(start_of(span), end_of(span), render(target), target, true);
    }

    // --- comma-separated items --------------------------------------------------------

    // Removes a run of adjacent items with the comma that goes with them.
    void remove_items(const Span& run, py::handle region_node) {
        Restructuring restructuring(edits_);
        long a = run.first, b = run.last;
        long n = source_.next_code(b);
        long p = source_.prev_code(a);
        if (source_.op_is(n, ",")) {
            long after = source_.next_code(n);
            if (source_.starts_line(a) && source_.ends_line(n)) {
                remove_lines(source_.line_start_at(source_.startpos(a)), past_line(source_.endpos(n)),
                             source_.indentation_of(a), region_node);
            } else if (after < source_.count() && source_.line(after) == source_.last_line(n)) {
                remove_inline(source_.startpos(a), source_.startpos(after), region_node);
            } else {
                remove_inline(p >= 0 ? source_.endpos(p) : source_.startpos(a), source_.endpos(n),
                              region_node);
            }
            return;
        }
        bool own_lines = source_.starts_line(a) && source_.ends_line(b);
        if (source_.op_is(p, ",")) {
            if (source_.last_line(p) == source_.line(a)) {
                remove_inline(source_.startpos(p), source_.endpos(b), region_node);
                return;
            }
            remove_inline(source_.startpos(p), source_.endpos(p), region_node);
        }
        if (own_lines) {
            remove_lines(source_.line_start_at(source_.startpos(a)), past_line(source_.endpos(b)),
                         source_.indentation_of(a), region_node);
        } else {
            remove_inline(source_.startpos(a), source_.endpos(b), region_node);
        }
    }

    // Inserts rendered items after the item `anchor`: each on a line of its own where
    // the anchor stands alone on its line, else after it on the same line.
    void insert_after(const Span& anchor, const std::vector<py::object>& texts,
                      py::handle region_node) {
        Restructuring restructuring(edits_);
        long b = anchor.last;
        long n = source_.next_code(b);
        bool comma = source_.op_is(n, ",");
        long end_token = comma ? n : b;
        if (source_.starts_line(anchor.first) && source_.ends_line(end_token)) {
            py::str indentation = source_.indentation_of(anchor.first);
            py::list lines;
            for (size_t i = 0; i < texts.size(); ++i) {
                bool last = i + 1 == texts.size();
                py::str line = concat(concat(py::str("\n"), indentation), texts[i]);
                lines.append(last && !comma ? line : concat(line, py::str(",")));
            }
            if (!comma) add(source_.endpos(b), source_.endpos(b), py::str(","), region_node);
            Py_ssize_t at = source_.line_end_at(source_.endpos(end_token));
            add(at, at, join("", lines), region_node);
            return;
        }
        py::list parts;
        for (const py::object& text : texts) parts.append(concat(py::str(", "), text));
        add(source_.endpos(b), source_.endpos(b), join("", parts), region_node);
    }

    // Inserts rendered items before the item `next`, the first one.
    void insert_before(const Span& next, const std::vector<py::object>& texts,
                       py::handle region_node) {
        Restructuring restructuring(edits_);
        py::list parts;
        if (source_.starts_line(next.first)) {
            py::str indentation = source_.indentation_of(next.first);
            for (const py::object& text : texts)
                parts.append(concat(concat(indentation, text), py::str(",\n")));
            Py_ssize_t at = source_.line_start_at(source_.startpos(next.first));
            add(at, at, join("", parts), region_node);
            return;
        }
        for (const py::object& text : texts) parts.append(concat(text, py::str(", ")));
        add(source_.startpos(next.first), source_.startpos(next.first), join("", parts), region_node);
    }

    // Inserts rendered items between the brackets of a container that had none; the
    // opening bracket is the code token before its last token.
    void insert_into_empty(py::handle container, const std::vector<py::object>& texts) {
        Restructuring restructuring(edits_);
        long last = source_.index(container.attr(KORVANE_NAME("last_token")));
        long open = source_.prev_code(last);
        if (!(source_.op_is(open, "(") || source_.op_is(open, "[") || source_.op_is(open, "{")))
            throw CannotEdit();
        py::list parts;
        for (const py::object& text : texts) parts.append(text);
        Py_ssize_t at = source_.endpos(open);
        add(at, at, join(", ", parts), container);
    }

    // --- aligning sequences -------------------------------------------------------------

    // One stretch between two items kept in place: the old items removed there and the
    // new ones put there.
    struct Gap {
        std::vector<py::object> removed;
        std::vector<py::object> added;
        py::object before;  // the kept item before the gap (new order), or null
        py::object after;   // the kept item after it, or null
    };

    using Same = bool (*)(py::handle, py::handle);

    static bool identical(py::handle a, py::handle b) { return a.ptr() == b.ptr(); }
    static bool equal_values(py::handle a, py::handle b) { return equals(a, b); }

    // The longest common subsequence of two item lists under `same`, as the gaps around
    // the kept items; `kept` receives the kept old items.
    static std::vector<Gap> align(const std::vector<py::object>& old_items,
                                  const std::vector<py::object>& new_items, Same same,
                                  std::vector<py::object>* kept) {
        size_t n = old_items.size(), m = new_items.size();
        size_t head = 0;
        while (head < n && head < m && same(old_items[head], new_items[head])) ++head;
        size_t tail = 0;
        while (tail < n - head && tail < m - head &&
               same(old_items[n - 1 - tail], new_items[m - 1 - tail]))
            ++tail;
        size_t on = n - head - tail, nm = m - head - tail;
        std::vector<std::vector<int>> table(on + 1, std::vector<int>(nm + 1, 0));
        for (size_t i = on; i-- > 0;)
            for (size_t j = nm; j-- > 0;)
                table[i][j] = same(old_items[head + i], new_items[head + j])
                                  ? table[i + 1][j + 1] + 1
                                  : std::max(table[i + 1][j], table[i][j + 1]);
        std::vector<std::pair<size_t, size_t>> matches;
        for (size_t i = 0; i < head; ++i) matches.push_back({i, i});
        for (size_t i = 0, j = 0; i < on && j < nm;) {
            if (same(old_items[head + i], new_items[head + j])) {
                matches.push_back({head + i, head + j});
                ++i, ++j;
            } else if (table[i + 1][j] >= table[i][j + 1]) {
                ++i;
            } else {
                ++j;
            }
        }
        for (size_t k = 0; k < tail; ++k) matches.push_back({n - tail + k, m - tail + k});

        std::vector<Gap> gaps;
        size_t oi = 0, nj = 0;
        py::object before;
        for (size_t k = 0; k <= matches.size(); ++k) {
            size_t o_end = k < matches.size() ? matches[k].first : n;
            size_t n_end = k < matches.size() ? matches[k].second : m;
            Gap gap;
            for (; oi < o_end; ++oi) gap.removed.push_back(old_items[oi]);
            for (; nj < n_end; ++nj) gap.added.push_back(new_items[nj]);
            gap.before = before;
            if (k < matches.size()) gap.after = new_items[matches[k].second];
            if (!gap.removed.empty() || !gap.added.empty()) gaps.push_back(std::move(gap));
            if (k < matches.size()) {
                kept->push_back(old_items[matches[k].first]);
                before = new_items[matches[k].second];
                ++oi, ++nj;
            }
        }
        return gaps;
    }

    static std::vector<py::object> items_of(py::handle value) {
        std::vector<py::object> items;
        if (value.is_none()) return items;
        for (py::handle item : value) items.push_back(py::reinterpret_borrow<py::object>(item));
        return items;
    }

    void visit_kept(const Frame& parent, py::handle node) {
        py::object child = py::reinterpret_borrow<py::object>(node);
        pending_.push_back({child, has_tokens(child) ? child : parent.anchor});
    }

    // Items of a comma-separated list: removed ones go with their commas, added ones
    // are written after the kept item before them (else before the one after them, else
    // between the brackets), an item put where another was removed takes its place.
    void comma_items(const Frame& frame, const std::vector<py::object>& old_items,
                     const std::vector<py::object>& new_items) {
        for (const py::object& item : old_items)
            if (!has_tokens(item)) throw CannotEdit();
        std::vector<py::object> kept;
        std::vector<Gap> gaps = align(old_items, new_items, &identical, &kept);
        for (const py::object& item : kept) visit_kept(frame, item);
        std::vector<Span> all;
        for (const py::object& item : old_items) all.push_back(span_of(item));
        auto span_at = [this](py::handle item) { return span_of(item); };
        for (Gap& gap : gaps) {
            std::vector<py::object> texts;
            for (const py::object& item : gap.added) texts.push_back(render(item));
            edit_gap(frame.node, gap, texts, all, span_at, true);
        }
    }

    // The edits of one gap of a list of items: an added item takes the place of an item
    // removed there (rendered whole), the other removed ones go in runs of neighbours,
    // the other added ones follow the last item replaced, else the kept item before the
    // gap, else they go before the one after it, else between the container's brackets.
    // `span_at` gives the span of an old item, or of the old item a kept new one is.
    template <typename SpanAt>
    void edit_gap(py::handle container, const Gap& gap, const std::vector<py::object>& texts,
                  const std::vector<Span>& all, SpanAt span_at, bool covers) {
        size_t paired = std::min(gap.removed.size(), gap.added.size());
        for (size_t i = 0; i < paired; ++i) {
            Span span = span_at(gap.removed[i]);
            add(start_of(span), end_of(span), texts[i], container, covers);
        }
        std::vector<Span> gone;
        for (size_t i = paired; i < gap.removed.size(); ++i) gone.push_back(span_at(gap.removed[i]));
        remove_runs(std::move(gone), all, container);
        std::vector<py::object> rest(texts.begin() + static_cast<std::ptrdiff_t>(paired), texts.end());
        if (rest.empty()) return;
        if (paired > 0) {
            insert_after(span_at(gap.removed[paired - 1]), rest, container);
        } else if (gap.before) {
            insert_after(span_at(gap.before), rest, container);
        } else if (gap.after) {
            insert_before(span_at(gap.after), rest, container);
        } else {
            insert_into_empty(container, rest);
        }
    }

    // Removes items, grouped into runs that stand next to each other among `all`.
    void remove_runs(std::vector<Span> gone, std::vector<Span> all, py::handle region_node) {
        if (gone.empty()) return;
        auto by_position = [](const Span& x, const Span& y) { return x.first < y.first; };
        std::sort(all.begin(), all.end(), by_position);
        std::sort(gone.begin(), gone.end(), by_position);
        auto position = [&all](const Span& s) {
            for (size_t i = 0; i < all.size(); ++i)
                if (all[i].first == s.first) return i;
            return all.size();
        };
        Span run = gone[0];
        size_t run_end = position(gone[0]);
        for (size_t k = 1; k < gone.size(); ++k) {
            size_t at = position(gone[k]);
            if (at == run_end + 1) {
                run.last = gone[k].last;
                run_end = at;
                continue;
            }
            remove_items(run, region_node);
            run = gone[k];
            run_end = at;
        }
        remove_items(run, region_node);
    }

    // --- statements ---------------------------------------------------------------------

    // Removes a statement: its whole lines, keeping their comments, or only its own text
    // with the semicolon that parts it from a statement sharing its line.
    void remove_statement(py::handle statement) {
        Restructuring restructuring(edits_);
        Span s = span_of(statement);
        long p = source_.prev_code(s.first);
        long n = source_.next_code(s.last);
        if (source_.op_is(p, ";") && source_.line(p) == source_.line(s.first)) {
            remove_inline(source_.startpos(p), source_.endpos(s.last), py::handle());
        } else if (source_.op_is(n, ";")) {
            long after = source_.next_code(n);
            Py_ssize_t to = after < source_.count() && source_.line(after) == source_.line(n)
                                ? source_.startpos(after)
                                : source_.endpos(n);
            remove_inline(source_.startpos(s.first), to, py::handle());
        } else {
            remove_lines(source_.line_start_at(source_.startpos(s.first)),
                         past_line(source_.endpos(s.last)), source_.indentation_of(s.first),
                         py::handle());
        }
    }

    // Rendered statements as whole lines at `indentation`, each ending in a line feed.
    py::str statement_lines(const std::vector<py::object>& statements, py::handle indentation) {
        py::list parts;
        for (const py::object& statement : statements) {
            py::object text = render(statement);
            parts.append(concat(indent_code(text, py::reinterpret_borrow<py::object>(indentation)),
                                py::str("\n")));
        }
        return join("", parts);
    }

    void insert_statements_after(py::handle statement, const std::vector<py::object>& added) {
        Restructuring restructuring(edits_);
        Span s = span_of(statement);
        py::str lines = statement_lines(added, source_.indentation_of(s.first));
        Py_ssize_t end = source_.line_end_at(source_.endpos(s.last));
        if (end < source_.length()) {
            add_inserted(end + 1, lines);
        } else {
            // the text ends without a line feed on this line
            add(end, end, py::str("\n"), py::handle());
            add_inserted(end, text_slice(lines, 0, PyUnicode_GET_LENGTH(lines.ptr()) - 1));
        }
    }

    void insert_statements_before(py::handle statement, const std::vector<py::object>& added) {
        Restructuring restructuring(edits_);
        Span s = span_of(statement);
        py::str lines = statement_lines(added, source_.indentation_of(s.first));
        add_inserted(source_.line_start_at(source_.startpos(s.first)), lines);
    }

    void body_items(const Frame& frame, const std::vector<py::object>& old_items,
                    const std::vector<py::object>& new_items) {
        for (const py::object& item : old_items)
            if (!has_tokens(item)) throw CannotEdit();
        bool module = is_a(frame.node, "Module");
        if (!module && new_items.empty()) {
            // a body may not be empty: an `else:` or a block would be left without one
            throw CannotEdit();
        }
        if (old_items.empty() && !module) throw CannotEdit();
        std::vector<py::object> kept;
        std::vector<Gap> gaps = align(old_items, new_items, &identical, &kept);
        for (const py::object& item : kept) visit_kept(frame, item);
        for (Gap& gap : gaps) {
            for (const py::object& statement : gap.removed) remove_statement(statement);
            if (gap.added.empty()) continue;
            if (!gap.removed.empty()) {
                insert_statements_after(gap.removed.back(), gap.added);
            } else if (gap.before) {
                insert_statements_after(gap.before, gap.added);
            } else if (gap.after) {
                insert_statements_before(gap.after, gap.added);
            } else {
                append_to_text(gap.added);
            }
        }
    }

    // Statements added to a module that held none: at the end of its text.
    void append_to_text(const std::vector<py::object>& added) {
        Restructuring restructuring(edits_);
        py::str lines = statement_lines(added, py::str(""));
        Py_ssize_t end = source_.length();
        if (end > 0 && char_at(source_.text(), end - 1) != '\n') add(end, end, py::str("\n"), py::handle());
        add_inserted(end, lines);
    }

    // --- plain fields ---------------------------------------------------------------------

    // Replaces the one token `index` with `text`.
    void replace_token(long index, py::handle text, py::handle region_node) {
        add(source_.startpos(index), source_.endpos(index), py::reinterpret_borrow<py::object>(text),
            region_node);
    }

    // Edits for changed plain fields that touch single tokens; false where the node has
    // to be rendered whole.
    bool plain_edits(const Frame& frame, py::handle entry, const std::vector<size_t>& changed) {
        py::handle node = frame.node;
        if (!has_tokens(node)) return false;
        const FieldNames& fields = field_names(node);
        size_t offset = fields.children.size();
        for (size_t j : changed) {
            const py::str& name = fields.plain[j];
            py::object now = node.attr(name);
            py::handle recorded(PyTuple_GET_ITEM(entry.ptr(), static_cast<Py_ssize_t>(offset + j)));
            long first = source_.index(node.attr(KORVANE_NAME("first_token")));
            long last = source_.index(node.attr(KORVANE_NAME("last_token")));
            if ((is_a(node, "Name") || is_a(node, "AssignName")) && is_text(name, "name") &&
                PyUnicode_Check(now.ptr()) && first == last) {
                replace_token(first, now, node);
            } else if (is_a(node, "Attribute") && is_text(name, "attrname") && PyUnicode_Check(now.ptr())) {
                replace_token(last, now, node);
            } else if (is_a(node, "Keyword") && is_text(name, "arg") && PyUnicode_Check(now.ptr()) &&
                       PyUnicode_Check(recorded.ptr())) {
                replace_token(first, now, node);
            } else if (is_a(node, "UnaryOp") && is_text(name, "op") && is_text(now, "") &&
                       is_text(recorded, "not")) {
                // `not` and the blanks after it go; brackets after it stay
                long next = first + 1;
                remove_inline(source_.startpos(first), source_.startpos(next), node);
            } else if ((is_a(node, "ImportFrom") || is_a(node, "Import")) && is_text(name, "names")) {
                if (!import_names(frame, recorded, now)) return false;
            } else {
                return false;
            }
        }
        return true;
    }

    // The names of an import as token spans: `name`, `a.b`, `name as alias`.
    std::vector<Span> import_spans(py::handle node) {
        long first = source_.index(node.attr(KORVANE_NAME("first_token")));
        long last = source_.index(node.attr(KORVANE_NAME("last_token")));
        long i = first;
        while (i <= last && !is_text(source_.string(i), "import")) ++i;
        std::vector<Span> spans;
        long j = source_.next_code(i);
        if (source_.op_is(j, "(")) j = source_.next_code(j);
        while (j <= last) {
            Span span{j, j};
            long k = source_.next_code(j);
            while (k <= last && (source_.op_is(k, ".") || (source_.op_is(span.last, ".")))) {
                span.last = k;
                k = source_.next_code(k);
            }
            if (k <= last && is_text(source_.string(k), "as")) {
                span.last = source_.next_code(k);
                k = source_.next_code(span.last);
            }
            spans.push_back(span);
            if (!source_.op_is(k, ",")) break;
            j = source_.next_code(k);
            if (j > last || source_.op_is(j, ")")) break;
        }
        return spans;
    }

    static py::str import_text(py::handle pair) {
        py::object name = pair[py::int_(0)];
        py::object alias = pair[py::int_(1)];
        if (alias.is_none()) return py::str(name);
        return concat(concat(py::str(name), py::str(" as ")), py::str(alias));
    }

    // The edits of an import's names, one name at a time.
    bool import_names(const Frame& frame, py::handle recorded, py::handle now) {
        Restructuring restructuring(edits_);
        std::vector<py::object> old_items = items_of(recorded), new_items = items_of(now);
        if (new_items.empty()) return false;
        for (const py::object& pair : old_items)
            if (is_text(pair[py::int_(0)], "*")) return false;
        std::vector<Span> spans = import_spans(frame.node);
        if (spans.size() != old_items.size()) return false;
        // Removed pairs are old ones; the kept pairs around a gap are new ones, equal to
        // old ones: either finds its old name's span.
        auto span_at = [&](py::handle pair) {
            for (size_t i = 0; i < old_items.size(); ++i)
                if (old_items[i].ptr() == pair.ptr()) return spans[i];
            for (size_t i = 0; i < old_items.size(); ++i)
                if (equals(old_items[i], pair)) return spans[i];
            return spans[0];
        };
        std::vector<py::object> kept;
        std::vector<Gap> gaps = align(old_items, new_items, &equal_values, &kept);
        for (Gap& gap : gaps) {
            std::vector<py::object> texts;
            for (const py::object& pair : gap.added) texts.push_back(import_text(pair));
            edit_gap(frame.node, gap, texts, spans, span_at, false);
        }
        return true;
    }

    // --- the walk ---------------------------------------------------------------------

    void visit(const Frame& frame) {
        py::handle node = frame.node;
        PyObject* raw_entry = PyDict_GetItemWithError(unchanged_.record().ptr(), node.ptr());
        if (!raw_entry) {
            if (PyErr_Occurred()) throw py::error_already_set();
            throw CannotEdit();
        }
        py::object entry = py::reinterpret_borrow<py::object>(raw_entry);
        const FieldNames& fields = field_names(node);
        size_t offset = fields.children.size();

        std::vector<size_t> changed;
        for (size_t j = 0; j < fields.plain.size(); ++j) {
            py::handle recorded(PyTuple_GET_ITEM(entry.ptr(), static_cast<Py_ssize_t>(offset + j)));
            py::object now = getattr_or_null(node, fields.plain[j]);
            if (!now) now = py::none();
            if (!plain_value_same(recorded, now)) changed.push_back(j);
        }
        if (!changed.empty() && !plain_edits(frame, entry, changed)) throw CannotEdit();

        bool call = is_a(node, "Call");
        for (size_t i = 0; i < fields.children.size(); ++i) {
            const py::str& name = fields.children[i];
            py::handle recorded(PyTuple_GET_ITEM(entry.ptr(), static_cast<Py_ssize_t>(i)));
            py::object now = getattr_or_null(node, name);
            if (!now) now = py::none();
            if (call && is_text(name, "keywords")) continue;  // with the arguments
            if (call && is_text(name, "args")) {
                py::handle recorded_keywords = recorded_field(entry, fields, "keywords");
                std::vector<py::object> old_items = items_of(recorded), new_items = items_of(now);
                for (py::object& k : items_of(recorded_keywords)) old_items.push_back(k);
                for (py::object& k : items_of(node.attr(KORVANE_NAME("keywords")))) new_items.push_back(k);
                comma_items(frame, old_items, new_items);
                continue;
            }
            if (is_recorded_sequence(recorded)) {
                if (!PyList_Check(now.ptr()) && !PyTuple_Check(now.ptr())) throw CannotEdit();
                std::vector<py::object> old_items = items_of(recorded), new_items = items_of(now);
                bool same = old_items.size() == new_items.size();
                for (size_t k = 0; same && k < old_items.size(); ++k)
                    same = old_items[k].ptr() == new_items[k].ptr();
                if (same) {
                    for (const py::object& item : old_items) {
                        if (PyTuple_Check(item.ptr())) {
                            for (py::handle part : item)
                                if (is_node(part)) visit_kept(frame, part);
                        } else if (is_node(item)) {
                            visit_kept(frame, item);
                        }
                    }
                    continue;
                }
                bool pairs = false;
                for (const py::object& item : old_items) pairs = pairs || PyTuple_Check(item.ptr());
                for (const py::object& item : new_items) pairs = pairs || PyTuple_Check(item.ptr());
                if (pairs) throw CannotEdit();
                if ((is_a(node, "List") || is_a(node, "Tuple") || is_a(node, "Set")) &&
                    is_text(name, "elts")) {
                    if (is_a(node, "Tuple") && new_items.size() < 2 && old_items.size() >= 2)
                        throw CannotEdit();  // one item would need its trailing comma
                    comma_items(frame, old_items, new_items);
                } else if (is_body_field(name)) {
                    body_items(frame, old_items, new_items);
                } else {
                    throw CannotEdit();
                }
                continue;
            }
            if (now.ptr() == recorded.ptr()) {
                if (!recorded.is_none()) visit_kept(frame, recorded);
                continue;
            }
            if (recorded.is_none() || now.is_none() || !has_tokens(recorded)) throw CannotEdit();
            py::object text = render(now);
            if (needs_brackets(node, now, recorded))
                text = concat(concat(py::str("("), text), py::str(")"));
            Span span = span_of(recorded);
            add(start_of(span), end_of(span), text, node, true);
        }
    }

    static py::handle recorded_field(py::handle entry, const FieldNames& fields, const char* name) {
        for (size_t k = 0; k < fields.children.size(); ++k)
            if (is_text(fields.children[k], name))
                return PyTuple_GET_ITEM(entry.ptr(), static_cast<Py_ssize_t>(k));
        return py::none();
    }

    static bool is_node(py::handle value) {
        return korvane::isinstance(value, KORVANE_IMPORTED("astroid.nodes", "NodeNG"));
    }

    static bool plain_value_same(py::handle recorded, py::handle now) {
        if (recorded.ptr() == now.ptr()) return true;
        if (PyTuple_Check(recorded.ptr()) && PyList_Check(now.ptr())) {
            py::object items = py::reinterpret_steal<py::object>(PyList_AsTuple(now.ptr()));
            if (!items) throw py::error_already_set();
            return equals(recorded, items);
        }
        if (Py_TYPE(recorded.ptr()) != Py_TYPE(now.ptr())) return false;
        return equals(recorded, now);
    }

  public:
    // Whether edit k renders a node whole, so that edits inside its range are part of it.
    bool covers(size_t k) const { return covers_[k]; }

  private:
    py::object atok_;
    Source source_;
    Unchanged& unchanged_;
    std::vector<Frame> pending_;
    std::vector<Edit> edits_;
    std::vector<bool> covers_;
    int order_ = 0;
};

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
    EditFinder finder(atok, unchanged);
    std::vector<Edit> found = finder.find(root);
    // An edit inside the range of a node rendered whole is part of that rendering.
    std::vector<size_t> order(found.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::vector<Edit> kept;
    for (size_t i = 0; i < found.size(); ++i) {
        bool inside = false;
        for (size_t k = 0; k < found.size() && !inside; ++k) {
            if (k == i || !finder.covers(k)) continue;
            const Edit& outer = found[k];
            const Edit& e = found[i];
            bool within = outer.start <= e.start && e.end <= outer.end;
            bool at_edge = e.start == e.end && (e.start == outer.start || e.start == outer.end);
            bool same_range = e.start == outer.start && e.end == outer.end;
            if (within && !at_edge && (!same_range || (finder.covers(i) ? k < i : true)))
                inside = true;
        }
        if (!inside) kept.push_back(found[i]);
    }
    std::stable_sort(kept.begin(), kept.end(), [](const Edit& a, const Edit& b) {
        if (a.start != b.start) return a.start < b.start;
        // at one place: insertions first, in the order they were made
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
