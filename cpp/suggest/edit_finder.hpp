// The edit finder's parts, shared by the files that make its edits: the original text
// read by tokens, and the finder that walks the fixed tree against its record.
//
// source_edits.cpp walks the tree and edits changed names and children;
// item_edits.cpp edits lists of items (arguments, elements, dict items, operands,
// import names); statement_edits.cpp edits bodies of statements; fstring_edits.cpp
// edits the replacement fields of f-strings.
#pragma once

#include "source_edits.hpp"

#include <korvane/text.hpp>

#include "token_lines.hpp"

#include <exception>
#include <functional>
#include <vector>

namespace korvane::suggest {

// A change that the finder cannot edit in place (an edit would lose a comment, or the
// change is of a kind it has no small edit for): the enclosing node is rendered whole
// instead.  Never leaves the finder.
struct CannotEdit : std::exception {};

// A fix that cannot be written in the text at all (a new expression that its f-string
// cannot hold): the statement is put back as it was, with the reason.  Never leaves
// tree_edits.
struct Unwritable : std::exception {
    py::object statement;
    py::str reason;
};

inline Py_UCS4 char_at(py::handle text, Py_ssize_t i) { return PyUnicode_READ_CHAR(text.ptr(), i); }

bool is_a(py::handle node, const char* cls);
py::object token_mark(py::handle node, const char* which);
inline bool has_tokens(py::handle node) { return bool(token_mark(node, "first_token")); }
bool is_node(py::handle value);

// The original text and its tokens, read by index.
class Source {
  public:
    explicit Source(py::handle atok);

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
    long index(py::handle token) const { return index_of(token); }
    long first_of(py::handle node) const { return index(node.attr(KORVANE_NAME("first_token"))); }
    long last_of(py::handle node) const { return index(node.attr(KORVANE_NAME("last_token"))); }

    // The next token after i that is code (no comment or line break); count() if none.
    long next_code(long i) const;
    // The previous token before i that is code; -1 if none.  With `statements`, the
    // line breaks and indentation between statements are passed over too.
    long prev_code(long i, bool statements = false) const;
    // Whether only blanks stand before token i on its line, and no backslash at the
    // end of the line before continues that one onto it.
    bool starts_line(long i) const;
    // Whether nothing but a comment follows token i on its line, and no backslash
    // continues the line.
    bool ends_line(long i) const;

    Py_ssize_t line_start_at(Py_ssize_t pos) const { return line_start(text_, pos); }
    Py_ssize_t line_end_at(Py_ssize_t pos) const { return line_end(text_, pos); }
    // The end of the line holding `pos`, past its line feed when it has one.
    Py_ssize_t past_line(Py_ssize_t pos) const;
    // The blanks before token i on its line.
    py::str indentation_of(long i) const;
    // The comments whose text starts within from..to.
    std::vector<py::object> comments_within(Py_ssize_t from, Py_ssize_t to) const;

  private:
    bool is_layout(long j, bool statements) const;

    py::object text_;
    py::list tokens_;
    long count_ = 0;
};

// Token indices of an item's first and last token.
struct Span {
    long first;
    long last;
};

// A step of the walk: a node of the recorded tree, the nearest node at or above it
// that carries token marks, and, for a node inside an f-string (none of which carry
// marks), the replacement field of that string that holds it.
struct Frame {
    py::object node;
    py::object anchor;
    py::object field;
};

// One stretch of an item list between two items kept in place: the old items removed
// there and the new ones put there (indices into the old and new lists), and the kept
// old items around it (-1 for none).
struct Gap {
    std::vector<size_t> removed;
    std::vector<size_t> added;
    long before = -1;
    long after = -1;
};

// Two item lists aligned: the pairs (old, new) kept in place, and the gaps.
struct Alignment {
    std::vector<std::pair<size_t, size_t>> kept;
    std::vector<Gap> gaps;
};

using Same = bool (*)(py::handle, py::handle);
Alignment align(const std::vector<py::object>& old_items, const std::vector<py::object>& new_items,
                Same same);

// The items of a list value (none for None).
std::vector<py::object> items_of(py::handle value);

// A list of items of one container as the finder edits it: the old items' spans and
// the texts of the new items that are written as added.  Items are parted by commas,
// or by an operator: `separator` between operands of `and`/`or`; the pairs of a
// comparison carry their operator in their own spans and texts, and follow `lead`,
// the comparison's left side.
struct ItemList {
    py::handle container;
    std::vector<Span> spans;
    std::vector<py::object> texts;
    bool commas = true;
    bool covers = false;  // an item written in another's place renders a node whole
    bool restructures = false;  // an item written in another's place lays the list out anew
    py::object separator;
    Span lead{-1, -1};
    // Puts new item n where old item o stood; unset, the text of n replaces o's span.
    std::function<void(size_t, size_t)> replace;
};

bool identical_nodes(py::handle a, py::handle b);
// Whether two item lists hold the same items: the same nodes, or pairs of the same
// parts (the tree library rebuilds a list of pairs around a changed part).
bool same_items(const std::vector<py::object>& old_items, const std::vector<py::object>& new_items);
// Whether a node renders as an atom, which no operator around it splits.
bool is_atom(py::handle node);

class EditFinder {
  public:
    EditFinder(py::handle atok, Unchanged& unchanged);
    std::vector<Edit> find(py::handle root);

