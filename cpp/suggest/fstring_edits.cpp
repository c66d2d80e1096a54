// Edits inside f-strings.  The tree library gives the nodes inside an f-string no
// token marks, so a changed expression in a replacement field is found in the
// string's own text: each literal of the string is scanned for its fields as the
// interpreter reads them, and only the expression of the field that changed is
// replaced.  Implicit concatenation, the quotes and the rest of the literal stay as
// written.  An expression that the literal cannot hold (a backslash, the literal's
// own quote, a text that would read back as something else) is `Unwritable`: its
// statement keeps its text.
#include "edit_finder.hpp"

namespace korvane::suggest {

namespace {

// Where a replacement field stands in a literal's text: its opening brace, the end of
// its expression (a `!`, `:`, `=` or the closing brace) and its closing brace.
struct FieldText {
    Py_ssize_t open;
    Py_ssize_t expr_end;
    Py_ssize_t close;
};

// A string literal's prefix and quotes.
struct Literal {
    bool formatted = false;
    bool raw = false;
    Py_UCS4 quote = 0;
    bool triple = false;
    Py_ssize_t body_start = 0;
    Py_ssize_t body_end = 0;
};

Literal literal_of(py::handle text) {
    Literal lit;
    Py_ssize_t n = PyUnicode_GET_LENGTH(text.ptr()), i = 0;
    for (; i < n; ++i) {
        Py_UCS4 c = char_at(text, i);
        if (c == 'f' || c == 'F') {
            lit.formatted = true;
        } else if (c == 'r' || c == 'R') {
            lit.raw = true;
        } else if (c != 'b' && c != 'B' && c != 'u' && c != 'U') {
            break;
        }
    }
    if (i >= n) return Literal();
    lit.quote = char_at(text, i);
    lit.triple = n - i >= 6 && char_at(text, i + 1) == lit.quote && char_at(text, i + 2) == lit.quote;
    Py_ssize_t quotes = lit.triple ? 3 : 1;
    lit.body_start = i + quotes;
    lit.body_end = n - quotes;
    return lit;
}

// The index after a string literal that starts at `at` inside a field's expression.
Py_ssize_t past_inner_string(py::handle text, Py_ssize_t at, Py_ssize_t end) {
    Py_UCS4 q = char_at(text, at);
    bool triple = at + 2 < end && char_at(text, at + 1) == q && char_at(text, at + 2) == q;
    for (Py_ssize_t k = at + (triple ? 3 : 1); k < end; ++k) {
        if (char_at(text, k) != q) continue;
        if (!triple) return k + 1;
        if (k + 2 < end && char_at(text, k + 1) == q && char_at(text, k + 2) == q) return k + 3;
    }
    return end;
}

// The end of a field's expression that starts at `from`: the first `!` (not `!=`),
// `:`, `=` (not part of a comparison) or closing brace outside brackets and strings.
Py_ssize_t expression_end(py::handle text, Py_ssize_t from, Py_ssize_t end) {
    long depth = 0;
    for (Py_ssize_t k = from; k < end; ++k) {
        Py_UCS4 c = char_at(text, k);
        if (c == '\'' || c == '"') {
            k = past_inner_string(text, k, end) - 1;
        } else if (c == '(' || c == '[' || c == '{') {
            ++depth;
        } else if (c == ')' || c == ']' || c == '}') {
            if (depth-- == 0) return k;
        } else if (depth == 0) {
            Py_UCS4 next = k + 1 < end ? char_at(text, k + 1) : 0;
            Py_UCS4 prev = k > from ? char_at(text, k - 1) : 0;
            if (c == ':' || (c == '!' && next != '=')) return k;
            bool comparison = next == '=' || prev == '=' || prev == '!' || prev == '<' || prev == '>';
            if (c == '=' && !comparison) return k;
        }
    }
    return end;
}

// The closing brace of a field whose expression ends at `from`, past the nested
// fields of its format.
Py_ssize_t field_close(py::handle text, Py_ssize_t from, Py_ssize_t end) {
    long depth = 0;
    for (Py_ssize_t k = from; k < end; ++k) {
        Py_UCS4 c = char_at(text, k);
        if (c == '{') ++depth;
        if (c == '}' && depth-- == 0) return k;
    }
    return end;
}

// The replacement fields of one literal, in order; none for a literal that is no
// f-string.
std::vector<FieldText> fields_of(py::handle text) {
    std::vector<FieldText> fields;
    Literal lit = literal_of(text);
    if (!lit.formatted) return fields;
    for (Py_ssize_t k = lit.body_start; k < lit.body_end;) {
        Py_UCS4 c = char_at(text, k);
        Py_UCS4 next = k + 1 < lit.body_end ? char_at(text, k + 1) : 0;
        if (c == '\\' && !lit.raw) {
            // `\N{...}` names a character; any other escape is two characters
            bool named = next == 'N' && k + 2 < lit.body_end && char_at(text, k + 2) == '{';
            k = named ? field_close(text, k + 3, lit.body_end) + 1 : k + 2;
        } else if ((c == '{' || c == '}') && next == c) {
            k += 2;
        } else if (c != '{') {
            ++k;
        } else {
            FieldText field{k, expression_end(text, k + 1, lit.body_end), 0};
            field.close = field_close(text, field.expr_end, lit.body_end);
            fields.push_back(field);
            k = field.close + 1;
        }
    }
    return fields;
}

long string_type() {
    static const long type = as_long(import_attr("token", "STRING"));
    return type;
}

// Whether `expression` is a field's expression that reads back as written.
bool reads_back(py::handle text, long index, py::handle expression) {
    py::module_ ast = py::module_::import("ast");
    try {
        py::object tree = ast.attr("parse")(concat(concat(py::str("("), text), py::str(")")), "<f-string>", "eval");
        py::object expected = ast.attr("parse")(expression.attr("strip")(), "<f-string>", "eval").attr("body");
        py::object values = getattr_or_null(tree.attr("body"), KORVANE_NAME("values"));
        if (!values) return false;
        long seen = 0;
        for (py::handle value : values) {
            if (!korvane::isinstance(value, ast.attr("FormattedValue"))) continue;
            if (seen++ != index) continue;
            return equals(ast.attr("dump")(value.attr("value")), ast.attr("dump")(expected));
        }
        return false;
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_SyntaxError) && !e.matches(PyExc_ValueError)) throw;
        return false;
    }
}

