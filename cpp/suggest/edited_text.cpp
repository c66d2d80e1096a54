// The text of a token view as the fixes left its tree: the original text with the
// edits of source_edits.cpp applied, and, on request, the statements whose layout an
// edit changed formatted in a code style.  Both roads take their fixed code from
// here: a suggestion the text of one statement, the fix road the whole module, so a
// statement reads the same on both.
//
// A touched statement keeps its lines as they were unless an edit inserted or removed
// an item or a statement in it, or made one of its lines too long; a compound
// statement's header is formatted without its body; and nothing the original keeps
// the formatter off (`# fmt: off` .. `# fmt: on`, `# fmt: skip`) is formatted.
//
// Every comment of the original survives: the edits never take one, and formatting
// keeps them.  The text that comes back is compared with the original for that, and
// a comment that went missing anyway is an error (`LostCommentError`), never a text
// without it.
#include "source_edits.hpp"

#include <korvane/text.hpp>

#include "token_lines.hpp"

#include <algorithm>
#include <optional>

namespace korvane::suggest {

namespace {

struct EditedState {
    py::object lost_comment_error;
};

EditedState& edited_state() {
    static auto* s = new EditedState();
    return *s;
}

Py_ssize_t length_of(py::handle text) { return PyUnicode_GET_LENGTH(text.ptr()); }

// A comment as it is compared: without its hash signs and the blanks around its
// words, since the formatter writes `#note` as `# note`.
py::object comment_key(py::handle comment) {
    return comment.attr("lstrip")("#").attr("strip")();
}

// The comments of a text, each with how often it occurs; raises ValueError when the
// text does not tokenize.
py::dict comments_in(py::handle text) {
    static py::object& generate = keep(py::module_::import("tokenize").attr("generate_tokens"));
    static py::object& string_io = keep(py::module_::import("io").attr("StringIO"));
    static py::object& comment_type = keep(py::module_::import("token").attr("COMMENT"));
    static py::object& token_error = keep(py::module_::import("tokenize").attr("TokenError"));
    py::dict counts;
    try {
        for (py::handle token : generate(string_io(text).attr("readline"))) {
            if (!equals(token.attr("type"), comment_type)) continue;
            py::object key = comment_key(token.attr("string"));
            counts[key] = py::int_(py::cast<long>(counts.attr("get")(key, 0)) + 1);
        }
    } catch (py::error_already_set& e) {
        if (!e.matches(token_error) && !e.matches(PyExc_SyntaxError)) throw;
        PyErr_SetString(PyExc_ValueError, "the fixed code does not tokenize");
        throw py::error_already_set();
    }
    return counts;
}

// Raises LostCommentError when a comment of the original range is missing from the
// new text.
void check_comments(py::handle atok, Py_ssize_t from, Py_ssize_t to, py::handle new_text) {
    py::dict have = comments_in(new_text);
    py::list tokens = tokens_of(atok);
    py::dict needed;
    for (py::handle token : tokens) {
        if (!is_comment(token)) continue;
        Py_ssize_t at = as_long(token.attr(KORVANE_NAME("startpos")));
        if (at < from || at >= to) continue;
        py::object key = comment_key(token.attr(KORVANE_NAME("string")));
        long count = py::cast<long>(needed.attr("get")(key, 0)) + 1;
        needed[key] = py::int_(count);
        if (py::cast<long>(have.attr("get")(key, 0)) < count) {
            py::str message = py::str("a fix would drop the comment {!r} of line {}")
                                  .format(token.attr(KORVANE_NAME("string")),
                                          token.attr(KORVANE_NAME("start"))[py::int_(0)]);
            PyErr_SetObject(edited_state().lost_comment_error.ptr(), message.ptr());
            throw py::error_already_set();
        }
    }
}

// The blanks that start a text.
py::str leading_blanks(py::handle text) {
    Py_ssize_t n = length_of(text), i = 0;
    while (i < n && is_blank(PyUnicode_READ_CHAR(text.ptr(), i))) ++i;
    return text_slice(text, 0, i);
}

}  // namespace

py::str dedented(py::handle code, py::handle indentation) {
    py::list lines = code.attr("split")("\n");
    std::vector<bool> inside = lines_inside_strings(code, lines.size());
    Py_ssize_t width = length_of(indentation);
    for (size_t i = 0; i < lines.size(); ++i) {
        if (inside[i + 1]) continue;
        py::object line = lines[i];
        if (truthy(line.attr("startswith")(indentation))) {
            lines[i] = text_slice(line, width, length_of(line));
        } else {
            lines[i] = line.attr("lstrip")(" \t\f");
        }
    }
    return join("\n", lines);
}

namespace {

// The stand-in body that lets the formatter take a compound statement's header alone.
const char* const kStandInBody = "    pass";

// Whether `code` holds an `elif` header after its `indent` blanks.
bool is_elif_header(py::handle code, Py_ssize_t indent) {
    py::str word = text_slice(code, indent, std::min(length_of(code), indent + 5));
    if (length_of(word) < 5 || !is_text(text_slice(word, 0, 4), "elif")) return false;
    Py_UCS4 next = PyUnicode_READ_CHAR(word.ptr(), 4);
    return !(next == '_' || Py_UNICODE_ISALNUM(next));
}

// The line length of a code style: its own, else the formatter's default.
long line_length_of(py::handle code_style) {
    py::object style = py::module_::import("builtins").attr("dict")(code_style);
    return py::cast<long>(
        style.attr("get")("line_length", import_attr("black", "DEFAULT_LINE_LENGTH")));
}

// The code style for code formatted where it stands: its lines hold its indentation,
// and the last one what follows it there, too.
py::object style_at(py::handle code_style, py::handle indentation, Py_ssize_t trailer) {
    py::object style = py::module_::import("builtins").attr("dict")(code_style);
    long room = std::max<long>(1, line_length_of(code_style) -
                                      static_cast<long>(length_of(indentation) + trailer));
    style[py::str("line_length")] = py::int_(room);
    return style;
}

}  // namespace

py::object format_statement(py::handle code, py::handle code_style, py::handle target,
                            Py_ssize_t trailer) {
    py::str indentation = leading_blanks(code);
    return state().module.attr("format_code")(dedented(code, indentation), indentation,
                                              style_at(code_style, indentation, trailer), target);
}

namespace {

// One region of the edited text formatted; the region as it is when the formatter
// cannot take a header alone (it refuses it, or takes the stand-in body elsewhere),
// and, unless `strict`, when it refuses other code (code it cannot parse).  With
// `strict` the formatter's errors on any other region propagate.
py::object formatted_region(py::handle code, bool header, py::handle code_style, py::handle target,
                            Py_ssize_t trailer, bool strict) {
    py::str indentation = leading_blanks(code);
    // An `elif` header does not parse alone: it is formatted as an `if`, two columns
    // narrower, and gets its keyword back.
    bool elif = header && is_elif_header(code, length_of(indentation));
    py::object input = elif ? concat(indentation, text_slice(code, length_of(indentation) + 2, length_of(code)))
                            : py::reinterpret_borrow<py::object>(code);
    if (header) input = concat(concat(input, py::str("\n")), concat(indentation, py::str(kStandInBody)));
    py::object formatted;
    try {
        formatted = format_statement(input, code_style, target, trailer + (elif ? 2 : 0));
    } catch (py::error_already_set& e) {
        if ((strict && !header) || !is_ordinary(e)) throw;
        state().logger.attr("debug")(py::str("Left unformatted: {}").format(e.value()));
        return py::reinterpret_borrow<py::object>(code);
    }
    if (!header) return formatted;
    py::str stand_in = concat(py::str("\n"), concat(indentation, py::str(kStandInBody)));
    if (!truthy(formatted.attr("endswith")(stand_in))) return py::reinterpret_borrow<py::object>(code);
    py::str kept = text_slice(formatted, 0, length_of(formatted) - length_of(stand_in));
    if (!elif) return std::move(kept);
    return concat(concat(indentation, py::str("el")), text_slice(kept, length_of(indentation), length_of(kept)));
}

// The regions in text order, overlapping ones merged.
std::vector<Region> merged(std::vector<Region> regions) {
    std::sort(regions.begin(), regions.end(),
              [](const Region& a, const Region& b) { return a.start < b.start; });
    std::vector<Region> out;
    for (const Region& r : regions) {
        if (!out.empty() && r.start <= out.back().end) {
            Region& last = out.back();
            if (r.end >= last.end) last.trailer = r.trailer;
            last.end = std::max(last.end, r.end);
            last.header = last.header && r.header;
            last.restructures = last.restructures || r.restructures;
            last.original_start = std::min(last.original_start, r.original_start);
            last.original_end = std::max(last.original_end, r.original_end);
            continue;
        }
        out.push_back(r);
    }
    return out;
}

// The width of the longest line holding a character of from..to.
Py_ssize_t longest_line(py::handle text, Py_ssize_t from, Py_ssize_t to) {
    Py_ssize_t widest = 0;
    Py_ssize_t stop = line_end(text, to);
    for (Py_ssize_t at = line_start(text, from);; ) {
        Py_ssize_t end = line_end(text, at);
        widest = std::max(widest, end - at);
        if (end >= stop) return widest;
        at = end + 1;
    }
}

// What a comment asks of the formatter, as the formatter reads it.
enum class FormatterPragma { none, off, on, skip };

FormatterPragma formatter_pragma(py::handle comment) {
    py::object words = comment.attr("lstrip")("#").attr("strip")();
    for (const char* off : {"fmt: off", "fmt:off", "yapf: disable"})
        if (is_text(words, off)) return FormatterPragma::off;
    for (const char* on : {"fmt: on", "fmt:on", "yapf: enable"})
        if (is_text(words, on)) return FormatterPragma::on;
    for (const char* skip : {"fmt: skip", "fmt:skip"})
        if (is_text(words, skip)) return FormatterPragma::skip;
    return FormatterPragma::none;
}

// Where the original text keeps the formatter off: from each `# fmt: off` to the next
// `# fmt: on` (or the end of the text), and the lines that carry `# fmt: skip`.  In
// offsets of the original text.
class FormatterOff {
  public:
    FormatterOff(py::handle atok, py::handle text) : text_(py::reinterpret_borrow<py::object>(text)) {
        Py_ssize_t off_from = -1;
        for (py::handle token : tokens_of(atok)) {
            if (!is_comment(token)) continue;
            Py_ssize_t at = as_long(token.attr(KORVANE_NAME("startpos")));
            FormatterPragma pragma = formatter_pragma(token.attr(KORVANE_NAME("string")));
            if (pragma == FormatterPragma::off && off_from < 0) off_from = at;
            if (pragma == FormatterPragma::on && off_from >= 0) {
                stretches_.push_back({off_from, at});
                off_from = -1;
            }
            if (pragma == FormatterPragma::skip) skips_.push_back(at);
        }
        if (off_from >= 0) stretches_.push_back({off_from, length_of(text)});
    }

