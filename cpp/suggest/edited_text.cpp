// The text of a token view as the fixes left its tree: the original text with the
// edits of source_edits.cpp applied, and, on request, each statement an edit touched
// formatted in a code style.  Both roads take their fixed code from here: a
// suggestion the text of one statement, the fix road the whole module.
//
// Every comment of the original survives: the edits never take one, and formatting
// keeps them.  The text that comes back is compared with the original for that, and
// a comment that went missing anyway is an error (`LostCommentError`), never a text
// without it.
#include "source_edits.hpp"

#include <korvane/text.hpp>

#include "token_lines.hpp"

#include <algorithm>

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

// A statement's lines without their indentation: each line loses the statement's
// indentation (or, in brackets, whatever blanks it starts with), except the lines
// that continue a string literal.
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

// The stand-in body that lets the formatter take a compound statement's header alone.
const char* const kStandInBody = "    pass";

// The code style for code formatted where it stands: its lines hold its indentation,
// and the last one what follows it there, too.
py::object style_at(py::handle code_style, py::handle indentation, Py_ssize_t trailer) {
    py::object style = py::module_::import("builtins").attr("dict")(code_style);
    py::object length = style.attr("get")("line_length", import_attr("black", "DEFAULT_LINE_LENGTH"));
    long room = std::max<long>(1, py::cast<long>(length) -
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
// refuses it (code it cannot parse, a header it cannot take alone).
py::object formatted_region(py::handle code, bool header, py::handle code_style, py::handle target,
                            Py_ssize_t trailer = 0) {
    py::str indentation = leading_blanks(code);
    py::object input = header ? py::object(concat(concat(code, py::str("\n")),
                                                  concat(indentation, py::str(kStandInBody))))
                              : py::reinterpret_borrow<py::object>(code);
    py::object formatted;
    try {
        formatted = format_statement(input, code_style, target, trailer);
    } catch (py::error_already_set& e) {
        if (!is_ordinary(e)) throw;
        state().logger.attr("debug")(py::str("Left unformatted: {}").format(e.value()));
        return py::reinterpret_borrow<py::object>(code);
    }
    if (!header) return formatted;
    py::str stand_in = concat(py::str("\n"), concat(indentation, py::str(kStandInBody)));
    if (!truthy(formatted.attr("endswith")(stand_in))) return py::reinterpret_borrow<py::object>(code);
    return text_slice(formatted, 0, length_of(formatted) - length_of(stand_in));
}

// The regions in text order, overlapping ones merged.
std::vector<Region> merged(std::vector<Region> regions) {
    std::sort(regions.begin(), regions.end(),
              [](const Region& a, const Region& b) { return a.start < b.start; });
    std::vector<Region> out;
    for (const Region& r : regions) {
        if (!out.empty() && r.start <= out.back().end) {
            if (r.end >= out.back().end) out.back().trailer = r.trailer;
            out.back().end = std::max(out.back().end, r.end);
            out.back().header = out.back().header && r.header;
            continue;
        }
        out.push_back(r);
    }
    return out;
}

py::object format_regions(py::object text, std::vector<Region> regions, py::handle code_style,
                          py::handle target) {
    std::vector<Region> parts = merged(std::move(regions));
    for (auto it = parts.rbegin(); it != parts.rend(); ++it) {
        py::str code = text_slice(text, it->start, it->end);
        py::object formatted = formatted_region(code, it->header, code_style, target, it->trailer);
        if (equals(formatted, code)) continue;
        text = concat(concat(text_slice(text, 0, it->start), formatted),
                      text_slice(text, it->end, length_of(text)));
    }
    return text;
}

py::object edited_text(py::object atok, py::object node, py::object code_style) {
    py::dict record = record_of(atok);
    Unchanged unchanged(record);
    py::object text = atok.attr(KORVANE_NAME("text"));
    if (PyUnicode_READY(text.ptr()) < 0) throw py::error_already_set();
    bool whole = node.is_none();
    py::object root = whole ? atok.attr(KORVANE_NAME("tree")) : node;
    std::vector<Edit> edits = tree_edits(atok, unchanged, root);
    bool style = !code_style.is_none();
    std::vector<Region> regions;
    py::object result = apply_edits(text, edits, style ? &regions : nullptr);
    if (whole) {
        if (style) {
            py::object target = state().module.attr("get_comma_character_target")(text);
            result = format_regions(result, std::move(regions), code_style, target);
        }
        check_comments(atok, 0, length_of(text), result);
        return result;
    }
    // One statement: from its first token to the end of its last line, as the lines
    // it replaces hold it.
    Py_ssize_t from = as_long(node.attr(KORVANE_NAME("first_token")).attr(KORVANE_NAME("startpos")));
    Py_ssize_t to = line_end(text, as_long(node.attr(KORVANE_NAME("last_token")).attr(KORVANE_NAME("endpos"))));
    py::str part = text_slice(result, mapped_offset(edits, from, false), mapped_offset(edits, to, true));
    if (style) {
        py::object target = state().module.attr("get_comma_character_target")(text);
        py::str indentation = text_slice(text, line_start(text, from), from);
        py::object formatted = formatted_region(concat(indentation, part), false, code_style, target);
        part = text_slice(formatted, length_of(indentation), length_of(formatted));
    }
    check_comments(atok, from, to, part);
    return part;
}

}  // namespace

void register_edited_text(py::module_& m) {
    edited_state().lost_comment_error = make_exception(m, "LostCommentError", PyExc_ValueError);
    m.def("edited_text", &edited_text, py::arg("atok"), py::arg("node") = py::none(),
          py::arg("code_style") = py::none(),
          "The text of the token view's module (or of one statement of it, from its first "
          "token to the end of its last line) as the fixes left its tree: the original "
          "text with only what they changed edited.  With a code style, each statement an "
          "edit touched is formatted in it.  The tree must have been recorded with "
          "record_tree before the fixes ran.");
}

}  // namespace korvane::suggest