bool holds(py::handle text, Py_UCS4 c) {
    Py_ssize_t found = PyUnicode_FindChar(text.ptr(), c, 0, PyUnicode_GET_LENGTH(text.ptr()), 1);
    if (found == -2) throw py::error_already_set();
    return found >= 0;
}

}  // namespace

// The changed expression of an f-string's field, written in place of the old one.
void EditFinder::field_edit(const Frame& frame) {
    py::handle field = frame.field, string_node = frame.anchor;
    check_field_format(string_node, field);
    py::object expression = render(field.attr(KORVANE_NAME("value")));
    FieldPlace place = field_place(string_node, field);
    if (place.shows_expression)
        unwritable(string_node, field, expression, "its field shows the expression's text");
    // `{{` would be a brace of the text
    bool after_brace = char_at(source_.text(), place.start - 1) == '{';
    if (after_brace && truthy(expression.attr("startswith")("{"))) expression = concat(py::str(" "), expression);
    check_writable(string_node, field, place, expression);
    add(place.start, place.end, expression, string_node, true);
    edits_.back().inside_string = true;
}

// Refuses a field whose conversion or format the fixes changed.
void EditFinder::check_field_format(py::handle string_node, py::handle field) {
    PyObject* entry = PyDict_GetItemWithError(unchanged_.record().ptr(), field.ptr());
    if (!entry && PyErr_Occurred()) throw py::error_already_set();
    const char* why = "the fix changes the field's format";
    if (!entry) unwritable(string_node, field, py::none(), why);
    const FieldNames& fields = field_names(field);
    size_t i = 0;
    for (const py::str& name : fields.children) {
        py::handle recorded(PyTuple_GET_ITEM(entry, static_cast<Py_ssize_t>(i++)));
        if (is_text(name, "value")) continue;
        py::object now = getattr_or_null(field, name);
        bool same = now && now.ptr() == recorded.ptr() && (recorded.is_none() || unchanged_(recorded));
        if (!same) unwritable(string_node, field, py::none(), why);
    }
    for (const py::str& name : fields.plain) {
        py::handle recorded(PyTuple_GET_ITEM(entry, static_cast<Py_ssize_t>(i++)));
        py::object now = getattr_or_null(field, name);
        if (!now || !equals(now, recorded)) unwritable(string_node, field, py::none(), why);
    }
}

// Where the expression of `field` stands in the text: the n-th field of the
// string's literals, n being its place among the string's fields.
EditFinder::FieldPlace EditFinder::field_place(py::handle string_node, py::handle field) {
    long wanted = -1, seen = 0;
    for (py::handle value : string_node.attr(KORVANE_NAME("values"))) {
        if (!is_a(value, "FormattedValue")) continue;
        if (value.ptr() == field.ptr()) wanted = seen;
        ++seen;
    }
    long found = 0;
    for (long i = source_.first_of(string_node); wanted >= 0 && i <= source_.last_of(string_node); ++i) {
        if (source_.type(i) != string_type()) continue;
        py::object text = source_.string(i);
        for (const FieldText& f : fields_of(text)) {
            if (found++ != wanted) continue;
            Py_ssize_t base = source_.startpos(i), start = f.open + 1, end = f.expr_end;
            while (start < end && is_blank(char_at(text, start))) ++start;
            while (end > start && is_blank(char_at(text, end - 1))) --end;
            return {base + start, base + end, i, wanted, char_at(text, f.expr_end) == '='};
        }
    }
    unwritable(string_node, field, py::none(), "its f-string could not be read");
}

// Refuses an expression that the field's literal cannot hold as written.
void EditFinder::check_writable(py::handle string_node, py::handle field, const FieldPlace& place,
                                py::handle expression) {
    Literal lit = literal_of(source_.string(place.token));
    if (holds(expression, '\\')) unwritable(string_node, field, expression, "it would hold a backslash");
    if (!lit.triple && holds(expression, lit.quote))
        unwritable(string_node, field, expression, "it would hold the string's own quote");
    if (!lit.triple && holds(expression, '\n')) unwritable(string_node, field, expression, "it spans lines");
    const py::object& src = source_.text();
    Py_ssize_t from = source_.startpos(source_.first_of(string_node));
    Py_ssize_t to = source_.endpos(source_.last_of(string_node));
    py::str text = concat(concat(text_slice(src, from, place.start), expression), text_slice(src, place.end, to));
    if (!reads_back(text, place.index, expression))
        unwritable(string_node, field, expression, "it would not read back as itself in the string");
}

void EditFinder::unwritable(py::handle string_node, py::handle field, py::handle expression,
                            const char* why) {
    Unwritable refused;
    refused.statement = field.attr(KORVANE_NAME("statement"))();
    long line = source_.line(source_.first_of(string_node));
    refused.reason = expression.is_none()
                         ? py::str("line {}: the fix inside an f-string cannot be written: {}").format(line, why)
                         : py::str("line {}: the fixed expression {!r} cannot be written in its f-string: {}")
                               .format(line, expression, why);
    throw refused;
}

}  // namespace korvane::suggest