    // Whether a region's original lines (an inserted region's place) lie where the
    // formatter is kept off.
    bool covers(const Region& r) const {
        if (r.original_start < r.original_end) return covers_lines(r.original_start, r.original_end);
        return covers_between(r.original_start, r.original_end);
    }

    // Whether the lines that hold from..to of the original lie where it is kept off.
    bool covers_lines(Py_ssize_t from, Py_ssize_t to) const {
        return covers_between(line_start(text_, from), line_end(text_, to));
    }

  private:
    bool covers_between(Py_ssize_t from, Py_ssize_t to) const {
        for (const auto& stretch : stretches_)
            if (stretch.first <= to && stretch.second > from) return true;
        for (Py_ssize_t at : skips_)
            if (from <= at && at <= to) return true;
        return false;
    }

    py::object text_;
    std::vector<std::pair<Py_ssize_t, Py_ssize_t>> stretches_;
    std::vector<Py_ssize_t> skips_;
};

// What decides which regions of an edited text are formatted, and how.
struct Formatting {
    py::handle original;  // the text before the edits
    py::handle code_style;
    py::object target;
    FormatterOff off;
    bool strict;  // the formatter's errors propagate

    Formatting(py::handle atok, py::handle text, py::handle style, bool strict_errors)
        : original(text),
          code_style(style),
          target(state().module.attr("get_comma_character_target")(text)),
          off(atok, text),
          strict(strict_errors) {}
};

// The string literals of a piece of code, as offsets in it, in order: those before
// the place where it stops tokenizing (a piece may end inside brackets).
std::vector<std::pair<Py_ssize_t, Py_ssize_t>> literals_in(py::handle code) {
    static py::object& generate = keep(py::module_::import("tokenize").attr("generate_tokens"));
    static py::object& string_io = keep(py::module_::import("io").attr("StringIO"));
    static py::object& string_type = keep(py::module_::import("token").attr("STRING"));
    static py::object& token_error = keep(py::module_::import("tokenize").attr("TokenError"));
    std::vector<Py_ssize_t> line_starts{0};
    for (Py_ssize_t i = 0, n = length_of(code); i < n; ++i)
        if (PyUnicode_READ_CHAR(code.ptr(), i) == '\n') line_starts.push_back(i + 1);
    auto offset = [&line_starts](py::handle position) {
        auto row = py::cast<size_t>(position[py::int_(0)]);
        return line_starts[std::min(row, line_starts.size()) - 1] + as_long(position[py::int_(1)]);
    };
    std::vector<std::pair<Py_ssize_t, Py_ssize_t>> found;
    try {
        for (py::handle token : generate(string_io(code).attr("readline"))) {
            if (!equals(token.attr("type"), string_type)) continue;
            found.push_back({offset(token.attr("start")), offset(token.attr("end"))});
        }
    } catch (py::error_already_set& e) {
        if (!e.matches(token_error) && !e.matches(PyExc_SyntaxError)) throw;
    }
    return found;
}

// An edit's text with each string literal that it brings in written in the file's
// quote.  A literal that the text it replaces holds as written is one the edit kept,
// and stays as it is.
py::object quoted_as_the_file(py::handle text, py::handle replaced, py::handle target) {
    py::object out = py::reinterpret_borrow<py::object>(text);
    auto literals = literals_in(text);
    for (auto it = literals.rbegin(); it != literals.rend(); ++it) {
        py::str literal = text_slice(text, it->first, it->second);
        int kept = PySequence_Contains(replaced.ptr(), literal.ptr());
        if (kept < 0) throw py::error_already_set();
        if (kept) continue;
        py::object written = state().module.attr("normalize_string_quotes")(target, literal);
        if (equals(written, literal)) continue;
        out = concat(concat(text_slice(out, 0, it->first), written),
                     text_slice(out, it->second, length_of(out)));
    }
    return out;
}

// The literals the edits bring in, in the file's quote, except where the original
// keeps the formatter off, and inside an f-string's field, whose literals must keep a
// quote other than the string's own.  A region the formatter takes gets the same from
// it; one it leaves alone would otherwise keep the rendering's own quote.
void quote_new_literals(std::vector<Edit>& edits, py::handle text, const Formatting& f) {
    for (Edit& edit : edits) {
        if (length_of(edit.text) == 0 || edit.inside_string) continue;
        if (f.off.covers_lines(edit.start, edit.end)) continue;
        edit.text = quoted_as_the_file(edit.text, text_slice(text, edit.start, edit.end), f.target);
    }
}

// Whether a region gets a new layout: never where the original keeps the formatter
// off; else where an edit in it inserted or removed an item or a statement, or where
// its longest line became longer than the code style's line length (and than it was).
// Any other edit keeps the lines as they were.
bool wants_layout(const Formatting& f, py::handle text, const Region& r) {
    if (f.off.covers(r)) return false;
    if (r.restructures) return true;
    Py_ssize_t widest = longest_line(text, r.start, r.end);
    return widest > line_length_of(f.code_style) &&
           widest > longest_line(f.original, r.original_start, r.original_end);
}

py::object format_regions(py::object text, std::vector<Region> regions, const Formatting& f) {
    std::vector<Region> parts = merged(std::move(regions));
    for (auto it = parts.rbegin(); it != parts.rend(); ++it) {
        if (!wants_layout(f, text, *it)) continue;
        py::str code = text_slice(text, it->start, it->end);
        py::object formatted =
            formatted_region(code, it->header, f.code_style, f.target, it->trailer, f.strict);
        if (equals(formatted, code)) continue;
        text = concat(concat(text_slice(text, 0, it->start), formatted),
                      text_slice(text, it->end, length_of(text)));
    }
    return text;
}

// One statement of the edited text: from its first token to the end of its last line,
// its touched regions formatted when there is a code style (`f`).  The comments are
// checked on its whole lines, at their indentation.
py::object statement_text(py::handle atok, py::handle node, py::handle text, py::object result,
                          const std::vector<Edit>& edits, std::vector<Region> regions,
                          const Formatting* f) {
    py::object first = node.attr(KORVANE_NAME("first_token")), last = node.attr(KORVANE_NAME("last_token"));
    Py_ssize_t from = as_long(first.attr(KORVANE_NAME("startpos")));
    Py_ssize_t to = line_end(text, as_long(last.attr(KORVANE_NAME("endpos"))));
    Py_ssize_t lead = from - line_start(text, from);  // what stands before it on its line
    Py_ssize_t block_start = mapped_offset(edits, from, false) - lead;
    Py_ssize_t block_end = mapped_offset(edits, to, true);
    bool blank_lead = length_of(leading_blanks(text_slice(text, from - lead, from))) == lead;
    if (f && blank_lead) {
        std::vector<Region> inside;
        for (const Region& r : regions)
            if (block_start <= r.start && r.end <= block_end) inside.push_back(r);
        Py_ssize_t before = length_of(result);
        result = format_regions(result, std::move(inside), *f);
        block_end += length_of(result) - before;
    }
    py::str lines = text_slice(result, block_start, block_end);
    check_comments(atok, from - lead, to, lines);
    return text_slice(lines, lead, length_of(lines));
}

py::object edited_text(py::object atok, py::object node, py::object code_style) {
    py::dict record = record_of(atok);
    Unchanged unchanged(record);
    py::object text = atok.attr(KORVANE_NAME("text"));
    if (PyUnicode_READY(text.ptr()) < 0) throw py::error_already_set();
    bool whole = node.is_none();
    py::object root = whole ? atok.attr(KORVANE_NAME("tree")) : node;
    std::vector<Edit> edits = tree_edits(atok, unchanged, root);
    // One statement is a suggestion's: the formatter's errors propagate to its caller.
    std::optional<Formatting> f;
    if (!code_style.is_none()) {
        f.emplace(atok, text, code_style, !whole);
        quote_new_literals(edits, text, *f);
    }
    std::vector<Region> regions;
    py::object result = apply_edits(text, edits, f ? &regions : nullptr);
    if (!whole) return statement_text(atok, node, text, result, edits, std::move(regions), f ? &*f : nullptr);
    if (f) result = format_regions(result, std::move(regions), *f);
    check_comments(atok, 0, length_of(text), result);
    return result;
}

}  // namespace

void register_edited_text(py::module_& m) {
    edited_state().lost_comment_error = make_exception(m, "LostCommentError", PyExc_ValueError);
    m.def("edited_text", &edited_text, py::arg("atok"), py::arg("node") = py::none(),
          py::arg("code_style") = py::none(),
          "The text of the token view's module (or of one statement of it, from its first "
          "token to the end of its last line) as the fixes left its tree: the original "
          "text with only what they changed edited.  With a code style, each statement an "
          "edit reshaped (an item or statement inserted or removed, a line made too long) is "
          "formatted in it, except where `# fmt: off` or `# fmt: skip` keeps the formatter "
          "off; for one statement the formatter's errors propagate.  The tree must have been "
          "recorded with record_tree before the fixes ran.");
}

}  // namespace korvane::suggest