  private:
    // Where a field's expression stands: start..end in the text, in string token
    // `token`; the field is the `index`-th of its string.
    struct FieldPlace {
        Py_ssize_t start;
        Py_ssize_t end;
        long token;
        long index;
        bool shows_expression;  // `{x=}`
    };

    // --- source_edits.cpp: the walk, children, names ---------------------------------
    py::object record_entry(py::handle node);
    void visit(const Frame& frame);
    void visit_kept(const Frame& parent, py::handle node);
    void plain_fields(const Frame& frame, py::handle entry);
    void child_field(const Frame& frame, py::handle entry, size_t i);
    void sequence_field(const Frame& frame, py::handle name, py::handle recorded, py::handle now);
    void single_child(const Frame& frame, py::handle recorded, py::handle now);
    void replace_child(py::handle parent, py::handle old, py::handle now);
    void replace_node(const Frame& frame);
    py::object render(py::handle node);
    py::object bracketed(py::handle parent, py::handle child, py::handle old);
    bool needs_brackets(py::handle parent, py::handle child, py::handle old);
    Span span_of(py::handle node);
    Span wrapped(Span span) const;
    Py_ssize_t start_of(const Span& s) const { return source_.startpos(s.first); }
    Py_ssize_t end_of(const Span& s) const { return source_.endpos(s.last); }
    void replace_token(long index, py::handle text, py::handle region_node);
    bool plain_edit(const Frame& frame, py::handle name, py::handle recorded, py::handle now);

    void add(Py_ssize_t start, Py_ssize_t end, py::object text, py::handle region_node,
             bool covers = false, bool restructures = false);
    void add_inserted(Py_ssize_t at, py::object text);
    void remove_inline(Py_ssize_t from, Py_ssize_t to, py::handle region_node,
                       bool restructures = true);
    void remove_lines(Py_ssize_t from, Py_ssize_t to, py::handle indentation,
                      py::handle region_node);
    bool stands_on_own_lines(py::handle node);
    void set_region(Edit& edit, py::handle node);
    bool statement_region(Edit& edit, py::handle statement);

    // --- item_edits.cpp: lists of items -----------------------------------------------
    void visit_kept_items(const Frame& frame, const std::vector<py::object>& items);
    void call_arguments(const Frame& frame, py::handle entry, py::handle recorded, py::handle now);
    void comma_items(const Frame& frame, const std::vector<py::object>& old_items,
                     const std::vector<py::object>& new_items);
    void dict_items(const Frame& frame, const std::vector<py::object>& old_items,
                    const std::vector<py::object>& new_items);
    void kept_pair(const Frame& frame, py::handle old_pair, py::handle new_pair);
    Span pair_span(py::handle pair);
    py::object pair_text(py::handle pair);
    void bool_operands(const Frame& frame, const std::vector<py::object>& old_items,
                       const std::vector<py::object>& new_items);
    void compare_operands(const Frame& frame, const std::vector<py::object>& old_items,
                          const std::vector<py::object>& new_items);
    Span comparison_span(py::handle pair);
    py::object comparison_text(py::handle compare, py::handle pair);
    void replace_comparison(const Frame& frame, py::handle old_pair, py::handle new_pair);
    bool import_names(const Frame& frame, py::handle recorded, py::handle now);
    std::vector<Span> import_spans(py::handle node);

    void edit_gaps(ItemList& list, const Alignment& alignment);
    void edit_gap(ItemList& list, const Gap& gap);
    void remove_runs(const ItemList& list, std::vector<size_t> gone);
    void remove_items(const Span& run, py::handle region_node);
    void remove_items_with_comma(long a, long n, py::handle region_node);
    void insert_after(const Span& anchor, const std::vector<py::object>& texts,
                      py::handle region_node);
    void insert_lines_after(const Span& anchor, const std::vector<py::object>& texts, bool comma,
                            py::handle region_node);
    void insert_before(const Span& next, const std::vector<py::object>& texts,
                       py::handle region_node);
    void insert_into_empty(py::handle container, const std::vector<py::object>& texts);
    void remove_operands(const ItemList& list, const Span& run, long previous, long next);
    void insert_operands(const ItemList& list, long anchor, long after,
                         const std::vector<py::object>& texts);

    // --- statement_edits.cpp: bodies --------------------------------------------------
    void body_items(const Frame& frame, const std::vector<py::object>& old_items,
                    const std::vector<py::object>& new_items);
    bool remove_statement(py::handle statement);
    py::str statement_lines(const std::vector<py::object>& statements, py::handle indentation);
    py::str block_indentation(const std::vector<py::object>& body);
    void refuse_shared_line(long last);
    void insert_statements_after(py::handle statement, const std::vector<py::object>& added,
                                 py::handle indentation, bool lines_gone);
    void insert_statements_before(py::handle statement, const std::vector<py::object>& added);
    void append_to_text(const std::vector<py::object>& added);

    // --- fstring_edits.cpp: replacement fields ------------------------------------------
    void field_edit(const Frame& frame);
    void check_field_format(py::handle string_node, py::handle field);
    FieldPlace field_place(py::handle string_node, py::handle field);
    void check_writable(py::handle string_node, py::handle field, const FieldPlace& place,
                        py::handle expression);
    [[noreturn]] void unwritable(py::handle string_node, py::handle field, py::handle expression,
                                 const char* why);

    py::object atok_;
    Source source_;
    Unchanged& unchanged_;
    std::vector<Frame> pending_;
    std::vector<Edit> edits_;
    int order_ = 0;
};

}  // namespace korvane::suggest
