// Formatting generated code in the project's style: black with the project's code
// style, string literals in the quote character that dominates the source they belong
// to, no surrounding newlines, pragma comments on the line pylint reads them for, and
// indented for their place in the file.
//
// For the length of one `format_code` call black's quote normaliser is replaced by
// ours, bound to that call's quote target; black's own is back when the call ends,
// whether it returns or raises.
#include "source_edits.hpp"

#include <korvane/text.hpp>

#include <vector>

namespace korvane::suggest {

namespace {

// The regular-expression prefixes of the normaliser; each is followed by a quote.
// Group 1: the start of the text or a character other than a backslash, then an even
// run of backslashes: the quote after it is not escaped.
constexpr const char* kUnescapedQuote = R"x((([^\\]|^)(\\\\)*))x";
// Group 1: the start of the text or a character other than a backslash; then one
// backslash; group 2: an even run of backslashes: the quote after it is escaped.
constexpr const char* kEscapedQuote = R"x(([^\\]|^)\\((?:\\\\)*))x";
// The contents of a replacement field of a formatted literal opened by a single brace
// (matched with re.VERBOSE, which ignores the blanks and comments).
constexpr const char* kReplacementField = R"x(
            (?:[^{]|^)\{  # start of string or non-{ followed by {
                ([^{].*?)  # contents of the brackets except if begins with {{
            \}(?:[^}]|$)  # A } followed by end of the string or a non-}
            )x";

py::module_ black() { return py::module_::import("black"); }

// `black.<name>`, else `black.strings.<name>` when the top level lacks it.
py::object black_string_facility(const py::str& name) {
    py::object top = black();
    py::object found = getattr_or_null(top, name);
    if (found) return found;
    return top.attr(KORVANE_NAME("strings")).attr(name);
}

py::object compile_quote_pattern(const char* prefix, py::handle quote) {
    static py::object& compile = keep(py::module_::import("re").attr("compile"));
    return compile(concat(py::str(prefix), quote));
}

// `sub_twice(pattern, <replacement prefix> + quote, text)`.
py::object substitute(py::handle sub_twice, py::handle pattern, const char* replacement,
                      py::handle quote, py::handle text) {
    return sub_twice(pattern, concat(py::str(replacement), quote), text);
}

// Whether a replacement field of the formatted literal's new body holds a backslash.
bool backslash_in_replacement_field(py::handle new_body) {
    static py::object& findall = keep(py::module_::import("re").attr("findall"));
    static py::object& verbose = keep(py::module_::import("re").attr("VERBOSE"));
    py::str backslash("\\");
    for (py::handle match : findall(py::str(kReplacementField), new_body, verbose)) {
        if (PySequence_Contains(py::str(match).ptr(), backslash.ptr()) == 1) return true;
    }
    return false;
}

bool contains_letter(py::handle prefix, const char* letter) {
    py::object folded = prefix.attr("casefold")();
    int found = PySequence_Contains(folded.ptr(), py::str(letter).ptr());
    if (found < 0) throw py::error_already_set();
    return found == 1;
}

Py_ssize_t length_of(py::handle text) {
    Py_ssize_t n = PyObject_Length(text.ptr());
    if (n < 0) throw py::error_already_set();
    return n;
}

// The new body of a literal whose quotes change from `orig_quote` to `new_quote`, or a
// null object with `result` set when the literal is answered early.
py::object rewrite_body(py::handle sub_twice, py::handle s, py::handle prefix,
                        py::handle orig_quote, py::handle new_quote, py::handle body,
                        py::object& result) {
    py::object unescaped_new = compile_quote_pattern(kUnescapedQuote, new_quote);
    if (contains_letter(prefix, "r")) {
        // A raw literal: no backslash can be added or removed.
        if (!unescaped_new.attr("search")(body).is_none()) {
            result = py::reinterpret_borrow<py::object>(s);
            return py::object();
        }
        return py::reinterpret_borrow<py::object>(body);
    }
    py::object escaped_new = compile_quote_pattern(kEscapedQuote, new_quote);
    py::object escaped_orig = compile_quote_pattern(kEscapedQuote, orig_quote);
    py::object new_body = substitute(sub_twice, escaped_new, R"(\1\2)", new_quote, body);
    if (!equals(new_body, body)) {
        // Needless escapes of the other quote go; the quote character stays.
        result = concat(concat(concat(prefix, orig_quote), new_body), orig_quote);
        return py::object();
    }
    new_body = substitute(sub_twice, escaped_orig, R"(\1\2)", orig_quote, new_body);
    return substitute(sub_twice, unescaped_new, R"(\1\\)", new_quote, new_body);
}

py::object normalize_string_quotes(py::object target, py::object s) {
    py::object pair = py::module_::import("builtins").attr("tuple")(target);
    if (PyTuple_GET_SIZE(pair.ptr()) != 2) {
        PyErr_Format(PyExc_ValueError, "expected a pair of quote characters, got %zd values",
                     PyTuple_GET_SIZE(pair.ptr()));
        throw py::error_already_set();
    }
    py::object comma_before = pair[py::int_(0)], comma_after = pair[py::int_(1)];
    py::object prefix_chars = black_string_facility(KORVANE_NAME("STRING_PREFIX_CHARS"));
    py::object sub_twice = black_string_facility(KORVANE_NAME("sub_twice"));
    py::object value = s.attr("lstrip")(prefix_chars);
    py::str triple_double("\"\"\""), triple_single("'''");
    if (truthy(value.attr("startswith")(triple_double))) return s;
    py::object orig_quote, new_quote;
    if (truthy(value.attr("startswith")(triple_single))) {
        orig_quote = triple_single;
        new_quote = triple_double;
    } else if (equals(value[py::slice(0, 1, 1)], comma_before)) {
        orig_quote = comma_before;
        new_quote = comma_after;
    } else {
        orig_quote = comma_after;
        new_quote = comma_before;
    }
    Py_ssize_t first_quote_pos = py::cast<Py_ssize_t>(s.attr("find")(orig_quote));
    if (first_quote_pos == -1) return s;
    Py_ssize_t quote_length = length_of(orig_quote);
    py::object prefix = s[py::slice(0, first_quote_pos, 1)];
    py::object body = s[py::slice(first_quote_pos + quote_length, -quote_length, 1)];
    py::object result;
    py::object new_body = rewrite_body(sub_twice, s, prefix, orig_quote, new_quote, body, result);
    if (!new_body) return result;
    if (contains_letter(prefix, "f") && backslash_in_replacement_field(new_body)) return s;
    py::str double_quote("\"");
    if (equals(new_quote, triple_double) &&
        equals(new_body[py::slice(-1, PY_SSIZE_T_MAX, 1)], double_quote)) {
        // A closing quote right before three double quotes would end the literal early.
        new_body = concat(new_body[py::slice(0, -1, 1)], py::str("\\\""));
    }
    py::str backslash("\\");
    auto orig_escapes = py::cast<Py_ssize_t>(body.attr("count")(backslash));
    auto new_escapes = py::cast<Py_ssize_t>(new_body.attr("count")(backslash));
    if (new_escapes > orig_escapes) return s;
    if (new_escapes == orig_escapes && equals(orig_quote, comma_after)) return s;
    return concat(concat(concat(prefix, new_quote), new_body), new_quote);
}

void normalize_string_quotes_backwards_compatible(py::object target, py::object leaf) {
    const py::str& value = KORVANE_NAME("value");
    leaf.attr(value) = normalize_string_quotes(target, leaf.attr(value));
}

// Installs the bound normaliser over black's attribute and returns the patches
// started, in order.  The string-processing step keeps its own reference
// (`black.trans`), which is replaced too so that split literals follow the same rule.
py::list start_patches(py::object target) {
    static py::object& patch_object = keep(py::module_::import("unittest.mock").attr("patch").attr("object"));
    static py::object& partial = keep(py::module_::import("functools").attr("partial"));
    py::object top = black();
    py::module_& self = state().module;
    const py::str& name = KORVANE_NAME("normalize_string_quotes");
    py::object module, normaliser;
    if (PyObject_HasAttr(top.ptr(), name.ptr())) {
        module = top;
        normaliser = partial(self.attr("normalize_string_quotes_backwards_compatible"), target);
    } else {
        module = top.attr(KORVANE_NAME("linegen"));
        normaliser = partial(self.attr("normalize_string_quotes"), target);
    }
    py::list started;
    py::object stub = patch_object(module, name, normaliser);
    stub.attr("start")();
    started.append(stub);
    py::object trans = getattr_or_null(top, KORVANE_NAME("trans"));
    if (trans && !trans.is(module) && PyObject_HasAttr(trans.ptr(), name.ptr())) {
        try {
            py::object trans_stub = patch_object(trans, name, normaliser);
            trans_stub.attr("start")();
            started.append(trans_stub);
        } catch (py::error_already_set&) {
            stub.attr("stop")();
            throw;
        }
    }
    return started;
}

void stop_patches(py::list started) {
    for (Py_ssize_t i = static_cast<Py_ssize_t>(started.size()) - 1; i >= 0; --i) {
        started[static_cast<size_t>(i)].attr("stop")();
    }
}

// The start of the warning black gives for every mode with string processing on: the
// code style asks for that processing, so users are not shown it.
constexpr const char* kStringProcessingWarning = "`experimental string processing` has been";

// The warning category of black's deprecations, where this release has one.
py::object deprecation_category(py::handle top) {
    py::object mode = getattr_or_null(top, KORVANE_NAME("mode"));
    py::object category = mode ? getattr_or_null(mode, KORVANE_NAME("Deprecated")) : py::object();
    return category ? category : py::reinterpret_borrow<py::object>(PyExc_UserWarning);
}

// `black.FileMode(**options)` with black's string-processing deprecation warning, and
// only that one, silenced.
py::object quiet_mode(py::handle top, const py::dict& options) {
    static py::object& warnings = keep(py::module_::import("warnings"));
    py::object block = warnings.attr("catch_warnings")();
    block.attr("__enter__")();
    py::object mode;
    try {
        warnings.attr("filterwarnings")("ignore", py::arg("message") = kStringProcessingWarning,
                                        py::arg("category") = deprecation_category(top));
        mode = top.attr(KORVANE_NAME("FileMode"))(**options);
    } catch (py::error_already_set& e) {
        block.attr("__exit__")(e.type(), e.value(), korvane::trace_of(e));
        throw;
    }
    block.attr("__exit__")(py::none(), py::none(), py::none());
    return mode;
}

py::object format_code(py::object code, py::object indentation, py::object code_style,
                        py::object target) {
    py::object top = black();
    py::dict options;
    options[KORVANE_NAME("experimental_string_processing")] = py::bool_(true);
    options[KORVANE_NAME("string_normalization")] = py::bool_(true);
    py::dict style = py::module_::import("builtins").attr("dict")(code_style);
    for (auto item : style) {
        if (options.contains(item.first)) {
            PyErr_Format(PyExc_TypeError, "FileMode() got multiple values for keyword argument '%S'",
                         item.first.ptr());
            throw py::error_already_set();
        }
        options[item.first] = item.second;
    }
    py::object mode = quiet_mode(top, options);
    py::list started = start_patches(target);
    py::object formatted;
    try {
        formatted = top.attr(KORVANE_NAME("format_str"))(code, py::arg("mode") = mode);
        formatted = formatted.attr("strip")(py::str("\n"));
    } catch (...) {
        stop_patches(started);
        throw;
    }
    stop_patches(started);
    return indent_code(pragmas_to_first_lines(formatted), indentation);
}

py::object get_indentation(py::object code) {
    Py_ssize_t stripped = length_of(code.attr("lstrip")());
    return code[py::slice(0, length_of(code) - stripped, 1)];
}

py::tuple get_comma_character_target(py::object source) {
    py::str single("'"), dbl("\"");
    auto singles = py::cast<Py_ssize_t>(source.attr("count")(single));
    auto doubles = py::cast<Py_ssize_t>(source.attr("count")(dbl));
    if (singles > doubles) return py::make_tuple(dbl, single);
    return py::make_tuple(single, dbl);
}

}  // namespace

// Lines (from 1) that begin inside a string literal spanning several lines, found by
// tokenizing `text`; empty when the text does not tokenize.
std::vector<bool> lines_inside_strings(py::handle text, size_t line_count) {
    std::vector<bool> inside(line_count + 2, false);
    static py::object& generate = keep(py::module_::import("tokenize").attr("generate_tokens"));
    static py::object& string_type = keep(py::module_::import("token").attr("STRING"));
    static py::object& string_io = keep(py::module_::import("io").attr("StringIO"));
    static py::object& token_error = keep(py::module_::import("tokenize").attr("TokenError"));
    try {
        py::object tokens = generate(string_io(text).attr("readline"));
        for (py::handle token : tokens) {
            if (!equals(token.attr("type"), string_type)) continue;
            auto first = py::cast<size_t>(token.attr("start")[py::int_(0)]);
            auto last = py::cast<size_t>(token.attr("end")[py::int_(0)]);
            for (size_t line = first + 1; line <= last && line < inside.size(); ++line) {
                inside[line] = true;
            }
        }
    } catch (py::error_already_set& e) {
        // Code that does not tokenize has no literal to protect: indent every line.
        if (!e.matches(token_error) && !e.matches(PyExc_SyntaxError)) throw;
        std::fill(inside.begin(), inside.end(), false);
    }
    return inside;
}

// `indentation` in front of every line that holds a non-blank character, except the
// lines that continue a string literal: indenting them would change its value.
py::object indent_code(py::object text, py::object indentation) {
    if (length_of(indentation) == 0) return text;
    py::list lines = text.attr("split")(py::str("\n"));
    size_t count = lines.size();
    std::vector<bool> inside = lines_inside_strings(text, count);
    py::list parts;
    py::str line_feed("\n");
    for (size_t i = 0; i < count; ++i) {
        py::object line = lines[i];
        if (!inside[i + 1] && truthy(line.attr("strip")())) line = concat(indentation, line);
        parts.append(line);
    }
    return line_feed.attr("join")(parts);
}

void register_format(py::module_& m) {
    m.def("get_indentation", &get_indentation, py::arg("code"),
          "The leading whitespace of a source line.");
    m.def("get_comma_character_target", &get_comma_character_target, py::arg("source"),
          "The quote target of a source text: (quote to convert from, preferred quote).");
    m.def("format_code", &format_code, py::arg("code"), py::arg("indentation"),
          py::arg("code_style"), py::arg("comma_character_target"),
          "Formats code with black in the given code style and quote target, and indents it.");
    m.def("normalize_string_quotes", &normalize_string_quotes, py::arg("comma_character_target"),
          py::arg("s"), "One string literal in the preferred quote character, where that adds "
          "no backslash; otherwise the literal itself.");
    m.def("normalize_string_quotes_backwards_compatible",
          &normalize_string_quotes_backwards_compatible, py::arg("comma_character_target"),
          py::arg("leaf"), "Normalises the quotes of a black leaf's string literal in place.");
}

}  // namespace korvane::suggest
